#include "gpu/gpu_context.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "gpu/kernels/kernel_library.h"
#include "platform/graph_executable.h"

namespace vexa {

namespace {

constexpr uint64_t kNeuralEngineProbeBytes = 16384;

// The code of the last gpu_probe, for gpu_probe_last_error.
std::atomic<uint32_t> g_last_probe_code{kGpuContextOk};

const std::shared_ptr<DeviceBuffer> kNoBuffer;
const std::shared_ptr<CommandQueue> kNoQueue;

}  // namespace

bool test_fault_enabled(std::string_view name) {
  const char* faults = std::getenv("VEXA_TEST_FAULTS");
  if (faults == nullptr || name.empty()) return false;
  return std::string_view(faults).find(name) != std::string_view::npos;
}

GpuContext* gpu_context_create(uint64_t size, uint32_t* code) {
  uint32_t ignored = 0;
  if (code == nullptr) code = &ignored;
  *code = kGpuContextFailed;
  if (size == 0 || size > kGpuContextMaxBytes) {
    *code = kGpuContextNoMemory;
    return nullptr;
  }
  if (test_fault_enabled("gpu.device")) return nullptr;
  std::shared_ptr<Device> device = device_system_default();
  if (device == nullptr) return nullptr;
  if (test_fault_enabled("gpu.library")) return nullptr;
  std::string error;
  std::shared_ptr<KernelLibrary> library = device->new_library(weights_kernel_source(), {}, &error);
  if (library == nullptr) return nullptr;
  std::shared_ptr<KernelFunction> function = library->new_function("touch_all", &error);
  if (function == nullptr) return nullptr;
  if (test_fault_enabled("gpu.pipeline")) return nullptr;
  std::shared_ptr<ComputePipeline> pipeline = device->new_compute_pipeline(function, &error);
  if (pipeline == nullptr) return nullptr;

  GpuContext* context =
      test_fault_enabled("gpu.host_allocation") ? nullptr : new (std::nothrow) GpuContext{};
  if (context == nullptr) {
    *code = kGpuContextNoMemory;
    return nullptr;  // the pipeline goes with its last reference
  }
  context->touch_all = std::move(pipeline);
  if (!test_fault_enabled("gpu.queue")) context->queue = device->new_command_queue();
  if (!test_fault_enabled("gpu.weights")) {
    context->weights = device->new_buffer(size, StorageMode::kShared);
  }
  context->out = device->new_buffer(kChecksumOutBytes, StorageMode::kShared);
  if (context->weights == nullptr || context->out == nullptr) {
    *code = kGpuContextNoMemory;
    gpu_context_free(context);
    return nullptr;
  }
  if (context->queue == nullptr) {
    gpu_context_free(context);
    return nullptr;
  }
  *code = kGpuContextOk;
  return context;
}

void gpu_context_free(GpuContext* context) {
  if (context == nullptr) return;
  gpu_object_release(&context->weights);
  gpu_object_release(&context->out);
  gpu_object_release(&context->queue);
  gpu_object_release(&context->touch_all);
  delete context;
}

void gpu_context_destroy(GpuContext* context) { gpu_context_free(context); }

void* gpu_context_weights_contents(const GpuContext* context) {
  if (context == nullptr || context->weights == nullptr) return nullptr;
  return context->weights->contents();
}

const std::shared_ptr<DeviceBuffer>& gpu_context_weights(const GpuContext* context) {
  return context == nullptr ? kNoBuffer : context->weights;
}

const std::shared_ptr<CommandQueue>& gpu_context_queue(const GpuContext* context) {
  return context == nullptr ? kNoQueue : context->queue;
}

const std::shared_ptr<DeviceBuffer>& graph_context_weights(const GpuContext* context) {
  return gpu_context_weights(context);
}

const std::shared_ptr<CommandQueue>& graph_context_queue(const GpuContext* context) {
  return gpu_context_queue(context);
}

GpuContext* gpu_probe(uint64_t size) {
  uint32_t code = kGpuContextFailed;
  GpuContext* context = gpu_context_create(size, &code);
  g_last_probe_code.store(code, std::memory_order_relaxed);
  return context;
}

uint32_t gpu_probe_last_error() { return g_last_probe_code.load(std::memory_order_relaxed); }

bool gpu_weights_checksum(const GpuContext* context, uint64_t size, uint32_t* out) {
  if (context == nullptr || out == nullptr || context->weights == nullptr ||
      context->out == nullptr || context->queue == nullptr || context->touch_all == nullptr) {
    return false;
  }
  std::shared_ptr<CommandBuffer> cb = context->queue->command_buffer();
  if (cb == nullptr) return false;
  std::shared_ptr<ComputeEncoder> enc = cb->compute_encoder();
  if (enc == nullptr) return false;
  const uint64_t count = size / 4;  // a trailing partial word is ignored
  enc->set_pipeline(context->touch_all);
  enc->set_buffer(context->weights, 0, 0);
  enc->set_buffer(context->out, 0, 1);
  enc->set_bytes(&count, sizeof count, 2);
  enc->dispatch_threads({kChecksumThreads, 1, 1}, {kChecksumThreadsPerGroup, 1, 1});
  enc->end_encoding();
  cb->commit();
  cb->wait_until_completed();
  const auto* words = static_cast<const uint32_t*>(context->out->contents());
  if (cb->status() != CommandBufferStatus::kCompleted || words == nullptr) return false;
  uint32_t x = 0;
  for (uint64_t i = 0; i < kChecksumThreads; ++i) x ^= words[i];
  *out = x;
  return true;
}

bool gpu_has_ane() {
  uint32_t code = kGpuContextFailed;
  GpuContext* probe = gpu_context_create(kNeuralEngineProbeBytes, &code);
  if (probe == nullptr) return false;
  const bool has_ane = probe->weights != nullptr &&
                       GraphDevice(probe->weights->device()).descriptor().has_ane;
  gpu_context_free(probe);
  return has_ane;
}

uint64_t gpu_working_set_limit() {
  // Asked through a temporary context, like the Neural Engine query, so a device that cannot
  // be reached (or a faulted one) gives the fixed fallback rather than a figure nobody can use.
  uint32_t code = kGpuContextFailed;
  GpuContext* probe = gpu_context_create(kNeuralEngineProbeBytes, &code);
  if (probe == nullptr) return kDefaultWorkingSetLimitBytes;
  const uint64_t limit =
      probe->weights != nullptr ? probe->weights->device()->recommended_max_working_set_size() : 0;
  gpu_context_free(probe);
  return limit == 0 ? kDefaultWorkingSetLimitBytes : limit;
}

}  // namespace vexa
