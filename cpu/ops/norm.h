// Normalisation kernels: layer (last axis), batch (per-channel affine) and instance.
#pragma once

#include <cstdint>

namespace vexa::cpu {

// A LayerNormalization node whose word 28 holds 1 runs cpu_layernorm_stepwise (set by fusion;
// the converter leaves the word 0).
inline constexpr uint32_t kLayerNormWordStepwise = 28;

// rows x d values; scale has d entries, bias d entries or null.
void cpu_layernorm(const float* x, const float* scale, const float* bias, float* y, uint64_t rows,
                   uint64_t d, float epsilon);

// The same normalisation rounded step by step as a graph of ReduceMean, Sub, Mul (square),
// ReduceMean, Add epsilon, Sqrt, Div, Mul scale, Add bias computes it, so a fused graph keeps
// the bits of the unfused one. Rows are split by a fixed count, independent of the threads.
void cpu_layernorm_stepwise(const float* x, const float* scale, const float* bias, float* y,
                            uint64_t rows, uint64_t d, float epsilon);

// Forces the portable layer normalisation (tests compare it with the vector path).
void cpu_norm_force_portable(bool on);

// y = x * scale[c] + shift[c] over `planes` planes of `plane_size` values, the channel index
// cycling 0..channels-1 plane by plane.
void cpu_batchnorm(const float* x, const float* scale, const float* shift, float* y,
                   uint64_t planes, uint64_t channels, uint64_t plane_size);

// Per plane: (x - mean) / sqrt(var + epsilon) * scale[c] + bias[c].
void cpu_instancenorm(const float* x, const float* scale, const float* bias, float* y,
                      uint64_t planes, uint64_t channels, uint64_t plane_size, float epsilon);

}  // namespace vexa::cpu
