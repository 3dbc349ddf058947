#include "core/precision.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "core/container_access.h"

namespace vexa {

namespace {

struct PrecisionSources {
  std::string_view backend;
  const char* env[3];
  const char* keys[2];
};

// Per backend name: environment variables then metadata keys, each in order. The last row is
// used for every other name.
constexpr PrecisionSources kSources[] = {
    {"cpu", {"VEXA_PRECISION_CPU", "VEXA_PRECISION", nullptr}, {"precision.cpu", nullptr}},
    {"gpu", {"VEXA_PRECISION_GPU", "VEXA_PRECISION", nullptr}, {"precision.gpu", nullptr}},
    {"metal",
     {"VEXA_PRECISION_GPU_METAL", "VEXA_PRECISION_GPU", "VEXA_PRECISION"},
     {"precision.gpu.metal", "precision.gpu"}},
    {"vulkan",
     {"VEXA_PRECISION_GPU_VULKAN", "VEXA_PRECISION_GPU", "VEXA_PRECISION"},
     {"precision.gpu.vulkan", "precision.gpu"}},
    {"", {"VEXA_PRECISION_NPU", "VEXA_PRECISION", nullptr}, {"precision.npu", nullptr}},
};

PrecisionSetting invalid(uint32_t weight) { return PrecisionSetting{weight, 0, false, true}; }

}  // namespace

PrecisionSetting parse_precision(const char* text, uint64_t length) {
  if (text == nullptr) length = 0;
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
  if (length == 0) return invalid(0);
  const std::string_view s(text, static_cast<size_t>(length));
  const size_t colon = s.find(':');
  const std::string_view weight_text = s.substr(0, colon);
  uint32_t weight = 0;
  if (weight_text == "f32") {
    weight = kWeightPrecisionF32;
  } else if (weight_text == "f16") {
    weight = kWeightPrecisionF16;
  } else if (weight_text == "int8") {
    weight = kWeightPrecisionInt8;
  } else {
    return invalid(0);
  }
  if (colon == std::string_view::npos) return PrecisionSetting{weight, kActivationDefault, true, true};
  const std::string_view act = s.substr(colon + 1);
  if (act == "f16") return PrecisionSetting{weight, kActivationF16, true, true};
  if (act == "static" && weight == kWeightPrecisionInt8) {
    return PrecisionSetting{weight, kActivationStatic, true, true};
  }
  if (act == "fast" && weight == kWeightPrecisionF16) {
    return PrecisionSetting{weight, kActivationFast, true, true};
  }
  return invalid(weight);
}

PrecisionSetting resolve_precision(const OpenContainer* container, const char* backend,
                                   uint64_t backend_length) {
  const std::string_view name(backend == nullptr ? "" : backend,
                              backend == nullptr ? 0 : static_cast<size_t>(backend_length));
  const PrecisionSources* row = &kSources[std::size(kSources) - 1];
  for (const PrecisionSources& s : kSources) {
    if (!s.backend.empty() && s.backend == name) {
      row = &s;
      break;
    }
  }
  for (const char* var : row->env) {
    if (var == nullptr) break;
    const char* value = std::getenv(var);
    if (value != nullptr) return parse_precision(value, std::strlen(value));
  }
  if (container != nullptr && container->image != nullptr) {
    for (const char* key : row->keys) {
      if (key == nullptr) break;
      const std::string_view v = meta_get_str(container, key, std::strlen(key), "", 0);
      if (!v.empty()) return parse_precision(v.data(), v.size());
    }
  }
  return PrecisionSetting{kWeightPrecisionF32, kActivationDefault, true, false};
}

const char* precision_mode_name(uint32_t weight, uint32_t activation) {
  switch (activation) {
    case kActivationFast: return "f16:fast";
    case kActivationF16:
      return weight == kWeightPrecisionF32 ? "f32:f16" : weight == kWeightPrecisionF16 ? "f16:f16" : "int8:f16";
    case kActivationStatic: return "int8:static";
    default:
      return weight == kWeightPrecisionF32 ? "f32" : weight == kWeightPrecisionF16 ? "f16" : "int8";
  }
}

}  // namespace vexa
