#include "engine/FFStreamProc.h"

#include "engine/FFLog.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>

bool TTranscodeState::StopRequested() const {
  return Broken.load(std::memory_order_relaxed) || (Events.StopRequested && Events.StopRequested());
}

namespace {

constexpr AVRational kMicro{1, AV_TIME_BASE};

// ---------------------------------------------------------------------------
// Writing

void Mux(TTranscodeState &AS, TAVOutputStream &AOst, AVPacket *APkt, AVRational ASrcTb) {
  TFFOutputFile &of = *AS.Outputs[AOst.file_index];
  APkt->stream_index = AOst.index;
  ff::avcodec.av_packet_rescale_ts(APkt, ASrcTb, AOst.st->time_base);
  int64_t end = APkt->pts != AV_NOPTS_VALUE ? APkt->pts : APkt->dts;
  if (end != AV_NOPTS_VALUE) {
    if (APkt->duration > 0)
      end += APkt->duration;
    double pos = end * av_q2d(AOst.st->time_base);
    if (pos > AOst.last_pos_sec)
      AOst.last_pos_sec = pos;
  }
  AOst.packets_written++;
  of.packets_written++;
  int ret = ff::avformat.av_interleaved_write_frame(of.Ctx(), APkt);
  if (ret < 0)
    throw TTranscodeError("av_interleaved_write_frame(): " + ErrorCodeText(ret));
}

void ApplyBsf(TTranscodeState &AS, TAVOutputStream &AOst, size_t ALevel, AVPacket *APkt,
              AVRational ASrcTb) {
  if (ALevel >= AOst.bsfs.size()) {
    Mux(AS, AOst, APkt, ASrcTb);
    return;
  }
  AVBSFContext *bsf = AOst.bsfs[ALevel].get();
  auto fail = [&](int ret) {
    std::string text = StrFmt("%s failed for stream %d, codec %s", bsf->filter->name, AOst.index,
                              AOst.enc ? AOst.enc->name : "copy") +
                       ": " + ErrorCodeText(ret);
    if (AS.Settings.ExitOnError)
      throw TTranscodeError(text);
    FFLogger().Log(nullptr, llError, text);
  };
  int ret = ff::avcodec.av_bsf_send_packet(bsf, APkt);
  if (ret < 0) {
    ff::avcodec.av_packet_unref(APkt);
    fail(ret);
    return;
  }
  TFFPacketPtr out = FFAllocPacket();
  while ((ret = ff::avcodec.av_bsf_receive_packet(bsf, out.get())) >= 0)
    ApplyBsf(AS, AOst, ALevel + 1, out.get(), bsf->time_base_out);
  if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
    fail(ret);
}

// ---------------------------------------------------------------------------
// Encoders

void WriteVStats(TTranscodeState &AS, TAVOutputStream &AOst, int AFrameSize) {
  if (AS.Settings.VStatsFile.empty())
    return;
  if (!AS.VStatsFile) {
    AS.VStatsFile = std::fopen(AS.Settings.VStatsFile.c_str(), "w");
    if (!AS.VStatsFile)
      throw TTranscodeError("fopen fail: " + AS.Settings.VStatsFile);
  }
  FILE *f = AS.VStatsFile;
  std::fprintf(f, "frame= %5d q= %2.1f ", static_cast<int>(AOst.frame_number), AOst.last_quality);
  std::fprintf(f, "f_size= %6d ", AFrameSize);
  double ti1 = AOst.sync_opts * av_q2d(AOst.enc_time_base);
  if (ti1 < 0.01)
    ti1 = 0.01;
  double bitrate = AFrameSize * 8 / av_q2d(AOst.enc_time_base) / 1000.0;
  double avg = AS.video_size * 8 / ti1 / 1000.0;
  std::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               AS.video_size / 1024.0, ti1, bitrate, avg);
  std::fprintf(f, "type= %c\n", AOst.last_pict_type);
}

// Takes every packet the encoder has ready and writes it.
void ReceivePackets(TTranscodeState &AS, TAVOutputStream &AOst) {
  AVCodecContext *enc = AOst.enc_ctx.get();
  if (!AOst.pkt)
    AOst.pkt = FFAllocPacket();
  AVPacket *pkt = AOst.pkt.get();
  int ret;
  while ((ret = ff::avcodec.avcodec_receive_packet(enc, pkt)) >= 0) {
    if (AOst.kind == AVMEDIA_TYPE_VIDEO) {
      size_t sdSize = 0;
      const uint8_t *sd =
          ff::avcodec.av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sdSize);
      if (sd && sdSize >= 5) {
        int32_t q;
        std::memcpy(&q, sd, 4);
        AOst.last_quality = static_cast<float>(q) / FF_QP2LAMBDA;
        AOst.last_pict_type =
            ff::avutil.av_get_picture_type_char(static_cast<AVPictureType>(sd[4]));
      }
      AS.video_size += pkt->size;
      int size = pkt->size;
      if (AOst.logfile && enc->stats_out)
        std::fputs(enc->stats_out, AOst.logfile);
      WritePacket(AS, AOst, pkt, AOst.enc_time_base);
      WriteVStats(AS, AOst, size);
    } else {
      if (AOst.kind == AVMEDIA_TYPE_AUDIO)
        AS.audio_size += pkt->size;
      WritePacket(AS, AOst, pkt, AOst.enc_time_base);
    }
  }
  if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
    throw TTranscodeError(AOst.kind == AVMEDIA_TYPE_VIDEO ? "Video encoding failed"
                                                          : "Audio encoding failed");
}

void SendFrame(TTranscodeState &AS, TAVOutputStream &AOst, const AVFrame *AFrame) {
  int ret = ff::avcodec.avcodec_send_frame(AOst.enc_ctx.get(), AFrame);
  if (ret == AVERROR(EAGAIN)) {
    ReceivePackets(AS, AOst);
    ret = ff::avcodec.avcodec_send_frame(AOst.enc_ctx.get(), AFrame);
  }
  if (ret < 0 && !(AFrame == nullptr && ret == AVERROR_EOF))
    throw TTranscodeError(AOst.kind == AVMEDIA_TYPE_VIDEO ? "Video encoding failed"
                                                          : "Audio encoding failed");
  ReceivePackets(AS, AOst);
}

// ---------------------------------------------------------------------------
// Video

int EffectiveVsync(const TTranscodeState &AS, const TAVOutputStream &AOst) {
  int vsync = AS.Settings.VideoSyncMethod;
  if (vsync == -1) {
    const AVOutputFormat *fmt = AS.Outputs[AOst.file_index]->Ctx()->oformat;
    vsync = (fmt->flags & AVFMT_VARIABLE_FPS) ? 2 : 1;
  }
  return vsync;
}

// One filtered picture (encoder format and size) at APtsUs.
void DoVideoOut(TTranscodeState &AS, TAVOutputStream &AOst, AVFrame *AFrame, int64_t APtsUs) {
  const TTranscodeSettings &S = AS.Settings;
  double sync_ipts = (APtsUs - S.StartTime) / 1000000.0 / av_q2d(AOst.enc_time_base);
  int64_t nb_frames = 1;
  int vsync = EffectiveVsync(AS, AOst);
  if (vsync == 0) {
    // Pass-through: keep the input times, but never step backwards.
    int64_t want = std::llrint(sync_ipts);
    if (want > AOst.sync_opts || AOst.frame_number == 0)
      AOst.sync_opts = want;
  } else {
    double vdelta = sync_ipts - AOst.sync_opts;
    if (vdelta < -1.1)
      nb_frames = 0;
    else if (vsync == 2) {
      if (vdelta <= -0.6)
        nb_frames = 0;
      else if (vdelta > 0.6)
        AOst.sync_opts = std::llrint(sync_ipts);
    } else if (vdelta > 1.1)
      nb_frames = std::llrint(vdelta);
    if (nb_frames == 0) {
      AS.nb_frames_drop++;
      AS.dup_drop_changed = true;
      if (S.Verbose > 2)
        FFLogger().Log(nullptr, llVerbose, "*** drop!");
    } else if (nb_frames > 1) {
      AS.nb_frames_dup += nb_frames - 1;
      AS.dup_drop_changed = true;
      if (S.Verbose > 2)
        FFLogger().LogFmt(nullptr, llVerbose, "*** %d dup!", static_cast<int>(nb_frames - 1));
    }
  }
  nb_frames = std::min<int64_t>(nb_frames, S.MaxFrames[0] - AOst.frame_number);
  if (nb_frames <= 0)
    return;

  const TVideoStreamSettings &v = AOst.V;
  if (AS.OutputHookOn && AS.Events.OnVideoOutputHook) {
    if (ff::avutil.av_frame_make_writable(AFrame) >= 0) {
      bool stop = false;
      AS.Events.OnVideoOutputHook(AFrame, static_cast<int>(AOst.frame_number), APtsUs, stop);
      if (stop)
        AS.OutputHookOn = false;
    } else {
      FFLogger().Log(nullptr, llError, "hook buf malloc error.");
    }
  }
  for (int64_t i = 0; i < nb_frames; ++i) {
    if (i > 0 && AS.StopRequested())
      break; // a stop ends a long duplication at once
    AFrame->pts = AOst.sync_opts;
    AFrame->pict_type = AV_PICTURE_TYPE_NONE;
    if (AOst.forced_kf_index < v.ForcedKeyFrames.size() &&
        AOst.sync_opts >= ff::avutil.av_rescale_q(v.ForcedKeyFrames[AOst.forced_kf_index], kMicro,
                                                  AOst.enc_time_base)) {
      AFrame->pict_type = AV_PICTURE_TYPE_I;
      AOst.forced_kf_index++;
    }
    if (v.TopFieldFirst != -1)
      AFrame->top_field_first = v.TopFieldFirst;
    if (v.QScale > 0)
      AFrame->quality = static_cast<int>(FF_QP2LAMBDA * v.QScale);
    if (AS.Events.OnPostHook)
      AS.Events.OnPostHook(AFrame, static_cast<int>(AOst.frame_number), APtsUs);
    SendFrame(AS, AOst, AFrame);
    AOst.sync_opts++;
    AOst.frame_number++;
  }
}

// Pushes a decoded picture through the stream's graph and encodes what comes out.
void FilterAndEncodeVideo(TTranscodeState &AS, TAVOutputStream &AOst, TAVInputStream &AIst,
                          AVFrame *AFrame) {
  if (AFrame && (AFrame->width != AOst.resample_width || AFrame->height != AOst.resample_height ||
                 AFrame->format != AOst.resample_pix_fmt)) {
    if (AIst.decoded_frames > 1)
      FFLogger().LogFmt(nullptr, llQuiet, "Input Stream #%d.%d frame size changed to %dx%d, %s",
                        AIst.file_index, AIst.index, AFrame->width, AFrame->height,
                        ff::avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(AFrame->format)));
    ConfigureVideoFilters(AS, AOst, AFrame->width, AFrame->height,
                          static_cast<AVPixelFormat>(AFrame->format), AFrame->sample_aspect_ratio,
                          AIst.st->avg_frame_rate, false);
  }
  int ret =
      ff::avfilter.av_buffersrc_add_frame_flags(AOst.buffersrc, AFrame, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (ret < 0 && ret != AVERROR_EOF)
    throw TTranscodeError("Error while filtering: " + ErrorCodeText(ret));
  if (!AOst.filtered_frame)
    AOst.filtered_frame = FFAllocFrame();
  AVFrame *out = AOst.filtered_frame.get();
  AVRational tb = ff::avfilter.av_buffersink_get_time_base(AOst.buffersink);
  while ((ret = ff::avfilter.av_buffersink_get_frame(AOst.buffersink, out)) >= 0) {
    int64_t pts =
        out->pts == AV_NOPTS_VALUE ? AIst.pts : ff::avutil.av_rescale_q(out->pts, tb, kMicro);
    DoVideoOut(AS, AOst, out, pts);
    ff::avutil.av_frame_unref(out);
  }
  if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
    throw TTranscodeError("Error while filtering: " + ErrorCodeText(ret));
}

// ---------------------------------------------------------------------------
// Audio

bool SameLayout(const AVChannelLayout &a, const AVChannelLayout &b) {
  return ff::avutil.av_channel_layout_compare(&a, &b) == 0;
}

void EnsureAudioBuf(TAVOutputStream &AOst, int ASamples) {
  if (ASamples <= AOst.audio_buf_samples)
    return;
  if (AOst.audio_buf) {
    ff::avutil.av_freep(&AOst.audio_buf[0]);
    ff::avutil.av_freep(&AOst.audio_buf);
  }
  int want = std::max(ASamples, 4096);
  int channels = AOst.ch_layout.nb_channels;
  int planes = ff::avutil.av_sample_fmt_is_planar(AOst.sample_fmt) ? channels : 1;
  AOst.audio_buf = static_cast<uint8_t **>(ff::avutil.av_mallocz(planes * sizeof(uint8_t *)));
  if (!AOst.audio_buf ||
      ff::avutil.av_samples_alloc(AOst.audio_buf, nullptr, channels, want, AOst.sample_fmt, 0) < 0)
    throw TTranscodeError("Out of memory in do_audio_out");
  AOst.audio_buf_samples = want;
}

void FifoWrite(TAVOutputStream &AOst, uint8_t **AData, int ASamples) {
  if (ASamples <= 0)
    return;
  if (ff::avutil.av_audio_fifo_write(AOst.fifo.get(), reinterpret_cast<void **>(AData), ASamples) <
      ASamples)
    throw TTranscodeError("av_fifo_realloc2() failed");
}

void WriteSilence(TAVOutputStream &AOst, int ASamples) {
  while (ASamples > 0) {
    int n = std::min(ASamples, 8192);
    EnsureAudioBuf(AOst, n);
    ff::avutil.av_samples_set_silence(AOst.audio_buf, 0, n, AOst.ch_layout.nb_channels,
                                      AOst.sample_fmt);
    FifoWrite(AOst, AOst.audio_buf, n);
    ASamples -= n;
  }
}

// Encodes whole frames from the FIFO (all of it for variable-size encoders or
// when AFinal: the rest as one short frame, padded when the encoder needs it).
void EncodeAudioFifo(TTranscodeState &AS, TAVOutputStream &AOst, bool AFinal) {
  AVCodecContext *enc = AOst.enc_ctx.get();
  int frameSize = enc->frame_size;
  bool variable = frameSize <= 1 || (AOst.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  for (;;) {
    int avail = ff::avutil.av_audio_fifo_size(AOst.fifo.get());
    int n;
    if (variable) {
      n = avail;
    } else if (avail >= frameSize) {
      n = frameSize;
    } else if (AFinal && avail > 0) {
      if (!(AOst.enc->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)) {
        WriteSilence(AOst, frameSize - avail);
        n = frameSize;
      } else {
        n = avail;
      }
    } else {
      break;
    }
    if (n <= 0)
      break;
    AVFrame *f = AOst.enc_frame.get();
    if (!f || f->nb_samples != n || ff::avutil.av_frame_make_writable(f) < 0) {
      if (!f) {
        AOst.enc_frame = FFAllocFrame();
        f = AOst.enc_frame.get();
      }
      ff::avutil.av_frame_unref(f);
      f->format = AOst.sample_fmt;
      f->sample_rate = AOst.sample_rate;
      ff::avutil.av_channel_layout_copy(&f->ch_layout, &AOst.ch_layout);
      f->nb_samples = n;
      if (ff::avutil.av_frame_get_buffer(f, 0) < 0)
        throw TTranscodeError("Out of memory in do_audio_out");
    }
    ff::avutil.av_audio_fifo_read(AOst.fifo.get(), reinterpret_cast<void **>(f->extended_data), n);
    f->pts = AOst.sync_opts;
    SendFrame(AS, AOst, f);
    AOst.sync_opts += n;
    AOst.frame_number++;
    if (variable)
      break;
  }
}

void DoAudioOut(TTranscodeState &AS, TAVOutputStream &AOst, TAVInputStream &AIst, AVFrame *AFrame) {
  const TTranscodeSettings &S = AS.Settings;
  AVCodecContext *enc = AOst.enc_ctx.get();
  const AVSampleFormat inFmt = static_cast<AVSampleFormat>(AFrame->format);
  const int inRate = AFrame->sample_rate;
  const int encRate = AOst.sample_rate;
  if (AFrame->nb_samples <= 0 || inRate <= 0)
    return;

  // Input format changed: drop the converter; it is made again below.
  if (AOst.resample_sample_rate != 0 &&
      (inFmt != AOst.resample_sample_fmt || inRate != AOst.resample_sample_rate ||
       !SameLayout(AFrame->ch_layout, AOst.resample_ch_layout))) {
    FFLogger().LogFmt(nullptr, llInfo,
                      "Input stream #%d.%d frame changed from rate:%d fmt:%s ch:%d to rate:%d "
                      "fmt:%s ch:%d",
                      AIst.file_index, AIst.index, AOst.resample_sample_rate,
                      ff::avutil.av_get_sample_fmt_name(AOst.resample_sample_fmt),
                      AOst.resample_ch_layout.nb_channels, inRate,
                      ff::avutil.av_get_sample_fmt_name(inFmt), AFrame->ch_layout.nb_channels);
    AOst.swr.reset();
  }
  bool needConvert = inFmt != AOst.sample_fmt || inRate != encRate ||
                     !SameLayout(AFrame->ch_layout, AOst.ch_layout) || S.AudioSyncMethod > 1;
  if (needConvert && !AOst.swr) {
    SwrContext *swr = nullptr;
    int ret = ff::swresample.swr_alloc_set_opts2(&swr, &AOst.ch_layout, AOst.sample_fmt, encRate,
                                                 &AFrame->ch_layout, inFmt, inRate, 0, nullptr);
    if (ret >= 0) {
      AOst.swr.reset(swr);
      ff::avutil.av_opt_set_int(swr, "filter_size", 16, 0);
      ff::avutil.av_opt_set_int(swr, "phase_shift", 10, 0);
      ff::avutil.av_opt_set_int(swr, "linear_interp", 0, 0);
      ff::avutil.av_opt_set_double(swr, "cutoff", 0.8, 0);
      ret = ff::swresample.swr_init(swr);
    }
    if (ret < 0) {
      AOst.swr.reset();
      throw TTranscodeError(StrFmt("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                   AFrame->ch_layout.nb_channels, inRate,
                                   AOst.ch_layout.nb_channels, encRate));
    }
  }
  if (!needConvert)
    AOst.swr.reset();
  AOst.resample_sample_fmt = inFmt;
  AOst.resample_sample_rate = inRate;
  if (!SameLayout(AFrame->ch_layout, AOst.resample_ch_layout)) {
    ff::avutil.av_channel_layout_uninit(&AOst.resample_ch_layout);
    ff::avutil.av_channel_layout_copy(&AOst.resample_ch_layout, &AFrame->ch_layout);
  }

  // Samples before the output's start (e.g. before an input's seek point) are cut.
  int skip = 0; // input samples dropped at the block's start
  int64_t blockPts = AIst.pts;
  if (blockPts < S.StartTime) {
    int64_t lead = ff::avutil.av_rescale(S.StartTime - blockPts, inRate, AV_TIME_BASE);
    if (lead >= AFrame->nb_samples)
      return;
    skip = static_cast<int>(lead);
    blockPts = S.StartTime;
  }
  // Sync: pad, trim or stretch towards the input clock.
  int fifoSamples = ff::avutil.av_audio_fifo_size(AOst.fifo.get());
  double wanted = (blockPts - S.StartTime) / 1000000.0 * encRate;
  if (S.AudioSyncMethod > 0) {
    double delay =
        AOst.swr ? static_cast<double>(ff::swresample.swr_get_delay(AOst.swr.get(), encRate)) : 0;
    double delta = wanted - AOst.sync_opts - fifoSamples - delay;
    if (std::fabs(delta) > 50) {
      if (AOst.is_start || std::fabs(delta) > S.AudioDriftThreshold * encRate) {
        if (delta < 0) {
          int64_t idelta = static_cast<int64_t>(-delta * inRate / encRate);
          int drop = static_cast<int>(std::min<int64_t>(idelta, AFrame->nb_samples - skip));
          if (S.Verbose > 2)
            FFLogger().LogFmt(nullptr, llVerbose, "discarding %d audio samples", drop);
          skip += drop;
          if (skip >= AFrame->nb_samples)
            return;
        } else {
          int pad =
              static_cast<int>(std::min(delta, 10.0 * encRate)); // never more than 10 s at once
          if (S.Verbose > 2)
            FFLogger().LogFmt(nullptr, llVerbose, "adding %d audio samples of silence", pad);
          WriteSilence(AOst, pad);
        }
        AOst.is_start = false;
      } else if (S.AudioSyncMethod > 1 && AOst.swr) {
        int comp =
            static_cast<int>(std::clamp<double>(delta, -S.AudioSyncMethod, S.AudioSyncMethod));
        if (S.Verbose > 2)
          FFLogger().LogFmt(nullptr, llVerbose,
                            "compensating audio timestamp drift:%f compensation:%d in:%d", delta,
                            comp, encRate);
        ff::swresample.swr_set_compensation(AOst.swr.get(), comp, encRate);
      }
    } else {
      AOst.is_start = false;
    }
  } else if (AOst.frame_number == 0 && fifoSamples == 0) {
    // Without a sync method the first block decides where the stream starts.
    AOst.sync_opts = std::llrint(wanted) - fifoSamples;
  }

  // Convert (or pass through) into the FIFO.
  const int inSamples = AFrame->nb_samples - skip;
  const int inChannels = AFrame->ch_layout.nb_channels;
  const int bps = ff::avutil.av_get_bytes_per_sample(inFmt);
  const bool planar = ff::avutil.av_sample_fmt_is_planar(inFmt);
  uint8_t *planesLocal[64];
  uint8_t **in = AFrame->extended_data;
  if (skip > 0) {
    int planes = planar ? inChannels : 1;
    if (planes > 64)
      throw TTranscodeError("Buffer sizes too large in do_audio_out");
    for (int p = 0; p < planes; ++p)
      planesLocal[p] = in[p] + static_cast<size_t>(skip) * bps * (planar ? 1 : inChannels);
    in = planesLocal;
  }
  if (AOst.swr) {
    int outMax = ff::swresample.swr_get_out_samples(AOst.swr.get(), inSamples);
    if (outMax < 0 || outMax > INT_MAX / 2)
      throw TTranscodeError("Buffer sizes too large in do_audio_out");
    EnsureAudioBuf(AOst, outMax + 16);
    int got = ff::swresample.swr_convert(AOst.swr.get(), AOst.audio_buf, AOst.audio_buf_samples,
                                         const_cast<const uint8_t **>(in), inSamples);
    if (got < 0) {
      if (S.ExitOnError)
        throw TTranscodeError("av_audio_convert() failed");
      FFLogger().Log(nullptr, llError, "av_audio_convert() failed");
      return;
    }
    FifoWrite(AOst, AOst.audio_buf, got);
  } else {
    FifoWrite(AOst, in, inSamples);
  }
  (void)enc;
  EncodeAudioFifo(AS, AOst, false);
}

// Applies the volume factor (1/256 steps) in place to a decoded block.
void ApplyVolume(AVFrame *AFrame, int AVolume) {
  const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
  const bool planar = ff::avutil.av_sample_fmt_is_planar(fmt);
  const int channels = AFrame->ch_layout.nb_channels;
  const int planes = planar ? channels : 1;
  const int count = AFrame->nb_samples * (planar ? 1 : channels);
  const AVSampleFormat packed = ff::avutil.av_get_packed_sample_fmt(fmt);
  const double factor = AVolume / 256.0;
  for (int p = 0; p < planes; ++p) {
    uint8_t *d = AFrame->extended_data[p];
    switch (packed) {
    case AV_SAMPLE_FMT_S16: {
      auto *s = reinterpret_cast<int16_t *>(d);
      for (int i = 0; i < count; ++i) {
        int v = (s[i] * AVolume + 128) >> 8;
        s[i] = static_cast<int16_t>(std::clamp(v, -32768, 32767));
      }
      break;
    }
    case AV_SAMPLE_FMT_S32: {
      auto *s = reinterpret_cast<int32_t *>(d);
      for (int i = 0; i < count; ++i) {
        int64_t v = (static_cast<int64_t>(s[i]) * AVolume + 128) >> 8;
        s[i] = static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
      }
      break;
    }
    case AV_SAMPLE_FMT_U8: {
      for (int i = 0; i < count; ++i) {
        int v = (((d[i] - 128) * AVolume + 128) >> 8) + 128;
        d[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
      break;
    }
    case AV_SAMPLE_FMT_FLT: {
      auto *s = reinterpret_cast<float *>(d);
      for (int i = 0; i < count; ++i)
        s[i] = std::clamp(static_cast<float>(s[i] * factor), -1.0f, 1.0f);
      break;
    }
    case AV_SAMPLE_FMT_DBL: {
      auto *s = reinterpret_cast<double *>(d);
      for (int i = 0; i < count; ++i)
        s[i] = std::clamp(s[i] * factor, -1.0, 1.0);
      break;
    }
    default:
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// Subtitles

void DoSubtitleOut(TTranscodeState &AS, TAVOutputStream &AOst, AVSubtitle *ASub, int64_t APtsUs) {
  if (APtsUs == AV_NOPTS_VALUE) {
    FFLogger().Log(nullptr, llError, "Subtitle packets must have a pts");
    if (AS.Settings.ExitOnError)
      throw TTranscodeError("Subtitle packets must have a pts");
    return;
  }
  if (AS.SubtitleBuf.empty())
    AS.SubtitleBuf.resize(1024 * 1024);
  const bool dvb = AOst.enc->id == AV_CODEC_ID_DVB_SUBTITLE;
  const int nb = dvb ? 2 : 1;
  unsigned rects = ASub->num_rects;
  int64_t base = APtsUs - AS.Settings.StartTime;
  for (int i = 0; i < nb; ++i) {
    ASub->pts = base + static_cast<int64_t>(ASub->start_display_time) * 1000;
    uint32_t start = ASub->start_display_time, end = ASub->end_display_time;
    ASub->end_display_time -= ASub->start_display_time;
    ASub->start_display_time = 0;
    if (i == 1)
      ASub->num_rects = 0;
    int size = ff::avcodec.avcodec_encode_subtitle(AOst.enc_ctx.get(), AS.SubtitleBuf.data(),
                                                   static_cast<int>(AS.SubtitleBuf.size()), ASub);
    ASub->num_rects = rects;
    ASub->start_display_time = start;
    ASub->end_display_time = end;
    if (size < 0)
      throw TTranscodeError("Subtitle encoding failed");
    TFFPacketPtr pkt = FFAllocPacket();
    if (!pkt || ff::avcodec.av_new_packet(pkt.get(), size) < 0)
      throw TTranscodeError("Subtitle encoding failed");
    std::memcpy(pkt->data, AS.SubtitleBuf.data(), size);
    pkt->pts = base;
    if (dvb)
      pkt->pts += static_cast<int64_t>(i == 0 ? start : end) * 1000;
    else
      pkt->pts += static_cast<int64_t>(start) * 1000;
    pkt->dts = pkt->pts;
    pkt->duration = static_cast<int64_t>(end - start) * 1000;
    WritePacket(AS, AOst, pkt.get(), kMicro);
  }
}

// ---------------------------------------------------------------------------
// Stream copy

void DoStreamCopy(TTranscodeState &AS, TAVOutputStream &AOst, TAVInputStream &AIst,
                  const AVPacket *APkt) {
  const TTranscodeSettings &S = AS.Settings;
  if (AOst.frame_number == 0 && !(APkt->flags & AV_PKT_FLAG_KEY) && !S.CopyInitialNonKeyframes)
    return;
  int kindIdx = AOst.kind == AVMEDIA_TYPE_VIDEO      ? 0
                : AOst.kind == AVMEDIA_TYPE_AUDIO    ? 1
                : AOst.kind == AVMEDIA_TYPE_SUBTITLE ? 3
                                                     : 2;
  if (AOst.frame_number >= S.MaxFrames[kindIdx])
    return;
  AVRational itb = AIst.st->time_base;
  int64_t ost_tb_start_time = ff::avutil.av_rescale_q(S.StartTime, kMicro, itb);
  if (!AOst.pkt)
    AOst.pkt = FFAllocPacket();
  AVPacket *opkt = AOst.pkt.get();
  if (ff::avcodec.av_packet_ref(opkt, APkt) < 0)
    throw TTranscodeError("av_mallocz fail");
  opkt->pts = APkt->pts != AV_NOPTS_VALUE ? APkt->pts - ost_tb_start_time : AV_NOPTS_VALUE;
  opkt->dts =
      (APkt->dts != AV_NOPTS_VALUE ? APkt->dts : ff::avutil.av_rescale_q(AIst.pts, kMicro, itb)) -
      ost_tb_start_time;
  if (AOst.kind == AVMEDIA_TYPE_AUDIO)
    AS.audio_size += APkt->size;
  else if (AOst.kind == AVMEDIA_TYPE_VIDEO)
    AS.video_size += APkt->size;
  WritePacket(AS, AOst, opkt, itb);
  AOst.frame_number++;
}

// ---------------------------------------------------------------------------
// Decoded frames

void InputPreprocess(TTranscodeState &AS, TAVInputStream &AIst, AVFrame *AFrame) {
  bool hooks = (AS.InputHookOn && AS.Events.OnVideoInputHook) || !AS.FrameHooks.empty();
  if (!hooks)
    return;
  if (ff::avutil.av_frame_make_writable(AFrame) < 0) {
    FFLogger().Log(nullptr, llError, "hook buf malloc error.");
    return;
  }
  if (AS.InputHookOn && AS.Events.OnVideoInputHook) {
    bool stop = false;
    AS.Events.OnVideoInputHook(AFrame, static_cast<int>(AIst.frame_number), AIst.pts, stop);
    if (stop)
      AS.InputHookOn = false;
  } else {
    TFrameHookPicture pic;
    for (int i = 0; i < 4; ++i) {
      pic.data[i] = AFrame->data[i];
      pic.linesize[i] = AFrame->linesize[i];
    }
    for (TFrameHookEntry &h : AS.FrameHooks)
      h.Process(h.ctx, &pic, AFrame->format, AFrame->width, AFrame->height, AIst.pts);
  }
}

void RateEmulate(TTranscodeState &AS, TAVInputStream &AIst) {
  if (!AS.Settings.RateEmu)
    return;
  int64_t elapsed = ff::avutil.av_gettime_relative() - AIst.start;
  int64_t ahead = AIst.pts - elapsed;
  if (ahead > 1000)
    ff::avutil.av_usleep(static_cast<unsigned>(std::min<int64_t>(ahead, 1000000)));
}

// Whether the stream's current frame/packet lies at or after the output's
// start. Times before it (also those an input seek lands before its seek
// point) are not written; an audio block that straddles it is cut later.
bool PastStart(const TTranscodeState &AS, const TAVInputStream &AIst) {
  if (AIst.pts >= AS.Settings.StartTime)
    return true;
  return AIst.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && AIst.decoding_needed &&
         AIst.next_pts > AS.Settings.StartTime;
}

void HandleDecodedFrame(TTranscodeState &AS, TAVInputStream &AIst, AVFrame *AFrame) {
  AVCodecContext *dec = AIst.dec_ctx.get();
  AIst.decoded_frames++;
  int64_t bets = AFrame->best_effort_timestamp;
  if (bets != AV_NOPTS_VALUE)
    AIst.pts = ff::avutil.av_rescale_q(bets, AIst.st->time_base, kMicro);
  else
    AIst.pts = AIst.next_pts;
  if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (AFrame->sample_rate > 0)
      AIst.next_pts =
          AIst.pts + static_cast<int64_t>(AFrame->nb_samples) * AV_TIME_BASE / AFrame->sample_rate;
    AIst.sample_index += AFrame->nb_samples;
    if (AS.Events.OnAudioHook)
      AS.Events.OnAudioHook(AFrame, AIst.pts);
    if (AS.Settings.AudioVolume != 256 && ff::avutil.av_frame_make_writable(AFrame) >= 0)
      ApplyVolume(AFrame, AS.Settings.AudioVolume);
  } else {
    int64_t dur = 0;
    if (AFrame->pkt_duration > 0)
      dur = ff::avutil.av_rescale_q(AFrame->pkt_duration, AIst.st->time_base, kMicro);
    else {
      AVRational rate = AIst.st->avg_frame_rate.num ? AIst.st->avg_frame_rate : dec->framerate;
      if (rate.num > 0 && rate.den > 0)
        dur = ff::avutil.av_rescale_q(1, av_inv_q(rate), kMicro) * (2 + AFrame->repeat_pict) / 2;
    }
    AIst.next_pts = AIst.pts + dur;
    AIst.frame_number++;
    InputPreprocess(AS, AIst, AFrame);
    AFrame->pts = AIst.pts; // the graphs' source time base is µs
  }
  RateEmulate(AS, AIst);
  if (!PastStart(AS, AIst))
    return;
  for (TAVOutputStream *ost : AS.ist_outputs[AIst.table_index]) {
    if (!ost->encoding_needed || ost->encoder_flushed)
      continue;
    if (ost->kind == AVMEDIA_TYPE_AUDIO && dec->codec_type == AVMEDIA_TYPE_AUDIO)
      DoAudioOut(AS, *ost, AIst, AFrame);
    else if (ost->kind == AVMEDIA_TYPE_VIDEO && dec->codec_type == AVMEDIA_TYPE_VIDEO)
      FilterAndEncodeVideo(AS, *ost, AIst, AFrame);
    else
      throw TTranscodeError("invalid codec_type");
  }
}

int DecodeSubtitle(TTranscodeState &AS, TAVInputStream &AIst, int AIstIndex, const AVPacket *APkt) {
  if (!APkt)
    return 0;
  AVSubtitle sub;
  int got = 0;
  int ret = ff::avcodec.avcodec_decode_subtitle2(AIst.dec_ctx.get(), &sub, &got,
                                                 const_cast<AVPacket *>(APkt));
  if (ret < 0) {
    AIst.decode_errors++;
    return ret;
  }
  if (!got)
    return 0;
  AIst.decoded_frames++;
  int64_t pts = sub.pts != AV_NOPTS_VALUE ? sub.pts : AIst.pts;
  try {
    if (PastStart(AS, AIst))
      for (TAVOutputStream *ost : AS.ist_outputs[AIstIndex])
        if (ost->encoding_needed && ost->kind == AVMEDIA_TYPE_SUBTITLE)
          DoSubtitleOut(AS, *ost, &sub, pts);
  } catch (...) {
    ff::avcodec.avsubtitle_free(&sub);
    throw;
  }
  ff::avcodec.avsubtitle_free(&sub);
  return 0;
}

} // namespace

// ---------------------------------------------------------------------------

int ProcessInputPacket(TTranscodeState &AS, TAVInputStream &AIst, const AVPacket *APkt) {
  const int istIndex = AIst.table_index;
  if (AIst.start == 0)
    AIst.start = ff::avutil.av_gettime_relative();
  if (AIst.next_pts == AV_NOPTS_VALUE)
    AIst.next_pts = AIst.pts;
  if (APkt && APkt->dts != AV_NOPTS_VALUE)
    AIst.next_pts = AIst.pts = ff::avutil.av_rescale_q(APkt->dts, AIst.st->time_base, kMicro);

  int result = 0;
  if (AIst.decoding_needed && AIst.dec_ctx) {
    AVCodecContext *dec = AIst.dec_ctx.get();
    if (dec->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      result = DecodeSubtitle(AS, AIst, istIndex, APkt);
    } else if (!(APkt == nullptr && AIst.decoder_flushed)) {
      int ret = ff::avcodec.avcodec_send_packet(dec, APkt);
      if (APkt == nullptr)
        AIst.decoder_flushed = true;
      if (ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN)) {
        AIst.decode_errors++;
        result = ret;
      }
      if (!AIst.frame)
        AIst.frame = FFAllocFrame();
      AVFrame *frame = AIst.frame.get();
      for (;;) {
        ret = ff::avcodec.avcodec_receive_frame(dec, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
          break;
        if (ret < 0) {
          AIst.decode_errors++;
          result = ret;
          break;
        }
        HandleDecodedFrame(AS, AIst, frame);
        ff::avutil.av_frame_unref(frame);
      }
    }
  } else if (APkt) {
    // Not decoded: keep the clock from the packet durations.
    AIst.pts = AIst.next_pts;
    AVCodecParameters *par = AIst.st->codecpar;
    if (APkt->duration > 0)
      AIst.next_pts += ff::avutil.av_rescale_q(APkt->duration, AIst.st->time_base, kMicro);
    else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && par->frame_size > 0)
      AIst.next_pts += static_cast<int64_t>(AV_TIME_BASE) * par->frame_size / par->sample_rate;
    else if (par->codec_type == AVMEDIA_TYPE_VIDEO && AIst.st->avg_frame_rate.num > 0)
      AIst.next_pts += ff::avutil.av_rescale_q(1, av_inv_q(AIst.st->avg_frame_rate), kMicro);
    RateEmulate(AS, AIst);
  }

  if (APkt && PastStart(AS, AIst))
    for (TAVOutputStream *ost : AS.ist_outputs[istIndex])
      if (ost->stream_copy)
        DoStreamCopy(AS, *ost, AIst, APkt);
  return result;
}

void FlushEncoder(TTranscodeState &AS, TAVOutputStream &AOst) {
  if (!AOst.encoding_needed || !AOst.enc_ctx || AOst.encoder_flushed)
    return;
  if (AOst.kind == AVMEDIA_TYPE_VIDEO && AOst.buffersrc) {
    // Pictures still in the graph (e.g. a deinterlacer's look-ahead).
    if (ff::avfilter.av_buffersrc_add_frame_flags(AOst.buffersrc, nullptr, 0) < 0)
      FFLogger().Log(nullptr, llWarning, "Error while closing the video filter graph");
    if (!AOst.filtered_frame)
      AOst.filtered_frame = FFAllocFrame();
    AVFrame *out = AOst.filtered_frame.get();
    AVRational tb = ff::avfilter.av_buffersink_get_time_base(AOst.buffersink);
    while (ff::avfilter.av_buffersink_get_frame(AOst.buffersink, out) >= 0) {
      DoVideoOut(AS, AOst, out, ff::avutil.av_rescale_q(out->pts, tb, kMicro));
      ff::avutil.av_frame_unref(out);
    }
  }
  if (AOst.kind == AVMEDIA_TYPE_AUDIO && AOst.fifo) {
    if (AOst.swr) {
      // Samples still inside the resampler.
      int left = ff::swresample.swr_get_out_samples(AOst.swr.get(), 0);
      if (left > 0) {
        EnsureAudioBuf(AOst, left + 16);
        int got = ff::swresample.swr_convert(AOst.swr.get(), AOst.audio_buf, AOst.audio_buf_samples,
                                             nullptr, 0);
        if (got > 0)
          FifoWrite(AOst, AOst.audio_buf, got);
      }
    }
    EncodeAudioFifo(AS, AOst, true);
  }
  AOst.encoder_flushed = true;
  if (AOst.kind == AVMEDIA_TYPE_SUBTITLE)
    return;
  SendFrame(AS, AOst, nullptr);
  if (AOst.logfile && AOst.enc_ctx->stats_out)
    std::fputs(AOst.enc_ctx->stats_out, AOst.logfile);
}

void WritePacket(TTranscodeState &AS, TAVOutputStream &AOst, AVPacket *APkt, AVRational ASrcTb) {
  APkt->stream_index = AOst.index;
  ApplyBsf(AS, AOst, 0, APkt, ASrcTb);
  ff::avcodec.av_packet_unref(APkt);
}

void InitBitstreamFilters(TAVOutputStream &AOst, AVRational ATimeBase) {
  const std::vector<std::string> &names = AOst.kind == AVMEDIA_TYPE_VIDEO ? AOst.V.BitstreamFilters
                                          : AOst.kind == AVMEDIA_TYPE_AUDIO
                                              ? AOst.A.BitstreamFilters
                                              : AOst.S.BitstreamFilters;
  const AVCodecParameters *par = AOst.st->codecpar;
  AVRational tb = ATimeBase;
  for (const std::string &name : names) {
    const AVBitStreamFilter *f = ff::avcodec.av_bsf_get_by_name(name.c_str());
    if (!f)
      throw TTranscodeError(StrFmt("Unknown bitstream filter %s", name.c_str()));
    AVBSFContext *ctx = nullptr;
    int ret = ff::avcodec.av_bsf_alloc(f, &ctx);
    if (ret < 0)
      throw TTranscodeError("av_mallocz fail");
    TFFBSFContextPtr owner(ctx);
    ff::avcodec.avcodec_parameters_copy(ctx->par_in, par);
    ctx->time_base_in = tb;
    ret = ff::avcodec.av_bsf_init(ctx);
    if (ret < 0)
      throw TTranscodeError(StrFmt("%s failed for stream %d, codec %s", name.c_str(), AOst.index,
                                   AOst.enc ? AOst.enc->name : "copy") +
                            ": " + ErrorCodeText(ret));
    par = ctx->par_out;
    tb = ctx->time_base_out;
    AOst.bsfs.push_back(std::move(owner));
  }
  if (!AOst.bsfs.empty())
    ff::avcodec.avcodec_parameters_copy(AOst.st->codecpar, par);
}

// ---------------------------------------------------------------------------
// Video filter graph

void ConfigureVideoFilters(TTranscodeState &AS, TAVOutputStream &AOst, int AInWidth, int AInHeight,
                           AVPixelFormat AInFmt, AVRational AInSar, AVRational AFrameRate,
                           bool ATakeSize) {
  const TTranscodeSettings &S = AS.Settings;
  auto fail = [](const std::string &AWhy) {
    throw TTranscodeError(AWhy.empty() ? std::string("Error opening filters!")
                                       : "Error opening filters: " + AWhy);
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    AOst.graph.reset(ff::avfilter.avfilter_graph_alloc());
    AVFilterGraph *g = AOst.graph.get();
    if (!g)
      fail("out of memory");
    AOst.buffersrc = AOst.buffersink = nullptr;
    // The filters (the scaling above all) run on as many threads as the
    // codecs; 0 lets FFmpeg choose (one per core).
    g->nb_threads = std::max(0, S.ThreadCount);
    std::string swsOpts = StrFmt("flags=0x%X", S.SwsFlags);
    g->scale_sws_opts = ff::avutil.av_strdup(swsOpts.c_str());

    std::string args =
        StrFmt("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", AInWidth, AInHeight,
               static_cast<int>(AInFmt), AV_TIME_BASE, AInSar.num, AInSar.den > 0 ? AInSar.den : 1);
    if (AFrameRate.num > 0 && AFrameRate.den > 0)
      args += StrFmt(":frame_rate=%d/%d", AFrameRate.num, AFrameRate.den);
    int ret = ff::avfilter.avfilter_graph_create_filter(&AOst.buffersrc,
                                                        ff::avfilter.avfilter_get_by_name("buffer"),
                                                        "src", args.c_str(), nullptr, g);
    if (ret < 0)
      fail(ErrorCodeText(ret));
    AOst.buffersink = ff::avfilter.avfilter_graph_alloc_filter(
        g, ff::avfilter.avfilter_get_by_name("buffersink"), "ffsink");
    if (!AOst.buffersink)
      fail("buffersink");
    const AVPixelFormat fmts[1] = {AOst.pix_fmt};
    ret = ff::avutil.av_opt_set_bin(AOst.buffersink, "pix_fmts",
                                    reinterpret_cast<const uint8_t *>(fmts), sizeof fmts,
                                    AV_OPT_SEARCH_CHILDREN);
    if (ret >= 0)
      ret = ff::avfilter.avfilter_init_str(AOst.buffersink, nullptr);
    if (ret < 0)
      fail(ErrorCodeText(ret));

    std::string chain;
    auto add = [&chain](const std::string &AFilter) {
      if (!chain.empty())
        chain += ",";
      chain += AFilter;
    };
    if (S.Deinterlace)
      add(ff::avfilter.avfilter_get_by_name("pp") ? "pp=fd" : "yadif=0:-1:0");
    int wantW = ATakeSize ? AOst.width : AOst.V.Width;
    int wantH = ATakeSize ? AOst.height : AOst.V.Height;
    // A set frame size is reached by scaling. Without a filter text the scale
    // follows the source. With one, the filters get the decoded picture
    // unscaled and the scale comes after them: filter texts are written for
    // the source (the option assembly's crop and letterbox use its size), and
    // a size set by a disc target must not squeeze the picture before a
    // letterbox pad computed for the source.
    const bool scaleToWanted = wantW > 0 && wantH > 0 && (wantW != AInWidth || wantH != AInHeight);
    if (AOst.V.Filters.empty()) {
      if (scaleToWanted)
        add(StrFmt("scale=%d:%d:sws_flags=%d", wantW, wantH, S.SwsFlags));
    } else {
      add(AOst.V.Filters);
      if (AOst.size_requested)
        add(StrFmt("scale=%d:%d:sws_flags=%d", AOst.V.Width, AOst.V.Height, S.SwsFlags));
    }
    if (!ATakeSize && attempt == 1)
      add(StrFmt("scale=%d:%d:sws_flags=%d", AOst.width, AOst.height, S.SwsFlags));

    if (chain.empty()) {
      ret = ff::avfilter.avfilter_link(AOst.buffersrc, 0, AOst.buffersink, 0);
    } else {
      AVFilterInOut *outputs = ff::avfilter.avfilter_inout_alloc();
      AVFilterInOut *inputs = ff::avfilter.avfilter_inout_alloc();
      if (!outputs || !inputs) {
        ff::avfilter.avfilter_inout_free(&outputs);
        ff::avfilter.avfilter_inout_free(&inputs);
        fail("out of memory");
      }
      outputs->name = ff::avutil.av_strdup("in");
      outputs->filter_ctx = AOst.buffersrc;
      outputs->pad_idx = 0;
      outputs->next = nullptr;
      inputs->name = ff::avutil.av_strdup("out");
      inputs->filter_ctx = AOst.buffersink;
      inputs->pad_idx = 0;
      inputs->next = nullptr;
      ret = ff::avfilter.avfilter_graph_parse_ptr(g, chain.c_str(), &inputs, &outputs, nullptr);
      ff::avfilter.avfilter_inout_free(&outputs);
      ff::avfilter.avfilter_inout_free(&inputs);
    }
    if (ret >= 0)
      ret = ff::avfilter.avfilter_graph_config(g, nullptr);
    if (ret < 0) {
      AOst.graph.reset();
      AOst.buffersrc = AOst.buffersink = nullptr;
      fail(ErrorCodeText(ret));
    }
    AOst.resample_width = AInWidth;
    AOst.resample_height = AInHeight;
    AOst.resample_pix_fmt = AInFmt;
    int outW = ff::avfilter.av_buffersink_get_w(AOst.buffersink);
    int outH = ff::avfilter.av_buffersink_get_h(AOst.buffersink);
    if (ATakeSize) {
      // The filters decide the encoder's size.
      AOst.width = outW;
      AOst.height = outH;
      AVRational sar = ff::avfilter.av_buffersink_get_sample_aspect_ratio(AOst.buffersink);
      if (AOst.V.AspectRatio > 0 && outW > 0 && outH > 0)
        sar = ff::avutil.av_d2q(AOst.V.AspectRatio * outH / outW, 255);
      AOst.sample_aspect_ratio = sar.num > 0 ? sar : AVRational{0, 1};
      return;
    }
    if (outW == AOst.width && outH == AOst.height)
      return;
  }
}

// ---------------------------------------------------------------------------
// Frame-processing hook libraries

namespace {
std::mutex GHookLibsLock;
std::map<std::string, void *> GHookLibs; // path -> dlopen handle, for the process
} // namespace

bool AddFrameHook(const std::string &AValue, std::vector<TFrameHookEntry> &AChain) {
  std::vector<std::string> tokens;
  const char sep = AValue.find('|') != std::string::npos ? '|' : ' ';
  size_t pos = 0;
  while (pos <= AValue.size() && tokens.size() < 254) {
    size_t next = AValue.find(sep, pos);
    std::string tok =
        AValue.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (!tok.empty())
      tokens.push_back(tok);
    if (next == std::string::npos)
      break;
    pos = next + 1;
  }
  if (tokens.empty())
    return false;
  const std::string &path = tokens[0];
  void *lib;
  {
    std::lock_guard<std::mutex> lock(GHookLibsLock);
    auto it = GHookLibs.find(path);
    if (it != GHookLibs.end()) {
      lib = it->second;
    } else {
      lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!lib) {
        const char *why = dlerror();
        ff::avutil.av_log(nullptr, AV_LOG_ERROR, "%s\n", why ? why : path.c_str());
        return false;
      }
      GHookLibs[path] = lib;
    }
  }
  TFrameHookEntry e;
  e.Process = reinterpret_cast<TFrameHookProcess>(dlsym(lib, "Process"));
  e.Configure = reinterpret_cast<TFrameHookConfigure>(dlsym(lib, "Configure"));
  e.Release = reinterpret_cast<TFrameHookRelease>(dlsym(lib, "Release"));
  if (!e.Process) {
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n",
                      path.c_str());
    return false;
  }
  if (!e.Configure && tokens.size() > 1) {
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n",
                      path.c_str());
    return false;
  }
  if (e.Configure) {
    std::vector<char *> argv;
    for (std::string &t : tokens)
      argv.push_back(t.data());
    argv.push_back(nullptr);
    if (e.Configure(&e.ctx, static_cast<int>(tokens.size()), argv.data()) != 0) {
      ff::avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", path.c_str());
      return false;
    }
  }
  AChain.push_back(e);
  return true;
}

void ReleaseFrameHooks(std::vector<TFrameHookEntry> &AChain) {
  for (TFrameHookEntry &h : AChain)
    if (h.Release)
      h.Release(h.ctx);
  AChain.clear();
}
