#include "generative/tokenizer_tables.h"

#include <bit>

#include "generative/utf8_spans.h"

namespace vexa {

void MergeTable::build(const std::vector<std::pair<uint64_t, MergeRule>>& rules) {
  // At most half full, so a miss ends after a few probes.
  const uint64_t want = rules.size() * 2 < 16 ? 16 : rules.size() * 2;
  const uint64_t capacity = std::bit_ceil(want);
  shift_ = 64 - static_cast<uint32_t>(std::countr_zero(capacity));
  mask_ = capacity - 1;
  slots_.assign(capacity, Slot{kEmptyKey, MergeRule{0, 0}});
  for (const auto& [key, rule] : rules) {
    for (uint64_t i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) break;  // a repeated pair keeps its first (lowest) rank
      if (s.key == kEmptyKey) {
        s = Slot{key, rule};
        break;
      }
    }
  }
}

namespace {

// Bytes that print as themselves keep their code point; the other 68 take 256, 257, ... in
// byte order, so every byte has a visible, distinct symbol.
bool byte_is_printable(uint32_t b) {
  return (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
}

class SymbolNumbers {
 public:
  uint32_t number(const std::string& text) {
    const auto [it, inserted] = numbers_.emplace(text, static_cast<uint32_t>(texts_.size()));
    if (inserted) texts_.push_back(&it->first);
    return it->second;
  }
  const std::vector<const std::string*>& texts() const { return texts_; }

 private:
  std::unordered_map<std::string, uint32_t> numbers_;
  std::vector<const std::string*> texts_;  // keys of numbers_, stable while it lives
};

}  // namespace

void tokenizer_tables_finish(TokenizerTables& t,
                             const std::vector<std::pair<std::string, std::string>>& merges) {
  uint32_t next_extra = 256;
  t.symbol_to_byte.clear();
  for (uint32_t b = 0; b < 256; ++b) {
    const uint32_t cp = byte_is_printable(b) ? b : next_extra++;
    t.byte_to_symbol[b].clear();
    utf8_append(t.byte_to_symbol[b], cp);
    t.symbol_to_byte[cp] = static_cast<uint8_t>(b);
  }

  SymbolNumbers numbers;
  for (uint32_t b = 0; b < 256; ++b) t.byte_symbol[b] = numbers.number(t.byte_to_symbol[b]);
  std::vector<std::pair<uint64_t, MergeRule>> rules;
  rules.reserve(merges.size());
  std::string joined;
  for (uint64_t rank = 0; rank < merges.size(); ++rank) {
    const auto& [left, right] = merges[rank];
    if (left.find(' ') != std::string::npos || right.find(' ') != std::string::npos) continue;
    const uint32_t l = numbers.number(left);
    const uint32_t r = numbers.number(right);
    joined.assign(left).append(right);
    const uint32_t result = numbers.number(joined);
    rules.push_back({MergeTable::pair_key(l, r), MergeRule{static_cast<uint32_t>(rank), result}});
  }
  t.merges.build(rules);

  t.symbol_vocab_id.assign(numbers.texts().size(), -1);
  for (uint64_t s = 0; s < numbers.texts().size(); ++s) {
    const auto it = t.vocab.find(*numbers.texts()[s]);
    if (it != t.vocab.end()) t.symbol_vocab_id[s] = it->second;
  }

  for (auto& list : t.added_by_first_byte) list.clear();
  t.added_first_bytes = {};
  for (uint32_t k = 0; k < t.added.size(); ++k) {
    const auto first = static_cast<uint8_t>(t.added[k].content[0]);
    t.added_by_first_byte[first].push_back(k);
    t.added_first_bytes[first >> 6] |= uint64_t{1} << (first & 63);
  }
}

}  // namespace vexa
