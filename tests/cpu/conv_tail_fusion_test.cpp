// Conv -> Clip and Conv -> Sigmoid -> Mul folded into the Conv's epilogue: the fused graph
// gives the unfused bits, and the pass leaves graphs alone where the intermediate is read
// elsewhere or the Mul is not a gate of the same value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "cpu/fusion.h"
#include "cpu/ops/conv.h"
#include "dense_graph.h"

namespace vexa::cpu {
namespace {

using testing::k;
using testing::TestGraph;

constexpr uint32_t kWordActivation = 29;
constexpr uint32_t kWordClipLower = 29;
constexpr uint32_t kWordClipUpper = 30;

std::vector<std::pair<uint32_t, uint64_t>> conv3x3(uint64_t group = 1) {
  return {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {23, 1}, {24, 1}, {25, group}};
}

std::vector<uint64_t> kinds(const CpuState& s) {
  std::vector<uint64_t> out;
  for (uint64_t n = 0; n < s.node_count; ++n) out.push_back(s.nodes[n].kind());
  return out;
}

// Runs the graph unfused and fused, checks output `out` has the same bits both ways and
// returns the fused state.
TestGraph::StatePtr fuse_with_same_bits(TestGraph& g, uint64_t out) {
  auto plain = g.state();
  EXPECT_TRUE(testing::run(*plain));
  auto fused = g.state();
  testing::fuse(*fused);
  EXPECT_TRUE(testing::run(*fused));
  const uint64_t n = plain->values[out].element_count();
  EXPECT_EQ(std::memcmp(fused->data[out], plain->data[out], n * sizeof(float)), 0);
  return fused;
}

TEST(ConvTailFusion, ClipBecomesTheEpilogueWithBothBounds) {
  for (uint64_t group : {uint64_t{1}, uint64_t{6}}) {
    SCOPED_TRACE(group);
    TestGraph g;
    const uint64_t x = g.value(kValueGraphInput, {1, 6, 9, 11}, 1);
    const uint64_t w = g.weight({6, 6 / group, 3, 3}, 2), b = g.weight({6}, 3);
    const uint64_t c = g.act({1, 6, 9, 11});
    g.node(OpKind::kConv, {x, w, b}, {c}, conv3x3(group));
    const uint64_t out = g.value(kValueGraphOutput, {1, 6, 9, 11});
    g.node(OpKind::kClip, {c}, {out},
           {{kWordClipLower, f32_word(-0.25f)}, {kWordClipUpper, f32_word(0.375f)}});
    const auto s = fuse_with_same_bits(g, out);
    EXPECT_EQ(kinds(*s), (std::vector<uint64_t>{k(OpKind::kConv)}));
    EXPECT_EQ(s->nodes[0].attr(kWordActivation), kConvActClip);
    // Both bounds were reached, so both halves of the packed word were used.
    const float* y = s->data[out];
    int low = 0, high = 0;
    for (uint64_t i = 0; i < s->values[out].element_count(); ++i) {
      low += y[i] == -0.25f;
      high += y[i] == 0.375f;
    }
    EXPECT_GT(low, 0);
    EXPECT_GT(high, 0);
  }
}

TEST(ConvTailFusion, SigmoidGateBecomesTheEpilogueInEitherOperandOrder) {
  for (bool gate_first : {false, true}) {
    SCOPED_TRACE(gate_first);
    TestGraph g;
    // A plane of 40 x 60 outputs spans more than one piece of the gate buffer.
    const uint64_t x = g.value(kValueGraphInput, {1, 4, 40, 60}, 4);
    const uint64_t w = g.weight({5, 4, 3, 3}, 5), b = g.weight({5}, 6);
    const uint64_t c = g.act({1, 5, 40, 60});
    g.node(OpKind::kConv, {x, w, b}, {c}, conv3x3());
    const uint64_t sig = g.act({1, 5, 40, 60});
    g.node(OpKind::kSigmoid, {c}, {sig});
    const uint64_t out = g.value(kValueGraphOutput, {1, 5, 40, 60});
    if (gate_first) {
      g.node(OpKind::kMul, {sig, c}, {out});
    } else {
      g.node(OpKind::kMul, {c, sig}, {out});
    }
    const auto s = fuse_with_same_bits(g, out);
    EXPECT_EQ(kinds(*s), (std::vector<uint64_t>{k(OpKind::kConv)}));
    EXPECT_EQ(s->nodes[0].attr(kWordActivation), kConvActSilu);
  }
}

TEST(ConvTailFusion, OtherReadersOrOtherOperandsKeepTheNodes) {
  // The Conv's output also feeds an Add: the Clip stays a node.
  {
    TestGraph g;
    const uint64_t x = g.value(kValueGraphInput, {1, 2, 5, 5}, 7);
    const uint64_t c = g.act({1, 2, 5, 5});
    g.node(OpKind::kConv, {x, g.weight({2, 2, 3, 3}, 8)}, {c}, conv3x3());
    const uint64_t clip = g.act({1, 2, 5, 5});
    g.node(OpKind::kClip, {c}, {clip}, {{kWordClipLower, f32_word(0.0f)}, {kWordClipUpper, f32_word(6.0f)}});
    const uint64_t out = g.value(kValueGraphOutput, {1, 2, 5, 5});
    g.node(OpKind::kAdd, {clip, c}, {out});
    EXPECT_EQ(kinds(*fuse_with_same_bits(g, out)),
              (std::vector<uint64_t>{k(OpKind::kConv), k(OpKind::kClip), k(OpKind::kAdd)}));
  }
  // A third reader of the Conv's output, and a Mul of the gate with another value.
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant);
    TestGraph g;
    const uint64_t x = g.value(kValueGraphInput, {1, 2, 5, 5}, 9);
    const uint64_t c = g.act({1, 2, 5, 5});
    g.node(OpKind::kConv, {x, g.weight({2, 2, 3, 3}, 10)}, {c}, conv3x3());
    const uint64_t sig = g.act({1, 2, 5, 5});
    g.node(OpKind::kSigmoid, {c}, {sig});
    const uint64_t m = g.act({1, 2, 5, 5});
    const uint64_t out = g.value(kValueGraphOutput, {1, 2, 5, 5});
    if (variant == 0) {
      g.node(OpKind::kMul, {c, sig}, {m});
      g.node(OpKind::kAdd, {m, c}, {out});
    } else {
      g.node(OpKind::kMul, {x, sig}, {m});
      g.node(OpKind::kAdd, {m, c}, {out});
    }
    EXPECT_EQ(kinds(*fuse_with_same_bits(g, out)),
              (std::vector<uint64_t>{k(OpKind::kConv), k(OpKind::kSigmoid), k(OpKind::kMul),
                                     k(OpKind::kAdd)}));
  }
}

}  // namespace
}  // namespace vexa::cpu
