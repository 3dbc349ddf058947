#include "core/clock.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include <strings.h>

namespace vexa {

namespace {

constexpr double kSecondsPerNanosecond = 1e-9;

}  // namespace

double monotonic_seconds() {
  timespec t;
  std::memset(&t, 0, sizeof t);
  if (clock_gettime(CLOCK_MONOTONIC, &t) != 0 && clock_gettime(CLOCK_REALTIME, &t) != 0) {
    return 0.0;
  }
  return std::fma(static_cast<double>(t.tv_nsec), kSecondsPerNanosecond,
                  static_cast<double>(t.tv_sec));
}

double monotonic_seconds_2() { return monotonic_seconds(); }

int secure_zero(void* p, uint64_t n) {
  // explicit_bzero stands in for memset_s: a store the optimiser may not drop.
  if (p != nullptr && n > 0) explicit_bzero(p, static_cast<size_t>(n));
  return 0;
}

void wipe_buffer(void* p, uint64_t n) {
  if (p != nullptr && n != 0) std::memset(p, 0, static_cast<size_t>(n));
}

}  // namespace vexa
