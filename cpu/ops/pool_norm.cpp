// Node decoding of the pooling, normalisation, Erf and GELU cases (the "pool_norm" family of
// the op table); the kernels live in pool.cpp, norm.cpp and activation.cpp.
#include <cstdint>

#include "cpu/op_table.h"
#include "cpu/ops/activation.h"
#include "cpu/ops/norm.h"
#include "cpu/ops/pool.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kPoolWordKernelH = 15;
constexpr uint32_t kPoolWordKernelW = 16;
constexpr uint32_t kPoolWordStrideH = 17;
constexpr uint32_t kPoolWordStrideW = 18;
constexpr uint32_t kPoolWordPadTop = 19;
constexpr uint32_t kPoolWordPadLeft = 20;
constexpr uint32_t kPoolWordExcludePad = 28;
constexpr uint32_t kNormWordEpsilon = 29;
// Window, stride and pad bounds that keep every tap offset in 32 bits.
constexpr int64_t kMaxWindow = 65536;
constexpr int64_t kInt32Max = 2147483647;

bool fits_i32(uint64_t v) { return v <= static_cast<uint64_t>(kInt32Max); }

bool same_count(const OpCheck& c) {
  if (c.in_value(0).element_count() != c.out_value(0).element_count())
    return c.fail("output holds %llu values, input %llu",
                  static_cast<unsigned long long>(c.out_value(0).element_count()),
                  static_cast<unsigned long long>(c.in_value(0).element_count()));
  return true;
}

bool check_pool(const OpCheck& c) {
  if (!c.inputs_between(1, 1) || !c.outputs_between(1, 1) || !c.inputs_present(1)) return false;
  const CpuValue& x = c.in_value(0);
  const CpuValue& y = c.out_value(0);
  if (x.rank() != 4 || y.rank() != 4) return c.fail("input and output must be rank 4 (NCHW)");
  if (x.dim(0) != y.dim(0) || x.dim(1) != y.dim(1))
    return c.fail("batch and channels must be kept");
  for (uint32_t i = 2; i < 4; ++i)
    if (!fits_i32(x.dim(i)) || !fits_i32(y.dim(i))) return c.fail("dimension out of range");
  const CpuNode& n = c.node;
  const int64_t kh = n.attr(kPoolWordKernelH), kw = n.attr(kPoolWordKernelW);
  const int64_t sh = n.attr(kPoolWordStrideH), sw = n.attr(kPoolWordStrideW);
  const int64_t pt = n.attr(kPoolWordPadTop), pl = n.attr(kPoolWordPadLeft);
  if (kh > kMaxWindow || kw > kMaxWindow || kh < -kMaxWindow || kw < -kMaxWindow)
    return c.fail("window out of range");
  if (sh < 1 || sw < 1 || sh > kMaxWindow || sw > kMaxWindow)
    return c.fail("strides must be at least 1");
  if (pt < 0 || pl < 0 || pt > kMaxWindow || pl > kMaxWindow) return c.fail("pads out of range");
  return true;
}

PoolGeometry pool_geometry(const OpContext& ctx) {
  const CpuValue& x = ctx.in_value(0);
  const CpuValue& y = ctx.out_value(0);
  const CpuNode& n = ctx.node;
  PoolGeometry g;
  g.planes = static_cast<int64_t>(x.dim(0) * x.dim(1));
  g.h = static_cast<int32_t>(x.dim(2));
  g.w = static_cast<int32_t>(x.dim(3));
  g.oh = static_cast<int32_t>(y.dim(2));
  g.ow = static_cast<int32_t>(y.dim(3));
  g.kh = static_cast<int32_t>(n.attr(kPoolWordKernelH));
  g.kw = static_cast<int32_t>(n.attr(kPoolWordKernelW));
  g.sh = static_cast<int32_t>(n.attr(kPoolWordStrideH));
  g.sw = static_cast<int32_t>(n.attr(kPoolWordStrideW));
  g.pt = static_cast<int32_t>(n.attr(kPoolWordPadTop));
  g.pl = static_cast<int32_t>(n.attr(kPoolWordPadLeft));
  g.exclude_pad = n.attr(kPoolWordExcludePad) != 0;
  return g;
}

bool run_maxpool(const OpContext& ctx) {
  cpu_maxpool(pool_geometry(ctx), ctx.in(0), ctx.out(0));
  return true;
}

bool run_avgpool(const OpContext& ctx) {
  cpu_avgpool(pool_geometry(ctx), ctx.in(0), ctx.out(0));
  return true;
}

bool check_global_avgpool(const OpCheck& c) {
  if (!c.inputs_between(1, 1) || !c.outputs_between(1, 1) || !c.inputs_present(1)) return false;
  const CpuValue& x = c.in_value(0);
  if (x.rank() < 3) return c.fail("input must have rank 3 or more");
  if (c.out_value(0).element_count() != x.dim(0) * x.dim(1))
    return c.fail("output must hold one value per plane");
  return true;
}

bool run_global_avgpool(const OpContext& ctx) {
  const CpuValue& x = ctx.in_value(0);
  const uint64_t planes = x.dim(0) * x.dim(1);
  if (planes == 0) return true;
  cpu_global_avgpool(static_cast<int64_t>(planes),
                     static_cast<int64_t>(x.element_count() / planes), ctx.in(0), ctx.out(0));
  return true;
}

bool check_layernorm(const OpCheck& c) {
  if (!c.inputs_between(2, 3) || !c.outputs_between(1, 1) || !c.inputs_present(2)) return false;
  const CpuValue& x = c.in_value(0);
  if (x.rank() < 1) return c.fail("input must have rank 1 or more");
  const uint64_t d = x.dim(static_cast<uint32_t>(x.rank() - 1));
  if (c.in_value(1).element_count() < d) return c.fail("scale shorter than the last axis");
  if (c.has_input(2) && c.in_value(2).element_count() < d)
    return c.fail("bias shorter than the last axis");
  return same_count(c);
}

bool run_layernorm(const OpContext& ctx) {
  const CpuValue& x = ctx.in_value(0);
  const uint64_t d = x.dim(static_cast<uint32_t>(x.rank() - 1));
  if (d == 0) return true;
  const float* bias = ctx.has_input(2) ? ctx.in(2) : nullptr;
  if (ctx.node.attr(kLayerNormWordStepwise) == 1) {
    cpu_layernorm_stepwise(ctx.in(0), ctx.in(1), bias, ctx.out(0), x.element_count() / d, d,
                           ctx.node.attr_f32(kNormWordEpsilon));
    return true;
  }
  cpu_layernorm(ctx.in(0), ctx.in(1), bias, ctx.out(0),
                x.element_count() / d, d, ctx.node.attr_f32(kNormWordEpsilon));
  return true;
}

// Channels and planes of a BatchNormalization input: rank 1 is one value per channel.
void batchnorm_layout(const CpuValue& x, uint64_t* channels, uint64_t* planes) {
  *channels = x.rank() > 1 ? x.dim(1) : x.dim(0);
  *planes = x.dim(0) * (x.rank() > 1 ? x.dim(1) : 1);
}

bool check_batchnorm(const OpCheck& c) {
  if (!c.inputs_between(3, 3) || !c.outputs_between(1, 1) || !c.inputs_present(3)) return false;
  const CpuValue& x = c.in_value(0);
  if (x.rank() < 1) return c.fail("input must have rank 1 or more");
  uint64_t channels, planes;
  batchnorm_layout(x, &channels, &planes);
  if (c.in_value(1).element_count() < channels || c.in_value(2).element_count() < channels)
    return c.fail("scale and shift need one value per channel");
  return same_count(c);
}

bool run_batchnorm(const OpContext& ctx) {
  const CpuValue& x = ctx.in_value(0);
  uint64_t channels, planes;
  batchnorm_layout(x, &channels, &planes);
  if (planes == 0 || x.element_count() == 0) return true;
  cpu_batchnorm(ctx.in(0), ctx.in(1), ctx.in(2), ctx.out(0), planes, channels,
                x.element_count() / planes);
  return true;
}

bool check_instancenorm(const OpCheck& c) {
  if (!c.inputs_between(3, 3) || !c.outputs_between(1, 1) || !c.inputs_present(3)) return false;
  const CpuValue& x = c.in_value(0);
  if (x.rank() < 3) return c.fail("input must have rank 3 or more");
  if (c.in_value(1).element_count() < x.dim(1) || c.in_value(2).element_count() < x.dim(1))
    return c.fail("scale and bias need one value per channel");
  return same_count(c);
}

bool run_instancenorm(const OpContext& ctx) {
  const CpuValue& x = ctx.in_value(0);
  const uint64_t planes = x.dim(0) * x.dim(1);
  if (planes == 0) return true;
  cpu_instancenorm(ctx.in(0), ctx.in(1), ctx.in(2), ctx.out(0), planes, x.dim(1),
                   x.element_count() / planes, ctx.node.attr_f32(kNormWordEpsilon));
  return true;
}

bool check_elementwise(const OpCheck& c) {
  if (!c.inputs_between(1, 1) || !c.outputs_between(1, 1) || !c.inputs_present(1)) return false;
  return same_count(c);
}

bool run_erf(const OpContext& ctx) {
  cpu_erf(ctx.in(0), ctx.out(0), ctx.in_value(0).element_count());
  return true;
}

bool run_gelu(const OpContext& ctx) {
  if (ctx.node.attr(kGeluWordStepwise) == 1) {
    cpu_gelu_stepwise(ctx.in(0), ctx.out(0), ctx.in_value(0).element_count(),
                      ctx.node.attr_f32(kGeluWordDivisor));
    return true;
  }
  cpu_gelu(ctx.in(0), ctx.out(0), ctx.in_value(0).element_count());
  return true;
}

}  // namespace

void register_pool_norm_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kMaxPool), check_pool, run_maxpool);
  registry.add(static_cast<uint64_t>(OpKind::kAveragePool), check_pool, run_avgpool);
  registry.add(static_cast<uint64_t>(OpKind::kGlobalAveragePool), check_global_avgpool,
               run_global_avgpool);
  registry.add(static_cast<uint64_t>(OpKind::kLayerNormalization), check_layernorm, run_layernorm);
  registry.add(static_cast<uint64_t>(OpKind::kBatchNormalization), check_batchnorm, run_batchnorm);
  registry.add(static_cast<uint64_t>(OpKind::kInstanceNormalization), check_instancenorm,
               run_instancenorm);
  registry.add(static_cast<uint64_t>(OpKind::kErf), check_elementwise, run_erf);
  registry.add(static_cast<uint64_t>(OpKind::kGelu), check_elementwise, run_gelu);
}

}  // namespace vexa::cpu
