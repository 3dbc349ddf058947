// Resize (linear, nearest), GridSample and DeformUnfold. Sampling coordinates read from
// tensors are clamped in floating point before any conversion to an index, so NaN or huge
// values sample the border or nothing, never outside the input.
#include "cpu/ops/resize.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "cpu/op_table.h"
#include "cpu/ops/op_shapes.h"
#include "cpu/ops/simd_switch.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {

// resize_avx2.cpp
bool resize_avx2_available();
void resize_linear_plane_avx2(const ResizeLinearJob& job, size_t plane);

namespace {

SimdSwitch g_simd(resize_avx2_available);

bool avx2_enabled() { return g_simd.enabled(); }

constexpr uint32_t kResizeLinearWord = 27;
constexpr uint32_t kResizeAlignCornersWord = 28;
constexpr uint32_t kDeformKernelWord = 15;
constexpr uint32_t kImageRank = 4;
constexpr uint64_t kParallelMinPlanes = 8;
constexpr uint64_t kParallelMinOutputs = 16384;
// Table entries are i32; no side of a resize may pass this.
constexpr uint64_t kMaxResizeSide = 0x7FFFFFFF;
constexpr int64_t kMaxDeformKernel = 64;
constexpr int64_t kDeformWidePadding = 3;
constexpr int64_t kDeformNarrowPadding = 1;
constexpr int64_t kDeformNarrowKernel = 3;

bool is_linear(const CpuNode& node) { return node.attr(kResizeLinearWord) == 1; }
bool align_corners(const CpuNode& node) { return node.attr(kResizeAlignCornersWord) == 1; }

// ---- Resize ----

bool check_resize(const OpCheck& check) {
  if (!check.inputs_between(1, 4) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  const CpuValue& out = check.out_value(0);
  if (in.rank() != kImageRank || out.rank() != kImageRank)
    return check.fail("expects NCHW tensors");
  if (out.dim(0) != in.dim(0) || out.dim(1) != in.dim(1)) {
    return check.fail("batch and channels of the output differ from the input's");
  }
  if (out.element_count() != 0 && (in.dim(2) == 0 || in.dim(3) == 0)) {
    return check.fail("resizes an empty image");
  }
  if (in.dim(2) > kMaxResizeSide || in.dim(3) > kMaxResizeSide || out.dim(2) > kMaxResizeSide ||
      out.dim(3) > kMaxResizeSide) {
    return check.fail("image side too large");
  }
  return true;
}

// Three i32/f32 tables per axis (the nearest mode uses the first).
uint64_t resize_workspace(const OpCheck& check) {
  const CpuValue& out = check.out_value(0);
  return 3 * (out.dim(2) + out.dim(3)) * sizeof(int32_t);
}

void resize_planes(uint64_t planes, uint64_t plane_outputs, void* job, ParallelFn worker) {
  if (planes >= kParallelMinPlanes && planes * plane_outputs >= kParallelMinOutputs) {
    parallel_apply(planes, job, worker);
  } else {
    for (uint64_t p = 0; p < planes; ++p) worker(job, p);
  }
}

bool run_resize(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  const CpuValue& out_v = ctx.out_value(0);
  const uint64_t planes = in.dim(0) * in.dim(1);
  const uint64_t h = in.dim(2), w = in.dim(3), oh = out_v.dim(2), ow = out_v.dim(3);
  const float* x = ctx.in(0);
  float* y = ctx.out(0);
  if (out_v.element_count() == 0) return true;
  if (oh == h && ow == w) {
    std::memcpy(y, x, out_v.element_count() * sizeof(float));
    return true;
  }
  if (h == 1 && w == 1) {
    for (uint64_t p = 0; p < planes; ++p) {
      for (uint64_t i = 0; i < oh * ow; ++i) y[p * oh * ow + i] = x[p];
    }
    return true;
  }
  if (ctx.workspace_bytes < 3 * (oh + ow) * sizeof(int32_t)) return false;
  int32_t* table = reinterpret_cast<int32_t*>(ctx.workspace);
  float* weights = ctx.workspace;
  const bool corners = align_corners(ctx.node);
  if (is_linear(ctx.node)) {
    // Layout: y0[oh] y1[oh] wy[oh] x0[ow] x1[ow] wx[ow].
    ResizeLinearJob job{x,
                        y,
                        table,
                        table + oh,
                        weights + 2 * oh,
                        table + 3 * oh,
                        table + 3 * oh + ow,
                        weights + 3 * oh + 2 * ow,
                        h,
                        w,
                        oh,
                        ow};
    cpu_resize_linear_axis(h, oh, corners, table, table + oh, weights + 2 * oh);
    cpu_resize_linear_axis(w, ow, corners, table + 3 * oh, table + 3 * oh + ow,
                           weights + 3 * oh + 2 * ow);
    resize_planes(planes, oh * ow, &job, cpu_resize_linear_worker);
    return true;
  }
  ResizeNearestJob job{x, y, table, table + oh, h, w, oh, ow};
  cpu_resize_nearest_axis(h, oh, corners, table);
  cpu_resize_nearest_axis(w, ow, corners, table + oh);
  resize_planes(planes, oh * ow, &job, cpu_resize_nearest_worker);
  return true;
}

// ---- GridSample ----

bool check_grid_sample(const OpCheck& check) {
  if (!check.inputs_between(2, 2) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  const CpuValue& x = check.in_value(0);
  const CpuValue& grid = check.in_value(1);
  const CpuValue& y = check.out_value(0);
  if (x.rank() != kImageRank || grid.rank() != kImageRank || y.rank() != kImageRank) {
    return check.fail("expects rank-4 input, grid and output");
  }
  if (grid.dim(0) != x.dim(0) || grid.dim(3) != 2 || y.dim(0) != x.dim(0) || y.dim(1) != x.dim(1) ||
      y.dim(2) != grid.dim(1) || y.dim(3) != grid.dim(2)) {
    return check.fail("input [N, C, H, W], grid [N, OH, OW, 2] and output [N, C, OH, OW] disagree");
  }
  return true;
}

bool run_grid_sample(const OpContext& ctx) {
  const CpuValue& xv = ctx.in_value(0);
  const CpuValue& yv = ctx.out_value(0);
  const uint64_t n_count = xv.dim(0), channels = xv.dim(1), h = xv.dim(2), w = xv.dim(3);
  const uint64_t oh = yv.dim(2), ow = yv.dim(3);
  const float* x = ctx.in(0);
  const float* grid = ctx.in(1);
  float* y = ctx.out(0);
  const float wf = static_cast<float>(w);
  const float hf = static_cast<float>(h);
  // One unit is one output row of one item; units write disjoint output rows.
  for_unit_ranges(n_count * oh, n_count * oh * ow * channels, [&](uint64_t first, uint64_t last) {
    for (uint64_t unit = first; unit < last; ++unit) {
      const uint64_t n = unit / oh;
      for (uint64_t o = (unit % oh) * ow; o < (unit % oh + 1) * ow; ++o) {
        const float gx = grid[(n * oh * ow + o) * 2];
        const float gy = grid[(n * oh * ow + o) * 2 + 1];
        const float px = clamp_float(0.5f + (gx + 1.0f) * wf * 0.5f, 0.0f, wf + 1.0f);
        const float py = clamp_float(0.5f + (gy + 1.0f) * hf * 0.5f, 0.0f, hf + 1.0f);
        const int64_t ix = static_cast<int64_t>(px);
        const int64_t iy = static_cast<int64_t>(py);
        const int64_t xs[2] = {ix - 1,
                               ix + 1 > static_cast<int64_t>(w) + 1 ? static_cast<int64_t>(w) : ix};
        const int64_t ys[2] = {iy - 1,
                               iy + 1 > static_cast<int64_t>(h) + 1 ? static_cast<int64_t>(h) : iy};
        const float fx = px - static_cast<float>(ix);
        const float fy = py - static_cast<float>(iy);
        // Taps in the order (x0, y0), (x0, y1), (x1, y0), (x1, y1).
        const float weight[4] = {(1.0f - fx) * (1.0f - fy), (1.0f - fx) * fy, fx * (1.0f - fy),
                                 fx * fy};
        for (uint64_t c = 0; c < channels; ++c) {
          const float* plane = x + (n * channels + c) * h * w;
          float acc = 0.0f;
          for (int t = 0; t < 4; ++t) {
            const int64_t tx = xs[t / 2];
            const int64_t ty = ys[t % 2];
            if (tx < 0 || ty < 0 || tx >= static_cast<int64_t>(w) ||
                ty >= static_cast<int64_t>(h)) {
              continue;
            }
            acc = std::fma(weight[t],
                           plane[static_cast<uint64_t>(ty) * w + static_cast<uint64_t>(tx)], acc);
          }
          y[(n * channels + c) * oh * ow + o] = acc;
        }
      }
    }
  });
  return true;
}

// ---- DeformUnfold ----

bool check_deform_unfold(const OpCheck& check) {
  if (!check.inputs_between(3, 3) || !check.outputs_between(1, 1) || !check.inputs_present(3)) {
    return false;
  }
  const int64_t k = check.node.attr(kDeformKernelWord);
  if (k < 1 || k > kMaxDeformKernel) return check.fail("kernel side %lld is invalid", as_sll(k));
  const uint64_t kk = static_cast<uint64_t>(k * k);
  const CpuValue& x = check.in_value(0);
  const CpuValue& off = check.in_value(1);
  const CpuValue& mod = check.in_value(2);
  const CpuValue& y = check.out_value(0);
  if (x.rank() != kImageRank || off.rank() != kImageRank || mod.rank() != kImageRank ||
      y.rank() != kImageRank) {
    return check.fail("expects rank-4 tensors");
  }
  const uint64_t h = x.dim(2), w = x.dim(3);
  const bool ok = x.dim(0) == 1 && off.dim(0) == 1 && mod.dim(0) == 1 && y.dim(0) == 1 &&
                  off.dim(1) == 2 * kk && off.dim(2) == h && off.dim(3) == w && mod.dim(1) == kk &&
                  mod.dim(2) == h && mod.dim(3) == w && y.dim(1) == x.dim(1) &&
                  y.dim(2) == h * static_cast<uint64_t>(k) &&
                  y.dim(3) == w * static_cast<uint64_t>(k);
  if (!ok) return check.fail("input, offsets, modulation and output shapes disagree");
  return true;
}

bool run_deform_unfold(const OpContext& ctx) {
  const CpuValue& xv = ctx.in_value(0);
  const int64_t k = ctx.node.attr(kDeformKernelWord);
  const int64_t pad = k > kDeformNarrowKernel ? kDeformWidePadding : kDeformNarrowPadding;
  const int64_t channels = static_cast<int64_t>(xv.dim(1));
  const int64_t h = static_cast<int64_t>(xv.dim(2)), w = static_cast<int64_t>(xv.dim(3));
  const int64_t hp = h + 2 * pad, wp = w + 2 * pad;
  const float* x = ctx.in(0);
  const float* offsets = ctx.in(1);
  const float* modulation = ctx.in(2);
  float* y = ctx.out(0);
  const int64_t plane = h * w;
  const int64_t row = w * k;
  // One unit is one input row: it fills K output rows of every channel.
  const uint64_t work = static_cast<uint64_t>(channels * plane * k * k);
  for_unit_ranges(static_cast<uint64_t>(h), work, [&](uint64_t first, uint64_t last) {
    for (int64_t cy = static_cast<int64_t>(first); cy < static_cast<int64_t>(last); ++cy) {
      for (int64_t cx = 0; cx < w; ++cx) {
        for (int64_t ky = 0; ky < k; ++ky) {
          for (int64_t kx = 0; kx < k; ++kx) {
            const int64_t t = ky * k + kx;
            const int64_t at = cy * w + cx;
            const float py = clamp_float(static_cast<float>(cy + ky) + offsets[2 * t * plane + at],
                                         0.0f, static_cast<float>(hp - 1));
            const float px =
                clamp_float(static_cast<float>(cx + kx) + offsets[(2 * t + 1) * plane + at], 0.0f,
                            static_cast<float>(wp - 1));
            const int64_t y0 = static_cast<int64_t>(py);
            const int64_t x0 = static_cast<int64_t>(px);
            const int64_t y1 = y0 + 1 >= hp ? hp - 1 : y0 + 1;
            const int64_t x1 = x0 + 1 >= wp ? wp - 1 : x0 + 1;
            const float fy = py - static_cast<float>(y0);
            const float fx = px - static_cast<float>(x0);
            const float m = modulation[t * plane + at];
            // Taps in the order (y0, x0), (y1, x0), (y0, x1), (y1, x1).
            const int64_t tr[4] = {y0 - pad, y1 - pad, y0 - pad, y1 - pad};
            const int64_t tc[4] = {x0 - pad, x0 - pad, x1 - pad, x1 - pad};
            const float tw[4] = {(1.0f - fy) * (1.0f - fx) * m, fy * (1.0f - fx) * m,
                                 (1.0f - fy) * fx * m, fy * fx * m};
            const int64_t out_at = (cy * k + ky) * row + cx * k + kx;
            for (int64_t ch = 0; ch < channels; ++ch) {
              float acc = 0.0f;
              for (int i = 0; i < 4; ++i) {
                if (tr[i] < 0 || tr[i] >= h || tc[i] < 0 || tc[i] >= w) continue;
                acc = std::fma(tw[i], x[ch * plane + tr[i] * w + tc[i]], acc);
              }
              y[ch * plane * k * k + out_at] = acc;
            }
          }
        }
      }
    }
  });
  return true;
}

}  // namespace

void cpu_resize_linear_axis(uint64_t in, uint64_t out, bool corners, int32_t* i0, int32_t* i1,
                            float* weight) {
  const uint64_t a = corners && out > 1 ? 1 : 0;
  const float s = static_cast<float>(in - a) / static_cast<float>(out - a);
  const int64_t last = static_cast<int64_t>(in) - 1;
  for (uint64_t o = 0; o < out; ++o) {
    const float src =
        corners ? static_cast<float>(o) * s : std::fma(static_cast<float>(o) + 0.5f, s, -0.5f);
    if (!(src > 0.0f)) {
      i0[o] = 0;
      i1[o] = 0;
      weight[o] = 0.0f;
      continue;
    }
    const int64_t i = static_cast<int64_t>(clamp_float(src, 0.0f, static_cast<float>(last)));
    const int64_t lo = i < last ? i : last;
    i0[o] = static_cast<int32_t>(lo);
    i1[o] = static_cast<int32_t>(lo + 1 < last ? lo + 1 : last);
    weight[o] = i >= last ? 0.0f : src - static_cast<float>(lo);
  }
}

void cpu_resize_nearest_axis(uint64_t in, uint64_t out, bool corners, int32_t* index) {
  const int64_t n = static_cast<int64_t>(in);
  const int64_t m = static_cast<int64_t>(out);
  for (int64_t o = 0; o < m; ++o) {
    // The source coordinate is num / den + 1/2; ties go down, so the index is
    // ceil(num / den) with exact integers.
    int64_t num = 0, den = 1;
    if (corners) {
      num = m > 1 ? 2 * o * (n - 1) - (m - 1) : 0;
      den = m > 1 ? 2 * (m - 1) : 1;
    } else {
      num = (2 * o + 1) * n - 2 * m;
      den = 2 * m;
    }
    int64_t i = num >= 0 ? (num + den - 1) / den : -((-num) / den);
    if (i < 0) i = 0;
    if (i > n - 1) i = n - 1;
    index[o] = static_cast<int32_t>(i);
  }
}

void cpu_resize_force_portable(bool portable) {
  g_simd.force_portable(portable);
}

void cpu_resize_linear_worker(void* job_ptr, size_t plane) {
  const ResizeLinearJob& job = *static_cast<const ResizeLinearJob*>(job_ptr);
  if (avx2_enabled()) {
    resize_linear_plane_avx2(job, plane);
    return;
  }
  const float* v = job.input + plane * job.h * job.w;
  float* out = job.output + plane * job.oh * job.ow;
  for (uint64_t oy = 0; oy < job.oh; ++oy) {
    const float* r0 = v + static_cast<uint64_t>(job.y0[oy]) * job.w;
    const float* r1 = v + static_cast<uint64_t>(job.y1[oy]) * job.w;
    const float wy = job.wy[oy];
    float* dst = out + oy * job.ow;
    for (uint64_t ox = 0; ox < job.ow; ++ox) {
      const uint64_t c0 = static_cast<uint64_t>(job.x0[ox]);
      const uint64_t c1 = static_cast<uint64_t>(job.x1[ox]);
      const float wx = job.wx[ox];
      const float top = std::fma(wx, r0[c1] - r0[c0], r0[c0]);
      const float bottom = std::fma(wx, r1[c1] - r1[c0], r1[c0]);
      dst[ox] = std::fma(wy, bottom - top, top);
    }
  }
}

void cpu_resize_nearest_worker(void* job_ptr, size_t plane) {
  const ResizeNearestJob& job = *static_cast<const ResizeNearestJob*>(job_ptr);
  const float* v = job.input + plane * job.h * job.w;
  float* out = job.output + plane * job.oh * job.ow;
  for (uint64_t oy = 0; oy < job.oh; ++oy) {
    const float* row = v + static_cast<uint64_t>(job.sy[oy]) * job.w;
    float* dst = out + oy * job.ow;
    for (uint64_t ox = 0; ox < job.ow; ++ox) dst[ox] = row[job.sx[ox]];
  }
}

void register_resize_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kResize), check_resize, run_resize, resize_workspace);
  registry.add(static_cast<uint64_t>(OpKind::kGridSample), check_grid_sample, run_grid_sample);
  registry.add(static_cast<uint64_t>(OpKind::kDeformUnfold), check_deform_unfold,
               run_deform_unfold);
}

}  // namespace vexa::cpu
