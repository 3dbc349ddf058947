#include "platform/gemm.h"

#include <cblas.h>
#include <omp.h>
#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/thread_pool.h"

namespace vexa {
namespace {

// Every dimension at or below this goes to OpenBLAS: oneDNN's fixed per-call cost makes
// it 2-8x slower there.
constexpr int64_t kSmallGemmDimLimit = 64;
// Upper bound on blocks per product. 24 divides evenly among 1, 2, 3, 4, 6, 8, 12 and 24
// threads; more blocks would make them narrow, and oneDNN loses 10-40% on narrow blocks.
constexpr int64_t kMaxBlocks = 24;
// Narrowest blocks worth a library call of their own: oneDNN keeps its single-thread speed
// on blocks of 16 full rows but loses 10-40% on blocks narrower than a few hundred columns.
constexpr int64_t kMinBlockRows = 16;
constexpr int64_t kMinBlockCols = 256;
// A grid may use fewer blocks than wanted, down to this fraction, when that packs less.
constexpr int64_t kMinBlocksNum = 2, kMinBlocksDen = 3;
// Preferred multiple of block sizes (one or two SIMD registers of floats); column blocks
// take the multiple oneDNN's kernel runs fastest.
constexpr int64_t kBlockAlign = 8;
constexpr int64_t kColumnBlockAlign = 16;
// Matrix-vector products are memory bound: parts of at least this many outputs and flops.
constexpr int64_t kMinGemvBlockOutputs = 32;
constexpr int64_t kMinGemvFlopsPerBlock = 128'000;
// oneDNN's kernel runs 6-14% faster on a multiple of 16 columns (measured on 7 x 7, 10 x 10
// and 14 x 14 planes: 49, 100 and 196 columns), and up to 40% at 49 columns. Products of more
// than kSplitMinColumns columns that are not are cut (see GemmPlan::split_col); the few
// remaining columns go to OpenBLAS, which handles them faster than oneDNN.
constexpr int64_t kSplitColumnBlock = 16;
constexpr int64_t kSplitMinColumns = 32;
// Transposes walk tiles of this many rows and columns so both sides stay in cache.
constexpr int64_t kTransposeTile = 32;

// Sliced products (gemm_f32_sliced). A slice of B is made in a panel of about kSliceBytes so that
// the panel and the library's packed copy of it stay in a core's L2 (1 MB on Zen 4). The
// 30-layer prefill products of a 576-wide model (M = 128, B made from halves) ran at 290-356 GF/s
// on 8 threads with panels of 192-512 KB and 24 tasks, against 193-234 GF/s for one whole f32
// panel widened first (interleaved runs on a shared 8-core Zen 4 EPYC); 16 or 32 tasks and
// 1 MB panels fell between or below. In the whole prefill of that model (128 tokens, FP16
// weights) the best of 6 interleaved runs was 1700-1830 tokens/s on 8 threads against 1339 with
// whole panels, and 359-363 against 355 on one. Slice widths are multiples of 48 (three vectors of
// 16 floats), which divides the model's widths 192, 576 and 1536; 32 measured no better.
constexpr int64_t kSliceBytes = 256 << 10;
constexpr int64_t kSliceAlign = 48;
constexpr int64_t kSliceTasks = 24;
// Row blocks are made only to reach kSliceTasks, never below this many rows: each row block
// makes its slices of B again.
constexpr int64_t kMinSliceRows = 32;
// A thread keeps its slice panel between calls up to this size (larger ones are freed after
// the task): fresh memory per task would spend the time in page faults.
constexpr int64_t kKeptSliceBytes = int64_t{4} << 20;
constexpr size_t kSliceAlignment = 64;

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

// 2*M*N*K, saturated: only compared with small thresholds.
int64_t flop_count(int64_t M, int64_t N, int64_t K) {
  const int64_t mn = M * N;  // both below 2^31
  if (mn > std::numeric_limits<int64_t>::max() / 2 / K) return std::numeric_limits<int64_t>::max();
  return 2 * mn * K;
}

// Splits `length` into about `want` parts of at least `min_part`, preferring part sizes
// that are multiples of kBlockAlign when that keeps the same part count.
void split_axis(int64_t length, int64_t want, int64_t min_part, int64_t* part, int64_t* count,
                int64_t align = kBlockAlign) {
  int64_t parts =
      std::clamp<int64_t>(length / std::max<int64_t>(min_part, 1), 1, std::max<int64_t>(want, 1));
  int64_t size = ceil_div(length, parts);
  int64_t aligned = ceil_div(size, align) * align;
  if (ceil_div(length, aligned) == parts) size = aligned;
  *part = size;
  *count = ceil_div(length, size);
}

// Each block makes the library pack its slice of A (rows x K) and of B (K x columns), so
// among grids of about `want` blocks take the one that packs least: r*N + c*M (times K).
// Grids with fewer than 2/3 of `want` blocks count only when no grid reaches that.
void choose_grid(int64_t M, int64_t N, int64_t want, int64_t* rows, int64_t* cols) {
  const int64_t max_rows = std::max<int64_t>(1, M / kMinBlockRows);
  const int64_t max_cols = std::max<int64_t>(1, N / kMinBlockCols);
  const int64_t least = std::max<int64_t>(1, want * kMinBlocksNum / kMinBlocksDen);
  int64_t best_count = 0, best_cost = 0;
  for (int64_t r = 1; r <= std::min(max_rows, want); ++r) {
    for (int64_t c = 1; c <= std::min(max_cols, want / r); ++c) {
      const int64_t count = r * c;
      const int64_t cost = r * N + c * M;
      const bool enough = count >= least, best_enough = best_count >= least;
      const bool better = best_count == 0 || (enough && !best_enough) ||
                          (enough && best_enough && cost < best_cost) ||
                          (!enough && !best_enough && count > best_count);
      if (better) {
        *rows = r;
        *cols = c;
        best_count = count;
        best_cost = cost;
      }
    }
  }
}

std::once_flag g_blas_once;

void blas_single_threaded() {
  // OpenBLAS's own threads busy-wait after every call and would starve the pool.
  std::call_once(g_blas_once, [] { openblas_set_num_threads(1); });
}

// oneDNN (built on GNU OpenMP in Debian) sizes its team from the calling thread's OpenMP
// thread count; one thread per block keeps the pool the only source of parallelism. The
// count is per thread in libgomp and is put back, so a caller's own OpenMP use is unaffected.
struct OmpSingleThread {
  int saved;
  OmpSingleThread() : saved(omp_get_max_threads()) {
    if (saved != 1) omp_set_num_threads(1);
  }
  ~OmpSingleThread() {
    if (saved != 1) omp_set_num_threads(saved);
  }
};

struct GemmArgs {
  bool trans_a, trans_b;
  int64_t M, N, K;
  float alpha;
  const float* A;
  int64_t lda;
  const float* B;
  int64_t ldb;
  float beta;
  float* C;
  int64_t ldc;
  GemmPlan plan;
  const GemmBlockHook* hook;
};

void scale_block(float beta, float* C, int64_t ldc, int64_t rows, int64_t cols) {
  for (int64_t i = 0; i < rows; ++i) {
    float* row = C + i * ldc;
    if (beta == 0.0f) {
      std::fill(row, row + cols, 0.0f);
    } else {
      for (int64_t j = 0; j < cols; ++j) row[j] *= beta;
    }
  }
}

void blas_sgemm(const GemmArgs& g, int64_t m, int64_t n, const float* A, const float* B, float* C) {
  cblas_sgemm(CblasRowMajor, g.trans_a ? CblasTrans : CblasNoTrans,
              g.trans_b ? CblasTrans : CblasNoTrans, static_cast<int>(m), static_cast<int>(n),
              static_cast<int>(g.K), g.alpha, A, static_cast<int>(g.lda), B,
              static_cast<int>(g.ldb), g.beta, C, static_cast<int>(g.ldc));
}

// One column of C over `rows` rows: y = alpha * op(A) * x + beta * y, with A at the first
// row, x the column of op(B) and y strided by ldc.
void column_gemv(const GemmArgs& g, int64_t rows, const float* A, const float* x, float* y) {
  if (g.beta == 0.0f) {
    for (int64_t i = 0; i < rows; ++i) y[i * g.ldc] = 0.0f;
  }
  const int K = static_cast<int>(g.K);
  const int incx = g.trans_b ? 1 : static_cast<int>(g.ldb);
  if (g.trans_a) {
    cblas_sgemv(CblasRowMajor, CblasTrans, K, static_cast<int>(rows), g.alpha, A,
                static_cast<int>(g.lda), x, incx, g.beta, y, static_cast<int>(g.ldc));
  } else {
    cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(rows), K, g.alpha, A,
                static_cast<int>(g.lda), x, incx, g.beta, y, static_cast<int>(g.ldc));
  }
}

void run_gemv_block(const GemmArgs& g, int64_t begin, int64_t len) {
  const int K = static_cast<int>(g.K);
  if (g.M == 1) {
    // One row of C: y[begin, begin + len) = alpha * x * op(B) + beta * y.
    float* y = g.C + begin;
    if (g.beta == 0.0f) std::fill(y, y + len, 0.0f);
    const int incx = g.trans_a ? static_cast<int>(g.lda) : 1;
    if (g.trans_b) {
      cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(len), K, g.alpha,
                  g.B + begin * g.ldb, static_cast<int>(g.ldb), g.A, incx, g.beta, y, 1);
    } else {
      cblas_sgemv(CblasRowMajor, CblasTrans, K, static_cast<int>(len), g.alpha, g.B + begin,
                  static_cast<int>(g.ldb), g.A, incx, g.beta, y, 1);
    }
  } else {
    const float* A = g.trans_a ? g.A + begin : g.A + begin * g.lda;
    column_gemv(g, len, A, g.B, g.C + begin * g.ldc);
  }
}

void run_onednn(const GemmArgs& g, int64_t m, int64_t n, const float* A, const float* B,
                float* C) {
  OmpSingleThread single;
  dnnl_status_t status = dnnl_sgemm(g.trans_a ? 'T' : 'N', g.trans_b ? 'T' : 'N', m, n, g.K,
                                    g.alpha, A, g.lda, B, g.ldb, g.beta, C, g.ldc);
  if (status == dnnl_success) return;
  // oneDNN failed (its scratch allocation): the same block through OpenBLAS.
  blas_sgemm(g, m, n, A, B, C);
}

// Rows [i0, i0 + m) and columns [j0, j0 + n) of C that block b covers (the grid's formula
// holds for the matrix-vector cut too: one row of blocks, or one column).
struct BlockSpan {
  int64_t i0, m, j0, n;
};

BlockSpan block_span(const GemmArgs& g, int64_t b) {
  const GemmPlan& p = g.plan;
  const int64_t i0 = b / p.col_count * p.row_block, j0 = b % p.col_count * p.col_block;
  return {i0, std::min(p.row_block, g.M - i0), j0, std::min(p.col_block, g.N - j0)};
}

void compute_block(const GemmArgs& g, const BlockSpan& s) {
  const GemmPlan& p = g.plan;
  if (p.kernel == GemmKernel::kBlasGemv) {
    if (g.M == 1) {
      run_gemv_block(g, s.j0, s.n);
    } else {
      run_gemv_block(g, s.i0, s.m);
    }
    return;
  }

  const int64_t i0 = s.i0, j0 = s.j0, m = s.m, n = s.n;
  const float* A = g.trans_a ? g.A + i0 : g.A + i0 * g.lda;
  const float* B = g.trans_b ? g.B + j0 * g.ldb : g.B + j0;
  float* C = g.C + i0 * g.ldc + j0;

  if (p.kernel == GemmKernel::kOneDnn) {
    if (p.split_col > 0 && p.split_col < n) {
      run_onednn(g, m, p.split_col, A, B, C);
      const int64_t rest = n - p.split_col;
      const float* B_rest = g.trans_b ? B + p.split_col * g.ldb : B + p.split_col;
      if (rest == 1) {
        column_gemv(g, m, A, B_rest, C + p.split_col);
      } else {
        blas_sgemm(g, m, rest, A, B_rest, C + p.split_col);
      }
      return;
    }
    run_onednn(g, m, n, A, B, C);
    return;
  }
  blas_sgemm(g, m, n, A, B, C);
}

void run_block(void* ctx, size_t index) {
  const GemmArgs& g = *static_cast<const GemmArgs*>(ctx);
  const BlockSpan span = block_span(g, static_cast<int64_t>(index));
  compute_block(g, span);
  if (g.hook != nullptr && g.hook->fn != nullptr)
    g.hook->fn(g.hook->ctx, span.i0, span.m, span.j0, span.n);
}

struct AlignedFree {
  void operator()(float* p) const { ::operator delete[](p, std::align_val_t{kSliceAlignment}); }
};
using AlignedFloats = std::unique_ptr<float[], AlignedFree>;

AlignedFloats new_aligned_floats(int64_t count) {
  const auto n = static_cast<size_t>(std::max<int64_t>(count, 1));
  if (n > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
  return AlignedFloats(
      static_cast<float*>(::operator new[](n * sizeof(float), std::align_val_t{kSliceAlignment})));
}

// The calling thread's slice panels (one for B, one for A); a nested call (a fill that
// multiplies) gets its own.
struct SlicePanel {
  AlignedFloats kept;
  int64_t capacity = 0;
  bool busy = false;
  // What the kept A panel holds: rows from row0 of the call numbered `call` (0: nothing). A
  // thread that runs several tasks of one row block makes its rows once.
  uint64_t call = 0;
  int64_t row0 = 0;
};
constexpr int kBSlot = 0, kASlot = 1;
thread_local SlicePanel t_slice_panels[2];
std::atomic<uint64_t> g_slice_calls{0};

class SliceScratch {
 public:
  SliceScratch(int slot, int64_t count) : slot_(slot) {
    SlicePanel& t = t_slice_panels[slot];
    if (t.busy || count > kKeptSliceBytes / static_cast<int64_t>(sizeof(float))) {
      own_ = new_aligned_floats(count);
      data_ = own_.get();
      return;
    }
    if (t.capacity < count) {
      t.call = 0;
      t.kept.reset();
      t.capacity = 0;
      t.kept = new_aligned_floats(count);
      t.capacity = count;
    }
    t.busy = true;
    borrowed_ = true;
    data_ = t.kept.get();
  }
  // True when the panel already holds rows from row0 of `call`.
  bool holds(uint64_t call, int64_t row0) const {
    const SlicePanel& t = t_slice_panels[slot_];
    return borrowed_ && call != 0 && t.call == call && t.row0 == row0;
  }
  // Records what the panel holds from now on (call 0: nothing known).
  void hold(uint64_t call, int64_t row0) {
    if (!borrowed_) return;
    t_slice_panels[slot_].call = call;
    t_slice_panels[slot_].row0 = row0;
  }
  ~SliceScratch() {
    if (borrowed_) t_slice_panels[slot_].busy = false;
  }
  SliceScratch(const SliceScratch&) = delete;
  SliceScratch& operator=(const SliceScratch&) = delete;
  float* data() const { return data_; }

 private:
  int slot_;
  AlignedFloats own_;
  float* data_ = nullptr;
  bool borrowed_ = false;
};

struct SliceArgs {
  int64_t M, N, K;
  const float* A;  // or null, with rows
  int64_t lda;
  const GemmRowSource* rows;
  uint64_t call;  // this call's number, for the A panels it leaves behind
  const GemmColumnSource* source;
  float* C;
  int64_t ldc;
  GemmSlicePlan plan;
  const GemmBlockHook* hook;
};

void run_slice(void* ctx, size_t index) {
  const SliceArgs& g = *static_cast<const SliceArgs*>(ctx);
  const GemmSlicePlan& p = g.plan;
  const auto t = static_cast<int64_t>(index);
  const int64_t i0 = t / p.col_count * p.row_block, m = std::min(p.row_block, g.M - i0);
  const int64_t slice = t % p.col_count, j0 = slice * p.col_slice;
  const int64_t n = slice == p.col_count - 1 ? g.N - j0 : p.col_slice;
  SliceScratch panel(kBSlot, g.K * n);
  g.source->fill(g.source->ctx, j0, n, panel.data());
  const float* A = g.A == nullptr ? nullptr : g.A + i0 * g.lda;
  std::optional<SliceScratch> a_panel;
  if (A == nullptr) {
    a_panel.emplace(kASlot, m * g.K);
    if (!a_panel->holds(g.call, i0)) {
      a_panel->hold(0, 0);  // a fill that throws leaves nothing reusable
      g.rows->fill(g.rows->ctx, i0, m, a_panel->data());
      a_panel->hold(g.call, i0);
    }
    A = a_panel->data();
  }
  float* C = g.C + i0 * g.ldc + j0;
  dnnl_status_t status;
  {
    OmpSingleThread single;
    status = dnnl_sgemm('N', 'N', m, n, g.K, 1.0f, A, g.lda, panel.data(), n, 0.0f, C, g.ldc);
  }
  if (status != dnnl_success) {
    // As run_onednn: oneDNN could not allocate its scratch.
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(m), static_cast<int>(n),
                static_cast<int>(g.K), 1.0f, A, static_cast<int>(g.lda), panel.data(),
                static_cast<int>(n), 0.0f, C, static_cast<int>(g.ldc));
  }
  if (g.hook != nullptr && g.hook->fn != nullptr) g.hook->fn(g.hook->ctx, i0, m, j0, n);
}

// Every task of a checked sliced product, on the pool.
void run_slices(SliceArgs args, unsigned max_threads) {
  blas_single_threaded();
  parallel_apply(static_cast<size_t>(args.plan.task_count), &args, run_slice, max_threads);
}

bool fits_int(int64_t v) { return v >= 0 && v <= INT_MAX; }

// oneDNN's AVX-512 kernels give an element of a product the same bits in any block of at least
// two rows and two columns. Its AVX2 kernels do so only across column slices that start on a
// vector boundary and keep each call's rows: a block of 32 or 48 of 128 rows changed the sums
// (oneDNN 2.6, DNNL_MAX_CPU_ISA=AVX2 on a Zen 4 EPYC). Without AVX-512 the slices therefore
// keep gemm_f32's row blocks. Asked once: the answer also fixes oneDNN's choice.
bool onednn_rows_free() {
  static const bool free_rows =
      (dnnl_get_effective_cpu_isa() & dnnl_cpu_isa_avx512_core) == dnnl_cpu_isa_avx512_core;
  return free_rows;
}

// Columns of the first product of each block of a oneDNN product whose blocks span every
// column (0: no split).
int64_t narrow_split(const GemmPlan& plan, int64_t N) {
  if (plan.kernel != GemmKernel::kOneDnn || plan.col_count != 1) return 0;
  if (N <= kSplitMinColumns || N % kSplitColumnBlock == 0) return 0;
  return N / kSplitColumnBlock * kSplitColumnBlock;
}

}  // namespace

GemmPlan gemm_choose_kernel(int64_t M, int64_t N, int64_t K, int64_t min_block_flops) {
  GemmPlan plan;
  if (M <= 0 || N <= 0 || K <= 0 || M > INT_MAX || N > INT_MAX || K > INT_MAX) return plan;
  const int64_t flops = flop_count(M, N, K);

  if (M == 1 || N == 1) {
    plan.kernel = GemmKernel::kBlasGemv;
    const int64_t want = std::clamp<int64_t>(flops / kMinGemvFlopsPerBlock, 1, kMaxBlocks);
    plan.row_block = M;
    plan.col_block = N;
    if (M == 1) {
      split_axis(N, want, kMinGemvBlockOutputs, &plan.col_block, &plan.col_count);
    } else {
      split_axis(M, want, kMinGemvBlockOutputs, &plan.row_block, &plan.row_count);
    }
    plan.block_count = plan.row_count * plan.col_count;
    return plan;
  }

  if (M <= kSmallGemmDimLimit && N <= kSmallGemmDimLimit && K <= kSmallGemmDimLimit) {
    plan.kernel = GemmKernel::kBlasSmall;
  } else {
    plan.kernel = GemmKernel::kOneDnn;
  }
  const int64_t want =
      std::clamp<int64_t>(flops / std::max<int64_t>(1, min_block_flops), 1, kMaxBlocks);
  if (plan.kernel == GemmKernel::kBlasSmall || want == 1) {
    plan.row_block = M;
    plan.col_block = N;
    plan.split_col = narrow_split(plan, N);
    return plan;
  }
  int64_t rows = 1, cols = 1;
  choose_grid(M, N, want, &rows, &cols);
  split_axis(M, rows, 1, &plan.row_block, &plan.row_count);
  split_axis(N, cols, 1, &plan.col_block, &plan.col_count, kColumnBlockAlign);
  plan.block_count = plan.row_count * plan.col_count;
  plan.split_col = narrow_split(plan, N);
  return plan;
}

bool gemm_f32(bool trans_a, bool trans_b, int64_t M, int64_t N, int64_t K, float alpha,
              const float* A, int64_t lda, const float* B, int64_t ldb, float beta, float* C,
              int64_t ldc, unsigned max_threads, int64_t min_block_flops,
              const GemmBlockHook* hook) {
  if (!fits_int(M) || !fits_int(N) || !fits_int(K) || !fits_int(lda) || !fits_int(ldb) ||
      !fits_int(ldc)) {
    return false;
  }
  if (lda < std::max<int64_t>(1, trans_a ? M : K) || ldb < std::max<int64_t>(1, trans_b ? K : N) ||
      ldc < std::max<int64_t>(1, N)) {
    return false;
  }
  if (M == 0 || N == 0) return true;
  if (C == nullptr) return false;
  if (K == 0 || alpha == 0.0f) {
    scale_block(beta, C, ldc, M, N);
    if (hook != nullptr && hook->fn != nullptr) hook->fn(hook->ctx, 0, M, 0, N);
    return true;
  }
  if (A == nullptr || B == nullptr) return false;

  blas_single_threaded();
  GemmArgs args{trans_a, trans_b, M,   N,    K, alpha, A, lda, B, ldb, beta, C, ldc,
                gemm_choose_kernel(M, N, K, min_block_flops), hook};
  parallel_apply(static_cast<size_t>(args.plan.block_count), &args, run_block, max_threads);
  return true;
}

GemmSlicePlan gemm_choose_slices(int64_t M, int64_t N, int64_t K) {
  GemmSlicePlan s;
  const GemmPlan whole = gemm_choose_kernel(M, N, K);
  if (whole.kernel != GemmKernel::kOneDnn || whole.split_col != 0) return s;
  if (M - (whole.row_count - 1) * whole.row_block < 2 ||
      N - (whole.col_count - 1) * whole.col_block < 2) {
    return s;
  }
  // Widest slice that keeps its panel within kSliceBytes (never below kSliceAlign columns).
  const int64_t widest = std::max(kSliceAlign, kSliceBytes / static_cast<int64_t>(sizeof(float)) /
                                                   K / kSliceAlign * kSliceAlign);
  // The grid of most tasks up to kSliceTasks; among those, the one that makes least operand:
  // each task makes its rows of A and its slice of B, r*N + c*M (times K) for r row blocks and
  // c slices. A shape whose narrowest panels already make more slices keeps that count. Where
  // rows may not be cut freely, the row blocks are gemm_f32's own.
  const bool free_rows = onednn_rows_free();
  const int64_t max_rows = free_rows ? std::max<int64_t>(1, M / kMinSliceRows) : 1;
  int64_t best_cost = 0, best_tasks = 0;
  for (int64_t want = ceil_div(N, widest); want <= kSliceTasks || best_tasks == 0; ++want) {
    int64_t width = std::min(N, ceil_div(ceil_div(N, want), kSliceAlign) * kSliceAlign);
    // A remainder of one column joins the last slice.
    const int64_t count = width == N ? 1 : N / width + (N % width >= 2 ? 1 : 0);
    if (count == 1) width = N;
    for (int64_t r = 1; r <= max_rows; ++r) {
      const int64_t row_block = free_rows ? ceil_div(M, r) : whole.row_block;
      const int64_t row_count = ceil_div(M, row_block);
      const int64_t tasks = row_count * count;
      if (tasks > kSliceTasks && best_tasks != 0) break;
      if (M - (row_count - 1) * row_block < 2) continue;
      const int64_t cost = row_count * N + count * M;
      if (best_tasks == 0 || tasks > best_tasks || (tasks == best_tasks && cost < best_cost)) {
        s.row_block = row_block;
        s.row_count = row_count;
        s.col_slice = width;
        s.col_count = count;
        s.task_count = tasks;
        best_cost = cost;
        best_tasks = tasks;
      }
    }
    if (width == N || width == kSliceAlign) break;  // no narrower slices to try
  }
  return s;
}

bool gemm_f32_sliced(int64_t M, int64_t N, int64_t K, const float* A, int64_t lda,
                     const GemmColumnSource& source, float* C, int64_t ldc, unsigned max_threads,
                     const GemmBlockHook* hook) {
  const GemmSlicePlan plan = gemm_choose_slices(M, N, K);
  if (plan.task_count == 0 || lda < K || ldc < N || !fits_int(lda) || !fits_int(ldc)) return false;
  if (A == nullptr || C == nullptr || source.fill == nullptr) return false;
  run_slices(SliceArgs{M, N, K, A, lda, nullptr, 0, &source, C, ldc, plan, hook}, max_threads);
  return true;
}

bool gemm_f32_sliced(int64_t M, int64_t N, int64_t K, const GemmRowSource& rows,
                     const GemmColumnSource& source, float* C, int64_t ldc, unsigned max_threads,
                     const GemmBlockHook* hook) {
  const GemmSlicePlan plan = gemm_choose_slices(M, N, K);
  if (plan.task_count == 0 || ldc < N || !fits_int(ldc)) return false;
  if (rows.fill == nullptr || C == nullptr || source.fill == nullptr) return false;
  const uint64_t call = g_slice_calls.fetch_add(1, std::memory_order_relaxed) + 1;
  run_slices(SliceArgs{M, N, K, nullptr, K, &rows, call, &source, C, ldc, plan, hook}, max_threads);
  return true;
}

bool gemm_prefers_untransposed_b(int64_t M, int64_t N, int64_t K) {
  return gemm_choose_kernel(M, N, K).kernel == GemmKernel::kOneDnn;
}

void gemm_pack_transposed(const float* src, int64_t rows, int64_t cols, int64_t ld_src,
                          float* dst) {
  for (int64_t r0 = 0; r0 < rows; r0 += kTransposeTile) {
    const int64_t r1 = std::min(rows, r0 + kTransposeTile);
    for (int64_t c0 = 0; c0 < cols; c0 += kTransposeTile) {
      const int64_t c1 = std::min(cols, c0 + kTransposeTile);
      for (int64_t c = c0; c < c1; ++c) {
        for (int64_t r = r0; r < r1; ++r) dst[c * rows + r] = src[r * ld_src + c];
      }
    }
  }
}

void gemm_warm_up() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)thread_pool_size();
    blas_single_threaded();
    // oneDNN builds one kernel per transpose pair and beta class on first use.
    constexpr int64_t kWarmDim = 96;
    std::vector<float> a(kWarmDim * kWarmDim, 0.5f), b(kWarmDim * kWarmDim, 0.25f),
        c(kWarmDim * kWarmDim, 0.0f);
    OmpSingleThread single;
    for (char ta : {'N', 'T'}) {
      for (char tb : {'N', 'T'}) {
        for (float beta : {0.0f, 1.0f}) {
          dnnl_sgemm(ta, tb, kWarmDim, kWarmDim, kWarmDim, 1.0f, a.data(), kWarmDim, b.data(),
                     kWarmDim, beta, c.data(), kWarmDim);
        }
      }
    }
  });
}

const char* gemm_kernel_name(GemmKernel kernel) {
  switch (kernel) {
    case GemmKernel::kNone:
      return "none";
    case GemmKernel::kBlasGemv:
      return "gemv";
    case GemmKernel::kBlasSmall:
      return "openblas";
    case GemmKernel::kOneDnn:
      return "onednn";
  }
  return "none";
}

}  // namespace vexa
