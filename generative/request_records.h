// The records a caller of the flat generation entries fills: chat turns, their content items,
// image sources and the request settings. The layouts are binding (callers fill them field by
// field), so sizes and offsets are pinned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "generative/sampler.h"

namespace vexa {

inline constexpr uint32_t kContentText = 1;
inline constexpr uint32_t kContentImage = 2;

inline constexpr uint32_t kImageSourcePath = 1;
inline constexpr uint32_t kImageSourceEncoded = 2;
inline constexpr uint32_t kImageSourcePixels = 3;

// Kind 1 path; kinds 2 and 3 borrow `data`, which must live until the request returns.
struct VlmImageSource {
  uint32_t kind;
  const char* path;
  const uint8_t* data;
  uint64_t length;
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t format;  // 1 RGB8, 2 RGBA8, 3 BGRA8
  uint32_t orientation;
};
static_assert(sizeof(VlmImageSource) == 56);
static_assert(offsetof(VlmImageSource, data) == 16 && offsetof(VlmImageSource, stride) == 40);

struct VlmContentItem {
  uint32_t kind;  // 1 text, 2 image
  const char* text;
  const VlmImageSource* image;
};
static_assert(sizeof(VlmContentItem) == 24);

struct VlmPromptMessage {
  const char* role;
  const VlmContentItem* items;
  uint64_t item_count;
};
static_assert(sizeof(VlmPromptMessage) == 24);

// A non-zero return ends the generation.
using VlmMaskCallback = int (*)(void* user, const int64_t* generated_ids, uint64_t generated_count,
                                uint8_t* mask, uint64_t vocabulary);

struct VlmRequest {
  uint32_t max_new_tokens;
  SamplingParams sampling;
  const char** stops;
  uint64_t stop_count;
  uint32_t tiled;  // non-zero: tiled image detail
  uint32_t image_longest_edge;
  VlmMaskCallback mask_callback;
  void* mask_user_data;
  uint32_t crop;  // non-zero: crop_box applies
  double crop_box[4];  // x0, y0, x1, y1
  const char* json_schema;
  uint32_t amount_decimals;
};
static_assert(sizeof(VlmRequest) == 152);
static_assert(offsetof(VlmRequest, sampling) == 8 && offsetof(VlmRequest, stops) == 56);
static_assert(offsetof(VlmRequest, tiled) == 72 && offsetof(VlmRequest, mask_callback) == 80);
static_assert(offsetof(VlmRequest, crop) == 96 && offsetof(VlmRequest, crop_box) == 104);
static_assert(offsetof(VlmRequest, json_schema) == 136 &&
              offsetof(VlmRequest, amount_decimals) == 144);

// max_new_tokens 64, the sampler's defaults, longest edge 512, everything else zero or null.
VlmRequest vlm_request_default();

}  // namespace vexa
