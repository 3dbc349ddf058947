// Caller pixel buffers in any of the five pixel formats, with an arbitrary row stride:
// validation and conversion to packed RGB8.
#pragma once

#include <array>
#include <cstdint>

#include "core/expected.h"
#include "core/types.h"

namespace vexa {

// A caller's pixels, read-only. `length` is the number of bytes available at `data`;
// `stride` the bytes from one row to the next; `format` a PixelFormat value 1..5.
struct PixelView {
  const uint8_t* data;
  uint64_t length;
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t format;
};

// Payload of pixels_to_rgb: packed RGB8, 3 * width * height bytes (`count`), malloc'd and
// owned by the receiver, who frees it with free().
struct RgbPixels {
  uint32_t width;
  uint32_t height;
  uint8_t* pixels;
  uint64_t count;
};
static_assert(sizeof(RgbPixels) == 24);

// Byte offsets of R, G and B inside one pixel of `format`; gray serves all three from byte 0.
// Alpha is never read. Unknown formats give {0, 0, 0}.
std::array<uint32_t, 3> pixel_channel_offsets(uint32_t format);

// Non-null data, valid dimensions, a known format, stride >= bytes per pixel * width, and
// enough bytes for every row (the last row needs no stride padding); overflow-safe.
bool pixel_buffer_valid(const PixelView* view);

// Errors: "invalid pixel dimensions, format, stride or length",
// "out of memory allocating RGB pixels".
Expected<RgbPixels> pixels_to_rgb(const PixelView* view);

}  // namespace vexa
