// The software device's command queues, command buffers and encoders, and how encoded work runs.
#include <cstring>
#include <exception>
#include <new>

#include "core/clock.h"
#include "platform/software_device.h"

namespace vexa {

struct CommandBuffer::Command {
  enum class Kind { kDispatch, kCopy, kFill, kHost, kFail };
  Kind kind = Kind::kFail;
  // kDispatch
  std::shared_ptr<ComputePipeline> pipeline;
  std::vector<Binding> bindings;
  Size3 threads, groups, per_group;
  bool by_groups = false;
  // kCopy, kFill
  std::shared_ptr<DeviceBuffer> src, dst;
  uint64_t src_offset = 0, dst_offset = 0, size = 0;
  uint8_t value = 0;
  // kHost
  HostWork host;
  // kFail: an encoding mistake, reported when the command buffer reaches it
  std::string message;
};

namespace {

using Command = CommandBuffer::Command;

Command failure_command(std::string message) {
  Command c;
  c.kind = Command::Kind::kFail;
  c.message = std::move(message);
  return c;
}

bool range_inside(uint64_t offset, uint64_t size, uint64_t length) {
  return offset <= length && size <= length - offset;
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// Product of the three sizes, or 0 when it does not fit in 64 bits.
uint64_t volume(Size3 s) {
  if (s.x != 0 && s.y > UINT64_MAX / s.x) return 0;
  const uint64_t xy = s.x * s.y;
  if (xy != 0 && s.z > UINT64_MAX / xy) return 0;
  return xy * s.z;
}

}  // namespace

// ---- CommandQueue --------------------------------------------------------------------------

std::shared_ptr<CommandBuffer> CommandQueue::command_buffer() {
  return std::shared_ptr<CommandBuffer>(new CommandBuffer(shared_from_this()));
}

// ---- CommandBuffer -------------------------------------------------------------------------

CommandBuffer::CommandBuffer(std::shared_ptr<CommandQueue> queue) : queue_(std::move(queue)) {}

CommandBuffer::~CommandBuffer() = default;

std::shared_ptr<ComputeEncoder> CommandBuffer::compute_encoder() {
  const CommandBufferStatus s = status();
  if (encoder_open_ || (s != CommandBufferStatus::kNotEnqueued && s != CommandBufferStatus::kEnqueued))
    return nullptr;
  encoder_open_ = true;
  return std::shared_ptr<ComputeEncoder>(new ComputeEncoder(shared_from_this()));
}

std::shared_ptr<BlitEncoder> CommandBuffer::blit_encoder() {
  const CommandBufferStatus s = status();
  if (encoder_open_ || (s != CommandBufferStatus::kNotEnqueued && s != CommandBufferStatus::kEnqueued))
    return nullptr;
  encoder_open_ = true;
  return std::shared_ptr<BlitEncoder>(new BlitEncoder(shared_from_this()));
}

bool CommandBuffer::encode_host_work(HostWork work) {
  const CommandBufferStatus s = status();
  if (encoder_open_ || (s != CommandBufferStatus::kNotEnqueued && s != CommandBufferStatus::kEnqueued))
    return false;
  Command c;
  c.kind = Command::Kind::kHost;
  c.host = std::move(work);
  commands_.push_back(std::move(c));
  return true;
}

void CommandBuffer::append(Command&& command) { commands_.push_back(std::move(command)); }

void CommandBuffer::encoder_ended() { encoder_open_ = false; }

void CommandBuffer::enqueue() {
  CommandBufferStatus expected = CommandBufferStatus::kNotEnqueued;
  status_.compare_exchange_strong(expected, CommandBufferStatus::kEnqueued,
                                  std::memory_order_acq_rel);
}

bool CommandBuffer::run_command(Command& c, std::string* error) {
  switch (c.kind) {
    case Command::Kind::kFail:
      *error = c.message;
      return false;
    case Command::Kind::kHost:
      if (!c.host) return true;
      if (!c.host(error)) {
        if (error->empty()) *error = "host work item failed";
        return false;
      }
      return true;
    case Command::Kind::kCopy:
      if (!range_inside(c.src_offset, c.size, c.src->length()) ||
          !range_inside(c.dst_offset, c.size, c.dst->length())) {
        *error = "blit copy out of buffer range";
        return false;
      }
      if (c.size != 0) {
        std::memmove(c.dst->device_bytes() + c.dst_offset, c.src->device_bytes() + c.src_offset,
                     c.size);
      }
      return true;
    case Command::Kind::kFill:
      if (!range_inside(c.dst_offset, c.size, c.dst->length())) {
        *error = "blit fill out of buffer range";
        return false;
      }
      if (c.size != 0) std::memset(c.dst->device_bytes() + c.dst_offset, c.value, c.size);
      return true;
    case Command::Kind::kDispatch: {
      if (volume(c.threads) == 0) return true;  // an empty grid runs nothing
      KernelDispatch d;
      d.grid_threads = c.threads;
      d.threadgroups = c.groups;
      d.threads_per_group = c.per_group;
      d.by_threadgroups = c.by_groups;
      for (Binding& b : c.bindings) {
        if (b.buffer != nullptr) {
          if (b.offset > b.buffer->length()) {
            *error = "buffer offset past the end of the buffer at index " + std::to_string(b.index);
            return false;
          }
          d.set_binding(b.index, KernelBinding{b.buffer->device_bytes() + b.offset,
                                               b.buffer->length() - b.offset});
        } else {
          d.set_binding(b.index, KernelBinding{b.bytes.data(), b.bytes.size()});
        }
      }
      c.pipeline->fn()(d);
      if (d.failed()) {
        *error = std::string(c.pipeline->name()) + ": " + d.failure();
        return false;
      }
      return true;
    }
  }
  return true;
}

void CommandBuffer::commit() {
  const CommandBufferStatus s = status();
  if (s != CommandBufferStatus::kNotEnqueued && s != CommandBufferStatus::kEnqueued) return;
  status_.store(CommandBufferStatus::kCommitted, std::memory_order_release);
  std::lock_guard<std::mutex> lock(queue_->run_mutex_);
  status_.store(CommandBufferStatus::kScheduled, std::memory_order_release);
  start_time_ = monotonic_seconds();
  std::string error;
  bool ok = true;
  if (encoder_open_) {
    ok = false;
    error = "command buffer committed with an encoder still open";
  }
  for (size_t i = 0; ok && i < commands_.size(); ++i) {
    try {
      ok = run_command(commands_[i], &error);
    } catch (const std::bad_alloc&) {
      ok = false;
      error = "out of memory";
    } catch (const std::exception& e) {
      ok = false;
      error = e.what();
    } catch (...) {
      ok = false;
      error = "unknown failure";
    }
  }
  end_time_ = monotonic_seconds();
  // The work is done: let the buffers and pipelines it held go, as the platform does.
  commands_.clear();
  commands_.shrink_to_fit();
  if (!ok) {
    error_ = error.empty() ? "command buffer failed" : error;
    status_.store(CommandBufferStatus::kError, std::memory_order_release);
  } else {
    status_.store(CommandBufferStatus::kCompleted, std::memory_order_release);
  }
}

// ---- ComputeEncoder ------------------------------------------------------------------------

void ComputeEncoder::set_pipeline(std::shared_ptr<ComputePipeline> pipeline) {
  pipeline_ = std::move(pipeline);
}

void ComputeEncoder::set_buffer(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset,
                                uint32_t index) {
  if (index >= kDeviceBindingSlots) {
    if (error_.empty()) error_ = "buffer index " + std::to_string(index) + " out of range";
    return;
  }
  slots_[index] = CommandBuffer::Binding{index, std::move(buffer), offset, {}};
  bound_[index] = slots_[index].buffer != nullptr;
}

void ComputeEncoder::set_bytes(const void* bytes, uint64_t length, uint32_t index) {
  if (index >= kDeviceBindingSlots || length > kDeviceInlineBytesMax ||
      (bytes == nullptr && length != 0)) {
    if (error_.empty()) error_ = "inline bytes at index " + std::to_string(index) + " refused";
    return;
  }
  CommandBuffer::Binding b;
  b.index = index;
  const auto* p = static_cast<const uint8_t*>(bytes);
  b.bytes.assign(p, p + length);
  slots_[index] = std::move(b);
  bound_[index] = true;
}

void ComputeEncoder::dispatch(Size3 threads, Size3 groups, Size3 per_group, bool by_groups) {
  if (ended_) return;
  std::string problem = error_;
  const uint64_t group_size = volume(per_group);
  if (problem.empty() && pipeline_ == nullptr) problem = "dispatch without a compute pipeline";
  if (problem.empty() && (group_size == 0 || group_size > kDeviceMaxThreadsPerGroup)) {
    problem = "thread-group size outside 1.." + std::to_string(kDeviceMaxThreadsPerGroup);
  }
  if (problem.empty() && threads.x != 0 && threads.y != 0 && threads.z != 0 &&
      volume(threads) == 0) {
    problem = "grid too large";
  }
  if (!problem.empty()) {
    cb_->append(failure_command(std::move(problem)));
    return;
  }
  Command c;
  c.kind = Command::Kind::kDispatch;
  c.pipeline = pipeline_;
  for (uint32_t i = 0; i < kDeviceBindingSlots; ++i) {
    if (bound_[i]) c.bindings.push_back(slots_[i]);
  }
  c.threads = threads;
  c.groups = groups;
  c.per_group = per_group;
  c.by_groups = by_groups;
  cb_->append(std::move(c));
}

void ComputeEncoder::dispatch_threadgroups(Size3 groups, Size3 per_group) {
  // Grid in threads, or 0 on an axis whose product overflows (refused in dispatch()).
  auto mul = [](uint64_t a, uint64_t b) -> uint64_t {
    return (a != 0 && b > UINT64_MAX / a) ? 0 : a * b;
  };
  Size3 threads{mul(groups.x, per_group.x), mul(groups.y, per_group.y), mul(groups.z, per_group.z)};
  if ((threads.x == 0 && groups.x != 0 && per_group.x != 0) ||
      (threads.y == 0 && groups.y != 0 && per_group.y != 0) ||
      (threads.z == 0 && groups.z != 0 && per_group.z != 0)) {
    if (!ended_) cb_->append(failure_command("grid too large"));
    return;
  }
  dispatch(threads, groups, per_group, true);
}

void ComputeEncoder::dispatch_threads(Size3 threads, Size3 per_group) {
  Size3 groups{};
  if (per_group.x != 0 && per_group.y != 0 && per_group.z != 0) {
    groups = Size3{ceil_div(threads.x, per_group.x), ceil_div(threads.y, per_group.y),
                   ceil_div(threads.z, per_group.z)};
  }
  dispatch(threads, groups, per_group, false);
}

void ComputeEncoder::end_encoding() {
  if (ended_) return;
  ended_ = true;
  pipeline_.reset();
  for (uint32_t i = 0; i < kDeviceBindingSlots; ++i) {
    slots_[i] = CommandBuffer::Binding{};
    bound_[i] = false;
  }
  cb_->encoder_ended();
}

// ---- BlitEncoder ---------------------------------------------------------------------------

void BlitEncoder::copy(std::shared_ptr<DeviceBuffer> src, uint64_t src_offset,
                       std::shared_ptr<DeviceBuffer> dst, uint64_t dst_offset, uint64_t size) {
  if (ended_) return;
  if (src == nullptr || dst == nullptr) {
    cb_->append(failure_command("blit copy without a buffer"));
    return;
  }
  Command c;
  c.kind = Command::Kind::kCopy;
  c.src = std::move(src);
  c.dst = std::move(dst);
  c.src_offset = src_offset;
  c.dst_offset = dst_offset;
  c.size = size;
  cb_->append(std::move(c));
}

void BlitEncoder::fill(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset, uint64_t length,
                       uint8_t value) {
  if (ended_) return;
  if (buffer == nullptr) {
    cb_->append(failure_command("blit fill without a buffer"));
    return;
  }
  Command c;
  c.kind = Command::Kind::kFill;
  c.dst = std::move(buffer);
  c.dst_offset = offset;
  c.size = length;
  c.value = value;
  cb_->append(std::move(c));
}

void BlitEncoder::end_encoding() {
  if (ended_) return;
  ended_ = true;
  cb_->encoder_ended();
}

}  // namespace vexa
