// AVX-512 forms of the streaming inner loops: 32 lanes are two zmm registers, tails use
// masked loads (nothing is read past a row's last column) and masked products (lanes past
// it add +0, which leaves a lane sum that started at +0 unchanged).
#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

// GCC 12 reports the conversion intrinsics' own undefined pass-through operands (the unmasked
// forms fill it with _mm512_undefined_*) as maybe-uninitialised when they are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"

namespace vexa {

namespace {

constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

inline __mmask16 lanes_below(uint64_t n) {
  return n >= 16 ? static_cast<__mmask16>(0xffff) : static_cast<__mmask16>((1u << n) - 1u);
}

// Upper half onto lower half down to one lane: the SIMD-group fold of 32 lanes held as
// lanes 0-15 (lo) and 16-31 (hi), or of 16 lanes already halved.
inline float fold16(__m512 v16) {
  const __m256 v8 = _mm256_add_ps(_mm512_castps512_ps256(v16), _mm512_extractf32x8_ps(v16, 1));
  const __m128 v4 = _mm_add_ps(_mm256_castps256_ps128(v8), _mm256_extractf128_ps(v8, 1));
  const __m128 v2 = _mm_add_ps(v4, _mm_movehl_ps(v4, v4));
  const __m128 v1 = _mm_add_ss(v2, _mm_shuffle_ps(v2, v2, 1));
  return _mm_cvtss_f32(v1);
}
inline float fold32(__m512 lo, __m512 hi) { return fold16(_mm512_add_ps(lo, hi)); }

// fold32 of four rows at once, each step the same pairwise sums: out[i] = fold32 of row i, where
// row i's 32 lanes are already halved into v[i] (lo + hi). Sharing the shuffles and adds among
// rows saves most of the per-row fold, which cost about a tenth of a 576-wide q8 row.
inline void fold16x4(const __m512 v[4], float* out) {
  // Lanes 0-7 plus 8-15 of rows 0 and 1 (then 2 and 3) side by side.
  const __m512 s01 = _mm512_add_ps(_mm512_shuffle_f32x4(v[0], v[1], _MM_SHUFFLE(1, 0, 1, 0)),
                                   _mm512_shuffle_f32x4(v[0], v[1], _MM_SHUFFLE(3, 2, 3, 2)));
  const __m512 s23 = _mm512_add_ps(_mm512_shuffle_f32x4(v[2], v[3], _MM_SHUFFLE(1, 0, 1, 0)),
                                   _mm512_shuffle_f32x4(v[2], v[3], _MM_SHUFFLE(3, 2, 3, 2)));
  // Lanes 0-3 plus 4-7: one 128-bit quarter per row.
  const __m512 q = _mm512_add_ps(_mm512_shuffle_f32x4(s01, s23, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm512_shuffle_f32x4(s01, s23, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m512 h = _mm512_add_ps(q, _mm512_shuffle_ps(q, q, _MM_SHUFFLE(3, 2, 3, 2)));
  const __m512 o = _mm512_add_ps(h, _mm512_shuffle_ps(h, h, _MM_SHUFFLE(1, 1, 1, 1)));
  // A permute, not a compressing store: that one is microcoded and slow on Zen 4.
  const __m512 sums = _mm512_permutexvar_ps(_mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), o);
  _mm_storeu_ps(out, _mm512_castps512_ps128(sums));
}

inline __m512 widen16(const uint16_t* p) {
  return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
inline __m512 widen16_masked(const uint16_t* p, __mmask16 m) {
  return _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(m, p));
}

// 16 q8 bytes times the scale, rounded to halves and widened back.
inline __m512 q8_16(const uint8_t* bytes, __m512 scale) {
  const __m512i q = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
  const __m512 v = _mm512_mul_ps(_mm512_cvtepi32_ps(q), scale);
  return _mm512_cvtph_ps(_mm512_cvtps_ph(v, kRound));
}

inline __m512 block_scale(const uint8_t* block) {
  float s;
  std::memcpy(&s, block + kQ8BlockValues, sizeof s);
  return _mm512_set1_ps(s);
}

// The same 16 values rounded to halves without the conversion round trip, for blocks whose scale
// keeps every product q s (q in -128..127) zero or a normal half: Veltkamp's split at 13 bits,
// hi = t - (t - v) with t = v (2^13 + 1), leaves v rounded to nearest-even on 11 significant bits,
// which is the half value. Three arithmetic operations instead of two conversions: the q8
// matrix-vector loop runs about 15% faster on one Zen 4 core. The tests compare it with the
// conversions over every byte and thousands of scales, ties included.
inline __m512 q8_16_split(const uint8_t* bytes, __m512 scale) {
  const __m512i q = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
  const __m512 v = _mm512_mul_ps(_mm512_cvtepi32_ps(q), scale);
  const __m512 t = _mm512_mul_ps(v, _mm512_set1_ps(kQ8SplitFactor));
  return _mm512_sub_ps(t, _mm512_sub_ps(t, v));
}

// The matrix-vector loops take one row at a time, so the weights stream as one sequential run.
// Interleaving 2 or 4 rows to share the x loads halved the rate on 576-wide rows (one core of
// Zen 4, 64 MiB of f16 weights: 6.5 GB/s against 15 for single rows): their 18-line runs are
// too short for the hardware prefetchers to follow.
float dot_f16_row(const float* x, const uint16_t* row, uint64_t cols) {
  __m512 lo = _mm512_setzero_ps(), hi = _mm512_setzero_ps();
  uint64_t k = 0;
  for (; k + 32 <= cols; k += 32) {
    lo = _mm512_add_ps(lo, _mm512_mul_ps(_mm512_loadu_ps(x + k), widen16(row + k)));
    hi = _mm512_add_ps(hi, _mm512_mul_ps(_mm512_loadu_ps(x + k + 16), widen16(row + k + 16)));
  }
  if (k < cols) {
    const __mmask16 m0 = lanes_below(cols - k);
    const __mmask16 m1 = lanes_below(cols - k > 16 ? cols - k - 16 : 0);
    lo = _mm512_add_ps(lo, _mm512_maskz_mul_ps(m0, _mm512_maskz_loadu_ps(m0, x + k),
                                               widen16_masked(row + k, m0)));
    hi = _mm512_add_ps(hi, _mm512_maskz_mul_ps(m1, _mm512_maskz_loadu_ps(m1, x + k + 16),
                                               widen16_masked(row + k + 16, m1)));
  }
  return fold32(lo, hi);
}

void dot_f16_rows(const float* x, const uint16_t* w, uint64_t ld, uint64_t cols, uint64_t rows,
                  float* out) {
  for (uint64_t r = 0; r < rows; ++r) out[r] = dot_f16_row(x, w + r * ld, cols);
}

// A block's 64 values are two rounds of the 32 lanes: bytes 0-15 and 32-47 go to lanes 0-15,
// bytes 16-31 and 48-63 to lanes 16-31. Each lane accumulates with a fused multiply-add: the loop
// is bound by the floating-point pipes (widen, convert, scale, split, accumulate), and moving the
// accumulation off the adder pipes onto the multiply pipes balances them: 10.4 -> 12.5 GB/s on one
// Zen 4 core streaming 256 MiB of q8 rows. A row returns its 32 lanes halved (lo + hi); the rows
// are folded four at a time.
//
// The q8 loop consumes a line about every 15 cycles, slowly enough that the hardware prefetchers
// leave it waiting on memory: a prefetch 4 KiB ahead (about 7 rows of 576) lifted one Zen 4 core
// streaming 256 MiB from 10.7-12.3 to 12.5-13.8 GB/s (2 and 8 KiB were close; 16 KiB and 512
// bytes worse).
constexpr uint64_t kQ8PrefetchBytes = 4096;

__m512 dot_q8_row_lanes(const float* x, const uint8_t* row, uint64_t cols) {
  __m512 lo = _mm512_setzero_ps(), hi = _mm512_setzero_ps();
  uint64_t k = 0;
  const uint8_t* b = row;
  for (; k + kQ8BlockValues <= cols; k += kQ8BlockValues, b += kQ8BlockBytes) {
    const __m512 s = block_scale(b);
    _mm_prefetch(reinterpret_cast<const char*>(b) + kQ8PrefetchBytes, _MM_HINT_T0);
    if (q8_scale_splits(b)) [[likely]] {
      lo = _mm512_fmadd_ps(_mm512_loadu_ps(x + k), q8_16_split(b, s), lo);
      hi = _mm512_fmadd_ps(_mm512_loadu_ps(x + k + 16), q8_16_split(b + 16, s), hi);
      lo = _mm512_fmadd_ps(_mm512_loadu_ps(x + k + 32), q8_16_split(b + 32, s), lo);
      hi = _mm512_fmadd_ps(_mm512_loadu_ps(x + k + 48), q8_16_split(b + 48, s), hi);
    } else {
      lo = _mm512_fmadd_ps(_mm512_loadu_ps(x + k), q8_16(b, s), lo);
      hi = _mm512_fmadd_ps(_mm512_loadu_ps(x + k + 16), q8_16(b + 16, s), hi);
      lo = _mm512_fmadd_ps(_mm512_loadu_ps(x + k + 32), q8_16(b + 32, s), lo);
      hi = _mm512_fmadd_ps(_mm512_loadu_ps(x + k + 48), q8_16(b + 48, s), hi);
    }
  }
  if (k < cols) {
    // The bytes past the last column lie inside the block; lanes past it keep their sums.
    const uint64_t left = cols - k;
    const __m512 s = block_scale(b);
    __m512* acc[2] = {&lo, &hi};
#pragma GCC unroll 4
    for (uint64_t g = 0; g < 4; ++g) {
      const __mmask16 m = lanes_below(left > g * 16 ? left - g * 16 : 0);
      const __m512 xv = _mm512_maskz_loadu_ps(m, x + k + g * 16);
      *acc[g % 2] = _mm512_mask3_fmadd_ps(xv, q8_16(b + g * 16, s), *acc[g % 2], m);
    }
  }
  return _mm512_add_ps(lo, hi);
}

void dot_q8_rows(const float* x, const uint8_t* w, uint64_t row_bytes, uint64_t cols,
                 uint64_t rows, float* out) {
  uint64_t r = 0;
  for (; r + 4 <= rows; r += 4) {
    __m512 v[4];
    for (uint64_t i = 0; i < 4; ++i) v[i] = dot_q8_row_lanes(x, w + (r + i) * row_bytes, cols);
    fold16x4(v, out + r);
  }
  for (; r < rows; ++r) {
    const __m512 v = dot_q8_row_lanes(x, w + r * row_bytes, cols);
    out[r] = fold16(v);
  }
}

void widen_f16(const uint16_t* src, float* dst, uint64_t n) {
  uint64_t i = 0;
  for (; i + 16 <= n; i += 16) _mm512_storeu_ps(dst + i, widen16(src + i));
  if (i < n) {
    const __mmask16 m = lanes_below(n - i);
    _mm512_mask_storeu_ps(dst + i, m, widen16_masked(src + i, m));
  }
}

void narrow_f32(const float* src, uint16_t* dst, uint64_t n) {
  uint64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm512_cvtps_ph(_mm512_loadu_ps(src + i), kRound));
  }
  if (i < n) {
    const __mmask16 m = lanes_below(n - i);
    _mm256_mask_storeu_epi16(dst + i, m, _mm512_cvtps_ph(_mm512_maskz_loadu_ps(m, src + i), kRound));
  }
}

// 16 x 16 floats transposed in registers: on return r[j] holds column j of the rows given.
// Always inlined and fully unrolled, so that the tile never leaves the registers.
__attribute__((always_inline)) inline void transpose16(__m512* r) {
  __m512 t[16];
#pragma GCC unroll 8
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
  }
  // Within each 128-bit lane, r[4g + j] holds column j (of the lane's four) of rows 4g .. 4g + 3.
#pragma GCC unroll 4
  for (int g = 0; g < 16; g += 4) {
    const __m512d a = _mm512_castps_pd(t[g]), b = _mm512_castps_pd(t[g + 1]);
    const __m512d c = _mm512_castps_pd(t[g + 2]), e = _mm512_castps_pd(t[g + 3]);
    r[g] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
    r[g + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
    r[g + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, e));
    r[g + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, e));
  }
  // Lanes 0 and 2 (columns j and 8 + j), then 1 and 3 (4 + j and 12 + j), of row groups 0-1 and
  // 2-3; then the row groups joined.
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    t[j] = _mm512_shuffle_f32x4(r[j], r[4 + j], 0x88);
    t[4 + j] = _mm512_shuffle_f32x4(r[j], r[4 + j], 0xdd);
    t[8 + j] = _mm512_shuffle_f32x4(r[8 + j], r[12 + j], 0x88);
    t[12 + j] = _mm512_shuffle_f32x4(r[8 + j], r[12 + j], 0xdd);
  }
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) {
    r[j] = _mm512_shuffle_f32x4(t[j], t[8 + j], 0x88);
    r[8 + j] = _mm512_shuffle_f32x4(t[j], t[8 + j], 0xdd);
  }
}

// Tiles of 16 x 16. The next 16 rows' lines are prefetched while a band of rows is worked: the
// 16 strided input streams were too many for the hardware prefetchers (1536 x 576 weights from
// memory on one Zen 4 core: 0.27 ns per element with the prefetch, 0.52 without; 0.14 for a
// plain widening). Edge tiles load zeros past the last row and store only the columns there are.
void widen_f16_transposed(const uint16_t* src, uint64_t ld, uint64_t rows, uint64_t cols,
                          float* dst, uint64_t ld_dst, bool past_caches) {
  const bool stream = past_caches && reinterpret_cast<uintptr_t>(dst) % 64 == 0 && ld_dst % 16 == 0;
  for (uint64_t r0 = 0; r0 < rows; r0 += 16) {
    const uint64_t nr = rows - r0 < 16 ? rows - r0 : 16;
    const uint64_t ahead = rows - r0 > 32 ? 16 : (rows - r0 > 16 ? rows - r0 - 16 : 0);
    const __mmask16 row_mask = lanes_below(nr);
    for (uint64_t c0 = 0; c0 < cols; c0 += 16) {
      const uint64_t nc = cols - c0 < 16 ? cols - c0 : 16;
      if (c0 % 32 == 0) {
        for (uint64_t i = 0; i < ahead; ++i) {
          _mm_prefetch(reinterpret_cast<const char*>(src + (r0 + 16 + i) * ld + c0), _MM_HINT_T0);
        }
      }
      __m512 t[16];
      if (nr == 16 && nc == 16) {
#pragma GCC unroll 16
        for (uint64_t i = 0; i < 16; ++i) t[i] = widen16(src + (r0 + i) * ld + c0);
        transpose16(t);
        if (stream) {
#pragma GCC unroll 16
          for (uint64_t j = 0; j < 16; ++j) _mm512_stream_ps(dst + (c0 + j) * ld_dst + r0, t[j]);
        } else {
#pragma GCC unroll 16
          for (uint64_t j = 0; j < 16; ++j) _mm512_storeu_ps(dst + (c0 + j) * ld_dst + r0, t[j]);
        }
        continue;
      }
      const __mmask16 col_mask = lanes_below(nc);
#pragma GCC unroll 16
      for (uint64_t i = 0; i < 16; ++i) {
        t[i] = i < nr ? widen16_masked(src + (r0 + i) * ld + c0, col_mask) : _mm512_setzero_ps();
      }
      transpose16(t);
#pragma GCC unroll 16
      for (uint64_t j = 0; j < 16; ++j) {
        if (j < nc) _mm512_mask_storeu_ps(dst + (c0 + j) * ld_dst + r0, row_mask, t[j]);
      }
    }
  }
  if (stream) _mm_sfence();
}

template <bool kToFloat, typename Out>
void q8_row_to(const uint8_t* row, uint64_t cols, Out* dst) {
  for (uint64_t k = 0; k < cols; k += kQ8BlockValues) {
    const uint8_t* block = row + (k / kQ8BlockValues) * kQ8BlockBytes;
    const __m512 s = block_scale(block);
    for (uint64_t g = 0; g < 4 && k + g * 16 < cols; ++g) {
      const __mmask16 m = lanes_below(cols - k - g * 16);
      const __m512i q =
          _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + g * 16)));
      const __m256i h = _mm512_cvtps_ph(_mm512_mul_ps(_mm512_cvtepi32_ps(q), s), kRound);
      if constexpr (kToFloat) {
        _mm512_mask_storeu_ps(dst + k + g * 16, m, _mm512_cvtph_ps(h));
      } else {
        _mm256_mask_storeu_epi16(dst + k + g * 16, m, h);
      }
    }
  }
}

// Tiles of 16 x 16 (sixteen columns never straddle a block of 64), loading only the columns
// there are; rows past the last are zeros that are not stored. Prefetched as
// widen_f16_transposed is: the next band's blocks while a band is worked, and the first band's
// whole rows before it (1536 x 48 and 576 x 96 slices of q8 weights from memory on one Zen 5
// core: 0.11-0.12 ns per value with both, 0.14-0.19 without).
void q8_to_f32_transposed(const uint8_t* src, uint64_t row_bytes, uint64_t rows, uint64_t cols,
                          float* dst, uint64_t ld_dst) {
  prefetch_q8_rows(src, row_bytes, rows < 16 ? rows : 16, cols);
  for (uint64_t r0 = 0; r0 < rows; r0 += 16) {
    const uint64_t nr = rows - r0 < 16 ? rows - r0 : 16;
    const uint64_t ahead = rows - r0 > 32 ? 16 : (rows - r0 > 16 ? rows - r0 - 16 : 0);
    const __mmask16 row_mask = lanes_below(nr);
    for (uint64_t c0 = 0; c0 < cols; c0 += 16) {
      const uint64_t nc = cols - c0 < 16 ? cols - c0 : 16;
      const uint64_t block = (c0 / kQ8BlockValues) * kQ8BlockBytes, at = c0 % kQ8BlockValues;
      if (at == 0) prefetch_q8_block(src, row_bytes, r0 + 16, ahead, block);
      const __mmask16 col_mask = lanes_below(nc);
      __m512 t[16];
#pragma GCC unroll 16
      for (uint64_t i = 0; i < 16; ++i) {
        if (i < nr) {
          const uint8_t* b = src + (r0 + i) * row_bytes + block;
          const __m512i q = _mm512_cvtepi8_epi32(_mm_maskz_loadu_epi8(col_mask, b + at));
          const __m512 v = _mm512_mul_ps(_mm512_cvtepi32_ps(q), block_scale(b));
          t[i] = _mm512_cvtph_ps(_mm512_cvtps_ph(v, kRound));
        } else {
          t[i] = _mm512_setzero_ps();
        }
      }
      transpose16(t);
      if (nr == 16 && nc == 16) {
#pragma GCC unroll 16
        for (uint64_t j = 0; j < 16; ++j) _mm512_storeu_ps(dst + (c0 + j) * ld_dst + r0, t[j]);
        continue;
      }
#pragma GCC unroll 16
      for (uint64_t j = 0; j < 16; ++j) {
        if (j < nc) _mm512_mask_storeu_ps(dst + (c0 + j) * ld_dst + r0, row_mask, t[j]);
      }
    }
  }
}

void q8_row_to_f16(const uint8_t* row, uint64_t cols, uint16_t* dst) {
  q8_row_to<false>(row, cols, dst);
}
void q8_row_to_f32(const uint8_t* row, uint64_t cols, float* dst) {
  q8_row_to<true>(row, cols, dst);
}

inline __m512 load16(const uint16_t* p) { return widen16(p); }
inline __m512 load16(const float* p) { return _mm512_loadu_ps(p); }

template <typename K>
void dots64(const float* q, const K* k, uint64_t keys, float* dots) {
  const __m512 q0 = _mm512_loadu_ps(q), q1 = _mm512_loadu_ps(q + 16);
  const __m512 q2 = _mm512_loadu_ps(q + 32), q3 = _mm512_loadu_ps(q + 48);
  for (uint64_t j = 0; j < keys; ++j) {
    const K* key = k + j * 64;
    // Lane l: q[l] k[l] + q[l + 32] k[l + 32].
    const __m512 lo = _mm512_add_ps(_mm512_mul_ps(q0, load16(key)), _mm512_mul_ps(q2, load16(key + 32)));
    const __m512 hi =
        _mm512_add_ps(_mm512_mul_ps(q1, load16(key + 16)), _mm512_mul_ps(q3, load16(key + 48)));
    dots[j] = fold32(lo, hi);
  }
}

template <typename V>
void accumulate64(const float* p, const V* v, uint64_t keys, float* partial) {
  __m512 acc[4][4];
#pragma GCC unroll 8
  for (uint64_t g = 0; g < 4; ++g)
#pragma GCC unroll 8
    for (uint64_t c = 0; c < 4; ++c) acc[g][c] = _mm512_loadu_ps(partial + g * 64 + c * 16);
  uint64_t j = 0;
  for (; j + 4 <= keys; j += 4) {
#pragma GCC unroll 8
    for (uint64_t g = 0; g < 4; ++g) {
      const __m512 pj = _mm512_set1_ps(p[j + g]);
      const V* value = v + (j + g) * 64;
#pragma GCC unroll 8
      for (uint64_t c = 0; c < 4; ++c) {
        acc[g][c] = _mm512_add_ps(acc[g][c], _mm512_mul_ps(pj, load16(value + c * 16)));
      }
    }
  }
  for (uint64_t g = 0; j + g < keys; ++g) {
    const __m512 pj = _mm512_set1_ps(p[j + g]);
    const V* value = v + (j + g) * 64;
#pragma GCC unroll 8
    for (uint64_t c = 0; c < 4; ++c) {
      acc[g][c] = _mm512_add_ps(acc[g][c], _mm512_mul_ps(pj, load16(value + c * 16)));
    }
  }
#pragma GCC unroll 8
  for (uint64_t g = 0; g < 4; ++g)
#pragma GCC unroll 8
    for (uint64_t c = 0; c < 4; ++c) _mm512_storeu_ps(partial + g * 64 + c * 16, acc[g][c]);
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

// 128 lanes in eight registers; a partial chunk adds +0 in its masked lanes, which leaves a lane
// that started at +0 unchanged. Group g is registers 2g (lanes 0-15) and 2g + 1 (16-31).
template <bool kSquares>
float group_sum_lanes(const float* v, uint64_t n) {
  __m512 acc[8];
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) acc[j] = _mm512_setzero_ps();
  for (uint64_t i = 0; i < n; i += 128) {
#pragma GCC unroll 8
    for (uint64_t j = 0; j < 8; ++j) {
      const uint64_t at = i + 16 * j;
      const __m512 x = _mm512_maskz_loadu_ps(lanes_below(at < n ? n - at : 0), v + at);
      acc[j] = _mm512_add_ps(acc[j], kSquares ? _mm512_mul_ps(x, x) : x);
    }
  }
  const float g0 = fold32(acc[0], acc[1]), g1 = fold32(acc[2], acc[3]);
  const float g2 = fold32(acc[4], acc[5]), g3 = fold32(acc[6], acc[7]);
  return (g0 + g1) + (g2 + g3);
}

float group_sum128(const float* v, uint64_t n, bool squares) {
  return squares ? group_sum_lanes<true>(v, n) : group_sum_lanes<false>(v, n);
}

const BandwidthKernels kAvx512 = {
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

bool bandwidth_avx512_available() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
         cpu_has_f16c();
}

const BandwidthKernels& bandwidth_kernels_avx512() { return kAvx512; }

}  // namespace vexa
