// Vector kernel of the softmax family, built only into the AVX2 file and chosen at run time.
#pragma once

#include <cstdint>

namespace vexa::cpu {

// True when the CPU runs AVX2 code.
bool softmax_simd_available();

// Softmax of the contiguous line x[0 .. d) into y (d >= 1; y may equal x): the maximum
// (NaN entries skipped, as the scalar rule does), e^(x - max) through vec_exp, the sum in
// eight partial sums, then one IEEE division per entry.
void softmax_line_avx2(const float* x, float* y, uint64_t d);

// Forces the portable softmax lines (tests compare the two paths).
void cpu_softmax_force_portable(bool on);

}  // namespace vexa::cpu
