// The wall at the C boundary: every exception that reaches an exported function becomes an
// error code and a message in the handle's error fields.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string_view>

#include "api/text_util.h"

namespace vexa {

inline constexpr uint64_t kErrorMessageCapacity = 256;

struct BoundaryError {
  uint32_t code;
  char message[kErrorMessageCapacity];  // NUL-terminated, at most 255 bytes
  uint64_t message_len;
};

// Maps an exception to its code, tested in this order: domain VexaUnsupported 12; out of
// memory or a reason mentioning allocation 7; domain VexaImage 5 or 4; "context budget" 6;
// "Nonfinite" 11; VexaModel 3; VexaFrontend or VexaArgument 1; VexaCancelled 10; "Metal" or
// "command failed" 8; anything else 14. The message is the reason, or the name without one.
// Never throws and never allocates.
BoundaryError error_from_exception(std::exception_ptr error) noexcept;

// Writes a handle's three error fields; the message is cut to 255 bytes.
template <typename Handle>
void handle_set_error(Handle& h, uint32_t code, std::string_view message) noexcept {
  h.error_code = code;
  h.error_message_len =
      copy_bounded(message.data(), message.size(), h.error_message, kErrorMessageCapacity);
}

template <typename Handle>
void handle_clear_error(Handle& h) noexcept {
  h.error_code = 0;
  h.error_message[0] = '\0';
  h.error_message_len = 0;
}

template <typename Handle>
void handle_set_error_from_current(Handle& h) noexcept {
  const BoundaryError e = error_from_exception(std::current_exception());
  handle_set_error(h, e.code, std::string_view(e.message, e.message_len));
}

// Runs fn for a handle without error fields: an escaping exception yields `fallback`.
template <typename Result, typename Fn>
Result guard_value(Result fallback, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    return fallback;
  }
}

template <typename Fn>
void guard_void(Fn&& fn) noexcept {
  try {
    fn();
  } catch (...) {
  }
}

// Runs fn on behalf of a handle with error fields; an escaping exception is recorded there.
template <typename Handle, typename Result, typename Fn>
Result guard_handle(Handle* h, Result fallback, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    if (h != nullptr) handle_set_error_from_current(*h);
    return fallback;
  }
}

}  // namespace vexa
