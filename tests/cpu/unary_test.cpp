// One-operand operators, PRelu, Where and Cast through built graphs against reference loops
// written from the operator definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "cpu_graph_fixture.h"

namespace vexa::cpu {
namespace {

using graph_test::Attr;
using graph_test::GraphModel;
using graph_test::StateHolder;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const std::vector<float> kInputs = {kNaN, kInf,  -kInf, 0.0f,  -0.0f, 1.0f,  -1.0f, 0.5f,
                                    -0.5f, 2.5f, -2.5f, 3.7f, -3.7f, 100.0f, -100.0f, 1e-8f,
                                    6.0f, -6.0f, 0.25f, 7.5f};

bool same(float x, float y) {
  if (std::isnan(x) && std::isnan(y)) return true;
  uint32_t bx, by;
  std::memcpy(&bx, &x, 4);
  std::memcpy(&by, &y, 4);
  return bx == by;
}

std::vector<float> run_unary(OpKind kind, std::initializer_list<Attr> attrs,
                             const std::vector<float>& x, std::string* why) {
  GraphModel g;
  const uint64_t in = g.value(kValueGraphInput, {x.size()});
  const uint64_t out = g.value(kValueGraphOutput, {x.size()});
  g.node(kind, {in}, {out}, attrs);
  if (!g.open(why)) return {};
  StateHolder s(g.create());
  if (!s.ok()) {
    *why = s.message();
    return {};
  }
  std::vector<float> y(x.size(), -99.0f);
  if (!cpu_run(s.handle(), x.data(), y.data())) *why = "run failed";
  return y;
}

float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

struct UnaryCase {
  OpKind kind;
  std::vector<Attr> attrs;
  std::function<float(float)> ref;
  bool exact;
};

// One node of the case's kind from `in` to `out`, with its attribute words.
void add_unary_node(GraphModel& g, const UnaryCase& c, uint64_t in, uint64_t out) {
  GraphNode n{};
  n.op_kind = static_cast<uint64_t>(c.kind);
  n.input_count = 1;
  n.inputs[0] = in;
  n.output_count = 1;
  n.outputs[0] = out;
  for (const Attr& a : c.attrs) n.words()[a.word] = a.value;
  g.writer().add_node(n);
}

TEST(CpuUnary, EveryMapMatchesItsDefinition) {
  const float alpha = 0.2f, beta = 0.4f, slope = 0.1f, lo = -1.5f, hi = 2.0f;
  const float selu_alpha = 1.6732632f, selu_gamma = 1.0507010f;
  const std::vector<UnaryCase> cases = {
      {OpKind::kRelu, {}, [](float v) { return v >= 0 ? v : 0.0f; }, true},
      {OpKind::kSigmoid, {}, [](float v) { return 1.0f / (1.0f + std::exp(-v)); }, false},
      {OpKind::kHardSigmoid, {{29, f32_word(alpha)}, {30, f32_word(beta)}},
       [=](float v) { return clamp01(std::fma(v, alpha, beta)); }, true},
      {OpKind::kHardSwish, {},
       [](float v) { return v * clamp01(std::fma(v, 0.16666667f, 0.5f)); }, true},
      {OpKind::kLeakyRelu, {{29, f32_word(slope)}}, [=](float v) { return v < 0 ? v * slope : v; },
       true},
      {OpKind::kClip, {{29, f32_word(lo)}, {30, f32_word(hi)}},
       [=](float v) { return v < lo ? lo : (v > hi ? hi : v); }, true},
      {OpKind::kSqrt, {}, [](float v) { return sqrtf(v); }, true},
      {OpKind::kExp, {}, [](float v) { return expf(v); }, false},
      {OpKind::kTanh, {}, [](float v) { return tanhf(v); }, false},
      {OpKind::kCos, {}, [](float v) { return cosf(v); }, false},
      {OpKind::kSin, {}, [](float v) { return sinf(v); }, false},
      {OpKind::kLog, {}, [](float v) { return logf(v); }, false},
      {OpKind::kAbs, {}, [](float v) { return fabsf(v); }, true},
      {OpKind::kNeg, {}, [](float v) { return -v; }, true},
      {OpKind::kFloor, {}, [](float v) { return floorf(v); }, true},
      {OpKind::kCeil, {}, [](float v) { return ceilf(v); }, true},
      {OpKind::kRound, {},
       [](float v) {
         // Nearest integer, a half going to the even neighbour (2.5 -> 2, -0.5 -> -0, 7.5 -> 8).
         if (!std::isfinite(v)) return v;
         const float f = floorf(v), d = v - f;
         const bool up = d > 0.5f || (d == 0.5f && fmodf(f, 2.0f) != 0.0f);
         const float r = up ? f + 1.0f : f;
         return r == 0.0f ? copysignf(0.0f, v) : r;
       },
       true},
      {OpKind::kReciprocal, {}, [](float v) { return 1.0f / v; }, true},
      {OpKind::kElu, {}, [](float v) { return v >= 0 ? v : 1.0f * (expf(v) - 1.0f); }, false},
      {OpKind::kElu, {{29, f32_word(0.5f)}},
       [](float v) { return v >= 0 ? v : 0.5f * (expf(v) - 1.0f); }, false},
      {OpKind::kSelu, {},
       [=](float v) {
         return v > 0 ? selu_gamma * v : (selu_alpha * selu_gamma) * (expf(v) - 1.0f);
       },
       false},
      {OpKind::kNot, {}, [](float v) { return v == 0 ? 1.0f : 0.0f; }, true},
      {OpKind::kCast, {{15, 9}}, [](float v) { return v != 0 ? 1.0f : 0.0f; }, true},
      {OpKind::kCast, {{15, 7}},
       [](float v) {
         float t = truncf(v);
         return t == 0 ? 0.0f : t;
       },
       true},
  };
  for (const UnaryCase& c : cases) {
    std::string why;
    GraphModel g;
    const uint64_t in = g.value(kValueGraphInput, {kInputs.size()});
    const uint64_t out = g.value(kValueGraphOutput, {kInputs.size()});
    add_unary_node(g, c, in, out);
    ASSERT_TRUE(g.open(&why)) << why;
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok()) << s.message();
    std::vector<float> y(kInputs.size());
    ASSERT_TRUE(cpu_run(s.handle(), kInputs.data(), y.data()));
    for (size_t i = 0; i < kInputs.size(); ++i) {
      const float want = c.ref(kInputs[i]);
      const std::string name(op_kind_name(static_cast<uint64_t>(c.kind)));
      if (c.exact || !std::isfinite(want)) {
        EXPECT_TRUE(same(y[i], want)) << name << "(" << kInputs[i] << ") = " << y[i] << " want " << want;
      } else {
        // Sigmoid and exp may come from a vector exp within a few ulp of the library's.
        EXPECT_NEAR(y[i], want, 1e-6f * std::max(1e-30f, std::fabs(want)) + 1e-37f)
            << name << "(" << kInputs[i] << ")";
      }
    }
  }
}

TEST(CpuUnary, HandPickedValues) {
  std::string why;
  auto cast_bool = run_unary(OpKind::kCast, {{15, 9}}, {-0.5f, 0.0f, kNaN}, &why);
  EXPECT_EQ(cast_bool, (std::vector<float>{1, 0, 1}));
  auto cast_int = run_unary(OpKind::kCast, {{15, 7}}, {-1.7f, -0.3f, 2.9f}, &why);
  EXPECT_EQ(cast_int[0], -1.0f);
  EXPECT_FALSE(std::signbit(cast_int[1]));
  EXPECT_EQ(cast_int[2], 2.0f);
  auto selu = run_unary(OpKind::kSelu, {}, {2.0f}, &why);
  EXPECT_FLOAT_EQ(selu[0], 2.0f * 1.0507010f);
  auto relu = run_unary(OpKind::kRelu, {}, {kNaN, -0.0f}, &why);
  EXPECT_EQ(relu[0], 0.0f);
  ASSERT_TRUE(why.empty()) << why;
}

TEST(CpuUnary, PReluSlopeAdvancesPerPlaneAndWraps) {
  GraphModel g;
  const uint64_t x = g.input({2, 3, 4, 4});
  const uint64_t w = g.weight({3}, {0.1f, 0.2f, 0.3f});
  const uint64_t y = g.output({2, 3, 4, 4});
  g.node(OpKind::kPRelu, {x, w}, {y});
  std::string why;
  ASSERT_TRUE(g.open(&why)) << why;
  StateHolder s(g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  std::vector<float> in(96), out(96);
  for (size_t i = 0; i < in.size(); ++i) in[i] = (i % 2 == 0) ? -1.0f : 2.0f;
  ASSERT_TRUE(cpu_run(s.handle(), in.data(), out.data()));
  const float slopes[] = {0.1f, 0.2f, 0.3f};
  for (size_t i = 0; i < in.size(); ++i) {
    const size_t plane = i / 16;
    const float want = in[i] < 0 ? in[i] * slopes[plane % 3] : in[i];
    ASSERT_EQ(out[i], want) << i;
  }
}

TEST(CpuUnary, PReluOfAScalarIsOnePlane) {
  for (const float v : {-4.0f, 3.0f}) {
    GraphModel g;
    const uint64_t x = g.input({});
    const uint64_t w = g.weight({1}, {0.25f});
    const uint64_t y = g.output({});
    g.node(OpKind::kPRelu, {x, w}, {y});
    std::string why;
    ASSERT_TRUE(g.open(&why)) << why;
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok()) << s.message();
    float out = 12345.0f;
    ASSERT_TRUE(cpu_run(s.handle(), &v, &out));
    EXPECT_EQ(out, v < 0 ? v * 0.25f : v);
  }
}

TEST(CpuUnary, WhereBroadcastsEachOperandAgainstTheOutput) {
  GraphModel g;
  const uint64_t cond = g.input({2, 1, 3});
  const uint64_t x = g.weight({4, 1}, {10, 20, 30, 40});
  const uint64_t yv = g.weight({1}, {-1});
  const uint64_t out = g.output({2, 4, 3});
  g.node(OpKind::kWhere, {cond, x, yv}, {out});
  std::string why;
  ASSERT_TRUE(g.open(&why)) << why;
  StateHolder s(g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const std::vector<float> c = {1, 0, kNaN, 0, 2, 0};
  std::vector<float> got(24);
  ASSERT_TRUE(cpu_run(s.handle(), c.data(), got.data()));
  for (int n = 0; n < 2; ++n) {
    for (int r = 0; r < 4; ++r) {
      for (int k = 0; k < 3; ++k) {
        const float cv = c[n * 3 + k];
        const float want = cv != 0.0f ? 10.0f * (r + 1) : -1.0f;
        EXPECT_EQ(got[(n * 4 + r) * 3 + k], want) << n << r << k;
      }
    }
  }
}

using Shape = std::vector<uint64_t>;

uint64_t count_of(const Shape& s) {
  uint64_t n = 1;
  for (uint64_t d : s) n *= d;
  return n;
}

// Value of operand `s` at output index i, by decomposing i over the output dims.
float at(const std::vector<float>& v, const Shape& s, const Shape& out, uint64_t i) {
  if (v.size() < 2) return v[0];
  std::vector<uint64_t> coord(out.size());
  for (size_t ax = out.size(); ax-- > 0;) {
    coord[ax] = i % out[ax];
    i /= out[ax];
  }
  uint64_t idx = 0;
  for (size_t k = 0; k < s.size(); ++k) {
    const size_t oax = k + out.size() - s.size();
    idx = idx * s[k] + (s[k] == 1 ? 0 : coord[oax]);
  }
  return v[idx];
}

TEST(CpuUnary, WhereMatchesPerElementBroadcastOnManyShapes) {
  struct Case {
    Shape c, x, y, out;
  };
  const Case cases[] = {
      {{2, 1, 3}, {4, 1}, {1}, {2, 4, 3}},      {{3}, {2, 3}, {2, 1}, {2, 3}},
      {{1}, {5}, {5}, {5}},                     {{2, 3, 4}, {2, 3, 4}, {4}, {2, 3, 4}},
      {{1, 1, 4}, {3, 1}, {1, 3, 1}, {1, 3, 4}}, {{6}, {6}, {6}, {6}},
      {{2, 2, 1, 2}, {1, 2}, {2, 1, 3, 1}, {2, 2, 3, 2}},
  };
  uint32_t seed = 5;
  for (const Case& k : cases) {
    std::vector<float> c(count_of(k.c)), x(count_of(k.x)), y(count_of(k.y));
    for (auto& v : c) v = static_cast<float>((seed = seed * 1103515245 + 12345) >> 16 & 1);
    for (size_t i = 0; i < x.size(); ++i) x[i] = 100.0f + static_cast<float>(i);
    for (size_t i = 0; i < y.size(); ++i) y[i] = -1.0f - static_cast<float>(i);
    GraphModel g;
    const uint64_t vc = g.value(kValueGraphInput, k.c);
    const uint64_t vx = g.weight(k.x.empty() ? Shape{1} : k.x, x);
    const uint64_t vy = g.weight(k.y.empty() ? Shape{1} : k.y, y);
    const uint64_t vo = g.value(kValueGraphOutput, k.out);
    g.node(OpKind::kWhere, {vc, vx, vy}, {vo});
    std::string why;
    ASSERT_TRUE(g.open(&why)) << why;
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok()) << s.message();
    std::vector<float> got(count_of(k.out));
    ASSERT_TRUE(cpu_run(s.handle(), c.data(), got.data()));
    for (uint64_t i = 0; i < got.size(); ++i) {
      const float want = at(c, k.c, k.out, i) != 0.0f ? at(x, k.x, k.out, i) : at(y, k.y, k.out, i);
      ASSERT_EQ(got[i], want) << "case with output rank " << k.out.size() << " element " << i;
    }
  }
}

}  // namespace
}  // namespace vexa::cpu

namespace vexa::cpu {
namespace {

// Maps above the split size: the fixed pieces give every element its own definition's value
// (bits where the map is exact, the same bits at 1, 2 and 8 threads either way).
TEST(CpuUnary, LargeMapsSplitYetKeepBitsOnAnyThreadCount) {
  constexpr size_t kCount = 100003;  // not a multiple of the piece count
  std::vector<float> x(kCount);
  for (size_t i = 0; i < kCount; ++i) x[i] = kInputs[i % kInputs.size()] * (1.0f + 1e-5f * (i % 97));
  const float slope = 0.1f;
  const std::vector<UnaryCase> cases = {
      {OpKind::kRelu, {}, [](float v) { return v >= 0 ? v : 0.0f; }, true},
      {OpKind::kLeakyRelu, {{29, f32_word(slope)}}, [=](float v) { return v < 0 ? v * slope : v; },
       true},
      {OpKind::kSqrt, {}, [](float v) { return sqrtf(v); }, true},
      {OpKind::kSigmoid, {}, [](float v) { return 1.0f / (1.0f + std::exp(-v)); }, false},
      {OpKind::kExp, {}, [](float v) { return expf(v); }, false},
  };
  for (const UnaryCase& c : cases) {
    std::vector<std::vector<float>> results;
    for (uint32_t threads : {1u, 2u, 8u}) {
      GraphModel g;
      const uint64_t in = g.value(kValueGraphInput, {kCount});
      const uint64_t out = g.value(kValueGraphOutput, {kCount});
      add_unary_node(g, c, in, out);
      std::string why;
      ASSERT_TRUE(g.open(&why)) << why;
      StateHolder s(g.create(1, threads));
      ASSERT_TRUE(s.ok()) << s.message();
      std::vector<float> y(kCount, -99.0f);
      ASSERT_TRUE(cpu_run(s.handle(), x.data(), y.data()));
      results.push_back(std::move(y));
    }
    for (size_t i = 0; i < kCount; ++i) {
      const float want = c.ref(x[i]);
      if (c.exact) {
        ASSERT_TRUE(same(results[0][i], want)) << op_kind_name(static_cast<uint64_t>(c.kind)) << " " << i;
      } else if (std::isfinite(want)) {
        ASSERT_NEAR(results[0][i], want, 1e-5f * std::max(1.0f, std::fabs(want)))
            << op_kind_name(static_cast<uint64_t>(c.kind)) << " " << i;
      }
      ASSERT_TRUE(same(results[1][i], results[0][i]) && same(results[2][i], results[0][i]))
          << op_kind_name(static_cast<uint64_t>(c.kind)) << " element " << i;
    }
  }
}

}  // namespace
}  // namespace vexa::cpu
