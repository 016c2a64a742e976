// TFFDecoder timings on a 30 s 1280x720 H.264 clip with a key frame every
// 250 pictures (the worst case for seeking: up to 249 pictures to decode
// after the key frame). The argument of each benchmark is the decoder's
// ThreadCount (0 = one per core, 1 = single-threaded).

#include "engine/FFLoad.h"
#include "media/FFDecode.h"
#include "support/TestMedia.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

const std::string &BenchClip() {
  static const std::string clip = vmtest::MakeClip(
      "bench-720p-gop250.mp4",
      "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=30 -c:v libx264 -preset veryfast "
      "-g 250 -keyint_min 250 -sc_threshold 0 -pix_fmt yuv420p");
  return clip;
}

constexpr int64_t kClipLength = 30000000; // microseconds

bool Prepare(TFFDecoder &ADec, benchmark::State &AState) {
  if (!FFLoader().Load(DecoderLibraries)) {
    AState.SkipWithError(FFLoader().LastErrMsg().c_str());
    return false;
  }
  ADec.SetThreadCount(static_cast<int>(AState.range(0)));
  if (BenchClip().empty() || !ADec.LoadFile(BenchClip()) || !ADec.Decode()) {
    AState.SkipWithError(("cannot open the clip: " + ADec.LastErrMsg()).c_str());
    return false;
  }
  return true;
}

// Seek to t (on or before) and decode up to the first picture at or after t.
bool SeekDecode(TFFDecoder &ADec, int64_t ATarget) {
  return ADec.Seek(ATarget, {sfBackward}) && ADec.DecodeToTime(ATarget);
}

// The same with a plain Decode loop (every picture goes through the codec).
bool SeekDecodeLoop(TFFDecoder &ADec, int64_t ATarget) {
  if (!ADec.Seek(ATarget, {sfBackward}) || !ADec.Decode())
    return false;
  while (ADec.FrameInfo().PTS < ATarget)
    if (!ADec.Decode())
      return false;
  return true;
}

void BM_OpenAndFirstFrame(benchmark::State &AState) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  for (auto _ : AState) {
    if (!dec.LoadFile(BenchClip()) || !dec.Decode()) {
      AState.SkipWithError(dec.LastErrMsg().c_str());
      break;
    }
    benchmark::DoNotOptimize(dec.FrameInfo().Picture.data[0]);
  }
}

void BM_SeekAndDecodeToRandomTime(benchmark::State &AState) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<int64_t> when(0, kClipLength - 1000000);
  for (auto _ : AState) {
    const int64_t target = when(rng);
    if (!SeekDecode(dec, target)) {
      AState.SkipWithError(dec.LastErrMsg().c_str());
      break;
    }
  }
}

void BM_SeekAndDecodeLoopToRandomTime(benchmark::State &AState) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<int64_t> when(0, kClipLength - 1000000);
  for (auto _ : AState) {
    const int64_t target = when(rng);
    if (!SeekDecodeLoop(dec, target)) {
      AState.SkipWithError(dec.LastErrMsg().c_str());
      break;
    }
  }
}

// The preview editor's jump: a seek without flags lands on the next key frame.
void BM_SeekNoFlagsAndDecode(benchmark::State &AState) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> when(0, 19000000); // a key frame follows
  for (auto _ : AState) {
    if (!dec.Seek(when(rng)) || !dec.Decode()) {
      AState.SkipWithError(dec.LastErrMsg().c_str());
      break;
    }
  }
}

void BM_StepForward(benchmark::State &AState) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  for (auto _ : AState) {
    if (!dec.Decode()) {
      AState.PauseTiming();
      const bool ok = dec.Seek(0) && dec.Decode();
      AState.ResumeTiming();
      if (!ok) {
        AState.SkipWithError(dec.LastErrMsg().c_str());
        break;
      }
    }
  }
}

// One step back from a random picture (the position is set up untimed).
void BM_StepBack(benchmark::State &AState) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  std::mt19937_64 rng(1);
  std::uniform_int_distribution<int64_t> when(1000000, kClipLength - 1000000);
  for (auto _ : AState) {
    AState.PauseTiming();
    const bool placed = SeekDecode(dec, when(rng));
    AState.ResumeTiming();
    if (!placed || !dec.DecodePreviousFrame()) {
      AState.SkipWithError(dec.LastErrMsg().c_str());
      break;
    }
  }
}

void BM_Bitmap(benchmark::State &AState, int ABits) {
  TFFDecoder dec;
  if (!Prepare(dec, AState))
    return;
  dec.SetBitmapBitsPixel(ABits);
  TFFBitmap bmp;
  for (auto _ : AState) {
    if (!dec.CopyToBitmap(bmp)) {
      AState.SkipWithError(dec.LastErrMsg().c_str());
      break;
    }
    benchmark::DoNotOptimize(bmp.Bits());
  }
}

void BM_Bitmap24(benchmark::State &AState) {
  BM_Bitmap(AState, 24);
}
void BM_Bitmap32(benchmark::State &AState) {
  BM_Bitmap(AState, 32);
}

} // namespace

// Time: wall clock; CPU: every thread of the process (decoder threads too).
#define VM_BENCH(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
VM_BENCH(BM_OpenAndFirstFrame)->Arg(0)->Arg(1);
VM_BENCH(BM_SeekAndDecodeToRandomTime)->Arg(0)->Arg(1);
VM_BENCH(BM_SeekAndDecodeLoopToRandomTime)->Arg(0)->Arg(1);
VM_BENCH(BM_SeekNoFlagsAndDecode)->Arg(0)->Arg(1);
VM_BENCH(BM_StepForward)->Arg(0)->Arg(1);
VM_BENCH(BM_StepBack)->Arg(0)->Arg(1);
VM_BENCH(BM_Bitmap24)->Arg(0);
VM_BENCH(BM_Bitmap32)->Arg(0);

BENCHMARK_MAIN();
