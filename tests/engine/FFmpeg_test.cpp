// The transcoder's option side: settings defaults, the option table of
// SetExtOption, codec checks, disc targets and applying option records.

#include "engine/FFOptionsParse.h"
#include "engine/FFTaskMap.h"
#include "engine/FFmpeg.h"

#include "FFOptionsTestEnv.h"
#include "support/TestMedia.h"

#include <cmath>
#include <gtest/gtest.h>
#include <type_traits>

namespace {

auto *const GEnv = ::testing::AddGlobalTestEnvironment(new vmtest::TFFEncoderLibsEnv);

// Throws? Then returns its message.
template <typename F> std::string ErrorOf(F AFunc) {
  try {
    AFunc();
  } catch (const std::exception &e) {
    return e.what();
  }
  return "<no error>";
}

class OptionTable : public ::testing::Test {
protected:
  TCustomFFmpeg T;
  std::string Err(const std::string &AName, const std::string &AValue) {
    return ErrorOf([&] { T.SetExtOption(AName, AValue); });
  }
  AVCodecContext *Opts(AVMediaType AType) { return T.Options().CodecOpts(AType); }
};

TEST_F(OptionTable, SettingsDefaults) {
  EXPECT_EQ(T.Fframe_width, 0);
  EXPECT_EQ(T.Fframe_aspect_ratio, 0);
  EXPECT_EQ(T.Fframe_pix_fmt, AV_PIX_FMT_NONE);
  EXPECT_EQ(T.Fframe_rate.num, 25);
  EXPECT_EQ(T.Fframe_rate.den, 0);
  for (int m : T.Fmax_frames)
    EXPECT_EQ(m, INT_MAX);
  EXPECT_EQ(T.Fvideo_sync_method, -1);
  EXPECT_EQ(T.Ftop_field_first, -1);
  EXPECT_EQ(T.Fintra_dc_precision, 8);
  EXPECT_EQ(T.Floop_output, -1);
  EXPECT_EQ(T.Fthread_count, 1);
  EXPECT_EQ(T.Fverbose, 1);
  EXPECT_EQ(T.Fsws_flags, 4);
  EXPECT_EQ(T.Faudio_sample_rate, 44100);
  EXPECT_EQ(T.Faudio_channels, 2);
  EXPECT_EQ(T.Faudio_sample_fmt, AV_SAMPLE_FMT_NONE);
  EXPECT_FLOAT_EQ(T.Faudio_qscale, -99999.0f);
  EXPECT_EQ(T.Faudio_volume, 256);
  EXPECT_FLOAT_EQ(T.Faudio_drift_threshold, 0.1f);
  EXPECT_FLOAT_EQ(T.Fmux_preload, 0.5f);
  EXPECT_FLOAT_EQ(T.Fmux_max_delay, 0.7f);
  EXPECT_EQ(T.Frecording_time, INT64_MAX);
  EXPECT_EQ(T.Fstart_time, 0);
  EXPECT_DOUBLE_EQ(T.Fdts_delta_threshold, 10.0);
  EXPECT_EQ(T.Fbit_buffer_size, 262144);
  EXPECT_EQ(T.Fmetadata_streams_autocopy, 1);
  EXPECT_EQ(T.FTotalOutputDuration, -1);
  EXPECT_TRUE(T.HaltOnInvalidOption);
  EXPECT_EQ(T.Options().opt_name_count(), 0);
}

TEST_F(OptionTable, DoNothingAndLoggingOptions) {
  vmtest::TLogCapture log;
  for (const char *n : {"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters",
                        "i", "y", "benchmark"}) {
    T.SetExtOption(n, "x");
    EXPECT_TRUE(log.Has(llInfo, std::string("Do nothing: option - ") + n)) << n;
  }
  T.SetExtOption("timelimit", "10");
  EXPECT_TRUE(log.Has(llWarning, "Warning: -timelimit not implemented on Windows"));
  T.SetExtOption("threads", "4");
  EXPECT_EQ(T.Fthread_count, 4);
  EXPECT_TRUE(log.Has(llVerbose, "would be using thread emulation."));
  T.SetExtOption("loglevel", "error");
  EXPECT_EQ(FFLogger().LogLevel(), llError);
  T.SetExtOption("loglevel", "32");
  EXPECT_EQ(FFLogger().LogLevel(), llInfo);
  T.SetExtOption("b", "500");
  EXPECT_TRUE(log.Has(llWarning, "WARNING: The bitrate parameter is set too low."));
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->bit_rate, 500);
}

TEST_F(OptionTable, NumbersFlagsAndRanges) {
  T.SetExtOption("v", "-1");
  EXPECT_EQ(T.Fverbose, -1);
  EXPECT_EQ(Err("v", "loud"), "'loud' is not a valid integer value");
  T.SetExtOption("copyts", "");
  EXPECT_EQ(T.Fcopy_ts, 1);
  T.SetExtOption("copyts", "0");
  EXPECT_EQ(T.Fcopy_ts, 0);
  T.SetExtOption("vn", "1");
  EXPECT_EQ(T.Fvideo_disable, 1);
  T.SetExtOption("dframes", "7");
  T.SetExtOption("vframes", "8");
  T.SetExtOption("aframes", "9");
  EXPECT_EQ(T.Fmax_frames[AVMEDIA_TYPE_DATA], 7);
  EXPECT_EQ(T.Fmax_frames[AVMEDIA_TYPE_VIDEO], 8);
  EXPECT_EQ(T.Fmax_frames[AVMEDIA_TYPE_AUDIO], 9);
  T.SetExtOption("fs", "5000000000");
  EXPECT_EQ(T.Flimit_filesize, 5000000000LL);
  T.SetExtOption("adrift_threshold", "0.25");
  EXPECT_FLOAT_EQ(T.Faudio_drift_threshold, 0.25f);
  EXPECT_EQ(Err("muxdelay", "soon"), "'soon' is not a valid floating point value");

  EXPECT_EQ(Err("qscale", "0"), "qscale must be > 0.0 and <= 255");
  EXPECT_EQ(Err("qscale", "255.5"), "qscale must be > 0.0 and <= 255");
  T.SetExtOption("qscale", "255");
  EXPECT_FLOAT_EQ(T.Fvideo_qscale, 255.0f);
  EXPECT_EQ(Err("pass", "3"), "pass number can be only 1 or 2");
  T.SetExtOption("pass", "2");
  EXPECT_EQ(T.Fdo_pass, 2);

  T.SetExtOption("ar", "0");
  T.SetExtOption("ac", "-1");
  EXPECT_EQ(T.Faudio_sample_rate, 44100);
  EXPECT_EQ(T.Faudio_channels, 2);
  T.SetExtOption("ar", "48000");
  T.SetExtOption("ac", "1");
  EXPECT_EQ(T.Faudio_sample_rate, 48000);
  EXPECT_EQ(T.Faudio_channels, 1);
  T.SetExtOption("vol", "512");
  EXPECT_EQ(T.Faudio_volume, 512);
}

TEST_F(OptionTable, RatesSizesAspectAndFormats) {
  T.SetExtOption("r", "ntsc");
  EXPECT_EQ(T.Fframe_rate.num, 30000);
  EXPECT_EQ(T.Fframe_rate.den, 1001);
  T.SetExtOption("r", "");
  EXPECT_EQ(T.Fframe_rate.num, 30000);
  EXPECT_EQ(Err("r", "fast"), "Incorrect frame rate");

  T.SetExtOption("s", "vga");
  EXPECT_EQ(T.Fframe_width, 640);
  EXPECT_EQ(T.Fframe_height, 480);
  T.SetExtOption("s", "352x288");
  EXPECT_EQ(T.Fframe_width, 352);
  EXPECT_EQ(Err("s", "big"), "Incorrect frame size");
  T.SetExtOption("s", "");
  EXPECT_EQ(T.Fframe_height, 288);

  T.SetExtOption("aspect", "16:9");
  EXPECT_NEAR(T.Fframe_aspect_ratio, 16.0 / 9, 1e-9);
  T.SetExtOption("aspect", "1.3333");
  EXPECT_NEAR(T.Fframe_aspect_ratio, 1.3333, 1e-9);
  EXPECT_EQ(Err("aspect", "4:0"), "Incorrect aspect ratio specification.");
  EXPECT_EQ(Err("aspect", "0"), "Incorrect aspect ratio specification.");

  T.SetExtOption("pix_fmt", "yuv422p");
  EXPECT_EQ(T.Fframe_pix_fmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(Err("pix_fmt", "nosuch"), "Unknown pixel format requested: nosuch");
  T.SetExtOption("sample_fmt", "s16");
  EXPECT_EQ(T.Faudio_sample_fmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(Err("sample_fmt", "s17"), "Invalid sample format \"s17\"");
  {
    vmtest::TLogCapture log;
    T.SetExtOption("pix_fmt", "list");
    T.SetExtOption("sample_fmt", "list");
    EXPECT_TRUE(log.Has(llInfo, "yuv420p"));
    EXPECT_TRUE(log.Has(llInfo, "fltp"));
    EXPECT_GT(log.Count(llInfo), 100u);
  }
  EXPECT_EQ(T.Fframe_pix_fmt, AV_PIX_FMT_YUV422P); // "list" changes nothing

  T.SetExtOption("f", "mp4");
  T.SetExtOption("f", "");
  EXPECT_EQ(T.Flast_asked_format, "mp4");
  T.SetExtOption("vf", "scale=320:240");
  T.SetExtOption("vfilters", "");
  EXPECT_EQ(T.Fvfilters, "scale=320:240");
}

TEST_F(OptionTable, RemovedOptions) {
  for (const char *n : {"croptop", "cropbottom", "cropleft", "cropright"})
    EXPECT_EQ(Err(n, "8"), "Removed, use the crop filter instead") << n;
  for (const char *n : {"padtop", "padbottom", "padleft", "padright", "padcolor"})
    EXPECT_EQ(Err(n, "8"), "Removed, use the pad filter instead") << n;
}

TEST_F(OptionTable, CodecSelectionAndStreamCopy) {
  T.SetExtOption("vcodec", "libx264");
  EXPECT_EQ(T.Fvideo_codec_name, "libx264");
  T.SetExtOption("vcodec", "copy");
  EXPECT_EQ(T.Fvideo_codec_name, "");
  EXPECT_EQ(T.Fvideo_stream_copy, 1);
  T.SetExtOption("acodec", "nosuchcodec"); // checked only when a stream is created
  EXPECT_EQ(T.Faudio_codec_name, "nosuchcodec");
  T.SetExtOption("scodec", "copy");
  EXPECT_EQ(T.Fsubtitle_stream_copy, 1);
}

TEST_F(OptionTable, CodecChecks) {
  EXPECT_TRUE(T.CheckCodec("", AVMEDIA_TYPE_VIDEO, true));
  const AVCodec *codec = nullptr;
  EXPECT_TRUE(T.CheckCodec("libx264", AVMEDIA_TYPE_VIDEO, true, &codec));
  ASSERT_NE(codec, nullptr);
  EXPECT_STREQ(codec->name, "libx264");

  EXPECT_FALSE(T.CheckCodec("nosuch", AVMEDIA_TYPE_VIDEO, true));
  EXPECT_EQ(T.LastErrMsg(), "Unknown encoder 'nosuch'");
  // A decoder-only name used as an encoder.
  ASSERT_EQ(ff::avcodec.avcodec_find_encoder_by_name("h264"), nullptr);
  EXPECT_FALSE(T.CheckCodec("h264", AVMEDIA_TYPE_VIDEO, true));
  EXPECT_EQ(T.LastErrMsg(), "Unknown encoder 'h264'");
  EXPECT_TRUE(T.CheckCodec("h264", AVMEDIA_TYPE_VIDEO, false));
  EXPECT_FALSE(T.CheckCodec("libx264", AVMEDIA_TYPE_VIDEO, false));
  EXPECT_EQ(T.LastErrMsg(), "Unknown decoder 'libx264'");

  EXPECT_FALSE(T.CheckCodec("mp2", AVMEDIA_TYPE_VIDEO, true));
  EXPECT_EQ(T.LastErrMsg(), "Invalid encoder type 'mp2'");
  EXPECT_FALSE(T.CheckCodec("h264", AVMEDIA_TYPE_AUDIO, false));
  EXPECT_EQ(T.LastErrMsg(), "Invalid decoder type 'h264'");

  EXPECT_FALSE(T.CheckCodec("vorbis", AVMEDIA_TYPE_AUDIO, true));
  EXPECT_EQ(T.LastErrMsg(),
            "encoder 'vorbis' is experimental and might produce bad results.\r\nAdd '-strict "
            "experimental' if you want to use it.\r\nOr use the non experimental encoder "
            "'libvorbis'.");
  // "astrict" lifts it for audio only.
  T.SetExtOption("astrict", "experimental");
  EXPECT_TRUE(T.CheckCodec("vorbis", AVMEDIA_TYPE_AUDIO, true));
  // The native aac encoder is not experimental in this FFmpeg.
  EXPECT_TRUE(T.CheckCodec("aac", AVMEDIA_TYPE_AUDIO, true));
}

TEST_F(OptionTable, MapsAndMetadata) {
  T.SetExtOption("map", "0:1");
  T.SetExtOption("map", "1.0:0.0");
  ASSERT_EQ(T.Fstream_maps.size(), 2u);
  EXPECT_EQ(T.Fstream_maps[0], (TAVStreamMap{0, 1, 0, 1}));
  EXPECT_EQ(T.Fstream_maps[1], (TAVStreamMap{1, 0, 0, 0}));

  T.SetExtOption("map_meta_data", "0,s0:0,s1");
  EXPECT_EQ(T.Fmetadata_global_autocopy, 1);
  EXPECT_EQ(T.Fmetadata_streams_autocopy, 0);
  EXPECT_EQ(T.Fmetadata_chapters_autocopy, 1);
  T.SetExtOption("map_meta_data", "0:1,c0");
  EXPECT_EQ(T.Fmetadata_global_autocopy, 0); // default type 'g' on the output side
  EXPECT_EQ(T.Fmetadata_chapters_autocopy, 0);
  EXPECT_EQ(Err("map_meta_data", "0,q:0"), "Invalid metadata type q.");
  EXPECT_EQ(T.Fmeta_data_maps.size(), 2u);
  T.SetExtOption("map_chapters", "0:1");
  EXPECT_EQ(T.Fchapter_maps.at(0), (TAVChapterMap{1, 0}));

  // The pipeline's settings hold the option records' own map types, so the
  // glue hands them over unchanged.
  static_assert(std::is_same_v<decltype(TTranscodeSettings::StreamMaps),
                               decltype(TCustomFFmpeg::Fstream_maps)>);
  static_assert(std::is_same_v<decltype(TTranscodeSettings::MetaDataMaps),
                               decltype(TCustomFFmpeg::Fmeta_data_maps)>);
  static_assert(std::is_same_v<decltype(TTranscodeSettings::ChapterMaps),
                               decltype(TCustomFFmpeg::Fchapter_maps)>);
  const TTranscodeSettings mapped = MapTranscodeSettings(T);
  EXPECT_EQ(mapped.StreamMaps, T.Fstream_maps);
  EXPECT_EQ(mapped.MetaDataMaps, T.Fmeta_data_maps);
  EXPECT_EQ(mapped.ChapterMaps, T.Fchapter_maps);

  T.SetExtOption("metadata", "title=A=B");
  T.SetExtOption("metadata", "album=X");
  T.SetExtOption("metadata", "title=C");
  const std::vector<std::pair<std::string, std::string>> want = {{"title", "C"}, {"album", "X"}};
  EXPECT_EQ(T.Fmetadata, want);
  EXPECT_EQ(Err("metadata", "title"), "Missing =");
  EXPECT_EQ(Err("metadata", "=x"), "wrong parameter of metadata");

  T.SetExtOption("streamid", "1:224");
  EXPECT_EQ(T.Fstreamid_map, (std::vector<int>{0, 224}));
  EXPECT_EQ(Err("streamid", "1"),
            "Invalid value \"1\" for option \"streamid\", required syntax is \"index:value\"");
  T.SetExtOption("itsscale", "2:0.5");
  EXPECT_DOUBLE_EQ(T.Fts_scale[2], 0.5);
  EXPECT_EQ(T.Fnb_ts_scale, 3);
  EXPECT_EQ(Err("itsscale", "20:2"), "stream index over MAX_STREAMS(20)");
}

TEST_F(OptionTable, TimesAndDates) {
  T.SetExtOption("t", "00:00:10.5");
  EXPECT_EQ(T.Frecording_time, 10500000);
  EXPECT_EQ(T.FTotalOutputDuration, 10500000);
  T.SetExtOption("ss", "2.5");
  EXPECT_EQ(T.Fstart_time, 2500000);
  T.SetExtOption("itsoffset", "-1");
  EXPECT_EQ(T.Finput_ts_offset, -1000000);
  EXPECT_EQ(Err("t", "soon"), "Invalid duration specification for t: soon");
  EXPECT_EQ(Err("ss", ""), "Invalid duration specification for ss: ");
  T.SetExtOption("timestamp", "2011-01-01 00:00:00Z");
  EXPECT_EQ(T.Frecording_timestamp, 1293840000);
  EXPECT_EQ(Err("timestamp", "yesterday"), "Invalid date specification for timestamp: yesterday");
  T.SetExtOption("force_key_frames", "1,2.5,00:01:00");
  EXPECT_EQ(T.Fforced_key_frames, (std::vector<int64_t>{1000000, 2500000, 60000000}));
  EXPECT_EQ(Err("force_key_frames", "1,x"),
            "Invalid duration specification for force_key_frames: x");
}

TEST_F(OptionTable, TagsMatricesFiltersAndStatistics) {
  T.SetExtOption("vtag", "DIVX");
  EXPECT_EQ(T.Fvideo_codec_tag, 0x58564944u);
  T.SetExtOption("atag", "85");
  EXPECT_EQ(T.Faudio_codec_tag, 85u);
  EXPECT_EQ(Err("stag", "toolong"), "tag parameter must be 4 chars or int value");

  std::string m;
  for (int i = 0; i < 64; ++i)
    m += (i ? "," : "") + std::to_string(16);
  T.SetExtOption("intra_matrix", m);
  EXPECT_EQ(T.Fintra_matrix.size(), 64u);
  EXPECT_EQ(Err("inter_matrix", "1,2"), "Syntax error in matrix \"1,2\" at coeff 1");
  EXPECT_TRUE(T.Finter_matrix.empty());

  T.SetExtOption("vbsf", "h264_mp4toannexb");
  T.SetExtOption("absf", "aac_adtstoasc=ignored");
  T.SetExtOption("sbsf", "=null");
  EXPECT_EQ(T.Fvideo_bitstream_filters, (std::vector<std::string>{"h264_mp4toannexb"}));
  EXPECT_EQ(T.Faudio_bitstream_filters, (std::vector<std::string>{"aac_adtstoasc"}));
  EXPECT_TRUE(T.Fsubtitle_bitstream_filters.empty());
  EXPECT_EQ(Err("vbsf", "nosuchbsf"), "Unknown bitstream filter nosuchbsf");

  T.SetExtOption("vstats", "1");
  EXPECT_NE(T.Fvstats_filename.find("/vstats_"), std::string::npos);
  EXPECT_EQ(T.Fvstats_filename.substr(T.Fvstats_filename.size() - 4), ".log");
  EXPECT_EQ(T.Fvstats_filename.size(), T.Fvstats_filename.rfind("vstats_") + 17);
  T.SetExtOption("vstats", "0");
  EXPECT_EQ(T.Fvstats_filename, "");

  EXPECT_EQ(Err("vhook", "hook.so|a"), "Failed to add video hook function: hook.so|a");
  T.SetExtOption("rc_override", "0,10,2");
  EXPECT_EQ(T.Fvideo_rc_override_string, "0,10,2");
}

TEST_F(OptionTable, NewStreamsNeedAnOutput) {
  for (const char *n : {"newvideo", "newaudio", "newsubtitle"})
    EXPECT_EQ(Err(n, ""), "At least one output file must be specified") << n;
}

TEST_F(OptionTable, GenericFallThrough) {
  T.SetExtOption("g", "12");
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->gop_size, 12);
  T.SetExtOption("packetsize", "2048");
  EXPECT_EQ(T.Options().FormatOpts()->packet_size, 2048u);
  T.SetExtOption("vstrict", "unofficial");
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->strict_std_compliance, FF_COMPLIANCE_UNOFFICIAL);
  EXPECT_EQ(Err("g", "many"), "Invalid value \"many\" for option \"g\"");
  EXPECT_EQ(Err("nosuch", "1"), "Unrecognized option \"nosuch\"");
  // The table compares case-sensitively: "VN" is not "vn".
  EXPECT_EQ(Err("VN", "1"), "Unrecognized option \"VN\"");
  EXPECT_EQ(T.Fvideo_disable, 0);
  EXPECT_EQ(Err("", "1"), "Unrecognized option \"\"");

  T.HaltOnInvalidOption = false;
  EXPECT_NO_THROW(T.SetExtOption("nosuch", "1"));
  EXPECT_NO_THROW(T.SetExtOption("g", "many"));
  EXPECT_NO_THROW(T.SetExtOption("vb", "many"));
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->gop_size, 12);
  EXPECT_EQ(FFLastOptionError(), "Invalid value \"many\" for option \"vb\"");
}

// --- targets

TEST_F(OptionTable, TargetVcdPal) {
  vmtest::TLogCapture log;
  T.SetExtOption("r", "25");
  T.SetExtOption("target", "vcd");
  EXPECT_EQ(T.Fvideo_codec_name, "mpeg1video");
  EXPECT_EQ(T.Faudio_codec_name, "mp2");
  EXPECT_EQ(T.Flast_asked_format, "vcd");
  EXPECT_EQ(T.Fframe_width, 352);
  EXPECT_EQ(T.Fframe_height, 288);
  EXPECT_EQ(T.Fframe_rate.num, 25);
  EXPECT_EQ(T.Fframe_rate.den, 1);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->gop_size, 15);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->bit_rate, 1150000);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->rc_min_rate, 1150000);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->rc_buffer_size, 327680);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_AUDIO)->bit_rate, 224000);
  EXPECT_EQ(T.Options().FormatOpts()->packet_size, 2324u);
  EXPECT_EQ(T.Faudio_sample_rate, 44100);
  EXPECT_EQ(T.Faudio_channels, 2);
  EXPECT_FLOAT_EQ(T.Fmux_preload, 0.44f);
  EXPECT_NEAR(T.Fframe_aspect_ratio, 4.0 / 3, 1e-9);
  EXPECT_TRUE(log.Has(llVerbose, "Assuming PAL for target."));
  EXPECT_TRUE(log.Has(llInfo, "Assuming 4:3 for aspect ratio"));
  auto &names = T.Options().opt_names;
  auto &values = T.Options().opt_values;
  auto it = std::find(names.begin(), names.end(), "muxrate");
  ASSERT_NE(it, names.end());
  EXPECT_EQ(values[it - names.begin()], "1411200");
}

TEST_F(OptionTable, TargetSvcdDvdAndDvNorms) {
  T.SetExtOption("ac", "1");
  T.SetExtOption("aspect", "16:9");
  T.SetExtOption("target", "ntsc-svcd");
  EXPECT_EQ(T.Fvideo_codec_name, "mpeg2video");
  EXPECT_EQ(T.Fframe_width, 480);
  EXPECT_EQ(T.Fframe_height, 480);
  EXPECT_EQ(T.Fframe_rate.num, 30000);
  EXPECT_EQ(T.Fframe_rate.den, 1001);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->gop_size, 18);
  EXPECT_EQ(Opts(AVMEDIA_TYPE_VIDEO)->rc_max_rate, 2516000);
  EXPECT_EQ(T.Faudio_channels, 2);                    // mono becomes stereo
  EXPECT_NEAR(T.Fframe_aspect_ratio, 16.0 / 9, 1e-9); // a set aspect stays
  auto &names = T.Options().opt_names;
  EXPECT_NE(std::find(names.begin(), names.end(), "scan_offset"), names.end());

  TCustomFFmpeg dvd;
  dvd.SetExtOption("target", "film-dvd");
  EXPECT_EQ(dvd.Faudio_codec_name, "ac3");
  EXPECT_EQ(dvd.Flast_asked_format, "dvd");
  EXPECT_EQ(dvd.Fframe_height, 480);
  EXPECT_EQ(dvd.Fframe_rate.num, 24000);
  EXPECT_EQ(dvd.Faudio_sample_rate, 48000);
  EXPECT_EQ(dvd.Options().CodecOpts(AVMEDIA_TYPE_AUDIO)->bit_rate, 448000);
  EXPECT_NEAR(dvd.Fframe_aspect_ratio, 16.0 / 9, 1e-9);

  const std::pair<const char *, AVPixelFormat> dv[] = {{"pal-dv", AV_PIX_FMT_YUV420P},
                                                       {"ntsc-dv", AV_PIX_FMT_YUV411P},
                                                       {"pal-dv50", AV_PIX_FMT_YUV422P}};
  for (const auto &[text, fmt] : dv) {
    TCustomFFmpeg t;
    t.SetExtOption("ac", "6");
    t.SetExtOption("target", text);
    EXPECT_EQ(t.Flast_asked_format, "dv") << text;
    EXPECT_EQ(t.Fframe_pix_fmt, fmt) << text;
    EXPECT_EQ(t.Faudio_channels, 2) << text;
    EXPECT_EQ(t.Fvideo_codec_name, "") << text; // codecs unchanged
  }
}

TEST_F(OptionTable, TargetNormDetection) {
  EXPECT_EQ(Err("target", "vcd"), "frame_rate is invalid.");
  EXPECT_EQ(Err("target", "pal-xyz"), "Unknown target type");
  EXPECT_EQ(Err("target", "ntsc-dvx"), "Unknown target type");

  // 29.97 and 23.976 mean NTSC.
  T.SetExtOption("r", "24000/1001");
  T.SetExtOption("target", "vcd");
  EXPECT_EQ(T.Fframe_height, 240);
  EXPECT_EQ(T.Fframe_rate.num, 30000);

  // Undecided: the option's fallback is NTSC; a record's NormDefault decides.
  TCustomFFmpeg a;
  a.SetExtOption("r", "12");
  a.SetExtOption("target", "dvd");
  EXPECT_EQ(a.Fframe_height, 480);
  TCustomFFmpeg b;
  b.SetExtOption("r", "12");
  b.ApplyTarget("dvd", "auto", "pal");
  EXPECT_EQ(b.Fframe_height, 576);

  // The opened inputs' video streams decide next.
  TCustomFFmpeg c;
  AVFormatContext *ic = nullptr;
  ASSERT_EQ(FFOpenInput(&ic, vmtest::ClipMp4().c_str(), nullptr, nullptr), 0); // 25 fps
  ASSERT_GE(ff::avformat.avformat_find_stream_info(ic, nullptr), 0);
  c.Finput_files.emplace_back(ic);
  c.SetExtOption("r", "12");
  c.SetExtOption("target", "svcd");
  EXPECT_EQ(c.Fframe_height, 576);
  EXPECT_EQ(c.Fframe_rate.num, 25);
}

// --- option records

TEST(ApplyInputOptions, RecordToSettings) {
  TCustomFFmpeg t;
  TInputOptions in;
  in.ForceFormat = "mpegts";
  in.TimeStart = 5000000;
  in.ProgramID = 3;
  in.ExtOptions = "vn=1\r\nnewaudio\r\nvf=scale=1:1\r\napre=nosuch\r\nss=2\r\nitsoffset=1";
  TInputOptions slot = t.ApplyInputOptions("/tmp/in.ts", in);
  EXPECT_EQ(slot.FileName, "/tmp/in.ts");
  EXPECT_EQ(slot.ExtOptions, in.ExtOptions);
  EXPECT_EQ(t.Fvideo_disable, 1);
  EXPECT_EQ(t.Fvfilters, ""); // ignored for inputs
  EXPECT_EQ(t.Flast_asked_format, "mpegts");
  EXPECT_EQ(t.Fstart_time, 5000000); // the record wins over "ss"
  EXPECT_EQ(t.Finput_ts_offset, 1000000);
  EXPECT_EQ(t.Fopt_programid, 3);

  TCustomFFmpeg u;
  in = TInputOptions();
  in.FileName = "given.mp4";
  in.ExtOptions = "ss=2";
  EXPECT_EQ(u.ApplyInputOptions("other.mp4", in).FileName, "given.mp4");
  EXPECT_EQ(u.Fstart_time, 2000000); // unset TimeStart leaves "ss"
  EXPECT_EQ(u.Fopt_programid, 0);
  EXPECT_EQ(u.Flast_asked_format, "");
}

TEST(ApplyOutputOptions, FullRecord) {
  TCustomFFmpeg t;
  TOutputOptions o;
  o.ForceFormat = "mp4";
  o.PacketSize = 1024;
  o.MuxRate = 2000000;
  o.MuxDelay = 0.3f;
  o.MuxPreload = 0.2f;
  o.AudioCodec = "aac";
  o.AudioVolume = 0;
  o.AudioChannels = 1;
  o.AudioSampleRate = 48000;
  o.AudioBitrate = 128000;
  o.AudioLanguage = "eng";
  o.AudioTag = "mp4a";
  o.VideoCodec = "libx264";
  o.VideoPreset = "default";
  o.FrameRate = "30000/1001";
  o.FrameSize = "352x288";
  o.FrameAspectRatio = "4:3";
  o.GroupPictureSize = 60;
  o.VideoBitrate = 1000000;
  o.VideoMaxRate = 1500000;
  o.VideoBufSize = 2000000;
  o.VideoFilters = "crop=10:10:0:0";
  o.CopyTimestamp = true;
  o.TimeStart = 1000000;
  o.TimeLength = 5000000;
  o.Info.Title = "T";
  o.Info.Year = 2011;
  o.Info.Track = 3;
  o.Info.TimeStamp = 25569.5; // 1970-01-01 12:00 local time
  o.AudioHook = true;
  o.VideoHookBitsPixel = 32;
  o.Join = true;
  o.ExtOptions = "vstrict=unofficial\r\nnewaudio\r\nvsync=0";

  TPendingOutput p = t.ApplyOutputOptions("/tmp/out.mp4", o);
  EXPECT_EQ(p.Options.FileName, "/tmp/out.mp4");
  EXPECT_TRUE(p.Join);
  EXPECT_EQ(p.NewStreams, (std::vector<TExtOption>{{"newaudio", ""}}));

  EXPECT_EQ(t.Flast_asked_format, "mp4");
  EXPECT_EQ(t.Faudio_codec_name, "aac");
  EXPECT_EQ(t.Fvideo_codec_name, "libx264");
  AVCodecContext *v = t.Options().CodecOpts(AVMEDIA_TYPE_VIDEO);
  AVCodecContext *a = t.Options().CodecOpts(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(v->gop_size, 60);    // the record's "g" after the preset's 250
  EXPECT_EQ(v->max_b_frames, 3); // from the preset
  EXPECT_EQ(v->bit_rate, 1000000);
  EXPECT_EQ(v->rc_max_rate, 1500000);
  EXPECT_EQ(v->rc_buffer_size, 2000000);
  EXPECT_EQ(a->bit_rate, 128000);
  EXPECT_EQ(v->strict_std_compliance, FF_COMPLIANCE_UNOFFICIAL);
  EXPECT_EQ(t.Options().FormatOpts()->packet_size, 1024u);
  EXPECT_FLOAT_EQ(t.Fmux_max_delay, 0.3f);
  EXPECT_FLOAT_EQ(t.Fmux_preload, 0.2f);
  EXPECT_EQ(t.Faudio_volume, 0);
  EXPECT_EQ(t.Faudio_channels, 1);
  EXPECT_EQ(t.Faudio_sample_rate, 48000);
  EXPECT_EQ(t.Faudio_language, "eng");
  EXPECT_EQ(t.Faudio_codec_tag, ParseCodecTag("mp4a"));
  EXPECT_EQ(t.Fframe_rate.num, 30000);
  EXPECT_EQ(t.Fframe_rate.den, 1001);
  EXPECT_EQ(t.Fframe_width, 352);
  EXPECT_EQ(t.Fframe_height, 288);
  EXPECT_NEAR(t.Fframe_aspect_ratio, 4.0 / 3, 1e-9);
  EXPECT_EQ(t.Fvfilters, "crop=10:10:0:0");
  EXPECT_EQ(t.Fvideo_sync_method, -1); // the record's value overrides "vsync"
  EXPECT_EQ(t.Fcopy_ts, 1);
  EXPECT_EQ(t.Fstart_time, 1000000);
  EXPECT_EQ(t.Frecording_time, 5000000);
  EXPECT_EQ(t.FTotalOutputDuration, 5000000);
  const std::vector<std::pair<std::string, std::string>> meta = {
      {"year", "2011"}, {"track", "3"}, {"title", "T"}};
  EXPECT_EQ(t.Fmetadata, meta);
  std::tm noon{};
  noon.tm_year = 70;
  noon.tm_mday = 1;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  EXPECT_EQ(t.Frecording_timestamp, static_cast<int64_t>(mktime(&noon)));
  EXPECT_TRUE(t.FAudioHook);
  EXPECT_FALSE(t.FVideoInputHook);
  EXPECT_EQ(t.FVideoHookBitsPixel, 32);

  // The muxer's private "muxrate" is recorded with its value.
  auto &names = t.Options().opt_names;
  auto it = std::find(names.begin(), names.end(), "muxrate");
  ASSERT_NE(it, names.end());
  EXPECT_EQ(t.Options().opt_values[it - names.begin()], "2000000");
}

TEST(ApplyOutputOptions, DefaultsAndAlwaysAppliedFields) {
  TCustomFFmpeg t;
  TOutputOptions o;
  o.ExtOptions = "async=1\nvsync=2\nisync=1";
  t.ApplyOutputOptions("out.avi", o);
  EXPECT_EQ(t.Options().opt_name_count(), 0); // no named option at all
  EXPECT_EQ(t.Faudio_sync_method, 0);
  EXPECT_EQ(t.Fvideo_sync_method, -1);
  EXPECT_EQ(t.Finput_sync, 0);
  EXPECT_EQ(t.Faudio_volume, 256); // -1 is not applied
  EXPECT_EQ(t.Frecording_time, INT64_MAX);
  EXPECT_EQ(t.Frecording_timestamp, 0); // TimeStamp -1 sets nothing
  EXPECT_TRUE(t.Fmetadata.empty());

  // Any TimeLength but the marker is a limit, -1 included.
  TCustomFFmpeg u;
  o = TOutputOptions();
  o.TimeLength = -1;
  o.Info.TimeStamp = 0; // now
  const int64_t before = std::time(nullptr);
  u.ApplyOutputOptions("out.avi", o);
  EXPECT_EQ(u.Frecording_time, -1);
  EXPECT_EQ(u.FTotalOutputDuration, -1);
  EXPECT_GE(u.Frecording_timestamp, before);
  EXPECT_LE(u.Frecording_timestamp, before + 2);
}

TEST(ApplyOutputOptions, TargetThenSizeAndRate) {
  TCustomFFmpeg t;
  TOutputOptions o;
  o.TargetType = ttDVD;
  o.NormType = ntPAL;
  o.FrameSize = "352x288";
  o.FrameRate = "30000/1001";
  t.ApplyOutputOptions("out.vob", o);
  EXPECT_EQ(t.Flast_asked_format, "dvd");
  EXPECT_EQ(t.Fvideo_codec_name, "mpeg2video");
  EXPECT_EQ(t.Fframe_width, 352);
  EXPECT_EQ(t.Fframe_height, 288);
  EXPECT_EQ(t.Fframe_rate.num, 30000);
  EXPECT_EQ(t.Options().CodecOpts(AVMEDIA_TYPE_VIDEO)->gop_size, 15);

  // Auto norm on an input without video: the rate is still unset.
  TCustomFFmpeg u;
  o = TOutputOptions();
  o.TargetType = ttVCD;
  EXPECT_EQ(ErrorOf([&] { u.ApplyOutputOptions("out.mpg", o); }), "frame_rate is invalid.");
  // Auto with an undecided rate falls back to NormDefault.
  TCustomFFmpeg w;
  w.SetExtOption("r", "15");
  o.NormDefault = ntNTSC;
  w.ApplyOutputOptions("out.mpg", o);
  EXPECT_EQ(w.Fframe_height, 240);

  // Auto norm with a PAL task rate (a 25 fps input) but an NTSC rate asked
  // for by the record: the disc gets NTSC sizes to go with the NTSC rate.
  for (auto [target, height] : {std::pair{ttVCD, 240}, {ttSVCD, 480}, {ttDVD, 480}}) {
    TCustomFFmpeg n;
    n.SetExtOption("r", "25");
    o = TOutputOptions();
    o.TargetType = target;
    o.FrameRate = "30000/1001";
    n.ApplyOutputOptions("out.mpg", o);
    EXPECT_EQ(n.Fframe_height, height) << target;
    EXPECT_EQ(n.Fframe_rate.num, 30000) << target;
  }
  // And a PAL rate asked for keeps PAL whatever the task's rate.
  TCustomFFmpeg p;
  p.SetExtOption("r", "30000/1001");
  o = TOutputOptions();
  o.TargetType = ttVCD;
  o.FrameRate = "25";
  p.ApplyOutputOptions("out.mpg", o);
  EXPECT_EQ(p.Fframe_height, 288);
}

// Records the settings each new stream is created from.
class TStreamRecorder : public TCustomFFmpeg {
public:
  struct TStream {
    AVMediaType Type;
    std::string Codec;
    int Copy;
    int Width;
  };
  std::vector<TStream> Streams;

protected:
  void NewOutputStream(AVMediaType AType) override {
    if (AType == AVMEDIA_TYPE_AUDIO) {
      Streams.push_back({AType, Faudio_codec_name, Faudio_stream_copy, 0});
      Faudio_codec_name.clear();
      Faudio_stream_copy = 0;
    } else {
      Streams.push_back({AType, Fvideo_codec_name, Fvideo_stream_copy, Fframe_width});
      Fvideo_codec_name.clear();
      Fvideo_stream_copy = 0;
    }
  }
};

TEST(ApplyOutputOptions, StreamDefaultsAndNewStreams) {
  TStreamRecorder t;
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.FrameSize = "320x240";
  o.ExtOptions = "acodec=copy\nnewaudio\nacodec=mp2\nnewaudio\nnewaudio\n"
                 "vcodec=libx264\ns=176x144\nnewvideo\nvfilters=hflip";
  TPendingOutput p = t.ApplyOutputOptions("out.mkv", o);
  const std::vector<TExtOption> defs = {
      {"def_vcodec", "mpeg4"}, {"def_s", "320x240"}, {"def_acodec", "copy"},
      {"acodec", "copy"},      {"acodec", "mp2"},    {"vcodec", "libx264"},
      {"s", "176x144"},        {"def_vf", "hflip"},  {"vf", "hflip"}};
  EXPECT_EQ(p.StreamDefaults, defs);
  EXPECT_EQ(t.Faudio_stream_copy, 1); // the first "acodec" line selects copy
  EXPECT_EQ(t.Fvideo_codec_name, "mpeg4");
  EXPECT_EQ(t.Fframe_width, 320); // "def_s" is the record's size
  EXPECT_EQ(t.Fvfilters, "hflip");
  ASSERT_EQ(p.NewStreams.size(), 4u);

  // Without an output nothing can be added.
  EXPECT_EQ(ErrorOf([&] { t.AddPendingStreams(p); }), "At least one output file must be specified");

  TPendingOutput q = t.ApplyOutputOptions("out.mkv", o);
  t.Foutput_files.emplace_back(FFAllocFormatContext());
  t.AddPendingStreams(q);
  ASSERT_EQ(t.Streams.size(), 4u);
  EXPECT_EQ(t.Streams[0].Copy, 1);      // "acodec=copy" again
  EXPECT_EQ(t.Streams[1].Codec, "mp2"); // the next "acodec" line
  EXPECT_EQ(t.Streams[2].Copy, 1);      // none left: "def_acodec"
  EXPECT_EQ(t.Streams[3].Codec, "libx264");
  EXPECT_EQ(t.Streams[3].Width, 176);
  EXPECT_TRUE(std::none_of(q.StreamDefaults.begin(), q.StreamDefaults.end(),
                           [](const TExtOption &e) { return e.Name == "acodec"; }));
}

} // namespace
