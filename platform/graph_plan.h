// Compilation internals shared by the scheduler, the fusion passes, the memory planner and the
// executable: what one step of a schedule is before kernels are bound to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/graph.h"
#include "platform/graph_executable.h"
#include "platform/graph_kernels.h"

namespace vexa {

// One step of a schedule: a graph node, or a chain of nodes fused into one kernel.
struct GraphPlannedStep {
  GraphOpKind kind = GraphOpKind::kIdentity;
  std::vector<uint32_t> inputs;   // tensor indices; kGraphAbsent for an omitted input
  std::vector<uint32_t> outputs;  // tensor indices
  const GraphNodeAttrs* attrs = nullptr;
  // Attributes a fused chain made up (the layer-norm epsilon); owned by the step.
  std::shared_ptr<GraphNodeAttrs> own_attrs;
  GraphEpilogue epilogue;
  uint32_t fused_nodes = 1;
};

// What the fusion passes know of a scheduled graph.
struct GraphScheduleView {
  const Graph* graph = nullptr;
  std::vector<uint32_t> nodes;        // scheduled node indices, in run order
  std::vector<uint32_t> readers;      // per tensor: input slots of scheduled nodes reading it
  std::vector<int64_t> only_reader;   // per tensor: the node reading it when readers == 1
  std::vector<std::vector<uint32_t>> reader_nodes;  // per tensor: one node per reading slot
  std::vector<uint8_t> target;        // per tensor: computed for the caller
  bool half_compute = false;          // every float value is f16 (fusion would change bits)
};

// The schedule as steps: nodes one to one, except the chains the CPU engine runs as one
// kernel, which become one step placed at the chain's last node (every input of the chain is
// ready there). Fusion is skipped when `fuse` is false or values are rounded to f16 per node.
std::vector<GraphPlannedStep> graph_plan_steps(const GraphScheduleView& view, bool fuse);

// Whether a kind only moves or selects values, so its results already hold their type.
bool graph_kind_keeps_values(GraphOpKind kind);

// Arena offsets for values living from step `first` to step `last` (inclusive; the arena is
// reused once a value's last step has run). Returns the arena size; offsets are 64-byte aligned.
struct GraphLifetime {
  uint64_t bytes = 0;
  int64_t first = 0;
  int64_t last = 0;
};
uint64_t graph_plan_arena(const std::vector<GraphLifetime>& values, std::vector<uint64_t>* offsets);

}  // namespace vexa
