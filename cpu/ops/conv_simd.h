// Vector kernels of the convolution family, built only into the AVX2 file and chosen at run
// time by the CPU's features.
#pragma once

#include <cstdint>

namespace vexa::cpu {

// True when the CPU runs AVX2 code.
bool conv_simd_available();

// One output row of a depthwise convolution over output columns whose taps are all in
// bounds: y[ow] = sum over kh with rows[kh] non-null and kw < kw_count of
// rows[kh][ow * sw + kw * dw + offset] * weights[kh * kw_count + kw], summed from 0 in (kh, kw)
// order, each step one fused multiply-add, so every path rounds alike.
struct DepthwiseRow {
  const float* const* rows;
  const float* weights;
  int64_t kh_count, kw_count, sw, dw, offset;
};
using DepthwiseRowFn = void (*)(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1);
void depthwise_row_portable(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1);
void depthwise_row_avx2(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1);

// A depthwise plane over an explicitly padded copy of its input, band by band: every output
// takes every tap, the padding ones adding a zero product, which leaves the sum's bits as the
// portable loop (that skips them) gives for finite weights. Strides 1 and 2 and kernels up
// to kDepthwiseMaxTaps wide only.
// row_stride and band_rows come from depthwise_padded_layout; scratch holds band_floats
// plus one spare row.
inline constexpr int64_t kDepthwiseMaxTaps = 16;  // kernel width limit of the padded kernel
struct DepthwisePadded {
  int64_t h, w, oh, ow, kh, kw, sh, sw, pt, pl, dh, dw;
  int64_t row_stride;   // floats per padded input row (covers every full 8-lane read)
  int64_t band_rows;    // output rows per band
  int64_t band_floats;  // scratch floats of one band (a spare row follows it)
};
// Per-channel epilogue the padded depthwise kernel applies before storing: the bias add, then
// ReLU or Clip, with the bits of the separate vector passes.
struct WindowEpilogue {
  enum Mode : int32_t { kNone = 0, kRelu = 1, kClip = 2 };
  int32_t mode = kNone;
  bool has_bias = false;
  float bias = 0.0f, lo = 0.0f, hi = 0.0f;
};
void depthwise_plane_padded_avx2(const DepthwisePadded& p, const float* x, const float* w,
                                 float* y, float* scratch, const WindowEpilogue* epilogue);
// One pass over n outputs: the bias (when has_bias), then residual[i] (when not null), then
// ReLU or Clip, each step as the separate vector routines round it.
void conv_epilogue_row_avx2(float* p, int64_t n, const WindowEpilogue& e, const float* residual);
// The same band walk for max pooling (dilation 1): padding taps hold kMaxPoolEmptyValue.
void maxpool_plane_padded_avx2(const DepthwisePadded& p, const float* x, float* y,
                               float* scratch);
inline constexpr float kMaxPoolEmptyValue = -3.4028235e38f;  // as kMaxPoolEmpty

// Band layout for a window of kh x kw taps (dilations dh, dw) over an h x w plane with the
// given output size, strides and top/left padding; false when the padded kernels do not
// take the shape. Scratch: kPaddedBandFloats.
inline constexpr int64_t kPaddedBandFloats = 8192;
bool padded_window_layout(int64_t h, int64_t w, int64_t oh, int64_t ow, int64_t kh, int64_t kw,
                          int64_t sh, int64_t sw, int64_t pt, int64_t pl, int64_t dh, int64_t dw,
                          DepthwisePadded* p);

// dst[i] = src[2 i] for i < n (reads src[0 .. 2n - 2] only).
void copy_stride2_avx2(float* dst, const float* src, int64_t n);

}  // namespace vexa::cpu
