// A compiled output constraint: a byte-level automaton with epsilon edges, the vocabulary's
// raw token bytes indexed in a trie, and per state the number of tokens that always suffices to
// reach acceptance. The compiler (constraint_compiler.h) builds it; the runtime
// (constraint_runtime.h) masks token choices with it and advances it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "generative/constraint_error.h"

namespace vexa {

inline constexpr uint32_t kConstraintMaxStates = 32768;
inline constexpr int32_t kConstraintUnreachable = 1000000000;
inline constexpr uint32_t kConstraintStartState = 0;
inline constexpr uint32_t kConstraintAcceptState = 1;

// 256 bits, one per byte value: word k holds bytes 64k..64k+63, bit b mod 64.
struct ConstraintByteSet {
  uint64_t words[4] = {0, 0, 0, 0};

  bool contains(uint8_t b) const { return (words[b >> 6] >> (b & 63)) & 1u; }
  void add(uint8_t b) { words[b >> 6] |= uint64_t{1} << (b & 63); }
  void add_range(uint8_t lo, uint8_t hi) {
    for (unsigned b = lo; b <= hi; ++b) add(static_cast<uint8_t>(b));
  }
  bool intersects(const ConstraintByteSet& o) const {
    return ((words[0] & o.words[0]) | (words[1] & o.words[1]) | (words[2] & o.words[2]) |
            (words[3] & o.words[3])) != 0;
  }
  bool empty() const { return (words[0] | words[1] | words[2] | words[3]) == 0; }
  static ConstraintByteSet of(uint8_t b) {
    ConstraintByteSet s;
    s.add(b);
    return s;
  }
  static ConstraintByteSet range(uint8_t lo, uint8_t hi) {
    ConstraintByteSet s;
    s.add_range(lo, hi);
    return s;
  }
};

// An epsilon edge has an empty byte set and is taken without consuming a byte.
struct ConstraintEdge {
  uint32_t target = 0;
  ConstraintByteSet bytes;
  bool epsilon = false;
};

// The vocabulary trie, stored level by level (breadth first) in parallel arrays: node 0 is the
// root, and the children of node k are [child_start[k], child_start[k + 1]) in ascending byte
// order, so the children of any run of nodes are one run too. The mask walk steps such runs in
// flat passes, each node's set being its parent's set stepped by the node's byte.
struct TokenTrie {
  static constexpr uint32_t kNoToken = 0xFFFFFFFFu;
  std::vector<uint32_t> parent;       // the root is its own parent
  std::vector<uint8_t> byte;          // the byte on the edge from the parent
  std::vector<uint32_t> child_start;  // size() + 1 entries
  std::vector<uint32_t> first_id;     // lowest id of the tokens whose bytes end here, or kNoToken
  std::vector<uint32_t> id_start;     // all of them: ids[id_start[i], id_start[i + 1]), ascending
  std::vector<int32_t> ids;
  std::vector<uint32_t> shared_ids;   // nodes where several ids end (tokens with equal bytes)
  bool one_byte_token[256] = {};  // byte values that are a whole token by themselves
  size_t size() const { return parent.size(); }
};

// Memo of state-set transitions for the mask walk. A state set reached while walking the trie is
// interned once, and each (set, byte) step is computed once, so a step of the walk is one table
// lookup. Only a cache: dropping it never changes a result.
struct ConstraintSetCache {
  static constexpr int32_t kUnknown = -1;
  std::vector<std::vector<int32_t>> sets;
  std::unordered_map<std::string, int32_t> index;  // key: the set's int32 values as bytes
  std::vector<int32_t> min_distance;               // per interned set
  std::vector<int32_t> next;                       // sets.size() x 256: a set id or kUnknown
  struct Run {
    uint32_t begin, end;
  };
  std::vector<int32_t> node_set;     // walk scratch: the set of each trie node
  std::vector<Run> runs, next_runs;  // walk scratch: node runs of this level and the next
  void clear() {
    sets.clear();
    index.clear();
    min_distance.clear();
    next.clear();
  }
};

struct Constraint {
  std::vector<std::vector<ConstraintEdge>> states;  // a state's index is its position
  TokenTrie trie;
  std::vector<int32_t> distance;  // kConstraintUnreachable when the accept state is out of reach
  std::vector<int32_t> current;   // sorted ascending, no duplicates
  std::vector<std::string> token_bytes;  // raw bytes per id; empty for special ids
  std::vector<int64_t> eos_ids;
  uint32_t accept = kConstraintAcceptState;

  // Run-time scratch, never part of the compiled value. A constraint belongs to one request on
  // one thread, so these need no lock.
  mutable ConstraintSetCache set_cache;
  mutable std::vector<uint32_t> closure_mark;  // per state: the closure call that last marked it
  mutable uint32_t closure_epoch = 0;
};

// Throws ConstraintError(message) unless the condition holds.
inline void constraint_require(bool condition, const char* message) {
  if (!condition) throw ConstraintError(message);
}

// Automaton building blocks (constraint_automaton.cpp). Every state goes through
// constraint_new_state, which enforces kConstraintMaxStates.
uint32_t constraint_new_state(Constraint& c);
void constraint_add_edge(Constraint& c, uint32_t from, uint32_t to, const ConstraintByteSet& bytes);
void constraint_add_epsilon(Constraint& c, uint32_t from, uint32_t to);
// A chain of single-byte edges spelling `bytes`; an empty string is one epsilon edge.
void constraint_literal(Constraint& c, uint32_t from, uint32_t to, std::string_view bytes);
// A JSON number (integer when `integer`), or an amount with `amount_decimals` (1..9) places.
void constraint_number(Constraint& c, uint32_t from, uint32_t to, bool integer,
                       uint32_t amount_decimals);
// One character of a JSON string body: printable ASCII, a short escape or well-formed UTF-8.
void constraint_json_string(Constraint& c, uint32_t from, uint32_t to);

// The epsilon closure of a list of states, sorted and duplicate-free.
std::vector<int32_t> constraint_closure(const Constraint& c, std::vector<int32_t> list);
// The states reached from `set` by one byte, closed; empty when no edge takes the byte.
std::vector<int32_t> constraint_step(const Constraint& c, const std::vector<int32_t>& set,
                                     uint8_t byte);
// Fewest-token bound of a state set: the smallest distance of its states.
int32_t constraint_set_distance(const Constraint& c, const std::vector<int32_t>& set);

}  // namespace vexa
