// JPEG decoding from memory through libjpeg-turbo.
//
// Decompression settings: RGB output, the accurate integer IDCT (JDCT_ISLOW), 1/1 scale, and the
// library's defaults for everything else (fancy upsampling and block smoothing on). These are
// exactly what djpeg uses by default, so its output is a byte-exact reference for ours; the
// faster IDCTs and plain upsampling would trade accuracy for speed that a model's preprocessing
// does not need.
//
// libjpeg reports fatal errors through error_exit, which must not return. Ours formats the
// message and longjmps back to the decoder; the frame that calls setjmp holds only plain data
// (no destructors to skip), and everything it owns lives in malloc'd blocks it frees itself.
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa::image_detail {

namespace {

constexpr uint8_t kSoi0 = 0xFF;
constexpr uint8_t kSoi1 = 0xD8;

struct JpegErrorState {
  jpeg_error_mgr mgr;  // first: the library hands back a pointer to it
  jmp_buf jump;
  char message[kImageMessageCapacity];
};
static_assert(JMSG_LENGTH_MAX <= kImageMessageCapacity);

extern "C" void jpeg_error_exit_jump(j_common_ptr cinfo) {
  auto* state = reinterpret_cast<JpegErrorState*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, state->message);
  longjmp(state->jump, 1);
}

extern "C" void jpeg_output_message_silent(j_common_ptr) {}

}  // namespace

bool jpeg_probe(const uint8_t* data, uint64_t len) {
  return data != nullptr && len >= 2 && data[0] == kSoi0 && data[1] == kSoi1;
}

int jpeg_decode(const uint8_t* data, uint64_t len, RgbImage* out, char* msg) {
  std::memset(out, 0, sizeof *out);
  auto* cinfo = static_cast<jpeg_decompress_struct*>(std::calloc(1, sizeof(jpeg_decompress_struct)));
  auto* state = static_cast<JpegErrorState*>(std::calloc(1, sizeof(JpegErrorState)));
  if (cinfo == nullptr || state == nullptr) {
    std::free(cinfo);
    std::free(state);
    copy_error_text(msg, kMsgJpegAllocation);
    return 0;
  }
  cinfo->err = jpeg_std_error(&state->mgr);
  state->mgr.error_exit = jpeg_error_exit_jump;
  state->mgr.output_message = jpeg_output_message_silent;

  if (setjmp(state->jump) != 0) {
    copy_error_text(msg, state->message);
    jpeg_destroy_decompress(cinfo);
    std::free(cinfo);
    std::free(state);
    free_image(out);
    return 0;
  }

  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(len));
  jpeg_read_header(cinfo, TRUE);

  const char* failure = nullptr;
  if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) {
    failure = kMsgJpegCmyk;
  } else if (alloc_rgb_image(out, cinfo->image_width, cinfo->image_height, msg) == 0) {
    // alloc_rgb_image owns no block on failure and has written its message.
    jpeg_destroy_decompress(cinfo);
    std::free(cinfo);
    std::free(state);
    return 0;
  } else {
    cinfo->out_color_space = JCS_RGB;
    cinfo->dct_method = JDCT_ISLOW;
    cinfo->scale_num = 1;
    cinfo->scale_denom = 1;
    jpeg_start_decompress(cinfo);
    // Rows go straight into the final block, so its shape must be exactly what we allocated.
    if (cinfo->output_width != out->width || cinfo->output_height != out->height ||
        cinfo->output_components != static_cast<int>(kRgbBytesPerPixel)) {
      failure = kMsgJpegLayout;
    } else {
      const uint64_t row_bytes = uint64_t{kRgbBytesPerPixel} * out->width;
      while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = out->pixels + row_bytes * cinfo->output_scanline;
        // A memory source never suspends; zero rows would mean no progress, so stop.
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
          failure = kMsgCannotRead;
          break;
        }
      }
      if (failure == nullptr) jpeg_finish_decompress(cinfo);
    }
  }

  jpeg_destroy_decompress(cinfo);
  std::free(cinfo);
  std::free(state);
  if (failure != nullptr) {
    free_image(out);
    copy_error_text(msg, failure);
    return 0;
  }
  return 1;
}

}  // namespace vexa::image_detail
