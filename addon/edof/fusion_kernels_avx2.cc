// AVX2 row kernels of the fusion. Built with -mavx2 (no FMA, no contraction) and called only
// when the processor has AVX2. Every lane repeats the plain code's operations: products and
// sums in double, each colour tap sum rounded to float after each addition.
#include <immintrin.h>

#include <cfloat>

#include "edof/fusion_kernels.h"

namespace zentri_native {
namespace edof_kernels {

namespace {

inline __m256d Load4(const double* p) {
  return _mm256_loadu_pd(p);
}

inline __m128i LoadIndices(const int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m256d Gather(const float* base, __m128i index) {
  return _mm256_cvtps_pd(_mm_i32gather_ps(base, index, 4));
}

// ((c10 - c00) * fx + c00) * (1 - fy) + ((c11 - c01) * fx + c01) * fy
inline __m256d Bilinear(__m256d c00, __m256d c10, __m256d c01, __m256d c11, __m256d fx,
                        __m256d fy) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d top = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(c10, c00), fx), c00);
  const __m256d bottom = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(c11, c01), fx), c01);
  return _mm256_add_pd(_mm256_mul_pd(top, _mm256_sub_pd(one, fy)), _mm256_mul_pd(bottom, fy));
}

// All-ones lanes where |value| <= the largest finite value (false for NaN).
inline __m128 FiniteFloats(__m128 value) {
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), value);
  return _mm_cmp_ps(magnitude, _mm_set1_ps(FLT_MAX), _CMP_LE_OQ);
}

inline __m256d FiniteDoubles(__m256d value) {
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), value);
  return _mm256_cmp_pd(magnitude, _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ);
}

inline __m256d WidenMask(__m128 mask) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(mask)));
}

inline __m128 NarrowMask(__m256d mask) {
  const __m256i picked = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(mask),
                                                     _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
  return _mm_castsi128_ps(_mm256_castsi256_si128(picked));
}

// The four corner values of a map at four pixels: gathered, or loaded straight when the four
// columns are consecutive cells (first is then the first column's left tap).
struct Corners {
  __m128 c00, c10, c01, c11;
};

inline Corners LoadCorners(const float* const rows[2], __m128i i0, __m128i i1, int32_t first) {
  if (first >= 0) {
    return {_mm_loadu_ps(rows[0] + first), _mm_loadu_ps(rows[0] + first + 1),
            _mm_loadu_ps(rows[1] + first), _mm_loadu_ps(rows[1] + first + 1)};
  }
  return {_mm_i32gather_ps(rows[0], i0, 4), _mm_i32gather_ps(rows[0], i1, 4),
          _mm_i32gather_ps(rows[1], i0, 4), _mm_i32gather_ps(rows[1], i1, 4)};
}

inline __m256d Interpolate(const Corners& c, __m256d fx, __m256d fy) {
  return Bilinear(_mm256_cvtps_pd(c.c00), _mm256_cvtps_pd(c.c10), _mm256_cvtps_pd(c.c01),
                  _mm256_cvtps_pd(c.c11), fx, fy);
}

// Interpolates one field map at four pixels; *ok keeps the lanes whose corners and result are
// finite. At whole map cells (both fractions 0) the interpolation of finite corners is the first
// corner itself, up to the sign of a zero; the callers use the value only as mx + 0.5 or in a
// comparison, where that sign makes no difference, so the arithmetic is skipped there.
inline __m256d FieldSample(const float* const rows[2], __m128i i0, __m128i i1, int32_t first,
                           bool wholeCells, __m256d fx, __m256d fy, __m256d* ok) {
  const Corners c = LoadCorners(rows, i0, i1, first);
  const __m128 finite = _mm_and_ps(_mm_and_ps(FiniteFloats(c.c00), FiniteFloats(c.c10)),
                                   _mm_and_ps(FiniteFloats(c.c01), FiniteFloats(c.c11)));
  if (wholeCells) {
    *ok = _mm256_and_pd(*ok, WidenMask(finite));
    return _mm256_cvtps_pd(c.c00);
  }
  const __m256d value = Interpolate(c, fx, fy);
  *ok = _mm256_and_pd(*ok, _mm256_and_pd(WidenMask(finite), FiniteDoubles(value)));
  return value;
}

// sum = float(sum + w * tap), starting from a float zero.
inline __m128 TapSum(__m256d w00, __m256d w10, __m256d w01, __m256d w11, __m256d a, __m256d b,
                     __m256d c, __m256d d) {
  __m128 sum = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(w00, a)));
  sum = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(sum), _mm256_mul_pd(w10, b)));
  sum = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(sum), _mm256_mul_pd(w01, c)));
  return _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(sum), _mm256_mul_pd(w11, d)));
}

// Stores four pixels given as R, G and B vectors as 12 interleaved floats.
inline void StoreInterleaved(__m128 r, __m128 g, __m128 b, float* out) {
  const __m128 rs = _mm_permute_ps(r, _MM_SHUFFLE(1, 2, 3, 0));              // r0 r3 r2 r1
  const __m128 gs = _mm_permute_ps(g, _MM_SHUFFLE(2, 3, 0, 1));              // g1 g0 g3 g2
  const __m128 bs = _mm_permute_ps(b, _MM_SHUFFLE(3, 0, 1, 2));              // b2 b1 b0 b3
  _mm_storeu_ps(out, _mm_blend_ps(_mm_blend_ps(rs, gs, 0x2), bs, 0x4));      // r0 g0 b0 r1
  _mm_storeu_ps(out + 4, _mm_blend_ps(_mm_blend_ps(gs, bs, 0x2), rs, 0x4));  // g1 b1 r2 g2
  _mm_storeu_ps(out + 8, _mm_blend_ps(_mm_blend_ps(bs, rs, 0x2), gs, 0x4));  // b2 r3 g3 b3
}

inline __m256d Channel(__m128i pixels, int shift) {
  return _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(pixels, shift), _mm_set1_epi32(0xFF)));
}

// Four values of a row: picked from one 8-float window when the taps are that close, else
// gathered.
inline __m128 Pick(const float* row, int32_t window, const int32_t* lanes, const int32_t* index) {
  if (window >= 0) {
    const __m256 values = _mm256_loadu_ps(row + window);
    const __m256i places = _mm256_zextsi128_si256(LoadIndices(lanes));
    return _mm256_castps256_ps128(_mm256_permutevar8x32_ps(values, places));
  }
  return _mm_i32gather_ps(row, LoadIndices(index), 4);
}

inline __m128 UpsampleFour(const float* top, const float* bottom, const UpsampleElements& elements,
                           size_t e, __m256d fy) {
  const __m256d one = _mm256_set1_pd(1.0);
  const int32_t window0 = elements.window0[e / 4];
  const int32_t window1 = elements.window1[e / 4];
  const __m256d fx = Load4(elements.f + e);
  const __m256d gx = _mm256_sub_pd(one, fx);
  const __m256d gy = _mm256_sub_pd(one, fy);
  const __m256d a = _mm256_cvtps_pd(Pick(top, window0, elements.lane0 + e, elements.i0 + e));
  const __m256d b = _mm256_cvtps_pd(Pick(top, window1, elements.lane1 + e, elements.i1 + e));
  const __m256d c = _mm256_cvtps_pd(Pick(bottom, window0, elements.lane0 + e, elements.i0 + e));
  const __m256d d = _mm256_cvtps_pd(Pick(bottom, window1, elements.lane1 + e, elements.i1 + e));
  return TapSum(_mm256_mul_pd(gx, gy), _mm256_mul_pd(fx, gy), _mm256_mul_pd(gx, fy),
                _mm256_mul_pd(fx, fy), a, b, c, d);
}

}  // namespace

int32_t AddMapSamplesAvx2(const float* row0, const float* row1, const MapColumns& columns,
                          double fy, float* sum, int32_t count) {
  const __m256d vfy = _mm256_set1_pd(fy);
  const float* const rows[2] = {row0, row1};
  int32_t x = 0;
  for (; x + 4 <= count; x += 4) {
    const __m128i i0 = LoadIndices(columns.i0 + x);
    const __m128i i1 = LoadIndices(columns.i1 + x);
    const __m256d sample = Interpolate(LoadCorners(rows, i0, i1, columns.consecutive[x / 4]),
                                       Load4(columns.f + x), vfy);
    _mm_storeu_ps(sum + x, _mm_add_ps(_mm_loadu_ps(sum + x), _mm256_cvtpd_ps(sample)));
  }
  return x;
}

int32_t WarpRowAvx2(const WarpRowArgs& a) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d fy = _mm256_set1_pd(a.fy);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d outWidth = _mm256_set1_pd(a.width);
  const __m256d outHeight = _mm256_set1_pd(a.height);
  const __m256d mapWidth = _mm256_set1_pd(a.mapWidth);
  const __m256d mapHeight = _mm256_set1_pd(a.mapHeight);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d cx = _mm256_set1_pd((a.width - 1) * 0.5);
  const __m256d cy = _mm256_set1_pd((a.height - 1) * 0.5);
  const __m256d maxX = _mm256_set1_pd(a.width - 1);
  const __m256d maxY = _mm256_set1_pd(a.height - 1);
  const __m256d scale = _mm256_set1_pd(a.scale);
  const __m256d minConfidence = _mm256_set1_pd(static_cast<double>(0.02f));
  const __m128i lastColumn = _mm_set1_epi32(a.width - 1);
  const __m128i lastRow = _mm_set1_epi32(a.height - 1);
  const __m128i stride = _mm_set1_epi32(a.width);
  const int32_t* frame = reinterpret_cast<const int32_t*>(a.frame);
  int32_t x = 0;
  for (; x + 4 <= a.width; x += 4) {
    const __m128i i0 = LoadIndices(a.columns.i0 + x);
    const __m128i i1 = LoadIndices(a.columns.i1 + x);
    const int32_t first = a.columns.consecutive[x / 4];
    const __m256d fx = Load4(a.columns.f + x);
    __m256d ok = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(LoadIndices(a.columns.inside + x)));
    const bool wholeCells = a.fy == 0 && a.columns.wholeCells[x / 4] != 0;
    const __m256d mx = FieldSample(a.x, i0, i1, first, wholeCells, fx, fy, &ok);
    const __m256d my = FieldSample(a.y, i0, i1, first, wholeCells, fx, fy, &ok);
    const __m256d confidence = FieldSample(a.confidence, i0, i1, first, wholeCells, fx, fy, &ok);
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(confidence, minConfidence, _CMP_GE_OQ));
    // ((m + 0.5) * size / mapSize - 0.5 - c) * scale + c
    __m256d sourceX = _mm256_div_pd(_mm256_mul_pd(_mm256_add_pd(mx, half), outWidth), mapWidth);
    sourceX =
        _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_sub_pd(sourceX, half), cx), scale), cx);
    __m256d sourceY = _mm256_div_pd(_mm256_mul_pd(_mm256_add_pd(my, half), outHeight), mapHeight);
    sourceY =
        _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_sub_pd(sourceY, half), cy), scale), cy);
    ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(sourceX, zero, _CMP_GE_OQ),
                                         _mm256_cmp_pd(sourceX, maxX, _CMP_LE_OQ)));
    ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(sourceY, zero, _CMP_GE_OQ),
                                         _mm256_cmp_pd(sourceY, maxY, _CMP_LE_OQ)));
    const __m128 ok32 = NarrowMask(ok);

    // Fallback colours: the reference frame's own pixels, needed only where a lane fails.
    __m128 red = _mm_setzero_ps();
    __m128 green = _mm_setzero_ps();
    __m128 blue = _mm_setzero_ps();
    if (_mm256_movemask_pd(ok) != 0xF) {
      const __m128i referencePixels =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.reference + 4 * x));
      red = _mm_cvtepi32_ps(_mm_and_si128(referencePixels, _mm_set1_epi32(0xFF)));
      green =
          _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(referencePixels, 8), _mm_set1_epi32(0xFF)));
      blue =
          _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(referencePixels, 16), _mm_set1_epi32(0xFF)));
    }
    __m128 weight = _mm_setzero_ps();
    if (_mm256_movemask_pd(ok) != 0) {
      const __m128 sample =
          _mm256_cvtpd_ps(Interpolate(LoadCorners(a.weight, i0, i1, first), fx, fy));
      const __m128 sum = _mm_loadu_ps(a.weightSum + x);
      const __m128 useSum = _mm_cmp_ps(sum, _mm_set1_ps(1e-8f), _CMP_GT_OQ);
      weight = _mm_and_ps(
          ok32, _mm_blendv_ps(_mm_set1_ps(a.fallbackWeight), _mm_div_ps(sample, sum), useSum));

      // Lanes that fall back sample pixel (0, 0) and are discarded.
      const __m256d px = _mm256_and_pd(ok, sourceX);
      const __m256d py = _mm256_and_pd(ok, sourceY);
      const __m256d floorX = _mm256_floor_pd(px);
      const __m256d floorY = _mm256_floor_pd(py);
      const __m128i x0 = _mm256_cvttpd_epi32(floorX);
      const __m128i y0 = _mm256_cvttpd_epi32(floorY);
      const __m128i x1 = _mm_min_epi32(_mm_add_epi32(x0, _mm_set1_epi32(1)), lastColumn);
      const __m128i y1 = _mm_min_epi32(_mm_add_epi32(y0, _mm_set1_epi32(1)), lastRow);
      const __m256d tx = _mm256_sub_pd(px, floorX);
      const __m256d ty = _mm256_sub_pd(py, floorY);
      const __m128i row0 = _mm_mullo_epi32(y0, stride);
      const __m128i row1 = _mm_mullo_epi32(y1, stride);
      const __m128i i00 = _mm_add_epi32(row0, x0);
      const __m128i i01 = _mm_add_epi32(row1, x0);
      const __m128i step = _mm_setr_epi32(0, 1, 2, 3);
      const __m128i one32 = _mm_set1_epi32(1);
      // Nearly aligned frames read four neighbouring pixels of one row pair: plain loads.
      const __m128i run00 = _mm_add_epi32(_mm_shuffle_epi32(i00, 0), step);
      const bool topRun = _mm_movemask_epi8(_mm_cmpeq_epi32(i00, run00)) == 0xFFFF;
      const __m256d whole =
          _mm256_and_pd(_mm256_cmp_pd(tx, zero, _CMP_EQ_OQ), _mm256_cmp_pd(ty, zero, _CMP_EQ_OQ));
      if (_mm256_movemask_pd(whole) == 0xF) {
        // Whole-pixel positions: the first tap weighs 1 and the other three add +0 to a
        // non-negative sum, so each channel is the byte itself.
        const __m128i p00 =
            topRun
                ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + _mm_cvtsi128_si32(i00)))
                : _mm_i32gather_epi32(frame, i00, 4);
        red = _mm_blendv_ps(red, _mm_cvtepi32_ps(_mm_and_si128(p00, _mm_set1_epi32(0xFF))), ok32);
        green = _mm_blendv_ps(
            green, _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p00, 8), _mm_set1_epi32(0xFF))),
            ok32);
        blue = _mm_blendv_ps(
            blue, _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p00, 16), _mm_set1_epi32(0xFF))),
            ok32);
      } else {
        const __m256d gx = _mm256_sub_pd(one, tx);
        const __m256d gy = _mm256_sub_pd(one, ty);
        const __m256d w00 = _mm256_mul_pd(gx, gy);
        const __m256d w10 = _mm256_mul_pd(tx, gy);
        const __m256d w01 = _mm256_mul_pd(gx, ty);
        const __m256d w11 = _mm256_mul_pd(tx, ty);
        __m128i p00, p10, p01, p11;
        const __m128i run01 = _mm_add_epi32(_mm_shuffle_epi32(i01, 0), step);
        const __m128i same =
            _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi32(i00, run00), _mm_cmpeq_epi32(i01, run01)),
                          _mm_cmpeq_epi32(x1, _mm_add_epi32(x0, one32)));
        if (_mm_movemask_epi8(same) == 0xFFFF) {
          const int32_t* top = frame + _mm_cvtsi128_si32(i00);
          const int32_t* bottom = frame + _mm_cvtsi128_si32(i01);
          p00 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top));
          p10 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + 1));
          p01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom));
          p11 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + 1));
        } else {
          p00 = _mm_i32gather_epi32(frame, i00, 4);
          p10 = _mm_i32gather_epi32(frame, _mm_add_epi32(row0, x1), 4);
          p01 = _mm_i32gather_epi32(frame, i01, 4);
          p11 = _mm_i32gather_epi32(frame, _mm_add_epi32(row1, x1), 4);
        }
        red = _mm_blendv_ps(red,
                            TapSum(w00, w10, w01, w11, Channel(p00, 0), Channel(p10, 0),
                                   Channel(p01, 0), Channel(p11, 0)),
                            ok32);
        green = _mm_blendv_ps(green,
                              TapSum(w00, w10, w01, w11, Channel(p00, 8), Channel(p10, 8),
                                     Channel(p01, 8), Channel(p11, 8)),
                              ok32);
        blue = _mm_blendv_ps(blue,
                             TapSum(w00, w10, w01, w11, Channel(p00, 16), Channel(p10, 16),
                                    Channel(p01, 16), Channel(p11, 16)),
                             ok32);
      }
    }
    _mm_storeu_ps(a.weightOut + x, weight);
    StoreInterleaved(red, green, blue, a.rgb + 3 * static_cast<size_t>(x));
  }
  return x;
}

size_t UpsampleRowAvx2(const float* top, const float* bottom, const UpsampleElements& elements,
                       double fy, float* out, size_t count) {
  const __m256d vfy = _mm256_set1_pd(fy);
  size_t e = 0;
  for (; e + 4 <= count; e += 4) {
    _mm_storeu_ps(out + e, UpsampleFour(top, bottom, elements, e, vfy));
  }
  return e;
}

size_t UpsampleRowPairAvx2(const float* top, const float* bottom, const UpsampleElements& elements,
                           double fy0, double fy1, float* out0, float* out1, size_t count) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d fy[2] = {_mm256_set1_pd(fy0), _mm256_set1_pd(fy1)};
  const __m256d gy[2] = {_mm256_sub_pd(one, fy[0]), _mm256_sub_pd(one, fy[1])};
  float* const out[2] = {out0, out1};
  size_t e = 0;
  for (; e + 4 <= count; e += 4) {
    const int32_t window0 = elements.window0[e / 4];
    const int32_t window1 = elements.window1[e / 4];
    const __m256d fx = Load4(elements.f + e);
    const __m256d gx = _mm256_sub_pd(one, fx);
    const __m256d a = _mm256_cvtps_pd(Pick(top, window0, elements.lane0 + e, elements.i0 + e));
    const __m256d b = _mm256_cvtps_pd(Pick(top, window1, elements.lane1 + e, elements.i1 + e));
    const __m256d c = _mm256_cvtps_pd(Pick(bottom, window0, elements.lane0 + e, elements.i0 + e));
    const __m256d d = _mm256_cvtps_pd(Pick(bottom, window1, elements.lane1 + e, elements.i1 + e));
    for (int r = 0; r < 2; ++r) {
      _mm_storeu_ps(out[r] + e,
                    TapSum(_mm256_mul_pd(gx, gy[r]), _mm256_mul_pd(fx, gy[r]),
                           _mm256_mul_pd(gx, fy[r]), _mm256_mul_pd(fx, fy[r]), a, b, c, d));
    }
  }
  return e;
}

size_t AccumulateBandRowAvx2(const float* top, const float* bottom,
                             const UpsampleElements& elements, double fy, const float* fine,
                             const float* weight, float* acc, size_t count) {
  const __m256d vfy = _mm256_set1_pd(fy);
  size_t e = 0;
  for (; e + 4 <= count; e += 4) {
    const __m128 upsampled = UpsampleFour(top, bottom, elements, e, vfy);
    const __m128 w =
        Pick(weight, elements.pixelWindow[e / 4], elements.pixelLane + e, elements.pixel + e);
    const __m128 band = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(fine + e), upsampled), w);
    _mm_storeu_ps(acc + e, _mm_add_ps(_mm_loadu_ps(acc + e), band));
  }
  return e;
}

size_t AccumulateBandRowPairAvx2(const float* top, const float* bottom,
                                 const UpsampleElements& elements, const BandRow& first,
                                 const BandRow& second, size_t count) {
  const __m256d one = _mm256_set1_pd(1.0);
  const BandRow* rows[2] = {&first, &second};
  __m256d fy[2], gy[2];
  for (int r = 0; r < 2; ++r) {
    fy[r] = _mm256_set1_pd(rows[r]->fy);
    gy[r] = _mm256_sub_pd(one, fy[r]);
  }
  size_t e = 0;
  for (; e + 4 <= count; e += 4) {
    const int32_t window0 = elements.window0[e / 4];
    const int32_t window1 = elements.window1[e / 4];
    const __m256d fx = Load4(elements.f + e);
    const __m256d gx = _mm256_sub_pd(one, fx);
    const __m256d a = _mm256_cvtps_pd(Pick(top, window0, elements.lane0 + e, elements.i0 + e));
    const __m256d b = _mm256_cvtps_pd(Pick(top, window1, elements.lane1 + e, elements.i1 + e));
    const __m256d c = _mm256_cvtps_pd(Pick(bottom, window0, elements.lane0 + e, elements.i0 + e));
    const __m256d d = _mm256_cvtps_pd(Pick(bottom, window1, elements.lane1 + e, elements.i1 + e));
    for (int r = 0; r < 2; ++r) {
      const BandRow& row = *rows[r];
      const __m128 upsampled =
          TapSum(_mm256_mul_pd(gx, gy[r]), _mm256_mul_pd(fx, gy[r]), _mm256_mul_pd(gx, fy[r]),
                 _mm256_mul_pd(fx, fy[r]), a, b, c, d);
      const __m128 w =
          Pick(row.weight, elements.pixelWindow[e / 4], elements.pixelLane + e, elements.pixel + e);
      const __m128 band = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(row.fine + e), upsampled), w);
      _mm_storeu_ps(row.acc + e, _mm_add_ps(_mm_loadu_ps(row.acc + e), band));
    }
  }
  return e;
}

int32_t DownsampleRowAvx2(const float* topRgb, const float* topWeight, const float* bottomRgb,
                          const float* bottomWeight, int32_t dstWidth, float* dstRgb,
                          float* dstWeight) {
  const __m256d four = _mm256_set1_pd(4.0);
  int32_t ox = 0;
  // Pixel ox reads source floats up to 6 ox + 6 and writes up to 3 ox + 3: both exist while a
  // later output pixel exists.
  for (; ox + 1 < dstWidth; ++ox) {
    const size_t x = 2 * static_cast<size_t>(ox);
    // (r, g, b, weight) of each tap.
    const __m128 a = _mm_insert_ps(_mm_loadu_ps(topRgb + 3 * x), _mm_load_ss(topWeight + x), 0x30);
    const __m128 b =
        _mm_insert_ps(_mm_loadu_ps(topRgb + 3 * x + 3), _mm_load_ss(topWeight + x + 1), 0x30);
    const __m128 c =
        _mm_insert_ps(_mm_loadu_ps(bottomRgb + 3 * x), _mm_load_ss(bottomWeight + x), 0x30);
    const __m128 d =
        _mm_insert_ps(_mm_loadu_ps(bottomRgb + 3 * x + 3), _mm_load_ss(bottomWeight + x + 1), 0x30);
    __m256d sum = _mm256_add_pd(_mm256_setzero_pd(), _mm256_cvtps_pd(a));
    sum = _mm256_add_pd(sum, _mm256_cvtps_pd(b));
    sum = _mm256_add_pd(sum, _mm256_cvtps_pd(c));
    sum = _mm256_add_pd(sum, _mm256_cvtps_pd(d));
    const __m128 mean = _mm256_cvtpd_ps(_mm256_div_pd(sum, four));
    _mm_storeu_ps(dstRgb + 3 * static_cast<size_t>(ox), mean);
    _mm_store_ss(dstWeight + ox, _mm_permute_ps(mean, _MM_SHUFFLE(3, 3, 3, 3)));
  }
  return ox;
}

int32_t RoundRowAvx2(const float* rgb, int32_t width, uint8_t* out) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 limit = _mm_set1_ps(256.0f);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i top = _mm_set1_epi32(255);
  const __m128i toRgba =
      _mm_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128);
  const __m128i alpha = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    __m128i rounded[3];
    __m128 inRange = _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (int i = 0; i < 3; ++i) {
      const __m128 value = _mm_loadu_ps(rgb + 3 * static_cast<size_t>(x) + 4 * i);
      inRange = _mm_and_ps(inRange, _mm_and_ps(_mm_cmp_ps(value, zero, _CMP_GE_OQ),
                                               _mm_cmp_ps(value, limit, _CMP_LT_OQ)));
      const __m128i whole = _mm_cvttps_epi32(value);
      const __m128 fraction = _mm_sub_ps(value, _mm_cvtepi32_ps(whole));
      // The comparison gives -1 where the fraction reaches one half: subtracting adds 1.
      const __m128i up = _mm_castps_si128(_mm_cmp_ps(fraction, half, _CMP_GE_OQ));
      rounded[i] = _mm_min_epi32(_mm_sub_epi32(whole, up), top);
    }
    if (_mm_movemask_ps(inRange) != 0xF) {
      break;
    }
    const __m128i words = _mm_packus_epi32(rounded[0], rounded[1]);
    const __m128i bytes = _mm_packus_epi16(words, _mm_packus_epi32(rounded[2], rounded[2]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * static_cast<size_t>(x)),
                     _mm_or_si128(_mm_shuffle_epi8(bytes, toRgba), alpha));
  }
  return x;
}

}  // namespace edof_kernels
}  // namespace zentri_native
