#include "profiles/FormatTplIni.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kBom("\xEF\xBB\xBF");

bool HasLineBreakOrNul(const QString &text) {
  for (const QChar c : text)
    if (c == u'\n' || c == u'\r' || c == u'\0')
      return true;
  return false;
}

} // namespace

void TFormatTplIniDoc::SetBytes(const QByteArray &data) {
  FLines.clear();
  FBom = data.startsWith(kBom);
  QByteArray text = FBom ? data.mid(kBom.size()) : data;
  const qsizetype firstLf = text.indexOf('\n');
  FEol = (firstLf > 0 && text.at(firstLf - 1) == '\r') ? QByteArray("\r\n") : QByteArray("\n");
  if (!text.isEmpty()) {
    if (text.endsWith('\n'))
      text.chop(1);
    for (QByteArray line : text.split('\n')) {
      if (line.endsWith('\r'))
        line.chop(1);
      FLines.push_back(line);
    }
  }
  Reindex();
}

QByteArray TFormatTplIniDoc::Bytes() const {
  QByteArray out;
  if (FBom)
    out += kBom;
  for (const QByteArray &line : FLines) {
    out += line;
    out += FEol;
  }
  return out;
}

void TFormatTplIniDoc::Reindex() {
  FSections.clear();
  FSectionIndex.clear();
  TSection *current = nullptr;
  for (int i = 0; i < int(FLines.size()); ++i) {
    const QString line = QString::fromUtf8(FLines[size_t(i)]).trimmed();
    if (line.isEmpty() || line.startsWith(u';'))
      continue;
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      TSection section;
      section.Name = line.mid(1, line.size() - 2).trimmed();
      section.HeaderLine = i;
      FSectionIndex[section.Name.toCaseFolded()].push_back(int(FSections.size()));
      FSections.push_back(std::move(section));
      current = &FSections.back();
      continue;
    }
    if (!current)
      continue; // before the first section
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
      continue;
    TKey key;
    key.Name = line.left(eq).trimmed();
    if (key.Name.isEmpty())
      continue;
    key.Folded = key.Name.toCaseFolded();
    key.Value = line.mid(eq + 1).trimmed();
    key.Line = i;
    current->Keys.push_back(std::move(key));
  }
}

const std::vector<int> *TFormatTplIniDoc::Occurrences(const QString &section) const {
  const auto it = FSectionIndex.constFind(section.trimmed().toCaseFolded());
  return it == FSectionIndex.constEnd() ? nullptr : &it.value();
}

const TFormatTplIniDoc::TKey *TFormatTplIniDoc::FindKey(const QString &section,
                                                        const QString &key) const {
  const std::vector<int> *occurrences = Occurrences(section);
  if (!occurrences)
    return nullptr;
  const QString folded = key.trimmed().toCaseFolded();
  for (const int s : *occurrences)
    for (const TKey &k : FSections[size_t(s)].Keys)
      if (k.Folded == folded)
        return &k;
  return nullptr;
}

bool TFormatTplIniDoc::FindValue(const QString &section, const QString &key, QString &value) const {
  const TKey *k = FindKey(section, key);
  if (!k)
    return false;
  value = k->Value;
  return true;
}

QString TFormatTplIniDoc::ReadString(const QString &section, const QString &key,
                                     const QString &defaultValue) const {
  const TKey *k = FindKey(section, key);
  return k ? k->Value : defaultValue;
}

int TFormatTplIniDoc::ReadInteger(const QString &section, const QString &key,
                                  int defaultValue) const {
  const TKey *k = FindKey(section, key);
  if (!k)
    return defaultValue;
  bool ok = false;
  const int value = k->Value.toInt(&ok, 10);
  return ok ? value : defaultValue;
}

bool TFormatTplIniDoc::ReadBool(const QString &section, const QString &key,
                                bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TFormatTplIniDoc::SectionExists(const QString &section) const {
  return Occurrences(section) != nullptr;
}

QStringList TFormatTplIniDoc::ReadSection(const QString &section) const {
  QStringList names;
  const std::vector<int> *occurrences = Occurrences(section);
  if (!occurrences)
    return names;
  QSet<QString> seen;
  for (const int s : *occurrences)
    for (const TKey &k : FSections[size_t(s)].Keys)
      if (!seen.contains(k.Folded)) {
        seen.insert(k.Folded);
        names.append(k.Name);
      }
  return names;
}

QStringList TFormatTplIniDoc::SectionNames() const {
  QStringList names;
  QSet<QString> seen;
  for (const TSection &s : FSections) {
    const QString folded = s.Name.toCaseFolded();
    if (!seen.contains(folded)) {
      seen.insert(folded);
      names.append(s.Name);
    }
  }
  return names;
}

bool TFormatTplIniDoc::IsValidSectionName(const QString &name) {
  return !name.isEmpty() && name == name.trimmed() && !HasLineBreakOrNul(name);
}

bool TFormatTplIniDoc::IsValidKeyName(const QString &name) {
  return !name.isEmpty() && name == name.trimmed() && !HasLineBreakOrNul(name) &&
         !name.contains(u'=') && !name.startsWith(u';') && !name.startsWith(u'[');
}

bool TFormatTplIniDoc::IsValidValue(const QString &value) {
  return !HasLineBreakOrNul(value);
}

bool TFormatTplIniDoc::WriteString(const QString &section, const QString &key,
                                   const QString &value) {
  if (!IsValidSectionName(section) || !IsValidKeyName(key) || !IsValidValue(value))
    return false;
  if (const TKey *k = FindKey(section, key)) {
    FLines[size_t(k->Line)] = (k->Name + u'=' + value).toUtf8();
  } else if (const std::vector<int> *occurrences = Occurrences(section)) {
    const TSection &first = FSections[size_t(occurrences->front())];
    const int after = first.Keys.empty() ? first.HeaderLine : first.Keys.back().Line;
    FLines.insert(FLines.begin() + after + 1, (key + u'=' + value).toUtf8());
  } else {
    if (!FLines.empty() && !FLines.back().trimmed().isEmpty())
      FLines.emplace_back();
    FLines.push_back((u'[' + section + u']').toUtf8());
    FLines.push_back((key + u'=' + value).toUtf8());
  }
  Reindex();
  return true;
}

void TFormatTplIniDoc::EraseSection(const QString &section) {
  const std::vector<int> *occurrences = Occurrences(section);
  if (!occurrences)
    return;
  // Line ranges [header, next header) of every occurrence, removed from the
  // back so earlier line numbers stay valid.
  std::vector<std::pair<int, int>> ranges;
  for (const int s : *occurrences) {
    const int begin = FSections[size_t(s)].HeaderLine;
    const int end =
        size_t(s) + 1 < FSections.size() ? FSections[size_t(s) + 1].HeaderLine : int(FLines.size());
    ranges.emplace_back(begin, end);
  }
  for (auto it = ranges.rbegin(); it != ranges.rend(); ++it)
    FLines.erase(FLines.begin() + it->first, FLines.begin() + it->second);
  Reindex();
}

bool TFormatTplIniDoc::RenameSection(const QString &from, const QString &to) {
  if (!IsValidSectionName(to))
    return false;
  const std::vector<int> *occurrences = Occurrences(from);
  if (!occurrences)
    return true;
  for (const int s : *occurrences)
    FLines[size_t(FSections[size_t(s)].HeaderLine)] = (u'[' + to + u']').toUtf8();
  Reindex();
  return true;
}

bool TFormatTplIni::Read(TFormatTplIniDoc &doc, QString *error) const {
  doc.SetBytes(QByteArray());
  QFile file(FFileName);
  if (!file.exists())
    return true;
  if (!file.open(QIODevice::ReadOnly)) {
    if (error)
      *error = QStringLiteral("cannot read %1: %2").arg(FFileName, file.errorString());
    return false;
  }
  doc.SetBytes(file.readAll());
  if (file.error() != QFileDevice::NoError) {
    if (error)
      *error = QStringLiteral("cannot read %1: %2").arg(FFileName, file.errorString());
    doc.SetBytes(QByteArray());
    return false;
  }
  return true;
}

namespace {

// Writes all of data to fd; false on any error or short write.
bool WriteAll(int fd, const QByteArray &data) {
  const char *p = data.constData();
  qsizetype left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, size_t(left));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    left -= n;
  }
  return true;
}

} // namespace

bool TFormatTplIni::Write(const TFormatTplIniDoc &doc, QString *error) const {
  const auto fail = [&](const char *step, int err) {
    if (error)
      *error =
          QStringLiteral("cannot write %1 (%2): %3")
              .arg(FFileName, QString::fromLatin1(step), QString::fromLocal8Bit(strerror(err)));
    return false;
  };
  // A symbolic link keeps pointing at the file it names: its target is
  // replaced.
  const QFileInfo info(FFileName);
  const QString target = info.isSymLink() && info.exists() ? info.canonicalFilePath() : FFileName;
  const QByteArray targetName = QFile::encodeName(target);
  struct stat old {};
  const bool existed = ::stat(targetName.constData(), &old) == 0;

  // The new text goes to a temporary file beside the target, which takes the
  // target's place only when completely written and synced.
  QByteArray tempName = targetName + ".tmp-XXXXXX";
  const int fd = ::mkstemp(tempName.data());
  if (fd < 0)
    return fail("temporary file", errno);
  int err = 0;
  const char *step = nullptr;
  const mode_t mode = existed ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd, mode) != 0) {
    err = errno;
    step = "permissions";
  } else if (!WriteAll(fd, doc.Bytes())) {
    err = errno;
    step = "write";
  } else if (::fsync(fd) != 0) {
    err = errno;
    step = "sync";
  }
  if (existed && !step && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
    // Best effort: only a privileged process may hand the file back.
    [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
  }
  if (::close(fd) != 0 && !step) {
    err = errno;
    step = "close";
  }
  if (!step && ::rename(tempName.constData(), targetName.constData()) != 0) {
    err = errno;
    step = "rename";
  }
  if (step) {
    ::unlink(tempName.constData());
    return fail(step, err ? err : EIO);
  }
  return true;
}
