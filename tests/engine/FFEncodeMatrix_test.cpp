// Codec and container combinations through the whole add path of the
// encoder component (option records -> settings -> pipeline), checked with
// ffprobe: stream codecs, tags, disc-target sizes, and that every picture
// decodes again.

#include "EncoderHarness.h"

#include <gtest/gtest.h>

using namespace vmtest;

namespace {

// 1 s QCIF (a size every encoder here accepts: multiples of 16) + 44.1 kHz
// stereo.
std::string MatrixSource() {
  return MakeClip("enc_matrix_src.mp4",
                  "-f lavfi -i testsrc=size=176x144:rate=25:duration=1 "
                  "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
                  "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -ac 2 -shortest");
}

struct TCase {
  const char *Name;
  const char *Ext;
  const char *ForceFormat;
  const char *VideoCodec; // "" with NoVideo
  const char *AudioCodec;
  const char *VideoTag;
  TOptionTargetType Target;
  bool NoVideo;
  int SampleRate; // -1 = the input's
  // Expected.
  const char *WantVideo; // "" = no video stream
  const char *WantAudio;
  const char *WantTag; // "" = not checked
  int WantWidth;       // 0 = not checked
  int WantHeight;
};

std::ostream &operator<<(std::ostream &AOut, const TCase &ACase) {
  return AOut << ACase.Name;
}

const TCase kCases[] = {
    {"mkv_h264_vorbis", "mkv", "", "libx264", "libvorbis", "", ttIgnore, false, -1, "h264",
     "vorbis", "", 0, 0},
    {"webm_vp8_vorbis", "webm", "", "libvpx", "libvorbis", "", ttIgnore, false, -1, "vp8", "vorbis",
     "", 0, 0},
    {"avi_divx_mp3", "avi", "", "mpeg4", "libmp3lame", "DIVX", ttIgnore, false, -1, "mpeg4", "mp3",
     "DIVX", 0, 0},
    {"avi_xvid_mp3", "avi", "", "libxvid", "libmp3lame", "", ttIgnore, false, -1, "mpeg4", "mp3",
     "", 0, 0},
    {"asf_wmv2_wmav2", "wmv", "", "wmv2", "wmav2", "", ttIgnore, false, -1, "wmv2", "wmav2", "", 0,
     0},
    {"flv_flv1_mp3", "flv", "", "flv", "libmp3lame", "", ttIgnore, false, 22050, "flv1", "mp3", "",
     0, 0},
    {"3gp_mpeg4_aac", "3gp", "", "mpeg4", "aac", "", ttIgnore, false, -1, "mpeg4", "aac", "", 0, 0},
    {"ogg_theora_vorbis", "ogg", "", "libtheora", "libvorbis", "", ttIgnore, false, -1, "theora",
     "vorbis", "", 0, 0},
    {"psp_h264_aac", "mp4", "psp", "libx264", "aac", "", ttIgnore, false, -1, "h264", "aac", "", 0,
     0},
    {"rm_rv10_ac3", "rm", "", "rv10", "ac3", "", ttIgnore, false, -1, "rv10", "ac3", "", 0, 0},
    {"rm_rv20_ac3", "rm", "", "rv20", "ac3", "", ttIgnore, false, -1, "rv20", "ac3", "", 0, 0},
    {"vcd_pal", "mpg", "", "", "", "", ttVCD, false, -1, "mpeg1video", "mp2", "", 352, 288},
    {"svcd_pal", "mpg", "", "", "", "", ttSVCD, false, -1, "mpeg2video", "mp2", "", 480, 576},
    {"dvd_pal", "vob", "", "", "", "", ttDVD, false, -1, "mpeg2video", "ac3", "", 720, 576},
    {"mp3_audio_only", "mp3", "", "", "libmp3lame", "", ttIgnore, true, -1, "", "mp3", "", 0, 0},
    {"wma_audio_only", "wma", "", "", "wmav2", "", ttIgnore, true, -1, "", "wmav2", "", 0, 0},
};

class EncoderMatrixTest : public ::testing::TestWithParam<TCase> {
protected:
  static void SetUpTestSuite() { TEncoderHarness::LoadLibraries(); }
  TempDir Dir;
};

} // namespace

TEST_P(EncoderMatrixTest, ConvertsAndDecodesAgain) {
  const TCase &c = GetParam();
  TEncoderHarness h;
  ASSERT_EQ(h.Enc.AddTask(MatrixSource(), std::string()), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = OutputRecord(c.VideoCodec, c.AudioCodec);
  out.ForceFormat = c.ForceFormat;
  out.VideoTag = c.VideoTag;
  out.TargetType = c.Target;
  out.NormType = ntPAL;
  out.DisableVideo = c.NoVideo;
  out.AudioSampleRate = c.SampleRate;
  const std::string file = Dir.File(std::string("out.") + c.Ext);
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
  h.Enc.Start(0);
  ASSERT_TRUE(h.HasFinal());
  TTerminateInfo t = h.TermOf(0);
  ASSERT_TRUE(t.Finished) << t.ExceptionMsg;

  auto v = Probe(file, "stream=codec_name,codec_tag_string,width,height", "v:0");
  auto a = Probe(file, "stream=codec_name,sample_rate", "a:0");
  if (*c.WantVideo) {
    EXPECT_EQ(v["codec_name"], c.WantVideo);
    CommandResult r = RunCommand("ffprobe -v error -count_frames -select_streams v:0 "
                                 "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                     ShellQuote(file) + " 2>&1",
                                 true);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_GE(std::atoi(r.Output.c_str()), 20) << r.Output;
    EXPECT_EQ(r.Output.find("rror"), std::string::npos) << r.Output;
  } else {
    EXPECT_TRUE(v.empty() || v["codec_name"].empty()) << "no video stream";
  }
  EXPECT_EQ(a["codec_name"], c.WantAudio);
  if (*c.WantTag) {
    EXPECT_EQ(v["codec_tag_string"], c.WantTag);
  }
  if (c.WantWidth) {
    EXPECT_EQ(v["width"], std::to_string(c.WantWidth));
    EXPECT_EQ(v["height"], std::to_string(c.WantHeight));
  }
  if (c.SampleRate > 0) {
    EXPECT_EQ(a["sample_rate"], std::to_string(c.SampleRate));
  }
  double d = ProbeDouble(file, "format=duration");
  EXPECT_GT(d, 0.7);
  EXPECT_LT(d, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Formats, EncoderMatrixTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TCase> &AInfo) {
                           return std::string(AInfo.param.Name);
                         });

namespace {

// Matroska needs the encoder's global header before the file header is
// written; the libx264 preset sets "flags", which must not drop it.
struct TMkvCase {
  const char *Name;
  const char *AudioCodec;
  const char *WantAudio;
};

std::ostream &operator<<(std::ostream &AOut, const TMkvCase &ACase) {
  return AOut << ACase.Name;
}

const TMkvCase kMkvCases[] = {
    {"aac", "aac", "aac"},
    {"mp3", "libmp3lame", "mp3"},
    {"vorbis", "libvorbis", "vorbis"},
    {"ac3", "ac3", "ac3"},
};

class EncoderMkvPresetTest : public ::testing::TestWithParam<TMkvCase> {
protected:
  static void SetUpTestSuite() { TEncoderHarness::LoadLibraries(); }
  TempDir Dir;
};

} // namespace

TEST_P(EncoderMkvPresetTest, H264WithDefaultPresetWritesHeader) {
  const TMkvCase &c = GetParam();
  TEncoderHarness h;
  ASSERT_EQ(h.Enc.AddTask(MatrixSource(), std::string()), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = OutputRecord("libx264", c.AudioCodec);
  out.VideoPreset = "libx264-default";
  const std::string file = Dir.File("out.mkv");
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
  h.Enc.Start(0);
  ASSERT_TRUE(h.WaitFinal());
  TTerminateInfo t = h.TermOf(0);
  ASSERT_TRUE(t.Finished) << t.ExceptionMsg;

  auto v = Probe(file, "stream=codec_name", "v:0");
  auto a = Probe(file, "stream=codec_name", "a:0");
  EXPECT_EQ(v["codec_name"], "h264");
  EXPECT_EQ(a["codec_name"], c.WantAudio);
  CommandResult r = RunCommand("ffprobe -v error -count_frames -select_streams v:0 "
                               "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                   ShellQuote(file) + " 2>&1",
                               true);
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_GE(std::atoi(r.Output.c_str()), 20) << r.Output;
  EXPECT_EQ(r.Output.find("rror"), std::string::npos) << r.Output;
}

INSTANTIATE_TEST_SUITE_P(Audio, EncoderMkvPresetTest, ::testing::ValuesIn(kMkvCases),
                         [](const ::testing::TestParamInfo<TMkvCase> &AInfo) {
                           return std::string(AInfo.param.Name);
                         });

namespace {

// Disc targets with the norm left to the input: its frame rate decides PAL
// or NTSC.
struct TAutoNormCase {
  const char *Name;
  TOptionTargetType Target;
  const char *Rate; // the source's frame rate
  const char *Ext;
  int WantWidth;
  int WantHeight;
  const char *WantRate;
};

std::ostream &operator<<(std::ostream &AOut, const TAutoNormCase &ACase) {
  return AOut << ACase.Name;
}

const TAutoNormCase kAutoNormCases[] = {
    {"vcd_25", ttVCD, "25", "mpg", 352, 288, "25/1"},
    {"vcd_2997", ttVCD, "30000/1001", "mpg", 352, 240, "30000/1001"},
    {"svcd_25", ttSVCD, "25", "mpg", 480, 576, "25/1"},
    {"svcd_2997", ttSVCD, "30000/1001", "mpg", 480, 480, "30000/1001"},
    {"dvd_25", ttDVD, "25", "vob", 720, 576, "25/1"},
    {"dvd_2997", ttDVD, "30000/1001", "vob", 720, 480, "30000/1001"},
};

std::string RateSource(const std::string &ARate) {
  const std::string tag = ARate == "25" ? "25" : "2997";
  return MakeClip("enc_norm_src_" + tag + ".mp4",
                  "-f lavfi -i testsrc=size=176x144:rate=" + ARate +
                      ":duration=1 "
                      "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
                      "-c:v mpeg4 -pix_fmt yuv420p -c:a aac -ac 2 -shortest");
}

class EncoderAutoNormTest : public ::testing::TestWithParam<TAutoNormCase> {
protected:
  static void SetUpTestSuite() { TEncoderHarness::LoadLibraries(); }
  TempDir Dir;
};

} // namespace

TEST_P(EncoderAutoNormTest, NormFollowsInputRate) {
  const TAutoNormCase &c = GetParam();
  TEncoderHarness h;
  ASSERT_EQ(h.Enc.AddTask(RateSource(c.Rate), std::string()), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = OutputRecord("", "");
  out.TargetType = c.Target;
  out.NormType = ntAuto;
  out.NormDefault = ntPAL;
  const std::string file = Dir.File(std::string("out.") + c.Ext);
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
  h.Enc.Start(0);
  ASSERT_TRUE(h.WaitFinal());
  TTerminateInfo t = h.TermOf(0);
  ASSERT_TRUE(t.Finished) << t.ExceptionMsg;

  auto v = Probe(file, "stream=width,height,r_frame_rate", "v:0");
  EXPECT_EQ(v["width"], std::to_string(c.WantWidth));
  EXPECT_EQ(v["height"], std::to_string(c.WantHeight));
  EXPECT_EQ(v["r_frame_rate"], c.WantRate);
}

INSTANTIATE_TEST_SUITE_P(Targets, EncoderAutoNormTest, ::testing::ValuesIn(kAutoNormCases),
                         [](const ::testing::TestParamInfo<TAutoNormCase> &AInfo) {
                           return std::string(AInfo.param.Name);
                         });
