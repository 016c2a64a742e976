#include "services/CLIniFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SameName(const QString &a, const QString &b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

bool CLParseInteger(const QString &text, int &value) {
  bool ok = false;
  const int parsed = text.trimmed().toInt(&ok, 10);
  if (ok)
    value = parsed;
  return ok;
}

TCLIniFile::TCLIniFile(const QString &fileName) {
  Load(fileName);
}

bool TCLIniFile::Load(const QString &fileName) {
  FFileName = fileName;
  FSections.clear();
  QFile file(fileName);
  if (!file.open(QIODevice::ReadOnly))
    return false;
  QByteArray data = file.readAll();
  if (data.startsWith("\xEF\xBB\xBF"))
    data.remove(0, 3);
  SetText(QString::fromUtf8(data));
  return true;
}

void TCLIniFile::SetText(const QString &text) {
  FSections.clear();
  TSection *current = nullptr;
  const QStringList lines = text.split(u'\n');
  for (const QString &raw : lines) {
    const QString line = raw.trimmed();
    if (line.isEmpty() || line.startsWith(u';'))
      continue;
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      const QString name = line.mid(1, line.size() - 2).trimmed();
      current = FindSection(name);
      if (!current) {
        FSections.push_back(TSection{name, {}});
        current = &FSections.back();
      }
      continue;
    }
    if (!current)
      continue; // lines before the first section
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
      continue;
    const QString key = line.left(eq).trimmed();
    if (key.isEmpty())
      continue;
    bool known = false;
    for (const auto &entry : current->Entries) {
      if (SameName(entry.first, key)) {
        known = true;
        break;
      }
    }
    if (!known)
      current->Entries.emplace_back(key, line.mid(eq + 1).trimmed());
  }
}

QString TCLIniFile::Text() const {
  QString out;
  for (const TSection &section : FSections) {
    out += u'[' + section.Name + QStringLiteral("]\n");
    for (const auto &entry : section.Entries)
      out += entry.first + u'=' + entry.second + u'\n';
    out += u'\n';
  }
  return out;
}

const TCLIniFile::TSection *TCLIniFile::FindSection(const QString &section) const {
  for (const TSection &s : FSections) {
    if (SameName(s.Name, section))
      return &s;
  }
  return nullptr;
}

TCLIniFile::TSection *TCLIniFile::FindSection(const QString &section) {
  for (TSection &s : FSections) {
    if (SameName(s.Name, section))
      return &s;
  }
  return nullptr;
}

bool TCLIniFile::FindValue(const QString &section, const QString &key, QString &value) const {
  const TSection *s = FindSection(section);
  if (!s)
    return false;
  for (const auto &entry : s->Entries) {
    if (SameName(entry.first, key)) {
      value = entry.second;
      return true;
    }
  }
  return false;
}

QString TCLIniFile::ReadString(const QString &section, const QString &key,
                               const QString &defaultValue) const {
  QString value;
  return FindValue(section, key, value) ? value : defaultValue;
}

int TCLIniFile::ReadInteger(const QString &section, const QString &key, int defaultValue) const {
  QString text;
  int value = defaultValue;
  if (FindValue(section, key, text))
    CLParseInteger(text, value);
  return value;
}

bool TCLIniFile::ReadBool(const QString &section, const QString &key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TCLIniFile::ValueExists(const QString &section, const QString &key) const {
  QString value;
  return FindValue(section, key, value);
}

bool TCLIniFile::SectionExists(const QString &section) const {
  return FindSection(section) != nullptr;
}

QStringList TCLIniFile::ReadSection(const QString &section) const {
  QStringList keys;
  if (const TSection *s = FindSection(section)) {
    for (const auto &entry : s->Entries)
      keys << entry.first;
  }
  return keys;
}

void TCLIniFile::WriteString(const QString &section, const QString &key, const QString &value) {
  TSection *s = FindSection(section);
  if (!s) {
    FSections.push_back(TSection{section, {}});
    s = &FSections.back();
  }
  for (auto &entry : s->Entries) {
    if (SameName(entry.first, key)) {
      entry.second = value;
      return;
    }
  }
  s->Entries.emplace_back(key, value);
}

void TCLIniFile::EraseSection(const QString &section) {
  std::erase_if(FSections, [&](const TSection &s) { return SameName(s.Name, section); });
}

void TCLIniFile::DeleteKey(const QString &section, const QString &key) {
  if (TSection *s = FindSection(section))
    std::erase_if(s->Entries, [&](const auto &entry) { return SameName(entry.first, key); });
}

bool TCLIniFile::UpdateFile(QString *error) const {
  if (FFileName.isEmpty()) {
    if (error)
      *error = QStringLiteral("no file name");
    return false;
  }
  return CLWriteFileAtomic(FFileName, Text().toUtf8(), error);
}

bool CLWriteFileAtomic(const QString &fileName, const QByteArray &data, QString *error) {
  const int savedErrno = errno;
  const QByteArray target = QFile::encodeName(fileName);
  QByteArray temp = target + ".XXXXXX";
  auto fail = [&](const char *step, int fd) {
    const int err = errno;
    if (fd >= 0)
      ::close(fd);
    if (fd != -2)
      ::unlink(temp.constData());
    if (error)
      *error = QStringLiteral("%1: %2").arg(QLatin1String(step),
                                            QString::fromLocal8Bit(std::strerror(err)));
    errno = savedErrno;
    return false;
  };
  const int fd = ::mkstemp(temp.data());
  if (fd < 0)
    return fail("cannot create a temporary file", -2);
  // Keep the permissions of the file being replaced; a new file gets the
  // usual 0666 less the umask.
  struct stat st {};
  mode_t mode;
  if (::stat(target.constData(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd, mode) != 0)
    return fail("cannot set permissions", fd);
  qsizetype done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return fail("write failed", fd);
    done += n;
  }
  if (::fsync(fd) != 0)
    return fail("write failed", fd);
  if (::close(fd) != 0)
    return fail("write failed", -1);
  if (::rename(temp.constData(), target.constData()) != 0)
    return fail("cannot replace the file", -1);
  errno = savedErrno;
  return true;
}
