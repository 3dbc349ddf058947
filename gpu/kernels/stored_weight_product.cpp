#include "gpu/kernels/stored_weight_product.h"

#include <algorithm>
#include <type_traits>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"
#include "platform/software_device.h"

namespace vexa {

namespace {

// Elements per task when half activations are widened whole for a chunked product.
constexpr uint64_t kWidenElementsPerTask = 32768;
// Chunked products: weight columns per chunk so that the chunk's f32 panel is about the size of
// a sliced product's (platform/gemm.cpp kSliceBytes), in whole vectors of 16 floats.
constexpr uint64_t kChunkBytes = 256 << 10;
constexpr uint64_t kChunkAlign = 16;
// Scratch slots of the calling thread (see ScratchFloats); the tiled kernels hold 2 and 3.
constexpr unsigned kXSlot = 0, kWeightSlot = 1;

// Weight rows [col0, col0 + cols) as the columns of the K x cols f32 panel at dst (row stride
// cols): dst[t * cols + j] = w(col0 + j, t).
void fill_weight_columns(const StoredWeight& w, uint64_t col0, uint64_t cols, float* dst) {
  const BandwidthKernels& bw = bandwidth_kernels();
  if (w.form == StoredRows::kHalf) {
    const auto* halves = reinterpret_cast<const uint16_t*>(w.base + col0 * w.row_bytes);
    // The panel is read next by this thread: stores through the caches.
    bw.widen_f16_transposed(halves, w.row_bytes / sizeof(uint16_t), cols, w.k, dst, cols, false);
    return;
  }
  if (w.form == StoredRows::kFloat) {
    const auto* floats = reinterpret_cast<const float*>(w.base + col0 * w.row_bytes);
    gemm_pack_transposed(floats, static_cast<int64_t>(cols), static_cast<int64_t>(w.k),
                         static_cast<int64_t>(w.row_bytes / sizeof(float)), dst);
    return;
  }
  bw.q8_to_f32_transposed(w.base + col0 * w.row_bytes, w.row_bytes, cols, w.k, dst, cols);
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

template <typename T>
bool product(const T* x, uint64_t rows, uint64_t k, const StoredWeight& w, uint64_t cols,
             float* acc, uint64_t ldc, const GemmBlockHook* hook) {
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

}  // namespace

bool stored_weight_product(const float* x, uint64_t rows, uint64_t k, const StoredWeight& w,
                           uint64_t cols, float* acc, uint64_t ldc, const GemmBlockHook* hook) {
  return product(x, rows, k, w, cols, acc, ldc, hook);
}

bool stored_weight_product(const uint16_t* x, uint64_t rows, uint64_t k, const StoredWeight& w,
                           uint64_t cols, float* acc, uint64_t ldc, const GemmBlockHook* hook) {
  return product(x, rows, k, w, cols, acc, ldc, hook);
}

}  // namespace vexa
