// Code-point classes of the tokenizer's pre-tokenizer: the classes the expressions \p{L}
// (letter), \p{N} (number) and \s (white space: the Unicode White_Space property) give a single
// code point, taken from ICU's character properties instead of a regular-expression engine.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr uint32_t kClassLetter = 1;
inline constexpr uint32_t kClassNumber = 2;
inline constexpr uint32_t kClassSpace = 4;

// Straight from ICU, for any value (past U+10FFFF nothing has a class).
uint32_t char_class_regex(uint32_t code_point);

inline constexpr uint32_t kBmpCodePoints = 0x10000;

// Classes of U+0000..U+FFFF, one byte each, built once per process on first use: prompts are
// nearly all in this plane, so the encoder reads a byte instead of asking ICU.
const uint8_t* code_point_class_bmp_table();

// The same classes through that table (ICU for the other planes).
uint32_t char_class_cached(uint32_t code_point);

}  // namespace vexa
