#pragma once
// Helpers shared by the tests: scratch folders, running commands, and small
// media clips made with the ffmpeg tool and cached in the build tree.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vmtest {

// Folder of the built executables and the copied data/ (ends with '/').
std::string BinDir();
// Root of the source tree (ends with '/').
std::string SourceDir();

// A fresh, empty folder under the system temp folder, removed on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &Path() const { return FPath; }
  // Path() / name as a string.
  std::string File(const std::string &name) const;

private:
  std::filesystem::path FPath;
};

struct CommandResult {
  int ExitCode = -1;  // exit status, or -1 when the command could not run
  std::string Output; // standard output (standard error too when mergeStderr)
};

// Runs a shell command and collects its output.
CommandResult RunCommand(const std::string &command, bool mergeStderr = false);

// Quotes a text for the shell.
std::string ShellQuote(const std::string &text);

// Makes (once) a clip named `name` in the shared test media folder by running
// `ffmpeg -y -hide_banner -loglevel error <ffmpegArgs> <output>`; returns its
// full path. The clip is cached across test runs; generation writes a
// temporary file and renames it, so concurrent tests may ask for the same
// clip. Fails the current test (and returns "") when ffmpeg fails.
std::string MakeClip(const std::string &name, const std::string &ffmpegArgs);

// Ready-made clips used by several tests.
// 2 s 320x240 25 fps H.264 (keyframe every 25 frames) + 44.1 kHz stereo AAC in mp4.
std::string ClipMp4();
// 2 s 320x240 25 fps MPEG-4 part 2 + MP3 mono 22.05 kHz in avi.
std::string ClipAvi();
// 2 s 320x240 30 fps VP8 + Vorbis in webm.
std::string ClipWebm();
// 2 s 176x144 MPEG-2 + MP2 in mpeg program stream.
std::string ClipMpeg();
// 2 s video only (H.264 320x240) in mkv.
std::string ClipVideoOnly();
// 2 s sine tone only (48 kHz stereo) in wav.
std::string ClipAudioOnly();
// One 320x240 PNG picture.
std::string ClipStill();

// ffprobe -show_entries for one file; returns key=value pairs of the
// requested entries, e.g. Probe(f, "stream=codec_name", "v:0").
// Keys are prefixed with nothing; the first occurrence of each key wins.
std::map<std::string, std::string> Probe(const std::string &file,
                                         const std::string &entries,
                                         const std::string &streamSelector = "");

// Reads a whole file; "" when it cannot be read.
std::string ReadFile(const std::string &path);
// Writes a whole file (creating parent folders); false on failure.
bool WriteFile(const std::string &path, const std::string &content);

} // namespace vmtest
