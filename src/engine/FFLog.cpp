#include "engine/FFLog.h"

#include "engine/FFApi.h"
#include "engine/FFSync.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// The global logger and the automatically created ones. An automatic logger
// that a new logger replaces is retired, not deleted, so a thread that still
// holds a reference from FFLogger() stays safe; all are freed at exit.
struct TLoggerRegistry {
  std::mutex Lock; // guards Auto and Retired, and serialises replacing Current
  std::atomic<TFFLogger *> Current{nullptr};
  std::vector<std::unique_ptr<TFFLogger>> Retired;
  TFFLogger *Auto = nullptr; // owned: in Retired or freed by the destructor
  ~TLoggerRegistry() {
    Current.store(nullptr);
    delete Auto;
    Auto = nullptr;
  }
};

TLoggerRegistry &Registry() {
  static TLoggerRegistry registry;
  return registry;
}

// The bridge's repetition state, shared by all threads.
struct TRepeatState {
  std::mutex Lock; // guards Prev and Count
  std::string Prev;
  int Count = 0;
};

TRepeatState &Repeat() {
  static TRepeatState state;
  return state;
}

constexpr size_t FirstBufferSize = 2048;
constexpr size_t HeapBufferSize = 4096;
constexpr size_t HeapBufferStep = 2048;

// Per-thread state of the bridge: the unfinished line and the format buffers
// (kept between calls so a message costs no allocation in the common case).
struct TThreadLogState {
  std::string Line;
  char Buffer[FirstBufferSize];
  std::vector<char> Heap;
  std::string Text;
};

TThreadLogState &ThreadLogState() {
  thread_local TThreadLogState state;
  return state;
}

const char *ItemName(const AVClass *AClass, void *AObject) {
  if (AClass->item_name)
    return AClass->item_name(AObject);
  return AClass->class_name ? AClass->class_name : "NULL";
}

} // namespace

int LogLevelToAV(TLogLevel ALevel) {
  return 8 * static_cast<int>(ALevel) - 8;
}

TLogLevel AVToLogLevel(int AAVLevel) {
  if (AAVLevel < -8)
    return llQuiet;
  if (AAVLevel >= 48)
    return llDebug;
  return static_cast<TLogLevel>(AAVLevel / 8 + 1);
}

TFFLogger::TFFLogger(TAutoTag) : FAutoCreated(true) {}

TFFLogger::TFFLogger() {
  TLoggerRegistry &reg = Registry();
  std::lock_guard lock(reg.Lock);
  TFFLogger *current = reg.Current.load();
  if (current) {
    if (!current->FAutoCreated)
      throw std::logic_error("Allow creating only one instance of TFFLogger.");
    reg.Retired.emplace_back(reg.Auto);
    reg.Auto = nullptr;
  }
  reg.Current.store(this);
  if (ff::avutil.av_log_set_level)
    ff::avutil.av_log_set_level(AVLevel());
}

TFFLogger::~TFFLogger() {
  TFFLogger *self = this;
  Registry().Current.compare_exchange_strong(self, nullptr);
}

TFFLogger &FFLogger() {
  TLoggerRegistry &reg = Registry();
  if (TFFLogger *current = reg.Current.load(std::memory_order_acquire))
    return *current;
  std::lock_guard lock(reg.Lock);
  if (TFFLogger *current = reg.Current.load())
    return *current;
  reg.Auto = new TFFLogger(TFFLogger::TAutoTag{});
  reg.Current.store(reg.Auto, std::memory_order_release);
  return *reg.Auto;
}

void TFFLogger::SetLogLevel(TLogLevel AValue) {
  FLogLevel.store(AValue);
  FAVLevel.store(LogLevelToAV(AValue));
  if (ff::avutil.av_log_set_level)
    ff::avutil.av_log_set_level(LogLevelToAV(AValue));
}

TLogEvent TFFLogger::OnLog() const {
  std::lock_guard lock(FHandlerLock);
  return FOnLog ? *FOnLog : TLogEvent();
}

void TFFLogger::SetOnLog(TLogEvent AHandler) {
  std::lock_guard lock(FHandlerLock);
  FHasOnLog.store(static_cast<bool>(AHandler));
  FOnLog = AHandler ? std::make_shared<const TLogEvent>(std::move(AHandler)) : nullptr;
}

bool TFFLogger::Passes(TLogLevel ALevel) const {
  if (!FHasOnLog.load(std::memory_order_relaxed))
    return false;
  TLogLevel current = LogLevel();
  return ALevel <= current || (ALevel == llVerbose && current != llQuiet);
}

void TFFLogger::Log(const void *Sender, TLogLevel ALogLevel, const std::string &ALogMsg) {
  if (Passes(ALogLevel))
    Deliver(Sender, ALogLevel, ALogMsg, true);
}

void TFFLogger::LogNoWait(const void *Sender, TLogLevel ALogLevel, const std::string &ALogMsg) {
  if (Passes(ALogLevel))
    Deliver(Sender, ALogLevel, ALogMsg, false);
}

void TFFLogger::LogFmt(const void *Sender, TLogLevel ALogLevel, const char *AFormat, ...) {
  if (!Passes(ALogLevel))
    return;
  va_list args;
  va_start(args, AFormat);
  LogFmtV(Sender, ALogLevel, AFormat, args);
  va_end(args);
}

void TFFLogger::LogFmtV(const void *Sender, TLogLevel ALogLevel, const char *AFormat,
                        va_list AArgs) {
  if (!Passes(ALogLevel))
    return;
  va_list copy;
  va_copy(copy, AArgs);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, AFormat, copy);
  va_end(copy);
  if (n < 0)
    return;
  if (static_cast<size_t>(n) < sizeof small) {
    Deliver(Sender, ALogLevel, std::string(small, n), true);
    return;
  }
  std::string text(static_cast<size_t>(n), '\0');
  std::vsnprintf(text.data(), text.size() + 1, AFormat, AArgs);
  Deliver(Sender, ALogLevel, text, true);
}

void TFFLogger::Deliver(const void *Sender, TLogLevel ALevel, const std::string &AMsg, bool AWait) {
  std::shared_ptr<const TLogEvent> handler;
  {
    std::lock_guard lock(FHandlerLock);
    handler = FOnLog;
  }
  if (!handler)
    return;
  if (TriggerEventInMainThread() && !IsMainThread()) {
    // The call carries its own copy of the event: no record shared between threads.
    TLogInfo info{Sender, std::this_thread::get_id(), ALevel, AMsg};
    auto call = [handler, info = std::move(info)] {
      (*handler)(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg);
    };
    if (AWait)
      Synchronize(std::move(call));
    else
      Queue(std::move(call));
  } else {
    (*handler)(Sender, std::this_thread::get_id(), ALevel, AMsg);
  }
}

bool TFFLogger::OptLogLevel(const std::string &AText) {
  static const struct {
    const char *Name;
    int Level;
  } names[] = {{"quiet", -8},   {"panic", 0}, {"fatal", 8},    {"error", 16},
               {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48}};
  std::string lower;
  for (char c : AText)
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto &n : names) {
    if (lower == n.Name) {
      SetLogLevel(AVToLogLevel(n.Level));
      return true;
    }
  }
  if (AText.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  long value = std::strtol(AText.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX)
    return false;
  SetLogLevel(AVToLogLevel(static_cast<int>(value)));
  return true;
}

bool TFFLogger::InstallBridge() {
  if (!ff::avutil.av_log_set_callback || !ff::avutil.av_log_set_level)
    return false;
  ff::avutil.av_log_set_callback(FFLogCallback);
  ff::avutil.av_log_set_level(AVLevel());
  return true;
}

void TFFLogger::UninstallBridge() {
  if (ff::avutil.av_log_set_callback && ff::avutil.av_log_default_callback)
    ff::avutil.av_log_set_callback(ff::avutil.av_log_default_callback);
}

void FFLogResetRepeat() {
  TRepeatState &rep = Repeat();
  std::lock_guard lock(rep.Lock);
  rep.Prev.clear();
  rep.Count = 0;
}

extern "C" void FFLogCallback(void *AAvcl, int ALevel, const char *AFormat, va_list AArgs) {
  if (ALevel >= 0)
    ALevel &= 0xff; // drop FFmpeg's colour bits
  TFFLogger &logger = FFLogger();
  if (ALevel > logger.AVLevel())
    return;
  TLogLevel level = AVToLogLevel(ALevel);
  if (!logger.Passes(level))
    return;

  TThreadLogState &ts = ThreadLogState();

  // Context prefix, only when a new line starts.
  char prefix[256];
  int prefixLen = 0;
  if (ts.Line.empty() && AAvcl) {
    const AVClass *avc = *static_cast<const AVClass **>(AAvcl);
    if (avc) {
      if (avc->parent_log_context_offset) {
        AVClass **parent = *reinterpret_cast<AVClass ***>(static_cast<uint8_t *>(AAvcl) +
                                                          avc->parent_log_context_offset);
        if (parent && *parent)
          prefixLen += std::snprintf(prefix, sizeof prefix, "[%s @ %p] ", ItemName(*parent, parent),
                                     static_cast<void *>(parent));
      }
      if (prefixLen < 0 || static_cast<size_t>(prefixLen) >= sizeof prefix)
        prefixLen = 0;
      int n = std::snprintf(prefix + prefixLen, sizeof prefix - prefixLen, "[%s @ %p]",
                            ItemName(avc, AAvcl), AAvcl);
      if (n > 0)
        prefixLen = std::min<int>(prefixLen + n, sizeof prefix - 1);
    }
  }

  // Format into the 2048-byte buffer; on overflow into a heap buffer of 4096
  // bytes grown by 2048 until the message fits.
  va_list copy;
  va_copy(copy, AArgs);
  std::memcpy(ts.Buffer, prefix, prefixLen);
  int n = std::vsnprintf(ts.Buffer + prefixLen, FirstBufferSize - prefixLen, AFormat, copy);
  va_end(copy);
  if (n < 0)
    return;
  const char *text = ts.Buffer;
  size_t textLen = prefixLen + static_cast<size_t>(n);
  if (textLen >= FirstBufferSize) {
    size_t size = HeapBufferSize;
    while (size <= textLen)
      size += HeapBufferStep;
    if (ts.Heap.size() < size)
      ts.Heap.resize(size);
    std::memcpy(ts.Heap.data(), prefix, prefixLen);
    std::vsnprintf(ts.Heap.data() + prefixLen, ts.Heap.size() - prefixLen, AFormat, AArgs);
    text = ts.Heap.data();
  }
  ts.Text.assign(text, textLen);

  // Repetition of one complete text is counted, not delivered.
  int repeated = 0;
  {
    TRepeatState &rep = Repeat();
    std::lock_guard lock(rep.Lock);
    if (!ts.Text.empty() && ts.Text.back() == '\n' && ts.Text == rep.Prev) {
      ++rep.Count;
      return;
    }
    repeated = rep.Count;
    rep.Count = 0;
    rep.Prev = ts.Text;
  }
  // Delivered outside the lock: a delivery may wait for the main thread,
  // which may itself be logging.
  if (repeated > 0) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "    Last message repeated %d times", repeated);
    logger.LogNoWait(&logger, level, msg);
  }

  ts.Line += ts.Text;
  size_t start = 0;
  for (size_t eol; (eol = ts.Line.find('\n', start)) != std::string::npos; start = eol + 1)
    logger.LogNoWait(&logger, level, ts.Line.substr(start, eol - start));
  ts.Line.erase(0, start);
}
