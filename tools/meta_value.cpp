#include "tools/meta_value.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/container_format.h"

namespace vexa::tools {

namespace {

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// The whole word, and a finite result: from_chars ignores the locale and accepts no spaces.
template <typename Number>
bool parse_whole(std::string_view word, Number* out) {
  if (word.empty()) return false;
  const char* end = word.data() + word.size();
  const auto r = std::from_chars(word.data(), end, *out);
  if (r.ec != std::errc() || r.ptr != end) return false;
  if constexpr (std::is_floating_point_v<Number>) return std::isfinite(*out);
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint64_t type_code(MetaValueType t) { return static_cast<uint64_t>(t); }

}  // namespace

std::string parse_meta_value(std::string_view type, std::span<const std::string_view> words,
                             MetaValue* out) {
  *out = MetaValue{};
  auto one_word = [&]() -> std::string {
    if (words.size() != 1) return std::string(type) + " takes exactly one value";
    return "";
  };
  if (type == "string") {
    if (std::string e = one_word(); !e.empty()) return e;
    out->type = type_code(MetaValueType::kString);
    out->bytes = std::string(words[0]);
    out->item_count = 1;
    return "";
  }
  if (type == "f64") {
    if (std::string e = one_word(); !e.empty()) return e;
    double v = 0;
    if (!parse_whole(words[0], &v)) return quoted(words[0]) + " is not a finite number";
    out->type = type_code(MetaValueType::kF64);
    std::memcpy(&out->inline_value, &v, sizeof v);
    out->item_count = 1;
    return "";
  }
  if (type == "i64") {
    if (std::string e = one_word(); !e.empty()) return e;
    int64_t v = 0;
    if (!parse_whole(words[0], &v)) return quoted(words[0]) + " is not a 64-bit integer";
    out->type = type_code(MetaValueType::kI64);
    out->inline_value = static_cast<uint64_t>(v);
    out->item_count = 1;
    return "";
  }
  if (type == "bool") {
    if (std::string e = one_word(); !e.empty()) return e;
    if (words[0] != "true" && words[0] != "false") return "bool takes true or false";
    out->type = type_code(MetaValueType::kBool);
    out->inline_value = words[0] == "true" ? 1 : 0;
    out->item_count = 1;
    return "";
  }
  if (type == "strings") {
    out->type = type_code(MetaValueType::kStringList);
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i].find('\0') != std::string_view::npos) return "a list item holds a NUL byte";
      if (i > 0) out->bytes.push_back('\0');
      out->bytes.append(words[i]);
    }
    out->item_count = words.size();
    return "";
  }
  if (type == "f32") {
    out->type = type_code(MetaValueType::kF32Array);
    for (std::string_view w : words) {
      float v = 0;
      if (!parse_whole(w, &v)) return quoted(w) + " is not a finite f32 number";
      char bits[sizeof v];
      std::memcpy(bits, &v, sizeof v);  // the host is little-endian, as the container is
      out->bytes.append(bits, sizeof bits);
    }
    out->item_count = words.size();
    return "";
  }
  if (type == "bytes") {
    if (std::string e = one_word(); !e.empty()) return e;
    const std::string_view hex = words[0];
    if (hex.size() % 2 != 0) return quoted(hex) + " is not an even number of hex digits";
    for (size_t i = 0; i < hex.size(); i += 2) {
      const int hi = hex_digit(hex[i]);
      const int lo = hex_digit(hex[i + 1]);
      if (hi < 0 || lo < 0) return quoted(hex) + " is not an even number of hex digits";
      out->bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    out->type = type_code(MetaValueType::kOpaque);
    out->item_count = 1;
    return "";
  }
  return "unknown metadata type " + quoted(type) + " (string, f64, i64, bool, strings, f32 or bytes)";
}

}  // namespace vexa::tools
