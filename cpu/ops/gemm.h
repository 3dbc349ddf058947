// Matrix products of the CPU engine: the one GEMM entry point and the Gemm / MatMul kernels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/gemm.h"

namespace vexa::cpu {

// CBLAS enumeration values, as the GEMM entry point takes them.
inline constexpr int32_t kCblasRowMajor = 101;
inline constexpr int32_t kCblasColMajor = 102;
inline constexpr int32_t kCblasNoTrans = 111;
inline constexpr int32_t kCblasTrans = 112;

// C = alpha * op(A) * op(B) + beta * C with the argument meaning of cblas_sgemm. Offers the
// call to the int8 hooks and the operand-rounding study first, then runs the platform GEMM.
// min_block_flops goes to the platform GEMM's cut (kGemmMinBlockFlops by default); the hook
// runs on every finished block of C (on all of C at once when a hook path took the call).
void cpu_gemm(int32_t order, int32_t trans_a, int32_t trans_b, int32_t m, int32_t n, int32_t k,
              float alpha, const float* a, int32_t lda, const float* b, int32_t ldb, float beta,
              float* c, int32_t ldc, int64_t min_block_flops = kGemmMinBlockFlops,
              const GemmBlockHook* hook = nullptr);
// Block minimum of the Gemm and MatMul nodes: their left operand is a few hundred rows of
// activations, so small blocks are row blocks that each pack all of the weights again (a small
// ViT at one thread: 7% of the run with the default).
inline constexpr int64_t kNodeProductMinBlockFlops = 8'000'000;

// Plain triple loop with the same arguments (row-major only); the oracle of the fast paths.
void cpu_gemm_reference(int32_t trans_a, int32_t trans_b, int32_t m, int32_t n, int32_t k,
                        float alpha, const float* a, int32_t lda, const float* b, int32_t ldb,
                        float beta, float* c, int32_t ldc);

// Gemm: Y (M x N) = alpha * op(A) * op(B) + beta * C. C (optional) is broadcast from a
// c_rows x c_cols matrix with c_rows in {1, M} and c_cols in {1, N}: a scalar, a row, a
// column or the full matrix. Without C, beta is ignored.
struct GemmParams {
  int32_t m = 0, n = 0, k = 0;
  bool trans_a = false, trans_b = false;
  float alpha = 1.0f, beta = 1.0f;
  int32_t c_rows = 0, c_cols = 0;  // 0 x 0 when C is absent
};
void cpu_gemm_op(const GemmParams& p, const float* a, const float* b, const float* c, float* y);

// MatMul with numpy semantics: a rank-1 A is a row [1, K] and a rank-1 B a column [K, 1] (the
// added axis is dropped from Y); batch axes broadcast on either side. Dims are outermost first.
struct MatMulShape {
  int32_t a_rank = 0, b_rank = 0;
  int64_t a_dims[6] = {};
  int64_t b_dims[6] = {};
};
// Output rank and dims of a MatMul; false when the shapes do not multiply or broadcast.
bool cpu_matmul_output_shape(const MatMulShape& s, int32_t* y_rank, int64_t y_dims[6]);
void cpu_matmul(const MatMulShape& s, const float* a, const float* b, float* y);

// Batch axes that do not broadcast but whose flattened counts divide (A with na matrices, B
// with nb, nb dividing na): A's batch i multiplies B's batch i mod nb, Y has na matrices.
// cpu_matmul falls back to this when the shapes do not broadcast.
bool cpu_matmul_cycles(const MatMulShape& s, int64_t* a_batches, int64_t* b_batches);
void cpu_matmul_cycled(const MatMulShape& s, const float* a, const float* b, float* y);

// The head-interleaved layout: A [D0, D1, D2, D3], B as D2 consecutive D3 x N matrices,
// Y [D0, D1, D2, N]; head h of every item multiplies by B's h-th matrix.
void cpu_matmul_head_interleaved(const int64_t a_dims[4], int64_t n, const float* a,
                                 const float* b, float* y);

// How the batched MatMuls above cut their products into tasks: every product's rows in
// `blocks` blocks of `rows` rows (the last may be shorter), each block one task on the pool.
// A function of the shapes alone, so results are byte-identical under any thread count.
struct BatchedRowSplit {
  int64_t rows = 0;
  int64_t blocks = 1;
};
BatchedRowSplit cpu_matmul_row_split(int64_t count, int64_t m, int64_t n, int64_t k);

}  // namespace vexa::cpu
