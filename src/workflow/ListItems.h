#pragma once
// The source item store: the rows of the source list and their item values.
//
// Every fact about a source (its path, trim, crop, volume, state, progress,
// output file) lives as a name=value line on its row; nothing else keeps
// per-item state. TfrmList wraps this store and shows it; the conversion
// controller (TBatchCore) and videomill-cli use it directly.
//
// Item keys: "FileName", "DVD", "DVDParam", "DVDTitleID", "Duration",
// "Progress", "State", "Sound", "Width", "Height", "Hint", "TrimStart",
// "TrimEnd", "StartPts", "EndPts", "CropLeft", "CropTop", "CropRight",
// "CropBottom", "OutputFileName". Times are microseconds as decimal text.
// "State" is 6 ready, 13 converting, 14 paused, 15 failed, 16 done.
//
// Main thread only. Widget-free (QtCore).

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class TCustomDecoder;

// The item states; each is also the index of the state icon in the icon strip.
inline constexpr int isReady = 6;
inline constexpr int isConverting = 13;
inline constexpr int isPaused = 14;
inline constexpr int isFailed = 15;
inline constexpr int isDone = 16;

// One row: the caption (text of the first column) and the item values as
// name=value lines, in the order they were first stored.
struct TListRow {
  QString Caption;
  QStringList Values;
};

class TListItemStore {
public:
  // What AddToList did.
  enum TAddResult {
    arAdded,     // a row was appended
    arDuplicate, // a row already holds this file (compared without regard to case)
    arLoadError  // the decoder could not open the file; the list is unchanged
  };

  TListItemStore() = default;
  TListItemStore(const TListItemStore &) = delete;
  TListItemStore &operator=(const TListItemStore &) = delete;

  int Count() const { return static_cast<int>(FRows.size()); }
  // Row aIndex; aIndex must be valid.
  const TListRow &Row(int aIndex) const { return FRows[aIndex]; }
  // Caption of row aIndex (negative: the selected row); "" when none.
  QString Caption(int aIndex) const;

  // The value of item key aName of row aIndex; aIndex negative means the
  // selected row. Lookup is case-insensitive and takes the first line with
  // that name. Empty when the key is absent, aIndex is not below Count(), or
  // aIndex is negative and no row is selected.
  QString GetValue(const QString &aName, int aIndex) const;
  // Stores aValue under aName on row aIndex (same row rules as GetValue;
  // nothing happens when the row does not exist). An empty value removes the
  // line; a new name appends a line; an existing name keeps its place.
  void SetValue(const QString &aName, const QString &aValue, int aIndex);

  // Selected row, or -1 for none. Setting an index outside the list selects
  // nothing.
  int SelectedIndex() const { return FSelectedIndex; }
  void SetSelectedIndex(int aIndex);
  // Index of the row most recently selected or added (may be past the end
  // after removals; -1 at first).
  int FLastSelectedIndex = -1;

  // Adds one video file: nothing when a row's "FileName" equals aFileName
  // without regard to case; otherwise probes the file with aDecoder (its
  // previous file is closed first, and the file is closed again afterwards)
  // and appends a row in state 6 with "Duration", "Progress", "FileName",
  // "State", "Sound", "Width", "Height" and "Hint", in this order. On a load
  // failure aErrMsg (when given) receives the decoder's error text.
  TAddResult AddToList(const QString &aFileName, TCustomDecoder &aDecoder,
                       QString *aErrMsg = nullptr);

  // Adds DVD titles from four parallel lists (one entry per title): rows
  // whose "DVDParam" equals one of the new parameters (without regard to
  // case) are removed first, then one row per title is appended. Entries
  // missing from the shorter lists read as empty.
  void AddDVDTitles(const QStringList &aParams, const QStringList &aDurations,
                    const QStringList &aHeights, const QStringList &aWidths);

  // Removes row aIndex; false when it does not exist. The selection follows
  // the rows (a removed selected row leaves nothing selected).
  bool Delete(int aIndex);
  // Removes every row; nothing is selected afterwards.
  void Clear();
  // Moves row aIndex one place up or down by inserting a copy of it at its
  // new place and deleting the old row; the moved row becomes the selected
  // row. False (nothing changes) when the row does not exist or is already
  // first (up) or last (down).
  bool MoveUp(int aIndex);
  bool MoveDown(int aIndex);

  // Selects the first row (from the top) in state 6; selects nothing when
  // there is none. Returns the selected index or -1.
  int SelectFirst();

  // Index of the first row whose aName equals aValue without regard to case;
  // -1 when none.
  int IndexOfValue(const QString &aName, const QString &aValue) const;
  // True when the row is a DVD-title item ("DVD" is "True", any case).
  bool IsDVDItem(int aIndex) const;

  // Called after every change of the rows (add, remove, move, clear) and of
  // the selection; empty = none. The form repaints from it.
  std::function<void()> OnChange;

private:
  int ResolveIndex(int aIndex) const;
  int Append(const QString &aCaption);
  void Changed();

  std::vector<TListRow> FRows;
  int FSelectedIndex = -1;
};

// Name of the line "name=value" (text before the first '='; the whole line
// when it has none).
QString ItemLineName(const QString &aLine);
