#pragma once
// The encoder component and its task queue.
//
// TCustomEncoder keeps an ordered list of conversion tasks (TFFmpeg, one
// output file from one or more inputs each), opens their files when they are
// added, runs them in the calling thread (Start(0)) or on N worker threads
// (Start(N)), pauses, resumes and stops them, and reports progress, preview
// pictures, hooks and the end of each task and of the whole run. TFFEncoder
// is the component the application places on its form.
//
// Threads:
// - The component is driven from one thread (the caller: adds, Start, Pause,
//   Resume, Stop, ClearTasks); its busy checks are not locked against
//   concurrent callers.
// - Each running task converts on its own worker thread (std::thread) at the
//   nice value mapped from ThreadPriority, or in the caller's thread with
//   Start(0).
// - OnProgress, OnPreviewBitmap and OnTerminate run on the main thread when
//   TriggerEventInMainThread is set (through the engine's synchronisation
//   queue, FFSync.h: the converting thread waits until the handler has run),
//   otherwise on the thread that raised them. Termination events of worker
//   threads are delivered by short-lived notifier threads, so a task's end
//   never waits for the main thread; the final event (TaskIndex -1) waits
//   until every earlier termination event has been delivered.
// - OnVideoInputHook, OnVideoOutputHook and OnAudioHook run on the
//   converting thread, OnBeforeFindStreamInfo on the adding thread.
// - A main thread that waits for tasks (Stop(true), ClearTasks after a stop,
//   destruction) keeps draining the synchronisation queue while it waits.
//
// FFmpeg (the encoder library set, LoadAVLib) must be loaded before tasks are
// added and stay loaded while tasks exist.

#include "engine/FFBaseComponent.h"
#include "engine/FFTaskRun.h"
#include "engine/FFmpeg.h"
#include "media/FFBitmap.h"
#include "media/FFDecode.h"
#include "media/FFFormatConverter.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TCustomEncoder;
class TFFmpeg;

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The nice value a worker thread of APriority gets, relative to ABaseNice
// (the nice value it inherited): tpIdle 19, tpLowest +10, tpLower +5,
// tpNormal +0, tpHigher -5, tpHighest -10, tpTimeCritical -20, clamped to
// -20..19.
int ThreadPriorityToNice(TThreadPriority APriority, int ABaseNice);

// The end of a task (TaskIndex -1: the end of the run; Finished true then).
struct TTerminateInfo {
  int32_t TaskIndex = 0;
  bool Finished = false;  // converted to the end (not stopped, no error)
  bool Exception = false; // ended because of an error
  std::string ExceptionMsg;
};

// A picture of a running task. Bitmap is valid only during the event.
struct TPreviewInfo {
  int32_t TaskIndex = 0;
  TFFBitmap *Bitmap = nullptr;
  int32_t FrameNumber = 0;
  int64_t PTS = 0; // µs
};

// A picture passed to a video hook. The handler may change Bitmap and set
// Update (the picture takes the bitmap back) or StopHook (no further calls of
// this hook for the task).
struct THookInfo {
  int32_t TaskIndex = 0;
  TFFBitmap *Bitmap = nullptr;
  int32_t FrameNumber = 0;
  int64_t PTS = 0; // µs
  bool Update = false;
  bool StopHook = false;
};

// Post hooks of a task (bits).
enum TPostHook { phPreview = 1, phBitmap = 2, phHBITMAP = 4 };

using TProgressEvent = std::function<void(TCustomEncoder *Sender, TProgressInfo *AProgressInfo)>;
using TTerminateEvent =
    std::function<void(TCustomEncoder *Sender, const TTerminateInfo &ATerminateInfo)>;
using TPreviewBitmapEvent =
    std::function<void(TCustomEncoder *Sender, const TPreviewInfo &APreviewInfo)>;
using TEncoderVideoHookEvent = std::function<void(TCustomEncoder *Sender, THookInfo *AHookInfo)>;
// ASample: the block's samples, interleaved (ASampleFormat is a packed format).
using TAudioHookEvent =
    std::function<void(TCustomEncoder *Sender, int ATaskIndex, int64_t APTS, uint8_t *ASample,
                       int ASize, int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
using TBeforeFindStreamInfoEvent =
    std::function<void(TFFmpeg *Sender, AVFormatContext *AFormatContext)>;
// Makes the window a task paints its pictures into when Preview is on.
// Called on the main thread, once per task, on the task's first picture.
using TPreviewerFactory = std::function<std::unique_ptr<TPreviewer>()>;

// A manual-reset event.
class TManualEvent {
public:
  explicit TManualEvent(bool ASignalled) : FSignalled(ASignalled) {}
  void Set();
  void Reset();
  bool IsSet() const;
  // True when signalled within ATimeoutMs.
  bool WaitFor(int ATimeoutMs) const;

private:
  mutable std::mutex FLock;
  mutable std::condition_variable FCond;
  bool FSignalled;
};

// One conversion task: the option settings (TCustomFFmpeg), the opened files
// (TTaskRun) and the run state.
class TFFmpeg : public TCustomFFmpeg {
public:
  TFFmpeg(TCustomEncoder *AParent, int AMaxFiles);
  // Stops the task and waits for its thread, closes its files.
  ~TFFmpeg() override;

  TCustomEncoder *FParent;
  // One decoder per input slot, bound to the opened input (it never closes
  // it). For the caller's use on the adding thread while the task is not
  // running; unbound once the task's files are closed.
  std::vector<std::unique_ptr<TFFDecoder>> FDecoders;
  // The task's copies of the option records, one per slot.
  std::vector<TInputOptions> FInputOptions;
  std::vector<TOutputOptions> FOutputOptions;

  // Adding files (adding thread; never while the task runs). False with
  // LastErrMsg() set; exceptions of the option handlers pass through.
  bool AddInputFile(const std::string &AFileName, const TInputOptions *AOptions);
  bool SetOutputFile(const std::string &AFileName, const TOutputOptions *AOptions);
  int InputFileCount() const { return FRun.InputCount(); }
  int OutputFileCount() const { return FRun.OutputCount(); }
  // µs the output is expected to last; -1 when unknown.
  int64_t TotalOutputDuration() const { return FRun.TotalOutputDuration(); }

  // Starts the conversion: in the calling thread (returns when it ended) or
  // on a new worker thread at APriority. Does nothing for a task that is
  // converting or has terminated; a task without output or input terminates
  // at once with an error. True when a worker thread was started.
  bool StartConvert(bool AUseThread, TThreadPriority APriority);
  // Cooperative pause of a task running on a worker thread (it stops at its
  // next packet); a task started while paused waits at its first one.
  void Pause();
  void Resume();
  // Stops the task. Converting: the loop ends at its next turn and the
  // output is finished (trailer written); with AWaitForStop and a worker
  // thread, waits until the files are closed, draining the synchronisation
  // queue when called on the main thread (never waits for a task whose event
  // handler is running on the calling thread). Never started: terminates it
  // (Finished false, no exception), through a notifier thread when
  // AUseThread. Terminated: nothing.
  void Stop(bool AWaitForStop, bool AUseThread);

  bool Converting() const { return FConverting; }
  bool Started() const { return FStarted; }
  bool Broken() const { return FBroken; }
  bool Finished() const { return FFinished; }
  bool Terminated() const { return FTerminated; }
  bool FatalException() const { return FFatalException; }
  const std::string &FatalMessage() const { return FFatalMessage; }

  // Set by the component before the task starts.
  std::atomic<int64_t> ReportInterval{500000}; // µs between progress events
  int64_t PreviewInterval = 100000;            // µs between preview pictures
  int FReadTimeout = 10000;                    // ms; <= 0 = blocked reads never give up
  std::atomic<int> FPostHooks{0};              // TPostHook bits

  // The task's events, connected by the component. OnProgress and the hooks
  // run on the converting thread, OnTerminate on the thread that ended the
  // task, OnBeforeFindStreamInfo on the adding thread.
  std::function<void(TFFmpeg *, const TProgressInfo &)> FOnProgress;
  std::function<void(TFFmpeg *)> FOnTerminate;
  std::function<void(TFFmpeg *, AVFormatContext *)> FOnBeforeFindStreamInfo;
  std::function<void(TFFmpeg *, const AVFrame *, int, int64_t)> FOnPostHook;
  std::function<bool(TFFmpeg *, AVFrame *, int, int64_t, bool &)> FOnInputVideoHook,
      FOnOutputVideoHook;
  std::function<void(TFFmpeg *, const AVFrame *, int64_t)> FOnAudioHook;

  // The thread converting the task while it runs (default id otherwise).
  std::thread::id WorkerId() const;

protected:
  void NewOutputStream(AVMediaType AType) override;
  bool AddFrameHook(const std::vector<std::string> &AArgs) override;
  std::vector<const AVFormatContext *> OpenedInputs() const override;

private:
  friend class TCustomEncoder;

  void ConnectHooks();
  void BindDecoders();
  void UnbindDecoders();
  void DoConvert(bool AInThread, TThreadPriority APriority);
  void DoTerminate();
  void PausePoint();

  TTaskRun FRun;
  std::thread FThread;     // worker; joined by Stop(true) or the destructor
  std::thread FTermThread; // task-level notifier of a never-started task
  std::atomic<std::thread::id> FWorkerId{};
  TManualEvent FStopEvent{true}; // set once the conversion returned and the files are closed
  TManualEvent FTermEvent{true}; // set once a notifier has run the termination
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FConverting{false};
  std::atomic<bool> FBroken{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FTerminationRun{false}; // DoTerminate ran (exactly once)
  std::atomic<bool> FFatalException{false};
  std::string FFatalMessage; // written before termination, by the thread that ends the task

  // Pause gate: FPaused guarded by FPauseLock; FPauseFlag mirrors it for the
  // lock-free check of every loop turn.
  std::mutex FPauseLock;
  std::condition_variable FPauseCond;
  bool FPaused = false;
  std::atomic<bool> FPauseFlag{false};

  // Converting thread only: progress filter, post hook and hook pictures.
  int64_t FLastProgress = INT64_MIN; // µs, steady clock, after the last event returned
  int64_t FLastPreview = INT64_MIN;
  bool FPostHookOff = false; // a picture could not be converted: no more post hooks
  bool FPreviewerMade = false;
  std::unique_ptr<TPreviewer> FPreviewer;
  TFormatConverter FPreviewConverter;
  TFormatConverter FHookConverter;
  std::vector<uint8_t> FAudioBuf;
};

// The task list; owns its tasks.
class TFFmpegList {
public:
  int Add(std::unique_ptr<TFFmpeg> ATask); // returns the index
  void Clear();                            // frees every task
  void Delete(int AIndex);                 // frees that task
  void Exchange(int AIndex1, int AIndex2);
  TFFmpeg *Items(int AIndex) const;
  int IndexOf(const TFFmpeg *ATask) const; // -1 when absent
  int Count() const { return static_cast<int>(FItems.size()); }
  // Broadcasts in list order.
  void Pause();
  void Resume();
  void Stop(bool AWaitForStop, bool AUseThread);
  void SetPostHooks(int AHooks);

private:
  std::vector<std::unique_ptr<TFFmpeg>> FItems;
};

class TCustomEncoder : public TFFBaseComponent {
public:
  TCustomEncoder();
  // Stops every task (waiting), frees them and waits for the pending
  // notifications; no event handler is called any more once it has begun.
  // Destroy it on the main thread (it drains the synchronisation queue).
  ~TCustomEncoder() override;

  // --- libraries (main thread)
  bool LoadAVLib(const std::string &APath);
  bool AVLibLoaded() const;
  void UnloadAVLib();

  // --- tasks. The add operations raise FFmpegException "Cannot %s while
  // working." while Working; every other failure gives -1 / false with
  // LastErrMsg set (a failed add leaves no task or slot behind).
  int AddTask(const std::string &AFileName, const TInputOptions *AOptions = nullptr);
  int AddTask(const std::string &AFileName, const std::string &AExtOptions);
  // The input name is "stream:%d:%s" (object identity, APrivateData).
  int AddTask(const void *AStream, const std::string &APrivateData,
              const TInputOptions *AOptions = nullptr);
  bool AddInputFile(int ATaskIndex, const std::string &AFileName,
                    const TInputOptions *AOptions = nullptr);
  bool AddInputFile(int ATaskIndex, const std::string &AFileName, const std::string &AExtOptions);
  bool SetOutputFile(int ATaskIndex, const std::string &AFileName,
                     const TOutputOptions *AOptions = nullptr);
  bool SetOutputFile(int ATaskIndex, const std::string &AFileName, const std::string &AExtOptions);
  bool SetOutputStream(int ATaskIndex, const void *AStream, const TOutputOptions *AOptions,
                       const std::string &APrivateData);
  // Frees all tasks and returns to idle; raises "Cannot ClearTasks while
  // working." while a run has not ended.
  void ClearTasks();
  void Exchange(int ATaskIndex1, int ATaskIndex2);
  void RemoveTask(int ATaskIndex);
  int GetTaskIndex(const TFFmpeg *AFFmpeg) const;
  TFFmpeg *Tasks(int AIndex) const { return FTasks.Items(AIndex); }

  // --- run
  // AThreadCount <= 0: every task in the calling thread, one after another;
  // returns after the final event. N >= 1: up to N tasks at once on worker
  // threads; returns at once. An empty list starts nothing and raises no
  // event (the run is complete at once: Terminated).
  void Start(int AThreadCount);
  void Pause();
  void Resume();
  void Stop(bool AWaitForStop);

  // --- properties
  TFFDecoder &Decoder() { return *FDecoder; }
  const std::string &LastErrMsg() const { return FLastErrMsg; }
  int TasksCount() const { return FTasks.Count(); }
  int CustomMaxFiles() const { return FCustomMaxFiles; }
  void SetCustomMaxFiles(int AValue) { FCustomMaxFiles = AValue; }
  bool HaltOnInvalidOption = true;
  bool Preview() const { return FPreview; }
  void SetPreview(bool AValue);
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool AValue);
  int ProgressInterval() const { return FProgressInterval; }
  void SetProgressInterval(int AValue) { FProgressInterval = AValue < 100 ? 100 : AValue; }
  int ReadTimeout = 10000; // ms
  bool Terminated() const { return FTerminated; }
  TThreadPriority ThreadPriority = tpNormal;
  std::atomic<bool> TriggerEventInMainThread{true};
  void *UserData = nullptr;
  int Verbose = 1;
  // Codec threads of each new task; 0 = FFmpeg's automatic choice.
  int ThreadCount = 1;
  bool Working() const { return FWorking; }
  bool Paused() const { return FPaused; }

  // --- events (assign before Start)
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;
  TPreviewBitmapEvent OnPreviewBitmap;
  TEncoderVideoHookEvent OnVideoInputHook;
  TEncoderVideoHookEvent OnVideoOutputHook;
  TAudioHookEvent OnAudioHook;
  TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
  TPreviewerFactory PreviewerFactory;

  // Termination events handed to notifier threads and not yet delivered.
  int PendingNotifications() const;

private:
  friend class TFFmpeg;

  void BusyCheck(const char *AWhat) const;
  TFFmpeg *CheckedTask(int ATaskIndex);
  void ConnectTask(TFFmpeg &ATask);
  void StartNextTask();
  // Runs AProc where events belong: the main thread when
  // TriggerEventInMainThread (blocking the caller until it ran), else here.
  void CallEvent(const TFFmpeg *ATask, const std::function<void()> &AProc);
  void DeliverTerminate(const TTerminateInfo &AInfo);
  void NotifyTerminate(const TTerminateInfo &AInfo, bool AFinal);
  void RaiseFinal();

  // Task handlers (threads as documented on TFFmpeg's events).
  void TaskProgress(TFFmpeg *ATask, const TProgressInfo &AInfo);
  void TaskTerminate(TFFmpeg *ATask);
  void TaskPostHook(TFFmpeg *ATask, const AVFrame *AFrame, int AFrameNumber, int64_t APts);
  bool TaskVideoHook(TFFmpeg *ATask, bool AInput, AVFrame *AFrame, int AFrameNumber, int64_t APts,
                     bool &AStopHook);
  void TaskAudioHook(TFFmpeg *ATask, const AVFrame *AFrame, int64_t APts);

  std::unique_ptr<TFFDecoder> FDecoder;
  std::string FLastErrMsg;
  TFFmpegList FTasks;
  int FCustomMaxFiles = 20;
  bool FPreview = false;
  bool FPreviewBitmap = false;
  int FProgressInterval = 500;

  // Run state. FCompleteTasks, FCurrentTask, FPendingTasks and the start of
  // tasks are guarded by FTerminateLock (recursive: a task that cannot start
  // terminates inside StartNextTask).
  int FCompleteTasks = 0;
  int FCurrentTask = 0;
  int FPendingTasks = 0;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FThreadMode{false};
  std::atomic<bool> FWorking{false};
  std::atomic<bool> FPaused{false};
  // Set by the destructor: the tasks it stops raise no more events.
  std::atomic<bool> FDestroying{false};

  TProgressInfo FProgressInfo;   // guarded by FProgressLock
  TTerminateInfo FTerminateInfo; // guarded by FTerminateLock
  TPreviewInfo FPreviewInfo;     // guarded by FPreviewLock
  THookInfo FVideoHookInfo;      // guarded by FVideoHookLock
  std::mutex FAudioHookLock;
  std::mutex FPreviewLock;
  std::mutex FProgressLock;
  std::recursive_mutex FTerminateLock;
  std::mutex FVideoHookLock;
  // Guards the Preview/PreviewBitmap bits against the tasks' post hooks.
  std::mutex FPostHookLock;

  // Termination notifications in flight (notifier threads); guarded by
  // FNotifyLock. The final event waits for it to fall to zero.
  mutable std::mutex FNotifyLock;
  std::condition_variable FNotifyCond;
  int FPendingNotifications = 0;
};

// The component the application places on its form. All behaviour is in
// TCustomEncoder.
class TFFEncoder : public TCustomEncoder {
public:
  TFFEncoder() = default;
};
