#include "cpu/graph_check.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "cpu/op_table.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kConvKernelHeightWord = 15;
constexpr uint32_t kConvKernelWidthWord = 16;
constexpr uint32_t kConvGroupWord = 25;
constexpr uint64_t kIm2colWholePlaneOutputs = 65535;
constexpr uint64_t kIm2colBandFloats = 4194304;
constexpr uint64_t kMinWorkspaceBytes = 64;

bool fail(GraphCheckError& error, ErrorCode code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

bool fail(GraphCheckError& error, ErrorCode code, const char* format, ...) {
  error.code = code;
  va_list args;
  va_start(args, format);
  std::vsnprintf(error.message, sizeof error.message, format, args);
  va_end(args);
  return false;
}

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

uint64_t stored_element_bytes(uint64_t dtype) {
  switch (dtype) {
    case kDtypeF16: return 2;
    case kDtypeF32: return 4;
    case kDtypeI64: return 8;
    case kDtypeU8: return 1;
    default: return 0;
  }
}

// Product of dims[0..rank-1], false when it exceeds the tensor element limit.
bool dims_product(const CpuValue& v, uint64_t& product) {
  product = 1;
  for (uint32_t i = 0; i < v.rank(); ++i) {
    const uint64_t d = v.dim(i);
    if (d != 0 && product > kMaxTensorElements / d) return false;
    product *= d;
  }
  return product <= kMaxTensorElements;
}

bool check_value(const CpuValue& v, uint64_t id, uint64_t weight_bytes, GraphCheckError& error) {
  const uint64_t kind = v.kind();
  if (kind < kValueGraphInput || kind > kValueGraphOutput) {
    return fail(error, ErrorCode::kInvalidModel, "value %llu has unknown kind %llu", ull(id),
                ull(kind));
  }
  if (v.rank() > kMaxRank) {
    return fail(error, ErrorCode::kInvalidModel, "value %llu has rank %llu", ull(id),
                ull(v.rank()));
  }
  const bool sizeless = kind == kValueIntermediate && v.rank() == 0 && v.element_count() == 0 &&
                        v.byte_size() == 0;
  if (sizeless) return true;
  uint64_t count = 0;
  if (!dims_product(v, count) || count != v.element_count()) {
    return fail(error, ErrorCode::kInvalidModel,
                "value %llu has an element count that does not match its dims", ull(id));
  }
  if (kind == kValueWeight) {
    if (v.dtype() != kDtypeF32 || v.byte_size() != kF32Bytes * count) {
      return fail(error, ErrorCode::kInvalidModel, "weight value %llu is not stored as f32",
                  ull(id));
    }
    const uint64_t offset = v.data_offset();
    if (offset % kF32Bytes != 0 || offset > weight_bytes || v.byte_size() > weight_bytes - offset) {
      return fail(error, ErrorCode::kInvalidModel,
                  "weight value %llu lies outside the weight region", ull(id));
    }
    return true;
  }
  const uint64_t element = stored_element_bytes(v.dtype());
  if (element == 0) {
    return fail(error, ErrorCode::kInvalidModel, "value %llu has unknown data type %llu", ull(id),
                ull(v.dtype()));
  }
  if (v.byte_size() != element * count) {
    return fail(error, ErrorCode::kInvalidModel,
                "value %llu has a byte size that does not match its element count", ull(id));
  }
  return true;
}

bool check_node(const CpuState& s, uint64_t n, GraphCheckError& error) {
  const CpuNode& node = s.nodes[n];
  const uint64_t vc = s.value_count;
  if (node.input_count() > kMaxNodeInputs || node.output_count() < 1 ||
      node.output_count() > kMaxNodeOutputs) {
    return fail(error, ErrorCode::kInvalidModel, "node %llu has %llu inputs and %llu outputs",
                ull(n), ull(node.input_count()), ull(node.output_count()));
  }
  for (uint32_t k = 0; k < node.input_count(); ++k) {
    const uint64_t v = node.input(k);
    if (v >= vc && v != kAbsentValue) {
      return fail(error, ErrorCode::kInvalidModel, "node %llu reads value %llu of %llu", ull(n),
                  ull(v), ull(vc));
    }
  }
  for (uint32_t k = 0; k < node.output_count(); ++k) {
    const uint64_t v = node.output(k);
    if (v >= vc) {
      return fail(error, ErrorCode::kInvalidModel, "node %llu writes value %llu of %llu", ull(n),
                  ull(v), ull(vc));
    }
    const uint64_t kind = s.values[v].kind();
    if (kind != kValueIntermediate && kind != kValueGraphOutput) {
      return fail(error, ErrorCode::kInvalidModel,
                  "node %llu writes value %llu, which is not an activation", ull(n), ull(v));
    }
    for (uint32_t j = 0; j < k; ++j) {
      if (node.output(j) == v) {
        return fail(error, ErrorCode::kInvalidModel, "node %llu writes value %llu twice", ull(n),
                    ull(v));
      }
    }
    for (uint32_t j = 0; j < node.input_count(); ++j) {
      if (node.input(j) == v) {
        return fail(error, ErrorCode::kInvalidModel, "node %llu reads the value %llu it writes",
                    ull(n), ull(v));
      }
    }
  }
  if (!cpu_supports_op(node.kind())) {
    std::string_view name = op_kind_name(node.kind());
    return fail(error, ErrorCode::kUnsupported, "operator %.*s (kind %llu) is not supported on the CPU",
                static_cast<int>(name.size()), name.data(), ull(node.kind()));
  }
  return true;
}

// A value a node touches must have f32 storage for every element (a value that fusion left
// without storage may not be touched by any remaining node).
bool check_storage(const CpuState& s, uint64_t n, uint64_t v, GraphCheckError& error) {
  const CpuValue& val = s.values[v];
  if (val.kind() == kValueWeight) return true;
  if (val.byte_size() != kF32Bytes * val.element_count()) {
    return fail(error, ErrorCode::kInvalidModel, "node %llu uses value %llu, which has no storage",
                ull(n), ull(v));
  }
  return true;
}

bool mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

bool conv_im2col_bytes(const CpuState& s, const CpuNode& node, uint64_t& bytes) {
  bytes = 0;
  if (node.input_count() < 1 || node.input(0) >= s.value_count) return true;
  const CpuValue& in = s.values[node.input(0)];
  const CpuValue& out = s.values[node.output(0)];
  if (in.rank() < 4 || out.rank() < 4) return true;
  const int64_t group_word = node.attr(kConvGroupWord);
  const uint64_t groups = group_word > 1 ? static_cast<uint64_t>(group_word) : 1;
  const uint64_t kh = node.w[kConvKernelHeightWord];
  const uint64_t kw = node.w[kConvKernelWidthWord];
  uint64_t need = kF32Bytes;
  if (node.kind() == static_cast<uint64_t>(OpKind::kConvTranspose)) {
    return mul(need, kh, need) && mul(need, kw, need) && mul(need, in.dim(2), need) &&
           mul(need, in.dim(3), need) && mul(need, out.dim(1) / groups, need) &&
           (bytes = need, true);
  }
  const uint64_t h_out = out.dim(2);
  const uint64_t w_out = out.dim(3);
  uint64_t r = 1;
  if (!mul(kh, kw, r) || !mul(r, w_out, r) || !mul(r, in.dim(1) / groups, r)) return false;
  uint64_t plane = 0;
  if (!mul(h_out, w_out, plane)) return false;
  uint64_t band = h_out;
  if (plane > kIm2colWholePlaneOutputs) {
    const uint64_t rows = r == 0 ? h_out : kIm2colBandFloats / r;
    band = rows < h_out ? rows : h_out;
    if (band == 0) band = 1;
  }
  return mul(need, r, need) && mul(need, band, need) && (bytes = need, true);
}

// The arena planner, in-place Concat and fusion assume each activation has exactly one writer
// that runs before every reader; a graph that breaks this would compute from stale or shared
// bytes, so it is refused.
bool check_single_writer_order(const CpuState& s, GraphCheckError& error) {
  std::vector<uint8_t> written(s.value_count, 0);
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const CpuNode& node = s.nodes[n];
    for (uint32_t k = 0; k < node.input_count(); ++k) {
      const uint64_t v = node.input(k);
      if (v == kAbsentValue || s.values[v].kind() != kValueIntermediate) continue;
      if (!written[v]) {
        return fail(error, ErrorCode::kInvalidModel,
                    "node %llu reads value %llu before any node writes it", ull(n), ull(v));
      }
    }
    for (uint32_t k = 0; k < node.output_count(); ++k) {
      const uint64_t v = node.output(k);
      if (written[v]) {
        return fail(error, ErrorCode::kInvalidModel,
                    "node %llu writes value %llu, which an earlier node already wrote", ull(n),
                    ull(v));
      }
      written[v] = 1;
    }
  }
  return true;
}

}  // namespace

bool graph_check_records(const CpuState& s, uint64_t weight_bytes, GraphCheckError& error) {
  bool have_output = false;
  for (uint64_t v = 0; v < s.value_count; ++v) {
    if (!check_value(s.values[v], v, weight_bytes, error)) return false;
    have_output = have_output || s.values[v].kind() == kValueGraphOutput;
  }
  if (!have_output) return fail(error, ErrorCode::kInvalidModel, "graph has no output value");
  for (uint64_t n = 0; n < s.node_count; ++n) {
    if (!check_node(s, n, error)) return false;
  }
  return check_single_writer_order(s, error);
}

bool graph_check_nodes(const CpuState& s, GraphCheckError& error) {
  char message[kCheckMessageCapacity];
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const CpuNode& node = s.nodes[n];
    if (!check_node(s, n, error)) return false;
    for (uint32_t k = 0; k < node.input_count(); ++k) {
      if (node.input(k) != kAbsentValue && !check_storage(s, n, node.input(k), error)) return false;
    }
    for (uint32_t k = 0; k < node.output_count(); ++k) {
      if (!check_storage(s, n, node.output(k), error)) return false;
    }
    const OpEntry* entry = cpu_op_entry(node.kind());
    message[0] = '\0';
    OpCheck check{node, s.values, s.value_count, message, sizeof message};
    if (!entry->check(check)) {
      return fail(error, ErrorCode::kInvalidModel, "node %llu: %s", ull(n),
                  message[0] != '\0' ? message : "refused");
    }
  }
  return true;
}

bool graph_workspace_bytes(const CpuState& s, uint64_t& bytes) {
  bytes = kMinWorkspaceBytes;
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const CpuNode& node = s.nodes[n];
    uint64_t need = 0;
    if (node.kind() == static_cast<uint64_t>(OpKind::kConv) ||
        node.kind() == static_cast<uint64_t>(OpKind::kConvTranspose)) {
      if (!conv_im2col_bytes(s, node, need)) return false;
      if (need > bytes) bytes = need;
    }
    const OpEntry* entry = cpu_op_entry(node.kind());
    if (entry != nullptr && entry->workspace != nullptr) {
      OpCheck check{node, s.values, s.value_count, nullptr, 0};
      need = entry->workspace(check);
      if (need > bytes) bytes = need;
    }
  }
  return true;
}

}  // namespace vexa::cpu
