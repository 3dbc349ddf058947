#include <immintrin.h>

#include <algorithm>

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

// Lane mask with the first n (0..8) lanes set.
inline __m256i first_lanes(int64_t n) {
  const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(n)), index);
}

// Fewer than eight outputs at the end of the interior: masked loads touch only the inputs
// those outputs read.
void depthwise_tail(const DepthwiseRow& r, float* y, int64_t ow, int64_t n) {
  const __m256i out_mask = first_lanes(n);
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  // For stride 2 the outputs read inputs 0, 2, ..., 2n - 2 of the block.
  const __m256i lo_mask = first_lanes(std::min<int64_t>(8, 2 * n - 1));
  const __m256i hi_mask = first_lanes(std::max<int64_t>(0, 2 * n - 1 - 8));
  __m256 acc = _mm256_setzero_ps();
  for (int64_t kh = 0; kh < r.kh_count; ++kh) {
    const float* row = r.rows[kh];
    if (row == nullptr) continue;
    const float* wk = r.weights + kh * r.kw_count;
    for (int64_t kw = 0; kw < r.kw_count; ++kw) {
      __m256 xv;
      if (r.sw == 1) {
        xv = _mm256_maskload_ps(row + ow + kw * r.dw + r.offset, out_mask);
      } else {
        const float* src = row + 2 * ow + kw * r.dw + r.offset;
        const __m256 lo = _mm256_permutevar8x32_ps(_mm256_maskload_ps(src, lo_mask), even);
        const __m256 hi = _mm256_permutevar8x32_ps(_mm256_maskload_ps(src + 8, hi_mask), even);
        xv = _mm256_permute2f128_ps(lo, hi, 0x20);
      }
      acc = _mm256_add_ps(acc, _mm256_mul_ps(xv, _mm256_set1_ps(wk[kw])));
    }
  }
  _mm256_maskstore_ps(y + ow, out_mask, acc);
}

}  // namespace

void depthwise_row_avx2(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1) {
  int64_t ow = ow0;
  if (r.sw == 1) {
    // Four independent sums at a time: a single chain of dependent adds would leave the
    // multiply-add units waiting on latency.
    for (; ow + 32 <= ow1; ow += 32) {
      __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
      __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const float* src = row + ow + kw * r.dw + r.offset;
          const __m256 wv = _mm256_set1_ps(wk[kw]);
          acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(_mm256_loadu_ps(src), wv));
          acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(_mm256_loadu_ps(src + 8), wv));
          acc2 = _mm256_add_ps(acc2, _mm256_mul_ps(_mm256_loadu_ps(src + 16), wv));
          acc3 = _mm256_add_ps(acc3, _mm256_mul_ps(_mm256_loadu_ps(src + 24), wv));
        }
      }
      _mm256_storeu_ps(y + ow, acc0);
      _mm256_storeu_ps(y + ow + 8, acc1);
      _mm256_storeu_ps(y + ow + 16, acc2);
      _mm256_storeu_ps(y + ow + 24, acc3);
    }
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
    // Sixteen inputs per block of eight outputs; ow + 8 < ow1 (ow + 16 < ow1 for two
    // blocks) keeps the last one inside the row.
    for (; ow + 16 < ow1; ow += 16) {
      __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const float* src = row + 2 * ow + kw * r.dw + r.offset;
          const __m256 wv = _mm256_set1_ps(wk[kw]);
          acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(load_even(src), wv));
          acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(load_even(src + 16), wv));
        }
      }
      _mm256_storeu_ps(y + ow, acc0);
      _mm256_storeu_ps(y + ow + 8, acc1);
    }
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
  if (ow < ow1 && (r.sw == 1 || r.sw == 2)) {
    // Stride 2 may leave up to eight outputs after its blocks.
    if (ow + 8 <= ow1) {
      depthwise_tail(r, y, ow, 8);
      ow += 8;
    }
    if (ow < ow1) depthwise_tail(r, y, ow, ow1 - ow);
    return;
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
