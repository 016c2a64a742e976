#pragma once
// The process-wide settings store.
//
// Layers, highest first: the engine's override list (CLEngineCore()), the
// user settings file "setting.dat" in the data folder, the redistributor's
// "oem.const.dat" and the product's "const.dat" in the application folder, and
// the engine's default list. Only the user settings file is ever written.
// Presence decides, not emptiness: a key stored with an empty value hides the
// lower layers. Section and key names are compared without regard to case.
//
// Main thread only; no locking. One instance per process, reached through
// Settings() (created on first call) and destroyed by FreeSettings().
//
// Write errors: every write returns false when the file could not be written
// (data folder not creatable, temporary file not creatable, disk full, rename
// refused). The old file is then left untouched (writes go to a temporary file
// in the same folder that replaces the old one only when complete), the reason
// is kept in LastError() and sent to the debug channel with tag "CLSettings".
// The value stays in memory, so later reads still see it.

#include <QRect>
#include <QString>

#include <memory>

class TCLIniFile;

class TCLSettings {
public:
  // strSettingFile: empty means "setting.dat" for the user file and
  // "const.dat" for the constants file; a non-empty name is used for both.
  // Opens the constants files, chooses the data folder (all users or current
  // user, remembered in "UserFlag.ini"), opens the user file and counts this
  // start in "RunTimes".
  explicit TCLSettings(const QString &strSettingFile = QString());
  ~TCLSettings(); // writes nothing
  TCLSettings(const TCLSettings &) = delete;
  TCLSettings &operator=(const TCLSettings &) = delete;

  // Layered lookup; empty (and the debug line "Setting Not Found :" + name)
  // when no layer holds the key.
  QString GetSettingString(const QString &strName);
  // GetSettingString, then decimal parsing; empty or invalid -> 0.
  int GetSettingInteger(const QString &strName);
  // GetSettingString, then parsing with '.' or ',' as decimal point;
  // invalid -> 0. Date-times are day counts since 1899-12-30.
  double GetSettingFloat(const QString &strName);
  // GetSettingInteger != 0 ("2" is true, "yes" is false).
  bool GetSettingBool(const QString &strName);
  // Text "Left,Top,Right,Bottom": with exactly four pieces sets rect with
  // QRect::setCoords(Left, Top, Right, Bottom) (a piece that is no integer
  // gives 0); otherwise rect is left as passed.
  void GetSettingRect(const QString &strName, QRect &rect);
  // True when any layer holds the key, even with an empty value. Never
  // reloads the user file.
  bool GetSettingExists(const QString &strName) const;

  // Writes into section "setting" of the user file and flushes unless inside
  // BeginUpdate/EndUpdate. False when no user file is open or the flush failed.
  // A name that is blank, starts with ';' or '[', or holds '=' or a line
  // break, and a value holding a line break, are refused (false, nothing
  // stored): the file could not give them back unchanged.
  bool SetSettingstring(const QString &strName, const QString &strValue);
  bool SetSettingInteger(const QString &strName, int iValue);
  // Stored with '.' as decimal point (C locale, shortest exact text), so the
  // file reads the same whatever the user's locale.
  bool SetSettingFloat(const QString &strName, double fValue);
  bool SetSettingBool(const QString &strName, bool ibValue); // "1" / "0"
  // Writes "Left,Top,Right,Bottom" from QRect::left/top/right/bottom.
  bool SetSettingRect(const QString &strName, const QRect &rcValue);

  // Scrambled values: each character is XOR-ed with a 16-bit word of the
  // scramble mask schedule and stored as hexadecimal. GetSettingsecString
  // gives "" for a value that is no valid scrambled text.
  QString GetSettingsecString(const QString &strName);
  bool SetSettingsecString(const QString &strName, const QString &strValue);

  // Show-again state of message number iNumber (user file only).
  // Flag: section "ShowAgain", default true. Result: section
  // "ShowAgainModuleResult", default 1.
  bool GetMessageShowAgainFlag(int iNumber) const;
  bool SetMessageShowAgainFlag(int iNumber, bool bValue);
  int GetMessageShowAgainResult(int iNumber) const;
  bool SetMessageShowAgainResult(int iNumber, int iValue);
  // Erases both show-again sections; flushes unless updating.
  bool ClearShowAgainFlag();

  // "UserFlag.ini" in the current user's data folder (created if missing).
  bool IsAllUserFlagExists();
  bool GetAllUserFlag(); // default true
  // Writes [Flag] AllUsers and flushes "UserFlag.ini" at once.
  bool SetAllUserFlag(bool bValue);
  // Creates the all-users data folder if missing, then access(W_OK) on it.
  // Any failure gives false; errno is preserved.
  bool IsAllUserPathWriteable();
  // Switches the data folder (all users when value), creating it and an
  // empty (one space) user file if missing, and reopens the user file.
  // False when the folder or the file could not be created.
  bool SetAllUser(bool value);
  bool AllUser() const { return FAllUser; }

  // Entry strValue of section strSection of the current language file
  // (application folder + "Path.Languages" + "/" + language + ".lan", the
  // language being "Language.Force" when set, else "Language"); strDefault
  // when the file or the entry is absent.
  QString SlowGetLanguageString(const QString &strSection, const QString &strValue,
                                const QString &strDefault);

  // Flushes the user file; false on failure (see LastError).
  bool UpdateSettingINI();
  // Largest number of whole days since the creation of the application
  // folder, the current user's and the all-users data folder; 0 when none can
  // be read.
  int GetRunDays() const;

  void BeginUpdate();
  // Ends the update and always flushes; false when the flush failed.
  bool EndUpdate();

  // When set, every GetSettingString first reloads the user file from disk.
  void SetNoCache(bool value) { FNoCache = value; }
  bool NoCache() const { return FNoCache; }

  // Start count before this start (0 at the very first start).
  int RunTimes() const { return FRunTimes; }
  // Chosen data folder, with trailing '/'.
  QString UserDataPath() const { return FUserDataPath; }
  // Application folder, with trailing '/'.
  QString ConstDataPath() const { return FConstDataPath; }
  QString UserDataPathCurrentUser() const { return FUserDataPathCurrentUser; }
  QString UserDataPathAllUsers() const { return FUserDataPathAllUsers; }
  QString ConfigPathWord() const { return FConfigPathWord; }
  // Full path of the user settings file ("" while none is open).
  QString SettingFilePath() const;
  // Reason of the last failed write or folder creation; "" when none failed.
  QString LastError() const { return FLastError; }
  // Number of flushes of the user file attempted so far (for tests and
  // diagnostics).
  int FlushCount() const { return FFlushCount; }

private:
  bool FAllUser = false;
  std::unique_ptr<TCLIniFile> FConstValueIni;
  std::unique_ptr<TCLIniFile> FOemValueIni;
  std::unique_ptr<TCLIniFile> FSettingIni; // null until the data folder is chosen
  QString FConstDataPath;
  QString FUserDataPath;
  QString FUserDataPathCurrentUser;
  QString FUserDataPathAllUsers;
  int FRunTimes = 0;
  quint32 FEncodeMask = 0;
  bool FUpdating = false;
  QString FConfigPathWord;
  QString FSettingFilename;
  bool FNoCache = false;
  QString FLastError;
  int FFlushCount = 0;

  bool LookUp(const QString &strName, QString &value, bool reload);
  bool Flush();
  bool FlushUnlessUpdating();
  void ReportError(const QString &text);
  QString UserFlagFile() const;
};

// The single settings store; created with an empty file name on first call.
TCLSettings *Settings();
// Destroys the single store, if any (writes nothing); the next Settings()
// call creates a new one.
void FreeSettings();
