// Batched MatMul run as parallel (product, row block) tasks: values against a naive loop and
// identical bytes at every thread count.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "cpu/ops/gemm.h"
#include "dense_tolerance.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::all_close;
using testing::lcg_values;

constexpr unsigned kThreadCounts[] = {1, 2, 3, 8};

// Naive numpy-style batched product over right-aligned, broadcast batch axes.
std::vector<double> naive_matmul(const MatMulShape& s, const std::vector<float>& a,
                                 const std::vector<float>& b, const std::vector<int64_t>& y_batch) {
  const int64_t m = s.a_dims[s.a_rank - 2], k = s.a_dims[s.a_rank - 1];
  const int64_t n = s.b_dims[s.b_rank - 1];
  const int rank = static_cast<int>(y_batch.size());
  int64_t items = 1;
  for (int64_t d : y_batch) items *= d;
  std::vector<double> y(static_cast<size_t>(items * m * n));
  for (int64_t item = 0; item < items; ++item) {
    // Coordinates of the output matrix, then each operand's matrix index.
    std::vector<int64_t> coord(rank);
    int64_t rest = item;
    for (int i = rank - 1; i >= 0; --i) {
      coord[i] = rest % y_batch[i];
      rest /= y_batch[i];
    }
    int64_t ai = 0, bi = 0;
    for (int i = 0; i < rank; ++i) {
      const int ia = i - (rank - (s.a_rank - 2));
      const int ib = i - (rank - (s.b_rank - 2));
      if (ia >= 0) ai = ai * s.a_dims[ia] + (s.a_dims[ia] == 1 ? 0 : coord[i]);
      if (ib >= 0) bi = bi * s.b_dims[ib] + (s.b_dims[ib] == 1 ? 0 : coord[i]);
    }
    for (int64_t r = 0; r < m; ++r)
      for (int64_t c = 0; c < n; ++c) {
        double acc = 0;
        for (int64_t q = 0; q < k; ++q)
          acc += double{a[(ai * m + r) * k + q]} * b[(bi * k + q) * n + c];
        y[(item * m + r) * n + c] = acc;
      }
  }
  return y;
}

int64_t matrices(int rank, const int64_t* dims) {
  int64_t count = 1;
  for (int i = 0; i < rank - 2; ++i) count *= dims[i];
  return count;
}

struct BatchedCase {
  const char* name;
  MatMulShape s;
  std::vector<int64_t> y_batch;
};

TEST(BatchedMatMul, BroadcastOnEitherSideMatchesNaiveLoopAtEveryThreadCount) {
  // Sizes large enough to be cut into row blocks (odd, so the last block is short) and small
  // products that only run side by side.
  const BatchedCase cases[] = {
      {"attention scores, rank 4", {4, 4, {1, 3, 197, 64}, {1, 3, 64, 197}}, {1, 3}},
      {"attention values, rank 4", {4, 4, {1, 3, 197, 197}, {1, 3, 197, 64}}, {1, 3}},
      {"rank 3 equal batches", {3, 3, {2, 131, 37}, {2, 37, 71}}, {2}},
      {"B broadcast, rank 3", {3, 3, {5, 67, 45}, {1, 45, 53}}, {5}},
      {"A broadcast, rank 3", {3, 3, {1, 89, 33}, {4, 33, 61}}, {4}},
      {"A rank 2 against rank 4 B", {2, 4, {75, 29}, {2, 3, 29, 43}}, {2, 3}},
      {"both broadcast, rank 4", {4, 4, {2, 1, 57, 41}, {1, 3, 41, 47}}, {2, 3}},
      {"B rank 3 under rank 4 A", {4, 3, {2, 2, 113, 17}, {2, 17, 19}}, {2, 2}},
      {"many tiny products", {3, 3, {40, 3, 5}, {40, 5, 7}}, {40}},
      // Two short, wide products: each goes whole to the GEMM wrapper's own split.
      {"few short wide products", {3, 3, {2, 9, 300}, {2, 300, 1100}}, {2}},
  };
  for (const BatchedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const MatMulShape& s = c.s;
    const int64_t m = s.a_dims[s.a_rank - 2], k = s.a_dims[s.a_rank - 1];
    const int64_t n = s.b_dims[s.b_rank - 1];
    const auto a = lcg_values(static_cast<size_t>(matrices(s.a_rank, s.a_dims) * m * k), 11);
    const auto b = lcg_values(static_cast<size_t>(matrices(s.b_rank, s.b_dims) * k * n), 12);
    int32_t rank = 0;
    int64_t dims[6];
    ASSERT_TRUE(cpu_matmul_output_shape(s, &rank, dims));
    std::vector<int64_t> want_dims = c.y_batch;
    want_dims.push_back(m);
    want_dims.push_back(n);
    ASSERT_EQ(std::vector<int64_t>(dims, dims + rank), want_dims);
    const auto want = naive_matmul(s, a, b, c.y_batch);
    std::vector<float> first;
    for (unsigned threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      ThreadCapScope cap(threads);
      std::vector<float> y(want.size(), std::numeric_limits<float>::quiet_NaN());
      cpu_matmul(s, a.data(), b.data(), y.data());
      EXPECT_TRUE(all_close(y, want, static_cast<double>(k)));
      if (first.empty()) first = y;
      EXPECT_EQ(0, std::memcmp(y.data(), first.data(), y.size() * sizeof(float)));
    }
  }
}

TEST(BatchedMatMul, CycledBatchesAndHeadInterleavedLayoutSplitTheSameWay) {
  {
    SCOPED_TRACE("B cycled: A batches 0..5 take B batches 0, 1, 2, 0, 1, 2");
    const int64_t m = 97, k = 51, n = 83;
    const MatMulShape s{3, 3, {6, m, k}, {3, k, n}};
    const auto a = lcg_values(static_cast<size_t>(6 * m * k), 21);
    const auto b = lcg_values(static_cast<size_t>(3 * k * n), 22);
    std::vector<double> want(static_cast<size_t>(6 * m * n));
    for (int64_t t = 0; t < 6; ++t)
      for (int64_t r = 0; r < m; ++r)
        for (int64_t c = 0; c < n; ++c) {
          double acc = 0;
          for (int64_t q = 0; q < k; ++q)
            acc += double{a[(t * m + r) * k + q]} * b[((t % 3) * k + q) * n + c];
          want[(t * m + r) * n + c] = acc;
        }
    std::vector<float> first;
    for (unsigned threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      ThreadCapScope cap(threads);
      std::vector<float> y(want.size(), std::numeric_limits<float>::quiet_NaN());
      cpu_matmul_cycled(s, a.data(), b.data(), y.data());
      EXPECT_TRUE(all_close(y, want, static_cast<double>(k)));
      if (first.empty()) first = y;
      EXPECT_EQ(0, std::memcmp(y.data(), first.data(), y.size() * sizeof(float)));
    }
  }
  {
    SCOPED_TRACE("head-interleaved, rows cut into blocks");
    const int64_t d[4] = {2, 141, 3, 48};  // items, rows, heads, depth
    const int64_t n = 77;
    const auto a = lcg_values(static_cast<size_t>(d[0] * d[1] * d[2] * d[3]), 31);
    const auto b = lcg_values(static_cast<size_t>(d[2] * d[3] * n), 32);
    std::vector<double> want(static_cast<size_t>(d[0] * d[1] * d[2] * n));
    for (int64_t it = 0; it < d[0]; ++it)
      for (int64_t r = 0; r < d[1]; ++r)
        for (int64_t h = 0; h < d[2]; ++h)
          for (int64_t j = 0; j < n; ++j) {
            double acc = 0;
            for (int64_t q = 0; q < d[3]; ++q)
              acc += double{a[((it * d[1] + r) * d[2] + h) * d[3] + q]} * b[(h * d[3] + q) * n + j];
            want[((it * d[1] + r) * d[2] + h) * n + j] = acc;
          }
    std::vector<float> first;
    for (unsigned threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      ThreadCapScope cap(threads);
      std::vector<float> y(want.size(), std::numeric_limits<float>::quiet_NaN());
      cpu_matmul_head_interleaved(d, n, a.data(), b.data(), y.data());
      EXPECT_TRUE(all_close(y, want, static_cast<double>(d[3])));
      if (first.empty()) first = y;
      EXPECT_EQ(0, std::memcmp(y.data(), first.data(), y.size() * sizeof(float)));
    }
  }
}

TEST(BatchedMatMul, EmptyDepthWritesZerosIntoEveryBlock) {
  const MatMulShape s{3, 3, {3, 150, 0}, {3, 0, 90}};
  for (unsigned threads : {1u, 8u}) {
    ThreadCapScope cap(threads);
    std::vector<float> y(3 * 150 * 90, std::numeric_limits<float>::quiet_NaN());
    cpu_matmul(s, nullptr, nullptr, y.data());
    for (float v : y) ASSERT_EQ(v, 0.0f);
  }
}

TEST(BatchedMatMul, RowSplitCoversEveryRowOnce) {
  struct Shape {
    int64_t count, m, n, k;
  };
  const Shape shapes[] = {{3, 197, 197, 64}, {3, 197, 64, 197}, {1, 1000, 1000, 1000},
                          {64, 17, 17, 17},  {2, 9, 500, 500},  {5, 1, 4096, 4096},
                          {2, 131, 71, 37},  {1, 3, 4, 5},      {7, 1 << 20, 8, 8}};
  for (const Shape& sh : shapes) {
    SCOPED_TRACE(sh.m);
    const BatchedRowSplit split = cpu_matmul_row_split(sh.count, sh.m, sh.n, sh.k);
    ASSERT_GE(split.blocks, 1);
    ASSERT_GE(split.rows, 1);
    EXPECT_GE(split.rows * split.blocks, sh.m);
    EXPECT_LT(split.rows * (split.blocks - 1), sh.m);  // no empty block
    if (split.blocks > 1) {
      EXPECT_EQ(split.rows % 8, 0);
    }
  }
}

}  // namespace
}  // namespace vexa::cpu
