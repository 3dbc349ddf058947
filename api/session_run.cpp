// One request on an opened graph model: bound inputs checked against the model, frames
// preprocessed, raw tensors converted to f32, the engine run and every output copied back.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/session_internal.h"
#include "api/text_util.h"
#include "core/atomics.h"
#include "core/clock.h"
#include "cpu/interpreter.h"
#include "gpu/graph_engine.h"
#include "platform/thread_pool.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr uint32_t kDefaultFrameSide = 224;
constexpr uint32_t kChannels = 3;
constexpr uint64_t kF32Bytes = 4;
constexpr float kU8Max = 255.0f;

Session* as_session(vexa_session* s) { return reinterpret_cast<Session*>(s); }
const Input* as_input(const vexa_input* i) { return reinterpret_cast<const Input*>(i); }
Output* as_output(vexa_output* o) { return reinterpret_cast<Output*>(o); }

uint64_t max_u64(uint64_t a, uint64_t b) { return a > b ? a : b; }

float* alloc_f32(uint64_t count) {
  const uint64_t n = count == 0 ? 1 : count;
  if (n > SIZE_MAX / sizeof(float)) return nullptr;
  return static_cast<float*>(api_malloc(static_cast<size_t>(n * sizeof(float))));
}

// A raw tensor slot widened to f32: F16 exactly, I64 and U8 converted, anything else copied.
float* tensor_to_f32(const InputTensorSlot& slot) {
  float* out = alloc_f32(slot.count);
  if (out == nullptr) return nullptr;
  switch (static_cast<TensorDtype>(slot.dtype)) {
    case TensorDtype::kF16: {
      const auto* src = static_cast<const uint16_t*>(slot.data);
      for (uint64_t i = 0; i < slot.count; ++i) out[i] = f16_bits_to_f32(src[i]);
      break;
    }
    case TensorDtype::kI64: {
      const auto* src = static_cast<const int64_t*>(slot.data);
      for (uint64_t i = 0; i < slot.count; ++i) out[i] = static_cast<float>(src[i]);
      break;
    }
    case TensorDtype::kU8: {
      const auto* src = static_cast<const uint8_t*>(slot.data);
      for (uint64_t i = 0; i < slot.count; ++i) out[i] = static_cast<float>(src[i]);
      break;
    }
    default:
      std::memcpy(out, slot.data, static_cast<size_t>(slot.count * kF32Bytes));
      break;
  }
  return out;
}

enum class BindResult { kOk, kOutOfMemory, kRefused };

// Converts the slot and copies it into the CPU engine's storage of graph input `value_id`.
BindResult cpu_bind_converted(Session* s, uint64_t value_id, const InputTensorSlot& slot) {
  float* buffer = tensor_to_f32(slot);
  if (buffer == nullptr) return BindResult::kOutOfMemory;
  const bool ok = cpu::cpu_set_input(&s->cpu_engine, value_id, buffer, slot.count * kF32Bytes);
  std::free(buffer);
  return ok ? BindResult::kOk : BindResult::kRefused;
}

void set_refused_binding(Session* s, const TensorDescriptor& d) {
  const std::string message = "Input tensor '" + std::string(d.name, d.name_len) +
                              "' could not be bound to the model's engine";
  session_set_error(s, ErrorCode::kInvalidArgument, message);
}

// The state of one request: the primary input (borrowed or owned) and its size.
struct Request {
  Session* s;
  const Input* in;
  Output* out;
  float* owned = nullptr;
  const float* primary = nullptr;
  uint64_t primary_count = 0;

  ~Request() { std::free(owned); }

  void own(float* buffer, uint64_t count) {
    std::free(owned);
    owned = buffer;
    primary = buffer;
    primary_count = count;
  }
  void borrow(const float* data, uint64_t count) {
    std::free(owned);
    owned = nullptr;
    primary = data;
    primary_count = count;
  }
  bool fail(ErrorCode code, std::string_view message) {
    session_set_error(s, code, message);
    return false;
  }
};

bool frame_has_pixels(const Frame* f) {
  return f != nullptr && f->data != nullptr && f->width != 0 && f->height != 0;
}

bool bind_frames(Request& r) {
  Session* s = r.s;
  const Input* in = r.in;
  const TensorDescriptor& d0 = s->inputs[0];
  if (in->frame_named &&
      (in->frame_name_len != d0.name_len || std::memcmp(in->frame_name, d0.name, d0.name_len) != 0)) {
    return r.fail(ErrorCode::kInvalidArgument,
                  "Input frame name does not match model primary input tensor");
  }
  if (s->batch_size >= 2 && in->batch_count != s->batch_size) {
    return r.fail(ErrorCode::kInvalidArgument,
                  "Batch size requires matching number of frames bound via add_batch_frame");
  }
  if (!frame_has_pixels(in->frame)) {
    return r.fail(ErrorCode::kInvalidImage, "Input Frame contains no valid pixel data");
  }
  uint64_t width = kDefaultFrameSide;
  uint64_t height = kDefaultFrameSide;
  if (d0.rank >= 4) {
    // A dynamic or absurd side would size the tensor from garbage.
    if (d0.dims[2] < 1 || d0.dims[2] > kMaxImageSide || d0.dims[3] < 1 || d0.dims[3] > kMaxImageSide) {
      return r.fail(ErrorCode::kUnsupported,
                    "Model input height and width must be between 1 and 32768 for frame input");
    }
    height = static_cast<uint64_t>(d0.dims[2]);
    width = static_cast<uint64_t>(d0.dims[3]);
  }
  const uint64_t n = s->batch_size > 1 ? s->batch_size : 1;
  const uint64_t per_item = kChannels * width * height;  // at most 3 x 2^30
  if (per_item > kMaxTensorElements || n > kMaxTensorElements / per_item) {
    return r.fail(ErrorCode::kUnsupported, "Model input frame tensor exceeds 2^30 elements");
  }
  const uint64_t count = max_u64(per_item * n, d0.element_count);
  float* buffer = alloc_f32(count);
  if (buffer == nullptr) {
    return r.fail(ErrorCode::kOutOfMemory, "Out of memory allocating preprocessed image tensor");
  }
  // Values past the frames (a model input larger than three planes) read as zeros.
  if (count > per_item * n) std::memset(buffer + per_item * n, 0, (count - per_item * n) * kF32Bytes);
  r.own(buffer, count);
  Output* o = r.out;
  for (uint64_t i = 0; i < n; ++i) {
    const Frame* f = in->frame;
    if (i < in->batch_count && i < kMaxBatchFrames && in->batch[i] != nullptr) f = in->batch[i];
    if (!frame_has_pixels(f)) {
      return r.fail(ErrorCode::kInvalidImage, "Batch Input Frame contains no valid pixel data");
    }
    float sx = 1, sy = 1, px = 0, py = 0;
    preprocess_frame(s, f, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                     buffer + i * per_item, &sx, &sy, &px, &py);
    if (i == 0) {
      o->scale_x = sx;
      o->scale_y = sy;
      o->pad_x = px;
      o->pad_y = py;
    }
  }
  o->source_width = in->frame->width;
  o->source_height = in->frame->height;
  o->input_width = static_cast<uint32_t>(width);
  o->input_height = static_cast<uint32_t>(height);
  return true;
}

// Model input index of a slot, or -1.
int64_t slot_target(const Session* s, const InputTensorSlot& slot) {
  if (!slot.named) return slot.index < s->input_count ? static_cast<int64_t>(slot.index) : -1;
  int64_t found = -1;
  for (uint32_t i = 0; i < s->input_count; ++i) {
    const TensorDescriptor& d = s->inputs[i];
    if (d.name_len == slot.name_len && std::memcmp(d.name, slot.name, slot.name_len) == 0) found = i;
  }
  return found;
}

bool bind_tensors(Request& r) {
  Session* s = r.s;
  const Input* in = r.in;
  if (in->tensor_count == 0) {
    return r.fail(ErrorCode::kInvalidArgument, "Input has neither a Frame nor raw tensors bound");
  }
  bool bound[kMaxModelInputs] = {};
  for (uint64_t k = 0; k < kMaxInputTensors; ++k) {
    const InputTensorSlot& slot = in->tensors[k];
    if (!slot.used || slot.data == nullptr) continue;
    const int64_t target = slot_target(s, slot);
    if (target < 0) {
      return r.fail(ErrorCode::kInvalidArgument,
                    "Input tensor index or name does not match model inputs");
    }
    const TensorDescriptor& d = s->inputs[target];
    if (slot.count != d.element_count) {
      return r.fail(ErrorCode::kInvalidArgument,
                    "Input tensor element count does not match model input shape");
    }
    bound[target] = true;
    const TensorDtype dtype = static_cast<TensorDtype>(slot.dtype);
    if (target == 0) {
      if (dtype == TensorDtype::kF32) {
        r.borrow(static_cast<const float*>(slot.data), slot.count);
      } else if (dtype == TensorDtype::kU8 || dtype == TensorDtype::kF16) {
        float* buffer = tensor_to_f32(slot);
        if (buffer == nullptr) {
          return r.fail(ErrorCode::kOutOfMemory, dtype == TensorDtype::kU8
                                                     ? "OOM converting U8 input"
                                                     : "OOM converting F16 input");
        }
        r.own(buffer, slot.count);
      } else if (s->graph_engine_present) {
        float* buffer = tensor_to_f32(slot);
        if (buffer == nullptr) return r.fail(ErrorCode::kOutOfMemory, "OOM converting I64 input");
        r.own(buffer, slot.count);
      } else if (s->cpu_engine_present) {
        const BindResult b = cpu_bind_converted(s, d.value_id, slot);
        if (b == BindResult::kOutOfMemory) {
          return r.fail(ErrorCode::kOutOfMemory, "OOM converting I64 input");
        }
        if (b == BindResult::kRefused) {
          set_refused_binding(s, d);
          return false;
        }
        r.borrow(nullptr, 0);
      }
      continue;
    }
    if (s->graph_engine_present) {
      float* buffer = tensor_to_f32(slot);
      if (buffer == nullptr) return r.fail(ErrorCode::kOutOfMemory, "OOM converting secondary input");
      const bool ok = mps_set_input(&s->graph_engine, d.value_id, buffer, slot.count * kF32Bytes);
      std::free(buffer);
      if (!ok) {
        const std::string message = "GPU backend could not bind input tensor '" +
                                    std::string(d.name, d.name_len) + "'; use CPU or AUTO";
        return r.fail(ErrorCode::kUnsupported, message);
      }
    } else if (s->cpu_engine_present) {
      BindResult b = BindResult::kOk;
      const char* oom = nullptr;
      if (dtype == TensorDtype::kU8 || dtype == TensorDtype::kI64 || dtype == TensorDtype::kF16) {
        b = cpu_bind_converted(s, d.value_id, slot);
        oom = dtype == TensorDtype::kU8    ? "OOM converting secondary U8 input"
              : dtype == TensorDtype::kI64 ? "OOM converting secondary I64 input"
                                           : "OOM converting secondary F16 input";
      } else {
        b = cpu::cpu_set_input(&s->cpu_engine, d.value_id, slot.data, slot.bytes)
                ? BindResult::kOk
                : BindResult::kRefused;
      }
      if (b == BindResult::kOutOfMemory) return r.fail(ErrorCode::kOutOfMemory, oom);
      if (b == BindResult::kRefused) {
        set_refused_binding(s, d);
        return false;
      }
    }
  }
  // An input left unbound would run on whatever the previous request put there.
  for (uint32_t i = 0; i < s->input_count; ++i) {
    if (bound[i]) continue;
    const std::string message =
        "Model input '" + std::string(s->inputs[i].name, s->inputs[i].name_len) + "' is not bound";
    return r.fail(ErrorCode::kInvalidArgument, message);
  }
  return true;
}

void write_header(Session* s, Output* o) {
  if (s->labels_blob != nullptr) output_attach_labels(o, s->labels_blob);
  o->scale_x = 1.0f;
  o->scale_y = 1.0f;
  o->pad_x = 0.0f;
  o->pad_y = 0.0f;
  o->source_width = 0;
  o->source_height = 0;
  o->input_width = 0;
  o->input_height = 0;
  o->boxes_corner_form = s->boxes_corner_form;
  o->decode_len = copy_bounded(s->decode, s->decode_len, o->decode, kOutputMetaNameCapacity);
  o->task_len = copy_bounded(s->task, s->task_len, o->task, kOutputMetaNameCapacity);
}

bool prepare_outputs(Request& r, uint64_t n) {
  Session* s = r.s;
  Output* o = r.out;
  for (uint32_t i = 0; i < s->output_count && i < kMaxOutputTensors; ++i) {
    const TensorDescriptor& d = s->outputs[i];
    OutputTensor& t = o->tensors[i];
    // The engine writes f32 whatever the declared type, possibly more than the descriptor
    // holds when a batch scaled an output the descriptor did not.
    uint64_t need = max_u64(max_u64(d.element_count, 1), session_cpu_output_count(s, i, n));
    if (i == 0 && s->graph_engine_present) {
      need = max_u64(need, mps_output_floats(&s->graph_engine, s->batch_size < 2 ? 0 : n));
    }
    if (!output_tensor_reserve_f32(&t, need)) {
      t.f32_data = nullptr;
      t.f32_capacity = 0;
      output_clear(o);
      return r.fail(ErrorCode::kOutOfMemory, "Out of memory allocating Output tensor");
    }
    t.name_len = copy_bounded(d.name, d.name_len, t.name, kOutputNameCapacity);
    t.dtype = d.dtype;
    t.rank = d.rank;
    for (uint32_t k = 0; k < kMaxOutputRank; ++k) t.dims[k] = k < d.rank ? d.dims[k] : 0;
    t.count = d.element_count;
    t.i64_data = nullptr;
    t.f16_data = nullptr;
    t.u8_data = nullptr;
  }
  o->tensor_count = s->output_count;
  return true;
}

bool engine_failed(Request& r, const char* message) {
  output_clear(r.out);
  if (session_cancel_requested(r.s)) return r.fail(ErrorCode::kCancelled, "Inference was cancelled");
  return r.fail(ErrorCode::kInference, message);
}

bool dispatch(Request& r, uint64_t n) {
  Session* s = r.s;
  Output* o = r.out;
  float* out0 = o->tensors[0].f32_data;
  if (s->graph_engine_present && r.primary != nullptr) {
    if (mps_input_floats(&s->graph_engine, s->batch_size < 2 ? 0 : n) > r.primary_count) {
      return engine_failed(r, "Input tensor is smaller than the engine's input");
    }
    bool ok = false;
    {
      // The device runs on this machine's cores: the configured thread count holds for it too.
      const ThreadCapScope cap(s->config.threads);
      ok = s->batch_size < 2 ? mps_run(&s->graph_engine, r.primary, out0)
                             : mps_run_batched(&s->graph_engine, n, r.primary, out0);
    }
    if (!ok) return engine_failed(r, "GPU/NPU graph execution failed");
    for (uint32_t i = 1; i < s->output_count; ++i) {
      const float* src = mps_output_pointer(&s->graph_engine, i);
      if (src == nullptr) continue;
      OutputTensor& t = o->tensors[i];
      const uint64_t bytes = t.count * kF32Bytes;
      const uint64_t have = mps_output_byte_size(&s->graph_engine, i);
      std::memcpy(t.f32_data, src, static_cast<size_t>(bytes < have ? bytes : have));
    }
    o->backend_used = mps_active_backend(&s->graph_engine);
    return true;
  }
  if (s->cpu_engine_present) {
    if (r.primary != nullptr && session_cpu_input_count(s, n) > r.primary_count) {
      return engine_failed(r, "Input tensor is smaller than the engine's input");
    }
    const bool ok = s->batch_size < 2 ? cpu::cpu_execute_graph(&s->cpu_engine, r.primary, out0)
                                      : cpu::cpu_run_batch(&s->cpu_engine, n, r.primary, out0);
    if (!ok) return engine_failed(r, "CPU graph execution failed");
    for (uint32_t i = 1; i < s->output_count; ++i) {
      const float* src = cpu::cpu_output_data(&s->cpu_engine, i);
      if (src == nullptr) continue;
      OutputTensor& t = o->tensors[i];
      const uint64_t have = session_cpu_output_count(s, i, n);
      const uint64_t copy = have < t.f32_capacity ? have : t.f32_capacity;
      std::memcpy(t.f32_data, src, static_cast<size_t>(copy * kF32Bytes));
    }
    o->backend_used = static_cast<uint32_t>(Backend::kCpu);
    return true;
  }
  output_clear(o);
  return r.fail(ErrorCode::kInference, "No backend engine initialized");
}

int64_t f32_to_i64_saturating(float v) {
  if (std::isnan(v)) return 0;
  const float t = std::trunc(v);
  if (t >= 9.2233720368547758e18f) return INT64_MAX;
  if (t <= -9.2233720368547758e18f) return INT64_MIN;
  return static_cast<int64_t>(t);
}

uint8_t f32_to_u8(float v) {
  if (!(v >= 0.0f)) return 0;
  return static_cast<uint8_t>(std::trunc(std::fmin(v, kU8Max)));
}

// Narrowed copies for outputs the model declares as I64, F16 or U8; a failed allocation leaves
// that copy absent.
void add_narrowed_copies(Output* o) {
  for (uint64_t i = 0; i < o->tensor_count; ++i) {
    OutputTensor& t = o->tensors[i];
    if (t.count == 0 || t.f32_data == nullptr) continue;
    const size_t n = static_cast<size_t>(t.count);
    switch (static_cast<TensorDtype>(t.dtype)) {
      case TensorDtype::kI64:
        t.i64_data = static_cast<int64_t*>(api_malloc(n * sizeof(int64_t)));
        if (t.i64_data != nullptr) {
          for (size_t k = 0; k < n; ++k) t.i64_data[k] = f32_to_i64_saturating(t.f32_data[k]);
        }
        break;
      case TensorDtype::kF16:
        t.f16_data = static_cast<uint16_t*>(api_malloc(n * sizeof(uint16_t)));
        if (t.f16_data != nullptr) {
          for (size_t k = 0; k < n; ++k) t.f16_data[k] = f32_to_f16_bits(t.f32_data[k]);
        }
        break;
      case TensorDtype::kU8:
        t.u8_data = static_cast<uint8_t*>(api_malloc(n));
        if (t.u8_data != nullptr) {
          for (size_t k = 0; k < n; ++k) t.u8_data[k] = f32_to_u8(t.f32_data[k]);
        }
        break;
      default:
        break;
    }
  }
}

bool run_graph(Session* s, const Input* in, Output* o, double t0) {
  Request r{s, in, o};
  write_header(s, o);
  if (s->input_count == 0 || s->output_count == 0) {
    return r.fail(ErrorCode::kInvalidModel, "Model has no input or output tensors");
  }
  const bool frames = in->has_frame && in->frame != nullptr;
  if (!(frames ? bind_frames(r) : bind_tensors(r))) return false;
  const uint64_t n = s->batch_size > 1 ? s->batch_size : 1;
  if (!prepare_outputs(r, n)) return false;
  if (!dispatch(r, n)) return false;
  if (session_cancel_requested(s)) {
    output_clear(o);
    return r.fail(ErrorCode::kCancelled, "Inference was cancelled");
  }
  add_narrowed_copies(o);
  o->latency_ms = (monotonic_seconds() - t0) * 1000.0;
  session_clear_error(s);
  return true;
}

}  // namespace

void session_begin_request(Session* s, Output* o) {
  atomic_store_u32(&s->cancel, 0, kOrderRelease);
  output_reset(o);
  output_attach_session(o, s);
}

bool session_run_impl(Session* s, const Input* in, Output* o) {
  return session_request(s, in, o, [&](Session* session) {
    const double t0 = monotonic_seconds();
    session_begin_request(session, o);
    return session->is_generative ? session_generate(session, in, o, false)
                                  : run_graph(session, in, o, t0);
  });
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API int32_t vexa_session_run(vexa_session* session, const vexa_input* input,
                                  vexa_output* output) {
  Session* s = as_session(session);
  if (s == nullptr) return 0;
  return session_run_impl(s, as_input(input), as_output(output)) ? 1 : 0;
}

}  // extern "C"
