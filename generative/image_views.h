// Image views: every image item of a chat request becomes 512 x 512 RGB views for the vision
// encoder and a run of image-token text in the prompt. The image is decoded or imported,
// cropped, resized so its longest edge is the request's edge, then either squeezed into one
// view ("single") or cut into a grid of 512 x 512 tiles plus one global view ("tiled").
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/model_config.h"
#include "image/lanczos.h"

namespace vexa {

// A decoder's or importer's refusal, carrying its message.
class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t kViewSide = 512;
inline constexpr uint32_t kMaxResizeSide = 2048;

// What the views of one request add up to, image after image.
struct ImageViewSet {
  std::vector<ImageBuffer> views;  // kViewSide x kViewSide each, in message order
  uint64_t view_count = 0;         // counted even when count_only keeps no pixels
  uint32_t rows = 0;               // tile grid of the last image; 0 x 0 unless it was tiled
  uint32_t cols = 0;
  std::vector<uint32_t> orientations;  // one per image: the EXIF code the decoder applied
};

// Builds the views of one image item ({"type": "image", "path": ...} or {..., "image_index":
// n} into options.images) and appends its token text to `prompt`. Throws ImageError with the
// decoder's message, or std::runtime_error: "Invalid image index", "Invalid image kind",
// "Image dimensions", "Crop coordinates", "Crop bounds", "Crop smaller than one pixel",
// "Image crop bounds", "Resize dimensions", "Images exceed context budget"; an item without
// "path" and "image_index" throws the JSON library's missing-key error.
void append_image_views(const Processor& processor, const ProcessorOptions& options,
                        const nlohmann::json& item, ImageViewSet& set, std::string& prompt);

}  // namespace vexa
