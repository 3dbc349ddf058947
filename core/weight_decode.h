// Decoding of stored weight rows (f16 and Q8 blocks) to f32.
#pragma once

#include <cstdint>

namespace vexa {

// Exact binary16 -> binary32: subnormals normalised, signed zeros kept, infinities and NaNs keep
// their sign and payload (shifted left by 13; a signalling NaN stays signalling).
float half_to_float(uint16_t bits);

// Decodes `rows` rows of `cols` values stored as `dtype` (1 f16, 4 Q8 blocks) into packed f32
// rows; f32 tensors are read straight and never come here. False for another type or an invalid
// Q8 block (scale not positive and finite, a byte of -128, or a non-zero value past the last
// column); a failed decode may have written part of the destination.
bool weights_decode_f32(uint64_t dtype, uint64_t rows, uint64_t cols, const void* source,
                        float* destination);

}  // namespace vexa
