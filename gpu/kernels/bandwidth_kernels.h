// The inner loops of the kernels that stream weights or caches from memory (matrix-vector
// products, embeddings, q8 expansion, decode attention), in a portable form and in AVX2/F16C and
// AVX-512 forms chosen once at run time. Every form computes the same f32 operations in the same
// order, so all give the same bits; the tests hold them to that.
//
// Conventions: halves are converted as F16C converts (platform/half.h); a q8 value is the f32
// product of its byte and its block's scale rounded once to a half, and every use reads that
// half; inputs are read only at the columns asked for (never past a row's last used column, so
// a partly used last block contributes nothing beyond it).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vexa {

struct BandwidthKernels {
  // out[r] for r < rows: the sum over k < cols of x[k] * w(r, k), taken as 32 lane sums (lane
  // k mod 32 adds its products in ascending k, from +0) folded upper half onto lower half
  // (16, 8, 4, 2, 1). f16 rows: w(r, k) = w[r * ld + k], each product and sum rounded
  // separately. q8 rows: row r starts at w + r * row_bytes; each lane step is one fused
  // multiply-add of x[k] and the weight's half value.
  void (*dot_f16_rows)(const float* x, const uint16_t* w, uint64_t ld, uint64_t cols,
                       uint64_t rows, float* out);
  void (*dot_q8_rows)(const float* x, const uint8_t* w, uint64_t row_bytes, uint64_t cols,
                      uint64_t rows, float* out);
  void (*widen_f16)(const uint16_t* src, float* dst, uint64_t n);
  // dst[i] = the half nearest src[i] (ties to even, as f16_round_even).
  void (*narrow_f32)(const float* src, uint16_t* dst, uint64_t n);
  // The rows x cols halves of src (row stride ld) widened and transposed:
  // dst[c * ld_dst + r] = src[r * ld + c]. With past_caches the vector forms write whole lines of
  // dst around the caches where its rows start on vector boundaries: for a panel that other cores
  // read next, so that writing it takes no lines back from their caches.
  void (*widen_f16_transposed)(const uint16_t* src, uint64_t ld, uint64_t rows, uint64_t cols,
                               float* dst, uint64_t ld_dst, bool past_caches);
  // Columns [0, cols) of one q8 row as halves, or as the floats of those halves.
  void (*q8_row_to_f16)(const uint8_t* row, uint64_t cols, uint16_t* dst);
  void (*q8_row_to_f32)(const uint8_t* row, uint64_t cols, float* dst);
  // The rows x cols q8 values of src (row r at src + r * row_bytes) as the floats of their
  // halves, transposed: dst[c * ld_dst + r] = value(r, c).
  void (*q8_to_f32_transposed)(const uint8_t* src, uint64_t row_bytes, uint64_t rows,
                               uint64_t cols, float* dst, uint64_t ld_dst);
  // Decode attention over keys of 64 channels (rows of 64 values, half or float):
  // dots[j] = 32-lane fold of (q[l] * k[j][l] + q[l + 32] * k[j][l + 32]).
  void (*dots64_f16)(const float* q, const uint16_t* k, uint64_t keys, float* dots);
  void (*dots64_f32)(const float* q, const float* k, uint64_t keys, float* dots);
  // partial[g * 64 + c] += p[j] * v[j][c] for every key j with j mod 4 = g, in ascending j.
  void (*accumulate64_f16)(const float* p, const uint16_t* v, uint64_t keys, float* partial);
  void (*accumulate64_f32)(const float* p, const float* v, uint64_t keys, float* partial);
  // The sum of v[0..n), or of each v[i] * v[i] rounded when `squares`, as one 128-thread group
  // reduces it: thread t adds values t, t + 128, ... in order from +0, each SIMD group folds its
  // 32 threads upper half onto lower half (16, 8, 4, 2, 1), and the four group sums combine as
  // (g0 + g1) + (g2 + g3).
  float (*group_sum128)(const float* v, uint64_t n, bool squares);
};

// Veltkamp's split factor 2^13 + 1: t = v f, hi = t - (t - v) rounds v to 11 significant bits.
inline constexpr float kQ8SplitFactor = 8193.0f;

// True when a q8 block's scale keeps every product with a byte (-128..127) either zero or a normal
// half below 65504, so that the split rounds exactly as a half store would: 2^-14 <= |s| < 511.
// Compared as the bits of |s| (which order as the values do, NaNs above infinity), one unsigned
// range test: the float test's fabs and two compares cost about 3% of the AVX-512 q8
// matrix-vector loop on one Zen 4 core, whose vector units are its limit.
inline bool q8_scale_splits(const uint8_t* block) {
  uint32_t bits;
  std::memcpy(&bits, block + 64, sizeof bits);
  constexpr uint32_t kLow = 0x38800000u;   // 2^-14
  constexpr uint32_t kHigh = 0x43ff8000u;  // 511
  return (bits & 0x7fffffffu) - kLow < kHigh - kLow;
}

enum class IsaLevel : uint32_t { kPortable = 0, kAvx2 = 1, kAvx512 = 2 };

// The forms in use: the widest the CPU has unless a test forced another.
const BandwidthKernels& bandwidth_kernels();
// The form of one level; null when the CPU lacks it.
const BandwidthKernels* bandwidth_kernels_at(IsaLevel level);
// Test switch: use this level (when the CPU has it) until called again; kAvx512 restores the
// widest available.
void bandwidth_kernels_force(IsaLevel level);
IsaLevel bandwidth_kernels_level();

// The ISA files' tables and their CPU checks.
const BandwidthKernels& bandwidth_kernels_portable();
const BandwidthKernels& bandwidth_kernels_avx2();
const BandwidthKernels& bandwidth_kernels_avx512();
bool bandwidth_avx2_available();
bool bandwidth_avx512_available();

}  // namespace vexa
