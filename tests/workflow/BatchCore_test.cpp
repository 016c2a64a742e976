// Batch logic: progress and terminate handling, the task map, failure counts,
// and whole batches with the real encoder on tiny clips (failure, pause,
// resume, stop and a second start).

#include "engine/FFSync.h"
#include "workflow/BatchCore.h"

#include "services/SettingsFixture.h"

#include <QElapsedTimer>

#include <functional>
#include <vector>

namespace {

QString Q(const std::string &s) {
  return QString::fromStdString(s);
}

// Profiles: 0 x264/aac mp4 at 160x120; 1 the same without a size (the source
// size is kept, so an odd source size makes libx264 fail when it opens);
// 2 a frame rate the engine refuses when the output is set.
const char *kFormatIni = R"([global]
count=3
[0]
name=Small
format=.mp4
video_size=160x120$default
video_encoder=x264$default
video_bitrate=200$default
audio_encoder=aac$default
audio_bitrate=64$default
[1]
name=Keep
format=.mp4
video_encoder=x264$default
audio_encoder=aac$default
[2]
name=Broken
format=.mp4
video_framerate=notarate$default
)";

struct TMessage {
  QString Key;
  QStringList Args;
};

class TRecordingUI : public TBatchUI {
public:
  int ShowMessageKey(const QString &aKey, const QStringList &aArgs, TIcon,
                     TButtons aButtons) override {
    Messages.push_back({aKey, aArgs});
    return aButtons == btnYesNo ? Answer : mrOK;
  }
  void ShowPlainMessage(const QString &aText) override { Plain << aText; }
  void ConvertStateChanged(TConvertState aState) override { States.push_back(aState); }
  void TaskNotCreated(int aRow, const QString &aMessage) override {
    NotCreated << QString::number(aRow) + ": " + aMessage;
  }
  void TaskProgress(int aRow, const TProgressInfo &, int aPercent) override {
    ProgressRows.push_back(aRow);
    Percents.push_back(aPercent);
    if (OnProgress)
      OnProgress(aRow);
  }
  void BatchFinished(int aLastRow, int aFailed) override {
    Finished.push_back({aLastRow, aFailed});
  }

  int Answer = mrYes;
  std::vector<TMessage> Messages;
  QStringList Plain, NotCreated;
  std::vector<TConvertState> States;
  std::vector<int> ProgressRows, Percents;
  std::vector<std::pair<int, int>> Finished;
  std::function<void(int)> OnProgress;
};

class BatchCoreTest : public SettingsFixture {
protected:
  void SetUp() override {
    SettingsFixture::SetUp();
    ASSERT_TRUE(vmtest::WriteFile(FApp + "format.ini", kFormatIni));
    FBatch = std::make_unique<TBatchCore>(FList, FUI);
    ASSERT_TRUE(FBatch->Init(Q(FApp))) << FUI.Plain.join("; ").toStdString();
    FBatch->Options().FDestPath = Q(FOut.Path().string());
  }
  void TearDown() override {
    FBatch.reset();
    SettingsFixture::TearDown();
  }

  void Add(const std::string &file) {
    ASSERT_EQ(FList.AddToList(Q(file), FBatch->FFDecoderExt), TListItemStore::arAdded) << file;
  }
  QString State(int row) const { return FList.GetValue("State", row); }
  QString Progress(int row) const { return FList.GetValue("Progress", row); }

  // Drains the engine's queue until the batch is back in csReady; aStep runs
  // between the drains.
  bool RunBatch(const std::function<void()> &aStep = nullptr) {
    QElapsedTimer clock;
    clock.start();
    while (FBatch->ConvertState() != csReady) {
      if (clock.elapsed() > 60000)
        return false;
      CheckSynchronize(20);
      if (aStep)
        aStep();
    }
    return true;
  }

  vmtest::TempDir FOut;
  TListItemStore FList;
  TRecordingUI FUI;
  std::unique_ptr<TBatchCore> FBatch;
};

std::string ClipOdd() {
  return vmtest::MakeClip("wf_odd.mkv", "-f lavfi -i testsrc=s=161x121:r=10:d=0.5 -c:v ffv1");
}
std::string ClipShort() {
  return vmtest::MakeClip("wf_short.mp4", "-f lavfi -i testsrc=s=160x120:r=10:d=0.5 "
                                          "-f lavfi -i sine=d=0.5 -c:v mpeg4 -c:a aac -shortest");
}
std::string ClipLong() {
  return vmtest::MakeClip("wf_long.mp4", "-f lavfi -i testsrc=s=160x120:r=25:d=6 "
                                         "-f lavfi -i sine=d=6 -c:v mpeg4 -c:a aac -shortest");
}

} // namespace

TEST(BatchCoreStatic, DurationToStr) {
  EXPECT_EQ(TBatchCore::DurationToStr(0), "00:00:00");
  EXPECT_EQ(TBatchCore::DurationToStr(999999), "00:00:00");
  EXPECT_EQ(TBatchCore::DurationToStr(3723000000LL), "01:02:03");
  EXPECT_EQ(TBatchCore::DurationToStr(360000LL * 1000000), "100:00:00");
}

TEST_F(BatchCoreTest, ProgressAndTerminateEventsDriveTheRows) {
  FList.AddDVDTitles({"opendvd:/a|1", "opendvd:/a|2"}, {"1", "1"}, {"1", "1"}, {"1", "1"});
  FBatch->FTaskIndexList = QStringList{"0=1", "1=0"};
  EXPECT_EQ(FBatch->TaskRow(0), 1);
  EXPECT_EQ(FBatch->TaskRow(5), -1);

  TProgressInfo info;
  info.TaskIndex = 0;
  info.CurrentDuration = 30000000;
  info.TotalDuration = 120000000;
  FBatch->FFEncoderProgress(&FBatch->FFEncoder, &info);
  EXPECT_EQ(Progress(1), "25");
  EXPECT_EQ(State(1), "13");
  EXPECT_EQ(FList.SelectedIndex(), 1); // the list follows the conversion
  EXPECT_EQ(FBatch->FTaskIndex, 1);
  EXPECT_EQ(FBatch->ConvertState(), csProgressing);
  info.CurrentDuration = 119999999;
  FBatch->FFEncoderProgress(&FBatch->FFEncoder, &info);
  EXPECT_EQ(Progress(1), "99");
  // Unknown total: no percentage, the row keeps its last one.
  info.TotalDuration = -1;
  FBatch->FFEncoderProgress(&FBatch->FFEncoder, &info);
  EXPECT_EQ(Progress(1), "99");
  EXPECT_EQ(FUI.Percents.back(), -1);
  // Before the first packet the engine reports 10^16 µs: shown as 100.
  info.TotalDuration = 2000000;
  info.CurrentDuration = 10000000000000000LL;
  FBatch->FFEncoderProgress(&FBatch->FFEncoder, &info);
  EXPECT_EQ(Progress(1), "100");
  // A task without a row changes nothing (and never the selected row).
  info.TaskIndex = 7;
  FBatch->FFEncoderProgress(&FBatch->FFEncoder, &info);
  EXPECT_EQ(FBatch->FTaskIndex, -1);
  EXPECT_EQ(State(0), "6");

  // Terminate: failed, then finished (its map entry becomes -1), then stopped.
  FBatch->FFailedCount = 0;
  FBatch->FFEncoderTerminate(&FBatch->FFEncoder, {1, false, true, "boom"});
  EXPECT_EQ(State(0), "15");
  EXPECT_EQ(Progress(0), "0");
  EXPECT_EQ(FBatch->FFailedCount, 1);
  FBatch->FFEncoderTerminate(&FBatch->FFEncoder, {0, true, false, ""});
  EXPECT_EQ(State(1), "16");
  EXPECT_EQ(Progress(1), "100");
  EXPECT_EQ(FBatch->TaskRow(0), -1);
  FList.SetValue("State", "13", 0);
  FBatch->FFEncoderTerminate(&FBatch->FFEncoder, {1, false, false, ""});
  EXPECT_EQ(State(0), "6");
  FBatch->FFEncoderTerminate(&FBatch->FFEncoder, {9, false, true, "no row"});
  EXPECT_EQ(FBatch->FFailedCount, 2);

  // End of all tasks with three failures.
  FBatch->FFailedCount = 3;
  FBatch->FFEncoderTerminate(&FBatch->FFEncoder, {-1, true, false, ""});
  ASSERT_EQ(FUI.Messages.size(), 1u);
  EXPECT_EQ(FUI.Messages[0].Key, "MsgBox.CannotConvertM");
  EXPECT_EQ(FUI.Messages[0].Args, QStringList{"3"});
  EXPECT_EQ(FBatch->ConvertState(), csReady);
  EXPECT_TRUE(FBatch->FTaskIndexList.isEmpty());
  ASSERT_EQ(FUI.Finished.size(), 1u);
  EXPECT_EQ(FUI.Finished[0].second, 3);
}

TEST_F(BatchCoreTest, NothingReadyOrNothingCreatableStartsNoBatch) {
  Add(ClipShort());
  FList.SetValue("State", "16", 0);
  EXPECT_FALSE(FBatch->Start());
  ASSERT_EQ(FUI.Messages.size(), 1u);
  EXPECT_EQ(FUI.Messages[0].Key, "MsgBox.NoTask");
  EXPECT_EQ(FBatch->ConvertState(), csReady);

  // A row whose output cannot be set gets no task and keeps state 6.
  FList.SetValue("State", "6", 0);
  ASSERT_TRUE(Settings()->SetSettingInteger("LastTpl", 2));
  EXPECT_FALSE(FBatch->Start());
  EXPECT_EQ(FUI.Messages.back().Key, "MsgBox.NoTask");
  ASSERT_EQ(FUI.NotCreated.size(), 1);
  EXPECT_TRUE(FUI.NotCreated[0].startsWith("0: ")) << FUI.NotCreated[0].toStdString();
  EXPECT_EQ(State(0), "6");

  // A source that vanished after it was added: "Load file Error!".
  vmtest::TempDir tmp;
  const std::string gone = tmp.File("gone.mp4");
  std::filesystem::copy_file(ClipShort(), gone);
  Add(gone);
  std::filesystem::remove(gone);
  ASSERT_TRUE(Settings()->SetSettingInteger("LastTpl", 0));
  FList.SetValue("State", "16", 0);
  EXPECT_FALSE(FBatch->Start());
  EXPECT_EQ(FUI.Plain.last(), "Load file Error!");
}

TEST_F(BatchCoreTest, FirstFailsSecondFinishes) {
  ASSERT_TRUE(Settings()->SetSettingInteger("LastTpl", 1));
  ASSERT_TRUE(Settings()->SetSettingInteger("Convert.Threads", 2));
  Add(ClipOdd());
  Add(ClipShort());
  ASSERT_TRUE(FBatch->Start());
  EXPECT_EQ(FBatch->FFEncoder.ThreadCount, 2);
  // Every queued task carries it (tasks copy it when they are added).
  ASSERT_GT(FBatch->FFEncoder.TasksCount(), 0);
  for (int i = 0; i < FBatch->FFEncoder.TasksCount(); ++i)
    EXPECT_EQ(FBatch->FFEncoder.Tasks(i)->Fthread_count, 2) << i;
  EXPECT_EQ(FBatch->ConvertState(), csProgressing);
  ASSERT_TRUE(RunBatch());

  EXPECT_EQ(State(0), "15");
  EXPECT_EQ(Progress(0), "0");
  EXPECT_EQ(State(1), "16");
  EXPECT_EQ(Progress(1), "100");
  ASSERT_EQ(FUI.Messages.size(), 1u);
  EXPECT_EQ(FUI.Messages[0].Key, "MsgBox.CannotConvert");
  EXPECT_EQ(FUI.Messages[0].Args, QStringList{"1"});
  const std::string out = FList.GetValue("OutputFileName", 1).toStdString();
  EXPECT_EQ(vmtest::Probe(out, "stream=codec_name", "v:0")["codec_name"], "h264");
  EXPECT_TRUE(FBatch->FTaskIndexList.isEmpty());
  EXPECT_EQ(FBatch->FFEncoder.TasksCount(), 0);

  // Done and failed rows are not converted again by a later start.
  EXPECT_FALSE(FBatch->Start());
  EXPECT_EQ(FUI.Messages.back().Key, "MsgBox.NoTask");
}

TEST_F(BatchCoreTest, PauseResumeThenStopLeavesEveryRowReady) {
  vmtest::TempDir sources;
  for (int i = 0; i < 3; ++i) {
    const std::string copy = sources.File("long" + std::to_string(i) + ".mp4");
    std::filesystem::copy_file(ClipLong(), copy);
    Add(copy);
  }
  std::vector<QString> rowStates;
  bool paused = false, stopped = false;
  ASSERT_TRUE(FBatch->Start());
  ASSERT_TRUE(RunBatch([&] {
    if (stopped || FUI.ProgressRows.empty())
      return;
    if (!paused) {
      rowStates.push_back(State(0));
      FBatch->Pause();
      paused = true;
      rowStates.push_back(State(0));
      EXPECT_EQ(FBatch->ConvertState(), csPause);
      return;
    }
    // Paused: no further progress reaches the row.
    const size_t events = FUI.ProgressRows.size();
    CheckSynchronize(300);
    EXPECT_EQ(FUI.ProgressRows.size(), events);
    FBatch->Resume();
    rowStates.push_back(State(0));
    EXPECT_TRUE(FBatch->Stop(true)); // answered Yes
    stopped = true;
  }));
  EXPECT_EQ(rowStates, (std::vector<QString>{"13", "14", "13"}));
  EXPECT_EQ(FUI.Messages.front().Key, "MsgBox.StopConversion");
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(State(row), "6") << row;
    EXPECT_EQ(Progress(row), "0") << row;
  }
  // The stopped task's partial output is a closed, readable file.
  const std::string partial = FList.GetValue("OutputFileName", 0).toStdString();
  EXPECT_EQ(vmtest::Probe(partial, "stream=codec_name", "v:0")["codec_name"], "h264");
  EXPECT_EQ(FUI.Messages.size(), 1u); // no failure message

  // Stop answered No changes nothing; a new start converts all three.
  FUI.Answer = TBatchUI::mrNo;
  FUI.OnProgress = [&](int) { EXPECT_FALSE(FBatch->Stop(true)); };
  ASSERT_TRUE(FBatch->Start());
  ASSERT_TRUE(RunBatch());
  for (int row = 0; row < 3; ++row)
    EXPECT_EQ(State(row), "16") << row;
  // The second run's names did not replace the first run's partial file.
  EXPECT_NE(FList.GetValue("OutputFileName", 0).toStdString(), partial);
}
