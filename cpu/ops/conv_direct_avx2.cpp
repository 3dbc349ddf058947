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

template <int P>
void tile(const DirectTile& t, float* out) {
  // Locals, not the struct's fields, so the compiler keeps every accumulator in a register.
  const int64_t c_in = t.c_in, kh_count = t.kh_count, kw_count = t.kw_count;
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

void direct_tile(const DirectTile& t, int64_t pixels, float* out) {
  switch (pixels) {
    case 1: tile<1>(t, out); break;
    case 2: tile<2>(t, out); break;
    case 3: tile<3>(t, out); break;
    case 4: tile<4>(t, out); break;
    case 5: tile<5>(t, out); break;
    case 6: tile<6>(t, out); break;
    default: break;
  }
}

}  // namespace

DirectTileFn cpu_direct_tile_avx2() {
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return direct_tile;
  return nullptr;
}

}  // namespace vexa::cpu
