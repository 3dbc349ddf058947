#include "tools/shape_infer.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "tools/fold.h"
#include "tools/onnx_lower.h"

namespace vexa::tools {

namespace {

constexpr float kResizeScaleSlack = 0.0001f;
constexpr uint64_t kSameUpper = 2, kSameLower = 3;
constexpr uint64_t kNmsDefaultBoxes = 100;
constexpr uint64_t kNmsColumns = 3;
// Rows a document-layout tail keeps: its top-k queries, and the boxes of as many masks.
constexpr uint64_t kDetrSlots = 300;
// Bound on kernel, stride, dilation, pad and block attributes: far beyond any real model, and
// small enough that the window arithmetic cannot overflow.
constexpr uint64_t kMaxWindow = 65536;

uint64_t k(OpKind kind) { return static_cast<uint64_t>(kind); }

bool present(const GraphNode& n, uint64_t i) {
  return i < n.input_count && n.inputs[i] != kAbsentInput;
}

struct Pass {
  BuilderState& s;
  uint64_t ni;
  GraphNode& n;
  std::vector<uint8_t>& produced;
  std::vector<uint32_t>& producer;

  BuilderValue& in(uint64_t i) { return s.values[n.inputs[i]]; }
  BuilderValue& out(uint64_t i = 0) { return s.values[n.outputs[i]]; }
  std::string label() const {
    return std::string(op_kind_name(n.op_kind)) + " '" + std::string(s.extras[ni].name) + "'";
  }
  bool fail(uint32_t code, std::string detail = "") {
    s.fold_failure = code;
    if (!detail.empty()) s.detail = std::move(detail);
    return false;
  }
  bool refuse(const std::string& why) { return fail(kFoldRefused, "unsupported " + label() + ": " + why); }
  void keep_inputs(uint64_t count) {
    for (uint64_t i = count; i < kGraphNodeMaxInputs; ++i) {
      if (i < n.input_count && n.inputs[i] != kAbsentInput) s.values[n.inputs[i]].consumed = true;
      n.inputs[i] = kAbsentInput;
    }
    if (n.input_count > count) n.input_count = count;
  }
  bool set_out(uint64_t o, uint64_t rank, const uint64_t* dims, uint64_t dtype = kTypeF32) {
    if (o >= n.output_count || n.outputs[o] == kAbsentInput) return true;
    BuilderValue& v = out(o);
    uint64_t count = 0;
    if (rank > kMaxRank || !builder_element_count(rank, dims, count)) {
      return refuse("its output would exceed rank 6 or 2^30 elements");
    }
    v.dtype = dtype;
    v.rank = rank;
    for (uint64_t i = 0; i < kMaxRank; ++i) v.dims[i] = i < rank ? dims[i] : 0;
    return true;
  }
  bool same_as_input(uint64_t o = 0) { return set_out(o, in(0).rank, in(0).dims); }
  // A constant operand as integers; false when absent or not constant.
  bool ints(uint64_t i, std::vector<int64_t>& v) {
    return present(n, i) && const_ints(in(i), v);
  }
  bool floats(uint64_t i, std::vector<float>& v) {
    return present(n, i) && const_floats(in(i), v);
  }
  uint64_t producer_kind(uint64_t i) {
    if (!present(n, i)) return 0;
    const uint32_t p = producer[n.inputs[i]];
    return p == UINT32_MAX ? 0 : s.nodes[p].op_kind;
  }
};

// Output extent of a window sliding over `in` padded by pad_begin and pad_end. With ceil_mode a
// last partial window counts, unless it would start inside the trailing padding.
bool window_out(int64_t in, int64_t pad_begin, int64_t pad_end, int64_t window, int64_t stride,
                bool ceil_mode, uint64_t& out) {
  const int64_t span = in + pad_begin + pad_end - window;
  if (span < 0 || stride < 1) return false;
  int64_t o = (ceil_mode ? (span + stride - 1) / stride : span / stride) + 1;
  if (ceil_mode && o > 1 && (o - 1) * stride >= in + pad_begin) --o;
  out = static_cast<uint64_t>(o);
  return true;
}

// Kernel, strides, dilations and pads of a windowed node, resolved against the input size.
bool window_geometry(Pass& p, uint64_t kh, uint64_t kw, uint64_t* out_hw, bool ceil_mode) {
  GraphNode& n = p.n;
  BuilderValue& x = p.in(0);
  int64_t stride[2] = {static_cast<int64_t>(n.attrs[kWordStrideH]),
                       static_cast<int64_t>(n.attrs[kWordStrideW])};
  int64_t dil[2] = {static_cast<int64_t>(n.attrs[kWordDilationH]),
                    static_cast<int64_t>(n.attrs[kWordDilationW])};
  if (kh > kMaxWindow || kw > kMaxWindow || n.attrs[kWordStrideH] > kMaxWindow ||
      n.attrs[kWordStrideW] > kMaxWindow || n.attrs[kWordDilationH] > kMaxWindow ||
      n.attrs[kWordDilationW] > kMaxWindow) {
    return p.refuse("kernel, strides or dilations out of range");
  }
  for (uint32_t w = kWordPadTop; w <= kWordPadRight; ++w) {
    if (n.attrs[w] > kMaxWindow) return p.refuse("pads out of range");
  }
  const int64_t kernel[2] = {static_cast<int64_t>(kh), static_cast<int64_t>(kw)};
  for (int a = 0; a < 2; ++a) {
    if (stride[a] == 0) stride[a] = 1;
    if (dil[a] == 0) dil[a] = 1;
    if (stride[a] < 1 || dil[a] < 1 || kernel[a] < 1) return p.refuse("invalid kernel, strides or dilations");
  }
  int64_t pads[4] = {static_cast<int64_t>(n.attrs[kWordPadTop]),
                     static_cast<int64_t>(n.attrs[kWordPadLeft]),
                     static_cast<int64_t>(n.attrs[kWordPadBottom]),
                     static_cast<int64_t>(n.attrs[kWordPadRight])};
  const uint64_t mode = n.attrs[kWordMode];
  for (int a = 0; a < 2; ++a) {
    const int64_t in = static_cast<int64_t>(x.dims[2 + a]);
    if (mode == kSameUpper || mode == kSameLower) {
      const int64_t o = (in + stride[a] - 1) / stride[a];
      int64_t total = (o - 1) * stride[a] + dil[a] * (kernel[a] - 1) + 1 - in;
      if (total < 0) total = 0;
      const int64_t half = total / 2;
      pads[a] = mode == kSameUpper ? half : total - half;
      pads[a + 2] = total - pads[a];
    }
  }
  for (int64_t pad : pads) {
    if (pad < 0) return p.refuse("negative pads");
  }
  for (int a = 0; a < 2; ++a) {
    const int64_t in = static_cast<int64_t>(x.dims[2 + a]);
    const int64_t window = dil[a] * (kernel[a] - 1) + 1;
    if (!window_out(in, pads[a], pads[a + 2], window, stride[a], ceil_mode, out_hw[a])) {
      return p.fail(kFoldInconsistent);
    }
  }
  n.attrs[kWordStrideH] = static_cast<uint64_t>(stride[0]);
  n.attrs[kWordStrideW] = static_cast<uint64_t>(stride[1]);
  n.attrs[kWordDilationH] = static_cast<uint64_t>(dil[0]);
  n.attrs[kWordDilationW] = static_cast<uint64_t>(dil[1]);
  for (int i = 0; i < 4; ++i) n.attrs[kWordPadTop + i] = static_cast<uint64_t>(pads[i]);
  n.attrs[kWordKernelH] = kh;
  n.attrs[kWordKernelW] = kw;
  // Pads are explicit from here on; the word returns to the engines' use.
  n.attrs[kWordMode] = 0;
  return true;
}

// Integer products (ConvInteger, MatMulInteger) run in f32: the constant weight minus its zero
// point (per output channel of a Conv, per column of a MatMul) becomes a new f32 weight; the
// input's zero point must be zero (a DynamicQuantizeLinear in front produces one).
bool lower_integer_product(Pass& p, bool conv) {
  GraphNode& n = p.n;
  if (!present(n, 1) || !p.in(1).has_data) return p.refuse("the integer weight must be constant");
  std::vector<float> x_zero, w_zero, wf;
  if ((present(n, 2) && !p.floats(2, x_zero)) || (present(n, 3) && !p.floats(3, w_zero))) {
    return p.refuse("zero points must be known at convert time");
  }
  for (float z : x_zero) {
    if (z != 0.0f) return p.refuse("a non-zero input zero point");
  }
  const uint32_t w_index = static_cast<uint32_t>(n.inputs[1]);
  const BuilderValue& w = p.s.values[w_index];
  const_floats(w, wf);
  uint64_t groups = 1, inner = 1;
  if (conv) {
    if (w.rank != 4) return p.refuse("the weight must be rank 4");
    groups = w.dims[0];
  } else {
    if (w.rank != 2) return p.refuse("the weight must be rank 2");
    inner = w.dims[1];
  }
  const uint64_t per = conv ? (groups == 0 ? 0 : wf.size() / groups) : 0;
  if (!w_zero.empty() && w_zero.size() != 1 && w_zero.size() != (conv ? groups : inner)) {
    return p.fail(kFoldInconsistent);
  }
  std::vector<float> adjusted(wf.size());
  for (uint64_t i = 0; i < wf.size(); ++i) {
    uint64_t c = 0;
    if (w_zero.size() > 1) c = conv ? i / per : i % inner;
    adjusted[i] = wf[i] - (w_zero.empty() ? 0.0f : w_zero[c]);
  }
  const uint32_t a = builder_pool_append(p.s, w_index, "#f32");
  if (a == w_index) return p.refuse("the converter's name pool is full");
  BuilderValue& av = p.s.values[a];
  alloc_const_f32(av, w.rank, w.dims, adjusted);
  p.s.int8_elements += wf.size();
  n.inputs[1] = a;
  p.keep_inputs(2);
  n.attrs[kWordBeta] = 0;
  return true;
}

bool infer_conv(Pass& p) {
  BuilderValue& x = p.in(0);
  if (x.rank != 4) return p.fail(kFoldNot2d);
  if (!present(p.n, 1) || p.in(1).rank != 4) return p.refuse("the weight must be rank 4");
  if (p.n.attrs[kWordBeta] == kIntegerOriginMark && !lower_integer_product(p, true)) return false;
  const BuilderValue& w = p.in(1);
  uint64_t kh = p.n.attrs[kWordKernelH], kw = p.n.attrs[kWordKernelW];
  if (kh == 0) kh = w.dims[2];
  if (kw == 0) kw = w.dims[3];
  if (kh != w.dims[2] || kw != w.dims[3]) return p.fail(kFoldInconsistent);
  uint64_t hw[2] = {};
  if (!window_geometry(p, kh, kw, hw, false)) return false;
  if (p.n.attrs[kWordGroup] == 0) p.n.attrs[kWordGroup] = 1;
  const uint64_t dims[4] = {x.dims[0], w.dims[0], hw[0], hw[1]};
  return p.set_out(0, 4, dims);
}

bool infer_pool(Pass& p) {
  BuilderValue& x = p.in(0);
  if (x.rank != 4) return p.fail(kFoldNot2d);
  if (p.n.output_count > 1 && p.n.outputs[1] != kAbsentInput) return p.refuse("indices output");
  const uint64_t kh = p.n.attrs[kWordKernelH], kw = p.n.attrs[kWordKernelW];
  if (kh == 0 || kw == 0) return p.refuse("kernel_shape is missing");
  if (p.n.attrs[kWordDilationH] > 1 || p.n.attrs[kWordDilationW] > 1) {
    return p.refuse("dilated pooling");
  }
  uint64_t hw[2] = {};
  const bool average = p.n.op_kind == k(OpKind::kAveragePool);
  // The lowering left count_include_pad on the flag word. The engine reads the word as the
  // opposite: average over the in-bounds taps only (ONNX's default).
  const bool count_pads = p.n.attrs[kWordFlag] != 0;
  if (average) p.n.attrs[kWordFlag] = count_pads ? 0 : 1;
  if (!window_geometry(p, kh, kw, hw, p.s.extras[p.ni].ceil_mode)) return false;
  if (average && count_pads) {
    const uint64_t kernel[2] = {kh, kw};
    for (int a = 0; a < 2; ++a) {
      const uint64_t begin = p.n.attrs[kWordPadTop + a], end = p.n.attrs[kWordPadBottom + a];
      // ONNX divides a last window that ceil_mode lets run past the padded input by its size
      // within the padded input; the engine divides by the whole window.
      const uint64_t last = (hw[a] - 1) * p.n.attrs[kWordStrideH + a] + kernel[a];
      if (last > x.dims[2 + a] + begin + end) {
        return p.refuse("a ceil_mode window that runs past the padded input, with "
                        "count_include_pad=1, is not supported");
      }
    }
  }
  const uint64_t dims[4] = {x.dims[0], x.dims[1], hw[0], hw[1]};
  return p.set_out(0, 4, dims);
}

// The engine's PRelu steps the slope once per channel plane (axis 1, or axis 0 of a vector):
// any other slope shape would be read wrongly.
bool prelu_slope_fits(const BuilderValue& x, const BuilderValue& slope) {
  if (slope.rank > x.rank) return false;
  const uint64_t channel_axis = x.rank <= 1 ? 0 : 1;
  for (uint64_t d = 0; d < slope.rank; ++d) {
    const uint64_t axis = x.rank - slope.rank + d;
    if (slope.dims[d] != 1 && axis != channel_axis) return false;
  }
  return true;
}

bool infer_conv_transpose(Pass& p) {
  BuilderValue& x = p.in(0);
  if (x.rank != 4) return p.fail(kFoldNot2d);
  if (!present(p.n, 1) || p.in(1).rank != 4) return p.refuse("the weight must be rank 4");
  const BuilderValue& w = p.in(1);
  GraphNode& n = p.n;
  uint64_t kh = n.attrs[kWordKernelH], kw = n.attrs[kWordKernelW];
  if (kh == 0) kh = w.dims[2];
  if (kw == 0) kw = w.dims[3];
  if (n.attrs[kWordMode] == kSameUpper || n.attrs[kWordMode] == kSameLower) {
    return p.refuse("auto_pad on a transposed convolution");
  }
  n.attrs[kWordKernelH] = kh;
  n.attrs[kWordKernelW] = kw;
  for (uint32_t w : {kWordKernelH, kWordKernelW, kWordStrideH, kWordStrideW, kWordPadTop,
                     kWordPadLeft, kWordPadBottom, kWordPadRight, kWordDilationH, kWordDilationW,
                     kWordGroup}) {
    if (n.attrs[w] > kMaxWindow) return p.refuse("attributes out of range");
  }
  // The lowering left output_padding on the axis and flag words, output_shape on the float
  // words.
  const uint64_t extra_hw[2] = {n.attrs[kWordAxis], n.attrs[kWordFlag]};
  const uint64_t wanted_hw[2] = {n.attrs[kWordAlpha], n.attrs[kWordBeta]};
  n.attrs[kWordAxis] = 1;
  n.attrs[kWordFlag] = 0;
  n.attrs[kWordAlpha] = 0;
  n.attrs[kWordBeta] = 0;
  for (int a = 0; a < 2; ++a) {
    const uint64_t stride = n.attrs[kWordStrideH + a], dil = n.attrs[kWordDilationH + a];
    if (extra_hw[a] != 0 && extra_hw[a] >= (stride > dil ? stride : dil)) {
      return p.refuse("output_padding must be smaller than the stride or the dilation");
    }
  }
  const uint64_t group = n.attrs[kWordGroup] == 0 ? 1 : n.attrs[kWordGroup];
  int64_t dims[4] = {static_cast<int64_t>(x.dims[0]), static_cast<int64_t>(w.dims[1] * group), 0, 0};
  for (int a = 0; a < 2; ++a) {
    const int64_t stride = static_cast<int64_t>(n.attrs[kWordStrideH + a]);
    const int64_t dil = static_cast<int64_t>(n.attrs[kWordDilationH + a]);
    const int64_t pads = static_cast<int64_t>(n.attrs[kWordPadTop + a]) +
                         static_cast<int64_t>(n.attrs[kWordPadBottom + a]);
    const int64_t kk = static_cast<int64_t>(a == 0 ? kh : kw);
    const int64_t unpadded = stride * (static_cast<int64_t>(x.dims[2 + a]) - 1) +
                             dil * (kk - 1) + 1 + static_cast<int64_t>(extra_hw[a]);
    dims[2 + a] = unpadded - pads;
    if (wanted_hw[a] != 0) {
      // The pads follow from the requested size. An even total splits equally; a total of -1
      // (one past the unpadded output) extends the bottom or right edge. Odd totals are split
      // differently by ONNX's text and by ONNX Runtime, so they are refused.
      const int64_t total = unpadded - static_cast<int64_t>(wanted_hw[a]);
      if (total < -1 || (total > 0 && total % 2 != 0)) {
        return p.refuse("output_shape " + std::to_string(wanted_hw[a]) + " against an unpadded " +
                        "size of " + std::to_string(unpadded) + " is not supported");
      }
      const int64_t head = total < 0 ? 0 : total / 2;
      n.attrs[kWordPadTop + a] = static_cast<uint64_t>(head);
      n.attrs[kWordPadBottom + a] = static_cast<uint64_t>(total < 0 ? 0 : total - head);
      dims[2 + a] = static_cast<int64_t>(wanted_hw[a]);
    }
    if (dims[2 + a] < 1) return p.fail(kFoldInconsistent);
  }
  const uint64_t u[4] = {static_cast<uint64_t>(dims[0]), static_cast<uint64_t>(dims[1]),
                         static_cast<uint64_t>(dims[2]), static_cast<uint64_t>(dims[3])};
  return p.set_out(0, 4, u);
}

bool infer_matmul(Pass& p) {
  if (p.n.attrs[kWordBeta] == kIntegerOriginMark && !lower_integer_product(p, false)) return false;
  if (!present(p.n, 1)) return p.fail(kFoldInconsistent);
  const BuilderValue& a = p.in(0);
  const BuilderValue& b = p.in(1);
  if (a.rank == 0 || b.rank == 0) return p.fail(kFoldInconsistent);
  uint64_t ad[kMaxRank], bd[kMaxRank];
  uint64_t ar = a.rank, br = b.rank;
  std::memcpy(ad, a.dims, sizeof ad);
  std::memcpy(bd, b.dims, sizeof bd);
  const bool a_vec = ar == 1, b_vec = br == 1;
  if (a_vec) {
    ad[1] = ad[0];
    ad[0] = 1;
    ar = 2;
  }
  if (b_vec) {
    bd[1] = 1;
    br = 2;
  }
  if (ad[ar - 1] != bd[br - 2]) return p.fail(kFoldInconsistent);
  uint64_t r = 0, dims[kMaxRank + 2] = {};
  if (!broadcast_shapes(ar - 2, ad, br - 2, bd, r, dims)) return p.fail(kFoldInconsistent);
  if (!a_vec) dims[r++] = ad[ar - 2];
  if (!b_vec) dims[r++] = bd[br - 1];
  return p.set_out(0, r, dims);
}

bool infer_gemm(Pass& p) {
  if (!present(p.n, 1)) return p.fail(kFoldInconsistent);
  const BuilderValue& a = p.in(0);
  const BuilderValue& b = p.in(1);
  if (a.rank != 2 || b.rank != 2) return p.refuse("operands must be rank 2");
  const bool ta = p.n.attrs[kWordMode] != 0, tb = p.n.attrs[kWordFlag] != 0;
  if (a.dims[ta ? 0 : 1] != b.dims[tb ? 1 : 0]) return p.fail(kFoldInconsistent);
  const uint64_t dims[2] = {a.dims[ta ? 1 : 0], b.dims[tb ? 0 : 1]};
  return p.set_out(0, 2, dims);
}

bool infer_broadcast(Pass& p, uint64_t inputs) {
  uint64_t rank = p.in(0).rank, dims[kMaxRank] = {};
  std::memcpy(dims, p.in(0).dims, sizeof dims);
  for (uint64_t i = 1; i < inputs; ++i) {
    if (!present(p.n, i)) return p.fail(kFoldInconsistent);
    uint64_t r = 0, d[kMaxRank] = {};
    if (!broadcast_shapes(rank, dims, p.in(i).rank, p.in(i).dims, r, d)) {
      return p.fail(kFoldInconsistent);
    }
    rank = r;
    std::memcpy(dims, d, sizeof dims);
  }
  return p.set_out(0, rank, dims);
}

void to_copy(Pass& p) {
  p.n.op_kind = k(OpKind::kFlatten);
  p.keep_inputs(1);
}

// The node becomes a plain copy of its input 0.
void to_identity(Pass& p) {
  p.n.op_kind = k(OpKind::kIdentity);
  p.n.attrs[0] = 0;
  p.n.attrs[1] = 0;
  p.keep_inputs(1);
}

bool infer_reduce(Pass& p) {
  const BuilderValue& x = p.in(0);
  std::vector<int64_t> axes;
  bool has_axes = false;
  if (!node_axes(p.s, p.ni, axes, has_axes)) return p.refuse("axes are not known at convert time");
  const bool keep = p.s.extras[p.ni].keepdims;
  bool reduced[kMaxRank] = {};
  if (!has_axes) {
    for (uint64_t i = 0; i < x.rank; ++i) reduced[i] = true;
  }
  for (int64_t a : axes) {
    uint64_t ax = 0;
    if (!normalise_axis(a, x.rank, ax)) return p.fail(kFoldInconsistent);
    reduced[ax] = true;
  }
  uint64_t rank = 0, dims[kMaxRank] = {};
  uint64_t real_axes = 0, real_axis = 0, reduced_count = 0;
  for (uint64_t i = 0; i < x.rank; ++i) {
    if (reduced[i]) {
      ++reduced_count;
      if (x.dims[i] != 1) {
        ++real_axes;
        real_axis = i;
      }
      if (keep) dims[rank++] = 1;
    } else {
      dims[rank++] = x.dims[i];
    }
  }
  if (!p.set_out(0, rank, dims)) return false;
  p.keep_inputs(1);
  if (reduced_count == 0) {
    to_identity(p);
    return true;
  }
  if (real_axes <= 1) {
    // Reducing axes of extent 1 changes nothing; one real axis is what the engines run.
    if (real_axes == 0) {
      to_copy(p);
      return true;
    }
    p.n.attrs[kWordAxis] = real_axis;
    return true;
  }
  if (p.n.op_kind == k(OpKind::kReduceMean) && x.rank == 4 && reduced[2] && reduced[3] &&
      !reduced[0] && !reduced[1]) {
    p.n.op_kind = k(OpKind::kGlobalAveragePool);
    return true;
  }
  return p.refuse("a reduction over several axes");
}

bool infer_resize(Pass& p) {
  const BuilderValue& x = p.in(0);
  if (x.rank != 4) return p.fail(kFoldNot2d);
  uint64_t h = 0, w = 0;
  std::vector<float> scales;
  std::vector<int64_t> sizes;
  if (present(p.n, 3) && p.in(3).has_data && const_ints(p.in(3), sizes) && sizes.size() == 4) {
    if (sizes[0] != static_cast<int64_t>(x.dims[0]) || sizes[1] != static_cast<int64_t>(x.dims[1]) ||
        sizes[2] < 1 || sizes[3] < 1) {
      return p.refuse("sizes may change only the two spatial dims");
    }
    h = static_cast<uint64_t>(sizes[2]);
    w = static_cast<uint64_t>(sizes[3]);
  } else if (present(p.n, 2) && p.in(2).has_data && const_floats(p.in(2), scales) &&
             scales.size() == 4) {
    if (scales[0] != 1.0f || scales[1] != 1.0f || !(scales[2] > 0.0f) || !(scales[3] > 0.0f) ||
        !std::isfinite(scales[2]) || !std::isfinite(scales[3]) ||
        scales[2] > static_cast<float>(kMaxWindow) || scales[3] > static_cast<float>(kMaxWindow)) {
      return p.refuse("scales may change only the two spatial dims");
    }
    h = static_cast<uint64_t>(kResizeScaleSlack + scales[2] * static_cast<float>(x.dims[2]));
    w = static_cast<uint64_t>(kResizeScaleSlack + scales[3] * static_cast<float>(x.dims[3]));
  } else {
    return p.refuse("the output size must be given by constant scales or sizes");
  }
  if (x.dims[2] == 0 || x.dims[3] == 0 || h % x.dims[2] != 0 || w % x.dims[3] != 0 || h == 0 ||
      w == 0) {
    return p.refuse("only whole-number upscaling factors are supported");
  }
  // The engines sample at half-pixel centres (or align corners); with whole-number factors the
  // other ONNX coordinate rules give the same samples only in the combinations accepted here.
  const NodeExtra& x_extra = p.s.extras[p.ni];
  const std::string_view mode = x_extra.mode.empty() ? "nearest" : x_extra.mode;
  const std::string_view transform =
      x_extra.transform_mode.empty() ? "half_pixel" : x_extra.transform_mode;
  const std::string_view nearest =
      x_extra.nearest_mode.empty() ? "round_prefer_floor" : x_extra.nearest_mode;
  const bool half_pixel = transform == "half_pixel" || transform == "pytorch_half_pixel";
  bool honoured = false;
  if (mode == "nearest") {
    honoured = (half_pixel && (nearest == "round_prefer_floor" || nearest == "round_prefer_ceil")) ||
               (transform == "asymmetric" && nearest == "floor") ||
               (transform == "align_corners" && nearest == "round_prefer_floor");
  } else if (mode == "linear") {
    honoured = half_pixel || transform == "align_corners";
  }
  if (!honoured) {
    return p.refuse("mode " + std::string(mode) + " with coordinate_transformation_mode " +
                    std::string(transform) +
                    (mode == "nearest" ? " and nearest_mode " + std::string(nearest) : "") +
                    " is not supported");
  }
  p.n.attrs[kWordKernelH] = h / x.dims[2];
  p.n.attrs[kWordKernelW] = w / x.dims[3];
  p.keep_inputs(1);
  const uint64_t dims[4] = {x.dims[0], x.dims[1], h, w};
  return p.set_out(0, 4, dims);
}

bool infer_slice(Pass& p) {
  const BuilderValue& x = p.in(0);
  SliceRange r;
  const int st = slice_ranges(p.s, p.ni, r);
  if (st < 0) return p.refuse("starts, ends, axes and steps must be known at convert time");
  if (st == 0) return p.fail(kFoldInconsistent);
  uint64_t dims[kMaxRank] = {};
  int64_t axis = -1;
  for (uint64_t d = 0; d < x.rank; ++d) {
    dims[d] = r.count[d];
    const bool whole = r.start[d] == 0 && r.step[d] == 1 && r.count[d] == x.dims[d];
    if (!whole) {
      if (axis >= 0) return p.refuse("slicing more than one axis");
      axis = static_cast<int64_t>(d);
    }
  }
  if (!p.set_out(0, x.rank, dims)) return false;
  if (axis < 0) {
    to_identity(p);
    return true;
  }
  if (r.step[axis] < 1) return p.refuse("negative steps");
  p.n.attrs[kWordAxis] = static_cast<uint64_t>(axis);
  p.n.attrs[kWordStrideH] = static_cast<uint64_t>(r.step[axis]);
  p.n.attrs[kWordPadTop] = static_cast<uint64_t>(r.start[axis]);
  p.n.attrs[kWordPadLeft] = r.count[axis];
  p.keep_inputs(1);
  return true;
}

bool infer_gather(Pass& p) {
  if (!present(p.n, 1)) return p.fail(kFoldInconsistent);
  const BuilderValue& x = p.in(0);
  const BuilderValue& idx = p.in(1);
  uint64_t axis = 0;
  if (!normalise_axis(static_cast<int64_t>(p.n.attrs[kWordAxis]), x.rank, axis)) {
    return p.fail(kFoldInconsistent);
  }
  uint64_t rank = 0, dims[kMaxRank + kMaxRank] = {};
  for (uint64_t d = 0; d < axis; ++d) dims[rank++] = x.dims[d];
  for (uint64_t d = 0; d < idx.rank; ++d) dims[rank++] = idx.dims[d];
  for (uint64_t d = axis + 1; d < x.rank; ++d) dims[rank++] = x.dims[d];
  if (rank > kMaxRank) return p.refuse("its output would exceed rank 6");
  if (!p.set_out(0, rank, dims)) return false;
  p.n.attrs[kWordAxis] = axis;
  std::vector<int64_t> indices;
  if (idx.has_data && const_ints(idx, indices) && indices.size() == 1) {
    // One constant index is a slice of one element.
    int64_t start = indices[0];
    if (start < 0) start += static_cast<int64_t>(x.dims[axis]);
    if (start < 0 || start >= static_cast<int64_t>(x.dims[axis])) return p.fail(kFoldGatherIndices);
    p.n.op_kind = k(OpKind::kSlice);
    p.n.attrs[kWordStrideH] = 1;
    p.n.attrs[kWordPadTop] = static_cast<uint64_t>(start);
    p.n.attrs[kWordPadLeft] = 1;
    p.keep_inputs(1);
    return true;
  }
  if (idx.has_data) {
    for (int64_t i : indices) {
      if (i < -static_cast<int64_t>(x.dims[axis]) || i >= static_cast<int64_t>(x.dims[axis])) {
        return p.fail(kFoldGatherIndices);
      }
    }
  }
  return true;
}

bool infer_split(Pass& p) {
  const BuilderValue& x = p.in(0);
  uint64_t axis = 0;
  if (!normalise_axis(static_cast<int64_t>(p.n.attrs[kWordAxis]), x.rank, axis)) {
    return p.fail(kFoldInconsistent);
  }
  std::vector<int64_t> sizes;
  if (present(p.n, 1)) {
    if (!const_ints(p.in(1), sizes)) return p.refuse("split sizes must be known at convert time");
  } else if (p.n.attrs[0] != 0) {
    for (uint64_t i = 0; i < p.n.attrs[0] && i < 4; ++i) {
      sizes.push_back(static_cast<int64_t>(p.n.attrs[4 + i]));
    }
  }
  const uint64_t outputs = p.n.output_count;
  if (sizes.empty()) {
    if (x.dims[axis] % outputs != 0) return p.refuse("an uneven split");
    sizes.assign(outputs, static_cast<int64_t>(x.dims[axis] / outputs));
  }
  if (sizes.size() != outputs) return p.fail(kFoldInconsistent);
  uint64_t total = 0;
  for (uint64_t o = 0; o < outputs; ++o) {
    if (sizes[o] < 0) return p.fail(kFoldInconsistent);
    total += static_cast<uint64_t>(sizes[o]);
    uint64_t dims[kMaxRank];
    std::memcpy(dims, x.dims, sizeof dims);
    dims[axis] = static_cast<uint64_t>(sizes[o]);
    if (!p.set_out(o, x.rank, dims)) return false;
  }
  if (total != x.dims[axis]) return p.fail(kFoldInconsistent);
  p.n.attrs[kWordAxis] = axis;
  p.keep_inputs(1);
  return true;
}

bool infer_cast(Pass& p) {
  static constexpr int64_t kToBool = 9;
  static constexpr int64_t kFloatTargets[] = {1, 10, 11, 16};
  const int64_t to = static_cast<int64_t>(p.n.attrs[0]);
  bool to_float = false;
  for (int64_t t : kFloatTargets) to_float = to_float || t == to;
  if (!p.same_as_input()) return false;
  const uint64_t pk = p.producer_kind(0);
  const bool boolean_producer = pk == k(OpKind::kEqual) || pk == k(OpKind::kLess) ||
                                pk == k(OpKind::kGreater) || pk == k(OpKind::kNot) ||
                                pk == k(OpKind::kAnd) || pk == k(OpKind::kOr);
  const bool integral_producer = boolean_producer || pk == k(OpKind::kArgMax) ||
                                 pk == k(OpKind::kFloor) || pk == k(OpKind::kCeil) ||
                                 pk == k(OpKind::kRound) || pk == k(OpKind::kCast);
  bool stays = to_float;
  if (to == kToBool) stays = boolean_producer;
  else if (!to_float) stays = integral_producer || p.in(0).dtype == kTypeI64;
  p.n.attrs[1] = 0;
  if (stays) {
    to_identity(p);
  } else {
    p.n.op_kind = k(OpKind::kCast);
    p.n.attrs[0] = static_cast<uint64_t>(to);
    p.keep_inputs(1);
  }
  return true;
}

bool infer_pad(Pass& p) {
  const BuilderValue& x = p.in(0);
  const std::string_view mode = p.s.extras[p.ni].mode;
  if (!mode.empty() && mode != "constant") return p.fail(kFoldPad);
  std::vector<int64_t> pads;
  if (!present(p.n, 1) || !const_ints(p.in(1), pads) || pads.size() != 2 * x.rank) {
    return p.fail(kFoldPad);
  }
  std::vector<float> value;
  if (present(p.n, 2) && (!const_floats(p.in(2), value) || (!value.empty() && value[0] != 0.0f))) {
    return p.fail(kFoldPad);
  }
  if (present(p.n, 3)) return p.fail(kFoldPad);
  bool zero = true;
  uint64_t dims[kMaxRank] = {};
  for (uint64_t d = 0; d < x.rank; ++d) {
    if (pads[d] < 0 || pads[d + x.rank] < 0) return p.fail(kFoldPad);
    zero = zero && pads[d] == 0 && pads[d + x.rank] == 0;
    dims[d] = x.dims[d] + static_cast<uint64_t>(pads[d]) + static_cast<uint64_t>(pads[d + x.rank]);
  }
  if (!p.set_out(0, x.rank, dims)) return false;
  if (zero) {
    to_identity(p);
    return true;
  }
  p.keep_inputs(2);
  p.n.input_count = 2;
  return true;
}

bool infer_expand(Pass& p) {
  const BuilderValue& x = p.in(0);
  std::vector<int64_t> shape;
  if (!present(p.n, 1) || !const_ints(p.in(1), shape) || shape.size() > kMaxRank) {
    return p.fail(kFoldConvertTimeOnly);
  }
  uint64_t rank = 0, dims[kMaxRank] = {};
  if (p.n.attrs[kWordFlag] == 1) {
    // Tile whose repeated dims all have extent 1 is a broadcast.
    if (shape.size() != x.rank) return p.fail(kFoldConvertTimeOnly);
    rank = x.rank;
    for (uint64_t d = 0; d < rank; ++d) {
      if (shape[d] < 1 || (shape[d] != 1 && x.dims[d] != 1)) return p.fail(kFoldConvertTimeOnly);
      dims[d] = x.dims[d] * static_cast<uint64_t>(shape[d]);
    }
    p.n.attrs[kWordFlag] = 0;
  } else {
    uint64_t sd[kMaxRank] = {};
    for (size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] < 0) return p.fail(kFoldInconsistent);
      sd[d] = static_cast<uint64_t>(shape[d]);
    }
    if (!broadcast_shapes(x.rank, x.dims, shape.size(), sd, rank, dims)) {
      return p.refuse("the input does not broadcast to the requested shape");
    }
  }
  p.keep_inputs(1);
  return p.set_out(0, rank, dims);
}

bool infer_dequantize(Pass& p) {
  const BuilderValue& x = p.in(0);
  std::vector<float> data, scale, zero;
  if (!x.has_data || !const_floats(x, data) || !p.floats(1, scale) || scale.empty()) {
    return p.refuse("only constant weights are dequantised");
  }
  if (present(p.n, 2) && !p.floats(2, zero)) return p.refuse("zero point must be constant");
  uint64_t axis = 0;
  int64_t axis_word = static_cast<int64_t>(p.n.attrs[kWordAxis]);
  if (scale.size() > 1 && !normalise_axis(axis_word, x.rank, axis)) return p.fail(kFoldInconsistent);
  if (!zero.empty() && zero.size() != scale.size()) return p.fail(kFoldInconsistent);
  uint64_t inner = 1;
  if (scale.size() > 1) {
    if (x.dims[axis] != scale.size()) return p.fail(kFoldInconsistent);
    for (uint64_t d = axis + 1; d < x.rank; ++d) inner *= x.dims[d];
  }
  std::vector<float> r(data.size());
  for (uint64_t i = 0; i < data.size(); ++i) {
    const uint64_t c = scale.size() > 1 ? (i / inner) % scale.size() : 0;
    r[i] = (data[i] - (zero.empty() ? 0.0f : zero[c])) * scale[c];
  }
  alloc_const_f32(p.out(), x.rank, x.dims, r);
  mark_folded(p.n);
  return true;
}

// The fused kinds the family rewrites emit. Both engines derive the sampling grid and the
// coordinate ramp themselves, so no table is appended as an input.
bool infer_family_kind(Pass& p) {
  GraphNode& n = p.n;
  const BuilderValue& x = p.in(0);
  switch (static_cast<OpKind>(n.op_kind)) {
    case OpKind::kDeformUnfold: {
      if (!present(n, 1) || !present(n, 2) || x.rank != 4 || p.in(2).rank < 2) {
        return p.fail(kFoldNot2d);
      }
      // The modulation holds one plane per kernel tap: 1, 9 or (otherwise) 49 of them.
      const uint64_t taps = p.in(2).dims[1];
      const uint64_t side = taps == 1 ? 1 : taps == 9 ? 3 : 7;
      n.attrs[kWordKernelH] = side;
      n.attrs[kWordKernelW] = side;
      const uint64_t dims[4] = {x.dims[0], x.dims[1], side * x.dims[2], side * x.dims[3]};
      return p.set_out(0, 4, dims);
    }
    case OpKind::kDetrTopK: {
      if (!present(n, 1) || p.in(1).rank < 3) return p.fail(kFoldInconsistent);
      const uint64_t dims[3] = {1, kDetrSlots, p.in(1).dims[2]};
      return p.set_out(0, 3, dims);
    }
    default: {
      p.keep_inputs(1);
      const uint64_t dims[3] = {1, kDetrSlots, 4};
      return p.set_out(0, 3, dims);
    }
  }
}

bool infer_node(Pass& p) {
  GraphNode& n = p.n;
  const OpKind kind = static_cast<OpKind>(n.op_kind);
  if (n.input_count < 1 || !present(n, 0)) {
    return p.refuse("its first input is missing");
  }
  switch (kind) {
    case OpKind::kConv: return infer_conv(p);
    case OpKind::kMaxPool:
    case OpKind::kAveragePool: return infer_pool(p);
    case OpKind::kGlobalAveragePool: {
      const BuilderValue& x = p.in(0);
      if (x.rank < 3) return p.fail(kFoldNot2d);
      uint64_t dims[kMaxRank] = {x.dims[0], x.dims[1], 1, 1, 1, 1};
      return p.set_out(0, x.rank, dims);
    }
    case OpKind::kConvTranspose: return infer_conv_transpose(p);
    case OpKind::kFlatten: {
      const BuilderValue& x = p.in(0);
      uint64_t rank = 0, dims[kMaxRank] = {};
      if (n.attrs[kWordBeta] == kFlattenSpatialMark) {
        if (x.rank != 4) return p.fail(kFoldNot2d);
        rank = 3;
        dims[0] = x.dims[0];
        dims[1] = x.dims[1];
        dims[2] = x.dims[2] * x.dims[3];
      } else if (!flatten_dims(x.rank, x.dims, static_cast<int64_t>(n.attrs[kWordAxis]), rank, dims)) {
        return p.fail(kFoldInconsistent);
      }
      return p.set_out(0, rank, dims);
    }
    case OpKind::kGemm: return infer_gemm(p);
    case OpKind::kTranspose: {
      const BuilderValue& x = p.in(0);
      uint64_t perm[kMaxRank] = {}, dims[kMaxRank] = {};
      if (!transpose_perm(n, x.rank, perm)) return p.refuse("invalid permutation");
      n.attrs[0] = x.rank;
      for (uint64_t i = 0; i < x.rank; ++i) {
        dims[i] = x.dims[perm[i]];
        n.attrs[4 + i] = perm[i];
      }
      return p.set_out(0, x.rank, dims);
    }
    case OpKind::kMatMul: return infer_matmul(p);
    case OpKind::kConcat: {
      const BuilderValue& x = p.in(0);
      uint64_t axis = 0;
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), x.rank, axis)) {
        return p.fail(kFoldInconsistent);
      }
      uint64_t dims[kMaxRank];
      std::memcpy(dims, x.dims, sizeof dims);
      dims[axis] = 0;
      for (uint64_t i = 0; i < n.input_count; ++i) {
        if (!present(n, i) || p.in(i).rank != x.rank) return p.fail(kFoldInconsistent);
        for (uint64_t d = 0; d < x.rank; ++d) {
          if (d != axis && p.in(i).dims[d] != x.dims[d]) return p.fail(kFoldInconsistent);
        }
        dims[axis] += p.in(i).dims[axis];
      }
      n.attrs[kWordAxis] = axis;
      return p.set_out(0, x.rank, dims);
    }
    case OpKind::kIdentity:
      if (n.attrs[1] == kCastTag) return infer_cast(p);
      if (p.s.extras[p.ni].op_type == "Dropout") {
        if (n.output_count > 1 && n.outputs[1] != kAbsentInput &&
            p.out(1).kind == static_cast<uint64_t>(ValueKind::kGraphOutput)) {
          return p.refuse("Dropout's mask output is not produced");
        }
        // Training mode drops and rescales unless the ratio is zero.
        std::vector<float> training, ratio;
        if (present(n, 2)) {
          if (!p.floats(2, training) || training.size() != 1) {
            return p.refuse("Dropout's training_mode must be known at convert time");
          }
          if (training[0] != 0.0f && !(p.floats(1, ratio) && ratio.size() == 1 && ratio[0] == 0.0f)) {
            return p.refuse("Dropout in training mode is not supported");
          }
        }
      }
      // A Dropout's mask is never produced; a node that reads it is refused as reading an
      // undefined value.
      n.output_count = 1;
      for (uint64_t o = 1; o < kGraphNodeMaxOutputs; ++o) n.outputs[o] = kAbsentInput;
      p.keep_inputs(1);
      return p.same_as_input();
    case OpKind::kReshape: {
      std::vector<int64_t> shape;
      if (!present(n, 1) || !const_ints(p.in(1), shape)) {
        return p.refuse("the target shape is not known at convert time");
      }
      uint64_t rank = 0, dims[kMaxRank] = {};
      if (!reshape_dims(p.in(0).rank, p.in(0).dims, shape, rank, dims)) {
        return p.fail(kFoldInconsistent);
      }
      to_copy(p);
      return p.set_out(0, rank, dims);
    }
    case OpKind::kUnsqueeze:
    case OpKind::kSqueeze: {
      std::vector<int64_t> axes;
      bool has_axes = false;
      if (!node_axes(p.s, p.ni, axes, has_axes)) return p.refuse("axes are not known at convert time");
      uint64_t rank = 0, dims[kMaxRank] = {};
      const bool ok = kind == OpKind::kUnsqueeze
                          ? has_axes && unsqueeze_dims(p.in(0).rank, p.in(0).dims, axes, rank, dims)
                          : squeeze_dims(p.in(0).rank, p.in(0).dims, axes, rank, dims);
      if (!ok) return p.fail(kFoldInconsistent);
      to_copy(p);
      return p.set_out(0, rank, dims);
    }
    case OpKind::kResize: return infer_resize(p);
    case OpKind::kSoftmax: {
      uint64_t axis = 0;
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), p.in(0).rank, axis)) {
        return p.fail(kFoldInconsistent);
      }
      n.attrs[kWordAxis] = axis;
      return p.same_as_input();
    }
    case OpKind::kLayerNormalization: {
      uint64_t axis = 0;
      const BuilderValue& x = p.in(0);
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), x.rank, axis)) {
        return p.fail(kFoldInconsistent);
      }
      if (axis + 1 != x.rank) return p.refuse("normalisation over more than the last axis");
      if (n.output_count > 1) {
        for (uint64_t o = 1; o < n.output_count; ++o) {
          if (n.outputs[o] != kAbsentInput) return p.refuse("mean and deviation outputs");
        }
      }
      return p.same_as_input();
    }
    case OpKind::kClip: {
      std::vector<float> lo, hi;
      if ((present(n, 1) && !p.floats(1, lo)) || (present(n, 2) && !p.floats(2, hi))) {
        return p.refuse("bounds must be known at convert time");
      }
      n.attrs[kWordAlpha] = attr_f32_word(lo.empty() ? -FLT_MAX : lo[0]);
      n.attrs[kWordBeta] = attr_f32_word(hi.empty() ? FLT_MAX : hi[0]);
      p.keep_inputs(1);
      return p.same_as_input();
    }
    case OpKind::kArgMax: {
      const BuilderValue& x = p.in(0);
      uint64_t axis = 0;
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), x.rank, axis)) {
        return p.fail(kFoldInconsistent);
      }
      n.attrs[kWordAxis] = axis;
      uint64_t rank = 0, dims[kMaxRank] = {};
      for (uint64_t d = 0; d < x.rank; ++d) {
        if (d != axis) dims[rank++] = x.dims[d];
        else if (p.s.extras[p.ni].keepdims) dims[rank++] = 1;
      }
      return p.set_out(0, rank, dims);
    }
    case OpKind::kSplit: return infer_split(p);
    case OpKind::kGather: return infer_gather(p);
    case OpKind::kSlice: return infer_slice(p);
    case OpKind::kPow: {
      std::vector<float> e;
      if (!p.floats(1, e) || e.size() != 1) return p.fail(kFoldPow);
      if (e[0] == 2.0f) {
        n.op_kind = k(OpKind::kMul);
        p.s.values[n.inputs[1]].consumed = true;
        n.inputs[1] = n.inputs[0];
        n.input_count = 2;
      } else if (e[0] == 0.5f) {
        n.op_kind = k(OpKind::kSqrt);
        p.keep_inputs(1);
      } else if (e[0] == 1.0f) {
        to_identity(p);
      } else {
        return p.fail(kFoldPow);
      }
      return p.same_as_input();
    }
    case OpKind::kReduceMean: case OpKind::kReduceSum: case OpKind::kReduceMax:
    case OpKind::kReduceMin: case OpKind::kReduceProd:
      return infer_reduce(p);
    case OpKind::kSub: case OpKind::kDiv: case OpKind::kAdd: case OpKind::kMul:
    case OpKind::kMax: case OpKind::kMin: case OpKind::kMod: case OpKind::kGreater:
    case OpKind::kAnd: case OpKind::kOr: case OpKind::kEqual: case OpKind::kLess:
    case OpKind::kPRelu:
      if (kind == OpKind::kPRelu && present(n, 1) && !prelu_slope_fits(p.in(0), p.in(1))) {
        return p.refuse("a slope that varies along axes other than the channel axis");
      }
      return infer_broadcast(p, 2);
    case OpKind::kWhere: return infer_broadcast(p, 3);
    case OpKind::kExpand: return infer_expand(p);
    case OpKind::kPad: return infer_pad(p);
    case OpKind::kDepthToSpace:
    case OpKind::kSpaceToDepth: {
      const BuilderValue& x = p.in(0);
      if (x.rank != 4) return p.fail(kFoldNot2d);
      uint64_t b = n.attrs[0] == 0 ? 2 : n.attrs[0];
      if (b > kMaxWindow) return p.refuse("block size out of range");
      n.attrs[0] = b;
      uint64_t dims[4];
      if (kind == OpKind::kDepthToSpace) {
        if (x.dims[1] % (b * b) != 0) return p.fail(kFoldInconsistent);
        const uint64_t d[4] = {x.dims[0], x.dims[1] / (b * b), x.dims[2] * b, x.dims[3] * b};
        std::memcpy(dims, d, sizeof dims);
      } else {
        if (x.dims[2] % b != 0 || x.dims[3] % b != 0) return p.fail(kFoldInconsistent);
        const uint64_t d[4] = {x.dims[0], x.dims[1] * b * b, x.dims[2] / b, x.dims[3] / b};
        std::memcpy(dims, d, sizeof dims);
      }
      return p.set_out(0, 4, dims);
    }
    case OpKind::kDequantizeLinear: return infer_dequantize(p);
    case OpKind::kDynamicQuantizeLinear: {
      // Activations stay f32: the quantised tensor is the input itself, with scale 1 and zero
      // point 0, so what follows computes on the unquantised values.
      for (uint64_t o = 0; o < n.output_count; ++o) {
        if (n.outputs[o] != kAbsentInput &&
            p.out(o).kind == static_cast<uint64_t>(ValueKind::kGraphOutput)) {
          return p.refuse("its quantised outputs are graph outputs");
        }
      }
      // Only integer products may read the (unquantised) tensor.
      for (uint64_t later = p.ni + 1; later < p.s.nodes.size(); ++later) {
        const GraphNode& m = p.s.nodes[later];
        for (uint64_t i = 0; i < m.input_count; ++i) {
          if (m.inputs[i] == n.outputs[0] && m.attrs[kWordBeta] != kIntegerOriginMark) {
            return p.refuse("its quantised output feeds " + std::string(op_kind_name(m.op_kind)) +
                            ", not an integer product");
          }
        }
      }
      const uint64_t one = 1;
      if (n.output_count > 1 && n.outputs[1] != kAbsentInput) {
        alloc_const_f32(p.out(1), 1, &one, {1.0f});
      }
      if (n.output_count > 2 && n.outputs[2] != kAbsentInput) {
        alloc_const_i64(p.out(2), 0, &one, {0});
      }
      n.output_count = 1;
      for (uint64_t o = 1; o < kGraphNodeMaxOutputs; ++o) n.outputs[o] = kAbsentInput;
      to_identity(p);
      return p.same_as_input();
    }
    case OpKind::kCumSum: {
      std::vector<int64_t> axis;
      if (!p.ints(1, axis) || axis.size() != 1) return p.refuse("the axis must be constant");
      uint64_t ax = 0;
      if (!normalise_axis(axis[0], p.in(0).rank, ax)) return p.fail(kFoldInconsistent);
      n.attrs[kWordAxis] = ax;
      p.keep_inputs(1);
      return p.same_as_input();
    }
    case OpKind::kTopK: {
      const BuilderValue& x = p.in(0);
      std::vector<int64_t> kv;
      int64_t kk = 1;
      if (p.ints(1, kv) && kv.size() == 1 && kv[0] > 0) kk = kv[0];
      else return p.refuse("k must be a positive constant");
      uint64_t axis = 0;
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), x.rank, axis)) {
        return p.fail(kFoldInconsistent);
      }
      if (static_cast<uint64_t>(kk) > x.dims[axis]) return p.fail(kFoldInconsistent);
      n.attrs[0] = static_cast<uint64_t>(kk);
      n.attrs[kWordAxis] = axis;
      uint64_t dims[kMaxRank];
      std::memcpy(dims, x.dims, sizeof dims);
      dims[axis] = static_cast<uint64_t>(kk);
      p.keep_inputs(1);
      return p.set_out(0, x.rank, dims) && p.set_out(1, x.rank, dims);
    }
    case OpKind::kGridSample: {
      if (!present(n, 1) || p.in(0).rank != 4 || p.in(1).rank != 4) return p.fail(kFoldNot2d);
      const uint64_t dims[4] = {p.in(0).dims[0], p.in(0).dims[1], p.in(1).dims[1], p.in(1).dims[2]};
      return p.set_out(0, 4, dims);
    }
    case OpKind::kNonMaxSuppression: {
      std::vector<int64_t> boxes;
      uint64_t max_boxes = kNmsDefaultBoxes;
      if (p.ints(2, boxes) && !boxes.empty() && boxes[0] > 0) max_boxes = static_cast<uint64_t>(boxes[0]);
      std::vector<float> iou, score;
      if (present(n, 3) && !p.floats(3, iou)) return p.refuse("thresholds must be constant");
      if (present(n, 4) && !p.floats(4, score)) return p.refuse("thresholds must be constant");
      n.attrs[0] = max_boxes;
      n.attrs[kWordAlpha] = attr_f32_word(iou.empty() ? 0.0f : iou[0]);
      n.attrs[kWordBeta] = attr_f32_word(score.empty() ? -FLT_MAX : score[0]);
      p.keep_inputs(2);
      const uint64_t dims[2] = {max_boxes, kNmsColumns};
      return p.set_out(0, 2, dims);
    }
    case OpKind::kRelu: case OpKind::kSigmoid: case OpKind::kHardSigmoid:
    case OpKind::kHardSwish: case OpKind::kErf: case OpKind::kBatchNormalization:
    case OpKind::kInstanceNormalization: case OpKind::kLeakyRelu: case OpKind::kGelu:
    case OpKind::kSqrt: case OpKind::kExp: case OpKind::kTanh: case OpKind::kCos:
    case OpKind::kSin: case OpKind::kLog: case OpKind::kFloor: case OpKind::kCeil:
    case OpKind::kRound: case OpKind::kReciprocal: case OpKind::kElu: case OpKind::kSelu:
    case OpKind::kAbs: case OpKind::kNeg: case OpKind::kNot: case OpKind::kCast:
      if (kind == OpKind::kBatchNormalization) {
        // Constant scale, bias, mean and variance were folded into two inputs by now.
        if (n.input_count > 3) {
          return p.refuse("scale, bias, mean and variance must be known at convert time");
        }
        for (uint64_t o = 1; o < n.output_count; ++o) {
          if (n.outputs[o] != kAbsentInput) return p.refuse("training-mode outputs");
        }
      }
      return p.same_as_input();
    case OpKind::kScatterND:
      return p.same_as_input();
    case OpKind::kGatherND: {
      if (!present(n, 1)) return p.fail(kFoldInconsistent);
      const BuilderValue& x = p.in(0);
      const BuilderValue& idx = p.in(1);
      if (idx.rank == 0) return p.fail(kFoldInconsistent);
      const uint64_t kk = idx.dims[idx.rank - 1];
      const uint64_t b = n.attrs[4];
      uint64_t rank = 0, dims[kMaxRank + kMaxRank] = {};
      for (uint64_t d = 0; d + 1 < idx.rank; ++d) dims[rank++] = idx.dims[d];
      for (uint64_t d = b + kk; d < x.rank; ++d) dims[rank++] = x.dims[d];
      if (rank == 0) dims[rank++] = 1;
      return p.set_out(0, rank, dims);
    }
    case OpKind::kYoloNms: {
      // A detection tail's replacement: max_out rows of box, score, class and the extra values.
      const uint64_t dims[3] = {1, n.attrs[0], n.attrs[1] + 6};
      return p.set_out(0, 3, dims);
    }
    case OpKind::kDeformUnfold:
    case OpKind::kDetrTopK:
    case OpKind::kMaskToBoxLogit:
      return infer_family_kind(p);
    case OpKind::kConstantOfShape:
    case OpKind::kRange:
      return p.refuse("its inputs are not known at convert time");
    case OpKind::kOneHot:
      return p.fail(kFoldConvertTimeOnly);
    default:
      return p.refuse("no shape rule for this operator");
  }
}

// Whether the node was folded away (an Identity of its own output).
bool folded_away(const GraphNode& n) {
  return n.op_kind == k(OpKind::kIdentity) && n.input_count == 1 &&
         n.inputs[0] == n.outputs[0];
}

bool runs_on_engines(uint64_t kind) {
  switch (static_cast<OpKind>(kind)) {
    case OpKind::kShape: case OpKind::kReshape: case OpKind::kUnsqueeze: case OpKind::kSqueeze:
    case OpKind::kPow: case OpKind::kConstantOfShape: case OpKind::kRange:
    case OpKind::kDequantizeLinear: case OpKind::kDynamicQuantizeLinear: case OpKind::kOneHot:
      return false;
    default:
      return true;
  }
}

// Turns integer constants read by engine nodes into f32 weights (the engines compute in f32).
void store_as_f32_weight(BuilderValue& v) {
  if (v.dtype == kTypeI64) {
    std::vector<float> f;
    const_floats(v, f);
    alloc_const_f32(v, v.rank, v.dims, f);
  }
  v.kind = static_cast<uint64_t>(ValueKind::kWeight);
}

bool finish(BuilderState& s) {
  const uint64_t kWeight = static_cast<uint64_t>(ValueKind::kWeight);
  const uint64_t kInput = static_cast<uint64_t>(ValueKind::kGraphInput);
  const uint64_t kOutput = static_cast<uint64_t>(ValueKind::kGraphOutput);
  std::vector<GraphNode> kept;
  std::vector<NodeExtra> kept_extras;
  for (uint64_t i = 0; i < s.nodes.size(); ++i) {
    GraphNode n = s.nodes[i];
    if (folded_away(n)) {
      BuilderValue& out = s.values[n.outputs[0]];
      if (out.kind != kOutput) continue;
      // A graph output known at convert time is copied out of a stored constant.
      const uint32_t c = builder_pool_append(s, static_cast<uint32_t>(n.outputs[0]), "#const");
      if (c == n.outputs[0]) {
        s.fold_failure = kFoldRefused;
        s.detail = "the converter's name pool is full";
        return false;
      }
      BuilderValue& cv = s.values[c];
      BuilderValue& ov = s.values[n.outputs[0]];
      cv.rank = ov.rank;
      std::memcpy(cv.dims, ov.dims, sizeof cv.dims);
      cv.dtype = ov.dtype;
      if (ov.dtype == kTypeI64) {
        std::vector<int64_t> v;
        const_ints(ov, v);
        alloc_const_i64(cv, ov.rank, ov.dims, v);
      } else {
        std::vector<float> v;
        const_floats(ov, v);
        alloc_const_f32(cv, ov.rank, ov.dims, v);
      }
      ov.has_data = false;
      ov.dtype = kTypeF32;
      n.inputs[0] = c;
    }
    if (!runs_on_engines(n.op_kind)) {
      s.fold_failure = kFoldGeneric;
      s.fold_failure_node = i;
      return false;
    }
    kept.push_back(n);
    kept_extras.push_back(s.extras[i]);
  }
  for (BuilderValue& v : s.values) v.used = false;
  for (GraphNode& n : kept) {
    for (uint64_t i = 0; i < n.input_count; ++i) {
      if (n.inputs[i] == kAbsentInput) continue;
      BuilderValue& v = s.values[n.inputs[i]];
      v.used = true;
      if (v.kind != kInput && v.has_data) store_as_f32_weight(v);
    }
    // The engines compute every activation in f32.
    for (uint64_t o = 0; o < n.output_count; ++o) {
      if (n.outputs[o] != kAbsentInput) s.values[n.outputs[o]].dtype = kTypeF32;
    }
  }
  if (!kept.empty()) {
    s.nodes = std::move(kept);
    s.extras = std::move(kept_extras);
  }
  for (BuilderValue& v : s.values) {
    if (v.kind == kWeight && (!v.used || v.dtype == kTypeI64 || !v.has_data)) {
      v.kind = static_cast<uint64_t>(ValueKind::kIntermediate);
      v.rank = 0;
    }
    if (v.kind == static_cast<uint64_t>(ValueKind::kIntermediate) && v.has_data && !v.used) {
      v.rank = 0;  // convert-time only: never stored or run
    }
    v.used = false;
  }
  return true;
}

}  // namespace

bool normalise_axis(int64_t axis, uint64_t rank, uint64_t& out) {
  const int64_t r = static_cast<int64_t>(rank);
  if (axis < -r || axis >= r) return false;
  out = static_cast<uint64_t>(axis < 0 ? axis + r : axis);
  return true;
}

bool reshape_dims(uint64_t in_rank, const uint64_t* in_dims, const std::vector<int64_t>& shape,
                  uint64_t& rank, uint64_t* dims) {
  if (shape.size() > kMaxRank) return false;
  uint64_t in_count = 0;
  if (!builder_element_count(in_rank, in_dims, in_count)) return false;
  int64_t inferred = -1;
  uint64_t known = 1;
  rank = shape.size();
  for (uint64_t i = 0; i < rank; ++i) {
    const int64_t e = shape[i];
    if (e == 0) {
      if (i >= in_rank) return false;
      dims[i] = in_dims[i];
    } else if (e == -1) {
      if (inferred >= 0) return false;
      inferred = static_cast<int64_t>(i);
      dims[i] = 1;
      continue;
    } else if (e < 0) {
      return false;
    } else {
      dims[i] = static_cast<uint64_t>(e);
    }
    if (dims[i] != 0 && known > kMaxElements / dims[i]) return false;
    known *= dims[i];
  }
  if (inferred >= 0) {
    if (known == 0 || in_count % known != 0) return false;
    dims[inferred] = in_count / known;
  } else if (known != in_count) {
    return false;
  }
  return true;
}

bool unsqueeze_dims(uint64_t in_rank, const uint64_t* in_dims, const std::vector<int64_t>& axes,
                    uint64_t& rank, uint64_t* dims) {
  rank = in_rank + axes.size();
  if (rank > kMaxRank) return false;
  bool at[kMaxRank] = {};
  for (int64_t a : axes) {
    uint64_t ax = 0;
    if (!normalise_axis(a, rank, ax) || at[ax]) return false;
    at[ax] = true;
  }
  uint64_t j = 0;
  for (uint64_t i = 0; i < rank; ++i) dims[i] = at[i] ? 1 : in_dims[j++];
  return true;
}

bool squeeze_dims(uint64_t in_rank, const uint64_t* in_dims, const std::vector<int64_t>& axes,
                  uint64_t& rank, uint64_t* dims) {
  bool drop[kMaxRank] = {};
  if (axes.empty()) {
    for (uint64_t i = 0; i < in_rank; ++i) drop[i] = in_dims[i] == 1;
  }
  for (int64_t a : axes) {
    uint64_t ax = 0;
    if (!normalise_axis(a, in_rank, ax) || in_dims[ax] != 1) return false;
    drop[ax] = true;
  }
  rank = 0;
  for (uint64_t i = 0; i < in_rank; ++i) {
    if (!drop[i]) dims[rank++] = in_dims[i];
  }
  return true;
}

bool flatten_dims(uint64_t in_rank, const uint64_t* in_dims, int64_t axis, uint64_t& rank,
                  uint64_t* dims) {
  const int64_t r = static_cast<int64_t>(in_rank);
  if (axis < 0) axis += r;
  if (axis < 0 || axis > r) return false;
  uint64_t outer = 1, inner = 1;
  for (int64_t i = 0; i < r; ++i) (i < axis ? outer : inner) *= in_dims[i];
  rank = 2;
  dims[0] = outer;
  dims[1] = inner;
  return true;
}

bool transpose_perm(const GraphNode& n, uint64_t rank, uint64_t* perm) {
  const uint64_t length = n.attrs[0];
  bool seen[kMaxRank] = {};
  if (rank > kMaxRank) return false;
  if (length == 0) {
    for (uint64_t i = 0; i < rank; ++i) perm[i] = rank - 1 - i;
    return true;
  }
  if (length != rank) return false;
  for (uint64_t i = 0; i < rank; ++i) {
    const uint64_t p = n.attrs[4 + i];
    if (p >= rank || seen[p]) return false;
    seen[p] = true;
    perm[i] = p;
  }
  return true;
}

bool node_axes(const BuilderState& s, uint64_t node, std::vector<int64_t>& axes, bool& has_axes) {
  const GraphNode& n = s.nodes[node];
  axes.clear();
  has_axes = false;
  if (present(n, 1)) {
    const BuilderValue& v = s.values[n.inputs[1]];
    if (!const_ints(v, axes)) return false;
    has_axes = !axes.empty();
    return true;
  }
  const NodeExtra& x = s.extras[node];
  if (x.has_axes_attr) {
    if (x.axes_count > kMaxRank) return false;
    axes.assign(x.axes, x.axes + x.axes_count);
    has_axes = !axes.empty();
  }
  return true;
}

int slice_ranges(const BuilderState& s, uint64_t node, SliceRange& r) {
  const GraphNode& n = s.nodes[node];
  const BuilderValue& x = s.values[n.inputs[0]];
  std::vector<int64_t> starts, ends, axes, steps;
  auto get = [&](uint64_t i, std::vector<int64_t>& v) {
    return present(n, i) && const_ints(s.values[n.inputs[i]], v);
  };
  if (!get(1, starts) || !get(2, ends)) return -1;
  if (present(n, 3) && !get(3, axes)) return -1;
  if (present(n, 4) && !get(4, steps)) return -1;
  if (starts.size() != ends.size()) return 0;
  if (axes.empty()) {
    for (size_t i = 0; i < starts.size(); ++i) axes.push_back(static_cast<int64_t>(i));
  }
  if (steps.empty()) steps.assign(starts.size(), 1);
  if (axes.size() != starts.size() || steps.size() != starts.size()) return 0;
  for (uint64_t d = 0; d < kMaxRank; ++d) {
    r.start[d] = 0;
    r.step[d] = 1;
    r.count[d] = d < x.rank ? x.dims[d] : 0;
    r.sliced[d] = false;
  }
  for (size_t i = 0; i < starts.size(); ++i) {
    uint64_t ax = 0;
    if (!normalise_axis(axes[i], x.rank, ax) || r.sliced[ax]) return 0;
    const int64_t dim = static_cast<int64_t>(x.dims[ax]);
    const int64_t step = steps[i];
    if (step == 0) return 0;
    int64_t start = starts[i], end = ends[i];
    if (start < 0) start += dim;
    if (end < 0) end += dim;
    int64_t count = 0;
    if (step > 0) {
      start = start < 0 ? 0 : (start > dim ? dim : start);
      end = end < 0 ? 0 : (end > dim ? dim : end);
      count = end > start ? (end - start - 1) / step + 1 : 0;
    } else {
      start = start < 0 ? -1 : (start > dim - 1 ? dim - 1 : start);
      end = end < -1 ? -1 : (end > dim - 1 ? dim - 1 : end);
      // -step cannot be negated at the minimum; any step that large takes one element.
      const int64_t back = step == INT64_MIN ? INT64_MAX : -step;
      count = start > end ? (start - end - 1) / back + 1 : 0;
    }
    r.start[ax] = start;
    r.step[ax] = step;
    r.count[ax] = static_cast<uint64_t>(count);
    r.sliced[ax] = true;
  }
  return 1;
}

bool builder_fold_and_infer(BuilderState& s) {
  const uint64_t kIntermediate = static_cast<uint64_t>(ValueKind::kIntermediate);
  const uint64_t kOutput = static_cast<uint64_t>(ValueKind::kGraphOutput);
  std::vector<uint8_t> produced(s.values.size(), 0);
  std::vector<uint32_t> producer(kBuilderMaxValues, UINT32_MAX);
  for (uint64_t ni = 0; ni < s.nodes.size(); ++ni) {
    GraphNode& n = s.nodes[ni];
    produced.resize(s.values.size(), 0);
    Pass p{s, ni, n, produced, producer};
    // Every input must be defined before the node, every output written once.
    for (uint64_t i = 0; i < n.input_count; ++i) {
      if (n.inputs[i] == kAbsentInput) continue;
      const BuilderValue& v = s.values[n.inputs[i]];
      const bool defined = v.kind == static_cast<uint64_t>(ValueKind::kGraphInput) ||
                           v.kind == static_cast<uint64_t>(ValueKind::kWeight) || v.has_data ||
                           produced[n.inputs[i]] != 0;
      if (!defined) {
        s.fold_failure_node = ni;
        s.fold_failure = kFoldRefused;
        s.detail = "node '" + std::string(s.extras[ni].name) + "' reads '" + std::string(v.name) +
                   "', which is neither a graph input, an initializer nor an earlier node's output";
        return false;
      }
    }
    for (uint64_t o = 0; o < n.output_count; ++o) {
      if (n.outputs[o] == kAbsentInput) continue;
      const BuilderValue& v = s.values[n.outputs[o]];
      if ((v.kind != kIntermediate && v.kind != kOutput) || produced[n.outputs[o]] != 0) {
        s.fold_failure_node = ni;
        s.fold_failure = kFoldRefused;
        s.detail = "node '" + std::string(s.extras[ni].name) + "' writes '" +
                   std::string(v.name) + "', which already has a value";
        return false;
      }
      for (uint64_t i = 0; i < n.input_count; ++i) {
        if (n.inputs[i] == n.outputs[o]) {
          s.fold_failure_node = ni;
          s.fold_failure = kFoldRefused;
          s.detail = "node '" + std::string(s.extras[ni].name) + "' reads its own output";
          return false;
        }
      }
    }
    const FoldResult r = builder_eval_node(s, ni);
    if (r == kFoldError) {
      s.fold_failure_node = ni;
      return false;
    }
    if (r == kFoldNotFolded && !infer_node(p)) {
      s.fold_failure_node = ni;
      if (s.fold_failure == kFoldOk) s.fold_failure = kFoldGeneric;
      return false;
    }
    for (uint64_t o = 0; o < n.output_count; ++o) {
      if (n.outputs[o] == kAbsentInput) continue;
      produced[n.outputs[o]] = 1;
      producer[n.outputs[o]] = static_cast<uint32_t>(ni);
    }
  }
  if (s.pool_full) {
    s.fold_failure = kFoldRefused;
    s.detail = "the converter's name pool is full";
    return false;
  }
  return finish(s);
}

}  // namespace vexa::tools
