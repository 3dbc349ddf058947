// Matrix products: matrix-vector rows bit for bit against the lane order they promise and
// within one unit of an f64 reference; tiled products within one unit of an f64 reference over
// ragged shapes, partial grids and both precisions; bias handling.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gpu/kernel_test_util.h"
#include "gpu/kernels/bandwidth_kernels.h"
#include "platform/gemm.h"
#include "platform/thread_pool.h"

namespace {

using namespace kernel_test;

constexpr float kSentinel = 12.5f;

// x of k activations followed by NaNs, so that reading past it shows.
Buf guarded_act(const std::vector<float>& x, bool fp32) {
  std::vector<float> v(x);
  v.resize(x.size() + 64, NAN);
  return act_buffer(v, fp32);
}

struct MatvecCase {
  uint64_t n, k;
  bool bias;
};

}  // namespace

TEST(MatrixKernels, MatvecHalfAndQ8Rows) {
  std::mt19937 rng(4);
  const MatvecCase cases[] = {{37, 1, false}, {37, 33, true}, {5, 576, true}, {64, 1000, false}, {3, 4097, true}};
  for (bool fp32 : {false, true}) {
    for (const MatvecCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " n " << c.n << " k " << c.k);
      const std::vector<float> x = uniform(rng, c.k, -1, 1, fp32);
      const std::vector<float> wv = uniform(rng, c.n * c.k, -1, 1, false);
      std::vector<uint16_t> w = to_halves(wv);
      w.resize(w.size() + 64, 0x7e00);  // NaN after the last row
      const std::vector<float> bias_v = uniform(rng, c.n, -4, 4, false);
      const Q8Matrix q = random_q8(rng, c.n, c.k);
      Buf xb = guarded_act(x, fp32), wb = make_buffer(w), qb = make_buffer(q.bytes);
      Buf bb = make_buffer(to_halves(bias_v));
      for (bool quantised : {false, true}) {
        Buf y = act_buffer(std::vector<float>(c.n + 4, kSentinel), fp32);
        const KernelParams p = params({{0, static_cast<uint32_t>(c.n)}, {1, static_cast<uint32_t>(c.k)},
                                       {2, c.bias ? 1u : 0u}, {3, static_cast<uint32_t>(q.row_bytes)}});
        // Without a bias the weight is bound at 4 again, as the executor does.
        const Buf* at4 = c.bias ? &bb : (quantised ? &qb : &wb);
        const RunResult r = run_kernel(quantised ? "matvec_q8" : "matvec", fp32,
                                       {{0, &xb}, {1, quantised ? &qb : &wb}, {2, &y}, {4, at4}}, p,
                                       threads(c.n * 32));
        ASSERT_TRUE(r.ok) << r.error;
        std::vector<float> exact(c.n + 4, kSentinel);
        std::vector<Approx> approx(c.n);
        for (uint64_t row = 0; row < c.n; ++row) {
          std::vector<float> lanes(32, 0.0f);
          double sum = 0, mag = 0;
          for (uint64_t k = 0; k < c.k; ++k) {
            const float wk = quantised ? q.value(row, k) : wv[row * c.k + k];
            // q8 lanes accumulate with one fused multiply-add per step.
            lanes[k % 32] = quantised ? std::fma(x[k], wk, lanes[k % 32]) : lanes[k % 32] + x[k] * wk;
            sum += static_cast<double>(x[k]) * wk;
            mag += std::fabs(static_cast<double>(x[k]) * wk);
          }
          const float b = c.bias ? bias_v[row] : 0.0f;
          exact[row] = round_a(c.bias ? fold32(lanes) + b : fold32(lanes), fp32);
          approx[row] = Approx{sum + b, mag * static_cast<double>(c.k) * 0x1p-24};
        }
        const std::vector<float> got = read_act(y, c.n + 4, fp32);
        expect_same(got, exact, quantised ? "matvec_q8 lane order" : "matvec lane order");
        expect_close(std::vector<float>(got.begin(), got.begin() + c.n), approx, fp32,
                     quantised ? "matvec_q8" : "matvec");
      }
    }
  }
}

TEST(MatrixKernels, MatvecCoversTheRowsOfItsThreads) {
  std::mt19937 rng(6);
  const uint64_t n = 37, k = 40;
  const std::vector<float> x = uniform(rng, k, -1, 1, false);
  const std::vector<uint16_t> w = to_halves(uniform(rng, n * k, -1, 1, false));
  Buf xb = act_buffer(x, false), wb = make_buffer(w);
  Buf y = act_buffer(std::vector<float>(n, kSentinel), false);
  ASSERT_TRUE(run_kernel("matvec", false, {{0, &xb}, {1, &wb}, {2, &y}, {4, &wb}},
                         params({{0, n}, {1, k}}), threads(10 * 32)).ok);
  const std::vector<float> got = read_act(y, n, false);
  for (uint64_t r = 0; r < n; ++r) EXPECT_EQ(got[r] == kSentinel, r >= 10) << r;
  // A weight binding shorter than the rows asked for is refused.
  Buf short_w = make_buffer(std::vector<uint16_t>(w.begin(), w.end() - 1));
  const RunResult r = run_kernel("matvec", false, {{0, &xb}, {1, &short_w}, {2, &y}, {4, &wb}},
                                 params({{0, n}, {1, k}}), threads(n * 32));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("weight"), std::string::npos) << r.error;
}

namespace {

// One product's row r as the lane order gives it: 32 lane sums in ascending k (fused steps for q8
// weights), folded, then the bias added and the sum stored as an activation.
float lane_order_row(const std::vector<float>& x, const std::vector<float>& w, uint64_t r,
                     uint64_t k, const float* bias, bool fp32, bool fused) {
  std::vector<float> lanes(32, 0.0f);
  for (uint64_t c = 0; c < k; ++c) {
    const float wc = w[r * k + c];
    lanes[c % 32] = fused ? std::fma(x[c], wc, lanes[c % 32]) : lanes[c % 32] + x[c] * wc;
  }
  const float dot = fold32(lanes);
  return round_a(bias != nullptr ? dot + *bias : dot, fp32);
}

}  // namespace

// Three products over one x in one dispatch, as the q/k/v projections go out: every row as the
// lane order gives it (so as separate dispatches give it), at 1, 2 and 8 threads, and the rows
// past the grid left alone, the grid's rows taken from the products in order.
TEST(MatrixKernels, MatvecSiblingsShareOneDispatch) {
  std::mt19937 rng(12);
  const uint64_t k = 200;  // q8: three whole blocks and one partly used
  const uint64_t rows[3] = {150, 38, 64};
  const bool has_bias[3] = {true, false, true};
  for (bool fp32 : {false, true}) {
    const std::vector<float> x = uniform(rng, k, -1, 1, fp32);
    Buf xb = guarded_act(x, fp32);
    for (bool quantised : {false, true}) {
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " q8 " << quantised);
      std::vector<std::vector<float>> w(3), bias(3);
      std::vector<Buf> wb, bb;
      uint64_t row_bytes = 0;
      for (int p = 0; p < 3; ++p) {
        if (quantised) {
          const Q8Matrix q = random_q8(rng, rows[p], k);
          row_bytes = q.row_bytes;
          for (uint64_t r = 0; r < rows[p]; ++r) {
            for (uint64_t c = 0; c < k; ++c) w[p].push_back(q.value(r, c));
          }
          wb.push_back(make_buffer(q.bytes));
        } else {
          w[p] = uniform(rng, rows[p] * k, -1, 1, false);
          wb.push_back(make_buffer(to_halves(w[p])));
        }
        bias[p] = uniform(rng, rows[p], -4, 4, false);
        bb.push_back(make_buffer(to_halves(bias[p])));
      }
      const uint32_t rb = static_cast<uint32_t>(row_bytes);
      const KernelParams p = params({{0, 150}, {1, static_cast<uint32_t>(k)}, {2, 1}, {3, rb},
                                     {4, 2}, {5, 38}, {6, 0}, {7, rb}, {8, 64}, {9, 1}, {10, rb}});
      const char* kernel = quantised ? "matvec_q8" : "matvec";
      for (unsigned cap : {1u, 2u, 8u}) {
        for (uint64_t covered : {uint64_t{252}, uint64_t{160}}) {
          SCOPED_TRACE(testing::Message() << "threads " << cap << " rows covered " << covered);
          vexa::ThreadCapScope scope(cap);
          std::vector<Buf> y;
          for (int q = 0; q < 3; ++q) {
            y.push_back(act_buffer(std::vector<float>(rows[q] + 4, kSentinel), fp32));
          }
          const RunResult r = run_kernel(kernel, fp32,
                                         {{0, &xb}, {1, &wb[0]}, {2, &y[0]}, {4, &bb[0]},
                                          {5, &wb[1]}, {6, &y[1]}, {7, &wb[1]},
                                          {8, &wb[2]}, {9, &y[2]}, {10, &bb[2]}},
                                         p, threads(covered * 32));
          ASSERT_TRUE(r.ok) << r.error;
          uint64_t first = 0;
          for (int q = 0; q < 3; ++q) {
            std::vector<float> want(rows[q] + 4, kSentinel);
            for (uint64_t row = 0; row < rows[q] && first + row < covered; ++row) {
              want[row] = lane_order_row(x, w[q], row, k, has_bias[q] ? &bias[q][row] : nullptr,
                                         fp32, quantised);
            }
            expect_same(read_act(y[q], rows[q] + 4, fp32), want,
                        std::string(kernel) + " part " + std::to_string(q));
            first += rows[q];
          }
        }
      }
      // Refused: a fifth product, a short weight of a later part, a later part's y unbound.
      Buf y0 = act_buffer(std::vector<float>(rows[0], kSentinel), fp32);
      KernelParams five = p;
      five.u[4] = 4;
      RunResult r = run_kernel(kernel, fp32, {{0, &xb}, {1, &wb[0]}, {2, &y0}, {4, &bb[0]}}, five,
                               threads(252 * 32));
      EXPECT_FALSE(r.ok);
      EXPECT_NE(r.error.find("more than four products"), std::string::npos) << r.error;
      r = run_kernel(kernel, fp32,
                     {{0, &xb}, {1, &wb[0]}, {2, &y0}, {4, &bb[0]}, {5, &wb[1]}, {6, &y0},
                      {7, &wb[1]}, {8, &wb[1]}, {9, &y0}, {10, &bb[2]}},
                     p, threads(252 * 32));
      EXPECT_FALSE(r.ok);  // part 2's 64 rows read from part 1's 38
      EXPECT_NE(r.error.find("weight shorter"), std::string::npos) << r.error;
      r = run_kernel(kernel, fp32,
                     {{0, &xb}, {1, &wb[0]}, {2, &y0}, {4, &bb[0]}, {5, &wb[1]}, {7, &wb[1]},
                      {8, &wb[2]}, {9, &y0}, {10, &bb[2]}},
                     p, threads(252 * 32));
      EXPECT_FALSE(r.ok);
      EXPECT_NE(r.error.find("y not bound"), std::string::npos) << r.error;
    }
  }
}

namespace {

struct TiledCase {
  uint64_t m, n, k;
  bool bias;
};

// y = A(x w^T + bias) with exact dyadic inputs: every f32 partial sum is exact, so the one
// rounding is the store and the result must equal the f64 reference rounded.
void check_tiled(const char* kernel, uint64_t tile_rows, const TiledCase& c, bool fp32,
                 std::mt19937& rng, uint64_t grid_x, uint64_t grid_y) {
  SCOPED_TRACE(testing::Message() << kernel << " fp32 " << fp32 << " " << c.m << "x" << c.n << "x"
                                  << c.k << " grid " << grid_x << "x" << grid_y);
  const std::vector<float> x = dyadic(rng, c.m * c.k, 64, 6);
  const std::vector<float> w = dyadic(rng, c.n * c.k, 64, 6);
  const std::vector<float> bias = dyadic(rng, c.n, 512, 4);
  Buf xb = act_buffer(x, fp32), wb = make_buffer(to_halves(w)), bb = make_buffer(to_halves(bias));
  Buf y = act_buffer(std::vector<float>(c.m * c.n, kSentinel), fp32);
  const RunResult r = run_kernel(
      kernel, fp32, {{0, &xb}, {1, &wb}, {2, &y}, {4, c.bias ? &bb : &wb}},
      params({{0, static_cast<uint32_t>(c.m)}, {1, static_cast<uint32_t>(c.n)},
              {2, static_cast<uint32_t>(c.k)}, {3, c.bias ? 1u : 0u}}),
      groups(grid_x, grid_y, 1, tile_rows == 64 ? 256 : 128));
  ASSERT_TRUE(r.ok) << r.error;
  const uint64_t rows = std::min(c.m, grid_y * tile_rows), cols = std::min(c.n, grid_x * 32);
  std::vector<float> want(c.m * c.n, kSentinel);
  for (uint64_t i = 0; i < rows; ++i) {
    for (uint64_t j = 0; j < cols; ++j) {
      double acc = 0;
      for (uint64_t t = 0; t < c.k; ++t) acc += static_cast<double>(x[i * c.k + t]) * w[j * c.k + t];
      const float accf = static_cast<float>(acc);  // exact
      want[i * c.n + j] = round_a(c.bias ? accf + bias[j] : accf, fp32);
    }
  }
  expect_same(read_act(y, c.m * c.n, fp32), want, kernel);
}

}  // namespace

TEST(MatrixKernels, TiledProducts) {
  std::mt19937 rng(8);
  const TiledCase cases[] = {{1, 32, 16, true}, {7, 40, 100, true}, {33, 96, 300, false},
                             {70, 64, 64, true}, {130, 33, 17, false}};
  for (bool fp32 : {false, true}) {
    for (const TiledCase& c : cases) {
      check_tiled("matmul", 32, c, fp32, rng, (c.n + 31) / 32, (c.m + 31) / 32);
      check_tiled("matmul_rows64", 64, c, fp32, rng, (c.n + 31) / 32, (c.m + 63) / 64);
    }
    // A grid that covers part of the output computes that part only.
    check_tiled("matmul", 32, {70, 96, 20, true}, fp32, rng, 1, 2);
    check_tiled("matmul_rows64", 64, {130, 96, 20, false}, fp32, rng, 2, 1);
    // Widened in many tasks when threads share it: x rows and 16-row weight groups, both with a
    // short last task.
    check_tiled("matmul_rows64", 64, {70, 200, 600, true}, fp32, rng, 7, 2);
  }
  // Sums that half cannot hold exactly: the store rounds once, to nearest even.
  std::mt19937 r2(12);
  for (bool fp32 : {false, true}) check_tiled("matmul", 32, {9, 32, 900, false}, fp32, r2, 1, 1);
}

TEST(MatrixKernels, TiledProductOfRandomValues) {
  std::mt19937 rng(10);
  const uint64_t m = 45, n = 70, k = 333;
  for (bool fp32 : {false, true}) {
    const std::vector<float> x = uniform(rng, m * k, -1, 1, fp32);
    const std::vector<float> w = uniform(rng, n * k, -1, 1, false);
    const std::vector<float> bias = uniform(rng, n, -1, 1, false);
    Buf xb = act_buffer(x, fp32), wb = make_buffer(to_halves(w)), bb = make_buffer(to_halves(bias));
    Buf y = act_buffer(std::vector<float>(m * n, 0.0f), fp32);
    ASSERT_TRUE(run_kernel("matmul", fp32, {{0, &xb}, {1, &wb}, {2, &y}, {4, &bb}},
                           params({{0, m}, {1, n}, {2, k}, {3, 1}}), groups(3, 2)).ok);
    std::vector<Approx> want(m * n);
    for (uint64_t i = 0; i < m; ++i)
      for (uint64_t j = 0; j < n; ++j) {
        double acc = 0, mag = 0;
        for (uint64_t t = 0; t < k; ++t) {
          acc += static_cast<double>(x[i * k + t]) * w[j * k + t];
          mag += std::fabs(static_cast<double>(x[i * k + t]) * w[j * k + t]);
        }
        want[i * n + j] = Approx{acc + bias[j], (mag + std::fabs(acc)) * k * 0x1p-24};
      }
    expect_close(read_act(y, m * n, fp32), want, fp32, "matmul random");
  }
}

TEST(MatrixKernels, DirectProductAndLinearBias) {
  std::mt19937 rng(14);
  const uint64_t m = 128, n = 192, k = 96;
  const std::vector<float> x = dyadic(rng, m * k, 100, 5);
  const std::vector<float> w = dyadic(rng, n * k, 100, 7);
  for (bool fp32 : {false, true}) {  // f32 in and out whatever the instantiation
    Buf xb = make_buffer(x), wb = make_buffer(to_halves(w));
    Buf y = make_buffer(std::vector<float>(m * n, kSentinel));
    ASSERT_TRUE(run_kernel("matmul_direct64", fp32, {{0, &xb}, {1, &wb}, {2, &y}, {4, &wb}},
                           params({{0, m}, {1, n}, {2, k}}), groups(n / 64, m / 64, 1, 512)).ok);
    std::vector<float> want(m * n);
    for (uint64_t i = 0; i < m; ++i)
      for (uint64_t j = 0; j < n; ++j) {
        double acc = 0;
        for (uint64_t t = 0; t < k; ++t) acc += static_cast<double>(x[i * k + t]) * w[j * k + t];
        want[i * n + j] = static_cast<float>(acc);
      }
    expect_same(y.read<float>(m * n), want, "matmul_direct64");
    // Rows beyond the activations the grid asks for are refused.
    const RunResult r = run_kernel("matmul_direct64", fp32, {{0, &xb}, {1, &wb}, {2, &y}, {4, &wb}},
                                   params({{1, n}, {2, k}}), groups(n / 64, m / 64 + 1, 1, 512));
    EXPECT_FALSE(r.ok);

    const uint64_t width = 10, count = 3 * width + 5;
    const std::vector<float> a = uniform(rng, count, -100, 100, fp32);
    const std::vector<float> b = uniform(rng, width, -100, 100, false);
    Buf ab = act_buffer(a, fp32), bb = make_buffer(to_halves(b));
    Buf out = act_buffer(std::vector<float>(count + 2, kSentinel), fp32);
    ASSERT_TRUE(run_kernel("linear_bias", fp32, {{0, &ab}, {1, &bb}, {2, &out}},
                           params({{0, count}, {1, width}}), threads(count)).ok);
    std::vector<float> want_lb(count + 2, kSentinel);
    for (uint64_t i = 0; i < count; ++i) want_lb[i] = round_a(a[i] + b[i % width], fp32);
    expect_same(read_act(out, count + 2, fp32), want_lb, "linear_bias");
  }
}

TEST(MatrixKernels, SlicedProductsGiveTheWholePanelsBytesOnAnyThreadCount) {
  // Sums that f32 rounds: the kernels widen the weight a slice at a time next to each product,
  // and must give the bytes of one product over the whole widened weight ([K, N], as the wrapper
  // prefers it) followed by A(acc + bias). A last slice one column wider and short row blocks.
  struct Case {
    const char* kernel;
    uint64_t tile_rows, m, n, k;
    bool bias;
  };
  const Case cases[] = {{"matmul_rows64", 64, 130, 577, 700, true},
                        {"matmul", 32, 128, 576, 1536, false},
                        {"matmul", 32, 128, 192, 576, true},
                        {"matmul_direct64", 64, 128, 576, 576, false}};
  std::mt19937 rng(21);
  for (const Case& c : cases) {
    ASSERT_GT(vexa::gemm_choose_slices(c.m, c.n, c.k).task_count, 1) << c.kernel;
    const bool direct = std::string(c.kernel) == "matmul_direct64";
    for (bool fp32 : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.kernel << " fp32 " << fp32 << " " << c.m << "x" << c.n
                                      << "x" << c.k);
      const std::vector<float> x = uniform(rng, c.m * c.k, -1, 1, fp32 || direct);
      const std::vector<float> w = uniform(rng, c.n * c.k, -1, 1, false);
      const std::vector<float> bias = uniform(rng, c.n, -1, 1, false);
      std::vector<float> b(c.k * c.n), acc(c.m * c.n);
      for (uint64_t j = 0; j < c.n; ++j)
        for (uint64_t t = 0; t < c.k; ++t) b[t * c.n + j] = w[j * c.k + t];
      ASSERT_TRUE(vexa::gemm_f32(false, false, c.m, c.n, c.k, 1.0f, x.data(), c.k, b.data(), c.n,
                                 0.0f, acc.data(), c.n));
      std::vector<float> want(c.m * c.n);
      for (uint64_t i = 0; i < c.m; ++i)
        for (uint64_t j = 0; j < c.n; ++j) {
          const float v = acc[i * c.n + j];
          want[i * c.n + j] = direct ? v : round_a(c.bias ? v + bias[j] : v, fp32);
        }
      Buf xb = direct ? make_buffer(x) : act_buffer(x, fp32), wb = make_buffer(to_halves(w));
      Buf bb = make_buffer(to_halves(bias));
      const uint64_t per_col = direct ? 64 : 32;
      const Dispatch grid = groups((c.n + per_col - 1) / per_col, (c.m + c.tile_rows - 1) / c.tile_rows,
                                   1, direct ? 512 : (c.tile_rows == 64 ? 256 : 128));
      for (unsigned threads : {1u, 2u, 8u}) {
        vexa::ThreadCapScope cap(threads);
        Buf y = direct ? make_buffer(std::vector<float>(c.m * c.n, kSentinel))
                       : act_buffer(std::vector<float>(c.m * c.n, kSentinel), fp32);
        const RunResult r = run_kernel(
            c.kernel, fp32, {{0, &xb}, {1, &wb}, {2, &y}, {4, c.bias ? &bb : &wb}},
            params({{0, static_cast<uint32_t>(c.m)}, {1, static_cast<uint32_t>(c.n)},
                    {2, static_cast<uint32_t>(c.k)}, {3, c.bias ? 1u : 0u}}),
            grid);
        ASSERT_TRUE(r.ok) << r.error;
        expect_same(direct ? y.read<float>(c.m * c.n) : read_act(y, c.m * c.n, fp32), want,
                    "threads " + std::to_string(threads));
      }
    }
  }
}

TEST(MatrixKernels, TiledProductsReadQ8RowsAsTheHalvesTheyReconstruct) {
  // With P u[4] the weight is q8 rows of that many bytes, read in place: each value must enter
  // the product as the half its block reconstructs, so the result is byte for byte the FP16
  // kernel's on those halves, on any thread count. Shapes that the wrapper cuts into slices and
  // shapes it does not (a small product, and an odd width taken a chunk at a time), columns that
  // end inside a block, and the direct kernel.
  struct Case {
    const char* kernel;
    uint64_t tile_rows, m, n, k;
    bool bias, sliced;
  };
  const Case cases[] = {{"matmul_rows64", 64, 128, 576, 700, true, true},
                        {"matmul", 32, 7, 40, 100, true, false},
                        {"matmul", 32, 33, 90, 70, false, false},
                        {"matmul", 32, 3, 50, 3000, true, false},  // chunks of 16 columns
                        {"matmul_direct64", 64, 128, 192, 96, false, true}};
  std::mt19937 rng(33);
  for (const Case& c : cases) {
    EXPECT_EQ(vexa::gemm_choose_slices(c.m, c.n, c.k).task_count > 0, c.sliced) << c.kernel;
    const bool direct = std::string(c.kernel) == "matmul_direct64";
    const Q8Matrix q = random_q8(rng, c.n, c.k);
    std::vector<float> halves(c.n * c.k);
    for (uint64_t r = 0; r < c.n; ++r)
      for (uint64_t t = 0; t < c.k; ++t) halves[r * c.k + t] = q.value(r, t);
    Buf qb = make_buffer(q.bytes), hb = make_buffer(to_halves(halves));
    const std::vector<float> bias = uniform(rng, c.n, -1, 1, false);
    Buf bb = make_buffer(to_halves(bias));
    const uint64_t per_col = direct ? 64 : 32;
    const Dispatch grid = groups((c.n + per_col - 1) / per_col, (c.m + c.tile_rows - 1) / c.tile_rows,
                                 1, direct ? 512 : (c.tile_rows == 64 ? 256 : 128));
    for (bool fp32 : {false, true}) {
      if (direct && !fp32) continue;
      SCOPED_TRACE(testing::Message() << c.kernel << " fp32 " << fp32 << " " << c.m << "x" << c.n
                                      << "x" << c.k);
      const std::vector<float> x = uniform(rng, c.m * c.k, -1, 1, fp32);
      Buf xb = direct ? make_buffer(x) : act_buffer(x, fp32);
      auto run = [&](bool quantised, unsigned threads) {
        vexa::ThreadCapScope cap(threads);
        Buf y = direct ? make_buffer(std::vector<float>(c.m * c.n, kSentinel))
                       : act_buffer(std::vector<float>(c.m * c.n, kSentinel), fp32);
        const uint32_t row_bytes = quantised ? static_cast<uint32_t>(q.row_bytes) : 0;
        const Buf* w = quantised ? &qb : &hb;
        const RunResult r = run_kernel(
            c.kernel, fp32, {{0, &xb}, {1, w}, {2, &y}, {4, c.bias ? &bb : w}},
            params({{0, static_cast<uint32_t>(c.m)}, {1, static_cast<uint32_t>(c.n)},
                    {2, static_cast<uint32_t>(c.k)}, {3, c.bias ? 1u : 0u}, {4, row_bytes}}),
            grid);
        EXPECT_TRUE(r.ok) << r.error;
        return direct ? y.read<float>(c.m * c.n) : read_act(y, c.m * c.n, fp32);
      };
      const std::vector<float> want = run(false, 8);
      for (unsigned threads : {1u, 8u}) {
        expect_same(run(true, threads), want, "q8 at " + std::to_string(threads) + " threads");
      }
      // Every instruction-set form of the reconstruction and the widening gives those bytes.
      for (vexa::IsaLevel level : {vexa::IsaLevel::kPortable, vexa::IsaLevel::kAvx2}) {
        if (vexa::bandwidth_kernels_at(level) == nullptr) continue;
        vexa::bandwidth_kernels_force(level);
        const std::vector<float> got = run(true, 8);
        vexa::bandwidth_kernels_force(vexa::IsaLevel::kAvx512);
        expect_same(got, want, "q8 at level " + std::to_string(static_cast<int>(level)));
      }
    }
  }
  // Rows shorter than the blocks the columns need, and a weight shorter than its rows, are
  // refused before anything is read.
  const Q8Matrix q = random_q8(rng, 40, 100);
  Buf qb = make_buffer(q.bytes), xb = act_buffer(std::vector<float>(7 * 100, 1.0f), false);
  Buf y = act_buffer(std::vector<float>(7 * 40, kSentinel), false);
  RunResult r = run_kernel("matmul", false, {{0, &xb}, {1, &qb}, {2, &y}, {4, &qb}},
                           params({{0, 7}, {1, 40}, {2, 100}, {4, 68}}), groups(2, 1));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("q8 row bytes 68 too small for 100 columns"), std::string::npos) << r.error;
  r = run_kernel("matmul", false, {{0, &xb}, {1, &qb}, {2, &y}, {4, &qb}},
                 params({{0, 7}, {1, 40}, {2, 100}, {4, 272}}), groups(2, 1));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("weight shorter"), std::string::npos) << r.error;
}
