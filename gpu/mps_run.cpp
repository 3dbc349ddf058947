// Running an MpsState: one execution on the GPU (feeds and results dictionaries, or a compiled
// executable under VEXA_MPS_EXE) or on the Neural Engine (f16 in and out), the YoloNms tail on
// the CPU kernel, batched runs, secondary inputs and the extra output buffers.
#include <algorithm>
#include <cstring>
#include <exception>

#include "cpu/ops/detection.h"
#include "gpu/mps_state.h"

namespace vexa {

namespace {

constexpr uint64_t kMinBufferBytes = 16;
constexpr uint32_t kNoResult = UINT32_MAX;

MpsState* state_of(MpsHandle handle) { return handle != nullptr ? *handle : nullptr; }

void copy_bytes(void* dst, const void* src, uint64_t bytes) {
  if (bytes != 0 && dst != src) std::memmove(dst, src, static_cast<size_t>(bytes));
}

// The GPU executable of the state's feeds and targets, made on first use; any failure turns the
// executable path off for the state's lifetime.
bool gpu_executable(MpsState* s) {
  MpsGpuExecutable& x = s->gpu_exe;
  if (x.executable != nullptr) return true;
  GraphShapedTypeMap types;
  for (const auto& [tensor, data] : s->feeds) types[tensor] = GraphShapedType{data.shape(), data.type()};
  std::vector<GraphTensor> targets = {s->outputs[0].tensor};
  if (s->extra_outputs_prepared) {
    for (uint64_t i = 1; i < s->output_count; ++i) {
      if (s->outputs[i].buffer != nullptr) targets.push_back(s->outputs[i].tensor);
    }
  }
  std::string error;
  std::shared_ptr<GraphExecutable> exe = s->graph->compile(
      GraphDevice(s->device), types, targets, GraphCompilationDescriptor{}, &error);
  bool ok = exe != nullptr && exe->feed_tensors().size() <= kMpsMaxFeeds &&
            exe->target_tensors().size() <= kMpsMaxOutputs;
  std::vector<GraphTensorData> inputs, results;
  if (ok) {
    for (GraphTensor t : exe->feed_tensors()) {
      auto it = s->feeds.find(t);
      ok = ok && it != s->feeds.end();
      if (ok) inputs.push_back(it->second);
    }
    for (GraphTensor t : exe->target_tensors()) {
      auto it = s->results.find(t);
      ok = ok && it != s->results.end();
      if (ok) results.push_back(it->second);
    }
  }
  if (!ok) {
    s->executable_flag = false;
    return false;
  }
  x.executable = std::move(exe);
  x.inputs = std::move(inputs);
  x.results = std::move(results);
  x.descriptor.wait_until_completed = true;
  return true;
}

bool run_gpu(MpsState* s, const float* input, float* output) {
  copy_bytes(s->inputs[0].contents, input, s->input0_bytes);
  std::string error;
  bool ok = false;
  if (s->executable_flag && gpu_executable(s)) {
    MpsGpuExecutable& x = s->gpu_exe;
    ok = x.executable->run(*s->queue, x.inputs, x.results, x.descriptor, &error);
  } else {
    ok = s->graph->run(*s->queue, s->feeds, s->results, &error);
  }
  if (!ok) return false;
  copy_bytes(output, s->output0_contents, s->output0_bytes);
  return true;
}

// Output i's bytes from its Neural Engine result, widened from f16 when the result is f16.
void copy_ne_result(const MpsState* s, uint64_t i, float* dst) {
  const uint32_t r = s->ne.output_result[i];
  if (r == kNoResult || dst == nullptr) return;
  const MpsNeuralEngine::Result& res = s->ne.result_buffers[r];
  const uint64_t elements = s->outputs[i].byte_size / kMpsF32Bytes;
  if (res.type == DeviceDataType::kFloat16) {
    convert_f16_to_f32(reinterpret_cast<const uint16_t*>(res.contents), dst, elements);
  } else {
    copy_bytes(dst, res.contents, elements * kMpsF32Bytes);
  }
}

bool run_ne(MpsState* s, const float* input, float* output) {
  MpsNeuralEngine& ne = s->ne;
  convert_f32_to_f16(input, ne.input_contents, s->input0_bytes / kMpsF32Bytes);
  std::string error;
  if (!ne.executable->run(*s->queue, ne.inputs, ne.results, ne.descriptor, &error)) return false;
  copy_ne_result(s, 0, output);
  if (s->extra_outputs_prepared) {
    if (output != s->output0_contents) copy_ne_result(s, 0, s->output0_contents);
    for (uint64_t i = 1; i < s->output_count; ++i) {
      if (s->outputs[i].buffer != nullptr) copy_ne_result(s, i, s->outputs[i].contents);
    }
  }
  return true;
}

bool yolo_tail(MpsState* s, float* output) {
  cpu::CpuNode node{};
  std::memcpy(node.w, s->yolo_node.words(), sizeof node.w);
  const cpu::YoloNmsParams params = cpu::yolo_nms_params_from_node(node);
  return cpu::yolo_nms(s->detection_head.data(), s->yolo_channels, s->yolo_candidates, params,
                       output);
}

void compile_ne_if_requested(MpsState* s) {
  if (s->ne_requested && !s->ne_compiled && !mps_compile_ne(s)) s->ne_requested = false;
}

}  // namespace

bool mps_execute(MpsState* s, const float* input, float* output) {
  // Pointers may be null only for tensors without elements.
  if (s == nullptr || (input == nullptr && s->input0_bytes != 0) ||
      (output == nullptr && s->output0_bytes != 0)) {
    return false;
  }
  if (s->output_buffers_failed) return false;
  try {
    compile_ne_if_requested(s);
    if (s->ne_requested && s->ne_compiled) return run_ne(s, input, output);
    return run_gpu(s, input, output);
  } catch (const std::exception&) {
    return false;
  }
}

bool mps_run(MpsHandle handle, const float* input, float* output) {
  MpsState* s = state_of(handle);
  if (s == nullptr || (output == nullptr && mps_output_floats(handle, 0) != 0)) return false;
  try {
    compile_ne_if_requested(s);
  } catch (const std::exception&) {
    s->ne_requested = false;
  }
  if (!s->has_yolo) return mps_execute(s, input, output);
  return mps_execute(s, input, s->detection_head.data()) && yolo_tail(s, output);
}

bool mps_run_entry(MpsHandle handle, const float* input, float* output) {
  return mps_run(handle, input, output);
}

bool mps_run_batched(MpsHandle handle, uint64_t samples, const float* input, float* output) {
  MpsState* s = state_of(handle);
  if (s == nullptr || samples == 0 || input == nullptr || output == nullptr) return false;
  if (samples != 1 && s->has_yolo) return false;
  if (samples == s->batch) return mps_run(handle, input, output);
  const uint64_t b = s->batch > 1 ? s->batch : 1;
  const uint64_t in_per = s->input0_bytes / kMpsF32Bytes / b;
  const uint64_t out_per = s->output0_bytes / kMpsF32Bytes / b;
  for (uint64_t done = 0; done < samples; done += b) {
    const uint64_t n = samples - done < b ? samples - done : b;
    const float* in = input + done * in_per;
    float* out = output + done * out_per;
    if (n == b) {
      if (!mps_run(handle, in, out)) return false;
      continue;
    }
    // A last partial execution reads and writes only the caller's n samples: the rest of the
    // execution runs on zeros in the state's own buffers.
    auto* staged_in = reinterpret_cast<float*>(s->inputs[0].contents);
    std::memset(staged_in, 0, s->input0_bytes);
    copy_bytes(staged_in, in, n * in_per * kMpsF32Bytes);
    if (s->has_yolo) {
      if (!mps_run(handle, staged_in, out)) return false;
      continue;
    }
    if (!mps_execute(s, staged_in, s->output0_contents)) return false;
    copy_bytes(out, s->output0_contents, n * out_per * kMpsF32Bytes);
  }
  return true;
}

bool mps_run_samples(MpsHandle handle, uint64_t samples, const float* input, float* output) {
  return mps_run_batched(handle, samples, input, output);
}

uint64_t mps_input_floats(MpsHandle handle, uint64_t samples) {
  MpsState* s = state_of(handle);
  if (s == nullptr) return 0;
  const uint64_t all = s->input0_bytes / kMpsF32Bytes;
  if (samples == 0 || samples == s->batch) return all;
  return samples * (all / (s->batch > 1 ? s->batch : 1));
}

uint64_t mps_output_floats(MpsHandle handle, uint64_t samples) {
  MpsState* s = state_of(handle);
  if (s == nullptr) return 0;
  if (s->has_yolo) return s->yolo_output_floats;
  const uint64_t all = s->output0_bytes / kMpsF32Bytes;
  if (samples == 0 || samples == s->batch) return all;
  return samples * (all / (s->batch > 1 ? s->batch : 1));
}

bool mps_set_input(MpsHandle handle, uint64_t value_id, const void* data, uint64_t bytes) {
  MpsState* s = state_of(handle);
  if (s == nullptr || data == nullptr) return false;
  for (uint64_t k = 0; k < s->input_count; ++k) {
    MpsInput& in = s->inputs[k];
    if (in.value_id != value_id) continue;
    if (bytes > in.byte_size || in.contents == nullptr) return false;
    copy_bytes(in.contents, data, bytes);
    return true;
  }
  return false;
}

bool mps_prepare_output_buffers(MpsHandle handle) {
  MpsState* s = state_of(handle);
  if (s == nullptr) return false;
  bool ok = true;
  for (uint64_t i = 1; i < s->output_count; ++i) {
    MpsOutput& o = s->outputs[i];
    if (!o.tensor.valid() || o.byte_size == 0 || o.buffer != nullptr) continue;
    o.buffer = s->device->new_buffer(std::max(o.byte_size, kMinBufferBytes), StorageMode::kShared);
    if (o.buffer == nullptr) {
      ok = false;
      continue;
    }
    o.contents = static_cast<float*>(o.buffer->contents());
    s->results[o.tensor] =
        GraphTensorData(o.buffer, mps_shape(o.rank, o.dims), DeviceDataType::kFloat32);
  }
  // A run that cannot fill every output fails rather than hand back stale ones.
  s->output_buffers_failed = !ok;
  s->extra_outputs_prepared = true;
  s->gpu_exe = MpsGpuExecutable{};  // its targets change
  try {
    compile_ne_if_requested(s);
  } catch (const std::exception&) {
    s->ne_requested = false;
  }
  return ok;
}

const float* mps_output_pointer(MpsHandle handle, uint64_t i) {
  MpsState* s = state_of(handle);
  if (s == nullptr || i >= s->output_count || i >= kMpsMaxOutputs) return nullptr;
  return i == 0 ? s->output0_contents : s->outputs[i].contents;
}

uint64_t mps_output_byte_size(MpsHandle handle, uint64_t i) {
  MpsState* s = state_of(handle);
  if (mps_output_pointer(handle, i) == nullptr) return 0;
  return i == 0 ? s->output0_bytes : s->outputs[i].byte_size;
}

}  // namespace vexa
