#include "tools/family_rewrites.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "tools/onnx_lower.h"
#include "tools/onnx_wire.h"

namespace vexa::tools {
namespace {

constexpr const char* kRewriteLines[10] = {
    "  inputs/outputs dropped or baked by name (SAM prompt, CLIP attention mask, PP-DocLayoutV3 "
    "extra outputs)\n",
    "  SAM: preprocessing removed, prompt subgraph rewired, Einsum as MatMul, relative-position "
    "tables precomputed\n",
    "  BiRefNet: Swin window masks baked, deformable ASPP fused, scatter and pad subgraphs "
    "removed\n",
    "  PP-DocLayoutV3: detection tail fused (matched by Paddle node names)\n",
    "  [1, 300, *] output with ReduceMax: graph cut at the detection head (yolo26x NMS-free tail "
    "dropped)\n",
    "  [*, 25200, 6] output: YOLOv5-style box decode replaced by raw sigmoid (YOLOP)\n",
    "  Where with a non-comparison runtime condition replaced by its y input (CLIP attention "
    "mask)\n",
    "  Pad with runtime pads: amounts from fixed SAM/BiRefNet tables, or dropped\n",
    "  Pow with an exponent other than 2 or 0.5 lowered to Sqrt (below 1) or square\n",
    "  CumSum/Pad subgraph replaced by global average pooling (NAFNet)\n",
};

constexpr uint64_t kNodeMaxInputs = 8;
constexpr uint64_t kNodeMaxOutputs = 4;
constexpr uint64_t kTailMaxWalk = 16;
constexpr uint64_t kTailMinChannels = 6;
constexpr uint64_t kHeadCutRows = 300;
constexpr uint64_t kHeadCutSearch = 6;
constexpr uint64_t kConcatWritesOutputWord = 12;
// SAM and CLIP plumbing baked at convert time.
constexpr uint64_t kClipTokens = 77;
constexpr uint64_t kSamPromptGrid = 64;
constexpr float kSamPointX = 600.0f;
constexpr float kSamPointY = 350.0f;
constexpr uint64_t kSamImageSide = 1024;

// GraphProto.node, NodeProto fields.
constexpr uint32_t kGraphNodeField = 1;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4,
                   kNodeAttribute = 5;
constexpr uint32_t kAttrName = 1, kAttrInt = 3, kAttrTensor = 5;
constexpr uint32_t kTensorDataType = 2, kTensorFloatData = 4, kTensorInt64Data = 7,
                   kTensorRawData = 9;

struct ScannedNode {
  std::string_view op_type;
  std::string_view name;
  std::string_view inputs[kNodeMaxInputs];
  uint64_t input_count = 0;
  std::string_view outputs[kNodeMaxOutputs];
  uint64_t output_count = 0;
  uint64_t start = 0, end = 0;
};

std::string_view text_at(const uint8_t* image, uint64_t start, uint64_t length) {
  return std::string_view(reinterpret_cast<const char*>(image + start), length);
}

// Calls fn(attribute name, start, end) for each AttributeProto of the node.
template <typename Fn>
void for_each_attribute(const uint8_t* image, uint64_t start, uint64_t end, Fn&& fn) {
  bool corrupt = false;
  onnx_walk_fields(image, start, end, {kNodeAttribute}, &corrupt,
                   [&](uint32_t, uint64_t a0, uint64_t a1) {
                     std::string_view name;
                     bool name_corrupt = false;
                     onnx_walk_fields(image, a0, a1, {kAttrName}, &name_corrupt,
                                      [&](uint32_t, uint64_t s0, uint64_t s1) {
                                        name = text_at(image, s0, s1 - s0);
                                        return true;
                                      });
                     fn(name, a0, a1);
                     return true;
                   });
}

bool scan_node(const uint8_t* image, uint64_t start, uint64_t end, ScannedNode& out) {
  out = ScannedNode{};
  out.start = start;
  out.end = end;
  bool corrupt = false;
  onnx_walk_fields(image, start, end, {kNodeInput, kNodeOutput, kNodeName, kNodeOpType},
                   &corrupt, [&](uint32_t field, uint64_t s0, uint64_t s1) {
                     const std::string_view t = text_at(image, s0, s1 - s0);
                     if (field == kNodeInput) {
                       if (out.input_count < kNodeMaxInputs) out.inputs[out.input_count++] = t;
                     } else if (field == kNodeOutput) {
                       if (out.output_count < kNodeMaxOutputs) out.outputs[out.output_count++] = t;
                     } else if (field == kNodeName) {
                       out.name = t;
                     } else {
                       out.op_type = t;
                     }
                     return true;
                   });
  return !corrupt;
}

// The first element of a TensorProto as f32 (float or int64 payloads).
bool tensor_scalar(const uint8_t* image, uint64_t start, uint64_t end, float* out) {
  WireCursor c{image, start, end};
  uint32_t field = 0, wire = 0;
  uint64_t type = 0;
  const uint8_t* raw = nullptr;
  uint64_t raw_length = 0;
  bool has_float = false, has_int = false;
  float f = 0;
  int64_t i = 0;
  while (wire_read_tag(c, field, wire)) {
    if (field == kTensorDataType && wire == kWireVarint) {
      type = wire_read_varint(c);
    } else if (field == kTensorRawData && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return false;
      raw = image + s0;
      raw_length = n;
    } else if (field == kTensorFloatData && (wire == kWireBytes || wire == kWireFixed32)) {
      uint64_t s0 = c.pos, n = 4;
      if (wire == kWireBytes && !wire_read_bytes(c, s0, n)) return false;
      if (n < 4 || s0 + 4 > end) return false;
      if (!has_float) std::memcpy(&f, image + s0, 4);
      has_float = true;
      if (wire == kWireFixed32) c.pos += 4;
    } else if (field == kTensorInt64Data && (wire == kWireBytes || wire == kWireVarint)) {
      if (wire == kWireBytes) {
        uint64_t s0 = 0, n = 0;
        if (!wire_read_bytes(c, s0, n) || n == 0) return false;
        WireCursor inner{image, s0, s0 + n};
        if (!has_int) i = static_cast<int64_t>(wire_read_varint(inner));
      } else {
        const int64_t v = static_cast<int64_t>(wire_read_varint(c));
        if (!has_int) i = v;
      }
      has_int = true;
    } else if (!onnx_skip_field(c, wire)) {
      return false;
    }
  }
  if (raw != nullptr) {
    if (type == kOnnxFloat && raw_length >= 4) {
      std::memcpy(&f, raw, 4);
      *out = f;
      return true;
    }
    if (type == kOnnxInt64 && raw_length >= 8) {
      std::memcpy(&i, raw, 8);
      *out = static_cast<float>(i);
      return true;
    }
    return false;
  }
  if (has_float) *out = f;
  else if (has_int) *out = static_cast<float>(i);
  return has_float || has_int;
}

struct GraphScan {
  std::vector<ScannedNode> nodes;
};

int64_t producer_of(const GraphScan& g, std::string_view name) {
  if (name.empty()) return -1;
  for (uint64_t k = 0; k < g.nodes.size(); ++k) {
    for (uint64_t j = 0; j < g.nodes[k].output_count; ++j) {
      if (g.nodes[k].outputs[j] == name) return static_cast<int64_t>(k);
    }
  }
  return -1;
}

// A scalar from an initializer or from a Constant node of the scan.
bool constant_scalar(const BuilderState& s, const GraphScan& g, std::string_view name,
                     float* out) {
  if (onnx_value_scalar(s, name, out)) return true;
  const int64_t p = producer_of(g, name);
  if (p < 0 || g.nodes[p].op_type != "Constant") return false;
  bool found = false;
  for_each_attribute(s.image, g.nodes[p].start, g.nodes[p].end,
                     [&](std::string_view attr, uint64_t a0, uint64_t a1) {
                       if (found || attr != "value") return;
                       bool corrupt = false;
                       onnx_walk_fields(s.image, a0, a1, {kAttrTensor}, &corrupt,
                                        [&](uint32_t, uint64_t t0, uint64_t t1) {
                                          found = tensor_scalar(s.image, t0, t1, out);
                                          return false;
                                        });
                     });
  return found;
}

bool is_data_value(const BuilderState& s, const GraphScan& g, std::string_view name) {
  auto it = s.value_index.find(name);
  if (it != s.value_index.end() && s.values[it->second].has_data) return true;
  const int64_t p = producer_of(g, name);
  return p >= 0 && g.nodes[p].op_type == "Constant";
}

int64_t node_int_attribute(const uint8_t* image, const ScannedNode& n, std::string_view name,
                           int64_t fallback) {
  int64_t value = fallback;
  for_each_attribute(image, n.start, n.end, [&](std::string_view attr, uint64_t a0, uint64_t a1) {
    if (attr != name) return;
    WireCursor c{image, a0, a1};
    uint32_t field = 0, wire = 0;
    while (wire_read_tag(c, field, wire)) {
      if (field == kAttrInt && wire == kWireVarint) {
        value = static_cast<int64_t>(wire_read_varint(c));
      } else if (!onnx_skip_field(c, wire)) {
        return;
      }
    }
  });
  return value;
}

bool allowed_in_score_walk(std::string_view op) {
  return op == "Transpose" || op == "Unsqueeze" || op == "Slice" || op == "Gather" ||
         op == "Squeeze" || op == "Reshape" || op == "ReduceMax" || op == "Greater";
}

// Node defaults shared with the ordinary lowering for kinds whose float words are flags.
GraphNode blank_node(OpKind kind) {
  GraphNode n{};
  n.op_kind = static_cast<uint64_t>(kind);
  for (uint64_t w = 0; w < kAttrWords; ++w) n.attrs[w] = 0;
  // Strides, dilations, group and axis start at 1 as in the ordinary lowering.
  for (uint64_t w : {2, 3, 8, 9, 10, 11}) n.attrs[w] = 1;
  for (uint64_t i = 0; i < kGraphNodeMaxInputs; ++i) n.inputs[i] = kAbsentInput;
  for (uint64_t i = 0; i < kGraphNodeMaxOutputs; ++i) n.outputs[i] = kAbsentInput;
  return n;
}

// Appends one node reading and writing values by name; false when the table is full.
bool emit_named(BuilderState& s, const ScannedNode& origin, GraphNode n,
                std::initializer_list<std::string_view> inputs, std::string_view output) {
  uint64_t k = 0;
  for (std::string_view name : inputs) {
    const uint32_t v = builder_value_index(s, name);
    if (v >= s.values.size()) return false;
    n.inputs[k++] = v;
  }
  n.input_count = k;
  const uint32_t out = builder_value_index(s, output);
  if (out >= s.values.size()) return false;
  n.outputs[0] = out;
  n.output_count = 1;
  NodeExtra extra;
  extra.name = origin.name;
  extra.op_type = origin.op_type;
  s.nodes.push_back(n);
  s.extras.push_back(extra);
  return true;
}

bool graph_output_rows(const BuilderState& s, uint64_t rows) {
  for (const BuilderValue& v : s.values) {
    if (v.kind == static_cast<uint64_t>(ValueKind::kGraphOutput) && v.rank >= 2 &&
        v.dims[0] == 1 && v.dims[1] == rows) {
      return true;
    }
  }
  return false;
}

// Turns a value into a converter-made f32 weight.
void bake_weight(BuilderValue& v, uint64_t rank, const uint64_t* dims,
                 const std::vector<float>& data) {
  v.kind = static_cast<uint64_t>(ValueKind::kWeight);
  v.dtype = kTypeF32;
  v.rank = rank;
  for (uint64_t d = 0; d < kMaxRank; ++d) v.dims[d] = d < rank ? dims[d] : 0;
  std::vector<uint8_t> bytes(data.size() * sizeof(float));
  std::memcpy(bytes.data(), data.data(), bytes.size());
  builder_set_owned(v, std::move(bytes));
}

// Lowers the node the ordinary way, then makes its last emitted node write `output`.
bool lower_writing(BuilderState& s, const ScannedNode& n, std::string_view output) {
  const uint64_t before = s.nodes.size();
  if (!onnx_lower_node(s, n.start, n.end) || s.nodes.size() == before) return false;
  const uint32_t v = builder_value_index(s, output);
  if (v >= s.values.size()) return false;
  s.nodes.back().outputs[0] = v;
  return true;
}

// SAM's node rules; see the pending-step words in the header. True when the node was consumed.
bool rewrite_sam_node(BuilderState& s, const ScannedNode& n, bool* handled) {
  uint64_t& pending = s.rewrite_state[0];
  const uint64_t mode = s.rewrite_state[1];
  const std::string_view out = n.output_count > 0 ? n.outputs[0] : std::string_view();
  *handled = true;
  if (pending >= kPendingSamPreprocessBase &&
      pending < kPendingSamPreprocessBase + kBuilderMaxValues) {
    if (n.name == "/Unsqueeze_4") {
      const uint64_t image = pending - kPendingSamPreprocessBase;
      pending = 0;
      if (image < s.values.size()) {
        emit_named(s, n, blank_node(OpKind::kIdentity), {s.values[image].name}, out);
      }
    }
    return true;
  }
  if (pending == kPendingSamRange) {
    if (n.op_type != "Gather") return true;
    pending = 0;  // this Gather is lowered as it stands
    *handled = false;
    return false;
  }
  if (pending == kPendingSamPrompt) {
    static constexpr std::string_view kKept[] = {
        "/Unsqueeze_1", "/pe_layer/Mul", "/pe_layer/Sin", "/pe_layer/Cos",
        "/pe_layer/MatMul", "/pe_layer/Concat", "/pe_layer/Transpose"};
    for (std::string_view k : kKept) {
      if (n.name == k) {
        *handled = false;
        return false;
      }
    }
    if (n.name == "/Add_5") {
      emit_named(s, n, blank_node(OpKind::kAdd),
                 {"/Concat_output_0", "model.prompt_encoder.point_embeddings.1.weight"}, out);
    } else if (n.name == "/Mul_9" && n.input_count >= 2) {
      s.rewrite_state[2] = builder_value_index(s, n.inputs[1]);
    } else if (n.name == "/Add_7" && s.rewrite_state[2] < s.values.size()) {
      emit_named(s, n, blank_node(OpKind::kAdd),
                 {"image_embeddings", s.values[s.rewrite_state[2]].name}, out);
    } else if (n.name == "/Expand_1" && n.input_count >= 1) {
      s.rewrite_state[3] = builder_value_index(s, n.inputs[0]);
    } else if (n.name == "/Concat_2") {
      const uint64_t before = s.nodes.size();
      if (onnx_lower_node(s, n.start, n.end) && s.nodes.size() > before &&
          s.rewrite_state[3] < s.values.size()) {
        s.nodes.back().inputs[0] = s.rewrite_state[3];
      }
    } else if (n.name == "/Concat_6") {
      pending = 0;
      emit_named(s, n, blank_node(OpKind::kIdentity), {"/Unsqueeze_1_output_0"}, out);
    }
    return true;
  }
  if (mode == kSamEncoderMode && n.op_type == "Range") {
    pending = kPendingSamRange;
    return true;
  }
  if (mode >= kSamDecoderBase) {
    if (n.name == "/Unsqueeze") {
      pending = kPendingSamPrompt;
      return true;
    }
    if (n.name == "/iou_prediction_head/layers.2/Gemm") {
      if (!lower_writing(s, n, "iou_predictions")) return *handled = false;
      s.graph_cut = true;
      return true;
    }
    if (n.name == "/Reshape_5") {
      if (!lower_writing(s, n, "masks")) return *handled = false;
      return true;
    }
  }
  *handled = false;
  return false;
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool starts_with(std::string_view s, std::string_view head) {
  return s.substr(0, head.size()) == head;
}

constexpr uint64_t kWindowModValue = 6;
constexpr uint64_t kDeformInputs = 3;
// The scatter subgraph before a window Pad: the node that feeds the Pad sits this many emitted
// nodes back, and the nodes between it and the Pad go.
constexpr uint64_t kScatterSpan = 12;

// Swin stage triggers and their windows per side.
constexpr uint64_t kSwinMaxWindows = 11;
constexpr std::pair<std::string_view, uint64_t> kSwinStages[] = {
    {"/bb/layers.0_1/Cast", 6}, {"/bb/layers.1_1/Cast", 3}, {"/bb/layers.2_1/Cast", 2},
    {"/bb/layers.3_1/Cast", 1}, {"/bb/layers.0/Ceil", 11}, {"/bb/layers.1/Ceil", 6},
    {"/bb/layers.2/Ceil", 3},   {"/bb/layers.3/Ceil", 2}};

// BiRefNet's node rules. True when the node was consumed; *handled false lets other rules look.
bool rewrite_birefnet_node(BuilderState& s, const ScannedNode& n, bool* handled) {
  uint64_t& pending = s.rewrite_state[0];
  const std::string_view out = n.output_count > 0 ? n.outputs[0] : std::string_view();
  *handled = true;
  auto mod_constant = [&]() {
    const uint32_t v = builder_value_index(s, out);
    if (v >= s.values.size()) return;
    BuilderValue& value = s.values[v];
    value.kind = static_cast<uint64_t>(ValueKind::kIntermediate);
    value.dtype = kTypeI64;
    value.rank = 0;
    std::vector<uint8_t> bytes(sizeof(int64_t));
    const int64_t six = static_cast<int64_t>(kWindowModValue);
    std::memcpy(bytes.data(), &six, sizeof six);
    builder_set_owned(value, std::move(bytes));
    value.known = true;
  };
  if (pending > kPendingSwinMaskBase && pending <= kPendingSwinMaskBase + kSwinMaxWindows) {
    if (ends_with(n.name, "/Cast_44") || ends_with(n.name, "/Cast_48")) {
      const uint64_t windows = pending - kPendingSwinMaskBase;
      pending = 0;
      const uint32_t v = builder_value_index(s, out);
      if (v < s.values.size()) {
        std::vector<float> mask;
        try {
          mask = swin_shift_mask(windows);
        } catch (const std::bad_alloc&) {
          return true;  // the step is abandoned; the mask stays unbaked
        }
        const uint64_t tokens = kSwinWindow * kSwinWindow;
        const uint64_t dims[3] = {windows * windows, tokens, tokens};
        bake_weight(s.values[v], 3, dims, mask);
      }
    }
    return true;
  }
  if (pending == kPendingWindowPad) {
    if (n.op_type == "Mod") {
      mod_constant();
      return true;
    }
    if (n.op_type != "Pad") return true;
    pending = 0;  // this Pad is lowered with its data input only
    *handled = false;
    return false;
  }
  if (pending == kPendingDeformable) {
    // The deformable convolution reads what the three nodes before the trigger produced:
    // features, offsets and modulation.
    if (n.op_type.find("DeformConv") != std::string_view::npos) {
      pending = 0;
      const uint64_t k = s.nodes.size();
      if (k >= kDeformInputs) {
        GraphNode unfold = blank_node(OpKind::kDeformUnfold);
        const uint32_t output = builder_value_index(s, out);
        if (output < s.values.size()) {
          unfold.input_count = kDeformInputs;
          for (uint64_t i = 0; i < kDeformInputs; ++i)
            unfold.inputs[i] = s.nodes[k - kDeformInputs + i].outputs[0];
          unfold.output_count = 1;
          unfold.outputs[0] = output;
          NodeExtra extra;
          extra.name = n.name;
          extra.op_type = n.op_type;
          s.nodes.push_back(unfold);
          s.extras.push_back(extra);
        }
      }
    }
    return true;
  }
  if (ends_with(n.name, "atrous_conv/Reshape")) {
    pending = kPendingDeformable;
    s.rewrite_bits |= kRewriteBiRefNet;
    return true;
  }
  for (const auto& [trigger, windows] : kSwinStages) {
    if (n.name == trigger) {
      pending = kPendingSwinMaskBase + windows;
      s.rewrite_bits |= kRewriteBiRefNet;
      return true;
    }
  }
  if ((n.op_type == "ScatterND" || n.op_type == "ScatterElements") && starts_with(n.name, "/bb/") &&
      n.input_count >= 1) {
    emit_named(s, n, blank_node(OpKind::kIdentity), {n.inputs[0]}, out);
    s.rewrite_bits |= kRewriteBiRefNet;
    return true;
  }
  if (n.op_type == "Mod" && (starts_with(n.name, "/bb/") || starts_with(n.name, "/features/"))) {
    mod_constant();
    pending = kPendingWindowPad;
    s.rewrite_bits |= kRewriteBiRefNet;
    return true;
  }
  // Only the backbone's window Pads: elsewhere a Pad twelve nodes after its producer is
  // ordinary and nothing may be dropped.
  if (n.op_type == "Pad" && starts_with(n.name, "/bb/") && n.input_count >= 1 &&
      s.nodes.size() >= kScatterSpan) {
    const uint64_t producer = s.nodes.size() - kScatterSpan;
    const uint32_t data = builder_value_index(s, n.inputs[0]);
    if (s.nodes[producer].outputs[0] == data) {
      s.nodes.resize(producer + 1);
      s.extras.resize(producer + 1);
      s.rewrite_bits |= kRewriteBiRefNet;
    }
  }
  *handled = false;
  return false;
}

// [1, 300, *] output: the head's Concat writes the output and the rest of the graph goes.
bool cut_at_detection_head(BuilderState& s) {
  uint32_t output = UINT32_MAX;
  for (uint32_t i = 0; i < s.values.size(); ++i) {
    const BuilderValue& v = s.values[i];
    if (v.kind == static_cast<uint64_t>(ValueKind::kGraphOutput) && v.rank >= 2 &&
        v.dims[0] == 1 && v.dims[1] == kHeadCutRows) {
      output = i;
      break;
    }
  }
  if (output == UINT32_MAX) return false;
  const uint64_t n = s.nodes.size();
  for (uint64_t back = 1; back <= kHeadCutSearch && back <= n; ++back) {
    const uint64_t k = n - back;
    if (s.nodes[k].op_kind != static_cast<uint64_t>(OpKind::kConcat)) continue;
    s.nodes[k].outputs[0] = output;
    s.nodes[k].attrs[kConcatWritesOutputWord] = 1;
    uint64_t w = k + 1;
    for (uint64_t r = k + 1; r < n; ++r) {
      const auto kind = static_cast<OpKind>(s.nodes[r].op_kind);
      if (kind == OpKind::kTranspose || kind == OpKind::kSplit || kind == OpKind::kSlice) continue;
      s.nodes[w] = s.nodes[r];
      s.extras[w] = s.extras[r];
      ++w;
    }
    s.nodes.resize(w);
    s.extras.resize(w);
    s.graph_cut = true;
    return true;
  }
  return false;
}

}  // namespace

std::vector<float> swin_shift_mask(uint64_t windows_per_side) {
  const uint64_t side = windows_per_side * kSwinWindow;
  const uint64_t tokens = kSwinWindow * kSwinWindow;
  // Region of a coordinate along one axis: the shifted image's last window splits at the shift.
  auto region = [&](uint64_t g) -> uint64_t {
    if (g + kSwinWindow < side) return 0;
    return g + kSwinShift < side ? 1 : 2;
  };
  std::vector<float> mask(windows_per_side * windows_per_side * tokens * tokens);
  for (uint64_t wy = 0; wy < windows_per_side; ++wy) {
    for (uint64_t wx = 0; wx < windows_per_side; ++wx) {
      float* m = mask.data() + (wy * windows_per_side + wx) * tokens * tokens;
      for (uint64_t a = 0; a < tokens; ++a) {
        const uint64_t ra = region(wy * kSwinWindow + a / kSwinWindow) * 3 +
                            region(wx * kSwinWindow + a % kSwinWindow);
        for (uint64_t b = 0; b < tokens; ++b) {
          const uint64_t rb = region(wy * kSwinWindow + b / kSwinWindow) * 3 +
                              region(wx * kSwinWindow + b % kSwinWindow);
          m[a * tokens + b] = ra == rb ? 0.0f : kSwinMaskedScore;
        }
      }
    }
  }
  return mask;
}

std::string onnx_rewrite_lines(uint32_t bits) {
  std::string out;
  for (uint32_t b = 0; b < 10; ++b) {
    if (bits & (1u << b)) out += kRewriteLines[b];
  }
  return out;
}

bool onnx_value_scalar(const BuilderState& s, std::string_view name, float* out) {
  auto it = s.value_index.find(name);
  if (it == s.value_index.end()) return false;
  const BuilderValue& v = s.values[it->second];
  if (!v.has_data || v.data == nullptr) return false;
  if (v.dtype == kTypeI64) {
    if (v.data_bytes < 8) return false;
    int64_t i = 0;
    std::memcpy(&i, v.data, 8);
    *out = static_cast<float>(i);
    return true;
  }
  if (v.data_bytes < 4) return false;
  std::memcpy(out, v.data, 4);
  return true;
}

DetectionTail onnx_match_detection_tail(const BuilderState& s, uint64_t graph_start,
                                        uint64_t graph_end) {
  DetectionTail tail;
  // 1. One graph output of shape [1, N, K], N > 0, K >= 6.
  const BuilderValue* out = nullptr;
  for (const BuilderValue& v : s.values) {
    if (v.kind != static_cast<uint64_t>(ValueKind::kGraphOutput)) continue;
    if (out != nullptr) return tail;
    out = &v;
  }
  if (out == nullptr || out->rank != 3 || out->dims[0] != 1 || out->dims[1] == 0 ||
      out->dims[2] < kTailMinChannels) {
    return tail;
  }

  // 2. Exactly one NonMaxSuppression and one NonZero.
  GraphScan g;
  bool corrupt = false;
  onnx_walk_fields(s.image, graph_start, graph_end, {kGraphNodeField}, &corrupt,
                   [&](uint32_t, uint64_t n0, uint64_t n1) {
                     ScannedNode n;
                     scan_node(s.image, n0, n1, n);
                     g.nodes.push_back(n);
                     return true;
                   });
  if (corrupt) return tail;
  int64_t nms = -1, nonzero = -1;
  for (uint64_t k = 0; k < g.nodes.size(); ++k) {
    if (g.nodes[k].op_type == "NonMaxSuppression") {
      if (nms >= 0) return tail;
      nms = static_cast<int64_t>(k);
    } else if (g.nodes[k].op_type == "NonZero") {
      if (nonzero >= 0) return tail;
      nonzero = static_cast<int64_t>(k);
    }
  }
  if (nms < 0 || nonzero < 0 || g.nodes[nonzero].input_count < 1) return tail;

  // 3. The score path back from NonZero: threshold, best-class reduction, layout moves.
  bool saw_reduce = false, saw_threshold = false;
  int64_t cut = -1;
  std::string_view name = g.nodes[nonzero].inputs[0];
  for (uint64_t step = 0; step < kTailMaxWalk; ++step) {
    const int64_t p = producer_of(g, name);
    if (p < 0) return tail;
    const ScannedNode& n = g.nodes[p];
    if (!allowed_in_score_walk(n.op_type)) {
      cut = p;
      break;
    }
    if (n.op_type == "ReduceMax") saw_reduce = true;
    if (n.op_type == "Greater" && n.input_count >= 2 &&
        constant_scalar(s, g, n.inputs[1], &tail.score_threshold)) {
      saw_threshold = true;
    }
    if (n.input_count < 1) return tail;
    name = n.inputs[0];
  }
  if (cut < 0 || !saw_reduce || !saw_threshold || g.nodes[cut].output_count < 1) return tail;
  if (nms <= cut || nonzero <= cut) return tail;

  // Everything after the cut reads only the cut value, constants and later nodes.
  const std::string_view cut_value = g.nodes[cut].outputs[0];
  bool writes_output = false;
  for (uint64_t k = static_cast<uint64_t>(cut) + 1; k < g.nodes.size(); ++k) {
    const ScannedNode& n = g.nodes[k];
    for (uint64_t i = 0; i < n.input_count; ++i) {
      const std::string_view in = n.inputs[i];
      if (in.empty() || in == cut_value || is_data_value(s, g, in)) continue;
      if (producer_of(g, in) <= cut) return tail;
    }
    for (uint64_t j = 0; j < n.output_count; ++j) writes_output |= n.outputs[j] == out->name;
  }
  if (!writes_output) return tail;

  // 4. NonMaxSuppression: 4 inputs (or an empty fifth) with a constant IoU threshold.
  const ScannedNode& nm = g.nodes[nms];
  if (!(nm.input_count == 4 || (nm.input_count == 5 && nm.inputs[4].empty()))) return tail;
  if (!constant_scalar(s, g, nm.inputs[3], &tail.iou_threshold)) return tail;
  tail.centre_format = node_int_attribute(s.image, nm, "center_point_box", 0) != 0 ? 1 : 0;

  // 5. Optional coordinate scaling (Div then Mul by constants) and class offset (Mul of a Cast).
  for (uint64_t k = static_cast<uint64_t>(cut) + 1; k < g.nodes.size(); ++k) {
    const ScannedNode& n = g.nodes[k];
    if (n.input_count != 2 || n.output_count < 1) continue;
    float c = 0;
    if (n.op_type == "Div" && constant_scalar(s, g, n.inputs[1], &c)) {
      for (uint64_t m = k + 1; m < g.nodes.size(); ++m) {
        const ScannedNode& next = g.nodes[m];
        if (next.op_type != "Mul" || next.input_count != 2) continue;
        const int other = next.inputs[0] == n.outputs[0] ? 1 : next.inputs[1] == n.outputs[0] ? 0
                                                                                              : -1;
        float scale = 0;
        if (other >= 0 && constant_scalar(s, g, next.inputs[other], &scale)) {
          tail.coord_divisor = c;
          tail.coord_scale = scale;
          break;
        }
      }
    } else if (n.op_type == "Mul") {
      for (int side = 0; side < 2; ++side) {
        const int64_t p = producer_of(g, n.inputs[side]);
        if (p >= 0 && g.nodes[p].op_type == "Cast" &&
            constant_scalar(s, g, n.inputs[1 - side], &c)) {
          tail.class_offset = c;
        }
      }
    }
  }

  tail.matched = true;
  tail.cut_node = static_cast<uint64_t>(cut);
  tail.input_name = cut_value;
  tail.output_name = out->name;
  tail.max_out = out->dims[1];
  tail.extra = out->dims[2] - kTailMinChannels;
  return tail;
}

bool onnx_append_yolo_nms(BuilderState& s, const DetectionTail& tail) {
  if (!tail.matched) return false;
  GraphNode n = blank_node(OpKind::kYoloNms);
  uint64_t* w = n.attrs;
  w[0] = tail.max_out;
  w[1] = tail.extra;
  w[2] = w[3] = 1;
  w[4] = attr_f32_word(tail.coord_divisor);
  w[5] = attr_f32_word(tail.coord_scale);
  w[6] = attr_f32_word(tail.class_offset);
  w[7] = 0;
  w[8] = w[9] = w[10] = 1;
  w[11] = w[12] = 0;
  w[13] = tail.centre_format;
  w[14] = attr_f32_word(tail.score_threshold);
  w[15] = attr_f32_word(tail.iou_threshold);
  ScannedNode origin;
  origin.name = "YoloNms";
  origin.op_type = "NonMaxSuppression";
  return emit_named(s, origin, n, {tail.input_name}, tail.output_name);
}

bool onnx_rewrite_graph_io(BuilderState& s, uint32_t index, const OnnxValueInfo& info,
                           bool is_output, uint64_t h, uint64_t w) {
  if (s.bindings != nullptr || index >= s.values.size()) return false;
  const std::string_view name = info.name;
  BuilderValue& v = s.values[index];
  if (is_output) {
    for (std::string_view dropped :
         {"fetch_name_1", "fetch_name_2", "low_res_masks", "last_hidden_state"}) {
      if (name == dropped) {
        s.rewrite_bits |= kRewriteIoByName;
        return true;
      }
    }
    return false;
  }
  for (std::string_view dropped : {"has_mask_input", "point_labels", "orig_im_size",
                                   "scale_factor", "im_shape", "mask_input"}) {
    if (name == dropped) {
      s.rewrite_bits |= kRewriteIoByName;
      return true;  // stays an unconnected intermediate
    }
  }
  if (name == "attention_mask") {
    const uint64_t length = h != 0 ? h : kClipTokens;
    const uint64_t dims[2] = {1, length};
    bake_weight(v, 2, dims, std::vector<float>(length, 1.0f));
    s.rewrite_bits |= kRewriteIoByName;
    return true;
  }
  if (name == "point_coords") {
    const bool fallback = h == 0 || h == kSamPromptGrid;
    const float x = fallback ? kSamPointX : static_cast<float>(h);
    const float y = fallback || w == 0 ? kSamPointY : static_cast<float>(w);
    const uint64_t dims[3] = {1, 1, 2};
    bake_weight(v, 3, dims, {x, y});
    s.rewrite_bits |= kRewriteIoByName;
    return true;
  }
  if (name == "image_embeddings") {
    s.rewrite_state[1] = index + kSamDecoderBase;
    s.rewrite_bits |= kRewriteSam;
    return false;
  }
  if (name == "input_image" && info.rank == 3) {
    v.kind = static_cast<uint64_t>(ValueKind::kGraphInput);
    v.dtype = kTypeF32;
    v.rank = 4;
    const uint64_t dims[4] = {1, 3, kSamImageSide, kSamImageSide};
    for (uint64_t d = 0; d < kMaxRank; ++d) v.dims[d] = d < 4 ? dims[d] : 0;
    s.rewrite_state[0] = kPendingSamPreprocessBase + index;
    s.rewrite_state[1] = kSamEncoderMode;
    s.rewrite_bits |= kRewriteSam;
    return true;
  }
  return false;
}

bool onnx_rewrite_node(BuilderState& s, uint64_t start, uint64_t end) {
  // After a cut nothing is emitted: the ordinary lowering accepts every later node as it is.
  if (s.bindings != nullptr || s.graph_cut) return false;
  ScannedNode n;
  scan_node(s.image, start, end, n);
  uint64_t& pending = s.rewrite_state[0];
  const std::string_view out = n.output_count > 0 ? n.outputs[0] : std::string_view();

  bool handled = false;
  bool consumed = rewrite_sam_node(s, n, &handled);
  if (handled) return consumed;
  consumed = rewrite_birefnet_node(s, n, &handled);
  if (handled) return consumed;

  // A pending step skips nodes until the one that completes it.
  if (pending == kPendingDocWhere) {
    if (n.name == "Where.0") {
      pending = 0;
      emit_named(s, n, blank_node(OpKind::kMul),
                 {"p2o.pd_op.concat.11.0", "eager_tmp_2_deepcopy_547"}, out);
    }
    return true;
  }
  if (pending == kPendingDocTopK) {
    if (n.name == "GatherND.0") {
      pending = 0;
      emit_named(s, n, blank_node(OpKind::kDetrTopK),
                 {"p2o.pd_op.add.37.0", "p2o.pd_op.layer_norm.2.0"}, out);
    }
    return true;
  }
  if (pending == kPendingDocBoxes) {
    if (n.name == "Log.0") {
      pending = 0;
      emit_named(s, n, blank_node(OpKind::kMaskToBoxLogit), {"p2o.pd_op.bmm.0.0"}, out);
    }
    return true;
  }
  if (pending == kPendingNafnet) {
    if (n.op_type == "Pad" && n.input_count == 2) {
      pending = 0;
      const std::string_view data = s.values[s.rewrite_state[2]].name;
      emit_named(s, n, blank_node(OpKind::kGlobalAveragePool), {data}, out);
    }
    return true;
  }

  // PP-DocLayoutV3, matched by Paddle's node names.
  const std::pair<std::string_view, uint64_t> doc_triggers[] = {
      {"Shape.14", kPendingDocWhere}, {"ReduceMax.0", kPendingDocTopK},
      {"Greater.0", kPendingDocBoxes}};
  for (const auto& [trigger, step] : doc_triggers) {
    if (n.name == trigger) {
      pending = step;
      s.rewrite_bits |= kRewriteDocLayout;
      return true;
    }
  }
  if (n.name == "Identity.1354" && n.input_count >= 1) {
    emit_named(s, n, blank_node(OpKind::kSigmoid), {n.inputs[0]}, out);
    GraphNode concat = blank_node(OpKind::kConcat);
    concat.attrs[11] = 2;  // axis
    emit_named(s, n, concat, {"p2o.pd_op.sigmoid.25.0", out}, "fetch_name_0");
    s.graph_cut = true;
    s.rewrite_bits |= kRewriteDocLayout;
    return true;
  }

  // NAFNet: a CumSum-based mean over the image becomes global average pooling.
  if (n.op_type == "CumSum" && n.name.substr(0, 8) == "/squeeze" && n.input_count >= 1) {
    const uint32_t data = builder_value_index(s, n.inputs[0]);
    if (data >= s.values.size()) return false;
    s.rewrite_state[2] = data;
    pending = kPendingNafnet;
    s.rewrite_bits |= kRewriteNafnetPool;
    return true;
  }

  if (n.op_type == "ReduceMax" && graph_output_rows(s, kHeadCutRows) &&
      cut_at_detection_head(s)) {
    s.rewrite_bits |= kRewriteDetectionHeadCut;
    return true;
  }
  return false;
}

}  // namespace vexa::tools
