// The flat entries of the generative engine: what the C API session calls to open a generative
// model, run chat requests, cancel, reset, unload, reload and close it, plus the entries for
// callers that hand over raw pixels or encoded images and a stand-alone weight check. Every
// entry converts its arguments into the records of the session layer and of the generation
// loop, calls them, and copies the outcome back; no exception leaves them.
//
// Tests of the C API may put a scripted engine behind the entries the session calls
// (vlm_install_engine); without one, they run the real engine.
#pragma once

#include <cstdint>

#include "generative/stop_stream.h"
#include "generative/vlm_result.h"
#include "generative/vlm_session.h"
#include "image/pixel_convert.h"

namespace vexa {

inline constexpr uint64_t kVlmMessageCapacity = 256;
inline constexpr uint32_t kVlmDefaultMaxNewTokens = 64;
inline constexpr uint32_t kVlmDefaultImageLongestEdge = 512;
inline constexpr uint64_t kVlmMaxChatMessages = 16;
inline constexpr uint32_t kVlmMessageHasImage = 1;
inline constexpr uint32_t kVlmOrientationUpright = 1;

// One chat message of vlm_chat (64 bytes). `format` is the image's PixelFormat: RGB8, RGBA8 and
// BGRA8 are taken, any other format is refused.
struct VlmMessage {
  const char* role;
  const char* text;
  uint32_t kind;  // 1: the message carries an image; anything else: text only
  const uint8_t* image;
  uint64_t length;  // bytes of the pixels
  uint32_t width;
  uint32_t height;
  uint64_t stride;  // bytes per row
  uint32_t format;
  uint32_t orientation;  // EXIF 1..8; anything else becomes 1
};
static_assert(sizeof(VlmMessage) == 64);

// Receives (user, text, length, tag) for each piece of released answer text; a non-zero return
// stops the generation with finish reason 4.
using VlmStreamCallback = StopStreamCallback;

// The settings of one vlm_chat call.
struct VlmChatRequest {
  const VlmMessage* messages;
  uint64_t message_count;  // 1..16
  uint32_t max_new_tokens;  // 0 means 64
  int32_t top_k;            // negative acts as 0 (off)
  uint64_t seed;
  const char* const* stops;  // used only when both stops and stop_count are given
  uint64_t stop_count;
  // Bit 0: tiled image detail. Above 0xFFFFFFFF the high 32 bits are the longest image edge;
  // otherwise the edge is 512.
  uint64_t image_options;
  const char* json_schema;  // null or empty for none
  int32_t amount_decimals;  // below 1 for none
  VlmStreamCallback callback;
  void* user_data;
  double temperature;
  double top_p;
  double min_p;
  double repetition_penalty;
};

// What vlm_chat hands back. `answer` is a heap copy owned by the caller (freed with std::free);
// it is null on failure.
struct VlmChatResult {
  char* answer;
  uint64_t answer_length;
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t reused_prompt_tokens;
  uint32_t finish_reason;
  double wall_ms;
  uint32_t error_code;
  char message[kVlmMessageCapacity];
};

// ---- entries the C API session calls ----------------------------------------------------
// 1 on success with the handle stored; 0 with an ErrorCode and a NUL-terminated message (cut
// to capacity - 1 bytes).
int vlm_open_path_default(const char* path, uint32_t context_length, uint32_t activation_fp16,
                          const char* backend, uint32_t verify_weights, VlmHandle** out,
                          uint32_t* error_code_out, char* message, uint64_t capacity);
int vlm_open_fd_default(int fd, uint64_t base_offset, uint64_t length, uint32_t context_length,
                        uint32_t activation_fp16, const char* backend, uint32_t verify_weights,
                        VlmHandle** out, uint32_t* error_code_out, char* message,
                        uint64_t capacity);
void vlm_handle_free(VlmHandle* handle);
void vlm_cancel(VlmHandle* handle);
int vlm_reset(VlmHandle* handle);
int vlm_unload(VlmHandle* handle);
int vlm_reload(VlmHandle* handle);
// One generation; 1 on success. A failure whose error carries no code reports 14.
int vlm_chat(VlmHandle* handle, const VlmChatRequest& request, VlmChatResult* result);

// ---- entries without a caller inside the library -----------------------------------------
// One "user" turn of one image and the prompt. GRAY8 and BGR8 run on an RGB8 copy.
int vlm_chat_pixels(VlmHandle* handle, const PixelView* image, const char* prompt,
                    uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                    uint32_t orientation, VlmResult* result, VlmError* error);
// The same with encoded (JPEG or PNG) bytes of 8..536,870,912 bytes.
int vlm_chat_encoded(VlmHandle* handle, const uint8_t* data, uint64_t length, const char* prompt,
                     uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                     VlmResult* result, VlmError* error);
// Compares every stored tensor of the container at (fd, base_offset, length), as the file holds
// it, with its digest. `progress(user, done, total)` returning non-zero cancels (code 10).
using VlmProgressCallback = int (*)(void* user, uint64_t done, uint64_t total);
int vlm_verify_model(int fd, uint64_t base_offset, uint64_t length, VlmProgressCallback progress,
                     void* user_data, VlmError* error);

// ---- test hook ------------------------------------------------------------------------------
// A scripted engine behind the entries the C API session calls; null restores the real one.
struct VlmEngine {
  int (*open_path)(const char* path, uint32_t context_length, uint32_t activation_fp16,
                   const char* backend, uint32_t verify_weights, VlmHandle** out,
                   uint32_t* error_code_out, char* message, uint64_t capacity);
  int (*open_fd)(int fd, uint64_t base_offset, uint64_t length, uint32_t context_length,
                 uint32_t activation_fp16, const char* backend, uint32_t verify_weights,
                 VlmHandle** out, uint32_t* error_code_out, char* message, uint64_t capacity);
  void (*handle_free)(VlmHandle* handle);
  int (*unload)(VlmHandle* handle);
  int (*reload)(VlmHandle* handle);
  int (*reset)(VlmHandle* handle);
  void (*cancel)(VlmHandle* handle);
  int (*chat)(VlmHandle* handle, const VlmChatRequest& request, VlmChatResult* result);
};
void vlm_install_engine(const VlmEngine* engine);

}  // namespace vexa
