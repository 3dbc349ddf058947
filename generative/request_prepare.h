// Request preparation: one chat request becomes the model's inputs. The prompt is rendered
// (with each image item's views built on the way), tokenized, and turned into named tensors:
// token ids and positions, the text mask, the normalised views with their patch positions and
// mask, the prompt positions of the image tokens, and empty key/value caches per layer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/types.h"
#include "generative/model_config.h"

namespace vexa {

inline constexpr uint32_t kDtypeF16 = 1;
inline constexpr uint32_t kDtypeF32 = 2;
inline constexpr uint32_t kDtypeI64 = 3;

inline constexpr uint32_t kMaxContextTokens = 8192;

struct PreparedTensor {
  std::vector<uint32_t> shape;
  uint32_t dtype = 0;          // 1 F16, 2 F32, 3 I64
  std::vector<uint8_t> data;   // element count x element size, little-endian
};

struct PreparedInputs {
  std::map<std::string, PreparedTensor> tensors;
  std::vector<int64_t> prompt_token_ids;
  std::string rendered_prompt;
  uint32_t image_views = 0;
  uint32_t image_rows = 0;  // tile grid of the last image
  uint32_t image_cols = 0;
  nlohmann::json stages_ms = nlohmann::json::object();  // stage name -> milliseconds
  std::vector<uint32_t> image_orientations;             // one per image
};

// Throws std::runtime_error "Tensor rank > 6" or "Tensor too large" (a dimension or a running
// product above 2^30). A zero dimension gives 0 elements, rank 0 gives 1.
uint64_t tensor_element_count(const std::vector<uint32_t>& shape);
// 2, 4 or 8 bytes for the three dtypes a prepared tensor may have (unlike the container's
// dtype_element_size, which knows every stored dtype); any other code throws "Only FP16
// activations and int64 indices supported".
uint64_t prepared_element_size(uint32_t dtype);
// A zero-filled tensor.
PreparedTensor make_tensor(const std::vector<uint32_t>& shape, uint32_t dtype);
// Creates a zeroed tensor under `name` unless one exists, and returns the entry. dtype 0 means
// the activation dtype.
PreparedTensor& add_prepared_tensor(PreparedInputs& inputs, uint32_t activation_dtype,
                                    const std::string& name, const std::vector<uint32_t>& shape,
                                    uint32_t dtype);

// Renders, builds the views, tokenizes and, unless options.count_only, builds the tensors.
// Throws std::runtime_error with "Invalid context/output budget", "Invalid image detail/edge",
// "Prompt plus output exceeds context budget", "Image token count", "Patch size",
// "Layer count", the tensor messages above, the messages of the prompt renderer, the image
// views and the tokenizer, ImageError for a decoder's refusal, the JSON library's errors for
// missing or wrongly typed keys, and std::bad_alloc.
PreparedInputs prepare_request(const Processor& processor, const ProcessorOptions& options);

// Every key of the prepared request except the tensor bytes: "inputs" (name -> {"shape",
// "dtype"}), "prompt_token_ids", "rendered_prompt", "image_views", "image_rows", "image_cols",
// "image_orientations", "stages_ms".
nlohmann::json prepared_inputs_summary(const PreparedInputs& inputs);

}  // namespace vexa
