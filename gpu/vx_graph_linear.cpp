// Linear layers: y = x weight^T (+ bias) with the weight in its stored [N, K] layout. One row
// streams the weight through a matrix-vector kernel (q8 read directly); several rows take the
// graph library or the matrix library when configured and large enough, else a tiled kernel,
// which reads FP16 and (for the run's linear nodes) q8 weights where they are stored.
#include <algorithm>

#include "gpu/vx_graph.h"

namespace vexa {

namespace {

// Rows, output and input features below which the library paths are not worth their set-up.
constexpr uint64_t kLibraryMinRows = 32;
constexpr uint64_t kLibraryMinOutputs = 64;
constexpr uint64_t kLibraryMinInputs = 64;
constexpr uint64_t kMatvecThreadsPerRow = 32;
// Threads per group of a one-dimensional dispatch, as VXGraph::kernel dispatches them.
constexpr uint64_t kDispatchGroupThreads = 128;
// Tiled kernels: 32 output columns per tile, 32 rows (128 threads) or, from 64 rows on, 64 rows
// (256 threads); the direct kernel takes whole 64 x 64 tiles with 512 threads.
constexpr uint64_t kTileColumns = 32;
constexpr uint64_t kTileRows = 32;
constexpr uint64_t kTileThreads = 128;
constexpr uint64_t kWideTileRows = 64;
constexpr uint64_t kWideTileThreads = 256;
constexpr uint64_t kDirectTile = 64;
constexpr uint64_t kDirectThreads = 512;
constexpr uint64_t kDirectDepthMultiple = 32;

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }
uint32_t u32(uint64_t v) { return static_cast<uint32_t>(v); }

}  // namespace

void VXGraph::check_linear(const VXTensor& x, const VXTensor& weight, const VXTensor* bias,
                           uint64_t* m, uint64_t* n, uint64_t* k, bool q8_rows) const {
  *k = shape_last_dim(x.shape);
  *n = shape_dim_at(weight.shape, 0);
  *m = *k == 0 ? 0 : x.count / *k;
  const bool q8 = weight.dtype == kVXDtypeQ8;
  const bool q8_ok = *m == 0 || ((*m == 1 || q8_rows) && weight.shape.size() == 2);
  const bool weight_ok = weight.dtype == kVXDtypeF16 || (q8 && q8_ok);
  // n * k cannot wrap: both are dimensions of at most 2^30.
  require_inference(x.dtype == activation_ && weight_ok && *k != 0 && weight.count == *n * *k &&
                        *k % 2 == 0 && *n % 2 == 0,
                    "Linear shape/dtype");
  if (bias != nullptr) {
    require_inference(bias->count == *n && (bias->dtype == kVXDtypeF16 ||
                                            (bias->dtype == kVXDtypeQ8 && *m == 0)),
                      "Linear bias shape");
  }
}

VXTensorPtr VXGraph::linear(const VXTensorPtr& x, const VXTensorPtr& weight,
                            const VXTensorPtr& bias,
                            const std::shared_ptr<CommandBuffer>& command) {
  uint64_t m = 0, n = 0, k = 0;
  check_linear(*x, *weight, bias.get(), &m, &n, &k);
  const bool q8 = weight->dtype == kVXDtypeQ8;
  std::vector<uint64_t> shape = x->shape;
  shape.back() = n;
  VXTensorPtr y = tensor(std::move(shape), activation_);
  if (m == 0) return y;
  const VXTensor* bias_or_weight = bias != nullptr ? bias.get() : weight.get();

  if (m == 1) {
    VXParams p{};
    p.u[0] = u32(n);
    p.u[1] = u32(k);
    p.u[2] = bias != nullptr ? 1 : 0;
    p.u[3] = u32(weight->row_bytes);
    kernel(q8 ? "matvec_q8" : "matvec", {x.get(), weight.get(), y.get(), bias_or_weight}, p,
           n * kMatvecThreadsPerRow, false, command);
    if (q8) ++fused_int8_matvec_calls_;
    return y;
  }

  if (library_linear(m, n, k)) {
    if (graph_linear_) {
      // The graph library reads the fed weight in its stored rows.
      linear_graph(x, weight, bias, y, m, n, k, command);
    } else {
      // The matrix library multiplies f32 operands: the whole weight is widened first.
      linear_matrix(x, weight, bias, y, m, n, k, command);
      widened_weight_bytes_ += n * k * sizeof(float);
    }
    return y;
  }
  linear_tiled(x, weight, bias, y, m, n, k, command);
  return y;
}

VXTensorPtr VXGraph::linear_node(const VXTensorPtr& x, const VXTensorPtr& weight,
                                 const VXTensorPtr& bias,
                                 const std::shared_ptr<CommandBuffer>& command) {
  if (weight->dtype != kVXDtypeQ8) return linear(x, weight, bias, command);
  uint64_t m = 0, n = 0, k = 0;
  check_linear(*x, *weight, bias.get(), &m, &n, &k, true);
  if (m <= 1) return linear(x, weight, bias, command);
  if (library_linear(m, n, k)) {
    // The libraries take halves: the weight goes through FP16 scratch for them.
    const VXTensorPtr expanded = dequantize(weight, command);
    VXTensorPtr y = linear(x, expanded, bias, command);
    recycle(expanded);
    return y;
  }
  std::vector<uint64_t> shape = x->shape;
  shape.back() = n;
  VXTensorPtr y = tensor(std::move(shape), activation_);
  linear_tiled(x, weight, bias, y, m, n, k, command);
  return y;
}

bool VXGraph::library_linear(uint64_t m, uint64_t n, uint64_t k) const {
  const bool library_size =
      m >= kLibraryMinRows && n >= kLibraryMinOutputs && k >= kLibraryMinInputs;
  return library_size && (graph_linear_ || mps_prefill_);
}

void VXGraph::linear_tiled(const VXTensorPtr& x, const VXTensorPtr& weight,
                           const VXTensorPtr& bias, const VXTensorPtr& y, uint64_t m, uint64_t n,
                           uint64_t k, const std::shared_ptr<CommandBuffer>& command) {
  const VXTensor* bias_or_weight = bias != nullptr ? bias.get() : weight.get();
  VXParams p{};
  p.u[0] = u32(m);
  p.u[1] = u32(n);
  p.u[2] = u32(k);
  p.u[3] = bias != nullptr ? 1 : 0;
  // q8 rows are read in place by their row bytes; 0 means FP16 rows.
  p.u[4] = weight->dtype == kVXDtypeQ8 ? u32(weight->row_bytes) : 0;
  const bool fp32 = activation_ == kVXActivationF32;
  if (fp32 && m % kDirectTile == 0 && n % kDirectTile == 0 && k % kDirectDepthMultiple == 0) {
    // Whole 64 x 64 tiles without bounds tests; the kernel adds no bias.
    kernel_grid("matmul_direct64", {x.get(), weight.get(), y.get(), bias_or_weight}, p,
                Size3{n / kDirectTile, m / kDirectTile, 1}, kDirectThreads, command);
    if (bias != nullptr) add_bias(y, bias, n, command);
    return;
  }
  const bool wide = m >= kWideTileRows;
  kernel_grid(wide ? "matmul_rows64" : "matmul", {x.get(), weight.get(), y.get(), bias_or_weight},
              p, Size3{ceil_div(n, kTileColumns), ceil_div(m, wide ? kWideTileRows : kTileRows), 1},
              wide ? kWideTileThreads : kTileThreads, command);
}

void VXGraph::find_sibling_linears() {
  auto is_weight = [&](uint64_t id) { return (rows_[id].flags & kVXValueWeight) != 0; };
  // Weights and biases are weight values, so no sibling reads another's output.
  auto product = [&](const VXNode& node) {
    return node.op == kVXOpLinear && node.attrs.empty() && node.outputs.size() == 1 &&
           (node.inputs.size() == 2 || node.inputs.size() == 3) && is_weight(node.inputs[1]) &&
           (node.inputs.size() == 2 || is_weight(node.inputs[2]));
  };
  sibling_runs_.assign(nodes_.size(), 1);
  for (uint64_t j = 0; j < nodes_.size(); ++j) {
    const VXNode& first = nodes_[j];
    if (!product(first)) continue;
    uint64_t count = 1;
    while (j + count < nodes_.size() && count < kMaxLinearSiblings) {
      const VXNode& node = nodes_[j + count];
      if (!product(node) || node.group != first.group || node.inputs[0] != first.inputs[0]) break;
      ++count;
    }
    sibling_runs_[j] = static_cast<uint8_t>(count);
  }
}

uint64_t VXGraph::sibling_linears(uint64_t j, const std::vector<VXTensorPtr>& bound) const {
  const uint64_t candidates = j < sibling_runs_.size() ? sibling_runs_[j] : 1;
  if (candidates <= 1) return 1;
  const VXNode& first = nodes_[j];
  const VXTensorPtr& x = bound[first.inputs[0]];
  if (x == nullptr || x->dtype != activation_ || x->shape.empty() || x->count == 0 ||
      x->count != x->shape.back() || x->count % 2 != 0) {
    return 1;
  }
  const uint64_t k = x->count;
  const uint64_t dtype = bound[first.inputs[1]] ? bound[first.inputs[1]]->dtype : 0;
  uint64_t count = 0;
  for (; count < candidates; ++count) {
    const VXNode& node = nodes_[j + count];
    const VXTensorPtr& w = bound[node.inputs[1]];
    const uint64_t n = w != nullptr && w->shape.size() == 2 ? w->shape[0] : 0;
    if (n == 0 || (w->dtype != kVXDtypeF16 && w->dtype != kVXDtypeQ8) || w->dtype != dtype ||
        n % 2 != 0 || w->shape[1] != k || w->count != n * k) {
      break;
    }
    if (node.inputs.size() == 3) {
      const VXTensorPtr& b = bound[node.inputs[2]];
      if (b == nullptr || b->dtype != kVXDtypeF16 || b->count != n) break;
    }
  }
  return std::max<uint64_t>(count, 1);
}

VXTensorList VXGraph::linear_siblings(const VXTensorPtr& x, const VXTensorList& weights,
                                      const VXTensorList& biases,
                                      const std::shared_ptr<CommandBuffer>& command) {
  const uint64_t parts = weights.size();
  require_inference(parts >= 2 && parts <= kMaxLinearSiblings && biases.size() == parts,
                    "Linear shape/dtype");
  const bool q8 = weights[0]->dtype == kVXDtypeQ8;
  VXParams p{};
  p.u[1] = u32(shape_last_dim(x->shape));
  p.u[4] = u32(parts - 1);
  VXTensorList out;
  std::vector<const VXTensor*> bindings = {x.get()};
  uint64_t rows = 0;
  for (uint64_t i = 0; i < parts; ++i) {
    const VXTensorPtr& w = weights[i];
    const uint64_t n = w->shape[0];
    std::vector<uint64_t> shape = x->shape;
    shape.back() = n;
    out.push_back(tensor(std::move(shape), activation_));
    // Part i's words: rows, bias flag, q8 row bytes (part 0 at 0, 2, 3).
    p.u[i == 0 ? 0 : 2 + 3 * i] = u32(n);
    p.u[i == 0 ? 2 : 3 + 3 * i] = biases[i] != nullptr ? 1 : 0;
    p.u[i == 0 ? 3 : 4 + 3 * i] = u32(w->row_bytes);
    bindings.push_back(w.get());
    bindings.push_back(out.back().get());
    bindings.push_back(biases[i] != nullptr ? biases[i].get() : w.get());
    rows += n;
    if (q8) ++fused_int8_matvec_calls_;
  }
  encode(q8 ? "matvec_q8" : "matvec", bindings, p, Size3{rows * kMatvecThreadsPerRow, 1, 1},
         kDispatchGroupThreads, false, command);
  return out;
}

void VXGraph::add_bias(const VXTensorPtr& y, const VXTensorPtr& bias, uint64_t n,
                       const std::shared_ptr<CommandBuffer>& command) {
  VXParams p{};
  p.u[0] = u32(y->count);
  p.u[1] = u32(n);
  kernel("linear_bias", {y.get(), bias.get(), y.get()}, p, y->count, false, command);
}

}  // namespace vexa
