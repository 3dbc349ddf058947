// Prepare-time fusion: graphs shaped like ResNet, MobileNetV2 and a small UNet give the same
// outputs fused and unfused, and each pass removes exactly the nodes it should.
#include "cpu/fusion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cpu/interpreter.h"
#include "cpu/op_table.h"
#include "cpu/ops/conv.h"
#include "cpu_graph_fixture.h"
#include "dense_graph.h"
#include "dense_tolerance.h"

namespace vexa::cpu {
namespace {

using testing::k;
using testing::kinds;
using testing::output_of;
using testing::lcg_values;
using testing::TestGraph;
using testing::fuse;
using testing::run;

// Runs the graph unfused and fused from the same input and compares output `out`.
void expect_same_results(TestGraph& g, uint64_t out, const std::vector<uint64_t>& fused_kinds) {
  auto plain = g.state();
  ASSERT_TRUE(run(*plain));
  const auto want = output_of(*plain, out);
  auto fused = g.state();
  fuse(*fused);
  EXPECT_EQ(kinds(*fused), fused_kinds);
  ASSERT_TRUE(run(*fused));
  const auto got = output_of(*fused, out);
  ASSERT_EQ(got.size(), want.size());
  std::vector<double> want_d(want.begin(), want.end());
  EXPECT_TRUE(testing::all_close(got, want_d, 1.0, 1e-5));
}

std::vector<std::pair<uint32_t, uint64_t>> conv3x3_attrs() {
  return {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {23, 1}, {24, 1}};
}
std::vector<std::pair<uint32_t, uint64_t>> conv1x1_attrs() {
  return {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}};
}

TEST(Fusion, ResNetShapedGraph) {
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {1, 3, 16, 16}, 1);
  // Stem: 7x7 stride-2 Conv, BatchNormalization, Relu, 3x3 stride-2 MaxPool.
  const uint64_t w0 = g.weight({8, 3, 7, 7}, 2);
  const uint64_t c0 = g.act({1, 8, 8, 8});
  g.node(OpKind::kConv, {x, w0}, {c0},
         {{15, 7}, {16, 7}, {17, 2}, {18, 2}, {19, 3}, {20, 3}, {23, 1}, {24, 1}});
  const uint64_t s0 = g.weight({8}, 3), h0 = g.weight({8}, 4);
  const uint64_t b0 = g.act({1, 8, 8, 8});
  g.node(OpKind::kBatchNormalization, {c0, s0, h0}, {b0});
  const uint64_t r0 = g.act({1, 8, 8, 8});
  g.node(OpKind::kRelu, {b0}, {r0});
  const uint64_t p0 = g.act({1, 8, 4, 4});
  g.node(OpKind::kMaxPool, {r0}, {p0}, {{15, 3}, {16, 3}, {17, 2}, {18, 2}, {19, 1}, {20, 1}});
  // Basic block: Conv+bias, BN, Relu, Conv, BN, Add with the block input, Relu.
  const uint64_t w1 = g.weight({8, 8, 3, 3}, 5), bias1 = g.weight({8}, 6);
  const uint64_t c1 = g.act({1, 8, 4, 4});
  g.node(OpKind::kConv, {p0, w1, bias1}, {c1}, conv3x3_attrs());
  const uint64_t s1 = g.weight({8}, 7), h1 = g.weight({8}, 8);
  const uint64_t b1 = g.act({1, 8, 4, 4});
  g.node(OpKind::kBatchNormalization, {c1, s1, h1}, {b1});
  const uint64_t r1 = g.act({1, 8, 4, 4});
  g.node(OpKind::kRelu, {b1}, {r1});
  const uint64_t w2 = g.weight({8, 8, 3, 3}, 9);
  const uint64_t c2 = g.act({1, 8, 4, 4});
  g.node(OpKind::kConv, {r1, w2}, {c2}, conv3x3_attrs());
  const uint64_t s2 = g.weight({8}, 10), h2 = g.weight({8}, 11);
  const uint64_t b2 = g.act({1, 8, 4, 4});
  g.node(OpKind::kBatchNormalization, {c2, s2, h2}, {b2});
  const uint64_t a2 = g.act({1, 8, 4, 4});
  g.node(OpKind::kAdd, {b2, p0}, {a2});
  const uint64_t r2 = g.act({1, 8, 4, 4});
  g.node(OpKind::kRelu, {a2}, {r2});
  // Pooled planes read as a 1 x 8 matrix by the classifier Gemm (B stored transposed).
  const uint64_t gp2 = g.act({1, 8});
  g.node(OpKind::kGlobalAveragePool, {r2}, {gp2});
  const uint64_t fc_b = g.weight({10}, 13), out = g.value(kValueGraphOutput, {1, 10});
  const uint64_t fc_w2 = g.weight({10, 8}, 14);
  g.node(OpKind::kGemm, {gp2, fc_w2, fc_b}, {out},
         {{28, 1}, {29, f32_word(1.0f)}, {30, f32_word(1.0f)}});
  expect_same_results(g, out,
                      {k(OpKind::kConv), k(OpKind::kMaxPool), k(OpKind::kConv), k(OpKind::kConv),
                       k(OpKind::kGlobalAveragePool), k(OpKind::kGemm)});
  auto s = g.state();
  fuse(*s);
  EXPECT_EQ(s->nodes[0].attr(29), kConvActRelu);
  EXPECT_EQ(s->nodes[2].attr(29), kConvActRelu);
  // The second block Conv had no bias: it reads the BatchNormalization's shift now, then the
  // block input as its residual, and ends with the block's Relu.
  EXPECT_EQ(s->nodes[3].input_count(), 4u);
  EXPECT_EQ(s->nodes[3].input(2), h2);
  EXPECT_EQ(s->nodes[3].input(kConvResidualInput), p0);
  EXPECT_EQ(s->nodes[3].output(0), r2);
  EXPECT_EQ(s->nodes[3].attr(29), kConvActRelu);
  // Folded weights live in the state's buffer; the stored ones are left as they were.
  EXPECT_NE(s->data[w1], g.storage(w1).data());
  EXPECT_EQ(s->values[c1].byte_size(), 0u);
}

TEST(Fusion, MobileNetV2ShapedGraph) {
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {1, 8, 12, 12}, 1);
  // Inverted residual: 1x1 expand (bias) + BN + Relu, depthwise 3x3 + BN + Relu,
  // 1x1 project + BN, residual Add.
  const uint64_t we = g.weight({24, 8, 1, 1}, 2), be = g.weight({24}, 3);
  const uint64_t ce = g.act({1, 24, 12, 12});
  g.node(OpKind::kConv, {x, we, be}, {ce}, conv1x1_attrs());
  const uint64_t bne = g.act({1, 24, 12, 12});
  g.node(OpKind::kBatchNormalization, {ce, g.weight({24}, 4), g.weight({24}, 5)}, {bne});
  const uint64_t re = g.act({1, 24, 12, 12});
  g.node(OpKind::kRelu, {bne}, {re});
  const uint64_t wd = g.weight({24, 1, 3, 3}, 6);
  const uint64_t cd = g.act({1, 24, 12, 12});
  g.node(OpKind::kConv, {re, wd}, {cd},
         {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {23, 1}, {24, 1}, {25, 24}});
  const uint64_t bnd = g.act({1, 24, 12, 12});
  g.node(OpKind::kBatchNormalization, {cd, g.weight({24}, 7), g.weight({24}, 8)}, {bnd});
  const uint64_t rd = g.act({1, 24, 12, 12});
  g.node(OpKind::kRelu, {bnd}, {rd});
  const uint64_t wp = g.weight({8, 24, 1, 1}, 9);
  const uint64_t cp = g.act({1, 8, 12, 12});
  g.node(OpKind::kConv, {rd, wp}, {cp}, conv1x1_attrs());
  const uint64_t bnp = g.act({1, 8, 12, 12});
  g.node(OpKind::kBatchNormalization, {cp, g.weight({8}, 10), g.weight({8}, 11)}, {bnp});
  const uint64_t sum = g.act({1, 8, 12, 12});
  g.node(OpKind::kAdd, {bnp, x}, {sum});
  // Conv -> Relu -> BatchNormalization keeps the BN after the ReLU (three-plane table).
  const uint64_t wq = g.weight({8, 8, 3, 3}, 12), bq = g.weight({8}, 13);
  const uint64_t cq = g.act({1, 8, 12, 12});
  g.node(OpKind::kConv, {sum, wq, bq}, {cq}, conv3x3_attrs());
  const uint64_t rq = g.act({1, 8, 12, 12});
  g.node(OpKind::kRelu, {cq}, {rq});
  const uint64_t bnq = g.act({1, 8, 12, 12});
  const uint64_t sq = g.weight({8}, 14);
  g.node(OpKind::kBatchNormalization, {rq, sq, g.weight({8}, 15)}, {bnq});
  // Conv -> LeakyRelu, then a Mul by a one-element weight followed by an Add.
  const uint64_t wl = g.weight({8, 8, 1, 1}, 16);
  const uint64_t cl = g.act({1, 8, 12, 12});
  g.node(OpKind::kConv, {bnq, wl}, {cl}, conv1x1_attrs());
  const uint64_t lr = g.act({1, 8, 12, 12});
  g.node(OpKind::kLeakyRelu, {cl}, {lr}, {{29, f32_word(0.2f)}});
  const uint64_t scalar = g.weight({1}, 17);
  const uint64_t t = g.act({1, 8, 12, 12});
  g.node(OpKind::kMul, {lr, scalar}, {t});
  const uint64_t out = g.value(kValueGraphOutput, {1, 8, 12, 12});
  g.node(OpKind::kAdd, {sum, t}, {out});

  expect_same_results(g, out,
                      {k(OpKind::kConv), k(OpKind::kConv), k(OpKind::kConv), k(OpKind::kConv),
                       k(OpKind::kConv), k(OpKind::kAdd)});
  auto s = g.state();
  fuse(*s);
  EXPECT_EQ(s->nodes[1].attr(29), kConvActRelu);  // depthwise + BN + Relu
  // The projection Conv takes the block input as its residual and writes the sum.
  EXPECT_EQ(s->nodes[2].input(kConvResidualInput), x);
  EXPECT_EQ(s->nodes[2].output(0), sum);
  EXPECT_EQ(s->nodes[2].attr(29), kConvActNone);
  EXPECT_EQ(s->nodes[3].attr(29), kConvActReluAffine);  // Conv, Relu, BN
  EXPECT_EQ(s->nodes[3].input(2), sq);
  EXPECT_EQ(s->values[sq].element_count(), 24u);
  EXPECT_EQ(s->nodes[4].attr(29), kConvActLeakyRelu);
  EXPECT_EQ(s->nodes[4].attr_f32(30), 0.2f);
  EXPECT_EQ(s->nodes[5].attr(29), 1);  // scaled Add: lr x s + sum
  EXPECT_EQ(s->nodes[5].input(0), lr);
  EXPECT_EQ(s->nodes[5].input(1), sum);
  EXPECT_EQ(s->nodes[5].attr_f32(30), g.storage(scalar)[0]);
}

TEST(Fusion, SmallUNetShapedGraph) {
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {1, 4, 16, 16}, 1);
  const uint64_t c1 = g.act({1, 8, 16, 16});
  g.node(OpKind::kConv, {x, g.weight({8, 4, 3, 3}, 2), g.weight({8}, 3)}, {c1}, conv3x3_attrs());
  const uint64_t r1 = g.act({1, 8, 16, 16});
  g.node(OpKind::kRelu, {c1}, {r1});
  const uint64_t p1 = g.act({1, 8, 8, 8});
  g.node(OpKind::kMaxPool, {r1}, {p1}, {{15, 2}, {16, 2}, {17, 2}, {18, 2}});
  const uint64_t c2 = g.act({1, 16, 8, 8});
  g.node(OpKind::kConv, {p1, g.weight({16, 8, 3, 3}, 4)}, {c2}, conv3x3_attrs());
  const uint64_t l2 = g.act({1, 16, 8, 8});
  g.node(OpKind::kLeakyRelu, {c2}, {l2}, {{29, f32_word(0.1f)}});
  const uint64_t up = g.act({1, 8, 16, 16});
  g.node(OpKind::kConvTranspose, {l2, g.weight({16, 8, 2, 2}, 5), g.weight({8}, 6)}, {up},
         {{15, 2}, {16, 2}, {17, 2}, {18, 2}, {23, 1}, {24, 1}});
  const uint64_t ru = g.act({1, 8, 16, 16});
  g.node(OpKind::kRelu, {up}, {ru});
  const uint64_t skip = g.act({1, 8, 16, 16});
  g.node(OpKind::kAdd, {ru, r1}, {skip});
  const uint64_t out = g.value(kValueGraphOutput, {1, 2, 16, 16});
  g.node(OpKind::kConv, {skip, g.weight({2, 8, 1, 1}, 7), g.weight({2}, 8)}, {out},
         conv1x1_attrs());
  expect_same_results(g, out,
                      {k(OpKind::kConv), k(OpKind::kMaxPool), k(OpKind::kConv),
                       k(OpKind::kConvTranspose), k(OpKind::kAdd), k(OpKind::kConv)});
  auto s = g.state();
  fuse(*s);
  EXPECT_EQ(s->nodes[3].attr(29), kConvActRelu);  // ConvTranspose -> Relu fused
}

TEST(Fusion, ConcatReadsAnInnerConcatsInputs) {
  struct Case {
    const char* name;
    int inner_inputs, outer_inputs;
    int64_t inner_axis, outer_axis;
    uint64_t batch;
    bool absorbed;
  };
  const Case cases[] = {
      {"axis 1", 2, 2, 1, 1, 1, true},
      {"axis -3 both", 3, 2, -3, -3, 1, true},
      {"nine inputs in all", 4, 6, 1, 1, 1, false},
      {"eight inputs in all", 4, 5, 1, 1, 1, true},
      {"inner on another axis", 2, 2, 2, 1, 1, false},
      {"batch of two", 2, 2, 1, 1, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestGraph g;
    std::vector<uint64_t> inner_in, outer_rest;
    for (int i = 0; i < c.inner_inputs; ++i) inner_in.push_back(g.value(kValueGraphInput, {c.batch, 1, 2, 2}, 1));
    for (int i = 1; i < c.outer_inputs; ++i) outer_rest.push_back(g.value(kValueGraphInput, {c.batch, 1, 2, 2}, 2));
    const uint64_t inner_out = g.act({c.batch, static_cast<uint64_t>(c.inner_inputs), 2, 2});
    const uint64_t out = g.value(kValueGraphOutput,
                                 {c.batch, static_cast<uint64_t>(c.inner_inputs + c.outer_inputs - 1), 2, 2});
    CpuNode inner{}, outer{};
    inner.w[kNodeWordKind] = k(OpKind::kConcat);
    inner.w[kNodeWordInputCount] = inner_in.size();
    for (size_t i = 0; i < inner_in.size(); ++i) inner.w[kNodeWordFirstInput + i] = inner_in[i];
    inner.w[kNodeWordOutputCount] = 1;
    inner.w[kNodeWordFirstOutput] = inner_out;
    inner.w[26] = static_cast<uint64_t>(c.inner_axis);
    outer.w[kNodeWordKind] = k(OpKind::kConcat);
    outer.w[kNodeWordInputCount] = c.outer_inputs;
    outer.w[kNodeWordFirstInput] = inner_out;
    for (size_t i = 0; i < outer_rest.size(); ++i) outer.w[kNodeWordFirstInput + 1 + i] = outer_rest[i];
    outer.w[kNodeWordOutputCount] = 1;
    outer.w[kNodeWordFirstOutput] = out;
    outer.w[26] = static_cast<uint64_t>(c.outer_axis);
    auto s = g.state();
    s->node_count = 2;
    s->nodes[0] = inner;
    s->nodes[1] = outer;
    fuse(*s);
    ASSERT_EQ(s->node_count, 2u);  // the inner Concat still runs
    const CpuNode& n = s->nodes[1];
    if (c.absorbed) {
      std::vector<uint64_t> want = inner_in;
      want.insert(want.end(), outer_rest.begin(), outer_rest.end());
      ASSERT_EQ(n.input_count(), want.size());
      for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(n.input(static_cast<uint32_t>(i)), want[i]);
    } else {
      EXPECT_EQ(n.input_count(), static_cast<uint64_t>(c.outer_inputs));
      EXPECT_EQ(n.input(0), inner_out);
    }
  }
}

TEST(Fusion, ScaledAddIsNotFusedTwice) {
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {4}, 1);
  const uint64_t t = g.act({4});
  g.node(OpKind::kMul, {x, g.weight({1}, 2)}, {t});
  const uint64_t out = g.value(kValueGraphOutput, {4});
  g.node(OpKind::kAdd, {t, x}, {out}, {{29, 1}, {30, f32_word(2.0f)}});
  auto s = g.state();
  fuse(*s);
  EXPECT_EQ(s->node_count, 2u);
}

TEST(Fusion, TransposedGemmWeightIsPrepacked) {
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {4, 6}, 1);
  const uint64_t w = g.weight({5, 6}, 2);  // N x K, read transposed
  const uint64_t c = g.weight({5}, 3);
  const uint64_t out = g.value(kValueGraphOutput, {4, 5});
  g.node(OpKind::kGemm, {x, w, c}, {out}, {{28, 1}, {29, f32_word(1.5f)}, {30, f32_word(1.0f)}});
  expect_same_results(g, out, {k(OpKind::kGemm)});
  auto s = g.state();
  fuse(*s);
  EXPECT_EQ(s->nodes[0].attr(28), 0);
  EXPECT_EQ(s->values[w].dim(0), 6u);
  EXPECT_EQ(s->values[w].dim(1), 5u);
  EXPECT_EQ(s->data[w][1 * 5 + 2], g.storage(w)[2 * 6 + 1]);  // packed[k][n] = stored[n][k]
  // A one-row product and a weight read by two nodes stay as stored.
  TestGraph h;
  const uint64_t x1 = h.value(kValueGraphInput, {1, 6}, 1);
  const uint64_t w1 = h.weight({5, 6}, 2);
  const uint64_t y1 = h.act({1, 5});
  h.node(OpKind::kGemm, {x1, w1}, {y1}, {{28, 1}, {29, f32_word(1.0f)}});
  const uint64_t x2 = h.value(kValueGraphInput, {3, 6}, 4);
  const uint64_t y2 = h.value(kValueGraphOutput, {3, 5});
  h.node(OpKind::kGemm, {x2, w1}, {y2}, {{28, 1}, {29, f32_word(1.0f)}});
  auto t = h.state();
  fuse(*t);
  EXPECT_EQ(t->nodes[0].attr(28), 1);
  EXPECT_EQ(t->nodes[1].attr(28), 1);
  EXPECT_EQ(t->fused_weights, nullptr);
}

TEST(Fusion, PatternsThatMustStayUnfused) {
  struct Case {
    const char* name;
    void (*build)(TestGraph& g, uint64_t* out);
    size_t node_count;
  };
  const Case cases[] = {
      {"BN input read twice",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {1, 2, 4, 4}, 1);
         const uint64_t c = g.act({1, 3, 4, 4});
         g.node(OpKind::kConv, {x, g.weight({3, 2, 3, 3}, 2)}, {c}, conv3x3_attrs());
         const uint64_t b = g.act({1, 3, 4, 4});
         g.node(OpKind::kBatchNormalization, {c, g.weight({3}, 3), g.weight({3}, 4)}, {b});
         *out = g.value(kValueGraphOutput, {1, 3, 4, 4});
         g.node(OpKind::kAdd, {b, c}, {*out});
       },
       3},
      {"Conv weight shared",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {1, 3, 4, 4}, 1);
         const uint64_t w = g.weight({3, 3, 3, 3}, 2);
         const uint64_t c = g.act({1, 3, 4, 4});
         g.node(OpKind::kConv, {x, w}, {c}, conv3x3_attrs());
         const uint64_t b = g.act({1, 3, 4, 4});
         g.node(OpKind::kBatchNormalization, {c, g.weight({3}, 3), g.weight({3}, 4)}, {b});
         *out = g.value(kValueGraphOutput, {1, 3, 4, 4});
         g.node(OpKind::kConv, {b, w}, {*out}, conv3x3_attrs());
       },
       3},
      {"Conv bias shared with another Conv",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {1, 3, 4, 4}, 1);
         const uint64_t bias = g.weight({3}, 5);
         const uint64_t c = g.act({1, 3, 4, 4});
         g.node(OpKind::kConv, {x, g.weight({3, 3, 3, 3}, 2), bias}, {c}, conv3x3_attrs());
         const uint64_t b = g.act({1, 3, 4, 4});
         g.node(OpKind::kBatchNormalization, {c, g.weight({3}, 3), g.weight({3}, 4)}, {b});
         *out = g.value(kValueGraphOutput, {1, 3, 4, 4});
         g.node(OpKind::kConv, {b, g.weight({3, 3, 3, 3}, 6), bias}, {*out}, conv3x3_attrs());
       },
       3},
      {"BN scale does not match the Conv's channels",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {1, 2, 4, 4}, 1);
         const uint64_t c = g.act({1, 1, 4, 4});
         g.node(OpKind::kConv, {x, g.weight({1, 2, 3, 3}, 2)}, {c}, conv3x3_attrs());
         *out = g.value(kValueGraphOutput, {1, 1, 4, 4});
         g.node(OpKind::kBatchNormalization, {c, g.weight({4}, 3), g.weight({4}, 4)}, {*out});
       },
       2},
      {"ConvTranspose then LeakyRelu",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {1, 2, 3, 3}, 1);
         const uint64_t c = g.act({1, 2, 6, 6});
         g.node(OpKind::kConvTranspose, {x, g.weight({2, 2, 2, 2}, 2)}, {c},
                {{15, 2}, {16, 2}, {17, 2}, {18, 2}, {23, 1}, {24, 1}});
         *out = g.value(kValueGraphOutput, {1, 2, 6, 6});
         g.node(OpKind::kLeakyRelu, {c}, {*out}, {{29, f32_word(0.1f)}});
       },
       2},
      {"Conv output is a graph output",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {1, 2, 4, 4}, 1);
         const uint64_t c = g.value(kValueGraphOutput, {1, 2, 4, 4});
         g.node(OpKind::kConv, {x, g.weight({2, 2, 3, 3}, 2)}, {c}, conv3x3_attrs());
         *out = g.value(kValueGraphOutput, {1, 2, 4, 4});
         g.node(OpKind::kRelu, {c}, {*out});
       },
       2},
      {"Mul by a two-element weight",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {2}, 1);
         const uint64_t t = g.act({2});
         g.node(OpKind::kMul, {x, g.weight({2}, 2)}, {t});
         *out = g.value(kValueGraphOutput, {2});
         g.node(OpKind::kAdd, {t, x}, {*out});
       },
       2},
      {"Add that broadcasts",
       [](TestGraph& g, uint64_t* out) {
         const uint64_t x = g.value(kValueGraphInput, {2, 3}, 1);
         const uint64_t t = g.act({2, 3});
         g.node(OpKind::kMul, {g.weight({1}, 2), x}, {t});
         *out = g.value(kValueGraphOutput, {2, 3});
         g.node(OpKind::kAdd, {t, g.weight({3}, 3)}, {*out});
       },
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestGraph g;
    uint64_t out = 0;
    c.build(g, &out);
    auto s = g.state();
    fuse(*s);
    EXPECT_EQ(s->node_count, c.node_count);
    EXPECT_EQ(s->fused_weights, nullptr);
    if (s->node_count == c.node_count) {
      auto plain = g.state();
      ASSERT_TRUE(run(*plain));
      const auto want = output_of(*plain, out);
      ASSERT_TRUE(run(*s));
      EXPECT_EQ(output_of(*s, out), want);
    }
  }
}


// A Conv bias computed at run time (here a second graph input) has no values while the engine
// is built, so a fusion that copies the bias into a table at build time must leave such a Conv
// alone. Checked through the real build against a written-out 1x1 convolution.
TEST(Fusion, RunTimeConvBiasKeepsItsValues) {
  constexpr uint64_t kIn = 2, kOut = 3, kPlane = 4;
  enum class Tail { kReluBatchNorm, kScalarAffine };
  for (Tail tail : {Tail::kReluBatchNorm, Tail::kScalarAffine}) {
    SCOPED_TRACE(tail == Tail::kReluBatchNorm ? "Relu, BatchNormalization" : "Mul, Add");
    const std::vector<float> w = lcg_values(kOut * kIn, 2);
    const std::vector<float> scale = {0.5f, -1.5f, 2.0f}, shift = {0.25f, 1.0f, -0.75f};
    graph_test::GraphModel g;
    const uint64_t x = g.input({1, kIn, 2, 2});
    const uint64_t bias = g.input({kOut});
    const uint64_t c = g.inter({1, kOut, 2, 2});
    g.node(OpKind::kConv, {x, g.weight({kOut, kIn, 1, 1}, w), bias}, {c},
           {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}});
    const uint64_t y = g.output({1, kOut, 2, 2});
    if (tail == Tail::kReluBatchNorm) {
      const uint64_t r = g.inter({1, kOut, 2, 2});
      g.node(OpKind::kRelu, {c}, {r});
      g.node(OpKind::kBatchNormalization, {r, g.weight({kOut}, scale), g.weight({kOut}, shift)},
             {y});
    } else {
      const uint64_t m = g.inter({1, kOut, 2, 2});
      g.node(OpKind::kMul, {c, g.weight({1}, {scale[0]})}, {m});
      g.node(OpKind::kAdd, {m, g.weight({1}, {shift[0]})}, {y});
    }
    ASSERT_TRUE(g.open());
    graph_test::StateHolder st(g.create());
    ASSERT_TRUE(st.ok()) << st.message();
    const std::vector<float> xv = lcg_values(kIn * kPlane, 3);
    const std::vector<float> bv = {1.0f, -2.0f, 0.5f};
    ASSERT_TRUE(cpu_set_input(st.handle(), bias, bv.data(), bv.size() * sizeof(float)));
    std::vector<float> got(kOut * kPlane);
    ASSERT_TRUE(cpu_run(st.handle(), xv.data(), got.data()));
    for (uint64_t o = 0; o < kOut; ++o) {
      for (uint64_t p = 0; p < kPlane; ++p) {
        float v = bv[o];
        for (uint64_t i = 0; i < kIn; ++i) v += w[o * kIn + i] * xv[i * kPlane + p];
        const float want = tail == Tail::kReluBatchNorm
                               ? std::max(v, 0.0f) * scale[o] + shift[o]
                               : v * scale[0] + shift[0];
        EXPECT_NEAR(got[o * kPlane + p], want, 1e-5f) << "channel " << o << " position " << p;
      }
    }
  }
}

// One Conv followed by Add(conv, r) or Add(r, conv) and optionally a Relu, over two batch
// items, on each of the Conv's paths.
struct ResidualCase {
  const char* name;
  uint64_t c_in, c_out, hw, kernel, stride, group;
};

const ResidualCase kResidualCases[] = {
    {"pointwise", 8, 16, 12, 1, 1, 1},
    {"pointwise in pixel ranges", 8, 16, 48, 1, 1, 1},  // 2,304 outputs: cut by the engine
    {"strided pointwise", 16, 8, 12, 1, 2, 1},
    {"im2col 3x3", 8, 12, 10, 3, 1, 1},
    {"im2col 3x3 stride 2", 8, 12, 11, 3, 2, 1},
    {"shifted 3x3", 16, 8, 40, 3, 1, 1},  // 1,600 outputs of 16 channels
    {"depthwise 3x3", 16, 16, 14, 3, 1, 16},
    {"grouped 3x3", 8, 8, 9, 3, 1, 2},
};

std::vector<std::pair<uint32_t, uint64_t>> window_attrs(const ResidualCase& c) {
  const uint64_t pad = c.kernel / 2;
  return {{15, c.kernel}, {16, c.kernel}, {17, c.stride}, {18, c.stride}, {19, pad},
          {20, pad},      {23, 1},        {24, 1},        {25, c.group}};
}

TEST(Fusion, ResidualAddJoinsTheConvEpilogueWithTheSameBits) {
  for (const ResidualCase& c : kResidualCases) {
    const uint64_t oh = (c.hw + 2 * (c.kernel / 2) - c.kernel) / c.stride + 1;
    for (int variant = 0; variant < 8; ++variant) {
      const bool conv_first = (variant & 1) != 0, bias = (variant & 2) != 0;
      const bool relu = (variant & 4) != 0;
      SCOPED_TRACE(::testing::Message() << c.name << " conv_first=" << conv_first
                                        << " bias=" << bias << " relu=" << relu);
      TestGraph g;
      const uint64_t x = g.value(kValueGraphInput, {2, c.c_in, c.hw, c.hw}, 1);
      const uint64_t r = g.value(kValueGraphInput, {2, c.c_out, oh, oh}, 2);
      const uint64_t w = g.weight({c.c_out, c.c_in / c.group, c.kernel, c.kernel}, 3);
      const uint64_t conv = g.act({2, c.c_out, oh, oh});
      if (bias) {
        g.node(OpKind::kConv, {x, w, g.weight({c.c_out}, 4)}, {conv}, window_attrs(c));
      } else {
        g.node(OpKind::kConv, {x, w}, {conv}, window_attrs(c));
      }
      const uint64_t sum =
          relu ? g.act({2, c.c_out, oh, oh}) : g.value(kValueGraphOutput, {2, c.c_out, oh, oh});
      if (conv_first) {
        g.node(OpKind::kAdd, {conv, r}, {sum});
      } else {
        g.node(OpKind::kAdd, {r, conv}, {sum});
      }
      uint64_t out = sum;
      if (relu) {
        out = g.value(kValueGraphOutput, {2, c.c_out, oh, oh});
        g.node(OpKind::kRelu, {sum}, {out});
      }
      auto plain = g.state();
      ASSERT_TRUE(run(*plain));
      auto fused = g.state();
      fuse(*fused);
      ASSERT_EQ(kinds(*fused), std::vector<uint64_t>{k(OpKind::kConv)});
      EXPECT_EQ(fused->nodes[0].input(kConvResidualInput), r);
      EXPECT_EQ(fused->nodes[0].attr(29), relu ? kConvActRelu : kConvActNone);
      ASSERT_TRUE(run(*fused));
      // The sum is the Add node's own IEEE addition after the bias: the same bits.
      EXPECT_EQ(output_of(*fused, out), output_of(*plain, out));
    }
  }
}

TEST(Fusion, ResidualAddsThatMustStayNodes) {
  struct Case {
    const char* name;
    void (*build)(TestGraph& g);
    std::vector<uint64_t> kinds;
  };
  const Case cases[] = {
      {"residual broadcast over the plane",
       [](TestGraph& g) {
         const uint64_t x = g.value(kValueGraphInput, {1, 4, 6, 6}, 1);
         const uint64_t c = g.act({1, 4, 6, 6});
         g.node(OpKind::kConv, {x, g.weight({4, 4, 3, 3}, 2)}, {c}, conv3x3_attrs());
         g.node(OpKind::kAdd, {c, g.weight({1, 4, 1, 1}, 3)},
                {g.value(kValueGraphOutput, {1, 4, 6, 6})});
       },
       {k(OpKind::kConv), k(OpKind::kAdd)}},
      {"Conv output also read elsewhere",
       [](TestGraph& g) {
         const uint64_t x = g.value(kValueGraphInput, {1, 4, 6, 6}, 1);
         const uint64_t c = g.act({1, 4, 6, 6});
         g.node(OpKind::kConv, {x, g.weight({4, 4, 3, 3}, 2)}, {c}, conv3x3_attrs());
         const uint64_t s = g.act({1, 4, 6, 6});
         g.node(OpKind::kAdd, {c, x}, {s});
         g.node(OpKind::kMul, {s, c}, {g.value(kValueGraphOutput, {1, 4, 6, 6})});
       },
       {k(OpKind::kConv), k(OpKind::kAdd), k(OpKind::kMul)}},
      {"ReLU before the Add",
       [](TestGraph& g) {
         const uint64_t x = g.value(kValueGraphInput, {1, 4, 6, 6}, 1);
         const uint64_t c = g.act({1, 4, 6, 6});
         g.node(OpKind::kConv, {x, g.weight({4, 4, 3, 3}, 2)}, {c}, conv3x3_attrs());
         const uint64_t r = g.act({1, 4, 6, 6});
         g.node(OpKind::kRelu, {c}, {r});
         g.node(OpKind::kAdd, {r, x}, {g.value(kValueGraphOutput, {1, 4, 6, 6})});
       },
       {k(OpKind::kConv), k(OpKind::kAdd)}},
      {"Conv added to itself",
       [](TestGraph& g) {
         const uint64_t x = g.value(kValueGraphInput, {1, 4, 6, 6}, 1);
         const uint64_t c = g.act({1, 4, 6, 6});
         g.node(OpKind::kConv, {x, g.weight({4, 4, 3, 3}, 2)}, {c}, conv3x3_attrs());
         g.node(OpKind::kAdd, {c, c}, {g.value(kValueGraphOutput, {1, 4, 6, 6})});
       },
       {k(OpKind::kConv), k(OpKind::kAdd)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestGraph g;
    c.build(g);
    auto s = g.state();
    fuse(*s);
    EXPECT_EQ(kinds(*s), c.kinds);
    ASSERT_TRUE(run(*s));
  }
}

TEST(Fusion, ResidualOfAnotherShapeIsRefusedByTheCheck) {
  // A fused Conv whose fourth input does not match its output is refused, not run.
  TestGraph g;
  const uint64_t x = g.value(kValueGraphInput, {1, 4, 6, 6}, 1);
  const uint64_t r = g.value(kValueGraphInput, {1, 4, 6, 5}, 2);
  g.node(OpKind::kConv, {x, g.weight({4, 4, 3, 3}, 3), kAbsentValue, r},
         {g.value(kValueGraphOutput, {1, 4, 6, 6})}, conv3x3_attrs());
  auto s = g.state();
  std::string message;
  EXPECT_FALSE(testing::check_node(*s, 0, &message));
  EXPECT_NE(message.find("residual"), std::string::npos) << message;
}

}  // namespace
}  // namespace vexa::cpu
