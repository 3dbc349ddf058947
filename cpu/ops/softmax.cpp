// Softmax along one axis. A single image with a channel-like axis ([1, D, inner], inner
// 64..16384) runs row-wise on the vector routines; everything else runs per (outer, inner)
// position with expf, split over the pool when large.
#include <atomic>
#include <cfloat>
#include <cmath>
#include <mutex>

#include "cpu/ops/op_shapes.h"
#include "cpu/ops/softmax_simd.h"
#include "cpu/ops/reduce.h"
#include "cpu/ops/simd_switch.h"
#include "platform/thread_pool.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

namespace {

constexpr uint64_t kVectorMinInner = 64;
constexpr uint64_t kVectorMaxInner = 16384;
constexpr uint64_t kParallelMinElements = 65536;
constexpr uint64_t kPieces = 64;

SimdSwitch g_simd(softmax_simd_available);

bool simd_enabled() { return g_simd.enabled(); }

bool softmax_axis(const CpuNode& node, const CpuValue& out, AxisView& view) {
  uint32_t axis = 0;
  if (!normalise_axis(node.attr(kAxisWord), out.rank(), axis)) return false;
  view = axis_view(out, axis);
  return true;
}

bool vector_path(const AxisView& v) {
  return v.outer == 1 && v.inner >= kVectorMinInner && v.inner <= kVectorMaxInner && v.d >= 2;
}

bool check_softmax(const OpCheck& check) {
  if (!check.inputs_between(1, 1) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  AxisView view;
  if (!softmax_axis(check.node, check.out_value(0), view)) {
    return check.fail("axis %lld is outside rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(check.out_value(0).rank()));
  }
  if (!same_dims_except(check.in_value(0), check.out_value(0), kMaxRank)) {
    return check.fail("output shape differs from the input shape");
  }
  return true;
}

uint64_t softmax_workspace(const OpCheck& check) {
  AxisView view;
  if (!softmax_axis(check.node, check.out_value(0), view) || !vector_path(view)) return 0;
  return 2 * view.inner * sizeof(float);
}

// Softmax of the D entries at x[j * inner] into y[j * inner].
void softmax_line(const float* x, float* y, uint64_t d, uint64_t inner) {
  float m = -FLT_MAX;
  for (uint64_t j = 0; j < d; ++j) {
    if (x[j * inner] > m) m = x[j * inner];
  }
  float s = 0.0f;
  for (uint64_t j = 0; j < d; ++j) {
    const float e = std::exp(x[j * inner] - m);
    y[j * inner] = e;
    s += e;
  }
  for (uint64_t j = 0; j < d; ++j) y[j * inner] = y[j * inner] / s;
}

// Positions p of one outer index handled together, the axis walked row by row so every
// inner loop runs over contiguous memory. Each element goes through the same operations in
// the same order as softmax_line.
constexpr uint64_t kTilePositions = 1024;

struct SoftmaxJob {
  const float* x;
  float* y;
  AxisView view;
  uint64_t tiles_per_outer;  // position tiles of kTilePositions (inner > 1)
};

void softmax_tile(const SoftmaxJob& job, uint64_t o, uint64_t p0, uint64_t p1) {
  const AxisView& v = job.view;
  float m[kTilePositions];
  float s[kTilePositions];
  const uint64_t n = p1 - p0;
  const float* x = job.x + o * v.d * v.inner + p0;
  float* y = job.y + o * v.d * v.inner + p0;
  for (uint64_t p = 0; p < n; ++p) {
    m[p] = -FLT_MAX;
    s[p] = 0.0f;
  }
  for (uint64_t j = 0; j < v.d; ++j) {
    const float* row = x + j * v.inner;
    for (uint64_t p = 0; p < n; ++p) {
      if (row[p] > m[p]) m[p] = row[p];
    }
  }
  for (uint64_t j = 0; j < v.d; ++j) {
    const float* row = x + j * v.inner;
    float* out = y + j * v.inner;
    for (uint64_t p = 0; p < n; ++p) {
      const float e = std::exp(row[p] - m[p]);
      out[p] = e;
      s[p] += e;
    }
  }
  for (uint64_t j = 0; j < v.d; ++j) {
    float* out = y + j * v.inner;
    for (uint64_t p = 0; p < n; ++p) out[p] = out[p] / s[p];
  }
}

// Work unit u: one contiguous line (inner == 1) or one position tile of one outer index.
void softmax_units(const SoftmaxJob& job, uint64_t first, uint64_t last) {
  const AxisView& v = job.view;
  const bool simd = v.inner == 1 && simd_enabled();
  for (uint64_t u = first; u < last; ++u) {
    if (v.inner == 1) {
      if (simd) {
        softmax_line_avx2(job.x + u * v.d, job.y + u * v.d, v.d);
      } else {
        softmax_line(job.x + u * v.d, job.y + u * v.d, v.d, 1);
      }
      continue;
    }
    const uint64_t o = u / job.tiles_per_outer;
    const uint64_t p0 = (u % job.tiles_per_outer) * kTilePositions;
    const uint64_t p1 = p0 + kTilePositions < v.inner ? p0 + kTilePositions : v.inner;
    softmax_tile(job, o, p0, p1);
  }
}

uint64_t softmax_unit_count(const SoftmaxJob& job) {
  return job.view.inner == 1 ? job.view.outer : job.view.outer * job.tiles_per_outer;
}

void softmax_piece(void* ctx, size_t piece) {
  const SoftmaxJob& job = *static_cast<const SoftmaxJob*>(ctx);
  const uint64_t units = softmax_unit_count(job);
  const uint64_t per = (units + kPieces - 1) / kPieces;
  const uint64_t first = piece * per;
  if (first >= units) return;
  softmax_units(job, first, first + per < units ? first + per : units);
}

bool run_softmax(const OpContext& ctx) {
  AxisView v;
  if (!softmax_axis(ctx.node, ctx.out_value(0), v)) return false;
  const float* x = ctx.in(0);
  float* y = ctx.out(0);
  if (ctx.out_value(0).element_count() == 0) return true;
  if (vector_path(v) && ctx.workspace_bytes >= 2 * v.inner * sizeof(float)) {
    float* maximum = ctx.workspace;
    float* sum = ctx.workspace + v.inner;
    for (uint64_t p = 0; p < v.inner; ++p) maximum[p] = -FLT_MAX;
    // vec_max keeps the running maximum where the row holds NaN, as the scalar rule does.
    for (uint64_t j = 0; j < v.d; ++j) vec_max(x + j * v.inner, maximum, maximum, v.inner);
    for (uint64_t j = 0; j < v.d; ++j) vec_sub(x + j * v.inner, maximum, y + j * v.inner, v.inner);
    vec_exp(y, y, v.d * v.inner);
    for (uint64_t p = 0; p < v.inner; ++p) sum[p] = y[p];
    for (uint64_t j = 1; j < v.d; ++j) vec_add(sum, y + j * v.inner, sum, v.inner);
    for (uint64_t j = 0; j < v.d; ++j) vec_div(y + j * v.inner, sum, y + j * v.inner, v.inner);
    return true;
  }
  SoftmaxJob job{x, y, v, (v.inner + kTilePositions - 1) / kTilePositions};
  const uint64_t units = softmax_unit_count(job);
  if (units >= 2 && v.outer * v.d * v.inner >= kParallelMinElements) {
    parallel_apply(kPieces, &job, softmax_piece);
  } else {
    softmax_units(job, 0, units);
  }
  return true;
}

}  // namespace

void cpu_softmax_force_portable(bool on) { g_simd.force_portable(on); }

void add_softmax_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kSoftmax), check_softmax, run_softmax,
               softmax_workspace);
}

}  // namespace vexa::cpu
