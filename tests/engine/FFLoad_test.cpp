#include "engine/FFApi.h"
#include "engine/FFLoad.h"

#include "support/TestMedia.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

const char SystemLibDir[] = "/usr/lib/x86_64-linux-gnu/";

class FFLoadTest : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    FFLoader().UnloadAll();
    FFLoader().SetLibraryPath("");
    for (int i = 0; i < LibraryCount; ++i)
      FFLoader().SetLibraryName(static_cast<TLibrary>(i), "");
  }

  // A folder with symlinks to the system's copies of every table library
  // except those in AMissing.
  static void LinkLibraries(const fs::path &AFolder, TLibraries AMissing) {
    for (const TLibraryItem &item : LibraryTable) {
      if (item.SysLib || AMissing.Contains(item.Lib))
        continue;
      std::string file = LibraryFileName(item.Lib);
      fs::create_symlink(std::string(SystemLibDir) + file, AFolder / file);
    }
  }

  static void ExpectNoneLoaded(TLibraries ALibs) {
    for (int i = 0; i < LibraryCount; ++i) {
      TLibrary lib = static_cast<TLibrary>(i);
      if (!ALibs.Contains(lib))
        continue;
      EXPECT_FALSE(FFLoader().Loaded(lib)) << LibraryFileName(lib);
      EXPECT_EQ(FFLoader().Status(lib).Handle, nullptr) << LibraryFileName(lib);
    }
  }
};

TEST(FFLoadTable, FileNamesAndSets) {
  EXPECT_EQ(LibraryFileName(avCodec), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_EQ(LibraryFileName(avCore), "libswresample.so.4");
  EXPECT_EQ(LibraryFileName(avFilter), "libavfilter.so.8");
  EXPECT_EQ(LibraryFileName(avUtil), "libavutil.so.57");
  EXPECT_EQ(LibraryFileName(myUtil), "libc.so.6");
  for (int i = 0; i < LibraryCount; ++i)
    EXPECT_EQ(LibraryTable[i].Lib, i);

  EXPECT_FALSE(EncoderLibraries.Contains(avDevice));
  EXPECT_TRUE(EncoderLibraries.Contains(avFilter));
  EXPECT_EQ(DecoderLibraries, EncoderLibraries - TLibraries{avFilter});
  EXPECT_TRUE(TLibraries{}.Empty());
}

TEST_F(FFLoadTest, EncoderSetLoadsBySonameAndUnloadClearsTables) {
  ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
  EXPECT_TRUE(FFLoader().Loaded(EncoderLibraries));
  EXPECT_FALSE(FFLoader().Loaded(avDevice));
  EXPECT_EQ(FFLoader().Status(avCodec).LoadedFrom, "libavcodec.so.59");
  EXPECT_EQ(FFLoader().Status(myUtil).LoadedFrom, "libc.so.6");

  // The tables call into the libraries the headers describe.
  EXPECT_EQ(ff::avcodec.avcodec_version() >> 16, unsigned(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_EQ(ff::avformat.avformat_version() >> 16, unsigned(LIBAVFORMAT_VERSION_MAJOR));
  EXPECT_EQ(ff::avfilter.avfilter_version() >> 16, unsigned(LIBAVFILTER_VERSION_MAJOR));
  EXPECT_EQ(ff::swresample.swresample_version() >> 16, unsigned(LIBSWRESAMPLE_VERSION_MAJOR));
  EXPECT_NE(ff::avcodec.avcodec_find_decoder_by_name("h264"), nullptr);
  char text[16];
  ff::libc.snprintf(text, sizeof text, "%d", 42);
  EXPECT_STREQ(text, "42");

  FFLoader().Unload(EncoderLibraries);
  ExpectNoneLoaded(EncoderLibraries);
  EXPECT_EQ(ff::avcodec.avcodec_open2, nullptr);
  EXPECT_EQ(ff::avformat.avformat_open_input, nullptr);
  EXPECT_EQ(ff::avutil.av_log, nullptr);
  EXPECT_EQ(ff::swscale.sws_scale, nullptr);
  EXPECT_EQ(ff::swresample.swr_convert, nullptr);
  EXPECT_EQ(ff::avfilter.avfilter_graph_alloc, nullptr);
  EXPECT_EQ(ff::libc.strtol, nullptr);

  // Loadable again after an unload.
  EXPECT_TRUE(FFLoader().Load(avUtil));
  EXPECT_NE(ff::avutil.av_log, nullptr);
}

TEST_F(FFLoadTest, FolderMissingOneLibraryFailsEncoderSetButLoadsDecoderSet) {
  vmtest::TempDir dir;
  LinkLibraries(dir.Path(), TLibraries{avFilter});
  FFLoader().SetLibraryPath(dir.Path().string()); // no trailing slash: the loader adds it

  EXPECT_FALSE(FFLoader().Load(EncoderLibraries));
  std::string missing = dir.File("libavfilter.so.8");
  EXPECT_EQ(FFLoader().LastErrMsg(), "Load library " + missing + " error: " + missing +
                                         ": cannot open shared object file: No such file or "
                                         "directory");
  ExpectNoneLoaded(EncoderLibraries);
  EXPECT_EQ(ff::avcodec.avcodec_open2, nullptr);

  ASSERT_TRUE(FFLoader().Load(DecoderLibraries)) << FFLoader().LastErrMsg();
  EXPECT_EQ(FFLoader().Status(avCodec).LoadedFrom, dir.File("libavcodec.so.59"));
  EXPECT_EQ(FFLoader().Status(avUtil).LoadedFrom, dir.File("libavutil.so.57"));
  // The C runtime is a system library: never taken from the folder.
  EXPECT_EQ(FFLoader().Status(myUtil).LoadedFrom, "libc.so.6");
  EXPECT_FALSE(FFLoader().Loaded(avFilter));
}

TEST_F(FFLoadTest, FolderWithoutMediaLibrariesFallsBackToSoname) {
  vmtest::TempDir dir;
  vmtest::WriteFile(dir.File("readme.txt"), "no libraries here");
  FFLoader().SetLibraryPath(dir.Path().string() + "/");
  ASSERT_TRUE(FFLoader().Load(DecoderLibraries)) << FFLoader().LastErrMsg();
  EXPECT_EQ(FFLoader().Status(avFormat).LoadedFrom, "libavformat.so.59");
}

TEST_F(FFLoadTest, LoadingIsSharedAndCountsOnlyNewLibraries) {
  int before[LibraryCount];
  for (int i = 0; i < LibraryCount; ++i)
    before[i] = FFLoader().Status(static_cast<TLibrary>(i)).LoadCount;

  ASSERT_TRUE(FFLoader().Load(DecoderLibraries));
  ASSERT_TRUE(FFLoader().Load(EncoderLibraries));
  ASSERT_TRUE(FFLoader().Load(avCodec)); // already loaded: nothing happens
  for (int i = 0; i < LibraryCount; ++i) {
    TLibrary lib = static_cast<TLibrary>(i);
    int opened = FFLoader().Status(lib).LoadCount - before[i];
    EXPECT_EQ(opened, EncoderLibraries.Contains(lib) ? 1 : 0) << LibraryFileName(lib);
  }
  // The second load opened avFilter only, so unloading the decoder's set
  // leaves exactly avFilter.
  FFLoader().Unload(DecoderLibraries);
  EXPECT_TRUE(FFLoader().Loaded(avFilter));
  EXPECT_FALSE(FFLoader().Loaded(EncoderLibraries));
}

TEST_F(FFLoadTest, MissingFunctionFailsAndLeavesTableEmpty) {
  // avutil does not export avdevice_version.
  FFLoader().SetLibraryName(avDevice, std::string(SystemLibDir) + "libavutil.so.57");
  EXPECT_FALSE(FFLoader().Load(avDevice));
  EXPECT_EQ(
      FFLoader().LastErrMsg().rfind("Load function avdevice_version@libavutil.so.57 error: ", 0),
      0u)
      << FFLoader().LastErrMsg();
  EXPECT_EQ(FFLoader().Status(avDevice).Handle, nullptr);
  EXPECT_EQ(ff::avdevice.avdevice_version, nullptr);

  // A set fails at that member, keeps its text and unloads what it loaded.
  FFLoader().SetLibraryName(avDevice, "libavutil.so.57");
  EXPECT_FALSE(FFLoader().Load(TLibraries{avCore, avDevice}));
  EXPECT_EQ(
      FFLoader().LastErrMsg().rfind("Load function avdevice_version@libavutil.so.57 error: ", 0),
      0u);
  ExpectNoneLoaded(TLibraries{avCore, avDevice});
}

TEST_F(FFLoadTest, EmptySetIsRefused) {
  EXPECT_THROW(FFLoader().Load(TLibraries{}), std::invalid_argument);
  EXPECT_FALSE(FFLoader().Loaded(TLibraries{}));
}

} // namespace
