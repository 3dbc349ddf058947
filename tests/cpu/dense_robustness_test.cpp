// Random node records for the dense cases: every node either fails its build-time check or
// runs inside its buffers (the sanitizer build watches), writing every output element.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "dense_graph.h"

namespace vexa::cpu {
namespace {

using testing::TestGraph;

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  // Uniform in [lo, hi].
  int64_t range(int64_t lo, int64_t hi) {
    s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
    return lo + static_cast<int64_t>((s_ >> 33) % static_cast<uint64_t>(hi - lo + 1));
  }

 private:
  uint64_t s_;
};

// Runs the single node of `g` when its check accepts it; outputs start as NaN so an element
// the kernel forgets to write is caught (an accepted node must write all of its output).
void check_then_run(TestGraph& g, uint64_t out, bool expect_all_finite, int* accepted) {
  auto s = g.state();
  std::string message;
  if (!testing::check_node(*s, 0, &message)) return;
  ++*accepted;
  const OpEntry* e = cpu_op_entry(s->nodes[0].kind());
  OpCheck check{s->nodes[0], s->values, s->value_count, nullptr, 0};
  const uint64_t ws_bytes = e->workspace != nullptr ? e->workspace(check) : 0;
  std::vector<float> workspace(ws_bytes / sizeof(float));
  float* y = s->data[out];
  const uint64_t n = s->values[out].element_count();
  std::fill(y, y + n, std::numeric_limits<float>::quiet_NaN());
  OpContext ctx{s->nodes[0], s->values, s->data, s->value_count,
                workspace.empty() ? nullptr : workspace.data(), ws_bytes};
  ASSERT_TRUE(e->run(ctx));
  if (expect_all_finite) {
    for (uint64_t i = 0; i < n; ++i) ASSERT_FALSE(std::isnan(y[i])) << "element " << i << " of " << n;
  }
}

TEST(DenseRobustness, RandomConvNodes) {
  Rng rng(1);
  int accepted = 0;
  for (int iter = 0; iter < 800; ++iter) {
    TestGraph g;
    const bool transpose = rng.range(0, 3) == 0;
    // Mostly consistent shapes, so that many nodes pass the check and run.
    const int64_t group = rng.range(0, 9) == 0 ? rng.range(-1, 3) : rng.range(1, 3);
    const uint64_t gsize = static_cast<uint64_t>(std::max<int64_t>(group, 1));
    const uint64_t n = rng.range(0, 2), c_in = gsize * rng.range(0, 2) + (rng.range(0, 9) == 0),
                   h = rng.range(0, 7), w = rng.range(0, 7), c_out = gsize * rng.range(0, 2),
                   oh = rng.range(0, 9), ow = rng.range(0, 9);
    const int64_t kh = rng.range(-1, 4), kw = rng.range(-1, 4);
    uint64_t wd0 = transpose ? c_in : c_out;
    uint64_t wd1 = (transpose ? c_out : c_in) / gsize;
    if (rng.range(0, 9) == 0) wd0 = rng.range(0, 6);
    if (rng.range(0, 9) == 0) wd1 = rng.range(0, 6);
    const uint64_t x = g.value(kValueGraphInput, {n, c_in, h, w}, 1);
    const uint64_t wt = g.weight({wd0, wd1, static_cast<uint64_t>(std::max<int64_t>(kh, 0)),
                                  static_cast<uint64_t>(std::max<int64_t>(kw, 0))}, 2);
    const uint64_t y = g.act({n, c_out, oh, ow});
    const int bias_kind = static_cast<int>(rng.range(0, 3));
    const uint64_t bias_count = bias_kind == 0 ? 0 : bias_kind == 1 ? c_out : c_out * 3 + rng.range(-1, 1);
    std::vector<std::pair<uint32_t, uint64_t>> attrs = {
        {15, static_cast<uint64_t>(kh)},
        {16, static_cast<uint64_t>(kw)},
        {17, static_cast<uint64_t>(rng.range(-1, 3))},
        {18, static_cast<uint64_t>(rng.range(0, 3))},
        {19, static_cast<uint64_t>(rng.range(-1, 3))},
        {20, static_cast<uint64_t>(rng.range(0, 3))},
        {23, static_cast<uint64_t>(rng.range(0, 3))},
        {24, static_cast<uint64_t>(rng.range(1, 3))},
        {25, static_cast<uint64_t>(group)},
        {27, static_cast<uint64_t>(rng.range(0, 1))},
        {29, static_cast<uint64_t>(rng.range(-1, 4))},
        {30, f32_word(0.1f)}};
    const OpKind kind = transpose ? OpKind::kConvTranspose : OpKind::kConv;
    if (bias_kind == 0 || static_cast<int64_t>(bias_count) <= 0) {
      g.node(kind, {x, wt}, {y}, attrs);
    } else {
      g.node(kind, {x, wt, g.weight({bias_count}, 3)}, {y}, attrs);
    }
    check_then_run(g, y, true, &accepted);
  }
  EXPECT_GT(accepted, 50);
}

TEST(DenseRobustness, RandomPoolNodes) {
  Rng rng(2);
  int accepted = 0;
  const OpKind kinds[] = {OpKind::kMaxPool, OpKind::kAveragePool};
  for (int iter = 0; iter < 600; ++iter) {
    TestGraph g;
    const uint64_t n = rng.range(0, 2), c = rng.range(0, 3), h = rng.range(0, 6),
                   w = rng.range(0, 6);
    const uint64_t x = g.value(kValueGraphInput, {n, c, h, w}, 1);
    const uint64_t y = g.act({n, c + (rng.range(0, 9) == 0 ? 1 : 0),
                              static_cast<uint64_t>(rng.range(0, 7)),
                              static_cast<uint64_t>(rng.range(0, 7))});
    const OpKind kind = kinds[rng.range(0, 1)];
    g.node(kind, {x}, {y},
           {{15, static_cast<uint64_t>(rng.range(-1, 4))},
            {16, static_cast<uint64_t>(rng.range(0, 4))},
            {17, static_cast<uint64_t>(rng.range(0, 3))},
            {18, static_cast<uint64_t>(rng.range(1, 3))},
            {19, static_cast<uint64_t>(rng.range(-1, 3))},
            {20, static_cast<uint64_t>(rng.range(0, 3))}});
    // An empty window averages to NaN by definition; only max pooling must be finite.
    check_then_run(g, y, kind == OpKind::kMaxPool, &accepted);
  }
  EXPECT_GT(accepted, 30);
}

TEST(DenseRobustness, RandomGemmAndMatMulNodes) {
  Rng rng(3);
  int accepted = 0;
  for (int iter = 0; iter < 600; ++iter) {
    TestGraph g;
    if (rng.range(0, 1) == 0) {
      const uint64_t m = rng.range(0, 4), k = rng.range(0, 4), n = rng.range(0, 4);
      const bool ta = rng.range(0, 1), tb = rng.range(0, 1);
      const uint64_t a = ta ? g.weight({k, m}, 1) : g.weight({m, k}, 1);
      const uint64_t b = tb ? g.weight({n + rng.range(0, 1), k}, 2) : g.weight({k, n}, 2);
      const uint64_t y = g.act({m, n});
      std::vector<std::pair<uint32_t, uint64_t>> attrs = {
          {27, ta}, {28, tb}, {29, f32_word(1.0f)}, {30, f32_word(0.5f)}};
      const int64_t c_rank = rng.range(-1, 2);
      if (c_rank < 0) {
        g.node(OpKind::kGemm, {a, b}, {y}, attrs);
      } else {
        const uint64_t c = c_rank == 0   ? g.weight({1}, 3)
                           : c_rank == 1 ? g.weight({static_cast<uint64_t>(rng.range(1, 4))}, 3)
                                         : g.weight({static_cast<uint64_t>(rng.range(1, 4)),
                                                     static_cast<uint64_t>(rng.range(1, 4))},
                                                    3);
        g.node(OpKind::kGemm, {a, b, c}, {y}, attrs);
      }
      check_then_run(g, y, true, &accepted);
    } else {
      auto dims = [&](int64_t rank) {
        std::vector<uint64_t> d;
        for (int64_t i = 0; i < rank; ++i) d.push_back(static_cast<uint64_t>(rng.range(1, 3)));
        return d;
      };
      const auto ad = dims(rng.range(1, 4)), bd = dims(rng.range(1, 4));
      uint64_t ac = 1, bc = 1;
      for (uint64_t d : ad) ac *= d;
      for (uint64_t d : bd) bc *= d;
      const uint64_t a = g.weight({ac}, 1), b = g.weight({bc}, 2);
      // Give the operands their shapes by rewriting the records.
      const uint64_t y = g.act({static_cast<uint64_t>(rng.range(1, 40))});
      g.node(OpKind::kMatMul, {a, b}, {y}, {{27, static_cast<uint64_t>(rng.range(0, 1))}});
      auto s = g.state();
      auto reshape = [&](uint64_t v, const std::vector<uint64_t>& d) {
        s->values[v].w[kValueWordRank] = d.size();
        for (size_t i = 0; i < 6; ++i) s->values[v].w[kValueWordFirstDim + i] = i < d.size() ? d[i] : 0;
      };
      reshape(a, ad);
      reshape(b, bd);
      std::string message;
      if (!testing::check_node(*s, 0, &message)) continue;
      ++accepted;
      float* out = s->data[y];
      std::fill(out, out + s->values[y].element_count(), std::numeric_limits<float>::quiet_NaN());
      OpContext ctx{s->nodes[0], s->values, s->data, s->value_count, nullptr, 0};
      ASSERT_TRUE(cpu_op_entry(s->nodes[0].kind())->run(ctx));
      for (uint64_t i = 0; i < s->values[y].element_count(); ++i) ASSERT_FALSE(std::isnan(out[i]));
    }
  }
  EXPECT_GT(accepted, 30);
}

}  // namespace
}  // namespace vexa::cpu
