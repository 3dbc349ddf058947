// Value and node records for the small graph models the engine and session tests write with
// the container writer.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "core/container_format.h"
#include "core/container_writer.h"

namespace vexa::test_graph {

struct Attr {
  uint32_t word;
  uint64_t value;
};

// Bytes per element of a value dtype (1 f16, 2 f32, 3 i64, 5 u8).
inline uint64_t element_bytes(uint64_t dtype) {
  return dtype == 1 ? 2 : dtype == 3 ? 8 : dtype == 5 ? 1 : 4;
}

inline GraphValue make_value(uint64_t kind, const std::vector<uint64_t>& dims, uint64_t dtype) {
  GraphValue v{};
  v.kind = kind;
  v.dtype = dtype;
  v.rank = dims.size();
  v.element_count = 1;
  for (size_t i = 0; i < dims.size(); ++i) {
    v.dims[i] = dims[i];
    v.element_count *= dims[i];
  }
  v.byte_size = element_bytes(dtype) * v.element_count;
  return v;
}

inline GraphNode make_node(OpKind kind, std::initializer_list<uint64_t> inputs,
                           std::initializer_list<uint64_t> outputs,
                           std::initializer_list<Attr> attrs) {
  GraphNode n{};
  n.op_kind = static_cast<uint64_t>(kind);
  n.input_count = inputs.size();
  n.output_count = outputs.size();
  size_t k = 0;
  for (uint64_t v : inputs) n.inputs[k++] = v;
  k = 0;
  for (uint64_t v : outputs) n.outputs[k++] = v;
  for (const Attr& a : attrs) n.words()[a.word] = a.value;
  return n;
}

// The writer refuses a container without tensors; weightless test models get one dummy.
inline void add_pad_tensor_if_empty(ContainerWriter& writer) {
  if (writer.tensor_count() != 0) return;
  const float pad = 0.0f;
  const uint64_t dims[1] = {1};
  writer.add_tensor_f32("pad", dims, &pad);
}

}  // namespace vexa::test_graph
