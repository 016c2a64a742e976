// The launcher with real processes: each test copies the built videomill
// into a private application folder with its own const.dat, and starts it
// with private data and runtime folders on the offscreen platform. The
// running instance is observed through its debug log, its lock and socket
// files, and a plain socket client speaking the protocol.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

using namespace vmtest;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// The test constants; each "Key=value" line of extra replaces the line of
// the same key.
std::string BaseConst(const std::string &guid, const std::string &extra) {
  std::string base = "[setting]\n"
                     "App.Name=Videomill\n"
                     "App.Ver=1.0.0.1\n"
                     "App.ID=31337\n"
                     "App.GUID=" +
                     guid +
                     "\n"
                     "App.Splash=0\n"
                     "App.Multiple=0\n"
                     "App.Autorun=1\n";
  std::istringstream lines(extra);
  for (std::string line; std::getline(lines, line);) {
    const std::string key = line.substr(0, line.find('=') + 1);
    const size_t at = base.find("\n" + key);
    if (at != std::string::npos)
      base.erase(at + 1, base.find('\n', at + 1) - at);
    base += line + "\n";
  }
  return base;
}

int gSandboxCounter = 0;

// Private folders, the started processes (all killed and reaped at the end,
// whatever happened), and the observation helpers.
class TLauncherSandbox {
public:
  explicit TLauncherSandbox(const std::string &extraConst = "") {
    FGuid = "e2e-" + std::to_string(getpid()) + "-" + std::to_string(++gSandboxCounter);
    fs::create_directories(FTemp.File("rt"));
    fs::permissions(FTemp.File("rt"), fs::perms::owner_all);
    AddAppFolder("app", BaseConst(FGuid, extraConst));
  }
  ~TLauncherSandbox() {
    for (pid_t pid : FRunning) {
      kill(pid, SIGKILL);
      int status = 0;
      waitpid(pid, &status, 0);
    }
  }

  // Another application folder in the same sandbox (same runtime folder).
  void AddAppFolder(const std::string &name, const std::string &constDat) {
    const std::string folder = FTemp.File(name);
    fs::create_directories(folder);
    fs::copy_file(BinDir() + "videomill", folder + "/videomill",
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(WriteFile(folder + "/const.dat", constDat));
  }

  pid_t Start(const std::vector<std::string> &args, const std::string &app = "app",
              const std::string &cwd = "") {
    const std::string exe = FTemp.File(app) + "/videomill";
    const std::string out = FTemp.File("out-" + std::to_string(++FStarts) + ".txt");
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
      const std::string entry = *e;
      for (const char *drop : {"VIDEOMILL_", "XDG_RUNTIME_DIR=", "QT_QPA_PLATFORM="})
        if (entry.rfind(drop, 0) == 0)
          goto skip;
      env.push_back(entry);
    skip:;
    }
    env.push_back("VIDEOMILL_APPDATA=" + FTemp.File("appdata"));
    env.push_back("VIDEOMILL_COMMON_APPDATA=" + FTemp.File("common"));
    env.push_back("XDG_RUNTIME_DIR=" + FTemp.File("rt"));
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char *> argv{const_cast<char *>(exe.c_str())};
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
      execve(exe.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    if (pid > 0)
      FRunning.push_back(pid);
    return pid;
  }

  // Waits for pid to end; its exit code, or nullopt on time-out.
  std::optional<int> WaitExit(pid_t pid, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        std::erase(FRunning, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() >= end)
        return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  bool Alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
  }

  void Kill(pid_t pid) {
    kill(pid, SIGKILL);
    WaitExit(pid, 5000);
  }

  std::string RuntimeFolder() const { return FTemp.File("rt"); }
  std::string LockFile() const { return RuntimeFolder() + "/videomill-" + FGuid + ".lock"; }
  std::string SocketFile() const { return RuntimeFolder() + "/videomill-" + FGuid; }
  std::string TempFile(const std::string &name) const { return FTemp.File(name); }

  // The pid written in the lock file (-1 when none).
  long LockOwner() const {
    const std::string text = ReadFile(LockFile());
    return text.empty() ? -1 : std::atol(text.c_str());
  }

  // Every debug.log below the data folders, concatenated.
  std::string DebugLog() const {
    std::string all;
    for (const char *root : {"appdata", "common"}) {
      if (!fs::exists(FTemp.File(root)))
        continue;
      for (const auto &entry : fs::recursive_directory_iterator(FTemp.File(root)))
        if (entry.path().filename() == "debug.log")
          all += ReadFile(entry.path().string());
    }
    return all;
  }

  bool WaitForLog(const std::string &text, int timeoutMs = 8000) const {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (DebugLog().find(text) == std::string::npos) {
      if (Clock::now() >= end)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return true;
  }

  size_t CountInLog(const std::string &text) const {
    const std::string log = DebugLog();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
      ++count;
    return count;
  }

  // One request over a plain socket; the reply, or nullopt.
  std::optional<long> Ask(const std::string &request, int timeoutMs = 2000) const {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SocketFile().c_str(), sizeof addr.sun_path - 1);
    std::optional<long> result;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
      const std::string line = request + "\n";
      if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
        std::string reply;
        pollfd p{fd, POLLIN, 0};
        while (reply.find('\n') == std::string::npos && poll(&p, 1, timeoutMs) > 0) {
          char buffer[64];
          const ssize_t n = read(fd, buffer, sizeof buffer);
          if (n <= 0)
            break;
          reply.append(buffer, n);
        }
        if (reply.find('\n') != std::string::npos)
          result = std::atol(reply.c_str());
      }
    }
    close(fd);
    return result;
  }

  // True once the instance answers "CL IfBusy" with 0 (start-up done).
  bool WaitReady(int timeoutMs = 10000) const {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Ask("CL IfBusy", 500) != 0) {
      if (Clock::now() >= end)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return true;
  }

  std::string MainWindowLine(pid_t pid) const {
    return "Main window created (pid " + std::to_string(pid) + ")";
  }

private:
  TempDir FTemp;
  std::string FGuid;
  std::vector<pid_t> FRunning;
  int FStarts = 0;
};

} // namespace

TEST(Launcher, UninstallSwitchesEndBeforeAnythingElse) {
  TLauncherSandbox box;
  const pid_t first = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  const pid_t quick = box.Start({"/u", "/s"});
  EXPECT_EQ(box.WaitExit(quick, 3000), 0);
  const pid_t quick2 = box.Start({"-I"});
  EXPECT_EQ(box.WaitExit(quick2, 3000), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(box.Alive(first));
  EXPECT_EQ(box.CountInLog("GetAppID"), 0u) << box.DebugLog();
  EXPECT_EQ(box.CountInLog("CloseApp"), 0u);
}

TEST(Launcher, CloseSwitchEndsTheRunningInstance) {
  TLauncherSandbox box;
  const pid_t first = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  EXPECT_TRUE(fs::exists(box.LockFile()));
  const pid_t closer = box.Start({"-S"});
  EXPECT_EQ(box.WaitExit(closer, 8000), 0);
  EXPECT_EQ(box.WaitExit(first, 8000), 0);
  EXPECT_TRUE(box.WaitForLog("[CLEngine] CloseApp", 100));
  // An orderly end leaves neither lock nor socket behind.
  EXPECT_FALSE(fs::exists(box.LockFile()));
  EXPECT_FALSE(fs::exists(box.SocketFile()));
  // With nobody running, /s ends quietly.
  const pid_t again = box.Start({"/s"});
  EXPECT_EQ(box.WaitExit(again, 3000), 0);
}

TEST(Launcher, SecondStartHandsItsFileOverAndEnds) {
  TLauncherSandbox box;
  const pid_t first = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  const std::string file = box.TempFile("My Videos/holiday clip.mp4");
  const pid_t second = box.Start({file, "/d"});
  EXPECT_EQ(box.WaitExit(second, 8000), 0);
  EXPECT_TRUE(box.WaitForLog("[CLEngine] CmdParam: " + file)) << box.DebugLog();
  EXPECT_TRUE(box.Alive(first));
  EXPECT_EQ(box.LockOwner(), first);
  EXPECT_EQ(box.CountInLog(box.MainWindowLine(second)), 0u);
  EXPECT_EQ(box.CountInLog(box.MainWindowLine(first)), 1u);
  // The first instance was idle, so it was brought to the front.
  EXPECT_EQ(box.CountInLog("[CLEngine] ForceForeground"), 1u);

  // A relative name is made absolute against the second start's folder.
  const pid_t third = box.Start({"relative name.avi"}, "app", box.TempFile("."));
  EXPECT_EQ(box.WaitExit(third, 8000), 0);
  EXPECT_TRUE(box.WaitForLog("[CLEngine] CmdParam: " +
                             fs::weakly_canonical(box.TempFile("relative name.avi")).string()))
      << box.DebugLog();
}

TEST(Launcher, HiddenStartAndSecondStartWithOnlyAnOption) {
  TLauncherSandbox box;
  const pid_t first = box.Start({"/h", "/d"});
  ASSERT_TRUE(box.WaitReady());
  EXPECT_TRUE(box.WaitForLog("[CLEngine] InitPost, main window hidden", 100)) << box.DebugLog();
  const pid_t second = box.Start({"/h"});
  EXPECT_EQ(box.WaitExit(second, 8000), 0);
  EXPECT_TRUE(box.WaitForLog("[CLEngine] ForceForeground"));
  EXPECT_EQ(box.CountInLog("[CLEngine] BringtoFront: 0"), 1u);
  EXPECT_EQ(box.CountInLog("CopyData"), 0u);
  EXPECT_TRUE(box.Alive(first));
}

TEST(Launcher, InstanceOfAnotherApplicationIdIsNotTheRunningOne) {
  TLauncherSandbox box;
  const pid_t first = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  // Same lock and socket name, other App.ID.
  box.AddAppFolder(
      "other",
      "[setting]\nApp.ID=1\nApp.GUID=" +
          std::string(box.SocketFile()).substr(box.RuntimeFolder().size() + strlen("/videomill-")) +
          "\nApp.Splash=0\n");
  const pid_t second = box.Start({box.TempFile("x.mp4")}, "other");
  EXPECT_EQ(box.WaitExit(second, 8000), 0);
  EXPECT_TRUE(box.WaitForLog("[CLEngine] GetAppID"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(box.CountInLog("CopyData"), 0u);
  EXPECT_EQ(box.CountInLog("IfBusy: 1"), 0u);
  EXPECT_TRUE(box.Alive(first));
}

TEST(Launcher, AutomaticStartObeysAutorun) {
  {
    TLauncherSandbox box("App.Autorun=0\n");
    const pid_t start = box.Start({"/A", "/d"});
    EXPECT_EQ(box.WaitExit(start, 5000), 0);
    EXPECT_TRUE(fs::is_empty(box.RuntimeFolder())) << "no lock and no socket";
    EXPECT_EQ(box.CountInLog("Main window created"), 0u);
  }
  {
    TLauncherSandbox box;
    const pid_t start = box.Start({"-a"});
    EXPECT_TRUE(box.WaitReady());
    EXPECT_TRUE(box.Alive(start));
  }
}

TEST(Launcher, SeveralInstancesWhenAllowed) {
  TLauncherSandbox box("App.Multiple=1\n");
  const pid_t a = box.Start({"/d"});
  ASSERT_TRUE(box.WaitForLog(box.MainWindowLine(a)));
  const pid_t b = box.Start({"/d", box.TempFile("b.mp4")});
  ASSERT_TRUE(box.WaitForLog(box.MainWindowLine(b)));
  ASSERT_TRUE(box.WaitReady());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(box.Alive(a));
  EXPECT_TRUE(box.Alive(b));
  EXPECT_FALSE(fs::exists(box.LockFile()));
  EXPECT_EQ(box.CountInLog("GetAppID"), 0u);
  EXPECT_EQ(box.CountInLog("CopyData"), 0u);
}

TEST(Launcher, LeftoversOfAKilledInstanceDoNotBlock) {
  TLauncherSandbox box;
  const pid_t dead = box.Start({});
  ASSERT_TRUE(box.WaitReady());
  box.Kill(dead);
  ASSERT_TRUE(fs::exists(box.LockFile()));
  ASSERT_TRUE(fs::exists(box.SocketFile()));
  const pid_t fresh = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  EXPECT_TRUE(box.Alive(fresh));
  EXPECT_EQ(box.LockOwner(), fresh);
  EXPECT_EQ(box.CountInLog(box.MainWindowLine(fresh)), 1u);
}

TEST(Launcher, RestartWithoutRunningInstanceStartsAfterThePause) {
  TLauncherSandbox box;
  const auto begin = Clock::now();
  const pid_t start = box.Start({"/r", "/d"});
  ASSERT_TRUE(box.WaitReady());
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
  EXPECT_GE(waited, 2000);
  EXPECT_TRUE(box.Alive(start));
  EXPECT_EQ(box.LockOwner(), start);
}

TEST(Launcher, RestartReplacesTheRunningInstance) {
  TLauncherSandbox box;
  const pid_t old = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  const pid_t fresh = box.Start({"/R", "/d"});
  EXPECT_EQ(box.WaitExit(old, 8000), 0);
  ASSERT_TRUE(box.WaitForLog(box.MainWindowLine(fresh)));
  ASSERT_TRUE(box.WaitReady());
  EXPECT_EQ(box.LockOwner(), fresh);
}

TEST(Launcher, HungInstanceDoesNotHoldASecondStart) {
  TLauncherSandbox box;
  const pid_t first = box.Start({"/d"});
  ASSERT_TRUE(box.WaitReady());
  kill(first, SIGSTOP);
  const auto begin = Clock::now();
  const pid_t second = box.Start({box.TempFile("a.mp4")});
  const std::optional<int> code = box.WaitExit(second, 15000);
  kill(first, SIGCONT);
  EXPECT_EQ(code, 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count(),
            12000);
  EXPECT_EQ(box.LockOwner(), first);
}
