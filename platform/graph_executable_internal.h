// The parts of an executable that compilation fills in and running reads.
#pragma once

#include <memory>
#include <vector>

#include "platform/graph_executable.h"

namespace vexa {

struct GraphExecutable::Slot {
  enum class Storage : uint8_t { kArena, kConstant, kFeed, kAlias, kEmpty };
  Storage storage = Storage::kArena;
  uint32_t tensor = 0;       // graph tensor index
  DeviceDataType type = DeviceDataType::kInvalid;
  // The type values are held at: the tensor's, or float16 for floats on the Neural Engine.
  DeviceDataType held = DeviceDataType::kInvalid;
  GraphShape shape;
  uint64_t elements = 0;
  uint32_t root = 0;         // the slot whose storage an alias shares (itself otherwise)
  uint64_t arena_offset = 0;
  std::shared_ptr<const GraphValues> constant;
  float* data = nullptr;     // set at compile for arena and constants, per run for feeds
  // A feed that only stored-weight products read: handed to them as the caller's bytes, with no
  // room in the arena and no conversion. Set per run.
  bool stored = false;
  GraphFedBytes fed;
};

struct GraphExecutable::Step {
  GraphOpKind kind;
  std::vector<uint32_t> inputs;   // slots; UINT32_MAX for an omitted input
  std::vector<uint32_t> outputs;
  std::vector<uint8_t> normalise;  // per output: bring values to the held type after the step
  std::unique_ptr<GraphKernel> kernel;
  std::shared_ptr<GraphNodeAttrs> own_attrs;
  GraphEpilogue epilogue;
  uint32_t fused_nodes = 1;
  bool empty = false;  // every output has no element: nothing to run
  // Pointer lists handed to the kernel, refilled every run.
  std::vector<const float*> in_ptrs;
  std::vector<float*> out_ptrs;
  std::vector<GraphFedBytes> fed;  // per input; empty when no input is a stored feed
};

inline constexpr uint32_t kGraphNoSlot = UINT32_MAX;

}  // namespace vexa
