// Throughput of the vector routines against the plain scalar loop a kernel would otherwise
// write (std::exp per element for exp and sigmoid), on one thread.
//
//   bench_vector_math [repeats]
//
// One line per routine and size: our time, the scalar loop's time, ratio (scalar / ours),
// for the dispatched path and the portable fallback. Medians after one warm-up run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "bench/bench_timing.h"
#include "platform/vector_math.h"

namespace {

using vexa::bench::median_seconds;

struct Routine {
  const char* name;
  std::function<void(const float*, const float*, float*, size_t)> ours;
  std::function<void(const float*, const float*, float*, size_t)> scalar;
};

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  const Routine routines[] = {
      {"add", [](const float* a, const float* b, float* o, size_t n) { vexa::vec_add(a, b, o, n); },
       [](const float* a, const float* b, float* o, size_t n) {
         for (size_t i = 0; i < n; ++i) o[i] = a[i] + b[i];
       }},
      {"relu",
       [](const float* a, const float*, float* o, size_t n) {
         vexa::vec_zero_below(a, 0.0f, o, n);
       },
       [](const float* a, const float*, float* o, size_t n) {
         for (size_t i = 0; i < n; ++i) o[i] = a[i] >= 0.0f ? a[i] : 0.0f;
       }},
      {"exp", [](const float* a, const float*, float* o, size_t n) { vexa::vec_exp(a, o, n); },
       [](const float* a, const float*, float* o, size_t n) {
         for (size_t i = 0; i < n; ++i) o[i] = std::exp(a[i]);
       }},
      {"sigmoid",
       [](const float* a, const float*, float* o, size_t n) { vexa::vec_sigmoid(a, o, n); },
       [](const float* a, const float*, float* o, size_t n) {
         for (size_t i = 0; i < n; ++i) o[i] = 1.0f / (1.0f + std::exp(-a[i]));
       }},
      {"silu", [](const float* a, const float*, float* o, size_t n) { vexa::vec_silu(a, o, n); },
       [](const float* a, const float*, float* o, size_t n) {
         for (size_t i = 0; i < n; ++i) o[i] = a[i] / (1.0f + std::exp(-a[i]));
       }},
  };
  const size_t sizes[] = {1000, 65536, 1 << 20};
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-10.0f, 10.0f);
  std::vector<float> a(sizes[2]), b(sizes[2]), out(sizes[2]);
  for (float& v : a) v = dist(rng);
  for (float& v : b) v = dist(rng);

  std::printf("vector routines, one thread, median of %d runs; ns per element\n", repeats);
  std::printf("%-8s %8s %-8s %9s %9s %7s\n", "routine", "n", "path", "ours", "scalar", "ratio");
  for (bool portable : {false, true}) {
    vexa::vector_math_force_portable(portable);
    const char* path = vexa::vector_math_path_name(vexa::vector_math_path());
    for (const Routine& r : routines) {
      for (size_t n : sizes) {
        double ours = median_seconds(repeats, [&] { r.ours(a.data(), b.data(), out.data(), n); });
        double scalar =
            median_seconds(repeats, [&] { r.scalar(a.data(), b.data(), out.data(), n); });
        std::printf("%-8s %8zu %-8s %9.3f %9.3f %7.2f\n", r.name, n, path, ours * 1e9 / n,
                    scalar * 1e9 / n, scalar / ours);
      }
    }
  }
  vexa::vector_math_force_portable(false);
  return 0;
}
