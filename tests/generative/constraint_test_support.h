// Vocabularies and helpers shared by the output-constraint tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/constraint.h"
#include "generative/constraint_compiler.h"
#include "generative/constraint_runtime.h"

namespace vexa::constraint_test {

// GPT-2's byte-level BPE vocabulary as raw token bytes: 50,257 entries of which id 50256
// ("<|endoftext|>") is special and the EOS, plus three more special ids (50257..50259).
inline constexpr int64_t kGpt2Eos = 50256;
inline constexpr size_t kGpt2Size = 50260;

// Inverse of the byte-level mapping: bytes 33..126, 161..172 and 174..255 stand for themselves;
// the other 68 byte values, in increasing order, are code points 256, 257, ...
inline std::vector<int> byte_level_decoder() {
  std::vector<int> decode(256 + 68, -1);
  int next = 256;
  for (int b = 0; b < 256; ++b) {
    const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174;
    decode[printable ? b : next++] = b;
  }
  return decode;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline const std::vector<std::string>& gpt2_token_bytes() {
  static const std::vector<std::string> bytes = [] {
    const std::vector<int> decode = byte_level_decoder();
    const nlohmann::json vocab =
        nlohmann::json::parse(read_file(VEXA_FIXTURES_DIR "/tokenizer/gpt2_vocab.json"));
    std::vector<std::string> out(kGpt2Size);
    for (const auto& item : vocab.items()) {
      const size_t id = item.value().get<size_t>();
      if (static_cast<int64_t>(id) == kGpt2Eos) continue;
      // Token text is UTF-8 of code points below 0x800: one or two bytes each.
      const std::string& text = item.key();
      std::string raw;
      for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int cp = c;
        if (c >= 0x80) {
          cp = ((c & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F);
          i += 2;
        } else {
          i += 1;
        }
        raw.push_back(static_cast<char>(decode.at(static_cast<size_t>(cp))));
      }
      out.at(id) = raw;
    }
    return out;
  }();
  return bytes;
}

// Every byte value as its own token (ids 0..255), then `extra` tokens, then one special EOS id.
inline std::vector<std::string> byte_vocab(const std::vector<std::string>& extra = {}) {
  std::vector<std::string> v;
  for (int b = 0; b < 256; ++b) v.push_back(std::string(1, static_cast<char>(b)));
  v.insert(v.end(), extra.begin(), extra.end());
  v.emplace_back();
  return v;
}

inline Constraint compile_schema(const std::string& schema, int32_t cap = 8192,
                                 std::vector<std::string> vocab = byte_vocab()) {
  const int64_t eos = static_cast<int64_t>(vocab.size()) - 1;
  return compile_output_constraint(schema.c_str(), 0, std::move(vocab), {eos}, cap);
}

inline Constraint compile_amount(uint32_t decimals, int32_t cap = 8192,
                                 std::vector<std::string> vocab = byte_vocab()) {
  const int64_t eos = static_cast<int64_t>(vocab.size()) - 1;
  return compile_output_constraint(nullptr, decimals, std::move(vocab), {eos}, cap);
}

// Whether the automaton takes `text` from its start set to the accept state, byte by byte.
inline bool accepts(const Constraint& c, std::string_view text) {
  std::vector<int32_t> set = constraint_closure(c, {static_cast<int32_t>(kConstraintStartState)});
  for (char b : text) {
    set = constraint_step(c, set, static_cast<uint8_t>(b));
    if (set.empty()) return false;
  }
  for (int32_t s : set) {
    if (static_cast<uint32_t>(s) == c.accept) return true;
  }
  return false;
}

// The message of the ConstraintError that `body` throws, or "" when it throws none.
template <typename Body>
std::string refusal(Body&& body) {
  try {
    body();
  } catch (const ConstraintError& e) {
    return e.what();
  }
  return "";
}

}  // namespace vexa::constraint_test
