// Lowering of ONNX nodes into the container's operator kinds: the op_type table, the fixed
// placement of ONNX attributes in a node's sixteen attribute words, and the structural rewrites
// (Constant, ConstantOfShape, 1-D convolution, Softmax of the older opsets).
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/onnx_builder.h"

namespace vexa::tools {

// Lowers one NodeProto [start, end) of the image; false with s.lower_failure set when refused.
// A refused node leaves no node behind.
bool onnx_lower_node(BuilderState& s, uint64_t start, uint64_t end);

// The reason text of a lowering failure code.
std::string_view onnx_lower_reason(uint32_t code);

// Attribute word positions (index into GraphNode::attrs).
enum AttrWord : uint32_t {
  kWordKernelH = 0, kWordKernelW = 1, kWordStrideH = 2, kWordStrideW = 3, kWordPadTop = 4,
  kWordPadLeft = 5, kWordPadBottom = 6, kWordPadRight = 7, kWordDilationH = 8,
  kWordDilationW = 9, kWordGroup = 10, kWordAxis = 11, kWordMode = 12, kWordFlag = 13,
  kWordAlpha = 14, kWordBeta = 15,
};

// DepthToSpace block order on word 27: ONNX's default depth-column-row, or column-row-depth.
inline constexpr uint64_t kDepthToSpaceCrd = 0;
inline constexpr uint64_t kDepthToSpaceDcr = 1;

// Mark on word 15 of a Flatten that merges the two spatial dims.
inline constexpr uint64_t kFlattenSpatialMark = 888;
// Mark on word 15 of an integer-origin MatMul or Conv.
inline constexpr uint64_t kIntegerOriginMark = 777;

// A float held in the low half of an attribute word.
uint64_t attr_f32_word(float f);
float attr_word_f32(uint64_t word);

}  // namespace vexa::tools
