#pragma once
// A scratch installation for settings tests: an application folder holding
// const.dat, and per-user and all-users data folders, all below one temp
// folder and selected through the VIDEOMILL_* environment overrides.
// TearDown frees the global store and removes the overrides.

#include "platform/Folders.h"
#include "services/CLSettings.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

class SettingsFixture : public ::testing::Test {
protected:
  vmtest::TempDir FDir;
  std::string FApp, FUser, FCommon;

  void SetUp() override {
    FApp = FDir.File("app/");
    FUser = FDir.File("user");
    FCommon = FDir.File("common");
    // A fixed configuration word keeps the data folders predictable.
    WriteConst("[setting]\nApp.ConfigPath=cfg\n");
    setenv("VIDEOMILL_APPDIR", FApp.c_str(), 1);
    setenv("VIDEOMILL_APPDATA", FUser.c_str(), 1);
    setenv("VIDEOMILL_COMMON_APPDATA", FCommon.c_str(), 1);
  }

  void TearDown() override {
    FreeSettings();
    unsetenv("VIDEOMILL_APPDIR");
    unsetenv("VIDEOMILL_APPDATA");
    unsetenv("VIDEOMILL_COMMON_APPDATA");
  }

  void WriteConst(const std::string &text) {
    ASSERT_TRUE(vmtest::WriteFile(FApp + "const.dat", text));
  }
  void WriteOem(const std::string &text) {
    ASSERT_TRUE(vmtest::WriteFile(FApp + "oem.const.dat", text));
  }
  std::string UserSettingFile() const { return FUser + "/cfg/setting.dat"; }
  std::string CommonSettingFile() const { return FCommon + "/cfg/setting.dat"; }
  std::string UserFlagFile() const { return FUser + "/cfg/UserFlag.ini"; }
  // Points the all-users folder below a regular file, where no folder can be
  // created (access checks alone would pass for root).
  void MakeCommonUnusable() {
    ASSERT_TRUE(vmtest::WriteFile(FDir.File("blocker"), "x"));
    setenv("VIDEOMILL_COMMON_APPDATA", FDir.File("blocker/common").c_str(), 1);
  }
};
