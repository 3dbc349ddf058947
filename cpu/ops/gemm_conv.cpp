#include "cpu/ops/gemm_conv.h"

#include <algorithm>
#include <cstring>

#include "cpu/conv_packing.h"
#include "cpu/op_table.h"
#include "cpu/ops/conv_direct.h"
#include "cpu/ops/gemm.h"
#include "cpu/quant_study.h"

namespace vexa::cpu {

namespace {

constexpr int64_t kInt32Max = 2147483647;
constexpr uint64_t kConvTableRows = 3;
constexpr uint32_t kHighHalfShift = 32;  // a fused Clip keeps its upper bound in word [30]'s high half  // bias, scale, shift of the ReLU-then-affine epilogue

int64_t sdim(const CpuValue& v, uint32_t i) { return static_cast<int64_t>(v.dim(i)); }

bool fits_i32(int64_t v) { return v >= 0 && v <= kInt32Max; }

bool has_optional_input(const CpuNode& node, uint32_t k) {
  return k < node.input_count() && node.input(k) != kAbsentValue;
}

// ---------------------------------------------------------------------------------------------
// Conv and ConvTranspose

struct ConvWords {
  int64_t kh, kw, sh, sw, pt, pl, dh, dw, group;
};

ConvWords conv_words(const CpuNode& n) {
  ConvWords w;
  w.kh = n.attr(kConvWordKernelH);
  w.kw = n.attr(kConvWordKernelW);
  w.sh = n.attr(kConvWordStrideH);
  w.sw = n.attr(kConvWordStrideW);
  w.pt = n.attr(kConvWordPadTop);
  w.pl = n.attr(kConvWordPadLeft);
  w.dh = n.attr(kConvWordDilationH);
  w.dw = n.attr(kConvWordDilationW);
  w.group = n.attr(kConvWordGroup) == 0 ? 1 : n.attr(kConvWordGroup);
  return w;
}

// Shared shape contract of Conv (transpose false) and ConvTranspose (transpose true).
bool check_conv_common(const OpCheck& c, bool transpose) {
  // A Conv's fourth input is a residual the engine fused into it: the output's shape.
  const uint64_t most_inputs = transpose ? kConvResidualInput : kConvResidualInput + 1;
  if (!c.inputs_between(2, most_inputs) || !c.outputs_between(1, 1) || !c.inputs_present(2))
    return false;
  const CpuValue& x = c.in_value(0);
  const CpuValue& w = c.in_value(1);
  const CpuValue& y = c.out_value(0);
  if (x.rank() != 4 || y.rank() != 4 || w.rank() != 4)
    return c.fail("input, weight and output must be rank 4 (NCHW)");
  if (has_optional_input(c.node, kConvResidualInput)) {
    const CpuValue& r = c.in_value(kConvResidualInput);
    if (r.rank() != 4 || r.element_count() != y.element_count() ||
        !std::equal(r.dims(), r.dims() + 4, y.dims()))
      return c.fail("fused residual does not have the output's shape");
  }
  const ConvWords a = conv_words(c.node);
  // Kernel extents and strides are bounded so that every tap offset stays in 32 bits.
  constexpr int64_t kMaxWindow = 65536;
  if (a.kh < 1 || a.kw < 1 || a.kh > kMaxWindow || a.kw > kMaxWindow)
    return c.fail("kernel size must be at least 1");
  if (a.sh < 1 || a.sw < 1 || a.sh > kMaxWindow || a.sw > kMaxWindow)
    return c.fail("strides must be at least 1");
  if (a.dh < 1 || a.dw < 1 || a.dh > kMaxWindow || a.dw > kMaxWindow)
    return c.fail("dilations must be at least 1");
  if (a.pt < 0 || a.pl < 0 || a.pt > kMaxWindow || a.pl > kMaxWindow)
    return c.fail("pads must be between 0 and %lld", static_cast<long long>(kMaxWindow));
  if (a.group < 1 || a.group > kInt32Max) return c.fail("invalid group count");
  for (uint32_t i = 0; i < 4; ++i) {
    if (!fits_i32(sdim(x, i)) || !fits_i32(sdim(y, i)) || !fits_i32(sdim(w, i)))
      return c.fail("dimension out of range");
  }
  if (sdim(x, 0) != sdim(y, 0)) return c.fail("input and output batch differ");
  const int64_t c_in = sdim(x, 1), c_out = sdim(y, 1);
  if (c_in % a.group != 0 || c_out % a.group != 0)
    return c.fail("channels %lld -> %lld not divisible by group %lld",
                  static_cast<long long>(c_in), static_cast<long long>(c_out),
                  static_cast<long long>(a.group));
  const int64_t want0 = transpose ? c_in : c_out;
  const int64_t want1 = transpose ? c_out / a.group : c_in / a.group;
  if (sdim(w, 0) != want0 || sdim(w, 1) != want1 || sdim(w, 2) != a.kh || sdim(w, 3) != a.kw)
    return c.fail("weight shape does not match channels, group and kernel");
  if (has_optional_input(c.node, 2)) {
    const uint64_t bias_count = c.in_value(2).element_count();
    const int64_t act = transpose ? 0 : c.node.attr(kConvWordActivation);
    uint64_t need = static_cast<uint64_t>(c_out) * (act == kConvActReluAffine ? kConvTableRows : 1);
    if (act == kConvActProgram) need += kConvTailProgramFloats;
    if (bias_count < need) return c.fail("bias holds %llu values, needs %llu",
                                         static_cast<unsigned long long>(bias_count),
                                         static_cast<unsigned long long>(need));
  } else if (!transpose && c.node.attr(kConvWordActivation) == kConvActReluAffine) {
    return c.fail("ReLU-then-affine epilogue without its parameter table");
  } else if (!transpose && c.node.attr(kConvWordActivation) == kConvActProgram) {
    return c.fail("fused element-wise chain without its table");
  }
  return true;
}

bool check_conv(const OpCheck& c) { return check_conv_common(c, false); }
bool check_conv_transpose(const OpCheck& c) { return check_conv_common(c, true); }

bool run_conv(const OpContext& ctx) {
  const CpuValue& x = ctx.in_value(0);
  const CpuValue& y = ctx.out_value(0);
  const ConvGeometry g = cpu_conv_node_geometry(ctx.node, x, y);
  const float* w = ctx.in(1);
  float* out = ctx.out(0);
  ConvEpilogue e;
  e.activation = ctx.node.attr(kConvWordActivation);
  e.slope = ctx.node.attr_f32(kConvWordSlope);
  if (e.activation == kConvActClip) {
    e.clip_lo = e.slope;
    e.clip_hi = word_f32(ctx.node.w[kConvWordSlope] >> kHighHalfShift);
  }
  e.table = has_optional_input(ctx.node, 2) ? ctx.in(2) : nullptr;
  if (e.activation == kConvActProgram && e.table != nullptr) e.program = e.table + g.c_out;
  e.residual = has_optional_input(ctx.node, kConvResidualInput) ? ctx.in(kConvResidualInput)
                                                               : nullptr;
  if (cpu_i8_conv1x1_fused(ctx.node.w, ctx.in(0), w, out)) {
    const int64_t out_item = int64_t{g.c_out} * g.oh * g.ow;
    for (int64_t item = 0; item < g.batch; ++item) {
      ConvEpilogue ei = e;
      if (ei.residual != nullptr) ei.residual += item * out_item;
      cpu_conv_epilogue(out + item * out_item, g.c_out, int64_t{g.oh} * g.ow, ei);
    }
    return true;
  }
  if (ctx.node.attr(kConvWordDirect) != 0) {
    // The weights were packed for this path at build; no other path can read them.
    return cpu_conv2d_direct(g, ctx.in(0), w, out, e);
  }
  cpu_conv2d(g, ctx.in(0), w, out, e, ctx.node.attr(kConvWordNoDepthwise) == 0, ctx.workspace,
             ctx.workspace_bytes / sizeof(float));
  return true;
}

bool run_conv_transpose(const OpContext& ctx) {
  const ConvGeometry g = cpu_conv_node_geometry(ctx.node, ctx.in_value(0), ctx.out_value(0));
  const float* bias = has_optional_input(ctx.node, 2) ? ctx.in(2) : nullptr;
  const bool relu = ctx.node.attr(kConvWordActivation) == kConvActRelu;
  cpu_conv_transpose2d(g, ctx.in(0), ctx.in(1), bias, relu, ctx.out(0), ctx.workspace,
                       ctx.workspace_bytes / sizeof(float));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Gemm

bool gemm_params(const CpuNode& node, const CpuValue* values, GemmParams* p) {
  const CpuValue& a = values[node.input(0)];
  const CpuValue& y = values[node.output(0)];
  p->trans_a = node.attr(kGemmWordTransA) != 0;
  p->trans_b = node.attr(kGemmWordTransB) != 0;
  p->alpha = node.attr_f32(kGemmWordAlpha);
  p->beta = node.attr_f32(kGemmWordBeta);
  p->m = static_cast<int32_t>(y.dim(0));
  p->n = static_cast<int32_t>(y.dim(1));
  p->k = static_cast<int32_t>(p->trans_a ? a.dim(0) : a.dim(1));
  p->c_rows = p->c_cols = 0;
  if (has_optional_input(node, 2)) {
    const CpuValue& cv = values[node.input(2)];
    // Right-aligned broadcast of C to M x N: rank 0 is a scalar, rank 1 a row.
    if (cv.rank() == 0) {
      p->c_rows = p->c_cols = 1;
    } else if (cv.rank() == 1) {
      p->c_rows = 1;
      p->c_cols = static_cast<int32_t>(cv.dim(0));
    } else {
      p->c_rows = static_cast<int32_t>(cv.dim(0));
      p->c_cols = static_cast<int32_t>(cv.dim(1));
    }
  }
  return true;
}

bool check_gemm(const OpCheck& c) {
  if (!c.inputs_between(2, 3) || !c.outputs_between(1, 1) || !c.inputs_present(2)) return false;
  const CpuValue& a = c.in_value(0);
  const CpuValue& b = c.in_value(1);
  const CpuValue& y = c.out_value(0);
  if (a.rank() != 2 || b.rank() != 2 || y.rank() != 2) return c.fail("operands must be rank 2");
  for (uint32_t i = 0; i < 2; ++i) {
    if (!fits_i32(sdim(a, i)) || !fits_i32(sdim(b, i)) || !fits_i32(sdim(y, i)))
      return c.fail("dimension out of range");
  }
  const bool ta = c.node.attr(kGemmWordTransA) != 0, tb = c.node.attr(kGemmWordTransB) != 0;
  const int64_t m = sdim(y, 0), n = sdim(y, 1);
  const int64_t am = ta ? sdim(a, 1) : sdim(a, 0), k = ta ? sdim(a, 0) : sdim(a, 1);
  const int64_t bk = tb ? sdim(b, 1) : sdim(b, 0), bn = tb ? sdim(b, 0) : sdim(b, 1);
  if (am != m || bk != k || bn != n) return c.fail("operand shapes do not multiply to the output");
  if (has_optional_input(c.node, 2)) {
    const CpuValue& cv = c.in_value(2);
    int64_t rows = 1, cols = 1;
    if (cv.rank() == 1) {
      cols = sdim(cv, 0);
    } else if (cv.rank() == 2) {
      rows = sdim(cv, 0);
      cols = sdim(cv, 1);
    } else if (cv.rank() != 0) {
      return c.fail("C must have rank 0, 1 or 2");
    }
    if ((rows != 1 && rows != m) || (cols != 1 && cols != n) ||
        cv.element_count() != static_cast<uint64_t>(rows * cols))
      return c.fail("C does not broadcast to %lld x %lld", static_cast<long long>(m),
                    static_cast<long long>(n));
  }
  return true;
}

bool run_gemm(const OpContext& ctx) {
  GemmParams p;
  gemm_params(ctx.node, ctx.values, &p);
  const float* cdata = p.c_rows > 0 ? ctx.in(2) : nullptr;
  cpu_gemm_op(p, ctx.in(0), ctx.in(1), cdata, ctx.out(0));
  return true;
}

// ---------------------------------------------------------------------------------------------
// MatMul

MatMulShape matmul_shape(const CpuValue& a, const CpuValue& b) {
  MatMulShape s;
  s.a_rank = static_cast<int32_t>(a.rank());
  s.b_rank = static_cast<int32_t>(b.rank());
  for (int32_t i = 0; i < s.a_rank && i < 6; ++i) s.a_dims[i] = sdim(a, i);
  for (int32_t i = 0; i < s.b_rank && i < 6; ++i) s.b_dims[i] = sdim(b, i);
  return s;
}

bool head_interleaved(const CpuNode& node, const CpuValue& a, const CpuValue& b) {
  return node.attr(kMatMulWordLayout) == 1 && a.rank() == 4 && b.rank() != 2;
}

bool check_matmul(const OpCheck& c) {
  if (!c.inputs_between(2, 2) || !c.outputs_between(1, 1) || !c.inputs_present(2)) return false;
  const CpuValue& a = c.in_value(0);
  const CpuValue& b = c.in_value(1);
  const CpuValue& y = c.out_value(0);
  for (uint32_t i = 0; i < 6; ++i) {
    if (!fits_i32(sdim(a, i)) || !fits_i32(sdim(b, i))) return c.fail("dimension out of range");
  }
  if (head_interleaved(c.node, a, b)) {
    if (b.rank() < 2) return c.fail("head-interleaved layout needs B of rank 2 or more");
    const uint64_t n = b.dim(static_cast<uint32_t>(b.rank() - 1));
    uint64_t b_need = 0, y_need = 0;
    if (__builtin_mul_overflow(a.dim(2) * a.dim(3), n, &b_need) ||
        __builtin_mul_overflow(a.dim(0) * a.dim(1), a.dim(2), &y_need) ||
        __builtin_mul_overflow(y_need, n, &y_need) || a.element_count() == 0 ||
        b.element_count() != b_need || y.element_count() != y_need)
      return c.fail("head-interleaved shapes do not match");
    return true;
  }
  const MatMulShape s = matmul_shape(a, b);
  int32_t rank = 0;
  int64_t dims[6];
  uint64_t want = 0;
  if (cpu_matmul_output_shape(s, &rank, dims)) {
    want = 1;
    for (int32_t i = 0; i < rank; ++i) want *= static_cast<uint64_t>(dims[i]);
  } else {
    int64_t na = 0, nb = 0;
    if (!cpu_matmul_cycles(s, &na, &nb)) return c.fail("operand shapes do not multiply");
    want = static_cast<uint64_t>(na * s.a_dims[s.a_rank - 2] * s.b_dims[s.b_rank - 1]);
  }
  if (y.element_count() != want)
    return c.fail("output holds %llu values, the product has %llu",
                  static_cast<unsigned long long>(y.element_count()),
                  static_cast<unsigned long long>(want));
  return true;
}

bool run_matmul(const OpContext& ctx) {
  const CpuValue& a = ctx.in_value(0);
  const CpuValue& b = ctx.in_value(1);
  if (head_interleaved(ctx.node, a, b)) {
    const int64_t dims[4] = {sdim(a, 0), sdim(a, 1), sdim(a, 2), sdim(a, 3)};
    cpu_matmul_head_interleaved(dims, sdim(b, static_cast<uint32_t>(b.rank() - 1)), ctx.in(0),
                                ctx.in(1), ctx.out(0));
    return true;
  }
  cpu_matmul(matmul_shape(a, b), ctx.in(0), ctx.in(1), ctx.out(0));
  return true;
}

}  // namespace

ConvGeometry cpu_conv_node_geometry(const CpuNode& node, const CpuValue& x, const CpuValue& y) {
  const ConvWords a = conv_words(node);
  ConvGeometry g;
  g.batch = static_cast<int32_t>(x.dim(0));
  g.c_in = static_cast<int32_t>(x.dim(1));
  g.h = static_cast<int32_t>(x.dim(2));
  g.w = static_cast<int32_t>(x.dim(3));
  g.c_out = static_cast<int32_t>(y.dim(1));
  g.oh = static_cast<int32_t>(y.dim(2));
  g.ow = static_cast<int32_t>(y.dim(3));
  g.kh = static_cast<int32_t>(a.kh);
  g.kw = static_cast<int32_t>(a.kw);
  g.sh = static_cast<int32_t>(a.sh);
  g.sw = static_cast<int32_t>(a.sw);
  g.pt = static_cast<int32_t>(a.pt);
  g.pl = static_cast<int32_t>(a.pl);
  g.dh = static_cast<int32_t>(a.dh);
  g.dw = static_cast<int32_t>(a.dw);
  g.group = static_cast<int32_t>(a.group);
  return g;
}

uint64_t cpu_conv_node_workspace_bytes(const CpuNode& node, const CpuValue* values,
                                       uint64_t value_count) {
  const uint64_t kind = node.kind();
  if (kind != static_cast<uint64_t>(OpKind::kConv) &&
      kind != static_cast<uint64_t>(OpKind::kConvTranspose))
    return 0;
  if (node.input_count() < 1 || node.output_count() < 1 || node.input(0) >= value_count ||
      node.output(0) >= value_count)
    return 0;
  const CpuValue& x = values[node.input(0)];
  const CpuValue& y = values[node.output(0)];
  if (x.rank() != 4 || y.rank() != 4) return 0;
  const ConvGeometry g = cpu_conv_node_geometry(node, x, y);
  const uint64_t floats = kind == static_cast<uint64_t>(OpKind::kConv)
                              ? cpu_conv_workspace_floats(g)
                              : cpu_conv_transpose_workspace_floats(g);
  return floats * sizeof(float);
}

namespace {

uint64_t conv_workspace(const OpCheck& c) {
  return cpu_conv_node_workspace_bytes(c.node, c.values, c.value_count);
}

}  // namespace

void register_gemm_conv_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kConv), check_conv, run_conv, conv_workspace);
  registry.add(static_cast<uint64_t>(OpKind::kConvTranspose), check_conv_transpose,
               run_conv_transpose, conv_workspace);
  registry.add(static_cast<uint64_t>(OpKind::kGemm), check_gemm, run_gemm);
  registry.add(static_cast<uint64_t>(OpKind::kMatMul), check_matmul, run_matmul);
}

}  // namespace vexa::cpu
