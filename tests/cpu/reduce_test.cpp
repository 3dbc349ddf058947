// Softmax, ArgMax, the five reductions, CumSum and TopK against naive loops over
// [outer, D, inner] views, with negative axes, ties, empty axes and malformed nodes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

constexpr uint32_t kAxis = 26;

struct View {
  uint64_t outer = 1, d = 1, inner = 1;
};

View view_of(const Dims& dims, uint32_t axis) {
  View v;
  for (uint32_t i = 0; i < axis; ++i) v.outer *= dims[i];
  v.d = dims[axis];
  for (uint32_t i = axis + 1; i < dims.size(); ++i) v.inner *= dims[i];
  return v;
}

uint32_t norm(int64_t axis, size_t rank) {
  return static_cast<uint32_t>(axis < 0 ? axis + static_cast<int64_t>(rank) : axis);
}

std::vector<float> softmax_ref(const std::vector<float>& x, const View& v) {
  std::vector<float> y(x.size());
  for (uint64_t o = 0; o < v.outer; ++o) {
    for (uint64_t p = 0; p < v.inner; ++p) {
      double m = -1e300, s = 0.0;
      for (uint64_t j = 0; j < v.d; ++j) m = std::max(m, double{x[(o * v.d + j) * v.inner + p]});
      for (uint64_t j = 0; j < v.d; ++j) s += std::exp(x[(o * v.d + j) * v.inner + p] - m);
      for (uint64_t j = 0; j < v.d; ++j) {
        y[(o * v.d + j) * v.inner + p] =
            static_cast<float>(std::exp(x[(o * v.d + j) * v.inner + p] - m) / s);
      }
    }
  }
  return y;
}

TEST(CpuSoftmax, BothPathsMatchTheDefinition) {
  struct Case {
    Dims dims;
    int64_t axis;
  };
  const Case cases[] = {
      {{1, 10, 128}, 1},    // vector path
      {{2, 10, 128}, 1},    // scalar path
      {{1, 10, 128}, -2},   // vector path through a negative axis
      {{3, 7}, -1},         {{4, 5, 6}, 0}, {{2, 3, 4, 5}, 2}, {{1, 1, 70}, 1},
      {{12, 197, 197}, -1},  // attention-sized, split over the pool
      {{1, 2, 64}, 1},      {{1, 3, 16385}, 1},
  };
  for (const Case& c : cases) {
    OpGraph g;
    auto x = ramp(count_of(c.dims), 21);
    for (float& f : x) f *= 8.0f;
    const uint64_t a = g.in(c.dims, x);
    const uint64_t y = g.out(c.dims);
    g.node(OpKind::kSoftmax, {a}, {y}, {{kAxis, static_cast<uint64_t>(c.axis)}});
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), softmax_ref(x, view_of(c.dims, norm(c.axis, c.dims.size()))),
                            1e-5))
        << c.dims.size() << " axis " << c.axis;
  }
  // Large equal logits do not overflow; an axis of one gives 1.
  OpGraph g;
  const uint64_t y = g.out({2});
  g.node(OpKind::kSoftmax, {g.in({2}, {1000, 1000})}, {y}, {{kAxis, 0}});
  const uint64_t one = g.out({3, 1});
  g.node(OpKind::kSoftmax, {g.in({3, 1}, {5, -7, 1e30f})}, {one}, {{kAxis, 1}});
  ASSERT_TRUE(g.run());
  EXPECT_EQ(g.data(y), (std::vector<float>{0.5f, 0.5f}));
  EXPECT_EQ(g.data(one), (std::vector<float>{1, 1, 1}));
}

TEST(CpuReduce, EveryReductionAlongEveryAxis) {
  const OpKind kinds[] = {OpKind::kReduceMean, OpKind::kReduceSum, OpKind::kReduceMax,
                          OpKind::kReduceMin, OpKind::kReduceProd, OpKind::kArgMax};
  const Dims dims{2, 3, 4, 5};
  auto x = ramp(count_of(dims), 13);
  x[7] = x[2];  // a tie for ArgMax along the last axis
  for (OpKind kind : kinds) {
    for (int64_t axis : {0, 1, 2, 3, -1, -3}) {
      const uint32_t a = norm(axis, 4);
      const View v = view_of(dims, a);
      OpGraph g;
      const uint64_t in = g.in(dims, x);
      Dims out = dims;
      out[a] = 1;
      const uint64_t y = g.out(out);
      g.node(kind, {in}, {y}, {{kAxis, static_cast<uint64_t>(axis)}});
      ASSERT_TRUE(g.run());
      std::vector<float> want(v.outer * v.inner);
      for (uint64_t o = 0; o < v.outer; ++o) {
        for (uint64_t p = 0; p < v.inner; ++p) {
          float sum = 0.0f, prod = 1.0f, mx = x[o * v.d * v.inner + p], mn = mx;
          uint64_t arg = 0;
          for (uint64_t j = 0; j < v.d; ++j) {
            const float e = x[(o * v.d + j) * v.inner + p];
            sum += e;
            prod *= e;
            if (e > mx) {
              mx = e;
              arg = j;
            }
            mn = std::min(mn, e);
          }
          float r = 0.0f;
          switch (kind) {
            case OpKind::kReduceMean: r = sum / static_cast<float>(v.d); break;
            case OpKind::kReduceSum: r = sum; break;
            case OpKind::kReduceMax: r = mx; break;
            case OpKind::kReduceMin: r = mn; break;
            case OpKind::kReduceProd: r = prod; break;
            default: r = static_cast<float>(arg); break;
          }
          want[o * v.inner + p] = r;
        }
      }
      EXPECT_TRUE(same_floats(g.data(y), want)) << static_cast<int>(kind) << " axis " << axis;
    }
  }
}

// ArgMax among equal maxima: the first index by default, the last with select_last_index.
TEST(CpuReduce, ArgMaxTiesTakeFirstOrLastIndex) {
  constexpr uint32_t kLastIndex = 28;
  const Dims dims{2, 5};
  // Row 0 holds its maximum at 1 and 3; row 1 at 0, 2 and 4.
  const std::vector<float> x = {1, 4, 2, 4, 0, 7, -1, 7, 3, 7};
  const struct {
    uint64_t last;
    std::vector<float> want;
  } cases[] = {{0, {1, 0}}, {1, {3, 4}}};
  for (const auto& c : cases) {
    OpGraph g;
    const uint64_t y = g.out(Dims{2, 1});
    g.node(OpKind::kArgMax, {g.in(dims, x)}, {y}, {{kAxis, 1}, {kLastIndex, c.last}});
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), c.want)) << "select_last_index " << c.last;
  }
}

// Sizes large enough to be split over the pool give the same values as one loop.
TEST(CpuReduce, LargeTensorsMatchTheSerialLoop) {
  const Dims dims{64, 300, 8};
  const auto x = ramp(count_of(dims), 19);
  const View v = view_of(dims, 1);
  for (OpKind kind : {OpKind::kReduceSum, OpKind::kReduceMax, OpKind::kArgMax, OpKind::kCumSum}) {
    OpGraph g;
    const bool scan = kind == OpKind::kCumSum;
    const uint64_t y = g.out(scan ? dims : Dims{64, 1, 8});
    g.node(kind, {g.in(dims, x)}, {y}, {{kAxis, 1}});
    ASSERT_TRUE(g.run());
    std::vector<float> want(scan ? x.size() : v.outer * v.inner);
    for (uint64_t o = 0; o < v.outer; ++o) {
      for (uint64_t p = 0; p < v.inner; ++p) {
        float acc = 0.0f, mx = x[o * v.d * v.inner + p];
        uint64_t arg = 0;
        for (uint64_t j = 0; j < v.d; ++j) {
          const float e = x[(o * v.d + j) * v.inner + p];
          acc += e;
          if (scan) want[(o * v.d + j) * v.inner + p] = acc;
          if (e > mx) {
            mx = e;
            arg = j;
          }
        }
        if (kind == OpKind::kReduceSum) want[o * v.inner + p] = acc;
        if (kind == OpKind::kReduceMax) want[o * v.inner + p] = mx;
        if (kind == OpKind::kArgMax) want[o * v.inner + p] = static_cast<float>(arg);
      }
    }
    EXPECT_EQ(g.data(y), want) << static_cast<int>(kind);
  }
}

TEST(CpuReduce, HandPickedCases) {
  OpGraph g;
  const uint64_t am = g.out({1});
  g.node(OpKind::kArgMax, {g.in({4}, {3, 7, 7, 1})}, {am});
  const uint64_t mean = g.out({1});
  g.node(OpKind::kReduceMean, {g.in({4}, {1, 2, 3, 4})}, {mean});
  const uint64_t prod = g.out({2});
  g.node(OpKind::kReduceProd, {g.in({2, 0})}, {prod}, {{kAxis, 1}});
  const uint64_t sum = g.out({2});
  g.node(OpKind::kReduceSum, {g.in({2, 0})}, {sum}, {{kAxis, 1}});
  ASSERT_TRUE(g.run());
  EXPECT_EQ(g.data(am)[0], 1.0f);
  EXPECT_EQ(g.data(mean)[0], 2.5f);
  EXPECT_EQ(g.data(prod), (std::vector<float>{1, 1}));
  EXPECT_EQ(g.data(sum), (std::vector<float>{0, 0}));
}

TEST(CpuCumSum, FourModesAndAxisFromInput) {
  struct Case {
    uint64_t exclusive, reverse;
    std::vector<float> want;
  };
  const Case cases[] = {{0, 0, {1, 3, 6}}, {1, 0, {0, 1, 3}}, {0, 1, {6, 5, 3}}, {1, 1, {5, 3, 0}}};
  for (const Case& c : cases) {
    OpGraph g;
    const uint64_t y = g.out({3});
    g.node(OpKind::kCumSum, {g.in({3}, {1, 2, 3})}, {y}, {{27, c.exclusive}, {28, c.reverse}});
    ASSERT_TRUE(g.run());
    EXPECT_EQ(g.data(y), c.want);
  }
  // Input 1 names the axis whatever the attribute says; -1 counts from the end.
  for (float axis_value : {1.0f, -1.0f}) {
    OpGraph g;
    const uint64_t y = g.out({2, 3});
    g.node(OpKind::kCumSum, {g.in({2, 3}, {1, 2, 3, 4, 5, 6}), g.weight({1}, {axis_value})}, {y},
           {{kAxis, 0}});
    ASSERT_TRUE(g.run());
    EXPECT_EQ(g.data(y), (std::vector<float>{1, 3, 6, 4, 9, 15}));
  }
  // An axis computed at run time that names no axis ends the run instead of reading past.
  for (float axis_value : {2.0f, 7.0f, -3.0f, 1e30f}) {
    OpGraph g;
    g.node(OpKind::kCumSum, {g.in({2, 3}), g.in({1}, {axis_value})}, {g.out({2, 3})});
    EXPECT_FALSE(g.run_unchecked()) << axis_value;
  }
}

TEST(CpuTopK, TiesGoToTheLowestIndex) {
  {
    OpGraph g;
    const uint64_t v = g.out({2});
    const uint64_t i = g.out({2});
    g.node(OpKind::kTopK, {g.in({4}, {5, 1, 5, 3})}, {v, i}, {{kAxis, 0}});
    const uint64_t sv = g.out({2});
    const uint64_t si = g.out({2});
    g.node(OpKind::kTopK, {g.in({4}, {5, 1, 5, 3})}, {sv, si}, {{kAxis, 0}, {27, 1}});
    const uint64_t only = g.out({2});
    g.node(OpKind::kTopK, {g.in({4}, {5, 1, 5, 3})}, {only}, {{kAxis, 0}});
    ASSERT_TRUE(g.run());
    EXPECT_EQ(g.data(v), (std::vector<float>{5, 5}));
    EXPECT_EQ(g.data(i), (std::vector<float>{0, 2}));
    EXPECT_EQ(g.data(sv), (std::vector<float>{1, 3}));
    EXPECT_EQ(g.data(si), (std::vector<float>{1, 3}));
    EXPECT_EQ(g.data(only), g.data(v));
  }
  // Along a middle axis with a stable-sort reference, K up to D.
  const Dims dims{2, 9, 3};
  auto x = ramp(count_of(dims), 17);
  for (float& f : x) f = std::round(f * 4.0f);  // many ties
  for (uint64_t k : {1u, 4u, 9u}) {
    for (uint64_t smallest : {0u, 1u}) {
      OpGraph g;
      const uint64_t v = g.out({2, k, 3});
      const uint64_t i = g.out({2, k, 3});
      g.node(OpKind::kTopK, {g.in(dims, x)}, {v, i},
             {{kAxis, static_cast<uint64_t>(-2)}, {27, smallest}});
      ASSERT_TRUE(g.run());
      for (uint64_t o = 0; o < 2; ++o) {
        for (uint64_t p = 0; p < 3; ++p) {
          std::vector<uint64_t> order(9);
          for (uint64_t j = 0; j < 9; ++j) order[j] = j;
          auto at = [&](uint64_t j) { return x[(o * 9 + j) * 3 + p]; };
          std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
            return smallest ? at(a) < at(b) : at(a) > at(b);
          });
          for (uint64_t r = 0; r < k; ++r) {
            EXPECT_EQ(g.data(v)[(o * k + r) * 3 + p], at(order[r]));
            EXPECT_EQ(g.data(i)[(o * k + r) * 3 + p], static_cast<float>(order[r]));
          }
        }
      }
    }
  }
}

TEST(CpuReduceFamily, MalformedNodesAreRefusedAtBuild) {
  const RefusedGraph cases[] = {
      {"softmax axis", [](OpGraph& g) {
         g.node(OpKind::kSoftmax, {g.in({2, 3})}, {g.out({2, 3})}, {{kAxis, 2}});
       }},
      {"softmax shape", [](OpGraph& g) {
         g.node(OpKind::kSoftmax, {g.in({2, 3})}, {g.out({3, 2})}, {{kAxis, 1}});
       }},
      {"reduce axis", [](OpGraph& g) {
         g.node(OpKind::kReduceSum, {g.in({2, 3})}, {g.out({2})}, {{kAxis, static_cast<uint64_t>(-3)}});
       }},
      {"reduce two axes", [](OpGraph& g) {
         g.node(OpKind::kReduceMean, {g.in({2, 3, 4})}, {g.out({2})}, {{kAxis, 1}});
       }},
      {"argmax output", [](OpGraph& g) {
         g.node(OpKind::kArgMax, {g.in({2, 3})}, {g.out({3})}, {{kAxis, 1}});
       }},
      {"max of empty axis", [](OpGraph& g) {
         g.node(OpKind::kReduceMax, {g.in({2, 0})}, {g.out({2})}, {{kAxis, 1}});
       }},
      {"cumsum shape", [](OpGraph& g) {
         g.node(OpKind::kCumSum, {g.in({2, 3})}, {g.out({6})});
       }},
      {"cumsum axis", [](OpGraph& g) {
         g.node(OpKind::kCumSum, {g.in({2, 3})}, {g.out({2, 3})}, {{kAxis, 5}});
       }},
      {"topk off-axis dims", [](OpGraph& g) {
         g.node(OpKind::kTopK, {g.in({2, 5})}, {g.out({3, 2})}, {{kAxis, 1}});
       }},
      {"topk indices shape", [](OpGraph& g) {
         g.node(OpKind::kTopK, {g.in({2, 5})}, {g.out({2, 2}), g.out({2, 3})}, {{kAxis, 1}});
       }},
      {"topk rank 0", [](OpGraph& g) { g.node(OpKind::kTopK, {g.in({})}, {g.out({})}); }},
  };
  expect_all_refused(cases);
}

}  // namespace
}  // namespace vexa::cpu::optest
