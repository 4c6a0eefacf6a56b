// Conversion of the uncompressed V4L2 pixel formats into packed 8-bit RGB. Every function checks
// the source size against the geometry first and reads nothing out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cnokhwa {

// BT.601 limited-range YCbCr (what UVC cameras send) to RGB, with 8 fractional bits.
inline void YuvToRgb(int y, int u, int v, uint8_t* rgb) {
  const int c = 298 * (y - 16) + 128;
  const int d = u - 128;
  const int e = v - 128;
  auto clamp = [](int value) -> uint8_t {
    value >>= 8;
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
  };
  rgb[0] = clamp(c + 409 * e);
  rgb[1] = clamp(c - 100 * d - 208 * e);
  rgb[2] = clamp(c + 516 * d);
}

// Bytes a source frame needs; 0 when the geometry is not valid (width or height below 1, or a
// stride too small for one row).
uint64_t YuyvFrameBytes(int width, int height, int64_t stride);
uint64_t Nv12FrameBytes(int width, int height, int64_t stride);
uint64_t Rgb24FrameBytes(int width, int height, int64_t stride);

// Each writes width x height packed RGB pixels (3 x width bytes per row) to dst and returns true;
// false, with nothing written, when sourceSize is below the frame's bytes.
// YUYV 4:2:2: Y0 U Y1 V per pixel pair; an odd width uses the first half of the last pair.
bool YuyvToRgb(const uint8_t* src, size_t sourceSize, int width, int height, int64_t stride,
               uint8_t* dst);
// NV12: a Y plane of height rows, then interleaved U/V rows for every two image rows, both at
// stride.
bool Nv12ToRgb(const uint8_t* src, size_t sourceSize, int width, int height, int64_t stride,
               uint8_t* dst);
// RGB24 with row padding removed.
bool Rgb24ToRgb(const uint8_t* src, size_t sourceSize, int width, int height, int64_t stride,
                uint8_t* dst);

}  // namespace cnokhwa
