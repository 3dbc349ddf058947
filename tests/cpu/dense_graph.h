// A graph assembled value by value and node by node for the CPU kernel tests, turned into a
// CpuState without a container, and a runner that checks and runs its nodes in order.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cpu/fusion.h"
#include "cpu/op_table.h"
#include "cpu_records.h"
#include "dense_tolerance.h"

namespace vexa::cpu::testing {

inline constexpr uint64_t k(OpKind kind) { return static_cast<uint64_t>(kind); }

// A graph held by the test: value records with their storage, and node records.
class TestGraph {
 public:
  uint64_t value(uint64_t kind, std::initializer_list<uint64_t> dims, uint32_t seed = 0) {
    const CpuValue v = test_records::f32_value_record(kind, dims);
    const uint64_t count = v.w[kValueWordElementCount];
    values_.push_back(v);
    storage_.push_back(seed != 0 ? lcg_values(count, seed) : std::vector<float>(count, 0.0f));
    return values_.size() - 1;
  }
  uint64_t weight(std::initializer_list<uint64_t> dims, uint32_t seed) {
    return value(kValueWeight, dims, seed);
  }
  uint64_t act(std::initializer_list<uint64_t> dims) { return value(kValueIntermediate, dims); }
  std::vector<float>& storage(uint64_t v) { return storage_[v]; }

  uint64_t node(OpKind kind, std::initializer_list<uint64_t> in, std::initializer_list<uint64_t> out,
                const std::vector<std::pair<uint32_t, uint64_t>>& attrs = {}) {
    nodes_.push_back(test_records::node_record(kind, in, out, attrs));
    return nodes_.size() - 1;
  }

  struct StateDeleter {
    void operator()(CpuState* s) const {
      std::free(s->fused_weights);
      std::free(s->packed_weights);
      std::free(s);
    }
  };
  using StatePtr = std::unique_ptr<CpuState, StateDeleter>;

  StatePtr state() {
    StatePtr s(static_cast<CpuState*>(std::calloc(1, sizeof(CpuState))));
    s->batch = 1;
    s->value_count = values_.size();
    s->node_count = nodes_.size();
    for (size_t v = 0; v < values_.size(); ++v) {
      s->values[v] = values_[v];
      s->data[v] = storage_[v].data();
    }
    for (size_t n = 0; n < nodes_.size(); ++n) s->nodes[n] = nodes_[n];
    return s;
  }

 private:
  std::vector<CpuValue> values_;
  std::vector<std::vector<float>> storage_;
  std::vector<CpuNode> nodes_;
};

inline void fuse(CpuState& s) {
  auto* planner = static_cast<ArenaPlanner*>(std::calloc(1, sizeof(ArenaPlanner)));
  cpu_fuse_graph(s, *planner);
  std::free(planner);
}

// Checks every node as a build would, then runs the list in order.
inline ::testing::AssertionResult run(CpuState& s) {
  uint64_t workspace_bytes = 64;
  char message[256];
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const OpEntry* e = cpu_op_entry(s.nodes[n].kind());
    if (e == nullptr) return ::testing::AssertionFailure() << "no entry for node " << n;
    message[0] = '\0';
    OpCheck check{s.nodes[n], s.values, s.value_count, message, sizeof message};
    if (!e->check(check)) return ::testing::AssertionFailure() << "node " << n << ": " << message;
    if (e->workspace != nullptr) workspace_bytes = std::max(workspace_bytes, e->workspace(check));
  }
  std::vector<float> workspace(workspace_bytes / sizeof(float) + 1);
  for (uint64_t n = 0; n < s.node_count; ++n) {
    OpContext ctx{s.nodes[n], s.values, s.data, s.value_count, workspace.data(), workspace_bytes};
    if (!cpu_op_entry(s.nodes[n].kind())->run(ctx))
      return ::testing::AssertionFailure() << "node " << n << " failed";
  }
  return ::testing::AssertionSuccess();
}

// The op kinds of the node list, in order (what fusion left).
inline std::vector<uint64_t> kinds(const CpuState& s) {
  std::vector<uint64_t> out;
  for (uint64_t n = 0; n < s.node_count; ++n) out.push_back(s.nodes[n].kind());
  return out;
}

// A copy of value v's floats.
inline std::vector<float> output_of(const CpuState& s, uint64_t v) {
  return std::vector<float>(s.data[v], s.data[v] + s.values[v].element_count());
}

}  // namespace vexa::cpu::testing

namespace vexa::cpu::testing {

// The build-time check of node n; the refusal text lands in *message.
inline bool check_node(const CpuState& s, uint64_t n, std::string* message) {
  const OpEntry* e = cpu_op_entry(s.nodes[n].kind());
  if (e == nullptr) {
    *message = "no entry";
    return false;
  }
  char text[256] = {};
  OpCheck check{s.nodes[n], s.values, s.value_count, text, sizeof text};
  const bool ok = e->check(check);
  *message = text;
  return ok;
}

}  // namespace vexa::cpu::testing
