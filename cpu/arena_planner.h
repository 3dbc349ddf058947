// Activation arena planner: one byte offset per non-weight value, graph inputs and outputs in
// private slots, intermediates sharing blocks by greedy best fit over their lifetimes, and the
// inputs of eligible channel Concats laid out inside the Concat's output.
#pragma once

#include <cstdint>

#include "cpu/cpu_state.h"

namespace vexa::cpu {

inline constexpr uint64_t kMaxArenaBlocks = 1024;
// Bytes 0..63 of the arena are zeros that every value of byte size 0 points at.
inline constexpr uint64_t kArenaZeroPadBytes = 64;

// Scratch of one build: allocated zeroed before batch resolution, released once the data
// pointers are set. `placed` doubles as the batch mark and `consumers` serves the fusion passes.
struct ArenaPlanner {
  int32_t last_use[kMaxValues];   // last node that reads or writes the value; -1 none
  uint32_t consumers[kMaxValues]; // input slots that read the value
  int32_t producer[kMaxValues];   // node with exactly one output that writes it; -1 none
  uint64_t offset[kMaxValues];
  uint8_t placed[kMaxValues];
  uint64_t block_offset[kMaxArenaBlocks];
  uint64_t block_size[kMaxArenaBlocks];
  int32_t block_busy_until[kMaxArenaBlocks];
  uint64_t block_count;
};

inline uint64_t round_up64(uint64_t n) { return (n + 63) & ~uint64_t{63}; }

// Fills planner.offset for every non-weight value and returns the arena size in bytes.
// Expects values whose byte sizes were checked (each at most 2^32 bytes), so offsets cannot
// overflow.
uint64_t arena_plan(const CpuState& state, ArenaPlanner& planner);

}  // namespace vexa::cpu
