// The graph library of the software device: a tensor graph built op by op, with shape and type
// inference that reports errors instead of aborting, compiled into executables that run on the
// CPU engine's kernels (installed by the layer above, see graph_kernels.h).
//
//   Graph g;
//   GraphTensor x = g.placeholder({1, 3, 224, 224}, DeviceDataType::kFloat32, "input");
//   GraphTensor w = g.constant_data(weights, bytes, {64, 3, 7, 7}, DeviceDataType::kFloat32);
//   GraphConv2dDescriptor conv;  conv.stride_x = conv.stride_y = 2;  conv.pad_left = ... = 3;
//   GraphTensor y = g.relu(g.conv2d(x, w, conv));
//   if (!g.ok()) report(g.error());            // the first failure, e.g. a shape mismatch
//   GraphTensorDataMap feeds{{x, GraphTensorData(in_buffer, {1, 3, 224, 224}, kFloat32)}};
//   GraphTensorDataMap results{{y, GraphTensorData(out_buffer, g.shape(y), kFloat32)}};
//   std::string error;
//   if (!g.run(*queue, feeds, results, &error)) report(error);
//
// Tensors. A GraphTensor names one tensor of one graph; every operation returns a new tensor
// (an invalid one when it fails) and takes tensors of the same graph only. A failed operation
// records the first error of the graph (a lower-case sentence naming the operation), and any
// operation given an invalid tensor fails without replacing that message. Shapes are static,
// row-major, at most kGraphMaxRank dims, each dim >= 0, at most kMaxTensorElements elements.
//
// Numerics. Values are computed as f32. An operation whose result is float16 rounds each
// output element to the nearest half (ties to even); integer results are truncated toward zero
// and saturated, bool results are 0 or 1. Binary operations broadcast like numpy: shapes are
// aligned at their last dims and each pair must be equal or contain a 1.
//
// Execution. run() and encode() compile (and cache) an executable for the feeds' types and the
// results' tensors; compile() gives one explicitly (graph_executable.h). Results are written
// into the caller's tensor data, converted to its data type.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/device_data_type.h"
#include "platform/graph_tensor_data.h"

namespace vexa {

class CommandBuffer;
class CommandQueue;
class GraphExecutable;
struct GraphCompilationDescriptor;
class GraphDevice;

inline constexpr uint32_t kGraphMaxRank = 8;
// Inputs of one concatenation node; longer lists become a tree of them.
inline constexpr uint32_t kGraphConcatMaxInputs = 8;
// Tensors one graph may hold.
inline constexpr uint32_t kGraphMaxTensors = uint32_t{1} << 22;

using GraphShape = std::vector<int64_t>;

// Constant values start on a cache line, as the kernels' vector loads and the GEMM libraries
// like their operands.
template <class T>
struct GraphAlignedAllocator {
  using value_type = T;
  static constexpr size_t kAlignBytes = 64;
  GraphAlignedAllocator() = default;
  template <class U>
  GraphAlignedAllocator(const GraphAlignedAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T) - kAlignBytes) throw std::bad_alloc();
    const size_t bytes = (n * sizeof(T) + kAlignBytes - 1) / kAlignBytes * kAlignBytes;
    void* p = std::aligned_alloc(kAlignBytes, bytes == 0 ? kAlignBytes : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { std::free(p); }
  template <class U>
  bool operator==(const GraphAlignedAllocator<U>&) const { return true; }
};
using GraphValues = std::vector<float, GraphAlignedAllocator<float>>;

// One tensor of one graph. Ordered, so it can key maps (the feeds and results dictionaries).
struct GraphTensor {
  uint32_t graph = 0;  // the owning graph's serial number; 0 for an invalid tensor
  uint32_t index = 0;

  bool valid() const { return graph != 0; }
  friend bool operator==(const GraphTensor& a, const GraphTensor& b) {
    return a.graph == b.graph && a.index == b.index;
  }
  friend bool operator<(const GraphTensor& a, const GraphTensor& b) {
    return a.graph != b.graph ? a.graph < b.graph : a.index < b.index;
  }
};

using GraphTensorDataMap = std::map<GraphTensor, GraphTensorData>;

// A shape with a data type (what compilation is told about each feed).
struct GraphShapedType {
  GraphShape shape;
  DeviceDataType type = DeviceDataType::kInvalid;
};
using GraphShapedTypeMap = std::map<GraphTensor, GraphShapedType>;

// Layout numbers as callers pass them.
inline constexpr uint32_t kGraphLayoutNCHW = 0;
inline constexpr uint32_t kGraphLayoutNHWC = 1;
inline constexpr uint32_t kGraphWeightsLayoutOIHW = 2;
inline constexpr uint32_t kGraphPaddingExplicit = 0;

struct GraphConv2dDescriptor {
  int64_t stride_x = 1, stride_y = 1;
  int64_t dilation_x = 1, dilation_y = 1;
  int64_t groups = 1;
  int64_t pad_left = 0, pad_right = 0, pad_top = 0, pad_bottom = 0;
  uint32_t padding_style = kGraphPaddingExplicit;  // only explicit padding is supported
  uint32_t data_layout = kGraphLayoutNCHW;         // only NCHW
  uint32_t weights_layout = kGraphWeightsLayoutOIHW;  // only OIHW
};

struct GraphPool2dDescriptor {
  int64_t kernel_width = 1, kernel_height = 1;
  int64_t stride_x = 1, stride_y = 1;
  int64_t dilation_x = 1, dilation_y = 1;  // only 1
  int64_t pad_left = 0, pad_right = 0, pad_top = 0, pad_bottom = 0;
  uint32_t padding_style = kGraphPaddingExplicit;
  uint32_t data_layout = kGraphLayoutNCHW;
  // Average pooling divides by the window's in-bounds taps unless this is set, when padding
  // counts as zeros in a full window.
  bool include_zero_pad_to_average = false;
};

enum class GraphResizeMode : uint32_t { kNearest = 0, kBilinear = 1 };

// Scatter modes, numbered as callers pass them.
enum class GraphScatterMode : uint32_t {
  kAdd = 0, kSub = 1, kMul = 2, kDiv = 3, kMin = 4, kMax = 5, kSet = 6,
};

// Every operation kind. The last five are made only by compilation (fused chains).
enum class GraphOpKind : uint32_t {
  kPlaceholder, kConstant,
  // binary, broadcasting
  kAdd, kSubtract, kMultiply, kDivide, kMaximum, kMinimum, kModulo,
  kEqual, kNotEqual, kLess, kLessEqual, kGreater, kGreaterEqual, kLogicalAnd, kLogicalOr,
  // unary
  kIdentity, kRelu, kSigmoid, kErf, kSqrt, kExp, kLog, kTanh, kSin, kCos, kAbs, kNegative,
  kFloor, kCeil, kRound, kReciprocal, kTruncate, kLogicalNot,
  kLeakyRelu, kClamp, kSelect, kCast,
  // layout
  kReshape, kPermute, kSlice, kConcat, kBroadcast, kGather, kGatherAlongAxis, kScatterNd,
  kResize,
  // reductions
  kReduceSum, kReduceMean, kReduceMax, kReduceMin, kReduceProduct, kArgMax, kSoftmax, kTopK,
  // products and windows
  kMatMul, kConv2d, kConvTranspose2d, kMaxPool2d, kAvgPool2d, kAttention,
  // compiled chains
  kFusedLayerNorm, kFusedGelu, kFusedScaledAdd, kFusedHardSigmoid, kFusedHardSwish,
  kFusedStoredMatMul,
  kCount,
};
inline constexpr uint32_t kGraphOpKindCount = static_cast<uint32_t>(GraphOpKind::kCount);

std::string_view graph_op_name(GraphOpKind kind);

// Attributes of one node; each kind reads the fields its comment in graph.cpp names.
struct GraphNodeAttrs {
  std::vector<int64_t> ints;  // axes, permutation, target shape
  int64_t axis = 0;
  int64_t start = 0, length = 0;
  int64_t batch_dims = 0;
  // leaky slope, attention scale, layer-norm epsilon, GELU divisor, scaled-add factor, fused hard
  // sigmoid's slope
  float alpha = 0.0f;
  float beta = 0.0f;  // fused hard sigmoid: the offset
  // Fused layer norm and GELU written with a division (x / sqrt(var + eps), x / divisor): the
  // kernel rounds every step as those nodes do.
  bool divide_form = false;
  DeviceDataType type = DeviceDataType::kInvalid;  // cast target
  GraphConv2dDescriptor conv;
  GraphPool2dDescriptor pool;
  GraphResizeMode resize_mode = GraphResizeMode::kNearest;
  bool centre_result = false, align_corners = false;
  GraphScatterMode scatter_mode = GraphScatterMode::kSet;
  // constants: the values as f32 (already held at the tensor's type)
  std::shared_ptr<const GraphValues> values;
};

struct GraphOpNode {
  GraphOpKind kind = GraphOpKind::kIdentity;
  std::vector<uint32_t> inputs;   // tensor indices; kGraphAbsent for an omitted optional input
  std::vector<uint32_t> outputs;  // tensor indices
  GraphNodeAttrs attrs;
};
inline constexpr uint32_t kGraphAbsent = UINT32_MAX;

struct GraphTensorInfo {
  uint32_t node = 0;  // producing node
  DeviceDataType type = DeviceDataType::kInvalid;
  GraphShape shape;
  uint64_t elements = 0;
  std::string name;  // placeholders only
};

struct GraphTensorPair {
  GraphTensor first, second;
};

class Graph {
 public:
  Graph();
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // ---- errors ----
  bool ok() const { return error_.empty(); }
  // The first failure's message; empty while every operation succeeded.
  const std::string& error() const { return error_; }
  void clear_error() { error_.clear(); }

  // ---- tensors ----
  bool contains(GraphTensor t) const;
  // Shape and type of a tensor; empty and kInvalid for a tensor of another graph.
  GraphShape shape(GraphTensor t) const;
  DeviceDataType type(GraphTensor t) const;
  uint32_t tensor_count() const { return static_cast<uint32_t>(tensors_.size()); }
  uint32_t serial() const { return serial_; }

  // ---- sources ----
  GraphTensor placeholder(const GraphShape& shape, DeviceDataType type, std::string_view name = {});
  // `bytes` holds exactly the shape's elements stored as `type`; copied.
  GraphTensor constant_data(const void* bytes, uint64_t length, const GraphShape& shape,
                            DeviceDataType type);
  // A rank-0 tensor, and one of the given shape filled with the value.
  GraphTensor constant_scalar(double value, DeviceDataType type);
  GraphTensor constant_fill(double value, const GraphShape& shape, DeviceDataType type);

  // ---- element-wise, broadcasting; operands of one type ----
  GraphTensor add(GraphTensor a, GraphTensor b);
  GraphTensor subtract(GraphTensor a, GraphTensor b);
  GraphTensor multiply(GraphTensor a, GraphTensor b);
  GraphTensor divide(GraphTensor a, GraphTensor b);
  GraphTensor maximum(GraphTensor a, GraphTensor b);
  GraphTensor minimum(GraphTensor a, GraphTensor b);
  // Remainder with the sign of the dividend (a - trunc(a / b) * b).
  GraphTensor modulo(GraphTensor a, GraphTensor b);
  // Comparisons and logic give bool.
  GraphTensor equal(GraphTensor a, GraphTensor b);
  GraphTensor not_equal(GraphTensor a, GraphTensor b);
  GraphTensor less(GraphTensor a, GraphTensor b);
  GraphTensor less_equal(GraphTensor a, GraphTensor b);
  GraphTensor greater(GraphTensor a, GraphTensor b);
  GraphTensor greater_equal(GraphTensor a, GraphTensor b);
  GraphTensor logical_and(GraphTensor a, GraphTensor b);
  GraphTensor logical_or(GraphTensor a, GraphTensor b);

  // ---- unary (float tensors, except identity, abs, negative, relu and logical_not) ----
  GraphTensor identity(GraphTensor x);
  GraphTensor relu(GraphTensor x);
  GraphTensor sigmoid(GraphTensor x);
  GraphTensor erf(GraphTensor x);
  GraphTensor sqrt(GraphTensor x);
  GraphTensor exp(GraphTensor x);
  GraphTensor log(GraphTensor x);
  GraphTensor tanh(GraphTensor x);
  GraphTensor sin(GraphTensor x);
  GraphTensor cos(GraphTensor x);
  GraphTensor abs(GraphTensor x);
  GraphTensor negative(GraphTensor x);
  GraphTensor floor(GraphTensor x);
  GraphTensor ceil(GraphTensor x);
  // To the nearest integer, halves to the even one.
  GraphTensor round(GraphTensor x);
  GraphTensor reciprocal(GraphTensor x);
  GraphTensor truncate(GraphTensor x);
  GraphTensor logical_not(GraphTensor x);
  // x for x >= 0, alpha * x below.
  GraphTensor leaky_relu(GraphTensor x, float alpha);
  // lo where x < lo, hi where x > hi, else x (NaN stays); bounds broadcast to x's shape.
  GraphTensor clamp(GraphTensor x, GraphTensor lo, GraphTensor hi);
  // predicate != 0 picks on_true; all three broadcast together.
  GraphTensor select(GraphTensor predicate, GraphTensor on_true, GraphTensor on_false);
  GraphTensor cast(GraphTensor x, DeviceDataType type);

  // ---- layout ----
  // One dim may be -1: the count the others leave.
  GraphTensor reshape(GraphTensor x, const GraphShape& shape);
  GraphTensor transpose(GraphTensor x, int64_t dim, int64_t with_dim);
  // Output dim k is input dim permutation[k].
  GraphTensor permute(GraphTensor x, const std::vector<int64_t>& permutation);
  // `length` entries of `dim` from `start` (negative dims and starts count from the end).
  GraphTensor slice(GraphTensor x, int64_t dim, int64_t start, int64_t length);
  GraphTensor concat(const std::vector<GraphTensor>& tensors, int64_t dim);
  GraphTensor broadcast(GraphTensor x, const GraphShape& shape);
  // Entries of x along `axis` at each index: x.shape[:axis] + indices.shape + x.shape[axis+1:].
  // Indices are int32 or int64; a negative one counts from the end, then it is clamped.
  GraphTensor gather(GraphTensor x, GraphTensor indices, int64_t axis, int64_t batch_dims = 0);
  // out[..., i, ...] = x[..., indices[..., i, ...], ...] on `axis`; indices have x's rank and
  // broadcast to it on the other dims, the result has indices' extent on the axis.
  GraphTensor gather_along_axis(GraphTensor x, GraphTensor indices, int64_t axis);
  // data with the index tuples (indices' last dim) replaced by, or combined with, updates.
  GraphTensor scatter_nd(GraphTensor data, GraphTensor updates, GraphTensor indices,
                         int64_t batch_dims, GraphScatterMode mode);
  // NCHW (layout 0) only; size is {height, width}.
  GraphTensor resize(GraphTensor x, int64_t height, int64_t width, GraphResizeMode mode,
                     bool centre_result, bool align_corners, uint32_t layout = kGraphLayoutNCHW);

  // ---- reductions: reduced dims are kept with extent 1 ----
  GraphTensor reduce_sum(GraphTensor x, const std::vector<int64_t>& axes);
  GraphTensor mean(GraphTensor x, const std::vector<int64_t>& axes);
  GraphTensor reduce_max(GraphTensor x, const std::vector<int64_t>& axes);
  GraphTensor reduce_min(GraphTensor x, const std::vector<int64_t>& axes);
  GraphTensor reduce_product(GraphTensor x, const std::vector<int64_t>& axes);
  // int32 index of the greatest entry (the first among equals), the axis kept as 1.
  GraphTensor arg_max(GraphTensor x, int64_t axis);
  GraphTensor softmax(GraphTensor x, int64_t axis);
  // The k largest entries of the last dim, in descending order, and their int32 indices.
  GraphTensorPair top_k(GraphTensor x, int64_t k);

  // ---- products and windows (float tensors) ----
  // Batched over the leading dims (broadcast); both operands of rank 2 or more.
  GraphTensor matmul(GraphTensor a, GraphTensor b);
  // x NCHW, weights OIHW (O x C/groups x KH x KW).
  GraphTensor conv2d(GraphTensor x, GraphTensor weights, const GraphConv2dDescriptor& d);
  // weights C x O/groups x KH x KW (C: x's channels); output_shape NCHW.
  GraphTensor conv_transpose2d(GraphTensor x, GraphTensor weights, const GraphShape& output_shape,
                               const GraphConv2dDescriptor& d);
  GraphTensor max_pool2d(GraphTensor x, const GraphPool2dDescriptor& d);
  GraphTensor avg_pool2d(GraphTensor x, const GraphPool2dDescriptor& d);
  // softmax(q k^T * scale + mask) v over the last two dims: q [..., S, D], k [..., T, D],
  // v [..., T, Dv]; the leading dims of q, k and v equal; the mask (GraphTensor{} for none)
  // broadcasts to [..., S, T].
  GraphTensor scaled_dot_product_attention(GraphTensor q, GraphTensor k, GraphTensor v,
                                           GraphTensor mask, float scale);

  // ---- running ----
  // Compiles (once per set of feed types and result tensors), then runs synchronously on a
  // command buffer of the queue. False with *error set when compiling or running fails.
  bool run(CommandQueue& queue, const GraphTensorDataMap& feeds, const GraphTensorDataMap& results,
           std::string* error);
  // Compiles now and encodes the run into the command buffer (it runs on commit; a failure then
  // ends the command buffer in error). False when compiling or encoding fails.
  bool encode(CommandBuffer& command_buffer, const GraphTensorDataMap& feeds,
              const GraphTensorDataMap& results, std::string* error);
  // An executable for feeds of the given types computing `targets`; null with *error set.
  std::shared_ptr<GraphExecutable> compile(const GraphDevice& device,
                                           const GraphShapedTypeMap& feeds,
                                           const std::vector<GraphTensor>& targets,
                                           const GraphCompilationDescriptor& descriptor,
                                           std::string* error);

  // ---- read by compilation ----
  const std::vector<GraphOpNode>& nodes() const { return nodes_; }
  const GraphTensorInfo& info(uint32_t index) const { return tensors_[index]; }

  // Test hook: makes input k of the node that produces `of` read `from` instead, without any
  // check, so tests can hand compilation a graph that construction never builds (a cycle).
  void rewire_input_for_testing(GraphTensor of, uint32_t k, GraphTensor from);

 private:
  struct CachedExecutable;

  bool fail(std::string message);
  bool usable(GraphTensor t, std::string_view op);
  // `axis` (negative counts from the end) as a dim of a tensor of `rank`; false, with the
  // graph failed as "<op>: <word> <axis> is not a dim of rank <rank>", when it is none.
  bool dim_of(std::string_view op, std::string_view word, int64_t axis, uint64_t rank,
              uint32_t* out);
  GraphTensor add_node(GraphOpKind kind, std::vector<uint32_t> inputs, GraphNodeAttrs attrs,
                       DeviceDataType type, GraphShape shape);
  GraphTensor binary(GraphOpKind kind, GraphTensor a, GraphTensor b);
  GraphTensor unary(GraphOpKind kind, GraphTensor x);
  GraphTensor reduction(GraphOpKind kind, GraphTensor x, const std::vector<int64_t>& axes);
  GraphTensor pool(GraphOpKind kind, GraphTensor x, const GraphPool2dDescriptor& d);
  GraphTensor constant_values(GraphValues values, const GraphShape& shape, DeviceDataType type);
  std::shared_ptr<GraphExecutable> cached(const GraphTensorDataMap& feeds,
                                          const GraphTensorDataMap& results, std::string* error);

  uint32_t serial_;
  std::string error_;
  std::vector<GraphOpNode> nodes_;
  std::vector<GraphTensorInfo> tensors_;
  std::vector<std::unique_ptr<CachedExecutable>> cache_;
};

}  // namespace vexa
