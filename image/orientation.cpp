// Turning an image stored with an EXIF orientation upright.
#include <cstdlib>
#include <cstring>

#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa {

using namespace image_detail;

namespace {

constexpr uint32_t kOrientationUpright = 1;
constexpr uint32_t kOrientationMax = 8;
constexpr uint32_t kFirstSwappingOrientation = 5;  // 5..8 exchange width and height

// Destination (column, row) of source pixel (x, y) in a W x H image.
inline void oriented_position(uint32_t orientation, uint64_t x, uint64_t y, uint64_t w, uint64_t h,
                              uint64_t* dx, uint64_t* dy) {
  switch (orientation) {
    case 2: *dx = w - 1 - x; *dy = y; break;
    case 3: *dx = w - 1 - x; *dy = h - 1 - y; break;
    case 4: *dx = x; *dy = h - 1 - y; break;
    case 5: *dx = y; *dy = x; break;
    case 6: *dx = h - 1 - y; *dy = x; break;
    case 7: *dx = h - 1 - y; *dy = w - 1 - x; break;
    default: *dx = y; *dy = w - 1 - x; break;  // 8
  }
}

}  // namespace

int apply_exif_orientation(RgbImage* img, uint32_t orientation, char* msg) {
  if (img == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }
  if (orientation < kOrientationUpright || orientation > kOrientationMax) {
    copy_error_text(msg, kMsgInvalidRaw);
    return 0;
  }
  img->orientation = orientation;
  if (orientation == kOrientationUpright) return 1;
  if (img->pixels == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }

  const uint64_t w = img->width;
  const uint64_t h = img->height;
  const bool swaps = orientation >= kFirstSwappingOrientation;
  const uint64_t out_w = swaps ? h : w;
  const uint64_t out_h = swaps ? w : h;
  if (!image_dimensions_ok(out_w, out_h)) {
    copy_error_text(msg, kMsgDimensions);
    return 0;
  }
  auto* rotated = static_cast<uint8_t*>(std::malloc(kRgbBytesPerPixel * out_w * out_h));
  if (rotated == nullptr) {
    copy_error_text(msg, kMsgAllocation);
    return 0;
  }

  const uint8_t* src = img->pixels;
  for (uint64_t y = 0; y < h; ++y) {
    const uint8_t* row = src + kRgbBytesPerPixel * w * y;
    for (uint64_t x = 0; x < w; ++x) {
      uint64_t dx = 0;
      uint64_t dy = 0;
      oriented_position(orientation, x, y, w, h, &dx, &dy);
      std::memcpy(rotated + kRgbBytesPerPixel * (out_w * dy + dx), row + kRgbBytesPerPixel * x,
                  kRgbBytesPerPixel);
    }
  }

  std::free(img->pixels);
  img->pixels = rotated;
  img->width = static_cast<uint32_t>(out_w);
  img->height = static_cast<uint32_t>(out_h);
  img->reserved = 0;
  return 1;
}

}  // namespace vexa
