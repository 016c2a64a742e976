#include "platform/Folders.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QMutex gOverrideLock;
QString gAppFolderOverride; // guarded by gOverrideLock

// The value of an environment variable, or "" when unset or empty.
QString EnvFolder(const char *name) {
  return qEnvironmentVariable(name);
}

} // namespace

QString WithSlash(const QString &folder) {
  if (folder.isEmpty() || folder.endsWith(u'/'))
    return folder;
  return folder + u'/';
}

QString WithoutSlash(QString folder) {
  while (folder.size() > 1 && folder.endsWith(u'/'))
    folder.chop(1);
  return folder;
}

QString ExecutableFile() {
  // /proc/self/exe works before (and without) a QCoreApplication.
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0)
    return QString();
  return QString::fromUtf8(buffer, n);
}

QString ApplicationFolder() {
  {
    QMutexLocker lock(&gOverrideLock);
    if (!gAppFolderOverride.isEmpty())
      return gAppFolderOverride;
  }
  const QString env = EnvFolder("VIDEOMILL_APPDIR");
  if (!env.isEmpty())
    return WithSlash(env);
  const QString exe = ExecutableFile();
  if (exe.isEmpty())
    return QString();
  QFileInfo info(exe);
  QString folder = info.canonicalPath();
  if (folder.isEmpty())
    folder = info.absolutePath();
  return WithSlash(folder);
}

void SetApplicationFolderOverride(const QString &folder) {
  QMutexLocker lock(&gOverrideLock);
  gAppFolderOverride = WithSlash(folder);
}

QString UserAppDataFolder() {
  QString folder = EnvFolder("VIDEOMILL_APPDATA");
  if (folder.isEmpty())
    folder = EnvFolder("XDG_DATA_HOME");
  if (folder.isEmpty()) {
    const QString home = QDir::homePath();
    if (home.isEmpty())
      return QString();
    folder = home + QStringLiteral("/.local/share");
  }
  return WithoutSlash(folder);
}

QString CommonAppDataFolder() {
  const QString folder = EnvFolder("VIDEOMILL_COMMON_APPDATA");
  return folder.isEmpty() ? QStringLiteral("/var/lib") : WithoutSlash(folder);
}

QString DocumentsFolder() {
  QString folder = EnvFolder("VIDEOMILL_DOCUMENTS");
  if (folder.isEmpty())
    folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return WithoutSlash(folder);
}

QString DesktopFolder() {
  QString folder = EnvFolder("VIDEOMILL_DESKTOP");
  if (folder.isEmpty())
    folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  return WithoutSlash(folder);
}

QString ConfigWordFromPath(const QString &executablePath) {
  QString word = executablePath;
  for (QChar &c : word) {
    if (c == u'/' || c == u'\\' || c == u':')
      c = u'_';
  }
  return word;
}

bool ForceFolder(const QString &folder) {
  if (folder.isEmpty())
    return false;
  if (QFileInfo(folder).isDir())
    return true;
  QDir().mkpath(folder);
  return QFileInfo(folder).isDir();
}

bool IsFolderWriteable(const QString &folder) {
  const int savedErrno = errno;
  bool result = false;
  if (!folder.isEmpty()) {
    const QByteArray path = QFile::encodeName(folder);
    struct stat st {};
    if (stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
      result = access(path.constData(), W_OK) == 0;
  }
  errno = savedErrno;
  return result;
}

bool FolderCreationTime(const QString &folder, QDateTime &utcTime) {
  if (folder.isEmpty())
    return false;
  const QByteArray path = QFile::encodeName(folder);
  struct statx stx {};
  if (statx(AT_FDCWD, path.constData(), 0, STATX_BTIME | STATX_CTIME, &stx) != 0)
    return false;
  const struct statx_timestamp *ts = nullptr;
  if (stx.stx_mask & STATX_BTIME)
    ts = &stx.stx_btime;
  else if (stx.stx_mask & STATX_CTIME)
    ts = &stx.stx_ctime;
  if (!ts)
    return false;
  utcTime = QDateTime::fromMSecsSinceEpoch(
      static_cast<qint64>(ts->tv_sec) * 1000 + ts->tv_nsec / 1000000, Qt::UTC);
  return true;
}
