#include "image/pixel_convert.h"

#include <cstdlib>
#include <cstring>

#include "core/checked_math.h"

namespace vexa {
namespace {

constexpr uint64_t kRgbBytesPerPixel = 3;
constexpr char kInvalidView[] = "invalid pixel dimensions, format, stride or length";
constexpr char kNoMemory[] = "out of memory allocating RGB pixels";

void convert_row(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t format) {
  switch (static_cast<PixelFormat>(format)) {
    case PixelFormat::kRgb8:
      std::memcpy(dst, src, size_t{width} * kRgbBytesPerPixel);
      return;
    case PixelFormat::kGray8:
      for (uint32_t x = 0; x < width; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
      return;
    default:
      break;
  }
  const uint32_t bpp = pixel_format_bytes(format);
  const auto off = pixel_channel_offsets(format);
  for (uint32_t x = 0; x < width; ++x) {
    const uint8_t* p = src + size_t{x} * bpp;
    dst[3 * size_t{x}] = p[off[0]];
    dst[3 * size_t{x} + 1] = p[off[1]];
    dst[3 * size_t{x} + 2] = p[off[2]];
  }
}

}  // namespace

std::array<uint32_t, 3> pixel_channel_offsets(uint32_t format) {
  switch (static_cast<PixelFormat>(format)) {
    case PixelFormat::kRgb8:
    case PixelFormat::kRgba8:
      return {0, 1, 2};
    case PixelFormat::kBgr8:
    case PixelFormat::kBgra8:
      return {2, 1, 0};
    default:
      return {0, 0, 0};
  }
}

bool pixel_buffer_valid(const PixelView* view) {
  if (view == nullptr || view->data == nullptr) return false;
  if (!image_dims_valid(view->width, view->height)) return false;
  const uint32_t bpp = pixel_format_bytes(view->format);
  if (bpp == 0) return false;
  const uint64_t row_bytes = uint64_t{bpp} * view->width;
  if (view->stride < row_bytes) return false;
  uint64_t extent = 0;
  return checked_strided_extent(row_bytes, view->stride, view->height, &extent) &&
         view->length >= extent;
}

Expected<RgbPixels> pixels_to_rgb(const PixelView* view) {
  if (!pixel_buffer_valid(view)) return expected_error<RgbPixels>(kInvalidView);
  const uint64_t count = kRgbBytesPerPixel * view->width * view->height;
  auto* out = static_cast<uint8_t*>(std::malloc(count));
  if (out == nullptr) return expected_error<RgbPixels>(kNoMemory);
  const size_t out_row_bytes = size_t{view->width} * kRgbBytesPerPixel;
  for (uint32_t y = 0; y < view->height; ++y) {
    convert_row(view->data + view->stride * y, out + out_row_bytes * y, view->width, view->format);
  }
  return expected_ok(RgbPixels{view->width, view->height, out, count});
}

}  // namespace vexa
