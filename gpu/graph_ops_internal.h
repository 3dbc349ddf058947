// Shared pieces of the graph kernels: the factories each family file defines, a one-node call
// into the CPU engine's operator table, and the shape views that let CPU kernels (rank 6 at
// most) run tensors of any graph rank.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/container_format.h"
#include "cpu/graph_records.h"
#include "platform/graph.h"
#include "platform/graph_kernels.h"

namespace vexa::graph_ops {

using Shape = std::vector<int64_t>;
using KernelPtr = std::unique_ptr<GraphKernel>;

// ---- factories, one per family file ----
KernelPtr make_binary(const GraphStepDesc& desc, std::string* error);
KernelPtr make_unary(const GraphStepDesc& desc, std::string* error);
KernelPtr make_clamp(const GraphStepDesc& desc, std::string* error);
KernelPtr make_select(const GraphStepDesc& desc, std::string* error);
KernelPtr make_cast(const GraphStepDesc& desc, std::string* error);
KernelPtr make_movement(const GraphStepDesc& desc, std::string* error);
KernelPtr make_gather_along_axis(const GraphStepDesc& desc, std::string* error);
KernelPtr make_resize(const GraphStepDesc& desc, std::string* error);
KernelPtr make_reduction(const GraphStepDesc& desc, std::string* error);
KernelPtr make_axis_op(const GraphStepDesc& desc, std::string* error);  // softmax, arg-max, top-k
KernelPtr make_layer_norm(const GraphStepDesc& desc, std::string* error);
KernelPtr make_gelu(const GraphStepDesc& desc, std::string* error);
KernelPtr make_scaled_add(const GraphStepDesc& desc, std::string* error);
KernelPtr make_stored_matmul(const GraphStepDesc& desc, std::string* error);
KernelPtr make_hard_sigmoid(const GraphStepDesc& desc, std::string* error);  // and hard swish
KernelPtr make_conv(const GraphStepDesc& desc, std::string* error);
KernelPtr make_conv_transpose(const GraphStepDesc& desc, std::string* error);
KernelPtr make_pool(const GraphStepDesc& desc, std::string* error);
KernelPtr make_matmul(const GraphStepDesc& desc, std::string* error);
KernelPtr make_attention(const GraphStepDesc& desc, std::string* error);

// ---- one node of the CPU engine ----

// The shape that marks an omitted optional operand of a CpuNodeCall.
inline const Shape kAbsentOperand = {-1};

// Attribute words of a node (word index, value).
using Words = std::vector<std::pair<uint32_t, uint64_t>>;

// One CPU operator over operands of the given shapes (inputs, then outputs; an empty optional
// slot is an absent input), checked by the operator's own build-time check when prepared, then
// run on any arrays of those shapes.
class CpuNodeCall {
 public:
  // False with *error set when a shape has rank above 6 or the operator's check refuses.
  bool prepare(OpKind kind, const std::vector<Shape>& inputs, const std::vector<Shape>& outputs,
               const Words& words, std::string* error);
  uint64_t workspace_bytes() const { return workspace_bytes_; }
  // Arrays in the order of prepare(); workspace of at least workspace_bytes().
  bool run(const float* const* inputs, float* const* outputs, float* workspace);
  bool run1(const float* in, float* out, float* workspace) {
    return run(&in, &out, workspace);
  }

 private:
  cpu::CpuNode node_{};
  std::vector<cpu::CpuValue> values_;
  std::vector<float*> data_;
  uint64_t inputs_ = 0;
  uint64_t workspace_bytes_ = 0;
};

// ---- shape views ----

// Operand shapes right-aligned to the output and merged where every operand either follows
// the output on both of two neighbouring dims or repeats over both; dims of 1 dropped. The
// result keeps every operand's broadcast over the output and has the fewest dims.
struct BroadcastView {
  Shape out;
  std::vector<Shape> operands;
};
BroadcastView broadcast_view(const Shape& out, const std::vector<Shape>& operands);

// [outer, d, inner] around one dim.
Shape axis_view(const Shape& s, uint32_t axis);

uint64_t elements_of(const Shape& s);

// f32 word of a float attribute.
uint64_t f32_bits(float f);

// Runs fn(begin, end) over [0, n) in fixed pieces on the process pool when n is large, else
// inline; pieces depend on n only.
void split_elements(uint64_t n, void (*fn)(void* ctx, uint64_t begin, uint64_t end), void* ctx);

}  // namespace vexa::graph_ops
