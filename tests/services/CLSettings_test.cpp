#include "services/SettingsFixture.h"

#include "services/CLDebug.h"
#include "services/CLEngineCore.h"

#include <QDateTime>
#include <QRect>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using vmtest::ReadFile;
using vmtest::WriteFile;

namespace {

QString Q(const std::string &text) {
  return QString::fromStdString(text);
}

} // namespace

class CLSettingsTest : public SettingsFixture {};

TEST_F(CLSettingsTest, FirstStartChoosesWritableAllUsersFolderAndCounts) {
  TCLSettings *s = Settings();
  EXPECT_EQ(s, Settings());
  EXPECT_TRUE(s->AllUser());
  EXPECT_EQ(s->RunTimes(), 0);
  EXPECT_EQ(s->UserDataPath(), Q(FCommon + "/cfg/"));
  EXPECT_EQ(s->ConstDataPath(), Q(FApp));
  EXPECT_EQ(ReadFile(UserFlagFile()), "[Flag]\nAllUsers=1\n\n");
  EXPECT_EQ(ReadFile(CommonSettingFile()), "[setting]\nRunTimes=1\n\n");
  EXPECT_FALSE(std::filesystem::exists(UserSettingFile()));

  FreeSettings();
  s = Settings();
  EXPECT_EQ(s->RunTimes(), 1);
  EXPECT_EQ(ReadFile(CommonSettingFile()), "[setting]\nRunTimes=2\n\n");
}

TEST_F(CLSettingsTest, UnusableAllUsersFolderFallsBackForGood) {
  Settings();
  FreeSettings();
  ASSERT_TRUE(WriteFile(UserSettingFile(), "[setting]\nRunTimes=5\n"));

  MakeCommonUnusable();
  TCLSettings *s = Settings();
  EXPECT_FALSE(s->AllUser());
  EXPECT_EQ(s->UserDataPath(), Q(FUser + "/cfg/"));
  EXPECT_EQ(s->RunTimes(), 5); // the personal file counts on from its own value
  EXPECT_EQ(ReadFile(UserSettingFile()), "[setting]\nRunTimes=6\n\n");
  EXPECT_EQ(ReadFile(UserFlagFile()), "[Flag]\nAllUsers=0\n\n");
  EXPECT_EQ(ReadFile(CommonSettingFile()), "[setting]\nRunTimes=1\n\n");

  // The all-users folder is usable again, but the decision sticks.
  FreeSettings();
  setenv("VIDEOMILL_COMMON_APPDATA", FCommon.c_str(), 1);
  s = Settings();
  EXPECT_FALSE(s->AllUser());
  EXPECT_EQ(s->RunTimes(), 6);
  EXPECT_EQ(ReadFile(UserFlagFile()), "[Flag]\nAllUsers=0\n\n");
}

TEST_F(CLSettingsTest, FirstStartWithUnusableAllUsersFolderUsesPersonalFolder) {
  MakeCommonUnusable();
  TCLSettings *s = Settings();
  EXPECT_FALSE(s->AllUser());
  EXPECT_EQ(ReadFile(UserFlagFile()), "[Flag]\nAllUsers=0\n\n");
  EXPECT_EQ(ReadFile(UserSettingFile()), "[setting]\nRunTimes=1\n\n");
}

TEST_F(CLSettingsTest, NoAllUserNeverTouchesUserFlag) {
  WriteConst("[setting]\nApp.ConfigPath=cfg\nSetting.NoAllUser=1\n");
  TCLSettings *s = Settings();
  EXPECT_FALSE(s->AllUser());
  EXPECT_FALSE(std::filesystem::exists(UserFlagFile()));
  EXPECT_EQ(ReadFile(UserSettingFile()), "[setting]\nRunTimes=1\n\n");
  FreeSettings();

  // An existing flag asking for all users is ignored and left as it is.
  ASSERT_TRUE(WriteFile(UserFlagFile(), "; keep me\n[Flag]\nAllUsers=1\n"));
  s = Settings();
  EXPECT_FALSE(s->AllUser());
  EXPECT_EQ(s->RunTimes(), 1);
  EXPECT_EQ(ReadFile(UserFlagFile()), "; keep me\n[Flag]\nAllUsers=1\n");
  EXPECT_FALSE(std::filesystem::exists(CommonSettingFile()));
}

TEST_F(CLSettingsTest, LayersWinInOrderAndPresenceHides) {
  WriteConst("[setting]\nApp.ConfigPath=cfg\nA=const\nB=const\nC=const\nD=const\n"
             "Hidden=const value\nPath.Languages=mylang\n");
  WriteOem("[setting]\nB=oem\nC=oem\nD=oem\n");
  ASSERT_TRUE(WriteFile(CommonSettingFile(), "[setting]\nC=user\nD=user\nHidden=\n"));
  TCLSettings *s = Settings();
  ASSERT_TRUE(s->AllUser());

  EXPECT_EQ(s->GetSettingString("A"), "const");
  EXPECT_EQ(s->GetSettingString("b"), "oem"); // names compared without case
  EXPECT_EQ(s->GetSettingString("C"), "user");
  EXPECT_EQ(s->GetSettingString("D"), "user");
  EXPECT_EQ(s->GetSettingString("Hidden"), "");
  EXPECT_TRUE(s->GetSettingExists("Hidden"));
  EXPECT_FALSE(s->GetSettingExists("Path.Skins")); // no engine yet: no defaults

  {
    TCLEngineCore engine;
    engine.FSettingOverwrite << "d=override"
                             << "Blank=";
    EXPECT_EQ(s->GetSettingString("D"), "override");
    EXPECT_EQ(s->GetSettingString("Path.Skins"), "skins");      // default list
    EXPECT_EQ(s->GetSettingString("Path.Languages"), "mylang"); // files beat defaults
    EXPECT_TRUE(s->GetSettingExists("Blank"));
    EXPECT_TRUE(s->GetSettingExists("path.skins"));
  }
  EXPECT_EQ(s->GetSettingString("D"), "user");
  EXPECT_EQ(s->GetSettingString("Nowhere"), "");
  EXPECT_FALSE(s->GetSettingExists("Nowhere"));
}

TEST_F(CLSettingsTest, TypedReadsAndWrites) {
  ASSERT_TRUE(WriteFile(
      CommonSettingFile(),
      "[setting]\nTwo=2\nYes=yes\nZero=0\nNum=-42\nBadNum=12abc\nBig=99999999999\n"
      "F1=1.5\nF2=2,25\nF3=x\nF4=1,234.5\nR3=1,2,3\nR4=10,20,300,400\nRx=1,x,3,4\nEmpty=\n"));
  TCLSettings *s = Settings();
  EXPECT_TRUE(s->GetSettingBool("Two"));
  EXPECT_FALSE(s->GetSettingBool("Yes"));
  EXPECT_FALSE(s->GetSettingBool("Zero"));
  EXPECT_FALSE(s->GetSettingBool("Absent"));
  EXPECT_EQ(s->GetSettingInteger("Num"), -42);
  EXPECT_EQ(s->GetSettingInteger("BadNum"), 0);
  EXPECT_EQ(s->GetSettingInteger("Big"), 0);
  EXPECT_DOUBLE_EQ(s->GetSettingFloat("F1"), 1.5);
  EXPECT_DOUBLE_EQ(s->GetSettingFloat("F2"), 2.25);
  EXPECT_EQ(s->GetSettingFloat("F3"), 0.0);
  EXPECT_EQ(s->GetSettingFloat("F4"), 0.0);

  const QRect start(5, 6, 7, 8);
  QRect r = start;
  s->GetSettingRect("R3", r);
  EXPECT_EQ(r, start);
  s->GetSettingRect("Empty", r);
  EXPECT_EQ(r, start);
  s->GetSettingRect("Absent", r);
  EXPECT_EQ(r, start);
  s->GetSettingRect("R4", r);
  EXPECT_EQ(r.left(), 10);
  EXPECT_EQ(r.top(), 20);
  EXPECT_EQ(r.right(), 300);
  EXPECT_EQ(r.bottom(), 400);
  s->GetSettingRect("Rx", r);
  EXPECT_EQ(r.top(), 0);
  EXPECT_EQ(r.right(), 3);

  // A date-time as stored: days since 1899-12-30 with a fraction.
  const double date = 45123.75;
  EXPECT_TRUE(s->SetSettingFloat("Update.LastDate", date));
  EXPECT_TRUE(s->SetSettingFloat("Tiny", 0.1));
  EXPECT_TRUE(s->SetSettingBool("On", true));
  EXPECT_TRUE(s->SetSettingRect("Win", QRect(QPoint(1, 2), QPoint(30, 40))));
  EXPECT_DOUBLE_EQ(s->GetSettingFloat("Update.LastDate"), date);
  EXPECT_EQ(s->GetSettingFloat("Tiny"), 0.1);
  const std::string text = ReadFile(CommonSettingFile());
  EXPECT_NE(text.find("Update.LastDate=45123.75\n"), std::string::npos);
  EXPECT_NE(text.find("Tiny=0.1\n"), std::string::npos);
  EXPECT_NE(text.find("On=1\n"), std::string::npos);
  EXPECT_NE(text.find("Win=1,2,30,40\n"), std::string::npos);
}

TEST_F(CLSettingsTest, FlushRewritesWholeFileInFirstAppearanceOrder) {
  ASSERT_TRUE(WriteFile(CommonSettingFile(), "junk=before any section\n"
                                             "; a comment\n"
                                             "[Setting]\r\n"
                                             "   Key1  =  value one  \n"
                                             "\n"
                                             ";Key2=commented\n"
                                             "[Other]\n"
                                             "k=v\n"
                                             "[SETTING]\n"
                                             "Key3=three\n"
                                             "[ShowAgain]\n"
                                             "3=0\n"));
  TCLSettings *s = Settings();
  EXPECT_EQ(s->GetSettingString("key1"), "value one");
  EXPECT_FALSE(s->GetSettingExists("Key2"));
  EXPECT_FALSE(s->GetSettingExists("junk"));
  EXPECT_EQ(s->GetSettingString("Key3"), "three"); // repeated section continues the first
  EXPECT_FALSE(s->GetMessageShowAgainFlag(3));
  EXPECT_TRUE(s->GetMessageShowAgainFlag(4));

  EXPECT_TRUE(s->SetSettingstring("KEY1", "changed"));
  EXPECT_EQ(ReadFile(CommonSettingFile()), "[Setting]\nKey1=changed\nKey3=three\nRunTimes=1\n\n"
                                           "[Other]\nk=v\n\n"
                                           "[ShowAgain]\n3=0\n\n");
}

TEST_F(CLSettingsTest, BeginEndUpdateWritesOnce) {
  TCLSettings *s = Settings();
  const int before = s->FlushCount();
  const std::string onDisk = ReadFile(CommonSettingFile());
  s->BeginUpdate();
  EXPECT_TRUE(s->SetSettingstring("X", "1"));
  EXPECT_TRUE(s->SetSettingInteger("Y", 2));
  EXPECT_EQ(s->FlushCount(), before);
  EXPECT_EQ(ReadFile(CommonSettingFile()), onDisk);
  EXPECT_EQ(s->GetSettingString("X"), "1"); // visible in memory at once
  EXPECT_TRUE(s->EndUpdate());
  EXPECT_EQ(s->FlushCount(), before + 1);
  EXPECT_EQ(ReadFile(CommonSettingFile()), "[setting]\nRunTimes=1\nX=1\nY=2\n\n");

  EXPECT_TRUE(s->EndUpdate()); // always flushes
  EXPECT_EQ(s->FlushCount(), before + 2);

  // Without EndUpdate the writes are lost at destruction.
  s->BeginUpdate();
  s->SetSettingstring("Lost", "yes");
  FreeSettings();
  EXPECT_EQ(ReadFile(CommonSettingFile()).find("Lost"), std::string::npos);
}

TEST_F(CLSettingsTest, ShowAgainSections) {
  TCLSettings *s = Settings();
  EXPECT_TRUE(s->GetMessageShowAgainFlag(7));
  EXPECT_EQ(s->GetMessageShowAgainResult(7), 1);
  EXPECT_TRUE(s->SetMessageShowAgainFlag(7, false));
  EXPECT_TRUE(s->SetMessageShowAgainResult(7, 6));
  EXPECT_FALSE(s->GetMessageShowAgainFlag(7));
  EXPECT_EQ(s->GetMessageShowAgainResult(7), 6);
  EXPECT_EQ(ReadFile(CommonSettingFile()),
            "[setting]\nRunTimes=1\n\n[ShowAgain]\n7=0\n\n[ShowAgainModuleResult]\n7=6\n\n");
  EXPECT_FALSE(s->GetSettingExists("7")); // not in section "setting"

  EXPECT_TRUE(s->ClearShowAgainFlag());
  EXPECT_TRUE(s->GetMessageShowAgainFlag(7));
  EXPECT_EQ(s->GetMessageShowAgainResult(7), 1);
  EXPECT_EQ(ReadFile(CommonSettingFile()), "[setting]\nRunTimes=1\n\n");
}

TEST_F(CLSettingsTest, FailedWriteKeepsOldFileWhole) {
  TCLSettings *s = Settings();
  ASSERT_TRUE(s->SetSettingstring("Keep", "me"));
  const std::string before = ReadFile(CommonSettingFile());
  EXPECT_EQ(s->LastError(), "");

  // A full disk: the file size limit refuses the new content (root is not
  // exempt from it).
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = s->SetSettingstring("Big", QString(4096, u'z'));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(written);
  EXPECT_NE(s->LastError(), "");
  EXPECT_EQ(ReadFile(CommonSettingFile()), before);
  EXPECT_EQ(s->GetSettingString("Big").size(), 4096); // still held in memory
  for (const auto &entry : std::filesystem::directory_iterator(FCommon + "/cfg"))
    EXPECT_TRUE(entry.path().filename() == "setting.dat") << entry.path(); // no leftovers

  // The folder gone and a file in its place: no temporary file can be made.
  std::filesystem::rename(FCommon + "/cfg", FCommon + "/moved");
  ASSERT_TRUE(WriteFile(FCommon + "/cfg", "not a folder"));
  EXPECT_FALSE(s->SetSettingstring("Other", "x"));
  EXPECT_FALSE(s->EndUpdate());
  EXPECT_EQ(ReadFile(FCommon + "/moved/setting.dat"), before);
  EXPECT_EQ(ReadFile(FCommon + "/cfg"), "not a folder");
}

TEST_F(CLSettingsTest, UncreatableDataFolderLeavesNoUserFile) {
  ASSERT_TRUE(WriteFile(FDir.File("blocker"), "x"));
  setenv("VIDEOMILL_APPDATA", FDir.File("blocker/user").c_str(), 1);
  MakeCommonUnusable();
  WriteConst("[setting]\nApp.ConfigPath=cfg\nA=const\n");
  TCLSettings *s = Settings();
  EXPECT_EQ(s->GetSettingString("A"), "const");
  EXPECT_EQ(s->RunTimes(), 0);
  EXPECT_EQ(s->SettingFilePath(), "");
  EXPECT_FALSE(s->SetSettingstring("B", "x"));
  EXPECT_FALSE(s->UpdateSettingINI());
  EXPECT_NE(s->LastError(), "");
  EXPECT_TRUE(s->GetMessageShowAgainFlag(1));
}

TEST_F(CLSettingsTest, NoCacheSeesAnotherWriter) {
  TCLSettings *s = Settings();
  ASSERT_TRUE(s->SetSettingstring("Shared", "mine"));
  ASSERT_TRUE(WriteFile(CommonSettingFile(), "[setting]\nShared=theirs\n"));
  EXPECT_EQ(s->GetSettingString("Shared"), "mine");
  s->SetNoCache(true);
  EXPECT_TRUE(s->NoCache());
  EXPECT_EQ(s->GetSettingString("Shared"), "theirs");
  ASSERT_TRUE(WriteFile(CommonSettingFile(), "[setting]\n"));
  EXPECT_EQ(s->GetSettingString("Shared"), "");
}

TEST_F(CLSettingsTest, SwitchingDataFolderReopensUserFile) {
  TCLSettings *s = Settings();
  ASSERT_TRUE(s->SetSettingstring("Where", "common"));
  EXPECT_TRUE(s->SetAllUser(false));
  EXPECT_FALSE(s->AllUser());
  EXPECT_EQ(ReadFile(UserSettingFile()), " "); // created with one space
  EXPECT_FALSE(s->GetSettingExists("Where"));
  ASSERT_TRUE(s->SetSettingstring("Where", "user"));
  EXPECT_EQ(ReadFile(UserSettingFile()), "[setting]\nWhere=user\n\n");
  EXPECT_TRUE(s->SetAllUser(true));
  EXPECT_EQ(s->GetSettingString("Where"), "common");
}

TEST_F(CLSettingsTest, MissingKeyGoesToDebugChannel) {
  vmtest::TempDir logDir;
  CLDebug().SetLogFolder(Q(logDir.Path().string()));
  CLDebug().SetActive(true);
  TCLSettings *s = Settings();
  s->GetSettingInteger("No.Such.Key");
  s->GetSettingString("Present.Key");
  CLDebug().SetActive(false);
  CLDebug().SetLogFolder(QString());
  const std::string log = ReadFile(logDir.File("debug.log"));
  EXPECT_NE(log.find("[CLSettings] Setting Not Found :No.Such.Key\n"), std::string::npos) << log;
}

TEST_F(CLSettingsTest, ConfigurationWordFromExecutableWhenNotSet) {
  WriteConst("[setting]\n");
  TCLSettings *s = Settings();
  const QString word = ConfigWordFromPath(ExecutableFile());
  EXPECT_EQ(s->ConfigPathWord(), word);
  EXPECT_TRUE(word.startsWith(u'_'));
  EXPECT_TRUE(word.contains("CLSettings")) << word.toStdString();
  EXPECT_EQ(s->UserDataPathCurrentUser(), Q(FUser + "/") + word + "/");
  EXPECT_EQ(s->UserDataPathAllUsers(), Q(FCommon + "/") + word + "/");
}

TEST_F(CLSettingsTest, SlowGetLanguageStringReadsCurrentLanguageFile) {
  WriteConst("[setting]\nApp.ConfigPath=cfg\nPath.Languages=lang\n");
  ASSERT_TRUE(WriteFile(FApp + "lang/English.lan", "[AppRes]\nHello=Hello\n"));
  ASSERT_TRUE(WriteFile(FApp + "lang/German.lan", "[AppRes]\nHello=Hallo\n"));
  ASSERT_TRUE(WriteFile(FApp + "lang/French.lan", "[AppRes]\nHello=Bonjour\n"));
  TCLSettings *s = Settings();
  EXPECT_EQ(s->SlowGetLanguageString("appres", "hello", "dflt"), "Hello");
  s->SetSettingstring("Language", "German");
  EXPECT_EQ(s->SlowGetLanguageString("AppRes", "Hello", "dflt"), "Hallo");
  EXPECT_EQ(s->SlowGetLanguageString("AppRes", "Missing", "dflt"), "dflt");
  s->SetSettingstring("Language.Force", "French");
  EXPECT_EQ(s->SlowGetLanguageString("AppRes", "Hello", "dflt"), "Bonjour");
  s->SetSettingstring("Language.Force", "Klingon");
  EXPECT_EQ(s->SlowGetLanguageString("AppRes", "Hello", "dflt"), "dflt");
}

TEST_F(CLSettingsTest, ScrambledStringsRoundTrip) {
  TCLSettings *s = Settings();
  const QString secret = QStringLiteral("pässwörd=1;ok");
  ASSERT_TRUE(s->SetSettingsecString("Secret", secret));
  const QString stored = s->GetSettingString("Secret");
  EXPECT_FALSE(stored.contains("ok"));
  EXPECT_EQ(stored.size(), secret.toUtf8().size() * 2);
  EXPECT_EQ(s->GetSettingsecString("Secret"), secret);
  s->SetSettingstring("Broken", "ABC");
  EXPECT_EQ(s->GetSettingsecString("Broken"), "");
  s->SetSettingstring("Broken", "ZZ");
  EXPECT_EQ(s->GetSettingsecString("Broken"), "");
}

TEST_F(CLSettingsTest, RunDaysOfFreshFoldersIsZero) {
  TCLSettings *s = Settings();
  EXPECT_EQ(s->GetRunDays(), 0);
}

TEST_F(CLSettingsTest, RefusesEntriesTheFileCannotHold) {
  TCLSettings *s = Settings();
  const std::string before = ReadFile(CommonSettingFile());
  EXPECT_FALSE(s->SetSettingstring("Add.InitialDir", "/tmp/evil\n[Flag]\nRunTimes=99"));
  EXPECT_FALSE(s->SetSettingstring("Add.InitialDir", "a\rb"));
  EXPECT_FALSE(s->SetSettingstring("a=b", "c"));
  EXPECT_FALSE(s->SetSettingstring(" ", "c"));
  EXPECT_FALSE(s->SetSettingstring(";x", "c"));
  EXPECT_FALSE(s->SetSettingstring("[x]", "c"));
  EXPECT_EQ(ReadFile(CommonSettingFile()), before);
  EXPECT_FALSE(s->GetSettingExists("Add.InitialDir"));
  EXPECT_NE(s->LastError(), "");

  // Anything else round-trips, even '=' and ';' inside a value.
  EXPECT_TRUE(s->SetSettingstring("Add.InitialDir", "/data/a=b;c [d]"));
  FreeSettings();
  EXPECT_EQ(Settings()->GetSettingString("Add.InitialDir"), "/data/a=b;c [d]");
}
