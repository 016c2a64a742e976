// videomill-cli: the headless front end over the engine, the template
// library, the option assembly and the batch logic of the application.
//
//   videomill-cli profiles [--device NAME]
//   videomill-cli info FILE
//   videomill-cli convert FILE... [options]   (see Usage)
//
// Runs without a display (QCoreApplication). The user's settings file is read
// (profile parameter overrides, "LastTpl", "Convert.Threads") but one-off
// values given on the command line go into the engine core's override list
// only, so the file keeps its values.

#include "cli/CliSupport.h"
#include "services/CLEngineCore.h"
#include "services/CLSettings.h"

#include <QCoreApplication>

namespace {

const char *kUsage = R"USAGE(Usage:
  videomill-cli profiles [--device NAME]
      List the output profiles: index, caption, device, brand, model, style.
  videomill-cli info FILE
      Describe the streams of a media file.
  videomill-cli convert FILE... [options]
      Convert files with an output profile.
      --profile INDEX          profile by index (default: the application's last profile)
      --caption "NAME(.EXT)" profile by caption,
           as listed by "profiles" --dest DIR destination folder,
           created when missing(default
                                :.)-- set PARAMETER = VALUE one - off profile
                                                      parameter(video_size, video_framerate,
                                                                video_encoder, video_bitrate,
                                                                audio_samplerate, audio_channel,
                                                                audio_encoder, audio_bitrate);
repeatable-- trim START - END convert only this range;
times in seconds or [hh:] mm : ss[.fff]-- crop L, T, R, B pixels cut from the left, top,
    right and bottom edges-- volume PERCENT audio
            volume(100 unchanged, 0 no audio)-- overwrite replace existing output files-- no
        -
        overwrite never replace an existing file : use name_(k).ext(
                                                       default)-- threads N codec threads per
                                                   task(0 = one per core) Ctrl
        + C stops the batch; files written so far are closed and playable.
Exit status: 0 all converted, 1 failure, 2 bad command line, 3 stopped.
)USAGE";

} // namespace

int main(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("videomill-cli"));

  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty()) {
    Err(QString::fromUtf8(kUsage));
    return ceUsage;
  }
  const QString command = args.takeFirst();
  if (command == u"help" || command == u"--help" || command == u"-h") {
    Out(QString::fromUtf8(kUsage));
    return ceOK;
  }

  // The override and default layers of the settings store; no window.
  TCLEngineCore core;
  int result = ceUsage;
  if (command == u"profiles")
    result = RunProfiles(args);
  else if (command == u"info")
    result = RunInfo(args);
  else if (command == u"convert")
    result = RunConvert(args);
  else {
    Fail(QStringLiteral("unknown command \"%1\" (try: videomill-cli help)").arg(command));
    return ceUsage;
  }
  FreeSettings();
  return result;
}
