// Normalisation kernels: layer (last axis), batch (per-channel affine) and instance.
#pragma once

#include <cstdint>

namespace vexa::cpu {

// rows x d values; scale has d entries, bias d entries or null.
void cpu_layernorm(const float* x, const float* scale, const float* bias, float* y, uint64_t rows,
                   uint64_t d, float epsilon);

// y = x * scale[c] + shift[c] over `planes` planes of `plane_size` values, the channel index
// cycling 0..channels-1 plane by plane.
void cpu_batchnorm(const float* x, const float* scale, const float* shift, float* y,
                   uint64_t planes, uint64_t channels, uint64_t plane_size);

// Per plane: (x - mean) / sqrt(var + epsilon) * scale[c] + bias[c].
void cpu_instancenorm(const float* x, const float* scale, const float* bias, float* y,
                      uint64_t planes, uint64_t channels, uint64_t plane_size, float epsilon);

}  // namespace vexa::cpu
