#include "generative/constraint_runtime.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace vexa {

namespace {

using Cache = ConstraintSetCache;

// Interned sets kept between mask calls. Beyond this the memo is dropped before a walk: 4096
// sets are 4 MiB of transition rows. bench_constraint's nested schema over GPT-2's vocabulary
// interns at most about 1,250 sets in a 256-token answer.
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
  std::string key(set.size() * sizeof(int32_t), '\0');
  if (!set.empty()) std::memcpy(key.data(), set.data(), key.size());
  const auto found = cache.index.find(key);
  if (found != cache.index.end()) return found->second;
  const int32_t id = static_cast<int32_t>(cache.sets.size());
  // The empty set is the dead end: every byte leads back to it.
  cache.next.resize(cache.next.size() + 256, set.empty() ? id : Cache::kUnknown);
  cache.min_distance.push_back(constraint_set_distance(c, set));
  cache.sets.push_back(std::move(set));
  cache.index.emplace(std::move(key), id);
  return id;
}

// Marks every token that ends at trie node `node` (ids below allowed_size only).
void allow_ids(const Constraint& c, uint32_t node, uint8_t* allowed, uint64_t allowed_size) {
  for (uint32_t k = c.trie.id_start[node]; k < c.trie.id_start[node + 1]; ++k) {
    const uint64_t id = static_cast<uint64_t>(c.trie.ids[k]);
    if (id < allowed_size) allowed[id] = 1;
  }
}

// Dead nodes up to this far apart stay in one run: stepping a few dead nodes costs less than
// another run, and each run's children are again one run. bench_constraint, mean per token:
// 131 us with 16, 139 us with 0 (every gap splits), 145-157 us with 64.
constexpr uint32_t kRunGap = 16;

// Live nodes found so far in one run of a level, as runs of their own.
struct LiveRuns {
  Cache::Run* out;
  size_t count;
  uint32_t begin;
  uint32_t end;
  bool open;
};

// One flat pass over trie nodes [k, stop): each node takes its parent's set stepped by its
// byte from the memo, and marks its token when that set can still finish. Dead nodes inside a
// run are stepped like the others (the empty set steps to itself), which costs less than
// branching around them: the lookups are independent and overlap, where a depth-first walk
// queues each behind its parent's. A node without a token writes the spare flag at
// allowed_size, so marking needs no branch either. Returns the first node whose step is not in
// the memo yet, or `stop`.
uint32_t step_run(uint32_t k, uint32_t stop, const uint32_t* __restrict parent,
                  const uint8_t* __restrict byte, const uint32_t* __restrict first_id,
                  const int32_t* __restrict next, const uint8_t* __restrict finish,
                  int32_t* __restrict node_set, uint8_t* __restrict allowed, uint64_t allowed_size,
                  int32_t dead, LiveRuns* live) {
  Cache::Run* const out = live->out;
  size_t count = live->count;
  uint32_t begin = live->begin;
  uint32_t end = live->end;
  bool open = live->open;
  for (; k < stop; ++k) {
    const int32_t to = next[static_cast<size_t>(node_set[parent[k]]) * 256 + byte[k]];
    if (to < 0) break;
    node_set[k] = to;
    const uint64_t id = first_id[k];
    allowed[id < allowed_size ? id : allowed_size] |= finish[static_cast<size_t>(to)];
    if (to != dead) {
      if (open && k - end <= kRunGap) {
        end = k + 1;
      } else {
        if (open) out[count++] = {begin, end};
        begin = k;
        end = k + 1;
        open = true;
      }
    }
  }
  *live = {out, count, begin, end, open};
  return k;
}

// The mask walk over interned sets, level by level through runs of live nodes, until no node
// is live. False when the memo would outgrow its limit; `allowed` is then partly written.
bool cached_walk(const Constraint& c, uint32_t budget, uint8_t* allowed, uint64_t allowed_size) {
  Cache& cache = c.set_cache;
  if (cache.sets.size() > g_cached_sets_kept) cache.clear();
  const TokenTrie& trie = c.trie;
  cache.node_set.resize(trie.size());
  cache.runs.resize(trie.size());
  cache.next_runs.resize(trie.size());
  int32_t* const node_set = cache.node_set.data();
  const int32_t dead = intern(c, {});
  node_set[0] = intern(c, c.current);
  // Nodes outside every run keep stale sets; the few read after the walk start out dead.
  for (uint32_t node : trie.shared_ids) node_set[node] = dead;
  // Whether each interned set can still finish within the budget, as 0/1.
  std::vector<uint8_t> finishes;
  auto track_new_sets = [&] {
    while (finishes.size() < cache.sets.size()) {
      finishes.push_back(finishes_within(cache.min_distance[finishes.size()], budget) ? 1 : 0);
    }
  };
  track_new_sets();
  Cache::Run* runs = cache.runs.data();
  Cache::Run* next_runs = cache.next_runs.data();
  size_t run_count = 0;
  if (trie.child_start[1] > 1) runs[run_count++] = {1, trie.child_start[1]};
  while (run_count > 0) {
    LiveRuns live{next_runs, 0, 0, 0, false};
    for (size_t r = 0; r < run_count; ++r) {
      uint32_t k = runs[r].begin;
      while ((k = step_run(k, runs[r].end, trie.parent.data(), trie.byte.data(),
                           trie.first_id.data(), cache.next.data(), finishes.data(), node_set,
                           allowed, allowed_size, dead, &live)) < runs[r].end) {
        // A step not in the memo yet: compute it, then carry on from the same node.
        if (cache.sets.size() >= g_cached_sets_max) return false;
        const int32_t from = node_set[trie.parent[k]];
        const uint8_t b = trie.byte[k];
        const int32_t to = intern(c, constraint_step(c, cache.sets[static_cast<size_t>(from)], b));
        cache.next[static_cast<size_t>(from) * 256 + b] = to;
        track_new_sets();
      }
      // Runs never reach across runs of the level: the nodes between were not stepped.
      if (live.open) live.out[live.count++] = {live.begin, live.end};
      live.open = false;
    }
    // The children of a run of nodes are one run of the next level.
    run_count = 0;
    for (size_t r = 0; r < live.count; ++r) {
      const uint32_t begin = trie.child_start[next_runs[r].begin];
      const uint32_t end = trie.child_start[next_runs[r].end];
      if (begin < end) runs[run_count++] = {begin, end};
    }
  }
  for (uint32_t node : trie.shared_ids) {
    if (finishes[static_cast<size_t>(node_set[node])]) allow_ids(c, node, allowed, allowed_size);
  }
  return true;
}

// mask[i] = mask[i] && allowed[i] as 0/1; the buffers never overlap, which lets it vectorise.
void and_into_mask(uint8_t* __restrict mask, const uint8_t* __restrict allowed, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) mask[i] = static_cast<uint8_t>((mask[i] != 0) & (allowed[i] != 0));
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
  std::vector<uint8_t> allowed(span + 1, 0);  // the last flag is the cached walk's spare
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
  and_into_mask(mask, allowed.data(), span);
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
  const TokenTrie& trie = c.trie;
  // Depth first with an explicit stack: tokens may be long, recursion would follow them.
  std::vector<std::pair<uint32_t, std::vector<int32_t>>> pending;
  pending.emplace_back(node, set);
  while (!pending.empty()) {
    const uint32_t at = pending.back().first;
    const std::vector<int32_t> states = std::move(pending.back().second);
    pending.pop_back();
    if (finishes_within(constraint_set_distance(c, states), budget)) {
      allow_ids(c, at, allowed, allowed_size);
    }
    for (uint32_t k = trie.child_start[at]; k < trie.child_start[at + 1]; ++k) {
      std::vector<int32_t> reached = constraint_step(c, states, trie.byte[k]);
      if (!reached.empty()) pending.emplace_back(k, std::move(reached));
    }
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
