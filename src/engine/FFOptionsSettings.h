#pragma once
// The transcoder settings of one task: the state that option handlers write
// and that opening inputs and outputs, creating streams, the run and the
// stream processing read. TCustomFFmpeg derives from TTranscoderSettings, so
// the fields are the task's own (Fframe_width, ...).
//
// Units: times in microseconds unless a comment says seconds; rates in bits/s.
// Thread: written only by the add operations in the caller's thread, read by
// the task's run afterwards; no locking.

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

// "map": output stream i takes input stream (file_index, stream_index) and is
// synchronised against (sync_file_index, sync_stream_index).
struct TAVStreamMap {
  int file_index = 0;
  int stream_index = 0;
  int sync_file_index = 0;
  int sync_stream_index = 0;
  bool operator==(const TAVStreamMap &) const = default;
};

// One side of a "map_meta_data" pair: file number, type 'g' (global), 's'
// (stream), 'c' (chapter) or 'p' (program) and the index for the last three.
struct TAVMetaDataMap {
  int file_idx = 0;
  char type_ = 'g';
  int index = 0;
  bool operator==(const TAVMetaDataMap &) const = default;
};

// "map_chapters": chapters of input in_file go to output out_file.
struct TAVChapterMap {
  int in_file = 0;
  int out_file = 0;
  bool operator==(const TAVChapterMap &) const = default;
};

// "rc_override" entry: frames start_frame..end_frame get quantizer qscale
// (> 0) or quality factor quality_factor (when qscale is 0).
struct TRcOverride {
  int start_frame = 0;
  int end_frame = 0;
  int qscale = 0;
  float quality_factor = 0;
};

// Per-stream timestamp scales of the next input: at most this many streams.
inline constexpr int MAX_STREAMS = 20;

struct TTranscoderSettings {
  // --- next file opened (input or output)
  std::string Flast_asked_format; // forced container name; "" = probe / from the file name

  // --- video
  int Fframe_width = 0, Fframe_height = 0;        // 0 = keep the input's size
  double Fframe_aspect_ratio = 0;                 // display aspect; 0 = derive
  AVPixelFormat Fframe_pix_fmt = AV_PIX_FMT_NONE; // NONE = the encoder's choice
  AVRational Fframe_rate = {25, 0};               // den 0 = unset
  float Fvideo_qscale = 0;                        // 0 = unset
  int Fvideo_sync_method = -1;                    // -1 = by container (vfr: 2, else 1)
  int Ftop_field_first = -1;                      // -1 = from the input
  int Fintra_dc_precision = 8;
  int Fintra_only = 0;
  int Fvideo_disable = 0;
  int Fvideo_discard = 0; // AVDiscard of input video ("vdt")
  int Fvideo_stream_copy = 0;
  std::string Fvideo_codec_name; // "" = none
  unsigned Fvideo_codec_tag = 0;
  std::string Fvideo_language;
  std::string Fvideo_rc_override_string; // parsed when the stream is created
  int Fme_threshold = 0;
  int Fsame_quality = 0;
  int Fdo_deinterlace = 0;
  int Fdo_psnr = 0;
  int Fqp_hist = 0;
  int Fforce_fps = 0;
  int Fvideo_global_header = 0;            // bit 1 global, bit 2 local, 0 = the container decides
  int Fdo_pass = 0;                        // 0, 1 or 2
  std::string Fpass_logfilename_prefix;    // "" = "ffmpeg2pass"
  std::string Fvstats_filename;            // "" = no statistics
  std::string Fvfilters;                   // filter-graph text; "" = none
  std::vector<int64_t> Fforced_key_frames; // microseconds, in the order given
  std::vector<uint16_t> Fintra_matrix;     // 64 coefficients or empty
  std::vector<uint16_t> Finter_matrix;     // 64 coefficients or empty
  std::vector<std::string> Fvideo_bitstream_filters; // names, for the next video stream
  int Fvideo_channel = 0;                            // capture inputs ("vc")
  std::string Fvideo_standard;                       // capture inputs ("tvstd")

  // --- audio
  int Faudio_sample_rate = 44100; // Hz
  int Faudio_channels = 2;
  AVSampleFormat Faudio_sample_fmt = AV_SAMPLE_FMT_NONE;
  float Faudio_qscale = -99999.0f; // -99999 = unset
  int Faudio_volume = 256;         // 256 = unchanged
  int Faudio_sync_method = 0;
  float Faudio_drift_threshold = 0.1f; // seconds
  int Faudio_disable = 0;
  int Faudio_stream_copy = 0;
  std::string Faudio_codec_name;
  unsigned Faudio_codec_tag = 0;
  std::string Faudio_language;
  std::vector<std::string> Faudio_bitstream_filters;

  // --- subtitles
  int Fsubtitle_disable = 0;
  int Fsubtitle_stream_copy = 0;
  std::string Fsubtitle_codec_name;
  unsigned Fsubtitle_codec_tag = 0;
  std::string Fsubtitle_language;
  std::vector<std::string> Fsubtitle_bitstream_filters;

  // --- limits and timing
  // Frame limits by AVMediaType: video, audio, data, subtitle.
  int Fmax_frames[4] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  int64_t Frecording_time = INT64_MAX; // output duration limit; INT64_MAX = none
  int64_t Fstart_time = 0;             // inputs seek there; outputs skip input before it
  int64_t Finput_ts_offset = 0;        // added to the next input
  int64_t Frecording_timestamp = 0;    // output creation time, seconds since 1970 UTC
  int64_t Flimit_filesize = 0;         // bytes; 0 = none
  double Fdts_delta_threshold = 10.0;  // seconds
  float Fmux_preload = 0.5f;           // seconds
  float Fmux_max_delay = 0.7f;         // seconds
  int Floop_output = -1;               // container loop count; -1 = the container's default
  int Floop_input = 0;
  int Fopt_programid = 0; // program of the next input; 0 = none
  int Fcopy_ts = 0;
  int Fcopy_tb = 0;
  int Fopt_shortest = 0;
  int Finput_sync = 0;
  int Frate_emu = 0;
  int Fexit_on_error = 0;
  int Fcopy_initial_nonkeyframes = 0;
  double Fts_scale[MAX_STREAMS] = {}; // per-stream timestamp scale of the next input; 0 = none
  int Fnb_ts_scale = 0;               // entries of Fts_scale in use

  // --- task
  int Fthread_count = 1;
  int Fverbose = 1;
  int Fsws_flags = 4; // SWS_BICUBIC
  int Fdo_pkt_dump = 0;
  int Fdo_hex_dump = 0;
  int64_t FTotalOutputDuration = -1; // microseconds; -1 = not known
  int Fbit_buffer_size = 262144;     // bytes

  // --- maps and metadata
  std::vector<TAVStreamMap> Fstream_maps;
  std::vector<std::pair<TAVMetaDataMap, TAVMetaDataMap>> Fmeta_data_maps; // (output, input)
  std::vector<TAVChapterMap> Fchapter_maps;
  int Fmetadata_global_autocopy = 1;
  int Fmetadata_streams_autocopy = 1;
  int Fmetadata_chapters_autocopy = 1;
  // Metadata for the next output, in the order set (a key set again keeps
  // its place and takes the new value).
  std::vector<std::pair<std::string, std::string>> Fmetadata;
  std::vector<int> Fstreamid_map; // container stream id per output stream index; 0 = none
};
