// Shared helpers of the converter tests: temporary folders, file helpers and a converted model
// opened and run on the CPU engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/container.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "cpu/op_table.h"
#include "tools/convert_driver.h"

namespace vexa::tools::testing {

inline std::string fixtures_dir() { return std::string(VEXA_FIXTURES_DIR) + "/onnx"; }

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/vexa-convert-test-XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "/tmp";
  }
  ~TempDir() {
    if (path_ != "/tmp") {
      std::string cmd = "rm -rf '" + path_ + "'";
      (void)!std::system(cmd.c_str());
    }
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<float> read_floats(const std::string& path) {
  const std::vector<uint8_t> bytes = read_bytes(path);
  std::vector<float> out(bytes.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A test with a temporary folder of its own and text files written into it.
class TextFilesTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_.file(name);
    write_bytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  }
  TempDir dir_;
};

// A container opened with its weights in memory and a CPU state built over them.
class RunnableModel {
 public:
  ~RunnableModel() {
    if (state_ != nullptr) cpu::cpu_state_destroy(&state_);
    std::free(weights_);
    if (opened_) container_close(&container_);
  }

  // Empty on success, else why the model cannot run. `unsupported` is set when the engine
  // lacks an operator kind of the graph (the test then skips).
  std::string open(const std::string& path, bool* unsupported) {
    *unsupported = false;
    OpenResult r = container_open_path(path.c_str(), path.size());
    if (!r.ok()) return "container does not open: status " + std::to_string(r.status);
    container_ = r.container;
    opened_ = true;
    const uint64_t nodes = container_section_count(&container_, kSectionNodes);
    for (uint64_t i = 0; i < nodes; ++i) {
      const GraphNode n = load_record<GraphNode>(container_.image +
                                                 container_entry_offset(&container_, kSectionNodes, i));
      if (!cpu::cpu_supports_op(n.op_kind)) {
        *unsupported = true;
        return "the CPU engine has no " + std::string(op_kind_name(n.op_kind));
      }
    }
    const uint64_t size = container_.weights_data_size;
    weights_ = static_cast<uint8_t*>(std::aligned_alloc(kWeightAlignmentBytes, size == 0 ? kWeightAlignmentBytes : size));
    if (!read_fully_at(container_.fd, weights_, size, container_.base_offset + container_.weights_offset)) {
      return "weights cannot be read";
    }
    if (!container_verify_tensors(&container_, weights_)) return "tensor digests do not match";
    cpu::CpuCreateResult c = cpu::cpu_state_create(&container_, weights_, 1);
    if (c.tag != 0) {
      std::string message(cpu::cpu_create_message(c));
      cpu::cpu_create_result_release(&c);
      return "engine refuses the graph: " + message;
    }
    state_ = c.state;
    return "";
  }

  bool run(const std::vector<float>& input, std::vector<float>* output, uint64_t output_count) {
    output->assign(output_count, 0.0f);
    return cpu::cpu_run(&state_, input.data(), output->data());
  }

  const OpenContainer& container() const { return container_; }

 private:
  OpenContainer container_{};
  bool opened_ = false;
  uint8_t* weights_ = nullptr;
  cpu::CpuState* state_ = nullptr;
};

}  // namespace vexa::tools::testing
