// The constraint runtime: masks within the remaining budget, advancing, completion and EOS, the
// errors of a misused constraint, and the cached mask walk against the plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/generative/constraint_test_support.h"

namespace vexa {
namespace {

using constraint_test::byte_vocab;
using constraint_test::compile_amount;
using constraint_test::compile_schema;
using constraint_test::refusal;

constexpr char kBoolean[] = R"({"type":"boolean"})";
constexpr char kInteger[] = R"({"type":"integer"})";

// Ids allowed from an all-allowed mask of n bytes (n = 0: the whole vocabulary).
std::vector<int64_t> allowed(Constraint& c, uint64_t remaining, uint64_t n = 0) {
  if (n == 0) n = c.token_bytes.size();
  std::vector<uint8_t> mask(n, 1);
  constraint_mask(c, mask.data(), n, remaining);
  std::vector<int64_t> ids;
  for (uint64_t id = 0; id < n; ++id) {
    EXPECT_LE(mask[id], 1) << id;
    if (mask[id]) ids.push_back(static_cast<int64_t>(id));
  }
  return ids;
}

// Feeds each byte as its own token (byte vocabularies: id = byte); the last accept's result.
bool feed(Constraint& c, std::string_view bytes) {
  bool done = false;
  for (char b : bytes) done = constraint_accept(c, static_cast<uint8_t>(b));
  return done;
}

std::vector<int64_t> ids_of(std::initializer_list<int64_t> ids) { return ids; }

std::vector<int64_t> digit_ids() {
  std::vector<int64_t> d;
  for (int64_t b = '0'; b <= '9'; ++b) d.push_back(b);
  return d;
}

TEST(ConstraintRuntime, AmountNarrowsToDigitsThenEos) {
  // ids 256 "50", 257 "12", 258 "5.", 259 "00"; 260 EOS
  Constraint c = compile_amount(2, 64, byte_vocab({"50", "12", "5.", "00"}));
  EXPECT_FALSE(feed(c, "12.5"));
  EXPECT_EQ(digit_ids(), allowed(c, 10));
  EXPECT_TRUE(constraint_accept(c, '0'));
  EXPECT_EQ(ids_of({260}), allowed(c, 10));
  EXPECT_EQ(ids_of({260}), allowed(c, 1));

  // Budget: with one token left after "12.", only tokens that finish the value remain.
  Constraint d = compile_amount(2, 64, byte_vocab({"50", "12", "5.", "00"}));
  feed(d, "12.");
  EXPECT_EQ(ids_of({256, 257, 259}), allowed(d, 1));  // "12.50", "12.12", "12.00"
  std::vector<int64_t> two = digit_ids();
  two.insert(two.end(), {256, 257, 259});
  EXPECT_EQ(two, allowed(d, 2));
  EXPECT_EQ("Constraint budget exhausted", refusal([&] { allowed(d, 0); }));
}

TEST(ConstraintRuntime, BudgetCountsOneByteTokensAhead) {
  // ids 256 "true", 257 " false", 258 "tr", 259 "true,", 260 "true "; 261 EOS
  Constraint c = compile_schema(kBoolean, 64, byte_vocab({"true", " false", "tr", "true,", "true "}));
  EXPECT_EQ(ids_of({256, 257}), allowed(c, 1));
  // Four tokens: after "t" three bytes remain, after "f" four; after a space "true" is four.
  EXPECT_EQ(ids_of({'t', 256, 257, 258}), allowed(c, 4));
  EXPECT_EQ(ids_of({'\t', '\n', '\r', ' ', 'f', 't', 256, 257, 258}), allowed(c, 6));
  // Text past the end of the value is never allowed: nothing follows the accept state.
  EXPECT_EQ(ids_of({'\t', '\n', '\r', ' ', 'f', 't', 256, 257, 258}), allowed(c, 1000));
  EXPECT_TRUE(constraint_accept(c, 256));
  EXPECT_EQ(ids_of({261}), allowed(c, 1000));
}

TEST(ConstraintRuntime, CompletionMeansNothingMoreMayBeWritten) {
  Constraint integer = compile_schema(kInteger);
  EXPECT_FALSE(feed(integer, "12"));  // more digits may follow
  Constraint number = compile_schema(R"({"type":"number"})");
  EXPECT_FALSE(feed(number, "1e5"));
  EXPECT_TRUE(feed(number, "5"));  // two exponent digits are the most
  Constraint text = compile_schema(R"({"type":"string","maxLength":1})");
  EXPECT_FALSE(feed(text, "\"a"));
  EXPECT_TRUE(feed(text, "\""));
  Constraint amount = compile_amount(2);
  EXPECT_TRUE(feed(amount, "-1.00"));
  Constraint object = compile_schema(
      R"({"type":"object","properties":{"a":{"type":"null"}},"required":["a"],"additionalProperties":false})");
  EXPECT_FALSE(feed(object, R"({"a":null)"));
  EXPECT_TRUE(feed(object, "}"));
}

TEST(ConstraintRuntime, EosOnlyOnceTheValueIsComplete) {
  Constraint c = compile_schema(kBoolean);
  const int64_t eos = 256;
  const std::vector<int32_t> start = c.current;
  EXPECT_EQ("Premature constrained EOS", refusal([&] { constraint_accept(c, eos); }));
  EXPECT_EQ(start, c.current);

  Constraint i = compile_schema(kInteger);
  feed(i, "7");
  const std::vector<int32_t> after = i.current;
  std::vector<int64_t> expected = digit_ids();
  expected.push_back(eos);
  EXPECT_EQ(expected, allowed(i, 1));
  EXPECT_TRUE(constraint_accept(i, eos));
  EXPECT_EQ(after, i.current);
}

TEST(ConstraintRuntime, EosOutsideTheTokenTableIsRecognisedFirst) {
  Constraint c = compile_output_constraint(kInteger, 0, byte_vocab(), {1000}, 64);
  EXPECT_EQ("Premature constrained EOS", refusal([&] { constraint_accept(c, 1000); }));
  feed(c, "7");
  const std::vector<int64_t> mask = allowed(c, 5, 1001);
  EXPECT_EQ(1000, mask.back());
  EXPECT_EQ(11u, mask.size());  // ten digits and EOS; ids 256..999 have no bytes
  EXPECT_TRUE(constraint_accept(c, 1000));
}

TEST(ConstraintRuntime, EosWithBytesWaitsForCompletion) {
  // An EOS id that is also an ordinary token: its bytes fit the value, but allowing it before
  // the value is complete would make the next accept fail.
  Constraint c = compile_output_constraint(kBoolean, 0, byte_vocab(), {'t'}, 64);
  EXPECT_EQ(ids_of({'\t', '\n', '\r', ' ', 'f'}), allowed(c, 10));
  Constraint i = compile_output_constraint(kInteger, 0, byte_vocab(), {'5'}, 64);
  const std::vector<int64_t> first = allowed(i, 10);
  EXPECT_EQ(0, std::count(first.begin(), first.end(), '5'));
  feed(i, "1");
  EXPECT_EQ(digit_ids(), allowed(i, 10));
  const std::vector<int32_t> after = i.current;
  EXPECT_TRUE(constraint_accept(i, '5'));  // EOS, not a digit: the set stays
  EXPECT_EQ(after, i.current);
}

TEST(ConstraintRuntime, MisfedTokens) {
  Constraint c = compile_schema(kBoolean);
  EXPECT_EQ("Constraint token out of range", refusal([&] { constraint_accept(c, -1); }));
  EXPECT_EQ("Constraint token out of range",
            refusal([&] { constraint_accept(c, static_cast<int64_t>(c.token_bytes.size())); }));
  EXPECT_EQ("Constraint token out of range", refusal([&] { constraint_accept(c, INT64_MIN); }));
  EXPECT_FALSE(c.current.empty());
  EXPECT_EQ("Token violates constraint", refusal([&] { constraint_accept(c, 'x'); }));
  EXPECT_TRUE(c.current.empty());
  // A dead constraint allows nothing and refuses everything after.
  EXPECT_TRUE(allowed(c, 10).empty());
  EXPECT_EQ("Token violates constraint", refusal([&] { constraint_accept(c, 't'); }));
}

TEST(ConstraintRuntime, CallerMaskAndWidths) {
  Constraint c = compile_schema(kBoolean, 64, byte_vocab({"true"}));
  std::vector<uint8_t> mask(c.token_bytes.size(), 7);
  mask['t'] = 0;
  mask[' '] = 0;
  constraint_mask(c, mask.data(), mask.size(), 100);
  std::vector<int64_t> ids;
  for (size_t id = 0; id < mask.size(); ++id) {
    ASSERT_LE(mask[id], 1);
    if (mask[id]) ids.push_back(static_cast<int64_t>(id));
  }
  EXPECT_EQ(ids_of({'\t', '\n', '\r', 'f', 256}), ids);
  // A narrower mask covers only its ids; a wider one is cleared past the vocabulary.
  EXPECT_EQ(ids_of({'\t', '\n', '\r', ' '}), allowed(c, 100, 100));
  std::vector<uint8_t> wide(5000, 1);
  constraint_mask(c, wide.data(), wide.size(), 100);
  for (size_t id = c.token_bytes.size(); id < wide.size(); ++id) ASSERT_EQ(0, wide[id]) << id;
  constraint_mask(c, nullptr, 0, 100);  // an empty mask is fine
}

TEST(ConstraintRuntime, UnreachableStatesStayMaskedUnderAnyBudget) {
  // No one-byte "4": after "3" the accept state is out of reach token by token, so "3" is never
  // allowed, however large the budget; "34" in one token is. A count past 32 bits saturates.
  std::vector<std::string> vocab = byte_vocab({"34"});
  vocab['4'] = "44";
  Constraint c = compile_output_constraint(R"({"enum":[12,34]})", 0, vocab, {257}, INT32_MAX);
  for (uint64_t remaining : {uint64_t{3}, uint64_t{1} << 32, (uint64_t{1} << 32) + 1, UINT64_MAX}) {
    EXPECT_EQ(ids_of({'\t', '\n', '\r', ' ', '1', 256}), allowed(c, remaining)) << remaining;
  }
}

// ---------------------------------------------------------------------------------------------
// The cached walk against the plain one, over real vocabulary bytes

std::vector<std::string> gpt2_prefix(size_t count) {
  std::vector<std::string> v(constraint_test::gpt2_token_bytes().begin(),
                             constraint_test::gpt2_token_bytes().begin() + count);
  v.emplace_back();  // EOS
  return v;
}

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void compare_walks_along_a_walk(const char* schema, uint32_t decimals, uint64_t seed) {
  std::vector<std::string> vocab = gpt2_prefix(3000);
  const int64_t eos = static_cast<int64_t>(vocab.size()) - 1;
  Constraint c = compile_output_constraint(schema, decimals, vocab, {eos}, 4096);
  const uint64_t n = c.token_bytes.size();
  uint64_t rng = seed;
  for (uint64_t remaining = 40; remaining > 0; --remaining) {
    std::vector<uint8_t> fast(n, 1);
    for (uint64_t r : {remaining, uint64_t{1}, uint64_t{2}, uint64_t{4096}}) {
      std::fill(fast.begin(), fast.end(), 1);
      std::vector<uint8_t> plain(n, 1);
      constraint_mask(c, fast.data(), n, r);
      constraint_mask_reference(c, plain.data(), n, r);
      ASSERT_EQ(plain, fast) << schema << " seed " << seed << " remaining " << r;
    }
    constraint_mask(c, fast.data(), n, remaining);
    std::vector<int64_t> ids;
    for (uint64_t id = 0; id < n; ++id) {
      if (fast[id]) ids.push_back(static_cast<int64_t>(id));
    }
    ASSERT_FALSE(ids.empty());
    if (constraint_accept(c, ids[splitmix(rng) % ids.size()])) return;
  }
}

constexpr char kNested[] =
    R"({"type":"object","properties":{"name":{"type":"string","maxLength":6},)"
    R"("tags":{"type":"array","items":{"enum":["red","green","\u00e9t\u00e9"]},"maxItems":3},)"
    R"("n":{"anyOf":[{"type":"number"},{"type":"null"}]},"s":{"type":"string","minLength":1}},)"
    R"("required":["name","tags","n","s"],"additionalProperties":false})";

TEST(ConstraintRuntime, CachedWalkMatchesPlainWalk) {
  for (uint64_t seed = 0; seed < 3; ++seed) {
    compare_walks_along_a_walk(kNested, 0, seed);
    compare_walks_along_a_walk(nullptr, 3, seed);
  }
}

TEST(ConstraintRuntime, CachedWalkFallsBackWhenTheMemoOverflows) {
  const ConstraintCacheLimits saved = constraint_cache_limits();
  for (ConstraintCacheLimits small : {ConstraintCacheLimits{0, 1}, ConstraintCacheLimits{2, 6}}) {
    constraint_set_cache_limits(small);
    compare_walks_along_a_walk(kNested, 0, 7);
  }
  constraint_set_cache_limits(saved);
}

}  // namespace
}  // namespace vexa
