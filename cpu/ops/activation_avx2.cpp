#include <immintrin.h>

#include "cpu/ops/activation_simd.h"

namespace vexa::cpu {

bool activation_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

namespace {

// The same rational function, constants and operation order as the scalar lane, one IEEE
// multiply or add per step, so the lanes give the scalar bits.
inline __m256 erf_rational_clamped(__m256 t) {
  const __m256 u = _mm256_mul_ps(t, t);
  __m256 p = _mm256_set1_ps(kErfRationalP[0]);
  for (int i = 1; i < kErfRationalPTerms; ++i)
    p = _mm256_add_ps(_mm256_mul_ps(p, u), _mm256_set1_ps(kErfRationalP[i]));
  __m256 q = _mm256_set1_ps(kErfRationalQ[0]);
  for (int i = 1; i < kErfRationalQTerms; ++i)
    q = _mm256_add_ps(_mm256_mul_ps(q, u), _mm256_set1_ps(kErfRationalQ[i]));
  return _mm256_div_ps(_mm256_mul_ps(t, p), q);
}

// std::clamp(v, -c, c): the operand order of max/min keeps a NaN input as it is.
inline __m256 clamp_sym(__m256 v, __m256 c, __m256 minus_c) {
  return _mm256_min_ps(c, _mm256_max_ps(minus_c, v));
}

inline __m256 erf_gelu_lanes(__m256 x, bool gelu) {
  const __m256 c = _mm256_set1_ps(kErfRationalClamp);
  const __m256 minus_c = _mm256_set1_ps(-kErfRationalClamp);
  if (!gelu) return erf_rational_clamped(clamp_sym(x, c, minus_c));
  const __m256 e =
      erf_rational_clamped(clamp_sym(_mm256_mul_ps(x, _mm256_set1_ps(kErfInvSqrt2)), c, minus_c));
  return _mm256_mul_ps(_mm256_mul_ps(x, _mm256_set1_ps(0.5f)),
                       _mm256_add_ps(_mm256_set1_ps(1.0f), e));
}

inline __m256 gelu_stepwise_lanes(__m256 x, __m256 divisor) {
  const __m256 e = erf_gelu_lanes(_mm256_div_ps(x, divisor), false);
  const __m256 a = _mm256_add_ps(e, _mm256_set1_ps(1.0f));
  return _mm256_mul_ps(_mm256_mul_ps(x, a), _mm256_set1_ps(0.5f));
}

// out[i] = lanes(in[i]) eight at a time; the last few through masked loads and stores, so
// nothing past n is read or written.
template <typename Lanes>
void map_lanes(const float* in, float* out, uint64_t n, Lanes lanes) {
  constexpr uint64_t kLanes = 8;
  uint64_t i = 0;
  for (; i + kLanes <= n; i += kLanes) _mm256_storeu_ps(out + i, lanes(_mm256_loadu_ps(in + i)));
  if (i < n) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask =
        _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(n - i)), index);
    _mm256_maskstore_ps(out + i, mask, lanes(_mm256_maskload_ps(in + i, mask)));
  }
}

}  // namespace

void gelu_stepwise_rational_avx2(const float* in, float* out, uint64_t n, float divisor) {
  const __m256 d = _mm256_set1_ps(divisor);
  map_lanes(in, out, n, [d](__m256 x) { return gelu_stepwise_lanes(x, d); });
}

void erf_gelu_rational_avx2(const float* in, float* out, uint64_t n, bool gelu) {
  map_lanes(in, out, n, [gelu](__m256 x) { return erf_gelu_lanes(x, gelu); });
}

}  // namespace vexa::cpu
