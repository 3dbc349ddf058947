#include "core/container_format.h"

#include <iterator>

namespace vexa {

namespace {

// Index k holds the name of kind k; index 0 is the fallback.
constexpr std::string_view kOpKindNames[] = {
    "UnknownOp", "Sub", "Div", "Add", "Mul", "Conv", "Relu", "MaxPool", "GlobalAveragePool",
    "Flatten", "Gemm", "Sigmoid", "HardSigmoid", "HardSwish", "Transpose", "LayerNormalization",
    "MatMul", "Erf", "PRelu", "BatchNormalization", "Concat", "Identity",
    "InstanceNormalization", "AveragePool", "Shape", "Reshape", "LeakyRelu", "Resize",
    "ConvTranspose", "Softmax", "Clip", "ArgMax", "Gelu", "Split", "Gather", "Unsqueeze",
    "Slice", "Squeeze", "Pow", "Sqrt", "ReduceMean", "Equal", "Where", "Expand",
    "DynamicQuantizeLinear", "Exp", "ConstantOfShape", "ReduceSum", "Tanh", "DequantizeLinear",
    "Range", "Less", "Cos", "Sin", "DepthToSpace", "Pad", "DeformUnfold", "DetrTopK",
    "MaskToBoxLogit", "Log", "GridSample", "Abs", "Neg", "Floor", "Ceil", "Round", "Reciprocal",
    "Elu", "Selu", "Max", "Min", "ReduceMax", "ReduceMin", "ReduceProd", "CumSum", "TopK",
    "GatherND", "ScatterND", "NonMaxSuppression", "SpaceToDepth", "Mod", "Greater", "Not", "And",
    "Or", "YoloNms", "OneHot", "Cast",
};
static_assert(std::size(kOpKindNames) == kOpKindLast + 1, "one name per op kind");

constexpr std::string_view kPackStatusTexts[] = {
    "I/O failed",
    "invalid header/version/file size",
    "invalid section bounds",
    "metadata/header hash mismatch",
    "invalid load plan/group coverage",
    "invalid tensor record",
    "allocation failed",
    "slot is busy",
    "slot too small",
    "backend failed",
    "tensor hash mismatch",
};
static_assert(std::size(kPackStatusTexts) == kPackStatusCount, "one text per status");

}  // namespace

std::string_view op_kind_name(uint64_t kind) {
  if (kind < kOpKindFirst || kind > kOpKindLast) return kOpKindNames[0];
  return kOpKindNames[kind];
}

std::string_view pack_status_text(uint32_t code) {
  if (code >= kPackStatusCount) return "unknown status";
  return kPackStatusTexts[code];
}

}  // namespace vexa
