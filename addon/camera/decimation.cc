#include "camera/decimation.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zentri_native {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the 4-byte pixel moves assume a little-endian processor");

namespace {

#if defined(__x86_64__)
// Step 2 (the common case: a 1920x1080 camera under the 960x540 preview limit) with SSSE3: four
// output pixels come from 21 source bytes, gathered by two byte shuffles. Returns the number of
// output columns done; it stops while the 24-byte read window still lies inside the row.
__attribute__((target("ssse3"))) int DecimateRowStep2Ssse3(const uint8_t* in, int64_t rowBytes,
                                                           int outWidth, uint8_t* out,
                                                           int64_t nextRowOffset) {
  const __m128i lowMask = _mm_setr_epi8(0, 1, 2, -1, 6, 7, 8, -1, 12, 13, 14, -1, -1, -1, -1, -1);
  const __m128i highMask =
      _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 4, -1);
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xff000000u));
  int x = 0;
  for (; x + 4 <= outWidth && int64_t{x} * 6 + 24 <= rowBytes; x += 4) {
    const uint8_t* p = in + int64_t{x} * 6;
    // The next row used is two rows down; the hardware prefetcher loses the stream at every
    // skipped row, so fetch ahead by hand.
    _mm_prefetch(reinterpret_cast<const char*>(p + nextRowOffset), _MM_HINT_T0);
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i pixels = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(low, lowMask), _mm_shuffle_epi8(high, highMask)), alpha);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + int64_t{x} * 4), pixels);
  }
  return x;
}

bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

}  // namespace

DecimationPlan PlanDecimation(int sourceWidth, int sourceHeight, int maxWidth, int maxHeight) {
  const int mw = std::max(maxWidth, 1);
  const int mh = std::max(maxHeight, 1);
  const double scale =
      std::max(static_cast<double>(sourceWidth) / mw, static_cast<double>(sourceHeight) / mh);
  DecimationPlan plan;
  if (scale < 1.0) {
    plan.step = 1;
    plan.outWidth = sourceWidth;
    plan.outHeight = sourceHeight;
  } else {
    plan.step = std::max<int64_t>(static_cast<int64_t>(std::ceil(scale)), 1);
    plan.outWidth = static_cast<int>(sourceWidth / plan.step);
    plan.outHeight = static_cast<int>(sourceHeight / plan.step);
  }
  plan.outWidth = std::max(plan.outWidth, 1);
  plan.outHeight = std::max(plan.outHeight, 1);
  return plan;
}

void DecimateRgbToRgba(const uint8_t* source, int64_t stride, int sourceWidth, int sourceHeight,
                       const DecimationPlan& plan, uint8_t* destination) {
  const int64_t step = plan.step;
  const int outWidth = plan.outWidth;
  // Columns whose source pixel is not the last of its row can be moved as one 4-byte load (R, G,
  // B and the next pixel's R) with the alpha byte forced: those four bytes lie inside the row.
  const int64_t lastColumn = sourceWidth - 1;
  const int fastColumns =
      static_cast<int>(std::min<int64_t>(outWidth, (lastColumn + step - 1) / step));
  const int64_t columnStep = step * 3;
  for (int y = 0; y < plan.outHeight; ++y) {
    const int64_t row = std::min<int64_t>(y * step, sourceHeight - 1);
    const uint8_t* in = source + row * stride;
    uint8_t* out = destination + static_cast<int64_t>(y) * outWidth * 4;
    int x = 0;
#if defined(__x86_64__)
    if (step == 2 && HasSsse3()) {
      const int64_t nextRowOffset =
          y + 1 < plan.outHeight
              ? std::min<int64_t>((y + 1) * step, sourceHeight - 1) * stride - row * stride
              : 0;
      x = DecimateRowStep2Ssse3(in, int64_t{sourceWidth} * 3, outWidth, out, nextRowOffset);
      out += int64_t{x} * 4;
    }
#endif
    const uint8_t* pixel = in + x * columnStep;
    for (; x < fastColumns; ++x, pixel += columnStep, out += 4) {
      uint32_t value;
      std::memcpy(&value, pixel, 4);
      // Little-endian: the fourth byte in memory is the top byte.
      value |= 0xff000000u;
      std::memcpy(out, &value, 4);
    }
    for (; x < outWidth; ++x, out += 4) {
      const uint8_t* p = in + std::min<int64_t>(x * step, lastColumn) * 3;
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      out[3] = 255;
    }
  }
}

void BuildDecimationTables(const DecimationPlan& plan, int64_t stride, int sourceWidth,
                           int sourceHeight, DecimationTables* tables) {
  const int64_t step = plan.step;
  const int64_t lastColumn = sourceWidth - 1;
  tables->step = step;
  tables->rowBytes = int64_t{sourceWidth} * 3;
  tables->fastColumns =
      static_cast<int>(std::min<int64_t>(plan.outWidth, (lastColumn + step - 1) / step));
  tables->columns.resize(static_cast<size_t>(plan.outWidth));
  for (int x = 0; x < plan.outWidth; ++x) {
    tables->columns[static_cast<size_t>(x)] = std::min<int64_t>(x * step, lastColumn) * 3;
  }
  tables->rows.resize(static_cast<size_t>(plan.outHeight));
  for (int y = 0; y < plan.outHeight; ++y) {
    tables->rows[static_cast<size_t>(y)] = std::min<int64_t>(y * step, sourceHeight - 1) * stride;
  }
}

void DecimateWithTables(const uint8_t* source, const DecimationTables& tables,
                        uint8_t* destination) {
  const int outWidth = static_cast<int>(tables.columns.size());
  const int outHeight = static_cast<int>(tables.rows.size());
  const int64_t* columns = tables.columns.data();
  uint8_t* out = destination;
  for (int y = 0; y < outHeight; ++y) {
    const uint8_t* in = source + tables.rows[static_cast<size_t>(y)];
    int x = 0;
#if defined(__x86_64__)
    // Step 2 has a fixed column pattern, which the shuffle kernel encodes; it reads the same
    // source bytes as the column table would.
    if (tables.step == 2 && HasSsse3()) {
      const int64_t nextRowOffset =
          y + 1 < outHeight ? tables.rows[static_cast<size_t>(y) + 1] - tables.rows[y] : 0;
      x = DecimateRowStep2Ssse3(in, tables.rowBytes, outWidth, out, nextRowOffset);
    }
#endif
    for (; x < tables.fastColumns; ++x) {
      uint32_t value;
      std::memcpy(&value, in + columns[x], 4);
      value |= 0xff000000u;
      std::memcpy(out + int64_t{x} * 4, &value, 4);
    }
    for (; x < outWidth; ++x) {
      const uint8_t* p = in + columns[x];
      uint8_t* o = out + int64_t{x} * 4;
      o[0] = p[0];
      o[1] = p[1];
      o[2] = p[2];
      o[3] = 255;
    }
    out += int64_t{outWidth} * 4;
  }
}

}  // namespace zentri_native
