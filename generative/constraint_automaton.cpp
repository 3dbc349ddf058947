// Automaton building blocks of the output constraints, and the two operations on state sets
// (epsilon closure and one byte step) that both the compiler and the runtime use.
#include <algorithm>

#include "generative/constraint.h"

namespace vexa {

namespace {

// The integer part holds at most 18 digits and a fraction at most 18; an exponent 1 or 2.
constexpr uint32_t kMaxIntegerDigits = 18;
constexpr uint32_t kMaxFractionDigits = 18;

const ConstraintByteSet kDigits = ConstraintByteSet::range('0', '9');

}  // namespace

uint32_t constraint_new_state(Constraint& c) {
  constraint_require(c.states.size() < kConstraintMaxStates, "Constraint exceeds 32768 states");
  c.states.emplace_back();
  return static_cast<uint32_t>(c.states.size() - 1);
}

void constraint_add_edge(Constraint& c, uint32_t from, uint32_t to, const ConstraintByteSet& bytes) {
  ConstraintEdge e;
  e.target = to;
  e.bytes = bytes;
  c.states[from].push_back(e);
}

void constraint_add_epsilon(Constraint& c, uint32_t from, uint32_t to) {
  ConstraintEdge e;
  e.target = to;
  e.epsilon = true;
  c.states[from].push_back(e);
}

void constraint_literal(Constraint& c, uint32_t from, uint32_t to, std::string_view bytes) {
  if (bytes.empty()) {
    constraint_add_epsilon(c, from, to);
    return;
  }
  uint32_t at = from;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) {
    const uint32_t next = constraint_new_state(c);
    constraint_add_edge(c, at, next, ConstraintByteSet::of(static_cast<uint8_t>(bytes[i])));
    at = next;
  }
  constraint_add_edge(c, at, to, ConstraintByteSet::of(static_cast<uint8_t>(bytes.back())));
}

void constraint_number(Constraint& c, uint32_t from, uint32_t to, bool integer,
                       uint32_t amount_decimals) {
  const uint32_t sign_done = constraint_new_state(c);
  const uint32_t after_zero = constraint_new_state(c);
  const uint32_t after_first = constraint_new_state(c);
  const uint32_t integer_done = constraint_new_state(c);
  constraint_add_epsilon(c, from, sign_done);
  constraint_add_edge(c, from, sign_done, ConstraintByteSet::of('-'));
  constraint_add_edge(c, sign_done, after_zero, ConstraintByteSet::of('0'));
  constraint_add_edge(c, sign_done, after_first, ConstraintByteSet::range('1', '9'));
  constraint_add_epsilon(c, after_zero, integer_done);

  // A leading zero stands alone; otherwise up to 18 digits, the last with no digit edge.
  uint32_t digit = after_first;
  for (uint32_t count = 1; count < kMaxIntegerDigits; ++count) {
    constraint_add_epsilon(c, digit, integer_done);
    const uint32_t next = constraint_new_state(c);
    constraint_add_edge(c, digit, next, kDigits);
    digit = next;
  }
  constraint_add_epsilon(c, digit, integer_done);

  if (amount_decimals > 0) {
    // Exactly `amount_decimals` places; the integer part alone is not an amount.
    uint32_t at = constraint_new_state(c);
    constraint_add_edge(c, integer_done, at, ConstraintByteSet::of('.'));
    for (uint32_t place = 1; place < amount_decimals; ++place) {
      const uint32_t next = constraint_new_state(c);
      constraint_add_edge(c, at, next, kDigits);
      at = next;
    }
    constraint_add_edge(c, at, to, kDigits);
    return;
  }
  constraint_add_epsilon(c, integer_done, to);
  if (integer) return;

  ConstraintByteSet exponent_mark;
  exponent_mark.add('e');
  exponent_mark.add('E');
  ConstraintByteSet exponent_sign;
  exponent_sign.add('+');
  exponent_sign.add('-');
  const uint32_t point = constraint_new_state(c);
  const uint32_t exponent = constraint_new_state(c);
  const uint32_t exponent_signed = constraint_new_state(c);
  const uint32_t exponent_digit = constraint_new_state(c);
  constraint_add_edge(c, integer_done, point, ConstraintByteSet::of('.'));
  constraint_add_edge(c, integer_done, exponent, exponent_mark);
  constraint_add_epsilon(c, exponent, exponent_signed);
  constraint_add_edge(c, exponent, exponent_signed, exponent_sign);
  constraint_add_edge(c, exponent_signed, exponent_digit, kDigits);
  constraint_add_epsilon(c, exponent_digit, to);
  constraint_add_edge(c, exponent_digit, to, kDigits);

  uint32_t fraction = constraint_new_state(c);
  constraint_add_edge(c, point, fraction, kDigits);
  for (uint32_t count = 1;; ++count) {
    constraint_add_epsilon(c, fraction, to);
    constraint_add_edge(c, fraction, exponent, exponent_mark);
    if (count == kMaxFractionDigits) break;
    const uint32_t next = constraint_new_state(c);
    constraint_add_edge(c, fraction, next, kDigits);
    fraction = next;
  }
}

void constraint_json_string(Constraint& c, uint32_t from, uint32_t to) {
  const uint32_t escape = constraint_new_state(c);
  const uint32_t need1 = constraint_new_state(c);
  const uint32_t need2 = constraint_new_state(c);
  const uint32_t need3 = constraint_new_state(c);
  const uint32_t after_e0 = constraint_new_state(c);
  const uint32_t after_ed = constraint_new_state(c);
  const uint32_t after_f0 = constraint_new_state(c);
  const uint32_t after_f4 = constraint_new_state(c);

  // Printable ASCII except the quote and the backslash: control characters and DEL never.
  ConstraintByteSet plain = ConstraintByteSet::range(0x20, 0x7E);
  plain.words['"' >> 6] &= ~(uint64_t{1} << ('"' & 63));
  plain.words['\\' >> 6] &= ~(uint64_t{1} << ('\\' & 63));
  constraint_add_edge(c, from, to, plain);

  // Short escapes only; no \u, so a string can never hold an unpaired surrogate.
  constraint_add_edge(c, from, escape, ConstraintByteSet::of('\\'));
  ConstraintByteSet escaped;
  for (char e : std::string_view("\"\\/bfnrt")) escaped.add(static_cast<uint8_t>(e));
  constraint_add_edge(c, escape, to, escaped);

  // Well-formed UTF-8 only: no overlong forms, no surrogates, nothing above U+10FFFF.
  const ConstraintByteSet continuation = ConstraintByteSet::range(0x80, 0xBF);
  constraint_add_edge(c, need1, to, continuation);
  constraint_add_edge(c, need2, need1, continuation);
  constraint_add_edge(c, need3, need2, continuation);
  constraint_add_edge(c, from, need1, ConstraintByteSet::range(0xC2, 0xDF));
  constraint_add_edge(c, from, after_e0, ConstraintByteSet::of(0xE0));
  constraint_add_edge(c, after_e0, need1, ConstraintByteSet::range(0xA0, 0xBF));
  ConstraintByteSet three_byte_leads = ConstraintByteSet::range(0xE1, 0xEC);
  three_byte_leads.add_range(0xEE, 0xEF);
  constraint_add_edge(c, from, need2, three_byte_leads);
  constraint_add_edge(c, from, after_ed, ConstraintByteSet::of(0xED));
  constraint_add_edge(c, after_ed, need1, ConstraintByteSet::range(0x80, 0x9F));
  constraint_add_edge(c, from, after_f0, ConstraintByteSet::of(0xF0));
  constraint_add_edge(c, after_f0, need2, ConstraintByteSet::range(0x90, 0xBF));
  constraint_add_edge(c, from, need3, ConstraintByteSet::range(0xF1, 0xF3));
  constraint_add_edge(c, from, after_f4, ConstraintByteSet::of(0xF4));
  constraint_add_edge(c, after_f4, need2, ConstraintByteSet::range(0x80, 0x8F));
}

std::vector<int32_t> constraint_closure(const Constraint& c, std::vector<int32_t> list) {
  // Marks carry the epoch of the call that set them, so no per-call clearing is needed.
  if (c.closure_mark.size() != c.states.size()) {
    c.closure_mark.assign(c.states.size(), 0);
    c.closure_epoch = 0;
  }
  if (++c.closure_epoch == 0) {
    std::fill(c.closure_mark.begin(), c.closure_mark.end(), 0);
    c.closure_epoch = 1;
  }
  const uint32_t epoch = c.closure_epoch;
  for (int32_t s : list) c.closure_mark[static_cast<size_t>(s)] = epoch;
  for (size_t i = 0; i < list.size(); ++i) {
    for (const ConstraintEdge& e : c.states[static_cast<size_t>(list[i])]) {
      if (!e.epsilon || c.closure_mark[e.target] == epoch) continue;
      c.closure_mark[e.target] = epoch;
      list.push_back(static_cast<int32_t>(e.target));
    }
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

std::vector<int32_t> constraint_step(const Constraint& c, const std::vector<int32_t>& set,
                                     uint8_t byte) {
  std::vector<int32_t> reached;
  for (int32_t s : set) {
    for (const ConstraintEdge& e : c.states[static_cast<size_t>(s)]) {
      if (!e.epsilon && e.bytes.contains(byte)) reached.push_back(static_cast<int32_t>(e.target));
    }
  }
  if (reached.empty()) return reached;
  return constraint_closure(c, std::move(reached));
}

int32_t constraint_set_distance(const Constraint& c, const std::vector<int32_t>& set) {
  int32_t d = kConstraintUnreachable;
  for (int32_t s : set) d = std::min(d, c.distance[static_cast<size_t>(s)]);
  return d;
}

}  // namespace vexa
