// Erf and GELU kernels: the library erff, or a rational approximation (VEXA_CPU_VMATH).
#pragma once

#include <cstdint>

namespace vexa::cpu {

// A GELU node whose word 28 holds 1 runs cpu_gelu_stepwise with the f32 divisor in word 29
// (set by fusion; the converter leaves both 0).
inline constexpr uint32_t kGeluWordStepwise = 28;
inline constexpr uint32_t kGeluWordDivisor = 29;

// Elements [begin, end) of erf (gelu false) or GELU (gelu true); `vector_math` picks the
// rational approximation.
void cpu_erf_gelu_range(const float* in, float* out, uint64_t begin, uint64_t end, bool gelu,
                        bool vector_math);
// The whole tensor, split in eight parts above the parallel threshold; math path from
// cpu_vmath_enabled().
void cpu_erf(const float* in, float* out, uint64_t n);
void cpu_gelu(const float* in, float* out, uint64_t n);

// GELU rounded step by step as Div by `divisor`, Erf, Add 1, Mul by x, Mul by 0.5 compute it
// in a graph, so a fused graph keeps the unfused bits (Erf on the same math path as cpu_erf).
void cpu_gelu_stepwise(const float* in, float* out, uint64_t n, float divisor);

// Forces the portable rational lanes instead of the vector kernel (tests compare the two).
void cpu_activation_force_portable(bool on);

// One lane of the rational erf approximation (input clamped to [-4, 4]).
float cpu_erf_rational(float x);

}  // namespace vexa::cpu
