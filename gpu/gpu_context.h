// The device objects behind GPU-resident weights: a context owns the weights buffer, a small
// out buffer for the read-back checksum, a command queue and the checksum kernel's pipeline.
// Creation can be made to fail at each step with VEXA_TEST_FAULTS, so every failure path runs in
// tests: "gpu.device", "gpu.library", "gpu.pipeline", "gpu.host_allocation", "gpu.queue",
// "gpu.weights" (one value may list several).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/software_device.h"

namespace vexa {

inline constexpr uint64_t kGpuContextMaxBytes = uint64_t{64} << 30;
inline constexpr uint64_t kDefaultWorkingSetLimitBytes = uint64_t{4} << 30;
// The checksum runs this many threads, each folding every 32768th word into its out word.
inline constexpr uint64_t kChecksumThreads = 32768;
inline constexpr uint64_t kChecksumThreadsPerGroup = 256;
inline constexpr uint64_t kChecksumOutBytes = kChecksumThreads * 4;

// Context creation codes.
inline constexpr uint32_t kGpuContextOk = 0;
inline constexpr uint32_t kGpuContextNoMemory = 7;
inline constexpr uint32_t kGpuContextFailed = 8;

// Four owned references, released in this order. The device is not kept: it is the weights
// buffer's.
struct GpuContext {
  std::shared_ptr<DeviceBuffer> weights;  // shared storage, exactly the requested size
  std::shared_ptr<DeviceBuffer> out;      // kChecksumOutBytes
  std::shared_ptr<CommandQueue> queue;
  std::shared_ptr<ComputePipeline> touch_all;
};

// True when VEXA_TEST_FAULTS is set and contains `name` (one value may list several names).
bool test_fault_enabled(std::string_view name);

// A context whose weights buffer holds `size` bytes; null on failure with *code 7 when memory
// was the cause (a size of 0 or above 64 GiB, the record, a buffer) and 8 otherwise. Nothing is
// left allocated on failure.
GpuContext* gpu_context_create(uint64_t size, uint32_t* code);
// Releases the four references in record order and frees the record; null does nothing.
void gpu_context_free(GpuContext* context);
void gpu_context_destroy(GpuContext* context);

// Releases *ref and clears it; nothing for null.
template <typename T>
void gpu_object_release(std::shared_ptr<T>* ref) {
  if (ref != nullptr) ref->reset();
}

// Host address of the weights buffer (null when it was released or there is no context).
void* gpu_context_weights_contents(const GpuContext* context);
const std::shared_ptr<DeviceBuffer>& gpu_context_weights(const GpuContext* context);
const std::shared_ptr<CommandQueue>& gpu_context_queue(const GpuContext* context);
// The same two, under the names the generative graph executor uses.
const std::shared_ptr<DeviceBuffer>& graph_context_weights(const GpuContext* context);
const std::shared_ptr<CommandQueue>& graph_context_queue(const GpuContext* context);

// gpu_context_create that also records its code for gpu_probe_last_error.
GpuContext* gpu_probe(uint64_t size);
uint32_t gpu_probe_last_error();

// XOR of the first size / 4 little-endian u32 words of the weights buffer, computed by the
// touch_all kernel on the context's queue. False without a context or weights buffer, when size
// passes the buffer, or when the command buffer does not complete.
bool gpu_weights_checksum(const GpuContext* context, uint64_t size, uint32_t* out);

// Whether the device has a Neural Engine, as the graph library's device descriptor reports it
// (none here, unless a test says otherwise).
bool gpu_has_ane();
// The device's recommended working set in bytes; 4 GiB when it reports 0.
uint64_t gpu_working_set_limit();

}  // namespace vexa
