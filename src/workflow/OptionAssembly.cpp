#include "workflow/OptionAssembly.h"

#include "engine/FFApi.h"
#include "media/FFDecode.h"
#include "services/CLSettings.h"
#include "workflow/ListItems.h"

#include <QFileInfo>

#include <cmath>

namespace {

constexpr const char *kCRLF = "\r\n";

int IntOr(const QString &aText, int aDefault) {
  bool ok = false;
  const int v = aText.toInt(&ok);
  return ok ? v : aDefault;
}

int64_t Int64Or(const QString &aText, int64_t aDefault) {
  bool ok = false;
  const qlonglong v = aText.toLongLong(&ok);
  return ok ? static_cast<int64_t>(v) : aDefault;
}

// Round to nearest, halves to even (the default floating-point rounding mode).
int RoundEven(double aValue) {
  return static_cast<int>(std::nearbyint(aValue));
}

std::string S(const QString &aText) {
  return aText.toStdString();
}

// One row of the container rules: applied to the record, gives the suffix.
struct TFormatRule {
  const char *Ext;
  void (*Apply)(TOutputOptions &);
  const char *Suffix; // nullptr = the profile's format itself
};

void RuleFlv(TOutputOptions &o) {
  if (o.AudioSampleRate != 11025 && o.AudioSampleRate != 22050 && o.AudioSampleRate != 44100)
    o.AudioSampleRate = 22050;
}
void RuleOgg(TOutputOptions &o) {
  o.AudioCodec = "libvorbis";
  o.VideoCodec = "libtheora";
}
void RulePsp(TOutputOptions &o) {
  o.ForceFormat = "psp";
  o.VideoCodec = "mpeg4";
  o.AudioCodec = S(AACEncoderChoice());
  o.AudioSampleRate = 24000;
  o.FrameRate = "15000/1001";
}
void RuleIpod(TOutputOptions &o) {
  o.VideoCodec = "mpeg4";
  o.AudioCodec = S(AACEncoderChoice());
  o.FrameSize = "320x240";
}
void RuleRm10(TOutputOptions &o) {
  o.VideoCodec = "rv10";
}
void RuleRm20(TOutputOptions &o) {
  o.VideoCodec = "rv20";
}
void RuleNone(TOutputOptions &) {}
void RuleWebm(TOutputOptions &o) {
  o.ForceFormat = "webm";
  o.VideoCodec = "libvpx";
  o.AudioCodec = "libvorbis";
}
void RuleWmv(TOutputOptions &o) {
  o.VideoCodec = "wmv2";
  o.AudioCodec = "wmav2";
}
void RuleMkv(TOutputOptions &o) {
  o.VideoCodec = "libx264";
  o.VideoPreset = "libx264-default";
}
void RuleWma(TOutputOptions &o) {
  o.DisableVideo = true;
  o.AudioCodec = "wmav2";
}
void Rule3gp(TOutputOptions &o) {
  o.AudioSampleRate = 8000;
  o.AudioBitrate = 7400;
}

// First match wins; the disc targets and the fallback follow the table.
const TFormatRule kFormatRules[] = {
    {".flv", RuleFlv, nullptr},       {".swf", RuleFlv, nullptr},
    {".ogg", RuleOgg, nullptr},       {".psp", RulePsp, "_psp.mp4"},
    {".ipod", RuleIpod, "_ipod.mp4"}, {".rm10", RuleRm10, "_rv10.rm"},
    {".rm20", RuleRm20, "_rv20.rm"},  {".mp4", RuleNone, nullptr},
    {".webm", RuleWebm, nullptr},     {".wmv", RuleWmv, nullptr},
    {".mkv", RuleMkv, nullptr},       {".wma", RuleWma, nullptr},
    {".3gp", Rule3gp, nullptr},
};

// Applies the container rule of aExt (lower case) and returns the suffix.
QString ApplyFormatRule(const QString &aExt, TOutputOptions &o) {
  for (const TFormatRule &rule : kFormatRules) {
    if (aExt == QLatin1String(rule.Ext)) {
      rule.Apply(o);
      return rule.Suffix ? QString::fromLatin1(rule.Suffix) : aExt;
    }
  }
  static const QString discTargets = QStringLiteral(".vcd.svcd.dvd");
  if (!aExt.isEmpty() && discTargets.contains(aExt)) {
    if (aExt == u".vcd")
      o.TargetType = ttVCD;
    else if (aExt == u".svcd")
      o.TargetType = ttSVCD;
    else
      o.TargetType = ttDVD;
    o.NormDefault = ntPAL;
    const QString bare = aExt.startsWith(u'.') ? aExt.mid(1) : aExt;
    return u'_' + bare + QStringLiteral("_auto.mpg");
  }
  return aExt;
}

} // namespace

QString JoinPath(const QString &aFolder, const QString &aName) {
  if (aName.startsWith(u'/') || aFolder.isEmpty())
    return aName;
  if (aFolder.endsWith(u'/'))
    return aFolder + aName;
  return aFolder + u'/' + aName;
}

QString AACEncoderChoice() {
  if (ff::avcodec.avcodec_find_encoder_by_name &&
      ff::avcodec.avcodec_find_encoder_by_name("libfaac"))
    return QStringLiteral("libfaac");
  return QStringLiteral("aac");
}

QString BuildVideoFilters(int aWidth, int aHeight, int aLeft, int aTop, int aRight, int aBottom,
                          const QString &aVideoSize, QString &aFrameSize, bool aFileItem) {
  QStringList filters;
  if (aFileItem && aWidth > 0 && aHeight > 0) {
    const int l = std::max(aLeft, 0), t = std::max(aTop, 0);
    const int r = std::max(aRight, 0), b = std::max(aBottom, 0);
    const int cw = aWidth - l - r;
    const int ch = aHeight - t - b;
    if (cw > 0 && ch > 0) {
      if (l > 0 || t > 0 || r > 0 || b > 0)
        filters << QString::asprintf("crop=%d:%d:%d:%d", cw, ch, l, t);

      // Letterbox: pad with black bars to the profile's aspect ratio.
      const QStringList parts = aVideoSize.split(u'x');
      const int tw = parts.size() >= 2 ? IntOr(parts[0], 0) : 0;
      const int th = parts.size() >= 2 ? IntOr(parts[1], 0) : 0;
      if (tw > 0 && th > 0) {
        const double a = static_cast<double>(cw) / ch;
        const double target = static_cast<double>(tw) / th;
        if (a != target) {
          if (a > target) {
            const int h = RoundEven(cw / target);
            filters << QString::asprintf("pad=%d:%d:%d:%d:black", cw, h, 0, (h - ch) / 2);
          } else {
            const int w = RoundEven(ch * target);
            filters << QString::asprintf("pad=%d:%d:%d:%d:black", w, ch, (w - cw) / 2, 0);
          }
        }
      }
    }
  }
  if (!aFrameSize.isEmpty()) {
    QString size = aFrameSize;
    const qsizetype x = size.indexOf(u'x');
    if (x >= 0)
      size[x] = u':';
    filters << QStringLiteral("scale=") + size;
    aFrameSize.clear();
  }
  return filters.join(u',');
}

TOptionAssembly::TOptionAssembly(TFormatTpl &aTpl, TListItemStore &aList, TCustomDecoder &aDecoder)
    : FTpl(aTpl), FList(aList), FDecoder(aDecoder) {}

int TOptionAssembly::CurrentTplIndex() const {
  const int index = Settings()->GetSettingInteger(QStringLiteral("LastTpl"));
  return (index < 0 || index >= FTpl.GetCount()) ? 0 : index;
}

tagTplItem TOptionAssembly::CurrentTplItem() const {
  return FTpl.GetTplItembyIndex(CurrentTplIndex(), false);
}

TInputOptions TOptionAssembly::GetInputOptions(int /*aIndex*/) {
  const tagTplItem tpl = CurrentTplItem();
  TInputOptions in;
  InitInputOptions(in);
  in.FileName = FDecoder.FileName();
  in.ForceFormat = FDecoder.ForceFormat();
  if (!tpl.video_enabled)
    in.ExtOptions = "vn=1";
  return in;
}

bool TOptionAssembly::NameTaken(const QString &aPath, const QString &aSource, bool &aOnDisk) const {
  const QFileInfo fi(aPath);
  aOnDisk = fi.exists() || fi.isSymLink();
  if (FReservedNames.contains(aPath))
    return true;
  if (aOnDisk && !aSource.isEmpty()) {
    const QString self = fi.canonicalFilePath();
    if (!self.isEmpty() && self == QFileInfo(aSource).canonicalFilePath())
      return true;
  }
  return aOnDisk;
}

QString TOptionAssembly::ChooseOutputName(const QString &aBase, const QString &aExt,
                                          const QString &aSource) {
  const QString name = aBase + aExt;
  bool onDisk = false;
  if (!NameTaken(name, aSource, onDisk))
    return name;

  // Only a plain existing file may be replaced, and only on a Yes: never a
  // name another item of this batch writes, never the source being read.
  const bool reserved = FReservedNames.contains(name);
  const bool isSource =
      onDisk && !aSource.isEmpty() &&
      QFileInfo(name).canonicalFilePath() == QFileInfo(aSource).canonicalFilePath();
  if (!reserved && !isSource && OnOverwriteQuestion &&
      OnOverwriteQuestion(QFileInfo(name).fileName()))
    return name;

  for (int k = 1;; ++k) {
    const QString numbered = aBase + QStringLiteral("_(") + QString::number(k) + u')' + aExt;
    if (!NameTaken(numbered, aSource, onDisk))
      return numbered;
  }
}

TOutputOptions TOptionAssembly::GetOutputOptions(int aIndex) {
  // 1. Profile and defaults.
  const tagTplItem tpl = CurrentTplItem();
  TOutputOptions o;
  InitOutputOptions(o);
  const QString ext = tpl.format.toLower();
  const bool dvd = FList.IsDVDItem(aIndex);

  // 2. Channels.
  if (tpl.audio_channel.compare(u"Mono", Qt::CaseInsensitive) == 0)
    o.AudioChannels = 1;
  else if (tpl.audio_channel.compare(u"Stereo", Qt::CaseInsensitive) == 0)
    o.AudioChannels = 2;

  // 3. Sample rate.
  const int rate = IntOr(tpl.audio_samplerate, 0);
  if (rate > 0)
    o.AudioSampleRate = rate;

  // 4-5. Volume in 1/256 steps; silence means no audio at all.
  const QString sound = FList.GetValue(QStringLiteral("Sound"), aIndex);
  if (!sound.isEmpty())
    o.AudioVolume = RoundEven(IntOr(sound, 100) / 100.0 * 256.0);
  if (o.AudioVolume == 0)
    o.DisableAudio = true;

  // 6-7. Size, rate and bit rates.
  if (!tpl.video_size.isEmpty())
    o.FrameSize = S(tpl.video_size);
  if (!tpl.video_framerate.isEmpty())
    o.FrameRate = S(tpl.video_framerate);
  o.VideoBitrate = IntOr(tpl.video_bitrate, 200) * 1000;
  o.AudioBitrate = IntOr(tpl.audio_bitrate, 64) * 1000;

  // 8. Video encoder.
  const QString venc = tpl.video_encoder.toLower();
  if (venc == u"divx") {
    o.VideoCodec = "mpeg4";
    o.VideoTag = "DIVX";
    o.ExtOptions = "vstrict=unofficial" + std::string(kCRLF) + o.ExtOptions;
  } else if (venc == u"xvid") {
    o.VideoCodec = "libxvid";
  } else if (venc == u"x264") {
    o.VideoCodec = "libx264";
    o.VideoPreset = "libx264-default";
  }

  // 9. Audio encoder.
  const QString aenc = tpl.audio_encoder.toLower();
  if (aenc == u"aac")
    o.AudioCodec = S(AACEncoderChoice());
  else if (aenc == u"ac3")
    o.AudioCodec = "ac3";
  else if (aenc == u"flac")
    o.AudioCodec = "flac";
  else if (aenc == u"mp3")
    o.AudioCodec = "libmp3lame";

  // 10. Time range. An unknown (or zero) source duration without a trim
  // range sets no limit: a limit of -1 or 0 would discard everything.
  const int64_t start = Int64Or(FList.GetValue(QStringLiteral("StartPts"), aIndex), 0);
  const int64_t end = Int64Or(FList.GetValue(QStringLiteral("EndPts"), aIndex), 0);
  const int64_t duration = dvd ? Int64Or(FList.GetValue(QStringLiteral("Duration"), aIndex), 0)
                               : FDecoder.GetFileStreamInfo().Duration;
  o.TimeStart = start;
  if (start < end)
    o.TimeLength = end - start;
  else if (duration > 0)
    o.TimeLength = duration;
  if (duration < o.TimeStart)
    o.TimeStart = 0;

  // 11. Container rules.
  const QString suffix = ApplyFormatRule(ext, o);

  // 12. Creation time stamp: now.
  o.Info.TimeStamp = 0;

  // 13. Filters: crop, letterbox, scale.
  int w = -1, h = -1;
  if (!dvd && FDecoder.FirstVideoStreamIndex() >= 0) {
    const TVideoStreamInfo vi = FDecoder.GetFirstVideoStreamInfo();
    w = vi.Width;
    h = vi.Height;
  }
  QString frameSize = QString::fromStdString(o.FrameSize);
  const QString filters =
      BuildVideoFilters(w, h, IntOr(FList.GetValue(QStringLiteral("CropLeft"), aIndex), 0),
                        IntOr(FList.GetValue(QStringLiteral("CropTop"), aIndex), 0),
                        IntOr(FList.GetValue(QStringLiteral("CropRight"), aIndex), 0),
                        IntOr(FList.GetValue(QStringLiteral("CropBottom"), aIndex), 0),
                        tpl.video_size, frameSize, !dvd);
  o.FrameSize = S(frameSize);
  o.VideoFilters = S(filters);

  // 14. The built-in AAC encoder needs the experimental switch on old builds.
  if (o.AudioCodec == "aac")
    o.ExtOptions = "astrict=experimental" + std::string(kCRLF) + o.ExtOptions;

  // 15-17. Output name.
  o.FileExt = S(suffix);
  const QString source = QString::fromStdString(FDecoder.FileName());
  QString base;
  if (!source.isEmpty()) {
    const QFileInfo fi(source);
    QString bare = fi.completeBaseName();
    if (bare.isEmpty())
      bare = fi.fileName();
    base = JoinPath(FDestPath, bare);
  } else {
    base = JoinPath(FDestPath, QStringLiteral("Title[") +
                                   FList.GetValue(QStringLiteral("DVDTitleID"), aIndex) +
                                   QStringLiteral("]_[DVDRip]"));
  }
  const QString fileName = ChooseOutputName(base, suffix, source);
  FReservedNames.insert(fileName);
  o.FileName = S(fileName);

  // 18.
  FList.SetValue(QStringLiteral("OutputFileName"), fileName, aIndex);
  o.DisableSubtitle = true;
  return o;
}
