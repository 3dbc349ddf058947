// Layer normalisation, both rules (the LayerNormalization kernel's and the step-by-step one of
// fused graphs): the vector path (eight rows at a time) against a plain loop that rounds each
// step the same way, bit for bit, at every thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <vector>

#include "cpu/ops/norm.h"
#include "dense_tolerance.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::lcg_values;

// One row at a time, each step rounded to f32 as the unfused graph rounds it.
std::vector<float> naive_stepwise(const std::vector<float>& x, const std::vector<float>& scale,
                                  const float* bias, uint64_t rows, uint64_t d, float epsilon) {
  std::vector<float> y(x.size());
  const float count = static_cast<float>(d);
  for (uint64_t r = 0; r < rows; ++r) {
    const float* xr = x.data() + r * d;
    float sum = 0.0f;
    for (uint64_t j = 0; j < d; ++j) sum = sum + xr[j];
    const float mean = sum / count;
    std::vector<float> c(d);
    float ss = 0.0f;
    for (uint64_t j = 0; j < d; ++j) {
      c[j] = xr[j] - mean;
      const float sq = c[j] * c[j];
      ss = ss + sq;
    }
    const float var = ss / count;
    const float den = std::sqrt(var + epsilon);
    for (uint64_t j = 0; j < d; ++j) {
      float v = c[j] / den;
      v = v * scale[j];
      if (bias != nullptr) v = v + bias[j];
      y[r * d + j] = v;
    }
  }
  return y;
}

// The LayerNormalization kernel's rule, one row at a time.
std::vector<float> naive_layernorm(const std::vector<float>& x, const std::vector<float>& scale,
                                   const float* bias, uint64_t rows, uint64_t d, float epsilon) {
  std::vector<float> y(x.size());
  const float inv_d = 1.0f / static_cast<float>(d);
  for (uint64_t r = 0; r < rows; ++r) {
    const float* xr = x.data() + r * d;
    float sum = 0.0f;
    for (uint64_t j = 0; j < d; ++j) sum = sum + xr[j];
    const float mean = sum * inv_d;
    float ss = 0.0f;
    for (uint64_t j = 0; j < d; ++j) {
      const float c = xr[j] - mean;
      const float sq = c * c;
      ss = ss + sq;
    }
    const float inv = 1.0f / std::sqrt(std::fma(ss, inv_d, epsilon));
    for (uint64_t j = 0; j < d; ++j) {
      const float n = (xr[j] - mean) * inv;
      y[r * d + j] = bias != nullptr ? std::fma(n, scale[j], bias[j]) : n * scale[j];
    }
  }
  return y;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(LayerNormRows, VectorAndPortablePathsGiveThePlainLoopBits) {
  struct Case {
    uint64_t rows, d;
  };
  // Row counts below, at and past a group of eight (and past the parallel split); widths
  // below a vector, odd, and the ViT's 192.
  const Case cases[] = {{1, 1},  {3, 7},   {8, 8},    {9, 13},  {16, 5},   {17, 192},
                        {64, 3}, {197, 192}, {130, 257}, {300, 64}, {1030, 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rows << " x " << c.d);
    auto x = lcg_values(c.rows * c.d, 41);
    // Distinct means and spreads per row, so a row mixed up with another shows.
    for (uint64_t r = 0; r < c.rows; ++r)
      for (uint64_t j = 0; j < c.d; ++j)
        x[r * c.d + j] = x[r * c.d + j] * (1.0f + 0.125f * (r % 5)) + 0.5f * (r % 3);
    const auto scale = lcg_values(c.d, 42);
    const auto bias = lcg_values(c.d, 43);
    for (const float* b : {bias.data(), static_cast<const float*>(nullptr)}) {
      SCOPED_TRACE(b == nullptr ? "no bias" : "bias");
      const auto want_steps = naive_stepwise(x, scale, b, c.rows, c.d, 1e-5f);
      const auto want_kernel = naive_layernorm(x, scale, b, c.rows, c.d, 1e-5f);
      for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable" : "vector");
        cpu_norm_force_portable(portable);
        for (unsigned threads : {1u, 2u, 8u}) {
          ThreadCapScope cap(threads);
          std::vector<float> y(x.size(), std::nanf(""));
          cpu_layernorm_stepwise(x.data(), scale.data(), b, y.data(), c.rows, c.d, 1e-5f);
          EXPECT_TRUE(same_bits(y, want_steps)) << "step by step, " << threads << " threads";
          std::fill(y.begin(), y.end(), std::nanf(""));
          cpu_layernorm(x.data(), scale.data(), b, y.data(), c.rows, c.d, 1e-5f);
          EXPECT_TRUE(same_bits(y, want_kernel)) << "kernel rule, " << threads << " threads";
        }
      }
      cpu_norm_force_portable(false);
    }
  }
}

TEST(LayerNormRows, InPlaceConstantRowsAndNonFiniteValues) {
  const uint64_t rows = 11, d = 20;
  const auto scale = lcg_values(d, 51);
  const auto bias = lcg_values(d, 52);
  std::vector<float> x(rows * d);
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t j = 0; j < d; ++j) x[r * d + j] = r == 2 ? 3.5f : 0.25f * static_cast<float>(j + r);
  x[5 * d + 4] = std::nanf("");
  x[7 * d + 9] = INFINITY;
  for (bool stepwise : {true, false}) {
    SCOPED_TRACE(stepwise ? "step by step" : "kernel rule");
    const auto want = stepwise ? naive_stepwise(x, scale, bias.data(), rows, d, 1e-5f)
                               : naive_layernorm(x, scale, bias.data(), rows, d, 1e-5f);
    for (bool portable : {false, true}) {
      SCOPED_TRACE(portable ? "portable" : "vector");
      cpu_norm_force_portable(portable);
      std::vector<float> y = x;
      if (stepwise) {
        cpu_layernorm_stepwise(y.data(), scale.data(), bias.data(), y.data(), rows, d, 1e-5f);
      } else {
        cpu_layernorm(y.data(), scale.data(), bias.data(), y.data(), rows, d, 1e-5f);
      }
      // A constant row is its bias; a NaN or infinity poisons only its own row.
      for (uint64_t j = 0; j < d; ++j) EXPECT_EQ(y[2 * d + j], bias[j]);
      for (uint64_t j = 0; j < d; ++j) EXPECT_TRUE(std::isnan(y[5 * d + j]));
      EXPECT_FALSE(std::isnan(y[6 * d]));
      for (size_t i = 0; i < y.size(); ++i) {
        const bool both_nan = std::isnan(y[i]) && std::isnan(want[i]);
        if (!both_nan) {
          EXPECT_EQ(y[i], want[i]) << i;
        }
      }
    }
  }
  cpu_norm_force_portable(false);
}

}  // namespace
}  // namespace vexa::cpu
