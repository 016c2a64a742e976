#pragma once
// TFFBitmap: the engine's plain picture type (what the decoder, the frame
// hooks and the previewer hand out). It stands where a device-independent
// bitmap stood: packed pixels, rows top-down (scan line 0 is the top row),
// each row padded to a multiple of 4 bytes. No Qt; a GUI wraps the pixels in
// its own image type (e.g. QImage::Format_BGR888 for 24 bits, Format_ARGB32 /
// Format_RGB32 for 32 bits on little-endian hosts).
//
// Not thread-safe; one owner at a time. The pixel buffer grows and never
// shrinks, so resizing to a size seen before allocates nothing.

#include <cstddef>
#include <cstdint>
#include <memory>

// The bitmap pixel formats and their memory layout (16-bit words little-endian,
// bits listed from the most significant):
//   bpf8bit   8 bits:  b2 g3 r3                    - FFmpeg BGR8
//   bpf15bit 16 bits:  x1 b5 g5 r5 (red lowest)    - FFmpeg BGR555LE
//   bpf16bit 16 bits:  b5 g6 r5 (red lowest)       - FFmpeg BGR565LE
//   bpf24bit 24 bits:  bytes B, G, R               - FFmpeg BGR24
//   bpf32bit 32 bits:  bytes B, G, R, A (A = 255)  - FFmpeg BGRA
// Note that the 15/16-bit layouts keep red in the low bits, unlike a Windows
// 16-bit DIB (which is FFmpeg's RGB555/RGB565).
enum TBMPPixelFormat { bpf8bit, bpf15bit, bpf16bit, bpf24bit, bpf32bit };

// Bits one pixel takes in memory: 8, 16, 16, 24, 32.
int BMPBitsPerPixel(TBMPPixelFormat AFormat);
// Bytes of one scan line: bits per pixel * width rounded up to 32 bits.
int BMPScanLineSize(TBMPPixelFormat AFormat, int AWidth);

class TFFBitmap {
public:
  TFFBitmap() = default;
  TFFBitmap(const TFFBitmap &AOther) { Assign(AOther); }
  TFFBitmap &operator=(const TFFBitmap &AOther) {
    Assign(AOther);
    return *this;
  }
  // A moved-from bitmap is empty.
  TFFBitmap(TFFBitmap &&AOther) noexcept { Swap(AOther); }
  TFFBitmap &operator=(TFFBitmap &&AOther) noexcept {
    TFFBitmap tmp(static_cast<TFFBitmap &&>(AOther));
    Swap(tmp);
    return *this;
  }
  void Swap(TFFBitmap &AOther) noexcept;

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  TBMPPixelFormat PixelFormat() const { return FPixelFormat; }
  int BitsPerPixel() const { return BMPBitsPerPixel(FPixelFormat); }
  // Bytes from one scan line to the next (DWORD aligned).
  int Stride() const { return FStride; }
  // Stride * Height.
  size_t DataSize() const { return static_cast<size_t>(FStride) * static_cast<size_t>(FHeight); }
  bool Empty() const { return FWidth <= 0 || FHeight <= 0; }

  // Changes the format and/or size. Pixel contents are undefined afterwards
  // (the buffer is reused when it is large enough). Negative sizes count as
  // 0. False (the bitmap is then empty, 0 x 0) when the memory cannot be had.
  bool SetPixelFormat(TBMPPixelFormat AFormat) {
    return SetFormatAndSize(AFormat, FWidth, FHeight);
  }
  bool SetSize(int AWidth, int AHeight) { return SetFormatAndSize(FPixelFormat, AWidth, AHeight); }
  bool SetFormatAndSize(TBMPPixelFormat AFormat, int AWidth, int AHeight);

  // First byte of the pixels (top row); null while empty.
  uint8_t *Bits() { return Empty() ? nullptr : FPixels.get(); }
  const uint8_t *Bits() const { return Empty() ? nullptr : FPixels.get(); }
  // Scan line ARow (0 = top); ARow must be in 0..Height-1.
  uint8_t *ScanLine(int ARow) { return FPixels.get() + static_cast<ptrdiff_t>(ARow) * FStride; }
  const uint8_t *ScanLine(int ARow) const {
    return FPixels.get() + static_cast<ptrdiff_t>(ARow) * FStride;
  }

  // Sets every byte of every scan line (0 = black).
  void Fill(uint8_t AByte);
  // Copies format, size and pixels (reusing this bitmap's buffer); false
  // (empty) when the memory cannot be had.
  bool Assign(const TFFBitmap &ASource);

private:
  TBMPPixelFormat FPixelFormat = bpf24bit;
  int FWidth = 0;
  int FHeight = 0;
  int FStride = 0;
  size_t FCapacity = 0; // bytes allocated in FPixels
  std::unique_ptr<uint8_t[]> FPixels;
};
