#pragma once
// Batch conversion: the widget-free heart of the conversion controller.
//
// TBatchCore owns the encoder, the preview and spare decoders, the format
// template library and the option assembly; it turns the ready rows of the
// source item store into encoder tasks, follows the encoder's progress and
// terminate events into the rows ("Progress", "State") and counts the
// failures. What the user sees (message boxes, panels, preview, taskbar or a
// terminal line) goes through TBatchUI. TfrmCore wraps this class;
// videomill-cli drives it directly.
//
// Threads: everything runs on the main thread. The encoder delivers its
// events there through the engine's synchronisation queue, so the host must
// drain the queue (CheckSynchronize) while a batch runs: the Qt application
// from its wake hook, the CLI in its own loop.

#include "engine/FFEncode.h"
#include "workflow/ListItems.h"
#include "workflow/OptionAssembly.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class TFormatTpl;

// The controller's batch state (one byte). csFinished is declared and never
// entered.
enum TConvertState : uint8_t { csReady, csProgressing, csPause, csFinished };

// What the batch shows to the user. The GUI implements it with message boxes
// and its panels, the CLI with terminal output. Every call comes on the main
// thread.
class TBatchUI {
public:
  enum TIcon { iconError, iconInformation };
  enum TButtons { btnOK, btnYesNo };
  static constexpr int mrOK = 1;
  static constexpr int mrYes = 6;
  static constexpr int mrNo = 7;

  virtual ~TBatchUI() = default;

  // A message by key of section "AppRes" of the language data, its "{1}",
  // "{2}", ... filled from aArgs. Returns mrOK, mrYes or mrNo.
  virtual int ShowMessageKey(const QString &aKey, const QStringList &aArgs, TIcon aIcon,
                             TButtons aButtons) = 0;
  // A plain (untranslated) message such as "Load file Error!".
  virtual void ShowPlainMessage(const QString &aText) = 0;

  // Row values changed: repaint the list.
  virtual void ListChanged() {}
  // The batch state changed (enable or disable the list and the preview).
  virtual void ConvertStateChanged(TConvertState) {}
  // Row aRow could not be queued (its task could not be created or its
  // output not set); aMessage is the encoder's error text. The row keeps
  // state 6.
  virtual void TaskNotCreated(int /*aRow*/, const QString & /*aMessage*/) {}
  // After a progress event updated row aRow. aPercent is the whole percent
  // written to the row, or -1 when the total duration is unknown.
  virtual void TaskProgress(int /*aRow*/, const TProgressInfo & /*aInfo*/, int /*aPercent*/) {}
  // After a task's end updated row aRow (-1 when the task maps to no row).
  virtual void TaskTerminated(int /*aRow*/, const TTerminateInfo & /*aInfo*/) {}
  // The end of the batch, after the failure message and before the state
  // returns to csReady: restore the output panel, the window and the preview.
  // aLastRow: the row of the last progress event (FTaskIndex).
  virtual void BatchFinished(int /*aLastRow*/, int /*aFailedCount*/) {}
};

class TBatchCore {
public:
  // aList and aUI must outlive the core.
  TBatchCore(TListItemStore &aList, TBatchUI &aUI);
  ~TBatchCore();
  TBatchCore(const TBatchCore &) = delete;
  TBatchCore &operator=(const TBatchCore &) = delete;

  // Creation: opens the template library (aAppFolder + "format.ini"), loads
  // the media libraries of both decoders and the encoder from aAppFolder
  // unless already loaded, and empties the task map. On a library failure the
  // component's error text is shown as a plain message and false is returned.
  bool Init(const QString &aAppFolder);

  TFormatTpl *GetTpl() { return FTpl.get(); }
  // The option assembly; valid after Init. Its overwrite question goes to
  // the UI as "MsgBox.OverwriteExists".
  TOptionAssembly &Options() { return *FOptions; }
  TListItemStore &List() { return FList; }

  TConvertState ConvertState() const { return FConvertState; }
  void SetConvertState(TConvertState aValue);

  // Waits 100 ms, removes all encoder tasks and empties the task map (and the
  // output names reserved by the option assembly).
  void ClearTask();
  // Creates the encoder task of row aIndex; true when one was created.
  bool AddToTask(int aIndex);
  // AddTask + SetOutputFile (the task is removed again when the output cannot
  // be set). The new task's index, or -1.
  int AddConvertTask(const TInputOptions &aInput, const TOutputOptions &aOutput);
  // The same for a DVD title: default input options, aDVDParam as the input.
  int AddDVDConvertTask(const QString &aDVDParam, const TOutputOptions &aOutput);
  // Resets the failure count and starts the encoder: one worker thread at
  // lower priority, codec threads from the setting "Convert.Threads".
  void StartTask();

  // The Start button after the destination was checked: queues every row in
  // state 6; without any, shows "MsgBox.NoTask" and returns false. Otherwise
  // starts the batch and enters csProgressing.
  bool Start();
  // Pause and Resume of the running batch (rows of the current task get 14
  // and 13).
  void Pause();
  void Resume();
  // Stop: with aAsk, asks "MsgBox.StopConversion" first and does nothing on
  // No. Then stops the encoder, waiting for the running task (the queue is
  // drained meanwhile). The batch then ends through the terminate events.
  // True when the encoder was told to stop.
  bool Stop(bool aAsk);

  // The encoder's event handlers.
  void FFEncoderProgress(TCustomEncoder *Sender, TProgressInfo *AProgressInfo);
  void FFEncoderTerminate(TCustomEncoder *Sender, const TTerminateInfo &ATerminateInfo);

  // Row of a task in the task map; -1 when it has none.
  int TaskRow(int aTaskIndex) const;

  // "%.2d:%.2d:%.2d" hours, minutes, seconds of a microsecond value
  // (truncating 64-bit arithmetic; hours do not wrap).
  static QString DurationToStr(int64_t ADuration);

  // Components (created with the core).
  TFFEncoder FFEncoder;
  TFFDecoder FFDecoder;    // preview decoder; opens each item while its task is created
  TFFDecoder FFDecoderExt; // spare decoder for inspecting added files

  // Task map: lines taskIndex=rowIndex.
  QStringList FTaskIndexList;
  TConvertState FConvertState = csReady;
  int FFailedCount = 0;
  // Row of the task most recently reported by a progress event; -1 none.
  int FTaskIndex = -1;
  // Set when the output settings changed; consumed by the list's reset.
  bool FOutputChanged = false;

private:
  void SetRow(int aRow, const QString &aProgress, int aState);

  TListItemStore &FList;
  TBatchUI &FUI;
  std::unique_ptr<TFormatTpl> FTpl;
  std::unique_ptr<TOptionAssembly> FOptions;
};
