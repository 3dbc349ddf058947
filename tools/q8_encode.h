// Encoding f32 rows as Q8 blocks: each block of up to 64 consecutive values of a row becomes 64
// signed codes and an f32 scale (68 bytes). amax is the block's largest magnitude (a NaN never
// raises it). With amax >= 1e-30 the scale is amax / 127 and each code is the value times
// 127 / amax (that multiplier rounded once to f32), rounded to nearest with ties to even and
// clamped to [-127, 127]; a NaN gets code 0. A smaller amax stores scale 1 and zero codes. The
// codes of a short last block past the row's end are 0. Decoding gives scale x code, within
// scale / 2 of every finite value.
#pragma once

#include <cstdint>

namespace vexa::tools {

inline constexpr float kQ8TinyBlockMagnitude = 1e-30f;
inline constexpr float kQ8MaxCode = 127.0f;
inline constexpr uint64_t kQ8BlockCodes = 64;

// Bytes of one encoded row of `cols` values: ceil(cols / 64) x 68.
uint64_t q8_row_bytes(uint64_t cols);

// Encodes rows x cols values (row-major) into rows x q8_row_bytes(cols) bytes.
void q8_encode_rows(const float* values, uint64_t rows, uint64_t cols, uint8_t* out);

// True when none of the n values is an infinity or a NaN.
bool q8_all_finite(const float* values, uint64_t n);

// Whole blocks take an AVX2 path when the CPU has one (same bytes); tests force the portable
// loop to compare the two.
void q8_encode_force_portable(bool portable);

}  // namespace vexa::tools
