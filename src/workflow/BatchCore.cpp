#include "workflow/BatchCore.h"

#include "profiles/uFormatTemplate.h"
#include "services/CLSettings.h"

#include <chrono>
#include <thread>

TBatchCore::TBatchCore(TListItemStore &aList, TBatchUI &aUI) : FList(aList), FUI(aUI) {
  FFEncoder.OnProgress = [this](TCustomEncoder *sender, TProgressInfo *info) {
    FFEncoderProgress(sender, info);
  };
  FFEncoder.OnTerminate = [this](TCustomEncoder *sender, const TTerminateInfo &info) {
    FFEncoderTerminate(sender, info);
  };
}

TBatchCore::~TBatchCore() {
  // No event may reach this object once it is gone.
  FFEncoder.OnProgress = nullptr;
  FFEncoder.OnTerminate = nullptr;
  if (FFEncoder.Working() && !FFEncoder.Terminated())
    FFEncoder.Stop(true);
}

bool TBatchCore::Init(const QString &aAppFolder) {
  FTpl = std::make_unique<TFormatTpl>(
      JoinPath(aAppFolder, QStringLiteral("format.ini")),
      JoinPath(Settings()->UserDataPath(), QStringLiteral("format.ini")));
  FOptions = std::make_unique<TOptionAssembly>(*FTpl, FList, FFDecoder);
  FOptions->OnOverwriteQuestion = [this](const QString &aFileName) {
    return FUI.ShowMessageKey(QStringLiteral("MsgBox.OverwriteExists"), {aFileName},
                              TBatchUI::iconInformation, TBatchUI::btnYesNo) == TBatchUI::mrYes;
  };

  const std::string folder = aAppFolder.toStdString();
  if (!FFDecoder.AVLibLoaded() && !FFDecoder.LoadAVLib(folder)) {
    FUI.ShowPlainMessage(QString::fromStdString(FFDecoder.LastErrMsg()));
    return false;
  }
  if (!FFDecoderExt.AVLibLoaded() && !FFDecoderExt.LoadAVLib(folder)) {
    FUI.ShowPlainMessage(QString::fromStdString(FFDecoderExt.LastErrMsg()));
    return false;
  }
  if (!FFEncoder.AVLibLoaded() && !FFEncoder.LoadAVLib(folder)) {
    FUI.ShowPlainMessage(QString::fromStdString(FFEncoder.LastErrMsg()));
    return false;
  }
  FTaskIndexList.clear();
  FOutputChanged = false;
  return true;
}

void TBatchCore::SetConvertState(TConvertState aValue) {
  FConvertState = aValue;
  FUI.ConvertStateChanged(aValue);
}

void TBatchCore::ClearTask() {
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  FFEncoder.ClearTasks();
  FTaskIndexList.clear();
  if (FOptions)
    FOptions->ClearReservedNames();
}

int TBatchCore::TaskRow(int aTaskIndex) const {
  const QString name = QString::number(aTaskIndex);
  for (const QString &line : FTaskIndexList) {
    if (ItemLineName(line) == name) {
      bool ok = false;
      const int row = line.mid(name.size() + 1).toInt(&ok);
      return ok ? row : -1;
    }
  }
  return -1;
}

int TBatchCore::AddConvertTask(const TInputOptions &aInput, const TOutputOptions &aOutput) {
  const int index = FFEncoder.AddTask(aInput.FileName, &aInput);
  if (index < 0)
    return -1;
  if (!FFEncoder.SetOutputFile(index, aOutput.FileName, &aOutput)) {
    // Keep the reason: removing the task does not touch LastErrMsg.
    FFEncoder.RemoveTask(index);
    return -1;
  }
  return index;
}

int TBatchCore::AddDVDConvertTask(const QString &aDVDParam, const TOutputOptions &aOutput) {
  TInputOptions input;
  InitInputOptions(input);
  input.FileName = aDVDParam.toStdString();
  return AddConvertTask(input, aOutput);
}

bool TBatchCore::AddToTask(int aIndex) {
  FFDecoder.CloseFile();
  const bool dvd = FList.IsDVDItem(aIndex);
  if (!dvd &&
      !FFDecoder.LoadFile(FList.GetValue(QStringLiteral("FileName"), aIndex).toStdString())) {
    FUI.ShowPlainMessage(QStringLiteral("Load file Error!"));
    FFDecoder.CloseFile();
    return false;
  }

  const TOutputOptions output = FOptions->GetOutputOptions(aIndex);
  int task;
  if (dvd)
    task = AddDVDConvertTask(FList.GetValue(QStringLiteral("DVDParam"), aIndex), output);
  else
    task = AddConvertTask(FOptions->GetInputOptions(aIndex), output);

  if (task >= 0)
    FTaskIndexList.append(QString::number(task) + u'=' + QString::number(aIndex));
  else
    FUI.TaskNotCreated(aIndex, QString::fromStdString(FFEncoder.LastErrMsg()));
  FFDecoder.CloseFile();
  return task >= 0;
}

void TBatchCore::StartTask() {
  FFailedCount = 0;
  FTaskIndex = -1;
  FFEncoder.ThreadPriority = tpLower;
  FFEncoder.Start(1);
}

bool TBatchCore::Start() {
  if (FConvertState != csReady)
    return false;
  ClearTask();
  // Each task takes the encoder's thread count when it is added.
  const int threads = Settings()->GetSettingInteger(QStringLiteral("Convert.Threads"));
  FFEncoder.ThreadCount = threads < 0 ? 0 : threads;
  int queued = 0;
  for (int row = 0; row < FList.Count(); ++row)
    if (FList.GetValue(QStringLiteral("State"), row) == QString::number(isReady))
      if (AddToTask(row))
        ++queued;
  if (queued == 0) {
    SetConvertState(csReady);
    FUI.ShowMessageKey(QStringLiteral("MsgBox.NoTask"), {}, TBatchUI::iconError, TBatchUI::btnOK);
    return false;
  }
  StartTask();
  SetConvertState(csProgressing);
  return true;
}

void TBatchCore::SetRow(int aRow, const QString &aProgress, int aState) {
  // A negative index would address the selected row: never write there.
  if (aRow < 0 || aRow >= FList.Count())
    return;
  if (!aProgress.isNull())
    FList.SetValue(QStringLiteral("Progress"), aProgress, aRow);
  FList.SetValue(QStringLiteral("State"), QString::number(aState), aRow);
  FUI.ListChanged();
}

void TBatchCore::Pause() {
  if (FConvertState != csProgressing)
    return;
  SetConvertState(csPause);
  FFEncoder.Pause();
  SetRow(FTaskIndex, QString(), isPaused);
}

void TBatchCore::Resume() {
  if (FConvertState != csPause)
    return;
  SetConvertState(csProgressing);
  FFEncoder.Resume();
  SetRow(FTaskIndex, QString(), isConverting);
}

bool TBatchCore::Stop(bool aAsk) {
  if (FConvertState == csReady)
    return false;
  if (aAsk && FUI.ShowMessageKey(QStringLiteral("MsgBox.StopConversion"), {},
                                 TBatchUI::iconInformation, TBatchUI::btnYesNo) != TBatchUI::mrYes)
    return false;
  FFEncoder.Stop(true);
  return true;
}

void TBatchCore::FFEncoderProgress(TCustomEncoder *, TProgressInfo *AProgressInfo) {
  const int row = TaskRow(AProgressInfo->TaskIndex);
  FTaskIndex = row;
  if (row < 0 || row >= FList.Count())
    return;

  if (FList.SelectedIndex() != row)
    FList.SetSelectedIndex(row);

  // Without a known total there is no percentage: the row keeps its last one.
  int percent = -1;
  if (AProgressInfo->TotalDuration > 0) {
    const int64_t p = AProgressInfo->CurrentDuration * 100 / AProgressInfo->TotalDuration;
    // Early events report a huge position before any packet was written.
    percent = static_cast<int>(p < 0 ? 0 : (p > 100 ? 100 : p));
  }
  SetRow(row, percent >= 0 ? QString::number(percent) : QString(), isConverting);
  FUI.TaskProgress(row, *AProgressInfo, percent);
  SetConvertState(csProgressing);
}

void TBatchCore::FFEncoderTerminate(TCustomEncoder *, const TTerminateInfo &ATerminateInfo) {
  if (ATerminateInfo.TaskIndex >= 0) {
    const int row = TaskRow(ATerminateInfo.TaskIndex);
    if (ATerminateInfo.Finished) {
      SetRow(row, QStringLiteral("100"), isDone);
      for (QString &line : FTaskIndexList)
        if (ItemLineName(line) == QString::number(ATerminateInfo.TaskIndex))
          line = QString::number(ATerminateInfo.TaskIndex) + QStringLiteral("=-1");
    } else if (ATerminateInfo.Exception) {
      SetRow(row, QStringLiteral("0"), isFailed);
      ++FFailedCount;
    } else {
      SetRow(row, QStringLiteral("0"), isReady);
    }
    FUI.TaskTerminated(row, ATerminateInfo);
    return;
  }

  // The end of all tasks.
  if (FFailedCount == 1)
    FUI.ShowMessageKey(QStringLiteral("MsgBox.CannotConvert"), {QString::number(FFailedCount)},
                       TBatchUI::iconError, TBatchUI::btnOK);
  else if (FFailedCount > 1)
    FUI.ShowMessageKey(QStringLiteral("MsgBox.CannotConvertM"), {QString::number(FFailedCount)},
                       TBatchUI::iconError, TBatchUI::btnOK);
  FUI.BatchFinished(FTaskIndex, FFailedCount);
  SetConvertState(csReady);
  ClearTask();
}

QString TBatchCore::DurationToStr(int64_t ADuration) {
  const int64_t s = ADuration / 1000000;
  return QString::asprintf("%.2lld:%.2lld:%.2lld", static_cast<long long>(s / 3600),
                           static_cast<long long>((s / 60) % 60), static_cast<long long>(s % 60));
}
