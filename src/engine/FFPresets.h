#pragma once
// The built-in encoder presets (all for libx264) and the translation of the
// preset keys of the old H.264 wrapper into the option names of FFmpeg 5.1.
// Pure data and text work: no FFmpeg call, any thread.

#include "engine/FFOptions.h"

#include <string>
#include <vector>

// A preset: lines of "name=value" separated by line feeds.
struct TOptionsPreset {
  const char *Name;
  const char *Value;
};

inline constexpr int BuiltinPresetCount = 36;
extern const TOptionsPreset BuiltinPresets[BuiltinPresetCount];

// The built-in preset of that name (compared without regard to case); null
// when there is none.
const TOptionsPreset *FindBuiltinPreset(const std::string &AName);

// What one preset line becomes on FFmpeg 5.1.
struct TPresetTranslation {
  // The options to set instead, in order (usually the line itself).
  std::vector<TExtOption> Options;
  // Parts with no current counterpart ("deblockalpha", "flags2 +foo"), for a
  // warning; they are not set.
  std::vector<std::string> Dropped;
};

// Translates one preset line: renamed keys ("directpred" -> "direct-pred",
// "cqp" -> "qp", ...), the old "flags2" constants of the H.264 wrapper
// ("+mixed_refs+wpred" -> "mixed-refs=1", "weightb=1"), the old
// "partitions" syntax ("+parti8x8-partp8x8" -> "i8x8") and keys that no
// longer exist (dropped). Any other line is returned unchanged.
TPresetTranslation TranslatePresetOption(const std::string &AName, const std::string &AValue);
