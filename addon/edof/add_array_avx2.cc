// Built with -mavx2 and called only when the processor has AVX2. Each lane is one IEEE
// single-precision addition, exactly the sum of the plain loop.
#include <immintrin.h>

#include "edof/fusion_kernels.h"

namespace zentri_native {

void AddArrayAvx2(float* dst, const float* src, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 sum = _mm256_add_ps(_mm256_loadu_ps(dst + i), _mm256_loadu_ps(src + i));
    _mm256_storeu_ps(dst + i, sum);
  }
  for (; i < count; ++i) {
    dst[i] += src[i];
  }
}

}  // namespace zentri_native
