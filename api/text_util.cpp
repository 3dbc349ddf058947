#include "api/text_util.h"

#include <cstring>

#include "core/types.h"

namespace vexa {

namespace {
constexpr char kEmptyText[] = "";
}

TextArg text_or_empty(const char* ptr, uint64_t len) {
  if (ptr == nullptr || len == 0) return {kEmptyText, 0};
  return {ptr, len};
}

uint64_t copy_bounded(const char* src, uint64_t len, char* dst, uint64_t cap) {
  if (cap == 0) return 0;
  const uint64_t n = len < cap - 1 ? len : cap - 1;
  if (n != 0) std::memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

TextArg version_string() { return {kVersionText, sizeof(kVersionText) - 1}; }

TextArg backend_name_text(uint32_t backend) {
  const char* name = backend_name(backend);
  return {name, std::strlen(name)};
}

uint16_t f32_to_f16_bits(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const uint32_t e = (bits >> 23) & 0xFFu;
  const uint32_t m = bits & 0x7FFFFFu;
  if (e >= 143) return static_cast<uint16_t>(sign | 0x7C00u);
  if (e >= 113) {
    // Adding half a unit before truncating rounds half away from zero; a mantissa carry moves
    // into the exponent and at the top reaches exactly 0x7C00.
    const uint32_t h = ((e - 112) << 10) + ((m + 0x1000u) >> 13);
    return static_cast<uint16_t>(sign | h);
  }
  if (e >= 102) {
    const uint32_t h = (((m | 0x800000u) >> (113 - e)) + 0x1000u) >> 13;
    return static_cast<uint16_t>(sign | h);
  }
  return static_cast<uint16_t>(sign);
}

float f16_bits_to_f32(uint16_t h) {
  const uint32_t sign = (static_cast<uint32_t>(h) & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  const uint32_t m = h & 0x3FFu;
  uint32_t bits;
  if (e == 31) {
    bits = sign | 0x7F800000u | (m << 13);
  } else if (e != 0) {
    bits = sign | ((e + 112) << 23) | (m << 13);
  } else {
    // Subnormal: m * 2^-24, exact in f32.
    const float magnitude = static_cast<float>(m) * 0x1p-24f;
    float out = sign != 0 ? -magnitude : magnitude;
    return out;
  }
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

}  // namespace vexa
