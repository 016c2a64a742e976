// The encoder component through its public operations: options records in,
// files out (checked with ffprobe), events drained on the test's main thread.

#include "EncoderHarness.h"

#include "engine/FFEncode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <sys/resource.h>
#include <unistd.h>

using namespace vmtest;

namespace {

// 4 s 320x240 25 fps H.264 + 44.1 kHz stereo AAC; read in real time ("re")
// it converts for about 4 s, long enough to pause or stop it.
std::string ClipLong() {
  return MakeClip("enc_long_4s.mp4",
                  "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 "
                  "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=4 "
                  "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -shortest");
}

// Raw H.264 elementary stream: the container knows no duration.
std::string ClipRawH264() {
  return MakeClip("enc_raw.h264", "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
                                  "-c:v libx264 -preset ultrafast -f h264");
}

// 4 s mkv (duration in its header) cut to 40 % of its bytes.
std::string TruncatedMkv(const TempDir &ADir) {
  std::string full =
      MakeClip("enc_trunc_src.mkv", "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 "
                                    "-c:v mpeg4 -q:v 3 -g 25");
  std::string data = ReadFile(full);
  std::string cut = ADir.File("truncated.mkv");
  EXPECT_TRUE(WriteFile(cut, data.substr(0, data.size() * 2 / 5)));
  return cut;
}

TOutputOptions SmallMp4() {
  TOutputOptions o = OutputRecord("libx264", "aac");
  o.ExtOptions = "preset=ultrafast";
  return o;
}

bool IsPlayable(const std::string &AFile) {
  // ffprobe must find the video stream and decode every packet without error.
  CommandResult r = RunCommand("ffprobe -v error -count_frames -select_streams v:0 "
                               "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                   ShellQuote(AFile) + " 2>&1",
                               true);
  return r.ExitCode == 0 && !r.Output.empty() && std::atoi(r.Output.c_str()) > 0 &&
         r.Output.find("rror") == std::string::npos;
}

class EncoderTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { TEncoderHarness::LoadLibraries(); }
  TempDir Dir;
};

} // namespace

TEST_F(EncoderTest, ConvertsToMp4WithRequestedFormatAndReportsFinished) {
  TEncoderHarness h;
  EXPECT_EQ(h.Enc.ThreadCount, 1);
  TInputOptions in = InputRecord();
  int idx = h.Enc.AddTask(ClipMp4(), &in);
  ASSERT_EQ(idx, 0) << h.Enc.LastErrMsg();
  // The task's decoder is bound to the opened input.
  ASSERT_EQ(h.Enc.Tasks(0)->FDecoders.size(), 1u);
  EXPECT_EQ(h.Enc.Tasks(0)->FDecoders[0]->VideoStreamCount(), 1);
  EXPECT_EQ(h.Enc.Tasks(0)->FDecoders[0]->AudioStreamCount(), 1);

  TOutputOptions out = SmallMp4();
  out.FrameSize = "160x120";
  out.FrameRate = "15";
  out.AudioSampleRate = 22050;
  out.AudioChannels = 1;
  out.AudioBitrate = 64000;
  const std::string file = Dir.File("out.mp4");
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
  EXPECT_FALSE(h.Enc.Working());
  h.Enc.Start(1);
  EXPECT_TRUE(h.Enc.Working());
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.Enc.Terminated());
  EXPECT_TRUE(h.Enc.Working()); // until ClearTasks

  auto terms = h.TermsCopy();
  ASSERT_EQ(terms.size(), 2u);
  EXPECT_EQ(terms[0].TaskIndex, 0);
  EXPECT_TRUE(terms[0].Finished);
  EXPECT_FALSE(terms[0].Exception) << terms[0].ExceptionMsg;
  EXPECT_EQ(terms[1].TaskIndex, -1);
  EXPECT_TRUE(terms[1].Finished);
  for (auto id : h.TermThreads)
    EXPECT_EQ(id, std::this_thread::get_id()) << "events are delivered on the main thread";

  auto v = Probe(file, "stream=codec_name,width,height,r_frame_rate", "v:0");
  EXPECT_EQ(v["codec_name"], "h264");
  EXPECT_EQ(v["width"], "160");
  EXPECT_EQ(v["height"], "120");
  EXPECT_EQ(v["r_frame_rate"], "15/1");
  auto a = Probe(file, "stream=codec_name,sample_rate,channels", "a:0");
  EXPECT_EQ(a["codec_name"], "aac");
  EXPECT_EQ(a["sample_rate"], "22050");
  EXPECT_EQ(a["channels"], "1");
  EXPECT_NEAR(ProbeDouble(file, "format=duration"), 2.0, 0.15);
  EXPECT_TRUE(IsPlayable(file));

  h.Enc.ClearTasks();
  EXPECT_FALSE(h.Enc.Working());
  EXPECT_FALSE(h.Enc.Terminated());
  EXPECT_EQ(h.Enc.TasksCount(), 0);
}

TEST_F(EncoderTest, HonoursTimeStartAndTimeLengthWithinOneFrame) {
  TEncoderHarness h;
  // Task 0: output skips 0.5 s and lasts 1 s. Task 1: the input is sought to
  // 1.2 s (text form of the input record), so 0.8 s remain.
  TInputOptions in = InputRecord();
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = SmallMp4();
  out.DisableAudio = true;
  out.TimeStart = 500000;
  out.TimeLength = 1000000;
  const std::string f0 = Dir.File("cut.mp4");
  ASSERT_TRUE(h.Enc.SetOutputFile(0, f0, &out)) << h.Enc.LastErrMsg();
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), std::string("TimeStart=1200000")), 1) << h.Enc.LastErrMsg();
  const std::string f1 = Dir.File("seek.mp4");
  ASSERT_TRUE(h.Enc.SetOutputFile(1, f1, std::string("vcodec=libx264\nan=\npreset=ultrafast")))
      << h.Enc.LastErrMsg();
  EXPECT_EQ(h.Enc.Tasks(0)->TotalOutputDuration(), 1000000); // the limit
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished) << h.TermOf(0).ExceptionMsg;
  EXPECT_TRUE(h.TermOf(1).Finished) << h.TermOf(1).ExceptionMsg;

  const double frame = 1.0 / 25;
  auto frames = [](const std::string &f) {
    return std::atoi(Probe(f, "stream=nb_frames", "v:0")["nb_frames"].c_str());
  };
  EXPECT_NEAR(ProbeDouble(f0, "stream=duration", "v:0"), 1.0, frame + 1e-3);
  EXPECT_NEAR(frames(f0), 25, 1);
  EXPECT_NEAR(ProbeDouble(f1, "stream=duration", "v:0"), 0.8, frame + 1e-3);
  EXPECT_NEAR(frames(f1), 20, 1);
  EXPECT_TRUE(Probe(f1, "stream=codec_name", "a:0").empty()) << "audio disabled";
}

TEST_F(EncoderTest, OutputOpensTheInputOnlyOnce) {
  TEncoderHarness h;
  int opens = 0;
  h.Enc.OnBeforeFindStreamInfo = [&](TFFmpeg *, AVFormatContext *) { ++opens; };
  TInputOptions in = InputRecord();
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), 0) << h.Enc.LastErrMsg();
  EXPECT_EQ(opens, 1);
  AVFormatContext *before = h.Enc.Tasks(0)->FDecoders[0]->FileHandle();
  // The record changes task-wide settings (start time, duration limit):
  // they still reach the run although the input is not opened again.
  TOutputOptions out = SmallMp4();
  out.DisableAudio = true;
  out.TimeStart = 500000;
  out.TimeLength = 1000000;
  const std::string file = Dir.File("once.mp4");
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(h.Enc.Tasks(0)->FDecoders[0]->FileHandle(), before);
  EXPECT_EQ(h.Enc.Tasks(0)->TotalOutputDuration(), 1000000);
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  ASSERT_TRUE(h.TermOf(0).Finished) << h.TermOf(0).ExceptionMsg;
  EXPECT_NEAR(ProbeDouble(file, "stream=duration", "v:0"), 1.0, 1.0 / 25 + 1e-3);
  EXPECT_TRUE(IsPlayable(file));
}

class EncoderOrderTest : public EncoderTest, public ::testing::WithParamInterface<int> {};

TEST_P(EncoderOrderTest, EachTaskEndsOnceAndTheFinalEventComesLast) {
  const int threads = GetParam();
  TEncoderHarness h;
  int maxConverting = 0;
  h.OnProgressExtra = [&](const TProgressInfo &) {
    int n = 0;
    for (int i = 0; i < h.Enc.TasksCount(); ++i)
      n += h.Enc.Tasks(i)->Converting() ? 1 : 0;
    maxConverting = std::max(maxConverting, n);
  };
  h.Enc.SetProgressInterval(100);
  const int tasks = 5;
  for (int i = 0; i < tasks; ++i) {
    TInputOptions in = InputRecord(threads == 3 ? "re" : "");
    ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), i) << h.Enc.LastErrMsg();
    if (i == 2)
      continue; // no output: ends at once with an error, the run goes on
    TOutputOptions out = SmallMp4();
    out.FrameSize = "96x64";
    ASSERT_TRUE(h.Enc.SetOutputFile(i, Dir.File("o" + std::to_string(i) + ".mp4"), &out))
        << h.Enc.LastErrMsg();
  }
  h.Enc.Start(threads);
  if (threads <= 0) {
    EXPECT_TRUE(h.HasFinal()) << "Start(0) returns after the final event";
  }
  ASSERT_TRUE(h.WaitFinal());
  h.Pump(50);

  auto terms = h.TermsCopy();
  ASSERT_EQ(terms.size(), static_cast<size_t>(tasks + 1));
  EXPECT_EQ(terms.back().TaskIndex, -1);
  std::set<int> seen;
  for (size_t i = 0; i + 1 < terms.size(); ++i) {
    EXPECT_TRUE(seen.insert(terms[i].TaskIndex).second) << "task " << terms[i].TaskIndex;
    if (terms[i].TaskIndex == 2) {
      EXPECT_TRUE(terms[i].Exception);
      EXPECT_FALSE(terms[i].Finished);
      EXPECT_EQ(terms[i].ExceptionMsg, "At least one output file must be specified");
    } else {
      EXPECT_TRUE(terms[i].Finished) << terms[i].ExceptionMsg;
      EXPECT_FALSE(terms[i].Exception);
    }
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2, 3, 4}));
  // A task's progress events all come before its termination event.
  {
    std::lock_guard<std::mutex> lock(h.Lock);
    for (size_t i = 0; i < h.Terms.size(); ++i)
      for (const auto &p : h.Progress)
        if (p.Info.TaskIndex == h.Terms[i].TaskIndex) {
          EXPECT_LT(p.Seq, h.TermSeqs[i]) << "task " << p.Info.TaskIndex;
        }
    EXPECT_GE(h.Progress.size(), 4u);
  }
  if (threads > 0) {
    EXPECT_LE(maxConverting, threads);
    if (threads == 3) {
      EXPECT_GE(maxConverting, 2) << "tasks run side by side";
    }
  }
  for (int i = 0; i < tasks; ++i) {
    if (i != 2) {
      EXPECT_TRUE(IsPlayable(Dir.File("o" + std::to_string(i) + ".mp4"))) << i;
    }
  }
  EXPECT_EQ(h.Enc.PendingNotifications(), 0);
}

INSTANTIATE_TEST_SUITE_P(Threads, EncoderOrderTest, ::testing::Values(0, 1, 3));

TEST_F(EncoderTest, ProgressIsThrottledPerTaskAndKnowsTheTotal) {
  TEncoderHarness h;
  h.Enc.SetProgressInterval(50);
  EXPECT_EQ(h.Enc.ProgressInterval(), 100);
  h.Enc.SetProgressInterval(300);
  // Task 0 (known duration) in real time; task 1 a raw stream whose total
  // duration is unknown.
  TInputOptions in = InputRecord("re");
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = SmallMp4();
  ASSERT_TRUE(h.Enc.SetOutputFile(0, Dir.File("p.mp4"), &out)) << h.Enc.LastErrMsg();
  TInputOptions raw = InputRecord("re");
  ASSERT_EQ(h.Enc.AddTask(ClipRawH264(), &raw), 1) << h.Enc.LastErrMsg();
  ASSERT_TRUE(h.Enc.SetOutputFile(1, Dir.File("raw.mp4"), &out)) << h.Enc.LastErrMsg();
  h.Enc.Start(2);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished);
  EXPECT_TRUE(h.TermOf(1).Finished) << h.TermOf(1).ExceptionMsg;

  auto progress = h.ProgressCopy();
  for (int task = 0; task < 2; ++task) {
    std::vector<TRecordedProgress> mine;
    for (const auto &p : progress)
      if (p.Info.TaskIndex == task)
        mine.push_back(p);
    ASSERT_GE(mine.size(), 3u) << "task " << task;
    EXPECT_EQ(mine.back().Info.FileIndex, -1) << "final report last";
    for (size_t i = 1; i + 1 < mine.size(); ++i)
      EXPECT_GE(mine[i].AtUs - mine[i - 1].AtUs, 300000 - 2000) << "task " << task << " #" << i;
    for (const auto &p : mine) {
      EXPECT_EQ(p.Thread, std::this_thread::get_id());
      if (task == 0) {
        EXPECT_NEAR(p.Info.TotalDuration, 2000000, 100000);
      } else {
        EXPECT_EQ(p.Info.TotalDuration, -1);
      }
    }
    EXPECT_GT(mine.back().Info.CurrentSize, 0);
    EXPECT_NEAR(mine.back().Info.CurrentDuration, 2000000, 200000);
    EXPECT_GT(mine.back().Info.FrameNumber, 40);
  }
}

TEST_F(EncoderTest, PauseHoldsProgressAndResumeFinishes) {
  TEncoderHarness h;
  h.Enc.SetProgressInterval(100);
  TInputOptions in = InputRecord("re");
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = SmallMp4();
  const std::string file = Dir.File("paused.mp4");
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
  h.Enc.Pause(); // not working: ignored
  EXPECT_FALSE(h.Enc.Paused());
  h.Enc.Start(1);
  ASSERT_TRUE(h.PumpUntil([&] { return h.ProgressCount() >= 2; }));
  h.Enc.Pause();
  EXPECT_TRUE(h.Enc.Paused());
  h.Pump(150); // an event already on its way may still arrive
  const size_t before = h.ProgressCount();
  h.Pump(800);
  EXPECT_EQ(h.ProgressCount(), before) << "no progress while paused";
  EXPECT_FALSE(h.HasFinal());
  EXPECT_TRUE(h.Enc.Tasks(0)->Converting());
  h.Enc.Resume();
  EXPECT_FALSE(h.Enc.Paused());
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_GT(h.ProgressCount(), before);
  EXPECT_TRUE(h.TermOf(0).Finished);
  EXPECT_NEAR(ProbeDouble(file, "format=duration"), 2.0, 0.15);
}

TEST_F(EncoderTest, StopWaitsKeepsAPlayableOutputAndEndsTheOthers) {
  TEncoderHarness h;
  h.Enc.SetProgressInterval(100);
  for (int i = 0; i < 3; ++i) {
    TInputOptions in = InputRecord("re");
    ASSERT_EQ(h.Enc.AddTask(ClipLong(), &in), i) << h.Enc.LastErrMsg();
    TOutputOptions out = SmallMp4();
    ASSERT_TRUE(h.Enc.SetOutputFile(i, Dir.File("s" + std::to_string(i) + ".mp4"), &out))
        << h.Enc.LastErrMsg();
  }
  h.Enc.Start(1);
  EXPECT_THROW(h.Enc.ClearTasks(), FFmpegException);
  ASSERT_TRUE(h.PumpUntil([&] {
    auto p = h.ProgressCopy();
    return !p.empty() && p.back().Info.CurrentDuration > 800000;
  }));
  const int64_t t0 = SteadyUs();
  h.Enc.Stop(true); // the worker is blocked in Synchronize meanwhile: no deadlock
  EXPECT_LT(SteadyUs() - t0, 3000000);
  ASSERT_TRUE(h.WaitFinal(10000));

  TTerminateInfo first = h.TermOf(0);
  EXPECT_FALSE(first.Finished);
  EXPECT_FALSE(first.Exception) << first.ExceptionMsg;
  for (int i = 1; i < 3; ++i) {
    EXPECT_FALSE(h.TermOf(i).Finished);
    EXPECT_FALSE(h.TermOf(i).Exception);
    EXPECT_FALSE(std::filesystem::exists(Dir.File("s" + std::to_string(i) + ".mp4")))
        << "a task that never ran leaves no empty file";
  }
  EXPECT_EQ(h.TermsCopy().back().TaskIndex, -1);
  const std::string f0 = Dir.File("s0.mp4");
  EXPECT_TRUE(IsPlayable(f0));
  double d = ProbeDouble(f0, "format=duration");
  EXPECT_GT(d, 0.5);
  EXPECT_LT(d, 3.5);
  h.Enc.ClearTasks();
}

TEST_F(EncoderTest, StopFromInsideAProgressHandlerDoesNotDeadlock) {
  // Start(1) and Start(0): the handler runs while its task is blocked in it.
  for (int threads : {1, 0}) {
    TEncoderHarness h;
    h.Enc.SetProgressInterval(100);
    for (int i = 0; i < 2; ++i) {
      TInputOptions in = InputRecord("re");
      ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), i) << h.Enc.LastErrMsg();
      TOutputOptions out = SmallMp4();
      ASSERT_TRUE(h.Enc.SetOutputFile(
          i, Dir.File("h" + std::to_string(threads) + std::to_string(i) + ".mp4"), &out))
          << h.Enc.LastErrMsg();
    }
    bool stopped = false;
    h.OnProgressExtra = [&](const TProgressInfo &p) {
      if (!stopped && p.CurrentDuration > 300000) {
        stopped = true;
        h.Enc.Stop(true);
      }
    };
    h.Enc.Start(threads);
    ASSERT_TRUE(h.WaitFinal(15000)) << "threads " << threads;
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(h.TermOf(0).Finished);
    EXPECT_FALSE(h.TermOf(0).Exception) << h.TermOf(0).ExceptionMsg;
    EXPECT_FALSE(h.TermOf(1).Finished);
    EXPECT_TRUE(IsPlayable(Dir.File("h" + std::to_string(threads) + "0.mp4")));
  }
}

TEST_F(EncoderTest, CorruptInputEndsItsTaskWithAMessageAndTheQueueGoesOn) {
  TEncoderHarness h;
  TInputOptions in = InputRecord();
  ASSERT_EQ(h.Enc.AddTask(TruncatedMkv(Dir), &in), 0) << h.Enc.LastErrMsg();
  TOutputOptions out = SmallMp4();
  ASSERT_TRUE(h.Enc.SetOutputFile(0, Dir.File("bad.mp4"), &out)) << h.Enc.LastErrMsg();
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), 1) << h.Enc.LastErrMsg();
  ASSERT_TRUE(h.Enc.SetOutputFile(1, Dir.File("good.mp4"), &out)) << h.Enc.LastErrMsg();
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  TTerminateInfo bad = h.TermOf(0);
  EXPECT_TRUE(bad.Exception);
  EXPECT_FALSE(bad.Finished);
  EXPECT_NE(bad.ExceptionMsg.find("truncated"), std::string::npos) << bad.ExceptionMsg;
  EXPECT_TRUE(h.TermOf(1).Finished);
  EXPECT_TRUE(IsPlayable(Dir.File("good.mp4")));
}

TEST_F(EncoderTest, AddOperationsReportFailuresAndRefuseWhileWorking) {
  TEncoderHarness h;
  // Missing input: no task is added.
  EXPECT_EQ(h.Enc.AddTask(Dir.File("missing.mp4"), std::string()), -1);
  EXPECT_NE(h.Enc.LastErrMsg().find("missing.mp4"), std::string::npos) << h.Enc.LastErrMsg();
  EXPECT_EQ(h.Enc.TasksCount(), 0);
  // Unknown encoder: the output is refused, the task keeps no output.
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), std::string()), 0) << h.Enc.LastErrMsg();
  TOutputOptions bad = OutputRecord("no_such_encoder", "aac");
  EXPECT_FALSE(h.Enc.SetOutputFile(0, Dir.File("x.mp4"), &bad));
  EXPECT_NE(h.Enc.LastErrMsg().find("no_such_encoder"), std::string::npos) << h.Enc.LastErrMsg();
  EXPECT_EQ(h.Enc.Tasks(0)->OutputFileCount(), 0);
  // The input is still usable: a good output is accepted afterwards.
  TOutputOptions out = SmallMp4();
  ASSERT_TRUE(h.Enc.SetOutputFile(0, Dir.File("ok.mp4"), &out)) << h.Enc.LastErrMsg();
  // Limits of a task.
  h.Enc.SetCustomMaxFiles(1);
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), std::string()), 1);
  ASSERT_TRUE(h.Enc.SetOutputFile(1, Dir.File("ok1.mp4"), &out)) << h.Enc.LastErrMsg();
  EXPECT_FALSE(h.Enc.SetOutputFile(1, Dir.File("ok2.mp4"), &out));
  EXPECT_EQ(h.Enc.LastErrMsg(), "max output files 1 reached");
  EXPECT_FALSE(h.Enc.AddInputFile(1, ClipMp4(), std::string()));
  EXPECT_EQ(h.Enc.LastErrMsg(), "max input files 1 reached");
  // Exchange and remove while idle.
  h.Enc.Exchange(0, 1);
  EXPECT_EQ(h.Enc.Tasks(0)->OutputFileCount(), 1);
  TFFmpeg *second = h.Enc.Tasks(1);
  h.Enc.RemoveTask(0);
  EXPECT_EQ(h.Enc.TasksCount(), 1);
  EXPECT_EQ(h.Enc.GetTaskIndex(second), 0);

  h.Enc.Start(1);
  auto expectBusy = [](const std::function<void()> &AOp, const std::string &AWord) {
    try {
      AOp();
      ADD_FAILURE() << AWord << " did not raise";
    } catch (const FFmpegException &e) {
      EXPECT_EQ(std::string(e.what()), "Cannot " + AWord + " while working.");
    }
  };
  ASSERT_TRUE(h.WaitFinal());
  // Still working after the final event, until ClearTasks.
  expectBusy([&] { h.Enc.AddTask(ClipMp4(), std::string()); }, "AddTask");
  expectBusy([&] { h.Enc.AddInputFile(0, ClipMp4(), std::string()); }, "AddInputFile");
  expectBusy([&] { h.Enc.SetOutputFile(0, Dir.File("y.mp4"), &out); }, "SetOutputFile");
  expectBusy([&] { h.Enc.Exchange(0, 0); }, "Exchange");
  expectBusy([&] { h.Enc.RemoveTask(0); }, "RemoveTask");
  expectBusy([&] { h.Enc.Start(1); }, "StartTask");
  EXPECT_TRUE(h.TermOf(0).Finished);
  h.Enc.ClearTasks();
  EXPECT_EQ(h.Enc.LastErrMsg(), "");
  EXPECT_EQ(h.Enc.AddTask(ClipMp4(), std::string()), 0);
}

TEST_F(EncoderTest, EmptyListStartsNothingAndClearsAfterwards) {
  TEncoderHarness h;
  h.Enc.Start(1);
  h.Pump(50);
  EXPECT_TRUE(h.TermsCopy().empty());
  EXPECT_TRUE(h.Enc.Working());
  h.Enc.ClearTasks(); // does not raise: the empty run is over
  EXPECT_FALSE(h.Enc.Working());
}

TEST_F(EncoderTest, WorkerThreadRunsAtThePriorityNiceValue) {
  TEncoderHarness h;
  h.Enc.TriggerEventInMainThread = false; // the handler runs on the worker
  h.Enc.ThreadPriority = tpLower;
  h.Enc.SetProgressInterval(100);
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  std::vector<int> nice;
  std::vector<std::thread::id> ids;
  h.OnProgressExtra = [&](const TProgressInfo &) {
    nice.push_back(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
    ids.push_back(std::this_thread::get_id());
  };
  TInputOptions in = InputRecord();
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), &in), 0);
  TOutputOptions out = SmallMp4();
  ASSERT_TRUE(h.Enc.SetOutputFile(0, Dir.File("n.mp4"), &out)) << h.Enc.LastErrMsg();
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  ASSERT_FALSE(nice.empty());
  for (size_t i = 0; i < nice.size(); ++i) {
    EXPECT_EQ(nice[i], ThreadPriorityToNice(tpLower, base));
    EXPECT_NE(ids[i], std::this_thread::get_id());
  }
  EXPECT_EQ(ThreadPriorityToNice(tpLower, 0), 5);
  EXPECT_EQ(ThreadPriorityToNice(tpIdle, 3), 19);
  EXPECT_EQ(ThreadPriorityToNice(tpTimeCritical, 0), -20);
  EXPECT_EQ(ThreadPriorityToNice(tpLowest, 15), 19);
}

TEST_F(EncoderTest, ThreadCountReachesTheEncoder) {
  // x264 writes its settings into the stream ("threads=N").
  for (int count : {1, 2}) {
    TEncoderHarness h;
    h.Enc.ThreadCount = count;
    ASSERT_EQ(h.Enc.AddTask(ClipMp4(), std::string()), 0);
    TOutputOptions out = SmallMp4();
    const std::string file = Dir.File("t" + std::to_string(count) + ".mp4");
    ASSERT_TRUE(h.Enc.SetOutputFile(0, file, &out)) << h.Enc.LastErrMsg();
    h.Enc.Start(0);
    ASSERT_TRUE(h.HasFinal());
    EXPECT_TRUE(h.TermOf(0).Finished);
    std::string data = ReadFile(file);
    EXPECT_NE(data.find(" threads=" + std::to_string(count) + " "), std::string::npos) << count;
  }
}

TEST_F(EncoderTest, JoinsSeveralInputsIntoOneOutput) {
  TEncoderHarness h;
  ASSERT_EQ(h.Enc.AddTask(ClipMp4(), std::string()), 0) << h.Enc.LastErrMsg();
  ASSERT_TRUE(h.Enc.AddInputFile(0, ClipMp4(), std::string())) << h.Enc.LastErrMsg();
  EXPECT_EQ(h.Enc.Tasks(0)->FDecoders.size(), 2u);
  const std::string file = Dir.File("joined.mp4");
  ASSERT_TRUE(h.Enc.SetOutputFile(0, file,
                                  std::string("vcodec=libx264\nacodec=aac\n"
                                              "preset=ultrafast\nJoin=1")))
      << h.Enc.LastErrMsg();
  // Both decoders are bound to the inputs as opened for the output.
  for (auto &d : h.Enc.Tasks(0)->FDecoders)
    EXPECT_EQ(d->VideoStreamCount(), 1);
  EXPECT_NEAR(h.Enc.Tasks(0)->TotalOutputDuration(), 4000000, 100000);
  h.Enc.Start(1);
  ASSERT_TRUE(h.WaitFinal());
  EXPECT_TRUE(h.TermOf(0).Finished) << h.TermOf(0).ExceptionMsg;
  EXPECT_NEAR(ProbeDouble(file, "format=duration"), 4.0, 0.2);
  EXPECT_TRUE(IsPlayable(file));
}
