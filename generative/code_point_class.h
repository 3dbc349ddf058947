// Code-point classes of the tokenizer's pre-tokenizer: letter (\p{L}), number (\p{N}) and
// white space (\s, the Unicode White_Space property), from ICU.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr uint32_t kClassLetter = 1;
inline constexpr uint32_t kClassNumber = 2;
inline constexpr uint32_t kClassSpace = 4;

// Straight from ICU; any code point (values past U+10FFFF have no class).
uint32_t code_point_class_icu(uint32_t code_point);

inline constexpr uint32_t kBmpCodePoints = 0x10000;

// Classes of U+0000..U+FFFF, one byte each; built once per process on first use.
const uint8_t* code_point_class_bmp_table();

// The same through a table of the Basic Multilingual Plane, built once per process on first use.
uint32_t code_point_class(uint32_t code_point);

}  // namespace vexa
