// Graph operations other than attention: the checks every node must pass, then one op each.
// Every check raises before the node's first kernel is encoded.
#include <algorithm>
#include <cstring>

#include "core/checked_math.h"
#include "gpu/vx_graph.h"

namespace vexa {

namespace {

uint32_t u32(uint64_t v) { return static_cast<uint32_t>(v); }

uint64_t expected_attributes(uint64_t op) {
  switch (op) {
    case kVXOpPatchEmbedding:
    case kVXOpLayerNorm:
    case kVXOpRmsNorm: return 1;
    case kVXOpAttention: return 4;
    case kVXOpRotary:
    case kVXOpShuffle: return 3;
    default: return 0;
  }
}

bool input_count_ok(const VXNode& node, uint64_t count) {
  switch (node.op) {
    case kVXOpEmbedding:
    case kVXOpAdd:
    case kVXOpRmsNorm:
    case kVXOpMultiply:
    case kVXOpRotary: return count == 2;
    case kVXOpPatchEmbedding:
    case kVXOpLayerNorm:
    case kVXOpScatter: return count == 3;
    case kVXOpLinear: return count == 2 || count == 3;
    case kVXOpAttention: return count == (node.attrs[3] == 0 ? 4 : 6);
    case kVXOpGelu:
    case kVXOpSilu:
    case kVXOpShuffle: return count == 1;
    default: return false;
  }
}

// The int64 values of an id or position tensor, read on the host. They are checked here, before
// any kernel reads them, so the tensor's bytes must lie inside a host-visible buffer.
bool host_i64(const VXTensor& t, std::vector<int64_t>* out) {
  out->resize(t.count);
  if (t.count == 0) return true;
  const uint64_t bytes = t.count * sizeof(int64_t);  // count is at most 2^30
  if (t.dtype != kVXDtypeI64 || t.buffer == nullptr || t.buffer->contents() == nullptr ||
      !range_within(t.offset, bytes, t.buffer->length())) {
    return false;
  }
  std::memcpy(out->data(), static_cast<const uint8_t*>(t.buffer->contents()) + t.offset, bytes);
  return true;
}

}  // namespace

void VXGraph::check_node(const VXNode& node, const VXTensorList& inputs) const {
  require_inference(node.attrs.size() == expected_attributes(node.op), "Operation attribute count");
  const bool all_present =
      std::none_of(inputs.begin(), inputs.end(), [](const VXTensorPtr& t) { return !t; });
  require_inference(all_present && input_count_ok(node, inputs.size()), "Operation input count");
  const uint64_t first = node.op == kVXOpEmbedding ? kVXDtypeI64 : activation_;
  require_inference(inputs[0]->dtype == first, "Operation input dtype");
}

VXTensorList VXGraph::operation(const VXNode& node, const VXTensorList& in,
                                const std::shared_ptr<CommandBuffer>& command) {
  check_node(node, in);
  switch (node.op) {
    case kVXOpEmbedding: return {embedding(in[0], in[1], command)};
    case kVXOpPatchEmbedding: return {patch_embedding(node, in, command)};
    case kVXOpAdd:
    case kVXOpMultiply: return {point(in[0], in[1], node.op, command)};
    case kVXOpLinear: return {linear_node(in[0], in[1], in.size() > 2 ? in[2] : nullptr, command)};
    case kVXOpLayerNorm:
    case kVXOpRmsNorm: return {norm(node, in, command)};
    case kVXOpGelu:
    case kVXOpSilu: return {point(in[0], in[0], node.op, command)};
    case kVXOpAttention: return attention(node, in, command);
    case kVXOpRotary: return {rotary(node, in, command)};
    case kVXOpShuffle: return {shuffle(node, in, command)};
    case kVXOpScatter: return {scatter(in, command)};
    default: raise_inference("Missing operation implementation");
  }
}

VXTensorPtr VXGraph::point(const VXTensorPtr& x, const VXTensorPtr& other, uint64_t op,
                           const std::shared_ptr<CommandBuffer>& command) {
  require_inference(x->dtype == activation_ && other->dtype == activation_ &&
                        (other->count == x->count || other->count == shape_last_dim(x->shape)),
                    "Unsupported elementwise broadcast");
  VXTensorPtr y = tensor(x->shape, activation_);
  VXParams p{};
  p.u[0] = u32(x->count);
  p.u[1] = u32(other->count);
  p.u[2] = u32(op);
  kernel("pointwise", {x.get(), other.get(), y.get()}, p, x->count, false, command);
  return y;
}

VXTensorPtr VXGraph::embedding(const VXTensorPtr& ids, const VXTensorPtr& weight,
                               const std::shared_ptr<CommandBuffer>& command) {
  require_inference(weight->shape.size() == 2 &&
                        (weight->dtype == kVXDtypeF16 || weight->dtype == kVXDtypeQ8),
                    "Embedding weight");
  const uint64_t vocab = weight->shape[0];
  const uint64_t dim = weight->shape[1];
  std::vector<int64_t> values;
  require_inference(host_i64(*ids, &values), "Embedding ID out of bounds");
  for (int64_t id : values) {
    require_inference(id >= 0 && static_cast<uint64_t>(id) < vocab, "Embedding ID out of bounds");
  }
  std::vector<uint64_t> shape = ids->shape;
  shape.push_back(dim);
  VXTensorPtr y = tensor(std::move(shape), activation_);
  const bool q8 = weight->dtype == kVXDtypeQ8;
  VXParams p{};
  p.u[0] = u32(y->count);
  p.u[1] = u32(dim);
  p.u[2] = u32(weight->row_bytes);
  kernel(q8 ? "embedding_q8" : "embedding", {ids.get(), weight.get(), y.get()}, p, y->count,
         false, command);
  if (q8 && ids->count > 0) ++fused_int8_embedding_calls_;
  return y;
}

VXTensorPtr VXGraph::patch_embedding(const VXNode& node, const VXTensorList& in,
                                     const std::shared_ptr<CommandBuffer>& command) {
  const VXTensorPtr& pixels = in[0];
  const VXTensorPtr& weight = in[1];
  const uint64_t patch = node.attrs[0];
  const std::vector<uint64_t>& s = pixels->shape;
  require_inference(s.size() == 4 && s[2] == s[3] && patch != 0 && s[2] % patch == 0,
                    "Patch geometry");
  const uint64_t channels = s[1];
  const std::vector<uint64_t>& w = weight->shape;
  require_inference(w.size() == 4 && w[1] == channels && w[2] == patch && w[3] == patch,
                    "Patch weights");
  const uint64_t side = s[2] / patch;
  // patch and channels are dimensions (at most 2^30); a product past 2^30 is refused as a
  // dimension of the unfolded tensor.
  uint64_t depth = 0;
  if (!checked_mul_u64(patch, patch, &depth) || !checked_mul_u64(depth, channels, &depth)) {
    raise_inference("Patch geometry");
  }
  // The projection's checks come first, so a refused node has encoded nothing.
  VXTensor probe;
  probe.shape = {s[0], side * side, depth};
  probe.count = shape_element_count(probe.shape);
  probe.dtype = activation_;
  uint64_t rows = 0, outputs = 0, inputs = 0;
  check_linear(probe, *weight, in[2].get(), &rows, &outputs, &inputs);
  VXTensorPtr unfolded = tensor(std::move(probe.shape), activation_);
  VXParams p{};
  p.u[0] = u32(unfolded->count);
  p.u[1] = u32(patch);
  p.u[2] = u32(side);
  p.u[3] = u32(channels);
  kernel("unfold", {pixels.get(), pixels.get(), unfolded.get()}, p, unfolded->count, false,
         command);
  VXTensorPtr y = linear(unfolded, weight, in[2], command);
  recycle(unfolded);
  return y;
}

VXTensorPtr VXGraph::norm(const VXNode& node, const VXTensorList& in,
                          const std::shared_ptr<CommandBuffer>& command) {
  const VXTensorPtr& x = in[0];
  const bool rms = node.op == kVXOpRmsNorm;
  const uint64_t dim = shape_last_dim(x->shape);
  auto vector_ok = [&](const VXTensorPtr& t) {
    return t->count == dim &&
           (t->dtype == kVXDtypeF16 || (t->dtype == kVXDtypeQ8 && x->count == 0));
  };
  require_inference(dim != 0 && vector_ok(in[1]) && (rms || vector_ok(in[2])), "Norm shape");
  const float epsilon = real_attribute_f32(node.attrs[0]);
  require_inference(epsilon > 0.0f, "Norm epsilon");
  VXTensorPtr y = tensor(x->shape, activation_);
  VXParams p{};
  p.u[0] = u32(dim);
  p.u[1] = rms ? 1 : 0;
  p.f[0] = epsilon;
  kernel("norm", {x.get(), in[1].get(), y.get(), rms ? in[1].get() : in[2].get()}, p,
         x->count / dim, true, command);
  return y;
}

VXTensorPtr VXGraph::rotary(const VXNode& node, const VXTensorList& in,
                            const std::shared_ptr<CommandBuffer>& command) {
  const VXTensorPtr& x = in[0];
  const VXTensorPtr& positions = in[1];
  const uint64_t dim = node.attrs[0];
  const uint64_t heads = node.attrs[2];
  const uint64_t last = shape_last_dim(x->shape);
  uint64_t width = 0;
  require_inference(dim != 0 && dim % 2 == 0 && heads != 0 &&
                        checked_mul_u64(heads, dim, &width) && width == last &&
                        positions->dtype == kVXDtypeI64 && positions->count == x->count / last,
                    "RoPE shape");
  const float theta = real_attribute_f32(node.attrs[1]);
  require_inference(theta > 0.0f, "RoPE theta");
  VXTensorPtr y = tensor(x->shape, activation_);
  VXParams p{};
  p.u[0] = u32(x->count);
  p.u[1] = u32(dim);
  p.u[2] = u32(heads);
  p.f[0] = theta;
  kernel("rope", {x.get(), positions.get(), y.get()}, p, x->count, false, command);
  return y;
}

VXTensorPtr VXGraph::shuffle(const VXNode& node, const VXTensorList& in,
                             const std::shared_ptr<CommandBuffer>& command) {
  const VXTensorPtr& x = in[0];
  const uint64_t f = node.attrs[0], h = node.attrs[1], w = node.attrs[2];
  const std::vector<uint64_t>& s = x->shape;
  uint64_t grid = 0, depth = 0;
  const bool ok = s.size() == 3 && f != 0 && h % f == 0 && w % f == 0 &&
                  checked_mul_u64(h, w, &grid) && grid == s[1] &&
                  checked_mul_u64(f, f, &depth) && checked_mul_u64(depth, s[2], &depth);
  require_inference(ok, "Shuffle geometry");
  VXTensorPtr y = tensor({s[0], grid / (f * f), depth}, activation_);
  VXParams p{};
  p.u[0] = u32(y->count);
  p.u[1] = u32(f);
  p.u[2] = u32(h);
  p.u[3] = u32(w);
  p.u[4] = u32(s[2]);
  kernel("shuffle", {x.get(), x.get(), y.get()}, p, y->count, false, command);
  return y;
}

VXTensorPtr VXGraph::scatter(const VXTensorList& in, const std::shared_ptr<CommandBuffer>& command) {
  const VXTensorPtr& x = in[0];
  const VXTensorPtr& images = in[1];
  const VXTensorPtr& positions = in[2];
  const std::vector<uint64_t>& s = x->shape;
  const bool shape_ok = s.size() == 3 && s[0] == 1 && s[2] != 0 &&
                        positions->dtype == kVXDtypeI64 && images->dtype == activation_ &&
                        !images->shape.empty() && images->shape.back() == s[2];
  require_inference(shape_ok, "Scatter shape");
  const uint64_t dim = s[2];
  const uint64_t rows = images->count / dim;
  require_inference(rows == positions->count, "Scatter shape");
  std::vector<int64_t> at;
  require_inference(host_i64(*positions, &at), "Scatter position invalid");
  for (int64_t pos : at) {
    require_inference(pos >= 0 && static_cast<uint64_t>(pos) < s[1], "Scatter position invalid");
  }
  std::sort(at.begin(), at.end());
  require_inference(std::adjacent_find(at.begin(), at.end()) == at.end(),
                    "Scatter position invalid");
  VXTensorPtr y = tensor(x->shape, activation_);
  VXParams p{};
  p.u[0] = u32(y->count);
  p.u[1] = u32(dim);
  p.u[2] = u32(rows);
  kernel("scatter", {x.get(), images.get(), y.get(), positions.get()}, p, y->count, false,
         command);
  return y;
}

}  // namespace vexa
