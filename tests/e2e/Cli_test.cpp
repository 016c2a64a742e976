// videomill-cli end to end: every shipped profile converts a tiny clip (ffprobe
// checks container, codecs and frame size), the query commands, the options,
// Ctrl+C, and the failures with their messages and exit statuses.
//
// Each run gets its own settings folders through the VIDEOMILL_* variables;
// the application folder is the build's bin/ with the shipped data.

#include "profiles/uFormatTemplate.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QString>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using vmtest::CommandResult;
using vmtest::ShellQuote;

namespace {

std::string Cli() {
  return vmtest::BinDir() + "videomill-cli";
}

// The shipped profile count, read straight from format.ini (needed before any
// test runs, to instantiate one test per profile).
int ShippedProfileCount() {
  std::ifstream in(vmtest::BinDir() + "format.ini");
  std::string line;
  bool global = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty() && line[0] == '[')
      global = line == "[global]";
    else if (global && line.rfind("count=", 0) == 0)
      return std::atoi(line.c_str() + 6);
  }
  return 0;
}

// A 3 s 320x240 clip with sound.
std::string TinyClip() {
  return vmtest::MakeClip("cli_tiny3s.mp4",
                          "-f lavfi -i testsrc2=size=320x240:rate=25:duration=3 "
                          "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
                          "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest");
}

class CliTest : public ::testing::Test {
protected:
  // Runs videomill-cli with isolated settings folders; stderr merged.
  CommandResult Run(const std::string &args) {
    const std::string env = "VIDEOMILL_APPDATA=" + ShellQuote(FHome.File("appdata")) +
                            " VIDEOMILL_COMMON_APPDATA=" + ShellQuote(FHome.File("common")) +
                            " VIDEOMILL_DOCUMENTS=" + ShellQuote(FHome.File("docs")) +
                            " VIDEOMILL_DESKTOP=" + ShellQuote(FHome.File("desktop")) + " ";
    return vmtest::RunCommand("cd " + ShellQuote(FWork.Path().string()) + " && " + env +
                                  ShellQuote(Cli()) + " " + args + " </dev/null",
                              true);
  }
  std::string Out(const std::string &name) const { return FWork.File("out/" + name); }

  vmtest::TempDir FHome, FWork;
};

// ---------------------------------------------------------------------------
// Every shipped profile

struct TExpect {
  std::string Container; // ffprobe format_name
  std::string Video;     // codec_name, "" = no video stream
  std::string Audio;     // codec_name
  int Width = 0, Height = 0;
  std::string Suffix; // output file ending
};

std::string DefaultOf(const QString &aName, const QString &aDictionary) {
  return TFormatDictionary(aName + "=" + aDictionary)
      .GetItemValueByCaption(aName, "default")
      .toStdString();
}

// What the option assembly and the engine make of a profile.
TExpect ExpectFor(const tagTplItem &src) {
  static const std::map<std::string, std::string> kVideo = {
      {"x264", "h264"},        {"libx264", "h264"}, {"xvid", "mpeg4"},
      {"libxvid", "mpeg4"},    {"divx", "mpeg4"},   {"flv", "flv1"},
      {"libtheora", "theora"}, {"libvpx", "vp8"},   {"libvpx-vp9", "vp9"}};
  static const std::map<std::string, std::string> kAudio = {
      {"mp3", "mp3"}, {"libmp3lame", "mp3"}, {"libvorbis", "vorbis"}, {"libopus", "opus"}};
  static const std::map<std::string, std::string> kContainer = {
      {".mp4", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".m4v", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".m4a", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".mov", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".3gp", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".psp", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".ipod", "mov,mp4,m4a,3gp,3g2,mj2"},
      {".avi", "avi"},
      {".flv", "flv"},
      {".swf", "swf"},
      {".mkv", "matroska,webm"},
      {".webm", "matroska,webm"},
      {".ogg", "ogg"},
      {".opus", "ogg"},
      {".wmv", "asf"},
      {".wma", "asf"},
      {".rm10", "rm"},
      {".rm20", "rm"},
      {".vcd", "mpeg"},
      {".svcd", "mpeg"},
      {".dvd", "mpeg"},
      {".mpg", "mpeg"},
      {".ts", "mpegts"},
      {".m2ts", "mpegts"},
      {".mp3", "mp3"},
      {".wav", "wav"},
      {".flac", "flac"},
      {".ac3", "ac3"}};

  TExpect e;
  const std::string ext = src.format.toLower().toStdString();
  auto c = kContainer.find(ext);
  e.Container = c == kContainer.end() ? "?" + ext : c->second;
  const std::string venc = DefaultOf("video_encoder", src.video_encoder);
  const std::string aenc = DefaultOf("audio_encoder", src.audio_encoder);
  e.Video = kVideo.count(venc) ? kVideo.at(venc) : venc;
  e.Audio = kAudio.count(aenc) ? kAudio.at(aenc) : aenc;
  const QSize size = TFormatTpl::GetSizeByString(
      QString::fromStdString(DefaultOf("video_size", src.video_size)), QSize(320, 240));
  e.Width = size.width();
  e.Height = size.height();
  e.Suffix = ext;

  // The container rules of the option assembly.
  if (ext == ".ogg") {
    e.Video = "theora";
    e.Audio = "vorbis";
  } else if (ext == ".psp" || ext == ".ipod") {
    e.Video = "mpeg4";
    e.Audio = "aac";
    e.Suffix = ext == ".psp" ? "_psp.mp4" : "_ipod.mp4";
    if (ext == ".ipod")
      e.Width = 320, e.Height = 240;
  } else if (ext == ".rm10" || ext == ".rm20") {
    e.Video = ext == ".rm10" ? "rv10" : "rv20";
    e.Suffix = ext == ".rm10" ? "_rv10.rm" : "_rv20.rm";
  } else if (ext == ".webm") {
    e.Video = "vp8";
    e.Audio = "vorbis";
  } else if (ext == ".wmv") {
    e.Video = "wmv2";
    e.Audio = "wmav2";
  } else if (ext == ".mkv") {
    e.Video = "h264";
  } else if (ext == ".wma") {
    e.Video.clear();
    e.Audio = "wmav2";
  } else if (ext == ".vcd" || ext == ".svcd" || ext == ".dvd") {
    e.Suffix = "_" + ext.substr(1) + "_auto.mpg";
  }
  if (!src.video_enabled)
    e.Video.clear();
  return e;
}

class CliProfileTest : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(CliProfileTest, ConvertsTinyClip) {
  const int index = GetParam();
  TFormatTpl tpl(QString::fromStdString(vmtest::BinDir() + "format.ini"), QString());
  const tagTplItem src = tpl.GetTplItemSourcebyIndex(index);
  const TExpect e = ExpectFor(src);
  SCOPED_TRACE(src.name.toStdString() + " (" + src.format.toStdString() + ")");

  const std::string clip = TinyClip();
  fs::copy_file(clip, FWork.File("tiny.mp4"));
  // A fifth of a second proves the profile and keeps the 4K profiles quick.
  const CommandResult r = Run("convert tiny.mp4 --dest out --trim 0-0.2 --threads 0 --profile " +
                              std::to_string(index));
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  const std::string out = Out("tiny" + e.Suffix);
  ASSERT_TRUE(fs::exists(out)) << r.Output;

  EXPECT_EQ(vmtest::Probe(out, "format=format_name")["format_name"], e.Container);
  auto audio = vmtest::Probe(out, "stream=codec_name", "a:0");
  EXPECT_EQ(audio["codec_name"], e.Audio);
  auto video = vmtest::Probe(out, "stream=codec_name,width,height", "v:0");
  if (e.Video.empty()) {
    EXPECT_EQ(video["codec_name"], "");
  } else {
    EXPECT_EQ(video["codec_name"], e.Video);
    EXPECT_EQ(video["width"], std::to_string(e.Width));
    EXPECT_EQ(video["height"], std::to_string(e.Height));
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, CliProfileTest, ::testing::Range(0, ShippedProfileCount()));

// ---------------------------------------------------------------------------
// Queries

TEST_F(CliTest, ProfilesAndInfo) {
  CommandResult r = Run("profiles");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  std::istringstream lines(r.Output);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "INDEX\tCAPTION\tDEVICE\tBRAND\tMODEL\tSTYLE");
  int rows = 0;
  while (std::getline(lines, line))
    ++rows;
  EXPECT_EQ(rows, ShippedProfileCount());
  EXPECT_NE(r.Output.find("\n0\t"), std::string::npos);

  TFormatTpl tpl(QString::fromStdString(vmtest::BinDir() + "format.ini"), QString());
  const std::string device = tpl.GetTplItemSourcebyIndex(0).device.toStdString();
  r = Run("profiles --device " + ShellQuote(device));
  ASSERT_EQ(r.ExitCode, 0);
  std::istringstream filtered(r.Output);
  std::getline(filtered, line);
  while (std::getline(filtered, line))
    EXPECT_NE(line.find("\t" + device + "\t"), std::string::npos) << line;
  EXPECT_EQ(Run("profiles --device NoSuchDevice").ExitCode, 1);
  EXPECT_EQ(Run("profiles --bogus").ExitCode, 2);

  r = Run("info " + ShellQuote(vmtest::ClipMp4()));
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("Format Name: mov,mp4"), std::string::npos) << r.Output;
}

// ---------------------------------------------------------------------------
// Options

TEST_F(CliTest, OptionsReachTheOutputAndSettingsStayUnchanged) {
  fs::copy_file(TinyClip(), FWork.File("a.mp4"));
  // 320x240 profile values, trimmed to one second, cropped, muted.
  CommandResult r = Run("convert a.mp4 --dest out --profile 0 --set video_size=320x240 "
                        "--set video_bitrate=300 --trim 0.5-1.5 --crop 8,0,8,0 --volume 0");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("1 of 1 converted"), std::string::npos) << r.Output;
  auto v = vmtest::Probe(Out("a.mp4"), "stream=width,height", "v:0");
  EXPECT_EQ(v["width"], "320");
  EXPECT_EQ(v["height"], "240");
  EXPECT_EQ(vmtest::Probe(Out("a.mp4"), "stream=codec_name", "a:0")["codec_name"], "");
  const double duration = std::stod(vmtest::Probe(Out("a.mp4"), "format=duration")["duration"]);
  EXPECT_NEAR(duration, 1.0, 0.25);

  // An existing output is not replaced without --overwrite (also with
  // --no-overwrite): numbered names.
  const auto size = fs::file_size(Out("a.mp4"));
  r = Run("convert a.mp4 --dest out --profile 0 --set video_size=320x240 --trim 0-1");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  r = Run("convert a.mp4 --dest out --profile 0 --set video_size=320x240 --trim 0-1 "
          "--no-overwrite");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_TRUE(fs::exists(Out("a_(1).mp4")));
  EXPECT_TRUE(fs::exists(Out("a_(2).mp4")));
  EXPECT_EQ(fs::file_size(Out("a.mp4")), size);
  r = Run("convert a.mp4 --dest out --profile 0 --set video_size=320x240 --trim 0-1 --overwrite");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_FALSE(fs::exists(Out("a_(3).mp4")));
  EXPECT_NE(fs::file_size(Out("a.mp4")), size);
  EXPECT_NE(vmtest::Probe(Out("a.mp4"), "stream=codec_name", "a:0")["codec_name"], "");

  // Source and destination in one folder: the source is never the output.
  r = Run("convert a.mp4 --dest . --profile 0 --set video_size=320x240 --trim 0-1 --overwrite");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_TRUE(fs::exists(FWork.File("a_(1).mp4")));

  // One-off values never reach the user's settings file.
  for (const auto &entry : fs::recursive_directory_iterator(FHome.Path())) {
    if (!entry.is_regular_file())
      continue;
    const std::string text = vmtest::ReadFile(entry.path().string());
    EXPECT_EQ(text.find("__video"), std::string::npos) << entry.path();
    EXPECT_EQ(text.find("LastTpl"), std::string::npos) << entry.path();
  }
}

TEST_F(CliTest, CtrlCStopsAndLeavesAPlayableFile) {
  fs::copy_file(TinyClip(), FWork.File("b.mp4"));
  // A big output size keeps the encoder busy long enough to be interrupted.
  const std::string env = "VIDEOMILL_APPDATA=" + ShellQuote(FHome.File("appdata")) +
                          " VIDEOMILL_COMMON_APPDATA=" + ShellQuote(FHome.File("common")) + " ";
  const std::string script =
      "cd " + ShellQuote(FWork.Path().string()) + " && (" + env + ShellQuote(Cli()) +
      " convert b.mp4 --dest out --profile 0 --set video_size=1920x1080 --threads 1 "
      "> log.txt 2>&1 & pid=$!; "
      "for i in $(seq 100); do grep -q '%' log.txt 2>/dev/null && break; sleep 0.1; done; "
      "kill -INT $pid; wait $pid; echo rc=$?)";
  const CommandResult r = vmtest::RunCommand(script, true);
  const std::string log = vmtest::ReadFile(FWork.File("log.txt"));
  EXPECT_NE(r.Output.find("rc=3"), std::string::npos) << r.Output << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
  EXPECT_NE(log.find("0 of 1 converted"), std::string::npos) << log;
  // The partial output is closed properly: ffprobe reads its video stream.
  EXPECT_EQ(vmtest::Probe(Out("b.mp4"), "stream=codec_name", "v:0")["codec_name"], "h264");
}

// ---------------------------------------------------------------------------
// Failures: a clear message and a non-zero exit

TEST_F(CliTest, FailuresExplainThemselves) {
  fs::copy_file(TinyClip(), FWork.File("c.mp4"));
  ASSERT_TRUE(vmtest::WriteFile(FWork.File("notes.mp4"), "just text"));
  ASSERT_TRUE(vmtest::WriteFile(FWork.File("blocker"), "x"));

  struct {
    std::string Args;
    int Exit;
    std::string Message;
  } cases[] = {
      {"convert missing.mp4 --dest out", 1, "no such file: missing.mp4"},
      {"convert notes.mp4 --dest out", 1, "not a media file: notes.mp4"},
      {"convert c.mp4 --dest blocker/sub", 1, "blocker/sub"},
      {"convert c.mp4 --dest out --profile 99999", 1, "profile index 99999 is out of range"},
      {"convert c.mp4 --dest out --caption 'No Such(.xyz)'", 1, "no profile with the caption"},
      {"convert c.mp4 --frobnicate", 2, "unknown option \"--frobnicate\""},
      {"convert c.mp4 --profile", 2, "--profile needs a value"},
      {"convert c.mp4 --set colour=red", 2, "--set needs PARAMETER=VALUE"},
      {"convert c.mp4 --trim 5-2", 2, "--trim needs START-END"},
      {"convert c.mp4 --crop 1,2,3", 2, "--crop needs four"},
      {"convert --dest out", 2, "convert needs at least one FILE"},
      {"convert c.mp4 --log chatty", 2, "--log needs"},
      {"transmogrify", 2, "unknown command"},
      {"info missing.mp4", 1, "no such file"},
      {"info notes.mp4", 1, "not a media file"},
  };
  for (const auto &c : cases) {
    const CommandResult r = Run(c.Args);
    EXPECT_EQ(r.ExitCode, c.Exit) << c.Args << "\n" << r.Output;
    EXPECT_NE(r.Output.find(c.Message), std::string::npos) << c.Args << "\n" << r.Output;
  }
  // The destination message comes from the language data.
  const CommandResult r = Run("convert c.mp4 --dest blocker/sub");
  EXPECT_NE(r.Output.find("could not be created"), std::string::npos) << r.Output;
  // A bad input stops the batch before anything is converted.
  EXPECT_EQ(Run("convert c.mp4 missing.mp4 --dest out2").ExitCode, 1);
  EXPECT_FALSE(fs::exists(FWork.File("out2/c.mp4")));
  // A conversion that fails at run time: failure count and exit 1.
  const CommandResult f =
      Run("convert c.mp4 --dest out3 --profile 0 --set video_size=321x241 --trim 0-1");
  EXPECT_EQ(f.ExitCode, 1) << f.Output;
  EXPECT_NE(f.Output.find("0 of 1 converted, 1 failed"), std::string::npos) << f.Output;
  EXPECT_NE(f.Output.find("1 file could not be converted"), std::string::npos) << f.Output;
}

} // namespace
