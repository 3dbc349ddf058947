// Shapes, score rounding and masking shared by the attention kernels (see attention_kernels.cpp
// for the rules).
#pragma once

#include <algorithm>
#include <cstdint>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"
#include "platform/vector_math.h"

namespace vexa {

struct AttentionShape {
  uint64_t hq, hkv, dim, seq, keys, stride;
  bool causal;
};

// Reads and checks the shape the single-pass and tiled kernels share; false (failed) when it
// cannot be run.
inline bool attention_shape(KernelDispatch& d, const KernelParams& p, uint64_t dim,
                            uint64_t seq, AttentionShape* s) {
  s->hq = p.u[0];
  s->hkv = p.u[1];
  s->dim = dim;
  s->seq = seq;
  s->keys = p.u[4];
  s->stride = p.u[7];
  s->causal = p.u[14] != 0;
  if (s->hq == 0 || s->hkv == 0 || s->hq % s->hkv != 0) {
    d.fail("query heads must be a non-zero multiple of key/value heads");
    return false;
  }
  if (s->dim == 0 || s->seq == 0) {
    d.fail("empty head or query length");
    return false;
  }
  if (s->stride < s->keys) {
    d.fail("cache stride below the key count");
    return false;
  }
  return true;
}

// Columns [0, count) of query row r (of seq rows over keys columns) from their raw dots, in
// place: scaled, rounded, masked. Worked in chunks so the roundings go through the vector forms.
template <typename A>
void finish_scores(float* v, uint64_t count, uint64_t keys, uint64_t seq, uint64_t r, float scale,
                   bool causal, const typename A::T* mask_row) {
  constexpr uint64_t kChunk = 256;
  float mask[kChunk];
  const int64_t last_visible = static_cast<int64_t>(keys) - static_cast<int64_t>(seq) +
                               static_cast<int64_t>(r);
  for (uint64_t c0 = 0; c0 < count; c0 += kChunk) {
    float* w = v + c0;
    const uint64_t len = std::min(kChunk, count - c0);
    // Causal columns past last_visible are masked whatever their value: only those before it
    // are scaled.
    const int64_t visible = std::max<int64_t>(0, last_visible + 1 - static_cast<int64_t>(c0));
    const uint64_t worked = causal ? std::min<uint64_t>(len, visible) : len;
    round_row<A>(w, worked);
    vec_mul_scalar(w, scale, w, worked);
    round_row<A>(w, worked);
    if (causal) {
      std::fill(w + worked, w + len, A::kMaskedScore);
    } else {
      load_row<A>(mask_row + c0, len, mask);
      vec_add(w, mask, w, len);
      round_row<A>(w, len);
    }
  }
}

}  // namespace vexa
