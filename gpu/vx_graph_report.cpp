// Choosing the optional library paths, and the texts and counters the generation report copies.
#include <nlohmann/json.hpp>

#include "gpu/vx_graph.h"

namespace vexa {

namespace {

// A configuration value read as a boolean: JSON booleans and numbers as they are; strings as a
// string's boolean value is read (after blanks and an optional sign and leading zeros, "Y",
// "y", "T", "t" or a digit 1-9 means yes).
bool flag_value(const nlohmann::json& v, const char* key) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number_integer() || v.is_number_unsigned()) return v.get<int64_t>() != 0;
  if (v.is_number_float()) return v.get<double>() != 0.0;
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i == s.size()) return false;
    const char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  raise_inference(std::string("Invalid configuration flag ") + key);
}

}  // namespace

void VXGraph::configure(const nlohmann::json& options) {
  auto find = [&](const char* key) -> const nlohmann::json* {
    if (!options.is_object()) return nullptr;
    auto it = options.find(key);
    return it == options.end() ? nullptr : &*it;
  };
  std::string policy = "auto";
  if (const nlohmann::json* b = find("backend")) {
    require_inference(b->is_string(), "Unknown backend policy");
    policy = b->get<std::string>();
    require_inference(policy == "auto" || policy == "metal" || policy == "mps" ||
                          policy == "mpsgraph",
                      "Unknown backend policy");
  }
  const nlohmann::json* prefill = find("mps_prefill");
  const nlohmann::json* attention = find("mps_attention");
  const nlohmann::json* graph = find("graph_attention");
  // Naming any of the three turns the defaults of all three off.
  const bool defaults = prefill == nullptr && attention == nullptr && graph == nullptr &&
                        policy != "metal" &&
                        (activation_ == kVXActivationF32 || policy == "mps" || policy == "mpsgraph");
  mps_prefill_ = prefill != nullptr ? flag_value(*prefill, "mps_prefill") : defaults;
  mps_attention_ = attention != nullptr ? flag_value(*attention, "mps_attention") : defaults;
  graph_attention_ =
      graph != nullptr ? flag_value(*graph, "graph_attention") : defaults && policy != "mps";
  const nlohmann::json* linear = find("graph_linear");
  graph_linear_ = linear != nullptr ? flag_value(*linear, "graph_linear") : graph_attention_;
}

std::string VXGraph::backend_name() const {
  const std::string precision = activation_ == kVXActivationF32 ? "FP32" : "FP16";
  if (graph_linear_) {
    return "Metal kernels + " + precision + " MPSGraph prefill matrices" +
           (graph_attention_ ? "/vision attention" : "");
  }
  if (graph_attention_) return "Metal kernels + MPS GEMM + " + precision + " MPSGraph vision attention";
  if (mps_attention_) return "Metal kernels + MPS GEMM + batched MPS vision attention";
  if (mps_prefill_) return "Metal kernels + MPS prefill GEMM";
  return "Metal custom kernels";
}

std::string VXGraph::weight_dtype() const {
  if (quantized_weights_ == 0) return "fp16";
  if (quantized_weights_ == weights_.size()) return "int8";
  return "mixed-fp16-int8";
}

nlohmann::json VXGraph::weight_execution() const {
  nlohmann::json j = nlohmann::json::object();
  j["policy"] = quantized_weights_ > 0
                    ? "Resident INT8 blocks; per-operation FP16 weight scratch; fused INT8 "
                      "embedding/matvec (FP16 reconstruction)"
                    : "Resident FP16 weight views";
  j["resident_weight_buffer_bytes"] = resident_weight_bytes_;
  j["quantized_tensors"] = quantized_weights_;
  j["peak_live_dequantized_weight_scratch_bytes"] = peak_dequantized_weight_bytes_;
  j["cumulative_dequantized_weight_bytes"] = dequantized_weight_bytes_;
  j["fused_int8_matvec_calls"] = fused_int8_matvec_calls_;
  j["fused_int8_embedding_calls"] = fused_int8_embedding_calls_;
  return j;
}

nlohmann::json profile_records_json(const std::vector<VXProfileRecord>& records) {
  nlohmann::json out = nlohmann::json::array();
  for (const VXProfileRecord& r : records) {
    out.push_back({{"node", r.node},
                   {"op", r.op},
                   {"group", r.group},
                   {"input_shape", r.input_shape},
                   {"gpu_ms", r.gpu_ms}});
  }
  return out;
}

}  // namespace vexa
