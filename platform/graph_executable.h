// Compiled graphs. An executable is the topological schedule of the nodes its targets need,
// with chains the CPU engine runs as one kernel fused into one step (a convolution with its
// bias, activation and residual add; layer normalisation and GELU written out op by op), each
// step bound to a kernel from the installed table (graph_kernels.h), and one activation arena
// planned at compile time. Running binds the feeds, runs the steps in order on the calling
// thread (kernels fan out on the process pool) and writes the results.
//
//   GraphDevice device(queue->device());
//   GraphCompilationDescriptor cd;
//   auto exe = graph.compile(device, {{x, {{1, 3, 224, 224}, DeviceDataType::kFloat32}}}, {y},
//                            cd, &error);
//   exe->run(*queue, {input_data}, {result_data}, GraphExecutionDescriptor{}, &error);
//
// Inputs are given in feed_tensors() order, results in target_tensors() order. Feeds may be
// of another data type than their placeholder (values are converted), never of another shape.
//
// The Neural Engine: the device has none, so descriptor().has_ane is false. The test hook below
// makes devices report one; an executable compiled for it (preferred device kNeuralEngine,
// allowed by the mask) then computes every float value as f16 and reports float16 output types.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/graph.h"
#include "platform/graph_kernels.h"

namespace vexa {

class Device;

struct GraphDeviceDescriptor {
  bool has_ane = false;
};

class GraphDevice {
 public:
  explicit GraphDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {}
  const std::shared_ptr<Device>& device() const { return device_; }
  GraphDeviceDescriptor descriptor() const;

 private:
  std::shared_ptr<Device> device_;
};

// Test hook (C++ only): devices report a Neural Engine while `present` is set.
void graph_set_neural_engine_present_for_testing(bool present);

// Compute devices, numbered as callers pass them, and their mask bits.
inline constexpr uint32_t kGraphDeviceGpu = 0;
inline constexpr uint32_t kGraphDeviceNeuralEngine = 2;
inline constexpr uint32_t kGraphDeviceMaskGpu = 1;
inline constexpr uint32_t kGraphDeviceMaskNeuralEngine = 2;

struct GraphCompilationDescriptor {
  uint32_t optimization_level = 0;
  uint32_t optimization_profile = 0;
  uint32_t preferred_device = kGraphDeviceGpu;
  uint32_t allowed_devices = kGraphDeviceMaskGpu;
  bool enable_ane_chw_rank_promotion = false;
  bool wait_for_compilation_completion = true;
  uint64_t compiler_options = 0;
  bool print_ane_placement_analysis = false;
  // Chains are fused unless this is cleared (tests compare fused and unfused runs).
  bool fuse = true;
};

struct GraphExecutionDescriptor {
  bool wait_until_completed = true;
};

// What one compiled step is: for tests and profiles.
struct GraphStepSummary {
  GraphOpKind kind;
  uint32_t fused_nodes;  // graph nodes the step stands for
  bool epilogue_bias, epilogue_residual;
  bool epilogue_affine;  // a batch normalisation folded in or applied after the ReLU
  GraphActivation activation;
};

class GraphExecutable : public std::enable_shared_from_this<GraphExecutable> {
 public:
  ~GraphExecutable();
  GraphExecutable(const GraphExecutable&) = delete;
  GraphExecutable& operator=(const GraphExecutable&) = delete;

  const std::vector<GraphTensor>& feed_tensors() const { return feeds_; }
  const std::vector<GraphTensor>& target_tensors() const { return targets_; }
  // Shaped types of the targets (float16 for float targets on the Neural Engine); empty with
  // *error set when input_types do not match the feeds.
  std::vector<GraphShapedType> output_types(const std::vector<GraphShapedType>& input_types,
                                            std::string* error) const;
  bool on_neural_engine() const { return neural_engine_; }

  // Runs synchronously on a command buffer of the queue; false with *error set.
  bool run(CommandQueue& queue, const std::vector<GraphTensorData>& inputs,
           const std::vector<GraphTensorData>& results, const GraphExecutionDescriptor& descriptor,
           std::string* error);
  // Encodes the run into the command buffer; false when the lists do not match the executable
  // or the command buffer takes no more work.
  bool encode(CommandBuffer& command_buffer, const std::vector<GraphTensorData>& inputs,
              const std::vector<GraphTensorData>& results, std::string* error);
  // The run itself, on the calling thread (what encoded work calls).
  bool execute(const std::vector<GraphTensorData>& inputs,
               const std::vector<GraphTensorData>& results, std::string* error);

  std::vector<GraphStepSummary> steps() const;
  uint64_t arena_bytes() const { return arena_bytes_; }

 private:
  friend class GraphCompiler;
  GraphExecutable() = default;
  struct Slot;
  struct Step;

  std::vector<GraphTensor> feeds_;
  std::vector<GraphShape> feed_shapes_;
  std::vector<GraphTensor> targets_;
  std::vector<uint32_t> feed_slots_;
  std::vector<uint8_t> feed_direct_;  // the feed may be read in place when it is f32
  std::vector<uint32_t> target_slots_;
  std::vector<uint32_t> alias_slots_;
  std::vector<Slot> slots_;
  std::vector<Step> steps_;
  float* arena_ = nullptr;
  uint64_t arena_bytes_ = 0;
  float* workspace_ = nullptr;
  uint64_t workspace_bytes_ = 0;
  bool neural_engine_ = false;
  std::mutex run_mutex_;  // one run at a time: the arena is shared
};

}  // namespace vexa
