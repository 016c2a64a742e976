#pragma once
// The wire between two instances of the application: a local socket on which
// a request is one line holding a registered message name ("CL GetAppID",
// ...) and the reply is one line holding the decimal result. The file
// hand-over is the line "CL CopyData" followed by one line holding the file
// parameter, escaped so that any text fits on one line (see EncodeParamLine).
//
// TCLAppChannel is the sending side: blocking, with time-outs, for the
// launcher of a second process (there is no event loop running yet). The
// receiving side lives in TCLEngine. Main thread only (one channel per
// thread is fine too: no shared state).

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QLocalSocket;

// Registered message names of the inter-instance protocol.
inline constexpr char kCLGetAppID[] = "CL GetAppID";
inline constexpr char kCLCloseApp[] = "CL CloseApp";
inline constexpr char kCLInitPost[] = "CL InitPost";
inline constexpr char kCLCmdParam[] = "CL CmdParam";
inline constexpr char kCLIfBusy[] = "CL IfBusy";
inline constexpr char kCLBringtoFront[] = "CL BringtoFront";
// The file hand-over (stands for WM_COPYDATA); its parameter line follows.
inline constexpr char kCLCopyData[] = "CL CopyData";
// Our own request behind ForceForegroundWindow: the receiver shows, raises
// and activates its main window and replies 1 when it is now active.
inline constexpr char kCLForceForeground[] = "CL ForceForeground";

// Longest line either side accepts, in bytes without the newline. A peer that
// sends more is dropped.
inline constexpr int kMaxAppLineBytes = 64 * 1024;

// Default time-outs of the sending side, in milliseconds.
inline constexpr int kAppConnectTimeoutMs = 1000;
inline constexpr int kAppReplyTimeoutMs = 5000;

// One line for any text: UTF-8 with '\\' -> "\\\\", newline -> "\\n",
// carriage return -> "\\r" (no trailing newline added).
QByteArray EncodeParamLine(const QString &text);
// The inverse; false (and text untouched) for an unknown escape, a lone
// trailing backslash or invalid UTF-8.
bool DecodeParamLine(const QByteArray &line, QString &text);

// Collects received bytes and hands out complete lines (without "\n", a
// trailing "\r" removed). Overflow() turns true once a line grows past
// kMaxAppLineBytes; the peer should then be dropped.
class TCLLineBuffer {
public:
  void Append(const QByteArray &data);
  // Takes the next complete line; false when none is complete yet.
  bool TakeLine(QByteArray &line);
  bool Overflow() const { return FOverflow; }

private:
  QByteArray FData;
  bool FOverflow = false;
};

// Parses a reply line: an optional '-' and decimal digits. nullopt otherwise.
std::optional<qint64> ParseReplyLine(const QByteArray &line);

// The sending side: one connection to a running instance.
class TCLAppChannel {
public:
  TCLAppChannel();
  ~TCLAppChannel();
  TCLAppChannel(const TCLAppChannel &) = delete;
  TCLAppChannel &operator=(const TCLAppChannel &) = delete;

  // Connects to the socket at serverPath. While the socket is missing or
  // refuses, tries again every 50 ms until waitMs have passed (waitMs 0: one
  // attempt). Each attempt waits at most kAppConnectTimeoutMs.
  bool Connect(const QString &serverPath, int waitMs = 0);
  bool Connected() const;
  void Disconnect();

  // Sends the message line (and, for the hand-over, the parameter line) and
  // waits up to timeoutMs for the reply. nullopt when not connected, on
  // time-out, when the peer hangs up first or replies no number; the
  // connection is closed in those cases.
  std::optional<qint64> Send(const QString &message, int timeoutMs = kAppReplyTimeoutMs);
  std::optional<qint64> SendWithParam(const QString &message, const QString &param,
                                      int timeoutMs = kAppReplyTimeoutMs);

private:
  std::optional<qint64> Exchange(const QByteArray &request, int timeoutMs);

  std::unique_ptr<QLocalSocket> FSocket;
  TCLLineBuffer FReply;
};
