#include <immintrin.h>

#include <algorithm>

#include "cpu/ops/conv_avx2_inline.h"
#include "cpu/ops/conv_simd.h"

namespace vexa::cpu {

bool conv_simd_available() {
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
}

namespace {

// Even elements of src[0 .. 15].
inline __m256 load_even(const float* src) {
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src), even);
  const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + 8), even);
  return _mm256_permute2f128_ps(lo, hi, 0x20);
}

// Lane mask with the first n (0..8) lanes set.
inline __m256i first_lanes(int64_t n) {
  const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(n)), index);
}

// Fewer than eight outputs at the end of the interior: masked loads touch only the inputs
// those outputs read.
void depthwise_tail(const DepthwiseRow& r, float* y, int64_t ow, int64_t n) {
  const __m256i out_mask = first_lanes(n);
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  // For stride 2 the outputs read inputs 0, 2, ..., 2n - 2 of the block.
  const __m256i lo_mask = first_lanes(std::min<int64_t>(8, 2 * n - 1));
  const __m256i hi_mask = first_lanes(std::max<int64_t>(0, 2 * n - 1 - 8));
  __m256 acc = _mm256_setzero_ps();
  for (int64_t kh = 0; kh < r.kh_count; ++kh) {
    const float* row = r.rows[kh];
    if (row == nullptr) continue;
    const float* wk = r.weights + kh * r.kw_count;
    for (int64_t kw = 0; kw < r.kw_count; ++kw) {
      __m256 xv;
      if (r.sw == 1) {
        xv = _mm256_maskload_ps(row + ow + kw * r.dw + r.offset, out_mask);
      } else {
        const float* src = row + 2 * ow + kw * r.dw + r.offset;
        const __m256 lo = _mm256_permutevar8x32_ps(_mm256_maskload_ps(src, lo_mask), even);
        const __m256 hi = _mm256_permutevar8x32_ps(_mm256_maskload_ps(src + 8, hi_mask), even);
        xv = _mm256_permute2f128_ps(lo, hi, 0x20);
      }
      acc = _mm256_fmadd_ps(xv, _mm256_set1_ps(wk[kw]), acc);
    }
  }
  _mm256_maskstore_ps(y + ow, out_mask, acc);
}

}  // namespace

void depthwise_row_avx2(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1) {
  int64_t ow = ow0;
  if (r.sw == 1) {
    // Four independent sums at a time: a single chain of dependent adds would leave the
    // multiply-add units waiting on latency.
    for (; ow + 32 <= ow1; ow += 32) {
      __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
      __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const float* src = row + ow + kw * r.dw + r.offset;
          const __m256 wv = _mm256_set1_ps(wk[kw]);
          acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(src), wv, acc0);
          acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(src + 8), wv, acc1);
          acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(src + 16), wv, acc2);
          acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(src + 24), wv, acc3);
        }
      }
      _mm256_storeu_ps(y + ow, acc0);
      _mm256_storeu_ps(y + ow + 8, acc1);
      _mm256_storeu_ps(y + ow + 16, acc2);
      _mm256_storeu_ps(y + ow + 24, acc3);
    }
    for (; ow + 8 <= ow1; ow += 8) {
      __m256 acc = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const __m256 xv = _mm256_loadu_ps(row + ow + kw * r.dw + r.offset);
          acc = _mm256_fmadd_ps(xv, _mm256_set1_ps(wk[kw]), acc);
        }
      }
      _mm256_storeu_ps(y + ow, acc);
    }
  } else if (r.sw == 2) {
    // Sixteen inputs per block of eight outputs; ow + 8 < ow1 (ow + 16 < ow1 for two
    // blocks) keeps the last one inside the row.
    for (; ow + 16 < ow1; ow += 16) {
      __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const float* src = row + 2 * ow + kw * r.dw + r.offset;
          const __m256 wv = _mm256_set1_ps(wk[kw]);
          acc0 = _mm256_fmadd_ps(load_even(src), wv, acc0);
          acc1 = _mm256_fmadd_ps(load_even(src + 16), wv, acc1);
        }
      }
      _mm256_storeu_ps(y + ow, acc0);
      _mm256_storeu_ps(y + ow + 8, acc1);
    }
    for (; ow + 8 < ow1; ow += 8) {
      __m256 acc = _mm256_setzero_ps();
      for (int64_t kh = 0; kh < r.kh_count; ++kh) {
        const float* row = r.rows[kh];
        if (row == nullptr) continue;
        const float* wk = r.weights + kh * r.kw_count;
        for (int64_t kw = 0; kw < r.kw_count; ++kw) {
          const __m256 xv = load_even(row + 2 * ow + kw * r.dw + r.offset);
          acc = _mm256_fmadd_ps(xv, _mm256_set1_ps(wk[kw]), acc);
        }
      }
      _mm256_storeu_ps(y + ow, acc);
    }
  }
  if (ow < ow1 && (r.sw == 1 || r.sw == 2)) {
    // Stride 2 may leave up to eight outputs after its blocks.
    if (ow + 8 <= ow1) {
      depthwise_tail(r, y, ow, 8);
      ow += 8;
    }
    if (ow < ow1) depthwise_tail(r, y, ow, ow1 - ow);
    return;
  }
  if (ow < ow1) depthwise_row_portable(r, y, ow, ow1);
}

void copy_stride2_avx2(float* dst, const float* src, int64_t n) {
  int64_t i = 0;
  // Each block reads src[2i .. 2i + 15]; i + 8 < n keeps that at or below src[2n - 3].
  for (; i + 8 < n; i += 8) _mm256_storeu_ps(dst + i, load_even(src + 2 * i));
  for (; i < n; ++i) dst[i] = src[2 * i];
}

}  // namespace vexa::cpu

namespace vexa::cpu {

namespace {

// Items are (output row, block of eight outputs) pairs of a band; four at a time give four
// independent sums so the adds do not wait on each other. Every sum runs over (kh, kw) from
// zero, one fused multiply-add per step, as the portable row loop rounds.
constexpr int64_t kItemsAtOnce = 4;

struct BandItems {
  const WindowEpilogue* epilogue;  // applied to each block before it is stored; may be null
  const float* band;
  float* y;
  const float* w;
  const int64_t* tap;  // column offset of each kw inside a padded row
  int64_t row_stride, blocks, ow, sh, kh, kw, dh;
};

// dst[c] = src[c - pl] where 0 <= c - pl < w, else `pad`, for c < n (n a multiple of 8): the
// row filled with the pad value, then the input copied over it. Every address formed lies
// inside the input row or dst.
inline void padded_row(const float* src, int64_t w, int64_t pl, float pad, float* dst,
                       int64_t n) {
  const __m256 pad_v = _mm256_set1_ps(pad);
  for (int64_t c = 0; c < n; c += 8) _mm256_storeu_ps(dst + c, pad_v);
  const int64_t len = std::min(w, n - pl);
  if (len <= 0) return;
  float* out = dst + pl;
  int64_t i = 0;
  for (; i + 8 <= len; i += 8) _mm256_storeu_ps(out + i, _mm256_loadu_ps(src + i));
  // Masked loads and stores are slow on some cores (microcoded): the few tail floats one by one.
  for (; i < len; ++i) out[i] = src[i];
}

// The stride-2 layout of one padded row straight from the input: padded column c (input
// column c - pl, or `pad` outside the input) goes to dst[c / 2] when c is even and to
// dst[half + c / 2] when odd, for c < 2 half. Splitting from the input rather than from a
// freshly written padded copy keeps the loads clear of pending stores (a stall of tens of
// cycles per row when the copy is read back at once).
inline void split_row(const float* src, int64_t w, int64_t pl, float pad, float* dst,
                      int64_t half) {
  const __m256 pad_v = _mm256_set1_ps(pad);
  for (int64_t c = 0; c < 2 * half; c += 8) _mm256_storeu_ps(dst + c, pad_v);
  const int64_t end = std::min(w, 2 * half - pl);  // input columns that land in the row
  int64_t i = 0;
  // A first input column at an odd padded column goes alone, so the vector blocks below
  // start on even ones.
  if (pl % 2 != 0 && i < end) {
    dst[half + pl / 2] = src[0];
    i = 1;
  }
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (; i + 16 <= end; i += 16) {
    const int64_t at = (i + pl) / 2;
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + i), even);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + i + 8), even);
    _mm256_storeu_ps(dst + at, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(dst + half + at, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  for (; i < end; ++i) {
    const int64_t c = i + pl;
    dst[(c & 1) * half + (c >> 1)] = src[i];
  }
}

// Walks the items of a band in order (row by row, block by block) without divisions.
struct ItemCursor {
  int64_t r = 0, ow = 0;
  const float* next(const BandItems& b, float** out, bool* full) {
    *out = b.y + r * b.ow + ow;
    *full = ow + 8 <= b.ow;
    const float* base = b.band + r * b.sh * b.row_stride + ow;
    ow += 8;
    if (ow >= b.ow) {
      ow = 0;
      ++r;
    }
    return base;
  }
};

// One tap of a window: a fused multiply-add (depthwise), or the larger value where the
// tap is greater (max pooling: a NaN tap never wins, the first of equal values stays).
template <bool kMax>
inline __m256 window_step(__m256 acc, __m256 x, __m256 w) {
  if constexpr (kMax) {
    return _mm256_max_ps(x, acc);
  } else {
    return _mm256_fmadd_ps(x, w, acc);
  }
}

template <bool kMax>
inline __m256 window_start() {
  return kMax ? _mm256_set1_ps(kMaxPoolEmptyValue) : _mm256_setzero_ps();
}

template <bool kMax>
void band_items(const BandItems& b, int64_t rows) {
  const int64_t tail = b.ow % 8;
  const int64_t items = rows * b.blocks;
  ItemCursor cursor;
  int64_t t = 0;
  for (; t + kItemsAtOnce <= items; t += kItemsAtOnce) {
    const float* base[kItemsAtOnce];
    float* out[kItemsAtOnce];
    bool full[kItemsAtOnce];
    for (int64_t i = 0; i < kItemsAtOnce; ++i) base[i] = cursor.next(b, &out[i], &full[i]);
    __m256 acc0 = window_start<kMax>(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    for (int64_t kh = 0; kh < b.kh; ++kh) {
      const int64_t row = kh * b.dh * b.row_stride;
      const float* wk = kMax ? nullptr : b.w + kh * b.kw;
      for (int64_t kw = 0; kw < b.kw; ++kw) {
        const __m256 wv = kMax ? _mm256_setzero_ps() : _mm256_set1_ps(wk[kw]);
        const int64_t o = row + b.tap[kw];
        acc0 = window_step<kMax>(acc0, _mm256_loadu_ps(base[0] + o), wv);
        acc1 = window_step<kMax>(acc1, _mm256_loadu_ps(base[1] + o), wv);
        acc2 = window_step<kMax>(acc2, _mm256_loadu_ps(base[2] + o), wv);
        acc3 = window_step<kMax>(acc3, _mm256_loadu_ps(base[3] + o), wv);
      }
    }
    const __m256 acc[kItemsAtOnce] = {acc0, acc1, acc2, acc3};
    for (int64_t i = 0; i < kItemsAtOnce; ++i) {      if (full[i]) {
        _mm256_storeu_ps(out[i], finish(b.epilogue, acc[i]));
      } else {
        store_first_lanes(out[i], finish(b.epilogue, acc[i]), tail);
      }
    }
  }
  for (; t < items; ++t) {
    float* out;
    bool full;
    const float* base = cursor.next(b, &out, &full);
    __m256 acc = window_start<kMax>();
    for (int64_t kh = 0; kh < b.kh; ++kh) {
      const int64_t row = kh * b.dh * b.row_stride;
      const float* wk = kMax ? nullptr : b.w + kh * b.kw;
      for (int64_t kw = 0; kw < b.kw; ++kw) {
        const __m256 wv = kMax ? _mm256_setzero_ps() : _mm256_set1_ps(wk[kw]);
        acc = window_step<kMax>(acc, _mm256_loadu_ps(base + row + b.tap[kw]), wv);
      }
    }
    if (full) {
      _mm256_storeu_ps(out, finish(b.epilogue, acc));
    } else {
      store_first_lanes(out, finish(b.epilogue, acc), tail);
    }
  }
}

// band_items for the common 3 x 3 depthwise window: the nine weights stay in registers and
// the taps are unrolled. The same (kh, kw) order and the same fused multiply-add steps as the
// general walk, so the bits are the same.
void band_items_3x3(const BandItems& b, int64_t rows) {
  constexpr int64_t kTaps = 3;
  __m256 wv[kTaps * kTaps];
  for (int64_t t = 0; t < kTaps * kTaps; ++t) wv[t] = _mm256_set1_ps(b.w[t]);
  int64_t off[kTaps * kTaps];
  for (int64_t kh = 0; kh < kTaps; ++kh)
    for (int64_t kw = 0; kw < kTaps; ++kw) off[kh * kTaps + kw] = kh * b.dh * b.row_stride + b.tap[kw];
  const int64_t tail = b.ow % 8;
  const int64_t items = rows * b.blocks;
  ItemCursor cursor;
  int64_t t = 0;
  auto store = [&](float* out, bool full, __m256 v) {
    if (full) {
      _mm256_storeu_ps(out, finish(b.epilogue, v));
    } else {
      store_first_lanes(out, finish(b.epilogue, v), tail);
    }
  };
  for (; t + kItemsAtOnce <= items; t += kItemsAtOnce) {
    const float* base[kItemsAtOnce];
    float* out[kItemsAtOnce];
    bool full[kItemsAtOnce];
    for (int64_t i = 0; i < kItemsAtOnce; ++i) base[i] = cursor.next(b, &out[i], &full[i]);
    __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
#pragma GCC unroll 9
    for (int64_t k = 0; k < kTaps * kTaps; ++k) {
      acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(base[0] + off[k]), wv[k], acc0);
      acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(base[1] + off[k]), wv[k], acc1);
      acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(base[2] + off[k]), wv[k], acc2);
      acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(base[3] + off[k]), wv[k], acc3);
    }
    store(out[0], full[0], acc0);
    store(out[1], full[1], acc1);
    store(out[2], full[2], acc2);
    store(out[3], full[3], acc3);
  }
  for (; t < items; ++t) {
    float* out;
    bool full;
    const float* base = cursor.next(b, &out, &full);
    __m256 acc = _mm256_setzero_ps();
#pragma GCC unroll 9
    for (int64_t k = 0; k < kTaps * kTaps; ++k)
      acc = _mm256_fmadd_ps(_mm256_loadu_ps(base + off[k]), wv[k], acc);
    store(out, full, acc);
  }
}

template <bool kMax>
void window_plane_padded(const DepthwisePadded& p, const float* x, const float* w, float* y,
                         float* scratch, const WindowEpilogue* epilogue) {
  // Padding taps hold 0 for the depthwise sum (a zero product) and the empty-window value for
  // max pooling (never greater than the running maximum): both leave the result as skipping
  // them would.
  const float pad = kMax ? kMaxPoolEmptyValue : 0.0f;
  // Stride 2 keeps even padded columns in the first half of a row and odd ones in the
  // second, so every tap reads eight neighbouring floats.
  const int64_t half = p.row_stride / 2;
  int64_t tap[kDepthwiseMaxTaps];
  for (int64_t kw = 0; kw < p.kw; ++kw) {
    const int64_t c = kw * p.dw;
    tap[kw] = p.sw == 1 ? c : (c & 1) * half + (c >> 1);
  }
  BandItems b{epilogue, scratch, nullptr, w, tap, p.row_stride, (p.ow + 7) / 8, p.ow, p.sh, p.kh, p.kw,
              p.dh};
  for (int64_t oh0 = 0; oh0 < p.oh; oh0 += p.band_rows) {
    const int64_t rows = std::min(p.band_rows, p.oh - oh0);
    const int64_t in_rows = (rows - 1) * p.sh + (p.kh - 1) * p.dh + 1;
    // The band's input rows with their padding made explicit: zero rows above and below the
    // plane, zero columns left and right of it.
    for (int64_t pr = 0; pr < in_rows; ++pr) {
      float* dst = scratch + pr * p.row_stride;
      const int64_t ih = oh0 * p.sh - p.pt + pr;
      if (ih < 0 || ih >= p.h) {
        for (int64_t c = 0; c < p.row_stride; c += 8) _mm256_storeu_ps(dst + c, _mm256_set1_ps(pad));
        continue;
      }
      if (p.sw == 1) {
        padded_row(x + ih * p.w, p.w, p.pl, pad, dst, p.row_stride);
      } else {
        split_row(x + ih * p.w, p.w, p.pl, pad, dst, half);
      }
    }
    b.y = y + oh0 * p.ow;
    if (!kMax && p.kh == 3 && p.kw == 3) {
      band_items_3x3(b, rows);
    } else {
      band_items<kMax>(b, rows);
    }
  }
}

}  // namespace

namespace {

// One row of the epilogue with its steps fixed at compile time, so the loop carries no tests
// and keeps its constants in registers.
template <bool B, bool R, int M>
void epilogue_row(float* p, int64_t n, const WindowEpilogue& e, const float* residual) {
  const __m256 bias = _mm256_set1_ps(e.bias), lo = _mm256_set1_ps(e.lo), hi = _mm256_set1_ps(e.hi);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 r = R ? _mm256_loadu_ps(residual + i) : _mm256_setzero_ps();
    _mm256_storeu_ps(p + i, epilogue_steps<B, R, M>(_mm256_loadu_ps(p + i), bias, r, lo, hi));
  }
  for (; i < n; ++i) {
    p[i] = epilogue_step<B, R, M>(p[i], e.bias, R ? residual[i] : 0.0f, e.lo, e.hi);
  }
}

}  // namespace

void conv_epilogue_row_avx2(float* p, int64_t n, const WindowEpilogue& e, const float* residual) {
  with_epilogue_steps(e.has_bias, residual != nullptr, e.mode, [&]<bool B, bool R, int M>() {
    epilogue_row<B, R, M>(p, n, e, residual);
  });
}

void depthwise_plane_padded_avx2(const DepthwisePadded& p, const float* x, const float* w,
                                 float* y, float* scratch, const WindowEpilogue* epilogue) {
  window_plane_padded<false>(p, x, w, y, scratch, epilogue);
}

void maxpool_plane_padded_avx2(const DepthwisePadded& p, const float* x, float* y,
                               float* scratch) {
  window_plane_padded<true>(p, x, nullptr, y, scratch, nullptr);
}

}  // namespace vexa::cpu
