// Two-operand element-wise family: Sub, Div, Add, Mul, Equal, Less, Greater, Max, Min, Mod,
// And, Or. Broadcasting is collapsed before any arithmetic: the kernels only ever see two
// contiguous runs, or a run and a scalar.
#include "cpu/ops/eltwise.h"

#include <atomic>
#include <cmath>
#include <mutex>

#include "cpu/op_table.h"
#include "cpu/ops/parallel_for.h"
#include "cpu/ops/eltwise_simd.h"
#include "cpu/ops/simd_switch.h"
#include "platform/thread_pool.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kAddFusedFlagWord = 29;  // 1: X x s + Y (set by fusion)
constexpr uint32_t kAddScaleWord = 30;      // f32 scale s
constexpr uint32_t kGreaterModeWord = 27;   // 1 >=, 2 <=, otherwise >
constexpr int64_t kGreaterModeGreaterEqual = 1;
constexpr int64_t kGreaterModeLessEqual = 2;

SimdSwitch g_simd(eltwise_simd_available);

bool simd_enabled() { return g_simd.enabled(); }

enum class BinOp { kSub, kDiv, kAdd, kMul, kEqual, kLess, kGreater, kGreaterEqual, kLessEqual,
                   kMax, kMin, kMod, kAnd, kOr };

template <BinOp op>
inline float apply(float a, float b) {
  if constexpr (op == BinOp::kSub) return a - b;
  if constexpr (op == BinOp::kDiv) return a / b;
  if constexpr (op == BinOp::kAdd) return a + b;
  if constexpr (op == BinOp::kMul) return a * b;
  if constexpr (op == BinOp::kEqual) return a == b ? 1.0f : 0.0f;
  if constexpr (op == BinOp::kLess) return a < b ? 1.0f : 0.0f;
  if constexpr (op == BinOp::kGreater) return a > b ? 1.0f : 0.0f;
  if constexpr (op == BinOp::kGreaterEqual) return a >= b ? 1.0f : 0.0f;
  if constexpr (op == BinOp::kLessEqual) return a <= b ? 1.0f : 0.0f;
  // A NaN operand fails the comparison, so the other operand is taken.
  if constexpr (op == BinOp::kMax) return a >= b ? a : b;
  if constexpr (op == BinOp::kMin) return a <= b ? a : b;
  if constexpr (op == BinOp::kMod) return std::fmod(a, b);
  // NaN compares unequal to 0, so it counts as true.
  if constexpr (op == BinOp::kAnd) return (a != 0.0f && b != 0.0f) ? 1.0f : 0.0f;
  if constexpr (op == BinOp::kOr) return (a != 0.0f || b != 0.0f) ? 1.0f : 0.0f;
}

// The vector routines are single IEEE operations per element, so every path below gives the
// same bits as the element function.
template <BinOp op>
void run_vv(const float* a, const float* b, float* out, uint64_t n) {
  if constexpr (op == BinOp::kSub) return vec_sub(a, b, out, n);
  if constexpr (op == BinOp::kDiv) return vec_div(a, b, out, n);
  if constexpr (op == BinOp::kAdd) return vec_add(a, b, out, n);
  if constexpr (op == BinOp::kMul) return vec_mul(a, b, out, n);
  if constexpr (op == BinOp::kMax) return vec_max(a, b, out, n);
  if constexpr (op == BinOp::kMin) return vec_min(a, b, out, n);
  for (uint64_t i = 0; i < n; ++i) out[i] = apply<op>(a[i], b[i]);
}

template <BinOp op>
void run_vs(const float* a, float b, float* out, uint64_t n) {
  // a - b is exactly a + (-b); a division by b stays a true division (no reciprocal).
  if constexpr (op == BinOp::kSub) return vec_add_scalar(a, -b, out, n);
  if constexpr (op == BinOp::kAdd) return vec_add_scalar(a, b, out, n);
  if constexpr (op == BinOp::kMul) return vec_mul_scalar(a, b, out, n);
  if constexpr (op == BinOp::kDiv) return cpu_div_by_scalar(a, b, out, n);
  for (uint64_t i = 0; i < n; ++i) out[i] = apply<op>(a[i], b);
}

template <BinOp op>
void run_sv(float a, const float* b, float* out, uint64_t n) {
  if constexpr (op == BinOp::kAdd) return vec_add_scalar(b, a, out, n);
  if constexpr (op == BinOp::kMul) return vec_mul_scalar(b, a, out, n);
  if constexpr (op == BinOp::kDiv) return vec_scalar_div(a, b, out, n);
  for (uint64_t i = 0; i < n; ++i) out[i] = apply<op>(a, b[i]);
}

// a x s + b with two roundings, as the scaled Add is defined.
void scaled_add(const float* a, const float* b, float s, float* out, uint64_t n) {
  vec_mul_scalar_add(a, s, b, out, n);
}

struct AddJob {
  const float* a;
  const float* b;
  float* out;
  uint64_t n;
  float scale;
  uint64_t fused;
};

// One of the fixed pieces of a large same-shape Add.
void cpu_add_worker(void* ctx, size_t piece) {
  const AddJob& job = *static_cast<const AddJob*>(ctx);
  uint64_t chunk = (job.n + kParallelAddPieces - 1) / kParallelAddPieces;
  uint64_t start = piece * chunk;
  if (start >= job.n) return;
  uint64_t end = start + chunk < job.n ? start + chunk : job.n;
  if (job.fused == 1) {
    scaled_add(job.a + start, job.b + start, job.scale, job.out + start, end - start);
  } else {
    run_vv<BinOp::kAdd>(job.a + start, job.b + start, job.out + start, end - start);
  }
}

// Calls fn(begin, end) over [0, n): inline below the split size, else in the fixed pieces.
template <class Fn>
void split_range(uint64_t n, Fn&& fn) {
  if (n < kParallelBinaryMinElements) {
    fn(0, n);
    return;
  }
  const uint64_t chunk = (n + kParallelBinaryPieces - 1) / kParallelBinaryPieces;
  cpu_parallel_for(static_cast<int64_t>(kParallelBinaryPieces), true, [&](int64_t piece) {
    const uint64_t begin = static_cast<uint64_t>(piece) * chunk;
    if (begin < n) fn(begin, begin + chunk < n ? begin + chunk : n);
  });
}

template <BinOp op>
void equal_count_path(const OpContext& ctx, const float* a, uint64_t na, const float* b,
                      uint64_t nb, float* out) {
  if (na == nb) {
    if constexpr (op == BinOp::kAdd) {
      AddJob job{a, b, out, na, ctx.node.attr_f32(kAddScaleWord),
                 ctx.node.w[kAddFusedFlagWord] == 1 ? uint64_t{1} : uint64_t{0}};
      if (na >= kParallelAddMinElements) {
        parallel_apply(kParallelAddPieces, &job, cpu_add_worker);
      } else {
        if (job.fused == 1) {
          scaled_add(a, b, job.scale, out, na);
        } else {
          run_vv<op>(a, b, out, na);
        }
      }
      return;
    }
    split_range(na, [&](uint64_t i0, uint64_t i1) { run_vv<op>(a + i0, b + i0, out + i0, i1 - i0); });
  } else if (nb == 1) {
    split_range(na, [&](uint64_t i0, uint64_t i1) { run_vs<op>(a + i0, b[0], out + i0, i1 - i0); });
  } else {
    split_range(nb, [&](uint64_t i0, uint64_t i1) { run_sv<op>(a[0], b + i0, out + i0, i1 - i0); });
  }
}

enum class RunPattern { kBoth, kAFull, kBFull };

template <BinOp op>
void broadcast_path(const BroadcastShapes& sh, const float* a, const float* b, float* out) {
  const uint32_t r = sh.rank;
  uint64_t stride_a[kMaxRank] = {};
  uint64_t stride_b[kMaxRank] = {};
  uint64_t sa = 1, sb = 1, total = 1;
  for (int ax = static_cast<int>(r) - 1; ax >= 0; --ax) {
    stride_a[ax] = sh.a[ax] == 1 ? 0 : sa;
    stride_b[ax] = sh.b[ax] == 1 ? 0 : sb;
    sa *= sh.a[ax];
    sb *= sh.b[ax];
    total *= sh.out[ax];
  }
  if (total == 0) return;

  // The longest trailing group of axes sharing one pattern becomes one contiguous run.
  RunPattern pattern = RunPattern::kBoth;
  bool have_pattern = false;
  uint32_t inner_start = r;
  uint64_t run = 1;
  for (int ax = static_cast<int>(r) - 1; ax >= 0; --ax) {
    if (sh.out[ax] != 1) {
      RunPattern p = (sh.a[ax] == sh.out[ax] && sh.b[ax] == sh.out[ax]) ? RunPattern::kBoth
                     : sh.a[ax] == sh.out[ax]                          ? RunPattern::kAFull
                                                                       : RunPattern::kBFull;
      if (!have_pattern) {
        pattern = p;
        have_pattern = true;
      } else if (p != pattern) {
        break;
      }
      run *= sh.out[ax];
    }
    inner_start = static_cast<uint32_t>(ax);
  }

  const uint64_t outer_count = total / run;
  // Runs o_begin..o_end-1, the odometer started from o_begin's own coordinates.
  auto rows = [&](uint64_t o_begin, uint64_t o_end) {
    uint64_t coord[kMaxRank] = {};
    uint64_t off_a = 0, off_b = 0;
    uint64_t rest = o_begin;
    for (int ax = static_cast<int>(inner_start) - 1; ax >= 0; --ax) {
      coord[ax] = rest % sh.out[ax];
      rest /= sh.out[ax];
      off_a += coord[ax] * stride_a[ax];
      off_b += coord[ax] * stride_b[ax];
    }
    for (uint64_t o = o_begin; o < o_end; ++o) {
      float* dst = out + o * run;
      switch (pattern) {
        case RunPattern::kBoth: run_vv<op>(a + off_a, b + off_b, dst, run); break;
        case RunPattern::kAFull: run_vs<op>(a + off_a, b[off_b], dst, run); break;
        case RunPattern::kBFull: run_sv<op>(a[off_a], b + off_b, dst, run); break;
      }
      // Advance the outer index like an odometer over the outer axes.
      for (int ax = static_cast<int>(inner_start) - 1; ax >= 0; --ax) {
        if (++coord[ax] < sh.out[ax]) {
          off_a += stride_a[ax];
          off_b += stride_b[ax];
          break;
        }
        off_a -= stride_a[ax] * (coord[ax] - 1);
        off_b -= stride_b[ax] * (coord[ax] - 1);
        coord[ax] = 0;
      }
    }
  };
  if (total < kParallelBinaryMinElements || outer_count < 2) {
    rows(0, outer_count);
    return;
  }
  const uint64_t chunk = (outer_count + kParallelBinaryPieces - 1) / kParallelBinaryPieces;
  cpu_parallel_for(static_cast<int64_t>(kParallelBinaryPieces), true, [&](int64_t piece) {
    const uint64_t begin = static_cast<uint64_t>(piece) * chunk;
    if (begin < outer_count) rows(begin, begin + chunk < outer_count ? begin + chunk : outer_count);
  });
}

bool padded_equal(const BroadcastShapes& sh) {
  for (uint32_t i = 0; i < sh.rank; ++i) {
    if (sh.a[i] != sh.b[i]) return false;
  }
  return true;
}

template <BinOp op>
bool run_op(const OpContext& ctx) {
  const CpuValue& va = ctx.in_value(0);
  const CpuValue& vb = ctx.in_value(1);
  const float* a = ctx.in(0);
  const float* b = ctx.in(1);
  float* out = ctx.out(0);
  const uint64_t na = va.element_count();
  const uint64_t nb = vb.element_count();
  BroadcastShapes sh = cpu_broadcast_shapes(va.rank(), va.dims(), vb.rank(), vb.dims());
  if (na == 1 || nb == 1 || sh.rank == 0 || padded_equal(sh)) {
    equal_count_path<op>(ctx, a, na, b, nb, out);
  } else {
    broadcast_path<op>(sh, a, b, out);
  }
  return true;
}

bool run_binary(const OpContext& ctx) {
  switch (static_cast<OpKind>(ctx.node.kind())) {
    case OpKind::kSub: return run_op<BinOp::kSub>(ctx);
    case OpKind::kDiv: return run_op<BinOp::kDiv>(ctx);
    case OpKind::kAdd: return run_op<BinOp::kAdd>(ctx);
    case OpKind::kMul: return run_op<BinOp::kMul>(ctx);
    case OpKind::kEqual: return run_op<BinOp::kEqual>(ctx);
    case OpKind::kLess: return run_op<BinOp::kLess>(ctx);
    case OpKind::kGreater:
      switch (ctx.node.attr(kGreaterModeWord)) {
        case kGreaterModeGreaterEqual: return run_op<BinOp::kGreaterEqual>(ctx);
        case kGreaterModeLessEqual: return run_op<BinOp::kLessEqual>(ctx);
        default: return run_op<BinOp::kGreater>(ctx);
      }
    case OpKind::kMax: return run_op<BinOp::kMax>(ctx);
    case OpKind::kMin: return run_op<BinOp::kMin>(ctx);
    case OpKind::kMod: return run_op<BinOp::kMod>(ctx);
    case OpKind::kAnd: return run_op<BinOp::kAnd>(ctx);
    case OpKind::kOr: return run_op<BinOp::kOr>(ctx);
    default: return false;
  }
}

uint64_t product(const uint64_t* dims, uint32_t rank) {
  uint64_t p = 1;
  for (uint32_t i = 0; i < rank; ++i) p *= dims[i];
  return p;
}

// Shapes compared without their leading 1s, so [1, 1, 3, 4] and [3, 4] are the same shape.
bool same_shape_ignoring_leading_ones(const uint64_t* x, uint32_t rank_x, const uint64_t* y,
                                      uint32_t rank_y) {
  uint32_t i = 0, j = 0;
  while (i < rank_x && x[i] == 1) ++i;
  while (j < rank_y && y[j] == 1) ++j;
  if (rank_x - i != rank_y - j) return false;
  for (; i < rank_x; ++i, ++j) {
    if (x[i] != y[j]) return false;
  }
  return true;
}

bool check_binary(const OpCheck& check) {
  if (!check.inputs_between(2, 2) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  const CpuValue& va = check.in_value(0);
  const CpuValue& vb = check.in_value(1);
  const CpuValue& vo = check.out_value(0);
  BroadcastShapes sh = cpu_broadcast_shapes(va.rank(), va.dims(), vb.rank(), vb.dims());
  if (!sh.compatible) return check.fail("operand shapes are not broadcast-compatible");
  if (va.element_count() == 0 && va.rank() == 0) return check.fail("input 0 has no shape");
  if (vb.element_count() == 0 && vb.rank() == 0) return check.fail("input 1 has no shape");
  if (!same_shape_ignoring_leading_ones(sh.out, sh.rank, vo.dims(),
                                        static_cast<uint32_t>(vo.rank())) ||
      product(sh.out, sh.rank) != vo.element_count()) {
    return check.fail("output shape differs from the broadcast of its operands");
  }
  return true;
}

}  // namespace

void cpu_eltwise_force_portable(bool on) { g_simd.force_portable(on); }

void cpu_div_by_scalar_reference(const float* a, float s, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] / s;
}

void cpu_div_by_scalar(const float* a, float s, float* out, size_t n) {
  if (simd_enabled()) {
    div_by_scalar_avx2(a, s, out, n);
  } else {
    cpu_div_by_scalar_reference(a, s, out, n);
  }
}

BroadcastShapes cpu_broadcast_shapes(uint64_t rank_a, const uint64_t* dims_a, uint64_t rank_b,
                                     const uint64_t* dims_b) {
  BroadcastShapes sh;
  if (rank_a > kMaxRank || rank_b > kMaxRank) {
    sh.compatible = false;
    return sh;
  }
  sh.rank = static_cast<uint32_t>(rank_a > rank_b ? rank_a : rank_b);
  for (uint32_t i = 0; i < sh.rank; ++i) {
    uint32_t from_end = sh.rank - 1 - i;
    sh.a[i] = from_end < rank_a ? dims_a[rank_a - 1 - from_end] : 1;
    sh.b[i] = from_end < rank_b ? dims_b[rank_b - 1 - from_end] : 1;
    if (sh.a[i] == 1) {
      sh.out[i] = sh.b[i];
    } else if (sh.b[i] == 1 || sh.a[i] == sh.b[i]) {
      sh.out[i] = sh.a[i];
    } else {
      sh.out[i] = sh.a[i] > sh.b[i] ? sh.a[i] : sh.b[i];
      sh.compatible = false;
    }
  }
  return sh;
}

void register_eltwise_ops(OpRegistry& registry) {
  for (OpKind kind : {OpKind::kSub, OpKind::kDiv, OpKind::kAdd, OpKind::kMul, OpKind::kEqual,
                      OpKind::kLess, OpKind::kMax, OpKind::kMin, OpKind::kMod, OpKind::kGreater,
                      OpKind::kAnd, OpKind::kOr}) {
    registry.add(static_cast<uint64_t>(kind), check_binary, run_binary);
  }
}

}  // namespace vexa::cpu
