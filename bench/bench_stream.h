// What the bandwidth benchmarks share: timing in turns, the CPU's model name, and a STREAM-like
// triad and memcpy to set kernels beside. Triad: a[i] = b[i] + s c[i] over three 256 MiB float
// arrays, counted as 3 x 256 MiB per pass as STREAM counts it; memcpy: 256 MiB copied, counted
// as read plus write. Both run on the process thread pool under the caller's thread cap.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/thread_pool.h"

namespace bench {

inline constexpr uint64_t kMiB = uint64_t{1} << 20;
inline constexpr uint64_t kStreamBytes = 256 * kMiB;
inline constexpr uint64_t kStreamChunk = 1 << 20;  // floats per task of the stream loops

inline double seconds_of(const std::function<void()>& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Medians of several functions timed in turns (one call of each per round, after a warm-up
// round), so that on a shared machine all of them see the same minutes of load.
inline std::vector<double> median_seconds_in_turns(int rounds,
                                                   const std::vector<std::function<void()>>& fns) {
  std::vector<std::vector<double>> t(fns.size());
  for (int r = 0; r <= rounds; ++r) {
    for (size_t i = 0; i < fns.size(); ++i) {
      const double s = seconds_of(fns[i]);
      if (r > 0) t[i].push_back(s);
    }
  }
  std::vector<double> m;
  for (auto& v : t) m.push_back(median(v));
  return m;
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

  void triad() {
    const uint64_t n = a.size();
    vexa::parallel_for((n + kStreamChunk - 1) / kStreamChunk, [&](size_t t) {
      const uint64_t begin = t * kStreamChunk, end = std::min(n, begin + kStreamChunk);
      float* __restrict pa = a.data();
      const float* __restrict pb = b.data();
      const float* __restrict pc = c.data();
      for (uint64_t i = begin; i < end; ++i) pa[i] = pb[i] + 3.0f * pc[i];
    });
  }

  void copy() {
    const uint64_t n = a.size();
    vexa::parallel_for((n + kStreamChunk - 1) / kStreamChunk, [&](size_t t) {
      const uint64_t begin = t * kStreamChunk, end = std::min(n, begin + kStreamChunk);
      std::memcpy(a.data() + begin, b.data() + begin, (end - begin) * sizeof(float));
    });
  }

  // Bytes one pass moves, as STREAM counts them.
  static double triad_bytes() { return 3.0 * static_cast<double>(kStreamBytes); }
  static double copy_bytes() { return 2.0 * static_cast<double>(kStreamBytes); }
};

}  // namespace bench
