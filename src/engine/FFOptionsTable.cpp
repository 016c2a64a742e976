// The option table of TCustomFFmpeg::SetExtOption: every name the transcoder
// handles itself, in the order names are tested, with its handler. Names the
// table does not hold go to the generic option setter.

#include "engine/FFLog.h"
#include "engine/FFOptionsParse.h"
#include "engine/FFTarget.h"
#include "engine/FFmpeg.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <unistd.h>

using THandler = void (*)(TCustomFFmpeg &T, const std::string &AName, const std::string &AValue);

struct TOptionRow {
  const char *Names[8]; // the names of the row; unused slots are null
  THandler Handler;
};

struct TOptionTable {
  using S = TTranscoderSettings;
  using N = const std::string &;

  // --- kinds of value

  template <auto F> static void Flag(TCustomFFmpeg &T, N, N AValue) {
    T.*F = OptBool(AValue) ? 1 : 0;
  }
  template <auto F> static void Int(TCustomFFmpeg &T, N, N AValue) { T.*F = OptInt(AValue); }
  template <auto F> static void Int64(TCustomFFmpeg &T, N, N AValue) { T.*F = OptInt64(AValue); }
  template <auto F> static void Float(TCustomFFmpeg &T, N, N AValue) {
    T.*F = static_cast<std::remove_reference_t<decltype(T.*F)>>(OptFloat(AValue));
  }
  template <auto F> static void Text(TCustomFFmpeg &T, N, N AValue) { T.*F = AValue; }
  // Only values above 0 are taken.
  template <auto F> static void Positive(TCustomFFmpeg &T, N, N AValue) {
    if (int v = OptInt(AValue); v > 0)
      T.*F = v;
  }
  template <AVMediaType M> static void MaxFrames(TCustomFFmpeg &T, N, N AValue) {
    T.Fmax_frames[M] = OptInt(AValue);
  }
  template <auto F> static void Tag(TCustomFFmpeg &T, N, N AValue) { T.*F = ParseCodecTag(AValue); }
  template <AVMediaType M> static void Codec(TCustomFFmpeg &T, N, N AValue) {
    T.SelectCodec(M, AValue);
  }
  template <AVMediaType M> static void NewStream(TCustomFFmpeg &T, N, N) { T.OptNewStream(M); }
  template <AVMediaType M> static void Bitrate(TCustomFFmpeg &T, N AName, N AValue) {
    T.OptBitrate(AName, AValue, M);
  }
  template <auto F> static void Matrix(TCustomFFmpeg &T, N, N AValue) {
    T.*F = ParseMatrix(AValue);
  }

  // --- handlers of their own

  static void DoNothing(TCustomFFmpeg &T, N AName, N) { T.LogDoNothing(AName); }

  static void LogLevel(TCustomFFmpeg &T, N, N AValue) {
    if (!FFLogger().OptLogLevel(AValue))
      FFLogger().Log(&T, llWarning, "Invalid loglevel \"" + AValue + "\"");
  }

  static void Format(TCustomFFmpeg &T, N, N AValue) {
    if (!AValue.empty())
      T.Flast_asked_format = AValue;
  }

  static void Map(TCustomFFmpeg &T, N, N AValue) {
    T.Fstream_maps.push_back(ParseStreamMap(AValue));
  }

  static void MapMetaData(TCustomFFmpeg &T, N, N AValue) {
    auto maps = ParseMetaDataMap(AValue);
    T.Fmeta_data_maps.push_back(maps);
    auto either = [&](char c) { return maps.first.type_ == c || maps.second.type_ == c; };
    if (either('g'))
      T.Fmetadata_global_autocopy = 0;
    if (either('s'))
      T.Fmetadata_streams_autocopy = 0;
    if (either('c'))
      T.Fmetadata_chapters_autocopy = 0;
  }

  static void MapChapters(TCustomFFmpeg &T, N, N AValue) {
    T.Fchapter_maps.push_back(ParseChapterMap(AValue));
  }

  static void RecordingTime(TCustomFFmpeg &T, N AName, N AValue) {
    T.Frecording_time = TCustomFFmpeg::ParseTime(AName, AValue, true);
    T.FTotalOutputDuration = T.Frecording_time;
  }
  static void StartTime(TCustomFFmpeg &T, N AName, N AValue) {
    T.Fstart_time = TCustomFFmpeg::ParseTime(AName, AValue, true);
  }
  static void TsOffset(TCustomFFmpeg &T, N AName, N AValue) {
    T.Finput_ts_offset = TCustomFFmpeg::ParseTime(AName, AValue, true);
  }
  static void Timestamp(TCustomFFmpeg &T, N AName, N AValue) {
    T.Frecording_timestamp = TCustomFFmpeg::ParseTime(AName, AValue, false) / 1000000;
  }

  static void TsScale(TCustomFFmpeg &T, N, N AValue) {
    auto [stream, scale] = ParseTsScale(AValue);
    T.Fts_scale[stream] = scale;
    T.Fnb_ts_scale = std::max(T.Fnb_ts_scale, stream + 1);
  }

  static void Metadata(TCustomFFmpeg &T, N, N AValue) {
    const size_t eq = AValue.find('=');
    if (eq == std::string::npos)
      throw FFmpegException("Missing =");
    const std::string key = AValue.substr(0, eq);
    if (key.empty())
      throw FFmpegException("wrong parameter of metadata");
    const std::string value = AValue.substr(eq + 1);
    for (auto &entry : T.Fmetadata)
      if (entry.first == key) {
        entry.second = value;
        return;
      }
    T.Fmetadata.emplace_back(key, value);
  }

  static void TimeLimit(TCustomFFmpeg &T, N, N) {
    FFLogger().Log(&T, llWarning, "Warning: -timelimit not implemented on Windows");
  }

  static void Target(TCustomFFmpeg &T, N, N AValue) {
    TTargetText t = SplitTargetText(AValue);
    T.ApplyTarget(t.Type, t.Norm, "ntsc");
  }

  static void Threads(TCustomFFmpeg &T, N, N AValue) {
    T.Fthread_count = OptInt(AValue);
    if (T.Fverbose >= 0)
      FFLogger().Log(&T, llVerbose,
                     "Warning: if the ffmpeg libraries were not compiled with thread support, it "
                     "would be using thread emulation.");
  }

  static void FrameRate(TCustomFFmpeg &T, N, N AValue) {
    if (AValue.empty())
      return;
    AVRational rate;
    if (ff::avutil.av_parse_video_rate(&rate, AValue.c_str()) < 0)
      throw FFmpegException("Incorrect frame rate");
    T.Fframe_rate = rate;
  }

  static void FrameSize(TCustomFFmpeg &T, N, N AValue) {
    if (AValue.empty())
      return;
    int w = 0, h = 0;
    if (ff::avutil.av_parse_video_size(&w, &h, AValue.c_str()) < 0)
      throw FFmpegException("Incorrect frame size");
    T.Fframe_width = w;
    T.Fframe_height = h;
  }

  static void Aspect(TCustomFFmpeg &T, N, N AValue) {
    if (AValue.empty())
      return;
    const double ar = ParseAspect(AValue);
    if (ar == 0)
      throw FFmpegException("Incorrect aspect ratio specification.");
    T.Fframe_aspect_ratio = ar;
  }

  static void PixFmt(TCustomFFmpeg &T, N, N AValue) {
    if (AValue == "list") {
      FFLogger().Log(&T, llInfo, "Pixel formats:");
      for (int i = 0; const AVPixFmtDescriptor *d =
                          ff::avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i));
           ++i)
        FFLogger().LogFmt(&T, llInfo, "%-16s %d %3d", d->name, d->nb_components,
                          ff::avutil.av_get_bits_per_pixel(d));
      return;
    }
    const AVPixelFormat fmt = ff::avutil.av_get_pix_fmt(AValue.c_str());
    if (fmt == AV_PIX_FMT_NONE)
      throw FFmpegException("Unknown pixel format requested: " + AValue);
    T.Fframe_pix_fmt = fmt;
  }

  static void SampleFmt(TCustomFFmpeg &T, N, N AValue) {
    if (AValue == "list") {
      FFLogger().Log(&T, llInfo, "Sample formats:");
      for (int i = 0; i < AV_SAMPLE_FMT_NB; ++i)
        if (const char *name = ff::avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(i)))
          FFLogger().LogFmt(&T, llInfo, "%-9s %2d", name,
                            8 * ff::avutil.av_get_bytes_per_sample(static_cast<AVSampleFormat>(i)));
      return;
    }
    const AVSampleFormat fmt = ff::avutil.av_get_sample_fmt(AValue.c_str());
    if (fmt == AV_SAMPLE_FMT_NONE)
      throw FFmpegException("Invalid sample format \"" + AValue + "\"");
    T.Faudio_sample_fmt = fmt;
  }

  static void RemovedCrop(TCustomFFmpeg &, N, N) {
    throw FFmpegException("Removed, use the crop filter instead");
  }
  static void RemovedPad(TCustomFFmpeg &, N, N) {
    throw FFmpegException("Removed, use the pad filter instead");
  }

  static void QScale(TCustomFFmpeg &T, N, N AValue) {
    const double q = OptFloat(AValue);
    if (q <= 0 || q > 255)
      throw FFmpegException("qscale must be > 0.0 and <= 255");
    T.Fvideo_qscale = static_cast<float>(q);
  }

  static void Pass(TCustomFFmpeg &T, N, N AValue) {
    const int pass = OptInt(AValue);
    if (pass != 1 && pass != 2)
      throw FFmpegException("pass number can be only 1 or 2");
    T.Fdo_pass = pass;
  }

  static void VStats(TCustomFFmpeg &T, N, N AValue) {
    if (!OptBool(AValue)) {
      T.Fvstats_filename.clear();
      return;
    }
    // The folder of the running executable, with a trailing '/'.
    std::string folder;
    char exe[4096];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (len > 0) {
      folder.assign(exe, static_cast<size_t>(len));
      folder.erase(folder.rfind('/') + 1);
    }
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char hhnnss[16];
    std::snprintf(hhnnss, sizeof(hhnnss), "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    T.Fvstats_filename = folder + "vstats_" + hhnnss + ".log";
  }

  static void VHook(TCustomFFmpeg &T, N, N AValue) {
    const std::vector<std::string> args = SplitHookArgs(AValue);
    if (args.empty() || !T.AddFrameHook(args))
      throw FFmpegException("Failed to add video hook function: " + AValue);
  }

  static void VFilters(TCustomFFmpeg &T, N, N AValue) {
    if (!AValue.empty())
      T.Fvfilters = AValue;
  }

  static void StreamId(TCustomFFmpeg &T, N AName, N AValue) {
    auto [index, value] = ParseStreamId(AName, AValue);
    if (T.Fstreamid_map.size() <= static_cast<size_t>(index))
      T.Fstreamid_map.resize(index + 1, 0);
    T.Fstreamid_map[index] = value;
  }

  static void ForceKeyFrames(TCustomFFmpeg &T, N AName, N AValue) {
    std::vector<int64_t> times;
    size_t start = 0;
    while (true) {
      const size_t comma = AValue.find(',', start);
      times.push_back(TCustomFFmpeg::ParseTime(
          AName, AValue.substr(start, comma == std::string::npos ? comma : comma - start), true));
      if (comma == std::string::npos)
        break;
      start = comma + 1;
    }
    T.Fforced_key_frames = std::move(times);
  }

  static void Bsf(TCustomFFmpeg &T, N AName, N AValue) {
    const std::string name = BitStreamFilterName(AValue);
    if (name.empty())
      return;
    if (!ff::avcodec.av_bsf_get_by_name(name.c_str()))
      throw FFmpegException("Unknown bitstream filter " + name);
    auto &chain = AName[0] == 'v'   ? T.Fvideo_bitstream_filters
                  : AName[0] == 'a' ? T.Faudio_bitstream_filters
                                    : T.Fsubtitle_bitstream_filters;
    chain.push_back(name);
  }

  static void Preset(TCustomFFmpeg &T, N AName, N AValue) { T.ApplyPreset(AName, AValue); }

  // --- the table, in the order names are tested

  static inline const TOptionRow Rows[] = {
      {{"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters"}, DoNothing},
      {{"loglevel"}, LogLevel},
      {{"f"}, Format},
      {{"i", "y"}, DoNothing},
      {{"map"}, Map},
      {{"map_meta_data"}, MapMetaData},
      {{"map_chapters"}, MapChapters},
      {{"t"}, RecordingTime},
      {{"fs"}, Int64<&S::Flimit_filesize>},
      {{"ss"}, StartTime},
      {{"itsoffset"}, TsOffset},
      {{"itsscale"}, TsScale},
      {{"timestamp"}, Timestamp},
      {{"metadata"}, Metadata},
      {{"dframes"}, MaxFrames<AVMEDIA_TYPE_DATA>},
      {{"benchmark"}, DoNothing},
      {{"timelimit"}, TimeLimit},
      {{"dump"}, Flag<&S::Fdo_pkt_dump>},
      {{"hex"}, Flag<&S::Fdo_hex_dump>},
      {{"re"}, Flag<&S::Frate_emu>},
      {{"loop_input"}, Flag<&S::Floop_input>},
      {{"loop_output"}, Int<&S::Floop_output>},
      {{"v"}, Int<&S::Fverbose>},
      {{"target"}, Target},
      {{"threads"}, Threads},
      {{"vsync"}, Int<&S::Fvideo_sync_method>},
      {{"async"}, Int<&S::Faudio_sync_method>},
      {{"adrift_threshold"}, Float<&S::Faudio_drift_threshold>},
      {{"vglobal"}, Int<&S::Fvideo_global_header>},
      {{"copyts"}, Flag<&S::Fcopy_ts>},
      {{"copytb"}, Flag<&S::Fcopy_tb>},
      {{"shortest"}, Flag<&S::Fopt_shortest>},
      {{"dts_delta_threshold"}, Float<&S::Fdts_delta_threshold>},
      {{"programid"}, Int<&S::Fopt_programid>},
      {{"xerror"}, Flag<&S::Fexit_on_error>},
      {{"copyinkf"}, Int<&S::Fcopy_initial_nonkeyframes>},
      {{"b", "vb"}, Bitrate<AVMEDIA_TYPE_VIDEO>},
      {{"vframes"}, MaxFrames<AVMEDIA_TYPE_VIDEO>},
      {{"r"}, FrameRate},
      {{"s"}, FrameSize},
      {{"aspect"}, Aspect},
      {{"pix_fmt"}, PixFmt},
      {{"croptop", "cropbottom", "cropleft", "cropright"}, RemovedCrop},
      {{"padtop", "padbottom", "padleft", "padright", "padcolor"}, RemovedPad},
      {{"intra"}, Flag<&S::Fintra_only>},
      {{"vn"}, Flag<&S::Fvideo_disable>},
      {{"vdt"}, Int<&S::Fvideo_discard>},
      {{"qscale"}, QScale},
      {{"rc_override"}, Text<&S::Fvideo_rc_override_string>},
      {{"vcodec"}, Codec<AVMEDIA_TYPE_VIDEO>},
      {{"me_threshold"}, Int<&S::Fme_threshold>},
      {{"sameq"}, Flag<&S::Fsame_quality>},
      {{"pass"}, Pass},
      {{"passlogfile"}, Text<&S::Fpass_logfilename_prefix>},
      {{"deinterlace"}, Flag<&S::Fdo_deinterlace>},
      {{"psnr"}, Flag<&S::Fdo_psnr>},
      {{"vstats"}, VStats},
      {{"vstats_file"}, Text<&S::Fvstats_filename>},
      {{"vhook"}, VHook},
      {{"vfilters", "vf"}, VFilters},
      {{"intra_matrix"}, Matrix<&S::Fintra_matrix>},
      {{"inter_matrix"}, Matrix<&S::Finter_matrix>},
      {{"top"}, Int<&S::Ftop_field_first>},
      {{"dc"}, Int<&S::Fintra_dc_precision>},
      {{"vtag"}, Tag<&S::Fvideo_codec_tag>},
      {{"atag"}, Tag<&S::Faudio_codec_tag>},
      {{"stag"}, Tag<&S::Fsubtitle_codec_tag>},
      {{"newvideo"}, NewStream<AVMEDIA_TYPE_VIDEO>},
      {{"newaudio"}, NewStream<AVMEDIA_TYPE_AUDIO>},
      {{"newsubtitle"}, NewStream<AVMEDIA_TYPE_SUBTITLE>},
      {{"vlang"}, Text<&S::Fvideo_language>},
      {{"alang"}, Text<&S::Faudio_language>},
      {{"slang"}, Text<&S::Fsubtitle_language>},
      {{"qphist"}, Flag<&S::Fqp_hist>},
      {{"force_fps"}, Flag<&S::Fforce_fps>},
      {{"streamid"}, StreamId},
      {{"force_key_frames"}, ForceKeyFrames},
      {{"ab"}, Bitrate<AVMEDIA_TYPE_AUDIO>},
      {{"aframes"}, MaxFrames<AVMEDIA_TYPE_AUDIO>},
      {{"aq"}, Float<&S::Faudio_qscale>},
      {{"ar"}, Positive<&S::Faudio_sample_rate>},
      {{"ac"}, Positive<&S::Faudio_channels>},
      {{"an"}, Flag<&S::Faudio_disable>},
      {{"acodec"}, Codec<AVMEDIA_TYPE_AUDIO>},
      {{"vol"}, Int<&S::Faudio_volume>},
      {{"sample_fmt"}, SampleFmt},
      {{"sn"}, Flag<&S::Fsubtitle_disable>},
      {{"scodec"}, Codec<AVMEDIA_TYPE_SUBTITLE>},
      {{"vc"}, Int<&S::Fvideo_channel>},
      {{"tvstd"}, Text<&S::Fvideo_standard>},
      {{"isync"}, Flag<&S::Finput_sync>},
      {{"muxdelay"}, Float<&S::Fmux_max_delay>},
      {{"muxpreload"}, Float<&S::Fmux_preload>},
      {{"absf", "vbsf", "sbsf"}, Bsf},
      {{"apre", "vpre", "spre", "fpre"}, Preset},
  };

  static THandler Find(const std::string &AName) {
    for (const TOptionRow &row : Rows)
      for (const char *name : row.Names)
        if (name && AName == name)
          return row.Handler;
    return nullptr;
  }
};

void TCustomFFmpeg::SetExtOption(const std::string &AName, const std::string &AValue) {
  if (THandler handler = TOptionTable::Find(AName))
    handler(*this, AName, AValue);
  else
    SetGenericOption(AName, AValue, HaltOnInvalidOption);
}
