#include "cpu/ops/gemm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cpu/ops/parallel_for.h"
#include "cpu/quant_study.h"
#include "platform/gemm.h"

namespace vexa::cpu {

namespace {

// Batched products: the whole batch is cut into about one task per this many flops, at most
// kBatchMaxTasks, in row blocks of at least kBatchMinBlockRows rows (a multiple of
// kBatchRowAlign) so the GEMM kernel keeps full register tiles.
constexpr int64_t kBatchTaskMinFlops = 1'000'000;
constexpr int64_t kBatchMaxTasks = 48;
constexpr int64_t kBatchMinBlockRows = 16;
constexpr int64_t kBatchRowAlign = 8;

// Where one product of a batch reads and writes.
struct ProductOperands {
  const float* a;
  const float* b;
  float* y;
};

// count products Y_i (m x n, row stride ldc) = A_i (m x k, row stride lda) x B_i (k x n, ldb).
struct BatchedProducts {
  int64_t count, m, n, k, lda, ldb, ldc;
};

void zero_rows(float* y, int64_t rows, int64_t cols, int64_t ldc) {
  for (int64_t r = 0; r < rows; ++r) std::fill(y + r * ldc, y + r * ldc + cols, 0.0f);
}

void product_rows(const BatchedProducts& job, const ProductOperands& p, int64_t r0, int64_t rows) {
  float* y = p.y + r0 * job.ldc;
  if (job.k == 0) {
    zero_rows(y, rows, job.n, job.ldc);
    return;
  }
  cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(rows),
           static_cast<int32_t>(job.n), static_cast<int32_t>(job.k), 1.0f, p.a + r0 * job.lda,
           static_cast<int32_t>(job.lda), p.b, static_cast<int32_t>(job.ldb), 0.0f, y,
           static_cast<int32_t>(job.ldc), kNodeProductMinBlockFlops);
}

// Tasks a batch of this many flops is worth.
double batch_tasks_wanted(double flops) {
  return std::min(static_cast<double>(kBatchMaxTasks), flops / static_cast<double>(kBatchTaskMinFlops));
}

// Several products run side by side, each cut into the same number of row blocks, and every
// (product, row block) pair is one task with a GEMM on the thread that takes it. Products go
// whole to the GEMM wrapper, one after another, when there is one, when a few short products
// would give fewer than half the tasks their work is worth (the wrapper also splits columns),
// and while the operand-rounding study or the int8 hooks are active (they keep per-call
// scratch). Every choice depends on the shapes alone.
template <class Locate>
void run_batched_products(const BatchedProducts& job, Locate&& locate) {
  if (job.count <= 0 || job.m <= 0 || job.n <= 0) return;
  const BatchedRowSplit split = cpu_matmul_row_split(job.count, job.m, job.n, job.k);
  const int64_t tasks = job.count * split.blocks;
  const double flops = 2.0 * static_cast<double>(job.count) * static_cast<double>(job.m) *
                       static_cast<double>(job.n) * static_cast<double>(job.k);
  const bool too_few_tasks = 2.0 * static_cast<double>(tasks) < batch_tasks_wanted(flops);
  const bool serial_hooks = cpu_fakequant_enabled() || cpu_i8_prepacked_present();
  if (job.count == 1 || too_few_tasks || serial_hooks) {
    for (int64_t i = 0; i < job.count; ++i) product_rows(job, locate(i), 0, job.m);
    return;
  }
  const bool parallel = flops >= 2.0 * static_cast<double>(kBatchTaskMinFlops);
  cpu_parallel_for(tasks, parallel, [&](int64_t t) {
    const int64_t item = t / split.blocks;
    const int64_t r0 = (t % split.blocks) * split.rows;
    product_rows(job, locate(item), r0, std::min(split.rows, job.m - r0));
  });
}

}  // namespace

BatchedRowSplit cpu_matmul_row_split(int64_t count, int64_t m, int64_t n, int64_t k) {
  BatchedRowSplit split{m, 1};
  if (count <= 0 || m <= 0 || n <= 0) return split;
  // In double: four 64-bit sizes may overflow an integer product.
  const double flops = 2.0 * static_cast<double>(count) * static_cast<double>(m) *
                       static_cast<double>(n) * static_cast<double>(std::max<int64_t>(k, 1));
  const double want_tasks = batch_tasks_wanted(flops);
  if (want_tasks <= static_cast<double>(count)) return split;
  const int64_t blocks = static_cast<int64_t>(std::ceil(want_tasks / static_cast<double>(count)));
  int64_t rows = (m + blocks - 1) / blocks;
  rows = std::max(kBatchMinBlockRows, (rows + kBatchRowAlign - 1) / kBatchRowAlign * kBatchRowAlign);
  if (rows >= m) return split;
  split.rows = rows;
  split.blocks = (m + rows - 1) / rows;
  return split;
}

void cpu_gemm(int32_t order, int32_t trans_a, int32_t trans_b, int32_t m, int32_t n, int32_t k,
              float alpha, const float* a, int32_t lda, const float* b, int32_t ldb, float beta,
              float* c, int32_t ldc, int64_t min_block_flops, const GemmBlockHook* hook) {
  if (m <= 0 || n <= 0) return;
  const bool with_hook = hook != nullptr && hook->fn != nullptr;
  if (order == kCblasColMajor) {
    // A column-major product is the row-major product of the transposes with A and B swapped.
    cpu_gemm(kCblasRowMajor, trans_b, trans_a, n, m, k, alpha, b, ldb, a, lda, beta, c, ldc,
             min_block_flops);
    if (with_hook) hook->fn(hook->ctx, 0, m, 0, n);
    return;
  }
  if (cpu_i8_prepacked_present() && cpu_i8_gemm_prepacked(order, trans_a, trans_b, m, n, k, alpha,
                                                           a, lda, b, ldb, beta, c, ldc)) {
    if (with_hook) hook->fn(hook->ctx, 0, m, 0, n);
    return;
  }
  if (cpu_fakequant_enabled()) {
    const bool ta = trans_a == kCblasTrans;
    const bool tb = trans_b == kCblasTrans;
    const float* a2 = cpu_fakequant_matrix_a(a, ta, m, k, lda);
    const float* b2 = cpu_fakequant_matrix_b(b, tb, k, n, ldb);
    if (a2 != a) {
      a = a2;
      trans_a = kCblasNoTrans;
      lda = k;
    }
    if (b2 != b) {
      b = b2;
      trans_b = kCblasNoTrans;
      ldb = n;
    }
  }
  gemm_f32(trans_a == kCblasTrans, trans_b == kCblasTrans, m, n, k, alpha, a, lda, b, ldb, beta, c,
           ldc, 0, min_block_flops, hook);
}

void cpu_gemm_reference(int32_t trans_a, int32_t trans_b, int32_t m, int32_t n, int32_t k,
                        float alpha, const float* a, int32_t lda, const float* b, int32_t ldb,
                        float beta, float* c, int32_t ldc) {
  for (int64_t i = 0; i < m; ++i) {
    for (int64_t j = 0; j < n; ++j) {
      double acc = 0.0;
      for (int64_t p = 0; p < k; ++p) {
        const float av = trans_a == kCblasTrans ? a[p * lda + i] : a[i * lda + p];
        const float bv = trans_b == kCblasTrans ? b[j * ldb + p] : b[p * ldb + j];
        acc += static_cast<double>(av) * bv;
      }
      float& out = c[i * ldc + j];
      out = static_cast<float>(alpha * acc + (beta == 0.0f ? 0.0 : static_cast<double>(beta) * out));
    }
  }
}

void cpu_gemm_op(const GemmParams& p, const float* a, const float* b, const float* c, float* y) {
  if (p.m <= 0 || p.n <= 0) return;
  const int32_t lda = p.trans_a ? p.m : p.k;
  const int32_t ldb = p.trans_b ? p.k : p.n;
  float beta = 0.0f;
  if (c != nullptr && p.c_rows > 0 && p.c_cols > 0) {
    // C broadcasts to M x N: a row or column of length 1 repeats along that axis.
    const int64_t row_step = p.c_rows == 1 ? 0 : p.c_cols;
    for (int64_t i = 0; i < p.m; ++i) {
      float* row = y + i * p.n;
      const float* src = c + i * row_step;
      if (p.c_cols == 1) {
        std::fill(row, row + p.n, src[0]);
      } else {
        std::memcpy(row, src, sizeof(float) * static_cast<size_t>(p.n));
      }
    }
    beta = p.beta;
  }
  if (p.k <= 0) {
    // No products: Y is beta * C (or zero).
    for (int64_t i = 0; i < int64_t{p.m} * p.n; ++i) y[i] = beta == 0.0f ? 0.0f : beta * y[i];
    return;
  }
  cpu_gemm(kCblasRowMajor, p.trans_a ? kCblasTrans : kCblasNoTrans,
           p.trans_b ? kCblasTrans : kCblasNoTrans, p.m, p.n, p.k, p.alpha, a, lda, b, ldb, beta,
           y, p.n, kNodeProductMinBlockFlops);
}

bool cpu_matmul_output_shape(const MatMulShape& s, int32_t* y_rank, int64_t y_dims[6]) {
  if (s.a_rank < 1 || s.b_rank < 1 || s.a_rank > 6 || s.b_rank > 6) return false;
  const int64_t k_a = s.a_dims[s.a_rank - 1];
  const int64_t k_b = s.b_rank == 1 ? s.b_dims[0] : s.b_dims[s.b_rank - 2];
  if (k_a != k_b) return false;
  const int32_t a_batch = std::max(0, s.a_rank - 2);
  const int32_t b_batch = std::max(0, s.b_rank - 2);
  const int32_t batch = std::max(a_batch, b_batch);
  int32_t rank = 0;
  for (int32_t i = 0; i < batch; ++i) {
    // Right-aligned batch axes; a missing axis counts as 1.
    const int32_t ia = i - (batch - a_batch);
    const int32_t ib = i - (batch - b_batch);
    const int64_t da = ia >= 0 ? s.a_dims[ia] : 1;
    const int64_t db = ib >= 0 ? s.b_dims[ib] : 1;
    if (da != db && da != 1 && db != 1) return false;
    y_dims[rank++] = da == 1 ? db : da;
  }
  if (s.a_rank >= 2) y_dims[rank++] = s.a_dims[s.a_rank - 2];
  if (s.b_rank >= 2) y_dims[rank++] = s.b_dims[s.b_rank - 1];
  if (rank > 6) return false;
  for (int32_t i = rank; i < 6; ++i) y_dims[i] = 0;
  *y_rank = rank;
  return true;
}

bool cpu_matmul_cycles(const MatMulShape& s, int64_t* a_batches, int64_t* b_batches) {
  if (s.a_rank < 3 || s.b_rank < 3 || s.a_rank > 6 || s.b_rank > 6) return false;
  if (s.a_dims[s.a_rank - 1] != s.b_dims[s.b_rank - 2]) return false;
  int64_t na = 1, nb = 1;
  for (int32_t i = 0; i < s.a_rank - 2; ++i) na *= s.a_dims[i];
  for (int32_t i = 0; i < s.b_rank - 2; ++i) nb *= s.b_dims[i];
  if (nb == 0 || na % nb != 0) return false;
  *a_batches = na;
  *b_batches = nb;
  return true;
}

void cpu_matmul_cycled(const MatMulShape& s, const float* a, const float* b, float* y) {
  int64_t na = 0, nb = 0;
  if (!cpu_matmul_cycles(s, &na, &nb)) return;
  const int64_t m = s.a_dims[s.a_rank - 2], k = s.a_dims[s.a_rank - 1];
  const int64_t n = s.b_dims[s.b_rank - 1];
  const BatchedProducts job{na, m, n, k, k, n, n};
  run_batched_products(job, [&](int64_t i) {
    return ProductOperands{a + i * m * k, b + (i % nb) * k * n, y + i * m * n};
  });
}

void cpu_matmul(const MatMulShape& s, const float* a, const float* b, float* y) {
  int32_t y_rank = 0;
  int64_t y_dims[6];
  if (!cpu_matmul_output_shape(s, &y_rank, y_dims)) {
    cpu_matmul_cycled(s, a, b, y);
    return;
  }
  const int64_t k = s.a_dims[s.a_rank - 1];
  const int64_t m = s.a_rank >= 2 ? s.a_dims[s.a_rank - 2] : 1;
  const int64_t n = s.b_rank >= 2 ? s.b_dims[s.b_rank - 1] : 1;
  if (m == 0 || n == 0) return;
  const int32_t a_batch = std::max(0, s.a_rank - 2);
  const int32_t b_batch = std::max(0, s.b_rank - 2);
  const int32_t batch = std::max(a_batch, b_batch);
  int64_t out_batches = 1, a_batches = 1, b_batches = 1;
  for (int32_t i = 0; i < batch; ++i) out_batches *= y_dims[i];
  for (int32_t i = 0; i < a_batch; ++i) a_batches *= s.a_dims[i];
  for (int32_t i = 0; i < b_batch; ++i) b_batches *= s.b_dims[i];
  if (out_batches == 0) return;
  if (b_batches == 1 && a_batches == out_batches) {
    // One B for every item: the A batches stack into one tall product.
    const BatchedProducts job{1, a_batches * m, n, k, k, n, n};
    run_batched_products(job, [&](int64_t) { return ProductOperands{a, b, y}; });
    return;
  }
  // Strides (in matrices) of each output batch axis in A and B; 0 where broadcast.
  int64_t a_stride[6] = {}, b_stride[6] = {};
  int64_t acc_a = 1, acc_b = 1;
  for (int32_t i = batch - 1; i >= 0; --i) {
    const int32_t ia = i - (batch - a_batch);
    const int32_t ib = i - (batch - b_batch);
    const int64_t da = ia >= 0 ? s.a_dims[ia] : 1;
    const int64_t db = ib >= 0 ? s.b_dims[ib] : 1;
    a_stride[i] = da == 1 ? 0 : acc_a;
    b_stride[i] = db == 1 ? 0 : acc_b;
    acc_a *= da;
    acc_b *= db;
  }
  const BatchedProducts job{out_batches, m, n, k, k, n, n};
  run_batched_products(job, [&](int64_t item) {
    int64_t ai = 0, bi = 0, rest = item;
    for (int32_t i = batch - 1; i >= 0; --i) {
      const int64_t coord = rest % y_dims[i];
      rest /= y_dims[i];
      ai += coord * a_stride[i];
      bi += coord * b_stride[i];
    }
    return ProductOperands{a + ai * m * k, b + bi * k * n, y + item * m * n};
  });
}

void cpu_matmul_head_interleaved(const int64_t a_dims[4], int64_t n, const float* a,
                                 const float* b, float* y) {
  const int64_t d0 = a_dims[0], d1 = a_dims[1], d2 = a_dims[2], d3 = a_dims[3];
  const BatchedProducts job{d0 * d2, d1, n, d3, d2 * d3, n, d2 * n};
  run_batched_products(job, [&](int64_t index) {
    const int64_t item = index / d2, h = index % d2;
    return ProductOperands{a + item * d1 * d2 * d3 + h * d3, b + h * d3 * n,
                           y + item * d1 * d2 * n + h * n};
  });
}

}  // namespace vexa::cpu
