// Precision a backend computes a graph model at: from an environment variable or a metadata key.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/container.h"

namespace vexa {

inline constexpr uint32_t kWeightPrecisionF32 = 0;
inline constexpr uint32_t kWeightPrecisionF16 = 1;
inline constexpr uint32_t kWeightPrecisionInt8 = 2;

inline constexpr uint32_t kActivationDefault = 0;  // the weight precision's own
inline constexpr uint32_t kActivationStatic = 1;   // calibrated int8
inline constexpr uint32_t kActivationF16 = 2;
inline constexpr uint32_t kActivationFast = 3;     // f16 with relaxed accuracy

struct PrecisionSetting {
  uint32_t weight;
  uint32_t activation;
  bool valid;      // the text was accepted
  bool specified;  // some source provided a text
};

// Grammar: weight[:activation]; trailing spaces and NULs are trimmed, nothing else.
PrecisionSetting parse_precision(const char* text, uint64_t length);
// Environment variables first (read at every call), then metadata keys; see precision.cpp.
PrecisionSetting resolve_precision(const OpenContainer* container, const char* backend,
                                   uint64_t backend_length);
const char* precision_mode_name(uint32_t weight, uint32_t activation);

inline PrecisionSetting resolve_precision(const OpenContainer* container, std::string_view backend) {
  return resolve_precision(container, backend.data(), backend.size());
}

}  // namespace vexa
