#pragma once
// TFormatConverter: turns a decoded picture of any FFmpeg pixel format into a
// TFFBitmap (through an RGB picture in the bitmap's pixel format) and back.
// Used by the decoder for CopyToBitmap and by the transcoder's frame hooks.
//
// Not thread-safe: one thread at a time. Needs avutil and swscale loaded
// while converting. The RGB buffer grows and never shrinks; both scaler
// contexts are cached while size and formats stay the same, so converting
// a stream of equal pictures allocates nothing.

#include "engine/FFApi.h"
#include "media/FFBitmap.h"

#include <cstdint>
#include <string>

// A picture as FFmpeg lays it out: up to four plane pointers and line sizes
// (bytes from one row to the next). The planes are owned by whoever filled it.
struct TAVPicture {
  uint8_t *data[4] = {nullptr, nullptr, nullptr, nullptr};
  int linesize[4] = {0, 0, 0, 0};
};

// Description of the current RGB picture in the shape of a Windows BITMAP
// record: rows top-down, bmWidthBytes apart, starting at bmBits. bmBits points
// into the converter's buffer or into the caller's picture (in-place case) and
// stays valid until the next conversion or until that picture goes away.
struct TBitmapInfo {
  int32_t bmType = 0;
  int32_t bmWidth = 0;
  int32_t bmHeight = 0;
  int32_t bmWidthBytes = 0;
  uint16_t bmPlanes = 0;
  uint16_t bmBitsPixel = 0;
  void *bmBits = nullptr;
};

class TFormatConverter {
public:
  TFormatConverter(); // 24-bit bitmap
  ~TFormatConverter();
  TFormatConverter(const TFormatConverter &) = delete;
  TFormatConverter &operator=(const TFormatConverter &) = delete;

  // Bits per pixel of the bitmap side: write 8, 15, 16, 24 or 32 (anything
  // else throws std::invalid_argument "Invalid BitsPixel %d"); reads back the
  // bits in memory, so 15 reads back as 16.
  int BitsPixel() const { return FBitsPixel; }
  void SetBitsPixel(int AValue);
  TBMPPixelFormat BMPPixFmt() const { return FBMPPixFmt; }
  // The FFmpeg pixel format matching the bitmap format (BGR8, BGR555LE,
  // BGR565LE, BGR24, BGRA).
  AVPixelFormat AVPixFmt() const { return FAVPixFmt; }

  // Converts APicture (format APixFmt, AWidth x AHeight) into the RGB picture
  // and, with ACopyToBitmap, into Bitmap(). A picture already in AVPixFmt()
  // with even dimensions whose first line size equals the bitmap's scan-line
  // length is used in place (no copy, no conversion). False with LastErrMsg
  // "Cannot initialize the toRGB conversion context" when no scaler can be had
  // (unsupported format, bad size); the RGB picture is then none.
  bool PictureToRGB(const TAVPicture &APicture, AVPixelFormat APixFmt, bool ACopyToBitmap,
                    int AHeight, int AWidth);
  // Copies the RGB picture into Bitmap() row by row / Bitmap() into the RGB
  // picture. False (nothing copied) when there is no current RGB picture or
  // the bitmap's format or size no longer matches it.
  bool RGBToBitmap();
  bool BitmapToRGB();
  // Converts the current RGB picture into APicture (format APixFmt, AWidth x
  // AHeight; the caller owns its planes). False with LastErrMsg "Cannot
  // initialize the fromRGB conversion context" when no scaler can be had or
  // there is no current RGB picture.
  bool RGBToPicture(TAVPicture &APicture, AVPixelFormat APixFmt, int AHeight, int AWidth);

  // Frees the cached scaler contexts (before swscale is unloaded); the RGB
  // picture is forgotten.
  void ReleaseContexts();

  TFFBitmap &Bitmap() { return FBitmap; }
  const TFFBitmap &Bitmap() const { return FBitmap; }
  // The current RGB picture's description (all zero before the first
  // conversion or after a failed one).
  const TBitmapInfo &DIB() const { return FDIB; }
  // The current RGB picture; null before the first conversion or after a
  // failed one.
  const TAVPicture *RGBPicture() const { return FRGBPictureRef; }
  const std::string &LastErrMsg() const { return FLastErrMsg; }

private:
  bool GrowRGBBuffer(size_t ASize);

  int FBitsPixel = 24;
  AVPixelFormat FAVPixFmt = AV_PIX_FMT_BGR24;
  TBMPPixelFormat FBMPPixFmt = bpf24bit;
  TFFBitmap FBitmap;
  TBitmapInfo FDIB;
  uint8_t *FRGBBuffer = nullptr; // 64-byte aligned, owned
  size_t FRGBBufSize = 0;
  TAVPicture FRGBPicture;                     // laid over FRGBBuffer
  TAVPicture FCallerPicture;                  // copy of the plane pointers of an in-place picture
  const TAVPicture *FRGBPictureRef = nullptr; // &FRGBPicture, &FCallerPicture or null
  SwsContext *FtoRGB_convert_ctx = nullptr;
  SwsContext *FfromRGB_convert_ctx = nullptr;
  std::string FLastErrMsg;
};
