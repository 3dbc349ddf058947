// Products y = x w^T with the weight w read where it is stored: [N, K] rows of halves, of q8
// blocks, or of floats. The weight is widened a cache-sized column slice at a time inside the
// task of the GEMM wrapper that multiplies it (a q8 value first becomes the half its block
// reconstructs), so no f32 copy of a whole weight is ever made; the wrapper accumulates in f32.
// Used by the tiled matrix kernels and by the graph library's product of a fed weight.
#pragma once

#include <cstdint>

#include "platform/gemm.h"

namespace vexa {

enum class StoredRows : uint8_t { kHalf, kQ8, kFloat };

struct StoredWeight {
  const uint8_t* base = nullptr;  // row r starts at base + r * row_bytes
  uint64_t k = 0;                 // values per row
  uint64_t row_bytes = 0;         // 2k for halves, 4k for floats, the block bytes for q8
  StoredRows form = StoredRows::kHalf;
};

// acc (rows x cols, row stride ldc) = x (rows x k, row stride k) times rows [0, cols) of w
// transposed, then the hook on every finished block. Half activations are widened by each task
// for its rows. The cut is fixed by the shape, so the bytes never depend on the thread count:
// shapes the wrapper cuts into slices give gemm_f32's bytes for the whole widened weight; the
// others go through the wrapper a column chunk at a time. False when the wrapper refuses the
// shape (nothing is then guaranteed of acc).
bool stored_weight_product(const float* x, uint64_t rows, uint64_t k, const StoredWeight& w,
                           uint64_t cols, float* acc, uint64_t ldc, const GemmBlockHook* hook);
bool stored_weight_product(const uint16_t* x, uint64_t rows, uint64_t k, const StoredWeight& w,
                           uint64_t cols, float* acc, uint64_t ldc, const GemmBlockHook* hook);

}  // namespace vexa
