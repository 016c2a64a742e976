#pragma once
// Helpers for the conversion pipeline tests (header only): loading the media
// libraries once, building jobs, and facts about outputs from the ffmpeg and
// ffprobe tools.

#include "engine/FFLoad.h"
#include "engine/FFTranscode.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace vmpipe {

class PipelineTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    FFLoader().SetLibraryPath("");
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
  }
  vmtest::TempDir Dir;
};

// A job converting one input to one output with fast settings.
inline TTranscodeJob MakeJob(const std::string &AInput, const std::string &AOutput) {
  TTranscodeJob job;
  job.Settings.ThreadCount = 1;
  job.Settings.Verbose = 0;
  TTranscodeInput in;
  in.FileName = AInput;
  job.Inputs.push_back(in);
  TTranscodeOutput out;
  out.FileName = AOutput;
  job.Outputs.push_back(out);
  return job;
}

inline double ToDouble(const std::string &AText) {
  return AText.empty() ? -1.0 : std::atof(AText.c_str());
}

// Container duration in seconds (-1 when unknown).
inline double Duration(const std::string &AFile) {
  return ToDouble(vmtest::Probe(AFile, "format=duration")["duration"]);
}

inline std::string Field(const std::string &AFile, const std::string &AField,
                         const std::string &ASelector) {
  return vmtest::Probe(AFile, "stream=" + AField, ASelector)[AField];
}

// Decodes a whole file with ffmpeg; true when it decodes without errors.
inline bool DecodesCleanly(const std::string &AFile) {
  vmtest::CommandResult r = vmtest::RunCommand(
      "ffmpeg -nostdin -v error -i " + vmtest::ShellQuote(AFile) + " -f null - 2>&1", true);
  return r.ExitCode == 0 && r.Output.empty();
}

// Number of decoded video frames (ffprobe -count_frames).
inline int CountFrames(const std::string &AFile) {
  vmtest::CommandResult r = vmtest::RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
      "-of default=nw=1:nk=1 " +
      vmtest::ShellQuote(AFile));
  return r.ExitCode == 0 ? std::atoi(r.Output.c_str()) : -1;
}

// mean_volume / max_volume in dB of a span of the first audio stream.
struct TVolume {
  double Mean = 0, Max = 0;
};
inline TVolume Volume(const std::string &AFile, const std::string &AExtra = "") {
  vmtest::CommandResult r = vmtest::RunCommand("ffmpeg -nostdin -hide_banner " + AExtra + " -i " +
                                                   vmtest::ShellQuote(AFile) +
                                                   " -map 0:a:0 -af volumedetect -f null - 2>&1",
                                               true);
  TVolume v;
  auto get = [&](const std::string &AKey) {
    size_t p = r.Output.find(AKey);
    return p == std::string::npos ? 1.0 : std::atof(r.Output.c_str() + p + AKey.size());
  };
  v.Mean = get("mean_volume: ");
  v.Max = get("max_volume: ");
  return v;
}

} // namespace vmpipe
