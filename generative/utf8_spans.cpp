#include "generative/utf8_spans.h"

#include <stdexcept>

namespace vexa {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The second byte also excludes overlong forms (E0, F0), surrogates (ED) and code points past
// U+10FFFF (F4).
bool second_byte_ok(uint8_t lead, uint8_t b) {
  if (!is_continuation(b)) return false;
  switch (lead) {
    case 0xE0: return b >= 0xA0;
    case 0xED: return b <= 0x9F;
    case 0xF0: return b >= 0x90;
    case 0xF4: return b <= 0x8F;
    default: return true;
  }
}

}  // namespace

Utf8Decoded utf8_step(const uint8_t* text, uint64_t n, uint64_t i) {
  const uint8_t lead = text[i];
  if (lead < 0x80) return {Utf8Step::kValid, 1, lead};
  uint32_t length = 0;
  uint32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return {Utf8Step::kInvalid, 1, 0};
  }
  const uint64_t left = n - i;
  if (left < 2) return {Utf8Step::kIncomplete, 1, 0};
  if (!second_byte_ok(lead, text[i + 1])) return {Utf8Step::kInvalid, 1, 0};
  cp = (cp << 6) | (text[i + 1] & 0x3F);
  for (uint32_t k = 2; k < length; ++k) {
    if (k >= left) return {Utf8Step::kIncomplete, static_cast<uint32_t>(left), 0};
    if (!is_continuation(text[i + k])) return {Utf8Step::kInvalid, k, 0};
    cp = (cp << 6) | (text[i + k] & 0x3F);
  }
  return {Utf8Step::kValid, length, cp};
}

std::vector<CodePointSpan> utf8_decode_spans(std::string_view text, bool lenient) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint64_t n = text.size();
  std::vector<CodePointSpan> spans;
  spans.reserve(n);
  for (uint64_t i = 0; i < n;) {
    const Utf8Decoded d = utf8_step(p, n, i);
    if (d.step != Utf8Step::kValid && !lenient) throw std::runtime_error("Invalid UTF-8 input");
    const uint32_t cp = d.step == Utf8Step::kValid ? d.code_point : kReplacementCodePoint;
    spans.push_back({cp, i, i + d.length});
    i += d.length;
  }
  return spans;
}

void utf8_append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)),
                       static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

std::string utf8_sanitize(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint64_t n = bytes.size();
  std::string out;
  out.reserve(n);
  for (uint64_t i = 0; i < n;) {
    const Utf8Decoded d = utf8_step(p, n, i);
    if (d.step == Utf8Step::kValid) {
      out.append(bytes.data() + i, d.length);
    } else {
      utf8_append(out, kReplacementCodePoint);
    }
    i += d.length;
  }
  return out;
}

}  // namespace vexa
