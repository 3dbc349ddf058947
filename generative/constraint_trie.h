// The vocabulary trie of the output constraints: every non-empty raw token byte string, shared
// prefixes stored once, so the mask walk tests a prefix once for all tokens that share it.
#pragma once

#include <string>
#include <vector>

#include "generative/constraint.h"

namespace vexa {

// Indexes every id with non-empty bytes; special ids (empty bytes) are left out.
TokenTrie build_token_trie(const std::vector<std::string>& token_bytes);

}  // namespace vexa
