#include "cpu/precision_gate.h"

#include "core/container_access.h"
#include "cpu/quant_study.h"

namespace vexa::cpu {

namespace {

constexpr std::string_view kCalibrationKey = "calib.amax";

uint64_t calibration_count(const OpenContainer& container) {
  uint64_t count = 0;
  meta_get_f32_array(&container, kCalibrationKey.data(), kCalibrationKey.size(), &count);
  return count;
}

}  // namespace

PrecisionGateResult cpu_precision_check(const PrecisionSetting& setting, bool int8_dot_product,
                                        uint64_t calibration_entries) {
  PrecisionGateResult r;
  r.setting = setting;
  if (!setting.valid) {
    r.message =
        "precision.cpu: unrecognised value (expected f32, f16, f16:fast, int8, int8:static or "
        "int8:f16)";
    return r;
  }
  const std::string name = precision_mode_name(setting.weight, setting.activation);
  const bool int8_own_activation = setting.weight == kWeightPrecisionInt8 &&
                                   (setting.activation == kActivationDefault ||
                                    setting.activation == kActivationStatic);
  if (setting.weight == kWeightPrecisionF32 && setting.activation == kActivationDefault) {
    r.accepted = true;
  } else if (!int8_own_activation) {
    r.message = "precision.cpu=" + name + " is not available on the CPU yet";
  } else if (!int8_dot_product) {
    r.message = "precision.cpu=" + name +
                " needs int8 dot-product instructions (ARMv8.2 SDOT or ARMv8.6 I8MM) this CPU lacks";
  } else if (setting.activation == kActivationStatic && calibration_entries == 0) {
    r.message =
        "precision.cpu=int8:static needs calibration ranges: run vexa-load precision <pack> "
        "--calibrate <samples>";
  } else {
    r.accepted = true;
  }
  return r;
}

PrecisionGateResult cpu_precision_gate(const OpenContainer& container) {
  const PrecisionSetting setting = resolve_precision(&container, "cpu");
  return cpu_precision_check(setting, cpu_i8_probe(), calibration_count(container));
}

void cpu_study_arm(CpuState& s, const OpenContainer& container,
                   const PrecisionGateResult& precision) {
  const auto* values = reinterpret_cast<const uint64_t(*)[kValueWords]>(s.values);
  const auto* nodes = reinterpret_cast<const uint64_t(*)[kNodeWords]>(s.nodes);
  const bool weight_is_int8 = precision.setting.weight == kWeightPrecisionInt8;
  // The calibration table feeds the int8 path, which this CPU never takes (the probe says no);
  // only its presence matters for the decision above.
  (void)container;
  cpu_i8_prepack(values, s.data, s.value_count, nodes, s.node_count, weight_is_int8, nullptr, 0);
  cpu_fakequant_configure(values, s.data, s.value_count, nodes, s.node_count);
  s.study_enabled = cpu_fakequant_enabled();
  // Latch the erf switch now, under the build lock, so no run is the first to read it.
  (void)cpu_vmath_enabled();
}

}  // namespace vexa::cpu
