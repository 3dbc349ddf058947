#include "api/frame.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/text_util.h"
#include "core/types.h"
#include "image/decode.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr uint64_t kMinEncodedBytes = 8;
constexpr uint32_t kInvalidArgument = static_cast<uint32_t>(ErrorCode::kInvalidArgument);
constexpr uint32_t kOutOfMemory = static_cast<uint32_t>(ErrorCode::kOutOfMemory);
constexpr uint32_t kInvalidImage = static_cast<uint32_t>(ErrorCode::kInvalidImage);

Frame* as_frame(vexa_frame* f) { return reinterpret_cast<Frame*>(f); }
const Frame* as_frame(const vexa_frame* f) { return reinterpret_cast<const Frame*>(f); }

FramePixelBuffer* pixel_buffer_new(uint8_t* data, uint64_t size) {
  void* memory = api_malloc(sizeof(FramePixelBuffer));
  if (memory == nullptr) return nullptr;
  auto* buffer = new (memory) FramePixelBuffer;
  buffer->refcount.store(1, std::memory_order_relaxed);
  buffer->data = data;
  buffer->size = size;
  return buffer;
}

// Replaces the frame's pixels; the previous reference goes only after the new ones are secured.
void frame_take(Frame* frame, FramePixelBuffer* buffer, const uint8_t* data, uint32_t width,
                uint32_t height, uint64_t stride, uint32_t format) {
  pixel_buffer_release(frame->pixel_buffer);
  frame->pixel_buffer = buffer;
  frame->data = data;
  frame->width = width;
  frame->height = height;
  frame->stride = stride;
  frame->format = format;
  frame->valid = 1;
  handle_clear_error(*frame);
}

// Byte offsets (R, G, B) inside one source pixel of each format.
struct ChannelOrder {
  uint32_t r, g, b;
};

ChannelOrder channel_order(uint32_t format) {
  switch (static_cast<PixelFormat>(format)) {
    case PixelFormat::kBgr8:
    case PixelFormat::kBgra8: return {2, 1, 0};
    case PixelFormat::kGray8: return {0, 0, 0};
    default: return {0, 1, 2};
  }
}

// Output pixel (r, c) of an oriented image reads this source (row, column).
void oriented_source(uint32_t orientation, uint32_t r, uint32_t c, uint32_t w, uint32_t h,
                     uint32_t* row, uint32_t* col) {
  switch (orientation) {
    case 2: *row = r; *col = w - 1 - c; break;
    case 3: *row = h - 1 - r; *col = w - 1 - c; break;
    case 4: *row = h - 1 - r; *col = c; break;
    case 5: *row = c; *col = r; break;
    case 6: *row = h - 1 - c; *col = r; break;
    case 7: *row = h - 1 - c; *col = w - 1 - r; break;
    case 8: *row = c; *col = w - 1 - r; break;
    default: *row = r; *col = c; break;
  }
}

int32_t set_rotated(Frame* frame, const uint8_t* pixels, uint32_t width, uint32_t height,
                    uint64_t stride, uint32_t format, uint32_t orientation) {
  const bool swaps_axes = orientation >= 5;
  const uint32_t out_w = swaps_axes ? height : width;
  const uint32_t out_h = swaps_axes ? width : height;
  const uint64_t out_bytes = uint64_t{out_w} * out_h * kRgbBytesPerPixel;
  auto* out = static_cast<uint8_t*>(api_malloc(out_bytes));
  if (out == nullptr) {
    handle_set_error(*frame, kOutOfMemory, "Out of memory rotating pixel buffer");
    return 0;
  }
  const uint32_t pixel_bytes = pixel_format_bytes(format);
  const ChannelOrder order = channel_order(format);
  uint8_t* dst = out;
  for (uint32_t r = 0; r < out_h; ++r) {
    for (uint32_t c = 0; c < out_w; ++c) {
      uint32_t row, col;
      oriented_source(orientation, r, c, width, height, &row, &col);
      const uint8_t* src = pixels + row * stride + uint64_t{col} * pixel_bytes;
      dst[0] = src[order.r];
      dst[1] = src[order.g];
      dst[2] = src[order.b];
      dst += kRgbBytesPerPixel;
    }
  }
  return frame_adopt_rgb(frame, out, out_w, out_h);
}

}  // namespace

int32_t frame_load_decoded(Frame* frame, Expected<DecodedImage> result) {
  if (!result.ok()) {
    const std::string_view message = expected_message_view(result.error);
    handle_set_error(*frame, kInvalidImage, message);
    expected_message_free(&result.error);
    return 0;
  }
  DecodedImage image = result.value;
  const uint32_t orientation = static_cast<uint32_t>(image.orientation);
  if (image.orientation < 2 || image.orientation > kMaxExifOrientation) {
    return frame_adopt_rgb(frame, image.pixels, image.width, image.height);
  }
  const uint64_t row = uint64_t{image.width} * kRgbBytesPerPixel;
  const int32_t ok = frame_set_pixels_impl(frame, image.pixels, row * image.height, image.width,
                                           image.height, row,
                                           static_cast<uint32_t>(PixelFormat::kRgb8), orientation,
                                           true);
  release_pixels(&image);
  return ok;
}

void pixel_buffer_release(FramePixelBuffer* buffer) {
  if (buffer == nullptr) return;
  const uint32_t before = buffer->refcount.fetch_sub(1, std::memory_order_seq_cst);
  if (before <= 1) {
    std::free(buffer->data);
    buffer->~FramePixelBuffer();
    std::free(buffer);
  }
}

int32_t frame_adopt_rgb(Frame* frame, uint8_t* pixels, uint32_t width, uint32_t height) {
  const uint64_t stride = uint64_t{width} * kRgbBytesPerPixel;
  FramePixelBuffer* buffer = pixel_buffer_new(pixels, stride * height);
  if (buffer == nullptr) {
    std::free(pixels);
    handle_set_error(*frame, kOutOfMemory, "Out of memory allocating FramePixelBuffer");
    return 0;
  }
  frame_take(frame, buffer, pixels, width, height, stride,
             static_cast<uint32_t>(PixelFormat::kRgb8));
  return 1;
}

int32_t frame_set_pixels_impl(Frame* frame, const uint8_t* pixels, uint64_t len, uint32_t width,
                              uint32_t height, uint64_t stride, uint32_t format,
                              uint32_t orientation, bool copy) {
  const uint32_t pixel_bytes = pixel_format_bytes(format);
  if (pixels == nullptr || width == 0 || height == 0 || width > kMaxFrameSide ||
      height > kMaxFrameSide || pixel_bytes == 0) {
    handle_set_error(*frame, kInvalidArgument, "Invalid pixel pointer, dimensions, or format");
    return 0;
  }
  const uint64_t row = uint64_t{pixel_bytes} * width;
  if (stride == 0) stride = row;
  if (stride < row) {
    handle_set_error(*frame, kInvalidArgument,
                     "Row stride is smaller than width * bytes_per_pixel");
    return 0;
  }
  // The last row needs only `row` bytes. A stride so large that the total does not fit in
  // 64 bits describes a buffer no caller can hold.
  uint64_t spanned;
  const bool overflow = __builtin_mul_overflow(stride, uint64_t{height} - 1, &spanned) ||
                        __builtin_add_overflow(spanned, row, &spanned);
  if (overflow || len < spanned) {
    handle_set_error(*frame, kInvalidArgument,
                     "Pixel buffer length is smaller than required stride * height");
    return 0;
  }
  if (orientation == 0) orientation = 1;
  if (orientation > kMaxExifOrientation) {
    handle_set_error(*frame, kInvalidArgument, "EXIF orientation must be in 1..8");
    return 0;
  }
  if (orientation != 1) {
    return set_rotated(frame, pixels, width, height, stride, format, orientation);
  }
  if (!copy) {
    frame_take(frame, nullptr, pixels, width, height, stride, format);
    return 1;
  }
  const uint64_t bytes = row * height;
  auto* copied = static_cast<uint8_t*>(api_malloc(bytes));
  if (copied == nullptr) {
    handle_set_error(*frame, kOutOfMemory, "Out of memory copying Frame pixels");
    return 0;
  }
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(copied + y * row, pixels + y * stride, row);
  }
  FramePixelBuffer* buffer = pixel_buffer_new(copied, bytes);
  if (buffer == nullptr) {
    std::free(copied);
    handle_set_error(*frame, kOutOfMemory, "Out of memory allocating FramePixelBuffer");
    return 0;
  }
  frame_take(frame, buffer, copied, width, height, row, format);
  return 1;
}

void frame_free_and_null(Frame** frame) {
  if (frame == nullptr || *frame == nullptr) return;
  pixel_buffer_release((*frame)->pixel_buffer);
  std::free(*frame);
  *frame = nullptr;
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API vexa_frame* vexa_frame_new(void) {
  return reinterpret_cast<vexa_frame*>(api_calloc(1, sizeof(Frame)));
}

VEXA_API void vexa_frame_free(vexa_frame* frame) {
  Frame* f = as_frame(frame);
  frame_free_and_null(&f);
}

VEXA_API int32_t vexa_frame_set_pixels(vexa_frame* frame, const uint8_t* pixels, uint64_t len,
                                       uint32_t width, uint32_t height, uint64_t stride,
                                       uint32_t format, uint32_t orientation, int32_t copy) {
  Frame* f = as_frame(frame);
  if (f == nullptr) return 0;
  return guard_handle<Frame, int32_t>(f, 0, [&] {
    return frame_set_pixels_impl(f, pixels, len, width, height, stride, format, orientation,
                                 copy != 0);
  });
}

VEXA_API int32_t vexa_frame_load_file(vexa_frame* frame, const char* path, uint64_t path_len) {
  Frame* f = as_frame(frame);
  if (f == nullptr) return 0;
  return guard_handle<Frame, int32_t>(f, 0, [&] {
    const TextArg p = text_or_empty(path, path_len);
    if (p.len == 0) {
      handle_set_error(*f, kInvalidArgument, "Empty image file path");
      return 0;
    }
    return frame_load_decoded(f, image_file_to_rgb(p.ptr, p.len));
  });
}

VEXA_API int32_t vexa_frame_load_encoded(vexa_frame* frame, const uint8_t* bytes, uint64_t len) {
  Frame* f = as_frame(frame);
  if (f == nullptr) return 0;
  return guard_handle<Frame, int32_t>(f, 0, [&] {
    if (bytes == nullptr || len < kMinEncodedBytes) {
      handle_set_error(*f, kInvalidArgument, "Invalid encoded image buffer or length");
      return 0;
    }
    return frame_load_decoded(f, image_bytes_to_rgb(bytes, len));
  });
}

VEXA_API int32_t vexa_frame_crop_into(const vexa_frame* src, vexa_frame* dst, int32_t x,
                                      int32_t y, int32_t width, int32_t height) {
  Frame* d = as_frame(dst);
  const Frame* s = as_frame(src);
  if (d == nullptr) return 0;
  return guard_handle<Frame, int32_t>(d, 0, [&] {
    if (s == nullptr || s->data == nullptr || s->width == 0 || s->height == 0) {
      handle_set_error(*d, kInvalidArgument, "Source frame is empty or null");
      return 0;
    }
    // 64-bit arithmetic: x + width cannot wrap for any 32-bit inputs.
    const int64_t src_w = s->width;
    const int64_t src_h = s->height;
    auto clamp = [](int64_t v, int64_t hi) { return v < 0 ? 0 : (v > hi ? hi : v); };
    const int64_t x0 = clamp(x, src_w);
    const int64_t y0 = clamp(y, src_h);
    const int64_t x_end = int64_t{x} + width;
    const int64_t y_end = int64_t{y} + height;
    const int64_t crop_w = x_end < x0 ? 0 : (x_end < src_w ? x_end : src_w) - x0;
    const int64_t crop_h = y_end < y0 ? 0 : (y_end < src_h ? y_end : src_h) - y0;
    if (crop_w < 1 || crop_h < 1) {
      handle_set_error(*d, kInvalidArgument,
                       "Crop rectangle has zero or negative area after clamping");
      return 0;
    }
    const uint32_t pixel_bytes = pixel_format_bytes(s->format);
    if (pixel_bytes == 0) {
      handle_set_error(*d, kInvalidArgument, "Source frame has invalid pixel format");
      return 0;
    }
    FramePixelBuffer* buffer = s->pixel_buffer;
    const uint8_t* data =
        s->data + s->stride * static_cast<uint64_t>(y0) + uint64_t{pixel_bytes} * x0;
    const uint64_t stride = s->stride;
    const uint32_t format = s->format;
    // Take the new reference before dropping the old one: src and dst may share a buffer.
    if (buffer != nullptr) buffer->refcount.fetch_add(1, std::memory_order_relaxed);
    frame_take(d, buffer, data, static_cast<uint32_t>(crop_w), static_cast<uint32_t>(crop_h),
               stride, format);
    return 1;
  });
}

VEXA_API uint32_t vexa_frame_width(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? 0 : f->width;
}

VEXA_API uint32_t vexa_frame_height(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? 0 : f->height;
}

VEXA_API uint32_t vexa_frame_format(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? 0 : f->format;
}

VEXA_API uint64_t vexa_frame_stride(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? 0 : f->stride;
}

VEXA_API const uint8_t* vexa_frame_data_ptr(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? nullptr : f->data;
}

VEXA_API uint32_t vexa_frame_error_code(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? kInvalidArgument : f->error_code;
}

namespace {
constexpr char kNullFrameMessage[] = "Null Frame handle";
}

VEXA_API const char* vexa_frame_error_message_ptr(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? kNullFrameMessage : f->error_message;
}

VEXA_API uint64_t vexa_frame_error_message_len(const vexa_frame* frame) {
  const Frame* f = as_frame(frame);
  return f == nullptr ? sizeof(kNullFrameMessage) - 1 : f->error_message_len;
}

}  // extern "C"
