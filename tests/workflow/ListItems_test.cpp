// Source item store: value rules, file and DVD adds, removal, moves and
// selection.

#include "media/FFDecode.h"
#include "workflow/ListItems.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <QString>

namespace {

QString Q(const std::string &s) {
  return QString::fromStdString(s);
}

class ListItemsTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(FDecoder.LoadAVLib("")) << FDecoder.LastErrMsg(); }
  TFFDecoder FDecoder;
  TListItemStore FList;
};

} // namespace

TEST(ListItemStore, ValueRules) {
  TListItemStore list;
  list.AddDVDTitles({"opendvd:/dev/sr0|1"}, {"100"}, {"576"}, {"720"});
  ASSERT_EQ(list.Count(), 1);

  // Lookup ignores case; absent reads empty; new names append in order.
  EXPECT_EQ(list.GetValue("dvdparam", 0), "opendvd:/dev/sr0|1");
  EXPECT_EQ(list.GetValue("TrimStart", 0), "");
  list.SetValue("TrimStart", "12", 0);
  EXPECT_EQ(list.Row(0).Values.last(), "TrimStart=12");
  // Storing under another spelling replaces the first line in place.
  list.SetValue("STATE", "13", 0);
  EXPECT_EQ(list.GetValue("State", 0), "13");
  EXPECT_EQ(list.Row(0).Values.filter("state=", Qt::CaseInsensitive).size(), 1);
  // An empty value removes the line: same as never set.
  const auto before = list.Row(0).Values.size();
  list.SetValue("Sound", "", 0);
  EXPECT_EQ(list.GetValue("Sound", 0), "");
  EXPECT_EQ(list.Row(0).Values.size(), before - 1);
  // A value may hold '='.
  list.SetValue("Hint", "a=b", 0);
  EXPECT_EQ(list.GetValue("hint", 0), "a=b");

  // Rows out of range and "selected" without a selection read empty and
  // ignore writes.
  EXPECT_EQ(list.GetValue("DVD", 1), "");
  EXPECT_EQ(list.GetValue("DVD", -1), "");
  list.SetValue("X", "1", 5);
  list.SetValue("X", "1", -1);
  EXPECT_EQ(list.GetValue("X", 0), "");
  list.SetSelectedIndex(0);
  EXPECT_EQ(list.GetValue("DVD", -1), "True");
  list.SetValue("X", "1", -1);
  EXPECT_EQ(list.GetValue("X", 0), "1");
  list.SetSelectedIndex(7);
  EXPECT_EQ(list.SelectedIndex(), -1);
}

TEST(ListItemStore, DVDTitlesReplaceRowsOfTheSameTitles) {
  TListItemStore list;
  list.AddDVDTitles({"opendvd:/dev/sr0|1", "opendvd:/dev/sr0|2"}, {"10", "20"}, {"576", "480"},
                    {"720", "704"});
  list.AddDVDTitles({"opendvd:/media/x|1"}, {"30"}, {"576"}, {"720"});
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Caption(0), "[DVD]Title #1 from /de");
  EXPECT_EQ(list.Caption(1), "[DVD]Title #2 from /de");
  EXPECT_EQ(list.Row(0).Values,
            QStringList({"DVD=True", "Duration=10", "Progress=0", "DVDParam=opendvd:/dev/sr0|1",
                         "State=6", "Sound=100", "DVDTitleID=1", "Width=720", "Height=576"}));
  EXPECT_EQ(list.GetValue("DVDTitleID", 1), "2");
  EXPECT_EQ(list.GetValue("Height", 1), "480");

  // Adding titles of the first disc again (other letter case) replaces its
  // rows; the other disc's row stays.
  list.SetSelectedIndex(2);
  list.AddDVDTitles({"OPENDVD:/dev/sr0|2", "opendvd:/dev/sr0|1"}, {"21", "11"}, {"1", "1"},
                    {"1", "1"});
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetValue("DVDParam", 0), "opendvd:/media/x|1");
  EXPECT_EQ(list.SelectedIndex(), 0); // the selection followed its row
  EXPECT_EQ(list.GetValue("Duration", 1), "21");
  EXPECT_EQ(list.GetValue("DVDTitleID", 2), "2");
  EXPECT_TRUE(list.IsDVDItem(1));
}

TEST(ListItemStore, RemoveMoveAndSelectFirst) {
  TListItemStore list;
  int changes = 0;
  list.OnChange = [&] { ++changes; };
  list.AddDVDTitles({"opendvd:a", "opendvd:b", "opendvd:c"}, {}, {}, {});
  EXPECT_EQ(changes, 1);
  for (int i = 0; i < 3; ++i)
    list.SetValue("State", "16", i);
  EXPECT_EQ(list.SelectFirst(), -1); // nothing in state 6
  list.SetValue("State", "6", 2);
  EXPECT_EQ(list.SelectFirst(), 2);

  // Move the last row up twice; moving the first up does nothing.
  EXPECT_FALSE(list.MoveDown(2));
  EXPECT_TRUE(list.MoveUp(2));
  EXPECT_TRUE(list.MoveUp(1));
  EXPECT_FALSE(list.MoveUp(0));
  EXPECT_EQ(list.GetValue("DVDParam", 0), "opendvd:c");
  EXPECT_EQ(list.GetValue("DVDParam", 1), "opendvd:a");
  EXPECT_EQ(list.SelectedIndex(), 0);
  EXPECT_EQ(list.Row(0).Caption, "[DVD]Title #3 from c");
  EXPECT_TRUE(list.MoveDown(0));
  EXPECT_EQ(list.GetValue("DVDParam", 1), "opendvd:c");
  EXPECT_EQ(list.SelectedIndex(), 1);

  // Deleting the selected last row leaves FLastSelectedIndex past the end.
  EXPECT_TRUE(list.MoveDown(1));
  EXPECT_TRUE(list.Delete(2));
  EXPECT_EQ(list.SelectedIndex(), -1);
  EXPECT_GE(list.FLastSelectedIndex, list.Count());
  EXPECT_FALSE(list.Delete(2));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(ListItemsTest, AddFileProbesOnceAndSkipsDuplicatesWithoutRegardToCase) {
  vmtest::TempDir dir;
  const std::string clip = dir.File("Clip.mp4");
  std::filesystem::copy_file(vmtest::ClipMp4(), clip);

  EXPECT_EQ(FList.AddToList(Q(clip), FDecoder), TListItemStore::arAdded);
  ASSERT_EQ(FList.Count(), 1);
  EXPECT_EQ(FList.Caption(0), "Clip.mp4");
  const QStringList values = FList.Row(0).Values;
  ASSERT_EQ(values.size(), 7);
  EXPECT_TRUE(values[0].startsWith("Duration="));
  const qlonglong duration = FList.GetValue("Duration", 0).toLongLong();
  EXPECT_GT(duration, 1900000);
  EXPECT_LT(duration, 2200000);
  EXPECT_EQ(values.mid(1), QStringList({"Progress=0", "FileName=" + Q(clip), "State=6", "Sound=100",
                                        "Width=320", "Height=240"}));
  EXPECT_EQ(FList.FLastSelectedIndex, 0);
  EXPECT_EQ(FDecoder.FileName(), ""); // closed again

  // The same path in other letter case is never probed, so it need not exist.
  QString upper = Q(clip);
  upper.replace("Clip.mp4", "CLIP.MP4");
  EXPECT_EQ(FList.AddToList(upper, FDecoder), TListItemStore::arDuplicate);
  EXPECT_EQ(FList.Count(), 1);
}

TEST_F(ListItemsTest, FilesTheDecoderCannotOpenAreNotAdded) {
  vmtest::TempDir dir;
  ASSERT_TRUE(vmtest::WriteFile(dir.File("notes.avi"), "this is not a video"));
  QString err;
  EXPECT_EQ(FList.AddToList(Q(dir.File("notes.avi")), FDecoder, &err), TListItemStore::arLoadError);
  EXPECT_FALSE(err.isEmpty());
  err.clear();
  EXPECT_EQ(FList.AddToList(Q(dir.File("missing.mp4")), FDecoder, &err),
            TListItemStore::arLoadError);
  EXPECT_FALSE(err.isEmpty());
  EXPECT_EQ(FList.Count(), 0);

  // An audio-only file is added with unknown picture size.
  EXPECT_EQ(FList.AddToList(Q(vmtest::ClipAudioOnly()), FDecoder), TListItemStore::arAdded);
  EXPECT_EQ(FList.GetValue("Width", 0), "-1");
}
