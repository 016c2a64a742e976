#include "engine/FFOptionsParse.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// Reads an optionally signed decimal number at APos (leading blanks allowed,
// like strtol); 0 and no movement when there is none. Values beyond the int
// range are clipped.
int ReadInt(const std::string &AText, size_t &APos) {
  const char *begin = AText.c_str() + APos;
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  APos += static_cast<size_t>(end - begin);
  if (v > INT_MAX)
    return INT_MAX;
  if (v < INT_MIN)
    return INT_MIN;
  return static_cast<int>(v);
}

// Skips one separator character when the text goes on.
void SkipOne(const std::string &AText, size_t &APos) {
  if (APos < AText.size())
    ++APos;
}

std::string StreamIndexError() {
  return "stream index over MAX_STREAMS(" + std::to_string(MAX_STREAMS) + ")";
}

} // namespace

TAVStreamMap ParseStreamMap(const std::string &AValue) {
  TAVStreamMap m;
  size_t p = 0;
  m.file_index = ReadInt(AValue, p);
  SkipOne(AValue, p);
  m.stream_index = ReadInt(AValue, p);
  if (p < AValue.size()) {
    ++p;
    m.sync_file_index = ReadInt(AValue, p);
    SkipOne(AValue, p);
    m.sync_stream_index = ReadInt(AValue, p);
  } else {
    m.sync_file_index = m.file_index;
    m.sync_stream_index = m.stream_index;
  }
  return m;
}

static TAVMetaDataMap ParseMetaSpec(const std::string &AText, size_t &APos) {
  TAVMetaDataMap m;
  m.file_idx = ReadInt(AText, APos);
  if (APos < AText.size() && AText[APos] == ',') {
    ++APos;
    char type = APos < AText.size() ? AText[APos] : '\0';
    switch (type) {
    case 'g':
      ++APos;
      break;
    case 's':
    case 'c':
    case 'p':
      ++APos;
      m.index = ReadInt(AText, APos);
      break;
    default:
      throw FFmpegException("Invalid metadata type " + std::string(type ? 1 : 0, type) + ".");
    }
    m.type_ = type;
  }
  return m;
}

std::pair<TAVMetaDataMap, TAVMetaDataMap> ParseMetaDataMap(const std::string &AValue) {
  size_t p = 0;
  TAVMetaDataMap out = ParseMetaSpec(AValue, p);
  SkipOne(AValue, p);
  TAVMetaDataMap in = ParseMetaSpec(AValue, p);
  return {out, in};
}

TAVChapterMap ParseChapterMap(const std::string &AValue) {
  TAVChapterMap m;
  size_t p = 0;
  m.out_file = ReadInt(AValue, p);
  SkipOne(AValue, p);
  m.in_file = ReadInt(AValue, p);
  return m;
}

unsigned ParseCodecTag(const std::string &AValue) {
  int64_t n;
  if (TryOptInt64(AValue, n) && n >= INT32_MIN && n <= UINT32_MAX)
    return static_cast<unsigned>(n);
  if (AValue.size() != 4)
    throw FFmpegException("tag parameter must be 4 chars or int value");
  const auto *b = reinterpret_cast<const unsigned char *>(AValue.data());
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24);
}

std::vector<uint16_t> ParseMatrix(const std::string &AValue) {
  std::vector<uint16_t> m(64);
  size_t p = 0;
  for (int i = 0;; ++i) {
    size_t q = p;
    m[i] = static_cast<uint16_t>(ReadInt(AValue, q));
    if (i == 63)
      break;
    p = AValue.find(',', p);
    if (p == std::string::npos)
      throw FFmpegException("Syntax error in matrix \"" + AValue + "\" at coeff " +
                            std::to_string(i));
    ++p;
  }
  return m;
}

bool ParseRcOverride(const std::string &AValue, std::vector<TRcOverride> &AResult) {
  AResult.clear();
  if (AValue.empty())
    return true;
  size_t start = 0;
  while (true) {
    size_t slash = AValue.find('/', start);
    std::string entry = AValue.substr(start, slash == std::string::npos ? slash : slash - start);
    int v[3];
    size_t p = 0;
    for (int k = 0; k < 3; ++k) {
      size_t before = p;
      v[k] = ReadInt(entry, p);
      if (p == before)
        return false;
      if (k < 2) {
        if (p >= entry.size())
          return false;
        ++p;
      }
    }
    if (p != entry.size())
      return false;
    TRcOverride o;
    o.start_frame = v[0];
    o.end_frame = v[1];
    if (v[2] > 0) {
      o.qscale = v[2];
      o.quality_factor = 1.0f;
    } else {
      o.qscale = 0;
      o.quality_factor = -v[2] / 100.0f;
    }
    AResult.push_back(o);
    if (slash == std::string::npos)
      break;
    start = slash + 1;
  }
  return true;
}

std::pair<int, int> ParseStreamId(const std::string &AName, const std::string &AValue) {
  size_t colon = AValue.find(':');
  const std::string syntax = "Invalid value \"" + AValue + "\" for option \"" + AName +
                             "\", required syntax is \"index:value\"";
  if (colon == std::string::npos)
    throw FFmpegException(syntax);
  int index = OptInt(AValue.substr(0, colon));
  int value = OptInt(AValue.substr(colon + 1));
  if (index < 0 || index >= MAX_STREAMS)
    throw FFmpegException(StreamIndexError());
  if (value < 0)
    throw FFmpegException(syntax);
  return {index, value};
}

std::pair<int, double> ParseTsScale(const std::string &AValue) {
  size_t p = 0;
  long stream = ReadInt(AValue, p);
  SkipOne(AValue, p);
  if (stream < 0 || stream >= MAX_STREAMS)
    throw FFmpegException(StreamIndexError());
  // strtod semantics on the rest (leading number only), locale-independent.
  std::string rest = AValue.substr(p);
  size_t len = 0;
  while (len < rest.size() &&
         (std::isdigit(static_cast<unsigned char>(rest[len])) || rest[len] == '.' ||
          rest[len] == '-' || rest[len] == '+' || rest[len] == 'e' || rest[len] == 'E'))
    ++len;
  double scale = 0;
  while (len > 0) {
    try {
      scale = OptFloat(rest.substr(0, len));
      break;
    } catch (const std::invalid_argument &) {
      --len;
    }
  }
  return {static_cast<int>(stream), scale};
}

double ParseAspect(const std::string &AValue) {
  size_t colon = AValue.find(':');
  if (colon == std::string::npos)
    return OptFloat(AValue);
  int x = OptInt(AValue.substr(0, colon));
  int y = OptInt(AValue.substr(colon + 1));
  return y > 0 ? static_cast<double>(x) / y : 0.0;
}

std::vector<std::string> SplitHookArgs(const std::string &AValue) {
  const char sep = AValue.find('|') != std::string::npos ? '|' : ' ';
  std::vector<std::string> args;
  std::string cur;
  for (char c : AValue) {
    if (c == sep) {
      if (!cur.empty() && args.size() < 254)
        args.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty() && args.size() < 254)
    args.push_back(cur);
  return args;
}

std::string BitStreamFilterName(const std::string &AValue) {
  return AValue.substr(0, AValue.find('='));
}
