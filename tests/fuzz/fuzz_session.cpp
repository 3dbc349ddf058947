// A session under arbitrary model bytes: inspect, backend checks, open and a request with zeroed
// inputs (raw tensors, then a frame) must give an error code or a result, never a crash, hang or
// out-of-bounds access.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "vexa/vexa.h"

namespace {

// Inputs above this many elements are not bound by the harness.
constexpr uint64_t kMaxHarnessElements = uint64_t{1} << 22;
constexpr uint32_t kFrameSide = 7;

void run_requests(vexa_session* s) {
  vexa_input* in = vexa_input_new();
  vexa_output* out = vexa_output_new();
  std::vector<std::vector<float>> buffers;
  const uint32_t inputs = vexa_session_input_count(s);
  bool bound = true;
  for (uint32_t i = 0; i < inputs; ++i) {
    const uint64_t bytes = vexa_session_input_bytes(s, static_cast<int32_t>(i));
    const uint32_t dtype = vexa_session_input_dtype(s, static_cast<int32_t>(i));
    const uint64_t element = dtype == VEXA_DTYPE_F16 ? 2 : dtype == VEXA_DTYPE_I64 ? 8
                             : dtype == VEXA_DTYPE_U8 ? 1 : 4;
    const uint64_t count = bytes / element;
    if (count > kMaxHarnessElements) {
      bound = false;
      break;
    }
    buffers.emplace_back(count == 0 ? 1 : count, 0.0f);
    vexa_input_set_f32(in, i, buffers.back().data(), count, 0);
  }
  if (bound) {
    if (vexa_session_run(s, in, out) == 1) {
      (void)vexa_output_compute_top_k(out, 0, 5, 1);
      (void)vexa_output_decode_boxes(out, 10, 0.25f, 0.45f);
    }
  }
  uint8_t pixels[kFrameSide * kFrameSide * 3] = {};
  vexa_frame* frame = vexa_frame_new();
  vexa_frame_set_pixels(frame, pixels, sizeof pixels, kFrameSide, kFrameSide, 0, VEXA_PIXEL_RGB8, 1, 0);
  vexa_input_clear(in);
  vexa_input_set_frame(in, frame);
  const int64_t h = vexa_session_input_dim(s, 0, 2);
  const int64_t w = vexa_session_input_dim(s, 0, 3);
  if (vexa_session_input_rank(s, 0) < 4 || (h > 0 && w > 0 && h * w <= 1 << 20)) {
    (void)vexa_session_run(s, in, out);
  }
  vexa_input_set_prompt(in, "hello", 5);
  vexa_session_start(s, in, out);
  while (vexa_session_next(s, out) == 1) {
  }
  vexa_frame_free(frame);
  vexa_output_free(out);
  vexa_input_free(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("vexa-fuzz-session", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  vexa_session* s = vexa_session_new(nullptr);
  if (vexa_session_inspect_fd(s, fd, 0, size) == 1) {
    for (uint32_t b = 0; b < 5; ++b) (void)vexa_session_check_backend(s, b);
    (void)vexa_session_meta_str_ptr(s, "task", 4);
    for (int32_t i = 0; i < static_cast<int32_t>(vexa_session_label_count(s)) && i < 16; ++i) {
      (void)vexa_session_label_len(s, i);
    }
  }
  if (vexa_session_open_fd(s, fd, 0, size) == 1) {
    run_requests(s);
    (void)vexa_session_unload(s);
    if (vexa_session_reload(s) == 1) run_requests(s);
  }
  vexa_session_set_batch_size(s, 2);
  vexa_session_set_resize_mode(s, 1);
  if (vexa_session_open_fd(s, fd, 0, size) == 1) run_requests(s);
  vexa_session_free(s);
  ::close(fd);
  return 0;
}
