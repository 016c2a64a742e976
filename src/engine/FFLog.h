#pragma once
// The engine's logger and the bridge from FFmpeg's av_log into it.
//
// Every engine message goes through FFLogger() (created automatically on first
// use). A message passes the filter when its level is at most LogLevel, or when
// it is llVerbose and LogLevel is not llQuiet. Passing messages are delivered
// to OnLog: on the main thread through the synchronisation queue (FFSync.h)
// when TriggerEventInMainThread is set and the caller is another thread (the
// caller then blocks until the main thread has run the handler), directly on
// the calling thread otherwise. Each delivery carries its own values.

#include <atomic>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Log levels; level n maps to FFmpeg's numeric level 8 * n - 8.
enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// TLogLevel -> FFmpeg level: llQuiet -8, llPanic 0, ..., llInfo 32, llDebug 48.
int LogLevelToAV(TLogLevel ALevel);
// FFmpeg level -> TLogLevel: below -8 llQuiet, from 48 up llDebug, otherwise
// L / 8 (toward zero) + 1.
TLogLevel AVToLogLevel(int AAVLevel);

// OnLog handler: sender (the logging component, the logger itself for FFmpeg's
// messages, or null), the id of the thread that logged, the level, one line of
// text without its line feed.
using TLogEvent = std::function<void(const void *Sender, std::thread::id AThreadID,
                                     TLogLevel ALogLevel, const std::string &ALogMsg)>;

// One event being delivered (each delivery has its own).
struct TLogInfo {
  const void *Sender = nullptr;
  std::thread::id ThreadID;
  TLogLevel LogLevel = llInfo;
  std::string LogMsg;
};

class TFFLogger {
public:
  // Creates the global logger. An automatically created global logger is
  // replaced (it is retired and freed at exit, so a thread still using it is
  // safe); if a non-automatic one exists, throws std::logic_error
  // "Allow creating only one instance of TFFLogger.".
  TFFLogger();
  // Clears the global reference when this is the global logger.
  ~TFFLogger();
  TFFLogger(const TFFLogger &) = delete;
  TFFLogger &operator=(const TFFLogger &) = delete;

  // Default llInfo. Setting it pushes the numeric level to FFmpeg at once
  // (av_log_set_level) when avutil is loaded. Any thread.
  TLogLevel LogLevel() const { return FLogLevel.load(std::memory_order_relaxed); }
  void SetLogLevel(TLogLevel AValue);

  // Default true.
  bool TriggerEventInMainThread() const { return FTriggerInMain.load(std::memory_order_relaxed); }
  void SetTriggerEventInMainThread(bool AValue) { FTriggerInMain.store(AValue); }

  // The handler; may be set from the main thread while others log (a call in
  // progress keeps the handler it started with). Empty = nothing is logged.
  TLogEvent OnLog() const;
  void SetOnLog(TLogEvent AHandler);

  // True when a message of this level would be delivered (filter passed and
  // a handler assigned). Any thread; lock-free.
  bool Passes(TLogLevel ALevel) const;

  // Logs one message (any thread). Does nothing unless it passes the filter.
  void Log(const void *Sender, TLogLevel ALogLevel, const std::string &ALogMsg);
  // As Log, but a worker does not wait for the main thread to run the handler
  // (the delivery is queued with FFSync's Queue). The FFmpeg bridge uses it:
  // FFmpeg logs while holding its own locks (e.g. during avcodec_open2), and
  // waiting there for a main thread that may need the same lock would deadlock.
  void LogNoWait(const void *Sender, TLogLevel ALogLevel, const std::string &ALogMsg);
  // printf-style variant; formats only when the message passes the filter.
  void LogFmt(const void *Sender, TLogLevel ALogLevel, const char *AFormat, ...)
      __attribute__((format(printf, 4, 5)));
  void LogFmtV(const void *Sender, TLogLevel ALogLevel, const char *AFormat, va_list AArgs);

  // The "loglevel" option: "quiet", "panic", "fatal", "error", "warning",
  // "info", "verbose", "debug" (any case) or an integer FFmpeg level; sets
  // LogLevel through the mapping. False (level unchanged) for any other text.
  bool OptLogLevel(const std::string &AText);

  // Installs the bridge into FFmpeg (av_log_set_callback, then
  // av_log_set_level from LogLevel). Needs avutil loaded; false otherwise.
  // Called by the loader when avutil loads with InstallLogger set.
  bool InstallBridge();
  // Restores FFmpeg's default callback (when avutil is loaded).
  static void UninstallBridge();

  // True for the automatically created logger.
  bool AutoCreated() const { return FAutoCreated; }

  // FFmpeg's numeric level of LogLevel, read by the bridge per message.
  int AVLevel() const { return FAVLevel.load(std::memory_order_relaxed); }

private:
  struct TAutoTag {};
  explicit TFFLogger(TAutoTag);
  void Deliver(const void *Sender, TLogLevel ALevel, const std::string &AMsg, bool AWait);
  friend TFFLogger &FFLogger();

  bool FAutoCreated = false;
  std::atomic<TLogLevel> FLogLevel{llInfo};
  std::atomic<int> FAVLevel{32};
  std::atomic<bool> FTriggerInMain{true};
  mutable std::mutex FHandlerLock; // guards FOnLog (the pointer, not the call)
  std::shared_ptr<const TLogEvent> FOnLog;
  std::atomic<bool> FHasOnLog{false}; // FOnLog is set; lets the filter skip the lock
};

// The current logger; creates an automatic one when none exists. Any thread.
TFFLogger &FFLogger();

// The callback installed into FFmpeg (av_log_set_callback); exposed for tests.
// Any thread. Per-thread line buffers; "[%s @ %p] " parent and "[%s @ %p]"
// context prefix on a new line; repeats of one complete text are counted and
// reported as "    Last message repeated %d times" before the next different
// text; every complete line goes to FFLogger().LogNoWait with the logger as
// sender.
extern "C" void FFLogCallback(void *AAvcl, int ALevel, const char *AFormat, va_list AArgs);

// Forgets the bridge's previous text and repeat count (tests).
void FFLogResetRepeat();
