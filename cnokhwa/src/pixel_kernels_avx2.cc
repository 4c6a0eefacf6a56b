// AVX2 row kernels: 32 pixels per step, in two 16-byte lanes (see pixel_kernels_simd.h).
#include <immintrin.h>

#include "pixel_kernels.h"

namespace cnokhwa {
namespace kernels {
namespace {

struct Ops {
  using V = __m256i;
  static constexpr int32_t kBytes = 32;

  static V Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  // Sixteen bytes, bytes 0-7 into the low half of lane 0 and bytes 8-15 into that of lane 1.
  static V LoadHalf(const uint8_t* p) {
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm256_permute4x64_epi64(_mm256_castsi128_si256(half), 0x50);
  }
  // The same 16 bytes in both lanes.
  static V LaneMask(const uint8_t* bytes) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
  }
  static V Zero() { return _mm256_setzero_si256(); }
  static V Set16(int16_t value) { return _mm256_set1_epi16(value); }
  // (first, second) in every pair of 16-bit lanes.
  static V Set16Pair(int16_t first, int16_t second) {
    const uint32_t pair =
        static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16 | static_cast<uint16_t>(first);
    return _mm256_set1_epi32(static_cast<int32_t>(pair));
  }
  static V Set8(uint8_t value) { return _mm256_set1_epi8(static_cast<char>(value)); }
  static V UnpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V UnpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V PackUs16(V a, V b) { return _mm256_packus_epi16(a, b); }
  static V Shuffle(V a, V mask) { return _mm256_shuffle_epi8(a, mask); }
  template <int N>
  static V ShiftLeft16(V a) {
    return _mm256_slli_epi16(a, N);
  }
  template <int N>
  static V ShiftRightArith16(V a) {
    return _mm256_srai_epi16(a, N);
  }
  static V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
  static V AddSat16(V a, V b) { return _mm256_adds_epi16(a, b); }
  static V Sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V MulHrs16(V a, V b) { return _mm256_mulhrs_epi16(a, b); }
  static V Avg8(V a, V b) { return _mm256_avg_epu8(a, b); }
  static V Sub8(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V And(V a, V b) { return _mm256_and_si256(a, b); }
  static V Or(V a, V b) { return _mm256_or_si256(a, b); }
  static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V Blend8(V a, V b, V mask) { return _mm256_blendv_epi8(a, b, mask); }

  // 32 pixels of packed 4:2:2 (64 bytes). Each lane splits its 8 pixels into luma and chroma
  // halves; the 64-bit moves then gather pixels 0-15 into lane 0 and 16-31 into lane 1.
  static void LoadPacked422(const uint8_t* p, V split, V* y, V* uv) {
    const V a = _mm256_permute4x64_epi64(Shuffle(Load(p), split), 0xd8);
    const V b = _mm256_permute4x64_epi64(Shuffle(Load(p + 32), split), 0xd8);
    *y = _mm256_permute2x128_si256(a, b, 0x20);
    *uv = _mm256_permute2x128_si256(a, b, 0x31);
  }

  // The three blocks hold output bytes 0-15 | 48-63, 16-31 | 64-79 and 32-47 | 80-95.
  static void StoreBlocks(uint8_t* dst, const V* blocks) {
    _mm256_storeu_si256(reinterpret_cast<V*>(dst),
                        _mm256_permute2x128_si256(blocks[0], blocks[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<V*>(dst + 32),
                        _mm256_permute2x128_si256(blocks[2], blocks[0], 0x30));
    _mm256_storeu_si256(reinterpret_cast<V*>(dst + 64),
                        _mm256_permute2x128_si256(blocks[1], blocks[2], 0x31));
  }
};

}  // namespace

#include "pixel_kernels_simd.h"

void Packed422Avx2(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                   uint8_t* dst, int32_t width) {
  Packed422Row(src, order, k, dst, width);
}

void SemiPlanarAvx2(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                    const YuvCoefficients& k, uint8_t* dst, int32_t width) {
  SemiPlanarRow(luma, chroma, cbFirst, k, dst, width);
}

void PlanarAvx2(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, const YuvCoefficients& k,
                uint8_t* dst, int32_t width) {
  PlanarRow(luma, cb, cr, k, dst, width);
}

void BayerAvx2(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
               uint8_t* dst, int32_t width) {
  BayerRowKernel(above, row, below, phase, dst, width);
}

}  // namespace kernels
}  // namespace cnokhwa
