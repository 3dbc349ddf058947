// Resident weight memory of a session: a 16384-byte aligned block that an engine reads its
// weights from, and the parallel loader that fills it from an opened container.
//
// This build has no GPU device, so GPU-visible slots cannot be made: weight_slot_alloc with
// on_gpu fails the way a missing device does, gpu_has_ane() is false and the working-set limit
// is the fixed fallback. Host slots are complete.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/container.h"

namespace vexa {

inline constexpr uint64_t kWeightSlotAlignmentBytes = 16384;
inline constexpr uint64_t kMinLoaderThreads = 1;
inline constexpr uint64_t kMaxLoaderThreads = 16;
inline constexpr uint64_t kGpuContextMaxBytes = uint64_t{64} << 30;
inline constexpr uint64_t kDefaultWorkingSetLimitBytes = uint64_t{4} << 30;

// The device objects that own GPU-visible weight memory (weights buffer, out buffer, command
// queue, pipeline). Never created in this build.
struct GpuContext {
  void* weights_buffer;
  void* out_buffer;
  void* queue;
  void* pipeline;
};

struct WeightSlot {
  uint8_t* data;        // 16384-aligned
  GpuContext* context;  // null for host memory
  uint64_t size;        // a non-zero multiple of 16384
  uint32_t busy;        // atomic: 1 from the start of a load until weight_slot_release
};

struct WeightSlotResult {
  uint32_t tag;  // 0: slot holds the memory; 1: status holds the PackStatus
  WeightSlot slot;
  PackStatus status;

  bool ok() const { return tag == 0; }
};

struct WeightLoadResult {
  bool failed;
  PackStatus status;  // meaningful when failed
};

// Sizes of 0 or not a multiple of 16384 fail with kSlotTooSmall; host memory that cannot be
// had fails with kAllocationFailed; a GPU slot fails with kAllocationFailed when its context
// could not get memory and kBackendFailed otherwise.
WeightSlotResult weight_slot_alloc(uint64_t size, bool on_gpu);

// Frees the slot's memory (through its context when it has one). The record is not cleared.
void buffer_release(WeightSlot* slot);

// Reads every weight of the container into the slot, with the container's f32 expansion plan
// when it has one (stored f16 and Q8 tensors are decoded into f32). The thread count is
// clamped to 1..16. The busy flag is taken for the whole load and stays set on success.
// Failures: kSlotTooSmall, kSlotBusy, kIoFailed (a read, a thread start or join, scratch
// memory), kInvalidTensorRecord (a tensor that does not decode).
WeightLoadResult weights_load(const OpenContainer* container, WeightSlot* slot, uint64_t threads,
                              bool no_cache);

// Marks the slot free again (release order); frees nothing.
void weight_slot_release(WeightSlot* slot);

// True when VEXA_TEST_FAULTS is set and contains `name` (one value may list several names).
bool test_fault_enabled(std::string_view name);

// Creates the device objects owning `size` bytes of GPU-visible memory. code receives 0 on
// success, 7 when memory was the cause and 8 otherwise. Without a device this always fails.
GpuContext* gpu_context_create(uint64_t size, uint32_t* code);
// Null does nothing.
void gpu_context_free(GpuContext* context);

// Whether the device has a Neural Engine (probed through a temporary 16384-byte context).
bool gpu_has_ane();
// The device's recommended working set in bytes; 4 GiB when the device cannot be reached.
uint64_t gpu_working_set_limit();

// Seconds on the same monotonic clock as request timing.
double now_seconds();

}  // namespace vexa
