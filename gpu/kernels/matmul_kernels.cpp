// Tiled matrix products y = x weight^T (+ bias), with the weight read where it is stored: [N, K]
// halves, or q8 rows when P u[4] gives their row bytes. The device's tiles become one product
// over the region the grid covers, through the stored-weight product (widened a cache-sized
// slice at a time inside the tasks that multiply it, f32 accumulation), and each result is
// rounded once, A(acc + bias[c]).
#include <algorithm>
#include <type_traits>
#include <vector>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/graph_kernels.h"
#include "gpu/kernels/stored_weight_product.h"

namespace vexa {

namespace {

constexpr uint64_t kTileCols = 32;
constexpr uint64_t kDirectTile = 64;
// Elements per task of the bias pass.
constexpr uint64_t kBiasElementsPerTask = 32768;
// Scratch slots of the calling thread (see ScratchFloats); the stored-weight product uses 0 and 1.
constexpr unsigned kAccSlot = 2, kBiasSlot = 3;

// The weight binding's first `rows` rows: halves (row_bytes 0) or q8 rows of row_bytes.
bool bound_weight(KernelDispatch& d, uint64_t row_bytes, uint64_t rows, uint64_t k,
                  StoredWeight* w) {
  if (row_bytes == 0) {
    *w = StoredWeight{nullptr, k, k * sizeof(uint16_t), StoredRows::kHalf};
    w->base = reinterpret_cast<const uint8_t*>(
        bound_elements<const uint16_t>(d, 1, mul_sat(rows, k), "weight"));
  } else if (q8_row_bytes_ok(d, row_bytes, k)) {
    *w = StoredWeight{nullptr, k, row_bytes, StoredRows::kQ8};
    w->base = bound_bytes(d, 1, mul_sat(rows, row_bytes), "weight");
  }
  return w->base != nullptr;
}

template <typename A>
struct StoreTile {
  float* acc;  // rows x cols, packed; each block is finished in place
  uint64_t cols;
  typename A::T* y;
  uint64_t ldy;
  const float* bias;  // the bias widened, or null
};

template <typename A>
void store_tile(void* ctx, int64_t row0, int64_t rows, int64_t col0, int64_t cols) {
  const auto* s = static_cast<const StoreTile<A>*>(ctx);
  const auto n = static_cast<uint64_t>(cols);
  for (int64_t r = row0; r < row0 + rows; ++r) {
    float* acc = s->acc + static_cast<uint64_t>(r) * s->cols + static_cast<uint64_t>(col0);
    typename A::T* y = s->y + static_cast<uint64_t>(r) * s->ldy + static_cast<uint64_t>(col0);
    if (s->bias != nullptr) {
      const float* bias = s->bias + col0;
      for (uint64_t c = 0; c < n; ++c) acc[c] = acc[c] + bias[c];
    }
    store_row<A>(acc, n, y);
  }
}

template <typename A, uint64_t kTileRows>
void tiled_matmul(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t m_all = p.u[0], n_all = p.u[1], k = p.u[2];
  const bool has_bias = p.u[3] != 0;
  const uint64_t rows = std::min(m_all, mul_sat(d.threadgroups.y, kTileRows));
  const uint64_t cols = std::min(n_all, mul_sat(d.threadgroups.x, kTileCols));
  if (rows == 0 || cols == 0) return;
  StoredWeight w;
  const auto* x = bound_elements<const typename A::T>(d, 0, mul_sat(rows, k), "x");
  if (x == nullptr || !bound_weight(d, p.u[4], cols, k, &w)) return;
  auto* y = bound_elements<typename A::T>(d, 2, mul_sat(rows - 1, n_all) + cols, "y");
  const uint16_t* bias = has_bias ? bound_elements<const uint16_t>(d, 4, cols, "bias") : nullptr;
  if (y == nullptr || (has_bias && bias == nullptr)) return;

  ScratchFloats acc(kAccSlot, rows * cols), bias_f(kBiasSlot, has_bias ? cols : 0);
  if (has_bias) bandwidth_kernels().widen_f16(bias, bias_f.data(), cols);
  StoreTile<A> tile{acc.data(), cols, y, n_all, has_bias ? bias_f.data() : nullptr};
  const GemmBlockHook hook{store_tile<A>, &tile};
  if (!stored_weight_product(x, rows, k, w, cols, acc.data(), cols, &hook)) {
    d.fail("matrix product shape refused");
  }
}

}  // namespace

template <typename A>
void matmul_kernel(KernelDispatch& d) {
  tiled_matmul<A, 32>(d);
}

template <typename A>
void matmul_rows64_kernel(KernelDispatch& d) {
  tiled_matmul<A, 64>(d);
}

// Rows come from the grid (64 per group row); the tiles assume whole tiles, so the grid's rows
// must all exist in x and y.
template <typename A>
void matmul_direct64_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n_all = p.u[1], k = p.u[2];
  const uint64_t rows = mul_sat(d.threadgroups.y, kDirectTile);
  const uint64_t cols = std::min(n_all, mul_sat(d.threadgroups.x, kDirectTile));
  if (rows == 0 || cols == 0) return;
  StoredWeight w;
  const float* x = bound_elements<const float>(d, 0, mul_sat(rows, k), "x");
  if (x == nullptr || !bound_weight(d, p.u[4], cols, k, &w)) return;
  float* y = bound_elements<float>(d, 2, mul_sat(rows - 1, n_all) + cols, "y");
  if (y == nullptr) return;
  if (!stored_weight_product(x, rows, k, w, cols, y, n_all, nullptr)) {
    d.fail("matrix product shape refused");
  }
}

template <typename A>
void linear_bias_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = std::min(grid_thread_count(d), static_cast<uint64_t>(p.u[0]));
  const uint64_t width = p.u[1];
  if (n == 0) return;
  if (width == 0) return d.fail("bias length 0");
  const auto* x = bound_elements<const typename A::T>(d, 0, n, "x");
  const uint16_t* bias = bound_elements<const uint16_t>(d, 1, std::min(width, n), "bias");
  auto* y = bound_elements<typename A::T>(d, 2, n, "y");
  if (x == nullptr || bias == nullptr || y == nullptr) return;
  // In chunks of floats (y may be x); the bias in runs that do not wrap.
  constexpr uint64_t kChunk = 512;
  kernel_parallel_for(n, kBiasElementsPerTask, [&](uint64_t begin, uint64_t end) {
    float v[kChunk], b[kChunk];
    for (uint64_t i0 = begin; i0 < end; i0 += kChunk) {
      const uint64_t len = std::min(kChunk, end - i0);
      load_row<A>(x + i0, len, v);
      for (uint64_t done = 0; done < len;) {
        const uint64_t j = (i0 + done) % width;
        const uint64_t run = std::min(len - done, width - j);
        load_row<HalfActivation>(bias + j, run, b + done);
        done += run;
      }
      for (uint64_t i = 0; i < len; ++i) v[i] = v[i] + b[i];
      store_row<A>(v, len, y + i0);
    }
  });
}

VEXA_INSTANTIATE_KERNEL(matmul_kernel);
VEXA_INSTANTIATE_KERNEL(matmul_rows64_kernel);
VEXA_INSTANTIATE_KERNEL(matmul_direct64_kernel);
VEXA_INSTANTIATE_KERNEL(linear_bias_kernel);

}  // namespace vexa
