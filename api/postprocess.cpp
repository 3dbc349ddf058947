#include "api/postprocess.h"

#include <cmath>
#include <cstdlib>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "core/types.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr float kTopKFloor = -1e30f;
constexpr float kNormEpsilon = 1e-20f;
constexpr uint32_t kInvalidArgument = static_cast<uint32_t>(ErrorCode::kInvalidArgument);
constexpr uint32_t kOutOfMemory = static_cast<uint32_t>(ErrorCode::kOutOfMemory);

const OutputTensor* valid_tensor(const Output* o, int32_t i) {
  if (o == nullptr || i < 0 || static_cast<uint64_t>(i) >= o->tensor_count ||
      static_cast<uint64_t>(i) >= kMaxOutputTensors) {
    return nullptr;
  }
  return &o->tensors[i];
}

uint64_t batch_of(const OutputTensor& t) {
  if (t.rank > 1 && t.dims[0] > 1) return static_cast<uint64_t>(t.dims[0]);
  return 1;
}

bool already_chosen(const uint32_t* ids, int32_t taken, uint32_t j) {
  for (int32_t r = 0; r < taken; ++r) {
    if (ids[r] == j) return true;
  }
  return false;
}

}  // namespace

uint64_t output_first_item_count(const OutputTensor& t) {
  const uint64_t batch = batch_of(t);
  if (batch >= 2 && t.count % batch == 0) return t.count / batch;
  return t.count;
}

int32_t compute_top_k_impl(Output* o, int32_t tensor, int32_t k, bool softmax) {
  const OutputTensor* t = valid_tensor(o, tensor);
  if (t == nullptr || k < 1 || t->f32_data == nullptr || t->count == 0) return 0;
  const float* v = t->f32_data;
  const uint64_t n = output_first_item_count(*t);
  uint64_t kk = static_cast<uint64_t>(k);
  if (kk > n) kk = n;
  if (kk > static_cast<uint64_t>(kMaxTopK)) kk = kMaxTopK;

  float m = -INFINITY;
  float sum = 1.0f;
  if (softmax) {
    for (uint64_t j = 0; j < n; ++j) {
      if (v[j] > m) m = v[j];
    }
    sum = 0.0f;
    for (uint64_t j = 0; j < n; ++j) sum += std::exp(v[j] - m);
    if (sum <= 0.0f) sum = 1.0f;
  }
  for (uint64_t r = 0; r < kk; ++r) {
    float best = kTopKFloor;
    int64_t id = -1;
    // Strictly greater: ties go to the lowest index; NaN and the floor itself never win.
    for (uint64_t j = 0; j < n; ++j) {
      if (v[j] > best && !already_chosen(o->top_ids, static_cast<int32_t>(r),
                                         static_cast<uint32_t>(j))) {
        best = v[j];
        id = static_cast<int64_t>(j);
      }
    }
    o->top_ids[r] = id < 0 ? kNoClass : static_cast<uint32_t>(id);
    o->top_scores[r] = (softmax && id >= 0) ? std::exp(best - m) / sum : best;
  }
  o->top_count = static_cast<int32_t>(kk);
  return static_cast<int32_t>(kk);
}

int32_t normalize_l2_impl(Output* o, int32_t tensor) {
  const OutputTensor* t = valid_tensor(o, tensor);
  if (t == nullptr || t->f32_data == nullptr || t->count == 0) return 0;
  const uint64_t item = output_first_item_count(*t);
  const uint64_t items = t->count / item;
  float* v = t->f32_data;
  for (uint64_t b = 0; b < items; ++b) {
    float* x = v + b * item;
    float s = 0.0f;
    for (uint64_t j = 0; j < item; ++j) s += x[j] * x[j];
    if (s <= kNormEpsilon) return 0;
    const float inv = 1.0f / std::sqrt(s);
    for (uint64_t j = 0; j < item; ++j) x[j] *= inv;
  }
  return 1;
}

float cosine_similarity_impl(const Output* oa, int32_t tensor_a, const Output* ob,
                             int32_t tensor_b) {
  const OutputTensor* a = valid_tensor(oa, tensor_a);
  const OutputTensor* b = valid_tensor(ob, tensor_b);
  if (a == nullptr || b == nullptr || a->f32_data == nullptr || b->f32_data == nullptr ||
      a->count == 0 || a->count != b->count) {
    return 0.0f;
  }
  const uint64_t n = output_first_item_count(*a);
  float dot = 0.0f, na = 0.0f, nb = 0.0f;
  for (uint64_t j = 0; j < n; ++j) {
    const float x = a->f32_data[j];
    const float y = b->f32_data[j];
    dot += x * y;
    na += x * x;
    nb += y * y;
  }
  const float d = std::sqrt(na) * std::sqrt(nb);
  return d > kNormEpsilon ? dot / d : 0.0f;
}

uint8_t tensor_value_to_byte(float x, float scale, float offset) {
  const float t = std::fma(x, scale, offset);
  if (std::isnan(t)) return 0;
  if (t < 0.0f) return 0;
  if (t > 255.0f) return 255;
  const float rounded = std::trunc(t + 0.5f);
  return rounded > 255.0f ? 255 : static_cast<uint8_t>(rounded);
}

int32_t output_to_frame_impl(const Output* o, int32_t tensor, Frame* frame, float scale,
                             float offset) {
  if (frame == nullptr) return 0;
  const OutputTensor* t = valid_tensor(o, tensor);
  if (t == nullptr) {
    handle_set_error(*frame, kInvalidArgument, "Invalid Output handle or tensor_idx");
    return 0;
  }
  if (t->f32_data == nullptr || t->rank < 3) {
    handle_set_error(*frame, kInvalidArgument, "Output tensor is not an image tensor");
    return 0;
  }
  const bool batched = t->rank == 4;
  const int64_t ch = t->dims[batched ? 1 : 0];
  const int64_t h = t->dims[batched ? 2 : 1];
  const int64_t w = t->dims[batched ? 3 : 2];
  if ((ch != 1 && ch != 3) || h < 1 || w < 1 || h > UINT32_MAX || w > UINT32_MAX) {
    handle_set_error(*frame, kInvalidArgument, "Output tensor channels must be 1 or 3");
    return 0;
  }
  // The planes must lie inside the values the tensor actually holds.
  uint64_t plane, needed;
  if (__builtin_mul_overflow(static_cast<uint64_t>(w), static_cast<uint64_t>(h), &plane) ||
      __builtin_mul_overflow(plane, static_cast<uint64_t>(ch), &needed) || needed > t->count) {
    handle_set_error(*frame, kInvalidArgument, "Output tensor is not an image tensor");
    return 0;
  }
  auto* pixels = static_cast<uint8_t*>(api_malloc(static_cast<size_t>(plane) * kRgbBytesPerPixel));
  if (pixels == nullptr) {
    handle_set_error(*frame, kOutOfMemory, "Out of memory allocating output Frame");
    return 0;
  }
  const float* v = t->f32_data;
  for (uint64_t p = 0; p < plane; ++p) {
    uint8_t* px = pixels + p * kRgbBytesPerPixel;
    if (ch == 3) {
      px[0] = tensor_value_to_byte(v[p], scale, offset);
      px[1] = tensor_value_to_byte(v[plane + p], scale, offset);
      px[2] = tensor_value_to_byte(v[2 * plane + p], scale, offset);
    } else {
      px[0] = px[1] = px[2] = tensor_value_to_byte(v[p], scale, offset);
    }
  }
  return frame_adopt_rgb(frame, pixels, static_cast<uint32_t>(w), static_cast<uint32_t>(h));
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API int32_t vexa_output_compute_top_k(vexa_output* output, int32_t tensor, int32_t k,
                                           int32_t softmax) {
  return guard_value<int32_t>(0, [&] {
    return compute_top_k_impl(reinterpret_cast<Output*>(output), tensor, k, softmax != 0);
  });
}

VEXA_API int32_t vexa_output_normalize_l2(vexa_output* output, int32_t tensor) {
  return guard_value<int32_t>(
      0, [&] { return normalize_l2_impl(reinterpret_cast<Output*>(output), tensor); });
}

VEXA_API float vexa_output_cosine_similarity(const vexa_output* output_a, int32_t tensor_a,
                                             const vexa_output* output_b, int32_t tensor_b) {
  return guard_value<float>(0.0f, [&] {
    return cosine_similarity_impl(reinterpret_cast<const Output*>(output_a), tensor_a,
                                  reinterpret_cast<const Output*>(output_b), tensor_b);
  });
}

VEXA_API int32_t vexa_output_to_frame(const vexa_output* output, int32_t tensor,
                                      vexa_frame* frame, float scale, float offset) {
  Frame* f = reinterpret_cast<Frame*>(frame);
  return guard_handle<Frame, int32_t>(f, 0, [&] {
    return output_to_frame_impl(reinterpret_cast<const Output*>(output), tensor, f, scale,
                                offset);
  });
}

}  // extern "C"
