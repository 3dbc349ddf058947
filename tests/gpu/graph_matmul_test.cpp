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
