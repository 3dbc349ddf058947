// Applying a compiled output constraint during generation: which tokens keep the output valid
// and completable within the tokens that remain, and advancing with each chosen token.
#pragma once

#include <cstdint>
#include <vector>

#include "generative/constraint.h"

namespace vexa {

// Narrows `mask` (n bytes, non-zero = allowed) to the tokens whose bytes the current set can
// consume while acceptance stays reachable within remaining - 1 further tokens; EOS ids stay
// allowed only once the value is complete. Ids the caller had cleared stay cleared.
// remaining counts the token being chosen; 0 throws "Constraint budget exhausted".
void constraint_mask(Constraint& c, uint8_t* mask, uint64_t n, uint64_t remaining);

// Advances by one token. True when the output is finished: an EOS id once the value is
// complete, or a token after which the value is complete and nothing more may be written.
bool constraint_accept(Constraint& c, int64_t token);

// Whether the accept state is in the current set.
bool constraint_accepting(const Constraint& c);

// The plain walk: every trie node below `node` visited with explicit state sets, the set of
// `node` itself being `set`. Sets allowed[id] = 1 for each token that ends at a visited node
// whose set can still finish within `budget` tokens (ids below allowed_size only). The oracle
// for the cached walk that constraint_mask runs.
void constraint_mask_walk(const Constraint& c, uint32_t node, const std::vector<int32_t>& set,
                          uint32_t budget, uint8_t* allowed, uint64_t allowed_size);

// constraint_mask over the plain walk, for tests that compare the two.
void constraint_mask_reference(Constraint& c, uint8_t* mask, uint64_t n, uint64_t remaining);

// Test hook: the memo limits of the cached walk (sets kept between calls, sets one walk may
// intern before it falls back to the plain walk). Tests shrink them to reach the fallback.
struct ConstraintCacheLimits {
  size_t kept;
  size_t max;
};
ConstraintCacheLimits constraint_cache_limits();
void constraint_set_cache_limits(ConstraintCacheLimits limits);

}  // namespace vexa
