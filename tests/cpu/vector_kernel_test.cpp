// Vector kernels against their plain references at the edges of their lane widths: the
// rational erf and GELU lanes (bit for bit), softmax lines (within rounding of the exp) and
// the special values each must carry through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <cmath>
#include <limits>
#include <vector>

#include "cpu/ops/activation.h"
#include "cpu/ops/conv.h"
#include "cpu/ops/gemm.h"
#include "cpu/ops/pool.h"
#include "cpu/ops/softmax_simd.h"
#include "cpu/quant_study.h"
#include "dense_tolerance.h"
#include "op_harness.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::lcg_values;

// Lane-width edges of an 8-wide kernel plus an odd size large enough to be split in parts.
constexpr size_t kEdgeSizes[] = {1, 7, 8, 9, 15, 16, 17, 63, 197, 20001};

std::vector<float> with_specials(std::vector<float> v) {
  const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), std::nanf(""), 1e30f,
                            -1e30f, 4.0f, -4.0f, FLT_MIN};
  for (size_t i = 0; i < std::size(specials) && i * 5 < v.size(); ++i) v[i * 5] = specials[i];
  return v;
}

bool same_bits(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(VectorKernels, RationalErfAndGeluMatchThePortableLanesBitForBit) {
  cpu_vmath_override(1);
  for (size_t n : kEdgeSizes) {
    SCOPED_TRACE(n);
    auto x = with_specials(lcg_values(n, 31));
    for (float& v : x) v *= 6.0f;
    for (bool gelu : {false, true}) {
      std::vector<float> fast(n, -1.0f), plain(n, -2.0f);
      gelu ? cpu_gelu(x.data(), fast.data(), n) : cpu_erf(x.data(), fast.data(), n);
      cpu_activation_force_portable(true);
      gelu ? cpu_gelu(x.data(), plain.data(), n) : cpu_erf(x.data(), plain.data(), n);
      cpu_activation_force_portable(false);
      for (size_t i = 0; i < n; ++i)
        ASSERT_TRUE(same_bits(fast[i], plain[i])) << "gelu " << gelu << " x " << x[i] << ": "
                                                  << fast[i] << " vs " << plain[i];
    }
  }
  // A sub-range writes only its own elements (the masked tail stores nothing beyond).
  std::vector<float> x(12, 0.5f), y(12, 7.0f);
  cpu_erf_gelu_range(x.data(), y.data(), 2, 5, false, true);
  EXPECT_EQ(y[1], 7.0f);
  EXPECT_EQ(y[5], 7.0f);
  EXPECT_EQ(y[2], cpu_erf_rational(0.5f));
  cpu_vmath_override(-1);
}

std::vector<double> softmax_rows(const std::vector<float>& x, size_t rows, size_t d) {
  std::vector<double> y(x.size());
  for (size_t r = 0; r < rows; ++r) {
    const float* row = x.data() + r * d;
    double m = -DBL_MAX, s = 0;
    for (size_t j = 0; j < d; ++j) m = std::max<double>(m, row[j]);
    for (size_t j = 0; j < d; ++j) s += std::exp(row[j] - m);
    for (size_t j = 0; j < d; ++j) y[r * d + j] = std::exp(row[j] - m) / s;
  }
  return y;
}

TEST(VectorKernels, SoftmaxLinesMatchTheDefinitionAndThePortablePath) {
  using optest::OpGraph;
  constexpr uint32_t kAxisWord = 26;
  for (size_t d : kEdgeSizes) {
    if (d > 4096) continue;
    SCOPED_TRACE(d);
    const size_t rows = 600;  // enough to take the pool
    auto x = lcg_values(rows * d, 41);
    for (float& v : x) v *= 12.0f;
    const auto want = softmax_rows(x, rows, d);
    std::vector<float> got[2];
    for (int portable = 0; portable < 2; ++portable) {
      cpu_softmax_force_portable(portable == 1);
      OpGraph g;
      const uint64_t in = g.in({rows, d}, x);
      const uint64_t out = g.out({rows, d});
      g.node(OpKind::kSoftmax, {in}, {out}, {{kAxisWord, static_cast<uint64_t>(-1)}});
      ASSERT_TRUE(g.run());
      got[portable] = g.data(out);
    }
    cpu_softmax_force_portable(false);
    EXPECT_TRUE(testing::all_close(got[0], want, 0.0, 1e-5));
    EXPECT_TRUE(testing::all_close(got[1], want, 0.0, 1e-5));
  }
}

TEST(VectorKernels, SoftmaxLineSpecialValues) {
  if (!softmax_simd_available()) GTEST_SKIP() << "no AVX2";
  // In place; a NaN entry makes every entry NaN as in the scalar line; -inf entries get 0;
  // an all -inf line divides 0 by 0.
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> a = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  softmax_line_avx2(a.data(), a.data(), a.size());
  double s = 0;
  for (float v : a) s += v;
  EXPECT_NEAR(s, 1.0, 1e-6);
  EXPECT_GT(a[8], a[7]);
  std::vector<float> b = {0, -inf, 0, -inf, 0, -inf, 0, -inf, 0, -inf};
  softmax_line_avx2(b.data(), b.data(), b.size());
  for (size_t i = 0; i < b.size(); ++i) EXPECT_EQ(b[i], i % 2 == 0 ? 0.2f : 0.0f) << i;
  std::vector<float> c(11, 0.0f);
  c[9] = std::nanf("");
  softmax_line_avx2(c.data(), c.data(), c.size());
  for (float v : c) EXPECT_TRUE(std::isnan(v));
  std::vector<float> e(3, -inf);
  softmax_line_avx2(e.data(), e.data(), e.size());
  for (float v : e) EXPECT_TRUE(std::isnan(v));
  // Equal huge logits do not overflow.
  std::vector<float> h(9, 3e38f);
  softmax_line_avx2(h.data(), h.data(), h.size());
  for (float v : h) EXPECT_NEAR(v, 1.0 / 9, 1e-7);
}

// One depthwise plane per channel, taps summed in (kh, kw) order in double.
std::vector<double> naive_depthwise(const ConvGeometry& g, const std::vector<float>& x,
                                    const std::vector<float>& w, const std::vector<float>& bias) {
  std::vector<double> y(static_cast<size_t>(g.c_out) * g.oh * g.ow);
  for (int c = 0; c < g.c_out; ++c) {
    for (int oh = 0; oh < g.oh; ++oh) {
      for (int ow = 0; ow < g.ow; ++ow) {
        double acc = bias[c];
        for (int kh = 0; kh < g.kh; ++kh) {
          for (int kw = 0; kw < g.kw; ++kw) {
            const int ih = oh * g.sh - g.pt + kh * g.dh, iw = ow * g.sw - g.pl + kw * g.dw;
            if (ih < 0 || ih >= g.h || iw < 0 || iw >= g.w) continue;
            acc += double{x[(static_cast<size_t>(c) * g.h + ih) * g.w + iw]} *
                   w[(static_cast<size_t>(c) * g.kh + kh) * g.kw + kw];
          }
        }
        y[(static_cast<size_t>(c) * g.oh + oh) * g.ow + ow] = acc > 0 ? acc : 0;
      }
    }
  }
  return y;
}

ConvGeometry depthwise_geometry(int c, int h, int w, int k, int s, int pad, int dil) {
  ConvGeometry g;
  g.c_in = g.c_out = g.group = c;
  g.h = h, g.w = w, g.kh = g.kw = k, g.sh = g.sw = s, g.pt = g.pl = pad, g.dh = g.dw = dil;
  // Bottom and right padding equal to the top and left.
  g.oh = (h + 2 * pad - dil * (k - 1) - 1) / s + 1;
  g.ow = (w + 2 * pad - dil * (k - 1) - 1) / s + 1;
  return g;
}

std::vector<float> run_depthwise(const ConvGeometry& g, const std::vector<float>& x,
                                 const std::vector<float>& w, const std::vector<float>& bias) {
  std::vector<float> y(static_cast<size_t>(g.c_out) * g.oh * g.ow, std::nanf(""));
  ConvEpilogue e;
  e.activation = kConvActRelu;
  e.table = bias.data();
  cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, nullptr, 0);
  return y;
}

TEST(VectorKernels, PaddedDepthwiseMatchesThePortableLoopBitForBit) {
  const ConvGeometry shapes[] = {
      // Output widths 1, 7, 8, 9, 15, 16, 17 around the eight-lane blocks.
      depthwise_geometry(3, 1, 1, 3, 1, 1, 1),   depthwise_geometry(9, 7, 7, 3, 1, 1, 1),
      depthwise_geometry(5, 8, 8, 3, 1, 1, 1),   depthwise_geometry(5, 9, 9, 3, 1, 1, 1),
      depthwise_geometry(4, 6, 15, 3, 1, 1, 1),  depthwise_geometry(4, 5, 16, 3, 1, 1, 1),
      depthwise_geometry(4, 5, 17, 3, 1, 1, 1),
      // Stride 2 on odd and even widths; a window wider than the padding; no padding.
      depthwise_geometry(6, 14, 14, 3, 2, 1, 1), depthwise_geometry(6, 15, 33, 3, 2, 1, 1),
      depthwise_geometry(3, 20, 31, 5, 2, 2, 1), depthwise_geometry(3, 9, 9, 3, 2, 0, 1),
      depthwise_geometry(2, 12, 13, 7, 1, 3, 1), depthwise_geometry(2, 12, 13, 1, 1, 0, 1),
      // Dilation, padding beyond the window, and a plane taller than one band.
      depthwise_geometry(3, 19, 23, 3, 1, 2, 2), depthwise_geometry(3, 19, 22, 3, 2, 2, 2),
      depthwise_geometry(2, 6, 5, 3, 1, 4, 1),   depthwise_geometry(2, 150, 140, 3, 1, 1, 1),
      depthwise_geometry(2, 150, 141, 3, 2, 1, 1),
      // Wider than the padded kernel takes: the row loop serves it.
      depthwise_geometry(2, 20, 40, 17, 1, 8, 1),
  };
  for (const ConvGeometry& g : shapes) {
    SCOPED_TRACE(::testing::Message() << g.h << "x" << g.w << " k" << g.kh << " s" << g.sh << " p"
                                    << g.pt << " d" << g.dh);
    const auto x = lcg_values(static_cast<size_t>(g.c_in) * g.h * g.w, 51);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.kh * g.kw, 52);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 53);
    const auto fast = run_depthwise(g, x, w, bias);
    cpu_conv_force_portable(true);
    const auto plain = run_depthwise(g, x, w, bias);
    cpu_conv_force_portable(false);
    ASSERT_EQ(fast.size(), plain.size());
    for (size_t i = 0; i < fast.size(); ++i) ASSERT_TRUE(same_bits(fast[i], plain[i])) << i;
    EXPECT_TRUE(testing::all_close(fast, naive_depthwise(g, x, w, bias), 4.0));
    std::vector<float> one_thread;
    {
      ThreadCapScope one(1);
      one_thread = run_depthwise(g, x, w, bias);
    }
    EXPECT_EQ(one_thread, fast);
    // The single-plane entry takes the same kernel.
    std::vector<float> plane(static_cast<size_t>(g.oh) * g.ow);
    cpu_depthwise_plane(g, x.data(), w.data(), plane.data());
    std::vector<float> plain_plane(plane.size());
    cpu_depthwise_plane_reference(g, x.data(), w.data(), plain_plane.data());
    EXPECT_EQ(plane, plain_plane);
  }
}

PoolGeometry pool_geometry(int planes, int h, int w, int k, int s, int pad, bool ceil_mode) {
  PoolGeometry g;
  g.planes = planes, g.h = h, g.w = w, g.kh = g.kw = k, g.sh = g.sw = s, g.pt = g.pl = pad;
  const int span_h = h + 2 * pad - k, span_w = w + 2 * pad - k;
  g.oh = (ceil_mode ? (span_h + s - 1) : span_h) / s + 1;
  g.ow = (ceil_mode ? (span_w + s - 1) : span_w) / s + 1;
  return g;
}

TEST(VectorKernels, PaddedMaxPoolMatchesThePortableLoopBitForBit) {
  // Fewer than eight planes take the plane kernel; groups of eight the channel-lane kernel,
  // with the planes after the last group on the plane kernel.
  const PoolGeometry shapes[] = {
      pool_geometry(3, 112, 112, 3, 2, 1, false), pool_geometry(4, 20, 20, 5, 1, 2, false),
      pool_geometry(2, 1, 1, 3, 1, 1, false),     pool_geometry(2, 7, 9, 2, 2, 0, true),
      pool_geometry(2, 8, 17, 3, 2, 1, true),     pool_geometry(2, 15, 16, 3, 1, 1, false),
      pool_geometry(2, 9, 8, 4, 2, 3, true),      pool_geometry(1, 30, 200, 7, 1, 3, false),
      pool_geometry(1, 5, 6, 3, 3, 1, false),  // stride 3: the portable loop serves it
      pool_geometry(64, 56, 56, 3, 2, 1, false),  pool_geometry(13, 14, 14, 3, 2, 1, true),
      pool_geometry(16, 7, 7, 5, 1, 2, false),    pool_geometry(8, 3, 2, 3, 1, 1, false),
      pool_geometry(9, 20, 33, 3, 2, 1, true),    pool_geometry(8, 2, 1, 3, 2, 0, true),
      pool_geometry(24, 11, 40, 5, 2, 0, false),
  };
  const float inf = std::numeric_limits<float>::infinity();
  for (const PoolGeometry& g : shapes) {
    SCOPED_TRACE(::testing::Message() << g.h << "x" << g.w << " k" << g.kh << " s" << g.sh
                                      << " p" << g.pt << " out " << g.oh << "x" << g.ow);
    auto x = lcg_values(static_cast<size_t>(g.planes) * g.h * g.w, 61);
    // Runs of NaN, -inf and signed zeros: NaN never wins, -inf loses to the empty value, and
    // of equal zeros the first in scan order stays.
    for (size_t i = 0; i < x.size(); ++i) {
      if (i % 11 == 3) x[i] = std::nanf("");
      if (i % 13 == 5) x[i] = -inf;
      if (i % 7 == 1) x[i] = (i / 7) % 2 == 0 ? 0.0f : -0.0f;
      if (i % 17 == 2) x[i] = -1.5f;
    }
    const size_t out = static_cast<size_t>(g.planes) * g.oh * g.ow;
    std::vector<float> fast(out, 7.0f), plain(out, 8.0f);
    cpu_maxpool(g, x.data(), fast.data());
    cpu_pool_force_portable(true);
    cpu_maxpool(g, x.data(), plain.data());
    cpu_pool_force_portable(false);
    for (size_t i = 0; i < out; ++i) ASSERT_TRUE(same_bits(fast[i], plain[i])) << i;
  }
  // A plane of nothing but -inf gives the empty value, as the portable loop does, with one
  // plane or a group of eight.
  for (int planes : {1, 8}) {
    const PoolGeometry g = pool_geometry(planes, 9, 9, 3, 1, 1, false);
    std::vector<float> x(81 * planes, -inf), y(81 * planes);
    cpu_maxpool(g, x.data(), y.data());
    for (float v : y) EXPECT_EQ(v, kMaxPoolEmpty);
  }
}

TEST(VectorKernels, MaxPoolGivesTheSameBitsAtAnyThreadCount) {
  // Thread counts decide which kernel takes the groups of eight planes; not the result.
  const PoolGeometry g = pool_geometry(21, 40, 40, 3, 2, 1, false);
  const auto x = lcg_values(static_cast<size_t>(g.planes) * g.h * g.w, 62);
  const size_t out = static_cast<size_t>(g.planes) * g.oh * g.ow;
  std::vector<float> one(out);
  {
    ThreadCapScope cap(1);
    cpu_maxpool(g, x.data(), one.data());
  }
  for (unsigned threads : {2u, 3u, 8u}) {
    ThreadCapScope cap(threads);
    std::vector<float> y(out, 9.0f);
    cpu_maxpool(g, x.data(), y.data());
    for (size_t i = 0; i < out; ++i) ASSERT_TRUE(same_bits(y[i], one[i])) << threads << " " << i;
  }
}

TEST(VectorKernels, NarrowProductsCutAtSixteenColumnsMatchTheReference) {
  // 33 to 63 columns go to the library as a multiple of 16 plus the rest; B plain and
  // transposed, a C with its own stride and beta, and results equal at every thread count.
  constexpr int32_t m = 80, k = 70;
  for (int32_t n : {33, 47, 48, 49, 63, 64}) {
    for (bool tb : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " trans_b " << tb);
      const int32_t ldb = tb ? k + 3 : n + 5, ldc = n + 7;
      const auto a = lcg_values(static_cast<size_t>(m) * k, 71);
      const auto b = lcg_values(static_cast<size_t>(tb ? n : k) * ldb, 72);
      const auto c0 = lcg_values(static_cast<size_t>(m) * ldc, 73);
      std::vector<float> got = c0, want = c0;
      const int32_t trans_b = tb ? kCblasTrans : kCblasNoTrans;
      cpu_gemm(kCblasRowMajor, kCblasNoTrans, trans_b, m, n, k, 1.5f, a.data(), k, b.data(), ldb,
               0.5f, got.data(), ldc);
      cpu_gemm_reference(kCblasNoTrans, trans_b, m, n, k, 1.5f, a.data(), k, b.data(), ldb, 0.5f,
                         want.data(), ldc);
      std::vector<double> want_d(want.begin(), want.end());
      EXPECT_TRUE(testing::all_close(got, want_d, 8.0));
      // The padding between rows of C is left alone.
      for (int32_t r = 0; r < m; ++r)
        for (int32_t j = n; j < ldc; ++j) ASSERT_EQ(got[r * ldc + j], c0[r * ldc + j]);
      std::vector<float> one = c0;
      {
        ThreadCapScope single(1);
        cpu_gemm(kCblasRowMajor, kCblasNoTrans, trans_b, m, n, k, 1.5f, a.data(), k, b.data(),
                 ldb, 0.5f, one.data(), ldc);
      }
      EXPECT_EQ(one, got);
    }
  }
}

// Full convolution summed in double, bias and ReLU applied.
std::vector<double> naive_conv_relu(const ConvGeometry& g, const std::vector<float>& x,
                                    const std::vector<float>& w, const std::vector<float>& bias) {
  std::vector<double> y(static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow);
  for (int n = 0; n < g.batch; ++n)
    for (int m = 0; m < g.c_out; ++m)
      for (int oh = 0; oh < g.oh; ++oh)
        for (int ow = 0; ow < g.ow; ++ow) {
          double acc = bias[m];
          for (int c = 0; c < g.c_in; ++c)
            for (int kh = 0; kh < g.kh; ++kh)
              for (int kw = 0; kw < g.kw; ++kw) {
                const int ih = oh * g.sh - g.pt + kh, iw = ow * g.sw - g.pl + kw;
                if (ih < 0 || ih >= g.h || iw < 0 || iw >= g.w) continue;
                acc += double{x[((static_cast<size_t>(n) * g.c_in + c) * g.h + ih) * g.w + iw]} *
                       w[((static_cast<size_t>(m) * g.c_in + c) * g.kh + kh) * g.kw + kw];
              }
          y[((static_cast<size_t>(n) * g.c_out + m) * g.oh + oh) * g.ow + ow] = acc > 0 ? acc : 0;
        }
  return y;
}

TEST(VectorKernels, ShiftedViewConvolutionMatchesTheNaiveSum) {
  struct Shape {
    int batch, c_in, h, w, c_out, kh, kw, pt, pl, extra_h, extra_w, stride;  // extra: bottom/right pad
  };
  const Shape shapes[] = {
      {1, 16, 40, 40, 8, 3, 3, 1, 1, 1, 1, 1},   {2, 16, 33, 35, 1, 3, 3, 1, 1, 1, 1, 1},
      {1, 24, 32, 45, 24, 5, 5, 2, 2, 2, 2, 1},  {1, 16, 36, 30, 5, 3, 3, 0, 0, 0, 0, 1},
      {1, 16, 32, 40, 7, 1, 3, 0, 1, 0, 1, 1},   {1, 16, 40, 32, 7, 3, 1, 1, 0, 1, 0, 1},
      {1, 17, 34, 34, 9, 3, 3, 1, 1, 0, 2, 1},   {1, 16, 160, 30, 3, 3, 3, 2, 0, 0, 0, 1},
      // Stride 2: odd and even sizes, with and without padding, a 5 x 5 and a 2 x 2 window.
      {1, 16, 80, 80, 8, 3, 3, 1, 1, 1, 1, 2},   {2, 16, 81, 79, 5, 3, 3, 1, 1, 0, 0, 2},
      {1, 16, 90, 70, 4, 3, 3, 0, 0, 0, 0, 2},   {1, 20, 77, 83, 6, 5, 5, 2, 2, 2, 2, 2},
      {1, 16, 96, 64, 3, 2, 2, 0, 1, 0, 0, 2},
  };
  for (const Shape& sh : shapes) {
    ConvGeometry g;
    g.batch = sh.batch, g.c_in = sh.c_in, g.h = sh.h, g.w = sh.w, g.c_out = sh.c_out;
    g.kh = sh.kh, g.kw = sh.kw, g.pt = sh.pt, g.pl = sh.pl, g.sh = g.sw = sh.stride;
    g.oh = (sh.h + sh.pt + sh.extra_h - sh.kh) / sh.stride + 1;
    g.ow = (sh.w + sh.pl + sh.extra_w - sh.kw) / sh.stride + 1;
    SCOPED_TRACE(::testing::Message() << sh.c_in << "x" << sh.h << "x" << sh.w << " -> " << sh.c_out
                                      << "x" << g.oh << "x" << g.ow << " k" << sh.kh << "x"
                                      << sh.kw);
    const auto x = lcg_values(static_cast<size_t>(g.batch) * g.c_in * g.h * g.w, 81);
    const auto w = lcg_values(static_cast<size_t>(g.c_out) * g.c_in * g.kh * g.kw, 82);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 83);
    ConvEpilogue e;
    e.activation = kConvActRelu;
    e.table = bias.data();
    const size_t out = static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow;
    auto run = [&](uint64_t workspace_floats) {
      std::vector<float> ws(workspace_floats + 1), y(out, std::nanf(""));
      cpu_conv2d(g, x.data(), w.data(), y.data(), e, true, ws.data(), workspace_floats);
      return y;
    };
    const uint64_t need = cpu_conv_workspace_floats(g);
    const auto fast = run(need);
    EXPECT_TRUE(testing::all_close(fast, naive_conv_relu(g, x, w, bias), 16.0));
    std::vector<float> one;
    {
      ThreadCapScope single(1);
      one = run(need);
    }
    EXPECT_EQ(one, fast);
    // Too small a workspace for the padded planes: narrower column bands, same values.
    const auto banded = run(static_cast<uint64_t>(g.c_in) * g.kh * g.kw * g.ow);
    ASSERT_LT(static_cast<uint64_t>(g.c_in) * g.kh * g.kw * g.ow, need);
    std::vector<double> banded_d(banded.begin(), banded.end());
    EXPECT_TRUE(testing::all_close(fast, banded_d, 16.0));
  }
}

}  // namespace
}  // namespace vexa::cpu
