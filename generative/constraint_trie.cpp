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
  std::vector<int32_t> order;
  order.reserve(count);
  for (size_t id = 0; id < count; ++id) {
    if (!token_bytes[id].empty()) order.push_back(static_cast<int32_t>(id));
  }
  // Sorted byte strings give the nodes in depth-first preorder, children by ascending byte
  // (std::string compares bytes as unsigned); equal strings keep their ids ascending.
  std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    const int cmp = token_bytes[static_cast<size_t>(a)].compare(token_bytes[static_cast<size_t>(b)]);
    return cmp < 0 || (cmp == 0 && a < b);
  });

  trie.nodes.emplace_back();
  trie.ids.reserve(order.size());
  std::vector<uint32_t> path{0};  // node index per depth along the previous string
  const std::string* previous = nullptr;
  for (int32_t id : order) {
    const std::string& bytes = token_bytes[static_cast<size_t>(id)];
    size_t common = 0;
    if (previous != nullptr) {
      const size_t limit = std::min(previous->size(), bytes.size());
      while (common < limit && (*previous)[common] == bytes[common]) ++common;
    }
    const uint32_t next_index = static_cast<uint32_t>(trie.nodes.size());
    while (path.size() > common + 1) {
      trie.nodes[path.back()].subtree_end = next_index;
      path.pop_back();
    }
    for (size_t depth = common + 1; depth <= bytes.size(); ++depth) {
      TokenTrieNode node;
      node.depth = static_cast<uint32_t>(depth);
      node.byte = static_cast<uint8_t>(bytes[depth - 1]);
      node.ids_begin = node.ids_end = static_cast<uint32_t>(trie.ids.size());
      path.push_back(static_cast<uint32_t>(trie.nodes.size()));
      trie.nodes.push_back(node);
    }
    TokenTrieNode& end = trie.nodes[path.back()];
    trie.ids.push_back(id);
    end.ids_end = static_cast<uint32_t>(trie.ids.size());
    trie.max_depth = std::max(trie.max_depth, static_cast<uint32_t>(bytes.size()));
    if (bytes.size() == 1) trie.one_byte_token[static_cast<uint8_t>(bytes[0])] = true;
    previous = &bytes;
  }
  for (uint32_t index : path) trie.nodes[index].subtree_end = static_cast<uint32_t>(trie.nodes.size());
  return trie;
}

}  // namespace vexa
