// binary32 -> binary16 with round-to-nearest-even, as the device kernels and request
// preparation round (not the C API's half-away-from-zero conversion).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vexa::testing {

inline uint16_t f32_to_f16_rne(float f) {
  uint32_t x;
  std::memcpy(&x, &f, sizeof x);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const uint32_t ax = x & 0x7fffffffu;
  if (ax >= 0x7f800000u) return sign | (ax > 0x7f800000u ? 0x7e00u : 0x7c00u);
  if (ax >= 0x477ff000u) return sign | 0x7c00u;  // 65520 and above round to infinity
  if (ax < 0x38800000u) {
    // Below the smallest normal half: count units of 2^-24; scaling by 2^24 is exact and
    // nearbyint rounds half to even in the default rounding mode.
    float v;
    std::memcpy(&v, &ax, sizeof v);
    return sign | static_cast<uint16_t>(std::nearbyint(v * 16777216.0f));
  }
  const uint32_t rounded = ax + 0xfffu + ((ax >> 13) & 1u);
  return sign | static_cast<uint16_t>((rounded - 0x38000000u) >> 13);
}

}  // namespace vexa::testing
