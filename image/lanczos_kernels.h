// Row kernels of the Lanczos passes: the portable loops in lanczos.cpp and the AVX2 ones in
// lanczos_avx2.cpp. Integer sums are exact, so both give the same bytes.
#pragma once

#include <cstdint>

#include "image/lanczos.h"

namespace vexa {

inline constexpr int kLanczosWeightFractionBits = 22;
inline constexpr int32_t kLanczosRoundingOffset = int32_t{1} << (kLanczosWeightFractionBits - 1);

// The CPU can run the AVX2 kernels.
bool lanczos_avx2_available();

// Horizontal rows of `part` from job.channel_weights (each weight repeated for R, G and B).
void lanczos_rows_horizontal_avx2(const ResampleJob& job, uint32_t part);
void lanczos_rows_vertical_avx2(const ResampleJob& job, uint32_t part);

inline uint8_t lanczos_clamp_to_byte(int32_t acc) {
  const int32_t v = acc >> kLanczosWeightFractionBits;
  if (v < 0) return 0;
  if (v > 254) return 255;
  return static_cast<uint8_t>(v);
}

}  // namespace vexa
