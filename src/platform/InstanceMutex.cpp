#include "platform/InstanceMutex.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>

#include <memory>

namespace {

// The held lock; destroyed (and the file removed) at process exit.
std::unique_ptr<QLockFile> gInstanceLock;

} // namespace

QString InstanceRuntimeFolder() {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (folder.isEmpty() || !QFileInfo(folder).isDir())
    folder = QDir::tempPath();
  while (folder.size() > 1 && folder.endsWith(u'/'))
    folder.chop(1);
  return folder;
}

QString InstanceName(const QString &guid) {
  QString safe = guid;
  for (QChar &c : safe) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.' || c == u'{' ||
                    c == u'}';
    if (!ok)
      c = u'_';
  }
  return QStringLiteral("videomill-") + safe;
}

QString InstanceLockPath(const QString &guid) {
  return InstanceRuntimeFolder() + u'/' + InstanceName(guid) + QStringLiteral(".lock");
}

QString InstanceServerPath(const QString &guid) {
  return InstanceRuntimeFolder() + u'/' + InstanceName(guid);
}

bool CreateInstanceMutex(const QString &guid) {
  if (gInstanceLock)
    return true;
  auto lock = std::make_unique<QLockFile>(InstanceLockPath(guid));
  // A live instance may run for days: never treat its lock as stale by age.
  // Locks of processes that are gone are still recognised as stale.
  lock->setStaleLockTime(0);
  if (lock->tryLock(0)) {
    gInstanceLock = std::move(lock);
    return true;
  }
  // Only "another process holds it" means another instance runs. Any other
  // failure (runtime folder not writable, ...) must not keep the application
  // from starting: go on without the lock.
  return lock->error() != QLockFile::LockFailedError;
}

bool InstanceMutexHeld() {
  return gInstanceLock != nullptr;
}

void ReleaseInstanceMutex() {
  gInstanceLock.reset();
}
