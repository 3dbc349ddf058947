// Direct vector depthwise kernel: square 3 x 3 and 5 x 5 windows at stride 1 or 2 without
// dilation. Inner columns of large planes are read straight from the input; only the edge
// columns (and small planes whole) are copied with their padding made explicit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cpu/ops/conv_simd.h"

namespace vexa::cpu {

struct DepthwiseDirect {
  int64_t h, w, oh, ow;
  int64_t k;       // window height and width
  int64_t stride;  // along both axes
  int64_t pt, pl;
  int64_t row_stride;  // floats per staged row: left padding, the row, zeros after
  int64_t band_rows;   // output rows per staged band
};

// Scratch floats of the direct kernel (per call, on the caller's stack): the staged rows of
// one band, half the first-level cache, the other half left to the input and output streams.
inline constexpr int64_t kDepthwiseDirectScratchFloats = 4096;
inline constexpr int64_t kDepthwiseDirectLanes = 8;
inline constexpr int64_t kDepthwiseDirectRowGroup = 4;  // output rows the kernel takes at once

// True when the direct kernel takes the shape (it then fills *p).
inline bool depthwise_direct_layout(int64_t h, int64_t w, int64_t oh, int64_t ow, int64_t kh,
                                    int64_t kw, int64_t sh, int64_t sw, int64_t pt, int64_t pl,
                                    int64_t dh, int64_t dw, DepthwiseDirect* p) {
  constexpr int64_t kLanes = kDepthwiseDirectLanes;
  if (kh != kw || (kh != 3 && kh != 5) || sh != sw || (sh != 1 && sh != 2) || dh != 1 ||
      dw != 1 || h < 1 || w < 1 || oh < 1 || ow < 1 || pt < 0 || pl < 0 || pt >= kh ||
      pl >= kw)
    return false;
  const int64_t blocks = (ow + kLanes - 1) / kLanes;
  // The last block's loads reach kLanes - 1 columns past the first column of its last tap
  // (2 kLanes - 2 at stride 2).
  const int64_t reach = sh == 1 ? kh - 1 + kLanes - 1 : kh - 1 + 2 * kLanes - 2;
  const int64_t need = std::max((blocks - 1) * kLanes * sh + reach + 1, pl + std::max(w, kLanes));
  const int64_t row_stride = (need + kLanes - 1) / kLanes * kLanes;
  const int64_t rows_fit = kDepthwiseDirectScratchFloats / row_stride;
  if (rows_fit < kh) return false;
  int64_t band_rows = (rows_fit - kh) / sh + 1;
  // Whole groups of the kernel's output rows per band.
  if (band_rows >= kDepthwiseDirectRowGroup)
    band_rows = band_rows / kDepthwiseDirectRowGroup * kDepthwiseDirectRowGroup;
  band_rows = std::min(oh, band_rows);
  *p = DepthwiseDirect{h, w, oh, ow, kh, sh, pt, pl, row_stride, band_rows};
  return true;
}

// The same windows eight channels at a time, one channel per vector lane. Each band of
// output rows first copies the padded input rows it reads, transposed so that the eight
// channels of one position lie together (zeros for padding); an output position is then one
// vector sum (or maximum, for max pooling) of k x k taps, whatever the stride, and eight
// positions at a time are transposed back to the channel planes. Planes too small to fill a
// row of lanes, and stride 2, where the plane kernel must split even and odd columns, gain
// the most.
inline constexpr int64_t kDepthwiseChannelLanes = 8;
// Floats of one band of transposed rows (64 KB, held in the second-level cache).
inline constexpr int64_t kDepthwiseChannelScratchFloats = 16384;
struct DepthwiseChannels {
  int64_t h, w, oh, ow;
  int64_t k, stride, pt, pl;
  int64_t cols;       // padded columns of a staged row: the windows' (ow - 1) x stride + k,
                      // at least those of eight positions
  int64_t used;       // input columns the windows read: min(w, (ow - 1) x stride + k - pl)
  int64_t band_rows;  // output rows per band
};

// True when the channel kernel takes the shape (it then fills *p): the direct kernel's
// windows, with a band of at least one output row's input rows within the scratch.
inline bool depthwise_channels_layout(int64_t h, int64_t w, int64_t oh, int64_t ow, int64_t kh,
                                      int64_t kw, int64_t sh, int64_t sw, int64_t pt,
                                      int64_t pl, int64_t dh, int64_t dw,
                                      DepthwiseChannels* p) {
  if (kh != kw || (kh != 3 && kh != 5) || sh != sw || (sh != 1 && sh != 2) || dh != 1 ||
      dw != 1 || h < 1 || w < 1 || oh < 1 || ow < 1 || pt < 0 || pl < 0 || pt >= kh ||
      pl >= kw)
    return false;
  // Rows hold at least the windows of eight positions, so a row narrower than that still
  // takes whole runs of eight.
  const int64_t span = (ow - 1) * sw + kw;
  const int64_t cols = std::max(span, (kDepthwiseChannelLanes - 1) * sw + kw);
  const int64_t rows_fit = kDepthwiseChannelScratchFloats / (cols * kDepthwiseChannelLanes);
  if (rows_fit < kh) return false;
  const int64_t band_rows = std::min(oh, (rows_fit - kh) / sh + 1);
  *p = DepthwiseChannels{h, w, oh, ow, kh, sh, pt, pl, cols, std::min(w, span - pl), band_rows};
  return true;
}

// `groups` x 8 channels one after another, as depthwise_planes_direct_avx2 computes them
// (same sums, same bits, same epilogue), with scratch of kDepthwiseChannelScratchFloats.
// Reads only the channels' input floats.
void depthwise_channels_avx2(const DepthwiseChannels& d, int64_t groups, const float* x,
                             const float* w, float* y, const float* bias,
                             const WindowEpilogue* epilogue, float* scratch);
// This thread's scratch for the channel kernels (kDepthwiseChannelScratchFloats; too much
// for a worker's stack frame). Throws std::bad_alloc when the thread cannot get it.
inline float* depthwise_channel_scratch() {
  thread_local std::vector<float> scratch(kDepthwiseChannelScratchFloats);
  return scratch.data();
}

// Max pooling of `groups` x 8 planes over the same windows, as maxpool_plane_padded_avx2
// computes it (same bits).
void maxpool_channels_avx2(const DepthwiseChannels& d, int64_t groups, const float* x, float* y,
                           float* scratch);
// The same kernels and bits, built for CPUs with AVX-512 (F and VL), which they need.
void maxpool_channels_avx512(const DepthwiseChannels& d, int64_t groups, const float* x,
                             float* y, float* scratch);
void depthwise_channels_avx512(const DepthwiseChannels& d, int64_t groups, const float* x,
                               const float* w, float* y, const float* bias,
                               const WindowEpilogue* epilogue, float* scratch);

// `channels` planes one after another: y (channels x oh x ow) from x (channels x h x w) and
// the k x k weights of each channel (w). Small planes are staged whole in scratch
// (kDepthwiseDirectScratchFloats) with zero rows and columns around them, two channels at a
// time; larger ones band by band, the columns the edge blocks read only, while inner blocks
// read the input itself. Every output sums its taps from 0 in (kh, kw) order, one fused
// multiply-add per step; padding taps add a zero product or are skipped, which gives the
// same bits for finite weights. Then, before storing: bias[c] when bias is not null, then
// ReLU or Clip as epilogue->mode says (its bias fields are not read; a null epilogue applies
// nothing more). Reads only the channels' input floats.
void depthwise_planes_direct_avx2(const DepthwiseDirect& p, int64_t channels, const float* x,
                                  const float* w, float* y, const float* bias,
                                  const WindowEpilogue* epilogue, float* scratch);
// The same kernel and bits, built for CPUs with AVX-512 (F and VL), which it needs.
bool depthwise_direct_avx512_available();
void depthwise_planes_direct_avx512(const DepthwiseDirect& p, int64_t channels, const float* x,
                                    const float* w, float* y, const float* bias,
                                    const WindowEpilogue* epilogue, float* scratch);

}  // namespace vexa::cpu
