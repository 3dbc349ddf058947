// Pooling kernels over NCHW planes.
#pragma once

#include <cstdint>

namespace vexa::cpu {

struct PoolGeometry {
  int64_t planes = 0;  // N x C
  int32_t h = 0, w = 0, oh = 0, ow = 0;
  int32_t kh = 1, kw = 1, sh = 1, sw = 1, pt = 0, pl = 0;
  bool exclude_pad = false;  // average over the in-bounds taps only (ONNX count_include_pad=0)
};

// Lowest finite f32: a window with no in-bounds tap yields it, never -infinity.
inline constexpr float kMaxPoolEmpty = -3.4028235e38f;

// Max over the in-bounds taps; NaN inputs never win.
void cpu_maxpool(const PoolGeometry& g, const float* x, float* y);
// Forces the portable max-pooling loop (tests compare the two paths).
void cpu_pool_force_portable(bool on);
// Sum of the in-bounds taps divided by KH x KW (padding counts as zeros), or with exclude_pad
// by the number of in-bounds taps.
void cpu_avgpool(const PoolGeometry& g, const float* x, float* y);
// Mean of each H x W plane, accumulated in double precision.
void cpu_global_avgpool(int64_t planes, int64_t plane_size, const float* x, float* y);

}  // namespace vexa::cpu
