#pragma once
// The engine's read-only view of a media file.
//
// TCustomDecoder opens a file and reports what it holds (container, streams,
// codecs, tags; FileInfoText). TFFDecoder adds seeking, picture decoding in
// both directions, conversion of the held picture to a TFFBitmap, and audio
// decoding converted to a wanted channel count, rate and sample format.
// TPreviewer is the interface of the small window in which the transcoder
// shows the pictures it encodes (the GUI implements it).
//
// Time values are int64. "Raw" times are in the stream's time base; every
// time handed out for positioning (FrameInfo().PTS, Seek targets, scaled info
// fields) is in microseconds. Inside the decoder an unknown time is
// AV_NOPTS_VALUE (UnknownTime); the info records give -1 for unknown values.
//
// Threads: not thread-safe; one thread at a time (the application uses the
// decoders on the main thread). Needs the decoder's library set loaded
// (LoadAVLib) while a file is open.
//
// Reports: every failure and notable step goes to the engine logger
// (FFLogger()) at FFmpeg's levels (error 16, warning 24, info 32, debug 48)
// and, unless noted as "engine log only", is also kept as LastErrMsg.

#include "engine/FFApi.h"
#include "engine/FFBaseComponent.h"
#include "engine/FFLog.h"
#include "media/FFBitmap.h"
#include "media/FFFormatConverter.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>

using TAVRational = AVRational;

// FFmpeg's unknown-time marker (0x8000000000000000).
inline constexpr int64_t UnknownTime = AV_NOPTS_VALUE;

// File level information. -1 = unknown for StartTime and Duration
// (microseconds); TimeStamp, Year and Track are 0 when the container has none.
struct TFileStreamInfo {
  int64_t StartTime = -1;
  int64_t Duration = -1;
  int32_t BitRate = -1;   // bit/s
  int64_t TimeStamp = -1; // creation time, seconds since 1970-01-01 UTC
  int32_t Year = -1;
  int32_t Track = -1;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

// Per stream. StartTime/Duration are raw (stream time base; UnknownTime when
// the stream gives none), the Scaled twins microseconds (-1 when unknown).
struct TAudioStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;
  int64_t StartTimeScaled = -1;
  int64_t Duration = -1;
  int64_t DurationScaled = -1;
  int32_t BitRate = -1;
  int32_t Channels = -1;
  int32_t SampleRate = -1;
  int32_t SampleFormat = -1; // AVSampleFormat
};

struct TVideoStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;
  int64_t StartTimeScaled = -1;
  int64_t Duration = -1;
  int64_t DurationScaled = -1;
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float AspectRatio = -1.0f; // display aspect; 0 when the sample aspect ratio is unknown
  int32_t PixFmt = -1;       // AVPixelFormat
  TAVRational FrameRate = {-1, -1};
};

struct TSubtitleStreamInfo {
  std::string Language;
  std::string CodecName;
};

// FFmpeg's picture types 0..7.
enum TPictureType { ptUnknown, ptI, ptP, ptB, ptS, ptSI, ptSP, ptBI };

// The held picture. Picture's planes belong to the decoder and stay valid
// until the next Decode*/Seek/CloseFile (they point into a reference to the
// decoded frame, or into the deinterlace buffer when Deinterlace is on).
struct TFrameInfo {
  int32_t PixFmt = -1; // AVPixelFormat
  int32_t Width = -1;
  int32_t Height = -1;
  bool IsKeyFrame = false;
  TPictureType PictureType = ptUnknown;
  int64_t PTS = UnknownTime;         // microseconds from the stream start
  int64_t OriginalDTS = UnknownTime; // raw, stream time base
  int64_t OriginalPTS = UnknownTime; // raw, stream time base
  int32_t StreamIndex = -1;
  int64_t Position = -1; // input byte position before this picture's packets were read
  bool Ready = false;    // a picture is held
  TAVPicture Picture;
  int32_t Size = 0; // bytes of the picture in its pixel format (packed)
};

// The last decoded audio, interleaved in the desired format. Buffer is owned
// by the decoder and valid until the next DecodeAudio/Seek/CloseFile.
struct TWaveInfo {
  int32_t Channels = -1;
  int32_t SampleRate = -1;
  int32_t SampleFormat = -1; // AVSampleFormat (packed)
  int32_t BytesPerSample = -1;
  int32_t BytesPerSecond = -1;
  int64_t PTS = UnknownTime; // microseconds from the stream start
  int64_t OriginalDTS = UnknownTime;
  int64_t OriginalPTS = UnknownTime;
  int32_t StreamIndex = -1;
  bool Ready = false;
  const uint8_t *Buffer = nullptr;
  int32_t Size = 0;      // bytes in Buffer
  int64_t Duration = -1; // microseconds
};

// Seek flags; the set's bits are FFmpeg's AVSEEK_FLAG_* values.
enum TSeekFlag { sfBackward, sfByte, sfAny, sfFrame };

class TSeekFlags {
public:
  constexpr TSeekFlags() = default;
  constexpr TSeekFlags(std::initializer_list<TSeekFlag> AFlags) {
    for (TSeekFlag f : AFlags)
      FBits |= 1u << f;
  }
  constexpr bool Contains(TSeekFlag AFlag) const { return (FBits & (1u << AFlag)) != 0; }
  constexpr TSeekFlags operator+(TSeekFlag AFlag) const { return FromBits(FBits | (1u << AFlag)); }
  constexpr TSeekFlags operator-(TSeekFlag AFlag) const { return FromBits(FBits & ~(1u << AFlag)); }
  constexpr int Bits() const { return static_cast<int>(FBits); }
  static constexpr TSeekFlags FromBits(unsigned ABits) {
    TSeekFlags f;
    f.FBits = ABits & 15u;
    return f;
  }

private:
  unsigned FBits = 0;
};
static_assert(TSeekFlags{sfBackward}.Bits() == AVSEEK_FLAG_BACKWARD);
static_assert(TSeekFlags{sfByte}.Bits() == AVSEEK_FLAG_BYTE);
static_assert(TSeekFlags{sfAny}.Bits() == AVSEEK_FLAG_ANY);
static_assert(TSeekFlags{sfFrame}.Bits() == AVSEEK_FLAG_FRAME);

// "%.2d:%.2d:%.2d.%.3d" of a microsecond value (hours not wrapped); "N/A" for
// UnknownTime.
std::string DurationText(int64_t AMicroseconds);
// "%d Byte" / "%.2f KB" / "%.2f MB" / "%.2f GB".
std::string FileSizeText(int64_t ABytes);

class TCustomDecoder : public TFFBaseComponent {
public:
  // AOwner is informational only (the decoder does not belong to it).
  explicit TCustomDecoder(void *AOwner = nullptr);
  ~TCustomDecoder() override;

  // The decoder's library set (DecoderLibraries of FFLoad.h).
  bool AVLibLoaded() const;
  // Sets the loader's folder to APath and loads the set; false with
  // LastErrMsg = the loader's error.
  bool LoadAVLib(const std::string &APath);
  // Closes the file, frees what the decoder holds of the libraries, then
  // unloads the set (for every component: the loader is shared).
  virtual void UnloadAVLib();

  // Opens AFileName; AFormatName "" probes the format, otherwise names the
  // FFmpeg input format to force. Always closes the previous file first, so
  // a failed load leaves the decoder closed. Throws std::runtime_error
  // "LibAVCodec not loaded." (etc.) when the libraries are missing.
  bool LoadFile(const std::string &AFileName, const std::string &AFormatName = "");
  // Closes the file (when owned), clears ForceFormat, counters to -1.
  virtual void CloseFile();
  // Adopts a format context opened by someone else; it is never closed by
  // the decoder, and TFFDecoder refuses to seek or decode on it.
  virtual void SetFileHandle(AVFormatContext *AValue);
  AVFormatContext *FileHandle() const { return FFileHandle; }
  // Recomputes the counters from the open context.
  virtual void ScanStreams();

  // False with a report when no file is loaded or the index is out of range.
  bool IsAudioStream(int AStreamIndex);
  bool IsVideoStream(int AStreamIndex);
  bool IsSubtitleStream(int AStreamIndex);

  std::string FileName() const;
  int64_t FileSize() const { return FFileSize; }
  const std::string &ForceFormat() const { return FForceFormat; }
  std::string FormatName() const;
  std::string FormatLongName() const;
  // -1 each while no file is open.
  int StreamCount() const { return FStreamCount; }
  int ProgramCount() const { return FProgramCount; }
  int AudioStreamCount() const { return FAudioStreamCount; }
  int VideoStreamCount() const { return FVideoStreamCount; }
  int SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
  int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
  int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }

  TFileStreamInfo GetFileStreamInfo();
  TFileStreamInfo FileStreamInfo() { return GetFileStreamInfo(); }
  // Fill AInfo for stream AStreamIndex (negative: the first stream of the
  // kind). False (AInfo holding unknown values) with a report on failure.
  bool GetAudioStreamInfo(int AStreamIndex, TAudioStreamInfo &AInfo);
  bool GetVideoStreamInfo(int AStreamIndex, TVideoStreamInfo &AInfo);
  bool GetSubtitleStreamInfo(int AStreamIndex, TSubtitleStreamInfo &AInfo);
  TAudioStreamInfo GetFirstAudioStreamInfo();
  TVideoStreamInfo GetFirstVideoStreamInfo();
  TSubtitleStreamInfo GetFirstSubtitleStreamInfo();
  TAudioStreamInfo FirstAudioStreamInfo() { return GetFirstAudioStreamInfo(); }
  TVideoStreamInfo FirstVideoStreamInfo() { return GetFirstVideoStreamInfo(); }
  TSubtitleStreamInfo FirstSubtitleStreamInfo() { return GetFirstSubtitleStreamInfo(); }

  // A multi-line description of the file (see FFDecodeInfo.cpp); "" with the
  // warning "file not loaded." when no file is open.
  std::string FileInfoText();

  const std::string &LastErrMsg() const { return FLastErrMsg; }

  // The codec name shown for a stream's parameters: "short(long)", or a
  // fallback built from the codec id / tag when no decoder exists.
  static std::string CodecName(const AVCodecParameters *APar);

protected:
  // Logs at ALevel and keeps the text as LastErrMsg.
  void Report(TLogLevel ALevel, const std::string &AMsg);
  void ReportFmt(TLogLevel ALevel, const char *AFormat, ...) __attribute__((format(printf, 3, 4)));
  // Engine log only (formats only when the level passes the logger's filter).
  void LogFmt(TLogLevel ALevel, const char *AFormat, ...) __attribute__((format(printf, 3, 4)));
  void SetLastErrMsg(const std::string &AMsg) { FLastErrMsg = AMsg; }

  // Checks avcodec, avformat, avutil, swscale in that order; throws.
  static void CheckLibraries();
  // Common start of the per-stream getters: the stream index to use, or -1
  // after reporting.
  int SelectInfoStream(int AStreamIndex, AVMediaType AType);
  // Repairs a zero time-base denominator in the stream itself.
  static AVRational RepairTimeBase(AVStream *AStream);

  AVFormatContext *FFileHandle = nullptr;
  bool FOwnHandle = false;
  std::string FLastErrMsg;
  std::string FForceFormat;
  int64_t FFileSize = -1;
  int FStreamCount = -1;
  int FProgramCount = -1;
  int FAudioStreamCount = -1;
  int FVideoStreamCount = -1;
  int FSubtitleStreamCount = -1;
  int FFirstAudioStreamIndex = -1;
  int FFirstVideoStreamIndex = -1;
  int FFirstSubtitleStreamIndex = -1;

private:
  // AType is an AVMediaType; false with a report as for IsAudioStream.
  bool IsStreamOfKind(int AStreamIndex, int AType);
  std::string StreamLine(unsigned AIndex);
  void MetadataBlock(std::string &AText, const AVDictionary *AMeta, const char *APrefix);
};

class TFFDecoder : public TCustomDecoder {
public:
  explicit TFFDecoder(void *AOwner = nullptr);
  ~TFFDecoder() override;

  void CloseFile() override;
  void ScanStreams() override;
  void UnloadAVLib() override;

  // APTS: microseconds from the start of the file, or a byte offset with
  // sfByte. Clears the end-of-input state and the held picture whether the
  // seek succeeds or not. Refused (false) for a still image.
  bool Seek(int64_t APTS, TSeekFlags ASeekFlags = {});
  // The next picture of a video stream (-1: the stream decoded last, else the
  // first video stream) into FrameInfo().
  bool Decode(int AStreamIndex = -1);
  // The first picture of the next key frame after the held picture.
  bool DecodeNextKeyFrame(int AStreamIndex = -1);
  // The picture one frame before the held one (the next Decode then returns
  // the held one again).
  bool DecodePreviousFrame(int AStreamIndex = -1);
  // The first picture of a key frame before the held picture.
  bool DecodePreviousKeyFrame(int AStreamIndex = -1);
  // Decodes pictures until one has a PTS not below ATarget (microseconds) and
  // holds that one; at once for ATarget <= 0 when a picture is held. Pictures
  // that no other picture refers to and that lie before ATarget are dropped
  // inside the codec, which makes "seek, then decode up to a time" cheaper
  // than calling Decode in a loop. False when the input ends first.
  bool DecodeToTime(int64_t ATarget, int AStreamIndex = -1);

  // Converts the held picture to the converter's bitmap format and copies it
  // into ABitmap. On failure ABitmap is the picture's size, black.
  bool CopyToBitmap(TFFBitmap &ABitmap);
  // Converts the held picture; the description of the RGB picture, or null.
  const TBitmapInfo *GetBitmapPtr();

  // Decodes the next audio packet of an audio stream (-1: the stream decoded
  // last, else the first audio stream) into WaveInfo(), converted to the
  // desired channels, rate and sample format.
  bool DecodeAudio(int AStreamIndex = -1);
  // Copies up to ACount bytes of decoded audio to ABuffer, decoding when none
  // is pending; the byte count, -1 on failure. ABuffer null: the count that
  // would be handed out, nothing consumed.
  int32_t ReadAudio(void *ABuffer, int32_t ACount, int AStreamIndex = -1);

  int BitmapBitsPixel() const { return FFormatConv.BitsPixel(); }
  void SetBitmapBitsPixel(int AValue) { FFormatConv.SetBitsPixel(AValue); }
  TFormatConverter &FormatConverter() { return FFormatConv; }
  bool Deinterlace() const { return FDeinterlace; }
  void SetDeinterlace(bool AValue) { FDeinterlace = AValue; }
  const TFrameInfo &FrameInfo() const { return FPicture.Info; }
  // Current byte position of the input; -1 with a warning when unavailable.
  int64_t Position();
  const TWaveInfo &WaveInfo() const { return FWaveInfo; }

  // Desired audio output; changing one discards the resampler. The sample
  // format is always delivered packed (a planar choice means its packed twin).
  int DesireAudioChannels() const { return FDesireAudioChannels; }
  void SetDesireAudioChannels(int AValue);
  int DesireAudioSampleRate() const { return FDesireAudioSampleRate; }
  void SetDesireAudioSampleRate(int AValue);
  AVSampleFormat DesireAudioSampleFormat() const { return FDesireAudioSampleFormat; }
  void SetDesireAudioSampleFormat(AVSampleFormat AValue);

  // Video decoder threads for codecs opened from now on: 0 = one per core
  // (FFmpeg's automatic choice, the default), 1 = single-threaded.
  int ThreadCount() const { return FThreadCount; }
  void SetThreadCount(int AValue) { FThreadCount = AValue < 0 ? 0 : AValue; }

  // The frame step of a video stream in microseconds (40000 without a rate).
  int64_t FrameStep(int AStreamIndex);

private:
  // One held picture: its description, a reference to the decoded frame and
  // its own grow-only deinterlace buffer. Slots are swapped, never copied.
  struct TPictureSlot {
    TFrameInfo Info;
    AVFrame *Frame = nullptr;
    uint8_t *DeintBuf = nullptr;
    size_t DeintSize = 0;
  };

  bool CheckOwned();
  bool IsStillImage() const;
  bool ChooseVideoStream(int AStreamIndex, int &AIndex);
  bool ChooseAudioStream(int AStreamIndex, int &AIndex);
  bool OpenCodec(int AIndex, bool AVideo);
  void CloseCodec(bool AVideo);
  void ResetPicture();
  void ResetWaveInfo();
  void DropPending();
  void ReleaseSlot(TPictureSlot &ASlot);
  // Reads the next packet into FPacket; the av_read_frame result.
  int ReadPacket();
  // End of input reached after draining: reports, sets FEOF; always false.
  bool EndOfInput();
  void StorePicture(AVFrame *AFrame, int AIndex, int64_t APosition);
  // Sets the codec's skip_frame for the packet about to be sent (see
  // FSkipMode).
  void ChooseSkip(const AVPacket *APacket, const AVStream *AStream);
  void EndSkip();
  bool DeinterlaceInto(TPictureSlot &ASlot, const AVFrame *AFrame);
  int64_t HeldOrLastPTS() const;
  // Audio helpers.
  bool PrepareAudioConverter(const AVFrame *AFrame);
  bool AppendAudio(const AVFrame *AFrame);
  bool FlushAudioConverter();
  bool GrowAudio(int64_t ABytes);
  void FinishWave(int AIndex, int64_t ARawStamp, int64_t ADTS, int64_t APTS);
  void DiscardAudioConverter();

  AVCodecContext *FCodec = nullptr; // opened video codec context
  int FCodecStream = -1;            // stream FCodec was opened for
  TFormatConverter FFormatConv;
  int FSeekIndex = -1;
  int64_t FStartTime = 0; // seek stream time base, or microseconds without a seek stream
  int FDecodeIndex = -1;
  bool FDeinterlace = false;
  bool FEOF = false;
  bool FEOFpkt = false;
  int FReadError = 0;       // the av_read_frame result that started draining
  TPictureSlot FPicture;    // the held picture (FrameInfo)
  TPictureSlot FSpare;      // the picture before it (while stepping back) or the pending one
  bool FHasPending = false; // FSpare holds a picture the next Decode returns
  int64_t FLastPTS = UnknownTime;
  int64_t FLastPos = -1;
  int FThreadCount = 0;
  // Dropping of unreferenced pictures while searching forward:
  // skNone; skBefore: pictures with a PTS below FSkipLimit are not wanted;
  // skLastBefore: only the last picture below FSkipLimit is wanted, so a
  // picture is dropped when one with a later PTS still below the limit has
  // been sent already (FSkipBelowMax). Microseconds.
  enum TSkipMode { skNone, skBefore, skLastBefore };
  TSkipMode FSkipMode = skNone;
  int64_t FSkipLimit = 0;
  int64_t FSkipBelowMax = UnknownTime;
  AVPacket *FPacket = nullptr;
  AVFrame *FFrame = nullptr; // receive target (video and audio)

  TWaveInfo FWaveInfo;
  int FDesireAudioChannels = 2;
  int FDesireAudioSampleRate = 44100;
  AVSampleFormat FDesireAudioSampleFormat = AV_SAMPLE_FMT_S16;
  int FDesireAudioIndex = -1;
  AVCodecContext *FAudioCodec = nullptr;
  int FAudioCodecStream = -1;
  uint8_t *FAudioBuffer = nullptr; // decoded (and converted) samples of the wave info
  int64_t FAudioBufferSize = 0;    // allocated bytes
  int64_t FAudioBufferUsed = 0;    // bytes filled by the current DecodeAudio
  SwrContext *FAudioResampler = nullptr;
  bool FAudioNeedsConversion = false;
  int FSwrInFormat = -1;
  int FSwrInRate = 0;
  AVChannelLayout FSwrInLayout{};
  bool FAudioFlushed = false; // the resampler's tail has been handed out after draining
  int64_t FNextAudioPTS = UnknownTime;
  int32_t FRemainsAudioSize = 0;
};

// The window in which the transcoder shows the pictures it encodes. The GUI
// derives from it; ShowFrame runs on the thread that called PaintFrame and
// must do its window work on the main thread (Synchronize, FFSync.h).
class TPreviewer {
public:
  TPreviewer() = default;
  virtual ~TPreviewer() = default;
  TPreviewer(const TPreviewer &) = delete;
  TPreviewer &operator=(const TPreviewer &) = delete;

  // False at once when the user has closed the window; otherwise keeps the
  // three values (APTS in microseconds) and calls ShowFrame. Any thread.
  bool PaintFrame(const TFFBitmap &ABitmap, int64_t AFrameNumber, int64_t APTS);
  bool Closed() const { return FClosed.load(); }

protected:
  // Creates the window on first use, shows it with caption DurationText(FPTS)
  // and draws FBitmap at its top-left corner.
  virtual void ShowFrame() = 0;
  // Called by the window when the user closes it.
  void SetClosed() { FClosed.store(true); }

  TFFBitmap FBitmap;
  int64_t FFrameNumber = 0;
  int64_t FPTS = 0;

private:
  std::atomic<bool> FClosed{false};
};
