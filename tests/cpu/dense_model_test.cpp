// Dense models through the real file path: written with the container writer, opened, built
// into a CPU state and run by the interpreter, with fusion on and with VEXA_CPU_NOFUSE set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "cpu_graph_fixture.h"
#include "dense_tolerance.h"
#include "tests/support/scoped_env.h"

namespace vexa::cpu {
namespace {

using graph_test::Attr;
using graph_test::f32_attr;
using graph_test::GraphModel;
using graph_test::StateHolder;
using testing::lcg_values;
using vexa::testing::ScopedEnv;

std::vector<float> run_once(GraphModel& m, const std::vector<float>& input, size_t out_count,
                            uint64_t* node_count) {
  StateHolder h(m.create());
  EXPECT_TRUE(h.ok()) << h.message();
  if (!h.ok()) return {};
  *node_count = h.state()->node_count;
  std::vector<float> out(out_count, -1.0f);
  EXPECT_TRUE(cpu_execute_graph(h.handle(), input.data(), out.data()));
  return out;
}

// Same outputs fused and unfused; returns (unfused, fused) node counts.
std::pair<uint64_t, uint64_t> compare_fusion(GraphModel& m, const std::vector<float>& input,
                                             size_t out_count) {
  uint64_t plain_nodes = 0, fused_nodes = 0;
  std::vector<float> plain;
  {
    ScopedEnv off("VEXA_CPU_NOFUSE", "");
    plain = run_once(m, input, out_count, &plain_nodes);
  }
  const std::vector<float> fused = run_once(m, input, out_count, &fused_nodes);
  std::vector<double> want(plain.begin(), plain.end());
  EXPECT_TRUE(testing::all_close(fused, want, 1.0, 1e-5));
  return {plain_nodes, fused_nodes};
}



TEST(DenseModel, ResNetBlockFusedAndUnfused) {
  GraphModel m;
  const uint64_t x = m.input({1, 3, 20, 20});
  const uint64_t c0 = m.inter({1, 8, 10, 10});
  m.node(OpKind::kConv, {x, m.weight({8, 3, 7, 7}, lcg_values(8 * 3 * 49, 1))}, {c0},
         {{15, 7}, {16, 7}, {17, 2}, {18, 2}, {19, 3}, {20, 3}, {21, 3}, {22, 3}, {23, 1}, {24, 1}});
  const uint64_t b0 = m.inter({1, 8, 10, 10});
  m.node(OpKind::kBatchNormalization,
         {c0, m.weight({8}, lcg_values(8, 2)), m.weight({8}, lcg_values(8, 3))}, {b0});
  const uint64_t r0 = m.inter({1, 8, 10, 10});
  m.node(OpKind::kRelu, {b0}, {r0});
  const uint64_t p0 = m.inter({1, 8, 5, 5});
  m.node(OpKind::kMaxPool, {r0}, {p0},
         {{15, 3}, {16, 3}, {17, 2}, {18, 2}, {19, 1}, {20, 1}, {21, 1}, {22, 1}});
  const uint64_t c1 = m.inter({1, 8, 5, 5});
  m.node(OpKind::kConv,
         {p0, m.weight({8, 8, 3, 3}, lcg_values(576, 4)), m.weight({8}, lcg_values(8, 5))}, {c1},
         {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1}, {24, 1}});
  const uint64_t b1 = m.inter({1, 8, 5, 5});
  m.node(OpKind::kBatchNormalization,
         {c1, m.weight({8}, lcg_values(8, 6)), m.weight({8}, lcg_values(8, 7))}, {b1});
  const uint64_t sum = m.inter({1, 8, 5, 5});
  m.node(OpKind::kAdd, {b1, p0}, {sum});
  const uint64_t r1 = m.inter({1, 8, 5, 5});
  m.node(OpKind::kRelu, {sum}, {r1});
  const uint64_t gp = m.inter({1, 8});
  m.node(OpKind::kGlobalAveragePool, {r1}, {gp});
  const uint64_t out = m.output({1, 4});
  m.node(OpKind::kGemm, {gp, m.weight({4, 8}, lcg_values(32, 8)), m.weight({4}, lcg_values(4, 9))},
         {out}, {{28, 1}, {29, f32_attr(1.0f)}, {30, f32_attr(1.0f)}});
  ASSERT_TRUE(m.open());
  const auto [plain, fused] = compare_fusion(m, lcg_values(3 * 400, 10), 4);
  EXPECT_EQ(plain, 10u);
  // Two BatchNormalizations and the stem's Relu gone; the residual Add and the Relu after it
  // became the block Conv's epilogue.
  EXPECT_EQ(fused, 5u);
}

TEST(DenseModel, MobileNetV2BlockFusedAndUnfused) {
  GraphModel m;
  const uint64_t x = m.input({1, 8, 14, 14});
  const uint64_t e = m.inter({1, 32, 14, 14});
  m.node(OpKind::kConv, {x, m.weight({32, 8, 1, 1}, lcg_values(256, 1))}, {e},
         {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}});
  const uint64_t eb = m.inter({1, 32, 14, 14});
  m.node(OpKind::kBatchNormalization,
         {e, m.weight({32}, lcg_values(32, 2)), m.weight({32}, lcg_values(32, 3))}, {eb});
  const uint64_t er = m.inter({1, 32, 14, 14});
  m.node(OpKind::kRelu, {eb}, {er});
  const uint64_t d = m.inter({1, 32, 7, 7});
  m.node(OpKind::kConv, {er, m.weight({32, 1, 3, 3}, lcg_values(288, 4))}, {d},
         {{15, 3}, {16, 3}, {17, 2}, {18, 2}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1}, {24, 1},
          {25, 32}});
  const uint64_t dr = m.inter({1, 32, 7, 7});
  m.node(OpKind::kRelu, {d}, {dr});
  const uint64_t db = m.inter({1, 32, 7, 7});
  m.node(OpKind::kBatchNormalization,
         {dr, m.weight({32}, lcg_values(32, 5)), m.weight({32}, lcg_values(32, 6))}, {db});
  const uint64_t p = m.inter({1, 16, 7, 7});
  m.node(OpKind::kConv, {db, m.weight({16, 32, 1, 1}, lcg_values(512, 7))}, {p},
         {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}});
  const uint64_t lr = m.inter({1, 16, 7, 7});
  m.node(OpKind::kLeakyRelu, {p}, {lr}, {{29, f32_attr(0.1f)}});
  const uint64_t t = m.inter({1, 16, 7, 7});
  m.node(OpKind::kMul, {lr, m.weight({1}, {0.5f})}, {t});
  const uint64_t out = m.output({1, 16, 7, 7});
  m.node(OpKind::kAdd, {t, p}, {out});
  ASSERT_TRUE(m.open());
  // p is read by the LeakyRelu and the Add, so that pair stays apart; the BatchNormalization
  // folds, the Relu fusion and the scaled Add remove five nodes.
  const auto [plain, fused] = compare_fusion(m, lcg_values(8 * 196, 11), 16 * 49);
  EXPECT_EQ(plain, 10u);
  EXPECT_EQ(fused, 5u);
}

TEST(DenseModel, SmallUNetFusedAndUnfused) {
  GraphModel m;
  const uint64_t x = m.input({1, 3, 16, 16});
  const uint64_t c1 = m.inter({1, 8, 16, 16});
  m.node(OpKind::kConv,
         {x, m.weight({8, 3, 3, 3}, lcg_values(216, 1)), m.weight({8}, lcg_values(8, 2))}, {c1},
         {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1}, {24, 1}});
  const uint64_t r1 = m.inter({1, 8, 16, 16});
  m.node(OpKind::kRelu, {c1}, {r1});
  const uint64_t p1 = m.inter({1, 8, 8, 8});
  m.node(OpKind::kAveragePool, {r1}, {p1}, {{15, 2}, {16, 2}, {17, 2}, {18, 2}});
  const uint64_t c2 = m.inter({1, 16, 8, 8});
  m.node(OpKind::kConv, {p1, m.weight({16, 8, 3, 3}, lcg_values(1152, 3))}, {c2},
         {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1}, {24, 1}});
  const uint64_t n2 = m.inter({1, 16, 8, 8});
  m.node(OpKind::kInstanceNormalization,
         {c2, m.weight({16}, lcg_values(16, 4)), m.weight({16}, lcg_values(16, 5))}, {n2},
         {{29, f32_attr(1e-5f)}});
  const uint64_t up = m.inter({1, 8, 16, 16});
  m.node(OpKind::kConvTranspose,
         {n2, m.weight({16, 8, 2, 2}, lcg_values(512, 6)), m.weight({8}, lcg_values(8, 7))}, {up},
         {{15, 2}, {16, 2}, {17, 2}, {18, 2}, {23, 1}, {24, 1}});
  const uint64_t ur = m.inter({1, 8, 16, 16});
  m.node(OpKind::kRelu, {up}, {ur});
  const uint64_t skip = m.inter({1, 8, 16, 16});
  m.node(OpKind::kAdd, {ur, r1}, {skip});
  const uint64_t g = m.inter({1, 8, 16, 16});
  m.node(OpKind::kGelu, {skip}, {g});
  const uint64_t out = m.output({1, 2, 16, 16});
  m.node(OpKind::kConv, {g, m.weight({2, 8, 1, 1}, lcg_values(16, 8))}, {out},
         {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}});
  ASSERT_TRUE(m.open());
  const auto [plain, fused] = compare_fusion(m, lcg_values(3 * 256, 12), 2 * 256);
  EXPECT_EQ(plain, 10u);
  EXPECT_EQ(fused, 8u);
}

TEST(DenseModel, MalformedConvIsRefusedAtBuild) {
  GraphModel m;
  const uint64_t x = m.input({1, 4, 8, 8});
  const uint64_t out = m.output({1, 6, 8, 8});
  // Weight of 5 input channels for a 4-channel input.
  m.node(OpKind::kConv, {x, m.weight({6, 5, 3, 3}, lcg_values(270, 1))}, {out},
         {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {23, 1}, {24, 1}});
  ASSERT_TRUE(m.open());
  StateHolder h(m.create());
  EXPECT_FALSE(h.ok());
  EXPECT_EQ(h.code(), ErrorCode::kInvalidModel);
  EXPECT_NE(h.message().find("Conv"), std::string::npos) << h.message();
}

}  // namespace
}  // namespace vexa::cpu
