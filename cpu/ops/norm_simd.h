// Vector kernel of the layer normalisation, built only into the AVX2 file and chosen at run
// time.
#pragma once

#include <cstdint>

namespace vexa::cpu {

// True when the CPU runs AVX2 code.
bool norm_simd_available();

// Rows handled by one call of layernorm_stepwise_rows8_avx2.
inline constexpr uint64_t kNormSimdRows = 8;

// The step-by-step layer normalisation of eight consecutive rows of d values (row stride d),
// with the roundings of the portable path: each row's sum and sum of squares still add the
// row's values one by one in column order (lane k of the accumulators is row k), then
// mean = sum / d, c = x + (-mean), y = c / sqrt(ss / d + epsilon), y * scale, + bias.
void layernorm_stepwise_rows8_avx2(const float* x, const float* scale, const float* bias, float* y,
                                   uint64_t d, float epsilon);

// The LayerNormalization kernel's rule for eight consecutive rows, bit for bit as the portable
// row loop: mean = (in-order f32 sum) x inv_d, s = in-order sum of (x - mean)^2,
// inv = 1 / sqrt(fma(s, inv_d, epsilon)), y = fma((x - mean) x inv, scale, bias) or
// ((x - mean) x inv) x scale without a bias.
void layernorm_rows8_avx2(const float* x, const float* scale, const float* bias, float* y,
                          uint64_t d, float epsilon, float inv_d);

}  // namespace vexa::cpu
