// A minimal protobuf encoder for building ONNX files inside tests (names, shapes and sizes that
// committed fixtures cannot hold, such as 65 MiB strings or 300 KB names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::tools::testing {

inline std::string pb_varint(uint64_t v) {
  std::string out;
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
  return out;
}
inline std::string pb_bytes(uint32_t field, const std::string& payload) {
  return pb_varint(uint64_t{field} << 3 | 2) + pb_varint(payload.size()) + payload;
}
inline std::string pb_int(uint32_t field, uint64_t v) { return pb_varint(uint64_t{field} << 3) + pb_varint(v); }

// ValueInfoProto of a float tensor with fixed dims.
inline std::string pb_value_info(const std::string& name, const std::vector<uint64_t>& dims,
                                 uint64_t elem_type = 1) {
  std::string shape;
  for (uint64_t d : dims) shape += pb_bytes(1, pb_int(1, d));
  const std::string tensor = pb_int(1, elem_type) + pb_bytes(2, shape);
  return pb_bytes(1, name) + pb_bytes(2, pb_bytes(1, tensor));
}

inline std::string pb_node(const std::string& op, const std::vector<std::string>& in,
                           const std::vector<std::string>& out, const std::string& name,
                           const std::string& attributes = "") {
  std::string n;
  for (const std::string& i : in) n += pb_bytes(1, i);
  for (const std::string& o : out) n += pb_bytes(2, o);
  return n + pb_bytes(3, name) + pb_bytes(4, op) + attributes;
}

// ModelProto: IR version 7, one default-domain opset, the graph and any extra fields.
inline std::string pb_model(const std::string& graph, uint64_t opset = 13,
                            const std::string& extra = "") {
  return pb_int(1, 7) + extra + pb_bytes(7, graph) + pb_bytes(8, pb_int(2, opset));
}

}  // namespace vexa::tools::testing
