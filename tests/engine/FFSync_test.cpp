#include "engine/FFSync.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class FFSyncTest : public ::testing::Test {
protected:
  void TearDown() override {
    SetSyncWakeHook(nullptr);
    while (CheckSynchronize()) {
    }
  }
};

TEST_F(FFSyncTest, MainThreadIsTheProcessMainThreadAndRunsDirectly) {
  EXPECT_TRUE(IsMainThread());
  bool ran = false;
  Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(CheckSynchronize()); // nothing was queued
}

TEST_F(FFSyncTest, WorkerBlocksUntilMainThreadRanTheCall) {
  std::atomic<int> wakes{0};
  SetSyncWakeHook([&] { ++wakes; });
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  int value = 0;
  std::thread worker([&] {
    Synchronize([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    EXPECT_EQ(value, 42);
    returned = true;
  });
  while (wakes == 0)
    std::this_thread::yield();
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(returned); // still waiting for the main thread
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(CheckSynchronize(1000));
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(wakes, 1);
}

TEST_F(FFSyncTest, ManyWorkersAreServedAndExceptionsReachTheWorker) {
  constexpr int Workers = 6;
  std::atomic<int> done{0}, runs{0};
  std::atomic<int> caught{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < Workers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 20; ++i) {
        try {
          Synchronize([&, i] {
            ++runs;
            if (i == 5 && w % 2 == 0)
              throw std::runtime_error("boom");
          });
        } catch (const std::runtime_error &e) {
          EXPECT_STREQ(e.what(), "boom");
          ++caught;
        }
      }
      ++done;
    });
  }
  // The main thread waits for its workers while draining: no deadlock.
  while (done < Workers)
    CheckSynchronize(5);
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(runs, Workers * 20);
  EXPECT_EQ(caught, Workers / 2);
}

TEST_F(FFSyncTest, QueuedCallsDoNotBlockAndKeepOrderWithSynchronize) {
  std::vector<int> order;
  std::atomic<bool> queued{false};
  std::thread worker([&] {
    Queue([&] { order.push_back(1); });
    Queue([&] { throw std::runtime_error("dropped"); });
    queued = true; // returned without the main thread draining
    Synchronize([&] { order.push_back(2); });
    Queue([&] { order.push_back(3); });
  });
  while (!queued)
    std::this_thread::yield();
  EXPECT_TRUE(order.empty());
  while (order.size() < 2)
    CheckSynchronize(5);
  worker.join();
  CheckSynchronize();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(FFSyncTest, CheckSynchronizeOnWorkerDoesNothingAndTimeoutWaits) {
  bool result = true;
  std::thread([&] { result = CheckSynchronize(); }).join();
  EXPECT_FALSE(result);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CheckSynchronize(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
}

TEST_F(FFSyncTest, MainThreadCanBeChosen) {
  std::thread::id original = MainThreadId();
  std::atomic<bool> isMain{false}, stop{false};
  std::atomic<int> ran{0};
  std::thread host([&] {
    SetMainThreadId(std::this_thread::get_id());
    isMain = IsMainThread();
    while (!stop)
      CheckSynchronize(5);
  });
  while (MainThreadId() == original)
    std::this_thread::yield();
  Synchronize([&] { ++ran; }); // this thread is a worker now
  stop = true;
  host.join();
  SetMainThreadId(original);
  EXPECT_TRUE(isMain);
  EXPECT_EQ(ran, 1);
}

} // namespace
