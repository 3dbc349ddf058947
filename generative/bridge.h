// What the C API session calls in the generative engine. The engine itself is not part of
// this build: opening a generative model fails with code 8 and a message saying so, and the
// other calls see no handle. Tests install a scripted engine through vlm_install_engine.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr uint64_t kVlmMessageCapacity = 256;
inline constexpr uint32_t kVlmDefaultMaxNewTokens = 64;
inline constexpr uint32_t kVlmDefaultImageLongestEdge = 512;
inline constexpr uint32_t kVlmPixelRgb8 = 1;
inline constexpr uint32_t kVlmOrientationUpright = 1;

// A generative session; the C API session only stores, passes and frees it.
struct VlmSession;
using VlmHandle = VlmSession*;

// One chat message as the C API fills it. Texts are NUL-terminated; an image is packed RGB8.
struct VlmMessage {
  const char* role;
  const char* content;
  uint8_t has_image;
  const uint8_t* image;
  uint64_t image_len;
  uint32_t width;
  uint32_t height;
  uint64_t row_bytes;  // width x 3
  uint32_t pixel_format;
  uint32_t orientation;
};

// Receives each text delta; a non-zero return stops the generation (finish reason 4).
using VlmStreamCallback = int32_t (*)(void* user, const char* chunk, uint64_t len);

// Everything the engine returns from one generation. `text` is malloc'd and owned by the
// caller, who frees it; it may be null on failure.
struct VlmChatResult {
  char* text;
  uint64_t text_len;
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t cached_prompt_tokens;
  uint32_t finish_reason;
  double elapsed_ms;
  uint32_t error_code;
  char message[kVlmMessageCapacity];
};

struct VlmChatRequest {
  const VlmMessage* messages;
  uint64_t message_count;
  uint32_t max_new_tokens;  // 0 means 64
  uint32_t top_k;
  uint64_t seed;
  const char* const* stops;
  uint64_t stop_count;
  double temperature;
  double top_p;
  double min_p;
  double repetition_penalty;
  uint8_t image_tiled;
  uint32_t image_longest_edge;  // 0 means 512
  const char* json_schema;      // null for none
  int32_t amount_decimals;
  VlmStreamCallback callback;   // null for none
  void* callback_user;
};

// Open failures write an ErrorCode (0 when the failure carried none) and a NUL-terminated
// message into the 256-byte buffer.
bool vlm_open_path_default(const char* path, uint32_t context_length, bool activation_fp16,
                           const char* cache_dir, bool verify_weights, VlmHandle* out_handle,
                           uint32_t* out_code, char* message, uint64_t capacity);
bool vlm_open_fd_default(int32_t fd, uint64_t offset, uint64_t length, uint32_t context_length,
                         bool activation_fp16, const char* cache_dir, bool verify_weights,
                         VlmHandle* out_handle, uint32_t* out_code, char* message,
                         uint64_t capacity);
void vlm_handle_free(VlmHandle handle);
bool vlm_unload(VlmHandle handle);
bool vlm_reload(VlmHandle handle);
bool vlm_reset(VlmHandle handle);
void vlm_cancel(VlmHandle handle);
// One generation; true on success. The result's finish reason is preset to 1 by the caller.
bool vlm_chat(VlmHandle handle, const VlmChatRequest& request, VlmChatResult* result);

// The engine behind the calls above. Installed by tests with a scripted engine; null restores
// the built-in "not available" behaviour.
struct VlmEngine {
  bool (*open_path)(const char* path, uint32_t context_length, bool activation_fp16,
                    const char* cache_dir, bool verify_weights, VlmHandle* out_handle,
                    uint32_t* out_code, char* message, uint64_t capacity);
  bool (*open_fd)(int32_t fd, uint64_t offset, uint64_t length, uint32_t context_length,
                  bool activation_fp16, const char* cache_dir, bool verify_weights,
                  VlmHandle* out_handle, uint32_t* out_code, char* message, uint64_t capacity);
  void (*handle_free)(VlmHandle handle);
  bool (*unload)(VlmHandle handle);
  bool (*reload)(VlmHandle handle);
  bool (*reset)(VlmHandle handle);
  void (*cancel)(VlmHandle handle);
  bool (*chat)(VlmHandle handle, const VlmChatRequest& request, VlmChatResult* result);
};
void vlm_install_engine(const VlmEngine* engine);

}  // namespace vexa
