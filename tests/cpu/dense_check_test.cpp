// Build-time checks of the dense operator cases: malformed nodes are refused with a message
// before anything runs; well-formed ones pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dense_graph.h"

namespace vexa::cpu {
namespace {

using testing::check_node;
using testing::TestGraph;

using Attrs = std::vector<std::pair<uint32_t, uint64_t>>;

const Attrs kConv3x3 = {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {23, 1}, {24, 1}};

Attrs with(Attrs a, uint32_t word, uint64_t value) {
  for (auto& [w, v] : a)
    if (w == word) {
      v = value;
      return a;
    }
  a.emplace_back(word, value);
  return a;
}

struct Case {
  const char* name;
  bool accepted;
  void (*build)(TestGraph& g);
};

uint64_t neg(int64_t v) { return static_cast<uint64_t>(v); }

const Case kCases[] = {
    {"conv ok", true,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1), g.weight({6}, 2)},
              {g.act({1, 6, 8, 8})}, kConv3x3);
     }},
    {"conv rank 3 input", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({4, 8, 8}), g.weight({6, 4, 3, 3}, 1)}, {g.act({1, 6, 8, 8})},
              kConv3x3);
     }},
    {"conv kernel 0", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1)},
              {g.act({1, 6, 8, 8})}, with(kConv3x3, 15, 0));
     }},
    {"conv stride 0", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1)},
              {g.act({1, 6, 8, 8})}, with(kConv3x3, 18, 0));
     }},
    {"conv negative pad", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1)},
              {g.act({1, 6, 8, 8})}, with(kConv3x3, 19, neg(-1)));
     }},
    {"conv group does not divide channels", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 1, 3, 3}, 1)},
              {g.act({1, 6, 8, 8})}, with(kConv3x3, 25, 3));
     }},
    {"conv weight shape mismatch", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 3, 3, 3}, 1)},
              {g.act({1, 6, 8, 8})}, kConv3x3);
     }},
    {"conv bias too short", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1), g.weight({5}, 2)},
              {g.act({1, 6, 8, 8})}, kConv3x3);
     }},
    {"conv ReLU-then-affine with a one-plane bias", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1), g.weight({6}, 2)},
              {g.act({1, 6, 8, 8})}, with(kConv3x3, 29, 2));
     }},
    {"conv batch changes", false,
     [](TestGraph& g) {
       g.node(OpKind::kConv, {g.act({1, 4, 8, 8}), g.weight({6, 4, 3, 3}, 1)},
              {g.act({2, 6, 8, 8})}, kConv3x3);
     }},
    {"conv transpose ok", true,
     [](TestGraph& g) {
       g.node(OpKind::kConvTranspose, {g.act({1, 4, 5, 5}), g.weight({4, 3, 2, 2}, 1)},
              {g.act({1, 6, 10, 10})}, {{15, 2}, {16, 2}, {17, 2}, {18, 2}, {23, 1}, {24, 1}, {25, 2}});
     }},
    {"conv transpose weight mismatch", false,
     [](TestGraph& g) {
       g.node(OpKind::kConvTranspose, {g.act({1, 4, 5, 5}), g.weight({4, 6, 2, 2}, 1)},
              {g.act({1, 6, 10, 10})}, {{15, 2}, {16, 2}, {17, 2}, {18, 2}, {23, 1}, {24, 1}, {25, 2}});
     }},
    {"gemm with row C ok", true,
     [](TestGraph& g) {
       g.node(OpKind::kGemm, {g.act({3, 4}), g.weight({5, 4}, 1), g.weight({5}, 2)},
              {g.act({3, 5})}, {{28, 1}, {29, f32_word(1.0f)}, {30, f32_word(1.0f)}});
     }},
    {"gemm with column C ok", true,
     [](TestGraph& g) {
       g.node(OpKind::kGemm, {g.act({4, 3}), g.weight({4, 5}, 1), g.weight({3, 1}, 2)},
              {g.act({3, 5})}, {{27, 1}, {29, f32_word(1.0f)}, {30, f32_word(1.0f)}});
     }},
    {"gemm inner mismatch", false,
     [](TestGraph& g) {
       g.node(OpKind::kGemm, {g.act({3, 4}), g.weight({5, 4}, 1)}, {g.act({3, 5})},
              {{29, f32_word(1.0f)}});
     }},
    {"gemm C that does not broadcast", false,
     [](TestGraph& g) {
       g.node(OpKind::kGemm, {g.act({3, 4}), g.weight({4, 5}, 1), g.weight({3}, 2)},
              {g.act({3, 5})}, {{29, f32_word(1.0f)}});
     }},
    {"gemm C with two rows", false,
     [](TestGraph& g) {
       g.node(OpKind::kGemm, {g.act({3, 4}), g.weight({4, 5}, 1), g.weight({2, 5}, 2)},
              {g.act({3, 5})}, {{29, f32_word(1.0f)}});
     }},
    {"matmul broadcast ok", true,
     [](TestGraph& g) {
       g.node(OpKind::kMatMul, {g.act({3, 4}), g.act({2, 4, 5})}, {g.act({2, 3, 5})});
     }},
    {"matmul inner mismatch", false,
     [](TestGraph& g) {
       g.node(OpKind::kMatMul, {g.act({3, 4}), g.act({5, 5})}, {g.act({3, 5})});
     }},
    {"matmul output too small", false,
     [](TestGraph& g) {
       g.node(OpKind::kMatMul, {g.act({3, 4}), g.act({2, 4, 5})}, {g.act({3, 5})});
     }},
    {"maxpool ok", true,
     [](TestGraph& g) {
       g.node(OpKind::kMaxPool, {g.act({1, 3, 8, 8})}, {g.act({1, 3, 4, 4})},
              {{15, 2}, {16, 2}, {17, 2}, {18, 2}});
     }},
    {"maxpool stride 0", false,
     [](TestGraph& g) {
       g.node(OpKind::kMaxPool, {g.act({1, 3, 8, 8})}, {g.act({1, 3, 4, 4})},
              {{15, 2}, {16, 2}, {17, 0}, {18, 2}});
     }},
    {"averagepool changes channels", false,
     [](TestGraph& g) {
       g.node(OpKind::kAveragePool, {g.act({1, 3, 8, 8})}, {g.act({1, 2, 4, 4})},
              {{15, 2}, {16, 2}, {17, 2}, {18, 2}});
     }},
    {"global average pool wrong output", false,
     [](TestGraph& g) {
       g.node(OpKind::kGlobalAveragePool, {g.act({1, 3, 8, 8})}, {g.act({1, 2, 1, 1})});
     }},
    {"layernorm short scale", false,
     [](TestGraph& g) {
       g.node(OpKind::kLayerNormalization, {g.act({2, 8}), g.weight({7}, 1)}, {g.act({2, 8})});
     }},
    {"batchnorm missing shift", false,
     [](TestGraph& g) {
       g.node(OpKind::kBatchNormalization, {g.act({1, 3, 4, 4}), g.weight({3}, 1)},
              {g.act({1, 3, 4, 4})});
     }},
    {"instancenorm short bias", false,
     [](TestGraph& g) {
       g.node(OpKind::kInstanceNormalization,
              {g.act({1, 3, 4, 4}), g.weight({3}, 1), g.weight({2}, 2)}, {g.act({1, 3, 4, 4})});
     }},
    {"gelu count mismatch", false,
     [](TestGraph& g) { g.node(OpKind::kGelu, {g.act({10})}, {g.act({9})}); }},
    {"erf ok", true, [](TestGraph& g) { g.node(OpKind::kErf, {g.act({10})}, {g.act({10})}); }},
};

TEST(DenseOpChecks, MalformedNodesAreRefusedWithAMessage) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TestGraph g;
    c.build(g);
    auto s = g.state();
    std::string message;
    EXPECT_EQ(check_node(*s, 0, &message), c.accepted) << message;
    if (!c.accepted) {
      EXPECT_FALSE(message.empty());
    }
  }
}

TEST(DenseOpChecks, GemmRunsWithEveryBroadcastOfC) {
  // Through the op entry: C of shape [1], [N], [M, 1] and [M, N] with beta 2.
  const std::vector<std::vector<uint64_t>> c_shapes = {{1}, {5}, {3, 1}, {3, 5}};
  for (const auto& shape : c_shapes) {
    SCOPED_TRACE(shape.size());
    TestGraph g;
    const uint64_t a = g.weight({3, 4}, 1), b = g.weight({4, 5}, 2);
    uint64_t c = 0;
    if (shape.size() == 1) c = g.weight({shape[0]}, 3);
    else c = g.weight({shape[0], shape[1]}, 3);
    const uint64_t y = g.act({3, 5});
    g.node(OpKind::kGemm, {a, b, c}, {y}, {{29, f32_word(1.0f)}, {30, f32_word(2.0f)}});
    auto s = g.state();
    ASSERT_TRUE(testing::run(*s));
    const auto& av = g.storage(a);
    const auto& bv = g.storage(b);
    const auto& cv = g.storage(c);
    for (uint64_t i = 0; i < 3; ++i)
      for (uint64_t j = 0; j < 5; ++j) {
        double acc = 0;
        for (uint64_t q = 0; q < 4; ++q) acc += double{av[i * 4 + q]} * bv[q * 5 + j];
        const uint64_t rows = shape.size() == 2 ? shape[0] : 1;
        const uint64_t cols = shape.size() == 2 ? shape[1] : shape[0];
        acc += 2.0 * cv[(rows == 1 ? 0 : i) * cols + (cols == 1 ? 0 : j)];
        EXPECT_NEAR(s->data[y][i * 5 + j], acc, 1e-5);
      }
  }
}

}  // namespace
}  // namespace vexa::cpu
