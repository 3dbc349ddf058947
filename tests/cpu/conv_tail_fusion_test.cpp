// Conv -> Clip and Conv -> Sigmoid -> Mul folded into the Conv's epilogue: the fused graph
// gives the unfused bits, and the pass leaves graphs alone where the intermediate is read
// elsewhere or the Mul is not a gate of the same value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "cpu/fusion.h"
#include "cpu/ops/conv.h"
#include "dense_graph.h"

namespace vexa::cpu {
namespace {

using testing::k;
using testing::kinds;
using testing::TestGraph;

constexpr uint32_t kWordActivation = 29;
constexpr uint32_t kWordClipLower = 29;
constexpr uint32_t kWordClipUpper = 30;

std::vector<std::pair<uint32_t, uint64_t>> conv3x3(uint64_t group = 1) {
  return {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {23, 1}, {24, 1}, {25, group}};
}

// Runs the graph unfused and fused, checks output `out` has the same bits both ways and
// returns the fused state.
TestGraph::StatePtr fuse_with_same_bits(TestGraph& g, uint64_t out) {
  // Both states run on the graph's own storage: keep the unfused output before the fused run
  // overwrites it.
  auto plain = g.state();
  EXPECT_TRUE(testing::run(*plain));
  const uint64_t n = plain->values[out].element_count();
  const std::vector<float> want(plain->data[out], plain->data[out] + n);
  std::fill(g.storage(out).begin(), g.storage(out).end(), std::nanf(""));
  auto fused = g.state();
  testing::fuse(*fused);
  EXPECT_TRUE(testing::run(*fused));
  EXPECT_EQ(std::memcmp(fused->data[out], want.data(), n * sizeof(float)), 0);
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

// Conv (bias) -> Mul(s) -> Add(b) -> hard-swish as Add(3), Clip(0, 6), Mul(x, .), Div(6) ->
// Sub(c) -> Mul(s2): one Conv with the chain as its program, same bits.
uint64_t affine_hard_swish_chain(TestGraph& g, uint64_t group, bool scalar_first) {
  const uint64_t x = g.value(kValueGraphInput, {1, 6, 33, 47}, 11);
  const uint64_t w = g.weight({6, 6 / group, 3, 3}, 12), b = g.weight({6}, 13);
  const uint64_t c = g.act({1, 6, 33, 47});
  g.node(OpKind::kConv, {x, w, b}, {c}, conv3x3(group));
  auto scalar = [&](float v) {
    const uint64_t id = g.weight({1}, 1);
    g.storage(id)[0] = v;
    return id;
  };
  auto binary = [&](OpKind kind, uint64_t in, uint64_t s) {
    const uint64_t out = g.act({1, 6, 33, 47});
    if (scalar_first && kind != OpKind::kDiv && kind != OpKind::kSub) {
      g.node(kind, {s, in}, {out});
    } else {
      g.node(kind, {in, s}, {out});
    }
    return out;
  };
  const uint64_t m = binary(OpKind::kMul, c, scalar(1.75f));
  const uint64_t a = binary(OpKind::kAdd, m, scalar(-0.125f));
  const uint64_t a3 = binary(OpKind::kAdd, a, scalar(3.0f));
  const uint64_t clip = g.act({1, 6, 33, 47});
  g.node(OpKind::kClip, {a3}, {clip}, {{kWordClipLower, f32_word(0.0f)}, {kWordClipUpper, f32_word(6.0f)}});
  const uint64_t hs = g.act({1, 6, 33, 47});
  g.node(OpKind::kMul, scalar_first ? std::initializer_list<uint64_t>{clip, a}
                                    : std::initializer_list<uint64_t>{a, clip}, {hs});
  const uint64_t d = binary(OpKind::kDiv, hs, scalar(6.0f));
  const uint64_t sub = binary(OpKind::kSub, d, scalar(0.5f));
  const uint64_t out = g.value(kValueGraphOutput, {1, 6, 33, 47});
  if (scalar_first) {
    g.node(OpKind::kMul, {scalar(0.625f), sub}, {out});
  } else {
    g.node(OpKind::kMul, {sub, scalar(0.625f)}, {out});
  }
  return out;
}

TEST(ConvTailFusion, ScalarChainWithHardSwishBecomesTheProgram) {
  for (uint64_t group : {uint64_t{1}, uint64_t{6}}) {
    for (bool scalar_first : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "group " << group << " scalar first " << scalar_first);
      TestGraph g;
      const uint64_t out = affine_hard_swish_chain(g, group, scalar_first);
      const auto s = fuse_with_same_bits(g, out);
      EXPECT_EQ(kinds(*s), (std::vector<uint64_t>{k(OpKind::kConv)}));
      EXPECT_EQ(s->nodes[0].attr(kWordActivation), kConvActProgram);
      // Mul, Add, Save, Add, Clip, Mul by the saved value, Div, Add (the Sub), Mul.
      EXPECT_EQ(s->data[s->nodes[0].input(2)][6], 9.0f);
    }
  }
}

TEST(ConvTailFusion, ChainsStopWhereAValueLeavesTheChain) {
  // The affine's output is also read after the chain: Mul and Add fold, the Relu does not,
  // since a saved value must be consumed inside the program.
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {1, 2, 6, 6}, 21);
  const uint64_t c = g.act({1, 2, 6, 6});
  g.node(OpKind::kConv, {x, g.weight({2, 2, 3, 3}, 22), g.weight({2}, 23)}, {c}, conv3x3());
  const uint64_t s1 = g.weight({1}, 24), b1 = g.weight({1}, 25);
  const uint64_t m = g.act({1, 2, 6, 6});
  g.node(OpKind::kMul, {c, s1}, {m});
  const uint64_t a = g.act({1, 2, 6, 6});
  g.node(OpKind::kAdd, {m, b1}, {a});
  const uint64_t r = g.act({1, 2, 6, 6});
  g.node(OpKind::kRelu, {a}, {r});
  const uint64_t out = g.value(kValueGraphOutput, {1, 2, 6, 6});
  g.node(OpKind::kAdd, {r, a}, {out});
  EXPECT_EQ(kinds(*fuse_with_same_bits(g, out)),
            (std::vector<uint64_t>{k(OpKind::kConv), k(OpKind::kRelu), k(OpKind::kAdd)}));
}

TEST(ConvTailFusion, ABiasComputedAtRunTimeKeepsTheChainUnfused) {
  // The table takes a copy of the bias when the engine is built; a bias that is a graph input
  // has no values then.
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {1, 2, 5, 5}, 31);
  const uint64_t bias = g.value(kValueGraphInput, {2}, 32);
  const uint64_t c = g.act({1, 2, 5, 5});
  g.node(OpKind::kConv, {x, g.weight({2, 2, 3, 3}, 33), bias}, {c}, conv3x3());
  const uint64_t m = g.act({1, 2, 5, 5});
  g.node(OpKind::kMul, {c, g.weight({1}, 34)}, {m});
  const uint64_t out = g.value(kValueGraphOutput, {1, 2, 5, 5});
  g.node(OpKind::kAdd, {m, g.weight({1}, 35)}, {out});
  EXPECT_EQ(kinds(*fuse_with_same_bits(g, out)),
            (std::vector<uint64_t>{k(OpKind::kConv), k(OpKind::kMul), k(OpKind::kAdd)}));
}

TEST(ConvTailFusion, ProgramsFromATableOutsideTheirRoomRunNoStep) {
  // The table is a weight a container could hold: a step count beyond the room, a NaN count
  // and a Mul by a never-saved value leave the plane as bias only.
  ConvGeometry g;
  g.c_in = g.c_out = 1, g.h = g.w = g.oh = g.ow = 4;
  const std::vector<float> x(16, 2.0f), w(1, 0.5f);
  for (float count : {100.0f, -1.0f, std::nanf(""), 1.0f}) {
    SCOPED_TRACE(count);
    std::vector<float> table(1 + kConvTailProgramFloats, 0.0f);
    table[0] = 0.25f;  // bias
    table[1] = count;
    table[2] = kTailMulSaved;
    ConvEpilogue e;
    e.activation = kConvActProgram;
    e.table = table.data();
    e.program = table.data() + 1;
    std::vector<float> y(16);
    cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, nullptr, 0);
    for (float v : y) EXPECT_EQ(v, 1.25f);
  }
}

}  // namespace
}  // namespace vexa::cpu
