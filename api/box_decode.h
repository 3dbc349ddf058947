// Detection box decoding: raw detector tensors in an output become at most 256 boxes in
// source-image pixels, after letterbox back-mapping, clamping and class-aware suppression.
#pragma once

#include <cstdint>

#include "api/output.h"

namespace vexa {

inline constexpr int32_t kMaxBoxCandidates = 512;
inline constexpr uint32_t kDefaultDetectorInputSize = 640;

// Number of boxes written, or -1 when no layout fits (or a tensor is shorter than its layout
// needs); errors go into the session that filled the output while it is alive.
int32_t decode_boxes_impl(Output* output, int32_t max_boxes, float score_threshold,
                          float iou_threshold);

// Intersection over union of two corner-form boxes; 0 without overlap or with an empty union.
float box_iou(const DetectionBox& a, const DetectionBox& b);

}  // namespace vexa
