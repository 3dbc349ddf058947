#include <immintrin.h>

#include "cpu/ops/eltwise_simd.h"

namespace vexa::cpu {

bool eltwise_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

void div_by_scalar_avx2(const float* a, float s, float* out, size_t n) {
  constexpr size_t kLanes = 8;
  const __m256 d = _mm256_set1_ps(s);
  size_t i = 0;
  for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
    const __m256 x0 = _mm256_loadu_ps(a + i), x1 = _mm256_loadu_ps(a + i + kLanes);
    _mm256_storeu_ps(out + i, _mm256_div_ps(x0, d));
    _mm256_storeu_ps(out + i + kLanes, _mm256_div_ps(x1, d));
  }
  for (; i < n; ++i) out[i] = a[i] / s;
}

}  // namespace vexa::cpu
