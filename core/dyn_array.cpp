#include "core/dyn_array.h"

#include <cstdlib>
#include <cstring>

#include "core/bytes.h"
#include "core/checked_math.h"

namespace vexa {

namespace {

// Resizes storage to cap elements (bytes is their checked size); the array is untouched on
// failure.
template <typename Array>
uint32_t resize_storage(Array* a, uint64_t cap, CheckedSize bytes) {
  if (bytes.overflow != 0) return kArrayNoMemory;
  void* block = std::realloc(a->items, bytes.value);
  if (block == nullptr) return kArrayNoMemory;
  a->items = static_cast<decltype(a->items)>(block);
  a->capacity = cap;
  return kArrayOk;
}

template <typename Array, typename ToBytes>
uint32_t reserve_total(Array* a, uint64_t need, ToBytes to_bytes) {
  if (need <= a->capacity) return kArrayOk;
  const uint64_t cap = grow_capacity(a->capacity, need);
  return resize_storage(a, cap, to_bytes(cap));
}

uint32_t u32_reserve_total(U32Array* a, uint64_t need) {
  return reserve_total(a, need, checked_mul_u32);
}

uint32_t record_reserve_total(RecordArray* a, uint64_t need) {
  return reserve_total(a, need, checked_mul_record);
}

}  // namespace

uint64_t size_max() { return UINT64_MAX; }

CheckedSize checked_add(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  if (!checked_add_u64(a, b, &sum)) return {1, 0};
  return {0, sum};
}

CheckedSize checked_mul_u32(uint64_t n) {
  if (n > kMaxU32Elements) return {1, 0};
  return {0, n * sizeof(uint32_t)};
}

CheckedSize checked_mul_byte(uint64_t n) { return {0, n}; }

CheckedSize checked_mul_record(uint64_t n) {
  if (n > kMaxRecordElements) return {1, 0};
  return {0, n * kRecordElementBytes};
}

uint64_t grow_capacity(uint64_t cap, uint64_t need) { return growth_capacity(cap, need); }

uint64_t identity(uint64_t x) { return x; }

// ---------------------------------------------------------------------------------------------
// U32Array

U32Array u32_array_empty() { return {nullptr, 0, 0}; }

U32Array u32_array_with_capacity(uint64_t n) {
  if (n == 0 || n > kMaxU32Elements) return u32_array_empty();
  auto* block = static_cast<uint32_t*>(std::malloc(n * sizeof(uint32_t)));
  if (block == nullptr) return u32_array_empty();
  return {block, 0, n};
}

uint32_t u32_array_reserve_exact(U32Array* a, uint64_t cap) {
  if (cap <= a->capacity) return kArrayOk;
  return resize_storage(a, cap, checked_mul_u32(cap));
}

uint32_t u32_array_reserve(U32Array* a, uint64_t extra) {
  const CheckedSize need = checked_add(a->count, extra);
  if (need.overflow != 0) return kArrayNoMemory;
  return u32_reserve_total(a, need.value);
}

uint32_t u32_array_push(U32Array* a, uint32_t v) {
  if (u32_array_reserve(a, 1) != kArrayOk) return kArrayNoMemory;
  a->items[a->count++] = v;
  return kArrayOk;
}

uint32_t u32_array_extend(U32Array* a, const uint32_t* values, uint64_t n) {
  if (n == 0) return kArrayOk;
  if (u32_array_reserve(a, n) != kArrayOk) return kArrayNoMemory;
  std::memcpy(a->items + a->count, values, n * sizeof(uint32_t));
  a->count += n;
  return kArrayOk;
}

uint32_t u32_array_insert(U32Array* a, uint32_t v, uint64_t at) {
  if (at > a->count) return kArrayOutOfRange;
  if (u32_array_reserve(a, 1) != kArrayOk) return kArrayNoMemory;
  std::memmove(a->items + at + 1, a->items + at, (a->count - at) * sizeof(uint32_t));
  a->items[at] = v;
  ++a->count;
  return kArrayOk;
}

uint32_t u32_array_set(U32Array* a, uint32_t v, uint64_t i) {
  if (i >= a->count) return kArrayOutOfRange;
  a->items[i] = v;
  return kArrayOk;
}

OptionalValue<uint32_t> u32_array_get(const U32Array* a, uint64_t i) {
  if (i >= a->count) return {1, 0};
  return {0, a->items[i]};
}

ElementPointer<uint32_t> u32_array_get_ptr(U32Array* a, uint64_t i) {
  if (i >= a->count) return {1, nullptr};
  return {0, a->items + i};
}

OptionalValue<uint32_t> u32_array_pop(U32Array* a) {
  if (a->count == 0) return {1, 0};
  return {0, a->items[--a->count]};
}

uint32_t u32_array_remove(U32Array* a, uint64_t i) {
  if (i >= a->count) return kArrayNoMemory;
  std::memmove(a->items + i, a->items + i + 1, (a->count - i - 1) * sizeof(uint32_t));
  --a->count;
  return kArrayOk;
}

uint32_t u32_array_swap_remove(U32Array* a, uint64_t i) {
  if (i >= a->count) return kArrayNoMemory;
  a->items[i] = a->items[a->count - 1];
  --a->count;
  return kArrayOk;
}

void u32_array_clear(U32Array* a) { a->count = 0; }

void u32_array_truncate(U32Array* a, uint64_t n) {
  if (n < a->count) a->count = n;
}

uint32_t u32_array_shrink_to_fit(U32Array* a) {
  if (a->count == a->capacity) return kArrayOk;
  if (a->count == 0) {
    std::free(a->items);
    *a = u32_array_empty();
    return kArrayOk;
  }
  void* block = std::realloc(a->items, a->count * sizeof(uint32_t));
  if (block == nullptr) return kArrayNoMemory;
  a->items = static_cast<uint32_t*>(block);
  a->capacity = a->count;
  return kArrayOk;
}

bool u32_array_is_empty(const U32Array* a) { return a->count == 0; }
bool u32_array_is_empty_2(const U32Array* a) { return a->count == 0; }

U32View u32_array_view(const U32Array* a) { return {a->items, a->count}; }

void u32_array_free(U32Array* a) {
  if (a->items != nullptr) std::free(a->items);
}

namespace {

void u32_iter_next(U32ArrayIter* it) {
  const U32Array* src = it->source;
  if (it->started == 0) {
    if (src->count == 0) {
      it->next = nullptr;
      return;
    }
    it->position = 0;
  } else {
    // position + 1 cannot wrap: position < count <= UINT64_MAX.
    if (it->position + 1 >= src->count) {
      it->next = nullptr;
      return;
    }
    ++it->position;
  }
  it->current = src->items[it->position];
  it->started = 1;
}

void u32_iter_free(U32ArrayIter* it) { std::free(it); }

}  // namespace

U32ArrayIter* u32_array_iter(const U32Array* a) {
  auto* it = static_cast<U32ArrayIter*>(std::calloc(1, sizeof(U32ArrayIter)));
  if (it == nullptr) return nullptr;
  it->next = u32_iter_next;
  it->free = u32_iter_free;
  it->source = a;
  it->started = 0;
  return it;
}

// ---------------------------------------------------------------------------------------------
// ByteArray

ByteArray byte_array_empty() { return {nullptr, 0, 0}; }

uint32_t byte_array_reserve_exact(ByteArray* a, uint64_t cap) {
  if (cap <= a->capacity) return kArrayOk;
  return resize_storage(a, cap, checked_mul_byte(cap));
}

uint32_t byte_array_push(ByteArray* a, uint8_t v) {
  const CheckedSize need = checked_add(a->count, 1);
  if (need.overflow != 0) return kArrayNoMemory;
  if (reserve_total(a, need.value, checked_mul_byte) != kArrayOk) return kArrayNoMemory;
  a->items[a->count++] = v;
  return kArrayOk;
}

ByteArrayView byte_array_view(const ByteArray* a) {
  if (a->count == 0) return {reinterpret_cast<const uint8_t*>(empty_text_view().data()), 0};
  return {a->items, a->count};
}

void byte_array_free(ByteArray* a) {
  if (a->items != nullptr) std::free(a->items);
}

// ---------------------------------------------------------------------------------------------
// RecordArray

RecordArray record_array_empty() { return {nullptr, 0, 0}; }

uint32_t record_array_reserve_exact(RecordArray* a, uint64_t cap) {
  if (cap <= a->capacity) return kArrayOk;
  return resize_storage(a, cap, checked_mul_record(cap));
}

uint32_t record_array_push(RecordArray* a, void* pointer, uint64_t first, uint64_t second) {
  const CheckedSize need = checked_add(a->count, 1);
  if (need.overflow != 0 || record_reserve_total(a, need.value) != kArrayOk) {
    std::free(pointer);
    return kArrayNoMemory;
  }
  a->items[a->count++] = OwnedRecord{pointer, first, second};
  return kArrayOk;
}

OptionalValue<OwnedRecord> record_array_remove_at(RecordArray* a, uint64_t i) {
  if (i >= a->count) return {1, OwnedRecord{nullptr, 0, 0}};
  const OwnedRecord taken = a->items[i];
  std::memmove(a->items + i, a->items + i + 1, (a->count - i - 1) * sizeof(OwnedRecord));
  --a->count;
  return {0, taken};
}

ElementPointer<OwnedRecord> record_array_get_ptr(RecordArray* a, uint64_t i) {
  if (i >= a->count) return {1, nullptr};
  return {0, a->items + i};
}

void record_array_free(RecordArray* a) {
  for (uint64_t i = 0; i < a->count; ++i) {
    if (a->items[i].pointer != nullptr) std::free(a->items[i].pointer);
  }
  if (a->items != nullptr) std::free(a->items);
}

namespace {

void drain_next(RecordDrainIter* it) {
  RecordArray* src = it->source;
  if (src->count == 0) {
    it->next = nullptr;
    it->has_item = 0;
    return;
  }
  it->current = src->items[0];
  std::memmove(src->items, src->items + 1, (src->count - 1) * sizeof(OwnedRecord));
  --src->count;
  it->has_item = 1;
}

void drain_free(RecordDrainIter* it) { std::free(it); }

}  // namespace

RecordDrainIter* record_array_drain(RecordArray* a) {
  auto* it = static_cast<RecordDrainIter*>(std::calloc(1, sizeof(RecordDrainIter)));
  if (it == nullptr) return nullptr;
  it->next = drain_next;
  it->free = drain_free;
  it->source = a;
  it->has_item = 0;
  return it;
}

// ---------------------------------------------------------------------------------------------
// 16-byte element views

uint32_t slice_stack_pop(Slice16Array* stack) {
  if (stack->count == 0) return 1;
  --stack->count;
  return 0;
}

SliceElement slice_vector_get(const Slice16Array* v, uint64_t i) {
  if (i >= v->count) return {1, nullptr};
  return {0, v->data + kSliceElementBytes * i};
}

// ---------------------------------------------------------------------------------------------
// Expected records

Expected<ExpectedPair> expected_ok_pair(uint64_t first, uint64_t second) {
  return expected_ok(ExpectedPair{first, second});
}

Expected<ExpectedWide> expected_ok_wide(const ExpectedWide& value) { return expected_ok(value); }

}  // namespace vexa
