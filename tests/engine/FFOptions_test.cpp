// Option records, the extra-options text, value conversions, the structured
// value parsers and the generic option setter.

#include "engine/FFOptions.h"
#include "engine/FFOptionsGeneric.h"
#include "engine/FFOptionsParse.h"

#include "FFOptionsTestEnv.h"

#include <clocale>
#include <gtest/gtest.h>

namespace {

auto *const GEnv = ::testing::AddGlobalTestEnvironment(new vmtest::TFFEncoderLibsEnv);

TEST(OptionRecords, DefaultsAndInitialisers) {
  TInputOptions in;
  EXPECT_EQ(in.TimeStart, INT64_MIN);
  EXPECT_EQ(in.ProgramID, -1);
  EXPECT_EQ(in.Tag, 0);
  in.FileName = "a";
  in.TimeStart = 5;
  in.ProgramID = 3;
  InitInputOptions(in);
  EXPECT_TRUE(in.FileName.empty());
  EXPECT_EQ(in.TimeStart, FFNoTime);
  EXPECT_EQ(in.ProgramID, -1);

  TOutputOptions out;
  out.AudioVolume = 0;
  out.VideoHookBitsPixel = 8;
  out.Info.Year = 2000;
  out.TargetType = ttDVD;
  out.NormDefault = ntNTSC;
  out.TimeLength = 7;
  InitOutputOptions(out);
  EXPECT_EQ(out.AudioVolume, -1);
  EXPECT_EQ(out.AudioSyncMethod, 0);
  EXPECT_EQ(out.VideoSyncMethod, -1);
  EXPECT_EQ(out.VideoHookBitsPixel, 24);
  EXPECT_EQ(out.MuxDelay, -1.0f);
  EXPECT_EQ(out.Info.TimeStamp, -1.0);
  EXPECT_EQ(out.Info.Year, -1);
  EXPECT_EQ(out.Info.Track, -1);
  EXPECT_EQ(out.TargetType, ttIgnore);
  EXPECT_EQ(out.NormType, ntAuto);
  EXPECT_EQ(out.NormDefault, ntPAL);
  EXPECT_EQ(out.TimeStart, FFNoTime);
  EXPECT_EQ(out.TimeLength, FFNoTime);
  EXPECT_FALSE(out.Join);
}

TEST(ExtOptionsText, LineBreaksBlankLinesAndCase) {
  const auto opts = ParseExtOptions(
      "  \r\nVN=1\r\n\r\nvf=scale=320:240<CRLF>newaudio\rAStrict=experimental\n\n ");
  const std::vector<TExtOption> want = {
      {"vn", "1"}, {"vf", "scale=320:240"}, {"newaudio", ""}, {"astrict", "experimental"}};
  EXPECT_EQ(opts, want);
  EXPECT_TRUE(ParseExtOptions("").empty());
  EXPECT_TRUE(ParseExtOptions(" \r\n\t ").empty());
  // The value keeps its case and everything after the first '='.
  EXPECT_EQ(ParseExtOptions("metadata=Title=A=B")[0].Value, "Title=A=B");
}

TEST(ExtOptionsText, InputTextForm) {
  TInputOptions in = InputOptionsFromText("timestart=2500000\r\nvn=1\r\nVf=x");
  EXPECT_EQ(in.TimeStart, 2500000);
  EXPECT_EQ(in.ExtOptions, "vn=1\nVf=x"); // other lines unchanged
  EXPECT_EQ(InputOptionsFromText("TimeStart=abc").TimeStart, FFNoTime);
  EXPECT_EQ(InputOptionsFromText("TIMESTART=-3").TimeStart, -3);
  EXPECT_EQ(InputOptionsFromText("").ExtOptions, "");
}

TEST(ExtOptionsText, OutputTextForm) {
  TOutputOptions o = OutputOptionsFromText(
      "AudioHook\nvideoinputhook=0\nVideoOutputHook=yes\njoin=1\nVideoHookBitsPixel=16\n"
      "TimeStart=100\nTimeLength=200\nab=128000");
  EXPECT_TRUE(o.AudioHook); // no value: true
  EXPECT_FALSE(o.VideoInputHook);
  EXPECT_TRUE(o.VideoOutputHook);
  EXPECT_TRUE(o.Join);
  EXPECT_EQ(o.VideoHookBitsPixel, 16);
  EXPECT_EQ(o.TimeStart, 100);
  EXPECT_EQ(o.TimeLength, 200);
  EXPECT_EQ(o.ExtOptions, "ab=128000");

  TOutputOptions bad = OutputOptionsFromText("VideoHookBitsPixel=x\nTimeLength=1.5");
  EXPECT_EQ(bad.VideoHookBitsPixel, 24);
  EXPECT_EQ(bad.TimeLength, FFNoTime);
}

TEST(OptionValues, Conversions) {
  EXPECT_TRUE(OptBool(""));
  EXPECT_TRUE(OptBool("false"));
  EXPECT_FALSE(OptBool("0"));
  EXPECT_EQ(OptInt(" -42 "), -42);
  EXPECT_EQ(OptInt64("9000000000"), 9000000000LL);
  EXPECT_THROW(OptInt("9000000000"), std::invalid_argument);
  try {
    OptInt("12abc");
    FAIL();
  } catch (const std::invalid_argument &e) {
    EXPECT_STREQ(e.what(), "'12abc' is not a valid integer value");
  }
  EXPECT_THROW(OptInt(""), std::invalid_argument);
  EXPECT_DOUBLE_EQ(OptFloat("0.71"), 0.71);
  EXPECT_DOUBLE_EQ(OptFloat("-1e3"), -1000.0);
  EXPECT_THROW(OptFloat("0,5"), std::invalid_argument);
  EXPECT_THROW(OptFloat("nan"), std::invalid_argument);
  // Independent of a decimal-comma locale set by the GUI.
  const char *saved = std::setlocale(LC_NUMERIC, nullptr);
  std::string keep = saved ? saved : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    EXPECT_DOUBLE_EQ(OptFloat("0.5"), 0.5);
  }
  std::setlocale(LC_NUMERIC, keep.c_str());
}

TEST(OptionParsers, StreamAndChapterMaps) {
  EXPECT_EQ(ParseStreamMap("0:1"), (TAVStreamMap{0, 1, 0, 1}));
  EXPECT_EQ(ParseStreamMap("1.2:0.3"), (TAVStreamMap{1, 2, 0, 3}));
  EXPECT_EQ(ParseChapterMap("2:1"), (TAVChapterMap{1, 2}));

  auto [out, in] = ParseMetaDataMap("0,s1:1,c2");
  EXPECT_EQ(out, (TAVMetaDataMap{0, 's', 1}));
  EXPECT_EQ(in, (TAVMetaDataMap{1, 'c', 2}));
  auto [gout, gin] = ParseMetaDataMap("1,g:0");
  EXPECT_EQ(gout, (TAVMetaDataMap{1, 'g', 0}));
  EXPECT_EQ(gin, (TAVMetaDataMap{0, 'g', 0}));
  try {
    ParseMetaDataMap("0,x:1");
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_STREQ(e.what(), "Invalid metadata type x.");
  }
}

TEST(OptionParsers, TagsMatricesAndOverrides) {
  EXPECT_EQ(ParseCodecTag("DIVX"), 0x58564944u); // 'D' in the lowest byte
  EXPECT_EQ(ParseCodecTag("1234"), 1234u);
  EXPECT_EQ(ParseCodecTag("0"), 0u);
  EXPECT_THROW(ParseCodecTag("XVIDX"), FFmpegException);
  try {
    ParseCodecTag("abc");
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_STREQ(e.what(), "tag parameter must be 4 chars or int value");
  }

  std::string m;
  for (int i = 0; i < 64; ++i)
    m += (i ? "," : "") + std::to_string(i + 8);
  auto matrix = ParseMatrix(m);
  ASSERT_EQ(matrix.size(), 64u);
  EXPECT_EQ(matrix[0], 8);
  EXPECT_EQ(matrix[63], 71);
  const std::string shortM = m.substr(0, m.rfind(','));
  try {
    ParseMatrix(shortM);
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_EQ(std::string(e.what()), "Syntax error in matrix \"" + shortM + "\" at coeff 62");
  }

  std::vector<TRcOverride> rc;
  ASSERT_TRUE(ParseRcOverride("0,100,2/101,200,-50", rc));
  ASSERT_EQ(rc.size(), 2u);
  EXPECT_EQ(rc[0].qscale, 2);
  EXPECT_EQ(rc[1].start_frame, 101);
  EXPECT_EQ(rc[1].qscale, 0);
  EXPECT_FLOAT_EQ(rc[1].quality_factor, 0.5f);
  EXPECT_FALSE(ParseRcOverride("0,100", rc));
  EXPECT_FALSE(ParseRcOverride("0,100,2/x", rc));
}

TEST(OptionParsers, StreamIdsScalesAspectHooksFilters) {
  EXPECT_EQ(ParseStreamId("streamid", "1:224"), (std::pair<int, int>{1, 224}));
  try {
    ParseStreamId("streamid", "15");
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_STREQ(
        e.what(),
        "Invalid value \"15\" for option \"streamid\", required syntax is \"index:value\"");
  }
  EXPECT_THROW(ParseStreamId("streamid", "99999999:1"), FFmpegException); // bounded index

  auto [stream, scale] = ParseTsScale("1:0.5");
  EXPECT_EQ(stream, 1);
  EXPECT_DOUBLE_EQ(scale, 0.5);
  try {
    ParseTsScale("20:1");
    FAIL();
  } catch (const FFmpegException &e) {
    EXPECT_STREQ(e.what(), "stream index over MAX_STREAMS(20)");
  }
  EXPECT_THROW(ParseTsScale("-1:1"), FFmpegException);

  EXPECT_DOUBLE_EQ(ParseAspect("16:9"), 16.0 / 9);
  EXPECT_DOUBLE_EQ(ParseAspect("4:0"), 0.0);
  EXPECT_DOUBLE_EQ(ParseAspect("1.7777"), 1.7777);
  EXPECT_THROW(ParseAspect("a:3"), std::invalid_argument);

  EXPECT_EQ(SplitHookArgs("lib.so|a b|c"), (std::vector<std::string>{"lib.so", "a b", "c"}));
  EXPECT_EQ(SplitHookArgs("lib.so a  b"), (std::vector<std::string>{"lib.so", "a", "b"}));
  std::string many;
  for (int i = 0; i < 300; ++i)
    many += "x ";
  EXPECT_EQ(SplitHookArgs(many).size(), 254u);

  EXPECT_EQ(BitStreamFilterName("h264_mp4toannexb=arg"), "h264_mp4toannexb");
  EXPECT_EQ(BitStreamFilterName("=x"), "");
}

// --- the generic option setter

class GenericOptionSetter : public ::testing::Test {
protected:
  TFFOptions FOpts{4};
  AVCodecContext *V() { return FOpts.CodecOpts(AVMEDIA_TYPE_VIDEO); }
  AVCodecContext *A() { return FOpts.CodecOpts(AVMEDIA_TYPE_AUDIO); }
};

TEST_F(GenericOptionSetter, CodecOptionsByMediaType) {
  ASSERT_TRUE(FOpts.SetOption("g", "250"));
  EXPECT_EQ(V()->gop_size, 250);
  EXPECT_NE(A()->gop_size, 250); // "g" is a video option

  ASSERT_TRUE(FOpts.SetOption("ab", "128000"));
  ASSERT_TRUE(FOpts.SetOption("vb", "1000000"));
  EXPECT_EQ(V()->bit_rate, 1000000);
  EXPECT_EQ(A()->bit_rate, 128000); // a video bit rate never reaches audio
  ASSERT_TRUE(FOpts.SetOption("b", "2000000"));
  EXPECT_EQ(A()->bit_rate, 128000);
  ASSERT_TRUE(FOpts.SetOption("maxrate", "3000000"));
  EXPECT_EQ(V()->rc_max_rate, 3000000);
  EXPECT_EQ(A()->rc_max_rate, 0);

  // The prefix form sets one media type only.
  ASSERT_TRUE(FOpts.SetOption("astrict", "experimental"));
  EXPECT_EQ(A()->strict_std_compliance, FF_COMPLIANCE_EXPERIMENTAL);
  EXPECT_EQ(V()->strict_std_compliance, FF_COMPLIANCE_NORMAL);
  ASSERT_TRUE(FOpts.SetOption("vstrict", "unofficial"));
  EXPECT_EQ(V()->strict_std_compliance, FF_COMPLIANCE_UNOFFICIAL);
  EXPECT_EQ(A()->strict_std_compliance, FF_COMPLIANCE_EXPERIMENTAL);

  // Declared options are recorded by their declared name without value.
  const std::vector<std::string> names = {"g", "ab", "b", "b", "maxrate", "strict", "strict"};
  EXPECT_EQ(FOpts.opt_names, names);
  for (const std::string &v : FOpts.opt_values)
    EXPECT_EQ(v, "");
}

TEST_F(GenericOptionSetter, ContainerScalerAndPrivateOptions) {
  ASSERT_TRUE(FOpts.SetOption("packetsize", "2324"));
  EXPECT_EQ(FOpts.FormatOpts()->packet_size, 2324u);
  ASSERT_TRUE(FOpts.SetOption("sws_flags", "bilinear"));
  int64_t flags = 0;
  ASSERT_GE(ff::avutil.av_opt_get_int(FOpts.SwsOpts(), "sws_flags", 0, &flags), 0);
  EXPECT_EQ(flags, 2); // SWS_BILINEAR

  // Private options of a codec or a muxer: recorded with their value.
  ASSERT_TRUE(FOpts.SetOption("crf", "20"));
  ASSERT_TRUE(FOpts.SetOption("muxrate", "1411200"));
  ASSERT_EQ(FOpts.opt_name_count(), 4);
  EXPECT_EQ(FOpts.opt_names[2], "crf");
  EXPECT_EQ(FOpts.opt_values[2], "20");
  EXPECT_EQ(FOpts.opt_values[3], "1411200");
}

TEST_F(GenericOptionSetter, FailuresSetTheSharedLastError) {
  vmtest::TLogCapture log;
  EXPECT_FALSE(FOpts.SetOption("g", "abc"));
  EXPECT_EQ(FFLastOptionError(), "Invalid value \"abc\" for option \"g\"");
  EXPECT_TRUE(log.Has(llError, "Invalid value \"abc\" for option \"g\""));
  EXPECT_FALSE(FOpts.SetOption("packetsize", "huge"));
  EXPECT_EQ(FFLastOptionError(), "Invalid value \"huge\" for option \"packetsize\"");
  EXPECT_FALSE(FOpts.SetOption("sws_flags", "nosuchflag"));
  EXPECT_EQ(FFLastOptionError(), "Invalid value \"nosuchflag\" for option \"sws_flags\"");
  EXPECT_FALSE(FOpts.SetOption("vb", "lots"));
  EXPECT_EQ(FFLastOptionError(), "Invalid value \"lots\" for option \"vb\"");

  EXPECT_FALSE(FOpts.SetOption("nosuchoption", "1"));
  EXPECT_EQ(FFLastOptionError(), "Unrecognized option \"nosuchoption\"");
  EXPECT_TRUE(log.Has(llError, "Unrecognized option \"nosuchoption\""));
  // Case matters to FFmpeg's option sets.
  EXPECT_FALSE(FOpts.SetOption("G", "1"));
  EXPECT_EQ(FFLastOptionError(), "Unrecognized option \"G\"");

  // An empty name fails without a message.
  FFSetLastOptionError("before");
  EXPECT_FALSE(FOpts.SetOption("  ", "1"));
  EXPECT_EQ(FFLastOptionError(), "before");
  EXPECT_EQ(FOpts.opt_name_count(), 0); // nothing recorded on failure
}

TEST_F(GenericOptionSetter, DebugFlagRaisesTheLogLevel) {
  vmtest::TLogCapture log; // restores the level afterwards
  FFLogger().SetLogLevel(llInfo);
  ASSERT_TRUE(FOpts.SetOption("g", "12"));
  EXPECT_EQ(FFLogger().LogLevel(), llInfo);
  ASSERT_TRUE(FOpts.SetOption("debug", "pict"));
  EXPECT_EQ(FFLogger().LogLevel(), llDebug);
}

TEST_F(GenericOptionSetter, CopyRecordedIntoARealEncoder) {
  ASSERT_TRUE(FOpts.SetOption("g", "48"));
  ASSERT_TRUE(FOpts.SetOption("ab", "96000"));
  ASSERT_TRUE(FOpts.SetOption("crf", "19"));
  ASSERT_TRUE(FOpts.SetOption("muxrate", "1411200"));
  const AVCodec *x264 = ff::avcodec.avcodec_find_encoder_by_name("libx264");
  ASSERT_NE(x264, nullptr);
  TFFCodecContextPtr ctx(ff::avcodec.avcodec_alloc_context3(x264));
  TFFDictionary rest;
  FOpts.CopyRecorded(ctx.get(), V(), AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM,
                     rest.Addr());
  EXPECT_EQ(ctx->gop_size, 48);
  EXPECT_EQ(ctx->bit_rate, 0); // "ab" is not a video option
  double crf = 0;
  ASSERT_GE(ff::avutil.av_opt_get_double(ctx.get(), "crf", AV_OPT_SEARCH_CHILDREN, &crf), 0);
  EXPECT_DOUBLE_EQ(crf, 19.0);
  // Not an option of this codec: left for the muxer's dictionary.
  ASSERT_NE(ff::avutil.av_dict_get(rest.Get(), "muxrate", nullptr, 0), nullptr);
}

} // namespace
