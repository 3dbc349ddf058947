// The optional library paths of linear layers and attention: the device's matrix objects and
// its graph library, chosen by configure(). Matrix-multiplication objects and built graphs are
// cached per shape for the life of the graph. Both encode their work into the run's command
// buffer, so it runs in order with the kernels around it; a failure of that work ends the
// command buffer in error and surfaces when the run waits.
#include <cmath>
#include <string>

#include "gpu/graph_ops.h"
#include "gpu/vx_graph.h"
#include "platform/graph.h"
#include "platform/matrix.h"

namespace vexa {

namespace {

uint32_t u32(uint64_t v) { return static_cast<uint32_t>(v); }

std::string key_of(std::initializer_list<uint64_t> parts, const char* prefix = "") {
  std::string key = prefix;
  bool first = true;
  for (uint64_t p : parts) {
    if (!first) key += '/';
    key += std::to_string(p);
    first = false;
  }
  return key;
}

int64_t i64(uint64_t v) { return static_cast<int64_t>(v); }

}  // namespace

// A built graph and its placeholders (in the order the path feeds them) and result.
struct VXGraph::LibraryGraph {
  Graph graph;
  std::vector<GraphTensor> inputs;
  GraphTensor result;
};

DeviceDataType VXGraph::activation_type() const {
  return activation_ == kVXActivationF32 ? DeviceDataType::kFloat32 : DeviceDataType::kFloat16;
}

const MatrixMultiplication& VXGraph::matrix_multiplication(const std::string& key, bool transpose_right,
                                                           uint64_t rows, uint64_t columns,
                                                           uint64_t interior) {
  auto it = matrices_.find(key);
  if (it == matrices_.end()) {
    it = matrices_
             .emplace(key, std::make_shared<MatrixMultiplication>(false, transpose_right, rows,
                                                                  columns, interior, 1.0, 0.0))
             .first;
  }
  return *it->second;
}

void VXGraph::encode_matrix(const MatrixMultiplication& mm, const Matrix& left, const Matrix& right,
                            const Matrix& result, const std::shared_ptr<CommandBuffer>& command) {
  std::string error;
  if (!mm.encode(*command, left, right, result, &error)) raise_inference("Metal execution: " + error);
}

void VXGraph::encode_graph(LibraryGraph& g, const std::vector<GraphTensorData>& feeds,
                           const GraphTensorData& result,
                           const std::shared_ptr<CommandBuffer>& command) {
  GraphTensorDataMap feed_map;
  for (size_t i = 0; i < feeds.size(); ++i) feed_map.emplace(g.inputs[i], feeds[i]);
  std::string error;
  if (!g.graph.encode(*command, feed_map, {{g.result, result}}, &error)) {
    raise_inference("Metal execution: " + error);
  }
}

VXGraph::LibraryGraph& VXGraph::library_graph(const std::string& key,
                                              const std::function<void(LibraryGraph&)>& build) {
  auto it = attention_graphs_.find(key);
  if (it != attention_graphs_.end()) return *it->second;
  graph_ops_install();
  auto g = std::make_shared<LibraryGraph>();
  build(*g);
  if (!g->graph.ok()) raise_inference("Metal execution: " + g->graph.error());
  return *attention_graphs_.emplace(key, std::move(g)).first->second;
}

// ---- linear layers --------------------------------------------------------------------------

void VXGraph::linear_graph(const VXTensorPtr& x, const VXTensorPtr& weight,
                           const VXTensorPtr& bias, const VXTensorPtr& y, uint64_t m, uint64_t n,
                           uint64_t k, const std::shared_ptr<CommandBuffer>& command) {
  const DeviceDataType act = activation_type();
  const bool fp32 = activation_ == kVXActivationF32;
  LibraryGraph& g = library_graph(key_of({m, n, k, bias ? 1u : 0u}, "linear/"), [&](LibraryGraph& lg) {
    Graph& gr = lg.graph;
    const GraphTensor xp = gr.placeholder({i64(m), i64(k)}, act, "x");
    const GraphTensor wp = gr.placeholder({i64(n), i64(k)}, DeviceDataType::kFloat16, "weight");
    GraphTensor w = fp32 ? gr.cast(wp, DeviceDataType::kFloat32) : wp;
    GraphTensor out = gr.matmul(xp, gr.transpose(w, 0, 1));
    lg.inputs = {xp, wp};
    if (bias) {
      const GraphTensor bp = gr.placeholder({i64(n)}, DeviceDataType::kFloat16, "bias");
      out = gr.add(out, fp32 ? gr.cast(bp, DeviceDataType::kFloat32) : bp);
      lg.inputs.push_back(bp);
    }
    lg.result = out;
  });
  std::vector<GraphTensorData> feeds = {
      GraphTensorData(NdArray(x->buffer, x->offset, {act, {i64(m), i64(k)}})),
      GraphTensorData(NdArray(weight->buffer, weight->offset, {DeviceDataType::kFloat16, {i64(n), i64(k)}}))};
  if (bias) {
    feeds.emplace_back(NdArray(bias->buffer, bias->offset, {DeviceDataType::kFloat16, {i64(n)}}));
  }
  encode_graph(g, feeds, GraphTensorData(y->buffer, {i64(m), i64(n)}, act), command);
}

void VXGraph::linear_matrix(const VXTensorPtr& x, const VXTensorPtr& weight,
                            const VXTensorPtr& bias, const VXTensorPtr& y, uint64_t m, uint64_t n,
                            uint64_t k, const std::shared_ptr<CommandBuffer>& command) {
  const DeviceDataType act = activation_type();
  const uint64_t e = vx_element_bytes(activation_);
  // Both operands of a product share one type: with FP32 activations the weight is widened into
  // a temporary first.
  VXTensorPtr right = weight;
  VXTensorPtr widened;
  if (activation_ == kVXActivationF32) {
    widened = tensor({n, k}, kVXDtypeF32);
    VXParams p{};
    p.u[0] = u32(n * k);
    kernel("weights_float", {weight.get(), weight.get(), widened.get()}, p, n * k, false, command);
    right = widened;
  }
  const MatrixMultiplication& mm = matrix_multiplication(key_of({m, n, k}), true, m, n, k);
  encode_matrix(mm, Matrix(x->buffer, x->offset, MatrixDescriptor::make(m, k, k * e, act)),
                Matrix(right->buffer, right->offset, MatrixDescriptor::make(n, k, k * e, act)),
                Matrix(y->buffer, 0, MatrixDescriptor::make(m, n, n * e, act)), command);
  recycle(widened);
  if (bias) add_bias(y, bias, n, command);
}

// ---- attention --------------------------------------------------------------------------------

void VXGraph::attention_graph(const VXTensorPtr& q, const VXTensorPtr& keys,
                              const VXTensorPtr& values, const VXTensorPtr& mask,
                              const VXTensorPtr& out, const AttentionDims& a,
                              const std::shared_ptr<CommandBuffer>& command) {
  const DeviceDataType act = activation_type();
  const std::vector<int64_t> q_shape{i64(a.batch), i64(a.seq), i64(a.hq), i64(a.dim)};
  const std::vector<int64_t> cache_shape{i64(a.batch), i64(a.hkv), i64(a.stride), i64(a.dim)};
  const std::vector<int64_t> mask_shape{i64(a.batch), 1, i64(a.seq), i64(a.total)};
  const std::string key = key_of({a.batch, a.hq, a.seq, a.total, a.dim, a.stride});
  LibraryGraph& g = library_graph(key, [&](LibraryGraph& lg) {
    Graph& gr = lg.graph;
    const GraphTensor qp = gr.placeholder(q_shape, act, "q");
    const GraphTensor kp = gr.placeholder(cache_shape, act, "keys");
    const GraphTensor vp = gr.placeholder(cache_shape, act, "values");
    const GraphTensor mp = gr.placeholder(mask_shape, act, "mask");
    GraphTensor k = kp, v = vp;
    if (a.stride != a.total) {
      k = gr.slice(k, 2, 0, i64(a.total));
      v = gr.slice(v, 2, 0, i64(a.total));
    }
    const float scale = 1.0f / std::sqrt(static_cast<float>(a.dim));
    const GraphTensor att =
        gr.scaled_dot_product_attention(gr.permute(qp, {0, 2, 1, 3}), k, v, mp, scale);
    lg.inputs = {qp, kp, vp, mp};
    lg.result = gr.permute(att, {0, 2, 1, 3});
  });
  encode_graph(g,
               {GraphTensorData(q->buffer, q_shape, act), GraphTensorData(keys->buffer, cache_shape, act),
                GraphTensorData(values->buffer, cache_shape, act),
                GraphTensorData(mask->buffer, mask_shape, act)},
               GraphTensorData(out->buffer, q_shape, act), command);
}

void VXGraph::attention_matrix(const VXTensorPtr& q, const VXTensorPtr& keys,
                               const VXTensorPtr& values, const VXTensorPtr& mask,
                               const VXTensorPtr& out, const AttentionDims& a,
                               const VXParams& params, const std::shared_ptr<CommandBuffer>& command) {
  const DeviceDataType act = activation_type();
  const uint64_t e = vx_element_bytes(activation_);
  const uint64_t heads = a.batch * a.hq;
  // Head-major q, so each (batch, head) is one S x D matrix.
  VXTensorPtr heads_q = tensor({a.batch, a.hq, a.seq, a.dim}, activation_);
  VXParams layout = params;
  layout.u[0] = u32(a.hq);
  layout.u[5] = u32(a.batch);
  layout.u[6] = 0;
  kernel("attention_layout", {q.get(), q.get(), heads_q.get()}, layout, heads_q->count, false,
         command);
  VXTensorPtr scores = tensor({a.batch, a.hq, a.seq, a.total}, activation_);
  const MatrixDescriptor q_desc =
      MatrixDescriptor::batched(a.seq, a.dim, heads, a.dim * e, a.seq * a.dim * e, act);
  const MatrixDescriptor cache_desc =
      MatrixDescriptor::batched(a.total, a.dim, heads, a.dim * e, a.stride * a.dim * e, act);
  const MatrixDescriptor score_desc =
      MatrixDescriptor::batched(a.seq, a.total, heads, a.total * e, a.seq * a.total * e, act);
  encode_matrix(matrix_multiplication(key_of({0, heads, a.seq, a.total, a.dim}, "attention/"), true,
                                      a.seq, a.total, a.dim),
                Matrix(heads_q->buffer, 0, q_desc), Matrix(keys->buffer, 0, cache_desc),
                Matrix(scores->buffer, 0, score_desc), command);
  VXParams scale = params;
  scale.u[0] = u32(a.hq);
  scale.u[5] = u32(a.batch);
  kernel("attention_scale_mask", {scores.get(), mask.get(), scores.get()}, scale, scores->count,
         false, command);
  kernel("attention_softmax", {scores.get()}, params, heads * a.seq, true, command);
  VXTensorPtr heads_out = tensor({a.batch, a.hq, a.seq, a.dim}, activation_);
  encode_matrix(matrix_multiplication(key_of({1, heads, a.seq, a.dim, a.total}, "attention/"), false,
                                      a.seq, a.dim, a.total),
                Matrix(scores->buffer, 0, score_desc), Matrix(values->buffer, 0, cache_desc),
                Matrix(heads_out->buffer, 0, q_desc), command);
  layout.u[6] = 1;
  kernel("attention_layout", {heads_out.get(), heads_out.get(), out.get()}, layout,
         heads_out->count, false, command);
  recycle(heads_q);
  recycle(scores);
  recycle(heads_out);
}

}  // namespace vexa
