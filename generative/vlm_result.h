// What one generation hands back through the flat entries, and the stream and mask hooks the
// generation loop calls while it runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "generative/request_records.h"
#include "generative/stop_stream.h"

namespace vexa {

struct VlmHandle;

// Finish reasons of a result.
inline constexpr uint32_t kFinishEos = 1;
inline constexpr uint32_t kFinishStopSequence = 2;
inline constexpr uint32_t kFinishLength = 3;
inline constexpr uint32_t kFinishCancelled = 4;

// Filled by vlm_generate; the three arrays are heap copies freed by vlm_result_clear.
struct VlmResult {
  char* answer;          // NUL-terminated
  uint64_t answer_length;  // bytes, without the NUL
  int64_t* token_ids;    // generated ids (at least one slot allocated)
  double* log_probs;     // one per generated id
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t finish_reason;
  double wall_ms;
  double reserved[2];
  uint32_t reused_prompt_tokens;
};
static_assert(sizeof(VlmResult) == 80);
static_assert(offsetof(VlmResult, prompt_tokens) == 32 && offsetof(VlmResult, wall_ms) == 48 &&
              offsetof(VlmResult, reused_prompt_tokens) == 72);

// Frees the three arrays and zeroes the record; null does nothing.
void vlm_result_clear(VlmResult* result);

// How a running request reaches its caller: the handle (for its cancel flag), the stream
// callback of the stop-sequence filter, the request's mask callback, and whether leading
// whitespace is held back (amount answers).
struct StreamInvocation {
  VlmHandle* handle;
  StopStreamCallback callback;
  void* user_data;
  VlmMaskCallback mask_callback;
  void* mask_user_data;
  uint32_t amount_decimals;
};

}  // namespace vexa
