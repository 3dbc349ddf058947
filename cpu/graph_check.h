// The one validation pass of a graph before the CPU engine trusts it.
#pragma once

#include <cstdint>

#include "core/types.h"
#include "cpu/cpu_state.h"

namespace vexa::cpu {

inline constexpr uint64_t kCheckMessageCapacity = 256;

struct GraphCheckError {
  ErrorCode code = ErrorCode::kOk;
  char message[kCheckMessageCapacity] = {};
};

// Record-level checks of the copied tables against the stored dtypes: value kinds, dtypes,
// ranks, element counts equal to the product of the dims (at most 2^30), byte sizes equal to
// count x element size, weights f32 and inside [0, weight_bytes), node input/output counts
// and ids, outputs written only into intermediates or graph outputs, at least one graph
// output, and every operator kind known to the CPU engine. False with the error filled.
bool graph_check_records(const CpuState& state, uint64_t weight_bytes, GraphCheckError& error);

// Per-operator shape contracts of every node (the entries' checks), plus: every non-weight
// value a node reads or writes has f32 storage for all its elements. Run on the final node
// list (after batch resolution and fusion).
bool graph_check_nodes(const CpuState& state, GraphCheckError& error);

// Workspace bytes the final node list needs (the entries' declared needs and the im2col rule
// of convolutions), or false when a size overflows.
bool graph_workspace_bytes(const CpuState& state, uint64_t& bytes);

}  // namespace vexa::cpu
