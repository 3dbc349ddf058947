// Metadata values as a command line gives them: a type word and its value words, turned into
// what model_meta_set stores.
//
//   string TEXT        one UTF-8 text (type 1)
//   f64 NUMBER         a finite double (type 2)
//   i64 INTEGER        a signed 64-bit decimal (type 3)
//   bool true|false    (type 4)
//   strings [ITEM...]  a string list, items joined by NUL bytes (type 5)
//   f32 [NUMBER...]    an array of finite floats, little-endian (type 6)
//   bytes HEX          raw bytes as hex digits, without a typed reader (type 7)
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vexa::tools {

struct MetaValue {
  uint64_t type = 0;
  uint64_t inline_value = 0;  // f64 bits, i64 or 0/1
  std::string bytes;          // pooled value bytes
  uint64_t item_count = 0;
};

// Empty on success, else the reason the words do not form a value of the type.
std::string parse_meta_value(std::string_view type, std::span<const std::string_view> words,
                             MetaValue* out);

}  // namespace vexa::tools
