#include "tools/convert_driver.h"


#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/container_writer.h"
#include "core/file_replace.h"
#include "tools/batchnorm_reduce.h"
#include "tools/family_rewrites.h"
#include "tools/file_read.h"
#include "tools/onnx_lower.h"
#include "tools/onnx_wire.h"
#include "tools/shape_infer.h"

namespace vexa::tools {

namespace {

constexpr uint64_t kOpsetFirst = 11;
constexpr uint64_t kOpsetLast = 20;
constexpr uint64_t kReportedRefusals = 100;
constexpr uint32_t kGraphNodeField = 1;
constexpr uint32_t kGraphInitializerField = 5;
constexpr uint32_t kGraphInputField = 11;
constexpr uint32_t kGraphOutputField = 12;
constexpr uint64_t kMegabyteShift = 20;
constexpr uint64_t kMegabyteRounding = uint64_t{1} << 19;
constexpr uint64_t kOptionBatchShift = 32;
// The writer's refusal of a metadata region the reader would not open.
constexpr std::string_view kWriterMetadataTooLarge = "metadata region exceeds 64 MiB";

// Notes of the most recent conversion.
struct ConvertReport {
  std::string batch_names;
  uint64_t int8_elements = 0;
  uint32_t rewrite_bits = 0;
};
ConvertReport g_report;

ConvertResult failure(std::string message) { return ConvertResult{false, std::move(message)}; }

std::string fold_message(const BuilderState& s) {
  const std::string name =
      s.fold_failure_node < s.extras.size() ? std::string(s.extras[s.fold_failure_node].name) : "";
  const std::string op = s.fold_failure_node < s.nodes.size()
                             ? std::string(op_kind_name(s.nodes[s.fold_failure_node].op_kind))
                             : "";
  switch (s.fold_failure) {
    case kFoldGatherIndices:
      return "unsupported Gather '" + name +
             "': constant indices other than 0..n-1 (the runtime Gather needs float indices)";
    case kFoldPad:
      return "unsupported Pad '" + name +
             "': only constant zero padding with non-negative pads is supported";
    case kFoldWhereI64:
      return "unsupported Where '" + name + "': a runtime condition over int64 values";
    case kFoldNot2d:
      return "unsupported " + op + " '" + name +
             "': only 2-D spatial inputs (rank 4, NCHW) are supported";
    case kFoldScatterND:
      return "unsupported ScatterND '" + name +
             "': its indices are computed at convert time from multi-dimensional int64 "
             "arithmetic, which the converter does not fold correctly yet";
    case kFoldInconsistent:
      if (!s.detail.empty()) return s.detail;
      return "constant folding failed at " + op + " '" + name + "': inconsistent shapes or indices";
    case kFoldConvertTimeOnly:
      return "unsupported node '" + name +
             "': OneHot, LessOrEqual, GreaterOrEqual and Tile run only on values known at "
             "convert time";
    case kFoldPow:
      return "unsupported Pow '" + name + "': only constant exponents 2, 0.5 and 1 are supported";
    case kFoldRefused:
      return s.detail;
    default:
      if (!s.detail.empty()) return s.detail;
      if (!op.empty()) return "shape inference failed at " + op + " '" + name + "'";
      return "shape inference failed";
  }
}

bool read_file(const char* path, std::vector<uint8_t>& image, std::string& error) {
  switch (read_regular_file(path, image)) {
    case FileReadStatus::kOk: return true;
    case FileReadStatus::kOpenFailed: error = "failed to open onnx file"; return false;
    case FileReadStatus::kEmpty: error = "empty onnx file"; return false;
    case FileReadStatus::kNoMemory: error = "out of memory reading onnx"; return false;
    case FileReadStatus::kReadFailed:
    case FileReadStatus::kTooLarge: break;  // no limit is asked for
  }
  error = "failed reading onnx bytes";
  return false;
}

std::string node_report_line(const BuilderState& s, const OnnxNodeHeader& h, uint32_t code) {
  const std::string domain = h.domain.empty() ? "ai.onnx" : std::string(h.domain);
  return "  '" + std::string(h.name) + "' " + std::string(h.op_type) + " (" + domain + " opset " +
         std::to_string(onnx_opset_for_domain(s, h.domain)) + "): " +
         std::string(onnx_lower_reason(code)) + "\n";
}

// The number of dims a ValueInfoProto's tensor shape lists (0 without a shape), read without
// the rank bound of the full reader so that a deeper shape can be reported as such.
uint64_t value_info_rank(const uint8_t* image, uint64_t start, uint64_t end) {
  constexpr uint32_t kTypeField = 2, kTensorTypeField = 1, kShapeField = 2, kDimField = 1;
  uint64_t rank = 0;
  bool corrupt = false;
  auto each = [&](uint64_t a, uint64_t b, uint32_t field, auto&& fn) {
    onnx_walk_fields(image, a, b, {field}, &corrupt, [&](uint32_t, uint64_t x, uint64_t y) {
      fn(x, y);
      return true;
    });
  };
  each(start, end, kTypeField, [&](uint64_t a, uint64_t b) {
    each(a, b, kTensorTypeField, [&](uint64_t c, uint64_t d) {
      each(c, d, kShapeField, [&](uint64_t e, uint64_t f) {
        each(e, f, kDimField, [&](uint64_t, uint64_t) { ++rank; });
      });
    });
  });
  return rank;
}

// Whether the ValueInfoProto's type, when it has one, is a tensor type (not a sequence, map or
// optional).
bool value_info_is_tensor(const uint8_t* image, uint64_t start, uint64_t end) {
  constexpr uint32_t kTypeField = 2, kTensorTypeField = 1;
  bool corrupt = false, has_type = false, tensor = false;
  onnx_walk_fields(image, start, end, {kTypeField}, &corrupt, [&](uint32_t, uint64_t a, uint64_t b) {
    has_type = true;
    bool inner_corrupt = false;
    onnx_walk_fields(image, a, b, {kTensorTypeField}, &inner_corrupt,
                     [&](uint32_t, uint64_t, uint64_t) {
                       tensor = true;
                       return true;
                     });
    return true;
  });
  return !has_type || tensor;
}

bool onnx_integer_type(uint64_t t) {
  return t == kOnnxUint8 || t == kOnnxInt8 || t == kOnnxUint16 || t == kOnnxInt16 ||
         t == kOnnxInt32 || t == kOnnxInt64 || t == kOnnxUint32 || t == kOnnxUint64;
}

// Why a graph input or output cannot be carried by the f32 engines; empty when it can (or when
// the full reader will report the entry as malformed).
std::string graph_io_problem(const uint8_t* image, uint64_t start, uint64_t end, bool is_output) {
  const std::string what = is_output ? "output" : "input";
  OnnxValueInfo info;
  if (!onnx_read_value_info(image, start, end, info)) {
    const uint64_t rank = value_info_rank(image, start, end);
    if (rank > kMaxRank) {
      return "graph " + what + " has rank " + std::to_string(rank) +
             ": rank above 6 is not supported";
    }
    return "";
  }
  if (!value_info_is_tensor(image, start, end)) {
    return "graph " + what + " '" + std::string(info.name) +
           "' is not a tensor (sequence, map and optional values are not supported)";
  }
  if (info.elem_type == kOnnxString || info.elem_type == kOnnxBfloat16) {
    return "graph " + what + " '" + std::string(info.name) + "' holds " +
           std::string(onnx_type_name(info.elem_type)) + " elements, which are not supported";
  }
  return "";
}

uint64_t round_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// Every file the conversion read: the output may replace none of them.
std::vector<std::string> conversion_inputs(const BuilderState& s) {
  std::vector<std::string> inputs{s.model_path, s.model_path + ".data"};
  for (const auto& [location, bytes] : s.external_files) {
    if (location.empty()) continue;  // the ".data" file beside the model, listed above
    inputs.push_back(s.model_dir.empty() ? location : s.model_dir + "/" + location);
  }
  return inputs;
}

ConvertResult write_container(BuilderState& s, const std::string& vexa_path) {
  ContainerWriter writer;
  for (const auto& [key, value] : s.meta) writer.set_meta_string(key, value);
  uint64_t relative = 0;
  for (uint32_t i = 0; i < s.values.size(); ++i) {
    const BuilderValue& v = s.values[i];
    GraphValue g{};
    g.kind = v.kind;
    g.dtype = v.dtype;
    g.rank = v.rank;
    uint64_t count = 1;
    for (uint64_t d = 0; d < kMaxRank; ++d) g.dims[d] = d < v.rank ? v.dims[d] : 0;
    if (!builder_element_count(v.rank, v.dims, count)) {
      return failure("value '" + std::string(v.name) + "' has more than 2^30 elements");
    }
    const bool sizeless = v.kind == static_cast<uint64_t>(ValueKind::kIntermediate) && v.rank == 0;
    g.element_count = sizeless ? 0 : count;
    g.byte_size = g.element_count * (v.dtype == kTypeI64 ? 8 : 4);
    g.tensor_index = kAbsentInput;
    if (v.kind == static_cast<uint64_t>(ValueKind::kWeight)) {
      if (v.dtype != kTypeF32) return failure("weight '" + std::string(v.name) + "' is not f32");
      if (v.has_data && v.data_bytes != count * 4) {
        return failure("weight '" + std::string(v.name) + "' holds " +
                       std::to_string(v.data_bytes) + " bytes for " + std::to_string(count) +
                       " elements");
      }
      // A weight without data is only the placeholder; stored as one zero.
      std::vector<float> values(count == 0 ? 1 : count, 0.0f);
      if (v.has_data && v.data_bytes != 0) std::memcpy(values.data(), v.data, v.data_bytes);
      const uint64_t dims[1] = {values.size()};
      const uint64_t tensor = writer.add_tensor_f32(v.name, dims, values.data());
      if (tensor == kWriterInvalidIndex) return failure("cannot store weight: " + writer.error());
      g.tensor_index = tensor;
      g.data_offset = relative;
      relative += round_up(values.size() * 4, kWeightAlignmentBytes);
    }
    if (writer.add_value(g, v.name) == kWriterInvalidIndex) {
      return failure("cannot store value: " + writer.error());
    }
  }
  for (const GraphNode& n : s.nodes) {
    if (writer.add_node(n) == kWriterInvalidIndex) return failure("cannot store node: " + writer.error());
  }
  std::string error;
  const std::vector<std::string> inputs = conversion_inputs(s);
  const std::string refusal = file_replace_refusal(vexa_path, inputs);
  if (!refusal.empty()) return failure(refusal);
  if (!writer.write_to_path(vexa_path, &error, inputs)) {
    if (error == kWriterMetadataTooLarge) {
      return failure("the container's metadata region would exceed 64 MiB, the reader's limit");
    }
    return failure("failed to create output .vexa file: " + error);
  }
  return ConvertResult{true, ""};
}

}  // namespace

ConvertResult onnx_convert(std::string_view onnx_path, std::string_view vexa_path,
                           uint64_t option_word, InputBindings* bindings) {
  g_report = ConvertReport{};
  if (onnx_path.find('\0') != std::string_view::npos || onnx_path.empty()) {
    return failure("invalid onnx path");
  }
  if (vexa_path.find('\0') != std::string_view::npos || vexa_path.empty()) {
    return failure("invalid vexa path");
  }
  const std::string onnx(onnx_path);
  const std::string vexa(vexa_path);
  // An output that may not be written is refused before any work, so nothing is read or made.
  if (bindings == nullptr || bindings->describe_only != 1) {
    const std::string inputs[] = {onnx, onnx + ".data"};
    const std::string refusal = file_replace_refusal(vexa, inputs);
    if (!refusal.empty()) return failure(refusal);
  }
  std::vector<uint8_t> image;
  std::string error;
  if (!read_file(onnx.c_str(), image, error)) return failure(error);

  std::unique_ptr<BuilderState> state;
  try {
    state = std::make_unique<BuilderState>();
  } catch (const std::bad_alloc&) {
    return failure("out of memory allocating BuilderState");
  }
  BuilderState& s = *state;
  s.image = image.data();
  s.image_size = image.size();
  s.model_path = onnx;
  const size_t slash = onnx.rfind('/');
  s.model_dir = slash == std::string::npos ? "" : (slash == 0 ? "/" : onnx.substr(0, slash));

  uint64_t graph_start = 0, graph_end = 0;
  error = onnx_read_model(s, graph_start, graph_end);
  if (!error.empty()) return failure(error);
  s.bindings = bindings;
  s.opset = onnx_opset_for_domain(s, "");
  if (s.opset == 0) return failure("the model imports no default-domain (ai.onnx) opset");
  if (s.opset < kOpsetFirst || s.opset > kOpsetLast) {
    return failure("the model uses ONNX opset " + std::to_string(s.opset) +
                   "; this converter was written for opsets " + std::to_string(kOpsetFirst) +
                   " to " + std::to_string(kOpsetLast));
  }
  if (s.meta.size() < kBuilderMaxMeta) s.meta.emplace_back("onnx.opset", std::to_string(s.opset));
  if (s.meta.size() < kBuilderMaxMeta) {
    s.meta.emplace_back("onnx.ir_version", std::to_string(s.ir_version));
  }

  // Pass 1: initializers.
  bool corrupt = false;
  bool decoded = onnx_walk_fields(s.image, graph_start, graph_end, {kGraphInitializerField},
                                  &corrupt, [&](uint32_t, uint64_t a, uint64_t b) {
    return onnx_read_tensor(s, 0, false, a, b);
  });
  if (corrupt) return failure("corrupt GraphProto pass 1");
  if (!decoded) return failure(s.detail.empty() ? "failed parsing TensorProto" : s.detail);

  if (bindings != nullptr) {
    error = onnx_check_input_bindings(s, graph_start, graph_end, g_report.batch_names);
    if (!error.empty()) return failure(error);
  }

  // Pass 2a: graph inputs and outputs.
  bool input_failed = false;
  std::string io_problem;
  std::vector<std::string_view> integer_inputs;
  decoded = onnx_walk_fields(s.image, graph_start, graph_end, {kGraphInputField, kGraphOutputField},
                             &corrupt, [&](uint32_t field, uint64_t a, uint64_t b) {
    const bool is_output = field == kGraphOutputField;
    io_problem = graph_io_problem(s.image, a, b, is_output);
    if (!io_problem.empty()) return false;
    OnnxValueInfo info;
    if (!is_output && onnx_read_value_info(s.image, a, b, info) &&
        onnx_integer_type(info.elem_type)) {
      integer_inputs.push_back(info.name);
    }
    if (!onnx_read_graph_io(s, a, b, is_output, option_word)) {
      input_failed = !is_output;
      return false;
    }
    return true;
  });
  if (corrupt) return failure("corrupt GraphProto pass 2a");
  if (!io_problem.empty()) return failure(io_problem);
  if (!decoded) {
    return failure(input_failed ? "failed parsing input ValueInfoProto"
                                : "failed parsing output ValueInfoProto");
  }

  // A detection tail is cut off after its head and replaced by one YoloNms node.
  const DetectionTail tail = onnx_match_detection_tail(s, graph_start, graph_end);
  uint64_t node_number = 0;

  // Pass 2b: nodes.
  uint64_t refused = 0;
  std::string lines;
  bool over_limits = false;
  decoded = onnx_walk_fields(s.image, graph_start, graph_end, {kGraphNodeField}, &corrupt,
                             [&](uint32_t, uint64_t a, uint64_t b) {
    if (s.nodes.size() >= kBuilderMaxNodes - kBuilderNodeHeadroom + 1 ||
        s.values.size() >= kBuilderMaxValues - kBuilderValueHeadroom) {
      over_limits = true;
      return false;
    }
    if (tail.matched && node_number++ > tail.cut_node) return true;
    OnnxNodeHeader header;
    onnx_scan_node_header(s.image, a, b, header);
    s.lower_failure = kLowerOk;
    s.detail.clear();
    if (onnx_rewrite_node(s, a, b)) return true;
    if (!onnx_lower_node(s, a, b)) {
      ++refused;
      if (refused <= kReportedRefusals) {
        std::string line = node_report_line(s, header, s.lower_failure);
        if ((s.lower_failure == kLowerBadTensor || s.lower_failure == kLowerUnsupportedForm) &&
            !s.detail.empty()) {
          line.pop_back();
          line += " (" + s.detail + ")\n";
        }
        lines += line;
      }
    }
    return true;
  });
  if (over_limits) {
    return failure("the model is larger than the converter's limits (" +
                   std::to_string(kBuilderMaxNodes) + " nodes, " +
                   std::to_string(kBuilderMaxValues) + " values)");
  }
  if (corrupt) return failure("corrupt GraphProto pass 2b");
  if (refused > 0) {
    return failure(std::to_string(refused) + " unsupported node(s):\n" + lines +
                   (refused > kReportedRefusals ? "  ...\n" : ""));
  }
  if (tail.matched && !onnx_append_yolo_nms(s, tail)) {
    return failure("the model is larger than the converter's limits (" +
                   std::to_string(kBuilderMaxNodes) + " nodes, " +
                   std::to_string(kBuilderMaxValues) + " values)");
  }
  // The engines divide in f32; ONNX's integer division truncates.
  for (const GraphNode& n : s.nodes) {
    if (n.op_kind != static_cast<uint64_t>(OpKind::kDiv)) continue;
    for (uint64_t i = 0; i < n.input_count && i < kGraphNodeMaxInputs; ++i) {
      if (n.inputs[i] == kAbsentInput ||
          s.values[n.inputs[i]].kind != static_cast<uint64_t>(ValueKind::kGraphInput)) {
        continue;
      }
      for (std::string_view name : integer_inputs) {
        if (s.values[n.inputs[i]].name == name) {
          return failure("Div of integer input '" + std::string(name) +
                         "' is not supported: integer division truncates, the f32 engines do not");
        }
      }
    }
  }
  if (s.nodes.empty()) {
    return failure("the graph has no operator to run: every output is a constant");
  }
  uint64_t batch_norms = 0;
  if (!onnx_reduce_batch_norms(s, &batch_norms)) {
    return failure("the model is larger than the converter's limits (" +
                   std::to_string(kBuilderMaxNodes) + " nodes, " +
                   std::to_string(kBuilderMaxValues) + " values)");
  }
  if (s.pool_full) return failure("the converter's name pool is full");
  s.detail.clear();

  s.fold_failure = kFoldOk;
  if (!builder_fold_and_infer(s)) return failure(fold_message(s));
  for (GraphNode& n : s.nodes) {
    if (n.attrs[1] == kCastTag) n.attrs[1] = 0;
  }
  for (uint32_t i : s.i64_inputs) s.values[i].dtype = kTypeI64;
  g_report.int8_elements = s.int8_elements;
  g_report.rewrite_bits = s.rewrite_bits;

  std::string summary;
  for (const BuilderValue& v : s.values) {
    const bool input = v.kind == static_cast<uint64_t>(ValueKind::kGraphInput);
    if (!input && v.kind != static_cast<uint64_t>(ValueKind::kGraphOutput)) continue;
    summary += input ? "input " : "output";
    summary += " " + std::string(v.name) + " " + onnx_format_shape(v.rank, v.dims) + " " +
               (v.dtype == kTypeI64 ? "i64" : "f32") + "\n";
  }
  summary += "opset " + std::to_string(s.opset) + ", ir_version " + std::to_string(s.ir_version) +
             ", " + std::to_string(s.nodes.size()) + " nodes\n";
  if (bindings != nullptr && bindings->describe_only == 1) return ConvertResult{true, summary};

  bool any_weight = false;
  for (const BuilderValue& v : s.values) {
    any_weight = any_weight || v.kind == static_cast<uint64_t>(ValueKind::kWeight);
  }
  if (!any_weight) {
    const uint32_t p = builder_value_index(s, "vexa.placeholder_weight");
    if (p >= s.values.size()) return failure("the model is larger than the converter's limits");
    BuilderValue& v = s.values[p];
    v.kind = static_cast<uint64_t>(ValueKind::kWeight);
    v.dtype = kTypeF32;
    v.rank = 1;
    v.dims[0] = 1;
  }
  ConvertResult written = write_container(s, vexa);
  if (!written.ok) return written;
  return ConvertResult{true, summary};
}

ConvertResult onnx_convert_file(std::string_view onnx_path, std::string_view vexa_path,
                                uint64_t option_word) {
  ConvertResult r = onnx_convert(onnx_path, vexa_path, option_word, nullptr);
  if (r.ok) r.text.clear();
  return r;
}

ConvertResult onnx_convert_file_bound(std::string_view onnx_path, std::string_view vexa_path,
                                      InputBindings* bindings) {
  return onnx_convert(onnx_path, vexa_path, 0, bindings);
}

ConvertResult onnx_convert_file_sized(std::string_view onnx_path, std::string_view vexa_path,
                                      uint32_t size, uint64_t batch) {
  const uint64_t word = ((batch != 0 ? batch : 1) << kOptionBatchShift) | size;
  ConvertResult r = onnx_convert(onnx_path, vexa_path, word, nullptr);
  if (r.ok) r.text.clear();
  return r;
}

std::string onnx_batch_note() {
  if (g_report.batch_names.empty()) return "";
  return "dynamic batch (dim 0) bound to 1 for " + g_report.batch_names +
         "; bind it with --dim or --input to change";
}

std::string onnx_int8_note() {
  const uint64_t n = g_report.int8_elements;
  if (n == 0) return "";
  return "int8 weights (MatMulInteger/ConvInteger) are stored as FP32: " +
         std::to_string((n + kMegabyteRounding) >> kMegabyteShift) + " MB of int8 became " +
         std::to_string((4 * n + kMegabyteRounding) >> kMegabyteShift) + " MB, and run in FP32";
}

std::string onnx_rewrite_report() { return onnx_rewrite_lines(g_report.rewrite_bits); }

}  // namespace vexa::tools
