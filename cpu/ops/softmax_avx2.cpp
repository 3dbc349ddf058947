#include <immintrin.h>

#include <cfloat>

#include "cpu/ops/softmax_simd.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

bool softmax_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

namespace {

constexpr uint64_t kLanes = 8;

inline __m256i first_lanes(uint64_t n) {
  const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(n)), index);
}

}  // namespace

void softmax_line_avx2(const float* x, float* y, uint64_t d) {
  // max_ps(v, m) returns m when v is NaN, so NaN entries never become the maximum.
  __m256 mv = _mm256_set1_ps(-FLT_MAX);
  uint64_t i = 0;
  for (; i + kLanes <= d; i += kLanes) mv = _mm256_max_ps(_mm256_loadu_ps(x + i), mv);
  alignas(32) float lanes[kLanes];
  _mm256_store_ps(lanes, mv);
  float m = -FLT_MAX;
  for (uint64_t l = 0; l < kLanes; ++l) m = lanes[l] > m ? lanes[l] : m;
  for (; i < d; ++i) m = x[i] > m ? x[i] : m;

  vec_add_scalar(x, -m, y, d);  // x + (-m) rounds exactly as x - m
  vec_exp(y, y, d);

  __m256 sv = _mm256_setzero_ps();
  i = 0;
  for (; i + kLanes <= d; i += kLanes) sv = _mm256_add_ps(sv, _mm256_loadu_ps(y + i));
  if (i < d) sv = _mm256_add_ps(sv, _mm256_maskload_ps(y + i, first_lanes(d - i)));
  _mm256_store_ps(lanes, sv);
  float s = 0.0f;
  for (uint64_t l = 0; l < kLanes; ++l) s += lanes[l];

  const __m256 div = _mm256_set1_ps(s);
  i = 0;
  for (; i + kLanes <= d; i += kLanes)
    _mm256_storeu_ps(y + i, _mm256_div_ps(_mm256_loadu_ps(y + i), div));
  for (; i < d; ++i) y[i] = y[i] / s;
}

}  // namespace vexa::cpu
