// The AVX2 twin of the Q8 block encoder, built only into the AVX2 file and chosen at run time.
#pragma once

#include <cstdint>

namespace vexa::tools {

// True when the CPU runs AVX2 code.
bool q8_simd_available();

// One whole block of 64 values into 68 bytes, bit for bit what the portable loop stores.
void q8_encode_block64_avx2(const float* values, uint8_t* block);

}  // namespace vexa::tools
