// Allocation for handle records and their owned buffers, with a test hook that makes the n-th
// allocation from now fail, so every out-of-memory path can be driven on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vexa {

// malloc / calloc with the hook applied; released with std::free.
void* api_malloc(size_t bytes);
void* api_calloc(size_t count, size_t size);

// Test hook: the n-th checked allocation from now (1 = the next one) fails, in the api or in a
// layer below it (core/alloc_fault.h); 0 disables the hook.
void api_test_fail_allocation(int64_t nth);

// Records pinned in memory for their lifetime (mlock/munlock; failures are ignored). They
// occupy whole pages, so unpinning one record never unpins a neighbour.
void* pinned_record_new(size_t bytes);
void pinned_record_free(void* record, size_t bytes);

// Pinned records allocated and not yet freed, so tests can see a leaked one.
int64_t pinned_record_live_count();

// Standard allocator over api_malloc, for containers the api keeps: an injected failure reaches
// them as std::bad_alloc like a real one.
template <typename T>
struct ApiAllocator {
  using value_type = T;
  ApiAllocator() = default;
  template <typename U>
  ApiAllocator(const ApiAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* p = api_malloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { std::free(p); }
  template <typename U>
  bool operator==(const ApiAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vexa
