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

inline void TablePair(int32_t y0, int32_t y1, int32_t cb, int32_t cr, const YuvTables& t,
                      uint8_t* rgb, bool both) {
  const int32_t red = t.crToR[cr];
  const int32_t green = static_cast<int16_t>(t.cbToG[cb] + t.crToG[cr]);
  const int32_t blue = t.cbToB[cb];
  const uint8_t* clamp = t.clamp + 1024;
  int32_t luma = t.luma[y0];
  rgb[0] = clamp[(luma + red) >> 6];
  rgb[1] = clamp[(luma + green) >> 6];
  rgb[2] = clamp[(luma + blue) >> 6];
  if (both) {
    luma = t.luma[y1];
    rgb[3] = clamp[(luma + red) >> 6];
    rgb[4] = clamp[(luma + green) >> 6];
    rgb[5] = clamp[(luma + blue) >> 6];
  }
}

inline int32_t Reflect(int32_t x, int32_t width) {
  return x < 0 ? -x : (x >= width ? 2 * (width - 1) - x : x);
}

}  // namespace

void BuildYuvTables(const YuvCoefficients& k, YuvTables* t) {
  for (int32_t v = 0; v < 256; ++v) {
    const int32_t centred = (v - 128) * 256;
    t->luma[v] = static_cast<int16_t>(MulHrs(v << 7, k.yGain) + k.yBias);
    t->crToR[v] = MulHrs(centred, k.crToR);
    t->cbToG[v] = MulHrs(centred, k.cbToG);
    t->crToG[v] = MulHrs(centred, k.crToG);
    t->cbToB[v] = MulHrs(centred, k.cbToB);
  }
  for (int32_t i = 0; i < 2048; ++i) {
    const int32_t level = i - 1024;
    t->clamp[i] = static_cast<uint8_t>(level < 0 ? 0 : (level > 255 ? 255 : level));
  }
}

// The byte offsets are copied into locals: the stores through dst could alias them otherwise,
// and the compiler would load them again for every pair.
void Packed422Rows(const uint8_t* src, const PackedOrder& order, const YuvTables& t, uint8_t* dst,
                   int32_t width) {
  const int32_t luma = order.luma;
  const int32_t cb = order.cb;
  const int32_t cr = order.cr;
  int32_t x = 0;
  for (; x + 1 < width; x += 2) {
    const uint8_t* pair = src + static_cast<int64_t>(x) * 2;
    TablePair(pair[luma], pair[luma + 2], pair[cb], pair[cr], t, dst + static_cast<int64_t>(x) * 3,
              true);
  }
  if (x < width) {
    const uint8_t* pair = src + static_cast<int64_t>(x) * 2;
    TablePair(pair[luma], 0, pair[cb], pair[cr], t, dst + static_cast<int64_t>(x) * 3, false);
  }
}

void SemiPlanarRows(const uint8_t* luma, const uint8_t* chroma, bool cbFirst, const YuvTables& t,
                    uint8_t* dst, int32_t width) {
  const int32_t cbIndex = cbFirst ? 0 : 1;
  const int32_t crIndex = 1 - cbIndex;
  int32_t x = 0;
  for (; x + 1 < width; x += 2) {
    TablePair(luma[x], luma[x + 1], chroma[x + cbIndex], chroma[x + crIndex], t,
              dst + static_cast<int64_t>(x) * 3, true);
  }
  if (x < width) {
    TablePair(luma[x], 0, chroma[x + cbIndex], chroma[x + crIndex], t,
              dst + static_cast<int64_t>(x) * 3, false);
  }
}

void PlanarRows(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, const YuvTables& t,
                uint8_t* dst, int32_t width) {
  int32_t x = 0;
  for (; x + 1 < width; x += 2) {
    TablePair(luma[x], luma[x + 1], cb[x / 2], cr[x / 2], t, dst + static_cast<int64_t>(x) * 3,
              true);
  }
  if (x < width) {
    TablePair(luma[x], 0, cb[x / 2], cr[x / 2], t, dst + static_cast<int64_t>(x) * 3, false);
  }
}

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
    const uint8_t level = src[x];
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    out[0] = level;
    out[1] = level;
    out[2] = level;
  }
}

void Y16Scalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; ++x) {
    const uint8_t level = src[static_cast<int64_t>(x) * 2 + 1];
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    out[0] = level;
    out[1] = level;
    out[2] = level;
  }
}

void Bgr24Scalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start) {
  for (int32_t x = start; x < width; ++x) {
    const uint8_t* in = src + static_cast<int64_t>(x) * 3;
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    const uint8_t blue = in[0];
    const uint8_t green = in[1];
    const uint8_t red = in[2];
    out[0] = red;
    out[1] = green;
    out[2] = blue;
  }
}

namespace {

// One demosaiced pixel at column x with its left and right neighbour columns.
inline void BayerPixel(const uint8_t* above, const uint8_t* row, const uint8_t* below,
                       BayerRow phase, bool colourSite, int32_t x, int32_t left, int32_t right,
                       uint8_t* dst) {
  int32_t own;
  int32_t green;
  int32_t other;
  if (colourSite) {
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

// Pairs of a colour site and the green site after it, from column x (a colour site) while both
// lie before inside; returns the first column not done. Every value is read before the first
// store, which the compiler must otherwise assume could change the rows.
template <bool kRedRow>
int32_t BayerPairs(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* dst,
                   int32_t x, int32_t inside) {
  for (; x + 1 < inside; x += 2) {
    const int32_t upLeft = above[x - 1];
    const int32_t up = above[x];
    const int32_t upRight = above[x + 1];
    const int32_t downLeft = below[x - 1];
    const int32_t down = below[x];
    const int32_t downRight = below[x + 1];
    const int32_t left = row[x - 1];
    const int32_t centre = row[x];
    const int32_t right = row[x + 1];
    const int32_t next = row[x + 2];
    const int32_t cross = (left + right + up + down + 2) >> 2;
    const int32_t diagonal = (upLeft + upRight + downLeft + downRight + 2) >> 2;
    const int32_t horizontal = (centre + next + 1) >> 1;
    const int32_t vertical = (upRight + downRight + 1) >> 1;
    uint8_t* out = dst + static_cast<int64_t>(x) * 3;
    out[0] = static_cast<uint8_t>(kRedRow ? centre : diagonal);
    out[1] = static_cast<uint8_t>(cross);
    out[2] = static_cast<uint8_t>(kRedRow ? diagonal : centre);
    out[3] = static_cast<uint8_t>(kRedRow ? horizontal : vertical);
    out[4] = static_cast<uint8_t>(right);
    out[5] = static_cast<uint8_t>(kRedRow ? vertical : horizontal);
  }
  return x;
}

}  // namespace

void BayerScalar(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
                 uint8_t* dst, int32_t width, int32_t start, int32_t end) {
  auto colourSite = [&](int32_t x) { return ((x & 1) == 0) != phase.greenFirst; };
  int32_t x = start;
  if (x == 0 && x < end) {  // the first column reflects
    BayerPixel(above, row, below, phase, colourSite(0), 0, 1, 1, dst);
    ++x;
  }
  // Inside the row, two sites at a time: the branch on the site colour goes.
  const int32_t inside = end < width - 1 ? end : width - 1;
  if (x < inside && !colourSite(x)) {
    BayerPixel(above, row, below, phase, false, x, x - 1, x + 1, dst);
    ++x;
  }
  x = phase.redRow ? BayerPairs<true>(above, row, below, dst, x, inside)
                   : BayerPairs<false>(above, row, below, dst, x, inside);
  if (x < inside) {
    BayerPixel(above, row, below, phase, true, x, x - 1, x + 1, dst);
    ++x;
  }
  if (x < end) {  // the last column reflects
    BayerPixel(above, row, below, phase, colourSite(x), x, Reflect(x - 1, width),
               Reflect(x + 1, width), dst);
  }
}

}  // namespace kernels
}  // namespace cnokhwa
