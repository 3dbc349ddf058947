// Gather, GatherND and ScatterND against ONNX's definitions written as naive loops; index
// values that are negative, fractional, out of range or NaN never read or write outside.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

constexpr uint32_t kAxis = 26;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The index the operators use: truncated, negative counted once from the end, clamped.
uint64_t ref_index(float v, uint64_t n) {
  int64_t i = std::isnan(v) ? 0 : static_cast<int64_t>(std::fmax(std::fmin(v, 1e9f), -1e9f));
  if (i < 0) i += static_cast<int64_t>(n);
  return static_cast<uint64_t>(std::min<int64_t>(std::max<int64_t>(i, 0), static_cast<int64_t>(n) - 1));
}

TEST(CpuGather, FollowsOnnxAlongAnyAxis) {
  struct Case {
    Dims data;
    int64_t axis;
    Dims indices;
    std::vector<float> index_values;
  };
  const Case cases[] = {
      {{5, 3}, 0, {3}, {-1.0f, 2.7f, 99.0f}},
      {{5, 3}, 0, {2, 2}, {0, 4, -5, 1}},
      {{2, 5, 3}, 1, {4}, {4, 0, -2, 1}},
      {{2, 5, 3}, -1, {2}, {2, -3}},
      {{2, 3, 4}, -2, {1}, {-7.5f}},
      {{4}, 0, {3}, {kNaN, 3e20f, -3e20f}},
      {{3, 2}, 0, {0}, {}},
  };
  for (const Case& c : cases) {
    OpGraph g;
    const auto x = ramp(count_of(c.data), 3);
    const uint64_t a = g.in(c.data, x);
    const uint64_t idx = g.in(c.indices, c.index_values);
    const uint32_t axis = static_cast<uint32_t>(c.axis < 0 ? c.axis + c.data.size() : c.axis);
    Dims out;
    for (uint32_t i = 0; i < axis; ++i) out.push_back(c.data[i]);
    for (uint64_t d : c.indices) out.push_back(d);
    for (uint32_t i = axis + 1; i < c.data.size(); ++i) out.push_back(c.data[i]);
    const uint64_t y = g.out(out);
    g.node(OpKind::kGather, {a, idx}, {y}, {{kAxis, static_cast<uint64_t>(c.axis)}});
    ASSERT_TRUE(g.run()) << c.axis;
    std::vector<float> want(count_of(out));
    const uint64_t q = c.indices.size();
    for (uint64_t f = 0; f < want.size(); ++f) {
      const Dims o = unflatten(f, out);
      Dims i;
      for (uint32_t k = 0; k < axis; ++k) i.push_back(o[k]);
      Dims ii(o.begin() + axis, o.begin() + axis + q);
      i.push_back(ref_index(c.index_values[flatten(ii, c.indices)], c.data[axis]));
      for (uint64_t k = axis + q; k < o.size(); ++k) i.push_back(o[k]);
      want[f] = x[flatten(i, c.data)];
    }
    EXPECT_TRUE(same_floats(g.data(y), want)) << "axis " << c.axis;
  }
  // The table case of the operator: -1, 2.7 and 99 on 5 rows give rows 4, 2 and 4.
  OpGraph g;
  const uint64_t a = g.in({5, 1}, {10, 11, 12, 13, 14});
  const uint64_t y = g.out({3, 1});
  g.node(OpKind::kGather, {a, g.in({3}, {-1.0f, 2.7f, 99.0f})}, {y});
  ASSERT_TRUE(g.run());
  EXPECT_EQ(g.data(y), (std::vector<float>{14, 12, 14}));
}

TEST(CpuGatherND, TuplesWrapOnceAndClamp) {
  {
    OpGraph g;
    const auto x = ramp(12, 1);
    const uint64_t a = g.in({3, 4}, x);
    const uint64_t y = g.out({1});
    g.node(OpKind::kGatherND, {a, g.in({2}, {-1, 0})}, {y});
    ASSERT_TRUE(g.run());
    EXPECT_EQ(g.data(y)[0], x[8]);  // first element of the last row
  }
  // Rows of a [2, 3, 4] tensor by pairs, and whole planes by single indices.
  struct Case {
    Dims indices;
    std::vector<float> values;
    Dims out;
  };
  const Case cases[] = {
      {{3, 2}, {0, 2, 1, -1, 5, -9}, {3, 4}},
      {{2, 1}, {1, -2}, {2, 3, 4}},
      {{2, 2, 3}, {0, 0, 0, 1, 2, 3, -1, -1, -1, kNaN, 1, 7}, {2, 2}},
  };
  const Dims data{2, 3, 4};
  const auto x = ramp(24, 7);
  for (const Case& c : cases) {
    OpGraph g;
    const uint64_t a = g.in(data, x);
    const uint64_t y = g.out(c.out);
    g.node(OpKind::kGatherND, {a, g.in(c.indices, c.values)}, {y});
    ASSERT_TRUE(g.run());
    const uint64_t k = c.indices.back();
    const uint64_t slice = count_of(Dims(data.begin() + k, data.end()));
    std::vector<float> want;
    for (uint64_t t = 0; t < c.values.size() / k; ++t) {
      Dims i(data.size(), 0);
      for (uint64_t j = 0; j < k; ++j) i[j] = ref_index(c.values[t * k + j], data[j]);
      const uint64_t base = flatten(i, data);
      for (uint64_t s = 0; s < slice; ++s) want.push_back(x[base + s]);
    }
    EXPECT_TRUE(same_floats(g.data(y), want));
  }
}

// batch_dims: each batch entry's tuples index only that entry's data (worked by hand).
TEST(CpuGatherND, BatchDimsIndexWithinTheirEntry) {
  constexpr uint32_t kBatchDims = 19;
  {
    // Data [2, 2, 2], indices [[1], [0]]: row 1 of entry 0, row 0 of entry 1.
    OpGraph g;
    const uint64_t y = g.out({2, 2});
    g.node(OpKind::kGatherND, {g.in({2, 2, 2}, {0, 1, 2, 3, 4, 5, 6, 7}), g.in({2, 1}, {1, 0})},
           {y}, {{kBatchDims, 1}});
    ASSERT_TRUE(g.run());
    EXPECT_EQ(g.data(y), (std::vector<float>{2, 3, 4, 5}));
  }
  {
    // Data [2, 3], two element tuples per entry: entry 0 takes 2 and 0, entry 1 takes 1 and -1.
    OpGraph g;
    const uint64_t y = g.out({2, 2});
    g.node(OpKind::kGatherND,
           {g.in({2, 3}, {10, 11, 12, 20, 21, 22}), g.in({2, 2, 1}, {2, 0, 1, -1})}, {y},
           {{kBatchDims, 1}});
    ASSERT_TRUE(g.run());
    EXPECT_EQ(g.data(y), (std::vector<float>{12, 10, 21, 22}));
  }
}

TEST(CpuScatterND, TupleFormMatchesOnnx) {
  // ONNX's own example: data [4, 4, 4], indices [[0], [2]], updates [2, 4, 4].
  const Dims data{4, 4, 4};
  const auto x = ramp(64, 2);
  const auto u = ramp(32, 5);
  OpGraph g;
  const uint64_t y = g.out(data);
  g.node(OpKind::kScatterND, {g.in(data, x), g.in({2, 1}, {0, -2}), g.in({2, 4, 4}, u)}, {y});
  ASSERT_TRUE(g.run());
  std::vector<float> want = x;
  for (uint64_t s = 0; s < 16; ++s) {
    want[s] = u[s];
    want[32 + s] = u[16 + s];
  }
  EXPECT_TRUE(same_floats(g.data(y), want));

  // Element tuples with repeats: the later update wins; wild indices stay inside.
  OpGraph e;
  const uint64_t ey = e.out({8});
  e.node(OpKind::kScatterND,
         {e.in({8}, {1, 2, 3, 4, 5, 6, 7, 8}), e.in({5, 1}, {4, 1, 1, 1e30f, kNaN}),
          e.in({5}, {9, 10, 11, 12, 13})},
         {ey});
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.data(ey), (std::vector<float>{13, 11, 3, 4, 9, 6, 7, 12}));
}

TEST(CpuScatterND, ElementFormWritesAlongItsAxis) {
  for (int64_t axis : {0, 1, -1}) {
    const Dims data{3, 4};
    const auto x = ramp(12, 4);
    const Dims upd{2, 3};
    const std::vector<float> idx{2, -1, 0, 1, 1, 2};
    const std::vector<float> u{1, 2, 3, 4, 5, 6};
    OpGraph g;
    const uint64_t y = g.out(data);
    // The converter records an "axis" attribute for the element form.
    g.node(OpKind::kScatterND, {g.in(data, x), g.in(upd, idx), g.in(upd, u)}, {y},
           {{kAxis, static_cast<uint64_t>(axis)}, {16, 1}});
    ASSERT_TRUE(g.run()) << axis;
    const uint32_t a = static_cast<uint32_t>(axis < 0 ? axis + 2 : axis);
    std::vector<float> want = x;
    for (uint64_t f = 0; f < 6; ++f) {
      Dims i = unflatten(f, upd);
      i[a] = ref_index(idx[f], data[a]);
      want[flatten(i, data)] = u[f];
    }
    EXPECT_TRUE(same_floats(g.data(y), want)) << axis;
  }
  // Same ranks and shapes that only the element form explains pick it without the record.
  OpGraph g;
  const uint64_t y = g.out({2, 3});
  g.node(OpKind::kScatterND, {g.in({2, 3}), g.in({2, 2}, {1, 0, 0, 1}), g.in({2, 2}, {5, 6, 7, 8})},
         {y});
  ASSERT_TRUE(g.run());
  EXPECT_EQ(g.data(y), (std::vector<float>{7, 6, 0, 5, 8, 0}));
}

// Reductions meet repeated indices in index order: worked by hand.
TEST(CpuScatterND, ReductionsAccumulateRepeatedIndices) {
  constexpr uint32_t kReduction = 27;
  const std::vector<float> data{1, 2, 3, 4};
  const struct {
    uint64_t reduction;
    std::vector<float> want;
  } cases[] = {
      {0, {1, 6, 3, 4}},   // the last update wins
      {1, {1, 13, 3, 4}},  // 2 + 5 + 6
      {2, {1, 60, 3, 4}},  // 2 * 5 * 6
      {3, {1, 6, 3, 4}},   // max(2, 5, 6)
      {4, {1, 2, 3, 4}},   // min(2, 5, 6)
  };
  for (const auto& c : cases) {
    // Tuple form: data [4], indices [2, 1] both naming element 1.
    OpGraph g;
    const uint64_t y = g.out({4});
    g.node(OpKind::kScatterND, {g.in({4}, data), g.in({2, 1}, {1, 1}), g.in({2}, {5, 6})}, {y},
           {{kReduction, c.reduction}});
    ASSERT_TRUE(g.run()) << c.reduction;
    EXPECT_EQ(g.data(y), c.want) << "tuple form, reduction " << c.reduction;
  }
  // Element form along axis 1 of [1, 4]: indices 1, 1, 3 with updates 5, 6, 7.
  const struct {
    uint64_t reduction;
    std::vector<float> want;
  } element[] = {{0, {1, 6, 3, 7}}, {1, {1, 13, 3, 11}}, {2, {1, 60, 3, 28}}, {3, {1, 6, 3, 7}},
                 {4, {1, 2, 3, 4}}};
  for (const auto& c : element) {
    OpGraph g;
    const uint64_t y = g.out({1, 4});
    g.node(OpKind::kScatterND,
           {g.in({1, 4}, data), g.in({1, 3}, {1, 1, 3}), g.in({1, 3}, {5, 6, 7})}, {y},
           {{kAxis, 1}, {16, 1}, {kReduction, c.reduction}});
    ASSERT_TRUE(g.run()) << c.reduction;
    EXPECT_EQ(g.data(y), c.want) << "element form, reduction " << c.reduction;
  }
  OpGraph bad;
  bad.node(OpKind::kScatterND, {bad.in({4}, data), bad.in({1, 1}, {1}), bad.in({1}, {5})},
           {bad.out({4})}, {{kReduction, 5}});
  EXPECT_FALSE(bad.run());
}

TEST(CpuGatherScatter, MalformedNodesAreRefusedAtBuild) {
  const RefusedGraph cases[] = {
      {"gather axis", [](OpGraph& g) {
         g.node(OpKind::kGather, {g.in({5, 3}), g.in({2})}, {g.out({2, 3})}, {{kAxis, 2}});
       }},
      {"gather negative axis", [](OpGraph& g) {
         g.node(OpKind::kGather, {g.in({5, 3}), g.in({2})}, {g.out({2, 3})},
                {{kAxis, static_cast<uint64_t>(-3)}});
       }},
      {"gather output size", [](OpGraph& g) {
         g.node(OpKind::kGather, {g.in({5, 3}), g.in({2})}, {g.out({3, 3})});
       }},
      {"gather empty axis", [](OpGraph& g) {
         g.node(OpKind::kGather, {g.in({0, 3}), g.in({2})}, {g.out({2, 3})});
       }},
      {"gather rank 0", [](OpGraph& g) {
         g.node(OpKind::kGather, {g.in({}), g.in({1})}, {g.out({1})});
       }},
      {"gathernd tuple too wide", [](OpGraph& g) {
         g.node(OpKind::kGatherND, {g.in({3, 4}), g.in({3})}, {g.out({1})});
       }},
      {"gathernd batch dims differ", [](OpGraph& g) {
         g.node(OpKind::kGatherND, {g.in({3, 4}), g.in({2, 1})}, {g.out({2})}, {{19, 1}});
       }},
      {"gathernd batch dims beyond the rank", [](OpGraph& g) {
         g.node(OpKind::kGatherND, {g.in({3, 4}), g.in({3, 4, 1})}, {g.out({3, 4})}, {{19, 2}});
       }},
      {"gathernd output size", [](OpGraph& g) {
         g.node(OpKind::kGatherND, {g.in({3, 4}), g.in({2, 1})}, {g.out({4})});
       }},
      {"scatter neither form", [](OpGraph& g) {
         g.node(OpKind::kScatterND, {g.in({3, 4}), g.in({2, 1}), g.in({5})}, {g.out({3, 4})});
       }},
      {"scatter element past data", [](OpGraph& g) {
         g.node(OpKind::kScatterND, {g.in({3, 4}), g.in({2, 5}), g.in({2, 5})}, {g.out({3, 4})},
                {{16, 1}});
       }},
      {"scatter output shape", [](OpGraph& g) {
         g.node(OpKind::kScatterND, {g.in({4}), g.in({1, 1}), g.in({1})}, {g.out({5})});
       }},
      {"scatter two inputs", [](OpGraph& g) {
         g.node(OpKind::kScatterND, {g.in({4}), g.in({1, 1})}, {g.out({4})});
       }},
  };
  expect_all_refused(cases);
}

}  // namespace
}  // namespace vexa::cpu::optest
