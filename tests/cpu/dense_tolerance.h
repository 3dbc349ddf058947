// Shared helpers of the dense kernel tests: deterministic data and one float tolerance.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace vexa::cpu::testing {

// Relative-to-magnitude tolerance for float kernels checked against double references.
inline constexpr double kDenseTolerance = 2e-5;

// Values in [-1, 1) from a fixed linear congruential sequence.
inline std::vector<float> lcg_values(size_t n, uint32_t seed) {
  std::vector<float> v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    v[i] = static_cast<float>((s >> 8) & 0xFFFFu) / 32768.0f - 1.0f;
  }
  return v;
}

// Checks every element: |got - want| <= tol * (1 + |want|) (scale: magnitude of the sum terms).
inline ::testing::AssertionResult all_close(const float* got, const double* want, size_t n,
                                            double scale = 1.0, double tol = kDenseTolerance) {
  for (size_t i = 0; i < n; ++i) {
    const double err = std::fabs(static_cast<double>(got[i]) - want[i]);
    if (!(err <= tol * (scale + std::fabs(want[i])))) {
      return ::testing::AssertionFailure()
             << "element " << i << ": got " << got[i] << ", want " << want[i];
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult all_close(const std::vector<float>& got,
                                            const std::vector<double>& want, double scale = 1.0,
                                            double tol = kDenseTolerance) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "size mismatch";
  return all_close(got.data(), want.data(), got.size(), scale, tol);
}

}  // namespace vexa::cpu::testing
