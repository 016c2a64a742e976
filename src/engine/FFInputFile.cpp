#include "engine/FFInputFile.h"

#include "engine/FFLog.h"

#include <cmath>
#include <cstdarg>
#include <thread>

std::string StrFmt(const char *AFormat, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, AFormat);
  int n = std::vsnprintf(buf, sizeof buf, AFormat, ap);
  va_end(ap);
  if (n < 0)
    return std::string();
  if (static_cast<size_t>(n) < sizeof buf)
    return std::string(buf, n);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, AFormat);
  std::vsnprintf(s.data(), s.size(), AFormat, ap);
  va_end(ap);
  s.resize(n);
  return s;
}

const char *MediaTypeName(AVMediaType AType) {
  const char *s = ff::avutil.av_get_media_type_string(AType);
  return s ? s : "unknown";
}

int StrictLevel(const TOptionList &AOptions) {
  int level = 0;
  for (const auto &[name, value] : AOptions) {
    if (name != "strict")
      continue;
    if (value == "very")
      level = 2;
    else if (value == "strict")
      level = 1;
    else if (value == "normal")
      level = 0;
    else if (value == "unofficial")
      level = -1;
    else if (value == "experimental")
      level = -2;
    else
      level = std::atoi(value.c_str());
  }
  return level;
}

const AVCodec *FindCodecByName(const std::string &AName, AVMediaType AType, bool AIsEncoder,
                               int AStrict, std::string &AErr) {
  const char *kind = AIsEncoder ? "encoder" : "decoder";
  const AVCodec *codec = AIsEncoder ? ff::avcodec.avcodec_find_encoder_by_name(AName.c_str())
                                    : ff::avcodec.avcodec_find_decoder_by_name(AName.c_str());
  if (!codec) {
    AErr = StrFmt("Unknown %s '%s'", kind, AName.c_str());
    return nullptr;
  }
  if (codec->type != AType) {
    AErr = StrFmt("Invalid %s type '%s'", kind, AName.c_str());
    return nullptr;
  }
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && AStrict > FF_COMPLIANCE_EXPERIMENTAL) {
    AErr = StrFmt("%s '%s' is experimental and might produce bad results.\r\nAdd '-strict "
                  "experimental' if you want to use it.",
                  kind, AName.c_str());
    const AVCodec *other = AIsEncoder ? ff::avcodec.avcodec_find_encoder(codec->id)
                                      : ff::avcodec.avcodec_find_decoder(codec->id);
    if (other && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      AErr += StrFmt("\r\nOr use the non experimental %s '%s'.", kind, other->name);
    return nullptr;
  }
  return codec;
}

// ---------------------------------------------------------------------------
// Time-out watch

bool TIOWatch::TimeoutCheck(void *ASender, void *) {
  auto *w = static_cast<TIOWatch *>(ASender);
  if (w->ReadTimeoutMs <= 0)
    return false;
  int64_t last = w->LastReadTime.load();
  if (last == INT64_MAX)
    return false;
  if (last != 0 &&
      ff::avutil.av_gettime_relative() - last <= static_cast<int64_t>(w->ReadTimeoutMs) * 1000)
    return false;
  FFLogger().Log(w, llInfo,
                 last == 0 ? "connecting/reading/writing canceled"
                           : "connecting/reading/writing timeout");
  return true;
}

TBlockingCall::TBlockingCall(TIOWatch &AWatch) : FWatch(AWatch) {
  InterruptCB().Add(std::this_thread::get_id(), &FWatch, &TIOWatch::TimeoutCheck, nullptr);
  // A stop that came before the call keeps the watch cancelled.
  FCancelled = FWatch.LastReadTime.load() == 0;
  if (!FCancelled)
    FWatch.LastReadTime.store(ff::avutil.av_gettime_relative());
}

TBlockingCall::~TBlockingCall() {
  int64_t expected = FWatch.LastReadTime.load();
  if (expected != 0)
    FWatch.LastReadTime.store(INT64_MAX);
  InterruptCB().Remove(std::this_thread::get_id(), &FWatch, &TIOWatch::TimeoutCheck);
}

// ---------------------------------------------------------------------------
// Input file

int64_t TFFInputFile::Duration() const {
  if (!FCtx || FCtx->duration == AV_NOPTS_VALUE || FCtx->duration <= 0)
    return -1;
  return FCtx->duration;
}

int64_t TFFInputFile::RemainingDuration() const {
  int64_t d = Duration();
  if (d < 0 || FDesc.TimeStart == AV_NOPTS_VALUE || FDesc.TimeStart <= 0)
    return d;
  return d > FDesc.TimeStart ? d - FDesc.TimeStart : 0;
}

int TFFInputFile::BestStream(AVMediaType AType) const {
  if (AType < 0 || AType >= AVMEDIA_TYPE_NB)
    return -1;
  return FBest[AType];
}

const AVCodec *TFFInputFile::Decoder(int AStream) const {
  if (AStream < 0 || AStream >= static_cast<int>(FDecoders.size()))
    return nullptr;
  return FDecoders[AStream];
}

bool TFFInputFile::StreamDisabled(int AStream) const {
  if (AStream < 0 || AStream >= static_cast<int>(FDisabled.size()))
    return true;
  return FDisabled[AStream];
}

std::unique_ptr<TFFInputFile> TFFInputFile::Open(const TTranscodeInput &AInput, TOpenContext &ACtx,
                                                 std::string &AErr) {
  const TTranscodeSettings &S = *ACtx.Settings;
  std::unique_ptr<TFFInputFile> in(new TFFInputFile());
  in->FDesc = AInput;

  // 1. Forced format.
  const AVInputFormat *fmt = nullptr;
  if (!AInput.ForceFormat.empty()) {
    fmt = ff::avformat.av_find_input_format(AInput.ForceFormat.c_str());
    if (!fmt) {
      AErr = StrFmt("Unknown input format: \"%s\"", AInput.ForceFormat.c_str());
      return nullptr;
    }
  }

  // 3. Decoder names are checked before anything is opened.
  const AVCodec *namedDec[3] = {nullptr, nullptr, nullptr};
  const std::string *names[3] = {&AInput.VideoCodec, &AInput.AudioCodec, &AInput.SubtitleCodec};
  const AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
  for (int i = 0; i < 3; ++i) {
    if (names[i]->empty())
      continue;
    namedDec[i] =
        FindCodecByName(*names[i], types[i], false, StrictLevel(AInput.DecoderOptions), AErr);
    if (!namedDec[i])
      return nullptr;
  }

  // 2./4. Open with the demuxer options, the time-out watch around the call.
  TFFDictionary opts;
  for (const auto &[k, v] : AInput.FormatOptions)
    ff::avutil.av_dict_set(opts.Addr(), k.c_str(), v.c_str(), 0);
  std::string url = FileNameToFF(AInput.FileName);
  AVFormatContext *ic = nullptr;
  int ret;
  {
    TBlockingCall guard(*ACtx.Watch);
    ret = FFOpenInput(&ic, url.c_str(), fmt, opts.Addr());
  }
  if (ret < 0) {
    AErr = GetErrorText(AInput.FileName, ret);
    return nullptr;
  }
  in->FCtx.reset(ic);
  ic->flags |= AVFMT_FLAG_NONBLOCK;
  for (const AVDictionaryEntry *e = nullptr;
       (e = ff::avutil.av_dict_get(opts.Get(), "", e, AV_DICT_IGNORE_SUFFIX));)
    FFLogger().LogFmt(nullptr, llWarning, "Option %s not used by the demuxer of %s", e->key,
                      AInput.FileName.c_str());

  // 5. Program selection.
  if (AInput.ProgramID > 0) {
    bool found = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      ic->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
      AVProgram *prog = ic->programs[p];
      if (prog->id != AInput.ProgramID)
        continue;
      found = true;
      for (unsigned j = 0; j < prog->nb_stream_indexes; ++j)
        ic->streams[prog->stream_index[j]]->discard = AVDISCARD_DEFAULT;
    }
    if (!found) {
      AErr = "Specified program id not found";
      return nullptr;
    }
  }

  // 6. Analysis.
  if (ACtx.Events && ACtx.Events->OnBeforeFindStreamInfo)
    ACtx.Events->OnBeforeFindStreamInfo(ic);
  {
    TBlockingCall guard(*ACtx.Watch);
    ret = ff::avformat.avformat_find_stream_info(ic, nullptr);
  }
  if (ret < 0 && S.Verbose >= 0) {
    FFLogger().LogFmt(nullptr, llVerbose, "%s: could not find codec parameters",
                      AInput.FileName.c_str());
    AErr = StrFmt("%s: could not find codec parameters", AInput.FileName.c_str());
    return nullptr;
  }

  // 7. Start position.
  int64_t timestamp = AInput.TimeStart == AV_NOPTS_VALUE ? 0 : AInput.TimeStart;
  if (ic->start_time != AV_NOPTS_VALUE)
    timestamp += ic->start_time;
  if (AInput.TimeStart != AV_NOPTS_VALUE && AInput.TimeStart != 0) {
    TBlockingCall guard(*ACtx.Watch);
    ret = ff::avformat.avformat_seek_file(ic, -1, INT64_MIN, timestamp, timestamp, 0);
    if (ret < 0 && S.Verbose > 0)
      FFLogger().LogFmt(nullptr, llVerbose, "%s: could not seek to position %0.3f",
                        AInput.FileName.c_str(), timestamp / 1000000.0);
  }

  // 9. Per stream: decoder choice, discard, properties handed to the output.
  in->FDecoders.assign(ic->nb_streams, nullptr);
  in->FDisabled.assign(ic->nb_streams, false);
  TInheritedSettings &inh = *ACtx.Inherited;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream *st = ic->streams[i];
    AVCodecParameters *par = st->codecpar;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
      in->FDecoders[i] =
          namedDec[0] ? namedDec[0] : ff::avcodec.avcodec_find_decoder(par->codec_id);
      inh.Width = par->width;
      inh.Height = par->height;
      AVRational sar =
          st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
      if (par->width && par->height)
        inh.AspectRatio = (sar.num ? av_q2d(sar) : 1.0) * par->width / par->height;
      else
        inh.AspectRatio = sar.num ? av_q2d(sar) : 4.0 / 3.0;
      inh.PixFmt =
          par->format < 0 ? static_cast<AVPixelFormat>(0) : static_cast<AVPixelFormat>(par->format);
      AVRational rate = ff::avformat.av_guess_frame_rate(ic, st, nullptr);
      if (rate.num > 0 && rate.den > 0) {
        inh.FrameRate = rate;
        if (S.Verbose >= 0 && st->r_frame_rate.num && st->avg_frame_rate.num &&
            av_cmp_q(st->r_frame_rate, st->avg_frame_rate) != 0)
          FFLogger().LogFmt(nullptr, llInfo,
                            "Seems stream %d codec frame rate differs from container frame rate: "
                            "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                            i, av_q2d(st->avg_frame_rate), st->avg_frame_rate.num,
                            st->avg_frame_rate.den, av_q2d(rate), rate.num, rate.den);
      }
      if (AInput.DisableVideo) {
        st->discard = AVDISCARD_ALL;
        in->FDisabled[i] = true;
      } else if (st->discard != AVDISCARD_ALL) {
        st->discard = AInput.VideoDiscard;
      }
      break;
    }
    case AVMEDIA_TYPE_AUDIO:
      in->FDecoders[i] =
          namedDec[1] ? namedDec[1] : ff::avcodec.avcodec_find_decoder(par->codec_id);
      if (par->ch_layout.nb_channels > 0)
        inh.Channels = par->ch_layout.nb_channels;
      if (par->sample_rate > 0)
        inh.SampleRate = par->sample_rate;
      inh.SampleFmt = static_cast<AVSampleFormat>(par->format);
      if (AInput.DisableAudio) {
        st->discard = AVDISCARD_ALL;
        in->FDisabled[i] = true;
      }
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      in->FDecoders[i] =
          namedDec[2] ? namedDec[2] : ff::avcodec.avcodec_find_decoder(par->codec_id);
      if (AInput.DisableSubtitle) {
        st->discard = AVDISCARD_ALL;
        in->FDisabled[i] = true;
      }
      break;
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
    case AVMEDIA_TYPE_UNKNOWN:
      break;
    default:
      AErr = "invalid codec_type";
      return nullptr;
    }
    if (st->discard == AVDISCARD_ALL)
      in->FDisabled[i] = true;
  }
  for (int t = 0; t < AVMEDIA_TYPE_NB; ++t) {
    int best =
        ff::avformat.av_find_best_stream(ic, static_cast<AVMediaType>(t), -1, -1, nullptr, 0);
    in->FBest[t] = best >= 0 ? best : -1;
  }

  // 10. Total output duration.
  if (ACtx.TotalOutputDuration && in->RemainingDuration() > *ACtx.TotalOutputDuration)
    *ACtx.TotalOutputDuration = in->RemainingDuration();

  // 11. Timestamp offset.
  in->ts_offset = S.CopyTs ? AInput.TsOffset : AInput.TsOffset - timestamp;
  in->nb_streams = static_cast<int>(ic->nb_streams);

  // 12. Description in the log.
  if (S.Verbose >= 0 && FFLogger().Passes(llInfo))
    ff::avformat.av_dump_format(ic, 0, url.c_str(), 0);
  return in;
}
