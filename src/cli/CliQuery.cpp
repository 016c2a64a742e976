// The query commands: "profiles" and "info".

#include "cli/CliSupport.h"
#include "media/FFDecode.h"
#include "platform/Folders.h"
#include "profiles/uFormatTemplate.h"
#include "services/CLSettings.h"
#include "workflow/OptionAssembly.h"

#include <QFileInfo>

int RunProfiles(const QStringList &aArgs) {
  QString device;
  bool filter = false;
  for (qsizetype i = 0; i < aArgs.size(); ++i) {
    if (aArgs[i] == u"--device" && i + 1 < aArgs.size()) {
      device = aArgs[++i];
      filter = true;
    } else if (aArgs[i] == u"--device") {
      Fail(QStringLiteral("--device needs a value"));
      return ceUsage;
    } else {
      Fail(QStringLiteral("unknown option \"%1\" for profiles").arg(aArgs[i]));
      return ceUsage;
    }
  }

  const QString folder = ApplicationFolder();
  TFormatTpl tpl(JoinPath(folder, QStringLiteral("format.ini")),
                 JoinPath(Settings()->UserDataPath(), QStringLiteral("format.ini")));
  const int count = tpl.GetCount();
  if (count == 0) {
    Fail(QStringLiteral("no output profiles (missing or empty %1)")
             .arg(JoinPath(folder, QStringLiteral("format.ini"))));
    return ceFailed;
  }
  const TFormatDictionary dictionary(tpl.GetDictionarySourceStr());

  Out(QStringLiteral("INDEX\tCAPTION\tDEVICE\tBRAND\tMODEL\tSTYLE"));
  int shown = 0;
  for (int i = 0; i < count; ++i) {
    const tagTplItem item = tpl.GetTplItemSourcebyIndex(i);
    if (filter && item.device.compare(device, Qt::CaseInsensitive) != 0)
      continue;
    QString style = dictionary.GetItemCaptionByValue(QStringLiteral("style"), item.sid);
    if (style.isEmpty())
      style = item.sid;
    Out(QStringLiteral("%1\t%2(%3)\t%4\t%5\t%6\t%7")
            .arg(i)
            .arg(item.name, item.format, item.device, item.brand, item.modal, style));
    ++shown;
  }
  if (filter && shown == 0) {
    Fail(QStringLiteral("no profile of device \"%1\"").arg(device));
    return ceFailed;
  }
  return ceOK;
}

int RunInfo(const QStringList &aArgs) {
  if (aArgs.size() != 1 || aArgs[0].startsWith(u"--")) {
    Fail(aArgs.isEmpty() ? QStringLiteral("info needs one FILE")
                         : QStringLiteral("usage: videomill-cli info FILE"));
    return ceUsage;
  }
  const QString file = aArgs[0];
  if (!QFileInfo(file).isFile()) {
    Fail(QStringLiteral("no such file: %1").arg(file));
    return ceFailed;
  }
  TFFDecoder decoder;
  if (!decoder.LoadAVLib(ApplicationFolder().toStdString())) {
    Fail(QString::fromStdString(decoder.LastErrMsg()));
    return ceFailed;
  }
  if (!decoder.LoadFile(file.toStdString())) {
    Fail(QStringLiteral("not a media file: %1 (%2)")
             .arg(file, QString::fromStdString(decoder.LastErrMsg())));
    return ceFailed;
  }
  Out(QString::fromStdString(decoder.FileInfoText()));
  return ceOK;
}
