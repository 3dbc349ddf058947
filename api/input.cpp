#include "api/input.h"

#include <cstdlib>
#include <cstring>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/text_util.h"
#include "core/types.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

Input* as_input(vexa_input* i) { return reinterpret_cast<Input*>(i); }
const Frame* as_frame(const vexa_frame* f) { return reinterpret_cast<const Frame*>(f); }

bool slot_matches(const InputTensorSlot& slot, uint32_t index, bool by_name, const char* name,
                  uint64_t name_len) {
  if (!slot.used) return false;
  if (by_name) {
    return slot.named == 1 && slot.name_len == name_len &&
           std::memcmp(slot.name, name, name_len) == 0;
  }
  return slot.named == 0 && slot.index == index;
}

void bind_primary_frame(Input* in, const Frame* frame) {
  in->has_frame = frame != nullptr ? 1 : 0;
  in->frame_named = 0;
  in->frame_name_len = 0;
  in->frame_name[0] = '\0';
  in->frame = frame;
  if (frame != nullptr) {
    in->batch[0] = frame;
    in->batch_count = 1;
  } else {
    in->batch_count = 0;
  }
}

// Which slot a typed setter fills: a position, or a name (null or zero length: the empty name).
struct TensorKey {
  uint32_t index;
  bool named;
  const char* name;
  uint64_t name_len;
};
TensorKey by_index(uint32_t index) { return {index, false, nullptr, 0}; }
TensorKey by_name(const char* name, uint64_t name_len) { return {0, true, name, name_len}; }

template <typename T>
int32_t set_tensor(vexa_input* input, const TensorKey& key, const T* data, uint64_t count,
                   int32_t copy, TensorDtype dtype) {
  Input* in = as_input(input);
  if (in == nullptr) return 0;
  return guard_value<int32_t>(0, [&] {
    const TextArg n = key.named ? text_or_empty(key.name, key.name_len) : TextArg{nullptr, 0};
    return input_set_tensor_impl(in, key.index, key.named, n.ptr, n.len,
                                 static_cast<uint32_t>(dtype), data, count, sizeof(T), copy != 0);
  });
}

}  // namespace

void input_clear_impl(Input* in) {
  for (InputTensorSlot& slot : in->tensors) {
    if (slot.used && slot.owned) std::free(const_cast<void*>(slot.data));
    std::memset(&slot, 0, sizeof slot);
  }
  for (uint64_t i = 0; i < in->message_count && i < kMaxChatMessages; ++i) {
    std::free(in->messages[i].content);
    std::memset(&in->messages[i], 0, sizeof in->messages[i]);
  }
  in->has_frame = 0;
  in->frame_named = 0;
  in->frame_name_len = 0;
  in->frame_name[0] = '\0';
  in->frame = nullptr;
  in->batch_count = 0;
  for (const Frame*& f : in->batch) f = nullptr;
  in->tensor_count = 0;
  in->prompt_len = 0;
  in->prompt[0] = '\0';
  in->message_count = 0;
  in->stop_count = 0;
  in->json_schema_len = 0;
  in->json_schema[0] = '\0';
}

void input_free_and_null(Input** input) {
  if (input == nullptr || *input == nullptr) return;
  input_clear_impl(*input);
  std::free(*input);
  *input = nullptr;
}

int32_t input_set_tensor_impl(Input* in, uint32_t index, bool by_name, const char* name,
                              uint64_t name_len, uint32_t dtype, const void* data, uint64_t count,
                              uint32_t element_size, bool copy) {
  if ((!by_name && index >= kMaxInputTensors) || data == nullptr || count == 0) return 0;
  uint64_t bytes;
  if (__builtin_mul_overflow(count, uint64_t{element_size}, &bytes)) return 0;

  // Names compare at their full length, so a name cut on storage never matches again.
  const uint64_t in_use = in->tensor_count < kMaxInputTensors ? in->tensor_count
                                                              : kMaxInputTensors;
  uint64_t chosen = in_use;
  for (uint64_t i = 0; i < in_use; ++i) {
    if (slot_matches(in->tensors[i], index, by_name, name, name_len)) chosen = i;
  }
  const bool is_new = chosen == in_use;
  if (is_new && chosen >= kMaxInputTensors) return 0;

  // The new copy is secured before the old one is released: a failed rebinding keeps the
  // previous binding intact.
  const void* stored = data;
  if (copy) {
    void* block = api_malloc(static_cast<size_t>(bytes));
    if (block == nullptr) return 0;
    std::memcpy(block, data, static_cast<size_t>(bytes));
    stored = block;
  }
  InputTensorSlot& slot = in->tensors[chosen];
  if (slot.used && slot.owned) std::free(const_cast<void*>(slot.data));
  std::memset(&slot, 0, sizeof slot);
  slot.used = 1;
  slot.named = by_name ? 1 : 0;
  if (by_name) {
    slot.name_len = copy_bounded(name, name_len, slot.name, kInputNameCapacity);
  }
  slot.index = by_name ? 0 : index;
  slot.dtype = dtype;
  slot.count = count;
  slot.bytes = bytes;
  slot.owned = copy ? 1 : 0;
  slot.data = stored;
  if (is_new) ++in->tensor_count;
  return 1;
}

int32_t input_add_message_impl(Input* in, const char* role, uint64_t role_len,
                               const char* content, uint64_t content_len, const Frame* image) {
  if (in->message_count >= kMaxChatMessages) return 0;
  if (content_len >= SIZE_MAX) return 0;
  auto* copy = static_cast<char*>(api_malloc(static_cast<size_t>(content_len) + 1));
  if (copy == nullptr) return 0;
  if (content_len != 0) std::memcpy(copy, content, static_cast<size_t>(content_len));
  copy[content_len] = '\0';

  ChatMessage& m = in->messages[in->message_count];
  std::memset(&m, 0, sizeof m);
  m.role_len = copy_bounded(role, role_len, m.role, kRoleCapacity);
  m.content = copy;
  m.content_len = content_len;
  m.image = image;
  ++in->message_count;

  in->prompt_len = copy_bounded(content, content_len, in->prompt, kPromptCapacity);
  if (image != nullptr && in->has_frame == 0) bind_primary_frame(in, image);
  return 1;
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API vexa_input* vexa_input_new(void) {
  auto* in = static_cast<Input*>(api_calloc(1, sizeof(Input)));
  if (in == nullptr) return nullptr;
  in->max_tokens = kDefaultMaxTokens;
  in->top_p = 1.0f;
  in->repeat_penalty = 1.0f;
  in->tile_size = kDefaultTileSize;
  in->amount_decimals = kAmountDecimalsUnset;
  return reinterpret_cast<vexa_input*>(in);
}

VEXA_API void vexa_input_clear(vexa_input* input) {
  Input* in = as_input(input);
  if (in != nullptr) input_clear_impl(in);
}

VEXA_API void vexa_input_free(vexa_input* input) {
  Input* in = as_input(input);
  input_free_and_null(&in);
}

VEXA_API void vexa_input_set_frame(vexa_input* input, const vexa_frame* frame) {
  Input* in = as_input(input);
  if (in != nullptr) bind_primary_frame(in, as_frame(frame));
}

VEXA_API void vexa_input_set_named_frame(vexa_input* input, const char* name, uint64_t name_len,
                                         const vexa_frame* frame) {
  Input* in = as_input(input);
  if (in == nullptr) return;
  bind_primary_frame(in, as_frame(frame));
  const TextArg n = text_or_empty(name, name_len);
  in->frame_named = 1;
  in->frame_name_len = copy_bounded(n.ptr, n.len, in->frame_name, kInputNameCapacity);
}

VEXA_API int32_t vexa_input_add_batch_frame(vexa_input* input, const vexa_frame* frame) {
  Input* in = as_input(input);
  const Frame* f = as_frame(frame);
  if (in == nullptr || f == nullptr || in->batch_count >= kMaxBatchFrames) return 0;
  in->batch[in->batch_count++] = f;
  if (in->batch_count == 1) {
    in->frame = f;
    in->has_frame = 1;
  }
  return 1;
}

VEXA_API int32_t vexa_input_set_f32(vexa_input* input, uint32_t index, const float* data,
                                    uint64_t count, int32_t copy) {
  return set_tensor(input, by_index(index), data, count, copy, TensorDtype::kF32);
}
VEXA_API int32_t vexa_input_set_named_f32(vexa_input* input, const char* name, uint64_t name_len,
                                          const float* data, uint64_t count, int32_t copy) {
  return set_tensor(input, by_name(name, name_len), data, count, copy, TensorDtype::kF32);
}
VEXA_API int32_t vexa_input_set_i64(vexa_input* input, uint32_t index, const int64_t* data,
                                    uint64_t count, int32_t copy) {
  return set_tensor(input, by_index(index), data, count, copy, TensorDtype::kI64);
}
VEXA_API int32_t vexa_input_set_named_i64(vexa_input* input, const char* name, uint64_t name_len,
                                          const int64_t* data, uint64_t count, int32_t copy) {
  return set_tensor(input, by_name(name, name_len), data, count, copy, TensorDtype::kI64);
}
VEXA_API int32_t vexa_input_set_f16(vexa_input* input, uint32_t index, const uint16_t* data,
                                    uint64_t count, int32_t copy) {
  return set_tensor(input, by_index(index), data, count, copy, TensorDtype::kF16);
}
VEXA_API int32_t vexa_input_set_named_f16(vexa_input* input, const char* name, uint64_t name_len,
                                          const uint16_t* data, uint64_t count, int32_t copy) {
  return set_tensor(input, by_name(name, name_len), data, count, copy, TensorDtype::kF16);
}
VEXA_API int32_t vexa_input_set_u8(vexa_input* input, uint32_t index, const uint8_t* data,
                                   uint64_t count, int32_t copy) {
  return set_tensor(input, by_index(index), data, count, copy, TensorDtype::kU8);
}
VEXA_API int32_t vexa_input_set_named_u8(vexa_input* input, const char* name, uint64_t name_len,
                                         const uint8_t* data, uint64_t count, int32_t copy) {
  return set_tensor(input, by_name(name, name_len), data, count, copy, TensorDtype::kU8);
}

VEXA_API void vexa_input_set_prompt(vexa_input* input, const char* text, uint64_t len) {
  Input* in = as_input(input);
  if (in == nullptr) return;
  const TextArg t = text_or_empty(text, len);
  in->prompt_len = copy_bounded(t.ptr, t.len, in->prompt, kPromptCapacity);
}

VEXA_API int32_t vexa_input_add_message(vexa_input* input, const char* role, uint64_t role_len,
                                        const char* content, uint64_t content_len) {
  Input* in = as_input(input);
  if (in == nullptr) return 0;
  return guard_value<int32_t>(0, [&] {
    const TextArg r = text_or_empty(role, role_len);
    const TextArg c = text_or_empty(content, content_len);
    return input_add_message_impl(in, r.ptr, r.len, c.ptr, c.len, nullptr);
  });
}

VEXA_API int32_t vexa_input_add_image_message(vexa_input* input, const char* role,
                                              uint64_t role_len, const vexa_frame* frame,
                                              const char* content, uint64_t content_len) {
  Input* in = as_input(input);
  if (in == nullptr) return 0;
  return guard_value<int32_t>(0, [&] {
    const TextArg r = text_or_empty(role, role_len);
    const TextArg c = text_or_empty(content, content_len);
    return input_add_message_impl(in, r.ptr, r.len, c.ptr, c.len, as_frame(frame));
  });
}

VEXA_API void vexa_input_set_max_tokens(vexa_input* input, uint32_t max_tokens) {
  if (Input* in = as_input(input)) in->max_tokens = max_tokens;
}
VEXA_API void vexa_input_set_temperature(vexa_input* input, float temperature) {
  if (Input* in = as_input(input)) in->temperature = temperature;
}
VEXA_API void vexa_input_set_top_p(vexa_input* input, float top_p) {
  if (Input* in = as_input(input)) in->top_p = top_p;
}
VEXA_API void vexa_input_set_top_k(vexa_input* input, uint32_t top_k) {
  if (Input* in = as_input(input)) in->top_k = top_k;
}
VEXA_API void vexa_input_set_min_p(vexa_input* input, float min_p) {
  if (Input* in = as_input(input)) in->min_p = min_p;
}
VEXA_API void vexa_input_set_repeat_penalty(vexa_input* input, float penalty) {
  if (Input* in = as_input(input)) in->repeat_penalty = penalty;
}
VEXA_API void vexa_input_set_seed(vexa_input* input, uint64_t seed) {
  if (Input* in = as_input(input)) in->seed = seed;
}

VEXA_API int32_t vexa_input_add_stop(vexa_input* input, const char* text, uint64_t len) {
  Input* in = as_input(input);
  if (in == nullptr) return 0;
  const TextArg t = text_or_empty(text, len);
  if (t.len == 0 || in->stop_count >= kMaxStopStrings) return 0;
  in->stop_lens[in->stop_count] =
      copy_bounded(t.ptr, t.len, in->stops[in->stop_count], kStopCapacity);
  ++in->stop_count;
  return 1;
}

VEXA_API void vexa_input_set_image_tiled(vexa_input* input, int32_t flag, uint32_t tile) {
  Input* in = as_input(input);
  if (in == nullptr) return;
  in->image_tiled = flag != 0 ? 1 : 0;
  in->tile_size = tile;
}

VEXA_API void vexa_input_set_json_schema(vexa_input* input, const char* text, uint64_t len) {
  Input* in = as_input(input);
  if (in == nullptr) return;
  const TextArg t = text_or_empty(text, len);
  in->json_schema_len = copy_bounded(t.ptr, t.len, in->json_schema, kJsonSchemaCapacity);
}

VEXA_API void vexa_input_set_amount_decimals(vexa_input* input, int32_t decimals) {
  if (Input* in = as_input(input)) in->amount_decimals = decimals;
}

}  // extern "C"
