// Converts one file through the encoder component the way the application
// does (AddTask + SetOutputFile with option records, Start(1) on a worker
// thread, events drained on the main thread) and prints the wall time.
// Used by encoder_vs_ffmpeg.sh; the settings mirror its ffmpeg command line.
//
//   bench_encode_once <input> <output> <threads>

#include "engine/FFEncode.h"
#include "engine/FFLoad.h"
#include "engine/FFSync.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <input> <output> <threads>\n", argv[0]);
    return 2;
  }
  TFFEncoder enc;
  if (!enc.LoadAVLib("")) {
    std::fprintf(stderr, "%s\n", enc.LastErrMsg().c_str());
    return 1;
  }
  FFLogger().SetLogLevel(llError);
  enc.ThreadCount = std::atoi(argv[3]);
  bool done = false, ok = true;
  std::string error;
  enc.OnTerminate = [&](TCustomEncoder *, const TTerminateInfo &AInfo) {
    if (AInfo.TaskIndex == -1)
      done = true;
    else if (!AInfo.Finished) {
      ok = false;
      error = AInfo.ExceptionMsg;
    }
  };
  enc.OnProgress = [](TCustomEncoder *, TProgressInfo *) {};

  const auto t0 = std::chrono::steady_clock::now();
  TInputOptions in;
  if (enc.AddTask(argv[1], &in) != 0) {
    std::fprintf(stderr, "AddTask: %s\n", enc.LastErrMsg().c_str());
    return 1;
  }
  TOutputOptions out;
  out.VideoCodec = "libx264";
  out.FrameSize = "640x360";
  out.VideoBitrate = 800000;
  out.AudioCodec = "aac";
  out.AudioBitrate = 128000;
  out.AudioSampleRate = 44100;
  out.AudioChannels = 2;
  if (!enc.SetOutputFile(0, argv[2], &out)) {
    std::fprintf(stderr, "SetOutputFile: %s\n", enc.LastErrMsg().c_str());
    return 1;
  }
  const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  enc.Start(1);
  while (!done)
    CheckSynchronize(50);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!ok) {
    std::fprintf(stderr, "conversion failed: %s\n", error.c_str());
    return 1;
  }
  // stdout: the whole conversion; stderr: the part spent adding the files
  // (opening the input, re-opening it with the output's settings, creating
  // the output).
  std::printf("%.3f\n", seconds);
  std::fprintf(stderr, "engine setup %.3fs\n", setup);
  return 0;
}
