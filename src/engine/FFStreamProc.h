#pragma once
// Stream processing of a run: decoding with the input clock, volume, hooks,
// the per-stream video filter graph, video/audio/subtitle output with their
// sync methods, stream copy, bit-stream filters, two-pass logs, statistics,
// and the frame-processing hook libraries.
//
// Everything here runs on the thread that runs the task. Errors that end the
// task are thrown as TTranscodeError.

#include "engine/FFOutputFile.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The picture a frame-processing hook library gets; laid out like the old
// AVPicture (four plane pointers, four line sizes).
struct TFrameHookPicture {
  uint8_t *data[4];
  int linesize[4];
};

// Exports of a frame-processing hook library ("vhook"):
//   int  Configure(void **ctx, int argc, char *argv[]);   0 = success
//   void Process(void *ctx, TFrameHookPicture *pict, int pix_fmt, int width,
//                int height, int64_t pts_us);
//   void Release(void *ctx);                               optional
using TFrameHookConfigure = int (*)(void **, int, char *[]);
using TFrameHookProcess = void (*)(void *, TFrameHookPicture *, int, int, int, int64_t);
using TFrameHookRelease = void (*)(void *);

struct TFrameHookEntry {
  TFrameHookConfigure Configure = nullptr;
  TFrameHookProcess Process = nullptr;
  TFrameHookRelease Release = nullptr;
  void *ctx = nullptr;
};

// Loads (once per process, remembered by path) a hook library and configures
// it with the value's arguments ("lib arg..." or "lib|arg|..."). False on
// failure (logged through FFmpeg's log at error level).
bool AddFrameHook(const std::string &AValue, std::vector<TFrameHookEntry> &AChain);

// Whole state of one task: files, run tables, accounting, hooks.
struct TTranscodeState {
  TTranscodeSettings Settings;
  TTranscodeEvents Events;
  std::string LastErrMsg;
  TIOWatch Watch;
  TInheritedSettings Inherited;
  int64_t TotalOutputDuration = -1; // µs
  int64_t DurationSum = 0;          // sum of known input durations (join)
  bool AnyDurationKnown = false;
  bool JoinRequested = false;
  bool JoinMode = false;

  std::vector<std::unique_ptr<TFFInputFile>> Inputs;
  std::vector<std::unique_ptr<TFFOutputFile>> Outputs;

  // Run tables.
  std::vector<std::unique_ptr<TAVInputStream>> ist_table;
  std::vector<TAVOutputStream *> ost_table;
  // For each input stream, the output streams it currently feeds.
  std::vector<std::vector<TAVOutputStream *>> ist_outputs;
  // Join mode: sources[slot][ost] = input stream fed into output stream ost
  // while input `slot` is read (-1 = none).
  std::vector<std::vector<int>> join_sources;
  int join_slot = 0;

  // Accounting.
  int64_t video_size = 0, audio_size = 0, extra_size = 0; // bytes
  int64_t nb_frames_dup = 0, nb_frames_drop = 0;
  bool dup_drop_changed = false; // log the next report too
  int64_t timer_start = 0;       // µs, av_gettime_relative
  int64_t last_report = 0;

  std::atomic<bool> Broken{false};   // stop requested
  std::atomic<bool> InFinish{false}; // the loop ended: the stop check no longer interrupts
  bool Ran = false;
  bool Finished = false;
  bool Closed = false;

  // Hooks.
  std::vector<TFrameHookEntry> FrameHooks;
  bool InputHookOn = false, OutputHookOn = false;
  std::vector<uint8_t> SubtitleBuf; // 1 MiB, per task
  FILE *VStatsFile = nullptr;

  bool StopRequested() const;
};

// Processes one packet of an input stream (null = drain its decoder at the
// end of the input; encoders are drained separately by FlushEncoder). The
// packet's timestamps are already offset (input stream time base). Returns 0,
// or a negative FFmpeg code when the packet could not be decoded (the caller
// decides whether that ends the task). Throws TTranscodeError for failures
// that end the task.
int ProcessInputPacket(TTranscodeState &AS, TAVInputStream &AIst, const AVPacket *APkt);

// Runs the frame-processing hooks' Release and forgets the chain.
void ReleaseFrameHooks(std::vector<TFrameHookEntry> &AChain);

// Builds (or rebuilds for a new input size/format) the video graph of an
// encoding output stream: "src" buffer -> [pp=fd] -> [scale] -> filters ->
// "ffsink" buffersink restricted to the encoder's pixel format. With
// ATakeSize the sink's size becomes the encoder's size; otherwise a final
// scale keeps the encoder's size. Throws "Error opening filters: ...".
void ConfigureVideoFilters(TTranscodeState &AS, TAVOutputStream &AOst, int AInWidth, int AInHeight,
                           AVPixelFormat AInFmt, AVRational AInSar, AVRational AFrameRate,
                           bool ATakeSize);

// Initialises the stream's bit-stream filters from its codec parameters
// (before the header is written); updates st->codecpar from the last one.
void InitBitstreamFilters(TAVOutputStream &AOst, AVRational ATimeBase);

// Drains an encoder after its last input (FIFO first for audio).
void FlushEncoder(TTranscodeState &AS, TAVOutputStream &AOst);

// Sends a packet (time base ASrcTb) through the stream's bit-stream filters
// and writes it interleaved. The packet is consumed.
void WritePacket(TTranscodeState &AS, TAVOutputStream &AOst, AVPacket *APkt, AVRational ASrcTb);
