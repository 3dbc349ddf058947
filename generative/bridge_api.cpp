#include "generative/bridge_api.h"

#include <cstring>

#include "core/types.h"
#include "generative/generate.h"

namespace vexa {

namespace {

constexpr uint32_t kInvalidArgument = static_cast<uint32_t>(ErrorCode::kInvalidArgument);

bool holds_nul(const char* text, uint64_t length) {
  return text != nullptr && length > 0 && std::memchr(text, '\0', static_cast<size_t>(length)) != nullptr;
}

std::string owned(const char* text, uint64_t length) {
  return text != nullptr ? std::string(text, static_cast<size_t>(length)) : std::string();
}

VlmGeneration refused(const char* message) {
  VlmGeneration g;
  g.failed = true;
  g.code = kInvalidArgument;
  g.message = message;
  return g;
}

// Copies the outcome of one generation and clears the result record.
VlmGeneration outcome(int ok, VlmResult* result, const VlmError& error) {
  VlmGeneration g;
  if (!ok) {
    g.failed = true;
    g.code = error.code;
    g.message = error.message;
  } else {
    g.answer.assign(result->answer != nullptr ? result->answer : "",
                    static_cast<size_t>(result->answer_length));
    g.prompt_tokens = result->prompt_tokens;
    g.generated_tokens = result->generated_tokens;
    g.reused_prompt_tokens = result->reused_prompt_tokens;
    g.finish_reason = result->finish_reason;
  }
  vlm_result_clear(result);
  return g;
}

VlmStatus status_of(int ok, const VlmError& error) {
  return ok ? vlm_ok_status(1) : vlm_error_to_result(error);
}

}  // namespace

VlmStatus vlm_error_to_result(const VlmError& error) {
  VlmStatus s;
  s.failed = true;
  s.code = error.code;
  s.message = error.message;
  return s;
}

VlmStatus vlm_ok_status(uint8_t flag) {
  VlmStatus s;
  s.flag = flag;
  return s;
}

VlmOpenOutcome vlm_api_open(const char* path, uint64_t path_length) {
  VlmOpenOutcome o;
  if (holds_nul(path, path_length)) {
    o.failed = true;
    o.code = kInvalidArgument;
    o.message = "Model path contains NUL";
    return o;
  }
  const std::string p = owned(path, path_length);
  const VlmOpenParams params = vlm_open_params_default();
  VlmError error{};
  if (!vlm_open_path(p.c_str(), &params, &o.handle, &error)) {
    o.failed = true;
    o.code = error.code;
    o.message = error.message;
  }
  return o;
}

VlmGeneration vlm_api_generate(VlmHandle* handle, const char* prompt, uint64_t prompt_length,
                               uint32_t max_new_tokens) {
  if (holds_nul(prompt, prompt_length)) return refused("Prompt contains NUL");
  const std::string text = owned(prompt, prompt_length);
  VlmResult result{};
  VlmError error{};
  const int ok = vlm_generate_prompt(handle, text.c_str(), max_new_tokens, &result, &error);
  return outcome(ok, &result, error);
}

VlmGeneration vlm_api_generate_image_path(VlmHandle* handle, const char* image_path,
                                          uint64_t image_path_length, const char* prompt,
                                          uint64_t prompt_length, uint32_t max_new_tokens,
                                          uint32_t tiled, uint32_t image_longest_edge) {
  if (holds_nul(image_path, image_path_length)) return refused("Image path contains NUL");
  if (holds_nul(prompt, prompt_length)) return refused("Prompt contains NUL");
  const std::string path = owned(image_path, image_path_length);
  const std::string text = owned(prompt, prompt_length);
  VlmResult result{};
  VlmError error{};
  const int ok = vlm_generate_image_path(handle, path.c_str(), text.c_str(), max_new_tokens, tiled,
                                         image_longest_edge, &result, &error);
  return outcome(ok, &result, error);
}

VlmGeneration vlm_api_generate_pixels(VlmHandle* handle, const PixelView* image,
                                      const char* prompt, uint64_t prompt_length,
                                      uint32_t max_new_tokens, uint32_t tiled,
                                      uint32_t image_longest_edge, uint32_t orientation) {
  if (holds_nul(prompt, prompt_length)) return refused("Prompt contains NUL");
  const std::string text = owned(prompt, prompt_length);
  VlmResult result{};
  VlmError error{};
  const int ok = vlm_chat_pixels(handle, image, text.c_str(), max_new_tokens, tiled,
                                 image_longest_edge, orientation, &result, &error);
  return outcome(ok, &result, error);
}

VlmGeneration vlm_api_generate_encoded(VlmHandle* handle, const uint8_t* data, uint64_t length,
                                       const char* prompt, uint64_t prompt_length,
                                       uint32_t max_new_tokens, uint32_t tiled,
                                       uint32_t image_longest_edge) {
  if (holds_nul(prompt, prompt_length)) return refused("Prompt contains NUL");
  const std::string text = owned(prompt, prompt_length);
  VlmResult result{};
  VlmError error{};
  const int ok = vlm_chat_encoded(handle, data, length, text.c_str(), max_new_tokens, tiled,
                                  image_longest_edge, &result, &error);
  return outcome(ok, &result, error);
}

VlmStatus vlm_api_cancel(VlmHandle* handle) {
  vlm_cancel_impl(handle);
  return vlm_ok_status(1);
}

VlmStatus vlm_api_reset(VlmHandle* handle) {
  VlmError error{};
  const int ok = vlm_reset_impl(handle, &error);
  return status_of(ok, error);
}

VlmStatus vlm_api_unload(VlmHandle* handle) {
  VlmError error{};
  const int ok = vlm_unload_impl(handle, &error);
  return status_of(ok, error);
}

VlmStatus vlm_api_reload(VlmHandle* handle) {
  VlmError error{};
  const int ok = vlm_reload_impl(handle, &error);
  return status_of(ok, error);
}

}  // namespace vexa
