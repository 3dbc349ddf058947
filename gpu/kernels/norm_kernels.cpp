// Row normalisation (layer and RMS) and rotary position embedding.
#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "gpu/kernels/graph_kernels.h"
#include "platform/vector_math.h"

namespace vexa {

namespace {

// Elements per task: see kPointwiseElementsPerTask (pointwise_kernels.cpp).
constexpr uint64_t kNormElementsPerTask = 4096;

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
    ScratchFloats v_buf(0, n), w_buf(1, n), b_buf(2, rms ? 0 : n);
    float* v = v_buf.data();
    float* wf = w_buf.data();
    float* bf = b_buf.data();
    load_row<HalfActivation>(weight, n, wf);
    if (!rms) load_row<HalfActivation>(bias, n, bf);
    for (uint64_t r = begin; r < end; ++r) {
      load_row<A>(x + r * n, n, v);
      // The vector routines make the same IEEE operations, one rounding each.
      if (rms) {
        const float scale = 1.0f / std::sqrt(group_sum_squares128(v, n) / count + epsilon);
        vec_mul_scalar(v, scale, v, n);
        round_row<A>(v, n);
        vec_mul(v, wf, v, n);
      } else {
        const float mean = group_sum128(v, n) / count;
        vec_add_scalar(v, -mean, v, n);  // v + (-mean) is v - mean
        const float scale = 1.0f / std::sqrt(group_sum_squares128(v, n) / count + epsilon);
        vec_mul_scalar(v, scale, v, n);
        vec_mul(v, wf, v, n);
        vec_add(v, bf, v, n);
      }
      store_row<A>(v, n, y + r * n);
    }
  });
}

namespace {

// The rounded cosines and sines of one position. Every rotary node of a decode step rotates
// the same position with the same theta and head size (60 nodes a step in a 30-layer model), and
// every node of a prefill the same run of positions, so a thread keeps the tables it made, per
// activation type: positions below kRopeCachedPositions each have a row made once for the
// current theta and head size, any other position the last one made. The values are those a
// fresh computation gives. With the single last table and scratch rows instead of five vectors
// per task, the 60 nodes of a bench decode step took 67 us instead of 86 (1 thread, sampled over
// 600 steps, shared 8-core Zen 4); a 128-token prefill, which made every row's table again at
// each of its 60 nodes, spent 8 ms of its 227 in them at one thread.
constexpr int64_t kRopeCachedPositions = 4096;

struct RopeTable {
  const float* cosines = nullptr;
  const float* sines = nullptr;
};

struct RopeTables {
  uint32_t theta_bits = 0;
  uint64_t dim = 0;
  bool has_frequencies = false;
  std::vector<float> frequencies;  // theta^exponent per channel pair
  // Rows of `half` cosines then `half` sines per cached position; made[p] when row p is made.
  std::vector<float> rows;
  std::vector<uint8_t> made;
  // The last position past the cache.
  int64_t other_position = 0;
  bool has_other = false;
  std::vector<float> other;
};

template <typename A>
void make_angles(const RopeTables& t, int64_t position, float* row) {
  const uint64_t half = t.dim / 2;
  const float pos = static_cast<float>(position);
  for (uint64_t j = 0; j < half; ++j) {
    const float angle = pos * t.frequencies[j];
    row[j] = std::cos(angle);
    row[half + j] = std::sin(angle);
  }
  round_row<A>(row, 2 * half);
}

template <typename A>
RopeTable rope_table(float theta, uint64_t dim, int64_t position) {
  thread_local RopeTables t;
  const uint64_t half = dim / 2;
  if (!t.has_frequencies || t.theta_bits != std::bit_cast<uint32_t>(theta) || t.dim != dim) {
    t.has_frequencies = false;
    t.has_other = false;
    t.made.clear();
    t.rows.clear();
    t.frequencies.resize(half);
    for (uint64_t j = 0; j < half; ++j) {
      const float exponent = (-2.0f * static_cast<float>(j)) / static_cast<float>(dim);
      t.frequencies[j] = std::pow(theta, exponent);
    }
    t.theta_bits = std::bit_cast<uint32_t>(theta);
    t.dim = dim;
    t.has_frequencies = true;
  }
  float* row = nullptr;
  if (position >= 0 && position < kRopeCachedPositions) {
    const auto p = static_cast<uint64_t>(position);
    if (p >= t.made.size()) {
      t.made.resize(p + 1, 0);
      t.rows.resize((p + 1) * dim);
    }
    row = t.rows.data() + p * dim;
    if (!t.made[p]) {
      make_angles<A>(t, position, row);
      t.made[p] = 1;
    }
  } else {
    t.other.resize(dim);
    row = t.other.data();
    if (!t.has_other || t.other_position != position) {
      make_angles<A>(t, position, row);
      t.other_position = position;
      t.has_other = true;
    }
  }
  return RopeTable{row, row + half};
}

}  // namespace

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
  // A partial last head rotates channels with partners past the element count.
  if (n % dim != 0) return d.fail("rotation partner past the element count");
  const uint64_t half = dim / 2;
  kernel_parallel_for(rows, rows_per_task(row), [&](uint64_t begin, uint64_t end) {
    ScratchFloats in_buf(0, row), a_buf(1, row), b_buf(2, row);
    float* in = in_buf.data();
    float* a = a_buf.data();
    float* b = b_buf.data();
    for (uint64_t r = begin; r < end; ++r) {
      // The angles depend on the position and the channel pair only: once per row, not per head.
      const RopeTable t = rope_table<A>(theta, dim, positions[r]);
      const float* cosines = t.cosines;
      const float* sines = t.sines;
      // Every head of the row at once (whole heads: n is a multiple of dim), read before any is
      // written, so y may be x.
      const uint64_t base = r * row, len = std::min(n, base + row) - base;
      load_row<A>(x + base, len, in);
      for (uint64_t h = 0; h < len; h += dim) {
        const float* hin = in + h;
        float* ha = a + h;
        float* hb = b + h;
        for (uint64_t c = 0; c < half; ++c) {
          ha[c] = hin[c] * cosines[c];
          hb[c] = -hin[c + half] * sines[c];
          ha[c + half] = hin[c + half] * cosines[c];
          hb[c + half] = hin[c] * sines[c];
        }
      }
      round_row<A>(a, len);
      round_row<A>(b, len);
      vec_add(a, b, a, len);
      store_row<A>(a, len, y + base);
    }
  });
}

VEXA_INSTANTIATE_KERNEL(norm_kernel);
VEXA_INSTANTIATE_KERNEL(rope_kernel);

}  // namespace vexa
