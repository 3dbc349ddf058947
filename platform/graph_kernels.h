// The kernels that compiled graphs run, as a table the layer above installs. The graph library
// itself holds no arithmetic: an engine that builds graph executors installs the table first
// (one explicit call, see gpu/graph_ops.h), and compiling without it fails with a message.
//
// For every step of an executable, compilation calls the factory of the step's kind with what
// it knows (operand shapes and types, constant values, attributes); the kernel may check,
// precompute (packed weights, index tables) and ask for workspace. A run then calls run() with
// f32 arrays of every operand: values of integer and bool tensors are carried as f32 (see
// device_data_type.h), and the executable brings each result to its tensor's type afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_data_type.h"

namespace vexa {

enum class GraphOpKind : uint32_t;
struct GraphNodeAttrs;

struct GraphOperand {
  bool present = false;  // false for an omitted optional input
  DeviceDataType type = DeviceDataType::kInvalid;
  std::vector<int64_t> shape;
  uint64_t elements = 0;
  // The values when they are fixed at compile time (a constant), else null. Valid while the
  // executable lives.
  const float* constant = nullptr;
};

// kSilu: x * sigmoid(x), rounded as the sigmoid and the product are.
enum class GraphActivation : uint32_t { kNone = 0, kRelu, kClamp, kLeakyRelu, kSilu, kProgram };

// One step of a fused element-wise program: one IEEE operation per element, as the node it
// stands for computes it. Numbered as the CPU engine's convolution tail steps.
enum class GraphProgramOp : uint32_t {
  kMul = 1,       // v * a
  kAdd = 2,       // v + a
  kDiv = 3,       // v / a
  kClamp = 4,     // a where v < a, b where v > b, else v (NaN stays)
  kSave = 5,      // keep v for a later kMulSaved
  kMulSaved = 6,  // saved * v
};
struct GraphProgramStep {
  GraphProgramOp op = GraphProgramOp::kMul;
  float a = 0.0f, b = 0.0f;
};
inline constexpr uint32_t kGraphProgramMaxSteps = 16;

// What compilation fused after a convolution. Inputs of the step: x, weights, bias, residual,
// scale, shift (omitted ones absent). Applied in this order: + bias (one value per output
// channel); a batch normalisation's per-channel scale and shift folded into the weights and
// bias (affine; constant weights only); + residual (the output's shape); then the activation
// (kProgram: the steps of `program` in order); with relu_affine the scale and shift come after
// a ReLU instead.
struct GraphEpilogue {
  bool bias = false;
  bool residual = false;
  bool affine = false;
  bool relu_affine = false;
  GraphActivation activation = GraphActivation::kNone;
  float alpha = 0.0f;          // leaky slope
  float lo = 0.0f, hi = 0.0f;  // clamp bounds
  std::vector<GraphProgramStep> program;
};

struct GraphStepDesc {
  GraphOpKind kind;
  const GraphNodeAttrs* attrs = nullptr;
  std::vector<GraphOperand> inputs;
  std::vector<GraphOperand> outputs;
  GraphEpilogue epilogue;
};

// A feed handed to a step as the caller's bytes in their own type, instead of converted to f32.
struct GraphFedBytes {
  const uint8_t* bytes = nullptr;  // null: the input is in `inputs` as f32
  DeviceDataType type = DeviceDataType::kInvalid;
};

struct GraphKernelArgs {
  const float* const* inputs;  // null for an omitted optional input, or one passed as fed bytes
  float* const* outputs;
  float* workspace;  // 64-byte aligned, at least workspace_bytes() of the kernel
  std::string* error;
  // Per input, for the kinds that read a feed as it is stored (kFusedStoredMatMul's weight):
  // its bytes when no other step needs the feed as f32. Null for every other kind.
  const GraphFedBytes* fed = nullptr;
};

class GraphKernel {
 public:
  virtual ~GraphKernel() = default;
  virtual uint64_t workspace_bytes() const { return 0; }
  // False (with *args.error set) only on a broken invariant; the run then fails.
  virtual bool run(const GraphKernelArgs& args) = 0;
};

// Null with *error set when the step cannot run (an operand the kernels do not take).
using GraphKernelFactory = std::unique_ptr<GraphKernel> (*)(const GraphStepDesc& desc,
                                                            std::string* error);

struct GraphKernelTable {
  // Indexed by GraphOpKind; null for a kind without kernels (placeholders, constants).
  std::vector<GraphKernelFactory> factories;
};

// Installs the table for every later compilation, replacing the one before (the table must live
// as long as the process). Executables keep the kernels they were compiled with.
void graph_install_kernels(const GraphKernelTable* table);
const GraphKernelTable* graph_installed_kernels();

}  // namespace vexa
