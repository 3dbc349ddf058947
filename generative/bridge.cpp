#include "generative/bridge.h"

#include <atomic>
#include <cstdio>

namespace vexa {

namespace {

constexpr uint32_t kCodeBackendUnavailable = 8;
constexpr char kUnavailableText[] =
    "Generative LLM/VLM engine is not available in this build";

std::atomic<const VlmEngine*> g_engine{nullptr};

const VlmEngine* engine() { return g_engine.load(std::memory_order_acquire); }

bool unavailable(VlmHandle* out_handle, uint32_t* out_code, char* message, uint64_t capacity) {
  if (out_handle != nullptr) *out_handle = nullptr;
  if (out_code != nullptr) *out_code = kCodeBackendUnavailable;
  if (message != nullptr && capacity > 0) {
    std::snprintf(message, static_cast<size_t>(capacity), "%s", kUnavailableText);
  }
  return false;
}

}  // namespace

void vlm_install_engine(const VlmEngine* e) { g_engine.store(e, std::memory_order_release); }

bool vlm_open_path_default(const char* path, uint32_t context_length, bool activation_fp16,
                           const char* cache_dir, bool verify_weights, VlmHandle* out_handle,
                           uint32_t* out_code, char* message, uint64_t capacity) {
  const VlmEngine* e = engine();
  if (e == nullptr || e->open_path == nullptr) {
    return unavailable(out_handle, out_code, message, capacity);
  }
  return e->open_path(path, context_length, activation_fp16, cache_dir, verify_weights,
                      out_handle, out_code, message, capacity);
}

bool vlm_open_fd_default(int32_t fd, uint64_t offset, uint64_t length, uint32_t context_length,
                         bool activation_fp16, const char* cache_dir, bool verify_weights,
                         VlmHandle* out_handle, uint32_t* out_code, char* message,
                         uint64_t capacity) {
  const VlmEngine* e = engine();
  if (e == nullptr || e->open_fd == nullptr) {
    return unavailable(out_handle, out_code, message, capacity);
  }
  return e->open_fd(fd, offset, length, context_length, activation_fp16, cache_dir,
                    verify_weights, out_handle, out_code, message, capacity);
}

void vlm_handle_free(VlmHandle handle) {
  const VlmEngine* e = engine();
  if (handle != nullptr && e != nullptr && e->handle_free != nullptr) e->handle_free(handle);
}

bool vlm_unload(VlmHandle handle) {
  const VlmEngine* e = engine();
  return handle != nullptr && e != nullptr && e->unload != nullptr && e->unload(handle);
}

bool vlm_reload(VlmHandle handle) {
  const VlmEngine* e = engine();
  return handle != nullptr && e != nullptr && e->reload != nullptr && e->reload(handle);
}

bool vlm_reset(VlmHandle handle) {
  const VlmEngine* e = engine();
  return handle != nullptr && e != nullptr && e->reset != nullptr && e->reset(handle);
}

void vlm_cancel(VlmHandle handle) {
  const VlmEngine* e = engine();
  if (handle != nullptr && e != nullptr && e->cancel != nullptr) e->cancel(handle);
}

bool vlm_chat(VlmHandle handle, const VlmChatRequest& request, VlmChatResult* result) {
  const VlmEngine* e = engine();
  if (result == nullptr) return false;
  if (handle == nullptr || e == nullptr || e->chat == nullptr) {
    result->error_code = kCodeBackendUnavailable;
    std::snprintf(result->message, sizeof result->message, "%s", kUnavailableText);
    return false;
  }
  return e->chat(handle, request, result);
}

}  // namespace vexa
