// The audio side of TFFDecoder: decoding one packet at a time, converting to
// the desired channels, rate and (packed) sample format with libswresample,
// and handing the bytes out with ReadAudio.

#include "media/FFDecode.h"

#include "engine/FFUtils.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>

namespace {

void FreeAligned(uint8_t *APtr) {
  ::operator delete[](APtr, std::align_val_t(64));
}

} // namespace

void TFFDecoder::SetDesireAudioChannels(int AValue) {
  if (AValue == FDesireAudioChannels || AValue <= 0)
    return;
  FDesireAudioChannels = AValue;
  DiscardAudioConverter();
}

void TFFDecoder::SetDesireAudioSampleRate(int AValue) {
  if (AValue == FDesireAudioSampleRate || AValue <= 0)
    return;
  FDesireAudioSampleRate = AValue;
  DiscardAudioConverter();
}

void TFFDecoder::SetDesireAudioSampleFormat(AVSampleFormat AValue) {
  if (AValue <= AV_SAMPLE_FMT_NONE || AValue >= AV_SAMPLE_FMT_NB)
    return;
  // The wave buffer is interleaved: a planar choice means its packed twin.
  static const AVSampleFormat packed[] = {AV_SAMPLE_FMT_U8,  AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S32,
                                          AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_DBL, AV_SAMPLE_FMT_U8,
                                          AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_FLT,
                                          AV_SAMPLE_FMT_DBL, AV_SAMPLE_FMT_S64, AV_SAMPLE_FMT_S64};
  static_assert(sizeof(packed) / sizeof(packed[0]) == AV_SAMPLE_FMT_NB);
  const AVSampleFormat value = packed[AValue];
  if (value == FDesireAudioSampleFormat)
    return;
  FDesireAudioSampleFormat = value;
  DiscardAudioConverter();
}

void TFFDecoder::DiscardAudioConverter() {
  if (FAudioResampler && ff::swresample.swr_free)
    ff::swresample.swr_free(&FAudioResampler);
  FAudioResampler = nullptr;
  FAudioNeedsConversion = false;
  FSwrInFormat = -1;
  FSwrInRate = 0;
  if (ff::avutil.av_channel_layout_uninit)
    ff::avutil.av_channel_layout_uninit(&FSwrInLayout);
  FSwrInLayout = AVChannelLayout{};
  FAudioFlushed = false;
}

bool TFFDecoder::GrowAudio(int64_t ABytes) {
  if (ABytes > INT32_MAX) {
    Report(llError, "Buffer sizes too large in DecodeAudio");
    return false;
  }
  if (ABytes <= FAudioBufferSize)
    return true;
  const int64_t size =
      std::max<int64_t>(ABytes, std::min<int64_t>(INT32_MAX, FAudioBufferSize * 2));
  uint8_t *buffer = static_cast<uint8_t *>(
      ::operator new[](static_cast<size_t>(size), std::align_val_t(64), std::nothrow));
  if (!buffer) {
    Report(llError, "Out of memory in DecodeAudio");
    return false;
  }
  if (FAudioBufferUsed > 0)
    std::memcpy(buffer, FAudioBuffer, static_cast<size_t>(FAudioBufferUsed));
  FreeAligned(FAudioBuffer);
  FAudioBuffer = buffer;
  FAudioBufferSize = size;
  return true;
}

// Builds (once per input layout) the converter from the decoded frames to
// the desired output. No converter is needed when the frames already are in
// the desired packed format, channel count and rate.
bool TFFDecoder::PrepareAudioConverter(const AVFrame *AFrame) {
  const int inChannels = AFrame->ch_layout.nb_channels;
  const bool sameInput =
      FSwrInFormat == AFrame->format && FSwrInRate == AFrame->sample_rate &&
      FSwrInLayout.nb_channels == inChannels &&
      (FSwrInLayout.nb_channels == 0 ||
       ff::avutil.av_channel_layout_compare(&FSwrInLayout, &AFrame->ch_layout) == 0);
  if (sameInput && (FAudioResampler || !FAudioNeedsConversion))
    return true;

  DiscardAudioConverter();
  FSwrInFormat = AFrame->format;
  FSwrInRate = AFrame->sample_rate;
  if (inChannels <= 0 || AFrame->sample_rate <= 0) {
    ReportFmt(llError, "Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels,
              AFrame->sample_rate, FDesireAudioChannels, FDesireAudioSampleRate);
    return false;
  }
  // Kept as the frame gives it, to recognise the same input next time.
  ff::avutil.av_channel_layout_copy(&FSwrInLayout, &AFrame->ch_layout);

  const AVSampleFormat inFormat = static_cast<AVSampleFormat>(AFrame->format);
  const bool sameShape =
      inChannels == FDesireAudioChannels && AFrame->sample_rate == FDesireAudioSampleRate;
  FAudioNeedsConversion = !(sameShape && inFormat == FDesireAudioSampleFormat);
  if (!FAudioNeedsConversion)
    return true;

  const char *inName = ff::avutil.av_get_sample_fmt_name(inFormat);
  const char *outName = ff::avutil.av_get_sample_fmt_name(FDesireAudioSampleFormat);
  AVChannelLayout outLayout{}, inLayout{};
  ff::avutil.av_channel_layout_default(&outLayout, FDesireAudioChannels);
  // An unspecified order (e.g. wav without a channel mask) gets the default
  // layout of its channel count.
  if (AFrame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    ff::avutil.av_channel_layout_default(&inLayout, inChannels);
  else
    ff::avutil.av_channel_layout_copy(&inLayout, &AFrame->ch_layout);
  SwrContext *swr = nullptr;
  int ret = ff::swresample.swr_alloc_set_opts2(&swr, &outLayout, FDesireAudioSampleFormat,
                                               FDesireAudioSampleRate, &inLayout, inFormat,
                                               AFrame->sample_rate, 0, nullptr);
  ff::avutil.av_channel_layout_uninit(&outLayout);
  ff::avutil.av_channel_layout_uninit(&inLayout);
  if (ret >= 0 && swr) {
    ff::avutil.av_opt_set_int(swr, "filter_size", 16, 0);
    ff::avutil.av_opt_set_int(swr, "phase_shift", 10, 0);
    ff::avutil.av_opt_set_int(swr, "linear_interp", 0, 0);
    ff::avutil.av_opt_set_double(swr, "cutoff", 0.8, 0);
    ret = ff::swresample.swr_init(swr);
  }
  if (ret < 0 || !swr) {
    ff::swresample.swr_free(&swr);
    if (sameShape)
      ReportFmt(llError, "Cannot convert %s sample format to %s sample format",
                inName ? inName : "?", outName ? outName : "?");
    else
      ReportFmt(llError, "Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels,
                AFrame->sample_rate, FDesireAudioChannels, FDesireAudioSampleRate);
    FSwrInFormat = -1; // try again with the next frame
    return false;
  }
  FAudioResampler = swr;
  if (sameShape)
    LogFmt(llInfo, "need convert %s sample format to %s sample format", inName ? inName : "?",
           outName ? outName : "?");
  else
    LogFmt(llInfo, "need resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels,
           AFrame->sample_rate, FDesireAudioChannels, FDesireAudioSampleRate);
  return true;
}

// Appends one decoded frame, converted, to the wave buffer.
bool TFFDecoder::AppendAudio(const AVFrame *AFrame) {
  if (AFrame->nb_samples <= 0)
    return true;
  if (!PrepareAudioConverter(AFrame))
    return false;
  const int outBytesPerSample = ff::avutil.av_get_bytes_per_sample(FDesireAudioSampleFormat);
  if (!FAudioNeedsConversion) {
    const int64_t bytes = int64_t(AFrame->nb_samples) * outBytesPerSample * FDesireAudioChannels;
    if (!GrowAudio(FAudioBufferUsed + bytes))
      return false;
    std::memcpy(FAudioBuffer + FAudioBufferUsed, AFrame->data[0], static_cast<size_t>(bytes));
    FAudioBufferUsed += bytes;
    return true;
  }
  const int outSamples = ff::swresample.swr_get_out_samples(FAudioResampler, AFrame->nb_samples);
  if (outSamples < 0) {
    Report(llError, "av_audio_convert() failed");
    return false;
  }
  const int64_t frameBytes = int64_t(outBytesPerSample) * FDesireAudioChannels;
  if (!GrowAudio(FAudioBufferUsed + int64_t(outSamples) * frameBytes))
    return false;
  uint8_t *out = FAudioBuffer + FAudioBufferUsed;
  const int got = ff::swresample.swr_convert(FAudioResampler, &out, outSamples,
                                             const_cast<const uint8_t **>(AFrame->extended_data),
                                             AFrame->nb_samples);
  if (got < 0) {
    Report(llError, "av_audio_convert() failed");
    return false;
  }
  FAudioBufferUsed += int64_t(got) * frameBytes;
  return true;
}

// After the decoder is drained: the samples still held by the resampler.
bool TFFDecoder::FlushAudioConverter() {
  if (FAudioFlushed || !FAudioResampler)
    return false;
  FAudioFlushed = true;
  const int outSamples = ff::swresample.swr_get_out_samples(FAudioResampler, 0);
  if (outSamples <= 0)
    return false;
  const int64_t frameBytes =
      int64_t(ff::avutil.av_get_bytes_per_sample(FDesireAudioSampleFormat)) * FDesireAudioChannels;
  if (!GrowAudio(int64_t(outSamples) * frameBytes))
    return false;
  uint8_t *out = FAudioBuffer;
  const int got = ff::swresample.swr_convert(FAudioResampler, &out, outSamples, nullptr, 0);
  if (got <= 0)
    return false;
  FAudioBufferUsed = int64_t(got) * frameBytes;
  return true;
}

void TFFDecoder::FinishWave(int AIndex, int64_t ARawStamp, int64_t ADTS, int64_t APTS) {
  AVStream *st = FFileHandle->streams[AIndex];
  const AVRational tb = RepairTimeBase(st);
  TWaveInfo &w = FWaveInfo;
  w.Channels = FDesireAudioChannels;
  w.SampleRate = FDesireAudioSampleRate;
  w.SampleFormat = FDesireAudioSampleFormat;
  w.BytesPerSample = ff::avutil.av_get_bytes_per_sample(FDesireAudioSampleFormat);
  w.BytesPerSecond = w.BytesPerSample * w.SampleRate * w.Channels;
  w.PTS = UnknownTime;
  if (ARawStamp != AV_NOPTS_VALUE) {
    if (st->start_time != AV_NOPTS_VALUE)
      ARawStamp -= st->start_time;
    w.PTS = ff::avutil.av_rescale_q(ARawStamp, tb, AV_TIME_BASE_Q);
    LogFmt(llDebug, "decode PTS: %0.3f", w.PTS / 1000000.0);
  } else if (FNextAudioPTS != UnknownTime) {
    w.PTS = FNextAudioPTS;
  }
  w.OriginalDTS = ADTS;
  w.OriginalPTS = APTS;
  w.StreamIndex = AIndex;
  w.Ready = true;
  w.Buffer = FAudioBuffer;
  w.Size = static_cast<int32_t>(FAudioBufferUsed);
  w.Duration =
      (1000000 / w.BytesPerSample) * int64_t(w.Size) / (int64_t(w.SampleRate) * w.Channels);
  FNextAudioPTS = w.PTS != UnknownTime ? w.PTS + w.Duration : UnknownTime;
}

bool TFFDecoder::DecodeAudio(int AStreamIndex) {
  int index;
  if (!ChooseAudioStream(AStreamIndex, index))
    return false;
  if (FEOF && FEOFpkt) {
    Report(llInfo, "stream eof reached.");
    return false;
  }
  if (!OpenCodec(index, false))
    return false;
  FLastPTS = UnknownTime;
  FLastPos = -1;

  ResetWaveInfo();
  bool got = false;
  int64_t rawStamp = AV_NOPTS_VALUE, dts = AV_NOPTS_VALUE, pts = AV_NOPTS_VALUE;
  int packetFlags = 0;
  int errors = 0;
  for (;;) {
    int ret = ff::avcodec.avcodec_receive_frame(FAudioCodec, FFrame);
    if (ret >= 0) {
      if (!got) {
        dts = FFrame->pkt_dts;
        pts = FFrame->pts;
        rawStamp = dts != AV_NOPTS_VALUE ? dts : pts;
      }
      const bool ok = AppendAudio(FFrame);
      ff::avutil.av_frame_unref(FFrame);
      if (!ok)
        return false;
      got = got || FAudioBufferUsed > 0;
      continue;
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
      if (FEOFpkt && ++errors > 64)
        ret = AVERROR_EOF;
      else
        continue;
    }
    if (got)
      break; // this packet's samples are complete
    if (ret == AVERROR_EOF || FEOFpkt) {
      if (FlushAudioConverter()) {
        got = true;
        break;
      }
      return EndOfInput();
    }

    ret = ReadPacket();
    if (ret == AVERROR(EAGAIN)) {
      Report(llInfo, "no data, please try again.");
      return false;
    }
    if (ret < 0) {
      FEOFpkt = true;
      FReadError = ret;
      ff::avcodec.avcodec_send_packet(FAudioCodec, nullptr);
      continue;
    }
    if (FPacket->stream_index != index)
      continue;
    packetFlags = FPacket->flags;
    ff::avcodec.avcodec_send_packet(FAudioCodec, FPacket);
    ff::avcodec.av_packet_unref(FPacket);
  }
  LogFmt(llDebug, "pkt.st_idx=%d, dts=%" PRId64 ", pts=%" PRId64 ", flags=%d, samples data size=%d",
         index, dts, pts, packetFlags, static_cast<int>(FAudioBufferUsed));
  FinishWave(index, rawStamp, dts, pts);
  return true;
}

int32_t TFFDecoder::ReadAudio(void *ABuffer, int32_t ACount, int AStreamIndex) {
  if (FRemainsAudioSize <= 0) {
    if (!DecodeAudio(AStreamIndex))
      return -1;
    FRemainsAudioSize = FWaveInfo.Size;
  }
  const int32_t count = std::max<int32_t>(0, std::min(ACount, FRemainsAudioSize));
  if (!ABuffer)
    return count;
  std::memcpy(ABuffer, FWaveInfo.Buffer + (FWaveInfo.Size - FRemainsAudioSize),
              static_cast<size_t>(count));
  FRemainsAudioSize -= count;
  return count;
}
