// Element-wise routines over n floats, for the bulk arithmetic of the CPU kernels.
//
// Every routine reads its inputs at indices [0, n) only (no over-read, any alignment), and
// `out` may be the same pointer as any input (in place); other overlaps are not allowed.
// Arguments read left to right: vec_sub(a, b, out, n) is a - b.
//
// The widest of an AVX-512, an AVX2+FMA and a portable path is picked once at run time from
// the CPU's features. All paths give bit-identical results for every routine: the arithmetic
// routines are single IEEE operations, and vec_exp evaluates one fixed sequence of
// roundings (its fused multiply-adds are explicit in every path).
//
// The routines do not fan out to threads; callers split large work into fixed slices.
#pragma once

#include <cstddef>

namespace vexa {

void vec_add(const float* a, const float* b, float* out, size_t n);  // a + b
void vec_sub(const float* a, const float* b, float* out, size_t n);  // a - b
void vec_mul(const float* a, const float* b, float* out, size_t n);  // a * b
void vec_div(const float* a, const float* b, float* out, size_t n);  // a / b (IEEE division)

void vec_add_scalar(const float* a, float s, float* out, size_t n);  // a + s
void vec_mul_scalar(const float* a, float s, float* out, size_t n);  // a * s
void vec_scalar_div(float s, const float* b, float* out, size_t n);  // s / b
void vec_div_scalar(const float* a, float s, float* out, size_t n);  // a / s (IEEE division)

// a * s + b, rounded after the product and after the sum (not fused).
void vec_mul_scalar_add(const float* a, float s, const float* b, float* out, size_t n);
// a * s + t, rounded after the product and after the sum (not fused).
void vec_mul_scalar_add_scalar(const float* a, float s, float t, float* out, size_t n);

void vec_neg(const float* a, float* out, size_t n);  // -a (flips the sign bit, NaN too)

// a >= b ? a : b, so a NaN in either operand gives b.
void vec_max(const float* a, const float* b, float* out, size_t n);
// a <= b ? a : b, so a NaN in either operand gives b.
void vec_min(const float* a, const float* b, float* out, size_t n);

// a >= t ? a : 0; NaN gives 0. With t = 0 this is ReLU.
void vec_zero_below(const float* a, float t, float* out, size_t n);
// lo if a < lo, else hi if a > hi, else a (the lower bound wins when lo > hi; NaN stays).
void vec_clip(const float* a, float lo, float hi, float* out, size_t n);

// e^a within 2 ulp of the correctly rounded value over the whole float range: +inf for
// a above about 88.72, 0 (through the subnormals) below about -103.97, NaN passes through.
void vec_exp(const float* a, float* out, size_t n);
// 1 / (1 + e^-a), rounded exactly as vec_neg, vec_exp, vec_add_scalar(1), vec_scalar_div(1)
// in sequence would round it.
void vec_sigmoid(const float* a, float* out, size_t n);
// a x sigmoid(a), rounded as vec_sigmoid followed by vec_mul; one pass over the data. A NaN
// input comes back unchanged.
void vec_silu(const float* a, float* out, size_t n);

// out[i * so] = a[i * sa] + b[i * sb] for i < n; strides in elements. Same aliasing rule.
void vec_add_strided(const float* a, ptrdiff_t sa, const float* b, ptrdiff_t sb, float* out,
                     ptrdiff_t so, size_t n);

enum class VectorPath { kPortable, kAvx2, kAvx512 };

// Test switches: true forces the portable path, false returns to the best path for this CPU;
// vector_math_force_path uses one path, or returns false (and changes nothing) when the CPU
// lacks it.
void vector_math_force_portable(bool portable);
bool vector_math_force_path(VectorPath path);
// The path in use, and its name ("portable", "avx2", "avx512").
VectorPath vector_math_path();
const char* vector_math_path_name(VectorPath path);

}  // namespace vexa
