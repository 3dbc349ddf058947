// Two-operand element-wise family: broadcasting rule and the element functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu/graph_records.h"

namespace vexa::cpu {

struct BroadcastShapes {
  uint32_t rank = 0;         // max of the two operand ranks
  uint64_t a[kMaxRank] = {};  // operand dims right-aligned into `rank` slots, leading slots 1
  uint64_t b[kMaxRank] = {};
  uint64_t out[kMaxRank] = {};
  bool compatible = true;    // every aligned pair equal, or one side 1
};

// Right-aligns both shapes and forms the result shape: where one side is 1 the other side's
// dim is taken (so 1 against 0 gives 0), otherwise the two must be equal.
BroadcastShapes cpu_broadcast_shapes(uint64_t rank_a, const uint64_t* dims_a, uint64_t rank_b,
                                     const uint64_t* dims_b);

// Element count a same-shape Add needs before it is split over the worker pool.
inline constexpr uint64_t kParallelAddMinElements = 32768;
// The parallel Add always cuts its range into this many pieces, whatever the thread count.
inline constexpr uint64_t kParallelAddPieces = 64;

// Output element count from which the other binary cases (any kind, a scalar or broadcast
// operand) are split over the pool, always into the same pieces: every element is computed on
// its own, so the bytes never depend on the thread count.
inline constexpr uint64_t kParallelBinaryMinElements = 32768;
inline constexpr uint64_t kParallelBinaryPieces = 16;

// out[i] = a[i] / s, a true IEEE division per element (no reciprocal); vector code when the
// CPU has it. out may equal a.
void cpu_div_by_scalar(const float* a, float s, float* out, size_t n);
void cpu_div_by_scalar_reference(const float* a, float s, float* out, size_t n);
// Forces the portable element loops (tests compare the two paths).
void cpu_eltwise_force_portable(bool on);

}  // namespace vexa::cpu
