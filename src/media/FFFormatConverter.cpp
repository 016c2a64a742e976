#include "media/FFFormatConverter.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace {

struct TFormatRow {
  TBMPPixelFormat BMP;
  int Bits; // bits in memory
  AVPixelFormat AV;
};

TFormatRow FormatFor(int ABitsPixel) {
  switch (ABitsPixel) {
  case 8:
    return {bpf8bit, 8, AV_PIX_FMT_BGR8};
  case 15:
    return {bpf15bit, 16, AV_PIX_FMT_BGR555LE};
  case 16:
    return {bpf16bit, 16, AV_PIX_FMT_BGR565LE};
  case 24:
    return {bpf24bit, 24, AV_PIX_FMT_BGR24};
  case 32:
    return {bpf32bit, 32, AV_PIX_FMT_BGRA};
  }
  char text[64];
  std::snprintf(text, sizeof(text), "Invalid BitsPixel %d", ABitsPixel);
  throw std::invalid_argument(text);
}

bool SizeUsable(int AWidth, int AHeight) {
  return AWidth > 0 && AHeight > 0 && ff::avutil.av_image_check_size &&
         ff::avutil.av_image_check_size(static_cast<unsigned>(AWidth),
                                        static_cast<unsigned>(AHeight), 0, nullptr) >= 0;
}

// swscale asserts (aborts) on formats it cannot handle, so they are refused
// before asking it for a context.
bool ScalableInput(AVPixelFormat AFormat) {
  return AFormat > AV_PIX_FMT_NONE && AFormat < AV_PIX_FMT_NB &&
         ff::swscale.sws_isSupportedInput(AFormat) > 0;
}
bool ScalableOutput(AVPixelFormat AFormat) {
  return AFormat > AV_PIX_FMT_NONE && AFormat < AV_PIX_FMT_NB &&
         ff::swscale.sws_isSupportedOutput(AFormat) > 0;
}

constexpr int kScaleFlags = SWS_BICUBIC;

} // namespace

TFormatConverter::TFormatConverter() {
  FBitmap.SetPixelFormat(FBMPPixFmt);
}

TFormatConverter::~TFormatConverter() {
  // The scaler contexts can only be freed while swscale is loaded; after an
  // early unload they are left to the process exit.
  if (ff::swscale.sws_freeContext) {
    ff::swscale.sws_freeContext(FtoRGB_convert_ctx);
    ff::swscale.sws_freeContext(FfromRGB_convert_ctx);
  }
  ::operator delete[](FRGBBuffer, std::align_val_t(64));
}

void TFormatConverter::ReleaseContexts() {
  if (ff::swscale.sws_freeContext) {
    ff::swscale.sws_freeContext(FtoRGB_convert_ctx);
    ff::swscale.sws_freeContext(FfromRGB_convert_ctx);
  }
  FtoRGB_convert_ctx = FfromRGB_convert_ctx = nullptr;
  FRGBPictureRef = nullptr;
  FDIB = TBitmapInfo();
}

void TFormatConverter::SetBitsPixel(int AValue) {
  const TFormatRow row = FormatFor(AValue);
  if (row.BMP == FBMPPixFmt)
    return;
  FBMPPixFmt = row.BMP;
  FBitsPixel = row.Bits;
  FAVPixFmt = row.AV;
  FBitmap.SetPixelFormat(FBMPPixFmt);
  // The RGB picture no longer matches the bitmap format.
  FRGBPictureRef = nullptr;
  FDIB = TBitmapInfo();
}

bool TFormatConverter::GrowRGBBuffer(size_t ASize) {
  if (ASize <= FRGBBufSize)
    return true;
  uint8_t *buffer = static_cast<uint8_t *>(
      ::operator new[](ASize + 64, std::align_val_t(64), std::nothrow)); // + tail for SIMD writes
  if (!buffer)
    return false;
  ::operator delete[](FRGBBuffer, std::align_val_t(64));
  FRGBBuffer = buffer;
  FRGBBufSize = ASize;
  return true;
}

bool TFormatConverter::PictureToRGB(const TAVPicture &APicture, AVPixelFormat APixFmt,
                                    bool ACopyToBitmap, int AHeight, int AWidth) {
  FRGBPictureRef = nullptr;
  FDIB = TBitmapInfo();
  if (!SizeUsable(AWidth, AHeight) || !FBitmap.SetSize(AWidth, AHeight)) {
    FLastErrMsg = "Cannot initialize the toRGB conversion context";
    return false;
  }
  const int stride = BMPScanLineSize(FBMPPixFmt, AWidth);

  if (APixFmt == FAVPixFmt && AWidth > 0 && AHeight > 0 && AWidth % 2 == 0 && AHeight % 2 == 0 &&
      APicture.data[0] && APicture.linesize[0] == stride) {
    FCallerPicture = APicture;
    FRGBPictureRef = &FCallerPicture;
  } else {
    SwsContext *ctx = nullptr;
    if (SizeUsable(AWidth, AHeight) && APicture.data[0] && ScalableInput(APixFmt) &&
        GrowRGBBuffer(static_cast<size_t>(stride) * static_cast<size_t>(AHeight))) {
      ctx = ff::swscale.sws_getCachedContext(FtoRGB_convert_ctx, AWidth, AHeight, APixFmt, AWidth,
                                             AHeight, FAVPixFmt, kScaleFlags, nullptr, nullptr,
                                             nullptr);
      FtoRGB_convert_ctx = ctx; // a failed call has freed the old context
    }
    if (!ctx) {
      FLastErrMsg = "Cannot initialize the toRGB conversion context";
      return false;
    }
    FRGBPicture = TAVPicture();
    FRGBPicture.data[0] = FRGBBuffer;
    FRGBPicture.linesize[0] = stride;
    ff::swscale.sws_scale(ctx, APicture.data, APicture.linesize, 0, AHeight, FRGBPicture.data,
                          FRGBPicture.linesize);
    FRGBPictureRef = &FRGBPicture;
  }

  FDIB.bmType = 0;
  FDIB.bmWidth = AWidth;
  FDIB.bmHeight = AHeight;
  FDIB.bmWidthBytes = FRGBPictureRef->linesize[0];
  FDIB.bmPlanes = 1;
  FDIB.bmBitsPixel = static_cast<uint16_t>(FBitsPixel);
  FDIB.bmBits = FRGBPictureRef->data[0];
  if (ACopyToBitmap)
    RGBToBitmap();
  return true;
}

bool TFormatConverter::RGBToBitmap() {
  if (!FRGBPictureRef || FBitmap.Width() != FDIB.bmWidth || FBitmap.Height() != FDIB.bmHeight ||
      FBitmap.PixelFormat() != FBMPPixFmt)
    return false;
  const int rowBytes = FBitmap.Stride();
  const uint8_t *src = FRGBPictureRef->data[0];
  const int srcStride = FRGBPictureRef->linesize[0];
  if (srcStride == rowBytes) {
    std::memcpy(FBitmap.ScanLine(0), src, FBitmap.DataSize());
    return true;
  }
  for (int r = 0; r < FBitmap.Height(); ++r)
    std::memcpy(FBitmap.ScanLine(r), src + static_cast<ptrdiff_t>(r) * srcStride, rowBytes);
  return true;
}

bool TFormatConverter::BitmapToRGB() {
  if (!FRGBPictureRef || FBitmap.Width() != FDIB.bmWidth || FBitmap.Height() != FDIB.bmHeight ||
      FBitmap.PixelFormat() != FBMPPixFmt)
    return false;
  const int rowBytes = FBitmap.Stride();
  uint8_t *dst = FRGBPictureRef->data[0];
  const int dstStride = FRGBPictureRef->linesize[0];
  if (dstStride == rowBytes) {
    std::memcpy(dst, FBitmap.ScanLine(0), FBitmap.DataSize());
    return true;
  }
  for (int r = 0; r < FBitmap.Height(); ++r)
    std::memcpy(dst + static_cast<ptrdiff_t>(r) * dstStride, FBitmap.ScanLine(r), rowBytes);
  return true;
}

bool TFormatConverter::RGBToPicture(TAVPicture &APicture, AVPixelFormat APixFmt, int AHeight,
                                    int AWidth) {
  if (!FRGBPictureRef || !APicture.data[0]) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  // A picture converted in place already holds the RGB pixels.
  if (FRGBPictureRef->data[0] == APicture.data[0] && APixFmt == FAVPixFmt &&
      AWidth == FDIB.bmWidth && AHeight == FDIB.bmHeight)
    return true;
  SwsContext *ctx = nullptr;
  if (SizeUsable(AWidth, AHeight) && ScalableOutput(APixFmt)) {
    ctx = ff::swscale.sws_getCachedContext(FfromRGB_convert_ctx, FDIB.bmWidth, FDIB.bmHeight,
                                           FAVPixFmt, AWidth, AHeight, APixFmt, kScaleFlags,
                                           nullptr, nullptr, nullptr);
    FfromRGB_convert_ctx = ctx; // a failed call has freed the old context
  }
  if (!ctx) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  FfromRGB_convert_ctx = ctx;
  ff::swscale.sws_scale(ctx, FRGBPictureRef->data, FRGBPictureRef->linesize, 0, FDIB.bmHeight,
                        APicture.data, APicture.linesize);
  return true;
}
