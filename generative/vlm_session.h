// The generative session layer: one opened vision-language model (its metadata, the weights in
// a GPU context, the processor and the graph executor) behind a small handle with a busy flag
// and a cancel flag. Opening, unloading, reloading, resetting, cancelling and destroying a
// session, and turning any exception into the flat error record, live here.
//
// Every function returning int gives 1 on success and 0 on failure, with the error record
// (when given) zeroed first and then filled. No exception leaves this layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/container.h"

namespace vexa {

class VXGraph;
class VXProcessor;
struct GpuContext;

inline constexpr uint64_t kVlmErrorMessageBytes = 256;
inline constexpr uint32_t kVlmDefaultContextLength = 2048;
inline constexpr uint32_t kVlmMaxContextLength = 8192;
// Threads that fill the weight slot when a model opens.
inline constexpr uint64_t kVlmLoaderThreads = 8;

// Error domains raised inside the engine (the reason is the message).
inline constexpr const char* kVlmDomainArgument = "VexaArgument";
inline constexpr const char* kVlmDomainInference = "VexaInference";
inline constexpr const char* kVlmDomainCancelled = "VexaCancelled";
inline constexpr const char* kVlmDomainNoMemory = "NSMallocException";

struct VlmError {
  uint32_t code;                        // ErrorCode
  char message[kVlmErrorMessageBytes];  // NUL-terminated, at most 255 bytes
};
static_assert(sizeof(VlmError) == 260);

struct VlmOpenParams {
  uint32_t context_length;  // 1..8192
  uint32_t activation_fp16;  // 0 runs the graph in FP32, 1 in FP16
  const char* backend;       // null, "auto", "metal", "mps" or "mpsgraph"
  const char* cache_directory;  // carried only
  uint32_t verify_weights;      // non-zero: compare every tensor digest after loading
};
static_assert(sizeof(VlmOpenParams) == 32);
static_assert(offsetof(VlmOpenParams, backend) == 8 && offsetof(VlmOpenParams, verify_weights) == 24);

// One opened model. A session is open while `graph` is set and unloaded while it is null; the
// processor, the metadata and the open data stay so it can be reloaded.
class VXSessionState {
 public:
  VXSessionState() = default;
  ~VXSessionState();
  VXSessionState(const VXSessionState&) = delete;
  VXSessionState& operator=(const VXSessionState&) = delete;

  std::unique_ptr<VXProcessor> processor;
  std::unique_ptr<VXGraph> graph;
  std::vector<uint8_t> metadata;  // copy of the container's metadata region
  nlohmann::json last_report;     // generation report of the last successful request
  std::string path;               // empty when opened from a descriptor
  std::string backend = "auto";   // backend policy text
  GpuContext* context = nullptr;  // owns the weights; destroyed with the session
  int source_fd = -1;             // duplicated model descriptor, -1 when opened from a path
  uint64_t source_base = 0;
  uint64_t source_length = 0;
  VlmOpenParams params{};  // params.backend points at `backend`
  double processor_ms = 0;
  double read_ms = 0;
  double metadata_ms = 0;
  double slot_ms = 0;
  double backend_ms = 0;
};

// The handle the flat entries pass around: 16 bytes, allocated zeroed. Both flags are accessed
// atomically; one operation at a time holds `busy`.
struct VlmHandle {
  VXSessionState* session;  // owned
  uint32_t busy;
  uint32_t cancel;
};
static_assert(sizeof(VlmHandle) == 16);

// Stores code and message (null: empty) into a non-null record; returns 0.
int vlm_error_set(VlmError* error, uint32_t code, const char* message);
// Code and message of an exception: DomainError by its domain and reason, std::bad_alloc as
// exhausted memory, anything else by its text (see core/exception_code.h, generative rules).
void vlm_error_from_exception(std::exception_ptr exception, VlmError* error);

VlmOpenParams vlm_open_params_default();
int vlm_open_params_validate(const char* path, const VlmOpenParams* params, VlmHandle** out,
                             VlmError* error);
int vlm_open_path(const char* path, const VlmOpenParams* params, VlmHandle** out, VlmError* error);
int vlm_open_fd(int fd, uint64_t base_offset, uint64_t length, const VlmOpenParams* params,
                VlmHandle** out, VlmError* error);
// The shared tail of both opens: weight slot, weights, optional verification, session. A graph
// model (one with graph values) is refused first: code 3 "Model is not a generative model".
int vlm_open_common(const OpenContainer* container, const char* path, const VlmOpenParams* params,
                    VlmHandle** out, VlmError* error, double open_ms);
// Builds the session over a loaded context; null with the error filled on failure (the context
// then still belongs to the caller).
VlmHandle* vlm_session_open(const char* path, const VlmOpenParams* params, GpuContext* context,
                            const uint8_t* metadata, uint64_t metadata_length, int fd,
                            uint64_t base_offset, VlmError* error, double metadata_ms,
                            double slot_ms, double read_ms);
int vlm_probe_metal(const VlmOpenParams* params, VlmError* error);

// The busy guard of every operation but cancel: zeroes the error; null handle: code 1 "Session
// is required"; taken: code 9 "Session is busy". vlm_leave releases it.
int vlm_enter(VlmHandle* handle, VlmError* error);
void vlm_leave(VlmHandle* handle);

void vlm_cancel_impl(VlmHandle* handle);
int vlm_reset_impl(VlmHandle* handle, VlmError* error);
int vlm_unload_impl(VlmHandle* handle, VlmError* error);
int vlm_reload_impl(VlmHandle* handle, VlmError* error);
void vlm_handle_destroy(VlmHandle* handle);

// Drops the graph's reuse cache (tokens, pixels, key/value tensors); nothing without a graph.
void vlm_drop_reuse_cache(VXSessionState* session);

}  // namespace vexa
