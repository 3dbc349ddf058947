// Element-wise graph kernels: the CPU engine's two-operand and one-operand operators, Where and
// Clip; truncation, casts and clamps to tensor bounds, which it has no operator for, are loops
// here.
#include <cmath>

#include "gpu/graph_ops_internal.h"

namespace vexa::graph_ops {

namespace {

constexpr uint32_t kGreaterModeWord = 27;
constexpr uint64_t kGreaterEqualMode = 1;
constexpr uint64_t kLessEqualMode = 2;
constexpr uint32_t kAlphaWord = 29;
constexpr uint32_t kBetaWord = 30;

// One CPU operator, optionally followed by Not in place (not-equal).
class NodeKernel : public GraphKernel {
 public:
  bool prepare(OpKind kind, const std::vector<Shape>& in, const Shape& out, const Words& words,
               bool negate, std::string* error) {
    negate_ = negate;
    if (!call_.prepare(kind, in, {out}, words, error)) return false;
    return !negate || not_.prepare(OpKind::kNot, {out}, {out}, {}, error);
  }
  uint64_t workspace_bytes() const override { return call_.workspace_bytes(); }
  bool run(const GraphKernelArgs& a) override {
    if (!call_.run(a.inputs, a.outputs, a.workspace)) return false;
    return !negate_ || not_.run1(a.outputs[0], a.outputs[0], a.workspace);
  }

 private:
  CpuNodeCall call_, not_;
  bool negate_ = false;
};

bool binary_op(GraphOpKind k, OpKind* kind, Words* words, bool* negate) {
  *negate = false;
  switch (k) {
    case GraphOpKind::kAdd: *kind = OpKind::kAdd; return true;
    case GraphOpKind::kSubtract: *kind = OpKind::kSub; return true;
    case GraphOpKind::kMultiply: *kind = OpKind::kMul; return true;
    case GraphOpKind::kDivide: *kind = OpKind::kDiv; return true;
    case GraphOpKind::kMaximum: *kind = OpKind::kMax; return true;
    case GraphOpKind::kMinimum: *kind = OpKind::kMin; return true;
    case GraphOpKind::kModulo: *kind = OpKind::kMod; return true;
    case GraphOpKind::kEqual: *kind = OpKind::kEqual; return true;
    case GraphOpKind::kNotEqual: *kind = OpKind::kEqual; *negate = true; return true;
    case GraphOpKind::kLess: *kind = OpKind::kLess; return true;
    case GraphOpKind::kGreater: *kind = OpKind::kGreater; return true;
    case GraphOpKind::kGreaterEqual:
      *kind = OpKind::kGreater;
      words->push_back({kGreaterModeWord, kGreaterEqualMode});
      return true;
    case GraphOpKind::kLessEqual:
      *kind = OpKind::kGreater;
      words->push_back({kGreaterModeWord, kLessEqualMode});
      return true;
    case GraphOpKind::kLogicalAnd: *kind = OpKind::kAnd; return true;
    case GraphOpKind::kLogicalOr: *kind = OpKind::kOr; return true;
    default: return false;
  }
}

bool unary_op(GraphOpKind k, OpKind* kind) {
  switch (k) {
    case GraphOpKind::kIdentity: *kind = OpKind::kIdentity; return true;
    case GraphOpKind::kRelu: *kind = OpKind::kRelu; return true;
    case GraphOpKind::kSigmoid: *kind = OpKind::kSigmoid; return true;
    case GraphOpKind::kErf: *kind = OpKind::kErf; return true;
    case GraphOpKind::kSqrt: *kind = OpKind::kSqrt; return true;
    case GraphOpKind::kExp: *kind = OpKind::kExp; return true;
    case GraphOpKind::kLog: *kind = OpKind::kLog; return true;
    case GraphOpKind::kTanh: *kind = OpKind::kTanh; return true;
    case GraphOpKind::kSin: *kind = OpKind::kSin; return true;
    case GraphOpKind::kCos: *kind = OpKind::kCos; return true;
    case GraphOpKind::kAbs: *kind = OpKind::kAbs; return true;
    case GraphOpKind::kNegative: *kind = OpKind::kNeg; return true;
    case GraphOpKind::kFloor: *kind = OpKind::kFloor; return true;
    case GraphOpKind::kCeil: *kind = OpKind::kCeil; return true;
    case GraphOpKind::kRound: *kind = OpKind::kRound; return true;
    case GraphOpKind::kReciprocal: *kind = OpKind::kReciprocal; return true;
    case GraphOpKind::kLogicalNot: *kind = OpKind::kNot; return true;
    case GraphOpKind::kLeakyRelu: *kind = OpKind::kLeakyRelu; return true;
    default: return false;
  }
}

// ---- loops for what the CPU engine has no operator for ----

struct MapJob {
  const float* x;
  float* y;
  DeviceDataType type;
};

class TruncateKernel : public GraphKernel {
 public:
  explicit TruncateKernel(uint64_t n) : n_(n) {}
  bool run(const GraphKernelArgs& a) override {
    MapJob job{a.inputs[0], a.outputs[0], DeviceDataType::kFloat32};
    split_elements(n_, [](void* ctx, uint64_t b, uint64_t e) {
      const MapJob& j = *static_cast<const MapJob*>(ctx);
      for (uint64_t i = b; i < e; ++i) j.y[i] = std::trunc(j.x[i]);
    }, &job);
    return true;
  }

 private:
  uint64_t n_;
};

class CastKernel : public GraphKernel {
 public:
  CastKernel(uint64_t n, DeviceDataType type) : n_(n), type_(type) {}
  bool run(const GraphKernelArgs& a) override {
    MapJob job{a.inputs[0], a.outputs[0], type_};
    split_elements(n_, [](void* ctx, uint64_t b, uint64_t e) {
      const MapJob& j = *static_cast<const MapJob*>(ctx);
      for (uint64_t i = b; i < e; ++i) j.y[i] = device_value_as(j.type, j.x[i]);
    }, &job);
    return true;
  }

 private:
  uint64_t n_;
  DeviceDataType type_;
};

// Clamp to bounds that vary over the tensor: lo where x < lo, hi where x > hi (NaN stays), as
// the CPU engine's Clip rounds its scalar bounds.
class TensorClampKernel : public GraphKernel {
 public:
  explicit TensorClampKernel(BroadcastView view) : v_(std::move(view)) {
    const size_t r = v_.out.size();
    for (size_t k = 0; k < 3; ++k) {
      strides_[k].assign(r, 0);
      uint64_t s = 1;
      for (size_t i = r; i-- > 0;) {
        strides_[k][i] = v_.operands[k][i] == 1 ? 0 : s;
        s *= static_cast<uint64_t>(v_.operands[k][i]);
      }
    }
  }
  bool run(const GraphKernelArgs& a) override {
    const size_t r = v_.out.size();
    const uint64_t n = elements_of(v_.out);
    std::vector<uint64_t> coord(r, 0);
    uint64_t off[3] = {0, 0, 0};
    for (uint64_t i = 0; i < n; ++i) {
      const float x = a.inputs[0][off[0]], lo = a.inputs[1][off[1]], hi = a.inputs[2][off[2]];
      a.outputs[0][i] = x < lo ? lo : (x > hi ? hi : x);
      for (size_t d = r; d-- > 0;) {
        for (size_t k = 0; k < 3; ++k) off[k] += strides_[k][d];
        if (++coord[d] < static_cast<uint64_t>(v_.out[d])) break;
        for (size_t k = 0; k < 3; ++k) off[k] -= strides_[k][d] * coord[d];
        coord[d] = 0;
      }
    }
    return true;
  }

 private:
  BroadcastView v_;
  std::vector<uint64_t> strides_[3];
};

bool single_constant(const GraphOperand& o, float* value) {
  if (o.constant == nullptr || o.elements != 1) return false;
  *value = o.constant[0];
  return true;
}

}  // namespace

KernelPtr make_binary(const GraphStepDesc& desc, std::string* error) {
  OpKind kind{};
  Words words;
  bool negate = false;
  if (!binary_op(desc.kind, &kind, &words, &negate)) {
    *error = "not a two-operand operation";
    return nullptr;
  }
  const BroadcastView v =
      broadcast_view(desc.outputs[0].shape, {desc.inputs[0].shape, desc.inputs[1].shape});
  auto k = std::make_unique<NodeKernel>();
  if (!k->prepare(kind, v.operands, v.out, words, negate, error)) return nullptr;
  return k;
}

KernelPtr make_unary(const GraphStepDesc& desc, std::string* error) {
  const uint64_t n = desc.outputs[0].elements;
  if (desc.kind == GraphOpKind::kTruncate) return std::make_unique<TruncateKernel>(n);
  OpKind kind{};
  if (!unary_op(desc.kind, &kind)) {
    *error = "not a one-operand operation";
    return nullptr;
  }
  Words words;
  if (desc.kind == GraphOpKind::kLeakyRelu) words.push_back({kAlphaWord, f32_bits(desc.attrs->alpha)});
  const Shape flat = {static_cast<int64_t>(n)};
  auto k = std::make_unique<NodeKernel>();
  if (!k->prepare(kind, {flat}, flat, words, false, error)) return nullptr;
  return k;
}

// The CPU engine's HardSigmoid (clamp(x * alpha + beta, 0, 1) with one rounding of the
// product and sum) or HardSwish (x times that with 1/6 and 0.5).
KernelPtr make_hard_sigmoid(const GraphStepDesc& desc, std::string* error) {
  const Shape flat = {static_cast<int64_t>(desc.outputs[0].elements)};
  auto k = std::make_unique<NodeKernel>();
  const bool swish = desc.kind == GraphOpKind::kFusedHardSwish;
  Words words;
  if (!swish) {
    words = {{kAlphaWord, f32_bits(desc.attrs->alpha)}, {kBetaWord, f32_bits(desc.attrs->beta)}};
  }
  if (!k->prepare(swish ? OpKind::kHardSwish : OpKind::kHardSigmoid, {flat}, flat, words, false,
                  error))
    return nullptr;
  return k;
}

KernelPtr make_clamp(const GraphStepDesc& desc, std::string* error) {
  float lo = 0.0f, hi = 0.0f;
  if (single_constant(desc.inputs[1], &lo) && single_constant(desc.inputs[2], &hi)) {
    // Scalar bounds: the CPU engine's Clip; the bound operands are not read.
    const Shape flat = {static_cast<int64_t>(desc.outputs[0].elements)};
    auto k = std::make_unique<NodeKernel>();
    if (!k->prepare(OpKind::kClip, {flat}, flat, {{kAlphaWord, f32_bits(lo)}, {kBetaWord, f32_bits(hi)}},
                    false, error))
      return nullptr;
    return k;
  }
  return std::make_unique<TensorClampKernel>(broadcast_view(
      desc.outputs[0].shape, {desc.inputs[0].shape, desc.inputs[1].shape, desc.inputs[2].shape}));
}

KernelPtr make_select(const GraphStepDesc& desc, std::string* error) {
  const BroadcastView v = broadcast_view(
      desc.outputs[0].shape, {desc.inputs[0].shape, desc.inputs[1].shape, desc.inputs[2].shape});
  auto k = std::make_unique<NodeKernel>();
  if (!k->prepare(OpKind::kWhere, v.operands, v.out, {}, false, error)) return nullptr;
  return k;
}

// The CPU engine's scaled Add: x * s + y with the product and the sum each rounded.
KernelPtr make_scaled_add(const GraphStepDesc& desc, std::string* error) {
  constexpr uint32_t kScaledAddFlagWord = 29;
  constexpr uint32_t kScaledAddScaleWord = 30;
  const Shape flat = {static_cast<int64_t>(desc.outputs[0].elements)};
  auto k = std::make_unique<NodeKernel>();
  if (!k->prepare(OpKind::kAdd, {flat, flat}, flat,
                  {{kScaledAddFlagWord, 1}, {kScaledAddScaleWord, f32_bits(desc.attrs->alpha)}}, false,
                  error))
    return nullptr;
  return k;
}

KernelPtr make_cast(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  return std::make_unique<CastKernel>(desc.outputs[0].elements, desc.attrs->type);
}

}  // namespace vexa::graph_ops
