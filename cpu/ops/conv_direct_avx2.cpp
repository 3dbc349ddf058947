// The direct convolution's kernel: up to six adjacent outputs of a row times 16 output
// channels held in twelve accumulators. Each (input channel, kh, kw) step loads the tap's 16
// packed weights once, broadcasts each output's input value and does two fused
// multiply-adds per output.
#include <immintrin.h>

#include "cpu/ops/conv_avx2_inline.h"
#include "cpu/ops/conv_direct.h"

namespace vexa::cpu {

namespace {

static_assert(kDirectBlockChannels == 16 && kDirectMaxTile == 6, "written for 6 x 16 tiles");
static_assert(kDirectRowChannels == 4 && kDirectRowPixels == 24, "written for 4 x 24 rows");

constexpr int64_t kLanes = 8;
static_assert(int32_t{kDirectRelu} == int32_t{WindowEpilogue::kRelu} &&
                  int32_t{kDirectClip} == int32_t{WindowEpilogue::kClip} &&
                  int32_t{kDirectNone} == int32_t{WindowEpilogue::kNone},
              "the store epilogue's modes are the window epilogue's");

// The store epilogue (see DirectTile) for eight channels: their biases and the residual at
// the place of their outputs; which steps run is fixed at compile time (see epilogue_steps),
// so a tile without an epilogue pays for none of it.
struct StoreEpilogue {
  const float* bias;
  const float* residual;
  float lo, hi;
};

// Outputs j < P of eight channels (v[j] holds channel l in lane l) to y[l * ys + j], each
// through the store epilogue: the first four outputs as one 4 x 8 transpose, stored four
// floats per channel; the fifth and sixth as pairs.
template <int P, bool B, bool R, int M>
inline void store_channel_rows(const __m256* v, float* y, int64_t ys, const StoreEpilogue& e) {
  const auto one = [&](float x, int l, int64_t at) {
    return epilogue_step<B, R, M>(x, B ? e.bias[l] : 0.0f, R ? e.residual[at] : 0.0f, e.lo,
                                  e.hi);
  };
  if constexpr (P < 4) {
    alignas(32) float lanes[P][kLanes];
#pragma GCC unroll 3
    for (int j = 0; j < P; ++j) _mm256_store_ps(lanes[j], v[j]);
#pragma GCC unroll 8
    for (int l = 0; l < kLanes; ++l)
#pragma GCC unroll 3
      for (int j = 0; j < P; ++j) y[l * ys + j] = one(lanes[j][l], l, l * ys + j);
  } else {
    const __m256 lo = _mm256_set1_ps(e.lo), hi = _mm256_set1_ps(e.hi);
    const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]), t1 = _mm256_unpackhi_ps(v[0], v[1]);
    const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]), t3 = _mm256_unpackhi_ps(v[2], v[3]);
    // s[k]: outputs 0-3 of channel k in the low half, of channel k + 4 in the high half.
    const __m256 s[4] = {_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
                         _mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t1, t3, 0xEE)};
    const __m256 bias = B ? _mm256_loadu_ps(e.bias) : _mm256_setzero_ps();
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      const __m256i halves = _mm256_setr_epi32(k, k, k, k, k + 4, k + 4, k + 4, k + 4);
      const __m256 b = B ? _mm256_permutevar8x32_ps(bias, halves) : bias;
      const __m256 r = R ? _mm256_loadu2_m128(e.residual + (k + 4) * ys, e.residual + k * ys)
                         : _mm256_setzero_ps();
      const __m256 f = epilogue_steps<B, R, M>(s[k], b, r, lo, hi);
      _mm_storeu_ps(y + k * ys, _mm256_castps256_ps128(f));
      _mm_storeu_ps(y + (k + 4) * ys, _mm256_extractf128_ps(f, 1));
    }
    if constexpr (P == 5) {
      alignas(32) float last[kLanes];
      _mm256_store_ps(last, v[4]);
#pragma GCC unroll 8
      for (int l = 0; l < kLanes; ++l) y[l * ys + 4] = one(last[l], l, l * ys + 4);
    } else if constexpr (P == 6) {
      // Pairs (output 4, output 5) of channels 0, 1 | 4, 5 and 2, 3 | 6, 7.
      const __m256 u[2] = {_mm256_unpacklo_ps(v[4], v[5]), _mm256_unpackhi_ps(v[4], v[5])};
      const __m256 ub[2] = {_mm256_unpacklo_ps(bias, bias), _mm256_unpackhi_ps(bias, bias)};
#pragma GCC unroll 2
      for (int h = 0; h < 2; ++h) {
        // Channels 2h, 2h + 1 in the low half, 2h + 4, 2h + 5 in the high half.
        const int64_t c[4] = {2 * h, 2 * h + 1, 2 * h + 4, 2 * h + 5};
        __m256 r = _mm256_setzero_ps();
        if constexpr (R) {
          const auto pair = [&](int i) {
            return reinterpret_cast<const __m64*>(e.residual + c[i] * ys + 4);
          };
          r = _mm256_set_m128(_mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), pair(2)), pair(3)),
                              _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), pair(0)), pair(1)));
        }
        const __m256 f = epilogue_steps<B, R, M>(u[h], ub[h], r, lo, hi);
        const __m128 low = _mm256_castps256_ps128(f), high = _mm256_extractf128_ps(f, 1);
        _mm_storel_pi(reinterpret_cast<__m64*>(y + c[0] * ys + 4), low);
        _mm_storeh_pi(reinterpret_cast<__m64*>(y + c[1] * ys + 4), low);
        _mm_storel_pi(reinterpret_cast<__m64*>(y + c[2] * ys + 4), high);
        _mm_storeh_pi(reinterpret_cast<__m64*>(y + c[3] * ys + 4), high);
      }
    }
  }
}

template <int P, bool B, bool R, int M>
__attribute__((noinline)) void store_tile_as(const DirectTile& t, const __m256* lo,
                                             const __m256* hi) {
  const int64_t upper = kLanes * t.y_stride;
  const StoreEpilogue first{t.bias, t.residual, t.lo, t.hi};
  const StoreEpilogue second{B ? t.bias + kLanes : nullptr, R ? t.residual + upper : nullptr,
                             t.lo, t.hi};
  store_channel_rows<P, B, R, M>(lo, t.y, t.y_stride, first);
  store_channel_rows<P, B, R, M>(hi, t.y + upper, t.y_stride, second);
}

// The tile's two halves of eight channels to their planes, out of line to keep the kernel's
// loop small.
template <int P>
void store_tile(const DirectTile& t, const __m256* lo, const __m256* hi) {
  with_epilogue_steps(t.bias != nullptr, t.residual != nullptr, t.activation,
                      [&]<bool B, bool R, int M>() { store_tile_as<P, B, R, M>(t, lo, hi); });
}

// KW > 0: the window's width as a constant, so its taps unroll; 0: the width from t.
template <int P, int KW>
void tile(const DirectTile& t, float* out) {
  // Locals, not the struct's fields, so the compiler keeps every accumulator in a register.
  const int64_t c_in = t.c_in, kh_count = t.kh_count;
  const int64_t kw_count = KW > 0 ? KW : t.kw_count;
  const int64_t channel_stride = t.channel_stride, row_stride = t.row_stride;
  const float* x[P];
#pragma GCC unroll 6
  for (int j = 0; j < P; ++j) x[j] = t.x + (t.offsets != nullptr ? t.offsets[j] : j * t.stride);
  const float* w = t.w;
  __m256 lo[P], hi[P];
#pragma GCC unroll 6
  for (int j = 0; j < P; ++j) lo[j] = hi[j] = _mm256_setzero_ps();
  for (int64_t c = 0; c < c_in; ++c) {
    const int64_t channel = c * channel_stride;
    for (int64_t kh = 0; kh < kh_count; ++kh) {
      const int64_t row = channel + kh * row_stride;
#pragma GCC unroll 3
      for (int64_t kw = 0; kw < kw_count; ++kw, w += kDirectBlockChannels) {
        const __m256 w0 = _mm256_loadu_ps(w);
        const __m256 w1 = _mm256_loadu_ps(w + kLanes);
#pragma GCC unroll 6
        for (int j = 0; j < P; ++j) {
          const __m256 v = _mm256_broadcast_ss(x[j] + row + kw);
          lo[j] = _mm256_fmadd_ps(v, w0, lo[j]);
          hi[j] = _mm256_fmadd_ps(v, w1, hi[j]);
        }
      }
    }
  }
  if (t.y != nullptr) {
    // A copy: handing out the accumulators' own address made the compiler keep them in
    // memory through the multiply-add loop.
    __m256 sums[2 * P];
#pragma GCC unroll 6
    for (int j = 0; j < P; ++j) sums[j] = lo[j], sums[P + j] = hi[j];
    store_tile<P>(t, sums, sums + P);
    return;
  }
#pragma GCC unroll 6
  for (int j = 0; j < P; ++j) {
    _mm256_storeu_ps(out + j * kDirectBlockChannels, lo[j]);
    _mm256_storeu_ps(out + j * kDirectBlockChannels + kLanes, hi[j]);
  }
}

template <int KW>
void tile_of_width(const DirectTile& t, int64_t pixels, float* out) {
  switch (pixels) {
    case 1: tile<1, KW>(t, out); break;
    case 2: tile<2, KW>(t, out); break;
    case 3: tile<3, KW>(t, out); break;
    case 4: tile<4, KW>(t, out); break;
    case 5: tile<5, KW>(t, out); break;
    case 6: tile<6, KW>(t, out); break;
    default: break;
  }
}

// 3 x 3 windows, most of the work, get their taps unrolled.
constexpr int64_t kUnrolledWidth = 3;

void direct_tile(const DirectTile& t, int64_t pixels, float* out) {
  if (t.kw_count == kUnrolledWidth) {
    tile_of_width<kUnrolledWidth>(t, pixels, out);
  } else {
    tile_of_width<0>(t, pixels, out);
  }
}

// Channels R (1..4) times V vectors of pixels; the last vector stores `tail` (1..8) of them.
template <int R, int V>
void row_tile(const DirectRow& r, int64_t tail) {
  __m256 acc[R][V];
#pragma GCC unroll 4
  for (int i = 0; i < R; ++i)
#pragma GCC unroll 3
    for (int v = 0; v < V; ++v) acc[i][v] = _mm256_setzero_ps();
  const int64_t c_in = r.c_in, kh_count = r.kh_count, kw_count = r.kw_count;
  const int64_t channel_stride = r.channel_stride, row_stride = r.row_stride;
  const int64_t phase_stride = r.phase_stride, stride = r.stride;
  const float* w = r.w;
  for (int64_t c = 0; c < c_in; ++c) {
    for (int64_t kh = 0; kh < kh_count; ++kh) {
      const float* row = r.x + c * channel_stride + kh * row_stride;
      // Tap kw reads phase kw % stride from column kw / stride on, walked without dividing.
      int64_t phase = 0;
      const float* column = row;
      for (int64_t kw = 0; kw < kw_count; ++kw, w += kDirectBlockChannels) {
        const float* at = column + phase * phase_stride;
        if (++phase == stride) phase = 0, ++column;
        __m256 xv[V];
#pragma GCC unroll 3
        for (int v = 0; v < V; ++v) xv[v] = _mm256_loadu_ps(at + v * kLanes);
#pragma GCC unroll 4
        for (int i = 0; i < R; ++i) {
          const __m256 wv = _mm256_broadcast_ss(w + i);
#pragma GCC unroll 3
          for (int v = 0; v < V; ++v) acc[i][v] = _mm256_fmadd_ps(xv[v], wv, acc[i][v]);
        }
      }
    }
  }
#pragma GCC unroll 4
  for (int i = 0; i < R; ++i) {
    float* y = r.y + i * r.y_stride;
#pragma GCC unroll 3
    for (int v = 0; v + 1 < V; ++v) _mm256_storeu_ps(y + v * kLanes, acc[i][v]);
    if (tail == kLanes) {
      _mm256_storeu_ps(y + (V - 1) * kLanes, acc[i][V - 1]);
    } else {
      store_first_lanes(y + (V - 1) * kLanes, acc[i][V - 1], tail);
    }
  }
}

template <int R>
void row_of_channels(const DirectRow& r) {
  const int64_t vectors = (r.pixels + kLanes - 1) / kLanes;
  const int64_t tail = r.pixels - (vectors - 1) * kLanes;
  switch (vectors) {
    case 1: row_tile<R, 1>(r, tail); break;
    case 2: row_tile<R, 2>(r, tail); break;
    case 3: row_tile<R, 3>(r, tail); break;
    default: break;
  }
}

void direct_row(const DirectRow& r) {
  if (r.pixels < 1 || r.pixels > kDirectRowPixels) return;
  switch (r.channels) {
    case 1: row_of_channels<1>(r); break;
    case 2: row_of_channels<2>(r); break;
    case 3: row_of_channels<3>(r); break;
    case 4: row_of_channels<4>(r); break;
    default: break;
  }
}

}  // namespace

DirectRowFn cpu_direct_row_avx2() {
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return direct_row;
  return nullptr;
}

DirectTileFn cpu_direct_tile_avx2() {
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return direct_tile;
  return nullptr;
}

}  // namespace vexa::cpu
