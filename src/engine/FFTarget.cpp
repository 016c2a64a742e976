#include "engine/FFTarget.h"

#include "engine/FFLog.h"
#include "engine/FFmpeg.h"

#include <cmath>

TTargetText SplitTargetText(const std::string &AValue) {
  for (const char *norm : {"pal", "ntsc", "film"}) {
    const std::string prefix = std::string(norm) + "-";
    if (AValue.compare(0, prefix.size(), prefix) == 0)
      return {norm, AValue.substr(prefix.size())};
  }
  return {"auto", AValue};
}

TTargetNorm NormFromRate(AVRational ARate) {
  if (ARate.den == 0 || ARate.num == 0)
    return tnUnknown;
  const long fr = std::lrint(ARate.num * 1000.0 / ARate.den);
  if (fr == 25000)
    return tnPAL;
  if (fr == 29970 || fr == 23976)
    return tnNTSC;
  return tnUnknown;
}

TTargetNorm NormFromName(const std::string &AName) {
  if (AName == "pal")
    return tnPAL;
  if (AName == "ntsc")
    return tnNTSC;
  if (AName == "film")
    return tnFILM;
  return tnUnknown;
}

TTargetNorm FallbackNorm(const std::string &AName) {
  if (AName == "film")
    return tnFILM;
  if (AName == "ntsc")
    return tnNTSC;
  return tnPAL;
}

const char *NormFrameRate(TTargetNorm ANorm) {
  switch (ANorm) {
  case tnNTSC:
    return "30000/1001";
  case tnFILM:
    return "24000/1001";
  default:
    return "25";
  }
}

namespace {

// "flags=+scan_offset" of the old svcd target: FFmpeg 5.1 has the MPEG video
// encoders' private "scan_offset" instead of the generic flag.
const TTargetRow TargetRows[] = {
    {"vcd",
     "mpeg1video",
     "mp2",
     "vcd",
     "352x288",
     "352x240",
     true,
     {{"b", "1150000"},
      {"maxrate", "1150000"},
      {"minrate", "1150000"},
      {"bufsize", "327680"},
      {"ab", "224000"},
      {"packetsize", "2324"},
      {"muxrate", "1411200"}},
     44100,
     2,
     0.44f,
     "4:3",
     false},
    {"svcd",
     "mpeg2video",
     "mp2",
     "svcd",
     "480x576",
     "480x480",
     true,
     {{"b", "2040000"},
      {"maxrate", "2516000"},
      {"minrate", "0"},
      {"bufsize", "1835008"},
      {"scan_offset", "1"},
      {"ab", "224000"},
      {"packetsize", "2324"}},
     44100,
     -2,
     0,
     "4:3",
     false},
    {"dvd",
     "mpeg2video",
     "ac3",
     "dvd",
     "720x576",
     "720x480",
     true,
     {{"b", "6000000"},
      {"maxrate", "9000000"},
      {"minrate", "0"},
      {"bufsize", "1835008"},
      {"packetsize", "2048"},
      {"muxrate", "10080000"},
      {"ab", "448000"}},
     48000,
     -2,
     0,
     "16:9",
     false},
    {"dv", "", "", "dv", "720x576", "720x480", false, {}, 48000, 2, 0, "", true},
    {"dv50", "", "", "dv", "720x576", "720x480", false, {}, 48000, 2, 0, "", true},
};

} // namespace

const TTargetRow *FindTargetRow(const std::string &AType) {
  for (const TTargetRow &row : TargetRows)
    if (AType == row.Type)
      return &row;
  return nullptr;
}

void TCustomFFmpeg::ApplyTarget(const std::string &AType, const std::string &ANorm,
                                const std::string &AFallback, AVRational AOutputRate) {
  TTargetNorm norm = NormFromName(ANorm);
  if (norm == tnUnknown && AOutputRate.den > 0)
    norm = NormFromRate(AOutputRate);
  if (norm == tnUnknown) {
    if (Fframe_rate.den == 0)
      throw FFmpegException("frame_rate is invalid.");
    norm = NormFromRate(Fframe_rate);
    // The video streams of the inputs opened so far, in order.
    const std::vector<const AVFormatContext *> inputs = OpenedInputs();
    for (size_t f = 0; f < inputs.size() && norm == tnUnknown; ++f) {
      const AVFormatContext *ic = inputs[f];
      for (unsigned i = 0; ic && i < ic->nb_streams && norm == tnUnknown; ++i) {
        const AVStream *st = ic->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
          continue;
        norm = NormFromRate(st->r_frame_rate.den ? st->r_frame_rate : st->avg_frame_rate);
      }
    }
    if (norm == tnUnknown)
      norm = FallbackNorm(AFallback);
    else if (Fverbose > 0)
      FFLogger().Log(this, llVerbose,
                     std::string("Assuming ") + (norm == tnPAL ? "PAL" : "NTSC") + " for target.");
  }

  const TTargetRow *row = FindTargetRow(AType);
  if (!row)
    throw FFmpegException("Unknown target type");
  const bool pal = norm == tnPAL;

  if (*row->VideoCodec)
    SelectCodec(AVMEDIA_TYPE_VIDEO, row->VideoCodec);
  if (*row->AudioCodec)
    SelectCodec(AVMEDIA_TYPE_AUDIO, row->AudioCodec);
  SetExtOption("f", row->Format);
  SetExtOption("s", pal ? row->SizePAL : row->SizeNTSC);
  if (row->Dv)
    SetExtOption("pix_fmt", AType == "dv50" ? "yuv422p" : (pal ? "yuv420p" : "yuv411p"));
  SetExtOption("r", NormFrameRate(norm));
  if (row->Gop)
    SetGenericOption("g", pal ? "15" : "18", HaltOnInvalidOption);
  for (const auto &[name, value] : row->Generic)
    SetGenericOption(name, value, HaltOnInvalidOption);
  Faudio_sample_rate = row->SampleRate;
  if (row->Channels == 2 || (row->Channels == -2 && Faudio_channels == 1))
    Faudio_channels = 2;
  if (row->MuxPreload > 0)
    Fmux_preload = row->MuxPreload;
  if (*row->Aspect && Fframe_aspect_ratio == 0) {
    SetExtOption("aspect", row->Aspect);
    FFLogger().Log(this, llInfo, std::string("Assuming ") + row->Aspect + " for aspect ratio");
  }
}
