// Shapes, bit comparison and the store epilogue in scalar form, shared by the depthwise
// kernel tests.
#pragma once

#include <cstring>
#include <vector>

#include "cpu/ops/conv.h"
#include "cpu/ops/conv_simd.h"

namespace vexa::cpu::testing {

struct DepthwiseShape {
  int c, h, w, k, s, pad;
};

inline ConvGeometry depthwise_geometry(const DepthwiseShape& s) {
  ConvGeometry g;
  g.c_in = g.c_out = g.group = s.c;
  g.h = s.h, g.w = s.w, g.kh = g.kw = s.k, g.sh = g.sw = s.s, g.pt = g.pl = s.pad;
  g.oh = (s.h + 2 * s.pad - s.k) / s.s + 1;
  g.ow = (s.w + 2 * s.pad - s.k) / s.s + 1;
  return g;
}

// The index of the first element whose bits differ, or a.size() when none does.
inline size_t first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return i;
  return a.size();
}

// The kernels' store epilogue in scalar form, as the separate vector routines compute it:
// the bias, then ReLU (NaN gives 0) or Clip (NaN stays; lo wins when lo > hi).
inline float store_epilogue(float v, const float* bias, int c, const WindowEpilogue* e) {
  if (bias != nullptr) v = v + bias[c];
  if (e == nullptr) return v;
  if (e->mode == WindowEpilogue::kRelu) return v >= 0.0f ? v : 0.0f;
  if (e->mode == WindowEpilogue::kClip) return v < e->lo ? e->lo : (v > e->hi ? e->hi : v);
  return v;
}

// Each per-plane reference output through store_epilogue (plane floats per channel).
inline std::vector<float> with_store_epilogue(const std::vector<float>& raw, size_t plane,
                                              const float* bias, const WindowEpilogue* e) {
  std::vector<float> out(raw.size());
  for (size_t i = 0; i < raw.size(); ++i)
    out[i] = store_epilogue(raw[i], bias, static_cast<int>(i / plane), e);
  return out;
}

}  // namespace vexa::cpu::testing
