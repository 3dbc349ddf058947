// GFLOP/s of the CPU engine's Conv kernel on ResNet-50's convolution shapes (224 x 224 input,
// batch 1) beside the GEMM wrapper's throughput on the matrix product of the same size
// (M = output channels, N = output pixels, K = input channels x kernel area), at one thread
// and at every core, in the same run.
//
//   bench_conv [repeats]
//
// Columns: path the Conv takes ("direct": weights packed once beforehand, as the engine
// packs them at build); GEMM and Conv GFLOP/s at 1 thread and at all cores; ratio =
// Conv / GEMM throughput at the same thread count (the goal is >= 0.85 on every shape).
// Medians of `repeats` timed runs after one warm-up run; the product and the Conv of a shape
// run in turns.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "cpu/ops/conv.h"
#include "cpu/ops/conv_direct.h"
#include "platform/gemm.h"
#include "platform/thread_pool.h"

namespace {

using vexa::cpu::ConvGeometry;
using vexa::cpu::ConvPath;

struct Case {
  const char* name;
  int32_t c_in, hw, c_out, k, stride, pad;
};

// Every distinct convolution of ResNet-50 v1.5 (stride on the 3x3 of each first block).
const Case kCases[] = {
    {"conv1 7x7/2", 3, 224, 64, 7, 2, 3},
    {"l1 1x1 64->64", 64, 56, 64, 1, 1, 0},
    {"l1 3x3 64", 64, 56, 64, 3, 1, 1},
    {"l1 1x1 64->256", 64, 56, 256, 1, 1, 0},
    {"l1 1x1 256->64", 256, 56, 64, 1, 1, 0},
    {"l2 1x1 256->128", 256, 56, 128, 1, 1, 0},
    {"l2 3x3/2 128", 128, 56, 128, 3, 2, 1},
    {"l2 down 1x1/2 256->512", 256, 56, 512, 1, 2, 0},
    {"l2 3x3 128", 128, 28, 128, 3, 1, 1},
    {"l2 1x1 128->512", 128, 28, 512, 1, 1, 0},
    {"l2 1x1 512->128", 512, 28, 128, 1, 1, 0},
    {"l3 3x3/2 256", 256, 28, 256, 3, 2, 1},
    {"l3 down 1x1/2 512->1024", 512, 28, 1024, 1, 2, 0},
    {"l3 3x3 256", 256, 14, 256, 3, 1, 1},
    {"l3 1x1 256->1024", 256, 14, 1024, 1, 1, 0},
    {"l3 1x1 1024->256", 1024, 14, 256, 1, 1, 0},
    {"l4 3x3/2 512", 512, 14, 512, 3, 2, 1},
    {"l4 down 1x1/2 1024->2048", 1024, 14, 2048, 1, 2, 0},
    {"l4 3x3 512", 512, 7, 512, 3, 1, 1},
    {"l4 1x1 512->2048", 512, 7, 2048, 1, 1, 0},
    {"l4 1x1 2048->512", 2048, 7, 512, 1, 1, 0},
};

ConvGeometry geometry(const Case& c) {
  ConvGeometry g;
  g.c_in = c.c_in;
  g.h = g.w = c.hw;
  g.c_out = c.c_out;
  g.kh = g.kw = c.k;
  g.sh = g.sw = c.stride;
  g.pt = g.pl = c.pad;
  g.oh = g.ow = (c.hw + 2 * c.pad - c.k) / c.stride + 1;
  return g;
}

const char* path_name(ConvPath p) {
  switch (p) {
    case ConvPath::kPointwise: return "pointwise";
    case ConvPath::kStridedPointwise: return "strided-1x1";
    case ConvPath::kDepthwise: return "depthwise";
    case ConvPath::kIm2col: return "im2col";
  }
  return "?";
}

std::vector<float> random_values(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

template <class Fn>
double seconds(Fn&& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

template <class Fn>
double median_seconds(int repeats, Fn&& fn) {
  fn();  // warm-up
  std::vector<double> t;
  for (int r = 0; r < repeats; ++r) t.push_back(seconds(fn));
  return median(t);
}

// Medians of a and b timed in turns, so that both see the same minutes of a shared machine
// (timed one after the other, one of them could land in a slow minute alone).
template <class A, class B>
void median_seconds_in_turns(int repeats, A&& a, B&& b, double* ta, double* tb) {
  a();  // warm-up
  b();
  std::vector<double> sa, sb;
  for (int r = 0; r < repeats; ++r) {
    sa.push_back(seconds(a));
    sb.push_back(seconds(b));
  }
  *ta = median(sa);
  *tb = median(sb);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  vexa::gemm_warm_up();
  const unsigned all = vexa::thread_pool_size();
  std::printf("%-26s %-11s %6s %6s %6s | %8s %8s %5s | %8s %8s %5s\n", "shape", "path", "M", "N",
              "K", "gemm1", "conv1", "ratio", "gemmN", "convN", "ratio");
  std::printf("(GFLOP/s; N = %u threads; medians of %d runs)\n", all, repeats);
  double worst[2] = {1e9, 1e9};
  for (const Case& c : kCases) {
    const ConvGeometry g = geometry(c);
    const int64_t m = g.c_out, n = int64_t{g.oh} * g.ow, k = int64_t{g.c_in} * g.kh * g.kw;
    const double flops = 2.0 * static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
    const auto x = random_values(static_cast<size_t>(g.c_in) * g.h * g.w, 1);
    const auto w = random_values(static_cast<size_t>(m * k), 2);
    const auto cols = random_values(static_cast<size_t>(k * n), 3);
    std::vector<float> y(static_cast<size_t>(m * n)), c_out(static_cast<size_t>(m * n));
    std::vector<float> workspace(vexa::cpu::cpu_conv_workspace_floats(g) + 1);
    // Windows the engine runs directly have their weights packed at build, outside the timing.
    const bool direct = vexa::cpu::cpu_conv_direct_eligible(g);
    std::vector<float> packed(direct ? vexa::cpu::cpu_conv_direct_weight_floats(g) : 0);
    if (direct) vexa::cpu::cpu_conv_direct_pack(g, w.data(), packed.data());
    double gflops[2][2];
    const unsigned caps[2] = {1, all};
    for (int t = 0; t < 2; ++t) {
      vexa::ThreadCapScope cap(caps[t]);
      double tg = 0.0, tc = 0.0;
      median_seconds_in_turns(
          repeats,
          [&] {
            vexa::gemm_f32(false, false, m, n, k, 1.0f, w.data(), k, cols.data(), n, 0.0f,
                           c_out.data(), n);
          },
          [&] {
            if (direct) {
              vexa::cpu::cpu_conv2d_direct(g, x.data(), packed.data(), y.data(),
                                           vexa::cpu::ConvEpilogue{});
            } else {
              vexa::cpu::cpu_conv2d(g, x.data(), w.data(), y.data(), vexa::cpu::ConvEpilogue{},
                                    true, workspace.data(), workspace.size());
            }
          },
          &tg, &tc);
      gflops[t][0] = flops / tg * 1e-9;
      gflops[t][1] = flops / tc * 1e-9;
      worst[t] = std::min(worst[t], gflops[t][1] / gflops[t][0]);
    }
    std::printf("%-26s %-11s %6lld %6lld %6lld | %8.1f %8.1f %5.2f | %8.1f %8.1f %5.2f\n", c.name,
                direct ? "direct" : path_name(vexa::cpu::cpu_conv_path(g, true)),
                static_cast<long long>(m),
                static_cast<long long>(n), static_cast<long long>(k), gflops[0][0], gflops[0][1],
                gflops[0][1] / gflops[0][0], gflops[1][0], gflops[1][1],
                gflops[1][1] / gflops[1][0]);
  }
  std::printf("lowest conv/gemm ratio: %.2f at 1 thread, %.2f at %u threads\n", worst[0],
              worst[1], all);

  // MobileNetV2's depthwise 3x3 layers: a direct loop with no product to compare against.
  struct Depthwise {
    const char* name;
    int32_t channels, hw, stride;
  };
  const Depthwise depthwise[] = {{"dw 32 @112", 32, 112, 1},  {"dw 96 @112 /2", 96, 112, 2},
                                 {"dw 144 @56", 144, 56, 1},  {"dw 192 @28", 192, 28, 1},
                                 {"dw 576 @14", 576, 14, 1},  {"dw 960 @7", 960, 7, 1}};
  std::printf("\n%-26s %8s %8s   (GFLOP/s, depthwise 3x3)\n", "shape", "1 thread", "all");
  for (const Depthwise& d : depthwise) {
    ConvGeometry g;
    g.c_in = g.c_out = g.group = d.channels;
    g.h = g.w = d.hw;
    g.kh = g.kw = 3;
    g.sh = g.sw = d.stride;
    g.pt = g.pl = 1;
    g.oh = g.ow = (d.hw + 2 - 3) / d.stride + 1;
    const double flops = 2.0 * 9 * d.channels * static_cast<double>(g.oh) * g.ow;
    const auto x = random_values(static_cast<size_t>(d.channels) * d.hw * d.hw, 4);
    const auto w = random_values(static_cast<size_t>(d.channels) * 9, 5);
    std::vector<float> y(static_cast<size_t>(d.channels) * g.oh * g.ow);
    double rate[2];
    const unsigned caps[2] = {1, all};
    for (int t = 0; t < 2; ++t) {
      vexa::ThreadCapScope cap(caps[t]);
      rate[t] = flops / median_seconds(repeats, [&] {
        vexa::cpu::cpu_conv2d(g, x.data(), w.data(), y.data(), vexa::cpu::ConvEpilogue{}, true,
                              nullptr, 0);
      }) * 1e-9;
    }
    std::printf("%-26s %8.1f %8.1f\n", d.name, rate[0], rate[1]);
  }
  return 0;
}
