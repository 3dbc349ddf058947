// Helpers of the graph-library tests: tensors in device buffers, a run through feeds and
// results, naive reference loops, and one-node graphs of the CPU engine on the same inputs.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpu/cpu_graph_fixture.h"
#include "gpu/graph_ops.h"
#include "platform/graph.h"
#include "platform/graph_executable.h"
#include "platform/graph_shapes.h"
#include "platform/half.h"
#include "platform/software_device.h"

namespace vexa::graph_test {

using Shape = std::vector<int64_t>;
using Floats = std::vector<float>;

inline uint64_t count(const Shape& s) {
  uint64_t n = 1;
  for (int64_t d : s) n *= static_cast<uint64_t>(d);
  return n;
}

using cpu::graph_test::values;

inline Floats rounded_f16(Floats v) {
  for (float& x : v) x = f16_round_trip(x);
  return v;
}

// A shared buffer holding values stored as `type` (private when asked: device work only).
inline std::shared_ptr<DeviceBuffer> buffer_of(const Floats& v, DeviceDataType type,
                                              uint64_t offset = 0,
                                              StorageMode mode = StorageMode::kShared) {
  const uint64_t bytes = offset + v.size() * device_data_type_bytes(type);
  auto b = device_system_default()->new_buffer(bytes == 0 ? 16 : bytes, mode);
  device_values_from_f32(type, v.data(), b->device_bytes() + offset, v.size());
  return b;
}

inline Floats read_buffer(const std::shared_ptr<DeviceBuffer>& b, DeviceDataType type, uint64_t n,
                          uint64_t offset = 0) {
  Floats v(n);
  device_values_to_f32(type, b->device_bytes() + offset, v.data(), n);
  return v;
}

// The kernels installed once, a queue, and runs through feeds and results dictionaries.
class GraphRun {
 public:
  GraphRun() {
    graph_ops_install();
    queue_ = device_system_default()->new_command_queue();
  }
  CommandQueue& queue() { return *queue_; }

  void feed(Graph& g, GraphTensor t, const Floats& v, DeviceDataType type) {
    feeds_[t] = GraphTensorData(buffer_of(v, type), g.shape(t), type);
  }
  void feed(Graph& g, GraphTensor t, const Floats& v) { feed(g, t, v, g.type(t)); }

  // Runs for the targets; results read back as f32 from buffers of the targets' types.
  ::testing::AssertionResult run(Graph& g, const std::vector<GraphTensor>& targets,
                                 std::vector<Floats>* out) {
    GraphTensorDataMap results;
    std::vector<std::shared_ptr<DeviceBuffer>> buffers;
    for (GraphTensor t : targets) {
      Shape s = g.shape(t);
      buffers.push_back(buffer_of(Floats(count(s), -777.0f), g.type(t)));
      results[t] = GraphTensorData(buffers.back(), s, g.type(t));
    }
    std::string error;
    GraphTensorDataMap feeds;
    feeds.swap(feeds_);  // feeds belong to one run
    if (!g.ok()) return ::testing::AssertionFailure() << "graph: " << g.error();
    if (!g.run(*queue_, feeds, results, &error)) return ::testing::AssertionFailure() << error;
    out->clear();
    for (size_t i = 0; i < targets.size(); ++i) {
      out->push_back(read_buffer(buffers[i], g.type(targets[i]), count(g.shape(targets[i]))));
    }
    return ::testing::AssertionSuccess();
  }
  // The graph compiled (fused or not) for the f32 feed `feed` and run on `x`: the target's values
  // read back as f32, and the executable's steps when asked.
  ::testing::AssertionResult run_compiled(Graph& g, GraphTensor feed, const Floats& x,
                                          GraphTensor target, bool fuse, Floats* result,
                                          std::vector<GraphStepSummary>* steps = nullptr) {
    const DeviceDataType f32 = DeviceDataType::kFloat32;
    const Shape xs = g.shape(feed), ys = g.shape(target);
    GraphCompilationDescriptor cd;
    cd.fuse = fuse;
    std::string error;
    auto exe = g.compile(GraphDevice(device_system_default()), {{feed, {xs, f32}}}, {target}, cd,
                         &error);
    if (exe == nullptr) return ::testing::AssertionFailure() << "compile: " << error;
    if (steps != nullptr) *steps = exe->steps();
    auto out = buffer_of(Floats(count(ys)), f32);
    if (!exe->run(*queue_, {GraphTensorData(buffer_of(x, f32), xs, f32)},
                  {GraphTensorData(out, ys, f32)}, GraphExecutionDescriptor{}, &error)) {
      return ::testing::AssertionFailure() << "run: " << error;
    }
    *result = read_buffer(out, f32, count(ys));
    return ::testing::AssertionSuccess();
  }
  Floats run1(Graph& g, GraphTensor t) {
    std::vector<Floats> out;
    EXPECT_TRUE(run(g, {t}, &out));
    return out.empty() ? Floats{} : out[0];
  }

 private:
  std::shared_ptr<CommandQueue> queue_;
  GraphTensorDataMap feeds_;
};

// Element-wise closeness: |got - want| <= tol * (1 + |want|); NaNs must match NaNs.
inline ::testing::AssertionResult near(const Floats& got, const Floats& want, double tol = 0.0) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] == want[i] || (std::isnan(got[i]) && std::isnan(want[i]))) continue;
    const double err = std::fabs(static_cast<double>(got[i]) - want[i]);
    if (!(err <= tol * (1.0 + std::fabs(static_cast<double>(want[i]))))) {
      return ::testing::AssertionFailure()
             << "element " << i << ": got " << got[i] << ", want " << want[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// Multi-index helpers for the naive loops.
inline std::vector<int64_t> unflatten(uint64_t flat, const Shape& s) {
  std::vector<int64_t> idx(s.size(), 0);
  for (size_t i = s.size(); i-- > 0;) {
    idx[i] = s[i] == 0 ? 0 : static_cast<int64_t>(flat % static_cast<uint64_t>(s[i]));
    flat = s[i] == 0 ? 0 : flat / static_cast<uint64_t>(s[i]);
  }
  return idx;
}

inline uint64_t flatten(const std::vector<int64_t>& idx, const Shape& s) {
  uint64_t f = 0;
  for (size_t i = 0; i < s.size(); ++i) f = f * static_cast<uint64_t>(s[i]) + static_cast<uint64_t>(idx[i]);
  return f;
}

// The element of a broadcast operand of shape `s` at output index `idx` (right-aligned).
inline float broadcast_at(const Floats& v, const Shape& s, const std::vector<int64_t>& idx) {
  std::vector<int64_t> j(s.size());
  for (size_t k = 0; k < s.size(); ++k) {
    const int64_t o = idx[idx.size() - s.size() + k];
    j[k] = s[k] == 1 ? 0 : o;
  }
  return v[flatten(j, s)];
}

// ---- the CPU engine on one node ----

struct CpuOperand {
  std::vector<uint64_t> dims;
  Floats data;
  bool weight = false;  // the first operand that is not a weight is the graph input
};

// Runs one CPU-engine node (container kinds and attribute words) over the operands; the output
// of `out_dims` comes back, or an empty vector with a test failure.
inline Floats cpu_engine_node(OpKind kind, const std::vector<CpuOperand>& operands,
                              const std::vector<uint64_t>& out_dims,
                              const std::vector<test_graph::Attr>& attrs) {
  cpu::graph_test::GraphModel m;
  std::vector<uint64_t> ids;
  const Floats* input = nullptr;
  for (const CpuOperand& o : operands) {
    if (o.weight) {
      ids.push_back(m.weight(o.dims, o.data));
    } else {
      ids.push_back(m.value(cpu::kValueGraphInput, o.dims));
      input = &o.data;
    }
  }
  const uint64_t out = m.value(cpu::kValueGraphOutput, out_dims);
  GraphNode node{};
  node.op_kind = static_cast<uint64_t>(kind);
  node.input_count = ids.size();
  for (size_t i = 0; i < ids.size(); ++i) node.inputs[i] = ids[i];
  node.output_count = 1;
  node.outputs[0] = out;
  for (const test_graph::Attr& a : attrs) node.words()[a.word] = a.value;
  m.writer().add_node(node);
  std::string error;
  if (!m.open(&error)) {
    ADD_FAILURE() << "cpu model: " << error;
    return {};
  }
  cpu::graph_test::StateHolder st(m.create());
  if (!st.ok()) {
    ADD_FAILURE() << "cpu state: " << st.message();
    return {};
  }
  uint64_t n = 1;
  for (uint64_t d : out_dims) n *= d;
  Floats y(n);
  if (!cpu::cpu_run(st.handle(), input != nullptr ? input->data() : nullptr, y.data())) {
    ADD_FAILURE() << "cpu run failed";
    return {};
  }
  return y;
}

inline std::vector<uint64_t> udims(const Shape& s) {
  return std::vector<uint64_t>(s.begin(), s.end());
}

inline uint64_t f32w(float f) { return cpu::f32_word(f); }

}  // namespace vexa::graph_test
