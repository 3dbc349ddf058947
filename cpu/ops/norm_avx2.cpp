#include <immintrin.h>

#include <cmath>

#include "cpu/ops/norm_simd.h"
#include "cpu/ops/transpose_avx2_inline.h"

namespace vexa::cpu {

bool norm_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

namespace {

constexpr uint64_t kLanes = 8;

// Per row k of the eight: acc[k] = (...((0 + f(v[k][0])) + f(v[k][1])) + ...) + f(v[k][d-1]),
// in column order, with f(e) = e, or (e - centre[k])^2 when kSquare (centre 0: e^2).
template <bool kSquare>
void row_sums8(const float* v, uint64_t d, const float centre[kLanes], float acc[kLanes]) {
  __m256 sum = _mm256_setzero_ps();
  const __m256 c = _mm256_loadu_ps(centre);
  uint64_t j = 0;
  for (; j + kLanes <= d; j += kLanes) {
    __m256 r[kLanes];
    for (uint64_t k = 0; k < kLanes; ++k) r[k] = _mm256_loadu_ps(v + k * d + j);
    transpose8(r);
    for (uint64_t i = 0; i < kLanes; ++i) {
      if (kSquare) {
        const __m256 e = _mm256_sub_ps(r[i], c);
        sum = _mm256_add_ps(sum, _mm256_mul_ps(e, e));
      } else {
        sum = _mm256_add_ps(sum, r[i]);
      }
    }
  }
  _mm256_storeu_ps(acc, sum);
  for (; j < d; ++j) {
    for (uint64_t k = 0; k < kLanes; ++k) {
      const float e = kSquare ? v[k * d + j] - centre[k] : v[k * d + j];
      acc[k] = acc[k] + (kSquare ? e * e : e);
    }
  }
}

constexpr float kNoCentre[kLanes] = {};

}  // namespace

void layernorm_stepwise_rows8_avx2(const float* x, const float* scale, const float* bias, float* y,
                                   uint64_t d, float epsilon) {
  const float count = static_cast<float>(d);
  float sum[kLanes], ss[kLanes];
  row_sums8<false>(x, d, kNoCentre, sum);
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
  row_sums8<true>(y, d, kNoCentre, ss);
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

void layernorm_rows8_avx2(const float* x, const float* scale, const float* bias, float* y,
                          uint64_t d, float epsilon, float inv_d) {
  float sum[kLanes], mean[kLanes], ss[kLanes];
  row_sums8<false>(x, d, kNoCentre, sum);
  for (uint64_t k = 0; k < kLanes; ++k) mean[k] = sum[k] * inv_d;
  row_sums8<true>(x, d, mean, ss);
  for (uint64_t k = 0; k < kLanes; ++k) {
    const float inv = 1.0f / std::sqrt(std::fma(ss[k], inv_d, epsilon));
    const __m256 mv = _mm256_set1_ps(mean[k]), iv = _mm256_set1_ps(inv);
    const float* xr = x + k * d;
    float* yr = y + k * d;
    uint64_t j = 0;
    if (bias != nullptr) {
      for (; j + kLanes <= d; j += kLanes) {
        const __m256 n = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(xr + j), mv), iv);
        _mm256_storeu_ps(yr + j, _mm256_fmadd_ps(n, _mm256_loadu_ps(scale + j),
                                                 _mm256_loadu_ps(bias + j)));
      }
      for (; j < d; ++j) yr[j] = std::fma((xr[j] - mean[k]) * inv, scale[j], bias[j]);
    } else {
      for (; j + kLanes <= d; j += kLanes) {
        const __m256 n = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(xr + j), mv), iv);
        _mm256_storeu_ps(yr + j, _mm256_mul_ps(n, _mm256_loadu_ps(scale + j)));
      }
      for (; j < d; ++j) yr[j] = ((xr[j] - mean[k]) * inv) * scale[j];
    }
  }
}

}  // namespace vexa::cpu
