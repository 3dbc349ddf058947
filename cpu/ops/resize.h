// Resize family: Resize (linear and nearest), GridSample and DeformUnfold on NCHW f32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::cpu {

// Per-axis tables of a linear resize: source rows/columns and blend weights, one entry per
// output row (y*) and column (x*). The tables live in the node's workspace and are as long as
// the output side, so any output size the element limit allows can be resized.
struct ResizeLinearJob {
  const float* input;
  float* output;
  const int32_t* y0;
  const int32_t* y1;
  const float* wy;
  const int32_t* x0;
  const int32_t* x1;
  const float* wx;
  uint64_t h, w, oh, ow;
};

// Source row and column of every output row and column of a nearest resize.
struct ResizeNearestJob {
  const float* input;
  float* output;
  const int32_t* sy;
  const int32_t* sx;
  uint64_t h, w, oh, ow;
};

// Each computes output plane `plane` (n x C + c) of its job.
void cpu_resize_linear_worker(void* job, size_t plane);
void cpu_resize_nearest_worker(void* job, size_t plane);

// Test switch: true makes the linear worker take its portable path even where AVX2 is present.
void cpu_resize_force_portable(bool portable);

// Fills the linear tables of one axis (in -> out entries) with the half-pixel rule, or the
// align-corners rule when align_corners is set.
void cpu_resize_linear_axis(uint64_t in, uint64_t out, bool align_corners, int32_t* i0,
                            int32_t* i1, float* weight);

// Fills the nearest source index of every output entry of one axis: the ONNX default
// (half-pixel centres, ties to the lower index), or align-corners, clamped into the input.
void cpu_resize_nearest_axis(uint64_t in, uint64_t out, bool align_corners, int32_t* index);

}  // namespace vexa::cpu
