// Running executables: feeds bound or converted, steps run in order, results written; the
// device queries and the kernel table.
#include "platform/graph_executable.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "platform/graph_executable_internal.h"
#include "platform/graph_shapes.h"
#include "platform/software_device.h"

namespace vexa {

namespace {

std::atomic<bool> g_neural_engine_present{false};
std::atomic<const GraphKernelTable*> g_kernels{nullptr};

// The bytes behind `d` for a slot of `shape` holding `elements` values, checked first: false with
// the reason in *error when the shapes differ or the view passes its buffer's end; *bytes stays
// null for an empty tensor.
bool slot_bytes(const GraphTensorData& d, const GraphShape& shape, uint64_t elements,
                const char* role, size_t index, const char* slot_name, uint8_t** bytes,
                std::string* error) {
  *bytes = nullptr;
  if (d.shape() != shape) {
    *error = "graph executable: " + std::string(role) + " " + std::to_string(index) +
             " has shape " + graph_shape_text(d.shape()) + ", the " + slot_name + " " +
             graph_shape_text(shape);
    return false;
  }
  if (elements == 0) return true;
  *bytes = device_view_bytes(d.buffer(), d.offset(), d.type(), elements, error);
  if (*bytes == nullptr) {
    *error = "graph executable: " + std::string(role) + " " + std::to_string(index) + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace

bool graph_run_to_completion(CommandQueue& queue, const std::function<bool(CommandBuffer&)>& encode,
                             std::string* error) {
  auto cb = queue.command_buffer();
  if (!encode(*cb)) return false;
  cb->commit();
  cb->wait_until_completed();
  if (cb->status() != CommandBufferStatus::kCompleted) {
    *error = cb->error_message();
    return false;
  }
  return true;
}

void graph_install_kernels(const GraphKernelTable* table) {
  g_kernels.store(table, std::memory_order_release);
}

const GraphKernelTable* graph_installed_kernels() {
  return g_kernels.load(std::memory_order_acquire);
}

void graph_set_neural_engine_present_for_testing(bool present) {
  g_neural_engine_present.store(present, std::memory_order_relaxed);
}

GraphDeviceDescriptor GraphDevice::descriptor() const {
  GraphDeviceDescriptor d;
  d.has_ane = device_ != nullptr && g_neural_engine_present.load(std::memory_order_relaxed);
  return d;
}

GraphExecutable::~GraphExecutable() {
  std::free(arena_);
  std::free(workspace_);
}

std::vector<GraphShapedType> GraphExecutable::output_types(
    const std::vector<GraphShapedType>& input_types, std::string* error) const {
  if (input_types.size() != feeds_.size()) {
    *error = "graph executable: " + std::to_string(input_types.size()) + " input types for " +
             std::to_string(feeds_.size()) + " feeds";
    return {};
  }
  for (size_t i = 0; i < input_types.size(); ++i) {
    if (input_types[i].shape != feed_shapes_[i] || !device_data_type_valid(input_types[i].type)) {
      *error = "graph executable: input " + std::to_string(i) + " of shape " +
               graph_shape_text(input_types[i].shape) + " where the feed has " +
               graph_shape_text(feed_shapes_[i]);
      return {};
    }
  }
  std::vector<GraphShapedType> out;
  for (uint32_t s : target_slots_) out.push_back(GraphShapedType{slots_[s].shape, slots_[s].held});
  return out;
}

std::vector<GraphStepSummary> GraphExecutable::steps() const {
  std::vector<GraphStepSummary> out;
  for (const Step& s : steps_) {
    out.push_back(GraphStepSummary{s.kind, s.fused_nodes, s.epilogue.bias, s.epilogue.residual,
                                   s.epilogue.affine || s.epilogue.relu_affine,
                                   s.epilogue.activation});
  }
  return out;
}

bool GraphExecutable::run(CommandQueue& queue, const std::vector<GraphTensorData>& inputs,
                          const std::vector<GraphTensorData>& results,
                          const GraphExecutionDescriptor& descriptor, std::string* error) {
  (void)descriptor;  // every run completes before it returns
  return graph_run_to_completion(
      queue, [&](CommandBuffer& cb) { return encode(cb, inputs, results, error); }, error);
}

bool GraphExecutable::encode(CommandBuffer& command_buffer,
                             const std::vector<GraphTensorData>& inputs,
                             const std::vector<GraphTensorData>& results, std::string* error) {
  if (inputs.size() != feeds_.size() || results.size() != targets_.size()) {
    *error = "graph executable: " + std::to_string(inputs.size()) + " inputs and " +
             std::to_string(results.size()) + " results for " + std::to_string(feeds_.size()) +
             " feeds and " + std::to_string(targets_.size()) + " targets";
    return false;
  }
  std::shared_ptr<GraphExecutable> self = shared_from_this();
  const bool encoded = command_buffer.encode_host_work(
      [self, inputs, results](std::string* message) { return self->execute(inputs, results, message); });
  if (!encoded) *error = "graph executable: the command buffer takes no more work";
  return encoded;
}

bool GraphExecutable::execute(const std::vector<GraphTensorData>& inputs,
                              const std::vector<GraphTensorData>& results, std::string* error) {
  std::lock_guard<std::mutex> lock(run_mutex_);
  if (inputs.size() != feeds_.size() || results.size() != targets_.size()) {
    *error = "graph executable: input or result count does not match";
    return false;
  }
  // Feeds: read in place when they are f32 already, else converted into their arena slot.
  for (size_t f = 0; f < feeds_.size(); ++f) {
    Slot& s = slots_[feed_slots_[f]];
    const GraphTensorData& d = inputs[f];
    uint8_t* bytes = nullptr;
    if (!slot_bytes(d, s.shape, s.elements, "feed", f, "placeholder", &bytes, error)) return false;
    if (bytes == nullptr) continue;
    if (s.stored) {
      // Read where the caller keeps it, by products that take halves or floats.
      const DeviceDataType t = d.type();
      const size_t size = t == DeviceDataType::kFloat16 ? 2 : 4;
      if ((t != DeviceDataType::kFloat16 && t != DeviceDataType::kFloat32) ||
          reinterpret_cast<uintptr_t>(bytes) % size != 0) {
        *error = "graph executable: feed " + std::to_string(f) +
                 " is a weight read as stored and must be aligned float16 or float32 values";
        return false;
      }
      s.fed = GraphFedBytes{bytes, t};
      s.data = nullptr;
      continue;
    }
    const bool in_place = feed_direct_[f] && d.type() == DeviceDataType::kFloat32 &&
                          s.held == DeviceDataType::kFloat32 &&
                          reinterpret_cast<uintptr_t>(bytes) % alignof(float) == 0;
    if (in_place) {
      s.data = reinterpret_cast<float*>(bytes);
    } else {
      s.data = arena_ + s.arena_offset / sizeof(float);
      device_values_to_f32(d.type(), bytes, s.data, s.elements);
      device_values_normalise(s.held, s.data, s.elements);
    }
  }
  for (uint32_t a : alias_slots_) slots_[a].data = slots_[slots_[a].root].data;

  for (Step& step : steps_) {
    if (step.empty) continue;
    for (size_t i = 0; i < step.inputs.size(); ++i) {
      step.in_ptrs[i] = step.inputs[i] == kGraphNoSlot ? nullptr : slots_[step.inputs[i]].data;
      if (!step.fed.empty()) {
        const bool stored = step.inputs[i] != kGraphNoSlot && slots_[step.inputs[i]].stored;
        step.fed[i] = stored ? slots_[step.inputs[i]].fed : GraphFedBytes{};
      }
    }
    for (size_t i = 0; i < step.outputs.size(); ++i) step.out_ptrs[i] = slots_[step.outputs[i]].data;
    GraphKernelArgs args{step.in_ptrs.data(), step.out_ptrs.data(), workspace_, error,
                         step.fed.empty() ? nullptr : step.fed.data()};
    bool ok = false;
    try {
      ok = step.kernel->run(args);
    } catch (const std::bad_alloc&) {
      *error = "out of memory";
    }
    if (!ok) {
      *error = "graph step " + std::string(graph_op_name(step.kind)) + " failed: " +
               (error->empty() ? std::string("kernel error") : *error);
      return false;
    }
    for (size_t i = 0; i < step.outputs.size(); ++i) {
      if (!step.normalise[i]) continue;
      const Slot& s = slots_[step.outputs[i]];
      device_values_normalise(s.held, s.data, s.elements);
    }
  }

  for (size_t r = 0; r < targets_.size(); ++r) {
    const Slot& s = slots_[target_slots_[r]];
    const GraphTensorData& d = results[r];
    uint8_t* bytes = nullptr;
    if (!slot_bytes(d, s.shape, s.elements, "result", r, "tensor", &bytes, error)) return false;
    if (bytes == nullptr) continue;
    device_values_from_f32(d.type(), slots_[s.root].data, bytes, s.elements);
  }
  return true;
}

}  // namespace vexa
