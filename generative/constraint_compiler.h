// Compiles an output constraint (a JSON-schema subset, or a decimal amount) into the automaton,
// vocabulary trie and distances that the runtime masks with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "generative/constraint.h"

namespace vexa {

inline constexpr size_t kConstraintMaxSchemaBytes = 65536;
inline constexpr uint32_t kConstraintMaxAmountDecimals = 9;

// Exactly one of `schema` (NUL-terminated JSON text) and `amount_decimals` (1..9) is given.
// `token_bytes` holds the raw bytes of every id (empty for special ids). The result's current
// set is the closure of the start state, and a valid value can always be finished within
// `max_new_tokens` tokens. Every refusal throws ConstraintError.
Constraint compile_output_constraint(const char* schema, uint32_t amount_decimals,
                                     std::vector<std::string> token_bytes,
                                     std::vector<int64_t> eos_ids, int32_t max_new_tokens);

// Per state, the fewest one-byte tokens that reach the accept state (kConstraintUnreachable
// when none do): a number of tokens that always suffices, since every byte on that path is a
// token by itself.
std::vector<int32_t> constraint_distances(const Constraint& c);

}  // namespace vexa
