// SSE4.1 row kernels (with SSSE3's byte shuffle and rounding multiply): 16 pixels per step.
#include <immintrin.h>

#include "pixel_kernels.h"

namespace cnokhwa {
namespace kernels {
namespace {

struct Ops {
  using V = __m128i;
  static constexpr int32_t kBytes = 16;

  static V Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  // Eight bytes into the low half.
  static V LoadHalf(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const V*>(p)); }
  static V LaneMask(const uint8_t* bytes) { return Load(bytes); }
  static V Zero() { return _mm_setzero_si128(); }
  static V Set16(int16_t value) { return _mm_set1_epi16(value); }
  // (first, second) in every pair of 16-bit lanes.
  static V Set16Pair(int16_t first, int16_t second) {
    const uint32_t pair =
        static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16 | static_cast<uint16_t>(first);
    return _mm_set1_epi32(static_cast<int32_t>(pair));
  }
  static V Set8(uint8_t value) { return _mm_set1_epi8(static_cast<char>(value)); }
  static V UnpackLo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V UnpackHi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V PackUs16(V a, V b) { return _mm_packus_epi16(a, b); }
  static V Shuffle(V a, V mask) { return _mm_shuffle_epi8(a, mask); }
  template <int N>
  static V ShiftLeft16(V a) {
    return _mm_slli_epi16(a, N);
  }
  template <int N>
  static V ShiftRightArith16(V a) {
    return _mm_srai_epi16(a, N);
  }
  static V Add16(V a, V b) { return _mm_add_epi16(a, b); }
  static V AddSat16(V a, V b) { return _mm_adds_epi16(a, b); }
  static V Sub16(V a, V b) { return _mm_sub_epi16(a, b); }
  static V MulHrs16(V a, V b) { return _mm_mulhrs_epi16(a, b); }
  static V Avg8(V a, V b) { return _mm_avg_epu8(a, b); }
  static V Sub8(V a, V b) { return _mm_sub_epi8(a, b); }
  static V And(V a, V b) { return _mm_and_si128(a, b); }
  static V Or(V a, V b) { return _mm_or_si128(a, b); }
  static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
  // b where mask has its top bit set, else a.
  static V Blend8(V a, V b, V mask) { return _mm_blendv_epi8(a, b, mask); }

  // 16 pixels of packed 4:2:2 (32 bytes): their luma bytes and their (Cb, Cr) pairs.
  static void LoadPacked422(const uint8_t* p, V split, V* y, V* uv) {
    const V a = Shuffle(Load(p), split);
    const V b = Shuffle(Load(p + 16), split);
    *y = _mm_unpacklo_epi64(a, b);
    *uv = _mm_unpackhi_epi64(a, b);
  }

  static void StoreBlocks(uint8_t* dst, const V* blocks) {
    for (int i = 0; i < 3; ++i) {
      _mm_storeu_si128(reinterpret_cast<V*>(dst + i * 16), blocks[i]);
    }
  }
};

}  // namespace

#include "pixel_kernels_simd.h"

void Packed422Sse41(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                    uint8_t* dst, int32_t width) {
  Packed422Row(src, order, k, dst, width);
}

void SemiPlanarSse41(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                     const YuvCoefficients& k, uint8_t* dst, int32_t width) {
  SemiPlanarRow(luma, chroma, cbFirst, k, dst, width);
}

void PlanarSse41(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                 const YuvCoefficients& k, uint8_t* dst, int32_t width) {
  PlanarRow(luma, cb, cr, k, dst, width);
}

void BayerSse41(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
                uint8_t* dst, int32_t width) {
  BayerRowKernel(above, row, below, phase, dst, width);
}

void GreySse41(const uint8_t* src, uint8_t* dst, int32_t width) {
  const RgbMasks m = MakeRgbMasks();
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const V y = Ops::Load(src + x);
    const V out[3] = {Ops::Shuffle(y, m.grey[0]), Ops::Shuffle(y, m.grey[1]),
                      Ops::Shuffle(y, m.grey[2])};
    Ops::StoreBlocks(dst + static_cast<int64_t>(x) * 3, out);
  }
  GreyScalar(src, dst, width, x);
}

void Y16Sse41(const uint8_t* src, uint8_t* dst, int32_t width) {
  const RgbMasks m = MakeRgbMasks();
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const uint8_t* in = src + static_cast<int64_t>(x) * 2;
    // Little-endian samples: the high byte of each is the second.
    const V y =
        _mm_packus_epi16(_mm_srli_epi16(Ops::Load(in), 8), _mm_srli_epi16(Ops::Load(in + 16), 8));
    const V out[3] = {Ops::Shuffle(y, m.grey[0]), Ops::Shuffle(y, m.grey[1]),
                      Ops::Shuffle(y, m.grey[2])};
    Ops::StoreBlocks(dst + static_cast<int64_t>(x) * 3, out);
  }
  Y16Scalar(src, dst, width, x);
}

void Bgr24Sse41(const uint8_t* src, uint8_t* dst, int32_t width) {
  // Five whole pixels per 16-byte load; the sixteenth byte is written and then overwritten by
  // the next step, so a step needs 16 bytes of room in both rows.
  const V swap = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int32_t x = 0;
  for (; static_cast<int64_t>(x) * 3 + 16 <= static_cast<int64_t>(width) * 3; x += 5) {
    const int64_t at = static_cast<int64_t>(x) * 3;
    _mm_storeu_si128(reinterpret_cast<V*>(dst + at), Ops::Shuffle(Ops::Load(src + at), swap));
  }
  Bgr24Scalar(src, dst, width, x);
}

}  // namespace kernels
}  // namespace cnokhwa
