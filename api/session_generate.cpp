// Generative requests: the Input becomes chat messages for the generative engine; a plain run
// returns the whole answer, streaming stores every text delta and hands them out one by one.
#include <cstdlib>
#include <cstring>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/session_internal.h"
#include "core/atomics.h"
#include "generative/bridge.h"
#include "gpu/weight_slot.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr uint64_t kRgbBytes = 3;
constexpr char kUserRole[] = "user";

Session* as_session(vexa_session* s) { return reinterpret_cast<Session*>(s); }
const Input* as_input(const vexa_input* i) { return reinterpret_cast<const Input*>(i); }
Output* as_output(vexa_output* o) { return reinterpret_cast<Output*>(o); }

char* copy_text(const char* text, uint64_t len) {
  if (len == UINT64_MAX) return nullptr;
  char* out = static_cast<char*>(api_malloc(static_cast<size_t>(len + 1)));
  if (out == nullptr) return nullptr;
  if (len > 0) std::memcpy(out, text, static_cast<size_t>(len));
  out[len] = '\0';
  return out;
}

// The images converted for one request, freed when it ends.
struct ConvertedImages {
  uint8_t* owned[kMaxChatMessages + 1] = {};
  uint64_t count = 0;
  ~ConvertedImages() {
    for (uint64_t i = 0; i < count; ++i) std::free(owned[i]);
  }
};

// Attaches the frame to the message when it converts; false leaves the message as text.
bool attach_image(VlmMessage* m, const Frame* frame, ConvertedImages* images) {
  uint8_t* owned = nullptr;
  const uint8_t* rgb = frame_to_packed_rgb(frame, &owned);
  if (rgb == nullptr) return false;
  if (owned != nullptr) images->owned[images->count++] = owned;
  m->kind = kVlmMessageHasImage;
  m->image = rgb;
  m->width = frame->width;
  m->height = frame->height;
  m->stride = static_cast<uint64_t>(frame->width) * kRgbBytes;
  m->length = m->stride * frame->height;
  m->format = static_cast<uint32_t>(PixelFormat::kRgb8);
  m->orientation = kVlmOrientationUpright;
  return true;
}

}  // namespace

const uint8_t* frame_to_packed_rgb(const Frame* frame, uint8_t** owned_out) {
  *owned_out = nullptr;
  if (frame == nullptr || frame->data == nullptr || frame->width == 0 || frame->height == 0) {
    return nullptr;
  }
  const uint64_t w = frame->width;
  const uint64_t h = frame->height;
  const uint64_t row = w * kRgbBytes;
  if (frame->format == static_cast<uint32_t>(PixelFormat::kRgb8) && frame->stride == row) {
    return frame->data;
  }
  if (h != 0 && row > SIZE_MAX / h) return nullptr;
  auto* out = static_cast<uint8_t*>(api_malloc(static_cast<size_t>(row * h)));
  if (out == nullptr) return nullptr;
  for (uint64_t y = 0; y < h; ++y) {
    const uint8_t* src = frame->data + y * frame->stride;
    uint8_t* dst = out + y * row;
    switch (static_cast<PixelFormat>(frame->format)) {
      case PixelFormat::kRgb8:
        std::memcpy(dst, src, static_cast<size_t>(row));
        break;
      case PixelFormat::kBgr8:
        for (uint64_t x = 0; x < w; ++x) {
          dst[3 * x] = src[3 * x + 2];
          dst[3 * x + 1] = src[3 * x + 1];
          dst[3 * x + 2] = src[3 * x];
        }
        break;
      case PixelFormat::kRgba8:
        for (uint64_t x = 0; x < w; ++x) std::memcpy(dst + 3 * x, src + 4 * x, 3);
        break;
      case PixelFormat::kBgra8:
        for (uint64_t x = 0; x < w; ++x) {
          dst[3 * x] = src[4 * x + 2];
          dst[3 * x + 1] = src[4 * x + 1];
          dst[3 * x + 2] = src[4 * x];
        }
        break;
      default:
        for (uint64_t x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
        break;
    }
  }
  *owned_out = out;
  return out;
}

int cancel_sink(void* user, const char*, uint64_t, int64_t) {
  const auto* s = static_cast<const Session*>(user);
  return s == nullptr || session_cancel_requested(s) ? 1 : 0;
}

int stream_chunk_sink(void* user, const char* text, uint64_t len, int64_t) {
  auto* s = static_cast<Session*>(user);
  if (s == nullptr) return 1;
  if (session_cancel_requested(s)) return 1;
  if (text == nullptr || len == 0) return 0;
  if (s->stream_chunk_count >= kMaxStreamChunks) {
    // The store is full: later text joins the last chunk, so the replay still adds up to
    // the whole answer.
    const uint64_t last = kMaxStreamChunks - 1;
    const uint64_t old_len = s->stream_chunk_lens[last];
    if (len > UINT64_MAX - old_len - 1) return 0;
    char* grown = static_cast<char*>(
        std::realloc(s->stream_chunks[last], static_cast<size_t>(old_len + len + 1)));
    if (grown == nullptr) return 0;
    std::memcpy(grown + old_len, text, static_cast<size_t>(len));
    grown[old_len + len] = '\0';
    s->stream_chunks[last] = grown;
    s->stream_chunk_lens[last] = old_len + len;
    return 0;
  }
  char* copy = copy_text(text, len);
  if (copy == nullptr) return 0;
  s->stream_chunks[s->stream_chunk_count] = copy;
  s->stream_chunk_lens[s->stream_chunk_count] = len;
  ++s->stream_chunk_count;
  return 0;
}

bool session_generate(Session* s, const Input* in, Output* o, bool streaming) {
  VlmHandle* const handle = session_vlm_handle(s);
  if (handle == nullptr) {
    session_set_error(s, ErrorCode::kInference, "Generative session handle is null");
    return false;
  }
  session_free_stream(s);

  ConvertedImages images;
  VlmMessage messages[kMaxChatMessages] = {};
  const uint64_t k = in->message_count < kMaxChatMessages ? in->message_count : kMaxChatMessages;
  uint64_t count = 0;
  if (k >= 1) {
    bool any_image = false;
    for (uint64_t i = 0; i < k; ++i) {
      const ChatMessage& cm = in->messages[i];
      messages[i].role = cm.role;
      messages[i].text = cm.content != nullptr ? cm.content : "";
      if (cm.image != nullptr && attach_image(&messages[i], cm.image, &images)) any_image = true;
    }
    if (!any_image && in->has_frame && in->frame != nullptr) {
      attach_image(&messages[k - 1], in->frame, &images);
    }
    count = k;
  } else {
    if (in->prompt_len == 0) {
      session_set_error(s, ErrorCode::kInvalidArgument,
                        "Generative Input requires a prompt or at least one chat message");
      return false;
    }
    messages[0].role = kUserRole;
    messages[0].text = in->prompt;
    if (in->has_frame && in->frame != nullptr) attach_image(&messages[0], in->frame, &images);
    count = 1;
  }

  const char* stops[kMaxStopStrings] = {};
  const uint64_t stop_count = in->stop_count < kMaxStopStrings ? in->stop_count : kMaxStopStrings;
  for (uint64_t i = 0; i < stop_count; ++i) stops[i] = in->stops[i];

  VlmChatRequest req{};
  req.messages = messages;
  req.message_count = count;
  req.max_new_tokens = in->max_tokens < 1 ? kVlmDefaultMaxNewTokens : in->max_tokens;
  const int32_t top_k = static_cast<int32_t>(in->top_k);
  req.top_k = top_k > 0 ? top_k : 0;
  req.seed = in->seed;
  req.stops = stops;
  req.stop_count = stop_count;
  req.temperature = in->temperature;
  req.top_p = in->top_p;
  req.min_p = in->min_p;
  req.repetition_penalty = in->repeat_penalty;
  const uint64_t edge = in->tile_size < 1 ? kVlmDefaultImageLongestEdge : in->tile_size;
  req.image_options = (edge << 32) | (in->image_tiled != 0 ? 1u : 0u);
  req.json_schema = in->json_schema_len != 0 ? in->json_schema : nullptr;
  req.amount_decimals = in->amount_decimals;
  // A plain run listens for cancellation too: a cancel that lands before the engine starts
  // (which clears its own flag) still stops the answer at its next piece of text.
  req.callback = streaming ? stream_chunk_sink : cancel_sink;
  req.user_data = s;

  VlmChatResult res{};
  res.finish_reason = static_cast<uint32_t>(FinishReason::kEndOfSequence);
  const double t = now_seconds();
  const bool ok = vlm_chat(handle, req, &res) != 0;
  const double elapsed = res.wall_ms > 0 ? res.wall_ms : (now_seconds() - t) * 1000.0;
  const bool cancelled = session_cancel_requested(s);

  if (ok && streaming) {
    if (s->stream_chunk_count == 0 && res.answer != nullptr && res.answer_length > 0) {
      char* copy = copy_text(res.answer, res.answer_length);
      if (copy != nullptr) {
        s->stream_chunks[0] = copy;
        s->stream_chunk_lens[0] = res.answer_length;
        s->stream_chunk_count = 1;
      }
    }
    std::free(res.answer);
    s->stream_cursor = 0;
    s->stream_active = 1;
    s->stream_finish_reason = res.finish_reason;
    s->stream_prompt_tokens = res.prompt_tokens;
    s->stream_generated_tokens = res.generated_tokens;
    s->stream_cached_prompt_tokens = res.reused_prompt_tokens;
    s->stream_latency_ms = elapsed;
    s->stream_backend = s->active_backend;
    o->finish_reason = static_cast<uint32_t>(FinishReason::kNone);
    o->backend_used = s->active_backend;
    session_clear_error(s);
    return true;
  }
  if (ok) {
    if (res.finish_reason == static_cast<uint32_t>(FinishReason::kCancelled) || cancelled) {
      std::free(res.answer);
      session_set_error(s, ErrorCode::kCancelled, "Generation was cancelled");
      return false;
    }
    char* copy = res.answer != nullptr ? copy_text(res.answer, res.answer_length) : nullptr;
    if (copy == nullptr) {
      std::free(res.answer);
      session_set_error(s, ErrorCode::kOutOfMemory, "Out of memory allocating generated text");
      return false;
    }
    o->text = copy;
    o->text_len = res.answer_length;
    o->full_text = res.answer;
    o->full_text_len = res.answer_length;
    o->finish_reason = res.finish_reason;
    o->prompt_tokens = res.prompt_tokens;
    o->generated_tokens = res.generated_tokens;
    o->cached_prompt_tokens = res.reused_prompt_tokens;
    o->latency_ms = elapsed;
    o->backend_used = s->active_backend;
    session_clear_error(s);
    return true;
  }
  std::free(res.answer);
  if (!cancelled && res.error_code != static_cast<uint32_t>(ErrorCode::kCancelled)) {
    res.message[sizeof res.message - 1] = '\0';
    const size_t len = std::strlen(res.message);
    session_set_error(s, res.error_code < 1 ? static_cast<uint32_t>(ErrorCode::kInference) : res.error_code,
                      len > 0 ? std::string_view(res.message, len)
                              : std::string_view("Generative inference failed"));
    return false;
  }
  if (!streaming) {
    session_set_error(s, ErrorCode::kCancelled, "Generation was cancelled");
    return false;
  }
  s->stream_active = 1;
  s->stream_finish_reason = static_cast<uint32_t>(FinishReason::kCancelled);
  s->stream_latency_ms = elapsed;
  s->stream_backend = s->active_backend;
  session_clear_error(s);
  return true;
}

bool session_start_impl(Session* s, const Input* in, Output* o) {
  return session_request(s, in, o, [&](Session* session) {
    if (!session->is_generative) {
      session_set_error(session, ErrorCode::kUnsupported,
                        "Streaming start/next requires a generative LLM/VLM model");
      return false;
    }
    session_begin_request(session, o);
    return session_generate(session, in, o, true);
  });
}

int32_t session_next_impl(Session* s, Output* o) {
  if (s == nullptr || o == nullptr) return -1;
  // A start or run on another thread frees and refills the chunk store: the stream is read
  // only while this call holds the session.
  if (!session_try_acquire(s)) {
    session_set_error(s, ErrorCode::kBusy, "Session is already executing an operation");
    return -1;
  }
  const SessionBusyHold hold(s);
  if (!s->stream_active) {
    session_set_error(s, ErrorCode::kInvalidArgument, "No active generation stream; call start() first");
    return -1;
  }
  std::free(o->text);
  o->text = nullptr;
  o->text_len = 0;
  if (session_cancel_requested(s)) {
    o->finish_reason = static_cast<uint32_t>(FinishReason::kCancelled);
    s->stream_active = 0;
    session_set_error(s, ErrorCode::kCancelled, "Generation stream was cancelled");
    return 0;
  }
  if (s->stream_cursor >= s->stream_chunk_count) {
    o->finish_reason = s->stream_finish_reason;
    o->prompt_tokens = s->stream_prompt_tokens;
    o->generated_tokens = s->stream_generated_tokens;
    o->cached_prompt_tokens = s->stream_cached_prompt_tokens;
    o->latency_ms = s->stream_latency_ms;
    o->backend_used = s->stream_backend;
    s->stream_active = 0;
    return 0;
  }
  const uint64_t i = s->stream_cursor++;
  const char* chunk = s->stream_chunks[i];
  const uint64_t len = s->stream_chunk_lens[i];
  o->text = copy_text(chunk, len);
  if (o->text == nullptr) {
    session_set_error(s, ErrorCode::kOutOfMemory, "Out of memory allocating stream delta");
    return -1;
  }
  o->text_len = len;
  const uint64_t old_len = o->full_text != nullptr ? o->full_text_len : 0;
  char* grown = nullptr;
  if (len <= UINT64_MAX - old_len - 1) {
    grown = static_cast<char*>(api_malloc(static_cast<size_t>(old_len + len + 1)));
  }
  if (grown == nullptr) {
    session_set_error(s, ErrorCode::kOutOfMemory, "Out of memory growing full_text");
    return -1;
  }
  if (old_len > 0) std::memcpy(grown, o->full_text, static_cast<size_t>(old_len));
  std::memcpy(grown + old_len, chunk, static_cast<size_t>(len));
  grown[old_len + len] = '\0';
  std::free(o->full_text);
  o->full_text = grown;
  o->full_text_len = old_len + len;
  o->finish_reason = static_cast<uint32_t>(FinishReason::kNone);
  o->prompt_tokens = s->stream_prompt_tokens;
  o->generated_tokens = static_cast<uint32_t>(s->stream_cursor);
  o->cached_prompt_tokens = s->stream_cached_prompt_tokens;
  o->latency_ms = s->stream_latency_ms;
  o->backend_used = s->stream_backend;
  return 1;
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API int32_t vexa_session_start(vexa_session* session, const vexa_input* input,
                                    vexa_output* output) {
  Session* s = as_session(session);
  if (s == nullptr) return 0;
  return session_start_impl(s, as_input(input), as_output(output)) ? 1 : 0;
}

VEXA_API int32_t vexa_session_next(vexa_session* session, vexa_output* output) {
  return guard_value<int32_t>(-1, [&] { return session_next_impl(as_session(session), as_output(output)); });
}

}  // extern "C"
