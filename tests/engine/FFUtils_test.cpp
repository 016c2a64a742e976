#include "engine/FFApi.h"
#include "engine/FFLoad.h"
#include "engine/FFUtils.h"

#include "support/TestMedia.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(FFErrorText, KnownAndUnknownCodes) {
  EXPECT_EQ(GetErrorText("/tmp/a.mp4", -2), "/tmp/a.mp4: No such file or directory");
  EXPECT_EQ(GetErrorText("x", -99999), "x: Error number -99999 occurred");
  EXPECT_EQ(GetErrorText("x", 0), "x: Error number 0 occurred");
  // FFmpeg's tags are the numbers of the table.
  EXPECT_EQ(AVERROR_MUXER_NOT_FOUND, -1481985528);
  EXPECT_EQ(GetErrorText("out.xyz", AVERROR_MUXER_NOT_FOUND), "out.xyz: Muxer not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_STREAM_NOT_FOUND), "Stream not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_PROTOCOL_NOT_FOUND), "Protocol not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_DEMUXER_NOT_FOUND), "Demuxer not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_FILTER_NOT_FOUND), "Filter not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_BSF_NOT_FOUND), "Bitstream filter not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_PATCHWELCOME), "Not yet implemented in FFmpeg");
  EXPECT_EQ(ErrorCodeText(AVERROR_ENCODER_NOT_FOUND), "Encoder not found");
  EXPECT_EQ(ErrorCodeText(AVERROR_DECODER_NOT_FOUND), "Decoder not found");
  // Socket-only codes, pairs (both members), system numbers only.
  EXPECT_EQ(ErrorCodeText(-11004), "WSANO_DATA");
  EXPECT_EQ(ErrorCodeText(-10035), "WSAEWOULDBLOCK");
  EXPECT_EQ(ErrorCodeText(-10071), "Object is remote");
  EXPECT_EQ(ErrorCodeText(-66), "Object is remote");
  EXPECT_EQ(ErrorCodeText(AVERROR(EINVAL)),
            "Invalid argument / Invalid data found when processing input");
  EXPECT_EQ(ErrorCodeText(-10022), ErrorCodeText(-22));
  EXPECT_EQ(ErrorCodeText(-10004), "Interrupted function call");
  EXPECT_EQ(ErrorCodeText(AVERROR(ETIMEDOUT)), "Connection timed out");
  EXPECT_EQ(ErrorCodeText(-131), "State not recoverable");
  EXPECT_EQ(ErrorCodeText(-81), ".lib section in a.out corrupted");
  EXPECT_EQ(ErrorCodeText(-12), "Not enough space / Out of memory");
  EXPECT_EQ(ErrorCodeText(-1), "Operation not permitted");
  EXPECT_EQ(ErrorCodeText(-58), "Error number -58 occurred"); // a gap in the table
  EXPECT_EQ(ErrorCodeText(AVERROR_EOF), "Error number -541478725 occurred");
}

TEST(FFFileNames, PassUnchangedAndDecodeUnicodePrefix) {
  EXPECT_EQ(FileNameToFF("/tmp/vidéo ünï 映画.mp4"), "/tmp/vidéo ünï 映画.mp4");
  EXPECT_EQ(FileNameToFF("http://host/a.flv"), "http://host/a.flv");
  EXPECT_EQ(FileNameFromFF("unicode:utf8:/tmp/映画.mp4"), "/tmp/映画.mp4");
  EXPECT_EQ(FileNameFromFF("unicode:utf8:"), "unicode:utf8:"); // not longer than the prefix
  EXPECT_EQ(FileNameFromFF("/tmp/a.mp4"), "/tmp/a.mp4");
}

bool AnswerTrue(void *, void *) {
  return true;
}
bool AnswerFalse(void *, void *) {
  return false;
}
bool AnswerData(void *, void *AData) {
  return static_cast<std::atomic<bool> *>(AData)->load();
}

class FFInterruptTest : public ::testing::Test {
protected:
  void SetUp() override { InterruptCB().Clear(); }
  void TearDown() override { InterruptCB().Clear(); }
};

TEST_F(FFInterruptTest, FirstEntryOfTheThreadDecides) {
  TInterruptCB &reg = InterruptCB();
  std::thread::id me = std::this_thread::get_id();
  int senderA = 0, senderB = 0;
  EXPECT_FALSE(reg.Interrupt(me)); // empty

  reg.Add(me, &senderA, AnswerFalse, nullptr);
  reg.Add(me, &senderB, AnswerTrue, nullptr);
  reg.Add(me, &senderA, AnswerFalse, nullptr); // duplicate: ignored
  EXPECT_EQ(reg.Count(), 2u);
  EXPECT_FALSE(reg.Interrupt(me)); // first entry answers

  reg.Remove(me, &senderA, AnswerTrue); // callback differs: nothing removed
  EXPECT_EQ(reg.Count(), 2u);
  reg.Remove(me, &senderA, AnswerFalse);
  EXPECT_EQ(reg.Count(), 1u);
  EXPECT_TRUE(reg.Interrupt(me));

  reg.Clear();
  EXPECT_EQ(reg.Count(), 0u);
  EXPECT_FALSE(reg.Interrupt(me));
}

TEST_F(FFInterruptTest, EntriesBelongToTheirThread) {
  std::atomic<bool> stopWorker{false}, registered{false}, finish{false};
  std::atomic<int> workerAnswer{-1};
  AVIOInterruptCB cb = FFInterruptCallback();
  std::thread worker([&] {
    InterruptCB().Add(std::this_thread::get_id(), nullptr, AnswerData, &stopWorker);
    registered = true;
    while (!finish)
      std::this_thread::yield();
    workerAnswer = cb.callback(cb.opaque);
    InterruptCB().Remove(std::this_thread::get_id(), nullptr, AnswerData);
  });
  while (!registered)
    std::this_thread::yield();
  EXPECT_TRUE(InterruptCB().Interrupt(worker.get_id()) == false);
  stopWorker = true;
  EXPECT_TRUE(InterruptCB().Interrupt(worker.get_id()));
  EXPECT_EQ(cb.callback(cb.opaque), 0); // the main thread has no entry
  finish = true;
  worker.join();
  EXPECT_EQ(workerAnswer, 1);
  EXPECT_EQ(InterruptCB().Count(), 0u);
}

class FFFormatContextTest : public FFInterruptTest {
protected:
  void SetUp() override {
    FFInterruptTest::SetUp();
    FFLoader().SetLibraryPath("");
    ASSERT_TRUE(FFLoader().Load(DecoderLibraries)) << FFLoader().LastErrMsg();
  }
};

TEST_F(FFFormatContextTest, InterruptedOpenFailsWithExit) {
  std::string clip = vmtest::ClipMp4();
  ASSERT_FALSE(clip.empty());
  int sender = 0;
  InterruptCB().Add(std::this_thread::get_id(), &sender, AnswerTrue, nullptr);
  AVFormatContext *raw = nullptr;
  int ret = FFOpenInput(&raw, FileNameToFF(clip).c_str(), nullptr, nullptr);
  EXPECT_EQ(ret, AVERROR_EXIT);
  EXPECT_EQ(raw, nullptr);

  InterruptCB().Remove(std::this_thread::get_id(), &sender, AnswerTrue);
  ret = FFOpenInput(&raw, clip.c_str(), nullptr, nullptr);
  ASSERT_EQ(ret, 0) << GetErrorText(clip, ret);
  TFFInputContextPtr input(raw);
  EXPECT_NE(input->interrupt_callback.callback, nullptr);
  EXPECT_GE(ff::avformat.avformat_find_stream_info(input.get(), nullptr), 0);
  EXPECT_EQ(input->nb_streams, 2u);

  ret = FFOpenInput(&raw, "/nonexistent/file.mp4", nullptr, nullptr);
  EXPECT_EQ(GetErrorText("/nonexistent/file.mp4", ret),
            "/nonexistent/file.mp4: No such file or directory");
}

TEST_F(FFFormatContextTest, OutputContextCarriesCallback) {
  vmtest::TempDir dir;
  std::string name = dir.File("out.mp4");
  AVFormatContext *raw = nullptr;
  ASSERT_GE(FFAllocOutputContext(&raw, nullptr, nullptr, name.c_str()), 0);
  TFFOutputContextPtr output(raw);
  ASSERT_NE(output->interrupt_callback.callback, nullptr);

  ASSERT_GE(ff::avformat.avio_open2(&output->pb, name.c_str(), AVIO_FLAG_WRITE,
                                    &output->interrupt_callback, nullptr),
            0);
  // Writes through the opened file consult the callback: an interrupt fails them.
  int sender = 0;
  InterruptCB().Add(std::this_thread::get_id(), &sender, AnswerTrue, nullptr);
  const unsigned char data[16] = {};
  ff::avformat.avio_write(output->pb, data, sizeof data);
  ff::avformat.avio_flush(output->pb);
  EXPECT_EQ(output->pb->error, AVERROR_EXIT);
  InterruptCB().Clear();
  output.reset(); // closes the file it opened
  EXPECT_TRUE(std::filesystem::exists(name));

  EXPECT_EQ(FFAllocOutputContext(&raw, nullptr, "nosuchmuxer", nullptr), AVERROR(EINVAL));
  EXPECT_EQ(raw, nullptr);
}

TEST_F(FFFormatContextTest, DictionaryOwner) {
  TFFDictionary opts;
  ff::avutil.av_dict_set(opts.Addr(), "b", "1000k", 0);
  ff::avutil.av_dict_set(opts.Addr(), "g", "25", 0);
  TFFDictionary moved(std::move(opts));
  EXPECT_EQ(opts.Get(), nullptr);
  EXPECT_EQ(ff::avutil.av_dict_count(moved.Get()), 2);
  EXPECT_STREQ(ff::avutil.av_dict_get(moved.Get(), "g", nullptr, 0)->value, "25");
  TFFFramePtr frame = FFAllocFrame();
  TFFPacketPtr packet = FFAllocPacket();
  EXPECT_NE(frame, nullptr);
  EXPECT_NE(packet, nullptr);
}

} // namespace

// A callback that logs may wait for the main thread, which may meanwhile ask
// the registry (opening a file of its own). The registry must not be locked
// while a callback runs: here the callback uses the registry itself, which
// would deadlock if it were.
bool AnswerAfterUsingRegistry(void *, void *AData) {
  *static_cast<size_t *>(AData) = InterruptCB().Count();
  return true;
}

TEST_F(FFInterruptTest, CallbackRunsWithoutTheRegistryLock) {
  size_t seen = 0;
  std::thread::id me = std::this_thread::get_id();
  InterruptCB().Add(me, nullptr, AnswerAfterUsingRegistry, &seen);
  EXPECT_TRUE(InterruptCB().Interrupt(me));
  EXPECT_EQ(seen, 1u);
}

// With the libraries loaded, FFmpeg's own tags that the table lacks get
// FFmpeg's text (a non-media file is refused with AVERROR_INVALIDDATA); codes
// nobody knows keep the table's wording.
TEST_F(FFFormatContextTest, FFmpegTagsOutsideTheTableGetFFmpegsText) {
  EXPECT_EQ(GetErrorText("notes.txt", AVERROR_INVALIDDATA),
            "notes.txt: Invalid data found when processing input");
  EXPECT_EQ(ErrorCodeText(AVERROR_EOF), "End of file");
  EXPECT_EQ(ErrorCodeText(-99999), "Error number -99999 occurred");
  EXPECT_EQ(ErrorCodeText(-2), "No such file or directory");
}
