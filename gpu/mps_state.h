// The record of one graph-model engine and the helpers its build, lowering and run files share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/container_format.h"
#include "gpu/graph_engine.h"
#include "platform/graph.h"
#include "platform/graph_executable.h"
#include "platform/graph_tensor_data.h"
#include "platform/software_device.h"

namespace vexa {

inline constexpr uint64_t kMpsMaxRank = 6;
inline constexpr uint64_t kMpsMaxExecutableResults = 64;
// Value records are f32 from the engine's point of view: the session converts every input to
// f32 before it hands it over and reads every result as f32.
inline constexpr uint64_t kMpsF32Bytes = 4;

// One container value as the graph sees it: its record (dims scaled when batched), its tensor
// once made, and whether it carries the batch.
struct MpsValue {
  GraphValue record{};
  GraphTensor tensor{};
  bool batched = false;
};

struct MpsInput {
  uint64_t value_id = 0;
  GraphTensor placeholder{};
  std::shared_ptr<DeviceBuffer> buffer;
  uint8_t* contents = nullptr;
  uint64_t byte_size = 0;  // element count x 4
};

struct MpsOutput {
  uint64_t value_id = 0;
  uint64_t rank = 0;
  uint64_t dims[kMpsMaxRank] = {};
  uint64_t byte_size = 0;  // element count x 4
  GraphTensor tensor{};
  std::shared_ptr<DeviceBuffer> buffer;  // outputs 1..: made by mps_prepare_output_buffers
  float* contents = nullptr;
};

// The Neural Engine executable with its f16 input buffer and one buffer per result.
struct MpsNeuralEngine {
  std::shared_ptr<GraphExecutable> executable;
  std::shared_ptr<DeviceBuffer> input;
  uint16_t* input_contents = nullptr;
  std::vector<GraphTensorData> inputs;
  std::vector<GraphTensorData> results;
  struct Result {
    std::shared_ptr<DeviceBuffer> buffer;
    uint8_t* contents = nullptr;
    DeviceDataType type = DeviceDataType::kInvalid;
  };
  std::vector<Result> result_buffers;
  uint32_t output_result[kMpsMaxOutputs] = {};  // per state output: its result index
  GraphExecutionDescriptor descriptor;
};

// The GPU executable made on first use when VEXA_MPS_EXE is set.
struct MpsGpuExecutable {
  std::shared_ptr<GraphExecutable> executable;
  std::vector<GraphTensorData> inputs;
  std::vector<GraphTensorData> results;
  GraphExecutionDescriptor descriptor;
};

struct MpsState {
  uint64_t batch = 1;
  uint64_t first_input = 0;
  uint64_t input_count = 0;
  MpsInput inputs[kMpsMaxInputs];  // inputs[0]: the input-0 buffer the runs copy into

  bool weights_fed = false;
  bool private_weights = false;
  std::shared_ptr<DeviceBuffer> private_buffer;
  bool executable_flag = false;

  // Placeholders of graph inputs and fed weights, by value id; the ids that must be fed.
  std::vector<GraphTensor> placeholders;
  std::vector<uint32_t> feed_list;

  std::unique_ptr<Graph> graph;
  std::shared_ptr<Device> device;
  std::shared_ptr<CommandQueue> queue;
  std::shared_ptr<DeviceBuffer> output0_buffer;
  float* output0_contents = nullptr;
  GraphTensorDataMap feeds;
  GraphTensorDataMap results;

  bool ne_requested = false;
  bool ne_compiled = false;
  bool extra_outputs_prepared = false;
  bool output_buffers_failed = false;  // an extra output buffer could not be made
  MpsNeuralEngine ne;
  MpsGpuExecutable gpu_exe;

  uint64_t output0_value = 0;
  uint64_t input0_bytes = 0;
  uint64_t output0_bytes = 0;
  uint64_t output_count = 0;
  MpsOutput outputs[kMpsMaxOutputs];

  std::vector<MpsValue> values;
  DeviceDataType compute = DeviceDataType::kFloat32;

  // A final YoloNms node, run on the CPU kernel over the graph's detection head.
  bool has_yolo = false;
  GraphNode yolo_node{};
  uint64_t yolo_channels = 0;
  uint64_t yolo_candidates = 0;
  uint64_t yolo_output_floats = 0;  // rows x columns the kernel writes
  std::vector<float> detection_head;
};

// Runs the state's graph once on the GPU or the Neural Engine: input-0 bytes read from `input`,
// output-0 bytes written to `output`. False when any step of the run fails.
bool mps_execute(MpsState* state, const float* input, float* output);

// Element count of a shape given as rank and dims; false past 2^62.
bool mps_dims_count(uint64_t rank, const uint64_t* dims, uint64_t* count);
GraphShape mps_shape(uint64_t rank, const uint64_t* dims);
// An intermediate value without a recorded shape (rank 0, no elements).
bool mps_value_sizeless(const GraphValue& v);

}  // namespace vexa
