// The software device: a compute device that runs on the CPU, with the object model of a GPU
// programming interface, so that GPU backends run unchanged on machines without one.
//
//   auto device = device_system_default();
//   auto library = device->new_library(source, {{{"VEXA_FLOAT", 0}}}, &error);
//   auto pipeline = device->new_compute_pipeline(library->new_function("matvec", &error), &error);
//   auto queue = device->new_command_queue();
//   auto weights = device->new_buffer(bytes, StorageMode::kShared);   // contents() is host memory
//   auto cb = queue->command_buffer();
//   auto enc = cb->compute_encoder();
//   enc->set_pipeline(pipeline);
//   enc->set_buffer(x, 0, 0); enc->set_buffer(weights, offset, 1); enc->set_buffer(y, 0, 2);
//   enc->set_bytes(&params, 80, 3);
//   enc->dispatch_threads({n * 32, 1, 1}, {128, 1, 1});
//   enc->end_encoding();
//   cb->commit(); cb->wait_until_completed();
//   if (cb->status() != CommandBufferStatus::kCompleted) report(cb->error_message());
//
// Objects are reference counted (std::shared_ptr) the way the platform retains its objects: a
// command buffer keeps every buffer and pipeline bound into it alive until its work has run.
//
// Execution. commit() runs the encoded commands in encoding order on the calling thread before
// it returns (command buffers of one queue one at a time, in commit order); kernels fan out on
// the process thread pool in splits fixed by the dispatch (kernel_parallel_for), so results
// never depend on the thread count or on timing. wait_until_completed() therefore returns at
// once; it is kept so callers read like code for an asynchronous device.
//
// Failures never abort the process and never touch memory outside a buffer: an encoding
// mistake (no pipeline, a bad thread-group size, an offset past a buffer, a copy out of range,
// committing with an encoder still open), a kernel that reports bad input, a host work item that
// returns false, or an exception (std::bad_alloc included) ends the command buffer in status
// kError with a message; the commands after it do not run.
//
// Kernels. A library is compiled from a KernelSource, a table of kernels by name with a half
// and a float instantiation each; the macro VEXA_FLOAT picks one (0 or absent: half, any other
// value: float), as the preprocessor would pick between the two in shader source. A kernel is a
// C++ function that receives the whole dispatch (grid, thread-group size, bindings) and covers
// it, normally through kernel_parallel_for.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/thread_pool.h"

namespace vexa {

class Device;
class DeviceBuffer;
class CommandQueue;
class CommandBuffer;
class ComputeEncoder;
class BlitEncoder;
class KernelLibrary;
class KernelFunction;
class ComputePipeline;
class KernelDispatch;

// Where a buffer's memory lives. Shared buffers are host memory the CPU reads and writes through
// contents(); private buffers belong to the device (contents() is null), as on a discrete GPU.
enum class StorageMode : uint32_t { kShared = 0, kPrivate = 2 };

// Command buffer states, numbered as the platform numbers them.
enum class CommandBufferStatus : uint32_t {
  kNotEnqueued = 0,
  kEnqueued = 1,
  kCommitted = 2,
  kScheduled = 3,
  kCompleted = 4,
  kError = 5,
};

struct Size3 {
  uint64_t x = 1, y = 1, z = 1;
};

// Binding slots of a compute encoder, as on the platform.
inline constexpr uint32_t kDeviceBindingSlots = 31;
// Largest inline byte block (set_bytes), as on the platform.
inline constexpr uint64_t kDeviceInlineBytesMax = 4096;
// Largest thread group a pipeline accepts, and the lane count of one SIMD group.
inline constexpr uint64_t kDeviceMaxThreadsPerGroup = 1024;
inline constexpr uint64_t kDeviceSimdWidth = 32;
// Buffers of at least this many bytes start on a 16384-byte boundary (whole weight slots);
// smaller ones on a 256-byte boundary.
inline constexpr uint64_t kDeviceLargeAlignmentBytes = 16384;
inline constexpr uint64_t kDeviceSmallAlignmentBytes = 256;

// ---- kernels -------------------------------------------------------------------------------

using KernelFn = void (*)(KernelDispatch& dispatch);

struct KernelEntry {
  const char* name;
  KernelFn half_fn;   // VEXA_FLOAT = 0
  KernelFn float_fn;  // VEXA_FLOAT != 0
};

// What a library is compiled from: the kernels of one program, by name.
struct KernelSource {
  const char* name;
  const KernelEntry* entries;
  uint64_t count;
};

struct CompileOptions {
  std::vector<std::pair<std::string, int64_t>> macros;
  // Accepted for the platform's sake; the kernels never reassociate or contract either way.
  bool fast_math = true;
};

// One binding as a kernel sees it: the bytes from the bound offset to the end of the buffer (or
// the inline bytes). data is null when nothing is bound at that index.
struct KernelBinding {
  uint8_t* data = nullptr;
  uint64_t length = 0;
};

// The view a kernel has of its dispatch. Kernels check that every byte they will touch lies in
// its binding and call fail() instead of reading or writing past it.
class KernelDispatch {
 public:
  Size3 grid_threads;       // threads in the grid (groups x group size for group dispatches)
  Size3 threadgroups;       // thread groups in the grid
  Size3 threads_per_group;  // as dispatched
  bool by_threadgroups = false;

  KernelBinding binding(uint32_t index) const {
    return index < kDeviceBindingSlots ? bindings_[index] : KernelBinding{};
  }
  // Any thread may call it; the first message is the command buffer's error.
  void fail(std::string_view message);
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // Used by the command buffer that runs the dispatch.
  void set_binding(uint32_t index, KernelBinding b) { bindings_[index] = b; }
  const std::string& failure() const { return failure_; }

 private:
  KernelBinding bindings_[kDeviceBindingSlots];
  std::atomic<bool> failed_{false};
  std::mutex failure_mutex_;
  std::string failure_;
};

// Runs body(begin, end) over [0, units) in ceil(units / units_per_task) tasks on the thread
// pool. The split depends on the arguments only, so a kernel whose tasks write disjoint outputs
// gives the same bytes on any number of threads. units_per_task 0 counts as 1.
//
// Which thread runs a task is not fixed. The tasks are dealt out as one contiguous run per
// participating thread, which works through its run in order, so that each thread streams one
// sequential stretch of memory; a thread that has finished its run takes tasks from the front
// of the others', one at a time, so a thread that runs slowly (on a shared machine, one that lost
// its core for a while) holds up at most the task it is in. A body that throws stops the
// handing out of tasks; the exception reaches the caller.
template <typename Body>
void kernel_parallel_for(uint64_t units, uint64_t units_per_task, Body&& body) {
  if (units == 0) return;
  const uint64_t per = units_per_task == 0 ? 1 : units_per_task;
  const uint64_t tasks = units / per + (units % per != 0);
  auto run_task = [&](uint64_t t) {
    const uint64_t begin = t * per;
    const uint64_t end = units - begin < per ? units : begin + per;
    body(begin, end);
  };
  const unsigned budget = tasks == 1 ? 1 : parallel_thread_budget();
  if (budget <= 1) {
    for (uint64_t t = 0; t < tasks; ++t) run_task(t);
    return;
  }
  // Run i is tasks [tasks i / runs, tasks (i + 1) / runs); next[i].task is its next task. Each
  // counter has a line of its own: with all in one line every task taken by any thread pulled
  // that line from the others, and a decode-sized product of 42 tasks of 0.3 us took 9.6-10.0 us
  // at 8 threads against 7.2-7.8 us with a line per counter (medians of 20,000, shared 8-core
  // Zen 4), though 8 trivial tasks took 1.5 us against 1.3 (the caller writes 8 lines, not 1).
  const size_t runs = static_cast<size_t>(tasks < budget ? tasks : budget);
  auto run_start = [&](size_t i) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(tasks) * i / runs);
  };
  struct alignas(64) RunCounter {
    std::atomic<uint64_t> task;
  };
  RunCounter next[kMaxParallelThreads];
  for (size_t i = 0; i < runs; ++i) next[i].task.store(run_start(i), std::memory_order_relaxed);
  std::atomic<bool> stop{false};
  parallel_team(static_cast<unsigned>(runs), [&](size_t member) {
    // A worker numbered past the runs (a cap below the pool size) starts on one taken already.
    const size_t own = member % runs;
    for (size_t k = 0; k < runs; ++k) {
      const size_t i = (own + k) % runs;
      const uint64_t end = run_start(i + 1);
      while (!stop.load(std::memory_order_relaxed)) {
        // Looked at before taking: threads that finish together probe every run, and a read
        // leaves the line shared where an increment would pull it from core to core each time.
        if (next[i].task.load(std::memory_order_relaxed) >= end) break;
        const uint64_t t = next[i].task.fetch_add(1, std::memory_order_relaxed);
        if (t >= end) break;
        try {
          run_task(t);
        } catch (...) {
          stop.store(true, std::memory_order_relaxed);
          throw;
        }
      }
    }
  });
}

// ---- device and buffers --------------------------------------------------------------------

class Device : public std::enable_shared_from_this<Device> {
 public:
  // "vexa software device".
  std::string_view name() const;
  // Three quarters of physical memory.
  uint64_t recommended_max_working_set_size() const;
  // Bytes in live buffers.
  uint64_t current_allocated_size() const;
  // Largest buffer new_buffer makes: physical memory.
  uint64_t max_buffer_length() const;

  // A zero-filled buffer; null for length 0, a length above max_buffer_length(), or when the
  // memory cannot be had.
  std::shared_ptr<DeviceBuffer> new_buffer(uint64_t length, StorageMode mode);
  std::shared_ptr<CommandQueue> new_command_queue();
  // Null with *error set when the source holds no kernel.
  std::shared_ptr<KernelLibrary> new_library(const KernelSource& source,
                                             const CompileOptions& options, std::string* error);
  // Null with *error set for a null function.
  std::shared_ptr<ComputePipeline> new_compute_pipeline(
      const std::shared_ptr<KernelFunction>& function, std::string* error);

  // Used by DeviceBuffer.
  void note_release(uint64_t length);

 private:
  friend std::shared_ptr<Device> device_system_default();
  Device();
  uint64_t physical_bytes_ = 0;
  std::atomic<uint64_t> allocated_{0};
};

// The one device of the process, created on first use.
std::shared_ptr<Device> device_system_default();

class DeviceBuffer {
 public:
  ~DeviceBuffer();
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  uint64_t length() const { return length_; }
  StorageMode storage_mode() const { return mode_; }
  // Host address of a shared buffer; null for a private one.
  void* contents() const { return mode_ == StorageMode::kShared ? memory_ : nullptr; }
  // The memory device work reads and writes, in either mode: for kernels and for host work
  // items that stand in for device libraries. Host code outside the device must not use it on a
  // private buffer.
  uint8_t* device_bytes() const { return memory_; }
  const std::shared_ptr<Device>& device() const { return device_; }

 private:
  friend class Device;
  DeviceBuffer(std::shared_ptr<Device> device, uint8_t* memory, uint64_t length,
               uint64_t mapped, StorageMode mode);
  std::shared_ptr<Device> device_;
  uint8_t* memory_;
  uint64_t length_;
  uint64_t mapped_;  // bytes mapped for large buffers; 0 when the memory came from the heap
  StorageMode mode_;
};

// ---- library and pipelines -----------------------------------------------------------------

class KernelLibrary {
 public:
  // Null with *error set (when error is given) for a name the library does not hold.
  std::shared_ptr<KernelFunction> new_function(std::string_view name, std::string* error) const;
  bool float_activations() const { return float_; }
  std::string_view source_name() const { return source_.name; }

 private:
  friend class Device;
  KernelLibrary(const KernelSource& source, bool float_activations)
      : source_(source), float_(float_activations) {}
  KernelSource source_;
  bool float_;
};

class KernelFunction {
 public:
  std::string_view name() const { return name_; }
  KernelFn fn() const { return fn_; }

 private:
  friend class KernelLibrary;
  KernelFunction(std::string name, KernelFn fn) : name_(std::move(name)), fn_(fn) {}
  std::string name_;
  KernelFn fn_;
};

class ComputePipeline {
 public:
  std::string_view name() const { return name_; }
  uint64_t max_total_threads_per_threadgroup() const { return kDeviceMaxThreadsPerGroup; }
  uint64_t thread_execution_width() const { return kDeviceSimdWidth; }
  KernelFn fn() const { return fn_; }

 private:
  friend class Device;
  ComputePipeline(std::string name, KernelFn fn) : name_(std::move(name)), fn_(fn) {}
  std::string name_;
  KernelFn fn_;
};

// ---- queues, command buffers, encoders -----------------------------------------------------

class CommandQueue : public std::enable_shared_from_this<CommandQueue> {
 public:
  std::shared_ptr<CommandBuffer> command_buffer();
  const std::shared_ptr<Device>& device() const { return device_; }

 private:
  friend class Device;
  friend class CommandBuffer;
  explicit CommandQueue(std::shared_ptr<Device> device) : device_(std::move(device)) {}
  std::shared_ptr<Device> device_;
  std::mutex run_mutex_;  // command buffers of one queue run one at a time
  // How many records the last command buffer that ran held: a new one reserves that much, since
  // a queue mostly runs the same work again (one decode step after another). Growing the arrays
  // by doubling was the largest single cost of encoding a decode step; with this, one allocation
  // per encoder and the executor's sibling lookup done at load, a step of the 30-layer bench
  // model encoded in 0.30-0.35 ms instead of 0.35-0.43 (q8, 1 thread, shared 8-core Zen 4).
  struct Sizes {
    std::atomic<uint64_t> commands{0}, slots{0}, inline_bytes{0}, buffers{0}, pipelines{0};
  };
  Sizes last_sizes_;
};

// A work item encoded into a command buffer and run in order with its kernels: the stand-ins
// for device libraries (matrix products, graphs) encode their work this way. Returning false
// (with *error set) ends the command buffer in kError.
using HostWork = std::function<bool(std::string* error)>;

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
 public:
  ~CommandBuffer();

  CommandBufferStatus status() const { return status_.load(std::memory_order_acquire); }
  // Empty unless the status is kError.
  const std::string& error_message() const { return error_; }
  // Monotonic seconds at the start and end of execution; 0 before it.
  double gpu_start_time() const { return start_time_; }
  double gpu_end_time() const { return end_time_; }

  // Null when the buffer is already committed or another encoder is still open.
  std::shared_ptr<ComputeEncoder> compute_encoder();
  std::shared_ptr<BlitEncoder> blit_encoder();
  // False when the buffer is already committed or an encoder is open.
  bool encode_host_work(HostWork work);

  void enqueue();
  // Runs everything encoded (see the top of this file). A second commit does nothing.
  void commit();
  void wait_until_completed() {}

  const std::shared_ptr<CommandQueue>& queue() const { return queue_; }

  // How encoded work is recorded (used by the encoders). A dispatch's bindings and inline bytes
  // go to flat arrays of the command buffer, so that encoding allocates nothing per dispatch once
  // the arrays have grown; the buffers and pipelines it names are retained until it has run.
  struct SlotRecord {
    uint32_t index = 0;
    DeviceBuffer* buffer = nullptr;  // null: inline bytes
    uint64_t offset = 0;             // into the buffer, or into the inline byte array
    uint64_t length = 0;             // inline bytes only
  };
  struct Command;
  void append(Command&& command);
  void encoder_ended();
  // Copies inline bytes in; returns their offset in the inline byte array.
  uint64_t store_bytes(const void* bytes, uint64_t length);
  void retain(std::shared_ptr<DeviceBuffer> buffer);
  void retain(std::shared_ptr<ComputePipeline> pipeline);
  uint32_t add_slot(const SlotRecord& slot);

 private:
  friend class CommandQueue;
  friend class ComputeEncoder;
  friend class BlitEncoder;
  explicit CommandBuffer(std::shared_ptr<CommandQueue> queue);
  bool run_command(Command& command, std::string* error);
  void release_work();

  std::shared_ptr<CommandQueue> queue_;
  std::vector<Command> commands_;
  std::vector<SlotRecord> slots_;
  std::vector<uint8_t> inline_bytes_;
  std::vector<std::shared_ptr<DeviceBuffer>> retained_buffers_;
  std::vector<std::shared_ptr<ComputePipeline>> retained_pipelines_;
  std::vector<HostWork> host_work_;
  std::vector<std::string> messages_;  // encoding mistakes, reported when reached
  bool encoder_open_ = false;
  std::atomic<CommandBufferStatus> status_{CommandBufferStatus::kNotEnqueued};
  std::string error_;
  double start_time_ = 0.0;
  double end_time_ = 0.0;
};

class ComputeEncoder {
 public:
  void set_pipeline(std::shared_ptr<ComputePipeline> pipeline);
  // index below kDeviceBindingSlots; the kernel sees the bytes from offset on.
  void set_buffer(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset, uint32_t index);
  // Copies length bytes (at most kDeviceInlineBytesMax) to bind at index.
  void set_bytes(const void* bytes, uint64_t length, uint32_t index);
  // groups thread groups of threads_per_group threads each.
  void dispatch_threadgroups(Size3 groups, Size3 threads_per_group);
  // threads threads in groups of threads_per_group (the last group of each axis may be partial).
  void dispatch_threads(Size3 threads, Size3 threads_per_group);
  void end_encoding();

 private:
  friend class CommandBuffer;
  explicit ComputeEncoder(std::shared_ptr<CommandBuffer> cb) : cb_(std::move(cb)) {}
  void dispatch(Size3 threads, Size3 groups, Size3 per_group, bool by_groups);
  struct Slot {
    std::shared_ptr<DeviceBuffer> buffer;
    uint64_t offset = 0;  // into the buffer, or into the command buffer's inline bytes
    uint64_t length = 0;  // inline bytes
  };
  std::shared_ptr<CommandBuffer> cb_;
  bool ended_ = false;
  std::shared_ptr<ComputePipeline> pipeline_;
  Slot slots_[kDeviceBindingSlots];
  uint32_t bound_ = 0;  // bit i: slot i holds a buffer or inline bytes
  std::string error_;   // first encoding mistake, reported when the dispatch runs
};

static_assert(kDeviceBindingSlots <= 32, "bound slots are one bit each of a 32-bit word");

class BlitEncoder {
 public:
  void copy(std::shared_ptr<DeviceBuffer> src, uint64_t src_offset,
            std::shared_ptr<DeviceBuffer> dst, uint64_t dst_offset, uint64_t size);
  void fill(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset, uint64_t length,
            uint8_t value);
  void end_encoding();

 private:
  friend class CommandBuffer;
  explicit BlitEncoder(std::shared_ptr<CommandBuffer> cb) : cb_(std::move(cb)) {}
  std::shared_ptr<CommandBuffer> cb_;
  bool ended_ = false;
};

}  // namespace vexa
