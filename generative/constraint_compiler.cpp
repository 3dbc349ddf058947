#include "generative/constraint_compiler.h"

#include <cstring>
#include <deque>

#include "generative/constraint_schema.h"
#include "generative/constraint_trie.h"

namespace vexa {

namespace {

constexpr char kMalformed[] = "Malformed or unsupported JSON schema";

}  // namespace

std::vector<int32_t> constraint_distances(const Constraint& c) {
  ConstraintByteSet one_byte;
  for (unsigned b = 0; b < 256; ++b) {
    if (c.trie.one_byte_token[b]) one_byte.add(static_cast<uint8_t>(b));
  }
  // Reversed edges in compressed rows: for each state, the states with an edge into it.
  const size_t n = c.states.size();
  std::vector<uint32_t> row(n + 1, 0);
  auto takes_part = [&](const ConstraintEdge& e) { return e.epsilon || e.bytes.intersects(one_byte); };
  for (const auto& edges : c.states) {
    for (const ConstraintEdge& e : edges) {
      if (takes_part(e)) ++row[e.target + 1];
    }
  }
  for (size_t i = 0; i < n; ++i) row[i + 1] += row[i];
  struct Reversed {
    uint32_t source;
    int32_t weight;
  };
  std::vector<Reversed> reversed(row[n]);
  std::vector<uint32_t> fill(row.begin(), row.end() - 1);
  for (size_t u = 0; u < n; ++u) {
    for (const ConstraintEdge& e : c.states[u]) {
      if (takes_part(e)) reversed[fill[e.target]++] = {static_cast<uint32_t>(u), e.epsilon ? 0 : 1};
    }
  }

  std::vector<int32_t> distance(n, kConstraintUnreachable);
  distance[c.accept] = 0;
  std::deque<uint32_t> queue{c.accept};
  while (!queue.empty()) {
    const uint32_t v = queue.front();
    queue.pop_front();
    for (uint32_t k = row[v]; k < row[v + 1]; ++k) {
      const Reversed& r = reversed[k];
      if (distance[v] + r.weight < distance[r.source]) {
        distance[r.source] = distance[v] + r.weight;
        if (r.weight == 0) {
          queue.push_front(r.source);
        } else {
          queue.push_back(r.source);
        }
      }
    }
  }
  return distance;
}

Constraint compile_output_constraint(const char* schema, uint32_t amount_decimals,
                                     std::vector<std::string> token_bytes,
                                     std::vector<int64_t> eos_ids, int32_t max_new_tokens) {
  Constraint c;
  c.token_bytes = std::move(token_bytes);
  c.eos_ids = std::move(eos_ids);
  constraint_require((schema != nullptr) != (amount_decimals != 0),
                     "Choose exactly one output constraint");
  const uint32_t start = constraint_new_state(c);
  c.accept = constraint_new_state(c);
  // Any JSON whitespace may precede the value; nothing may follow it.
  ConstraintByteSet whitespace;
  for (uint8_t b : {0x20, 0x09, 0x0A, 0x0D}) whitespace.add(b);
  constraint_add_edge(c, start, start, whitespace);

  if (schema != nullptr) {
    // strnlen: a text past the limit is refused without reading all of it.
    const size_t length = strnlen(schema, kConstraintMaxSchemaBytes + 1);
    constraint_require(length <= kConstraintMaxSchemaBytes, "Schema exceeds 64 KiB");
    try {
      const nlohmann::json root =
          nlohmann::json::parse(schema, schema + length, nullptr, true, false);
      constraint_schema(c, root, start, c.accept, 0);
    } catch (const nlohmann::json::exception&) {
      throw ConstraintError(kMalformed);
    }
  } else {
    constraint_require(amount_decimals <= kConstraintMaxAmountDecimals,
                       "Amount decimal places must be 1..9");
    constraint_number(c, start, c.accept, false, amount_decimals);
  }

  c.trie = build_token_trie(c.token_bytes);
  c.distance = constraint_distances(c);
  c.current = constraint_closure(c, {static_cast<int32_t>(start)});
  // An unreachable accept state can never be guaranteed, whatever the cap.
  const int32_t needed = constraint_set_distance(c, c.current);
  constraint_require(needed < kConstraintUnreachable && needed <= max_new_tokens,
                     "Output cap cannot guarantee a valid constraint completion; increase "
                     "max_new_tokens");
  return c;
}

}  // namespace vexa
