// The graph interpreter: binds the caller's input, runs the node list in order through the
// operator table and copies the first graph output back.
#pragma once

#include <cstdint>

#include "cpu/cpu_state.h"

namespace vexa::cpu {

// One run. `input` (may be null: the graph input keeps what cpu_set_input put there) holds the
// graph input's element count of f32; `output` (may be null) receives the first graph output's
// element count of f32. False for an empty slot, when cancelled before a node, or when a node
// reports a broken invariant.
bool cpu_execute_graph(CpuState* const* handle, const float* input, float* output);
bool cpu_run(CpuState* const* handle, const float* input, float* output);

// Runs n items (n >= 1) as chunks of the model batch B (one run when n equals B). n must be a
// multiple of max(B, 1); inputs and outputs are consecutive items of f32.
bool cpu_run_batch(CpuState* const* handle, uint64_t n, const float* input, float* output);

}  // namespace vexa::cpu
