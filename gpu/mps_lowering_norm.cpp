// Normalisation and reduction lowerings: layer, instance and batch normalisation written out op
// by op (the graph library fuses the layer-norm chain back into one kernel), the single-axis
// reductions, global average pooling, soft-max and arg-max.
#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

// The first `count` values of a per-channel or per-column operand as a vector of that length:
// the CPU engine reads only those when the operand holds more.
GraphTensor leading_values(MpsNode& n, uint32_t k, uint64_t count) {
  Graph& g = n.g();
  const uint64_t have = n.in_value(k).element_count;
  GraphTensor t = g.reshape(n.in(k), {static_cast<int64_t>(have)});
  if (have != count) t = g.slice(t, 0, 0, static_cast<int64_t>(count));
  return t;
}

// Per-channel operand shaped to meet an input of `rank` at dim 1 (dim 0 for rank 1).
GraphTensor per_channel(MpsNode& n, uint32_t k, uint64_t channels, size_t rank) {
  GraphShape shape(rank < 1 ? 1 : rank, 1);
  shape[rank > 1 ? 1 : 0] = static_cast<int64_t>(channels);
  return n.g().reshape(leading_values(n, k, channels), shape);
}

std::vector<int64_t> trailing_axes(size_t rank, size_t from) {
  std::vector<int64_t> axes;
  for (size_t i = from; i < rank; ++i) axes.push_back(static_cast<int64_t>(i));
  return axes;
}

// (x - mean) / sqrt(var + eps) over `axes`, in the order the layer-norm fusion recognises.
GraphTensor normalise(MpsNode& n, GraphTensor x, const std::vector<int64_t>& axes, float eps) {
  Graph& g = n.g();
  const GraphTensor mean = g.mean(x, axes);
  const GraphTensor centred = g.subtract(x, mean);
  const GraphTensor var = g.mean(g.multiply(centred, centred), axes);
  const GraphTensor inv = g.reciprocal(g.sqrt(g.add(var, n.scalar(eps))));
  return g.multiply(centred, inv);
}

bool lower_arg_max(MpsNode& n, int64_t axis) {
  Graph& g = n.g();
  const GraphShape shape = n.in_shape(0);
  GraphTensor x = n.in(0);
  const int64_t d = shape[static_cast<size_t>(axis)];
  // The last of equal entries: the first one of the reversed axis, counted back.
  const bool last_index = n.attr(kMpsAttrFlag) != 0;
  if (last_index && d > 1) {
    std::vector<int32_t> reversed(static_cast<size_t>(d));
    for (int64_t i = 0; i < d; ++i) reversed[static_cast<size_t>(i)] = static_cast<int32_t>(d - 1 - i);
    x = g.gather(x, n.constant_i32(reversed, {d}), axis);
  }
  GraphTensor index = n.as_compute(g.arg_max(x, axis));
  if (last_index && d > 1) index = g.subtract(n.scalar(static_cast<float>(d - 1)), index);
  n.set_out(0, index);
  return true;
}

}  // namespace

bool mps_lower_norm(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape shape = n.in_shape(0);
  const size_t rank = shape.size();
  switch (static_cast<OpKind>(n.kind())) {
    case OpKind::kLayerNormalization: {
      const uint64_t d = static_cast<uint64_t>(shape.back());
      GraphTensor y = normalise(n, n.in(0), {static_cast<int64_t>(rank - 1)},
                                n.attr_f32(kMpsAttrAlpha));
      y = g.multiply(y, leading_values(n, 1, d));
      if (n.has_input(2)) y = g.add(y, leading_values(n, 2, d));
      n.set_out(0, y);
      return true;
    }
    case OpKind::kInstanceNormalization: {
      const uint64_t c = static_cast<uint64_t>(shape[1]);
      GraphTensor y = normalise(n, n.in(0), trailing_axes(rank, 2), n.attr_f32(kMpsAttrAlpha));
      y = g.add(g.multiply(y, per_channel(n, 1, c, rank)), per_channel(n, 2, c, rank));
      n.set_out(0, y);
      return true;
    }
    case OpKind::kBatchNormalization: {
      const uint64_t c = static_cast<uint64_t>(rank > 1 ? shape[1] : shape[0]);
      n.set_out(0, g.add(g.multiply(n.in(0), per_channel(n, 1, c, rank)),
                         per_channel(n, 2, c, rank)));
      return true;
    }
    case OpKind::kGlobalAveragePool:
      n.set_out(0, g.mean(n.in(0), trailing_axes(rank, 2)));
      return true;
    case OpKind::kReduceMean: case OpKind::kReduceSum: case OpKind::kReduceMax:
    case OpKind::kReduceMin: case OpKind::kReduceProd: {
      int64_t axis = 0;
      if (!n.axis(rank, &axis)) return n.fail("reduction axis outside the input");
      const std::vector<int64_t> axes = {axis};
      const GraphTensor x = n.in(0);
      switch (static_cast<OpKind>(n.kind())) {
        case OpKind::kReduceMean: n.set_out(0, g.mean(x, axes)); break;
        case OpKind::kReduceSum: n.set_out(0, g.reduce_sum(x, axes)); break;
        case OpKind::kReduceMax: n.set_out(0, g.reduce_max(x, axes)); break;
        case OpKind::kReduceMin: n.set_out(0, g.reduce_min(x, axes)); break;
        default: n.set_out(0, g.reduce_product(x, axes)); break;
      }
      return true;
    }
    case OpKind::kSoftmax: {
      int64_t axis = 0;
      if (!n.axis(n.out_value(0).rank, &axis)) return n.fail("soft-max axis outside the output");
      n.set_out(0, g.softmax(n.in(0), axis));
      return true;
    }
    case OpKind::kArgMax: {
      int64_t axis = 0;
      if (!n.axis(rank, &axis)) return n.fail("arg-max axis outside the input");
      return lower_arg_max(n, axis);
    }
    default:
      return n.fail(kMpsUnsupportedOp);
  }
}

}  // namespace vexa
