// Tiled matrix products y = x weight^T (+ bias), with the weight read where it is stored: [N, K]
// halves, or q8 rows when P u[4] gives their row bytes. The device's tiles become one product
// over the region the grid covers: x is taken as f32 (halves widen exactly), the weight is
// widened a cache-sized column slice at a time inside the task that multiplies it (a q8 value
// first becomes the half its block reconstructs, so both forms multiply the same halves), the
// GEMM wrapper accumulates in f32, and each result is rounded once, A(acc + bias[c]). No f32 copy
// of a whole weight is made: shapes the wrapper does not cut into slices go through it a column
// chunk at a time.
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
// Elements per task of the widening and bias passes.
constexpr uint64_t kWidenElementsPerTask = 32768;
// Chunked products: weight columns per chunk so that the chunk's f32 panel is about the size of
// a sliced product's (platform/gemm.cpp kSliceBytes), in whole vectors of 16 floats.
constexpr uint64_t kChunkBytes = 256 << 10;
constexpr uint64_t kChunkAlign = 16;
// q8 rows become halves this many at a time before they are widened into a panel: 16 rows of
// 1,536 columns are 48 KB of halves, which stay in L2 for the transposing pass.
constexpr uint64_t kQ8StagingRows = 16;
// Scratch slots of the calling thread (see ScratchFloats).
constexpr unsigned kXSlot = 0, kWeightSlot = 1, kAccSlot = 2, kBiasSlot = 3;

// The weight operand as stored: rows of k halves (row_bytes 0), or q8 rows of row_bytes.
struct StoredWeight {
  const uint8_t* base;
  uint64_t k;
  uint64_t row_bytes;
};

// Weight rows [col0, col0 + cols) as the columns of the K x cols f32 panel at dst (row stride
// cols): dst[t * cols + j] = w(col0 + j, t).
void fill_weight_columns(const StoredWeight& w, uint64_t col0, uint64_t cols, float* dst) {
  const BandwidthKernels& bw = bandwidth_kernels();
  if (w.row_bytes == 0) {
    const auto* halves = reinterpret_cast<const uint16_t*>(w.base) + col0 * w.k;
    // The panel is read next by this thread: stores through the caches.
    bw.widen_f16_transposed(halves, w.k, cols, w.k, dst, cols, false);
    return;
  }
  // Kept per thread between calls: a fresh block per slice would cost page faults.
  thread_local std::vector<uint16_t> staging;
  if (staging.size() < kQ8StagingRows * w.k) staging.resize(kQ8StagingRows * w.k);
  for (uint64_t r0 = 0; r0 < cols; r0 += kQ8StagingRows) {
    const uint64_t rows = std::min(kQ8StagingRows, cols - r0);
    for (uint64_t r = 0; r < rows; ++r) {
      bw.q8_row_to_f16(w.base + (col0 + r0 + r) * w.row_bytes, w.k, staging.data() + r * w.k);
    }
    bw.widen_f16_transposed(staging.data(), w.k, rows, w.k, dst + r0, cols, false);
  }
}

void fill_weight_slice(void* ctx, int64_t col0, int64_t cols, float* dst) {
  fill_weight_columns(*static_cast<const StoredWeight*>(ctx), static_cast<uint64_t>(col0),
                      static_cast<uint64_t>(cols), dst);
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

// A block hook for one column chunk: the chunk's block coordinates moved to the whole product's.
struct ChunkHook {
  const GemmBlockHook* inner;
  int64_t col0;
};

void chunk_hook(void* ctx, int64_t row0, int64_t rows, int64_t col0, int64_t cols) {
  const auto* h = static_cast<const ChunkHook*>(ctx);
  h->inner->fn(h->inner->ctx, row0, rows, h->col0 + col0, cols);
}

// The shapes the sliced cut refuses (small products, or widths oneDNN runs in two parts): the
// weight a column chunk at a time, each chunk widened on the calling thread and multiplied by the
// wrapper over every row. Each chunk's cut is fixed by its shape, so the bytes do not depend on
// the thread count.
bool chunked_product(const float* x, uint64_t rows, uint64_t k, const StoredWeight& w,
                     uint64_t cols, float* acc, uint64_t ldc, const GemmBlockHook* hook) {
  const uint64_t fit = kChunkBytes / sizeof(float) / std::max<uint64_t>(k, 1) / kChunkAlign * kChunkAlign;
  const uint64_t chunk = std::min(cols, std::max(kChunkAlign, fit));
  ScratchFloats panel(kWeightSlot, chunk * k);
  for (uint64_t c0 = 0; c0 < cols; c0 += chunk) {
    const uint64_t n = std::min(chunk, cols - c0);
    fill_weight_columns(w, c0, n, panel.data());
    ChunkHook h{hook, static_cast<int64_t>(c0)};
    const GemmBlockHook moved{chunk_hook, &h};
    const auto m = static_cast<int64_t>(rows), nn = static_cast<int64_t>(n);
    const auto kk = static_cast<int64_t>(k);
    if (!gemm_f32(false, false, m, nn, kk, 1.0f, x, kk, panel.data(), nn, 0.0f, acc + c0,
                  static_cast<int64_t>(ldc), 0, kGemmMinBlockFlops,
                  hook != nullptr ? &moved : nullptr)) {
      return false;
    }
  }
  return true;
}

// acc (rows x cols, row stride ldc) = x weight^T, then the hook on every finished block. f32
// activations are read as they are; half ones are widened by each task for its rows, or whole
// for a chunked product.
template <typename T>
bool stored_weight_product(const T* x, uint64_t rows, uint64_t k, const StoredWeight& w,
                           uint64_t cols, float* acc, uint64_t ldc, const GemmBlockHook* hook) {
  const GemmColumnSource source{fill_weight_slice, const_cast<StoredWeight*>(&w)};
  const auto m = static_cast<int64_t>(rows), n = static_cast<int64_t>(cols);
  const auto kk = static_cast<int64_t>(k), ld = static_cast<int64_t>(ldc);
  if constexpr (std::is_same_v<T, float>) {
    if (gemm_f32_sliced(m, n, kk, x, kk, source, acc, ld, 0, hook)) return true;
    return chunked_product(x, rows, k, w, cols, acc, ldc, hook);
  } else {
    HalfRows half{x, k};
    if (gemm_f32_sliced(m, n, kk, GemmRowSource{widen_x_rows, &half}, source, acc, ld, 0, hook)) {
      return true;
    }
    ScratchFloats xf(kXSlot, rows * k);
    kernel_parallel_for(rows * k, kWidenElementsPerTask, [&](uint64_t begin, uint64_t end) {
      bandwidth_kernels().widen_f16(x + begin, xf.data() + begin, end - begin);
    });
    return chunked_product(xf.data(), rows, k, w, cols, acc, ldc, hook);
  }
}

// The weight binding's first `rows` rows: halves (row_bytes 0) or q8 rows of row_bytes.
bool bound_weight(KernelDispatch& d, uint64_t row_bytes, uint64_t rows, uint64_t k,
                  StoredWeight* w) {
  *w = StoredWeight{nullptr, k, row_bytes};
  if (row_bytes == 0) {
    w->base = reinterpret_cast<const uint8_t*>(
        bound_elements<const uint16_t>(d, 1, mul_sat(rows, k), "weight"));
  } else if (q8_row_bytes_ok(d, row_bytes, k)) {
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
