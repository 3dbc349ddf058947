#include "generative/constraint_runtime.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace vexa {

namespace {

using Cache = ConstraintSetCache;

// Interned sets kept between mask calls. Beyond this the memo is dropped before a walk: 4096
// sets are 4 MiB of transition rows. Nested schemas over the GPT-2 vocabulary intern a few
// hundred sets over a whole answer.
constexpr size_t kCachedSetsKept = 4096;
size_t g_cached_sets_kept = kCachedSetsKept;
// A single walk that would intern more than this gives up on the memo and runs the plain walk,
// so a pathological automaton costs time, never unbounded memory (16 MiB of rows at most).
constexpr size_t kCachedSetsMax = 16384;
size_t g_cached_sets_max = kCachedSetsMax;

// A set can finish within the budget; an unreachable accept state never can, whatever the budget.
bool finishes_within(int32_t distance, uint32_t budget) {
  return distance < kConstraintUnreachable && static_cast<uint32_t>(distance) <= budget;
}

int32_t intern(const Constraint& c, std::vector<int32_t> set) {
  Cache& cache = c.set_cache;
  std::string key(reinterpret_cast<const char*>(set.data()), set.size() * sizeof(int32_t));
  const auto found = cache.index.find(key);
  if (found != cache.index.end()) return found->second;
  const int32_t id = static_cast<int32_t>(cache.sets.size());
  cache.next.resize(cache.next.size() + 256, Cache::kUnknown);
  cache.min_distance.push_back(constraint_set_distance(c, set));
  cache.sets.push_back(std::move(set));
  cache.index.emplace(std::move(key), id);
  return id;
}

void allow_ids(const Constraint& c, const TokenTrieNode& node, uint8_t* allowed,
               uint64_t allowed_size) {
  for (uint32_t k = node.ids_begin; k < node.ids_end; ++k) {
    const uint64_t id = static_cast<uint64_t>(c.trie.ids[k]);
    if (id < allowed_size) allowed[id] = 1;
  }
}

// The mask walk over interned sets: one forward pass over the preorder trie, where each node's
// set is its parent's set stepped by the node's byte, looked up in the memo. False when the memo
// would outgrow its limit; `allowed` is then partly written.
bool cached_walk(const Constraint& c, uint32_t budget, uint8_t* allowed, uint64_t allowed_size) {
  Cache& cache = c.set_cache;
  if (cache.sets.size() > g_cached_sets_kept) cache.clear();
  const std::vector<TokenTrieNode>& nodes = c.trie.nodes;
  std::vector<int32_t> at_depth(c.trie.max_depth + 1);
  at_depth[0] = intern(c, c.current);
  const uint32_t count = static_cast<uint32_t>(nodes.size());
  for (uint32_t i = 1; i < count;) {
    const TokenTrieNode& node = nodes[i];
    const size_t slot = static_cast<size_t>(at_depth[node.depth - 1]) * 256 + node.byte;
    int32_t next = cache.next[slot];
    if (next == Cache::kUnknown) {
      if (cache.sets.size() >= g_cached_sets_max) return false;
      std::vector<int32_t> reached =
          constraint_step(c, cache.sets[static_cast<size_t>(at_depth[node.depth - 1])], node.byte);
      next = reached.empty() ? Cache::kDead : intern(c, std::move(reached));
      cache.next[slot] = next;
    }
    if (next == Cache::kDead) {
      i = node.subtree_end;
      continue;
    }
    at_depth[node.depth] = next;
    if (node.ids_begin != node.ids_end &&
        finishes_within(cache.min_distance[static_cast<size_t>(next)], budget)) {
      allow_ids(c, node, allowed, allowed_size);
    }
    ++i;
  }
  return true;
}

void mask_with(Constraint& c, uint8_t* mask, uint64_t n, uint64_t remaining, bool plain) {
  constraint_require(remaining != 0, "Constraint budget exhausted");
  // Saturated rather than truncated: a count past 32 bits is as good as unlimited.
  const uint32_t budget = static_cast<uint32_t>(
      std::min<uint64_t>(remaining, std::numeric_limits<uint32_t>::max()) - 1);
  // Flags only where something can be allowed: indexed tokens and EOS ids.
  uint64_t span = c.token_bytes.size();
  for (int64_t eos : c.eos_ids) {
    if (eos >= 0 && static_cast<uint64_t>(eos) >= span) span = static_cast<uint64_t>(eos) + 1;
  }
  span = std::min(span, n);
  std::vector<uint8_t> allowed(span, 0);
  if (span > 0) {
    bool done = false;
    if (!plain) {
      try {
        done = cached_walk(c, budget, allowed.data(), span);
      } catch (...) {
        c.set_cache.clear();  // a half-updated memo must not outlive a failed step
        throw;
      }
      if (!done) {
        c.set_cache.clear();
        std::fill(allowed.begin(), allowed.end(), 0);
      }
    }
    if (!done) constraint_mask_walk(c, 0, c.current, budget, allowed.data(), span);
  }
  // EOS ends the output, so it needs no budget but a complete value; an EOS id that is also an
  // ordinary token must not slip through the walk before then.
  const bool accepting = constraint_accepting(c);
  for (int64_t eos : c.eos_ids) {
    if (eos >= 0 && static_cast<uint64_t>(eos) < span) allowed[static_cast<size_t>(eos)] = accepting;
  }
  for (uint64_t id = 0; id < span; ++id) mask[id] = (mask[id] != 0 && allowed[id] != 0) ? 1 : 0;
  if (n > span) std::memset(mask + span, 0, n - span);
}

}  // namespace

ConstraintCacheLimits constraint_cache_limits() { return {g_cached_sets_kept, g_cached_sets_max}; }

void constraint_set_cache_limits(ConstraintCacheLimits limits) {
  g_cached_sets_kept = limits.kept;
  g_cached_sets_max = limits.max;
}

bool constraint_accepting(const Constraint& c) {
  return std::binary_search(c.current.begin(), c.current.end(), static_cast<int32_t>(c.accept));
}

void constraint_mask_walk(const Constraint& c, uint32_t node, const std::vector<int32_t>& set,
                          uint32_t budget, uint8_t* allowed, uint64_t allowed_size) {
  const std::vector<TokenTrieNode>& nodes = c.trie.nodes;
  if (finishes_within(constraint_set_distance(c, set), budget)) {
    allow_ids(c, nodes[node], allowed, allowed_size);
  }
  const uint32_t base = nodes[node].depth;
  std::vector<std::vector<int32_t>> at_depth(c.trie.max_depth - base + 1);
  at_depth[0] = set;
  for (uint32_t i = node + 1; i < nodes[node].subtree_end;) {
    const TokenTrieNode& child = nodes[i];
    std::vector<int32_t> reached = constraint_step(c, at_depth[child.depth - base - 1], child.byte);
    if (reached.empty()) {
      i = child.subtree_end;
      continue;
    }
    if (finishes_within(constraint_set_distance(c, reached), budget)) {
      allow_ids(c, child, allowed, allowed_size);
    }
    at_depth[child.depth - base] = std::move(reached);
    ++i;
  }
}

void constraint_mask(Constraint& c, uint8_t* mask, uint64_t n, uint64_t remaining) {
  mask_with(c, mask, n, remaining, false);
}

void constraint_mask_reference(Constraint& c, uint8_t* mask, uint64_t n, uint64_t remaining) {
  mask_with(c, mask, n, remaining, true);
}

bool constraint_accept(Constraint& c, int64_t token) {
  // EOS is recognised before the range test: it may lie outside the token byte table.
  if (std::find(c.eos_ids.begin(), c.eos_ids.end(), token) != c.eos_ids.end()) {
    constraint_require(constraint_accepting(c), "Premature constrained EOS");
    return true;
  }
  constraint_require(token >= 0 && static_cast<uint64_t>(token) < c.token_bytes.size(),
                     "Constraint token out of range");
  for (char b : c.token_bytes[static_cast<size_t>(token)]) {
    c.current = constraint_step(c, c.current, static_cast<uint8_t>(b));
  }
  constraint_require(!c.current.empty(), "Token violates constraint");
  if (!constraint_accepting(c)) return false;
  // Complete only when nothing more could be written.
  for (int32_t s : c.current) {
    for (const ConstraintEdge& e : c.states[static_cast<size_t>(s)]) {
      if (!e.epsilon) return false;
    }
  }
  return true;
}

}  // namespace vexa
