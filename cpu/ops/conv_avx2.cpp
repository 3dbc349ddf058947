#include <immintrin.h>

#include "cpu/ops/conv_simd.h"

namespace vexa::cpu {

bool conv_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

void axpy_strided_avx2(float* y, const float* x, int64_t n, int64_t x_stride, float w) {
  const __m256 wv = _mm256_set1_ps(w);
  int64_t i = 0;
  if (x_stride == 1) {
    for (; i + 8 <= n; i += 8) {
      const __m256 prod = _mm256_mul_ps(_mm256_loadu_ps(x + i), wv);
      _mm256_storeu_ps(y + i, _mm256_add_ps(_mm256_loadu_ps(y + i), prod));
    }
  } else if (x_stride == 2) {
    // Even lanes of 16 consecutive inputs; the last full block stays within x[2n - 2].
    const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    for (; i + 8 < n; i += 8) {
      const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(x + 2 * i), even);
      const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(x + 2 * i + 8), even);
      const __m256 xs = _mm256_permute2f128_ps(lo, hi, 0x20);
      const __m256 prod = _mm256_mul_ps(xs, wv);
      _mm256_storeu_ps(y + i, _mm256_add_ps(_mm256_loadu_ps(y + i), prod));
    }
  }
  for (; i < n; ++i) y[i] = y[i] + x[i * x_stride] * w;
}

void copy_stride2_avx2(float* dst, const float* src, int64_t n) {
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  int64_t i = 0;
  // Each block reads src[2i .. 2i + 15]; i + 8 < n keeps that at or below src[2n - 3].
  for (; i + 8 < n; i += 8) {
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + 2 * i), even);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + 2 * i + 8), even);
    _mm256_storeu_ps(dst + i, _mm256_permute2f128_ps(lo, hi, 0x20));
  }
  for (; i < n; ++i) dst[i] = src[2 * i];
}

}  // namespace vexa::cpu
