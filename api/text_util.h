// Small helpers shared by every handle family: text arguments, bounded copies into fixed
// fields, the version text and the C API's half-precision conversions.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexa {

struct TextArg {
  const char* ptr;
  uint64_t len;
};

// (ptr, len), or ("", 0) when ptr is null or len is 0.
TextArg text_or_empty(const char* ptr, uint64_t len);

// Copies min(len, cap - 1) bytes and a NUL; returns the bytes stored (0 and no write for cap 0).
uint64_t copy_bounded(const char* src, uint64_t len, char* dst, uint64_t cap);

inline constexpr char kVersionText[] = "0.1.0-ea.1";
TextArg version_string();

// (pointer, length) of "AUTO", "CPU", "GPU", "NPU", or "NONE" for any other value.
TextArg backend_name_text(uint32_t backend);

// Half away from zero; NaN and magnitudes that do not fit become infinity.
uint16_t f32_to_f16_bits(float x);
// Exact widening; NaN keeps its payload bits.
float f16_bits_to_f32(uint16_t h);

}  // namespace vexa
