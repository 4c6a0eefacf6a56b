#include "pixel_convert.h"

#include <cstring>

namespace cnokhwa {

uint64_t YuyvFrameBytes(int width, int height, int64_t stride) {
  if (width < 1 || height < 1) {
    return 0;
  }
  const int64_t rowBytes = ((static_cast<int64_t>(width) + 1) / 2) * 4;
  if (stride < rowBytes) {
    return 0;
  }
  // The last row needs only its own pixels, not the padding after them.
  return static_cast<uint64_t>(stride) * static_cast<uint64_t>(height - 1) +
         static_cast<uint64_t>(rowBytes);
}

uint64_t Nv12FrameBytes(int width, int height, int64_t stride) {
  if (width < 1 || height < 1 || stride < width) {
    return 0;
  }
  const uint64_t chromaRows = (static_cast<uint64_t>(height) + 1) / 2;
  const uint64_t chromaRowBytes = ((static_cast<uint64_t>(width) + 1) / 2) * 2;
  if (static_cast<uint64_t>(stride) < chromaRowBytes) {
    return 0;
  }
  return static_cast<uint64_t>(stride) * (static_cast<uint64_t>(height) + chromaRows - 1) +
         chromaRowBytes;
}

uint64_t Rgb24FrameBytes(int width, int height, int64_t stride) {
  if (width < 1 || height < 1 || stride < static_cast<int64_t>(width) * 3) {
    return 0;
  }
  return static_cast<uint64_t>(stride) * static_cast<uint64_t>(height - 1) +
         static_cast<uint64_t>(width) * 3;
}

bool YuyvToRgb(const uint8_t* src, size_t sourceSize, int width, int height, int64_t stride,
               uint8_t* dst) {
  const uint64_t needed = YuyvFrameBytes(width, height, stride);
  if (needed == 0 || sourceSize < needed) {
    return false;
  }
  const size_t outRow = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = src + static_cast<size_t>(stride) * y;
    uint8_t* out = dst + outRow * y;
    int x = 0;
    for (; x + 1 < width; x += 2, in += 4, out += 6) {
      YuvToRgb(in[0], in[1], in[3], out);
      YuvToRgb(in[2], in[1], in[3], out + 3);
    }
    if (x < width) {
      YuvToRgb(in[0], in[1], in[3], out);
    }
  }
  return true;
}

bool Nv12ToRgb(const uint8_t* src, size_t sourceSize, int width, int height, int64_t stride,
               uint8_t* dst) {
  const uint64_t needed = Nv12FrameBytes(width, height, stride);
  if (needed == 0 || sourceSize < needed) {
    return false;
  }
  const uint8_t* chroma = src + static_cast<size_t>(stride) * height;
  const size_t outRow = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    const uint8_t* luma = src + static_cast<size_t>(stride) * y;
    const uint8_t* uv = chroma + static_cast<size_t>(stride) * (y / 2);
    uint8_t* out = dst + outRow * y;
    for (int x = 0; x < width; ++x) {
      const uint8_t* pair = uv + (x / 2) * 2;
      YuvToRgb(luma[x], pair[0], pair[1], out + x * 3);
    }
  }
  return true;
}

bool Rgb24ToRgb(const uint8_t* src, size_t sourceSize, int width, int height, int64_t stride,
                uint8_t* dst) {
  const uint64_t needed = Rgb24FrameBytes(width, height, stride);
  if (needed == 0 || sourceSize < needed) {
    return false;
  }
  const size_t outRow = static_cast<size_t>(width) * 3;
  if (static_cast<size_t>(stride) == outRow) {
    std::memcpy(dst, src, outRow * height);
    return true;
  }
  for (int y = 0; y < height; ++y) {
    std::memcpy(dst + outRow * y, src + static_cast<size_t>(stride) * y, outRow);
  }
  return true;
}

}  // namespace cnokhwa
