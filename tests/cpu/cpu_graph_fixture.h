// Builds small graph models with the container writer, opens them like a session would and
// hands out CPU states, so engine tests exercise the real file path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/container.h"
#include "core/container_writer.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "tests/core/graph_records.h"

namespace vexa::cpu::graph_test {

using test_graph::Attr;

inline uint64_t f32_attr(float f) { return f32_word(f); }

// Deterministic values in [-1, 1), different per seed.
inline std::vector<float> values(uint64_t n, uint32_t seed) {
  std::vector<float> v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (uint64_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    v[i] = static_cast<float>((s >> 9) & 0x3FFFu) / 8192.0f - 1.0f;
  }
  return v;
}

class GraphModel {
 public:
  GraphModel() = default;
  GraphModel(const GraphModel&) = delete;
  GraphModel& operator=(const GraphModel&) = delete;
  ~GraphModel() {
    container_close(opened_ ? &container_ : nullptr);
    std::free(weights_);
  }

  uint64_t value(uint64_t kind, std::initializer_list<uint64_t> dims, uint64_t dtype = 2) {
    return value(kind, std::vector<uint64_t>(dims), dtype);
  }
  uint64_t value(uint64_t kind, const std::vector<uint64_t>& dims, uint64_t dtype = 2) {
    return writer_.add_value(test_graph::make_value(kind, dims, dtype),
                             "v" + std::to_string(count_values_++));
  }
  uint64_t input(std::initializer_list<uint64_t> dims, uint64_t dtype = 2) {
    return value(kValueGraphInput, dims, dtype);
  }
  uint64_t output(std::initializer_list<uint64_t> dims) { return value(kValueGraphOutput, dims); }
  uint64_t inter(std::initializer_list<uint64_t> dims) { return value(kValueIntermediate, dims); }
  uint64_t raw_value(const GraphValue& v) {
    return writer_.add_value(v, "v" + std::to_string(count_values_++));
  }

  uint64_t weight(const std::vector<uint64_t>& dims, const std::vector<float>& data) {
    const uint64_t t = writer_.add_tensor_f32("t" + std::to_string(writer_.tensor_count()),
                                              dims, data.data());
    ++count_values_;
    return writer_.add_weight_value(t, "w" + std::to_string(count_values_));
  }

  uint64_t node(OpKind kind, std::initializer_list<uint64_t> inputs,
                std::initializer_list<uint64_t> outputs, std::initializer_list<Attr> attrs = {}) {
    return writer_.add_node(test_graph::make_node(kind, inputs, outputs, attrs));
  }

  ContainerWriter& writer() { return writer_; }

  // Writes, opens and loads the weights; false (with a test failure message) on any error.
  bool open(std::string* error = nullptr) {
    test_graph::add_pad_tensor_if_empty(writer_);
    std::vector<uint8_t> bytes;
    std::string message;
    if (!writer_.write_to_memory(&bytes, &message)) {
      if (error) *error = message;
      return false;
    }
    int fd = memfd_create("vexa-cpu-test", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      if (fd >= 0) ::close(fd);
      if (error) *error = "memfd";
      return false;
    }
    OpenResult r = container_open_fd(fd, 0, bytes.size(), kOpenFlagPlanF32);
    ::close(fd);
    if (!r.ok()) {
      if (error) *error = "open status " + std::to_string(r.status);
      return false;
    }
    container_ = r.container;
    opened_ = true;
    const uint64_t size = container_.weights_data_size;
    weights_ = static_cast<uint8_t*>(std::aligned_alloc(16384, size));
    std::memcpy(weights_, bytes.data() + container_.weights_offset, size);
    return true;
  }

  // Overwrites word `word` of node or value record `index` in the opened image.
  void patch_node(uint64_t index, uint32_t word, uint64_t value) {
    patch(kSectionNodes, index, word, value);
  }
  void patch_value(uint64_t index, uint32_t word, uint64_t value) {
    patch(kSectionValues, index, word, value);
  }

  const OpenContainer* container() const { return &container_; }
  uint8_t* weights() { return weights_; }
  uint64_t weight_bytes() const { return container_.weights_data_size; }

  CpuCreateResult create(uint64_t batch = 1, uint32_t threads = 0) {
    CpuBuildOptions options;
    options.batch = batch;
    options.threads = threads;
    return cpu_state_create_with(&container_, weights_, options);
  }

 private:
  void patch(uint32_t section, uint64_t index, uint32_t word, uint64_t value) {
    const uint64_t at = container_entry_offset(&container_, section, index) + 8ull * word;
    std::memcpy(container_.image + at, &value, sizeof value);
  }

  ContainerWriter writer_;
  OpenContainer container_{};
  bool opened_ = false;
  uint8_t* weights_ = nullptr;
  uint64_t count_values_ = 0;
};

// A built state that is destroyed with the test.
class StateHolder {
 public:
  explicit StateHolder(CpuCreateResult r) : result_(r), state_(r.tag == 0 ? r.state : nullptr) {}
  ~StateHolder() {
    cpu_state_destroy(&state_);
    cpu_create_result_release(&result_);
  }
  StateHolder(const StateHolder&) = delete;
  StateHolder& operator=(const StateHolder&) = delete;

  bool ok() const { return state_ != nullptr; }
  std::string message() const { return std::string(cpu_create_message(result_)); }
  ErrorCode code() const { return result_.code; }
  CpuState* state() { return state_; }
  CpuState** handle() { return &state_; }

 private:
  CpuCreateResult result_;
  CpuState* state_;
};

}  // namespace vexa::cpu::graph_test
