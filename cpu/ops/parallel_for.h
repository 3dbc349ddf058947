// Fan-out helper shared by the dense kernel families: a fixed split by index, run on the
// process pool when the caller's size threshold holds and inline otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/thread_pool.h"

namespace vexa::cpu {

template <class Fn>
void cpu_parallel_for(int64_t count, bool parallel, Fn&& fn) {
  if (count <= 0) return;
  if (parallel && count > 1) {
    vexa::parallel_for(static_cast<size_t>(count),
                       [&](size_t i) { fn(static_cast<int64_t>(i)); });
    return;
  }
  for (int64_t i = 0; i < count; ++i) fn(i);
}

}  // namespace vexa::cpu
