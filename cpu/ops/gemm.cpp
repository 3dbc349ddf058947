#include "cpu/ops/gemm.h"

#include <algorithm>
#include <cstring>

#include "cpu/quant_study.h"
#include "platform/gemm.h"

namespace vexa::cpu {

void cpu_gemm(int32_t order, int32_t trans_a, int32_t trans_b, int32_t m, int32_t n, int32_t k,
              float alpha, const float* a, int32_t lda, const float* b, int32_t ldb, float beta,
              float* c, int32_t ldc) {
  if (m <= 0 || n <= 0) return;
  if (order == kCblasColMajor) {
    // A column-major product is the row-major product of the transposes with A and B swapped.
    cpu_gemm(kCblasRowMajor, trans_b, trans_a, n, m, k, alpha, b, ldb, a, lda, beta, c, ldc);
    return;
  }
  if (cpu_i8_prepacked_present() &&
      cpu_i8_gemm_prepacked(order, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc))
    return;
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
           ldc);
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
           y, p.n);
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
  if (m == 0 || n == 0) return;
  for (int64_t i = 0; i < na; ++i) {
    float* yi = y + i * m * n;
    if (k == 0) {
      std::fill(yi, yi + m * n, 0.0f);
      continue;
    }
    cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(m),
             static_cast<int32_t>(n), static_cast<int32_t>(k), 1.0f, a + i * m * k,
             static_cast<int32_t>(k), b + (i % nb) * k * n, static_cast<int32_t>(n), 0.0f, yi,
             static_cast<int32_t>(n));
  }
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
  if (k == 0) {
    std::fill(y, y + out_batches * m * n, 0.0f);
    return;
  }
  const int32_t ldb = static_cast<int32_t>(n);
  if (b_batches == 1 && a_batches == out_batches) {
    // One B for every item: the A batches stack into one tall product.
    cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(a_batches * m),
             static_cast<int32_t>(n), static_cast<int32_t>(k), 1.0f, a, static_cast<int32_t>(k),
             b, ldb, 0.0f, y, static_cast<int32_t>(n));
    return;
  }
  // Element strides (in matrices) of each output batch axis in A and B; 0 where broadcast.
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
  int64_t index[6] = {};
  for (int64_t item = 0; item < out_batches; ++item) {
    int64_t ai = 0, bi = 0;
    for (int32_t i = 0; i < batch; ++i) {
      ai += index[i] * a_stride[i];
      bi += index[i] * b_stride[i];
    }
    cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(m),
             static_cast<int32_t>(n), static_cast<int32_t>(k), 1.0f, a + ai * m * k,
             static_cast<int32_t>(k), b + bi * k * n, ldb, 0.0f, y + item * m * n,
             static_cast<int32_t>(n));
    for (int32_t i = batch - 1; i >= 0; --i) {
      if (++index[i] < y_dims[i]) break;
      index[i] = 0;
    }
  }
}

void cpu_matmul_head_interleaved(const int64_t a_dims[4], int64_t n, const float* a,
                                 const float* b, float* y) {
  const int64_t d0 = a_dims[0], d1 = a_dims[1], d2 = a_dims[2], d3 = a_dims[3];
  if (d1 == 0 || n == 0) return;
  for (int64_t item = 0; item < d0; ++item) {
    for (int64_t h = 0; h < d2; ++h) {
      const float* a_rows = a + item * d1 * d2 * d3 + h * d3;
      float* y_rows = y + item * d1 * d2 * n + h * n;
      if (d3 == 0) {
        for (int64_t r = 0; r < d1; ++r) std::fill(y_rows + r * d2 * n, y_rows + r * d2 * n + n, 0.0f);
        continue;
      }
      cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(d1),
               static_cast<int32_t>(n), static_cast<int32_t>(d3), 1.0f, a_rows,
               static_cast<int32_t>(d2 * d3), b + h * d3 * n, static_cast<int32_t>(n), 0.0f, y_rows,
               static_cast<int32_t>(d2 * n));
    }
  }
}

}  // namespace vexa::cpu
