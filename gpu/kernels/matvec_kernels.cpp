// Matrix-vector products for single-row activations: the weight streams through once, in its
// stored half or q8 rows.
#include <algorithm>
#include <atomic>
#include <vector>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/graph_kernels.h"

namespace vexa {

namespace {

// Tasks of about 1/64 of the weights, each between 16 KiB and 256 KiB: a decode-sized layer
// (576 x 576 halves, 648 KiB: 42 tasks) spreads over every core, and a large one is not cut finer
// than is worth handing out. bench_device_matvec's small layers ran within noise of each other
// with 4, 16 or 64 KiB minimums (9-26 us per product at 8 threads on a shared 8-core Zen 4).
constexpr uint64_t kMatvecTasksWanted = 64;
constexpr uint64_t kMatvecMinTaskBytes = 16 * 1024;
constexpr uint64_t kMatvecMaxTaskBytes = 256 * 1024;
// Row sums of a task are finished and stored this many at a time, from a stack array.
constexpr uint64_t kRowsPerChunk = 64;

uint64_t matvec_rows_per_task(uint64_t rows, uint64_t row_bytes) {
  const uint64_t total = mul_sat(rows, std::max<uint64_t>(1, row_bytes));
  const uint64_t bytes =
      std::clamp(total / kMatvecTasksWanted, kMatvecMinTaskBytes, kMatvecMaxTaskBytes);
  return std::max<uint64_t>(1, bytes / std::max<uint64_t>(1, row_bytes));
}

struct MatvecShape {
  uint64_t rows;  // output rows this dispatch computes
  uint64_t cols;  // K
  bool bias;
};

template <typename A>
struct MatvecBindings {
  const typename A::T* x = nullptr;
  typename A::T* y = nullptr;
  const uint16_t* bias = nullptr;
};

// x as floats on the thread running a task. Each thread widens the half x itself, once per
// dispatch (the dispatch's number tells whether this thread already has it): the caller's widened
// copy had to travel to every core, twice the lines of the halves, and widening costs less than
// fetching.
std::atomic<uint64_t> g_matvec_dispatches{0};

struct ThreadInput {
  std::vector<float> x;
  uint64_t dispatch = 0;  // 0: none yet
};
thread_local ThreadInput t_input;

template <typename A>
const float* task_input(const typename A::T* x, uint64_t n, uint64_t dispatch) {
  if constexpr (A::kIsFloat) {
    return x;
  } else {
    ThreadInput& in = t_input;
    if (in.dispatch != dispatch) {
      in.dispatch = 0;
      in.x.resize(n);
      bandwidth_kernels().widen_f16(x, in.x.data(), n);
      in.dispatch = dispatch;
    }
    return in.x.data();
  }
}

// Shape and the bindings every matrix-vector kernel has (x, y, bias); false when there is
// nothing to do or a binding is wrong (failed).
template <typename A>
bool matvec_setup(KernelDispatch& d, const KernelParams& p, MatvecShape* s, MatvecBindings<A>* b) {
  const uint64_t threads = grid_thread_count(d);
  s->rows = std::min<uint64_t>(p.u[0], ceil_div_u64(threads, kSimdLanes));
  s->cols = p.u[1];
  s->bias = p.u[2] != 0;
  if (s->rows == 0) return false;
  b->x = bound_elements<const typename A::T>(d, 0, s->cols, "x");
  b->y = bound_elements<typename A::T>(d, 2, s->rows, "y");
  if (s->bias) b->bias = bound_elements<const uint16_t>(d, 4, s->rows, "bias");
  return b->x != nullptr && b->y != nullptr && (!s->bias || b->bias != nullptr);
}

// sums (count floats) is finished in place: bias added, then stored as A.
template <typename A>
void store_rows(const MatvecShape& s, const MatvecBindings<A>& b, uint64_t begin, uint64_t count,
                float* sums) {
  if (s.bias) {
    constexpr uint64_t kChunk = 256;
    float bias[kChunk];
    for (uint64_t i0 = 0; i0 < count; i0 += kChunk) {
      const uint64_t len = std::min(kChunk, count - i0);
      load_row<HalfActivation>(b.bias + begin + i0, len, bias);
      for (uint64_t i = 0; i < len; ++i) sums[i0 + i] = sums[i0 + i] + bias[i];
    }
  }
  store_row<A>(sums, count, b.y + begin);
}

}  // namespace

template <typename A>
void matvec_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  MatvecShape s;
  MatvecBindings<A> b;
  if (!matvec_setup<A>(d, p, &s, &b)) return;
  const uint16_t* w = bound_elements<const uint16_t>(d, 1, mul_sat(s.rows, s.cols), "weight");
  if (w == nullptr) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  const uint64_t per_task = matvec_rows_per_task(s.rows, s.cols * sizeof(uint16_t));
  const uint64_t dispatch = g_matvec_dispatches.fetch_add(1, std::memory_order_relaxed) + 1;
  kernel_parallel_for(s.rows, per_task, [&](uint64_t begin, uint64_t end) {
    const float* x = task_input<A>(b.x, s.cols, dispatch);
    float sums[kRowsPerChunk];
    for (uint64_t r = begin; r < end; r += kRowsPerChunk) {
      const uint64_t count = std::min(kRowsPerChunk, end - r);
      bw.dot_f16_rows(x, w + r * s.cols, s.cols, s.cols, count, sums);
      store_rows<A>(s, b, r, count, sums);
    }
  });
}

template <typename A>
void matvec_q8_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  MatvecShape s;
  MatvecBindings<A> b;
  const uint64_t row_bytes = p.u[3];
  if (!matvec_setup<A>(d, p, &s, &b)) return;
  if (row_bytes == 0 || row_bytes / kQ8BlockBytes < ceil_div_u64(s.cols, kQ8BlockValues)) {
    return d.fail("q8 row bytes too small for the row length");
  }
  const uint8_t* w = bound_bytes(d, 1, mul_sat(s.rows, row_bytes), "weight");
  if (w == nullptr) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  const uint64_t dispatch = g_matvec_dispatches.fetch_add(1, std::memory_order_relaxed) + 1;
  kernel_parallel_for(s.rows, matvec_rows_per_task(s.rows, row_bytes), [&](uint64_t begin, uint64_t end) {
    const float* x = task_input<A>(b.x, s.cols, dispatch);
    float sums[kRowsPerChunk];
    for (uint64_t r = begin; r < end; r += kRowsPerChunk) {
      const uint64_t count = std::min(kRowsPerChunk, end - r);
      bw.dot_q8_rows(x, w + r * row_bytes, row_bytes, s.cols, count, sums);
      store_rows<A>(s, b, r, count, sums);
    }
  });
}

VEXA_INSTANTIATE_KERNEL(matvec_kernel);
VEXA_INSTANTIATE_KERNEL(matvec_q8_kernel);

}  // namespace vexa
