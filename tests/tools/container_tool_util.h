// Helpers of the container tool tests: file hashes, converted fixture models, and running a
// container through the public API (whose loaders follow the load steps' absolute offsets) and
// through the CPU engine after verifying every tensor digest.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "convert_test_util.h"
#include "core/container_digest.h"
#include "tests/core/container_fixture.h"
#include "vexa/vexa.h"

namespace vexa::tools::testing {

inline Digest128 file_hash(const std::string& path) {
  const std::vector<uint8_t> bytes = read_bytes(path);
  return digest128(bytes.data(), bytes.size());
}

inline bool same_digest(const Digest128& a, const Digest128& b) {
  return a.low == b.low && a.high == b.high;
}

// Runs a program of the build folder (one level above the test programs) with its standard
// error joined to its output; the exit status goes to *status (-1 when it did not exit: a
// signal, or two minutes gone, so that a program that hangs fails its test instead).
inline std::string run_program(const std::string& program, const std::string& args, int* status) {
  std::string out;
  *status = -1;
  FILE* p = popen(("timeout -s KILL 120 ../" + program + " " + args + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 4096> buf;
  size_t n = 0;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  const int st = pclose(p);
  if (WIFEXITED(st)) *status = WEXITSTATUS(st);
  return out;
}

inline bool program_built(const std::string& program) { return access(("../" + program).c_str(), X_OK) == 0; }

inline std::string models_dir() { return fixtures_dir() + "/models/"; }

// The ResNet-style fixture converted into `path`.
inline void convert_resnet(const std::string& path) {
  const ConvertResult r = onnx_convert_file(models_dir() + "resnet18_w4_op13.onnx", path, 0);
  ASSERT_TRUE(r.ok) << r.text;
}

inline std::vector<float> resnet_input() { return read_floats(models_dir() + "resnet18_w4.input.bin"); }

// Output 0 of one run through a session on the default backend; empty after a failure.
inline std::vector<float> run_through_api(const std::string& path, const std::vector<float>& input) {
  std::vector<float> out;
  vexa_config* config = vexa_config_new();
  vexa_session* session = vexa_session_new(config);
  vexa_input* in = vexa_input_new();
  vexa_output* result = vexa_output_new();
  if (vexa_session_open(session, path.c_str(), path.size()) == 1 &&
      vexa_input_set_f32(in, 0, input.data(), input.size(), 1) == 1 &&
      vexa_session_run(session, in, result) == 1) {
    out.resize(vexa_output_f32_len(result, 0));
    vexa_output_copy_f32(result, 0, out.data(), out.size());
  } else {
    ADD_FAILURE() << path << ": " << vexa_session_error_message_ptr(session);
  }
  vexa_output_free(result);
  vexa_input_free(in);
  vexa_session_free(session);
  vexa_config_free(config);
  return out;
}

// Opens as an engine does (f16 and Q8 tensors expanded to f32), verifies every tensor digest and
// runs once on the CPU engine; empty after a failure.
inline std::vector<float> run_verified(const std::string& path, const std::vector<float>& input,
                                       uint64_t output_count) {
  std::vector<float> out;
  OpenResult r = container_open_path(path.c_str(), path.size());
  if (!r.ok()) {
    ADD_FAILURE() << path << ": " << pack_status_text(static_cast<uint32_t>(r.status));
    return out;
  }
  OpenContainer& c = r.container;
  std::vector<uint8_t> memory;
  cpu::CpuState* state = nullptr;
  if (!vexa::testing::load_weights(c, &memory)) {
    ADD_FAILURE() << path << ": weights do not load";
  } else if (!container_verify_tensors(&c, memory.data())) {
    ADD_FAILURE() << path << ": tensor digests do not match";
  } else {
    cpu::CpuCreateResult created = cpu::cpu_state_create(&c, memory.data(), 1);
    if (created.tag != 0) {
      ADD_FAILURE() << path << ": " << cpu::cpu_create_message(created);
      cpu::cpu_create_result_release(&created);
    } else {
      state = created.state;
      out.assign(output_count, 0.0f);
      if (!cpu::cpu_run(&state, input.data(), out.data())) {
        ADD_FAILURE() << path << ": the run failed";
        out.clear();
      }
      cpu::cpu_state_destroy(&state);
    }
  }
  container_close(&c);
  return out;
}

}  // namespace vexa::tools::testing
