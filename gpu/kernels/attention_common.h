// Shapes, score rounding and masking shared by the attention kernels (see attention_kernels.cpp
// for the rules).
#pragma once

#include <algorithm>
#include <cstdint>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"

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

// n A values as floats.
template <typename A>
void load_row(const typename A::T* src, uint64_t n, float* dst) {
  if constexpr (A::kIsFloat) {
    std::copy(src, src + n, dst);
  } else {
    bandwidth_kernels().widen_f16(src, dst, n);
  }
}

// Columns [0, count) of query row r (of seq rows over keys columns) from their raw dots, in
// place: scaled, rounded, masked.
template <typename A>
void finish_scores(float* v, uint64_t count, uint64_t keys, uint64_t seq, uint64_t r, float scale,
                   bool causal, const typename A::T* mask_row) {
  const int64_t last_visible = static_cast<int64_t>(keys) - static_cast<int64_t>(seq) +
                               static_cast<int64_t>(r);
  for (uint64_t c = 0; c < count; ++c) {
    const float s = A::round(A::round(v[c]) * scale);
    if (causal) {
      v[c] = static_cast<int64_t>(c) > last_visible ? A::kMaskedScore : s;
    } else {
      v[c] = A::round(s + A::load(mask_row[c]));
    }
  }
}

}  // namespace vexa
