#pragma once
// The launcher: the first code after static initialisation. CLMainRun
// decides from the command-line switches and the settings whether this
// process runs at all, whether it only passes a request to the instance that
// already runs, whether debug output is on and whether the main window
// starts hidden; then it builds the main window and runs the event loop.
//
// Switches (a parameter "-x" or "/x", any position, any case):
//   i, u  end at once            s  close the running instance, then end
//   r     close the running instance, wait 2000 ms, start normally
//   d     debug mode             a  automatic start: only when "App.Autorun"
//   h     main window hidden
// Parameter 1, when it is a file (see CmdLineFileParam), is handed to the
// running instance or, in the first instance, to the engine's OnCmdFile.
//
// Main thread only.

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class TCLAppChannel;

// Runs the application. createMainWindow builds the main window (the
// application object exists then) and returns it; the launcher owns it and
// deletes it after the event loop, before the settings store is freed.
// mayStart, when given and it returns false, ends the process before any
// window exists. Returns the process exit code (0 for every early end).
int CLMainRunWith(int argc, char *argv[], const std::function<QWidget *()> &createMainWindow,
                  const std::function<bool()> &mayStart = {});

// The launcher for main window class TForm; frmMain receives the window
// while it exists and is reset to nullptr when CLMainRun returns.
template <class TForm>
int CLMainRun(int argc, char *argv[], TForm *&frmMain, const std::function<bool()> &mayStart = {}) {
  const int result = CLMainRunWith(
      argc, argv,
      [&frmMain]() -> QWidget * {
        frmMain = new TForm();
        return frmMain;
      },
      mayStart);
  frmMain = nullptr;
  return result;
}

// The debug decision: on with switch d, or when ("Debug.Enabled" or Ctrl and
// Shift held at start) and not "Debug.Disabled". ctrlShiftHeld is asked only
// when the answer depends on it.
bool CLDebugDecision(bool switchD, bool debugEnabled, bool debugDisabled,
                     const std::function<bool()> &ctrlShiftHeld);

// --- sending side of the inter-instance protocol --------------------------
// The running instance is the one whose server (named by this process's
// "App.GUID") answers "CL GetAppID" with this process's "App.ID". className
// names the main window class that is looked for ("TfrmMain"); it appears in
// the debug output only, as the server name already identifies the product.
// Every request waits at most kAppReplyTimeoutMs for its reply, so a hung or
// dead instance cannot hold a start for long.

// The running instance, connected and confirmed; nullptr when none answers.
// waitMs: how long to keep trying while its server is not (yet) there.
std::unique_ptr<TCLAppChannel> FindAppWindow(const QString &className, int waitMs = 0);
// Asks the running instance to close ("CL CloseApp") and waits for the reply.
void CloseRunningApp(const QString &className, int waitMs = 0);
// "CL IfBusy"; unless busy, "CL BringtoFront"; unless that restored it from
// the notification area, ForceForegroundWindow.
void BringRunningAppToFront(const QString &className, int waitMs = 0);
// Hands text over to the running instance ("CL CopyData").
void SendCmdParamToApp(const QString &className, const QString &text, int waitMs = 0);
// Has the instance behind window show, raise and activate its main window;
// true when it reports its window active.
bool ForceForegroundWindow(TCLAppChannel &window);
