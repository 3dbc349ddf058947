// Reading ONNX files without a protobuf library: the wire primitives and decoders of the few
// messages conversion needs (ModelProto, GraphProto, NodeProto, AttributeProto, TensorProto,
// ValueInfoProto, OperatorSetIdProto, StringStringEntryProto). Every decoder works on a range
// [start, end) of the file image and fails rather than reads past it.
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/onnx_builder.h"

namespace vexa::tools {

enum WireType : uint32_t { kWireVarint = 0, kWireFixed64 = 1, kWireBytes = 2, kWireFixed32 = 5 };

// A position inside [.., end) of one image.
struct WireCursor {
  const uint8_t* image;
  uint64_t pos;
  uint64_t end;

  bool done() const { return pos >= end; }
};

// 7 bits a byte, least significant group first. A varint cut by the range end stops there with
// the value read so far.
uint64_t wire_read_varint(WireCursor& c);
// Reads a tag; false at the range end.
bool wire_read_tag(WireCursor& c, uint32_t& field, uint32_t& wire_type);
// A length-delimited payload [start, start + length); false when it runs past the range.
bool wire_read_bytes(WireCursor& c, uint64_t& start, uint64_t& length);
// Skips the value of a field whose tag was just read; false for groups, invalid types and
// values past the range end.
bool onnx_skip_field(WireCursor& c, uint32_t wire_type);

struct OnnxValueInfo {
  std::string_view name;
  uint64_t elem_type = 0;
  bool has_shape = false;
  uint64_t rank = 0;
  uint64_t dims[kMaxRank] = {};          // 0 when the dimension has no value
  std::string_view dim_params[kMaxRank];  // empty when absent
};

struct OnnxNodeHeader {
  std::string_view name;
  std::string_view op_type;
  std::string_view domain;
};

// Decodes one TensorProto into a value: by its own name (into_given false, initializers) or into
// `value` (into_given true, Constant values). False with s.detail set when the tensor cannot be
// stored (element type, rank, payload size, external data).
bool onnx_read_tensor(BuilderState& s, uint32_t value, bool into_given, uint64_t start,
                      uint64_t end);
bool onnx_read_value_info(const uint8_t* image, uint64_t start, uint64_t end, OnnxValueInfo& out);
// Never fails; unreadable fields stay empty.
void onnx_scan_node_header(const uint8_t* image, uint64_t start, uint64_t end, OnnxNodeHeader& out);

// The ModelProto walk: ir_version, metadata, opsets and the span of the graph. The error text is
// empty on success.
std::string onnx_read_model(BuilderState& s, uint64_t& graph_start, uint64_t& graph_end);

// One pass over the GraphProto's fields: calls fn(field, start, end) for every length-delimited
// field whose number is in `fields`; other fields are skipped. fn returns false to stop the
// walk, which then returns false as well; a malformed field returns false with *corrupt set.
template <typename Fn>
bool onnx_walk_fields(const uint8_t* image, uint64_t start, uint64_t end,
                      std::initializer_list<uint32_t> fields, bool* corrupt, Fn&& fn) {
  WireCursor c{image, start, end};
  *corrupt = false;
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(c, field, wire)) {
    bool wanted = false;
    for (uint32_t f : fields) wanted = wanted || f == field;
    if (wanted && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) {
        *corrupt = true;
        return false;
      }
      if (!fn(field, s0, s0 + n)) return false;
    } else if (!onnx_skip_field(c, wire)) {
      *corrupt = true;
      return false;
    }
  }
  return true;
}

// Printable name of an ONNX element type for messages.
std::string_view onnx_type_name(uint64_t type);

}  // namespace vexa::tools
