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

// The epilogue's steps with their choice fixed at compile time (B: add a bias, R: add a
// residual, M: WindowEpilogue mode), each one IEEE operation as the separate routines round
// it: bias, then residual, then ReLU (NaN gives 0) or Clip (NaN stays; lo wins when lo > hi).
template <bool B, bool R, int M>
inline __m256 epilogue_steps(__m256 v, __m256 bias, __m256 residual, __m256 lo, __m256 hi) {
  if constexpr (B) v = _mm256_add_ps(v, bias);
  if constexpr (R) v = _mm256_add_ps(v, residual);
  if constexpr (M == WindowEpilogue::kRelu) {
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ));
  } else if constexpr (M == WindowEpilogue::kClip) {
    const __m256 upper = _mm256_blendv_ps(v, hi, _mm256_cmp_ps(v, hi, _CMP_GT_OQ));
    v = _mm256_blendv_ps(upper, lo, _mm256_cmp_ps(v, lo, _CMP_LT_OQ));
  }
  return v;
}

template <bool B, bool R, int M>
inline float epilogue_step(float v, float bias, float residual, float lo, float hi) {
  if constexpr (B) v += bias;
  if constexpr (R) v += residual;
  if constexpr (M == WindowEpilogue::kRelu) return v >= 0.0f ? v : 0.0f;
  if constexpr (M == WindowEpilogue::kClip) return v < lo ? lo : (v > hi ? hi : v);
  return v;
}

// The bias, then ReLU or Clip, each exactly as the vector routines the epilogue would run
// afterwards compute it; the mode chosen at run time.
inline __m256 finish(const WindowEpilogue* e, __m256 v) {
  if (e == nullptr) return v;
  if (e->has_bias) v = _mm256_add_ps(v, _mm256_set1_ps(e->bias));
  const __m256 lo = _mm256_set1_ps(e->lo), hi = _mm256_set1_ps(e->hi), none = _mm256_setzero_ps();
  switch (e->mode) {
    case WindowEpilogue::kRelu:
      return epilogue_steps<false, false, WindowEpilogue::kRelu>(v, none, none, lo, hi);
    case WindowEpilogue::kClip:
      return epilogue_steps<false, false, WindowEpilogue::kClip>(v, none, none, lo, hi);
    default:
      return v;
  }
}

// Calls fn.template operator()<B, R, M>() for the epilogue these flags describe, so the loop
// fn runs carries no tests of its own.
template <bool B, bool R, class Fn>
inline void with_epilogue_mode(int32_t mode, Fn&& fn) {
  switch (mode) {
    case WindowEpilogue::kRelu: fn.template operator()<B, R, WindowEpilogue::kRelu>(); break;
    case WindowEpilogue::kClip: fn.template operator()<B, R, WindowEpilogue::kClip>(); break;
    default: fn.template operator()<B, R, WindowEpilogue::kNone>(); break;
  }
}

template <class Fn>
inline void with_epilogue_steps(bool bias, bool residual, int32_t mode, Fn&& fn) {
  if (bias && residual) {
    with_epilogue_mode<true, true>(mode, fn);
  } else if (bias) {
    with_epilogue_mode<true, false>(mode, fn);
  } else if (residual) {
    with_epilogue_mode<false, true>(mode, fn);
  } else {
    with_epilogue_mode<false, false>(mode, fn);
  }
}

}  // namespace
}  // namespace vexa::cpu
