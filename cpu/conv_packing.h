// Build-time packing of Conv weights for the direct convolution path.
#pragma once

#include "cpu/cpu_state.h"

namespace vexa::cpu {

// Node word of a Conv whose weights this step packed for the direct path. Only this step
// sets it: a value read from a container is cleared, so the kernel never takes an unpacked
// weight for a packed one.
inline constexpr uint32_t kConvWordDirect = 28;

// Packs the weights of every Conv the direct path takes (its shape qualifies and it is the
// only reader of its f32 weight) into s.packed_weights, points the weight value there and
// marks the node. With `allowed` false (the low-precision study rewrites weights in their
// stored layout) nothing is packed. Without memory for the packed copy nothing is packed
// either: the other paths read the weights as stored.
void cpu_pack_conv_weights(CpuState& s, bool allowed);

}  // namespace vexa::cpu
