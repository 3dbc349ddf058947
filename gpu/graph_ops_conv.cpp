// Convolution and pooling graph kernels: the CPU engine's convolution (with its fused epilogue
// and, for constant weights, the direct path's packed layout), transposed convolution and
// pooling kernels.
#include <cstdlib>
#include <cstring>

#include "cpu/ops/conv.h"
#include "cpu/ops/conv_direct.h"
#include "cpu/ops/pool.h"
#include "gpu/graph_ops_internal.h"

namespace vexa::graph_ops {

namespace {

constexpr uint64_t kPackAlignBytes = 64;

cpu::ConvGeometry geometry(const GraphStepSpec& spec, const Shape& in, const Shape& out) {
  const GraphConv2dDescriptor& d = spec.attrs->conv;
  const Shape& w = spec.inputs[1].shape;
  cpu::ConvGeometry g;
  g.batch = static_cast<int32_t>(in[0]);
  g.c_in = static_cast<int32_t>(in[1]);
  g.h = static_cast<int32_t>(in[2]);
  g.w = static_cast<int32_t>(in[3]);
  g.c_out = static_cast<int32_t>(out[1]);
  g.oh = static_cast<int32_t>(out[2]);
  g.ow = static_cast<int32_t>(out[3]);
  g.kh = static_cast<int32_t>(w[2]);
  g.kw = static_cast<int32_t>(w[3]);
  g.sh = static_cast<int32_t>(d.stride_y);
  g.sw = static_cast<int32_t>(d.stride_x);
  g.pt = static_cast<int32_t>(d.pad_top);
  g.pl = static_cast<int32_t>(d.pad_left);
  g.dh = static_cast<int32_t>(d.dilation_y);
  g.dw = static_cast<int32_t>(d.dilation_x);
  g.group = static_cast<int32_t>(d.groups);
  return g;
}

struct FreeFloats {
  void operator()(float* p) const { std::free(p); }
};

class ConvKernel : public GraphKernel {
 public:
  bool prepare(const GraphStepSpec& spec, std::string* error) {
    g_ = geometry(spec, spec.inputs[0].shape, spec.outputs[0].shape);
    const GraphEpilogue& e = spec.epilogue;
    switch (e.activation) {
      case GraphActivation::kRelu: epilogue_.activation = cpu::kConvActRelu; break;
      case GraphActivation::kLeakyRelu:
        epilogue_.activation = cpu::kConvActLeakyRelu;
        epilogue_.slope = e.alpha;
        break;
      case GraphActivation::kClamp:
        epilogue_.activation = cpu::kConvActClip;
        epilogue_.clip_lo = e.lo;
        epilogue_.clip_hi = e.hi;
        break;
      default: epilogue_.activation = cpu::kConvActNone; break;
    }
    bias_ = e.bias;
    residual_ = e.residual;
    const GraphOperand& w = spec.inputs[1];
    // Constant weights are packed once for the direct path when its shape qualifies.
    if (w.constant != nullptr && cpu::cpu_conv_direct_eligible(g_)) {
      const uint64_t floats = cpu::cpu_conv_direct_weight_floats(g_);
      const uint64_t bytes = (floats * sizeof(float) + kPackAlignBytes - 1) & ~(kPackAlignBytes - 1);
      packed_.reset(static_cast<float*>(std::aligned_alloc(kPackAlignBytes, bytes)));
      if (packed_ == nullptr) {
        *error = "out of memory packing convolution weights";
        return false;
      }
      cpu::cpu_conv_direct_pack(g_, w.constant, packed_.get());
    } else {
      workspace_floats_ = cpu::cpu_conv_workspace_floats(g_);
    }
    return true;
  }
  uint64_t workspace_bytes() const override { return workspace_floats_ * sizeof(float); }
  bool run(const GraphKernelArgs& a) override {
    cpu::ConvEpilogue e = epilogue_;
    e.table = bias_ ? a.inputs[2] : nullptr;
    e.residual = residual_ ? a.inputs[3] : nullptr;
    if (packed_ != nullptr) return cpu::cpu_conv2d_direct(g_, a.inputs[0], packed_.get(), a.outputs[0], e);
    cpu::cpu_conv2d(g_, a.inputs[0], a.inputs[1], a.outputs[0], e, true, a.workspace,
                    workspace_floats_);
    return true;
  }

 private:
  cpu::ConvGeometry g_;
  cpu::ConvEpilogue epilogue_;
  bool bias_ = false, residual_ = false;
  std::unique_ptr<float, FreeFloats> packed_;
  uint64_t workspace_floats_ = 0;
};

class ConvTransposeKernel : public GraphKernel {
 public:
  explicit ConvTransposeKernel(const GraphStepSpec& spec)
      : g_(geometry(spec, spec.inputs[0].shape, spec.outputs[0].shape)),
        bias_(spec.epilogue.bias),
        relu_(spec.epilogue.activation == GraphActivation::kRelu),
        workspace_floats_(cpu::cpu_conv_transpose_workspace_floats(g_)) {}
  uint64_t workspace_bytes() const override { return workspace_floats_ * sizeof(float); }
  bool run(const GraphKernelArgs& a) override {
    cpu::cpu_conv_transpose2d(g_, a.inputs[0], a.inputs[1], bias_ ? a.inputs[2] : nullptr, relu_,
                              a.outputs[0], a.workspace, workspace_floats_);
    return true;
  }

 private:
  cpu::ConvGeometry g_;
  bool bias_, relu_;
  uint64_t workspace_floats_;
};

class PoolKernel : public GraphKernel {
 public:
  PoolKernel(const GraphStepSpec& spec) : max_(spec.kind == GraphOpKind::kMaxPool2d) {
    const Shape& in = spec.inputs[0].shape;
    const Shape& out = spec.outputs[0].shape;
    const GraphPool2dDescriptor& d = spec.attrs->pool;
    g_.planes = in[0] * in[1];
    g_.h = static_cast<int32_t>(in[2]);
    g_.w = static_cast<int32_t>(in[3]);
    g_.oh = static_cast<int32_t>(out[2]);
    g_.ow = static_cast<int32_t>(out[3]);
    g_.kh = static_cast<int32_t>(d.kernel_height);
    g_.kw = static_cast<int32_t>(d.kernel_width);
    g_.sh = static_cast<int32_t>(d.stride_y);
    g_.sw = static_cast<int32_t>(d.stride_x);
    g_.pt = static_cast<int32_t>(d.pad_top);
    g_.pl = static_cast<int32_t>(d.pad_left);
    g_.exclude_pad = !d.include_zero_pad_to_average;
  }
  bool run(const GraphKernelArgs& a) override {
    if (max_) {
      cpu::cpu_maxpool(g_, a.inputs[0], a.outputs[0]);
    } else {
      cpu::cpu_avgpool(g_, a.inputs[0], a.outputs[0]);
    }
    return true;
  }

 private:
  bool max_;
  cpu::PoolGeometry g_;
};

}  // namespace

KernelPtr make_conv(const GraphStepSpec& spec, std::string* error) {
  auto k = std::make_unique<ConvKernel>();
  if (!k->prepare(spec, error)) return nullptr;
  return k;
}

KernelPtr make_conv_transpose(const GraphStepSpec& spec, std::string* error) {
  (void)error;
  return std::make_unique<ConvTransposeKernel>(spec);
}

KernelPtr make_pool(const GraphStepSpec& spec, std::string* error) {
  (void)error;
  return std::make_unique<PoolKernel>(spec);
}

}  // namespace vexa::graph_ops
