#pragma once
// Parsers for the values of the structured options ("map", "map_meta_data",
// "vtag", "intra_matrix", "rc_override", ...). Pure text work: no FFmpeg
// call, any thread. Each throws FFmpegException with the user's message on a
// value it refuses (documented per function) and std::invalid_argument for a
// number that does not convert.

#include "engine/FFOptions.h"
#include "engine/FFOptionsSettings.h"

#include <string>
#include <vector>

// "file.stream[:sync_file.sync_stream]": decimal numbers, each separated from
// the next by one arbitrary character; without the sync pair the sync stream
// is the mapped stream. Missing numbers are 0.
TAVStreamMap ParseStreamMap(const std::string &AValue);

// "outspec<sep>inspec", each "file[,g|,s<i>|,c<i>|,p<i>]". Another type
// letter throws "Invalid metadata type %s.".
std::pair<TAVMetaDataMap, TAVMetaDataMap> ParseMetaDataMap(const std::string &AValue);

// "out<sep>in".
TAVChapterMap ParseChapterMap(const std::string &AValue);

// A number (taken as is) or exactly four characters, the first in the lowest
// byte; else throws "tag parameter must be 4 chars or int value".
unsigned ParseCodecTag(const std::string &AValue);

// 64 comma-separated coefficients; fewer throws
// "Syntax error in matrix \"%s\" at coeff %d".
std::vector<uint16_t> ParseMatrix(const std::string &AValue);

// "start,end,q/start,end,q/...": entries separated by '/', three integers
// separated by one character; q > 0 is a quantizer, q <= 0 a quality factor
// of -q percent. False for a malformed entry (the caller reports
// "error parsing rc_override" when it creates the stream).
bool ParseRcOverride(const std::string &AValue, std::vector<TRcOverride> &AResult);

// "index:value"; without ':' throws "Invalid value \"%s\" for option \"%s\",
// required syntax is \"index:value\"" (value, AName). An index outside
// 0..MAX_STREAMS-1 throws "stream index over MAX_STREAMS(20)"; a negative
// value throws the syntax message.
std::pair<int, int> ParseStreamId(const std::string &AName, const std::string &AValue);

// "stream<sep>factor"; a stream of MAX_STREAMS or more (or negative) throws
// "stream index over MAX_STREAMS(20)".
std::pair<int, double> ParseTsScale(const std::string &AValue);

// Display aspect: "w:h" (integers; a divisor <= 0 gives 0) or a decimal
// number. The caller decides what 0 means.
double ParseAspect(const std::string &AValue);

// "vhook" arguments: split at '|' when the text holds one, else at ' ';
// empty tokens are dropped; at most 254 tokens.
std::vector<std::string> SplitHookArgs(const std::string &AValue);

// The bit-stream filter name of an "absf"/"vbsf"/"sbsf" value: the text
// before a '=' (the rest is ignored). "" for a value that begins with '='.
std::string BitStreamFilterName(const std::string &AValue);
