// The frame handle: a rectangle of 8-bit pixels, borrowed from the caller or held in a
// reference-counted pixel buffer that crops share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "image/decode.h"

namespace vexa {

inline constexpr uint32_t kMaxFrameSide = 16384;
inline constexpr uint32_t kRgbBytesPerPixel = 3;
inline constexpr uint32_t kMaxExifOrientation = 8;

// Shared by a frame and every crop taken from it.
struct FramePixelBuffer {
  std::atomic<uint32_t> refcount;  // frames holding this buffer; 1 at creation
  uint8_t* data;                   // malloc'd, owned
  uint64_t size;
};

struct Frame {
  FramePixelBuffer* pixel_buffer;  // null when empty or borrowing caller memory
  const uint8_t* data;             // top-left pixel
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t format;
  uint32_t valid;
  uint32_t error_code;
  char error_message[256];
  uint64_t error_message_len;
};
static_assert(offsetof(Frame, stride) == 24);
static_assert(offsetof(Frame, error_code) == 40);
static_assert(offsetof(Frame, error_message_len) == 304);
static_assert(sizeof(Frame) == 312);

// Drops one reference; the last holder frees the pixels and the record.
void pixel_buffer_release(FramePixelBuffer* buffer);

// Makes the frame own freshly malloc'd packed RGB8 pixels (1). When the buffer record cannot
// be allocated the pixels are freed, the frame keeps its previous pixels and gets code 7 (0).
int32_t frame_adopt_rgb(Frame* frame, uint8_t* pixels, uint32_t width, uint32_t height);

// The body of vexa_frame_set_pixels (copy taken by being non-zero).
int32_t frame_set_pixels_impl(Frame* frame, const uint8_t* pixels, uint64_t len, uint32_t width,
                              uint32_t height, uint64_t stride, uint32_t format,
                              uint32_t orientation, bool copy);

// Shared tail of the file and byte loaders: a decoder failure becomes code 4 with the decoder's
// text; upright pixels are adopted; pixels still to be turned go through the raw-pixel checks
// and rotation. Takes ownership of the result's pixels or message.
int32_t frame_load_decoded(Frame* frame, Expected<DecodedImage> result);

void frame_free_and_null(Frame** frame);

}  // namespace vexa
