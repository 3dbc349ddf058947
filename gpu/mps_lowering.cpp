// The lowering of one node: the CPU engine's shape contract checked first, the family's
// lowering, then every output brought to the shape of its value record.
#include "gpu/mps_lowering.h"

#include <cmath>
#include <cstring>


namespace vexa {

namespace {

// Kinds with no lowering: shape arithmetic, quantisation, integer and boolean operators, and
// the index-producing ones whose outputs this backend cannot hold.
constexpr uint64_t kUnsupportedKinds[] = {24, 25, 35, 37, 38, 44, 46, 49, 50, 51,
                                          67, 68, 74, 75, 76, 78, 81, 83, 84, 86};

uint64_t product(const GraphShape& s) {
  uint64_t n = 1;
  for (int64_t d : s) n *= static_cast<uint64_t>(d);
  return n;
}

std::string shape_text(const GraphShape& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i != 0) t += ", ";
    t += std::to_string(s[i]);
  }
  return t + "]";
}

}  // namespace

// ---- MpsNode ----

GraphShape MpsNode::in_shape(uint32_t k) const {
  const GraphValue& v = in_value(k);
  return mps_shape(v.rank, v.dims);
}

GraphShape MpsNode::out_shape(uint32_t k) const {
  const GraphValue& v = out_value(k);
  return mps_shape(v.rank, v.dims);
}

float MpsNode::attr_f32(uint32_t k) const {
  const uint32_t bits = static_cast<uint32_t>(node_.attrs[k]);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

bool MpsNode::axis(uint64_t rank, int64_t* out) const {
  int64_t a = attr(kMpsAttrAxis);
  const int64_t r = static_cast<int64_t>(rank);
  if (a < 0) a += r;
  if (a < 0 || a >= r) return false;
  *out = a;
  return true;
}

GraphTensor MpsNode::scalar(float v) const {
  if (v == 0.0f && !std::signbit(v)) return ctx_.zero;
  if (v == 1.0f) return ctx_.one;
  return g().constant_scalar(v, ctx_.compute);
}

GraphTensor MpsNode::constant(const std::vector<float>& v, const GraphShape& shape) const {
  if (ctx_.compute == DeviceDataType::kFloat32) {
    return g().constant_data(v.data(), v.size() * sizeof(float), shape, DeviceDataType::kFloat32);
  }
  std::vector<uint16_t> h(v.size());
  convert_f32_to_f16(v.data(), h.data(), v.size());
  return g().constant_data(h.data(), h.size() * sizeof(uint16_t), shape, DeviceDataType::kFloat16);
}

GraphTensor MpsNode::constant_i32(const std::vector<int32_t>& v, const GraphShape& shape) const {
  return g().constant_data(v.data(), v.size() * sizeof(int32_t), shape, DeviceDataType::kInt32);
}

const float* MpsNode::weight_data(uint32_t k) const {
  uint64_t count = 0;
  return has_input(k) ? weight_of(node_.inputs[k], &count) : nullptr;
}

const float* MpsNode::weight_of(uint64_t id, uint64_t* count) const {
  *count = 0;
  if (id >= ctx_.values->size() || ctx_.weight_base == nullptr) return nullptr;
  const GraphValue& v = value(id).record;
  if (v.kind != static_cast<uint64_t>(ValueKind::kWeight)) return nullptr;
  *count = v.element_count;
  // The build checked every weight to lie inside the slot's f32 data.
  return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(ctx_.weight_base) +
                                        v.data_offset);
}

bool MpsNode::fail(std::string message) const {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

// ---- dispatch ----

bool mps_kind_lowered(uint64_t kind) {
  if (kind < kOpKindFirst || kind > kOpKindLast) return false;
  for (uint64_t k : kUnsupportedKinds) {
    if (k == kind) return false;
  }
  return true;
}

namespace {

bool lower_family(MpsNode& n) {
  switch (static_cast<OpKind>(n.kind())) {
    case OpKind::kConv: case OpKind::kConvTranspose: case OpKind::kMaxPool:
    case OpKind::kAveragePool: case OpKind::kGemm: case OpKind::kMatMul:
      return mps_lower_products(n);
    case OpKind::kLayerNormalization: case OpKind::kInstanceNormalization:
    case OpKind::kBatchNormalization: case OpKind::kGlobalAveragePool: case OpKind::kReduceMean:
    case OpKind::kReduceSum: case OpKind::kReduceMax: case OpKind::kReduceMin:
    case OpKind::kReduceProd: case OpKind::kSoftmax: case OpKind::kArgMax:
      return mps_lower_norm(n);
    case OpKind::kFlatten: case OpKind::kIdentity: case OpKind::kTranspose: case OpKind::kConcat:
    case OpKind::kSplit: case OpKind::kSlice: case OpKind::kGather: case OpKind::kExpand:
    case OpKind::kPad: case OpKind::kDepthToSpace: case OpKind::kSpaceToDepth:
    case OpKind::kScatterND:
      return mps_lower_layout(n);
    case OpKind::kResize:
      return mps_lower_resize(n);
    case OpKind::kDeformUnfold: case OpKind::kDetrTopK: case OpKind::kMaskToBoxLogit:
    case OpKind::kGridSample:
      return mps_lower_detection(n);
    default:
      return mps_lower_math(n);
  }
}

}  // namespace

bool mps_lower_node(MpsLowerContext& ctx, const GraphNode& node, std::string* error) {
  const std::string name(op_kind_name(node.op_kind));
  if (!mps_kind_lowered(node.op_kind)) {
    *error = kMpsUnsupportedOp;
    return false;
  }
  MpsNode n(ctx, node);
  for (uint32_t k = 0; k < node.input_count; ++k) {
    if (n.has_input(k) && !n.in(k).valid()) {
      *error = name + " reads value " + std::to_string(node.inputs[k]) +
               " before any node computes it";
      return false;
    }
  }
  Graph& g = *ctx.graph;
  if (!lower_family(n)) {
    *error = n.error().empty() ? std::string(kMpsUnsupportedOp) : n.error();
    return false;
  }
  for (uint32_t k = 0; k < node.output_count; ++k) {
    const GraphValue& v = n.out_value(k);
    GraphTensor t = (*ctx.values)[node.outputs[k]].tensor;
    if (!g.ok()) break;
    if (!t.valid()) {
      *error = name + " left output " + std::to_string(k) + " without a tensor";
      return false;
    }
    if (mps_value_sizeless(v)) continue;
    const GraphShape want = mps_shape(v.rank, v.dims);
    const GraphShape have = g.shape(t);
    if (have == want) continue;
    // Row-major data of the same size is the same tensor under another shape.
    if (product(have) != product(want)) {
      *error = name + " computes " + shape_text(have) + " where the graph declares " +
               shape_text(want);
      return false;
    }
    n.set_out(k, g.reshape(t, want));
  }
  if (!g.ok()) {
    *error = name + ": " + g.error();
    return false;
  }
  return true;
}

}  // namespace vexa
