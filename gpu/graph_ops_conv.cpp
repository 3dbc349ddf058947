// Convolution and pooling graph kernels: the CPU engine's convolution (with its fused epilogue
// and, for constant weights, the direct path's packed layout), transposed convolution and
// pooling kernels.
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpu/ops/conv.h"
#include "cpu/ops/conv_direct.h"
#include "cpu/ops/pool.h"
#include "gpu/graph_ops_internal.h"

namespace vexa::graph_ops {

namespace {

constexpr uint64_t kPackAlignBytes = 64;

static_assert(static_cast<int32_t>(GraphProgramOp::kMul) == cpu::kTailMul &&
                  static_cast<int32_t>(GraphProgramOp::kAdd) == cpu::kTailAdd &&
                  static_cast<int32_t>(GraphProgramOp::kDiv) == cpu::kTailDiv &&
                  static_cast<int32_t>(GraphProgramOp::kClamp) == cpu::kTailClip &&
                  static_cast<int32_t>(GraphProgramOp::kSave) == cpu::kTailSave &&
                  static_cast<int32_t>(GraphProgramOp::kMulSaved) == cpu::kTailMulSaved &&
                  kGraphProgramMaxSteps == static_cast<uint32_t>(cpu::kConvTailMaxSteps),
              "the graph's program steps are the CPU engine's");

cpu::ConvGeometry geometry(const GraphStepDesc& desc, const Shape& in, const Shape& out) {
  const GraphConv2dDescriptor& d = desc.attrs->conv;
  const Shape& w = desc.inputs[1].shape;
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

// Inputs: x, weights, bias, residual, scale, shift (see GraphEpilogue).
class ConvKernel : public GraphKernel {
 public:
  bool prepare(const GraphStepDesc& desc, std::string* error) {
    g_ = geometry(desc, desc.inputs[0].shape, desc.outputs[0].shape);
    const GraphEpilogue& e = desc.epilogue;
    auto input = [&](size_t k) -> const GraphOperand* {
      return k < desc.inputs.size() && desc.inputs[k].present ? &desc.inputs[k] : nullptr;
    };
    const GraphOperand& w = desc.inputs[1];
    const GraphOperand* bias = e.bias ? input(2) : nullptr;
    const GraphOperand* scale = input(4);
    const GraphOperand* shift = input(5);
    const uint64_t channels = static_cast<uint64_t>(g_.c_out);
    bias_ = bias != nullptr;
    residual_ = e.residual && input(3) != nullptr;
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
      case GraphActivation::kSilu: epilogue_.activation = cpu::kConvActSilu; break;
      case GraphActivation::kProgram:
        if (!set_program(e.program, error)) return false;
        break;
      default: epilogue_.activation = cpu::kConvActNone; break;
    }
    const float* weights = w.constant;
    if (e.affine || e.relu_affine) {
      const bool numbers = scale != nullptr && shift != nullptr && scale->constant != nullptr &&
                           shift->constant != nullptr && scale->elements == channels &&
                           shift->elements == channels && (bias == nullptr || bias->constant != nullptr);
      if (!numbers || (e.affine && w.constant == nullptr)) {
        *error = "a folded normalisation needs constant weights, scale and shift";
        return false;
      }
      if (e.affine) {
        // w * s per output channel and b * s + t, as the CPU engine folds a normalisation.
        const uint64_t per_channel = w.elements / channels;
        folded_weights_.resize(w.elements);
        folded_bias_.resize(channels);
        for (uint64_t c = 0; c < channels; ++c) {
          const float sc = scale->constant[c];
          for (uint64_t j = 0; j < per_channel; ++j)
            folded_weights_[c * per_channel + j] = w.constant[c * per_channel + j] * sc;
          folded_bias_[c] = bias != nullptr ? std::fma(bias->constant[c], sc, shift->constant[c])
                                            : shift->constant[c];
        }
        weights = folded_weights_.data();
        bias_ = true;
        own_table_ = folded_bias_.data();
      } else {
        // ReLU, then the per-channel affine: a table of bias, scale and shift.
        folded_bias_.resize(3 * channels);
        for (uint64_t c = 0; c < channels; ++c) {
          folded_bias_[c] = bias != nullptr ? bias->constant[c] : 0.0f;
          folded_bias_[channels + c] = scale->constant[c];
          folded_bias_[2 * channels + c] = shift->constant[c];
        }
        epilogue_.activation = cpu::kConvActReluAffine;
        bias_ = true;
        own_table_ = folded_bias_.data();
      }
    }
    // Constant weights are packed once for the direct path when its shape qualifies.
    if (weights != nullptr && cpu::cpu_conv_direct_eligible(g_)) {
      const uint64_t floats = cpu::cpu_conv_direct_weight_floats(g_);
      const uint64_t bytes = (floats * sizeof(float) + kPackAlignBytes - 1) & ~(kPackAlignBytes - 1);
      packed_.reset(static_cast<float*>(std::aligned_alloc(kPackAlignBytes, bytes)));
      if (packed_ == nullptr) {
        *error = "out of memory packing convolution weights";
        return false;
      }
      cpu::cpu_conv_direct_pack(g_, weights, packed_.get());
      folded_weights_.clear();
      folded_weights_.shrink_to_fit();
    } else {
      workspace_floats_ = cpu::cpu_conv_workspace_floats(g_);
    }
    return true;
  }
  uint64_t workspace_bytes() const override { return workspace_floats_ * sizeof(float); }
  bool run(const GraphKernelArgs& a) override {
    cpu::ConvEpilogue e = epilogue_;
    e.table = own_table_ != nullptr ? own_table_ : (bias_ ? a.inputs[2] : nullptr);
    e.residual = residual_ ? a.inputs[3] : nullptr;
    if (packed_ != nullptr) return cpu::cpu_conv2d_direct(g_, a.inputs[0], packed_.get(), a.outputs[0], e);
    const float* w = folded_weights_.empty() ? a.inputs[1] : folded_weights_.data();
    cpu::cpu_conv2d(g_, a.inputs[0], w, a.outputs[0], e, true, a.workspace, workspace_floats_);
    return true;
  }

 private:
  // The CPU engine's tail program: a step count, then (step, a, b) triples.
  bool set_program(const std::vector<GraphProgramStep>& steps, std::string* error) {
    if (steps.empty() || steps.size() > static_cast<size_t>(cpu::kConvTailMaxSteps)) {
      *error = "element-wise program of " + std::to_string(steps.size()) + " steps";
      return false;
    }
    program_.fill(0.0f);
    program_[0] = static_cast<float>(steps.size());
    for (size_t k = 0; k < steps.size(); ++k) {
      float* step = program_.data() + 1 + k * cpu::kConvTailStepFloats;
      // The step numbers are the CPU engine's (GraphProgramOp is numbered after them).
      step[0] = static_cast<float>(static_cast<uint32_t>(steps[k].op));
      step[1] = steps[k].a;
      step[2] = steps[k].b;
    }
    epilogue_.activation = cpu::kConvActProgram;
    epilogue_.program = program_.data();
    return true;
  }

  cpu::ConvGeometry g_;
  cpu::ConvEpilogue epilogue_;
  std::array<float, cpu::kConvTailProgramFloats> program_{};
  bool bias_ = false, residual_ = false;
  std::unique_ptr<float, FreeFloats> packed_;
  GraphValues folded_weights_;  // aligned: the GEMM reads it when the direct path does not
  std::vector<float> folded_bias_;
  const float* own_table_ = nullptr;
  uint64_t workspace_floats_ = 0;
};

class ConvTransposeKernel : public GraphKernel {
 public:
  explicit ConvTransposeKernel(const GraphStepDesc& desc)
      : g_(geometry(desc, desc.inputs[0].shape, desc.outputs[0].shape)),
        bias_(desc.epilogue.bias),
        relu_(desc.epilogue.activation == GraphActivation::kRelu),
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
  PoolKernel(const GraphStepDesc& desc) : max_(desc.kind == GraphOpKind::kMaxPool2d) {
    const Shape& in = desc.inputs[0].shape;
    const Shape& out = desc.outputs[0].shape;
    const GraphPool2dDescriptor& d = desc.attrs->pool;
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

KernelPtr make_conv(const GraphStepDesc& desc, std::string* error) {
  auto k = std::make_unique<ConvKernel>();
  if (!k->prepare(desc, error)) return nullptr;
  return k;
}

KernelPtr make_conv_transpose(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  return std::make_unique<ConvTransposeKernel>(desc);
}

KernelPtr make_pool(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  return std::make_unique<PoolKernel>(desc);
}

}  // namespace vexa::graph_ops
