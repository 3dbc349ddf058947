// touch_all: thread t folds (XOR) the u32 words t, t + 32768, t + 2 x 32768, ... below the count
// into out[t], so the XOR of all out words is the XOR of the first `count` words. Indices are
// 64-bit: a buffer of more than 2^32 words (16 GiB) must not wrap around.
#include <cstring>

#include "gpu/gpu_context.h"
#include "gpu/kernels/kernel_library.h"

namespace vexa {

namespace {

// Threads per task: each task folds whole rows of the grid in runs of this many words.
constexpr uint64_t kTouchAllThreadsPerTask = 2048;

}  // namespace

void touch_all_kernel(KernelDispatch& d) {
  const KernelBinding words = d.binding(0);
  const KernelBinding out = d.binding(1);
  const KernelBinding count_bytes = d.binding(2);
  if (count_bytes.data == nullptr || count_bytes.length < 8) return d.fail("count missing");
  uint64_t count;
  std::memcpy(&count, count_bytes.data, 8);
  const uint64_t threads = d.grid_threads.x * d.grid_threads.y * d.grid_threads.z;
  if (count > words.length / 4) return d.fail("word count beyond buffer 0");
  if (threads > out.length / 4) return d.fail("out buffer shorter than the grid");
  const auto* w = reinterpret_cast<const uint32_t*>(words.data);
  auto* o = reinterpret_cast<uint32_t*>(out.data);
  const uint64_t stride = kChecksumThreads;
  kernel_parallel_for(threads, kTouchAllThreadsPerTask, [&](uint64_t begin, uint64_t end) {
    for (uint64_t t = begin; t < end; ++t) o[t] = 0;
    // Row by row, so each task streams contiguous runs instead of one word per row per thread.
    for (uint64_t row = 0; row * stride + begin < count; ++row) {
      const uint64_t base = row * stride;
      const uint64_t stop = count - base < end ? count - base : end;
      for (uint64_t t = begin; t < stop; ++t) o[t] ^= w[base + t];
    }
  });
}

}  // namespace vexa
