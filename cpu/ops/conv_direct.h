// Direct convolution of dense windows (one group), without a column matrix.
//
// Tasks take a range of output rows and a group of 16-channel output blocks. Each copies the
// zero-padded input rows its outputs read into a buffer of its own thread, then computes its
// blocks up to six outputs at a time (a run of outputs may cross from one row into the next)
// from weights packed at build, so that the 16 channels of every (input channel, kh, kw)
// tap lie together. No scratch is written by one core and read by another.
//
// Each output is one chain of fused multiply-adds over (input channel, kh, kw) in that order,
// starting from 0, whatever the task split: results do not depend on the thread count, and
// the vector kernel gives the portable kernel's bits.
#pragma once

#include <cstdint>

#include "cpu/ops/conv.h"

namespace vexa::cpu {

inline constexpr int64_t kDirectBlockChannels = 16;  // output channels per packed block
inline constexpr int64_t kDirectMaxTile = 6;         // adjacent outputs per kernel call

// True when a convolution of this shape takes the direct path (decided by the shape alone).
bool cpu_conv_direct_eligible(const ConvGeometry& g);
// Floats of the packed weights: C_out rounded up to 16, times C_in x KH x KW.
uint64_t cpu_conv_direct_weight_floats(const ConvGeometry& g);
// Weights C_out x C_in x KH x KW to packed[block][ic][kh][kw][16]; channels past C_out in
// the last block are zero.
void cpu_conv_direct_pack(const ConvGeometry& g, const float* weights, float* packed);

// Convolution of every batch item and its epilogue (a residual covers every batch item,
// laid out as y). False, with y untouched, when the shape is not eligible. Throws
// std::bad_alloc when a thread cannot get room for its padded rows.
bool cpu_conv2d_direct(const ConvGeometry& g, const float* x, const float* packed_weights,
                       float* y, const ConvEpilogue& epilogue);

// One kernel call: for j < pixels (1..6) and l < 16,
//   out[j * 16 + l] = sum over c < c_in, then kh < kh_count, then kw < kw_count of
//     x[c * channel_stride + kh * row_stride + p_j + kw]
//       * w[((c * kh_count + kh) * kw_count + kw) * 16 + l],
// each step a fused multiply-add onto the sum so far, which starts at 0. Output j's window
// starts at p_j = offsets[j], or j * stride without offsets (outputs of one row); offsets
// let a call take outputs from two rows, so narrow rows still fill six-output tiles.
// With y set, the sums go to y[l * y_stride + j] instead (all 16 channels, out unused): the
// vector kernel transposes the tile in registers rather than leaving 96 single floats for
// the caller to spread over the channel planes. There each sum first gets the store
// epilogue, one IEEE operation per step as the separate epilogue routines round it:
// + bias[l] (when bias is set), then + residual[l * y_stride + j] (when set), then ReLU
// (NaN gives 0) or Clip to [lo, hi] (NaN stays; lo wins when lo > hi) as `activation` says.
enum DirectActivation : int32_t { kDirectNone = 0, kDirectRelu = 1, kDirectClip = 2 };
struct DirectTile {
  const float* x = nullptr;
  const float* w = nullptr;
  int64_t c_in = 0, kh_count = 0, kw_count = 0;
  int64_t channel_stride = 0, row_stride = 0, stride = 1;
  const int64_t* offsets = nullptr;
  float* y = nullptr;
  int64_t y_stride = 0;
  const float* bias = nullptr;
  const float* residual = nullptr;
  int32_t activation = kDirectNone;
  float lo = 0.0f, hi = 0.0f;
};
// The store epilogue's activation step on one value.
inline float direct_activation(float v, int32_t activation, float lo, float hi) {
  if (activation == kDirectRelu) return v >= 0.0f ? v : 0.0f;
  if (activation == kDirectClip) return v < lo ? lo : (v > hi ? hi : v);
  return v;
}
using DirectTileFn = void (*)(const DirectTile& t, int64_t pixels, float* out);
void cpu_direct_tile_portable(const DirectTile& t, int64_t pixels, float* out);
// Null when the CPU lacks AVX2 and FMA.
DirectTileFn cpu_direct_tile_avx2();
// Shallow windows on wide rows take a second kernel with the outputs of one row in the
// lanes, so a block's results reach their planes as whole vectors rather than lane by lane
// (with a few taps per output, spreading 6 x 16 tiles over 16 planes cost as much as the
// arithmetic). One call: for r < channels (1..4) and p < pixels (1..24),
//   y[r * y_stride + p] = sum over c < c_in, then kh < kh_count, then kw < kw_count of
//     x[c * channel_stride + kh * row_stride + (kw % stride) * phase_stride + kw / stride + p]
//       * w[((c * kh_count + kh) * kw_count + kw) * 16 + r],
// the same chain of fused multiply-adds as the tile kernel. Each padded row is stored split
// into `stride` phases of phase_stride floats (padded column q at (q % stride) x phase_stride
// + q / stride), so every tap reads adjacent floats; x is readable up to the whole vector
// past the last pixel.
inline constexpr int64_t kDirectRowChannels = 4;
inline constexpr int64_t kDirectRowPixels = 24;
struct DirectRow {
  const float* x = nullptr;
  const float* w = nullptr;
  float* y = nullptr;
  int64_t c_in = 0, kh_count = 0, kw_count = 0;
  int64_t channel_stride = 0, row_stride = 0, phase_stride = 0, stride = 1, y_stride = 0;
  int64_t channels = 0, pixels = 0;
};
using DirectRowFn = void (*)(const DirectRow& r);
void cpu_direct_row_portable(const DirectRow& r);
// Null when the CPU lacks AVX2 and FMA.
DirectRowFn cpu_direct_row_avx2();

// Forces the portable kernels (tests compare them with the vector ones).
void cpu_conv_direct_force_portable(bool on);

}  // namespace vexa::cpu
