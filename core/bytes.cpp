#include "core/bytes.h"

#include <cstdlib>
#include <cstring>

#include "core/checked_math.h"

namespace vexa {

namespace {

constexpr uint64_t kTopBit = uint64_t{1} << 63;
constexpr char kEmptyText[1] = {0};

// realloc to exactly `capacity` bytes; the buffer is untouched on failure.
uint32_t grow_to(Bytes* b, uint64_t capacity) {
  if (capacity > SIZE_MAX) return kBytesNoMemory;
  void* block = std::realloc(b->data, static_cast<size_t>(capacity));
  if (block == nullptr) return kBytesNoMemory;
  b->data = static_cast<uint8_t*>(block);
  b->capacity = capacity;
  return kBytesOk;
}

}  // namespace

uint64_t growth_capacity(uint64_t capacity, uint64_t need) {
  if (need <= capacity) return capacity;
  uint64_t c = capacity > 0 ? capacity : 1;
  while (c < need) c = (c & kTopBit) != 0 ? need : c * 2;
  return c;
}

Bytes bytes_empty() { return Bytes{nullptr, 0, 0}; }

std::string_view empty_text_view() { return std::string_view(kEmptyText, 0); }

Bytes bytes_copy(const void* p, uint64_t n) {
  if (n == 0 || n > SIZE_MAX) return bytes_empty();
  void* block = std::malloc(static_cast<size_t>(n));
  uint64_t capacity = n;
  if (block == nullptr) {
    capacity = growth_capacity(0, n);
    if (capacity > SIZE_MAX) return bytes_empty();
    block = std::malloc(static_cast<size_t>(capacity));
    if (block == nullptr) return bytes_empty();
  }
  std::memcpy(block, p, static_cast<size_t>(n));
  return Bytes{static_cast<uint8_t*>(block), n, capacity};
}

std::string_view bytes_view(const Bytes* b) {
  if (b == nullptr || b->length == 0 || b->data == nullptr) return empty_text_view();
  return std::string_view(reinterpret_cast<const char*>(b->data), static_cast<size_t>(b->length));
}

uint32_t bytes_reserve(Bytes* b, uint64_t extra) {
  uint64_t need = 0;
  if (!checked_add_u64(b->length, extra, &need)) return kBytesNoMemory;
  if (need <= b->capacity) return kBytesOk;
  return grow_to(b, growth_capacity(b->capacity, need));
}

uint32_t bytes_append(Bytes* b, const void* p, uint64_t n) {
  if (n == 0) return kBytesOk;
  const uint32_t status = bytes_reserve(b, n);
  if (status != kBytesOk) return status;
  std::memcpy(b->data + b->length, p, static_cast<size_t>(n));
  b->length += n;
  return kBytesOk;
}

CStringResult bytes_to_cstring(const Bytes* b) {
  const uint64_t n = b->length;
  if (n > 0 && std::memchr(b->data, 0, static_cast<size_t>(n)) != nullptr) {
    return CStringResult{kBytesNoMemory, nullptr, n};
  }
  if (n >= SIZE_MAX) return CStringResult{kBytesNoMemory, nullptr, n};
  char* block = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (block == nullptr) return CStringResult{kBytesNoMemory, nullptr, n};
  if (n > 0) std::memcpy(block, b->data, static_cast<size_t>(n));
  block[n] = '\0';
  return CStringResult{kBytesOk, block, n};
}

CStringResult bytes_cstring_copy(const void* p, uint64_t n) {
  if (p == nullptr && n > 0) return CStringResult{kBytesNoMemory, nullptr, n};
  Bytes copy = bytes_copy(p, n);
  if (copy.length != n) return CStringResult{kBytesNoMemory, nullptr, n};
  const CStringResult r = bytes_to_cstring(&copy);
  bytes_free(&copy);
  return r;
}

uint8_t* bytes_data(const Bytes* b) { return b->data; }

void bytes_free(Bytes* b) {
  if (b != nullptr && b->data != nullptr) std::free(b->data);
}

void bytes_release(Bytes* b) { bytes_free(b); }

Bytes bytes_with_capacity(uint64_t n) {
  if (n == 0 || n > SIZE_MAX) return bytes_empty();
  void* block = std::malloc(static_cast<size_t>(n));
  if (block == nullptr) return bytes_empty();
  return Bytes{static_cast<uint8_t*>(block), 0, n};
}

uint32_t bytes_reserve_exact(Bytes* b, uint64_t capacity) {
  if (capacity <= b->capacity) return kBytesOk;
  return grow_to(b, capacity);
}

uint64_t bytes_capacity(const Bytes* b) { return b->capacity; }
uint64_t bytes_length(const Bytes* b) { return b->length; }
void bytes_clear(Bytes* b) { b->length = 0; }

void bytes_truncate(Bytes* b, uint64_t n) {
  if (n < b->length) b->length = n;
}

uint32_t bytes_insert(Bytes* b, const void* p, uint64_t n, uint64_t at) {
  if (at > b->length) return kBytesOutOfRange;
  if (n == 0) return kBytesOk;
  const uint32_t status = bytes_reserve(b, n);
  if (status != kBytesOk) return status;
  std::memmove(b->data + at + n, b->data + at, static_cast<size_t>(b->length - at));
  std::memcpy(b->data + at, p, static_cast<size_t>(n));
  b->length += n;
  return kBytesOk;
}

uint32_t bytes_remove_range(Bytes* b, uint64_t start, uint64_t end) {
  if (start > end || end > b->length) return kBytesOutOfRange;
  if (start == end) return kBytesOk;
  std::memmove(b->data + start, b->data + end, static_cast<size_t>(b->length - end));
  b->length -= end - start;
  return kBytesOk;
}

Bytes bytes_clone(const Bytes* b) {
  if (b->length == 0 || b->length > SIZE_MAX) return bytes_empty();
  void* block = std::malloc(static_cast<size_t>(b->length));
  if (block == nullptr) return bytes_empty();
  std::memcpy(block, b->data, static_cast<size_t>(b->length));
  return Bytes{static_cast<uint8_t*>(block), b->length, b->length};
}

bool bytes_equal_view(const Bytes* a, const void* p, uint64_t n) {
  if (a->length != n) return false;
  if (n == 0) return true;
  return std::memcmp(a->data, p, static_cast<size_t>(n)) == 0;
}

bool bytes_equal(const Bytes* a, const Bytes* b) { return bytes_equal_view(a, b->data, b->length); }

uint64_t fnv1a64(const void* p, uint64_t n) {
  const auto* s = static_cast<const uint8_t*>(p);
  uint64_t h = kFnv1aOffsetBasis;
  for (uint64_t i = 0; i < n; ++i) {
    h ^= s[i];
    h *= kFnv1aPrime;
  }
  return h;
}

uint64_t bytes_hash(const Bytes* b) { return fnv1a64(b->data, b->length); }

void free_first_word(void* record) {
  void* p = nullptr;
  std::memcpy(&p, record, sizeof p);
  if (p != nullptr) std::free(p);
}

void free_second_word(void* record) {
  void* p = nullptr;
  std::memcpy(&p, static_cast<uint8_t*>(record) + sizeof(void*), sizeof p);
  if (p != nullptr) std::free(p);
}

}  // namespace vexa
