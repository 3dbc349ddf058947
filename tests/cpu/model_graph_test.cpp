// Small whole models written as containers, built into CPU states and run end to end: a
// YOLO-like detector ending in YoloNms, a ViT-like attention block and a segmentation head,
// each against a double-precision reference of the same computation; batched runs equal
// single runs. (These go through the CPU state API; the C API session runs models the same
// way once it routes to this engine.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cpu_graph_fixture.h"
#include "detection_ref.h"
#include "op_harness.h"

namespace vexa::cpu {
namespace {

using graph_test::Attr;
using graph_test::GraphModel;
using graph_test::StateHolder;
using optest::ramp;
using optest::same_floats;

constexpr uint64_t kIn = kValueGraphInput;
constexpr uint64_t kOut = kValueGraphOutput;
constexpr uint64_t kMid = kValueIntermediate;

uint64_t neg(int64_t v) { return static_cast<uint64_t>(v); }

// Conv attribute words: kernel, strides, pads (top, left, bottom, right), dilations, group.
#define VEXA_TEST_CONV_WORDS(k, pad)                                                            \
  {{15, k}, {16, k}, {17, 1}, {18, 1}, {19, pad}, {20, pad}, {21, pad}, {22, pad}, {23, 1},     \
   {24, 1}, {25, 1}}

// Naive NCHW convolution (stride 1, square kernel, zero padding), one item.
std::vector<double> conv_ref(const std::vector<double>& x, uint64_t c, uint64_t h, uint64_t w,
                             const std::vector<float>& wt, const std::vector<float>& bias,
                             uint64_t co, uint64_t k, int64_t pad) {
  std::vector<double> y(co * h * w);
  for (uint64_t o = 0; o < co; ++o) {
    for (int64_t i = 0; i < static_cast<int64_t>(h); ++i) {
      for (int64_t j = 0; j < static_cast<int64_t>(w); ++j) {
        double acc = bias[o];
        for (uint64_t ci = 0; ci < c; ++ci) {
          for (uint64_t ky = 0; ky < k; ++ky) {
            for (uint64_t kx = 0; kx < k; ++kx) {
              const int64_t yy = i + static_cast<int64_t>(ky) - pad;
              const int64_t xx = j + static_cast<int64_t>(kx) - pad;
              if (yy < 0 || xx < 0 || yy >= static_cast<int64_t>(h) || xx >= static_cast<int64_t>(w)) continue;
              acc += x[(ci * h + yy) * w + xx] * wt[((o * c + ci) * k + ky) * k + kx];
            }
          }
        }
        y[(o * h + i) * w + j] = acc;
      }
    }
  }
  return y;
}

std::vector<double> widen(const std::vector<float>& v) { return {v.begin(), v.end()}; }

// ---- YOLO-like detector ----

struct Detector {
  std::vector<float> wt = ramp(6 * 3, 101), bias = ramp(6, 103);
  static constexpr uint64_t kMaxOut = 64;
  YoloNmsParams params{0, kMaxOut, 0.3f, 0.45f, 1.0f, 1.0f, 0.0f, 1};

  void build(GraphModel& m) {
    const uint64_t x = m.input({1, 3, 8, 8});
    const uint64_t w = m.weight({6, 3, 1, 1}, wt);
    const uint64_t b = m.weight({6}, bias);
    const uint64_t scale = m.weight({1}, {16.0f});
    const uint64_t c = m.inter({1, 6, 8, 8});
    const uint64_t f = m.inter({1, 6, 64});
    const uint64_t box = m.inter({1, 4, 64});
    const uint64_t cls = m.inter({1, 2, 64});
    const uint64_t sig = m.inter({1, 2, 64});
    const uint64_t scaled = m.inter({1, 4, 64});
    const uint64_t pos = m.inter({1, 4, 64});
    const uint64_t cat = m.inter({1, 6, 64});
    const uint64_t out = m.output({kMaxOut, 6});
    m.node(OpKind::kConv, {x, w, b}, {c}, VEXA_TEST_CONV_WORDS(1, 0));
    m.node(OpKind::kFlatten, {c}, {f});
    m.node(OpKind::kSplit, {f}, {box, cls}, {{26, 1}});
    m.node(OpKind::kSigmoid, {cls}, {sig});
    m.node(OpKind::kMul, {box, scale}, {scaled});
    m.node(OpKind::kAbs, {scaled}, {pos});
    m.node(OpKind::kConcat, {pos, sig}, {cat}, {{26, neg(-2)}});
    m.node(OpKind::kYoloNms, {cat}, {out},
           {{15, kMaxOut}, {16, 0}, {19, graph_test::f32_attr(1.0f)},
            {20, graph_test::f32_attr(1.0f)}, {21, graph_test::f32_attr(0.0f)}, {28, 1},
            {29, graph_test::f32_attr(0.3f)}, {30, graph_test::f32_attr(0.45f)}});
  }

  std::vector<float> reference(const std::vector<float>& input) const {
    const auto c = conv_ref(widen(input), 3, 8, 8, wt, bias, 6, 1, 0);
    std::vector<float> planes(6 * 64);
    for (uint64_t i = 0; i < 4 * 64; ++i) planes[i] = static_cast<float>(std::fabs(c[i] * 16.0));
    for (uint64_t i = 4 * 64; i < 6 * 64; ++i) planes[i] = static_cast<float>(1.0 / (1.0 + std::exp(-c[i])));
    return optest::yolo_ref(planes, 6, 64, params);
  }
};

TEST(CpuModelGraph, YoloLikeDetectorEndsInSuppression) {
  Detector d;
  GraphModel m;
  d.build(m);
  ASSERT_TRUE(m.open());
  StateHolder s(m.create());
  ASSERT_TRUE(s.ok()) << s.message();
  for (uint32_t seed : {1u, 2u, 3u}) {
    auto input = ramp(3 * 64, seed);
    std::vector<float> out(Detector::kMaxOut * 6, -1.0f);
    ASSERT_TRUE(cpu_run(s.handle(), input.data(), out.data()));
    EXPECT_TRUE(same_floats(out, d.reference(input), 1e-4)) << seed;
    // Something was kept and something suppressed, so the test means what it says.
    EXPECT_GT(out[4], 0.3f);
    EXPECT_EQ(out.back(), 0.0f);
  }
  // A YoloNms graph runs one sample at a time: four items equal four single runs.
  StateHolder batched(m.create(4));
  ASSERT_TRUE(batched.ok()) << batched.message();
  EXPECT_EQ(batched.state()->batch, 1u);
  const auto inputs = ramp(4 * 3 * 64, 9);
  std::vector<float> outs(4 * Detector::kMaxOut * 6);
  ASSERT_TRUE(cpu_run_batch(batched.handle(), 4, inputs.data(), outs.data()));
  for (uint64_t i = 0; i < 4; ++i) {
    std::vector<float> one(Detector::kMaxOut * 6);
    ASSERT_TRUE(cpu_run(s.handle(), inputs.data() + i * 3 * 64, one.data()));
    EXPECT_TRUE(same_floats(std::vector<float>(outs.begin() + i * one.size(),
                                               outs.begin() + (i + 1) * one.size()),
                            one));
  }
}

// ---- ViT-like attention block ----

struct VitBlock {
  static constexpr uint64_t kTokens = 4, kDim = 8, kHeads = 2, kHead = 4;
  std::vector<float> gamma = ramp(kDim, 111), beta = ramp(kDim, 113);
  std::vector<float> wq = ramp(kDim * kDim, 115), wk = ramp(kDim * kDim, 117),
                     wv = ramp(kDim * kDim, 119), wo = ramp(kDim * kDim, 121);

  void build(GraphModel& m) {
    const uint64_t x = m.input({1, kTokens, kDim});
    const uint64_t g = m.weight({kDim}, gamma), b = m.weight({kDim}, beta);
    const uint64_t q_w = m.weight({kDim, kDim}, wq), k_w = m.weight({kDim, kDim}, wk);
    const uint64_t v_w = m.weight({kDim, kDim}, wv), o_w = m.weight({kDim, kDim}, wo);
    const uint64_t scale = m.weight({1}, {0.5f});
    const uint64_t ln = m.inter({1, kTokens, kDim});
    const uint64_t q = m.inter({1, kTokens, kDim}), k = m.inter({1, kTokens, kDim}),
                   v = m.inter({1, kTokens, kDim});
    const uint64_t q4 = m.inter({1, kTokens, kHeads, kHead}), k4 = m.inter({1, kTokens, kHeads, kHead}),
                   v4 = m.inter({1, kTokens, kHeads, kHead});
    const uint64_t qh = m.inter({1, kHeads, kTokens, kHead}), kt = m.inter({1, kHeads, kHead, kTokens}),
                   vh = m.inter({1, kHeads, kTokens, kHead});
    const uint64_t scores = m.inter({1, kHeads, kTokens, kTokens});
    const uint64_t scaled = m.inter({1, kHeads, kTokens, kTokens});
    const uint64_t probs = m.inter({1, kHeads, kTokens, kTokens});
    const uint64_t ctx = m.inter({1, kHeads, kTokens, kHead});
    const uint64_t merged = m.inter({1, kTokens, kHeads, kHead});
    const uint64_t flat = m.inter({1, kTokens, kDim});
    const uint64_t proj = m.inter({1, kTokens, kDim});
    const uint64_t out = m.output({1, kTokens, kDim});
    m.node(OpKind::kLayerNormalization, {x, g, b}, {ln}, {{29, graph_test::f32_attr(1e-5f)}});
    m.node(OpKind::kMatMul, {ln, q_w}, {q});
    m.node(OpKind::kMatMul, {ln, k_w}, {k});
    m.node(OpKind::kMatMul, {ln, v_w}, {v});
    m.node(OpKind::kFlatten, {q}, {q4});
    m.node(OpKind::kFlatten, {k}, {k4});
    m.node(OpKind::kFlatten, {v}, {v4});
    m.node(OpKind::kTranspose, {q4}, {qh}, {{15, 4}, {19, 0}, {20, 2}, {21, 1}, {22, 3}});
    m.node(OpKind::kTranspose, {k4}, {kt}, {{15, 4}, {19, 0}, {20, 2}, {21, 3}, {22, 1}});
    m.node(OpKind::kTranspose, {v4}, {vh}, {{15, 4}, {19, 0}, {20, 2}, {21, 1}, {22, 3}});
    m.node(OpKind::kMatMul, {qh, kt}, {scores});
    m.node(OpKind::kMul, {scores, scale}, {scaled});
    m.node(OpKind::kSoftmax, {scaled}, {probs}, {{26, neg(-1)}});
    m.node(OpKind::kMatMul, {probs, vh}, {ctx});
    m.node(OpKind::kTranspose, {ctx}, {merged}, {{15, 4}, {19, 0}, {20, 2}, {21, 1}, {22, 3}});
    m.node(OpKind::kFlatten, {merged}, {flat});
    m.node(OpKind::kMatMul, {flat, o_w}, {proj});
    m.node(OpKind::kAdd, {proj, x}, {out});
  }

  std::vector<double> reference(const float* x) const {
    std::vector<double> ln(kTokens * kDim);
    for (uint64_t t = 0; t < kTokens; ++t) {
      double mean = 0, var = 0;
      for (uint64_t i = 0; i < kDim; ++i) mean += x[t * kDim + i];
      mean /= kDim;
      for (uint64_t i = 0; i < kDim; ++i) var += (x[t * kDim + i] - mean) * (x[t * kDim + i] - mean);
      var /= kDim;
      for (uint64_t i = 0; i < kDim; ++i) {
        ln[t * kDim + i] = (x[t * kDim + i] - mean) / std::sqrt(var + 1e-5) * gamma[i] + beta[i];
      }
    }
    auto proj = [&](const std::vector<double>& a, const std::vector<float>& w) {
      std::vector<double> y(kTokens * kDim, 0.0);
      for (uint64_t t = 0; t < kTokens; ++t) {
        for (uint64_t j = 0; j < kDim; ++j) {
          for (uint64_t i = 0; i < kDim; ++i) y[t * kDim + j] += a[t * kDim + i] * w[i * kDim + j];
        }
      }
      return y;
    };
    const auto q = proj(ln, wq), k = proj(ln, wk), v = proj(ln, wv);
    std::vector<double> merged(kTokens * kDim, 0.0);
    for (uint64_t h = 0; h < kHeads; ++h) {
      for (uint64_t i = 0; i < kTokens; ++i) {
        double s[kTokens], mx = -1e300, sum = 0;
        for (uint64_t j = 0; j < kTokens; ++j) {
          s[j] = 0;
          for (uint64_t d = 0; d < kHead; ++d) s[j] += q[i * kDim + h * kHead + d] * k[j * kDim + h * kHead + d];
          s[j] *= 0.5;
          mx = std::max(mx, s[j]);
        }
        for (uint64_t j = 0; j < kTokens; ++j) sum += std::exp(s[j] - mx);
        for (uint64_t j = 0; j < kTokens; ++j) {
          const double p = std::exp(s[j] - mx) / sum;
          for (uint64_t d = 0; d < kHead; ++d) merged[i * kDim + h * kHead + d] += p * v[j * kDim + h * kHead + d];
        }
      }
    }
    auto out = proj(merged, wo);
    for (uint64_t i = 0; i < out.size(); ++i) out[i] += x[i];
    return out;
  }
};

TEST(CpuModelGraph, VitLikeAttentionBlock) {
  VitBlock v;
  GraphModel m;
  v.build(m);
  ASSERT_TRUE(m.open());
  StateHolder s(m.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const auto x = ramp(VitBlock::kTokens * VitBlock::kDim, 5);
  std::vector<float> out(x.size());
  ASSERT_TRUE(cpu_run(s.handle(), x.data(), out.data()));
  const auto want = v.reference(x.data());
  EXPECT_TRUE(same_floats(out, std::vector<float>(want.begin(), want.end()), 1e-5));

  // Batch 4 in one run equals four single runs.
  StateHolder batched(m.create(4));
  ASSERT_TRUE(batched.ok()) << batched.message();
  EXPECT_EQ(batched.state()->batch, 4u);
  const auto xs = ramp(4 * x.size(), 7);
  std::vector<float> outs(xs.size());
  ASSERT_TRUE(cpu_run_batch(batched.handle(), 4, xs.data(), outs.data()));
  for (uint64_t i = 0; i < 4; ++i) {
    std::vector<float> one(x.size());
    ASSERT_TRUE(cpu_run(s.handle(), xs.data() + i * x.size(), one.data()));
    EXPECT_TRUE(same_floats(std::vector<float>(outs.begin() + i * x.size(),
                                               outs.begin() + (i + 1) * x.size()),
                            one, 1e-6))
        << i;
  }
}

// ---- Segmentation head ----

struct SegHead {
  static constexpr uint64_t kC = 4, kH = 6, kW = 6, kMid = 5, kClasses = 3;
  std::vector<float> w1 = ramp(kMid * kC * 9, 131), b1 = ramp(kMid, 133);
  std::vector<float> w2 = ramp(kClasses * kMid, 135), b2 = ramp(kClasses, 137);

  void build(GraphModel& m) {
    const uint64_t x = m.input({1, kC, kH, kW});
    const uint64_t c1w = m.weight({kMid, kC, 3, 3}, w1), c1b = m.weight({kMid}, b1);
    const uint64_t c2w = m.weight({kClasses, kMid, 1, 1}, w2), c2b = m.weight({kClasses}, b2);
    const uint64_t c1 = m.inter({1, kMid, kH, kW});
    const uint64_t r = m.inter({1, kMid, kH, kW});
    const uint64_t c2 = m.inter({1, kClasses, kH, kW});
    const uint64_t up = m.inter({1, kClasses, 2 * kH, 2 * kW});
    const uint64_t labels = m.output({1, 1, 2 * kH, 2 * kW});
    const uint64_t probs = m.output({1, kClasses, 2 * kH, 2 * kW});
    m.node(OpKind::kConv, {x, c1w, c1b}, {c1}, VEXA_TEST_CONV_WORDS(3, 1));
    m.node(OpKind::kRelu, {c1}, {r});
    m.node(OpKind::kConv, {r, c2w, c2b}, {c2}, VEXA_TEST_CONV_WORDS(1, 0));
    m.node(OpKind::kResize, {c2}, {up}, {{17, 2}, {18, 2}, {27, 1}});
    m.node(OpKind::kSoftmax, {up}, {probs}, {{26, 1}});
    m.node(OpKind::kArgMax, {probs}, {labels}, {{26, 1}});
  }

  // Probabilities of one item.
  std::vector<double> reference(const float* x) const {
    auto c1 = conv_ref(std::vector<double>(x, x + kC * kH * kW), kC, kH, kW, w1, b1, kMid, 3, 1);
    for (double& v : c1) v = std::max(v, 0.0);
    const auto c2 = conv_ref(c1, kMid, kH, kW, w2, b2, kClasses, 1, 0);
    const uint64_t oh = 2 * kH, ow = 2 * kW;
    std::vector<double> up(kClasses * oh * ow);
    auto coord = [](uint64_t o, uint64_t n) { return std::clamp((o + 0.5) / 2.0 - 0.5, 0.0, double(n - 1)); };
    for (uint64_t c = 0; c < kClasses; ++c) {
      for (uint64_t i = 0; i < oh; ++i) {
        const double sy = coord(i, kH);
        const uint64_t y0 = static_cast<uint64_t>(sy), y1 = std::min(y0 + 1, kH - 1);
        for (uint64_t j = 0; j < ow; ++j) {
          const double sx = coord(j, kW);
          const uint64_t x0 = static_cast<uint64_t>(sx), x1 = std::min(x0 + 1, kW - 1);
          auto at = [&](uint64_t r, uint64_t q) { return c2[(c * kH + r) * kW + q]; };
          const double fy = sy - y0, fx = sx - x0;
          up[(c * oh + i) * ow + j] = (1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) +
                                      fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1));
        }
      }
    }
    std::vector<double> probs(up.size());
    for (uint64_t p = 0; p < oh * ow; ++p) {
      double mx = -1e300, sum = 0;
      for (uint64_t c = 0; c < kClasses; ++c) mx = std::max(mx, up[c * oh * ow + p]);
      for (uint64_t c = 0; c < kClasses; ++c) sum += std::exp(up[c * oh * ow + p] - mx);
      for (uint64_t c = 0; c < kClasses; ++c) probs[c * oh * ow + p] = std::exp(up[c * oh * ow + p] - mx) / sum;
    }
    return probs;
  }
};

TEST(CpuModelGraph, SegmentationHeadAndBatchOfFour) {
  SegHead h;
  GraphModel m;
  h.build(m);
  ASSERT_TRUE(m.open());
  StateHolder s(m.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const uint64_t in_size = SegHead::kC * SegHead::kH * SegHead::kW;
  const uint64_t plane = 4 * SegHead::kH * SegHead::kW;
  const auto x = ramp(in_size, 3);
  std::vector<float> labels(plane);
  ASSERT_TRUE(cpu_run(s.handle(), x.data(), labels.data()));
  ASSERT_EQ(cpu_output_count(s.handle()), 2u);
  const float* probs = cpu_output_data(s.handle(), 1);
  const auto want = h.reference(x.data());
  EXPECT_TRUE(same_floats(std::vector<float>(probs, probs + want.size()),
                          std::vector<float>(want.begin(), want.end()), 1e-5));
  for (uint64_t p = 0; p < plane; ++p) {
    uint64_t best = 0;
    for (uint64_t c = 1; c < SegHead::kClasses; ++c) {
      if (probs[c * plane + p] > probs[best * plane + p]) best = c;
    }
    EXPECT_EQ(labels[p], static_cast<float>(best));
  }

  StateHolder batched(m.create(4));
  ASSERT_TRUE(batched.ok()) << batched.message();
  EXPECT_EQ(batched.state()->batch, 4u);
  const auto xs = ramp(4 * in_size, 11);
  std::vector<float> outs(4 * plane);
  ASSERT_TRUE(cpu_run_batch(batched.handle(), 4, xs.data(), outs.data()));
  const float* batched_probs = cpu_output_data(batched.handle(), 1);
  for (uint64_t i = 0; i < 4; ++i) {
    std::vector<float> one(plane);
    ASSERT_TRUE(cpu_run(s.handle(), xs.data() + i * in_size, one.data()));
    EXPECT_EQ(std::vector<float>(outs.begin() + i * plane, outs.begin() + (i + 1) * plane), one) << i;
    const float* p1 = cpu_output_data(s.handle(), 1);
    EXPECT_TRUE(same_floats(
        std::vector<float>(batched_probs + i * SegHead::kClasses * plane,
                           batched_probs + (i + 1) * SegHead::kClasses * plane),
        std::vector<float>(p1, p1 + SegHead::kClasses * plane), 1e-6))
        << i;
  }
}

// Data-movement and reduction operators on axes other than the batch axis: a batch of four in
// one run equals four single runs, and the single run matches a hand-written pipeline.
TEST(CpuModelGraph, MovementChainBatchesLikeSingleRuns) {
  GraphModel m;
  const uint64_t x = m.input({1, 6, 5});
  const uint64_t idx = m.weight({3}, {4, -1, 0});
  const uint64_t g = m.inter({1, 3, 5});       // Gather rows 4, 5, 0 along axis 1
  const uint64_t cat = m.inter({1, 9, 5});     // Concat [g, x] on axis 1
  const uint64_t sl = m.inter({1, 9, 3});      // Slice entries 4, 2, 0 of axis 2
  const uint64_t pad = m.inter({1, 10, 4});    // Pad one row after, one column before
  const uint64_t pads = m.weight({6}, {0, 0, 1, 0, 1, 0});
  const uint64_t top = m.inter({1, 10, 2});    // TopK 2 along the last axis
  const uint64_t mean = m.output({1, 1, 2});   // ReduceMean over axis 1
  m.node(OpKind::kGather, {x, idx}, {g}, {{26, 1}});
  m.node(OpKind::kConcat, {g, x}, {cat}, {{26, 1}});
  m.node(OpKind::kSlice, {cat}, {sl}, {{26, neg(-1)}, {17, neg(-2)}, {19, 4}, {20, 3}});
  m.node(OpKind::kPad, {sl, pads}, {pad});
  m.node(OpKind::kTopK, {pad}, {top}, {{26, neg(-1)}});
  m.node(OpKind::kReduceMean, {top}, {mean}, {{26, 1}});
  ASSERT_TRUE(m.open());
  StateHolder s(m.create());
  ASSERT_TRUE(s.ok()) << s.message();

  auto reference = [](const float* in) {
    std::vector<std::vector<float>> rows;
    for (int r : {4, 5, 0, 0, 1, 2, 3, 4, 5}) rows.push_back({in[r * 5 + 4], in[r * 5 + 2], in[r * 5]});
    std::vector<std::vector<float>> padded;
    for (const auto& r : rows) padded.push_back({0.0f, r[0], r[1], r[2]});
    padded.push_back({0, 0, 0, 0});
    double s0 = 0, s1 = 0;
    for (auto r : padded) {
      std::stable_sort(r.begin(), r.end(), [](float a, float b) { return a > b; });
      s0 += r[0];
      s1 += r[1];
    }
    return std::vector<float>{static_cast<float>(s0 / 10), static_cast<float>(s1 / 10)};
  };
  const auto x1 = ramp(30, 4);
  std::vector<float> out(2);
  ASSERT_TRUE(cpu_run(s.handle(), x1.data(), out.data()));
  EXPECT_TRUE(same_floats(out, reference(x1.data()), 1e-6));

  StateHolder batched(m.create(4));
  ASSERT_TRUE(batched.ok()) << batched.message();
  EXPECT_EQ(batched.state()->batch, 4u);
  const auto xs = ramp(4 * 30, 6);
  std::vector<float> outs(8);
  ASSERT_TRUE(cpu_run_batch(batched.handle(), 4, xs.data(), outs.data()));
  for (uint64_t i = 0; i < 4; ++i) {
    std::vector<float> one(2);
    ASSERT_TRUE(cpu_run(s.handle(), xs.data() + i * 30, one.data()));
    EXPECT_EQ(std::vector<float>(outs.begin() + 2 * i, outs.begin() + 2 * i + 2), one) << i;
  }
}

// A graph that breaks an operator's contract is refused as an invalid model, naming the node.
TEST(CpuModelGraph, MalformedOperatorsRefuseTheModel) {
  struct Bad {
    const char* op_name;
    void (*build)(GraphModel&);
  };
  const Bad cases[] = {
      {"Transpose", [](GraphModel& m) {
         m.node(OpKind::kTranspose, {m.input({1, 4})}, {m.output({1, 4})}, {{15, 2}, {19, 1}, {20, 1}});
       }},
      {"Gather", [](GraphModel& m) {
         m.node(OpKind::kGather, {m.input({1, 4}), m.weight({2}, {0, 1})}, {m.output({1, 2})},
                {{26, 2}});
       }},
      {"Resize", [](GraphModel& m) {
         m.node(OpKind::kResize, {m.input({1, 2, 4, 4})}, {m.output({1, 3, 8, 8})}, {{27, 1}});
       }},
      {"ScatterND", [](GraphModel& m) {
         m.node(OpKind::kScatterND, {m.input({4}), m.weight({3}, {0, 1, 2}), m.weight({2}, {1, 2})},
                {m.output({4})});
       }},
      {"NonMaxSuppression", [](GraphModel& m) {
         m.node(OpKind::kNonMaxSuppression, {m.input({1, 5, 4}), m.weight({1, 2, 4}, std::vector<float>(8))},
                {m.output({10, 3})});
       }},
      {"YoloNms", [](GraphModel& m) {
         m.node(OpKind::kYoloNms, {m.input({1, 6, 10})}, {m.output({5, 6})}, {{15, 4}});
       }},
      {"Softmax", [](GraphModel& m) {
         m.node(OpKind::kSoftmax, {m.input({1, 4})}, {m.output({1, 4})}, {{26, 2}});
       }},
  };
  for (const Bad& c : cases) {
    GraphModel m;
    c.build(m);
    ASSERT_TRUE(m.open());
    StateHolder s(m.create());
    EXPECT_FALSE(s.ok()) << c.op_name;
    EXPECT_EQ(s.code(), ErrorCode::kInvalidModel) << c.op_name;
    EXPECT_NE(s.message().find(c.op_name), std::string::npos) << s.message();
  }
}

}  // namespace
}  // namespace vexa::cpu
