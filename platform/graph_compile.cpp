// Compilation: the schedule of the nodes the targets need, fused steps, kernels bound to them,
// value slots and the arena planned once.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "platform/graph_executable_internal.h"
#include "platform/graph_plan.h"
#include "platform/graph_shapes.h"

namespace vexa {

namespace {

constexpr uint64_t kAlignBytes = 64;
// Values with no element all point at this block, so kernels never see a null pointer.
alignas(64) float g_empty_block[16] = {};

std::string op_text(GraphOpKind kind) { return std::string(graph_op_name(kind)); }

bool is_alias_step(const Graph& g, const GraphPlannedStep& s, bool half) {
  if (s.inputs.empty() || s.inputs[0] == kGraphAbsent) return false;
  const GraphTensorInfo& in = g.info(s.inputs[0]);
  const GraphTensorInfo& out = g.info(s.outputs[0]);
  switch (s.kind) {
    case GraphOpKind::kReshape:
    case GraphOpKind::kIdentity:
      return true;
    case GraphOpKind::kCast:
      // The same values at the same held type.
      return in.type == out.type ||
             (half && device_data_type_is_float(in.type) && device_data_type_is_float(out.type));
    case GraphOpKind::kBroadcast:
      return in.shape == out.shape;
    default:
      return false;
  }
}

}  // namespace

class GraphCompiler {
 public:
  GraphCompiler(const Graph& graph, const GraphShapedTypeMap& feeds,
                const std::vector<GraphTensor>& targets, const GraphCompilationDescriptor& cd,
                bool neural_engine)
      : g_(graph), feeds_(feeds), targets_(targets), cd_(cd), half_(neural_engine) {}

  std::shared_ptr<GraphExecutable> compile(std::string* error) {
    exe_.reset(new GraphExecutable());
    exe_->neural_engine_ = half_;
    const GraphKernelTable* table = graph_installed_kernels();
    if (table == nullptr) return fail(error, "graph kernels are not installed");
    if (!check_targets(error) || !check_feeds(error) || !schedule(error)) return nullptr;
    GraphScheduleView view;
    view.graph = &g_;
    view.nodes = order_;
    view.half_compute = half_;
    count_readers(&view);
    std::vector<GraphPlannedStep> planned = graph_plan_steps(view, cd_.fuse);
    if (!make_slots(planned, error) || !bind_kernels(*table, planned, error) ||
        !plan_memory(error))
      return nullptr;
    return std::move(exe_);
  }

 private:
  std::shared_ptr<GraphExecutable> fail(std::string* error, std::string message) {
    *error = std::move(message);
    return nullptr;
  }

  bool check_targets(std::string* error) {
    if (targets_.empty()) {
      *error = "graph compile: no target tensors";
      return false;
    }
    for (GraphTensor t : targets_) {
      if (!g_.contains(t)) {
        *error = t.valid() ? "graph compile: a target belongs to another graph"
                           : "graph compile: a target is the result of a failed operation";
        return false;
      }
      if (std::find(exe_->targets_.begin(), exe_->targets_.end(), t) == exe_->targets_.end())
        exe_->targets_.push_back(t);
    }
    return true;
  }

  bool check_feeds(std::string* error) {
    fed_.assign(g_.tensor_count(), 0);
    for (const auto& [t, st] : feeds_) {
      if (!g_.contains(t)) {
        *error = "graph compile: a feed is not a tensor of this graph";
        return false;
      }
      const GraphTensorInfo& info = g_.info(t.index);
      if (g_.nodes()[info.node].kind != GraphOpKind::kPlaceholder) {
        *error = "graph compile: a fed tensor (" + op_text(g_.nodes()[info.node].kind) +
                 " result) is not a placeholder";
        return false;
      }
      if (st.shape != info.shape || !device_data_type_valid(st.type)) {
        *error = "graph compile: placeholder '" + info.name + "' " + graph_shape_text(info.shape) +
                 " fed as " + graph_shape_text(st.shape) + " " +
                 std::string(device_data_type_name(st.type));
        return false;
      }
      fed_[t.index] = 1;
      exe_->feeds_.push_back(t);
      exe_->feed_shapes_.push_back(info.shape);
    }
    return true;
  }

  // Depth-first from the targets; post-order is a topological order. A node met again while it
  // is still open closes a cycle.
  bool schedule(std::string* error) {
    const size_t n = g_.nodes().size();
    std::vector<uint8_t> state(n, 0);  // 0 new, 1 open, 2 done
    std::vector<std::pair<uint32_t, size_t>> stack;
    for (GraphTensor t : exe_->targets_) {
      const uint32_t root = g_.info(t.index).node;
      if (state[root] != 0) continue;
      stack.push_back({root, 0});
      state[root] = 1;
      while (!stack.empty()) {
        auto& [node, next] = stack.back();
        const GraphOpNode& gn = g_.nodes()[node];
        if (next < gn.inputs.size()) {
          const uint32_t in = gn.inputs[next++];
          if (in == kGraphAbsent) continue;
          if (in >= g_.tensor_count()) {
            *error = "graph compile: " + op_text(gn.kind) + " reads a tensor that does not exist";
            return false;
          }
          const uint32_t p = g_.info(in).node;
          if (state[p] == 1) {
            *error = "graph compile: the graph has a cycle through " + op_text(gn.kind);
            return false;
          }
          if (state[p] == 0) {
            state[p] = 1;
            stack.push_back({p, 0});
          }
          continue;
        }
        state[node] = 2;
        if (gn.kind == GraphOpKind::kPlaceholder && !fed_[gn.outputs[0]]) {
          const GraphTensorInfo& info = g_.info(gn.outputs[0]);
          *error = "graph compile: placeholder '" + info.name + "' " + graph_shape_text(info.shape) +
                   " has no feed";
          return false;
        }
        order_.push_back(node);
        stack.pop_back();
      }
    }
    return true;
  }

  void count_readers(GraphScheduleView* view) const {
    const uint32_t count = g_.tensor_count();
    view->readers.assign(count, 0);
    view->only_reader.assign(count, -1);
    view->target.assign(count, 0);
    view->reader_nodes.assign(count, {});
    for (uint32_t i : order_) {
      for (uint32_t in : g_.nodes()[i].inputs) {
        if (in == kGraphAbsent) continue;
        view->readers[in] += 1;
        view->reader_nodes[in].push_back(i);
        view->only_reader[in] = view->readers[in] == 1 ? static_cast<int64_t>(i) : -1;
      }
    }
    for (GraphTensor t : exe_->targets_) view->target[t.index] = 1;
  }

  uint32_t slot_of(uint32_t tensor) {
    auto it = slot_index_.find(tensor);
    if (it != slot_index_.end()) return it->second;
    const GraphTensorInfo& info = g_.info(tensor);
    GraphExecutable::Slot s;
    s.tensor = tensor;
    s.type = info.type;
    s.held = half_ && device_data_type_is_float(info.type) ? DeviceDataType::kFloat16 : info.type;
    s.shape = info.shape;
    s.elements = info.elements;
    const uint32_t index = static_cast<uint32_t>(exe_->slots_.size());
    s.root = index;
    const GraphOpNode& producer = g_.nodes()[info.node];
    if (producer.kind == GraphOpKind::kConstant) {
      s.storage = GraphExecutable::Slot::Storage::kConstant;
      s.constant = producer.attrs.values;
      if (s.held != s.type && s.constant != nullptr) {
        auto rounded = std::make_shared<GraphValues>(*s.constant);
        device_values_normalise(s.held, rounded->data(), rounded->size());
        s.constant = rounded;
      }
    } else if (producer.kind == GraphOpKind::kPlaceholder) {
      s.storage = GraphExecutable::Slot::Storage::kFeed;
    }
    if (s.elements == 0 && s.storage != GraphExecutable::Slot::Storage::kFeed) {
      s.storage = GraphExecutable::Slot::Storage::kEmpty;
    }
    exe_->slots_.push_back(std::move(s));
    slot_index_.emplace(tensor, index);
    return index;
  }

  bool make_slots(std::vector<GraphPlannedStep>& planned, std::string* error) {
    for (GraphTensor t : exe_->feeds_) exe_->feed_slots_.push_back(slot_of(t.index));
    for (GraphPlannedStep& p : planned) {
      if (is_alias_step(g_, p, half_)) {
        const uint32_t in = slot_of(p.inputs[0]);
        const uint32_t out = slot_of(p.outputs[0]);
        GraphExecutable::Slot& s = exe_->slots_[out];
        s.storage = GraphExecutable::Slot::Storage::kAlias;
        s.root = exe_->slots_[in].root;
        exe_->alias_slots_.push_back(out);
        continue;
      }
      steps_.push_back(std::move(p));
    }
    for (GraphTensor t : exe_->targets_) exe_->target_slots_.push_back(slot_of(t.index));
    mark_stored_feeds();
    (void)error;
    return true;
  }

  // Feeds that stored-weight products alone read (no other step, no alias, no result) are
  // handed to them as the caller's bytes: converting them to f32 would copy a whole weight.
  void mark_stored_feeds() {
    for (const GraphPlannedStep& p : steps_) {
      for (uint32_t t : p.inputs) {
        if (t != kGraphAbsent) slot_of(t);  // every slot exists before the marks are sized
      }
    }
    auto& slots = exe_->slots_;
    std::vector<uint8_t> stored_use(slots.size(), 0), other_use(slots.size(), 0);
    for (const GraphPlannedStep& p : steps_) {
      for (size_t i = 0; i < p.inputs.size(); ++i) {
        if (p.inputs[i] == kGraphAbsent) continue;
        const uint32_t slot = slot_of(p.inputs[i]);
        const uint32_t root = slots[slot].root;
        const bool stored = p.kind == GraphOpKind::kFusedStoredMatMul && i == 1 && slot == root;
        (stored ? stored_use : other_use)[root] = 1;
      }
    }
    for (uint32_t t : exe_->target_slots_) other_use[slots[t].root] = 1;
    for (uint32_t s : exe_->feed_slots_) {
      slots[s].stored = stored_use[s] != 0 && other_use[s] == 0 && slots[s].elements != 0;
    }
  }

  GraphOperand operand(uint32_t tensor) {
    GraphOperand o;
    if (tensor == kGraphAbsent) return o;
    const uint32_t slot = slot_of(tensor);
    const GraphExecutable::Slot& s = exe_->slots_[slot];
    const GraphExecutable::Slot& root = exe_->slots_[s.root];
    o.present = true;
    o.type = s.type;
    o.shape = s.shape;
    o.elements = s.elements;
    if (root.storage == GraphExecutable::Slot::Storage::kConstant && root.constant != nullptr) {
      o.constant = root.constant->data();
    } else if (root.storage == GraphExecutable::Slot::Storage::kEmpty) {
      o.constant = g_empty_block;
    }
    return o;
  }

  bool bind_kernels(const GraphKernelTable& table, std::vector<GraphPlannedStep>& planned,
                    std::string* error) {
    (void)planned;
    for (GraphPlannedStep& p : steps_) {
      const uint32_t k = static_cast<uint32_t>(p.kind);
      GraphKernelFactory factory = k < table.factories.size() ? table.factories[k] : nullptr;
      if (factory == nullptr) {
        *error = "graph compile: no kernel runs " + op_text(p.kind);
        return false;
      }
      GraphStepDesc desc;
      desc.kind = p.kind;
      desc.attrs = p.attrs;
      desc.epilogue = p.epilogue;
      for (uint32_t t : p.inputs) desc.inputs.push_back(operand(t));
      for (uint32_t t : p.outputs) desc.outputs.push_back(operand(t));
      std::string why;
      std::unique_ptr<GraphKernel> kernel = factory(desc, &why);
      if (kernel == nullptr) {
        *error = op_text(p.kind) + ": " + (why.empty() ? "no kernel takes these operands" : why);
        return false;
      }
      GraphExecutable::Step step;
      step.kind = p.kind;
      step.kernel = std::move(kernel);
      step.own_attrs = p.own_attrs;
      step.epilogue = p.epilogue;
      step.fused_nodes = p.fused_nodes;
      bool any_output = false;
      for (uint32_t t : p.inputs) step.inputs.push_back(t == kGraphAbsent ? kGraphNoSlot : slot_of(t));
      for (uint32_t t : p.outputs) {
        const uint32_t slot = slot_of(t);
        const GraphExecutable::Slot& s = exe_->slots_[slot];
        step.outputs.push_back(slot);
        any_output = any_output || s.elements != 0;
        const bool keeps = graph_kind_keeps_values(p.kind) && s.held == s.type;
        step.normalise.push_back(s.held != DeviceDataType::kFloat32 && !keeps ? 1 : 0);
      }
      step.empty = !any_output;
      for (uint32_t s : step.inputs) {
        if (s != kGraphNoSlot && exe_->slots_[s].stored) step.fed.resize(step.inputs.size());
      }
      step.in_ptrs.resize(step.inputs.size());
      step.out_ptrs.resize(step.outputs.size());
      exe_->workspace_bytes_ = std::max(exe_->workspace_bytes_, step.kernel->workspace_bytes());
      exe_->steps_.push_back(std::move(step));
    }
    return true;
  }

  bool plan_memory(std::string* error) {
    auto& slots = exe_->slots_;
    const int64_t end = static_cast<int64_t>(exe_->steps_.size());
    std::vector<GraphLifetime> life(slots.size());
    std::vector<uint8_t> written(slots.size(), 0);
    for (size_t i = 0; i < slots.size(); ++i) life[i].first = life[i].last = -1;
    for (int64_t i = 0; i < end; ++i) {
      const GraphExecutable::Step& step = exe_->steps_[static_cast<size_t>(i)];
      for (uint32_t s : step.inputs) {
        if (s == kGraphNoSlot) continue;
        const uint32_t r = slots[s].root;
        life[r].last = std::max(life[r].last, i);
      }
      for (uint32_t s : step.outputs) {
        if (!written[s]) life[s].first = i;
        written[s] = 1;
        life[s].last = std::max(life[s].last, i);
      }
    }
    for (uint32_t s : exe_->target_slots_) life[slots[s].root].last = end;
    // A target that shows a feed is copied from a private copy of that feed, never from the
    // caller's memory, which another result may overwrite first.
    exe_->feed_direct_.assign(exe_->feed_slots_.size(), 1);
    for (size_t f = 0; f < exe_->feed_slots_.size(); ++f) {
      const uint32_t s = exe_->feed_slots_[f];
      life[s].first = -1;
      for (uint32_t t : exe_->target_slots_) {
        if (slots[t].root == s) exe_->feed_direct_[f] = 0;
      }
    }
    for (size_t i = 0; i < slots.size(); ++i) {
      if (life[i].last < life[i].first) life[i].last = life[i].first;
    }
    // Concatenations whose inputs can be written where the output holds them.
    std::vector<int64_t> inside(slots.size(), -1);  // byte offset inside the concat's output
    std::vector<uint32_t> host(slots.size(), kGraphNoSlot);
    place_concats(life, written, &inside, &host);
    std::vector<GraphLifetime> arena;
    std::vector<uint32_t> arena_slots;
    for (size_t i = 0; i < slots.size(); ++i) {
      const auto storage = slots[i].storage;
      if (storage != GraphExecutable::Slot::Storage::kArena &&
          storage != GraphExecutable::Slot::Storage::kFeed)
        continue;
      if (slots[i].elements == 0 || inside[i] >= 0 || slots[i].stored) continue;
      GraphLifetime l = life[i];
      l.bytes = slots[i].elements * sizeof(float);
      arena.push_back(l);
      arena_slots.push_back(static_cast<uint32_t>(i));
    }
    std::vector<uint64_t> offsets;
    exe_->arena_bytes_ = graph_plan_arena(arena, &offsets);
    exe_->arena_ = static_cast<float*>(aligned_block(exe_->arena_bytes_));
    exe_->workspace_ = static_cast<float*>(aligned_block(exe_->workspace_bytes_));
    if (exe_->arena_ == nullptr || exe_->workspace_ == nullptr) {
      *error = "graph compile: out of memory for the activation arena";
      return false;
    }
    for (size_t j = 0; j < arena_slots.size(); ++j) {
      GraphExecutable::Slot& s = slots[arena_slots[j]];
      s.arena_offset = offsets[j];
      s.data = exe_->arena_ + offsets[j] / sizeof(float);
    }
    for (size_t i = 0; i < slots.size(); ++i) {
      if (inside[i] < 0) continue;
      GraphExecutable::Slot& s = slots[i];
      s.arena_offset = slots[host[i]].arena_offset + static_cast<uint64_t>(inside[i]);
      s.data = exe_->arena_ + s.arena_offset / sizeof(float);
    }
    for (GraphExecutable::Slot& s : slots) {
      if (s.elements == 0) {
        s.data = g_empty_block;
      } else if (s.storage == GraphExecutable::Slot::Storage::kConstant) {
        s.data = const_cast<float*>(s.constant->data());  // kernels only read inputs
      }
    }
    return true;
  }

  // A concatenation whose output is one block of its inputs end to end (every dim before the
  // axis has extent 1) gets the inputs laid out inside that block, so their producers write
  // them in place and the concatenation moves nothing: inputs computed by steps here, each
  // once, not results, not in another such block, and whole multiples of 64 bytes so every
  // part keeps the arena's alignment. The block lives from the first input's step to the last
  // use of any part.
  void place_concats(std::vector<GraphLifetime>& life, const std::vector<uint8_t>& written,
                     std::vector<int64_t>* inside, std::vector<uint32_t>* host) {
    auto& slots = exe_->slots_;
    std::vector<uint8_t> target(slots.size(), 0);
    for (uint32_t t : exe_->target_slots_) target[slots[t].root] = 1;
    for (const GraphExecutable::Step& step : exe_->steps_) {
      if (step.kind != GraphOpKind::kConcat || step.outputs.size() != 1) continue;
      const uint32_t out = step.outputs[0];
      const GraphExecutable::Slot& o = slots[out];
      const int64_t axis = g_.nodes()[g_.info(o.tensor).node].attrs.axis;
      if (o.storage != GraphExecutable::Slot::Storage::kArena || (*inside)[out] >= 0 ||
          o.elements == 0 || graph_dims_product(o.shape, 0, static_cast<size_t>(axis)) != 1)
        continue;
      bool ok = true;
      for (size_t k = 0; k < step.inputs.size() && ok; ++k) {
        const uint32_t in = step.inputs[k];
        const GraphExecutable::Slot& s = slots[in];
        ok = s.storage == GraphExecutable::Slot::Storage::kArena && s.root == in && written[in] &&
             !target[in] && (*inside)[in] < 0 && (*host)[in] == kGraphNoSlot && in != out &&
             (s.elements * sizeof(float)) % kAlignBytes == 0;
        for (size_t j = 0; j < k && ok; ++j) ok = step.inputs[j] != in;
      }
      if (!ok) continue;
      int64_t offset = 0;
      for (uint32_t in : step.inputs) {
        (*inside)[in] = offset;
        (*host)[in] = out;
        (*host)[out] = out;
        offset += static_cast<int64_t>(slots[in].elements * sizeof(float));
        life[out].first = std::min(life[out].first, life[in].first);
        life[out].last = std::max(life[out].last, life[in].last);
      }
    }
  }

  static void* aligned_block(uint64_t bytes) {
    const uint64_t size = bytes == 0 ? kAlignBytes : (bytes + kAlignBytes - 1) & ~(kAlignBytes - 1);
    void* p = std::aligned_alloc(kAlignBytes, size);
    if (p != nullptr) std::memset(p, 0, size);
    return p;
  }

  const Graph& g_;
  const GraphShapedTypeMap& feeds_;
  const std::vector<GraphTensor>& targets_;
  const GraphCompilationDescriptor& cd_;
  const bool half_;
  std::shared_ptr<GraphExecutable> exe_;
  std::vector<uint8_t> fed_;
  std::vector<uint32_t> order_;
  std::vector<GraphPlannedStep> steps_;
  std::map<uint32_t, uint32_t> slot_index_;
};

std::shared_ptr<GraphExecutable> Graph::compile(const GraphDevice& device,
                                                const GraphShapedTypeMap& feeds,
                                                const std::vector<GraphTensor>& targets,
                                                const GraphCompilationDescriptor& descriptor,
                                                std::string* error) {
  const bool neural_engine = device.descriptor().has_ane &&
                             descriptor.preferred_device == kGraphDeviceNeuralEngine &&
                             (descriptor.allowed_devices & kGraphDeviceMaskNeuralEngine) != 0;
  std::string message;
  try {
    GraphCompiler compiler(*this, feeds, targets, descriptor, neural_engine);
    std::shared_ptr<GraphExecutable> exe = compiler.compile(&message);
    if (exe == nullptr && error != nullptr) *error = message;
    return exe;
  } catch (const std::bad_alloc&) {
    if (error != nullptr) *error = "graph compile: out of memory";
    return nullptr;
  }
}

}  // namespace vexa
