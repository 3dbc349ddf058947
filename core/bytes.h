// Growable byte buffer shared by every layer: paths, messages and whole file images.
// Storage comes from malloc/realloc/free only.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexa {

// {data, length, capacity}, passed by value. data is null exactly when capacity is 0.
// Not NUL-terminated. The owner frees it once with bytes_free and then stops using it.
struct Bytes {
  uint8_t* data;
  uint64_t length;
  uint64_t capacity;
};
static_assert(sizeof(Bytes) == 24);

// Status of every fallible buffer and array operation. A failed operation leaves its buffer
// exactly as it was.
inline constexpr uint32_t kBytesOk = 0;
inline constexpr uint32_t kBytesNoMemory = 1;  // out of memory, or a size that overflows 64 bits
inline constexpr uint32_t kBytesOutOfRange = 2;

// Result of bytes_to_cstring. On status 0 data is a malloc'd NUL-terminated copy owned by the
// caller (free it with bytes_release on a Bytes-shaped {data, length}); otherwise data is
// meaningless and must not be freed.
struct CStringResult {
  uint32_t status;
  char* data;
  uint64_t length;  // source length, terminator excluded
};

// Capacity the growth rule gives for `need` elements starting from `capacity`: doubling from
// max(capacity, 1), jumping straight to `need` once doubling would overflow.
uint64_t growth_capacity(uint64_t capacity, uint64_t need);

Bytes bytes_empty();
// n = 0 gives {null, 0, 0} without reading p; allocation failure also gives {null, 0, 0}.
Bytes bytes_copy(const void* p, uint64_t n);
// A view that never carries a null pointer: empty buffers view one shared static empty string.
std::string_view bytes_view(const Bytes* b);
// That shared empty string, for every empty view the library hands out.
std::string_view empty_text_view();
uint32_t bytes_reserve(Bytes* b, uint64_t extra);
uint32_t bytes_append(Bytes* b, const void* p, uint64_t n);
CStringResult bytes_to_cstring(const Bytes* b);
// A caller's (pointer, length) path or name as an owned NUL-terminated copy (bytes_copy, then
// bytes_to_cstring): status 1 for an embedded NUL, exhausted memory, or a null pointer with a
// non-zero length. Free the copy with free().
CStringResult bytes_cstring_copy(const void* p, uint64_t n);
uint8_t* bytes_data(const Bytes* b);
void bytes_free(Bytes* b);
void bytes_release(Bytes* b);

Bytes bytes_with_capacity(uint64_t n);
uint32_t bytes_reserve_exact(Bytes* b, uint64_t capacity);
uint64_t bytes_capacity(const Bytes* b);
uint64_t bytes_length(const Bytes* b);
void bytes_clear(Bytes* b);
void bytes_truncate(Bytes* b, uint64_t n);
uint32_t bytes_insert(Bytes* b, const void* p, uint64_t n, uint64_t at);
uint32_t bytes_remove_range(Bytes* b, uint64_t start, uint64_t end);
Bytes bytes_clone(const Bytes* b);
bool bytes_equal(const Bytes* a, const Bytes* b);
bool bytes_equal_view(const Bytes* a, const void* p, uint64_t n);
// 64-bit FNV-1a over the used bytes.
uint64_t bytes_hash(const Bytes* b);
// 64-bit FNV-1a of n bytes: XOR each byte in, then multiply by the prime.
uint64_t fnv1a64(const void* p, uint64_t n);

inline constexpr uint64_t kFnv1aOffsetBasis = 0xcbf29ce484222325ull;
inline constexpr uint64_t kFnv1aPrime = 0x100000001b3ull;

// Record release helpers: free the pointer held in a record's first or second word.
void free_first_word(void* record);
void free_second_word(void* record);

}  // namespace vexa
