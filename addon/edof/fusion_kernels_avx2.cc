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
// finite. Where every value of both map rows is known to be finite (kFinite) neither test can
// fail: the corners pass, and an interpolation of finite floats in double, with fractions from
// 0 to 1, stays far below the double range. At whole map cells (both fractions 0) the
// interpolation of finite corners is the first corner itself, up to the sign of a zero; the
// callers use the value only as mx + 0.5 or in a comparison, where that sign makes no
// difference, so the arithmetic is skipped there.
template <bool kFinite>
inline __m256d FieldSample(const float* const rows[2], __m128i i0, __m128i i1, int32_t first,
                           bool wholeCells, __m256d fx, __m256d fy, __m256d* ok) {
  const Corners c = LoadCorners(rows, i0, i1, first);
  if (kFinite) {
    return wholeCells ? _mm256_cvtps_pd(c.c00) : Interpolate(c, fx, fy);
  }
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

inline __m256d Channel(__m128i pixels, int shift) {
  return _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(pixels, shift), _mm_set1_epi32(0xFF)));
}

// The taps of eight output pixels in one source row, widened to double in two halves of four:
// picked from the group's 8-float window, or gathered when the group has none.
struct RowTaps {
  __m256d left[2];
  __m256d right[2];
};

inline __m256d Low(__m256 v) {
  return _mm256_cvtps_pd(_mm256_castps256_ps128(v));
}

inline __m256d High(__m256 v) {
  return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}

struct GroupColumns {
  int32_t window;
  __m256i lane0;
  __m256i lane1;
  __m256i i0;
  __m256i i1;
};

inline GroupColumns LoadGroup(const ResampleColumns& columns, int32_t x) {
  GroupColumns group;
  group.window = columns.window[x / 8];
  if (group.window >= 0) {
    group.lane0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.lane0 + x));
    group.lane1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.lane1 + x));
  } else {
    group.i0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.i0 + x));
    group.i1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.i1 + x));
  }
  return group;
}

inline RowTaps LoadTaps(const float* row, const GroupColumns& group) {
  __m256 left, right;
  if (group.window >= 0) {
    const __m256 values = _mm256_loadu_ps(row + group.window);
    left = _mm256_permutevar8x32_ps(values, group.lane0);
    right = _mm256_permutevar8x32_ps(values, group.lane1);
  } else {
    left = _mm256_i32gather_ps(row, group.i0, 4);
    right = _mm256_i32gather_ps(row, group.i1, 4);
  }
  return {{Low(left), High(left)}, {Low(right), High(right)}};
}

// The four bilinear tap weights of four pixels.
struct TapWeights {
  __m256d w00, w10, w01, w11;
};

inline TapWeights Weights(__m256d fx, __m256d fy) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d gx = _mm256_sub_pd(one, fx);
  const __m256d gy = _mm256_sub_pd(one, fy);
  return {_mm256_mul_pd(gx, gy), _mm256_mul_pd(fx, gy), _mm256_mul_pd(gx, fy),
          _mm256_mul_pd(fx, fy)};
}

// Both halves of a group of eight: the weights for one vertical fraction.
struct GroupWeights {
  TapWeights half[2];
};

inline GroupWeights WeightsOf(const ResampleColumns& columns, int32_t x, __m256d fy) {
  return {{Weights(Load4(columns.f + x), fy), Weights(Load4(columns.f + x + 4), fy)}};
}

// The eight upsampled values of one plane.
inline __m256 Upsampled(const RowTaps& top, const RowTaps& bottom, const GroupWeights& weights) {
  __m128 half[2];
  for (int h = 0; h < 2; ++h) {
    const TapWeights& w = weights.half[h];
    half[h] = TapSum(w.w00, w.w10, w.w01, w.w11, top.left[h], top.right[h], bottom.left[h],
                     bottom.right[h]);
  }
  return _mm256_set_m128(half[1], half[0]);
}

// acc += (fine - upsampled) * weight for eight pixels of one plane.
inline void AddBand(const float* fine, __m256 upsampled, __m256 weight, float* acc) {
  const __m256 band = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(fine), upsampled), weight);
  _mm256_storeu_ps(acc, _mm256_add_ps(_mm256_loadu_ps(acc), band));
}

}  // namespace

bool RowFiniteAvx2(const float* row, int32_t count) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 largest = _mm256_set1_ps(FLT_MAX);
  __m256 finite = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256 magnitude = _mm256_andnot_ps(sign, _mm256_loadu_ps(row + x));
    finite = _mm256_and_ps(finite, _mm256_cmp_ps(magnitude, largest, _CMP_LE_OQ));
  }
  bool all = _mm256_movemask_ps(finite) == 0xFF;
  for (; x < count; ++x) {
    all = all && __builtin_fabsf(row[x]) <= FLT_MAX;
  }
  return all;
}

int32_t AddMapSamplesAvx2(const float* row0, const float* row1, const MapColumns& columns,
                          double fy, bool finiteRows, float* sum, int32_t count) {
  const __m256d vfy = _mm256_set1_pd(fy);
  const float* const rows[2] = {row0, row1};
  // On whole cells of a finite map the sample is the first corner, up to the sign of a zero
  // (which the weight sum's uses, a comparison and a divisor above 1e-8, cannot tell).
  const bool finiteWholeRow = fy == 0 && finiteRows;
  int32_t x = 0;
  for (; x + 4 <= count; x += 4) {
    const __m128i i0 = LoadIndices(columns.i0 + x);
    const __m128i i1 = LoadIndices(columns.i1 + x);
    const int32_t first = columns.consecutive[x / 4];
    __m128 sample;
    if (finiteWholeRow && columns.wholeCells[x / 4] != 0) {
      sample = first >= 0 ? _mm_loadu_ps(row0 + first) : _mm_i32gather_ps(row0, i0, 4);
    } else {
      sample =
          _mm256_cvtpd_ps(Interpolate(LoadCorners(rows, i0, i1, first), Load4(columns.f + x), vfy));
    }
    _mm_storeu_ps(sum + x, _mm_add_ps(_mm_loadu_ps(sum + x), sample));
  }
  return x;
}

namespace {

// The warp of groups of four pixels; kFinite when every x, y and confidence value of the two map
// rows is finite, finiteWeights when every weight of the two rows is.
template <bool kFinite>
int32_t WarpGroups(const WarpRowArgs& args, bool finiteWeights) {
  // A local copy: the vector stores may alias anything, so members read through the reference
  // would be loaded again after every store.
  const WarpRowArgs a = args;
  const bool wholeRow = a.fy == 0;
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
    const bool wholeCells = wholeRow && a.columns.wholeCells[x / 4] != 0;
    const __m256d mx = FieldSample<kFinite>(a.x, i0, i1, first, wholeCells, fx, fy, &ok);
    const __m256d my = FieldSample<kFinite>(a.y, i0, i1, first, wholeCells, fx, fy, &ok);
    const __m256d confidence =
        FieldSample<kFinite>(a.confidence, i0, i1, first, wholeCells, fx, fy, &ok);
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
      // On whole cells of finite weights the sample is the first corner (up to the sign of a
      // zero, which no later step can tell from the other zero).
      const Corners weightCorners = LoadCorners(a.weight, i0, i1, first);
      const __m128 sample = wholeCells && finiteWeights
                                ? weightCorners.c00
                                : _mm256_cvtpd_ps(Interpolate(weightCorners, fx, fy));
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
    _mm_storeu_ps(a.out[0] + x, red);
    _mm_storeu_ps(a.out[1] + x, green);
    _mm_storeu_ps(a.out[2] + x, blue);
    _mm_storeu_ps(a.out[kWeightPlane] + x, weight);
  }
  return x;
}

}  // namespace

int32_t WarpRowAvx2(const WarpRowArgs& a) {
  return a.finiteFields ? WarpGroups<true>(a, a.finiteWeights)
                        : WarpGroups<false>(a, a.finiteWeights);
}

int32_t UpsampleRowAvx2(const SourceRows& sourceRows, const ResampleColumns& columnTable, double fy,
                        float* const outRows[kColourPlanes], int32_t count) {
  // Local copies, as in WarpGroups: the stores may alias anything.
  const SourceRows source = sourceRows;
  const ResampleColumns columns = columnTable;
  float* const out[kColourPlanes] = {outRows[0], outRows[1], outRows[2]};
  const __m256d vfy = _mm256_set1_pd(fy);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const GroupColumns group = LoadGroup(columns, x);
    const GroupWeights weights = WeightsOf(columns, x, vfy);
    for (int c = 0; c < kColourPlanes; ++c) {
      const RowTaps top = LoadTaps(source.top[c], group);
      const RowTaps bottom = LoadTaps(source.bottom[c], group);
      _mm256_storeu_ps(out[c] + x, Upsampled(top, bottom, weights));
    }
  }
  return x;
}

int32_t UpsampleRowPairAvx2(const SourceRows& sourceRows, const ResampleColumns& columnTable,
                            double fy0, double fy1, float* const out0[kColourPlanes],
                            float* const out1[kColourPlanes], int32_t count) {
  const SourceRows source = sourceRows;
  const ResampleColumns columns = columnTable;
  const __m256d fy[2] = {_mm256_set1_pd(fy0), _mm256_set1_pd(fy1)};
  float* const out[2][kColourPlanes] = {{out0[0], out0[1], out0[2]}, {out1[0], out1[1], out1[2]}};
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const GroupColumns group = LoadGroup(columns, x);
    const GroupWeights weights[2] = {WeightsOf(columns, x, fy[0]), WeightsOf(columns, x, fy[1])};
    for (int c = 0; c < kColourPlanes; ++c) {
      const RowTaps top = LoadTaps(source.top[c], group);
      const RowTaps bottom = LoadTaps(source.bottom[c], group);
      for (int r = 0; r < 2; ++r) {
        _mm256_storeu_ps(out[r][c] + x, Upsampled(top, bottom, weights[r]));
      }
    }
  }
  return x;
}

int32_t AccumulateBandRowAvx2(const SourceRows& sourceRows, const ResampleColumns& columnTable,
                              const BandRow& bandRow, int32_t count) {
  const SourceRows source = sourceRows;
  const ResampleColumns columns = columnTable;
  const BandRow row = bandRow;
  const __m256d fy = _mm256_set1_pd(row.fy);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const GroupColumns group = LoadGroup(columns, x);
    const GroupWeights weights = WeightsOf(columns, x, fy);
    const __m256 weight = _mm256_loadu_ps(row.weight + x);
    for (int c = 0; c < kColourPlanes; ++c) {
      const RowTaps top = LoadTaps(source.top[c], group);
      const RowTaps bottom = LoadTaps(source.bottom[c], group);
      AddBand(row.fine[c] + x, Upsampled(top, bottom, weights), weight, row.acc[c] + x);
    }
  }
  return x;
}

int32_t AccumulateBandRowPairAvx2(const SourceRows& sourceRows, const ResampleColumns& columnTable,
                                  const BandRow& firstRow, const BandRow& secondRow,
                                  int32_t count) {
  const SourceRows source = sourceRows;
  const ResampleColumns columns = columnTable;
  const BandRow first = firstRow;
  const BandRow second = secondRow;
  const BandRow* rows[2] = {&first, &second};
  const __m256d fy[2] = {_mm256_set1_pd(first.fy), _mm256_set1_pd(second.fy)};
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const GroupColumns group = LoadGroup(columns, x);
    const GroupWeights weights[2] = {WeightsOf(columns, x, fy[0]), WeightsOf(columns, x, fy[1])};
    const __m256 weight[2] = {_mm256_loadu_ps(first.weight + x),
                              _mm256_loadu_ps(second.weight + x)};
    for (int c = 0; c < kColourPlanes; ++c) {
      const RowTaps top = LoadTaps(source.top[c], group);
      const RowTaps bottom = LoadTaps(source.bottom[c], group);
      for (int r = 0; r < 2; ++r) {
        AddBand(rows[r]->fine[c] + x, Upsampled(top, bottom, weights[r]), weight[r],
                rows[r]->acc[c] + x);
      }
    }
  }
  return x;
}

int32_t DownsampleRowAvx2(const float* const top[kPlanes], const float* const bottom[kPlanes],
                          int32_t srcWidth, float* const out[kPlanes], int32_t dstWidth) {
  // Even source columns to the low half, odd ones to the high half.
  const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  // x / 4 and x * 0.25 are the same correctly rounded value.
  const __m256d quarter = _mm256_set1_pd(0.25);
  int32_t ox = 0;
  for (; ox + 4 <= dstWidth && 2 * static_cast<int64_t>(ox) + 8 <= srcWidth; ox += 4) {
    const size_t x = 2 * static_cast<size_t>(ox);
    for (int p = 0; p < kPlanes; ++p) {
      const __m256 t = _mm256_permutevar8x32_ps(_mm256_loadu_ps(top[p] + x), split);
      const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(bottom[p] + x), split);
      __m256d sum = _mm256_add_pd(_mm256_setzero_pd(), Low(t));
      sum = _mm256_add_pd(sum, High(t));
      sum = _mm256_add_pd(sum, Low(b));
      sum = _mm256_add_pd(sum, High(b));
      _mm_storeu_ps(out[p] + ox, _mm256_cvtpd_ps(_mm256_mul_pd(sum, quarter)));
    }
  }
  return ox;
}

int32_t NormaliseRowAvx2(float* const rgb[kColourPlanes], const float* weight, int32_t count) {
  const __m256 minimum = _mm256_set1_ps(1e-8f);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256 w = _mm256_loadu_ps(weight + x);
    const __m256 use = _mm256_cmp_ps(w, minimum, _CMP_GT_OQ);
    for (int c = 0; c < kColourPlanes; ++c) {
      const __m256 value = _mm256_loadu_ps(rgb[c] + x);
      _mm256_storeu_ps(rgb[c] + x, _mm256_blendv_ps(value, _mm256_div_ps(value, w), use));
    }
  }
  return x;
}

int32_t RoundRowAvx2(const float* const rgb[kColourPlanes], int32_t count, uint8_t* out) {
  // lroundf of a value of magnitude below 2^62 fits a long, and limited to 0 to 255 it is the
  // rounding of the value first limited to 0 to 255.
  const __m256 magnitudeLimit = _mm256_set1_ps(0x1p62f);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 largest = _mm256_set1_ps(255.0f);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u));
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    __m256i rounded[kColourPlanes];
    __m256 fits = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    for (int c = 0; c < kColourPlanes; ++c) {
      const __m256 value = _mm256_loadu_ps(rgb[c] + x);
      fits = _mm256_and_ps(
          fits, _mm256_cmp_ps(_mm256_andnot_ps(sign, value), magnitudeLimit, _CMP_LT_OQ));
      const __m256 limited = _mm256_min_ps(_mm256_max_ps(value, zero), largest);
      const __m256i whole = _mm256_cvttps_epi32(limited);
      const __m256 fraction = _mm256_sub_ps(limited, _mm256_cvtepi32_ps(whole));
      // The comparison gives -1 where the fraction reaches one half: subtracting adds 1.
      const __m256i up = _mm256_castps_si256(_mm256_cmp_ps(fraction, half, _CMP_GE_OQ));
      rounded[c] = _mm256_sub_epi32(whole, up);
    }
    if (_mm256_movemask_ps(fits) != 0xFF) {
      break;
    }
    const __m256i pixels =
        _mm256_or_si256(_mm256_or_si256(rounded[0], _mm256_slli_epi32(rounded[1], 8)),
                        _mm256_or_si256(_mm256_slli_epi32(rounded[2], 16), alpha));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * static_cast<size_t>(x)), pixels);
  }
  return x;
}

}  // namespace edof_kernels
}  // namespace zentri_native
