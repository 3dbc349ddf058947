#include "generative/tokenizer.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <stdexcept>

#include "generative/code_point_class.h"
#include "generative/utf8_spans.h"

namespace vexa {

namespace {

// Pieces up to this many bytes are merged by rescanning, longer ones through a heap. Best of 7
// over 2,000 English letter runs per length with the GPT-2 merges: rescan 0.66 us and heap
// 0.97 us at 24 bytes, 1.16 and 1.37 at 32, 2.9 and 2.2 at 48, 24.6 and 11.7 at 128.
constexpr size_t kScanMergeMaxSymbols = 32;

struct CodePoint {
  uint32_t cls;
  uint32_t begin;  // byte offset inside the stretch
};

constexpr uint32_t kApostrophe = 0x27;
constexpr uint32_t kSpace = 0x20;
constexpr uint32_t kWordClasses = kClassLetter | kClassNumber | kClassSpace;

// Calls piece(begin, end) with the byte range of every piece of one stretch, in order.
template <typename PieceFn>
void for_each_piece(std::string_view text, std::vector<CodePoint>& cps, PieceFn&& piece) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const uint64_t n = text.size();
  if (n > UINT32_MAX) throw std::length_error("text too long");
  cps.clear();
  const uint8_t* bmp = code_point_class_bmp_table();
  for (uint64_t i = 0; i < n;) {
    if (bytes[i] < 0x80) {
      cps.push_back({bmp[bytes[i]], static_cast<uint32_t>(i)});
      ++i;
      continue;
    }
    const Utf8Decoded d = utf8_step(bytes, n, i);
    if (d.step != Utf8Step::kValid) throw std::runtime_error("Invalid UTF-8 input");
    const uint32_t cls = d.code_point < kBmpCodePoints ? bmp[d.code_point]
                                                       : char_class_regex(d.code_point);
    cps.push_back({cls, static_cast<uint32_t>(i)});
    i += d.length;
  }
  const uint64_t count = cps.size();
  cps.push_back({0, static_cast<uint32_t>(n)});  // sentinel: the end offset of the last one
  // A code point is a given ASCII character exactly when its first byte is that character.
  const auto cp_at = [&](uint64_t k) -> uint32_t { return bytes[cps[k].begin]; };
  const auto is_ascii = [&](uint64_t k, char c) {
    return bytes[cps[k].begin] == static_cast<uint8_t>(c);
  };

  // Runs: every number code point alone, every maximal stretch without one.
  for (uint64_t start = 0; start < count;) {
    uint64_t end = start + 1;
    if ((cps[start].cls & kClassNumber) == 0) {
      while (end < count && (cps[end].cls & kClassNumber) == 0) ++end;
    }
    for (uint64_t i = start; i < end;) {
      uint64_t stop = 0;
      if (cp_at(i) == kApostrophe) {
        const uint64_t left = end - i;
        if (left >= 2 && (is_ascii(i + 1, 's') || is_ascii(i + 1, 't') || is_ascii(i + 1, 'm') ||
                          is_ascii(i + 1, 'd'))) {
          stop = i + 2;
        } else if (left >= 3 && ((is_ascii(i + 1, 'r') && is_ascii(i + 2, 'e')) ||
                                 (is_ascii(i + 1, 'v') && is_ascii(i + 2, 'e')) ||
                                 (is_ascii(i + 1, 'l') && is_ascii(i + 2, 'l')))) {
          stop = i + 3;
        }
      }
      if (stop == 0) {
        const uint64_t j = (cp_at(i) == kSpace && i + 1 < end) ? i + 1 : i;
        const uint32_t cls = cps[j].cls;
        if (cls & kClassLetter) {
          stop = j + 1;
          while (stop < end && (cps[stop].cls & kClassLetter)) ++stop;
        } else if (cls & kClassNumber) {
          stop = j + 1;
          while (stop < end && (cps[stop].cls & kClassNumber)) ++stop;
        } else if (cls & kClassSpace) {
          uint64_t m = i + 1;
          while (m < end && (cps[m].cls & kClassSpace)) ++m;
          // The last white space before other text is left to lead the next piece.
          stop = (m == end || m == i + 1) ? m : m - 1;
        } else {
          stop = j + 1;
          while (stop < end && (cps[stop].cls & kWordClasses) == 0) ++stop;
        }
      }
      piece(cps[i].begin, cps[stop].begin);
      i = stop;
    }
    start = end;
  }
}

void append_symbol_ids(const TokenizerTables& t, const std::vector<uint32_t>& symbols,
                       std::vector<int64_t>& ids) {
  for (const uint32_t s : symbols) {
    const int64_t id = t.symbol_vocab_id[s];
    if (id < 0) throw std::runtime_error("Missing BPE symbol");
    ids.push_back(id);
  }
}

void merge_piece(const TokenizerTables& t, const uint8_t* bytes, size_t n,
                 std::vector<uint32_t>& symbols, std::vector<int64_t>& ids) {
  symbols.clear();
  for (size_t k = 0; k < n; ++k) symbols.push_back(t.byte_symbol[bytes[k]]);
  if (symbols.size() <= kScanMergeMaxSymbols) {
    bpe_merge_symbols_by_scan(t, symbols);
  } else {
    bpe_merge_symbols_by_heap(t, symbols);
  }
  append_symbol_ids(t, symbols, ids);
}

struct EncodeScratch {
  std::vector<CodePoint> cps;
  std::vector<uint32_t> symbols;
};

void encode_stretch(const Processor& p, std::string_view text, EncodeScratch& scratch,
                    std::vector<int64_t>& ids) {
  const TokenizerTables& t = p.tokens;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  for_each_piece(text, scratch.cps, [&](uint32_t begin, uint32_t end) {
    merge_piece(t, bytes + begin, end - begin, scratch.symbols, ids);
  });
}

// Appends the token's bytes; throws "Byte decoding" for a code point that is no byte symbol.
void append_token_bytes(const TokenizerTables& t, const std::string& token, std::string& out) {
  for (const CodePointSpan& s : utf8_decode_spans(token, false)) {
    const auto it = t.symbol_to_byte.find(s.code_point);
    if (it == t.symbol_to_byte.end()) throw std::runtime_error("Byte decoding");
    out.push_back(static_cast<char>(it->second));
  }
}

}  // namespace

void bpe_merge_symbols_by_scan(const TokenizerTables& t, std::vector<uint32_t>& symbols) {
  while (symbols.size() >= 2) {
    const MergeRule* best = nullptr;
    size_t at = 0;
    for (size_t i = 0; i + 1 < symbols.size(); ++i) {
      const MergeRule* rule = t.merges.find(symbols[i], symbols[i + 1]);
      if (rule != nullptr && (best == nullptr || rule->rank < best->rank)) {
        best = rule;
        at = i;
      }
    }
    if (best == nullptr) return;
    symbols[at] = best->result;
    symbols.erase(symbols.begin() + static_cast<ptrdiff_t>(at) + 1);
  }
}

void bpe_merge_symbols_by_heap(const TokenizerTables& t, std::vector<uint32_t>& symbols) {
  // A doubly linked list over the original positions; a merge keeps the left node. Heap entries
  // carry the symbols they were made for, so an entry outdated by a neighbouring merge is
  // recognised and dropped. (rank, left position) orders the heap: the lowest rank, leftmost
  // among equals, exactly the pair a full rescan would choose.
  const size_t n = symbols.size();
  if (n < 2) return;
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> prev(n), next(n);
  for (size_t i = 0; i < n; ++i) {
    prev[i] = i == 0 ? kNone : static_cast<uint32_t>(i - 1);
    next[i] = i + 1 == n ? kNone : static_cast<uint32_t>(i + 1);
  }
  struct Entry {
    uint32_t rank;
    uint32_t left;
    uint32_t right;
    uint32_t left_symbol;
    uint32_t right_symbol;
    uint32_t result;
    bool operator>(const Entry& o) const {
      return rank != o.rank ? rank > o.rank : left > o.left;
    }
  };
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  const auto push_pair = [&](uint32_t left) {
    if (left == kNone || next[left] == kNone) return;
    const uint32_t right = next[left];
    const MergeRule* rule = t.merges.find(symbols[left], symbols[right]);
    if (rule != nullptr) {
      heap.push({rule->rank, left, right, symbols[left], symbols[right], rule->result});
    }
  };
  for (size_t i = 0; i + 1 < n; ++i) push_pair(static_cast<uint32_t>(i));
  std::vector<uint8_t> alive(n, 1);
  while (!heap.empty()) {
    const Entry e = heap.top();
    heap.pop();
    if (!alive[e.left] || !alive[e.right] || next[e.left] != e.right ||
        symbols[e.left] != e.left_symbol || symbols[e.right] != e.right_symbol) {
      continue;
    }
    symbols[e.left] = e.result;
    alive[e.right] = 0;
    next[e.left] = next[e.right];
    if (next[e.right] != kNone) prev[next[e.right]] = e.left;
    push_pair(prev[e.left]);
    push_pair(e.left);
  }
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    if (alive[i]) symbols[out++] = symbols[i];
  }
  symbols.resize(out);
}

namespace {

// Runs append(ids); a failure leaves the caller's ids as they were, not with the first ids of
// the failed piece or stretch appended.
template <typename Append>
void append_all_or_none(std::vector<int64_t>& ids, Append&& append) {
  const size_t before = ids.size();
  try {
    append(ids);
  } catch (...) {
    ids.resize(before);
    throw;
  }
}

}  // namespace

void bpe_merge_word(const Processor& p, std::string_view piece, std::vector<int64_t>& ids) {
  append_all_or_none(ids, [&](std::vector<int64_t>& out) {
    std::vector<uint32_t> symbols;
    merge_piece(p.tokens, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), symbols,
                out);
  });
}

void pretokenize(const Processor& p, std::string_view text, std::vector<int64_t>& ids) {
  append_all_or_none(ids, [&](std::vector<int64_t>& out) {
    EncodeScratch scratch;
    encode_stretch(p, text, scratch, out);
  });
}

std::vector<std::string_view> pretokenize_pieces(std::string_view text) {
  std::vector<CodePoint> cps;
  std::vector<std::string_view> pieces;
  for_each_piece(text, cps, [&](uint32_t begin, uint32_t end) {
    pieces.push_back(text.substr(begin, end - begin));
  });
  return pieces;
}

std::vector<int64_t> tokenizer_encode(const Processor& p, std::string_view text) {
  const TokenizerTables& t = p.tokens;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  std::vector<int64_t> ids;
  ids.reserve(n / 3 + 1);
  EncodeScratch scratch;
  size_t s = 0;
  for (size_t pos = 0; pos < n;) {
    const uint8_t b = bytes[pos];
    if ((t.added_first_bytes[b >> 6] >> (b & 63) & 1) == 0) {
      ++pos;
      continue;
    }
    const AddedToken* match = nullptr;
    for (const uint32_t k : t.added_by_first_byte[b]) {
      const std::string& c = t.added[k].content;
      if (c.size() <= n - pos && std::memcmp(bytes + pos, c.data(), c.size()) == 0) {
        match = &t.added[k];
        break;
      }
    }
    if (match == nullptr) {
      ++pos;
      continue;
    }
    if (pos > s) encode_stretch(p, text.substr(s, pos - s), scratch, ids);
    ids.push_back(match->id);
    pos += match->content.size();
    s = pos;
  }
  if (n > s) encode_stretch(p, text.substr(s), scratch, ids);
  return ids;
}

std::string tokenizer_decode_ids(const Processor& p, std::span<const int64_t> ids) {
  const TokenizerTables& t = p.tokens;
  std::string bytes;
  for (const int64_t id : ids) {
    if (id < 0 || static_cast<uint64_t>(id) >= t.vocab_size) throw std::runtime_error("Decode ID");
    if (t.is_special(static_cast<uint64_t>(id))) continue;
    append_token_bytes(t, t.id_to_token[static_cast<uint64_t>(id)], bytes);
  }
  return utf8_sanitize(bytes);
}

std::string processor_token_bytes(const Processor& p, int64_t id) {
  const TokenizerTables& t = p.tokens;
  if (id < 0 || static_cast<uint64_t>(id) >= t.vocab_size) {
    throw std::runtime_error("Decode token out of bounds");
  }
  std::string bytes;
  if (t.is_special(static_cast<uint64_t>(id))) return bytes;
  append_token_bytes(t, t.id_to_token[static_cast<uint64_t>(id)], bytes);
  return bytes;
}

}  // namespace vexa
