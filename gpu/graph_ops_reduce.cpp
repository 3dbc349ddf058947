// Reduction graph kernels on the CPU engine's single-axis reductions, arg-max, soft-max and
// top-k (each over an [outer, d, inner] view), its plane mean for global average pooling, and
// its layer-normalisation and GELU kernels for the fused chains.
#include <algorithm>

#include "cpu/ops/activation.h"
#include "cpu/ops/norm.h"
#include "cpu/ops/pool.h"
#include "gpu/graph_ops_internal.h"

namespace vexa::graph_ops {

namespace {

constexpr uint32_t kAxisWord = 26;
constexpr uint32_t kTopKSmallestWord = 27;
constexpr uint64_t kViewAxis = 1;

OpKind reduce_op(GraphOpKind k) {
  switch (k) {
    case GraphOpKind::kReduceSum: return OpKind::kReduceSum;
    case GraphOpKind::kReduceMean: return OpKind::kReduceMean;
    case GraphOpKind::kReduceMax: return OpKind::kReduceMax;
    case GraphOpKind::kReduceMin: return OpKind::kReduceMin;
    default: return OpKind::kReduceProd;
  }
}

// Runs of neighbouring reduced dims, last run first, each one CPU reduction over the shape
// the runs before it left; intermediates alternate between two workspace halves.
class ReductionKernel : public GraphKernel {
 public:
  bool prepare(const GraphStepDesc& desc, std::string* error) {
    const Shape& in = desc.inputs[0].shape;
    const std::vector<int64_t>& axes = desc.attrs->ints;
    std::vector<std::pair<size_t, size_t>> runs;  // [first, last]
    for (int64_t a : axes) {
      const size_t u = static_cast<size_t>(a);
      if (!runs.empty() && runs.back().second + 1 == u) {
        runs.back().second = u;
      } else {
        runs.push_back({u, u});
      }
    }
    std::reverse(runs.begin(), runs.end());
    // A mean over trailing dims is a mean of planes, as global average pooling takes it.
    if (desc.kind == GraphOpKind::kReduceMean && runs.size() == 1 &&
        runs[0].second == in.size() - 1 && runs[0].second > runs[0].first) {
      plane_mean_ = true;
      planes_ = desc.outputs[0].elements;
      plane_ = planes_ == 0 ? 0 : desc.inputs[0].elements / planes_;
      return true;
    }
    Shape cur = in;
    uint64_t largest = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
      Shape view = {static_cast<int64_t>(graph_dims_product_of(cur, 0, runs[r].first)),
                    static_cast<int64_t>(graph_dims_product_of(cur, runs[r].first, runs[r].second + 1)),
                    static_cast<int64_t>(graph_dims_product_of(cur, runs[r].second + 1, cur.size()))};
      for (size_t i = runs[r].first; i <= runs[r].second; ++i) cur[i] = 1;
      const Shape out = {view[0], 1, view[2]};
      calls_.emplace_back();
      if (!calls_.back().prepare(reduce_op(desc.kind), {view}, {out}, {{kAxisWord, kViewAxis}}, error))
        return false;
      sizes_.push_back(elements_of(out));
      if (r + 1 < runs.size()) largest = std::max(largest, elements_of(out));
    }
    for (const CpuNodeCall& c : calls_) inner_workspace_ = std::max(inner_workspace_, c.workspace_bytes());
    half_floats_ = (largest + 15) & ~uint64_t{15};  // keeps the second half 64-byte aligned
    return true;
  }
  uint64_t workspace_bytes() const override {
    return 2 * half_floats_ * sizeof(float) + inner_workspace_;
  }
  bool run(const GraphKernelArgs& a) override {
    if (plane_mean_) {
      cpu::cpu_global_avgpool(static_cast<int64_t>(planes_), static_cast<int64_t>(plane_),
                              a.inputs[0], a.outputs[0]);
      return true;
    }
    const float* src = a.inputs[0];
    float* scratch = a.workspace + 2 * half_floats_;
    for (size_t r = 0; r < calls_.size(); ++r) {
      float* dst = r + 1 == calls_.size() ? a.outputs[0] : a.workspace + (r % 2) * half_floats_;
      if (!calls_[r].run1(src, dst, scratch)) return false;
      src = dst;
    }
    return true;
  }

 private:
  static uint64_t graph_dims_product_of(const Shape& s, size_t from, size_t to) {
    uint64_t p = 1;
    for (size_t i = from; i < to; ++i) p *= static_cast<uint64_t>(s[i]);
    return p;
  }

  std::vector<CpuNodeCall> calls_;
  std::vector<uint64_t> sizes_;
  uint64_t half_floats_ = 0;
  uint64_t inner_workspace_ = 0;
  bool plane_mean_ = false;
  uint64_t planes_ = 0, plane_ = 0;
};

class CallKernel : public GraphKernel {
 public:
  CpuNodeCall call;
  uint64_t workspace_bytes() const override { return call.workspace_bytes(); }
  bool run(const GraphKernelArgs& a) override { return call.run(a.inputs, a.outputs, a.workspace); }
};

// The divide form rounds every step as its nodes do (the CPU engine's stepwise kernels).
class LayerNormKernel : public GraphKernel {
 public:
  LayerNormKernel(uint64_t rows, uint64_t d, float epsilon, bool stepwise)
      : rows_(rows), d_(d), eps_(epsilon), stepwise_(stepwise) {}
  bool run(const GraphKernelArgs& a) override {
    if (d_ == 0) return true;
    if (stepwise_) {
      cpu::cpu_layernorm_stepwise(a.inputs[0], a.inputs[1], a.inputs[2], a.outputs[0], rows_, d_, eps_);
    } else {
      cpu::cpu_layernorm(a.inputs[0], a.inputs[1], a.inputs[2], a.outputs[0], rows_, d_, eps_);
    }
    return true;
  }

 private:
  uint64_t rows_, d_;
  float eps_;
  bool stepwise_;
};

class GeluKernel : public GraphKernel {
 public:
  GeluKernel(uint64_t n, float divisor) : n_(n), divisor_(divisor) {}
  bool run(const GraphKernelArgs& a) override {
    if (divisor_ != 0.0f) {
      cpu::cpu_gelu_stepwise(a.inputs[0], a.outputs[0], n_, divisor_);
    } else {
      cpu::cpu_gelu(a.inputs[0], a.outputs[0], n_);
    }
    return true;
  }

 private:
  uint64_t n_;
  float divisor_;  // 0: the product form
};

}  // namespace

KernelPtr make_reduction(const GraphStepDesc& desc, std::string* error) {
  auto k = std::make_unique<ReductionKernel>();
  if (!k->prepare(desc, error)) return nullptr;
  return k;
}

KernelPtr make_axis_op(const GraphStepDesc& desc, std::string* error) {
  const Shape& in = desc.inputs[0].shape;
  auto k = std::make_unique<CallKernel>();
  bool ok = false;
  if (desc.kind == GraphOpKind::kTopK) {
    const Shape x = axis_view(in, static_cast<uint32_t>(in.size() - 1));
    const Shape out = {x[0], desc.outputs[0].shape.back(), x[2]};
    ok = k->call.prepare(OpKind::kTopK, {x}, {out, out},
                         {{kAxisWord, kViewAxis}, {kTopKSmallestWord, 0}}, error);
  } else {
    const uint32_t axis = static_cast<uint32_t>(desc.attrs->axis);
    const Shape x = axis_view(in, axis);
    const Shape out = desc.kind == GraphOpKind::kArgMax ? Shape{x[0], 1, x[2]} : x;
    ok = k->call.prepare(desc.kind == GraphOpKind::kArgMax ? OpKind::kArgMax : OpKind::kSoftmax,
                         {x}, {out}, {{kAxisWord, kViewAxis}}, error);
  }
  if (!ok) return nullptr;
  return k;
}

KernelPtr make_layer_norm(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  const Shape& x = desc.inputs[0].shape;
  const uint64_t d = static_cast<uint64_t>(x.back());
  return std::make_unique<LayerNormKernel>(d == 0 ? 0 : desc.inputs[0].elements / d, d,
                                           desc.attrs->alpha, desc.attrs->divide_form);
}

KernelPtr make_gelu(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  return std::make_unique<GeluKernel>(desc.inputs[0].elements,
                                      desc.attrs->divide_form ? desc.attrs->alpha : 0.0f);
}

}  // namespace vexa::graph_ops
