// The byte-level BPE tokenizer's tables, filled once from "tokenizer.json" when a processor is
// built and only read afterwards (by any number of threads).
//
// BPE runs on symbol numbers rather than strings: every byte symbol, both parts of every merge
// and every merge result get a number when the tables are built, and a merge is found by the
// pair of numbers. A merge whose part holds U+0020 is left out: symbols made of byte symbols
// never contain U+0020 (the space byte maps to U+0120), so the key "left right" of such a merge
// can never equal the key of two adjacent symbols.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vexa {

struct AddedToken {
  std::string content;
  uint32_t id;
};

// A merge found for a pair of adjacent symbols.
struct MergeRule {
  uint32_t rank;
  uint32_t result;  // symbol number of the joined text
};

// Open addressing over (left, right) symbol pairs; built once, read without locks.
class MergeTable {
 public:
  void build(const std::vector<std::pair<uint64_t, MergeRule>>& rules);
  // Null when the pair has no merge.
  const MergeRule* find(uint32_t left, uint32_t right) const {
    if (slots_.empty()) return nullptr;
    const uint64_t key = pair_key(left, right);
    for (uint64_t i = slot_of(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.key == key) return &s.rule;
      if (s.key == kEmptyKey) return nullptr;
    }
  }
  static uint64_t pair_key(uint32_t left, uint32_t right) {
    return (uint64_t{left} << 32) | right;
  }

 private:
  static constexpr uint64_t kEmptyKey = ~uint64_t{0};  // symbol numbers stay below 2^32 - 1
  struct Slot {
    uint64_t key;
    MergeRule rule;
  };
  uint64_t slot_of(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }

  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
  uint32_t shift_ = 64;
};

struct TokenizerTables {
  uint32_t vocab_size = 0;
  std::unordered_map<std::string, uint32_t> vocab;  // byte-level token text -> id
  std::vector<std::string> id_to_token;             // vocab_size entries; unnamed ids empty
  std::vector<uint8_t> special;                     // one flag per id
  std::vector<AddedToken> added;                    // longest content first
  std::array<std::string, 256> byte_to_symbol;
  std::unordered_map<uint32_t, uint8_t> symbol_to_byte;  // code point -> byte

  // Symbol numbers: byte b is symbol b; merge parts and results follow.
  std::array<uint32_t, 256> byte_symbol{};
  std::vector<int64_t> symbol_vocab_id;  // -1 when the symbol's text is not in the vocabulary
  MergeTable merges;
  // Added tokens by first byte, each list in `added` order, so the first match is the longest.
  std::array<std::vector<uint32_t>, 256> added_by_first_byte;
  std::array<uint64_t, 4> added_first_bytes{};  // bit set of the first bytes above

  bool is_special(uint64_t id) const { return id < special.size() && special[id] != 0; }
};

// Builds the symbol numbering and the merge table, the byte tables and the added-token index.
// `merges` are (first, second) in rank order. The vocabulary, the id table, the special flags
// and the added-token list must be filled before.
void tokenizer_tables_finish(TokenizerTables& tables,
                             const std::vector<std::pair<std::string, std::string>>& merges);

}  // namespace vexa
