// Format template library: dictionaries, the template file's INI rules,
// profile queries and resolution with settings overrides, and writes.

#include "profiles/uFormatTemplate.h"
#include "services/CLIniFile.h"

#include "SettingsFixture.h"

#include <csignal>
#include <sys/resource.h>

namespace {

QStringList L(std::initializer_list<const char *> items) {
  QStringList list;
  for (const char *s : items)
    list.append(QString::fromUtf8(s));
  return list;
}

QString Q(const std::string &s) {
  return QString::fromStdString(s);
}

} // namespace

// ---------------------------------------------------------------------------
// Dictionaries

TEST(FormatDictionary, ListDropsEmptyAndRepeatedEntriesAndFindsDefault) {
  TFormatDictionary dic("x=1\r\nSize=a$A;;A$a; b$B ;a$default;\r\nsize=ignored");
  QStringList sl;
  dic.GetList("SIZE", sl);
  EXPECT_EQ(sl, L({"a$A", "b$B", "a$default"}));
  dic.GetCaptionList("size", sl);
  EXPECT_EQ(sl, L({"A", "B"}));
  EXPECT_EQ(dic.GetItemValueByCaption("size", "DEFAULT"), "a");
  EXPECT_EQ(dic.GetItemValueByCaption("size", "b"), "b");
  EXPECT_EQ(dic.GetItemCaptionByValue("size", "A"), "A");
  EXPECT_EQ(dic.GetItemCaptionByValue("size", "zz"), "");
  EXPECT_EQ(dic.GetItemValueByCaption("size", "zz"), "");
  // GetValueList appends and leaves out the default entry.
  sl = L({"keep"});
  dic.GetValueList("size", sl);
  EXPECT_EQ(sl, L({"keep", "a", "b"}));
  EXPECT_EQ(dic.GetItembyIndex("size", 1), "b$B");
  EXPECT_EQ(dic.GetItemCaptionByIndex("size", 2), "default");
  EXPECT_EQ(dic.GetItemValueByIndex("size", 0), "a");
  EXPECT_EQ(dic.GetItembyIndex("size", 3), "");
  EXPECT_EQ(dic.GetItembyIndex("size", -1), "");
  EXPECT_EQ(dic.GetString("missing"), "");
  dic.GetList("missing", sl);
  EXPECT_TRUE(sl.isEmpty());
}

TEST(FormatDictionary, EntryEdgeCases) {
  // No '$': the entry is its own value and caption; only the first '$'
  // splits; the default entry is never a caption, even when listed first.
  TFormatDictionary dic("enc=x264;mp4$A$B;v$default;v$Vee;e$\nk=a=b");
  QStringList sl;
  dic.GetCaptionList("enc", sl);
  EXPECT_EQ(sl, L({"x264", "A$B", "Vee"})); // empty caption left out
  EXPECT_EQ(dic.GetItemValueByCaption("enc", "x264"), "x264");
  EXPECT_EQ(dic.GetItemValueByCaption("enc", "a$b"), "mp4");
  EXPECT_EQ(dic.GetItemCaptionByValue("enc", "V"), "Vee");
  EXPECT_EQ(dic.GetString("K"), "a=b");
  dic.SetData("enc=z$Z");
  EXPECT_EQ(dic.GetString("k"), "");
  dic.GetCaptionList("enc", sl);
  EXPECT_EQ(sl, L({"Z"}));
}

TEST(FormatDictionary, SizeByString) {
  EXPECT_EQ(TFormatTpl::GetSizeByString("320x240"), QSize(320, 240));
  EXPECT_EQ(TFormatTpl::GetSizeByString("abcx240x9"), QSize(0, 240));
  EXPECT_EQ(TFormatTpl::GetSizeByString("640", QSize(7, 8)), QSize(7, 8));
  EXPECT_EQ(TFormatTpl::GetSizeByString("", QSize(7, 8)), QSize(7, 8));
}

// ---------------------------------------------------------------------------
// INI rules of the template file

TEST(FormatTplIniDoc, ReadingRules) {
  TFormatTplIniDoc doc(QByteArray("\xEF\xBB\xBF"
                                  "orphan=1\r\n"
                                  "[ Global ]\r\n"
                                  "; count=9\r\n"
                                  "  Count =  3  \r\n"
                                  "no equals sign\r\n"
                                  "=nameless\r\n"
                                  "count=4\r\n"
                                  "[other]\r\n"
                                  "a=1\r\n"
                                  "[GLOBAL]\r\n"
                                  "extra=x=y\r\n"
                                  "[broken\r\n"
                                  "b=2\r\n"));
  EXPECT_EQ(doc.ReadInteger("global", "COUNT", 0), 3);
  EXPECT_EQ(doc.ReadString("global", "extra"), "x=y"); // repeated section continues
  EXPECT_EQ(doc.ReadString("global", "b"), "2");       // "[broken" is no header
  EXPECT_EQ(doc.ReadSection("global"), L({"Count", "extra", "b"}));
  EXPECT_FALSE(doc.SectionExists("broken"));
  EXPECT_EQ(doc.ReadString("global", "orphan", "none"), "none");
  EXPECT_EQ(doc.SectionNames(), L({"Global", "other"}));
  EXPECT_EQ(doc.ReadInteger("other", "missing", -5), -5);
}

TEST(FormatTplIniDoc, WritesKeepEveryOtherLine) {
  const QByteArray text = "; library\r\n[a]\r\nx = 1\r\n; note\r\n\r\n[b]\r\ny=2\r\n";
  TFormatTplIniDoc doc(text);
  ASSERT_TRUE(doc.WriteString("A", "X", "9"));
  ASSERT_TRUE(doc.WriteString("a", "z", "3"));
  ASSERT_TRUE(doc.WriteString("c", "w", "4"));
  EXPECT_EQ(doc.Bytes(), QByteArray("; library\r\n[a]\r\nx=9\r\nz=3\r\n; note\r\n\r\n[b]\r\ny=2\r\n"
                                    "\r\n[c]\r\nw=4\r\n"));
  ASSERT_TRUE(doc.RenameSection("B", "a2"));
  doc.EraseSection("a");
  EXPECT_EQ(doc.Bytes(), QByteArray("; library\r\n[a2]\r\ny=2\r\n\r\n[c]\r\nw=4\r\n"));

  // Names and values that would read back differently are refused.
  const QByteArray before = doc.Bytes();
  EXPECT_FALSE(doc.WriteString("c", "w", "4\n[global]\ncount=99"));
  EXPECT_FALSE(doc.WriteString("c", "k=v", "1"));
  EXPECT_FALSE(doc.WriteString("c", ";k", "1"));
  EXPECT_FALSE(doc.WriteString("c", "[k", "1]"));
  EXPECT_FALSE(doc.WriteString(" c", "k", "1"));
  EXPECT_FALSE(doc.WriteString("", "k", "1"));
  EXPECT_FALSE(doc.RenameSection("c", "x\ny"));
  EXPECT_EQ(doc.Bytes(), before);
}

// ---------------------------------------------------------------------------
// The library over a template file, with the settings store isolated in
// temp folders.

class FormatTemplateTest : public SettingsFixture {
protected:
  QString FTplFile;

  void SetUp() override {
    SettingsFixture::SetUp();
    FTplFile = Q(FApp + "format.ini");
  }
  void WriteTpl(const std::string &text) {
    ASSERT_TRUE(vmtest::WriteFile(FApp + "format.ini", text));
  }
  std::string TplText() const { return vmtest::ReadFile(FApp + "format.ini"); }
};

const char *const kLibrary = "[global]\n"
                             "count=6\n"
                             "[dictionary]\n"
                             "style=0$Normal;1$High;2$Low\n"
                             "[0]\n"
                             "name=TV\ndevice=Phone\nbrand=Acme\nmodal=A1\nsid=0\nformat=.avi\n"
                             "pic=pic/a1.png\n"
                             "video_size=320x240$320 x 240;640x480$640 x 480;640x480$default\n"
                             "video_bitrate=768$768;1024$1024\n"
                             "audio_channel=Stereo$Stereo;Stereo$Default\n"
                             "video_enabled=0\naudio_enabled=abc\n"
                             "custom=Yes\n"
                             "[1]\n"
                             "name=HQ\ndevice=PHONE\nbrand=acme\nmodal=A1\nsid=1\nformat=.mp4\n"
                             "[2]\n"
                             "name=Two\ndevice=phone\nbrand=Zeta\nmodal=Z9\nsid=1\nformat=.mp4\n"
                             "[3]\n"
                             "name=Three\ndevice=Phone\nbrand=ACME\nmodal=b2\nsid=0\n"
                             "[4]\n"
                             "name=Four\ndevice=Player\nbrand=Acme\nmodal=A1\nsid=2\n"
                             "[5]\n"
                             "name=Five\ndevice=Phone\nbrand=Acme\nmodal=a1\nsid=1\n"
                             "video_size=176x144$QCIF;176x144$default\n"
                             "video_enabled=2\n";

TEST_F(FormatTemplateTest, CascadeQueries) {
  WriteTpl(kLibrary);
  TFormatTpl tpl(FTplFile, "unused");
  EXPECT_EQ(tpl.ConstFileName(), FTplFile);
  EXPECT_EQ(tpl.GetCount(), 6);
  QStringList sl;
  tpl.GetDeviceList(sl);
  EXPECT_EQ(sl, L({"Phone", "Player"}));
  tpl.GetBrandList("PHONE", sl);
  EXPECT_EQ(sl, L({"Acme", "Zeta"}));
  tpl.GetModalList("phone", "ACME", sl);
  EXPECT_EQ(sl, L({"A1", "b2"}));
  tpl.GetSIDList("Phone", "Acme", "A1", sl);
  EXPECT_EQ(sl, L({"0", "1", "1"}));
  tpl.GetNameList(sl);
  EXPECT_EQ(sl, L({"TV", "HQ", "Two", "Three", "Four", "Five"}));
  tpl.GetCaptionList(sl);
  EXPECT_EQ(sl.first(), "TV(.avi)");
  EXPECT_EQ(sl.at(3), "Three()");
  EXPECT_EQ(tpl.GetTplItemIndexfromCaption("hq(.MP4)"), 1);
  EXPECT_EQ(tpl.GetTplItemIndexfromCaption("HQ (.mp4)"), -1);
  EXPECT_EQ(tpl.SeekTplItemIndex("phone", "acme", "a1", "1"), 1);
  EXPECT_EQ(tpl.SeekTplItemIndex("Phone", "Acme", "A1", "2"), -1);
  EXPECT_EQ(tpl.GetDictionarySourceStr(), "style=0$Normal;1$High;2$Low\r\n");
}

TEST_F(FormatTemplateTest, CountRules) {
  WriteTpl("[0]\nname=Only\ndevice=D\n");
  TFormatTpl tpl(FTplFile, "");
  QStringList sl = L({"stale"});
  EXPECT_EQ(tpl.GetCount(), 0); // "count" absent
  tpl.GetDeviceList(sl);
  EXPECT_TRUE(sl.isEmpty());
  // A count past the last section lists the missing profiles as empty texts.
  WriteTpl("[global]\ncount=3\n[0]\nname=Only\ndevice=D\n");
  tpl.GetDeviceList(sl);
  EXPECT_EQ(sl, L({"D", ""}));
  tpl.GetCaptionList(sl);
  EXPECT_EQ(sl, L({"Only()", "()", "()"}));
  WriteTpl("[global]\ncount=-4\n");
  EXPECT_EQ(tpl.GetCount(), 0);
  WriteTpl("[global]\ncount=2147483647\n[0]\ndevice=D\n");
  EXPECT_EQ(tpl.GetCount(), TFormatTpl::kMaxTplCount);
  tpl.GetDeviceList(sl);
  EXPECT_EQ(sl, L({"D", ""}));
}

TEST_F(FormatTemplateTest, ResolvesDefaultsAndOverrides) {
  WriteTpl(kLibrary);
  TFormatTpl tpl(FTplFile, "");
  tagTplItem item = tpl.GetTplItembyIndex(0, false);
  EXPECT_EQ(item.name, "TV");
  EXPECT_EQ(item.pic, "pic/a1.png");
  EXPECT_EQ(item.format, ".avi");
  EXPECT_FALSE(item.video_enabled);
  EXPECT_TRUE(item.audio_enabled); // not an integer
  EXPECT_EQ(item.video_size, "640x480");
  EXPECT_EQ(item.audio_channel, "Stereo");
  EXPECT_EQ(item.video_bitrate, ""); // no default entry, no override
  EXPECT_TRUE(item.datastr.startsWith("name=TV\r\ndevice=Phone\r\n"));
  EXPECT_TRUE(item.datastr.endsWith("audio_enabled=abc\r\ncustom=Yes\r\n"));
  EXPECT_EQ(TFormatDictionary(item.datastr).GetString("CUSTOM"), "Yes");

  // An override wins even when no entry lists it; aDefault shows the
  // template default and keeps the override; an empty override is none.
  ASSERT_TRUE(tpl.SetSettingValue(5, "video_size", "999x111"));
  ASSERT_TRUE(tpl.SetSettingValue(5, "video_bitrate", ""));
  ASSERT_TRUE(tpl.SetSettingValue(5, "audio_encoder", "mp3"));
  item = tpl.GetTplItembyIndex(5, false);
  EXPECT_EQ(item.video_size, "999x111");
  EXPECT_EQ(item.video_bitrate, "");
  EXPECT_EQ(item.audio_encoder, "mp3");
  EXPECT_TRUE(item.video_enabled);
  item = tpl.GetTplItembyIndex(5, true);
  EXPECT_EQ(item.video_size, "176x144");
  EXPECT_EQ(item.audio_encoder, "");
  EXPECT_EQ(Settings()->GetSettingString("5__video_size"), "999x111");

  // Overrides are written to the user settings file at once.
  TCLIniFile onDisk(Settings()->SettingFilePath());
  EXPECT_EQ(onDisk.ReadString("setting", TplSettingKey(5, "video_size"), "-"), "999x111");
  EXPECT_EQ(TplSettingKey(12, "video_bitrate"), "12__video_bitrate");

  // A profile without a section: empty texts, booleans true, overrides only.
  ASSERT_TRUE(tpl.SetSettingValue(40, "video_framerate", "25"));
  item = tpl.GetTplItembyIndex(40, false);
  EXPECT_TRUE(item.name.isEmpty() && item.datastr.isEmpty() && item.video_size.isEmpty());
  EXPECT_TRUE(item.video_enabled && item.audio_enabled);
  EXPECT_EQ(item.video_framerate, "25");
}

TEST_F(FormatTemplateTest, SourceRecordAndFreshReads) {
  WriteTpl(kLibrary);
  TFormatTpl tpl(FTplFile, "");
  ASSERT_TRUE(tpl.SetSettingValue(0, "video_size", "1x1"));
  const tagTplItem src = tpl.GetTplItemSourcebyIndex(0);
  EXPECT_TRUE(src.datastr.isEmpty());
  EXPECT_EQ(src.video_size, "320x240$320 x 240;640x480$640 x 480;640x480$default");
  EXPECT_EQ(src.audio_samplerate, "");
  EXPECT_FALSE(src.video_enabled);
  EXPECT_EQ(src.sid, "0");
  // Every query reads the file as it is now.
  WriteTpl("[global]\ncount=1\n[0]\nname=New\ndevice=Cam\n");
  EXPECT_EQ(tpl.GetTplItemSourcebyIndex(0).name, "New");
  QStringList sl;
  tpl.GetDeviceList(sl);
  EXPECT_EQ(sl, L({"Cam"}));
}

TEST_F(FormatTemplateTest, WithoutFileTheLibraryIsEmpty) {
  TFormatTpl tpl(FTplFile, "");
  EXPECT_EQ(tpl.ConstFileName(), "");
  WriteTpl(kLibrary); // appearing later does not count
  EXPECT_EQ(tpl.GetCount(), 0);
  EXPECT_EQ(tpl.SeekTplItemIndex("Phone", "Acme", "A1", "0"), -1);
  EXPECT_EQ(tpl.GetTplItembyIndex(0, false).name, "");
  EXPECT_FALSE(tpl.SetDictionary("style", L({"0$X"})));
  EXPECT_FALSE(tpl.LastErrMsg().isEmpty());
  EXPECT_EQ(TplText(), kLibrary);
}

// ---------------------------------------------------------------------------
// Writes

TEST_F(FormatTemplateTest, SetTplItemSourceWritesAtOnceAndKeepsTheRest) {
  WriteTpl("; shipped library\n[global]\ncount=1\n[0]\nname=Old\nextra=kept\n");
  TFormatTpl tpl(FTplFile, "");
  tagTplItem item;
  item.name = "Clip";
  item.device = "Cam";
  item.format = ".mkv";
  item.audio_enabled = false;
  item.video_size = "1$One;1$default";
  ASSERT_TRUE(tpl.SetTplItemSource(0, item)) << tpl.LastErrMsg().toStdString();
  EXPECT_EQ(TplText(), "; shipped library\n[global]\ncount=1\n[0]\nname=Clip\nextra=kept\n"
                       "device=Cam\nbrand=\nmodal=\nformat=.mkv\nsid=\npic=\nvideo_enabled=1\n"
                       "audio_enabled=0\nvideo_size=1$One;1$default\nvideo_framerate=\n"
                       "video_encoder=\nvideo_bitrate=\naudio_samplerate=\naudio_channel=\n"
                       "audio_encoder=\naudio_bitrate=\n");
  item.name = "Far";
  ASSERT_TRUE(tpl.SetTplItemSource(3, item));
  EXPECT_EQ(tpl.GetCount(), 4);
  ASSERT_TRUE(tpl.SetTplItemSource(1, item));
  EXPECT_EQ(tpl.GetCount(), 4); // below count: unchanged
  EXPECT_EQ(tpl.GetTplItembyIndex(0, false).video_size, "1");

  // A value that would break the file is refused and nothing is written.
  const std::string before = TplText();
  item.brand = "x\n[global]\ncount=0";
  EXPECT_FALSE(tpl.SetTplItemSource(2, item));
  EXPECT_FALSE(tpl.SetTplItemSource(-1, tagTplItem()));
  EXPECT_FALSE(tpl.SetDictionary("style", L({"a$A\r\nb$B"})));
  EXPECT_FALSE(tpl.SetDictionary("=x", L({"a$A"})));
  EXPECT_EQ(TplText(), before);

  ASSERT_TRUE(tpl.SetDictionary("Style", L({"0$Normal", "1$High"})));
  EXPECT_EQ(tpl.GetDictionarySourceStr(), "Style=0$Normal;1$High;\r\n");
}

TEST_F(FormatTemplateTest, DeleteItemMovesWholeSections) {
  WriteTpl("[global]\ncount=4\n"
           "[0]\nname=P0\n[1]\nname=P1\nonly1=a\n[2]\nname=P2\nonly2=b\n; about 3\n"
           "[3]\nname=P3\nvideo_size=3$T;3$default\n[7]\nname=orphan\n");
  TFormatTpl tpl(FTplFile, "");
  EXPECT_FALSE(tpl.DeleteItem(4));
  EXPECT_FALSE(tpl.DeleteItem(-1));
  ASSERT_TRUE(tpl.DeleteItem(1)) << tpl.LastErrMsg().toStdString();
  EXPECT_EQ(TplText(), "[global]\ncount=3\n"
                       "[0]\nname=P0\n[1]\nname=P2\nonly2=b\n; about 3\n"
                       "[2]\nname=P3\nvideo_size=3$T;3$default\n[7]\nname=orphan\n");
  ASSERT_TRUE(tpl.DeleteItem(2));
  EXPECT_EQ(tpl.GetCount(), 2);
  EXPECT_EQ(tpl.GetTplItemSourcebyIndex(2).name, "");
  EXPECT_EQ(tpl.GetTplItemSourcebyIndex(7).name, "orphan");
}

TEST_F(FormatTemplateTest, WriteKeepsPermissionsAndSymbolicLinks) {
  namespace fs = std::filesystem;
  ASSERT_TRUE(vmtest::WriteFile(FApp + "real/format.ini", kLibrary));
  fs::permissions(FApp + "real/format.ini", fs::perms(0640));
  fs::create_symlink(FApp + "real/format.ini", FApp + "format.ini");
  TFormatTpl tpl(FTplFile, "");
  ASSERT_TRUE(tpl.SetDictionary("style", L({"0$A"}))) << tpl.LastErrMsg().toStdString();
  EXPECT_TRUE(fs::is_symlink(FApp + "format.ini"));
  EXPECT_EQ(fs::status(FApp + "real/format.ini").permissions(), fs::perms(0640));
  EXPECT_EQ(tpl.GetDictionarySourceStr(), "style=0$A;\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(FApp + "real"), fs::directory_iterator()), 1);
}

TEST_F(FormatTemplateTest, FailedWritesLeaveTheFileUntouched) {
  WriteTpl(kLibrary);
  TFormatTpl tpl(FTplFile, "");

  // The new text cannot be written completely (file size limit below its
  // size): the old file stays as it was and no temporary file is left.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = tpl.SetDictionary("style", L({"0$A"}));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_FALSE(tpl.LastErrMsg().isEmpty());
  EXPECT_EQ(TplText(), kLibrary);
  int files = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(FApp))
    ++files;
  EXPECT_EQ(files, 2); // const.dat and format.ini

  // A template file that cannot be read is never replaced by a new one.
  std::filesystem::remove(FApp + "format.ini");
  std::filesystem::create_directory(FApp + "format.ini");
  EXPECT_FALSE(tpl.DeleteItem(0));
  EXPECT_TRUE(std::filesystem::is_directory(FApp + "format.ini"));
  EXPECT_EQ(tpl.GetCount(), 0);
}
