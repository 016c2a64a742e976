#pragma once
// INI access for the template file "format.ini".
//
// The template file is hand-maintained data shipped beside the program, so
// writes edit it line by line: every line the write does not touch (comments,
// blank lines, order, spelling, unknown keys) stays as it was, byte for byte.
//
// Reading rules (the same as the settings store's): the file is UTF-8 (a
// leading byte-order mark is skipped and kept on writing); every line is
// trimmed; blank lines, lines starting with ';' and lines before the first
// section are ignored; a line that starts with '[' and ends with ']' is a
// section header; other lines are name '=' value, with blanks around the
// first '=' dropped; a line without '=' or with an empty name is ignored.
// Section and key names are compared without regard to case. A repeated
// section continues the first one; a repeated key keeps its first value.
//
// Not thread-safe; one owner per object.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

// One INI text in memory, as lines, with an index of its sections and keys.
class TFormatTplIniDoc {
public:
  TFormatTplIniDoc() = default;
  explicit TFormatTplIniDoc(const QByteArray &data) { SetBytes(data); }

  // Replaces the content. Line ends may be LF or CR LF; the style of the
  // first line end is kept for the whole text on output.
  void SetBytes(const QByteArray &data);
  // The text as it goes to disk: every line followed by the line end.
  QByteArray Bytes() const;

  // True and value set when the key exists (even with an empty value).
  bool FindValue(const QString &section, const QString &key, QString &value) const;
  QString ReadString(const QString &section, const QString &key,
                     const QString &defaultValue = QString()) const;
  // Decimal integer (blanks around it allowed); absent, empty or invalid
  // gives defaultValue.
  int ReadInteger(const QString &section, const QString &key, int defaultValue) const;
  // ReadInteger(..., defaultValue) != 0.
  bool ReadBool(const QString &section, const QString &key, bool defaultValue) const;
  bool SectionExists(const QString &section) const;
  // Distinct key names of a section in file order (spelling of the first
  // occurrence).
  QStringList ReadSection(const QString &section) const;
  // Section names in file order, each once.
  QStringList SectionNames() const;

  // Names and values that the reading rules give back unchanged: not empty,
  // no surrounding blanks, no line break or NUL; a key name also holds no
  // '=' and starts with neither ';' nor '['.
  static bool IsValidSectionName(const QString &name);
  static bool IsValidKeyName(const QString &name);
  // A value holds no line break or NUL (surrounding blanks are dropped when
  // it is read back).
  static bool IsValidValue(const QString &value);

  // Sets one value. An existing key's line is replaced (keeping the key's
  // spelling); a new key goes after the last key line of the section's first
  // occurrence; a new section is appended at the end. False, and nothing
  // changed, when a name or the value is not valid (see above).
  bool WriteString(const QString &section, const QString &key, const QString &value);
  // Removes every occurrence of the section: its header and all lines up to
  // the next header.
  void EraseSection(const QString &section);
  // Every header of section `from` becomes "[to]"; nothing else changes.
  // False when `to` is not a valid section name.
  bool RenameSection(const QString &from, const QString &to);

private:
  struct TKey {
    QString Name;
    QString Folded;
    QString Value;
    int Line = 0;
  };
  // One header occurrence and the key lines below it.
  struct TSection {
    QString Name;
    int HeaderLine = 0;
    std::vector<TKey> Keys;
  };

  std::vector<QByteArray> FLines; // without line ends
  QByteArray FEol = "\n";
  bool FBom = false;
  std::vector<TSection> FSections;                // in file order
  QHash<QString, std::vector<int>> FSectionIndex; // folded name -> FSections positions

  void Reindex();
  const std::vector<int> *Occurrences(const QString &section) const;
  const TKey *FindKey(const QString &section, const QString &key) const;
};

// The template file on disk. Every Read sees the file's current content;
// every Write replaces the whole file at once: the text goes to a temporary
// file in the same folder that takes the file's place (rename) only when it
// has been completely written and synced (keeping the old file's permissions;
// a symbolic link's target is replaced), so a failed write leaves the old
// file untouched.
class TFormatTplIni {
public:
  explicit TFormatTplIni(const QString &fileName) : FFileName(fileName) {}
  QString FileName() const { return FFileName; }

  // A missing file reads as an empty document (true). A file that exists but
  // cannot be read gives false, an empty document and the reason in *error.
  bool Read(TFormatTplIniDoc &doc, QString *error = nullptr) const;
  // False, with the reason in *error, when the file could not be replaced.
  bool Write(const TFormatTplIniDoc &doc, QString *error = nullptr) const;

private:
  QString FFileName;
};
