#include "tools/batchnorm_reduce.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "tools/onnx_lower.h"

namespace vexa::tools {
namespace {

constexpr uint64_t kBatchNormInputs = 5;  // x, gamma, beta, mean, var
constexpr uint64_t kAffineInputs = 3;     // x, scale, shift

// The f32 contents of a weight with data, or empty when it is not one.
std::vector<float> weight_floats(const BuilderState& s, uint64_t index) {
  if (index >= s.values.size()) return {};
  const BuilderValue& v = s.values[index];
  if (!v.has_data || v.data == nullptr || v.dtype != kTypeF32 || v.data_bytes % 4 != 0) return {};
  std::vector<float> out(v.data_bytes / 4);
  std::memcpy(out.data(), v.data, v.data_bytes);
  return out;
}

uint32_t new_weight(BuilderState& s, uint32_t base, const char* suffix,
                    const std::vector<float>& data) {
  const uint32_t index = builder_pool_append(s, base, suffix);
  if (index == base || index >= s.values.size()) return UINT32_MAX;
  BuilderValue& v = s.values[index];
  v.kind = static_cast<uint64_t>(ValueKind::kWeight);
  v.dtype = kTypeF32;
  v.rank = 1;
  for (uint64_t d = 0; d < kMaxRank; ++d) v.dims[d] = 0;
  v.dims[0] = data.size();
  std::vector<uint8_t> bytes(data.size() * 4);
  std::memcpy(bytes.data(), data.data(), bytes.size());
  builder_set_owned(v, std::move(bytes));
  return index;
}

}  // namespace

bool onnx_reduce_batch_norms(BuilderState& s, uint64_t* reduced) {
  *reduced = 0;
  for (GraphNode& n : s.nodes) {
    if (n.op_kind != static_cast<uint64_t>(OpKind::kBatchNormalization) ||
        n.input_count != kBatchNormInputs || n.outputs[0] >= s.values.size()) {
      continue;
    }
    const std::vector<float> gamma = weight_floats(s, n.inputs[1]);
    const std::vector<float> beta = weight_floats(s, n.inputs[2]);
    const std::vector<float> mean = weight_floats(s, n.inputs[3]);
    const std::vector<float> var = weight_floats(s, n.inputs[4]);
    const size_t c = gamma.size();
    if (c == 0 || beta.size() != c || mean.size() != c || var.size() != c) continue;
    const float epsilon = attr_word_f32(n.attrs[kWordAlpha]);
    std::vector<float> scale(c), shift(c);
    for (size_t i = 0; i < c; ++i) {
      // In double so the reduced pair carries no more rounding than one f32 step each.
      const double sc = static_cast<double>(gamma[i]) /
                        std::sqrt(static_cast<double>(var[i]) + static_cast<double>(epsilon));
      scale[i] = static_cast<float>(sc);
      shift[i] = static_cast<float>(static_cast<double>(beta[i]) - mean[i] * sc);
    }
    const uint32_t out = static_cast<uint32_t>(n.outputs[0]);
    const uint32_t scale_index = new_weight(s, out, "#bn_scale", scale);
    const uint32_t shift_index = new_weight(s, out, "#bn_shift", shift);
    if (scale_index == UINT32_MAX || shift_index == UINT32_MAX) return false;
    n.inputs[1] = scale_index;
    n.inputs[2] = shift_index;
    n.inputs[3] = n.inputs[4] = kAbsentInput;
    n.input_count = kAffineInputs;
    ++*reduced;
  }
  return true;
}

}  // namespace vexa::tools
