#pragma once
// The conversion run of one task: N input files -> output file(s).
//
// A task is described by plain records (TTranscodeInput per input file,
// TTranscodeOutput per output file, TTranscodeSettings for the whole task).
// TTranscoder opens the inputs (AddInput), creates the output with its streams
// (AddOutput), then Run() builds the stream tables, opens decoders and
// encoders, writes the headers, runs the packet loop, flushes, writes the
// trailers and reports progress. Close() closes the files; an output that holds
// no data is deleted then. RunTranscode() does all of this in one call.
//
// Units: every time in these records is in microseconds (AV_TIME_BASE units)
// unless its name says otherwise. AV_NOPTS_VALUE means "unset".
//
// Threads: a TTranscoder is used by one thread at a time (the one that adds
// files, then the one that runs it), except Stop(), which any thread may call
// at any moment. All events run on the thread that calls Run() (or AddInput()
// for OnBeforeFindStreamInfo). FFmpeg must be loaded (FFLoader(), the encoder
// set) for the whole life of the object.

#include "engine/FFApi.h"
#include "engine/FFOptionsSettings.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Ordered name -> value list; applied in order (e.g. codec private options,
// preset lines, muxer options).
using TOptionList = std::vector<std::pair<std::string, std::string>>;

// One input file (the "TInputOptions" side plus the settings read when the
// input is opened).
struct TTranscodeInput {
  std::string FileName;
  std::string ForceFormat;            // demuxer name; "" = probe
  int64_t TimeStart = AV_NOPTS_VALUE; // seek position, µs; the input is read from there
  int ProgramID = 0;                  // program to select; <= 0 = none
  int64_t TsOffset = 0;               // "itsoffset": added to every timestamp, µs
  std::map<int, double> TsScale;      // "itsscale": stream index -> timestamp factor
  std::string VideoCodec;             // decoder names; "" = by codec id
  std::string AudioCodec;
  std::string SubtitleCodec;
  bool DisableVideo = false; // "vn": video streams are discarded
  bool DisableAudio = false; // "an"
  bool DisableSubtitle = false;
  AVDiscard VideoDiscard = AVDISCARD_DEFAULT; // "vdt"
  TOptionList FormatOptions;                  // demuxer options (e.g. "loop", "sample_rate")
  TOptionList DecoderOptions;                 // options given to every decoder of the input
};

// Settings of one output video stream. 0 / -1 / empty values mean "take the
// input's" or "leave it to the encoder".
struct TVideoStreamSettings {
  std::string Codec;                      // encoder name, "copy", or "" = the format's default
  int Width = 0, Height = 0;              // frame size; 0 = the input's (after filters)
  AVRational FrameRate{0, 0};             // den 0 = the input's rate (25 when unknown)
  bool ForceFps = false;                  // keep FrameRate even when the encoder lists rates
  double AspectRatio = 0;                 // display aspect (w/h); 0 = the input's
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE; // NONE = the input's, if the encoder takes it
  int64_t BitRate = -1;                   // bits/s; -1 = encoder default
  int64_t MaxRate = -1, MinRate = -1, BufSize = -1, BitRateTolerance = -1;
  int GopSize = -1;       // key-frame interval; -1 = encoder default
  float QScale = 0;       // fixed quantizer (> 0 = fixed-quality mode)
  bool SameQuant = false; // "sameq": keep the input's quality
  bool IntraOnly = false; // "intra"
  std::string Tag;        // four characters or a decimal number; "" = default
  std::string Language;   // stream metadata "language"
  std::string Filters;    // filter-graph text ("crop=...,pad=...,scale=..."); "" = none
  std::vector<std::string> BitstreamFilters; // applied in order to every packet
  int GlobalHeader = 0;                 // "vglobal": 1 force global headers, 2 force local, 3 both
  TOptionList CodecOptions;             // encoder options (generic and private), e.g. "preset"
  std::vector<int64_t> ForcedKeyFrames; // µs, ascending
  std::vector<uint16_t> IntraMatrix, InterMatrix; // 64 values each, or empty
  std::string RcOverride;                         // "start,end,q/start,end,q..."
  int MeThreshold = 0;
  int IntraDcPrecision = 8;
  int TopFieldFirst = -1; // -1 = from the input
  bool Psnr = false;
  int Pass = 0;            // two-pass: 0 none, 1 or 2
  std::string PassLogFile; // prefix of the two-pass log; "" = "ffmpeg2pass"
};

struct TAudioStreamSettings {
  std::string Codec;  // encoder name, "copy", or "" = the format's default
  int Channels = 0;   // 0 = the input's
  int SampleRate = 0; // Hz; 0 = the input's
  AVSampleFormat SampleFmt = AV_SAMPLE_FMT_NONE; // NONE = the input's, if the encoder takes it
  int64_t BitRate = -1;
  int64_t BitRateTolerance = -1;
  float QScale = -99999.0f; // "aq"; above -99999 = fixed quality
  std::string Tag;
  std::string Language;
  std::vector<std::string> BitstreamFilters;
  TOptionList CodecOptions;
};

struct TSubtitleStreamSettings {
  std::string Codec; // encoder name, "copy", or "" = the format's default
  std::string Tag;
  std::string Language;
  std::vector<std::string> BitstreamFilters;
  TOptionList CodecOptions;
};

// A further stream ("newvideo", "newaudio", "newsubtitle"), created after the
// three default ones in list order.
struct TNewStream {
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN;
  TVideoStreamSettings Video;
  TAudioStreamSettings Audio;
  TSubtitleStreamSettings Subtitle;
};

// One output file (the "TOutputOptions" side).
struct TTranscodeOutput {
  std::string FileName;
  std::string ForceFormat; // muxer name; "" = from the file name
  bool DisableVideo = false;
  bool DisableAudio = false;
  bool DisableSubtitle = false;
  TVideoStreamSettings Video;
  TAudioStreamSettings Audio;
  TSubtitleStreamSettings Subtitle;
  std::vector<TNewStream> NewStreams;
  TOptionList Metadata;               // global metadata ("title", "year", ...)
  int64_t Timestamp = AV_NOPTS_VALUE; // creation time, seconds since 1970 UTC
  int PacketSize = -1;                // bytes; <= 0 = default
  int MuxRate = -1;                   // bits/s; <= 0 = default
  double MuxPreload = 0.5;            // seconds
  double MuxMaxDelay = 0.7;           // seconds
  int LoopOutput = -1;                // loop count written by looping formats; -1 = default
  TOptionList FormatOptions;          // muxer options
  std::map<int, int> StreamIds;       // "streamid": output stream index -> container id
};

// TAVStreamMap, TAVMetaDataMap and TAVChapterMap are the option records'
// own types (FFOptionsSettings.h).

// Task-wide settings of the transcoder.
struct TTranscodeSettings {
  int TaskIndex = 0;                    // reported in progress records
  std::vector<TAVStreamMap> StreamMaps; // empty = automatic source selection
  std::vector<std::pair<TAVMetaDataMap, TAVMetaDataMap>> MetaDataMaps; // (output, input)
  std::vector<TAVChapterMap> ChapterMaps;
  bool MetadataGlobalAutocopy = true;
  bool MetadataStreamsAutocopy = true;
  bool MetadataChaptersAutocopy = true;
  int64_t StartTime = 0;             // output skips input before this, µs
  int64_t RecordingTime = INT64_MAX; // duration limit, µs; INT64_MAX / <= 0 = none
  int64_t LimitFileSize = 0;         // bytes; 0 = none
  int MaxFrames[4] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX}; // video, audio, data, subtitle
  bool InputSync = false;                                  // "isync"
  bool CopyTs = false;                                     // "copyts"
  bool CopyTb = false;                                     // "copytb"
  bool Shortest = false;
  bool ExitOnError = false; // "xerror"
  bool RateEmu = false;     // "re"
  bool DumpPackets = false, HexDump = false;
  int CopyInitialNonKeyframes = 0; // "copyinkf"
  double DtsDeltaThreshold = 10.0; // seconds
  int Verbose = 1;
  int ThreadCount = 1;              // codec threads; 0 = FFmpeg's automatic choice
  int AudioVolume = 256;            // 1/256 steps; 256 = unchanged
  int AudioSyncMethod = 0;          // 0 none, 1 pad/trim, >1 also stretch by that much
  double AudioDriftThreshold = 0.1; // seconds
  int VideoSyncMethod = -1;         // 0 passthrough, 1 cfr, 2 vfr, -1 by format
  bool Deinterlace = false;
  int SwsFlags = 4;                    // SWS_BICUBIC
  bool Join = false;                   // join all inputs into the single output
  std::string VStatsFile;              // per-picture statistics; "" = none
  std::vector<std::string> FrameHooks; // "vhook" values: library and arguments
  int64_t ReportInterval = 500000;     // µs between progress reports
  int ReadTimeout = 10000;             // ms for blocking opens; <= 0 = none
};

// Progress of a running task (TProgressInfo's fields).
struct TTranscodeProgress {
  int TaskIndex = 0;
  int FileIndex = 0;           // input whose packet was processed last; -1 on the final report
  int FrameNumber = -1;        // pictures encoded (packets copied); -1 without video
  int FPS = -1;                // -1 without video, 0 during the first second
  float Quality = -1.0f;       // last quantizer; -1 for copy or without video
  float BitRate = 0;           // kbit/s so far
  int64_t CurrentSize = 0;     // bytes written to the first output
  int64_t CurrentDuration = 0; // µs of output written (smallest positive stream position)
  int64_t TotalDuration = -1;  // µs expected; -1 when unknown (never divide by it then)
  std::string Text;            // the report line ("frame=...")
};

// Hook picture handlers get the writable picture in its decoded (input hook)
// or encoder (output hook) format. Return true when the picture was changed;
// set AStopHook to stop further calls for this task.
using TVideoHookEvent =
    std::function<bool(AVFrame *APicture, int AFrameNumber, int64_t APtsUs, bool &AStopHook)>;

struct TTranscodeEvents {
  // Polled every loop turn and by the interrupt check of blocking reads; must
  // be cheap and thread-safe. Empty = only Stop() stops.
  std::function<bool()> StopRequested;
  // Called every loop turn; may block to pause the task.
  std::function<void()> PausePoint;
  // Progress at ReportInterval and once at the end (FileIndex -1).
  std::function<void(const TTranscodeProgress &)> OnProgress;
  // After an input is opened, before its streams are analysed.
  std::function<void(AVFormatContext *)> OnBeforeFindStreamInfo;
  TVideoHookEvent OnVideoInputHook;  // each decoded picture
  TVideoHookEvent OnVideoOutputHook; // each picture before encoding
  // Post hook (preview): each picture about to be encoded, read-only.
  std::function<void(const AVFrame *, int AFrameNumber, int64_t APtsUs)> OnPostHook;
  // Each block of decoded audio (after the volume stage is not applied yet).
  std::function<void(const AVFrame *, int64_t APtsUs)> OnAudioHook;
};

struct TTranscodeResult {
  bool Success = false;  // no error (a stopped task is a success that did not finish)
  bool Finished = false; // converted to the end without a stop request
  std::string ErrorMsg;  // the error text when Success is false
};

struct TTranscodeState;

class TTranscoder {
public:
  explicit TTranscoder(const TTranscodeSettings &ASettings, TTranscodeEvents AEvents = {});
  ~TTranscoder(); // closes everything still open (Close())
  TTranscoder(const TTranscoder &) = delete;
  TTranscoder &operator=(const TTranscoder &) = delete;

  // Opens and analyses one input. False with LastErrMsg() set.
  bool AddInput(const TTranscodeInput &AInput);
  // Creates an output with its streams; returns its number, or -1 with
  // LastErrMsg() set. In join mode a second output is refused.
  int AddOutput(const TTranscodeOutput &AOutput);
  // Replaces the task-wide settings between adding files, before the run
  // (an output record changes them). Inputs already opened keep what they
  // took at opening from the earlier settings (the "copyts" timestamp
  // offset, the log verbosity); outputs added later and the run use the new
  // ones. False with LastErrMsg() set once the run started or the files
  // were closed.
  bool SetSettings(const TTranscodeSettings &ASettings);
  // Replaces the events (hooks) the same way.
  bool SetEvents(TTranscodeEvents AEvents);

  // The conversion run (at most once). Blocks until the task ended.
  TTranscodeResult Run();

  // Requests a stop: the loop ends at its next turn, a blocked read gives up,
  // the outputs are finished normally. Any thread.
  void Stop();

  // Closes outputs and inputs; an output file without data is deleted.
  // Idempotent; also done by the destructor.
  void Close();

  const std::string &LastErrMsg() const;
  // µs; -1 when unknown. Joined: sum of the inputs; else the duration limit or
  // the longest input.
  int64_t TotalOutputDuration() const;
  int InputCount() const;
  int OutputCount() const;

private:
  std::unique_ptr<TTranscodeState> FState;
  bool FFailed = false; // the run ended with an error
};

// Convenience: opens every input and output of a job, runs it and closes the
// files. Any opening failure is returned as the result's error.
struct TTranscodeJob {
  TTranscodeSettings Settings;
  std::vector<TTranscodeInput> Inputs;
  std::vector<TTranscodeOutput> Outputs;
};
TTranscodeResult RunTranscode(const TTranscodeJob &AJob, const TTranscodeEvents &AEvents = {});
