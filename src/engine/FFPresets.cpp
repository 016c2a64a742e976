#include "engine/FFPresets.h"

#include <cstring>

// The key sets shared by the speed variants. Each preset lists its lines in
// the same key order as "libx264-default".
#define VM_RC "i_qfactor=0.71\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n"
#define VM_GOP "g=250\nkeyint_min=25\n"
#define VM_FIRSTPASS                                                                               \
  "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\nme_method=dia\nsubq=2\nrefs=1\n"      \
  "trellis=0\n"

const TOptionsPreset BuiltinPresets[BuiltinPresetCount] = {
    {"libx264-baseline", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0"},
    {"libx264-default",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=3\n"
     "directpred=1\ntrellis=1\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\nwpredp=2"},
    {"libx264-fast",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=6\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n" VM_RC
     "bf=3\nrefs=2\ndirectpred=1\ntrellis=1\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2"},
    {"libx264-fast_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=1\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
    {"libx264-faster",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=4\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n" VM_RC
     "bf=3\nrefs=2\ndirectpred=1\ntrellis=1\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=1"},
    {"libx264-faster_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=1\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=1"},
    {"libx264-fastfirstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=1\n"
     "flags2=-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
    {"libx264-hq",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=umh\nsubq=8\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=2\n" VM_RC
     "bf=3\nrefs=4\ndirectpred=3\ntrellis=1\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2"},
    {"libx264-ipod320",
     "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\nwpredp=0"},
    {"libx264-ipod640", "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\n"
                        "bufsize=10000000\nwpredp=0"},
    {"libx264-lossless_fast",
     "coder=0\nflags=+loop\ncmp=+chroma\npartitions=-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8\n"
     "me_method=hex\nsubq=3\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n"
     "directpred=1\nflags2=+fastpskip\ncqp=0"},
    {"libx264-lossless_max",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=esa\nsubq=8\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\nrefs=16\n"
     "directpred=1\nflags2=+mixed_refs+dct8x8+fastpskip\ncqp=0"},
    {"libx264-lossless_medium",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=-parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=hex\nsubq=5\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n"
     "directpred=1\nflags2=+fastpskip\ncqp=0"},
    {"libx264-lossless_slow",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=umh\nsubq=6\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\nrefs=2\n"
     "directpred=1\nflags2=+dct8x8+fastpskip\ncqp=0"},
    {"libx264-lossless_slower",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=umh\nsubq=8\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\nrefs=4\n"
     "directpred=1\nflags2=+mixed_refs+dct8x8+fastpskip\ncqp=0"},
    {"libx264-lossless_ultrafast",
     "coder=0\nflags=+loop\ncmp=+chroma\npartitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
     "me_method=dia\nsubq=0\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n"
     "directpred=1\nflags2=+fastpskip\ncqp=0"},
    {"libx264-main", "flags2=-dct8x8"},
    {"libx264-max",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=esa\nsubq=10\nme_range=24\n" VM_GOP "sc_threshold=40\nb_strategy=2\n" VM_RC
     "bf=16\nrefs=16\ndirectpred=3\ntrellis=2\nflags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
     "wpredp=2"},
    {"libx264-medium",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=7\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n" VM_RC
     "bf=3\nrefs=3\ndirectpred=1\ntrellis=1\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2"},
    {"libx264-medium_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=1\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
    {"libx264-normal",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=6\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n" VM_RC
     "bf=3\nrefs=2\ndirectpred=3\ntrellis=0\nflags2=+wpred+dct8x8+fastpskip\nwpredp=2"},
    {"libx264-placebo",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=tesa\nsubq=10\nme_range=24\n" VM_GOP "sc_threshold=40\nb_strategy=2\n" VM_RC
     "bf=16\nrefs=16\ndirectpred=3\ntrellis=2\nflags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
     "wpredp=2"},
    {"libx264-placebo_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=24\n" VM_GOP
     "sc_threshold=40\nb_strategy=2\n" VM_RC "bf=16\ndirectpred=3\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8-fastpskip\nwpredp=2"},
    {"libx264-slow",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=umh\nsubq=8\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=2\n" VM_RC
     "bf=3\nrefs=5\ndirectpred=3\ntrellis=1\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2"},
    {"libx264-slow_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=2\n" VM_RC "bf=3\ndirectpred=3\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
    {"libx264-slower",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=umh\nsubq=9\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=2\n" VM_RC
     "bf=3\nrefs=8\ndirectpred=3\ntrellis=2\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2"},
    {"libx264-slower_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=2\n" VM_RC "bf=3\ndirectpred=3\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
    {"libx264-slowfirstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=3\n"
     "flags2=-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
    {"libx264-superfast",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\nsubq=1\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n" VM_RC
     "bf=3\nrefs=1\ndirectpred=1\ntrellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\nwpredp=0"},
    {"libx264-superfast_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=1\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\nwpredp=0"},
    {"libx264-ultrafast",
     "coder=0\nflags=-loop\ncmp=+chroma\npartitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\nsubq=0\nme_range=16\n" VM_GOP "sc_threshold=0\nb_strategy=0\n" VM_RC
     "bf=0\nrefs=1\ndirectpred=1\ntrellis=0\nflags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-"
     "mbtree\n"
     "wpredp=0"},
    {"libx264-ultrafast_firstpass",
     "coder=0\nflags=-loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=0\nb_strategy=0\n" VM_RC "bf=0\ndirectpred=1\n"
     "flags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\nwpredp=0"},
    {"libx264-veryfast",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=2\nme_range=16\n" VM_GOP "sc_threshold=40\nb_strategy=1\n" VM_RC
     "bf=3\nrefs=1\ndirectpred=1\ntrellis=0\nflags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=0"},
    {"libx264-veryfast_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=16\n" VM_GOP
     "sc_threshold=40\nb_strategy=1\n" VM_RC "bf=3\ndirectpred=1\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=0"},
    {"libx264-veryslow",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=umh\nsubq=10\nme_range=24\n" VM_GOP "sc_threshold=40\nb_strategy=2\n" VM_RC
     "bf=8\nrefs=16\ndirectpred=3\ntrellis=2\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2"},
    {"libx264-veryslow_firstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n" VM_FIRSTPASS "me_range=24\n" VM_GOP
     "sc_threshold=40\nb_strategy=2\n" VM_RC "bf=8\ndirectpred=3\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\nwpredp=2"},
};

#undef VM_RC
#undef VM_GOP
#undef VM_FIRSTPASS

const TOptionsPreset *FindBuiltinPreset(const std::string &AName) {
  for (const TOptionsPreset &p : BuiltinPresets)
    if (SameText(AName, p.Name))
      return &p;
  return nullptr;
}

namespace {

// Keys renamed since the old H.264 wrapper; "" = no current counterpart.
struct TKeyRename {
  const char *Old;
  const char *New;
};
constexpr TKeyRename KeyRenames[] = {
    {"directpred", "direct-pred"},
    {"cqp", "qp"},
    {"rc_lookahead", "rc-lookahead"},
    {"aq_mode", "aq-mode"},
    {"aq_strength", "aq-strength"},
    {"deblockalpha", ""},
    {"deblockbeta", ""},
    {"bframebias", ""},
    {"complexityblur", ""},
};

// The old "flags2" constants: the private boolean (or its on/off values).
struct TFlag2 {
  const char *Old;
  const char *Option;
  const char *On;
  const char *Off;
};
constexpr TFlag2 Flags2[] = {
    {"mixed_refs", "mixed-refs", "1", "0"},
    {"wpred", "weightb", "1", "0"},
    {"dct8x8", "8x8dct", "1", "0"},
    {"fastpskip", "fast-pskip", "1", "0"},
    {"bpyramid", "b-pyramid", "normal", "none"},
    {"mbtree", "mbtree", "1", "0"},
    {"aud", "aud", "1", "0"},
    {"psy", "psy", "1", "0"},
    {"ssim", "ssim", "1", "0"},
};

// The old "partitions" constants and the names libx264 matches now.
struct TPartition {
  const char *Old;
  const char *New;
};
constexpr TPartition Partitions[] = {
    {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"},
    {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"},
};

// Splits "+a-b+c" (a leading sign may be missing: '+') into signed tokens.
std::vector<std::pair<bool, std::string>> SignedTokens(const std::string &AValue) {
  std::vector<std::pair<bool, std::string>> tokens;
  bool on = true;
  std::string cur;
  auto flush = [&] {
    if (!cur.empty())
      tokens.emplace_back(on, cur);
    cur.clear();
  };
  for (char c : AValue) {
    if (c == '+' || c == '-') {
      flush();
      on = c == '+';
    } else {
      cur += c;
    }
  }
  flush();
  return tokens;
}

bool IsOldStyleFlags(const std::string &AValue) {
  return !AValue.empty() && (AValue[0] == '+' || AValue[0] == '-');
}

} // namespace

TPresetTranslation TranslatePresetOption(const std::string &AName, const std::string &AValue) {
  TPresetTranslation t;
  for (const TKeyRename &r : KeyRenames)
    if (AName == r.Old) {
      if (*r.New)
        t.Options.push_back({r.New, AValue});
      else
        t.Dropped.push_back(AName);
      return t;
    }

  if (AName == "flags2") {
    for (const auto &[on, token] : SignedTokens(AValue)) {
      const TFlag2 *hit = nullptr;
      for (const TFlag2 &f : Flags2)
        if (token == f.Old)
          hit = &f;
      if (hit)
        t.Options.push_back({hit->Option, on ? hit->On : hit->Off});
      else
        t.Dropped.push_back("flags2 " + std::string(on ? "+" : "-") + token);
    }
    return t;
  }

  if (AName == "partitions" && IsOldStyleFlags(AValue)) {
    std::string list;
    for (const auto &[on, token] : SignedTokens(AValue)) {
      const TPartition *hit = nullptr;
      for (const TPartition &p : Partitions)
        if (token == p.Old)
          hit = &p;
      if (!hit) {
        t.Dropped.push_back("partitions " + std::string(on ? "+" : "-") + token);
        continue;
      }
      if (on)
        list += (list.empty() ? "" : ",") + std::string(hit->New);
    }
    t.Options.push_back({"partitions", list.empty() ? "none" : list});
    return t;
  }

  t.Options.push_back({AName, AValue});
  return t;
}
