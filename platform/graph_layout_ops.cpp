// Graph construction of the layout operations: reshape, permutations, slices, concatenation,
// broadcasts, gathers, scatters and resizing.
#include <algorithm>

#include "platform/graph.h"
#include "platform/graph_shapes.h"

namespace vexa {

namespace {

std::string type_text(DeviceDataType t) { return std::string(device_data_type_name(t)); }

bool integer_indices(DeviceDataType t) { return device_data_type_is_integer(t); }

}  // namespace

GraphTensor Graph::reshape(GraphTensor x, const GraphShape& shape) {
  if (!usable(x, "reshape")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  GraphShape resolved = shape;
  int inferred = -1;
  uint64_t known = 1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == -1 && inferred < 0) {
      inferred = static_cast<int>(i);
      continue;
    }
    if (shape[i] < 0 || (shape[i] > 0 && known > (uint64_t{1} << 62) / static_cast<uint64_t>(shape[i]))) {
      fail("reshape: shape " + graph_shape_text(shape) + " is not a tensor shape");
      return {};
    }
    known *= static_cast<uint64_t>(shape[i]);
  }
  if (inferred >= 0) {
    if (known == 0 || ix.elements % known != 0) {
      fail("reshape: " + std::to_string(ix.elements) + " elements do not fill " +
           graph_shape_text(shape));
      return {};
    }
    resolved[inferred] = static_cast<int64_t>(ix.elements / known);
    known = ix.elements;
  }
  if (known != ix.elements) {
    fail("reshape: " + std::to_string(ix.elements) + " elements of " + graph_shape_text(ix.shape) +
         " cannot take the shape " + graph_shape_text(shape));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.ints = resolved;
  return add_node(GraphOpKind::kReshape, {x.index}, std::move(attrs), ix.type, std::move(resolved));
}

GraphTensor Graph::transpose(GraphTensor x, int64_t dim, int64_t with_dim) {
  if (!usable(x, "transpose")) return {};
  const uint64_t rank = tensors_[x.index].shape.size();
  uint32_t a = 0, b = 0;
  if (!graph_normalise_axis(dim, rank, &a) || !graph_normalise_axis(with_dim, rank, &b)) {
    fail("transpose: dims " + std::to_string(dim) + " and " + std::to_string(with_dim) +
         " are not both dims of rank " + std::to_string(rank));
    return {};
  }
  std::vector<int64_t> perm(rank);
  for (uint64_t i = 0; i < rank; ++i) perm[i] = static_cast<int64_t>(i);
  std::swap(perm[a], perm[b]);
  return permute(x, perm);
}

GraphTensor Graph::permute(GraphTensor x, const std::vector<int64_t>& permutation) {
  if (!usable(x, "permute")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  const uint64_t rank = ix.shape.size();
  std::vector<int64_t> perm(permutation.size());
  std::vector<bool> seen(rank, false);
  bool valid = permutation.size() == rank;
  for (size_t k = 0; k < permutation.size() && valid; ++k) {
    uint32_t p = 0;
    valid = graph_normalise_axis(permutation[k], rank, &p) && !seen[p];
    if (valid) {
      seen[p] = true;
      perm[k] = p;
    }
  }
  if (!valid) {
    fail("permute: " + graph_shape_text(permutation) + " does not permute the dims of rank " +
         std::to_string(rank));
    return {};
  }
  GraphShape out(rank);
  for (uint64_t k = 0; k < rank; ++k) out[k] = ix.shape[perm[k]];
  GraphNodeAttrs attrs;
  attrs.ints = perm;
  return add_node(GraphOpKind::kPermute, {x.index}, std::move(attrs), ix.type, std::move(out));
}

GraphTensor Graph::slice(GraphTensor x, int64_t dim, int64_t start, int64_t length) {
  if (!usable(x, "slice")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  uint32_t axis = 0;
  if (!dim_of("slice", "dim", dim, ix.shape.size(), &axis)) return {};
  const int64_t d = ix.shape[axis];
  const int64_t first = start < 0 ? start + d : start;
  if (first < 0 || first > d || length < 0 || length > d - first) {
    fail("slice: start " + std::to_string(start) + " and length " + std::to_string(length) +
         " leave dim " + std::to_string(axis) + " of extent " + std::to_string(d));
    return {};
  }
  GraphShape out = ix.shape;
  out[axis] = length;
  GraphNodeAttrs attrs;
  attrs.axis = axis;
  attrs.start = first;
  attrs.length = length;
  return add_node(GraphOpKind::kSlice, {x.index}, std::move(attrs), ix.type, std::move(out));
}

GraphTensor Graph::concat(const std::vector<GraphTensor>& tensors, int64_t dim) {
  if (tensors.empty()) {
    fail("concat: no tensors to concatenate");
    return {};
  }
  for (GraphTensor t : tensors) {
    if (!usable(t, "concat")) return {};
  }
  // Long lists concatenate in groups, then the groups.
  if (tensors.size() > kGraphConcatMaxInputs) {
    std::vector<GraphTensor> groups;
    for (size_t i = 0; i < tensors.size(); i += kGraphConcatMaxInputs) {
      const size_t end = std::min(tensors.size(), i + kGraphConcatMaxInputs);
      std::vector<GraphTensor> part(tensors.begin() + static_cast<ptrdiff_t>(i),
                                    tensors.begin() + static_cast<ptrdiff_t>(end));
      groups.push_back(part.size() == 1 ? part[0] : concat(part, dim));
      if (!groups.back().valid()) return {};
    }
    return concat(groups, dim);
  }
  const GraphTensorInfo& first = tensors_[tensors[0].index];
  uint32_t axis = 0;
  if (!dim_of("concat", "dim", dim, first.shape.size(), &axis)) return {};
  GraphShape out = first.shape;
  int64_t extent = 0;
  std::vector<uint32_t> inputs;
  for (GraphTensor t : tensors) {
    const GraphTensorInfo& it = tensors_[t.index];
    if (it.type != first.type) {
      fail("concat: tensors of types " + type_text(first.type) + " and " + type_text(it.type));
      return {};
    }
    bool same = it.shape.size() == out.size();
    for (size_t i = 0; i < out.size() && same; ++i) same = i == axis || it.shape[i] == out[i];
    if (!same) {
      fail("concat: shapes " + graph_shape_text(first.shape) + " and " +
           graph_shape_text(it.shape) + " differ off dim " + std::to_string(axis));
      return {};
    }
    extent += it.shape[axis];  // each at most 2^30, at most eight of them
    inputs.push_back(t.index);
  }
  out[axis] = extent;
  GraphNodeAttrs attrs;
  attrs.axis = axis;
  return add_node(GraphOpKind::kConcat, std::move(inputs), std::move(attrs), first.type,
                  std::move(out));
}

GraphTensor Graph::broadcast(GraphTensor x, const GraphShape& shape) {
  if (!usable(x, "broadcast")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (!graph_broadcasts_to(ix.shape, shape)) {
    fail("broadcast: " + graph_shape_text(ix.shape) + " does not broadcast to " +
         graph_shape_text(shape));
    return {};
  }
  if (ix.elements == 0) {
    uint64_t n = 0;
    if (!shape_element_count(shape, uint64_t{1} << 62, &n) || n != 0) {
      fail("broadcast: an empty tensor cannot fill " + graph_shape_text(shape));
      return {};
    }
  }
  GraphNodeAttrs attrs;
  attrs.ints = shape;
  return add_node(GraphOpKind::kBroadcast, {x.index}, std::move(attrs), ix.type, shape);
}

GraphTensor Graph::gather(GraphTensor x, GraphTensor indices, int64_t axis, int64_t batch_dims) {
  if (!usable(x, "gather") || !usable(indices, "gather")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  const GraphTensorInfo& ii = tensors_[indices.index];
  uint32_t a = 0;
  if (!dim_of("gather", "axis", axis, ix.shape.size(), &a)) return {};
  if (batch_dims != 0) {
    fail("gather: batch dimensions other than 0 are not supported");
    return {};
  }
  if (!integer_indices(ii.type)) {
    fail("gather: indices must be int32 or int64, not " + type_text(ii.type));
    return {};
  }
  if (ii.elements != 0 && ix.shape[a] == 0) {
    fail("gather: indices into the empty dim " + std::to_string(a));
    return {};
  }
  GraphShape out(ix.shape.begin(), ix.shape.begin() + a);
  out.insert(out.end(), ii.shape.begin(), ii.shape.end());
  out.insert(out.end(), ix.shape.begin() + a + 1, ix.shape.end());
  GraphNodeAttrs attrs;
  attrs.axis = a;
  return add_node(GraphOpKind::kGather, {x.index, indices.index}, std::move(attrs), ix.type,
                  std::move(out));
}

GraphTensor Graph::gather_along_axis(GraphTensor x, GraphTensor indices, int64_t axis) {
  if (!usable(x, "gather_along_axis") || !usable(indices, "gather_along_axis")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  const GraphTensorInfo& ii = tensors_[indices.index];
  uint32_t a = 0;
  if (!dim_of("gather_along_axis", "axis", axis, ix.shape.size(), &a)) return {};
  if (!integer_indices(ii.type)) {
    fail("gather_along_axis: indices must be int32 or int64, not " + type_text(ii.type));
    return {};
  }
  if (ii.shape.size() != ix.shape.size()) {
    fail("gather_along_axis: indices of rank " + std::to_string(ii.shape.size()) +
         " for a tensor of rank " + std::to_string(ix.shape.size()));
    return {};
  }
  GraphShape out(ix.shape.size());
  for (size_t i = 0; i < out.size(); ++i) {
    if (i == a) {
      out[i] = ii.shape[i];
    } else if (ii.shape[i] == ix.shape[i] || ix.shape[i] == 1) {
      out[i] = ii.shape[i];
    } else if (ii.shape[i] == 1) {
      out[i] = ix.shape[i];
    } else {
      fail("gather_along_axis: indices " + graph_shape_text(ii.shape) + " do not broadcast with " +
           graph_shape_text(ix.shape) + " off the axis");
      return {};
    }
  }
  if (ii.elements != 0 && ix.shape[a] == 0) {
    fail("gather_along_axis: indices into the empty dim " + std::to_string(a));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.axis = a;
  return add_node(GraphOpKind::kGatherAlongAxis, {x.index, indices.index}, std::move(attrs),
                  ix.type, std::move(out));
}

GraphTensor Graph::scatter_nd(GraphTensor data, GraphTensor updates, GraphTensor indices,
                              int64_t batch_dims, GraphScatterMode mode) {
  if (!usable(data, "scatter_nd") || !usable(updates, "scatter_nd") ||
      !usable(indices, "scatter_nd"))
    return {};
  const GraphTensorInfo& id = tensors_[data.index];
  const GraphTensorInfo& iu = tensors_[updates.index];
  const GraphTensorInfo& ii = tensors_[indices.index];
  if (batch_dims != 0) {
    fail("scatter_nd: batch dimensions other than 0 are not supported");
    return {};
  }
  if (mode != GraphScatterMode::kSet && mode != GraphScatterMode::kAdd &&
      mode != GraphScatterMode::kMul && mode != GraphScatterMode::kMin &&
      mode != GraphScatterMode::kMax) {
    fail("scatter_nd: mode " + std::to_string(static_cast<uint32_t>(mode)) +
         " is not supported");
    return {};
  }
  if (!integer_indices(ii.type)) {
    fail("scatter_nd: indices must be int32 or int64, not " + type_text(ii.type));
    return {};
  }
  if (iu.type != id.type) {
    fail("scatter_nd: updates of type " + type_text(iu.type) + " for data of type " +
         type_text(id.type));
    return {};
  }
  const size_t k = ii.shape.empty() ? 0 : static_cast<size_t>(ii.shape.back());
  if (ii.shape.empty() || k < 1 || k > id.shape.size()) {
    fail("scatter_nd: indices " + graph_shape_text(ii.shape) + " do not address data " +
         graph_shape_text(id.shape));
    return {};
  }
  GraphShape want(ii.shape.begin(), ii.shape.end() - 1);
  want.insert(want.end(), id.shape.begin() + static_cast<ptrdiff_t>(k), id.shape.end());
  if (iu.shape != want) {
    fail("scatter_nd: updates " + graph_shape_text(iu.shape) + " where indices " +
         graph_shape_text(ii.shape) + " into data " + graph_shape_text(id.shape) + " need " +
         graph_shape_text(want));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.scatter_mode = mode;
  return add_node(GraphOpKind::kScatterNd, {data.index, updates.index, indices.index},
                  std::move(attrs), id.type, id.shape);
}

GraphTensor Graph::resize(GraphTensor x, int64_t height, int64_t width, GraphResizeMode mode,
                          bool centre_result, bool align_corners, uint32_t layout) {
  if (!usable(x, "resize")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (layout != kGraphLayoutNCHW) {
    fail("resize: only the NCHW layout is supported");
    return {};
  }
  if (ix.shape.size() != 4) {
    fail("resize: expects a rank-4 NCHW tensor, not " + graph_shape_text(ix.shape));
    return {};
  }
  if (mode != GraphResizeMode::kNearest && mode != GraphResizeMode::kBilinear) {
    fail("resize: unknown mode");
    return {};
  }
  if (!device_data_type_is_float(ix.type) &&
      !(mode == GraphResizeMode::kNearest && device_data_type_is_integer(ix.type))) {
    fail("resize: " + type_text(ix.type) + " tensors are not supported");
    return {};
  }
  if (height < 0 || width < 0) {
    fail("resize: size " + std::to_string(height) + " x " + std::to_string(width) +
         " is negative");
    return {};
  }
  GraphShape out = {ix.shape[0], ix.shape[1], height, width};
  uint64_t out_elements = 0;
  if (!shape_element_count(out, uint64_t{1} << 62, &out_elements)) {
    fail("resize: size " + std::to_string(height) + " x " + std::to_string(width) +
         " is too large");
    return {};
  }
  if ((ix.shape[2] == 0 || ix.shape[3] == 0) && out_elements != 0) {
    fail("resize: an empty image cannot be resized to " + graph_shape_text(out));
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.ints = {height, width};
  attrs.resize_mode = mode;
  attrs.centre_result = centre_result;
  attrs.align_corners = align_corners;
  return add_node(GraphOpKind::kResize, {x.index}, std::move(attrs), ix.type, std::move(out));
}

}  // namespace vexa
