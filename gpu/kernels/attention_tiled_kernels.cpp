// Tiled attention for long queries or contexts: scores = q K^T and out = P V, each over the
// tiles the grid covers, for every (batch, query head) of its third axis. Both go through the
// GEMM wrapper on widened f32 panels; scores are then scaled, rounded and masked as in the other
// attention kernels, and outputs rounded once to A.
#include <algorithm>
#include <atomic>
#include <vector>

#include "gpu/kernels/attention_common.h"
#include "gpu/kernels/graph_kernels.h"
#include "platform/gemm.h"

namespace vexa {

namespace {

constexpr uint64_t kAttentionTile = 32;

// Scratch slots of the thread that runs a head.
constexpr unsigned kLeftSlot = 0, kRightSlot = 1, kAccSlot = 2;

// rows x cols of A values with row stride ld, widened into a packed panel.
template <typename A>
void widen_rows(const typename A::T* src, uint64_t rows, uint64_t cols, uint64_t ld, float* dst) {
  for (uint64_t r = 0; r < rows; ++r) load_row<A>(src + r * ld, cols, dst + r * cols);
}

// Query rows per task. One head a task left the 9 heads of a 576-wide model's prefill two rounds
// on 8 threads, the second with one head; blocks of 32 rows make 36 tasks of a 128-token head set.
// The cut depends on the shape alone, so the bytes do not depend on the thread count.
constexpr uint64_t kRowsPerTask = 32;

// Every (head, block of query rows) the dispatch covers, as body(head, first row, rows); a lone
// task runs on the calling thread, so its products spread over the pool instead.
template <typename Body>
void for_each_head_rows(uint64_t heads, uint64_t rows, Body&& body) {
  const uint64_t blocks = ceil_div_u64(rows, kRowsPerTask);
  kernel_parallel_for(heads * blocks, 1, [&](uint64_t begin, uint64_t end) {
    for (uint64_t t = begin; t < end; ++t) {
      const uint64_t r0 = (t % blocks) * kRowsPerTask;
      body(t / blocks, r0, std::min(kRowsPerTask, rows - r0));
    }
  });
}

// Key columns that rows [r0, r0 + nr) of seq query rows over `keys` can see: up to the last row's
// causal limit (a masked score's probability is exactly 0), else all of them. Fewer keys than
// queries leave early rows nothing to see, and their masked scores are then all taken.
uint64_t visible_keys(const AttentionShape& s, uint64_t cols, uint64_t r0, uint64_t nr) {
  if (!s.causal || s.keys < s.seq) return cols;
  return std::min(cols, s.keys - s.seq + r0 + nr);
}

}  // namespace

template <typename A>
void attention_scores_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  AttentionShape s;
  if (!attention_shape(d, p, p.u[2], p.u[3], &s)) return;
  const uint64_t cols = std::min(s.keys, mul_sat(d.threadgroups.x, kAttentionTile));
  const uint64_t rows = std::min(s.seq, mul_sat(d.threadgroups.y, kAttentionTile));
  const uint64_t heads = d.threadgroups.z;
  if (rows == 0 || cols == 0 || heads == 0) return;
  const uint64_t batches = ceil_div_u64(heads, s.hq);
  const T* q = bound_elements<const T>(d, 0, mul_sat(mul_sat(mul_sat(batches, s.seq), s.hq), s.dim), "q");
  const T* kc = bound_elements<const T>(
      d, 1, mul_sat(mul_sat(mul_sat(batches, s.hkv), s.stride), s.dim), "key cache");
  T* scores = bound_elements<T>(d, 2, mul_sat(mul_sat(heads, s.seq), s.keys), "scores");
  const T* mask = s.causal ? nullptr
                           : bound_elements<const T>(d, 4, mul_sat(mul_sat(batches, s.seq), s.keys), "mask");
  if (q == nullptr || kc == nullptr || scores == nullptr || (!s.causal && mask == nullptr)) return;
  const float scale = attention_scale(s.dim);
  const uint64_t group_heads = s.hq / s.hkv;
  std::atomic<bool> refused{false};
  for_each_head_rows(heads, rows, [&](uint64_t z, uint64_t r0, uint64_t nr) {
    const uint64_t b = z / s.hq, h = z % s.hq;
    // Columns no row of the block can see are masked whatever their dot: not computed (and not
    // read: finish_scores scales a causal row's visible columns only, and masks the rest).
    const uint64_t seen = visible_keys(s, cols, r0, nr);
    ScratchFloats qf(kLeftSlot, nr * s.dim), kf(kRightSlot, seen * s.dim);
    ScratchFloats acc(kAccSlot, nr * cols);
    widen_rows<A>(q + ((b * s.seq + r0) * s.hq + h) * s.dim, nr, s.dim, s.hq * s.dim, qf.data());
    widen_rows<A>(kc + (b * s.hkv + h / group_heads) * s.stride * s.dim, seen, s.dim, s.dim, kf.data());
    if (seen > 0 &&
        !gemm_f32(false, true, static_cast<int64_t>(nr), static_cast<int64_t>(seen),
                  static_cast<int64_t>(s.dim), 1.0f, qf.data(), static_cast<int64_t>(s.dim),
                  kf.data(), static_cast<int64_t>(s.dim), 0.0f, acc.data(),
                  static_cast<int64_t>(cols))) {
      refused.store(true);
      return;
    }
    for (uint64_t i = 0; i < nr; ++i) {
      float* v = acc.data() + i * cols;
      const uint64_t r = r0 + i;
      finish_scores<A>(v, cols, s.keys, s.seq, r, scale, s.causal,
                       s.causal ? nullptr : mask + (b * s.seq + r) * s.keys);
      store_row<A>(v, cols, scores + (z * s.seq + r) * s.keys);
    }
  });
  if (refused.load()) d.fail("matrix product shape refused");
}

template <typename A>
void attention_values_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  AttentionShape s;
  if (!attention_shape(d, p, p.u[2], p.u[3], &s)) return;
  const uint64_t cols = std::min(s.dim, mul_sat(d.threadgroups.x, kAttentionTile));
  const uint64_t rows = std::min(s.seq, mul_sat(d.threadgroups.y, kAttentionTile));
  const uint64_t heads = d.threadgroups.z;
  if (rows == 0 || cols == 0 || heads == 0) return;
  const uint64_t batches = ceil_div_u64(heads, s.hq);
  const T* scores = bound_elements<const T>(d, 0, mul_sat(mul_sat(heads, s.seq), s.keys), "scores");
  const T* vc = bound_elements<const T>(
      d, 1, mul_sat(mul_sat(mul_sat(batches, s.hkv), s.stride), s.dim), "value cache");
  T* out = bound_elements<T>(d, 2, mul_sat(mul_sat(mul_sat(batches, s.seq), s.hq), s.dim), "out");
  if (scores == nullptr || vc == nullptr || out == nullptr) return;
  const uint64_t group_heads = s.hq / s.hkv;
  std::atomic<bool> refused{false};
  for_each_head_rows(heads, rows, [&](uint64_t z, uint64_t r0, uint64_t nr) {
    const uint64_t b = z / s.hq, h = z % s.hq;
    // Keys past what the block's rows see have probability 0 (their scores were masked): the
    // products stop at the last key seen.
    const uint64_t seen = visible_keys(s, s.keys, r0, nr);
    ScratchFloats pf(kLeftSlot, nr * seen), vf(kRightSlot, seen * cols);
    ScratchFloats acc(kAccSlot, nr * cols);
    widen_rows<A>(scores + (z * s.seq + r0) * s.keys, nr, seen, s.keys, pf.data());
    widen_rows<A>(vc + (b * s.hkv + h / group_heads) * s.stride * s.dim, seen, cols, s.dim, vf.data());
    if (!gemm_f32(false, false, static_cast<int64_t>(nr), static_cast<int64_t>(cols),
                  static_cast<int64_t>(seen), 1.0f, pf.data(),
                  static_cast<int64_t>(std::max<uint64_t>(seen, 1)), vf.data(),
                  static_cast<int64_t>(cols), 0.0f, acc.data(), static_cast<int64_t>(cols))) {
      refused.store(true);
      return;
    }
    for (uint64_t i = 0; i < nr; ++i) {
      store_row<A>(acc.data() + i * cols, cols, out + ((b * s.seq + r0 + i) * s.hq + h) * s.dim);
    }
  });
  if (refused.load()) d.fail("matrix product shape refused");
}

VEXA_INSTANTIATE_KERNEL(attention_scores_kernel);
VEXA_INSTANTIATE_KERNEL(attention_values_kernel);

}  // namespace vexa
