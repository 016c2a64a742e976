#include "app/CLEngine.h"

#include "app/CLCmdLine.h"
#include "app/CLSplashForm.h"
#include "platform/AppChannel.h"
#include "platform/InstanceMutex.h"
#include "services/CLDebug.h"
#include "services/CLSettings.h"

#include <QApplication>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace {

TCLEngine *gEngine = nullptr;

// A client that sends nothing for this long is dropped.
constexpr int kClientIdleMs = 10000;
// How long a server that answers the name is given to accept us when we
// look whether the name belongs to a live instance.
constexpr int kProbeConnectMs = 250;

// Per-connection state of the receiving side.
struct TClientState {
  TCLLineBuffer Lines;
  bool AwaitingParam = false; // "CL CopyData" read, its parameter line not yet
};

} // namespace

TCLEngine *CLEngine() {
  return gEngine;
}

TCLEngine::TCLEngine(QWidget *AOwner) : QObject(AOwner), FForm(AOwner) {
  setObjectName(QStringLiteral("CLEngine"));
  // 1. The message names, in registration order.
  FWM_CL_GET_APPID = QString::fromLatin1(kCLGetAppID);
  FWM_CL_CLOSE_APP = QString::fromLatin1(kCLCloseApp);
  FWM_CL_INITPOST = QString::fromLatin1(kCLInitPost);
  FWM_CL_CMDPARAM = QString::fromLatin1(kCLCmdParam);
  FWM_CL_IF_BUSY = QString::fromLatin1(kCLIfBusy);
  FWM_CL_BRING_TO_FRONT = QString::fromLatin1(kCLBringtoFront);
  FTitleIncludeVer = true;
  FInInited = true;
  // 3. The override list starts empty and the default list with the skin and
  // language folders; 4. the core became the global one if there was none
  // and copied the debug flag (TCLEngineCore's constructor).
  FSettingOverwrite.clear();
  if (!gEngine && CLEngineCore() == this)
    gEngine = this;
  // 2. Stand-in for hooking the window's messages: the protocol server.
  if (FForm)
    OpenServer();
  if (qApp) {
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager &) { FQueryEndSessionTime.start(); });
  }
}

TCLEngine::~TCLEngine() {
  if (gEngine == this)
    gEngine = nullptr;
  // The server (a child) closes and removes its socket file when deleted.
}

void TCLEngine::OpenServer() {
  const QString path = InstanceServerPath(Settings()->GetSettingString(QStringLiteral("App.GUID")));
  auto server = std::make_unique<QLocalServer>(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  // Holding the instance lock makes the name ours: whatever socket file is
  // there was left by an instance that died. Without the lock (several
  // instances allowed) the name may belong to a live instance: take it over
  // only when nobody accepts there. (listen() itself would silently replace
  // a live socket file, as it renames its socket into place.)
  if (!InstanceMutexHeld() && QFileInfo::exists(path)) {
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(kProbeConnectMs)) {
      probe.abort();
      Log(QStringLiteral("Server not opened: another instance serves ") + path);
      return;
    }
  }
  QLocalServer::removeServer(path);
  server->listen(path);
  if (!server->isListening()) {
    Log(QStringLiteral("Server not opened: ") + path + QStringLiteral(" (") +
        server->errorString() + u')');
    return;
  }
  FServer = server.release();
  connect(FServer, &QLocalServer::newConnection, this, &TCLEngine::ServerNewConnection);
  Log(QStringLiteral("Server: ") + path);
}

QString TCLEngine::ServerPath() const {
  return FServer && FServer->isListening() ? FServer->fullServerName() : QString();
}

void TCLEngine::ServerNewConnection() {
  while (QLocalSocket *client = FServer->nextPendingConnection()) {
    auto state = std::make_shared<TClientState>();
    auto *idle = new QTimer(client);
    idle->setSingleShot(true);
    idle->setInterval(kClientIdleMs);
    connect(idle, &QTimer::timeout, client, &QLocalSocket::abort);
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::errorOccurred, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client, state, idle] {
      idle->start();
      state->Lines.Append(client->readAll());
      QByteArray line;
      while (client->state() == QLocalSocket::ConnectedState && state->Lines.TakeLine(line)) {
        qint64 reply = 0;
        if (state->AwaitingParam) {
          state->AwaitingParam = false;
          QString param;
          if (!DecodeParamLine(line, param)) {
            Log(QStringLiteral("CopyData: malformed parameter ignored"));
            client->abort();
            return;
          }
          reply = HandleAppMessage(QString::fromLatin1(kCLCopyData), param);
        } else if (line == kCLCopyData) {
          state->AwaitingParam = true;
          continue;
        } else {
          reply = HandleAppMessage(QString::fromUtf8(line));
        }
        client->write(QByteArray::number(reply) + '\n');
        client->flush();
      }
      if (state->Lines.Overflow()) {
        Log(QStringLiteral("Request too long; connection dropped"));
        client->abort();
      }
    });
    idle->start();
  }
}

qint64 TCLEngine::HandleAppMessage(const QString &message, const QString &param) {
  if (message == FWM_CL_GET_APPID) {
    const int id = Settings()->GetSettingInteger(QStringLiteral("App.ID"));
    Log(QStringLiteral("GetAppID: %1").arg(id));
    return id;
  }
  if (message == FWM_CL_CLOSE_APP) {
    Log(QStringLiteral("CloseApp"));
    // Ends the event loop without asking the window: the reply is written
    // before the loop gets to look at the request to quit.
    QCoreApplication::exit(0);
    return 0;
  }
  if (message == FWM_CL_INITPOST) {
    Log(QStringLiteral("InitPost request"));
    QMetaObject::invokeMethod(this, &TCLEngine::InitPost, Qt::QueuedConnection);
    return 0;
  }
  if (message == FWM_CL_CMDPARAM) {
    Log(QStringLiteral("CmdParam request"));
    QMetaObject::invokeMethod(this, &TCLEngine::CmdParam, Qt::QueuedConnection);
    return 0;
  }
  if (message == FWM_CL_IF_BUSY) {
    Log(QStringLiteral("IfBusy: %1").arg(FInInited ? 1 : 0));
    return FInInited ? 1 : 0;
  }
  if (message == FWM_CL_BRING_TO_FRONT)
    return BringtoFront();
  if (message == QLatin1String(kCLCopyData)) {
    FParamFile = param;
    Log(QStringLiteral("CopyData: ") + param);
    QMetaObject::invokeMethod(this, &TCLEngine::CmdParam, Qt::QueuedConnection);
    return 0;
  }
  if (message == QLatin1String(kCLForceForeground))
    return ForceForeground();
  Log(QStringLiteral("Unknown request ignored: ") + message.left(80));
  return 0;
}

qint64 TCLEngine::BringtoFront() {
  if (!FForm) {
    Log(QStringLiteral("BringtoFront: 0"));
    return 0;
  }
  // Hidden in the notification area: the window is hidden while its tray
  // icon shows.
  const QSystemTrayIcon *tray = FForm->findChild<QSystemTrayIcon *>();
  if (!FForm->isVisible() && tray && tray->isVisible()) {
    FForm->showNormal();
    FForm->raise();
    FForm->activateWindow();
    Log(QStringLiteral("BringtoFront: 1"));
    return 1;
  }
  if (FForm->isVisible() && FForm->isMinimized())
    FForm->showNormal();
  Log(QStringLiteral("BringtoFront: 0"));
  return 0;
}

qint64 TCLEngine::ForceForeground() {
  if (!FForm) {
    Log(QStringLiteral("ForceForeground: 0"));
    return 0;
  }
  if (FForm->isMinimized())
    FForm->showNormal();
  else
    FForm->show();
  FForm->raise();
  FForm->activateWindow();
  // Activation is asynchronous with most window managers: 0 here does not
  // mean it failed, only that it has not happened yet.
  const qint64 result = FForm->isActiveWindow() ? 1 : 0;
  Log(QStringLiteral("ForceForeground: %1").arg(result));
  return result;
}

void TCLEngine::Loaded() {
  // Skin and language are applied here once they exist; then the post-start
  // step is posted so that it runs from the event loop.
  HandleAppMessage(FWM_CL_INITPOST);
}

void TCLEngine::InitPost() {
  Log(QStringLiteral("InitPost, main window ") +
      (FForm && FForm->isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden")));
  // The language and skin change events and the automatic update check
  // ("Update.BeginAuto") join here with translation and updates.
  BuildTitle();
  const QString file = CmdLineFileParam(CLParams());
  if (!file.isEmpty()) {
    FParamFile = file;
    Log(QStringLiteral("Command-line file: ") + file);
    HandleAppMessage(FWM_CL_CMDPARAM);
  }
  SplashClose();
  FInInited = false;
}

void TCLEngine::CmdParam() {
  Log(QStringLiteral("CmdParam: ") + FParamFile);
  emit OnCmdFile(FParamFile);
}

void TCLEngine::SplashClose() {
  if (TfrmCLSplashForm *splash = frmCLSplashForm())
    splash->close();
}

QString TCLEngine::GetAppName() const {
  return Settings()->GetSettingString(QStringLiteral("App.Name"));
}

void TCLEngine::BuildTitle() {
  QString title = GetAppName();
  if (FTitleIncludeVer)
    title += QStringLiteral("  ") + Settings()->GetSettingString(QStringLiteral("App.Ver"));
  FAppTitle = title;
  if (Settings()->GetSettingBool(QStringLiteral("App.NoAutoTitle")))
    return;
  QGuiApplication::setApplicationDisplayName(title);
  if (FForm)
    FForm->setWindowTitle(title);
  emit OnTitleChange();
}

bool TCLEngine::SessionEnding() const {
  return FQueryEndSessionTime.isValid() && FQueryEndSessionTime.elapsed() < 300000;
}

void TCLEngine::Log(const QString &text) const {
  CLDebug().LogMessage(text, QStringLiteral("CLEngine"));
}
