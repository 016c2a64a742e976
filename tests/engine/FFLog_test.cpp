#include "engine/FFApi.h"
#include "engine/FFLoad.h"
#include "engine/FFLog.h"
#include "engine/FFSync.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

struct TRecord {
  const void *Sender;
  std::thread::id ThreadID;
  TLogLevel Level;
  std::string Msg;
};

// Collects deliveries; safe to fill from several threads.
class TRecorder {
public:
  TLogEvent Handler() {
    return [this](const void *s, std::thread::id t, TLogLevel l, const std::string &m) {
      std::lock_guard lock(FLock);
      FRecords.push_back({s, t, l, m});
    };
  }
  std::vector<TRecord> Records() {
    std::lock_guard lock(FLock);
    return FRecords;
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const TRecord &r : Records())
      out.push_back(r.Msg);
    return out;
  }

private:
  std::mutex FLock;
  std::vector<TRecord> FRecords;
};

TEST(FFLogLevels, MappingBothWays) {
  const int expected[] = {-8, 0, 8, 16, 24, 32, 40, 48};
  for (int n = 0; n <= llDebug; ++n) {
    TLogLevel level = static_cast<TLogLevel>(n);
    EXPECT_EQ(LogLevelToAV(level), expected[n]);
    EXPECT_EQ(AVToLogLevel(LogLevelToAV(level)), level);
  }
  EXPECT_EQ(AVToLogLevel(INT_MIN), llQuiet);
  EXPECT_EQ(AVToLogLevel(-9), llQuiet);
  EXPECT_EQ(AVToLogLevel(-1), llPanic); // -1 / 8 rounds toward zero
  EXPECT_EQ(AVToLogLevel(7), llPanic);
  EXPECT_EQ(AVToLogLevel(31), llWarning);
  EXPECT_EQ(AVToLogLevel(47), llVerbose);
  EXPECT_EQ(AVToLogLevel(AV_LOG_TRACE), llDebug);
  EXPECT_EQ(AVToLogLevel(INT_MAX), llDebug);
}

// Each test owns the global logger (a non-automatic one).
class FFLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    FLogger = std::make_unique<TFFLogger>();
    FLogger->SetOnLog(FRec.Handler());
    FFLogResetRepeat();
  }
  void TearDown() override { FLogger.reset(); }
  std::unique_ptr<TFFLogger> FLogger;
  TRecorder FRec;
};

TEST_F(FFLogTest, FilterPassesLevelsUpToLogLevelAndVerboseUnlessQuiet) {
  int tag = 0;
  FLogger->SetLogLevel(llWarning);
  FLogger->Log(&tag, llError, "error");
  FLogger->Log(&tag, llWarning, "warning");
  FLogger->Log(&tag, llInfo, "info");
  FLogger->Log(&tag, llVerbose, "verbose");
  FLogger->Log(&tag, llDebug, "debug");
  FLogger->SetLogLevel(llQuiet);
  FLogger->Log(&tag, llVerbose, "verbose at quiet");
  FLogger->Log(&tag, llPanic, "panic at quiet");
  EXPECT_EQ(FRec.Messages(), (std::vector<std::string>{"error", "warning", "verbose"}));
  auto records = FRec.Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].Sender, &tag);
  EXPECT_EQ(records[0].Level, llError);
  EXPECT_EQ(records[0].ThreadID, std::this_thread::get_id());

  FLogger->SetOnLog(nullptr);
  FLogger->SetLogLevel(llDebug);
  EXPECT_FALSE(FLogger->Passes(llError));
  FLogger->Log(nullptr, llError, "no handler");
  EXPECT_EQ(FRec.Records().size(), 3u);
}

TEST_F(FFLogTest, LogFmtFormatsShortAndLongMessages) {
  FLogger->LogFmt(nullptr, llInfo, "open %s: %d", "a.mp4", -2);
  std::string longText(3000, 'x');
  FLogger->LogFmt(nullptr, llError, "[%s]", longText.c_str());
  FLogger->LogFmt(nullptr, llDebug, "filtered %d", 1);
  EXPECT_EQ(FRec.Messages(), (std::vector<std::string>{"open a.mp4: -2", "[" + longText + "]"}));
}

TEST_F(FFLogTest, OptLogLevelTakesNamesAndIntegers) {
  EXPECT_TRUE(FLogger->OptLogLevel("DEBUG"));
  EXPECT_EQ(FLogger->LogLevel(), llDebug);
  EXPECT_TRUE(FLogger->OptLogLevel("Warning"));
  EXPECT_EQ(FLogger->LogLevel(), llWarning);
  EXPECT_TRUE(FLogger->OptLogLevel("quiet"));
  EXPECT_EQ(FLogger->LogLevel(), llQuiet);
  EXPECT_TRUE(FLogger->OptLogLevel("32"));
  EXPECT_EQ(FLogger->LogLevel(), llInfo);
  EXPECT_TRUE(FLogger->OptLogLevel("-8"));
  EXPECT_EQ(FLogger->LogLevel(), llQuiet);
  EXPECT_TRUE(FLogger->OptLogLevel("56"));
  EXPECT_EQ(FLogger->LogLevel(), llDebug);
  EXPECT_EQ(FLogger->AVLevel(), 48);
  for (const char *bad : {"", "loud", "12x", "info ", "99999999999999"}) {
    EXPECT_FALSE(FLogger->OptLogLevel(bad)) << bad;
    EXPECT_EQ(FLogger->LogLevel(), llDebug) << bad;
  }
}

TEST_F(FFLogTest, WorkerDeliveryRunsOnMainThreadWithItsOwnValues) {
  constexpr int Workers = 4, PerWorker = 25;
  std::atomic<int> running{Workers};
  std::vector<std::thread> threads;
  for (int w = 0; w < Workers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < PerWorker; ++i)
        FLogger->LogFmt(reinterpret_cast<const void *>(intptr_t(w + 1)), llInfo, "%d:%d", w, i);
      --running;
    });
  }
  std::vector<std::thread::id> ids;
  for (auto &t : threads)
    ids.push_back(t.get_id());
  while (running > 0)
    CheckSynchronize(10);
  for (auto &t : threads)
    t.join();
  CheckSynchronize();

  auto records = FRec.Records();
  ASSERT_EQ(records.size(), size_t(Workers * PerWorker));
  std::vector<int> next(Workers, 0);
  for (const TRecord &r : records) {
    int w = 0, i = 0;
    ASSERT_EQ(sscanf(r.Msg.c_str(), "%d:%d", &w, &i), 2);
    EXPECT_EQ(r.Sender, reinterpret_cast<const void *>(intptr_t(w + 1)));
    EXPECT_EQ(r.ThreadID, ids[w]); // the thread that logged, not the one delivering
    EXPECT_EQ(i, next[w]++);       // each worker waits for its delivery: in order
  }
}

TEST_F(FFLogTest, WithoutMainThreadDeliveryHandlerRunsOnWorker) {
  FLogger->SetTriggerEventInMainThread(false);
  std::thread::id handlerThread;
  FLogger->SetOnLog([&](const void *, std::thread::id, TLogLevel, const std::string &) {
    handlerThread = std::this_thread::get_id();
  });
  std::thread worker([&] { FLogger->Log(nullptr, llError, "x"); });
  std::thread::id workerId = worker.get_id();
  worker.join();
  EXPECT_EQ(handlerThread, workerId);
}

TEST(FFLogInstance, OnlyOneNonAutomaticLogger) {
  TFFLogger &automatic = FFLogger();
  EXPECT_TRUE(automatic.AutoCreated());
  {
    TFFLogger own;
    EXPECT_FALSE(own.AutoCreated());
    EXPECT_EQ(&FFLogger(), &own);
    try {
      TFFLogger second;
      FAIL() << "a second logger was created";
    } catch (const std::logic_error &e) {
      EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
    }
    EXPECT_EQ(&FFLogger(), &own);
  }
  TFFLogger &again = FFLogger();
  EXPECT_TRUE(again.AutoCreated());
}

// FFmpeg's own messages through the bridge (avutil loaded from the system).
class FFLogBridgeTest : public FFLogTest {
protected:
  void SetUp() override {
    FFLogTest::SetUp();
    FFLoader().SetLibraryPath("");
    ASSERT_TRUE(FFLoader().Load(avUtil)) << FFLoader().LastErrMsg();
    ASSERT_TRUE(FLogger->InstallBridge());
  }
};

TEST_F(FFLogBridgeTest, LoaderInstallsBridgeAndLevelIsPushed) {
  FFLoader().Unload(avUtil);
  ASSERT_TRUE(FFLoader().Load(avUtil));
  FLogger->SetLogLevel(llDebug);
  EXPECT_EQ(ff::avutil.av_log_get_level(), AV_LOG_DEBUG);
  ff::avutil.av_log(nullptr, AV_LOG_DEBUG, "bridged %s\n", "text");
  FLogger->SetLogLevel(llInfo);
  EXPECT_EQ(ff::avutil.av_log_get_level(), AV_LOG_INFO);
  ff::avutil.av_log(nullptr, AV_LOG_DEBUG, "too detailed\n");
  auto records = FRec.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Msg, "bridged text");
  EXPECT_EQ(records[0].Level, llDebug);
  EXPECT_EQ(records[0].Sender, FLogger.get());
}

TEST_F(FFLogBridgeTest, RepeatedMessagesAreCounted) {
  for (int i = 0; i < 10; ++i)
    ff::avutil.av_log(nullptr, AV_LOG_WARNING, "same %d\n", 7);
  ff::avutil.av_log(nullptr, AV_LOG_ERROR, "different\n");
  ff::avutil.av_log(nullptr, AV_LOG_ERROR, "different\n");
  ff::avutil.av_log(nullptr, AV_LOG_ERROR, "last\n");
  EXPECT_EQ(FRec.Messages(),
            (std::vector<std::string>{"same 7", "    Last message repeated 9 times", "different",
                                      "    Last message repeated 1 times", "last"}));
}

TEST_F(FFLogBridgeTest, PartialLinesAreJoinedPerThread) {
  ff::avutil.av_log(nullptr, AV_LOG_INFO, "one ");
  ff::avutil.av_log(nullptr, AV_LOG_INFO, "two");
  ff::avutil.av_log(nullptr, AV_LOG_INFO, " three\nfour\nfi");
  ff::avutil.av_log(nullptr, AV_LOG_INFO, "ve\n");
  EXPECT_EQ(FRec.Messages(), (std::vector<std::string>{"one two three", "four", "five"}));

  // Two threads alternate their pieces; neither line takes the other's text.
  FLogger->SetTriggerEventInMainThread(false);
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;
  auto piece = [&](int myTurn, const char *text) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return turn == myTurn; });
    ff::avutil.av_log(nullptr, AV_LOG_INFO, "%s", text);
    ++turn;
    cv.notify_all();
  };
  std::thread a([&] {
    piece(0, "A1-");
    piece(2, "A2\n");
  });
  std::thread b([&] {
    piece(1, "B1-");
    piece(3, "B2\n");
  });
  a.join();
  b.join();
  auto messages = FRec.Messages();
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[3], "A1-A2");
  EXPECT_EQ(messages[4], "B1-B2");
}

TEST_F(FFLogBridgeTest, WorkerMessagesDoNotWaitForMainThread) {
  // FFmpeg may log under its own locks: the bridge must not block there.
  std::thread::id workerId;
  std::thread worker([&] {
    workerId = std::this_thread::get_id();
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "from worker %d\n", 1);
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "from worker %d\n", 2);
  });
  worker.join(); // would hang if the worker waited for this thread
  EXPECT_TRUE(FRec.Records().empty());
  EXPECT_TRUE(CheckSynchronize());
  auto records = FRec.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Msg, "from worker 1");
  EXPECT_EQ(records[1].Msg, "from worker 2");
  EXPECT_EQ(records[1].ThreadID, workerId);
}

struct TParentObject {
  const AVClass *Class;
};
struct TChildObject {
  const AVClass *Class;
  TParentObject *Parent;
};
const char *ParentName(void *) {
  return "parentctx";
}
const char *ChildName(void *) {
  return "childctx";
}

TEST_F(FFLogBridgeTest, ContextPrefixOnNewLinesOnly) {
  AVClass parentClass{};
  parentClass.class_name = "Parent";
  parentClass.item_name = ParentName;
  parentClass.version = LIBAVUTIL_VERSION_INT;
  AVClass childClass{};
  childClass.class_name = "Child";
  childClass.item_name = ChildName;
  childClass.version = LIBAVUTIL_VERSION_INT;
  TParentObject parent{&parentClass};
  TChildObject plain{&childClass, nullptr};
  ff::avutil.av_log(&plain, AV_LOG_INFO, "alone\n");
  ff::avutil.av_log(&plain, AV_LOG_INFO, "start ");
  ff::avutil.av_log(&plain, AV_LOG_INFO, "end\n");

  AVClass nestedClass = childClass;
  nestedClass.parent_log_context_offset = offsetof(TChildObject, Parent);
  TChildObject nested{&nestedClass, &parent};
  ff::avutil.av_log(&nested, AV_LOG_INFO, "nested\n");

  char buf[256];
  std::vector<std::string> expected;
  snprintf(buf, sizeof buf, "[childctx @ %p]alone", static_cast<void *>(&plain));
  expected.push_back(buf);
  snprintf(buf, sizeof buf, "[childctx @ %p]start end", static_cast<void *>(&plain));
  expected.push_back(buf);
  snprintf(buf, sizeof buf, "[parentctx @ %p] [childctx @ %p]nested", static_cast<void *>(&parent),
           static_cast<void *>(&nested));
  expected.push_back(buf);
  EXPECT_EQ(FRec.Messages(), expected);
}

TEST_F(FFLogBridgeTest, LongMessagesArriveWhole) {
  for (size_t size : {2040u, 2047u, 2048u, 4095u, 4096u, 9000u}) {
    std::string text(size, 'a' + size % 26);
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "%s\n", text.c_str());
    ASSERT_FALSE(FRec.Messages().empty());
    EXPECT_EQ(FRec.Messages().back(), text) << size;
  }
}

} // namespace
