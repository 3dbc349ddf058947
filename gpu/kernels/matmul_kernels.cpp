// Tiled matrix products y = x weight^T (+ bias), with the weight in its stored [N, K] half
// layout. The device's tiles become one product over the region the grid covers: both operands
// are widened to f32 (exactly: halves are f32 values), multiplied by the GEMM wrapper with f32
// accumulation, and each result is rounded once, A(acc + bias[c]). Where the wrapper takes the
// shape, the weight is widened a slice at a time inside the task that multiplies it, so its f32
// form never leaves that core's cache; otherwise it is widened whole first. Both give the same
// bytes (the wrapper's guarantee, held by the tests).
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
// Widening work per task, in elements: a 576 x 576 weight was 5 tasks at 65,536 and is 11 at
// 32,768; at 16,384 the one-thread prefill lost about 5% to restarted prefetch streams.
constexpr uint64_t kWidenElementsPerTask = 32768;
// With more than one thread the widening is bounded by memory and by its last tasks: 11 tasks
// (and 3 of x rows) for 8 threads left most of them idle in the second round. At 4,096 elements
// (weight tasks of 16 rows) the widening of a 30-layer, 576-wide prefill at 8 threads took 14 ms
// instead of 17-20 (best sums over 14-22 prefills, interleaved runs on a shared 8-core Zen 4
// EPYC; 16,384 and 8,192 fell between). Stores through the caches made it 2-3x slower, also
// into a second panel that no core had read recently: the stores' line reads are the cost.
constexpr uint64_t kParallelWidenElementsPerTask = 4096;
// Weight rows per packing task come in whole transpose tiles.
constexpr uint64_t kPackRowMultiple = 16;
// Scratch slots of the calling thread (see ScratchFloats).
constexpr unsigned kXSlot = 0, kWeightSlot = 1, kAccSlot = 2, kBiasSlot = 3;

// The weight rows [0, n) of K halves as the f32 B operand, in `panel` (n * K floats): stored
// [n, K] for a transposed product, or [K, n] when the library multiplies that faster.
struct WeightPanel {
  const float* data;
  bool transposed;  // data is [n, K]
  uint64_t ld;
};

// Both operands widened in one parallel pass (one fork and join instead of two): tasks of x rows,
// then tasks of weight rows. The [K, n] layout is widened and transposed at once, in groups of
// whole transpose tiles.
template <typename T>
WeightPanel widen_operands(const T* x, uint64_t rows, uint64_t k, float* x_panel,
                           const uint16_t* w, uint64_t n, float* w_panel) {
  const bool packed = gemm_prefers_untransposed_b(static_cast<int64_t>(rows), static_cast<int64_t>(n),
                                                  static_cast<int64_t>(k));
  // Shared among threads, the panel's lines are still in the caches of the cores whose product
  // read them last, and writing them costs a round of invalidations: prefill at 8 threads spent
  // a third as many profile samples transposing with stores past the caches. One thread keeps
  // the panel in its own cache for the product, which ran 8% slower reading it from memory.
  const bool parallel = parallel_thread_budget() > 1;
  const uint64_t task_elements = parallel ? kParallelWidenElementsPerTask : kWidenElementsPerTask;
  const uint64_t per_task = std::max<uint64_t>(1, task_elements / std::max<uint64_t>(1, k));
  const uint64_t x_per_task = x == nullptr ? 1 : per_task;
  const uint64_t x_tasks = x == nullptr ? 0 : ceil_div_u64(rows, x_per_task);
  const uint64_t w_per_task = packed ? ceil_div_u64(per_task, kPackRowMultiple) * kPackRowMultiple : per_task;
  const uint64_t w_tasks = ceil_div_u64(n, w_per_task);
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(x_tasks + w_tasks, 1, [&](uint64_t t, uint64_t) {
    if (t < x_tasks) {
      const uint64_t begin = t * x_per_task, end = std::min(rows, begin + x_per_task);
      for (uint64_t r = begin; r < end; ++r) {
        if constexpr (std::is_same_v<T, float>) {
          std::copy(x + r * k, x + r * k + k, x_panel + r * k);
        } else {
          bw.widen_f16(x + r * k, x_panel + r * k, k);
        }
      }
      return;
    }
    const uint64_t begin = (t - x_tasks) * w_per_task, end = std::min(n, begin + w_per_task);
    if (packed) {
      bw.widen_f16_transposed(w + begin * k, k, end - begin, k, w_panel + begin, n, parallel);
    } else {
      for (uint64_t r = begin; r < end; ++r) bw.widen_f16(w + r * k, w_panel + r * k, k);
    }
  });
  if (packed) return {w_panel, false, n};
  return {w_panel, true, std::max<uint64_t>(k, 1)};
}

// The stored [N, K] half weight as the wrapper's column source: weight rows [col0, col0 + cols)
// widened and transposed into the K x cols panel.
struct WeightSlices {
  const uint16_t* w;
  uint64_t k;
};

void widen_weight_slice(void* ctx, int64_t col0, int64_t cols, float* dst) {
  const auto* s = static_cast<const WeightSlices*>(ctx);
  const auto c0 = static_cast<uint64_t>(col0), n = static_cast<uint64_t>(cols);
  // The panel is read next by this thread: stores through the caches.
  bandwidth_kernels().widen_f16_transposed(s->w + c0 * s->k, s->k, n, s->k, dst, n, false);
}

// Half activation rows [row0, row0 + rows) of x (rows of k) widened into a task's panel.
struct HalfRows {
  const uint16_t* x;
  uint64_t k;
};

void widen_x_rows(void* ctx, int64_t row0, int64_t rows, float* dst) {
  const auto* s = static_cast<const HalfRows*>(ctx);
  const uint64_t count = static_cast<uint64_t>(rows) * s->k;
  bandwidth_kernels().widen_f16(s->x + static_cast<uint64_t>(row0) * s->k, dst, count);
}

// acc (rows x cols, row stride ldc) = x weight^T through weight slices; false when the wrapper
// does not take the shape (nothing written), for the caller to widen the weight whole. f32
// activations are read as they are; half ones are widened by each task, for its rows.
template <typename T>
bool sliced_product(const T* x, uint64_t rows, uint64_t k, const uint16_t* w, uint64_t cols,
                    float* acc, uint64_t ldc, const GemmBlockHook* hook) {
  WeightSlices slices{w, k};
  const GemmColumnSource source{widen_weight_slice, &slices};
  const auto m = static_cast<int64_t>(rows), n = static_cast<int64_t>(cols);
  const auto kk = static_cast<int64_t>(k), ld = static_cast<int64_t>(ldc);
  if constexpr (std::is_same_v<T, float>) {
    return gemm_f32_sliced(m, n, kk, x, kk, source, acc, ld, 0, hook);
  } else {
    HalfRows half{x, k};
    return gemm_f32_sliced(m, n, kk, GemmRowSource{widen_x_rows, &half}, source, acc, ld, 0, hook);
  }
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
  const auto* x = bound_elements<const typename A::T>(d, 0, mul_sat(rows, k), "x");
  const auto* w = bound_elements<const uint16_t>(d, 1, mul_sat(cols, k), "weight");
  auto* y = bound_elements<typename A::T>(d, 2, mul_sat(rows - 1, n_all) + cols, "y");
  const uint16_t* bias = has_bias ? bound_elements<const uint16_t>(d, 4, cols, "bias") : nullptr;
  if (x == nullptr || w == nullptr || y == nullptr || (has_bias && bias == nullptr)) return;

  ScratchFloats acc(kAccSlot, rows * cols), bias_f(kBiasSlot, has_bias ? cols : 0);
  if (has_bias) bandwidth_kernels().widen_f16(bias, bias_f.data(), cols);
  StoreTile<A> tile{acc.data(), cols, y, n_all, has_bias ? bias_f.data() : nullptr};
  const GemmBlockHook hook{store_tile<A>, &tile};
  if (sliced_product(x, rows, k, w, cols, acc.data(), cols, &hook)) return;
  ScratchFloats xf(kXSlot, rows * k), wf(kWeightSlot, cols * k);
  const WeightPanel wp = widen_operands(x, rows, k, xf.data(), w, cols, wf.data());
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
  if (sliced_product(x, rows, k, w, cols, y, n_all, nullptr)) return;
  ScratchFloats wf(kWeightSlot, cols * k);
  const WeightPanel wp =
      widen_operands<float>(nullptr, rows, k, nullptr, w, cols, wf.data());
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
  // In chunks of floats (y may be x); the bias in runs that do not wrap.
  constexpr uint64_t kChunk = 512;
  kernel_parallel_for(n, kWidenElementsPerTask, [&](uint64_t begin, uint64_t end) {
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
