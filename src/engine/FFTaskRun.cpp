#include "engine/FFTaskRun.h"

#include "engine/FFTaskMap.h"

#include <atomic>
#include <mutex>

struct TTaskRun::TImpl {
  explicit TImpl(TTaskRun &AOwner) : Owner(AOwner) {}

  TTaskRun &Owner;
  // Guards Tr (the pointer, not the transcoder) against Stop() and Close()
  // from other threads while the adding thread replaces it.
  mutable std::mutex Lock;
  std::unique_ptr<TTranscoder> Tr;
  TTranscodeSettings Settings; // what Tr was built with
  // Descriptions of every file opened so far, to open them again.
  std::vector<TTranscodeInput> Inputs;
  std::vector<TTranscodeOutput> Outputs;
  std::vector<AVFormatContext *> InputCtx; // parallel to Inputs
  AVFormatContext *Captured = nullptr;     // the container of the input being opened
  TInheritedAudio Inherited;
  TTranscodeOutput Pending;
  bool HavePending = false;

  TTranscodeSettings CurrentSettings(const TCustomFFmpeg &ATask) const {
    TTranscodeSettings s = MapTranscodeSettings(ATask);
    s.ReportInterval = Owner.ReportInterval;
    s.ReadTimeout = Owner.ReadTimeout;
    s.FrameHooks = Owner.FrameHooks;
    return s;
  }

  TTranscodeEvents MakeEvents() {
    const TTaskRunHooks &h = Owner.Hooks;
    TTranscodeEvents ev;
    ev.StopRequested = h.StopRequested;
    ev.PausePoint = h.PausePoint;
    if (h.OnProgress)
      ev.OnProgress = [cb = h.OnProgress](const TTranscodeProgress &p) {
        TProgressInfo info;
        info.TaskIndex = p.TaskIndex;
        info.FileIndex = p.FileIndex;
        info.FrameNumber = p.FrameNumber;
        info.FPS = p.FPS;
        info.Quality = p.Quality;
        info.BitRate = p.BitRate;
        info.CurrentSize = p.CurrentSize;
        info.CurrentDuration = p.CurrentDuration;
        info.TotalDuration = p.TotalDuration;
        cb(info);
      };
    ev.OnBeforeFindStreamInfo = [this, cb = h.OnBeforeFindStreamInfo](AVFormatContext *ctx) {
      Captured = ctx;
      if (cb)
        cb(ctx);
    };
    ev.OnPostHook = h.OnPostHook;
    ev.OnVideoInputHook = h.OnVideoInputHook;
    ev.OnVideoOutputHook = h.OnVideoOutputHook;
    ev.OnAudioHook = h.OnAudioHook;
    return ev;
  }

  // A transcoder with every input of Inputs and the outputs AOutputs opened;
  // null with AErr on the first failure (it then leaves nothing behind).
  std::unique_ptr<TTranscoder> Build(const TTranscodeSettings &ASettings,
                                     const std::vector<TTranscodeOutput> &AOutputs,
                                     std::vector<AVFormatContext *> &ACtx, std::string &AErr) {
    auto tr = std::make_unique<TTranscoder>(ASettings, MakeEvents());
    ACtx.clear();
    for (const TTranscodeInput &in : Inputs) {
      Captured = nullptr;
      if (!tr->AddInput(in)) {
        AErr = tr->LastErrMsg();
        return nullptr;
      }
      ACtx.push_back(Captured);
    }
    for (const TTranscodeOutput &out : AOutputs)
      if (tr->AddOutput(out) < 0) {
        AErr = tr->LastErrMsg();
        return nullptr;
      }
    return tr;
  }

  void Replace(std::unique_ptr<TTranscoder> ATr) {
    std::unique_ptr<TTranscoder> old;
    {
      std::lock_guard<std::mutex> lock(Lock);
      old = std::move(Tr);
      Tr = std::move(ATr);
    }
  }
};

TTaskRun::TTaskRun() : FImpl(std::make_unique<TImpl>(*this)) {}

TTaskRun::~TTaskRun() {
  Close();
}

bool TTaskRun::AddInput(TCustomFFmpeg &ATask, const std::string &AFileName, std::string &AErr) {
  TImpl &d = *FImpl;
  TTranscodeInput in = MapTranscodeInput(ATask);
  in.FileName = AFileName;
  if (!d.Tr) {
    d.Settings = d.CurrentSettings(ATask);
    d.Replace(std::make_unique<TTranscoder>(d.Settings, d.MakeEvents()));
  }
  d.Captured = nullptr;
  if (!d.Tr->AddInput(in)) {
    AErr = d.Tr->LastErrMsg();
    return false;
  }
  d.Inputs.push_back(in);
  d.InputCtx.push_back(d.Captured);
  ConsumeInputSettings(ATask, d.Captured, d.Inherited);
  return true;
}

void TTaskRun::PrepareOutput(TCustomFFmpeg &ATask, const std::string &AFileName) {
  TImpl &d = *FImpl;
  d.Pending = MapTranscodeOutput(ATask, AFileName, d.Inherited);
  d.HavePending = true;
}

void TTaskRun::PrepareNewStream(TCustomFFmpeg &ATask, AVMediaType AType) {
  TImpl &d = *FImpl;
  if (!d.HavePending)
    return;
  d.Pending.NewStreams.push_back(
      MapNewStream(ATask, AType, d.Pending.FileName, d.Pending.ForceFormat, d.Inherited));
}

bool TTaskRun::OpenOutput(TCustomFFmpeg &ATask, bool AJoin, std::string &AErr) {
  TImpl &d = *FImpl;
  if (!d.HavePending) {
    AErr = "No output prepared";
    return false;
  }
  d.HavePending = false;
  TTranscodeSettings settings = d.CurrentSettings(ATask);
  settings.Join = AJoin || d.Settings.Join;
  std::vector<TTranscodeOutput> outputs = d.Outputs;
  outputs.push_back(d.Pending);

  // The first output of a task goes to the transcoder that already holds
  // the inputs: it takes the new settings and hooks, and the inputs are not
  // opened a second time. Only the timestamp offset of "copyts" is fixed when an
  // input is opened, so a change of it takes the full rebuild below.
  if (d.Tr && d.Outputs.empty() && settings.CopyTs == d.Settings.CopyTs) {
    if (d.Tr->SetSettings(settings) && d.Tr->SetEvents(d.MakeEvents()) &&
        d.Tr->AddOutput(d.Pending) >= 0) {
      d.Settings = settings;
      d.Outputs = std::move(outputs);
      ConsumeOutputSettings(ATask);
      return true;
    }
    // A failed output may leave the transcoder half changed: back to a
    // fresh one with the earlier settings and files.
    AErr = d.Tr->LastErrMsg();
    d.Replace(nullptr);
    std::vector<AVFormatContext *> ctx;
    std::string ignored;
    std::unique_ptr<TTranscoder> tr = d.Build(d.Settings, d.Outputs, ctx, ignored);
    d.InputCtx = tr ? ctx : std::vector<AVFormatContext *>(d.Inputs.size(), nullptr);
    d.Replace(std::move(tr));
    return false;
  }

  // The files of the current transcoder are closed first: the new one opens
  // the same inputs and re-creates the same earlier outputs (closing deletes
  // an output that holds no data yet).
  d.Replace(nullptr);
  std::vector<AVFormatContext *> ctx;
  std::unique_ptr<TTranscoder> tr = d.Build(settings, outputs, ctx, AErr);
  if (!tr) {
    std::string ignored;
    tr = d.Build(d.Settings, d.Outputs, ctx, ignored);
    d.InputCtx = tr ? ctx : std::vector<AVFormatContext *>(d.Inputs.size(), nullptr);
    d.Replace(std::move(tr));
    return false;
  }
  d.Settings = settings;
  d.Outputs = std::move(outputs);
  d.InputCtx = ctx;
  d.Replace(std::move(tr));
  ConsumeOutputSettings(ATask);
  return true;
}

int TTaskRun::InputCount() const {
  return static_cast<int>(FImpl->Inputs.size());
}

int TTaskRun::OutputCount() const {
  return static_cast<int>(FImpl->Outputs.size());
}

std::vector<AVFormatContext *> TTaskRun::InputContexts() const {
  return FImpl->InputCtx;
}

int64_t TTaskRun::TotalOutputDuration() const {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  return FImpl->Tr ? FImpl->Tr->TotalOutputDuration() : -1;
}

TTaskRunResult TTaskRun::Run() {
  TTranscoder *tr;
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    tr = FImpl->Tr.get();
  }
  TTaskRunResult result;
  if (!tr || FImpl->Inputs.empty()) {
    result.ErrorMsg = "At least one input file must be specified";
    return result;
  }
  if (FImpl->Outputs.empty()) {
    result.ErrorMsg = "At least one output file must be specified";
    return result;
  }
  // The transcoder is replaced only by the add operations, never while a
  // run is possible, so it is used here without the lock.
  TTranscodeResult r = tr->Run();
  result.Success = r.Success;
  result.Finished = r.Finished;
  result.ErrorMsg = r.ErrorMsg;
  return result;
}

void TTaskRun::Stop() {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  if (FImpl->Tr)
    FImpl->Tr->Stop();
}

void TTaskRun::Close() {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  if (FImpl->Tr)
    FImpl->Tr->Close();
  FImpl->InputCtx.assign(FImpl->Inputs.size(), nullptr);
}
