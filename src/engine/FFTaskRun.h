#pragma once
// TTaskRun: the part of a conversion task that really converts. It turns the
// task's option settings (TCustomFFmpeg, after each record has been applied)
// into the pipeline's file and task descriptions, opens the files with a
// TTranscoder when they are added, and runs the transcoder on the task's
// thread.
//
// An output record changes the task-wide transcoder settings (duration
// limit, start time, sync methods, ...). The first output is added to the
// transcoder that already holds the inputs after handing it the task's
// current settings and hooks (TTranscoder::SetSettings, SetEvents), so the
// inputs are opened once.
// A further output (or a change of "copyts", which the inputs take when they
// are opened) builds a fresh TTranscoder from the current settings and opens
// every input added so far again, then the earlier outputs and the new one;
// so does a failed first output, to get back to a clean state. The input
// containers can therefore change at an OpenOutput; InputContexts() gives the
// current ones.
//
// Threads: AddInput, PrepareOutput, PrepareNewStream and OpenOutput run on
// the thread that adds files; Run and Close on the task's thread afterwards;
// Stop on any thread at any time. Hooks are read when a transcoder is built
// or handed new settings and called on the thread that runs it
// (OnBeforeFindStreamInfo: the adding thread). FFmpeg (the encoder set) must stay loaded while a
// TTaskRun exists.

#include "engine/FFApi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TCustomFFmpeg;

// Progress of a running task (48 bytes; the encoder passes its address).
struct TProgressInfo {
  int32_t TaskIndex = 0; // index of the task in the encoder's list at the time of the event
  int32_t FileIndex = 0; // input whose packet was processed last; -1 in the task's final report
  int32_t FrameNumber =
      -1;           // pictures passed to the encoder (packets when copying); -1 without video
  int32_t FPS = -1; // pictures per second since the start; 0 in the first second; -1 without video
  float Quality = -1.0f;   // quantizer of the last picture; -1 for stream copy or without video
  float BitRate = 0;       // kbit/s so far
  int64_t CurrentSize = 0; // bytes written to the first output
  int64_t CurrentDuration =
      0; // µs written (at least 10000; 10^16 before any stream has a position)
  int64_t TotalDuration = -1; // µs expected; -1 when unknown: never divide by it then
};
static_assert(sizeof(TProgressInfo) == 48, "TProgressInfo is a 48-byte record");

// Callbacks of a task's run. All optional.
struct TTaskRunHooks {
  // Polled every loop turn and by blocking reads; cheap and thread-safe.
  std::function<bool()> StopRequested;
  // Every loop turn; blocks while the task is paused.
  std::function<void()> PausePoint;
  // At the pipeline's report interval and once at the end (TaskIndex left 0).
  std::function<void(const TProgressInfo &)> OnProgress;
  // An input has been opened, its streams are not analysed yet.
  std::function<void(AVFormatContext *)> OnBeforeFindStreamInfo;
  // Each picture about to be encoded, read-only.
  std::function<void(const AVFrame *, int AFrameNumber, int64_t APtsUs)> OnPostHook;
  // Writable pictures: decoded (input hook) / about to be encoded (output
  // hook). Return true when the picture was changed; set AStopHook to stop.
  std::function<bool(AVFrame *, int AFrameNumber, int64_t APtsUs, bool &AStopHook)>
      OnVideoInputHook, OnVideoOutputHook;
  // Each block of decoded audio.
  std::function<void(const AVFrame *, int64_t APtsUs)> OnAudioHook;
};

struct TTaskRunResult {
  bool Success = false;  // no error (a stopped run is a success that did not finish)
  bool Finished = false; // reached the end without a stop request
  std::string ErrorMsg;
};

class TTaskRun {
public:
  TTaskRun();
  ~TTaskRun(); // closes the files
  TTaskRun(const TTaskRun &) = delete;
  TTaskRun &operator=(const TTaskRun &) = delete;

  // Set before files are added; the hooks a transcoder gets when it is built.
  TTaskRunHooks Hooks;
  // Milliseconds after which a blocked open/read gives up; <= 0 = never.
  int ReadTimeout = 10000;
  // Microseconds between the pipeline's progress reports (the encoder
  // filters them further by the task's own interval).
  int64_t ReportInterval = 100000;
  // "vhook" values (library and arguments) for the next transcoder built.
  std::vector<std::string> FrameHooks;

  // Opens the next input AFileName from the task's settings (after the input
  // record was applied) and lets the settings inherit from it (codec names,
  // start time and forced format consumed; the audio rate and channel count
  // taken over). False with AErr set. The opened container is the last of
  // InputContexts().
  bool AddInput(TCustomFFmpeg &ATask, const std::string &AFileName, std::string &AErr);

  // Takes the description of the next output from the task's settings (after
  // the output record was applied).
  void PrepareOutput(TCustomFFmpeg &ATask, const std::string &AFileName);
  // Adds a further stream of AType ("newvideo", ...) to the prepared output
  // from the task's current settings.
  void PrepareNewStream(TCustomFFmpeg &ATask, AVMediaType AType);
  // Creates the prepared output (rebuilding the transcoder with the task's
  // current settings, see above); AJoin asks to join all inputs into it.
  // False with AErr set; the task keeps its earlier files then.
  bool OpenOutput(TCustomFFmpeg &ATask, bool AJoin, std::string &AErr);

  int InputCount() const;
  int OutputCount() const;
  // The inputs' containers as currently opened (owned here; null entries
  // while closed). They change at each OpenOutput and at Close.
  std::vector<AVFormatContext *> InputContexts() const;
  // µs; -1 when unknown.
  int64_t TotalOutputDuration() const;

  // The conversion (at most once). Runs on the calling thread until the end,
  // a stop or an error.
  TTaskRunResult Run();
  // Requests a stop: the loop ends at its next turn, a blocked read gives up,
  // the output is finished normally. Any thread.
  void Stop();
  // Closes outputs and inputs (an output without data is deleted).
  void Close();

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
