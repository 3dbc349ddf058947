#include "generative/vlm_session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "core/alloc_fault.h"
#include "core/atomics.h"
#include "core/clock.h"
#include "core/container_access.h"
#include "core/domain_error.h"
#include "core/exception_code.h"
#include "core/text_utf8.h"
#include "core/types.h"
#include "generative/processor.h"
#include "gpu/gpu_context.h"
#include "gpu/vx_graph.h"
#include "gpu/weight_slot.h"

namespace vexa {

namespace {

constexpr double kMsPerSecond = 1000.0;
// The container length word of the metadata region's header.
constexpr uint64_t kContainerLengthOffset = 32;
constexpr uint64_t kContainerLengthEnd = 40;
constexpr uint64_t kProbeBytes = 16384;

uint32_t code(ErrorCode c) { return static_cast<uint32_t>(c); }

int fail(VlmError* error, ErrorCode c, std::string_view message) {
  if (error != nullptr) {
    error->code = code(c);
    const size_t n = message.size() < kVlmErrorMessageBytes - 1 ? message.size()
                                                                 : kVlmErrorMessageBytes - 1;
    std::memcpy(error->message, message.data(), n);
    error->message[n] = '\0';
  }
  return 0;
}

void clear_error(VlmError* error) {
  if (error != nullptr) std::memset(error, 0, sizeof *error);
}

bool known_backend(const char* backend) {
  const std::string_view b(backend);
  return b == "auto" || b == "metal" || b == "mps" || b == "mpsgraph";
}

// A container that cannot be opened: 2 for I/O, 7 for memory, 3 for anything it refused.
ErrorCode open_status_code(uint64_t status) {
  if (status == static_cast<uint64_t>(PackStatus::kIoFailed)) return ErrorCode::kIo;
  if (status == static_cast<uint64_t>(PackStatus::kAllocationFailed)) return ErrorCode::kOutOfMemory;
  return ErrorCode::kInvalidModel;
}

double ms_since(double t) { return (monotonic_seconds() - t) * kMsPerSecond; }

}  // namespace

VXSessionState::~VXSessionState() {
  if (source_fd >= 0) close(source_fd);
  graph.reset();
  if (context != nullptr) gpu_context_destroy(context);
}

int vlm_error_set(VlmError* error, uint32_t c, const char* message) {
  if (error == nullptr) return 0;
  error->code = c;
  std::snprintf(error->message, sizeof error->message, "%s", message != nullptr ? message : "");
  return 0;
}

void vlm_error_from_exception(std::exception_ptr exception, VlmError* error) {
  if (error == nullptr) return;
  std::string_view domain;
  std::string_view reason;
  bool out_of_memory = false;
  try {
    if (exception) std::rethrow_exception(exception);
  } catch (const DomainError& e) {
    domain = e.domain();
    reason = e.reason();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
    reason = "Memory allocation failed";
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
  }
  if (reason.empty()) reason = domain.empty() ? std::string_view("Unknown exception") : domain;
  // The views point into the exception object, which the exception_ptr keeps alive.
  fail(error, ErrorCode::kOk, reason);
  error->code = exception_error_code(domain, reason, out_of_memory, MarkerCase::kAnyCase);
}

VlmOpenParams vlm_open_params_default() {
  VlmOpenParams p{};
  p.context_length = kVlmDefaultContextLength;
  p.activation_fp16 = 0;
  p.backend = "auto";
  p.cache_directory = nullptr;
  p.verify_weights = 0;
  return p;
}

int vlm_open_params_validate(const char* path, const VlmOpenParams* params, VlmHandle** out,
                             VlmError* error) {
  clear_error(error);
  if (out != nullptr) *out = nullptr;
  if (path == nullptr || path[0] == '\0' || out == nullptr) {
    return fail(error, ErrorCode::kInvalidArgument, "Model path and output are required");
  }
  if (params == nullptr) return 1;
  if (params->backend != nullptr && !known_backend(params->backend)) {
    return fail(error, ErrorCode::kInvalidArgument, "Unknown backend policy");
  }
  if (params->context_length < 1 || params->context_length > kVlmMaxContextLength ||
      params->activation_fp16 > 1) {
    return fail(error, ErrorCode::kInvalidArgument, "Invalid open parameters");
  }
  return 1;
}

int vlm_open_path(const char* path, const VlmOpenParams* params, VlmHandle** out, VlmError* error) {
  if (!vlm_open_params_validate(path, params, out, error)) return 0;
  const double t0 = monotonic_seconds();
  OpenResult r = container_open_path(path, std::strlen(path));
  if (!r.ok()) {
    return fail(error, open_status_code(r.status), pack_status_text(static_cast<uint32_t>(r.status)));
  }
  const int ok = vlm_open_common(&r.container, path, params, out, error, ms_since(t0));
  container_close(&r.container);
  return ok;
}

int vlm_open_fd(int fd, uint64_t base_offset, uint64_t length, const VlmOpenParams* params,
                VlmHandle** out, VlmError* error) {
  if (!vlm_open_params_validate("fd", params, out, error)) return 0;
  const double t0 = monotonic_seconds();
  OpenResult r = container_open_fd(fd, base_offset, length, kOpenFlagPlanF32);
  if (!r.ok()) {
    return fail(error, open_status_code(r.status), pack_status_text(static_cast<uint32_t>(r.status)));
  }
  const int ok = vlm_open_common(&r.container, nullptr, params, out, error, ms_since(t0));
  container_close(&r.container);
  return ok;
}

int vlm_open_common(const OpenContainer* container, const char* path, const VlmOpenParams* params,
                    VlmHandle** out, VlmError* error, double open_ms) {
  // Graph values (section 8) make a graph model; a generative container has none (DESIGN.md,
  // section 7). Refused before its weights are loaded and before its aux table is read as
  // processor assets, which would name an aux bound instead.
  if (container_value_count(container) != 0) {
    return fail(error, ErrorCode::kInvalidModel, "Model is not a generative model");
  }
  double t = monotonic_seconds();
  WeightSlotResult slot = weight_slot_alloc(container->weights_data_size, true);
  if (!slot.ok()) {
    return fail(error,
                slot.status == PackStatus::kAllocationFailed ? ErrorCode::kOutOfMemory
                                                             : ErrorCode::kBackendUnavailable,
                pack_status_text(slot.status));
  }
  const double slot_ms = ms_since(t);
  auto release = [&] {
    weight_slot_release(&slot.slot);
    buffer_release(&slot.slot);
  };
  t = monotonic_seconds();
  const WeightLoadResult load = weights_load(container, &slot.slot, kVlmLoaderThreads, false);
  if (load.failed) {
    release();
    return fail(error,
                load.status == PackStatus::kAllocationFailed ? ErrorCode::kOutOfMemory
                                                             : ErrorCode::kIo,
                pack_status_text(load.status));
  }
  const double read_ms = ms_since(t);
  if (params != nullptr && params->verify_weights != 0 &&
      !container_verify_tensors(container, slot.slot.data)) {
    release();
    return fail(error, ErrorCode::kIntegrity, pack_status_text(PackStatus::kTensorHashMismatch));
  }
  VlmHandle* handle = vlm_session_open(path, params, slot.slot.context, container->image,
                                       container->image_size, container->fd,
                                       container->base_offset, error, open_ms, slot_ms, read_ms);
  if (handle == nullptr) {
    release();
    return 0;
  }
  // The context (and the weights in it) now belongs to the session.
  weight_slot_release(&slot.slot);
  *out = handle;
  return 1;
}

VlmHandle* vlm_session_open(const char* path, const VlmOpenParams* params, GpuContext* context,
                            const uint8_t* metadata, uint64_t metadata_length, int fd,
                            uint64_t base_offset, VlmError* error, double metadata_ms,
                            double slot_ms, double read_ms) {
  VlmOpenParams p = params != nullptr ? *params : vlm_open_params_default();
  if (params == nullptr) p.backend = nullptr;
  std::unique_ptr<VXSessionState> session;
  try {
    alloc_fault_check();
    session = std::make_unique<VXSessionState>();
    if (path != nullptr) {
      if (!text::utf8_valid(path)) throw DomainError(kVlmDomainArgument, "Invalid UTF-8");
      session->path = path;
    } else {
      session->source_fd = dup(fd);
      if (session->source_fd < 0) {
        throw DomainError(kVlmDomainInference, "Duplicate model descriptor failed");
      }
      session->source_base = base_offset;
      if (metadata == nullptr || metadata_length < kContainerLengthEnd) {
        throw DomainError(kVlmDomainInference, "Metadata bounds");
      }
      std::memcpy(&session->source_length, metadata + kContainerLengthOffset, sizeof(uint64_t));
    }
    session->backend = p.backend != nullptr ? p.backend : "auto";
    session->params = p;
    session->params.backend = session->backend.c_str();
    alloc_fault_check();
    session->metadata.assign(metadata, metadata + metadata_length);

    double t = monotonic_seconds();
    session->processor = std::make_unique<VXProcessor>(metadata, metadata_length, fd, base_offset);
    session->processor_ms = ms_since(t);
    session->read_ms = read_ms;
    session->metadata_ms = metadata_ms;
    session->slot_ms = slot_ms;

    t = monotonic_seconds();
    session->graph = VXGraph::init_with_context(
        context, metadata, metadata_length,
        p.activation_fp16 != 0 ? kVXActivationF16 : kVXActivationF32);
    session->graph->configure({{"backend", session->backend}});
    session->backend_ms = ms_since(t);
  } catch (...) {
    vlm_error_from_exception(std::current_exception(), error);
    return nullptr;
  }
  auto* handle = static_cast<VlmHandle*>(fault_calloc(1, sizeof(VlmHandle)));
  if (handle == nullptr) {
    fail(error, ErrorCode::kOutOfMemory, "Session allocation failed");
    return nullptr;
  }
  session->context = context;
  handle->session = session.release();
  return handle;
}

int vlm_probe_metal(const VlmOpenParams* params, VlmError* error) {
  VlmHandle* unused = nullptr;
  if (!vlm_open_params_validate("probe", params, &unused, error)) return 0;
  GpuContext* probe = gpu_probe(kProbeBytes);
  if (probe == nullptr) {
    return vlm_error_set(error, gpu_probe_last_error(), "Metal initialization failed");
  }
  gpu_context_destroy(probe);
  return 1;
}

int vlm_enter(VlmHandle* handle, VlmError* error) {
  clear_error(error);
  if (handle == nullptr) return fail(error, ErrorCode::kInvalidArgument, "Session is required");
  if (atomic_cas_u32(&handle->busy, 0, 1, kOrderSeqCst) != 0) {
    return fail(error, ErrorCode::kBusy, "Session is busy");
  }
  return 1;
}

void vlm_leave(VlmHandle* handle) { atomic_store_u32(&handle->busy, 0, kOrderSeqCst); }

void vlm_drop_reuse_cache(VXSessionState* session) {
  if (session == nullptr || session->graph == nullptr) return;
  session->graph->set_cached_kv({});
  session->graph->set_cached_tokens({});
  session->graph->set_cached_pixels({});
}

void vlm_cancel_impl(VlmHandle* handle) {
  if (handle != nullptr) atomic_store_u32(&handle->cancel, 1, kOrderSeqCst);
}

int vlm_reset_impl(VlmHandle* handle, VlmError* error) {
  if (!vlm_enter(handle, error)) return 0;
  // An unloaded session has no graph and nothing cached.
  VXSessionState* session = handle->session;
  if (session != nullptr && session->graph != nullptr) {
    vlm_drop_reuse_cache(session);
    session->graph->clear_pool();
  }
  atomic_store_u32(&handle->cancel, 0, kOrderSeqCst);
  vlm_leave(handle);
  return 1;
}

int vlm_unload_impl(VlmHandle* handle, VlmError* error) {
  if (!vlm_enter(handle, error)) return 0;
  VXSessionState* session = handle->session;
  if (session != nullptr) {
    session->graph.reset();
    if (session->context != nullptr) gpu_context_destroy(session->context);
    session->context = nullptr;
  }
  vlm_leave(handle);
  return 1;
}

int vlm_reload_impl(VlmHandle* handle, VlmError* error) {
  if (!vlm_enter(handle, error)) return 0;
  VXSessionState* session = handle->session;
  if (session == nullptr || session->graph != nullptr) {
    vlm_leave(handle);
    if (session == nullptr) return fail(error, ErrorCode::kInvalidArgument, "Session is required");
    return 1;
  }
  VlmOpenParams params = session->params;
  params.backend = session->backend.c_str();
  VlmHandle* fresh = nullptr;
  const int ok = session->source_fd < 0
                     ? vlm_open_path(session->path.c_str(), &params, &fresh, error)
                     : vlm_open_fd(session->source_fd, session->source_base,
                                   session->source_length, &params, &fresh, error);
  if (ok) {
    handle->session = fresh->session;
    fresh->session = nullptr;
    std::free(fresh);
    delete session;
  }
  vlm_leave(handle);
  return ok;
}

void vlm_handle_destroy(VlmHandle* handle) {
  if (handle == nullptr) return;
  delete handle->session;
  std::free(handle);
}

}  // namespace vexa
