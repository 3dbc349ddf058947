#include "tests/support/vlm_tokenizer.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_map>

namespace vexa::testing {
namespace {

constexpr uint64_t kByteSymbols = 256;

struct Gpt2Tables {
  std::vector<std::string> tokens;  // by id
  std::vector<std::pair<std::string, std::string>> merges;
  std::string error;
};

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return static_cast<bool>(in) || in.eof();
}

Gpt2Tables load_tables() {
  Gpt2Tables t;
  const std::string dir = std::string(VEXA_SUPPORT_FIXTURES_DIR) + "/tokenizer/";
  std::string text;
  if (!read_file(dir + "gpt2_vocab.json", &text)) {
    t.error = "cannot read " + dir + "gpt2_vocab.json";
    return t;
  }
  const nlohmann::json vocab = nlohmann::json::parse(text, nullptr, false);
  if (!vocab.is_object()) {
    t.error = "gpt2_vocab.json is not a JSON object";
    return t;
  }
  t.tokens.resize(vocab.size());
  for (const auto& [token, id] : vocab.items()) {
    if (!id.is_number_unsigned() || id.get<uint64_t>() >= t.tokens.size() ||
        !t.tokens[id.get<uint64_t>()].empty()) {
      t.error = "gpt2_vocab.json ids are not 0..n-1 once each";
      return t;
    }
    t.tokens[id.get<uint64_t>()] = token;
  }
  if (!read_file(dir + "gpt2_merges.json", &text)) {
    t.error = "cannot read " + dir + "gpt2_merges.json";
    return t;
  }
  // Pairs of symbols in rank order.
  const nlohmann::json merges = nlohmann::json::parse(text, nullptr, false);
  if (!merges.is_array()) {
    t.error = "gpt2_merges.json is not a JSON array";
    return t;
  }
  for (const nlohmann::json& pair : merges) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string() ||
        pair[0].get_ref<const std::string&>().empty() || pair[1].get_ref<const std::string&>().empty()) {
      t.error = "gpt2_merges.json entry is not two symbols: " + pair.dump();
      return t;
    }
    t.merges.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
  }
  return t;
}

const Gpt2Tables& gpt2_tables() {
  static const Gpt2Tables tables = load_tables();
  return tables;
}

void append_utf8(std::string* s, uint32_t cp) {
  if (cp < 0x80) {
    s->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s->push_back(static_cast<char>(0xc0 | (cp >> 6)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    s->push_back(static_cast<char>(0xe0 | (cp >> 12)));
    s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

}  // namespace

std::string byte_symbol(uint8_t b) {
  const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174;
  uint32_t cp = b;
  if (!printable) {
    // The unprintable bytes take 256, 257, ... in byte order.
    cp = 256;
    for (int c = 0; c < b; ++c) {
      if (!((c >= 33 && c <= 126) || (c >= 161 && c <= 172) || c >= 174)) ++cp;
    }
  }
  std::string s;
  append_utf8(&s, cp);
  return s;
}

bool build_vlm_tokenizer(uint64_t merges, VlmTokenizer* out, std::string* error) {
  const Gpt2Tables& t = gpt2_tables();
  if (!t.error.empty()) {
    *error = t.error;
    return false;
  }
  if (merges == 0 || merges > t.merges.size() || kByteSymbols + merges > t.tokens.size()) {
    *error = "merge count must be 1.." + std::to_string(t.merges.size());
    return false;
  }
  // The truncation keeps ids 0..255+K unchanged, which holds only if the first 256 ids are the
  // byte alphabet and each merge's result has id 256 + its rank.
  std::unordered_map<std::string, uint64_t> kept;
  for (uint64_t b = 0; b < kByteSymbols; ++b) kept.emplace(byte_symbol(static_cast<uint8_t>(b)), 0);
  for (uint64_t id = 0; id < kByteSymbols; ++id) {
    auto it = kept.find(t.tokens[id]);
    if (it == kept.end() || it->second != 0) {
      *error = "fixture ids 0..255 are not the byte alphabet (id " + std::to_string(id) + ")";
      return false;
    }
    it->second = id + 1;
  }
  for (auto& [symbol, id_plus_one] : kept) --id_plus_one;
  for (uint64_t i = 0; i < merges; ++i) {
    const auto& [left, right] = t.merges[i];
    const uint64_t id = kByteSymbols + i;
    if (t.tokens[id] != left + right || !kept.count(left) || !kept.count(right) ||
        kept.count(left + right)) {
      *error = "fixture merge " + std::to_string(i) + " does not produce id " + std::to_string(id);
      return false;
    }
    kept.emplace(left + right, id);
  }

  VlmTokenizer tok{};
  int64_t next_id = static_cast<int64_t>(kByteSymbols + merges);
  auto special = [&](const std::string& content) {
    tok.specials.emplace_back(content, next_id);
    return next_id++;
  };
  tok.im_start_id = special(kImStartToken);
  tok.im_end_id = special(kImEndToken);
  tok.end_of_utterance_id = special(kEndOfUtteranceToken);
  tok.image_id = special(kImageToken);
  tok.fake_image_id = special(kFakeImageToken);
  tok.global_image_id = special(kGlobalImageToken);
  for (int r = 1; r <= kMaxTileGrid; ++r) {
    for (int c = 1; c <= kMaxTileGrid; ++c) {
      special("<row_" + std::to_string(r) + "_col_" + std::to_string(c) + ">");
    }
  }
  tok.id_count = static_cast<uint64_t>(next_id);

  nlohmann::ordered_json vocab = nlohmann::ordered_json::object();
  for (uint64_t id = 0; id < kByteSymbols + merges; ++id) vocab[t.tokens[id]] = id;
  nlohmann::ordered_json added = nlohmann::ordered_json::array();
  for (const auto& [content, id] : tok.specials) {
    vocab[content] = id;
    added.push_back({{"id", id},
                     {"content", content},
                     {"single_word", false},
                     {"lstrip", false},
                     {"rstrip", false},
                     {"normalized", false},
                     {"special", true}});
  }
  nlohmann::ordered_json merge_list = nlohmann::ordered_json::array();
  for (uint64_t i = 0; i < merges; ++i) {
    merge_list.push_back(nlohmann::ordered_json::array({t.merges[i].first, t.merges[i].second}));
  }

  nlohmann::ordered_json doc;
  doc["version"] = "1.0";
  doc["truncation"] = nullptr;
  doc["padding"] = nullptr;
  doc["added_tokens"] = std::move(added);
  doc["normalizer"] = nullptr;
  nlohmann::ordered_json steps = nlohmann::ordered_json::array();
  steps.push_back({{"type", "Digits"}, {"individual_digits", true}});
  steps.push_back({{"type", "ByteLevel"},
                   {"add_prefix_space", false},
                   {"trim_offsets", true},
                   {"use_regex", true}});
  doc["pre_tokenizer"] = {{"type", "Sequence"}, {"pretokenizers", std::move(steps)}};
  doc["post_processor"] = nullptr;
  doc["decoder"] = {{"type", "ByteLevel"},
                    {"add_prefix_space", true},
                    {"trim_offsets", true},
                    {"use_regex", true}};
  doc["model"] = {{"type", "BPE"},
                  {"dropout", nullptr},
                  {"unk_token", nullptr},
                  {"continuing_subword_prefix", nullptr},
                  {"end_of_word_suffix", nullptr},
                  {"fuse_unk", false},
                  {"byte_fallback", false},
                  {"ignore_merges", false},
                  {"vocab", std::move(vocab)},
                  {"merges", std::move(merge_list)}};
  tok.json = doc.dump();
  *out = std::move(tok);
  return true;
}

}  // namespace vexa::testing
