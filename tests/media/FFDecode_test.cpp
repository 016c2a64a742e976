// TFFDecoder against ffprobe on small synthesised clips.

#include "DecodeTestSupport.h"

#include "engine/FFLog.h"
#include "media/FFDecode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace dectest;

namespace {

class DecoderTest : public ::testing::Test {
protected:
  void SetUp() override { RequireLibraries(); }
  TFFDecoder Dec;
};

// Collects the engine log while alive.
class LogCapture {
public:
  explicit LogCapture(TLogLevel ALevel = llDebug) : FOldLevel(FFLogger().LogLevel()) {
    FFLogger().SetLogLevel(ALevel);
    FFLogger().SetOnLog(
        [this](const void *, std::thread::id, TLogLevel ALevel, const std::string &AMsg) {
          Lines.push_back({ALevel, AMsg});
        });
  }
  ~LogCapture() {
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(FOldLevel);
  }
  bool Has(TLogLevel ALevel, const std::string &AText) const {
    return std::any_of(Lines.begin(), Lines.end(),
                       [&](const auto &l) { return l.first == ALevel && l.second == AText; });
  }
  bool HasPrefix(TLogLevel ALevel, const std::string &APrefix) const {
    return std::any_of(Lines.begin(), Lines.end(), [&](const auto &l) {
      return l.first == ALevel && l.second.rfind(APrefix, 0) == 0;
    });
  }
  std::vector<std::pair<TLogLevel, std::string>> Lines;

private:
  TLogLevel FOldLevel;
};

// Decodes every remaining picture; their PTS values.
std::vector<int64_t> DecodeAll(TFFDecoder &ADec) {
  std::vector<int64_t> out;
  while (ADec.Decode())
    out.push_back(ADec.FrameInfo().PTS);
  return out;
}

std::vector<int64_t> PTSOf(const std::vector<TProbeFrame> &AFrames) {
  std::vector<int64_t> out;
  for (const auto &f : AFrames)
    out.push_back(f.PTS);
  return out;
}

} // namespace

// A clip maker with a readable name, so the test names stay the same from
// one run to the next.
struct TClipParam {
  const char *Name;
  std::string (*Make)();
};
std::ostream &operator<<(std::ostream &AOut, const TClipParam &AClip) {
  return AOut << AClip.Name;
}
#define VM_CLIP(f)                                                                                 \
  TClipParam {                                                                                     \
#f, &f                                                                                         \
  }

// ---------------------------------------------------------------------------
// Information against ffprobe

class DecoderProbeTest : public DecoderTest, public ::testing::WithParamInterface<TClipParam> {};

TEST_P(DecoderProbeTest, InventoryAndInfoMatchFfprobe) {
  const std::string file = GetParam().Make();
  ASSERT_FALSE(file.empty());
  ASSERT_TRUE(Dec.LoadFile(file)) << Dec.LastErrMsg();

  const auto format =
      ProbeRecords(file, "format=nb_streams,nb_programs,duration,start_time,format_name");
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(Dec.StreamCount(), std::atoi(format[0].at("nb_streams").c_str()));
  EXPECT_EQ(Dec.ProgramCount(), std::atoi(format[0].at("nb_programs").c_str()));
  EXPECT_EQ(Dec.FormatName(), format[0].at("format_name"));
  EXPECT_EQ(Dec.FileName(), file);
  EXPECT_EQ(Dec.FileSize(), static_cast<int64_t>(std::filesystem::file_size(file)));

  const TFileStreamInfo fi = Dec.FileStreamInfo();
  EXPECT_NEAR(fi.Duration, SecondsToUs(format[0].at("duration")), 1);
  EXPECT_NEAR(fi.StartTime, SecondsToUs(format[0].at("start_time")), 1);

  const auto streams = ProbeRecords(
      file, "stream=index,codec_type,codec_name,codec_long_name,width,height,avg_frame_rate,"
            "r_frame_rate,sample_rate,channels,start_time,duration");
  int video = 0, audio = 0, firstVideo = -1, firstAudio = -1;
  for (const TRecord &s : streams) {
    const int index = std::atoi(s.at("index").c_str());
    const std::string type = s.at("codec_type");
    // Codec names: "<decoder>(<long name>)"; the decoder of a codec may be a
    // variant of its name (mp3 -> mp3float).
    const std::string expectLong = "(" + s.at("codec_long_name") + ")";
    if (type == "video") {
      if (video++ == 0)
        firstVideo = index;
      TVideoStreamInfo vi;
      ASSERT_TRUE(Dec.GetVideoStreamInfo(index, vi));
      EXPECT_EQ(vi.CodecName.rfind(s.at("codec_name"), 0), 0u) << vi.CodecName;
      EXPECT_NE(vi.CodecName.find(expectLong), std::string::npos) << vi.CodecName;
      EXPECT_EQ(vi.Width, std::atoi(s.at("width").c_str()));
      EXPECT_EQ(vi.Height, std::atoi(s.at("height").c_str()));
      const AVRational avg = ParseRational(s.at("avg_frame_rate"));
      const AVRational expectRate = avg.num && avg.den ? avg : ParseRational(s.at("r_frame_rate"));
      EXPECT_EQ(int64_t(vi.FrameRate.num) * expectRate.den,
                int64_t(expectRate.num) * vi.FrameRate.den);
      EXPECT_NEAR(vi.StartTimeScaled, SecondsToUs(s.at("start_time")), 1);
      if (s.at("duration") != "N/A") {
        EXPECT_NEAR(vi.DurationScaled, SecondsToUs(s.at("duration")), 1);
      }
    } else if (type == "audio") {
      if (audio++ == 0)
        firstAudio = index;
      TAudioStreamInfo ai;
      ASSERT_TRUE(Dec.GetAudioStreamInfo(index, ai));
      EXPECT_EQ(ai.CodecName.rfind(s.at("codec_name"), 0), 0u) << ai.CodecName;
      EXPECT_NE(ai.CodecName.find(expectLong), std::string::npos) << ai.CodecName;
      EXPECT_EQ(ai.SampleRate, std::atoi(s.at("sample_rate").c_str()));
      EXPECT_EQ(ai.Channels, std::atoi(s.at("channels").c_str()));
      EXPECT_NEAR(ai.StartTimeScaled, SecondsToUs(s.at("start_time")), 1);
    }
  }
  EXPECT_EQ(Dec.VideoStreamCount(), video);
  EXPECT_EQ(Dec.AudioStreamCount(), audio);
  EXPECT_EQ(Dec.SubtitleStreamCount(), 0);
  EXPECT_EQ(Dec.FirstVideoStreamIndex(), firstVideo);
  EXPECT_EQ(Dec.FirstAudioStreamIndex(), firstAudio);
}

INSTANTIATE_TEST_SUITE_P(Clips, DecoderProbeTest,
                         ::testing::Values(VM_CLIP(vmtest::ClipMp4), VM_CLIP(vmtest::ClipAvi),
                                           VM_CLIP(vmtest::ClipWebm), VM_CLIP(vmtest::ClipMpeg),
                                           VM_CLIP(vmtest::ClipVideoOnly),
                                           VM_CLIP(vmtest::ClipAudioOnly),
                                           VM_CLIP(vmtest::ClipStill), VM_CLIP(dectest::ClipVfr),
                                           VM_CLIP(dectest::ClipBFrames)));

TEST_F(DecoderTest, ClosedDecoderAndWrongStreamsReportUnknowns) {
  // Closed: every counter -1, getters give unknown values with a warning.
  EXPECT_EQ(Dec.StreamCount(), -1);
  EXPECT_EQ(Dec.FirstVideoStreamIndex(), -1);
  EXPECT_EQ(Dec.FileSize(), -1);
  const TVideoStreamInfo vi = Dec.GetFirstVideoStreamInfo();
  EXPECT_EQ(Dec.LastErrMsg(), "file not loaded.");
  EXPECT_EQ(vi.Width, -1);
  EXPECT_EQ(vi.AspectRatio, -1.0f);
  EXPECT_EQ(vi.FrameRate.num, -1);
  EXPECT_EQ(vi.FrameRate.den, -1);
  EXPECT_EQ(Dec.FileInfoText(), "");
  EXPECT_EQ(Dec.Position(), -1);
  EXPECT_FALSE(Dec.Decode());
  EXPECT_EQ(Dec.LastErrMsg(), "file not loaded.");
  EXPECT_FALSE(Dec.Seek(0));

  // Video only: no audio stream; the stream checks name the index.
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipVideoOnly()));
  TAudioStreamInfo ai;
  EXPECT_FALSE(Dec.GetAudioStreamInfo(-1, ai));
  EXPECT_EQ(Dec.LastErrMsg(), "no audio stream.");
  EXPECT_EQ(ai.SampleRate, -1);
  EXPECT_EQ(ai.StartTime, -1);
  EXPECT_FALSE(Dec.GetAudioStreamInfo(0, ai));
  EXPECT_EQ(Dec.LastErrMsg(), "stream #0 is not audio stream.");
  TVideoStreamInfo other;
  EXPECT_FALSE(Dec.GetVideoStreamInfo(7, other));
  EXPECT_EQ(Dec.LastErrMsg(), "stream index #7 is invalid.");
  EXPECT_FALSE(Dec.IsAudioStream(0));
  EXPECT_TRUE(Dec.IsVideoStream(0));
  EXPECT_FALSE(Dec.IsVideoStream(-3));
  EXPECT_EQ(Dec.LastErrMsg(), "stream index #-3 is invalid.");
  EXPECT_FALSE(Dec.DecodeAudio());
  EXPECT_EQ(Dec.LastErrMsg(), "no audio stream.");
  EXPECT_FALSE(Dec.Decode(3));
  EXPECT_EQ(Dec.LastErrMsg(), "stream index #3 is invalid.");

  Dec.CloseFile();
  EXPECT_EQ(Dec.StreamCount(), -1);
  EXPECT_EQ(Dec.VideoStreamCount(), -1);
}

// ---------------------------------------------------------------------------
// Loading failures

TEST_F(DecoderTest, LoadFailuresGiveClearMessagesAndLeaveTheDecoderClosed) {
  vmtest::TempDir dir;
  const std::string missing = dir.File("missing.mp4");
  EXPECT_FALSE(Dec.LoadFile(missing));
  EXPECT_EQ(Dec.LastErrMsg(), missing + ": No such file or directory");
  EXPECT_EQ(Dec.StreamCount(), -1);

  const std::string text = dir.File("notes.mp4");
  ASSERT_TRUE(vmtest::WriteFile(text, std::string(4000, 'x') + "\nthis is not a video\n"));
  EXPECT_FALSE(Dec.LoadFile(text));
  EXPECT_EQ(Dec.LastErrMsg(), text + ": Invalid data found when processing input");
  EXPECT_EQ(Dec.StreamCount(), -1);
  EXPECT_EQ(Dec.FileHandle(), nullptr);

  EXPECT_FALSE(Dec.LoadFile(vmtest::ClipMp4(), "nosuchformat"));
  EXPECT_EQ(Dec.LastErrMsg(), "Unknown input format: nosuchformat");

  // Forcing the wrong demuxer fails; the right one is remembered.
  EXPECT_FALSE(Dec.LoadFile(vmtest::ClipMp4(), "wav"));
  EXPECT_EQ(Dec.ForceFormat(), "");
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipMp4(), "mp4")) << Dec.LastErrMsg();
  EXPECT_EQ(Dec.ForceFormat(), "mp4");
  EXPECT_EQ(Dec.StreamCount(), 2);
  Dec.CloseFile();
  EXPECT_EQ(Dec.ForceFormat(), "");

  // The header of an mp4 without its index (moov at the end).
  const std::string head = dir.File("head.mp4");
  ASSERT_TRUE(vmtest::WriteFile(head, vmtest::ReadFile(vmtest::ClipVideoOnly()).substr(0, 0) +
                                          vmtest::ReadFile(vmtest::ClipMp4()).substr(0, 2000)));
  EXPECT_FALSE(Dec.LoadFile(head));
  EXPECT_EQ(Dec.LastErrMsg().rfind(head + ": ", 0), 0u) << Dec.LastErrMsg();
  EXPECT_EQ(Dec.StreamCount(), -1);
}

TEST_F(DecoderTest, TruncatedAndCorruptFilesDecodeWhatTheyHoldWithoutCrashing) {
  vmtest::TempDir dir;
  const std::string full = ClipBFrames();
  const std::string data = vmtest::ReadFile(full);
  ASSERT_GT(data.size(), 4000u);
  const size_t frames = ProbeVideoFrames(full).size();

  const std::string cut = dir.File("cut.mp4");
  ASSERT_TRUE(vmtest::WriteFile(cut, data.substr(0, data.size() * 6 / 10)));
  ASSERT_TRUE(Dec.LoadFile(cut)) << Dec.LastErrMsg();
  const auto got = DecodeAll(Dec);
  EXPECT_EQ(Dec.LastErrMsg(), "stream eof reached.");
  EXPECT_GT(got.size(), 5u);
  EXPECT_LT(got.size(), frames);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_FALSE(Dec.Decode());
  EXPECT_EQ(Dec.LastErrMsg(), "stream eof reached.");
  while (Dec.DecodeAudio()) {
  }
  EXPECT_EQ(Dec.LastErrMsg(), "stream eof reached.");

  // Garbage over the middle of the file: damaged pictures, no crash.
  std::string damaged = data;
  for (size_t i = data.size() / 3; i < data.size() / 2; i += 7)
    damaged[i] = static_cast<char>(i * 31);
  const std::string bad = dir.File("bad.mp4");
  ASSERT_TRUE(vmtest::WriteFile(bad, damaged));
  ASSERT_TRUE(Dec.LoadFile(bad)) << Dec.LastErrMsg();
  const auto badFrames = DecodeAll(Dec);
  EXPECT_GT(badFrames.size(), 0u);
  EXPECT_TRUE(Dec.Seek(1000000, {sfBackward}));
  EXPECT_TRUE(Dec.Decode());
  TFFBitmap bmp;
  EXPECT_TRUE(Dec.CopyToBitmap(bmp));
}

// ---------------------------------------------------------------------------
// Pictures and their time stamps

class DecoderFramesTest : public DecoderTest, public ::testing::WithParamInterface<TClipParam> {};

TEST_P(DecoderFramesTest, ForwardDecodeMatchesFfprobeFrameList) {
  const std::string file = GetParam().Make();
  const auto expect = PTSOf(ProbeVideoFrames(file));
  ASSERT_FALSE(expect.empty());
  ASSERT_TRUE(Dec.LoadFile(file)) << Dec.LastErrMsg();
  const auto got = DecodeAll(Dec);
  EXPECT_EQ(Dec.LastErrMsg(), "stream eof reached.");
  ASSERT_EQ(got.size(), expect.size());
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_NEAR(got[i], expect[i], 1) << "frame " << i;
  // At the end every Decode answers the same until a seek.
  EXPECT_FALSE(Dec.Decode());
  ASSERT_TRUE(Dec.Seek(0));
  ASSERT_TRUE(Dec.Decode());
  EXPECT_NEAR(Dec.FrameInfo().PTS, expect[0], 1);
}

TEST_P(DecoderFramesTest, StepsBackLandOnTheNeighbouringPictures) {
  const std::string file = GetParam().Make();
  const auto expect = PTSOf(ProbeVideoFrames(file));
  ASSERT_GT(expect.size(), 20u);
  ASSERT_TRUE(Dec.LoadFile(file)) << Dec.LastErrMsg();
  // Walk forward to picture 17, then back to 3 one picture at a time (across
  // key frames), then forward again.
  for (int i = 0; i <= 17; ++i)
    ASSERT_TRUE(Dec.Decode());
  ASSERT_NEAR(Dec.FrameInfo().PTS, expect[17], 1);
  for (int i = 16; i >= 3; --i) {
    ASSERT_TRUE(Dec.DecodePreviousFrame()) << Dec.LastErrMsg();
    ASSERT_NEAR(Dec.FrameInfo().PTS, expect[i], 1) << "step back to " << i;
    ASSERT_TRUE(Dec.FrameInfo().Ready);
  }
  for (int i = 4; i <= 9; ++i) {
    ASSERT_TRUE(Dec.Decode());
    ASSERT_NEAR(Dec.FrameInfo().PTS, expect[i], 1) << "step forward to " << i;
  }
  // Before the first picture there is nothing: it stays on the first one.
  ASSERT_TRUE(Dec.Seek(0));
  ASSERT_TRUE(Dec.Decode());
  ASSERT_TRUE(Dec.DecodePreviousFrame());
  EXPECT_NEAR(Dec.FrameInfo().PTS, expect[0], 1);
}

TEST_P(DecoderFramesTest, SeekLandsBeforeTheTargetAndDecodesUpToIt) {
  const std::string file = GetParam().Make();
  const auto frames = ProbeVideoFrames(file);
  ASSERT_FALSE(frames.empty());
  ASSERT_TRUE(Dec.LoadFile(file)) << Dec.LastErrMsg();
  const bool exactLanding = Dec.FormatName() != "mpeg"; // generic byte search: approximate
  for (int64_t target : {0, 333333, 800000, 1234567, 1700000}) {
    ASSERT_TRUE(Dec.Seek(target, {sfBackward})) << Dec.LastErrMsg();
    EXPECT_EQ(Dec.LastErrMsg().rfind("seek to position ", 0), 0u) << Dec.LastErrMsg();
    EXPECT_FALSE(Dec.FrameInfo().Ready);
    ASSERT_TRUE(Dec.Decode()) << Dec.LastErrMsg();
    if (exactLanding) {
      EXPECT_LE(Dec.FrameInfo().PTS, std::max<int64_t>(target, frames[0].PTS)) << target;
    }
    while (Dec.FrameInfo().PTS < target)
      ASSERT_TRUE(Dec.Decode());
    const auto first = std::find_if(frames.begin(), frames.end(),
                                    [&](const TProbeFrame &f) { return f.PTS >= target; });
    ASSERT_NE(first, frames.end());
    if (exactLanding) {
      EXPECT_NEAR(Dec.FrameInfo().PTS, first->PTS, 1) << "target " << target;
      // The same picture when unreferenced pictures are dropped on the way.
      ASSERT_TRUE(Dec.Seek(target, {sfBackward}));
      ASSERT_TRUE(Dec.DecodeToTime(target)) << Dec.LastErrMsg();
      EXPECT_NEAR(Dec.FrameInfo().PTS, first->PTS, 1) << "target " << target;
      // Decoding goes on normally afterwards.
      if (first + 1 != frames.end()) {
        ASSERT_TRUE(Dec.Decode());
        EXPECT_NEAR(Dec.FrameInfo().PTS, (first + 1)->PTS, 1);
      }
    } else {
      // MPEG-PS seeks by a byte search on packet stamps and may land inside a
      // group of pictures; decoding starts at the next key frame.
      EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [&](const TProbeFrame &f) {
        return std::llabs(f.PTS - Dec.FrameInfo().PTS) <= 1;
      }));
      EXPECT_LT(Dec.FrameInfo().PTS, target + 600000);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, DecoderFramesTest,
                         ::testing::Values(VM_CLIP(dectest::ClipBFrames), VM_CLIP(dectest::ClipVfr),
                                           VM_CLIP(vmtest::ClipAvi), VM_CLIP(vmtest::ClipWebm),
                                           VM_CLIP(vmtest::ClipMpeg)));

TEST_F(DecoderTest, KeyFrameNavigationFindsTheNeighbouringKeyFrames) {
  const std::string file = ClipBFrames();
  const auto frames = ProbeVideoFrames(file);
  std::vector<int64_t> keys;
  for (const auto &f : frames)
    if (f.Key)
      keys.push_back(f.PTS);
  ASSERT_GE(keys.size(), 3u);
  ASSERT_TRUE(Dec.LoadFile(file));
  ASSERT_TRUE(Dec.Decode());
  EXPECT_TRUE(Dec.FrameInfo().IsKeyFrame);
  EXPECT_EQ(Dec.FrameInfo().PictureType, ptI);
  ASSERT_TRUE(Dec.DecodeNextKeyFrame());
  EXPECT_NEAR(Dec.FrameInfo().PTS, keys[1], 1);
  EXPECT_TRUE(Dec.FrameInfo().IsKeyFrame);
  ASSERT_TRUE(Dec.DecodeNextKeyFrame());
  EXPECT_NEAR(Dec.FrameInfo().PTS, keys[2], 1);
  // Two pictures further, the previous key frame is keys[2], then keys[1].
  ASSERT_TRUE(Dec.Decode());
  ASSERT_TRUE(Dec.Decode());
  ASSERT_TRUE(Dec.DecodePreviousKeyFrame());
  EXPECT_NEAR(Dec.FrameInfo().PTS, keys[2], 1);
  ASSERT_TRUE(Dec.DecodePreviousKeyFrame());
  EXPECT_NEAR(Dec.FrameInfo().PTS, keys[1], 1);
  // With no picture held, the search starts from the last one seen.
  ASSERT_TRUE(Dec.Seek(1500000));
  EXPECT_FALSE(Dec.FrameInfo().Ready);
  ASSERT_TRUE(Dec.DecodePreviousKeyFrame());
  EXPECT_LT(Dec.FrameInfo().PTS, keys[1]);
}

TEST_F(DecoderTest, PictureDescriptionAndPositions) {
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipMp4()));
  EXPECT_EQ(Dec.FrameInfo().Ready, false);
  ASSERT_TRUE(Dec.Decode());
  const TFrameInfo &fi = Dec.FrameInfo();
  EXPECT_EQ(fi.Width, 320);
  EXPECT_EQ(fi.Height, 240);
  EXPECT_EQ(fi.PixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(fi.StreamIndex, 0);
  EXPECT_EQ(fi.Size, 320 * 240 * 3 / 2);
  EXPECT_NE(fi.Picture.data[0], nullptr);
  EXPECT_GE(fi.Picture.linesize[0], 320);
  EXPECT_GE(fi.Position, 0);
  EXPECT_NE(fi.OriginalPTS, UnknownTime);
  const int64_t first = fi.PTS;
  ASSERT_TRUE(Dec.Decode());
  EXPECT_GT(Dec.FrameInfo().PTS, first);
  EXPECT_GE(Dec.FrameInfo().Position, 0);
  EXPECT_GT(Dec.Position(), 0);
  EXPECT_EQ(Dec.FrameStep(0), 40000);
  // Another stream kind is refused by name.
  EXPECT_FALSE(Dec.Decode(1));
  EXPECT_EQ(Dec.LastErrMsg(), "stream #1 is not video stream.");

  // Deinterlacing keeps the size and gives its own planes.
  Dec.SetDeinterlace(true);
  ASSERT_TRUE(Dec.Decode());
  EXPECT_TRUE(Dec.Deinterlace());
  EXPECT_EQ(Dec.FrameInfo().Width, 320);
  TFFBitmap bmp;
  EXPECT_TRUE(Dec.CopyToBitmap(bmp));
  EXPECT_EQ(bmp.Width(), 320);
}

TEST_F(DecoderTest, StillImageKeepsItsPictureAndRefusesSeeking) {
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipStill())) << Dec.LastErrMsg();
  ASSERT_TRUE(Dec.Decode());
  const uint8_t *plane = Dec.FrameInfo().Picture.data[0];
  EXPECT_EQ(Dec.FrameInfo().Width, 320);
  ASSERT_TRUE(Dec.Decode());
  ASSERT_TRUE(Dec.Decode());
  EXPECT_EQ(Dec.FrameInfo().Picture.data[0], plane);
  EXPECT_FALSE(Dec.Seek(0));
  EXPECT_EQ(Dec.LastErrMsg(), "\"image2\" format cannot to be seeked.");
  EXPECT_TRUE(Dec.FrameInfo().Ready);
  EXPECT_FALSE(Dec.DecodePreviousKeyFrame());
  EXPECT_EQ(Dec.LastErrMsg(),
            "Could not seek to the previous key-frame. \"image2\" format cannot to be seeked.");
  EXPECT_TRUE(Dec.FrameInfo().Ready);
}

TEST_F(DecoderTest, AudioOnlyFileSeeksOnItsAudioStream) {
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipAudioOnly()));
  EXPECT_FALSE(Dec.Decode());
  EXPECT_EQ(Dec.LastErrMsg(), "no video stream.");
  ASSERT_TRUE(Dec.Seek(1000000));
  ASSERT_TRUE(Dec.DecodeAudio());
  EXPECT_NEAR(Dec.WaveInfo().PTS, 1000000, 30000);
}

TEST_F(DecoderTest, AdoptedContextIsReadOnlyAndNotClosed) {
  AVFormatContext *ctx = nullptr;
  ASSERT_GE(ff::avformat.avformat_open_input(&ctx, vmtest::ClipMp4().c_str(), nullptr, nullptr), 0);
  ASSERT_GE(ff::avformat.avformat_find_stream_info(ctx, nullptr), 0);
  Dec.SetFileHandle(ctx);
  EXPECT_EQ(Dec.FileHandle(), ctx);
  EXPECT_EQ(Dec.StreamCount(), 2);
  EXPECT_NE(Dec.FileInfoText(), "");
  EXPECT_THROW(Dec.Decode(), std::runtime_error);
  EXPECT_EQ(Dec.LastErrMsg(), "file cannot be seeked, handle is readonly.");
  EXPECT_THROW(Dec.Seek(0), std::runtime_error);
  Dec.CloseFile();
  EXPECT_EQ(Dec.StreamCount(), -1);
  // Still open: the decoder did not close it.
  EXPECT_EQ(ctx->nb_streams, 2u);
  ff::avformat.avformat_close_input(&ctx);
}

// ---------------------------------------------------------------------------
// Audio

TEST_F(DecoderTest, AudioIsConvertedToTheDesiredFormat) {
  // mp3 mono 22.05 kHz -> stereo 44.1 kHz s16 (the defaults).
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipAvi()));
  LogCapture log(llDebug);
  int64_t bytes = 0;
  int64_t lastPTS = -1;
  while (Dec.DecodeAudio()) {
    const TWaveInfo &w = Dec.WaveInfo();
    ASSERT_TRUE(w.Ready);
    EXPECT_EQ(w.Channels, 2);
    EXPECT_EQ(w.SampleRate, 44100);
    EXPECT_EQ(w.SampleFormat, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(w.BytesPerSample, 2);
    EXPECT_EQ(w.BytesPerSecond, 44100 * 4);
    EXPECT_EQ(w.Size % 4, 0);
    EXPECT_EQ(w.Duration, (1000000 / 2) * int64_t(w.Size) / (44100 * 2));
    if (w.PTS != UnknownTime) {
      EXPECT_GT(w.PTS, lastPTS);
      lastPTS = w.PTS;
    }
    bytes += w.Size;
  }
  EXPECT_EQ(Dec.LastErrMsg(), "stream eof reached.");
  EXPECT_NEAR(bytes / 4.0 / 44100, 2.0, 0.08); // 2 s of audio
  EXPECT_TRUE(log.Has(llInfo, "need resample 1 channels @ 22050 Hz to 2 channels @ 44100 Hz"));
  EXPECT_TRUE(log.HasPrefix(llDebug, "pkt.st_idx=1, dts="));

  // Float planar AAC -> packed float, same shape: a format conversion.
  TFFDecoder other;
  other.SetDesireAudioSampleFormat(AV_SAMPLE_FMT_FLTP); // delivered packed
  EXPECT_EQ(other.DesireAudioSampleFormat(), AV_SAMPLE_FMT_FLT);
  ASSERT_TRUE(other.LoadFile(vmtest::ClipMp4()));
  ASSERT_TRUE(other.DecodeAudio());
  EXPECT_EQ(other.WaveInfo().SampleFormat, AV_SAMPLE_FMT_FLT);
  EXPECT_EQ(other.WaveInfo().BytesPerSample, 4);
  EXPECT_TRUE(log.Has(llInfo, "need convert fltp sample format to flt sample format"));
  // Samples of a 440 Hz sine: non-silent and within [-1, 1].
  float peak = 0;
  const float *samples = reinterpret_cast<const float *>(other.WaveInfo().Buffer);
  for (int i = 0; i < other.WaveInfo().Size / 4; ++i)
    peak = std::max(peak, std::abs(samples[i]));
  EXPECT_GT(peak, 0.05f);
  EXPECT_LE(peak, 1.0f);
}

TEST_F(DecoderTest, ReadAudioHandsOutEveryByteOnce) {
  Dec.SetDesireAudioChannels(1);
  Dec.SetDesireAudioSampleRate(8000);
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipAudioOnly())); // 2 s, 48 kHz stereo
  // No buffer: the count only, nothing consumed.
  const int32_t peek = Dec.ReadAudio(nullptr, 1 << 20);
  ASSERT_GT(peek, 0);
  EXPECT_EQ(Dec.ReadAudio(nullptr, 10), 10);
  std::vector<uint8_t> chunk(333);
  int64_t total = 0;
  int32_t n;
  bool first = true;
  while ((n = Dec.ReadAudio(chunk.data(), static_cast<int32_t>(chunk.size()))) > 0) {
    if (first) {
      EXPECT_EQ(n, std::min<int32_t>(333, peek));
    }
    first = false;
    total += n;
    ASSERT_EQ(Dec.WaveInfo().SampleRate, 8000);
    ASSERT_EQ(Dec.WaveInfo().Channels, 1);
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(Dec.LastErrMsg(), "stream eof reached.");
  EXPECT_EQ(total, 2 * 8000 * 2); // 2 s at 8 kHz mono s16, resampler tail included

  // After a seek no audio from before it is handed out.
  ASSERT_TRUE(Dec.Seek(500000));
  ASSERT_GT(Dec.ReadAudio(chunk.data(), 10), 0);
  EXPECT_NEAR(Dec.WaveInfo().PTS, 500000, 25000);
}

// ---------------------------------------------------------------------------
// Bitmaps

TEST_F(DecoderTest, CopyToBitmapGivesThePictureInTheChosenFormat) {
  ASSERT_TRUE(Dec.LoadFile(ClipPattern())) << Dec.LastErrMsg();
  TFFBitmap bmp;
  EXPECT_FALSE(Dec.CopyToBitmap(bmp));
  EXPECT_EQ(Dec.LastErrMsg(), "picture not ready, please decode first");
  EXPECT_EQ(Dec.GetBitmapPtr(), nullptr);
  ASSERT_TRUE(Dec.Decode());

  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  EXPECT_EQ(bmp.Width(), 64);
  EXPECT_EQ(bmp.Height(), 48);
  EXPECT_EQ(bmp.BitsPerPixel(), 24);
  EXPECT_EQ(bmp.Stride(), 64 * 3);
  // Left red, right blue (B, G, R bytes).
  const uint8_t *left = bmp.ScanLine(10) + 5 * 3;
  const uint8_t *right = bmp.ScanLine(40) + 60 * 3;
  EXPECT_LT(left[0], 20);
  EXPECT_LT(left[1], 20);
  EXPECT_GT(left[2], 230);
  EXPECT_GT(right[0], 230);
  EXPECT_LT(right[1], 20);
  EXPECT_LT(right[2], 20);

  Dec.SetBitmapBitsPixel(32);
  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  EXPECT_EQ(bmp.BitsPerPixel(), 32);
  EXPECT_GT(bmp.ScanLine(0)[5 * 4 + 2], 230);
  EXPECT_EQ(bmp.ScanLine(0)[5 * 4 + 3], 255); // opaque

  Dec.SetBitmapBitsPixel(16);
  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  uint16_t px;
  std::memcpy(&px, bmp.ScanLine(5) + 5 * 2, 2);
  EXPECT_GE(px & 0x1F, 29u); // BGR565: red in the low 5 bits
  EXPECT_LE(px >> 11, 2u);
  Dec.SetBitmapBitsPixel(15);
  EXPECT_EQ(Dec.BitmapBitsPixel(), 16);
  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  std::memcpy(&px, bmp.ScanLine(5) + 60 * 2, 2);
  EXPECT_GE((px >> 10) & 0x1F, 29u); // BGR555: blue in bits 10..14
  EXPECT_LE(px & 0x1F, 2u);
  Dec.SetBitmapBitsPixel(8);
  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  EXPECT_EQ(bmp.Stride(), 64);
  EXPECT_EQ(bmp.ScanLine(5)[5] & 0x07, 0x07); // red in the low 3 bits

  const TBitmapInfo *dib = Dec.GetBitmapPtr();
  ASSERT_NE(dib, nullptr);
  EXPECT_EQ(dib->bmWidth, 64);
  EXPECT_EQ(dib->bmHeight, 48);
  EXPECT_EQ(dib->bmBitsPixel, 8);
  EXPECT_EQ(dib->bmPlanes, 1);
  EXPECT_THROW(Dec.SetBitmapBitsPixel(12), std::invalid_argument);
}

TEST_F(DecoderTest, BitmapMatchesFfmpegsOwnConversion) {
  const std::string file = vmtest::ClipMp4();
  vmtest::TempDir dir;
  const std::string raw = dir.File("f.bgr");
  ASSERT_EQ(vmtest::RunCommand("ffmpeg -v error -i " + vmtest::ShellQuote(file) +
                               " -frames:v 1 -f rawvideo -pix_fmt bgr24 " + vmtest::ShellQuote(raw))
                .ExitCode,
            0);
  const std::string expect = vmtest::ReadFile(raw);
  ASSERT_EQ(expect.size(), 320u * 240 * 3);
  ASSERT_TRUE(Dec.LoadFile(file));
  ASSERT_TRUE(Dec.Decode());
  TFFBitmap bmp;
  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  double diff = 0;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320 * 3; ++x)
      diff += std::abs(int(bmp.ScanLine(y)[x]) - int(uint8_t(expect[size_t(y) * 960 + x])));
  EXPECT_LT(diff / expect.size(), 3.0);
}

// ---------------------------------------------------------------------------
// Texts

TEST(DecoderTexts, DurationAndSizeTexts) {
  EXPECT_EQ(DurationText(0), "00:00:00.000");
  EXPECT_EQ(DurationText(3723004999), "01:02:03.004");
  EXPECT_EQ(DurationText(int64_t(100) * 3600 * 1000000), "100:00:00.000");
  EXPECT_EQ(DurationText(UnknownTime), "N/A");
  EXPECT_EQ(FileSizeText(1024), "1024 Byte");
  EXPECT_EQ(FileSizeText(1536), "1.50 KB");
  EXPECT_EQ(FileSizeText(1048576), "1024.00 KB");
  EXPECT_EQ(FileSizeText(3 * 1048576 / 2), "1.50 MB");
  EXPECT_EQ(FileSizeText(int64_t(5) * 1073741824 / 2), "2.50 GB");
}

TEST_F(DecoderTest, FileInfoTextLines) {
  const std::string file = vmtest::ClipMpeg();
  ASSERT_TRUE(Dec.LoadFile(file));
  const std::string text = Dec.FileInfoText();
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  ASSERT_GE(lines.size(), 7u) << text;
  EXPECT_EQ(lines[0], "File Name: " + file);
  EXPECT_EQ(lines[1], "Format Name: mpeg");
  EXPECT_EQ(lines[2], "Format Long Name: MPEG-PS (MPEG-2 Program Stream)");
  EXPECT_EQ(lines[3], "File Size: " + FileSizeText(std::filesystem::file_size(file)));
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(Duration: 00:00:0[12]\.\d{3})")))
      << lines[4];
  EXPECT_TRUE(std::regex_match(lines[5], std::regex(R"(StartTime: 0\.\d{6})"))) << lines[5];
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(R"(Bit Rate: \d+ kb/s)"))) << lines[6];
  // MPEG-PS shows stream ids (lower-case hex) and 1/90000 time bases.
  const std::regex video(
      R"(Stream #\d\[0x1e0\], 1/90000: Video: mpeg2video.*176x144.*, 25 fps, 25 tbr, 90k tbn, StartTime: 0\.\d{6}, Duration: (N/A|\d\d:\d\d:\d\d\.\d{3}))");
  const std::regex audio(
      R"(Stream #\d\[0x1c0\], 1/90000: Audio: mp2.*44100 Hz.*, StartTime: 0\.\d{6}, Duration: .*)");
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto &l) {
    return std::regex_match(l, video);
  })) << text;
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto &l) {
    return std::regex_match(l, audio);
  })) << text;

  // mp4: container metadata block with the generic keys, no stream ids.
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipMp4()));
  const std::string mp4 = Dec.FileInfoText();
  EXPECT_NE(mp4.find("\nMetadata:\n  major_brand     : isom"), std::string::npos) << mp4;
  EXPECT_TRUE(std::regex_search(
      mp4,
      std::regex(
          R"(\nStream #0\[0x1\]\(und\), 1/12800: Video: h264.*, 25 fps, 25 tbr, 12800 tbn, StartTime: 0\.000000, Duration: 00:00:02\.000\n  Metadata:\n    handler_name    : )")))
      << mp4;
  EXPECT_EQ(mp4.find("language"), std::string::npos);
}

TEST_F(DecoderTest, ProgramsAndLanguageOnlyMetadata) {
  // MPEG-TS: one program with its tags; the stream's only tag is its language.
  const std::string file = vmtest::MakeClip(
      "dec-lang.ts", "-f lavfi -i sine=sample_rate=48000:duration=0.4 -map_metadata -1 "
                     "-metadata:s:a:0 language=ger -c:a mp2 -f mpegts");
  ASSERT_TRUE(Dec.LoadFile(file));
  EXPECT_EQ(Dec.ProgramCount(), 1);
  const std::string text = Dec.FileInfoText();
  EXPECT_NE(text.find("\nProgram 1 FFmpeg@Service01\n  Metadata:\n    service_name    : Service01\n"
                      "    service_provider: FFmpeg\nStream #0[0x100](ger), 1/90000: Audio: mp2"),
            std::string::npos)
      << text;
  const size_t stream = text.find("Stream #0");
  EXPECT_EQ(text.find("Metadata:", stream), std::string::npos) << text;
  TAudioStreamInfo ai;
  ASSERT_TRUE(Dec.GetAudioStreamInfo(-1, ai));
  EXPECT_EQ(ai.Language, "ger");
  EXPECT_EQ(ai.CodecName, "mp2(MP2 (MPEG audio layer 2))");
}

TEST_F(DecoderTest, ChaptersAndTimeStampInFileInfoText) {
  vmtest::TempDir dir;
  const std::string meta = dir.File("chapters.txt");
  ASSERT_TRUE(vmtest::WriteFile(meta, ";FFMETADATA1\ntitle=Demo\n[CHAPTER]\nTIMEBASE=1/1000\n"
                                      "START=0\nEND=500\ntitle=Intro\n"));
  const std::string file =
      vmtest::MakeClip("dec-chapters.mkv", "-f lavfi -i testsrc2=size=64x48:rate=5:duration=1 -i " +
                                               vmtest::ShellQuote(meta) +
                                               " -map 0 -map_metadata 1 -map_chapters 1 -c:v ffv1 "
                                               "-metadata creation_time=2021-03-04T05:06:07Z");
  ASSERT_TRUE(Dec.LoadFile(file));
  const std::string text = Dec.FileInfoText();
  EXPECT_NE(
      text.find("\nChapter #0: start 0.00, end 0.50\n  Metadata:\n    title           : Intro"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("\nMetadata:\n  title           : Demo"), std::string::npos) << text;
  const TFileStreamInfo fi = Dec.FileStreamInfo();
  EXPECT_EQ(fi.Title, "Demo");
  EXPECT_EQ(fi.TimeStamp, 1614834367);
  const time_t t = 1614834367;
  struct tm local {};
  localtime_r(&t, &local);
  char expect[40];
  std::strftime(expect, sizeof(expect), "\nTime Stamp: %Y-%m-%d %H:%M:%S\n", &local);
  EXPECT_NE(text.find(expect), std::string::npos) << text;
}

TEST_F(DecoderTest, ReportsGoToTheEngineLogAtTheirLevels) {
  LogCapture log(llDebug);
  Dec.Decode();
  EXPECT_TRUE(log.Has(llWarning, "file not loaded."));
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipAudioOnly()));
  Dec.Decode();
  EXPECT_TRUE(log.Has(llError, "no video stream."));
  ASSERT_TRUE(Dec.Seek(500000));
  EXPECT_TRUE(log.HasPrefix(llDebug, "current position "));
  EXPECT_TRUE(log.HasPrefix(llDebug, "seek to position "));
  EXPECT_EQ(Dec.LastErrMsg().rfind("seek to position ", 0), 0u);
  ASSERT_TRUE(Dec.DecodeAudio());
  EXPECT_TRUE(log.HasPrefix(llDebug, "decode PTS: 0.5"));
  EXPECT_TRUE(log.HasPrefix(llDebug, "pkt.st_idx=0, dts="));
  EXPECT_EQ(Dec.LastErrMsg().rfind("seek to position ", 0), 0u); // engine log only
  while (Dec.DecodeAudio()) {
  }
  EXPECT_TRUE(log.Has(llInfo, "stream eof reached."));

  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipMp4()));
  ASSERT_TRUE(Dec.Decode());
  EXPECT_TRUE(log.HasPrefix(llDebug, "pkt.st_idx=0, dts=0, pts=0, flags=1, pict_type=1"));
  EXPECT_TRUE(log.Has(llDebug, "decode PTS: 0.000"));
  // A seek far beyond the end fails with the time in seconds.
  EXPECT_FALSE(Dec.Seek(int64_t(3600) * 1000000));
  EXPECT_EQ(Dec.LastErrMsg(), "could not seek to position 3600.000 seconds");
  EXPECT_TRUE(log.Has(llError, "could not seek to position 3600.000 seconds"));
}

TEST_F(DecoderTest, DeinterlaceRebuildsTheSecondField) {
  // Even lines white, odd lines black (grey, lossless): the kernel turns the
  // odd lines into their neighbours' white.
  const std::string file = vmtest::MakeClip(
      "dec-fields.mkv", "-f lavfi -i color=c=black:size=32x16:rate=5:duration=0.4 "
                        "-vf \"format=gray,geq=lum='if(mod(Y,2),0,255)'\" -c:v ffv1");
  ASSERT_TRUE(Dec.LoadFile(file));
  ASSERT_TRUE(Dec.Decode());
  const TAVPicture plain = Dec.FrameInfo().Picture;
  EXPECT_EQ(plain.data[0][0], 255);
  EXPECT_EQ(plain.data[0][5 * plain.linesize[0]], 0);
  Dec.SetDeinterlace(true);
  ASSERT_TRUE(Dec.Decode());
  const TAVPicture deint = Dec.FrameInfo().Picture;
  EXPECT_TRUE(Dec.Deinterlace());
  // Line 1 sees the top edge repeated: (-255 + 4*255 + 0 + 4*255 - 0 + 4) / 8.
  EXPECT_EQ(deint.data[0][1 * deint.linesize[0] + 7], 223);
  for (int y = 2; y < 15; ++y)
    EXPECT_EQ(deint.data[0][y * deint.linesize[0] + 7], 255) << y;
  // Unsupported pixel formats switch it off for good and keep the picture.
  ASSERT_TRUE(Dec.LoadFile(ClipPattern())); // yuv444p: supported
  ASSERT_TRUE(Dec.Decode());
  EXPECT_TRUE(Dec.Deinterlace());
  const std::string rgb = vmtest::MakeClip(
      "dec-rgb.mkv", "-f lavfi -i testsrc2=size=32x16:rate=5:duration=0.4 -pix_fmt bgr0 -c:v ffv1");
  ASSERT_TRUE(Dec.LoadFile(rgb));
  LogCapture log(llError);
  ASSERT_TRUE(Dec.Decode());
  EXPECT_TRUE(log.Has(llError, "deinterlacing failed."));
  EXPECT_FALSE(Dec.Deinterlace());
  EXPECT_TRUE(Dec.FrameInfo().Ready);
}

TEST_F(DecoderTest, MissingLibrariesRaiseAndLoadAVLibBringsThemBack) {
  ASSERT_TRUE(Dec.AVLibLoaded());
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipMp4()));
  ASSERT_TRUE(Dec.Decode());
  TFFBitmap bmp;
  ASSERT_TRUE(Dec.CopyToBitmap(bmp));
  Dec.UnloadAVLib(); // closes the file and frees what it holds first
  EXPECT_FALSE(Dec.AVLibLoaded());
  EXPECT_EQ(Dec.StreamCount(), -1);
  try {
    Dec.LoadFile(vmtest::ClipMp4());
    FAIL() << "no exception";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
  }
  ASSERT_TRUE(Dec.LoadAVLib(""));
  ASSERT_TRUE(Dec.LoadFile(vmtest::ClipMp4()));
  ASSERT_TRUE(Dec.Decode());
  EXPECT_TRUE(Dec.CopyToBitmap(bmp));
}

TEST(Previewer, PaintFrameStopsOnceClosed) {
  struct TFakePreviewer : TPreviewer {
    int Shown = 0;
    void ShowFrame() override { ++Shown; }
    void Close() { SetClosed(); }
    const TFFBitmap &Bitmap() const { return FBitmap; }
    int64_t Pts() const { return FPTS; }
  } p;
  TFFBitmap bmp;
  bmp.SetSize(8, 4);
  bmp.Fill(7);
  EXPECT_TRUE(p.PaintFrame(bmp, 3, 1500000));
  EXPECT_EQ(p.Shown, 1);
  EXPECT_EQ(p.Bitmap().Width(), 8);
  EXPECT_EQ(p.Bitmap().ScanLine(3)[0], 7);
  EXPECT_EQ(p.Pts(), 1500000);
  p.Close();
  EXPECT_FALSE(p.PaintFrame(bmp, 4, 1540000));
  EXPECT_EQ(p.Shown, 1);
}
