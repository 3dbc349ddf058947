// Layer normalisation and Erf-based GELU exported as chains of element-wise nodes: the fused
// graph gives the unfused bits at every thread count, and chains that differ in one step stay
// as they are.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "cpu/fusion.h"
#include "dense_graph.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::k;
using testing::kinds;
using testing::output_of;
using testing::TestGraph;

constexpr uint32_t kAxis = 26;
constexpr uint64_t kLastAxis = ~uint64_t{0};  // -1
constexpr unsigned kThreadCounts[] = {1, 2, 8};

uint64_t scalar(TestGraph& g, float v) {
  const uint64_t id = g.weight({1}, 1);
  g.storage(id)[0] = v;
  return id;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The pieces of a layer normalisation chain a case may change.
struct NormChain {
  uint64_t mean_axis = kLastAxis;
  uint64_t var_axis = kLastAxis;
  bool sub_reads_other = false;   // Sub(x2, mean) instead of Sub(x, mean)
  bool centred_extra_reader = false;
  bool scale_column = false;      // scale shaped [d, 1]
};

// Input [2, rows, d] scaled by `spread` so the rows have distinct means and variances.
uint64_t build_norm(TestGraph& g, uint64_t rows, uint64_t d, const NormChain& c,
                    uint64_t* extra_out) {
  const uint64_t x = g.value(kValueGraphInput, {2, rows, d}, 11);
  for (size_t i = 0; i < g.storage(x).size(); ++i) g.storage(x)[i] = g.storage(x)[i] * 3.0f + 0.25f * (i % 7);
  const uint64_t x2 = c.sub_reads_other ? g.value(kValueGraphInput, {2, rows, d}, 12) : x;
  const uint64_t mean = c.mean_axis == kLastAxis ? g.act({2, rows, 1}) : g.act({2, 1, d});
  g.node(OpKind::kReduceMean, {x}, {mean}, {{kAxis, c.mean_axis}});
  const uint64_t centred = g.act({2, rows, d});
  g.node(OpKind::kSub, {x2, mean}, {centred});
  const uint64_t sq = g.act({2, rows, d});
  g.node(OpKind::kMul, {centred, centred}, {sq});
  const uint64_t var = c.var_axis == kLastAxis ? g.act({2, rows, 1}) : g.act({2, 1, d});
  g.node(OpKind::kReduceMean, {sq}, {var}, {{kAxis, c.var_axis}});
  const uint64_t ve = c.var_axis == kLastAxis ? g.act({2, rows, 1}) : g.act({2, 1, d});
  g.node(OpKind::kAdd, {var, scalar(g, 1e-5f)}, {ve});
  const uint64_t root = c.var_axis == kLastAxis ? g.act({2, rows, 1}) : g.act({2, 1, d});
  g.node(OpKind::kSqrt, {ve}, {root});
  const uint64_t normed = g.act({2, rows, d});
  g.node(OpKind::kDiv, {centred, root}, {normed});
  const uint64_t scale = c.scale_column ? g.weight({d, 1}, 13) : g.weight({d}, 13);
  const uint64_t scaled = g.act({2, rows, d});
  g.node(OpKind::kMul, {normed, scale}, {scaled});
  const uint64_t y = g.value(kValueGraphOutput, {2, rows, d});
  g.node(OpKind::kAdd, {g.weight({d}, 14), scaled}, {y});
  if (c.centred_extra_reader) {
    *extra_out = g.value(kValueGraphOutput, {2, rows, d});
    g.node(OpKind::kRelu, {centred}, {*extra_out});
  }
  return y;
}

// Runs the plain graph once, then the fused graph at 1, 2 and 8 threads; every fused output
// must carry the plain bits.
void expect_fused_bits(TestGraph& g, uint64_t y, const std::vector<uint64_t>& fused_kinds) {
  auto plain = g.state();
  ASSERT_TRUE(testing::run(*plain));
  const auto want = output_of(*plain, y);
  for (unsigned threads : kThreadCounts) {
    ThreadCapScope cap(threads);
    auto fused = g.state();
    testing::fuse(*fused);
    EXPECT_EQ(kinds(*fused), fused_kinds);
    ASSERT_TRUE(testing::run(*fused));
    EXPECT_TRUE(same_bits(output_of(*fused, y), want)) << threads << " threads";
  }
}

TEST(NormGeluFusion, LayerNormChainBecomesOneNodeWithTheSameBits) {
  // 2 x 5 rows is below the parallel split, 2 x 600 rows of 256 above it.
  for (uint64_t rows : {5, 600}) {
    const uint64_t d = rows == 5 ? 48 : 256;
    TestGraph g;
    uint64_t unused = 0;
    const uint64_t y = build_norm(g, rows, d, NormChain{}, &unused);
    expect_fused_bits(g, y, {k(OpKind::kLayerNormalization)});
  }
}

TEST(NormGeluFusion, LayerNormMatchesIndependentFormula) {
  TestGraph g;
  uint64_t unused = 0;
  const uint64_t rows = 3, d = 16;
  const uint64_t y = build_norm(g, rows, d, NormChain{}, &unused);
  auto fused = g.state();
  testing::fuse(*fused);
  ASSERT_TRUE(testing::run(*fused));
  const float* x = fused->data[0];
  ASSERT_EQ(fused->node_count, 1u);
  const float* scale = fused->data[fused->nodes[0].input(1)];
  const float* bias = fused->data[fused->nodes[0].input(2)];
  for (uint64_t r = 0; r < 2 * rows; ++r) {
    double mean = 0, var = 0;
    for (uint64_t j = 0; j < d; ++j) mean += x[r * d + j];
    mean /= d;
    for (uint64_t j = 0; j < d; ++j) var += (x[r * d + j] - mean) * (x[r * d + j] - mean);
    var /= d;
    for (uint64_t j = 0; j < d; ++j) {
      const double want = (x[r * d + j] - mean) / std::sqrt(var + 1e-5) * scale[j] + bias[j];
      EXPECT_NEAR(fused->data[y][r * d + j], want, 1e-4) << r << "," << j;
    }
  }
}

TEST(NormGeluFusion, LayerNormVariantsStayUnfused) {
  struct Case {
    const char* name;
    NormChain chain;
  };
  const Case cases[] = {
      {"mean over another axis", {.mean_axis = 1}},
      {"variance over another axis", {.var_axis = 1}},
      {"Sub reads another tensor", {.sub_reads_other = true}},
      {"centred values read elsewhere", {.centred_extra_reader = true}},
      {"scale not along the last axis", {.scale_column = true}},
  };
  for (const Case& c : cases) {
    TestGraph g;
    uint64_t extra = 0;
    build_norm(g, 4, 8, c.chain, &extra);
    auto s = g.state();
    const uint64_t before = s->node_count;
    testing::fuse(*s);
    EXPECT_EQ(s->node_count, before) << c.name;
    for (uint64_t n = 0; n < s->node_count; ++n)
      EXPECT_NE(s->nodes[n].kind(), k(OpKind::kLayerNormalization)) << c.name;
  }
}

struct GeluChain {
  float divisor = 1.4142135f;
  float one = 1.0f;
  float half = 0.5f;
  bool div_reads_other = false;
  bool erf_extra_reader = false;
};

uint64_t build_gelu(TestGraph& g, uint64_t n, const GeluChain& c) {
  const uint64_t x = g.value(kValueGraphInput, {1, n}, 21);
  for (float& v : g.storage(x)) v *= 4.0f;
  const uint64_t xd = c.div_reads_other ? g.value(kValueGraphInput, {1, n}, 22) : x;
  const uint64_t t = g.act({1, n});
  g.node(OpKind::kDiv, {xd, scalar(g, c.divisor)}, {t});
  const uint64_t e = g.act({1, n});
  g.node(OpKind::kErf, {t}, {e});
  const uint64_t a = g.act({1, n});
  g.node(OpKind::kAdd, {scalar(g, c.one), e}, {a});
  const uint64_t m = g.act({1, n});
  g.node(OpKind::kMul, {x, a}, {m});
  const uint64_t y = g.value(kValueGraphOutput, {1, n});
  g.node(OpKind::kMul, {m, scalar(g, c.half)}, {y});
  if (c.erf_extra_reader) g.node(OpKind::kRelu, {e}, {g.value(kValueGraphOutput, {1, n})});
  return y;
}

TEST(NormGeluFusion, GeluChainBecomesOneNodeWithTheSameBits) {
  // Below and above the eight-way split (and a block tail of 7).
  for (uint64_t n : {1031, 40007}) {
    TestGraph g;
    const uint64_t y = build_gelu(g, n, GeluChain{});
    expect_fused_bits(g, y, {k(OpKind::kGelu)});
  }
}

TEST(NormGeluFusion, GeluMatchesTheErfFormula) {
  TestGraph g;
  const uint64_t y = build_gelu(g, 257, GeluChain{});
  auto s = g.state();
  testing::fuse(*s);
  ASSERT_TRUE(testing::run(*s));
  const float* x = s->data[0];
  for (uint64_t i = 0; i < 257; ++i) {
    const double want = 0.5 * x[i] * (1.0 + std::erf(x[i] / std::sqrt(2.0)));
    EXPECT_NEAR(s->data[y][i], want, 1e-5) << i;
  }
}

TEST(NormGeluFusion, GeluVariantsStayUnfused) {
  struct Case {
    const char* name;
    GeluChain chain;
  };
  const Case cases[] = {
      {"divisor 2", {.divisor = 2.0f}},
      {"adds 2", {.one = 2.0f}},
      {"scales by 0.25", {.half = 0.25f}},
      {"Div reads another tensor", {.div_reads_other = true}},
      {"Erf output read elsewhere", {.erf_extra_reader = true}},
  };
  for (const Case& c : cases) {
    TestGraph g;
    build_gelu(g, 64, c.chain);
    auto s = g.state();
    const uint64_t before = s->node_count;
    testing::fuse(*s);
    EXPECT_EQ(s->node_count, before) << c.name;
    for (uint64_t n = 0; n < s->node_count; ++n)
      EXPECT_NE(s->nodes[n].kind(), k(OpKind::kGelu)) << c.name;
  }
}

}  // namespace
}  // namespace vexa::cpu
