// The texts of TCustomDecoder: codec names, FileInfoText and its helpers.

#include "media/FFDecode.h"

#include "engine/FFUtils.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

std::string Format(const char *AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *AFormat, ...) {
  char buf[1024];
  va_list args;
  va_start(args, AFormat);
  const int n = std::vsnprintf(buf, sizeof(buf), AFormat, args);
  va_end(args);
  if (n < 0)
    return std::string();
  if (static_cast<size_t>(n) < sizeof(buf))
    return std::string(buf, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, AFormat);
  std::vsnprintf(text.data(), text.size(), AFormat, args);
  va_end(args);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string Trim(const std::string &AText) {
  const size_t b = AText.find_first_not_of(" \t\r\n");
  if (b == std::string::npos)
    return std::string();
  const size_t e = AText.find_last_not_of(" \t\r\n");
  return AText.substr(b, e - b + 1);
}

// "%d.%.6d" of a microsecond value (seconds, then microseconds), keeping the
// sign in front for negative values.
std::string SecondsText(int64_t AMicroseconds) {
  const char *sign = AMicroseconds < 0 ? "-" : "";
  const uint64_t v = AMicroseconds < 0 ? 0 - static_cast<uint64_t>(AMicroseconds)
                                       : static_cast<uint64_t>(AMicroseconds);
  return Format("%s%" PRIu64 ".%.6" PRIu64, sign, v / 1000000, v % 1000000);
}

// Native tag names some containers keep -> FFmpeg's generic keys (ID3v2,
// ASF, RIFF INFO, Matroska, NUT). The demuxers convert most of them already;
// this catches what is left.
struct TTagConv {
  const char *Native;
  const char *Generic;
};

constexpr TTagConv kTagConv[] = {
    // ID3v2.3 / 2.4
    {"TALB", "album"},
    {"TCOM", "composer"},
    {"TCON", "genre"},
    {"TCOP", "copyright"},
    {"TENC", "encoded_by"},
    {"TIT2", "title"},
    {"TLAN", "language"},
    {"TPE1", "artist"},
    {"TPE2", "album_artist"},
    {"TPE3", "performer"},
    {"TPOS", "disc"},
    {"TPUB", "publisher"},
    {"TRCK", "track"},
    {"TSSE", "encoder"},
    {"TYER", "date"},
    {"TDRC", "date"},
    {"TDRL", "date"},
    {"TDEN", "creation_time"},
    {"TSOA", "album-sort"},
    {"TSOP", "artist-sort"},
    {"TSOT", "title-sort"},
    {"TIT1", "grouping"},
    // ID3v2.2
    {"TAL", "album"},
    {"TCO", "genre"},
    {"TCP", "compilation"},
    {"TT2", "title"},
    {"TEN", "encoded_by"},
    {"TP1", "artist"},
    {"TP2", "album_artist"},
    {"TP3", "performer"},
    {"TRK", "track"},
    // ASF
    {"WM/AlbumArtist", "album_artist"},
    {"WM/AlbumTitle", "album"},
    {"Author", "artist"},
    {"Description", "comment"},
    {"WM/Composer", "composer"},
    {"WM/EncodedBy", "encoded_by"},
    {"WM/EncodingSettings", "encoder"},
    {"WM/Genre", "genre"},
    {"WM/Language", "language"},
    {"WM/OriginalFilename", "filename"},
    {"WM/PartOfSet", "disc"},
    {"WM/Publisher", "publisher"},
    {"WM/Tool", "encoder"},
    {"WM/TrackNumber", "track"},
    {"WM/Track", "track"},
    {"WM/MediaStationCallSign", "service_provider"},
    {"WM/MediaStationName", "service_name"},
    {"WM/Year", "date"},
    // RIFF INFO
    {"IART", "artist"},
    {"ICMT", "comment"},
    {"ICOP", "copyright"},
    {"ICRD", "date"},
    {"IGNR", "genre"},
    {"ILNG", "language"},
    {"INAM", "title"},
    {"IPRD", "album"},
    {"IPRT", "track"},
    {"ITRK", "track"},
    {"ISFT", "encoder"},
    {"ISMP", "timecode"},
    {"ITCH", "encoded_by"},
    // Matroska
    {"LEAD_PERFORMER", "performer"},
    {"PART_NUMBER", "track"},
    // NUT
    {"X-CreationTime", "date"},
    {"CreationTime", "date"},
    {"SourceFilename", "filename"},
    {"X-Language", "language"},
    {"Disposition", "disposition"},
    {"X-Replaces", "replaces"},
    {"X-Depends", "depends"},
    {"X-Uses", "uses"},
    {"X-UsesFont", "uses_font"},
};

const char *GenericKey(const char *AKey) {
  for (const TTagConv &c : kTagConv)
    if (std::strcmp(c.Native, AKey) == 0)
      return c.Generic;
  return AKey;
}

// ", %3.2f %s" / ", %1.0f %s" / ", %1.0fk %s" of a rate.
std::string RateText(AVRational ARate, const char *AUnit) {
  const double v = av_q2d(ARate);
  const int64_t hundredths = std::llrint(v * 100);
  if (hundredths % 100 != 0)
    return Format(", %3.2f %s", v, AUnit);
  if (hundredths % (100 * 1000) != 0)
    return Format(", %1.0f %s", v, AUnit);
  return Format(", %1.0fk %s", v / 1000, AUnit);
}

AVRational Inverse(AVRational AValue) {
  return AVRational{AValue.den, AValue.num};
}

} // namespace

std::string DurationText(int64_t AMicroseconds) {
  if (AMicroseconds == UnknownTime)
    return "N/A";
  const char *sign = AMicroseconds < 0 ? "-" : "";
  const uint64_t us = AMicroseconds < 0 ? 0 - static_cast<uint64_t>(AMicroseconds)
                                        : static_cast<uint64_t>(AMicroseconds);
  const uint64_t ms = us / 1000;
  return Format("%s%.2" PRIu64 ":%.2" PRIu64 ":%.2" PRIu64 ".%.3" PRIu64, sign, ms / 3600000,
                ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
}

std::string FileSizeText(int64_t ABytes) {
  if (ABytes <= 1024)
    return Format("%" PRId64 " Byte", ABytes);
  if (ABytes <= 1048576)
    return Format("%.2f KB", ABytes / 1024.0);
  if (ABytes <= 1073741824)
    return Format("%.2f MB", ABytes / 1048576.0);
  return Format("%.2f GB", ABytes / 1073741824.0);
}

std::string TCustomDecoder::CodecName(const AVCodecParameters *APar) {
  if (!APar)
    return std::string();
  if (const AVCodec *codec = ff::avcodec.avcodec_find_decoder(APar->codec_id)) {
    std::string name = codec->name ? codec->name : "";
    const std::string longName = Trim(codec->long_name ? codec->long_name : "");
    if (!longName.empty())
      name += "(" + longName + ")";
    return name;
  }
  if (APar->codec_id == AV_CODEC_ID_MPEG2TS)
    return "mpeg2ts";
  // The codec's own name text (the context of 2011 kept one; now the
  // descriptor has it), at most 32 characters.
  if (APar->codec_id != AV_CODEC_ID_NONE) {
    if (const AVCodecDescriptor *desc = ff::avcodec.avcodec_descriptor_get(APar->codec_id)) {
      const std::string name = Trim(std::string(desc->name ? desc->name : "").substr(0, 32));
      if (!name.empty())
        return name;
    }
  }
  const uint32_t tag = APar->codec_tag;
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    const unsigned c = (tag >> (8 * i)) & 0xFF;
    printable = printable && c >= 32 && c <= 126;
  }
  if (printable)
    return Format("%c%c%c%c / 0x%04X", static_cast<char>(tag & 0xFF),
                  static_cast<char>((tag >> 8) & 0xFF), static_cast<char>((tag >> 16) & 0xFF),
                  static_cast<char>((tag >> 24) & 0xFF), tag);
  return Format("0x%04X", tag);
}

void TCustomDecoder::MetadataBlock(std::string &AText, const AVDictionary *AMeta,
                                   const char *APrefix) {
  const int count = AMeta ? ff::avutil.av_dict_count(AMeta) : 0;
  if (count == 0)
    return;
  if (count == 1 && ff::avutil.av_dict_get(AMeta, "language", nullptr, 0))
    return;
  AText += Format("\n%sMetadata:", APrefix);
  const AVDictionaryEntry *e = nullptr;
  while ((e = ff::avutil.av_dict_get(AMeta, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::strcmp(e->key, "language") == 0)
      continue;
    AText += Format("\n%s  %-16s: %s", APrefix, GenericKey(e->key), e->value ? e->value : "");
  }
}

std::string TCustomDecoder::StreamLine(unsigned AIndex) {
  AVFormatContext *ic = FFileHandle;
  AVStream *st = ic->streams[AIndex];
  const AVRational tb = RepairTimeBase(st);
  const AVCodecParameters *par = st->codecpar;

  std::string line = Format("Stream #%u", AIndex);
  if (ic->iformat && (ic->iformat->flags & AVFMT_SHOW_IDS))
    line += Format("[0x%x]", static_cast<unsigned>(st->id));
  const AVDictionaryEntry *lang = ff::avutil.av_dict_get(st->metadata, "language", nullptr, 0);
  if (lang && lang->value && *lang->value)
    line += Format("(%s)", lang->value);
  const int64_t g = ff::avutil.av_gcd(tb.num, tb.den);
  line += Format(", %d/%d", static_cast<int>(tb.num / (g ? g : 1)),
                 static_cast<int>(tb.den / (g ? g : 1)));

  char desc[256] = "";
  AVCodecContext *ctx = ff::avcodec.avcodec_alloc_context3(nullptr);
  if (ctx && ff::avcodec.avcodec_parameters_to_context(ctx, par) >= 0)
    ff::avcodec.avcodec_string(desc, sizeof(desc), ctx, 0);
  const AVRational codecTimeBase = ctx ? ctx->time_base : AVRational{0, 1};
  if (ctx)
    ff::avcodec.avcodec_free_context(&ctx);
  line += ": ";
  line += desc;

  const AVRational sar = st->sample_aspect_ratio;
  if (sar.num != 0 &&
      (sar.num != par->sample_aspect_ratio.num || sar.den != par->sample_aspect_ratio.den)) {
    int dnum = 0, dden = 0;
    ff::avutil.av_reduce(&dnum, &dden, int64_t(par->width) * sar.num,
                         int64_t(par->height) * sar.den, 1024 * 1024);
    line = Format("%s, PAR %d:%d DAR %d:%d", line.c_str(), sar.num, sar.den, dnum, dden);
  }
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0)
      line += RateText(st->avg_frame_rate, "fps");
    if (st->r_frame_rate.num != 0 && st->r_frame_rate.den != 0)
      line += RateText(st->r_frame_rate, "tbr");
    if (tb.num != 0 && tb.den != 0)
      line += RateText(Inverse(tb), "tbn");
    if (codecTimeBase.num != 0 && codecTimeBase.den != 0)
      line += RateText(Inverse(codecTimeBase), "tbc");
  }
  if (st->start_time != AV_NOPTS_VALUE)
    line +=
        ", StartTime: " + SecondsText(ff::avutil.av_rescale_q(st->start_time, tb, AV_TIME_BASE_Q));
  if (st->duration != AV_NOPTS_VALUE)
    line +=
        ", Duration: " + DurationText(ff::avutil.av_rescale_q(st->duration, tb, AV_TIME_BASE_Q));
  else
    line += ", Duration: N/A";
  MetadataBlock(line, st->metadata, "  ");
  return line;
}

std::string TCustomDecoder::FileInfoText() {
  if (!FFileHandle) {
    Report(llWarning, "file not loaded.");
    return std::string();
  }
  AVFormatContext *ic = FFileHandle;
  std::string text = Format("File Name: %s", FileName().c_str());
  text += Format("\nFormat Name: %s", FormatName().c_str());
  if (!FormatLongName().empty())
    text += Format("\nFormat Long Name: %s", FormatLongName().c_str());
  text += "\nFile Size: " + FileSizeText(FFileSize);
  if (ic->duration != AV_NOPTS_VALUE && ic->duration >= 0)
    text += "\nDuration: " + DurationText(ic->duration);
  else
    text += "\nDuration: N/A";
  if (ic->start_time != AV_NOPTS_VALUE && ic->start_time >= 0)
    text += "\nStartTime: " + SecondsText(ic->start_time);
  if (ic->bit_rate >= 1)
    text += Format("\nBit Rate: %" PRId64 " kb/s", ic->bit_rate / 1000);
  else
    text += "\nBit Rate: N/A";
  const TFileStreamInfo info = GetFileStreamInfo();
  if (info.TimeStamp > 0) {
    const time_t t = static_cast<time_t>(info.TimeStamp);
    struct tm local {};
    char stamp[32] = "";
    if (localtime_r(&t, &local))
      std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    text += Format("\nTime Stamp: %s", stamp);
  }
  MetadataBlock(text, ic->metadata, "");

  for (unsigned i = 0; i < ic->nb_chapters; ++i) {
    const AVChapter *ch = ic->chapters[i];
    text += Format("\nChapter #%u: start %.2f, end %.2f", i, ch->start * av_q2d(ch->time_base),
                   ch->end * av_q2d(ch->time_base));
    MetadataBlock(text, ch->metadata, "  ");
  }

  std::vector<bool> shown(ic->nb_streams, false);
  for (unsigned p = 0; p < ic->nb_programs; ++p) {
    const AVProgram *prog = ic->programs[p];
    // Demuxers of today name these "service_provider" / "service_name".
    const AVDictionaryEntry *provider =
        ff::avutil.av_dict_get(prog->metadata, "provider_name", nullptr, 0);
    if (!provider)
      provider = ff::avutil.av_dict_get(prog->metadata, "service_provider", nullptr, 0);
    const AVDictionaryEntry *name = ff::avutil.av_dict_get(prog->metadata, "name", nullptr, 0);
    if (!name)
      name = ff::avutil.av_dict_get(prog->metadata, "service_name", nullptr, 0);
    text += Format("\nProgram %d %s@%s", prog->id,
                   provider && provider->value ? provider->value : "N/A",
                   name && name->value ? name->value : "N/A");
    MetadataBlock(text, prog->metadata, "  ");
    for (unsigned k = 0; k < prog->nb_stream_indexes; ++k) {
      const unsigned s = prog->stream_index[k];
      if (s >= ic->nb_streams)
        continue;
      text += "\n" + StreamLine(s);
      shown[s] = true;
    }
  }
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (!shown[i])
      text += "\n" + StreamLine(i);
  return text;
}
