// Half-precision conversions of the software device, bit for bit as the F16C instructions
// convert, so the portable kernels and the vector ones store the same bytes:
//   - f32 -> f16 rounds to nearest, ties to even; overflow gives an infinity, values below
//     the smallest subnormal round to a signed zero;
//   - f16 -> f32 is exact;
//   - a NaN stays a NaN of the same sign, its payload kept as far as it fits and its quiet
//     bit set.
// The C API's conversions round half away from zero and live apart (api/text_util.h).
#pragma once

#include <bit>
#include <cstdint>

namespace vexa {

inline constexpr uint16_t kF16QuietNan = 0x7e00;

inline uint16_t f16_round_even(float x) {
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t magnitude = bits & 0x7fffffffu;
  if (magnitude > 0x7f800000u) {
    return static_cast<uint16_t>(sign | kF16QuietNan | ((magnitude >> 13) & 0x3ffu));
  }
  // 65520 and above round to infinity.
  if (magnitude >= 0x477ff000u) return static_cast<uint16_t>(sign | 0x7c00u);
  if (magnitude >= 0x38800000u) {  // a normal half (2^-14 and above)
    const uint32_t rebased = magnitude - (uint32_t{127 - 15} << 23);
    const uint32_t rounded = rebased + 0xfffu + ((rebased >> 13) & 1u);
    return static_cast<uint16_t>(sign | (rounded >> 13));
  }
  if (magnitude < 0x33000000u) return sign;  // at most 2^-25: rounds to zero (the tie too)
  // Subnormal half: the value in units of 2^-24, rounded to nearest even on the integer bits.
  const uint32_t exponent = magnitude >> 23;
  const uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
  const uint32_t shift = 126 - exponent;  // 14..24: 2^(e-127) * m / 2^23 in units of 2^-24
  const uint32_t kept = mantissa >> shift;
  const uint32_t rest = mantissa & ((1u << shift) - 1u);
  const uint32_t halfway = 1u << (shift - 1);
  const uint32_t up = rest > halfway || (rest == halfway && (kept & 1u) != 0);
  return static_cast<uint16_t>(sign | (kept + up));
}

inline float f16_widen(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t magnitude = h & 0x7fffu;
  uint32_t bits;
  if (magnitude >= 0x7c00u) {
    bits = 0x7f800000u | (magnitude & 0x3ffu) << 13;
    if ((magnitude & 0x3ffu) != 0) bits |= 0x400000u;  // quiet
  } else if (magnitude >= 0x0400u) {
    bits = (magnitude << 13) + (uint32_t{127 - 15} << 23);
  } else {
    // m x 2^-24, exact in single precision.
    const float sub = static_cast<float>(magnitude) * 0x1p-24f;
    bits = std::bit_cast<uint32_t>(sub);
  }
  return std::bit_cast<float>(bits | sign);
}

// The value a float takes when stored as a half and read back.
inline float f16_round_trip(float x) { return f16_widen(f16_round_even(x)); }

// Row forms (portable loops; the kernels have vector twins).
void f16_widen_row(const uint16_t* src, float* dst, uint64_t n);
void f16_round_row(const float* src, uint16_t* dst, uint64_t n);

}  // namespace vexa
