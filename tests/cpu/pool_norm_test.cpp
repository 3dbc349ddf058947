#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cpu/ops/activation.h"
#include "cpu/ops/norm.h"
#include "cpu/ops/pool.h"
#include "cpu/quant_study.h"
#include "dense_tolerance.h"

namespace vexa::cpu {
namespace {

using testing::all_close;
using testing::lcg_values;

PoolGeometry pool_geometry(int64_t planes, int32_t h, int32_t w, int32_t k, int32_t s, int32_t pad,
                           int32_t pad_end) {
  PoolGeometry g;
  g.planes = planes;
  g.h = h;
  g.w = w;
  g.kh = g.kw = k;
  g.sh = g.sw = s;
  g.pt = g.pl = pad;
  g.oh = (h + pad + pad_end - k) / s + 1;
  g.ow = (w + pad + pad_end - k) / s + 1;
  return g;
}

std::vector<double> naive_pool(const PoolGeometry& g, const std::vector<float>& x, bool max) {
  std::vector<double> y(static_cast<size_t>(g.planes) * g.oh * g.ow);
  for (int64_t p = 0; p < g.planes; ++p)
    for (int64_t oh = 0; oh < g.oh; ++oh)
      for (int64_t ow = 0; ow < g.ow; ++ow) {
        double acc = max ? kMaxPoolEmpty : 0.0;
        for (int64_t kh = 0; kh < g.kh; ++kh)
          for (int64_t kw = 0; kw < g.kw; ++kw) {
            const int64_t r = oh * g.sh - g.pt + kh, c = ow * g.sw - g.pl + kw;
            if (r < 0 || r >= g.h || c < 0 || c >= g.w) continue;
            const double v = x[(p * g.h + r) * g.w + c];
            acc = max ? std::max(acc, v) : acc + v;
          }
        int64_t taps = 0;
        for (int64_t kh = 0; kh < g.kh; ++kh)
          for (int64_t kw = 0; kw < g.kw; ++kw) {
            const int64_t r = oh * g.sh - g.pt + kh, c = ow * g.sw - g.pl + kw;
            taps += r >= 0 && r < g.h && c >= 0 && c < g.w ? 1 : 0;
          }
        const double count = g.exclude_pad ? static_cast<double>(taps) : g.kh * g.kw;
        y[(p * g.oh + oh) * g.ow + ow] = max ? acc : acc / count;
      }
  return y;
}

TEST(PoolKernel, MaxAndAverageMatchReference) {
  const PoolGeometry shapes[] = {
      pool_geometry(3, 9, 11, 3, 2, 1, 1),   pool_geometry(2, 8, 8, 2, 2, 0, 0),
      pool_geometry(16, 17, 15, 3, 1, 1, 1),  // above the parallel threshold
      pool_geometry(1, 5, 6, 5, 3, 2, 2),
  };
  for (const PoolGeometry& g : shapes) {
    const auto x = lcg_values(static_cast<size_t>(g.planes) * g.h * g.w, 9);
    std::vector<float> y(static_cast<size_t>(g.planes) * g.oh * g.ow, std::nanf(""));
    cpu_maxpool(g, x.data(), y.data());
    EXPECT_TRUE(all_close(y, naive_pool(g, x, true)));
    std::fill(y.begin(), y.end(), std::nanf(""));
    cpu_avgpool(g, x.data(), y.data());
    EXPECT_TRUE(all_close(y, naive_pool(g, x, false)));
    PoolGeometry inside = g;
    inside.exclude_pad = true;
    std::fill(y.begin(), y.end(), std::nanf(""));
    cpu_avgpool(inside, x.data(), y.data());
    EXPECT_TRUE(all_close(y, naive_pool(inside, x, false)));
  }
}

TEST(PoolKernel, PaddingEdgeCases) {
  // A window wholly in padding gives the lowest finite float, not -infinity.
  PoolGeometry g = pool_geometry(1, 2, 2, 2, 1, 3, 0);
  std::vector<float> x = {1, 2, 3, 4};
  std::vector<float> y(static_cast<size_t>(g.oh) * g.ow);
  cpu_maxpool(g, x.data(), y.data());
  EXPECT_EQ(y[0], -3.4028235e38f);
  // NaN never wins.
  g = pool_geometry(1, 2, 2, 2, 1, 0, 0);
  x = {std::nanf(""), -5.0f, -7.0f, std::nanf("")};
  y.assign(1, 0.0f);
  cpu_maxpool(g, x.data(), y.data());
  EXPECT_EQ(y[0], -5.0f);
  // Corner 3x3 window with pad 1 over ones: padding counts as zeros, 4/9.
  g = pool_geometry(1, 4, 4, 3, 1, 1, 1);
  x.assign(16, 1.0f);
  y.assign(16, 0.0f);
  cpu_avgpool(g, x.data(), y.data());
  EXPECT_EQ(y[0], 4.0f / 9.0f);
  EXPECT_EQ(y[5], 1.0f);
  // Leaving the padding out of the count, every window over ones averages to one.
  g.exclude_pad = true;
  cpu_avgpool(g, x.data(), y.data());
  EXPECT_EQ(y, std::vector<float>(16, 1.0f));
}

TEST(PoolKernel, GlobalAverageAccumulatesInDouble) {
  // 2^24 + 1 ones: a float running sum would stop at 2^24.
  const int64_t n = (int64_t{1} << 24) + 1;
  std::vector<float> x(static_cast<size_t>(n), 1.0f);
  float y = 0.0f;
  cpu_global_avgpool(1, n, x.data(), &y);
  EXPECT_EQ(y, 1.0f);
  const auto v = lcg_values(3 * 50, 2);
  std::vector<float> out(3);
  cpu_global_avgpool(3, 50, v.data(), out.data());
  for (int p = 0; p < 3; ++p) {
    double s = 0;
    for (int i = 0; i < 50; ++i) s += v[p * 50 + i];
    EXPECT_NEAR(out[p], s / 50, 1e-7);
  }
  // Element order matters once large terms cancel: in order, the first 1 is absorbed by 1e30
  // and only the second survives (1 / 8); summing every fourth element apart would keep both.
  // Sixteen planes take the parallel path too.
  const std::vector<float> cancel = {1e30f, 1.0f, 0.0f, 0.0f, -1e30f, 1.0f, 0.0f, 0.0f};
  for (int64_t planes : {int64_t{1}, int64_t{16 * 1024}}) {
    std::vector<float> in;
    for (int64_t p = 0; p < planes; ++p) in.insert(in.end(), cancel.begin(), cancel.end());
    std::vector<float> mean(static_cast<size_t>(planes));
    cpu_global_avgpool(planes, 8, in.data(), mean.data());
    for (int64_t p = 0; p < planes; ++p) ASSERT_EQ(mean[p], 0.125f) << planes << " planes";
  }
}

TEST(NormKernel, LayerNormalization) {
  for (uint64_t rows : {uint64_t{3}, uint64_t{1200}}) {  // serial and eight-part paths
    const uint64_t d = rows == 3 ? 37 : 256;
    const auto x = lcg_values(rows * d, 1);
    const auto scale = lcg_values(d, 2);
    const auto bias = lcg_values(d, 3);
    for (bool with_bias : {false, true}) {
      SCOPED_TRACE(::testing::Message() << rows << " rows, bias " << with_bias);
      std::vector<float> y(rows * d, std::nanf(""));
      cpu_layernorm(x.data(), scale.data(), with_bias ? bias.data() : nullptr, y.data(), rows, d,
                    1e-5f);
      std::vector<double> want(y.size());
      for (uint64_t r = 0; r < rows; ++r) {
        double mean = 0, var = 0;
        for (uint64_t j = 0; j < d; ++j) mean += x[r * d + j];
        mean /= d;
        for (uint64_t j = 0; j < d; ++j) var += (x[r * d + j] - mean) * (x[r * d + j] - mean);
        var /= d;
        for (uint64_t j = 0; j < d; ++j)
          want[r * d + j] = (x[r * d + j] - mean) / std::sqrt(var + 1e-5) * scale[j] +
                            (with_bias ? bias[j] : 0.0);
      }
      EXPECT_TRUE(all_close(y, want, 1.0, 1e-4));
    }
  }
  // A constant row normalises to the bias.
  std::vector<float> x(8, 3.0f), scale(8, 2.0f), bias(8, 0.5f), y(8);
  cpu_layernorm(x.data(), scale.data(), bias.data(), y.data(), 1, 8, 1e-5f);
  for (float v : y) EXPECT_EQ(v, 0.5f);
}

TEST(NormKernel, BatchAndInstanceNormalization) {
  const uint64_t n = 2, c = 3, hw = 20;
  const auto x = lcg_values(n * c * hw, 4);
  const auto scale = lcg_values(c, 5), shift = lcg_values(c, 6);
  std::vector<float> y(x.size());
  cpu_batchnorm(x.data(), scale.data(), shift.data(), y.data(), n * c, c, hw);
  for (uint64_t p = 0; p < n * c; ++p)
    for (uint64_t i = 0; i < hw; ++i)
      EXPECT_FLOAT_EQ(y[p * hw + i], x[p * hw + i] * scale[p % c] + shift[p % c]);

  cpu_instancenorm(x.data(), scale.data(), shift.data(), y.data(), n * c, c, hw, 1e-3f);
  std::vector<double> want(y.size());
  for (uint64_t p = 0; p < n * c; ++p) {
    double mean = 0, var = 0;
    for (uint64_t i = 0; i < hw; ++i) mean += x[p * hw + i];
    mean /= hw;
    for (uint64_t i = 0; i < hw; ++i) var += (x[p * hw + i] - mean) * (x[p * hw + i] - mean);
    var /= hw;
    for (uint64_t i = 0; i < hw; ++i)
      want[p * hw + i] = (x[p * hw + i] - mean) / std::sqrt(var + 1e-3) * scale[p % c] + shift[p % c];
  }
  EXPECT_TRUE(all_close(y, want, 1.0, 1e-4));
}

TEST(ErfGeluKernel, LibraryPathIsExact) {
  cpu_vmath_override(0);
  const auto x = lcg_values(1000, 7);
  std::vector<float> y(x.size()), g(x.size());
  cpu_erf(x.data(), y.data(), x.size());
  cpu_gelu(x.data(), g.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(y[i], erff(x[i]));
    EXPECT_EQ(g[i], 0.5f * x[i] * (1.0f + erff(x[i] * 0.70710677f)));
  }
  float half = 0.5f, out = 0.0f;
  cpu_erf(&half, &out, 1);
  EXPECT_EQ(out, erff(0.5f));
  cpu_vmath_override(-1);
}

TEST(ErfGeluKernel, VectorPathIsCloseToErfAndSaturatesAtFour) {
  cpu_vmath_override(1);
  // Sizes around the 4-lane tail and above the eight-part threshold.
  for (size_t n : {size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{20000}}) {
    SCOPED_TRACE(n);
    auto x = lcg_values(n, 8);
    for (float& v : x) v *= 5.0f;
    std::vector<float> y(n, std::nanf("")), g(n, std::nanf(""));
    cpu_erf(x.data(), y.data(), n);
    cpu_gelu(x.data(), g.data(), n);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_NEAR(y[i], std::erf(double{x[i]}), 2e-6) << x[i];
      const double gx = 0.5 * x[i] * (1.0 + std::erf(x[i] / std::sqrt(2.0)));
      EXPECT_NEAR(g[i], gx, 1e-5 * (1 + std::fabs(gx))) << x[i];
    }
  }
  // Inputs beyond 4 take the approximation's value at 4.
  float ten = 10.0f, out = 0.0f;
  cpu_erf(&ten, &out, 1);
  EXPECT_EQ(out, cpu_erf_rational(4.0f));
  float minus = -10.0f;
  cpu_erf(&minus, &out, 1);
  EXPECT_EQ(out, cpu_erf_rational(-4.0f));
  cpu_vmath_override(-1);
}

}  // namespace
}  // namespace vexa::cpu
