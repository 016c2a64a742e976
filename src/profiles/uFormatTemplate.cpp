#include "profiles/uFormatTemplate.h"

#include "services/CLSettings.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <array>

namespace {

const QString kGlobal = QStringLiteral("global");
const QString kCount = QStringLiteral("count");
const QString kDictionary = QStringLiteral("dictionary");
const QString kDefaultCaption = QStringLiteral("default");
const QString kCrLf = QStringLiteral("\r\n");

bool SameText(const QString &a, const QString &b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The eight parameter fields in TplParamNames() order.
constexpr std::array<QString tagTplItem::*, 8> kParamFields = {
    &tagTplItem::video_size,    &tagTplItem::video_framerate,  &tagTplItem::video_encoder,
    &tagTplItem::video_bitrate, &tagTplItem::audio_samplerate, &tagTplItem::audio_channel,
    &tagTplItem::audio_encoder, &tagTplItem::audio_bitrate};

int ParamIndex(const QString &aName) {
  const QStringList &names = TplParamNames();
  for (int i = 0; i < names.size(); ++i)
    if (SameText(names[i], aName))
      return i;
  return -1;
}

QString SectionOf(int aIndex) {
  return QString::number(aIndex);
}

int CountOf(const TFormatTplIniDoc &doc) {
  return qBound(0, doc.ReadInteger(kGlobal, kCount, 0), TFormatTpl::kMaxTplCount);
}

// Value and caption of a dictionary entry: the text before and after its
// first '$'; without '$' the entry is both.
QString EntryValue(const QString &entry) {
  const qsizetype dollar = entry.indexOf(u'$');
  return dollar < 0 ? entry : entry.left(dollar).trimmed();
}

QString EntryCaption(const QString &entry) {
  const qsizetype dollar = entry.indexOf(u'$');
  return dollar < 0 ? entry : entry.mid(dollar + 1).trimmed();
}

// Adds text to aSL unless an equal text (without regard to case) is there.
void AddDistinct(QStringList &aSL, QSet<QString> &seen, const QString &text) {
  const QString folded = text.toCaseFolded();
  if (!seen.contains(folded)) {
    seen.insert(folded);
    aSL.append(text);
  }
}

} // namespace

const QStringList &TplParamNames() {
  static const QStringList names = {
      QStringLiteral("video_size"),       QStringLiteral("video_framerate"),
      QStringLiteral("video_encoder"),    QStringLiteral("video_bitrate"),
      QStringLiteral("audio_samplerate"), QStringLiteral("audio_channel"),
      QStringLiteral("audio_encoder"),    QStringLiteral("audio_bitrate")};
  return names;
}

QString TplSettingKey(int aIndex, const QString &aName) {
  return QString::number(aIndex) + QStringLiteral("__") + aName;
}

QString *tagTplItem::Param(const QString &aName) {
  const int i = ParamIndex(aName);
  return i < 0 ? nullptr : &(this->*kParamFields[size_t(i)]);
}

const QString *tagTplItem::Param(const QString &aName) const {
  const int i = ParamIndex(aName);
  return i < 0 ? nullptr : &(this->*kParamFields[size_t(i)]);
}

// ---------------------------------------------------------------------------
// TFormatDictionary

TFormatDictionary::TFormatDictionary(const QString &aDataStr) {
  SetData(aDataStr);
}

void TFormatDictionary::SetData(const QString &aDataStr) {
  static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
  FStrings = aDataStr.split(lineBreak, Qt::SkipEmptyParts);
}

QString TFormatDictionary::GetString(const QString &aName) const {
  for (const QString &line : FStrings) {
    const qsizetype eq = line.indexOf(u'=');
    if (eq >= 0 && SameText(line.left(eq).trimmed(), aName))
      return line.mid(eq + 1);
  }
  return QString();
}

void TFormatDictionary::GetList(const QString &aName, QStringList &aSL) const {
  aSL.clear();
  QSet<QString> seen;
  for (const QString &piece : GetString(aName).split(u';')) {
    const QString entry = piece.trimmed();
    if (!entry.isEmpty())
      AddDistinct(aSL, seen, entry);
  }
}

void TFormatDictionary::GetCaptionList(const QString &aName, QStringList &aSL) const {
  QStringList entries;
  GetList(aName, entries);
  aSL.clear();
  for (const QString &entry : entries) {
    const QString caption = EntryCaption(entry);
    if (!caption.isEmpty() && !SameText(caption, kDefaultCaption))
      aSL.append(caption);
  }
}

void TFormatDictionary::GetValueList(const QString &aName, QStringList &aSL) const {
  QStringList entries;
  GetList(aName, entries);
  for (const QString &entry : entries)
    if (!SameText(EntryCaption(entry), kDefaultCaption))
      aSL.append(EntryValue(entry));
}

QString TFormatDictionary::GetItembyIndex(const QString &aName, int aIndex) const {
  QStringList entries;
  GetList(aName, entries);
  return aIndex >= 0 && aIndex < entries.size() ? entries[aIndex] : QString();
}

QString TFormatDictionary::GetItemCaptionByIndex(const QString &aName, int aIndex) const {
  const QString entry = GetItembyIndex(aName, aIndex);
  return entry.isEmpty() ? QString() : EntryCaption(entry);
}

QString TFormatDictionary::GetItemValueByIndex(const QString &aName, int aIndex) const {
  const QString entry = GetItembyIndex(aName, aIndex);
  return entry.isEmpty() ? QString() : EntryValue(entry);
}

QString TFormatDictionary::GetItemCaptionByValue(const QString &aName,
                                                 const QString &aValue) const {
  QStringList entries;
  GetList(aName, entries);
  for (const QString &entry : entries) {
    const QString caption = EntryCaption(entry);
    if (SameText(EntryValue(entry), aValue) && !SameText(caption, kDefaultCaption))
      return caption;
  }
  return QString();
}

QString TFormatDictionary::GetItemValueByCaption(const QString &aName,
                                                 const QString &aCaption) const {
  QStringList entries;
  GetList(aName, entries);
  for (const QString &entry : entries)
    if (SameText(EntryCaption(entry), aCaption))
      return EntryValue(entry);
  return QString();
}

// ---------------------------------------------------------------------------
// TFormatTpl

TFormatTpl::TFormatTpl(const QString &aConstFileName, const QString &aStoredFileName) {
  Q_UNUSED(aStoredFileName);
  if (!aConstFileName.isEmpty() && QFileInfo(aConstFileName).isFile()) {
    FConstFileName = aConstFileName;
    FConstIni = std::make_unique<TFormatTplIni>(aConstFileName);
  }
}

TFormatTpl::~TFormatTpl() = default;

TFormatTplIniDoc TFormatTpl::ReadDoc() const {
  TFormatTplIniDoc doc;
  if (FConstIni)
    FConstIni->Read(doc);
  return doc;
}

bool TFormatTpl::Fail(const QString &aMsg) {
  FLastErrMsg = aMsg;
  return false;
}

template <typename Edit> bool TFormatTpl::UpdateDoc(Edit edit) {
  FLastErrMsg.clear();
  if (!FConstIni)
    return Fail(QStringLiteral("no template file"));
  TFormatTplIniDoc doc;
  QString error;
  if (!FConstIni->Read(doc, &error))
    return Fail(error);
  if (!edit(doc))
    return false;
  if (!FConstIni->Write(doc, &error))
    return Fail(error);
  return true;
}

int TFormatTpl::GetCount() const {
  return CountOf(ReadDoc());
}

void TFormatTpl::GetDeviceList(QStringList &aSL) const {
  aSL.clear();
  const TFormatTplIniDoc doc = ReadDoc();
  QSet<QString> seen;
  for (int i = 0, n = CountOf(doc); i < n; ++i)
    AddDistinct(aSL, seen, doc.ReadString(SectionOf(i), QStringLiteral("device")));
}

void TFormatTpl::GetBrandList(const QString &aDevice, QStringList &aSL) const {
  aSL.clear();
  const TFormatTplIniDoc doc = ReadDoc();
  QSet<QString> seen;
  for (int i = 0, n = CountOf(doc); i < n; ++i) {
    const QString section = SectionOf(i);
    if (SameText(doc.ReadString(section, QStringLiteral("device")), aDevice))
      AddDistinct(aSL, seen, doc.ReadString(section, QStringLiteral("brand")));
  }
}

void TFormatTpl::GetModalList(const QString &aDevice, const QString &aBrand,
                              QStringList &aSL) const {
  aSL.clear();
  const TFormatTplIniDoc doc = ReadDoc();
  QSet<QString> seen;
  for (int i = 0, n = CountOf(doc); i < n; ++i) {
    const QString section = SectionOf(i);
    if (SameText(doc.ReadString(section, QStringLiteral("device")), aDevice) &&
        SameText(doc.ReadString(section, QStringLiteral("brand")), aBrand))
      AddDistinct(aSL, seen, doc.ReadString(section, QStringLiteral("modal")));
  }
}

void TFormatTpl::GetSIDList(const QString &aDevice, const QString &aBrand, const QString &aModal,
                            QStringList &aSL) const {
  aSL.clear();
  const TFormatTplIniDoc doc = ReadDoc();
  for (int i = 0, n = CountOf(doc); i < n; ++i) {
    const QString section = SectionOf(i);
    if (SameText(doc.ReadString(section, QStringLiteral("device")), aDevice) &&
        SameText(doc.ReadString(section, QStringLiteral("brand")), aBrand) &&
        SameText(doc.ReadString(section, QStringLiteral("modal")), aModal))
      aSL.append(doc.ReadString(section, QStringLiteral("sid")));
  }
}

void TFormatTpl::GetNameList(QStringList &aSL) const {
  aSL.clear();
  const TFormatTplIniDoc doc = ReadDoc();
  for (int i = 0, n = CountOf(doc); i < n; ++i)
    aSL.append(doc.ReadString(SectionOf(i), QStringLiteral("name")));
}

namespace {

QString CaptionOf(const TFormatTplIniDoc &doc, int aIndex) {
  const QString section = SectionOf(aIndex);
  return doc.ReadString(section, QStringLiteral("name")) + u'(' +
         doc.ReadString(section, QStringLiteral("format")) + u')';
}

} // namespace

void TFormatTpl::GetCaptionList(QStringList &aSL) const {
  aSL.clear();
  const TFormatTplIniDoc doc = ReadDoc();
  for (int i = 0, n = CountOf(doc); i < n; ++i)
    aSL.append(CaptionOf(doc, i));
}

int TFormatTpl::GetTplItemIndexfromCaption(const QString &aCaption) const {
  const TFormatTplIniDoc doc = ReadDoc();
  for (int i = 0, n = CountOf(doc); i < n; ++i)
    if (SameText(CaptionOf(doc, i), aCaption))
      return i;
  return -1;
}

int TFormatTpl::SeekTplItemIndex(const QString &aDevice, const QString &aBrand,
                                 const QString &aModal, const QString &aSid) const {
  const TFormatTplIniDoc doc = ReadDoc();
  for (int i = 0, n = CountOf(doc); i < n; ++i) {
    const QString section = SectionOf(i);
    if (SameText(doc.ReadString(section, QStringLiteral("device")), aDevice) &&
        SameText(doc.ReadString(section, QStringLiteral("brand")), aBrand) &&
        SameText(doc.ReadString(section, QStringLiteral("modal")), aModal) &&
        SameText(doc.ReadString(section, QStringLiteral("sid")), aSid))
      return i;
  }
  return -1;
}

tagTplItem TFormatTpl::GetTplItembyIndex(int aIndex, bool aDefault) const {
  const TFormatTplIniDoc doc = ReadDoc();
  const QString section = SectionOf(aIndex);
  tagTplItem item;
  item.name = doc.ReadString(section, QStringLiteral("name"));
  item.device = doc.ReadString(section, QStringLiteral("device"));
  item.brand = doc.ReadString(section, QStringLiteral("brand"));
  item.modal = doc.ReadString(section, QStringLiteral("modal"));
  item.sid = doc.ReadString(section, QStringLiteral("sid"));
  item.pic = doc.ReadString(section, QStringLiteral("pic"));
  for (const QString &key : doc.ReadSection(section))
    item.datastr += key + u'=' + doc.ReadString(section, key) + kCrLf;
  const TFormatDictionary dic(item.datastr);
  item.format = doc.ReadString(section, QStringLiteral("format"));
  item.video_enabled = doc.ReadBool(section, QStringLiteral("video_enabled"), true);
  item.audio_enabled = doc.ReadBool(section, QStringLiteral("audio_enabled"), true);
  for (const QString &param : TplParamNames())
    *item.Param(param) = GetSettingValue(aIndex, param, dic, aDefault);
  return item;
}

QString TFormatTpl::GetSettingValue(int aIndex, const QString &aName, const TFormatDictionary &aDic,
                                    bool aDefault) const {
  const QString stored = Settings()->GetSettingString(TplSettingKey(aIndex, aName));
  if (aDefault || stored.isEmpty())
    return aDic.GetItemValueByCaption(aName, kDefaultCaption);
  return stored;
}

bool TFormatTpl::SetSettingValue(int aIndex, const QString &aName, const QString &aValue) {
  FLastErrMsg.clear();
  if (!Settings()->SetSettingstring(TplSettingKey(aIndex, aName), aValue))
    return Fail(Settings()->LastError().isEmpty()
                    ? QStringLiteral("the setting could not be stored")
                    : Settings()->LastError());
  return true;
}

tagTplItem TFormatTpl::GetTplItemSourcebyIndex(int aIndex) const {
  const TFormatTplIniDoc doc = ReadDoc();
  const QString section = SectionOf(aIndex);
  tagTplItem item;
  item.name = doc.ReadString(section, QStringLiteral("name"));
  item.device = doc.ReadString(section, QStringLiteral("device"));
  item.brand = doc.ReadString(section, QStringLiteral("brand"));
  item.modal = doc.ReadString(section, QStringLiteral("modal"));
  item.format = doc.ReadString(section, QStringLiteral("format"));
  item.sid = doc.ReadString(section, QStringLiteral("sid"));
  item.video_enabled = doc.ReadBool(section, QStringLiteral("video_enabled"), true);
  item.audio_enabled = doc.ReadBool(section, QStringLiteral("audio_enabled"), true);
  for (const QString &param : TplParamNames())
    *item.Param(param) = doc.ReadString(section, param);
  item.pic = doc.ReadString(section, QStringLiteral("pic"));
  return item;
}

bool TFormatTpl::SetTplItemSource(int aIndex, const tagTplItem &aItem) {
  if (aIndex < 0 || aIndex >= kMaxTplCount)
    return Fail(QStringLiteral("profile index %1 out of range").arg(aIndex));
  return UpdateDoc([&](TFormatTplIniDoc &doc) {
    const QString section = SectionOf(aIndex);
    const QString one = QStringLiteral("1"), zero = QStringLiteral("0");
    std::vector<std::pair<QString, QString>> values = {
        {QStringLiteral("name"), aItem.name},
        {QStringLiteral("device"), aItem.device},
        {QStringLiteral("brand"), aItem.brand},
        {QStringLiteral("modal"), aItem.modal},
        {QStringLiteral("format"), aItem.format},
        {QStringLiteral("sid"), aItem.sid},
        {QStringLiteral("pic"), aItem.pic},
        {QStringLiteral("video_enabled"), aItem.video_enabled ? one : zero},
        {QStringLiteral("audio_enabled"), aItem.audio_enabled ? one : zero}};
    for (const QString &param : TplParamNames())
      values.emplace_back(param, *aItem.Param(param));
    for (const auto &[key, value] : values)
      if (!doc.WriteString(section, key, value))
        return Fail(QStringLiteral("value of \"%1\" cannot be stored (line break)").arg(key));
    if (aIndex >= CountOf(doc))
      doc.WriteString(kGlobal, kCount, QString::number(aIndex + 1));
    return true;
  });
}

bool TFormatTpl::DeleteItem(int aIndex) {
  return UpdateDoc([&](TFormatTplIniDoc &doc) {
    const int count = CountOf(doc);
    if (aIndex < 0 || aIndex >= count)
      return Fail(QStringLiteral("profile index %1 out of range").arg(aIndex));
    // Collect the later profiles' sections before renaming: ascending order
    // keeps each target name free (the one below was erased or moved).
    std::vector<int> later;
    for (const QString &name : doc.SectionNames()) {
      bool ok = false;
      const int i = name.toInt(&ok, 10);
      if (ok && name == SectionOf(i) && i > aIndex && i < count)
        later.push_back(i);
    }
    std::sort(later.begin(), later.end());
    doc.EraseSection(SectionOf(aIndex));
    for (const int i : later)
      doc.RenameSection(SectionOf(i), SectionOf(i - 1));
    doc.WriteString(kGlobal, kCount, QString::number(count - 1));
    return true;
  });
}

QString TFormatTpl::GetDictionarySourceStr() const {
  const TFormatTplIniDoc doc = ReadDoc();
  QString text;
  for (const QString &key : doc.ReadSection(kDictionary))
    text += key + u'=' + doc.ReadString(kDictionary, key) + kCrLf;
  return text;
}

bool TFormatTpl::SetDictionary(const QString &aName, const QStringList &aSL) {
  QString value;
  for (const QString &line : aSL)
    value += line + u';';
  if (!TFormatTplIniDoc::IsValidKeyName(aName))
    return Fail(QStringLiteral("invalid dictionary name \"%1\"").arg(aName));
  if (!TFormatTplIniDoc::IsValidValue(value))
    return Fail(QStringLiteral("dictionary \"%1\" cannot be stored (line break)").arg(aName));
  return UpdateDoc(
      [&](TFormatTplIniDoc &doc) { return doc.WriteString(kDictionary, aName, value); });
}

QSize TFormatTpl::GetSizeByString(const QString &aString, QSize aSize) {
  const QStringList pieces = aString.split(u'x');
  if (pieces.size() < 2)
    return aSize;
  bool ok = false;
  int width = pieces[0].trimmed().toInt(&ok, 10);
  if (!ok)
    width = 0;
  int height = pieces[1].trimmed().toInt(&ok, 10);
  if (!ok)
    height = 0;
  return QSize(width, height);
}
