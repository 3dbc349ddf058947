// Tagged result returned by value from the container, image, tensor-preparation and tooling
// entry points: tag 0 carries the producer's value, tag 1 an owned message.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace vexa {

// The message of a failed result: a Bytes-shaped {data, length, capacity} block from malloc,
// owned by the receiver. Not NUL-terminated. {null, 0, 0} when even the message could not be
// allocated; receivers treat that as an empty text.
struct ExpectedMessage {
  uint8_t* data;
  uint64_t length;
  uint64_t capacity;
};
static_assert(sizeof(ExpectedMessage) == 24);

inline constexpr uint64_t kExpectedOk = 0;
inline constexpr uint64_t kExpectedError = 1;

// Value is a plain record (most producers use three 64-bit words).
template <typename Value>
struct Expected {
  static_assert(std::is_trivially_copyable_v<Value>, "payload words must be plain data");
  uint64_t tag;
  union {
    Value value;
    ExpectedMessage error;
  };

  bool ok() const { return tag == kExpectedOk; }
};

template <typename Value>
Expected<Value> expected_ok(const Value& value) {
  Expected<Value> r;
  std::memset(&r, 0, sizeof r);
  r.tag = kExpectedOk;
  r.value = value;
  return r;
}

// Copies text into a fresh message block.
template <typename Value>
Expected<Value> expected_error(std::string_view text) {
  Expected<Value> r;
  std::memset(&r, 0, sizeof r);
  r.tag = kExpectedError;
  if (!text.empty()) {
    auto* block = static_cast<uint8_t*>(std::malloc(text.size()));
    if (block != nullptr) {
      std::memcpy(block, text.data(), text.size());
      r.error = ExpectedMessage{block, text.size(), text.size()};
    }
  }
  return r;
}

inline std::string_view expected_message_view(const ExpectedMessage& m) {
  if (m.data == nullptr) return {};
  return {reinterpret_cast<const char*>(m.data), static_cast<size_t>(m.length)};
}

// Frees the block; the fields are left as they are, so the record must not be used again.
inline void expected_message_free(ExpectedMessage* m) {
  if (m != nullptr && m->data != nullptr) std::free(m->data);
}

}  // namespace vexa
