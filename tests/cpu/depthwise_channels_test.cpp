// The channel-lane depthwise kernel (eight channels per vector, transposed staging) against
// the portable plane loop bit for bit: every row-width family its runs take, bands,
// epilogues, and through the Conv entry point with channels past the last group, residuals
// and any thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "cpu/ops/conv.h"
#include "cpu/ops/conv_depthwise_simd.h"
#include "dense_tolerance.h"
#include "depthwise_test_util.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::lcg_values;

using Shape = testing::DepthwiseShape;
using testing::first_difference;

ConvGeometry geometry(const Shape& s) { return testing::depthwise_geometry(s); }

DepthwiseChannels layout_of(const ConvGeometry& g) {
  DepthwiseChannels d{};
  EXPECT_TRUE(depthwise_channels_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt, g.pl,
                                        g.dh, g.dw, &d));
  return d;
}

using Kernel = void (*)(const DepthwiseChannels&, int64_t, const float*, const float*, float*,
                        const float*, const WindowEpilogue*, float*);

std::vector<Kernel> kernels() {
  std::vector<Kernel> k;
  if (!conv_simd_available()) return k;
  k.push_back(depthwise_channels_avx2);
  if (depthwise_direct_avx512_available()) k.push_back(depthwise_channels_avx512);
  return k;
}

// Output widths below eight (one short run per row), eight, between eight and sixteen (a run
// moved back to the row's end), sixteen and past it (the wide runs of the AVX-512 build),
// input widths shorter than a vector, planes of fewer than eight floats, planes taller than
// one band, both window sizes, both strides and every padding the kernel takes.
std::vector<Shape> shapes() {
  std::vector<Shape> s = {
      {8, 7, 7, 3, 1, 1},    {8, 14, 14, 3, 2, 1},  {8, 2, 3, 3, 1, 1},    {8, 1, 1, 3, 1, 1},
      {8, 3, 2, 3, 2, 1},    {8, 9, 8, 3, 1, 1},    {8, 5, 17, 3, 1, 1},   {8, 6, 33, 3, 2, 1},
      {8, 4, 31, 3, 1, 0},   {8, 6, 30, 3, 2, 0},   {8, 6, 29, 3, 1, 2},   {8, 9, 23, 5, 1, 2},
      {8, 9, 24, 5, 2, 2},   {8, 12, 13, 5, 1, 0},  {8, 12, 41, 5, 2, 4},  {8, 13, 37, 5, 1, 3},
      {8, 6, 6, 5, 2, 1},    {16, 28, 28, 3, 2, 1}, {8, 120, 115, 3, 1, 1}, {8, 113, 121, 3, 2, 1},
      {8, 70, 300, 5, 1, 2}, {8, 6, 8, 3, 2, 0},   {8, 5, 9, 5, 2, 0},
  };
  for (int w = 1; w <= 20; ++w) {
    s.push_back({8, 3, w, 3, 1, 1});
    s.push_back({8, 5, w, 3, 2, 1});
  }
  return s;
}

TEST(DepthwiseChannels, TakesTheDirectKernelsWindowsAndKeepsABandInItsScratch) {
  DepthwiseChannels d;
  EXPECT_TRUE(depthwise_channels_layout(20, 20, 18, 18, 3, 3, 1, 1, 0, 0, 1, 1, &d));
  EXPECT_TRUE(depthwise_channels_layout(20, 20, 10, 10, 5, 5, 2, 2, 2, 2, 1, 1, &d));
  // Dilated, not square, stride 3, padding as wide as the window.
  EXPECT_FALSE(depthwise_channels_layout(20, 20, 16, 16, 3, 3, 1, 1, 1, 1, 2, 2, &d));
  EXPECT_FALSE(depthwise_channels_layout(20, 20, 18, 18, 3, 5, 1, 1, 1, 1, 1, 1, &d));
  EXPECT_FALSE(depthwise_channels_layout(20, 20, 7, 7, 3, 3, 3, 3, 1, 1, 1, 1, &d));
  EXPECT_FALSE(depthwise_channels_layout(20, 20, 20, 20, 3, 3, 1, 1, 3, 3, 1, 1, &d));
  // A row too wide for the window's rows of eight channels goes to the plane kernel.
  EXPECT_FALSE(depthwise_channels_layout(8, 1000, 8, 1000, 3, 3, 1, 1, 1, 1, 1, 1, &d));
  ASSERT_TRUE(depthwise_channels_layout(7, 7, 7, 7, 3, 3, 1, 1, 1, 1, 1, 1, &d));
  EXPECT_GE(d.cols, 7 + 3);  // room for the windows of eight positions
  EXPECT_EQ(d.used, 7);
  ASSERT_TRUE(depthwise_channels_layout(150, 141, 150, 141, 3, 3, 1, 1, 1, 1, 1, 1, &d));
  EXPECT_LT(d.band_rows, 150);
  EXPECT_LE(((d.band_rows - 1) + 3) * d.cols * kDepthwiseChannelLanes,
            kDepthwiseChannelScratchFloats);
}

TEST(DepthwiseChannels, EveryBuildMatchesThePortableLoopBitForBit) {
  const auto builds = kernels();
  if (builds.empty()) GTEST_SKIP() << "no AVX2";
  for (const Shape& s : shapes()) {
    const ConvGeometry g = geometry(s);
    SCOPED_TRACE(::testing::Message() << s.c << " x " << g.h << "x" << g.w << " k" << g.kh
                                      << " s" << g.sh << " p" << g.pt);
    const DepthwiseChannels d = layout_of(g);
    // Exactly sized on the heap, so a sanitizer sees any read outside the channels.
    const auto x = lcg_values(static_cast<size_t>(s.c) * g.h * g.w, 101 + s.w);
    const auto w = lcg_values(static_cast<size_t>(s.c) * g.kh * g.kw, 102);
    const auto bias = lcg_values(static_cast<size_t>(s.c), 103);
    const auto raw = testing::depthwise_reference(g, x, w);
    for (Kernel kernel : builds) {
      testing::expect_store_epilogues(
          raw, static_cast<size_t>(g.oh) * g.ow, bias,
          [&](float* out, const float* b, const WindowEpilogue* e) {
            std::vector<float> scratch(kDepthwiseChannelScratchFloats,
                                       std::numeric_limits<float>::quiet_NaN());
            kernel(d, s.c / kDepthwiseChannelLanes, x.data(), w.data(), out, b, e,
                   scratch.data());
          });
    }
  }
}

// Through the Conv entry point, the result of one thread checked against the portable path,
// then the same bits at other thread counts.
void expect_same_at_any_thread_count(const ConvGeometry& g, const ConvEpilogue& e,
                                     const std::vector<float>& x, const std::vector<float>& w) {
  const size_t n = static_cast<size_t>(g.c_out) * g.oh * g.ow;
  const auto run = [&] {
    std::vector<float> y(n, std::numeric_limits<float>::quiet_NaN());
    cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, nullptr, 0);
    return y;
  };
  std::vector<float> serial;
  {
    ThreadCapScope one(1);
    serial = run();
  }
  cpu_conv_force_portable(true);
  const auto portable = run();
  cpu_conv_force_portable(false);
  EXPECT_EQ(first_difference(serial, portable), n);
  for (unsigned threads : {2u, 3u, 8u}) {
    ThreadCapScope cap(threads);
    EXPECT_EQ(first_difference(run(), serial), n) << threads << " threads";
  }
}

TEST(DepthwiseChannels, ConvMatchesThePortablePathWithChannelsPastTheLastGroup) {
  // 13 and 21 channels: whole groups of eight by the channel kernel, the rest by the plane
  // kernel, each with its own bias and the Clip.
  for (const Shape& s : {Shape{13, 14, 14, 3, 2, 1}, Shape{21, 9, 30, 3, 1, 1},
                         Shape{13, 7, 7, 5, 1, 2}}) {
    const ConvGeometry g = geometry(s);
    SCOPED_TRACE(::testing::Message() << s.c << " x " << g.h << "x" << g.w);
    const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 106);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.kh * g.kw, 107);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 108);
    ConvEpilogue e;
    e.activation = kConvActClip;
    e.clip_lo = -0.2f;
    e.clip_hi = 0.4f;
    e.table = bias.data();
    expect_same_at_any_thread_count(g, e, x, w);
  }
}

TEST(DepthwiseChannels, RandomGeometriesMatchThePortablePath) {
  // Asymmetric padding (the bottom and right pads only show in the output size), batches of
  // two, channel counts on and off a multiple of eight, planes from one float up.
  uint32_t state = 12345;
  const auto next = [&](uint32_t n) {
    state = state * 1664525u + 1013904223u;
    return static_cast<int32_t>((state >> 8) % n);
  };
  for (int trial = 0; trial < 200; ++trial) {
    ConvGeometry g;
    const int32_t k = next(2) == 0 ? 3 : 5, s = 1 + next(2);
    g.batch = 1 + next(2);
    g.c_in = g.c_out = g.group = 8 * (1 + next(3)) + (next(3) == 0 ? next(8) : 0);
    g.h = 1 + next(30), g.w = 1 + next(40);
    g.kh = g.kw = k, g.sh = g.sw = s;
    g.pt = next(k), g.pl = next(k);
    const int32_t pb = next(k), pr = next(k);
    if (g.h + g.pt + pb < k || g.w + g.pl + pr < k) continue;
    g.oh = (g.h + g.pt + pb - k) / s + 1;
    g.ow = (g.w + g.pl + pr - k) / s + 1;
    SCOPED_TRACE(::testing::Message() << "batch " << g.batch << " c " << g.c_in << " " << g.h
                                      << "x" << g.w << " k" << k << " s" << s << " pads "
                                      << g.pt << "," << g.pl << "," << pb << "," << pr);
    const size_t in = static_cast<size_t>(g.batch) * g.c_in * g.h * g.w;
    const size_t out = static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow;
    const auto x = lcg_values(in, 200 + trial);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * k * k, 300 + trial);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 400 + trial);
    ConvEpilogue e;
    e.activation = next(2) == 0 ? kConvActRelu : kConvActNone;
    e.table = bias.data();
    const auto run = [&] {
      std::vector<float> y(out, std::numeric_limits<float>::quiet_NaN());
      ThreadCapScope one(1);
      cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, nullptr, 0);
      return y;
    };
    const auto fast = run();
    cpu_conv_force_portable(true);
    const auto portable = run();
    cpu_conv_force_portable(false);
    ASSERT_EQ(first_difference(fast, portable), out);
  }
}

TEST(DepthwiseChannels, ThreadCountsThatSwitchKernelsKeepTheBitsAndTheEpilogues) {
  // Two groups of large planes: the channel kernel at one and two threads, the plane kernel
  // at more; an epilogue the kernel does not apply itself (SiLU; a residual) runs after it.
  const ConvGeometry g = geometry({16, 112, 112, 3, 1, 1});
  const size_t n = static_cast<size_t>(g.c_out) * g.oh * g.ow;
  const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 109);
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.kh * g.kw, 110);
  const auto bias = lcg_values(static_cast<size_t>(g.c_out), 111);
  const auto residual = lcg_values(n, 112);
  ConvEpilogue silu;
  silu.activation = kConvActSilu;
  silu.table = bias.data();
  expect_same_at_any_thread_count(g, silu, x, w);
  ConvEpilogue add;
  add.activation = kConvActRelu;
  add.table = bias.data();
  add.residual = residual.data();
  expect_same_at_any_thread_count(g, add, x, w);
  // And the residual really was added once: against plain sums plus bias plus residual.
  std::vector<float> plain(n), fused(n);
  cpu_conv2d(g, x.data(), w.data(), plain.data(), ConvEpilogue{}, true, nullptr, 0);
  cpu_conv2d(g, x.data(), w.data(), fused.data(), add, true, nullptr, 0);
  const size_t plane = static_cast<size_t>(g.oh) * g.ow;
  for (size_t i = 0; i < n; i += 997) {
    const float v = plain[i] + bias[i / plane] + residual[i];
    EXPECT_EQ(fused[i], v >= 0.0f ? v : 0.0f) << "element " << i;
  }
}

TEST(DepthwiseChannels, NaNInputsKeepTheEpiloguesRules) {
  // A NaN reaches its neighbours' sums: ReLU makes them 0, Clip keeps NaN.
  const ConvGeometry g = geometry({8, 9, 19, 3, 2, 1});
  auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 113);
  x[4 * g.w + 10] = std::numeric_limits<float>::quiet_NaN();
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * 9, 114);
  for (int64_t act : {kConvActRelu, kConvActClip}) {
    ConvEpilogue e;
    e.activation = act;
    e.clip_lo = 0.0f;
    e.clip_hi = 6.0f;
    std::vector<float> y(static_cast<size_t>(g.c_out) * g.oh * g.ow);
    cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, nullptr, 0);
    const float centre = y[2 * g.ow + 5];  // the output whose window holds input (4, 10)
    EXPECT_EQ(std::isnan(centre), act == kConvActClip);
    EXPECT_FALSE(std::isnan(y[g.oh * g.ow + 2 * g.ow + 5]));  // channel 1 has no NaN
  }
}

}  // namespace
}  // namespace vexa::cpu
