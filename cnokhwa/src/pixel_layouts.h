// The V4L2 pixel formats that capture converts to packed RGB: for each, how its bytes are laid
// out, which converter handles it, and the name that scripts see in a device's format list.
#pragma once

#include <cstdint>

namespace cnokhwa {

// Largest frame side accepted from a driver or a JPEG header: anything above is treated as
// corrupt data.
constexpr int kMaxFrameSide = 16384;

enum class LayoutKind : uint8_t {
  kJpeg,           // MJPEG or JPEG, decoded by libjpeg-turbo; the size comes from the header
  kPacked422,      // YUYV and its byte orders: two pixels in four bytes
  kSemiPlanar420,  // NV12, NV21: a luma plane, then one interleaved chroma row per two rows
  kPlanar420,      // YU12 (I420), YV12: luma plane, then two quarter-size chroma planes
  kGrey,           // 8-bit luma only
  kY16,            // 16-bit little-endian luma only
  kRgb24,          // R, G, B bytes
  kBgr24,          // B, G, R bytes
  kBayer,          // 8-bit raw sensor data behind a 2x2 colour filter
};

// Colour filter orders, named by the first two pixels of the first two rows.
enum class BayerOrder : uint8_t { kBggr, kGbrg, kGrbg, kRggb };

struct PixelLayout {
  uint32_t fourcc;
  const char* scriptName;
  LayoutKind kind;
  // kPacked422: byte offsets of the first luma sample and of Cb and Cr in a four-byte pixel
  // pair; the second luma sample is two bytes after the first.
  uint8_t lumaOffset;
  uint8_t cbOffset;
  uint8_t crOffset;
  // kSemiPlanar420: Cb before Cr in each chroma pair. kPlanar420: the Cb plane comes first.
  bool cbFirst;
  BayerOrder bayer;
};

// The layout of a V4L2 pixel format, or null when capture cannot convert it.
const PixelLayout* FindPixelLayout(uint32_t fourcc);

// Every layout capture converts, for tests and benchmarks that cover them all.
const PixelLayout* PixelLayoutsBegin();
const PixelLayout* PixelLayoutsEnd();

// Bytes of one row of the first plane when the driver reports no bytesperline; 0 for JPEG.
int64_t PackedRowBytes(const PixelLayout& layout, int width);

}  // namespace cnokhwa
