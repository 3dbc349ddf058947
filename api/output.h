// The output handle: everything a request produces, plus the post-processing results computed
// from it (top-k, boxes). The session fills it; getters never fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/label_blob.h"
#include "api/session_record.h"

namespace vexa {

inline constexpr uint64_t kMaxOutputTensors = 64;
inline constexpr uint32_t kMaxOutputRank = 6;
inline constexpr int32_t kMaxTopK = 256;
inline constexpr int32_t kMaxBoxes = 256;
inline constexpr uint32_t kMaxLandmarks = 17;
inline constexpr uint64_t kOutputNameCapacity = 64;
inline constexpr uint64_t kOutputMetaNameCapacity = 32;
inline constexpr uint32_t kNoClass = 0xFFFFFFFFu;

struct OutputTensor {
  char name[kOutputNameCapacity];
  uint64_t name_len;
  uint32_t dtype;  // TensorDtype the model declares
  uint32_t rank;
  int64_t dims[kMaxOutputRank];
  uint64_t count;
  uint64_t f32_capacity;  // elements allocated in f32_data; reused by the next run
  float* f32_data;
  int64_t* i64_data;
  uint16_t* f16_data;
  uint8_t* u8_data;
};
static_assert(sizeof(OutputTensor) == 176);

struct DetectionBox {
  float x1, y1, x2, y2;
  float score;
  uint32_t class_id;
  uint32_t landmark_count;  // 0, 5 or 17
  float landmark_x[kMaxLandmarks];
  float landmark_y[kMaxLandmarks];
  uint8_t suppressed;  // working flag of suppression; 0 in every stored box
};
static_assert(offsetof(DetectionBox, landmark_x) == 28);
static_assert(sizeof(DetectionBox) == 168);

struct Output {
  double latency_ms;
  uint32_t backend_used;
  float scale_x;
  float scale_y;
  float pad_x;
  float pad_y;
  uint32_t source_width;
  uint32_t source_height;
  uint32_t input_width;
  uint32_t input_height;
  uint8_t boxes_corner_form;
  char decode[kOutputMetaNameCapacity];
  uint64_t decode_len;
  char task[kOutputMetaNameCapacity];
  uint64_t task_len;
  // The session that last filled this output, and its generation then: errors of box decoding
  // reach it only while that same session is alive (see session_record.h).
  Session* session;
  uint64_t session_generation;
  uint64_t tensor_count;
  OutputTensor tensors[kMaxOutputTensors];
  LabelBlob* labels_blob;
  const char* labels_data;
  uint64_t labels_len;
  uint32_t labels_count;
  int32_t top_count;
  uint32_t top_ids[kMaxTopK];
  float top_scores[kMaxTopK];
  int32_t box_count;
  DetectionBox boxes[kMaxBoxes];
  char* text;
  uint64_t text_len;
  char* full_text;
  uint64_t full_text_len;
  uint32_t finish_reason;
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t cached_prompt_tokens;
};
static_assert(offsetof(Output, session) == 128);
static_assert(offsetof(Output, tensors) == 152);
static_assert(offsetof(Output, labels_blob) == 11416);
static_assert(offsetof(Output, boxes) == 13500);
static_assert(sizeof(Output) == 56560);

// Drops per-run results (narrowed copies, labels, top-k, boxes, text, counts); keeps the f32
// buffers for reuse, the tensor count, the geometry, decode, task and the session link.
void output_reset(Output* output);
// output_reset, then frees every f32 buffer and forgets every tensor.
void output_clear(Output* output);
void output_free_and_null(Output** output);

// Makes tensor `t` hold `count` f32 values: the buffer is reused when large enough, else
// replaced by `count` zeroed elements (at least 1). False when that allocation fails.
bool output_tensor_reserve_f32(OutputTensor* t, uint64_t count);

// Remembers the session that fills this output (null detaches).
void output_attach_session(Output* output, Session* session);
// Takes a reference on the labels (null drops them).
void output_attach_labels(Output* output, LabelBlob* blob);

// Writes an error into the attached session when it is still alive.
void output_report_error(const Output* output, uint32_t code, const char* message);

}  // namespace vexa
