#include "engine/FFEncode.h"

#include "engine/FFLoad.h"
#include "engine/FFLog.h"
#include "engine/FFSync.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

namespace {

std::string Format(const char *AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *AFormat, ...) {
  char buf[512];
  va_list args;
  va_start(args, AFormat);
  std::vsnprintf(buf, sizeof(buf), AFormat, args);
  va_end(args);
  return buf;
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Tasks whose event handler is running on this thread (innermost last). A
// Stop(true) inside such a handler must not wait for that task: it is
// blocked until the handler returns.
thread_local std::vector<const TFFmpeg *> GEventTasks;

class TEventScope {
public:
  explicit TEventScope(const TFFmpeg *ATask) : FTask(ATask) {
    if (FTask)
      GEventTasks.push_back(FTask);
  }
  ~TEventScope() {
    if (FTask)
      GEventTasks.pop_back();
  }
  TEventScope(const TEventScope &) = delete;
  TEventScope &operator=(const TEventScope &) = delete;

private:
  const TFFmpeg *FTask;
};

bool HandlerOnThisThread(const TFFmpeg *ATask) {
  return std::find(GEventTasks.begin(), GEventTasks.end(), ATask) != GEventTasks.end();
}

// Waits until AReady() holds, keeping the main thread's synchronisation queue
// running when called on the main thread (a worker may be blocked in it).
template <typename TPred> void WaitDraining(TPred AReady, int APollMs) {
  while (!AReady()) {
    if (IsMainThread())
      CheckSynchronize(APollMs);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(APollMs));
  }
}

void SetThreadNice(TThreadPriority APriority) {
  pid_t tid = gettid();
  errno = 0;
  int base = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (base == -1 && errno != 0)
    return;
  int nice = ThreadPriorityToNice(APriority, base);
  if (nice != base)
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice); // raising may be refused: ignored
}

TAVPicture PictureOf(const AVFrame *AFrame) {
  TAVPicture pic;
  for (int i = 0; i < 4; ++i) {
    pic.data[i] = AFrame->data[i];
    pic.linesize[i] = AFrame->linesize[i];
  }
  return pic;
}

} // namespace

int ThreadPriorityToNice(TThreadPriority APriority, int ABaseNice) {
  static const int kOffset[] = {0, 10, 5, 0, -5, -10, -20};
  if (APriority == tpIdle)
    return 19;
  int index = std::clamp(static_cast<int>(APriority), 0, 6);
  return std::clamp(ABaseNice + kOffset[index], -20, 19);
}

// ---------------------------------------------------------------------------
// TManualEvent

void TManualEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FSignalled = true;
  }
  FCond.notify_all();
}

void TManualEvent::Reset() {
  std::lock_guard<std::mutex> lock(FLock);
  FSignalled = false;
}

bool TManualEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FSignalled;
}

bool TManualEvent::WaitFor(int ATimeoutMs) const {
  std::unique_lock<std::mutex> lock(FLock);
  return FCond.wait_for(lock, std::chrono::milliseconds(ATimeoutMs), [this] { return FSignalled; });
}

// ---------------------------------------------------------------------------
// TFFmpeg

TFFmpeg::TFFmpeg(TCustomEncoder *AParent, int AMaxFiles)
    : TCustomFFmpeg(AMaxFiles), FParent(AParent) {
  ConnectHooks();
}

TFFmpeg::~TFFmpeg() {
  if (FConverting) {
    FBroken = true;
    FRun.Stop();
    Resume();
  }
  if (FThread.joinable()) {
    WaitDraining([this] { return FStopEvent.IsSet(); }, 20);
    FThread.join();
  }
  if (FTermThread.joinable()) {
    WaitDraining([this] { return FTermEvent.IsSet(); }, 10);
    FTermThread.join();
  }
  UnbindDecoders();
  FRun.Close();
}

void TFFmpeg::ConnectHooks() {
  TTaskRunHooks &h = FRun.Hooks;
  h.StopRequested = [this] { return FBroken.load(std::memory_order_relaxed); };
  h.PausePoint = [this] { PausePoint(); };
  h.OnProgress = [this](const TProgressInfo &AInfo) {
    // The last report (FileIndex -1) always passes; the others at most once
    // per ReportInterval, counted from the end of the previous event.
    if (AInfo.FileIndex != -1 && FLastProgress != INT64_MIN &&
        NowUs() - FLastProgress < ReportInterval.load())
      return;
    if (FOnProgress)
      FOnProgress(this, AInfo);
    FLastProgress = NowUs();
  };
  h.OnBeforeFindStreamInfo = [this](AVFormatContext *ACtx) {
    if (FOnBeforeFindStreamInfo)
      FOnBeforeFindStreamInfo(this, ACtx);
  };
}

std::vector<const AVFormatContext *> TFFmpeg::OpenedInputs() const {
  std::vector<AVFormatContext *> ctx = FRun.InputContexts();
  return {ctx.begin(), ctx.end()};
}

void TFFmpeg::BindDecoders() {
  std::vector<AVFormatContext *> ctx = FRun.InputContexts();
  for (size_t i = 0; i < FDecoders.size() && i < ctx.size(); ++i)
    FDecoders[i]->SetFileHandle(ctx[i]);
}

void TFFmpeg::UnbindDecoders() {
  for (auto &d : FDecoders)
    d->CloseFile();
}

bool TFFmpeg::AddInputFile(const std::string &AFileName, const TInputOptions *AOptions) {
  TInputOptions slot = ApplyInputOptions(AFileName, AOptions ? *AOptions : TInputOptions());
  const std::string name = slot.FileName.empty() ? AFileName : slot.FileName;
  FRun.ReadTimeout = FReadTimeout;
  std::string err;
  if (!FRun.AddInput(*this, name, err)) {
    SetLastErrMsg(err);
    return false;
  }
  FInputOptions.push_back(slot);
  auto decoder = std::make_unique<TFFDecoder>(this);
  decoder->SetFileHandle(FRun.InputContexts().back());
  FDecoders.push_back(std::move(decoder));
  return true;
}

bool TFFmpeg::SetOutputFile(const std::string &AFileName, const TOutputOptions *AOptions) {
  TPendingOutput pending = ApplyOutputOptions(AFileName, AOptions ? *AOptions : TOutputOptions());
  const std::string name = pending.Options.FileName.empty() ? AFileName : pending.Options.FileName;
  FRun.ReadTimeout = FReadTimeout;
  FRun.PrepareOutput(*this, name);
  if (!pending.NewStreams.empty())
    AddPendingStreams(pending); // calls NewOutputStream per line

  TTaskRunHooks &h = FRun.Hooks;
  h.OnVideoInputHook = nullptr;
  h.OnVideoOutputHook = nullptr;
  h.OnAudioHook = nullptr;
  if (FVideoInputHook)
    h.OnVideoInputHook = [this](AVFrame *AFrame, int ANumber, int64_t APts, bool &AStop) {
      return FOnInputVideoHook && FOnInputVideoHook(this, AFrame, ANumber, APts, AStop);
    };
  if (FVideoOutputHook)
    h.OnVideoOutputHook = [this](AVFrame *AFrame, int ANumber, int64_t APts, bool &AStop) {
      return FOnOutputVideoHook && FOnOutputVideoHook(this, AFrame, ANumber, APts, AStop);
    };
  // The post hook needs decoded pictures (no video stream copy), so it is
  // installed only for a task that has post hooks when its output is set.
  h.OnPostHook = nullptr;
  if (FPostHooks.load() != 0)
    h.OnPostHook = [this](const AVFrame *AFrame, int AFrameNumber, int64_t APts) {
      if (FOnPostHook && FPostHooks.load(std::memory_order_relaxed) != 0 && !FPostHookOff)
        FOnPostHook(this, AFrame, AFrameNumber, APts);
    };
  if (FAudioHook)
    h.OnAudioHook = [this](const AVFrame *AFrame, int64_t APts) {
      if (FOnAudioHook)
        FOnAudioHook(this, AFrame, APts);
    };

  // Opening the output re-opens the inputs (see TTaskRun): the decoders are
  // bound again to the new containers, also after a failure.
  UnbindDecoders();
  std::string err;
  bool ok = FRun.OpenOutput(*this, pending.Join, err);
  BindDecoders();
  if (!ok) {
    SetLastErrMsg(err);
    return false;
  }
  FOutputOptions.push_back(pending.Options);
  return true;
}

void TFFmpeg::NewOutputStream(AVMediaType AType) {
  FRun.PrepareNewStream(*this, AType);
}

bool TFFmpeg::AddFrameHook(const std::vector<std::string> &AArgs) {
  if (AArgs.empty())
    return false;
  std::string value;
  for (const std::string &arg : AArgs)
    value += (value.empty() ? "" : "|") + arg;
  FRun.FrameHooks.push_back(value);
  return true;
}

std::thread::id TFFmpeg::WorkerId() const {
  return FWorkerId.load();
}

bool TFFmpeg::StartConvert(bool AUseThread, TThreadPriority APriority) {
  if (FConverting || FTerminated || FStarted)
    return false;
  FStarted = true;
  std::string error;
  if (OutputFileCount() == 0)
    error = "At least one output file must be specified";
  else if (InputFileCount() == 0)
    error = "At least one input file must be specified";
  if (!error.empty()) {
    FFLogger().Log(this, llQuiet, error);
    FFatalException = true;
    FFatalMessage = error;
    UnbindDecoders();
    FRun.Close();
    DoTerminate();
    return false;
  }
  FConverting = true;
  FBroken = false;
  FFinished = false;
  FTerminated = false;
  if (!AUseThread) {
    DoConvert(false, APriority);
    return false;
  }
  FStopEvent.Reset();
  FThread = std::thread([this, APriority] { DoConvert(true, APriority); });
  return true;
}

void TFFmpeg::DoConvert(bool AInThread, TThreadPriority APriority) {
  FWorkerId = std::this_thread::get_id();
  if (AInThread)
    SetThreadNice(APriority);
  TTaskRunResult result;
  try {
    result = FRun.Run();
  } catch (const std::exception &e) {
    result = TTaskRunResult{false, false, e.what()};
  } catch (...) {
    result = TTaskRunResult{false, false, "Unknown error"};
  }
  FFinished = result.Success && result.Finished;
  if (!result.Success) {
    FFLogger().Log(this, llQuiet, result.ErrorMsg);
    FFatalException = true;
    FFatalMessage = result.ErrorMsg;
  }
  // The files are closed before a waiting Stop returns, so the output is
  // complete (trailer written, file closed) once it does.
  try {
    UnbindDecoders();
    FRun.Close();
  } catch (const std::exception &e) {
    FFLogger().Log(this, llQuiet, e.what());
  }
  FStopEvent.Set();
  DoTerminate();
}

void TFFmpeg::DoTerminate() {
  if (FTerminationRun.exchange(true))
    return;
  FConverting = false;
  FTerminated = true;
  FWorkerId = std::thread::id();
  if (FOnTerminate)
    FOnTerminate(this);
}

void TFFmpeg::PausePoint() {
  if (!FPauseFlag.load(std::memory_order_relaxed))
    return;
  std::unique_lock<std::mutex> lock(FPauseLock);
  FPauseCond.wait(lock, [this] { return !FPaused || FBroken; });
}

void TFFmpeg::Pause() {
  std::lock_guard<std::mutex> lock(FPauseLock);
  FPaused = true;
  FPauseFlag = true;
}

void TFFmpeg::Resume() {
  {
    std::lock_guard<std::mutex> lock(FPauseLock);
    FPaused = false;
    FPauseFlag = false;
  }
  FPauseCond.notify_all();
}

void TFFmpeg::Stop(bool AWaitForStop, bool AUseThread) {
  if (FConverting) {
    FBroken = true;
    FRun.Stop(); // also abandons a blocked read at once
    Resume();
    bool ownThread = WorkerId() == std::this_thread::get_id() || HandlerOnThisThread(this);
    if (AWaitForStop && FThread.joinable() && !ownThread)
      WaitDraining([this] { return FStopEvent.IsSet(); }, 20);
    return;
  }
  if (FStarted.exchange(true))
    return; // terminated, or terminating right now
  // It will never run: release its files now (an output without data is
  // deleted).
  UnbindDecoders();
  FRun.Close();
  if (!AUseThread) {
    DoTerminate();
    return;
  }
  FTermEvent.Reset();
  FTermThread = std::thread([this] {
    DoTerminate();
    FTermEvent.Set();
  });
  if (AWaitForStop)
    WaitDraining([this] { return FTermEvent.IsSet(); }, 10);
}

// ---------------------------------------------------------------------------
// TFFmpegList

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> ATask) {
  FItems.push_back(std::move(ATask));
  return Count() - 1;
}

void TFFmpegList::Clear() {
  // Tasks are destroyed one by one, the list stays valid for index lookups.
  while (!FItems.empty()) {
    std::unique_ptr<TFFmpeg> last = std::move(FItems.back());
    last.reset();
    FItems.pop_back();
  }
}

void TFFmpegList::Delete(int AIndex) {
  std::unique_ptr<TFFmpeg> item = std::move(FItems.at(static_cast<size_t>(AIndex)));
  FItems.erase(FItems.begin() + AIndex);
}

void TFFmpegList::Exchange(int AIndex1, int AIndex2) {
  std::swap(FItems.at(static_cast<size_t>(AIndex1)), FItems.at(static_cast<size_t>(AIndex2)));
}

TFFmpeg *TFFmpegList::Items(int AIndex) const {
  return AIndex >= 0 && AIndex < Count() ? FItems[static_cast<size_t>(AIndex)].get() : nullptr;
}

int TFFmpegList::IndexOf(const TFFmpeg *ATask) const {
  for (int i = 0; i < Count(); ++i)
    if (FItems[static_cast<size_t>(i)].get() == ATask)
      return i;
  return -1;
}

void TFFmpegList::Pause() {
  for (auto &t : FItems)
    t->Pause();
}

void TFFmpegList::Resume() {
  for (auto &t : FItems)
    t->Resume();
}

void TFFmpegList::Stop(bool AWaitForStop, bool AUseThread) {
  for (size_t i = 0; i < FItems.size(); ++i)
    FItems[i]->Stop(AWaitForStop, AUseThread);
}

void TFFmpegList::SetPostHooks(int AHooks) {
  for (auto &t : FItems)
    t->FPostHooks = AHooks;
}

// ---------------------------------------------------------------------------
// TCustomEncoder

TCustomEncoder::TCustomEncoder() : FDecoder(std::make_unique<TFFDecoder>(this)) {}

TCustomEncoder::~TCustomEncoder() {
  FDestroying = true;
  {
    std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
    FPendingTasks = 0;
  }
  if (FWorking)
    FTasks.Stop(true, FThreadMode);
  FTasks.Clear();
  WaitDraining([this] { return PendingNotifications() == 0; }, 10);
}

bool TCustomEncoder::LoadAVLib(const std::string &APath) {
  FFLoader().SetLibraryPath(APath);
  if (FFLoader().Load(EncoderLibraries))
    return true;
  FLastErrMsg = FFLoader().LastErrMsg();
  return false;
}

bool TCustomEncoder::AVLibLoaded() const {
  return FFLoader().Loaded(EncoderLibraries);
}

void TCustomEncoder::UnloadAVLib() {
  FFLoader().Unload(EncoderLibraries);
}

void TCustomEncoder::BusyCheck(const char *AWhat) const {
  if (FWorking)
    throw FFmpegException(Format("Cannot %s while working.", AWhat));
}

TFFmpeg *TCustomEncoder::CheckedTask(int ATaskIndex) {
  TFFmpeg *task = FTasks.Items(ATaskIndex);
  if (!task)
    FLastErrMsg = Format("Invalid task index %d", ATaskIndex);
  return task;
}

void TCustomEncoder::ConnectTask(TFFmpeg &ATask) {
  ATask.HaltOnInvalidOption = HaltOnInvalidOption;
  ATask.Fverbose = Verbose;
  ATask.Fthread_count = ThreadCount;
  {
    std::lock_guard<std::mutex> lock(FPostHookLock);
    ATask.FPostHooks = (FPreview ? phPreview : 0) | (FPreviewBitmap ? phBitmap : 0);
  }
  ATask.FOnBeforeFindStreamInfo = [this](TFFmpeg *ATask, AVFormatContext *ACtx) {
    if (OnBeforeFindStreamInfo)
      OnBeforeFindStreamInfo(ATask, ACtx);
  };
  ATask.FOnPostHook = [this](TFFmpeg *ATask, const AVFrame *AFrame, int ANumber, int64_t APts) {
    TaskPostHook(ATask, AFrame, ANumber, APts);
  };
  ATask.FOnInputVideoHook = [this](TFFmpeg *ATask, AVFrame *AFrame, int ANumber, int64_t APts,
                                   bool &AStop) {
    return TaskVideoHook(ATask, true, AFrame, ANumber, APts, AStop);
  };
  ATask.FOnOutputVideoHook = [this](TFFmpeg *ATask, AVFrame *AFrame, int ANumber, int64_t APts,
                                    bool &AStop) {
    return TaskVideoHook(ATask, false, AFrame, ANumber, APts, AStop);
  };
  ATask.FOnAudioHook = [this](TFFmpeg *ATask, const AVFrame *AFrame, int64_t APts) {
    TaskAudioHook(ATask, AFrame, APts);
  };
  ATask.FOnProgress = [this](TFFmpeg *ATask, const TProgressInfo &AInfo) {
    TaskProgress(ATask, AInfo);
  };
  ATask.FOnTerminate = [this](TFFmpeg *ATask) { TaskTerminate(ATask); };
}

int TCustomEncoder::AddTask(const std::string &AFileName, const TInputOptions *AOptions) {
  BusyCheck("AddTask");
  try {
    auto task = std::make_unique<TFFmpeg>(this, FCustomMaxFiles);
    ConnectTask(*task);
    task->FReadTimeout = ReadTimeout;
    if (!task->AddInputFile(AFileName, AOptions)) {
      FLastErrMsg = task->LastErrMsg();
      return -1;
    }
    return FTasks.Add(std::move(task));
  } catch (const std::exception &e) {
    FLastErrMsg = e.what();
    return -1;
  }
}

int TCustomEncoder::AddTask(const std::string &AFileName, const std::string &AExtOptions) {
  BusyCheck("AddTask");
  TInputOptions options;
  try {
    options = InputOptionsFromText(AExtOptions);
  } catch (const std::exception &e) {
    FLastErrMsg = e.what();
    return -1;
  }
  return AddTask(AFileName, &options);
}

int TCustomEncoder::AddTask(const void *AStream, const std::string &APrivateData,
                            const TInputOptions *AOptions) {
  return AddTask(Format("stream:%lld:%s",
                        static_cast<long long>(reinterpret_cast<intptr_t>(AStream)),
                        APrivateData.c_str()),
                 AOptions);
}

bool TCustomEncoder::AddInputFile(int ATaskIndex, const std::string &AFileName,
                                  const TInputOptions *AOptions) {
  BusyCheck("AddInputFile");
  TFFmpeg *task = CheckedTask(ATaskIndex);
  if (!task)
    return false;
  if (task->InputFileCount() >= task->MaxFiles()) {
    FLastErrMsg = Format("max input files %d reached", task->MaxFiles());
    return false;
  }
  try {
    task->HaltOnInvalidOption = HaltOnInvalidOption;
    task->FReadTimeout = ReadTimeout;
    if (task->AddInputFile(AFileName, AOptions))
      return true;
    FLastErrMsg = task->LastErrMsg();
  } catch (const std::exception &e) {
    FLastErrMsg = e.what();
  }
  return false;
}

bool TCustomEncoder::AddInputFile(int ATaskIndex, const std::string &AFileName,
                                  const std::string &AExtOptions) {
  BusyCheck("AddInputFile");
  TInputOptions options;
  try {
    options = InputOptionsFromText(AExtOptions);
  } catch (const std::exception &e) {
    FLastErrMsg = e.what();
    return false;
  }
  return AddInputFile(ATaskIndex, AFileName, &options);
}

bool TCustomEncoder::SetOutputFile(int ATaskIndex, const std::string &AFileName,
                                   const TOutputOptions *AOptions) {
  BusyCheck("SetOutputFile");
  TFFmpeg *task = CheckedTask(ATaskIndex);
  if (!task)
    return false;
  if (task->OutputFileCount() >= task->MaxFiles()) {
    FLastErrMsg = Format("max output files %d reached", task->MaxFiles());
    return false;
  }
  try {
    task->HaltOnInvalidOption = HaltOnInvalidOption;
    task->FReadTimeout = ReadTimeout;
    if (task->SetOutputFile(AFileName, AOptions))
      return true;
    FLastErrMsg = task->LastErrMsg();
  } catch (const std::exception &e) {
    FLastErrMsg = e.what();
  }
  return false;
}

bool TCustomEncoder::SetOutputFile(int ATaskIndex, const std::string &AFileName,
                                   const std::string &AExtOptions) {
  BusyCheck("SetOutputFile");
  TOutputOptions options;
  try {
    options = OutputOptionsFromText(AExtOptions);
  } catch (const std::exception &e) {
    FLastErrMsg = e.what();
    return false;
  }
  return SetOutputFile(ATaskIndex, AFileName, &options);
}

bool TCustomEncoder::SetOutputStream(int ATaskIndex, const void *AStream,
                                     const TOutputOptions *AOptions,
                                     const std::string &APrivateData) {
  return SetOutputFile(ATaskIndex,
                       Format("stream:%lld:%s",
                              static_cast<long long>(reinterpret_cast<intptr_t>(AStream)),
                              APrivateData.c_str()),
                       AOptions);
}

void TCustomEncoder::ClearTasks() {
  if (FWorking && !FTerminated)
    throw FFmpegException("Cannot ClearTasks while working.");
  FTasks.Clear();
  FLastErrMsg.clear();
  {
    std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
    FCompleteTasks = FCurrentTask = FPendingTasks = 0;
  }
  FTerminated = false;
  FThreadMode = false;
  FWorking = false;
  FPaused = false;
}

void TCustomEncoder::Exchange(int ATaskIndex1, int ATaskIndex2) {
  BusyCheck("Exchange");
  if (!FTasks.Items(ATaskIndex1) || !FTasks.Items(ATaskIndex2))
    throw FFmpegException(Format("List index out of bounds (%d)",
                                 FTasks.Items(ATaskIndex1) ? ATaskIndex2 : ATaskIndex1));
  FTasks.Exchange(ATaskIndex1, ATaskIndex2);
}

void TCustomEncoder::RemoveTask(int ATaskIndex) {
  BusyCheck("RemoveTask");
  if (!FTasks.Items(ATaskIndex))
    throw FFmpegException(Format("List index out of bounds (%d)", ATaskIndex));
  FTasks.Delete(ATaskIndex);
}

int TCustomEncoder::GetTaskIndex(const TFFmpeg *AFFmpeg) const {
  return FTasks.IndexOf(AFFmpeg);
}

void TCustomEncoder::SetPreview(bool AValue) {
  std::lock_guard<std::mutex> lock(FPostHookLock);
  FPreview = AValue;
  FTasks.SetPostHooks((FPreview ? phPreview : 0) | (FPreviewBitmap ? phBitmap : 0));
}

void TCustomEncoder::SetPreviewBitmap(bool AValue) {
  std::lock_guard<std::mutex> lock(FPostHookLock);
  FPreviewBitmap = AValue;
  FTasks.SetPostHooks((FPreview ? phPreview : 0) | (FPreviewBitmap ? phBitmap : 0));
}

int TCustomEncoder::PendingNotifications() const {
  std::lock_guard<std::mutex> lock(FNotifyLock);
  return FPendingNotifications;
}

// ---------------------------------------------------------------------------
// Running

void TCustomEncoder::Start(int AThreadCount) {
  BusyCheck("StartTask");
  std::unique_lock<std::recursive_mutex> lock(FTerminateLock);
  FCompleteTasks = 0;
  FCurrentTask = 0;
  FPendingTasks = FTasks.Count();
  FTerminated = false;
  FThreadMode = AThreadCount > 0;
  FWorking = true;
  FPaused = false;
  if (FTasks.Count() == 0) {
    FTerminated = true; // nothing to run: the run is over, ClearTasks may follow
    return;
  }
  if (FThreadMode) {
    // Under the lock, so that a task ending meanwhile starts its successor
    // only after this first batch has been started.
    for (int n = AThreadCount; n > 0 && FPendingTasks > 0; --n)
      StartNextTask();
    return;
  }
  lock.unlock();
  // Each task runs to its end here; the lock is not held meanwhile so that
  // Stop from another thread takes effect.
  for (;;) {
    TFFmpeg *task;
    {
      std::lock_guard<std::recursive_mutex> guard(FTerminateLock);
      if (FPendingTasks <= 0)
        break;
      --FPendingTasks;
      task = FTasks.Items(FCurrentTask++);
      task->ReportInterval = FProgressInterval * 1000LL;
    }
    task->StartConvert(false, ThreadPriority);
  }
}

void TCustomEncoder::StartNextTask() {
  // Caller holds FTerminateLock.
  if (FPendingTasks <= 0)
    return;
  --FPendingTasks;
  TFFmpeg *task = FTasks.Items(FCurrentTask++);
  task->ReportInterval = FProgressInterval * 1000LL;
  if (FPaused)
    task->Pause(); // waits at its first packet until Resume
  task->StartConvert(FThreadMode, ThreadPriority);
}

void TCustomEncoder::Pause() {
  if (!FWorking || FPaused)
    return;
  FPaused = true;
  if (FThreadMode) // tasks running in the caller's thread cannot be paused
    FTasks.Pause();
}

void TCustomEncoder::Resume() {
  if (!FWorking || !FPaused)
    return;
  FPaused = false;
  FTasks.Resume();
}

void TCustomEncoder::Stop(bool AWaitForStop) {
  {
    std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
    FPendingTasks = 0;
  }
  if (!FWorking)
    return;
  FTasks.Stop(AWaitForStop, FThreadMode);
}

void TCustomEncoder::CallEvent(const TFFmpeg *ATask, const std::function<void()> &AProc) {
  if (FDestroying)
    return;
  auto run = [&] {
    TEventScope scope(ATask);
    AProc();
  };
  try {
    if (TriggerEventInMainThread && !IsMainThread())
      Synchronize(run);
    else
      run();
  } catch (const std::exception &e) {
    FFLogger().Log(this, llError, std::string("Event handler failed: ") + e.what());
  }
}

void TCustomEncoder::DeliverTerminate(const TTerminateInfo &AInfo) {
  CallEvent(nullptr, [&] { OnTerminate(this, AInfo); });
}

void TCustomEncoder::NotifyTerminate(const TTerminateInfo &AInfo, bool AFinal) {
  {
    std::lock_guard<std::mutex> lock(FNotifyLock);
    ++FPendingNotifications;
  }
  std::thread([this, AInfo, AFinal] {
    if (AFinal) {
      // After every other termination event in flight.
      std::unique_lock<std::mutex> lock(FNotifyLock);
      FNotifyCond.wait(lock, [this] { return FPendingNotifications == 1; });
    }
    DeliverTerminate(AInfo);
    std::lock_guard<std::mutex> lock(FNotifyLock);
    --FPendingNotifications;
    FNotifyCond.notify_all();
  }).detach();
}

void TCustomEncoder::TaskProgress(TFFmpeg *ATask, const TProgressInfo &AInfo) {
  if (!OnProgress)
    return;
  std::lock_guard<std::mutex> lock(FProgressLock);
  FProgressInfo = AInfo;
  FProgressInfo.TaskIndex = GetTaskIndex(ATask);
  CallEvent(ATask, [this] { OnProgress(this, &FProgressInfo); });
}

void TCustomEncoder::TaskTerminate(TFFmpeg *ATask) {
  std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
  if (OnTerminate) {
    TTerminateInfo info;
    info.TaskIndex = GetTaskIndex(ATask);
    info.Finished = ATask->Finished();
    info.Exception = ATask->FatalException();
    info.ExceptionMsg = ATask->FatalMessage();
    FTerminateInfo = info;
    if (FThreadMode || !FWorking)
      NotifyTerminate(info, false);
    else
      DeliverTerminate(info);
  }
  ++FCompleteTasks;
  if (FPendingTasks <= 0) {
    if (FWorking && FCompleteTasks >= FTasks.Count())
      RaiseFinal();
  } else if (FThreadMode) {
    StartNextTask();
  }
}

void TCustomEncoder::RaiseFinal() {
  // Caller holds FTerminateLock.
  if (FTerminated)
    return;
  if (OnTerminate) {
    TTerminateInfo info;
    info.TaskIndex = -1;
    info.Finished = true;
    FTerminateInfo = info;
    if (FThreadMode || !FWorking) {
      // Set first: the handler of the final event may already clear the list.
      FTerminated = true;
      NotifyTerminate(info, true);
      return;
    }
    DeliverTerminate(info);
  }
  FTerminated = true;
}

void TCustomEncoder::TaskPostHook(TFFmpeg *ATask, const AVFrame *AFrame, int AFrameNumber,
                                  int64_t APts) {
  int64_t now = NowUs();
  if (ATask->FLastPreview != INT64_MIN && now - ATask->FLastPreview < ATask->PreviewInterval)
    return;
  ATask->FLastPreview = now;
  int hooks;
  {
    std::lock_guard<std::mutex> lock(FPostHookLock);
    hooks = ATask->FPostHooks;
  }
  auto toBitmap = [&]() {
    if (ATask->FPreviewConverter.PictureToRGB(PictureOf(AFrame),
                                              static_cast<AVPixelFormat>(AFrame->format), true,
                                              AFrame->height, AFrame->width))
      return true;
    FFLogger().Log(this, llError, ATask->FPreviewConverter.LastErrMsg());
    ATask->FPostHookOff = true;
    return false;
  };
  if ((hooks & phBitmap) && OnPreviewBitmap) {
    if (!toBitmap())
      return;
    std::lock_guard<std::mutex> lock(FPreviewLock);
    FPreviewInfo.TaskIndex = GetTaskIndex(ATask);
    FPreviewInfo.Bitmap = &ATask->FPreviewConverter.Bitmap();
    FPreviewInfo.FrameNumber = AFrameNumber;
    FPreviewInfo.PTS = APts;
    CallEvent(ATask, [this] { OnPreviewBitmap(this, FPreviewInfo); });
  } else if (hooks & phPreview) {
    if (!ATask->FPreviewerMade) {
      ATask->FPreviewerMade = true;
      if (PreviewerFactory) {
        auto make = [&] { ATask->FPreviewer = PreviewerFactory(); };
        if (IsMainThread())
          make();
        else
          Synchronize(make);
      }
    }
    if (!ATask->FPreviewer || ATask->FPreviewer->Closed() || !toBitmap())
      return;
    ATask->FPreviewer->PaintFrame(ATask->FPreviewConverter.Bitmap(), AFrameNumber, APts);
  }
}

bool TCustomEncoder::TaskVideoHook(TFFmpeg *ATask, bool AInput, AVFrame *AFrame, int AFrameNumber,
                                   int64_t APts, bool &AStopHook) {
  const TEncoderVideoHookEvent &handler = AInput ? OnVideoInputHook : OnVideoOutputHook;
  if (!handler || FDestroying)
    return false;
  TFormatConverter &conv = ATask->FHookConverter;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(AFrame->format);
  TAVPicture picture = PictureOf(AFrame);
  try {
    if (conv.BitsPixel() != ATask->FVideoHookBitsPixel)
      conv.SetBitsPixel(ATask->FVideoHookBitsPixel);
  } catch (const std::exception &e) {
    FFLogger().Log(this, llError, e.what());
    AStopHook = true;
    return false;
  }
  if (!conv.PictureToRGB(picture, fmt, true, AFrame->height, AFrame->width)) {
    FFLogger().Log(this, llError, conv.LastErrMsg());
    AStopHook = true;
    return false;
  }
  std::lock_guard<std::mutex> lock(FVideoHookLock);
  FVideoHookInfo = THookInfo();
  FVideoHookInfo.TaskIndex = GetTaskIndex(ATask);
  FVideoHookInfo.Bitmap = &conv.Bitmap();
  FVideoHookInfo.FrameNumber = AFrameNumber;
  FVideoHookInfo.PTS = APts;
  handler(this, &FVideoHookInfo);
  AStopHook = FVideoHookInfo.StopHook;
  if (!FVideoHookInfo.Update)
    return false;
  if (conv.BitmapToRGB() && conv.RGBToPicture(picture, fmt, AFrame->height, AFrame->width))
    return true;
  FFLogger().Log(this, llError, conv.LastErrMsg());
  return false;
}

void TCustomEncoder::TaskAudioHook(TFFmpeg *ATask, const AVFrame *AFrame, int64_t APts) {
  if (!OnAudioHook || FDestroying)
    return;
  const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
  const int channels = AFrame->ch_layout.nb_channels;
  const int bps = ff::avutil.av_get_bytes_per_sample(fmt);
  const int size = AFrame->nb_samples * channels * bps;
  uint8_t *data = AFrame->extended_data[0];
  if (ff::avutil.av_sample_fmt_is_planar(fmt) && channels > 1) {
    // Interleave the planes so the handler gets one block.
    std::vector<uint8_t> &buf = ATask->FAudioBuf;
    buf.resize(static_cast<size_t>(size));
    for (int s = 0; s < AFrame->nb_samples; ++s)
      for (int c = 0; c < channels; ++c)
        std::copy_n(AFrame->extended_data[c] + s * bps, bps,
                    buf.data() + (static_cast<size_t>(s) * channels + c) * bps);
    data = buf.data();
  }
  std::lock_guard<std::mutex> lock(FAudioHookLock);
  OnAudioHook(this, GetTaskIndex(ATask), APts, data, size, AFrame->sample_rate, channels,
              ff::avutil.av_get_packed_sample_fmt(fmt));
}
