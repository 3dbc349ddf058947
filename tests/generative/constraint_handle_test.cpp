// Building a request's constraint and using it through VXConstraint: which requests get one,
// which are refused, and how every failure reaches the caller as an error domain and message.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/domain_error.h"
#include "generative/constraint_handle.h"
#include "tests/generative/constraint_test_support.h"

namespace vexa {
namespace {

using constraint_test::byte_vocab;

// A vocabulary source over byte_vocab() (EOS id 256) that records the ids it was asked for.
struct Source {
  std::vector<std::string> vocab = byte_vocab({"true"});
  std::vector<int64_t> asked;
  TokenBytesSource fn() {
    return [this](int64_t id) {
      asked.push_back(id);
      return vocab.at(static_cast<size_t>(id));
    };
  }
  uint64_t size() const { return vocab.size(); }
  std::vector<int64_t> eos() const { return {static_cast<int64_t>(vocab.size()) - 1}; }
};

ConstraintRequest request(const char* schema, uint32_t decimals = 0) {
  ConstraintRequest r;
  r.json_schema = schema;
  r.amount_decimals = decimals;
  r.max_new_tokens = 64;
  return r;
}

// "domain: reason" of the DomainError that `body` throws, or "" when it throws none.
template <typename Body>
std::string domain_error(Body&& body) {
  try {
    body();
  } catch (const DomainError& e) {
    return e.domain() + ": " + e.reason();
  }
  return "";
}

TEST(ConstraintHandle, RequestsWithoutConstraint) {
  Source s;
  EXPECT_EQ(nullptr, constraint_with_request(request(nullptr), s.size(), s.fn(), s.eos()));
  EXPECT_EQ(nullptr, constraint_with_request(request(""), s.size(), s.fn(), s.eos()));
  // Nothing to compile, so stops and masks are fine and no token is looked at.
  ConstraintRequest with_stops = request(nullptr);
  with_stops.stop_count = 2;
  with_stops.has_mask_callback = true;
  EXPECT_EQ(nullptr, constraint_with_request(with_stops, s.size(), s.fn(), s.eos()));
  EXPECT_TRUE(s.asked.empty());
}

TEST(ConstraintHandle, BuildsFromEveryTokenInOrder) {
  Source s;
  std::unique_ptr<VXConstraint> c =
      constraint_with_request(request(R"({"type":"boolean"})"), s.size(), s.fn(), s.eos());
  ASSERT_NE(nullptr, c);
  ASSERT_EQ(s.size(), s.asked.size());
  for (size_t i = 0; i < s.asked.size(); ++i) ASSERT_EQ(static_cast<int64_t>(i), s.asked[i]);
  std::vector<uint8_t> mask(s.size(), 1);
  c->mask(mask.data(), mask.size(), 1);
  EXPECT_EQ(1, mask[256]);  // "true" finishes within one token
  EXPECT_EQ(0, mask['t']);
  EXPECT_TRUE(c->accept_token(256));
  EXPECT_TRUE(c->accept_token(257));  // EOS once complete

  std::unique_ptr<VXConstraint> amount =
      constraint_with_request(request(nullptr, 2), s.size(), s.fn(), s.eos());
  ASSERT_NE(nullptr, amount);
  EXPECT_FALSE(amount->accept_token('1'));
}

TEST(ConstraintHandle, RefusalsBecomeFrontendErrors) {
  Source s;
  ConstraintRequest stops = request(R"({"type":"null"})");
  stops.stop_count = 1;
  constexpr char kCombined[] =
      "VexaFrontend: Output constraints cannot be combined with stops or custom masks";
  EXPECT_EQ(kCombined, domain_error([&] { constraint_with_request(stops, s.size(), s.fn(), s.eos()); }));
  ConstraintRequest masked = request(nullptr, 2);
  masked.has_mask_callback = true;
  EXPECT_EQ(kCombined, domain_error([&] { constraint_with_request(masked, s.size(), s.fn(), s.eos()); }));
  EXPECT_TRUE(s.asked.empty());

  EXPECT_EQ("VexaFrontend: Malformed or unsupported JSON schema", domain_error([&] {
              constraint_with_request(request("{"), s.size(), s.fn(), s.eos());
            }));
  EXPECT_EQ("VexaFrontend: Choose exactly one output constraint", domain_error([&] {
              constraint_with_request(request(R"({"type":"null"})", 2), s.size(), s.fn(), s.eos());
            }));
  ConstraintRequest tight = request(R"({"type":"boolean"})");
  tight.max_new_tokens = 3;
  EXPECT_EQ(
      "VexaFrontend: Output cap cannot guarantee a valid constraint completion; increase "
      "max_new_tokens",
      domain_error([&] { constraint_with_request(tight, s.size(), s.fn(), s.eos()); }));
  ConstraintRequest huge = request(R"({"type":"boolean"})");
  huge.max_new_tokens = UINT32_MAX;
  EXPECT_NE(nullptr, constraint_with_request(huge, s.size(), s.fn(), s.eos()));
}

TEST(ConstraintHandle, TokenSourceAndMemoryFailures) {
  Source s;
  const TokenBytesSource failing = [](int64_t id) -> std::string {
    if (id == 3) throw std::runtime_error("Byte decoding");
    return "x";
  };
  EXPECT_EQ("VexaFrontend: Byte decoding", domain_error([&] {
              constraint_with_request(request(R"({"type":"null"})"), 10, failing, {9});
            }));
  const TokenBytesSource exhausted = [](int64_t) -> std::string { throw std::bad_alloc(); };
  constexpr char kMemory[] = "NSMallocException: Constraint allocation failed";
  EXPECT_EQ(kMemory, domain_error([&] {
              constraint_with_request(request(R"({"type":"null"})"), 10, exhausted, {9});
            }));
  EXPECT_EQ(kMemory, domain_error([&] {
              constraint_with_request(request(R"({"type":"null"})"), UINT64_MAX, s.fn(), s.eos());
            }));
}

TEST(ConstraintHandle, RuntimeFailuresBecomeFrontendErrors) {
  Source s;
  std::unique_ptr<VXConstraint> c =
      constraint_with_request(request(R"({"type":"boolean"})"), s.size(), s.fn(), s.eos());
  ASSERT_NE(nullptr, c);
  std::vector<uint8_t> mask(s.size(), 1);
  EXPECT_EQ("VexaFrontend: Constraint budget exhausted",
            domain_error([&] { c->mask(mask.data(), mask.size(), 0); }));
  EXPECT_EQ("VexaFrontend: Constraint token out of range", domain_error([&] { c->accept_token(-1); }));
  EXPECT_EQ("VexaFrontend: Premature constrained EOS", domain_error([&] { c->accept_token(257); }));
  EXPECT_EQ("VexaFrontend: Token violates constraint", domain_error([&] { c->accept_token('x'); }));

  VXConstraint empty;
  EXPECT_EQ("VexaFrontend: Constraint is not initialised",
            domain_error([&] { empty.mask(mask.data(), mask.size(), 5); }));
  EXPECT_EQ("VexaFrontend: Constraint is not initialised", domain_error([&] { empty.accept_token(0); }));
  // init_with_constraint replaces whatever was there.
  empty.init_with_constraint(std::make_unique<Constraint>(constraint_test::compile_schema(R"({"type":"null"})")));
  EXPECT_FALSE(empty.accept_token('n'));
  empty.init_with_constraint(std::make_unique<Constraint>(constraint_test::compile_schema(R"({"type":"boolean"})")));
  EXPECT_EQ("VexaFrontend: Token violates constraint", domain_error([&] { empty.accept_token('n'); }));
}

}  // namespace
}  // namespace vexa
