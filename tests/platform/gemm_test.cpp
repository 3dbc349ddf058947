#include "platform/gemm.h"

#include <gtest/gtest.h>

#include <mutex>

#include <atomic>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/thread_pool.h"

namespace vexa {
namespace {

struct Shape {
  int64_t M, N, K;
};

// Stored operands with their leading dimensions; `pad` extra floats per row.
struct Operands {
  bool ta, tb;
  int64_t M, N, K, lda, ldb, ldc;
  std::vector<float> A, B, C;
};

Operands make_operands(Shape s, bool ta, bool tb, int64_t pad, uint32_t seed) {
  Operands o{ta, tb, s.M, s.N, s.K, 0, 0, 0, {}, {}, {}};
  o.lda = (ta ? s.M : s.K) + pad;
  o.ldb = (tb ? s.K : s.N) + pad;
  o.ldc = s.N + pad;
  int64_t a_rows = ta ? s.K : s.M, b_rows = tb ? s.N : s.K;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  o.A.resize(static_cast<size_t>(std::max<int64_t>(1, a_rows * o.lda)));
  o.B.resize(static_cast<size_t>(std::max<int64_t>(1, b_rows * o.ldb)));
  o.C.resize(static_cast<size_t>(std::max<int64_t>(1, s.M * o.ldc)));
  for (float& v : o.A) v = dist(rng);
  for (float& v : o.B) v = dist(rng);
  for (float& v : o.C) v = dist(rng);
  return o;
}

float op_a(const Operands& o, int64_t i, int64_t k) {
  return o.ta ? o.A[k * o.lda + i] : o.A[i * o.lda + k];
}
float op_b(const Operands& o, int64_t k, int64_t j) {
  return o.tb ? o.B[j * o.ldb + k] : o.B[k * o.ldb + j];
}

// Naive product in double; checks every element of C against a forward error bound and
// that the padding between rows was left alone.
void expect_matches_reference(const Operands& before, const std::vector<float>& got, float alpha,
                              float beta, const char* what) {
  int bad = 0;
  for (int64_t i = 0; i < before.M; ++i) {
    for (int64_t j = 0; j < before.ldc; ++j) {
      const size_t at = static_cast<size_t>(i * before.ldc + j);
      if (j >= before.N) {
        if (std::memcmp(&got[at], &before.C[at], sizeof(float)) != 0 && bad++ < 5) {
          ADD_FAILURE() << what << ": padding changed at " << i << "," << j;
        }
        continue;
      }
      double sum = 0.0, mag = 0.0;
      for (int64_t k = 0; k < before.K; ++k) {
        double p = static_cast<double>(op_a(before, i, k)) * op_b(before, k, j);
        sum += p;
        mag += std::fabs(p);
      }
      double c0 = beta == 0.0f ? 0.0 : static_cast<double>(beta) * before.C[at];
      double want = static_cast<double>(alpha) * sum + c0;
      double tol = 4.0 * static_cast<double>(before.K + 2) * FLT_EPSILON *
                       (std::fabs(alpha) * mag + std::fabs(c0)) +
                   1e-30;
      if (!(std::fabs(got[at] - want) <= tol) && bad++ < 5) {
        ADD_FAILURE() << what << ": C[" << i << "][" << j << "] = " << got[at] << ", want "
                      << want << " (tol " << tol << ")";
      }
    }
  }
}

std::string describe(Shape s, bool ta, bool tb, float alpha, float beta, int64_t pad) {
  return "M=" + std::to_string(s.M) + " N=" + std::to_string(s.N) + " K=" +
         std::to_string(s.K) + " ta=" + std::to_string(ta) + " tb=" + std::to_string(tb) +
         " alpha=" + std::to_string(alpha) + " beta=" + std::to_string(beta) +
         " pad=" + std::to_string(pad);
}

// Covers every kernel (gemv both ways, small OpenBLAS, oneDNN unsplit, split by columns,
// by rows and both) and block edges that don't divide the size.
const Shape kShapes[] = {
    {1, 1, 1},     {1, 7, 5},     {7, 1, 5},     {1, 1000, 300}, {700, 1, 129}, {3, 5, 7},
    {64, 64, 64},  {65, 64, 64},  {64, 65, 64},  {64, 64, 65},   {2, 3, 200},   {17, 300, 33},
    {128, 784, 96}, {256, 49, 160}, {200, 333, 77}, {96, 1111, 24}, {513, 130, 40},
    // Narrow products cut into a multiple of 16 columns and the rest inside each block.
    {97, 33, 70},  {130, 47, 90},  {300, 63, 100}, {1000, 49, 70}, {150, 196, 80},
};

TEST(Gemm, MatchesNaiveProductForAllTransposesAndScalings) {
  struct Scaling {
    float alpha, beta;
  };
  const Scaling scalings[] = {{1.0f, 0.0f}, {0.5f, 2.0f}, {-1.5f, 1.0f}};
  uint32_t seed = 1;
  for (Shape s : kShapes) {
    for (int t = 0; t < 4; ++t) {
      bool ta = t & 1, tb = t & 2;
      for (Scaling sc : scalings) {
        int64_t pad = (seed % 2) ? 3 : 0;
        Operands o = make_operands(s, ta, tb, pad, seed++);
        std::vector<float> c = o.C;
        std::string what = describe(s, ta, tb, sc.alpha, sc.beta, pad);
        ASSERT_TRUE(gemm_f32(ta, tb, s.M, s.N, s.K, sc.alpha, o.A.data(), o.lda, o.B.data(),
                             o.ldb, sc.beta, c.data(), o.ldc))
            << what;
        expect_matches_reference(o, c, sc.alpha, sc.beta, what.c_str());
      }
    }
  }
}

TEST(Gemm, BetaZeroIgnoresGarbageInC) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (Shape s : {Shape{1, 40, 30}, Shape{40, 1, 30}, Shape{20, 20, 20}, Shape{150, 300, 80}}) {
    Operands o = make_operands(s, false, false, 0, 7);
    std::fill(o.C.begin(), o.C.end(), nan);
    std::vector<float> c = o.C;
    ASSERT_TRUE(gemm_f32(false, false, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(), o.ldb,
                         0.0f, c.data(), o.ldc));
    expect_matches_reference(o, c, 1.0f, 0.0f, "beta 0 over NaN");
  }
}

TEST(Gemm, AlphaZeroOrEmptyKOnlyScalesC) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> a(12, nan), b(12, nan);
  std::vector<float> c = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(gemm_f32(false, false, 2, 3, 4, 0.0f, a.data(), 4, b.data(), 3, 2.0f, c.data(), 3));
  EXPECT_EQ(c, (std::vector<float>{2, 4, 6, 8, 10, 12}));
  ASSERT_TRUE(gemm_f32(false, false, 2, 3, 0, 1.0f, nullptr, 1, nullptr, 3, 0.5f, c.data(), 3));
  EXPECT_EQ(c, (std::vector<float>{1, 2, 3, 4, 5, 6}));
  std::fill(c.begin(), c.end(), nan);
  ASSERT_TRUE(gemm_f32(false, false, 2, 3, 0, 1.0f, nullptr, 1, nullptr, 3, 0.0f, c.data(), 3));
  EXPECT_EQ(c, (std::vector<float>(6, 0.0f)));
  // Nothing to write: true without touching any pointer.
  EXPECT_TRUE(gemm_f32(false, false, 0, 3, 4, 1.0f, nullptr, 4, nullptr, 3, 0.0f, nullptr, 3));
}

TEST(Gemm, RefusesBadArgumentsWithoutWriting) {
  std::vector<float> a(64, 1.0f), b(64, 1.0f), c(64, 7.0f);
  struct Bad {
    bool ta, tb;
    int64_t M, N, K, lda, ldb, ldc;
    bool null_a, null_c;
    const char* why;
  };
  const Bad cases[] = {
      {false, false, -1, 2, 2, 2, 2, 2, false, false, "negative M"},
      {false, false, 2, 2, -3, 2, 2, 2, false, false, "negative K"},
      {false, false, 2, 3, 4, 3, 3, 3, false, false, "lda below K"},
      {true, false, 5, 3, 4, 4, 3, 3, false, false, "transposed lda below M"},
      {false, false, 2, 3, 4, 4, 2, 3, false, false, "ldb below N"},
      {false, true, 2, 3, 4, 4, 3, 3, false, false, "transposed ldb below K"},
      {false, false, 2, 3, 4, 4, 3, 2, false, false, "ldc below N"},
      {false, false, 2, 3, 4, 4, 3, 3, true, false, "null A"},
      {false, false, 2, 3, 4, 4, 3, 3, false, true, "null C"},
      {false, false, int64_t{1} << 32, 3, 4, 4, 3, 3, false, false, "M beyond 32 bits"},
  };
  for (const Bad& t : cases) {
    EXPECT_FALSE(gemm_f32(t.ta, t.tb, t.M, t.N, t.K, 1.0f, t.null_a ? nullptr : a.data(), t.lda,
                          b.data(), t.ldb, 0.0f, t.null_c ? nullptr : c.data(), t.ldc))
        << t.why;
    for (float v : c) ASSERT_EQ(v, 7.0f) << t.why;
  }
}

TEST(Gemm, SameBytesWithOneTwoAndEightThreads) {
  const Shape shapes[] = {{64, 3136, 576}, {256, 196, 512}, {512, 49, 1152}, {1, 1000, 2048},
                          {1000, 1, 512},  {48, 48, 48},    {1000, 47, 90}};
  for (Shape s : shapes) {
    for (bool tb : {false, true}) {
      Operands o = make_operands(s, false, tb, 0, 99);
      std::vector<float> ref;
      for (unsigned threads : {1u, 2u, 8u}) {
        std::vector<float> c = o.C;
        ASSERT_TRUE(gemm_f32(false, tb, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(), o.ldb,
                             0.5f, c.data(), o.ldc, threads));
        if (ref.empty()) {
          ref = c;
        } else {
          EXPECT_EQ(0, std::memcmp(ref.data(), c.data(), c.size() * sizeof(float)))
              << describe(s, false, tb, 1, 0.5f, 0) << " threads=" << threads;
        }
      }
      {
        ThreadCapScope scope(3);  // the scoped cap gives the same bytes too
        std::vector<float> c = o.C;
        ASSERT_TRUE(gemm_f32(false, tb, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(), o.ldb,
                             0.5f, c.data(), o.ldc));
        EXPECT_EQ(0, std::memcmp(ref.data(), c.data(), c.size() * sizeof(float)));
      }
    }
  }
}

TEST(Gemm, CalledFromParallelBodiesGivesTheSerialBytes) {
  // An engine may run independent products (groups, batch items) in parallel; each call
  // then runs inline on its worker and must equal the same call made alone.
  constexpr int kProducts = 6;
  const Shape s{96, 400, 72};
  std::vector<Operands> ops;
  for (int p = 0; p < kProducts; ++p) ops.push_back(make_operands(s, p % 2, false, 0, 50 + p));
  std::vector<std::vector<float>> alone(kProducts), nested(kProducts);
  for (int p = 0; p < kProducts; ++p) {
    Operands& o = ops[p];
    alone[p] = o.C;
    ASSERT_TRUE(gemm_f32(o.ta, o.tb, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(), o.ldb,
                         0.0f, alone[p].data(), o.ldc));
    nested[p] = o.C;
  }
  std::vector<int> ok(kProducts, 0);
  parallel_for(kProducts, [&](size_t p) {
    Operands& o = ops[p];
    ok[p] = gemm_f32(o.ta, o.tb, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(), o.ldb, 0.0f,
                     nested[p].data(), o.ldc);
  });
  for (int p = 0; p < kProducts; ++p) {
    EXPECT_EQ(ok[p], 1);
    EXPECT_EQ(0, std::memcmp(alone[p].data(), nested[p].data(), alone[p].size() * sizeof(float)))
        << "product " << p;
  }
}

TEST(Gemm, ChoosesTheKernelByShape) {
  struct Case {
    Shape s;
    GemmKernel kernel;
  };
  const Case cases[] = {
      {{0, 5, 5}, GemmKernel::kNone},      {{5, 5, 0}, GemmKernel::kNone},
      {{1, 1000, 2048}, GemmKernel::kBlasGemv}, {{300, 1, 20}, GemmKernel::kBlasGemv},
      {{1, 1, 1}, GemmKernel::kBlasGemv},  {{64, 64, 64}, GemmKernel::kBlasSmall},
      {{2, 2, 2}, GemmKernel::kBlasSmall}, {{65, 64, 64}, GemmKernel::kOneDnn},
      {{64, 64, 65}, GemmKernel::kOneDnn}, {{64, 3136, 576}, GemmKernel::kOneDnn},
      {{INT32_MAX, INT32_MAX, INT32_MAX}, GemmKernel::kOneDnn},
      {{int64_t{1} << 31, 5, 5}, GemmKernel::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gemm_choose_kernel(c.s.M, c.s.N, c.s.K).kernel, c.kernel)
        << c.s.M << "x" << c.s.N << "x" << c.s.K;
    EXPECT_EQ(gemm_prefers_untransposed_b(c.s.M, c.s.N, c.s.K), c.kernel == GemmKernel::kOneDnn);
  }
}

TEST(Gemm, NarrowOneDnnProductsSplitTheirColumns) {
  struct Case {
    Shape s;
    int64_t split_col;
  };
  const Case cases[] = {
      {{512, 49, 4608}, 48}, {{130, 47, 90}, 32}, {{97, 33, 70}, 32}, {{300, 63, 100}, 48},
      {{300, 32, 100}, 0},   {{300, 48, 100}, 0}, {{300, 64, 100}, 0}, {{300, 65, 100}, 64},
      {{256, 196, 2304}, 192}, {{160, 100, 960}, 96}, {{64, 3136, 576}, 0},
      {{40, 49, 40}, 0},  // small product: OpenBLAS, not cut
      {{1, 49, 4608}, 0},  // one row: matrix-vector
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gemm_choose_kernel(c.s.M, c.s.N, c.s.K).split_col, c.split_col)
        << c.s.M << "x" << c.s.N << "x" << c.s.K;
  }
}

TEST(Gemm, BlockGridTilesTheOutputExactly) {
  const Shape shapes[] = {{64, 12544, 147}, {64, 3136, 576},  {256, 3136, 64}, {128, 784, 1152},
                          {256, 196, 2304}, {2048, 49, 512},  {512, 49, 4608}, {1, 1000, 2048},
                          {1000, 1, 2048},  {65, 65, 65},     {3, 100000, 3},  {100000, 3, 3},
                          {INT32_MAX, INT32_MAX, INT32_MAX}};
  for (Shape s : shapes) {
    GemmPlan p = gemm_choose_kernel(s.M, s.N, s.K);
    SCOPED_TRACE(std::to_string(s.M) + "x" + std::to_string(s.N) + "x" + std::to_string(s.K));
    ASSERT_GE(p.row_block, 1);
    ASSERT_GE(p.col_block, 1);
    EXPECT_EQ(p.block_count, p.row_count * p.col_count);
    EXPECT_GE(p.row_block * p.row_count, s.M);
    EXPECT_LT(p.row_block * (p.row_count - 1), s.M);
    EXPECT_GE(p.col_block * p.col_count, s.N);
    EXPECT_LT(p.col_block * (p.col_count - 1), s.N);
    EXPECT_LE(p.block_count, 24);
  }
}

// Records every block the hook sees: each output must be covered once, and when the hook
// runs its block must already hold the finished product.
struct HookLog {
  const std::vector<float>* want;  // the finished product
  const float* c;
  int64_t ldc;
  std::vector<int> visits;
  std::atomic<int> unfinished{0};
  std::mutex lock;

  static void record(void* ctx, int64_t row0, int64_t rows, int64_t col0, int64_t cols) {
    auto& log = *static_cast<HookLog*>(ctx);
    std::lock_guard<std::mutex> hold(log.lock);
    for (int64_t i = row0; i < row0 + rows; ++i) {
      for (int64_t j = col0; j < col0 + cols; ++j) {
        ++log.visits[static_cast<size_t>(i * log.ldc + j)];
        if (log.c[i * log.ldc + j] != (*log.want)[static_cast<size_t>(i * log.ldc + j)])
          log.unfinished.fetch_add(1);
      }
    }
  }
};

TEST(Gemm, BlockHookSeesEveryFinishedBlockOnce) {
  // One row, one column, a small OpenBLAS product, oneDNN grids with and without a split
  // column, and an empty inner dimension (C only scaled).
  const Shape shapes[] = {{1, 300, 64}, {300, 1, 64}, {20, 30, 40}, {96, 784, 64},
                          {256, 196, 300}, {64, 3136, 27}, {5, 7, 0}};
  for (Shape s : shapes) {
    SCOPED_TRACE(std::to_string(s.M) + "x" + std::to_string(s.N) + "x" + std::to_string(s.K));
    const Operands o = make_operands(s, false, false, 1, 7);
    std::vector<float> want(o.C);
    ASSERT_TRUE(gemm_f32(false, false, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(), o.ldb,
                         0.5f, want.data(), o.ldc));
    for (unsigned threads : {1u, 8u}) {
      std::vector<float> c(o.C);
      HookLog log;
      log.want = &want;
      log.c = c.data();
      log.ldc = o.ldc;
      log.visits.assign(c.size(), 0);
      const GemmBlockHook hook{HookLog::record, &log};
      ASSERT_TRUE(gemm_f32(false, false, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(),
                           o.ldb, 0.5f, c.data(), o.ldc, threads, kGemmMinBlockFlops, &hook));
      EXPECT_EQ(c, want);
      EXPECT_EQ(log.unfinished.load(), 0);
      for (int64_t i = 0; i < s.M; ++i) {
        for (int64_t j = 0; j < s.N; ++j)
          ASSERT_EQ(log.visits[static_cast<size_t>(i * o.ldc + j)], 1) << i << "," << j;
      }
    }
  }
}

TEST(Gemm, LargerBlockMinimumCutsFewerBlocksWithTheSameBytesOnAnyThreadCount) {
  // Token-by-weight products of a small ViT: with 8 MFLOP blocks they cut into fewer, taller
  // blocks than the default, every block still carrying the minimum.
  constexpr int64_t kLarger = 8'000'000;
  const Shape shapes[] = {{197, 192, 768}, {197, 768, 192}, {197, 576, 192}, {197, 192, 192}};
  for (Shape s : shapes) {
    SCOPED_TRACE(std::to_string(s.M) + "x" + std::to_string(s.N) + "x" + std::to_string(s.K));
    const GemmPlan base = gemm_choose_kernel(s.M, s.N, s.K);
    const GemmPlan big = gemm_choose_kernel(s.M, s.N, s.K, kLarger);
    EXPECT_LE(big.block_count, base.block_count);
    EXPECT_LE(big.block_count, std::max<int64_t>(1, 2 * s.M * s.N * s.K / kLarger));
    Operands o = make_operands(s, false, false, 0, 7);
    std::vector<float> ref;
    for (unsigned threads : {1u, 2u, 8u}) {
      std::vector<float> c = o.C;
      ASSERT_TRUE(gemm_f32(false, false, s.M, s.N, s.K, 1.0f, o.A.data(), o.lda, o.B.data(),
                           o.ldb, 0.0f, c.data(), o.ldc, threads, kLarger));
      if (ref.empty()) {
        ref = c;
        // And the product itself is right.
        for (int64_t m = 0; m < s.M; m += 37)
          for (int64_t n = 0; n < s.N; n += 29) {
            double want = 0.0;
            for (int64_t k = 0; k < s.K; ++k) want += double{o.A[m * o.lda + k]} * o.B[k * o.ldb + n];
            ASSERT_NEAR(c[m * o.ldc + n], want, 1e-4);
          }
      } else {
        EXPECT_EQ(0, std::memcmp(ref.data(), c.data(), c.size() * sizeof(float))) << threads;
      }
    }
  }
}

TEST(Gemm, PackedTransposeGivesTheSameProduct) {
  const int64_t M = 50, N = 97, K = 70, ld = K + 5;
  Operands o = make_operands({M, N, K}, false, true, 5, 3);
  ASSERT_EQ(o.ldb, ld);
  std::vector<float> packed(static_cast<size_t>(K * N));
  gemm_pack_transposed(o.B.data(), N, K, ld, packed.data());
  for (int64_t k = 0; k < K; ++k) {
    for (int64_t j = 0; j < N; ++j) {
      ASSERT_EQ(packed[k * N + j], o.B[j * ld + k]) << k << "," << j;
    }
  }
  std::vector<float> c = o.C;
  ASSERT_TRUE(gemm_f32(false, false, M, N, K, 1.0f, o.A.data(), o.lda, packed.data(), N, 0.0f,
                       c.data(), o.ldc));
  expect_matches_reference(o, c, 1.0f, 0.0f, "packed B");
}

TEST(Gemm, WarmUpIsRepeatable) {
  gemm_warm_up();
  gemm_warm_up();
  EXPECT_STREQ(gemm_kernel_name(GemmKernel::kOneDnn), "onednn");
  EXPECT_STREQ(gemm_kernel_name(GemmKernel::kBlasSmall), "openblas");
  EXPECT_STREQ(gemm_kernel_name(GemmKernel::kBlasGemv), "gemv");
}

}  // namespace
}  // namespace vexa
