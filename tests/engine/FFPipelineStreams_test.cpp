// Stream processing details of a run: picture and audio hooks, hook
// libraries, two-pass logs, bit-stream filters, stream maps, metadata,
// statistics and limits.

#include "FFPipelineTestUtil.h"
#include "engine/FFStreamProc.h"

#include <filesystem>

using namespace vmpipe;

namespace {

class FFPipelineStreamsTest : public PipelineTest {};

// The video graph (scaling) runs on the task's thread count; 0 leaves the
// choice to FFmpeg (one thread per core).
TEST_F(FFPipelineStreamsTest, VideoGraphThreadsFollowThreadCount) {
  for (int threads : {0, 1, 3}) {
    TTranscodeState state;
    state.Settings.ThreadCount = threads;
    TAVOutputStream ost;
    ost.kind = AVMEDIA_TYPE_VIDEO;
    ost.pix_fmt = AV_PIX_FMT_YUV420P;
    ost.width = 160;
    ost.height = 120;
    ost.V.Width = 160;
    ost.V.Height = 120;
    ConfigureVideoFilters(state, ost, 320, 240, AV_PIX_FMT_YUV420P, AVRational{1, 1},
                          AVRational{25, 1}, true);
    ASSERT_TRUE(ost.graph) << threads;
    if (threads > 0) {
      EXPECT_EQ(ost.graph->nb_threads, threads);
    } else {
      // FFmpeg's own choice: at least one thread per core.
      EXPECT_GE(ost.graph->nb_threads, ff::avutil.av_cpu_count());
    }
    EXPECT_EQ(ost.width, 160);
    EXPECT_EQ(ost.height, 120);
  }
}

// Mean luma of the first picture of a file.
double FirstLuma(const std::string &AFile) {
  vmtest::CommandResult r = vmtest::RunCommand(
      "ffprobe -v error -f lavfi -i " + vmtest::ShellQuote("movie=" + AFile + ",signalstats") +
      " -read_intervals %+#1 -show_entries frame_tags=lavfi.signalstats.YAVG -of csv=p=0");
  return r.ExitCode == 0 ? std::atof(r.Output.c_str()) : -1;
}

TEST_F(FFPipelineStreamsTest, OutputHookChangesPicturesAndCanStop) {
  std::string out = Dir.File("hooked.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Video.QScale = 2;
  int calls = 0;
  TTranscodeEvents ev;
  ev.OnVideoOutputHook = [&](AVFrame *f, int, int64_t, bool &stop) {
    ++calls;
    for (int y = 0; y < f->height; ++y)
      memset(f->data[0] + y * f->linesize[0], 200, f->width);
    stop = calls == 10;
    return true;
  };
  TTranscodeResult r = RunTranscode(job, ev);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_EQ(calls, 10);
  EXPECT_NEAR(FirstLuma(out), 200, 3);
}

TEST_F(FFPipelineStreamsTest, InputHookAndAudioHookSeeDecodedData) {
  std::string out = Dir.File("in.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "libvorbis";
  int pictures = 0;
  int64_t samples = 0, lastPts = -1;
  bool ordered = true;
  TTranscodeEvents ev;
  ev.OnVideoInputHook = [&](AVFrame *f, int, int64_t, bool &) {
    ++pictures;
    return f->width == 320;
  };
  ev.OnAudioHook = [&](const AVFrame *f, int64_t pts) {
    samples += f->nb_samples;
    ordered = ordered && pts > lastPts;
    lastPts = pts;
  };
  ASSERT_TRUE(RunTranscode(job, ev).Success);
  EXPECT_EQ(pictures, 50);
  EXPECT_NEAR(samples, 88200, 2048);
  EXPECT_TRUE(ordered);
}

TEST_F(FFPipelineStreamsTest, CopiedVideoRefusesPictureHooks) {
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), Dir.File("c.mkv"));
  job.Outputs[0].Video.Codec = "copy";
  TTranscodeEvents ev;
  ev.OnPostHook = [](const AVFrame *, int, int64_t) {};
  EXPECT_EQ(RunTranscode(job, ev).ErrorMsg,
            "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
  job.Settings.FrameHooks = {};
  TTranscodeEvents ev2;
  ev2.OnVideoInputHook = [](AVFrame *, int, int64_t, bool &) { return false; };
  EXPECT_EQ(RunTranscode(job, ev2).ErrorMsg,
            "-vcodec copy and VideoHook are incompatible (frames are not decoded)");
}

TEST_F(FFPipelineStreamsTest, FrameHookLibraryProcessesPictures) {
  std::string src = Dir.File("hook.c");
  ASSERT_TRUE(vmtest::WriteFile(src, R"(
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
typedef struct { uint8_t *data[4]; int linesize[4]; } Pict;
typedef struct { int value; } Ctx;
int Configure(void **ctx, int argc, char *argv[]) {
  Ctx *c = malloc(sizeof *c);
  c->value = argc > 1 ? atoi(argv[1]) : 128;
  *ctx = c;
  return 0;
}
void Process(void *ctx, Pict *p, int fmt, int w, int h, int64_t pts) {
  (void)fmt; (void)pts;
  for (int y = 0; y < h; ++y) memset(p->data[0] + y * p->linesize[0], ((Ctx *)ctx)->value, w);
}
void Release(void *ctx) { free(ctx); }
)"));
  std::string lib = Dir.File("libhook.so");
  ASSERT_EQ(vmtest::RunCommand("cc -shared -fPIC -o " + lib + " " + src, true).ExitCode, 0);
  std::string out = Dir.File("vhook.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Video.QScale = 2;
  job.Settings.FrameHooks = {lib + " 60"};
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_NEAR(FirstLuma(out), 60, 3);

  job.Settings.FrameHooks = {Dir.File("missing.so")};
  r = RunTranscode(job);
  EXPECT_EQ(r.ErrorMsg, "Failed to add video hook function: " + Dir.File("missing.so"));
}

TEST_F(FFPipelineStreamsTest, TwoPassWritesAndReadsItsLog) {
  std::string prefix = Dir.File("stats");
  std::string out1 = Dir.File("pass1.avi");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out1);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Video.BitRate = 200000;
  job.Outputs[0].Video.Pass = 1;
  job.Outputs[0].Video.PassLogFile = prefix;
  ASSERT_TRUE(RunTranscode(job).Success);
  std::string log = vmtest::ReadFile(prefix + "-0.log");
  EXPECT_NE(log.find("in:0"), std::string::npos);

  std::string out2 = Dir.File("pass2.avi");
  job.Outputs[0].FileName = out2;
  job.Outputs[0].Video.Pass = 2;
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_TRUE(DecodesCleanly(out2));

  job.Outputs[0].Video.PassLogFile = Dir.File("none");
  r = RunTranscode(job);
  EXPECT_EQ(r.ErrorMsg, "Cannot read file: Error reading log file \"" + Dir.File("none") +
                            "-0.log\" for pass-2 encoding");
}

TEST_F(FFPipelineStreamsTest, BitstreamFiltersOnCopiedVideo) {
  std::string out = Dir.File("annexb.ts");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out);
  job.Outputs[0].Video.Codec = "copy";
  job.Outputs[0].Video.BitstreamFilters = {"h264_mp4toannexb"};
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_EQ(CountFrames(out), 50);

  job.Outputs[0].Video.BitstreamFilters = {"nosuchfilter"};
  EXPECT_EQ(RunTranscode(job).ErrorMsg, "Unknown bitstream filter nosuchfilter");
}

TEST_F(FFPipelineStreamsTest, StreamMapsChooseSources) {
  std::string out = Dir.File("mapped.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out);
  TTranscodeInput audio;
  audio.FileName = vmtest::ClipAudioOnly();
  job.Inputs.push_back(audio);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Outputs[0].Audio.Codec = "libvorbis";
  job.Settings.StreamMaps = {{0, 0, 0, 0}, {1, 0, 1, 0}};
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_EQ(Field(out, "sample_rate", "a:0"), "48000");
  EXPECT_EQ(CountFrames(out), 50);

  job.Settings.StreamMaps = {{1, 0, 1, 0}, {0, 0, 0, 0}};
  EXPECT_EQ(RunTranscode(job).ErrorMsg,
            "Codec type mismatch for mapping #1.0 (audio) -> #0.0 (video)");
  job.Settings.StreamMaps = {{0, 0, 0, 0}};
  EXPECT_EQ(RunTranscode(job).ErrorMsg,
            "Number of stream maps must match number of output streams");
  job.Settings.StreamMaps = {{0, 0, 0, 0}, {1, 3, 1, 3}};
  EXPECT_EQ(RunTranscode(job).ErrorMsg, "Could not find input stream #1.3");
}

TEST_F(FFPipelineStreamsTest, MetadataFromInputAndSettings) {
  std::string clip = vmtest::MakeClip(
      "tagged.mkv", "-f lavfi -i sine=duration=1 -metadata title=Source -metadata artist=Someone "
                    "-c:a libvorbis");
  std::string out = Dir.File("tagged.mka");
  TTranscodeJob job = MakeJob(clip, out);
  job.Outputs[0].Metadata = {{"title", "Mine"}};
  job.Outputs[0].Audio.Language = "fra";
  ASSERT_TRUE(RunTranscode(job).Success);
  // Given values win over the input's; the rest is copied from the input.
  auto tags = vmtest::Probe(out, "format_tags");
  EXPECT_EQ(tags["title"], "Mine");
  EXPECT_EQ(tags["ARTIST"], "Someone");
  EXPECT_EQ(vmtest::Probe(out, "stream_tags=language", "a:0")["language"], "fra");

  job.Settings.MetadataGlobalAutocopy = false;
  ASSERT_TRUE(RunTranscode(job).Success);
  tags = vmtest::Probe(out, "format_tags");
  EXPECT_EQ(tags["title"], "Mine");
  EXPECT_EQ(tags.count("ARTIST"), 0u);
}

TEST_F(FFPipelineStreamsTest, FrameLimitSizeLimitAndStatistics) {
  std::string out = Dir.File("ten.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipVideoOnly(), out);
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Settings.MaxFrames[0] = 10;
  job.Settings.VStatsFile = Dir.File("vstats.log");
  ASSERT_TRUE(RunTranscode(job).Success);
  EXPECT_EQ(CountFrames(out), 10);
  std::string stats = vmtest::ReadFile(Dir.File("vstats.log"));
  EXPECT_EQ(std::count(stats.begin(), stats.end(), '\n'), 10);
  EXPECT_EQ(stats.rfind("frame=     0 q= ", 0), 0u) << stats;
  EXPECT_NE(stats.find("type= I"), std::string::npos);

  std::string big = Dir.File("big.mkv");
  TTranscodeJob job2 = MakeJob(vmtest::ClipVideoOnly(), big);
  job2.Outputs[0].Video.Codec = "mpeg4";
  job2.Outputs[0].Video.QScale = 1;
  job2.Settings.LimitFileSize = 60000;
  ASSERT_TRUE(RunTranscode(job2).Success);
  EXPECT_LT(CountFrames(big), 50);
  EXPECT_LT(std::filesystem::file_size(big), 200000u);
}

TEST_F(FFPipelineStreamsTest, ClosestSupportedSampleRateAndDeinterlace) {
  std::string out = Dir.File("rate.mkv");
  TTranscodeJob job = MakeJob(vmtest::ClipMp4(), out);
  job.Outputs[0].Audio.Codec = "libmp3lame";
  job.Outputs[0].Audio.SampleRate = 96000;
  job.Outputs[0].Video.Codec = "mpeg4";
  job.Settings.Deinterlace = true;
  TTranscodeResult r = RunTranscode(job);
  ASSERT_TRUE(r.Success) << r.ErrorMsg;
  EXPECT_EQ(Field(out, "sample_rate", "a:0"), "48000");
  EXPECT_EQ(CountFrames(out), 50);
  EXPECT_NEAR(ToDouble(Field(out, "duration", "a:0")) > 0 ? ToDouble(Field(out, "duration", "a:0"))
                                                          : Duration(out),
              2.0, 0.1);
}

} // namespace
