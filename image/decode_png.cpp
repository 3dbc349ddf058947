// PNG decoding from memory through libpng.
//
// libpng's errors come back through png_error_jump, which copies the text into the caller's
// message buffer and png_longjmps to the decoder. As for JPEG, the frame that calls setjmp holds
// only plain data and frees what it owns itself.
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <png.h>

#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa::image_detail {

namespace {

constexpr int kMaxPngBitDepth = 8;
// Lower bound of the per-chunk allocation limit, so small inputs keep libpng's usual slack.
constexpr uint64_t kMinChunkLimitBytes = 64 * 1024;

// Ancillary chunks that never change our pixels (no gamma or colour management is applied, and
// EXIF is read by our own walk). libpng would buffer each whole, allocating and clearing as many
// bytes as the chunk header claims, before noticing the data is not there; skipped chunks are
// read through in small steps instead. tRNS is kept: it decides the palette expansion.
constexpr png_byte kIgnoredChunks[] =
    "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sCAL\0sPLT\0sRGB\0sTER\0"
    "tEXt\0tIME\0zTXt";
constexpr int kIgnoredChunkCount = 17;
constexpr size_t kChunkNameEntryBytes = 5;
static_assert(sizeof kIgnoredChunks == kIgnoredChunkCount * kChunkNameEntryBytes);

struct PngMemorySource {
  const uint8_t* data;
  uint64_t size;
  uint64_t offset;
};

extern "C" void png_error_jump(png_structp png, png_const_charp text) {
  copy_error_text(static_cast<char*>(png_get_error_ptr(png)), text);
  png_longjmp(png, 1);
}

extern "C" void png_warning_silent(png_structp, png_const_charp) {}

extern "C" void png_read_memory(png_structp png, png_bytep dest, size_t n) {
  auto* src = static_cast<PngMemorySource*>(png_get_io_ptr(png));
  if (n > src->size - src->offset) png_error(png, kMsgPngTruncated);
  std::memcpy(dest, src->data + src->offset, n);
  src->offset += n;
}

}  // namespace

bool png_probe(const uint8_t* data, uint64_t len) {
  return data != nullptr && len >= kMinEncodedBytes && png_sig_cmp(data, 0, kMinEncodedBytes) == 0;
}

int png_decode(const uint8_t* data, uint64_t len, RgbImage* out, char* msg) {
  std::memset(out, 0, sizeof *out);
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, msg, png_error_jump,
                                           png_warning_silent);
  if (png == nullptr) {
    copy_error_text(msg, kMsgPngAllocation);
    return 0;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    copy_error_text(msg, kMsgPngAllocation);
    return 0;
  }
  PngMemorySource source{data, len, 0};

  if (setjmp(png_jmpbuf(png)) != 0) {
    // The message is already in msg.
    png_destroy_read_struct(&png, &info, nullptr);
    free_image(out);
    return 0;
  }

  png_set_read_fn(png, &source, png_read_memory);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kIgnoredChunks, kIgnoredChunkCount);
  // No chunk can hold more bytes than the whole input.
  png_set_chunk_malloc_max(png, len < kMinChunkLimitBytes ? kMinChunkLimitBytes : len);
  png_read_info(png, info);
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bit_depth = 0;
  int color_type = 0;
  png_get_IHDR(png, info, &width, &height, &bit_depth, &color_type, nullptr, nullptr, nullptr);
  if (bit_depth > kMaxPngBitDepth) png_error(png, kMsgPngDepth);  // 16-bit is refused, not reduced

  if (alloc_rgb_image(out, width, height, msg) == 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
  }

  switch (color_type) {
    case PNG_COLOR_TYPE_PALETTE:
      png_set_palette_to_rgb(png);
      break;
    case PNG_COLOR_TYPE_GRAY:
      if (bit_depth < kMaxPngBitDepth) png_set_expand_gray_1_2_4_to_8(png);
      png_set_gray_to_rgb(png);
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      png_set_gray_to_rgb(png);
      png_set_strip_alpha(png);
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      png_set_strip_alpha(png);
      break;
    default:  // RGB: already three bytes per pixel
      break;
  }
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t row_bytes = png_get_rowbytes(png, info);
  if (row_bytes != size_t{kRgbBytesPerPixel} * width) png_error(png, kMsgPngLayout);

  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) {
      png_read_row(png, out->pixels + row_bytes * y, nullptr);
    }
  }
  png_read_end(png, info);
  png_destroy_read_struct(&png, &info, nullptr);
  return 1;
}

}  // namespace vexa::image_detail
