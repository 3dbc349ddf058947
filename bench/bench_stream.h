// What the bandwidth benchmarks share: medians after a warm-up, the CPU's model name, and a
// STREAM-like triad and memcpy measured in the same run as the kernels they are set beside.
// Triad: a[i] = b[i] + s c[i] over three 256 MiB float arrays, counted as 3 x 256 MiB per pass
// as STREAM counts it; memcpy: 256 MiB copied, counted as read plus write. Both run on the
// process thread pool under the caller's thread cap.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/thread_pool.h"

namespace bench {

inline constexpr uint64_t kMiB = uint64_t{1} << 20;
inline constexpr uint64_t kStreamBytes = 256 * kMiB;
inline constexpr uint64_t kStreamChunk = 1 << 20;  // floats per task of the stream loops

template <typename Fn>
double median_seconds(int repeats, Fn&& fn) {
  fn();
  std::vector<double> t;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

inline std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

struct Stream {
  std::vector<float> a, b, c;
  Stream() : a(kStreamBytes / 4, 1.0f), b(kStreamBytes / 4, 2.0f), c(kStreamBytes / 4, 3.0f) {}

  double triad_gbs(int repeats) {
    const uint64_t n = a.size();
    const double s = median_seconds(repeats, [&] {
      vexa::parallel_for((n + kStreamChunk - 1) / kStreamChunk, [&](size_t t) {
        const uint64_t begin = t * kStreamChunk, end = std::min(n, begin + kStreamChunk);
        float* __restrict pa = a.data();
        const float* __restrict pb = b.data();
        const float* __restrict pc = c.data();
        for (uint64_t i = begin; i < end; ++i) pa[i] = pb[i] + 3.0f * pc[i];
      });
    });
    return 3.0 * static_cast<double>(kStreamBytes) / s / 1e9;
  }

  double memcpy_gbs(int repeats) {
    const uint64_t n = a.size();
    const double s = median_seconds(repeats, [&] {
      vexa::parallel_for((n + kStreamChunk - 1) / kStreamChunk, [&](size_t t) {
        const uint64_t begin = t * kStreamChunk, end = std::min(n, begin + kStreamChunk);
        std::memcpy(a.data() + begin, b.data() + begin, (end - begin) * sizeof(float));
      });
    });
    return 2.0 * static_cast<double>(kStreamBytes) / s / 1e9;
  }
};

}  // namespace bench
