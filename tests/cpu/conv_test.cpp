#include "cpu/ops/conv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "conv_reference.h"
#include "dense_tolerance.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::all_close;
using testing::lcg_values;

int32_t out_size(int32_t in, int32_t k, int32_t s, int32_t pad_before, int32_t pad_after,
                 int32_t d) {
  return (in + pad_before + pad_after - d * (k - 1) - 1) / s + 1;
}

// The definition in double: the sum over the group's channels and in-bounds taps.
std::vector<double> naive_conv(const ConvGeometry& g, const std::vector<float>& x,
                               const std::vector<float>& w, const float* bias) {
  return testing::conv_reference(g, x, w, bias).value;
}

ConvGeometry make_geometry(int32_t batch, int32_t c_in, int32_t h, int32_t w, int32_t c_out,
                           int32_t k, int32_t s, int32_t pad, int32_t d, int32_t group) {
  ConvGeometry g;
  g.batch = batch;
  g.c_in = c_in;
  g.h = h;
  g.w = w;
  g.c_out = c_out;
  g.kh = g.kw = k;
  g.sh = g.sw = s;
  g.pt = g.pl = pad;
  g.dh = g.dw = d;
  g.group = group;
  g.oh = out_size(h, k, s, pad, pad, d);
  g.ow = out_size(w, k, s, pad, pad, d);
  return g;
}

struct ConvCase {
  const char* name;
  ConvGeometry g;
  ConvPath path;
};

// Runs the kernel with exactly the scratch it asks for (heap, so a sanitizer sees overruns).
std::vector<float> run_conv(const ConvGeometry& g, const std::vector<float>& x,
                            const std::vector<float>& w, const ConvEpilogue& e,
                            bool allow_depthwise = true, int64_t workspace_floats = -1) {
  const uint64_t ws = workspace_floats >= 0 ? static_cast<uint64_t>(workspace_floats)
                                            : cpu_conv_workspace_floats(g);
  std::vector<float> workspace(ws + 0);
  // NaN everywhere so any output element the kernel forgets shows up.
  std::vector<float> y(static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow,
                       std::numeric_limits<float>::quiet_NaN());
  cpu_conv2d(g, x.data(), w.data(), y.data(), e, allow_depthwise,
             workspace.empty() ? nullptr : workspace.data(), ws);
  return y;
}

TEST(ConvKernel, MatchesNaiveReferenceOnEveryPath) {
  const ConvCase cases[] = {
      {"3x3 pad1 stride1", make_geometry(1, 5, 9, 11, 7, 3, 1, 1, 1, 1), ConvPath::kIm2col},
      {"3x3 pad1 stride2", make_geometry(2, 4, 13, 10, 6, 3, 2, 1, 1, 1), ConvPath::kIm2col},
      {"3x3 dilation2", make_geometry(1, 3, 12, 12, 4, 3, 1, 2, 2, 1), ConvPath::kIm2col},
      {"groups 2", make_geometry(1, 6, 8, 9, 4, 3, 1, 1, 1, 2), ConvPath::kIm2col},
      {"groups 3 stride2", make_geometry(2, 9, 11, 7, 6, 3, 2, 1, 1, 3), ConvPath::kIm2col},
      {"7x7 stride2 pad3", make_geometry(1, 3, 20, 18, 8, 7, 2, 3, 1, 1), ConvPath::kIm2col},
      {"kernel larger than padded row", make_geometry(1, 2, 3, 3, 3, 5, 1, 2, 1, 1),
       ConvPath::kIm2col},
      {"pixel ranges crossing rows", make_geometry(1, 3, 40, 61, 5, 3, 1, 1, 1, 1),
       ConvPath::kIm2col},
      {"narrow pixel ranges", make_geometry(1, 3, 30, 30, 4, 3, 1, 1, 1, 1), ConvPath::kIm2col},
      {"pixel ranges stride2 dilation2", make_geometry(1, 2, 100, 97, 3, 3, 2, 2, 2, 1),
       ConvPath::kIm2col},
      {"pointwise", make_geometry(2, 16, 7, 9, 12, 1, 1, 0, 1, 1), ConvPath::kPointwise},
      {"strided pointwise", make_geometry(1, 8, 15, 14, 5, 1, 2, 0, 1, 1),
       ConvPath::kStridedPointwise},
      {"1x1 with bottom and right padding", [] {
         ConvGeometry g = make_geometry(1, 4, 6, 5, 3, 1, 1, 0, 1, 1);
         g.oh = 8;  // two rows of bottom padding
         g.ow = 6;  // one column of right padding
         return g;
       }(), ConvPath::kStridedPointwise},
      {"depthwise 3x3", make_geometry(1, 16, 20, 21, 16, 3, 1, 1, 1, 16), ConvPath::kDepthwise},
      {"depthwise 3x3 stride2", make_geometry(2, 8, 33, 40, 8, 3, 2, 1, 1, 8),
       ConvPath::kDepthwise},
      {"depthwise 5x5 dilation2", make_geometry(1, 4, 19, 23, 4, 5, 1, 4, 2, 4),
       ConvPath::kDepthwise},
      {"depthwise 5x5 stride2 pad2", make_geometry(1, 12, 35, 37, 12, 5, 2, 2, 1, 12),
       ConvPath::kDepthwise},
  };
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ConvGeometry& g = c.g;
    ASSERT_EQ(cpu_conv_path(g, true), c.path);
    const auto x = lcg_values(static_cast<size_t>(g.batch) * g.c_in * g.h * g.w, 1);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * (g.c_in / g.group) * g.kh * g.kw, 2);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 3);
    ConvEpilogue e;
    e.table = bias.data();
    const auto want = naive_conv(g, x, w, bias.data());
    const auto fast = run_conv(g, x, w, e);
    EXPECT_TRUE(all_close(fast, want, 4.0));
    // The portable copies and multiply-adds give the same bits as the vector ones.
    cpu_conv_force_portable(true);
    const auto portable = run_conv(g, x, w, e);
    cpu_conv_force_portable(false);
    EXPECT_EQ(fast, portable);
  }
}

TEST(ConvKernel, DepthwiseEqualsIm2colAndPortablePath) {
  const ConvGeometry shapes[] = {
      make_geometry(1, 16, 30, 29, 16, 3, 1, 1, 1, 16),
      make_geometry(1, 8, 31, 64, 8, 3, 2, 1, 1, 8),
      make_geometry(1, 8, 9, 9, 8, 3, 2, 0, 1, 8),
      // Rows of 32- and 8-wide blocks plus a masked tail, at stride 1 and 2.
      make_geometry(1, 8, 11, 77, 8, 3, 1, 1, 1, 8),
      make_geometry(1, 8, 11, 101, 8, 5, 2, 2, 1, 8),
      make_geometry(1, 8, 11, 66, 8, 3, 2, 1, 1, 8),
  };
  for (const ConvGeometry& g : shapes) {
    const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 7);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.kh * g.kw, 8);
    ConvEpilogue e;
    const auto fast = run_conv(g, x, w, e, true);
    const auto general = run_conv(g, x, w, e, false);  // word [27] keeps it off the depthwise path
    cpu_conv_force_portable(true);
    const auto portable = run_conv(g, x, w, e, true);
    cpu_conv_force_portable(false);
    // The vector and portable depthwise loops round identically.
    EXPECT_EQ(fast, portable);
    std::vector<double> general_d(general.begin(), general.end());
    EXPECT_TRUE(all_close(fast, general_d, 4.0));
  }
}

TEST(ConvKernel, DepthwiseTailWidthsMatchThePortableLoop) {
  // Output widths 1 to 17 cover every partial last block of eight, at both strides, with the
  // bias and Clip the kernel applies as it stores; the edge-of-plane stores must leave the
  // neighbouring channel's plane alone.
  const float bias[] = {0.25f, -0.5f, 0.125f};
  for (int32_t w = 1; w <= 17; ++w) {
    for (int32_t s : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "width " << w << " stride " << s);
      const ConvGeometry g = make_geometry(1, 3, 5, w * s, 3, 3, s, 1, 1, 3);
      const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 71 + w);
      const auto wt = lcg_values(static_cast<size_t>(g.c_out) * 9, 72);
      ConvEpilogue e;
      e.activation = kConvActClip;
      e.clip_lo = -0.3f;
      e.clip_hi = 0.4f;
      e.table = bias;
      const auto fast = run_conv(g, x, wt, e);
      cpu_conv_force_portable(true);
      const auto portable = run_conv(g, x, wt, e);
      cpu_conv_force_portable(false);
      EXPECT_EQ(fast, portable);
    }
  }
}

// Conv with bias and ReLU against the naive sum at 1, 2 and 8 threads, the same bytes each
// time; data from seeds seed, seed + 1, seed + 2.
void expect_bias_relu_conv_on_thread_counts(const ConvGeometry& g, uint32_t seed, double tol) {
  const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, seed);
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.c_in * g.kh * g.kw, seed + 1);
  const auto bias = lcg_values(static_cast<size_t>(g.c_out), seed + 2);
  ConvEpilogue e;
  e.activation = kConvActRelu;
  e.table = bias.data();
  auto want = naive_conv(g, x, w, bias.data());
  for (double& v : want) v = v >= 0 ? v : 0.0;
  std::vector<float> first;
  for (unsigned threads : {1u, 2u, 8u}) {
    SCOPED_TRACE(threads);
    ThreadCapScope cap(threads);
    const auto y = run_conv(g, x, w, e);
    EXPECT_TRUE(all_close(y, want, tol));
    if (first.empty()) first = y;
    EXPECT_EQ(y, first);
  }
}

TEST(ConvKernel, ShallowPointwiseRangesMatchReferenceOnAnyThreadCount) {
  // 16 input channels over a 70 x 61 plane: the product is cut into pixel ranges that run
  // the epilogue in cache; the last range is shorter than the others.
  const ConvGeometry g = make_geometry(1, 16, 70, 61, 24, 1, 1, 0, 1, 1);
  ASSERT_EQ(cpu_conv_path(g, true), ConvPath::kPointwise);
  expect_bias_relu_conv_on_thread_counts(g, 81, 4.0);
}

TEST(ConvKernel, MidSizedPlanesMatchReferenceOnAnyThreadCount) {
  // Planes of 768 to 2047 outputs cut into narrow pixel ranges, more of them for deep
  // products; odd sizes, stride 2 and a short last range included.
  const ConvGeometry shapes[] = {
      make_geometry(1, 8, 30, 31, 12, 3, 1, 1, 1, 1),    // depth 72
      make_geometry(1, 120, 28, 29, 8, 3, 1, 1, 1, 1),   // depth 1,080
      make_geometry(1, 116, 57, 55, 6, 3, 2, 1, 1, 1),   // depth 1,044, stride 2, 29 x 28
      make_geometry(1, 5, 41, 39, 7, 5, 1, 2, 1, 1),     // depth 125, 5x5 window
  };
  for (const ConvGeometry& g : shapes) {
    SCOPED_TRACE(::testing::Message() << g.c_in << "x" << g.h << "x" << g.w << " s" << g.sh);
    ASSERT_EQ(cpu_conv_path(g, true), ConvPath::kIm2col);
    const int64_t plane = int64_t{g.oh} * g.ow;
    ASSERT_GE(plane, 768);
    ASSERT_LT(plane, 2048);
    expect_bias_relu_conv_on_thread_counts(g, 91, 8.0);
  }
}

TEST(ConvKernel, RowBandsEqualTheWholePlane) {
  // 256 x 256 outputs with K = 144: the band rule cuts the plane into bands of 113 rows.
  const ConvGeometry g = make_geometry(1, 16, 256, 256, 3, 3, 1, 1, 1, 1);
  ASSERT_LT(cpu_conv_band_rows(g.oh, g.ow, 16 * 9), g.oh);
  const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 11);
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.c_in * 9, 12);
  // The epilogue runs range by range on this path: bias and leaky ReLU.
  const auto bias = lcg_values(static_cast<size_t>(g.c_out), 13);
  ConvEpilogue e;
  e.activation = kConvActLeakyRelu;
  e.slope = 0.25f;
  e.table = bias.data();
  auto want = naive_conv(g, x, w, bias.data());
  for (double& v : want) v = v >= 0 ? v : 0.25 * v;
  EXPECT_TRUE(all_close(run_conv(g, x, w, e), want, 8.0));
}

TEST(ConvKernel, ResultsDoNotDependOnTheThreadCount) {
  // Wide bands split into pixel ranges, a parallel im2col and a parallel depthwise pass.
  const ConvGeometry shapes[] = {
      make_geometry(1, 8, 64, 64, 16, 3, 1, 1, 1, 1),
      make_geometry(1, 16, 30, 30, 16, 3, 1, 1, 1, 16),
      make_geometry(1, 32, 12, 12, 24, 3, 2, 1, 1, 1),
      make_geometry(1, 16, 40, 40, 16, 3, 1, 1, 1, 1),  // the shifted view
  };
  for (const ConvGeometry& g : shapes) {
    const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 61);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * (g.c_in / g.group) * 9, 62);
    std::vector<float> serial;
    {
      ThreadCapScope one(1);
      serial = run_conv(g, x, w, ConvEpilogue{});
    }
    EXPECT_EQ(run_conv(g, x, w, ConvEpilogue{}), serial);
  }
}

TEST(ConvKernel, SmallWorkspaceGivesNarrowerBandsOrTheDirectLoop) {
  const ConvGeometry g = make_geometry(1, 4, 17, 13, 5, 3, 2, 1, 1, 1);
  const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 21);
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.c_in * 9, 22);
  const auto want = naive_conv(g, x, w, nullptr);
  const int64_t row_floats = int64_t{g.c_in} * 9 * g.ow;
  // Three rows per band, one row per band, and less than one row (direct loop).
  for (int64_t ws : {3 * row_floats + 5, row_floats, row_floats - 1, int64_t{0}}) {
    SCOPED_TRACE(ws);
    EXPECT_TRUE(all_close(run_conv(g, x, w, ConvEpilogue{}, true, ws), want, 4.0));
  }
}

TEST(ConvKernel, StridedPointwiseLargePlaneStaysInsideItsWorkspace) {
  // 256 input channels at 512 x 512, stride 2: the gathered input would be 16M floats; the
  // kernel gathers row bands into the 4M-float workspace instead.
  ConvGeometry g = make_geometry(1, 256, 512, 512, 2, 1, 2, 0, 1, 1);
  ASSERT_EQ(cpu_conv_path(g, true), ConvPath::kStridedPointwise);
  const uint64_t ws = cpu_conv_workspace_floats(g);
  EXPECT_LE(ws, 4194304u);
  std::vector<float> x(static_cast<size_t>(g.c_in) * g.h * g.w);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 7919) % 251) / 251.0f - 0.5f;
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.c_in, 31);
  const auto y = run_conv(g, x, w, ConvEpilogue{});
  std::vector<double> want(y.size());
  for (int64_t co = 0; co < g.c_out; ++co)
    for (int64_t oh = 0; oh < g.oh; ++oh)
      for (int64_t ow = 0; ow < g.ow; ++ow) {
        double acc = 0.0;
        for (int64_t c = 0; c < g.c_in; ++c)
          acc += double{x[(c * g.h + oh * 2) * g.w + ow * 2]} * w[co * g.c_in + c];
        want[(co * g.oh + oh) * g.ow + ow] = acc;
      }
  EXPECT_TRUE(all_close(y, want, 16.0));
}

TEST(ConvKernel, EpilogueModes) {
  // One-pixel planes: the raw convolution of a 1x1 identity weight is the input itself.
  const float raw[] = {-2.0f, 3.0f, std::numeric_limits<float>::quiet_NaN(), 0.5f};
  const float bias[] = {0.0f, 0.0f, 0.0f, 0.0f};
  const float table3[] = {1.0f, -4.0f, 0.0f, 0.5f,    // bias
                          2.0f, 2.0f, 2.0f, 2.0f,     // scale
                          0.25f, 0.25f, 0.25f, 0.25f};  // shift
  struct Case {
    int64_t mode;
    const float* table;
    float slope;
    float want[4];
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {kConvActNone, table3, 0.0f, {-1.0f, -1.0f, nan, 1.0f}},
      {kConvActRelu, nullptr, 0.0f, {0.0f, 3.0f, 0.0f, 0.5f}},
      {kConvActRelu, table3, 0.0f, {0.0f, 0.0f, 0.0f, 1.0f}},
      {kConvActReluAffine, table3, 0.0f, {0.25f, 0.25f, 0.25f, 2.25f}},
      {kConvActLeakyRelu, bias, 0.1f, {-0.2f, 3.0f, nan, 0.5f}},
      {kConvActLeakyRelu, nullptr, 0.1f, {-0.2f, 3.0f, nan, 0.5f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::vector<float> y(raw, raw + 4);
    ConvEpilogue e;
    e.activation = c.mode;
    e.table = c.table;
    e.slope = c.slope;
    cpu_conv_epilogue(y.data(), 4, 1, e);
    for (int i = 0; i < 4; ++i) {
      if (std::isnan(c.want[i])) {
        EXPECT_TRUE(std::isnan(y[i])) << i;
      } else {
        EXPECT_FLOAT_EQ(y[i], c.want[i]) << i;
      }
    }
  }
}

TEST(ConvKernel, OnePassEpilogueGivesTheStepByStepBits) {
  // The vector pass (bias, residual, ReLU or Clip at once) against the portable sequence of
  // separate routines, on values that exercise each rounding and NaN rule, at lengths that
  // leave every tail size.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float specials[] = {nan, -0.0f, 0.0f, inf, -inf, 6.0f, 5.9999995f, -1e-39f, 1e30f};
  constexpr int64_t kPlane = 21;
  constexpr int32_t kChannels = 3;
  std::vector<float> raw = lcg_values(kChannels * kPlane, 41);
  std::vector<float> residual = lcg_values(kChannels * kPlane, 42);
  for (size_t i = 0; i < std::size(specials); ++i) {
    raw[i * 5] = specials[i];
    residual[i * 7 + 1] = specials[std::size(specials) - 1 - i];
  }
  const float bias[kChannels] = {0.25f, -0.0f, 3.0f};
  struct Mode {
    int64_t activation;
    float lo, hi;
  };
  const Mode modes[] = {{kConvActNone, 0, 0}, {kConvActRelu, 0, 0}, {kConvActClip, 0.0f, 6.0f},
                        {kConvActClip, 1.0f, -1.0f}};
  for (const Mode& m : modes) {
    for (int variant = 0; variant < 4; ++variant) {
      const bool with_bias = (variant & 1) != 0, with_residual = (variant & 2) != 0;
      if (m.activation == kConvActNone && !with_bias && !with_residual) continue;
      SCOPED_TRACE(::testing::Message() << "activation " << m.activation << " bias " << with_bias
                                        << " residual " << with_residual);
      ConvEpilogue e;
      e.activation = m.activation;
      e.clip_lo = m.lo;
      e.clip_hi = m.hi;
      e.table = with_bias ? bias : nullptr;
      e.residual = with_residual ? residual.data() : nullptr;
      for (int64_t len : {int64_t{1}, int64_t{7}, int64_t{8}, int64_t{13}, kPlane}) {
        std::vector<float> fast(raw), plain(raw);
        for (int32_t c = 0; c < kChannels; ++c) {
          e.output_base = fast.data();
          cpu_conv_epilogue_run(fast.data() + c * kPlane, len, c, kChannels, e);
          cpu_conv_force_portable(true);
          e.output_base = plain.data();
          cpu_conv_epilogue_run(plain.data() + c * kPlane, len, c, kChannels, e);
          cpu_conv_force_portable(false);
        }
        ASSERT_EQ(std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(float)), 0)
            << "length " << len;
      }
    }
  }
}

TEST(ConvKernel, FusedActivationOverAFullConv) {
  const ConvGeometry g = make_geometry(1, 4, 10, 10, 6, 3, 1, 1, 1, 1);
  const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 41);
  const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.c_in * 9, 42);
  const auto bias = lcg_values(static_cast<size_t>(g.c_out), 43);
  ConvEpilogue e;
  e.activation = kConvActLeakyRelu;
  e.slope = 0.125f;
  e.table = bias.data();
  auto want = naive_conv(g, x, w, bias.data());
  for (double& v : want) v = v >= 0 ? v : v * 0.125;
  EXPECT_TRUE(all_close(run_conv(g, x, w, e), want, 4.0));
}

// ConvTranspose by scattering every input pixel through the kernel.
std::vector<double> naive_conv_transpose(const ConvGeometry& g, const std::vector<float>& x,
                                         const std::vector<float>& w, const float* bias,
                                         bool relu) {
  const int64_t group = std::max(1, g.group);
  const int64_t cin_g = g.c_in / group, cout_g = g.c_out / group;
  std::vector<double> y(static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow);
  for (int64_t n = 0; n < g.batch; ++n) {
    for (int64_t co = 0; co < g.c_out; ++co)
      for (int64_t i = 0; i < int64_t{g.oh} * g.ow; ++i)
        y[(n * g.c_out + co) * g.oh * g.ow + i] = bias ? bias[co] : 0.0;
    for (int64_t ci = 0; ci < g.c_in; ++ci) {
      const int64_t gi = ci / cin_g;
      for (int64_t col = 0; col < cout_g; ++col)
        for (int64_t ih = 0; ih < g.h; ++ih)
          for (int64_t iw = 0; iw < g.w; ++iw)
            for (int64_t kh = 0; kh < g.kh; ++kh)
              for (int64_t kw = 0; kw < g.kw; ++kw) {
                const int64_t oh = ih * g.sh - g.pt + kh * g.dh;
                const int64_t ow = iw * g.sw - g.pl + kw * g.dw;
                if (oh < 0 || oh >= g.oh || ow < 0 || ow >= g.ow) continue;
                const int64_t co = gi * cout_g + col;
                y[((n * g.c_out + co) * g.oh + oh) * g.ow + ow] +=
                    double{x[((n * g.c_in + ci) * g.h + ih) * g.w + iw]} *
                    w[((ci * cout_g + col) * g.kh + kh) * g.kw + kw];
              }
    }
  }
  if (relu)
    for (double& v : y) v = v >= 0 ? v : 0.0;
  return y;
}

ConvGeometry transpose_geometry(int32_t batch, int32_t c_in, int32_t h, int32_t w, int32_t c_out,
                                int32_t k, int32_t s, int32_t pad, int32_t out_pad, int32_t d,
                                int32_t group) {
  ConvGeometry g = make_geometry(batch, c_in, h, w, c_out, k, s, pad, d, group);
  // The output plane of a transposed conv follows from the input, not the other way round.
  g.oh = (h - 1) * s - 2 * pad + d * (k - 1) + 1 + out_pad;
  g.ow = (w - 1) * s - 2 * pad + d * (k - 1) + 1 + out_pad;
  return g;
}

TEST(ConvTransposeKernel, MatchesScatterReference) {
  struct Case {
    const char* name;
    ConvGeometry g;
    bool relu;
  };
  const Case cases[] = {
      {"k2 s2", transpose_geometry(1, 6, 5, 7, 4, 2, 2, 0, 0, 1, 1), false},
      {"k3 s2 overlapping taps", transpose_geometry(2, 5, 6, 5, 3, 3, 2, 0, 0, 1, 1), false},
      {"k3 s2 pad1 output pad1 relu", transpose_geometry(1, 4, 7, 6, 5, 3, 2, 1, 1, 1, 1), true},
      {"k4 s2 pad1 groups2", transpose_geometry(1, 8, 5, 5, 6, 4, 2, 1, 0, 1, 2), false},
      {"k3 s1 dilation2 groups3", transpose_geometry(2, 6, 4, 5, 9, 3, 1, 1, 0, 2, 3), true},
      {"16 output channels (parallel col2im)",
       transpose_geometry(1, 8, 24, 24, 16, 2, 2, 0, 0, 1, 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConvGeometry& g = c.g;
    const auto x = lcg_values(static_cast<size_t>(g.batch) * g.c_in * g.h * g.w, 51);
    const auto w = lcg_values(static_cast<size_t>(g.c_in) * (g.c_out / g.group) * g.kh * g.kw, 52);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 53);
    std::vector<float> ws(cpu_conv_transpose_workspace_floats(g));
    std::vector<float> y(static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow,
                         std::numeric_limits<float>::quiet_NaN());
    cpu_conv_transpose2d(g, x.data(), w.data(), bias.data(), c.relu, y.data(), ws.data(),
                         ws.size());
    const auto want = naive_conv_transpose(g, x, w, bias.data(), c.relu);
    EXPECT_TRUE(all_close(y, want, 4.0));
    // Without scratch the kernel still writes every output.
    std::vector<float> y2(y.size(), std::numeric_limits<float>::quiet_NaN());
    cpu_conv_transpose2d(g, x.data(), w.data(), bias.data(), c.relu, y2.data(), nullptr, 0);
    EXPECT_TRUE(all_close(y2, want, 4.0));
  }
}

TEST(ConvTransposeKernel, Stride2Kernel2TakesOneTapPerChannel) {
  // All-ones input and weights: every output is exactly the input channel count.
  const ConvGeometry g = transpose_geometry(1, 3, 4, 4, 2, 2, 2, 0, 0, 1, 1);
  std::vector<float> x(3 * 16, 1.0f), w(3 * 2 * 4, 1.0f);
  std::vector<float> ws(cpu_conv_transpose_workspace_floats(g));
  std::vector<float> y(2 * 8 * 8, -1.0f);
  cpu_conv_transpose2d(g, x.data(), w.data(), nullptr, false, y.data(), ws.data(), ws.size());
  for (float v : y) EXPECT_EQ(v, 3.0f);
}

}  // namespace
}  // namespace vexa::cpu
