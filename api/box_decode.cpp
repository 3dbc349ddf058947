#include "api/box_decode.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "api/error_map.h"
#include "core/types.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

constexpr uint32_t kUnsupported = static_cast<uint32_t>(ErrorCode::kUnsupported);
constexpr char kUnsupportedLayoutMessage[] =
    "Output tensor layout is not supported by decode_boxes";
constexpr char kShortTensorMessage[] = "Output tensor is too short for its box layout";

constexpr uint32_t kFaceTensorCount = 9;
constexpr uint32_t kFaceStrides[3] = {8, 16, 32};
constexpr uint32_t kFaceAnchorsPerCell = 2;
constexpr uint32_t kFaceLandmarks = 5;
constexpr uint32_t kBoxValues = 4;
constexpr uint32_t kRowLayoutWidth = 6;
constexpr uint32_t kPoseKeypoints = 17;
constexpr uint32_t kPoseFeatureRows = 56;  // 4 box + 1 score + 17 x (x, y, confidence)
constexpr int64_t kGridMinFeatures = 5;
constexpr int64_t kGridMinAnchors = 16;
constexpr int64_t kNoObjectWidthCoco = 81;
constexpr int64_t kNoObjectWidthDetr = 92;

// Outcome of one layout pass.
enum class LayoutResult { kDone, kUnsupported, kShortTensor };

struct Candidates {
  DetectionBox items[kMaxBoxCandidates];
  int32_t count = 0;

  // Keeps the best 512 above the threshold; a full list replaces its lowest score (first among
  // equals) only with a strictly greater one.
  void offer(const DetectionBox& box) {
    if (count < kMaxBoxCandidates) {
      items[count++] = box;
      return;
    }
    int32_t lowest = 0;
    for (int32_t i = 1; i < count; ++i) {
      if (items[i].score < items[lowest].score) lowest = i;
    }
    if (box.score > items[lowest].score) items[lowest] = box;
  }
};

struct Mapper {
  float sx, sy, pad_x, pad_y;
  uint32_t source_width, source_height;

  explicit Mapper(const Output& o)
      : sx(o.scale_x > 0.0f ? o.scale_x : 1.0f),
        sy(o.scale_y > 0.0f ? o.scale_y : 1.0f),
        pad_x(o.pad_x),
        pad_y(o.pad_y),
        source_width(o.source_width),
        source_height(o.source_height) {}

  static float clamp(float v, uint32_t limit) {
    if (limit == 0) return v;
    if (v < 0.0f) return 0.0f;
    const float hi = static_cast<float>(limit);
    return v > hi ? hi : v;
  }
  float x(float v) const { return clamp((v - pad_x) / sx, source_width); }
  float y(float v) const { return clamp((v - pad_y) / sy, source_height); }
};

DetectionBox blank_box() {
  DetectionBox b;
  std::memset(&b, 0, sizeof b);
  return b;
}

bool passes(float score, float threshold) { return score >= threshold; }

std::string_view text_of(const char* s, uint64_t len) {
  return {s, static_cast<size_t>(len < kOutputMetaNameCapacity ? len : 0)};
}

// True when the tensor holds at least rows x cols values (checked product).
bool holds(const OutputTensor& t, uint64_t rows, uint64_t cols) {
  uint64_t need;
  return !__builtin_mul_overflow(rows, cols, &need) && need <= t.count;
}

int64_t last_dim(const OutputTensor& t) { return t.rank == 0 ? 0 : t.dims[t.rank - 1]; }

// Class column of the maximum (first among equals) over `classes` values `step` apart.
void best_class(const float* first, uint64_t step, uint64_t classes, float* score,
                uint32_t* class_id) {
  float best = first[0];
  uint32_t id = 0;
  for (uint64_t c = 1; c < classes; ++c) {
    const float v = first[c * step];
    if (v > best) {
      best = v;
      id = static_cast<uint32_t>(c);
    }
  }
  *score = best;
  *class_id = id;
}

void set_centre_box(DetectionBox* b, const Mapper& map, float cx, float cy, float w, float h) {
  b->x1 = map.x(std::fma(w, -0.5f, cx));
  b->y1 = map.y(std::fma(h, -0.5f, cy));
  b->x2 = map.x(std::fma(w, 0.5f, cx));
  b->y2 = map.y(std::fma(h, 0.5f, cy));
}

bool is_face_layout(const Output& o) {
  if (o.tensor_count != kFaceTensorCount) return false;
  const std::string_view decode = text_of(o.decode, o.decode_len);
  if (!decode.empty() && decode != "scrfd") return false;
  const uint64_t w = o.input_width != 0 ? o.input_width : kDefaultDetectorInputSize;
  const uint64_t h = o.input_height != 0 ? o.input_height : w;
  return o.tensors[0].count == (w / 8) * (h / 8) * kFaceAnchorsPerCell;
}

LayoutResult decode_face(const Output& o, const Mapper& map, float threshold, Candidates* out) {
  const uint64_t w = o.input_width != 0 ? o.input_width : kDefaultDetectorInputSize;
  const uint64_t h = o.input_height != 0 ? o.input_height : w;
  for (uint32_t s = 0; s < 3; ++s) {
    const uint32_t stride = kFaceStrides[s];
    const OutputTensor& scores_t = o.tensors[s];
    const OutputTensor& box_t = o.tensors[s + 3];
    const OutputTensor& mark_t = o.tensors[s + 6];
    if (scores_t.f32_data == nullptr || box_t.f32_data == nullptr || mark_t.f32_data == nullptr) {
      continue;
    }
    const uint64_t fw = w / stride;
    const uint64_t fh = h / stride;
    const uint64_t entries = fw * fh * kFaceAnchorsPerCell;
    // Only tensor 0's size picked this layout; the others must hold their grids too.
    if (!holds(scores_t, entries, 1) || !holds(box_t, entries, kBoxValues) ||
        !holds(mark_t, entries, 2 * kFaceLandmarks)) {
      return LayoutResult::kShortTensor;
    }
    const float fstride = static_cast<float>(stride);
    for (uint64_t c = 0; c < fw * fh; ++c) {
      const float cx = static_cast<float>((c % fw) * stride);
      const float cy = static_cast<float>((c / fw) * stride);
      for (uint32_t a = 0; a < kFaceAnchorsPerCell; ++a) {
        const uint64_t e = kFaceAnchorsPerCell * c + a;
        const float score = scores_t.f32_data[e];
        if (!passes(score, threshold)) continue;
        const float* d = box_t.f32_data + kBoxValues * e;
        const float* l = mark_t.f32_data + 2 * kFaceLandmarks * e;
        DetectionBox b = blank_box();
        b.score = score;
        b.x1 = map.x(cx - d[0] * fstride);
        b.y1 = map.y(cy - d[1] * fstride);
        b.x2 = map.x(cx + d[2] * fstride);
        b.y2 = map.y(cy + d[3] * fstride);
        for (uint32_t k = 0; k < kFaceLandmarks; ++k) {
          b.landmark_x[k] = map.x(cx + l[2 * k] * fstride);
          b.landmark_y[k] = map.y(cy + l[2 * k + 1] * fstride);
        }
        b.landmark_count = kFaceLandmarks;
        out->offer(b);
      }
    }
  }
  return LayoutResult::kDone;
}

LayoutResult decode_split(const Output& o, const Mapper& map, float threshold, Candidates* out) {
  const OutputTensor& boxes = o.tensors[0];
  const OutputTensor& scores = o.tensors[1];
  const int64_t n = boxes.dims[2];
  const int64_t classes = scores.dims[1];
  if (n < 1 || classes < 1 || boxes.f32_data == nullptr || scores.f32_data == nullptr) {
    return LayoutResult::kDone;
  }
  const uint64_t un = static_cast<uint64_t>(n);
  if (!holds(boxes, kBoxValues, un) || !holds(scores, static_cast<uint64_t>(classes), un)) {
    return LayoutResult::kShortTensor;
  }
  const std::string_view decode = text_of(o.decode, o.decode_len);
  const bool corners = o.boxes_corner_form == 1 || decode == "xyxy" || decode == "yolov8_xyxy";
  for (uint64_t i = 0; i < un; ++i) {
    DetectionBox b = blank_box();
    best_class(scores.f32_data + i, un, static_cast<uint64_t>(classes), &b.score, &b.class_id);
    if (!passes(b.score, threshold)) continue;
    const float b0 = boxes.f32_data[i], b1 = boxes.f32_data[un + i];
    const float b2 = boxes.f32_data[2 * un + i], b3 = boxes.f32_data[3 * un + i];
    if (corners) {
      b.x1 = map.x(b0);
      b.y1 = map.y(b1);
      b.x2 = map.x(b2);
      b.y2 = map.y(b3);
    } else {
      set_centre_box(&b, map, b0, b1, b2, b3);
    }
    out->offer(b);
  }
  return LayoutResult::kDone;
}

LayoutResult decode_query(const Output& o, const Mapper& map, float threshold, Candidates* out) {
  const OutputTensor& logits = o.tensors[0];
  const OutputTensor& boxes = o.tensors[1];
  const int64_t n = boxes.dims[1];
  const int64_t nc = last_dim(logits);
  if (n < 1 || nc < 1 || logits.f32_data == nullptr || boxes.f32_data == nullptr) {
    return LayoutResult::kDone;
  }
  const uint64_t un = static_cast<uint64_t>(n);
  const uint64_t unc = static_cast<uint64_t>(nc);
  if (!holds(logits, un, unc) || !holds(boxes, un, kBoxValues)) return LayoutResult::kShortTensor;
  // These widths carry a trailing no-object column.
  const uint64_t used = (nc == kNoObjectWidthDetr || nc == kNoObjectWidthCoco) ? unc - 1 : unc;
  const float wf = static_cast<float>(o.input_width != 0    ? o.input_width
                                      : o.source_width != 0 ? o.source_width
                                                            : kDefaultDetectorInputSize);
  const float hf = static_cast<float>(o.input_height != 0    ? o.input_height
                                      : o.source_height != 0 ? o.source_height
                                                             : kDefaultDetectorInputSize);
  for (uint64_t i = 0; i < un; ++i) {
    DetectionBox b = blank_box();
    best_class(logits.f32_data + i * unc, 1, used, &b.score, &b.class_id);
    if (b.score < 0.0f || b.score > 1.0f) b.score = 1.0f / (1.0f + std::exp(-b.score));
    if (!passes(b.score, threshold)) continue;
    const float* v = boxes.f32_data + kBoxValues * i;
    const float cx = wf * v[0], w = wf * v[2];
    const float cy = hf * v[1], h = hf * v[3];
    b.x1 = map.x(cx - w / 2);
    b.y1 = map.y(cy - h / 2);
    b.x2 = map.x(cx + w / 2);
    b.y2 = map.y(cy + h / 2);
    out->offer(b);
  }
  return LayoutResult::kDone;
}

// Truncation toward zero that stays defined for NaN and out-of-range values.
uint32_t class_from_float(float v) {
  if (std::isnan(v)) return 0;
  if (v <= static_cast<float>(INT32_MIN)) return static_cast<uint32_t>(INT32_MIN);
  if (v >= static_cast<float>(INT32_MAX)) return static_cast<uint32_t>(INT32_MAX);
  return static_cast<uint32_t>(static_cast<int32_t>(v));
}

LayoutResult decode_rows(const Output& o, const Mapper& map, float threshold, Candidates* out) {
  const OutputTensor& t = o.tensors[0];
  const int64_t n = t.dims[1];
  if (n < 1 || t.f32_data == nullptr) return LayoutResult::kDone;
  if (!holds(t, static_cast<uint64_t>(n), kRowLayoutWidth)) return LayoutResult::kShortTensor;
  for (uint64_t i = 0; i < static_cast<uint64_t>(n); ++i) {
    const float* r = t.f32_data + kRowLayoutWidth * i;
    if (!passes(r[4], threshold)) continue;
    DetectionBox b = blank_box();
    b.score = r[4];
    b.x1 = map.x(r[0]);
    b.y1 = map.y(r[1]);
    b.x2 = map.x(r[2]);
    b.y2 = map.y(r[3]);
    b.class_id = class_from_float(r[5]);
    out->offer(b);
  }
  return LayoutResult::kDone;
}

LayoutResult decode_grid(const Output& o, const Mapper& map, float threshold, Candidates* out) {
  const OutputTensor& t = o.tensors[0];
  const int64_t features = t.dims[1];
  const int64_t n = t.dims[2];
  if (features < kGridMinFeatures || n < kGridMinAnchors) return LayoutResult::kUnsupported;
  const std::string_view decode = text_of(o.decode, o.decode_len);
  const std::string_view task = text_of(o.task, o.task_len);
  bool pose;
  uint64_t classes;
  if (decode == "yolov8_pose" || task == "pose") {
    pose = true;
    classes = 1;
  } else if (features == kPoseFeatureRows && o.labels_count < 2) {
    pose = true;
    classes = 1;
  } else {
    pose = false;
    classes = static_cast<uint64_t>(features) - 4;
  }
  // Keypoint rows run up to row 55; a pose layout without them does not fit.
  if (pose && features < kPoseFeatureRows) return LayoutResult::kUnsupported;
  if (t.f32_data == nullptr) return LayoutResult::kDone;
  const uint64_t un = static_cast<uint64_t>(n);
  if (!holds(t, static_cast<uint64_t>(features), un)) return LayoutResult::kShortTensor;
  const float* d = t.f32_data;
  auto row = [&](uint64_t k, uint64_t i) { return d[k * un + i]; };
  for (uint64_t i = 0; i < un; ++i) {
    DetectionBox b = blank_box();
    best_class(d + 4 * un + i, un, classes, &b.score, &b.class_id);
    if (!passes(b.score, threshold)) continue;
    set_centre_box(&b, map, row(0, i), row(1, i), row(2, i), row(3, i));
    if (pose) {
      for (uint32_t k = 0; k < kPoseKeypoints; ++k) {
        b.landmark_x[k] = map.x(row(5 + 3 * k, i));
        b.landmark_y[k] = map.y(row(6 + 3 * k, i));
      }
      b.landmark_count = kPoseKeypoints;
    }
    out->offer(b);
  }
  return LayoutResult::kDone;
}

LayoutResult collect(const Output& o, const Mapper& map, float threshold, Candidates* out) {
  if (is_face_layout(o)) return decode_face(o, map, threshold, out);
  const OutputTensor& t0 = o.tensors[0];
  if (t0.rank != 3) return LayoutResult::kUnsupported;
  if (o.tensor_count >= 2) {
    const OutputTensor& t1 = o.tensors[1];
    if (t0.dims[1] == kBoxValues && t1.rank == 3 && t1.dims[2] == t0.dims[2]) {
      return decode_split(o, map, threshold, out);
    }
    if (t1.rank == 3 && t1.dims[2] == kBoxValues && t0.dims[1] == t1.dims[1]) {
      return decode_query(o, map, threshold, out);
    }
  }
  if (t0.dims[2] == kRowLayoutWidth) return decode_rows(o, map, threshold, out);
  return decode_grid(o, map, threshold, out);
}

}  // namespace

float box_iou(const DetectionBox& a, const DetectionBox& b) {
  const float ix1 = a.x1 > b.x1 ? a.x1 : b.x1;
  const float iy1 = a.y1 > b.y1 ? a.y1 : b.y1;
  const float ix2 = a.x2 < b.x2 ? a.x2 : b.x2;
  const float iy2 = a.y2 < b.y2 ? a.y2 : b.y2;
  const float iw = ix1 < ix2 ? ix2 - ix1 : 0.0f;
  const float ih = iy1 < iy2 ? iy2 - iy1 : 0.0f;
  const float inter = iw * ih;
  if (inter <= 0.0f) return 0.0f;
  const float uni = (a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter;
  return uni > 0.0f ? inter / uni : 0.0f;
}

int32_t decode_boxes_impl(Output* o, int32_t max_boxes, float score_threshold,
                          float iou_threshold) {
  if (o == nullptr || max_boxes < 1 || o->tensor_count == 0) return 0;
  o->box_count = 0;
  Candidates candidates;
  const LayoutResult result = collect(*o, Mapper(*o), score_threshold, &candidates);
  if (result != LayoutResult::kDone) {
    output_report_error(o, kUnsupported, result == LayoutResult::kShortTensor
                                             ? kShortTensorMessage
                                             : kUnsupportedLayoutMessage);
    return -1;
  }
  DetectionBox* c = candidates.items;
  const int32_t n = candidates.count;
  if (n == 0) return 0;
  // Exchange ordering: equal scores may swap places, exactly as this procedure does.
  for (int32_t i = 0; i + 1 < n; ++i) {
    for (int32_t j = i + 1; j < n; ++j) {
      if (c[j].score > c[i].score) {
        const DetectionBox tmp = c[i];
        c[i] = c[j];
        c[j] = tmp;
      }
    }
  }
  const int32_t limit = max_boxes < kMaxBoxes ? max_boxes : kMaxBoxes;
  int32_t written = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (c[i].suppressed || written >= limit) continue;
    o->boxes[written] = c[i];
    o->boxes[written].suppressed = 0;
    ++written;
    for (int32_t j = i + 1; j < n; ++j) {
      if (!c[j].suppressed && c[j].class_id == c[i].class_id &&
          box_iou(c[i], c[j]) > iou_threshold) {
        c[j].suppressed = 1;
      }
    }
  }
  o->box_count = written;
  return written;
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API int32_t vexa_output_decode_boxes(vexa_output* output, int32_t max_boxes,
                                          float score_threshold, float iou_threshold) {
  Output* o = reinterpret_cast<Output*>(output);
  return guard_value<int32_t>(0, [&] {
    return decode_boxes_impl(o, max_boxes, score_threshold, iou_threshold);
  });
}

}  // extern "C"
