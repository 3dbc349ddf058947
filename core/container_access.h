// Read-only accessors over an opened container's in-memory image: graph records, the string
// pool, the key/value metadata with typed getters, and bounded views of stored weights. None of
// them reads the file or allocates; texts borrow the image.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/container.h"

namespace vexa {

// All fields zero when the tensor is unusable.
struct WeightView {
  uint64_t dtype;  // 1 f16, 2 f32, 4 Q8 block
  uint64_t rows;
  uint64_t row_length;
  uint64_t element_count;  // below 2^31
  uint64_t stored_size;    // rows x row bytes
  uint64_t f32_size;       // element_count x 4
  uint64_t absolute_offset;
  uint64_t relative_offset;
};

uint64_t container_node_count(const OpenContainer* container);
uint64_t container_value_count(const OpenContainer* container);
// Records past the section's count, or of a section whose stride is shorter than the record,
// read as zero where the file has no bytes for them.
GraphNode container_read_node(const OpenContainer* container, uint64_t i);
GraphValue container_read_value(const OpenContainer* container, uint64_t i);

// 0 when section 1's entry size is below 64 (the container then has no metadata).
uint64_t meta_count(const OpenContainer* container);
MetaEntry meta_entry_at(const OpenContainer* container, uint64_t i);
uint64_t meta_live_count(const OpenContainer* container);

// Pool bytes [offset, offset + length) when length > 0 and inside the pool; else empty text.
std::string_view pool_string(const OpenContainer* container, uint64_t offset, uint64_t length);
// The entry's pool-stored value bytes, or null when they are not inside the pool.
const uint8_t* meta_value_ptr(const OpenContainer* container, const MetaEntry& entry);

// Exact, case-sensitive key lookup; the lowest matching slot wins.
bool meta_find(const OpenContainer* container, const char* key, uint64_t key_length,
               MetaEntry* out);
// Typed getters: a value of another type yields the default; nothing is converted.
std::string_view meta_get_str(const OpenContainer* container, const char* key,
                              uint64_t key_length, const char* default_text,
                              uint64_t default_length);
double meta_get_f64(const OpenContainer* container, const char* key, uint64_t key_length,
                    double default_value);
int64_t meta_get_i64(const OpenContainer* container, const char* key, uint64_t key_length,
                     int64_t default_value);
bool meta_get_bool(const OpenContainer* container, const char* key, uint64_t key_length,
                   bool default_value);
// The little-endian f32 values of a type-6 entry, count = value length / 4; null with count 0
// otherwise. Pool values carry no alignment: read elements with meta_f32_at.
const uint8_t* meta_get_f32_array(const OpenContainer* container, const char* key,
                                  uint64_t key_length, uint64_t* count);
inline float meta_f32_at(const uint8_t* array, uint64_t i) {
  float v;
  std::memcpy(&v, array + 4 * i, sizeof v);
  return v;
}
// Item `index` of a type-5 entry (items separated by NUL); empty text otherwise.
std::string_view meta_get_str_list_item(const OpenContainer* container, const char* key,
                                        uint64_t key_length, uint64_t index);

// Convenience forms taking views.
inline bool meta_find(const OpenContainer* c, std::string_view key, MetaEntry* out) {
  return meta_find(c, key.data(), key.size(), out);
}
inline std::string_view meta_get_str(const OpenContainer* c, std::string_view key,
                                     std::string_view default_text) {
  return meta_get_str(c, key.data(), key.size(), default_text.data(), default_text.size());
}
inline double meta_get_f64(const OpenContainer* c, std::string_view key, double d) {
  return meta_get_f64(c, key.data(), key.size(), d);
}
inline int64_t meta_get_i64(const OpenContainer* c, std::string_view key, int64_t d) {
  return meta_get_i64(c, key.data(), key.size(), d);
}
inline bool meta_get_bool(const OpenContainer* c, std::string_view key, bool d) {
  return meta_get_bool(c, key.data(), key.size(), d);
}

WeightView container_weight_view(const OpenContainer* container, uint64_t j);

}  // namespace vexa
