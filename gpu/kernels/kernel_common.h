// What every graph kernel shares: the 80-byte parameter block, the two activation types, typed
// and bounds-checked views of the bindings, and the fixed reduction orders.
//
// Activations are half (VEXA_FLOAT = 0) or float; weights and biases are always half or q8
// blocks; ids and positions are signed 64-bit. Arithmetic is f32 throughout, and every rounding
// point of a kernel's contract is an explicit A::round (or A::store) call.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "gpu/kernels/bandwidth_kernels.h"
#include "platform/half.h"
#include "platform/software_device.h"

namespace vexa {

// u[0..15] then f[0..3], always bound as inline bytes at index 3.
struct KernelParams {
  uint32_t u[16];
  float f[4];
};
static_assert(sizeof(KernelParams) == 80);

inline constexpr uint32_t kParamsIndex = 3;
inline constexpr uint64_t kQ8BlockValues = 64;
inline constexpr uint64_t kQ8BlockBytes = 68;

// Asks for the lines of rows [r0, r0 + count) of a q8 matrix that hold the block at byte `block`
// of each row (a block may straddle two lines). The transposing expansions read 8 or 16 rows
// side by side in runs too short for the hardware prefetchers to follow.
inline void prefetch_q8_block(const uint8_t* src, uint64_t row_bytes, uint64_t r0, uint64_t count,
                              uint64_t block) {
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* b = src + (r0 + i) * row_bytes + block;
    __builtin_prefetch(b, 0, 3);
    __builtin_prefetch(b + kQ8BlockBytes - 1, 0, 3);
  }
}

// Every block of columns [0, cols) of rows [0, count): the first band of a transposing
// expansion, asked for before it is worked.
inline void prefetch_q8_rows(const uint8_t* src, uint64_t row_bytes, uint64_t count,
                             uint64_t cols) {
  for (uint64_t c = 0; c < cols; c += kQ8BlockValues) {
    prefetch_q8_block(src, row_bytes, 0, count, c / kQ8BlockValues * kQ8BlockBytes);
  }
}
// Threads of a per-row group, and how its reductions are laid out: 4 SIMD groups of 32 lanes.
inline constexpr uint64_t kRowGroupThreads = 128;
inline constexpr uint64_t kSimdLanes = 32;
// The single-pass attention kernels keep at most this many scores per query.
inline constexpr uint64_t kSinglePassMaxKeys = 2048;

struct HalfActivation {
  using T = uint16_t;
  static constexpr bool kIsFloat = false;
  static constexpr float kMaskedScore = -65504.0f;
  static float load(T v) { return f16_widen(v); }
  static T store(float x) { return f16_round_even(x); }
  static float round(float x) { return f16_round_trip(x); }
};

struct FloatActivation {
  using T = float;
  static constexpr bool kIsFloat = true;
  static constexpr float kMaskedScore = -3.402823466e+38f;
  static float load(T v) { return v; }
  static T store(float x) { return x; }
  static float round(float x) { return x; }
};

// n A values as floats (halves widened exactly).
template <typename A>
void load_row(const typename A::T* src, uint64_t n, float* dst) {
  if constexpr (A::kIsFloat) {
    std::copy(src, src + n, dst);
  } else {
    bandwidth_kernels().widen_f16(src, dst, n);
  }
}

// n floats stored as A values: A::store of each, through the vector forms.
template <typename A>
void store_row(const float* src, uint64_t n, typename A::T* dst) {
  if constexpr (A::kIsFloat) {
    std::copy(src, src + n, dst);
  } else {
    bandwidth_kernels().narrow_f32(src, dst, n);
  }
}

// A::round of n floats in place, through the vector forms in chunks.
template <typename A>
void round_row(float* v, uint64_t n) {
  if constexpr (!A::kIsFloat) {
    constexpr uint64_t kChunk = 256;
    uint16_t halves[kChunk];
    const BandwidthKernels& bw = bandwidth_kernels();
    for (uint64_t i = 0; i < n; i += kChunk) {
      const uint64_t len = std::min(kChunk, n - i);
      bw.narrow_f32(v + i, halves, len);
      bw.widen_f16(halves, v + i, len);
    }
  }
}

inline uint64_t ceil_div_u64(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// a * b, or UINT64_MAX when the product overflows (so that a bounds check against it fails).
inline uint64_t mul_sat(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

inline uint64_t grid_thread_count(const KernelDispatch& d) {
  return mul_sat(mul_sat(d.grid_threads.x, d.grid_threads.y), d.grid_threads.z);
}
inline uint64_t grid_group_count(const KernelDispatch& d) {
  return mul_sat(mul_sat(d.threadgroups.x, d.threadgroups.y), d.threadgroups.z);
}

// The parameter block; false (with the dispatch failed) when it is missing or short.
bool read_params(KernelDispatch& d, KernelParams* p);

// Binding `index` as `count` elements of T: null (with the dispatch failed, naming `what`) when
// nothing is bound there, the binding holds fewer bytes, or it is not aligned for T.
template <typename T>
T* bound_elements(KernelDispatch& d, uint32_t index, uint64_t count, const char* what) {
  const KernelBinding b = d.binding(index);
  if (b.data == nullptr) {
    d.fail(std::string(what) + " not bound");
    return nullptr;
  }
  if (count > b.length / sizeof(T)) {
    d.fail(std::string(what) + " shorter than the dispatch reads");
    return nullptr;
  }
  if (reinterpret_cast<uintptr_t>(b.data) % alignof(T) != 0) {
    d.fail(std::string(what) + " misaligned");
    return nullptr;
  }
  return reinterpret_cast<T*>(b.data);
}

// Bytes of binding `index` when it holds at least `bytes`; null (with the dispatch failed)
// otherwise.
uint8_t* bound_bytes(KernelDispatch& d, uint32_t index, uint64_t bytes, const char* what);

// q8 rows of `row_bytes` must hold ceil(cols / 64) blocks; false (with the dispatch failed)
// otherwise.
bool q8_row_bytes_ok(KernelDispatch& d, uint64_t row_bytes, uint64_t cols);

// The sum of 32 lane values as a SIMD-group reduction folds them: the upper half onto the lower
// half, 16 + 8 + 4 + 2 + 1 lanes.
inline float fold_lanes32(float* v) {
  for (uint64_t width = 16; width >= 1; width /= 2) {
    for (uint64_t l = 0; l < width; ++l) v[l] = v[l] + v[l + width];
  }
  return v[0];
}

// The sum of n values as one 128-thread group reduces it: thread t adds the values t, t + 128,
// ... in order (starting from +0), each SIMD group folds its 32 threads (fold_lanes32), and the
// four group sums combine as (g0 + g1) + (g2 + g3).
float group_sum128(const float* v, uint64_t n);

// The same with every value squared first (v[i] * v[i], rounded), without a copy.
float group_sum_squares128(const float* v, uint64_t n);

// f32 working memory of one kernel call, on the thread that makes it. Each thread keeps one
// panel per slot between calls, up to kKeptScratchBytes each: the tiled kernels spent about 46%
// of their time in page faults while every call took fresh memory. A larger request, or a slot
// already borrowed on this thread, gets memory of its own that is freed with the object.
// The memory is not cleared: it may hold an earlier call's values.
inline constexpr uint64_t kKeptScratchBytes = uint64_t{64} << 20;
inline constexpr unsigned kScratchSlots = 4;

// Scratch panels start on a cache line. The allocator's large blocks start 16 bytes past a page,
// so every 16-float store of a widening pass split over two lines, and the line at each boundary
// between two tasks' output was written by both threads.
inline constexpr uint64_t kScratchAlignment = 64;

struct ScratchDelete {
  void operator()(float* p) const;
};
using ScratchPanel = std::unique_ptr<float[], ScratchDelete>;
// count floats (at least one) on a kScratchAlignment boundary; throws std::bad_alloc as new does.
ScratchPanel new_scratch_panel(uint64_t count);

class ScratchFloats {
 public:
  ScratchFloats(unsigned slot, uint64_t count);
  ~ScratchFloats();
  ScratchFloats(const ScratchFloats&) = delete;
  ScratchFloats& operator=(const ScratchFloats&) = delete;
  float* data() const { return data_; }

 private:
  float* data_ = nullptr;
  int borrowed_ = -1;  // slot borrowed, or -1
  ScratchPanel owned_;
};

// rsqrt(D) of the attention kernels: 1 / sqrt(D), each step rounded in f32.
inline float attention_scale(uint64_t head_dim) {
  return 1.0f / std::sqrt(static_cast<float>(head_dim));
}

}  // namespace vexa
