// Building an MpsState: the precision gate, the graph's records validated and copied, batching,
// weights, inputs and outputs, every node lowered (a final YoloNms kept for the CPU kernel),
// the buffers the runs use and the environment switches.
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/container_access.h"
#include "core/precision.h"
#include "core/types.h"
#include "cpu/op_table.h"
#include "gpu/gpu_context.h"
#include "gpu/graph_ops.h"
#include "gpu/mps_lowering.h"
#include "gpu/mps_weights.h"

namespace vexa {

namespace {

constexpr uint64_t kMinBufferBytes = 16;  // the device makes no empty buffers
constexpr uint64_t kCheckMessageBytes = 256;

MpsCreateResult fail(std::string_view message) { return expected_error<MpsState*>(message); }

std::string value_text(uint64_t id) { return "value " + std::to_string(id); }

// ---- records ----

bool check_value(const GraphValue& v, uint64_t id, uint64_t weight_bytes, std::string* error) {
  if (v.kind < static_cast<uint64_t>(ValueKind::kGraphInput) ||
      v.kind > static_cast<uint64_t>(ValueKind::kGraphOutput)) {
    *error = value_text(id) + " has unknown kind " + std::to_string(v.kind);
    return false;
  }
  if (v.rank > kMpsMaxRank) {
    *error = value_text(id) + " has rank " + std::to_string(v.rank);
    return false;
  }
  // The converter leaves values it could not size (and no node reads) as rank 0, no elements.
  if (mps_value_sizeless(v)) return true;
  uint64_t count = 0;
  if (!mps_dims_count(v.rank, v.dims, &count) || count > kMaxTensorElements ||
      count != v.element_count) {
    *error = value_text(id) + " element count does not match its dims";
    return false;
  }
  if (v.kind == static_cast<uint64_t>(ValueKind::kWeight)) {
    // The slot holds every weight as f32 (the container's expansion plan guarantees it).
    if (v.dtype != 2) {
      *error = "weight " + value_text(id) + " is not f32";
      return false;
    }
    const uint64_t bytes = count * kMpsF32Bytes;
    if (v.data_offset % kMpsF32Bytes != 0 || v.data_offset > weight_bytes ||
        bytes > weight_bytes - v.data_offset) {
      *error = "weight " + value_text(id) + " lies outside the weights";
      return false;
    }
  }
  return true;
}

bool check_node(const GraphNode& n, uint64_t index, const std::vector<MpsValue>& values,
                std::string* error) {
  const std::string at = "node " + std::to_string(index) + " (" +
                         std::string(op_kind_name(n.op_kind)) + ")";
  if (n.input_count > kGraphNodeMaxInputs || n.output_count < 1 ||
      n.output_count > kGraphNodeMaxOutputs) {
    *error = at + " has " + std::to_string(n.input_count) + " inputs and " +
             std::to_string(n.output_count) + " outputs";
    return false;
  }
  for (uint64_t k = 0; k < n.input_count; ++k) {
    if (n.inputs[k] != kAbsentInput && n.inputs[k] >= values.size()) {
      *error = at + " reads value id " + std::to_string(n.inputs[k]) + " past the " +
               std::to_string(values.size()) + " values";
      return false;
    }
  }
  for (uint64_t k = 0; k < n.output_count; ++k) {
    const uint64_t id = n.outputs[k];
    if (id >= values.size()) {
      *error = at + " writes value id " + std::to_string(id) + " past the " +
               std::to_string(values.size()) + " values";
      return false;
    }
    const uint64_t kind = values[id].record.kind;
    if (kind != static_cast<uint64_t>(ValueKind::kIntermediate) &&
        kind != static_cast<uint64_t>(ValueKind::kGraphOutput)) {
      *error = at + " writes " + value_text(id) + ", which is not an intermediate or an output";
      return false;
    }
    for (uint64_t j = 0; j < n.input_count; ++j) {
      if (n.inputs[j] == id) {
        *error = at + " reads its own output";
        return false;
      }
    }
    for (uint64_t j = 0; j < k; ++j) {
      if (n.outputs[j] == id) {
        *error = at + " writes one value twice";
        return false;
      }
    }
  }
  return true;
}

// The CPU engine's shape contract of the node, on the (batched) records.
bool check_contract(const GraphNode& n, uint64_t index, const std::vector<cpu::CpuValue>& values,
                    std::string* error) {
  const cpu::OpEntry* entry = cpu::cpu_op_entry(n.op_kind);
  if (entry == nullptr || entry->check == nullptr) return true;
  cpu::CpuNode node{};
  std::memcpy(node.w, n.words(), sizeof node.w);
  char message[kCheckMessageBytes] = {};
  const cpu::OpCheck check{node, values.data(), values.size(), message, sizeof message};
  if (entry->check(check)) return true;
  *error = "node " + std::to_string(index) + ": " + message;
  return false;
}

// ---- batching ----

bool batch_safe(const std::vector<GraphNode>& nodes, const std::vector<MpsValue>& values) {
  for (const GraphNode& n : nodes) {
    switch (static_cast<OpKind>(n.op_kind)) {
      case OpKind::kTranspose: {
        std::vector<int64_t> perm;
        const uint64_t rank = n.input_count > 0 ? values[n.inputs[0]].record.rank : 0;
        if (!mps_transpose_permutation(n, rank, &perm) || (!perm.empty() && perm[0] != 0)) {
          return false;
        }
        break;
      }
      case OpKind::kConcat: case OpKind::kSplit: case OpKind::kGather: case OpKind::kSlice: {
        int64_t axis = static_cast<int64_t>(n.attrs[kMpsAttrAxis]);
        if (axis < 0 && n.input_count > 0 && n.inputs[0] != kAbsentInput) {
          axis += static_cast<int64_t>(values[n.inputs[0]].record.rank);
        }
        if (axis == 0) return false;
        break;
      }
      case OpKind::kDeformUnfold: case OpKind::kDetrTopK: case OpKind::kMaskToBoxLogit:
      case OpKind::kYoloNms:
        return false;
      case OpKind::kFlatten:
        if (n.input_count < 1 || n.inputs[0] == kAbsentInput ||
            values[n.inputs[0]].record.dims[0] != values[n.outputs[0]].record.dims[0]) {
          return false;
        }
        break;
      default:
        break;
    }
  }
  return true;
}

bool scale_value(MpsValue& v, uint64_t batch) {
  GraphValue& r = v.record;
  uint64_t dim = 0, count = 0, bytes = 0;
  if (__builtin_mul_overflow(r.dims[0], batch, &dim) ||
      __builtin_mul_overflow(r.element_count, batch, &count) || count > kMaxTensorElements ||
      __builtin_mul_overflow(r.byte_size, batch, &bytes)) {
    return false;
  }
  r.dims[0] = dim;
  r.element_count = count;
  r.byte_size = bytes;
  v.batched = true;
  return true;
}

bool apply_batch(MpsState* s, const std::vector<GraphNode>& nodes, uint64_t requested,
                 std::string* error) {
  MpsValue& first = s->values[s->first_input];
  const uint64_t dim0 = first.record.rank > 0 ? first.record.dims[0] : 0;
  if (requested > 1 && dim0 == 1) {
    if (!batch_safe(nodes, s->values)) {
      s->batch = 1;
      return true;
    }
    s->batch = requested;
    bool ok = scale_value(first, requested);
    for (const GraphNode& n : nodes) {
      bool batched_input = false;
      for (uint64_t k = 0; k < n.input_count; ++k) {
        batched_input = batched_input || (n.inputs[k] != kAbsentInput && s->values[n.inputs[k]].batched);
      }
      if (!batched_input) continue;
      for (uint64_t k = 0; k < n.output_count; ++k) {
        MpsValue& v = s->values[n.outputs[k]];
        if (v.batched || v.record.rank == 0 ||
            v.record.kind == static_cast<uint64_t>(ValueKind::kWeight)) {
          continue;
        }
        ok = ok && scale_value(v, requested);
      }
    }
    if (!ok) *error = "batch " + std::to_string(requested) + " makes a tensor too large";
    return ok;
  }
  s->batch = dim0 > 1 ? dim0 : 1;
  return true;
}

// ---- switches ----

bool neural_engine_requested() {
  const char* use = std::getenv("VEXA_USE_NE");
  if (use != nullptr) {
    switch (use[0]) {
      case '1': case 'Y': case 'y': case 'a': return true;
      case '0': case 'N': case 'n': return false;
      default: break;
    }
  }
  const char* backend = std::getenv("VEXA_BACKEND");
  return backend != nullptr && (std::strcmp(backend, "ne") == 0 || std::strcmp(backend, "ane") == 0);
}

std::shared_ptr<DeviceBuffer> shared_buffer(MpsState* s, uint64_t bytes) {
  return s->device->new_buffer(bytes < kMinBufferBytes ? kMinBufferBytes : bytes,
                               StorageMode::kShared);
}

// ---- the build ----

class Builder {
 public:
  Builder(MpsState* s, const OpenContainer* c, const uint8_t* slot, GpuContext* context)
      : s_(s), c_(c), slot_(slot), context_(context) {}

  bool build(uint64_t batch, std::string* error) {
    const std::shared_ptr<DeviceBuffer>& weights = gpu_context_weights(context_);
    s_->queue = gpu_context_queue(context_);
    if (weights == nullptr || s_->queue == nullptr) {
      *error = "MPS backend requires GPU slot";
      return false;
    }
    s_->device = weights->device();
    graph_ops_install();
    s_->graph = std::make_unique<Graph>();
    return read_records(error) && apply_batch(s_, nodes_, batch, error) &&
           make_inputs(error) && mps_build_weights(s_, slot_, context_, mps_weight_switches(), error) &&
           lower(error) && finish_outputs(error) && make_buffers(error);
  }

 private:
  bool read_records(std::string* error) {
    const uint64_t value_count = container_value_count(c_);
    const uint64_t node_count = container_node_count(c_);
    if (value_count > kMpsMaxValues) {
      *error = "graph has " + std::to_string(value_count) + " values; value ids must be below 32768";
      return false;
    }
    s_->values.resize(value_count);
    s_->placeholders.assign(value_count, GraphTensor{});
    for (uint64_t id = 0; id < value_count; ++id) {
      MpsValue& v = s_->values[id];
      v.record = container_read_value(c_, id);
      if (!check_value(v.record, id, c_->weights_data_size, error)) return false;
      if (v.record.kind == static_cast<uint64_t>(ValueKind::kGraphInput)) {
        if (s_->input_count == kMpsMaxInputs) {
          *error = "more than 8 graph inputs";
          return false;
        }
        if (s_->input_count == 0) s_->first_input = id;
        s_->inputs[s_->input_count++].value_id = id;
      }
      if (v.record.kind == static_cast<uint64_t>(ValueKind::kGraphOutput)) ++declared_outputs_;
    }
    if (s_->input_count == 0) {
      *error = "graph has no inputs";
      return false;
    }
    if (declared_outputs_ == 0) {
      *error = "graph has no outputs";
      return false;
    }
    if (node_count == 0) {
      *error = "graph has no nodes";
      return false;
    }
    nodes_.resize(node_count);
    for (uint64_t i = 0; i < node_count; ++i) {
      nodes_[i] = container_read_node(c_, i);
      if (!check_node(nodes_[i], i, s_->values, error)) return false;
    }
    return true;
  }

  bool make_inputs(std::string* error) {
    Graph& g = *s_->graph;
    for (uint64_t k = 0; k < s_->input_count; ++k) {
      MpsInput& in = s_->inputs[k];
      MpsValue& v = s_->values[in.value_id];
      const std::string_view name = pool_string(c_, v.record.name_offset, v.record.name_length);
      in.placeholder = g.placeholder(mps_shape(v.record.rank, v.record.dims),
                                     DeviceDataType::kFloat32, name);
      in.byte_size = v.record.element_count * kMpsF32Bytes;
      s_->placeholders[in.value_id] = in.placeholder;
      v.tensor = s_->compute == DeviceDataType::kFloat32 ? in.placeholder
                                                          : g.cast(in.placeholder, s_->compute);
    }
    if (!g.ok()) {
      *error = "graph input: " + g.error();
      return false;
    }
    return true;
  }

  bool lower(std::string* error) {
    Graph& g = *s_->graph;
    std::vector<cpu::CpuValue> records(s_->values.size());
    for (size_t i = 0; i < records.size(); ++i) {
      std::memcpy(records[i].w, s_->values[i].record.words(), sizeof records[i].w);
    }
    MpsLowerContext ctx;
    ctx.graph = &g;
    ctx.values = &s_->values;
    ctx.compute = s_->compute;
    ctx.zero = g.constant_scalar(0.0, s_->compute);
    ctx.one = g.constant_scalar(1.0, s_->compute);
    ctx.weight_base = reinterpret_cast<const float*>(slot_);
    for (uint64_t i = 0; i < nodes_.size(); ++i) {
      const GraphNode& n = nodes_[i];
      if (n.op_kind == static_cast<uint64_t>(OpKind::kYoloNms)) {
        if (i + 1 != nodes_.size()) {
          *error = "YoloNms must be the last node";
          return false;
        }
        if (!check_contract(n, i, records, error)) return false;
        s_->has_yolo = true;
        s_->yolo_node = n;
        continue;
      }
      if (!mps_kind_lowered(n.op_kind)) {
        *error = kMpsUnsupportedOp;
        return false;
      }
      if (!check_contract(n, i, records, error)) return false;
      std::string why;
      if (!mps_lower_node(ctx, n, &why)) {
        *error = why == kMpsUnsupportedOp ? why : "node " + std::to_string(i) + ": " + why;
        return false;
      }
    }
    return true;
  }

  bool finish_outputs(std::string* error) {
    Graph& g = *s_->graph;
    for (uint64_t id = 0; id < s_->values.size() && s_->output_count < kMpsMaxOutputs; ++id) {
      const GraphValue& r = s_->values[id].record;
      if (r.kind != static_cast<uint64_t>(ValueKind::kGraphOutput)) continue;
      MpsOutput& o = s_->outputs[s_->output_count++];
      o.value_id = id;
      o.rank = r.rank;
      std::memcpy(o.dims, r.dims, sizeof o.dims);
      o.byte_size = r.element_count * kMpsF32Bytes;
    }
    if (s_->has_yolo && !yolo_tail(error)) return false;
    for (uint64_t k = 0; k < s_->output_count; ++k) {
      MpsOutput& o = s_->outputs[k];
      GraphTensor t = s_->values[o.value_id].tensor;
      if (!t.valid()) {
        *error = "graph output " + value_text(o.value_id) + " is not computed by any node";
        return false;
      }
      // Results are keyed by tensor: an output showing another output's tensor gets its own.
      for (uint64_t j = 0; j < k; ++j) {
        if (s_->outputs[j].tensor == t) {
          t = g.identity(t);
          break;
        }
      }
      if (s_->compute != DeviceDataType::kFloat32) t = g.cast(t, DeviceDataType::kFloat32);
      o.tensor = t;
    }
    if (!g.ok()) {
      *error = "graph output: " + g.error();
      return false;
    }
    s_->output0_value = s_->outputs[0].value_id;
    s_->output0_bytes = s_->outputs[0].byte_size;
    return true;
  }

  // The graph's output 0 becomes the detection head the YoloNms kernel reads; the node's own
  // output must be output 0, which the session sizes for the kernel's rows.
  bool yolo_tail(std::string* error) {
    const GraphNode& n = s_->yolo_node;
    if (s_->outputs[0].value_id != n.outputs[0]) {
      *error = "YoloNms must write the first graph output";
      return false;
    }
    const uint64_t head = n.inputs[0];
    const GraphValue& r = s_->values[head].record;
    MpsOutput& o = s_->outputs[0];
    o.value_id = head;
    o.rank = r.rank;
    std::memcpy(o.dims, r.dims, sizeof o.dims);
    o.byte_size = r.element_count * kMpsF32Bytes;
    s_->yolo_output_floats = s_->values[n.outputs[0]].record.element_count;
    s_->yolo_channels = r.dims[1];
    s_->yolo_candidates = r.dims[2];
    try {
      s_->detection_head.assign(r.element_count == 0 ? 1 : r.element_count, 0.0f);
    } catch (const std::bad_alloc&) {
      *error = "out of memory for detection head buffer";
      return false;
    }
    return true;
  }

  bool make_buffers(std::string* error) {
    MpsInput& in0 = s_->inputs[0];
    s_->input0_bytes = in0.byte_size;
    in0.buffer = shared_buffer(s_, in0.byte_size);
    s_->output0_buffer = shared_buffer(s_, s_->output0_bytes);
    if (in0.buffer == nullptr) {
      *error = "input buffer allocation failed";
      return false;
    }
    if (s_->output0_buffer == nullptr) {
      *error = "output buffer allocation failed";
      return false;
    }
    in0.contents = static_cast<uint8_t*>(in0.buffer->contents());
    s_->output0_contents = static_cast<float*>(s_->output0_buffer->contents());
    s_->ne_requested = neural_engine_requested();
    s_->executable_flag = std::getenv("VEXA_MPS_EXE") != nullptr;

    for (uint64_t k = 0; k < s_->input_count; ++k) {
      MpsInput& in = s_->inputs[k];
      if (s_->feed_list.size() >= kMpsMaxFeeds) {
        *error = "more than 8192 fed tensors";
        return false;
      }
      s_->feed_list.push_back(static_cast<uint32_t>(in.value_id));
      if (k > 0) {
        in.buffer = shared_buffer(s_, in.byte_size);
        if (in.buffer == nullptr) {
          *error = "input buffer allocation failed";
          return false;
        }
        in.contents = static_cast<uint8_t*>(in.buffer->contents());
      }
      const GraphValue& r = s_->values[in.value_id].record;
      s_->feeds[in.placeholder] =
          GraphTensorData(in.buffer, mps_shape(r.rank, r.dims), DeviceDataType::kFloat32);
    }
    const MpsOutput& o = s_->outputs[0];
    s_->results[o.tensor] =
        GraphTensorData(s_->output0_buffer, mps_shape(o.rank, o.dims), DeviceDataType::kFloat32);
    if (s_->ne_requested && s_->output_count < 2 && !mps_compile_ne(s_)) s_->ne_requested = false;
    return true;
  }

  MpsState* s_;
  const OpenContainer* c_;
  const uint8_t* slot_;
  GpuContext* context_;
  std::vector<GraphNode> nodes_;
  uint64_t declared_outputs_ = 0;
};

}  // namespace

bool mps_dims_count(uint64_t rank, const uint64_t* dims, uint64_t* count) {
  uint64_t n = 1;
  for (uint64_t i = 0; i < rank; ++i) {
    if (__builtin_mul_overflow(n, dims[i], &n) || n > (uint64_t{1} << 62)) return false;
  }
  *count = n;
  return true;
}

bool mps_value_sizeless(const GraphValue& v) {
  return v.kind == static_cast<uint64_t>(ValueKind::kIntermediate) && v.rank == 0 &&
         v.element_count == 0 && v.byte_size == 0;
}

GraphShape mps_shape(uint64_t rank, const uint64_t* dims) {
  GraphShape s;
  for (uint64_t i = 0; i < rank && i < kMpsMaxRank; ++i) s.push_back(static_cast<int64_t>(dims[i]));
  return s;
}

MpsCreateResult mps_state_create(const OpenContainer* container, const void* slot_data,
                                 GpuContext* context, uint64_t batch, bool neural_engine) {
  if (container == nullptr || slot_data == nullptr || context == nullptr) {
    return fail("MPS backend requires GPU slot");
  }
  DeviceDataType compute = DeviceDataType::kFloat32;
  if (!neural_engine) {
    const PrecisionSetting p = resolve_precision(container, "metal");
    if (!p.valid) {
      return fail(
          "precision.gpu: unrecognised value (expected f32, f16, f16:fast, int8, int8:static or "
          "int8:f16)");
    }
    if (p.activation == kActivationFast) {
      compute = DeviceDataType::kFloat16;
    } else if (!(p.weight == kWeightPrecisionF32 && p.activation == kActivationDefault)) {
      std::string message = std::string("precision.gpu=") +
                            precision_mode_name(p.weight, p.activation) +
                            " is not available on the Apple GPU yet";
      if (p.weight == kWeightPrecisionF16) message += " (binary16 here is f16:fast)";
      return fail(message);
    }
  }
  MpsState* s = new (std::nothrow) MpsState();
  if (s == nullptr) return fail("out of memory allocating MpsState");
  s->compute = compute;
  std::string error;
  bool ok = false;
  try {
    Builder b(s, container, static_cast<const uint8_t*>(slot_data), context);
    ok = b.build(batch < 1 ? 1 : batch, &error);
  } catch (const std::bad_alloc&) {
    error = "out of memory building the MPS graph";
  }
  if (!ok) {
    delete s;
    return fail(error);
  }
  return expected_ok<MpsState*>(s);
}

MpsCreateResult mps_state_create_default(const OpenContainer* container, const void* slot_data,
                                         GpuContext* context) {
  return mps_state_create(container, slot_data, context, 1, true);
}

void mps_state_destroy(MpsHandle handle) {
  if (handle == nullptr || *handle == nullptr) return;
  delete *handle;
}

bool mps_uses_slot_weights(MpsHandle handle) {
  if (handle == nullptr || *handle == nullptr) return false;
  return (*handle)->weights_fed && !(*handle)->private_weights;
}

bool mps_uses_private_weights(MpsHandle handle) {
  return handle != nullptr && *handle != nullptr && (*handle)->private_weights;
}

uint64_t mps_output_count(MpsHandle handle) {
  return handle != nullptr && *handle != nullptr ? (*handle)->output_count : 0;
}

bool mps_supported() { return true; }

}  // namespace vexa
