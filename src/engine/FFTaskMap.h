#pragma once
// Mapping of a task's option settings (TCustomFFmpeg, written by the option
// handlers) onto the pipeline's descriptions (TTranscodeInput,
// TTranscodeOutput, TTranscodeSettings), and the settings an opened file
// consumes. Used by TTaskRun on the thread that adds files.
//
// The stream, metadata and chapter maps are the option records' own types
// (FFOptionsSettings.h), shared by both sides. The task is taken by forward
// declaration.

#include "engine/FFTranscode.h"

#include <string>

class TCustomFFmpeg;

// The values the settings inherited from the last opened input; an output
// value equal to them is left to the pipeline (0 = the input's), which also
// lets it adapt to what the encoder supports.
struct TInheritedAudio {
  int SampleRate = 0; // 0 = no input with audio yet
  int Channels = 0;
  AVRational FrameRate = {0, 0}; // den 0 = no input with video yet
};

// The next input from the settings (after the input record was applied).
TTranscodeInput MapTranscodeInput(const TCustomFFmpeg &ATask);

// The task-wide settings as they stand now.
TTranscodeSettings MapTranscodeSettings(const TCustomFFmpeg &ATask);

// The next output (after the output record was applied).
TTranscodeOutput MapTranscodeOutput(const TCustomFFmpeg &ATask, const std::string &AFileName,
                                    const TInheritedAudio &AInherited);

// A further output stream of AType from the current settings.
TNewStream MapNewStream(const TCustomFFmpeg &ATask, AVMediaType AType, const std::string &AFileName,
                        const std::string &AForceFormat, const TInheritedAudio &AInherited);

// What opening an input consumes: the three codec names, the video channel,
// the start time and the forced format; the input's audio rate and channel
// count and its video frame rate become the settings' (and AInherited).
void ConsumeInputSettings(TCustomFFmpeg &ATask, const AVFormatContext *AInput,
                          TInheritedAudio &AInherited);

// What creating an output consumes: the stream id map, forced key frames,
// per-stream codec names, copy flags, languages, disable flags, the pixel
// format and the forced format.
void ConsumeOutputSettings(TCustomFFmpeg &ATask);
