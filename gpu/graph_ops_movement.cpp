// Layout graph kernels on the CPU engine's movement operators (Transpose, Slice, Concat,
// Expand, Gather, ScatterND) over the fewest dims that describe each move, its resize workers,
// and the gather along an axis, which it has no operator for.
#include <algorithm>
#include <cstring>

#include "cpu/ops/op_shapes.h"
#include "cpu/ops/resize.h"
#include "gpu/graph_ops_internal.h"
#include "platform/thread_pool.h"

namespace vexa::graph_ops {

namespace {

constexpr uint32_t kPermLengthWord = 15;
constexpr uint32_t kPermFirstWord = 19;
constexpr uint32_t kSliceStepWord = 17;
constexpr uint32_t kSliceStartWord = 19;
constexpr uint32_t kSliceCountWord = 20;
constexpr uint32_t kAxisWord = 26;
constexpr uint32_t kScatterReductionWord = 27;
constexpr uint64_t kViewAxis = 1;  // the middle dim of an [outer, d, inner] view

class CallKernel : public GraphKernel {
 public:
  bool prepare(OpKind kind, const std::vector<Shape>& in, const std::vector<Shape>& out,
               const Words& words, std::string* error) {
    return call_.prepare(kind, in, out, words, error);
  }
  uint64_t workspace_bytes() const override { return call_.workspace_bytes(); }
  bool run(const GraphKernelArgs& a) override { return call_.run(a.inputs, a.outputs, a.workspace); }

 private:
  CpuNodeCall call_;
};

KernelPtr call(OpKind kind, const std::vector<Shape>& in, const std::vector<Shape>& out,
               const Words& words, std::string* error) {
  auto k = std::make_unique<CallKernel>();
  if (!k->prepare(kind, in, out, words, error)) return nullptr;
  return k;
}

Shape flat(uint64_t n) { return {static_cast<int64_t>(n)}; }

// The permutation over the fewest input dims: dims of extent 1 dropped, and input dims that
// stay neighbours in the output merged.
void reduce_permutation(const Shape& in, const std::vector<int64_t>& perm, Shape* shape,
                        std::vector<int64_t>* out_perm) {
  std::vector<int64_t> kept_index(in.size(), -1);
  Shape s;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == 1) continue;
    kept_index[i] = static_cast<int64_t>(s.size());
    s.push_back(in[i]);
  }
  std::vector<int64_t> p;
  for (int64_t axis : perm) {
    if (kept_index[static_cast<size_t>(axis)] >= 0) p.push_back(kept_index[static_cast<size_t>(axis)]);
  }
  // Groups of input dims, in output order.
  std::vector<std::pair<int64_t, int64_t>> groups;  // first input dim, last input dim
  for (int64_t axis : p) {
    if (!groups.empty() && groups.back().second + 1 == axis) {
      groups.back().second = axis;
    } else {
      groups.push_back({axis, axis});
    }
  }
  std::vector<size_t> by_input(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) by_input[i] = i;
  std::sort(by_input.begin(), by_input.end(),
            [&](size_t a, size_t b) { return groups[a].first < groups[b].first; });
  shape->clear();
  std::vector<int64_t> position(groups.size());
  for (size_t j = 0; j < by_input.size(); ++j) {
    const auto& g = groups[by_input[j]];
    int64_t extent = 1;
    for (int64_t a = g.first; a <= g.second; ++a) extent *= s[static_cast<size_t>(a)];
    shape->push_back(extent);
    position[by_input[j]] = static_cast<int64_t>(j);
  }
  out_perm->assign(position.begin(), position.end());
}

KernelPtr make_permute(const GraphStepDesc& desc, std::string* error) {
  Shape shape;
  std::vector<int64_t> perm;
  reduce_permutation(desc.inputs[0].shape, desc.attrs->ints, &shape, &perm);
  const uint64_t n = desc.outputs[0].elements;
  bool identity = true;
  for (size_t i = 0; i < perm.size(); ++i) identity = identity && perm[i] == static_cast<int64_t>(i);
  if (identity) return call(OpKind::kIdentity, {flat(n)}, {flat(n)}, {}, error);
  Shape out(shape.size());
  Words words = {{kPermLengthWord, shape.size()}};
  for (size_t k = 0; k < perm.size(); ++k) {
    out[k] = shape[static_cast<size_t>(perm[k])];
    words.push_back({kPermFirstWord + static_cast<uint32_t>(k), static_cast<uint64_t>(perm[k])});
  }
  return call(OpKind::kTranspose, {shape}, {out}, words, error);
}

// out[..., i, ...] = x[..., wrap_clamp(indices[..., i, ...]), ...] with indices and x
// broadcast over each other off the axis.
class GatherAlongAxisKernel : public GraphKernel {
 public:
  GatherAlongAxisKernel(const Shape& x, const Shape& idx, const Shape& out, uint32_t axis)
      : out_(out), axis_(axis), extent_(static_cast<uint64_t>(x[axis])) {
    x_strides_.assign(out.size(), 0);
    i_strides_.assign(out.size(), 0);
    uint64_t sx = 1, si = 1;
    for (size_t d = out.size(); d-- > 0;) {
      x_strides_[d] = x[d] == 1 && d != axis ? 0 : sx;
      i_strides_[d] = idx[d] == 1 && out[d] != 1 ? 0 : si;
      sx *= static_cast<uint64_t>(x[d]);
      si *= static_cast<uint64_t>(idx[d]);
    }
  }
  bool run(const GraphKernelArgs& a) override {
    const size_t r = out_.size();
    const uint64_t n = elements_of(out_);
    std::vector<uint64_t> coord(r, 0);
    uint64_t xo = 0, io = 0;  // offsets of the current output element, the axis term left out
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t at = cpu::wrap_clamp_index(a.inputs[1][io], extent_);
      a.outputs[0][i] = a.inputs[0][xo + at * x_strides_[axis_]];
      for (size_t d = r; d-- > 0;) {
        const uint64_t xs = d == axis_ ? 0 : x_strides_[d];
        xo += xs;
        io += i_strides_[d];
        if (++coord[d] < static_cast<uint64_t>(out_[d])) break;
        xo -= xs * coord[d];
        io -= i_strides_[d] * coord[d];
        coord[d] = 0;
      }
    }
    return true;
  }

 private:
  Shape out_;
  uint32_t axis_;
  uint64_t extent_;
  std::vector<uint64_t> x_strides_, i_strides_;
};

// ---- resize ----

constexpr uint64_t kParallelMinPlanes = 8;
constexpr uint64_t kParallelMinOutputs = 16384;

class ResizeKernel : public GraphKernel {
 public:
  bool prepare(const GraphStepDesc& desc) {
    const Shape& in = desc.inputs[0].shape;
    const Shape& out = desc.outputs[0].shape;
    planes_ = static_cast<uint64_t>(in[0] * in[1]);
    h_ = static_cast<uint64_t>(in[2]);
    w_ = static_cast<uint64_t>(in[3]);
    oh_ = static_cast<uint64_t>(out[2]);
    ow_ = static_cast<uint64_t>(out[3]);
    linear_ = desc.attrs->resize_mode == GraphResizeMode::kBilinear;
    const bool align = desc.attrs->align_corners;
    const bool centre = desc.attrs->centre_result;
    rows_.resize(3 * oh_);
    cols_.resize(3 * ow_);
    if (h_ == 0 || w_ == 0) return true;
    if (align || centre) {
      axis_tables(h_, oh_, align, rows_.data());
      axis_tables(w_, ow_, align, cols_.data());
    } else {
      asymmetric_tables(h_, oh_, rows_.data());
      asymmetric_tables(w_, ow_, cols_.data());
    }
    return true;
  }
  bool run(const GraphKernelArgs& a) override {
    const float* x = a.inputs[0];
    float* y = a.outputs[0];
    if (oh_ == h_ && ow_ == w_) {
      std::memcpy(y, x, planes_ * h_ * w_ * sizeof(float));
      return true;
    }
    const int32_t* r = reinterpret_cast<const int32_t*>(rows_.data());
    const int32_t* c = reinterpret_cast<const int32_t*>(cols_.data());
    if (linear_) {
      cpu::ResizeLinearJob job{x, y, r, r + oh_, reinterpret_cast<const float*>(r + 2 * oh_),
                               c, c + ow_, reinterpret_cast<const float*>(c + 2 * ow_),
                               h_, w_, oh_, ow_};
      planes(&job, cpu::cpu_resize_linear_worker);
    } else {
      cpu::ResizeNearestJob job{x, y, r, c, h_, w_, oh_, ow_};
      planes(&job, cpu::cpu_resize_nearest_worker);
    }
    return true;
  }

 private:
  // Three tables of one axis in one block of 32-bit words: first index, second index, weight
  // (the nearest mode reads the first).
  void axis_tables(uint64_t in, uint64_t out, bool align, uint32_t* t) const {
    auto* i0 = reinterpret_cast<int32_t*>(t);
    if (linear_) {
      cpu::cpu_resize_linear_axis(in, out, align, i0, i0 + out, reinterpret_cast<float*>(t + 2 * out));
    } else {
      cpu::cpu_resize_nearest_axis(in, out, align, i0);
    }
  }
  // Neither centred nor corner-aligned: output o samples input o * in / out.
  void asymmetric_tables(uint64_t in, uint64_t out, uint32_t* t) const {
    auto* i0 = reinterpret_cast<int32_t*>(t);
    auto* i1 = i0 + out;
    auto* wt = reinterpret_cast<float*>(t + 2 * out);
    const float scale = static_cast<float>(in) / static_cast<float>(out);
    for (uint64_t o = 0; o < out; ++o) {
      const float s = static_cast<float>(o) * scale;
      const int64_t lo = std::min<int64_t>(static_cast<int64_t>(s), static_cast<int64_t>(in) - 1);
      i0[o] = static_cast<int32_t>(lo);
      i1[o] = static_cast<int32_t>(std::min<int64_t>(lo + 1, static_cast<int64_t>(in) - 1));
      wt[o] = linear_ && lo + 1 < static_cast<int64_t>(in) ? s - static_cast<float>(lo) : 0.0f;
    }
  }
  void planes(void* job, ParallelFn worker) {
    if (planes_ >= kParallelMinPlanes && planes_ * oh_ * ow_ >= kParallelMinOutputs) {
      parallel_apply(planes_, job, worker);
    } else {
      for (uint64_t p = 0; p < planes_; ++p) worker(job, p);
    }
  }

  uint64_t planes_ = 0, h_ = 0, w_ = 0, oh_ = 0, ow_ = 0;
  bool linear_ = false;
  std::vector<uint32_t> rows_, cols_;
};

}  // namespace

KernelPtr make_movement(const GraphStepDesc& desc, std::string* error) {
  const GraphOperand& in = desc.inputs[0];
  const GraphOperand& out = desc.outputs[0];
  const GraphNodeAttrs& at = *desc.attrs;
  switch (desc.kind) {
    case GraphOpKind::kReshape:
      return call(OpKind::kIdentity, {flat(in.elements)}, {flat(out.elements)}, {}, error);
    case GraphOpKind::kPermute:
      return make_permute(desc, error);
    case GraphOpKind::kSlice: {
      const uint32_t axis = static_cast<uint32_t>(at.axis);
      return call(OpKind::kSlice, {axis_view(in.shape, axis)}, {axis_view(out.shape, axis)},
                  {{kAxisWord, kViewAxis}, {kSliceStartWord, static_cast<uint64_t>(at.start)},
                   {kSliceCountWord, static_cast<uint64_t>(at.length)}, {kSliceStepWord, 1}},
                  error);
    }
    case GraphOpKind::kConcat: {
      const uint32_t axis = static_cast<uint32_t>(at.axis);
      std::vector<Shape> ins;
      for (const GraphOperand& o : desc.inputs) ins.push_back(axis_view(o.shape, axis));
      return call(OpKind::kConcat, ins, {axis_view(out.shape, axis)}, {{kAxisWord, kViewAxis}},
                  error);
    }
    case GraphOpKind::kBroadcast: {
      const BroadcastView v = broadcast_view(out.shape, {in.shape});
      return call(OpKind::kExpand, v.operands, {v.out}, {}, error);
    }
    case GraphOpKind::kGather: {
      const uint32_t axis = static_cast<uint32_t>(at.axis);
      const Shape x = axis_view(in.shape, axis);
      const Shape y = {x[0], static_cast<int64_t>(desc.inputs[1].elements), x[2]};
      return call(OpKind::kGather, {x, flat(desc.inputs[1].elements)}, {y},
                  {{kAxisWord, kViewAxis}}, error);
    }
    case GraphOpKind::kScatterNd: {
      const Shape& d = in.shape;
      const Shape& idx = desc.inputs[2].shape;
      const size_t k = static_cast<size_t>(idx.back());
      const int64_t tuples = static_cast<int64_t>(desc.inputs[2].elements / k);
      Shape data(d.begin(), d.begin() + static_cast<ptrdiff_t>(k));
      Shape updates = {tuples};
      if (k < d.size()) {
        const int64_t rest = static_cast<int64_t>(elements_of(Shape(d.begin() + static_cast<ptrdiff_t>(k), d.end())));
        data.push_back(rest);
        updates.push_back(rest);
      }
      uint64_t reduction = 0;
      switch (at.scatter_mode) {
        case GraphScatterMode::kAdd: reduction = 1; break;
        case GraphScatterMode::kMul: reduction = 2; break;
        case GraphScatterMode::kMax: reduction = 3; break;
        case GraphScatterMode::kMin: reduction = 4; break;
        default: reduction = 0; break;
      }
      // Operands of the graph op are data, updates, indices; the CPU's are data, indices,
      // updates.
      auto k_call = std::make_unique<CallKernel>();
      if (!k_call->prepare(OpKind::kScatterND,
                           {data, {tuples, static_cast<int64_t>(k)}, updates}, {data},
                           {{kScatterReductionWord, reduction}}, error))
        return nullptr;
      struct Reordered : GraphKernel {
        std::unique_ptr<CallKernel> inner;
        uint64_t workspace_bytes() const override { return inner->workspace_bytes(); }
        bool run(const GraphKernelArgs& a) override {
          const float* ins[3] = {a.inputs[0], a.inputs[2], a.inputs[1]};
          GraphKernelArgs b = a;
          b.inputs = ins;
          return inner->run(b);
        }
      };
      auto r = std::make_unique<Reordered>();
      r->inner = std::move(k_call);
      return r;
    }
    default:
      *error = "not a layout operation";
      return nullptr;
  }
}

KernelPtr make_gather_along_axis(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  return std::make_unique<GatherAlongAxisKernel>(desc.inputs[0].shape, desc.inputs[1].shape,
                                                 desc.outputs[0].shape,
                                                 static_cast<uint32_t>(desc.attrs->axis));
}

KernelPtr make_resize(const GraphStepDesc& desc, std::string* error) {
  (void)error;
  auto k = std::make_unique<ResizeKernel>();
  k->prepare(desc);
  return k;
}

}  // namespace vexa::graph_ops
