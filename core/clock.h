// Monotonic clock in seconds, and wipes of memory that the compiler may not elide.
#pragma once

#include <cstdint>

namespace vexa {

// CLOCK_MONOTONIC (CLOCK_REALTIME when that fails; 0.0 when both fail).
double monotonic_seconds();
double monotonic_seconds_2();

// Zeroes n bytes with a store the compiler may not remove; returns 0.
int secure_zero(void* p, uint64_t n);
// Zeroes n bytes when p and n are both non-zero.
void wipe_buffer(void* p, uint64_t n);

}  // namespace vexa
