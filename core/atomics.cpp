#include "core/atomics.h"

#include <type_traits>

namespace vexa {

namespace {

// The builtins need a constant order, so each run-time order selects its own call.

template <typename T, typename Fn>
T with_rmw_order(MemoryOrder order, Fn fn) {
  if (order == kOrderRelaxed) return fn(std::integral_constant<int, __ATOMIC_RELAXED>{});
  if (order < 0 || order == kOrderAcquire) return fn(std::integral_constant<int, __ATOMIC_ACQUIRE>{});
  if (order == kOrderRelease) return fn(std::integral_constant<int, __ATOMIC_RELEASE>{});
  return fn(std::integral_constant<int, __ATOMIC_SEQ_CST>{});
}

template <typename T>
T load(const T* p, MemoryOrder order) {
  if (order == kOrderRelaxed) return __atomic_load_n(p, __ATOMIC_RELAXED);
  if (order < 0 || order == kOrderAcquire) return __atomic_load_n(p, __ATOMIC_ACQUIRE);
  // A load cannot release: 2 is strengthened to sequentially consistent.
  return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

template <typename T>
void store(T* p, T value, MemoryOrder order) {
  if (order == kOrderRelaxed) {
    __atomic_store_n(p, value, __ATOMIC_RELAXED);
  } else {
    // Every ordered store is release and sequentially consistent at once.
    __atomic_store_n(p, value, __ATOMIC_SEQ_CST);
  }
}

template <typename T>
T cas(T* p, T expected, T desired, MemoryOrder order) {
  T found = expected;
  if (order == kOrderRelaxed) {
    __atomic_compare_exchange_n(p, &found, desired, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  } else if (order < 0 || order == kOrderAcquire) {
    __atomic_compare_exchange_n(p, &found, desired, false, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE);
  } else if (order == kOrderRelease) {
    __atomic_compare_exchange_n(p, &found, desired, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
  } else {
    __atomic_compare_exchange_n(p, &found, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  }
  return found;
}

#define VEXA_RMW(T, builtin)                                                           \
  with_rmw_order<T>(order, [&](auto o) { return builtin(p, value, decltype(o)::value); })

}  // namespace

uint32_t atomic_load_u32(const uint32_t* p, MemoryOrder order) { return load(p, order); }
uint64_t atomic_load_u64(const uint64_t* p, MemoryOrder order) { return load(p, order); }
void atomic_store_u32(uint32_t* p, uint32_t value, MemoryOrder order) { store(p, value, order); }
void atomic_store_u64(uint64_t* p, uint64_t value, MemoryOrder order) { store(p, value, order); }

uint32_t atomic_exchange_u32(uint32_t* p, uint32_t value, MemoryOrder order) {
  return VEXA_RMW(uint32_t, __atomic_exchange_n);
}
uint32_t atomic_fetch_add_u32(uint32_t* p, uint32_t value, MemoryOrder order) {
  return VEXA_RMW(uint32_t, __atomic_fetch_add);
}
uint32_t atomic_fetch_sub_u32(uint32_t* p, uint32_t value, MemoryOrder order) {
  value = ~value + 1u;  // adding the two's complement wraps exactly like a subtraction
  return VEXA_RMW(uint32_t, __atomic_fetch_add);
}
uint32_t atomic_fetch_and_u32(uint32_t* p, uint32_t value, MemoryOrder order) {
  return VEXA_RMW(uint32_t, __atomic_fetch_and);
}
uint32_t atomic_fetch_or_u32(uint32_t* p, uint32_t value, MemoryOrder order) {
  return VEXA_RMW(uint32_t, __atomic_fetch_or);
}
uint32_t atomic_fetch_xor_u32(uint32_t* p, uint32_t value, MemoryOrder order) {
  return VEXA_RMW(uint32_t, __atomic_fetch_xor);
}
uint32_t atomic_cas_u32(uint32_t* p, uint32_t expected, uint32_t desired, MemoryOrder order) {
  return cas(p, expected, desired, order);
}

uint64_t atomic_exchange_u64(uint64_t* p, uint64_t value, MemoryOrder order) {
  return VEXA_RMW(uint64_t, __atomic_exchange_n);
}
uint64_t atomic_fetch_add_u64(uint64_t* p, uint64_t value, MemoryOrder order) {
  return VEXA_RMW(uint64_t, __atomic_fetch_add);
}
uint64_t atomic_fetch_sub_u64(uint64_t* p, uint64_t value, MemoryOrder order) {
  value = ~value + 1u;
  return VEXA_RMW(uint64_t, __atomic_fetch_add);
}
uint64_t atomic_fetch_and_u64(uint64_t* p, uint64_t value, MemoryOrder order) {
  return VEXA_RMW(uint64_t, __atomic_fetch_and);
}
uint64_t atomic_fetch_or_u64(uint64_t* p, uint64_t value, MemoryOrder order) {
  return VEXA_RMW(uint64_t, __atomic_fetch_or);
}
uint64_t atomic_fetch_xor_u64(uint64_t* p, uint64_t value, MemoryOrder order) {
  return VEXA_RMW(uint64_t, __atomic_fetch_xor);
}
uint64_t atomic_cas_u64(uint64_t* p, uint64_t expected, uint64_t desired, MemoryOrder order) {
  return cas(p, expected, desired, order);
}

void atomic_fence(MemoryOrder order) {
  if (order == kOrderRelaxed) return;
  if (order < 0 || order == kOrderAcquire) {
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
  } else {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
  }
}

}  // namespace vexa
