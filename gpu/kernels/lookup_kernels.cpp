// Embedding lookups, q8 expansion and half widening.
#include <algorithm>
#include <cstring>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/graph_kernels.h"

namespace vexa {

namespace {

// Output elements per task: large enough that a task is a few microseconds of copying.
constexpr uint64_t kLookupElementsPerTask = 32768;

uint64_t rows_per_task(uint64_t row_length) {
  return std::max<uint64_t>(1, kLookupElementsPerTask / std::max<uint64_t>(1, row_length));
}

// Checks every id against the rows the weight binding holds, before anything is written.
bool ids_in_range(KernelDispatch& d, const int64_t* ids, uint64_t rows, uint64_t vocab) {
  for (uint64_t r = 0; r < rows; ++r) {
    if (ids[r] < 0 || static_cast<uint64_t>(ids[r]) >= vocab) {
      d.fail("id " + std::to_string(ids[r]) + " at " + std::to_string(r) + " outside " +
             std::to_string(vocab) + " rows");
      return false;
    }
  }
  return true;
}

// min(grid threads, count) elements in rows of `row_length`; false when there is nothing to do
// or the row length is 0 (failed).
bool element_rows(KernelDispatch& d, uint64_t count, uint64_t row_length, uint64_t* n,
                  uint64_t* rows) {
  *n = std::min(grid_thread_count(d), count);
  if (*n == 0) return false;
  if (row_length == 0) {
    d.fail("row length 0");
    return false;
  }
  *rows = ceil_div_u64(*n, row_length);
  return true;
}

}  // namespace

template <typename A>
void embedding_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t dim = p.u[1];
  uint64_t n = 0, rows = 0;
  if (!element_rows(d, p.u[0], dim, &n, &rows)) return;
  const int64_t* ids = bound_elements<int64_t>(d, 0, rows, "ids");
  const uint16_t* weight = bound_elements<uint16_t>(d, 1, dim, "weight");
  typename A::T* y = bound_elements<typename A::T>(d, 2, n, "y");
  if (ids == nullptr || weight == nullptr || y == nullptr) return;
  const uint64_t vocab = d.binding(1).length / sizeof(uint16_t) / dim;
  if (!ids_in_range(d, ids, rows, vocab)) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(rows, rows_per_task(dim), [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      const uint64_t len = std::min(dim, n - r * dim);
      const uint16_t* src = weight + static_cast<uint64_t>(ids[r]) * dim;
      if constexpr (A::kIsFloat) {
        bw.widen_f16(src, y + r * dim, len);
      } else {
        std::memcpy(y + r * dim, src, len * sizeof(uint16_t));
      }
    }
  });
}

template <typename A>
void embedding_q8_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t dim = p.u[1];
  const uint64_t row_bytes = p.u[2];
  uint64_t n = 0, rows = 0;
  if (!element_rows(d, p.u[0], dim, &n, &rows)) return;
  if (!q8_row_bytes_ok(d, row_bytes, dim)) return;
  const int64_t* ids = bound_elements<int64_t>(d, 0, rows, "ids");
  const uint8_t* weight = bound_bytes(d, 1, row_bytes, "weight");
  typename A::T* y = bound_elements<typename A::T>(d, 2, n, "y");
  if (ids == nullptr || weight == nullptr || y == nullptr) return;
  const uint64_t vocab = d.binding(1).length / row_bytes;
  if (!ids_in_range(d, ids, rows, vocab)) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(rows, rows_per_task(dim), [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      const uint64_t len = std::min(dim, n - r * dim);
      const uint8_t* src = weight + static_cast<uint64_t>(ids[r]) * row_bytes;
      if constexpr (A::kIsFloat) {
        bw.q8_row_to_f32(src, len, y + r * dim);
      } else {
        bw.q8_row_to_f16(src, len, y + r * dim);
      }
    }
  });
}

template <typename A>
void dequant_q8_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t cols = p.u[1];
  const uint64_t row_bytes = p.u[2];
  uint64_t n = 0, rows = 0;
  if (!element_rows(d, p.u[0], cols, &n, &rows)) return;
  if (!q8_row_bytes_ok(d, row_bytes, cols)) return;
  const uint8_t* weight = bound_bytes(d, 0, mul_sat(rows, row_bytes), "weight");
  uint16_t* y = bound_elements<uint16_t>(d, 2, n, "y");
  if (weight == nullptr || y == nullptr) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(rows, rows_per_task(cols), [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      bw.q8_row_to_f16(weight + r * row_bytes, std::min(cols, n - r * cols), y + r * cols);
    }
  });
}

template <typename A>
void weights_float_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = std::min(grid_thread_count(d), static_cast<uint64_t>(p.u[0]));
  if (n == 0) return;
  const uint16_t* x = bound_elements<uint16_t>(d, 0, n, "x");
  float* y = bound_elements<float>(d, 2, n, "y");
  if (x == nullptr || y == nullptr) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  kernel_parallel_for(n, kLookupElementsPerTask, [&](uint64_t begin, uint64_t end) {
    bw.widen_f16(x + begin, y + begin, end - begin);
  });
}

VEXA_INSTANTIATE_KERNEL(embedding_kernel);
VEXA_INSTANTIATE_KERNEL(embedding_q8_kernel);
VEXA_INSTANTIATE_KERNEL(dequant_q8_kernel);
VEXA_INSTANTIATE_KERNEL(weights_float_kernel);

}  // namespace vexa
