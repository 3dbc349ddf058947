// Small vector helpers shared by the convolution kernels; include only from *_avx2.cpp and
// *_avx512.cpp files.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "cpu/ops/conv_simd.h"

namespace vexa::cpu {
// Internal linkage: files built for different instruction sets include these, and each must
// keep its own copy.
namespace {  // NOLINT

// Stores the first n (1 to 7) lanes of v with plain 128/64/32-bit stores, which every core
// runs fast, where a masked store may take tens of cycles.
inline void store_first_lanes(float* out, __m256 v, int64_t n) {
  __m128 part = _mm256_castps256_ps128(v);
  if (n >= 4) {
    _mm_storeu_ps(out, part);
    part = _mm256_extractf128_ps(v, 1);
    out += 4;
    n -= 4;
  }
  if (n >= 2) {
    _mm_storel_pi(reinterpret_cast<__m64*>(out), part);
    part = _mm_movehl_ps(part, part);
    out += 2;
    n -= 2;
  }
  if (n >= 1) _mm_store_ss(out, part);
}

// The bias, then ReLU or Clip, each exactly as the vector routines the epilogue would run
// afterwards compute it.
inline __m256 finish(const WindowEpilogue* e, __m256 v) {
  if (e == nullptr) return v;
  if (e->has_bias) v = _mm256_add_ps(v, _mm256_set1_ps(e->bias));
  if (e->mode == WindowEpilogue::kRelu) {
    // v >= 0 ? v : 0, NaN giving 0.
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ));
  } else if (e->mode == WindowEpilogue::kClip) {
    // lo if v < lo, else hi if v > hi, else v (NaN stays; lo wins when lo > hi).
    const __m256 lo = _mm256_set1_ps(e->lo), hi = _mm256_set1_ps(e->hi);
    const __m256 upper = _mm256_blendv_ps(v, hi, _mm256_cmp_ps(v, hi, _CMP_GT_OQ));
    v = _mm256_blendv_ps(upper, lo, _mm256_cmp_ps(v, lo, _CMP_LT_OQ));
  }
  return v;
}

}  // namespace
}  // namespace vexa::cpu
