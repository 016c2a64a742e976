#include "platform/Folders.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <QDir>

#include <cerrno>
#include <cstdlib>

namespace {

QString Q(const std::string &text) {
  return QString::fromStdString(text);
}

// Sets an environment variable for the scope and restores it afterwards.
class ScopedEnv {
public:
  ScopedEnv(const char *name, const char *value) : FName(name) {
    if (const char *old = getenv(name)) {
      FHad = true;
      FOld = old;
    }
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (FHad)
      setenv(FName, FOld.c_str(), 1);
    else
      unsetenv(FName);
  }

private:
  const char *FName;
  bool FHad = false;
  std::string FOld;
};

} // namespace

TEST(FoldersTest, ConfigurationWord) {
  EXPECT_EQ(ConfigWordFromPath("/opt/vm/videomill"), "_opt_vm_videomill");
  EXPECT_EQ(ConfigWordFromPath("C:\\Apps\\Conv\\conv.exe"), "C__Apps_Conv_conv.exe");
  EXPECT_EQ(ConfigWordFromPath(""), "");
}

TEST(FoldersTest, ApplicationFolderAndOverrides) {
  ScopedEnv noEnv("VIDEOMILL_APPDIR", nullptr);
  const QString exe = ExecutableFile();
  ASSERT_TRUE(exe.contains("Folders")) << exe.toStdString();
  const QString app = ApplicationFolder();
  EXPECT_TRUE(app.endsWith(u'/'));
  EXPECT_EQ(QDir(app).canonicalPath(), QDir(exe.section(u'/', 0, -2)).canonicalPath());
  {
    ScopedEnv env("VIDEOMILL_APPDIR", "/some/where");
    EXPECT_EQ(ApplicationFolder(), "/some/where/");
    SetApplicationFolderOverride("/hook/");
    EXPECT_EQ(ApplicationFolder(), "/hook/");
    SetApplicationFolderOverride("");
    EXPECT_EQ(ApplicationFolder(), "/some/where/");
  }
  EXPECT_EQ(ApplicationFolder(), app);
}

TEST(FoldersTest, DataFoldersFollowEnvironment) {
  {
    ScopedEnv a("VIDEOMILL_APPDATA", nullptr);
    ScopedEnv x("XDG_DATA_HOME", nullptr);
    ScopedEnv h("HOME", "/home/tester");
    EXPECT_EQ(UserAppDataFolder(), "/home/tester/.local/share");
    ScopedEnv x2("XDG_DATA_HOME", "/xdg/data/");
    EXPECT_EQ(UserAppDataFolder(), "/xdg/data");
    ScopedEnv a2("VIDEOMILL_APPDATA", "/mine");
    EXPECT_EQ(UserAppDataFolder(), "/mine");
  }
  {
    ScopedEnv c("VIDEOMILL_COMMON_APPDATA", nullptr);
    EXPECT_EQ(CommonAppDataFolder(), "/var/lib");
    ScopedEnv c2("VIDEOMILL_COMMON_APPDATA", "/shared/");
    EXPECT_EQ(CommonAppDataFolder(), "/shared");
  }
  ScopedEnv d("VIDEOMILL_DOCUMENTS", "/docs");
  ScopedEnv k("VIDEOMILL_DESKTOP", "/desk");
  EXPECT_EQ(DocumentsFolder(), "/docs");
  EXPECT_EQ(DesktopFolder(), "/desk");
}

TEST(FoldersTest, WritabilityAndCreation) {
  vmtest::TempDir dir;
  ASSERT_TRUE(vmtest::WriteFile(dir.File("file"), "x"));
  errno = 1234;
  EXPECT_TRUE(IsFolderWriteable(Q(dir.Path().string())));
  EXPECT_FALSE(IsFolderWriteable(Q(dir.File("missing"))));
  EXPECT_FALSE(IsFolderWriteable(Q(dir.File("file"))));
  EXPECT_FALSE(IsFolderWriteable(""));
  EXPECT_EQ(errno, 1234);

  EXPECT_TRUE(ForceFolder(Q(dir.File("a/b/c"))));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
  EXPECT_FALSE(ForceFolder(Q(dir.File("file/sub"))));
  EXPECT_FALSE(ForceFolder(""));
}

TEST(FoldersTest, CreationTime) {
  vmtest::TempDir dir;
  QDateTime created;
  ASSERT_TRUE(FolderCreationTime(Q(dir.Path().string()), created));
  EXPECT_EQ(created.timeSpec(), Qt::UTC);
  EXPECT_LE(std::llabs(created.secsTo(QDateTime::currentDateTimeUtc())), 60);
  EXPECT_FALSE(FolderCreationTime(Q(dir.File("missing")), created));
}
