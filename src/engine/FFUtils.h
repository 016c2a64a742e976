#pragma once
// Shared FFmpeg helpers of the engine: error texts, the interrupt registry and
// callback, file-name conversion, and RAII owners for FFmpeg objects.
// Everything calls FFmpeg through the ff:: tables (FFApi.h), so the owning
// library must be loaded while an owner holds an object.

#include "engine/FFApi.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------
// Error text

// AName + ": " + the text of a negative FFmpeg/system result code, e.g.
// ("a.mp4", -2) -> "a.mp4: No such file or directory"; a code outside the
// table gets FFmpeg's own text when avutil is loaded and knows it
// (AVERROR_INVALIDDATA: "Invalid data found when processing input"), else
// "Error number <code> occurred". System codes are -errno.
std::string GetErrorText(const std::string &AName, int ACode);
// Only the text part (no name): "No such file or directory".
std::string ErrorCodeText(int ACode);

// ---------------------------------------------------------------------------
// Interrupt registry

// Answers true to make the blocking FFmpeg call of the registering thread give
// up. Runs on that thread, outside the registry's lock (it may log, and the
// logger may wait for the main thread, which may itself be opening a file and
// asking the registry); keep it short. Only the registering thread removes
// its own entry, so the sender stays valid while the callback runs.
using TInterruptFunc = bool (*)(void *ASender, void *AData);

class TInterruptCB {
public:
  // Adds an entry; an entry with the same thread, sender and callback already
  // present makes this do nothing. Any thread.
  void Add(std::thread::id AThreadID, void *ASender, TInterruptFunc ACallback, void *AData);
  // Removes the first entry with this thread, sender and callback (AData is
  // not compared). Any thread.
  void Remove(std::thread::id AThreadID, void *ASender, TInterruptFunc ACallback,
              void *AData = nullptr);
  void Clear();
  // The first entry (insertion order) of AThreadID decides by calling its
  // callback; no entry = false. Cheap when the registry is empty.
  bool Interrupt(std::thread::id AThreadID);
  size_t Count() const;

private:
  struct TEntry {
    std::thread::id ThreadID;
    void *Sender;
    TInterruptFunc Callback;
    void *Data;
  };
  mutable std::mutex FLock; // guards FEntries (never held while a callback runs)
  std::vector<TEntry> FEntries;
  std::atomic<size_t> FCount{0}; // mirror of FEntries.size() for the lock-free fast path
};

// The process-wide registry.
TInterruptCB &InterruptCB();

// The engine's interrupt callback for FFmpeg: asks InterruptCB() for the
// calling thread. Pass it to avio_open2(..., &cb, ...).
AVIOInterruptCB FFInterruptCallback();

// avformat_alloc_context() with interrupt_callback installed; null on no
// memory. Every format context the engine opens must carry the callback.
AVFormatContext *FFAllocFormatContext();

// avformat_open_input on a fresh context carrying the interrupt callback. On
// success *APCtx owns the opened input; on failure it is null and the result
// is the negative FFmpeg code.
int FFOpenInput(AVFormatContext **APCtx, const char *AUrl, const AVInputFormat *AFormat,
                AVDictionary **AOptions);

// avformat_alloc_output_context2 plus the interrupt callback; same results.
int FFAllocOutputContext(AVFormatContext **APCtx, const AVOutputFormat *AFormat,
                         const char *AFormatName, const char *AFileName);

// ---------------------------------------------------------------------------
// File names

// Turns a file name into the name given to FFmpeg. The code page is UTF-8, so
// every name round-trips and is returned unchanged.
std::string FileNameToFF(const std::string &AFileName);
// Turns a name given to FFmpeg back into a file name for messages: a name
// that begins with "unicode:utf8:" and is longer than that prefix loses it;
// other names are returned unchanged.
std::string FileNameFromFF(const std::string &AName);

// ---------------------------------------------------------------------------
// RAII owners (std::unique_ptr with deleters calling through ff::). A null
// pointer is fine for every deleter.

struct TFFInputContextDeleter { // opened with avformat_open_input
  void operator()(AVFormatContext *p) const;
};
struct TFFOutputContextDeleter { // made by avformat_alloc_output_context2;
  // closes pb with avio_closep when the muxer writes a file (no AVFMT_NOFILE)
  // and the context does not use custom I/O (AVFMT_FLAG_CUSTOM_IO), then frees.
  void operator()(AVFormatContext *p) const;
};
struct TFFCodecContextDeleter {
  void operator()(AVCodecContext *p) const;
};
struct TFFFrameDeleter {
  void operator()(AVFrame *p) const;
};
struct TFFPacketDeleter {
  void operator()(AVPacket *p) const;
};
struct TFFFilterGraphDeleter {
  void operator()(AVFilterGraph *p) const;
};
struct TFFSwsContextDeleter {
  void operator()(SwsContext *p) const;
};
struct TFFSwrContextDeleter {
  void operator()(SwrContext *p) const;
};
struct TFFAudioFifoDeleter {
  void operator()(AVAudioFifo *p) const;
};
struct TFFBSFContextDeleter {
  void operator()(AVBSFContext *p) const;
};
struct TFFCodecParametersDeleter {
  void operator()(AVCodecParameters *p) const;
};
struct TFFDictionaryDeleter {
  void operator()(AVDictionary *p) const;
};

using TFFInputContextPtr = std::unique_ptr<AVFormatContext, TFFInputContextDeleter>;
using TFFOutputContextPtr = std::unique_ptr<AVFormatContext, TFFOutputContextDeleter>;
using TFFCodecContextPtr = std::unique_ptr<AVCodecContext, TFFCodecContextDeleter>;
using TFFFramePtr = std::unique_ptr<AVFrame, TFFFrameDeleter>;
using TFFPacketPtr = std::unique_ptr<AVPacket, TFFPacketDeleter>;
using TFFFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFFFilterGraphDeleter>;
using TFFSwsContextPtr = std::unique_ptr<SwsContext, TFFSwsContextDeleter>;
using TFFSwrContextPtr = std::unique_ptr<SwrContext, TFFSwrContextDeleter>;
using TFFAudioFifoPtr = std::unique_ptr<AVAudioFifo, TFFAudioFifoDeleter>;
using TFFBSFContextPtr = std::unique_ptr<AVBSFContext, TFFBSFContextDeleter>;
using TFFCodecParametersPtr = std::unique_ptr<AVCodecParameters, TFFCodecParametersDeleter>;

// Owner of an AVDictionary, which FFmpeg APIs take as AVDictionary **:
//   TFFDictionary opts; ff::avutil.av_dict_set(opts.Addr(), "k", "v", 0);
//   ff::avcodec.avcodec_open2(ctx, codec, opts.Addr());
class TFFDictionary {
public:
  TFFDictionary() = default;
  explicit TFFDictionary(AVDictionary *ADict) : FDict(ADict) {}
  ~TFFDictionary() { Reset(); }
  TFFDictionary(TFFDictionary &&AOther) noexcept : FDict(AOther.Release()) {}
  TFFDictionary &operator=(TFFDictionary &&AOther) noexcept;
  TFFDictionary(const TFFDictionary &) = delete;
  TFFDictionary &operator=(const TFFDictionary &) = delete;

  AVDictionary *Get() const { return FDict; }
  AVDictionary **Addr() { return &FDict; } // FFmpeg may replace or free it
  AVDictionary *Release() {
    AVDictionary *d = FDict;
    FDict = nullptr;
    return d;
  }
  void Reset(AVDictionary *ADict = nullptr);

private:
  AVDictionary *FDict = nullptr;
};

// Allocating helpers; null pointer on no memory.
TFFFramePtr FFAllocFrame();
TFFPacketPtr FFAllocPacket();
