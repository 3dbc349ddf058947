#include "cpu/ops/gemm.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "dense_tolerance.h"

namespace vexa::cpu {
namespace {

using testing::all_close;
using testing::lcg_values;

TEST(GemmOp, TransposeFlagsAndEveryShapeOfC) {
  const int32_t m = 5, n = 7, k = 6;
  struct CShape {
    const char* name;
    int32_t rows, cols;
  };
  const CShape c_shapes[] = {{"none", 0, 0},   {"scalar", 1, 1}, {"row", 1, n},
                             {"column", m, 1}, {"full", m, n}};
  for (bool ta : {false, true}) {
    for (bool tb : {false, true}) {
      for (const CShape& cs : c_shapes) {
        SCOPED_TRACE(::testing::Message() << "transA " << ta << " transB " << tb << " C " << cs.name);
        const auto a = lcg_values(m * k, 1);  // stored K x M when transposed
        const auto b = lcg_values(k * n, 2);  // stored N x K when transposed
        const auto c = lcg_values(static_cast<size_t>(m) * n, 3);
        GemmParams p;
        p.m = m;
        p.n = n;
        p.k = k;
        p.trans_a = ta;
        p.trans_b = tb;
        p.alpha = 0.75f;
        p.beta = -1.5f;
        p.c_rows = cs.rows;
        p.c_cols = cs.cols;
        std::vector<float> y(static_cast<size_t>(m) * n, std::numeric_limits<float>::quiet_NaN());
        cpu_gemm_op(p, a.data(), b.data(), cs.rows ? c.data() : nullptr, y.data());
        std::vector<double> want(y.size());
        for (int i = 0; i < m; ++i)
          for (int j = 0; j < n; ++j) {
            double acc = 0;
            for (int q = 0; q < k; ++q)
              acc += double{ta ? a[q * m + i] : a[i * k + q]} * (tb ? b[j * k + q] : b[q * n + j]);
            double cv = 0;
            if (cs.rows) cv = c[(cs.rows == 1 ? 0 : i) * cs.cols + (cs.cols == 1 ? 0 : j)];
            // Without C the output is alpha * A * B whatever beta holds.
            want[i * n + j] = 0.75 * acc + (cs.rows ? -1.5 * cv : 0.0);
          }
        EXPECT_TRUE(all_close(y, want, 4.0));
      }
    }
  }
}

TEST(GemmEntry, MatchesThePlainLoopOnEveryLibraryPath) {
  // One row, a small product and a large one reach different libraries behind the entry.
  struct Shape {
    int32_t m, n, k;
  };
  const Shape shapes[] = {{1, 70, 33}, {17, 1, 9}, {40, 50, 60}, {130, 300, 96}};
  for (const Shape& sh : shapes) {
    for (bool ta : {false, true}) {
      for (bool tb : {false, true}) {
        SCOPED_TRACE(::testing::Message() << sh.m << "x" << sh.n << "x" << sh.k << " " << ta << tb);
        const auto a = lcg_values(static_cast<size_t>(sh.m) * sh.k, 7);
        const auto b = lcg_values(static_cast<size_t>(sh.k) * sh.n, 8);
        const int32_t lda = ta ? sh.m : sh.k, ldb = tb ? sh.k : sh.n;
        std::vector<float> got(static_cast<size_t>(sh.m) * sh.n, 0.5f), want = got;
        cpu_gemm(kCblasRowMajor, ta ? kCblasTrans : kCblasNoTrans, tb ? kCblasTrans : kCblasNoTrans,
                 sh.m, sh.n, sh.k, 1.25f, a.data(), lda, b.data(), ldb, -0.5f, got.data(), sh.n);
        cpu_gemm_reference(ta ? kCblasTrans : kCblasNoTrans, tb ? kCblasTrans : kCblasNoTrans, sh.m,
                           sh.n, sh.k, 1.25f, a.data(), lda, b.data(), ldb, -0.5f, want.data(), sh.n);
        std::vector<double> want_d(want.begin(), want.end());
        EXPECT_TRUE(all_close(got, want_d, 8.0));
      }
    }
  }
}

TEST(GemmEntry, ColumnMajorAndLeadingDimensions) {
  // Row-major C (3 x 4) inside a wider buffer (ldc 6), A with lda 5, B with ldb 4.
  const int m = 3, n = 4, k = 2;
  const auto a = lcg_values(3 * 5, 4), b = lcg_values(2 * 4, 5);
  std::vector<float> c(3 * 6, 9.0f);
  cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, m, n, k, 1.0f, a.data(), 5, b.data(), 4,
           0.0f, c.data(), 6);
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      double want = 0;
      for (int q = 0; q < k; ++q) want += double{a[i * 5 + q]} * b[q * 4 + j];
      EXPECT_NEAR(c[i * 6 + j], want, 1e-5);
    }
    EXPECT_EQ(c[i * 6 + 4], 9.0f);  // columns past N untouched
  }
  // The same product asked column-major: C^T = B^T A^T.
  std::vector<float> ct(4 * 3, 0.0f);
  cpu_gemm(kCblasColMajor, kCblasNoTrans, kCblasNoTrans, n, m, k, 1.0f, b.data(), 4, a.data(), 5,
           0.0f, ct.data(), 4);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) EXPECT_NEAR(ct[i * 4 + j], c[i * 6 + j], 1e-6);
}

std::vector<double> naive_batched(const float* a, const float* b, int64_t batches, int64_t m,
                                  int64_t k, int64_t n, int64_t a_step, int64_t b_step,
                                  const std::vector<int64_t>& a_index,
                                  const std::vector<int64_t>& b_index) {
  std::vector<double> y(static_cast<size_t>(batches * m * n));
  for (int64_t t = 0; t < batches; ++t)
    for (int64_t i = 0; i < m; ++i)
      for (int64_t j = 0; j < n; ++j) {
        double acc = 0;
        for (int64_t q = 0; q < k; ++q)
          acc += double{a[a_index[t] * a_step + i * k + q]} * b[b_index[t] * b_step + q * n + j];
        y[(t * m + i) * n + j] = acc;
      }
  return y;
}

struct MatMulCase {
  const char* name;
  MatMulShape s;
  std::vector<int64_t> y_dims;
  std::vector<int64_t> a_index, b_index;  // matrix of A and of B used for each output matrix
};

TEST(MatMulOp, RankTwoBatchedAndBroadcast) {
  const int64_t m = 3, k = 4, n = 5;
  const MatMulCase cases[] = {
      {"rank 2", {2, 2, {m, k}, {k, n}}, {m, n}, {0}, {0}},
      {"rank 4 A, rank 2 B", {4, 2, {2, 3, m, k}, {k, n}}, {2, 3, m, n}, {0, 1, 2, 3, 4, 5}, {0, 0, 0, 0, 0, 0}},
      {"batched equal", {3, 3, {2, m, k}, {2, k, n}}, {2, m, n}, {0, 1}, {0, 1}},
      {"B broadcast", {3, 3, {3, m, k}, {1, k, n}}, {3, m, n}, {0, 1, 2}, {0, 0, 0}},
      {"A broadcast", {2, 3, {m, k}, {4, k, n}}, {4, m, n}, {0, 0, 0, 0}, {0, 1, 2, 3}},
      {"A broadcast rank 3", {3, 4, {1, m, k}, {2, 3, k, n}}, {2, 3, m, n}, {0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5}},
      {"both broadcast", {4, 4, {2, 1, m, k}, {1, 3, k, n}}, {2, 3, m, n}, {0, 0, 0, 1, 1, 1}, {0, 1, 2, 0, 1, 2}},
      {"B cycled", {3, 3, {4, m, k}, {2, k, n}}, {4, m, n}, {0, 1, 2, 3}, {0, 1, 0, 1}},
  };
  for (const MatMulCase& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t na = 1, nb = 1;
    for (int i = 0; i < c.s.a_rank - 2; ++i) na *= c.s.a_dims[i];
    for (int i = 0; i < c.s.b_rank - 2; ++i) nb *= c.s.b_dims[i];
    const auto a = lcg_values(static_cast<size_t>(na * m * k), 1);
    const auto b = lcg_values(static_cast<size_t>(nb * k * n), 2);
    int32_t rank = 0;
    int64_t dims[6];
    if (cpu_matmul_output_shape(c.s, &rank, dims)) {
      ASSERT_EQ(std::vector<int64_t>(dims, dims + rank), c.y_dims);
    } else {
      int64_t ca, cb;
      ASSERT_TRUE(cpu_matmul_cycles(c.s, &ca, &cb));
    }
    const int64_t out = static_cast<int64_t>(c.a_index.size());
    std::vector<float> y(static_cast<size_t>(out * m * n), std::numeric_limits<float>::quiet_NaN());
    cpu_matmul(c.s, a.data(), b.data(), y.data());
    EXPECT_TRUE(all_close(y, naive_batched(a.data(), b.data(), out, m, k, n, m * k, k * n,
                                           c.a_index, c.b_index)));
  }
}

TEST(MatMulOp, RankOneOperands) {
  const int64_t k = 6, n = 4, m = 3;
  const auto v = lcg_values(k, 1);
  const auto mat_kn = lcg_values(k * n, 2);
  const auto mat_mk = lcg_values(m * k, 3);
  int32_t rank;
  int64_t dims[6];
  {
    SCOPED_TRACE("vector x matrix");
    const MatMulShape s{1, 2, {k}, {k, n}};
    ASSERT_TRUE(cpu_matmul_output_shape(s, &rank, dims));
    EXPECT_EQ(rank, 1);
    EXPECT_EQ(dims[0], n);
    std::vector<float> y(n, std::numeric_limits<float>::quiet_NaN());
    cpu_matmul(s, v.data(), mat_kn.data(), y.data());
    EXPECT_TRUE(all_close(y, naive_batched(v.data(), mat_kn.data(), 1, 1, k, n, 0, 0, {0}, {0})));
  }
  {
    SCOPED_TRACE("batched matrix x vector");
    const MatMulShape s{3, 1, {2, m, k}, {k}};
    ASSERT_TRUE(cpu_matmul_output_shape(s, &rank, dims));
    EXPECT_EQ(std::vector<int64_t>(dims, dims + rank), (std::vector<int64_t>{2, m}));
    const auto a = lcg_values(2 * m * k, 4);
    std::vector<float> y(2 * m, std::numeric_limits<float>::quiet_NaN());
    cpu_matmul(s, a.data(), v.data(), y.data());
    EXPECT_TRUE(all_close(y, naive_batched(a.data(), v.data(), 1, 2 * m, k, 1, 0, 0, {0}, {0})));
  }
  {
    SCOPED_TRACE("vector x vector");
    const MatMulShape s{1, 1, {k}, {k}};
    ASSERT_TRUE(cpu_matmul_output_shape(s, &rank, dims));
    EXPECT_EQ(rank, 0);
    float y = std::numeric_limits<float>::quiet_NaN();
    cpu_matmul(s, v.data(), v.data(), &y);
    double want = 0;
    for (float x : v) want += double{x} * x;
    EXPECT_NEAR(y, want, 1e-5);
  }
  {
    SCOPED_TRACE("mismatched inner dimension");
    const MatMulShape s{2, 2, {m, k}, {k + 1, n}};
    EXPECT_FALSE(cpu_matmul_output_shape(s, &rank, dims));
  }
}

TEST(MatMulOp, HeadInterleavedLayout) {
  const int64_t d[4] = {2, 3, 4, 5};  // items, rows, heads, depth
  const int64_t n = 6;
  const auto a = lcg_values(2 * 3 * 4 * 5, 1);
  const auto b = lcg_values(4 * 5 * n, 2);
  std::vector<float> y(2 * 3 * 4 * n, std::numeric_limits<float>::quiet_NaN());
  cpu_matmul_head_interleaved(d, n, a.data(), b.data(), y.data());
  std::vector<double> want(y.size());
  for (int64_t it = 0; it < 2; ++it)
    for (int64_t r = 0; r < 3; ++r)
      for (int64_t h = 0; h < 4; ++h)
        for (int64_t j = 0; j < n; ++j) {
          double acc = 0;
          for (int64_t q = 0; q < 5; ++q)
            acc += double{a[((it * 3 + r) * 4 + h) * 5 + q]} * b[(h * 5 + q) * n + j];
          want[((it * 3 + r) * 4 + h) * n + j] = acc;
        }
  EXPECT_TRUE(all_close(y, want));
}

}  // namespace
}  // namespace vexa::cpu
