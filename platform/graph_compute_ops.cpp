// Graph construction of reductions, soft-max, top-k, products, convolutions, pooling and
// attention.
#include <algorithm>

#include "platform/graph.h"
#include "platform/graph_shapes.h"

namespace vexa {

namespace {

// Window arithmetic is bounded so every tap offset stays in 32 bits, as the kernels need.
constexpr int64_t kMaxWindow = 65536;
constexpr int64_t kMaxSide = 2147483647;

std::string type_text(DeviceDataType t) { return std::string(device_data_type_name(t)); }

bool in_window_range(int64_t v, int64_t lo) { return v >= lo && v <= kMaxWindow; }

// Output extent of a window sliding over `in` padded by `before` and `after`; -1 when the
// dilated window does not fit.
int64_t window_extent(int64_t in, int64_t before, int64_t after, int64_t kernel, int64_t stride,
                      int64_t dilation) {
  const int64_t span = dilation * (kernel - 1) + 1;
  const int64_t room = in + before + after - span;
  if (room < 0) return -1;
  return room / stride + 1;
}

}  // namespace

// ---- reductions ----

GraphTensor Graph::reduction(GraphOpKind kind, GraphTensor x, const std::vector<int64_t>& axes) {
  const std::string op(graph_op_name(kind));
  if (!usable(x, op)) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (ix.type == DeviceDataType::kBool) {
    fail(op + ": bool tensors are not supported");
    return {};
  }
  if (axes.empty()) {
    fail(op + ": no axes to reduce");
    return {};
  }
  std::vector<int64_t> normalised;
  GraphShape out = ix.shape;
  for (int64_t a : axes) {
    uint32_t n = 0;
    if (!dim_of(op, "axis", a, ix.shape.size(), &n)) return {};
    if (std::find(normalised.begin(), normalised.end(), n) != normalised.end()) {
      fail(op + ": axis " + std::to_string(a) + " is named twice");
      return {};
    }
    normalised.push_back(n);
    out[n] = 1;
  }
  std::sort(normalised.begin(), normalised.end());
  const bool extreme = kind == GraphOpKind::kReduceMax || kind == GraphOpKind::kReduceMin;
  for (int64_t a : normalised) {
    if (ix.shape[a] == 0 && extreme) {
      fail(op + ": dim " + std::to_string(a) + " is empty, so it has no extreme");
      return {};
    }
  }
  GraphNodeAttrs attrs;
  attrs.ints = std::move(normalised);
  return add_node(kind, {x.index}, std::move(attrs), ix.type, std::move(out));
}

GraphTensor Graph::reduce_sum(GraphTensor x, const std::vector<int64_t>& axes) {
  return reduction(GraphOpKind::kReduceSum, x, axes);
}
GraphTensor Graph::mean(GraphTensor x, const std::vector<int64_t>& axes) {
  return reduction(GraphOpKind::kReduceMean, x, axes);
}
GraphTensor Graph::reduce_max(GraphTensor x, const std::vector<int64_t>& axes) {
  return reduction(GraphOpKind::kReduceMax, x, axes);
}
GraphTensor Graph::reduce_min(GraphTensor x, const std::vector<int64_t>& axes) {
  return reduction(GraphOpKind::kReduceMin, x, axes);
}
GraphTensor Graph::reduce_product(GraphTensor x, const std::vector<int64_t>& axes) {
  return reduction(GraphOpKind::kReduceProduct, x, axes);
}

GraphTensor Graph::arg_max(GraphTensor x, int64_t axis) {
  if (!usable(x, "arg_max")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  uint32_t a = 0;
  if (!dim_of("arg_max", "axis", axis, ix.shape.size(), &a)) return {};
  if (ix.type == DeviceDataType::kBool) {
    fail("arg_max: bool tensors are not supported");
    return {};
  }
  if (ix.shape[a] == 0) {
    fail("arg_max: dim " + std::to_string(a) + " is empty");
    return {};
  }
  GraphShape out = ix.shape;
  out[a] = 1;
  GraphNodeAttrs attrs;
  attrs.axis = a;
  return add_node(GraphOpKind::kArgMax, {x.index}, std::move(attrs), DeviceDataType::kInt32,
                  std::move(out));
}

GraphTensor Graph::softmax(GraphTensor x, int64_t axis) {
  if (!usable(x, "softmax")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  uint32_t a = 0;
  if (!dim_of("softmax", "axis", axis, ix.shape.size(), &a)) return {};
  if (!device_data_type_is_float(ix.type)) {
    fail("softmax: " + type_text(ix.type) + " tensors are not supported");
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.axis = a;
  return add_node(GraphOpKind::kSoftmax, {x.index}, std::move(attrs), ix.type, ix.shape);
}

GraphTensorPair Graph::top_k(GraphTensor x, int64_t k) {
  if (!usable(x, "top_k")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (ix.shape.empty() || ix.type == DeviceDataType::kBool) {
    fail("top_k: expects a numeric tensor of rank 1 or more");
    return {};
  }
  const int64_t d = ix.shape.back();
  if (k < 0 || k > d) {
    fail("top_k: k = " + std::to_string(k) + " for a last dim of " + std::to_string(d));
    return {};
  }
  GraphShape out = ix.shape;
  out.back() = k;
  const DeviceDataType type = ix.type;
  GraphTensor values = add_node(GraphOpKind::kTopK, {x.index}, {}, type, out);
  if (!values.valid()) return {};
  // The same node writes the indices: a second output.
  GraphTensorInfo info = tensors_[values.index];
  info.type = DeviceDataType::kInt32;
  const uint32_t index = static_cast<uint32_t>(tensors_.size());
  tensors_.push_back(std::move(info));
  nodes_.back().outputs.push_back(index);
  return {values, GraphTensor{serial_, index}};
}

// ---- products ----

GraphTensor Graph::matmul(GraphTensor a, GraphTensor b) {
  if (!usable(a, "matmul") || !usable(b, "matmul")) return {};
  const GraphTensorInfo& ia = tensors_[a.index];
  const GraphTensorInfo& ib = tensors_[b.index];
  if (ia.type != ib.type || !device_data_type_is_float(ia.type)) {
    fail("matmul: operands of types " + type_text(ia.type) + " and " + type_text(ib.type) +
         " (both must be the same float type)");
    return {};
  }
  if (ia.shape.size() < 2 || ib.shape.size() < 2) {
    fail("matmul: operands " + graph_shape_text(ia.shape) + " and " + graph_shape_text(ib.shape) +
         " must both have rank 2 or more");
    return {};
  }
  const int64_t m = ia.shape[ia.shape.size() - 2], k = ia.shape.back();
  const int64_t kb = ib.shape[ib.shape.size() - 2], n = ib.shape.back();
  GraphShape batch;
  if (k != kb || !graph_broadcast_shapes(GraphShape(ia.shape.begin(), ia.shape.end() - 2),
                                         GraphShape(ib.shape.begin(), ib.shape.end() - 2),
                                         &batch)) {
    fail("matmul: shapes " + graph_shape_text(ia.shape) + " and " + graph_shape_text(ib.shape) +
         " do not multiply");
    return {};
  }
  batch.push_back(m);
  batch.push_back(n);
  return add_node(GraphOpKind::kMatMul, {a.index, b.index}, {}, ia.type, std::move(batch));
}

namespace {

// Checks the shared descriptor fields; the reason on failure.
std::string conv_descriptor_problem(const GraphConv2dDescriptor& d) {
  if (d.padding_style != kGraphPaddingExplicit) return "only explicit padding is supported";
  if (d.data_layout != kGraphLayoutNCHW) return "only the NCHW data layout is supported";
  if (d.weights_layout != kGraphWeightsLayoutOIHW) return "only OIHW weights are supported";
  if (!in_window_range(d.stride_x, 1) || !in_window_range(d.stride_y, 1))
    return "strides must be 1 to 65536";
  if (!in_window_range(d.dilation_x, 1) || !in_window_range(d.dilation_y, 1))
    return "dilations must be 1 to 65536";
  if (!in_window_range(d.pad_left, 0) || !in_window_range(d.pad_right, 0) ||
      !in_window_range(d.pad_top, 0) || !in_window_range(d.pad_bottom, 0))
    return "paddings must be 0 to 65536";
  if (d.groups < 1 || d.groups > kMaxSide) return "groups must be at least 1";
  return {};
}

bool dims_fit(const GraphShape& s) {
  for (int64_t v : s) {
    if (v > kMaxSide) return false;
  }
  return true;
}

}  // namespace

GraphTensor Graph::conv2d(GraphTensor x, GraphTensor weights, const GraphConv2dDescriptor& d) {
  if (!usable(x, "conv2d") || !usable(weights, "conv2d")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  const GraphTensorInfo& iw = tensors_[weights.index];
  if (ix.type != iw.type || !device_data_type_is_float(ix.type)) {
    fail("conv2d: input and weights of types " + type_text(ix.type) + " and " +
         type_text(iw.type) + " (both must be the same float type)");
    return {};
  }
  if (ix.shape.size() != 4 || iw.shape.size() != 4 || !dims_fit(ix.shape) || !dims_fit(iw.shape)) {
    fail("conv2d: input " + graph_shape_text(ix.shape) + " and weights " +
         graph_shape_text(iw.shape) + " must both be rank 4 (NCHW, OIHW)");
    return {};
  }
  const std::string problem = conv_descriptor_problem(d);
  if (!problem.empty()) {
    fail("conv2d: " + problem);
    return {};
  }
  const int64_t c = ix.shape[1], o = iw.shape[0], kh = iw.shape[2], kw = iw.shape[3];
  if (c % d.groups != 0 || o % d.groups != 0 || iw.shape[1] != c / d.groups) {
    fail("conv2d: weights " + graph_shape_text(iw.shape) + " do not fit " + std::to_string(c) +
         " input channels in " + std::to_string(d.groups) + " groups");
    return {};
  }
  if (!in_window_range(kh, 1) || !in_window_range(kw, 1)) {
    fail("conv2d: kernel sides must be 1 to 65536");
    return {};
  }
  const int64_t oh = window_extent(ix.shape[2], d.pad_top, d.pad_bottom, kh, d.stride_y, d.dilation_y);
  const int64_t ow = window_extent(ix.shape[3], d.pad_left, d.pad_right, kw, d.stride_x, d.dilation_x);
  if (oh < 0 || ow < 0) {
    fail("conv2d: a " + std::to_string(kh) + " x " + std::to_string(kw) +
         " window does not fit the padded input " + graph_shape_text(ix.shape));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.conv = d;
  return add_node(GraphOpKind::kConv2d, {x.index, weights.index}, std::move(attrs), ix.type,
                  {ix.shape[0], o, oh, ow});
}

GraphTensor Graph::conv_transpose2d(GraphTensor x, GraphTensor weights,
                                    const GraphShape& output_shape,
                                    const GraphConv2dDescriptor& d) {
  if (!usable(x, "conv_transpose2d") || !usable(weights, "conv_transpose2d")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  const GraphTensorInfo& iw = tensors_[weights.index];
  if (ix.type != iw.type || !device_data_type_is_float(ix.type)) {
    fail("conv_transpose2d: input and weights of types " + type_text(ix.type) + " and " +
         type_text(iw.type) + " (both must be the same float type)");
    return {};
  }
  if (ix.shape.size() != 4 || iw.shape.size() != 4 || output_shape.size() != 4 ||
      !dims_fit(ix.shape) || !dims_fit(iw.shape) || !dims_fit(output_shape)) {
    fail("conv_transpose2d: input, weights and output shape must all be rank 4");
    return {};
  }
  const std::string problem = conv_descriptor_problem(d);
  if (!problem.empty()) {
    fail("conv_transpose2d: " + problem);
    return {};
  }
  const int64_t c = ix.shape[1], kh = iw.shape[2], kw = iw.shape[3];
  const int64_t o = iw.shape[1] * d.groups;
  if (iw.shape[0] != c || c % d.groups != 0 || output_shape[0] != ix.shape[0] ||
      output_shape[1] != o) {
    fail("conv_transpose2d: weights " + graph_shape_text(iw.shape) + " do not take input " +
         graph_shape_text(ix.shape) + " to " + graph_shape_text(output_shape));
    return {};
  }
  if (!in_window_range(kh, 1) || !in_window_range(kw, 1)) {
    fail("conv_transpose2d: kernel sides must be 1 to 65536");
    return {};
  }
  // The input must be what a convolution of the output would produce.
  const int64_t ih = window_extent(output_shape[2], d.pad_top, d.pad_bottom, kh, d.stride_y,
                                   d.dilation_y);
  const int64_t iw_ = window_extent(output_shape[3], d.pad_left, d.pad_right, kw, d.stride_x,
                                    d.dilation_x);
  if (ih != ix.shape[2] || iw_ != ix.shape[3]) {
    fail("conv_transpose2d: output shape " + graph_shape_text(output_shape) +
         " does not convolve back to the input " + graph_shape_text(ix.shape));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.conv = d;
  attrs.ints = output_shape;
  return add_node(GraphOpKind::kConvTranspose2d, {x.index, weights.index}, std::move(attrs),
                  ix.type, output_shape);
}

GraphTensor Graph::pool(GraphOpKind kind, GraphTensor x, const GraphPool2dDescriptor& d) {
  const std::string op(graph_op_name(kind));
  if (!usable(x, op)) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (!device_data_type_is_float(ix.type)) {
    fail(op + ": " + type_text(ix.type) + " tensors are not supported");
    return {};
  }
  if (ix.shape.size() != 4 || !dims_fit(ix.shape)) {
    fail(op + ": expects a rank-4 NCHW tensor, not " + graph_shape_text(ix.shape));
    return {};
  }
  if (d.padding_style != kGraphPaddingExplicit || d.data_layout != kGraphLayoutNCHW) {
    fail(op + ": only explicit padding and the NCHW layout are supported");
    return {};
  }
  if (d.dilation_x != 1 || d.dilation_y != 1) {
    fail(op + ": dilated windows are not supported");
    return {};
  }
  if (!in_window_range(d.kernel_width, 1) || !in_window_range(d.kernel_height, 1) ||
      !in_window_range(d.stride_x, 1) || !in_window_range(d.stride_y, 1)) {
    fail(op + ": window sides and strides must be 1 to 65536");
    return {};
  }
  // A window may not lie wholly in the padding.
  if (d.pad_left < 0 || d.pad_right < 0 || d.pad_top < 0 || d.pad_bottom < 0 ||
      d.pad_left >= d.kernel_width || d.pad_right >= d.kernel_width ||
      d.pad_top >= d.kernel_height || d.pad_bottom >= d.kernel_height) {
    fail(op + ": paddings must be 0 up to one less than the window");
    return {};
  }
  const int64_t oh = window_extent(ix.shape[2], d.pad_top, d.pad_bottom, d.kernel_height,
                                   d.stride_y, 1);
  const int64_t ow = window_extent(ix.shape[3], d.pad_left, d.pad_right, d.kernel_width,
                                   d.stride_x, 1);
  if (oh < 0 || ow < 0) {
    fail(op + ": the window does not fit the padded input " + graph_shape_text(ix.shape));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.pool = d;
  return add_node(kind, {x.index}, std::move(attrs), ix.type, {ix.shape[0], ix.shape[1], oh, ow});
}

GraphTensor Graph::max_pool2d(GraphTensor x, const GraphPool2dDescriptor& d) {
  return pool(GraphOpKind::kMaxPool2d, x, d);
}

GraphTensor Graph::avg_pool2d(GraphTensor x, const GraphPool2dDescriptor& d) {
  return pool(GraphOpKind::kAvgPool2d, x, d);
}

GraphTensor Graph::scaled_dot_product_attention(GraphTensor q, GraphTensor k, GraphTensor v,
                                                GraphTensor mask, float scale) {
  const char* op = "scaled_dot_product_attention";
  if (!usable(q, op) || !usable(k, op) || !usable(v, op)) return {};
  const bool has_mask = mask.valid();
  if (has_mask && !usable(mask, op)) return {};
  const GraphTensorInfo& iq = tensors_[q.index];
  const GraphTensorInfo& ik = tensors_[k.index];
  const GraphTensorInfo& iv = tensors_[v.index];
  if (!device_data_type_is_float(iq.type) || ik.type != iq.type || iv.type != iq.type ||
      (has_mask && tensors_[mask.index].type != iq.type)) {
    fail(std::string(op) + ": query, keys, values and mask must have one float type");
    return {};
  }
  const size_t r = iq.shape.size();
  bool ok = r >= 2 && ik.shape.size() == r && iv.shape.size() == r;
  for (size_t i = 0; ok && i + 2 < r; ++i) ok = ik.shape[i] == iq.shape[i] && iv.shape[i] == iq.shape[i];
  ok = ok && ik.shape[r - 1] == iq.shape[r - 1] && iv.shape[r - 2] == ik.shape[r - 2];
  if (!ok) {
    fail(std::string(op) + ": query " + graph_shape_text(iq.shape) + ", keys " +
         graph_shape_text(ik.shape) + " and values " + graph_shape_text(iv.shape) +
         " do not match");
    return {};
  }
  GraphShape scores(iq.shape.begin(), iq.shape.end() - 1);
  scores.push_back(ik.shape[r - 2]);
  if (has_mask && !graph_broadcasts_to(tensors_[mask.index].shape, scores)) {
    fail(std::string(op) + ": mask " + graph_shape_text(tensors_[mask.index].shape) +
         " does not broadcast to the scores " + graph_shape_text(scores));
    return {};
  }
  GraphShape out(iq.shape.begin(), iq.shape.end() - 1);
  out.push_back(iv.shape[r - 1]);
  GraphNodeAttrs attrs;
  attrs.alpha = scale;
  std::vector<uint32_t> inputs = {q.index, k.index, v.index};
  inputs.push_back(has_mask ? mask.index : kGraphAbsent);
  return add_node(GraphOpKind::kAttention, std::move(inputs), std::move(attrs), iq.type,
                  std::move(out));
}

}  // namespace vexa
