// Option assembly: paths, output names, filters, time range, volume and the
// container rules, on real (tiny) sources and a small template file.

#include "media/FFDecode.h"
#include "workflow/ListItems.h"
#include "workflow/OptionAssembly.h"

#include "services/SettingsFixture.h"

#include <memory>

namespace {

QString Q(const std::string &s) {
  return QString::fromStdString(s);
}

// Profiles: 0 mp4/x264/aac 320x240, 1 ".DVD", 2 ".ipod", 3 ".flv" at 48 kHz,
// 4 mp4 640x360, 5 divx+aac mono avi, 6 mp4 without video, 7 ".flv" 44.1 kHz.
const char *kFormatIni = R"([global]
count=8
[0]
name=MP4
format=.mp4
video_size=320x240$320 x 240;320x240$default
video_framerate=25$default
video_encoder=x264$default
video_bitrate=400$default
audio_samplerate=44100$default
audio_channel=Stereo$default
audio_encoder=aac$default
audio_bitrate=96$default
[1]
name=DVD
format=.DVD
video_size=720x576$default
audio_encoder=ac3$default
[2]
name=iPod
format=.ipod
audio_encoder=aac$default
[3]
name=Flash
format=.flv
audio_samplerate=48000$default
audio_encoder=mp3$default
[4]
name=Wide
format=.mp4
video_size=640x360$default
[5]
name=DivX
format=.avi
video_encoder=divx$default
audio_encoder=aac$default
audio_channel=Mono$default
video_bitrate=abc$default
[6]
name=Sound
format=.mp4
video_enabled=0
[7]
name=Flash44
format=.FLV
audio_samplerate=44100$default
)";

class OptionAssemblyTest : public SettingsFixture {
protected:
  void SetUp() override {
    SettingsFixture::SetUp();
    ASSERT_TRUE(vmtest::WriteFile(FApp + "format.ini", kFormatIni));
    FTpl = std::make_unique<TFormatTpl>(Q(FApp + "format.ini"), Q(FUser + "/format.ini"));
    ASSERT_EQ(FTpl->GetCount(), 8);
    ASSERT_TRUE(FDecoder.LoadAVLib("")) << FDecoder.LastErrMsg();
    FAsm = std::make_unique<TOptionAssembly>(*FTpl, FList, FDecoder);
    FAsm->FDestPath = Q(FOut.Path().string());
  }
  void TearDown() override {
    FAsm.reset();
    FTpl.reset();
    SettingsFixture::TearDown();
  }

  void UseProfile(int index) { ASSERT_TRUE(Settings()->SetSettingInteger("LastTpl", index)); }

  // Adds a file row and opens it in the decoder, as task creation does.
  int AddOpen(const std::string &file) {
    EXPECT_NE(FList.AddToList(Q(file), FDecoder), TListItemStore::arLoadError);
    const int row = FList.IndexOfValue("FileName", Q(file));
    EXPECT_TRUE(FDecoder.LoadFile(file));
    return row;
  }
  int AddDVD(const QString &titleId, const QString &duration) {
    FList.AddDVDTitles({"opendvd:/dev/sr0|" + titleId}, {duration}, {"576"}, {"720"});
    const int row = FList.Count() - 1;
    FList.SetValue("DVDTitleID", titleId, row);
    FDecoder.CloseFile();
    return row;
  }
  std::string Out(const std::string &name) const { return FOut.File(name); }

  vmtest::TempDir FOut;
  std::unique_ptr<TFormatTpl> FTpl;
  TFFDecoder FDecoder;
  TListItemStore FList;
  std::unique_ptr<TOptionAssembly> FAsm;
};

std::string Clip1080() {
  return vmtest::MakeClip("wf_1080.mkv",
                          "-f lavfi -i color=c=blue:s=1920x1080:r=5:d=0.4 -c:v mpeg4 -q:v 31");
}
std::string Clip640() {
  return vmtest::MakeClip("wf_640.mkv", "-f lavfi -i testsrc=s=640x480:r=5:d=0.4 -c:v mpeg4");
}

} // namespace

TEST(JoinPath, PosixRules) {
  EXPECT_EQ(JoinPath("/out", "clip.mp4"), "/out/clip.mp4");
  EXPECT_EQ(JoinPath("/out/", "clip.mp4"), "/out/clip.mp4");
  EXPECT_EQ(JoinPath("", "clip.mp4"), "clip.mp4");
  EXPECT_EQ(JoinPath("/out", "/abs/clip.mp4"), "/abs/clip.mp4");
  EXPECT_EQ(JoinPath("rel", "clip.mp4"), "rel/clip.mp4");
  EXPECT_EQ(JoinPath("/", "clip.mp4"), "/clip.mp4");
}

TEST(VideoFilters, LetterboxCropAndScale) {
  QString size = "320x240";
  EXPECT_EQ(BuildVideoFilters(1920, 1080, 0, 0, 0, 0, "320x240", size),
            "pad=1920:1440:0:180:black,scale=320:240");
  EXPECT_TRUE(size.isEmpty());
  size = "640x360";
  EXPECT_EQ(BuildVideoFilters(640, 480, 0, 0, 0, 0, "640x360", size),
            "pad=853:480:106:0:black,scale=640:360");
  // Same aspect: no pad. No frame size: no scale.
  size.clear();
  EXPECT_EQ(BuildVideoFilters(640, 480, 0, 0, 0, 0, "320x240", size), "");
  // Crop first; the letterbox works on the cropped size.
  size.clear();
  EXPECT_EQ(BuildVideoFilters(640, 480, 10, 0, 0, 0, "", size), "crop=630:480:10:0");
  size.clear();
  EXPECT_EQ(BuildVideoFilters(640, 480, 10, 0, 0, 0, "640x480", size),
            "crop=630:480:10:0,pad=640:480:5:0:black");
  // Rounding halves to even: 250 / (2/1) = 125 exactly, 251 / 2 = 125.5 -> 126,
  // 253 / 2 = 126.5 -> 126.
  size.clear();
  EXPECT_EQ(BuildVideoFilters(251, 100, 0, 0, 0, 0, "2x1", size), "pad=251:126:0:13:black");
  size.clear();
  EXPECT_EQ(BuildVideoFilters(253, 100, 0, 0, 0, 0, "2x1", size), "pad=253:126:0:13:black");
  // Unknown source size or a crop that leaves nothing: only the scale.
  size = "320x240";
  EXPECT_EQ(BuildVideoFilters(-1, -1, 0, 0, 0, 0, "640x360", size), "scale=320:240");
  size.clear();
  EXPECT_EQ(BuildVideoFilters(640, 480, 400, 0, 300, 0, "640x360", size), "");
  // DVD items get no crop or pad.
  size = "320x240";
  EXPECT_EQ(BuildVideoFilters(1920, 1080, 10, 0, 0, 0, "320x240", size, false), "scale=320:240");
}

TEST_F(OptionAssemblyTest, ProfileValuesAndEncoderMapping) {
  UseProfile(0);
  const int row = AddOpen(vmtest::ClipMp4());
  const TInputOptions in = FAsm->GetInputOptions(row);
  EXPECT_EQ(in.FileName, vmtest::ClipMp4());
  EXPECT_EQ(in.ExtOptions, "");

  TOutputOptions o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.VideoCodec, "libx264");
  EXPECT_EQ(o.VideoPreset, "libx264-default");
  EXPECT_EQ(o.AudioCodec, "aac"); // no libfaac in FFmpeg 5.1
  EXPECT_EQ(AACEncoderChoice(), "aac");
  EXPECT_EQ(o.ExtOptions, "astrict=experimental\r\n");
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_EQ(o.VideoBitrate, 400000);
  EXPECT_EQ(o.AudioBitrate, 96000);
  EXPECT_EQ(o.FrameRate, "25");
  EXPECT_EQ(o.FrameSize, "");
  EXPECT_EQ(o.FrameAspectRatio, "");
  EXPECT_EQ(o.VideoFilters, "scale=320:240"); // same aspect as the source
  EXPECT_EQ(o.AudioVolume, 256);
  EXPECT_FALSE(o.DisableAudio);
  EXPECT_TRUE(o.DisableSubtitle);
  EXPECT_EQ(o.Info.TimeStamp, 0);
  EXPECT_EQ(o.TargetType, ttIgnore);
  EXPECT_EQ(o.FileExt, ".mp4");

  // DivX with AAC: both strictness lines, DIVX tag, mono, default bit rate.
  UseProfile(5);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.VideoCodec, "mpeg4");
  EXPECT_EQ(o.VideoTag, "DIVX");
  EXPECT_EQ(o.ExtOptions, "astrict=experimental\r\nvstrict=unofficial\r\n");
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_EQ(o.VideoBitrate, 200000);
  EXPECT_EQ(o.FileExt, ".avi");

  // A profile without video reads no video from the input.
  UseProfile(6);
  EXPECT_EQ(FAsm->GetInputOptions(row).ExtOptions, "vn=1");

  // "LastTpl" outside the library falls back to profile 0.
  UseProfile(42);
  EXPECT_EQ(FAsm->CurrentTplIndex(), 0);
  UseProfile(-1);
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileExt, ".mp4");
}

TEST_F(OptionAssemblyTest, ContainerRules) {
  const int row = AddOpen(vmtest::ClipMp4());
  UseProfile(1); // ".DVD" in upper case
  TOutputOptions o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.TargetType, ttDVD);
  EXPECT_EQ(o.NormDefault, ntPAL);
  EXPECT_EQ(o.FileExt, "_dvd_auto.mpg");
  EXPECT_EQ(o.AudioCodec, "ac3");
  EXPECT_EQ(Q(o.FileName), JoinPath(FAsm->FDestPath, "clip_dvd_auto.mpg"));

  UseProfile(3);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.AudioSampleRate, 22050);
  EXPECT_EQ(o.AudioCodec, "libmp3lame");
  UseProfile(7);
  EXPECT_EQ(FAsm->GetOutputOptions(row).AudioSampleRate, 44100);

  UseProfile(2);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.VideoCodec, "mpeg4");
  EXPECT_EQ(o.AudioCodec, "aac");
  EXPECT_EQ(o.FileExt, "_ipod.mp4");
  EXPECT_EQ(o.VideoFilters, "scale=320:240");
}

TEST_F(OptionAssemblyTest, LetterboxAndCropOnRealSources) {
  UseProfile(0);
  const int big = AddOpen(Clip1080());
  EXPECT_EQ(FAsm->GetOutputOptions(big).VideoFilters, "pad=1920:1440:0:180:black,scale=320:240");

  UseProfile(4);
  const int small = AddOpen(Clip640());
  EXPECT_EQ(FAsm->GetOutputOptions(small).VideoFilters, "pad=853:480:106:0:black,scale=640:360");
  FList.SetValue("CropLeft", "10", small);
  const QString filters = Q(FAsm->GetOutputOptions(small).VideoFilters);
  EXPECT_EQ(filters.section(',', 0, 0), "crop=630:480:10:0");
}

TEST_F(OptionAssemblyTest, TrimAndVolume) {
  UseProfile(0);
  const int row = AddOpen(vmtest::ClipMp4());
  TOutputOptions o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.TimeStart, 0);
  EXPECT_GT(o.TimeLength, 1900000); // the source duration
  EXPECT_LT(o.TimeLength, 2200000);

  FList.SetValue("StartPts", "500000", row);
  FList.SetValue("EndPts", "1500000", row);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.TimeStart, 500000);
  EXPECT_EQ(o.TimeLength, 1000000);
  // A start beyond the source is dropped.
  FList.SetValue("StartPts", "5000000", row);
  FList.SetValue("EndPts", "65000000", row);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.TimeStart, 0);
  EXPECT_EQ(o.TimeLength, 60000000);

  FList.SetValue("Sound", "50", row);
  EXPECT_EQ(FAsm->GetOutputOptions(row).AudioVolume, 128);
  FList.SetValue("Sound", "abc", row);
  EXPECT_EQ(FAsm->GetOutputOptions(row).AudioVolume, 256);
  FList.SetValue("Sound", "0", row);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.AudioVolume, 0);
  EXPECT_TRUE(o.DisableAudio);
  FList.SetValue("Sound", "", row);
  o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(o.AudioVolume, -1);
  EXPECT_FALSE(o.DisableAudio);
}

TEST_F(OptionAssemblyTest, DVDItems) {
  UseProfile(2);
  const int row = AddDVD("2", "120000000");
  FList.SetValue("StartPts", "5000000", row);
  FList.SetValue("EndPts", "65000000", row);
  FList.SetValue("CropLeft", "10", row); // ignored for DVD titles
  TOutputOptions o = FAsm->GetOutputOptions(row);
  EXPECT_EQ(Q(o.FileName), JoinPath(FAsm->FDestPath, "Title[2]_[DVDRip]_ipod.mp4"));
  EXPECT_EQ(FList.GetValue("OutputFileName", row), Q(o.FileName));
  EXPECT_EQ(o.TimeStart, 5000000);
  EXPECT_EQ(o.TimeLength, 60000000);
  EXPECT_EQ(o.VideoFilters, "scale=320:240");

  // A title of unknown duration without a trim range gets no limit.
  const int unknown = AddDVD("3", "0");
  o = FAsm->GetOutputOptions(unknown);
  EXPECT_EQ(o.TimeStart, 0);
  EXPECT_EQ(o.TimeLength, FFNoTime);
}

TEST_F(OptionAssemblyTest, OutputNamesNeverReplaceWithoutYes) {
  UseProfile(0);
  vmtest::TempDir src;
  const std::string clip = src.File("clip.mp4");
  std::filesystem::copy_file(vmtest::ClipMp4(), clip);
  const int row = AddOpen(clip);

  // Free name: taken as it is, no question.
  int asked = 0;
  bool answer = false;
  QString askedName;
  FAsm->OnOverwriteQuestion = [&](const QString &name) {
    ++asked;
    askedName = name;
    return answer;
  };
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileName, Out("clip.mp4"));
  EXPECT_EQ(asked, 0);

  // Existing file and existing _(1): No gives _(2).
  FAsm->ClearReservedNames();
  ASSERT_TRUE(vmtest::WriteFile(Out("clip.mp4"), "old"));
  ASSERT_TRUE(vmtest::WriteFile(Out("clip_(1).mp4"), "old"));
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileName, Out("clip_(2).mp4"));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(askedName, "clip.mp4");
  EXPECT_EQ(FList.GetValue("OutputFileName", row), Q(Out("clip_(2).mp4")));

  // Yes keeps the name.
  FAsm->ClearReservedNames();
  answer = true;
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileName, Out("clip.mp4"));

  // Within one batch a name is never handed out twice: clip.mp4 and clip.avi
  // into an empty folder.
  vmtest::TempDir fresh;
  FAsm->FDestPath = Q(fresh.Path().string());
  FAsm->ClearReservedNames();
  asked = 0;
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileName, fresh.File("clip.mp4"));
  const int second = AddOpen(vmtest::ClipAvi());
  EXPECT_EQ(FAsm->GetOutputOptions(second).FileName, fresh.File("clip_(1).mp4"));
  EXPECT_EQ(asked, 0);
  FAsm->FDestPath = Q(FOut.Path().string());

  // Without a question handler an existing file is never replaced.
  FAsm->OnOverwriteQuestion = nullptr;
  FAsm->ClearReservedNames();
  FDecoder.LoadFile(clip);
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileName, Out("clip_(2).mp4"));

  // The source itself is never offered for replacing, even with Yes.
  answer = true;
  asked = 0;
  FAsm->OnOverwriteQuestion = [&](const QString &) {
    ++asked;
    return true;
  };
  FAsm->FDestPath = Q(src.Path().string());
  FAsm->ClearReservedNames();
  EXPECT_EQ(FAsm->GetOutputOptions(row).FileName, src.File("clip_(1).mp4"));
  EXPECT_EQ(asked, 0);
}
