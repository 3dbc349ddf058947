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

// One dispatch may carry up to four products over the same x (the q/k/v projections, gate and
// up): part 0 as a single product has it (weight 1, y 2, bias 4; rows u[0], bias flag u[2], q8
// row bytes u[3]), u[4] more parts after it, part p at bindings and words 2 + 3p (weight, rows),
// 3 + 3p (y, bias flag), 4 + 3p (bias, q8 row bytes). A row's arithmetic does not depend on the
// dispatch it is in, so the outputs are those of separate dispatches, byte for byte.
constexpr uint64_t kMatvecMaxParts = 4;

template <typename A>
struct MatvecPart {
  uint64_t rows = 0;
  uint64_t row_bytes = 0;
  const uint8_t* w = nullptr;
  typename A::T* y = nullptr;
  const uint16_t* bias = nullptr;  // null: no bias
  uint64_t per_task = 1;
  uint64_t tasks = 0;
};

template <typename A>
struct MatvecPlan {
  uint64_t cols = 0;
  const typename A::T* x = nullptr;
  uint64_t parts = 0;
  MatvecPart<A> part[kMatvecMaxParts];
  uint64_t tasks = 0;
};

uint32_t weight_slot(uint64_t p) { return p == 0 ? 1 : static_cast<uint32_t>(2 + 3 * p); }
uint32_t y_slot(uint64_t p) { return p == 0 ? 2 : static_cast<uint32_t>(3 + 3 * p); }
uint32_t bias_slot(uint64_t p) { return static_cast<uint32_t>(4 + 3 * p); }

// Reads the parts and checks every binding they touch; false when there is nothing to do or
// something is wrong (failed). The grid covers ceil(threads / 32) rows, taken from the parts in
// order. q8: whether weights are q8 blocks (row bytes from the parameters) or halves.
template <typename A>
bool matvec_plan(KernelDispatch& d, bool q8, MatvecPlan<A>* plan) {
  KernelParams p;
  if (!read_params(d, &p)) return false;
  const uint64_t parts = uint64_t{1} + p.u[4];
  if (parts > kMatvecMaxParts) {
    d.fail("more than four products in one dispatch");
    return false;
  }
  plan->parts = parts;
  plan->cols = p.u[1];
  uint64_t covered = ceil_div_u64(grid_thread_count(d), kSimdLanes);
  uint64_t total_rows = 0;
  for (uint64_t i = 0; i < parts; ++i) {
    MatvecPart<A>& part = plan->part[i];
    part.rows = std::min<uint64_t>(p.u[i == 0 ? 0 : 2 + 3 * i], covered);
    covered -= part.rows;
    total_rows += part.rows;
  }
  if (total_rows == 0) return false;
  plan->x = bound_elements<const typename A::T>(d, 0, plan->cols, "x");
  if (plan->x == nullptr) return false;
  uint64_t total_bytes = 0;
  for (uint64_t i = 0; i < parts; ++i) {
    MatvecPart<A>& part = plan->part[i];
    if (part.rows == 0) continue;
    const bool bias = p.u[i == 0 ? 2 : 3 + 3 * i] != 0;
    part.y = bound_elements<typename A::T>(d, y_slot(i), part.rows, "y");
    if (part.y == nullptr) return false;
    if (bias) {
      part.bias = bound_elements<const uint16_t>(d, bias_slot(i), part.rows, "bias");
      if (part.bias == nullptr) return false;
    }
    if (q8) {
      part.row_bytes = p.u[i == 0 ? 3 : 4 + 3 * i];
      if (part.row_bytes == 0 ||
          part.row_bytes / kQ8BlockBytes < ceil_div_u64(plan->cols, kQ8BlockValues)) {
        d.fail("q8 row bytes too small for the row length");
        return false;
      }
      part.w = bound_bytes(d, weight_slot(i), mul_sat(part.rows, part.row_bytes), "weight");
    } else {
      part.row_bytes = plan->cols * sizeof(uint16_t);  // cols is a 32-bit word
      part.w = reinterpret_cast<const uint8_t*>(bound_elements<const uint16_t>(
          d, weight_slot(i), mul_sat(part.rows, plan->cols), "weight"));
    }
    if (part.w == nullptr) return false;
    // Each part's bytes lie in its binding (checked above), so neither this nor the sum wraps.
    total_bytes += part.rows * part.row_bytes;
  }
  // Task sizes follow the whole dispatch, so siblings are cut as one larger layer would be.
  const uint64_t task_bytes = std::clamp(total_bytes / kMatvecTasksWanted,
                                         kMatvecMinTaskBytes, kMatvecMaxTaskBytes);
  for (uint64_t i = 0; i < parts; ++i) {
    MatvecPart<A>& part = plan->part[i];
    if (part.rows == 0) continue;
    part.per_task = std::max<uint64_t>(1, task_bytes / std::max<uint64_t>(1, part.row_bytes));
    part.tasks = ceil_div_u64(part.rows, part.per_task);
    plan->tasks += part.tasks;
  }
  return true;
}

// sums (count floats) is finished in place: bias added, then stored as A.
template <typename A>
void store_rows(const MatvecPart<A>& part, uint64_t begin, uint64_t count, float* sums) {
  if (part.bias != nullptr) {
    constexpr uint64_t kChunk = 256;
    float bias[kChunk];
    for (uint64_t i0 = 0; i0 < count; i0 += kChunk) {
      const uint64_t len = std::min(kChunk, count - i0);
      load_row<HalfActivation>(part.bias + begin + i0, len, bias);
      for (uint64_t i = 0; i < len; ++i) sums[i0 + i] = sums[i0 + i] + bias[i];
    }
  }
  store_row<A>(sums, count, part.y + begin);
}

template <typename A>
void matvec_run(KernelDispatch& d, bool q8) {
  MatvecPlan<A> plan;
  if (!matvec_plan<A>(d, q8, &plan)) return;
  const BandwidthKernels& bw = bandwidth_kernels();
  const uint64_t dispatch = g_matvec_dispatches.fetch_add(1, std::memory_order_relaxed) + 1;
  kernel_parallel_for(plan.tasks, 1, [&](uint64_t first, uint64_t last) {
    const float* x = task_input<A>(plan.x, plan.cols, dispatch);
    float sums[kRowsPerChunk];
    for (uint64_t t = first; t < last; ++t) {
      uint64_t i = 0, local = t;
      while (local >= plan.part[i].tasks) local -= plan.part[i++].tasks;
      const MatvecPart<A>& part = plan.part[i];
      const uint64_t begin = local * part.per_task;
      const uint64_t end = std::min(part.rows, begin + part.per_task);
      for (uint64_t r = begin; r < end; r += kRowsPerChunk) {
        const uint64_t count = std::min(kRowsPerChunk, end - r);
        const uint8_t* rows = part.w + r * part.row_bytes;
        if (q8) {
          bw.dot_q8_rows(x, rows, part.row_bytes, plan.cols, count, sums);
        } else {
          bw.dot_f16_rows(x, reinterpret_cast<const uint16_t*>(rows), plan.cols, plan.cols, count,
                          sums);
        }
        store_rows<A>(part, r, count, sums);
      }
    }
  });
}

}  // namespace

template <typename A>
void matvec_kernel(KernelDispatch& d) {
  matvec_run<A>(d, false);
}

template <typename A>
void matvec_q8_kernel(KernelDispatch& d) {
  matvec_run<A>(d, true);
}

VEXA_INSTANTIATE_KERNEL(matvec_kernel);
VEXA_INSTANTIATE_KERNEL(matvec_q8_kernel);

}  // namespace vexa
