#pragma once
// The application engine: the one service object of the application shell.
//
// It lives on the main window (a QObject child of it) and answers the
// inter-instance protocol for that window: it opens the local server named by
// "App.GUID" (see platform/InstanceMutex.h) and replies to each request line
// as the protocol table says. "Posted" messages ("CL InitPost",
// "CL CmdParam") are queued calls to this object on the GUI thread.
//
// It also holds the override and default settings layers (TCLEngineCore) and
// becomes the global engine core when it is the first one.
//
// Still to come with skins and translation: SetSkin/SetLanguage and their
// lists and menus, ShowMessageEx and the texts, pages and URLs, the about box
// and the update scheduling. InitPost marks where they join.
//
// Main thread only.

#include "services/CLEngineCore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QWidget;

class TCLEngine : public QObject, public TCLEngineCore {
  Q_OBJECT

public:
  // AOwner: the owner form (the main window), or nullptr for an engine
  // without a window (no title is set then and no server is opened).
  // Creation: registers the six message names, sets FTitleIncludeVer and
  // FInInited, sets up the settings layers, becomes the global engine core
  // when there is none and copies the debug flag; then opens the server.
  explicit TCLEngine(QWidget *AOwner);
  ~TCLEngine() override;

  // Called once the owner form has been built: posts "CL InitPost".
  void Loaded();
  // The post-start step (runs from the event loop after Loaded): builds and
  // sets the title, takes the command-line file (posting "CL CmdParam") and
  // clears FInInited.
  void InitPost();
  // Closes the splash window, if it still exists.
  void SplashClose();

  // The application name: "App.Name" (the language data's name joins here).
  QString GetAppName() const;
  // Title last built by InitPost ("" before).
  QString AppTitle() const { return FAppTitle; }
  bool TitleIncludeVer() const { return FTitleIncludeVer; }
  void SetTitleIncludeVer(bool value) { FTitleIncludeVer = value; }
  bool Debug() const { return FDebug; }
  // File handed over on the command line or by another instance ("" none).
  QString ParamFile() const { return FParamFile; }
  // True from creation until the end of InitPost: the answer to "CL IfBusy".
  bool InInited() const { return FInInited; }
  // True when less than 300000 ms have passed since the desktop session last
  // asked to end (false when it never asked).
  bool SessionEnding() const;

  // Full path of the local server; "" when none is listening.
  QString ServerPath() const;

  // Answers one request as the protocol table says and returns the reply.
  // message: a registered message name; param: the hand-over text (only
  // for "CL CopyData"). An unknown message is answered with 0 and ignored.
  // The server calls this for every request; it runs the action itself
  // ("CL CloseApp" ends the event loop after the reply has been sent).
  qint64 HandleAppMessage(const QString &message, const QString &param = QString());

signals:
  // Raised from the queued "CL CmdParam" with the stored FParamFile.
  void OnCmdFile(const QString &strFileName);
  // Raised after the title has been set on the window.
  void OnTitleChange();

private:
  void OpenServer();
  void ServerNewConnection();
  void ClientReadyRead(QLocalSocket *client);
  void CmdParam();
  void BuildTitle();
  qint64 BringtoFront();
  qint64 ForceForeground();
  void Log(const QString &text) const;

  QPointer<QWidget> FForm;
  // Registered message names, in registration order.
  QString FWM_CL_GET_APPID;
  QString FWM_CL_CLOSE_APP;
  QString FWM_CL_INITPOST;
  QString FWM_CL_CMDPARAM;
  QString FWM_CL_IF_BUSY;
  QString FWM_CL_BRING_TO_FRONT;

  bool FTitleIncludeVer = true;
  bool FInInited = true;
  QString FParamFile;
  QString FAppTitle;
  QElapsedTimer FQueryEndSessionTime; // invalid until the first query
  QLocalServer *FServer = nullptr;    // child; nullptr when not serving
};

// The global engine, or nullptr while none exists (a core created without
// a TCLEngine, as by the command-line front end, does not count).
TCLEngine *CLEngine();
