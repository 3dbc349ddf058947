// The software device's command queues, command buffers and encoders, and how encoded work runs.
#include <cstring>
#include <exception>
#include <new>

#include "core/clock.h"
#include "platform/software_device.h"

namespace vexa {

struct CommandBuffer::Command {
  enum class Kind : uint8_t { kDispatch, kCopy, kFill, kHost, kFail };
  Kind kind = Kind::kFail;
  bool by_groups = false;  // kDispatch
  uint8_t value = 0;       // kFill
  uint32_t first_slot = 0, slot_count = 0;  // kDispatch: bindings in slots_
  uint32_t item = 0;  // kHost: index in host_work_; kFail: index in messages_
  ComputePipeline* pipeline = nullptr;  // kDispatch (retained)
  Size3 threads, groups, per_group;     // kDispatch
  DeviceBuffer* src = nullptr;          // kCopy (retained)
  DeviceBuffer* dst = nullptr;          // kCopy, kFill (retained)
  uint64_t src_offset = 0, dst_offset = 0, size = 0;
};

namespace {

using Command = CommandBuffer::Command;

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

// An encoding mistake, reported when the command buffer reaches it.
void append_failure(CommandBuffer& cb, std::vector<std::string>& messages, std::string message) {
  Command c;
  c.kind = Command::Kind::kFail;
  c.item = static_cast<uint32_t>(messages.size());
  messages.push_back(std::move(message));
  cb.append(std::move(c));
}

}  // namespace

// ---- CommandQueue --------------------------------------------------------------------------

std::shared_ptr<CommandBuffer> CommandQueue::command_buffer() {
  return std::shared_ptr<CommandBuffer>(new CommandBuffer(shared_from_this()));
}

// ---- CommandBuffer -------------------------------------------------------------------------

CommandBuffer::CommandBuffer(std::shared_ptr<CommandQueue> queue) : queue_(std::move(queue)) {
  const CommandQueue::Sizes& last = queue_->last_sizes_;
  commands_.reserve(last.commands.load(std::memory_order_relaxed));
  slots_.reserve(last.slots.load(std::memory_order_relaxed));
  inline_bytes_.reserve(last.inline_bytes.load(std::memory_order_relaxed));
  retained_buffers_.reserve(last.buffers.load(std::memory_order_relaxed));
  retained_pipelines_.reserve(last.pipelines.load(std::memory_order_relaxed));
}

CommandBuffer::~CommandBuffer() = default;

std::shared_ptr<ComputeEncoder> CommandBuffer::compute_encoder() {
  const CommandBufferStatus s = status();
  if (encoder_open_ || (s != CommandBufferStatus::kNotEnqueued && s != CommandBufferStatus::kEnqueued))
    return nullptr;
  encoder_open_ = true;
  // One allocation for the encoder and its count (the constructor is open to this class only).
  struct Made : ComputeEncoder {
    explicit Made(std::shared_ptr<CommandBuffer> cb) : ComputeEncoder(std::move(cb)) {}
  };
  return std::make_shared<Made>(shared_from_this());
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
  c.item = static_cast<uint32_t>(host_work_.size());
  host_work_.push_back(std::move(work));
  commands_.push_back(c);
  return true;
}

void CommandBuffer::append(Command&& command) { commands_.push_back(command); }

void CommandBuffer::encoder_ended() { encoder_open_ = false; }

uint64_t CommandBuffer::store_bytes(const void* bytes, uint64_t length) {
  const uint64_t at = inline_bytes_.size();
  const auto* p = static_cast<const uint8_t*>(bytes);
  inline_bytes_.insert(inline_bytes_.end(), p, p + length);
  return at;
}

void CommandBuffer::retain(std::shared_ptr<DeviceBuffer> buffer) {
  retained_buffers_.push_back(std::move(buffer));
}

void CommandBuffer::retain(std::shared_ptr<ComputePipeline> pipeline) {
  retained_pipelines_.push_back(std::move(pipeline));
}

uint32_t CommandBuffer::add_slot(const SlotRecord& slot) {
  slots_.push_back(slot);
  return static_cast<uint32_t>(slots_.size() - 1);
}

void CommandBuffer::enqueue() {
  CommandBufferStatus expected = CommandBufferStatus::kNotEnqueued;
  status_.compare_exchange_strong(expected, CommandBufferStatus::kEnqueued,
                                  std::memory_order_acq_rel);
}

bool CommandBuffer::run_command(Command& c, std::string* error) {
  switch (c.kind) {
    case Command::Kind::kFail:
      *error = messages_[c.item];
      return false;
    case Command::Kind::kHost: {
      HostWork& work = host_work_[c.item];
      if (!work) return true;
      if (!work(error)) {
        if (error->empty()) *error = "host work item failed";
        return false;
      }
      return true;
    }
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
      for (uint32_t i = 0; i < c.slot_count; ++i) {
        const SlotRecord& b = slots_[c.first_slot + i];
        if (b.buffer != nullptr) {
          if (b.offset > b.buffer->length()) {
            *error = "buffer offset past the end of the buffer at index " + std::to_string(b.index);
            return false;
          }
          d.set_binding(b.index, KernelBinding{b.buffer->device_bytes() + b.offset,
                                               b.buffer->length() - b.offset});
        } else {
          // Empty inline bytes bind nothing, as an empty byte block would.
          d.set_binding(b.index, KernelBinding{b.length == 0 ? nullptr : inline_bytes_.data() + b.offset,
                                               b.length});
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

void CommandBuffer::release_work() {
  CommandQueue::Sizes& last = queue_->last_sizes_;
  last.commands.store(commands_.size(), std::memory_order_relaxed);
  last.slots.store(slots_.size(), std::memory_order_relaxed);
  last.inline_bytes.store(inline_bytes_.size(), std::memory_order_relaxed);
  last.buffers.store(retained_buffers_.size(), std::memory_order_relaxed);
  last.pipelines.store(retained_pipelines_.size(), std::memory_order_relaxed);
  // The work is done: let the buffers and pipelines it held go, as the platform does.
  commands_.clear();
  commands_.shrink_to_fit();
  slots_.clear();
  slots_.shrink_to_fit();
  inline_bytes_.clear();
  inline_bytes_.shrink_to_fit();
  retained_buffers_.clear();
  retained_buffers_.shrink_to_fit();
  retained_pipelines_.clear();
  retained_pipelines_.shrink_to_fit();
  host_work_.clear();
  host_work_.shrink_to_fit();
  messages_.clear();
  messages_.shrink_to_fit();
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
  release_work();
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
  Slot& slot = slots_[index];
  const bool present = buffer != nullptr;
  slot.buffer = std::move(buffer);
  slot.offset = offset;
  slot.length = 0;
  bound_ = present ? bound_ | (1u << index) : bound_ & ~(1u << index);
}

void ComputeEncoder::set_bytes(const void* bytes, uint64_t length, uint32_t index) {
  if (index >= kDeviceBindingSlots || length > kDeviceInlineBytesMax ||
      (bytes == nullptr && length != 0)) {
    if (error_.empty()) error_ = "inline bytes at index " + std::to_string(index) + " refused";
    return;
  }
  if (ended_) return;
  Slot& slot = slots_[index];
  slot.buffer.reset();
  slot.offset = length == 0 ? 0 : cb_->store_bytes(bytes, length);
  slot.length = length;
  bound_ |= 1u << index;
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
    append_failure(*cb_, cb_->messages_, std::move(problem));
    return;
  }
  Command c;
  c.kind = Command::Kind::kDispatch;
  c.pipeline = pipeline_.get();
  cb_->retain(pipeline_);
  c.first_slot = static_cast<uint32_t>(cb_->slots_.size());
  for (uint32_t bits = bound_; bits != 0; bits &= bits - 1) {
    const auto i = static_cast<uint32_t>(__builtin_ctz(bits));
    const Slot& slot = slots_[i];
    cb_->add_slot(CommandBuffer::SlotRecord{i, slot.buffer.get(), slot.offset, slot.length});
    if (slot.buffer != nullptr) cb_->retain(slot.buffer);
    ++c.slot_count;
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
    if (!ended_) append_failure(*cb_, cb_->messages_, "grid too large");
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
  for (uint32_t bits = bound_; bits != 0; bits &= bits - 1) {
    slots_[__builtin_ctz(bits)].buffer.reset();
  }
  bound_ = 0;
  cb_->encoder_ended();
}

// ---- BlitEncoder ---------------------------------------------------------------------------

void BlitEncoder::copy(std::shared_ptr<DeviceBuffer> src, uint64_t src_offset,
                       std::shared_ptr<DeviceBuffer> dst, uint64_t dst_offset, uint64_t size) {
  if (ended_) return;
  if (src == nullptr || dst == nullptr) {
    append_failure(*cb_, cb_->messages_, "blit copy without a buffer");
    return;
  }
  Command c;
  c.kind = Command::Kind::kCopy;
  c.src = src.get();
  c.dst = dst.get();
  cb_->retain(std::move(src));
  cb_->retain(std::move(dst));
  c.src_offset = src_offset;
  c.dst_offset = dst_offset;
  c.size = size;
  cb_->append(std::move(c));
}

void BlitEncoder::fill(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset, uint64_t length,
                       uint8_t value) {
  if (ended_) return;
  if (buffer == nullptr) {
    append_failure(*cb_, cb_->messages_, "blit fill without a buffer");
    return;
  }
  Command c;
  c.kind = Command::Kind::kFill;
  c.dst = buffer.get();
  cb_->retain(std::move(buffer));
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
