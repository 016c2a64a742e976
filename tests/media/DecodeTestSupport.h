#pragma once
// Helpers for the decoder tests: loading the decoder's libraries once,
// ffprobe's view of streams and frames, and extra clips.

#include "engine/FFLoad.h"
#include "media/FFDecode.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace dectest {

// Loads the decoder's library set once per test program (system libraries).
inline void RequireLibraries() {
  static const bool loaded = FFLoader().Load(DecoderLibraries);
  ASSERT_TRUE(loaded) << FFLoader().LastErrMsg();
}

// One "key=value|key=value" record per stream / frame from ffprobe.
using TRecord = std::map<std::string, std::string>;

inline std::vector<TRecord> ProbeRecords(const std::string &AFile, const std::string &AEntries,
                                         const std::string &ASelect = "") {
  std::string cmd =
      "ffprobe -v error -of compact=p=0 -show_entries " + vmtest::ShellQuote(AEntries) + " ";
  if (!ASelect.empty())
    cmd += "-select_streams " + ASelect + " ";
  cmd += vmtest::ShellQuote(AFile);
  const vmtest::CommandResult r = vmtest::RunCommand(cmd);
  std::vector<TRecord> out;
  std::istringstream lines(r.Output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty())
      continue;
    TRecord rec;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      const size_t eq = field.find('=');
      if (eq != std::string::npos)
        rec[field.substr(0, eq)] = field.substr(eq + 1);
    }
    out.push_back(rec);
  }
  return out;
}

inline AVRational ParseRational(const std::string &AText) {
  AVRational r{0, 1};
  const size_t slash = AText.find('/');
  if (slash == std::string::npos)
    return r;
  r.num = std::atoi(AText.c_str());
  r.den = std::atoi(AText.c_str() + slash + 1);
  return r;
}

// ffprobe's seconds text ("2.000000") -> microseconds; -1 for "N/A".
inline int64_t SecondsToUs(const std::string &AText) {
  if (AText.empty() || AText == "N/A")
    return -1;
  return std::llround(std::strtod(AText.c_str(), nullptr) * 1e6);
}

// Raw stamp -> microseconds from the stream start, rounded like av_rescale_q.
inline int64_t RawToUs(int64_t ARaw, int64_t AStart, AVRational ATb) {
  const long double v = static_cast<long double>(ARaw - AStart) * ATb.num * 1000000.0L / ATb.den;
  return std::llround(static_cast<double>(v));
}

struct TProbeFrame {
  int64_t PTS; // microseconds from the stream start
  bool Key;
};

// The presentation times of every picture of the first video stream, in
// output order, as ffprobe decodes them.
inline std::vector<TProbeFrame> ProbeVideoFramesUncached(const std::string &AFile) {
  const auto streams = ProbeRecords(AFile, "stream=time_base,start_pts", "v:0");
  if (streams.empty())
    return {};
  const AVRational tb = ParseRational(streams[0].at("time_base"));
  const std::string startText = streams[0].count("start_pts") ? streams[0].at("start_pts") : "N/A";
  const int64_t start = startText == "N/A" ? 0 : std::atoll(startText.c_str());
  std::vector<TProbeFrame> frames;
  for (const TRecord &f : ProbeRecords(AFile, "frame=best_effort_timestamp,key_frame", "v:0")) {
    const auto it = f.find("best_effort_timestamp");
    if (it == f.end() || it->second == "N/A")
      continue;
    frames.push_back({RawToUs(std::atoll(it->second.c_str()), start, tb),
                      f.count("key_frame") && f.at("key_frame") == "1"});
  }
  return frames;
}

// The same, asked of ffprobe once per file and test program.
inline const std::vector<TProbeFrame> &ProbeVideoFrames(const std::string &AFile) {
  static std::map<std::string, std::vector<TProbeFrame>> cache;
  auto it = cache.find(AFile);
  if (it == cache.end())
    it = cache.emplace(AFile, ProbeVideoFramesUncached(AFile)).first;
  return it->second;
}

// Clips of the decoder tests (cached like the shared ones).
// H.264 with B-frames and a key frame every 12 pictures, AAC, in mp4.
inline std::string ClipBFrames() {
  return vmtest::MakeClip(
      "dec-bframes.mp4",
      "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
      "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
      "-c:v libx264 -preset veryfast -bf 2 -g 12 -keyint_min 12 -sc_threshold 0 -pix_fmt yuv420p "
      "-c:a aac -ac 2 -shortest -movflags +faststart");
}

// Variable frame rate: pictures 1, 1 and 1.5 frame periods apart.
inline std::string ClipVfr() {
  return vmtest::MakeClip("dec-vfr.mkv",
                          "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
                          "-vf \"setpts=(N+floor(N/3)*0.5)/25/TB\" -fps_mode vfr "
                          "-c:v libx264 -preset veryfast -bf 0 -g 10 -pix_fmt yuv420p");
}

// Solid colours: left half red, right half blue (64x48).
inline std::string ClipPattern() {
  return vmtest::MakeClip("dec-pattern.mkv",
                          "-f lavfi -i color=c=red:size=32x48:rate=25:duration=0.2 "
                          "-f lavfi -i color=c=blue:size=32x48:rate=25:duration=0.2 "
                          "-filter_complex hstack -c:v ffv1 -pix_fmt yuv444p");
}

} // namespace dectest
