#include "services/CLSettings.h"

#include "platform/Folders.h"
#include "services/CLDebug.h"
#include "services/CLEngineCore.h"
#include "services/CLIniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

const QString kSettingSection = QStringLiteral("setting");
const QString kShowAgainSection = QStringLiteral("ShowAgain");
const QString kShowAgainResultSection = QStringLiteral("ShowAgainModuleResult");
const QString kFlagSection = QStringLiteral("Flag");
const QString kAllUsersKey = QStringLiteral("AllUsers");
const QString kUserFlagFile = QStringLiteral("UserFlag.ini");
const QString kTag = QStringLiteral("CLSettings");

// Scramble mask of the GetSettingsecString/SetSettingsecString pair.
constexpr quint32 kEncodeMask = 0x5A3C96E1u;

std::unique_ptr<TCLSettings> gSettings;

// Data folder below an application-data folder; "" when the base is unknown.
QString DataFolder(const QString &base, const QString &word) {
  if (base.isEmpty() || word.isEmpty())
    return QString();
  return WithSlash(base) + word + u'/';
}

// A name or value that the file format cannot hold would change other
// entries when the file is read back (a line break starts a new line, a '='
// in the name moves the split).
bool IsStorable(const QString &name, const QString &value) {
  static const QRegularExpression badName(QStringLiteral("^\\s*$|^\\s*[;\\[]|[=\\r\\n]"));
  return !badName.match(name).hasMatch() && !value.contains(u'\n') && !value.contains(u'\r');
}

// Key byte i of the scramble schedule.
quint8 ScrambleByte(quint32 mask, int i) {
  const quint32 word = mask >> (8 * (i % 4));
  return static_cast<quint8>((word ^ static_cast<quint32>(i * 37 + 11)) & 0xFFu);
}

// Date-time fields read as they stand (no time-zone conversion) as
// milliseconds since an arbitrary fixed origin.
qint64 NaiveMSecs(const QDate &date, const QTime &time) {
  return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
}

} // namespace

TCLSettings::TCLSettings(const QString &strSettingFile) {
  FSettingFilename = strSettingFile.isEmpty() ? QStringLiteral("setting.dat") : strSettingFile;
  const QString constName = strSettingFile.isEmpty() ? QStringLiteral("const.dat") : strSettingFile;

  FConstDataPath = ApplicationFolder();
  FConstValueIni = std::make_unique<TCLIniFile>(FConstDataPath + constName);
  FOemValueIni = std::make_unique<TCLIniFile>(FConstDataPath + QStringLiteral("oem.") + constName);

  FConfigPathWord = GetSettingString(QStringLiteral("App.ConfigPath"));
  if (FConfigPathWord.isEmpty())
    FConfigPathWord = ConfigWordFromPath(ExecutableFile());

  FUserDataPathCurrentUser = DataFolder(UserAppDataFolder(), FConfigPathWord);
  FUserDataPathAllUsers = DataFolder(CommonAppDataFolder(), FConfigPathWord);

  FEncodeMask = kEncodeMask;

  int noAllUser = 0;
  CLParseInteger(GetSettingString(QStringLiteral("Setting.NoAllUser")), noAllUser);
  if (noAllUser != 0) {
    SetAllUser(false);
  } else {
    if (IsAllUserFlagExists()) {
      if (GetAllUserFlag() && !IsAllUserPathWriteable())
        SetAllUserFlag(false);
    } else {
      SetAllUserFlag(IsAllUserPathWriteable());
    }
    SetAllUser(GetAllUserFlag());
  }

  FRunTimes = GetSettingInteger(QStringLiteral("RunTimes"));
  SetSettingInteger(QStringLiteral("RunTimes"), FRunTimes + 1);
}

TCLSettings::~TCLSettings() = default;

void TCLSettings::ReportError(const QString &text) {
  FLastError = text;
  CLDebug().LogMessage(text, kTag);
}

QString TCLSettings::SettingFilePath() const {
  return FSettingIni ? FSettingIni->FileName() : QString();
}

QString TCLSettings::UserFlagFile() const {
  if (FUserDataPathCurrentUser.isEmpty())
    return QString();
  return FUserDataPathCurrentUser + kUserFlagFile;
}

bool TCLSettings::LookUp(const QString &strName, QString &value, bool reload) {
  TCLEngineCore *engine = CLEngineCore();
  if (engine && TCLEngineCore::FindListValue(engine->FSettingOverwrite, strName, value))
    return true;
  if (FSettingIni) {
    if (reload)
      FSettingIni = std::make_unique<TCLIniFile>(FUserDataPath + FSettingFilename);
    if (FSettingIni->FindValue(kSettingSection, strName, value))
      return true;
  }
  if (FOemValueIni->FindValue(kSettingSection, strName, value))
    return true;
  if (FConstValueIni->FindValue(kSettingSection, strName, value))
    return true;
  if (engine && TCLEngineCore::FindListValue(engine->FSettingDefault, strName, value))
    return true;
  return false;
}

QString TCLSettings::GetSettingString(const QString &strName) {
  QString value;
  if (LookUp(strName, value, FNoCache))
    return value;
  CLDebug().LogMessage(QStringLiteral("Setting Not Found :") + strName, kTag);
  return QString();
}

int TCLSettings::GetSettingInteger(const QString &strName) {
  int value = 0;
  CLParseInteger(GetSettingString(strName), value);
  return value;
}

double TCLSettings::GetSettingFloat(const QString &strName) {
  QString text = GetSettingString(strName).trimmed();
  // Accept a ',' decimal point as written by other locales.
  if (text.contains(u',') && !text.contains(u'.'))
    text.replace(u',', u'.');
  QLocale c = QLocale::c();
  c.setNumberOptions(QLocale::RejectGroupSeparator);
  bool ok = false;
  const double value = c.toDouble(text, &ok);
  return ok && std::isfinite(value) ? value : 0.0;
}

bool TCLSettings::GetSettingBool(const QString &strName) {
  return GetSettingInteger(strName) != 0;
}

void TCLSettings::GetSettingRect(const QString &strName, QRect &rect) {
  const QString text = GetSettingString(strName);
  if (text.isEmpty())
    return;
  const QStringList pieces = text.split(u',');
  if (pieces.size() != 4)
    return;
  int v[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    if (!CLParseInteger(pieces[i], v[i]))
      v[i] = 0;
  }
  rect.setCoords(v[0], v[1], v[2], v[3]);
}

bool TCLSettings::GetSettingExists(const QString &strName) const {
  QString value;
  return const_cast<TCLSettings *>(this)->LookUp(strName, value, false);
}

bool TCLSettings::Flush() {
  if (!FSettingIni) {
    ReportError(QStringLiteral("No settings file is open"));
    return false;
  }
  QString error;
  ++FFlushCount;
  if (!FSettingIni->UpdateFile(&error)) {
    ReportError(QStringLiteral("Cannot write %1: %2").arg(FSettingIni->FileName(), error));
    return false;
  }
  return true;
}

bool TCLSettings::FlushUnlessUpdating() {
  return FUpdating ? true : Flush();
}

bool TCLSettings::SetSettingstring(const QString &strName, const QString &strValue) {
  if (!FSettingIni)
    return false;
  if (!IsStorable(strName, strValue)) {
    ReportError(QStringLiteral("Setting not stored, name or value cannot be written: ") + strName);
    return false;
  }
  FSettingIni->WriteString(kSettingSection, strName, strValue);
  return FlushUnlessUpdating();
}

bool TCLSettings::SetSettingInteger(const QString &strName, int iValue) {
  return SetSettingstring(strName, QString::number(iValue));
}

bool TCLSettings::SetSettingFloat(const QString &strName, double fValue) {
  return SetSettingstring(strName,
                          QLocale::c().toString(fValue, 'g', QLocale::FloatingPointShortest));
}

bool TCLSettings::SetSettingBool(const QString &strName, bool ibValue) {
  return SetSettingInteger(strName, ibValue ? 1 : 0);
}

bool TCLSettings::SetSettingRect(const QString &strName, const QRect &rcValue) {
  return SetSettingstring(strName, QStringLiteral("%1,%2,%3,%4")
                                       .arg(rcValue.left())
                                       .arg(rcValue.top())
                                       .arg(rcValue.right())
                                       .arg(rcValue.bottom()));
}

QString TCLSettings::GetSettingsecString(const QString &strName) {
  const QString text = GetSettingString(strName);
  if (text.size() % 2 != 0)
    return QString();
  const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
  if (bytes.size() * 2 != text.size() || QByteArray(bytes).toHex() != text.toLatin1().toLower())
    return QString();
  QByteArray plain = bytes;
  for (int i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<char>(static_cast<quint8>(plain[i]) ^ ScrambleByte(FEncodeMask, i));
  return QString::fromUtf8(plain);
}

bool TCLSettings::SetSettingsecString(const QString &strName, const QString &strValue) {
  QByteArray bytes = strValue.toUtf8();
  for (int i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(static_cast<quint8>(bytes[i]) ^ ScrambleByte(FEncodeMask, i));
  return SetSettingstring(strName, QString::fromLatin1(bytes.toHex().toUpper()));
}

bool TCLSettings::GetMessageShowAgainFlag(int iNumber) const {
  if (!FSettingIni)
    return true;
  return FSettingIni->ReadBool(kShowAgainSection, QString::number(iNumber), true);
}

bool TCLSettings::SetMessageShowAgainFlag(int iNumber, bool bValue) {
  if (!FSettingIni)
    return false;
  FSettingIni->WriteString(kShowAgainSection, QString::number(iNumber),
                           bValue ? QStringLiteral("1") : QStringLiteral("0"));
  return FlushUnlessUpdating();
}

int TCLSettings::GetMessageShowAgainResult(int iNumber) const {
  if (!FSettingIni)
    return 1;
  return FSettingIni->ReadInteger(kShowAgainResultSection, QString::number(iNumber), 1);
}

bool TCLSettings::SetMessageShowAgainResult(int iNumber, int iValue) {
  if (!FSettingIni)
    return false;
  FSettingIni->WriteString(kShowAgainResultSection, QString::number(iNumber),
                           QString::number(iValue));
  return FlushUnlessUpdating();
}

bool TCLSettings::ClearShowAgainFlag() {
  if (!FSettingIni)
    return false;
  FSettingIni->EraseSection(kShowAgainSection);
  FSettingIni->EraseSection(kShowAgainResultSection);
  return FlushUnlessUpdating();
}

bool TCLSettings::IsAllUserFlagExists() {
  if (!ForceFolder(FUserDataPathCurrentUser))
    ReportError(QStringLiteral("Cannot create folder %1").arg(FUserDataPathCurrentUser));
  const QString file = UserFlagFile();
  return !file.isEmpty() && TCLIniFile(file).ValueExists(kFlagSection, kAllUsersKey);
}

bool TCLSettings::GetAllUserFlag() {
  const QString file = UserFlagFile();
  if (file.isEmpty())
    return true;
  return TCLIniFile(file).ReadBool(kFlagSection, kAllUsersKey, true);
}

bool TCLSettings::SetAllUserFlag(bool bValue) {
  const QString file = UserFlagFile();
  if (file.isEmpty() || !ForceFolder(FUserDataPathCurrentUser)) {
    ReportError(QStringLiteral("Cannot create folder %1").arg(FUserDataPathCurrentUser));
    return false;
  }
  TCLIniFile ini(file);
  ini.WriteString(kFlagSection, kAllUsersKey, bValue ? QStringLiteral("1") : QStringLiteral("0"));
  QString error;
  if (!ini.UpdateFile(&error)) {
    ReportError(QStringLiteral("Cannot write %1: %2").arg(file, error));
    return false;
  }
  return true;
}

bool TCLSettings::IsAllUserPathWriteable() {
  const int savedErrno = errno;
  const bool result =
      ForceFolder(FUserDataPathAllUsers) && IsFolderWriteable(FUserDataPathAllUsers);
  errno = savedErrno;
  return result;
}

bool TCLSettings::SetAllUser(bool value) {
  FAllUser = value;
  const QString folder = value ? FUserDataPathAllUsers : FUserDataPathCurrentUser;
  FUserDataPath = folder.isEmpty() ? QString() : WithSlash(QDir::cleanPath(folder));
  FSettingIni.reset();
  if (!ForceFolder(FUserDataPath)) {
    ReportError(QStringLiteral("Cannot create folder %1").arg(FUserDataPath));
    return false;
  }
  const QString fileName = FUserDataPath + FSettingFilename;
  bool ok = true;
  if (!QFileInfo::exists(fileName)) {
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(" ", 1) != 1) {
      ReportError(QStringLiteral("Cannot create %1: %2").arg(fileName, file.errorString()));
      ok = false;
    }
  }
  FSettingIni = std::make_unique<TCLIniFile>(fileName);
  return ok;
}

QString TCLSettings::SlowGetLanguageString(const QString &strSection, const QString &strValue,
                                           const QString &strDefault) {
  QString language = GetSettingString(QStringLiteral("Language"));
  const QString forced = GetSettingString(QStringLiteral("Language.Force"));
  if (!forced.isEmpty())
    language = forced;
  if (language.isEmpty())
    language = QStringLiteral("English");
  const QString file = FConstDataPath + GetSettingString(QStringLiteral("Path.Languages")) + u'/' +
                       language + QStringLiteral(".lan");
  return TCLIniFile(file).ReadString(strSection, strValue, strDefault);
}

bool TCLSettings::UpdateSettingINI() {
  return Flush();
}

int TCLSettings::GetRunDays() const {
  const QDateTime now = QDateTime::currentDateTime();
  const qint64 nowMs = NaiveMSecs(now.date(), now.time());
  int largest = 0;
  const QString folders[] = {WithoutSlash(FConstDataPath), FUserDataPathCurrentUser,
                             FUserDataPathAllUsers};
  for (const QString &folder : folders) {
    QDateTime created;
    if (folder.isEmpty() || !FolderCreationTime(folder, created))
      continue;
    // The creation time is taken as it stands, without time-zone conversion.
    const QDateTime utc = created.toUTC();
    const qint64 days = std::llabs(nowMs - NaiveMSecs(utc.date(), utc.time())) / 86400000;
    if (days > largest)
      largest = static_cast<int>(days);
  }
  return largest;
}

void TCLSettings::BeginUpdate() {
  FUpdating = true;
}

bool TCLSettings::EndUpdate() {
  FUpdating = false;
  return Flush();
}

TCLSettings *Settings() {
  if (!gSettings)
    gSettings = std::make_unique<TCLSettings>();
  return gSettings.get();
}

void FreeSettings() {
  gSettings.reset();
}
