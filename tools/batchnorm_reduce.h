// BatchNormalization reduced at convert time to the per-channel affine map the engines run:
// scale = gamma / sqrt(var + epsilon), shift = beta - mean * scale, so that the node reads
// (x, scale, shift) and y = x * scale[c] + shift[c].
#pragma once

#include <cstdint>

#include "tools/onnx_builder.h"

namespace vexa::tools {

// Rewrites every five-input BatchNormalization whose four parameter vectors are known at
// convert time (same element count, f32) into the three-input form with two new weights. A
// node with runtime parameters is left as it is, for the engines to refuse. Returns the number
// of nodes reduced; false only when the value table is full.
bool onnx_reduce_batch_norms(BuilderState& s, uint64_t* reduced);

}  // namespace vexa::tools
