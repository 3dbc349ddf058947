#include "generative/code_point_class.h"

#include <unicode/uchar.h>

#include <array>
#include <mutex>

namespace vexa {

uint32_t char_class_regex(uint32_t code_point) {
  if (code_point > 0x10FFFF) return 0;
  const auto c = static_cast<UChar32>(code_point);
  uint32_t mask = 0;
  switch (u_charType(c)) {
    case U_UPPERCASE_LETTER:
    case U_LOWERCASE_LETTER:
    case U_TITLECASE_LETTER:
    case U_MODIFIER_LETTER:
    case U_OTHER_LETTER:
      mask |= kClassLetter;
      break;
    case U_DECIMAL_DIGIT_NUMBER:
    case U_LETTER_NUMBER:
    case U_OTHER_NUMBER:
      mask |= kClassNumber;
      break;
    default:
      break;
  }
  if (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) mask |= kClassSpace;
  return mask;
}

namespace {

// 64 KiB: every code point of the Basic Multilingual Plane, which holds nearly all prompt text.
const std::array<uint8_t, kBmpCodePoints>& bmp_table() {
  static std::array<uint8_t, kBmpCodePoints> table;
  static std::once_flag once;
  std::call_once(once, [] {
    for (uint32_t c = 0; c < kBmpCodePoints; ++c) {
      table[c] = static_cast<uint8_t>(char_class_regex(c));
    }
  });
  return table;
}

}  // namespace

const uint8_t* code_point_class_bmp_table() { return bmp_table().data(); }

uint32_t char_class_cached(uint32_t code_point) {
  if (code_point < kBmpCodePoints) return bmp_table()[code_point];
  return char_class_regex(code_point);
}

}  // namespace vexa
