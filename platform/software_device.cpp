// The software device: the device itself, its buffers, and compiled libraries and pipelines.
#include "platform/software_device.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vexa {

namespace {

constexpr std::string_view kDeviceName = "vexa software device";
constexpr std::string_view kActivationMacro = "VEXA_FLOAT";
// Buffers from this size on are mapped from the kernel: their pages arrive zeroed and only when
// touched, so a multi-gigabyte weight buffer costs nothing until the loader writes it, and the
// memory goes back to the system when the buffer dies.
constexpr uint64_t kMappedBufferMinBytes = uint64_t{1} << 20;
constexpr uint64_t kFallbackPhysicalBytes = uint64_t{8} << 30;
// Buffers from this size on start on a huge-page boundary and ask for huge pages: weights
// stream through the kernels once per token, and 4 KiB pages cost a TLB miss every 4 KiB.
constexpr uint64_t kHugePageBytes = uint64_t{2} << 20;

uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return kFallbackPhysicalBytes;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

uint64_t round_up(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }

// Zeroed memory of `length` bytes aligned to `alignment`, mapped when large; *mapped receives
// the mapped byte count (0 for heap memory).
uint8_t* allocate_zeroed(uint64_t length, uint64_t alignment, uint64_t* mapped) {
  *mapped = 0;
  if (length >= kMappedBufferMinBytes) {
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const bool huge = length >= kHugePageBytes;
    if (huge) alignment = std::max(alignment, kHugePageBytes);
    const uint64_t body = round_up(length, page);
    const uint64_t span = body + alignment;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = round_up(start, alignment);
    if (aligned > start) munmap(p, aligned - start);
    const uintptr_t tail = aligned + body;
    if (start + span > tail) munmap(reinterpret_cast<void*>(tail), start + span - tail);
    *mapped = body;
    // Advice only: without transparent huge pages the buffer keeps small pages.
    if (huge) (void)madvise(reinterpret_cast<void*>(aligned), body, MADV_HUGEPAGE);
    return reinterpret_cast<uint8_t*>(aligned);
  }
  void* p = nullptr;
  if (posix_memalign(&p, alignment, round_up(length, alignment)) != 0) return nullptr;
  std::memset(p, 0, length);
  return static_cast<uint8_t*>(p);
}

}  // namespace

// ---- KernelDispatch ------------------------------------------------------------------------

void KernelDispatch::fail(std::string_view message) {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (failed_.load(std::memory_order_relaxed)) return;
  failure_.assign(message);
  failed_.store(true, std::memory_order_relaxed);
}

// ---- Device --------------------------------------------------------------------------------

Device::Device() : physical_bytes_(physical_memory_bytes()) {}

std::shared_ptr<Device> device_system_default() {
  static const std::shared_ptr<Device> device(new Device());
  return device;
}

std::string_view Device::name() const { return kDeviceName; }

uint64_t Device::recommended_max_working_set_size() const { return physical_bytes_ / 4 * 3; }

uint64_t Device::current_allocated_size() const {
  return allocated_.load(std::memory_order_relaxed);
}

uint64_t Device::max_buffer_length() const { return physical_bytes_; }

void Device::note_release(uint64_t length) {
  allocated_.fetch_sub(length, std::memory_order_relaxed);
}

std::shared_ptr<DeviceBuffer> Device::new_buffer(uint64_t length, StorageMode mode) {
  if (length == 0 || length > max_buffer_length()) return nullptr;
  if (mode != StorageMode::kShared && mode != StorageMode::kPrivate) return nullptr;
  const uint64_t alignment =
      length >= kDeviceLargeAlignmentBytes ? kDeviceLargeAlignmentBytes : kDeviceSmallAlignmentBytes;
  uint64_t mapped = 0;
  uint8_t* memory = allocate_zeroed(length, alignment, &mapped);
  if (memory == nullptr) return nullptr;
  DeviceBuffer* raw = new (std::nothrow) DeviceBuffer(shared_from_this(), memory, length, mapped, mode);
  if (raw == nullptr) {
    if (mapped != 0) {
      munmap(memory, mapped);
    } else {
      std::free(memory);
    }
    return nullptr;
  }
  // Counted before the owner exists: a failed owner deletes the buffer, which uncounts it.
  allocated_.fetch_add(length, std::memory_order_relaxed);
  try {
    return std::shared_ptr<DeviceBuffer>(raw);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<CommandQueue> Device::new_command_queue() {
  return std::shared_ptr<CommandQueue>(new CommandQueue(shared_from_this()));
}

std::shared_ptr<KernelLibrary> Device::new_library(const KernelSource& source,
                                                   const CompileOptions& options,
                                                   std::string* error) {
  if (source.entries == nullptr || source.count == 0) {
    if (error != nullptr) *error = "kernel source holds no function";
    return nullptr;
  }
  // As in shader source, an absent macro reads as 0.
  bool float_activations = false;
  for (const auto& [name, value] : options.macros) {
    if (name == kActivationMacro) float_activations = value != 0;
  }
  return std::shared_ptr<KernelLibrary>(new KernelLibrary(source, float_activations));
}

std::shared_ptr<ComputePipeline> Device::new_compute_pipeline(
    const std::shared_ptr<KernelFunction>& function, std::string* error) {
  if (function == nullptr || function->fn() == nullptr) {
    if (error != nullptr) *error = "no function to build a compute pipeline from";
    return nullptr;
  }
  return std::shared_ptr<ComputePipeline>(
      new ComputePipeline(std::string(function->name()), function->fn()));
}

// ---- DeviceBuffer --------------------------------------------------------------------------

DeviceBuffer::DeviceBuffer(std::shared_ptr<Device> device, uint8_t* memory, uint64_t length,
                           uint64_t mapped, StorageMode mode)
    : device_(std::move(device)), memory_(memory), length_(length), mapped_(mapped), mode_(mode) {}

DeviceBuffer::~DeviceBuffer() {
  if (mapped_ != 0) {
    munmap(memory_, mapped_);
  } else {
    std::free(memory_);
  }
  device_->note_release(length_);
}

// ---- KernelLibrary -------------------------------------------------------------------------

std::shared_ptr<KernelFunction> KernelLibrary::new_function(std::string_view name,
                                                            std::string* error) const {
  for (uint64_t i = 0; i < source_.count; ++i) {
    const KernelEntry& e = source_.entries[i];
    if (e.name != nullptr && name == e.name) {
      KernelFn fn = float_ ? e.float_fn : e.half_fn;
      if (fn == nullptr) break;
      return std::shared_ptr<KernelFunction>(new KernelFunction(std::string(name), fn));
    }
  }
  if (error != nullptr) {
    *error = "function '" + std::string(name) + "' is not in library '" +
             std::string(source_.name == nullptr ? "" : source_.name) + "'";
  }
  return nullptr;
}

}  // namespace vexa
