// The shipped data: the profile library format.ini with its pictures, and the
// English language file. Checks that every profile can be chosen and resolves
// into settings this FFmpeg build can encode, and that every message text
// exists.
//
// Reads the copies next to the executables (the build copies data/ there).

#include "profiles/uFormatTemplate.h"

#include "SettingsFixture.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>

#include <map>
#include <set>
#include <sstream>

namespace {

QString Q(const std::string &s) {
  return QString::fromStdString(s);
}

// Encoder names of the installed FFmpeg build ("ffmpeg -encoders").
const std::set<std::string> &Encoders() {
  static const std::set<std::string> names = [] {
    std::set<std::string> found;
    const vmtest::CommandResult r = vmtest::RunCommand("ffmpeg -hide_banner -encoders");
    std::istringstream in(r.Output);
    std::string line;
    bool table = false;
    while (std::getline(in, line)) {
      if (line.find("------") != std::string::npos) {
        table = true;
        continue;
      }
      std::istringstream words(line);
      std::string flags, name;
      if (table && (words >> flags >> name))
        found.insert(name);
    }
    return found;
  }();
  return names;
}

bool HasEncoder(const QString &name) {
  return Encoders().count(name.toStdString()) > 0;
}

// The encoder an encoder key of a profile selects: the keys the option
// assembly maps, else the name itself.
QString VideoCodecOf(const QString &key) {
  const QString k = key.toLower();
  if (k == "divx")
    return "mpeg4";
  if (k == "xvid")
    return "libxvid";
  if (k == "x264")
    return "libx264";
  return k;
}

QString AudioCodecOf(const QString &key) {
  const QString k = key.toLower();
  if (k == "aac")
    return HasEncoder("libfaac") ? "libfaac" : "aac";
  if (k == "mp3")
    return "libmp3lame";
  return k;
}

// Codecs an output format key fixes whatever the profile chooses.
struct FormatRule {
  QString video, audio;
};
const std::map<QString, FormatRule> &FormatRules() {
  static const std::map<QString, FormatRule> rules = {
      {".ogg", {"libtheora", "libvorbis"}}, {".psp", {"mpeg4", "aac"}},
      {".ipod", {"mpeg4", "aac"}},          {".rm10", {"rv10", ""}},
      {".rm20", {"rv20", ""}},              {".webm", {"libvpx", "libvorbis"}},
      {".wmv", {"wmv2", "wmav2"}},          {".mkv", {"libx264", ""}},
      {".wma", {"", "wmav2"}},              {".vcd", {"mpeg1video", "mp2"}},
      {".svcd", {"mpeg2video", "mp2"}},     {".dvd", {"mpeg2video", "ac3"}},
  };
  return rules;
}

QStringList Values(const TFormatDictionary &dic, const QString &name) {
  QStringList values;
  dic.GetValueList(name, values);
  return values;
}

QSize SizeOf(const QString &value) {
  static const QRegularExpression re("^(\\d+)x(\\d+)$");
  const auto m = re.match(value);
  return m.hasMatch() ? QSize(m.captured(1).toInt(), m.captured(2).toInt()) : QSize();
}

bool IsPositiveInt(const QString &value) {
  bool ok = false;
  return value.toInt(&ok) > 0 && ok;
}

// "25", "29.97" or "30000/1001".
bool IsFrameRate(const QString &value) {
  static const QRegularExpression re("^(\\d+(\\.\\d+)?|\\d+/\\d+)$");
  return re.match(value).hasMatch() && !value.startsWith('0');
}

// Key/value pairs of one section of an INI-style text (names lower-cased).
QHash<QString, QString> ReadSection(const QString &file, const QString &section) {
  QHash<QString, QString> keys;
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
    return keys;
  QTextStream in(&f);
  QString current;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith(';'))
      continue;
    if (line.startsWith('[') && line.endsWith(']')) {
      current = line.mid(1, line.size() - 2).trimmed();
      continue;
    }
    const int eq = line.indexOf('=');
    if (eq > 0 && current.compare(section, Qt::CaseInsensitive) == 0)
      keys.insert(line.left(eq).trimmed().toLower(), line.mid(eq + 1).trimmed());
  }
  return keys;
}

class ProfileLibrary : public SettingsFixture {
protected:
  std::unique_ptr<TFormatTpl> FTpl;

  void SetUp() override {
    SettingsFixture::SetUp();
    FTpl = std::make_unique<TFormatTpl>(Q(vmtest::BinDir() + "format.ini"), QString());
    ASSERT_FALSE(FTpl->ConstFileName().isEmpty()) << "no format.ini beside the executables";
  }
  void TearDown() override {
    FTpl.reset();
    SettingsFixture::TearDown();
  }

  // Runs check(index, resolved template defaults, dictionary) for every profile.
  template <typename Check> void ForEachProfile(Check check) {
    const int count = FTpl->GetCount();
    for (int i = 0; i < count; ++i) {
      const tagTplItem item = FTpl->GetTplItembyIndex(i, true);
      SCOPED_TRACE(QString("profile %1 %2(%3)").arg(i).arg(item.name, item.format).toStdString());
      check(i, item, TFormatDictionary(item.datastr));
    }
  }
};

} // namespace

TEST_F(ProfileLibrary, HasEnoughProfilesAndDevices) {
  EXPECT_GE(FTpl->GetCount(), 60);
  QStringList devices;
  FTpl->GetDeviceList(devices);
  EXPECT_GE(devices.size(), 8) << devices.join(", ").toStdString();
  for (const QString &device : devices) {
    QStringList brands;
    FTpl->GetBrandList(device, brands);
    EXPECT_FALSE(brands.isEmpty()) << device.toStdString();
  }
}

TEST_F(ProfileLibrary, StylesAreNumberedByPosition) {
  TFormatDictionary global(FTpl->GetDictionarySourceStr());
  QStringList styles;
  global.GetList("style", styles);
  ASSERT_FALSE(styles.isEmpty());
  for (int i = 0; i < styles.size(); ++i) {
    EXPECT_EQ(global.GetItemValueByIndex("style", i), QString::number(i));
    EXPECT_FALSE(global.GetItemCaptionByIndex("style", i).isEmpty());
  }
  QStringList captions;
  global.GetCaptionList("style", captions);
  EXPECT_EQ(captions.size(), styles.size()) << "style captions must be distinct and shown";
}

// Every profile is reachable through device, brand, model and style, and
// has a unique caption.
TEST_F(ProfileLibrary, EveryProfileIsReachableInTheChooser) {
  TFormatDictionary global(FTpl->GetDictionarySourceStr());
  QStringList styles;
  global.GetList("style", styles);
  ForEachProfile([&](int i, const tagTplItem &item, const TFormatDictionary &) {
    for (const QString *text : {&item.name, &item.device, &item.brand, &item.modal, &item.sid,
                                &item.format, &item.pic})
      EXPECT_FALSE(text->trimmed().isEmpty());
    EXPECT_FALSE(item.modal.contains('&') || item.brand.contains('&'));
    bool ok = false;
    const int sid = item.sid.toInt(&ok);
    EXPECT_TRUE(ok && sid >= 0 && sid < styles.size()) << item.sid.toStdString();
    EXPECT_EQ(FTpl->SeekTplItemIndex(item.device, item.brand, item.modal, item.sid), i);
    EXPECT_EQ(FTpl->GetTplItemIndexfromCaption(item.name + "(" + item.format + ")"), i);
    EXPECT_TRUE(item.format.startsWith('.'));
  });
}

// Every parameter list offers visible choices and a default among them, and
// the profile resolves to those defaults.
TEST_F(ProfileLibrary, EveryProfileResolvesToItsDefaults) {
  ForEachProfile([&](int, const tagTplItem &item, const TFormatDictionary &dic) {
    const bool lossless = QStringList{"flac", "pcm_s16le"}.contains(item.audio_encoder.toLower());
    for (const QString &param : TplParamNames()) {
      const bool videoParam = param.startsWith("video_");
      const bool required = videoParam ? item.video_enabled
                                       : !(param == "audio_bitrate" && lossless);
      const QString text = dic.GetString(param);
      if (text.isEmpty()) {
        EXPECT_FALSE(required) << param.toStdString() << " missing";
        continue;
      }
      const QString def = dic.GetItemValueByCaption(param, "default");
      EXPECT_FALSE(def.isEmpty()) << param.toStdString() << " has no default";
      EXPECT_FALSE(dic.GetItemCaptionByValue(param, def).isEmpty())
          << param.toStdString() << ": the default " << def.toStdString() << " is not offered";
      EXPECT_EQ(*item.Param(param), def) << param.toStdString();
      QStringList captions;
      dic.GetCaptionList(param, captions);
      EXPECT_EQ(captions.size(), QSet<QString>(captions.begin(), captions.end()).size())
          << param.toStdString() << ": repeated captions";
    }
    if (!item.video_enabled) {
      EXPECT_TRUE(dic.GetString("video_size").isEmpty()) << "audio-only profile with video sizes";
    }
  });
}

TEST_F(ProfileLibrary, ValuesHaveTheShapeTheConversionExpects) {
  ForEachProfile([&](int, const tagTplItem &, const TFormatDictionary &dic) {
    for (const QString &v : Values(dic, "video_size")) {
      const QSize size = SizeOf(v);
      EXPECT_TRUE(size.isValid() && size.width() % 2 == 0 && size.height() % 2 == 0)
          << v.toStdString();
    }
    for (const QString &v : Values(dic, "video_framerate")) {
      EXPECT_TRUE(IsFrameRate(v)) << v.toStdString();
    }
    for (const char *param : {"video_bitrate", "audio_samplerate", "audio_bitrate"})
      for (const QString &v : Values(dic, param)) {
        EXPECT_TRUE(IsPositiveInt(v)) << param << "=" << v.toStdString();
      }
    for (const QString &v : Values(dic, "audio_channel")) {
      EXPECT_TRUE(v == "Mono" || v == "Stereo") << v.toStdString();
    }
  });
}

TEST_F(ProfileLibrary, EveryPictureExists) {
  QHash<QString, QString> pictureOfModel;
  ForEachProfile([&](int, const tagTplItem &item, const TFormatDictionary &) {
    const QString file = Q(vmtest::BinDir()) + item.pic;
    QImage image;
    EXPECT_TRUE(image.load(file, "PNG")) << file.toStdString();
    EXPECT_TRUE(image.hasAlphaChannel()) << file.toStdString();
    const QString model = item.device + "\n" + item.brand + "\n" + item.modal;
    const QString known = pictureOfModel.value(model.toLower(), item.pic);
    EXPECT_EQ(known, item.pic) << "one model, two pictures";
    pictureOfModel.insert(model.toLower(), item.pic);
  });
}

TEST_F(ProfileLibrary, EveryEncoderExistsInThisFFmpegBuild) {
  ASSERT_TRUE(HasEncoder("aac")) << "cannot list the encoders of the ffmpeg tool";
  ForEachProfile([&](int, const tagTplItem &item, const TFormatDictionary &dic) {
    for (const QString &v : Values(dic, "video_encoder")) {
      EXPECT_TRUE(HasEncoder(VideoCodecOf(v))) << v.toStdString();
    }
    for (const QString &v : Values(dic, "audio_encoder")) {
      EXPECT_TRUE(HasEncoder(AudioCodecOf(v))) << v.toStdString();
    }
    const auto rule = FormatRules().find(item.format.toLower());
    if (rule != FormatRules().end()) {
      if (!rule->second.video.isEmpty()) {
        EXPECT_TRUE(HasEncoder(rule->second.video));
      }
      if (!rule->second.audio.isEmpty()) {
        EXPECT_TRUE(HasEncoder(AudioCodecOf(rule->second.audio)));
      }
    }
  });
}

// The limits of the codecs and containers that the format keys select.
TEST_F(ProfileLibrary, ChoicesFitTheirCodecs) {
  const QSet<QString> h263Sizes{"128x96", "176x144", "352x288", "704x576", "1408x1152"};
  ForEachProfile([&](int, const tagTplItem &item, const TFormatDictionary &dic) {
    const QString ext = item.format.toLower();
    const QStringList sizes = Values(dic, "video_size");
    const QStringList rates = Values(dic, "audio_samplerate");
    const QStringList vencs = Values(dic, "video_encoder");
    const QStringList aencs = Values(dic, "audio_encoder");
    if (ext == ".rm10" || ext == ".rm20")
      for (const QString &v : sizes) {
        const QSize s = SizeOf(v);
        EXPECT_TRUE(s.width() % 16 == 0 && s.height() % 16 == 0 && s.width() <= 4095) << v.toStdString();
      }
    if (ext == ".3gp") {
      // No AMR encoder here: the audio must be AAC.
      EXPECT_EQ(aencs, QStringList{"aac"});
      if (vencs.contains("h263"))
        for (const QString &v : sizes) {
          EXPECT_TRUE(h263Sizes.contains(v)) << v.toStdString();
        }
    }
    if (ext == ".flv" || ext == ".swf")
      for (const QString &v : rates) {
        EXPECT_TRUE(v == "11025" || v == "22050" || v == "44100") << v.toStdString();
      }
    if (aencs.contains("ac3") || ext == ".dvd")
      for (const QString &v : rates) {
        EXPECT_TRUE(v == "32000" || v == "44100" || v == "48000") << v.toStdString();
      }
    if (ext == ".vcd") {
      EXPECT_EQ(Values(dic, "video_bitrate"), QStringList{"1150"});
      for (const QString &v : sizes) {
        EXPECT_TRUE(v == "352x288" || v == "352x240") << v.toStdString();
      }
    }
    if (ext == ".svcd")
      for (const QString &v : Values(dic, "video_bitrate")) {
        EXPECT_LE(v.toInt(), 2516);
      }
    if (ext == ".dvd") {
      for (const QString &v : Values(dic, "video_bitrate")) {
        EXPECT_LE(v.toInt(), 9000);
      }
      for (const QString &v : sizes) {
        EXPECT_TRUE(v == "720x576" || v == "720x480") << v.toStdString();
      }
    }
    if (ext == ".psp") {
      EXPECT_TRUE(sizes.contains("480x272"));
    }
    if (ext == ".ipod") {
      EXPECT_EQ(sizes, QStringList{"320x240"});
    }
    if (ext == ".wma" || ext == ".mp3" || ext == ".m4a" || ext == ".flac") {
      EXPECT_FALSE(item.video_enabled);
    }
  });
}

TEST_F(ProfileLibrary, EveryFormatRuleIsUsed) {
  QSet<QString> formats;
  ForEachProfile([&](int, const tagTplItem &item, const TFormatDictionary &) {
    formats.insert(item.format.toLower());
  });
  for (const char *ext : {".flv", ".swf", ".ogg", ".psp", ".ipod", ".rm10", ".rm20", ".mp4", ".webm",
                          ".wmv", ".mkv", ".wma", ".3gp", ".vcd", ".svcd", ".dvd", ".avi", ".mov",
                          ".mp3"})
    EXPECT_TRUE(formats.contains(ext)) << ext;
}

TEST(EnglishLanguage, HoldsEveryMessage) {
  const QString file = Q(vmtest::BinDir()) + "lang/English.lan";
  ASSERT_TRUE(QFile::exists(file)) << file.toStdString();
  const auto info = ReadSection(file, "Info");
  EXPECT_EQ(info.value("language"), "English");
  const auto app = ReadSection(file, "AppRes");
  EXPECT_EQ(app.value("appname"), "Videomill");
  const std::map<QString, bool> messages = {
      {"MsgBox.ClearAll", false},          {"MsgBox.OverwriteExists", true},
      {"MsgBox.NoTask", false},            {"MsgBox.StopConversion", false},
      {"MsgBox.CannotConvert", true},      {"MsgBox.CannotConvertM", true},
      {"MsgBox.ConversionFinished", false}, {"MsgBox.LoadResourceError", false},
      {"MsgBox.DestPathNotExists", false}, {"MsgBox.ExitNotify", false},
      {"MsgBox.Croplimit", false},         {"MsgBox.NoDVD", false},
  };
  for (const auto &[key, withArgument] : messages) {
    const QString text = app.value(key.toLower());
    EXPECT_FALSE(text.isEmpty()) << key.toStdString();
    EXPECT_EQ(text.contains("{1}"), withArgument) << key.toStdString();
  }
  const auto lib = ReadSection(file, "LibRes");
  for (const char *key : {"TfrmCLAboutForm.Caption", "btnOk.Caption", "btnCancel.Caption",
                          "TfrmCLAboutForm.CopyRightLine1", "TfrmCLAboutForm.CopyRightLine2",
                          "TfrmCLAboutForm.CopyRightLine3", "lblSupport.Caption",
                          "TfrmCLUpdateForm.Caption", "cbAutoCheckUpdate.Caption",
                          "Update.Connecting", "Update.LastVersionAlready", "Update.NetError",
                          "lblTimer.Caption"})
    EXPECT_FALSE(lib.value(QString(key).toLower()).isEmpty()) << key;
  EXPECT_TRUE(lib.value("tfrmclaboutform.copyrightline2").contains("{1}"));
  EXPECT_TRUE(lib.value("lbltimer.caption").contains("{1}"));
}
