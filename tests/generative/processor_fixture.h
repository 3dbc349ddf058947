// Processor assets for the generative tests: the committed test model's six documents (GPT-2's
// vocabulary with chat markers) and a small hand-made tokenizer whose merges a test can follow
// by eye.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "generative/model_config.h"
#include "generative/processor_assets.h"

namespace vexa::testing {

inline std::string read_fixture(const std::string& relative) {
  std::ifstream in(std::string(VEXA_FIXTURES_DIR) + "/" + relative, std::ios::binary);
  if (!in) ADD_FAILURE() << "missing fixture " << relative;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The six documents of the test model, keyed by their asset names (five without the tokenizer).
inline nlohmann::json model_assets(bool with_tokenizer = true) {
  nlohmann::json assets = nlohmann::json::object();
  for (const std::string_view name : kProcessorAssetNames) {
    if (!with_tokenizer && name == "tokenizer.json") continue;
    const std::string folder = name == "tokenizer.json" ? "tokenizer/" : "processor/";
    assets[std::string(name)] = nlohmann::json::parse(read_fixture(folder + std::string(name)));
  }
  return assets;
}

// Built once: loading 50,257 tokens and 50,000 merges is the slow part of these tests.
inline const Processor& gpt2_processor() {
  static const std::unique_ptr<Processor> processor = processor_load_config(model_assets());
  return *processor;
}

// The code point that stands for byte b in byte-level token text (written out independently of
// the processor's table).
inline std::string byte_symbol(uint8_t b) {
  static const std::vector<std::string> table = [] {
    std::vector<std::string> t;
    uint32_t next = 256;
    for (uint32_t v = 0; v < 256; ++v) {
      const bool printable = (v >= 33 && v <= 126) || (v >= 161 && v <= 172) || v >= 174;
      const uint32_t cp = printable ? v : next++;
      std::string s;
      if (cp < 0x80) {
        s.push_back(static_cast<char>(cp));
      } else {
        s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      }
      t.push_back(s);
    }
    return t;
  }();
  return table[b];
}

// Byte-level form of plain text.
inline std::string symbols_of(std::string_view text) {
  std::string out;
  for (const char c : text) out += byte_symbol(static_cast<uint8_t>(c));
  return out;
}

inline nlohmann::json added_token_entry(const std::string& content, int64_t id) {
  return {{"id", id},          {"content", content}, {"single_word", false}, {"lstrip", false},
          {"rstrip", false},   {"normalized", false}, {"special", true}};
}

// A tokenizer of the accepted shape: ids 0..255 are the bytes, then one id per merge result in
// merge order, then the added tokens. Merges are written in plain text ("he", "llo").
inline nlohmann::json small_tokenizer(const std::vector<std::pair<std::string, std::string>>& merges,
                                      const std::vector<std::string>& added) {
  nlohmann::json vocab = nlohmann::json::object();
  for (uint32_t b = 0; b < 256; ++b) vocab[byte_symbol(static_cast<uint8_t>(b))] = b;
  nlohmann::json merge_list = nlohmann::json::array();
  int64_t next = 256;
  for (const auto& [left, right] : merges) {
    merge_list.push_back({symbols_of(left), symbols_of(right)});
    const std::string joined = symbols_of(left + right);
    if (!vocab.contains(joined)) vocab[joined] = next++;
  }
  nlohmann::json added_list = nlohmann::json::array();
  for (const std::string& content : added) added_list.push_back(added_token_entry(content, next++));
  return {
      {"version", "1.0"},
      {"added_tokens", added_list},
      {"normalizer", nullptr},
      {"pre_tokenizer",
       {{"type", "Sequence"},
        {"pretokenizers",
         {{{"type", "Digits"}, {"individual_digits", true}},
          {{"type", "ByteLevel"},
           {"add_prefix_space", false},
           {"trim_offsets", true},
           {"use_regex", true}}}}}},
      {"post_processor", nullptr},
      {"decoder", nullptr},
      {"model",
       {{"type", "BPE"},
        {"dropout", nullptr},
        {"unk_token", nullptr},
        {"byte_fallback", false},
        {"ignore_merges", false},
        {"vocab", vocab},
        {"merges", merge_list}}}};
}

// The test model's documents around a small tokenizer (vocab_size 512).
inline nlohmann::json small_assets(const std::vector<std::pair<std::string, std::string>>& merges,
                                   const std::vector<std::string>& added) {
  static const nlohmann::json base = [] {
    nlohmann::json a = model_assets(false);
    a["config.json"]["text_config"]["vocab_size"] = 512;
    return a;
  }();
  nlohmann::json assets = base;
  assets["tokenizer.json"] = small_tokenizer(merges, added);
  return assets;
}

inline std::unique_ptr<Processor> small_processor(
    const std::vector<std::pair<std::string, std::string>>& merges,
    const std::vector<std::string>& added) {
  return processor_load_config(small_assets(merges, added));
}

}  // namespace vexa::testing
