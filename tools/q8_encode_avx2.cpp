#include <immintrin.h>

#include <cstring>

#include "tools/q8_encode.h"
#include "tools/q8_encode_simd.h"

namespace vexa::tools {

bool q8_simd_available() { return __builtin_cpu_supports("avx2") != 0; }

void q8_encode_block64_avx2(const float* values, uint8_t* block) {
  constexpr int kVectors = 8;
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 x[kVectors];
  __m256 amax = _mm256_setzero_ps();
  for (int i = 0; i < kVectors; ++i) {
    x[i] = _mm256_loadu_ps(values + 8 * i);
    // max_ps returns its second operand when the first is a NaN: a NaN never raises amax.
    amax = _mm256_max_ps(_mm256_and_ps(x[i], magnitude), amax);
  }
  __m128 m4 = _mm_max_ps(_mm256_castps256_ps128(amax), _mm256_extractf128_ps(amax, 1));
  m4 = _mm_max_ps(m4, _mm_movehl_ps(m4, m4));
  m4 = _mm_max_ss(m4, _mm_shuffle_ps(m4, m4, 1));
  const float largest = _mm_cvtss_f32(m4);
  float scale = 1.0f;
  if (largest >= kQ8TinyBlockMagnitude) {
    scale = largest / kQ8MaxCode;
    const __m256 m = _mm256_set1_ps(kQ8MaxCode / largest);
    const __m256 hi = _mm256_set1_ps(kQ8MaxCode);
    const __m256 lo = _mm256_set1_ps(-kQ8MaxCode);
    __m256i codes[kVectors];
    for (int i = 0; i < kVectors; ++i) {
      const __m256 v = _mm256_mul_ps(m, x[i]);
      const __m256 ordered = _mm256_cmp_ps(v, v, _CMP_ORD_Q);
      const __m256 clamped = _mm256_min_ps(_mm256_max_ps(v, lo), hi);
      const __m256 rounded = _mm256_round_ps(clamped, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
      codes[i] = _mm256_and_si256(_mm256_cvtps_epi32(rounded), _mm256_castps_si256(ordered));
    }
    // Packing works within 128-bit lanes; the final permute puts the 8-byte groups in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int half = 0; half < 2; ++half) {
      const __m256i* c = codes + 4 * half;
      const __m256i words = _mm256_packs_epi16(_mm256_packs_epi32(c[0], c[1]), _mm256_packs_epi32(c[2], c[3]));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 32 * half),
                          _mm256_permutevar8x32_epi32(words, order));
    }
  } else {
    std::memset(block, 0, kQ8BlockCodes);
  }
  std::memcpy(block + kQ8BlockCodes, &scale, sizeof scale);
}

}  // namespace vexa::tools
