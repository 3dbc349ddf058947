// The direct depthwise kernel (3x3 and 5x5 windows, stride 1 and 2, staged edge columns,
// inner columns read from the input) against the portable loop bit for bit and against a
// naive double-precision sum with each epilogue.
#include <gtest/gtest.h>

#include <algorithm>
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

using testing::all_close;
using testing::lcg_values;

using Shape = testing::DepthwiseShape;
using testing::first_difference;

ConvGeometry geometry(const Shape& s) { return testing::depthwise_geometry(s); }

// Every shape family the direct kernel takes: output widths below, at and around one and two
// blocks of eight, odd input widths, rows shorter than eight floats (including planes of
// fewer than eight floats), planes taller than one staged band, no padding and padding
// k - 1, both kernel sizes at both strides.
std::vector<Shape> direct_shapes() {
  std::vector<Shape> shapes = {
      {3, 7, 7, 3, 1, 1},     {3, 14, 14, 3, 1, 1},  {2, 14, 14, 3, 2, 1},  {2, 7, 7, 3, 2, 1},
      {2, 1, 1, 3, 1, 1},     {2, 2, 3, 3, 1, 1},    {2, 3, 2, 3, 2, 1},    {2, 5, 1, 3, 1, 1},
      {2, 9, 8, 3, 1, 1},     {2, 9, 9, 3, 1, 1},    {2, 8, 16, 3, 1, 1},   {2, 8, 17, 3, 1, 1},
      {2, 8, 15, 3, 2, 1},    {2, 8, 33, 3, 2, 1},   {2, 11, 34, 3, 2, 1},  {2, 6, 31, 3, 1, 0},
      {2, 6, 30, 3, 2, 0},    {2, 6, 29, 3, 1, 2},   {2, 9, 23, 5, 1, 2},   {2, 9, 24, 5, 2, 2},
      {2, 12, 13, 5, 1, 0},   {2, 12, 41, 5, 2, 4},  {2, 13, 37, 5, 1, 3},  {2, 6, 6, 5, 2, 1},
      {2, 150, 141, 3, 1, 1}, {2, 140, 150, 3, 2, 1}, {1, 80, 230, 5, 1, 2}, {1, 61, 227, 5, 2, 2},
      {1, 40, 112, 3, 1, 1},  {1, 40, 112, 3, 2, 1},
  };
  for (int w = 1; w <= 19; ++w) {
    shapes.push_back({1, 4, w, 3, 1, 1});
    shapes.push_back({1, 5, w, 3, 2, 1});
  }
  return shapes;
}

// Plane by plane through cpu_conv2d with nothing after the sum.
std::vector<float> conv(const ConvGeometry& g, const std::vector<float>& x,
                        const std::vector<float>& w, const ConvEpilogue& e) {
  std::vector<float> y(static_cast<size_t>(g.c_out) * g.oh * g.ow,
                       std::numeric_limits<float>::quiet_NaN());
  cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, nullptr, 0);
  return y;
}

// The vector result checked bit for bit against the portable loop; returns the vector result.
std::vector<float> conv_matching_portable(const ConvGeometry& g, const std::vector<float>& x,
                                          const std::vector<float>& w, const ConvEpilogue& e) {
  const auto fast = conv(g, x, w, e);
  cpu_conv_force_portable(true);
  const auto portable = conv(g, x, w, e);
  cpu_conv_force_portable(false);
  const size_t at = first_difference(fast, portable);
  EXPECT_EQ(at, fast.size()) << "element " << at;
  return fast;
}

// The sum of in-bounds taps in double, then the epilogue.
std::vector<double> naive(const ConvGeometry& g, const std::vector<float>& x,
                          const std::vector<float>& w, const ConvEpilogue& e) {
  std::vector<double> y(static_cast<size_t>(g.c_out) * g.oh * g.ow);
  for (int c = 0; c < g.c_out; ++c)
    for (int oh = 0; oh < g.oh; ++oh)
      for (int ow = 0; ow < g.ow; ++ow) {
        double acc = 0.0;
        for (int kh = 0; kh < g.kh; ++kh)
          for (int kw = 0; kw < g.kw; ++kw) {
            const int ih = oh * g.sh - g.pt + kh, iw = ow * g.sw - g.pl + kw;
            if (ih < 0 || ih >= g.h || iw < 0 || iw >= g.w) continue;
            acc += double{x[(static_cast<size_t>(c) * g.h + ih) * g.w + iw]} *
                   w[(static_cast<size_t>(c) * g.kh + kh) * g.kw + kw];
          }
        if (e.table != nullptr) acc += e.table[c];
        switch (e.activation) {
          case kConvActRelu: acc = acc >= 0 ? acc : 0; break;
          case kConvActClip: acc = std::min<double>(std::max<double>(acc, e.clip_lo), e.clip_hi); break;
          case kConvActSilu: acc = acc / (1.0 + std::exp(-acc)); break;
          default: break;
        }
        y[(static_cast<size_t>(c) * g.oh + oh) * g.ow + ow] = acc;
      }
  return y;
}

TEST(DepthwiseDirect, TakesTheShapesItIsBuiltFor) {
  DepthwiseDirect d;
  struct Case {
    int kh, kw, s, pad, dil;
    bool taken;
  };
  const Case cases[] = {
      {3, 3, 1, 1, 1, true},  {3, 3, 2, 1, 1, true},  {5, 5, 1, 2, 1, true},
      {5, 5, 2, 2, 1, true},  {3, 3, 1, 0, 1, true},  {3, 3, 1, 1, 2, false},
      {3, 5, 1, 1, 1, false}, {7, 7, 1, 3, 1, false}, {3, 3, 3, 1, 1, false},
      {3, 3, 1, 3, 1, false},  // padding as wide as the window
  };
  for (const Case& c : cases) {
    EXPECT_EQ(depthwise_direct_layout(20, 20, 18, 18, c.kh, c.kw, c.s, c.s, c.pad, c.pad, c.dil,
                                      c.dil, &d),
              c.taken)
        << c.kh << "x" << c.kw << " s" << c.s << " p" << c.pad << " d" << c.dil;
  }
  // A row too wide for one staged band of the window's rows goes elsewhere.
  EXPECT_FALSE(depthwise_direct_layout(8, 4000, 8, 4000, 3, 3, 1, 1, 1, 1, 1, 1, &d));
  ASSERT_TRUE(depthwise_direct_layout(150, 141, 150, 141, 3, 3, 1, 1, 1, 1, 1, 1, &d));
  EXPECT_LT(d.band_rows, 150);
  EXPECT_EQ(d.band_rows % kDepthwiseDirectRowGroup, 0);
  EXPECT_GE(d.row_stride, 141 + 1 + 1);
  EXPECT_LE(((d.band_rows - 1) * 1 + 3) * d.row_stride, kDepthwiseDirectScratchFloats);
}

TEST(DepthwiseDirect, EveryBuildMatchesThePortableLoopBitForBit) {
  if (!conv_simd_available()) GTEST_SKIP() << "no AVX2";
  using Kernel = void (*)(const DepthwiseDirect&, int64_t, const float*, const float*, float*,
                          const float*, const WindowEpilogue*, float*);
  std::vector<Kernel> kernels = {depthwise_planes_direct_avx2};
  if (depthwise_direct_avx512_available()) kernels.push_back(depthwise_planes_direct_avx512);
  for (const Shape& s : direct_shapes()) {
    const ConvGeometry g = geometry(s);
    SCOPED_TRACE(::testing::Message() << s.c << " x " << g.h << "x" << g.w << " k" << g.kh
                                      << " s" << g.sh << " p" << g.pt);
    DepthwiseDirect d;
    ASSERT_TRUE(depthwise_direct_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt, g.pl,
                                        g.dh, g.dw, &d));
    // The channels on the heap, exactly sized, so a sanitizer sees any read outside them.
    const auto x = lcg_values(static_cast<size_t>(s.c) * g.h * g.w, 81 + s.w);
    const auto w = lcg_values(static_cast<size_t>(s.c) * g.kh * g.kw, 82);
    const auto bias = lcg_values(static_cast<size_t>(s.c), 83);
    const auto raw = testing::depthwise_reference(g, x, w);
    for (Kernel kernel : kernels) {
      testing::expect_store_epilogues(
          raw, static_cast<size_t>(g.oh) * g.ow, bias,
          [&](float* out, const float* b, const WindowEpilogue* e) {
            std::vector<float> scratch(kDepthwiseDirectScratchFloats,
                                       std::numeric_limits<float>::quiet_NaN());
            kernel(d, s.c, x.data(), w.data(), out, b, e, scratch.data());
          });
    }
  }
}

TEST(DepthwiseDirect, FusedEpiloguesMatchThePortablePathAndTheNaiveSum) {
  const float bias_values[] = {0.25f, -0.5f, 0.125f, 0.0f, -0.0625f};
  struct Epi {
    const char* name;
    int64_t activation;
    bool bias;
  };
  const Epi epilogues[] = {
      {"none", kConvActNone, false},      {"bias", kConvActNone, true},
      {"relu", kConvActRelu, false},      {"bias relu", kConvActRelu, true},
      {"clip", kConvActClip, false},      {"bias clip", kConvActClip, true},
      {"bias silu", kConvActSilu, true},
  };
  const Shape shapes[] = {{5, 14, 14, 3, 1, 1}, {5, 14, 14, 3, 2, 1}, {5, 7, 7, 3, 1, 1},
                          {5, 17, 23, 5, 1, 2}, {5, 17, 23, 5, 2, 2}, {5, 40, 57, 3, 1, 1},
                          {5, 41, 56, 3, 2, 1}, {5, 3, 5, 3, 1, 1}};
  for (const Shape& s : shapes) {
    const ConvGeometry g = geometry(s);
    const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 91);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.kh * g.kw, 92);
    for (const Epi& epi : epilogues) {
      SCOPED_TRACE(::testing::Message() << g.h << "x" << g.w << " k" << g.kh << " s" << g.sh
                                        << " " << epi.name);
      ConvEpilogue e;
      e.activation = epi.activation;
      e.table = epi.bias ? bias_values : nullptr;
      e.clip_lo = -0.3f;
      e.clip_hi = 0.4f;
      const auto fast = conv_matching_portable(g, x, w, e);
      EXPECT_TRUE(all_close(fast, naive(g, x, w, e), 4.0));
    }
  }
}

TEST(DepthwiseDirect, ClipAndReluKeepTheirNaNRules) {
  // A NaN input reaches the sums of its neighbours: ReLU turns them into 0, Clip keeps NaN,
  // exactly as the separate epilogue routines do.
  const ConvGeometry g = geometry({2, 9, 19, 3, 1, 1});
  auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 93);
  x[4 * g.w + 10] = std::numeric_limits<float>::quiet_NaN();
  x[g.h * g.w + 0] = std::numeric_limits<float>::quiet_NaN();  // a corner of channel 1
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * 9, 94);
  for (int64_t act : {kConvActRelu, kConvActClip}) {
    ConvEpilogue e;
    e.activation = act;
    e.clip_lo = 0.0f;
    e.clip_hi = 6.0f;
    const auto fast = conv_matching_portable(g, x, w, e);
    const float centre = fast[4 * g.ow + 10];
    EXPECT_EQ(std::isnan(centre), act == kConvActClip);
  }
}

TEST(DepthwiseDirect, ManySmallPlanesGiveTheSameBitsAtAnyThreadCount) {
  // Small planes go several to a task; the result may not depend on how tasks land.
  const Shape shapes[] = {{200, 7, 7, 3, 1, 1}, {96, 14, 14, 3, 2, 1}, {40, 28, 28, 3, 1, 1},
                          {33, 5, 6, 5, 1, 2}};
  for (const Shape& s : shapes) {
    const ConvGeometry g = geometry(s);
    SCOPED_TRACE(::testing::Message() << s.c << " x " << g.h << "x" << g.w);
    const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 95);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.kh * g.kw, 96);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 97);
    ConvEpilogue e;
    e.activation = kConvActClip;
    e.clip_lo = 0.0f;
    e.clip_hi = 0.5f;
    e.table = bias.data();
    std::vector<float> serial;
    {
      ThreadCapScope one(1);
      serial = conv(g, x, w, e);
    }
    std::vector<float> two;
    {
      ThreadCapScope cap(2);
      two = conv(g, x, w, e);
    }
    const auto all = conv_matching_portable(g, x, w, e);
    EXPECT_EQ(serial, all);
    EXPECT_EQ(two, all);
  }
}

}  // namespace
}  // namespace vexa::cpu
