// f32 <-> binary16 arrays of the Neural Engine path. There is no platform conversion routine
// here, so this is the portable one: to f16 adds half a unit of the kept mantissa before it
// truncates (ties go away from zero on the magnitude) and keeps NaN a NaN; to f32 is exact.
#include <cstring>

#include "gpu/graph_engine.h"

namespace vexa {

namespace {

constexpr uint32_t kF32ExponentMax = 255;
// Biased f32 exponents: from 143 the magnitude reaches 65536 (infinity as f16), above 112 a
// normal f16, from 102 an f16 subnormal (or the smallest normal after rounding), below it zero.
constexpr uint32_t kF16OverflowExponent = 143;
constexpr uint32_t kF16NormalExponent = 112;
constexpr uint32_t kF16SubnormalExponent = 102;
constexpr uint32_t kHalfUnit = 0x1000;  // half of the lowest kept mantissa bit
constexpr uint16_t kF16Infinity = 0x7C00;
constexpr uint16_t kF16QuietBit = 0x0200;

uint16_t f32_to_f16(float f) {
  uint32_t x;
  std::memcpy(&x, &f, sizeof x);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const uint32_t e = (x >> 23) & 0xFFu;
  const uint32_t m = x & 0x7FFFFFu;
  if (e == kF32ExponentMax && m != 0) {
    // A quiet NaN with the payload's top bits.
    return static_cast<uint16_t>(sign | kF16Infinity | kF16QuietBit | (m >> 13));
  }
  if (e >= kF16OverflowExponent) return static_cast<uint16_t>(sign | kF16Infinity);
  if (e > kF16NormalExponent) {
    // A carry out of the mantissa raises the exponent, up to infinity.
    return static_cast<uint16_t>(sign | (((e - kF16NormalExponent) << 10) + ((m + kHalfUnit) >> 13)));
  }
  if (e >= kF16SubnormalExponent) {
    const uint32_t shifted = (m | 0x800000u) >> (kF16NormalExponent + 1 - e);
    return static_cast<uint16_t>(sign | ((shifted + kHalfUnit) >> 13));
  }
  return sign;
}

float f16_to_f32(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  uint32_t m = h & 0x3FFu;
  uint32_t x = 0;
  if (e == 0x1F) {
    x = sign | 0x7F800000u | (m << 13);
  } else if (e != 0) {
    x = sign | ((e + kF16NormalExponent) << 23) | (m << 13);
  } else if (m == 0) {
    x = sign;
  } else {
    // m x 2^-24, normalised.
    uint32_t exponent = kF16NormalExponent + 1;
    while ((m & 0x400u) == 0) {
      m <<= 1;
      --exponent;
    }
    x = sign | (exponent << 23) | ((m & 0x3FFu) << 13);
  }
  float f;
  std::memcpy(&f, &x, sizeof f);
  return f;
}

}  // namespace

void convert_f32_to_f16(const float* source, uint16_t* destination, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) destination[i] = f32_to_f16(source[i]);
}

void convert_f16_to_f32(const uint16_t* source, float* destination, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) destination[i] = f16_to_f32(source[i]);
}

}  // namespace vexa
