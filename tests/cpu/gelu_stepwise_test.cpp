// The step-by-step GELU in one vector pass: the same bits as the portable block path and as a
// plain loop of the five rounded steps, for every tail length and for non-finite inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "cpu/ops/activation.h"
#include "cpu/quant_study.h"
#include "dense_tolerance.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

constexpr float kSqrt2 = 1.4142135f;

std::vector<float> naive_gelu_steps(const std::vector<float>& x, float divisor) {
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float t = x[i] / divisor;
    const float e = cpu_erf_rational(t);
    const float a = e + 1.0f;
    const float m = x[i] * a;
    y[i] = m * 0.5f;
  }
  return y;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(GeluStepwise, VectorPassMatchesPortableBlocksAndPlainStepsBitForBit) {
  cpu_vmath_override(1);
  // Lengths around the vector width and the portable path's 1,024-element block, and above
  // the eight-way split.
  for (uint64_t n : {1, 7, 8, 9, 15, 1023, 1024, 1025, 16385, 40007}) {
    SCOPED_TRACE(n);
    auto x = testing::lcg_values(n, 61);
    for (size_t i = 0; i < x.size(); ++i) x[i] *= 1.0f + static_cast<float>(i % 13);  // past the clamp
    if (n > 8) {
      x[3] = std::numeric_limits<float>::quiet_NaN();
      x[4] = std::numeric_limits<float>::infinity();
      x[5] = -std::numeric_limits<float>::infinity();
      x[6] = -0.0f;
    }
    for (float divisor : {kSqrt2, 1.4142f}) {
      const auto want = naive_gelu_steps(x, divisor);
      for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable" : "vector");
        cpu_activation_force_portable(portable);
        for (unsigned threads : {1u, 8u}) {
          ThreadCapScope cap(threads);
          std::vector<float> y(n, 12345.0f);
          cpu_gelu_stepwise(x.data(), y.data(), n, divisor);
          EXPECT_TRUE(same_bits(y, want)) << threads << " threads";
          std::vector<float> in_place = x;
          cpu_gelu_stepwise(in_place.data(), in_place.data(), n, divisor);
          EXPECT_TRUE(same_bits(in_place, want)) << "in place, " << threads << " threads";
        }
      }
      cpu_activation_force_portable(false);
    }
  }
  cpu_vmath_override(-1);
}

TEST(GeluStepwise, ShortInputWritesNothingPastItsEnd) {
  cpu_vmath_override(1);
  for (uint64_t n : {1, 5, 8, 11}) {
    std::vector<float> x = testing::lcg_values(n, 62);
    std::vector<float> y(n + 8, 777.0f);
    cpu_gelu_stepwise(x.data(), y.data(), n, kSqrt2);
    for (uint64_t i = n; i < y.size(); ++i) EXPECT_EQ(y[i], 777.0f) << n;
  }
  cpu_vmath_override(-1);
}

}  // namespace
}  // namespace vexa::cpu
