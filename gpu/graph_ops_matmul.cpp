// Matrix-product graph kernels on the CPU engine's batched matrix product, and attention
// composed from it with its transpose, element-wise and soft-max operators.
#include <algorithm>

#include "cpu/ops/gemm.h"
#include "gpu/graph_ops_internal.h"
#include "gpu/kernels/stored_weight_product.h"
#include "platform/graph_shapes.h"
#include "platform/vector_math.h"

namespace vexa::graph_ops {

namespace {

constexpr uint32_t kPermLengthWord = 15;
constexpr uint32_t kPermFirstWord = 19;
constexpr uint32_t kAxisWord = 26;
constexpr uint64_t kViewAxis = 1;

// Operand shapes of a batched product with the batch dims merged as far as the broadcast
// allows; false when they still need more than six dims.
bool product_shape(const Shape& a, const Shape& b, cpu::MatMulShape* s) {
  const Shape ab(a.begin(), a.end() - 2), bb(b.begin(), b.end() - 2);
  Shape out;
  graph_broadcast_shapes(ab, bb, &out);
  const BroadcastView v = broadcast_view(out, {ab, bb});
  Shape na = v.operands[0], nb = v.operands[1];
  na.insert(na.end(), a.end() - 2, a.end());
  nb.insert(nb.end(), b.end() - 2, b.end());
  if (na.size() > 6 || nb.size() > 6) return false;
  s->a_rank = static_cast<int32_t>(na.size());
  s->b_rank = static_cast<int32_t>(nb.size());
  for (size_t i = 0; i < na.size(); ++i) s->a_dims[i] = na[i];
  for (size_t i = 0; i < nb.size(); ++i) s->b_dims[i] = nb[i];
  return true;
}

class MatMulKernel : public GraphKernel {
 public:
  explicit MatMulKernel(const cpu::MatMulShape& s) : s_(s) {}
  bool run(const GraphKernelArgs& a) override {
    cpu::cpu_matmul(s_, a.inputs[0], a.inputs[1], a.outputs[0]);
    return true;
  }

 private:
  cpu::MatMulShape s_;
};

// a [M, K] times the transpose of a weight [N, K] in its stored rows: the caller's halves or
// floats when the executable hands the feed over as it is, else the f32 values it converted.
class StoredMatMulKernel : public GraphKernel {
 public:
  StoredMatMulKernel(uint64_t m, uint64_t n, uint64_t k) : m_(m), n_(n), k_(k) {}
  bool run(const GraphKernelArgs& a) override {
    StoredWeight w;
    w.k = k_;
    if (a.fed != nullptr && a.fed[1].bytes != nullptr) {
      const bool half = a.fed[1].type == DeviceDataType::kFloat16;
      w.base = a.fed[1].bytes;
      w.row_bytes = k_ * (half ? sizeof(uint16_t) : sizeof(float));
      w.form = half ? StoredRows::kHalf : StoredRows::kFloat;
    } else {
      w.base = reinterpret_cast<const uint8_t*>(a.inputs[1]);
      w.row_bytes = k_ * sizeof(float);
      w.form = StoredRows::kFloat;
    }
    if (!stored_weight_product(a.inputs[0], m_, k_, w, n_, a.outputs[0], n_, nullptr)) {
      *a.error = "the matrix product shape is refused";
      return false;
    }
    return true;
  }

 private:
  uint64_t m_, n_, k_;
};

struct ScaleJob {
  float* p;
  float s;
};

// softmax(q k^T * scale + mask) v, batch by batch through the CPU kernels: k transposed once,
// the scores and the probabilities in the workspace.
class AttentionKernel : public GraphKernel {
 public:
  bool prepare(const GraphStepDesc& desc, std::string* error) {
    const Shape& q = desc.inputs[0].shape;
    const Shape& k = desc.inputs[1].shape;
    const Shape& v = desc.inputs[2].shape;
    const size_t r = q.size();
    batch_ = static_cast<int64_t>(elements_of(Shape(q.begin(), q.end() - 2)));
    s_ = q[r - 2];
    d_ = q[r - 1];
    t_ = k[r - 2];
    dv_ = v[r - 1];
    scale_ = desc.attrs->alpha;
    if (!transpose_.prepare(OpKind::kTranspose, {{batch_, t_, d_}}, {{batch_, d_, t_}},
                            {{kPermLengthWord, 3}, {kPermFirstWord, 0}, {kPermFirstWord + 1, 2},
                             {kPermFirstWord + 2, 1}},
                            error))
      return false;
    scores_shape_ = cpu::MatMulShape{};
    scores_shape_.a_rank = scores_shape_.b_rank = 3;
    const int64_t qa[3] = {batch_, s_, d_}, kb[3] = {batch_, d_, t_};
    const int64_t pa[3] = {batch_, s_, t_}, vb[3] = {batch_, t_, dv_};
    for (int i = 0; i < 3; ++i) {
      scores_shape_.a_dims[i] = qa[i];
      scores_shape_.b_dims[i] = kb[i];
    }
    values_shape_.a_rank = values_shape_.b_rank = 3;
    for (int i = 0; i < 3; ++i) {
      values_shape_.a_dims[i] = pa[i];
      values_shape_.b_dims[i] = vb[i];
    }
    has_mask_ = desc.inputs.size() > 3 && desc.inputs[3].present;
    if (has_mask_) {
      Shape scores(q.begin(), q.end() - 1);
      scores.push_back(t_);
      const BroadcastView view = broadcast_view(scores, {scores, desc.inputs[3].shape});
      if (!mask_.prepare(OpKind::kAdd, view.operands, {view.out}, {}, error)) return false;
    }
    const Shape rows = {batch_ * s_, t_, 1};
    if (!softmax_.prepare(OpKind::kSoftmax, {rows}, {rows}, {{kAxisWord, kViewAxis}}, error))
      return false;
    kt_floats_ = round16(static_cast<uint64_t>(batch_ * d_ * t_));
    scores_floats_ = round16(static_cast<uint64_t>(batch_ * s_ * t_));
    inner_ = std::max({transpose_.workspace_bytes(), mask_.workspace_bytes(),
                       softmax_.workspace_bytes()});
    return true;
  }
  uint64_t workspace_bytes() const override {
    return (kt_floats_ + 2 * scores_floats_) * sizeof(float) + inner_;
  }
  bool run(const GraphKernelArgs& a) override {
    float* kt = a.workspace;
    float* scores = kt + kt_floats_;
    float* probs = scores + scores_floats_;
    float* scratch = probs + scores_floats_;
    if (!transpose_.run1(a.inputs[1], kt, scratch)) return false;
    cpu::cpu_matmul(scores_shape_, a.inputs[0], kt, scores);
    ScaleJob job{scores, scale_};
    split_elements(static_cast<uint64_t>(batch_ * s_ * t_), [](void* ctx, uint64_t b, uint64_t e) {
      const ScaleJob& j = *static_cast<const ScaleJob*>(ctx);
      vec_mul_scalar(j.p + b, j.s, j.p + b, e - b);
    }, &job);
    if (has_mask_) {
      const float* ins[2] = {scores, a.inputs[3]};
      float* outs[1] = {scores};
      if (!mask_.run(ins, outs, scratch)) return false;
    }
    if (!softmax_.run1(scores, probs, scratch)) return false;
    cpu::cpu_matmul(values_shape_, probs, a.inputs[2], a.outputs[0]);
    return true;
  }

 private:
  static uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }

  int64_t batch_ = 0, s_ = 0, d_ = 0, t_ = 0, dv_ = 0;
  float scale_ = 1.0f;
  bool has_mask_ = false;
  CpuNodeCall transpose_, mask_, softmax_;
  cpu::MatMulShape scores_shape_{}, values_shape_{};
  uint64_t kt_floats_ = 0, scores_floats_ = 0, inner_ = 0;
};

}  // namespace

KernelPtr make_matmul(const GraphStepDesc& desc, std::string* error) {
  cpu::MatMulShape s;
  if (!product_shape(desc.inputs[0].shape, desc.inputs[1].shape, &s)) {
    *error = "the batch dims of the product do not fit in six";
    return nullptr;
  }
  return std::make_unique<MatMulKernel>(s);
}

KernelPtr make_stored_matmul(const GraphStepDesc& desc, std::string* error) {
  const Shape& a = desc.inputs[0].shape;
  const Shape& w = desc.inputs[1].shape;
  if (a.size() != 2 || w.size() != 2 || a[1] != w[1]) {
    *error = "a stored-weight product takes a [M, K] by a [N, K] weight";
    return nullptr;
  }
  return std::make_unique<StoredMatMulKernel>(static_cast<uint64_t>(a[0]), static_cast<uint64_t>(w[0]),
                                              static_cast<uint64_t>(a[1]));
}

KernelPtr make_attention(const GraphStepDesc& desc, std::string* error) {
  auto k = std::make_unique<AttentionKernel>();
  if (!k->prepare(desc, error)) return nullptr;
  return k;
}

}  // namespace vexa::graph_ops
