// Value and node records of a CPU state written directly, for tests that assemble a graph
// without a container.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "cpu/op_table.h"

namespace vexa::cpu::test_records {

using AttrWord = std::pair<uint32_t, uint64_t>;

// A dense f32 value of the given shape.
inline CpuValue f32_value_record(uint64_t kind, std::span<const uint64_t> dims) {
  CpuValue v{};
  v.w[kValueWordKind] = kind;
  v.w[kValueWordDtype] = kDtypeF32;
  v.w[kValueWordRank] = dims.size();
  uint64_t count = 1;
  for (size_t i = 0; i < dims.size(); ++i) {
    v.w[kValueWordFirstDim + i] = dims[i];
    count *= dims[i];
  }
  v.w[kValueWordElementCount] = count;
  v.w[kValueWordByteSize] = count * kF32Bytes;
  return v;
}

// Operand lists longer than the record holds keep their count (so the check can refuse
// them) but only the first slots are written.
inline CpuNode node_record(OpKind kind, std::span<const uint64_t> inputs,
                           std::span<const uint64_t> outputs,
                           std::span<const AttrWord> attrs = {}) {
  CpuNode n{};
  n.w[kNodeWordKind] = static_cast<uint64_t>(kind);
  n.w[kNodeWordInputCount] = inputs.size();
  for (size_t i = 0; i < inputs.size() && i < kMaxNodeInputs; ++i) {
    n.w[kNodeWordFirstInput + i] = inputs[i];
  }
  n.w[kNodeWordOutputCount] = outputs.size();
  for (size_t i = 0; i < outputs.size() && i < kMaxNodeOutputs; ++i) {
    n.w[kNodeWordFirstOutput + i] = outputs[i];
  }
  for (const auto& [word, value] : attrs) n.w[word] = value;
  return n;
}

}  // namespace vexa::cpu::test_records
