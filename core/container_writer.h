// Builds .vexa containers: the metadata region laid out section after section, the tensors
// padded into the weights region, every digest and the weights fold filled in, the header
// sealed last. Used by the tests to make containers and by the converter and container tools.
//
// Mistakes (a bad shape, too many tensors, a name with a NUL...) are remembered; the first one is
// reported by write_to_memory / write_to_path, which then produce nothing.
//
// Generative containers (set_generative) are laid out differently: section 1 is a plain string
// area (entry size 1) holding group, value and asset names; section 6 is the generative
// executor's graph section (entry size 8, so readers never take it for graph nodes); section 8
// is empty, which is what marks the model generative; and the processor-asset blobs lie after
// the weights data, in [W + D, L), since their reader requires them outside the metadata image.
// A group record's first word is the absolute offset of the group's name in the string area.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/container_format.h"

namespace vexa {

inline constexpr uint64_t kWriterInvalidIndex = ~uint64_t{0};

class ContainerWriter {
 public:
  ContainerWriter();

  // Stride of a section's entries: at least its record size (sections 1 to 9). The digest table
  // is always 16 and the string pool 1. Readers build the f32 plan only when sections 6 and 8
  // keep their record sizes.
  bool set_entry_size(uint32_t section, uint64_t entry_size);

  // Tensors added after this call form a new load group (the first group opens by itself). The
  // name is stored only in generative containers, where every group has one.
  void begin_group(std::string_view name = {});

  // Switches to the generative layout; call before anything else. Metadata key/values and
  // graph-model nodes and values are refused from then on.
  void set_generative();

  // The generative executor's graph: values and nodes as the section stores them. Value and
  // node indices are the caller's; the writer does not check the graph, so tests can write
  // broken ones on purpose.
  struct ExecValue {
    std::string name;
    uint64_t dtype = 1;   // 1 FP16, 3 INT64, 4 q8 (with a weight binding)
    uint64_t flags = 0;   // bit 0 graph input, bit 1 logits, bit 2 bound to a weight
    uint64_t weight = 0;  // tensor index, read with flag bit 2
  };
  struct ExecNode {
    uint64_t op = 0;
    uint64_t group = 0;
    std::vector<uint64_t> inputs;
    std::vector<uint64_t> outputs;
    std::vector<uint64_t> attrs;  // u64 words; a real is the bits of a double
  };
  uint64_t add_exec_value(const ExecValue& value);
  uint64_t add_exec_node(const ExecNode& node);

  // Each returns the tensor's index, or kWriterInvalidIndex after a mistake. `dims` has 0..6
  // non-zero entries, outermost first; the data holds rows x row-bytes stored bytes, rows being
  // the product of all dims but the last (rank 0 and 1 are one row).
  uint64_t add_tensor_f32(std::string_view name, std::span<const uint64_t> dims,
                          const float* values);
  uint64_t add_tensor_f16(std::string_view name, std::span<const uint64_t> dims,
                          const uint16_t* bits);
  // Q8 rows of ceil(cols / 64) blocks: 64 signed bytes and an f32 scale each.
  uint64_t add_tensor_q8(std::string_view name, std::span<const uint64_t> dims, const void* blocks);

  // Metadata. Setting a key again replaces its entry in place. flags: kMetaFlagImmutable.
  void set_meta_string(std::string_view key, std::string_view value, uint64_t flags = 0);
  void set_meta_f64(std::string_view key, double value, uint64_t flags = 0);
  void set_meta_i64(std::string_view key, int64_t value, uint64_t flags = 0);
  void set_meta_bool(std::string_view key, bool value, uint64_t flags = 0);
  void set_meta_string_list(std::string_view key, std::span<const std::string_view> items,
                            uint64_t flags = 0);
  void set_meta_f32_array(std::string_view key, std::span<const float> values, uint64_t flags = 0);
  void set_meta_opaque(std::string_view key, std::string_view bytes, uint64_t flags = 0);

  // Graph. The value's name fields are filled from `name`; returns the value index.
  uint64_t add_value(const GraphValue& value, std::string_view name);
  // A kind-2 value describing a stored tensor (type, shape, sizes, tensor index, data offset).
  uint64_t add_weight_value(uint64_t tensor_index, std::string_view name);
  // Returns the node index.
  uint64_t add_node(const GraphNode& node);

  // Aux entry: in a graph container the name and blob are stored inside section 1's data, after
  // the metadata table; in a generative one the name goes to the string area and the blob after
  // the weights data.
  void add_aux(std::string_view name, std::string_view blob);

  uint64_t tensor_count() const { return tensors_.size(); }
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  // The whole container in memory.
  bool write_to_memory(std::vector<uint8_t>* out, std::string* error) const;
  // Written through file_replace (core/file_replace.h): a temporary file in the same folder,
  // flushed and renamed over path. Refuses a path that is not a regular file or that is the same
  // file as one of `inputs`; a failure leaves an existing file untouched.
  bool write_to_path(const std::string& path, std::string* error,
                     std::span<const std::string> inputs = {}) const;

 private:
  struct Tensor {
    uint64_t name_offset;
    uint64_t dtype;
    uint64_t group;
    uint64_t rank;
    uint64_t dims[6];
    uint64_t row_bytes;
    uint64_t relative_offset;
    uint64_t padded_size;
    std::vector<uint8_t> bytes;  // stored bytes, unpadded
  };
  struct Aux {
    std::string name;
    std::string blob;
  };
  struct Layout {
    SectionEntry sections[kSectionCount];
    uint64_t aux_area_offset;  // absolute
    uint64_t weights_offset;
    uint64_t data_size;
    uint64_t blob_bytes;  // generative: processor-asset blobs after the weights data
  };

  uint64_t add_tensor(std::string_view name, uint64_t dtype, std::span<const uint64_t> dims,
                      const void* data);
  uint64_t add_string(std::string_view s);
  void set_meta(std::string_view key, uint64_t type, uint64_t inline_value,
                std::string_view pool_value, uint64_t item_count, uint64_t flags);
  void fail(std::string message);
  bool plan_layout(Layout* layout, std::string* error) const;
  bool build_metadata_region(const Layout& layout, std::vector<uint8_t>* region) const;
  void build_generative_sections(const Layout& layout, uint8_t* image) const;
  uint64_t exec_section_words() const;
  uint64_t add_area_string(std::string_view s);
  uint32_t weights_fold() const;

  std::string error_;
  uint64_t entry_sizes_[kSectionCount];
  std::vector<uint8_t> pool_;
  std::vector<MetaEntry> meta_;
  std::vector<Tensor> tensors_;
  std::vector<uint64_t> group_first_;  // first tensor of each group
  bool group_open_requested_ = false;
  std::vector<GraphValue> values_;
  std::vector<GraphNode> nodes_;
  std::vector<Aux> aux_;
  uint64_t next_relative_offset_ = 0;

  bool generative_ = false;
  std::vector<uint8_t> area_;                // generative string area
  std::vector<uint64_t> group_names_;        // area offsets, one per group
  uint64_t pending_group_name_ = 0;
  std::vector<uint64_t> aux_names_;          // area offsets, one per aux entry
  std::vector<ExecValue> exec_values_;
  std::vector<uint64_t> exec_value_names_;   // area offsets
  std::vector<ExecNode> exec_nodes_;
};

}  // namespace vexa
