// Lowering of container nodes into graph-library operations, shared by the lowering files (one
// per operator family) and the state build. A lowering reads its node's input tensors and the
// value records, adds operations to the graph and stores the tensor of each output value; the
// build checks every node against the CPU engine's shape contracts before it is lowered, so a
// lowering may rely on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/container_format.h"
#include "gpu/mps_state.h"
#include "platform/graph.h"

namespace vexa {

// The build's message for every kind this backend does not lower.
inline constexpr const char* kMpsUnsupportedOp = "unsupported op in MPS backend";

// Attribute positions (index into GraphNode::attrs) as the converter fills them.
enum MpsAttr : uint32_t {
  kMpsAttrKernelH = 0, kMpsAttrKernelW = 1, kMpsAttrStrideH = 2, kMpsAttrStrideW = 3,
  kMpsAttrPadTop = 4, kMpsAttrPadLeft = 5, kMpsAttrPadBottom = 6, kMpsAttrPadRight = 7,
  kMpsAttrDilationH = 8, kMpsAttrDilationW = 9, kMpsAttrGroup = 10, kMpsAttrAxis = 11,
  kMpsAttrMode = 12, kMpsAttrFlag = 13, kMpsAttrAlpha = 14, kMpsAttrBeta = 15,
};

struct MpsLowerContext {
  Graph* graph = nullptr;
  std::vector<MpsValue>* values = nullptr;
  DeviceDataType compute = DeviceDataType::kFloat32;
  // Shared scalar constants of the compute type.
  GraphTensor zero{}, one{};
  const float* weight_base = nullptr;  // f32 weights of the slot (pads and other small operands)
};

// One node being lowered.
class MpsNode {
 public:
  MpsNode(MpsLowerContext& ctx, const GraphNode& node) : ctx_(ctx), node_(node) {}

  Graph& g() const { return *ctx_.graph; }
  DeviceDataType compute() const { return ctx_.compute; }
  const GraphNode& node() const { return node_; }
  uint64_t kind() const { return node_.op_kind; }

  bool has_input(uint32_t k) const {
    return k < node_.input_count && node_.inputs[k] != kAbsentInput;
  }
  GraphTensor in(uint32_t k) const { return value(node_.inputs[k]).tensor; }
  const GraphValue& in_value(uint32_t k) const { return value(node_.inputs[k]).record; }
  const GraphValue& out_value(uint32_t k) const { return value(node_.outputs[k]).record; }
  GraphShape in_shape(uint32_t k) const;
  GraphShape out_shape(uint32_t k = 0) const;
  uint64_t out_count() const { return node_.output_count; }
  uint64_t in_count() const { return node_.input_count; }

  int64_t attr(uint32_t k) const { return static_cast<int64_t>(node_.attrs[k]); }
  float attr_f32(uint32_t k) const;
  // Attribute 11 counted from the end of `rank` when negative; false outside [0, rank).
  bool axis(uint64_t rank, int64_t* axis) const;

  // A scalar constant of the compute type (0 and 1 are the shared ones).
  GraphTensor scalar(float v) const;
  GraphTensor zero() const { return ctx_.zero; }
  GraphTensor one() const { return ctx_.one; }
  // A constant of the compute type holding the values.
  GraphTensor constant(const std::vector<float>& v, const GraphShape& shape) const;
  GraphTensor constant_i32(const std::vector<int32_t>& v, const GraphShape& shape) const;
  // Bool or integer results as the compute type.
  GraphTensor as_compute(GraphTensor t) const { return g().cast(t, ctx_.compute); }
  // Index tensors as int32, as the gathers and scatters take them.
  GraphTensor as_index(GraphTensor t) const { return g().cast(t, DeviceDataType::kInt32); }

  // The f32 values of a weight input (null when input k is not a weight).
  const float* weight_data(uint32_t k) const;
  // The f32 values and element count of the weight with that value id (null for another kind).
  const float* weight_of(uint64_t id, uint64_t* count) const;

  void set_out(uint32_t k, GraphTensor t) const { value(node_.outputs[k]).tensor = t; }
  // Refuses the node with a message; returns false.
  bool fail(std::string message) const;
  const std::string& error() const { return error_; }

 private:
  MpsValue& value(uint64_t id) const { return (*ctx_.values)[id]; }

  MpsLowerContext& ctx_;
  const GraphNode& node_;
  mutable std::string error_;
};

// Whether the lowering takes the kind at all (the set mps_supports_op reports).
bool mps_kind_lowered(uint64_t kind);

// Lowers one node; false with *error set when the node is refused or the graph reports an error.
// The tensors stored for the outputs have the shapes of their value records.
bool mps_lower_node(MpsLowerContext& ctx, const GraphNode& node, std::string* error);

// Transpose's permutation of `rank` axes as the node records it; false when it records none.
bool mps_transpose_permutation(const GraphNode& node, uint64_t rank, std::vector<int64_t>* perm);

// The window side s of a Gemm lowered as a convolution (K = C x s x s): 1 up to K = 4096, else
// the first of 7..2 whose square divides K.
int64_t mps_gemm_fold_side(int64_t k);

// The families, each false with the node's failure set.
bool mps_lower_math(MpsNode& n);
bool mps_lower_norm(MpsNode& n);
bool mps_lower_products(MpsNode& n);
bool mps_lower_layout(MpsNode& n);
bool mps_lower_resize(MpsNode& n);
bool mps_lower_detection(MpsNode& n);

}  // namespace vexa
