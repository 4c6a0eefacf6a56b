// AVX2 row kernels of the NV12 conversion, 16 pixels of two rows per step. Built with -mavx2 and
// only called when the processor has it. The same integer steps as the scalar kernels, so the
// bytes are identical.
#include <immintrin.h>

#include "recording/nv12_kernels.h"

namespace zentri_native {
namespace nv12 {

namespace {

inline __m256i WeightPair(int16_t low, int16_t high) {
  return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(low)) |
                           (static_cast<int32_t>(static_cast<uint16_t>(high)) << 16));
}

struct RgbxWeights {
  __m256i yEven, yOdd, uEven, uOdd, vEven, vOdd;
  __m256i yBias, cBias;
};

// Pixel byte 0 is R (RGBA) or B (BGRA), byte 2 the other; byte 1 is G and byte 3 the ignored
// alpha. Each pixel splits into the word pairs (byte 0, byte 2) and (byte 1, byte 3).
RgbxWeights MakeWeights(const RgbMatrix& m, bool bgra) {
  RgbxWeights w;
  w.yEven = WeightPair(bgra ? m.yb : m.yr, bgra ? m.yr : m.yb);
  w.yOdd = WeightPair(m.yg, 0);
  w.uEven = WeightPair(bgra ? m.ub : m.ur, bgra ? m.ur : m.ub);
  w.uOdd = WeightPair(m.ug, 0);
  w.vEven = WeightPair(bgra ? m.vb : m.vr, bgra ? m.vr : m.vb);
  w.vOdd = WeightPair(m.vg, 0);
  // Rounding and output offset in one addition (exact for an arithmetic shift).
  w.yBias = _mm256_set1_epi32(8192 + (16 << 14));
  w.cBias = _mm256_set1_epi32(8192 + (128 << 14));
  return w;
}

inline __m256i LumaOf8(__m256i even, __m256i odd, const RgbxWeights& w) {
  const __m256i sum =
      _mm256_add_epi32(_mm256_madd_epi16(even, w.yEven), _mm256_madd_epi16(odd, w.yOdd));
  return _mm256_srai_epi32(_mm256_add_epi32(sum, w.yBias), 14);
}

}  // namespace

void RgbxRowPairAvx2(const RowPair& rows, const RgbMatrix& matrix, bool bgra) {
  const RgbxWeights w = MakeWeights(matrix, bgra);
  const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
  const __m256i two = _mm256_set1_epi16(2);
  // The in-lane packs leave groups of four pixels in the order 0, 2, 1, 3 per row; this puts
  // them back in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const int32_t vectorWidth = rows.width & ~15;
  for (int32_t x = 0; x < vectorWidth; x += 16) {
    const __m256i* top = reinterpret_cast<const __m256i*>(rows.src0 + 4 * x);
    const __m256i* bottom = reinterpret_cast<const __m256i*>(rows.src1 + 4 * x);
    // a: pixels 0-7, b: pixels 8-15; lanes of 128 bits hold pixels 0-3 | 4-7 and 8-11 | 12-15.
    const __m256i topA = _mm256_loadu_si256(top);
    const __m256i topB = _mm256_loadu_si256(top + 1);
    const __m256i bottomA = _mm256_loadu_si256(bottom);
    const __m256i bottomB = _mm256_loadu_si256(bottom + 1);
    const __m256i evenTopA = _mm256_and_si256(topA, lowBytes);
    const __m256i evenTopB = _mm256_and_si256(topB, lowBytes);
    const __m256i evenBottomA = _mm256_and_si256(bottomA, lowBytes);
    const __m256i evenBottomB = _mm256_and_si256(bottomB, lowBytes);
    const __m256i oddTopA = _mm256_srli_epi16(topA, 8);
    const __m256i oddTopB = _mm256_srli_epi16(topB, 8);
    const __m256i oddBottomA = _mm256_srli_epi16(bottomA, 8);
    const __m256i oddBottomB = _mm256_srli_epi16(bottomB, 8);

    // Words per lane: top (0-3, 8-11 | 4-7, 12-15), likewise bottom; bytes: top then bottom.
    const __m256i lumaTop =
        _mm256_packs_epi32(LumaOf8(evenTopA, oddTopA, w), LumaOf8(evenTopB, oddTopB, w));
    const __m256i lumaBottom = _mm256_packs_epi32(LumaOf8(evenBottomA, oddBottomA, w),
                                                  LumaOf8(evenBottomB, oddBottomB, w));
    const __m256i luma =
        _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lumaTop, lumaBottom), order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), _mm256_castsi256_si128(luma));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x), _mm256_extracti128_si256(luma, 1));

    // Column sums of both rows, then horizontal pairs: blocks 0, 1, 4, 5 | 2, 3, 6, 7.
    const __m256 evenA = _mm256_castsi256_ps(_mm256_add_epi16(evenTopA, evenBottomA));
    const __m256 evenB = _mm256_castsi256_ps(_mm256_add_epi16(evenTopB, evenBottomB));
    const __m256 oddA = _mm256_castsi256_ps(_mm256_add_epi16(oddTopA, oddBottomA));
    const __m256 oddB = _mm256_castsi256_ps(_mm256_add_epi16(oddTopB, oddBottomB));
    const __m256i evenSum = _mm256_add_epi16(
        _mm256_castps_si256(_mm256_shuffle_ps(evenA, evenB, _MM_SHUFFLE(2, 0, 2, 0))),
        _mm256_castps_si256(_mm256_shuffle_ps(evenA, evenB, _MM_SHUFFLE(3, 1, 3, 1))));
    const __m256i oddSum = _mm256_add_epi16(
        _mm256_castps_si256(_mm256_shuffle_ps(oddA, oddB, _MM_SHUFFLE(2, 0, 2, 0))),
        _mm256_castps_si256(_mm256_shuffle_ps(oddA, oddB, _MM_SHUFFLE(3, 1, 3, 1))));
    const __m256i even = _mm256_srli_epi16(_mm256_add_epi16(evenSum, two), 2);
    const __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(oddSum, two), 2);
    __m256i cb = _mm256_add_epi32(_mm256_madd_epi16(even, w.uEven), _mm256_madd_epi16(odd, w.uOdd));
    __m256i cr = _mm256_add_epi32(_mm256_madd_epi16(even, w.vEven), _mm256_madd_epi16(odd, w.vOdd));
    cb = _mm256_srai_epi32(_mm256_add_epi32(cb, w.cBias), 14);
    cr = _mm256_srai_epi32(_mm256_add_epi32(cr, w.cBias), 14);
    // Cb and Cr lie within 16..240: one (Cb, Cr) word pair per block.
    const __m256i pairs = _mm256_or_si256(cb, _mm256_slli_epi32(cr, 16));
    const __m256i chroma = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(pairs, pairs), order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x), _mm256_castsi256_si128(chroma));
  }
  RgbxColumnsScalar(rows, matrix, bgra, vectorWidth);
}

void Packed422RowPairAvx2(const RowPair& rows, bool uyvy) {
  const int32_t vectorWidth = rows.width & ~15;
  const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
  // Splits 16 pixels (32 bytes) into their 16 even bytes (low half) and 16 odd bytes (high half).
  auto split = [&](const uint8_t* source) {
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source));
    const __m256i packed =
        _mm256_packus_epi16(_mm256_and_si256(pixels, lowBytes), _mm256_srli_epi16(pixels, 8));
    return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
  };
  for (int32_t x = 0; x < vectorWidth; x += 16) {
    const __m256i top = split(rows.src0 + 2 * x);
    const __m256i bottom = split(rows.src1 + 2 * x);
    // Even bytes are luma in YUY2 and chroma in UYVY; pavgb is (a + b + 1) >> 1.
    const __m256i average = _mm256_avg_epu8(top, bottom);
    if (uyvy) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), _mm256_extracti128_si256(top, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x),
                       _mm256_extracti128_si256(bottom, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x), _mm256_castsi256_si128(average));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), _mm256_castsi256_si128(top));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x), _mm256_castsi256_si128(bottom));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x),
                       _mm256_extracti128_si256(average, 1));
    }
  }
  Packed422ColumnsScalar(rows, uyvy, vectorWidth);
}

void FullRangeRowPairAvx2(const RowPair& rows, bool highDefinition) {
  const int32_t vectorWidth = rows.width & ~15;
  const __m128i c128 = _mm_set1_epi16(128);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
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
      // ((y * 14071 + 8192) >> 14) + 16 = pmulhrsw(y, 28142) + 16, for both rows at once.
      const __m256i weight = _mm256_set1_epi16(28142);
      const __m256i sixteen = _mm256_set1_epi16(16);
      const __m256i yTop =
          _mm256_add_epi16(_mm256_mulhrs_epi16(_mm256_cvtepu8_epi16(top), weight), sixteen);
      const __m256i yBottom =
          _mm256_add_epi16(_mm256_mulhrs_epi16(_mm256_cvtepu8_epi16(bottom), weight), sixteen);
      const __m256i luma =
          _mm256_permute4x64_epi64(_mm256_packus_epi16(yTop, yBottom), _MM_SHUFFLE(3, 1, 2, 0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), _mm256_castsi256_si128(luma));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x), _mm256_extracti128_si256(luma, 1));
      // ((c * 14392 + 8192) >> 14) + 128 = pmulhrsw(c, 28784) + 128.
      const __m128i chromaWeight = _mm_set1_epi16(28784);
      const __m128i cbOut = _mm_add_epi16(_mm_mulhrs_epi16(cb, chromaWeight), c128);
      const __m128i crOut = _mm_add_epi16(_mm_mulhrs_epi16(cr, chromaWeight), c128);
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(rows.uv + x),
          _mm_packus_epi16(_mm_unpacklo_epi16(cbOut, crOut), _mm_unpackhi_epi16(cbOut, crOut)));
      continue;
    }
    // (cb, cr) word pairs of the eight samples, one per 32-bit lane.
    const __m256i pairs = _mm256_set_m128i(_mm_unpackhi_epi16(cb, cr), _mm_unpacklo_epi16(cb, cr));
    // Per sample: -cb * 1663 - cr * 2993 + rounding + luma offset; each covers two pixels.
    const __m256i terms = _mm256_add_epi32(_mm256_madd_epi16(pairs, WeightPair(-1663, -2993)),
                                           _mm256_set1_epi32(8192 + (16 << 14)));
    const __m256i termsLow =
        _mm256_permutevar8x32_epi32(terms, _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
    const __m256i termsHigh =
        _mm256_permutevar8x32_epi32(terms, _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7));
    const __m256i lumaWeight = _mm256_set1_epi32(14071);
    // Luma of eight pixels: y zero-extended to lanes, so madd gives y * 14071.
    auto luma8 = [&](__m128i eightBytes, __m256i term) {
      const __m256i y = _mm256_cvtepu8_epi32(eightBytes);
      return _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(y, lumaWeight), term), 14);
    };
    // Words per lane: pixels 0-3, 8-11 | 4-7, 12-15 (as in the RGBA kernel).
    const __m256i lumaTop =
        _mm256_packs_epi32(luma8(top, termsLow), luma8(_mm_unpackhi_epi64(top, top), termsHigh));
    const __m256i lumaBottom = _mm256_packs_epi32(
        luma8(bottom, termsLow), luma8(_mm_unpackhi_epi64(bottom, bottom), termsHigh));
    // packus clamps to 0..255 as the scalar kernel does.
    const __m256i luma =
        _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lumaTop, lumaBottom), order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y0 + x), _mm256_castsi256_si128(luma));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y1 + x), _mm256_extracti128_si256(luma, 1));

    const __m256i chromaBias = _mm256_set1_epi32(8192 + (128 << 14));
    const __m256i cbOut = _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(pairs, WeightPair(14660, 1650)), chromaBias), 14);
    const __m256i crOut = _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(pairs, WeightPair(1080, 14757)), chromaBias), 14);
    const __m256i both = _mm256_or_si256(cbOut, _mm256_slli_epi32(crOut, 16));
    const __m256i chroma =
        _mm256_permute4x64_epi64(_mm256_packus_epi16(both, both), _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.uv + x), _mm256_castsi256_si128(chroma));
  }
  FullRangeColumnsScalar(rows, highDefinition, vectorWidth);
}

}  // namespace nv12
}  // namespace zentri_native
