// Launcher rules without a second process: switch parsing, the file
// parameter, the debug decision, the single-instance lock and the wire
// format and time-outs of the sending side.

#include "AppTestEnv.h"

#include "app/CLCmdLine.h"
#include "app/CLMain.h"
#include "platform/AppChannel.h"
#include "platform/InstanceMutex.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vmtest;

namespace {

QStringList P(std::initializer_list<const char *> items) {
  QStringList list;
  for (const char *item : items)
    list << QString::fromUtf8(item);
  return list;
}

} // namespace

TEST(CmdLineSwitch, LetterAfterDashOrSlashAnyCaseAnyPosition) {
  EXPECT_TRUE(FindCmdLineSwitch(P({"/s"}), u's'));
  EXPECT_TRUE(FindCmdLineSwitch(P({"-S"}), u's'));
  EXPECT_TRUE(FindCmdLineSwitch(P({"/S"}), u'S'));
  EXPECT_TRUE(FindCmdLineSwitch(P({"file.mp4", "/x", "-h"}), u'h'));
  EXPECT_TRUE(FindCmdLineSwitch(P({"/u", "/s"}), u'u'));
}

TEST(CmdLineSwitch, LongerShorterOrOtherPrefixIsNoSwitch) {
  EXPECT_FALSE(FindCmdLineSwitch(P({"/sx"}), u's'));
  EXPECT_FALSE(FindCmdLineSwitch(P({"--s"}), u's'));
  EXPECT_FALSE(FindCmdLineSwitch(P({"s"}), u's'));
  EXPECT_FALSE(FindCmdLineSwitch(P({"-", "/"}), u's'));
  EXPECT_FALSE(FindCmdLineSwitch(P({"+s", "\\s"}), u's'));
  EXPECT_FALSE(FindCmdLineSwitch(P({"/r"}), u's'));
  EXPECT_FALSE(FindCmdLineSwitch(QStringList(), u's'));
}

TEST(CmdLineFile, OnlyParameterOneWhenItIsNoOption) {
  EXPECT_EQ(CmdLineFileParam(P({"clip.mp4", "/h"})), QStringLiteral("clip.mp4"));
  EXPECT_EQ(CmdLineFileParam(P({"/home/me/My Videos/a.mp4"})),
            QStringLiteral("/home/me/My Videos/a.mp4"));
  EXPECT_EQ(CmdLineFileParam(P({"/h", "clip.mp4"})), QString());
  EXPECT_EQ(CmdLineFileParam(P({"-d"})), QString());
  EXPECT_EQ(CmdLineFileParam(P({"/sx"})), QString());
  EXPECT_EQ(CmdLineFileParam(P({"-/odd/name"})), QString());
  EXPECT_EQ(CmdLineFileParam(P({""})), QString());
  EXPECT_EQ(CmdLineFileParam(QStringList()), QString());
}

TEST(CmdLineFile, ArgvIsReadAsUtf8WithoutProgramName) {
  char prog[] = "videomill";
  char a1[] = "/tmp/\xc3\xa9t\xc3\xa9.mp4";
  char a2[] = "/H";
  char *argv[] = {prog, a1, a2, nullptr};
  const QStringList params = CLParamsFromArgv(3, argv);
  ASSERT_EQ(params.size(), 2);
  EXPECT_EQ(params[0], QString::fromUtf8("/tmp/\xc3\xa9t\xc3\xa9.mp4"));
  EXPECT_TRUE(FindCmdLineSwitch(params, u'h'));
}

TEST(DebugDecision, Table) {
  int asked = 0;
  auto keys = [&asked](bool held) {
    return [&asked, held] {
      ++asked;
      return held;
    };
  };
  struct Row {
    bool d, enabled, disabled, ctrlShift, expected;
  };
  const Row rows[] = {
      {false, false, false, false, false}, {false, true, false, false, true},
      {false, true, true, false, false},   {true, true, true, false, true},
      {true, false, false, false, true},   {false, false, false, true, true},
      {false, false, true, true, false},   {true, false, true, true, true},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(CLDebugDecision(row.d, row.enabled, row.disabled, keys(row.ctrlShift)), row.expected)
        << "d=" << row.d << " enabled=" << row.enabled << " disabled=" << row.disabled
        << " keys=" << row.ctrlShift;
  }
  // The keyboard is read only when the answer depends on it.
  asked = 0;
  CLDebugDecision(true, false, false, keys(true));
  CLDebugDecision(false, true, false, keys(true));
  CLDebugDecision(false, false, true, keys(true));
  EXPECT_EQ(asked, 0);
  CLDebugDecision(false, false, false, keys(false));
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(CLDebugDecision(false, false, false, {}));
}

TEST(InstanceMutex, NamesStayInsideTheRuntimeFolder) {
  TSettingsSandbox sandbox("[setting]\n");
  const QString runtime = QString::fromStdString(sandbox.Runtime());
  EXPECT_EQ(InstanceRuntimeFolder(), runtime);
  EXPECT_EQ(InstanceName(QStringLiteral("{AB-12}")), QStringLiteral("videomill-{AB-12}"));
  EXPECT_EQ(InstanceName(QStringLiteral("../../etc/x y")),
            QStringLiteral("videomill-.._.._etc_x_y"));
  EXPECT_EQ(InstanceLockPath(QStringLiteral("g")), runtime + QStringLiteral("/videomill-g.lock"));
  EXPECT_EQ(InstanceServerPath(QString()), runtime + QStringLiteral("/videomill-"));

  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(sandbox.File("missing")));
  EXPECT_EQ(InstanceRuntimeFolder(), QDir::tempPath());
  qunsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceRuntimeFolder(), QDir::tempPath());
}

TEST(InstanceMutex, HeldUntilReleasedAndExclusive) {
  TSettingsSandbox sandbox("[setting]\n");
  EXPECT_FALSE(InstanceMutexHeld());
  ASSERT_TRUE(CreateInstanceMutex(QStringLiteral("lock-a")));
  EXPECT_TRUE(InstanceMutexHeld());
  EXPECT_TRUE(CreateInstanceMutex(QStringLiteral("lock-a")));
  {
    // Anybody else (here: another lock object) is refused while we hold it.
    QLockFile other(InstanceLockPath(QStringLiteral("lock-a")));
    other.setStaleLockTime(0);
    EXPECT_FALSE(other.tryLock(0));
  }
  ReleaseInstanceMutex();
  EXPECT_FALSE(InstanceMutexHeld());
  EXPECT_FALSE(QFileInfo::exists(InstanceLockPath(QStringLiteral("lock-a"))));
}

TEST(InstanceMutex, HeldByAnotherLiveOwnerIsRefused) {
  TSettingsSandbox sandbox("[setting]\n");
  QLockFile other(InstanceLockPath(QStringLiteral("lock-b")));
  ASSERT_TRUE(other.tryLock(0));
  EXPECT_FALSE(CreateInstanceMutex(QStringLiteral("lock-b")));
  EXPECT_FALSE(InstanceMutexHeld());
  other.unlock();
  EXPECT_TRUE(CreateInstanceMutex(QStringLiteral("lock-b")));
}

TEST(InstanceMutex, LockOfAGoneProcessIsTakenOver) {
  TSettingsSandbox sandbox("[setting]\n");
  // A lock file as a killed instance leaves it: a pid that does not run.
  pid_t child = fork();
  if (child == 0)
    _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WriteFile(InstanceLockPath(QStringLiteral("lock-c")).toStdString(),
                        std::to_string(child) + "\nvideomill\n" +
                            QSysInfo::machineHostName().toStdString() + "\n"));
  EXPECT_TRUE(CreateInstanceMutex(QStringLiteral("lock-c")));
  EXPECT_TRUE(InstanceMutexHeld());
}

TEST(InstanceMutex, UnusableRuntimeFolderDoesNotBlockTheStart) {
  TSettingsSandbox sandbox("[setting]\n");
  // No lock file can be made in /proc (not even by root): that is no other
  // instance, so the start goes on, unguarded.
  qputenv("XDG_RUNTIME_DIR", "/proc");
  EXPECT_TRUE(CreateInstanceMutex(QStringLiteral("d")));
  EXPECT_FALSE(InstanceMutexHeld());
}

TEST(AppWire, ParamLineRoundTripsAnyText) {
  const QString samples[] = {QStringLiteral("/tmp/a b.mp4"), QStringLiteral("two\nlines\r\n"),
                             QStringLiteral("back\\slash\\n"),
                             QString::fromUtf8("\xc3\xa9\xe2\x82\xac"), QString()};
  for (const QString &text : samples) {
    const QByteArray line = EncodeParamLine(text);
    EXPECT_FALSE(line.contains('\n'));
    EXPECT_FALSE(line.contains('\r'));
    QString back = QStringLiteral("unchanged");
    ASSERT_TRUE(DecodeParamLine(line, back));
    EXPECT_EQ(back, text);
  }
  QString text = QStringLiteral("unchanged");
  EXPECT_FALSE(DecodeParamLine("bad\\x", text));
  EXPECT_FALSE(DecodeParamLine("trailing\\", text));
  EXPECT_FALSE(DecodeParamLine("\xff\xfe", text));
  EXPECT_EQ(text, QStringLiteral("unchanged"));
}

TEST(AppWire, LineBufferSplitsJoinsAndLimits) {
  TCLLineBuffer buffer;
  QByteArray line;
  buffer.Append("CL Get");
  EXPECT_FALSE(buffer.TakeLine(line));
  buffer.Append("AppID\r\nCL IfBusy\n\nrest");
  ASSERT_TRUE(buffer.TakeLine(line));
  EXPECT_EQ(line, QByteArray("CL GetAppID"));
  ASSERT_TRUE(buffer.TakeLine(line));
  EXPECT_EQ(line, QByteArray("CL IfBusy"));
  ASSERT_TRUE(buffer.TakeLine(line));
  EXPECT_EQ(line, QByteArray());
  EXPECT_FALSE(buffer.TakeLine(line));
  EXPECT_FALSE(buffer.Overflow());

  TCLLineBuffer big;
  big.Append(QByteArray(kMaxAppLineBytes, 'a'));
  EXPECT_FALSE(big.Overflow());
  big.Append("a");
  EXPECT_TRUE(big.Overflow());
  EXPECT_FALSE(big.TakeLine(line));

  TCLLineBuffer second;
  second.Append("ok\n" + QByteArray(kMaxAppLineBytes + 1, 'b'));
  ASSERT_TRUE(second.TakeLine(line));
  EXPECT_TRUE(second.Overflow());
}

TEST(AppWire, ReplyLineIsADecimalNumber) {
  EXPECT_EQ(ParseReplyLine("0"), 0);
  EXPECT_EQ(ParseReplyLine("20110417"), 20110417);
  EXPECT_EQ(ParseReplyLine("-5"), -5);
  EXPECT_EQ(ParseReplyLine(" 7 "), 7);
  EXPECT_FALSE(ParseReplyLine(""));
  EXPECT_FALSE(ParseReplyLine("1x"));
  EXPECT_FALSE(ParseReplyLine("0x10"));
  EXPECT_FALSE(ParseReplyLine("--1"));
  EXPECT_FALSE(ParseReplyLine("99999999999999999999999"));
}

TEST(AppChannel, MissingServerFailsAfterTheWaitOnly) {
  TSettingsSandbox sandbox("[setting]\n");
  TCLAppChannel channel;
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(channel.Connect(InstanceServerPath(QStringLiteral("none"))));
  EXPECT_LT(timer.elapsed(), 500);
  timer.restart();
  EXPECT_FALSE(channel.Connect(InstanceServerPath(QStringLiteral("none")), 300));
  EXPECT_GE(timer.elapsed(), 300);
  EXPECT_LT(timer.elapsed(), 2000);
  EXPECT_FALSE(channel.Send(QStringLiteral("CL IfBusy")));
}

TEST(AppChannel, StaleSocketFileIsRefusedQuickly) {
  TSettingsSandbox sandbox("[setting]\n");
  const QByteArray path = InstanceServerPath(QStringLiteral("stale")).toUtf8();
  // A socket file whose server is gone.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ::close(fd);
  ASSERT_TRUE(QFileInfo::exists(QString::fromUtf8(path)));
  TCLAppChannel channel;
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(channel.Connect(QString::fromUtf8(path)));
  EXPECT_LT(timer.elapsed(), 500);
}

TEST(AppChannel, SilentServerTimesOutAndWrongReplyIsRejected) {
  TSettingsSandbox sandbox("[setting]\n");
  QLocalServer server;
  const QString path = InstanceServerPath(QStringLiteral("silent"));
  ASSERT_TRUE(server.listen(path));
  QByteArray received;
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    QLocalSocket *client = server.nextPendingConnection();
    QObject::connect(client, &QLocalSocket::readyRead, [&, client] {
      received += client->readAll();
      if (received.contains("CL IfBusy\n")) {
        client->write("busy\n"); // no number
        client->flush();
      }
    });
  });
  std::optional<qint64> first = 42, second = 42;
  qint64 elapsed = 0;
  RunWhilePumping([&] {
    TCLAppChannel channel;
    if (!channel.Connect(path))
      return;
    QElapsedTimer timer;
    timer.start();
    first = channel.Send(QStringLiteral("CL GetAppID"), 300);
    elapsed = timer.elapsed();
    TCLAppChannel again;
    if (again.Connect(path))
      second = again.Send(QStringLiteral("CL IfBusy"), 2000);
  });
  EXPECT_FALSE(first);
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(elapsed, 2000);
  EXPECT_FALSE(second);
  EXPECT_TRUE(received.contains("CL GetAppID\n"));
}
