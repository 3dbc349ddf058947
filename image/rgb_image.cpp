// The RgbImage record: limits, allocation and release.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/types.h"
#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa {
namespace image_detail {

void copy_error_text(char* msg, const char* text) {
  if (msg == nullptr) return;
  std::snprintf(msg, kImageMessageCapacity, "%s", text);
}

}  // namespace image_detail

using namespace image_detail;

int alloc_rgb_image(RgbImage* img, uint32_t width, uint32_t height, char* msg) {
  if (img == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }
  if (!image_dims_valid(width, height)) {
    copy_error_text(msg, kMsgDimensions);
    return 0;
  }
  img->width = width;
  img->height = height;
  img->orientation = 1;
  // At most 3 * 10^8 bytes: within limits checked above.
  const uint64_t bytes = uint64_t{kRgbBytesPerPixel} * width * height;
  img->pixels = static_cast<uint8_t*>(std::malloc(bytes));
  if (img->pixels == nullptr) {
    copy_error_text(msg, kMsgAllocation);
    return 0;
  }
  return 1;
}

void free_image(RgbImage* img) {
  if (img == nullptr) return;
  std::free(img->pixels);
  std::memset(img, 0, sizeof *img);
}

void free_pixels(uint8_t* pixels) {
  if (pixels != nullptr) std::free(pixels);
}

void release_pixels(DecodedImage* image) {
  if (image == nullptr) return;
  free_pixels(image->pixels);
  image->pixels = nullptr;
}

}  // namespace vexa
