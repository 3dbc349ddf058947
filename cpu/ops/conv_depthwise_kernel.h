// The direct depthwise kernel's templates, compiled once per instruction set: include only
// from conv_depthwise_avx2.cpp and conv_depthwise_avx512.cpp. Everything here has internal
// linkage, so each file keeps the code its own flags produced.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "cpu/ops/conv_avx2_inline.h"
#include "cpu/ops/conv_depthwise_simd.h"

namespace vexa::cpu {
namespace {  // NOLINT: one copy per instruction-set file, by design

constexpr int64_t kLanes = kDepthwiseDirectLanes;

// Epilogue applied in registers before each store, fixed per plane.
enum EpilogueKind { kRaw = 0, kBias = 1, kBiasRelu = 2, kBiasClip = 3 };

struct Plane {
  float* y;
  int64_t h, ow, pt;
  // A missing bias adds 0: no sum is -0 (it starts at +0, and x + y is -0 only when both
  // are), so that leaves every bit as it is.
  __m256 bias, lo, hi;
};

// Where input row ih starts for a block walk: base + ih * stride; block b's first column
// at col0 + b * 8 * stride_w. Either the staged padded rows or the input itself.
struct Rows {
  const float* base;
  int64_t stride, col0;
};

// The K tap vectors of one input row for one block of eight outputs. Stride 1: one load per
// tap column. Stride 2: a pair of eight-float loads per two tap columns, split into even and
// odd columns within 128-bit halves, which leaves output lanes in the order 0 1 4 5 2 3 6 7;
// the store puts them back (every step is per lane, so the order is free).
template <int K, int S>
inline void row_taps(const float* row, __m256* t) {
  if constexpr (S == 1) {
#pragma GCC unroll 8
    for (int kw = 0; kw < K; ++kw) t[kw] = _mm256_loadu_ps(row + kw);
  } else {
#pragma GCC unroll 8
    for (int m = 0; m < (K + 1) / 2; ++m) {
      const __m256 a = _mm256_loadu_ps(row + 2 * m);
      if (2 * m + 1 < K) {
        const __m256 b = _mm256_loadu_ps(row + 2 * m + kLanes);
        t[2 * m] = _mm256_shuffle_ps(a, b, 0x88);
        t[2 * m + 1] = _mm256_shuffle_ps(a, b, 0xDD);
      } else {
        // The last column alone: the second load one float earlier, its odd floats taken,
        // so the block reads nothing past its last tap (the right edge block of an even
        // row then reads the input itself).
        const __m256 b = _mm256_loadu_ps(row + 2 * m + kLanes - 1);
        t[2 * m] = _mm256_shuffle_ps(a, b, 0xD8);
      }
    }
  }
}

template <int S, int kMode>
inline void store_block(const Plane& p, float* out, int64_t n, __m256 v) {
  // The bias, then ReLU or Clip, each as the vector routines of the separate epilogue.
  if constexpr (kMode != kRaw) v = _mm256_add_ps(v, p.bias);
  if constexpr (kMode == kBiasRelu) {
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ));  // NaN gives 0
  } else if constexpr (kMode == kBiasClip) {
    // lo if v < lo, else hi if v > hi, else v (NaN stays; lo wins when lo > hi).
    const __m256 upper = _mm256_blendv_ps(v, p.hi, _mm256_cmp_ps(v, p.hi, _CMP_GT_OQ));
    v = _mm256_blendv_ps(upper, p.lo, _mm256_cmp_ps(v, p.lo, _CMP_LT_OQ));
  }
  if constexpr (S == 2) v = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0xD8));
  if (n >= kLanes) {
    _mm256_storeu_ps(out, v);
  } else {
    store_first_lanes(out, v, n);
  }
}

// R output rows from oh0 times NB blocks of eight outputs from ow0: R x NB independent sums,
// each input row loaded once for every output row that uses it.
template <int K, int S, int R, int NB, int kMode, bool kAllRows>
inline __attribute__((always_inline)) void tile(const Plane& p, const Rows& src,
                                                const __m256* wv, int64_t oh0,
                                                int64_t ow0) {
  __m256 acc[R][NB];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
    for (int nb = 0; nb < NB; ++nb) acc[r][nb] = _mm256_setzero_ps();
#pragma GCC unroll 16
  for (int i = 0; i < (R - 1) * S + K; ++i) {
    const int64_t ih = oh0 * S - p.pt + i;
    if (!kAllRows && (ih < 0 || ih >= p.h)) continue;  // rows outside the plane add nothing
    const float* row = src.base + ih * src.stride + src.col0 + ow0 * S;
#pragma GCC unroll 4
    for (int nb = 0; nb < NB; ++nb) {
      __m256 t[K];
      row_taps<K, S>(row + nb * kLanes * S, t);
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) {
        const int kh = i - r * S;
        if (kh < 0 || kh >= K) continue;
#pragma GCC unroll 8
        for (int kw = 0; kw < K; ++kw)
          acc[r][nb] = _mm256_fmadd_ps(t[kw], wv[kh * K + kw], acc[r][nb]);
      }
    }
  }
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 4
    for (int nb = 0; nb < NB; ++nb) {
      const int64_t ow = ow0 + nb * kLanes;
      store_block<S, kMode>(p, p.y + (oh0 + r) * p.ow + ow, p.ow - ow, acc[r][nb]);
    }
  }
}

// R output rows across the plane: blocks before first_inner and from end_inner on read the
// staged rows, the others the input itself.
template <int K, int S, int R, int NB, int kMode, bool kAllRows>
void blocks_of_rows(const Plane& p, const Rows& staged, const Rows& direct, const __m256* wv,
                    int64_t oh0, int64_t blocks, int64_t first_inner, int64_t end_inner) {
  int64_t b = 0;
  for (; b < first_inner; ++b) tile<K, S, R, 1, kMode, kAllRows>(p, staged, wv, oh0, b * kLanes);
  for (; b + NB <= end_inner; b += NB)
    tile<K, S, R, NB, kMode, kAllRows>(p, direct, wv, oh0, b * kLanes);
  for (; b < end_inner; ++b) tile<K, S, R, 1, kMode, kAllRows>(p, direct, wv, oh0, b * kLanes);
  for (; b < blocks; ++b) tile<K, S, R, 1, kMode, kAllRows>(p, staged, wv, oh0, b * kLanes);
}

// R output rows across the plane: blocks before first_inner and from end_inner on read the
// staged rows, the others the input itself. Rows whose window lies inside the plane skip the
// per-row bounds test.
template <int K, int S, int R, int NB, int kMode>
void rows_of_blocks(const Plane& p, const Rows& staged, const Rows& direct, const __m256* wv,
                    int64_t oh0, int64_t blocks, int64_t first_inner, int64_t end_inner) {
  if (oh0 * S - p.pt >= 0 && (oh0 + R - 1) * S - p.pt + K <= p.h) {
    blocks_of_rows<K, S, R, NB, kMode, true>(p, staged, direct, wv, oh0, blocks, first_inner,
                                             end_inner);
  } else {
    blocks_of_rows<K, S, R, NB, kMode, false>(p, staged, direct, wv, oh0, blocks, first_inner,
                                              end_inner);
  }
}

// Input columns [c0, c1) of a row of w floats to out (the row's column 0), as whole
// eight-float copies that stay inside the row (an overlapping last copy, or one moved left,
// only rewrites columns with their own values).
inline void stage_columns(const float* src, int64_t w, int64_t c0, int64_t c1, float* out) {
  for (int64_t c = c0; c < c1; c += kLanes) {
    const int64_t at = std::min(c, w - kLanes);
    _mm256_storeu_ps(out + at, _mm256_loadu_ps(src + at));
  }
}

// A row shorter than eight floats, whole, with zeros after it (where the staged row holds
// zeros anyway). The eight floats from the row's start are read when they lie inside the
// plane, else the plane's last eight, moved into place; a masked load would do the same but
// runs slowly on some cores. Planes under eight floats are copied one float at a time.
inline void stage_short_row(const float* src, int64_t w, const float* plane_begin,
                            const float* plane_end, float* out) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i keep = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(w)), lane);
  __m256 v;
  if (plane_end - src >= kLanes) {
    v = _mm256_loadu_ps(src);
  } else if (plane_end - plane_begin >= kLanes) {
    const int32_t shift = static_cast<int32_t>(src + kLanes - plane_end);
    v = _mm256_permutevar8x32_ps(_mm256_loadu_ps(plane_end - kLanes),
                                 _mm256_add_epi32(lane, _mm256_set1_epi32(shift)));
  } else {
    for (int64_t i = 0; i < w; ++i) out[i] = src[i];
    return;
  }
  _mm256_storeu_ps(out, _mm256_and_ps(v, _mm256_castsi256_ps(keep)));
}

// Zeros in columns [0, pl) and [pl + w, row_stride) of `rows` staged rows; the staging of
// input columns writes nothing else there.
inline void zero_staged_pads(float* scratch, int64_t rows, int64_t w, int64_t pl,
                             int64_t row_stride) {
  const __m256 zero = _mm256_setzero_ps();
  for (int64_t r = 0; r < rows; ++r) {
    float* row = scratch + r * row_stride;
    if (pl > 0) _mm256_storeu_ps(row, zero);  // pl < k <= 5 < 8; the input is staged after
    for (int64_t c = pl + w; c < row_stride; c += kLanes)
      _mm256_storeu_ps(row + std::min(c, row_stride - kLanes), zero);
  }
}

// Which blocks read the input itself and which input columns the others need staged.
// Block b's loads cover padded columns b * 8 S to b * 8 S + reach. Inner blocks, whose
// columns all hold input (pl to pl + w - 1), read the input; edge blocks read staged rows
// holding input columns [0, left_end) and [right_begin, w).
template <int K, int S>
struct BlockSplit {
  int64_t blocks, first_inner, end_inner, left_end, right_begin;
  explicit BlockSplit(const DepthwiseDirect& d) {
    constexpr int64_t kBlockCols = kLanes * S;
    constexpr int64_t kReach = S == 1 ? K - 1 + kLanes - 1 : K - 1 + 2 * kLanes - 2;
    blocks = (d.ow + kLanes - 1) / kLanes;
    first_inner = std::min(blocks, (d.pl + kBlockCols - 1) / kBlockCols);
    const int64_t top = d.pl + d.w - 1 - kReach;
    end_inner = std::clamp<int64_t>(top < 0 ? 0 : top / kBlockCols + 1, first_inner, blocks);
    left_end = first_inner > 0 ? (first_inner - 1) * kBlockCols + kReach + 1 - d.pl : 0;
    right_begin = end_inner < blocks ? end_inner * kBlockCols - d.pl : d.w;
  }
};

// Input rows [from, to) of one channel plane x into staged rows (row ih at
// staged + (ih - ih0) * row_stride), the columns the edge blocks read only.
template <int K, int S>
inline void stage_rows(const DepthwiseDirect& d, const BlockSplit<K, S>& split, const float* x,
                       float* staged, int64_t ih0, int64_t from, int64_t to) {
  for (int64_t ih = from; ih < to; ++ih) {
    const float* src = x + ih * d.w;
    float* out = staged + (ih - ih0) * d.row_stride + d.pl;
    if (d.w < kLanes) {
      stage_short_row(src, d.w, x, x + d.h * d.w, out);
    } else if (split.left_end >= split.right_begin) {
      stage_columns(src, d.w, 0, d.w, out);
    } else {
      stage_columns(src, d.w, 0, split.left_end, out);
      stage_columns(src, d.w, split.right_begin, d.w, out);
    }
  }
}

// Output rows [oh_begin, oh_end) of one channel: groups of R rows, then two, then one;
// stage_to(last_oh) is called before each group with the last output row whose input rows
// must be staged by then.
template <int K, int S, int R, int NB, int kMode, class StageTo>
void output_rows(const Plane& p, const BlockSplit<K, S>& split, const Rows& staged,
                 const Rows& direct, const __m256* wv, int64_t oh_begin, int64_t oh_end,
                 StageTo&& stage_to) {
  int64_t oh = oh_begin;
  for (; oh + R <= oh_end; oh += R) {
    stage_to(std::min(oh + 2 * R, oh_end) - 1);
    rows_of_blocks<K, S, R, NB, kMode>(p, staged, direct, wv, oh, split.blocks,
                                       split.first_inner, split.end_inner);
  }
  if constexpr (R > 2) {
    for (; oh + 2 <= oh_end; oh += 2) {
      stage_to(oh_end - 1);
      rows_of_blocks<K, S, 2, NB, kMode>(p, staged, direct, wv, oh, split.blocks,
                                         split.first_inner, split.end_inner);
    }
  }
  for (; oh < oh_end; ++oh) {
    stage_to(oh_end - 1);
    rows_of_blocks<K, S, 1, NB, kMode>(p, staged, direct, wv, oh, split.blocks,
                                       split.first_inner, split.end_inner);
  }
}

// Output rows [0, oh) of a plane staged whole with zero rows above and below it: every
// tile reads staged rows only, so none tests its rows against the plane (zero rows add zero
// products, the bits of skipping them).
template <int K, int S, int R, int NB, int kMode>
void padded_rows_of_blocks(const Plane& p, const Rows& staged, const __m256* wv, int64_t oh0,
                           int64_t blocks) {
  int64_t b = 0;
  for (; b + NB <= blocks; b += NB) tile<K, S, R, NB, kMode, true>(p, staged, wv, oh0, b * kLanes);
  for (; b < blocks; ++b) tile<K, S, R, 1, kMode, true>(p, staged, wv, oh0, b * kLanes);
}

template <int K, int S, int R, int NB, int kMode>
void padded_plane(const Plane& p, const Rows& staged, const __m256* wv, int64_t oh_count,
                  int64_t blocks) {
  int64_t oh = 0;
  for (; oh + R <= oh_count; oh += R) padded_rows_of_blocks<K, S, R, NB, kMode>(p, staged, wv, oh, blocks);
  if constexpr (R > 2) {
    for (; oh + 2 <= oh_count; oh += 2)
      padded_rows_of_blocks<K, S, 2, NB, kMode>(p, staged, wv, oh, blocks);
  }
  for (; oh < oh_count; ++oh) padded_rows_of_blocks<K, S, 1, NB, kMode>(p, staged, wv, oh, blocks);
}

// Input rows [0, rows) of plane x whole into staged rows (row ih at staged + ih * row_stride,
// column 0 at pl).
inline void stage_whole_rows(const DepthwiseDirect& d, const float* x, float* staged,
                             int64_t rows) {
  for (int64_t ih = 0; ih < rows; ++ih) {
    const float* src = x + ih * d.w;
    float* out = staged + ih * d.row_stride + d.pl;
    if (d.w < kLanes) {
      stage_short_row(src, d.w, x, x + d.h * d.w, out);
    } else {
      stage_columns(src, d.w, 0, d.w, out);
    }
  }
}

template <int K, int S, int R, int NB, int kMode>
void planes(const DepthwiseDirect& d, int64_t channels, const float* x, const float* w,
            float* y, const float* bias, Plane p, float* scratch) {
  const BlockSplit<K, S> split(d);
  const int64_t in_plane = d.h * d.w, out_plane = d.oh * d.ow;
  // Small planes are staged whole, padding rows included, twice over: the next channel is
  // staged while this one is computed, so no staged row is read back right after it was
  // written (a load spanning queued stores waits for them to drain).
  const int64_t window_end = (d.oh - 1) * S - d.pt + K;  // one past the last input row read
  const int64_t used_rows = std::min(d.h, window_end);
  const int64_t pad_bottom = std::max<int64_t>(0, window_end - d.h);
  const int64_t plane_floats = (d.pt + used_rows + pad_bottom) * d.row_stride;
  if (channels > 1 && 2 * plane_floats <= kDepthwiseDirectScratchFloats) {
    const __m256 zero = _mm256_setzero_ps();
    for (int64_t i = 0; i < 2; ++i) {
      float* buf = scratch + i * plane_floats;
      for (int64_t c = 0; c < d.pt * d.row_stride; c += kLanes) _mm256_storeu_ps(buf + c, zero);
      float* below = buf + (d.pt + used_rows) * d.row_stride;
      for (int64_t c = 0; c < pad_bottom * d.row_stride; c += kLanes)
        _mm256_storeu_ps(below + c, zero);
      zero_staged_pads(buf + d.pt * d.row_stride, used_rows, d.w, d.pl, d.row_stride);
    }
    const int64_t blocks = (d.ow + kLanes - 1) / kLanes;
    stage_whole_rows(d, x, scratch + d.pt * d.row_stride, used_rows);
    for (int64_t c = 0; c < channels; ++c) {
      p.y = y + c * out_plane;
      if constexpr (kMode != kRaw) p.bias = _mm256_set1_ps(bias != nullptr ? bias[c] : 0.0f);
      __m256 wv[K * K];
      for (int t = 0; t < K * K; ++t) wv[t] = _mm256_set1_ps(w[c * K * K + t]);
      if (c + 1 < channels) {
        float* next = scratch + ((c + 1) & 1) * plane_floats + d.pt * d.row_stride;
        stage_whole_rows(d, x + (c + 1) * in_plane, next, used_rows);
      }
      const float* own = scratch + (c & 1) * plane_floats + d.pt * d.row_stride;
      padded_plane<K, S, R, NB, kMode>(p, Rows{own, d.row_stride, 0}, wv, d.oh, blocks);
    }
    return;
  }
  const int64_t band_in_rows = std::min<int64_t>(d.h, (d.band_rows - 1) * S + K);
  zero_staged_pads(scratch, band_in_rows, d.w, d.pl, d.row_stride);
  for (int64_t c = 0; c < channels; ++c) {
    const float* xc = x + c * in_plane;
    p.y = y + c * out_plane;
    if constexpr (kMode != kRaw) p.bias = _mm256_set1_ps(bias != nullptr ? bias[c] : 0.0f);
    __m256 wv[K * K];
    for (int t = 0; t < K * K; ++t) wv[t] = _mm256_set1_ps(w[c * K * K + t]);
    const Rows direct{xc, d.w, -d.pl};
    for (int64_t oh0 = 0; oh0 < d.oh; oh0 += d.band_rows) {
      const int64_t oh_end = std::min(d.oh, oh0 + d.band_rows);
      const int64_t ih0 = std::max<int64_t>(0, oh0 * S - d.pt);
      // Input rows are staged one group of R output rows ahead of their use: reading the
      // input overlaps the arithmetic on rows staged earlier, and the staged stores have
      // drained before they are read back.
      int64_t next = ih0;
      auto stage_to = [&](int64_t last_oh) {
        const int64_t end = std::min<int64_t>(d.h, last_oh * S - d.pt + K);
        if (end > next) stage_rows(d, split, xc, scratch, ih0, next, end);
        next = std::max(next, end);
      };
      output_rows<K, S, R, NB, kMode>(p, split, Rows{scratch - ih0 * d.row_stride, d.row_stride, 0},
                                      direct, wv, oh0, oh_end, stage_to);
    }
  }
}

template <int K, int S, int R, int NB>
void planes_any(const DepthwiseDirect& d, int64_t channels, const float* x, const float* w,
                float* y, const float* bias, const WindowEpilogue* e, float* scratch) {
  const __m256 zero = _mm256_setzero_ps();
  Plane p{y, d.h, d.ow, d.pt, zero, zero, zero};
  if (e == nullptr && bias == nullptr) {
    planes<K, S, R, NB, kRaw>(d, channels, x, w, y, nullptr, p, scratch);
    return;
  }
  if (e != nullptr) {
    p.lo = _mm256_set1_ps(e->lo);
    p.hi = _mm256_set1_ps(e->hi);
  }
  switch (e != nullptr ? e->mode : WindowEpilogue::kNone) {
    case WindowEpilogue::kRelu: planes<K, S, R, NB, kBiasRelu>(d, channels, x, w, y, bias, p, scratch); break;
    case WindowEpilogue::kClip: planes<K, S, R, NB, kBiasClip>(d, channels, x, w, y, bias, p, scratch); break;
    default: planes<K, S, R, NB, kBias>(d, channels, x, w, y, bias, p, scratch); break;
  }
}

// The direct kernel for square windows of 3 or 5 at stride 1 or 2 with R output rows and NB
// blocks per tile.
template <int R, int NB>
void depthwise_planes_direct(const DepthwiseDirect& d, int64_t channels, const float* x,
                             const float* w, float* y, const float* bias,
                             const WindowEpilogue* epilogue, float* scratch) {
  if (d.k == 3) {
    if (d.stride == 1) {
      planes_any<3, 1, R, NB>(d, channels, x, w, y, bias, epilogue, scratch);
    } else {
      planes_any<3, 2, R, NB>(d, channels, x, w, y, bias, epilogue, scratch);
    }
  } else if (d.k == 5) {
    if (d.stride == 1) {
      planes_any<5, 1, R, NB>(d, channels, x, w, y, bias, epilogue, scratch);
    } else {
      planes_any<5, 2, R, NB>(d, channels, x, w, y, bias, epilogue, scratch);
    }
  }
}

}  // namespace
}  // namespace vexa::cpu
