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

// The heads a dispatch covers run as tasks of one head each; a lone head runs on the calling
// thread so that its products spread over the pool instead. Either way each product is the
// same computation, so the bytes do not depend on it.
template <typename Body>
void for_each_head(uint64_t heads, Body&& body) {
  kernel_parallel_for(heads, 1, [&](uint64_t begin, uint64_t end) {
    for (uint64_t z = begin; z < end; ++z) body(z);
  });
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
  for_each_head(heads, [&](uint64_t z) {
    const uint64_t b = z / s.hq, h = z % s.hq;
    ScratchFloats qf(kLeftSlot, rows * s.dim), kf(kRightSlot, cols * s.dim);
    ScratchFloats acc(kAccSlot, rows * cols);
    widen_rows<A>(q + (b * s.seq * s.hq + h) * s.dim, rows, s.dim, s.hq * s.dim, qf.data());
    widen_rows<A>(kc + (b * s.hkv + h / group_heads) * s.stride * s.dim, cols, s.dim, s.dim, kf.data());
    if (!gemm_f32(false, true, static_cast<int64_t>(rows), static_cast<int64_t>(cols),
                  static_cast<int64_t>(s.dim), 1.0f, qf.data(), static_cast<int64_t>(s.dim),
                  kf.data(), static_cast<int64_t>(s.dim), 0.0f, acc.data(),
                  static_cast<int64_t>(cols))) {
      refused.store(true);
      return;
    }
    for (uint64_t r = 0; r < rows; ++r) {
      float* v = acc.data() + r * cols;
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
  for_each_head(heads, [&](uint64_t z) {
    const uint64_t b = z / s.hq, h = z % s.hq;
    ScratchFloats pf(kLeftSlot, rows * s.keys), vf(kRightSlot, s.keys * cols);
    ScratchFloats acc(kAccSlot, rows * cols);
    widen_rows<A>(scores + z * s.seq * s.keys, rows, s.keys, s.keys, pf.data());
    widen_rows<A>(vc + (b * s.hkv + h / group_heads) * s.stride * s.dim, s.keys, cols, s.dim, vf.data());
    if (!gemm_f32(false, false, static_cast<int64_t>(rows), static_cast<int64_t>(cols),
                  static_cast<int64_t>(s.keys), 1.0f, pf.data(),
                  static_cast<int64_t>(std::max<uint64_t>(s.keys, 1)), vf.data(),
                  static_cast<int64_t>(cols), 0.0f, acc.data(), static_cast<int64_t>(cols))) {
      refused.store(true);
      return;
    }
    for (uint64_t r = 0; r < rows; ++r) {
      store_row<A>(acc.data() + r * cols, cols, out + ((b * s.seq + r) * s.hq + h) * s.dim);
    }
  });
  if (refused.load()) d.fail("matrix product shape refused");
}

VEXA_INSTANTIATE_KERNEL(attention_scores_kernel);
VEXA_INSTANTIATE_KERNEL(attention_values_kernel);

}  // namespace vexa
