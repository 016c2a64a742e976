#pragma once
// Drives a TFFEncoder from a test's main thread: records its events and
// drains the synchronisation queue until the final termination event.

#include "engine/FFEncode.h"
#include "engine/FFLoad.h"
#include "engine/FFSync.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vmtest {

inline int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct TRecordedProgress {
  int64_t AtUs = 0; // steady clock when the handler ran
  TProgressInfo Info;
  std::thread::id Thread;
  int Seq = 0; // position among all recorded events
};

class TEncoderHarness {
public:
  TEncoderHarness() {
    Enc.OnTerminate = [this](TCustomEncoder *, const TTerminateInfo &AInfo) {
      std::function<void(const TTerminateInfo &)> extra;
      {
        std::lock_guard<std::mutex> lock(Lock);
        Terms.push_back(AInfo);
        TermThreads.push_back(std::this_thread::get_id());
        TermSeqs.push_back(Seq++);
        extra = OnTerminateExtra;
      }
      if (extra)
        extra(AInfo);
    };
    Enc.OnProgress = [this](TCustomEncoder *, TProgressInfo *AInfo) {
      std::function<void(const TProgressInfo &)> extra;
      {
        std::lock_guard<std::mutex> lock(Lock);
        Progress.push_back({SteadyUs(), *AInfo, std::this_thread::get_id(), Seq++});
        extra = OnProgressExtra;
      }
      if (extra)
        extra(*AInfo);
    };
  }

  // Loads the encoder's library set once per process (system libraries).
  static void LoadLibraries() {
    if (!FFLoader().Loaded(EncoderLibraries)) {
      ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
    }
  }

  // Drains the queue until the final event arrived; false on time-out.
  bool WaitFinal(int ATimeoutMs = 60000) {
    const int64_t deadline = SteadyUs() + ATimeoutMs * 1000LL;
    while (!HasFinal()) {
      if (SteadyUs() > deadline)
        return false;
      CheckSynchronize(10);
    }
    return true;
  }
  // Drains the queue for AMs milliseconds.
  void Pump(int AMs) {
    const int64_t end = SteadyUs() + AMs * 1000LL;
    while (SteadyUs() < end)
      CheckSynchronize(5);
  }
  // Drains until APred holds; false on time-out.
  bool PumpUntil(const std::function<bool()> &APred, int ATimeoutMs = 30000) {
    const int64_t deadline = SteadyUs() + ATimeoutMs * 1000LL;
    while (!APred()) {
      if (SteadyUs() > deadline)
        return false;
      CheckSynchronize(5);
    }
    return true;
  }

  bool HasFinal() {
    std::lock_guard<std::mutex> lock(Lock);
    for (const auto &t : Terms)
      if (t.TaskIndex == -1)
        return true;
    return false;
  }
  std::vector<TTerminateInfo> TermsCopy() {
    std::lock_guard<std::mutex> lock(Lock);
    return Terms;
  }
  std::vector<TRecordedProgress> ProgressCopy() {
    std::lock_guard<std::mutex> lock(Lock);
    return Progress;
  }
  size_t ProgressCount() {
    std::lock_guard<std::mutex> lock(Lock);
    return Progress.size();
  }
  // The termination record of one task (fails the test when absent or twice).
  TTerminateInfo TermOf(int ATaskIndex) {
    std::lock_guard<std::mutex> lock(Lock);
    TTerminateInfo found;
    int n = 0;
    for (const auto &t : Terms)
      if (t.TaskIndex == ATaskIndex) {
        found = t;
        ++n;
      }
    EXPECT_EQ(n, 1) << "termination events of task " << ATaskIndex;
    return found;
  }

  TFFEncoder Enc;
  std::mutex Lock; // guards the records below
  std::vector<TTerminateInfo> Terms;
  std::vector<std::thread::id> TermThreads;
  std::vector<int> TermSeqs; // parallel to Terms
  int Seq = 0;
  std::vector<TRecordedProgress> Progress;
  std::function<void(const TTerminateInfo &)> OnTerminateExtra;
  std::function<void(const TProgressInfo &)> OnProgressExtra;
};

// A default output record with the given codecs.
inline TOutputOptions OutputRecord(const std::string &AVideoCodec, const std::string &AAudioCodec) {
  TOutputOptions o;
  InitOutputOptions(o);
  o.VideoCodec = AVideoCodec;
  o.AudioCodec = AAudioCodec;
  return o;
}

inline TInputOptions InputRecord(const std::string &AExtOptions = "") {
  TInputOptions i;
  InitInputOptions(i);
  i.ExtOptions = AExtOptions;
  return i;
}

inline double ProbeDouble(const std::string &AFile, const std::string &AEntry,
                          const std::string &ASelector = "") {
  auto m = Probe(AFile, AEntry, ASelector);
  std::string key = AEntry.substr(AEntry.find('=') + 1);
  auto it = m.find(key);
  return it == m.end() || it->second.empty() || it->second == "N/A" ? -1.0 : std::stod(it->second);
}

} // namespace vmtest
