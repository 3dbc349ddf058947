// Reductions, arg-max, soft-max and top-k against naive loops and the CPU engine.
#include <algorithm>
#include <numeric>

#include "graph_test_util.h"

namespace vexa::graph_test {
namespace {

enum class Red { kSum, kMean, kMax, kMin, kProd };

Floats naive_reduce(const Floats& x, const Shape& s, const std::vector<int64_t>& axes, Red red) {
  Shape out = s;
  for (int64_t a : axes) out[a] = 1;
  std::vector<double> acc(count(out), red == Red::kProd ? 1.0 : 0.0);
  std::vector<bool> seen(acc.size(), false);
  uint64_t per = 1;
  for (int64_t a : axes) per *= static_cast<uint64_t>(s[a]);
  for (uint64_t f = 0; f < x.size(); ++f) {
    auto idx = unflatten(f, s);
    for (int64_t a : axes) idx[a] = 0;
    const uint64_t o = flatten(idx, out);
    const double v = x[f];
    switch (red) {
      case Red::kSum: case Red::kMean: acc[o] += v; break;
      case Red::kProd: acc[o] *= v; break;
      case Red::kMax: acc[o] = seen[o] ? std::max(acc[o], v) : v; break;
      case Red::kMin: acc[o] = seen[o] ? std::min(acc[o], v) : v; break;
    }
    seen[o] = true;
  }
  Floats y(acc.size());
  for (size_t i = 0; i < y.size(); ++i) {
    y[i] = static_cast<float>(red == Red::kMean ? acc[i] / static_cast<double>(per) : acc[i]);
  }
  return y;
}

TEST(GraphReduce, ReductionsOverAnySetOfAxes) {
  GraphRun r;
  const Shape s = {3, 4, 5, 6};
  Floats x = values(count(s), 70);
  for (float& v : x) v = 1.0f + 0.1f * v;  // products stay near 1
  const std::vector<std::vector<int64_t>> axis_sets = {
      {0}, {3}, {1, 2}, {2, 3}, {0, 2}, {0, 1, 3}, {0, 1, 2, 3}, {-1, 1}};
  struct Kind {
    Red red;
    GraphTensor (Graph::*op)(GraphTensor, const std::vector<int64_t>&);
  };
  const std::vector<Kind> kinds = {{Red::kSum, &Graph::reduce_sum}, {Red::kMean, &Graph::mean},
                                   {Red::kMax, &Graph::reduce_max}, {Red::kMin, &Graph::reduce_min},
                                   {Red::kProd, &Graph::reduce_product}};
  for (const Kind& k : kinds) {
    for (const auto& axes : axis_sets) {
      Graph g;
      GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
      GraphTensor y = (g.*k.op)(t, axes);
      ASSERT_TRUE(g.ok()) << g.error();
      std::vector<int64_t> norm;
      for (int64_t a : axes) norm.push_back(a < 0 ? a + 4 : a);
      Shape want_shape = s;
      for (int64_t a : norm) want_shape[a] = 1;
      EXPECT_EQ(g.shape(y), want_shape);
      r.feed(g, t, x);
      EXPECT_TRUE(near(r.run1(g, y), naive_reduce(x, s, norm, k.red), 1e-5))
          << static_cast<int>(k.red) << " over " << graph_shape_text(axes);
    }
  }
}

TEST(GraphReduce, SingleAxisAndPlaneMeansMatchTheCpuEngine) {
  GraphRun r;
  const Shape s = {2, 6, 7, 5};
  const Floats x = values(count(s), 71);
  const std::vector<std::pair<GraphTensor (Graph::*)(GraphTensor, const std::vector<int64_t>&), OpKind>>
      kinds = {{&Graph::reduce_sum, OpKind::kReduceSum}, {&Graph::mean, OpKind::kReduceMean},
               {&Graph::reduce_max, OpKind::kReduceMax}, {&Graph::reduce_min, OpKind::kReduceMin},
               {&Graph::reduce_product, OpKind::kReduceProd}};
  for (const auto& [op, kind] : kinds) {
    for (int64_t axis = 0; axis < 4; ++axis) {
      Graph g;
      GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
      GraphTensor y = (g.*op)(t, {axis});
      r.feed(g, t, x);
      const Floats got = r.run1(g, y);
      Shape os = s;
      os[axis] = 1;
      const Floats cpu = cpu_engine_node(kind, {{udims(s), x, false}}, udims(os),
                                         {{26, static_cast<uint64_t>(axis)}});
      EXPECT_EQ(got, cpu) << op_kind_name(static_cast<uint64_t>(kind)) << " axis " << axis;
    }
  }
  // The mean over H and W is the CPU engine's global average pooling, bit for bit.
  Graph g;
  GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
  GraphTensor y = g.mean(t, {2, 3});
  r.feed(g, t, x);
  EXPECT_EQ(r.run1(g, y), cpu_engine_node(OpKind::kGlobalAveragePool, {{udims(s), x, false}},
                                          {2, 6, 1, 1}, {}));
}

TEST(GraphReduce, ArgMaxSoftmaxTopK) {
  GraphRun r;
  const Shape s = {3, 4, 5};
  Floats x = values(count(s), 72);
  x[1 * 5 + 2] = x[2 * 5 + 2] = 5.0f;  // a tie along axis 1 at (0, *, 2): the first wins
  for (int64_t axis = 0; axis < 3; ++axis) {
    Graph g;
    GraphTensor t = g.placeholder(s, DeviceDataType::kFloat32);
    GraphTensor am = g.arg_max(t, axis);
    GraphTensor sm = g.softmax(t, axis);
    EXPECT_EQ(g.type(am), DeviceDataType::kInt32);
    r.feed(g, t, x);
    std::vector<Floats> out;
    ASSERT_TRUE(r.run(g, {am, sm}, &out));
    Shape os = s;
    os[axis] = 1;
    Floats want_am(count(os)), want_sm(x.size());
    for (uint64_t o = 0; o < want_am.size(); ++o) {
      auto idx = unflatten(o, os);
      int64_t best = 0;
      double mx = -1e30, sum = 0;
      for (int64_t j = 0; j < s[axis]; ++j) {
        idx[axis] = j;
        const float v = x[flatten(idx, s)];
        if (v > mx) {
          mx = v;
          best = j;
        }
      }
      for (int64_t j = 0; j < s[axis]; ++j) {
        idx[axis] = j;
        sum += std::exp(x[flatten(idx, s)] - mx);
      }
      for (int64_t j = 0; j < s[axis]; ++j) {
        idx[axis] = j;
        const uint64_t f = flatten(idx, s);
        want_sm[f] = static_cast<float>(std::exp(x[f] - mx) / sum);
      }
      want_am[o] = static_cast<float>(best);
    }
    EXPECT_EQ(out[0], want_am) << axis;
    EXPECT_TRUE(near(out[1], want_sm, 1e-6)) << axis;
    EXPECT_EQ(out[0], cpu_engine_node(OpKind::kArgMax, {{udims(s), x, false}}, udims(os),
                                      {{26, static_cast<uint64_t>(axis)}}));
    EXPECT_EQ(out[1], cpu_engine_node(OpKind::kSoftmax, {{udims(s), x, false}}, udims(s),
                                      {{26, static_cast<uint64_t>(axis)}}));
  }
  // top-k of the last dim, descending, indices as int32.
  Graph g;
  GraphTensor t = g.placeholder({2, 6}, DeviceDataType::kFloat32);
  GraphTensorPair top = g.top_k(t, 3);
  EXPECT_EQ(g.shape(top.first), (Shape{2, 3}));
  EXPECT_EQ(g.type(top.second), DeviceDataType::kInt32);
  r.feed(g, t, {0.5f, 3, -1, 3.5f, 2, 0, 9, 8, 7, 6, 5, 4});
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {top.first, top.second}, &out));
  EXPECT_EQ(out[0], (Floats{3.5f, 3, 2, 9, 8, 7}));
  EXPECT_EQ(out[1], (Floats{3, 1, 4, 0, 1, 2}));
}

TEST(GraphReduce, HalfSoftmaxAndMeanRoundTheirResults) {
  GraphRun r;
  const Floats x = rounded_f16(values(40, 73));
  // Softmax and mean along the rows of x held as `type`.
  const auto softmax_and_mean = [&](DeviceDataType type, std::vector<Floats>* out) {
    Graph g;
    GraphTensor t = g.placeholder({4, 10}, type);
    GraphTensor sm = g.softmax(t, 1);
    GraphTensor mean = g.mean(t, {1});
    r.feed(g, t, x);
    return r.run(g, {sm, mean}, out);
  };
  std::vector<Floats> out, ref;
  ASSERT_TRUE(softmax_and_mean(DeviceDataType::kFloat16, &out));
  ASSERT_TRUE(softmax_and_mean(DeviceDataType::kFloat32, &ref));
  EXPECT_EQ(out[0], rounded_f16(ref[0]));
  EXPECT_EQ(out[1], rounded_f16(ref[1]));
}

}  // namespace
}  // namespace vexa::graph_test
