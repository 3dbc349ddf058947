// AVX2/F16C forms of the streaming inner loops: 32 lanes are four ymm registers. A row's last
// partial 32 columns go through zero-padded copies, and their products past the last column
// are masked to +0, which leaves a lane sum that started at +0 unchanged.
#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"

namespace vexa {

namespace {

constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

// Upper half onto lower half down to one lane, 32 lanes in a[0..3].
inline float fold32(const __m256* a) {
  const __m256 v16a = _mm256_add_ps(a[0], a[2]);
  const __m256 v16b = _mm256_add_ps(a[1], a[3]);
  const __m256 v8 = _mm256_add_ps(v16a, v16b);
  const __m128 v4 = _mm_add_ps(_mm256_castps256_ps128(v8), _mm256_extractf128_ps(v8, 1));
  const __m128 v2 = _mm_add_ps(v4, _mm_movehl_ps(v4, v4));
  const __m128 v1 = _mm_add_ss(v2, _mm_shuffle_ps(v2, v2, 1));
  return _mm_cvtss_f32(v1);
}

inline __m256 widen8(const uint16_t* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// All-ones in the lanes below n (of 8), zero above.
inline __m256 lane_mask(uint64_t n) {
  const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i limit = _mm256_set1_epi32(static_cast<int>(n > 8 ? 8 : n));
  return _mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, index));
}

inline __m256 q8_8(const uint8_t* bytes, __m256 scale) {
  const __m256i q = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)));
  const __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(q), scale);
  return _mm256_cvtph_ps(_mm256_cvtps_ph(v, kRound));
}

inline __m256 block_scale(const uint8_t* block) {
  float s;
  std::memcpy(&s, block + kQ8BlockValues, sizeof s);
  return _mm256_set1_ps(s);
}

// As the split in the AVX-512 file: the half rounding of 8 products without the conversions,
// for blocks whose scale q8_scale_splits accepts.
inline __m256 q8_8_split(const uint8_t* bytes, __m256 scale) {
  const __m256i q = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)));
  const __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(q), scale);
  const __m256 t = _mm256_mul_ps(v, _mm256_set1_ps(kQ8SplitFactor));
  return _mm256_sub_ps(t, _mm256_sub_ps(t, v));
}

// One row at a time, so the weights stream as one sequential run (see the AVX-512 file).
float dot_f16_row(const float* x, const uint16_t* row, uint64_t cols) {
  __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  uint64_t k = 0;
  for (; k + 32 <= cols; k += 32) {
#pragma GCC unroll 4
    for (uint64_t g = 0; g < 4; ++g) {
      acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(_mm256_loadu_ps(x + k + 8 * g), widen8(row + k + 8 * g)));
    }
  }
  if (k < cols) {
    const uint64_t left = cols - k;
    alignas(32) float xpad[32] = {};
    alignas(32) uint16_t wpad[32] = {};
    std::memcpy(xpad, x + k, left * sizeof(float));
    std::memcpy(wpad, row + k, left * sizeof(uint16_t));
#pragma GCC unroll 4
    for (uint64_t g = 0; g < 4; ++g) {
      // Padding is +0 times +0: the product is +0.
      acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(_mm256_load_ps(xpad + 8 * g), widen8(wpad + 8 * g)));
    }
  }
  return fold32(acc);
}

void dot_f16_rows(const float* x, const uint16_t* w, uint64_t ld, uint64_t cols, uint64_t rows,
                  float* out) {
  for (uint64_t r = 0; r < rows; ++r) out[r] = dot_f16_row(x, w + r * ld, cols);
}

// Block bytes 8g .. 8g + 7 go to lanes 8 (g mod 4) .. 8 (g mod 4) + 7.
float dot_q8_row(const float* x, const uint8_t* row, uint64_t cols) {
  __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  uint64_t k = 0;
  const uint8_t* b = row;
  for (; k + kQ8BlockValues <= cols; k += kQ8BlockValues, b += kQ8BlockBytes) {
    const __m256 s = block_scale(b);
    if (q8_scale_splits(b)) [[likely]] {
#pragma GCC unroll 8
      for (uint64_t g = 0; g < 8; ++g) {
        acc[g % 4] = _mm256_fmadd_ps(_mm256_loadu_ps(x + k + 8 * g), q8_8_split(b + 8 * g, s), acc[g % 4]);
      }
    } else {
#pragma GCC unroll 8
      for (uint64_t g = 0; g < 8; ++g) {
        acc[g % 4] = _mm256_fmadd_ps(_mm256_loadu_ps(x + k + 8 * g), q8_8(b + 8 * g, s), acc[g % 4]);
      }
    }
  }
  if (k < cols) {
    // Bytes past the last column lie inside the block but may hold anything (and the scale may
    // be anything): lanes past it keep their sums, whatever those bytes give.
    const uint64_t left = cols - k;
    alignas(32) float xpad[kQ8BlockValues] = {};
    std::memcpy(xpad, x + k, left * sizeof(float));
    const __m256 s = block_scale(b);
    for (uint64_t g = 0; g < 8 && 8 * g < left; ++g) {
      const __m256 sum = _mm256_fmadd_ps(_mm256_load_ps(xpad + 8 * g), q8_8(b + 8 * g, s), acc[g % 4]);
      acc[g % 4] = _mm256_blendv_ps(acc[g % 4], sum, lane_mask(left - 8 * g));
    }
  }
  return fold32(acc);
}

void dot_q8_rows(const float* x, const uint8_t* w, uint64_t row_bytes, uint64_t cols,
                 uint64_t rows, float* out) {
  for (uint64_t r = 0; r < rows; ++r) out[r] = dot_q8_row(x, w + r * row_bytes, cols);
}

void widen_f16(const uint16_t* src, float* dst, uint64_t n) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(dst + i, widen8(src + i));
  for (; i < n; ++i) dst[i] = f16_widen(src[i]);
}

void narrow_f32(const float* src, uint16_t* dst, uint64_t n) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm256_cvtps_ph(_mm256_loadu_ps(src + i), kRound));
  }
  for (; i < n; ++i) dst[i] = f16_round_even(src[i]);
}

// 8 x 8 floats transposed in registers: on return r[j] holds column j of the rows given.
__attribute__((always_inline)) inline void transpose8(__m256* r) {
  __m256 t[8], u[8];
#pragma GCC unroll 4
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
#pragma GCC unroll 2
  for (int g = 0; g < 8; g += 4) {
    u[g] = _mm256_shuffle_ps(t[g], t[g + 2], 0x44);
    u[g + 1] = _mm256_shuffle_ps(t[g], t[g + 2], 0xee);
    u[g + 2] = _mm256_shuffle_ps(t[g + 1], t[g + 3], 0x44);
    u[g + 3] = _mm256_shuffle_ps(t[g + 1], t[g + 3], 0xee);
  }
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x20);
    r[4 + j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x31);
  }
}

// Whole 8 x 8 tiles in registers, the next 8 rows' lines prefetched (see the AVX-512 file); the
// ragged edges one value at a time.
void widen_f16_transposed(const uint16_t* src, uint64_t ld, uint64_t rows, uint64_t cols,
                          float* dst, uint64_t ld_dst, bool past_caches) {
  const uint64_t full_rows = rows / 8 * 8, full_cols = cols / 8 * 8;
  const bool stream = past_caches && reinterpret_cast<uintptr_t>(dst) % 32 == 0 && ld_dst % 8 == 0;
  for (uint64_t r0 = 0; r0 < full_rows; r0 += 8) {
    for (uint64_t c0 = 0; c0 < full_cols; c0 += 8) {
      if (c0 % 32 == 0 && r0 + 16 <= full_rows) {
#pragma GCC unroll 8
        for (uint64_t i = 0; i < 8; ++i) {
          _mm_prefetch(reinterpret_cast<const char*>(src + (r0 + 8 + i) * ld + c0), _MM_HINT_T0);
        }
      }
      __m256 t[8];
#pragma GCC unroll 8
      for (uint64_t i = 0; i < 8; ++i) t[i] = widen8(src + (r0 + i) * ld + c0);
      transpose8(t);
      if (stream) {
#pragma GCC unroll 8
        for (uint64_t j = 0; j < 8; ++j) _mm256_stream_ps(dst + (c0 + j) * ld_dst + r0, t[j]);
      } else {
#pragma GCC unroll 8
        for (uint64_t j = 0; j < 8; ++j) _mm256_storeu_ps(dst + (c0 + j) * ld_dst + r0, t[j]);
      }
    }
  }
  if (stream) _mm_sfence();
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t c_begin = r < full_rows ? full_cols : 0;
    for (uint64_t c = c_begin; c < cols; ++c) dst[c * ld_dst + r] = f16_widen(src[r * ld + c]);
  }
}

template <bool kToFloat, typename Out>
void q8_row_to(const uint8_t* row, uint64_t cols, Out* dst) {
  uint64_t k = 0;
  for (; k + 8 <= cols; k += 8) {
    const uint8_t* block = row + (k / kQ8BlockValues) * kQ8BlockBytes;
    const uint64_t at = k % kQ8BlockValues;
    const __m256i q =
        _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + at)));
    const __m128i h = _mm256_cvtps_ph(_mm256_mul_ps(_mm256_cvtepi32_ps(q), block_scale(block)), kRound);
    if constexpr (kToFloat) {
      _mm256_storeu_ps(dst + k, _mm256_cvtph_ps(h));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), h);
    }
  }
  for (; k < cols; ++k) {
    const uint8_t* block = row + (k / kQ8BlockValues) * kQ8BlockBytes;
    float s;
    std::memcpy(&s, block + kQ8BlockValues, sizeof s);
    const uint16_t h = f16_round_even(static_cast<float>(static_cast<int8_t>(block[k % kQ8BlockValues])) * s);
    if constexpr (kToFloat) {
      dst[k] = f16_widen(h);
    } else {
      dst[k] = h;
    }
  }
}

void q8_row_to_f16(const uint8_t* row, uint64_t cols, uint16_t* dst) {
  q8_row_to<false>(row, cols, dst);
}

// Tiles of 8 x 8 (eight columns never straddle a block of 64); the ragged edges one by one.
// Prefetched as the AVX-512 form is: the first band's rows, then each next band's blocks.
void q8_to_f32_transposed(const uint8_t* src, uint64_t row_bytes, uint64_t rows, uint64_t cols,
                          float* dst, uint64_t ld_dst) {
  const uint64_t full_rows = rows / 8 * 8, full_cols = cols / 8 * 8;
  prefetch_q8_rows(src, row_bytes, std::min<uint64_t>(rows, 8), cols);
  for (uint64_t r0 = 0; r0 < full_rows; r0 += 8) {
    const uint64_t ahead = std::min<uint64_t>(8, rows - r0 - 8);  // rows past this band
    for (uint64_t c0 = 0; c0 < full_cols; c0 += 8) {
      const uint64_t block = (c0 / kQ8BlockValues) * kQ8BlockBytes, at = c0 % kQ8BlockValues;
      if (at == 0) prefetch_q8_block(src, row_bytes, r0 + 8, ahead, block);
      __m256 t[8];
#pragma GCC unroll 8
      for (uint64_t i = 0; i < 8; ++i) {
        const uint8_t* b = src + (r0 + i) * row_bytes + block;
        const __m256i q = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + at)));
        const __m128i h = _mm256_cvtps_ph(_mm256_mul_ps(_mm256_cvtepi32_ps(q), block_scale(b)), kRound);
        t[i] = _mm256_cvtph_ps(h);
      }
      transpose8(t);
#pragma GCC unroll 8
      for (uint64_t j = 0; j < 8; ++j) _mm256_storeu_ps(dst + (c0 + j) * ld_dst + r0, t[j]);
    }
  }
  for (uint64_t r = 0; r < rows; ++r) {
    const uint8_t* row = src + r * row_bytes;
    for (uint64_t c = r < full_rows ? full_cols : 0; c < cols; ++c) {
      const uint8_t* block = row + (c / kQ8BlockValues) * kQ8BlockBytes;
      float s;
      std::memcpy(&s, block + kQ8BlockValues, sizeof s);
      const float v = static_cast<float>(static_cast<int8_t>(block[c % kQ8BlockValues])) * s;
      dst[c * ld_dst + r] = f16_widen(f16_round_even(v));
    }
  }
}
void q8_row_to_f32(const uint8_t* row, uint64_t cols, float* dst) {
  q8_row_to<true>(row, cols, dst);
}

inline __m256 load8(const uint16_t* p) { return widen8(p); }
inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }

template <typename K>
void dots64(const float* q, const K* k, uint64_t keys, float* dots) {
  __m256 qs[8];
#pragma GCC unroll 8
  for (uint64_t g = 0; g < 8; ++g) qs[g] = _mm256_loadu_ps(q + 8 * g);
  for (uint64_t j = 0; j < keys; ++j) {
    const K* key = k + j * 64;
    __m256 lanes[4];
#pragma GCC unroll 8
    for (uint64_t g = 0; g < 4; ++g) {
      lanes[g] = _mm256_add_ps(_mm256_mul_ps(qs[g], load8(key + 8 * g)),
                               _mm256_mul_ps(qs[g + 4], load8(key + 32 + 8 * g)));
    }
    dots[j] = fold32(lanes);
  }
}

template <typename V>
void accumulate64(const float* p, const V* v, uint64_t keys, float* partial) {
  for (uint64_t j = 0; j < keys; ++j) {
    float* acc = partial + (j % 4) * 64;
    const __m256 pj = _mm256_set1_ps(p[j]);
    const V* value = v + j * 64;
    for (uint64_t c = 0; c < 64; c += 8) {
      _mm256_storeu_ps(acc + c, _mm256_add_ps(_mm256_loadu_ps(acc + c), _mm256_mul_ps(pj, load8(value + c))));
    }
  }
}

void dots64_f16(const float* q, const uint16_t* k, uint64_t keys, float* dots) {
  dots64(q, k, keys, dots);
}
void dots64_f32(const float* q, const float* k, uint64_t keys, float* dots) {
  dots64(q, k, keys, dots);
}
void accumulate64_f16(const float* p, const uint16_t* v, uint64_t keys, float* partial) {
  accumulate64(p, v, keys, partial);
}
void accumulate64_f32(const float* p, const float* v, uint64_t keys, float* partial) {
  accumulate64(p, v, keys, partial);
}

// 128 lanes in sixteen registers, as the AVX-512 form: masked lanes add +0. Group g is registers
// 4g .. 4g + 3.
template <bool kSquares>
float group_sum_lanes(const float* v, uint64_t n) {
  __m256 acc[16];
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) acc[j] = _mm256_setzero_ps();
  for (uint64_t i = 0; i < n; i += 128) {
#pragma GCC unroll 16
    for (uint64_t j = 0; j < 16; ++j) {
      const uint64_t at = i + 8 * j;
      __m256 x;
      if (at + 8 <= n) {
        x = _mm256_loadu_ps(v + at);
      } else {
        x = _mm256_maskload_ps(v + at, _mm256_castps_si256(lane_mask(at < n ? n - at : 0)));
      }
      acc[j] = _mm256_add_ps(acc[j], kSquares ? _mm256_mul_ps(x, x) : x);
    }
  }
  const float g0 = fold32(acc), g1 = fold32(acc + 4), g2 = fold32(acc + 8), g3 = fold32(acc + 12);
  return (g0 + g1) + (g2 + g3);
}

float group_sum128(const float* v, uint64_t n, bool squares) {
  return squares ? group_sum_lanes<true>(v, n) : group_sum_lanes<false>(v, n);
}

const BandwidthKernels kAvx2 = {
    dot_f16_rows,     dot_q8_rows,      widen_f16,        narrow_f32,
    widen_f16_transposed, q8_row_to_f16, q8_row_to_f32,   q8_to_f32_transposed,
    dots64_f16,       dots64_f32,       accumulate64_f16, accumulate64_f32,
    group_sum128,
};

// F16C from CPUID leaf 1 (ECX bit 29): clang's __builtin_cpu_supports does not know "f16c".
bool cpu_has_f16c() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
}

}  // namespace

bool bandwidth_avx2_available() {
  return __builtin_cpu_supports("avx2") && cpu_has_f16c();
}

const BandwidthKernels& bandwidth_kernels_avx2() { return kAvx2; }

}  // namespace vexa
