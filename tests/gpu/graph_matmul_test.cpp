// Matrix products and attention against double-precision definitions and the CPU engine.
#include "graph_test_util.h"

namespace vexa::graph_test {
namespace {

Floats naive_matmul(const Floats& a, const Shape& sa, const Floats& b, const Shape& sb,
                    const Shape& out) {
  const int64_t m = sa[sa.size() - 2], k = sa.back(), n = sb.back();
  Floats y(count(out));
  const Shape batch(out.begin(), out.end() - 2);
  const Shape ba(sa.begin(), sa.end() - 2), bb(sb.begin(), sb.end() - 2);
  for (uint64_t p = 0; p < count(batch); ++p) {
    const auto idx = unflatten(p, batch);
    std::vector<int64_t> ia(ba.size()), ib(bb.size());
    for (size_t i = 0; i < ba.size(); ++i) ia[i] = ba[i] == 1 ? 0 : idx[idx.size() - ba.size() + i];
    for (size_t i = 0; i < bb.size(); ++i) ib[i] = bb[i] == 1 ? 0 : idx[idx.size() - bb.size() + i];
    const uint64_t oa = flatten(ia, ba) * m * k, ob = flatten(ib, bb) * k * n;
    for (int64_t i = 0; i < m; ++i)
      for (int64_t j = 0; j < n; ++j) {
        double acc = 0;
        for (int64_t q = 0; q < k; ++q) acc += double{a[oa + i * k + q]} * b[ob + q * n + j];
        y[p * m * n + i * n + j] = static_cast<float>(acc);
      }
  }
  return y;
}

TEST(GraphMatMul, BatchedProductsBroadcastTheirBatchDims) {
  GraphRun r;
  const std::vector<std::pair<Shape, Shape>> cases = {
      {{5, 7}, {7, 3}},
      {{1, 197, 64}, {64, 96}},          // activations times a weight
      {{2, 3, 4, 8}, {2, 3, 8, 5}},      // per-head products
      {{2, 1, 4, 8}, {3, 8, 5}},         // both sides broadcast
      {{1, 2, 1, 2, 1, 2, 3, 4}, {4, 2}},  // rank 8 merges to the CPU's six
      {{70, 65}, {65, 130}},
  };
  for (const auto& [sa, sb] : cases) {
    const Floats a = values(count(sa), 100), b = values(count(sb), 101);
    Graph g;
    GraphTensor ta = g.placeholder(sa, DeviceDataType::kFloat32);
    GraphTensor tb = g.constant_data(b.data(), b.size() * 4, sb, DeviceDataType::kFloat32);
    GraphTensor y = g.matmul(ta, tb);
    ASSERT_TRUE(g.ok()) << g.error();
    r.feed(g, ta, a);
    const Floats got = r.run1(g, y);
    EXPECT_TRUE(near(got, naive_matmul(a, sa, b, sb, g.shape(y)), 1e-5))
        << graph_shape_text(sa) << " x " << graph_shape_text(sb);
    if (sa.size() <= 6) {
      const Floats cpu = cpu_engine_node(OpKind::kMatMul, {{udims(sa), a, false}, {udims(sb), b, true}},
                                         udims(g.shape(y)), {});
      EXPECT_EQ(got, cpu) << graph_shape_text(sa);
    }
  }
  Graph g;
  GraphTensor y = g.matmul(g.placeholder({2, 3}, DeviceDataType::kFloat32),
                           g.placeholder({4, 5}, DeviceDataType::kFloat32));
  EXPECT_FALSE(y.valid());
  EXPECT_NE(g.error().find("do not multiply"), std::string::npos) << g.error();
}

TEST(GraphMatMul, ScaledDotProductAttentionWithAndWithoutMask) {
  GraphRun r;
  const int64_t b = 2, h = 3, s = 5, t = 7, d = 8, dv = 6;
  const Shape qs = {b, h, s, d}, ks = {b, h, t, d}, vs = {b, h, t, dv}, ms = {b, 1, s, t};
  const Floats q = values(count(qs), 110), k = values(count(ks), 111), v = values(count(vs), 112);
  Floats mask(count(ms), 0.0f);
  for (int64_t i = 0; i < b; ++i)
    for (int64_t r0 = 0; r0 < s; ++r0)
      for (int64_t c = r0 + 3; c < t; ++c) mask[(i * s + r0) * t + c] = -1e9f;
  const float scale = 1.0f / std::sqrt(static_cast<float>(d));
  for (bool masked : {false, true}) {
    Graph g;
    GraphTensor tq = g.placeholder(qs, DeviceDataType::kFloat32);
    GraphTensor tk = g.placeholder(ks, DeviceDataType::kFloat32);
    GraphTensor tv = g.placeholder(vs, DeviceDataType::kFloat32);
    GraphTensor tm = masked ? g.placeholder(ms, DeviceDataType::kFloat32) : GraphTensor{};
    GraphTensor y = g.scaled_dot_product_attention(tq, tk, tv, tm, scale);
    ASSERT_TRUE(g.ok()) << g.error();
    EXPECT_EQ(g.shape(y), (Shape{b, h, s, dv}));
    r.feed(g, tq, q);
    r.feed(g, tk, k);
    r.feed(g, tv, v);
    if (masked) r.feed(g, tm, mask);
    const Floats got = r.run1(g, y);
    Floats want(count(g.shape(y)));
    for (int64_t i = 0; i < b; ++i)
      for (int64_t hh = 0; hh < h; ++hh)
        for (int64_t r0 = 0; r0 < s; ++r0) {
          std::vector<double> sc(t);
          double mx = -1e300;
          for (int64_t c = 0; c < t; ++c) {
            double acc = 0;
            for (int64_t e = 0; e < d; ++e)
              acc += double{q[((i * h + hh) * s + r0) * d + e]} * k[((i * h + hh) * t + c) * d + e];
            sc[c] = acc * scale + (masked ? mask[(i * s + r0) * t + c] : 0.0);
            mx = std::max(mx, sc[c]);
          }
          double sum = 0;
          for (double& e : sc) sum += (e = std::exp(e - mx));
          for (int64_t o = 0; o < dv; ++o) {
            double acc = 0;
            for (int64_t c = 0; c < t; ++c) acc += sc[c] / sum * v[((i * h + hh) * t + c) * dv + o];
            want[((i * h + hh) * s + r0) * dv + o] = static_cast<float>(acc);
          }
        }
    EXPECT_TRUE(near(got, want, 1e-5)) << (masked ? "masked" : "plain");
  }
  // A mask that does not broadcast to the scores is refused.
  Graph g;
  GraphTensor tq = g.placeholder(qs, DeviceDataType::kFloat32);
  GraphTensor bad = g.scaled_dot_product_attention(
      tq, g.placeholder(ks, DeviceDataType::kFloat32), g.placeholder(vs, DeviceDataType::kFloat32),
      g.placeholder({b, 1, s, t + 1}, DeviceDataType::kFloat32), scale);
  EXPECT_FALSE(bad.valid());
  EXPECT_NE(g.error().find("does not broadcast"), std::string::npos) << g.error();
}

// One operation of a float16 graph computes in f32 and rounds its result once.
TEST(GraphMatMul, HalfProductsAndAttentionRoundOnce) {
  GraphRun r;
  const Shape qs = {2, 6, 16}, ks = {2, 9, 16}, vs = {2, 9, 5}, ws = {16, 7};
  const Floats q = rounded_f16(values(count(qs), 120)), k = rounded_f16(values(count(ks), 121));
  const Floats v = rounded_f16(values(count(vs), 122)), w = rounded_f16(values(count(ws), 123));
  std::vector<Floats> out[2];
  for (int half = 0; half < 2; ++half) {
    const DeviceDataType t = half ? DeviceDataType::kFloat16 : DeviceDataType::kFloat32;
    Graph g;
    GraphTensor tq = g.placeholder(qs, t), tk = g.placeholder(ks, t), tv = g.placeholder(vs, t);
    GraphTensor tw = g.placeholder(ws, t);
    GraphTensor prod = g.matmul(tq, tw);
    GraphTensor att = g.scaled_dot_product_attention(tq, tk, tv, GraphTensor{}, 0.25f);
    r.feed(g, tq, q);
    r.feed(g, tk, k);
    r.feed(g, tv, v);
    r.feed(g, tw, w);
    ASSERT_TRUE(r.run(g, {prod, att}, &out[half]));
  }
  EXPECT_EQ(out[1][0], rounded_f16(out[0][0]));
  EXPECT_EQ(out[1][1], rounded_f16(out[0][1]));
}

}  // namespace
}  // namespace vexa::graph_test

namespace vexa::graph_test {
namespace {

// x [M, K] times the transpose of a fed weight [N, K], as a linear layer's graph writes it.
struct LinearGraph {
  Graph g;
  GraphTensor x, w, y;
  DeviceDataType xt;  // the activations' type: halves with a weight of halves used uncast
  LinearGraph(int64_t m, int64_t n, int64_t k, DeviceDataType weight_type, bool cast)
      : xt(cast ? DeviceDataType::kFloat32 : weight_type) {
    x = g.placeholder({m, k}, xt, "x");
    w = g.placeholder({n, k}, weight_type, "weight");
    GraphTensor b = cast ? g.cast(w, DeviceDataType::kFloat32) : w;
    y = g.matmul(x, g.transpose(b, 0, 1));
  }
};

::testing::AssertionResult run_linear(LinearGraph& l, const Floats& x, const Floats& w,
                                      DeviceDataType weight_type, bool fuse, Floats* out,
                                      std::shared_ptr<GraphExecutable>* exe_out = nullptr) {
  const DeviceDataType xt = l.xt;
  const Shape xs = l.g.shape(l.x), ws = l.g.shape(l.w), ys = l.g.shape(l.y);
  GraphCompilationDescriptor cd;
  cd.fuse = fuse;
  std::string error;
  auto exe = l.g.compile(GraphDevice(device_system_default()),
                         {{l.x, {xs, xt}}, {l.w, {ws, weight_type}}}, {l.y}, cd, &error);
  if (exe == nullptr) return ::testing::AssertionFailure() << "compile: " << error;
  auto queue = device_system_default()->new_command_queue();
  auto result = buffer_of(Floats(count(ys), -777.0f), xt);
  if (!exe->run(*queue,
                {GraphTensorData(buffer_of(x, xt), xs, xt),
                 GraphTensorData(buffer_of(w, weight_type), ws, weight_type)},
                {GraphTensorData(result, ys, xt)}, GraphExecutionDescriptor{}, &error)) {
    return ::testing::AssertionFailure() << "run: " << error;
  }
  *out = read_buffer(result, xt, count(ys));
  if (exe_out != nullptr) *exe_out = exe;
  return ::testing::AssertionSuccess();
}

TEST(GraphMatMul, ProductsByAFedWeightReadItAsStored) {
  // The cast and the transpose are not made: one step reads the weight's [N, K] rows where the
  // caller keeps them, and the arena holds no copy of it. The result is the unfused graph's,
  // byte for byte, and within f32 rounding of a double-precision product, for weights of halves
  // and of floats, with and without the cast, in sliced and in chunked shapes.
  graph_ops_install();
  struct Case {
    int64_t m, n, k;
    DeviceDataType type;
    bool cast;
  };
  const DeviceDataType f16 = DeviceDataType::kFloat16, f32 = DeviceDataType::kFloat32;
  const Case cases[] = {{128, 576, 192, f16, true}, {33, 90, 70, f16, true},
                        {40, 64, 96, f32, false}, {7, 48, 3000, f16, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n << "x" << c.k << " cast " << c.cast);
    LinearGraph l(c.m, c.n, c.k, c.type, c.cast);
    ASSERT_TRUE(l.g.ok()) << l.g.error();
    Floats x = values(static_cast<uint64_t>(c.m * c.k), 7);
    Floats w = values(static_cast<uint64_t>(c.n * c.k), 8);
    if (c.type == f16) w = rounded_f16(w);
    if (l.xt == f16) x = rounded_f16(x);
    Floats fused, plain;
    std::shared_ptr<GraphExecutable> exe;
    ASSERT_TRUE(run_linear(l, x, w, c.type, true, &fused, &exe));
    const std::vector<GraphStepSummary> steps = exe->steps();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].kind, GraphOpKind::kFusedStoredMatMul);
    EXPECT_EQ(steps[0].fused_nodes, c.cast ? 3u : 2u);
    // x and the result only: the weight is read in place.
    EXPECT_LE(exe->arena_bytes(), static_cast<uint64_t>(c.m * (c.k + c.n)) * 4 + 128);
    ASSERT_TRUE(run_linear(l, x, w, c.type, false, &plain));
    EXPECT_EQ(fused, plain);
    Floats wt(static_cast<uint64_t>(c.k * c.n));
    for (int64_t r = 0; r < c.n; ++r)
      for (int64_t t = 0; t < c.k; ++t) wt[t * c.n + r] = w[r * c.k + t];
    // Half results are the f32 sums rounded once.
    EXPECT_TRUE(near(fused, naive_matmul(x, {c.m, c.k}, wt, {c.k, c.n}, {c.m, c.n}),
                     l.xt == f16 ? 1e-3 : 1e-4));
  }
  // A weight that another step reads as well is converted as before, and both uses see it.
  Graph g;
  GraphTensor x = g.placeholder({4, 8}, f32), w = g.placeholder({6, 8}, f16);
  GraphTensor wf = g.cast(w, f32);
  GraphTensor y = g.matmul(x, g.transpose(wf, 0, 1));
  GraphTensor twice = g.add(w, w);
  ASSERT_TRUE(g.ok()) << g.error();
  const Floats xv = values(32, 3), wv = rounded_f16(values(48, 4));
  GraphRun r;
  r.feed(g, x, xv);
  r.feed(g, w, wv);
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {y, twice}, &out));
  Floats wt(48);
  for (int64_t row = 0; row < 6; ++row)
    for (int64_t t = 0; t < 8; ++t) wt[t * 6 + row] = wv[row * 8 + t];
  EXPECT_TRUE(near(out[0], naive_matmul(xv, {4, 8}, wt, {8, 6}, {4, 6}), 1e-5));
  for (size_t i = 0; i < 48; ++i) EXPECT_EQ(out[1][i], f16_round_trip(wv[i] + wv[i])) << i;
  // A weight fed in another type than the product reads is refused with a message.
  LinearGraph l(4, 6, 8, f16, true);
  const DeviceDataType i64 = DeviceDataType::kInt64;
  std::string error;
  auto exe = l.g.compile(GraphDevice(device_system_default()),
                         {{l.x, {{4, 8}, f32}}, {l.w, {{6, 8}, f16}}}, {l.y},
                         GraphCompilationDescriptor{}, &error);
  ASSERT_NE(exe, nullptr) << error;
  auto queue = device_system_default()->new_command_queue();
  EXPECT_FALSE(exe->run(*queue,
                        {GraphTensorData(buffer_of(Floats(32, 1.0f), f32), {4, 8}, f32),
                         GraphTensorData(buffer_of(Floats(48, 1.0f), i64), {6, 8}, i64)},
                        {GraphTensorData(buffer_of(Floats(24), f32), {4, 6}, f32)},
                        GraphExecutionDescriptor{}, &error));
  EXPECT_NE(error.find("read as stored"), std::string::npos) << error;
}

}  // namespace
}  // namespace vexa::graph_test
