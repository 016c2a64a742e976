#pragma once
// TCustomFFmpeg: the transcoder of one conversion task. This unit holds its
// option side: the task's settings (TTranscoderSettings), the generic option
// store, the option table reached through SetExtOption, codec selection,
// presets, the disc targets and the application of the option records.
//
// How adding a file flows (the encoder component drives it, caller's thread):
//   input:  ApplyInputOptions(name, record)   -> settings for the next input
//           then the input opener reads those settings, opens the file and
//           appends it to Finput_files (it also resets the codec names, the
//           video channel and the start time afterwards).
//   output: ApplyOutputOptions(name, record)  -> settings for the next output
//                                                plus a TPendingOutput
//           then the output opener creates the file from the settings and
//           appends it to Foutput_files; only when that succeeded:
//           AddPendingStreams(pending)        -> the "newaudio"/"newvideo"/
//                                                "newsubtitle" lines
//           and, with pending.Join, the join is prepared by the run.
// Options are applied only there, never while the task runs; the settings
// need no lock. FFmpeg (the encoder library set) must be loaded for the life
// of the object.

#include "engine/FFApi.h"
#include "engine/FFOptions.h"
#include "engine/FFOptionsGeneric.h"
#include "engine/FFOptionsSettings.h"
#include "engine/FFUtils.h"

#include <memory>
#include <string>
#include <vector>

// What applying an output record leaves for the steps after the output has
// been opened.
struct TPendingOutput {
  // The slot's copy of the record (FileName filled in).
  TOutputOptions Options;
  // The stream default list: "def_acodec", "def_vcodec", "def_scodec",
  // "def_apre", "def_vpre", "def_spre", "def_s", "def_vf" (present when
  // non-empty), then every "acodec", "vcodec", "scodec", "apre", "vpre",
  // "spre", "s", "vf" extra-options line with a value ("vfilters" as "vf").
  std::vector<TExtOption> StreamDefaults;
  // The "newaudio", "newvideo", "newsubtitle" lines, in order.
  std::vector<TExtOption> NewStreams;
  // Join all inputs into this output (prepared by the run once opened).
  bool Join = false;
};

class TCustomFFmpeg : public TTranscoderSettings {
public:
  // AMaxFiles: inputs and outputs the task accepts (clamped to 1..512).
  // Throws FFmpegException when the option contexts cannot be created.
  explicit TCustomFFmpeg(int AMaxFiles = 20);
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg &) = delete;
  TCustomFFmpeg &operator=(const TCustomFFmpeg &) = delete;

  // Applies one option (see the option table in FFOptionsTable.cpp). The
  // name is compared case-sensitively; names the table does not know go to
  // the generic option setter. Errors throw FFmpegException (or
  // std::invalid_argument for a number that does not convert).
  void SetExtOption(const std::string &AName, const std::string &AValue);

  // When true (default) a name or value the generic option setter refuses
  // throws FFmpegException with the last option error; when false it is
  // ignored.
  bool HaltOnInvalidOption = true;

  // The task's last error (codec checks, opening files).
  const std::string &LastErrMsg() const { return FLastErrMsg; }
  void SetLastErrMsg(const std::string &AText) { FLastErrMsg = AText; }
  int MaxFiles() const { return FMaxFiles; }

  // --- option records

  // Steps before an input is opened: fills an empty FileName with
  // AFileName, applies the extra options (except "newvideo", "newaudio",
  // "newsubtitle", "apre", "vpre", "spre", "vfilters", "vf"), the forced
  // format, the start time and the program. Returns the slot's copy.
  TInputOptions ApplyInputOptions(const std::string &AFileName, const TInputOptions &AOptions);

  // Steps before an output is opened: stream defaults, target, codecs,
  // presets, the other extra options, the record fields, metadata, frame
  // size and filters, hooks. Returns what the steps after opening need.
  TPendingOutput ApplyOutputOptions(const std::string &AFileName, const TOutputOptions &AOptions);

  // After the output was opened: adds one stream per "newaudio", "newvideo"
  // or "newsubtitle" line, each with its per-stream options taken from (and
  // removed from) APending.StreamDefaults, else from its "def_" entry.
  void AddPendingStreams(TPendingOutput &APending);

  // --- pieces of the option table, public for the record steps and tests

  // Codec selection: "copy" turns on stream copy for the type; any other
  // text becomes the codec name (checked when a stream is created). The
  // previous name is released either way.
  void SelectCodec(AVMediaType AType, const std::string &AName);

  // Checks a codec name as encoder (outputs) or decoder (inputs) of that
  // media type. An empty name passes. On failure returns false and sets
  // LastErrMsg: "Unknown %s '%s'", "Invalid %s type '%s'" or the
  // experimental-codec text. ACodec (optional) receives the codec.
  bool CheckCodec(const std::string &AName, AVMediaType AType, bool AEncoder,
                  const AVCodec **ACodec = nullptr);

  // "apre", "vpre", "spre" (built-in name, codec + "-" + name, else a file)
  // or "fpre" (a file). Throws "Preset \"%s\" not found", the syntax error or
  // (HaltOnInvalidOption) the invalid-option error.
  void ApplyPreset(const std::string &AOption, const std::string &AValue);

  // The disc target routine: AType "vcd", "svcd", "dvd", "dv", "dv50";
  // ANorm "pal", "ntsc", "film" or "auto"; AFallback the norm used when
  // "auto" cannot decide ("film", "ntsc", anything else PAL). With "auto", a
  // PAL or NTSC output rate that the caller asks for (AOutputRate, den 0 =
  // none) decides first, so an NTSC disc from a PAL source gets NTSC sizes
  // to go with its NTSC rate; else the task's rate and the inputs' rates.
  void ApplyTarget(const std::string &AType, const std::string &ANorm, const std::string &AFallback,
                   AVRational AOutputRate = {0, 0});

  // The generic option setter; on failure throws the last option error when
  // AHalt, else returns false.
  bool SetGenericOption(const std::string &AName, const std::string &AValue, bool AHalt);

  TFFOptions &Options() { return *FOptions; }

  // --- hook requests of the current output (the encoder connects them)
  bool FAudioHook = false;
  bool FVideoInputHook = false;
  bool FVideoOutputHook = false;
  int FVideoHookBitsPixel = 24; // bits per pixel of both hook pictures

  // --- files opened so far, in order. Filled by the input and output
  // openers; owned here and closed when the task is destroyed. The target
  // routine reads the inputs' video rates (through OpenedInputs),
  // "newaudio" and friends need an output.
  std::vector<TFFInputContextPtr> Finput_files;
  std::vector<TFFOutputContextPtr> Foutput_files;

protected:
  // Adds a stream of AType to the last opened output from the current
  // settings ("newvideo", "newaudio", "newsubtitle"); called only when an
  // output exists. The output layer provides it; this base has no output
  // layer and throws "At least one output file must be specified".
  virtual void NewOutputStream(AVMediaType AType);

  // Loads a frame-processing hook ("vhook"): AArgs[0] is the library, the
  // rest its arguments. False = "Failed to add video hook function: ...".
  // The stream processing provides it; this base loads none.
  virtual bool AddFrameHook(const std::vector<std::string> &AArgs);

  // The input containers opened so far, in order (null entries allowed),
  // as the target routine examines them. This base gives Finput_files; a
  // task whose inputs are opened elsewhere (the pipeline) gives those.
  virtual std::vector<const AVFormatContext *> OpenedInputs() const;

private:
  friend struct TOptionTable;

  // A duration ("t", "ss", ...) or date ("timestamp") in microseconds;
  // throws "Invalid %s specification for %s: %s".
  static int64_t ParseTime(const std::string &AName, const std::string &AValue, bool ADuration);
  void LogDoNothing(const std::string &AName);
  // Bit rate options: generic setter, then the too-low warning.
  void OptBitrate(const std::string &AName, const std::string &AValue, AVMediaType AType);
  // "newvideo", "newaudio", "newsubtitle".
  void OptNewStream(AVMediaType AType);
  void ApplyPresetText(const std::string &APresetName, const std::string &AText);

  int FMaxFiles;
  std::string FLastErrMsg;
  std::unique_ptr<TFFOptions> FOptions;
};
