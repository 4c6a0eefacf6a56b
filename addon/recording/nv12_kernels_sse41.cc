// SSE4.1 row kernels of the NV12 conversion, 16 pixels per step. Built with -msse4.1 and only
// called when the processor has it. Integer arithmetic throughout, in the same order of rounding
// as the scalar kernels, so both give identical bytes.
#include <immintrin.h>

#include "recording/nv12_kernels.h"

namespace zentri_native {
namespace nv12 {

namespace {

// Two 16-bit weights per 32-bit lane, for _mm_madd_epi16 on (low word, high word) pairs.
inline __m128i WeightPair(int16_t low, int16_t high) {
  return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(low)) |
                        (static_cast<int32_t>(static_cast<uint16_t>(high)) << 16));
}

// Per-pixel word pairs of four packed pixels: (byte 0, byte 2) and (byte 1, byte 3).
inline void SplitPixels(__m128i pixels, __m128i* evenBytes, __m128i* oddBytes) {
  *evenBytes = _mm_and_si128(pixels, _mm_set1_epi16(0x00FF));
  *oddBytes = _mm_srli_epi16(pixels, 8);
}

struct RgbxWeights {
  // Weights applied to the (byte 0, byte 2) and (byte 1, byte 3) word pairs of each pixel.
  __m128i yEven, yOdd, uEven, uOdd, vEven, vOdd;
  __m128i yBias, cBias;
};

RgbxWeights MakeWeights(const RgbMatrix& m, bool bgra) {
  RgbxWeights w;
  // Byte 0 is R (RGBA) or B (BGRA), byte 2 the other; byte 1 is G, byte 3 the ignored alpha.
  const int16_t y0 = bgra ? m.yb : m.yr, y2 = bgra ? m.yr : m.yb;
  const int16_t u0 = bgra ? m.ub : m.ur, u2 = bgra ? m.ur : m.ub;
  const int16_t v0 = bgra ? m.vb : m.vr, v2 = bgra ? m.vr : m.vb;
  w.yEven = WeightPair(y0, y2);
  w.yOdd = WeightPair(m.yg, 0);
  w.uEven = WeightPair(u0, u2);
  w.uOdd = WeightPair(m.ug, 0);
  w.vEven = WeightPair(v0, v2);
  w.vOdd = WeightPair(m.vg, 0);
  // Rounding and the output offset in one addition: (s + 8192) >> 14 plus k equals
  // (s + 8192 + (k << 14)) >> 14 for an arithmetic shift.
  w.yBias = _mm_set1_epi32(8192 + (16 << 14));
  w.cBias = _mm_set1_epi32(8192 + (128 << 14));
  return w;
}

inline __m128i LumaOf4(__m128i even, __m128i odd, const RgbxWeights& w) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(even, w.yEven), _mm_madd_epi16(odd, w.yOdd));
  return _mm_srai_epi32(_mm_add_epi32(sum, w.yBias), 14);
}

// Sums of the horizontal pixel pairs: lanes (0,1), (2,3) of a and then of b.
inline __m128i PairSums(__m128i a, __m128i b) {
  const __m128 fa = _mm_castsi128_ps(a);
  const __m128 fb = _mm_castsi128_ps(b);
  const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_add_epi16(even, odd);
}

// Cb,Cr word pairs of four 2x2 blocks from their summed word pairs.
inline __m128i ChromaOf4(__m128i evenSum, __m128i oddSum, const RgbxWeights& w) {
  const __m128i two = _mm_set1_epi16(2);
  const __m128i even = _mm_srli_epi16(_mm_add_epi16(evenSum, two), 2);
  const __m128i odd = _mm_srli_epi16(_mm_add_epi16(oddSum, two), 2);
  __m128i cb = _mm_add_epi32(_mm_madd_epi16(even, w.uEven), _mm_madd_epi16(odd, w.uOdd));
  __m128i cr = _mm_add_epi32(_mm_madd_epi16(even, w.vEven), _mm_madd_epi16(odd, w.vOdd));
  cb = _mm_srai_epi32(_mm_add_epi32(cb, w.cBias), 14);
  cr = _mm_srai_epi32(_mm_add_epi32(cr, w.cBias), 14);
  // Both lie within 16..240, so the pair fits one lane as (Cb, Cr) words.
  return _mm_or_si128(cb, _mm_slli_epi32(cr, 16));
}

}  // namespace

void RgbxRowPairSse41(const RowPair& rows, const RgbMatrix& matrix, bool bgra) {
  const RgbxWeights w = MakeWeights(matrix, bgra);
  const int32_t vectorWidth = rows.width & ~15;
  for (int32_t x = 0; x < vectorWidth; x += 16) {
    __m128i evenTop[4], oddTop[4], evenBottom[4], oddBottom[4];
    for (int i = 0; i < 4; ++i) {
      const __m128i top = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.src0 + 4 * x) + i);
      const __m128i bottom =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.src1 + 4 * x) + i);
      SplitPixels(top, &evenTop[i], &oddTop[i]);
      SplitPixels(bottom, &evenBottom[i], &oddBottom[i]);
    }
    __m128i lumaTop[4], lumaBottom[4];
    for (int i = 0; i < 4; ++i) {
      lumaTop[i] = LumaOf4(evenTop[i], oddTop[i], w);
      lumaBottom[i] = LumaOf4(evenBottom[i], oddBottom[i], w);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x),
                     _mm_packus_epi16(_mm_packs_epi32(lumaTop[0], lumaTop[1]),
                                      _mm_packs_epi32(lumaTop[2], lumaTop[3])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x),
                     _mm_packus_epi16(_mm_packs_epi32(lumaBottom[0], lumaBottom[1]),
                                      _mm_packs_epi32(lumaBottom[2], lumaBottom[3])));

    __m128i chroma[2];
    for (int half = 0; half < 2; ++half) {
      const int a = 2 * half;
      const __m128i evenSum = PairSums(_mm_add_epi16(evenTop[a], evenBottom[a]),
                                       _mm_add_epi16(evenTop[a + 1], evenBottom[a + 1]));
      const __m128i oddSum = PairSums(_mm_add_epi16(oddTop[a], oddBottom[a]),
                                      _mm_add_epi16(oddTop[a + 1], oddBottom[a + 1]));
      chroma[half] = ChromaOf4(evenSum, oddSum, w);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x),
                     _mm_packus_epi16(chroma[0], chroma[1]));
  }
  RgbxColumnsScalar(rows, matrix, bgra, vectorWidth);
}

void Packed422RowPairSse41(const RowPair& rows, bool uyvy) {
  const int32_t vectorWidth = rows.width & ~15;
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  for (int32_t x = 0; x < vectorWidth; x += 16) {
    const __m128i* top = reinterpret_cast<const __m128i*>(rows.src0 + 2 * x);
    const __m128i* bottom = reinterpret_cast<const __m128i*>(rows.src1 + 2 * x);
    const __m128i t0 = _mm_loadu_si128(top);
    const __m128i t1 = _mm_loadu_si128(top + 1);
    const __m128i b0 = _mm_loadu_si128(bottom);
    const __m128i b1 = _mm_loadu_si128(bottom + 1);
    // Even bytes are luma in YUY2 and chroma in UYVY.
    const __m128i evenTop =
        _mm_packus_epi16(_mm_and_si128(t0, lowBytes), _mm_and_si128(t1, lowBytes));
    const __m128i oddTop = _mm_packus_epi16(_mm_srli_epi16(t0, 8), _mm_srli_epi16(t1, 8));
    const __m128i evenBottom =
        _mm_packus_epi16(_mm_and_si128(b0, lowBytes), _mm_and_si128(b1, lowBytes));
    const __m128i oddBottom = _mm_packus_epi16(_mm_srli_epi16(b0, 8), _mm_srli_epi16(b1, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), uyvy ? oddTop : evenTop);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x), uyvy ? oddBottom : evenBottom);
    // pavgb is (a + b + 1) >> 1.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x),
                     uyvy ? _mm_avg_epu8(evenTop, evenBottom) : _mm_avg_epu8(oddTop, oddBottom));
  }
  Packed422ColumnsScalar(rows, uyvy, vectorWidth);
}

void I420ChromaRowSse41(const RowPair& rows) {
  const int32_t vectorWidth = rows.width & ~15;
  for (int32_t x = 0; x < vectorWidth; x += 16) {
    const __m128i cb = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows.chroma[0] + x / 2));
    const __m128i cr = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows.chroma[1] + x / 2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x), _mm_unpacklo_epi8(cb, cr));
  }
  I420ChromaColumnsScalar(rows, vectorWidth);
}

namespace {

// ((y * 14071 + 8192) >> 14) + 16 for sixteen luma bytes: y * 28142 + 16384 is twice the sum, and
// pmulhrsw computes exactly (a * b + 16384) >> 15.
inline __m128i CompressLuma(__m128i y) {
  const __m128i weight = _mm_set1_epi16(28142);
  const __m128i sixteen = _mm_set1_epi16(16);
  const __m128i low = _mm_add_epi16(_mm_mulhrs_epi16(_mm_cvtepu8_epi16(y), weight), sixteen);
  const __m128i high =
      _mm_add_epi16(_mm_mulhrs_epi16(_mm_unpackhi_epi8(y, _mm_setzero_si128()), weight), sixteen);
  return _mm_packus_epi16(low, high);
}

// Luma of four pixels with the BT.601 to BT.709 correction: y words zero-extended to lanes, the
// chroma term (with rounding and offset) per lane.
inline __m128i CorrectedLuma4(__m128i yLanes, __m128i chromaTerm) {
  const __m128i weight = _mm_set1_epi32(14071);
  return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yLanes, weight), chromaTerm), 14);
}

}  // namespace

void FullRangeRowPairSse41(const RowPair& rows, bool highDefinition) {
  const int32_t vectorWidth = rows.width & ~15;
  const __m128i c128 = _mm_set1_epi16(128);
  for (int32_t x = 0; x < vectorWidth; x += 16) {
    const __m128i top = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.src0 + x));
    const __m128i bottom = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.src1 + x));
    // Eight chroma samples, centred: -128..127.
    const __m128i cb = _mm_sub_epi16(_mm_cvtepu8_epi16(_mm_loadl_epi64(
                                         reinterpret_cast<const __m128i*>(rows.chroma[0] + x / 2))),
                                     c128);
    const __m128i cr = _mm_sub_epi16(_mm_cvtepu8_epi16(_mm_loadl_epi64(
                                         reinterpret_cast<const __m128i*>(rows.chroma[1] + x / 2))),
                                     c128);
    if (!highDefinition) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), CompressLuma(top));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x), CompressLuma(bottom));
      // ((c * 14392 + 8192) >> 14) + 128 = pmulhrsw(c, 28784) + 128.
      const __m128i weight = _mm_set1_epi16(28784);
      const __m128i cbOut = _mm_add_epi16(_mm_mulhrs_epi16(cb, weight), c128);
      const __m128i crOut = _mm_add_epi16(_mm_mulhrs_epi16(cr, weight), c128);
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(rows.uv + x),
          _mm_packus_epi16(_mm_unpacklo_epi16(cbOut, crOut), _mm_unpackhi_epi16(cbOut, crOut)));
      continue;
    }
    // (cb, cr) word pairs of the eight samples.
    const __m128i pairsLow = _mm_unpacklo_epi16(cb, cr);
    const __m128i pairsHigh = _mm_unpackhi_epi16(cb, cr);
    const __m128i lumaBias = _mm_set1_epi32(8192 + (16 << 14));
    const __m128i chromaBias = _mm_set1_epi32(8192 + (128 << 14));
    const __m128i lumaWeights = WeightPair(-1663, -2993);
    // Per sample: -cb * 1663 - cr * 2993 + rounding + luma offset.
    const __m128i termLow = _mm_add_epi32(_mm_madd_epi16(pairsLow, lumaWeights), lumaBias);
    const __m128i termHigh = _mm_add_epi32(_mm_madd_epi16(pairsHigh, lumaWeights), lumaBias);
    // Each sample covers two neighbouring pixels.
    const __m128i terms[4] = {
        _mm_unpacklo_epi32(termLow, termLow), _mm_unpackhi_epi32(termLow, termLow),
        _mm_unpacklo_epi32(termHigh, termHigh), _mm_unpackhi_epi32(termHigh, termHigh)};
    for (int row = 0; row < 2; ++row) {
      const __m128i y = row == 0 ? top : bottom;
      const __m128i yLow = _mm_cvtepu8_epi16(y);
      const __m128i yHigh = _mm_unpackhi_epi8(y, _mm_setzero_si128());
      const __m128i l0 = CorrectedLuma4(_mm_cvtepu16_epi32(yLow), terms[0]);
      const __m128i l1 = CorrectedLuma4(_mm_unpackhi_epi16(yLow, _mm_setzero_si128()), terms[1]);
      const __m128i l2 = CorrectedLuma4(_mm_cvtepu16_epi32(yHigh), terms[2]);
      const __m128i l3 = CorrectedLuma4(_mm_unpackhi_epi16(yHigh, _mm_setzero_si128()), terms[3]);
      // packus clamps to 0..255 as the scalar kernel does.
      _mm_storeu_si128(reinterpret_cast<__m128i*>((row == 0 ? rows.y0 : rows.y1) + x),
                       _mm_packus_epi16(_mm_packs_epi32(l0, l1), _mm_packs_epi32(l2, l3)));
    }
    const __m128i cbWeights = WeightPair(14660, 1650);
    const __m128i crWeights = WeightPair(1080, 14757);
    auto chroma4 = [&](__m128i pairs) {
      const __m128i cbOut =
          _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, cbWeights), chromaBias), 14);
      const __m128i crOut =
          _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, crWeights), chromaBias), 14);
      return _mm_or_si128(cbOut, _mm_slli_epi32(crOut, 16));
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x),
                     _mm_packus_epi16(chroma4(pairsLow), chroma4(pairsHigh)));
  }
  FullRangeColumnsScalar(rows, highDefinition, vectorWidth);
}

}  // namespace nv12
}  // namespace zentri_native
