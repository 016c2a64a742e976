#include "engine/FFOutputFile.h"

#include "engine/FFLog.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace {

// "DIVX" -> MKTAG('D','I','V','X'); a number is taken as it is; "" -> 0.
bool ParseTag(const std::string &ATag, unsigned int &AOut) {
  AOut = 0;
  if (ATag.empty())
    return true;
  char *end = nullptr;
  unsigned long v = std::strtoul(ATag.c_str(), &end, 0);
  if (end && *end == '\0') {
    AOut = static_cast<unsigned int>(v);
    return true;
  }
  if (ATag.size() != 4)
    return false;
  AOut = MKTAG(ATag[0], ATag[1], ATag[2], ATag[3]);
  return true;
}

void SetLanguage(AVStream *st, const std::string &ALang) {
  if (!ALang.empty())
    ff::avutil.av_dict_set(&st->metadata, "language", ALang.c_str(), 0);
}

// Nearest rational to AValue with numerator and denominator up to 255.
AVRational SmallRational(double AValue) {
  if (AValue <= 0)
    return AVRational{0, 1};
  AVRational r = ff::avutil.av_d2q(AValue, 255);
  return r;
}

bool FileSize(const std::string &AName, int64_t &ASize) {
  struct stat sb;
  if (stat(AName.c_str(), &sb) != 0)
    return false;
  ASize = sb.st_size;
  return true;
}

} // namespace

TAVOutputStream::~TAVOutputStream() {
  if (audio_buf) {
    ff::avutil.av_freep(&audio_buf[0]);
    ff::avutil.av_freep(&audio_buf);
  }
  if (logfile)
    std::fclose(logfile);
  // The encoder context does not free stats_in; it is ours.
  enc_ctx.reset();
  if (stats_in)
    ff::avutil.av_freep(&stats_in);
  ff::avutil.av_channel_layout_uninit(&ch_layout);
  ff::avutil.av_channel_layout_uninit(&resample_ch_layout);
}

double TAVOutputStream::Position() const {
  if (encoding_needed) {
    if (kind == AVMEDIA_TYPE_AUDIO) {
      int64_t queued = fifo ? ff::avutil.av_audio_fifo_size(fifo.get()) : 0;
      return sample_rate > 0 ? static_cast<double>(sync_opts + queued) / sample_rate : 0;
    }
    if (kind == AVMEDIA_TYPE_VIDEO)
      return sync_opts * av_q2d(enc_time_base);
  }
  return last_pos_sec;
}

// ---------------------------------------------------------------------------
// Opening an output

TFFOutputFile::~TFFOutputFile() {
  Close(false);
}

int64_t TFFOutputFile::Size() const {
  if (!FCtx)
    return 0;
  if (FCtx->pb) {
    int64_t size = ff::avformat.avio_size(FCtx->pb);
    if (size <= 0)
      size = FCtx->pb->pos + (FCtx->pb->buf_ptr - FCtx->pb->buffer);
    return size > 0 ? size : 0;
  }
  return 0;
}

void TFFOutputFile::Close(bool ADeleteIfEmpty) {
  if (FClosed)
    return;
  FClosed = true;
  bool writesFile = FCtx && !(FCtx->oformat->flags & AVFMT_NOFILE);
  FStreams.clear();
  FCtx.reset();
  if (!writesFile)
    return;
  int64_t size = 0;
  bool exists = FileSize(FFileName, size);
  if (exists && (size == 0 || (ADeleteIfEmpty && packets_written == 0))) {
    std::error_code ec;
    std::filesystem::remove(FFileName, ec);
  }
}

TAVOutputStream *TFFOutputFile::NewStream(AVMediaType AKind, const TTranscodeOutput &AOut,
                                          const TVideoStreamSettings *AV,
                                          const TAudioStreamSettings *AA,
                                          const TSubtitleStreamSettings *ASub, TOpenContext &ACtx) {
  AVFormatContext *oc = FCtx.get();
  const TInheritedSettings &inh = *ACtx.Inherited;
  AVStream *st = ff::avformat.avformat_new_stream(oc, nullptr);
  if (!st)
    throw TTranscodeError("Could not alloc stream");
  auto idIt = AOut.StreamIds.find(static_cast<int>(oc->nb_streams) - 1);
  if (idIt != AOut.StreamIds.end())
    st->id = idIt->second;

  auto ost = std::make_unique<TAVOutputStream>();
  ost->file_index = ACtx.FileIndex;
  ost->index = st->index;
  ost->kind = AKind;
  ost->st = st;

  const std::string &codecName = AKind == AVMEDIA_TYPE_VIDEO   ? AV->Codec
                                 : AKind == AVMEDIA_TYPE_AUDIO ? AA->Codec
                                                               : ASub->Codec;
  const TOptionList &codecOpts = AKind == AVMEDIA_TYPE_VIDEO   ? AV->CodecOptions
                                 : AKind == AVMEDIA_TYPE_AUDIO ? AA->CodecOptions
                                                               : ASub->CodecOptions;
  const std::string &tagText = AKind == AVMEDIA_TYPE_VIDEO   ? AV->Tag
                               : AKind == AVMEDIA_TYPE_AUDIO ? AA->Tag
                                                             : ASub->Tag;
  if (codecName == "copy") {
    ost->stream_copy = true;
  } else if (!codecName.empty()) {
    std::string err;
    ost->enc = FindCodecByName(codecName, AKind, true, StrictLevel(codecOpts), err);
    if (!ost->enc)
      throw TTranscodeError(err);
  } else {
    AVCodecID id =
        ff::avformat.av_guess_codec(oc->oformat, nullptr, FFileName.c_str(), nullptr, AKind);
    if (id != AV_CODEC_ID_NONE)
      ost->enc = ff::avcodec.avcodec_find_encoder(id);
    if (!ost->enc)
      throw TTranscodeError(StrFmt("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                   static_cast<int>(id), ACtx.FileIndex, st->index,
                                   MediaTypeName(AKind)));
  }
  ost->encoding_needed = !ost->stream_copy;
  ost->codec_id = ost->enc ? ost->enc->id : AV_CODEC_ID_NONE;
  if (!ParseTag(tagText, ost->codec_tag))
    throw TTranscodeError("tag parameter must be 4 chars or int value");

  int vglobal = AKind == AVMEDIA_TYPE_VIDEO ? AV->GlobalHeader : 0;
  ost->global_header = (vglobal & 1) || (vglobal == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER));

  switch (AKind) {
  case AVMEDIA_TYPE_VIDEO: {
    ost->V = *AV;
    TVideoStreamSettings &v = ost->V;
    ost->size_requested = v.Width > 0 && v.Height > 0;
    if (v.Width <= 0 || v.Height <= 0) {
      v.Width = inh.Width;
      v.Height = inh.Height;
    }
    if (v.FrameRate.den == 0 || v.FrameRate.num <= 0)
      v.FrameRate = inh.FrameRate.den ? inh.FrameRate : AVRational{25, 1};
    if (v.PixFmt == AV_PIX_FMT_NONE)
      v.PixFmt = inh.PixFmt;
    SetLanguage(st, v.Language);
    break;
  }
  case AVMEDIA_TYPE_AUDIO: {
    ost->A = *AA;
    TAudioStreamSettings &a = ost->A;
    if (a.Channels <= 0)
      a.Channels = inh.Channels > 0 ? inh.Channels : 2;
    if (a.SampleRate <= 0)
      a.SampleRate = inh.SampleRate > 0 ? inh.SampleRate : 44100;
    if (a.SampleFmt == AV_SAMPLE_FMT_NONE)
      a.SampleFmt = inh.SampleFmt;
    SetLanguage(st, a.Language);
    break;
  }
  default:
    ost->S = *ASub;
    SetLanguage(st, ost->S.Language);
    break;
  }
  FStreams.push_back(std::move(ost));
  return FStreams.back().get();
}

std::unique_ptr<TFFOutputFile> TFFOutputFile::Open(const TTranscodeOutput &AOutput,
                                                   TOpenContext &ACtx, std::string &AErr) {
  std::unique_ptr<TFFOutputFile> out(new TFFOutputFile());
  out->FDesc = AOutput;
  out->FFileName = AOutput.FileName;
  out->FClosed = true; // nothing on disk yet

  // 3. Format.
  const AVOutputFormat *fmt = nullptr;
  if (!AOutput.ForceFormat.empty()) {
    fmt = ff::avformat.av_guess_format(AOutput.ForceFormat.c_str(), nullptr, nullptr);
    if (!fmt) {
      AErr = StrFmt("Requested output format '%s' is not a suitable output format",
                    AOutput.ForceFormat.c_str());
      return nullptr;
    }
  } else {
    fmt = ff::avformat.av_guess_format(nullptr, AOutput.FileName.c_str(), nullptr);
    if (!fmt) {
      AErr = StrFmt("Unable to find a suitable output format for '%s'", AOutput.FileName.c_str());
      return nullptr;
    }
  }
  std::string url = FileNameToFF(AOutput.FileName);
  if (url.size() > 1024) {
    AErr = GetErrorText(AOutput.FileName, AVERROR(ENAMETOOLONG));
    return nullptr;
  }
  AVFormatContext *oc = nullptr;
  int ret = FFAllocOutputContext(&oc, fmt, nullptr, url.c_str());
  if (ret < 0 || !oc) {
    AErr = "avformat_alloc_context failed";
    return nullptr;
  }
  out->FCtx.reset(oc);

  // 5. Stream kinds.
  bool hasKind[AVMEDIA_TYPE_NB] = {};
  for (const TFFInputFile *in : ACtx.Inputs)
    for (int i = 0; i < in->nb_streams; ++i) {
      AVMediaType t = in->Ctx()->streams[i]->codecpar->codec_type;
      if (t >= 0 && t < AVMEDIA_TYPE_NB && !in->StreamDisabled(i))
        hasKind[t] = true;
    }
  bool haveInputs = !ACtx.Inputs.empty();
  bool useVideo = AOutput.Video.Codec == "copy" || fmt->video_codec != AV_CODEC_ID_NONE ||
                  !AOutput.Video.Codec.empty();
  bool useAudio = AOutput.Audio.Codec == "copy" || fmt->audio_codec != AV_CODEC_ID_NONE ||
                  !AOutput.Audio.Codec.empty();
  bool useSubtitle = AOutput.Subtitle.Codec == "copy" || fmt->subtitle_codec != AV_CODEC_ID_NONE ||
                     !AOutput.Subtitle.Codec.empty();
  if (haveInputs) {
    useVideo = useVideo && hasKind[AVMEDIA_TYPE_VIDEO];
    useAudio = useAudio && hasKind[AVMEDIA_TYPE_AUDIO];
    useSubtitle = useSubtitle && hasKind[AVMEDIA_TYPE_SUBTITLE];
  }
  if (AOutput.DisableVideo)
    useVideo = false;
  if (AOutput.DisableAudio)
    useAudio = false;
  if (AOutput.DisableSubtitle)
    useSubtitle = false;

  // 6. Streams: video, audio, subtitle, then the further ones.
  const char *step = "new_video_stream fail: %s";
  try {
    if (useVideo)
      out->NewStream(AVMEDIA_TYPE_VIDEO, AOutput, &AOutput.Video, nullptr, nullptr, ACtx);
    step = "new_audio_stream fail: %s";
    if (useAudio)
      out->NewStream(AVMEDIA_TYPE_AUDIO, AOutput, nullptr, &AOutput.Audio, nullptr, ACtx);
    step = "new_subtitle_stream fail: %s";
    if (useSubtitle)
      out->NewStream(AVMEDIA_TYPE_SUBTITLE, AOutput, nullptr, nullptr, &AOutput.Subtitle, ACtx);
    for (const TNewStream &ns : AOutput.NewStreams) {
      step = ns.Kind == AVMEDIA_TYPE_VIDEO   ? "new_video_stream fail: %s"
             : ns.Kind == AVMEDIA_TYPE_AUDIO ? "new_audio_stream fail: %s"
                                             : "new_subtitle_stream fail: %s";
      if (ns.Kind == AVMEDIA_TYPE_VIDEO || ns.Kind == AVMEDIA_TYPE_AUDIO ||
          ns.Kind == AVMEDIA_TYPE_SUBTITLE)
        out->NewStream(ns.Kind, AOutput, &ns.Video, &ns.Audio, &ns.Subtitle, ACtx);
    }
  } catch (const TTranscodeError &e) {
    AErr = StrFmt(step, e.what());
    return nullptr;
  }

  // 7. Creation time and metadata.
  if (AOutput.Timestamp != AV_NOPTS_VALUE && AOutput.Timestamp >= 0) {
    time_t t = static_cast<time_t>(AOutput.Timestamp);
    struct tm tmv;
    char buf[64];
    gmtime_r(&t, &tmv);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", &tmv);
    ff::avutil.av_dict_set(&oc->metadata, "creation_time", buf, 0);
  }
  for (const auto &[k, v] : AOutput.Metadata)
    ff::avutil.av_dict_set(&oc->metadata, k.c_str(), v.c_str(), 0);

  // 8. Numbered file names.
  if ((fmt->flags & AVFMT_NEEDNUMBER) && !ff::avformat.av_filename_number_test(url.c_str())) {
    AErr = GetErrorText(AOutput.FileName, AVERROR(EDOM));
    return nullptr;
  }

  // 10. Container parameters (before the file exists, so a failure leaves nothing).
  if (AOutput.PacketSize > 0)
    oc->packet_size = AOutput.PacketSize;
  if (AOutput.MuxRate > 0)
    ff::avutil.av_opt_set_int(oc, "muxrate", AOutput.MuxRate, AV_OPT_SEARCH_CHILDREN);
  if (AOutput.MuxPreload >= 0)
    ff::avutil.av_opt_set_int(oc, "preload", static_cast<int64_t>(AOutput.MuxPreload * 1000000),
                              AV_OPT_SEARCH_CHILDREN);
  if (AOutput.MuxMaxDelay >= 0)
    oc->max_delay = static_cast<int>(AOutput.MuxMaxDelay * 1000000);
  if (AOutput.LoopOutput >= 0)
    ff::avutil.av_opt_set_int(oc, "loop", AOutput.LoopOutput, AV_OPT_SEARCH_CHILDREN);
  oc->flags |= AVFMT_FLAG_NONBLOCK;

  // 9. The file.
  if (!(fmt->flags & AVFMT_NOFILE)) {
    AVIOInterruptCB cb = FFInterruptCallback();
    TBlockingCall guard(*ACtx.Watch);
    ret = ff::avformat.avio_open2(&oc->pb, url.c_str(), AVIO_FLAG_WRITE, &cb, nullptr);
    if (ret < 0) {
      AErr = GetErrorText(AOutput.FileName, ret);
      return nullptr;
    }
  }
  out->FClosed = false;
  return out;
}

// ---------------------------------------------------------------------------
// Preparing copy and encoding

void PrepareStreamCopy(TAVOutputStream &AOst, TAVInputStream &AIst, const TTranscodeSettings &AS,
                       const TActiveHooks &AHooks, const AVOutputFormat *AFormat) {
  AVCodecParameters *ipar = AIst.st->codecpar;
  AVCodecParameters *opar = AOst.st->codecpar;
  if (static_cast<uint64_t>(ipar->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT_MAX)
    throw TTranscodeError("icodec.extradata_size is invalid (too large)");
  switch (ipar->codec_type) {
  case AVMEDIA_TYPE_AUDIO:
    if (AS.AudioVolume != 256)
      throw TTranscodeError("-acodec copy and -vol are incompatible (frames are not decoded)");
    if (AHooks.AudioHook)
      throw TTranscodeError("-acodec copy and AudioHook are incompatible (frames are not decoded)");
    break;
  case AVMEDIA_TYPE_VIDEO:
    if (AHooks.VideoHook)
      throw TTranscodeError("-vcodec copy and VideoHook are incompatible (frames are not decoded)");
    if (AHooks.FrameHooks)
      throw TTranscodeError("-vcodec copy and -vhook are incompatible (frames are not decoded)");
    if (AHooks.PostHooks)
      throw TTranscodeError("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
    break;
  case AVMEDIA_TYPE_SUBTITLE:
  case AVMEDIA_TYPE_DATA:
  case AVMEDIA_TYPE_ATTACHMENT:
    break;
  default:
    throw TTranscodeError("invalid codec_type of output stream");
  }
  int ret = ff::avcodec.avcodec_parameters_copy(opar, ipar);
  if (ret < 0)
    throw TTranscodeError("av_mallocz fail");
  // Keep the tag only where this container accepts it for the same codec.
  unsigned int tag = ipar->codec_tag;
  if (AFormat->codec_tag && tag &&
      ff::avformat.av_codec_get_id(AFormat->codec_tag, tag) != ipar->codec_id &&
      ff::avformat.av_codec_get_tag(AFormat->codec_tag, ipar->codec_id) > 0)
    tag = 0;
  opar->codec_tag = AOst.codec_tag ? AOst.codec_tag : tag;
  AOst.codec_id = ipar->codec_id;

  // Stream time base: the input's (the muxer may pick its own in the header).
  AOst.st->time_base = AIst.st->time_base;
  if (ipar->codec_type == AVMEDIA_TYPE_VIDEO) {
    AOst.st->avg_frame_rate = AIst.st->avg_frame_rate;
    AOst.st->r_frame_rate = AIst.st->r_frame_rate;
    AOst.st->sample_aspect_ratio = AIst.st->sample_aspect_ratio;
    if (AOst.V.AspectRatio > 0 && ipar->width > 0 && ipar->height > 0) {
      AOst.st->sample_aspect_ratio = SmallRational(AOst.V.AspectRatio * ipar->height / ipar->width);
      opar->sample_aspect_ratio = AOst.st->sample_aspect_ratio;
    }
  } else if (ipar->codec_type == AVMEDIA_TYPE_AUDIO) {
    if ((ipar->codec_id == AV_CODEC_ID_MP3 && ipar->block_align == 1) ||
        ipar->codec_id == AV_CODEC_ID_AC3)
      opar->block_align = 0;
  }
  AOst.st->disposition = AIst.st->disposition;
}

void PrepareEncoding(TAVOutputStream &AOst, TAVInputStream &AIst, const TTranscodeSettings &AS) {
  (void)AS;
  const AVCodec *enc = AOst.enc;
  AVCodecParameters *ipar = AIst.st->codecpar;
  switch (AOst.kind) {
  case AVMEDIA_TYPE_VIDEO: {
    const TVideoStreamSettings &v = AOst.V;
    AVPixelFormat want = v.PixFmt;
    if (want == AV_PIX_FMT_NONE && ipar->format >= 0)
      want = static_cast<AVPixelFormat>(ipar->format);
    if (enc->pix_fmts) {
      const AVPixelFormat *p = enc->pix_fmts;
      bool listed = false;
      for (; *p != AV_PIX_FMT_NONE; ++p)
        listed = listed || *p == want;
      if (!listed)
        want = enc->pix_fmts[0];
    }
    if (want == AV_PIX_FMT_NONE || !ff::avutil.av_pix_fmt_desc_get(want))
      throw TTranscodeError("Video pixel format is unknown, stream cannot be encoded");
    AOst.pix_fmt = want;
    AOst.frame_rate = v.FrameRate;
    if (enc->supported_framerates && !v.ForceFps) {
      int idx = ff::avutil.av_find_nearest_q_idx(AOst.frame_rate, enc->supported_framerates);
      AOst.frame_rate = enc->supported_framerates[idx];
    }
    AOst.enc_time_base = av_inv_q(AOst.frame_rate);
    AOst.width = v.Width > 0 ? v.Width : ipar->width;
    AOst.height = v.Height > 0 ? v.Height : ipar->height;
    AOst.original_width = ipar->width;
    AOst.original_height = ipar->height;
    if (!v.RcOverride.empty()) {
      // Checked here so that a malformed entry fails the run before anything is written.
      std::string text = v.RcOverride;
      size_t pos = 0;
      while (pos <= text.size()) {
        size_t slash = text.find('/', pos);
        std::string item =
            text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        int a, b, q;
        if (std::sscanf(item.c_str(), "%d,%d,%d", &a, &b, &q) != 3)
          throw TTranscodeError("error parsing rc_override");
        if (slash == std::string::npos)
          break;
        pos = slash + 1;
      }
    }
    break;
  }
  case AVMEDIA_TYPE_AUDIO: {
    const TAudioStreamSettings &a = AOst.A;
    int rate = a.SampleRate;
    if (enc->supported_samplerates) {
      int best = 0, bestDiff = INT_MAX;
      for (const int *p = enc->supported_samplerates; *p; ++p) {
        int diff = std::abs(*p - rate);
        if (diff < bestDiff) {
          bestDiff = diff;
          best = *p;
        }
      }
      if (best && best != rate) {
        FFLogger().LogFmt(nullptr, llWarning,
                          "Requested sampling rate unsupported using closest supported (%d)", best);
        rate = best;
      }
    }
    AOst.sample_rate = rate;
    AVSampleFormat fmt = a.SampleFmt;
    if (fmt == AV_SAMPLE_FMT_NONE)
      fmt = static_cast<AVSampleFormat>(ipar->format);
    if (enc->sample_fmts) {
      bool listed = false;
      for (const AVSampleFormat *p = enc->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
        listed = listed || *p == fmt;
      if (!listed)
        fmt = enc->sample_fmts[0];
    }
    if (fmt == AV_SAMPLE_FMT_NONE)
      fmt = AV_SAMPLE_FMT_S16;
    AOst.sample_fmt = fmt;
    ff::avutil.av_channel_layout_uninit(&AOst.ch_layout);
    bool chosen = false;
    if (enc->ch_layouts) {
      for (const AVChannelLayout *l = enc->ch_layouts; l->nb_channels; ++l)
        if (l->nb_channels == a.Channels) {
          ff::avutil.av_channel_layout_copy(&AOst.ch_layout, l);
          chosen = true;
          break;
        }
      if (!chosen) {
        // The encoder cannot take that many channels: use its first layout.
        ff::avutil.av_channel_layout_copy(&AOst.ch_layout, &enc->ch_layouts[0]);
        chosen = true;
      }
    }
    if (!chosen)
      ff::avutil.av_channel_layout_default(&AOst.ch_layout, a.Channels);
    AOst.enc_time_base = AVRational{1, AOst.sample_rate};
    break;
  }
  case AVMEDIA_TYPE_SUBTITLE:
    AOst.width = ipar->width;
    AOst.height = ipar->height;
    AOst.enc_time_base = AV_TIME_BASE_Q;
    break;
  default:
    throw TTranscodeError("invalid codec_type of output stream");
  }
  AIst.decoding_needed = true;

  // Two-pass log file.
  if (AOst.kind == AVMEDIA_TYPE_VIDEO && (AOst.V.Pass == 1 || AOst.V.Pass == 2)) {
    std::string prefix = AOst.V.PassLogFile.empty() ? "ffmpeg2pass" : AOst.V.PassLogFile;
    std::string name = StrFmt("%s-%d.log", prefix.c_str(), AOst.index);
    if (name.size() > 1023)
      name.resize(1023);
    if (AOst.V.Pass == 1) {
      AOst.logfile = std::fopen(name.c_str(), "wb");
      if (!AOst.logfile)
        throw TTranscodeError(StrFmt("Cannot write log file %s for pass-1 encoding", name.c_str()));
    } else {
      FILE *f = std::fopen(name.c_str(), "rb");
      if (!f)
        throw TTranscodeError(StrFmt(
            "Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
      std::fseek(f, 0, SEEK_END);
      long size = std::ftell(f);
      std::fseek(f, 0, SEEK_SET);
      char *buf = size >= 0 ? static_cast<char *>(ff::avutil.av_malloc(size + 1)) : nullptr;
      if (!buf) {
        std::fclose(f);
        throw TTranscodeError(StrFmt("Could not allocate file buffer: Error reading log file "
                                     "\"%s\" for pass-2 encoding",
                                     name.c_str()));
      }
      size_t got = std::fread(buf, 1, size, f);
      std::fclose(f);
      if (static_cast<long>(got) != size) {
        ff::avutil.av_free(buf);
        throw TTranscodeError(StrFmt(
            "Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
      }
      buf[size] = '\0';
      AOst.stats_in = buf;
    }
  }
}

int OpenEncoder(TAVOutputStream &AOst, const TTranscodeSettings &AS,
                const AVCodecContext *ADecoder) {
  const AVCodec *enc = AOst.enc;
  AVCodecContext *c = ff::avcodec.avcodec_alloc_context3(enc);
  if (!c)
    return AVERROR(ENOMEM);
  AOst.enc_ctx.reset(c);
  c->thread_count = AS.ThreadCount;
  c->codec_tag = AOst.codec_tag;
  const TOptionList *opts = AOst.kind == AVMEDIA_TYPE_VIDEO   ? &AOst.V.CodecOptions
                            : AOst.kind == AVMEDIA_TYPE_AUDIO ? &AOst.A.CodecOptions
                                                              : &AOst.S.CodecOptions;
  // The recorded "flags"/"flags2" values are absolute (read back from the
  // option context), so they go in first: the flags the pipeline needs
  // below (global header, qscale, passes, ...) are added on top of them
  // instead of being wiped by the option dictionary at open.
  for (const auto &[k, v] : *opts)
    if (k == "flags" || k == "flags2") {
      int ret = ff::avutil.av_opt_set(c, k.c_str(), v.c_str(), 0);
      if (ret < 0) {
        AOst.enc_ctx.reset();
        return ret;
      }
    }
  if (AOst.global_header)
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (AOst.kind == AVMEDIA_TYPE_VIDEO && (AOst.V.GlobalHeader & 2))
    c->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  c->time_base = AOst.enc_time_base;

  if (AOst.kind == AVMEDIA_TYPE_VIDEO) {
    const TVideoStreamSettings &v = AOst.V;
    c->width = AOst.width;
    c->height = AOst.height;
    c->pix_fmt = AOst.pix_fmt;
    c->framerate = AOst.frame_rate;
    c->sample_aspect_ratio = AOst.sample_aspect_ratio;
    if (v.BitRate > 0)
      c->bit_rate = v.BitRate;
    if (v.MaxRate > 0)
      c->rc_max_rate = v.MaxRate;
    if (v.MinRate > 0)
      c->rc_min_rate = v.MinRate;
    if (v.BufSize > 0) {
      c->rc_buffer_size = static_cast<int>(v.BufSize);
      c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
    }
    if (v.BitRateTolerance > 0)
      c->bit_rate_tolerance = static_cast<int>(v.BitRateTolerance);
    if (v.GopSize > 0)
      c->gop_size = v.GopSize;
    if (v.IntraOnly)
      c->gop_size = 0;
    if (v.QScale > 0 || v.SameQuant) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = static_cast<int>(FF_QP2LAMBDA * (v.QScale > 0 ? v.QScale : 1));
    }
    if (v.IntraMatrix.size() == 64) {
      c->intra_matrix = static_cast<uint16_t *>(ff::avutil.av_malloc(64 * sizeof(uint16_t)));
      if (c->intra_matrix)
        std::copy(v.IntraMatrix.begin(), v.IntraMatrix.end(), c->intra_matrix);
    }
    if (v.InterMatrix.size() == 64) {
      c->inter_matrix = static_cast<uint16_t *>(ff::avutil.av_malloc(64 * sizeof(uint16_t)));
      if (c->inter_matrix)
        std::copy(v.InterMatrix.begin(), v.InterMatrix.end(), c->inter_matrix);
    }
    if (!v.RcOverride.empty()) {
      std::vector<RcOverride> items;
      size_t pos = 0;
      const std::string &text = v.RcOverride;
      while (pos <= text.size()) {
        size_t slash = text.find('/', pos);
        std::string item =
            text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        RcOverride r{};
        int q = 0;
        if (std::sscanf(item.c_str(), "%d,%d,%d", &r.start_frame, &r.end_frame, &q) == 3) {
          if (q > 0) {
            r.qscale = q;
            r.quality_factor = 1.0f;
          } else {
            r.qscale = 0;
            r.quality_factor = -q / 100.0f;
          }
          items.push_back(r);
        }
        if (slash == std::string::npos)
          break;
        pos = slash + 1;
      }
      c->rc_override =
          static_cast<RcOverride *>(ff::avutil.av_malloc(items.size() * sizeof(RcOverride)));
      if (c->rc_override) {
        std::copy(items.begin(), items.end(), c->rc_override);
        c->rc_override_count = static_cast<int>(items.size());
      }
    }
    c->intra_dc_precision = v.IntraDcPrecision - 8;
    if (v.Psnr)
      c->flags |= AV_CODEC_FLAG_PSNR;
    if (v.Pass == 1)
      c->flags |= AV_CODEC_FLAG_PASS1;
    if (v.Pass == 2) {
      c->flags |= AV_CODEC_FLAG_PASS2;
      c->stats_in = AOst.stats_in;
    }
  } else if (AOst.kind == AVMEDIA_TYPE_AUDIO) {
    const TAudioStreamSettings &a = AOst.A;
    c->sample_rate = AOst.sample_rate;
    c->sample_fmt = AOst.sample_fmt;
    ff::avutil.av_channel_layout_copy(&c->ch_layout, &AOst.ch_layout);
    if (a.BitRate > 0)
      c->bit_rate = a.BitRate;
    if (a.BitRateTolerance > 0)
      c->bit_rate_tolerance = static_cast<int>(a.BitRateTolerance);
    if (a.QScale > -99999.0f) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = static_cast<int>(FF_QP2LAMBDA * a.QScale);
    }
  } else {
    c->width = AOst.width;
    c->height = AOst.height;
    if (ADecoder && ADecoder->subtitle_header && ADecoder->subtitle_header_size > 0) {
      // Text subtitle encoders need the decoder's style header.
      c->subtitle_header =
          static_cast<uint8_t *>(ff::avutil.av_mallocz(ADecoder->subtitle_header_size + 1));
      if (c->subtitle_header) {
        std::memcpy(c->subtitle_header, ADecoder->subtitle_header, ADecoder->subtitle_header_size);
        c->subtitle_header_size = ADecoder->subtitle_header_size;
      }
    }
  }

  TFFDictionary dict;
  for (const auto &[k, v] : *opts)
    if (k != "flags" && k != "flags2")
      ff::avutil.av_dict_set(dict.Addr(), k.c_str(), v.c_str(), 0);
  int ret = ff::avcodec.avcodec_open2(c, enc, dict.Addr());
  if (ret < 0) {
    AOst.enc_ctx.reset();
    return ret;
  }
  for (const AVDictionaryEntry *e = nullptr;
       (e = ff::avutil.av_dict_get(dict.Get(), "", e, AV_DICT_IGNORE_SUFFIX));)
    FFLogger().LogFmt(nullptr, llWarning, "Codec option %s not used by encoder %s", e->key,
                      enc->name);
  AOst.enc_time_base = c->time_base;
  ret = ff::avcodec.avcodec_parameters_from_context(AOst.st->codecpar, c);
  if (ret < 0)
    return ret;
  AOst.st->time_base = c->time_base;
  if (AOst.kind == AVMEDIA_TYPE_VIDEO) {
    AOst.st->avg_frame_rate = AOst.frame_rate;
    AOst.st->sample_aspect_ratio = c->sample_aspect_ratio;
  }
  return 0;
}
