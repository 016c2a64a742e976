#include "engine/FFOptions.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

void InitInputOptions(TInputOptions &AOptions) {
  AOptions = TInputOptions();
}

void InitOutputOptions(TOutputOptions &AOptions) {
  AOptions = TOutputOptions();
}

std::string LowerCase(std::string AText) {
  for (char &c : AText)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return AText;
}

bool SameText(const std::string &A, const std::string &B) {
  return LowerCase(A) == LowerCase(B);
}

std::string TrimText(const std::string &AText) {
  size_t b = 0, e = AText.size();
  while (b < e && static_cast<unsigned char>(AText[b]) <= ' ')
    ++b;
  while (e > b && static_cast<unsigned char>(AText[e - 1]) <= ' ')
    --e;
  return AText.substr(b, e - b);
}

std::string NormalizeOptionText(const std::string &AText, bool AExpandCRLFTag) {
  const std::string text = TrimText(AText);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n')
        ++i;
      out += '\n';
    } else if (AExpandCRLFTag && text.compare(i, 6, "<CRLF>") == 0) {
      out += '\n';
      i += 5;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> SplitOptionLines(const std::string &AText) {
  std::vector<std::string> lines;
  if (AText.empty())
    return lines;
  size_t start = 0;
  while (true) {
    size_t nl = AText.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(AText.substr(start));
      break;
    }
    lines.push_back(AText.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

static TExtOption SplitLine(const std::string &ALine) {
  size_t eq = ALine.find('=');
  if (eq == std::string::npos)
    return {ALine, ""};
  return {ALine.substr(0, eq), ALine.substr(eq + 1)};
}

std::vector<TExtOption> ParseExtOptions(const std::string &AText) {
  std::vector<TExtOption> result;
  for (const std::string &line : SplitOptionLines(NormalizeOptionText(AText))) {
    if (line.empty())
      continue;
    TExtOption opt = SplitLine(line);
    opt.Name = LowerCase(opt.Name);
    result.push_back(std::move(opt));
  }
  return result;
}

// Walks the lines of a text form; AHandle returns true for a line it took.
template <typename F> static std::string FilterTextForm(const std::string &AText, F AHandle) {
  std::string rest;
  bool first = true;
  for (const std::string &line : SplitOptionLines(NormalizeOptionText(AText))) {
    TExtOption opt = SplitLine(line);
    if (AHandle(LowerCase(opt.Name), opt.Value))
      continue;
    if (!first)
      rest += '\n';
    rest += line;
    first = false;
  }
  return rest;
}

static int64_t TimeOrUnset(const std::string &AValue) {
  int64_t v;
  return TryOptInt64(AValue, v) ? v : FFNoTime;
}

TInputOptions InputOptionsFromText(const std::string &AExtOptions) {
  TInputOptions o;
  o.ExtOptions = FilterTextForm(AExtOptions, [&](const std::string &name, const std::string &val) {
    if (name != "timestart")
      return false;
    o.TimeStart = TimeOrUnset(val);
    return true;
  });
  return o;
}

TOutputOptions OutputOptionsFromText(const std::string &AExtOptions) {
  TOutputOptions o;
  struct TFlagKey {
    const char *Name;
    bool TOutputOptions::*Field;
  };
  static const TFlagKey flags[] = {{"audiohook", &TOutputOptions::AudioHook},
                                   {"videoinputhook", &TOutputOptions::VideoInputHook},
                                   {"videooutputhook", &TOutputOptions::VideoOutputHook},
                                   {"join", &TOutputOptions::Join}};
  o.ExtOptions = FilterTextForm(AExtOptions, [&](const std::string &name, const std::string &val) {
    for (const TFlagKey &f : flags)
      if (name == f.Name) {
        o.*f.Field = val != "0";
        return true;
      }
    if (name == "videohookbitspixel") {
      if (!TryOptInt(val, o.VideoHookBitsPixel))
        o.VideoHookBitsPixel = 24;
      return true;
    }
    if (name == "timestart") {
      o.TimeStart = TimeOrUnset(val);
      return true;
    }
    if (name == "timelength") {
      o.TimeLength = TimeOrUnset(val);
      return true;
    }
    return false;
  });
  return o;
}

// ---------------------------------------------------------------------------

bool OptBool(const std::string &AValue) {
  return AValue != "0";
}

bool TryOptInt64(const std::string &AValue, int64_t &AResult) {
  const std::string t = TrimText(AValue);
  if (t.empty())
    return false;
  size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i >= t.size())
    return false;
  for (size_t k = i; k < t.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(t[k])))
      return false;
  errno = 0;
  long long v = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE)
    return false;
  AResult = v;
  return true;
}

bool TryOptInt(const std::string &AValue, int32_t &AResult) {
  int64_t v;
  if (!TryOptInt64(AValue, v) || v < INT32_MIN || v > INT32_MAX)
    return false;
  AResult = static_cast<int32_t>(v);
  return true;
}

int32_t OptInt(const std::string &AValue) {
  int32_t v;
  if (!TryOptInt(AValue, v))
    throw std::invalid_argument("'" + AValue + "' is not a valid integer value");
  return v;
}

int64_t OptInt64(const std::string &AValue) {
  int64_t v;
  if (!TryOptInt64(AValue, v))
    throw std::invalid_argument("'" + AValue + "' is not a valid integer value");
  return v;
}

double OptFloat(const std::string &AValue) {
  // Locale-independent (the GUI switches LC_NUMERIC); plain decimal numbers
  // only: no hex, no "inf"/"nan".
  std::string t = TrimText(AValue);
  if (!t.empty() && t[0] == '+')
    t.erase(0, 1);
  double v = 0;
  const char *end = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(t.data(), end, v, std::chars_format::general);
  if (t.empty() || ec != std::errc() || ptr != end || !std::isfinite(v))
    throw std::invalid_argument("'" + AValue + "' is not a valid floating point value");
  return v;
}
