#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vmtest {

std::string BinDir() { return VM_BIN_DIR; }
std::string SourceDir() { return VM_SOURCE_DIR; }

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  for (;;) {
    auto name = "vmtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
                std::to_string(rd() % 100000);
    FPath = fs::temp_directory_path() / name;
    std::error_code ec;
    if (fs::create_directory(FPath, ec))
      break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(FPath, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(FPath, ec);
}

std::string TempDir::File(const std::string &name) const { return (FPath / name).string(); }

std::string ShellQuote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

CommandResult RunCommand(const std::string &command, bool mergeStderr) {
  CommandResult result;
  std::string cmd = mergeStderr ? "(" + command + ") 2>&1" : command;
  FILE *pipe = popen(cmd.c_str(), "r");
  if (!pipe)
    return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.Output.append(buffer, n);
  int status = pclose(pipe);
  result.ExitCode = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string MakeClip(const std::string &name, const std::string &ffmpegArgs) {
  fs::path dir = VM_TEST_MEDIA_DIR;
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::path target = dir / name;
  if (fs::exists(target) && fs::file_size(target, ec) > 0)
    return target.string();
  fs::path temp = dir / (".tmp-" + std::to_string(getpid()) + "-" + name);
  std::string cmd = "ffmpeg -y -nostdin -hide_banner -loglevel error " + ffmpegArgs + " " +
                    ShellQuote(temp.string());
  CommandResult r = RunCommand(cmd, true);
  if (r.ExitCode != 0) {
    fs::remove(temp, ec);
    ADD_FAILURE() << "ffmpeg could not make " << name << ": " << r.Output;
    return "";
  }
  fs::rename(temp, target, ec);
  if (ec) {
    ADD_FAILURE() << "cannot rename " << temp << ": " << ec.message();
    return "";
  }
  return target.string();
}

static const char *kTestVideo = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 ";
static const char *kTestAudio = "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 ";

std::string ClipMp4() {
  return MakeClip("clip.mp4", std::string(kTestVideo) + kTestAudio +
                                  "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p "
                                  "-c:a aac -ac 2 -b:a 96k -shortest");
}

std::string ClipAvi() {
  return MakeClip("clip.avi", std::string(kTestVideo) +
                                  "-f lavfi -i sine=frequency=660:sample_rate=22050:duration=2 "
                                  "-c:v mpeg4 -q:v 5 -c:a libmp3lame -ac 1 -shortest");
}

std::string ClipWebm() {
  return MakeClip("clip.webm", "-f lavfi -i testsrc2=size=320x240:rate=30:duration=2 " +
                                   std::string(kTestAudio) +
                                   "-c:v libvpx -deadline realtime -b:v 300k -c:a libvorbis "
                                   "-ac 2 -shortest");
}

std::string ClipMpeg() {
  return MakeClip("clip.mpg", "-f lavfi -i testsrc2=size=176x144:rate=25:duration=2 " +
                                  std::string(kTestAudio) +
                                  "-c:v mpeg2video -q:v 4 -c:a mp2 -ar 44100 -shortest -f mpeg");
}

std::string ClipVideoOnly() {
  return MakeClip("video-only.mkv", std::string(kTestVideo) +
                                        "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p");
}

std::string ClipAudioOnly() {
  return MakeClip("audio-only.wav",
                  "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 2");
}

std::string ClipStill() {
  return MakeClip("still.png", "-f lavfi -i testsrc2=size=320x240:rate=1 -frames:v 1");
}

std::map<std::string, std::string> Probe(const std::string &file, const std::string &entries,
                                         const std::string &streamSelector) {
  std::string cmd = "ffprobe -v error -of default=noprint_wrappers=1 -show_entries " +
                    ShellQuote(entries) + " ";
  if (!streamSelector.empty())
    cmd += "-select_streams " + ShellQuote(streamSelector) + " ";
  cmd += ShellQuote(file);
  CommandResult r = RunCommand(cmd);
  std::map<std::string, std::string> values;
  std::istringstream in(r.Output);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos)
      continue;
    auto key = line.substr(0, eq);
    if (key.rfind("TAG:", 0) == 0)
      key = key.substr(4);
    values.emplace(key, line.substr(eq + 1));
  }
  return values;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string &path, const std::string &content) {
  std::error_code ec;
  fs::path p(path);
  if (p.has_parent_path())
    fs::create_directories(p.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out)
    return false;
  out << content;
  return bool(out);
}

} // namespace vmtest
