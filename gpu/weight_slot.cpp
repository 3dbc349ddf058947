#include "gpu/weight_slot.h"

#include <fcntl.h>
#include <pthread.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/atomics.h"
#include "core/clock.h"
#include "core/container_digest.h"
#include "core/weight_decode.h"

namespace vexa {

namespace {

constexpr uint32_t kWorkerOk = 0;
constexpr uint32_t kWorkerReadFailed = 1;
constexpr uint32_t kWorkerDecodeFailed = 2;
constexpr uint32_t kWorkerBadStep = 3;
constexpr uint64_t kF32Bytes = 4;

WeightSlotResult slot_error(PackStatus status) {
  WeightSlotResult r{};
  r.tag = 1;
  r.status = status;
  return r;
}

WeightLoadResult load_error(PackStatus status) { return WeightLoadResult{true, status}; }

// True when [offset, offset + length) lies inside `size` bytes.
bool inside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

struct LoadWork {
  const OpenContainer* container;
  uint8_t* slot_data;
  uint64_t slot_size;
  uint64_t item_count;  // load groups (plain) or plan entries (decode)
  uint64_t worker;
  uint64_t worker_count;
  uint32_t status;
};

// Plain mode: one positioned read per load group, round-robin over the workers.
void run_plain_worker(LoadWork* w) {
  const OpenContainer* c = w->container;
  for (uint64_t j = w->worker; j < w->item_count; j += w->worker_count) {
    const LoadStep step =
        load_record<LoadStep>(c->image + container_entry_offset(c, kSectionLoadSteps, j));
    if (!inside(step.relative_offset, step.size, w->slot_size)) {
      w->status = kWorkerBadStep;
      return;
    }
    if (!read_fully_at(c->fd, w->slot_data + step.relative_offset, step.size,
                       c->base_offset + step.absolute_offset)) {
      w->status = kWorkerReadFailed;
      return;
    }
  }
}

// Bytes of the f32 copy of a plan entry, false when it overflows.
bool plan_f32_bytes(const F32Plan& e, uint64_t* bytes) {
  if (e.row_length != 0 && e.rows > UINT64_MAX / e.row_length) return false;
  const uint64_t count = e.rows * e.row_length;
  if (count > UINT64_MAX / kF32Bytes) return false;
  *bytes = count * kF32Bytes;
  return true;
}

// Decode mode: f32 tensors are read in place; the others go through one scratch buffer per
// worker, sized for its largest stored non-f32 tensor.
void run_decode_worker(LoadWork* w) {
  const OpenContainer* c = w->container;
  const F32Plan* plan = c->plan;
  uint64_t scratch_size = 1;
  for (uint64_t j = w->worker; j < w->item_count; j += w->worker_count) {
    if (plan[j].stored_dtype != 2 && plan[j].stored_size > scratch_size) {
      scratch_size = plan[j].stored_size;
    }
  }
  uint8_t* scratch = static_cast<uint8_t*>(std::malloc(scratch_size));
  if (scratch == nullptr) {
    w->status = kWorkerReadFailed;
    return;
  }
  for (uint64_t j = w->worker; j < w->item_count; j += w->worker_count) {
    const F32Plan& e = plan[j];
    uint64_t f32_bytes = 0;
    const uint64_t dest_bytes = e.stored_dtype == 2 ? e.stored_size : 0;
    if (!plan_f32_bytes(e, &f32_bytes) ||
        !inside(e.f32_offset, dest_bytes > f32_bytes ? dest_bytes : f32_bytes, w->slot_size)) {
      w->status = kWorkerBadStep;
      break;
    }
    uint8_t* dest = w->slot_data + e.f32_offset;
    if (e.stored_dtype == 2) {
      if (!read_fully_at(c->fd, dest, e.stored_size, c->base_offset + e.source_offset)) {
        w->status = kWorkerReadFailed;
        break;
      }
      continue;
    }
    if (!read_fully_at(c->fd, scratch, e.stored_size, c->base_offset + e.source_offset)) {
      w->status = kWorkerReadFailed;
      break;
    }
    // The destination is 4-byte aligned: the slot is 16384-aligned and plan offsets are
    // multiples of the f32 size.
    if (e.f32_offset % kF32Bytes != 0 ||
        !weights_decode_f32(e.stored_dtype, e.rows, e.row_length, scratch,
                            reinterpret_cast<float*>(dest))) {
      w->status = kWorkerDecodeFailed;
      break;
    }
  }
  std::free(scratch);
}

struct WorkerArgs {
  LoadWork* work;
  bool decode;
};

void run_worker(LoadWork* w, bool decode) {
  if (decode) {
    run_decode_worker(w);
  } else {
    run_plain_worker(w);
  }
}

void* worker_entry(void* arg) {
  auto* a = static_cast<WorkerArgs*>(arg);
  run_worker(a->work, a->decode);
  return nullptr;
}

}  // namespace

WeightSlotResult weight_slot_alloc(uint64_t size, bool on_gpu) {
  if (size == 0 || size % kWeightSlotAlignmentBytes != 0) return slot_error(PackStatus::kSlotTooSmall);
  if (on_gpu) {
    uint32_t code = kGpuContextFailed;
    GpuContext* context = gpu_context_create(size, &code);
    if (context == nullptr) {
      return slot_error(code == kGpuContextNoMemory ? PackStatus::kAllocationFailed
                                                    : PackStatus::kBackendFailed);
    }
    auto* contents = static_cast<uint8_t*>(gpu_context_weights_contents(context));
    if (contents == nullptr || reinterpret_cast<uintptr_t>(contents) % kWeightSlotAlignmentBytes != 0) {
      gpu_context_free(context);
      return slot_error(PackStatus::kBackendFailed);
    }
    WeightSlotResult r{};
    r.tag = 0;
    r.slot = WeightSlot{contents, context, size, 0};
    return r;
  }
  void* memory = nullptr;
  if (posix_memalign(&memory, kWeightSlotAlignmentBytes, size) != 0 || memory == nullptr) {
    return slot_error(PackStatus::kAllocationFailed);
  }
  WeightSlotResult r{};
  r.tag = 0;
  r.slot = WeightSlot{static_cast<uint8_t*>(memory), nullptr, size, 0};
  return r;
}

void buffer_release(WeightSlot* slot) {
  if (slot == nullptr) return;
  if (slot->context != nullptr) {
    gpu_context_free(slot->context);
  } else {
    std::free(slot->data);
  }
}

WeightLoadResult weights_load(const OpenContainer* container, WeightSlot* slot, uint64_t threads,
                              bool no_cache) {
  if (container == nullptr || slot == nullptr || slot->data == nullptr) {
    return load_error(PackStatus::kSlotTooSmall);
  }
  if (slot->size < container->weights_data_size) return load_error(PackStatus::kSlotTooSmall);
  if (threads < kMinLoaderThreads) threads = kMinLoaderThreads;
  if (threads > kMaxLoaderThreads) threads = kMaxLoaderThreads;
  if (atomic_cas_u32(&slot->busy, 0, 1, kOrderAcquire) != 0) return load_error(PackStatus::kSlotBusy);
  auto fail = [slot](PackStatus status) {
    atomic_store_u32(&slot->busy, 0, kOrderRelease);
    return load_error(status);
  };
  if (set_nocache(container->fd, no_cache) != 0) return fail(PackStatus::kIoFailed);

  const bool decode = container->plan != nullptr && container->plan_count != 0;
  const uint64_t items =
      decode ? container->plan_count : container_section_count(container, kSectionGroups);
  const uint64_t n = threads;
  LoadWork work[kMaxLoaderThreads];
  WorkerArgs args[kMaxLoaderThreads];
  pthread_t handles[kMaxLoaderThreads];
  for (uint64_t i = 0; i < n; ++i) {
    work[i] = LoadWork{container, slot->data, slot->size, items, i, n, kWorkerOk};
    args[i] = WorkerArgs{&work[i], decode};
  }
  uint64_t started = 1;
  bool start_failed = false;
  for (uint64_t i = 1; i < n; ++i) {
    if (pthread_create(&handles[i], nullptr, worker_entry, &args[i]) != 0) {
      start_failed = true;
      break;
    }
    ++started;
  }
  if (!start_failed) run_worker(&work[0], decode);
  bool join_failed = false;
  for (uint64_t i = 1; i < started; ++i) {
    if (pthread_join(handles[i], nullptr) != 0) join_failed = true;
  }
  if (start_failed || join_failed) return fail(PackStatus::kIoFailed);

  for (uint64_t i = 0; i < n; ++i) {
    switch (work[i].status) {
      case kWorkerOk: continue;
      // A tensor that does not decode is a fault of the file, not of the device.
      case kWorkerDecodeFailed: return fail(PackStatus::kInvalidTensorRecord);
      case kWorkerBadStep: return fail(PackStatus::kInvalidLoadPlan);
      default: return fail(PackStatus::kIoFailed);
    }
  }
  return WeightLoadResult{false, PackStatus::kIoFailed};
}

void weight_slot_release(WeightSlot* slot) {
  if (slot == nullptr) return;
  atomic_store_u32(&slot->busy, 0, kOrderRelease);
}

void mps_binding_release(WeightSlot* slot) {
  if (slot == nullptr || slot->context == nullptr) return;
  gpu_object_release(&slot->context->weights);
  slot->data = nullptr;
}

int set_nocache(int fd, bool on) {
  (void)posix_fadvise(fd, 0, 0, on ? POSIX_FADV_DONTNEED : POSIX_FADV_NORMAL);
  return 0;
}

bool weights_verify_readback(const WeightSlot* slot, uint64_t size, uint32_t expected) {
  if (slot == nullptr || slot->data == nullptr || size > slot->size) return false;
  if (slot->context == nullptr) return xor_fold32(slot->data, size) == expected;
  uint32_t sum = 0;
  return gpu_weights_checksum(slot->context, size, &sum) && sum == expected;
}

ReadbackCheck weights_verify_loaded(const OpenContainer* container, const WeightSlot* slot) {
  if (container == nullptr || container->image == nullptr ||
      container->image_size < kHeaderWeightsFoldOffset + 4) {
    return ReadbackCheck::kMismatch;
  }
  if (container->plan != nullptr && container->plan_count != 0) return ReadbackCheck::kNotApplicable;
  uint32_t expected;
  std::memcpy(&expected, container->image + kHeaderWeightsFoldOffset, sizeof expected);
  const uint64_t size = container_read_u64(container->image, offsetof(ContainerHeader, weights_size));
  return weights_verify_readback(slot, size, expected) ? ReadbackCheck::kMatch
                                                       : ReadbackCheck::kMismatch;
}

double now_seconds() { return monotonic_seconds(); }

}  // namespace vexa
