// Allocation for handle records and their owned buffers, with a test hook that makes the n-th
// allocation from now fail, so every out-of-memory path can be driven on purpose.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {

// malloc / calloc with the hook applied; released with std::free.
void* api_malloc(size_t bytes);
void* api_calloc(size_t count, size_t size);

// Test hook: the n-th api allocation from now (1 = the next one) fails; 0 disables the hook.
void api_test_fail_allocation(int64_t nth);

// Records pinned in memory for their lifetime (mlock/munlock; failures are ignored). They
// occupy whole pages, so unpinning one record never unpins a neighbour.
void* pinned_record_new(size_t bytes);
void pinned_record_free(void* record, size_t bytes);

}  // namespace vexa
