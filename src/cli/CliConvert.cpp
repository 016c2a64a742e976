// The "convert" command: the application's item store, option assembly and
// batch logic with terminal output instead of windows.

#include "cli/CliSupport.h"
#include "engine/FFLog.h"
#include "engine/FFSync.h"
#include "platform/Folders.h"
#include "profiles/uFormatTemplate.h"
#include "services/CLEngineCore.h"
#include "services/CLSettings.h"
#include "workflow/BatchCore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// Set by SIGINT/SIGTERM; polled by the loop that drains the engine's queue.
// The handler touches nothing else.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int aSignal) {
  gStopSignal.store(aSignal);
}

void InstallStopSignals() {
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

struct TConvertArgs {
  QStringList Files;
  int Profile = -1; // -1: not given
  QString Caption;
  QString Dest;
  QStringList Sets; // name=value
  bool HasTrim = false;
  int64_t TrimStart = 0, TrimEnd = 0; // µs
  bool HasCrop = false;
  int Crop[4] = {0, 0, 0, 0};
  int Volume = -1; // -1: not given
  bool Overwrite = false;
  int Threads = -1; // -1: not given
  QString Log;      // engine log level; empty: the engine stays silent
};

// Seconds ("12.5") or [hh:]mm:ss[.fff] -> µs; false when malformed.
bool ParseTime(const QString &aText, int64_t &aResult) {
  static const QRegularExpression re(
      QStringLiteral("^(?:(?:(\\d+):)?(\\d+):)?(\\d+(?:\\.\\d{1,6})?)$"));
  const QRegularExpressionMatch m = re.match(aText.trimmed());
  if (!m.hasMatch())
    return false;
  const double seconds = m.captured(3).toDouble();
  const int64_t minutes = m.captured(2).isEmpty() ? 0 : m.captured(2).toLongLong();
  const int64_t hours = m.captured(1).isEmpty() ? 0 : m.captured(1).toLongLong();
  aResult = (hours * 3600 + minutes * 60) * 1000000 + static_cast<int64_t>(seconds * 1e6 + 0.5);
  return true;
}

bool ParseInt(const QString &aText, int aMin, int aMax, int &aResult) {
  bool ok = false;
  const int v = aText.trimmed().toInt(&ok);
  if (!ok || v < aMin || v > aMax)
    return false;
  aResult = v;
  return true;
}

// Parses the arguments of "convert"; prints the problem and returns false.
bool ParseConvertArgs(const QStringList &aArgs, TConvertArgs &a) {
  bool optionsEnded = false;
  for (qsizetype i = 0; i < aArgs.size(); ++i) {
    const QString &arg = aArgs[i];
    if (optionsEnded || !arg.startsWith(u"--")) {
      a.Files << arg;
      continue;
    }
    if (arg == u"--") {
      optionsEnded = true;
      continue;
    }
    if (arg == u"--overwrite" || arg == u"--no-overwrite") {
      a.Overwrite = arg == u"--overwrite";
      continue;
    }
    static const QStringList withValue = {"--profile", "--caption", "--dest",    "--set", "--trim",
                                          "--crop",    "--volume",  "--threads", "--log"};
    if (!withValue.contains(arg)) {
      Fail(QStringLiteral("unknown option \"%1\" (try: videomill-cli help)").arg(arg));
      return false;
    }
    if (i + 1 >= aArgs.size()) {
      Fail(QStringLiteral("%1 needs a value").arg(arg));
      return false;
    }
    const QString value = aArgs[++i];
    if (arg == u"--profile") {
      if (!ParseInt(value, 0, INT32_MAX, a.Profile)) {
        Fail(QStringLiteral("--profile needs a profile index, not \"%1\"").arg(value));
        return false;
      }
    } else if (arg == u"--caption") {
      a.Caption = value;
    } else if (arg == u"--dest") {
      a.Dest = value;
    } else if (arg == u"--set") {
      const qsizetype eq = value.indexOf(u'=');
      const QString name = eq > 0 ? value.left(eq).trimmed() : QString();
      bool known = false;
      for (const QString &p : TplParamNames())
        known = known || p.compare(name, Qt::CaseInsensitive) == 0;
      if (!known || value.contains(u'\n')) {
        Fail(QStringLiteral("--set needs PARAMETER=VALUE with one of: %1")
                 .arg(TplParamNames().join(QStringLiteral(", "))));
        return false;
      }
      a.Sets << name.toLower() + u'=' + value.mid(eq + 1).trimmed();
    } else if (arg == u"--trim") {
      const QStringList parts = value.split(u'-');
      if (parts.size() != 2 || !ParseTime(parts[0], a.TrimStart) ||
          !ParseTime(parts[1], a.TrimEnd) || a.TrimEnd <= a.TrimStart) {
        Fail(QStringLiteral("--trim needs START-END with START before END, not \"%1\"").arg(value));
        return false;
      }
      a.HasTrim = true;
    } else if (arg == u"--crop") {
      const QStringList parts = value.split(u',');
      bool ok = parts.size() == 4;
      for (int k = 0; ok && k < 4; ++k)
        ok = ParseInt(parts[k], 0, 100000, a.Crop[k]);
      if (!ok) {
        Fail(QStringLiteral("--crop needs four pixel counts L,T,R,B, not \"%1\"").arg(value));
        return false;
      }
      a.HasCrop = true;
    } else if (arg == u"--volume") {
      if (!ParseInt(value, 0, 10000, a.Volume)) {
        Fail(QStringLiteral("--volume needs a percentage (0 to 10000), not \"%1\"").arg(value));
        return false;
      }
    } else if (arg == u"--log") {
      if (!FFLogger().OptLogLevel(value.toStdString())) {
        Fail(QStringLiteral("--log needs quiet, panic, fatal, error, warning, info, verbose or "
                            "debug, not \"%1\"")
                 .arg(value));
        return false;
      }
      a.Log = value;
    } else if (arg == u"--threads") {
      if (!ParseInt(value, 0, 64, a.Threads)) {
        Fail(QStringLiteral("--threads needs a count from 0 to 64, not \"%1\"").arg(value));
        return false;
      }
    }
  }
  if (a.Files.isEmpty()) {
    Fail(QStringLiteral("convert needs at least one FILE"));
    return false;
  }
  if (a.Profile >= 0 && !a.Caption.isEmpty()) {
    Fail(QStringLiteral("give either --profile or --caption, not both"));
    return false;
  }
  return true;
}

// The terminal side of the batch.
class TCliBatchUI : public TBatchUI {
public:
  explicit TCliBatchUI(TListItemStore &aList) : FList(aList), FTty(isatty(STDOUT_FILENO) == 1) {}

  int ShowMessageKey(const QString &aKey, const QStringList &aArgs, TIcon,
                     TButtons aButtons) override {
    EndLiveLine();
    // The questions are answered by the command line: Stop comes from a
    // signal, overwriting from --overwrite.
    if (aKey == u"MsgBox.StopConversion")
      return mrYes;
    if (aKey == u"MsgBox.OverwriteExists")
      return FOverwrite ? mrYes : mrNo;
    Fail(AppMessage(aKey, aArgs));
    return aButtons == btnYesNo ? mrNo : mrOK;
  }
  void ShowPlainMessage(const QString &aText) override {
    EndLiveLine();
    Fail(aText);
  }
  void TaskNotCreated(int aRow, const QString &aMessage) override {
    EndLiveLine();
    Fail(QStringLiteral("%1: cannot convert: %2").arg(FList.Caption(aRow), aMessage));
  }

  void TaskProgress(int aRow, const TProgressInfo &aInfo, int aPercent) override {
    if (aRow != FRow) {
      EndLiveLine();
      FRow = aRow;
      FItemClock.start();
      FLastPlain = -1;
    }
    const int64_t elapsed = FItemClock.elapsed() * 1000;
    QString line =
        QStringLiteral("[%1/%2] %3  ").arg(aRow + 1).arg(FList.Count()).arg(FList.Caption(aRow));
    line += aPercent >= 0 ? QStringLiteral("%1%").arg(aPercent, 3) : QStringLiteral("  ?%");
    line += QStringLiteral("  fps %1").arg(aInfo.FPS < 0 ? 0 : aInfo.FPS);
    line += QStringLiteral("  elapsed %1").arg(ClockText(elapsed));
    if (aPercent > 0 && aInfo.TotalDuration > 0 && aInfo.CurrentDuration > 0 &&
        aInfo.CurrentDuration < aInfo.TotalDuration) {
      const double done = static_cast<double>(aInfo.CurrentDuration) / aInfo.TotalDuration;
      line += QStringLiteral("  remaining %1")
                  .arg(ClockText(static_cast<int64_t>(elapsed * (1.0 - done) / done)));
    } else {
      line += QStringLiteral("  remaining --:--:--");
    }
    if (FTty) {
      const QByteArray bytes = ("\r" + line + "\033[K").toUtf8();
      std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
      std::fflush(stdout);
      FLive = true;
    } else if (FLastPlain < 0 || FItemClock.elapsed() - FLastPlain >= 2000) {
      // Plain output (logs, pipes): one line every two seconds at most.
      FLastPlain = FItemClock.elapsed();
      Out(line);
    }
  }

  void TaskTerminated(int aRow, const TTerminateInfo &aInfo) override {
    EndLiveLine();
    if (aRow < 0)
      return;
    const QString name = FList.Caption(aRow);
    const QString output = FList.GetValue(QStringLiteral("OutputFileName"), aRow);
    if (aInfo.Finished)
      Out(QStringLiteral("[%1/%2] %3 -> %4: done")
              .arg(aRow + 1)
              .arg(FList.Count())
              .arg(name, output));
    else if (aInfo.Exception)
      Err(QStringLiteral("[%1/%2] %3: failed: %4")
              .arg(aRow + 1)
              .arg(FList.Count())
              .arg(name, QString::fromStdString(aInfo.ExceptionMsg)));
    else
      Out(QStringLiteral("[%1/%2] %3: stopped%4")
              .arg(aRow + 1)
              .arg(FList.Count())
              .arg(name, QFileInfo::exists(output) ? " (partial output kept: " + output + ")"
                                                   : QString()));
    FRow = -1;
  }

  // Answer to "MsgBox.OverwriteExists".
  bool FOverwrite = false;

  void EndLiveLine() {
    if (FLive) {
      std::fputc('\n', stdout);
      std::fflush(stdout);
      FLive = false;
    }
  }

private:
  TListItemStore &FList;
  bool FTty;
  bool FLive = false;
  int FRow = -1;
  QElapsedTimer FItemClock;
  qint64 FLastPlain = -1;
};

} // namespace

int RunConvert(const QStringList &aArgs) {
  TConvertArgs a;
  if (!ParseConvertArgs(aArgs, a))
    return ceUsage;

  if (!a.Log.isEmpty()) {
    // Engine messages go straight to standard error from whichever thread
    // logs; the conversion never waits for the main thread to print them.
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([](const void *, std::thread::id, TLogLevel, const std::string &aMsg) {
      std::fprintf(stderr, "%s\n", aMsg.c_str());
    });
  }

  TCLEngineCore *core = CLEngineCore();
  TListItemStore list;
  TCliBatchUI ui(list);
  TBatchCore batch(list, ui);
  if (!batch.Init(ApplicationFolder()))
    return ceFailed;

  // Profile.
  TFormatTpl &tpl = *batch.GetTpl();
  const int count = tpl.GetCount();
  if (count == 0) {
    Fail(QStringLiteral("no output profiles (missing or empty %1format.ini)")
             .arg(ApplicationFolder()));
    return ceFailed;
  }
  int profile = a.Profile;
  if (!a.Caption.isEmpty()) {
    profile = tpl.GetTplItemIndexfromCaption(a.Caption);
    if (profile < 0) {
      Fail(QStringLiteral("no profile with the caption \"%1\" (see: videomill-cli profiles)")
               .arg(a.Caption));
      return ceFailed;
    }
  }
  if (profile >= count) {
    Fail(QStringLiteral("profile index %1 is out of range (0 to %2)").arg(profile).arg(count - 1));
    return ceFailed;
  }
  // One-off values: override layer only, the settings file is not written.
  if (profile >= 0)
    core->FSettingOverwrite << QStringLiteral("LastTpl=%1").arg(profile);
  profile = batch.Options().CurrentTplIndex();
  for (const QString &set : a.Sets) {
    const qsizetype eq = set.indexOf(u'=');
    core->FSettingOverwrite.prepend(TplSettingKey(profile, set.left(eq)) + set.mid(eq));
  }
  if (a.Threads >= 0)
    core->FSettingOverwrite << QStringLiteral("Convert.Threads=%1").arg(a.Threads);

  // Destination.
  const QString dest = QDir(a.Dest.isEmpty() ? QStringLiteral(".") : a.Dest).absolutePath();
  if (!ForceFolder(dest) || !IsFolderWriteable(dest)) {
    Fail(AppMessage(QStringLiteral("MsgBox.DestPathNotExists")) + QStringLiteral(" (") + dest +
         u')');
    return ceFailed;
  }
  batch.Options().FDestPath = dest;
  ui.FOverwrite = a.Overwrite;

  // Sources: every file is checked before anything is converted.
  bool inputsOK = true;
  for (const QString &file : a.Files) {
    const QFileInfo fi(file);
    if (!fi.exists()) {
      Fail(QStringLiteral("no such file: %1").arg(file));
      inputsOK = false;
      continue;
    }
    if (!fi.isFile()) {
      Fail(QStringLiteral("not a file: %1").arg(file));
      inputsOK = false;
      continue;
    }
    QString err;
    switch (list.AddToList(fi.absoluteFilePath(), batch.FFDecoderExt, &err)) {
    case TListItemStore::arAdded:
      break;
    case TListItemStore::arDuplicate:
      Err(QStringLiteral("videomill-cli: %1 is already in the list, skipped").arg(file));
      break;
    case TListItemStore::arLoadError:
      Fail(QStringLiteral("not a media file: %1 (***File load error: %2)").arg(file, err));
      inputsOK = false;
      break;
    }
  }
  if (!inputsOK)
    return ceFailed;

  // The preview editor's values, the same for every item.
  for (int row = 0; row < list.Count(); ++row) {
    if (a.HasTrim) {
      list.SetValue(QStringLiteral("StartPts"), QString::number(a.TrimStart), row);
      list.SetValue(QStringLiteral("EndPts"), QString::number(a.TrimEnd), row);
    }
    if (a.HasCrop) {
      const char *keys[] = {"CropLeft", "CropTop", "CropRight", "CropBottom"};
      for (int k = 0; k < 4; ++k)
        list.SetValue(QString::fromLatin1(keys[k]), QString::number(a.Crop[k]), row);
    }
    if (a.Volume >= 0)
      list.SetValue(QStringLiteral("Sound"), QString::number(a.Volume), row);
  }

  const tagTplItem item = batch.Options().CurrentTplItem();
  Out(QStringLiteral("Profile %1: %2(%3) -> %4").arg(profile).arg(item.name, item.format, dest));

  InstallStopSignals();
  if (!batch.Start())
    return ceFailed;

  bool stopping = false;
  while (batch.ConvertState() != csReady) {
    CheckSynchronize(100);
    if (gStopSignal.load() != 0 && !stopping) {
      stopping = true;
      ui.EndLiveLine();
      Err(QStringLiteral("videomill-cli: stopping..."));
      batch.Stop(false);
    }
  }
  ui.EndLiveLine();

  int done = 0, failed = 0, left = 0;
  for (int row = 0; row < list.Count(); ++row) {
    const int state = list.GetValue(QStringLiteral("State"), row).toInt();
    if (state == isDone)
      ++done;
    else if (state == isFailed)
      ++failed;
    else
      ++left;
  }
  Out(QStringLiteral("%1 of %2 converted, %3 failed, %4 not converted")
          .arg(done)
          .arg(list.Count())
          .arg(failed)
          .arg(left));
  if (stopping)
    return ceStopped;
  return done == list.Count() ? ceOK : ceFailed;
}
