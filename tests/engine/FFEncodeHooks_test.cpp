// Preview pictures, the preview window, video and audio hooks of the encoder
// component.

#include "EncoderHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>

using namespace vmtest;

namespace {

class EncoderHooksTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { TEncoderHarness::LoadLibraries(); }

  // One task: ClipMp4 (2 s 320x240 25 fps + stereo 44.1 kHz) to a small mp4.
  void AddTask(TEncoderHarness &AH, TOutputOptions AOut, const std::string &AInputExt = "") {
    TInputOptions in = InputRecord(AInputExt);
    ASSERT_EQ(AH.Enc.AddTask(ClipMp4(), &in), 0) << AH.Enc.LastErrMsg();
    AOut.ExtOptions = "preset=ultrafast";
    ASSERT_TRUE(AH.Enc.SetOutputFile(0, Out, &AOut)) << AH.Enc.LastErrMsg();
  }

  TempDir Dir;
  std::string Out = Dir.File("hooked.mp4");
};

struct TPreviewCall {
  int64_t AtUs;
  int Width, Height, FrameNumber;
  int64_t PTS;
  std::thread::id Thread;
};

class TFakePreviewer : public TPreviewer {
public:
  std::atomic<int> Shown{0};
  int CloseAfter = 3;

protected:
  void ShowFrame() override {
    if (++Shown >= CloseAfter)
      SetClosed(); // as if the user closed the window
  }
};

} // namespace

TEST_F(EncoderHooksTest, PreviewBitmapArrivesOnTheMainThreadAtMostEvery100ms) {
  TEncoderHarness h;
  h.Enc.SetPreviewBitmap(true);
  std::vector<TPreviewCall> calls;
  h.Enc.OnPreviewBitmap = [&](TCustomEncoder *, const TPreviewInfo &AInfo) {
    calls.push_back({SteadyUs(), AInfo.Bitmap->Width(), AInfo.Bitmap->Height(), AInfo.FrameNumber,
                     AInfo.PTS, std::this_thread::get_id()});
    EXPECT_EQ(AInfo.TaskIndex, 0);
  };
  TOutputOptions out = OutputRecord("libx264", "aac");
  out.FrameSize = "160x120";
  AddTask(h, out, "re");
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished) << h.TermOf(0).ExceptionMsg;
  ASSERT_GE(calls.size(), 8u);
  EXPECT_LE(calls.size(), 22u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].Width, 160);
    EXPECT_EQ(calls[i].Height, 120);
    EXPECT_EQ(calls[i].Thread, std::this_thread::get_id());
    if (i > 0) {
      EXPECT_GT(calls[i].FrameNumber, calls[i - 1].FrameNumber);
      EXPECT_GT(calls[i].PTS, calls[i - 1].PTS);
      EXPECT_GE(calls[i].AtUs - calls[i - 1].AtUs, 100000 - 20000);
    }
  }
}

TEST_F(EncoderHooksTest, PreviewWindowIsMadeOnTheMainThreadAndNotPaintedOnceClosed) {
  TEncoderHarness h;
  h.Enc.SetPreview(true);
  int made = 0;
  std::thread::id madeOn;
  TFakePreviewer *previewer = nullptr;
  h.Enc.PreviewerFactory = [&]() -> std::unique_ptr<TPreviewer> {
    ++made;
    madeOn = std::this_thread::get_id();
    auto p = std::make_unique<TFakePreviewer>();
    previewer = p.get();
    return p;
  };
  AddTask(h, OutputRecord("libx264", "aac"), "re");
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(madeOn, std::this_thread::get_id());
  ASSERT_NE(previewer, nullptr);
  EXPECT_EQ(previewer->Shown.load(), 3) << "no painting after the window was closed";
}

TEST_F(EncoderHooksTest, VideoHooksChangePicturesAndStopOnRequest) {
  TEncoderHarness h;
  int inputCalls = 0, outputCalls = 0;
  h.Enc.OnVideoInputHook = [&](TCustomEncoder *, THookInfo *AInfo) {
    ++inputCalls;
    EXPECT_EQ(AInfo->Bitmap->Width(), 320);
    AInfo->StopHook = inputCalls == 3;
  };
  std::thread::id hookThread;
  h.Enc.OnVideoOutputHook = [&](TCustomEncoder *, THookInfo *AInfo) {
    ++outputCalls;
    hookThread = std::this_thread::get_id();
    TFFBitmap &b = *AInfo->Bitmap;
    EXPECT_EQ(b.BitsPerPixel(), 24);
    std::memset(b.Bits(), 0, b.DataSize()); // black
    AInfo->Update = true;
  };
  TOutputOptions out = OutputRecord("libx264", "aac");
  out.VideoInputHook = true;
  out.VideoOutputHook = true;
  AddTask(h, out);
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished) << h.TermOf(0).ExceptionMsg;
  EXPECT_EQ(inputCalls, 3);
  EXPECT_EQ(outputCalls, 50);
  EXPECT_NE(hookThread, std::this_thread::get_id()) << "hooks run on the converting thread";
  // Every encoded picture is black (luma at the video floor).
  CommandResult r =
      RunCommand("ffprobe -v error -f lavfi -i " + ShellQuote("movie=" + Out + ",signalstats") +
                 " -show_entries frame_tags=lavfi.signalstats.YMAX -of csv=p=0");
  ASSERT_EQ(r.ExitCode, 0);
  std::istringstream lines(r.Output);
  int frames = 0;
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) {
      ++frames;
      EXPECT_LE(std::stoi(line), 24) << "frame " << frames;
    }
  EXPECT_EQ(frames, 50);
}

TEST_F(EncoderHooksTest, AudioHookSeesEveryDecodedSampleInterleaved) {
  TEncoderHarness h;
  int64_t bytes = 0;
  int rate = 0, channels = 0;
  AVSampleFormat format = AV_SAMPLE_FMT_NONE;
  std::thread::id thread;
  h.Enc.OnAudioHook = [&](TCustomEncoder *, int ATaskIndex, int64_t, uint8_t *ASample, int ASize,
                          int ASampleRate, int AChannels, AVSampleFormat AFormat) {
    EXPECT_EQ(ATaskIndex, 0);
    EXPECT_NE(ASample, nullptr);
    bytes += ASize;
    rate = ASampleRate;
    channels = AChannels;
    format = AFormat;
    thread = std::this_thread::get_id();
  };
  TOutputOptions out = OutputRecord("libx264", "aac");
  out.AudioHook = true;
  AddTask(h, out);
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished);
  EXPECT_EQ(rate, 44100);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(format, AV_SAMPLE_FMT_FLT) << "AAC decodes to planar float, handed out interleaved";
  EXPECT_NE(thread, std::this_thread::get_id());
  const int64_t samples = bytes / (2 * 4);
  EXPECT_NEAR(static_cast<double>(samples), 2 * 44100, 2048);
}
