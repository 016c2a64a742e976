#include "workflow/ListItems.h"

#include "media/FFDecode.h"

#include <QFileInfo>

QString ItemLineName(const QString &aLine) {
  const qsizetype eq = aLine.indexOf(u'=');
  return eq < 0 ? aLine : aLine.left(eq);
}

namespace {

// Index of the first line named aName in aValues, -1 when none.
qsizetype FindLine(const QStringList &aValues, const QString &aName) {
  for (qsizetype i = 0; i < aValues.size(); ++i)
    if (ItemLineName(aValues[i]).compare(aName, Qt::CaseInsensitive) == 0)
      return i;
  return -1;
}

void PutValue(TListRow &aRow, const QString &aName, const QString &aValue) {
  const qsizetype i = FindLine(aRow.Values, aName);
  if (aValue.isEmpty()) {
    if (i >= 0)
      aRow.Values.removeAt(i);
    return;
  }
  const QString line = aName + u'=' + aValue;
  if (i >= 0)
    aRow.Values[i] = line;
  else
    aRow.Values.append(line);
}

} // namespace

int TListItemStore::ResolveIndex(int aIndex) const {
  if (aIndex < 0)
    return FSelectedIndex;
  return aIndex < Count() ? aIndex : -1;
}

void TListItemStore::Changed() {
  if (OnChange)
    OnChange();
}

QString TListItemStore::Caption(int aIndex) const {
  const int i = ResolveIndex(aIndex);
  return i < 0 ? QString() : FRows[i].Caption;
}

QString TListItemStore::GetValue(const QString &aName, int aIndex) const {
  const int i = ResolveIndex(aIndex);
  if (i < 0)
    return QString();
  const QStringList &values = FRows[i].Values;
  const qsizetype line = FindLine(values, aName);
  if (line < 0)
    return QString();
  return values[line].mid(ItemLineName(values[line]).size() + 1);
}

void TListItemStore::SetValue(const QString &aName, const QString &aValue, int aIndex) {
  const int i = ResolveIndex(aIndex);
  if (i >= 0)
    PutValue(FRows[i], aName, aValue);
}

void TListItemStore::SetSelectedIndex(int aIndex) {
  const int value = (aIndex >= 0 && aIndex < Count()) ? aIndex : -1;
  if (value == FSelectedIndex)
    return;
  FSelectedIndex = value;
  if (value >= 0)
    FLastSelectedIndex = value;
  Changed();
}

int TListItemStore::Append(const QString &aCaption) {
  FRows.push_back(TListRow{aCaption, {}});
  return Count() - 1;
}

int TListItemStore::IndexOfValue(const QString &aName, const QString &aValue) const {
  for (int i = 0; i < Count(); ++i)
    if (GetValue(aName, i).compare(aValue, Qt::CaseInsensitive) == 0)
      return i;
  return -1;
}

bool TListItemStore::IsDVDItem(int aIndex) const {
  return GetValue(QStringLiteral("DVD"), aIndex).compare(u"True", Qt::CaseInsensitive) == 0;
}

TListItemStore::TAddResult TListItemStore::AddToList(const QString &aFileName,
                                                     TCustomDecoder &aDecoder, QString *aErrMsg) {
  if (aFileName.isEmpty()) {
    if (aErrMsg)
      *aErrMsg = QStringLiteral("empty file name");
    return arLoadError;
  }
  if (IndexOfValue(QStringLiteral("FileName"), aFileName) >= 0)
    return arDuplicate;

  aDecoder.CloseFile();
  if (!aDecoder.LoadFile(aFileName.toStdString())) {
    if (aErrMsg)
      *aErrMsg = QString::fromStdString(aDecoder.LastErrMsg());
    aDecoder.CloseFile();
    return arLoadError;
  }

  const int64_t duration = aDecoder.GetFileStreamInfo().Duration;
  TVideoStreamInfo video;
  if (aDecoder.FirstVideoStreamIndex() >= 0)
    video = aDecoder.GetFirstVideoStreamInfo();

  const int row = Append(QFileInfo(aFileName).fileName());
  TListRow &r = FRows[row];
  // The values in this order; "Hint" is stored empty, so it is no line.
  PutValue(r, QStringLiteral("Duration"), QString::number(duration < 0 ? 0 : duration));
  PutValue(r, QStringLiteral("Progress"), QStringLiteral("0"));
  PutValue(r, QStringLiteral("FileName"), aFileName);
  PutValue(r, QStringLiteral("State"), QString::number(isReady));
  PutValue(r, QStringLiteral("Sound"), QStringLiteral("100"));
  PutValue(r, QStringLiteral("Width"), QString::number(video.Width));
  PutValue(r, QStringLiteral("Height"), QString::number(video.Height));
  PutValue(r, QStringLiteral("Hint"), QString());

  FLastSelectedIndex = row;
  aDecoder.CloseFile();
  Changed();
  return arAdded;
}

void TListItemStore::AddDVDTitles(const QStringList &aParams, const QStringList &aDurations,
                                  const QStringList &aHeights, const QStringList &aWidths) {
  // Rows of the same titles go first, examined from the last to the first.
  for (int i = Count() - 1; i >= 0; --i) {
    const QString param = GetValue(QStringLiteral("DVDParam"), i);
    if (param.isEmpty())
      continue;
    for (const QString &p : aParams) {
      if (p.compare(param, Qt::CaseInsensitive) == 0) {
        FRows.erase(FRows.begin() + i);
        if (FSelectedIndex == i)
          FSelectedIndex = -1;
        else if (FSelectedIndex > i)
          --FSelectedIndex;
        break;
      }
    }
  }

  for (qsizetype i = 0; i < aParams.size(); ++i) {
    const QString &param = aParams[i];
    // The drive: the three characters after the "opendvd:" prefix.
    const QString caption = QStringLiteral("[DVD]Title #") + QString::number(i + 1) +
                            QStringLiteral(" from ") + param.mid(8, 3);
    TListRow &r = FRows[Append(caption)];
    PutValue(r, QStringLiteral("DVD"), QStringLiteral("True"));
    PutValue(r, QStringLiteral("Duration"), aDurations.value(i));
    PutValue(r, QStringLiteral("Progress"), QStringLiteral("0"));
    PutValue(r, QStringLiteral("DVDParam"), param);
    PutValue(r, QStringLiteral("State"), QString::number(isReady));
    PutValue(r, QStringLiteral("Sound"), QStringLiteral("100"));
    PutValue(r, QStringLiteral("DVDTitleID"), QString::number(i + 1));
    PutValue(r, QStringLiteral("Width"), aWidths.value(i));
    PutValue(r, QStringLiteral("Height"), aHeights.value(i));
  }
  Changed();
}

bool TListItemStore::Delete(int aIndex) {
  if (aIndex < 0 || aIndex >= Count())
    return false;
  FRows.erase(FRows.begin() + aIndex);
  if (FSelectedIndex == aIndex)
    FSelectedIndex = -1;
  else if (FSelectedIndex > aIndex)
    --FSelectedIndex;
  Changed();
  return true;
}

void TListItemStore::Clear() {
  FRows.clear();
  FSelectedIndex = -1;
  Changed();
}

bool TListItemStore::MoveUp(int aIndex) {
  if (aIndex <= 0 || aIndex >= Count())
    return false;
  const TListRow copy = FRows[aIndex];
  FRows.insert(FRows.begin() + (aIndex - 1), copy);
  FRows.erase(FRows.begin() + aIndex + 1);
  FSelectedIndex = aIndex - 1;
  FLastSelectedIndex = FSelectedIndex;
  Changed();
  return true;
}

bool TListItemStore::MoveDown(int aIndex) {
  if (aIndex < 0 || aIndex >= Count() - 1)
    return false;
  const TListRow copy = FRows[aIndex];
  FRows.insert(FRows.begin() + (aIndex + 2), copy);
  FRows.erase(FRows.begin() + aIndex);
  FSelectedIndex = aIndex + 1;
  FLastSelectedIndex = FSelectedIndex;
  Changed();
  return true;
}

int TListItemStore::SelectFirst() {
  int found = -1;
  for (int i = 0; i < Count(); ++i) {
    if (GetValue(QStringLiteral("State"), i) == QString::number(isReady)) {
      found = i;
      break;
    }
  }
  SetSelectedIndex(found);
  return FSelectedIndex;
}
