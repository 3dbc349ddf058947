#include "tools/onnx_lower.h"

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "tools/convert_bindings.h"
#include "tools/onnx_wire.h"

namespace vexa::tools {

namespace {

constexpr uint64_t kAttrIntsKept = 8;
constexpr int64_t kSoftmaxLastAxisOpset = 13;
constexpr float kHardSigmoidAlpha = 0.2f;
constexpr float kHardSigmoidBeta = 0.5f;
constexpr float kNormEpsilon = 1e-5f;
constexpr float kLeakySlope = 0.01f;
constexpr float kSeluAlpha = 1.67326319217681884765625f;
constexpr float kSeluGamma = 1.05070102214813232421875f;

struct OnnxAttr {
  std::string_view name;
  bool has_f = false, has_i = false, has_s = false, has_t = false;
  float f = 0.0f;
  int64_t i = 0;
  std::string_view s;
  uint64_t t_start = 0, t_end = 0;
  int64_t ints[kAttrIntsKept] = {};
  uint64_t ints_count = 0;
  bool has_ints = false;
  uint64_t start = 0, end = 0;  // the whole AttributeProto
};

// A Constant given by value_float, value_floats, value_int or value_ints: decoded into the value
// as an f32 [1] / [n] or i64 scalar / [n] weight. False for a malformed attribute.
bool constant_from_numbers(BuilderState& s, uint32_t value, const OnnxAttr& a) {
  const bool floats = a.name == "value_float" || a.name == "value_floats";
  const bool list = a.name == "value_floats" || a.name == "value_ints";
  std::vector<float> f;
  std::vector<int64_t> ints;
  WireCursor c{s.image, a.start, a.end};
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(c, field, wire)) {
    if (field == 2 && wire == kWireFixed32 && !list && floats) {
      if (c.end - c.pos < 4) return false;
      float x;
      std::memcpy(&x, s.image + c.pos, 4);
      c.pos += 4;
      f.assign(1, x);
    } else if (field == 7 && list && floats && (wire == kWireFixed32 || wire == kWireBytes)) {
      uint64_t s0 = c.pos, n = 4;
      if (wire == kWireBytes && !wire_read_bytes(c, s0, n)) return false;
      if (wire == kWireFixed32) {
        if (c.end - c.pos < 4) return false;
        c.pos += 4;
      }
      if (n % 4 != 0) return false;
      for (uint64_t i = 0; i < n; i += 4) {
        float x;
        std::memcpy(&x, s.image + s0 + i, 4);
        f.push_back(x);
      }
    } else if (field == 3 && wire == kWireVarint && !list && !floats) {
      ints.assign(1, static_cast<int64_t>(wire_read_varint(c)));
    } else if (field == 8 && list && !floats && (wire == kWireVarint || wire == kWireBytes)) {
      if (wire == kWireVarint) {
        ints.push_back(static_cast<int64_t>(wire_read_varint(c)));
      } else {
        uint64_t s0 = 0, n = 0;
        if (!wire_read_bytes(c, s0, n)) return false;
        WireCursor inner{s.image, s0, s0 + n};
        while (!inner.done()) ints.push_back(static_cast<int64_t>(wire_read_varint(inner)));
      }
    } else if (!onnx_skip_field(c, wire)) {
      return false;
    }
  }
  BuilderValue& v = s.values[value];
  const uint64_t n = floats ? f.size() : ints.size();
  if (!list && n != 1) return false;
  std::vector<uint8_t> bytes(n * (floats ? 4 : 8));
  if (n != 0) std::memcpy(bytes.data(), floats ? static_cast<const void*>(f.data()) : ints.data(), bytes.size());
  builder_set_owned(v, std::move(bytes));
  v.kind = static_cast<uint64_t>(ValueKind::kWeight);
  v.dtype = floats ? kTypeF32 : kTypeI64;
  v.rank = list || floats ? 1 : 0;
  for (uint64_t& d : v.dims) d = 0;
  if (v.rank == 1) v.dims[0] = n;
  return true;
}

bool read_attribute(const uint8_t* image, uint64_t start, uint64_t end, OnnxAttr& a) {
  a.start = start;
  a.end = end;
  WireCursor c{image, start, end};
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(c, field, wire)) {
    if ((field == 1 || field == 4 || field == 5) && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return false;
      const std::string_view text(reinterpret_cast<const char*>(image + s0), n);
      if (field == 1) a.name = text;
      if (field == 4) {
        a.s = text;
        a.has_s = true;
      }
      if (field == 5) {
        a.t_start = s0;
        a.t_end = s0 + n;
        a.has_t = true;
      }
    } else if (field == 2 && wire == kWireFixed32) {
      if (c.end - c.pos < 4) return false;
      std::memcpy(&a.f, image + c.pos, 4);
      c.pos += 4;
      a.has_f = true;
    } else if (field == 3 && wire == kWireVarint) {
      a.i = static_cast<int64_t>(wire_read_varint(c));
      a.has_i = true;
    } else if (field == 8 && (wire == kWireVarint || wire == kWireBytes)) {
      a.has_ints = true;
      auto push = [&](uint64_t v) {
        if (a.ints_count < kAttrIntsKept) a.ints[a.ints_count] = static_cast<int64_t>(v);
        ++a.ints_count;
      };
      if (wire == kWireVarint) {
        push(wire_read_varint(c));
      } else {
        uint64_t s0 = 0, n = 0;
        if (!wire_read_bytes(c, s0, n)) return false;
        WireCursor inner{image, s0, s0 + n};
        while (!inner.done()) push(wire_read_varint(inner));
      }
    } else if (!onnx_skip_field(c, wire)) {
      return false;
    }
  }
  return true;
}

uint64_t kind_of(OpKind k) { return static_cast<uint64_t>(k); }

struct OpRow {
  std::string_view op_type;
  OpKind kind;
};

// The op_type table (exact, case-sensitive). Rows with special handling are matched before it.
constexpr OpRow kOpTable[] = {
    {"Sub", OpKind::kSub}, {"Div", OpKind::kDiv}, {"Add", OpKind::kAdd}, {"Mul", OpKind::kMul},
    {"Conv", OpKind::kConv}, {"ConvInteger", OpKind::kConv}, {"Relu", OpKind::kRelu},
    {"MaxPool", OpKind::kMaxPool}, {"GlobalAveragePool", OpKind::kGlobalAveragePool},
    {"Flatten", OpKind::kFlatten}, {"Gemm", OpKind::kGemm}, {"Sigmoid", OpKind::kSigmoid},
    {"HardSigmoid", OpKind::kHardSigmoid}, {"HardSwish", OpKind::kHardSwish},
    {"Transpose", OpKind::kTranspose}, {"LayerNormalization", OpKind::kLayerNormalization},
    {"MatMul", OpKind::kMatMul}, {"MatMulInteger", OpKind::kMatMul}, {"Erf", OpKind::kErf},
    {"PRelu", OpKind::kPRelu}, {"BatchNormalization", OpKind::kBatchNormalization},
    {"Concat", OpKind::kConcat}, {"Identity", OpKind::kIdentity},
    {"Dropout", OpKind::kIdentity}, {"Cast", OpKind::kIdentity},
    {"InstanceNormalization", OpKind::kInstanceNormalization},
    {"AveragePool", OpKind::kAveragePool}, {"Shape", OpKind::kShape},
    {"Reshape", OpKind::kReshape}, {"LeakyRelu", OpKind::kLeakyRelu},
    {"Resize", OpKind::kResize}, {"ConvTranspose", OpKind::kConvTranspose},
    {"Softmax", OpKind::kSoftmax}, {"Clip", OpKind::kClip}, {"ArgMax", OpKind::kArgMax},
    {"Gelu", OpKind::kGelu}, {"Split", OpKind::kSplit}, {"Gather", OpKind::kGather},
    {"Unsqueeze", OpKind::kUnsqueeze}, {"Slice", OpKind::kSlice},
    {"Squeeze", OpKind::kSqueeze}, {"Pow", OpKind::kPow}, {"Sqrt", OpKind::kSqrt},
    {"ReduceMean", OpKind::kReduceMean}, {"Equal", OpKind::kEqual}, {"Where", OpKind::kWhere},
    {"Expand", OpKind::kExpand}, {"Tile", OpKind::kExpand},
    {"DynamicQuantizeLinear", OpKind::kDynamicQuantizeLinear}, {"Exp", OpKind::kExp},
    {"ConstantOfShape", OpKind::kConstantOfShape}, {"ReduceSum", OpKind::kReduceSum},
    {"Tanh", OpKind::kTanh}, {"DequantizeLinear", OpKind::kDequantizeLinear},
    {"Range", OpKind::kRange}, {"Less", OpKind::kLess}, {"LessOrEqual", OpKind::kGreater},
    {"Cos", OpKind::kCos}, {"Sin", OpKind::kSin}, {"DepthToSpace", OpKind::kDepthToSpace},
    {"Pad", OpKind::kPad}, {"Log", OpKind::kLog}, {"GridSample", OpKind::kGridSample},
    {"Abs", OpKind::kAbs}, {"Neg", OpKind::kNeg}, {"Floor", OpKind::kFloor},
    {"Ceil", OpKind::kCeil}, {"Round", OpKind::kRound}, {"Reciprocal", OpKind::kReciprocal},
    {"Elu", OpKind::kElu}, {"Selu", OpKind::kSelu}, {"Max", OpKind::kMax}, {"Min", OpKind::kMin},
    {"ReduceMax", OpKind::kReduceMax}, {"ReduceMin", OpKind::kReduceMin},
    {"ReduceProd", OpKind::kReduceProd}, {"CumSum", OpKind::kCumSum}, {"TopK", OpKind::kTopK},
    {"GatherND", OpKind::kGatherND}, {"ScatterND", OpKind::kScatterND},
    {"ScatterElements", OpKind::kScatterND}, {"NonMaxSuppression", OpKind::kNonMaxSuppression},
    {"SpaceToDepth", OpKind::kSpaceToDepth}, {"Mod", OpKind::kMod},
    {"Greater", OpKind::kGreater}, {"GreaterOrEqual", OpKind::kGreater}, {"Not", OpKind::kNot},
    {"And", OpKind::kAnd}, {"Or", OpKind::kOr}, {"OneHot", OpKind::kOneHot},
};

// Greater's comparison mode word as the CPU engine reads it.
constexpr uint64_t kGreaterOrEqualMode = 1;
constexpr uint64_t kLessOrEqualMode = 2;

void init_words(GraphNode& n) {
  for (uint64_t w = 0; w < kAttrWords; ++w) n.attrs[w] = 0;
  for (uint32_t w : {kWordStrideH, kWordStrideW, kWordDilationH, kWordDilationW, kWordGroup,
                     kWordAxis}) {
    n.attrs[w] = 1;
  }
  n.attrs[kWordAlpha] = kAttrUnset;
  n.attrs[kWordBeta] = kAttrUnset;
}

// Float words the engines read as floats get their ONNX defaults; every other kind uses those
// words for flags (a Conv's epilogue, an Add's fused scale), which must start cleared.
void default_float_words(GraphNode& n) {
  float alpha = 0.0f, beta = 0.0f;
  bool floats = true;
  bool beta_unset = false;
  switch (static_cast<OpKind>(n.op_kind)) {
    case OpKind::kHardSigmoid: alpha = kHardSigmoidAlpha; beta = kHardSigmoidBeta; break;
    case OpKind::kLayerNormalization:
    case OpKind::kBatchNormalization:
    case OpKind::kInstanceNormalization: alpha = kNormEpsilon; beta_unset = true; break;
    case OpKind::kLeakyRelu: alpha = kLeakySlope; beta_unset = true; break;
    case OpKind::kSelu: alpha = kSeluAlpha; beta = kSeluGamma; break;
    case OpKind::kElu: alpha = 1.0f; beta = 1.0f; break;
    case OpKind::kGemm: alpha = 1.0f; beta = 1.0f; break;
    default: floats = false; break;
  }
  if (n.attrs[kWordAlpha] == kAttrUnset) n.attrs[kWordAlpha] = floats ? attr_f32_word(alpha) : 0;
  if (n.attrs[kWordBeta] == kAttrUnset) {
    n.attrs[kWordBeta] = floats ? (beta_unset ? kAttrUnset : attr_f32_word(beta)) : 0;
  }
}

void apply_attribute(const OnnxAttr& a, GraphNode& n, NodeExtra& x, int64_t& value_tensor) {
  uint64_t* w = n.attrs;
  const std::string_view name = a.name;
  const uint64_t k = a.ints_count < kAttrIntsKept ? a.ints_count : kAttrIntsKept;
  auto u = [](int64_t v) { return static_cast<uint64_t>(v); };
  if (name == "kernel_shape" && a.has_ints) {
    if (k >= 2) {
      w[0] = u(a.ints[0]);
      w[1] = u(a.ints[1]);
    } else if (k == 1) {
      w[0] = 1;
      w[1] = u(a.ints[0]);
    }
  } else if (name == "strides" && a.has_ints) {
    if (k >= 2) {
      w[2] = u(a.ints[0]);
      w[3] = u(a.ints[1]);
    } else if (k == 1) {
      w[2] = 1;
      w[3] = u(a.ints[0]);
    }
  } else if (name == "pads" && a.has_ints) {
    x.pads_count = a.ints_count;
    for (uint64_t i = 0; i < k; ++i) x.pads[i] = a.ints[i];
    if (k >= 4) {
      for (uint64_t i = 0; i < 4; ++i) w[4 + i] = u(a.ints[i]);
    } else if (k == 2) {
      w[4] = 0;
      w[5] = u(a.ints[0]);
      w[6] = 0;
      w[7] = u(a.ints[1]);
    }
  } else if (name == "dilations" && a.has_ints) {
    if (k >= 2) {
      w[8] = u(a.ints[0]);
      w[9] = u(a.ints[1]);
    } else if (k == 1) {
      w[8] = 1;
      w[9] = u(a.ints[0]);
    }
  } else if ((name == "perm" || name == "split") && a.has_ints) {
    w[0] = a.ints_count;
    for (uint64_t i = 0; i < k && i < kMaxRank; ++i) w[4 + i] = u(a.ints[i]);
  } else if (name == "axes" && a.has_ints) {
    if (k >= 1) w[11] = u(a.ints[0]);
    w[1] = a.ints_count;
    if (k >= 2) w[3] = u(a.ints[1]);
    x.has_axes_attr = true;
    x.axes_count = a.ints_count;
    for (uint64_t i = 0; i < k && i < kMaxRank; ++i) x.axes[i] = a.ints[i];
  } else if (name == "axis" && a.has_i) {
    w[11] = u(a.i);
    w[1] = 1;
  } else if (name == "starts" && a.has_ints) {
    if (k >= 1) w[4] = u(a.ints[0]);
    w[8] = 1;
  } else if (name == "ends" && a.has_ints) {
    if (k >= 1) w[6] = u(a.ints[0]);
    w[9] = 1;
  } else if (name == "start" && a.has_i) {
    w[5] = u(a.i);
    w[12] |= 1;
  } else if (name == "end" && a.has_i) {
    w[7] = u(a.i);
    w[12] |= 2;
  } else if (name == "keepdims" && a.has_i) {
    w[0] = u(a.i);
    x.keepdims = a.i != 0;
    x.has_keepdims = true;
  } else if ((name == "blocksize" || name == "to") && a.has_i) {
    w[0] = u(a.i);
  } else if (name == "group" && a.has_i) {
    w[10] = u(a.i);
  } else if (name == "batch_dims" && a.has_i) {
    w[4] = u(a.i);
  } else if ((name == "transA" || name == "exclusive") && a.has_i) {
    w[12] = u(a.i);
  } else if ((name == "transB" || name == "reverse") && a.has_i) {
    w[13] = u(a.i);
  } else if ((name == "epsilon" || name == "alpha") && a.has_f) {
    w[14] = attr_f32_word(a.f);
  } else if ((name == "beta" || name == "gamma") && a.has_f) {
    w[15] = attr_f32_word(a.f);
  } else if (name == "auto_pad" && a.has_s) {
    if (a.s == "SAME_UPPER") w[12] = 2;
    if (a.s == "SAME_LOWER") w[12] = 3;
  } else if (name == "mode" && a.has_s) {
    x.mode = a.s;
    if (a.s == "linear" || a.s == "cubic") w[12] = 1;
  } else if (name == "coordinate_transformation_mode" && a.has_s) {
    x.transform_mode = a.s;
    if (a.s == "align_corners") w[13] = 1;
  } else if (name == "nearest_mode" && a.has_s) {
    x.nearest_mode = a.s;
  } else if (name == "ceil_mode" && a.has_i) {
    x.ceil_mode = a.i != 0;
  } else if (name == "fmod" && a.has_i) {
    x.fmod = a.i != 0;
  } else if (name == "approximate" && a.has_s) {
    x.gelu_tanh = a.s == "tanh";
  } else if (name == "equation" && a.has_s) {
    if (a.s.size() >= 6 && a.s[5] == 'w') w[12] = 1;
  } else if (name == "value" && a.has_t) {
    value_tensor = 1;
  }
}

const OnnxAttr* find_attr(const std::vector<OnnxAttr>& attributes, std::string_view name) {
  for (const OnnxAttr& a : attributes) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

int64_t attr_int(const std::vector<OnnxAttr>& attributes, std::string_view name, int64_t fallback) {
  const OnnxAttr* a = find_attr(attributes, name);
  return a != nullptr && a->has_i ? a->i : fallback;
}

std::string_view attr_text(const std::vector<OnnxAttr>& attributes, std::string_view name,
                           std::string_view fallback) {
  const OnnxAttr* a = find_attr(attributes, name);
  return a != nullptr && a->has_s ? a->s : fallback;
}

constexpr int64_t kCastToString = 8;
constexpr int64_t kCastToBfloat16 = 16;

// Targets the engines' cast reproduces: the integers and booleans (truncation toward zero) and
// the wider floats (an identity). Complex, 8-bit and 4-bit float and 4-bit integer targets would
// come out as a truncation, a plainly different value.
bool cast_target_supported(int64_t to) {
  constexpr int64_t kTargets[] = {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13};
  for (int64_t t : kTargets) {
    if (t == to) return true;
  }
  return false;
}

// Forms of an operator whose ONNX result the engines would not reproduce: refused with the
// reason in s.detail. Attributes the engines honour through a word are recorded here.
bool lower_checks(BuilderState& s, std::string_view op, OpKind kind,
                  const std::vector<OnnxAttr>& attributes, GraphNode& node) {
  auto refuse = [&](std::string why) {
    s.detail = std::move(why);
    return false;
  };
  switch (kind) {
    case OpKind::kArgMax:
      node.attrs[kWordFlag] = attr_int(attributes, "select_last_index", 0) != 0 ? 1 : 0;
      break;
    case OpKind::kAveragePool:
      // Read by the shape pass once the pads are known, then cleared.
      node.attrs[kWordFlag] = attr_int(attributes, "count_include_pad", 0) != 0 ? 1 : 0;
      break;
    case OpKind::kConvTranspose: {
      // output_shape (spatial, or the full NCHW shape) goes to the shape pass on the two float
      // words, which it restores; 0 means absent.
      const OnnxAttr* shape = find_attr(attributes, "output_shape");
      if (shape != nullptr && shape->ints_count != 0) {
        if (shape->ints_count != 2 && shape->ints_count != 4) {
          return refuse("output_shape must list two spatial sizes");
        }
        const uint64_t first = shape->ints_count - 2;
        if (shape->ints[first] < 1 || shape->ints[first + 1] < 1) {
          return refuse("output_shape sizes must be positive");
        }
        node.attrs[kWordAlpha] = static_cast<uint64_t>(shape->ints[first]);
        node.attrs[kWordBeta] = static_cast<uint64_t>(shape->ints[first + 1]);
      }
      // output_padding extends the bottom and right edges: carried on the axis and flag words
      // to the shape pass, which restores them.
      const OnnxAttr* pad = find_attr(attributes, "output_padding");
      if (pad != nullptr && pad->ints_count != 0) {
        if (pad->ints_count != 2) return refuse("output_padding must list two values");
        if (pad->ints[0] < 0 || pad->ints[1] < 0) return refuse("negative output_padding");
        node.attrs[kWordAxis] = static_cast<uint64_t>(pad->ints[0]);
        node.attrs[kWordFlag] = static_cast<uint64_t>(pad->ints[1]);
      } else {
        node.attrs[kWordAxis] = 0;
      }
      break;
    }
    case OpKind::kGridSample: {
      const std::string_view mode = attr_text(attributes, "mode", "bilinear");
      if (mode != "bilinear" && mode != "linear") {
        return refuse("mode " + std::string(mode) + " is not supported (only bilinear)");
      }
      const std::string_view padding = attr_text(attributes, "padding_mode", "zeros");
      if (padding != "zeros") {
        return refuse("padding_mode " + std::string(padding) + " is not supported (only zeros)");
      }
      if (attr_int(attributes, "align_corners", 0) != 0) {
        return refuse("align_corners=1 is not supported");
      }
      break;
    }
    case OpKind::kScatterND: {
      // The engine's reduction word: 0 replaces, then add, mul, max, min.
      constexpr std::string_view kReductions[] = {"none", "add", "mul", "max", "min"};
      const std::string_view reduction = attr_text(attributes, "reduction", "none");
      uint64_t code = std::size(kReductions);
      for (uint64_t i = 0; i < std::size(kReductions); ++i) {
        if (kReductions[i] == reduction) code = i;
      }
      if (code == std::size(kReductions)) {
        return refuse("reduction " + std::string(reduction) + " is not supported");
      }
      node.attrs[kWordMode] = code;
      break;
    }
    default:
      break;
  }
  if (op == "Cast") {
    const int64_t to = attr_int(attributes, "to", 0);
    if (to == kCastToString || to == kCastToBfloat16) {
      return refuse(std::string("a cast to ") + (to == kCastToString ? "string" : "bfloat16") +
                    " is not supported");
    }
    if (!cast_target_supported(to)) {
      return refuse("a cast to element type " + std::to_string(to) + " is not supported");
    }
  }
  return true;
}

}  // namespace

uint64_t attr_f32_word(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

float attr_word_f32(uint64_t word) {
  const uint32_t bits = static_cast<uint32_t>(word);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::string_view onnx_lower_reason(uint32_t code) {
  switch (code) {
    case kLowerMalformedAttribute: return "malformed attribute";
    case kLowerConstantWithoutValue: return "Constant without a value";
    case kLowerEinsum:
      return "its equation is not interpreted (Einsum converts only in the legacy [h] [w] form)";
    case kLowerTooManyInputs: return "more than 8 inputs";
    case kLowerTooManyOutputs: return "more than 4 outputs";
    case kLowerBadTensor: return "its value tensor cannot be converted";
    case kLowerUnsupportedForm: return "this form of the operator is not supported";
    case kLowerPoolFull: return "the converter's name pool is full";
    default: return "no Vexa lowering for this operator";
  }
}

bool onnx_lower_node(BuilderState& s, uint64_t start, uint64_t end) {
  if (s.graph_cut) return true;

  GraphNode node{};
  NodeExtra extra;
  init_words(node);
  uint32_t inputs[kGraphNodeMaxInputs];
  uint32_t outputs[kGraphNodeMaxOutputs];
  uint64_t input_count = 0, output_count = 0;
  bool too_many_inputs = false, too_many_outputs = false;
  bool malformed = false;
  uint64_t value_start = 0, value_end = 0;
  bool has_value = false;
  std::vector<OnnxAttr> attributes;

  WireCursor c{s.image, start, end};
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(c, field, wire)) {
    if ((field == 1 || field == 2 || field == 3 || field == 4 || field == 5) &&
        wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) {
        malformed = true;
        break;
      }
      const std::string_view text(reinterpret_cast<const char*>(s.image + s0), n);
      if (field == 1 || field == 2) {
        const bool is_input = field == 1;
        uint64_t& count = is_input ? input_count : output_count;
        if (count >= (is_input ? kGraphNodeMaxInputs : kGraphNodeMaxOutputs)) {
          (is_input ? too_many_inputs : too_many_outputs) = true;
          continue;
        }
        // An empty name marks an absent optional operand.
        uint32_t index = UINT32_MAX;
        if (!text.empty()) {
          index = builder_value_index(s, text);
          if (index >= s.values.size()) {
            malformed = true;
            break;
          }
        }
        (is_input ? inputs : outputs)[count++] = index;
      } else if (field == 3) {
        extra.name = text;
      } else if (field == 4) {
        extra.op_type = text;
      } else {
        OnnxAttr a;
        if (!read_attribute(s.image, s0, s0 + n, a)) {
          malformed = true;
          break;
        }
        attributes.push_back(a);
      }
    } else if (!onnx_skip_field(c, wire)) {
      malformed = true;
      break;
    }
  }
  if (malformed) {
    s.lower_failure = kLowerMalformedAttribute;
    return false;
  }
  if (too_many_inputs) {
    s.lower_failure = kLowerTooManyInputs;
    return false;
  }
  if (too_many_outputs) {
    s.lower_failure = kLowerTooManyOutputs;
    return false;
  }

  const std::string_view op = extra.op_type;
  if (op == "Einsum") {
    s.lower_failure = kLowerEinsum;
    return false;
  }
  OpKind kind{};
  bool found = false;
  for (const OpRow& row : kOpTable) {
    if (row.op_type == op) {
      kind = row.kind;
      found = true;
      break;
    }
  }
  const bool is_constant = op == "Constant";
  if (!found && !is_constant) {
    s.lower_failure = kLowerNoLowering;
    return false;
  }
  if (!is_constant) node.op_kind = kind_of(kind);

  for (const OnnxAttr& a : attributes) {
    int64_t value_flag = 0;
    apply_attribute(a, node, extra, value_flag);
    if (value_flag != 0) {
      has_value = true;
      value_start = a.t_start;
      value_end = a.t_end;
    }
  }

  if (is_constant) {
    if (output_count >= 1 && outputs[0] != UINT32_MAX && !has_value) {
      for (const OnnxAttr& a : attributes) {
        if (a.name != "value_float" && a.name != "value_floats" && a.name != "value_int" &&
            a.name != "value_ints") {
          continue;
        }
        if (!constant_from_numbers(s, outputs[0], a)) {
          s.lower_failure = kLowerMalformedAttribute;
          return false;
        }
        return true;
      }
    }
    if (output_count < 1 || outputs[0] == UINT32_MAX || !has_value) {
      s.lower_failure = kLowerConstantWithoutValue;
      return false;
    }
    if (!onnx_read_tensor(s, outputs[0], true, value_start, value_end)) {
      s.lower_failure = kLowerBadTensor;
      return false;
    }
    return true;
  }
  if (output_count < 1 || outputs[0] == UINT32_MAX) {
    s.lower_failure = kLowerUnsupportedForm;
    return false;
  }

  if (!lower_checks(s, op, kind, attributes, node)) {
    s.lower_failure = kLowerUnsupportedForm;
    return false;
  }

  // Per-kind starting values that differ from the shared ones.
  bool has_axis = false;
  for (const OnnxAttr& a : attributes) has_axis = has_axis || (a.name == "axis" && a.has_i);
  switch (kind) {
    case OpKind::kGather:
    case OpKind::kArgMax:
    case OpKind::kSplit:
    case OpKind::kScatterND:
      if (!has_axis) node.attrs[kWordAxis] = 0;
      break;
    case OpKind::kTopK:
    case OpKind::kLayerNormalization:
      if (!has_axis) node.attrs[kWordAxis] = static_cast<uint64_t>(int64_t{-1});
      break;
    case OpKind::kSoftmax:
      if (!has_axis) {
        node.attrs[kWordAxis] = s.opset >= kSoftmaxLastAxisOpset
                                    ? static_cast<uint64_t>(int64_t{-1}) : 1;
      }
      break;
    default:
      break;
  }
  if (kind == OpKind::kDepthToSpace) {
    // The engine reads 0 as column-row-depth order and 1 as ONNX's default depth-column-row.
    if (extra.mode.empty() || extra.mode == "DCR") {
      node.attrs[kWordMode] = kDepthToSpaceDcr;
    } else if (extra.mode == "CRD") {
      node.attrs[kWordMode] = kDepthToSpaceCrd;
    } else {
      s.lower_failure = kLowerMalformedAttribute;
      return false;
    }
  }
  if (op == "ConvInteger" || op == "MatMulInteger") node.attrs[kWordBeta] = kIntegerOriginMark;
  if (op == "Cast") node.attrs[1] = kCastTag;
  if (op == "GreaterOrEqual") node.attrs[kWordMode] = kGreaterOrEqualMode;
  if (op == "LessOrEqual") {
    // a <= b runs as the engine's Greater in its less-or-equal mode.
    node.attrs[kWordMode] = kLessOrEqualMode;
  }
  if (op == "Tile") node.attrs[kWordFlag] = 1;
  if (kind == OpKind::kGelu && extra.gelu_tanh) {
    s.lower_failure = kLowerUnsupportedForm;
    return false;
  }
  if (kind == OpKind::kOneHot && s.bindings == nullptr) {
    s.lower_failure = kLowerNoLowering;
    return false;
  }
  if (kind == OpKind::kConstantOfShape && has_value) {
    if (!onnx_read_tensor(s, outputs[0], true, value_start, value_end)) {
      s.lower_failure = kLowerBadTensor;
      return false;
    }
    // The tensor is only the fill value; the output stays the node's.
    s.values[outputs[0]].kind = static_cast<uint64_t>(ValueKind::kIntermediate);
    extra.has_value = true;
  }
  default_float_words(node);

  auto emit = [&](const GraphNode& n) {
    s.nodes.push_back(n);
    s.extras.push_back(extra);
  };
  auto fill_io = [&](GraphNode& n) {
    n.input_count = input_count;
    for (uint64_t i = 0; i < kGraphNodeMaxInputs; ++i) {
      n.inputs[i] = i < input_count && inputs[i] != UINT32_MAX ? inputs[i] : kAbsentInput;
    }
    n.output_count = output_count;
    for (uint64_t i = 0; i < kGraphNodeMaxOutputs; ++i) {
      n.outputs[i] = i < output_count && outputs[i] != UINT32_MAX ? outputs[i] : kAbsentInput;
    }
  };
  fill_io(node);
  if (kind == OpKind::kPad) node.input_count = 1;

  // 1-D convolution: [N, C, L] runs as a 2-D convolution over [N, C, 1, L].
  if (kind == OpKind::kConv && input_count >= 2 && inputs[1] != UINT32_MAX &&
      s.values[inputs[1]].kind == static_cast<uint64_t>(ValueKind::kWeight) &&
      s.values[inputs[1]].rank == 3) {
    BuilderValue& wv = s.values[inputs[1]];
    wv.rank = 4;
    wv.dims[3] = wv.dims[2];
    wv.dims[2] = 1;
    const uint32_t unsq = builder_pool_append(s, outputs[0], "#unsqueeze");
    const uint32_t conv = builder_pool_append(s, outputs[0], "#conv2d");
    if (unsq == outputs[0] || conv == outputs[0]) {
      s.lower_failure = kLowerPoolFull;
      return false;
    }
    GraphNode u{};
    init_words(u);
    u.op_kind = kind_of(OpKind::kUnsqueeze);
    u.attrs[1] = 1;
    u.attrs[kWordAxis] = 2;
    default_float_words(u);
    u.input_count = 1;
    u.inputs[0] = node.inputs[0];
    for (uint64_t i = 1; i < kGraphNodeMaxInputs; ++i) u.inputs[i] = kAbsentInput;
    u.output_count = 1;
    u.outputs[0] = unsq;
    for (uint64_t i = 1; i < kGraphNodeMaxOutputs; ++i) u.outputs[i] = kAbsentInput;
    GraphNode sq = u;
    sq.op_kind = kind_of(OpKind::kSqueeze);
    sq.inputs[0] = conv;
    sq.outputs[0] = node.outputs[0];
    node.inputs[0] = unsq;
    node.outputs[0] = conv;
    if (node.attrs[kWordKernelH] == 0) node.attrs[kWordKernelH] = 1;
    NodeExtra axis_extra = extra;
    axis_extra.has_axes_attr = true;
    axis_extra.axes_count = 1;
    axis_extra.axes[0] = 2;
    s.nodes.push_back(u);
    s.extras.push_back(axis_extra);
    emit(node);
    s.nodes.push_back(sq);
    s.extras.push_back(axis_extra);
    return true;
  }

  // Softmax before opset 13 normalises over all dims from the axis on: flatten to 2-D, take
  // the softmax of each row, and restore the input's shape.
  if (kind == OpKind::kSoftmax && s.opset < kSoftmaxLastAxisOpset && input_count >= 1 &&
      inputs[0] != UINT32_MAX) {
    const uint32_t flat = builder_pool_append(s, outputs[0], "#rows");
    const uint32_t soft = builder_pool_append(s, outputs[0], "#softmax");
    const uint32_t shape = builder_pool_append(s, outputs[0], "#shape");
    if (flat == outputs[0] || soft == outputs[0] || shape == outputs[0]) {
      s.lower_failure = kLowerPoolFull;
      return false;
    }
    GraphNode f = node;
    f.op_kind = kind_of(OpKind::kFlatten);
    f.input_count = 1;
    f.outputs[0] = flat;
    GraphNode sm = node;
    sm.input_count = 1;
    sm.inputs[0] = flat;
    sm.outputs[0] = soft;
    sm.attrs[kWordAxis] = 1;
    GraphNode sh{};
    init_words(sh);
    sh.op_kind = kind_of(OpKind::kShape);
    default_float_words(sh);
    sh.input_count = 1;
    sh.inputs[0] = node.inputs[0];
    for (uint64_t i = 1; i < kGraphNodeMaxInputs; ++i) sh.inputs[i] = kAbsentInput;
    sh.output_count = 1;
    sh.outputs[0] = shape;
    for (uint64_t i = 1; i < kGraphNodeMaxOutputs; ++i) sh.outputs[i] = kAbsentInput;
    GraphNode r = sh;
    r.op_kind = kind_of(OpKind::kReshape);
    r.input_count = 2;
    r.inputs[0] = soft;
    r.inputs[1] = shape;
    r.outputs[0] = node.outputs[0];
    emit(f);
    emit(sm);
    emit(sh);
    emit(r);
    return true;
  }

  // Max and Min of three or more inputs: a chain of two-input nodes, left to right.
  if ((kind == OpKind::kMax || kind == OpKind::kMin) && input_count > 2) {
    uint64_t acc = node.inputs[0];
    for (uint64_t i = 1; i < input_count; ++i) {
      GraphNode step = node;
      step.input_count = 2;
      step.inputs[0] = acc;
      step.inputs[1] = node.inputs[i];
      for (uint64_t j = 2; j < kGraphNodeMaxInputs; ++j) step.inputs[j] = kAbsentInput;
      if (i + 1 < input_count) {
        const std::string suffix = "#chain" + std::to_string(i);
        const uint32_t partial = builder_pool_append(s, outputs[0], suffix);
        if (partial == outputs[0]) {
          s.lower_failure = kLowerPoolFull;
          return false;
        }
        step.outputs[0] = partial;
        acc = partial;
      }
      emit(step);
    }
    return true;
  }

  // Integer Mod takes the divisor's sign (fmod=0): fmod(fmod(a, b) + b, b) shifts a remainder
  // of the other sign by one divisor and leaves the rest unchanged.
  if (kind == OpKind::kMod && !extra.fmod && input_count == 2 && inputs[1] != UINT32_MAX) {
    const uint32_t rem = builder_pool_append(s, outputs[0], "#fmod");
    const uint32_t shifted = builder_pool_append(s, outputs[0], "#shifted");
    if (rem == outputs[0] || shifted == outputs[0]) {
      s.lower_failure = kLowerPoolFull;
      return false;
    }
    GraphNode first = node;
    first.outputs[0] = rem;
    GraphNode add = node;
    add.op_kind = kind_of(OpKind::kAdd);
    add.inputs[0] = rem;
    add.outputs[0] = shifted;
    GraphNode last = node;
    last.inputs[0] = shifted;
    emit(first);
    emit(add);
    emit(last);
    return true;
  }

  emit(node);
  return true;
}

}  // namespace vexa::tools
