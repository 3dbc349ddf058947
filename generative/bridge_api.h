// The value-returning face of the flat entries, for callers that hold owned strings: every call
// returns a record with a failed flag, the error code and message, and the call's own values.
// Texts come as (pointer, length) and may not contain a NUL byte.
#pragma once

#include <cstdint>
#include <string>

#include "generative/bridge.h"

namespace vexa {

struct VlmStatus {
  bool failed = false;
  uint32_t code = 0;
  std::string message;
  uint8_t flag = 0;
};

struct VlmOpenOutcome {
  bool failed = false;
  uint32_t code = 0;
  std::string message;
  VlmHandle* handle = nullptr;  // owned by the caller (vlm_handle_free)
};

struct VlmGeneration {
  bool failed = false;
  uint32_t code = 0;
  std::string message;
  std::string answer;
  uint32_t prompt_tokens = 0;
  uint32_t generated_tokens = 0;
  uint32_t reused_prompt_tokens = 0;
  uint32_t finish_reason = 0;
};

// vlm_open_path with the default parameters.
VlmOpenOutcome vlm_api_open(const char* path, uint64_t path_length);
// One user turn of the prompt.
VlmGeneration vlm_api_generate(VlmHandle* handle, const char* prompt, uint64_t prompt_length,
                               uint32_t max_new_tokens);
VlmGeneration vlm_api_generate_image_path(VlmHandle* handle, const char* image_path,
                                          uint64_t image_path_length, const char* prompt,
                                          uint64_t prompt_length, uint32_t max_new_tokens,
                                          uint32_t tiled, uint32_t image_longest_edge);
VlmGeneration vlm_api_generate_pixels(VlmHandle* handle, const PixelView* image,
                                      const char* prompt, uint64_t prompt_length,
                                      uint32_t max_new_tokens, uint32_t tiled,
                                      uint32_t image_longest_edge, uint32_t orientation);
VlmGeneration vlm_api_generate_encoded(VlmHandle* handle, const uint8_t* data, uint64_t length,
                                       const char* prompt, uint64_t prompt_length,
                                       uint32_t max_new_tokens, uint32_t tiled,
                                       uint32_t image_longest_edge);
VlmStatus vlm_api_cancel(VlmHandle* handle);
VlmStatus vlm_api_reset(VlmHandle* handle);
VlmStatus vlm_api_unload(VlmHandle* handle);
VlmStatus vlm_api_reload(VlmHandle* handle);

VlmStatus vlm_error_to_result(const VlmError& error);
VlmStatus vlm_ok_status(uint8_t flag);

}  // namespace vexa
