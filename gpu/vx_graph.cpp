// The executor's activation pool and its one way of encoding a kernel.
#include "gpu/vx_graph.h"

#include <algorithm>

namespace vexa {

namespace {

// Smallest activation buffer: every bucket is 256 * 2^k bytes.
constexpr uint64_t kPoolMinBucketBytes = 256;
// Threads per group of every one-dimensional dispatch.
constexpr uint64_t kDispatchGroupThreads = 128;

uint64_t bucket_bytes(uint64_t bytes) {
  uint64_t bucket = kPoolMinBucketBytes;
  // bytes is at most 2^33 (2^30 elements of 8 bytes), so doubling cannot wrap.
  while (bucket < bytes) bucket *= 2;
  return bucket;
}

}  // namespace

VXGraph::~VXGraph() = default;

VXTensorPtr VXGraph::tensor(std::vector<uint64_t> shape, uint64_t dtype) {
  require_inference(dtype >= kVXDtypeF16 && dtype <= kVXDtypeI64, "Tensor dtype");
  auto t = std::make_shared<VXTensor>();
  t->count = shape_element_count(shape);
  t->shape = std::move(shape);
  t->dtype = dtype;
  const uint64_t bucket = bucket_bytes(std::max<uint64_t>(t->count * vx_element_bytes(dtype), 4));
  auto it = pool_.find(bucket);
  if (it != pool_.end() && !it->second.empty()) {
    t->buffer = std::move(it->second.back());
    it->second.pop_back();
    if (it->second.empty()) pool_.erase(it);
    free_buffers_.erase(t->buffer.get());
  } else {
    t->buffer = device_->new_buffer(bucket, StorageMode::kShared);
    require_inference(t->buffer != nullptr, "Activation allocation failed");
    note_allocation();
  }
  return t;
}

void VXGraph::recycle(const VXTensorPtr& tensor) {
  if (tensor == nullptr || tensor->weight || tensor->cache_stride != 0 ||
      tensor->buffer == nullptr) {
    return;
  }
  if (!free_buffers_.insert(tensor->buffer.get()).second) return;
  pool_[tensor->buffer->length()].push_back(tensor->buffer);
}

void VXGraph::clear_pool() {
  pool_.clear();
  free_buffers_.clear();
}

void VXGraph::note_allocation() {
  peak_metal_allocated_bytes_ =
      std::max(peak_metal_allocated_bytes_, device_->current_allocated_size());
}

const std::shared_ptr<ComputePipeline>& VXGraph::pipeline(std::string_view name) const {
  auto it = pipelines_.find(name);
  if (it == pipelines_.end()) raise_inference("Metal pipeline " + std::string(name) + ": missing");
  return it->second;
}

void VXGraph::kernel(std::string_view name, std::initializer_list<const VXTensor*> tensors,
                     const VXParams& params, uint64_t count, bool groups,
                     const std::shared_ptr<CommandBuffer>& command) {
  encode(name, {tensors.begin(), tensors.size()}, params, Size3{count, 1, 1}, kDispatchGroupThreads,
         groups, command);
}

void VXGraph::kernel_grid(std::string_view name, std::initializer_list<const VXTensor*> tensors,
                          const VXParams& params, Size3 groups, uint64_t threads_per_group,
                          const std::shared_ptr<CommandBuffer>& command) {
  encode(name, {tensors.begin(), tensors.size()}, params, groups, threads_per_group, true, command);
}

void VXGraph::encode(std::string_view name, std::span<const VXTensor* const> tensors,
                     const VXParams& params, Size3 size, uint64_t threads_per_group,
                     bool groups, const std::shared_ptr<CommandBuffer>& command) {
  if (size.x == 0 || size.y == 0 || size.z == 0) return;
  const std::shared_ptr<ComputePipeline>& p = pipeline(name);
  std::shared_ptr<ComputeEncoder> encoder = command ? command->compute_encoder() : nullptr;
  require_inference(encoder != nullptr, "Command encoder");
  encoder->set_pipeline(p);
  uint32_t i = 0;
  for (const VXTensor* t : tensors) {
    // Index 3 carries the parameter block.
    const uint32_t index = i < kVXParamsIndex ? i : i + 1;
    if (t != nullptr) encoder->set_buffer(t->buffer, t->offset, index);
    ++i;
  }
  encoder->set_bytes(&params, sizeof params, kVXParamsIndex);
  const Size3 per_group{threads_per_group, 1, 1};
  if (groups) {
    encoder->dispatch_threadgroups(size, per_group);
  } else {
    encoder->dispatch_threads(size, per_group);
  }
  encoder->end_encoding();
  if (dispatch_log_ != nullptr) dispatch_log_->emplace_back(name);
}

std::shared_ptr<CommandBuffer> VXGraph::new_command_buffer() {
  std::shared_ptr<CommandBuffer> cb = queue_->command_buffer();
  require_inference(cb != nullptr, "Command buffer allocation");
  return cb;
}

}  // namespace vexa
