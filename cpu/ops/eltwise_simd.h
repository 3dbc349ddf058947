// Vector kernels of the element-wise family, built only into the AVX2 file and chosen at run
// time.
#pragma once

#include <cstddef>

namespace vexa::cpu {

// True when the CPU runs AVX2 code.
bool eltwise_simd_available();

// out[i] = a[i] / s with one IEEE division per element; out may equal a.
void div_by_scalar_avx2(const float* a, float s, float* out, size_t n);

}  // namespace vexa::cpu
