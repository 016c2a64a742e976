#pragma once
// Shared set-up of the application-shell tests: one QApplication for the
// test program, a sandbox of settings (application folder with its own
// const.dat, data folders and runtime folder in a temporary folder), and a
// way to run blocking client code on another thread while the main thread
// keeps the event loop turning.

#include "platform/Folders.h"
#include "platform/InstanceMutex.h"
#include "services/CLDebug.h"
#include "services/CLSettings.h"
#include "support/TestMedia.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vmtest {

class QtAppEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "apptest";
    static char *argv[] = {name, nullptr};
    FApp = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    delete FApp;
    FApp = nullptr;
  }

private:
  QApplication *FApp = nullptr;
};

inline const bool kQtAppEnvironmentAdded =
    (::testing::AddGlobalTestEnvironment(new QtAppEnvironment), true);

// A settings store on a private application folder whose const.dat holds
// constDat; data, runtime and log folders are private too. Restores the
// process state (settings freed, lock released, override cleared) on
// destruction.
class TSettingsSandbox {
public:
  explicit TSettingsSandbox(const std::string &constDat) {
    FreeSettings();
    ReleaseInstanceMutex();
    const std::string app = FTemp.File("app");
    WriteFile(app + "/const.dat", constDat);
    SetApplicationFolderOverride(QString::fromStdString(app));
    qputenv("VIDEOMILL_APPDATA", QByteArray::fromStdString(FTemp.File("appdata")));
    qputenv("VIDEOMILL_COMMON_APPDATA", QByteArray::fromStdString(FTemp.File("common")));
    std::filesystem::create_directories(FTemp.File("runtime"));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(FTemp.File("runtime")));
    CLDebug().SetActive(false);
  }
  ~TSettingsSandbox() {
    FreeSettings();
    ReleaseInstanceMutex();
    SetApplicationFolderOverride(QString());
    CLDebug().SetActive(false);
    CLDebug().SetLogFolder(QString());
  }
  std::string AppFolder() const { return FTemp.File("app") + "/"; }
  std::string Runtime() const { return FTemp.File("runtime"); }
  std::string File(const std::string &name) const { return FTemp.File(name); }

private:
  TempDir FTemp;
};

// Runs work on a QThread while this thread handles events; gives up (and
// fails the test) after timeoutMs. Returns whether work finished.
inline bool RunWhilePumping(const std::function<void()> &work, int timeoutMs = 10000) {
  QThread *thread = QThread::create(work);
  thread->start();
  const QDeadlineTimer deadline(timeoutMs);
  while (!thread->isFinished() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  const bool finished = thread->wait(deadline.hasExpired() ? 0 : 1000);
  EXPECT_TRUE(finished) << "client thread did not finish in time";
  if (finished)
    delete thread;
  return finished;
}

// Turns the event loop until done() or timeoutMs have passed.
inline bool PumpUntil(const std::function<bool()> &done, int timeoutMs = 5000) {
  const QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired())
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

} // namespace vmtest
