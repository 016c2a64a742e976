#include "engine/FFTranscode.h"

#include "engine/FFLog.h"
#include "engine/FFStreamProc.h"

#include <cmath>
#include <thread>

namespace {

constexpr AVRational kMicro{1, AV_TIME_BASE};

int KindIndex(AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    return 0;
  case AVMEDIA_TYPE_AUDIO:
    return 1;
  case AVMEDIA_TYPE_SUBTITLE:
    return 3;
  default:
    return 2;
  }
}

bool HasRecordingLimit(const TTranscodeSettings &AS) {
  return AS.RecordingTime > 0 && AS.RecordingTime != INT64_MAX &&
         AS.RecordingTime != AV_NOPTS_VALUE;
}

// The run's stop check for blocking reads of the converting thread: only a
// read in progress is abandoned, never a write of the output.
struct TReadStopCheck {
  TTranscodeState *State;
  std::atomic<bool> InRead{false};
  static bool Check(void *ASender, void *) {
    auto *self = static_cast<TReadStopCheck *>(ASender);
    return self->InRead.load() && !self->State->InFinish.load() && self->State->StopRequested();
  }
};

class TRun {
public:
  explicit TRun(TTranscodeState &AS) : S(AS), Set(AS.Settings) { FStop.State = &AS; }
  void Prepare();
  void Loop();
  void Finish();
  void Release();
  void BestEffortTrailers();
  TReadStopCheck FStop;

private:
  void BuildTables();
  void SelectSources();
  void PrepareStreams();
  void OpenCodecs();
  void ApplyMetadata();
  void CopyChapters(int AIn, int AOut);
  void WriteHeaders();
  void LogMapping();
  void RewireOutputs();
  bool JoinAdvance();
  void CheckTruncated(int AFileIndex);
  void Report(bool AFinal, int AFileIndex);
  std::string OstName(const TAVOutputStream &AOst) const;

  TTranscodeState &S;
  const TTranscodeSettings &Set;
  bool FMappingLogged = false;
};

std::string TRun::OstName(const TAVOutputStream &AOst) const {
  return StrFmt("#%d.%d (%s)", AOst.file_index, AOst.index, MediaTypeName(AOst.kind));
}

void TRun::BuildTables() {
  S.ist_table.clear();
  for (size_t f = 0; f < S.Inputs.size(); ++f) {
    TFFInputFile &in = *S.Inputs[f];
    in.ist_index = static_cast<int>(S.ist_table.size());
    for (int i = 0; i < in.nb_streams; ++i) {
      auto ist = std::make_unique<TAVInputStream>();
      ist->file_index = static_cast<int>(f);
      ist->index = i;
      ist->table_index = static_cast<int>(S.ist_table.size());
      ist->st = in.Ctx()->streams[i];
      ist->dec = in.Decoder(i);
      if (Set.RateEmu)
        ist->start = ff::avutil.av_gettime_relative();
      S.ist_table.push_back(std::move(ist));
    }
  }
  S.ist_outputs.assign(S.ist_table.size(), {});
  S.ost_table.clear();
  size_t total = 0;
  for (size_t o = 0; o < S.Outputs.size(); ++o) {
    TFFOutputFile &of = *S.Outputs[o];
    if (of.Streams().empty() && !(of.Ctx()->oformat->flags & AVFMT_NOSTREAMS)) {
      ff::avformat.av_dump_format(of.Ctx(), static_cast<int>(o), of.FileName().c_str(), 1);
      throw TTranscodeError(
          StrFmt("Output file #%d does not contain any stream", static_cast<int>(o)));
    }
    for (auto &ost : of.Streams())
      S.ost_table.push_back(ost.get());
    total += of.Streams().size();
  }
  if (!Set.StreamMaps.empty()) {
    if (Set.StreamMaps.size() != total)
      throw TTranscodeError("Number of stream maps must match number of output streams");
    for (const TAVStreamMap &m : Set.StreamMaps) {
      if (m.file_index < 0 || m.file_index >= static_cast<int>(S.Inputs.size()) ||
          m.stream_index < 0 || m.stream_index >= S.Inputs[m.file_index]->nb_streams)
        throw TTranscodeError(
            StrFmt("Could not find input stream #%d.%d", m.file_index, m.stream_index));
      if (m.sync_file_index < 0 || m.sync_file_index >= static_cast<int>(S.Inputs.size()) ||
          m.sync_stream_index < 0 || m.sync_stream_index >= S.Inputs[m.sync_file_index]->nb_streams)
        throw TTranscodeError(
            StrFmt("Could not find sync stream #%d.%d", m.sync_file_index, m.sync_stream_index));
    }
  }
}

void TRun::SelectSources() {
  const int slots = S.JoinMode ? static_cast<int>(S.Inputs.size()) : 1;
  S.join_sources.assign(slots, std::vector<int>(S.ost_table.size(), -1));
  for (int slot = 0; slot < slots; ++slot) {
    // Each slot picks among its own input's streams, so "unused" is per slot.
    std::vector<bool> used(S.ist_table.size(), false);
    for (size_t i = 0; i < S.ost_table.size(); ++i) {
      TAVOutputStream &ost = *S.ost_table[i];
      int chosen = -1;
      int sync = -1;
      if (!Set.StreamMaps.empty()) {
        const TAVStreamMap &m = Set.StreamMaps[i];
        chosen = S.Inputs[m.file_index]->ist_index + m.stream_index;
        sync = S.Inputs[m.sync_file_index]->ist_index + m.sync_stream_index;
        AVMediaType t = S.ist_table[chosen]->st->codecpar->codec_type;
        if (t != ost.kind)
          throw TTranscodeError(StrFmt("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)",
                                       m.file_index, m.stream_index, MediaTypeName(t),
                                       ost.file_index, ost.index, MediaTypeName(ost.kind)));
      } else {
        int bestScore = -1;
        bool programSelected = false;
        for (size_t j = 0; j < S.ist_table.size(); ++j) {
          TAVInputStream &ist = *S.ist_table[j];
          const TFFInputFile &in = *S.Inputs[ist.file_index];
          programSelected = programSelected || in.Desc().ProgramID > 0;
          if (ist.st->codecpar->codec_type != ost.kind || used[j] || in.StreamDisabled(ist.index))
            continue;
          if (S.JoinMode && ist.file_index != slot)
            continue;
          int score = in.BestStream(ost.kind) == ist.index ? 1 : 0;
          if (score > bestScore) {
            bestScore = score;
            chosen = static_cast<int>(j);
          }
        }
        if (chosen < 0 && !programSelected && !S.JoinMode)
          for (size_t j = 0; j < S.ist_table.size(); ++j) {
            TAVInputStream &ist = *S.ist_table[j];
            if (ist.st->codecpar->codec_type == ost.kind &&
                !S.Inputs[ist.file_index]->StreamDisabled(ist.index))
              chosen = static_cast<int>(j);
          }
        sync = chosen;
      }
      if (chosen < 0) {
        if (slot > 0)
          continue; // that input simply does not feed this stream
        throw TTranscodeError(
            StrFmt("Could not find input stream matching output stream %s", OstName(ost).c_str()));
      }
      used[chosen] = true;
      S.ist_table[chosen]->discard = 0;
      S.join_sources[slot][i] = chosen;
      if (slot == 0) {
        ost.source_index = chosen;
        ost.sync_ist = sync;
        ost.show_fps = true;
      }
    }
  }
  RewireOutputs();
}

void TRun::RewireOutputs() {
  for (auto &list : S.ist_outputs)
    list.clear();
  const std::vector<int> &src = S.join_sources[S.JoinMode ? S.join_slot : 0];
  for (size_t i = 0; i < S.ost_table.size(); ++i) {
    S.ost_table[i]->source_index = src[i];
    if (src[i] >= 0)
      S.ist_outputs[src[i]].push_back(S.ost_table[i]);
  }
}

void TRun::PrepareStreams() {
  TActiveHooks hooks;
  hooks.VideoHook = S.InputHookOn || S.OutputHookOn;
  hooks.FrameHooks = !S.FrameHooks.empty();
  hooks.PostHooks = static_cast<bool>(S.Events.OnPostHook);
  hooks.AudioHook = static_cast<bool>(S.Events.OnAudioHook);
  for (size_t i = 0; i < S.ost_table.size(); ++i) {
    TAVOutputStream &ost = *S.ost_table[i];
    TAVInputStream &ist = *S.ist_table[ost.source_index];
    if (Set.MetadataStreamsAutocopy)
      ff::avutil.av_dict_copy(&ost.st->metadata, ist.st->metadata, AV_DICT_DONT_OVERWRITE);
    ost.st->disposition = ist.st->disposition;
    if (ost.stream_copy) {
      PrepareStreamCopy(ost, ist, Set, hooks, S.Outputs[ost.file_index]->Ctx()->oformat);
      continue;
    }
    PrepareEncoding(ost, ist, Set);
    if (ost.kind == AVMEDIA_TYPE_VIDEO) {
      AVCodecParameters *par = ist.st->codecpar;
      AVRational sar =
          ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio : par->sample_aspect_ratio;
      ConfigureVideoFilters(S, ost, par->width, par->height,
                            static_cast<AVPixelFormat>(par->format), sar, ist.st->avg_frame_rate,
                            true);
    } else if (ost.kind == AVMEDIA_TYPE_AUDIO) {
      ost.fifo.reset(
          ff::avutil.av_audio_fifo_alloc(ost.sample_fmt, ost.ch_layout.nb_channels, 1024));
      if (!ost.fifo)
        throw TTranscodeError("av_fifo_alloc fail");
    }
    // Every input that feeds this stream in some join slot is decoded.
    for (const auto &slot : S.join_sources)
      if (slot[i] >= 0)
        S.ist_table[slot[i]]->decoding_needed = true;
  }
}

void TRun::OpenCodecs() {
  // Decoders first: text subtitle encoders take the decoder's header.
  for (auto &p : S.ist_table) {
    TAVInputStream &ist = *p;
    if (!ist.decoding_needed)
      continue;
    const char *type = MediaTypeName(ist.st->codecpar->codec_type);
    if (!ist.dec) {
      LogMapping();
      std::string t =
          StrFmt("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                 static_cast<int>(ist.st->codecpar->codec_id), ist.file_index, ist.index, type);
      FFLogger().Log(nullptr, llError, t);
      throw TTranscodeError(t);
    }
    AVCodecContext *c = ff::avcodec.avcodec_alloc_context3(ist.dec);
    if (!c)
      throw TTranscodeError("av_mallocz fail");
    ist.dec_ctx.reset(c);
    ff::avcodec.avcodec_parameters_to_context(c, ist.st->codecpar);
    c->pkt_timebase = ist.st->time_base;
    c->thread_count = Set.ThreadCount;
    TFFDictionary opts;
    for (const auto &[k, v] : S.Inputs[ist.file_index]->Desc().DecoderOptions)
      ff::avutil.av_dict_set(opts.Addr(), k.c_str(), v.c_str(), 0);
    if (ff::avcodec.avcodec_open2(c, ist.dec, opts.Addr()) < 0) {
      LogMapping();
      std::string t = StrFmt("Error while opening decoder for input stream #%d.%d (%s)",
                             ist.file_index, ist.index, type);
      FFLogger().Log(nullptr, llError, t);
      throw TTranscodeError(t);
    }
  }
  for (TAVOutputStream *ost : S.ost_table) {
    if (!ost->encoding_needed)
      continue;
    if (!ost->enc)
      throw TTranscodeError(StrFmt("Encoder (codec id %d) not found for output stream %s",
                                   static_cast<int>(ost->codec_id), OstName(*ost).c_str()));
    const AVCodecContext *dec = S.ist_table[ost->source_index]->dec_ctx.get();
    int ret = OpenEncoder(*ost, Set, dec);
    if (ret < 0) {
      LogMapping();
      FFLogger().LogFmt(nullptr, llError, "Encoder %s: %s", ost->enc->name,
                        ErrorCodeText(ret).c_str());
      throw TTranscodeError(StrFmt(
          "Error while opening encoder for output stream %s - maybe incorrect parameters such as "
          "bit_rate, rate, width or height. Please check error log message to find out more "
          "detail information.",
          OstName(*ost).c_str()));
    }
    S.extra_size += ost->enc_ctx->extradata_size;
  }
  for (TAVOutputStream *ost : S.ost_table)
    InitBitstreamFilters(*ost, ost->stream_copy ? S.ist_table[ost->source_index]->st->time_base
                                                : ost->enc_time_base);
  // Input clocks start one decoder delay before zero.
  for (auto &p : S.ist_table) {
    TAVInputStream &ist = *p;
    AVRational rate = ist.st->avg_frame_rate;
    ist.pts = rate.num > 0 && rate.den > 0
                  ? -std::llrint(ist.st->codecpar->video_delay * 1000000.0 / av_q2d(rate))
                  : 0;
    ist.next_pts = AV_NOPTS_VALUE;
    ist.is_start = true;
  }
}

void TRun::CopyChapters(int AIn, int AOut) {
  AVFormatContext *is = S.Inputs[AIn]->Ctx();
  AVFormatContext *os = S.Outputs[AOut]->Ctx();
  for (unsigned i = 0; i < is->nb_chapters; ++i) {
    const AVChapter *in_ch = is->chapters[i];
    int64_t ts_off =
        ff::avutil.av_rescale_q(Set.StartTime - S.Inputs[AIn]->ts_offset, kMicro, in_ch->time_base);
    int64_t rt = HasRecordingLimit(Set)
                     ? ff::avutil.av_rescale_q(Set.RecordingTime, kMicro, in_ch->time_base)
                     : INT64_MAX;
    if (in_ch->end < ts_off)
      continue;
    if (rt != INT64_MAX && in_ch->start > rt + ts_off)
      break;
    auto *ch = static_cast<AVChapter *>(ff::avutil.av_mallocz(sizeof(AVChapter)));
    if (!ch)
      throw TTranscodeError("av_mallocz fail");
    ch->id = in_ch->id;
    ch->time_base = in_ch->time_base;
    ch->start = std::max<int64_t>(0, in_ch->start - ts_off);
    ch->end = std::min(rt, in_ch->end - ts_off);
    if (Set.MetadataChaptersAutocopy)
      ff::avutil.av_dict_copy(&ch->metadata, in_ch->metadata, 0);
    auto **list = static_cast<AVChapter **>(
        ff::avutil.av_realloc(os->chapters, (os->nb_chapters + 1) * sizeof(AVChapter *)));
    if (!list) {
      ff::avutil.av_dict_free(&ch->metadata);
      ff::avutil.av_free(ch);
      throw TTranscodeError("av_mallocz fail");
    }
    os->chapters = list;
    os->chapters[os->nb_chapters++] = ch;
  }
}

void TRun::ApplyMetadata() {
  auto dictOf = [&](AVFormatContext *ctx, const TAVMetaDataMap &m) -> AVDictionary ** {
    switch (m.type_) {
    case 'g':
      return &ctx->metadata;
    case 's':
      if (m.index < 0 || m.index >= static_cast<int>(ctx->nb_streams))
        throw TTranscodeError(
            StrFmt("Invalid %s index %d while processing metadata maps", "stream", m.index));
      return &ctx->streams[m.index]->metadata;
    case 'c':
      if (m.index < 0 || m.index >= static_cast<int>(ctx->nb_chapters))
        throw TTranscodeError(
            StrFmt("Invalid %s index %d while processing metadata maps", "chapter", m.index));
      return &ctx->chapters[m.index]->metadata;
    case 'p':
      if (m.index < 0 || m.index >= static_cast<int>(ctx->nb_programs))
        throw TTranscodeError(
            StrFmt("Invalid %s index %d while processing metadata maps", "program", m.index));
      return &ctx->programs[m.index]->metadata;
    default:
      throw TTranscodeError(StrFmt("Invalid metadata type %c.", m.type_));
    }
  };
  for (const auto &[mapOut, mapIn] : Set.MetaDataMaps) {
    if (mapOut.file_idx < 0 || mapOut.file_idx >= static_cast<int>(S.Outputs.size()))
      throw TTranscodeError(StrFmt("Invalid %s index %d while processing metadata maps",
                                   "output file", mapOut.file_idx));
    if (mapIn.file_idx < 0 || mapIn.file_idx >= static_cast<int>(S.Inputs.size()))
      throw TTranscodeError(StrFmt("Invalid %s index %d while processing metadata maps",
                                   "input file", mapIn.file_idx));
    AVDictionary **out = dictOf(S.Outputs[mapOut.file_idx]->Ctx(), mapOut);
    AVDictionary **in = dictOf(S.Inputs[mapIn.file_idx]->Ctx(), mapIn);
    ff::avutil.av_dict_copy(out, *in, AV_DICT_DONT_OVERWRITE);
  }
  if (Set.MetadataGlobalAutocopy && !S.Inputs.empty())
    for (auto &of : S.Outputs)
      ff::avutil.av_dict_copy(&of->Ctx()->metadata, S.Inputs[0]->Ctx()->metadata,
                              AV_DICT_DONT_OVERWRITE);
  for (const TAVChapterMap &m : Set.ChapterMaps) {
    if (m.in_file < 0 || m.in_file >= static_cast<int>(S.Inputs.size()))
      throw TTranscodeError(StrFmt("Invalid input file index %d in chapter mapping.", m.in_file));
    if (m.out_file < 0 || m.out_file >= static_cast<int>(S.Outputs.size()))
      throw TTranscodeError(StrFmt("Invalid output file index %d in chapter mapping.", m.out_file));
    CopyChapters(m.in_file, m.out_file);
  }
  if (Set.ChapterMaps.empty())
    for (size_t i = 0; i < S.Inputs.size(); ++i)
      if (S.Inputs[i]->Ctx()->nb_chapters) {
        for (size_t o = 0; o < S.Outputs.size(); ++o)
          CopyChapters(static_cast<int>(i), static_cast<int>(o));
        break;
      }
}

void TRun::WriteHeaders() {
  for (size_t o = 0; o < S.Outputs.size(); ++o) {
    TFFOutputFile &of = *S.Outputs[o];
    TFFDictionary opts;
    for (const auto &[k, v] : of.Desc().FormatOptions)
      ff::avutil.av_dict_set(opts.Addr(), k.c_str(), v.c_str(), 0);
    int ret = ff::avformat.avformat_write_header(of.Ctx(), opts.Addr());
    if (ret < 0) {
      LogMapping();
      FFLogger().LogFmt(nullptr, llError, "%s", GetErrorText(of.FileName(), ret).c_str());
      throw TTranscodeError(
          StrFmt("Could not write header for output file #%d (incorrect codec parameters ?)",
                 static_cast<int>(o)));
    }
    of.header_written = true;
    for (const AVDictionaryEntry *e = nullptr;
         (e = ff::avutil.av_dict_get(opts.Get(), "", e, AV_DICT_IGNORE_SUFFIX));)
      FFLogger().LogFmt(nullptr, llWarning, "Option %s not used by the muxer", e->key);
  }
}

void TRun::LogMapping() {
  if (FMappingLogged || Set.Verbose < 0)
    return;
  FMappingLogged = true;
  FFLogger().Log(nullptr, llVerbose, "Stream mapping:");
  for (TAVOutputStream *ost : S.ost_table) {
    if (ost->source_index < 0)
      continue;
    const TAVInputStream &ist = *S.ist_table[ost->source_index];
    std::string line =
        StrFmt("  Stream #%d.%d -> #%d.%d (%s)", ist.file_index, ist.index,
               S.JoinMode ? 0 : ost->file_index, ost->index, MediaTypeName(ost->kind));
    if (ost->sync_ist >= 0 && ost->sync_ist != ost->source_index) {
      const TAVInputStream &sync = *S.ist_table[ost->sync_ist];
      line += StrFmt(" [sync #%d.%d (%s)]", sync.file_index, sync.index,
                     MediaTypeName(sync.st->codecpar->codec_type));
    }
    FFLogger().Log(nullptr, llVerbose, line);
  }
}

void TRun::Prepare() {
  BuildTables();
  SelectSources();
  PrepareStreams();
  OpenCodecs();
  ApplyMetadata();
  WriteHeaders();
  LogMapping();
  S.timer_start = ff::avutil.av_gettime_relative();
  S.last_report = S.timer_start;
  S.join_slot = 0;
  for (auto &in : S.Inputs)
    in->no_packet = false;
}

bool TRun::JoinAdvance() {
  const int slot = S.join_slot;
  for (auto &p : S.ist_table)
    if (p->file_index == slot && p->decoding_needed && !p->decoder_flushed) {
      int ret = ProcessInputPacket(S, *p, nullptr);
      if (ret < 0 && Set.ExitOnError)
        throw TTranscodeError(StrFmt("Error while decoding stream #%d.%d (%s)", p->file_index,
                                     p->index, MediaTypeName(p->st->codecpar->codec_type)));
    }
  double end = 0;
  for (TAVOutputStream *ost : S.ost_table)
    end = std::max(end, ost->Position());
  if (slot + 1 >= static_cast<int>(S.Inputs.size()))
    return false;
  S.Inputs[slot + 1]->ts_offset += std::llrint(end * 1000000);
  S.join_slot = slot + 1;
  RewireOutputs();
  return true;
}

// An input whose data ends well before the duration its container declares
// was cut off (an interrupted download or copy): the task fails with a clear
// message instead of passing a partial conversion off as complete.
void TRun::CheckTruncated(int AFileIndex) {
  TFFInputFile &in = *S.Inputs[AFileIndex];
  AVFormatContext *ic = in.Ctx();
  if (S.StopRequested() || in.Duration() <= 0 ||
      ic->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)
    return;
  int64_t contentEnd = AV_NOPTS_VALUE;
  for (auto &p : S.ist_table) {
    if (p->file_index != AFileIndex || p->next_pts == AV_NOPTS_VALUE ||
        S.ist_outputs[p->table_index].empty())
      continue;
    if (p->is_past_recording_time)
      return; // the limit ended this input, not its data
    contentEnd = std::max(contentEnd, p->next_pts - in.ts_offset);
  }
  if (contentEnd == AV_NOPTS_VALUE)
    return;
  int64_t start = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  int64_t fileEnd = start + in.Duration();
  int64_t tolerance = std::max<int64_t>(1000000, in.Duration() / 20);
  if (contentEnd < fileEnd - tolerance)
    throw TTranscodeError(StrFmt(
        "%s: the file ends prematurely at %0.2f s of %0.2f s (truncated or damaged input)",
        in.Desc().FileName.c_str(), (contentEnd - start) / 1000000.0, in.Duration() / 1000000.0));
}

void TRun::Loop() {
  TFFPacketPtr pkt = FFAllocPacket();
  if (!pkt)
    throw TTranscodeError("av_mallocz fail");
  while (!S.StopRequested()) {
    if (S.Events.PausePoint)
      S.Events.PausePoint();
    if (S.StopRequested())
      break;

    // 1. Which input to read.
    int file_index = -1;
    bool limitReached = false;
    double best = 1e300;
    for (TAVOutputStream *ost : S.ost_table)
      if (ost->frame_number >= Set.MaxFrames[KindIndex(ost->kind)])
        limitReached = true;
    if (limitReached)
      break;
    if (S.JoinMode) {
      file_index = S.join_slot;
      if (HasRecordingLimit(Set)) {
        bool anyOpen = false;
        for (TAVOutputStream *ost : S.ost_table)
          if (ost->source_index >= 0 && !S.ist_table[ost->source_index]->is_past_recording_time)
            anyOpen = true;
        if (!anyOpen)
          break;
      }
    } else {
      for (TAVOutputStream *ost : S.ost_table) {
        if (ost->source_index < 0)
          continue;
        TAVInputStream &ist = *S.ist_table[ost->source_index];
        TFFInputFile &in = *S.Inputs[ist.file_index];
        if (in.eof_reached || in.no_packet || ist.is_past_recording_time)
          continue;
        double pos = Set.InputSync ? ist.pts / 1000000.0 : ost->Position();
        if (pos < best) {
          best = pos;
          file_index = ist.file_index;
        }
      }
    }
    // 2. Nothing to read now.
    if (file_index < 0) {
      bool waiting = false;
      for (auto &in : S.Inputs)
        if (in->no_packet) {
          waiting = true;
          in->no_packet = false;
        }
      if (waiting && !S.JoinMode) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      break;
    }
    // 3. Size limit.
    if (Set.LimitFileSize > 0 && S.Outputs[0]->Size() >= Set.LimitFileSize)
      break;

    // 4. Read.
    TFFInputFile &in = *S.Inputs[file_index];
    FStop.InRead.store(true);
    int ret = ff::avformat.av_read_frame(in.Ctx(), pkt.get());
    FStop.InRead.store(false);
    if (ret == AVERROR(EAGAIN)) {
      in.no_packet = true;
      continue;
    }
    if (ret < 0) {
      if (ret == AVERROR_EXIT && S.StopRequested())
        break;
      if (ret != AVERROR_EOF && !(in.Ctx()->pb && ff::avformat.avio_feof(in.Ctx()->pb)))
        throw TTranscodeError(StrFmt("Error while reading input file #%d: %s", file_index,
                                     GetErrorText(in.Desc().FileName, ret).c_str()));
      in.eof_reached = true;
      CheckTruncated(file_index);
      if (Set.Shortest && !S.JoinMode)
        break;
      if (S.JoinMode && !JoinAdvance())
        break;
      continue;
    }
    // 5. Packet bookkeeping.
    for (auto &i : S.Inputs)
      i->no_packet = false;
    if (Set.DumpPackets)
      FFLogger().LogFmt(nullptr, llInfo,
                        "packet: stream #%d.%d size=%d pts=%lld dts=%lld duration=%lld key=%d",
                        file_index, pkt->stream_index, pkt->size, static_cast<long long>(pkt->pts),
                        static_cast<long long>(pkt->dts), static_cast<long long>(pkt->duration),
                        (pkt->flags & AV_PKT_FLAG_KEY) ? 1 : 0);
    if (pkt->stream_index >= in.nb_streams) {
      ff::avcodec.av_packet_unref(pkt.get());
      continue;
    }
    TAVInputStream &ist = *S.ist_table[in.ist_index + pkt->stream_index];
    if (ist.discard || S.ist_outputs[ist.table_index].empty()) {
      ff::avcodec.av_packet_unref(pkt.get());
      continue;
    }
    // 6. Offset and scale.
    AVRational tb = ist.st->time_base;
    int64_t off = ff::avutil.av_rescale_q(in.ts_offset, kMicro, tb);
    if (pkt->dts != AV_NOPTS_VALUE)
      pkt->dts += off;
    if (pkt->pts != AV_NOPTS_VALUE)
      pkt->pts += off;
    auto scaleIt = in.Desc().TsScale.find(pkt->stream_index);
    if (scaleIt != in.Desc().TsScale.end()) {
      if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts = std::llrint(pkt->dts * scaleIt->second);
      if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts = std::llrint(pkt->pts * scaleIt->second);
    }
    // 7. Timestamp discontinuities.
    if (pkt->dts != AV_NOPTS_VALUE && ist.next_pts != AV_NOPTS_VALUE && !Set.CopyTs &&
        (in.Ctx()->iformat->flags & AVFMT_TS_DISCONT)) {
      int64_t pkt_dts = ff::avutil.av_rescale_q(pkt->dts, tb, kMicro);
      int64_t delta = pkt_dts - ist.next_pts;
      if (std::llabs(delta) > Set.DtsDeltaThreshold * 1000000 || pkt_dts + 1 < ist.pts) {
        in.ts_offset -= delta;
        int64_t d = ff::avutil.av_rescale_q(delta, kMicro, tb);
        pkt->dts -= d;
        if (pkt->pts != AV_NOPTS_VALUE)
          pkt->pts -= d;
        if (Set.Verbose > 2)
          FFLogger().LogFmt(nullptr, llVerbose, "timestamp discontinuity %lld, new offset= %lld",
                            static_cast<long long>(delta), static_cast<long long>(in.ts_offset));
      }
    }
    // 8. Duration limit.
    if (HasRecordingLimit(Set)) {
      int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (t != AV_NOPTS_VALUE &&
          ff::avutil.av_rescale_q(t, tb, kMicro) >= Set.StartTime + Set.RecordingTime) {
        ist.is_past_recording_time = true;
        ff::avcodec.av_packet_unref(pkt.get());
        continue;
      }
    }
    // 9. Stream processing.
    ret = ProcessInputPacket(S, ist, pkt.get());
    ff::avcodec.av_packet_unref(pkt.get());
    if (ret < 0) {
      std::string t = StrFmt("Error while decoding stream #%d.%d (%s)", ist.file_index, ist.index,
                             MediaTypeName(ist.st->codecpar->codec_type));
      if (Set.ExitOnError)
        throw TTranscodeError(t);
      if (Set.Verbose >= 0)
        FFLogger().Log(nullptr, llVerbose, t);
      continue;
    }
    // 10. Progress.
    int64_t now = ff::avutil.av_gettime_relative();
    if (now - S.last_report > Set.ReportInterval) {
      Report(false, file_index);
      S.last_report = now;
    }
  }
}

void TRun::Finish() {
  S.InFinish = true;
  // A stream that never decoded anything although its packets arrived is corrupt.
  for (auto &p : S.ist_table)
    if (p->decoding_needed && p->decode_errors > 0 && p->decoded_frames == 0)
      throw TTranscodeError(StrFmt("Could not decode input stream #%d.%d (%s): %lld packets "
                                   "were rejected by the decoder",
                                   p->file_index, p->index,
                                   MediaTypeName(p->st->codecpar->codec_type),
                                   static_cast<long long>(p->decode_errors)));
  for (auto &p : S.ist_table)
    if (p->decoding_needed && !p->decoder_flushed && !S.ist_outputs[p->table_index].empty())
      ProcessInputPacket(S, *p, nullptr);
  for (TAVOutputStream *ost : S.ost_table)
    FlushEncoder(S, *ost);
  for (size_t o = 0; o < S.Outputs.size(); ++o) {
    TFFOutputFile &of = *S.Outputs[o];
    if (!of.header_written || of.trailer_written)
      continue;
    of.trailer_written = true;
    int ret = ff::avformat.av_write_trailer(of.Ctx());
    if (ret < 0)
      throw TTranscodeError("av_write_trailer(): " + GetErrorText(of.FileName(), ret));
  }
  Report(true, -1);
  S.Finished = !S.StopRequested();
}

void TRun::BestEffortTrailers() {
  S.InFinish = true;
  for (auto &of : S.Outputs)
    if (of->header_written && !of->trailer_written && of->Ctx()) {
      of->trailer_written = true;
      ff::avformat.av_write_trailer(of->Ctx());
    }
}

void TRun::Release() {
  for (auto &p : S.ist_table) {
    p->dec_ctx.reset();
    p->frame.reset();
  }
  for (TAVOutputStream *ost : S.ost_table) {
    ost->enc_ctx.reset();
    ost->graph.reset();
    ost->buffersrc = ost->buffersink = nullptr;
    ost->swr.reset();
    ost->fifo.reset();
    ost->bsfs.clear();
    ost->enc_frame.reset();
    ost->filtered_frame.reset();
    ost->pkt.reset();
    if (ost->logfile) {
      std::fclose(ost->logfile);
      ost->logfile = nullptr;
    }
  }
  ReleaseFrameHooks(S.FrameHooks);
  if (S.VStatsFile) {
    std::fclose(S.VStatsFile);
    S.VStatsFile = nullptr;
  }
}

void TRun::Report(bool AFinal, int AFileIndex) {
  const bool haveEvent = static_cast<bool>(S.Events.OnProgress);
  if (!haveEvent && Set.Verbose <= 0 && !AFinal)
    return;
  TTranscodeProgress info;
  info.TaskIndex = Set.TaskIndex;
  info.FileIndex = AFinal ? -1 : AFileIndex;
  info.CurrentSize = S.Outputs.empty() ? 0 : S.Outputs[0]->Size();
  std::string text;
  bool haveVideo = false;
  double elapsed = (ff::avutil.av_gettime_relative() - S.timer_start) / 1000000.0;
  double ti1 = 1e10;
  for (TAVOutputStream *ost : S.ost_table) {
    float q = ost->stream_copy ? -1.0f : ost->last_quality;
    if (ost->kind == AVMEDIA_TYPE_VIDEO) {
      if (!haveVideo && ost->show_fps) {
        haveVideo = true;
        if (ost->frame_number == 0)
          return; // nothing encoded yet: no report
        int frame = static_cast<int>(ost->frame_number);
        int fps = elapsed > 1 ? static_cast<int>(frame / elapsed + 0.5) : 0;
        text += StrFmt("frame=%5d fps=%3d q=%3.1f ", frame, fps, q);
        if (AFinal)
          text += "L";
        info.FrameNumber = frame;
        info.FPS = fps;
        info.Quality = q;
      } else {
        text += StrFmt("q=%2.1f ", q);
      }
    }
    double pos = ost->Position();
    if (pos > 0 && pos < ti1)
      ti1 = pos;
  }
  if (ti1 < 0.01)
    ti1 = 0.01;
  double size = static_cast<double>(info.CurrentSize);
  double bitrate = size * 8 / ti1 / 1000;
  text += StrFmt("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", size / 1024, ti1, bitrate);
  if (S.nb_frames_dup || S.nb_frames_drop)
    text += StrFmt(" dup=%lld drop=%lld", static_cast<long long>(S.nb_frames_dup),
                   static_cast<long long>(S.nb_frames_drop));
  info.BitRate = static_cast<float>(bitrate);
  info.CurrentDuration = std::llrint(ti1 * 1000000);
  info.TotalDuration = S.TotalOutputDuration;
  info.Text = text;
  if (haveEvent) {
    if (S.dup_drop_changed && Set.Verbose >= 0)
      FFLogger().Log(nullptr, llVerbose, text);
    S.dup_drop_changed = false;
    S.Events.OnProgress(info);
  } else if (Set.Verbose >= 0) {
    FFLogger().Log(nullptr, llVerbose, text);
  }
  if (AFinal && Set.Verbose >= 0) {
    double raw = static_cast<double>(S.video_size + S.audio_size + S.extra_size);
    double overhead = raw > 0 ? 100.0 * (size - raw) / raw : 0;
    FFLogger().LogFmt(nullptr, llVerbose,
                      "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%",
                      S.video_size / 1024.0, S.audio_size / 1024.0, S.extra_size / 1024.0,
                      overhead);
  }
}

} // namespace

// ---------------------------------------------------------------------------
// TTranscoder

TTranscoder::TTranscoder(const TTranscodeSettings &ASettings, TTranscodeEvents AEvents)
    : FState(std::make_unique<TTranscodeState>()) {
  FState->Settings = ASettings;
  FState->Events = std::move(AEvents);
  FState->Watch.ReadTimeoutMs = ASettings.ReadTimeout;
  FState->JoinRequested = ASettings.Join;
}

TTranscoder::~TTranscoder() {
  Close();
}

const std::string &TTranscoder::LastErrMsg() const {
  return FState->LastErrMsg;
}
int TTranscoder::InputCount() const {
  return static_cast<int>(FState->Inputs.size());
}
int TTranscoder::OutputCount() const {
  return static_cast<int>(FState->Outputs.size());
}

int64_t TTranscoder::TotalOutputDuration() const {
  const TTranscodeState &S = *FState;
  if (S.JoinMode)
    return S.AnyDurationKnown ? S.DurationSum : -1;
  if (HasRecordingLimit(S.Settings))
    return S.Settings.RecordingTime;
  return S.TotalOutputDuration > 0 ? S.TotalOutputDuration : -1;
}

bool TTranscoder::AddInput(const TTranscodeInput &AInput) {
  TTranscodeState &S = *FState;
  if (S.Ran || S.Closed) {
    S.LastErrMsg = "Cannot add an input after the run";
    return false;
  }
  TFFInputFile::TOpenContext ctx;
  ctx.Settings = &S.Settings;
  ctx.Events = &S.Events;
  ctx.Watch = &S.Watch;
  ctx.Inherited = &S.Inherited;
  ctx.TotalOutputDuration = &S.TotalOutputDuration;
  std::string err;
  auto in = TFFInputFile::Open(AInput, ctx, err);
  if (!in) {
    S.LastErrMsg = err;
    return false;
  }
  if (in->RemainingDuration() > 0) {
    S.DurationSum += in->RemainingDuration();
    S.AnyDurationKnown = true;
  }
  S.Inputs.push_back(std::move(in));
  return true;
}

bool TTranscoder::SetSettings(const TTranscodeSettings &ASettings) {
  TTranscodeState &S = *FState;
  if (S.Ran || S.Closed) {
    S.LastErrMsg = "Cannot change the settings after the run";
    return false;
  }
  S.Settings = ASettings;
  S.Watch.ReadTimeoutMs = ASettings.ReadTimeout;
  S.JoinRequested = ASettings.Join;
  return true;
}

bool TTranscoder::SetEvents(TTranscodeEvents AEvents) {
  TTranscodeState &S = *FState;
  if (S.Ran || S.Closed) {
    S.LastErrMsg = "Cannot change the events after the run";
    return false;
  }
  S.Events = std::move(AEvents);
  return true;
}

int TTranscoder::AddOutput(const TTranscodeOutput &AOutput) {
  TTranscodeState &S = *FState;
  if (S.Ran || S.Closed) {
    S.LastErrMsg = "Cannot add an output after the run";
    return -1;
  }
  if (S.JoinMode || (S.JoinRequested && !S.Outputs.empty())) {
    S.LastErrMsg = "Cannot join more than one output file.";
    return -1;
  }
  TFFOutputFile::TOpenContext ctx;
  ctx.Settings = &S.Settings;
  ctx.Watch = &S.Watch;
  ctx.Inherited = &S.Inherited;
  ctx.FileIndex = static_cast<int>(S.Outputs.size());
  bool join = S.JoinRequested && S.Inputs.size() > 1;
  for (auto &in : S.Inputs) {
    ctx.Inputs.push_back(in.get());
    if (join)
      break;
  }
  std::string err;
  auto out = TFFOutputFile::Open(AOutput, ctx, err);
  if (!out) {
    S.LastErrMsg = err;
    return -1;
  }
  S.Outputs.push_back(std::move(out));
  if (join)
    S.JoinMode = true;
  return static_cast<int>(S.Outputs.size()) - 1;
}

void TTranscoder::Stop() {
  FState->Broken.store(true);
  FState->Watch.LastReadTime.store(0); // abandons a blocking open as cancelled
}

TTranscodeResult TTranscoder::Run() {
  TTranscodeState &S = *FState;
  TTranscodeResult result;
  if (S.Ran || S.Closed) {
    result.ErrorMsg = "The task has already run";
    return result;
  }
  S.Ran = true;
  if (S.Outputs.empty() || S.Inputs.empty()) {
    result.ErrorMsg = S.Outputs.empty() ? "At least one output file must be specified"
                                        : "At least one input file must be specified";
    FFLogger().Log(nullptr, llQuiet, result.ErrorMsg);
    S.LastErrMsg = result.ErrorMsg;
    return result;
  }
  S.TotalOutputDuration = TotalOutputDuration();
  S.InputHookOn = static_cast<bool>(S.Events.OnVideoInputHook);
  S.OutputHookOn = static_cast<bool>(S.Events.OnVideoOutputHook);

  TRun run(S);
  const auto self = std::this_thread::get_id();
  InterruptCB().Add(self, &run.FStop, &TReadStopCheck::Check, nullptr);
  try {
    for (const std::string &hook : S.Settings.FrameHooks)
      if (!AddFrameHook(hook, S.FrameHooks))
        throw TTranscodeError("Failed to add video hook function: " + hook);
    run.Prepare();
    run.Loop();
    run.Finish();
    result.Success = true;
    result.Finished = S.Finished;
  } catch (const std::exception &e) {
    result.ErrorMsg = e.what();
    FFLogger().Log(nullptr, llQuiet, result.ErrorMsg);
    try {
      // The partial output stays playable.
      run.BestEffortTrailers();
    } catch (...) {
    }
  }
  InterruptCB().Remove(self, &run.FStop, &TReadStopCheck::Check);
  run.Release();
  S.LastErrMsg = result.ErrorMsg;
  S.Finished = result.Finished;
  FFailed = !result.Success;
  return result;
}

void TTranscoder::Close() {
  TTranscodeState &S = *FState;
  if (S.Closed)
    return;
  S.Closed = true;
  for (auto &of : S.Outputs)
    of->Close(FFailed || !S.Ran);
  S.ost_table.clear();
  S.ist_outputs.clear();
  S.ist_table.clear();
  S.Outputs.clear();
  S.Inputs.clear();
}

TTranscodeResult RunTranscode(const TTranscodeJob &AJob, const TTranscodeEvents &AEvents) {
  TTranscoder t(AJob.Settings, AEvents);
  TTranscodeResult r;
  for (const TTranscodeInput &in : AJob.Inputs)
    if (!t.AddInput(in)) {
      r.ErrorMsg = t.LastErrMsg();
      return r;
    }
  for (const TTranscodeOutput &out : AJob.Outputs)
    if (t.AddOutput(out) < 0) {
      r.ErrorMsg = t.LastErrMsg();
      return r;
    }
  r = t.Run();
  t.Close();
  return r;
}
