#include "engine/FFmpeg.h"

#include "engine/FFLog.h"
#include "engine/FFPresets.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

std::string *CodecNameOf(TCustomFFmpeg &AT, AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    return &AT.Fvideo_codec_name;
  case AVMEDIA_TYPE_AUDIO:
    return &AT.Faudio_codec_name;
  case AVMEDIA_TYPE_SUBTITLE:
    return &AT.Fsubtitle_codec_name;
  default:
    return nullptr;
  }
}

int *StreamCopyOf(TCustomFFmpeg &AT, AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    return &AT.Fvideo_stream_copy;
  case AVMEDIA_TYPE_AUDIO:
    return &AT.Faudio_stream_copy;
  case AVMEDIA_TYPE_SUBTITLE:
    return &AT.Fsubtitle_stream_copy;
  default:
    return nullptr;
  }
}

// Days since 1899-12-30 (local time) -> seconds since 1970-01-01 UTC.
int64_t LocalDateTimeToUnix(double ADateTime) {
  // Local wall-clock seconds since 1970, as if they were UTC, then let mktime
  // apply the zone (and daylight saving) of that moment.
  const double local = std::nearbyint((ADateTime - 25569.0) * 86400.0);
  time_t wall = static_cast<time_t>(local);
  std::tm tm{};
  gmtime_r(&wall, &tm);
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

bool TakeEntry(std::vector<TExtOption> &AList, const std::string &AName, std::string &AValue) {
  auto it = std::find_if(AList.begin(), AList.end(),
                         [&](const TExtOption &e) { return e.Name == AName; });
  if (it == AList.end())
    return false;
  AValue = it->Value;
  AList.erase(it);
  return true;
}

std::string EntryValue(const std::vector<TExtOption> &AList, const std::string &AName) {
  for (const TExtOption &e : AList)
    if (e.Name == AName)
      return e.Value;
  return {};
}

bool HasEntry(const std::vector<TExtOption> &AList, const std::string &AName) {
  return std::any_of(AList.begin(), AList.end(),
                     [&](const TExtOption &e) { return e.Name == AName; });
}

bool OneOf(const std::string &AName, std::initializer_list<const char *> ANames) {
  for (const char *n : ANames)
    if (AName == n)
      return true;
  return false;
}

} // namespace

TCustomFFmpeg::TCustomFFmpeg(int AMaxFiles)
    : FMaxFiles(std::clamp(AMaxFiles, 1, 512)), FOptions(std::make_unique<TFFOptions>(Fsws_flags)) {
}

TCustomFFmpeg::~TCustomFFmpeg() = default;

void TCustomFFmpeg::NewOutputStream(AVMediaType) {
  throw FFmpegException("At least one output file must be specified");
}

std::vector<const AVFormatContext *> TCustomFFmpeg::OpenedInputs() const {
  std::vector<const AVFormatContext *> list;
  for (const TFFInputContextPtr &ic : Finput_files)
    list.push_back(ic.get());
  return list;
}

bool TCustomFFmpeg::AddFrameHook(const std::vector<std::string> &) {
  return false;
}

void TCustomFFmpeg::LogDoNothing(const std::string &AName) {
  FFLogger().Log(this, llInfo, "Do nothing: option - " + AName);
}

int64_t TCustomFFmpeg::ParseTime(const std::string &AName, const std::string &AValue,
                                 bool ADuration) {
  int64_t us = 0;
  if (ff::avutil.av_parse_time(&us, AValue.c_str(), ADuration ? 1 : 0) < 0)
    throw FFmpegException("Invalid " + std::string(ADuration ? "duration" : "date") +
                          " specification for " + AName + ": " + AValue);
  return us;
}

bool TCustomFFmpeg::SetGenericOption(const std::string &AName, const std::string &AValue,
                                     bool AHalt) {
  if (FOptions->SetOption(AName, AValue))
    return true;
  if (!AHalt)
    return false;
  // An empty name fails without touching the shared last error; do not show
  // another task's message for it.
  if (TrimText(AName).empty())
    throw FFmpegException("Unrecognized option \"" + AName + "\"");
  throw FFmpegException(FFLastOptionError());
}

void TCustomFFmpeg::OptBitrate(const std::string &AName, const std::string &AValue,
                               AVMediaType AType) {
  SetGenericOption(AName, AValue, HaltOnInvalidOption);
  int64_t b = 0;
  if (ff::avutil.av_opt_get_int(FOptions->CodecOpts(AType), "b", 0, &b) >= 0 && b < 1000)
    FFLogger().Log(this, llWarning,
                   "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, "
                   "not kbits/s");
}

void TCustomFFmpeg::OptNewStream(AVMediaType AType) {
  if (Foutput_files.empty())
    throw FFmpegException("At least one output file must be specified");
  NewOutputStream(AType);
}

// ---------------------------------------------------------------------------
// Codecs

void TCustomFFmpeg::SelectCodec(AVMediaType AType, const std::string &AName) {
  std::string *name = CodecNameOf(*this, AType);
  if (!name)
    return;
  name->clear();
  if (AName == "copy")
    *StreamCopyOf(*this, AType) = 1;
  else
    *name = AName;
}

bool TCustomFFmpeg::CheckCodec(const std::string &AName, AVMediaType AType, bool AEncoder,
                               const AVCodec **ACodec) {
  if (ACodec)
    *ACodec = nullptr;
  if (AName.empty())
    return true;
  const std::string kind = AEncoder ? "encoder" : "decoder";
  const AVCodec *codec = AEncoder ? ff::avcodec.avcodec_find_encoder_by_name(AName.c_str())
                                  : ff::avcodec.avcodec_find_decoder_by_name(AName.c_str());
  if (!codec) {
    FLastErrMsg = "Unknown " + kind + " '" + AName + "'";
    return false;
  }
  if (codec->type != AType) {
    FLastErrMsg = "Invalid " + kind + " type '" + AName + "'";
    return false;
  }
  const AVCodecContext *opts = FOptions->CodecOpts(AType);
  const int strict = opts ? opts->strict_std_compliance : FF_COMPLIANCE_NORMAL;
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strict > FF_COMPLIANCE_EXPERIMENTAL) {
    FLastErrMsg = kind + " '" + codec->name +
                  "' is experimental and might produce bad results.\r\nAdd '-strict "
                  "experimental' if you want to use it.";
    const AVCodec *other = AEncoder ? ff::avcodec.avcodec_find_encoder(codec->id)
                                    : ff::avcodec.avcodec_find_decoder(codec->id);
    if (other && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      FLastErrMsg += "\r\nOr use the non experimental " + kind + " '" + other->name + "'.";
    return false;
  }
  if (ACodec)
    *ACodec = codec;
  return true;
}

// ---------------------------------------------------------------------------
// Presets

void TCustomFFmpeg::ApplyPreset(const std::string &AOption, const std::string &AValue) {
  const TOptionsPreset *preset = nullptr;
  if (AOption != "fpre") {
    preset = FindBuiltinPreset(AValue);
    const AVMediaType type = AOption == "vpre"   ? AVMEDIA_TYPE_VIDEO
                             : AOption == "apre" ? AVMEDIA_TYPE_AUDIO
                                                 : AVMEDIA_TYPE_SUBTITLE;
    const std::string &codec = *CodecNameOf(*this, type);
    if (!preset && !codec.empty())
      preset = FindBuiltinPreset(codec + "-" + AValue);
  }
  if (preset) {
    ApplyPresetText(preset->Name, preset->Value);
    return;
  }
  std::ifstream file(AValue, std::ios::binary);
  if (AValue.empty() || !file)
    throw FFmpegException("Preset \"" + AValue + "\" not found");
  std::ostringstream text;
  text << file.rdbuf();
  ApplyPresetText(AValue, text.str());
}

void TCustomFFmpeg::ApplyPresetText(const std::string &APresetName, const std::string &AText) {
  for (std::string line : SplitOptionLines(NormalizeOptionText(AText, false))) {
    line = TrimText(line);
    if (line.empty() || line[0] == '#')
      continue;
    const size_t eq = line.find('=');
    const std::string name = eq == std::string::npos ? line : line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (name.empty() || value.empty())
      throw FFmpegException(APresetName + ": Invalid syntax: \"" + line + "\"");
    const std::string lname = LowerCase(name);
    if (lname == "acodec" || lname == "vcodec" || lname == "scodec") {
      SelectCodec(lname[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
                  : lname[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                    : AVMEDIA_TYPE_SUBTITLE,
                  value);
      continue;
    }
    TPresetTranslation t = TranslatePresetOption(name, value);
    for (const std::string &dropped : t.Dropped)
      FFLogger().Log(this, llWarning,
                     APresetName + ": \"" + dropped +
                         "\" has no counterpart in this FFmpeg version; skipped");
    for (const TExtOption &opt : t.Options) {
      if (FOptions->SetOption(opt.Name, opt.Value) || !HaltOnInvalidOption)
        continue;
      throw FFmpegException(FFLastOptionError() + "\r\n" + APresetName +
                            ": Invalid option or argument: \"" + line + "\", parsed as \"" +
                            opt.Name + "\" = \"" + opt.Value + "\"");
    }
  }
}

// ---------------------------------------------------------------------------
// Option records

TInputOptions TCustomFFmpeg::ApplyInputOptions(const std::string &AFileName,
                                               const TInputOptions &AOptions) {
  TInputOptions slot = AOptions;
  if (slot.FileName.empty())
    slot.FileName = AFileName;

  for (const TExtOption &opt : ParseExtOptions(slot.ExtOptions)) {
    if (OneOf(opt.Name,
              {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre", "vfilters", "vf"}))
      continue;
    SetExtOption(opt.Name, opt.Value);
  }
  if (!slot.ForceFormat.empty())
    Flast_asked_format = slot.ForceFormat;
  if (slot.TimeStart != FFNoTime)
    Fstart_time = slot.TimeStart;
  if (slot.ProgramID >= 0)
    Fopt_programid = slot.ProgramID;
  return slot;
}

TPendingOutput TCustomFFmpeg::ApplyOutputOptions(const std::string &AFileName,
                                                 const TOutputOptions &AOptions) {
  TPendingOutput pending;
  TOutputOptions &o = pending.Options;
  o = AOptions;
  if (o.FileName.empty())
    o.FileName = AFileName;
  pending.Join = o.Join;

  // 2. The stream default list.
  std::vector<TExtOption> &defs = pending.StreamDefaults;
  const std::pair<const char *, const std::string *> fields[] = {
      {"def_acodec", &o.AudioCodec},    {"def_vcodec", &o.VideoCodec},
      {"def_scodec", &o.SubtitleCodec}, {"def_apre", &o.AudioPreset},
      {"def_vpre", &o.VideoPreset},     {"def_spre", &o.SubtitlePreset},
      {"def_s", &o.FrameSize},          {"def_vf", &o.VideoFilters}};
  for (const auto &[key, field] : fields)
    if (!field->empty())
      defs.push_back({key, *field});
  const std::vector<TExtOption> ext = ParseExtOptions(o.ExtOptions);
  for (const TExtOption &opt : ext) {
    if (opt.Value.empty() || !OneOf(opt.Name, {"acodec", "vcodec", "scodec", "apre", "vpre", "spre",
                                               "s", "vfilters", "vf"}))
      continue;
    const std::string name = opt.Name == "vfilters" ? "vf" : opt.Name;
    if (!HasEntry(defs, "def_" + name))
      defs.push_back({"def_" + name, opt.Value});
    defs.push_back({name, opt.Value});
  }
  for (const TExtOption &opt : ext)
    if (OneOf(opt.Name, {"newaudio", "newvideo", "newsubtitle"}))
      pending.NewStreams.push_back(opt);

  // 3. Target.
  if (o.TargetType != ttIgnore) {
    static const char *const types[] = {"", "vcd", "svcd", "dvd"};
    static const char *const norms[] = {"auto", "pal", "ntsc"};
    const int type = std::clamp<int>(o.TargetType, ttVCD, ttDVD);
    AVRational wanted = {0, 0};
    if (!o.FrameRate.empty() && ff::avutil.av_parse_video_rate(&wanted, o.FrameRate.c_str()) < 0)
      wanted = {0, 0};
    ApplyTarget(types[type], norms[std::clamp<int>(o.NormType, ntAuto, ntNTSC)],
                norms[std::clamp<int>(o.NormDefault, ntPAL, ntNTSC)], wanted);
  }

  // 4. Codecs, 5. presets.
  const std::pair<AVMediaType, const char *> codecs[] = {{AVMEDIA_TYPE_AUDIO, "def_acodec"},
                                                         {AVMEDIA_TYPE_VIDEO, "def_vcodec"},
                                                         {AVMEDIA_TYPE_SUBTITLE, "def_scodec"}};
  for (const auto &[type, key] : codecs)
    if (std::string v = EntryValue(defs, key); !v.empty())
      SelectCodec(type, v);
  for (const char *pre : {"apre", "vpre", "spre"})
    if (std::string v = EntryValue(defs, std::string("def_") + pre); !v.empty())
      ApplyPreset(pre, v);

  // 6. The other extra options.
  for (const TExtOption &opt : ext) {
    if (OneOf(opt.Name, {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre", "vfilters",
                         "vf", "acodec", "vcodec", "scodec", "s"}))
      continue;
    SetExtOption(opt.Name, opt.Value);
  }

  // 7. Record fields; the named ones go to the generic setter, failures ignored.
  auto generic = [&](const char *name, int32_t value) {
    if (value > 0)
      SetGenericOption(name, std::to_string(value), false);
  };
  if (!o.ForceFormat.empty())
    Flast_asked_format = o.ForceFormat;
  generic("packetsize", o.PacketSize);
  generic("muxrate", o.MuxRate);
  if (o.MuxDelay > 0)
    Fmux_max_delay = o.MuxDelay;
  if (o.MuxPreload > 0)
    Fmux_preload = o.MuxPreload;
  if (o.DisableAudio)
    Faudio_disable = 1;
  if (o.AudioVolume >= 0)
    Faudio_volume = o.AudioVolume;
  if (o.AudioChannels > 0)
    Faudio_channels = o.AudioChannels;
  if (o.AudioSampleRate > 0)
    Faudio_sample_rate = o.AudioSampleRate;
  generic("ab", o.AudioBitrate);
  generic("abt", o.AudioBitRateTolerance);
  if (!o.AudioLanguage.empty())
    Faudio_language = o.AudioLanguage;
  Faudio_sync_method = o.AudioSyncMethod;
  if (!o.AudioTag.empty())
    SetExtOption("atag", o.AudioTag);
  if (o.DisableVideo)
    Fvideo_disable = 1;
  if (!o.FrameRate.empty())
    SetExtOption("r", o.FrameRate);
  if (!o.FrameAspectRatio.empty())
    SetExtOption("aspect", o.FrameAspectRatio);
  generic("g", o.GroupPictureSize);
  generic("vb", o.VideoBitrate);
  generic("maxrate", o.VideoMaxRate);
  generic("minrate", o.VideoMinRate);
  generic("bt", o.VideoBitRateTolerance);
  generic("bufsize", o.VideoBufSize);
  Fvideo_sync_method = o.VideoSyncMethod;
  if (!o.VideoTag.empty())
    SetExtOption("vtag", o.VideoTag);
  if (!o.VideoLanguage.empty())
    Fvideo_language = o.VideoLanguage;
  if (o.DisableSubtitle)
    Fsubtitle_disable = 1;
  if (!o.SubtitleLanguage.empty())
    Fsubtitle_language = o.SubtitleLanguage;
  Finput_sync = o.InputSync ? 1 : 0;
  if (o.CopyTimestamp)
    Fcopy_ts = 1;
  if (o.TimeStart != FFNoTime)
    Fstart_time = o.TimeStart;
  if (o.TimeLength != FFNoTime) {
    Frecording_time = o.TimeLength;
    FTotalOutputDuration = o.TimeLength;
  }

  // 8. Metadata.
  if (o.Info.TimeStamp == 0)
    Frecording_timestamp = static_cast<int64_t>(std::time(nullptr));
  else if (o.Info.TimeStamp > 0)
    Frecording_timestamp = LocalDateTimeToUnix(o.Info.TimeStamp);
  if (o.Info.Year > 0)
    SetExtOption("metadata", "year=" + std::to_string(o.Info.Year));
  if (o.Info.Track > 0)
    SetExtOption("metadata", "track=" + std::to_string(o.Info.Track));
  const std::pair<const char *, const std::string *> tags[] = {
      {"title", &o.Info.Title},     {"author", &o.Info.Author}, {"copyright", &o.Info.Copyright},
      {"comment", &o.Info.Comment}, {"album", &o.Info.Album},   {"genre", &o.Info.Genre}};
  for (const auto &[key, value] : tags)
    if (!value->empty())
      SetExtOption("metadata", std::string(key) + "=" + *value);

  // 9. Frame size and filters.
  if (std::string v = EntryValue(defs, "def_s"); !v.empty())
    SetExtOption("s", v);
  if (std::string v = EntryValue(defs, "def_vf"); !v.empty())
    SetExtOption("vf", v);

  // 10. Hooks.
  FAudioHook = o.AudioHook;
  FVideoInputHook = o.VideoInputHook;
  FVideoOutputHook = o.VideoOutputHook;
  FVideoHookBitsPixel = o.VideoHookBitsPixel;
  return pending;
}

void TCustomFFmpeg::AddPendingStreams(TPendingOutput &APending) {
  struct TStreamKind {
    const char *Option;
    std::initializer_list<const char *> Names;
  };
  static const TStreamKind kinds[] = {{"newaudio", {"acodec", "apre"}},
                                      {"newvideo", {"vcodec", "vpre", "s", "vf"}},
                                      {"newsubtitle", {"scodec", "spre"}}};
  for (const TExtOption &line : APending.NewStreams) {
    for (const TStreamKind &kind : kinds) {
      if (line.Name != kind.Option)
        continue;
      for (const char *name : kind.Names) {
        std::string value;
        if (!TakeEntry(APending.StreamDefaults, name, value))
          value = EntryValue(APending.StreamDefaults, std::string("def_") + name);
        if (!value.empty())
          SetExtOption(name, value);
      }
      SetExtOption(line.Name, line.Value);
    }
  }
}
