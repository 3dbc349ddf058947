// Batch resolution over real operator graphs, and channel Concats whose inputs the arena lays
// out inside the output: the values must be those of a plain concatenation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpu_graph_fixture.h"

namespace vexa::cpu {
namespace {

using graph_test::Attr;
using graph_test::GraphModel;
using graph_test::StateHolder;

uint64_t axis_word(int64_t axis) { return static_cast<uint64_t>(axis); }

// in [1,2,3,4] -> Relu -> a, Relu -> b; Concat(a, b) on `axis` -> out.
uint64_t concat_batch(int64_t axis, std::vector<uint64_t> out_dims) {
  GraphModel g;
  const uint64_t in = g.input({1, 2, 3, 4});
  const uint64_t a = g.inter({1, 2, 3, 4});
  const uint64_t b = g.inter({1, 2, 3, 4});
  const uint64_t out = g.value(kValueGraphOutput, out_dims);
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kNeg, {in}, {b});
  g.node(OpKind::kConcat, {a, b}, {out}, {{26, axis_word(axis)}});
  EXPECT_TRUE(g.open());
  StateHolder s(g.create(4));
  EXPECT_TRUE(s.ok()) << s.message();
  return s.ok() ? s.state()->batch : 0;
}

TEST(CpuBatch, ConcatOnTheBatchAxisBlocksBatching) {
  EXPECT_EQ(concat_batch(1, {1, 4, 3, 4}), 4u);
  EXPECT_EQ(concat_batch(-1, {1, 2, 3, 8}), 4u);
  EXPECT_EQ(concat_batch(0, {2, 2, 3, 4}), 1u);
  EXPECT_EQ(concat_batch(-4, {2, 2, 3, 4}), 1u);
}

TEST(CpuBatch, YoloNmsAndTransposeOfTheBatchAxisBlockBatching) {
  {
    GraphModel g;
    const uint64_t in = g.input({1, 6, 10});
    const uint64_t out = g.output({5, 6});
    g.node(OpKind::kYoloNms, {in}, {out},
           {{15, 5}, {16, 0}, {19, f32_word(1.0f)}, {20, f32_word(1.0f)},
            {29, f32_word(0.1f)}, {30, f32_word(0.5f)}});
    ASSERT_TRUE(g.open());
    StateHolder s(g.create(4));
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(s.state()->batch, 1u);
  }
  for (uint64_t first : {0u, 1u}) {
    GraphModel g;
    const uint64_t in = g.input({1, 3, 2});
    const uint64_t out = first == 0 ? g.output({1, 2, 3}) : g.output({3, 1, 2});
    const uint64_t second = first == 0 ? 2 : 0;
    const uint64_t third = first == 0 ? 1 : 2;
    g.node(OpKind::kTranspose, {in}, {out}, {{19, first}, {20, second}, {21, third}});
    ASSERT_TRUE(g.open());
    StateHolder s(g.create(4));
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(s.state()->batch, first == 0 ? 4u : 1u);
  }
}

TEST(CpuBatch, BatchedRunEqualsItemByItemRuns) {
  GraphModel g;
  const uint64_t in = g.input({1, 2, 3, 4});
  const uint64_t a = g.inter({1, 2, 3, 4});
  const uint64_t b = g.inter({1, 2, 3, 4});
  const uint64_t c = g.inter({1, 4, 3, 4});
  const uint64_t out = g.output({1, 4, 3, 4});
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kNeg, {in}, {b});
  g.node(OpKind::kConcat, {a, b}, {c}, {{26, 1}});
  g.node(OpKind::kSigmoid, {c}, {out});
  ASSERT_TRUE(g.open());
  StateHolder batched(g.create(3));
  StateHolder single(g.create(1));
  ASSERT_TRUE(batched.ok() && single.ok());
  ASSERT_EQ(batched.state()->batch, 3u);
  std::vector<float> x(3 * 24);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 7) - 3.0f;
  std::vector<float> y(3 * 48), y1(3 * 48);
  ASSERT_TRUE(cpu_run_batch(batched.handle(), 3, x.data(), y.data()));
  for (int item = 0; item < 3; ++item) {
    ASSERT_TRUE(cpu_run(single.handle(), x.data() + item * 24, y1.data() + item * 48));
  }
  EXPECT_EQ(0, std::memcmp(y.data(), y1.data(), y.size() * 4));
}

// Reference concatenation along channels of single-image tensors.
std::vector<float> concat_channels(const std::vector<std::vector<float>>& parts) {
  std::vector<float> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(CpuConcatInPlace, ProducersWriteStraightIntoTheConcatOutput) {
  GraphModel g;
  const uint64_t in = g.input({1, 4, 4, 4});
  const uint64_t a = g.inter({1, 4, 4, 4});
  const uint64_t b = g.inter({1, 4, 4, 4});
  const uint64_t c = g.inter({1, 4, 4, 4});
  const uint64_t cat = g.inter({1, 12, 4, 4});
  const uint64_t out = g.output({1, 12, 4, 4});
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kNeg, {in}, {b});
  g.node(OpKind::kAbs, {in}, {c});
  g.node(OpKind::kConcat, {a, b, c}, {cat}, {{26, axis_word(-3)}});
  g.node(OpKind::kFloor, {cat}, {out});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const CpuState* st = s.state();
  EXPECT_EQ(st->data[a], st->data[cat]);
  EXPECT_EQ(st->data[b], st->data[cat] + 64);
  EXPECT_EQ(st->data[c], st->data[cat] + 128);
  std::vector<float> x(64);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) * 0.75f - 20.0f;
  std::vector<float> ra(64), rb(64), rc(64);
  for (size_t i = 0; i < 64; ++i) {
    ra[i] = std::floor(x[i] >= 0 ? x[i] : 0.0f);
    rb[i] = std::floor(-x[i]);
    rc[i] = std::floor(std::fabs(x[i]));
  }
  std::vector<float> y(192);
  ASSERT_TRUE(cpu_run(s.handle(), x.data(), y.data()));
  EXPECT_EQ(y, concat_channels({ra, rb, rc}));
}

TEST(CpuConcatInPlace, NestedConcatsGiveThePlainResultWithAndWithoutFusion) {
  GraphModel g;
  const uint64_t in = g.input({1, 2, 2, 8});
  const uint64_t a = g.inter({1, 2, 2, 8});
  const uint64_t b = g.inter({1, 2, 2, 8});
  const uint64_t c = g.inter({1, 2, 2, 8});
  const uint64_t ab = g.inter({1, 4, 2, 8});
  const uint64_t abc = g.inter({1, 6, 2, 8});
  const uint64_t out = g.output({1, 6, 2, 8});
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kNeg, {in}, {b});
  g.node(OpKind::kConcat, {a, b}, {ab}, {{26, 1}});
  g.node(OpKind::kAbs, {in}, {c});
  g.node(OpKind::kConcat, {ab, c}, {abc}, {{26, 1}});
  g.node(OpKind::kCeil, {abc}, {out});
  ASSERT_TRUE(g.open());
  std::vector<float> x(32);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) * 0.3f - 4.6f;
  std::vector<float> ra(32), rb(32), rc(32);
  for (size_t i = 0; i < 32; ++i) {
    ra[i] = std::ceil(x[i] >= 0 ? x[i] : 0.0f);
    rb[i] = std::ceil(-x[i]);
    rc[i] = std::ceil(std::fabs(x[i]));
  }
  const std::vector<float> want = concat_channels({ra, rb, rc});
  for (bool fuse : {true, false}) {
    if (!fuse) setenv("VEXA_CPU_NOFUSE", "", 1);
    StateHolder s(g.create());
    unsetenv("VEXA_CPU_NOFUSE");
    ASSERT_TRUE(s.ok()) << s.message();
    std::vector<float> y(96);
    ASSERT_TRUE(cpu_run(s.handle(), x.data(), y.data()));
    EXPECT_EQ(y, want) << (fuse ? "fused" : "unfused");
  }
}

}  // namespace
}  // namespace vexa::cpu
