// The input handle: everything one request binds before it runs. Setters only record; the
// session checks the bindings against the model when the request runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/frame.h"

namespace vexa {

inline constexpr uint64_t kMaxBatchFrames = 64;
inline constexpr uint64_t kMaxInputTensors = 8;
inline constexpr uint64_t kMaxChatMessages = 16;
inline constexpr uint64_t kMaxStopStrings = 8;
inline constexpr uint64_t kInputNameCapacity = 64;
inline constexpr uint64_t kRoleCapacity = 32;
inline constexpr uint64_t kPromptCapacity = 4096;
inline constexpr uint64_t kStopCapacity = 128;
inline constexpr uint64_t kJsonSchemaCapacity = 2048;
inline constexpr uint32_t kDefaultMaxTokens = 64;
inline constexpr uint32_t kDefaultTileSize = 512;
inline constexpr int32_t kAmountDecimalsUnset = -1;

struct InputTensorSlot {
  uint8_t used;
  uint8_t named;  // 1: bound by model-input name, 0: by index
  char name[kInputNameCapacity];
  uint64_t name_len;
  uint32_t index;  // 0 for named bindings
  uint32_t dtype;  // TensorDtype
  uint64_t count;
  uint64_t bytes;
  uint8_t owned;  // data is a private copy the input frees
  const void* data;
};

struct ChatMessage {
  char role[kRoleCapacity];
  uint64_t role_len;
  char* content;  // private NUL-terminated copy, owned
  uint64_t content_len;
  const Frame* image;  // borrowed, or null
};

struct Input {
  uint8_t has_frame;
  uint8_t frame_named;
  char frame_name[kInputNameCapacity];
  uint64_t frame_name_len;
  const Frame* frame;  // borrowed
  uint64_t batch_count;
  const Frame* batch[kMaxBatchFrames];
  uint64_t tensor_count;
  InputTensorSlot tensors[kMaxInputTensors];
  char prompt[kPromptCapacity];
  uint64_t prompt_len;
  uint64_t message_count;
  ChatMessage messages[kMaxChatMessages];
  uint32_t max_tokens;
  float temperature;
  float top_p;
  uint32_t top_k;
  float min_p;
  float repeat_penalty;
  uint64_t seed;
  uint64_t stop_count;
  char stops[kMaxStopStrings][kStopCapacity];
  uint64_t stop_lens[kMaxStopStrings];
  uint8_t image_tiled;
  uint32_t tile_size;
  char json_schema[kJsonSchemaCapacity];
  uint64_t json_schema_len;
  int32_t amount_decimals;
};
static_assert(sizeof(InputTensorSlot) == 120);
static_assert(sizeof(ChatMessage) == 64);
static_assert(offsetof(Input, frame) == 80);
static_assert(offsetof(Input, tensors) == 616);

// Frees owned tensor copies and message contents and forgets every binding; the sampling
// settings, tiling and amount option stay.
void input_clear_impl(Input* input);
void input_free_and_null(Input** input);

// Binds one raw tensor (by index when !by_name). 1 on success, 0 on refusal.
int32_t input_set_tensor_impl(Input* input, uint32_t index, bool by_name, const char* name,
                              uint64_t name_len, uint32_t dtype, const void* data, uint64_t count,
                              uint32_t element_size, bool copy);

int32_t input_add_message_impl(Input* input, const char* role, uint64_t role_len,
                               const char* content, uint64_t content_len, const Frame* image);

}  // namespace vexa
