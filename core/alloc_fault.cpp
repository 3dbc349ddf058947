#include "core/alloc_fault.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace vexa {

namespace {

std::atomic<int64_t> g_countdown{0};

}  // namespace

void alloc_fault_arm(int64_t nth) { g_countdown.store(nth < 0 ? 0 : nth, std::memory_order_relaxed); }

bool alloc_fault_take() {
  int64_t current = g_countdown.load(std::memory_order_relaxed);
  while (current > 0) {
    if (g_countdown.compare_exchange_weak(current, current - 1, std::memory_order_relaxed)) {
      return current == 1;
    }
  }
  return false;
}

void alloc_fault_check() {
  if (alloc_fault_take()) throw std::bad_alloc();
}

void* fault_malloc(size_t bytes) {
  if (alloc_fault_take()) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* fault_calloc(size_t count, size_t size) {
  if (alloc_fault_take()) return nullptr;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

}  // namespace vexa
