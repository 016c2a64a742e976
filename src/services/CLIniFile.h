#pragma once
// A small in-memory INI file with the store's reading and writing rules.
//
// Reading (Load): the whole file is read as UTF-8 (a leading byte-order mark
// is skipped); every line is trimmed; blank lines, lines starting with ';'
// and lines before the first "[section]" line are ignored; a line without
// '=' or with an empty name is ignored; spaces around the first '=' are
// dropped. A repeated section continues the first one; a repeated key keeps
// its first value.
//
// Writing (Text, UpdateFile): for each section in the order it first
// appeared: "[name]", its entries as name=value in the order of first
// writing, then one empty line. Comments of the old file are not kept.
//
// Section and key names are compared without regard to case; the spelling of
// the first occurrence is kept. Not thread-safe; one owner.

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

class TCLIniFile {
public:
  TCLIniFile() = default;
  // Loads fileName at once; a missing or unreadable file gives an empty INI.
  explicit TCLIniFile(const QString &fileName);

  // Replaces the content by fileName's. False when the file could not be
  // read (the INI is then empty); a missing file is not an error for callers
  // that treat it as an empty source.
  bool Load(const QString &fileName);
  // Parses INI text (replaces the content; the file name stays).
  void SetText(const QString &text);
  // The text a flush writes.
  QString Text() const;

  QString FileName() const { return FFileName; }
  void SetFileName(const QString &fileName) { FFileName = fileName; }

  // True and value set when the key exists (even with an empty value).
  bool FindValue(const QString &section, const QString &key, QString &value) const;
  QString ReadString(const QString &section, const QString &key, const QString &defaultValue) const;
  // Decimal integer; absent, empty or invalid gives defaultValue.
  int ReadInteger(const QString &section, const QString &key, int defaultValue) const;
  // ReadInteger != 0; absent or invalid gives defaultValue.
  bool ReadBool(const QString &section, const QString &key, bool defaultValue) const;
  bool ValueExists(const QString &section, const QString &key) const;
  bool SectionExists(const QString &section) const;
  // Keys of a section in file order.
  QStringList ReadSection(const QString &section) const;

  // Sets a value in memory (new sections and keys go last).
  void WriteString(const QString &section, const QString &key, const QString &value);
  void EraseSection(const QString &section);
  void DeleteKey(const QString &section, const QString &key);
  void Clear() { FSections.clear(); }

  // Rewrites FileName() from memory: the text goes to a temporary file in the
  // same folder that replaces the old file only when completely written, so a
  // failure never leaves a truncated file. False on failure, with the reason
  // in *error when given.
  bool UpdateFile(QString *error = nullptr) const;

private:
  struct TSection {
    QString Name;
    std::vector<std::pair<QString, QString>> Entries;
  };
  QString FFileName;
  std::vector<TSection> FSections;

  const TSection *FindSection(const QString &section) const;
  TSection *FindSection(const QString &section);
};

// Writes data to fileName through a temporary file in the same folder that
// replaces fileName (keeping its permissions) only when completely written
// and synced. On failure fileName is untouched, the temporary file removed,
// and *error (when given) tells why. errno is preserved.
bool CLWriteFileAtomic(const QString &fileName, const QByteArray &data, QString *error = nullptr);

// Decimal integer text to int; leading/trailing blanks allowed. False for an
// empty, non-decimal or out-of-range text.
bool CLParseInteger(const QString &text, int &value);
