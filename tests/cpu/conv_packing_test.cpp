// Build-time packing of Conv weights for the direct path: which nodes it takes, that the
// packed nodes compute what the stored weights do, and that nothing outside the packing step
// can mark a node as packed.
#include "cpu/conv_packing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "cpu/op_table.h"
#include "cpu/ops/conv.h"
#include "dense_graph.h"
#include "dense_tolerance.h"

namespace vexa::cpu {
namespace {

using testing::output_of;
using testing::run;
using testing::TestGraph;

std::vector<std::pair<uint32_t, uint64_t>> window(uint64_t k, uint64_t stride, uint64_t group = 1) {
  const uint64_t pad = k / 2;
  return {{15, k}, {16, k}, {17, stride}, {18, stride}, {19, pad}, {20, pad}, {23, 1}, {24, 1},
          {25, group}};
}

// Two chained dense Convs (the second strided, with bias), a depthwise Conv, a 1x1 Conv, and
// two Convs that read one weight.
struct Graph {
  TestGraph g;
  uint64_t x, w3, w3b, wd, w1, shared, out;
  uint64_t c_dense, c_bias, c_depthwise, c_pointwise, c_shared1, c_shared2;
};

void build(Graph& m) {
  TestGraph& g = m.g;
  m.x = g.value(kValueGraphInput, {2, 8, 9, 11}, 1);
  m.w3 = g.weight({20, 8, 3, 3}, 2);
  const uint64_t a = g.act({2, 20, 9, 11});
  m.c_dense = g.node(OpKind::kConv, {m.x, m.w3}, {a}, window(3, 1));
  m.w3b = g.weight({16, 20, 3, 3}, 3);
  const uint64_t b = g.act({2, 16, 5, 6});
  m.c_bias = g.node(OpKind::kConv, {a, m.w3b, g.weight({16}, 4)}, {b}, window(3, 2));
  m.wd = g.weight({16, 1, 3, 3}, 5);
  const uint64_t d = g.act({2, 16, 5, 6});
  m.c_depthwise = g.node(OpKind::kConv, {b, m.wd}, {d}, window(3, 1, 16));
  m.w1 = g.weight({16, 16, 1, 1}, 6);
  const uint64_t p = g.act({2, 16, 5, 6});
  m.c_pointwise = g.node(OpKind::kConv, {d, m.w1}, {p}, window(1, 1));
  m.shared = g.weight({16, 16, 3, 3}, 7);
  const uint64_t s1 = g.act({2, 16, 5, 6});
  m.c_shared1 = g.node(OpKind::kConv, {p, m.shared}, {s1}, window(3, 1));
  m.out = g.value(kValueGraphOutput, {2, 16, 5, 6});
  m.c_shared2 = g.node(OpKind::kConv, {s1, m.shared}, {m.out}, window(3, 1));
}

TEST(ConvPacking, PacksTheDenseWindowsWithPrivateWeightsAndKeepsTheirResults) {
  Graph m;
  build(m);
  auto plain = m.g.state();
  ASSERT_TRUE(run(*plain));
  const auto want = output_of(*plain, m.out);

  auto packed = m.g.state();
  cpu_pack_conv_weights(*packed, true);
  const auto direct = [&](uint64_t n) { return packed->nodes[n].attr(kConvWordDirect); };
  EXPECT_EQ(direct(m.c_dense), 1);
  EXPECT_EQ(direct(m.c_bias), 1);
  EXPECT_EQ(direct(m.c_depthwise), 0);  // grouped
  EXPECT_EQ(direct(m.c_pointwise), 0);  // one tap
  EXPECT_EQ(direct(m.c_shared1), 0);    // its weight has two readers
  EXPECT_EQ(direct(m.c_shared2), 0);
  ASSERT_NE(packed->packed_weights, nullptr);
  EXPECT_NE(packed->data[m.w3], m.g.storage(m.w3).data());
  EXPECT_EQ(packed->data[m.shared], m.g.storage(m.shared).data());
  // The stored weights are left as they were.
  EXPECT_EQ(m.g.storage(m.w3), testing::lcg_values(20 * 8 * 9, 2));

  ASSERT_TRUE(run(*packed));
  const auto got = output_of(*packed, m.out);
  ASSERT_EQ(got.size(), want.size());
  std::vector<double> want_d(want.begin(), want.end());
  // Four chained products of up to 180 terms summed in another order: rounding grows with
  // the largest output, so the bound is relative to it.
  double largest = 0.0;
  for (double v : want_d) largest = std::max(largest, std::fabs(v));
  EXPECT_TRUE(testing::all_close(got, want_d, largest, 1e-5));
}

TEST(ConvPacking, AMarkFromTheContainerIsClearedAndNothingPackedWhenNotAllowed) {
  Graph m;
  build(m);
  auto s = m.g.state();
  // A node record that arrives marked, with its weights in the stored layout.
  for (uint64_t n = 0; n < s->node_count; ++n) s->nodes[n].w[kConvWordDirect] = 1;
  cpu_pack_conv_weights(*s, false);
  for (uint64_t n = 0; n < s->node_count; ++n) EXPECT_EQ(s->nodes[n].attr(kConvWordDirect), 0) << n;
  EXPECT_EQ(s->packed_weights, nullptr);
  EXPECT_EQ(s->data[m.w3], m.g.storage(m.w3).data());
  ASSERT_TRUE(run(*s));
}

}  // namespace
}  // namespace vexa::cpu
