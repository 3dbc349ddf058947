// The Neural Engine target: an executable compiled for it (every float value computed as f16),
// fed an f16 copy of input 0, with one result buffer per target; and the switches that turn it
// on and off. A compilation that fails is never an error: the state stays on the GPU path.
#include <cstdlib>

#include "gpu/gpu_context.h"
#include "gpu/mps_lowering.h"
#include "gpu/mps_state.h"

namespace vexa {

namespace {

constexpr uint32_t kOptimizationProfile = 1;
constexpr uint32_t kOptimizationLevel = 1;
constexpr uint32_t kAllowedDevices = kGraphDeviceMaskGpu | kGraphDeviceMaskNeuralEngine;
constexpr uint64_t kNeuralEngineCompilerOption = 0x200;
constexpr uint64_t kF16Bytes = 2;
constexpr uint64_t kMinBufferBytes = 16;
constexpr uint32_t kNoResult = UINT32_MAX;

MpsState* state_of(MpsHandle handle) { return handle != nullptr ? *handle : nullptr; }

std::shared_ptr<DeviceBuffer> shared_buffer(const MpsState* s, uint64_t bytes) {
  return s->device->new_buffer(bytes < kMinBufferBytes ? kMinBufferBytes : bytes,
                               StorageMode::kShared);
}

bool compile(MpsState* s) {
  const GraphDevice device(s->device);
  if (!device.descriptor().has_ane) return false;
  const MpsInput& in0 = s->inputs[0];
  const GraphValue& r0 = s->values[in0.value_id].record;
  const GraphShape shape0 = mps_shape(r0.rank, r0.dims);
  // The executable is fed f16 data, so it is compiled for f16 input.
  const GraphShapedType input_type{shape0, DeviceDataType::kFloat16};
  std::vector<GraphTensor> targets = {s->outputs[0].tensor};
  if (s->extra_outputs_prepared) {
    for (uint64_t i = 1; i < s->output_count; ++i) {
      const GraphTensor t = s->outputs[i].tensor;
      bool listed = false;
      for (GraphTensor u : targets) listed = listed || u == t;
      if (t.valid() && !listed) targets.push_back(t);
    }
  }
  GraphCompilationDescriptor cd;
  cd.optimization_profile = kOptimizationProfile;
  cd.optimization_level = kOptimizationLevel;
  cd.preferred_device = kGraphDeviceNeuralEngine;
  cd.allowed_devices = kAllowedDevices;
  cd.enable_ane_chw_rank_promotion = true;
  cd.wait_for_compilation_completion = true;
  cd.compiler_options |= kNeuralEngineCompilerOption;
  const char* debug = std::getenv("VEXA_ANE_DEBUG");
  cd.print_ane_placement_analysis = debug != nullptr && debug[0] == '1';
  std::string error;
  std::shared_ptr<GraphExecutable> exe =
      s->graph->compile(device, {{in0.placeholder, input_type}}, targets, cd, &error);
  if (exe == nullptr || exe->target_tensors().size() > kMpsMaxExecutableResults) return false;
  const std::vector<GraphShapedType> types = exe->output_types({input_type}, &error);
  if (types.size() != exe->target_tensors().size()) return false;

  MpsNeuralEngine ne;
  ne.input = shared_buffer(s, s->input0_bytes / 2 / kF16Bytes * kF16Bytes);
  if (ne.input == nullptr) return false;
  ne.input_contents = static_cast<uint16_t*>(ne.input->contents());
  ne.inputs = {GraphTensorData(ne.input, shape0, DeviceDataType::kFloat16)};
  for (const GraphShapedType& t : types) {
    uint64_t count = 1;
    for (int64_t d : t.shape) {
      if (__builtin_mul_overflow(count, static_cast<uint64_t>(d < 1 ? 1 : d), &count)) return false;
    }
    const uint64_t element = t.type == DeviceDataType::kFloat16 ? kF16Bytes : kMpsF32Bytes;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, element, &bytes)) return false;
    MpsNeuralEngine::Result res;
    res.buffer = shared_buffer(s, bytes);
    if (res.buffer == nullptr) return false;
    res.contents = static_cast<uint8_t*>(res.buffer->contents());
    res.type = t.type;
    ne.results.push_back(GraphTensorData(res.buffer, t.shape, t.type));
    ne.result_buffers.push_back(std::move(res));
  }
  // Outputs that are not among the targets keep no result (their buffers are left alone).
  const std::vector<GraphTensor>& exe_targets = exe->target_tensors();
  for (uint64_t i = 0; i < s->output_count; ++i) {
    ne.output_result[i] = kNoResult;
    for (size_t r = 0; r < exe_targets.size(); ++r) {
      if (exe_targets[r] == s->outputs[i].tensor) ne.output_result[i] = static_cast<uint32_t>(r);
    }
  }
  ne.descriptor.wait_until_completed = true;
  ne.executable = std::move(exe);
  s->ne = std::move(ne);
  s->ne_compiled = true;
  return true;
}

}  // namespace

bool mps_compile_ne(MpsState* s) {
  if (s == nullptr || s->input_count > 1 || s->weights_fed) return false;
  if (s->ne_compiled) return true;
  try {
    return compile(s);
  } catch (const std::exception&) {
    return false;
  }
}

uint32_t mps_active_backend(MpsHandle handle) {
  MpsState* s = state_of(handle);
  if (s == nullptr) return 0;
  if (!s->ne_requested) return 2;
  if (s->ne_compiled) return 3;
  if (mps_compile_ne(s)) return s->ne_requested ? 3 : 2;
  s->ne_requested = false;
  return 2;
}

bool mps_set_ne(MpsHandle handle, bool on) {
  MpsState* s = state_of(handle);
  if (s == nullptr) return false;
  if (!on) {
    s->ne_requested = false;
    return true;
  }
  s->ne_requested = true;
  if (s->ne_compiled) return true;
  if (mps_compile_ne(s)) return true;
  s->ne_requested = false;
  return false;
}

bool mps_supports_op(uint64_t kind, uint32_t backend) {
  constexpr uint32_t kBackendNpu = 3;
  if (backend == kBackendNpu && !gpu_has_ane()) return false;
  return mps_kind_lowered(kind);
}

}  // namespace vexa
