// The three ways the weights of a graph model reach its graph (see mps_weights.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "gpu/gpu_context.h"
#include "gpu/mps_state.h"

namespace vexa {

// The environment switches, read once per build.
struct MpsWeightSwitches {
  bool feed_weights = false;     // VEXA_MPS_FEED_WEIGHTS set
  uint64_t feed_min = 0;         // VEXA_MPS_FEED_MIN
  bool private_weights = false;  // VEXA_MPS_PRIVATE_WEIGHTS set
  uint64_t private_min = 0;      // VEXA_MPS_PRIVATE_MIN
};
MpsWeightSwitches mps_weight_switches();

// Gives every weight value of the state its tensor. slot_data holds the f32 weights (every
// weight was checked to lie inside it). False with *error set on failure.
bool mps_build_weights(MpsState* state, const uint8_t* slot_data, GpuContext* context,
                       const MpsWeightSwitches& sw, std::string* error);

}  // namespace vexa
