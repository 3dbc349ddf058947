// UTF-8 as the tokenizer and the stop stream read it: one code point per step, with the
// invalid-span rule both share (a bad lead or second byte is one byte long; a sequence that
// breaks later covers its lead and the continuation bytes before the break).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

inline constexpr uint32_t kReplacementCodePoint = 0xFFFD;

enum class Utf8Step : uint8_t {
  kValid,       // a whole code point
  kInvalid,     // bytes that can never start a valid sequence here
  kIncomplete,  // a valid beginning that runs into the end of the text
};

struct Utf8Decoded {
  Utf8Step step;
  uint32_t length;      // bytes consumed: the sequence, the invalid span or the partial rest
  uint32_t code_point;  // valid steps only
};

// Decodes the sequence starting at text[i] (i < n). A missing second byte is an incomplete
// step of length 1; a sequence cut after its second byte is incomplete up to n.
Utf8Decoded utf8_step(const uint8_t* text, uint64_t n, uint64_t i);

struct CodePointSpan {
  uint32_t code_point;
  uint64_t begin;
  uint64_t end;  // exclusive
};

// Strict mode throws std::runtime_error("Invalid UTF-8 input") at the first invalid or
// incomplete span; lenient mode yields U+FFFD for each such span.
std::vector<CodePointSpan> utf8_decode_spans(std::string_view text, bool lenient);

// Appends the UTF-8 form of a code point (1 to 4 bytes by its size; no range check).
void utf8_append(std::string& out, uint32_t code_point);

// Every invalid or incomplete span replaced by one U+FFFD.
std::string utf8_sanitize(std::string_view bytes);

}  // namespace vexa
