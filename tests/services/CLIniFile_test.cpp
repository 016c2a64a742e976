#include "services/CLIniFile.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

TEST(CLIniFileTest, ParsesAndRebuildsText) {
  TCLIniFile ini;
  ini.SetText("\xEF\xBB\xBF"
              "ignored=1\r\n"
              "[ A ]\r\n"
              "x = 1\r\n"
              "X=2\n"
              "no equals sign\n"
              "=nameless\n"
              "y=a=b\n"
              "[b]\n"
              "[a]\n"
              "z=3\n");
  EXPECT_EQ(ini.ReadString("a", "x", "?"), "1"); // first value wins
  EXPECT_EQ(ini.ReadString("A", "Y", "?"), "a=b");
  EXPECT_TRUE(ini.SectionExists("B"));
  EXPECT_EQ(ini.ReadSection("a"), QStringList({"x", "y", "z"}));
  EXPECT_EQ(ini.Text(), "[A]\nx=1\ny=a=b\nz=3\n\n[b]\n\n");

  ini.WriteString("NEW", "k", "");
  ini.WriteString("a", "X", "one");
  ini.DeleteKey("A", "y");
  ini.EraseSection("B");
  EXPECT_EQ(ini.Text(), "[A]\nx=one\nz=3\n\n[NEW]\nk=\n\n");
  EXPECT_TRUE(ini.ValueExists("new", "K"));
}

TEST(CLIniFileTest, TypedReadsUseDefaultForBadValues) {
  TCLIniFile ini;
  ini.SetText("[s]\nn=12\nbad=1x\nempty=\nneg= -3 \n");
  EXPECT_EQ(ini.ReadInteger("s", "n", 7), 12);
  EXPECT_EQ(ini.ReadInteger("s", "bad", 7), 7);
  EXPECT_EQ(ini.ReadInteger("s", "empty", 7), 7);
  EXPECT_EQ(ini.ReadInteger("s", "neg", 7), -3);
  EXPECT_TRUE(ini.ReadBool("s", "bad", true));
  EXPECT_FALSE(ini.ReadBool("s", "missing", false));
}

TEST(CLIniFileTest, FileRoundTripAndMissingFile) {
  vmtest::TempDir dir;
  const QString name = QString::fromStdString(dir.File("t.ini"));
  TCLIniFile missing(name);
  EXPECT_EQ(missing.Text(), "");
  missing.WriteString("s", "k", "ü");
  QString error;
  ASSERT_TRUE(missing.UpdateFile(&error)) << error.toStdString();
  EXPECT_EQ(vmtest::ReadFile(dir.File("t.ini")), "[s]\nk=\xC3\xBC\n\n");
  TCLIniFile again(name);
  EXPECT_EQ(again.ReadString("S", "K", ""), "ü");

  // The target is a folder: the write fails and the folder is left alone.
  std::filesystem::create_directory(dir.File("d.ini"));
  TCLIniFile folder(QString::fromStdString(dir.File("d.ini")));
  folder.WriteString("s", "k", "v");
  EXPECT_FALSE(folder.UpdateFile(&error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("d.ini")));
}
