// The receiving side of the inter-instance protocol and the engine's
// start-up steps, in process: a client on another thread talks to the
// engine's server over the real socket while this thread runs the events.

#include "AppTestEnv.h"

#include "app/CLCmdLine.h"
#include "app/CLEngine.h"
#include "platform/AppChannel.h"
#include "platform/InstanceMutex.h"

#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QWidget>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace vmtest;

namespace {

const char *kConst = "[setting]\n"
                     "App.Name=Videomill\n"
                     "App.Ver=1.0.0.1\n"
                     "App.ID=777\n"
                     "App.GUID=engine-test\n";

class CLEngineTest : public ::testing::Test {
protected:
  void SetUp() override { SetCLParams(QStringList()); }
  void TearDown() override {
    SetCLParams(QStringList());
    QGuiApplication::setApplicationDisplayName(QString());
  }
  TSettingsSandbox FSandbox{kConst};
};

// Sends requests over one connection; the replies in order (nullopt for a
// request that got none).
std::vector<std::optional<qint64>>
Exchange(const QString &path, const std::vector<std::pair<QString, QString>> &requests,
         int timeoutMs = 3000) {
  std::vector<std::optional<qint64>> replies;
  RunWhilePumping([&] {
    TCLAppChannel channel;
    if (!channel.Connect(path))
      return;
    for (const auto &[message, param] : requests) {
      if (message == QLatin1String(kCLCopyData))
        replies.push_back(channel.SendWithParam(message, param, timeoutMs));
      else
        replies.push_back(channel.Send(message, timeoutMs));
    }
  });
  return replies;
}

// Writes raw bytes and collects what comes back until the peer hangs up or
// timeoutMs pass.
QByteArray RawExchange(const QString &path, const QByteArray &bytes, int timeoutMs = 2000) {
  QByteArray answer;
  RunWhilePumping([&] {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(1000))
      return;
    socket.write(bytes);
    socket.waitForBytesWritten(1000);
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QLocalSocket::ConnectedState && timer.elapsed() < timeoutMs) {
      if (socket.waitForReadyRead(100))
        answer += socket.readAll();
    }
    answer += socket.readAll();
  });
  return answer;
}

} // namespace

TEST_F(CLEngineTest, CreationStepsAndGlobalInstance) {
  QWidget form;
  {
    TCLEngine engine(&form);
    EXPECT_EQ(CLEngine(), &engine);
    EXPECT_EQ(CLEngineCore(), &engine);
    EXPECT_TRUE(engine.InInited());
    EXPECT_TRUE(engine.TitleIncludeVer());
    EXPECT_TRUE(engine.FSettingOverwrite.isEmpty());
    EXPECT_EQ(engine.FSettingDefault, QStringList({QStringLiteral("Path.Skins=skins"),
                                                   QStringLiteral("Path.Languages=lang")}));
    // A second engine does not take the global place.
    TCLEngine second(nullptr);
    EXPECT_EQ(CLEngine(), &engine);
    EXPECT_TRUE(second.ServerPath().isEmpty());
  }
  EXPECT_EQ(CLEngine(), nullptr);
  EXPECT_EQ(CLEngineCore(), nullptr);
}

TEST_F(CLEngineTest, CopiesTheDebugFlag) {
  SetCLDebugFlag(true);
  TCLEngine on(nullptr);
  SetCLDebugFlag(false);
  TCLEngine off(nullptr);
  EXPECT_TRUE(on.Debug());
  EXPECT_FALSE(off.Debug());
}

TEST_F(CLEngineTest, AnswersGetAppIdAndIfBusyUntilInitPostEnds) {
  QWidget form;
  TCLEngine engine(&form);
  const QString path = engine.ServerPath();
  ASSERT_EQ(path, InstanceServerPath(QStringLiteral("engine-test")));
  const QString id = QString::fromLatin1(kCLGetAppID);
  const QString busy = QString::fromLatin1(kCLIfBusy);
  auto replies = Exchange(path, {{id, {}}, {busy, {}}});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], 777);
  EXPECT_EQ(replies[1], 1);

  engine.Loaded(); // posts InitPost; the pumping below runs it
  ASSERT_TRUE(PumpUntil([&] { return !engine.InInited(); }));
  replies = Exchange(path, {{busy, {}}, {QStringLiteral("CL Nonsense"), {}}});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], 0);
  EXPECT_EQ(replies[1], 0);
}

TEST_F(CLEngineTest, HandOverStoresAnyPathAndRaisesOnCmdFileLater) {
  QWidget form;
  TCLEngine engine(&form);
  QStringList files;
  QObject::connect(&engine, &TCLEngine::OnCmdFile,
                   [&files](const QString &strFileName) { files << strFileName; });
  const QString odd = QString::fromUtf8("/tmp/new\nline \\n \xc3\xa9.mp4");
  auto replies = Exchange(engine.ServerPath(), {{QString::fromLatin1(kCLCopyData), odd}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], 0);
  EXPECT_EQ(engine.ParamFile(), odd);
  ASSERT_TRUE(PumpUntil([&] { return !files.isEmpty(); }));
  EXPECT_EQ(files, QStringList({odd}));

  // Directly: the event is posted, not raised inside the request.
  files.clear();
  EXPECT_EQ(engine.HandleAppMessage(QString::fromLatin1(kCLCopyData), QStringLiteral("/b.mkv")), 0);
  EXPECT_TRUE(files.isEmpty());
  ASSERT_TRUE(PumpUntil([&] { return !files.isEmpty(); }));
  EXPECT_EQ(files, QStringList({QStringLiteral("/b.mkv")}));
}

TEST_F(CLEngineTest, MalformedOrOversizedRequestsDropOnlyThatClient) {
  QWidget form;
  TCLEngine engine(&form);
  const QString path = engine.ServerPath();
  // A hand-over whose parameter line is no valid escape: no reply, dropped,
  // nothing stored.
  EXPECT_EQ(RawExchange(path, "CL CopyData\nbad\\q\n"), QByteArray());
  EXPECT_TRUE(engine.ParamFile().isEmpty());
  // A line longer than the limit: dropped without reply.
  EXPECT_EQ(RawExchange(path, QByteArray(kMaxAppLineBytes + 10, 'x')), QByteArray());
  // Two requests in one write are both answered, in order.
  EXPECT_EQ(RawExchange(path, "CL GetAppID\r\nCL IfBusy\n", 500), QByteArray("777\n1\n"));
  // The server still serves.
  auto replies = Exchange(path, {{QString::fromLatin1(kCLGetAppID), {}}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], 777);
}

TEST_F(CLEngineTest, CloseAppRepliesThenEndsTheEventLoop) {
  QWidget form;
  TCLEngine engine(&form);
  const QString path = engine.ServerPath();
  std::optional<qint64> reply;
  QThread *client = QThread::create([&] {
    TCLAppChannel channel;
    if (channel.Connect(path, 2000))
      reply = channel.Send(QString::fromLatin1(kCLCloseApp));
  });
  QEventLoop loop;
  bool timedOut = false;
  QTimer::singleShot(5000, &loop, [&] {
    timedOut = true;
    loop.quit();
  });
  client->start();
  loop.exec();
  client->wait(5000);
  delete client;
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(reply, 0);
}

TEST_F(CLEngineTest, ForegroundRequestsRestoreTheWindow) {
  QWidget form;
  TCLEngine engine(&form);
  const QString path = engine.ServerPath();
  // Hidden without a tray icon: BringtoFront cannot restore (0), forcing
  // shows it.
  auto replies = Exchange(path, {{QString::fromLatin1(kCLBringtoFront), {}}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], 0);
  EXPECT_FALSE(form.isVisible());
  replies = Exchange(path, {{QString::fromLatin1(kCLForceForeground), {}}});
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_TRUE(replies[0].has_value());
  EXPECT_TRUE(form.isVisible());

  // Minimised: BringtoFront restores it and still answers 0.
  form.showMinimized();
  ASSERT_TRUE(PumpUntil([&] { return form.isMinimized(); }));
  replies = Exchange(path, {{QString::fromLatin1(kCLBringtoFront), {}}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], 0);
  EXPECT_FALSE(form.isMinimized());
}

TEST_F(CLEngineTest, InitPostBuildsTheTitleAndTakesTheCommandLineFile) {
  QWidget form;
  TCLEngine engine(&form);
  QStringList files;
  int titleChanges = 0;
  QObject::connect(&engine, &TCLEngine::OnCmdFile, [&](const QString &f) { files << f; });
  QObject::connect(&engine, &TCLEngine::OnTitleChange, [&] { ++titleChanges; });
  SetCLParams({QStringLiteral("/home/me/clip one.mp4"), QStringLiteral("/h")});
  engine.InitPost();
  EXPECT_EQ(engine.AppTitle(), QStringLiteral("Videomill  1.0.0.1"));
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Videomill  1.0.0.1"));
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QStringLiteral("Videomill  1.0.0.1"));
  EXPECT_EQ(titleChanges, 1);
  EXPECT_EQ(engine.ParamFile(), QStringLiteral("/home/me/clip one.mp4"));
  EXPECT_FALSE(engine.InInited());
  EXPECT_TRUE(files.isEmpty()); // posted
  ASSERT_TRUE(PumpUntil([&] { return !files.isEmpty(); }));
  EXPECT_EQ(files, QStringList({QStringLiteral("/home/me/clip one.mp4")}));
}

TEST_F(CLEngineTest, InitPostWithoutFileOrWithOptionsFirst) {
  QWidget form;
  TCLEngine engine(&form);
  QStringList files;
  QObject::connect(&engine, &TCLEngine::OnCmdFile, [&](const QString &f) { files << f; });
  SetCLParams({QStringLiteral("/h"), QStringLiteral("/tmp/a.mp4")});
  engine.SetTitleIncludeVer(false);
  engine.InitPost();
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Videomill"));
  EXPECT_TRUE(engine.ParamFile().isEmpty());
  QCoreApplication::processEvents();
  EXPECT_TRUE(files.isEmpty());
}

TEST(CLEngineTitle, NoAutoTitleBuildsButDoesNotSet) {
  TSettingsSandbox sandbox("[setting]\nApp.Name=Quiet\nApp.Ver=2.0\nApp.NoAutoTitle=1\n"
                           "App.GUID=no-title\n");
  QWidget form;
  form.setWindowTitle(QStringLiteral("unchanged"));
  TCLEngine engine(&form);
  int titleChanges = 0;
  QObject::connect(&engine, &TCLEngine::OnTitleChange, [&] { ++titleChanges; });
  engine.InitPost();
  EXPECT_EQ(engine.AppTitle(), QStringLiteral("Quiet  2.0"));
  EXPECT_EQ(form.windowTitle(), QStringLiteral("unchanged"));
  EXPECT_EQ(titleChanges, 0);
}

TEST(CLEngineServer, StaleSocketIsTakenOverLiveOneIsLeftAlone) {
  TSettingsSandbox sandbox("[setting]\nApp.ID=5\nApp.GUID=taken\n");
  const QString path = InstanceServerPath(QStringLiteral("taken"));
  {
    // A live server of another instance (several instances allowed): the
    // engine does not steal its name.
    QLocalServer other;
    ASSERT_TRUE(other.listen(path));
    QWidget form;
    TCLEngine engine(&form);
    EXPECT_TRUE(engine.ServerPath().isEmpty());
    EXPECT_TRUE(other.isListening());
  }
  // A socket file left by a killed instance: taken over.
  const QByteArray raw = path.toUtf8();
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, raw.constData(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ::close(fd);
  QWidget form;
  TCLEngine engine(&form);
  EXPECT_EQ(engine.ServerPath(), path);
  auto replies = Exchange(path, {{QString::fromLatin1(kCLGetAppID), {}}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], 5);
}
