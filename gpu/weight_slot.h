// Resident weight memory of a session: a 16384-byte aligned block that an engine reads its
// weights from, and the parallel loader that fills it from an opened container. A GPU slot is
// the contents of a shared buffer owned by a GpuContext; a host slot is aligned host memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/container.h"
#include "gpu/gpu_context.h"

namespace vexa {

inline constexpr uint64_t kWeightSlotAlignmentBytes = 16384;
inline constexpr uint64_t kMinLoaderThreads = 1;
inline constexpr uint64_t kMaxLoaderThreads = 16;

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
// could not get memory and kBackendFailed otherwise (also when the weights buffer's contents are
// missing or misaligned).
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

// When the slot has a context: releases the context's weights buffer and clears the slot's data
// pointer (an engine that copied the weights no longer needs them); the rest of the context
// stays until buffer_release. Nothing for a host slot.
void mps_binding_release(WeightSlot* slot);

// The no-cache switch for reads of the weights. Linux has no per-descriptor switch: the advice
// is best effort, and it always reports success so that a load never fails on it.
int set_nocache(int fd, bool on);

// True when the XOR of the first size / 4 words of the slot equals `expected`: on the device for
// a GPU slot, on the host otherwise. False when size passes the slot or the memory is gone. The
// slot must hold the weights as stored (a plain load): see weights_verify_loaded.
bool weights_verify_readback(const WeightSlot* slot, uint64_t size, uint32_t expected);

enum class ReadbackCheck : uint32_t { kMatch = 0, kMismatch = 1, kNotApplicable = 2 };
// Checks a loaded slot against the container header's XOR of the weights region. A slot loaded
// through the container's f32 plan holds widened tensors, not the stored bytes, so there is
// nothing to compare: kNotApplicable.
ReadbackCheck weights_verify_loaded(const OpenContainer* container, const WeightSlot* slot);

// Seconds on the same monotonic clock as request timing.
double now_seconds();

}  // namespace vexa
