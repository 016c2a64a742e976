#pragma once
// The generic option setter: names the option table does not handle itself
// are resolved against FFmpeg's own option sets (codec, container, scaler and
// the private options of codecs and muxers) and recorded per task, so that
// the contexts created later (codec, muxer) receive them.
//
// FFmpeg (avcodec, avformat, avutil, swscale) must be loaded while a
// TFFOptions exists. One TFFOptions per task; it is used only by the thread
// that adds the task's files. The last option error is process-wide.

#include "engine/FFApi.h"
#include "engine/FFUtils.h"

#include <string>
#include <vector>

// The text of the last failure of any task's generic option setter:
// "Unrecognized option \"%s\"" or "Invalid value \"%s\" for option \"%s\"".
// Any thread.
std::string FFLastOptionError();
void FFSetLastOptionError(const std::string &AText);

// The media types of the option contexts, in the order they are tried.
inline constexpr int FFOptionTypeCount = 5; // video, audio, data, subtitle, attachment

class TFFOptions {
public:
  // Creates the five codec option contexts, the container option context and
  // the scaler option context (a 16x16 yuv420p scaler with ASwsFlags).
  // Throws FFmpegException when FFmpeg cannot allocate them.
  explicit TFFOptions(int ASwsFlags);
  TFFOptions(const TFFOptions &) = delete;
  TFFOptions &operator=(const TFFOptions &) = delete;

  // Sets one option by name (8-bit texts). True when a context took it or a
  // codec's or muxer's private options declare the name; false (with the
  // last option error set and logged through av_log, except for an empty
  // name) otherwise. Every success is recorded (opt_names / opt_values).
  bool SetOption(const std::string &AName, const std::string &AValue);

  // The codec option context of a media type (AVMEDIA_TYPE_VIDEO ..
  // AVMEDIA_TYPE_ATTACHMENT); owned here.
  AVCodecContext *CodecOpts(AVMediaType AType) const;
  AVFormatContext *FormatOpts() const { return avformat_opts.get(); }
  SwsContext *SwsOpts() const { return sws_opts.get(); }

  // Copies every recorded option into a real context:
  // - a declared option (recorded without value) whose declaration on
  //   ATarget has all of AFlags is copied from ASource (the option context of
  //   the same kind) by its text value;
  // - a private option recorded with its value goes to the target's private
  //   options when they declare it (AV_OPT_SEARCH_CHILDREN); otherwise, when
  //   ARest is given, into *ARest (for avcodec_open2/avformat_write_header).
  // Returns the number of options copied.
  int CopyRecorded(void *ATarget, void *ASource, int AFlags, AVDictionary **ARest = nullptr) const;

  // The recorded store: parallel arrays, one entry per accepted option, in
  // order; a value is "" for a declared option (read it back from the option
  // context). Never emptied during the life of a task.
  std::vector<std::string> opt_names;
  std::vector<std::string> opt_values;
  int opt_name_count() const { return static_cast<int>(opt_names.size()); }

private:
  TFFCodecContextPtr avcodec_opts[FFOptionTypeCount];
  TFFOutputContextPtr avformat_opts;
  TFFSwsContextPtr sws_opts;
};
