// TFFBitmap and TFormatConverter on pictures made in memory.

#include "DecodeTestSupport.h"

#include "media/FFBitmap.h"
#include "media/FFFormatConverter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// A picture in one of FFmpeg's formats, owning its planes.
struct TOwnedPicture {
  TOwnedPicture(AVPixelFormat AFormat, int AWidth, int AHeight, int AAlign = 32)
      : Format(AFormat), Width(AWidth), Height(AHeight) {
    const int size = ff::avutil.av_image_get_buffer_size(AFormat, AWidth, AHeight, AAlign);
    Buffer.assign(static_cast<size_t>(size) + 64, 0);
    ff::avutil.av_image_fill_arrays(Pic.data, Pic.linesize, Buffer.data(), AFormat, AWidth, AHeight,
                                    AAlign);
  }
  AVPixelFormat Format;
  int Width, Height;
  std::vector<uint8_t> Buffer;
  TAVPicture Pic;
};

// A BGR24 / BGRA gradient with a different value in every byte position.
void FillPattern(TOwnedPicture &APic, int ABytesPerPixel) {
  for (int y = 0; y < APic.Height; ++y)
    for (int x = 0; x < APic.Width * ABytesPerPixel; ++x)
      APic.Pic.data[0][y * APic.Pic.linesize[0] + x] = static_cast<uint8_t>(x * 7 + y * 13);
}

class ConverterTest : public ::testing::Test {
protected:
  void SetUp() override { dectest::RequireLibraries(); }
};

} // namespace

TEST(FFBitmap, ScanLinesAreDwordAlignedAndTheBufferIsReused) {
  EXPECT_EQ(BMPScanLineSize(bpf24bit, 5), 16); // 15 bytes -> 16
  EXPECT_EQ(BMPScanLineSize(bpf8bit, 5), 8);
  EXPECT_EQ(BMPScanLineSize(bpf15bit, 3), 8);
  EXPECT_EQ(BMPScanLineSize(bpf32bit, 3), 12);
  EXPECT_EQ(BMPScanLineSize(bpf24bit, 0), 0);

  TFFBitmap bmp;
  EXPECT_TRUE(bmp.Empty());
  EXPECT_EQ(bmp.Bits(), nullptr);
  bmp.SetFormatAndSize(bpf24bit, 5, 3);
  EXPECT_EQ(bmp.Stride(), 16);
  EXPECT_EQ(bmp.DataSize(), 48u);
  EXPECT_EQ(bmp.ScanLine(2) - bmp.ScanLine(0), 32);
  bmp.Fill(9);
  const uint8_t *bits = bmp.Bits();
  bmp.SetSize(4, 2); // smaller: same buffer
  EXPECT_EQ(bmp.Bits(), bits);
  bmp.SetSize(-4, 2);
  EXPECT_TRUE(bmp.Empty());

  TFFBitmap a;
  a.SetFormatAndSize(bpf32bit, 3, 2);
  a.Fill(0);
  a.ScanLine(1)[11] = 200;
  TFFBitmap b = a;
  EXPECT_EQ(b.Width(), 3);
  EXPECT_EQ(b.PixelFormat(), bpf32bit);
  EXPECT_EQ(b.ScanLine(1)[11], 200);
  EXPECT_NE(b.Bits(), a.Bits());
  TFFBitmap c = std::move(b);
  EXPECT_EQ(c.ScanLine(1)[11], 200);
  EXPECT_TRUE(b.Empty()); // NOLINT(bugprone-use-after-move): moved-from is empty by contract
}

TEST_F(ConverterTest, BitsPixelAcceptsOnlyTheFiveFormats) {
  TFormatConverter conv;
  EXPECT_EQ(conv.BitsPixel(), 24);
  EXPECT_EQ(conv.AVPixFmt(), AV_PIX_FMT_BGR24);
  struct {
    int Set, Read;
    AVPixelFormat AV;
    TBMPPixelFormat BMP;
  } rows[] = {{8, 8, AV_PIX_FMT_BGR8, bpf8bit},
              {15, 16, AV_PIX_FMT_BGR555LE, bpf15bit},
              {16, 16, AV_PIX_FMT_BGR565LE, bpf16bit},
              {24, 24, AV_PIX_FMT_BGR24, bpf24bit},
              {32, 32, AV_PIX_FMT_BGRA, bpf32bit}};
  for (const auto &r : rows) {
    conv.SetBitsPixel(r.Set);
    EXPECT_EQ(conv.BitsPixel(), r.Read);
    EXPECT_EQ(conv.AVPixFmt(), r.AV);
    EXPECT_EQ(conv.BMPPixFmt(), r.BMP);
    EXPECT_EQ(conv.Bitmap().PixelFormat(), r.BMP);
  }
  try {
    conv.SetBitsPixel(12);
    FAIL() << "no exception";
  } catch (const std::invalid_argument &e) {
    EXPECT_STREQ(e.what(), "Invalid BitsPixel 12");
  }
  EXPECT_EQ(conv.BitsPixel(), 32);
}

TEST_F(ConverterTest, RoundTripsThroughTheBitmapIn24And32Bits) {
  for (int bits : {24, 32}) {
    SCOPED_TRACE(bits);
    const AVPixelFormat fmt = bits == 24 ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_BGRA;
    const int bpp = bits / 8;
    // Odd width: not usable in place, so it goes through the scaler.
    TOwnedPicture src(fmt, 37, 21);
    FillPattern(src, bpp);
    TFormatConverter conv;
    conv.SetBitsPixel(bits);
    ASSERT_TRUE(conv.PictureToRGB(src.Pic, fmt, true, 21, 37)) << conv.LastErrMsg();
    EXPECT_NE(conv.DIB().bmBits, src.Pic.data[0]);
    EXPECT_EQ(conv.DIB().bmWidth, 37);
    EXPECT_EQ(conv.DIB().bmHeight, 21);
    EXPECT_EQ(conv.DIB().bmWidthBytes, BMPScanLineSize(conv.BMPPixFmt(), 37));
    EXPECT_EQ(conv.DIB().bmBitsPixel, bits);
    const TFFBitmap &bmp = conv.Bitmap();
    for (int y = 0; y < 21; ++y)
      ASSERT_EQ(std::memcmp(bmp.ScanLine(y), src.Pic.data[0] + y * src.Pic.linesize[0], 37 * bpp),
                0)
          << "row " << y;

    // Edit the bitmap, write it back and convert into a new picture.
    conv.Bitmap().ScanLine(4)[2] = 0xAB;
    ASSERT_TRUE(conv.BitmapToRGB());
    TOwnedPicture back(fmt, 37, 21);
    ASSERT_TRUE(conv.RGBToPicture(back.Pic, fmt, 21, 37)) << conv.LastErrMsg();
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 37 * bpp; ++x) {
        const uint8_t want =
            (y == 4 && x == 2) ? 0xAB : src.Pic.data[0][y * src.Pic.linesize[0] + x];
        ASSERT_EQ(back.Pic.data[0][y * back.Pic.linesize[0] + x], want) << y << "," << x;
      }
  }
}

TEST_F(ConverterTest, MatchingPictureIsUsedInPlace) {
  // Even size, BGR24, line size equal to the DWORD-aligned scan line.
  TOwnedPicture src(AV_PIX_FMT_BGR24, 40, 10, 4);
  ASSERT_EQ(src.Pic.linesize[0], 120);
  FillPattern(src, 3);
  TFormatConverter conv;
  ASSERT_TRUE(conv.PictureToRGB(src.Pic, AV_PIX_FMT_BGR24, false, 10, 40));
  EXPECT_EQ(conv.DIB().bmBits, src.Pic.data[0]);
  ASSERT_NE(conv.RGBPicture(), nullptr);
  EXPECT_EQ(conv.RGBPicture()->data[0], src.Pic.data[0]);
  // BitmapToRGB writes straight into the caller's picture.
  ASSERT_TRUE(conv.RGBToBitmap());
  conv.Bitmap().ScanLine(9)[119] = 0x5A;
  ASSERT_TRUE(conv.BitmapToRGB());
  EXPECT_EQ(src.Pic.data[0][9 * 120 + 119], 0x5A);
  EXPECT_TRUE(conv.RGBToPicture(src.Pic, AV_PIX_FMT_BGR24, 10, 40));

  // A line size with padding is converted instead.
  TOwnedPicture padded(AV_PIX_FMT_BGR24, 40, 10, 64);
  ASSERT_NE(padded.Pic.linesize[0], 120);
  ASSERT_TRUE(conv.PictureToRGB(padded.Pic, AV_PIX_FMT_BGR24, false, 10, 40));
  EXPECT_NE(conv.DIB().bmBits, padded.Pic.data[0]);
}

TEST_F(ConverterTest, YuvPictureConvertsToPlausibleColoursAndBack) {
  // A yuv420p picture: top half white, bottom half black.
  TOwnedPicture yuv(AV_PIX_FMT_YUV420P, 64, 32);
  for (int y = 0; y < 32; ++y)
    std::memset(yuv.Pic.data[0] + y * yuv.Pic.linesize[0], y < 16 ? 235 : 16, 64);
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < 16; ++y)
      std::memset(yuv.Pic.data[p] + y * yuv.Pic.linesize[p], 128, 32);
  TFormatConverter conv;
  ASSERT_TRUE(conv.PictureToRGB(yuv.Pic, AV_PIX_FMT_YUV420P, true, 32, 64));
  EXPECT_GE(conv.Bitmap().ScanLine(2)[30], 250);
  EXPECT_LE(conv.Bitmap().ScanLine(30)[30], 5);
  TOwnedPicture back(AV_PIX_FMT_YUV420P, 64, 32);
  ASSERT_TRUE(conv.RGBToPicture(back.Pic, AV_PIX_FMT_YUV420P, 32, 64));
  EXPECT_NEAR(back.Pic.data[0][2 * back.Pic.linesize[0] + 5], 235, 2);
  EXPECT_NEAR(back.Pic.data[0][30 * back.Pic.linesize[0] + 5], 16, 2);
  EXPECT_NEAR(back.Pic.data[1][2 * back.Pic.linesize[1] + 5], 128, 2);
}

TEST_F(ConverterTest, FailuresLeaveNoRGBPicture) {
  TFormatConverter conv;
  EXPECT_FALSE(conv.RGBToBitmap());
  EXPECT_FALSE(conv.BitmapToRGB());
  TOwnedPicture yuv(AV_PIX_FMT_YUV420P, 16, 16);
  EXPECT_FALSE(conv.RGBToPicture(yuv.Pic, AV_PIX_FMT_YUV420P, 16, 16));
  EXPECT_EQ(conv.LastErrMsg(), "Cannot initialize the fromRGB conversion context");

  ASSERT_TRUE(conv.PictureToRGB(yuv.Pic, AV_PIX_FMT_YUV420P, false, 16, 16));
  EXPECT_FALSE(conv.PictureToRGB(yuv.Pic, AV_PIX_FMT_NONE, true, 16, 16));
  EXPECT_EQ(conv.LastErrMsg(), "Cannot initialize the toRGB conversion context");
  EXPECT_EQ(conv.RGBPicture(), nullptr);
  EXPECT_EQ(conv.DIB().bmBits, nullptr);
  EXPECT_FALSE(conv.PictureToRGB(yuv.Pic, AV_PIX_FMT_YUV420P, false, 0, 16));
  EXPECT_FALSE(conv.PictureToRGB(yuv.Pic, AV_PIX_FMT_YUV420P, false, 1 << 20, 1 << 20));
  // Works again afterwards (the cached context was rebuilt).
  EXPECT_TRUE(conv.PictureToRGB(yuv.Pic, AV_PIX_FMT_YUV420P, true, 16, 16));
  // An unsupported target format for the way back.
  TOwnedPicture other(AV_PIX_FMT_YUV420P, 16, 16);
  EXPECT_FALSE(conv.RGBToPicture(other.Pic, AV_PIX_FMT_NB, 16, 16));
  EXPECT_EQ(conv.LastErrMsg(), "Cannot initialize the fromRGB conversion context");
}
