// The channel-lane kernel's templates (see depthwise_channels_layout), for depthwise sums and
// max pooling, compiled once per instruction set: include only from conv_depthwise_channels_avx2.cpp and
// conv_depthwise_channels_avx512.cpp. Everything here has internal linkage, so each file
// keeps the code its own flags produced.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "cpu/ops/conv_avx2_inline.h"
#include "cpu/ops/conv_depthwise_simd.h"
#include "cpu/ops/transpose_avx2_inline.h"

namespace vexa::cpu {
namespace {  // NOLINT: one copy per instruction-set file, by design

constexpr int64_t kLanes = kDepthwiseChannelLanes;

// Padded rows [r0, r1) of eight channel planes (x, plane floats apart) into s, row r at
// s + (r - r0) x cols x 8, padded column q's eight channels at q x 8: input row r - pt,
// column q - pl, and outside the input zeros (sums) or the empty value (max pooling, where
// it never wins). Reads only input floats.
template <bool kMax>
inline void stage_rows(const DepthwiseChannels& d, const float* x, int64_t plane, int64_t r0,
                       int64_t r1, float* s) {
  const __m256 zero = _mm256_set1_ps(kMax ? kMaxPoolEmptyValue : 0.0f);
  const int64_t row_floats = d.cols * kLanes;
  for (int64_t r = r0; r < r1; ++r, s += row_floats) {
    const int64_t ih = r - d.pt;
    if (ih < 0 || ih >= d.h) {
      for (int64_t i = 0; i < row_floats; i += kLanes) _mm256_storeu_ps(s + i, zero);
      continue;
    }
    for (int64_t q = 0; q < d.pl; ++q) _mm256_storeu_ps(s + q * kLanes, zero);
    for (int64_t q = d.pl + d.used; q < d.cols; ++q) _mm256_storeu_ps(s + q * kLanes, zero);
    const float* src = x + ih * d.w;
    float* dst = s + d.pl * kLanes;
    if (d.used < kLanes) {
      if (plane < kLanes) {
        for (int64_t i = 0; i < d.used; ++i)
          for (int64_t c = 0; c < kLanes; ++c) dst[i * kLanes + c] = src[c * plane + i];
        continue;
      }
      // A short row: eight floats from its start, or the plane's last eight, which hold it
      // too; whole-vector stores, so the loads of the sums that follow take their values
      // straight from the store queue.
      const int64_t at = std::min(ih * d.w, plane - kLanes);
      __m256 t[kLanes];
#pragma GCC unroll 8
      for (int c = 0; c < kLanes; ++c) t[c] = _mm256_loadu_ps(x + c * plane + at);
      transpose8(t);
      const int64_t first = ih * d.w - at;
      for (int64_t i = 0; i < d.used; ++i) _mm256_storeu_ps(dst + i * kLanes, t[first + i]);
      continue;
    }
    // Eight columns at a time; the last eight end at the last column used (they may repeat
    // columns already written, with the same values).
    for (int64_t i = 0; i < d.used; i += kLanes) {
      const int64_t at = std::min(i, d.used - kLanes);
      __m256 t[kLanes];
#pragma GCC unroll 8
      for (int c = 0; c < kLanes; ++c) t[c] = _mm256_loadu_ps(src + c * plane + at);
      transpose8(t);
#pragma GCC unroll 8
      for (int j = 0; j < kLanes; ++j) _mm256_storeu_ps(dst + (at + j) * kLanes, t[j]);
    }
  }
}

// The N positions whose windows start at at(j) (staged floats), eight channels each, taps
// (kh, kw) in order: sums from 0, one fused multiply-add each, or (kMax) maxima from the
// empty value, where a tap replaces the maximum only when greater (a NaN tap never wins, the
// first of equal values stays); then the store epilogue.
template <int K, int N, bool B, int M, bool kMax, class At>
inline void sums(const At& at, int64_t row_floats, const __m256* wv, __m256 bias, __m256 lo,
                 __m256 hi, __m256* acc) {
#pragma GCC unroll 16
  for (int j = 0; j < N; ++j)
    acc[j] = kMax ? _mm256_set1_ps(kMaxPoolEmptyValue) : _mm256_setzero_ps();
  for (int kh = 0; kh < K; ++kh) {
    const int64_t row = kh * row_floats;
#pragma GCC unroll 5
    for (int kw = 0; kw < K; ++kw) {
      const __m256 wt = kMax ? _mm256_setzero_ps() : wv[kh * K + kw];
#pragma GCC unroll 16
      for (int j = 0; j < N; ++j) {
        const __m256 tap = _mm256_loadu_ps(at(j) + row + kw * kLanes);
        acc[j] = kMax ? _mm256_max_ps(tap, acc[j]) : _mm256_fmadd_ps(tap, wt, acc[j]);
      }
    }
  }
  const __m256 none = _mm256_setzero_ps();
#pragma GCC unroll 16
  for (int j = 0; j < N; ++j) acc[j] = epilogue_steps<B, false, M>(acc[j], bias, none, lo, hi);
}

// Positions q..q + n - 1 of the plane (n <= N, N a multiple of 8) from the sums acc, one
// channel per lane, to the eight channel planes.
template <int N>
inline void store_positions(const __m256* acc, int64_t n, float* y, int64_t out_plane) {
#pragma GCC unroll 2
  for (int h = 0; h < N / kLanes; ++h) {
    const int64_t m = std::min<int64_t>(kLanes, n - h * kLanes);
    if (m <= 0) break;
    __m256 t[kLanes];
#pragma GCC unroll 8
    for (int c = 0; c < kLanes; ++c) t[c] = acc[h * kLanes + c];
    transpose8(t);
    float* out = y + h * kLanes;
    if (m == kLanes) {
#pragma GCC unroll 8
      for (int c = 0; c < kLanes; ++c) _mm256_storeu_ps(out + c * out_plane, t[c]);
    } else {
      for (int c = 0; c < kLanes; ++c) store_first_lanes(out + c * out_plane, t[c], m);
    }
  }
}

// Output rows [oh0, oh1) of eight channels from the staged band whose first row is padded
// row r0: N, then eight positions at a time, each run's windows addressed from one pointer.
// A row's last run of eight ends at the row's end, computing again some positions already
// stored (the same sums, so the same bits); a row narrower than eight stores the positions
// it has (staged rows hold room for eight).
template <int K, int S, int N, bool B, int M, bool kMax>
void band_positions(const DepthwiseChannels& d, const float* s, int64_t r0, int64_t oh0,
                    int64_t oh1, const __m256* wv, __m256 bias, __m256 lo, __m256 hi, float* y,
                    int64_t out_plane) {
  const int64_t row_floats = d.cols * kLanes;
  __m256 acc[N];
  for (int64_t oh = oh0; oh < oh1; ++oh) {
    const float* row = s + (oh * S - r0) * row_floats;
    float* out = y + oh * d.ow;
    int64_t ow = 0;
    for (; ow + N <= d.ow; ow += N) {
      const float* base = row + ow * S * kLanes;
      sums<K, N, B, M, kMax>([&](int j) { return base + j * S * kLanes; }, row_floats, wv, bias,
                             lo, hi, acc);
      store_positions<N>(acc, N, out + ow, out_plane);
    }
    while (ow < d.ow) {
      ow = std::max<int64_t>(0, std::min(ow, d.ow - kLanes));
      const float* base = row + ow * S * kLanes;
      sums<K, kLanes, B, M, kMax>([&](int j) { return base + j * S * kLanes; }, row_floats, wv,
                                  bias, lo, hi, acc);
      store_positions<kLanes>(acc, std::min(kLanes, d.ow), out + ow, out_plane);
      ow += kLanes;
    }
  }
}

// w is not read for max pooling (kMax).
template <int K, int S, int N, bool B, int M, bool kMax>
void channel_groups(const DepthwiseChannels& d, int64_t groups, const float* x, const float* w,
                    float* y, const float* bias, const WindowEpilogue* e, float* scratch) {
  const int64_t in_plane = d.h * d.w, out_plane = d.oh * d.ow;
  const __m256 lo = _mm256_set1_ps(e != nullptr ? e->lo : 0.0f);
  const __m256 hi = _mm256_set1_ps(e != nullptr ? e->hi : 0.0f);
  for (int64_t g = 0; g < groups; ++g) {
    const float* xg = x + g * kLanes * in_plane;
    float* yg = y + g * kLanes * out_plane;
    // Tap t of the eight channels, channel c in lane c.
    __m256 wv[K * K];
    for (int t = 0; t < K * K; ++t) {
      alignas(32) float lanes[kLanes] = {};
      if constexpr (!kMax) {
        for (int64_t c = 0; c < kLanes; ++c) lanes[c] = w[(g * kLanes + c) * K * K + t];
      }
      wv[t] = _mm256_load_ps(lanes);
    }
    const __m256 bv = B ? _mm256_loadu_ps(bias + g * kLanes) : _mm256_setzero_ps();
    for (int64_t oh0 = 0; oh0 < d.oh; oh0 += d.band_rows) {
      const int64_t oh1 = std::min(d.oh, oh0 + d.band_rows);
      const int64_t r0 = oh0 * S;
      stage_rows<kMax>(d, xg, in_plane, r0, (oh1 - 1) * S + K, scratch);
      band_positions<K, S, N, B, M, kMax>(d, scratch, r0, oh0, oh1, wv, bv, lo, hi, yg,
                                          out_plane);
    }
  }
}

// channel_groups for the layout's window size and stride, fixed at compile time.
template <int N, bool B, int M, bool kMax>
inline void groups_for_window(const DepthwiseChannels& d, int64_t groups, const float* x,
                              const float* w, float* y, const float* bias,
                              const WindowEpilogue* e, float* scratch) {
  const bool two = d.stride == 2;
  if (d.k == 3) {
    (two ? channel_groups<3, 2, N, B, M, kMax> : channel_groups<3, 1, N, B, M, kMax>)(
        d, groups, x, w, y, bias, e, scratch);
  } else if (d.k == 5) {
    (two ? channel_groups<5, 2, N, B, M, kMax> : channel_groups<5, 1, N, B, M, kMax>)(
        d, groups, x, w, y, bias, e, scratch);
  }
}

// The kernel for this file's instruction set, N positions at a time: window size and
// epilogue fixed at compile time.
template <int N>
inline void depthwise_channels(const DepthwiseChannels& d, int64_t groups, const float* x,
                               const float* w, float* y, const float* bias,
                               const WindowEpilogue* e, float* scratch) {
  with_epilogue_steps(bias != nullptr, false, e != nullptr ? e->mode : WindowEpilogue::kNone,
                      [&]<bool B, bool R, int M>() {
                        groups_for_window<N, B, M, false>(d, groups, x, w, y, bias, e, scratch);
                      });
}

// Max pooling over the same windows, N positions at a time.
template <int N>
inline void maxpool_channels(const DepthwiseChannels& d, int64_t groups, const float* x,
                             float* y, float* scratch) {
  groups_for_window<N, false, WindowEpilogue::kNone, true>(d, groups, x, nullptr, y, nullptr,
                                                           nullptr, scratch);
}

}  // namespace
}  // namespace vexa::cpu
