#include "engine/FFTaskMap.h"

#include "engine/FFmpeg.h"

#include <algorithm>
#include <cctype>

namespace {

TFFOptions &OptionsOf(const TCustomFFmpeg &ATask) {
  // Only read: the option contexts' values are fetched with av_opt_get.
  return const_cast<TCustomFFmpeg &>(ATask).Options();
}

std::string OptText(void *AObj, const char *AName) {
  uint8_t *text = nullptr;
  std::string result;
  if (ff::avutil.av_opt_get(AObj, AName, 0, &text) >= 0 && text) {
    result = reinterpret_cast<const char *>(text);
    ff::avutil.av_free(text);
  }
  return result;
}

bool ClassDeclares(const AVClass *AClass, const char *AName) {
  if (!AClass)
    return false;
  const AVClass *cls = AClass;
  return ff::avutil.av_opt_find(&cls, AName, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

void SetOption(TOptionList &AList, const std::string &AName, const std::string &AValue) {
  for (auto &item : AList)
    if (item.first == AName) {
      item.second = AValue;
      return;
    }
  AList.emplace_back(AName, AValue);
}

// The options the generic setter recorded that apply to one context: a
// declared option whose declaration on ADecl has every bit of AFlags, with
// the value it has in AValues (the option context of that kind); a private
// option (recorded with its value) when APrivate declares it.
TOptionList RecordedOptions(const TFFOptions &AOpts, void *ADecl, void *AValues, int AFlags,
                            const AVClass *APrivate) {
  TOptionList list;
  for (size_t i = 0; i < AOpts.opt_names.size(); ++i) {
    const std::string &name = AOpts.opt_names[i];
    const std::string &value = AOpts.opt_values[i];
    if (value.empty()) {
      if (ADecl && AValues && ff::avutil.av_opt_find(ADecl, name.c_str(), nullptr, AFlags, 0)) {
        std::string text = OptText(AValues, name.c_str());
        if (!text.empty())
          SetOption(list, name, text);
      }
    } else if (ClassDeclares(APrivate, name.c_str())) {
      SetOption(list, name, value);
    }
  }
  return list;
}

int TypeFlag(AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    return AV_OPT_FLAG_VIDEO_PARAM;
  case AVMEDIA_TYPE_AUDIO:
    return AV_OPT_FLAG_AUDIO_PARAM;
  case AVMEDIA_TYPE_SUBTITLE:
    return AV_OPT_FLAG_SUBTITLE_PARAM;
  default:
    return 0;
  }
}

// The encoder a stream of AType will get: by name, else the container's
// default for that kind; null when neither is known.
const AVCodec *EncoderFor(const std::string &AName, AVMediaType AType,
                          const AVOutputFormat *AFormat) {
  if (!AName.empty())
    return ff::avcodec.avcodec_find_encoder_by_name(AName.c_str());
  if (!AFormat)
    return nullptr;
  AVCodecID id = AType == AVMEDIA_TYPE_VIDEO   ? AFormat->video_codec
                 : AType == AVMEDIA_TYPE_AUDIO ? AFormat->audio_codec
                                               : AFormat->subtitle_codec;
  return id == AV_CODEC_ID_NONE ? nullptr : ff::avcodec.avcodec_find_encoder(id);
}

TOptionList EncoderOptions(const TCustomFFmpeg &ATask, AVMediaType AType, const std::string &ACodec,
                           const AVOutputFormat *AFormat) {
  TFFOptions &opts = OptionsOf(ATask);
  AVCodecContext *ctx = opts.CodecOpts(AType);
  const AVCodec *enc = EncoderFor(ACodec, AType, AFormat);
  return RecordedOptions(opts, ctx, ctx, AV_OPT_FLAG_ENCODING_PARAM | TypeFlag(AType),
                         enc ? enc->priv_class : nullptr);
}

// A codec tag as the pipeline reads it: four printable characters, else the
// decimal number; "" for none.
std::string TagText(unsigned ATag) {
  if (ATag == 0)
    return {};
  std::string chars;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((ATag >> (8 * i)) & 0xFF);
    if (!std::isprint(static_cast<unsigned char>(c)))
      return std::to_string(ATag);
    chars += c;
  }
  return chars;
}

const AVOutputFormat *GuessOutputFormat(const std::string &AFileName,
                                        const std::string &AForceFormat) {
  return ff::avformat.av_guess_format(AForceFormat.empty() ? nullptr : AForceFormat.c_str(),
                                      AFileName.c_str(), nullptr);
}

bool SameRate(AVRational A, AVRational B) {
  return A.den != 0 && B.den != 0 &&
         static_cast<int64_t>(A.num) * B.den == static_cast<int64_t>(B.num) * A.den;
}

TVideoStreamSettings MapVideo(const TCustomFFmpeg &t, const AVOutputFormat *AFormat,
                              const TInheritedAudio &AInherited) {
  TVideoStreamSettings v;
  bool copy = t.Fvideo_stream_copy != 0;
  v.Codec = copy ? "copy" : t.Fvideo_codec_name;
  v.Width = t.Fframe_width;
  v.Height = t.Fframe_height;
  // A rate still equal to the input's own is left to the pipeline, as for
  // the audio values.
  v.FrameRate = t.Fframe_rate.den != 0 && !SameRate(t.Fframe_rate, AInherited.FrameRate)
                    ? t.Fframe_rate
                    : AVRational{0, 0};
  v.ForceFps = t.Fforce_fps != 0;
  v.AspectRatio = t.Fframe_aspect_ratio;
  v.PixFmt = t.Fframe_pix_fmt;
  v.QScale = t.Fvideo_qscale;
  v.SameQuant = t.Fsame_quality != 0;
  v.IntraOnly = t.Fintra_only != 0;
  v.Tag = TagText(t.Fvideo_codec_tag);
  v.Language = t.Fvideo_language;
  v.Filters = t.Fvfilters;
  v.BitstreamFilters = t.Fvideo_bitstream_filters;
  v.GlobalHeader = t.Fvideo_global_header;
  if (!copy)
    v.CodecOptions = EncoderOptions(t, AVMEDIA_TYPE_VIDEO, v.Codec, AFormat);
  v.ForcedKeyFrames = t.Fforced_key_frames;
  std::sort(v.ForcedKeyFrames.begin(), v.ForcedKeyFrames.end());
  v.IntraMatrix = t.Fintra_matrix;
  v.InterMatrix = t.Finter_matrix;
  v.RcOverride = t.Fvideo_rc_override_string;
  v.MeThreshold = t.Fme_threshold;
  v.IntraDcPrecision = t.Fintra_dc_precision;
  v.TopFieldFirst = t.Ftop_field_first;
  v.Psnr = t.Fdo_psnr != 0;
  v.Pass = t.Fdo_pass;
  v.PassLogFile = t.Fpass_logfilename_prefix;
  return v;
}

TAudioStreamSettings MapAudio(const TCustomFFmpeg &t, const AVOutputFormat *AFormat,
                              const TInheritedAudio &AInherited) {
  TAudioStreamSettings a;
  bool copy = t.Faudio_stream_copy != 0;
  a.Codec = copy ? "copy" : t.Faudio_codec_name;
  // A value still equal to what the input left in the settings is the
  // input's own: the pipeline takes it (0) and may adapt it to the encoder.
  a.Channels = AInherited.Channels > 0 && t.Faudio_channels == AInherited.Channels
                   ? 0
                   : std::max(0, t.Faudio_channels);
  a.SampleRate = AInherited.SampleRate > 0 && t.Faudio_sample_rate == AInherited.SampleRate
                     ? 0
                     : std::max(0, t.Faudio_sample_rate);
  a.SampleFmt = t.Faudio_sample_fmt;
  a.QScale = t.Faudio_qscale;
  a.Tag = TagText(t.Faudio_codec_tag);
  a.Language = t.Faudio_language;
  a.BitstreamFilters = t.Faudio_bitstream_filters;
  if (!copy)
    a.CodecOptions = EncoderOptions(t, AVMEDIA_TYPE_AUDIO, a.Codec, AFormat);
  return a;
}

TSubtitleStreamSettings MapSubtitle(const TCustomFFmpeg &t, const AVOutputFormat *AFormat) {
  TSubtitleStreamSettings s;
  bool copy = t.Fsubtitle_stream_copy != 0;
  s.Codec = copy ? "copy" : t.Fsubtitle_codec_name;
  s.Tag = TagText(t.Fsubtitle_codec_tag);
  s.Language = t.Fsubtitle_language;
  s.BitstreamFilters = t.Fsubtitle_bitstream_filters;
  if (!copy)
    s.CodecOptions = EncoderOptions(t, AVMEDIA_TYPE_SUBTITLE, s.Codec, AFormat);
  return s;
}

void ConsumeStreamSettings(TCustomFFmpeg &t, AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    t.Fvideo_codec_name.clear();
    t.Fvideo_stream_copy = 0;
    t.Fvideo_language.clear();
    t.Fvideo_disable = 0;
    t.Fforced_key_frames.clear();
    t.Fframe_pix_fmt = AV_PIX_FMT_NONE;
    break;
  case AVMEDIA_TYPE_AUDIO:
    t.Faudio_codec_name.clear();
    t.Faudio_stream_copy = 0;
    t.Faudio_language.clear();
    t.Faudio_disable = 0;
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    t.Fsubtitle_codec_name.clear();
    t.Fsubtitle_stream_copy = 0;
    t.Fsubtitle_language.clear();
    t.Fsubtitle_disable = 0;
    break;
  default:
    break;
  }
}

} // namespace

TTranscodeInput MapTranscodeInput(const TCustomFFmpeg &t) {
  TTranscodeInput in;
  in.ForceFormat = t.Flast_asked_format;
  in.TimeStart = t.Fstart_time != 0 ? t.Fstart_time : AV_NOPTS_VALUE;
  in.ProgramID = t.Fopt_programid;
  in.TsOffset = t.Finput_ts_offset;
  for (int i = 0; i < std::min(t.Fnb_ts_scale, MAX_STREAMS); ++i)
    if (t.Fts_scale[i] != 0)
      in.TsScale[i] = t.Fts_scale[i];
  in.VideoCodec = t.Fvideo_codec_name;
  in.AudioCodec = t.Faudio_codec_name;
  in.SubtitleCodec = t.Fsubtitle_codec_name;
  in.DisableVideo = t.Fvideo_disable != 0;
  in.DisableAudio = t.Faudio_disable != 0;
  in.DisableSubtitle = t.Fsubtitle_disable != 0;
  in.VideoDiscard = static_cast<AVDiscard>(t.Fvideo_discard);

  TFFOptions &opts = OptionsOf(t);
  const AVInputFormat *ifmt =
      in.ForceFormat.empty() ? nullptr : ff::avformat.av_find_input_format(in.ForceFormat.c_str());
  in.FormatOptions = RecordedOptions(opts, opts.FormatOpts(), opts.FormatOpts(),
                                     AV_OPT_FLAG_DECODING_PARAM, ifmt ? ifmt->priv_class : nullptr);
  AVCodecContext *vctx = opts.CodecOpts(AVMEDIA_TYPE_VIDEO);
  in.DecoderOptions = RecordedOptions(opts, vctx, vctx, AV_OPT_FLAG_DECODING_PARAM, nullptr);
  return in;
}

TTranscodeSettings MapTranscodeSettings(const TCustomFFmpeg &t) {
  TTranscodeSettings s;
  // The pipeline takes the option records' own map types.
  s.StreamMaps = t.Fstream_maps;
  s.MetaDataMaps = t.Fmeta_data_maps;
  s.ChapterMaps = t.Fchapter_maps;
  s.MetadataGlobalAutocopy = t.Fmetadata_global_autocopy != 0;
  s.MetadataStreamsAutocopy = t.Fmetadata_streams_autocopy != 0;
  s.MetadataChaptersAutocopy = t.Fmetadata_chapters_autocopy != 0;
  s.StartTime = t.Fstart_time;
  s.RecordingTime = t.Frecording_time;
  s.LimitFileSize = t.Flimit_filesize;
  std::copy(std::begin(t.Fmax_frames), std::end(t.Fmax_frames), std::begin(s.MaxFrames));
  s.InputSync = t.Finput_sync != 0;
  s.CopyTs = t.Fcopy_ts != 0;
  s.CopyTb = t.Fcopy_tb != 0;
  s.Shortest = t.Fopt_shortest != 0;
  s.ExitOnError = t.Fexit_on_error != 0;
  s.RateEmu = t.Frate_emu != 0;
  s.DumpPackets = t.Fdo_pkt_dump != 0;
  s.HexDump = t.Fdo_hex_dump != 0;
  s.CopyInitialNonKeyframes = t.Fcopy_initial_nonkeyframes;
  s.DtsDeltaThreshold = t.Fdts_delta_threshold;
  s.Verbose = t.Fverbose;
  s.ThreadCount = t.Fthread_count;
  s.AudioVolume = t.Faudio_volume;
  s.AudioSyncMethod = t.Faudio_sync_method;
  s.AudioDriftThreshold = t.Faudio_drift_threshold;
  s.VideoSyncMethod = t.Fvideo_sync_method;
  s.Deinterlace = t.Fdo_deinterlace != 0;
  s.SwsFlags = t.Fsws_flags;
  s.VStatsFile = t.Fvstats_filename;
  return s;
}

TTranscodeOutput MapTranscodeOutput(const TCustomFFmpeg &t, const std::string &AFileName,
                                    const TInheritedAudio &AInherited) {
  TTranscodeOutput o;
  o.FileName = AFileName;
  o.ForceFormat = t.Flast_asked_format;
  const AVOutputFormat *fmt = GuessOutputFormat(AFileName, o.ForceFormat);
  o.DisableVideo = t.Fvideo_disable != 0;
  o.DisableAudio = t.Faudio_disable != 0;
  o.DisableSubtitle = t.Fsubtitle_disable != 0;
  o.Video = MapVideo(t, fmt, AInherited);
  o.Audio = MapAudio(t, fmt, AInherited);
  o.Subtitle = MapSubtitle(t, fmt);
  o.Metadata = t.Fmetadata;
  o.Timestamp = t.Frecording_timestamp != 0 ? t.Frecording_timestamp : AV_NOPTS_VALUE;
  o.MuxPreload = t.Fmux_preload;
  o.MuxMaxDelay = t.Fmux_max_delay;
  o.LoopOutput = t.Floop_output;
  TFFOptions &opts = OptionsOf(t);
  o.FormatOptions = RecordedOptions(opts, opts.FormatOpts(), opts.FormatOpts(),
                                    AV_OPT_FLAG_ENCODING_PARAM, fmt ? fmt->priv_class : nullptr);
  for (size_t i = 0; i < t.Fstreamid_map.size(); ++i)
    if (t.Fstreamid_map[i] != 0)
      o.StreamIds[static_cast<int>(i)] = t.Fstreamid_map[i];
  return o;
}

TNewStream MapNewStream(const TCustomFFmpeg &ATask, AVMediaType AType, const std::string &AFileName,
                        const std::string &AForceFormat, const TInheritedAudio &AInherited) {
  TNewStream ns;
  ns.Kind = AType;
  const AVOutputFormat *fmt = GuessOutputFormat(AFileName, AForceFormat);
  if (AType == AVMEDIA_TYPE_VIDEO)
    ns.Video = MapVideo(ATask, fmt, AInherited);
  else if (AType == AVMEDIA_TYPE_AUDIO)
    ns.Audio = MapAudio(ATask, fmt, AInherited);
  else
    ns.Subtitle = MapSubtitle(ATask, fmt);
  ConsumeStreamSettings(const_cast<TCustomFFmpeg &>(ATask), AType);
  return ns;
}

void ConsumeInputSettings(TCustomFFmpeg &t, const AVFormatContext *AInput,
                          TInheritedAudio &AInherited) {
  t.Fvideo_codec_name.clear();
  t.Faudio_codec_name.clear();
  t.Fsubtitle_codec_name.clear();
  t.Fvideo_channel = 0;
  t.Fstart_time = 0;
  t.Flast_asked_format.clear();
  // Values that address "the next input" only.
  t.Finput_ts_offset = 0;
  t.Fnb_ts_scale = 0;
  std::fill(std::begin(t.Fts_scale), std::end(t.Fts_scale), 0.0);
  t.Fopt_programid = 0;
  if (!AInput)
    return;
  // The first video stream's rate (the base rate, else the average) becomes
  // the settings' frame rate: the disc targets decide their norm by it.
  for (unsigned i = 0; i < AInput->nb_streams; ++i) {
    const AVStream *st = AInput->streams[i];
    if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
        (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
      continue;
    AVRational r = st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0 ? st->r_frame_rate
                                                                        : st->avg_frame_rate;
    if (r.num > 0 && r.den > 0)
      t.Fframe_rate = AInherited.FrameRate = r;
    break;
  }
  int idx = ff::avformat.av_find_best_stream(const_cast<AVFormatContext *>(AInput),
                                             AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (idx < 0)
    return;
  const AVCodecParameters *par = AInput->streams[idx]->codecpar;
  if (par->sample_rate > 0 && par->ch_layout.nb_channels > 0) {
    t.Faudio_sample_rate = AInherited.SampleRate = par->sample_rate;
    t.Faudio_channels = AInherited.Channels = par->ch_layout.nb_channels;
  }
}

void ConsumeOutputSettings(TCustomFFmpeg &t) {
  t.Fstreamid_map.clear();
  ConsumeStreamSettings(t, AVMEDIA_TYPE_VIDEO);
  ConsumeStreamSettings(t, AVMEDIA_TYPE_AUDIO);
  ConsumeStreamSettings(t, AVMEDIA_TYPE_SUBTITLE);
  t.Flast_asked_format.clear();
}
