#include "pixel_kernels.h"

namespace cnokhwa {
namespace kernels {
namespace {

// The 16-bit lane operations of the vector kernels, so that every path gives the same bytes.
inline int16_t MulHrs(int32_t a, int32_t b) {
  return static_cast<int16_t>((a * b + 0x4000) >> 15);
}

inline int32_t SaturateShift(int32_t value) {
  value = value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
  value >>= 6;
  return value < 0 ? 0 : (value > 255 ? 255 : value);
}

inline void YuvPixel(int32_t y, int32_t cb, int32_t cr, const YuvCoefficients& k, uint8_t* rgb) {
  const int32_t luma = static_cast<int16_t>(MulHrs(y << 7, k.yGain) + k.yBias);
  const int32_t u = (cb - 128) * 256;
  const int32_t v = (cr - 128) * 256;
  const int32_t green = static_cast<int16_t>(MulHrs(u, k.cbToG) + MulHrs(v, k.crToG));
  rgb[0] = static_cast<uint8_t>(SaturateShift(luma + MulHrs(v, k.crToR)));
  rgb[1] = static_cast<uint8_t>(SaturateShift(luma + green));
  rgb[2] = static_cast<uint8_t>(SaturateShift(luma + MulHrs(u, k.cbToB)));
}

inline int32_t Reflect(int32_t x, int32_t width) {
  return x < 0 ? -x : (x >= width ? 2 * (width - 1) - x : x);
}

}  // namespace

void Packed422Scalar(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                     uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; x += 2) {
    const uint8_t* pair = src + static_cast<int64_t>(x) * 2;
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    const int32_t cb = pair[order.cb];
    const int32_t cr = pair[order.cr];
    YuvPixel(pair[order.luma], cb, cr, k, out);
    if (x + 1 < width) {
      YuvPixel(pair[order.luma + 2], cb, cr, k, out + 3);
    }
  }
}

void SemiPlanarScalar(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                      const YuvCoefficients& k, uint8_t* dst, int32_t width, int32_t start) {
  const int cbIndex = cbFirst ? 0 : 1;
  for (int32_t x = start; x < width; ++x) {
    const uint8_t* pair = chroma + (x & ~1);
    YuvPixel(luma[x], pair[cbIndex], pair[1 - cbIndex], k, dst + static_cast<int64_t>(x) * 3);
  }
}

void PlanarScalar(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                  const YuvCoefficients& k, uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; ++x) {
    YuvPixel(luma[x], cb[x / 2], cr[x / 2], k, dst + static_cast<int64_t>(x) * 3);
  }
}

void GreyScalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; ++x) {
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    out[0] = out[1] = out[2] = src[x];
  }
}

void Y16Scalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; ++x) {
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    out[0] = out[1] = out[2] = src[static_cast<int64_t>(x) * 2 + 1];
  }
}

void Bgr24Scalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; ++x) {
    const uint8_t* in = src + static_cast<int64_t>(x) * 3;
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    const uint8_t blue = in[0];
    out[1] = in[1];
    out[0] = in[2];
    out[2] = blue;
  }
}

void BayerScalar(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
                 uint8_t* dst, int32_t width, int32_t start, int32_t end) {
  for (int32_t x = start; x < end; ++x) {
    const int32_t left = Reflect(x - 1, width);
    const int32_t right = Reflect(x + 1, width);
    int32_t own;
    int32_t green;
    int32_t other;
    if (((x & 1) == 0) != phase.greenFirst) {
      own = row[x];
      green = (row[left] + row[right] + above[x] + below[x] + 2) >> 2;
      other = (above[left] + above[right] + below[left] + below[right] + 2) >> 2;
    } else {
      own = (row[left] + row[right] + 1) >> 1;
      green = row[x];
      other = (above[x] + below[x] + 1) >> 1;
    }
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    out[0] = static_cast<uint8_t>(phase.redRow ? own : other);
    out[1] = static_cast<uint8_t>(green);
    out[2] = static_cast<uint8_t>(phase.redRow ? other : own);
  }
}

}  // namespace kernels
}  // namespace cnokhwa
