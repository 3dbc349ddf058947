// The CPU engine of one graph model: a fixed-capacity record built once from an opened
// container (validated, batch resolved, fused, arena planned) and reused by every run.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"
#include "core/container.h"
#include "core/types.h"
#include "cpu/graph_records.h"

namespace vexa::cpu {

inline constexpr uint64_t kMaxValues = 32768;
inline constexpr uint64_t kMaxNodes = 16384;
inline constexpr uint64_t kMaxGraphOutputs = 64;
inline constexpr uint64_t kMaxBatch = 64;
inline constexpr uint64_t kArenaAlignmentBytes = 64;
inline constexpr uint64_t kDumpDirCapacity = 4096;

struct CpuState {
  uint64_t batch;        // resolved batch size (>= 1)
  uint64_t value_count;  // 1..32768
  CpuValue values[kMaxValues];  // shapes adjusted for the batch; activations sized as f32
  float* data[kMaxValues];      // weights: into the weight storage or fused_weights; else arena
  uint64_t node_count;   // 1..16384
  CpuNode nodes[kMaxNodes];
  uint64_t input_value;   // first graph input; 0 when there is none
  uint64_t first_output;  // first graph output
  uint64_t output_count;  // recorded graph outputs, at most 64
  uint64_t outputs[kMaxGraphOutputs];
  float* arena;
  uint64_t arena_size;
  float* im2col;
  uint64_t im2col_size;
  float* fused_weights;   // null when nothing was folded
  float* packed_weights;  // Conv weights in the direct path's layout; null when none
  const uint32_t* cancel_flag;  // the session's cancel flag, read with acquire ordering

  // Settings fixed when the state is built (nothing reads the environment during a run).
  uint64_t fused_weights_size;
  uint64_t packed_weights_size;
  uint32_t threads;      // cap on participating threads per run; 0 = the whole pool
  bool has_graph_input;  // a kind-1 value exists (input copies go nowhere else)
  bool profile;          // VEXA_CPU_PROFILE was set
  bool study_enabled;    // the low-precision study was on when this state was built
  char dump_dir[kDumpDirCapacity];  // VEXA_CPU_DUMP; empty = no dumps
};

// The slot that holds a state pointer; an empty slot (null) means no engine.
using CpuHandle = CpuState**;

struct CpuCreateResult {
  uint32_t tag;       // 0 success (state set), 1 failure (message set)
  CpuState* state;
  Bytes message;      // owned; lower-case text without a final period
  ErrorCode code;     // kInvalidModel, kUnsupported, kOutOfMemory or kInvalidArgument on failure
};

struct CpuBuildOptions {
  uint64_t batch = 1;    // requested batch (1..64)
  uint32_t threads = 0;  // the configuration's thread count; 0 = no cap
};

// Builds the state from an opened container and the host address of its loaded f32 weights
// (at least container->weights_data_size bytes). The weights are borrowed and must outlive
// the state.
CpuCreateResult cpu_state_create(const OpenContainer* container, uint8_t* weight_base,
                                 uint64_t requested_batch);
CpuCreateResult cpu_state_create_default(const OpenContainer* container, uint8_t* weight_base);
CpuCreateResult cpu_state_create_with(const OpenContainer* container, uint8_t* weight_base,
                                      const CpuBuildOptions& options);
// Releases the message of a failed result.
void cpu_create_result_release(CpuCreateResult* result);
std::string_view cpu_create_message(const CpuCreateResult& result);

// Releases everything the state owns and empties the slot; an empty slot does nothing.
void cpu_state_destroy(CpuHandle handle);

uint64_t cpu_output_count(const CpuState* const* handle);
// The storage of recorded graph output k, or null.
float* cpu_output_data(const CpuState* const* handle, uint64_t k);
// Copies bytes into a graph input's storage; refused for anything but a graph input and for
// more bytes than its f32 storage holds.
bool cpu_set_input(CpuState* const* handle, uint64_t value, const void* src, uint64_t bytes);
void cpu_set_context(CpuState* const* handle, const uint32_t* cancel_flag);

// Test hook: the n-th allocation made by the following builds fails (state record, planner,
// arena, workspace, in that order); 0 turns the hook off.
void cpu_fail_allocation_for_testing(uint32_t n);
// Test hook: `observer` is called with each state record after its wipe, just before the
// memory goes back; null turns the hook off.
void cpu_observe_release_for_testing(void (*observer)(const CpuState*));
// Test view: built states not yet destroyed, counting partial ones a failed build left behind.
uint64_t cpu_live_state_count_for_testing();

// Monotonic clock in seconds, for profiling.
double cpu_clock_seconds();

}  // namespace vexa::cpu
