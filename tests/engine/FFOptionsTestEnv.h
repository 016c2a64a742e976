#pragma once
// Shared by the option tests: loads the encoder's library set once per test
// program and collects the engine log.

#include "engine/FFLoad.h"
#include "engine/FFLog.h"

#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vmtest {

class TFFEncoderLibsEnv : public ::testing::Environment {
public:
  void SetUp() override {
    FFLoader().SetLibraryPath("");
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
  }
};

// Collects the engine log while alive (delivered on the logging thread).
class TLogCapture {
public:
  TLogCapture() {
    FSavedLevel = FFLogger().LogLevel();
    FFLogger().SetLogLevel(llDebug);
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog(
        [this](const void *, std::thread::id, TLogLevel ALevel, const std::string &AMsg) {
          std::lock_guard<std::mutex> lock(FLock);
          FLines.emplace_back(ALevel, AMsg);
        });
  }
  ~TLogCapture() {
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(FSavedLevel);
  }
  bool Has(TLogLevel ALevel, const std::string &AText) {
    std::lock_guard<std::mutex> lock(FLock);
    for (const auto &[level, msg] : FLines)
      if (level == ALevel && msg.find(AText) != std::string::npos)
        return true;
    return false;
  }
  size_t Count(TLogLevel ALevel) {
    std::lock_guard<std::mutex> lock(FLock);
    size_t n = 0;
    for (const auto &line : FLines)
      n += line.first == ALevel;
    return n;
  }

private:
  std::mutex FLock;
  std::vector<std::pair<TLogLevel, std::string>> FLines;
  TLogLevel FSavedLevel = llInfo;
};

} // namespace vmtest
