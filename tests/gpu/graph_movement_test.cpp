// Layout graph operations against naive index loops and the CPU engine.
#include "graph_test_util.h"

namespace vexa::graph_test {
namespace {

Floats naive_permute(const Floats& x, const Shape& in, const std::vector<int64_t>& perm) {
  Shape out(in.size());
  for (size_t k = 0; k < in.size(); ++k) out[k] = in[perm[k]];
  Floats y(x.size());
  for (uint64_t f = 0; f < y.size(); ++f) {
    const auto o = unflatten(f, out);
    std::vector<int64_t> i(in.size());
    for (size_t k = 0; k < in.size(); ++k) i[perm[k]] = o[k];
    y[f] = x[flatten(i, in)];
  }
  return y;
}

TEST(GraphMovement, PermutationsOfEveryRankAgainstTheDefinition) {
  GraphRun r;
  struct Case {
    Shape in;
    std::vector<int64_t> perm;
  };
  const std::vector<Case> cases = {
      {{2, 3}, {1, 0}},
      {{2, 3, 4}, {0, 2, 1}},
      {{1, 12, 7, 5}, {0, 2, 1, 3}},        // the attention head split
      {{2, 1, 3, 1, 4}, {4, 3, 2, 1, 0}},   // size-1 dims dropped before the move
      {{2, 3, 4, 5}, {2, 3, 0, 1}},         // neighbours merged into two dims
      {{2, 2, 2, 2, 2, 2, 3}, {6, 5, 4, 3, 2, 1, 0}},  // rank 7: beyond the CPU's six
      {{3, 4}, {0, 1}},
  };
  for (const Case& c : cases) {
    for (DeviceDataType type : {DeviceDataType::kFloat32, DeviceDataType::kFloat16}) {
      const Floats x = rounded_f16(values(count(c.in), 7));
      Graph g;
      GraphTensor t = g.placeholder(c.in, type);
      GraphTensor y = g.permute(t, c.perm);
      if (c.in.size() == 7) {
        // Seven dims that stay seven after merging cannot reach the CPU kernel.
        ASSERT_TRUE(g.ok());
        r.feed(g, t, x);
        std::vector<Floats> out;
        EXPECT_FALSE(r.run(g, {y}, &out));
        continue;
      }
      r.feed(g, t, x, type);
      EXPECT_TRUE(near(r.run1(g, y), naive_permute(x, c.in, c.perm))) << graph_shape_text(c.in);
    }
  }
  // transpose(a, b) is the swap permutation.
  Graph g;
  GraphTensor t = g.placeholder({2, 3, 4}, DeviceDataType::kFloat32);
  GraphTensor y = g.transpose(t, -1, 0);
  EXPECT_EQ(g.shape(y), (Shape{4, 3, 2}));
  const Floats x = values(24, 8);
  r.feed(g, t, x);
  EXPECT_TRUE(near(r.run1(g, y), naive_permute(x, {2, 3, 4}, {2, 1, 0})));
}

TEST(GraphMovement, SliceConcatBroadcastReshape) {
  GraphRun r;
  const Shape s = {2, 5, 3};
  const Floats x = values(30, 11);
  Graph g;
  GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
  GraphTensor mid = g.slice(t, 1, 1, 3);
  GraphTensor tail = g.slice(t, -2, -2, 2);
  GraphTensor joined = g.concat({tail, mid, t}, 1);
  GraphTensor wide = g.broadcast(g.slice(t, 2, 0, 1), {4, 2, 5, 3});
  GraphTensor flat = g.reshape(t, {-1, 3});
  GraphTensor flat_sum = g.add(flat, g.constant_scalar(1.0, DeviceDataType::kFloat32));
  r.feed(g, t, x);
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {mid, tail, joined, wide, flat_sum}, &out));
  auto at = [&](int64_t i, int64_t j, int64_t k) { return x[(i * 5 + j) * 3 + k]; };
  Floats want_mid, want_tail, want_joined, want_wide;
  for (int64_t i = 0; i < 2; ++i)
    for (int64_t j = 1; j < 4; ++j)
      for (int64_t k = 0; k < 3; ++k) want_mid.push_back(at(i, j, k));
  for (int64_t i = 0; i < 2; ++i)
    for (int64_t j = 3; j < 5; ++j)
      for (int64_t k = 0; k < 3; ++k) want_tail.push_back(at(i, j, k));
  for (int64_t i = 0; i < 2; ++i) {
    for (int64_t j = 3; j < 5; ++j)
      for (int64_t k = 0; k < 3; ++k) want_joined.push_back(at(i, j, k));
    for (int64_t j = 1; j < 4; ++j)
      for (int64_t k = 0; k < 3; ++k) want_joined.push_back(at(i, j, k));
    for (int64_t j = 0; j < 5; ++j)
      for (int64_t k = 0; k < 3; ++k) want_joined.push_back(at(i, j, k));
  }
  for (int64_t n = 0; n < 4; ++n)
    for (int64_t i = 0; i < 2; ++i)
      for (int64_t j = 0; j < 5; ++j)
        for (int64_t k = 0; k < 3; ++k) want_wide.push_back(at(i, j, 0));
  Floats want_flat = x;
  for (float& v : want_flat) v += 1.0f;
  EXPECT_EQ(out[0], want_mid);
  EXPECT_EQ(out[1], want_tail);
  EXPECT_EQ(out[2], want_joined);
  EXPECT_EQ(out[3], want_wide);
  EXPECT_EQ(out[4], want_flat);
  EXPECT_EQ(g.shape(flat), (Shape{10, 3}));
}

TEST(GraphMovement, ConcatOfManyTensorsAndSlicesMatchTheCpuEngine) {
  GraphRun r;
  Graph g;
  std::vector<GraphTensor> parts;
  Floats want;
  std::vector<Floats> datas;
  for (int i = 0; i < 11; ++i) {
    datas.push_back(values(2 * (i + 1), static_cast<uint32_t>(20 + i)));
    parts.push_back(g.constant_data(datas.back().data(), datas.back().size() * 4, {1, i + 1, 2},
                                    DeviceDataType::kFloat32));
    want.insert(want.end(), datas.back().begin(), datas.back().end());
  }
  GraphTensor all = g.concat(parts, 1);
  EXPECT_EQ(g.shape(all), (Shape{1, 66, 2}));
  EXPECT_EQ(r.run1(g, all), want);

  // A slice against the CPU engine's Slice node (axis 11 -> word 26, start word 19,
  // count word 20).
  const Floats x = values(4 * 9 * 5, 31);
  Graph h;
  GraphTensor t = h.placeholder({4, 9, 5}, DeviceDataType::kFloat32);
  GraphTensor y = h.slice(t, 1, 2, 6);
  r.feed(h, t, x);
  const Floats got = r.run1(h, y);
  const Floats cpu = cpu_engine_node(OpKind::kSlice, {{{4, 9, 5}, x, false}}, {4, 6, 5},
                                     {{26, 1}, {19, 2}, {20, 6}});
  EXPECT_EQ(got, cpu);
}

TEST(GraphMovement, GatherAlongAnAxisWithNegativeAndOutOfRangeIndices) {
  GraphRun r;
  const Shape s = {3, 4, 2};
  const Floats x = values(24, 41);
  const Floats idx = {0, 3, -1, 2, 9};  // -1 counts from the end; 9 is clamped to 3
  Graph g;
  GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
  GraphTensor i32 = g.constant_data(std::vector<int32_t>{0, 3, -1, 2, 9}.data(), 20, {5},
                                    DeviceDataType::kInt32);
  GraphTensor y = g.gather(t, i32, 1);
  EXPECT_EQ(g.shape(y), (Shape{3, 5, 2}));
  r.feed(g, t, x);
  const Floats got = r.run1(g, y);
  Floats want;
  const int64_t pick[5] = {0, 3, 3, 2, 3};
  for (int64_t a = 0; a < 3; ++a)
    for (int64_t j : pick)
      for (int64_t c = 0; c < 2; ++c) want.push_back(x[(a * 4 + j) * 2 + c]);
  EXPECT_EQ(got, want);
  const Floats cpu = cpu_engine_node(OpKind::kGather, {{{3, 4, 2}, x, false}, {{5}, idx, true}},
                                     {3, 5, 2}, {{26, 1}});
  EXPECT_EQ(got, cpu);

  // Float indices are refused when the graph is built.
  GraphTensor bad = g.gather(t, g.constant_scalar(1.0, DeviceDataType::kFloat32), 0);
  EXPECT_FALSE(bad.valid());
  EXPECT_NE(g.error().find("indices must be int32 or int64"), std::string::npos) << g.error();
}

TEST(GraphMovement, GatherAlongAxisBroadcastsIndicesOffTheAxis) {
  GraphRun r;
  // The resize tables' use: [N, C, H, W] with column indices [1, 1, 1, W'].
  const Shape s = {2, 3, 2, 4};
  const Floats x = values(count(s), 43);
  const std::vector<int32_t> cols = {3, 0, 1, 1, 2, -1};
  Graph g;
  GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
  GraphTensor idx = g.constant_data(cols.data(), cols.size() * 4, {1, 1, 1, 6}, DeviceDataType::kInt32);
  GraphTensor y = g.gather_along_axis(t, idx, 3);
  ASSERT_EQ(g.shape(y), (Shape{2, 3, 2, 6}));
  r.feed(g, t, x);
  const Floats got = r.run1(g, y);
  for (uint64_t f = 0; f < got.size(); ++f) {
    const auto o = unflatten(f, {2, 3, 2, 6});
    const int64_t c = cols[o[3]] < 0 ? cols[o[3]] + 4 : cols[o[3]];
    ASSERT_EQ(got[f], x[flatten({o[0], o[1], o[2], c}, s)]) << f;
  }
  // Per-row indices [C, K] with a broadcast batch of rows [1, K].
  Graph h;
  const Floats m = values(12, 44);
  GraphTensor tm = h.placeholder({3, 4}, DeviceDataType::kFloat32);
  GraphTensor rows = h.constant_data(std::vector<int32_t>{2, 2, 0}.data(), 12, {1, 3},
                                     DeviceDataType::kInt32);
  GraphTensor ym = h.gather_along_axis(tm, rows, 1);
  r.feed(h, tm, m);
  EXPECT_EQ(r.run1(h, ym), (Floats{m[2], m[2], m[0], m[6], m[6], m[4], m[10], m[10], m[8]}));
}

TEST(GraphMovement, ScatterNdSetsAndCombinesRows) {
  GraphRun r;
  const Floats data = values(4 * 3, 50);
  const Floats upd = {1, 2, 3, 4, 5, 6};
  for (GraphScatterMode mode : {GraphScatterMode::kSet, GraphScatterMode::kAdd}) {
    Graph g;
    GraphTensor d = g.placeholder({4, 3}, DeviceDataType::kFloat32);
    GraphTensor u = g.constant_data(upd.data(), 24, {2, 3}, DeviceDataType::kFloat32);
    GraphTensor i = g.constant_data(std::vector<int64_t>{3, 1}.data(), 16, {2, 1},
                                    DeviceDataType::kInt64);
    GraphTensor y = g.scatter_nd(d, u, i, 0, mode);
    r.feed(g, d, data);
    const Floats got = r.run1(g, y);
    Floats want = data;
    for (int c = 0; c < 3; ++c) {
      want[9 + c] = mode == GraphScatterMode::kSet ? upd[c] : data[9 + c] + upd[c];
      want[3 + c] = mode == GraphScatterMode::kSet ? upd[3 + c] : data[3 + c] + upd[3 + c];
    }
    EXPECT_EQ(got, want);
  }
  // Element tuples: indices [2, 2] into [4, 3].
  Graph g;
  GraphTensor d = g.placeholder({4, 3}, DeviceDataType::kFloat32);
  GraphTensor u = g.constant_data(std::vector<float>{9, 8}.data(), 8, {2}, DeviceDataType::kFloat32);
  GraphTensor i = g.constant_data(std::vector<int32_t>{0, 2, 3, 0}.data(), 16, {2, 2},
                                  DeviceDataType::kInt32);
  GraphTensor y = g.scatter_nd(d, u, i, 0, GraphScatterMode::kSet);
  r.feed(g, d, data);
  Floats want = data;
  want[2] = 9;
  want[9] = 8;
  EXPECT_EQ(r.run1(g, y), want);
  // Updates of the wrong shape are refused.
  GraphTensor bad = g.scatter_nd(d, g.constant_fill(0, {3}, DeviceDataType::kFloat32), i, 0,
                                 GraphScatterMode::kSet);
  EXPECT_FALSE(bad.valid());
}

// Resizes against the CPU engine's Resize node (half-pixel or aligned corners) and the
// definition of the uncentred sampling.
TEST(GraphMovement, ResizeModes) {
  GraphRun r;
  const Shape s = {1, 2, 3, 5};
  const Floats x = values(count(s), 60);
  struct Case {
    GraphResizeMode mode;
    bool centre, align;
    int64_t oh, ow;
  };
  const std::vector<Case> cases = {
      {GraphResizeMode::kNearest, true, false, 6, 10},
      {GraphResizeMode::kBilinear, true, false, 6, 10},
      {GraphResizeMode::kBilinear, false, true, 7, 4},
      {GraphResizeMode::kNearest, false, true, 5, 9},
      {GraphResizeMode::kBilinear, true, false, 3, 5},
  };
  for (const Case& c : cases) {
    Graph g;
    GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
    GraphTensor y = g.resize(t, c.oh, c.ow, c.mode, c.centre, c.align);
    r.feed(g, t, x);
    const Floats got = r.run1(g, y);
    const Floats cpu = cpu_engine_node(
        OpKind::kResize, {{udims(s), x, false}}, {1, 2, static_cast<uint64_t>(c.oh), static_cast<uint64_t>(c.ow)},
        {{27, c.mode == GraphResizeMode::kBilinear ? 1u : 0u}, {28, c.align ? 1u : 0u}});
    EXPECT_EQ(got, cpu) << c.oh << "x" << c.ow;
  }
  // Neither centred nor aligned: output o samples input o * in / out.
  Graph g;
  GraphTensor t = g.placeholder({1, 1, 1, 4}, DeviceDataType::kFloat32);
  GraphTensor near_y = g.resize(t, 1, 8, GraphResizeMode::kNearest, false, false);
  GraphTensor lin_y = g.resize(t, 1, 8, GraphResizeMode::kBilinear, false, false);
  r.feed(g, t, {0, 10, 20, 30});
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {near_y, lin_y}, &out));
  EXPECT_EQ(out[0], (Floats{0, 0, 10, 10, 20, 20, 30, 30}));
  EXPECT_EQ(out[1], (Floats{0, 5, 10, 15, 20, 25, 30, 30}));
}

}  // namespace
}  // namespace vexa::graph_test
