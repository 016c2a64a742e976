#pragma once
// The option records of one conversion task, the extra-options text and the
// value conversions shared by the option handlers.
//
// A task gets one TInputOptions per input file and one TOutputOptions per
// output file; the caller initialises a record (its constructor sets every
// default), changes the fields it needs and hands it to the encoder's add
// operations, which copy it. Records are plain values: no FFmpeg object, no
// thread affinity.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The error of every option handler (unknown option, bad value, unknown
// preset, ...). what() is the message shown to the user as the task's error.
class FFmpegException : public std::runtime_error {
public:
  explicit FFmpegException(const std::string &AMessage) : std::runtime_error(AMessage) {}
};

// The no-value marker of every time field (FFmpeg's AV_NOPTS_VALUE).
inline constexpr int64_t FFNoTime = INT64_MIN;

enum TOptionTargetType : int32_t { ttIgnore, ttVCD, ttSVCD, ttDVD };
enum TOptionNormType : int32_t { ntAuto, ntPAL, ntNTSC };
// The fallback norm: only ntPAL or ntNTSC.
using TOptionNormDefault = TOptionNormType;

// Metadata written into an output.
struct TStreamInfo {
  // Creation date-time: days since 1899-12-30, local time. 0 = now, negative =
  // none.
  double TimeStamp = -1.0;
  int32_t Year = -1;                                           // written when > 0
  int32_t Track = -1;                                          // written when > 0
  std::string Title, Author, Copyright, Comment, Album, Genre; // written when non-empty
};

struct TInputOptions {
  std::string FileName;         // UTF-8 path; empty = the add operation's file name
  std::string ForceFormat;      // input format name; empty = probe
  int64_t TimeStart = FFNoTime; // microseconds to seek to; FFNoTime = from the start
  int32_t ProgramID = -1;       // program to select; <= 0 = none
  std::string ExtOptions;       // extra-options text (see ParseExtOptions)
  int32_t Tag = 0;              // caller's value, not interpreted
  void *Data = nullptr;         // caller's value, not interpreted
};

// -1 in a numeric field means "not given" unless a line says otherwise.
struct TOutputOptions {
  std::string FileName;     // UTF-8 path; empty = the add operation's file name
  std::string FileExt;      // caller's extension; not read by the engine
  std::string ForceFormat;  // container name; empty = chosen from the file name
  int32_t PacketSize = -1;  // bytes ("packetsize")
  int32_t MuxRate = -1;     // bits/s ("muxrate")
  float MuxDelay = -1.0f;   // seconds, maximum demux-decode delay
  float MuxPreload = -1.0f; // seconds, initial demux-decode delay
  std::string AudioCodec;   // encoder name or "copy"
  std::string AudioPreset;  // preset name or file
  bool DisableAudio = false;
  int32_t AudioVolume = -1; // 1/256 steps (256 = unchanged); applied when >= 0
  int32_t AudioChannels = -1;
  int32_t AudioSampleRate = -1;       // Hz
  int32_t AudioBitrate = -1;          // bits/s
  int32_t AudioBitRateTolerance = -1; // bits/s
  std::string AudioLanguage;
  int32_t AudioSyncMethod = 0; // always applied
  std::string AudioTag;        // four characters or an integer
  std::string VideoCodec;      // encoder name or "copy"
  std::string VideoPreset;     // preset name or file
  bool DisableVideo = false;
  std::string FrameRate;              // "25", "30000/1001", "ntsc", ...
  std::string FrameSize;              // "352x288" or an abbreviation
  std::string FrameAspectRatio;       // "4:3" or a decimal number (display aspect)
  int32_t GroupPictureSize = -1;      // frames ("g")
  int32_t VideoBitrate = -1;          // bits/s ("vb")
  int32_t VideoMaxRate = -1;          // bits/s
  int32_t VideoMinRate = -1;          // bits/s
  int32_t VideoBitRateTolerance = -1; // bits/s ("bt")
  int32_t VideoBufSize = -1;          // bits
  int32_t VideoSyncMethod = -1;       // always applied
  std::string VideoTag;
  std::string VideoFilters; // filter-graph text
  std::string VideoLanguage;
  std::string SubtitleCodec;
  std::string SubtitlePreset;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool InputSync = false;        // always applied ("isync")
  bool CopyTimestamp = false;    // only switches "copyts" on
  int64_t TimeStart = FFNoTime;  // microseconds of input skipped
  int64_t TimeLength = FFNoTime; // microseconds; any value but FFNoTime is a limit
  TStreamInfo Info;
  TOptionTargetType TargetType = ttIgnore;
  TOptionNormType NormType = ntAuto;
  TOptionNormDefault NormDefault = ntPAL;
  bool AudioHook = false;
  bool VideoInputHook = false;
  bool VideoOutputHook = false;
  int32_t VideoHookBitsPixel = 24; // 8, 15, 16, 24 or 32
  bool Join = false;
  std::string ExtOptions;
  int32_t Tag = 0;
  void *Data = nullptr;
};

// The record initialisers: set every field to its default.
void InitInputOptions(TInputOptions &AOptions);
void InitOutputOptions(TOutputOptions &AOptions);

// ---------------------------------------------------------------------------
// Extra-options text

// One line of an extra-options text.
struct TExtOption {
  std::string Name; // lower-cased
  std::string Value;
  bool operator==(const TExtOption &) const = default;
};

// Trims the text (characters up to ' ' at both ends), turns CR LF, CR and
// (with AExpandCRLFTag) the literal "<CRLF>" into line feeds.
std::string NormalizeOptionText(const std::string &AText, bool AExpandCRLFTag = true);

// Splits a normalised text into lines; keeps empty lines.
std::vector<std::string> SplitOptionLines(const std::string &AText);

// The option lines of an extra-options text: each non-empty line split at the
// first '=' (no '=': empty value), names lower-cased; empty lines are dropped.
std::vector<TExtOption> ParseExtOptions(const std::string &AText);

// The text forms of the add operations: a default record with "TimeStart"
// (inputs) or "AudioHook", "VideoInputHook", "VideoOutputHook", "Join",
// "VideoHookBitsPixel", "TimeStart", "TimeLength" (outputs) taken out of the
// text (names compared without regard to case); the other lines, unchanged
// and joined with '\n', become ExtOptions.
TInputOptions InputOptionsFromText(const std::string &AExtOptions);
TOutputOptions OutputOptionsFromText(const std::string &AExtOptions);

// ---------------------------------------------------------------------------
// Value conversions of the option table

// True unless the value is exactly "0" (an empty value is true).
bool OptBool(const std::string &AValue);
// Decimal conversions of the whole text (surrounding blanks allowed). An
// unconvertible or out-of-range value throws std::invalid_argument
// "'<value>' is not a valid integer value" / "... floating point value".
int32_t OptInt(const std::string &AValue);
int64_t OptInt64(const std::string &AValue);
double OptFloat(const std::string &AValue);
// The same without throwing: false when the text is not a number.
bool TryOptInt(const std::string &AValue, int32_t &AResult);
bool TryOptInt64(const std::string &AValue, int64_t &AResult);

// ASCII helpers.
std::string LowerCase(std::string AText);
bool SameText(const std::string &A, const std::string &B);
// Removes characters with codes up to 32 at both ends.
std::string TrimText(const std::string &AText);
