// Depthwise convolution shapes of the mobile networks: the dispatched kernel against the
// portable row loop on one thread.
//
//   bench_perf_depthwise [RUNS]
//
// Prints one line per shape: channels, plane, stride, fast and portable median in
// microseconds, and their ratio.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cpu/cpu_state.h"
#include "cpu/ops/conv.h"
#include "platform/thread_pool.h"

namespace {

struct Shape {
  int c, h, w, k, s;
};

constexpr Shape kShapes[] = {
    {32, 112, 112, 3, 1}, {96, 112, 112, 3, 2}, {144, 56, 56, 3, 1}, {144, 56, 56, 3, 2},
    {192, 28, 28, 3, 1},  {576, 14, 14, 3, 1},  {576, 14, 14, 3, 2}, {960, 7, 7, 3, 1},
};

double median_us(const vexa::cpu::ConvGeometry& g, const std::vector<float>& x,
                 const std::vector<float>& w, std::vector<float>* y, int runs) {
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) {
    const double t0 = vexa::cpu::cpu_clock_seconds();
    vexa::cpu::cpu_conv2d(g, x.data(), w.data(), y->data(), vexa::cpu::ConvEpilogue{}, true,
                          nullptr, 0);
    t.push_back((vexa::cpu::cpu_clock_seconds() - t0) * 1e6);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa::cpu;
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  vexa::ThreadCapScope one(1);
  for (const Shape& s : kShapes) {
    ConvGeometry g;
    g.c_in = g.c_out = g.group = s.c;
    g.h = s.h, g.w = s.w, g.kh = g.kw = s.k, g.sh = g.sw = s.s, g.pt = g.pl = s.k / 2;
    g.oh = (s.h + 2 * (s.k / 2) - s.k) / s.s + 1;
    g.ow = (s.w + 2 * (s.k / 2) - s.k) / s.s + 1;
    std::vector<float> x(static_cast<size_t>(s.c) * s.h * s.w, 0.5f);
    std::vector<float> w(static_cast<size_t>(s.c) * s.k * s.k, 0.25f);
    std::vector<float> y(static_cast<size_t>(s.c) * g.oh * g.ow);
    const double fast = median_us(g, x, w, &y, runs);
    cpu_conv_force_portable(true);
    const double plain = median_us(g, x, w, &y, runs);
    cpu_conv_force_portable(false);
    std::printf("c=%4d %3dx%-3d s=%d fast_us %8.1f portable_us %8.1f ratio %.2f\n", s.c, s.h,
                s.w, s.s, fast, plain, fast / plain);
  }
  return 0;
}
