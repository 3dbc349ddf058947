// Attention: score scaling and masking, row softmax, and the single-pass kernels that run a
// whole (batch, position, head) in one group.
//
// Score rounding, everywhere: s = A(A(dot) scale) with scale = 1 / sqrt(D) (0.125 for D = 64).
// Causal mode (u[14] non-zero): column c of query row r is masked when c > T - S + r, and a
// masked score is replaced by the masking value (-65504 for half, -3.402823466e38 for float);
// unmasked scores stay s. Otherwise the explicit mask [B, 1, S, T] is added: A(s + mask).
// Softmax: max in f32, e = exp(s - max) (vec_exp), probabilities A(e / sum).
#include <algorithm>
#include <vector>

#include "gpu/kernels/attention_common.h"
#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/graph_kernels.h"
#include "platform/vector_math.h"

namespace vexa {

namespace {

// A 128-token prefill of a 576-wide model has 73,728-element activations: at 16,384 elements
// per task that was 5 tasks for 8 threads; at 4,096 it is 18, and the prefill ran 4-13% faster at
// 8 threads (best and median of 6 runs on a shared 8-core Zen 4). A decode row is one task.
constexpr uint64_t kScoreElementsPerTask = 4096;
constexpr uint64_t kDecodeHeadDim = 64;
// Decode heads are grouped into tasks that read at least this many key and value bytes: a head
// over a short context is too little work to be worth a thread of its own (the same floor as the
// matrix-vector tasks).
constexpr uint64_t kDecodeMinTaskBytes = 16 * 1024;
constexpr float kDecodeScale = 0.125f;  // 1 / sqrt(64)

// The largest of n values, NaNs passed over. Eight running maxima instead of one chain: the
// order changes at most which of +0 and -0 is kept, and v - max then gives the same exp.
float row_max(const float* v, uint64_t n) {
  constexpr uint64_t kChains = 8;
  float m[kChains];
  std::fill(m, m + kChains, -INFINITY);
  uint64_t i = 0;
  for (; i + kChains <= n; i += kChains) {
    for (uint64_t c = 0; c < kChains; ++c) m[c] = v[i + c] > m[c] ? v[i + c] : m[c];
  }
  for (; i < n; ++i) m[0] = v[i] > m[0] ? v[i] : m[0];
  float best = m[0];
  for (uint64_t c = 1; c < kChains; ++c) best = m[c] > best ? m[c] : best;
  return best;
}

// e = exp(v - max) in place (v + (-max) is the same IEEE operation as v - max).
void exp_shifted(float* v, uint64_t n) {
  vec_add_scalar(v, -row_max(v, n), v, n);
  vec_exp(v, v, n);
}

}  // namespace

// Element i of scores [B, H, S, T]: y = A(A(x scale) + mask term), scale = 1 / sqrt(D).
template <typename A>
void attention_scale_mask_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t heads = p.u[0], dim = p.u[2], seq = p.u[3], keys = p.u[4], batch = p.u[5];
  const bool causal = p.u[14] != 0;
  const uint64_t total = mul_sat(mul_sat(mul_sat(batch, heads), seq), keys);
  const uint64_t n = std::min(grid_thread_count(d), total);
  if (n == 0) return;
  if (dim == 0) return d.fail("head size 0");
  const T* x = bound_elements<const T>(d, 0, n, "scores");
  const T* mask = causal ? nullptr : bound_elements<const T>(d, 1, mul_sat(mul_sat(batch, seq), keys), "mask");
  T* y = bound_elements<T>(d, 2, n, "y");
  if (x == nullptr || (!causal && mask == nullptr) || y == nullptr) return;
  const float scale = attention_scale(dim);
  const uint64_t rows = ceil_div_u64(n, keys);
  const uint64_t per_task = std::max<uint64_t>(1, kScoreElementsPerTask / keys);
  kernel_parallel_for(rows, per_task, [&](uint64_t begin, uint64_t end) {
    std::vector<float> v(keys);
    for (uint64_t row = begin; row < end; ++row) {
      const uint64_t r = row % seq, b = row / (seq * heads);
      const uint64_t len = std::min(keys, n - row * keys);
      load_row<A>(x + row * keys, len, v.data());
      // x is already an A value: rounding it again changes nothing.
      finish_scores<A>(v.data(), len, keys, seq, r, scale, causal,
                       causal ? nullptr : mask + (b * seq + r) * keys);
      store_row<A>(v.data(), len, y + row * keys);
    }
  });
}

// One row of T scores per thread group, in place: the sum follows group_sum128.
template <typename A>
void attention_softmax_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t rows = grid_group_count(d);
  const uint64_t keys = p.u[4];
  if (rows == 0 || keys == 0) return;
  T* scores = bound_elements<T>(d, 0, mul_sat(rows, keys), "scores");
  if (scores == nullptr) return;
  const uint64_t per_task = std::max<uint64_t>(1, kScoreElementsPerTask / keys);
  kernel_parallel_for(rows, per_task, [&](uint64_t begin, uint64_t end) {
    std::vector<float> e(keys);
    for (uint64_t r = begin; r < end; ++r) {
      T* row = scores + r * keys;
      load_row<A>(row, keys, e.data());
      exp_shifted(e.data(), keys);
      vec_div_scalar(e.data(), group_sum128(e.data(), keys), e.data(), keys);
      store_row<A>(e.data(), keys, row);
    }
  });
}

// One group per (batch, query position, head), groups in that order. Dots over D ascend from
// +0; the probability sum follows group_sum128; each output channel sums p_j v[j][c] in
// ascending j from +0.
template <typename A>
void attention_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t groups = grid_group_count(d);
  if (groups == 0) return;
  AttentionShape s;
  if (!attention_shape(d, p, p.u[2], p.u[3], &s)) return;
  if (s.keys > kSinglePassMaxKeys) return d.fail("more than 2048 keys for a single-pass kernel");
  const uint64_t batches = ceil_div_u64(groups, mul_sat(s.seq, s.hq));
  const uint64_t rows = mul_sat(mul_sat(batches, s.seq), s.hq);
  const T* q = bound_elements<const T>(d, 0, mul_sat(rows, s.dim), "q");
  const uint64_t cache = mul_sat(mul_sat(mul_sat(batches, s.hkv), s.stride), s.dim);
  const T* kc = bound_elements<const T>(d, 1, cache, "key cache");
  T* out = bound_elements<T>(d, 2, mul_sat(rows, s.dim), "out");
  const T* vc = bound_elements<const T>(d, 4, cache, "value cache");
  const T* mask = s.causal ? nullptr
                           : bound_elements<const T>(d, 5, mul_sat(mul_sat(batches, s.seq), s.keys), "mask");
  if (q == nullptr || kc == nullptr || out == nullptr || vc == nullptr || (!s.causal && mask == nullptr)) {
    return;
  }
  const float scale = attention_scale(s.dim);
  const uint64_t group_heads = s.hq / s.hkv;
  kernel_parallel_for(groups, 1, [&](uint64_t begin, uint64_t end) {
    std::vector<float> qf(s.dim), kf(s.dim), scores(s.keys), acc(s.dim);
    for (uint64_t g = begin; g < end; ++g) {
      const uint64_t h = g % s.hq, r = (g / s.hq) % s.seq, b = g / (s.hq * s.seq);
      const uint64_t head = (b * s.hkv + h / group_heads) * s.stride;
      load_row<A>(q + g * s.dim, s.dim, qf.data());
      for (uint64_t j = 0; j < s.keys; ++j) {
        load_row<A>(kc + (head + j) * s.dim, s.dim, kf.data());
        float dot = 0.0f;
        for (uint64_t c = 0; c < s.dim; ++c) dot += qf[c] * kf[c];
        scores[j] = dot;
      }
      finish_scores<A>(scores.data(), s.keys, s.keys, s.seq, r, scale, s.causal,
                       s.causal ? nullptr : mask + (b * s.seq + r) * s.keys);
      exp_shifted(scores.data(), s.keys);
      vec_div_scalar(scores.data(), group_sum128(scores.data(), s.keys), scores.data(), s.keys);
      round_row<A>(scores.data(), s.keys);
      std::fill(acc.begin(), acc.end(), 0.0f);
      for (uint64_t j = 0; j < s.keys; ++j) {
        load_row<A>(vc + (head + j) * s.dim, s.dim, kf.data());
        for (uint64_t c = 0; c < s.dim; ++c) acc[c] += scores[j] * kf[c];
      }
      store_row<A>(acc.data(), s.dim, out + g * s.dim);
    }
  });
}

// Decoding with 64-wide heads (S = 1): one group per (batch, head). Dots as
// BandwidthKernels::dots64 folds them; scores A(A(A(dot) 0.125) + mask) with no causal term (the
// one query sees every key); the exp sum and the value sums are split over keys j mod 4 and
// combined as (g0 + g1) + (g2 + g3).
template <typename A>
void attention_decode64_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t groups = grid_group_count(d);
  if (groups == 0) return;
  AttentionShape s;
  if (!attention_shape(d, p, kDecodeHeadDim, 1, &s)) return;
  if (s.keys > kSinglePassMaxKeys) return d.fail("more than 2048 keys for a single-pass kernel");
  const uint64_t batches = ceil_div_u64(groups, s.hq);
  const uint64_t rows = mul_sat(batches, s.hq);
  const uint64_t cache = mul_sat(mul_sat(mul_sat(batches, s.hkv), s.stride), kDecodeHeadDim);
  const T* q = bound_elements<const T>(d, 0, mul_sat(rows, kDecodeHeadDim), "q");
  const T* kc = bound_elements<const T>(d, 1, cache, "key cache");
  T* out = bound_elements<T>(d, 2, mul_sat(rows, kDecodeHeadDim), "out");
  const T* vc = bound_elements<const T>(d, 4, cache, "value cache");
  const T* mask = s.causal ? nullptr : bound_elements<const T>(d, 5, mul_sat(batches, s.keys), "mask");
  if (q == nullptr || kc == nullptr || out == nullptr || vc == nullptr || (!s.causal && mask == nullptr)) {
    return;
  }
  const BandwidthKernels& bw = bandwidth_kernels();
  const uint64_t group_heads = s.hq / s.hkv;
  const uint64_t head_bytes = mul_sat(s.keys, 2 * kDecodeHeadDim * sizeof(T));
  const uint64_t heads_per_task = std::max<uint64_t>(1, kDecodeMinTaskBytes / std::max<uint64_t>(1, head_bytes));
  kernel_parallel_for(groups, heads_per_task, [&](uint64_t begin, uint64_t end) {
    float qf[kDecodeHeadDim];
    std::vector<float> scores(s.keys), mask_row(s.causal ? 0 : s.keys);
    float partial[4 * kDecodeHeadDim];
    for (uint64_t g = begin; g < end; ++g) {
      const uint64_t h = g % s.hq, b = g / s.hq;
      const uint64_t head = (b * s.hkv + h / group_heads) * s.stride * kDecodeHeadDim;
      load_row<A>(q + g * kDecodeHeadDim, kDecodeHeadDim, qf);
      if constexpr (A::kIsFloat) {
        bw.dots64_f32(qf, kc + head, s.keys, scores.data());
      } else {
        bw.dots64_f16(qf, kc + head, s.keys, scores.data());
      }
      round_row<A>(scores.data(), s.keys);
      vec_mul_scalar(scores.data(), kDecodeScale, scores.data(), s.keys);
      round_row<A>(scores.data(), s.keys);
      if (!s.causal) {
        load_row<A>(mask + b * s.keys, s.keys, mask_row.data());
        vec_add(scores.data(), mask_row.data(), scores.data(), s.keys);
        round_row<A>(scores.data(), s.keys);
      }
      exp_shifted(scores.data(), s.keys);
      float sums[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      for (uint64_t j = 0; j < s.keys; ++j) sums[j % 4] += scores[j];
      const float sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
      vec_div_scalar(scores.data(), sum, scores.data(), s.keys);
      round_row<A>(scores.data(), s.keys);
      std::fill(partial, partial + 4 * kDecodeHeadDim, 0.0f);
      if constexpr (A::kIsFloat) {
        bw.accumulate64_f32(scores.data(), vc + head, s.keys, partial);
      } else {
        bw.accumulate64_f16(scores.data(), vc + head, s.keys, partial);
      }
      for (uint64_t c = 0; c < kDecodeHeadDim; ++c) {
        qf[c] = (partial[c] + partial[64 + c]) + (partial[128 + c] + partial[192 + c]);
      }
      store_row<A>(qf, kDecodeHeadDim, out + g * kDecodeHeadDim);
    }
  });
}

VEXA_INSTANTIATE_KERNEL(attention_scale_mask_kernel);
VEXA_INSTANTIATE_KERNEL(attention_softmax_kernel);
VEXA_INSTANTIATE_KERNEL(attention_kernel);
VEXA_INSTANTIATE_KERNEL(attention_decode64_kernel);

}  // namespace vexa
