#include <immintrin.h>

#include <cmath>

#include "cpu/ops/norm_simd.h"

namespace vexa::cpu {

bool norm_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

namespace {

constexpr uint64_t kLanes = 8;

// In place: r[i] lane k becomes the old r[k] lane i.
inline void transpose8(__m256 r[kLanes]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Per row k of the eight: acc[k] = (...((0 + f(v[k][0])) + f(v[k][1])) + ...) + f(v[k][d-1]),
// in column order, with f the identity or the square.
template <bool kSquare>
void row_sums8(const float* v, uint64_t d, float acc[kLanes]) {
  __m256 sum = _mm256_setzero_ps();
  uint64_t j = 0;
  for (; j + kLanes <= d; j += kLanes) {
    __m256 r[kLanes];
    for (uint64_t k = 0; k < kLanes; ++k) r[k] = _mm256_loadu_ps(v + k * d + j);
    transpose8(r);
    for (uint64_t i = 0; i < kLanes; ++i) {
      sum = _mm256_add_ps(sum, kSquare ? _mm256_mul_ps(r[i], r[i]) : r[i]);
    }
  }
  _mm256_storeu_ps(acc, sum);
  for (; j < d; ++j) {
    for (uint64_t k = 0; k < kLanes; ++k) {
      const float e = v[k * d + j];
      acc[k] = acc[k] + (kSquare ? e * e : e);
    }
  }
}

}  // namespace

void layernorm_stepwise_rows8_avx2(const float* x, const float* scale, const float* bias, float* y,
                                   uint64_t d, float epsilon) {
  const float count = static_cast<float>(d);
  float sum[kLanes], ss[kLanes];
  row_sums8<false>(x, d, sum);
  for (uint64_t k = 0; k < kLanes; ++k) {
    const float shift = -(sum[k] / count);
    const __m256 s = _mm256_set1_ps(shift);
    const float* xr = x + k * d;
    float* yr = y + k * d;
    uint64_t j = 0;
    for (; j + kLanes <= d; j += kLanes)
      _mm256_storeu_ps(yr + j, _mm256_add_ps(_mm256_loadu_ps(xr + j), s));
    for (; j < d; ++j) yr[j] = xr[j] + shift;
  }
  row_sums8<true>(y, d, ss);
  for (uint64_t k = 0; k < kLanes; ++k) {
    const float den = std::sqrt(ss[k] / count + epsilon);
    const __m256 dv = _mm256_set1_ps(den);
    float* yr = y + k * d;
    uint64_t j = 0;
    if (bias != nullptr) {
      for (; j + kLanes <= d; j += kLanes) {
        const __m256 q = _mm256_mul_ps(_mm256_div_ps(_mm256_loadu_ps(yr + j), dv),
                                       _mm256_loadu_ps(scale + j));
        _mm256_storeu_ps(yr + j, _mm256_add_ps(q, _mm256_loadu_ps(bias + j)));
      }
      for (; j < d; ++j) yr[j] = yr[j] / den * scale[j] + bias[j];
    } else {
      for (; j + kLanes <= d; j += kLanes) {
        _mm256_storeu_ps(yr + j, _mm256_mul_ps(_mm256_div_ps(_mm256_loadu_ps(yr + j), dv),
                                               _mm256_loadu_ps(scale + j)));
      }
      for (; j < d; ++j) yr[j] = yr[j] / den * scale[j];
    }
  }
}

}  // namespace vexa::cpu
