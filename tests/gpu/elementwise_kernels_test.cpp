// Element-wise ops, layout moves, cache appends, normalisation and rotary embedding against
// loops written here from the index formulas and rounding points, bit for bit, at both
// activation precisions.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gpu/kernel_test_util.h"

namespace {

using namespace kernel_test;

constexpr float kSentinel = 12.5f;

Buf output(uint64_t n, bool fp32) { return act_buffer(std::vector<float>(n + 4, kSentinel), fp32); }

std::vector<float> with_tail(std::vector<float> v) {
  v.resize(v.size() + 4, kSentinel);
  return v;
}

}  // namespace

TEST(ElementwiseKernels, PointwiseOps) {
  std::mt19937 rng(20);
  const uint64_t rows = 9, width = 111, count = rows * width;
  for (bool fp32 : {false, true}) {
    std::vector<float> x = uniform(rng, count, -6, 6, fp32);
    const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 60000.0f, -60000.0f, 1e-7f};
    for (size_t i = 0; i < std::size(specials); ++i) x[i * 13] = round_a(specials[i], fp32);
    const std::vector<float> per_channel = uniform(rng, width, -3, 3, fp32);
    const std::vector<float> full = uniform(rng, count, -3, 3, fp32);
    struct Case {
      uint32_t op;
      const std::vector<float>* b;
    };
    for (const Case& c : {Case{3, &per_channel}, Case{3, &full}, Case{9, &per_channel},
                          Case{9, &full}, Case{7, nullptr}, Case{8, nullptr}, Case{0, nullptr},
                          Case{42, nullptr}}) {
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " op " << c.op);
      const uint64_t b_count = c.b ? c.b->size() : count;
      Buf xb = act_buffer(x, fp32), bb = act_buffer(c.b ? *c.b : x, fp32), y = output(count, fp32);
      const uint64_t n = count - 7;  // ragged: the last seven elements stay
      ASSERT_TRUE(run_kernel("pointwise", fp32, {{0, &xb}, {1, &bb}, {2, &y}},
                             params({{0, static_cast<uint32_t>(n)}, {1, static_cast<uint32_t>(b_count)},
                                     {2, c.op}}),
                             threads(n))
                      .ok);
      std::vector<float> want(count + 4, kSentinel);
      for (uint64_t i = 0; i < n; ++i) {
        const float a = x[i];
        float r;
        switch (c.op) {
          case 3: r = a + (*c.b)[i % b_count]; break;
          case 9: r = a * (*c.b)[i % b_count]; break;
          case 7: {
            const float inner = 0.7978845608028654f * (a + 0.044715f * ((a * a) * a));
            r = (0.5f * a) * (1.0f + std::tanh(inner));
            break;
          }
          case 8: r = a / (1.0f + std::exp(-a)); break;
          default: r = a;
        }
        want[i] = round_a(r, fp32);
      }
      expect_same(read_act(y, count + 4, fp32), want, "pointwise");
    }
  }
  // A binary op without a second operand is refused.
  Buf xb = act_buffer(std::vector<float>(8, 1.0f), false), y = output(8, false);
  EXPECT_FALSE(run_kernel("pointwise", false, {{0, &xb}, {1, &xb}, {2, &y}}, params({{0, 8}, {1, 0}, {2, 3}}),
                          threads(8)).ok);
}

// GELU and SiLU of half activations over every one of the 65,536 halves (NaNs and infinities
// included), out of place with a ragged end and in place, against the f32 formulas rounded once.
TEST(ElementwiseKernels, UnaryOpsOnEveryHalf) {
  constexpr uint64_t kHalves = 65536;
  std::vector<uint16_t> bits(kHalves);
  for (uint64_t i = 0; i < kHalves; ++i) bits[i] = static_cast<uint16_t>((i * 40503u) % kHalves);
  std::vector<float> x(kHalves);
  for (uint64_t i = 0; i < kHalves; ++i) x[i] = vexa::f16_widen(bits[i]);
  for (uint32_t op : {7u, 8u}) {
    SCOPED_TRACE(op);
    std::vector<float> want(kHalves);
    for (uint64_t i = 0; i < kHalves; ++i) {
      const float a = x[i];
      float r;
      if (op == 7) {
        const float inner = 0.7978845608028654f * (a + 0.044715f * ((a * a) * a));
        r = (0.5f * a) * (1.0f + std::tanh(inner));
      } else {
        r = a / (1.0f + std::exp(-a));
      }
      want[i] = round_a(r, false);
    }
    const uint64_t n = kHalves - 5;
    Buf xb = make_buffer(bits), y = output(kHalves, false);
    ASSERT_TRUE(run_kernel("pointwise", false, {{0, &xb}, {1, &xb}, {2, &y}},
                           params({{0, static_cast<uint32_t>(n)}, {1, 1}, {2, op}}), threads(n))
                    .ok);
    std::vector<float> out_of_place = want;
    for (uint64_t i = n; i < kHalves; ++i) out_of_place[i] = kSentinel;
    expect_same(read_act(y, kHalves + 4, false), with_tail(out_of_place), "out of place");
    ASSERT_TRUE(run_kernel("pointwise", false, {{0, &xb}, {1, &xb}, {2, &xb}},
                           params({{0, static_cast<uint32_t>(kHalves)}, {1, 1}, {2, op}}),
                           threads(kHalves))
                    .ok);
    expect_same(read_act(xb, kHalves, false), want, "in place");
  }
}

TEST(ElementwiseKernels, UnfoldShuffleAndHeadLayouts) {
  std::mt19937 rng(22);
  for (bool fp32 : {false, true}) {
    SCOPED_TRACE(fp32);
    {  // unfold: 2 images of 3 channels, 12 x 12, patches of 4 (side 3)
      const uint64_t batch = 2, ch = 3, patch = 4, side = 3, image = 12;
      const std::vector<float> x = uniform(rng, batch * ch * image * image, -9, 9, fp32);
      const uint64_t k = ch * patch * patch, count = batch * side * side * k;
      Buf xb = act_buffer(x, fp32), y = output(count, fp32);
      ASSERT_TRUE(run_kernel("unfold", fp32, {{0, &xb}, {1, &xb}, {2, &y}},
                             params({{0, count}, {1, patch}, {2, side}, {3, ch}}), threads(count)).ok);
      std::vector<float> want(count);
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t row = i / k, j = i % k;
        const uint64_t c = j / (patch * patch), py = (j / patch) % patch, px = j % patch;
        const uint64_t col = row % side, line = (row / side) % side, b = row / (side * side);
        want[i] = x[((b * ch + c) * image + line * patch + py) * image + col * patch + px];
      }
      expect_same(read_act(y, count + 4, fp32), with_tail(want), "unfold");
    }
    {  // shuffle: token grid 4 x 6 with 5 channels, factor 2
      const uint64_t batch = 2, h = 4, w = 6, c = 5, f = 2;
      const std::vector<float> x = uniform(rng, batch * h * w * c, -9, 9, fp32);
      const uint64_t count = x.size(), outc = c * f * f;
      Buf xb = act_buffer(x, fp32), y = output(count, fp32);
      ASSERT_TRUE(run_kernel("shuffle", fp32, {{0, &xb}, {1, &xb}, {2, &y}},
                             params({{0, count}, {1, f}, {2, h}, {3, w}, {4, c}}), threads(count)).ok);
      std::vector<float> want(count);
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t lane = i % outc, row = i / outc;
        const uint64_t co = row % (w / f), ro = (row / (w / f)) % (h / f), b = row / ((h / f) * (w / f));
        const uint64_t dy = lane / (c * f), dx = (lane / c) % f;
        want[i] = x[((b * h + ro * f + dy) * w + co * f + dx) * c + lane % c];
      }
      expect_same(read_act(y, count + 4, fp32), with_tail(want), "shuffle");
    }
    {  // attention_layout both ways: token-major -> head-major -> back is the identity
      const uint64_t batch = 2, heads = 3, seq = 5, dim = 7, count = batch * heads * seq * dim;
      const std::vector<float> x = uniform(rng, count, -9, 9, fp32);
      Buf xb = act_buffer(x, fp32), mid = output(count, fp32), back = output(count, fp32);
      const auto p = [&](uint32_t dir) {
        return params({{0, heads}, {2, dim}, {3, seq}, {5, batch}, {6, dir}});
      };
      ASSERT_TRUE(run_kernel("attention_layout", fp32, {{0, &xb}, {1, &xb}, {2, &mid}}, p(0), threads(count)).ok);
      ASSERT_TRUE(run_kernel("attention_layout", fp32, {{0, &mid}, {1, &mid}, {2, &back}}, p(1), threads(count)).ok);
      std::vector<float> want(count);
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t c = i % dim, t = (i / dim) % seq, hd = (i / (seq * dim)) % heads,
                       b = i / (heads * seq * dim);
        want[i] = x[((b * seq + t) * heads + hd) * dim + c];
      }
      expect_same(read_act(mid, count + 4, fp32), with_tail(want), "attention_layout");
      expect_same(read_act(back, count + 4, fp32), with_tail(x), "attention_layout back");
    }
  }
  // Geometry that would divide by zero is refused.
  Buf b = act_buffer(std::vector<float>(64, 1.0f), false), y = output(64, false);
  EXPECT_FALSE(run_kernel("unfold", false, {{0, &b}, {1, &b}, {2, &y}}, params({{0, 16}, {1, 0}, {2, 2}, {3, 1}}),
                          threads(16)).ok);
  EXPECT_FALSE(run_kernel("shuffle", false, {{0, &b}, {1, &b}, {2, &y}},
                          params({{0, 16}, {1, 4}, {2, 2}, {3, 8}, {4, 2}}), threads(16)).ok);
  // Source images smaller than the count implies.
  EXPECT_FALSE(run_kernel("unfold", false, {{0, &b}, {1, &b}, {2, &y}},
                          params({{0, 64}, {1, 4}, {2, 3}, {3, 1}}), threads(64)).ok);
}

TEST(ElementwiseKernels, ScatterImageRows) {
  std::mt19937 rng(24);
  const uint64_t seq = 10, dim = 6;
  for (bool fp32 : {false, true}) {
    const std::vector<float> x = uniform(rng, seq * dim, -9, 9, fp32);
    const std::vector<float> images = uniform(rng, 3 * dim, 20, 30, fp32);
    struct Case {
      std::vector<int64_t> positions;
      bool ok;
    };
    for (const Case& c : {Case{{7, 2, 7}, true}, Case{{0, 9, 1}, true}, Case{{}, true},
                          Case{{7, 10, 1}, false}, Case{{-1, 2, 3}, false}}) {
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " positions " << c.positions.size());
      const uint64_t listed = c.positions.size();
      Buf xb = act_buffer(x, fp32), ib = act_buffer(images, fp32);
      Buf pb = make_buffer(c.positions.empty() ? std::vector<int64_t>{0} : c.positions);
      Buf y = output(seq * dim, fp32);
      const RunResult r = run_kernel("scatter", fp32, {{0, &xb}, {1, &ib}, {2, &y}, {4, &pb}},
                                     params({{0, seq * dim}, {1, dim}, {2, static_cast<uint32_t>(listed)}}),
                                     threads(seq * dim));
      ASSERT_EQ(r.ok, c.ok) << r.error;
      if (!c.ok) {
        EXPECT_NE(r.error.find("outside"), std::string::npos) << r.error;
        for (float v : read_act(y, seq * dim, fp32)) ASSERT_EQ(v, kSentinel);
        continue;
      }
      std::vector<float> want(seq * dim);
      for (uint64_t i = 0; i < seq * dim; ++i) {
        want[i] = x[i];
        for (uint64_t j = 0; j < listed; ++j) {
          if (c.positions[j] == static_cast<int64_t>(i / dim)) {
            want[i] = images[j * dim + i % dim];
            break;  // the first listing wins
          }
        }
      }
      expect_same(read_act(y, seq * dim + 4, fp32), with_tail(want), "scatter");
    }
  }
}

TEST(ElementwiseKernels, CacheAppendInPlaceAndCopy) {
  std::mt19937 rng(26);
  const uint64_t batch = 2, heads = 3, dim = 8, seq = 2, past = 3, capacity = 7, past_stride = 4;
  for (bool fp32 : {false, true}) {
    SCOPED_TRACE(fp32);
    const std::vector<float> fresh = uniform(rng, batch * seq * heads * dim, -9, 9, fp32);
    // Copy: past [B, heads, past_stride, D] into a new cache of the capacity.
    const std::vector<float> old = uniform(rng, batch * heads * past_stride * dim, -9, 9, fp32);
    const uint64_t total = seq + past, count = batch * heads * total * dim;
    Buf nb = act_buffer(fresh, fp32), ob = act_buffer(old, fp32);
    Buf cache = act_buffer(std::vector<float>(batch * heads * capacity * dim, kSentinel), fp32);
    ASSERT_TRUE(run_kernel("cache_append", fp32, {{0, &nb}, {1, &ob}, {2, &cache}},
                           params({{0, count}, {1, dim}, {2, heads}, {3, seq}, {4, past}, {5, capacity},
                                   {6, 0}, {7, past_stride}}),
                           threads(count)).ok);
    std::vector<float> want(batch * heads * capacity * dim, kSentinel);
    for (uint64_t b = 0; b < batch; ++b)
      for (uint64_t h = 0; h < heads; ++h)
        for (uint64_t t = 0; t < total; ++t)
          for (uint64_t c = 0; c < dim; ++c) {
            want[((b * heads + h) * capacity + t) * dim + c] =
                t < past ? old[((b * heads + h) * past_stride + t) * dim + c]
                         : fresh[((b * seq + t - past) * heads + h) * dim + c];
          }
    expect_same(read_act(cache, want.size(), fp32), want, "cache_append copy");

    // In place: the next step appends its positions after the ones already there.
    const std::vector<float> next = uniform(rng, batch * 1 * heads * dim, -9, 9, fp32);
    Buf xb = act_buffer(next, fp32);
    const uint64_t count2 = batch * heads * 1 * dim;
    ASSERT_TRUE(run_kernel("cache_append", fp32, {{0, &xb}, {1, &cache}, {2, &cache}},
                           params({{0, count2}, {1, dim}, {2, heads}, {3, 1}, {4, total}, {5, capacity},
                                   {6, 1}, {7, capacity}}),
                           threads(count2)).ok);
    for (uint64_t b = 0; b < batch; ++b)
      for (uint64_t h = 0; h < heads; ++h)
        for (uint64_t c = 0; c < dim; ++c)
          want[((b * heads + h) * capacity + total) * dim + c] = next[(b * heads + h) * dim + c];
    expect_same(read_act(cache, want.size(), fp32), want, "cache_append in place");

    // More positions than the capacity, or a past stride below the past: refused.
    EXPECT_FALSE(run_kernel("cache_append", fp32, {{0, &xb}, {1, &cache}, {2, &cache}},
                            params({{0, count2}, {1, dim}, {2, heads}, {3, 1}, {4, capacity}, {5, capacity},
                                    {6, 1}, {7, capacity}}),
                            threads(count2)).ok);
    EXPECT_FALSE(run_kernel("cache_append", fp32, {{0, &nb}, {1, &ob}, {2, &cache}},
                            params({{0, count}, {1, dim}, {2, heads}, {3, seq}, {4, past}, {5, capacity},
                                    {6, 0}, {7, 2}}),
                            threads(count)).ok);
  }
}

TEST(ElementwiseKernels, NormRows) {
  std::mt19937 rng(28);
  for (bool fp32 : {false, true}) {
    for (uint64_t n : {uint64_t{1}, uint64_t{100}, uint64_t{128}, uint64_t{129}, uint64_t{576}}) {
      for (bool rms : {false, true}) {
        SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " n " << n << " rms " << rms);
        const uint64_t rows = 5;
        const std::vector<float> x = uniform(rng, rows * n, -3, 5, fp32);
        const std::vector<float> w = uniform(rng, n, -2, 2, false), bias = uniform(rng, n, -1, 1, false);
        const float eps = 1e-5f;
        Buf xb = act_buffer(x, fp32), wb = make_buffer(to_halves(w)), bb = make_buffer(to_halves(bias));
        Buf y = output(rows * n, fp32);
        ASSERT_TRUE(run_kernel("norm", fp32, {{0, &xb}, {1, &wb}, {2, &y}, {4, rms ? &wb : &bb}},
                               params({{0, n}, {1, rms ? 1u : 0u}}, {{0, eps}}), groups(rows)).ok);
        std::vector<float> want(rows * n);
        for (uint64_t r = 0; r < rows; ++r) {
          std::vector<float> v(x.begin() + r * n, x.begin() + (r + 1) * n);
          if (rms) {
            std::vector<float> sq(n);
            for (uint64_t c = 0; c < n; ++c) sq[c] = v[c] * v[c];
            const float scale = 1.0f / std::sqrt(group_sum128(sq) / static_cast<float>(n) + eps);
            for (uint64_t c = 0; c < n; ++c) want[r * n + c] = round_a(round_a(v[c] * scale, fp32) * w[c], fp32);
          } else {
            const float mean = group_sum128(v) / static_cast<float>(n);
            std::vector<float> sq(n);
            for (uint64_t c = 0; c < n; ++c) sq[c] = (v[c] - mean) * (v[c] - mean);
            const float scale = 1.0f / std::sqrt(group_sum128(sq) / static_cast<float>(n) + eps);
            for (uint64_t c = 0; c < n; ++c) {
              want[r * n + c] = round_a(((v[c] - mean) * scale) * w[c] + bias[c], fp32);
            }
          }
        }
        expect_same(read_act(y, rows * n + 4, fp32), with_tail(want), "norm");
      }
    }
  }
  // A layer norm without its bias binding is refused.
  Buf x = act_buffer(std::vector<float>(16, 1.0f), false), y = output(16, false);
  const RunResult r = run_kernel("norm", false, {{0, &x}, {1, &x}, {2, &y}}, params({{0, 16}}, {{0, 1e-5f}}),
                                 groups(1));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("bias"), std::string::npos);
}

TEST(ElementwiseKernels, RotaryEmbedding) {
  std::mt19937 rng(30);
  for (bool fp32 : {false, true}) {
    // Tables are kept per thread between calls: a position seen again, one past the cached
    // range, and a second theta with the same head size must each get their own angles.
    for (const auto& [dim, theta] : {std::pair<uint64_t, float>{8, 10000.0f}, {64, 10000.0f},
                                     {64, 500.0f}}) {
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " d " << dim << " theta " << theta);
      const uint64_t heads = 3;
      const std::vector<int64_t> positions = {0, 5, 1000, -3, 7, 5000, 5, 5000, 4095, 4096};
      const uint64_t count = positions.size() * heads * dim;
      const std::vector<float> x = uniform(rng, count, -4, 4, fp32);
      Buf xb = act_buffer(x, fp32), pb = make_buffer(positions), y = output(count, fp32);
      ASSERT_TRUE(run_kernel("rope", fp32, {{0, &xb}, {1, &pb}, {2, &y}},
                             params({{0, count}, {1, dim}, {2, heads}}, {{0, theta}}), threads(count)).ok);
      std::vector<float> want(count);
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t c = i % dim, base = i - c, half = dim / 2;
        const float p = static_cast<float>(positions[i / (heads * dim)]);
        const float e = (-2.0f * static_cast<float>(c % half)) / static_cast<float>(dim);
        const float angle = p * std::pow(theta, e);
        const float cs = round_a(std::cos(angle), fp32), sn = round_a(std::sin(angle), fp32);
        const float other = x[base + (c + half) % dim];
        const float a = round_a(x[i] * cs, fp32);
        const float b = round_a((c < half ? -other : other) * sn, fp32);
        want[i] = round_a(a + b, fp32);
      }
      expect_same(read_act(y, count + 4, fp32), with_tail(want), "rope");
    }
  }
  Buf x = act_buffer(std::vector<float>(12, 1.0f), false), pb = make_buffer(std::vector<int64_t>{1});
  Buf y = output(12, false);
  EXPECT_FALSE(run_kernel("rope", false, {{0, &x}, {1, &pb}, {2, &y}}, params({{0, 12}, {1, 3}, {2, 4}}),
                          threads(12)).ok);  // odd head size
  EXPECT_FALSE(run_kernel("rope", false, {{0, &x}, {1, &pb}, {2, &y}}, params({{0, 12}, {1, 2}, {2, 3}}),
                          threads(12)).ok);  // two position rows, one position
  // A partial last head would rotate with partners past the elements: refused, nothing written.
  Buf x14 = act_buffer(std::vector<float>(14, 1.0f), false), y14 = output(14, false);
  const RunResult partial = run_kernel("rope", false, {{0, &x14}, {1, &pb}, {2, &y14}},
                                       params({{0, 14}, {1, 4}, {2, 4}}), threads(14));
  EXPECT_FALSE(partial.ok);
  EXPECT_NE(partial.error.find("partner"), std::string::npos);
}

// Decode runs one row per call, and consecutive calls mostly rotate the same position: each call
// must still give the rotation of its own theta, head size, position and precision when only one
// of them changes from the call before.
TEST(ElementwiseKernels, RotaryEmbeddingCallSequence) {
  std::mt19937 rng(31);
  struct Call {
    bool fp32;
    uint64_t dim;
    float theta;
    int64_t position;
  };
  const Call calls[] = {
      {false, 64, 10000.0f, 17}, {false, 64, 10000.0f, 17}, {false, 64, 500000.0f, 17},
      {false, 32, 500000.0f, 17}, {false, 32, 500000.0f, 18}, {true, 32, 500000.0f, 18},
      {false, 32, 500000.0f, 18}, {false, 64, 10000.0f, 18},  {false, 64, 10000.0f, 17},
      {false, 64, 10000.0f, 0},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(testing::Message() << "fp32 " << call.fp32 << " d " << call.dim << " theta "
                                    << call.theta << " position " << call.position);
    const uint64_t heads = 2, count = heads * call.dim, half = call.dim / 2;
    const std::vector<float> x = uniform(rng, count, -4, 4, call.fp32);
    Buf xb = act_buffer(x, call.fp32), pb = make_buffer(std::vector<int64_t>{call.position});
    Buf y = output(count, call.fp32);
    ASSERT_TRUE(run_kernel("rope", call.fp32, {{0, &xb}, {1, &pb}, {2, &y}},
                           params({{0, count}, {1, call.dim}, {2, heads}}, {{0, call.theta}}),
                           threads(count)).ok);
    std::vector<float> want(count);
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t c = i % call.dim, base = i - c;
      const float e = (-2.0f * static_cast<float>(c % half)) / static_cast<float>(call.dim);
      const float angle = static_cast<float>(call.position) * std::pow(call.theta, e);
      const float cs = round_a(std::cos(angle), call.fp32), sn = round_a(std::sin(angle), call.fp32);
      const float other = x[base + (c + half) % call.dim];
      const float a = round_a(x[i] * cs, call.fp32);
      const float b = round_a((c < half ? -other : other) * sn, call.fp32);
      want[i] = round_a(a + b, call.fp32);
    }
    expect_same(read_act(y, count + 4, call.fp32), with_tail(want), "rope");
  }
}
