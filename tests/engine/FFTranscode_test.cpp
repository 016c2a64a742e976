// Conversion runs through RunTranscode / TTranscoder, checked with ffprobe:
// containers and codecs, stream properties, time limits, sync, volume,
// filters, joining, stopping and failures.

#include "FFPipelineTestUtil.h"

#include <atomic>
#include <filesystem>

using namespace vmpipe;
using vmtest::Probe;

namespace {

class FFTranscodeTest : public PipelineTest {};

// 20 s of tiny video and PCM audio in mkv.
std::string LongClip() {
  return vmtest::MakeClip("long.mkv",
                          "-f lavfi -i testsrc2=size=160x120:rate=25:duration=20 -f lavfi -i "
                          "sine=frequency=440:sample_rate=44100:duration=20 -c:v libx264 -preset "
                          "ultrafast -c:a pcm_s16le -shortest");
}

TEST_F(FFTranscodeTest, Mp4WithX264AndAac) {
  std::string out = Dir.File("out.mp4");
  TTranscodeJob job = MakeJob(vmtest::ClipAvi(), out);
  job.Outputs[0].Video.Codec = "libx264";
  job.Outputs[0].Video.CodecOptions = {{"preset", "ultrafast"}};
  job.Outputs[0].Audio.Codec = "aac";
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_TRUE(r.Finished);
  EXPECT_EQ(Field(out, "codec_name", "v:0"), "h264");
  EXPECT_EQ(Field(out, "codec_name", "a:0"), "aac");
  // The input's size, rate, sample rate and channels are kept when not set.
  EXPECT_EQ(Field(out, "width", "v:0"), "320");
  EXPECT_EQ(Field(out, "height", "v:0"), "240");
  EXPECT_EQ(Field(out, "r_frame_rate", "v:0"), "25/1");
  EXPECT_EQ(Field(out, "sample_rate", "a:0"), "22050");
  EXPECT_EQ(Field(out, "channels", "a:0"), "1");
  EXPECT_NEAR(Duration(out), 2.0, 0.1);
  // The input has a gap after its first picture; constant rate fills it.
  EXPECT_NEAR(CountFrames(out), 51, 1);
  EXPECT_TRUE(DecodesCleanly(out));
}

struct TFormatCase {
  const char *Name;
  const char *File;
  const char *VideoCodec; // "" = no video
  const char *AudioCodec;
  const char *WantVideo; // codec_name ffprobe reports
  const char *WantAudio;
  int Width, Height; // 0 = keep
  int SampleRate;    // 0 = keep
  const char *VideoTag;
};

class FFTranscodeFormatTest : public PipelineTest,
                              public ::testing::WithParamInterface<TFormatCase> {};

TEST_P(FFTranscodeFormatTest, ConvertsAndDecodes) {
  const TFormatCase &c = GetParam();
  std::string out = Dir.File(c.File);
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  TTranscodeOutput &o = job.Outputs[0];
  o.Video.Codec = c.VideoCodec;
  o.DisableVideo = !*c.VideoCodec;
  o.Audio.Codec = c.AudioCodec;
  o.Video.Width = c.Width;
  o.Video.Height = c.Height;
  o.Audio.SampleRate = c.SampleRate;
  o.Video.Tag = c.VideoTag;
  if (std::string(c.VideoCodec) == "libx264")
    o.Video.CodecOptions = {{"preset", "ultrafast"}};
  if (std::string(c.VideoCodec) == "libvpx")
    o.Video.CodecOptions = {{"deadline", "realtime"}, {"cpu-used", "8"}};
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << c.Name << ": " << r.ErrorMsg;
  EXPECT_TRUE(r.Finished);
  if (*c.VideoCodec) {
    EXPECT_EQ(Field(out, "codec_name", "v:0"), c.WantVideo);
    if (c.Width) {
      EXPECT_EQ(Field(out, "width", "v:0"), std::to_string(c.Width));
    }
  } else {
    EXPECT_EQ(Field(out, "codec_name", "v:0"), "");
  }
  EXPECT_EQ(Field(out, "codec_name", "a:0"), c.WantAudio);
  if (c.SampleRate) {
    EXPECT_EQ(Field(out, "sample_rate", "a:0"), std::to_string(c.SampleRate));
  }
  if (*c.VideoTag) {
    EXPECT_EQ(Field(out, "codec_tag_string", "v:0"), c.VideoTag);
  }
  EXPECT_NEAR(Duration(out), 2.0, 0.15);
  EXPECT_TRUE(DecodesCleanly(out)) << c.Name;
}

INSTANTIATE_TEST_SUITE_P(
    Containers, FFTranscodeFormatTest,
    ::testing::Values(
        TFormatCase{"mkv", "out.mkv", "libx264", "libvorbis", "h264", "vorbis", 0, 0, 0, ""},
        TFormatCase{"webm", "out.webm", "libvpx", "libvorbis", "vp8", "vorbis", 0, 0, 0, ""},
        TFormatCase{"avi", "out.avi", "mpeg4", "libmp3lame", "mpeg4", "mp3", 0, 0, 0, "DIVX"},
        TFormatCase{"asf", "out.wmv", "wmv2", "wmav2", "wmv2", "wmav2", 0, 0, 0, ""},
        TFormatCase{"flv", "out.flv", "flv", "libmp3lame", "flv1", "mp3", 0, 0, 44100, ""},
        TFormatCase{"3gp", "out.3gp", "h263", "aac", "h263", "aac", 176, 144, 0, ""},
        TFormatCase{"ogg", "out.ogg", "libtheora", "libvorbis", "theora", "vorbis", 0, 0, 0, ""},
        TFormatCase{"mp3", "out.mp3", "", "libmp3lame", "", "mp3", 0, 0, 0, ""}),
    [](const ::testing::TestParamInfo<TFormatCase> &AInfo) { return AInfo.param.Name; });

TEST_F(FFTranscodeTest, FrameSizeRateSampleRateAndChannels) {
  std::string out = Dir.File("small.mp4");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  TTranscodeOutput &o = job.Outputs[0];
  o.Video.Codec = "mpeg4";
  o.Video.Width = 160;
  o.Video.Height = 120;
  o.Video.FrameRate = AVRational{15, 1};
  o.Audio.Codec = "aac";
  o.Audio.SampleRate = 22050;
  o.Audio.Channels = 1;
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_EQ(Field(out, "width", "v:0"), "160");
  EXPECT_EQ(Field(out, "height", "v:0"), "120");
  EXPECT_EQ(Field(out, "r_frame_rate", "v:0"), "15/1");
  EXPECT_EQ(Field(out, "sample_rate", "a:0"), "22050");
  EXPECT_EQ(Field(out, "channels", "a:0"), "1");
  // 25 -> 15 fps at constant rate drops pictures: 2 s give 30.
  EXPECT_NEAR(CountFrames(out), 30, 1);
  EXPECT_NEAR(Duration(out), 2.0, 0.1);
}

TEST_F(FFTranscodeTest, ConstantRateDuplicatesAndPassThroughKeepsCount) {
  // 25 -> 30000/1001 with method 1 adds about one picture in five.
  std::string out = Dir.File("ntsc.mp4");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Video.FrameRate = AVRational{30000, 1001};
  job.Settings.VideoSyncMethod = 1;
  ASSERT_TRUE(RunTranscode(job).Success);
  EXPECT_NEAR(CountFrames(out), 60, 1);

  std::string pass = Dir.File("pass.mkv");
  TTranscodeJob job0 = MakeJob(vmtest::ClipVideoOnly(), pass);
  job0.Outputs[0].Video.Codec = "mpeg4";
  job0.Outputs[0].Video.FrameRate = AVRational{30000, 1001};
  job0.Settings.VideoSyncMethod = 0;
  ASSERT_TRUE(RunTranscode(job0).Success);
  EXPECT_EQ(CountFrames(pass), 50);
}

TEST_F(FFTranscodeTest, StartTimeAndDurationLimitWithinOneFrame) {
  std::string out = Dir.File("cut.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Inputs[0].TimeStart = 500000;
  job.Settings.RecordingTime = 1000000;
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "libvorbis";
  std::vector<TTranscodeProgress> reports;
  TTranscodeEvents ev;
  ev.OnProgress = [&](const TTranscodeProgress &p) { reports.push_back(p); };
  TTranscoder t(job.Settings, ev);
  ASSERT_TRUE(t.AddInput(job.Inputs[0])) << t.LastErrMsg();
  ASSERT_EQ(t.AddOutput(job.Outputs[0]), 0) << t.LastErrMsg();
  EXPECT_EQ(t.TotalOutputDuration(), 1000000);
  TTranscodeResult r = t.Run();
  t.Close();
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  // Nothing from before the seek position reaches the output.
  EXPECT_NEAR(Duration(out), 1.0, 0.041);
  EXPECT_NEAR(ToDouble(Field(out, "start_time", "a:0")), 0.0, 0.03);
  EXPECT_NEAR(CountFrames(out), 25, 1);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().FileIndex, -1);
  EXPECT_EQ(reports.back().TotalDuration, 1000000);
  EXPECT_NEAR(reports.back().CurrentDuration, 1000000, 60000);
}

TEST_F(FFTranscodeTest, LateAudioIsPaddedWithSilence) {
  std::string clip = vmtest::MakeClip(
      "late-audio.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -itsoffset 0.5 "
                        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1.5 "
                        "-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a pcm_s16le");
  ASSERT_NEAR(ToDouble(Field(clip, "start_time", "a:0")), 0.5, 0.01);
  std::string out = Dir.File("synced.mp4");
  TTranscodeJob job = MakeJob(clip, out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "aac";
  job.Settings.AudioSyncMethod = 1;
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  // The audio starts with the video and its first half second is silent.
  EXPECT_NEAR(ToDouble(Field(out, "start_time", "a:0")), 0.0, 0.03);
  EXPECT_NEAR(ToDouble(Field(out, "duration", "a:0")), 2.0, 0.1);
  TVolume head = Volume(out, "-t 0.45");
  TVolume tail = Volume(out, "-ss 0.6");
  EXPECT_LT(head.Max, -60.0);
  EXPECT_GT(tail.Max, -25.0);
}

TEST_F(FFTranscodeTest, VolumeFactorScalesSamples) {
  auto convert = [&](int AVolume, const std::string &AName) {
    std::string out = Dir.File(AName);
    TTranscodeJob job = MakeJob(vmtest::ClipAudioOnly(), out);
    job.Outputs[0].Audio.Codec = "pcm_s16le";
    job.Settings.AudioVolume = AVolume;
    TTranscodeResult r = RunTranscode(job);
    EXPECT_TRUE(r.Success) << r.ErrorMsg;
    return Volume(out);
  };
  TVolume same = convert(256, "same.wav");
  TVolume twice = convert(512, "twice.wav");
  TVolume silent = convert(0, "silent.wav");
  EXPECT_NEAR(twice.Mean - same.Mean, 6.02, 0.3);
  EXPECT_NEAR(twice.Max - same.Max, 6.02, 0.3);
  EXPECT_LT(silent.Max, -90.0);
  // Unchanged volume keeps the source level.
  EXPECT_NEAR(same.Max, Volume(vmtest::ClipAudioOnly()).Max, 0.2);
}

TEST_F(FFTranscodeTest, VolumeWithAudioCopyIsRefused) {
  std::string out = Dir.File("copy.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Outputs[0].Video.Codec = "copy";
  job.Outputs[0].Audio.Codec = "copy";
  job.Settings.AudioVolume = 512;
  TTranscodeResult r = RunTranscode(job);
  EXPECT_FALSE(r.Success);
  EXPECT_EQ(r.ErrorMsg, "-acodec copy and -vol are incompatible (frames are not decoded)");
  // Nothing was written: the empty output is gone.
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(FFTranscodeTest, StreamCopyKeepsPackets) {
  std::string out = Dir.File("copy.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Outputs[0].Video.Codec = "copy";
  job.Outputs[0].Audio.Codec = "copy";
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_EQ(Field(out, "codec_name", "v:0"), "h264");
  EXPECT_EQ(Field(out, "codec_name", "a:0"), "aac");
  EXPECT_EQ(CountFrames(out), 50);
  EXPECT_NEAR(Duration(out), 2.0, 0.1);
  EXPECT_TRUE(DecodesCleanly(out));
}

TEST_F(FFTranscodeTest, CropPadScaleFilters) {
  std::string out = Dir.File("filtered.mp4");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Video.Filters = "crop=160:120:0:0,pad=200:150:20:15:black,scale=100:76";
  ASSERT_TRUE(RunTranscode(job).Success);
  // No frame size set: the graph decides the encoder's size.
  EXPECT_EQ(Field(out, "width", "v:0"), "100");
  EXPECT_EQ(Field(out, "height", "v:0"), "76");

  // With a frame size and a filter text, the filters see the source picture
  // (a pad computed for 320x240) and the frame size is reached after them.
  std::string out2 = Dir.File("scaled.mp4");
  TTranscodeJob job2 = MakeJob(vmtest::ClipMp4(), out2);
  job2.Outputs[0].Video.Codec = "mpeg4";
  job2.Outputs[0].Video.Width = 176;
  job2.Outputs[0].Video.Height = 144;
  job2.Outputs[0].Video.Filters = "pad=320:256:0:8:black";
  TTranscodeResult r2 = RunTranscode(job2);
  ASSERT_TRUE(r2.Success) << r2.ErrorMsg;
  EXPECT_EQ(Field(out2, "width", "v:0"), "176");
  EXPECT_EQ(Field(out2, "height", "v:0"), "144");
  EXPECT_TRUE(DecodesCleanly(out2));

  // A frame size without filters scales the source.
  std::string out3 = Dir.File("sized.mp4");
  TTranscodeJob job3 = MakeJob(vmtest::ClipMp4(), out3);
  job3.Outputs[0].Video.Codec = "mpeg4";
  job3.Outputs[0].Video.Width = 176;
  job3.Outputs[0].Video.Height = 144;
  ASSERT_TRUE(RunTranscode(job3).Success);
  EXPECT_EQ(Field(out3, "width", "v:0"), "176");
  EXPECT_EQ(Field(out3, "height", "v:0"), "144");
}

TEST_F(FFTranscodeTest, JoinTwoInputsAddsDurations) {
  std::string out = Dir.File("joined.mp4");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  TTranscodeInput second;
  second.FileName = vmtest::ClipAvi();
  job.Inputs.push_back(second);
  job.Settings.Join = true;
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "aac";
  job.Outputs[0].Audio.SampleRate = 44100;
  job.Outputs[0].Audio.Channels = 2;
  std::vector<TTranscodeProgress> reports;
  TTranscodeEvents ev;
  ev.OnProgress = [&](const TTranscodeProgress &p) { reports.push_back(p); };
  TTranscoder t(job.Settings, ev);
  for (const auto &in : job.Inputs)
    ASSERT_TRUE(t.AddInput(in)) << t.LastErrMsg();
  ASSERT_EQ(t.AddOutput(job.Outputs[0]), 0) << t.LastErrMsg();
  EXPECT_EQ(t.AddOutput(job.Outputs[0]), -1);
  EXPECT_EQ(t.LastErrMsg(), "Cannot join more than one output file.");
  int64_t total = t.TotalOutputDuration();
  EXPECT_NEAR(total, 4080000, 100000);
  TTranscodeResult r = t.Run();
  t.Close();
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_NEAR(Duration(out), 4.05, 0.15);
  EXPECT_NEAR(ToDouble(Field(out, "duration", "a:0")), 4.05, 0.15);
  EXPECT_NEAR(CountFrames(out), 102, 2);
  EXPECT_TRUE(DecodesCleanly(out));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().TotalDuration, total);
  EXPECT_EQ(reports.back().FrameNumber, CountFrames(out));
}

TEST_F(FFTranscodeTest, StopInTheMiddleLeavesPlayableFile) {
  std::string clip = LongClip();
  std::string out = Dir.File("stopped.mp4");
  TTranscodeJob job = MakeJob(clip, out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "aac";
  job.Settings.ReportInterval = 1000;
  TTranscoder *self = nullptr;
  TTranscodeEvents ev;
  int64_t stoppedAt = -1;
  ev.OnProgress = [&](const TTranscodeProgress &p) {
    if (p.FileIndex >= 0 && p.CurrentDuration > 1000000 && stoppedAt < 0 &&
        p.CurrentDuration < 1000000000) {
      stoppedAt = p.CurrentDuration;
      self->Stop();
    }
  };
  TTranscoder t(job.Settings, ev);
  self = &t;
  ASSERT_TRUE(t.AddInput(job.Inputs[0]));
  ASSERT_EQ(t.AddOutput(job.Outputs[0]), 0);
  TTranscodeResult r = t.Run();
  t.Close();
  EXPECT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_FALSE(r.Finished);
  ASSERT_GT(stoppedAt, 0);
  double d = Duration(out);
  EXPECT_GT(d, 0.9);
  EXPECT_LT(d, 10.0);
  EXPECT_TRUE(DecodesCleanly(out));
}

TEST_F(FFTranscodeTest, StopCallbackEndsTheRun) {
  std::string out = Dir.File("cb.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "libvorbis";
  std::atomic<int> turns{0};
  TTranscodeEvents ev;
  ev.PausePoint = [&] { ++turns; };
  ev.StopRequested = [&] { return turns.load() > 20; };
  TTranscodeResult r = RunTranscode(job, ev);
  EXPECT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_FALSE(r.Finished);
  EXPECT_LT(Duration(out), 1.5);
  EXPECT_TRUE(DecodesCleanly(out));
}

TEST_F(FFTranscodeTest, UnknownTotalDurationStillReportsProgress) {
  std::string clip =
      vmtest::MakeClip("raw.h264", "-f lavfi -i testsrc2=size=160x120:rate=25:"
                                   "duration=2 -c:v libx264 -preset ultrafast -f h264");
  std::string out = Dir.File("raw.mkv");
  TTranscodeJob job = MakeJob(clip, out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Settings.ReportInterval = 1;
  std::vector<TTranscodeProgress> reports;
  TTranscodeEvents ev;
  ev.OnProgress = [&](const TTranscodeProgress &p) { reports.push_back(p); };
  TTranscodeResult r = RunTranscode(job, ev);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  ASSERT_GE(reports.size(), 2u);
  for (const auto &p : reports) {
    EXPECT_EQ(p.TotalDuration, -1);
    EXPECT_GT(p.FrameNumber, 0);
  }
  EXPECT_EQ(reports.back().FileIndex, -1);
  EXPECT_EQ(reports.back().FrameNumber, 50);
  EXPECT_NE(reports.back().Text.find("frame=   50"), std::string::npos) << reports.back().Text;
  EXPECT_NE(reports.back().Text.find("L"), std::string::npos);
}

TEST_F(FFTranscodeTest, AudioOnlyOutputReportsWithoutVideo) {
  std::string out = Dir.File("a.mp3");
  TTranscodeJob job = MakeJob(vmtest::ClipAudioOnly(), out);
  std::vector<TTranscodeProgress> reports;
  TTranscodeEvents ev;
  ev.OnProgress = [&](const TTranscodeProgress &p) { reports.push_back(p); };
  ASSERT_TRUE(RunTranscode(job, ev).Success);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().FrameNumber, -1);
  EXPECT_EQ(reports.back().FPS, -1);
  EXPECT_FLOAT_EQ(reports.back().Quality, -1.0f);
  EXPECT_NEAR(reports.back().TotalDuration, 2000000, 50000);
  EXPECT_GT(reports.back().CurrentSize, 0);
}

TEST_F(FFTranscodeTest, MissingInputGivesErrorText) {
  TTranscoder t(TTranscodeSettings{});
  TTranscodeInput in;
  in.FileName = Dir.File("none.mp4");
  EXPECT_FALSE(t.AddInput(in));
  EXPECT_EQ(t.LastErrMsg(), in.FileName + ": No such file or directory");
  EXPECT_EQ(t.Run().ErrorMsg, "At least one output file must be specified");
}

TEST_F(FFTranscodeTest, TruncatedInputEndsWithClearMessage) {
  std::string data = vmtest::ReadFile(vmtest::ClipMp4());
  ASSERT_GT(data.size(), 10000u);
  std::string broken = Dir.File("broken.mp4");
  // The index (moov) is at the end: without it the file cannot be opened.
  ASSERT_TRUE(vmtest::WriteFile(broken, data.substr(0, data.size() / 2)));
  std::string out = Dir.File("never.mkv");
  TTranscodeResult r = RunTranscode(MakeJob(broken, out));
  EXPECT_FALSE(r.Success);
  EXPECT_EQ(r.ErrorMsg.rfind(broken + ": ", 0), 0u) << r.ErrorMsg;
  EXPECT_FALSE(std::filesystem::exists(out));

  // Cut in the middle of the data: the run fails with a clear message; what
  // was converted is kept and playable.
  std::string mkv = vmtest::ReadFile(LongClip());
  std::string cut = Dir.File("cut.mkv");
  ASSERT_TRUE(vmtest::WriteFile(cut, mkv.substr(0, mkv.size() / 3)));
  std::string out2 = Dir.File("partial.mkv");
  TTranscodeJob job = MakeJob(cut, out2);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "libvorbis";
  TTranscodeResult r2 = RunTranscode(job);
  EXPECT_FALSE(r2.Success);
  EXPECT_NE(r2.ErrorMsg.find("ends prematurely"), std::string::npos) << r2.ErrorMsg;
  EXPECT_NE(r2.ErrorMsg.find(cut), std::string::npos);
  ASSERT_TRUE(std::filesystem::exists(out2));
  EXPECT_GT(Duration(out2), 2.0);
  EXPECT_TRUE(DecodesCleanly(out2));

  // Damage inside the data that the decoders conceal is tolerated.
  std::string mpg = vmtest::ReadFile(vmtest::ClipMpeg());
  for (size_t i = 4096; i + 4 < mpg.size(); i += 997)
    mpg[i] = static_cast<char>(mpg[i] ^ 0x5A);
  std::string bad = Dir.File("garbled.mpg");
  ASSERT_TRUE(vmtest::WriteFile(bad, mpg));
  std::string out3 = Dir.File("garbled.mkv");
  TTranscodeJob job3 = MakeJob(bad, out3);
  job3.Outputs[0].Video.Codec = "mpeg4";
  job3.Outputs[0].Audio.Codec = "libvorbis";
  TTranscodeResult r3 = RunTranscode(job3);
  EXPECT_TRUE(r3.Success) << r3.ErrorMsg;
  EXPECT_NEAR(Duration(out3), 2.0, 0.2);
}

TEST_F(FFTranscodeTest, UnknownEncoderFailsOutputOpen) {
  TTranscoder t(TTranscodeSettings{});
  TTranscodeInput in;
  in.FileName = vmtest::ClipMp4();
  ASSERT_TRUE(t.AddInput(in));
  TTranscodeOutput out;
  out.FileName = Dir.File("x.mp4");
  out.Video.Codec = "nosuchcodec";
  EXPECT_EQ(t.AddOutput(out), -1);
  EXPECT_EQ(t.LastErrMsg(), "new_video_stream fail: Unknown encoder 'nosuchcodec'");
  out.Video.Codec = "aac";
  EXPECT_EQ(t.AddOutput(out), -1);
  EXPECT_EQ(t.LastErrMsg(), "new_video_stream fail: Invalid encoder type 'aac'");
  out.FileName = Dir.File("x.unknownext");
  out.Video.Codec = "";
  EXPECT_EQ(t.AddOutput(out), -1);
  EXPECT_EQ(t.LastErrMsg(), "Unable to find a suitable output format for '" + out.FileName + "'");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("x.mp4")));
}

} // namespace
