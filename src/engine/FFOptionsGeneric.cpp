#include "engine/FFOptionsGeneric.h"

#include "engine/FFLog.h"
#include "engine/FFOptions.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex GLastOptionErrorLock;
std::string GLastOptionError;

// The media flag a declaration must carry to be set on each option context,
// in context order (0 accepts any declaration).
constexpr int TypeMasks[FFOptionTypeCount] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                              AV_OPT_FLAG_SUBTITLE_PARAM, 0};

// Options that FFmpeg 5.1 declares for audio and video alike but that used to
// be video-only. Setting them on the audio context would make a video value
// ("b" from "vb", "maxrate", ...) the audio encoder's too, so they stay off it.
constexpr const char *VideoOnlyOptions[] = {"b", "maxrate", "minrate", "bufsize"};

bool SkipForType(const std::string &AName, int AType) {
  if (AType != AVMEDIA_TYPE_AUDIO)
    return false;
  for (const char *n : VideoOnlyOptions)
    if (AName == n)
      return true;
  return false;
}

// av_opt_find on an object (no children).
const AVOption *FindOpt(void *AObj, const char *AName, int AFlags) {
  return AObj ? ff::avutil.av_opt_find(AObj, AName, nullptr, AFlags, 0) : nullptr;
}

// Tries one context: on a declaration sets the value and returns true;
// ARet gets av_opt_set's result.
bool TrySet(void *AObj, const char *AName, const std::string &AValue, const AVOption *&AFound,
            int &ARet) {
  const AVOption *o = FindOpt(AObj, AName, 0);
  if (!o)
    return false;
  AFound = o;
  ARet = ff::avutil.av_opt_set(AObj, AName, AValue.c_str(), 0);
  return true;
}

bool DeclaredByPrivateClass(const char *AName) {
  void *it = nullptr;
  while (const AVCodec *c = ff::avcodec.av_codec_iterate(&it)) {
    if (c->priv_class && ff::avutil.av_opt_find(const_cast<AVClass **>(&c->priv_class), AName,
                                                nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      return true;
  }
  it = nullptr;
  while (const AVOutputFormat *f = ff::avformat.av_muxer_iterate(&it)) {
    if (f->priv_class && ff::avutil.av_opt_find(const_cast<AVClass **>(&f->priv_class), AName,
                                                nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      return true;
  }
  return false;
}

} // namespace

std::string FFLastOptionError() {
  std::lock_guard<std::mutex> lock(GLastOptionErrorLock);
  return GLastOptionError;
}

void FFSetLastOptionError(const std::string &AText) {
  std::lock_guard<std::mutex> lock(GLastOptionErrorLock);
  GLastOptionError = AText;
}

TFFOptions::TFFOptions(int ASwsFlags) {
  for (auto &ctx : avcodec_opts) {
    ctx.reset(ff::avcodec.avcodec_alloc_context3(nullptr));
    if (!ctx)
      throw FFmpegException("avcodec_alloc_context3 failed");
  }
  avformat_opts.reset(ff::avformat.avformat_alloc_context());
  if (!avformat_opts)
    throw FFmpegException("avformat_alloc_context failed");
  sws_opts.reset(ff::swscale.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                            ASwsFlags, nullptr, nullptr, nullptr));
  if (!sws_opts)
    throw FFmpegException("sws_getContext failed");
}

AVCodecContext *TFFOptions::CodecOpts(AVMediaType AType) const {
  int i = static_cast<int>(AType);
  return i >= 0 && i < FFOptionTypeCount ? avcodec_opts[i].get() : nullptr;
}

bool TFFOptions::SetOption(const std::string &AName, const std::string &AValue) {
  const std::string name = TrimText(AName);
  if (name.empty())
    return false;
  const char *n = name.c_str();
  const AVOption *found = nullptr;
  int ret = 0;

  // Codec contexts by media type; the declaration is looked up on the video
  // context with that type's flag and set on the type's own context.
  for (int type = 0; type < FFOptionTypeCount && ret >= 0; ++type) {
    if (SkipForType(name, type))
      continue;
    if (const AVOption *o = FindOpt(avcodec_opts[0].get(), n, TypeMasks[type])) {
      found = o;
      ret = ff::avutil.av_opt_set(avcodec_opts[type].get(), n, AValue.c_str(), 0);
    }
  }
  if (!found)
    TrySet(avformat_opts.get(), n, AValue, found, ret);
  if (!found)
    TrySet(sws_opts.get(), n, AValue, found, ret);
  // "vstrict", "astrict", "sxxx": the rest of the name on that type only.
  if (!found && name.size() > 1) {
    int type = name[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
               : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
               : name[0] == 's' ? AVMEDIA_TYPE_SUBTITLE
                                : -1;
    if (type >= 0)
      TrySet(avcodec_opts[type].get(), n + 1, AValue, found, ret);
  }

  if (found && ret < 0) {
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n",
                      AValue.c_str(), n);
    FFSetLastOptionError("Invalid value \"" + AValue + "\" for option \"" + name + "\"");
    return false;
  }
  if (!found && !DeclaredByPrivateClass(n)) {
    ff::avutil.av_log(nullptr, AV_LOG_ERROR, "Unrecognized option \"%s\"\n", n);
    FFSetLastOptionError("Unrecognized option \"" + name + "\"");
    return false;
  }

  opt_names.push_back(found ? std::string(found->name) : name);
  opt_values.push_back(found ? std::string() : AValue);

  if (avcodec_opts[0]->debug || avformat_opts->debug)
    FFLogger().SetLogLevel(llDebug);
  return true;
}

int TFFOptions::CopyRecorded(void *ATarget, void *ASource, int AFlags, AVDictionary **ARest) const {
  int copied = 0;
  for (size_t i = 0; i < opt_names.size(); ++i) {
    const char *name = opt_names[i].c_str();
    if (opt_values[i].empty()) {
      if (!ASource || !FindOpt(ATarget, name, AFlags))
        continue;
      uint8_t *text = nullptr;
      if (ff::avutil.av_opt_get(ASource, name, 0, &text) >= 0 && text) {
        if (ff::avutil.av_opt_set(ATarget, name, reinterpret_cast<char *>(text), 0) >= 0)
          ++copied;
        ff::avutil.av_free(text);
      }
      continue;
    }
    if (ff::avutil.av_opt_find(ATarget, name, nullptr, 0, AV_OPT_SEARCH_CHILDREN)) {
      if (ff::avutil.av_opt_set(ATarget, name, opt_values[i].c_str(), AV_OPT_SEARCH_CHILDREN) >= 0)
        ++copied;
    } else if (ARest) {
      ff::avutil.av_dict_set(ARest, name, opt_values[i].c_str(), 0);
    }
  }
  return copied;
}
