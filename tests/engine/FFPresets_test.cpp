// The built-in presets, the translation of old preset keys and applying
// presets to a task (built-in, by codec, from a file).

#include "engine/FFPresets.h"
#include "engine/FFmpeg.h"

#include "FFOptionsTestEnv.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>
#include <set>

namespace {

auto *const GEnv = ::testing::AddGlobalTestEnvironment(new vmtest::TFFEncoderLibsEnv);

const char *const PresetNames[] = {"libx264-baseline",
                                   "libx264-default",
                                   "libx264-fast",
                                   "libx264-fast_firstpass",
                                   "libx264-faster",
                                   "libx264-faster_firstpass",
                                   "libx264-fastfirstpass",
                                   "libx264-hq",
                                   "libx264-ipod320",
                                   "libx264-ipod640",
                                   "libx264-lossless_fast",
                                   "libx264-lossless_max",
                                   "libx264-lossless_medium",
                                   "libx264-lossless_slow",
                                   "libx264-lossless_slower",
                                   "libx264-lossless_ultrafast",
                                   "libx264-main",
                                   "libx264-max",
                                   "libx264-medium",
                                   "libx264-medium_firstpass",
                                   "libx264-normal",
                                   "libx264-placebo",
                                   "libx264-placebo_firstpass",
                                   "libx264-slow",
                                   "libx264-slow_firstpass",
                                   "libx264-slower",
                                   "libx264-slower_firstpass",
                                   "libx264-slowfirstpass",
                                   "libx264-superfast",
                                   "libx264-superfast_firstpass",
                                   "libx264-ultrafast",
                                   "libx264-ultrafast_firstpass",
                                   "libx264-veryfast",
                                   "libx264-veryfast_firstpass",
                                   "libx264-veryslow",
                                   "libx264-veryslow_firstpass"};

TEST(BuiltinPresets, TableHoldsExactlyTheNamedPresets) {
  ASSERT_EQ(std::size(PresetNames), size_t(BuiltinPresetCount));
  std::set<std::string> names;
  for (const TOptionsPreset &p : BuiltinPresets)
    names.insert(p.Name);
  EXPECT_EQ(names, std::set<std::string>(std::begin(PresetNames), std::end(PresetNames)));
  EXPECT_EQ(FindBuiltinPreset("LIBX264-Default"), FindBuiltinPreset("libx264-default"));
  EXPECT_EQ(FindBuiltinPreset("default"), nullptr);

  const std::set<std::string> keys = {
      "coder",  "flags",      "cmp",          "partitions", "me_method",  "subq",    "me_range",
      "g",      "keyint_min", "sc_threshold", "i_qfactor",  "b_strategy", "qcomp",   "qmin",
      "qmax",   "qdiff",      "bf",           "refs",       "directpred", "trellis", "flags2",
      "wpredp", "cqp",        "level",        "maxrate",    "bufsize"};
  for (const TOptionsPreset &p : BuiltinPresets) {
    for (const TExtOption &line : ParseExtOptions(p.Value)) {
      EXPECT_TRUE(keys.count(line.Name)) << p.Name << ": " << line.Name;
      EXPECT_FALSE(line.Value.empty()) << p.Name << ": " << line.Name;
    }
    if (std::string(p.Name).find("lossless") != std::string::npos) {
      EXPECT_NE(std::string(p.Value).find("cqp=0"), std::string::npos) << p.Name;
    }
  }
}

TEST(BuiltinPresets, QuotedPresetsAreExact) {
  EXPECT_STREQ(
      FindBuiltinPreset("libx264-default")->Value,
      "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
      "me_method=hex\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
      "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\n"
      "refs=3\ndirectpred=1\ntrellis=1\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\n"
      "wpredp=2");
  EXPECT_STREQ(FindBuiltinPreset("libx264-ipod320")->Value,
               "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\n"
               "wpredp=0");
  EXPECT_STREQ(FindBuiltinPreset("libx264-ipod640")->Value,
               "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\n"
               "bufsize=10000000\nwpredp=0");
  EXPECT_STREQ(FindBuiltinPreset("libx264-baseline")->Value,
               "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0");
  EXPECT_STREQ(FindBuiltinPreset("libx264-main")->Value, "flags2=-dct8x8");
}

TEST(PresetTranslation, RenamedDroppedAndUnchangedKeys) {
  auto t = TranslatePresetOption("directpred", "1");
  EXPECT_EQ(t.Options, (std::vector<TExtOption>{{"direct-pred", "1"}}));
  EXPECT_EQ(TranslatePresetOption("cqp", "0").Options, (std::vector<TExtOption>{{"qp", "0"}}));

  t = TranslatePresetOption("flags2", "+mixed_refs-wpred+dct8x8+fastpskip-bpyramid+nosuch");
  EXPECT_EQ(t.Options, (std::vector<TExtOption>{{"mixed-refs", "1"},
                                                {"weightb", "0"},
                                                {"8x8dct", "1"},
                                                {"fast-pskip", "1"},
                                                {"b-pyramid", "none"}}));
  EXPECT_EQ(t.Dropped, (std::vector<std::string>{"flags2 +nosuch"}));

  EXPECT_EQ(TranslatePresetOption("partitions", "+parti8x8-parti4x4+partp8x8+partb8x8").Options,
            (std::vector<TExtOption>{{"partitions", "i8x8,p8x8,b8x8"}}));
  EXPECT_EQ(TranslatePresetOption("partitions", "-parti8x8-parti4x4").Options,
            (std::vector<TExtOption>{{"partitions", "none"}}));
  EXPECT_EQ(TranslatePresetOption("partitions", "i8x8,p8x8").Options,
            (std::vector<TExtOption>{{"partitions", "i8x8,p8x8"}}));

  t = TranslatePresetOption("deblockalpha", "0");
  EXPECT_TRUE(t.Options.empty());
  EXPECT_EQ(t.Dropped, (std::vector<std::string>{"deblockalpha"}));
  EXPECT_EQ(TranslatePresetOption("subq", "7").Options, (std::vector<TExtOption>{{"subq", "7"}}));
}

// Every built-in preset applies on FFmpeg 5.1 and a real libx264 encoder
// opens with what it recorded, leaving no option unused.
TEST(PresetApply, EveryBuiltinPresetOpensLibx264) {
  const AVCodec *x264 = ff::avcodec.avcodec_find_encoder_by_name("libx264");
  ASSERT_NE(x264, nullptr);
  for (const TOptionsPreset &p : BuiltinPresets) {
    SCOPED_TRACE(p.Name);
    TCustomFFmpeg task;
    ASSERT_NO_THROW(task.ApplyPreset("vpre", p.Name));
    EXPECT_GT(task.Options().opt_name_count(), 0);

    TFFCodecContextPtr ctx(ff::avcodec.avcodec_alloc_context3(x264));
    ctx->width = 64;
    ctx->height = 64;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, 25};
    ctx->bit_rate = 200000;
    TFFDictionary rest;
    task.Options().CopyRecorded(ctx.get(), task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO),
                                AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM, rest.Addr());
    EXPECT_EQ(ff::avutil.av_dict_count(rest.Get()), 0);
    EXPECT_EQ(ff::avcodec.avcodec_open2(ctx.get(), x264, nullptr), 0);
  }
}

TEST(PresetApply, TranslatedKeysReachTheEncoder) {
  TCustomFFmpeg task;
  task.ApplyPreset("vpre", "libx264-default");
  auto &names = task.Options().opt_names;
  for (const char *n : {"direct-pred", "mixed-refs", "weightb", "8x8dct", "fast-pskip"})
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  EXPECT_EQ(std::find(names.begin(), names.end(), "directpred"), names.end());
  EXPECT_EQ(task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->gop_size, 250);
  EXPECT_EQ(task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->max_b_frames, 3);
}

TEST(PresetApply, NameResolution) {
  TCustomFFmpeg task;
  // "default" alone is not a preset: without a codec it is a (missing) file.
  try {
    task.ApplyPreset("vpre", "default");
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_STREQ(e.what(), "Preset \"default\" not found");
  }
  // With libx264 selected it resolves to libx264-default.
  task.SelectCodec(AVMEDIA_TYPE_VIDEO, "libx264");
  ASSERT_NO_THROW(task.ApplyPreset("vpre", "default"));
  EXPECT_EQ(task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->gop_size, 250);
  // The audio codec decides for "apre": none selected, so a file is wanted.
  EXPECT_THROW(task.ApplyPreset("apre", "default"), FFmpegException);
  // "fpre" is always a file, even when a built-in preset has the name.
  EXPECT_THROW(task.ApplyPreset("fpre", "libx264-default"), FFmpegException);
  // Through the option table.
  ASSERT_NO_THROW(task.SetExtOption("vpre", "LIBX264-IPOD640"));
  EXPECT_EQ(task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->rc_max_rate, 10000000);
}

TEST(PresetApply, PresetFiles) {
  vmtest::TempDir dir;
  const std::string file = dir.File("my.ffpreset");
  ASSERT_TRUE(vmtest::WriteFile(file, "\r\n# comment\r\n  g=48  \r\n\r\nvcodec=mpeg4\r\n"
                                      "ACODEC=mp2\r\ndeblockalpha=0\r\n"));
  {
    vmtest::TLogCapture log;
    TCustomFFmpeg task;
    ASSERT_NO_THROW(task.SetExtOption("fpre", file));
    EXPECT_EQ(task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->gop_size, 48);
    EXPECT_EQ(task.Fvideo_codec_name, "mpeg4");
    EXPECT_EQ(task.Faudio_codec_name, "mp2");
    EXPECT_TRUE(log.Has(llWarning, "deblockalpha"));
    EXPECT_EQ(task.Options().opt_name_count(), 1); // only "g"
  }
  // A file named by "vpre" when no built-in preset matches.
  TCustomFFmpeg task;
  ASSERT_NO_THROW(task.SetExtOption("vpre", file));
  EXPECT_EQ(task.Fvideo_codec_name, "mpeg4");

  const std::string empty = dir.File("empty.ffpreset");
  ASSERT_TRUE(vmtest::WriteFile(empty, ""));
  EXPECT_NO_THROW(task.SetExtOption("fpre", empty));
}

TEST(PresetApply, SyntaxAndOptionErrors) {
  vmtest::TempDir dir;
  const std::string bad = dir.File("bad.ffpreset");
  ASSERT_TRUE(vmtest::WriteFile(bad, "g=12\nnovalue\n"));
  TCustomFFmpeg task;
  try {
    task.ApplyPreset("fpre", bad);
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_EQ(std::string(e.what()), bad + ": Invalid syntax: \"novalue\"");
  }
  ASSERT_TRUE(vmtest::WriteFile(bad, "=1"));
  EXPECT_THROW(task.ApplyPreset("fpre", bad), FFmpegException);

  ASSERT_TRUE(vmtest::WriteFile(bad, "nosuchkey=1\ng=24"));
  try {
    task.ApplyPreset("fpre", bad);
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_EQ(std::string(e.what()), "Unrecognized option \"nosuchkey\"\r\n" + bad +
                                         ": Invalid option or argument: \"nosuchkey=1\", parsed "
                                         "as \"nosuchkey\" = \"1\"");
  }
  // Not halting: the bad line is skipped and the rest applies.
  task.HaltOnInvalidOption = false;
  ASSERT_NO_THROW(task.ApplyPreset("fpre", bad));
  EXPECT_EQ(task.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->gop_size, 24);
}

} // namespace
