// Typed growable arrays with checked size arithmetic (u32 values, bytes and 24-byte owning
// records), iterator objects over them, and constructors of Expected records.
//
// Arrays are plain {items, count, capacity} records passed by pointer; every growing operation
// either succeeds or leaves the array exactly as it was. Status words: 0 success, 1 out of memory
// or size overflow, 2 index out of range (insert and set only; removals report 1).
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/expected.h"

namespace vexa {

inline constexpr uint32_t kArrayOk = 0;
inline constexpr uint32_t kArrayNoMemory = 1;
inline constexpr uint32_t kArrayOutOfRange = 2;

// Largest element counts whose byte size still fits in 64 bits.
inline constexpr uint64_t kMaxU32Elements = (uint64_t{1} << 62) - 1;
inline constexpr uint64_t kRecordElementBytes = 24;
inline constexpr uint64_t kMaxRecordElements = UINT64_MAX / kRecordElementBytes;

// A size computation that may have wrapped: overflow 1 means value is meaningless.
struct CheckedSize {
  uint32_t overflow;
  uint64_t value;
};

// Tag 0: value present; tag 1: absent or invalid (value is then meaningless).
template <typename T>
struct OptionalValue {
  uint32_t tag;
  T value;
  bool present() const { return tag == 0; }
};

// Flag 0 with a pointer to the element, or flag 1 and null.
template <typename T>
struct ElementPointer {
  uint32_t flag;
  T* pointer;
};

uint64_t size_max();
CheckedSize checked_add(uint64_t a, uint64_t b);
CheckedSize checked_mul_u32(uint64_t n);
CheckedSize checked_mul_byte(uint64_t n);
CheckedSize checked_mul_record(uint64_t n);
// The shared growth rule: cap when need fits, else double from max(cap, 1), jumping straight to
// need once doubling would wrap.
uint64_t grow_capacity(uint64_t cap, uint64_t need);
uint64_t identity(uint64_t x);

// ---------------------------------------------------------------------------------------------
// U32Array

struct U32Array {
  uint32_t* items;  // null when capacity is 0
  uint64_t count;
  uint64_t capacity;
};
static_assert(sizeof(U32Array) == 24);

struct U32View {
  const uint32_t* items;
  uint64_t count;
};

U32Array u32_array_empty();
U32Array u32_array_with_capacity(uint64_t n);
uint32_t u32_array_reserve_exact(U32Array* a, uint64_t cap);
uint32_t u32_array_reserve(U32Array* a, uint64_t extra);
uint32_t u32_array_push(U32Array* a, uint32_t v);
uint32_t u32_array_extend(U32Array* a, const uint32_t* values, uint64_t n);
uint32_t u32_array_insert(U32Array* a, uint32_t v, uint64_t at);
uint32_t u32_array_set(U32Array* a, uint32_t v, uint64_t i);
OptionalValue<uint32_t> u32_array_get(const U32Array* a, uint64_t i);
ElementPointer<uint32_t> u32_array_get_ptr(U32Array* a, uint64_t i);
OptionalValue<uint32_t> u32_array_pop(U32Array* a);
uint32_t u32_array_remove(U32Array* a, uint64_t i);
uint32_t u32_array_swap_remove(U32Array* a, uint64_t i);
void u32_array_clear(U32Array* a);
void u32_array_truncate(U32Array* a, uint64_t n);
uint32_t u32_array_shrink_to_fit(U32Array* a);
bool u32_array_is_empty(const U32Array* a);
bool u32_array_is_empty_2(const U32Array* a);
U32View u32_array_view(const U32Array* a);
// Releases the storage; the record must not be used again without re-initialising it.
void u32_array_free(U32Array* a);

template <typename Fn>
void u32_array_for_each(const U32Array* a, Fn&& fn) {
  for (uint64_t i = 0; i < a->count; ++i) fn(a->items[i]);
}

// Left fold in index order.
template <typename Acc, typename Fn>
Acc u32_array_fold(const U32Array* a, Acc initial, Fn&& fn) {
  Acc acc = initial;
  for (uint64_t i = 0; i < a->count; ++i) acc = fn(acc, a->items[i]);
  return acc;
}

// Index iterator: call next, then read current only while next is still set; a null next slot
// marks the end. It reads the source live, so values pushed meanwhile are visited. free releases
// the iterator object only.
struct U32ArrayIter {
  void (*next)(U32ArrayIter* it);
  void (*free)(U32ArrayIter* it);
  uint32_t current;
  uint8_t started;
  const U32Array* source;
  uint64_t position;
};

// Null when the iterator object cannot be allocated.
U32ArrayIter* u32_array_iter(const U32Array* a);

// ---------------------------------------------------------------------------------------------
// ByteArray

struct ByteArray {
  uint8_t* items;
  uint64_t count;
  uint64_t capacity;
};
static_assert(sizeof(ByteArray) == 24);

struct ByteArrayView {
  const uint8_t* items;  // never null
  uint64_t count;
};

ByteArray byte_array_empty();
uint32_t byte_array_reserve_exact(ByteArray* a, uint64_t cap);
uint32_t byte_array_push(ByteArray* a, uint8_t v);
ByteArrayView byte_array_view(const ByteArray* a);
void byte_array_free(ByteArray* a);

// ---------------------------------------------------------------------------------------------
// RecordArray: 24-byte records whose pointer the array owns (malloc'd blocks).

struct OwnedRecord {
  void* pointer;
  uint64_t first;
  uint64_t second;
};
static_assert(sizeof(OwnedRecord) == kRecordElementBytes);

struct RecordArray {
  OwnedRecord* items;
  uint64_t count;
  uint64_t capacity;
};
static_assert(sizeof(RecordArray) == 24);

RecordArray record_array_empty();
uint32_t record_array_reserve_exact(RecordArray* a, uint64_t cap);
// The array always takes ownership of pointer: on failure it is freed.
uint32_t record_array_push(RecordArray* a, void* pointer, uint64_t first, uint64_t second);
// Hands the record and its pointer back to the caller; later records move down one.
OptionalValue<OwnedRecord> record_array_remove_at(RecordArray* a, uint64_t i);
ElementPointer<OwnedRecord> record_array_get_ptr(RecordArray* a, uint64_t i);
// Frees every record's pointer, then the storage.
void record_array_free(RecordArray* a);

// fn receives a pointer to a copy of each record, so it cannot disturb the array.
template <typename Acc, typename Fn>
Acc record_array_fold(const RecordArray* a, Acc initial, Fn&& fn) {
  Acc acc = initial;
  for (uint64_t i = 0; i < a->count; ++i) {
    const OwnedRecord copy = a->items[i];
    acc = fn(acc, &copy);
  }
  return acc;
}

// Draining iterator: each next moves the first record (with its pointer) out of the source into
// current; the caller owns it from then on. A null next slot marks the end.
struct RecordDrainIter {
  void (*next)(RecordDrainIter* it);
  void (*free)(RecordDrainIter* it);
  OwnedRecord current;
  RecordArray* source;
  uint8_t has_item;
};

RecordDrainIter* record_array_drain(RecordArray* a);

// ---------------------------------------------------------------------------------------------
// Views over arrays of 16-byte elements.

inline constexpr uint64_t kSliceElementBytes = 16;

struct Slice16Array {
  uint8_t* data;
  uint64_t count;
};

// 1 when empty; else drops the last element and returns 0.
uint32_t slice_stack_pop(Slice16Array* stack);

struct SliceElement {
  uint32_t status;
  uint8_t* pointer;
};
SliceElement slice_vector_get(const Slice16Array* v, uint64_t i);

// ---------------------------------------------------------------------------------------------
// Expected record constructors

struct ExpectedPair {
  uint64_t first;
  uint64_t second;
};

struct ExpectedWide {
  uint64_t words[3];
  uint32_t small[3];
  double real;
};
static_assert(sizeof(ExpectedWide) == 48);

// Failure payload that carries an error code in the word between the tag and the message.
struct CodedFailure {
  uint32_t code;
  ExpectedMessage message;
};
static_assert(sizeof(CodedFailure) == 32);

template <typename Value>
struct ExpectedWithCode {
  static_assert(std::is_trivially_copyable_v<Value>, "payload words must be plain data");
  uint64_t tag;
  union {
    Value value;
    CodedFailure error;
  };
  bool ok() const { return tag == kExpectedOk; }
};

Expected<ExpectedPair> expected_ok_pair(uint64_t first, uint64_t second);
Expected<ExpectedWide> expected_ok_wide(const ExpectedWide& value);

// Takes ownership of message.
template <typename Value>
ExpectedWithCode<Value> expected_error_with_code(uint32_t code, ExpectedMessage message) {
  ExpectedWithCode<Value> r;
  std::memset(&r, 0, sizeof r);
  r.tag = kExpectedError;
  r.error = CodedFailure{code, message};
  return r;
}

template <typename Value>
ExpectedWithCode<Value> expected_ok_with_code(const Value& value) {
  ExpectedWithCode<Value> r;
  std::memset(&r, 0, sizeof r);
  r.tag = kExpectedOk;
  r.value = value;
  return r;
}

}  // namespace vexa
