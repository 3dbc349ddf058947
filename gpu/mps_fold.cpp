// A convolution followed by the batch normalisation that alone reads it, folded into the
// convolution's weights and bias when both are constants the pair alone reads. The CPU engine
// folds such pairs with the same arithmetic (w x scale, fma(bias, scale, shift)), so the two
// engines round the pair alike.
#include <cmath>
#include <vector>

#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

constexpr uint32_t kActivationAttr = 14;
constexpr uint64_t kImageRank = 4;

bool weight_value(const MpsValue& v) {
  return v.record.kind == static_cast<uint64_t>(ValueKind::kWeight);
}

}  // namespace

bool mps_fold_conv_batchnorm(MpsLowerContext& ctx, const GraphNode& conv, const GraphNode& bn,
                             const std::vector<uint32_t>& readers,
                             const std::vector<GraphTensor>& placeholders, GraphNode* folded) {
  std::vector<MpsValue>& values = *ctx.values;
  if (conv.op_kind != static_cast<uint64_t>(OpKind::kConv) ||
      bn.op_kind != static_cast<uint64_t>(OpKind::kBatchNormalization) ||
      conv.attrs[kActivationAttr] != 0 || conv.input_count < 2 || conv.input_count > 3 ||
      bn.input_count != 3 || bn.inputs[0] != conv.outputs[0]) {
    return false;
  }
  const uint64_t y = conv.outputs[0];
  if (values[y].record.kind != static_cast<uint64_t>(ValueKind::kIntermediate) || readers[y] != 1) {
    return false;
  }
  const uint64_t wid = conv.inputs[1];
  const bool has_bias = conv.input_count == 3 && conv.inputs[2] != kAbsentInput;
  const uint64_t bid = has_bias ? conv.inputs[2] : kAbsentInput;
  const uint64_t sid = bn.inputs[1], tid = bn.inputs[2];
  // Constants (not placeholders) that only this pair reads.
  auto own_constant = [&](uint64_t id) {
    return weight_value(values[id]) && readers[id] == 1 && !placeholders[id].valid();
  };
  if (!own_constant(wid) || (has_bias && !own_constant(bid)) || !weight_value(values[sid]) ||
      !weight_value(values[tid])) {
    return false;
  }
  const GraphValue& out = values[y].record;
  const uint64_t m = values[sid].record.element_count;
  const uint64_t wc = values[wid].record.element_count;
  if (out.rank != kImageRank || out.dims[1] != m || m == 0 || wc % m != 0 ||
      values[tid].record.element_count != m ||
      (has_bias && values[bid].record.element_count != m)) {
    return false;
  }
  const auto* base = reinterpret_cast<const uint8_t*>(ctx.weight_base);
  auto data = [&](uint64_t id) {
    return reinterpret_cast<const float*>(base + values[id].record.data_offset);
  };
  const float* w = data(wid);
  const float* scale = data(sid);
  const float* shift = data(tid);
  const uint64_t per_channel = wc / m;
  std::vector<float> fw(wc);
  for (uint64_t c = 0; c < m; ++c) {
    for (uint64_t j = 0; j < per_channel; ++j) fw[c * per_channel + j] = w[c * per_channel + j] * scale[c];
  }
  MpsNode n(ctx, bn);
  const GraphValue& wr = values[wid].record;
  values[wid].tensor = n.constant(fw, mps_shape(wr.rank, wr.dims));
  *folded = conv;
  folded->outputs[0] = bn.outputs[0];
  if (has_bias) {
    const float* b = data(bid);
    std::vector<float> fb(m);
    for (uint64_t c = 0; c < m; ++c) fb[c] = std::fma(b[c], scale[c], shift[c]);
    const GraphValue& br = values[bid].record;
    values[bid].tensor = n.constant(fb, mps_shape(br.rank, br.dims));
  } else {
    folded->input_count = 3;
    folded->inputs[2] = tid;
  }
  return ctx.graph->ok();
}

}  // namespace vexa
