// Which precision settings the CPU engine accepts, and the study hooks armed after a build.
#pragma once

#include <cstdint>
#include <string>

#include "core/container.h"
#include "core/precision.h"
#include "cpu/cpu_state.h"

namespace vexa::cpu {

struct PrecisionGateResult {
  bool accepted = false;
  PrecisionSetting setting{};
  std::string message;  // the refusal, empty when accepted
};

// The decision for a resolved setting, given int8 dot-product support and the number of
// "calib.amax" entries the model stores.
PrecisionGateResult cpu_precision_check(const PrecisionSetting& setting, bool int8_dot_product,
                                        uint64_t calibration_count);

// Resolves the "cpu" precision of a container and checks it.
PrecisionGateResult cpu_precision_gate(const OpenContainer& container);

// Resets the process-wide low-precision study for the state just built (int8 prepacking,
// then fake quantisation of its weights). Called with the build lock held.
void cpu_study_arm(CpuState& state, const OpenContainer& container,
                   const PrecisionGateResult& precision);

}  // namespace vexa::cpu
