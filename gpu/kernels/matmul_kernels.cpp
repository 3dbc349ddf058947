// Tiled matrix products y = x weight^T (+ bias), with the weight in its stored [N, K] half
// layout. The device's tiles become one product over the region the grid covers: both operands
// are widened to f32 panels (exactly: halves are f32 values), multiplied by the GEMM wrapper
// with f32 accumulation, and each result is rounded once, A(acc + bias[c]).
#include <algorithm>
#include <type_traits>
#include <vector>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/graph_kernels.h"
#include "platform/gemm.h"

namespace vexa {

namespace {

constexpr uint64_t kTileCols = 32;
constexpr uint64_t kDirectTile = 64;
// Widening work per task, in elements.
constexpr uint64_t kWidenElementsPerTask = 65536;
// Weight rows per packing task come in whole transpose tiles.
constexpr uint64_t kPackRowMultiple = 16;
// Scratch slots of the calling thread (see ScratchFloats).
constexpr unsigned kXSlot = 0, kWeightSlot = 1, kAccSlot = 2, kBiasSlot = 3;

// rows x cols of a matrix with row stride ld, widened to a packed f32 panel.
template <typename T>
void widen_panel(const T* src, uint64_t rows, uint64_t cols, uint64_t ld, float* dst) {
  const uint64_t per_task = std::max<uint64_t>(1, kWidenElementsPerTask / std::max<uint64_t>(1, cols));
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(rows, per_task, [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      if constexpr (std::is_same_v<T, float>) {
        std::copy(src + r * ld, src + r * ld + cols, dst + r * cols);
      } else {
        bw.widen_f16(src + r * ld, dst + r * cols, cols);
      }
    }
  });
}

// The weight rows [0, n) of K halves as the f32 B operand, in `panel` (n * K floats): stored
// [n, K] for a transposed product, or [K, n] when the library multiplies that faster. The
// transposed layout is widened and transposed in one parallel pass over groups of weight rows.
struct WeightPanel {
  const float* data;
  bool transposed;  // data is [n, K]
  uint64_t ld;
};

WeightPanel widen_weight(const uint16_t* w, uint64_t n, uint64_t k, uint64_t m, float* panel) {
  if (!gemm_prefers_untransposed_b(static_cast<int64_t>(m), static_cast<int64_t>(n),
                                   static_cast<int64_t>(k))) {
    widen_panel(w, n, k, k, panel);
    return {panel, true, std::max<uint64_t>(k, 1)};
  }
  const uint64_t rows = std::max<uint64_t>(1, kWidenElementsPerTask / std::max<uint64_t>(1, k));
  const uint64_t per_task = ceil_div_u64(rows, kPackRowMultiple) * kPackRowMultiple;
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(n, per_task, [&](uint64_t begin, uint64_t end) {
    bw.widen_f16_transposed(w + begin * k, k, end - begin, k, panel + begin, n);
  });
  return {panel, false, n};
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
  const BandwidthKernels& bw = bandwidth_kernels();
  const auto n = static_cast<uint64_t>(cols);
  for (int64_t r = row0; r < row0 + rows; ++r) {
    float* acc = s->acc + static_cast<uint64_t>(r) * s->cols + static_cast<uint64_t>(col0);
    typename A::T* y = s->y + static_cast<uint64_t>(r) * s->ldy + static_cast<uint64_t>(col0);
    if (s->bias != nullptr) {
      const float* bias = s->bias + col0;
      for (uint64_t c = 0; c < n; ++c) acc[c] = acc[c] + bias[c];
    }
    if constexpr (A::kIsFloat) {
      std::copy(acc, acc + n, y);
    } else {
      bw.narrow_f32(acc, y, n);
    }
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
  const auto* x = bound_elements<const typename A::T>(d, 0, mul_sat(rows, k), "x");
  const auto* w = bound_elements<const uint16_t>(d, 1, mul_sat(cols, k), "weight");
  auto* y = bound_elements<typename A::T>(d, 2, mul_sat(rows - 1, n_all) + cols, "y");
  const uint16_t* bias = has_bias ? bound_elements<const uint16_t>(d, 4, cols, "bias") : nullptr;
  if (x == nullptr || w == nullptr || y == nullptr || (has_bias && bias == nullptr)) return;

  ScratchFloats xf(kXSlot, rows * k), wf(kWeightSlot, cols * k), acc(kAccSlot, rows * cols);
  ScratchFloats bias_f(kBiasSlot, has_bias ? cols : 0);
  widen_panel(x, rows, k, k, xf.data());
  const WeightPanel wp = widen_weight(w, cols, k, rows, wf.data());
  if (has_bias) bandwidth_kernels().widen_f16(bias, bias_f.data(), cols);
  StoreTile<A> tile{acc.data(), cols, y, n_all, has_bias ? bias_f.data() : nullptr};
  const GemmBlockHook hook{store_tile<A>, &tile};
  if (!gemm_f32(false, wp.transposed, static_cast<int64_t>(rows), static_cast<int64_t>(cols),
                static_cast<int64_t>(k), 1.0f, xf.data(), static_cast<int64_t>(std::max<uint64_t>(k, 1)),
                wp.data, static_cast<int64_t>(wp.ld), 0.0f, acc.data(),
                static_cast<int64_t>(cols), 0, kGemmMinBlockFlops, &hook)) {
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
  const float* x = bound_elements<const float>(d, 0, mul_sat(rows, k), "x");
  const uint16_t* w = bound_elements<const uint16_t>(d, 1, mul_sat(cols, k), "weight");
  float* y = bound_elements<float>(d, 2, mul_sat(rows - 1, n_all) + cols, "y");
  if (x == nullptr || w == nullptr || y == nullptr) return;
  ScratchFloats wf(kWeightSlot, cols * k);
  const WeightPanel wp = widen_weight(w, cols, k, rows, wf.data());
  if (!gemm_f32(false, wp.transposed, static_cast<int64_t>(rows), static_cast<int64_t>(cols),
                static_cast<int64_t>(k), 1.0f, x, static_cast<int64_t>(std::max<uint64_t>(k, 1)),
                wp.data, static_cast<int64_t>(wp.ld), 0.0f, y, static_cast<int64_t>(n_all))) {
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
  kernel_parallel_for(n, kWidenElementsPerTask, [&](uint64_t begin, uint64_t end) {
    for (uint64_t i = begin; i < end; ++i) {
      y[i] = A::store(A::load(x[i]) + f16_widen(bias[i % width]));
    }
  });
}

VEXA_INSTANTIATE_KERNEL(matmul_kernel);
VEXA_INSTANTIATE_KERNEL(matmul_rows64_kernel);
VEXA_INSTANTIATE_KERNEL(matmul_direct64_kernel);
VEXA_INSTANTIATE_KERNEL(linear_bias_kernel);

}  // namespace vexa
