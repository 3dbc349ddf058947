#include "generative/bridge.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/alloc_fault.h"
#include "core/container_access.h"
#include "core/container_digest.h"
#include "core/types.h"
#include "generative/generate.h"
#include "image/decode.h"

namespace vexa {

namespace {

constexpr uint64_t kMaxEncodedImageBytes = 536870912;  // 512 MiB
constexpr uint64_t kMinEncodedImageBytes = 8;
constexpr uint32_t kMinOrientation = 1;
constexpr uint32_t kMaxOrientation = 8;
constexpr uint64_t kImageEdgeShift = 32;
constexpr uint64_t kLow32 = 0xFFFFFFFFull;
constexpr uint64_t kRgbBytes = 3;
constexpr uint32_t kImageSourceLayoutRgb = static_cast<uint32_t>(RawPixelLayout::kRgb);
constexpr uint32_t kImageSourceLayoutRgba = static_cast<uint32_t>(RawPixelLayout::kRgba);
constexpr uint32_t kImageSourceLayoutBgra = static_cast<uint32_t>(RawPixelLayout::kBgra);

std::atomic<const VlmEngine*> g_engine{nullptr};

const VlmEngine* engine() { return g_engine.load(std::memory_order_acquire); }

uint32_t code(ErrorCode c) { return static_cast<uint32_t>(c); }

void put_message(char* buffer, uint64_t capacity, const char* text) {
  if (buffer == nullptr || capacity == 0) return;
  std::snprintf(buffer, static_cast<size_t>(capacity), "%s", text != nullptr ? text : "");
}

int open_failed(const VlmError& e, uint32_t* error_code_out, char* message, uint64_t capacity) {
  if (error_code_out != nullptr) *error_code_out = e.code;
  put_message(message, capacity, e.message);
  return 0;
}

VlmOpenParams default_open_params(uint32_t context_length, uint32_t activation_fp16,
                                  const char* backend, uint32_t verify_weights) {
  VlmOpenParams p = vlm_open_params_default();
  if (context_length >= 64 && context_length <= kVlmMaxContextLength) p.context_length = context_length;
  p.activation_fp16 = activation_fp16 & 1u;
  if (backend != nullptr && backend[0] != '\0') p.backend = backend;
  p.verify_weights = verify_weights & 1u;
  return p;
}

// The image-source layout of a message's PixelFormat; 0 for the formats a raw image source
// cannot carry.
uint32_t source_layout(uint32_t pixel_format) {
  switch (static_cast<PixelFormat>(pixel_format)) {
    case PixelFormat::kRgb8: return kImageSourceLayoutRgb;
    case PixelFormat::kRgba8: return kImageSourceLayoutRgba;
    case PixelFormat::kBgra8: return kImageSourceLayoutBgra;
    default: return 0;
  }
}

uint32_t clamp_orientation(uint32_t orientation) {
  return orientation >= kMinOrientation && orientation <= kMaxOrientation ? orientation
                                                                          : kVlmOrientationUpright;
}

// One user turn of an image and a prompt, run without a callback.
int chat_one_image(VlmHandle* handle, const VlmImageSource& image, const char* prompt,
                   uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                   VlmResult* result, VlmError* error) {
  const VlmContentItem items[2] = {{kContentImage, nullptr, &image}, {kContentText, prompt, nullptr}};
  const VlmPromptMessage turn{"user", items, 2};
  VlmRequest request = vlm_request_default();
  request.max_new_tokens = max_new_tokens;
  request.tiled = tiled & 1u;
  request.image_longest_edge = image_longest_edge;
  return vlm_generate(handle, &turn, 1, &request, nullptr, nullptr, result, error);
}

int chat_failed(VlmChatResult* result, uint32_t error_code, const char* message) {
  result->error_code = error_code;
  put_message(result->message, sizeof result->message, message);
  return 0;
}

int real_chat(VlmHandle* handle, const VlmChatRequest& r, VlmChatResult* result) {
  if (handle == nullptr || r.messages == nullptr || r.message_count < 1 ||
      r.message_count > kVlmMaxChatMessages) {
    return chat_failed(result, code(ErrorCode::kInvalidArgument),
                       "Invalid VLM handle or empty message list");
  }
  VlmPromptMessage turns[kVlmMaxChatMessages];
  VlmContentItem items[kVlmMaxChatMessages][2];
  VlmImageSource images[kVlmMaxChatMessages];
  for (uint64_t i = 0; i < r.message_count; ++i) {
    const VlmMessage& m = r.messages[i];
    const VlmContentItem text{kContentText, m.text, nullptr};
    if (m.kind != kVlmMessageHasImage || m.image == nullptr) {
      items[i][0] = text;
      turns[i] = {m.role, items[i], 1};
      continue;
    }
    // The image source knows its own three layouts, not PixelFormat codes.
    const uint32_t layout = source_layout(m.format);
    if (layout == 0) {
      return chat_failed(result, code(ErrorCode::kUnsupportedImage),
                         "Message image format must be RGB8, RGBA8 or BGRA8");
    }
    VlmImageSource& image = images[i];
    image = VlmImageSource{};
    image.kind = kImageSourcePixels;
    image.data = m.image;
    image.length = m.length;
    image.width = m.width;
    image.height = m.height;
    image.stride = m.stride;
    image.format = layout;
    image.orientation = clamp_orientation(m.orientation);
    items[i][0] = {kContentImage, nullptr, &image};
    items[i][1] = text;
    turns[i] = {m.role, items[i], 2};
  }

  VlmRequest request = vlm_request_default();
  request.max_new_tokens = r.max_new_tokens == 0 ? kVlmDefaultMaxNewTokens : r.max_new_tokens;
  request.sampling.temperature = r.temperature;
  request.sampling.top_p = r.top_p;
  request.sampling.min_p = r.min_p;
  request.sampling.repetition_penalty = r.repetition_penalty;
  request.sampling.top_k = r.top_k > 0 ? static_cast<uint32_t>(r.top_k) : 0;
  request.sampling.seed = r.seed;
  if (r.stops != nullptr && r.stop_count != 0) {
    request.stops = const_cast<const char**>(r.stops);
    request.stop_count = r.stop_count;
  }
  request.tiled = static_cast<uint32_t>(r.image_options & 1u);
  request.image_longest_edge = r.image_options > kLow32
                                   ? static_cast<uint32_t>(r.image_options >> kImageEdgeShift)
                                   : kVlmDefaultImageLongestEdge;
  if (r.json_schema != nullptr && r.json_schema[0] != '\0') request.json_schema = r.json_schema;
  if (r.amount_decimals >= 1) request.amount_decimals = static_cast<uint32_t>(r.amount_decimals);

  VlmResult generated{};
  VlmError error{};
  // The chat result carries no log-probabilities, so none are computed.
  if (!vlm_generate_answer(handle, turns, r.message_count, &request, r.callback, r.user_data,
                           &generated, &error)) {
    vlm_result_clear(&generated);
    return chat_failed(result, error.code != 0 ? error.code : code(ErrorCode::kInference),
                       error.message);
  }
  // The caller owns its copy of the answer; without it the request has not succeeded.
  auto* answer = static_cast<char*>(fault_malloc(generated.answer_length + 1));
  if (answer == nullptr) {
    vlm_result_clear(&generated);
    return chat_failed(result, code(ErrorCode::kOutOfMemory), "Answer allocation failed");
  }
  std::memcpy(answer, generated.answer, generated.answer_length);
  answer[generated.answer_length] = '\0';
  result->answer = answer;
  result->answer_length = generated.answer_length;
  result->prompt_tokens = generated.prompt_tokens;
  result->generated_tokens = generated.generated_tokens;
  result->reused_prompt_tokens = generated.reused_prompt_tokens;
  result->finish_reason = generated.finish_reason;
  result->wall_ms = generated.wall_ms;
  vlm_result_clear(&generated);
  return 1;
}

}  // namespace

void vlm_install_engine(const VlmEngine* e) { g_engine.store(e, std::memory_order_release); }

int vlm_open_path_default(const char* path, uint32_t context_length, uint32_t activation_fp16,
                          const char* backend, uint32_t verify_weights, VlmHandle** out,
                          uint32_t* error_code_out, char* message, uint64_t capacity) {
  if (const VlmEngine* e = engine(); e != nullptr && e->open_path != nullptr) {
    return e->open_path(path, context_length, activation_fp16, backend, verify_weights, out,
                        error_code_out, message, capacity);
  }
  const VlmOpenParams p = default_open_params(context_length, activation_fp16, backend, verify_weights);
  VlmHandle* handle = nullptr;
  VlmError error{};
  if (!vlm_open_path(path, &p, &handle, &error)) {
    return open_failed(error, error_code_out, message, capacity);
  }
  if (out != nullptr) {
    *out = handle;
  } else {
    vlm_handle_destroy(handle);
  }
  return 1;
}

int vlm_open_fd_default(int fd, uint64_t base_offset, uint64_t length, uint32_t context_length,
                        uint32_t activation_fp16, const char* backend, uint32_t verify_weights,
                        VlmHandle** out, uint32_t* error_code_out, char* message,
                        uint64_t capacity) {
  if (const VlmEngine* e = engine(); e != nullptr && e->open_fd != nullptr) {
    return e->open_fd(fd, base_offset, length, context_length, activation_fp16, backend,
                      verify_weights, out, error_code_out, message, capacity);
  }
  const VlmOpenParams p = default_open_params(context_length, activation_fp16, backend, verify_weights);
  VlmHandle* handle = nullptr;
  VlmError error{};
  if (!vlm_open_fd(fd, base_offset, length, &p, &handle, &error)) {
    return open_failed(error, error_code_out, message, capacity);
  }
  if (out != nullptr) {
    *out = handle;
  } else {
    vlm_handle_destroy(handle);
  }
  return 1;
}

void vlm_handle_free(VlmHandle* handle) {
  if (handle == nullptr) return;
  if (const VlmEngine* e = engine(); e != nullptr && e->handle_free != nullptr) {
    e->handle_free(handle);
    return;
  }
  vlm_handle_destroy(handle);
}

void vlm_cancel(VlmHandle* handle) {
  if (handle == nullptr) return;
  if (const VlmEngine* e = engine(); e != nullptr && e->cancel != nullptr) {
    e->cancel(handle);
    return;
  }
  vlm_cancel_impl(handle);
}

int vlm_reset(VlmHandle* handle) {
  if (handle == nullptr) return 0;
  if (const VlmEngine* e = engine(); e != nullptr && e->reset != nullptr) return e->reset(handle);
  VlmError scratch{};
  return vlm_reset_impl(handle, &scratch);
}

int vlm_unload(VlmHandle* handle) {
  if (handle == nullptr) return 0;
  if (const VlmEngine* e = engine(); e != nullptr && e->unload != nullptr) return e->unload(handle);
  VlmError scratch{};
  return vlm_unload_impl(handle, &scratch);
}

int vlm_reload(VlmHandle* handle) {
  if (handle == nullptr) return 0;
  if (const VlmEngine* e = engine(); e != nullptr && e->reload != nullptr) return e->reload(handle);
  VlmError scratch{};
  return vlm_reload_impl(handle, &scratch);
}

int vlm_chat(VlmHandle* handle, const VlmChatRequest& request, VlmChatResult* result) {
  if (result == nullptr) return 0;
  if (const VlmEngine* e = engine(); e != nullptr && e->chat != nullptr) {
    return e->chat(handle, request, result);
  }
  return real_chat(handle, request, result);
}

int vlm_chat_pixels(VlmHandle* handle, const PixelView* image, const char* prompt,
                    uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                    uint32_t orientation, VlmResult* result, VlmError* error) {
  if (image == nullptr || !pixel_buffer_valid(image) || orientation < kMinOrientation ||
      orientation > kMaxOrientation) {
    if (error != nullptr) {
      std::memset(error, 0, sizeof *error);
      vlm_error_set(error, code(ErrorCode::kInvalidArgument),
                    "Invalid pixel dimensions, format, stride, length or orientation");
    }
    return 0;
  }
  VlmImageSource source{};
  source.kind = kImageSourcePixels;
  source.orientation = orientation;
  const uint32_t layout = source_layout(image->format);
  if (layout != 0) {
    source.data = image->data;
    source.length = image->length;
    source.width = image->width;
    source.height = image->height;
    source.stride = image->stride;
    source.format = layout;
    return chat_one_image(handle, source, prompt, max_new_tokens, tiled, image_longest_edge,
                          result, error);
  }
  // GRAY8 and BGR8 run on an RGB8 copy.
  Expected<RgbPixels> rgb = alloc_fault_take() ? expected_error<RgbPixels>("no memory")
                                               : pixels_to_rgb(image);
  if (!rgb.ok()) {
    expected_message_free(&rgb.error);
    if (error != nullptr) {
      std::memset(error, 0, sizeof *error);
      vlm_error_set(error, code(ErrorCode::kOutOfMemory), "RGB conversion allocation failed");
    }
    return 0;
  }
  source.data = rgb.value.pixels;
  source.length = rgb.value.count;
  source.width = rgb.value.width;
  source.height = rgb.value.height;
  source.stride = static_cast<uint64_t>(rgb.value.width) * kRgbBytes;
  source.format = kImageSourceLayoutRgb;
  const int ok = chat_one_image(handle, source, prompt, max_new_tokens, tiled, image_longest_edge,
                                result, error);
  std::free(rgb.value.pixels);
  return ok;
}

int vlm_chat_encoded(VlmHandle* handle, const uint8_t* data, uint64_t length, const char* prompt,
                     uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                     VlmResult* result, VlmError* error) {
  if (data == nullptr || length < kMinEncodedImageBytes || length > kMaxEncodedImageBytes) {
    if (error != nullptr) {
      std::memset(error, 0, sizeof *error);
      vlm_error_set(error, code(ErrorCode::kInvalidArgument),
                    "Invalid encoded image pointer or length");
    }
    return 0;
  }
  VlmImageSource source{};
  source.kind = kImageSourceEncoded;
  source.data = data;
  source.length = length;
  return chat_one_image(handle, source, prompt, max_new_tokens, tiled, image_longest_edge, result,
                        error);
}

int vlm_verify_model(int fd, uint64_t base_offset, uint64_t length, VlmProgressCallback progress,
                     void* user_data, VlmError* error) {
  if (error != nullptr) std::memset(error, 0, sizeof *error);
  // Opened without the f32 plan: the tensor records describe the bytes as the file stores them.
  OpenResult opened = container_open_fd(fd, base_offset, length, 0);
  if (!opened.ok()) {
    const uint64_t status = opened.status;
    const ErrorCode c = status == static_cast<uint64_t>(PackStatus::kIoFailed) ? ErrorCode::kIo
                        : status == static_cast<uint64_t>(PackStatus::kAllocationFailed)
                            ? ErrorCode::kOutOfMemory
                            : ErrorCode::kInvalidModel;
    const std::string text(pack_status_text(static_cast<uint32_t>(status)));
    return vlm_error_set(error, code(c), text.c_str());
  }
  OpenContainer* container = &opened.container;
  const uint64_t total = container_tensor_count(container);
  const uint64_t digests = container_entry_offset(container, kSectionDigests, 0);
  ErrorCode stop = ErrorCode::kOk;
  std::vector<uint8_t> buffer;
  for (uint64_t i = 0; i < total && stop == ErrorCode::kOk; ++i) {
    if (progress != nullptr && progress(user_data, i, total) != 0) {
      stop = ErrorCode::kCancelled;
      break;
    }
    const TensorRecord t = container_tensor_record(container, i);
    // The digest covers the padded bytes as written, padding included.
    if (t.padded_size > buffer.size()) {
      try {
        alloc_fault_check();
        buffer.resize(static_cast<size_t>(t.padded_size));
      } catch (const std::bad_alloc&) {
        stop = ErrorCode::kOutOfMemory;
        break;
      }
    }
    if (!read_fully_at(container->fd, buffer.data(), t.padded_size,
                       container->base_offset + container->weights_offset + t.relative_offset)) {
      stop = ErrorCode::kIo;
      break;
    }
    if (!digest_matches(buffer.data(), t.padded_size,
                        container->image + digests + kDigestBytes * i)) {
      stop = ErrorCode::kIntegrity;
    }
  }
  if (stop == ErrorCode::kOk && progress != nullptr && progress(user_data, total, total) != 0) {
    stop = ErrorCode::kCancelled;
  }
  container_close(container);
  if (stop != ErrorCode::kOk) {
    return vlm_error_set(error, code(stop), "Model verification failed or was cancelled");
  }
  return 1;
}

}  // namespace vexa
