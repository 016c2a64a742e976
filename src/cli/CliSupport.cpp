#include "cli/CliSupport.h"

#include "services/CLSettings.h"

#include <cstdio>

namespace {

struct TFallbackText {
  const char *Key;
  const char *Text;
};

// Used only when the language file lacks the key.
const TFallbackText kFallback[] = {
    {"MsgBox.NoTask", "There is no file to convert."},
    {"MsgBox.CannotConvert", "{1} file could not be converted."},
    {"MsgBox.CannotConvertM", "{1} files could not be converted."},
    {"MsgBox.DestPathNotExists", "The destination folder does not exist and cannot be created."},
    {"MsgBox.OverwriteExists", "The file \"{1}\" already exists. Overwrite it?"},
    {"MsgBox.StopConversion", "Stop the conversion?"},
};

void Print(FILE *aStream, const QString &aLine) {
  const QByteArray bytes = aLine.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), aStream);
  std::fputc('\n', aStream);
  std::fflush(aStream);
}

} // namespace

QString AppMessage(const QString &aKey, const QStringList &aArgs) {
  QString fallback = aKey;
  for (const TFallbackText &f : kFallback)
    if (aKey.compare(QLatin1String(f.Key), Qt::CaseInsensitive) == 0)
      fallback = QString::fromLatin1(f.Text);
  QString text = Settings()->SlowGetLanguageString(QStringLiteral("AppRes"), aKey, fallback);
  if (text.isEmpty())
    text = fallback;
  // The language data marks line breaks for message boxes.
  text.replace(QStringLiteral("<BR>"), QStringLiteral("\n"), Qt::CaseInsensitive);
  text.replace(QStringLiteral("{AppName}"),
               Settings()->GetSettingString(QStringLiteral("App.Name")));
  for (qsizetype i = 0; i < aArgs.size(); ++i)
    text.replace(u'{' + QString::number(i + 1) + u'}', aArgs[i]);
  return text;
}

void Out(const QString &aLine) {
  Print(stdout, aLine);
}
void Err(const QString &aLine) {
  Print(stderr, aLine);
}
void Fail(const QString &aText) {
  Err(QStringLiteral("videomill-cli: ") + aText);
}

QString ClockText(int64_t aMicroseconds) {
  const int64_t s = aMicroseconds < 0 ? 0 : aMicroseconds / 1000000;
  return QString::asprintf("%.2lld:%.2lld:%.2lld", static_cast<long long>(s / 3600),
                           static_cast<long long>((s / 60) % 60), static_cast<long long>(s % 60));
}
