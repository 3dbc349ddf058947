// The session record: construction, settings, model information read from the container,
// and every getter of that information.
#include <cstdlib>
#include <cstring>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/session_internal.h"
#include "api/text_util.h"
#include "core/atomics.h"
#include "core/container_access.h"
#include "core/types.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr uint32_t kDefaultBatch = 1;
constexpr uint32_t kDefaultContextLength = 2048;
constexpr uint8_t kDefaultLetterboxPad = 114;
constexpr uint32_t kMaxBatch = 64;
constexpr uint32_t kDefaultFrameScaleBits = 0x3B808081u;  // 1/255
constexpr float kScale255 = 1.0f / 255.0f;
constexpr char kMainSubgraph[] = "main";
constexpr uint64_t kMainSubgraphLen = 4;
constexpr char kNullSessionText[] = "Null Session handle";
constexpr uint64_t kNullSessionTextLen = sizeof(kNullSessionText) - 1;

Session* as_session(vexa_session* s) { return reinterpret_cast<Session*>(s); }
const Session* as_session(const vexa_session* s) { return reinterpret_cast<const Session*>(s); }

float default_frame_scale() {
  float f;
  const uint32_t bits = kDefaultFrameScaleBits;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// The preprocessing defaults, for every setting the caller has not made: a new session, and a
// session whose model (and what its metadata chose) is closed.
void reset_preprocessing(Session* s) {
  if (!s->resize_mode_set) s->resize_mode = static_cast<uint32_t>(ResizeMode::kStretch);
  if (!s->letterbox_pad_set) s->letterbox_pad = kDefaultLetterboxPad;
  if (!s->color_bgr_set) s->color_bgr = 0;
  if (!s->normalization_set) {
    s->norm_scale = default_frame_scale();
    for (int k = 0; k < 3; ++k) {
      s->norm_mean[k] = 0.0f;
      s->norm_std[k] = 1.0f;
    }
  }
}

void error_lock(const Session* s) {
  auto* word = const_cast<uint32_t*>(&s->error_lock);
  while (atomic_cas_u32(word, 0, 1, kOrderAcquire) != 0) {
  }
}
void error_unlock(const Session* s) {
  atomic_store_u32(const_cast<uint32_t*>(&s->error_lock), 0, kOrderRelease);
}

bool text_equals(std::string_view value, const char* literal) { return value == literal; }

// Stores min(len, capacity - 1) bytes of a metadata string into a fixed field.
uint64_t store_meta_text(const OpenContainer* c, const char* key, char* field, uint64_t capacity) {
  const std::string_view v = meta_get_str(c, key, "");
  return copy_bounded(v.data(), v.size(), field, capacity);
}

int64_t signed_dim(uint64_t d) { return static_cast<int64_t>(d); }

// Step 4 of the model information: whether every node can run with a batch above 1.
bool node_batchable(const OpenContainer* c, const GraphNode& node) {
  const uint64_t* w = node.words();
  constexpr uint32_t kTransposeFirstPermWord = 19;
  constexpr uint32_t kAxisWord = 26;
  switch (static_cast<OpKind>(node.op_kind)) {
    case OpKind::kTranspose:
      return w[kTransposeFirstPermWord] == 0;
    case OpKind::kConcat:
    case OpKind::kSplit:
    case OpKind::kGather:
    case OpKind::kSlice: {
      int64_t axis = static_cast<int64_t>(w[kAxisWord]);
      if (axis < 0 && node.input_count > 0) {
        const GraphValue in = container_read_value(c, node.inputs[0]);
        axis += static_cast<int64_t>(in.rank);
      }
      return axis != 0;
    }
    case OpKind::kFlatten: {
      const GraphValue in = container_read_value(c, node.inputs[0]);
      const GraphValue out = container_read_value(c, node.outputs[0]);
      return in.dims[0] == out.dims[0];
    }
    case OpKind::kDeformUnfold:
    case OpKind::kDetrTopK:
    case OpKind::kMaskToBoxLogit:
      return false;
    default:
      return true;
  }
}

bool graph_batchable(const OpenContainer* c, uint32_t batch) {
  const uint64_t values = container_value_count(c);
  for (uint64_t i = 0; i < values; ++i) {
    const GraphValue v = container_read_value(c, i);
    if (v.kind != static_cast<uint64_t>(ValueKind::kGraphInput)) continue;
    if (v.rank < 1 || (v.dims[0] != 1 && v.dims[0] != batch)) return false;
  }
  const uint64_t nodes = container_node_count(c);
  for (uint64_t n = 0; n < nodes; ++n) {
    if (!node_batchable(c, container_read_node(c, n))) return false;
  }
  return true;
}

// Checked product of the dims with every dim below 1 counted as 1; false above 2^30.
bool descriptor_count(const GraphValue& v, uint64_t* count, uint64_t* plain_count) {
  uint64_t clamped = 1;
  uint64_t plain = 1;
  bool plain_ok = true;
  for (uint64_t d = 0; d < v.rank; ++d) {
    const int64_t dim = signed_dim(v.dims[d]);
    const uint64_t c = dim < 1 ? 1 : static_cast<uint64_t>(dim);
    if (c > kMaxTensorElements || clamped > kMaxTensorElements / c) return false;
    clamped *= c;
    if (dim < 0) plain_ok = false;
    if (plain_ok) plain = dim == 0 ? 0 : plain * static_cast<uint64_t>(dim);
  }
  *count = clamped;
  *plain_count = plain_ok ? plain : clamped;
  return true;
}

uint32_t backend_from_text(std::string_view v) {
  if (v == "cpu") return static_cast<uint32_t>(Backend::kCpu);
  if (v == "gpu" || v == "mps" || v == "vulkan") return static_cast<uint32_t>(Backend::kGpu);
  if (v == "npu" || v == "ane" || v == "htp" || v == "ne") return static_cast<uint32_t>(Backend::kNpu);
  return 0;
}

uint32_t backend_preference(const OpenContainer* c) {
  static constexpr const char* kKeys[] = {"default_backend.macos", "default_backend",
                                          "recommended_backend", "backend"};
  uint32_t preference = 0;
  for (const char* key : kKeys) {
    const std::string_view v = meta_get_str(c, key, "");
    if (v.empty()) continue;
    preference = backend_from_text(v);
    break;
  }
  if (preference != 0) return preference;
  MetaEntry e{};
  if (!meta_find(c, "fp16_safe", &e)) return 0;
  const uint32_t gpu = static_cast<uint32_t>(Backend::kGpu);
  switch (static_cast<MetaValueType>(e.value_type)) {
    case MetaValueType::kI64: return meta_get_i64(c, "fp16_safe", 1) == 0 ? gpu : 0;
    case MetaValueType::kBool: return meta_get_bool(c, "fp16_safe", true) ? 0 : gpu;
    case MetaValueType::kString: {
      const std::string_view v = meta_get_str(c, "fp16_safe", "");
      return v == "0" || v == "no" || v == "false" ? gpu : 0;
    }
    default: return 0;
  }
}

void apply_presets(Session* s, const OpenContainer* c) {
  if (!s->resize_mode_set) {
    std::string_view v = meta_get_str(c, "resize", "");
    if (v.empty()) v = meta_get_str(c, "resize_mode", "");
    if (v == "stretch") {
      s->resize_mode = static_cast<uint32_t>(ResizeMode::kStretch);
    } else if (v == "center_crop") {
      s->resize_mode = static_cast<uint32_t>(ResizeMode::kCenterCrop);
    } else if (v == "letterbox") {
      s->resize_mode = static_cast<uint32_t>(ResizeMode::kLetterbox);
    } else if (std::string_view(s->task, s->task_len) == "detect") {
      s->resize_mode = static_cast<uint32_t>(ResizeMode::kLetterbox);
    }
  }
  if (!s->letterbox_pad_set) {
    MetaEntry e{};
    if (meta_find(c, "letterbox_pad", &e) &&
        e.value_type == static_cast<uint64_t>(MetaValueType::kI64)) {
      const uint64_t v = static_cast<uint64_t>(meta_get_i64(c, "letterbox_pad", kDefaultLetterboxPad));
      if (v <= 255) s->letterbox_pad = static_cast<uint8_t>(v);
    }
  }
  if (!s->color_bgr_set) {
    const std::string_view v = meta_get_str(c, "color", "");
    if (v == "bgr") s->color_bgr = 1;
    if (v == "rgb") s->color_bgr = 0;
  }
  if (!s->normalization_set) {
    struct Preset {
      const char* name;
      float scale;
      float mean[3];
      float std[3];
    };
    static constexpr Preset kPresets[] = {
        {"clip", kScale255, {0.48145467f, 0.4578275f, 0.40821073f},
         {0.26862955f, 0.26130259f, 0.2757771f}},
        {"raw255", 1.0f, {0, 0, 0}, {1, 1, 1}},
        {"imagenet", kScale255, {0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}},
        {"scale255", kScale255, {0, 0, 0}, {1, 1, 1}},
        {"neg_one_to_one", kScale255, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}},
    };
    const std::string_view v = meta_get_str(c, "normalize", "");
    for (const Preset& p : kPresets) {
      if (!text_equals(v, p.name)) continue;
      s->norm_scale = p.scale;
      for (int k = 0; k < 3; ++k) {
        s->norm_mean[k] = p.mean[k];
        s->norm_std[k] = p.std[k];
      }
    }
    MetaEntry e{};
    if (meta_find(c, "scale", &e) && e.value_type == static_cast<uint64_t>(MetaValueType::kF64)) {
      s->norm_scale = static_cast<float>(meta_get_f64(c, "scale", 1.0 / 255.0));
    }
    uint64_t n = 0;
    const uint8_t* mean = meta_get_f32_array(c, "mean", 4, &n);
    if (mean != nullptr && n >= 3) {
      for (uint64_t k = 0; k < 3; ++k) s->norm_mean[k] = meta_f32_at(mean, k);
    }
    const uint8_t* stdv = meta_get_f32_array(c, "std", 3, &n);
    if (stdv != nullptr && n >= 3) {
      for (uint64_t k = 0; k < 3; ++k) s->norm_std[k] = meta_f32_at(stdv, k);
    }
  }
}

void drop_labels(Session* s) {
  label_blob_release(s->labels_blob);
  s->labels_blob = nullptr;
  s->labels_data = nullptr;
  s->labels_len = 0;
  s->labels_count = 0;
}

void load_labels(Session* s, const OpenContainer* c) {
  drop_labels(s);
  MetaEntry e{};
  if (!meta_find(c, "labels", &e) ||
      e.value_type != static_cast<uint64_t>(MetaValueType::kStringList) || e.value_length == 0) {
    return;
  }
  const uint8_t* bytes = meta_value_ptr(c, e);
  if (bytes == nullptr) return;
  const uint32_t count = e.item_count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(e.item_count);
  LabelBlob* blob = label_blob_new(reinterpret_cast<const char*>(bytes), e.value_length, count);
  if (blob == nullptr) return;
  s->labels_blob = blob;
  s->labels_data = blob->data;
  s->labels_len = blob->len;
  s->labels_count = blob->count;
}

// Fills one descriptor from a value record; false with the session error set when the record
// cannot describe a tensor the session could hold.
bool fill_descriptor(Session* s, const OpenContainer* c, const GraphValue& v, uint64_t id,
                     bool is_input, TensorDescriptor* d) {
  if (v.rank > kMaxTensorRank) {
    session_set_error(s, ErrorCode::kInvalidModel, "Model tensor descriptor has more than 6 dimensions");
    return false;
  }
  uint64_t count = 0;
  uint64_t plain_count = 0;
  if (!descriptor_count(v, &count, &plain_count)) {
    session_set_error(s, ErrorCode::kInvalidModel,
                      "Model tensor descriptor has more than 2^30 elements");
    return false;
  }
  const uint32_t dtype = container_dtype_to_api(c, v.dtype);
  const uint64_t element = api_dtype_element_size(dtype);
  if (v.byte_size != count * element && v.byte_size != plain_count * element) {
    session_set_error(s, ErrorCode::kInvalidModel,
                      "Model tensor descriptor byte size does not match its dimensions");
    return false;
  }
  std::memset(d, 0, sizeof *d);
  d->value_id = id;
  d->dtype = dtype;
  d->rank = static_cast<uint32_t>(v.rank);
  for (uint64_t k = 0; k < v.rank; ++k) d->dims[k] = signed_dim(v.dims[k]);
  const uint32_t batch = s->batch_size;
  if (batch >= 2) {
    if (v.rank == 0) {
      if (is_input) {
        session_set_error(s, ErrorCode::kInvalidArgument, "Scalar input tensor cannot be batched");
        return false;
      }
    } else {
      const int64_t first = d->dims[0] < 1 ? 1 : d->dims[0];
      count = count / static_cast<uint64_t>(first) * batch;
      d->dims[0] = batch;
    }
  }
  d->element_count = count;
  d->byte_size = count * element;
  const std::string_view name = pool_string(c, v.name_offset, v.name_length);
  const std::string_view fallback = is_input ? "input" : "output";
  const std::string_view use = name.empty() ? fallback : name;
  d->name_len = copy_bounded(use.data(), use.size(), d->name, kDescriptorNameCapacity);
  return true;
}

}  // namespace

void session_set_error(Session* s, uint32_t code, std::string_view message) {
  error_lock(s);
  handle_set_error(*s, code, message);
  error_unlock(s);
}

void session_clear_error(Session* s) {
  error_lock(s);
  handle_clear_error(*s);
  error_unlock(s);
}

void session_set_error_from_current(Session* s) {
  const BoundaryError e = error_from_exception(std::current_exception());
  session_set_error(s, e.code, std::string_view(e.message, e.message_len));
}

bool session_try_acquire(Session* s) { return atomic_cas_u32(&s->busy, 0, 1, kOrderAcquire) == 0; }
void session_release(Session* s) { atomic_store_u32(&s->busy, 0, kOrderRelease); }
bool session_cancel_requested(const Session* s) {
  return atomic_load_u32(&s->cancel, kOrderAcquire) != 0;
}

uint32_t api_dtype_element_size(uint32_t dtype) {
  switch (static_cast<TensorDtype>(dtype)) {
    case TensorDtype::kF16: return 2;
    case TensorDtype::kF32: return 4;
    case TensorDtype::kI64: return 8;
    case TensorDtype::kQ8: return 1;
    case TensorDtype::kU8: return 1;
  }
  return 0;
}

uint32_t container_dtype_to_api(const OpenContainer* c, uint64_t id) {
  const uint64_t stride = container_section_stride(c, kSectionDtypes);
  const uint64_t count = container_section_count(c, kSectionDtypes);
  if (stride >= sizeof(DtypeEntry) && id >= 1 && id <= count) {
    const uint64_t at = container_entry_offset(c, kSectionDtypes, id - 1);
    if (container_range_ok(at, sizeof(DtypeEntry), c->image_size)) {
      const DtypeEntry e = load_record<DtypeEntry>(c->image + at);
      const uint64_t bits = e.bits_per_element;
      if (e.dtype_class == kDtypeClassFloat && bits == 16) return static_cast<uint32_t>(TensorDtype::kF16);
      if (e.dtype_class == kDtypeClassFloat && bits == 32) return static_cast<uint32_t>(TensorDtype::kF32);
      if (e.dtype_class == kDtypeClassInteger && bits == 64) return static_cast<uint32_t>(TensorDtype::kI64);
      if (e.dtype_class == kDtypeClassBlock) return static_cast<uint32_t>(TensorDtype::kQ8);
      if ((e.dtype_class == 4 || e.dtype_class == kDtypeClassInteger) && bits == 8) {
        return static_cast<uint32_t>(TensorDtype::kU8);
      }
    }
  }
  if (id >= 1 && id <= 5) return static_cast<uint32_t>(id);
  return static_cast<uint32_t>(TensorDtype::kF32);
}

bool session_load_model_info(Session* s, const OpenContainer* c) {
  if (s->subgraph_len != 0 &&
      std::string_view(s->subgraph, s->subgraph_len) != std::string_view(kMainSubgraph)) {
    session_set_error(s, ErrorCode::kUnsupported,
                      "Requested subgraph is not present in this model; only 'main' is supported");
    return false;
  }
  if (s->batch_size < 1 || s->batch_size > kMaxBatch) {
    session_set_error(s, ErrorCode::kInvalidArgument, "Batch size must be between 1 and 64");
    return false;
  }
  const uint64_t value_count = container_value_count(c);
  const uint64_t node_count = container_node_count(c);
  s->is_generative = value_count == 0 || node_count == 0 ? 1 : 0;
  s->input_count = 0;
  s->output_count = 0;
  s->estimated_memory_bytes = 0;
  s->boxes_corner_form = 0;

  if (!s->is_generative && s->batch_size >= 2 && !graph_batchable(c, s->batch_size)) {
    session_set_error(s, ErrorCode::kUnsupported, "Model graph does not support batch_size > 1");
    return false;
  }
  if (node_count > 0) {
    constexpr uint32_t kCornerFormWord = 27;
    const GraphNode last = container_read_node(c, node_count - 1);
    if (last.op_kind == static_cast<uint64_t>(OpKind::kConcat) && last.words()[kCornerFormWord] == 1) {
      s->boxes_corner_form = 1;
    }
  }

  const uint64_t kInput = static_cast<uint64_t>(ValueKind::kGraphInput);
  const uint64_t kOutput = static_cast<uint64_t>(ValueKind::kGraphOutput);
  const uint64_t kWeight = static_cast<uint64_t>(ValueKind::kWeight);
  uint64_t inputs = 0;
  uint64_t outputs = 0;
  for (uint64_t i = 0; i < value_count; ++i) {
    const GraphValue v = container_read_value(c, i);
    if (v.kind == kOutput && v.name_length >= kDescriptorNameCapacity) {
      session_set_error(s, ErrorCode::kUnsupported,
                        "Output tensor name exceeds 63-byte maximum descriptor length");
      return false;
    }
    if (v.kind == kInput && v.name_length >= kDescriptorNameCapacity) {
      session_set_error(s, ErrorCode::kUnsupported,
                        "Input tensor name exceeds 63-byte maximum descriptor length");
      return false;
    }
    if (v.kind == kInput) ++inputs;
    if (v.kind == kOutput) ++outputs;
  }
  if (inputs > kMaxModelInputs) {
    session_set_error(s, ErrorCode::kUnsupported, "Model has more than 8 input tensors");
    return false;
  }
  if (outputs > kMaxModelOutputs) {
    session_set_error(s, ErrorCode::kUnsupported, "Model has more than 64 output tensors");
    return false;
  }

  uint64_t activation_bytes = 0;
  for (uint64_t i = 0; i < value_count; ++i) {
    const GraphValue v = container_read_value(c, i);
    if (v.kind != kWeight) {
      const uint64_t add = v.byte_size > UINT64_MAX / s->batch_size ? UINT64_MAX
                                                                   : v.byte_size * s->batch_size;
      activation_bytes = add > UINT64_MAX - activation_bytes ? UINT64_MAX : activation_bytes + add;
    }
    if (v.kind == kInput) {
      if (!fill_descriptor(s, c, v, i, true, &s->inputs[s->input_count])) return false;
      ++s->input_count;
    } else if (v.kind == kOutput) {
      if (!fill_descriptor(s, c, v, i, false, &s->outputs[s->output_count])) return false;
      ++s->output_count;
    }
  }
  s->estimated_memory_bytes = c->weights_data_size > UINT64_MAX - activation_bytes
                                  ? UINT64_MAX
                                  : c->weights_data_size + activation_bytes;

  s->task_len = store_meta_text(c, "task", s->task, kMetaNameCapacity);
  s->decode_len = store_meta_text(c, "decode", s->decode, kMetaNameCapacity);
  s->backend_preference = backend_preference(c);
  apply_presets(s, c);
  load_labels(s, c);
  s->model_info_ready = 1;
  return true;
}

void session_drop_labels(Session* s) { drop_labels(s); }

void session_clear_model_info(Session* s) {
  s->is_generative = 0;
  s->boxes_corner_form = 0;
  s->input_count = 0;
  s->output_count = 0;
  s->estimated_memory_bytes = 0;
  s->backend_preference = 0;
  s->task[0] = '\0';
  s->task_len = 0;
  s->decode[0] = '\0';
  s->decode_len = 0;
  reset_preprocessing(s);
}

const char* session_meta_str_cached(Session* s, const char* key, uint64_t len, uint64_t* out_len) {
  *out_len = 0;
  if (s == nullptr || !s->container_loaded) return "";
  const TextArg k = text_or_empty(key, len);
  for (uint32_t i = 0; i < s->meta_cache_count; ++i) {
    if (s->meta_cache_key_lens[i] == k.len && std::memcmp(s->meta_cache_keys[i], k.ptr, k.len) == 0) {
      *out_len = s->meta_cache_value_lens[i];
      return s->meta_cache_text + s->meta_cache_value_offsets[i];
    }
  }
  const std::string_view v = meta_get_str(&s->container, k.ptr, k.len, "", 0);
  if (v.empty()) return "";
  if (s->meta_cache_count >= kMetaCacheEntries || k.len >= kMetaCacheKeyCapacity ||
      v.size() + 1 > kMetaCacheTextBytes - s->meta_cache_used) {
    return "";
  }
  const uint32_t i = s->meta_cache_count;
  std::memcpy(s->meta_cache_keys[i], k.ptr, k.len);
  s->meta_cache_keys[i][k.len] = '\0';
  s->meta_cache_key_lens[i] = k.len;
  char* dst = s->meta_cache_text + s->meta_cache_used;
  std::memcpy(dst, v.data(), v.size());
  dst[v.size()] = '\0';
  s->meta_cache_value_offsets[i] = s->meta_cache_used;
  s->meta_cache_value_lens[i] = v.size();
  s->meta_cache_used += v.size() + 1;
  s->meta_cache_count = i + 1;
  *out_len = v.size();
  return dst;
}

void session_free_and_null(Session** session) {
  if (session == nullptr || *session == nullptr) return;
  Session* s = *session;
  session_close(s);
  session_link_retire(s);
  pinned_record_free(s, sizeof(Session));
  *session = nullptr;
}

namespace {

const TensorDescriptor* descriptor_at(const Session* s, int32_t i, bool input) {
  if (s == nullptr || i < 0) return nullptr;
  const uint32_t count = input ? s->input_count : s->output_count;
  if (static_cast<uint32_t>(i) >= count) return nullptr;
  return input ? &s->inputs[i] : &s->outputs[i];
}

int64_t descriptor_dim(const Session* s, int32_t i, int32_t j, bool input) {
  const TensorDescriptor* d = descriptor_at(s, i, input);
  if (d == nullptr || j < 0 || static_cast<uint32_t>(j) >= d->rank) return -1;
  return d->dims[j];
}

bool subgraph_main(const Session* s, int32_t index) {
  return s != nullptr && s->model_info_ready && index == 0;
}

}  // namespace

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API vexa_session* vexa_session_new(const vexa_config* config) {
  return guard_value<vexa_session*>(nullptr, [&]() -> vexa_session* {
    auto* s = static_cast<Session*>(pinned_record_new(sizeof(Session)));
    if (s == nullptr) return nullptr;
    if (config != nullptr) {
      std::memcpy(&s->config, reinterpret_cast<const Config*>(config), sizeof(Config));
    } else {
      s->config.backend = static_cast<uint32_t>(Backend::kAuto);
      s->config.threads = kDefaultThreads;
    }
    s->requested_backend = s->config.backend;
    s->batch_size = kDefaultBatch;
    s->context_length = kDefaultContextLength;
    reset_preprocessing(s);
    s->source_fd = -1;
    s->container.fd = -1;
    // An unregistered session could not be told apart from a freed one by its outputs.
    if (session_link_register(s) == 0) {
      pinned_record_free(s, sizeof(Session));
      return nullptr;
    }
    return reinterpret_cast<vexa_session*>(s);
  });
}

VEXA_API void vexa_session_free(vexa_session* session) {
  guard_void([&] {
    Session* s = as_session(session);
    session_free_and_null(&s);
  });
}

VEXA_API void vexa_session_set_backend(vexa_session* session, uint32_t backend) {
  if (Session* s = as_session(session)) s->requested_backend = backend;
}

VEXA_API void vexa_session_set_subgraph(vexa_session* session, const char* name, uint64_t len) {
  Session* s = as_session(session);
  if (s == nullptr) return;
  const TextArg t = text_or_empty(name, len);
  s->subgraph_len = copy_bounded(t.ptr, t.len, s->subgraph, kSubgraphCapacity);
}

VEXA_API void vexa_session_set_batch_size(vexa_session* session, uint32_t batch_size) {
  if (Session* s = as_session(session)) s->batch_size = batch_size;
}

VEXA_API void vexa_session_set_context_length(vexa_session* session, uint32_t tokens) {
  if (Session* s = as_session(session)) s->context_length = tokens;
}

VEXA_API void vexa_session_set_activation_fp16(vexa_session* session, int32_t flag) {
  if (Session* s = as_session(session)) s->activation_fp16 = flag != 0 ? 1 : 0;
}

VEXA_API void vexa_session_set_warmup(vexa_session* session, int32_t flag) {
  if (Session* s = as_session(session)) s->warmup = flag != 0 ? 1 : 0;
}

VEXA_API void vexa_session_set_resize_mode(vexa_session* session, uint32_t mode) {
  Session* s = as_session(session);
  if (s == nullptr) return;
  s->resize_mode = mode;
  s->resize_mode_set = 1;
}

VEXA_API void vexa_session_set_letterbox_pad(vexa_session* session, int32_t value) {
  Session* s = as_session(session);
  if (s == nullptr) return;
  s->letterbox_pad = static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu);
  s->letterbox_pad_set = 1;
}

VEXA_API void vexa_session_set_color_bgr(vexa_session* session, int32_t flag) {
  Session* s = as_session(session);
  if (s == nullptr) return;
  s->color_bgr = flag != 0 ? 1 : 0;
  s->color_bgr_set = 1;
}

VEXA_API void vexa_session_set_normalization(vexa_session* session, float scale, float mean0,
                                             float mean1, float mean2, float std0, float std1,
                                             float std2) {
  Session* s = as_session(session);
  if (s == nullptr) return;
  s->norm_scale = scale;
  s->norm_mean[0] = mean0;
  s->norm_mean[1] = mean1;
  s->norm_mean[2] = mean2;
  s->norm_std[0] = std0;
  s->norm_std[1] = std1;
  s->norm_std[2] = std2;
  s->normalization_set = 1;
}

VEXA_API uint32_t vexa_session_requested_backend(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->requested_backend;
}

VEXA_API uint32_t vexa_session_active_backend(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->active_backend;
}

VEXA_API int32_t vexa_session_is_generative(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->is_generative;
}

VEXA_API uint64_t vexa_session_estimated_memory_bytes(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->estimated_memory_bytes;
}

VEXA_API int32_t vexa_session_subgraph_count(const vexa_session* session) {
  const Session* s = as_session(session);
  return s != nullptr && s->model_info_ready ? 1 : 0;
}

VEXA_API const char* vexa_session_subgraph_name_ptr(const vexa_session* session, int32_t index) {
  return subgraph_main(as_session(session), index) ? kMainSubgraph : "";
}

VEXA_API uint64_t vexa_session_subgraph_name_len(const vexa_session* session, int32_t index) {
  return subgraph_main(as_session(session), index) ? kMainSubgraphLen : 0;
}

VEXA_API uint32_t vexa_session_input_count(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->input_count;
}

VEXA_API const char* vexa_session_input_name_ptr(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, true);
  return d == nullptr ? "" : d->name;
}

VEXA_API uint64_t vexa_session_input_name_len(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, true);
  return d == nullptr ? 0 : d->name_len;
}

VEXA_API uint32_t vexa_session_input_dtype(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, true);
  return d == nullptr ? 0 : d->dtype;
}

VEXA_API uint32_t vexa_session_input_rank(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, true);
  return d == nullptr ? 0 : d->rank;
}

VEXA_API int64_t vexa_session_input_dim(const vexa_session* session, int32_t i, int32_t j) {
  return descriptor_dim(as_session(session), i, j, true);
}

VEXA_API uint64_t vexa_session_input_bytes(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, true);
  return d == nullptr ? 0 : d->byte_size;
}

VEXA_API uint32_t vexa_session_output_count(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->output_count;
}

VEXA_API const char* vexa_session_output_name_ptr(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, false);
  return d == nullptr ? "" : d->name;
}

VEXA_API uint64_t vexa_session_output_name_len(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, false);
  return d == nullptr ? 0 : d->name_len;
}

VEXA_API uint32_t vexa_session_output_dtype(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, false);
  return d == nullptr ? 0 : d->dtype;
}

VEXA_API uint32_t vexa_session_output_rank(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, false);
  return d == nullptr ? 0 : d->rank;
}

VEXA_API int64_t vexa_session_output_dim(const vexa_session* session, int32_t i, int32_t j) {
  return descriptor_dim(as_session(session), i, j, false);
}

VEXA_API uint64_t vexa_session_output_bytes(const vexa_session* session, int32_t i) {
  const TensorDescriptor* d = descriptor_at(as_session(session), i, false);
  return d == nullptr ? 0 : d->byte_size;
}

VEXA_API int32_t vexa_session_has_meta(const vexa_session* session, const char* key,
                                       uint64_t len) {
  const Session* s = as_session(session);
  if (s == nullptr || !s->container_loaded) return 0;
  const TextArg k = text_or_empty(key, len);
  MetaEntry e{};
  return meta_find(&s->container, k.ptr, k.len, &e) ? 1 : 0;
}

VEXA_API const char* vexa_session_meta_str_ptr(vexa_session* session, const char* key,
                                               uint64_t len) {
  uint64_t out_len = 0;
  return session_meta_str_cached(as_session(session), key, len, &out_len);
}

VEXA_API uint64_t vexa_session_meta_str_len(vexa_session* session, const char* key,
                                            uint64_t len) {
  uint64_t out_len = 0;
  session_meta_str_cached(as_session(session), key, len, &out_len);
  return out_len;
}

VEXA_API int64_t vexa_session_meta_i64(const vexa_session* session, const char* key,
                                       uint64_t len) {
  const Session* s = as_session(session);
  if (s == nullptr || !s->container_loaded) return 0;
  const TextArg k = text_or_empty(key, len);
  return meta_get_i64(&s->container, k.ptr, k.len, 0);
}

VEXA_API double vexa_session_meta_f64(const vexa_session* session, const char* key,
                                      uint64_t len) {
  const Session* s = as_session(session);
  if (s == nullptr || !s->container_loaded) return 0.0;
  const TextArg k = text_or_empty(key, len);
  return meta_get_f64(&s->container, k.ptr, k.len, 0.0);
}

VEXA_API uint32_t vexa_session_label_count(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? 0 : s->labels_count;
}

VEXA_API const char* vexa_session_label_ptr(const vexa_session* session, int32_t i) {
  const Session* s = as_session(session);
  if (s == nullptr) return "";
  uint64_t len = 0;
  return label_at(s->labels_data, s->labels_len, s->labels_count, i, &len);
}

VEXA_API uint64_t vexa_session_label_len(const vexa_session* session, int32_t i) {
  const Session* s = as_session(session);
  if (s == nullptr) return 0;
  uint64_t len = 0;
  label_at(s->labels_data, s->labels_len, s->labels_count, i, &len);
  return len;
}

VEXA_API uint32_t vexa_session_error_code(const vexa_session* session) {
  const Session* s = as_session(session);
  if (s == nullptr) return static_cast<uint32_t>(ErrorCode::kInvalidArgument);
  error_lock(s);
  const uint32_t code = s->error_code;
  error_unlock(s);
  return code;
}

VEXA_API const char* vexa_session_error_message_ptr(const vexa_session* session) {
  const Session* s = as_session(session);
  return s == nullptr ? kNullSessionText : s->error_message;
}

VEXA_API uint64_t vexa_session_error_message_len(const vexa_session* session) {
  const Session* s = as_session(session);
  if (s == nullptr) return kNullSessionTextLen;
  error_lock(s);
  const uint64_t len = s->error_message_len;
  error_unlock(s);
  return len;
}

}  // extern "C"
