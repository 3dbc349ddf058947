#include "core/container_access.h"

#include "core/bytes.h"

namespace vexa {

namespace {

constexpr uint64_t kMaxViewElements = (uint64_t{1} << 31) - 1;


bool has_metadata(const OpenContainer* c) {
  return container_section_stride(c, kSectionMetaKv) >= sizeof(MetaEntry);
}

uint64_t pool_size(const OpenContainer* c) { return container_section_count(c, kSectionStringPool); }

const uint8_t* pool_data(const OpenContainer* c) {
  return c->image + container_section_offset(c, kSectionStringPool) + kSectionHeaderBytes;
}

// Copies entry i of a section into a zeroed record, never past the entry or the image.
template <typename Record>
Record read_entry(const OpenContainer* c, uint64_t section, uint64_t i) {
  Record r;
  std::memset(&r, 0, sizeof r);
  if (i >= container_section_count(c, section)) return r;
  const uint64_t stride = container_section_stride(c, section);
  const uint64_t at = container_entry_offset(c, section, i);
  uint64_t n = stride < sizeof r ? stride : sizeof r;
  if (!container_range_ok(at, n, c->image_size)) return r;
  std::memcpy(&r, c->image + at, static_cast<size_t>(n));
  return r;
}

bool value_in_pool(const OpenContainer* c, const MetaEntry& e) {
  return container_range_ok(e.value, e.value_length, pool_size(c));
}

// The first slot with this key, when it holds exactly `type`: nothing is converted.
bool find_typed(const OpenContainer* c, const char* key, uint64_t key_length, MetaValueType type,
                MetaEntry* e) {
  return meta_find(c, key, key_length, e) && e->value_type == static_cast<uint64_t>(type);
}

}  // namespace

uint64_t container_node_count(const OpenContainer* c) { return container_section_count(c, kSectionNodes); }
uint64_t container_value_count(const OpenContainer* c) { return container_section_count(c, kSectionValues); }

GraphNode container_read_node(const OpenContainer* c, uint64_t i) {
  return read_entry<GraphNode>(c, kSectionNodes, i);
}

GraphValue container_read_value(const OpenContainer* c, uint64_t i) {
  return read_entry<GraphValue>(c, kSectionValues, i);
}

uint64_t meta_count(const OpenContainer* c) {
  return has_metadata(c) ? container_section_count(c, kSectionMetaKv) : 0;
}

MetaEntry meta_entry_at(const OpenContainer* c, uint64_t i) {
  if (!has_metadata(c)) return MetaEntry{};
  return read_entry<MetaEntry>(c, kSectionMetaKv, i);
}

uint64_t meta_live_count(const OpenContainer* c) {
  const uint64_t n = meta_count(c);
  uint64_t live = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const MetaEntry e = meta_entry_at(c, i);
    if (e.key_length != 0 && e.value_type != 0) ++live;
  }
  return live;
}

std::string_view pool_string(const OpenContainer* c, uint64_t offset, uint64_t length) {
  if (length == 0 || !container_range_ok(offset, length, pool_size(c))) return empty_text_view();
  return std::string_view(reinterpret_cast<const char*>(pool_data(c) + offset),
                          static_cast<size_t>(length));
}

const uint8_t* meta_value_ptr(const OpenContainer* c, const MetaEntry& e) {
  if (!value_in_pool(c, e)) return nullptr;
  return pool_data(c) + e.value;
}

bool meta_find(const OpenContainer* c, const char* key, uint64_t key_length, MetaEntry* out) {
  if (key_length == 0 || key == nullptr || !has_metadata(c)) return false;
  const uint64_t n = container_section_count(c, kSectionMetaKv);
  const uint64_t pool = pool_size(c);
  for (uint64_t i = 0; i < n; ++i) {
    const MetaEntry e = read_entry<MetaEntry>(c, kSectionMetaKv, i);
    if (e.key_length != key_length || e.value_type == 0) continue;
    if (!container_range_ok(e.key_offset, key_length, pool)) continue;
    if (std::memcmp(pool_data(c) + e.key_offset, key, static_cast<size_t>(key_length)) != 0) {
      continue;
    }
    if (out != nullptr) *out = e;
    return true;
  }
  return false;
}

std::string_view meta_get_str(const OpenContainer* c, const char* key, uint64_t key_length,
                              const char* default_text, uint64_t default_length) {
  MetaEntry e;
  if (find_typed(c, key, key_length, MetaValueType::kString, &e) && value_in_pool(c, e)) {
    return std::string_view(reinterpret_cast<const char*>(pool_data(c) + e.value),
                            static_cast<size_t>(e.value_length));
  }
  return std::string_view(default_text, static_cast<size_t>(default_length));
}

double meta_get_f64(const OpenContainer* c, const char* key, uint64_t key_length,
                    double default_value) {
  MetaEntry e;
  if (!find_typed(c, key, key_length, MetaValueType::kF64, &e)) return default_value;
  double v;
  std::memcpy(&v, &e.value, sizeof v);
  return v;
}

int64_t meta_get_i64(const OpenContainer* c, const char* key, uint64_t key_length,
                     int64_t default_value) {
  MetaEntry e;
  if (!find_typed(c, key, key_length, MetaValueType::kI64, &e)) return default_value;
  return static_cast<int64_t>(e.value);
}

bool meta_get_bool(const OpenContainer* c, const char* key, uint64_t key_length,
                   bool default_value) {
  MetaEntry e;
  if (!find_typed(c, key, key_length, MetaValueType::kBool, &e)) return default_value;
  return e.value != 0;
}

const uint8_t* meta_get_f32_array(const OpenContainer* c, const char* key, uint64_t key_length,
                                  uint64_t* count) {
  if (count != nullptr) *count = 0;
  MetaEntry e;
  if (!find_typed(c, key, key_length, MetaValueType::kF32Array, &e) || !value_in_pool(c, e)) {
    return nullptr;
  }
  if (count != nullptr) *count = e.value_length / 4;
  return pool_data(c) + e.value;
}

std::string_view meta_get_str_list_item(const OpenContainer* c, const char* key,
                                        uint64_t key_length, uint64_t index) {
  MetaEntry e;
  if (!find_typed(c, key, key_length, MetaValueType::kStringList, &e) || index >= e.item_count ||
      !value_in_pool(c, e) || e.value_length == 0) {
    return empty_text_view();
  }
  const char* p = reinterpret_cast<const char*>(pool_data(c) + e.value);
  const uint64_t n = e.value_length;
  uint64_t start = 0;
  for (uint64_t item = 0;; ++item) {
    uint64_t end = start;
    while (end < n && p[end] != '\0') ++end;
    if (item == index) return std::string_view(p + start, static_cast<size_t>(end - start));
    if (end >= n) return empty_text_view();
    start = end + 1;
  }
}

WeightView container_weight_view(const OpenContainer* c, uint64_t j) {
  const WeightView none{};
  if (j >= container_tensor_count(c)) return none;
  const TensorRecord t = container_tensor_record(c, j);
  if ((t.dtype != 1 && t.dtype != 2 && t.dtype != 4) || t.rank > 6) return none;
  uint64_t count = 1;
  uint64_t row_length = 1;
  if (t.rank > 0) {
    if (t.dims[0] == 0 || t.dims[0] > kMaxViewElements) return none;
    count = t.dims[0];
    for (uint64_t k = 1; k < t.rank; ++k) {
      if (t.dims[k] == 0 || t.dims[k] > kMaxViewElements / count) return none;
      count *= t.dims[k];
    }
    row_length = t.dims[t.rank - 1];
  }
  const uint64_t rows = count / row_length;
  uint64_t row_bytes = 0;
  if (t.dtype == 4) {
    row_bytes = (row_length / kQ8BlockElements + (row_length % kQ8BlockElements != 0)) * kQ8BlockBytes;
  } else {
    row_bytes = (t.dtype == 1 ? 2 : 4) * row_length;
  }
  const uint64_t stored = rows * row_bytes;  // count < 2^31, so this stays below 2^38
  if (t.size != stored || t.row_bytes != row_bytes) return none;
  if (!container_range_ok(t.relative_offset, stored, c->weights_data_size)) return none;
  return WeightView{t.dtype, rows, row_length, count, stored, count * 4, t.absolute_offset,
                    t.relative_offset};
}

}  // namespace vexa
