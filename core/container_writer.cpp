#include "core/container_writer.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <xxhash.h>

#include "core/checked_math.h"
#include "core/container_digest.h"
#include "core/file_replace.h"
#include "core/types.h"

namespace vexa {

namespace {

// Stored tensors are kept well below the 2^63 container limit.
constexpr uint64_t kMaxStoredTensorBytes = uint64_t{1} << 62;
constexpr uint64_t kZeroChunkBytes = 4096;

struct DtypeShape {
  uint64_t elements_per_block;
  uint64_t bytes_per_block;
};

DtypeShape dtype_shape(uint64_t dtype) {
  switch (dtype) {
    case 1: return {1, 2};
    case 2: return {1, 4};
    case 3: return {1, 8};
    default: return {kQ8BlockElements, kQ8BlockBytes};
  }
}

DtypeEntry dtype_entry(uint64_t dtype) {
  DtypeEntry e{};
  if (dtype == 4) {
    e.bits_per_element = 8;
    e.elements_per_block = kQ8BlockElements;
    e.bytes_per_block = kQ8BlockBytes;
    e.scale_dtype = 2;
    e.scale_offset = kQ8ScaleOffsetBytes;
    e.dtype_class = kDtypeClassBlock;
    return e;
  }
  const uint64_t bytes = dtype_shape(dtype).bytes_per_block;
  e.bits_per_element = 8 * bytes;
  e.elements_per_block = 1;
  e.bytes_per_block = bytes;
  e.dtype_class = dtype == 3 ? kDtypeClassInteger : kDtypeClassFloat;
  return e;
}

// Graph-section geometry of a generative container: the executor's header words sit right after
// the common section header, then the node table, the value table, the id area and the
// attribute area, all of u64 words.
constexpr uint64_t kExecHeaderBytes = 64;
constexpr uint64_t kExecNodeStride = 64;
constexpr uint64_t kExecValueStride = 96;
constexpr uint64_t kExecSectionStride = 8;
constexpr uint64_t kStringAreaStride = 1;

void put_u64(uint8_t* image, uint64_t offset, uint64_t value) {
  std::memcpy(image + offset, &value, sizeof value);
}

// Digest and fold of a tensor over its padded size without materialising the padding.
Digest128 padded_digest(const std::vector<uint8_t>& bytes, uint64_t padded_size) {
  static const uint8_t kZeros[kZeroChunkBytes] = {};
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) {
    std::vector<uint8_t> copy(bytes);
    copy.resize(static_cast<size_t>(padded_size), 0);
    return digest128(copy.data(), copy.size());
  }
  XXH3_128bits_reset(state);
  XXH3_128bits_update(state, bytes.data(), bytes.size());
  for (uint64_t left = padded_size - bytes.size(); left > 0;) {
    const uint64_t n = left < kZeroChunkBytes ? left : kZeroChunkBytes;
    XXH3_128bits_update(state, kZeros, static_cast<size_t>(n));
    left -= n;
  }
  const XXH128_hash_t h = XXH3_128bits_digest(state);
  XXH3_freeState(state);
  return Digest128{h.low64, h.high64};
}

}  // namespace

ContainerWriter::ContainerWriter() {
  for (uint64_t i = 0; i < kSectionCount; ++i) entry_sizes_[i] = kSectionEntrySizes[i];
}

void ContainerWriter::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
}

bool ContainerWriter::set_entry_size(uint32_t section, uint64_t entry_size) {
  if (section == kSectionStringPool || section >= kSectionDigests ||
      entry_size < kSectionEntrySizes[section] || entry_size % 8 != 0) {
    fail("invalid entry size for section " + std::to_string(section));
    return false;
  }
  entry_sizes_[section] = entry_size;
  return true;
}

void ContainerWriter::begin_group(std::string_view name) {
  group_open_requested_ = true;
  if (generative_) pending_group_name_ = add_area_string(name);
}

void ContainerWriter::set_generative() {
  if (!tensors_.empty() || !meta_.empty() || !values_.empty() || !nodes_.empty() ||
      !aux_.empty()) {
    fail("set_generative must come before anything is added");
    return;
  }
  generative_ = true;
  entry_sizes_[kSectionMetaKv] = kStringAreaStride;
  entry_sizes_[kSectionNodes] = kExecSectionStride;
  // A group opened by the first tensor without begin_group gets the empty name.
  pending_group_name_ = add_area_string({});
}

uint64_t ContainerWriter::add_area_string(std::string_view s) {
  if (s.find('\0') != std::string_view::npos) {
    fail("string area name contains a NUL byte");
    return 0;
  }
  const uint64_t offset = area_.size();
  area_.insert(area_.end(), s.begin(), s.end());
  area_.push_back(0);
  return offset;
}

uint64_t ContainerWriter::add_exec_value(const ExecValue& value) {
  if (!error_.empty()) return kWriterInvalidIndex;
  if (!generative_) {
    fail("executor graph values need a generative container");
    return kWriterInvalidIndex;
  }
  exec_value_names_.push_back(add_area_string(value.name));
  exec_values_.push_back(value);
  return exec_values_.size() - 1;
}

uint64_t ContainerWriter::add_exec_node(const ExecNode& node) {
  if (!error_.empty()) return kWriterInvalidIndex;
  if (!generative_) {
    fail("executor graph nodes need a generative container");
    return kWriterInvalidIndex;
  }
  exec_nodes_.push_back(node);
  return exec_nodes_.size() - 1;
}

uint64_t ContainerWriter::exec_section_words() const {
  uint64_t words = kExecHeaderBytes / 8 + exec_nodes_.size() * (kExecNodeStride / 8) +
                   exec_values_.size() * (kExecValueStride / 8);
  for (const ExecNode& n : exec_nodes_) {
    words += n.inputs.size() + n.outputs.size() + n.attrs.size();
  }
  return words;
}

uint64_t ContainerWriter::add_string(std::string_view s) {
  const uint64_t offset = pool_.size();
  pool_.insert(pool_.end(), s.begin(), s.end());
  pool_.push_back(0);
  return offset;
}

uint64_t ContainerWriter::add_tensor(std::string_view name, uint64_t dtype,
                                     std::span<const uint64_t> dims, const void* data) {
  if (!error_.empty()) return kWriterInvalidIndex;
  if (tensors_.size() >= kMaxStoredTensors) {
    fail("too many tensors");
    return kWriterInvalidIndex;
  }
  if (name.find('\0') != std::string_view::npos) {
    fail("tensor name contains a NUL byte");
    return kWriterInvalidIndex;
  }
  if (dims.size() > kMaxTensorRank) {
    fail("tensor rank above 6: " + std::string(name));
    return kWriterInvalidIndex;
  }
  Tensor t{};
  t.dtype = dtype;
  t.rank = dims.size();
  for (uint64_t k = 0; k < t.rank; ++k) {
    if (dims[k] == 0) {
      fail("tensor dimension is zero: " + std::string(name));
      return kWriterInvalidIndex;
    }
    t.dims[k] = dims[k];
  }
  const DtypeShape shape = dtype_shape(dtype);
  const uint64_t cols = t.rank == 0 ? 1 : t.dims[t.rank - 1];
  const uint64_t blocks = cols / shape.elements_per_block + (cols % shape.elements_per_block != 0);
  uint64_t size = 0;
  bool ok = checked_mul_u64(blocks, shape.bytes_per_block, &t.row_bytes);
  size = t.row_bytes;
  for (uint64_t k = 0; ok && k + 1 < t.rank; ++k) ok = checked_mul_u64(size, t.dims[k], &size);
  if (!ok || size > kMaxStoredTensorBytes ||
      !checked_round_up(size, kWeightAlignmentBytes, &t.padded_size)) {
    fail("tensor too large: " + std::string(name));
    return kWriterInvalidIndex;
  }
  if (data == nullptr) {
    fail("tensor data is null: " + std::string(name));
    return kWriterInvalidIndex;
  }
  if (tensors_.empty() || group_open_requested_) {
    if (group_first_.size() >= kMaxGroups) {
      fail("too many groups");
      return kWriterInvalidIndex;
    }
    group_first_.push_back(tensors_.size());
    group_names_.push_back(pending_group_name_);
    group_open_requested_ = false;
  }
  t.group = group_first_.size() - 1;
  t.relative_offset = next_relative_offset_;
  const auto* bytes = static_cast<const uint8_t*>(data);
  t.bytes.assign(bytes, bytes + size);
  t.name_offset = add_string(name);
  next_relative_offset_ += t.padded_size;
  tensors_.push_back(std::move(t));
  return tensors_.size() - 1;
}

uint64_t ContainerWriter::add_tensor_f32(std::string_view name, std::span<const uint64_t> dims,
                                         const float* values) {
  return add_tensor(name, 2, dims, values);
}

uint64_t ContainerWriter::add_tensor_f16(std::string_view name, std::span<const uint64_t> dims,
                                         const uint16_t* bits) {
  return add_tensor(name, 1, dims, bits);
}

uint64_t ContainerWriter::add_tensor_q8(std::string_view name, std::span<const uint64_t> dims,
                                        const void* blocks) {
  return add_tensor(name, 4, dims, blocks);
}

void ContainerWriter::set_meta(std::string_view key, uint64_t type, uint64_t inline_value,
                               std::string_view pool_value, uint64_t item_count, uint64_t flags) {
  if (!error_.empty()) return;
  if (generative_) {
    fail("a generative container stores no metadata key/values");
    return;
  }
  if (key.empty()) {
    fail("metadata key is empty");
    return;
  }
  MetaEntry e{};
  e.key_offset = add_string(key);
  e.key_length = key.size();
  e.value_type = type;
  e.flags = flags;
  e.item_count = item_count;
  const bool pooled = type == 1 || type >= 5;
  if (pooled) {
    e.value = add_string(pool_value);  // right after the key and its NUL
    e.value_length = pool_value.size();
  } else {
    e.value = inline_value;
  }
  for (MetaEntry& existing : meta_) {
    const std::string_view existing_key(reinterpret_cast<const char*>(pool_.data()) +
                                            existing.key_offset,
                                        existing.key_length);
    if (existing_key == key) {
      existing = e;
      return;
    }
  }
  meta_.push_back(e);
}

void ContainerWriter::set_meta_string(std::string_view key, std::string_view value,
                                      uint64_t flags) {
  set_meta(key, static_cast<uint64_t>(MetaValueType::kString), 0, value, 1, flags);
}

void ContainerWriter::set_meta_f64(std::string_view key, double value, uint64_t flags) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  set_meta(key, static_cast<uint64_t>(MetaValueType::kF64), bits, {}, 1, flags);
}

void ContainerWriter::set_meta_i64(std::string_view key, int64_t value, uint64_t flags) {
  set_meta(key, static_cast<uint64_t>(MetaValueType::kI64), static_cast<uint64_t>(value), {}, 1,
           flags);
}

void ContainerWriter::set_meta_bool(std::string_view key, bool value, uint64_t flags) {
  set_meta(key, static_cast<uint64_t>(MetaValueType::kBool), value ? 1 : 0, {}, 1, flags);
}

void ContainerWriter::set_meta_string_list(std::string_view key,
                                           std::span<const std::string_view> items,
                                           uint64_t flags) {
  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].find('\0') != std::string_view::npos) {
      fail("string list item contains a NUL byte");
      return;
    }
    if (i > 0) joined.push_back('\0');
    joined.append(items[i]);
  }
  set_meta(key, static_cast<uint64_t>(MetaValueType::kStringList), 0, joined, items.size(), flags);
}

void ContainerWriter::set_meta_f32_array(std::string_view key, std::span<const float> values,
                                         uint64_t flags) {
  const std::string_view bytes(reinterpret_cast<const char*>(values.data()), values.size_bytes());
  set_meta(key, static_cast<uint64_t>(MetaValueType::kF32Array), 0, bytes, values.size(), flags);
}

void ContainerWriter::set_meta_opaque(std::string_view key, std::string_view bytes,
                                      uint64_t flags) {
  set_meta(key, static_cast<uint64_t>(MetaValueType::kOpaque), 0, bytes, 1, flags);
}

uint64_t ContainerWriter::add_value(const GraphValue& value, std::string_view name) {
  if (!error_.empty()) return kWriterInvalidIndex;
  if (generative_) {
    fail("graph-model values cannot go into a generative container");
    return kWriterInvalidIndex;
  }
  if (value.rank > kMaxTensorRank) {
    fail("graph value rank above 6");
    return kWriterInvalidIndex;
  }
  GraphValue v = value;
  v.name_offset = add_string(name);
  v.name_length = name.size();
  values_.push_back(v);
  return values_.size() - 1;
}

uint64_t ContainerWriter::add_weight_value(uint64_t tensor_index, std::string_view name) {
  if (!error_.empty()) return kWriterInvalidIndex;
  if (tensor_index >= tensors_.size()) {
    fail("weight value names a tensor that does not exist");
    return kWriterInvalidIndex;
  }
  const Tensor& t = tensors_[tensor_index];
  GraphValue v{};
  v.kind = static_cast<uint64_t>(ValueKind::kWeight);
  v.dtype = t.dtype;
  v.rank = t.rank;
  v.element_count = 1;
  for (uint64_t k = 0; k < t.rank; ++k) {
    v.dims[k] = t.dims[k];
    v.element_count *= t.dims[k];
  }
  v.byte_size = t.bytes.size();
  v.tensor_index = tensor_index;
  v.data_offset = t.relative_offset;
  return add_value(v, name);
}

uint64_t ContainerWriter::add_node(const GraphNode& node) {
  if (!error_.empty()) return kWriterInvalidIndex;
  if (generative_) {
    fail("graph-model nodes cannot go into a generative container");
    return kWriterInvalidIndex;
  }
  if (node.input_count > kGraphNodeMaxInputs || node.output_count < 1 ||
      node.output_count > kGraphNodeMaxOutputs) {
    fail("graph node has 0..8 inputs and 1..4 outputs");
    return kWriterInvalidIndex;
  }
  nodes_.push_back(node);
  return nodes_.size() - 1;
}

void ContainerWriter::add_aux(std::string_view name, std::string_view blob) {
  if (!error_.empty()) return;
  if (blob.size() > kMaxAuxBlobBytes) {
    fail("aux blob above 8 MiB");
    return;
  }
  if (name.find('\0') != std::string_view::npos) {
    fail("aux name contains a NUL byte");
    return;
  }
  if (generative_) aux_names_.push_back(add_area_string(name));
  aux_.push_back(Aux{std::string(name), std::string(blob)});
}

bool ContainerWriter::plan_layout(Layout* layout, std::string* error) const {
  if (!error_.empty()) {
    *error = error_;
    return false;
  }
  if (tensors_.empty()) {
    *error = "a container needs at least one tensor";
    return false;
  }
  const uint64_t tensors = tensors_.size();
  const uint64_t groups = group_first_.size();
  uint64_t aux_area = 0;
  layout->blob_bytes = 0;
  for (const Aux& a : aux_) {
    if (generative_) {
      layout->blob_bytes += a.blob.size();
    } else {
      aux_area += a.name.size() + 1 + a.blob.size();
    }
  }
  // A generative container has no all-zero aux entry: its reader checks every entry's name.
  const uint64_t counts[kSectionCount] = {
      pool_.size() + kStringPoolSpareBytes,
      generative_ ? area_.size() : meta_.size() + kMetaSpareEntries,
      kDtypeEntryCount,
      tensors,
      groups,
      1,
      generative_ ? exec_section_words() : nodes_.size(),
      2 * groups,
      generative_ ? 0 : values_.size(),
      generative_ ? aux_.size() : (aux_.empty() ? 1 : aux_.size()),
      tensors + 1,
  };
  // Entry sizes are the caller's: a product that wraps would place records outside the region.
  uint64_t offset = kContainerHeaderBytes;
  bool fits = true;
  for (uint64_t i = 0; fits && i < kSectionCount; ++i) {
    uint64_t payload = 0;
    uint64_t size = 0;
    fits = checked_mul_u64(counts[i], entry_sizes_[i], &payload);
    if (fits && i == kSectionMetaKv && !generative_) {
      layout->aux_area_offset = offset + kSectionHeaderBytes + payload;
      fits = checked_add_u64(payload, aux_area, &payload);
    }
    fits = fits && checked_add_u64(kSectionHeaderBytes, payload, &size) &&
           checked_round_up(size, kSectionAlignmentBytes, &size);
    layout->sections[i] = SectionEntry{offset, size};
    fits = fits && checked_add_u64(offset, size, &offset);
  }
  if (!fits || !checked_round_up(offset, kWeightAlignmentBytes, &layout->weights_offset) ||
      layout->weights_offset > kMaxMetadataRegionBytes) {
    *error = "metadata region exceeds 64 MiB";
    return false;
  }
  layout->data_size = next_relative_offset_;
  return true;
}

bool ContainerWriter::build_metadata_region(const Layout& layout,
                                            std::vector<uint8_t>* region) const {
  const uint64_t w = layout.weights_offset;
  region->assign(static_cast<size_t>(w), 0);
  uint8_t* image = region->data();
  const uint64_t tensors = tensors_.size();
  const uint64_t groups = group_first_.size();

  auto section_data = [&](uint64_t i) { return image + layout.sections[i].offset + kSectionHeaderBytes; };
  auto put_header = [&](uint64_t i, uint64_t count) {
    const uint64_t stride = entry_sizes_[i];
    store_record(image + layout.sections[i].offset,
                 SectionHeader{kSectionKind, stride, count, count * stride});
  };
  auto put = [&](uint64_t i, uint64_t j, const auto& record) {
    store_record(section_data(i) + entry_sizes_[i] * j, record);
  };

  put_header(kSectionStringPool, pool_.size() + kStringPoolSpareBytes);
  std::memcpy(section_data(kSectionStringPool), pool_.data(), pool_.size());

  if (generative_) {
    put_header(kSectionMetaKv, area_.size());
    std::memcpy(section_data(kSectionMetaKv), area_.data(), area_.size());
  } else {
    put_header(kSectionMetaKv, meta_.size() + kMetaSpareEntries);
    for (uint64_t j = 0; j < meta_.size(); ++j) put(kSectionMetaKv, j, meta_[j]);
  }
  const uint64_t area_start = layout.sections[kSectionMetaKv].offset + kSectionHeaderBytes;

  put_header(kSectionDtypes, kDtypeEntryCount);
  for (uint64_t d = 1; d <= kDtypeEntryCount; ++d) put(kSectionDtypes, d - 1, dtype_entry(d));

  put_header(kSectionTensors, tensors);
  for (uint64_t j = 0; j < tensors; ++j) {
    const Tensor& t = tensors_[j];
    TensorRecord r{};
    r.name_offset = t.name_offset;
    r.dtype = t.dtype;
    r.group = t.group;
    r.rank = t.rank;
    std::memcpy(r.dims, t.dims, sizeof r.dims);
    r.absolute_offset = w + t.relative_offset;
    r.size = t.bytes.size();
    r.padded_size = t.padded_size;
    r.relative_offset = t.relative_offset;
    r.index = j;
    r.row_bytes = t.row_bytes;
    put(kSectionTensors, j, r);
  }

  put_header(kSectionGroups, groups);
  put_header(kSectionLoadSteps, 2 * groups);
  for (uint64_t g = 0; g < groups; ++g) {
    const uint64_t first = group_first_[g];
    const uint64_t end = g + 1 < groups ? group_first_[g + 1] : tensors;
    const uint64_t r = tensors_[first].relative_offset;
    uint64_t s = 0;
    for (uint64_t j = first; j < end; ++j) s += tensors_[j].padded_size;
    GroupRecord gr{};
    if (generative_) gr.reserved0 = area_start + group_names_[g];
    gr.first_tensor = first;
    gr.tensor_count = end - first;
    gr.absolute_offset = w + r;
    gr.size = s;
    gr.relative_offset = r;
    gr.index = g;
    put(kSectionGroups, g, gr);
    put(kSectionLoadSteps, g, LoadStep{w + r, s, r, g, 0, 0});
    put(kSectionLoadSteps, groups + g, LoadStep{w + r, s, 0, g, g + 1, g & 1});
  }

  put_header(kSectionLayout, 1);
  LayoutRecord lr{};
  lr.layout_kind = kLayoutKind;
  lr.group_count = groups;
  lr.data_size = layout.data_size;
  lr.weights_offset = w;
  lr.group_count_copy = groups;
  put(kSectionLayout, 0, lr);

  if (generative_) {
    build_generative_sections(layout, image);
  } else {
    put_header(kSectionNodes, nodes_.size());
    for (uint64_t j = 0; j < nodes_.size(); ++j) put(kSectionNodes, j, nodes_[j]);

    put_header(kSectionValues, values_.size());
    for (uint64_t j = 0; j < values_.size(); ++j) put(kSectionValues, j, values_[j]);
  }

  put_header(kSectionAux, generative_ ? aux_.size() : (aux_.empty() ? 1 : aux_.size()));
  uint64_t aux_at = layout.aux_area_offset;
  uint64_t blob_at = w + layout.data_size;
  for (uint64_t j = 0; j < aux_.size() && generative_; ++j) {
    AuxEntry e{};
    e.name_offset = area_start + aux_names_[j];
    e.blob_offset = blob_at;
    e.blob_size = aux_[j].blob.size();
    blob_at += e.blob_size;
    put(kSectionAux, j, e);
  }
  for (uint64_t j = 0; j < aux_.size() && !generative_; ++j) {
    const Aux& a = aux_[j];
    AuxEntry e{};
    e.name_offset = aux_at;
    std::memcpy(image + aux_at, a.name.data(), a.name.size());
    aux_at += a.name.size() + 1;
    e.blob_offset = aux_at;
    e.blob_size = a.blob.size();
    std::memcpy(image + aux_at, a.blob.data(), a.blob.size());
    aux_at += a.blob.size();
    put(kSectionAux, j, e);
  }

  put_header(kSectionDigests, tensors + 1);
  for (uint64_t j = 0; j < tensors; ++j) {
    const Digest128 d = padded_digest(tensors_[j].bytes, tensors_[j].padded_size);
    digest_store(section_data(kSectionDigests) + kDigestBytes * j, d);
  }

  ContainerHeader h{};
  h.magic = kContainerMagic;
  h.version = kContainerVersion;
  h.header_size = kContainerHeaderBytes;
  h.container_length = w + layout.data_size + layout.blob_bytes;
  h.alignment = kWeightAlignmentBytes;
  h.weights_offset = w;
  h.weights_size = layout.data_size + layout.blob_bytes;
  std::memcpy(h.sections, layout.sections, sizeof h.sections);
  std::memcpy(image, &h, offsetof(ContainerHeader, body_digest));
  uint32_t fold = weights_fold();
  if (generative_) {
    // The blobs continue the weights region from an aligned start, so their words are the
    // region's words; a partial last word is not part of the fold.
    std::string blobs;
    for (const Aux& a : aux_) blobs += a.blob;
    fold ^= xor_fold32(reinterpret_cast<const uint8_t*>(blobs.data()), blobs.size());
  }
  container_seal_with_fold(image, fold);
  return true;
}

void ContainerWriter::build_generative_sections(const Layout& layout, uint8_t* image) const {
  const uint64_t area_start = layout.sections[kSectionMetaKv].offset + kSectionHeaderBytes;
  const uint64_t section = layout.sections[kSectionNodes].offset;
  const uint64_t words = exec_section_words();
  store_record(image + section,
               SectionHeader{kSectionKind, kExecSectionStride, words, words * kExecSectionStride});
  const uint64_t node_table = section + kSectionHeaderBytes + kExecHeaderBytes;
  const uint64_t value_table = node_table + exec_nodes_.size() * kExecNodeStride;
  const uint64_t id_area = value_table + exec_values_.size() * kExecValueStride;
  uint64_t id_words = 0;
  for (const ExecNode& n : exec_nodes_) id_words += n.inputs.size() + n.outputs.size();
  const uint64_t attr_area = id_area + 8 * id_words;
  put_u64(image, section + 32, exec_nodes_.size());
  put_u64(image, section + 40, kExecNodeStride);
  put_u64(image, section + 48, node_table);
  put_u64(image, section + 56, exec_values_.size());
  put_u64(image, section + 64, kExecValueStride);
  put_u64(image, section + 72, value_table);
  put_u64(image, section + 80, id_area);
  put_u64(image, section + 88, attr_area);

  uint64_t id_at = id_area;
  uint64_t attr_at = attr_area;
  for (uint64_t j = 0; j < exec_nodes_.size(); ++j) {
    const ExecNode& n = exec_nodes_[j];
    const uint64_t at = node_table + j * kExecNodeStride;
    put_u64(image, at + 0, n.op);
    put_u64(image, at + 8, n.group);
    put_u64(image, at + 16, n.inputs.size());
    put_u64(image, at + 24, n.outputs.size());
    put_u64(image, at + 32, id_at);
    put_u64(image, at + 40, attr_at);
    put_u64(image, at + 48, 8 * n.attrs.size());
    for (uint64_t id : n.inputs) put_u64(image, std::exchange(id_at, id_at + 8), id);
    for (uint64_t id : n.outputs) put_u64(image, std::exchange(id_at, id_at + 8), id);
    for (uint64_t a : n.attrs) put_u64(image, std::exchange(attr_at, attr_at + 8), a);
  }
  for (uint64_t j = 0; j < exec_values_.size(); ++j) {
    const ExecValue& v = exec_values_[j];
    const uint64_t at = value_table + j * kExecValueStride;
    put_u64(image, at + 0, area_start + exec_value_names_[j]);
    put_u64(image, at + 8, v.dtype);
    put_u64(image, at + 72, v.flags);
    put_u64(image, at + 80, v.weight);
  }

  store_record(image + layout.sections[kSectionValues].offset,
               SectionHeader{kSectionKind, entry_sizes_[kSectionValues], 0, 0});
}

uint32_t ContainerWriter::weights_fold() const {
  // Each tensor starts on a word boundary and its padding is zero, so the fold of the region is
  // the XOR of the tensors' folds, a partial last word read as if zero-filled.
  uint32_t fold = 0;
  for (const Tensor& t : tensors_) {
    const uint64_t n = t.bytes.size();
    fold ^= xor_fold32(t.bytes.data(), n);
    if (n % 4 != 0) {
      uint8_t tail[4] = {0, 0, 0, 0};
      std::memcpy(tail, t.bytes.data() + (n - n % 4), static_cast<size_t>(n % 4));
      fold ^= xor_fold32(tail, 4);
    }
  }
  return fold;
}

bool ContainerWriter::write_to_memory(std::vector<uint8_t>* out, std::string* error) const {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  Layout layout{};
  if (!plan_layout(&layout, error)) return false;
  try {
    build_metadata_region(layout, out);
    out->resize(static_cast<size_t>(layout.weights_offset + layout.data_size + layout.blob_bytes),
                0);
  } catch (const std::bad_alloc&) {
    *error = "out of memory building the container";
    return false;
  }
  for (const Tensor& t : tensors_) {
    std::memcpy(out->data() + layout.weights_offset + t.relative_offset, t.bytes.data(),
                t.bytes.size());
  }
  uint64_t blob_at = layout.weights_offset + layout.data_size;
  for (const Aux& a : aux_) {
    if (!generative_) break;
    std::memcpy(out->data() + blob_at, a.blob.data(), a.blob.size());
    blob_at += a.blob.size();
  }
  return true;
}

bool ContainerWriter::write_to_path(const std::string& path, std::string* error,
                                    std::span<const std::string> inputs) const {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  Layout layout{};
  if (!plan_layout(&layout, error)) return false;
  std::vector<uint8_t> region;
  try {
    build_metadata_region(layout, &region);
  } catch (const std::bad_alloc&) {
    *error = "out of memory building the container";
    return false;
  }
  const FileReplaceResult written = file_replace(path, inputs, [&](FileReplaceSink& sink) {
    if (!sink.write(region.data(), region.size())) return false;
    for (const Tensor& t : tensors_) {
      if (!sink.write(t.bytes.data(), t.bytes.size()) ||
          !sink.write_zeros(t.padded_size - t.bytes.size())) {
        return false;
      }
    }
    for (const Aux& a : aux_) {
      // Generative asset blobs follow the weights; graph models keep theirs in section 1.
      if (generative_ && !sink.write(a.blob.data(), a.blob.size())) return false;
    }
    return true;
  });
  if (!written.ok()) *error = written.message;
  return written.ok();
}

}  // namespace vexa
