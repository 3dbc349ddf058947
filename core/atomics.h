// Atomic operations on plain 32- and 64-bit words whose memory order is a run-time argument.
#pragma once

#include <cstdint>

namespace vexa {

// 0 relaxed, 1 acquire, 2 release, 3 or more sequentially consistent; negative acts as 1.
using MemoryOrder = int32_t;
inline constexpr MemoryOrder kOrderRelaxed = 0;
inline constexpr MemoryOrder kOrderAcquire = 1;
inline constexpr MemoryOrder kOrderRelease = 2;
inline constexpr MemoryOrder kOrderSeqCst = 3;

// Every operation except store and fence returns the value held before it. Compare-and-swap is
// strong and returns the value found: the swap happened when that equals `expected`.
uint32_t atomic_load_u32(const uint32_t* p, MemoryOrder order);
void atomic_store_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_exchange_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_fetch_add_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_fetch_sub_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_fetch_and_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_fetch_or_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_fetch_xor_u32(uint32_t* p, uint32_t value, MemoryOrder order);
uint32_t atomic_cas_u32(uint32_t* p, uint32_t expected, uint32_t desired, MemoryOrder order);

uint64_t atomic_load_u64(const uint64_t* p, MemoryOrder order);
void atomic_store_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_exchange_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_fetch_add_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_fetch_sub_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_fetch_and_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_fetch_or_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_fetch_xor_u64(uint64_t* p, uint64_t value, MemoryOrder order);
uint64_t atomic_cas_u64(uint64_t* p, uint64_t expected, uint64_t desired, MemoryOrder order);

void atomic_fence(MemoryOrder order);

}  // namespace vexa
