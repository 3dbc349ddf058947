#include "api/output.h"

#include <cstdlib>
#include <cstring>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/text_util.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

const Output* as_output(const vexa_output* o) { return reinterpret_cast<const Output*>(o); }

const OutputTensor* tensor_at(const Output* o, int32_t i) {
  if (o == nullptr || i < 0 || static_cast<uint64_t>(i) >= o->tensor_count ||
      static_cast<uint64_t>(i) >= kMaxOutputTensors) {
    return nullptr;
  }
  return &o->tensors[i];
}

const DetectionBox* box_at(const Output* o, int32_t b) {
  if (o == nullptr || b < 0 || b >= o->box_count || b >= kMaxBoxes) return nullptr;
  return &o->boxes[b];
}

bool top_valid(const Output* o, int32_t k) {
  return o != nullptr && k >= 0 && k < o->top_count && k < kMaxTopK;
}

const char* output_label(const Output* o, uint32_t class_id, uint64_t* len) {
  // A class id is unsigned; "-1" (no class) is out of range for every label list.
  const int64_t index = class_id == kNoClass ? -1 : int64_t{class_id};
  return label_at(o->labels_data, o->labels_len, o->labels_count, index, len);
}

}  // namespace

void output_reset(Output* o) {
  for (OutputTensor& t : o->tensors) {
    std::free(t.i64_data);
    std::free(t.f16_data);
    std::free(t.u8_data);
    t.i64_data = nullptr;
    t.f16_data = nullptr;
    t.u8_data = nullptr;
  }
  label_blob_release(o->labels_blob);
  o->labels_blob = nullptr;
  o->labels_data = nullptr;
  o->labels_len = 0;
  o->labels_count = 0;
  o->top_count = 0;
  o->box_count = 0;
  std::free(o->text);
  std::free(o->full_text);
  o->text = nullptr;
  o->text_len = 0;
  o->full_text = nullptr;
  o->full_text_len = 0;
  o->finish_reason = 0;
  o->prompt_tokens = 0;
  o->generated_tokens = 0;
  o->cached_prompt_tokens = 0;
}

void output_clear(Output* o) {
  output_reset(o);
  for (OutputTensor& t : o->tensors) {
    std::free(t.f32_data);
    std::memset(&t, 0, sizeof t);
  }
  o->tensor_count = 0;
}

void output_free_and_null(Output** output) {
  if (output == nullptr || *output == nullptr) return;
  output_clear(*output);
  std::free(*output);
  *output = nullptr;
}

bool output_tensor_reserve_f32(OutputTensor* t, uint64_t count) {
  if (t->f32_data != nullptr && t->f32_capacity >= count) return true;
  std::free(t->f32_data);
  t->f32_data = nullptr;
  t->f32_capacity = 0;
  const uint64_t elements = count == 0 ? 1 : count;
  if (elements > SIZE_MAX / sizeof(float)) return false;
  t->f32_data = static_cast<float*>(api_calloc(static_cast<size_t>(elements), sizeof(float)));
  if (t->f32_data == nullptr) return false;
  t->f32_capacity = elements;
  return true;
}

void output_attach_session(Output* o, Session* session) {
  o->session = session;
  o->session_generation = session_link_generation(session);
}

void output_attach_labels(Output* o, LabelBlob* blob) {
  label_blob_retain(blob);
  label_blob_release(o->labels_blob);
  o->labels_blob = blob;
  o->labels_data = blob != nullptr ? blob->data : nullptr;
  o->labels_len = blob != nullptr ? blob->len : 0;
  o->labels_count = blob != nullptr ? blob->count : 0;
}

void output_report_error(const Output* o, uint32_t code, const char* message) {
  session_report_error_if_live(o->session, o->session_generation, code, message);
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API vexa_output* vexa_output_new(void) {
  auto* o = static_cast<Output*>(api_calloc(1, sizeof(Output)));
  if (o == nullptr) return nullptr;
  o->scale_x = 1.0f;
  o->scale_y = 1.0f;
  return reinterpret_cast<vexa_output*>(o);
}

VEXA_API void vexa_output_free(vexa_output* output) {
  Output* o = reinterpret_cast<Output*>(output);
  output_free_and_null(&o);
}

VEXA_API double vexa_output_latency_ms(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0.0 : o->latency_ms;
}
VEXA_API uint32_t vexa_output_backend_used(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->backend_used;
}
VEXA_API float vexa_output_scale_x(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 1.0f : o->scale_x;
}
VEXA_API float vexa_output_scale_y(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 1.0f : o->scale_y;
}
VEXA_API float vexa_output_pad_x(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0.0f : o->pad_x;
}
VEXA_API float vexa_output_pad_y(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0.0f : o->pad_y;
}
VEXA_API uint32_t vexa_output_tensor_count(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : static_cast<uint32_t>(o->tensor_count);
}

VEXA_API int32_t vexa_output_index_of(const vexa_output* output, const char* name,
                                      uint64_t name_len) {
  const Output* o = as_output(output);
  if (o == nullptr) return -1;
  const TextArg n = text_or_empty(name, name_len);
  for (uint64_t i = 0; i < o->tensor_count && i < kMaxOutputTensors; ++i) {
    const OutputTensor& t = o->tensors[i];
    if (t.name_len == n.len && std::memcmp(t.name, n.ptr, static_cast<size_t>(n.len)) == 0) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

VEXA_API uint32_t vexa_output_dtype(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? 0 : t->dtype;
}
VEXA_API uint32_t vexa_output_rank(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? 0 : t->rank;
}
VEXA_API int64_t vexa_output_dim(const vexa_output* output, int32_t i, int32_t j) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  if (t == nullptr || j < 0 || static_cast<uint32_t>(j) >= t->rank ||
      static_cast<uint32_t>(j) >= kMaxOutputRank) {
    return -1;
  }
  return t->dims[j];
}
VEXA_API uint64_t vexa_output_elem_count(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? 0 : t->count;
}
VEXA_API uint64_t vexa_output_f32_len(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? 0 : t->count;
}
VEXA_API const float* vexa_output_f32_ptr(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? nullptr : t->f32_data;
}
VEXA_API const int64_t* vexa_output_i64_ptr(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? nullptr : t->i64_data;
}
VEXA_API const uint16_t* vexa_output_f16_ptr(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? nullptr : t->f16_data;
}
VEXA_API const uint8_t* vexa_output_u8_ptr(const vexa_output* output, int32_t i) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  return t == nullptr ? nullptr : t->u8_data;
}

VEXA_API uint64_t vexa_output_copy_f32(const vexa_output* output, int32_t i, float* dst,
                                       uint64_t capacity) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  if (t == nullptr || dst == nullptr || t->f32_data == nullptr) return 0;
  const uint64_t n = capacity < t->count ? capacity : t->count;
  if (n != 0) std::memcpy(dst, t->f32_data, static_cast<size_t>(n) * sizeof(float));
  return n;
}
VEXA_API uint64_t vexa_output_copy_i64(const vexa_output* output, int32_t i, int64_t* dst,
                                       uint64_t capacity) {
  const OutputTensor* t = tensor_at(as_output(output), i);
  if (t == nullptr || dst == nullptr || t->i64_data == nullptr) return 0;
  const uint64_t n = capacity < t->count ? capacity : t->count;
  if (n != 0) std::memcpy(dst, t->i64_data, static_cast<size_t>(n) * sizeof(int64_t));
  return n;
}

VEXA_API uint32_t vexa_output_top_class_id(const vexa_output* output, int32_t k) {
  const Output* o = as_output(output);
  return top_valid(o, k) ? o->top_ids[k] : kNoClass;
}
VEXA_API float vexa_output_top_score(const vexa_output* output, int32_t k) {
  const Output* o = as_output(output);
  return top_valid(o, k) ? o->top_scores[k] : 0.0f;
}
VEXA_API const char* vexa_output_top_label_ptr(const vexa_output* output, int32_t k) {
  const Output* o = as_output(output);
  uint64_t len = 0;
  return top_valid(o, k) ? output_label(o, o->top_ids[k], &len) : "";
}
VEXA_API uint64_t vexa_output_top_label_len(const vexa_output* output, int32_t k) {
  const Output* o = as_output(output);
  uint64_t len = 0;
  if (top_valid(o, k)) output_label(o, o->top_ids[k], &len);
  return len;
}

VEXA_API float vexa_output_box_x1(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? 0.0f : box->x1;
}
VEXA_API float vexa_output_box_y1(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? 0.0f : box->y1;
}
VEXA_API float vexa_output_box_x2(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? 0.0f : box->x2;
}
VEXA_API float vexa_output_box_y2(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? 0.0f : box->y2;
}
VEXA_API float vexa_output_box_score(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? 0.0f : box->score;
}
VEXA_API uint32_t vexa_output_box_class_id(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? kNoClass : box->class_id;
}
VEXA_API const char* vexa_output_box_label_ptr(const vexa_output* output, int32_t b) {
  const Output* o = as_output(output);
  const DetectionBox* box = box_at(o, b);
  uint64_t len = 0;
  return box == nullptr ? "" : output_label(o, box->class_id, &len);
}
VEXA_API uint64_t vexa_output_box_label_len(const vexa_output* output, int32_t b) {
  const Output* o = as_output(output);
  const DetectionBox* box = box_at(o, b);
  uint64_t len = 0;
  if (box != nullptr) output_label(o, box->class_id, &len);
  return len;
}
VEXA_API uint32_t vexa_output_box_landmark_count(const vexa_output* output, int32_t b) {
  const DetectionBox* box = box_at(as_output(output), b);
  return box == nullptr ? 0 : box->landmark_count;
}
VEXA_API float vexa_output_box_landmark_x(const vexa_output* output, int32_t b, int32_t j) {
  const DetectionBox* box = box_at(as_output(output), b);
  if (box == nullptr || j < 0 || static_cast<uint32_t>(j) >= box->landmark_count ||
      static_cast<uint32_t>(j) >= kMaxLandmarks) {
    return 0.0f;
  }
  return box->landmark_x[j];
}
VEXA_API float vexa_output_box_landmark_y(const vexa_output* output, int32_t b, int32_t j) {
  const DetectionBox* box = box_at(as_output(output), b);
  if (box == nullptr || j < 0 || static_cast<uint32_t>(j) >= box->landmark_count ||
      static_cast<uint32_t>(j) >= kMaxLandmarks) {
    return 0.0f;
  }
  return box->landmark_y[j];
}

VEXA_API const char* vexa_output_text_ptr(const vexa_output* output) {
  const Output* o = as_output(output);
  return (o == nullptr || o->text == nullptr) ? "" : o->text;
}
VEXA_API uint64_t vexa_output_text_len(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->text_len;
}
VEXA_API const char* vexa_output_full_text_ptr(const vexa_output* output) {
  const Output* o = as_output(output);
  return (o == nullptr || o->full_text == nullptr) ? "" : o->full_text;
}
VEXA_API uint64_t vexa_output_full_text_len(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->full_text_len;
}
VEXA_API uint32_t vexa_output_finish_reason(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->finish_reason;
}
VEXA_API uint32_t vexa_output_prompt_tokens(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->prompt_tokens;
}
VEXA_API uint32_t vexa_output_generated_tokens(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->generated_tokens;
}
VEXA_API uint32_t vexa_output_cached_prompt_tokens(const vexa_output* output) {
  const Output* o = as_output(output);
  return o == nullptr ? 0 : o->cached_prompt_tokens;
}

}  // extern "C"
