#include <immintrin.h>

#include "cpu/ops/conv_simd.h"

namespace vexa::cpu {

bool conv_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

namespace {

// Even elements of src[0 .. 15].
inline __m256 load_even(const float* src) {
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src), even);
  const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + 8), even);
  return _mm256_permute2f128_ps(lo, hi, 0x20);
}

}  // namespace

void depthwise_row_avx2(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1) {
  int64_t ow = ow0;
  if (r.sw == 1) {
    for (; ow + 8 <= ow1; ow += 8) {
      __m256 acc = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const __m256 xv = _mm256_loadu_ps(row + ow + kw * r.dw + r.offset);
          acc = _mm256_add_ps(acc, _mm256_mul_ps(xv, _mm256_set1_ps(wk[kw])));
        }
      }
      _mm256_storeu_ps(y + ow, acc);
    }
  } else if (r.sw == 2) {
    // Sixteen inputs per block; ow + 8 < ow1 keeps the last one inside the row.
    for (; ow + 8 < ow1; ow += 8) {
      __m256 acc = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const __m256 xv = load_even(row + 2 * ow + kw * r.dw + r.offset);
          acc = _mm256_add_ps(acc, _mm256_mul_ps(xv, _mm256_set1_ps(wk[kw])));
        }
      }
      _mm256_storeu_ps(y + ow, acc);
    }
  }
  if (ow < ow1) depthwise_row_portable(r, y, ow, ow1);
}

void copy_stride2_avx2(float* dst, const float* src, int64_t n) {
  int64_t i = 0;
  // Each block reads src[2i .. 2i + 15]; i + 8 < n keeps that at or below src[2n - 3].
  for (; i + 8 < n; i += 8) _mm256_storeu_ps(dst + i, load_even(src + 2 * i));
  for (; i < n; ++i) dst[i] = src[2 * i];
}

}  // namespace vexa::cpu
