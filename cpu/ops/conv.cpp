#include "cpu/ops/conv.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "cpu/ops/conv_depthwise_simd.h"
#include "cpu/ops/conv_simd.h"
#include "cpu/ops/eltwise.h"
#include "cpu/ops/gemm.h"
#include "cpu/ops/parallel_for.h"
#include "cpu/ops/simd_switch.h"
#include "cpu/quant_study.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

namespace {

// Output planes below this many elements take the whole plane as one im2col band.
constexpr int64_t kIm2colWholePlaneOutputs = 65536;
// Upper bound of one band's column matrix, in floats (16 MiB).
constexpr int64_t kIm2colBandFloats = 4194304;
// Parallel thresholds (worker count, total work).
constexpr int64_t kIm2colMinChannels = 8;
constexpr int64_t kIm2colMinWork = 8192;
constexpr int64_t kDepthwiseMinChannels = 8;
constexpr int64_t kDepthwiseMinWork = 4096;
// Outputs a depthwise task covers at least (whole planes).
constexpr int64_t kDepthwiseTaskOutputs = 2048;
constexpr int64_t kEpilogueMinChannels = 8;
constexpr int64_t kEpilogueMinWork = 65536;
constexpr int64_t kCol2imMinChannels = 8;
constexpr int64_t kCol2imMinWork = 8192;
// Pixel ranges of a wide im2col band: kMinParts to kMaxParts ranges of at least
// kPartMinColumns output pixels, else at least kMinNarrowParts of kPartNarrowColumns; range
// lengths a multiple of kPartAlign. Each range builds its columns on the thread that
// multiplies them, so freshly written columns never have to cross cores.
constexpr int64_t kPartMinColumns = 256;
constexpr int64_t kMinParts = 8;
constexpr int64_t kPartNarrowColumns = 128;
constexpr int64_t kMinNarrowParts = 6;
// Mid-sized bands of deep products (at least kDeepPartMinDepth input channels x kernel area)
// take kDeepParts ranges instead: 784 outputs at depth 1,152 run 30-40% faster at 8 threads
// in 14 ranges than in 7, whose one idle thread and uneven finish outweigh packing the
// weights twice as often (2-3% slower at one thread).
constexpr int64_t kDeepPartMinDepth = 1024;
constexpr int64_t kDeepParts = 16;
constexpr int64_t kMaxParts = 24;
// Column floats of one range that fit comfortably in a core's second-level cache.
constexpr int64_t kPartCacheFloats = 131072;
// Shifted-view path: enough input channels for each tap's product to run well, and a depth
// bound that keeps the weight copy small.
constexpr int64_t kShiftedMinChannels = 16;
constexpr int64_t kShiftedMaxDepth = 65536;
constexpr int64_t kShiftedColumnBlock = 16;
// Ranges of the shifted view: 16 keep 8 threads evenly busy where 8 or 9 left cores idle
// while the last ones finished (56 x 56 and 80 x 80 planes at 8 threads: 10-30% faster).
constexpr int64_t kShiftedMinParts = 16;
// Measured crossover: 28 x 28 planes run alike both ways, 14 x 14 and smaller lose.
constexpr int64_t kShiftedMinOutputs = 1024;
constexpr int64_t kPartAlign = 8;
// Least arithmetic per GEMM block of a Conv's single product: half the wrapper's default.
// MobileNetV2's pointwise convs on 28 x 28 and 14 x 14 planes (10-20 MFLOP) then spread over
// 8-10 blocks instead of 4-5: 3.8-4.4 -> 3.5-3.6 ms at 8 threads, one thread unchanged
// (a quarter of the default cost 3% there in packing).
constexpr int64_t kConvProductMinBlockFlops = 1'000'000;
// Deepest pointwise product the engine cuts into pixel ranges itself: measured, deeper ones
// (24 input channels and up) lose 4-8% to the narrower products.
constexpr int64_t kPointwiseCutMaxDepth = 16;

SimdSwitch g_simd(conv_simd_available);

using Stride2CopyFn = void (*)(float* dst, const float* src, int64_t n);

void copy_stride2_portable(float* dst, const float* src, int64_t n) {
  for (int64_t i = 0; i < n; ++i) dst[i] = src[2 * i];
}

bool simd_enabled() { return g_simd.enabled(); }

Stride2CopyFn select_stride2_copy() {
  return simd_enabled() ? copy_stride2_avx2 : copy_stride2_portable;
}

DepthwiseRowFn select_depthwise_row() {
  return simd_enabled() ? depthwise_row_avx2 : depthwise_row_portable;
}

// Range [lo, hi) of output positions o whose input position o * stride + offset lies in
// [0, extent).
void valid_range(int64_t count, int64_t stride, int64_t offset, int64_t extent, int64_t* lo,
                 int64_t* hi) {
  // o * stride + offset >= 0  <=>  o >= ceil(-offset / stride)
  int64_t a = offset >= 0 ? 0 : (-offset + stride - 1) / stride;
  // o * stride + offset <= extent - 1  <=>  o <= floor((extent - 1 - offset) / stride)
  const int64_t top = extent - 1 - offset;
  int64_t b = top < 0 ? 0 : top / stride + 1;
  a = std::min(a, count);
  b = std::min(b, count);
  *lo = a;
  *hi = std::max(a, b);
}

// Scratch of the padded depthwise kernel, on each worker's stack: one band of padded input
// rows, small enough to stay in the first-level cache.
constexpr int64_t kDepthwiseBandFloats = kPaddedBandFloats;
constexpr int64_t kLaneFloats = 8;
// Floats a fused chain of scalar steps handles at a time (its saved copy is on the stack).
constexpr int64_t kTailPieceFloats = 1024;

int64_t round_up(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

bool depthwise_padded_layout(const ConvGeometry& g, DepthwisePadded* p) {
  return padded_window_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt, g.pl, g.dh,
                              g.dw, p);
}

using DepthwiseDirectFn = void (*)(const DepthwiseDirect& d, int64_t channels, const float* x,
                                   const float* w, float* y, const float* bias,
                                   const WindowEpilogue* epilogue, float* scratch);

// The direct depthwise kernel for this CPU (only called when simd_enabled()).
DepthwiseDirectFn select_depthwise_direct() {
  static std::once_flag once;
  static DepthwiseDirectFn fn = depthwise_planes_direct_avx2;
  std::call_once(once, [] {
    if (depthwise_direct_avx512_available()) fn = depthwise_planes_direct_avx512;
  });
  return fn;
}

using DepthwiseChannelsFn = void (*)(const DepthwiseChannels& d, int64_t groups, const float* x,
                                     const float* w, float* y, const float* bias,
                                     const WindowEpilogue* epilogue, float* scratch);

// The channel-lane depthwise kernel for this CPU (only called when simd_enabled()).
DepthwiseChannelsFn select_depthwise_channels() {
  static const DepthwiseChannelsFn fn =
      depthwise_direct_avx512_available() ? depthwise_channels_avx512 : depthwise_channels_avx2;
  return fn;
}

bool depthwise_channels_layout_of(const ConvGeometry& g, DepthwiseChannels* p) {
  return depthwise_channels_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt, g.pl,
                                   g.dh, g.dw, p);
}

bool depthwise_direct_layout_of(const ConvGeometry& g, DepthwiseDirect* p) {
  return depthwise_direct_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt, g.pl, g.dh,
                                 g.dw, p);
}

// Rows of a depthwise window held in a stack table; taller kernels take the checked loop.
constexpr int64_t kDepthwiseMaxRows = 32;

// One depthwise output plane. Columns whose taps are all inside the row go through the row
// kernel; edge columns sum their in-bounds taps in the same (kh, kw) order, so every path
// gives the same bits.
void depthwise_plane(const ConvGeometry& g, const float* x, const float* w, float* y,
                     DepthwiseRowFn row_fn) {
  const float* rows[kDepthwiseMaxRows];
  int64_t lo = 0, hi = 0, lo_last = 0, hi_first = 0;
  valid_range(g.ow, g.sw, -g.pl, g.w, &lo, &hi_first);
  valid_range(g.ow, g.sw, int64_t{g.kw - 1} * g.dw - g.pl, g.w, &lo_last, &hi);
  if (g.kh > kDepthwiseMaxRows || hi < lo) lo = hi = 0;
  DepthwiseRow r{rows, w, g.kh, g.kw, g.sw, g.dw, -int64_t{g.pl}};
  for (int64_t oh = 0; oh < g.oh; ++oh) {
    float* yrow = y + oh * g.ow;
    for (int64_t kh = 0; kh < g.kh && kh < kDepthwiseMaxRows; ++kh) {
      const int64_t ih = oh * g.sh - g.pt + kh * g.dh;
      rows[kh] = ih >= 0 && ih < g.h ? x + ih * g.w : nullptr;
    }
    auto edge = [&](int64_t ow) {
      float acc = 0.0f;
      for (int64_t kh = 0; kh < g.kh; ++kh) {
        const int64_t ih = oh * g.sh - g.pt + kh * g.dh;
        if (ih < 0 || ih >= g.h) continue;
        for (int64_t kw = 0; kw < g.kw; ++kw) {
          const int64_t iw = ow * g.sw - g.pl + kw * g.dw;
          if (iw < 0 || iw >= g.w) continue;
          acc = std::fma(x[ih * g.w + iw], w[kh * g.kw + kw], acc);
        }
      }
      yrow[ow] = acc;
    };
    for (int64_t ow = 0; ow < lo; ++ow) edge(ow);
    if (hi > lo) row_fn(r, yrow, lo, hi);
    for (int64_t ow = std::max(lo, hi); ow < g.ow; ++ow) edge(ow);
  }
}

// Fills the column matrix for input channels of one group and output rows [oh0, oh0 + rows).
void im2col_channel(const ConvGeometry& g, const float* xc, int64_t c, int64_t oh0, int64_t rows,
                    float* col) {
  const int64_t band = rows * g.ow;
  for (int64_t kh = 0; kh < g.kh; ++kh) {
    for (int64_t kw = 0; kw < g.kw; ++kw) {
      float* dst = col + ((c * g.kh + kh) * g.kw + kw) * band;
      const int64_t off = kw * g.dw - g.pl;
      int64_t lo, hi;
      valid_range(g.ow, g.sw, off, g.w, &lo, &hi);
      for (int64_t r = 0; r < rows; ++r) {
        float* d = dst + r * g.ow;
        const int64_t ih = (oh0 + r) * g.sh - g.pt + kh * g.dh;
        if (ih < 0 || ih >= g.h || hi <= lo) {
          std::fill(d, d + g.ow, 0.0f);
          continue;
        }
        // First in-bounds tap of the row; earlier columns are padding.
        const float* src = xc + ih * g.w + (lo * g.sw + off);
        std::fill(d, d + lo, 0.0f);
        if (g.sw == 1) {
          std::memcpy(d + lo, src, sizeof(float) * static_cast<size_t>(hi - lo));
        } else {
          for (int64_t o = 0; o < hi - lo; ++o) d[lo + o] = src[o * g.sw];
        }
        std::fill(d + hi, d + g.ow, 0.0f);
      }
    }
  }
}

// Column matrix of output pixels [q0, q1) of the plane (pixel q = oh x OW + ow) for all Cg
// input channels of one group: col[(c x KH + kh) x KW + kw][q - q0], 0 where the tap falls
// into padding. In-bounds runs are block copies, padding runs zero fills.
void im2col_range(const ConvGeometry& g, const float* xg, int64_t cg, int64_t q0, int64_t q1,
                  float* col) {
  const Stride2CopyFn copy2 = select_stride2_copy();
  const int64_t len = q1 - q0;
  const int64_t first_row = q0 / g.ow, first_col = q0 - first_row * g.ow;
  for (int64_t c = 0; c < cg; ++c) {
    const float* xc = xg + c * g.h * g.w;
    for (int64_t kh = 0; kh < g.kh; ++kh) {
      for (int64_t kw = 0; kw < g.kw; ++kw) {
        float* dst = col + ((c * g.kh + kh) * g.kw + kw) * len;
        const int64_t off = kw * g.dw - g.pl;
        int64_t lo, hi;
        valid_range(g.ow, g.sw, off, g.w, &lo, &hi);
        int64_t oh = first_row, a = first_col;
        for (int64_t q = q0; q < q1; ++oh, a = 0) {
          const int64_t b = std::min<int64_t>(g.ow, a + (q1 - q));
          float* seg = dst + (q - q0);  // seg[i] is the slot of column a + i of this row
          const int64_t ih = oh * g.sh - g.pt + kh * g.dh;
          const int64_t l = std::max(lo, a), h = std::min(hi, b);
          if (ih < 0 || ih >= g.h || h <= l) {
            std::fill(seg, seg + (b - a), 0.0f);
          } else {
            std::fill(seg, seg + (l - a), 0.0f);
            const float* src = xc + ih * g.w + (l * g.sw + off);
            float* run = seg + (l - a);
            if (g.sw == 1) {
              std::memcpy(run, src, sizeof(float) * static_cast<size_t>(h - l));
            } else if (g.sw == 2) {
              copy2(run, src, h - l);
            } else {
              for (int64_t o = 0; o < h - l; ++o) run[o] = src[o * g.sw];
            }
            std::fill(seg + (h - a), seg + (b - a), 0.0f);
          }
          q += b - a;
        }
      }
    }
  }
}

// Direct convolution without scratch; serves as the fallback when a caller hands in too
// small a workspace, so the output is always written.
void conv_direct(const ConvGeometry& g, const float* x, const float* wt, float* y) {
  const int64_t group = std::max(1, g.group);
  const int64_t cg = g.c_in / group;
  const int64_t cog = g.c_out / group;
  for (int64_t co = 0; co < g.c_out; ++co) {
    const int64_t gi = co / cog;
    for (int64_t oh = 0; oh < g.oh; ++oh) {
      for (int64_t ow = 0; ow < g.ow; ++ow) {
        float acc = 0.0f;
        for (int64_t c = 0; c < cg; ++c) {
          const float* xc = x + (gi * cg + c) * g.h * g.w;
          const float* wc = wt + (co * cg + c) * g.kh * g.kw;
          for (int64_t kh = 0; kh < g.kh; ++kh) {
            const int64_t ih = oh * g.sh - g.pt + kh * g.dh;
            if (ih < 0 || ih >= g.h) continue;
            for (int64_t kw = 0; kw < g.kw; ++kw) {
              const int64_t iw = ow * g.sw - g.pl + kw * g.dw;
              if (iw < 0 || iw >= g.w) continue;
              acc += xc[ih * g.w + iw] * wc[kh * g.kw + kw];
            }
          }
        }
        y[(co * g.oh + oh) * g.ow + ow] = acc;
      }
    }
  }
}

bool epilogue_active(const ConvEpilogue& e) {
  if (e.activation == kConvActNone && e.table == nullptr && e.residual == nullptr) return false;
  if (e.activation == kConvActProgram) return e.program != nullptr;
  return e.activation >= kConvActNone && e.activation <= kConvActSilu;
}

// A fused chain of scalar steps over one plane, a cache-sized piece at a time.
void run_tail_program(float* p, int64_t n, const float* program) {
  const float count = program[0];
  // The table is a weight: a count outside the program's room runs no step.
  const int32_t steps = count >= 0.0f && count <= static_cast<float>(kConvTailMaxSteps)
                            ? static_cast<int32_t>(count)
                            : 0;
  float saved[kTailPieceFloats];
  for (int64_t i = 0; i < n; i += kTailPieceFloats) {
    const size_t len = static_cast<size_t>(std::min<int64_t>(kTailPieceFloats, n - i));
    float* v = p + i;
    bool have_saved = false;
    for (int32_t k = 0; k < steps; ++k) {
      const float* step = program + 1 + k * kConvTailStepFloats;
      const float a = step[1];
      switch (static_cast<int32_t>(step[0])) {
        case kTailMul: vec_mul_scalar(v, a, v, len); break;
        case kTailAdd: vec_add_scalar(v, a, v, len); break;
        case kTailDiv: cpu_div_by_scalar(v, a, v, len); break;
        case kTailClip: vec_clip(v, a, step[2], v, len); break;
        case kTailSave:
          std::copy(v, v + len, saved);
          have_saved = true;
          break;
        case kTailMulSaved:
          if (have_saved) vec_mul(saved, v, v, len);
          break;
        default: break;
      }
    }
  }
}

// The epilogues one vector pass can apply (bias, then an optional residual, then ReLU or
// Clip), as the vector kernel's parameters for channel c.
bool simple_epilogue(const ConvEpilogue& e, int64_t c, WindowEpilogue* w) {
  if (!epilogue_active(e)) return false;
  w->has_bias = e.table != nullptr;
  w->bias = e.table != nullptr ? e.table[c] : 0.0f;
  switch (e.activation) {
    case kConvActNone: w->mode = WindowEpilogue::kNone; return true;
    case kConvActRelu: w->mode = WindowEpilogue::kRelu; return true;
    case kConvActClip:
      w->mode = WindowEpilogue::kClip;
      w->lo = e.clip_lo;
      w->hi = e.clip_hi;
      return true;
    default: return false;
  }
}

// The epilogues the padded depthwise kernel can apply as it stores (bias, ReLU, Clip).
bool window_epilogue(const ConvEpilogue& e, int64_t c, WindowEpilogue* w) {
  return e.residual == nullptr && simple_epilogue(e, c, w);
}

void epilogue_channel(float* p, int64_t n, int64_t c, int64_t c_out, const ConvEpilogue& e) {
  // The residual Add comes after the bias, as the Add node after the Conv did.
  const float* residual = e.residual != nullptr ? e.residual + (p - e.output_base) : nullptr;
  WindowEpilogue simple;
  if (simd_enabled() && simple_epilogue(e, c, &simple)) {
    conv_epilogue_row_avx2(p, n, simple, residual);  // the steps below in one pass
    return;
  }
  // Each step is one of the vector routines the separate nodes use (a single IEEE operation
  // per element), so the fused result has the unfused bits.
  const float* t = e.table;
  const size_t len = static_cast<size_t>(n);
  const bool bias = t != nullptr && e.activation != kConvActReluAffine;
  if (bias) vec_add_scalar(p, t[c], p, len);
  if (residual != nullptr && e.activation != kConvActReluAffine) vec_add(p, residual, p, len);
  switch (e.activation) {
    case kConvActRelu:
      vec_zero_below(p, 0.0f, p, len);  // NaN becomes 0
      break;
    case kConvActReluAffine: {
      if (t == nullptr) break;
      vec_add_scalar(p, t[c], p, len);
      if (residual != nullptr) vec_add(p, residual, p, len);
      vec_zero_below(p, 0.0f, p, len);
      vec_mul_scalar_add_scalar(p, t[c_out + c], t[2 * c_out + c], p, len);
      break;
    }
    case kConvActLeakyRelu:
      for (int64_t i = 0; i < n; ++i) p[i] = p[i] >= 0.0f ? p[i] : p[i] * e.slope;
      break;
    case kConvActClip:
      vec_clip(p, e.clip_lo, e.clip_hi, p, len);  // as the Clip node: NaN stays
      break;
    case kConvActSilu:
      vec_silu(p, p, len);  // rounded as the Sigmoid and Mul nodes round it
      break;
    case kConvActProgram:
      run_tail_program(p, n, e.program);
      break;
    default:
      break;
  }
}

// The channel kernel's tasks: whole planes of groups of eight channels, several groups to a
// task on small planes (as the plane kernel's tasks take several planes). Returns the
// channels done (whole groups), or 0 when there are fewer tasks than threads: a few large
// planes go faster through the plane kernel, one channel per task, than cut into row ranges
// (measured: 32 planes of 112 x 112 at eight threads, 23 us against 35 us).
int64_t depthwise_channel_groups(const ConvGeometry& g, const DepthwiseChannels& lanes,
                                 DepthwiseChannelsFn fn, const float* x, const float* w,
                                 float* y, const ConvEpilogue& epilogue, bool parallel) {
  const int64_t plane = int64_t{g.oh} * g.ow, in_plane = int64_t{g.h} * g.w;
  const int64_t groups = g.c_in / kDepthwiseChannelLanes;
  const int64_t per_task =
      std::max<int64_t>(1, kDepthwiseTaskOutputs / (plane * kDepthwiseChannelLanes));
  const int64_t tasks = (groups + per_task - 1) / per_task;
  const int64_t threads = parallel ? static_cast<int64_t>(vexa::parallel_thread_budget()) : 1;
  if (groups == 0 || tasks < threads) return 0;
  const bool with_epilogue = epilogue_active(epilogue);
  cpu_parallel_for(tasks, parallel, [&](int64_t task) {
    const int64_t c0 = task * per_task * kDepthwiseChannelLanes;
    const int64_t count = std::min(per_task, groups - task * per_task);
    WindowEpilogue fused;
    const bool inline_epilogue = window_epilogue(epilogue, c0, &fused);
    const float* bias = inline_epilogue && fused.has_bias ? epilogue.table + c0 : nullptr;
    fn(lanes, count, x + c0 * in_plane, w + c0 * g.kh * g.kw, y + c0 * plane, bias,
       inline_epilogue ? &fused : nullptr, depthwise_channel_scratch());
    if (with_epilogue && !inline_epilogue) {
      for (int64_t c = c0; c < c0 + count * kDepthwiseChannelLanes; ++c)
        epilogue_channel(y + c * plane, plane, c, g.c_out, epilogue);
    }
  });
  return groups * kDepthwiseChannelLanes;
}

// Stride-1 and stride-2 convolutions without a column matrix. The input is copied once into
// zero-padded planes split by stride phase (stride 2: even and odd rows times even and odd
// columns), each Wq = OW + (KW - 1) / stride wide, so the tap (kh, kw) of output pixel
// (oh, ow) sits at flat offset (oh x Wq + ow) + (kh / s) x Wq + kw / s of phase
// (kh mod s, kw mod s). Each tap is then one product of the tap's weights (C_out x C_in) with
// a shifted view of the phase planes, accumulated over the taps, on rows of Wq outputs of
// which the first OW are kept.
struct ShiftedLayout {
  int64_t stride = 1;
  int64_t wq = 0, hq = 0;
  int64_t phase_stride = 0;    // floats per phase plane, with a zero tail for the last taps
  int64_t channel_stride = 0;  // stride x stride phase planes
  int64_t taps = 0;
  int64_t padded_outputs = 0;  // OH x Wq
  int64_t part_len = 0, parts = 0;
  int64_t input_floats = 0, weight_floats = 0, scratch_floats = 0;
  int64_t total() const { return input_floats + weight_floats + scratch_floats; }
};

bool shifted_layout(const ConvGeometry& g, ShiftedLayout* s) {
  if (std::max(1, g.group) != 1 || g.sh != g.sw || (g.sh != 1 && g.sh != 2) || g.dh != 1 ||
      g.dw != 1 || int64_t{g.kh} * g.kw < 2 || g.pt >= g.kh || g.pl >= g.kw || g.batch < 1 ||
      g.c_in < kShiftedMinChannels || g.c_out < 1 || g.oh < 1 || g.ow < 1 ||
      int64_t{g.c_in} * g.kh * g.kw > kShiftedMaxDepth || cpu_fakequant_enabled())
    return false;
  s->stride = g.sh;
  s->wq = int64_t{g.ow} + (g.kw - 1) / s->stride;
  s->hq = int64_t{g.oh} + (g.kh - 1) / s->stride;
  s->taps = int64_t{g.kh} * g.kw;
  s->phase_stride = round_up(s->hq * s->wq + g.kw, kLaneFloats);
  s->channel_stride = s->stride * s->stride * s->phase_stride;
  s->padded_outputs = int64_t{g.oh} * s->wq;
  // Small planes make short products per tap; the column matrix serves them better.
  if (s->padded_outputs < kShiftedMinOutputs) return false;
  // Ranges whose accumulator and shifted inputs stay in the second-level cache, at least
  // kShiftedMinParts of them so every core has work; lengths a multiple of 16 columns, which the
  // library's kernel runs fastest.
  int64_t len = kPartCacheFloats / std::max<int64_t>(g.c_in, g.c_out);
  len = std::min(len, (s->padded_outputs + kShiftedMinParts - 1) / kShiftedMinParts);
  len = std::max<int64_t>(kShiftedColumnBlock, len / kShiftedColumnBlock * kShiftedColumnBlock);
  s->part_len = len;
  s->parts = (s->padded_outputs + len - 1) / len;
  s->input_floats = int64_t{g.c_in} * s->channel_stride;
  s->weight_floats = s->taps * g.c_out * g.c_in;
  s->scratch_floats = s->parts * g.c_out * len;
  return true;
}

void conv_shifted(const ConvGeometry& g, const ShiftedLayout& s, const float* x, const float* wt,
                  float* y, const ConvEpilogue& epilogue, float* workspace) {
  float* xp = workspace;
  float* wtaps = xp + s.input_floats;
  float* scratch = wtaps + s.weight_floats;
  const int64_t plane = int64_t{g.oh} * g.ow;
  const int64_t cin = g.c_in, cout = g.c_out, st = s.stride;
  const Stride2CopyFn copy2 = select_stride2_copy();
  // Phase planes, one channel per task: phase (a, b) row r, column c holds input
  // (st r + a - pt, st c + b - pl), 0 outside the input.
  cpu_parallel_for(cin, cin >= kIm2colMinChannels, [&](int64_t c) {
    float* dst = xp + c * s.channel_stride;
    std::fill(dst, dst + s.channel_stride, 0.0f);
    const float* src = x + c * g.h * g.w;
    for (int64_t a = 0; a < st; ++a) {
      for (int64_t b = 0; b < st; ++b) {
        float* phase = dst + (a * st + b) * s.phase_stride;
        int64_t lo, hi;
        valid_range(s.wq, st, b - g.pl, g.w, &lo, &hi);
        if (hi <= lo) continue;
        for (int64_t r = 0; r < s.hq; ++r) {
          const int64_t ih = st * r + a - g.pt;
          if (ih < 0 || ih >= g.h) continue;
          const float* run = src + ih * g.w + (st * lo + b - g.pl);
          if (st == 1) {
            std::copy(run, run + (hi - lo), phase + r * s.wq + lo);
          } else {
            copy2(phase + r * s.wq + lo, run, hi - lo);
          }
        }
      }
    }
  });
  // Weights of each tap as a C_out x C_in matrix, a tap per task.
  cpu_parallel_for(s.taps, true, [&](int64_t t) {
    for (int64_t m = 0; m < cout; ++m)
      for (int64_t c = 0; c < cin; ++c) wtaps[(t * cout + m) * cin + c] = wt[(m * cin + c) * s.taps + t];
  });
  const bool with_epilogue = epilogue_active(epilogue);
  cpu_parallel_for(s.parts, s.parts > 1, [&](int64_t p) {
    const int64_t q0 = p * s.part_len;
    const int64_t q1 = std::min(s.padded_outputs, q0 + s.part_len);
    const int64_t len = q1 - q0;
    float* acc = scratch + p * cout * s.part_len;
    for (int64_t t = 0; t < s.taps; ++t) {
      const int64_t kh = t / g.kw, kw = t % g.kw;
      const int64_t offset =
          ((kh % st) * st + kw % st) * s.phase_stride + (kh / st) * s.wq + kw / st;
      cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(cout),
               static_cast<int32_t>(len), static_cast<int32_t>(cin), 1.0f, wtaps + t * cout * cin,
               static_cast<int32_t>(cin), xp + q0 + offset,
               static_cast<int32_t>(s.channel_stride), t == 0 ? 0.0f : 1.0f, acc,
               static_cast<int32_t>(s.part_len));
    }
    // Keep the first OW of every padded row; the epilogue runs on each kept run in cache.
    for (int64_t m = 0; m < cout; ++m) {
      const float* row = acc + m * s.part_len;
      for (int64_t q = q0; q < q1;) {
        const int64_t oh = q / s.wq, ow = q - oh * s.wq;
        const int64_t run_end = std::min(q1, oh * s.wq + s.wq);
        if (ow < g.ow) {
          const int64_t keep = std::min<int64_t>(g.ow - ow, run_end - q);
          float* out = y + m * plane + oh * g.ow + ow;
          std::copy(row + (q - q0), row + (q - q0) + keep, out);
          if (with_epilogue) epilogue_channel(out, keep, m, cout, epilogue);
        }
        q = run_end;
      }
    }
  });
}

// The epilogue of each block of a product whose rows are output channels (row r is channel
// first_channel + r at y + r * plane), run by the thread that computed the block while the
// block is in cache: no second pass over the output from other cores. The epilogue works
// element by element, so where it runs never changes a result.
struct ProductEpilogue {
  float* y;
  int64_t plane;
  int64_t first_channel;
  int64_t c_out;
  const ConvEpilogue* epilogue;

  static void run(void* ctx, int64_t row0, int64_t rows, int64_t col0, int64_t cols) {
    const auto& p = *static_cast<const ProductEpilogue*>(ctx);
    for (int64_t r = row0; r < row0 + rows; ++r) {
      epilogue_channel(p.y + r * p.plane + col0, cols, p.first_channel + r, p.c_out,
                       *p.epilogue);
    }
  }
  GemmBlockHook hook() { return GemmBlockHook{run, this}; }
  // Block by block only when several threads share the product: on one thread the blocks
  // would cut every row into short runs, and one pass per row afterwards is cheaper.
  bool in_blocks() const {
    return epilogue_active(*epilogue) && vexa::parallel_thread_budget() > 1;
  }
};

// Pixel ranges of a pointwise product cut by the engine itself (1: one product, split by
// the platform GEMM). Only shallow products are cut: their output is large beside the
// arithmetic, so the epilogue's pass over it pays most, and each range's output must stay
// in the second-level cache.
int64_t pointwise_parts(int64_t c_in, int64_t c_out, int64_t plane) {
  if (cpu_fakequant_enabled() || c_in > kPointwiseCutMaxDepth) return 1;
  int64_t parts = std::min(plane / kPartMinColumns, kMaxParts);
  if (parts < kMinParts) return 1;
  parts = std::max(parts, (plane * c_out + kPartCacheFloats - 1) / kPartCacheFloats);
  return parts;
}

}  // namespace

bool padded_window_layout(int64_t h, int64_t w, int64_t oh, int64_t ow, int64_t kh, int64_t kw,
                          int64_t sh, int64_t sw, int64_t pt, int64_t pl, int64_t dh, int64_t dw,
                          DepthwisePadded* p) {
  // An empty plane may come without storage: the portable loops never read it.
  if ((sw != 1 && sw != 2) || oh < 1 || ow < 1 || kh < 1 || kw < 1 || h < 1 || w < 1 ||
      kw > kDepthwiseMaxTaps)
    return false;
  p->h = h, p->w = w, p->oh = oh, p->ow = ow, p->kh = kh, p->kw = kw;
  p->sh = sh, p->sw = sw, p->pt = pt, p->pl = pl, p->dh = dh, p->dw = dw;
  // Every eight-lane read of the last block stays inside its row (for stride 2, inside its
  // half of even or odd columns).
  const int64_t blocks_end = round_up(ow, kLaneFloats);
  const int64_t reach = (kw - 1) * dw;
  p->row_stride = sw == 1 ? round_up(blocks_end + reach, kLaneFloats)
                          : 2 * round_up(blocks_end + reach / 2 + 1, kLaneFloats);
  const int64_t rows_fit = kPaddedBandFloats / p->row_stride - 1;
  const int64_t window = (kh - 1) * dh + 1;
  if (rows_fit < window) return false;
  p->band_rows = std::min<int64_t>((rows_fit - window) / sh + 1, oh);
  p->band_floats = ((p->band_rows - 1) * sh + window) * p->row_stride;
  // One spare row after the band is kept free, so the band sizes stay as measured.
  return p->band_floats + p->row_stride <= kPaddedBandFloats;
}

void cpu_conv_force_portable(bool on) { g_simd.force_portable(on); }

int32_t cpu_conv_band_rows(int32_t oh, int32_t ow, int64_t k) {
  if (int64_t{oh} * ow < kIm2colWholePlaneOutputs) return std::max(oh, 1);
  const int64_t per_row = std::max<int64_t>(1, int64_t{ow} * k);
  const int64_t rows = std::min<int64_t>(kIm2colBandFloats / per_row, oh);
  return static_cast<int32_t>(std::max<int64_t>(rows, 1));
}

ConvPath cpu_conv_path(const ConvGeometry& g, bool allow_depthwise) {
  const int32_t group = std::max(1, g.group);
  const bool one_by_one = g.kh == 1 && g.kw == 1 && g.pt == 0 && g.pl == 0 && group == 1;
  // The plain product reads the input planes as the output planes: only when they match
  // (bottom or right padding makes the output larger; the gather handles that).
  if (one_by_one && g.sh == 1 && g.sw == 1 && g.oh == g.h && g.ow == g.w)
    return ConvPath::kPointwise;
  if (one_by_one) return ConvPath::kStridedPointwise;
  if (allow_depthwise && group == g.c_in && group == g.c_out) return ConvPath::kDepthwise;
  return ConvPath::kIm2col;
}

uint64_t cpu_conv_workspace_floats(const ConvGeometry& g) {
  const int32_t group = std::max(1, g.group);
  const ConvPath path = cpu_conv_path(g, true);
  if (path == ConvPath::kPointwise || path == ConvPath::kDepthwise) return 0;
  const int64_t k = int64_t{g.c_in / group} * g.kh * g.kw;
  const int64_t rows = cpu_conv_band_rows(g.oh, g.ow, k);
  ShiftedLayout shifted;
  if (path == ConvPath::kIm2col && shifted_layout(g, &shifted))
    return static_cast<uint64_t>(std::max(shifted.total(), k * g.ow * rows));
  return static_cast<uint64_t>(k * g.ow * rows);
}

uint64_t cpu_conv_transpose_workspace_floats(const ConvGeometry& g) {
  const int32_t group = std::max(1, g.group);
  return static_cast<uint64_t>(int64_t{g.c_out / group} * g.kh * g.kw * g.h * g.w);
}

void depthwise_row_portable(const DepthwiseRow& r, float* y, int64_t ow0, int64_t ow1) {
  for (int64_t ow = ow0; ow < ow1; ++ow) {
    float acc = 0.0f;
    for (int64_t kh = 0; kh < r.kh_count; ++kh) {
      const float* row = r.rows[kh];
      if (row == nullptr) continue;
      const float* src = row + ow * r.sw + r.offset;
      for (int64_t kw = 0; kw < r.kw_count; ++kw)
        acc = std::fma(src[kw * r.dw], r.weights[kh * r.kw_count + kw], acc);
    }
    y[ow] = acc;
  }
}

void cpu_depthwise_plane_reference(const ConvGeometry& g, const float* x, const float* w,
                                   float* y) {
  depthwise_plane(g, x, w, y, depthwise_row_portable);
}

void cpu_depthwise_plane(const ConvGeometry& g, const float* x, const float* w, float* y) {
  DepthwiseDirect direct;
  if (simd_enabled() && depthwise_direct_layout_of(g, &direct)) {
    alignas(64) float scratch[kDepthwiseDirectScratchFloats];
    select_depthwise_direct()(direct, 1, x, w, y, nullptr, nullptr, scratch);
    return;
  }
  DepthwisePadded padded;
  if (simd_enabled() && depthwise_padded_layout(g, &padded)) {
    alignas(64) float scratch[kDepthwiseBandFloats];
    depthwise_plane_padded_avx2(padded, x, w, y, scratch, nullptr);
    return;
  }
  depthwise_plane(g, x, w, y, select_depthwise_row());
}

bool cpu_conv_store_epilogue(const ConvEpilogue& e, int32_t* mode, float* lo, float* hi) {
  WindowEpilogue w;
  if (!simple_epilogue(e, 0, &w)) return false;
  *mode = w.mode;
  *lo = w.lo;
  *hi = w.hi;
  return true;
}

void cpu_conv_epilogue_run(float* p, int64_t n, int64_t c, int64_t c_out,
                           const ConvEpilogue& epilogue) {
  if (epilogue_active(epilogue)) epilogue_channel(p, n, c, c_out, epilogue);
}

void cpu_conv_epilogue(float* y, int32_t c_out, int64_t plane, const ConvEpilogue& epilogue) {
  if (!epilogue_active(epilogue)) return;
  ConvEpilogue e = epilogue;
  e.output_base = y;
  const bool parallel = c_out >= kEpilogueMinChannels && c_out * plane >= kEpilogueMinWork;
  cpu_parallel_for(c_out, parallel,
                   [&](int64_t c) { epilogue_channel(y + c * plane, plane, c, c_out, e); });
}

void cpu_conv2d(const ConvGeometry& g, const float* x, const float* wt, float* y,
                const ConvEpilogue& batch_epilogue, bool allow_depthwise, float* workspace,
                uint64_t workspace_floats) {
  const int32_t group = std::max(1, g.group);
  if (g.c_out <= 0 || g.oh <= 0 || g.ow <= 0) return;
  const int64_t in_item = int64_t{g.c_in} * g.h * g.w;
  const int64_t plane = int64_t{g.oh} * g.ow;
  const int64_t out_item = int64_t{g.c_out} * plane;
  const ConvPath path = cpu_conv_path(g, allow_depthwise);
  const int64_t cg = g.c_in / group;
  const int64_t cog = g.c_out / group;
  const int64_t k = cg * g.kh * g.kw;
  int64_t rows = cpu_conv_band_rows(g.oh, g.ow, k);
  if (path == ConvPath::kStridedPointwise || path == ConvPath::kIm2col) {
    // Never let a band outgrow the scratch the caller sized; one row must fit.
    const int64_t per_row = std::max<int64_t>(1, k * g.ow);
    rows = std::min<int64_t>(rows, static_cast<int64_t>(workspace_floats) / per_row);
  }
  ShiftedLayout shifted;
  for (int64_t item = 0; item < g.batch; ++item) {
    const float* xi = x + item * in_item;
    float* yi = y + item * out_item;
    ConvEpilogue epilogue = batch_epilogue;
    if (epilogue.residual != nullptr) epilogue.residual += item * out_item;
    epilogue.output_base = yi;
    bool banded = false;
    if (k == 0) {
      std::fill(yi, yi + out_item, 0.0f);
    } else if (path == ConvPath::kPointwise) {
      const int64_t parts = pointwise_parts(g.c_in, g.c_out, plane);
      if (parts > 1) {
        // Each pixel range runs its own product and its epilogue while the range is still
        // in cache; the ranges depend on the shape only.
        banded = true;
        const int64_t part_len = round_up((plane + parts - 1) / parts, kPartAlign);
        const int64_t count = (plane + part_len - 1) / part_len;
        const bool with_epilogue = epilogue_active(epilogue);
        cpu_parallel_for(count, true, [&](int64_t p) {
          const int64_t q0 = p * part_len;
          const int64_t len = std::min(part_len, plane - q0);
          cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, g.c_out,
                   static_cast<int32_t>(len), g.c_in, 1.0f, wt, g.c_in, xi + q0,
                   static_cast<int32_t>(plane), 0.0f, yi + q0, static_cast<int32_t>(plane));
          if (with_epilogue) {
            for (int64_t c = 0; c < g.c_out; ++c)
              epilogue_channel(yi + c * plane + q0, len, c, g.c_out, epilogue);
          }
        });
      } else {
        ProductEpilogue pe{yi, plane, 0, g.c_out, &epilogue};
        const GemmBlockHook hook = pe.hook();
        banded = pe.in_blocks();
        cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, g.c_out,
                 static_cast<int32_t>(plane), g.c_in, 1.0f, wt, g.c_in, xi,
                 static_cast<int32_t>(plane), 0.0f, yi, static_cast<int32_t>(plane),
                 kConvProductMinBlockFlops, banded ? &hook : nullptr);
      }
    } else if (path == ConvPath::kDepthwise) {
      const bool parallel = g.c_in >= kDepthwiseMinChannels &&
                            int64_t{g.c_in} * plane >= kDepthwiseMinWork;
      const DepthwiseRowFn row_fn = select_depthwise_row();
      DepthwiseDirect direct;
      const bool use_direct = simd_enabled() && depthwise_direct_layout_of(g, &direct);
      const DepthwiseDirectFn direct_fn = use_direct ? select_depthwise_direct() : nullptr;
      DepthwisePadded padded;
      const bool fast = simd_enabled() && depthwise_padded_layout(g, &padded);
      const bool with_epilogue = epilogue_active(epilogue);
      // Each plane gets its epilogue while it is still in cache. Small planes go several to
      // a task so the per-task cost stays small beside the work. Whole groups of eight
      // channels take the channel kernel where it serves the shape and thread count, the
      // channels after them (and every channel elsewhere) a plane at a time; each plane's
      // bits depend on its inputs only, whichever kernel computes it.
      DepthwiseChannels lanes;
      const int64_t c_first =
          use_direct && depthwise_channels_layout_of(g, &lanes)
              ? depthwise_channel_groups(g, lanes, select_depthwise_channels(), xi, wt, yi,
                                         epilogue, parallel)
              : 0;
      const int64_t per_task = std::max<int64_t>(1, kDepthwiseTaskOutputs / plane);
      const int64_t tasks = (g.c_in - c_first + per_task - 1) / per_task;
      banded = true;
      cpu_parallel_for(tasks, parallel, [&](int64_t task) {
        const int64_t c0 = c_first + task * per_task;
        const int64_t c_end = std::min<int64_t>(g.c_in, c0 + per_task);
        if (use_direct) {
          alignas(64) float scratch[kDepthwiseDirectScratchFloats];
          WindowEpilogue fused;
          const bool inline_epilogue = window_epilogue(epilogue, c0, &fused);
          const float* bias = inline_epilogue && fused.has_bias ? epilogue.table + c0 : nullptr;
          direct_fn(direct, c_end - c0, xi + c0 * g.h * g.w, wt + c0 * g.kh * g.kw,
                    yi + c0 * plane, bias, inline_epilogue ? &fused : nullptr, scratch);
          if (with_epilogue && !inline_epilogue) {
            for (int64_t c = c0; c < c_end; ++c)
              epilogue_channel(yi + c * plane, plane, c, g.c_out, epilogue);
          }
          return;
        }
        for (int64_t c = c0; c < c_end; ++c) {
          const float* xc = xi + c * g.h * g.w;
          const float* wc = wt + c * g.kh * g.kw;
          float* yc = yi + c * plane;
          if (fast) {
            alignas(64) float scratch[kDepthwiseBandFloats];
            WindowEpilogue fused;
            const bool inline_epilogue = window_epilogue(epilogue, c, &fused);
            depthwise_plane_padded_avx2(padded, xc, wc, yc, scratch,
                                        inline_epilogue ? &fused : nullptr);
            if (with_epilogue && !inline_epilogue) epilogue_channel(yc, plane, c, g.c_out, epilogue);
          } else {
            depthwise_plane(g, xc, wc, yc, row_fn);
            if (with_epilogue) epilogue_channel(yc, plane, c, g.c_out, epilogue);
          }
        }
      });
    } else if (workspace != nullptr && shifted_layout(g, &shifted) &&
               static_cast<uint64_t>(shifted.total()) <= workspace_floats) {
      banded = true;
      conv_shifted(g, shifted, xi, wt, yi, epilogue, workspace);
    } else if (rows < 1 || workspace == nullptr) {
      conv_direct(g, xi, wt, yi);
    } else {
      banded = true;
      for (int64_t gi = 0; gi < group; ++gi) {
        const float* xg = xi + gi * cg * g.h * g.w;
        const float* wg = wt + gi * cog * k;
        float* yg = yi + gi * cog * plane;
        for (int64_t oh0 = 0; oh0 < g.oh; oh0 += rows) {
          const int64_t band_rows = std::min<int64_t>(rows, g.oh - oh0);
          const int64_t q_begin = oh0 * g.ow;
          const int64_t band = band_rows * g.ow;
          // Wide bands are cut into pixel ranges that each build their own columns and run
          // their own single-threaded product while those columns are still in cache. The
          // cut depends on the shape only. The low-precision study shares operand scratch
          // between products, so it keeps to one product per band.
          // Wide ranges keep the products efficient; a mid-sized band takes narrower ones
          // rather than too few. Too few ranges would leave threads idle: one product with
          // its own split serves better there.
          int64_t parts = band / kPartMinColumns;
          if (parts < kMinParts) {
            parts = band / kPartNarrowColumns;
            if (parts >= kMinNarrowParts && k >= kDeepPartMinDepth) parts = kDeepParts;
            // A strided 1x1 window gathers no more columns than the input holds: on a
            // mid-sized band one product on the wrapper's grid beats six narrow ones (ResNet-50's
            // 256 -> 512 downsample: 310 -> 470-540 GFLOP/s at 8 threads, 104 -> 108 at one).
            if (g.kh * g.kw == 1) parts = 1;
          }
          if (parts < kMinNarrowParts || cpu_fakequant_enabled()) parts = 1;
          parts = std::min(parts, kMaxParts);
          // A range's columns must also stay within the second-level cache between being
          // built and being multiplied; deep inputs take more, narrower ranges.
          if (parts > 1) parts = std::max(parts, (band * k + kPartCacheFloats - 1) / kPartCacheFloats);
          int64_t part_len = (band + parts - 1) / parts;
          part_len = (part_len + kPartAlign - 1) / kPartAlign * kPartAlign;
          parts = (band + part_len - 1) / part_len;
          auto run_part = [&](int64_t p) {
            const int64_t q0 = q_begin + p * part_len;
            const int64_t q1 = std::min(q0 + part_len, q_begin + band);
            float* col = workspace + (q0 - q_begin) * k;
            im2col_range(g, xg, cg, q0, q1, col);
            cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(cog),
                     static_cast<int32_t>(q1 - q0), static_cast<int32_t>(k), 1.0f, wg,
                     static_cast<int32_t>(k), col, static_cast<int32_t>(q1 - q0), 0.0f, yg + q0,
                     static_cast<int32_t>(plane));
            // The epilogue of this range while it is still in cache.
            if (epilogue_active(epilogue)) {
              for (int64_t c = 0; c < cog; ++c)
                epilogue_channel(yg + c * plane + q0, q1 - q0, gi * cog + c, g.c_out, epilogue);
            }
          };
          if (parts > 1) {
            cpu_parallel_for(parts, true, run_part);
          } else {
            const bool parallel = cg >= kIm2colMinChannels && band * cg >= kIm2colMinWork;
            cpu_parallel_for(cg, parallel, [&](int64_t c) {
              im2col_channel(g, xg + c * g.h * g.w, c, oh0, band_rows, workspace);
            });
            ProductEpilogue pe{yg + q_begin, plane, gi * cog, g.c_out, &epilogue};
            const GemmBlockHook hook = pe.hook();
            const bool in_blocks = pe.in_blocks();
            cpu_gemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, static_cast<int32_t>(cog),
                     static_cast<int32_t>(band), static_cast<int32_t>(k), 1.0f, wg,
                     static_cast<int32_t>(k), workspace, static_cast<int32_t>(band), 0.0f,
                     yg + q_begin, static_cast<int32_t>(plane), kConvProductMinBlockFlops,
                     in_blocks ? &hook : nullptr);
            if (!in_blocks && epilogue_active(epilogue)) {
              for (int64_t c = 0; c < cog; ++c)
                epilogue_channel(yg + c * plane + q_begin, band, gi * cog + c, g.c_out, epilogue);
            }
          }
        }
      }
    }
    // The banded and depthwise paths ran their epilogue piece by piece.
    if (!banded) cpu_conv_epilogue(yi, g.c_out, plane, epilogue);
  }
}

void cpu_conv_transpose2d(const ConvGeometry& g, const float* x, const float* wt,
                          const float* bias, bool relu, float* y, float* workspace,
                          uint64_t workspace_floats) {
  const int32_t group = std::max(1, g.group);
  if (g.c_out <= 0 || g.oh <= 0 || g.ow <= 0) return;
  const int64_t cin_g = g.c_in / group;
  const int64_t cout_g = g.c_out / group;
  const int64_t hw = int64_t{g.h} * g.w;
  const int64_t m = cout_g * g.kh * g.kw;
  const int64_t plane = int64_t{g.oh} * g.ow;
  const bool have_scratch =
      workspace != nullptr && static_cast<uint64_t>(m * hw) <= workspace_floats;
  for (int64_t item = 0; item < g.batch; ++item) {
    const float* xi = x + item * g.c_in * hw;
    float* yi = y + item * g.c_out * plane;
    for (int64_t gi = 0; gi < group; ++gi) {
      const float* xg = xi + gi * cin_g * hw;
      const float* wg = wt + gi * cin_g * m;
      float* yg = yi + gi * cout_g * plane;
      const float* bg = bias != nullptr ? bias + gi * cout_g : nullptr;
      const bool gemm_done = have_scratch && m > 0 && hw > 0 && cin_g > 0;
      if (gemm_done) {
        cpu_gemm(kCblasRowMajor, kCblasTrans, kCblasNoTrans, static_cast<int32_t>(m),
                 static_cast<int32_t>(hw), static_cast<int32_t>(cin_g), 1.0f, wg,
                 static_cast<int32_t>(m), xg, static_cast<int32_t>(hw), 0.0f, workspace,
                 static_cast<int32_t>(hw));
      }
      const bool parallel = cout_g >= kCol2imMinChannels && cout_g * plane >= kCol2imMinWork;
      cpu_parallel_for(cout_g, parallel, [&](int64_t co) {
        float* out = yg + co * plane;
        std::fill(out, out + plane, bg != nullptr ? bg[co] : 0.0f);
        for (int64_t kh = 0; kh < g.kh; ++kh) {
          for (int64_t kw = 0; kw < g.kw; ++kw) {
            const int64_t row = (co * g.kh + kh) * g.kw + kw;
            const int64_t off_w = kw * g.dw - g.pl;
            // Input columns iw whose output column iw * sw + off_w lands inside the plane.
            int64_t lo, hi;
            valid_range(g.w, g.sw, off_w, g.ow, &lo, &hi);
            if (hi <= lo) continue;
            for (int64_t ih = 0; ih < g.h; ++ih) {
              const int64_t oh = ih * g.sh - g.pt + kh * g.dh;
              if (oh < 0 || oh >= g.oh) continue;
              float* dst = out + oh * g.ow + (lo * g.sw + off_w);
              if (gemm_done) {
                const float* src = workspace + row * hw + ih * g.w + lo;
                for (int64_t i = 0; i < hi - lo; ++i) dst[i * g.sw] += src[i];
              } else {
                // No scratch: form the column value on the fly from the input channels.
                for (int64_t i = 0; i < hi - lo; ++i) {
                  float v = 0.0f;
                  for (int64_t c = 0; c < cin_g; ++c)
                    v += wg[c * m + row] * xg[c * hw + ih * g.w + lo + i];
                  dst[i * g.sw] += v;
                }
              }
            }
          }
        }
        if (relu) {
          for (int64_t i = 0; i < plane; ++i) out[i] = out[i] >= 0.0f ? out[i] : 0.0f;
        }
      });
    }
  }
}

}  // namespace vexa::cpu
