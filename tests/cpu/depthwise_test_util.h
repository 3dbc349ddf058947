// Shapes, bit comparison and the store epilogue in scalar form, shared by the depthwise
// kernel tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
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

// The portable loop's planes for every channel of a depthwise shape.
inline std::vector<float> depthwise_reference(const ConvGeometry& g, const std::vector<float>& x,
                                              const std::vector<float>& w) {
  const size_t plane = static_cast<size_t>(g.oh) * g.ow;
  std::vector<float> raw(g.c_out * plane);
  for (int c = 0; c < g.c_out; ++c) {
    cpu_depthwise_plane_reference(g, x.data() + c * g.h * g.w, w.data() + c * g.kh * g.kw,
                                  raw.data() + c * plane);
  }
  return raw;
}

// For each store epilogue (none, bias, bias and ReLU, Clip, bias and Clip): run(out, bias, e)
// writes every channel's plane to out, which sits between guard floats that must survive;
// the planes must have the bits of `raw` through that epilogue.
template <class Run>
void expect_store_epilogues(const std::vector<float>& raw, size_t plane,
                            const std::vector<float>& bias, Run&& run) {
  WindowEpilogue relu, clip;
  relu.mode = WindowEpilogue::kRelu;
  clip.mode = WindowEpilogue::kClip;
  clip.lo = -0.25f;
  clip.hi = 0.3f;
  struct Epi {
    bool bias;
    const WindowEpilogue* e;
  };
  const Epi epilogues[] = {{false, nullptr}, {true, nullptr}, {true, &relu}, {false, &clip},
                           {true, &clip}};
  for (const Epi& epi : epilogues) {
    const float* b = epi.bias ? bias.data() : nullptr;
    const auto want = with_store_epilogue(raw, plane, b, epi.e);
    const float guard = 12345.0f;
    std::vector<float> out(want.size() + 16, guard);
    run(out.data() + 8, b, epi.e);
    const std::vector<float> got(out.begin() + 8, out.end() - 8);
    const size_t at = first_difference(got, want);
    ASSERT_EQ(at, got.size()) << "element " << at << ": " << got[at] << " vs " << want[at]
                              << " (bias " << epi.bias << ", mode "
                              << (epi.e ? epi.e->mode : -1) << ")";
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(out[i], guard);
      EXPECT_EQ(out[out.size() - 1 - i], guard);
    }
  }
}

}  // namespace vexa::cpu::testing
