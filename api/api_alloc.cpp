#include "api/api_alloc.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/alloc_fault.h"

namespace vexa {

namespace {

std::atomic<int64_t> g_pinned_live{0};

// One countdown for the api and the layers below it, so a failing n walks a whole call.
bool hook_says_fail() { return alloc_fault_take(); }

size_t page_rounded(size_t bytes, size_t page) { return (bytes + page - 1) / page * page; }

size_t page_size() {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

}  // namespace

void* api_malloc(size_t bytes) {
  if (hook_says_fail()) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* api_calloc(size_t count, size_t size) {
  if (hook_says_fail()) return nullptr;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void api_test_fail_allocation(int64_t nth) { alloc_fault_arm(nth); }

void* pinned_record_new(size_t bytes) {
  if (hook_says_fail()) return nullptr;
  const size_t page = page_size();
  const size_t total = page_rounded(bytes, page);
  void* record = nullptr;
  if (posix_memalign(&record, page, total) != 0) return nullptr;
  std::memset(record, 0, total);
  (void)mlock(record, total);
  g_pinned_live.fetch_add(1, std::memory_order_relaxed);
  return record;
}

void pinned_record_free(void* record, size_t bytes) {
  if (record == nullptr) return;
  const size_t total = page_rounded(bytes, page_size());
  (void)munlock(record, total);
  std::free(record);
  g_pinned_live.fetch_sub(1, std::memory_order_relaxed);
}

int64_t pinned_record_live_count() { return g_pinned_live.load(std::memory_order_relaxed); }

}  // namespace vexa
