#pragma once
// The format template library: the output profiles of the converter, read
// from the template file "format.ini", and the caption/value dictionaries
// the file uses for the choosable values of each conversion parameter.
//
// Template file layout:
//   [global]      count = number of profiles; profiles are sections "0" to
//                 count - 1
//   [<index>]     name, device, brand, modal, sid, pic, format,
//                 video_enabled, audio_enabled and the eight parameter
//                 dictionaries (video_size ... audio_bitrate); any further key
//                 is kept in the profile's datastr
//   [dictionary]  global dictionaries, one key per name; "style" lists the
//                 style captions, entry i having the value i
// Dictionary text: entries separated by ';', each value '$' caption. The
// entry captioned "default" (any case) names the default value.
//
// A user's choice for a parameter is not written into the template file but
// kept in the settings store under TplSettingKey(index, parameter), e.g.
// "3__video_bitrate"; it wins over the template default when not empty.
//
// Main thread only. Widget-free: used by the forms and by videomill-cli.

#include "profiles/FormatTplIni.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>

// The eight conversion parameters of a profile, in the order in which they
// are resolved and edited: video_size, video_framerate, video_encoder,
// video_bitrate, audio_samplerate, audio_channel, audio_encoder,
// audio_bitrate.
const QStringList &TplParamNames();

// Settings-store key of a parameter override: decimal index + "__" + name.
QString TplSettingKey(int aIndex, const QString &aName);

// One output profile.
struct tagTplItem {
  // Resolved profile: every line of the profile section as name=value in
  // file order, each ended by CR LF. Empty in a source record.
  QString datastr;
  // Raw keys of the profile section.
  QString name;
  QString device;
  QString brand;
  QString modal;
  QString sid;
  QString format;
  QString pic;
  // Absent or not an integer reads as true.
  bool video_enabled = true;
  bool audio_enabled = true;
  // Resolved profile: the parameter value (override, else template default,
  // else empty). Source record: the raw dictionary text.
  QString video_size;
  QString video_framerate;
  QString video_encoder;
  QString video_bitrate;
  QString audio_samplerate;
  QString audio_channel;
  QString audio_encoder;
  QString audio_bitrate;

  // The field of a parameter named in TplParamNames() (compared without
  // regard to case); nullptr for any other name.
  QString *Param(const QString &aName);
  const QString *Param(const QString &aName) const;
};

// Caption/value dictionaries held as name=value lines (a profile's datastr
// or the dictionary section's source text).
//
// Entry rules: the value and the caption of an entry are the text before and
// after its first '$'; an entry without '$' is its own value and caption.
// Entries are trimmed; empty entries and repeats (same text without regard
// to case) are dropped, the first occurrence counting.
class TFormatDictionary {
public:
  explicit TFormatDictionary(const QString &aDataStr = QString());

  // Replaces the lines with those of aDataStr (split at CR LF, LF or CR).
  void SetData(const QString &aDataStr);
  // Text after the first '=' of the first line whose name equals aName
  // (without regard to case); empty when none.
  QString GetString(const QString &aName) const;
  // aSL := the entries of GetString(aName) after the entry rules.
  void GetList(const QString &aName, QStringList &aSL) const;
  // Clears aSL; the captions of GetList in order, except "default" (any
  // case) and empty captions.
  void GetCaptionList(const QString &aName, QStringList &aSL) const;
  // Appends (does not clear) the value of every entry whose caption is not
  // "default".
  void GetValueList(const QString &aName, QStringList &aSL) const;
  // The whole entry (value '$' caption) at aIndex of GetList; empty when out
  // of range. The caption and value forms give the parts of that entry.
  QString GetItembyIndex(const QString &aName, int aIndex) const;
  QString GetItemCaptionByIndex(const QString &aName, int aIndex) const;
  QString GetItemValueByIndex(const QString &aName, int aIndex) const;
  // Caption of the first entry whose value equals aValue (without regard to
  // case) and whose caption is not "default"; empty when none.
  QString GetItemCaptionByValue(const QString &aName, const QString &aValue) const;
  // Value of the first entry whose caption equals aCaption (without regard
  // to case); empty when none. aCaption "default" gives the default value.
  QString GetItemValueByCaption(const QString &aName, const QString &aCaption) const;

  const QStringList &Strings() const { return FStrings; }

private:
  QStringList FStrings;
};

// The template library. Reads the template file key by key on every query
// (one read of the file per operation, nothing cached), so every answer
// reflects the file as it is on disk.
//
// Without a template file (absent when the library was created) the library
// is empty: every list is empty, GetCount is 0, every profile reads as an
// empty record, and writes fail.
//
// Write operations (SetTplItemSource, DeleteItem, SetDictionary) change the
// file at once and as a whole: the new text replaces the file only when it is
// completely written, so a failed write leaves it untouched. They return
// false, with the reason in LastErrMsg(), when the file could not be read or
// replaced or when a value cannot be stored (see TFormatTplIniDoc's rules).
class TFormatTpl {
public:
  // Largest number of profiles read from "count"; a larger value counts as
  // this many, so a damaged file cannot make the queries run away.
  static constexpr int kMaxTplCount = 100000;

  // aConstFileName: the template file, used when it exists at this moment.
  // aStoredFileName is accepted and not used.
  TFormatTpl(const QString &aConstFileName, const QString &aStoredFileName);
  ~TFormatTpl();
  TFormatTpl(const TFormatTpl &) = delete;
  TFormatTpl &operator=(const TFormatTpl &) = delete;

  // The template file's full name; empty when there was no file at creation.
  QString ConstFileName() const { return FConstFileName; }
  QString LastErrMsg() const { return FLastErrMsg; }

  // "count" of section "global" (0 when absent or invalid; negative reads as
  // 0, values above kMaxTplCount as kMaxTplCount).
  int GetCount() const;

  // Each list operation clears aSL and fills it in profile index order.
  // Device, brand and model lists hold each text once (the first spelling,
  // compared without regard to case); texts are compared without regard to
  // case. A profile index without a section contributes empty texts.
  void GetDeviceList(QStringList &aSL) const;
  void GetBrandList(const QString &aDevice, QStringList &aSL) const;
  void GetModalList(const QString &aDevice, const QString &aBrand, QStringList &aSL) const;
  // "sid" of every matching profile, repeats kept.
  void GetSIDList(const QString &aDevice, const QString &aBrand, const QString &aModal,
                  QStringList &aSL) const;
  void GetNameList(QStringList &aSL) const;
  // name + "(" + format + ")" of every profile, e.g. "TV(.avi)".
  void GetCaptionList(QStringList &aSL) const;
  // First index whose caption (as in GetCaptionList) equals aCaption without
  // regard to case; -1 when none.
  int GetTplItemIndexfromCaption(const QString &aCaption) const;
  // First index whose device, brand, modal and sid all equal the arguments
  // without regard to case; -1 when none.
  int SeekTplItemIndex(const QString &aDevice, const QString &aBrand, const QString &aModal,
                       const QString &aSid) const;

  // Resolves profile aIndex: raw texts, datastr, booleans and every
  // parameter through GetSettingValue(aIndex, name, dictionary of datastr,
  // aDefault). A missing section gives empty texts, booleans true and
  // parameters from the overrides only.
  tagTplItem GetTplItembyIndex(int aIndex, bool aDefault) const;
  // The override TplSettingKey(aIndex, aName) from the settings store; when
  // aDefault is true or the override is empty: the dictionary's value for
  // the caption "default" of aName (empty when there is none). An override
  // is used unchanged, listed in the dictionary or not.
  QString GetSettingValue(int aIndex, const QString &aName, const TFormatDictionary &aDic,
                          bool aDefault) const;
  // Stores an override in the settings store (which writes it at once).
  // False when the store could not write it.
  bool SetSettingValue(int aIndex, const QString &aName, const QString &aValue);

  // Source record of profile aIndex: the raw keys, the eight parameter
  // dictionaries as raw text, booleans default true, datastr empty.
  tagTplItem GetTplItemSourcebyIndex(int aIndex) const;
  // Writes name, device, brand, modal, format, sid, pic, video_enabled,
  // audio_enabled ("1"/"0") and the eight parameter keys of section aIndex;
  // raises "count" to aIndex + 1 when aIndex >= count. Other keys of the
  // section stay. 0 <= aIndex < kMaxTplCount.
  bool SetTplItemSource(int aIndex, const tagTplItem &aItem);
  // Removes profile aIndex (0 <= aIndex < count): every later profile moves
  // one index down as a whole section (all its keys and lines), "count"
  // becomes count - 1 and the old last index no longer exists.
  bool DeleteItem(int aIndex);

  // Every line of section "dictionary" as name=value, CR LF after each.
  QString GetDictionarySourceStr() const;
  // Key aName of section "dictionary" := every line of aSL followed by ';'.
  bool SetDictionary(const QString &aName, const QStringList &aSL);

  // Splits aString at 'x': with at least two pieces, width = first piece and
  // height = second (each 0 when not an integer); otherwise aSize unchanged.
  static QSize GetSizeByString(const QString &aString, QSize aSize = QSize(0, 0));

private:
  QString FConstFileName;
  QString FStoredFileName;                  // never set
  std::unique_ptr<TFormatTplIni> FConstIni; // null: no template file
  QString FLastErrMsg;

  // The template file as it is now; empty without a file or when unreadable.
  TFormatTplIniDoc ReadDoc() const;
  // Reads the file, applies edit and writes the result at once. False (and
  // LastErrMsg) when there is no file, it cannot be read or replaced, or edit
  // fails (edit then sets FLastErrMsg itself).
  template <typename Edit> bool UpdateDoc(Edit edit);
  bool Fail(const QString &aMsg);
};
