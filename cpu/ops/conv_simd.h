// Vector kernels of the convolution family, built only into the AVX2 file and chosen at run
// time by the CPU's features.
#pragma once

#include <cstdint>

namespace vexa::cpu {

// True once, when the CPU runs AVX2 code.
bool conv_simd_available();

// y[i] = y[i] + x[i * x_stride] * w for i < n, multiply then add (the portable rounding).
void axpy_strided_avx2(float* y, const float* x, int64_t n, int64_t x_stride, float w);

// dst[i] = src[2 i] for i < n (reads src[0 .. 2n - 2] only).
void copy_stride2_avx2(float* dst, const float* src, int64_t n);

}  // namespace vexa::cpu
