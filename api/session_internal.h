// Internal operations of the session family, shared by its files: error fields, the busy flag,
// model information, engine lifecycle, frame preprocessing, requests and streaming.
#pragma once

#include <cstdint>
#include <string_view>

#include "api/frame.h"
#include "api/input.h"
#include "api/output.h"
#include "api/session_record.h"

namespace vexa {

// Error fields, written under the session's error lock (message cut to 255 bytes).
void session_set_error(Session* s, uint32_t code, std::string_view message);
void session_clear_error(Session* s);
// Records the exception being handled (see error_map.h).
void session_set_error_from_current(Session* s);
inline void session_set_error(Session* s, ErrorCode code, std::string_view message) {
  session_set_error(s, static_cast<uint32_t>(code), message);
}

// The busy flag: compare-and-swap 0 -> 1 with acquire order; release store of 0.
bool session_try_acquire(Session* s);
void session_release(Session* s);
// Gives back a busy flag its owner has taken, however the owner's scope is left.
class SessionBusyHold {
 public:
  explicit SessionBusyHold(Session* s) : s_(s) {}
  ~SessionBusyHold() { session_release(s_); }
  SessionBusyHold(const SessionBusyHold&) = delete;
  SessionBusyHold& operator=(const SessionBusyHold&) = delete;

 private:
  Session* s_;
};
bool session_cancel_requested(const Session* s);

// Element size of a TensorDtype (Q8 blocks count as 1 byte); 0 for other values.
uint32_t api_dtype_element_size(uint32_t dtype);
uint32_t container_dtype_to_api(const OpenContainer* container, uint64_t dtype_id);

// Fills descriptors, presets, preferences and labels from the session's container. 0 with the
// session error set on failure.
bool session_load_model_info(Session* s, const OpenContainer* container);
void session_drop_labels(Session* s);
// Forgets the closed model's facts and the presets its metadata chose (caller settings stay).
void session_clear_model_info(Session* s);
const char* session_meta_str_cached(Session* s, const char* key, uint64_t len, uint64_t* out_len);

// Engine lifecycle. The callers hold the busy flag.
bool session_inspect_path(Session* s, const char* path, uint64_t len);
bool session_inspect_fd_impl(Session* s, int32_t fd, uint64_t offset, uint64_t length);
bool session_open_engine(Session* s);
void session_release_engines(Session* s);
void session_close(Session* s);
void session_free_stream(Session* s);
// Resolves a model path against the configured models directory into `buffer` (512 bytes).
// False with the session error set when the joined path does not fit or the result is empty.
bool session_resolve_path(Session* s, const char* path, uint64_t len, char* buffer,
                          uint64_t* out_len);

// Elements the CPU engine reads from its input and writes to output i for a request of n
// batch items (0 without a CPU engine). Buffers handed to the engine hold at least these.
uint64_t session_cpu_input_count(const Session* s, uint64_t n);
uint64_t session_cpu_output_count(const Session* s, uint64_t i, uint64_t n);

// The session's generative handle, read atomically.
VlmHandle* session_vlm_handle(const Session* s);

// Frame preprocessing into planar f32 (3 x W x H values).
void frame_sample_bilinear(const Frame* frame, bool bgr, float x, float y, float* out0,
                           float* out1, float* out2);
void preprocess_frame(const Session* s, const Frame* frame, uint32_t width, uint32_t height,
                      float* dst, float* scale_x, float* scale_y, float* pad_x, float* pad_y);

// Requests.
// Runs `body(s)` for one request on an opened session, holding the busy flag: the flag is
// taken before anything else is read, so an open or unload on another thread can never change
// the engines under the request. An exception the body lets escape becomes the session error.
template <typename Body>
bool session_request(Session* s, const Input* in, Output* o, Body&& body) {
  if (in == nullptr || o == nullptr) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Input and Output handles are required");
    return false;
  }
  if (!session_try_acquire(s)) {
    session_set_error(s, ErrorCode::kBusy, "Session is already executing an operation");
    return false;
  }
  bool ok = false;
  try {
    if (!s->opened) {
      session_set_error(s, ErrorCode::kInvalidArgument, "Session is not opened (or was unloaded)");
    } else {
      ok = body(s);
    }
  } catch (...) {
    session_set_error_from_current(s);
    ok = false;
  }
  session_release(s);
  return ok;
}
// Clears the cancel flag and hands the request a fresh output attached to the session.
void session_begin_request(Session* s, Output* o);
bool session_run_impl(Session* s, const Input* input, Output* output);
bool session_generate(Session* s, const Input* input, Output* output, bool streaming);
bool session_start_impl(Session* s, const Input* input, Output* output);
int32_t session_next_impl(Session* s, Output* output);
const uint8_t* frame_to_packed_rgb(const Frame* frame, uint8_t** owned_out);
int stream_chunk_sink(void* session, const char* text, uint64_t len, int64_t tag);
// The callback of plain runs: stores nothing, stops the generation once cancel is set.
int cancel_sink(void* session, const char* text, uint64_t len, int64_t tag);

void session_free_and_null(Session** session);

}  // namespace vexa
