// Helpers of the graph-model engine tests: small models written with the container writer
// (cpu_graph_fixture.h), their weights in a GPU slot, the engine built over them, and runs of
// the same model on the CPU engine as the reference.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cpu/cpu_graph_fixture.h"
#include "gpu/graph_engine.h"
#include "gpu/mps_state.h"
#include "gpu/weight_slot.h"
#include "platform/graph_executable.h"

namespace vexa::mps_test {

using cpu::graph_test::Attr;
using cpu::graph_test::GraphModel;
using cpu::graph_test::StateHolder;
using Floats = std::vector<float>;

inline uint64_t f32_attr(float f) { return cpu::f32_word(f); }
// Attribute k of a node is record word 15 + k.
inline Attr attr(uint32_t k, uint64_t v) { return Attr{15 + k, v}; }
inline Attr attr_f32(uint32_t k, float v) { return Attr{15 + k, f32_attr(v)}; }
inline Attr attr_i(uint32_t k, int64_t v) { return Attr{15 + k, static_cast<uint64_t>(v)}; }

// Deterministic values in [-1, 1), different per seed.
inline Floats values(uint64_t n, uint32_t seed) {
  Floats v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (uint64_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    v[i] = static_cast<float>((s >> 9) & 0x3FFFu) / 8192.0f - 1.0f;
  }
  return v;
}

// A variable set (or removed) for the scope of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_, old_;
  bool had_ = false;
};

// The device reports a Neural Engine for the scope of a test.
class NeuralEngineHook {
 public:
  NeuralEngineHook() { graph_set_neural_engine_present_for_testing(true); }
  ~NeuralEngineHook() { graph_set_neural_engine_present_for_testing(false); }
  NeuralEngineHook(const NeuralEngineHook&) = delete;
  NeuralEngineHook& operator=(const NeuralEngineHook&) = delete;
};

// The model's weights copied into a GPU slot.
class GpuWeights {
 public:
  explicit GpuWeights(GraphModel& m) {
    const uint64_t bytes = m.weight_bytes();
    const uint64_t size = (bytes / kWeightSlotAlignmentBytes + 1) * kWeightSlotAlignmentBytes;
    WeightSlotResult r = weight_slot_alloc(size, true);
    EXPECT_TRUE(r.ok());
    if (!r.ok()) return;
    slot_ = r.slot;
    std::memcpy(slot_.data, m.weights(), bytes);
    ok_ = true;
  }
  ~GpuWeights() {
    if (ok_) buffer_release(&slot_);
  }
  GpuWeights(const GpuWeights&) = delete;
  GpuWeights& operator=(const GpuWeights&) = delete;
  WeightSlot& slot() { return slot_; }

 private:
  WeightSlot slot_{};
  bool ok_ = false;
};

// A built engine, destroyed with the test.
class Engine {
 public:
  Engine(GraphModel& m, GpuWeights& w, uint64_t batch = 1, bool neural_engine = false)
      : result_(mps_state_create(m.container(), w.slot().data, w.slot().context, batch,
                                 neural_engine)) {
    if (result_.ok()) state_ = result_.value;
  }
  ~Engine() {
    if (state_ != nullptr) mps_state_destroy(&state_);
    if (!result_.ok()) expected_message_free(&result_.error);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  bool ok() const { return state_ != nullptr; }
  std::string message() const {
    return result_.ok() ? std::string() : std::string(expected_message_view(result_.error));
  }
  MpsState* state() { return state_; }
  MpsHandle handle() { return &state_; }

 private:
  MpsCreateResult result_;
  MpsState* state_ = nullptr;
};

// Inputs by value id; the first graph input is the primary one.
using Inputs = std::map<uint64_t, Floats>;

inline std::vector<Floats> run_cpu(GraphModel& m, const Inputs& inputs, uint64_t batch = 1) {
  StateHolder h(m.create(batch));
  EXPECT_TRUE(h.ok()) << h.message();
  if (!h.ok()) return {};
  for (const auto& [id, data] : inputs) {
    EXPECT_TRUE(cpu::cpu_set_input(h.handle(), id, data.data(), data.size() * sizeof(float)));
  }
  EXPECT_TRUE(cpu::cpu_run(h.handle(), nullptr, nullptr));
  std::vector<Floats> out;
  cpu::CpuState* s = h.state();
  for (uint64_t i = 0; i < s->output_count; ++i) {
    const float* p = cpu::cpu_output_data(h.handle(), i);
    const uint64_t n = s->values[s->outputs[i]].element_count();
    out.emplace_back(p, p + n);
  }
  return out;
}

// One mps_run; every output read back (the extra output buffers made first).
inline std::vector<Floats> run_engine(Engine& e, const Inputs& inputs) {
  MpsState* s = e.state();
  std::vector<Floats> out;
  if (s == nullptr) return out;
  if (s->output_count >= 2) mps_prepare_output_buffers(e.handle());
  const Floats* primary = nullptr;
  for (const auto& [id, data] : inputs) {
    if (id == s->inputs[0].value_id) {
      primary = &data;
    } else {
      EXPECT_TRUE(mps_set_input(e.handle(), id, data.data(), data.size() * sizeof(float)));
    }
  }
  EXPECT_NE(primary, nullptr);
  if (primary == nullptr) return out;
  Floats out0(mps_output_floats(e.handle(), 0));
  EXPECT_TRUE(mps_run(e.handle(), primary->data(), out0.data()));
  out.push_back(out0);
  for (uint64_t i = 1; i < s->output_count; ++i) {
    const float* p = mps_output_pointer(e.handle(), i);
    const uint64_t n = mps_output_byte_size(e.handle(), i) / sizeof(float);
    out.push_back(p == nullptr ? Floats() : Floats(p, p + n));
  }
  return out;
}

// Every element within tol x the reference's peak magnitude; NaN where the reference has NaN.
inline void expect_close(const Floats& got, const Floats& want, double tol,
                         const std::string& what = "") {
  ASSERT_EQ(got.size(), want.size()) << what;
  double peak = 0;
  for (float v : want) peak = std::isfinite(v) ? std::max(peak, std::fabs(static_cast<double>(v))) : peak;
  const double bound = peak > 0 ? tol * peak : tol;
  for (size_t i = 0; i < want.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << what << " element " << i;
    } else if (std::isinf(want[i])) {
      EXPECT_EQ(got[i], want[i]) << what << " element " << i;
    } else {
      ASSERT_NEAR(got[i], want[i], bound) << what << " element " << i;
    }
  }
}

// f32 tolerance relative to each output's peak, and the f16 paths'.
inline constexpr double kF32Tolerance = 1e-5;
inline constexpr double kF16Tolerance = 1e-2;

}  // namespace vexa::mps_test
