#include "app/CLMain.h"

#include "app/CLCmdLine.h"
#include "app/CLSplashForm.h"
#include "platform/AppChannel.h"
#include "platform/Folders.h"
#include "platform/InstanceMutex.h"
#include "services/CLDebug.h"
#include "services/CLSettings.h"

#include <QApplication>
#include <QFileInfo>
#include <QThread>

namespace {

// The main window's class name, as the running instance is looked up by it.
const QString kMainClass = QStringLiteral("TfrmMain");
// A second start knows an instance holds the lock; its server may still be
// in the making, so it is given this long to appear.
constexpr int kRunningInstanceWaitMs = 3000;
// Pause of a restart between closing the running instance and going on.
constexpr unsigned long kRestartPauseMs = 2000;

void LogMain(const QString &text) {
  CLDebug().LogMessage(text, QStringLiteral("CLMain"));
}

bool CtrlShiftHeld() {
  const Qt::KeyboardModifiers mods = QGuiApplication::queryKeyboardModifiers();
  return mods.testFlag(Qt::ControlModifier) && mods.testFlag(Qt::ShiftModifier);
}

// Frees the settings store on every way out of the launcher.
struct TSettingsGuard {
  ~TSettingsGuard() { FreeSettings(); }
};

} // namespace

bool CLDebugDecision(bool switchD, bool debugEnabled, bool debugDisabled,
                     const std::function<bool()> &ctrlShiftHeld) {
  if (switchD)
    return true;
  if (debugDisabled)
    return false;
  return debugEnabled || (ctrlShiftHeld && ctrlShiftHeld());
}

std::unique_ptr<TCLAppChannel> FindAppWindow(const QString &className, int waitMs) {
  const QString path = InstanceServerPath(Settings()->GetSettingString(QStringLiteral("App.GUID")));
  auto channel = std::make_unique<TCLAppChannel>();
  if (!channel->Connect(path, waitMs))
    return nullptr;
  const std::optional<qint64> id = channel->Send(QString::fromLatin1(kCLGetAppID));
  const int ownId = Settings()->GetSettingInteger(QStringLiteral("App.ID"));
  if (!id || *id != ownId) {
    LogMain(QStringLiteral("FindAppWindow(%1): %2 answers another App.ID").arg(className, path));
    return nullptr;
  }
  return channel;
}

void CloseRunningApp(const QString &className, int waitMs) {
  if (auto window = FindAppWindow(className, waitMs))
    window->Send(QString::fromLatin1(kCLCloseApp));
}

void BringRunningAppToFront(const QString &className, int waitMs) {
  auto window = FindAppWindow(className, waitMs);
  if (!window)
    return;
  const std::optional<qint64> busy = window->Send(QString::fromLatin1(kCLIfBusy));
  if (!busy || *busy == 1)
    return;
  const std::optional<qint64> restored = window->Send(QString::fromLatin1(kCLBringtoFront));
  if (!restored)
    return;
  if (*restored != 1)
    ForceForegroundWindow(*window);
}

void SendCmdParamToApp(const QString &className, const QString &text, int waitMs) {
  if (auto window = FindAppWindow(className, waitMs))
    window->SendWithParam(QString::fromLatin1(kCLCopyData), text);
}

bool ForceForegroundWindow(TCLAppChannel &window) {
  const std::optional<qint64> result = window.Send(QString::fromLatin1(kCLForceForeground));
  return result && *result == 1;
}

int CLMainRunWith(int argc, char *argv[], const std::function<QWidget *()> &createMainWindow,
                  const std::function<bool()> &mayStart) {
  // 1. Floating point: the platform default already masks every exception
  //    and rounds to nearest; nothing to set.
  // 2. The debug channel stays silent until the debug decision.
  CLDebug().SetActive(false);
  CLDebug().SetAutoStart(false);
  const QStringList params = CLParamsFromArgv(argc, argv);
  SetCLParams(params);

  // 3. Switches i and u end at once.
  if (FindCmdLineSwitch(params, u'i') || FindCmdLineSwitch(params, u'u'))
    return 0;

  // The application object from here on: the debug decision reads the
  // keyboard state, and the protocol uses local sockets.
  QApplication app(argc, argv);
  const TSettingsGuard settingsGuard;

  // 4. Close the running instance and end.
  if (FindCmdLineSwitch(params, u's')) {
    CloseRunningApp(kMainClass);
    return 0;
  }
  // 5. Restart: close the running instance, give it time to go, go on.
  if (FindCmdLineSwitch(params, u'r')) {
    CloseRunningApp(kMainClass);
    QThread::msleep(kRestartPauseMs);
  }

  // 6. Debug decision.
  const bool debug = CLDebugDecision(
      FindCmdLineSwitch(params, u'd'), Settings()->GetSettingBool(QStringLiteral("Debug.Enabled")),
      Settings()->GetSettingBool(QStringLiteral("Debug.Disabled")), CtrlShiftHeld);
  SetCLDebugFlag(debug);
  CLDebug().SetActive(debug);
  CLDebug().SetAutoStart(debug);
  if (debug) {
    CLDebug().SetLogFolder(Settings()->UserDataPath());
    CLDebug().LogMessage(QStringLiteral("Enter Debug Mode..."));
    LogMain(QStringLiteral("Start (pid %1): %2")
                .arg(QCoreApplication::applicationPid())
                .arg(params.join(u' ')));
  }

  // 7. Automatic start only when allowed.
  if (FindCmdLineSwitch(params, u'a') &&
      !Settings()->GetSettingBool(QStringLiteral("App.Autorun"))) {
    LogMain(QStringLiteral("Automatic start not allowed"));
    return 0;
  }
  // 8. The host's own say.
  if (mayStart && !mayStart())
    return 0;

  // 9. Single instance.
  if (!Settings()->GetSettingBool(QStringLiteral("App.Multiple")) &&
      !CreateInstanceMutex(Settings()->GetSettingString(QStringLiteral("App.GUID")))) {
    LogMain(QStringLiteral("Another instance runs; handing over"));
    BringRunningAppToFront(kMainClass, kRunningInstanceWaitMs);
    QString file = CmdLineFileParam(params);
    if (!file.isEmpty()) {
      // The running instance has its own working folder.
      if (QFileInfo(file).isRelative())
        file = QFileInfo(file).absoluteFilePath();
      SendCmdParamToApp(kMainClass, file, kRunningInstanceWaitMs);
    }
    return 0;
  }

  // 10.-11. The application object is ready; the splash picture goes up
  // before the main window is built.
  if (Settings()->GetSettingBool(QStringLiteral("App.Splash")))
    (new TfrmCLSplashForm(ApplicationFolder()))->ShowAndPaint();

  // 12.-13. The main window; shown unless started hidden.
  std::unique_ptr<QWidget> mainWindow(createMainWindow());
  if (!FindCmdLineSwitch(params, u'h'))
    mainWindow->show();

  // 14. The event loop.
  const int result = QApplication::exec();
  LogMain(QStringLiteral("Event loop ended (%1)").arg(result));
  mainWindow.reset();
  if (TfrmCLSplashForm *splash = frmCLSplashForm())
    delete splash;
  // 15. The settings store goes with settingsGuard.
  return result;
}
