// Input tensors of a case: uploading what the case describes into executor tensors, and the
// tensors the loop builds between runs (prefix views of a reused cache, decode inputs).
// Internal to the case runner.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/generation_case.h"
#include "gpu/vx_graph.h"

namespace vexa {

struct UploadedInputs {
  VXTensorMap tensors;                                  // name -> executor tensor
  std::map<std::string, std::span<const uint8_t>> host;  // name -> the same bytes on the host
  std::map<std::string, std::vector<uint8_t>> file_bytes;  // what file cases read
  nlohmann::json tensor_ms = nlohmann::json::object();
  nlohmann::json stages_ms = nlohmann::json::object();
};

// Every input of the case, in name order, with the per-input stage timings. Raises
// "Input data length" for missing bytes or a length other than count x element size, and
// "Input contains nonfinite values" for a non-finite element of a file input.
UploadedInputs upload_case_inputs(VXGraph& graph, const GenerationCase& c,
                                  const std::string* base_directory, bool inputs_in_memory);

// A new tensor holding `bytes` (exactly its element count x element size).
VXTensorPtr upload_tensor(VXGraph& graph, std::vector<uint64_t> shape, uint64_t dtype,
                          const void* bytes);
// A tensor of `like`'s dtype and shape with dimension 0 set to 0: a vision input that skips the
// vision tower.
VXTensorPtr empty_leading_tensor(VXGraph& graph, const VXTensor& like);
// A view of the first `positions` positions of a cached [B, heads, T, D] key/value tensor,
// sharing its buffer.
VXTensorPtr cache_prefix_view(const VXTensor& cached, uint64_t positions);

// Element `i` of a host INT64 array.
int64_t host_i64(std::span<const uint8_t> bytes, uint64_t i);

}  // namespace vexa
