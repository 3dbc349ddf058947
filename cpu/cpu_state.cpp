#include "cpu/cpu_state.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "core/clock.h"
#include "cpu/arena_planner.h"
#include "cpu/conv_packing.h"
#include "cpu/fusion.h"
#include "cpu/graph_check.h"
#include "cpu/precision_gate.h"

namespace vexa::cpu {

namespace {

constexpr uint64_t kNodeSection = 6;
constexpr uint64_t kValueSection = 8;
constexpr uint32_t kAxisWord = 26;
constexpr uint32_t kTransposeFirstPermWord = 19;

// Builds share process-wide study tables and read the environment; one at a time.
std::mutex g_build_mutex;

// Test hook: the n-th allocation of the next builds fails (0 = never). Read under the lock.
uint32_t g_fail_allocation_countdown = 0;

bool allocation_allowed() {
  if (g_fail_allocation_countdown == 0) return true;
  return --g_fail_allocation_countdown != 0;
}

void* zeroed_record(uint64_t bytes) {
  return allocation_allowed() ? std::calloc(1, bytes) : nullptr;
}

CpuCreateResult failure(ErrorCode code, std::string_view message) {
  CpuCreateResult r{};
  r.tag = 1;
  r.state = nullptr;
  r.message = bytes_copy(message.data(), message.size());
  r.code = code;
  return r;
}

CpuCreateResult success(CpuState* state) {
  CpuCreateResult r{};
  r.tag = 0;
  r.state = state;
  r.message = bytes_empty();
  r.code = ErrorCode::kOk;
  return r;
}

void* aligned_zeroed(uint64_t bytes) {
  if (!allocation_allowed()) return nullptr;
  const uint64_t size = round_up64(bytes == 0 ? kArenaAlignmentBytes : bytes);
  void* p = std::aligned_alloc(kArenaAlignmentBytes, size);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

void release_buffers(CpuState* s) {
  std::free(s->arena);
  std::free(s->im2col);
  std::free(s->fused_weights);
  std::free(s->packed_weights);
  s->arena = nullptr;
  s->im2col = nullptr;
  s->fused_weights = nullptr;
  s->packed_weights = nullptr;
}

// States allocated and not yet released, so tests can see a leaked one.
std::atomic<uint64_t> g_live_states{0};

// Test hook: sees each record after its wipe, just before it goes back.
std::atomic<void (*)(const CpuState*)> g_release_observer{nullptr};

void release_state(CpuState* s) {
  if (s == nullptr) return;
  g_live_states.fetch_sub(1, std::memory_order_relaxed);
  release_buffers(s);
  // The record holds the model's shapes and node list, including node records that fusion
  // moved past the final node count. A plain memset before free may be dropped by the
  // optimiser, so the wipe uses a store it has to keep.
  secure_zero(s, sizeof(CpuState));
  if (auto observe = g_release_observer.load(std::memory_order_acquire)) observe(s);
  std::free(s);
}

struct ReleasePlanner {
  void operator()(ArenaPlanner* p) const { std::free(p); }
};

struct ReleaseState {
  void operator()(CpuState* s) const { release_state(s); }
};
using StateOwner = std::unique_ptr<CpuState, ReleaseState>;

// Copies the value and node records word for word and records inputs and outputs. Nothing
// is derived from them yet: they are checked first.
bool copy_records(CpuState& s, const OpenContainer& c) {
  const uint64_t value_stride = container_section_stride(&c, kValueSection);
  const uint64_t node_stride = container_section_stride(&c, kNodeSection);
  if (value_stride < sizeof(CpuValue) || node_stride < sizeof(CpuNode)) return false;
  s.input_value = 0;
  s.first_output = 0;
  s.output_count = 0;
  s.has_graph_input = false;
  bool have_first_output = false;
  for (uint64_t v = 0; v < s.value_count; ++v) {
    std::memcpy(s.values[v].w, c.image + container_entry_offset(&c, kValueSection, v),
                sizeof(CpuValue));
    const uint64_t kind = s.values[v].kind();
    if (kind == kValueGraphInput && !s.has_graph_input) {
      s.input_value = v;
      s.has_graph_input = true;
    }
    if (kind == kValueGraphOutput) {
      if (!have_first_output) s.first_output = v;
      have_first_output = true;
      if (s.output_count < kMaxGraphOutputs) s.outputs[s.output_count++] = v;
    }
    s.data[v] = nullptr;
  }
  for (uint64_t n = 0; n < s.node_count; ++n) {
    std::memcpy(s.nodes[n].w, c.image + container_entry_offset(&c, kNodeSection, n),
                sizeof(CpuNode));
  }
  return true;
}

// Weights point into the borrowed storage; only called once their ranges were checked.
void point_at_weights(CpuState& s, uint8_t* weight_base) {
  for (uint64_t v = 0; v < s.value_count; ++v) {
    if (s.values[v].kind() == kValueWeight) {
      s.data[v] = reinterpret_cast<float*>(weight_base + s.values[v].data_offset());
    }
  }
}

// Activations are computed and stored as f32 whatever type the model names for them. Dims
// past the rank are cleared so no kernel can pick up a stray one.
void use_f32_storage(CpuState& s) {
  for (uint64_t v = 0; v < s.value_count; ++v) {
    CpuValue& val = s.values[v];
    for (uint64_t d = val.rank(); d < kMaxRank; ++d) val.w[kValueWordFirstDim + d] = 0;
    if (val.kind() == kValueWeight) continue;
    val.w[kValueWordDtype] = kDtypeF32;
    val.w[kValueWordByteSize] = kF32Bytes * val.element_count();
  }
}

int64_t normalised_axis(int64_t axis, uint64_t rank) {
  return axis < 0 ? axis + static_cast<int64_t>(rank) : axis;
}

bool node_batchable(const CpuState& s, const CpuNode& node) {
  switch (static_cast<OpKind>(node.kind())) {
    case OpKind::kConcat:
    case OpKind::kSplit:
    case OpKind::kGather:
    case OpKind::kSlice: {
      const uint64_t rank =
          node.input_count() > 0 && node.input(0) < s.value_count ? s.values[node.input(0)].rank() : 0;
      return normalised_axis(node.attr(kAxisWord), rank) != 0;
    }
    case OpKind::kDeformUnfold:
    case OpKind::kDetrTopK:
    case OpKind::kMaskToBoxLogit:
    case OpKind::kYoloNms:
      return false;
    case OpKind::kTranspose:
      return node.attr(kTransposeFirstPermWord) == 0;
    case OpKind::kFlatten:
      return node.input_count() > 0 && node.input(0) < s.value_count &&
             s.values[node.input(0)].dim(0) == s.values[node.output(0)].dim(0);
    default:
      return true;
  }
}

// Scales dims[0], the element count and the byte size; false when the result would pass the
// tensor element limit.
bool scale_value(CpuValue& v, uint64_t batch) {
  const uint64_t count = v.element_count() * batch;
  if (count > kMaxTensorElements) return false;
  v.w[kValueWordFirstDim] *= batch;
  v.w[kValueWordElementCount] = count;
  v.w[kValueWordByteSize] = kF32Bytes * count;
  return true;
}

// Resolves the batch. `scaled` tells whether shapes were scaled to a requested batch above 1.
// False when scaling would pass the tensor element limit (the shapes are then half scaled and
// the caller starts over with batch 1).
bool resolve_batch(CpuState& s, ArenaPlanner& p, uint64_t requested, bool& scaled) {
  scaled = false;
  const CpuValue& input = s.values[s.input_value];
  if (requested < 2 || !s.has_graph_input || input.rank() == 0 || input.dim(0) != 1) {
    s.batch = s.has_graph_input && input.rank() > 0 && input.dim(0) > 1 ? input.dim(0) : 1;
    return true;
  }
  for (uint64_t n = 0; n < s.node_count; ++n) {
    if (!node_batchable(s, s.nodes[n])) {
      s.batch = 1;
      return true;
    }
  }
  std::memset(p.placed, 0, sizeof p.placed);
  bool ok = scale_value(s.values[s.input_value], requested);
  p.placed[s.input_value] = 1;
  for (uint64_t n = 0; n < s.node_count && ok; ++n) {
    const CpuNode& node = s.nodes[n];
    bool reads_marked = false;
    for (uint32_t k = 0; k < node.input_count(); ++k) {
      const uint64_t v = node.input(k);
      reads_marked = reads_marked || (v < s.value_count && p.placed[v]);
    }
    if (!reads_marked) continue;
    for (uint32_t k = 0; k < node.output_count() && ok; ++k) {
      const uint64_t v = node.output(k);
      CpuValue& val = s.values[v];
      if (p.placed[v] || val.kind() == kValueWeight || val.rank() == 0) continue;
      ok = scale_value(val, requested);
      p.placed[v] = 1;
    }
  }
  std::memset(p.placed, 0, sizeof p.placed);
  s.batch = ok ? requested : 1;
  scaled = ok;
  return ok;
}

bool env_set(const char* name) { return std::getenv(name) != nullptr; }

// Copies and checks the records and resolves the batch; false with the error filled.
bool prepare_graph(CpuState& s, ArenaPlanner& p, const OpenContainer& c, uint8_t* weight_base,
                   uint64_t batch, bool& scaled, GraphCheckError& error) {
  if (!copy_records(s, c)) {
    error.code = ErrorCode::kInvalidModel;
    std::snprintf(error.message, sizeof error.message, "graph records in .vexa are too short");
    return false;
  }
  if (!graph_check_records(s, c.weights_data_size, error)) return false;
  point_at_weights(s, weight_base);
  use_f32_storage(s);
  if (!resolve_batch(s, p, batch, scaled)) {
    copy_records(s, c);
    point_at_weights(s, weight_base);
    use_f32_storage(s);
    resolve_batch(s, p, 1, scaled);
  }
  return true;
}

// The build proper, under the build lock. The owner releases the partial state on every early
// return and on any exception thrown on the way (messages and tables allocate).
CpuCreateResult build_state(const OpenContainer* container, uint8_t* weight_base,
                            const CpuBuildOptions& options) {
  StateOwner owner(static_cast<CpuState*>(zeroed_record(sizeof(CpuState))));
  if (!owner) return failure(ErrorCode::kOutOfMemory, "out of memory allocating CpuState");
  g_live_states.fetch_add(1, std::memory_order_relaxed);
  CpuState* s = owner.get();
  s->batch = options.batch > 1 ? options.batch : 1;
  s->threads = options.threads;

  const uint64_t value_count = container_section_count(container, kValueSection);
  const uint64_t node_count = container_section_count(container, kNodeSection);
  if (value_count < 1 || value_count > kMaxValues || node_count < 1 || node_count > kMaxNodes) {
    return failure(ErrorCode::kInvalidModel, "invalid graph node/value counts in .vexa");
  }
  s->value_count = value_count;
  s->node_count = node_count;

  std::unique_ptr<ArenaPlanner, ReleasePlanner> planner(
      static_cast<ArenaPlanner*>(zeroed_record(sizeof(ArenaPlanner))));
  if (!planner) {
    return failure(ErrorCode::kOutOfMemory, "out of memory allocating ArenaPlanner");
  }

  // A graph that cannot take the requested batch as a whole (a shape contract that the
  // scaled shapes break) runs one sample at a time instead.
  GraphCheckError error;
  const uint64_t requested = options.batch > kMaxBatch ? kMaxBatch : options.batch;
  bool scaled = false;
  if (!prepare_graph(*s, *planner, *container, weight_base, requested, scaled, error)) {
    return failure(error.code, error.message);
  }
  if (!graph_check_nodes(*s, error)) {
    bool retried = false;
    if (scaled) {
      prepare_graph(*s, *planner, *container, weight_base, 1, scaled, error);
      retried = graph_check_nodes(*s, error);
    }
    if (!retried) {
      return failure(error.code, error.message);
    }
  }

  const bool fuse = !env_set("VEXA_CPU_QCAL_OUT") && !env_set("VEXA_CPU_NOFUSE");
  if (fuse) {
    cpu_fuse_graph(*s, *planner);
    if (!graph_check_nodes(*s, error)) {
      return failure(error.code, error.message);
    }
  }

  // Sized from the node list that will run, so every kernel's need is covered.
  uint64_t workspace = 0;
  if (!graph_workspace_bytes(*s, workspace)) {
    return failure(ErrorCode::kInvalidModel, "convolution workspace size overflows");
  }

  s->arena_size = arena_plan(*s, *planner);
  s->arena = static_cast<float*>(aligned_zeroed(s->arena_size));
  if (s->arena == nullptr) {
    return failure(ErrorCode::kOutOfMemory, "out of memory allocating CPU activation arena");
  }
  for (uint64_t v = 0; v < s->value_count; ++v) {
    if (s->values[v].kind() != kValueWeight) {
      s->data[v] = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(s->arena) + planner->offset[v]);
    }
  }
  planner.reset();

  s->im2col_size = workspace;
  s->im2col = static_cast<float*>(aligned_zeroed(workspace));
  if (s->im2col == nullptr) {
    return failure(ErrorCode::kOutOfMemory, "out of memory allocating im2col workspace");
  }

  PrecisionGateResult precision = cpu_precision_gate(*container);
  if (!precision.accepted) {
    return failure(ErrorCode::kUnsupported, precision.message);
  }

  const char* dump = std::getenv("VEXA_CPU_DUMP");
  if (dump != nullptr && dump[0] != '\0' && std::strlen(dump) < kDumpDirCapacity) {
    std::memcpy(s->dump_dir, dump, std::strlen(dump) + 1);
  }
  s->profile = env_set("VEXA_CPU_PROFILE");

  cpu_study_arm(*s, *container, precision);
  // After the study, which rewrites weights in their stored layout when it is on.
  cpu_pack_conv_weights(*s, !s->study_enabled);
  return success(owner.release());
}

}  // namespace

CpuCreateResult cpu_state_create_with(const OpenContainer* container, uint8_t* weight_base,
                                      const CpuBuildOptions& options) {
  if (weight_base == nullptr) return failure(ErrorCode::kInvalidArgument, "missing weight storage");
  if (container == nullptr || container->image == nullptr) {
    return failure(ErrorCode::kInvalidArgument, "missing model container");
  }
  if (reinterpret_cast<uintptr_t>(weight_base) % kF32Bytes != 0) {
    return failure(ErrorCode::kInvalidArgument, "weight storage is not aligned for f32");
  }
  std::lock_guard<std::mutex> lock(g_build_mutex);
  try {
    return build_state(container, weight_base, options);
  } catch (const std::bad_alloc&) {
    return failure(ErrorCode::kOutOfMemory, "out of memory building CPU state");
  }
}

CpuCreateResult cpu_state_create(const OpenContainer* container, uint8_t* weight_base,
                                 uint64_t requested_batch) {
  CpuBuildOptions options;
  options.batch = requested_batch;
  return cpu_state_create_with(container, weight_base, options);
}

CpuCreateResult cpu_state_create_default(const OpenContainer* container, uint8_t* weight_base) {
  return cpu_state_create(container, weight_base, 1);
}

void cpu_create_result_release(CpuCreateResult* result) {
  if (result != nullptr) bytes_free(&result->message);
}

std::string_view cpu_create_message(const CpuCreateResult& result) {
  return bytes_view(&result.message);
}

void cpu_state_destroy(CpuHandle handle) {
  if (handle == nullptr || *handle == nullptr) return;
  release_state(*handle);
  *handle = nullptr;
}

uint64_t cpu_output_count(const CpuState* const* handle) {
  if (handle == nullptr || *handle == nullptr) return 0;
  return (*handle)->output_count;
}

float* cpu_output_data(const CpuState* const* handle, uint64_t k) {
  if (handle == nullptr || *handle == nullptr) return nullptr;
  const CpuState* s = *handle;
  if (k >= s->output_count || k >= kMaxGraphOutputs) return nullptr;
  return s->data[s->outputs[k]];
}

bool cpu_set_input(CpuState* const* handle, uint64_t value, const void* src, uint64_t bytes) {
  if (src == nullptr || handle == nullptr || *handle == nullptr) return false;
  CpuState* s = *handle;
  if (value >= s->value_count) return false;
  const CpuValue& v = s->values[value];
  if (v.kind() != kValueGraphInput || s->data[value] == nullptr) return false;
  if (bytes > v.byte_size()) return false;
  std::memcpy(s->data[value], src, bytes);
  return true;
}

void cpu_set_context(CpuState* const* handle, const uint32_t* cancel_flag) {
  if (handle == nullptr || *handle == nullptr) return;
  (*handle)->cancel_flag = cancel_flag;
}

void cpu_observe_release_for_testing(void (*observer)(const CpuState*)) {
  g_release_observer.store(observer, std::memory_order_release);
}

uint64_t cpu_live_state_count_for_testing() {
  return g_live_states.load(std::memory_order_relaxed);
}

void cpu_fail_allocation_for_testing(uint32_t n) {
  std::lock_guard<std::mutex> lock(g_build_mutex);
  g_fail_allocation_countdown = n;
}

double cpu_clock_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace vexa::cpu
