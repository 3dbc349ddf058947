// Row normalisation (layer and RMS) and rotary position embedding.
#include <algorithm>
#include <cmath>
#include <vector>

#include "gpu/kernels/graph_kernels.h"

namespace vexa {

namespace {

constexpr uint64_t kNormElementsPerTask = 16384;

uint64_t rows_per_task(uint64_t row_length) {
  return std::max<uint64_t>(1, kNormElementsPerTask / std::max<uint64_t>(1, row_length));
}

}  // namespace

// One row per thread group. Sums follow group_sum128; the mean (or mean square) is the sum
// divided by n; scale = 1 / sqrt(variance + epsilon). RMS rows store A(A(x scale) weight[c]),
// layer rows A((x - mean) scale weight[c] + bias[c]), every operation rounded in f32.
template <typename A>
void norm_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t rows = grid_group_count(d);
  const uint64_t n = p.u[0];
  const bool rms = p.u[1] != 0;
  const float epsilon = p.f[0];
  if (rows == 0 || n == 0) return;
  const T* x = bound_elements<const T>(d, 0, mul_sat(rows, n), "x");
  const uint16_t* weight = bound_elements<const uint16_t>(d, 1, n, "weight");
  T* y = bound_elements<T>(d, 2, mul_sat(rows, n), "y");
  const uint16_t* bias = rms ? nullptr : bound_elements<const uint16_t>(d, 4, n, "bias");
  if (x == nullptr || weight == nullptr || y == nullptr || (!rms && bias == nullptr)) return;
  const float count = static_cast<float>(n);
  kernel_parallel_for(rows, rows_per_task(n), [&](uint64_t begin, uint64_t end) {
    std::vector<float> v(n);
    for (uint64_t r = begin; r < end; ++r) {
      const T* xr = x + r * n;
      T* yr = y + r * n;
      for (uint64_t c = 0; c < n; ++c) v[c] = A::load(xr[c]);
      if (rms) {
        const float scale = 1.0f / std::sqrt(group_sum_squares128(v.data(), n) / count + epsilon);
        for (uint64_t c = 0; c < n; ++c) {
          yr[c] = A::store(A::round(v[c] * scale) * f16_widen(weight[c]));
        }
      } else {
        const float mean = group_sum128(v.data(), n) / count;
        for (uint64_t c = 0; c < n; ++c) v[c] = v[c] - mean;
        const float scale = 1.0f / std::sqrt(group_sum_squares128(v.data(), n) / count + epsilon);
        for (uint64_t c = 0; c < n; ++c) {
          yr[c] = A::store((v[c] * scale) * f16_widen(weight[c]) + f16_widen(bias[c]));
        }
      }
    }
  });
}

// Rotate-half form over heads of d channels, one position per row of heads x d elements. For
// channel c: angle = p theta^(-2 (c mod d/2) / d) in f32 (the exponent as (-2 j) / d);
// y = A(A(x[c] A(cos)) + A((s x[c +- d/2]) A(sin))) with s = -1 for c < d/2, +1 otherwise.
template <typename A>
void rope_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = std::min(grid_thread_count(d), static_cast<uint64_t>(p.u[0]));
  if (n == 0) return;
  const uint64_t dim = p.u[1], heads = p.u[2];
  const float theta = p.f[0];
  if (dim == 0 || dim % 2 != 0 || heads == 0) return d.fail("head size must be even and non-zero");
  const uint64_t row = dim * heads;
  const uint64_t rows = ceil_div_u64(n, row);
  const T* x = bound_elements<const T>(d, 0, n, "x");
  const int64_t* positions = bound_elements<const int64_t>(d, 1, rows, "positions");
  T* y = bound_elements<T>(d, 2, n, "y");
  if (x == nullptr || positions == nullptr || y == nullptr) return;
  const uint64_t half = dim / 2;
  std::vector<float> exponents(half);
  for (uint64_t j = 0; j < half; ++j) {
    exponents[j] = (-2.0f * static_cast<float>(j)) / static_cast<float>(dim);
  }
  kernel_parallel_for(rows, rows_per_task(row), [&](uint64_t begin, uint64_t end) {
    std::vector<float> cosines(half), sines(half), in(dim);
    for (uint64_t r = begin; r < end; ++r) {
      // The angles depend on the position and the channel pair only: once per row, not per head.
      const float pos = static_cast<float>(positions[r]);
      for (uint64_t j = 0; j < half; ++j) {
        const float angle = pos * std::pow(theta, exponents[j]);
        cosines[j] = A::round(std::cos(angle));
        sines[j] = A::round(std::sin(angle));
      }
      for (uint64_t base = r * row; base < std::min(n, (r + 1) * row); base += dim) {
        const uint64_t len = std::min(dim, n - base);
        // Full heads are read before written, so y may be x.
        for (uint64_t c = 0; c < dim && base + c < std::min(n, base + dim); ++c) {
          in[c] = A::load(x[base + c]);
        }
        for (uint64_t c = 0; c < len; ++c) {
          const uint64_t j = c % half;
          const uint64_t other = (c + half) % dim;
          if (base + other >= n) {
            d.fail("rotation partner past the element count");
            return;
          }
          const float rotated = c < half ? -in[other] : in[other];
          const float a = A::round(in[c] * cosines[j]);
          const float b = A::round(rotated * sines[j]);
          y[base + c] = A::store(a + b);
        }
      }
    }
  });
}

VEXA_INSTANTIATE_KERNEL(norm_kernel);
VEXA_INSTANTIATE_KERNEL(rope_kernel);

}  // namespace vexa
