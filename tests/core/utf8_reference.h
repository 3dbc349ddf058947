// An independent UTF-8 validity check for the text tests and the text fuzz target: decode by the
// bit patterns, then reject overlong forms, surrogates and values above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vexa::testing {

inline bool reference_utf8_valid(std::string_view v) {
  size_t i = 0;
  while (i < v.size()) {
    const auto b0 = static_cast<uint8_t>(v[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (b0 < 0x80) {
      len = 1;
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2;
      cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3;
      cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4;
      cp = b0 & 0x07;
    } else {
      return false;
    }
    if (i + len > v.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<uint8_t>(v[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace vexa::testing
