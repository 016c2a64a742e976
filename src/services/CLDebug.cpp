#include "services/CLDebug.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>

namespace {
QMutex gDebugLock;
bool gActive = false;
bool gAutoStart = false;
bool gAnnounced = false;
bool gDebugFlag = false;
QString gLogFolder;
} // namespace

TCLDebugChannel &CLDebug() {
  static TCLDebugChannel channel;
  return channel;
}

bool CLDebugFlag() { return gDebugFlag; }
void SetCLDebugFlag(bool value) { gDebugFlag = value; }

bool TCLDebugChannel::Active() const {
  QMutexLocker lock(&gDebugLock);
  return gActive;
}

void TCLDebugChannel::SetActive(bool value) {
  QMutexLocker lock(&gDebugLock);
  gActive = value;
}

bool TCLDebugChannel::AutoStart() const {
  QMutexLocker lock(&gDebugLock);
  return gAutoStart;
}

void TCLDebugChannel::SetAutoStart(bool value) {
  QMutexLocker lock(&gDebugLock);
  gAutoStart = value;
}

void TCLDebugChannel::SetLogFolder(const QString &folder) {
  QMutexLocker lock(&gDebugLock);
  gLogFolder = folder;
}

QString TCLDebugChannel::LogFile() const {
  QMutexLocker lock(&gDebugLock);
  return gLogFolder.isEmpty() ? QString() : QDir(gLogFolder).filePath(QStringLiteral("debug.log"));
}

void TCLDebugChannel::LogMessage(const QString &text, const QString &tag) {
  QMutexLocker lock(&gDebugLock);
  if (!gActive)
    return;
  const QString file =
      gLogFolder.isEmpty() ? QString() : QDir(gLogFolder).filePath(QStringLiteral("debug.log"));
  if (gAutoStart && !gAnnounced) {
    gAnnounced = true;
    std::fprintf(stderr, "[Debug] debug log: %s\n",
                 file.isEmpty() ? "(stderr only)" : qPrintable(file));
  }
  const QString line = tag.isEmpty() ? text : QStringLiteral("[%1] %2").arg(tag, text);
  std::fprintf(stderr, "%s\n", qPrintable(line));
  if (!file.isEmpty()) {
    QFile out(file);
    if (out.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
      const QString stamped =
          QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) + line +
          u'\n';
      out.write(stamped.toUtf8());
    }
  }
}
