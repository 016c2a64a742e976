#pragma once
// Option assembly: turns one source item and the chosen output profile into
// the two option records of an encoder task, and names the output file.
//
// Inputs: the setting "LastTpl" (the current profile; an index outside the
// template library means profile 0), the profile resolved with the user's
// parameter overrides, the item's values in the source item store, the file
// open in the preview decoder (file items) and the destination folder.
// TfrmCore wraps this class; videomill-cli uses it directly.
//
// Main thread only. Widget-free (QtCore).

#include "engine/FFOptions.h"
#include "profiles/uFormatTemplate.h"

#include <QSet>
#include <QString>

#include <functional>

class TCustomDecoder;
class TListItemStore;

// Joins a folder and a file name: an absolute name is returned as it is; an
// empty folder gives the name; otherwise folder + '/' (unless the folder
// already ends with one) + name.
QString JoinPath(const QString &aFolder, const QString &aName);

// The AAC encoder to use: "libfaac" when the loaded media libraries have an
// encoder of that name, else FFmpeg's own "aac". Asked afresh on every call.
QString AACEncoderChoice();

// The video filter chain of a file item (crop, letterbox pad, scale), joined
// with ','. aWidth/aHeight: the source's first video stream; aLeft..aBottom:
// pixels cut from each edge (negative values count as 0); aVideoSize: the
// profile's "video_size" (width "x" height). aFrameSize: the output frame
// size; when not empty it becomes the scale filter and is emptied. Crop and
// pad are left out when the source size is unknown or the crop leaves no
// picture.
QString BuildVideoFilters(int aWidth, int aHeight, int aLeft, int aTop, int aRight, int aBottom,
                          const QString &aVideoSize, QString &aFrameSize, bool aFileItem = true);

class TOptionAssembly {
public:
  // All three must outlive the assembly. aDecoder: the preview decoder in
  // which the controller opens an item's file before its options are built.
  TOptionAssembly(TFormatTpl &aTpl, TListItemStore &aList, TCustomDecoder &aDecoder);
  TOptionAssembly(const TOptionAssembly &) = delete;
  TOptionAssembly &operator=(const TOptionAssembly &) = delete;

  TFormatTpl &GetTpl() { return FTpl; }

  // Destination folder of the outputs (the output panel's folder text).
  QString FDestPath;

  // The overwrite question ("MsgBox.OverwriteExists" with the output file's
  // name without folder): true (Yes) keeps the name and the existing file is
  // replaced; false gives a numbered name. Unset = always false, so an
  // existing file is never replaced without an answer.
  std::function<bool(const QString &aFileName)> OnOverwriteQuestion;

  // "LastTpl", or 0 when it is not an index of the template library.
  int CurrentTplIndex() const;
  // The current profile with the user's stored parameter values applied.
  tagTplItem CurrentTplItem() const;

  // Input record of row aIndex; the row's file must be open in the decoder.
  TInputOptions GetInputOptions(int aIndex);
  // Output record of row aIndex. May ask the overwrite question; stores the
  // chosen path as the row's "OutputFileName" and reserves it for the rest of
  // the batch.
  TOutputOptions GetOutputOptions(int aIndex);

  // Forgets the output names chosen so far (start of a batch). Within a batch
  // a name chosen for one item is never chosen again for another, even when
  // its file does not exist yet, so two sources with the same base name do
  // not write to the same file.
  void ClearReservedNames() { FReservedNames.clear(); }

private:
  // True when aPath may not be used as it is: an existing file, a name
  // reserved by an earlier item of this batch, or the source file itself.
  bool NameTaken(const QString &aPath, const QString &aSource, bool &aOnDisk) const;
  QString ChooseOutputName(const QString &aBase, const QString &aExt, const QString &aSource);

  TFormatTpl &FTpl;
  TListItemStore &FList;
  TCustomDecoder &FDecoder;
  QSet<QString> FReservedNames;
};
