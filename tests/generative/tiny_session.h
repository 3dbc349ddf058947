// The tiny test model opened as a generative session, its golden prompt as case inputs, and
// the small pieces the session, case-runner and generation tests share.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "generative/generation_case.h"
#include "generative/vlm_session.h"
#include "gpu/vx_graph.h"
#include "tests/core/container_fixture.h"
#include "tests/support/tiny_vlm.h"
#include "tests/support/vlm_model.h"

namespace vexa::testing {

// The written container, made once per weight kind.
inline const std::vector<uint8_t>& tiny_model_container(VlmWeights weights) {
  static std::vector<uint8_t> fp16, mixed;
  std::vector<uint8_t>& bytes = weights == VlmWeights::fp16 ? fp16 : mixed;
  if (bytes.empty()) {
    VlmModelInfo info;
    std::string error;
    if (!write_vlm_model(tiny_vlm_desc(weights), &bytes, &info, &error)) ADD_FAILURE() << error;
  }
  return bytes;
}

// The little-endian word at `offset` of a container image (48: the weights offset).
inline uint64_t word_of(const std::vector<uint8_t>& bytes, uint64_t offset) {
  uint64_t v = 0;
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

// A folder under the test temp directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexa-gen-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct HandleCloser {
  void operator()(VlmHandle* h) const { vlm_handle_destroy(h); }
};
using HandlePtr = std::unique_ptr<VlmHandle, HandleCloser>;

inline HandlePtr open_tiny(VlmWeights weights = VlmWeights::fp16, uint32_t activation_fp16 = 1,
                           const char* backend = "auto") {
  const int fd = memory_file(tiny_model_container(weights));
  VlmOpenParams params = vlm_open_params_default();
  params.activation_fp16 = activation_fp16;
  params.backend = backend;
  VlmHandle* h = nullptr;
  VlmError error{};
  const std::vector<uint8_t>& bytes = tiny_model_container(weights);
  if (!vlm_open_fd(fd, 0, bytes.size(), &params, &h, &error)) {
    ADD_FAILURE() << "open: [" << error.code << "] " << error.message;
  }
  close(fd);
  return HandlePtr(h);
}

struct TinyGoldens {
  TinyVlmPrompt prompt;
  TinyVlmGoldens goldens;
};

inline const TinyGoldens& tiny_goldens() {
  static const TinyGoldens g = [] {
    TinyGoldens out;
    std::string error;
    if (!load_tiny_vlm_prompt(&out.prompt, &error) || !load_tiny_vlm_goldens(&out.goldens, &error)) {
      ADD_FAILURE() << error;
    }
    return out;
  }();
  return g;
}

// Host tensors lent to a case; the HostInputs must outlive it.
inline GenerationCase case_from_host(const HostInputs& host, uint64_t max_new_tokens) {
  GenerationCase c;
  for (const auto& [name, t] : host) {
    CaseInput in;
    in.shape = t.shape;
    in.dtype = t.dtype;
    in.data = t.bytes;
    in.has_data = true;
    c.inputs[name] = std::move(in);
  }
  c.max_new_tokens = max_new_tokens;
  c.sampling = {{"temperature", 0.0}};
  return c;
}

// The golden prompt's prefill inputs for the session's activation precision.
inline HostInputs golden_inputs(Activation activation, bool explicit_mask = false) {
  return tiny_vlm_prefill_inputs(tiny_goldens().prompt, tiny_vlm_desc(VlmWeights::fp16),
                                 activation, explicit_mask);
}

inline std::vector<int64_t> ids_of(const nlohmann::json& result) {
  return result.at("generated_token_ids").get<std::vector<int64_t>>();
}

}  // namespace vexa::testing
