#include "media/FFBitmap.h"

#include <cstring>
#include <new>
#include <utility>

int BMPBitsPerPixel(TBMPPixelFormat AFormat) {
  switch (AFormat) {
  case bpf8bit:
    return 8;
  case bpf15bit:
  case bpf16bit:
    return 16;
  case bpf24bit:
    return 24;
  case bpf32bit:
    return 32;
  }
  return 24;
}

int BMPScanLineSize(TBMPPixelFormat AFormat, int AWidth) {
  if (AWidth <= 0)
    return 0;
  const int64_t bits = static_cast<int64_t>(BMPBitsPerPixel(AFormat)) * AWidth;
  return static_cast<int>((bits + 31) / 32 * 4);
}

bool TFFBitmap::SetFormatAndSize(TBMPPixelFormat AFormat, int AWidth, int AHeight) {
  FPixelFormat = AFormat;
  FWidth = AWidth > 0 ? AWidth : 0;
  FHeight = AHeight > 0 ? AHeight : 0;
  FStride = BMPScanLineSize(AFormat, FWidth);
  const size_t need = DataSize();
  if (need > FCapacity) {
    FPixels.reset(new (std::nothrow) uint8_t[need]);
    FCapacity = FPixels ? need : 0;
    if (!FPixels) {
      FWidth = FHeight = FStride = 0;
      return false;
    }
  }
  return true;
}

void TFFBitmap::Fill(uint8_t AByte) {
  if (!Empty())
    std::memset(FPixels.get(), AByte, DataSize());
}

bool TFFBitmap::Assign(const TFFBitmap &ASource) {
  if (&ASource == this)
    return true;
  if (!SetFormatAndSize(ASource.FPixelFormat, ASource.FWidth, ASource.FHeight))
    return false;
  if (!Empty())
    std::memcpy(FPixels.get(), ASource.FPixels.get(), DataSize());
  return true;
}

void TFFBitmap::Swap(TFFBitmap &AOther) noexcept {
  std::swap(FPixelFormat, AOther.FPixelFormat);
  std::swap(FWidth, AOther.FWidth);
  std::swap(FHeight, AOther.FHeight);
  std::swap(FStride, AOther.FStride);
  std::swap(FCapacity, AOther.FCapacity);
  std::swap(FPixels, AOther.FPixels);
}
