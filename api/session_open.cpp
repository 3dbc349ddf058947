// Opening a model on a session: inspect, backend checks, engine building with its fall-backs,
// and the unload / reload / reset / close lifecycle.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/api_alloc.h"
#include "api/config.h"
#include "api/error_map.h"
#include "api/session_internal.h"
#include "api/text_util.h"
#include "core/atomics.h"
#include "core/clock.h"
#include "core/container_access.h"
#include "core/model_load.h"
#include "cpu/interpreter.h"
#include "cpu/op_table.h"
#include "generative/bridge.h"
#include "gpu/graph_engine.h"
#include "platform/thread_pool.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr uint64_t kMinFdModelBytes = 512;
constexpr uint32_t kDefaultContextLength = 2048;
constexpr uint64_t kWarmupMinBytes = 4;
constexpr uint64_t kF32Bytes = 4;

Session* as_session(vexa_session* s) { return reinterpret_cast<Session*>(s); }

uint32_t backend_u32(Backend b) { return static_cast<uint32_t>(b); }

void vlm_lock(Session* s) {
  while (atomic_cas_u32(&s->vlm_lock, 0, 1, kOrderAcquire) != 0) {
  }
}
void vlm_unlock(Session* s) { atomic_store_u32(&s->vlm_lock, 0, kOrderRelease); }

void set_vlm_handle(Session* s, VlmHandle* h) {
  __atomic_store_n(&s->vlm_handle, h, __ATOMIC_RELEASE);
}

ErrorCode pack_status_code(PackStatus status) {
  switch (status) {
    case PackStatus::kIoFailed: return ErrorCode::kIo;
    case PackStatus::kAllocationFailed: return ErrorCode::kOutOfMemory;
    case PackStatus::kSlotBusy: return ErrorCode::kBusy;
    case PackStatus::kTensorHashMismatch: return ErrorCode::kIntegrity;
    default: return ErrorCode::kInvalidModel;
  }
}

void set_pack_error(Session* s, PackStatus status) {
  session_set_error(s, pack_status_code(status), pack_status_text(status));
}

// A failed model load: its text decides the code; the text is freed here.
void set_load_error(Session* s, ModelLoadResult* r) {
  const std::string_view text = expected_message_view(r->error);
  session_set_error(s, static_cast<uint32_t>(model_error_code(text.data(), text.size())), text);
  expected_message_free(&r->error);
}

void store_container(Session* s, const OpenContainer& c) {
  if (s->container_loaded) container_close(&s->container);
  s->container = c;
  s->container_loaded = 1;
}

uint64_t max_u64(uint64_t a, uint64_t b) { return a > b ? a : b; }

}  // namespace

VlmHandle* session_vlm_handle(const Session* s) {
  return __atomic_load_n(&s->vlm_handle, __ATOMIC_ACQUIRE);
}

uint64_t session_cpu_input_count(const Session* s, uint64_t n) {
  const cpu::CpuState* st = s->cpu_engine;
  if (st == nullptr || !st->has_graph_input) return 0;
  const uint64_t count = st->values[st->input_value].element_count();
  if (n < 2 || n == st->batch) return count;
  const uint64_t per_run = st->batch > 1 ? st->batch : 1;
  return n * (count / per_run);
}

uint64_t session_cpu_output_count(const Session* s, uint64_t i, uint64_t n) {
  const cpu::CpuState* st = s->cpu_engine;
  if (st == nullptr) return 0;
  if (i > 0) {
    return i < st->output_count ? st->values[st->outputs[i]].element_count() : 0;
  }
  const uint64_t count = st->values[st->first_output].element_count();
  if (n < 2 || n == st->batch) return count;
  const uint64_t per_run = st->batch > 1 ? st->batch : 1;
  return (n / per_run) * (per_run * (count / per_run));
}

void session_free_stream(Session* s) {
  for (uint64_t i = 0; i < s->stream_chunk_count && i < kMaxStreamChunks; ++i) {
    std::free(s->stream_chunks[i]);
    s->stream_chunks[i] = nullptr;
    s->stream_chunk_lens[i] = 0;
  }
  s->stream_active = 0;
  s->stream_chunk_count = 0;
  s->stream_cursor = 0;
}

void session_release_engines(Session* s) {
  session_free_stream(s);
  vlm_lock(s);
  VlmHandle* h = session_vlm_handle(s);
  set_vlm_handle(s, nullptr);
  vlm_unlock(s);
  vlm_handle_free(h);
  if (s->graph_engine_present) {
    mps_state_destroy(&s->graph_engine);
    s->graph_engine = nullptr;
    s->graph_engine_present = 0;
  }
  if (s->cpu_engine_present) {
    cpu::cpu_state_destroy(&s->cpu_engine);
    s->cpu_engine = nullptr;
    s->cpu_engine_present = 0;
  }
  if (s->weight_slot_present) {
    weight_slot_release(&s->weight_slot);
    buffer_release(&s->weight_slot);
    std::memset(&s->weight_slot, 0, sizeof s->weight_slot);
    s->weight_slot_present = 0;
  }
  s->opened = 0;
  s->active_backend = 0;
}

void session_close(Session* s) {
  session_release_engines(s);
  if (s->container_loaded) {
    if (s->container.fd < 0 && s->container.image != nullptr) {
      wipe_buffer(s->container.image, s->container.image_size);
    }
    container_close(&s->container);
    std::memset(&s->container, 0, sizeof s->container);
    s->container.fd = -1;
    s->container_loaded = 0;
  }
  session_drop_labels(s);
  session_clear_model_info(s);
  s->meta_cache_used = 0;
  s->meta_cache_count = 0;
  s->model_info_ready = 0;
}

bool session_resolve_path(Session* s, const char* path, uint64_t len, char* buffer,
                          uint64_t* out_len) {
  const TextArg p = text_or_empty(path, len);
  const Config& c = s->config;
  const uint64_t dir_len = c.models_dir_len < kConfigPathCapacity ? c.models_dir_len : 0;
  uint64_t n = 0;
  // A path cut to fit the field would name some other file.
  if (p.len >= kModelPathCapacity) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Model path is longer than 511 bytes");
    return false;
  }
  if (p.len > 0 && p.ptr[0] != '/' && dir_len > 0) {
    const bool has_slash = c.models_dir[dir_len - 1] == '/';
    const uint64_t joined = dir_len + (has_slash ? 0 : 1) + p.len;
    if (joined >= kModelPathCapacity) {
      session_set_error(s, ErrorCode::kInvalidArgument,
                        "Model path joined with the models directory is longer than 511 bytes");
      return false;
    }
    std::memcpy(buffer, c.models_dir, dir_len);
    n = dir_len;
    if (!has_slash) buffer[n++] = '/';
    std::memcpy(buffer + n, p.ptr, p.len);
    n += p.len;
    buffer[n] = '\0';
  } else {
    n = copy_bounded(p.ptr, p.len, buffer, kModelPathCapacity);
  }
  if (n == 0) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Empty model path");
    return false;
  }
  *out_len = n;
  return true;
}

bool session_inspect_path(Session* s, const char* path, uint64_t len) {
  session_close(s);
  char buffer[kModelPathCapacity];
  uint64_t n = 0;
  if (!session_resolve_path(s, path, len, buffer, &n)) return false;
  ModelLoadResult r = model_load_path(buffer, n);
  if (!r.ok()) {
    set_load_error(s, &r);
    return false;
  }
  store_container(s, r.value);
  s->opened_from_fd = 0;
  s->model_path_len = copy_bounded(buffer, n, s->model_path, kModelPathCapacity);
  if (!session_load_model_info(s, &s->container)) return false;
  session_clear_error(s);
  return true;
}

bool session_inspect_fd_impl(Session* s, int32_t fd, uint64_t offset, uint64_t length) {
  if (fd < 0 || length < kMinFdModelBytes) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Invalid file descriptor or length");
    return false;
  }
  session_close(s);
  ModelLoadResult r = model_load_fd(fd, offset, length);
  if (!r.ok()) {
    set_load_error(s, &r);
    return false;
  }
  store_container(s, r.value);
  s->opened_from_fd = 1;
  s->source_fd = fd;
  s->source_offset = offset;
  s->source_length = length;
  if (!session_load_model_info(s, &s->container)) return false;
  session_clear_error(s);
  return true;
}

namespace {

bool check_backend_impl(Session* s, uint32_t backend) {
  if (!s->model_info_ready) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Call inspect or open before check_backend");
    return false;
  }
  if (backend > backend_u32(Backend::kNpu)) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Invalid backend constant");
    return false;
  }
  if (!probe_backend_impl(&s->config, backend)) {
    session_set_error(s, ErrorCode::kBackendUnavailable,
                      "Requested hardware backend is unavailable on this device");
    return false;
  }
  const bool gpu = backend == backend_u32(Backend::kGpu);
  const bool npu = backend == backend_u32(Backend::kNpu);
  if (s->is_generative) {
    if (npu) {
      session_set_error(s, ErrorCode::kUnsupported,
                        "Generative LLM/VLM models do not support NPU backend");
      return false;
    }
    session_clear_error(s);
    return true;
  }
  if (gpu && s->input_count > 1 && !mps_supported()) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "Multi-input graph execution on this GPU backend is not supported yet; use "
                      "CPU or AUTO");
    return false;
  }
  if (npu && s->input_count > 1) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "The NE backend runs single-input graphs; use GPU, CPU or AUTO");
    return false;
  }
  if (npu && s->input_count == 1 && s->inputs[0].dtype == static_cast<uint32_t>(TensorDtype::kI64)) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "The NE backend computes in FP16 and cannot hold I64 inputs exactly; use "
                      "GPU, CPU or AUTO");
    return false;
  }
  char message[kErrorMessageCapacity];
  uint64_t used = 0;
  bool refused = false;
  const uint64_t nodes = container_node_count(&s->container);
  for (uint64_t n = 0; n < nodes; ++n) {
    const uint64_t kind = container_read_node(&s->container, n).op_kind;
    bool ok = false;
    if (backend == backend_u32(Backend::kCpu)) {
      ok = cpu::cpu_supports_op(kind);
    } else if (gpu || npu) {
      ok = mps_supports_op(kind, backend);
    } else {
      ok = cpu::cpu_supports_op(kind) || mps_supports_op(kind, backend_u32(Backend::kGpu));
    }
    if (ok) continue;
    const std::string_view name = op_kind_name(kind);
    char entry[160];
    const int len = std::snprintf(entry, sizeof entry, "%snode_%llu:%.*s",
                                  refused ? ", " : "Unsupported operators for requested backend: ",
                                  static_cast<unsigned long long>(n),
                                  static_cast<int>(name.size()), name.data());
    refused = true;
    if (len > 0 && static_cast<uint64_t>(len) < sizeof entry &&
        used + static_cast<uint64_t>(len) < kErrorMessageCapacity) {
      std::memcpy(message + used, entry, static_cast<size_t>(len));
      used += static_cast<uint64_t>(len);
    }
  }
  if (refused) {
    session_set_error(s, ErrorCode::kUnsupported, std::string_view(message, used));
    return false;
  }
  if (gpu || npu) {
    const uint64_t limit = gpu_working_set_limit();
    if (limit != 0 && s->estimated_memory_bytes > limit) {
      session_set_error(s, ErrorCode::kOutOfMemory,
                        "Estimated model memory exceeds device recommended working set size");
      return false;
    }
  }
  session_clear_error(s);
  return true;
}

bool open_generative(Session* s) {
  if (s->requested_backend == backend_u32(Backend::kNpu)) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "Generative LLM/VLM models do not support NPU backend");
    return false;
  }
  const uint32_t context = s->context_length < 1 ? kDefaultContextLength : s->context_length;
  // The engine's sixth open argument is its backend policy, not a folder: the cache directory
  // would be refused as an unknown policy, and the engine reads none. Auto policy.
  const char* backend = nullptr;
  VlmHandle* handle = nullptr;
  uint32_t code = 0;
  char message[kVlmMessageCapacity] = {};
  bool ok;
  if (s->opened_from_fd) {
    ok = vlm_open_fd_default(s->source_fd, s->source_offset, s->source_length, context,
                             s->activation_fp16 != 0 ? 1 : 0, backend,
                             s->config.verify_weights != 0 ? 1 : 0, &handle, &code, message,
                             sizeof message) != 0;
  } else {
    ok = vlm_open_path_default(s->model_path, context, s->activation_fp16 != 0 ? 1 : 0, backend,
                               s->config.verify_weights != 0 ? 1 : 0, &handle, &code, message,
                               sizeof message) != 0;
  }
  if (ok && handle != nullptr) {
    set_vlm_handle(s, handle);
    s->active_backend = backend_u32(Backend::kGpu);
    s->opened = 1;
    session_clear_error(s);
    return true;
  }
  if (ok) vlm_handle_free(handle);
  message[sizeof message - 1] = '\0';
  const size_t len = std::strlen(message);
  session_set_error(s, code > 0 ? code : static_cast<uint32_t>(ErrorCode::kInvalidModel),
                    len > 0 ? std::string_view(message, len)
                            : std::string_view("Failed to open generative LLM/VLM session"));
  return false;
}

void attach_graph_engine(Session* s, MpsState* engine) {
  if (s->graph_engine_present) mps_state_destroy(&s->graph_engine);
  s->graph_engine = engine;
  s->graph_engine_present = 1;
  if (!mps_uses_slot_weights(&s->graph_engine)) mps_binding_release(&s->weight_slot);
  if (s->output_count >= 2) mps_prepare_output_buffers(&s->graph_engine);
}

// Creates the graph engine; on failure the message is written as code 12 when `report`.
MpsState* create_graph_engine(Session* s, uint32_t batch, bool ne_capable, bool report) {
  MpsCreateResult r = mps_state_create(&s->container, s->weight_slot.data, s->weight_slot.context,
                                       batch, ne_capable);
  if (r.ok()) return r.value;
  if (report) {
    session_set_error(s, ErrorCode::kUnsupported, expected_message_view(r.error));
  }
  expected_message_free(&r.error);
  return nullptr;
}

bool build_cpu_engine(Session* s, uint32_t batch, uint32_t threads) {
  cpu::CpuBuildOptions options;
  options.batch = batch;
  options.threads = threads;
  cpu::CpuCreateResult r = cpu::cpu_state_create_with(&s->container, s->weight_slot.data, options);
  if (r.tag != 0) {
    session_release_engines(s);
    // A model the engine refuses is an invalid model whatever the reason; running out of memory
    // says nothing about the model, and the caller may retry after freeing some.
    const ErrorCode code =
        r.code == ErrorCode::kOutOfMemory ? ErrorCode::kOutOfMemory : ErrorCode::kInvalidModel;
    session_set_error(s, code, cpu::cpu_create_message(r));
    cpu::cpu_create_result_release(&r);
    return false;
  }
  cpu::cpu_set_context(&r.state, &s->cancel);
  if (s->cpu_engine_present) cpu::cpu_state_destroy(&s->cpu_engine);
  s->cpu_engine = r.state;
  s->cpu_engine_present = 1;
  s->active_backend = backend_u32(Backend::kCpu);
  cpu::cpu_create_result_release(&r);
  return true;
}

}  // namespace

bool session_open_engine(Session* s) {
  const uint32_t threads = s->config.threads > 0 ? s->config.threads : kDefaultThreads;
  if (s->container.fd < 0) {
    ModelLoadResult r = s->opened_from_fd
                            ? model_load_fd(s->source_fd, s->source_offset, s->source_length)
                            : model_load_path(s->model_path, s->model_path_len);
    if (!r.ok()) {
      set_load_error(s, &r);
      return false;
    }
    store_container(s, r.value);
  }
  if (s->is_generative) return open_generative(s);

  const uint32_t req = s->requested_backend;
  const bool want_gpu = req == backend_u32(Backend::kGpu);
  const bool want_npu = req == backend_u32(Backend::kNpu);
  const bool single_f32 =
      s->input_count == 1 && s->inputs[0].dtype == static_cast<uint32_t>(TensorDtype::kF32);
  const bool multi_ok = s->input_count == 1 || mps_supported();
  if (want_npu && !single_f32) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "The NE backend requires a single F32 input tensor; use GPU, CPU or AUTO for "
                      "multi-input or I64/F16/U8 inputs");
    return false;
  }
  if (want_gpu && !multi_ok) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "Multi-input graph execution on this GPU backend is not supported yet; use "
                      "CPU or AUTO");
    return false;
  }
  const uint32_t preference = s->backend_preference >= 1 && s->backend_preference <= 3
                                  ? s->backend_preference
                                  : backend_u32(Backend::kNpu);
  // Only an explicit AUTO request gets the automatic choice; any other stored value builds
  // the CPU engine.
  const bool want_auto = req == backend_u32(Backend::kAuto);
  const bool use_graph = multi_ok && (want_npu || want_gpu ||
                                      (want_auto && preference != backend_u32(Backend::kCpu)));

  // The slot covers the weights rounded up to whole 16384-byte pages (at least one page).
  const uint64_t data = s->container.weights_data_size;
  const uint64_t pages = data / kWeightSlotAlignmentBytes + (data % kWeightSlotAlignmentBytes != 0);
  const uint64_t slot_size = (pages == 0 ? 1 : pages) * kWeightSlotAlignmentBytes;
  bool have_slot = false;
  WeightSlotResult slot{};
  if (use_graph) {
    slot = weight_slot_alloc(slot_size, true);
    have_slot = slot.ok();
    if (!have_slot && !want_auto) {
      session_set_error(s, ErrorCode::kBackendUnavailable, "GPU/NPU slot allocation failed");
      return false;
    }
  }
  if (!have_slot) {
    slot = weight_slot_alloc(slot_size, false);
    if (!slot.ok()) {
      set_pack_error(s, slot.status);
      return false;
    }
  }
  if (s->weight_slot_present) {
    weight_slot_release(&s->weight_slot);
    buffer_release(&s->weight_slot);
  }
  s->weight_slot = slot.slot;
  s->weight_slot_present = 1;

  const WeightLoadResult loaded = weights_load(&s->container, &s->weight_slot, threads, false);
  if (loaded.failed) {
    session_release_engines(s);
    set_pack_error(s, loaded.status);
    return false;
  }
  if (s->config.verify_weights == 1 &&
      !container_verify_tensors(&s->container, s->weight_slot.data)) {
    session_release_engines(s);
    session_set_error(s, ErrorCode::kIntegrity, "Weight tensor XXH3-128 hash verification failed");
    return false;
  }

  const uint32_t batch = s->batch_size > 1 ? s->batch_size : 1;
  const bool gpu_resident = use_graph && s->weight_slot.context != nullptr;
  if (gpu_resident && want_gpu) {
    MpsState* engine = create_graph_engine(s, batch, false, true);
    if (engine == nullptr) {
      session_release_engines(s);  // keeps the engine's message
      return false;
    }
    attach_graph_engine(s, engine);
    mps_set_ne(&s->graph_engine, false);
    s->active_backend = backend_u32(Backend::kGpu);
  } else if (gpu_resident && want_npu) {
    MpsState* engine = create_graph_engine(s, batch, true, true);
    if (engine == nullptr) {
      session_release_engines(s);  // keeps the engine's message
      return false;
    }
    attach_graph_engine(s, engine);
    if (!mps_set_ne(&s->graph_engine, true)) {
      session_release_engines(s);
      session_set_error(s, ErrorCode::kBackendUnavailable, "NPU compilation failed for this model");
      return false;
    }
    s->active_backend = backend_u32(Backend::kNpu);
  } else if (gpu_resident && want_auto) {
    bool gpu_only_failed = false;
    bool attached = false;
    if (preference == backend_u32(Backend::kGpu) && s->activation_fp16 == 0) {
      if (MpsState* engine = create_graph_engine(s, batch, false, false)) {
        attach_graph_engine(s, engine);
        mps_set_ne(&s->graph_engine, false);
        s->active_backend = mps_active_backend(&s->graph_engine);
        attached = true;
      } else {
        gpu_only_failed = true;
      }
    }
    if (!attached) {
      if (MpsState* engine = create_graph_engine(s, batch, true, false)) {
        attach_graph_engine(s, engine);
        if (gpu_only_failed) {
          mps_set_ne(&s->graph_engine, false);
        } else if (gpu_has_ane() && single_f32) {
          mps_set_ne(&s->graph_engine, true);
        }
        s->active_backend = mps_active_backend(&s->graph_engine);
      } else if (!build_cpu_engine(s, batch, threads)) {
        return false;
      }
    }
  } else if (!build_cpu_engine(s, batch, threads)) {
    return false;
  }
  s->opened = 1;
  session_clear_error(s);
  return true;
}

namespace {

// One inference on zeroed buffers sized for the f32 data the engine reads and writes; its
// outcome (also an allocation failure) is ignored.
void run_warmup(Session* s) {
  if (s->is_generative || !s->warmup || s->input_count != 1 || s->output_count < 1) return;
  uint64_t in_count = s->inputs[0].element_count;
  uint64_t out_count = s->outputs[0].element_count;
  if (s->cpu_engine_present) {
    const uint64_t batch = s->cpu_engine->batch;
    in_count = max_u64(in_count, session_cpu_input_count(s, batch));
    out_count = max_u64(out_count, session_cpu_output_count(s, 0, batch));
  }
  if (s->graph_engine_present) {
    in_count = max_u64(in_count, mps_input_floats(&s->graph_engine, 0));
    out_count = max_u64(out_count, mps_output_floats(&s->graph_engine, 0));
  }
  const uint64_t in_bytes = max_u64(in_count * kF32Bytes, kWarmupMinBytes);
  const uint64_t out_bytes = max_u64(out_count * kF32Bytes, kWarmupMinBytes);
  auto* in = static_cast<float*>(api_calloc(1, static_cast<size_t>(in_bytes)));
  auto* out = static_cast<float*>(api_calloc(1, static_cast<size_t>(out_bytes)));
  if (in != nullptr && out != nullptr) {
    if (s->graph_engine_present) {
      const ThreadCapScope cap(s->config.threads);
      (void)mps_run_entry(&s->graph_engine, in, out);
    } else if (s->cpu_engine_present) {
      (void)cpu::cpu_run(&s->cpu_engine, in, out);
    }
  }
  std::free(in);
  std::free(out);
}

bool session_unload_impl(Session* s) {
  VlmHandle* const h = session_vlm_handle(s);
  if (h != nullptr) {
    if (!vlm_unload(h)) {
      session_set_error(s, ErrorCode::kInference, "Failed to unload generative session");
      return false;
    }
    s->opened = 0;
  } else {
    session_release_engines(s);
  }
  session_clear_error(s);
  return true;
}

bool session_reload_impl(Session* s) {
  if (s->opened) return true;
  if (!s->model_info_ready) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Cannot reload a Session that was never opened");
    return false;
  }
  VlmHandle* const h = session_vlm_handle(s);
  if (h != nullptr) {
    if (!vlm_reload(h)) {
      session_set_error(s, ErrorCode::kInference, "Failed to reload generative session");
      return false;
    }
    s->opened = 1;
    session_clear_error(s);
    return true;
  }
  return session_open_engine(s);
}

bool session_reset_impl(Session* s) {
  atomic_store_u32(&s->cancel, 0, kOrderRelease);
  session_free_stream(s);
  VlmHandle* const h = session_vlm_handle(s);
  if (h != nullptr) (void)vlm_reset(h);
  session_clear_error(s);
  return true;
}

// Runs op holding the busy flag for its whole duration; a second caller gets code 9.
template <typename Op>
int32_t with_session(vexa_session* session, Op&& op) {
  Session* s = as_session(session);
  if (s == nullptr) return 0;
  if (!session_try_acquire(s)) {
    session_set_error(s, ErrorCode::kBusy, "Session is busy");
    return 0;
  }
  int32_t result = 0;
  try {
    result = op(s) ? 1 : 0;
  } catch (...) {
    session_set_error_from_current(s);
    result = 0;
  }
  session_release(s);
  return result;
}

}  // namespace

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API int32_t vexa_session_inspect(vexa_session* session, const char* path, uint64_t len) {
  return with_session(session, [&](Session* s) { return session_inspect_path(s, path, len); });
}

VEXA_API int32_t vexa_session_inspect_fd(vexa_session* session, int32_t fd, uint64_t offset,
                                         uint64_t length) {
  return with_session(session,
                      [&](Session* s) { return session_inspect_fd_impl(s, fd, offset, length); });
}

VEXA_API int32_t vexa_session_check_backend(vexa_session* session, uint32_t backend) {
  return with_session(session, [&](Session* s) { return check_backend_impl(s, backend); });
}

VEXA_API int32_t vexa_session_open(vexa_session* session, const char* path, uint64_t len) {
  return with_session(session, [&](Session* s) {
    if (!session_inspect_path(s, path, len) || !session_open_engine(s)) return false;
    run_warmup(s);
    return true;
  });
}

VEXA_API int32_t vexa_session_open_fd(vexa_session* session, int32_t fd, uint64_t offset,
                                      uint64_t length) {
  return with_session(session, [&](Session* s) {
    return session_inspect_fd_impl(s, fd, offset, length) && session_open_engine(s);
  });
}

VEXA_API int32_t vexa_session_unload(vexa_session* session) {
  return with_session(session, [&](Session* s) { return session_unload_impl(s); });
}

VEXA_API int32_t vexa_session_reload(vexa_session* session) {
  return with_session(session, [&](Session* s) { return session_reload_impl(s); });
}

VEXA_API int32_t vexa_session_reset(vexa_session* session) {
  return with_session(session, [&](Session* s) { return session_reset_impl(s); });
}

VEXA_API void vexa_session_cancel(vexa_session* session) {
  Session* s = as_session(session);
  if (s == nullptr) return;
  atomic_store_u32(&s->cancel, 1, kOrderRelease);
  vlm_lock(s);
  VlmHandle* const h = session_vlm_handle(s);
  if (h != nullptr) vlm_cancel(h);
  vlm_unlock(s);
}

}  // extern "C"
