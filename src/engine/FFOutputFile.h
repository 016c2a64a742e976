#pragma once
// Output side of a task: creating the output container with its streams, the
// output stream records of the run, and preparing each stream for stream copy
// or encoding (encoder settings, opening, two-pass logs).

#include "engine/FFInputFile.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// One output stream (TAVOutputStream). Created with its container stream when
// the output is opened; the run fills the rest. Times: sync_opts in encoder
// time-base units, positions in seconds.
struct TAVOutputStream {
  int file_index = 0;
  int index = 0; // stream index in its file
  AVMediaType kind = AVMEDIA_TYPE_UNKNOWN;
  AVStream *st = nullptr; // owned by the output's format context
  int source_index = -1;  // input stream table index feeding it
  int sync_ist = -1;      // input stream used for synchronisation
  bool stream_copy = false;
  bool encoding_needed = false;
  const AVCodec *enc = nullptr;
  TFFCodecContextPtr enc_ctx;
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  unsigned int codec_tag = 0;
  bool global_header = false;
  // Settings the stream was created with (after the input's values were taken over).
  TVideoStreamSettings V;
  bool size_requested = false; // the settings named a frame size (V's size is else the input's)
  TAudioStreamSettings A;
  TSubtitleStreamSettings S;

  int64_t frame_number = 0; // pictures passed to the encoder, or packets copied
  int64_t sync_opts = 0;    // next output position, encoder time base
  bool show_fps = false;
  bool header_counted = false;
  std::vector<TFFBSFContextPtr> bsfs;

  // Encoder parameters decided when preparing (also used to re-open).
  int width = 0, height = 0;
  AVPixelFormat pix_fmt = AV_PIX_FMT_NONE;
  AVRational frame_rate{25, 1};
  AVRational sample_aspect_ratio{0, 1};
  int sample_rate = 0;
  AVSampleFormat sample_fmt = AV_SAMPLE_FMT_NONE;
  AVChannelLayout ch_layout{};
  AVRational enc_time_base{1, 25};

  // Video: filter graph from the decoded picture to the encoder's format/size.
  TFFFilterGraphPtr graph;
  AVFilterContext *buffersrc = nullptr;
  AVFilterContext *buffersink = nullptr;
  int resample_width = 0, resample_height = 0; // graph input the graph was made for
  AVPixelFormat resample_pix_fmt = AV_PIX_FMT_NONE;
  int original_width = 0, original_height = 0;
  size_t forced_kf_index = 0;
  TFFFramePtr filtered_frame; // reused
  float last_quality = -1;    // quantizer of the last encoded picture
  char last_pict_type = '?';

  // Audio: resampler/format converter, FIFO of encoder-format samples.
  TFFSwrContextPtr swr;
  bool swr_compensating = false;
  AVSampleFormat resample_sample_fmt = AV_SAMPLE_FMT_NONE;
  AVChannelLayout resample_ch_layout{};
  int resample_sample_rate = 0;
  TFFAudioFifoPtr fifo;
  uint8_t **audio_buf = nullptr; // converted samples (av_samples_alloc), capacity in samples
  int audio_buf_samples = 0;
  TFFFramePtr enc_frame; // reused encoder input frame
  bool is_start = true;
  bool encoder_flushed = false;

  // Two-pass and statistics.
  FILE *logfile = nullptr;
  char *stats_in = nullptr; // pass-2 statistics (av_malloc'd); the encoder reads it

  // Output accounting.
  double last_pos_sec = 0; // end of the last packet written, seconds
  int64_t packets_written = 0;
  TFFPacketPtr pkt; // reused for encoder output

  TAVOutputStream() = default;
  ~TAVOutputStream();
  TAVOutputStream(const TAVOutputStream &) = delete;
  TAVOutputStream &operator=(const TAVOutputStream &) = delete;

  // Output position (seconds) used to choose the next input and for progress.
  double Position() const;
};

// One output file.
class TFFOutputFile {
public:
  struct TOpenContext {
    const TTranscodeSettings *Settings = nullptr;
    TIOWatch *Watch = nullptr;
    const TInheritedSettings *Inherited = nullptr;
    // Opened inputs (for the stream kinds they hold); the first only when joining.
    std::vector<const TFFInputFile *> Inputs;
    int FileIndex = 0;
  };
  // Creates the container, its streams and opens the file. On failure null
  // with AErr set; nothing is left on disk by a failed open.
  static std::unique_ptr<TFFOutputFile> Open(const TTranscodeOutput &AOutput, TOpenContext &ACtx,
                                             std::string &AErr);
  ~TFFOutputFile();
  TFFOutputFile(const TFFOutputFile &) = delete;
  TFFOutputFile &operator=(const TFFOutputFile &) = delete;

  AVFormatContext *Ctx() const { return FCtx.get(); }
  const TTranscodeOutput &Desc() const { return FDesc; }
  const std::string &FileName() const { return FFileName; }
  std::vector<std::unique_ptr<TAVOutputStream>> &Streams() { return FStreams; }

  // Current size in bytes (file size, else write position); 0 without a file.
  int64_t Size() const;
  // Closes the file (after the trailer, or as it stands after an error).
  // Deletes it when ADeleteIfEmpty and no media packet / no byte was written.
  void Close(bool ADeleteIfEmpty);

  bool header_written = false;
  bool trailer_written = false;
  int64_t packets_written = 0;

private:
  TFFOutputFile() = default;
  TAVOutputStream *NewStream(AVMediaType AKind, const TTranscodeOutput &AOut,
                             const TVideoStreamSettings *AV, const TAudioStreamSettings *AA,
                             const TSubtitleStreamSettings *AS, TOpenContext &ACtx);

  TFFOutputContextPtr FCtx;
  TTranscodeOutput FDesc;
  std::string FFileName;
  bool FClosed = false;
  std::vector<std::unique_ptr<TAVOutputStream>> FStreams;
};

// Preparing a stream at the start of a run. Both throw TTranscodeError.
// AHooks: which picture/audio hooks are active ("VideoHook", "-vhook",
// "PostHooks", "AudioHook"), since copied streams are not decoded.
struct TActiveHooks {
  bool VideoHook = false, FrameHooks = false, PostHooks = false, AudioHook = false;
};
void PrepareStreamCopy(TAVOutputStream &AOst, TAVInputStream &AIst, const TTranscodeSettings &AS,
                       const TActiveHooks &AHooks, const AVOutputFormat *AFormat);
// Decides the encoder parameters (the video graph is configured by the caller
// before for video), opens the two-pass log. Does not open the encoder.
void PrepareEncoding(TAVOutputStream &AOst, TAVInputStream &AIst, const TTranscodeSettings &AS);
// Allocates and opens the encoder of AOst from its decided parameters
// (ADecoder: the source's open decoder, for subtitle headers; may be null).
// On failure returns the FFmpeg code (negative); 0 on success.
int OpenEncoder(TAVOutputStream &AOst, const TTranscodeSettings &AS,
                const AVCodecContext *ADecoder);
