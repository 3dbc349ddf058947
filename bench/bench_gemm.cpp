// GFLOP/s of gemm_f32 on ResNet-50 convolution shapes (M = output channels, N = output
// pixels, K = input channels x kernel area; weights x im2col columns, no transposes), at one
// thread and at every core, beside oneDNN alone and OpenBLAS alone on the same operands;
// plus a fully connected layer (one row) with B in both layouts and two small products.
//
//   bench_gemm [repeats]
//
// Columns: the kernel and block grid the wrapper picks; wrapper at 1 thread and at all
// cores; oneDNN's dnnl_sgemm with 1 and with all OpenMP threads; OpenBLAS with 1 and with
// all of its own threads; ratio = best reference time / wrapper time at the same thread
// count (above 1: the wrapper is faster).
// Medians of `repeats` timed runs after one warm-up run.
#include <cblas.h>
#include <omp.h>
#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "bench/bench_timing.h"
#include "platform/gemm.h"
#include "platform/thread_pool.h"

namespace {

struct Case {
  const char* name;
  int64_t M, N, K;
  bool tb = false;  // B stored N x K (a fully connected layer's weights)
};

const Case kCases[] = {
    {"conv1 7x7/2", 64, 12544, 147},
    {"l1 1x1 reduce", 64, 3136, 64},
    {"l1 3x3", 64, 3136, 576},
    {"l1 1x1 expand", 256, 3136, 64},
    {"l2 3x3", 128, 784, 1152},
    {"l2 1x1 expand", 512, 784, 128},
    {"l3 3x3", 256, 196, 2304},
    {"l3 1x1 expand", 1024, 196, 256},
    {"l3 1x1 reduce", 256, 196, 1024},
    {"l4 3x3", 512, 49, 4608},
    {"l4 1x1 expand", 2048, 49, 512},
    {"l4 1x1 reduce", 512, 49, 2048},
    {"fc", 1, 1000, 2048},
    {"fc, B stored NxK", 1, 1000, 2048, true},
    {"small 32x64x48", 32, 64, 48},
    {"small 64x64x64", 64, 64, 64},
};
constexpr size_t kCaseCount = sizeof(kCases) / sizeof(kCases[0]);

struct Operands {
  std::vector<float> A, B, C;
};

Operands make(const Case& c) {
  Operands o;
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  o.A.resize(c.M * c.K);
  o.B.resize(c.K * c.N);
  o.C.assign(c.M * c.N, 0.0f);
  for (float& v : o.A) v = dist(rng);
  for (float& v : o.B) v = dist(rng);
  return o;
}

using vexa::bench::median_seconds;

double gflops(const Case& c, double seconds) { return 2.0 * c.M * c.N * c.K / seconds * 1e-9; }

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  auto w0 = std::chrono::steady_clock::now();
  vexa::gemm_warm_up();
  const double warm_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count();
  const unsigned all = vexa::thread_pool_size();
  std::vector<Operands> ops;
  for (const Case& c : kCases) ops.push_back(make(c));

  double ours1[kCaseCount], oursN[kCaseCount], dnnl1[kCaseCount], dnnlN[kCaseCount],
      blas1[kCaseCount], blasN[kCaseCount];

  // Phase 1: the wrapper and oneDNN alone. OpenBLAS's own threads stay off until phase 3,
  // because they keep spinning after each call and would slow the others.
  const int saved_omp = omp_get_max_threads();
  for (size_t i = 0; i < kCaseCount; ++i) {
    const Case& c = kCases[i];
    Operands& o = ops[i];
    auto ours = [&](unsigned threads) {
      vexa::gemm_f32(false, c.tb, c.M, c.N, c.K, 1.0f, o.A.data(), c.K, o.B.data(),
                     c.tb ? c.K : c.N, 0.0f, o.C.data(), c.N, threads);
    };
    auto dnnl = [&] {
      dnnl_sgemm('N', c.tb ? 'T' : 'N', c.M, c.N, c.K, 1.0f, o.A.data(), c.K, o.B.data(),
                 c.tb ? c.K : c.N, 0.0f, o.C.data(), c.N);
    };
    ours1[i] = median_seconds(repeats, [&] { ours(1); });
    oursN[i] = median_seconds(repeats, [&] { ours(all); });
    omp_set_num_threads(1);
    dnnl1[i] = median_seconds(repeats, dnnl);
    omp_set_num_threads(static_cast<int>(all));
    dnnlN[i] = median_seconds(repeats, dnnl);
    omp_set_num_threads(saved_omp);
  }
  // Phase 2 and 3: OpenBLAS alone, single-threaded, then with its own threads.
  for (int phase = 0; phase < 2; ++phase) {
    openblas_set_num_threads(phase == 0 ? 1 : static_cast<int>(all));
    for (size_t i = 0; i < kCaseCount; ++i) {
      const Case& c = kCases[i];
      Operands& o = ops[i];
      double t = median_seconds(repeats, [&] {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, c.tb ? CblasTrans : CblasNoTrans,
                    static_cast<int>(c.M), static_cast<int>(c.N), static_cast<int>(c.K), 1.0f,
                    o.A.data(), static_cast<int>(c.K), o.B.data(),
                    static_cast<int>(c.tb ? c.K : c.N), 0.0f, o.C.data(), static_cast<int>(c.N));
      });
      (phase == 0 ? blas1 : blasN)[i] = t;
    }
  }
  openblas_set_num_threads(1);

  std::printf("GEMM GFLOP/s, row-major, A untransposed, median of %d runs\n", repeats);
  std::printf("all = %u threads; first-use warm-up took %.1f ms\n", all, warm_ms);
  std::printf("%-16s %5s %6s %5s %-8s %6s | %7s %7s %7s %6s | %7s %7s %7s %6s\n", "case", "M", "N",
              "K", "kernel", "blocks", "ours1", "dnnl1", "blas1", "ratio", "oursN", "dnnlN",
              "blasN", "ratio");
  for (size_t i = 0; i < kCaseCount; ++i) {
    const Case& c = kCases[i];
    vexa::GemmPlan plan = vexa::gemm_choose_kernel(c.M, c.N, c.K);
    char grid[32];
    std::snprintf(grid, sizeof(grid), "%lldx%lld", static_cast<long long>(plan.row_count),
                  static_cast<long long>(plan.col_count));
    double best1 = std::min(dnnl1[i], blas1[i]);
    double bestN = std::min(dnnlN[i], blasN[i]);
    std::printf(
        "%-16s %5lld %6lld %5lld %-8s %6s | %7.1f %7.1f %7.1f %6.2f | %7.1f %7.1f %7.1f %6.2f\n",
        c.name, static_cast<long long>(c.M), static_cast<long long>(c.N),
        static_cast<long long>(c.K), vexa::gemm_kernel_name(plan.kernel), grid, gflops(c, ours1[i]),
        gflops(c, dnnl1[i]), gflops(c, blas1[i]), best1 / ours1[i], gflops(c, oursN[i]),
        gflops(c, dnnlN[i]), gflops(c, blasN[i]), bestN / oursN[i]);
  }
  std::printf("ratio > 1: the wrapper is faster than the best library call on its own\n");
  return 0;
}
