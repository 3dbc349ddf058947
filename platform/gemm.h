// The one single-precision matrix product of the process.
//
//   C = alpha * op(A) * op(B) + beta * C      (row-major; op(X) = X or X^T)
//
// op(A) is M x K, op(B) is K x N, C is M x N. Stored A is M x K (lda >= K) or, transposed,
// K x M (lda >= M); stored B is K x N (ldb >= N) or, transposed, N x K (ldb >= K);
// ldc >= N. As in BLAS, beta == 0 means C is not read (NaN or garbage there is ignored).
//
// The product is cut into a fixed set of column blocks of C (row blocks when C has few
// columns), chosen from (M, N, K) alone, and the blocks run on the process thread pool
// with the library single-threaded in each. The cut never depends on the thread count,
// so results are byte-identical on any number of cores and under any thread cap
// (ThreadCapScope or the max_threads argument, as for parallel_apply). Called from inside a
// parallel_apply body it runs all blocks on that thread.
//
// Library by shape (gemm_choose_kernel is the single place that decides):
//   - one row or one column          -> BLAS sgemv (OpenBLAS, one thread)
//   - every dimension up to 64       -> OpenBLAS sgemm, one thread, not split
//   - anything larger                -> oneDNN sgemm, one OpenMP thread per block
// oneDNN is fastest with an untransposed B: pre-pack constant transposed weights once
// with gemm_pack_transposed and call with trans_b = false.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {

enum class GemmKernel : uint8_t {
  kNone = 0,         // nothing to multiply (M, N or K is 0, or alpha is 0): C = beta * C
  kBlasGemv = 1,     // one row or one column
  kBlasSmall = 2,    // small product, OpenBLAS sgemm
  kOneDnn = 3,       // large product, oneDNN sgemm
};

// What gemm_f32 does for a shape: the kernel and the fixed grid of blocks of C. Block b
// covers row block b / col_count and column block b % col_count; the last block of each
// axis may be shorter.
struct GemmPlan {
  GemmKernel kernel = GemmKernel::kNone;
  int64_t row_block = 0;  // rows of C per block
  int64_t col_block = 0;  // columns of C per block
  int64_t row_count = 1;
  int64_t col_count = 1;
  int64_t block_count = 1;  // row_count * col_count
  // oneDNN products over 32 columns wide, not a multiple of 16, in blocks of full rows: each
  // block runs its first split_col columns (a multiple of 16, which oneDNN's kernel runs
  // faster) through oneDNN and the rest through OpenBLAS while its rows of A are still in
  // cache. 0: no split.
  int64_t split_col = 0;
};

// Least arithmetic (2*m*n*k flops) a block of the default cut carries: below it the dispatch
// and the libraries' per-call packing outweigh the parallel gain.
inline constexpr int64_t kGemmMinBlockFlops = 2'000'000;

// The shape rule. Pure function of its arguments; kNone when a size is 0, negative or
// beyond 32 bits. A caller whose products lose more to packing per block (every row block
// packs all of B again) asks for larger blocks with min_block_flops.
GemmPlan gemm_choose_kernel(int64_t M, int64_t N, int64_t K,
                            int64_t min_block_flops = kGemmMinBlockFlops);

// Work on a finished block of C, rows [row0, row0 + rows) and columns [col0, col0 + cols),
// run by the thread that computed the block right after it, while the block is in cache.
// Every element of C lies in exactly one block.
struct GemmBlockHook {
  void (*fn)(void* ctx, int64_t row0, int64_t rows, int64_t col0, int64_t cols) = nullptr;
  void* ctx = nullptr;
};

// C = alpha * op(A) * op(B) + beta * C, then the hook (when given) on every block. Returns
// false (and leaves C untouched) for negative sizes, leading dimensions below the stored
// widths, or null pointers where elements would be read or written. max_threads caps
// participating threads (0: the calling thread's ThreadCapScope, else the whole pool).
bool gemm_f32(bool trans_a, bool trans_b, int64_t M, int64_t N, int64_t K, float alpha,
              const float* A, int64_t lda, const float* B, int64_t ldb, float beta, float* C,
              int64_t ldc, unsigned max_threads = 0,
              int64_t min_block_flops = kGemmMinBlockFlops, const GemmBlockHook* hook = nullptr);

// A product whose B is made on the way, a slice of columns at a time: C = A * B with A
// untransposed (M x K, row stride lda), alpha 1 and beta 0. Each task makes its slice of B into
// a panel of its own thread that stays in that core's cache for the product, so a B that exists
// only in another form (halves, say) never goes through memory as f32.
//
// fill(ctx, col0, cols, dst) writes columns [col0, col0 + cols) of the K x N matrix B as a
// K x cols row-major panel (row stride cols) at dst, which starts on a 64-byte boundary. It is
// called once per task, from the thread that runs the task, and may be called again for the
// same columns by tasks of other row blocks.
struct GemmColumnSource {
  void (*fill)(void* ctx, int64_t col0, int64_t cols, float* dst) = nullptr;
  void* ctx = nullptr;
};

// The fixed cut of gemm_f32_sliced: task t covers row block t / col_count and column slice
// t % col_count; the last row block may be shorter, the last slice shorter or one column
// wider (no block has a single row or column). task_count 0: the shape is refused.
struct GemmSlicePlan {
  int64_t row_block = 0;
  int64_t row_count = 0;
  int64_t col_slice = 0;
  int64_t col_count = 0;
  int64_t task_count = 0;
};

// The cut for a shape, a function of (M, N, K) and of the instruction set oneDNN runs on (never
// of the thread count). Only oneDNN products that gemm_f32 runs whole (no split_col) and in
// blocks of at least two rows and two columns are taken, sliced so that every element is summed
// as in gemm_f32: slices start on multiples of 48 columns, and without AVX-512 the row blocks
// are gemm_f32's (a single row or column takes oneDNN's matrix-vector path, and its AVX2 kernel
// sums a row differently in blocks of other heights). Everything else is refused (task_count 0).
GemmSlicePlan gemm_choose_slices(int64_t M, int64_t N, int64_t K);

// C = A * B with B from `source`, cut as gemm_choose_slices says, then the hook (when given) on
// every task's block right after it. Byte-identical to gemm_f32(false, false, M, N, K, 1, A,
// lda, B, N, 0, C, ldc) with B filled whole, on any number of threads. Returns false, with C
// untouched and fill never called, for a refused shape, lda < K, ldc < N or a null pointer.
// max_threads as for gemm_f32.
bool gemm_f32_sliced(int64_t M, int64_t N, int64_t K, const float* A, int64_t lda,
                     const GemmColumnSource& source, float* C, int64_t ldc,
                     unsigned max_threads = 0, const GemmBlockHook* hook = nullptr);

// A made on the way too: fill(ctx, row0, rows, dst) writes rows [row0, row0 + rows) of the
// M x K matrix A as a rows x K row-major panel (row stride K) at dst, 64-byte aligned, once
// per task. Each task makes its own rows in its own cache: a shared A panel made first would be
// written over lines that the other cores' caches still hold from the product before.
struct GemmRowSource {
  void (*fill)(void* ctx, int64_t row0, int64_t rows, float* dst) = nullptr;
  void* ctx = nullptr;
};

// As above with A from `rows`: the bytes of gemm_f32 on A filled whole.
bool gemm_f32_sliced(int64_t M, int64_t N, int64_t K, const GemmRowSource& rows,
                     const GemmColumnSource& source, float* C, int64_t ldc,
                     unsigned max_threads = 0, const GemmBlockHook* hook = nullptr);

// True when B should be given untransposed (K x N) for this shape: oneDNN's transposed-B
// path is up to 2x slower. One-row products (M = 1) prefer B stored N x K, and small ones
// don't care. An engine with constant N x K weights packs them at build when this holds.
bool gemm_prefers_untransposed_b(int64_t M, int64_t N, int64_t K);

// Writes the transpose of the rows x cols matrix src (row stride ld_src >= cols) to dst
// as a cols x rows matrix with row stride rows. For weights stored N x K (a transposed B):
// pack once at build, then multiply with trans_b = false and ldb = N.
void gemm_pack_transposed(const float* src, int64_t rows, int64_t cols, int64_t ld_src,
                          float* dst);

// Pays the libraries' one-off start-up costs (oneDNN generates its kernels on first use,
// 35-150 ms) and creates the thread pool. Idempotent and thread-safe; engines call it
// when they are built.
void gemm_warm_up();

// Name of a kernel for benchmarks and logs: "none", "gemv", "openblas", "onednn".
const char* gemm_kernel_name(GemmKernel kernel);

}  // namespace vexa
