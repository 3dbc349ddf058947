// Products and windows: convolution and its transpose, max and average pooling, Gemm (as a
// convolution when B is transposed, so the convolution kernel's packed weights serve it) and
// MatMul.
#include <algorithm>

#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

// Beyond this K a Gemm's depth is folded into an s x s window (K = C x s x s), which keeps the
// convolution's channel count moderate.
constexpr int64_t kGemmFoldMinDepth = 4096;
constexpr int64_t kGemmFoldSides[] = {7, 6, 5, 4, 3, 2};
constexpr uint32_t kConvResidualInput = 3;

// The trailing pad of one window axis: the recorded one when it gives the declared output,
// otherwise the pad the declared output implies (the CPU engine reads only the leading pads
// and the output shape).
int64_t trailing_pad(int64_t in, int64_t out, int64_t kernel, int64_t stride, int64_t dilation,
                     int64_t lead, int64_t recorded) {
  const int64_t span = (kernel - 1) * dilation + 1;
  const int64_t room = in + lead + recorded - span;
  if (stride > 0 && room >= 0 && room / stride + 1 == out) return recorded;
  return std::max<int64_t>(0, (out - 1) * stride + span - in - lead);
}

GraphConv2dDescriptor conv_descriptor(const MpsNode& n) {
  GraphConv2dDescriptor d;
  d.stride_x = n.attr(kMpsAttrStrideW);
  d.stride_y = n.attr(kMpsAttrStrideH);
  d.dilation_x = n.attr(kMpsAttrDilationW);
  d.dilation_y = n.attr(kMpsAttrDilationH);
  d.groups = std::max<int64_t>(n.attr(kMpsAttrGroup), 1);
  d.pad_left = n.attr(kMpsAttrPadLeft);
  d.pad_right = n.attr(kMpsAttrPadRight);
  d.pad_top = n.attr(kMpsAttrPadTop);
  d.pad_bottom = n.attr(kMpsAttrPadBottom);
  d.padding_style = kGraphPaddingExplicit;
  d.data_layout = kGraphLayoutNCHW;
  d.weights_layout = kGraphWeightsLayoutOIHW;
  return d;
}

GraphTensor add_channel_bias(MpsNode& n, GraphTensor y, uint32_t k) {
  if (!n.has_input(k)) return y;
  const int64_t c = n.out_shape()[1];
  return n.g().add(y, n.g().reshape(n.in(k), {1, c, 1, 1}));
}

bool lower_conv(MpsNode& n) {
  Graph& g = n.g();
  // An activation recorded on the node itself is an engine's own fusion, not a graph's.
  if (n.attr(kMpsAttrAlpha) != 0) return n.fail("Conv records a fused activation");
  GraphConv2dDescriptor d = conv_descriptor(n);
  const GraphShape x = n.in_shape(0);
  const GraphShape w = n.in_shape(1);
  const GraphShape y = n.out_shape();
  GraphTensor out;
  if (static_cast<OpKind>(n.kind()) == OpKind::kConvTranspose) {
    out = g.conv_transpose2d(n.in(0), n.in(1), y, d);
  } else {
    d.pad_bottom = trailing_pad(x[2], y[2], w[2], d.stride_y, d.dilation_y, d.pad_top, d.pad_bottom);
    d.pad_right = trailing_pad(x[3], y[3], w[3], d.stride_x, d.dilation_x, d.pad_left, d.pad_right);
    out = g.conv2d(n.in(0), n.in(1), d);
  }
  out = add_channel_bias(n, out, 2);
  // A residual of the output's shape, added after the bias.
  if (n.has_input(kConvResidualInput)) out = g.add(out, n.in(kConvResidualInput));
  n.set_out(0, out);
  return true;
}

bool lower_pool(MpsNode& n) {
  Graph& g = n.g();
  GraphPool2dDescriptor d;
  d.kernel_width = n.attr(kMpsAttrKernelW);
  d.kernel_height = n.attr(kMpsAttrKernelH);
  d.stride_x = n.attr(kMpsAttrStrideW);
  d.stride_y = n.attr(kMpsAttrStrideH);
  // Pools record no dilation; the windows are dense.
  d.dilation_x = std::max<int64_t>(n.attr(kMpsAttrDilationW), 1);
  d.dilation_y = std::max<int64_t>(n.attr(kMpsAttrDilationH), 1);
  d.pad_left = n.attr(kMpsAttrPadLeft);
  d.pad_top = n.attr(kMpsAttrPadTop);
  const GraphShape x = n.in_shape(0);
  const GraphShape y = n.out_shape();
  d.pad_bottom = trailing_pad(x[2], y[2], d.kernel_height, d.stride_y, d.dilation_y, d.pad_top,
                              n.attr(kMpsAttrPadBottom));
  d.pad_right = trailing_pad(x[3], y[3], d.kernel_width, d.stride_x, d.dilation_x, d.pad_left,
                             n.attr(kMpsAttrPadRight));
  d.padding_style = kGraphPaddingExplicit;
  d.data_layout = kGraphLayoutNCHW;
  if (static_cast<OpKind>(n.kind()) == OpKind::kMaxPool) {
    n.set_out(0, g.max_pool2d(n.in(0), d));
  } else {
    // The flag marks an average over the in-bounds taps only (ONNX count_include_pad = 0).
    d.include_zero_pad_to_average = n.attr(kMpsAttrFlag) == 0;
    n.set_out(0, g.avg_pool2d(n.in(0), d));
  }
  return true;
}

bool lower_gemm(MpsNode& n) {
  Graph& g = n.g();
  const bool ta = n.attr(kMpsAttrMode) != 0;
  const bool tb = n.attr(kMpsAttrFlag) != 0;
  const GraphShape a = n.in_shape(0);
  const GraphShape b = n.in_shape(1);
  GraphTensor y;
  if (!ta && tb && a.size() == 2 && b.size() == 2 && a[1] == b[1]) {
    // Y = A B^T as a convolution of A's rows (images of K/s^2 channels of s x s) by B's rows.
    const int64_t m = a[0], nn = b[0], k = a[1];
    const int64_t s = mps_gemm_fold_side(k);
    const int64_t c = k / (s * s);
    GraphConv2dDescriptor d;
    const GraphTensor src = g.reshape(n.in(0), {m, c, s, s});
    const GraphTensor w = g.reshape(n.in(1), {nn, c, s, s});
    y = g.reshape(g.conv2d(src, w, d), {m, nn});
  } else {
    GraphTensor pa = ta ? g.transpose(n.in(0), 0, 1) : n.in(0);
    GraphTensor pb = tb ? g.transpose(n.in(1), 0, 1) : n.in(1);
    y = g.matmul(pa, pb);
  }
  const float alpha = n.attr_f32(kMpsAttrAlpha);
  const float beta = n.attr_f32(kMpsAttrBeta);
  if (alpha != 1.0f) y = g.multiply(y, n.scalar(alpha));
  if (n.has_input(2)) {
    GraphTensor c = n.in(2);
    if (beta != 1.0f) c = g.multiply(c, n.scalar(beta));
    y = g.add(y, c);
  }
  n.set_out(0, y);
  return true;
}

bool lower_matmul(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape a = n.in_shape(0);
  const GraphShape b = n.in_shape(1);
  // The head-interleaved layout: A [d0, d1, d2, d3] holds d2 heads per row, each multiplied by
  // its own [d3, N] slice of B; the product keeps A's order.
  if (n.attr(kMpsAttrMode) == 1 && a.size() == 4 && b.size() != 2) {
    const GraphTensor p = g.matmul(g.transpose(n.in(0), 1, 2), n.in(1));
    n.set_out(0, g.transpose(p, 1, 2));
    return true;
  }
  GraphTensor pa = n.in(0);
  GraphTensor pb = n.in(1);
  if (a.size() == 1) pa = g.reshape(pa, {1, a[0]});
  if (b.size() == 1) pb = g.reshape(pb, {b[0], 1});
  n.set_out(0, g.matmul(pa, pb));
  return true;
}

}  // namespace

int64_t mps_gemm_fold_side(int64_t k) {
  if (k <= kGemmFoldMinDepth) return 1;
  for (int64_t s : kGemmFoldSides) {
    if (k % (s * s) == 0) return s;
  }
  return 1;
}

bool mps_lower_products(MpsNode& n) {
  switch (static_cast<OpKind>(n.kind())) {
    case OpKind::kConv: case OpKind::kConvTranspose: return lower_conv(n);
    case OpKind::kMaxPool: case OpKind::kAveragePool: return lower_pool(n);
    case OpKind::kGemm: return lower_gemm(n);
    case OpKind::kMatMul: return lower_matmul(n);
    default: return n.fail(kMpsUnsupportedOp);
  }
}

}  // namespace vexa
