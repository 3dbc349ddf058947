// The session record: one model opened on one engine, its model information, the streaming
// store of generative requests and the error fields (last).
#pragma once

#include <cstdint>
#include <string_view>

#include "api/config.h"
#include "api/label_blob.h"
#include "core/container.h"
#include "cpu/cpu_state.h"
#include "generative/bridge.h"
#include "gpu/weight_slot.h"

namespace vexa {

struct MpsState;

inline constexpr uint32_t kMaxModelInputs = 8;
inline constexpr uint32_t kMaxModelOutputs = 64;
inline constexpr uint64_t kDescriptorNameCapacity = 64;
inline constexpr uint64_t kSubgraphCapacity = 64;
inline constexpr uint64_t kMetaNameCapacity = 32;
inline constexpr uint64_t kModelPathCapacity = 512;
inline constexpr uint64_t kMaxStreamChunks = 2048;
inline constexpr uint64_t kMetaCacheTextBytes = 8192;
inline constexpr uint64_t kMetaCacheEntries = 64;
inline constexpr uint64_t kMetaCacheKeyCapacity = 64;

// One model input or output.
struct TensorDescriptor {
  uint64_t value_id;
  char name[kDescriptorNameCapacity];
  uint64_t name_len;
  uint32_t dtype;  // TensorDtype
  uint32_t rank;   // 0..6
  int64_t dims[6];
  uint64_t element_count;
  uint64_t byte_size;
};

// Atomic words (busy, cancel, error_lock) are plain 32-bit fields used through core/atomics,
// so a zeroed record is a valid idle session.
struct Session {
  Config config;
  uint32_t requested_backend;
  uint32_t active_backend;
  char subgraph[kSubgraphCapacity];
  uint64_t subgraph_len;
  uint32_t batch_size;
  uint32_t context_length;
  uint8_t activation_fp16;
  uint8_t warmup;
  uint32_t resize_mode;
  uint8_t resize_mode_set;
  uint8_t letterbox_pad;
  uint8_t letterbox_pad_set;
  uint8_t color_bgr;
  uint8_t color_bgr_set;
  float norm_scale;
  float norm_mean[3];
  float norm_std[3];
  uint8_t normalization_set;
  uint8_t model_info_ready;
  uint8_t opened;
  uint8_t is_generative;
  uint8_t boxes_corner_form;
  char decode[kMetaNameCapacity];
  uint64_t decode_len;
  char task[kMetaNameCapacity];
  uint64_t task_len;
  uint32_t backend_preference;
  uint32_t busy;
  uint32_t cancel;
  uint8_t opened_from_fd;
  char model_path[kModelPathCapacity];
  uint64_t model_path_len;
  int32_t source_fd;
  uint64_t source_offset;
  uint64_t source_length;
  uint8_t container_loaded;
  OpenContainer container;
  uint8_t weight_slot_present;
  WeightSlot weight_slot;
  uint8_t cpu_engine_present;
  cpu::CpuState* cpu_engine;  // the CPU handle is the address of this slot
  uint8_t graph_engine_present;
  MpsState* graph_engine;
  VlmHandle* vlm_handle;  // read and written atomically: cancel may come from any thread
  uint32_t vlm_lock;     // held while the handle is cancelled or freed
  uint8_t stream_active;
  char* stream_chunks[kMaxStreamChunks];
  uint64_t stream_chunk_lens[kMaxStreamChunks];
  uint64_t stream_chunk_count;
  uint64_t stream_cursor;
  uint32_t stream_finish_reason;
  uint32_t stream_prompt_tokens;
  uint32_t stream_generated_tokens;
  uint32_t stream_cached_prompt_tokens;
  double stream_latency_ms;
  uint32_t stream_backend;
  uint64_t estimated_memory_bytes;
  uint32_t input_count;
  TensorDescriptor inputs[kMaxModelInputs];
  uint32_t output_count;
  TensorDescriptor outputs[kMaxModelOutputs];
  LabelBlob* labels_blob;
  const char* labels_data;
  uint64_t labels_len;
  uint32_t labels_count;
  char meta_cache_text[kMetaCacheTextBytes];
  uint64_t meta_cache_used;
  char meta_cache_keys[kMetaCacheEntries][kMetaCacheKeyCapacity];
  uint64_t meta_cache_key_lens[kMetaCacheEntries];
  uint64_t meta_cache_value_offsets[kMetaCacheEntries];
  uint64_t meta_cache_value_lens[kMetaCacheEntries];
  uint32_t meta_cache_count;
  // A busy-refused caller writes its code while the holder of the session may write its own,
  // so the error fields are written under this small lock.
  uint32_t error_lock;
  uint32_t error_code;
  char error_message[256];
  uint64_t error_message_len;
};

// Outputs may outlive the session that filled them, so they never hold a bare pointer they
// would write through. A session is registered when it is created and retired before its
// record is freed; an output remembers the session with the generation it had then.
// Returns the session's generation, or 0 when it could not be registered (out of memory).
uint64_t session_link_register(Session* session);
void session_link_retire(Session* session);
// The generation of a registered session, 0 when it is not live.
uint64_t session_link_generation(const Session* session);
// Writes the error into the session when it is still the live one the output saw; false when
// it is gone. The registry lock is held while writing, so a concurrent retire waits.
bool session_report_error_if_live(Session* session, uint64_t generation, uint32_t code,
                                  std::string_view message);

}  // namespace vexa
