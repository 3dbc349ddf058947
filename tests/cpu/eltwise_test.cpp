// Two-operand element-wise operators run through built graphs and compared bit for bit with a
// naive per-element broadcast written here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cpu/ops/eltwise.h"
#include "cpu_graph_fixture.h"

namespace vexa::cpu {
namespace {

using graph_test::Attr;
using graph_test::GraphModel;
using graph_test::StateHolder;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using Shape = std::vector<uint64_t>;

uint64_t count_of(const Shape& s) {
  uint64_t n = 1;
  for (uint64_t d : s) n *= d;
  return n;
}

// Numpy broadcasting of two shapes.
Shape broadcast(const Shape& a, const Shape& b) {
  const size_t r = std::max(a.size(), b.size());
  Shape out(r);
  for (size_t i = 0; i < r; ++i) {
    const uint64_t da = i + a.size() >= r ? a[i + a.size() - r] : 1;
    const uint64_t db = i + b.size() >= r ? b[i + b.size() - r] : 1;
    out[i] = da == 1 ? db : da;
  }
  return out;
}

// Flat index into `s` of output multi-index `coord` (right-aligned, size-1 axes repeat).
uint64_t source_index(const Shape& s, const Shape& out, const std::vector<uint64_t>& coord) {
  uint64_t idx = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const size_t oi = i + out.size() - s.size();
    idx = idx * s[i] + (s[i] == 1 ? 0 : coord[oi]);
  }
  return idx;
}

float reference(OpKind kind, int64_t mode, float a, float b) {
  switch (kind) {
    case OpKind::kSub: return a - b;
    case OpKind::kDiv: return a / b;
    case OpKind::kAdd: return a + b;
    case OpKind::kMul: return a * b;
    case OpKind::kEqual: return a == b ? 1.0f : 0.0f;
    case OpKind::kLess: return a < b ? 1.0f : 0.0f;
    case OpKind::kGreater:
      if (mode == 1) return a >= b ? 1.0f : 0.0f;
      if (mode == 2) return a <= b ? 1.0f : 0.0f;
      return a > b ? 1.0f : 0.0f;
    case OpKind::kMax: return std::isnan(a) ? b : (std::isnan(b) ? b : (a >= b ? a : b));
    case OpKind::kMin: return std::isnan(a) ? b : (std::isnan(b) ? b : (a <= b ? a : b));
    case OpKind::kMod: return std::fmod(a, b);
    case OpKind::kAnd: return (a != 0.0f && b != 0.0f) ? 1.0f : 0.0f;
    case OpKind::kOr: return (a != 0.0f || b != 0.0f) ? 1.0f : 0.0f;
    default: return kNaN;
  }
}

std::vector<float> reference_op(OpKind kind, int64_t mode, const Shape& sa,
                                const std::vector<float>& a, const Shape& sb,
                                const std::vector<float>& b) {
  const Shape so = broadcast(sa, sb);
  std::vector<float> out(count_of(so));
  std::vector<uint64_t> coord(so.size(), 0);
  for (uint64_t i = 0; i < out.size(); ++i) {
    uint64_t rest = i;
    for (size_t ax = so.size(); ax-- > 0;) {
      coord[ax] = rest % so[ax];
      rest /= so[ax];
    }
    out[i] = reference(kind, mode, a[source_index(sa, so, coord)], b[source_index(sb, so, coord)]);
  }
  return out;
}

// Values with the awkward cases mixed in: NaN, both infinities, signed zeros.
std::vector<float> make_values(uint64_t n, uint32_t seed) {
  static const float special[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, 1.0f, -1.0f, 2.5f, 3.0f};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
  std::vector<float> v(n);
  for (uint64_t i = 0; i < n; ++i) {
    v[i] = (rng() % 3 == 0) ? special[rng() % std::size(special)] : dist(rng);
  }
  return v;
}

bool same_bits_or_both_nan(float x, float y) {
  if (std::isnan(x) && std::isnan(y)) return true;
  uint32_t bx, by;
  std::memcpy(&bx, &x, 4);
  std::memcpy(&by, &y, 4);
  return bx == by;
}

std::vector<float> run_binary(OpKind kind, std::initializer_list<Attr> attrs, const Shape& sa,
                              const std::vector<float>& a, const Shape& sb,
                              const std::vector<float>& b, std::string* why, uint32_t threads = 0) {
  GraphModel g;
  const uint64_t va = g.value(kValueGraphInput, sa);
  const uint64_t vb = g.value(kValueGraphInput, sb);
  const uint64_t vo = g.value(kValueGraphOutput, broadcast(sa, sb));
  g.node(kind, {va, vb}, {vo}, attrs);
  if (!g.open(why)) return {};
  StateHolder s(g.create(1, threads));
  if (!s.ok()) {
    *why = s.message();
    return {};
  }
  std::vector<float> out(count_of(broadcast(sa, sb)), -123.0f);
  EXPECT_TRUE(cpu_set_input(s.handle(), vb, b.data(), b.size() * 4));
  if (!cpu_run(s.handle(), a.data(), out.data())) *why = "run failed";
  return out;
}

struct ShapePair {
  Shape a, b;
};

const ShapePair kShapes[] = {
    {{2, 3}, {2, 3}},          {{2, 3}, {1}},          {{1}, {2, 3}},
    {{}, {4}},                 {{4}, {}},              {{2, 3, 1}, {3, 4}},
    {{1, 3, 1, 1}, {1, 3, 8, 8}}, {{4, 1, 5}, {1, 6, 1}}, {{2, 1, 3, 1}, {1, 4, 1, 5}},
    {{1, 1}, {1, 1, 1}},       {{3, 1}, {3}},          {{2, 1, 1, 2, 1, 3}, {4, 1, 2, 5, 1}},
};

struct KindCase {
  OpKind kind;
  int64_t greater_mode;
};

const KindCase kKinds[] = {
    {OpKind::kSub, 0}, {OpKind::kDiv, 0},     {OpKind::kAdd, 0},     {OpKind::kMul, 0},
    {OpKind::kEqual, 0}, {OpKind::kLess, 0},  {OpKind::kGreater, 0}, {OpKind::kGreater, 1},
    {OpKind::kGreater, 2}, {OpKind::kGreater, 7}, {OpKind::kMax, 0}, {OpKind::kMin, 0},
    {OpKind::kMod, 0},   {OpKind::kAnd, 0},   {OpKind::kOr, 0},
};

TEST(CpuEltwise, EveryBinaryKindMatchesNaiveBroadcastReference) {
  uint32_t seed = 1;
  for (const KindCase& kc : kKinds) {
    for (const ShapePair& sp : kShapes) {
      const auto a = make_values(count_of(sp.a), seed++);
      const auto b = make_values(count_of(sp.b), seed++);
      std::string why;
      const auto got = run_binary(kc.kind, {{27, static_cast<uint64_t>(kc.greater_mode)}}, sp.a, a,
                                  sp.b, b, &why);
      ASSERT_TRUE(why.empty()) << why;
      const auto want = reference_op(kc.kind, kc.greater_mode, sp.a, a, sp.b, b);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_TRUE(same_bits_or_both_nan(got[i], want[i]))
            << op_kind_name(static_cast<uint64_t>(kc.kind)) << " mode " << kc.greater_mode
            << " shapes " << sp.a.size() << "/" << sp.b.size() << " element " << i << ": got "
            << got[i] << " want " << want[i] << " (seed " << seed << ")";
      }
    }
  }
}

TEST(CpuEltwise, HandPickedElementRules) {
  struct Case {
    OpKind kind;
    int64_t mode;
    float a, b, want;
  };
  const Case cases[] = {
      {OpKind::kMax, 0, kNaN, 1.0f, 1.0f},   {OpKind::kGreater, 2, 1.0f, 1.0f, 1.0f},
      {OpKind::kGreater, 0, 1.0f, 1.0f, 0.0f}, {OpKind::kGreater, 1, kNaN, kNaN, 0.0f},
      {OpKind::kMod, 0, -7.0f, 3.0f, -1.0f}, {OpKind::kDiv, 0, 1.0f, 0.0f, kInf},
      {OpKind::kAnd, 0, kNaN, 2.0f, 1.0f},   {OpKind::kEqual, 0, kNaN, kNaN, 0.0f},
      {OpKind::kMin, 0, 1.0f, kNaN, kNaN},
  };
  for (const Case& c : cases) {
    std::string why;
    auto got = run_binary(c.kind, {{27, static_cast<uint64_t>(c.mode)}}, {1}, {c.a}, {1}, {c.b}, &why);
    ASSERT_TRUE(why.empty()) << why;
    EXPECT_TRUE(same_bits_or_both_nan(got[0], c.want))
        << op_kind_name(static_cast<uint64_t>(c.kind)) << " got " << got[0];
  }
}

TEST(CpuEltwise, ScaledAddOnlyOnSameShapePath) {
  const float half = 0.5f;
  std::string why;
  auto same = run_binary(OpKind::kAdd, {{29, 1}, {30, f32_word(half)}}, {4}, {1, 2, 3, 4}, {4},
                         {10, 20, 30, 40}, &why);
  ASSERT_TRUE(why.empty()) << why;
  EXPECT_EQ(same, (std::vector<float>{10.5f, 21.0f, 31.5f, 42.0f}));
  auto scalar = run_binary(OpKind::kAdd, {{29, 1}, {30, f32_word(half)}}, {4}, {1, 2, 3, 4}, {1},
                           {10}, &why);
  ASSERT_TRUE(why.empty()) << why;
  EXPECT_EQ(scalar, (std::vector<float>{11, 12, 13, 14}));
}

TEST(CpuEltwise, LargeAddIsSplitYetBitIdenticalOnAnyThreadCount) {
  const Shape shape = {1, 64, 128, 128};  // 1,048,576 elements: the parallel path
  const auto a = make_values(count_of(shape), 77);
  const auto b = make_values(count_of(shape), 78);
  const float scale = 0.3f;
  std::vector<std::vector<float>> results;
  for (uint32_t threads : {1u, 2u, 8u}) {
    std::string why;
    results.push_back(run_binary(OpKind::kAdd, {{29, 1}, {30, f32_word(scale)}}, shape, a, shape,
                                 b, &why, threads));
    ASSERT_TRUE(why.empty()) << why;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    const float want = a[i] * scale + b[i];
    ASSERT_TRUE(same_bits_or_both_nan(results[0][i], want)) << i;
  }
  EXPECT_EQ(0, std::memcmp(results[0].data(), results[1].data(), a.size() * 4));
  EXPECT_EQ(0, std::memcmp(results[0].data(), results[2].data(), a.size() * 4));
}

TEST(CpuEltwise, BroadcastShapesRule) {
  const uint64_t a[] = {2, 3, 1};
  const uint64_t b[] = {3, 4};
  BroadcastShapes sh = cpu_broadcast_shapes(3, a, 2, b);
  EXPECT_TRUE(sh.compatible);
  EXPECT_EQ(sh.rank, 3u);
  EXPECT_EQ(sh.out[0], 2u);
  EXPECT_EQ(sh.out[1], 3u);
  EXPECT_EQ(sh.out[2], 4u);
  EXPECT_EQ(sh.b[0], 1u);
  const uint64_t c[] = {3, 5};
  EXPECT_FALSE(cpu_broadcast_shapes(2, b, 2, c).compatible);
}

}  // namespace
}  // namespace vexa::cpu

namespace vexa::cpu {
namespace {

// Scalar and broadcast operands above the split size: every thread count gives the naive
// reference's bits, so the fixed pieces and the odometer restarted mid-way are both right.
TEST(CpuEltwise, LargeBroadcastCasesSplitYetMatchReferenceOnAnyThreadCount) {
  struct Case {
    OpKind kind;
    Shape a, b;
  };
  const Case cases[] = {
      {OpKind::kMul, {1, 3, 197, 197}, {1}},
      {OpKind::kDiv, {1}, {1, 3, 97, 131}},
      {OpKind::kAdd, {768}, {1, 197, 768}},
      {OpKind::kSub, {1, 197, 192}, {1, 197, 1}},
      {OpKind::kMax, {3, 1, 129, 130}, {1, 5, 129, 1}},
      {OpKind::kMul, {1, 40, 1000}, {1, 40, 1000}},
      {OpKind::kAdd, {1, 197, 192}, {1, 197, 192}},
  };
  uint32_t seed = 500;
  for (const Case& c : cases) {
    const auto a = make_values(count_of(c.a), seed++);
    const auto b = make_values(count_of(c.b), seed++);
    ASSERT_GE(count_of(broadcast(c.a, c.b)), kParallelBinaryMinElements);
    const auto want = reference_op(c.kind, 0, c.a, a, c.b, b);
    for (uint32_t threads : {1u, 2u, 8u}) {
      std::string why;
      const auto got = run_binary(c.kind, {}, c.a, a, c.b, b, &why, threads);
      ASSERT_TRUE(why.empty()) << why;
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_TRUE(same_bits_or_both_nan(got[i], want[i]))
            << op_kind_name(static_cast<uint64_t>(c.kind)) << " threads " << threads
            << " element " << i;
      }
    }
  }
}

}  // namespace
}  // namespace vexa::cpu
