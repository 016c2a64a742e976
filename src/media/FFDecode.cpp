// TCustomDecoder (loading, stream inventory, info getters) and the video
// side of TFFDecoder (seeking, decoding, navigation, bitmaps). The audio side
// is in FFDecodeAudio.cpp, the texts (FileInfoText, codec names) in
// FFDecodeInfo.cpp.

#include "media/FFDecode.h"

#include "engine/FFLoad.h"
#include "engine/FFUtils.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

std::string VFormat(const char *AFormat, va_list AArgs) {
  char buf[512];
  va_list copy;
  va_copy(copy, AArgs);
  const int n = std::vsnprintf(buf, sizeof(buf), AFormat, copy);
  va_end(copy);
  if (n < 0)
    return std::string();
  if (static_cast<size_t>(n) < sizeof(buf))
    return std::string(buf, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), AFormat, AArgs);
  text.resize(static_cast<size_t>(n));
  return text;
}

// 64-byte aligned grow-only buffers that do not depend on FFmpeg being loaded
// when they are freed.
uint8_t *AllocAligned(size_t ASize) {
  return static_cast<uint8_t *>(::operator new[](ASize, std::align_val_t(64), std::nothrow));
}
void FreeAligned(uint8_t *APtr) {
  ::operator delete[](APtr, std::align_val_t(64));
}

constexpr int64_t kDefaultFrameStep = 40000; // 25 frames per second

} // namespace

// ---------------------------------------------------------------------------
// TCustomDecoder

TCustomDecoder::TCustomDecoder(void * /*AOwner*/) {
  TCustomDecoder::ScanStreams();
}

TCustomDecoder::~TCustomDecoder() {
  TCustomDecoder::CloseFile();
}

bool TCustomDecoder::AVLibLoaded() const {
  return FFLoader().Loaded(DecoderLibraries);
}

bool TCustomDecoder::LoadAVLib(const std::string &APath) {
  FFLoader().SetLibraryPath(APath);
  if (FFLoader().Load(DecoderLibraries))
    return true;
  FLastErrMsg = FFLoader().LastErrMsg();
  return false;
}

void TCustomDecoder::UnloadAVLib() {
  CloseFile();
  FFLoader().Unload(DecoderLibraries);
}

void TCustomDecoder::CheckLibraries() {
  if (!FFLoader().Loaded(avCodec))
    throw std::runtime_error("LibAVCodec not loaded.");
  if (!FFLoader().Loaded(avFormat))
    throw std::runtime_error("LibAVFormat not loaded.");
  if (!FFLoader().Loaded(avUtil))
    throw std::runtime_error("LibAVUtil not loaded.");
  if (!FFLoader().Loaded(swScale))
    throw std::runtime_error("LibSwScale not loaded.");
}

void TCustomDecoder::Report(TLogLevel ALevel, const std::string &AMsg) {
  FLastErrMsg = AMsg;
  FFLogger().Log(this, ALevel, AMsg);
}

void TCustomDecoder::ReportFmt(TLogLevel ALevel, const char *AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  std::string text = VFormat(AFormat, args);
  va_end(args);
  Report(ALevel, text);
}

void TCustomDecoder::LogFmt(TLogLevel ALevel, const char *AFormat, ...) {
  TFFLogger &logger = FFLogger();
  if (!logger.Passes(ALevel))
    return;
  va_list args;
  va_start(args, AFormat);
  logger.LogFmtV(this, ALevel, AFormat, args);
  va_end(args);
}

bool TCustomDecoder::LoadFile(const std::string &AFileName, const std::string &AFormatName) {
  CheckLibraries();
  CloseFile();

  const AVInputFormat *format = nullptr;
  if (!AFormatName.empty()) {
    format = ff::avformat.av_find_input_format(AFormatName.c_str());
    if (!format) {
      FLastErrMsg = "Unknown input format: " + AFormatName;
      return false;
    }
  }

  AVFormatContext *ctx = FFAllocFormatContext();
  if (!ctx) {
    Report(llError, GetErrorText(AFileName, AVERROR(ENOMEM)));
    return false;
  }
  // Non-blocking reads: a source with no data ready answers EAGAIN instead of
  // blocking the (main) thread.
  ctx->flags |= AVFMT_FLAG_NONBLOCK;
  const std::string ffName = FileNameToFF(AFileName);
  // avformat_open_input frees the context on failure.
  int ret = ff::avformat.avformat_open_input(&ctx, ffName.c_str(), format, nullptr);
  if (ret < 0) {
    Report(llError, GetErrorText(AFileName, ret));
    CloseFile();
    return false;
  }
  FFileHandle = ctx;
  FOwnHandle = true;

  ret = ff::avformat.avformat_find_stream_info(ctx, nullptr);
  if (ret < 0) {
    FLastErrMsg = AFileName + ": could not find codec parameters";
    CloseFile();
    return false;
  }
  ScanStreams();
  FForceFormat = AFormatName;
  return true;
}

void TCustomDecoder::CloseFile() {
  if (FFileHandle && FOwnHandle && ff::avformat.avformat_close_input)
    ff::avformat.avformat_close_input(&FFileHandle);
  FFileHandle = nullptr;
  FOwnHandle = false;
  FForceFormat.clear();
  TCustomDecoder::ScanStreams();
}

void TCustomDecoder::SetFileHandle(AVFormatContext *AValue) {
  if (AValue == FFileHandle)
    return;
  CheckLibraries();
  CloseFile();
  FOwnHandle = false;
  FFileHandle = AValue;
  ScanStreams();
}

void TCustomDecoder::ScanStreams() {
  FFileSize = -1;
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
  if (!FFileHandle)
    return;

  int64_t size = FFileHandle->pb ? ff::avformat.avio_size(FFileHandle->pb) : -1;
  if (size <= 0 && FFileHandle->url) {
    std::error_code ec;
    const std::filesystem::path path(FileNameFromFF(FFileHandle->url));
    if (std::filesystem::is_regular_file(path, ec)) {
      const auto fsSize = std::filesystem::file_size(path, ec);
      if (!ec)
        size = static_cast<int64_t>(fsSize);
    }
  }
  FFileSize = size;

  FStreamCount = static_cast<int>(FFileHandle->nb_streams);
  FProgramCount = static_cast<int>(FFileHandle->nb_programs);
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (unsigned i = 0; i < FFileHandle->nb_streams; ++i) {
    const AVCodecParameters *par = FFileHandle->streams[i]->codecpar;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      if (FVideoStreamCount++ == 0)
        FFirstVideoStreamIndex = static_cast<int>(i);
      break;
    case AVMEDIA_TYPE_AUDIO:
      if (FAudioStreamCount++ == 0)
        FFirstAudioStreamIndex = static_cast<int>(i);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      if (FSubtitleStreamCount++ == 0)
        FFirstSubtitleStreamIndex = static_cast<int>(i);
      break;
    default:
      break;
    }
  }
}

std::string TCustomDecoder::FileName() const {
  if (!FFileHandle || !FFileHandle->url)
    return std::string();
  return FileNameFromFF(FFileHandle->url);
}

std::string TCustomDecoder::FormatName() const {
  if (!FFileHandle || !FFileHandle->iformat || !FFileHandle->iformat->name)
    return std::string();
  return FFileHandle->iformat->name;
}

std::string TCustomDecoder::FormatLongName() const {
  if (!FFileHandle || !FFileHandle->iformat || !FFileHandle->iformat->long_name)
    return std::string();
  return FFileHandle->iformat->long_name;
}

namespace {

bool IsKind(AVFormatContext *ACtx, int AIndex, AVMediaType AType) {
  return ACtx->streams[AIndex]->codecpar->codec_type == AType;
}

} // namespace

bool TCustomDecoder::IsStreamOfKind(int AStreamIndex, int AType) {
  if (!FFileHandle) {
    Report(llWarning, "file not loaded.");
    return false;
  }
  if (AStreamIndex < 0 || AStreamIndex >= FStreamCount) {
    ReportFmt(llError, "stream index #%d is invalid.", AStreamIndex);
    return false;
  }
  return IsKind(FFileHandle, AStreamIndex, static_cast<AVMediaType>(AType));
}

bool TCustomDecoder::IsAudioStream(int AStreamIndex) {
  return IsStreamOfKind(AStreamIndex, AVMEDIA_TYPE_AUDIO);
}

bool TCustomDecoder::IsVideoStream(int AStreamIndex) {
  return IsStreamOfKind(AStreamIndex, AVMEDIA_TYPE_VIDEO);
}

bool TCustomDecoder::IsSubtitleStream(int AStreamIndex) {
  return IsStreamOfKind(AStreamIndex, AVMEDIA_TYPE_SUBTITLE);
}

AVRational TCustomDecoder::RepairTimeBase(AVStream *AStream) {
  if (AStream->time_base.den == 0)
    AStream->time_base.den = AStream->time_base.num != 0 ? AStream->time_base.num : 1;
  return AStream->time_base;
}

int TCustomDecoder::SelectInfoStream(int AStreamIndex, AVMediaType AType) {
  if (!FFileHandle) {
    Report(llWarning, "file not loaded.");
    return -1;
  }
  const char *kind = AType == AVMEDIA_TYPE_AUDIO   ? "audio"
                     : AType == AVMEDIA_TYPE_VIDEO ? "video"
                                                   : "subtitle";
  if (AStreamIndex < 0) {
    const int first = AType == AVMEDIA_TYPE_AUDIO   ? FFirstAudioStreamIndex
                      : AType == AVMEDIA_TYPE_VIDEO ? FFirstVideoStreamIndex
                                                    : FFirstSubtitleStreamIndex;
    if (first < 0) {
      ReportFmt(llError, "no %s stream.", kind);
      return -1;
    }
    return first;
  }
  if (AStreamIndex >= FStreamCount) {
    ReportFmt(llError, "stream index #%d is invalid.", AStreamIndex);
    return -1;
  }
  if (!IsKind(FFileHandle, AStreamIndex, AType)) {
    ReportFmt(llError, "stream #%d is not %s stream.", AStreamIndex, kind);
    return -1;
  }
  return AStreamIndex;
}

namespace {

std::string MetaValue(const AVDictionary *AMeta, const char *AKey) {
  const AVDictionaryEntry *e = ff::avutil.av_dict_get(AMeta, AKey, nullptr, 0);
  return e && e->value ? std::string(e->value) : std::string();
}

void ScaleTimes(AVStream *AStream, AVRational ATimeBase, int64_t &AStart, int64_t &AStartScaled,
                int64_t &ADuration, int64_t &ADurationScaled) {
  AStart = AStream->start_time;
  ADuration = AStream->duration;
  AStartScaled = ADurationScaled = -1;
  if (AStart != AV_NOPTS_VALUE)
    AStartScaled = ff::avutil.av_rescale_q(AStart, ATimeBase, AV_TIME_BASE_Q);
  if (ADuration != AV_NOPTS_VALUE)
    ADurationScaled = ff::avutil.av_rescale_q(ADuration, ATimeBase, AV_TIME_BASE_Q);
}

int32_t ClampInt32(int64_t AValue) {
  if (AValue > INT32_MAX)
    return INT32_MAX;
  if (AValue < INT32_MIN)
    return INT32_MIN;
  return static_cast<int32_t>(AValue);
}

} // namespace

TFileStreamInfo TCustomDecoder::GetFileStreamInfo() {
  TFileStreamInfo info;
  if (!FFileHandle) {
    Report(llWarning, "file not loaded.");
    return info;
  }
  const AVFormatContext *ic = FFileHandle;
  info.StartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : -1;
  info.Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
  info.BitRate = ClampInt32(ic->bit_rate);
  // The 2011 context fields are metadata entries now; 0 when absent.
  info.TimeStamp = 0;
  const std::string created = MetaValue(ic->metadata, "creation_time");
  int64_t us = 0;
  if (!created.empty() && ff::avutil.av_parse_time(&us, created.c_str(), 0) >= 0)
    info.TimeStamp = us / 1000000;
  std::string year = MetaValue(ic->metadata, "year");
  if (year.empty())
    year = MetaValue(ic->metadata, "date");
  info.Year = static_cast<int32_t>(std::strtol(year.c_str(), nullptr, 10));
  info.Track =
      static_cast<int32_t>(std::strtol(MetaValue(ic->metadata, "track").c_str(), nullptr, 10));
  info.Title = MetaValue(ic->metadata, "title");
  info.Author = MetaValue(ic->metadata, "author");
  info.Copyright = MetaValue(ic->metadata, "copyright");
  info.Comment = MetaValue(ic->metadata, "comment");
  info.Album = MetaValue(ic->metadata, "album");
  info.Genre = MetaValue(ic->metadata, "genre");
  return info;
}

bool TCustomDecoder::GetAudioStreamInfo(int AStreamIndex, TAudioStreamInfo &AInfo) {
  AInfo = TAudioStreamInfo();
  const int index = SelectInfoStream(AStreamIndex, AVMEDIA_TYPE_AUDIO);
  if (index < 0)
    return false;
  AVStream *st = FFileHandle->streams[index];
  const AVRational tb = RepairTimeBase(st);
  AInfo.Language = MetaValue(st->metadata, "language");
  AInfo.CodecName = CodecName(st->codecpar);
  ScaleTimes(st, tb, AInfo.StartTime, AInfo.StartTimeScaled, AInfo.Duration, AInfo.DurationScaled);
  AInfo.BitRate = ClampInt32(st->codecpar->bit_rate);
  AInfo.Channels = st->codecpar->ch_layout.nb_channels;
  AInfo.SampleRate = st->codecpar->sample_rate;
  AInfo.SampleFormat = st->codecpar->format;
  return true;
}

bool TCustomDecoder::GetVideoStreamInfo(int AStreamIndex, TVideoStreamInfo &AInfo) {
  AInfo = TVideoStreamInfo();
  const int index = SelectInfoStream(AStreamIndex, AVMEDIA_TYPE_VIDEO);
  if (index < 0)
    return false;
  AVStream *st = FFileHandle->streams[index];
  const AVRational tb = RepairTimeBase(st);
  const AVCodecParameters *par = st->codecpar;
  AInfo.Language = MetaValue(st->metadata, "language");
  AInfo.CodecName = CodecName(par);
  ScaleTimes(st, tb, AInfo.StartTime, AInfo.StartTimeScaled, AInfo.Duration, AInfo.DurationScaled);
  AInfo.BitRate = ClampInt32(par->bit_rate);
  AInfo.Height = par->height;
  AInfo.Width = par->width;
  const AVRational sar = par->sample_aspect_ratio;
  AInfo.AspectRatio = (sar.num != 0 && sar.den != 0 && par->height > 0)
                          ? static_cast<float>(par->width * av_q2d(sar) / par->height)
                          : 0.0f;
  AInfo.PixFmt = par->format;
  AInfo.FrameRate = (st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0)
                        ? st->avg_frame_rate
                        : st->r_frame_rate;
  return true;
}

bool TCustomDecoder::GetSubtitleStreamInfo(int AStreamIndex, TSubtitleStreamInfo &AInfo) {
  AInfo = TSubtitleStreamInfo();
  const int index = SelectInfoStream(AStreamIndex, AVMEDIA_TYPE_SUBTITLE);
  if (index < 0)
    return false;
  AVStream *st = FFileHandle->streams[index];
  AInfo.Language = MetaValue(st->metadata, "language");
  AInfo.CodecName = CodecName(st->codecpar);
  return true;
}

TAudioStreamInfo TCustomDecoder::GetFirstAudioStreamInfo() {
  TAudioStreamInfo info;
  GetAudioStreamInfo(-1, info);
  return info;
}

TVideoStreamInfo TCustomDecoder::GetFirstVideoStreamInfo() {
  TVideoStreamInfo info;
  GetVideoStreamInfo(-1, info);
  return info;
}

TSubtitleStreamInfo TCustomDecoder::GetFirstSubtitleStreamInfo() {
  TSubtitleStreamInfo info;
  GetSubtitleStreamInfo(-1, info);
  return info;
}

// ---------------------------------------------------------------------------
// TFFDecoder: life cycle

TFFDecoder::TFFDecoder(void *AOwner) : TCustomDecoder(AOwner) {}

TFFDecoder::~TFFDecoder() {
  TFFDecoder::CloseFile();
  if (ff::avcodec.av_packet_free)
    ff::avcodec.av_packet_free(&FPacket);
  if (ff::avutil.av_frame_free) {
    ff::avutil.av_frame_free(&FFrame);
    ff::avutil.av_frame_free(&FPicture.Frame);
    ff::avutil.av_frame_free(&FSpare.Frame);
  }
  FreeAligned(FPicture.DeintBuf);
  FreeAligned(FSpare.DeintBuf);
  FreeAligned(FAudioBuffer);
}

void TFFDecoder::CloseFile() {
  FSeekIndex = -1;
  FStartTime = 0;
  FDecodeIndex = -1;
  FDesireAudioIndex = -1;
  FLastPos = -1;
  FLastPTS = UnknownTime;
  FEOF = FEOFpkt = false;
  FReadError = 0;
  DropPending();
  ReleaseSlot(FPicture);
  FPicture.Info = TFrameInfo();
  ResetWaveInfo();
  FRemainsAudioSize = 0;
  DiscardAudioConverter();
  CloseCodec(true);
  CloseCodec(false);
  TCustomDecoder::CloseFile();
}

void TFFDecoder::UnloadAVLib() {
  CloseFile();
  if (ff::avcodec.av_packet_free)
    ff::avcodec.av_packet_free(&FPacket);
  if (ff::avutil.av_frame_free) {
    ff::avutil.av_frame_free(&FFrame);
    ff::avutil.av_frame_free(&FPicture.Frame);
    ff::avutil.av_frame_free(&FSpare.Frame);
  }
  FFormatConv.ReleaseContexts();
  TCustomDecoder::UnloadAVLib();
}

void TFFDecoder::ScanStreams() {
  TCustomDecoder::ScanStreams();
  FSeekIndex = -1;
  FStartTime = 0;
  if (!FFileHandle)
    return;
  FSeekIndex = FFirstVideoStreamIndex >= 0 ? FFirstVideoStreamIndex : FFirstAudioStreamIndex;
  const int64_t start =
      FSeekIndex >= 0 ? FFileHandle->streams[FSeekIndex]->start_time : FFileHandle->start_time;
  FStartTime = start != AV_NOPTS_VALUE ? start : 0;
}

void TFFDecoder::ReleaseSlot(TPictureSlot &ASlot) {
  if (ASlot.Frame && ff::avutil.av_frame_unref)
    ff::avutil.av_frame_unref(ASlot.Frame);
}

void TFFDecoder::DropPending() {
  if (FHasPending) {
    ReleaseSlot(FSpare);
    FHasPending = false;
  }
}

// The held picture becomes "no picture"; its PTS and position are kept as the
// last ones for the backward navigation.
void TFFDecoder::ResetPicture() {
  TFrameInfo &info = FPicture.Info;
  if (info.PTS != UnknownTime)
    FLastPTS = info.PTS;
  if (info.Position != -1)
    FLastPos = info.Position;
  info.PixFmt = info.Width = info.Height = info.StreamIndex = -1;
  info.Position = -1;
  info.IsKeyFrame = false;
  info.PictureType = ptUnknown;
  info.PTS = info.OriginalDTS = info.OriginalPTS = UnknownTime;
  info.Ready = false;
  info.Picture = TAVPicture();
  info.Size = 0;
  ReleaseSlot(FPicture);
}

void TFFDecoder::ResetWaveInfo() {
  FWaveInfo = TWaveInfo();
  FAudioBufferUsed = 0;
}

bool TFFDecoder::CheckOwned() {
  if (!FFileHandle) {
    Report(llWarning, "file not loaded.");
    return false;
  }
  if (!FOwnHandle) {
    Report(llWarning, "file cannot be seeked, handle is readonly.");
    throw std::runtime_error("file cannot be seeked, handle is readonly.");
  }
  return true;
}

// Still pictures (the image2 demuxer and the single-picture *_pipe image
// demuxers FFmpeg picks for .png, .jpg, ...) have one picture and no seeking.
bool TFFDecoder::IsStillImage() const {
  if (!FFileHandle || !FFileHandle->iformat || !FFileHandle->iformat->name)
    return false;
  const std::string name = FFileHandle->iformat->name;
  return name == "image2" || name == "image2pipe" ||
         (name.size() > 5 && name.compare(name.size() - 5, 5, "_pipe") == 0);
}

int64_t TFFDecoder::Position() {
  if (!FFileHandle) {
    Report(llWarning, "file not loaded.");
    return -1;
  }
  if (!FFileHandle->pb) {
    Report(llWarning, "cannot get position");
    return -1;
  }
  return FFileHandle->pb->pos;
}

int64_t TFFDecoder::FrameStep(int AStreamIndex) {
  if (!FFileHandle || AStreamIndex < 0 || AStreamIndex >= FStreamCount)
    return kDefaultFrameStep;
  const AVStream *st = FFileHandle->streams[AStreamIndex];
  AVRational rate = st->avg_frame_rate;
  if (rate.num == 0 || rate.den == 0)
    rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0)
    return kDefaultFrameStep;
  const int64_t step = int64_t(1000000) * rate.den / rate.num;
  return step > 0 ? step : kDefaultFrameStep;
}

// ---------------------------------------------------------------------------
// Stream choice and codecs

bool TFFDecoder::ChooseVideoStream(int AStreamIndex, int &AIndex) {
  if (!CheckOwned())
    return false;
  int index = AStreamIndex;
  if (index < 0) {
    index = FDecodeIndex >= 0 ? FDecodeIndex : FFirstVideoStreamIndex;
    if (index < 0) {
      Report(llError, "no video stream.");
      return false;
    }
  } else if (index >= FStreamCount) {
    ReportFmt(llError, "stream index #%d is invalid.", index);
    return false;
  } else if (FFileHandle->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    ReportFmt(llError, "stream #%d is not video stream.", index);
    return false;
  }
  if (index != FDecodeIndex) {
    DropPending();
    ResetPicture();
    FDecodeIndex = index;
  }
  AIndex = index;
  return true;
}

bool TFFDecoder::ChooseAudioStream(int AStreamIndex, int &AIndex) {
  if (!CheckOwned())
    return false;
  int index = AStreamIndex;
  if (index < 0) {
    index = FDesireAudioIndex >= 0 ? FDesireAudioIndex : FFirstAudioStreamIndex;
    if (index < 0) {
      Report(llError, "no audio stream.");
      return false;
    }
  } else if (index >= FStreamCount) {
    ReportFmt(llError, "stream index #%d is invalid.", index);
    return false;
  } else if (FFileHandle->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
    ReportFmt(llError, "stream #%d is not audio stream.", index);
    return false;
  }
  if (index != FDesireAudioIndex) {
    ResetWaveInfo();
    FRemainsAudioSize = 0;
    DiscardAudioConverter();
    FDesireAudioIndex = index;
  }
  AIndex = index;
  return true;
}

void TFFDecoder::CloseCodec(bool AVideo) {
  AVCodecContext *&ctx = AVideo ? FCodec : FAudioCodec;
  if (ctx && ff::avcodec.avcodec_free_context)
    ff::avcodec.avcodec_free_context(&ctx);
  ctx = nullptr;
  (AVideo ? FCodecStream : FAudioCodecStream) = -1;
}

bool TFFDecoder::OpenCodec(int AIndex, bool AVideo) {
  AVStream *st = FFileHandle->streams[AIndex];
  const AVCodecParameters *par = st->codecpar;
  if (AVideo && (par->width == 0 || par->height == 0)) {
    Report(llError, "frame size of codec is invalid.");
    return false;
  }
  if ((AVideo ? FCodecStream : FAudioCodecStream) == AIndex && (AVideo ? FCodec : FAudioCodec))
    return true;
  CloseCodec(AVideo);

  if (!FPacket)
    FPacket = ff::avcodec.av_packet_alloc();
  if (!FFrame)
    FFrame = ff::avutil.av_frame_alloc();
  if (!FPicture.Frame)
    FPicture.Frame = ff::avutil.av_frame_alloc();
  if (!FSpare.Frame)
    FSpare.Frame = ff::avutil.av_frame_alloc();
  if (!FPacket || !FFrame || !FPicture.Frame || !FSpare.Frame) {
    ReportFmt(llError, "Error while opening codec for input file stream #%d", AIndex);
    return false;
  }

  const AVCodec *codec = ff::avcodec.avcodec_find_decoder(par->codec_id);
  if (!codec) {
    ReportFmt(llError, "Unsupported codec (id=%d) for input file stream #%d",
              static_cast<int>(par->codec_id), AIndex);
    return false;
  }
  AVCodecContext *ctx = ff::avcodec.avcodec_alloc_context3(codec);
  bool ok = ctx && ff::avcodec.avcodec_parameters_to_context(ctx, par) >= 0;
  if (ok) {
    ctx->pkt_timebase = RepairTimeBase(st);
    if (AVideo) {
      ctx->thread_count = FThreadCount;
      ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    ok = ff::avcodec.avcodec_open2(ctx, codec, nullptr) >= 0;
  }
  if (!ok) {
    if (ctx)
      ff::avcodec.avcodec_free_context(&ctx);
    ReportFmt(llError, "Error while opening codec for input file stream #%d", AIndex);
    return false;
  }
  (AVideo ? FCodec : FAudioCodec) = ctx;
  (AVideo ? FCodecStream : FAudioCodecStream) = AIndex;
  return true;
}

// ---------------------------------------------------------------------------
// Seeking

bool TFFDecoder::Seek(int64_t APTS, TSeekFlags ASeekFlags) {
  if (!CheckOwned())
    return false;
  if (IsStillImage()) {
    Report(llInfo, "\"image2\" format cannot to be seeked.");
    return false;
  }
  AVIOContext *pb = FFileHandle->pb;
  if (pb)
    ReportFmt(llDebug, "current position %" PRId64 " bytes", pb->pos);

  int64_t target = APTS < 0 ? 0 : APTS;
  if (!ASeekFlags.Contains(sfByte)) {
    if (FSeekIndex != -1)
      target = ff::avutil.av_rescale_q(target, AV_TIME_BASE_Q,
                                       RepairTimeBase(FFileHandle->streams[FSeekIndex]));
    if (FStartTime > 0)
      target += FStartTime;
  }

  if (FCodec)
    ff::avcodec.avcodec_flush_buffers(FCodec);
  if (FAudioCodec)
    ff::avcodec.avcodec_flush_buffers(FAudioCodec);
  FEOF = FEOFpkt = false;
  FReadError = 0;
  DropPending();
  ResetPicture();
  ResetWaveInfo();
  FRemainsAudioSize = 0;
  // Samples buffered in the resampler belong to the old position.
  if (FAudioResampler && ff::swresample.swr_init(FAudioResampler) < 0)
    DiscardAudioConverter();
  FAudioFlushed = false;
  FNextAudioPTS = UnknownTime;

  int ret;
  if (APTS > 0) {
    ret = ff::avformat.av_seek_frame(FFileHandle, FSeekIndex, target, ASeekFlags.Bits());
  } else {
    ret = ff::avformat.av_seek_frame(FFileHandle, FSeekIndex, 0, (ASeekFlags + sfBackward).Bits());
    if (ret < 0)
      ret = ff::avformat.av_seek_frame(FFileHandle, FSeekIndex, APTS,
                                       (ASeekFlags - sfBackward).Bits());
  }
  if (ret < 0) {
    if (ASeekFlags.Contains(sfByte))
      ReportFmt(llError, "could not seek to position %" PRId64 " bytes", APTS);
    else
      ReportFmt(llError, "could not seek to position %0.3f seconds", APTS / 1000000.0);
    return false;
  }
  if (pb)
    ReportFmt(llDebug, "seek to position %" PRId64 " bytes", pb->pos);
  return true;
}

// ---------------------------------------------------------------------------
// Decoding pictures

int TFFDecoder::ReadPacket() {
  ff::avcodec.av_packet_unref(FPacket);
  return ff::avformat.av_read_frame(FFileHandle, FPacket);
}

bool TFFDecoder::EndOfInput() {
  AVIOContext *pb = FFileHandle->pb;
  if (FReadError != AVERROR_EOF && !(pb && ff::avformat.avio_feof(pb))) {
    ReportFmt(llInfo, "unknown error #%d.", FReadError);
    return false;
  }
  Report(llInfo, "stream eof reached.");
  FEOF = true;
  return false;
}

bool TFFDecoder::Decode(int AStreamIndex) {
  int index;
  if (!ChooseVideoStream(AStreamIndex, index))
    return false;
  if (FHasPending) {
    // The picture a backward step decoded ahead of the one it returned.
    if (FPicture.Info.PTS != UnknownTime)
      FLastPTS = FPicture.Info.PTS;
    if (FPicture.Info.Position != -1)
      FLastPos = FPicture.Info.Position;
    std::swap(FPicture, FSpare);
    ReleaseSlot(FSpare);
    FHasPending = false;
    return true;
  }
  if (FPicture.Info.Ready && IsStillImage())
    return true;
  if (FEOF && FEOFpkt) {
    Report(llInfo, "stream eof reached.");
    return false;
  }
  if (!OpenCodec(index, true))
    return false;
  const int64_t position = FFileHandle->pb ? FFileHandle->pb->pos : -1;

  int errors = 0; // consecutive decode errors while draining
  for (;;) {
    int ret = ff::avcodec.avcodec_receive_frame(FCodec, FFrame);
    if (ret >= 0) {
      StorePicture(FFrame, index, position);
      return true;
    }
    if (ret == AVERROR_EOF)
      return EndOfInput();
    if (ret != AVERROR(EAGAIN)) {
      // A picture that failed to decode: go on with the next one.
      if (FEOFpkt && ++errors > 64)
        return EndOfInput();
      continue;
    }
    if (FEOFpkt)
      return EndOfInput(); // nothing more will come out

    ret = ReadPacket();
    if (ret == AVERROR(EAGAIN)) {
      Report(llInfo, "no data, please try again.");
      return false;
    }
    if (ret < 0) {
      // The end of the input (or a read error): drain the pictures the
      // decoder still holds.
      FEOFpkt = true;
      FReadError = ret;
      ff::avcodec.avcodec_send_packet(FCodec, nullptr);
      continue;
    }
    if (FPacket->stream_index != index)
      continue;
    if (FSkipMode != skNone)
      ChooseSkip(FPacket, FFileHandle->streams[index]);
    // Corrupt packets are skipped (the decoder reports them to the log).
    ff::avcodec.avcodec_send_packet(FCodec, FPacket);
    ff::avcodec.av_packet_unref(FPacket);
  }
}

void TFFDecoder::StorePicture(AVFrame *AFrame, int AIndex, int64_t APosition) {
  AVStream *st = FFileHandle->streams[AIndex];
  const AVRational tb = RepairTimeBase(st);
  TFrameInfo &info = FPicture.Info;

  LogFmt(llDebug, "pkt.st_idx=%d, dts=%" PRId64 ", pts=%" PRId64 ", flags=%d, pict_type=%d", AIndex,
         AFrame->pkt_dts, AFrame->pts, AFrame->key_frame ? AV_PKT_FLAG_KEY : 0,
         static_cast<int>(AFrame->pict_type));

  // The frame's own stamp: FFmpeg's best effort (its presentation stamp when
  // those are consistent, else the decode stamp of its packet).
  int64_t raw = AFrame->best_effort_timestamp;
  if (raw == AV_NOPTS_VALUE)
    raw = AFrame->pts != AV_NOPTS_VALUE ? AFrame->pts : AFrame->pkt_dts;

  // While draining, a picture without a stamp is put one frame step (as
  // measured between the last two pictures) beyond the held one.
  int64_t estimated = UnknownTime;
  if (raw == AV_NOPTS_VALUE && FEOFpkt && info.PTS != UnknownTime && FLastPTS != UnknownTime)
    estimated = info.PTS + (info.PTS - FLastPTS);
  if (info.PTS != UnknownTime)
    FLastPTS = info.PTS;
  if (info.Position != -1)
    FLastPos = info.Position;

  int64_t pts = estimated;
  if (raw != AV_NOPTS_VALUE) {
    if (st->start_time != AV_NOPTS_VALUE)
      raw -= st->start_time;
    pts = ff::avutil.av_rescale_q(raw, tb, AV_TIME_BASE_Q);
    LogFmt(llDebug, "decode PTS: %0.3f", pts / 1000000.0);
  }

  // Hold a reference to the decoded frame: no copy of the pixels.
  ff::avutil.av_frame_unref(FPicture.Frame);
  ff::avutil.av_frame_move_ref(FPicture.Frame, AFrame);
  const AVFrame *held = FPicture.Frame;

  info.PixFmt = held->format;
  info.Width = held->width;
  info.Height = held->height;
  info.IsKeyFrame = held->key_frame != 0;
  info.PictureType =
      (held->pict_type >= AV_PICTURE_TYPE_NONE && held->pict_type <= AV_PICTURE_TYPE_BI)
          ? static_cast<TPictureType>(held->pict_type)
          : ptUnknown;
  info.PTS = pts;
  info.OriginalDTS = held->pkt_dts;
  info.OriginalPTS = held->pts;
  info.StreamIndex = AIndex;
  info.Position = APosition;
  info.Picture = TAVPicture();
  for (int i = 0; i < 4; ++i) {
    info.Picture.data[i] = held->data[i];
    info.Picture.linesize[i] = held->linesize[i];
  }
  const int size = ff::avutil.av_image_get_buffer_size(static_cast<AVPixelFormat>(held->format),
                                                       held->width, held->height, 1);
  info.Size = size > 0 ? size : 0;
  if (FDeinterlace && !DeinterlaceInto(FPicture, held))
    FDeinterlace = false; // reported; the picture stays as decoded
  info.Ready = true;
}

void TFFDecoder::ChooseSkip(const AVPacket *APacket, const AVStream *AStream) {
  bool skip = false;
  if (APacket->pts != AV_NOPTS_VALUE) {
    int64_t raw = APacket->pts;
    if (AStream->start_time != AV_NOPTS_VALUE)
      raw -= AStream->start_time;
    const int64_t us = ff::avutil.av_rescale_q(raw, AStream->time_base, AV_TIME_BASE_Q);
    if (FSkipMode == skBefore) {
      skip = us < FSkipLimit;
    } else {
      skip = FSkipBelowMax != UnknownTime && us < FSkipBelowMax;
      if (us < FSkipLimit && (FSkipBelowMax == UnknownTime || us > FSkipBelowMax))
        FSkipBelowMax = us;
    }
  }
  const AVDiscard wanted = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  if (FCodec->skip_frame != wanted)
    FCodec->skip_frame = wanted;
}

void TFFDecoder::EndSkip() {
  FSkipMode = skNone;
  FSkipBelowMax = UnknownTime;
  if (FCodec)
    FCodec->skip_frame = AVDISCARD_DEFAULT;
}

int64_t TFFDecoder::HeldOrLastPTS() const {
  if (FPicture.Info.PTS != UnknownTime)
    return FPicture.Info.PTS;
  return FLastPTS;
}

// ---------------------------------------------------------------------------
// Deinterlacing: every second line (the bottom field) is rebuilt from its
// neighbours with the kernel (-1 4 2 4 -1) / 8; the top field is kept.

namespace {

inline uint8_t Clip8(int AValue) {
  return static_cast<uint8_t>(AValue < 0 ? 0 : (AValue > 255 ? 255 : AValue));
}

void DeinterlacePlane(uint8_t *ADst, int ADstStride, const uint8_t *ASrc, int ASrcStride,
                      int AWidth, int AHeight) {
  auto line = [&](int y) {
    y = y < 0 ? 0 : (y >= AHeight ? AHeight - 1 : y);
    return ASrc + static_cast<ptrdiff_t>(y) * ASrcStride;
  };
  for (int y = 0; y < AHeight; ++y) {
    uint8_t *d = ADst + static_cast<ptrdiff_t>(y) * ADstStride;
    if ((y & 1) == 0) {
      std::memcpy(d, line(y), static_cast<size_t>(AWidth));
      continue;
    }
    const uint8_t *m2 = line(y - 2), *m1 = line(y - 1), *c = line(y), *p1 = line(y + 1),
                  *p2 = line(y + 2);
    for (int x = 0; x < AWidth; ++x) {
      const int sum = -m2[x] + 4 * m1[x] + 2 * c[x] + 4 * p1[x] - p2[x];
      d[x] = Clip8((sum + 4) >> 3);
    }
  }
}

} // namespace

bool TFFDecoder::DeinterlaceInto(TPictureSlot &ASlot, const AVFrame *AFrame) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(AFrame->format);
  switch (fmt) {
  case AV_PIX_FMT_YUV420P:
  case AV_PIX_FMT_YUVJ420P:
  case AV_PIX_FMT_YUV422P:
  case AV_PIX_FMT_YUVJ422P:
  case AV_PIX_FMT_YUV444P:
  case AV_PIX_FMT_YUVJ444P:
  case AV_PIX_FMT_YUV411P:
  case AV_PIX_FMT_GRAY8:
    break;
  default:
    FFLogger().Log(this, llError, "deinterlacing failed.");
    return false;
  }
  const AVPixFmtDescriptor *desc = ff::avutil.av_pix_fmt_desc_get(fmt);
  if (!desc || AFrame->height < 4) {
    FFLogger().Log(this, llError, "deinterlacing failed.");
    return false;
  }
  int linesizes[4] = {};
  if (ff::avutil.av_image_fill_linesizes(linesizes, fmt, AFrame->width) < 0) {
    FFLogger().Log(this, llError, "deinterlacing failed.");
    return false;
  }
  const int planes = fmt == AV_PIX_FMT_GRAY8 ? 1 : 3;
  size_t need = 0;
  int heights[4] = {};
  for (int p = 0; p < planes; ++p) {
    heights[p] = p == 0 ? AFrame->height : -((-AFrame->height) >> desc->log2_chroma_h);
    need += static_cast<size_t>(linesizes[p]) * static_cast<size_t>(heights[p]);
  }
  if (need > ASlot.DeintSize) {
    uint8_t *buf = AllocAligned(need);
    if (!buf) {
      FFLogger().Log(this, llError, "deinterlace buffer malloc error.");
      return false;
    }
    FreeAligned(ASlot.DeintBuf);
    ASlot.DeintBuf = buf;
    ASlot.DeintSize = need;
  }
  TAVPicture &pic = ASlot.Info.Picture;
  uint8_t *dst = ASlot.DeintBuf;
  for (int p = 0; p < planes; ++p) {
    DeinterlacePlane(dst, linesizes[p], AFrame->data[p], AFrame->linesize[p],
                     p == 0 ? AFrame->width : -((-AFrame->width) >> desc->log2_chroma_w),
                     heights[p]);
    pic.data[p] = dst;
    pic.linesize[p] = linesizes[p];
    dst += static_cast<size_t>(linesizes[p]) * static_cast<size_t>(heights[p]);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Navigation

bool TFFDecoder::DecodeNextKeyFrame(int AStreamIndex) {
  int index;
  if (!ChooseVideoStream(AStreamIndex, index))
    return false;
  int64_t target = FrameStep(index);
  if (FPicture.Info.PTS != UnknownTime && FPicture.Info.PTS > 0)
    target += FPicture.Info.PTS;
  if (!Seek(target, {}))
    return false;
  return Decode(index);
}

bool TFFDecoder::DecodePreviousKeyFrame(int AStreamIndex) {
  int index;
  if (!ChooseVideoStream(AStreamIndex, index))
    return false;
  const int64_t step = FrameStep(index);
  int64_t reference = HeldOrLastPTS();
  if (reference == UnknownTime) {
    reference = 0;
    if (FFileHandle->duration != AV_NOPTS_VALUE)
      reference = FFileHandle->duration;
  }

  // Seek further back by one frame step per attempt until a picture before
  // the reference comes out. The attempt that reaches the start of the file
  // is the last one. After eight attempts the step back doubles, and a seek
  // that fails goes straight to the start, so a long file whose seeks land
  // late (or fail) costs a few seeks, not one per frame.
  for (int64_t h = 1;;) {
    const int64_t back = h * step;
    const bool last = back > reference;
    const bool sought = Seek(reference - back, {sfBackward});
    if (sought && Decode(index)) {
      const int64_t pts = FPicture.Info.PTS;
      if (pts == UnknownTime || pts < reference || pts <= 0)
        return true;
    }
    if (last)
      break;
    if (!sought)
      h = reference / step + 1;
    else
      h = h < 8 ? h + 1 : h * 2;
  }
  FLastErrMsg = "Could not seek to the previous key-frame. " + FLastErrMsg;
  return false;
}

bool TFFDecoder::DecodeToTime(int64_t ATarget, int AStreamIndex) {
  int index;
  if (!ChooseVideoStream(AStreamIndex, index))
    return false;
  if (FPicture.Info.Ready &&
      (ATarget <= 0 || FPicture.Info.PTS == UnknownTime || FPicture.Info.PTS >= ATarget))
    return true;
  FSkipMode = skBefore;
  FSkipLimit = ATarget;
  bool ok;
  do {
    ok = Decode(index);
  } while (ok && FPicture.Info.PTS != UnknownTime && FPicture.Info.PTS < ATarget);
  EndSkip();
  return ok;
}

bool TFFDecoder::DecodePreviousFrame(int AStreamIndex) {
  int index;
  if (!ChooseVideoStream(AStreamIndex, index))
    return false;
  int64_t reference = HeldOrLastPTS();
  if (reference == UnknownTime)
    reference = 0;
  if (!DecodePreviousKeyFrame(index))
    return false;

  // Decode forward from the key frame and keep the last picture before the
  // reference; the picture decoded past it is kept for the next Decode.
  FSkipMode = skLastBefore;
  FSkipLimit = reference;
  FSkipBelowMax = UnknownTime;
  struct TEndSkip {
    TFFDecoder *Self;
    ~TEndSkip() { Self->EndSkip(); }
  } endSkip{this};
  for (;;) {
    if (FPicture.Info.PTS == UnknownTime || FPicture.Info.PTS >= reference)
      return true; // nothing earlier exists
    const int64_t lastPTS = FLastPTS, lastPos = FLastPos;
    std::swap(FPicture, FSpare); // FSpare = candidate
    FPicture.Info = FSpare.Info; // the stamps the next picture is measured against
    FPicture.Info.Ready = false;
    const bool eofpkt = FEOFpkt, eof = FEOF;
    if (!Decode(index)) {
      // The candidate was the last picture of the stream.
      std::swap(FPicture, FSpare);
      ReleaseSlot(FSpare);
      FSpare.Info = TFrameInfo();
      FLastPTS = lastPTS;
      FLastPos = lastPos;
      FEOFpkt = eofpkt || FEOFpkt;
      FEOF = eof || FEOF;
      return true;
    }
    if (FPicture.Info.PTS == UnknownTime || FPicture.Info.PTS >= reference) {
      std::swap(FPicture, FSpare); // candidate back; the new picture is pending
      FHasPending = true;
      FLastPTS = lastPTS;
      FLastPos = lastPos;
      return true;
    }
    ReleaseSlot(FSpare);
  }
}

// ---------------------------------------------------------------------------
// Bitmaps

bool TFFDecoder::CopyToBitmap(TFFBitmap &ABitmap) {
  const TFrameInfo &info = FPicture.Info;
  if (!info.Ready) {
    Report(llError, "picture not ready, please decode first");
    return false;
  }
  if (FFormatConv.PictureToRGB(info.Picture, static_cast<AVPixelFormat>(info.PixFmt), true,
                               info.Height, info.Width)) {
    return ABitmap.Assign(FFormatConv.Bitmap()); // false only without memory
  }
  ABitmap.SetFormatAndSize(FFormatConv.BMPPixFmt(), info.Width, info.Height);
  ABitmap.Fill(0);
  Report(llError, FFormatConv.LastErrMsg());
  return false;
}

const TBitmapInfo *TFFDecoder::GetBitmapPtr() {
  const TFrameInfo &info = FPicture.Info;
  if (!info.Ready) {
    Report(llError, "picture not ready, please decode first");
    return nullptr;
  }
  if (!FFormatConv.PictureToRGB(info.Picture, static_cast<AVPixelFormat>(info.PixFmt), false,
                                info.Height, info.Width)) {
    Report(llError, FFormatConv.LastErrMsg());
    return nullptr;
  }
  return &FFormatConv.DIB();
}

// ---------------------------------------------------------------------------
// TPreviewer

bool TPreviewer::PaintFrame(const TFFBitmap &ABitmap, int64_t AFrameNumber, int64_t APTS) {
  if (FClosed.load())
    return false;
  FBitmap.Assign(ABitmap);
  FFrameNumber = AFrameNumber;
  FPTS = APTS;
  ShowFrame();
  return !FClosed.load();
}
