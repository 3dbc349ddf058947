// Medians of repeated timings, shared by the benchmarks: one warm-up call (first-touch page
// faults, cold caches and lazy set-up stay out of the figures), then `runs` timed calls.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace vexa::bench {

// The middle value; the upper of the two middles for an even count.
inline double median_of(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

template <typename Fn>
double median_seconds(int runs, Fn&& fn) {
  fn();
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return median_of(std::move(t));
}

template <typename Fn>
double median_ms(int runs, Fn&& fn) {
  return median_seconds(runs, fn) * 1e3;
}

}  // namespace vexa::bench
