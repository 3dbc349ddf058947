// The direct convolution's kernel: up to six adjacent outputs of a row times 16 output
// channels held in twelve accumulators. Each (input channel, kh, kw) step loads the tap's 16
// packed weights once, broadcasts each output's input value and does two fused
// multiply-adds per output.
#include <immintrin.h>

#include "cpu/ops/conv_direct.h"

namespace vexa::cpu {

namespace {

static_assert(kDirectBlockChannels == 16 && kDirectMaxTile == 6, "written for 6 x 16 tiles");

constexpr int64_t kLanes = 8;

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

}  // namespace

DirectTileFn cpu_direct_tile_avx2() {
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return direct_tile;
  return nullptr;
}

}  // namespace vexa::cpu
