// A test hook for exhausted memory shared by every layer that checks its own allocations: the
// n-th checked allocation from the moment the hook is armed fails, whichever layer makes it, so
// a test can loop n over one whole operation (a C API call down to the generation loop) and
// see each failure path give its error code and leave nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {

// The n-th checked allocation from now (1 = the next one) fails; 0 disarms the hook.
void alloc_fault_arm(int64_t nth);
// Counts one checked allocation; true when this one must fail.
bool alloc_fault_take();
// Counts one checked allocation and throws std::bad_alloc when it must fail: for allocations
// made through the standard library, which report exhausted memory by throwing.
void alloc_fault_check();
// malloc and calloc behind the hook; released with std::free.
void* fault_malloc(size_t bytes);
void* fault_calloc(size_t count, size_t size);

}  // namespace vexa
