// Graph construction: tensors, sources, element-wise operations and the run entry points.
// Layout operations are in graph_layout_ops.cpp, reductions and products in
// graph_compute_ops.cpp, compilation in graph_compile.cpp.
#include "platform/graph.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "core/types.h"
#include "platform/graph_executable.h"
#include "platform/graph_shapes.h"
#include "platform/software_device.h"

namespace vexa {

namespace {

std::atomic<uint32_t> g_next_serial{1};

uint32_t next_serial() {
  uint32_t s = g_next_serial.fetch_add(1, std::memory_order_relaxed);
  // 0 marks invalid tensors; after a wrap, skip it.
  if (s == 0) s = g_next_serial.fetch_add(1, std::memory_order_relaxed);
  return s;
}

constexpr const char* kOpNames[] = {
    "placeholder", "constant",
    "add", "subtract", "multiply", "divide", "maximum", "minimum", "modulo",
    "equal", "not_equal", "less", "less_equal", "greater", "greater_equal", "logical_and",
    "logical_or",
    "identity", "relu", "sigmoid", "erf", "sqrt", "exp", "log", "tanh", "sin", "cos", "abs",
    "negative", "floor", "ceil", "round", "reciprocal", "truncate", "logical_not",
    "leaky_relu", "clamp", "select", "cast",
    "reshape", "permute", "slice", "concat", "broadcast", "gather", "gather_along_axis",
    "scatter_nd", "resize",
    "reduce_sum", "mean", "reduce_max", "reduce_min", "reduce_product", "arg_max", "softmax",
    "top_k",
    "matmul", "conv2d", "conv_transpose2d", "max_pool2d", "avg_pool2d",
    "scaled_dot_product_attention",
    "layer_norm", "gelu", "scaled_add", "hard_sigmoid", "hard_swish", "stored_matmul",
};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == kGraphOpKindCount,
              "one name per operation kind");

bool is_comparison(GraphOpKind k) {
  return k == GraphOpKind::kEqual || k == GraphOpKind::kNotEqual || k == GraphOpKind::kLess ||
         k == GraphOpKind::kLessEqual || k == GraphOpKind::kGreater ||
         k == GraphOpKind::kGreaterEqual;
}

bool is_logic(GraphOpKind k) {
  return k == GraphOpKind::kLogicalAnd || k == GraphOpKind::kLogicalOr ||
         k == GraphOpKind::kLogicalNot;
}

// Unary kinds defined on integers as well as floats.
bool unary_takes_integers(GraphOpKind k) {
  return k == GraphOpKind::kIdentity || k == GraphOpKind::kAbs || k == GraphOpKind::kNegative ||
         k == GraphOpKind::kRelu;
}

}  // namespace

std::string_view graph_op_name(GraphOpKind kind) {
  const uint32_t k = static_cast<uint32_t>(kind);
  return k < kGraphOpKindCount ? kOpNames[k] : "unknown";
}

struct Graph::CachedExecutable {
  std::vector<std::pair<GraphTensor, GraphShapedType>> feeds;
  std::vector<GraphTensor> targets;
  std::shared_ptr<GraphExecutable> executable;
};

Graph::Graph() : serial_(next_serial()) {}
Graph::~Graph() = default;

bool Graph::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool Graph::contains(GraphTensor t) const {
  return t.graph == serial_ && t.index < tensors_.size();
}

GraphShape Graph::shape(GraphTensor t) const {
  return contains(t) ? tensors_[t.index].shape : GraphShape{};
}

DeviceDataType Graph::type(GraphTensor t) const {
  return contains(t) ? tensors_[t.index].type : DeviceDataType::kInvalid;
}

// An input of `op` is usable when it is a tensor of this graph. Invalid tensors come from an
// earlier failure, which already holds the message.
bool Graph::usable(GraphTensor t, std::string_view op) {
  if (!t.valid()) {
    return fail(std::string(op) + ": an input is the result of a failed operation");
  }
  if (!contains(t)) return fail(std::string(op) + ": an input belongs to another graph");
  return true;
}

bool Graph::dim_of(std::string_view op, std::string_view word, int64_t axis, uint64_t rank,
                   uint32_t* out) {
  if (graph_normalise_axis(axis, rank, out)) return true;
  return fail(std::string(op) + ": " + std::string(word) + " " + std::to_string(axis) +
              " is not a dim of rank " + std::to_string(rank));
}

GraphTensor Graph::add_node(GraphOpKind kind, std::vector<uint32_t> inputs, GraphNodeAttrs attrs,
                            DeviceDataType type, GraphShape shape) {
  const std::string_view op = graph_op_name(kind);
  if (shape.size() > kGraphMaxRank) {
    fail(std::string(op) + ": result rank " + std::to_string(shape.size()) + " is above " +
         std::to_string(kGraphMaxRank));
    return {};
  }
  uint64_t elements = 0;
  if (!shape_element_count(shape, kMaxTensorElements, &elements)) {
    fail(std::string(op) + ": shape " + graph_shape_text(shape) +
         " has a negative dim or more than 2^30 elements");
    return {};
  }
  if (tensors_.size() >= kGraphMaxTensors) {
    fail(std::string(op) + ": the graph holds the most tensors it can");
    return {};
  }
  GraphOpNode node;
  node.kind = kind;
  node.inputs = std::move(inputs);
  node.attrs = std::move(attrs);
  const uint32_t index = static_cast<uint32_t>(tensors_.size());
  node.outputs.push_back(index);
  GraphTensorInfo info;
  info.node = static_cast<uint32_t>(nodes_.size());
  info.type = type;
  info.shape = std::move(shape);
  info.elements = elements;
  nodes_.push_back(std::move(node));
  tensors_.push_back(std::move(info));
  return GraphTensor{serial_, index};
}

// ---- sources ----

GraphTensor Graph::placeholder(const GraphShape& shape, DeviceDataType type, std::string_view name) {
  if (!device_data_type_valid(type)) {
    fail("placeholder: unknown data type");
    return {};
  }
  GraphTensor t = add_node(GraphOpKind::kPlaceholder, {}, {}, type, shape);
  if (t.valid()) tensors_[t.index].name = std::string(name);
  return t;
}

GraphTensor Graph::constant_values(GraphValues values, const GraphShape& shape,
                                   DeviceDataType type) {
  device_values_normalise(type, values.data(), values.size());
  GraphNodeAttrs attrs;
  attrs.values = std::make_shared<const GraphValues>(std::move(values));
  return add_node(GraphOpKind::kConstant, {}, std::move(attrs), type, shape);
}

GraphTensor Graph::constant_data(const void* bytes, uint64_t length, const GraphShape& shape,
                                 DeviceDataType type) {
  const uint64_t size = device_data_type_bytes(type);
  uint64_t elements = 0;
  if (size == 0) {
    fail("constant: unknown data type");
    return {};
  }
  if (shape.size() > kGraphMaxRank || !shape_element_count(shape, kMaxTensorElements, &elements)) {
    fail("constant: shape " + graph_shape_text(shape) + " is not a tensor shape");
    return {};
  }
  if (length != elements * size || (bytes == nullptr && length != 0)) {
    fail("constant: " + std::to_string(length) + " bytes given for " + std::to_string(elements) +
         " elements of " + std::string(device_data_type_name(type)));
    return {};
  }
  GraphValues values(elements);
  device_values_to_f32(type, bytes, values.data(), elements);
  return constant_values(std::move(values), shape, type);
}

GraphTensor Graph::constant_scalar(double value, DeviceDataType type) {
  return constant_fill(value, {}, type);
}

GraphTensor Graph::constant_fill(double value, const GraphShape& shape, DeviceDataType type) {
  uint64_t elements = 0;
  if (!device_data_type_valid(type)) {
    fail("constant: unknown data type");
    return {};
  }
  if (shape.size() > kGraphMaxRank || !shape_element_count(shape, kMaxTensorElements, &elements)) {
    fail("constant: shape " + graph_shape_text(shape) + " is not a tensor shape");
    return {};
  }
  return constant_values(GraphValues(elements, static_cast<float>(value)), shape, type);
}

// ---- element-wise ----

GraphTensor Graph::binary(GraphOpKind kind, GraphTensor a, GraphTensor b) {
  const std::string op(graph_op_name(kind));
  if (!usable(a, op) || !usable(b, op)) return {};
  const GraphTensorInfo& ia = tensors_[a.index];
  const GraphTensorInfo& ib = tensors_[b.index];
  if (ia.type != ib.type) {
    fail(op + ": operand types " + std::string(device_data_type_name(ia.type)) + " and " +
         std::string(device_data_type_name(ib.type)) + " differ");
    return {};
  }
  // Logic takes bool operands; arithmetic takes numbers; comparisons take either.
  const bool logic = is_logic(kind);
  const bool bool_operands = ia.type == DeviceDataType::kBool;
  if ((logic && !bool_operands) || (!logic && !is_comparison(kind) && bool_operands)) {
    fail(op + ": " + std::string(device_data_type_name(ia.type)) + " operands are not supported");
    return {};
  }
  GraphShape out;
  if (!graph_broadcast_shapes(ia.shape, ib.shape, &out)) {
    fail(op + ": shapes " + graph_shape_text(ia.shape) + " and " + graph_shape_text(ib.shape) +
         " do not broadcast");
    return {};
  }
  const DeviceDataType type = is_comparison(kind) || logic ? DeviceDataType::kBool : ia.type;
  return add_node(kind, {a.index, b.index}, {}, type, std::move(out));
}

GraphTensor Graph::add(GraphTensor a, GraphTensor b) { return binary(GraphOpKind::kAdd, a, b); }
GraphTensor Graph::subtract(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kSubtract, a, b);
}
GraphTensor Graph::multiply(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kMultiply, a, b);
}
GraphTensor Graph::divide(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kDivide, a, b);
}
GraphTensor Graph::maximum(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kMaximum, a, b);
}
GraphTensor Graph::minimum(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kMinimum, a, b);
}
GraphTensor Graph::modulo(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kModulo, a, b);
}
GraphTensor Graph::equal(GraphTensor a, GraphTensor b) { return binary(GraphOpKind::kEqual, a, b); }
GraphTensor Graph::not_equal(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kNotEqual, a, b);
}
GraphTensor Graph::less(GraphTensor a, GraphTensor b) { return binary(GraphOpKind::kLess, a, b); }
GraphTensor Graph::less_equal(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kLessEqual, a, b);
}
GraphTensor Graph::greater(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kGreater, a, b);
}
GraphTensor Graph::greater_equal(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kGreaterEqual, a, b);
}
GraphTensor Graph::logical_and(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kLogicalAnd, a, b);
}
GraphTensor Graph::logical_or(GraphTensor a, GraphTensor b) {
  return binary(GraphOpKind::kLogicalOr, a, b);
}

GraphTensor Graph::unary(GraphOpKind kind, GraphTensor x) {
  const std::string op(graph_op_name(kind));
  if (!usable(x, op)) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (kind == GraphOpKind::kLogicalNot) {
    return add_node(kind, {x.index}, {}, DeviceDataType::kBool, ix.shape);
  }
  const bool ok = device_data_type_is_float(ix.type) ||
                  (unary_takes_integers(kind) && device_data_type_is_integer(ix.type)) ||
                  kind == GraphOpKind::kIdentity;
  if (!ok) {
    fail(op + ": " + std::string(device_data_type_name(ix.type)) + " tensors are not supported");
    return {};
  }
  return add_node(kind, {x.index}, {}, ix.type, ix.shape);
}

GraphTensor Graph::identity(GraphTensor x) { return unary(GraphOpKind::kIdentity, x); }
GraphTensor Graph::relu(GraphTensor x) { return unary(GraphOpKind::kRelu, x); }
GraphTensor Graph::sigmoid(GraphTensor x) { return unary(GraphOpKind::kSigmoid, x); }
GraphTensor Graph::erf(GraphTensor x) { return unary(GraphOpKind::kErf, x); }
GraphTensor Graph::sqrt(GraphTensor x) { return unary(GraphOpKind::kSqrt, x); }
GraphTensor Graph::exp(GraphTensor x) { return unary(GraphOpKind::kExp, x); }
GraphTensor Graph::log(GraphTensor x) { return unary(GraphOpKind::kLog, x); }
GraphTensor Graph::tanh(GraphTensor x) { return unary(GraphOpKind::kTanh, x); }
GraphTensor Graph::sin(GraphTensor x) { return unary(GraphOpKind::kSin, x); }
GraphTensor Graph::cos(GraphTensor x) { return unary(GraphOpKind::kCos, x); }
GraphTensor Graph::abs(GraphTensor x) { return unary(GraphOpKind::kAbs, x); }
GraphTensor Graph::negative(GraphTensor x) { return unary(GraphOpKind::kNegative, x); }
GraphTensor Graph::floor(GraphTensor x) { return unary(GraphOpKind::kFloor, x); }
GraphTensor Graph::ceil(GraphTensor x) { return unary(GraphOpKind::kCeil, x); }
GraphTensor Graph::round(GraphTensor x) { return unary(GraphOpKind::kRound, x); }
GraphTensor Graph::reciprocal(GraphTensor x) { return unary(GraphOpKind::kReciprocal, x); }
GraphTensor Graph::truncate(GraphTensor x) { return unary(GraphOpKind::kTruncate, x); }
GraphTensor Graph::logical_not(GraphTensor x) { return unary(GraphOpKind::kLogicalNot, x); }

GraphTensor Graph::leaky_relu(GraphTensor x, float alpha) {
  if (!usable(x, "leaky_relu")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (!device_data_type_is_float(ix.type)) {
    fail("leaky_relu: " + std::string(device_data_type_name(ix.type)) +
         " tensors are not supported");
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.alpha = alpha;
  return add_node(GraphOpKind::kLeakyRelu, {x.index}, std::move(attrs), ix.type, ix.shape);
}

GraphTensor Graph::clamp(GraphTensor x, GraphTensor lo, GraphTensor hi) {
  if (!usable(x, "clamp") || !usable(lo, "clamp") || !usable(hi, "clamp")) return {};
  const GraphTensorInfo& ix = tensors_[x.index];
  if (tensors_[lo.index].type != ix.type || tensors_[hi.index].type != ix.type) {
    fail("clamp: bounds must have the type of the tensor");
    return {};
  }
  if (ix.type == DeviceDataType::kBool) {
    fail("clamp: bool tensors are not supported");
    return {};
  }
  if (!graph_broadcasts_to(tensors_[lo.index].shape, ix.shape) ||
      !graph_broadcasts_to(tensors_[hi.index].shape, ix.shape)) {
    fail("clamp: bounds of shapes " + graph_shape_text(tensors_[lo.index].shape) + " and " +
         graph_shape_text(tensors_[hi.index].shape) + " do not broadcast to " +
         graph_shape_text(ix.shape));
    return {};
  }
  return add_node(GraphOpKind::kClamp, {x.index, lo.index, hi.index}, {}, ix.type, ix.shape);
}

GraphTensor Graph::select(GraphTensor predicate, GraphTensor on_true, GraphTensor on_false) {
  if (!usable(predicate, "select") || !usable(on_true, "select") || !usable(on_false, "select"))
    return {};
  const GraphTensorInfo& it = tensors_[on_true.index];
  const GraphTensorInfo& iff = tensors_[on_false.index];
  if (it.type != iff.type) {
    fail("select: the two choices have types " + std::string(device_data_type_name(it.type)) +
         " and " + std::string(device_data_type_name(iff.type)));
    return {};
  }
  GraphShape out, both;
  if (!graph_broadcast_shapes(it.shape, iff.shape, &both) ||
      !graph_broadcast_shapes(tensors_[predicate.index].shape, both, &out)) {
    fail("select: shapes " + graph_shape_text(tensors_[predicate.index].shape) + ", " +
         graph_shape_text(it.shape) + " and " + graph_shape_text(iff.shape) +
         " do not broadcast");
    return {};
  }
  return add_node(GraphOpKind::kSelect, {predicate.index, on_true.index, on_false.index}, {},
                  it.type, std::move(out));
}

GraphTensor Graph::cast(GraphTensor x, DeviceDataType type) {
  if (!usable(x, "cast")) return {};
  if (!device_data_type_valid(type)) {
    fail("cast: unknown target data type");
    return {};
  }
  GraphNodeAttrs attrs;
  attrs.type = type;
  return add_node(GraphOpKind::kCast, {x.index}, std::move(attrs), type, tensors_[x.index].shape);
}

void Graph::rewire_input_for_testing(GraphTensor of, uint32_t k, GraphTensor from) {
  if (!contains(of)) return;
  GraphOpNode& node = nodes_[tensors_[of.index].node];
  if (k < node.inputs.size()) node.inputs[k] = from.index;
}

// ---- running ----

std::shared_ptr<GraphExecutable> Graph::cached(const GraphTensorDataMap& feeds,
                                               const GraphTensorDataMap& results,
                                               std::string* error) {
  std::vector<std::pair<GraphTensor, GraphShapedType>> key;
  key.reserve(feeds.size());
  for (const auto& [t, data] : feeds) key.push_back({t, GraphShapedType{data.shape(), data.type()}});
  std::vector<GraphTensor> targets;
  targets.reserve(results.size());
  for (const auto& [t, data] : results) targets.push_back(t);
  for (const auto& c : cache_) {
    if (c->targets != targets || c->feeds.size() != key.size()) continue;
    bool same = true;
    for (size_t i = 0; i < key.size() && same; ++i) {
      same = c->feeds[i].first == key[i].first &&
             c->feeds[i].second.shape == key[i].second.shape &&
             c->feeds[i].second.type == key[i].second.type;
    }
    if (same) return c->executable;
  }
  GraphShapedTypeMap types;
  for (const auto& [t, st] : key) types[t] = st;
  GraphCompilationDescriptor descriptor;
  auto exe = compile(GraphDevice(device_system_default()), types, targets, descriptor, error);
  if (exe == nullptr) return nullptr;
  auto entry = std::make_unique<CachedExecutable>();
  entry->feeds = std::move(key);
  entry->targets = std::move(targets);
  entry->executable = exe;
  cache_.push_back(std::move(entry));
  return exe;
}

namespace {

// The executable's input and result lists from the dictionaries, in its orders.
bool ordered_data(const GraphExecutable& exe, const GraphTensorDataMap& feeds,
                  const GraphTensorDataMap& results, std::vector<GraphTensorData>* inputs,
                  std::vector<GraphTensorData>* outputs) {
  for (GraphTensor t : exe.feed_tensors()) {
    auto it = feeds.find(t);
    if (it == feeds.end()) return false;
    inputs->push_back(it->second);
  }
  for (GraphTensor t : exe.target_tensors()) {
    auto it = results.find(t);
    if (it == results.end()) return false;
    outputs->push_back(it->second);
  }
  return true;
}

}  // namespace

bool Graph::run(CommandQueue& queue, const GraphTensorDataMap& feeds,
                const GraphTensorDataMap& results, std::string* error) {
  return graph_run_to_completion(
      queue, [&](CommandBuffer& cb) { return encode(cb, feeds, results, error); }, error);
}

bool Graph::encode(CommandBuffer& command_buffer, const GraphTensorDataMap& feeds,
                   const GraphTensorDataMap& results, std::string* error) {
  if (results.empty()) {
    *error = "graph run has no results to compute";
    return false;
  }
  std::shared_ptr<GraphExecutable> exe = cached(feeds, results, error);
  if (exe == nullptr) return false;
  std::vector<GraphTensorData> inputs, outputs;
  if (!ordered_data(*exe, feeds, results, &inputs, &outputs)) {
    *error = "graph run: the feeds do not match the compiled graph";
    return false;
  }
  return exe->encode(command_buffer, inputs, outputs, error);
}

}  // namespace vexa
