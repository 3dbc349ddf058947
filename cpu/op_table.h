// Operator dispatch of the CPU engine.
//
// Every operator kind maps to one entry: a check run once per node when a state is built
// (attributes, operand presence, shape contracts) and a run function called by the
// interpreter. A graph whose nodes fail their checks is refused as an invalid model, so run
// functions may rely on everything their check established.
//
// Adding an operator family: write cpu/ops/<family>.cpp defining
//     void register_<family>_ops(OpRegistry& registry);   (in namespace vexa::cpu)
// that calls registry.add(kind, check, run[, workspace]) for each of its kinds, and add the one line
// X(<family>) to VEXA_CPU_OP_FAMILIES in cpu/op_table.cpp. Which family owns which kind is
// fixed in that file's kind table; a family may only register the kinds it owns.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "cpu/graph_records.h"

namespace vexa::cpu {

// Read-only view of one node for its build-time check. The generic graph check has already
// established: input count <= 8, output count 1..4, every input id below the value count or
// absent, every output id below the value count and of kind intermediate or graph output,
// no output id repeated or also read by the same node, every value's element count equal
// to the product of its dims and at most 2^30.
struct OpCheck {
  const CpuNode& node;
  const CpuValue* values;
  uint64_t value_count;
  char* message;            // receives the refusal text
  uint64_t message_capacity;

  bool has_input(uint32_t k) const {
    return k < node.input_count() && node.input(k) != kAbsentValue;
  }
  const CpuValue& in_value(uint32_t k) const { return values[node.input(k)]; }
  const CpuValue& out_value(uint32_t k) const { return values[node.output(k)]; }

  // Records a refusal ("<kind name> node: <text>") and returns false.
  bool fail(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  // Common checks; each records its own refusal.
  bool inputs_between(uint64_t min_count, uint64_t max_count) const;
  bool outputs_between(uint64_t min_count, uint64_t max_count) const;
  bool inputs_present(uint32_t count) const;  // inputs 0..count-1 exist and are not absent
};

// What a run function receives for one node. Tensors are dense row-major f32; the data
// pointer of a value of byte size 0 points at 64 zero bytes.
struct OpContext {
  const CpuNode& node;
  const CpuValue* values;
  float* const* data;
  uint64_t value_count;
  float* workspace;          // im2col workspace, 64-byte aligned, shared by all nodes
  uint64_t workspace_bytes;

  bool has_input(uint32_t k) const {
    return k < node.input_count() && node.input(k) != kAbsentValue;
  }
  const CpuValue& in_value(uint32_t k) const { return values[node.input(k)]; }
  const float* in(uint32_t k) const { return data[node.input(k)]; }
  const CpuValue& out_value(uint32_t k) const { return values[node.output(k)]; }
  float* out(uint32_t k) const { return data[node.output(k)]; }
};

using OpCheckFn = bool (*)(const OpCheck& check);
// Returns false only on a broken invariant; the run then ends with failure.
using OpRunFn = bool (*)(const OpContext& ctx);
// Bytes of the shared workspace a checked node needs (0 = none). The state's workspace is
// sized to the largest need of any node, so a run function may use ctx.workspace up to it.
using OpWorkspaceFn = uint64_t (*)(const OpCheck& check);

struct OpEntry {
  OpCheckFn check = nullptr;
  OpRunFn run = nullptr;
  OpWorkspaceFn workspace = nullptr;
};

class OpRegistry {
 public:
  explicit OpRegistry(const char* family) : family_(family) {}
  // Registers one kind; registering a kind owned by another family, or twice, aborts.
  void add(uint64_t kind, OpCheckFn check, OpRunFn run, OpWorkspaceFn workspace = nullptr);

 private:
  const char* family_;
};

// The entry of a kind, or null when the kind has no case in this build.
const OpEntry* cpu_op_entry(uint64_t kind);

// The family that owns a kind in the kind table, or null for kinds without a case.
const char* cpu_op_family(uint64_t kind);

// Whether a kind runs on the CPU: true exactly for the kinds that have a registered entry.
bool cpu_supports_op(uint64_t kind);

}  // namespace vexa::cpu
