#pragma once
// Input side of a task: opening and analysing an input file, the input stream
// records of the run, and the time-out watch around blocking FFmpeg calls.

#include "engine/FFTranscode.h"
#include "engine/FFUtils.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A failure of the run (preparation or loop); its text is the task's error.
class TTranscodeError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// printf-style text; used for the run's messages.
std::string StrFmt(const char *AFormat, ...) __attribute__((format(printf, 1, 2)));

// Time-out watch of one task for blocking opens (connect, read, write).
// LastReadTime is set to "now" (µs, av_gettime_relative) before a blocking
// call and to INT64_MAX after it; 0 means "cancelled by a stop request".
struct TIOWatch {
  std::atomic<int64_t> LastReadTime{INT64_MAX};
  int ReadTimeoutMs = 10000; // <= 0: never times out
  // TInterruptFunc for InterruptCB(): ASender is the TIOWatch.
  static bool TimeoutCheck(void *ASender, void *AData);
};

// RAII: registers the time-out check for the calling thread and arms the
// watch for the duration of one blocking call.
class TBlockingCall {
public:
  explicit TBlockingCall(TIOWatch &AWatch);
  ~TBlockingCall();
  TBlockingCall(const TBlockingCall &) = delete;
  TBlockingCall &operator=(const TBlockingCall &) = delete;

private:
  TIOWatch &FWatch;
  bool FCancelled;
};

// What an opened input tells the output about itself, so that an output
// without explicit values takes the input's (the settings each input open
// leaves behind). Kinds the input does not have keep the earlier values.
struct TInheritedSettings {
  int Width = 0, Height = 0;
  double AspectRatio = 0; // display aspect
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  AVRational FrameRate{25, 0}; // den 0 = unknown
  int Channels = 2;
  int SampleRate = 44100;
  AVSampleFormat SampleFmt = AV_SAMPLE_FMT_NONE;
};

// One input stream of the run (TAVInputStream). Owned by the run; times in
// µs unless noted.
struct TAVInputStream {
  int file_index = 0;
  int index = 0;          // stream index in its file
  int table_index = 0;    // position in the run's input stream table
  AVStream *st = nullptr; // owned by the input's format context
  int discard = 1;        // 1 until an output stream uses it
  bool decoding_needed = false;
  const AVCodec *dec = nullptr;
  TFFCodecContextPtr dec_ctx; // open decoder while decoding_needed
  int64_t sample_index = 0;
  int64_t frame_number = 0; // decoded pictures
  int64_t start = 0;        // wall clock at the first packet (rate emulation)
  int64_t next_pts = AV_NOPTS_VALUE;
  int64_t pts = 0;
  bool is_start = true; // until the first audio correction (per output stream)
  bool showed_multi_packet_warning = false;
  bool is_past_recording_time = false;
  bool decoder_flushed = false;
  int64_t decode_errors = 0;  // packets the decoder rejected
  int64_t decoded_frames = 0; // frames the decoder produced
  TFFFramePtr frame;          // reused for every decoded frame
};

// One opened input file (TAVInputFile plus the opened container).
class TFFInputFile {
public:
  TFFInputFile() = default;
  ~TFFInputFile() = default;
  TFFInputFile(const TFFInputFile &) = delete;
  TFFInputFile &operator=(const TFFInputFile &) = delete;

  // Opens and analyses AInput. AInherited receives the input's video and
  // audio properties. On failure returns null and sets AErr.
  struct TOpenContext {
    const TTranscodeSettings *Settings = nullptr;
    const TTranscodeEvents *Events = nullptr;
    TIOWatch *Watch = nullptr;
    TInheritedSettings *Inherited = nullptr;
    int64_t *TotalOutputDuration = nullptr; // raised to the container duration
  };
  static std::unique_ptr<TFFInputFile> Open(const TTranscodeInput &AInput, TOpenContext &ACtx,
                                            std::string &AErr);

  AVFormatContext *Ctx() const { return FCtx.get(); }
  const TTranscodeInput &Desc() const { return FDesc; }
  // Container duration in µs; -1 when unknown.
  int64_t Duration() const;
  // Duration after the seek position (what the input contributes); -1 = unknown.
  int64_t RemainingDuration() const;
  // Stream index av_find_best_stream chose for a media type; -1 = none.
  int BestStream(AVMediaType AType) const;
  // Decoder chosen for a stream (by name or codec id); null = none.
  const AVCodec *Decoder(int AStream) const;
  bool StreamDisabled(int AStream) const;

  // Run state (TAVInputFile).
  int64_t ts_offset = 0; // µs, added to every packet's timestamps
  bool eof_reached = false;
  bool no_packet = false; // the last read said "try again"
  int ist_index = 0;      // first stream in the run's input stream table
  int nb_streams = 0;

private:
  TFFInputContextPtr FCtx;
  TTranscodeInput FDesc;
  std::vector<const AVCodec *> FDecoders;
  std::vector<bool> FDisabled;
  int FBest[AVMEDIA_TYPE_NB] = {-1, -1, -1, -1, -1};
};

// Finds a codec by name for a media type, checking the type; AIsEncoder picks
// encoders or decoders. On failure null with AErr = "Unknown %s '%s'" /
// "Invalid %s type '%s'" / the experimental-codec text.
const AVCodec *FindCodecByName(const std::string &AName, AVMediaType AType, bool AIsEncoder,
                               int AStrict, std::string &AErr);

// Value of a "strict" entry in an option list; 0 (normal) when absent.
int StrictLevel(const TOptionList &AOptions);

// The media type's short name ("video", "audio", "subtitle", "data", ...).
const char *MediaTypeName(AVMediaType AType);
