#include "tools/onnx_builder.h"

namespace vexa::tools {

BuilderState::BuilderState() = default;

uint32_t builder_value_index(BuilderState& s, std::string_view name) {
  auto it = s.value_index.find(name);
  if (it != s.value_index.end()) return it->second;
  if (s.values.size() >= kBuilderMaxValues) return static_cast<uint32_t>(kBuilderMaxValues);
  BuilderValue v;
  v.name = name;
  s.values.push_back(std::move(v));
  const uint32_t index = static_cast<uint32_t>(s.values.size() - 1);
  s.value_index.emplace(name, index);
  return index;
}

uint32_t builder_pool_append(BuilderState& s, uint32_t base, std::string_view suffix) {
  const std::string_view base_name = s.values[base].name;
  const uint64_t length = base_name.size() + suffix.size();
  if (length > kBuilderPoolBytes - s.pool_used) {
    s.pool_full = true;
    return base;
  }
  std::string composed;
  composed.reserve(length);
  composed.append(base_name);
  composed.append(suffix);
  auto it = s.value_index.find(composed);
  if (it != s.value_index.end()) return it->second;
  if (s.values.size() >= kBuilderMaxValues) {
    s.pool_full = true;
    return base;
  }
  s.pool_used += length;
  s.pool.push_back(std::move(composed));
  return builder_value_index(s, s.pool.back());
}

void builder_set_owned(BuilderValue& v, std::vector<uint8_t> bytes) {
  v.owned = std::move(bytes);
  v.data = v.owned.data();
  v.data_bytes = v.owned.size();
  v.has_data = true;
}

bool builder_element_count(uint64_t rank, const uint64_t* dims, uint64_t& count) {
  count = 1;
  for (uint64_t i = 0; i < rank && i < kMaxRank; ++i) {
    const uint64_t d = dims[i];
    // Each dim is capped too, so that products over any subset of dims stay in range.
    if (d > kMaxElements) return false;
    if (d != 0 && count > kMaxElements / d) return false;
    count *= d;
  }
  return count <= kMaxElements;
}

uint64_t onnx_opset_for_domain(const BuilderState& s, std::string_view domain) {
  const bool default_domain = domain.empty() || domain == "ai.onnx";
  for (const OnnxOpset& o : s.opsets) {
    const bool match = default_domain ? (o.domain.empty() || o.domain == "ai.onnx")
                                      : o.domain == domain;
    if (match) return o.version;
  }
  return 0;
}

}  // namespace vexa::tools
