#pragma once
// The disc targets ("vcd", "svcd", "dvd", "dv", "dv50"): their settings
// table and the television norm detection. TCustomFFmpeg::ApplyTarget (in
// FFTarget.cpp) applies a row to a task. The helpers here are pure.

#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

enum TTargetNorm { tnPAL, tnNTSC, tnFILM, tnUnknown };

// The "target" option's text: an optional "pal-", "ntsc-" or "film-"
// prefix, then the type. Norm is "pal", "ntsc", "film" or "auto" (no prefix).
struct TTargetText {
  std::string Norm;
  std::string Type;
};
TTargetText SplitTargetText(const std::string &AValue);

// The norm a frame rate stands for: rate x 1000, rounded, 25000 -> PAL,
// 29970 or 23976 -> NTSC, anything else (or a zero denominator) unknown.
TTargetNorm NormFromRate(AVRational ARate);

// The norm named by a text: "pal", "ntsc", "film"; anything else unknown.
TTargetNorm NormFromName(const std::string &AName);
// The fallback: "film" -> FILM, "ntsc" -> NTSC, anything else PAL.
TTargetNorm FallbackNorm(const std::string &AName);

// The frame rate of a norm: "25", "30000/1001", "24000/1001".
const char *NormFrameRate(TTargetNorm ANorm);

// One row of the target table. Text fields are empty when the type leaves
// the setting alone; numbers are 0 then.
struct TTargetRow {
  const char *Type;
  const char *VideoCodec;
  const char *AudioCodec;
  const char *Format;
  const char *SizePAL;  // PAL
  const char *SizeNTSC; // NTSC and FILM
  bool Gop;             // "g" 15 (PAL) or 18
  // Generic options in order ("b", "maxrate", ...), as name=value pairs.
  std::vector<std::pair<const char *, const char *>> Generic;
  int SampleRate;     // Hz
  int Channels;       // 2 = always stereo; -2 = mono becomes stereo; 0 = unchanged
  float MuxPreload;   // seconds; 0 = unchanged
  const char *Aspect; // default display aspect when none is set ("" = none)
  bool Dv;            // pixel format: yuv422p (dv50), else yuv411p (NTSC) / yuv420p (PAL)
};

// The row of a type ("vcd", "svcd", "dvd", "dv", "dv50"); null for any other.
const TTargetRow *FindTargetRow(const std::string &AType);
