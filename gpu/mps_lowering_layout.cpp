// Layout lowerings: Flatten, Identity, Transpose, Concat, Split, Slice, Gather, Expand, Pad,
// DepthToSpace, SpaceToDepth and ScatterND.
#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

// Slice: step, start and entry count.
constexpr uint32_t kSliceStepAttr = 2;
constexpr uint32_t kSliceStartAttr = 4;
constexpr uint32_t kSliceCountAttr = 5;
// DepthToSpace / SpaceToDepth block side (2 when 0) and DepthToSpace channel order.
constexpr uint32_t kBlockAttr = 0;
constexpr int64_t kDefaultBlock = 2;
constexpr uint32_t kBlockOrderAttr = 12;
constexpr int64_t kBlockOrderDcr = 1;
// The pads operand sits in input slot 1 (the converter may leave it past the input count).
constexpr uint32_t kPadPadsSlot = 1;
constexpr uint32_t kScatterReductionAttr = 12;
// Pads beyond any tensor extent are not pads of a valid graph.
constexpr float kMaxPad = 1073741824.0f;

bool lower_slice(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape shape = n.in_shape(0);
  int64_t axis = 0;
  if (!n.axis(shape.size(), &axis)) return n.fail("Slice axis outside the input");
  const int64_t dim = shape[static_cast<size_t>(axis)];
  const int64_t start = n.attr(kSliceStartAttr);
  const int64_t count = n.attr(kSliceCountAttr);
  const int64_t step = n.attr(kSliceStepAttr) == 0 ? 1 : n.attr(kSliceStepAttr);
  if (count < 0) return n.fail("Slice entry count is negative");
  if (count == 0) {
    n.set_out(0, g.slice(n.in(0), axis, 0, 0));
    return true;
  }
  // Every taken entry start + j x step (j < count) must lie on the axis.
  int64_t last = 0;
  if (start < 0 || start >= dim || __builtin_mul_overflow(count - 1, step, &last) ||
      __builtin_add_overflow(last, start, &last) || last < 0 || last >= dim) {
    return n.fail("Slice start " + std::to_string(start) + ", step " + std::to_string(step) +
                  " and count " + std::to_string(count) + " leave the axis of " +
                  std::to_string(dim));
  }
  if (step == 1) {
    n.set_out(0, g.slice(n.in(0), axis, start, count));
    return true;
  }
  if (step >= 2 && start < step && count <= dim / step) {
    // The first count x step entries as [count, step] on the axis; the column `start` of it.
    GraphTensor t = g.slice(n.in(0), axis, 0, count * step);
    GraphShape split = shape;
    split[static_cast<size_t>(axis)] = count;
    split.insert(split.begin() + axis + 1, step);
    t = g.reshape(t, split);
    n.set_out(0, g.slice(t, axis + 1, start, 1));
    return true;
  }
  // Other strides (a last stride past the axis end, a start beyond the first stride, a negative
  // step): the entries picked one by one.
  std::vector<int32_t> picks(static_cast<size_t>(count));
  for (int64_t j = 0; j < count; ++j) picks[static_cast<size_t>(j)] = static_cast<int32_t>(start + j * step);
  n.set_out(0, g.gather(n.in(0), n.constant_i32(picks, {count}), axis));
  return true;
}

bool lower_split(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape shape = n.in_shape(0);
  int64_t axis = 0;
  if (!n.axis(shape.size(), &axis)) return n.fail("Split axis outside the input");
  int64_t start = 0;
  for (uint32_t k = 0; k < n.out_count(); ++k) {
    const int64_t length = n.out_shape(k)[static_cast<size_t>(axis)];
    n.set_out(k, g.slice(n.in(0), axis, start, length));
    start += length;
  }
  return true;
}

// Zero padding at the end of dims 1 and 2: what the lowering expresses. Any other form (leading
// pads, other dims) is refused.
bool lower_pad(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape in = n.in_shape(0);
  const GraphShape out = n.out_shape();
  const size_t rank = in.size();
  // Leading pads from the recorded pads (all begins, then all ends) when they turn the input
  // shape into the output shape, as the CPU engine reads them; otherwise none.
  std::vector<int64_t> lead(rank, 0);
  uint64_t count = 0;
  const float* recorded = n.weight_of(n.node().inputs[kPadPadsSlot], &count);
  if (recorded != nullptr && count == 2 * rank) {
    std::vector<int64_t> b(rank);
    bool fits = true;
    for (size_t i = 0; i < rank && fits; ++i) {
      const float pb = recorded[i];
      const float pe = recorded[rank + i];
      fits = pb >= 0.0f && pe >= 0.0f && pb <= kMaxPad && pe <= kMaxPad &&
             in[i] + static_cast<int64_t>(pb) + static_cast<int64_t>(pe) == out[i];
      if (fits) b[i] = static_cast<int64_t>(pb);
    }
    if (fits) lead = b;
  }
  for (size_t i = 0; i < rank; ++i) {
    const bool expressible = lead[i] == 0 && (out[i] == in[i] || ((i == 1 || i == 2) && rank >= 3));
    if (!expressible) {
      return n.fail("Pad form not supported: only zero padding at the end of dims 1 and 2");
    }
  }
  GraphTensor t = n.in(0);
  for (size_t axis : {size_t{1}, size_t{2}}) {
    if (axis >= rank || out[axis] == in[axis]) continue;
    GraphShape block = g.shape(t);
    block[axis] = out[axis] - in[axis];
    const GraphTensor zeros = g.constant_fill(0.0, block, n.compute());
    t = g.concat({t, zeros}, static_cast<int64_t>(axis));
  }
  n.set_out(0, t);
  return true;
}

bool lower_blocks(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape in = n.in_shape(0);
  const GraphShape out = n.out_shape();
  const int64_t b = n.attr(kBlockAttr) == 0 ? kDefaultBlock : n.attr(kBlockAttr);
  const int64_t batch = in[0], h = in[2], w = in[3];
  if (static_cast<OpKind>(n.kind()) == OpKind::kDepthToSpace) {
    const int64_t oc = out[1];
    GraphTensor t;
    if (n.attr(kBlockOrderAttr) == kBlockOrderDcr) {
      // Input channel (i b + j) C + c.
      t = g.reshape(n.in(0), {batch, b, b, oc, h, w});
      t = g.permute(t, {0, 3, 4, 1, 5, 2});
    } else {
      // Input channel c b b + i b + j.
      t = g.reshape(n.in(0), {batch * oc, b, b, h, w});
      t = g.permute(t, {0, 3, 1, 4, 2});
    }
    n.set_out(0, g.reshape(t, out));
    return true;
  }
  GraphTensor t = g.reshape(n.in(0), {batch, in[1], out[2], b, out[3], b});
  t = g.permute(t, {0, 3, 5, 1, 2, 4});
  n.set_out(0, g.reshape(t, out));
  return true;
}

}  // namespace

// Attribute 0 holds the recorded length (0 when none), the entries follow from attribute 4. No
// entries recorded means the reversal of the axes (the ONNX default).
bool mps_transpose_permutation(const GraphNode& node, uint64_t rank, std::vector<int64_t>* perm) {
  constexpr uint32_t kPermLengthAttr = 0;
  constexpr uint32_t kPermFirstAttr = 4;
  const int64_t length = static_cast<int64_t>(node.attrs[kPermLengthAttr]);
  if (rank > kMpsMaxRank || (length != 0 && length != static_cast<int64_t>(rank))) return false;
  std::vector<bool> seen(rank, false);
  bool all_zero = true;
  bool valid = true;
  perm->assign(rank, 0);
  for (uint64_t k = 0; k < rank && valid; ++k) {
    const int64_t p = static_cast<int64_t>(node.attrs[kPermFirstAttr + k]);
    all_zero = all_zero && p == 0;
    if (p < 0 || p >= static_cast<int64_t>(rank) || seen[static_cast<size_t>(p)]) {
      valid = false;
    } else {
      seen[static_cast<size_t>(p)] = true;
      (*perm)[k] = p;
    }
  }
  if (valid) return true;
  if (length != 0 || !all_zero) return false;
  for (uint64_t k = 0; k < rank; ++k) (*perm)[k] = static_cast<int64_t>(rank - 1 - k);
  return true;
}

bool mps_lower_layout(MpsNode& n) {
  Graph& g = n.g();
  switch (static_cast<OpKind>(n.kind())) {
    case OpKind::kFlatten: {
      // A value nobody sized (and nobody reads) receives nothing, as on the CPU engine.
      if (mps_value_sizeless(n.out_value(0))) {
        n.set_out(0, n.in(0));
        return true;
      }
      if (n.in_value(0).element_count != n.out_value(0).element_count) {
        return n.fail("Flatten of " + std::to_string(n.in_value(0).element_count) +
                      " elements into " + std::to_string(n.out_value(0).element_count));
      }
      n.set_out(0, g.reshape(n.in(0), n.out_shape()));
      return true;
    }
    case OpKind::kIdentity:
      n.set_out(0, n.in(0));
      return true;
    case OpKind::kTranspose: {
      std::vector<int64_t> perm;
      if (!mps_transpose_permutation(n.node(), n.in_shape(0).size(), &perm)) {
        return n.fail("Transpose permutation does not permute the input axes");
      }
      n.set_out(0, g.permute(n.in(0), perm));
      return true;
    }
    case OpKind::kConcat: {
      int64_t axis = 0;
      if (!n.axis(n.out_value(0).rank, &axis)) return n.fail("Concat axis outside the output");
      std::vector<GraphTensor> parts;
      for (uint32_t k = 0; k < n.in_count(); ++k) parts.push_back(n.in(k));
      n.set_out(0, g.concat(parts, axis));
      return true;
    }
    case OpKind::kSplit:
      return lower_split(n);
    case OpKind::kSlice:
      return lower_slice(n);
    case OpKind::kGather: {
      int64_t axis = 0;
      if (!n.axis(n.in_shape(0).size(), &axis)) return n.fail("Gather axis outside the data");
      n.set_out(0, g.gather(n.in(0), n.as_index(n.in(1)), axis));
      return true;
    }
    case OpKind::kExpand:
      n.set_out(0, g.broadcast(n.in(0), n.out_shape()));
      return true;
    case OpKind::kPad:
      return lower_pad(n);
    case OpKind::kDepthToSpace: case OpKind::kSpaceToDepth:
      return lower_blocks(n);
    case OpKind::kScatterND: {
      // The tuple form with replacement only.
      if (n.in_shape(1).size() == n.in_shape(0).size() || n.attr(kScatterReductionAttr) != 0) {
        return n.fail(kMpsUnsupportedOp);
      }
      n.set_out(0, g.scatter_nd(n.in(0), n.in(2), n.as_index(n.in(1)), 0, GraphScatterMode::kSet));
      return true;
    }
    default:
      return n.fail(kMpsUnsupportedOp);
  }
}

}  // namespace vexa
