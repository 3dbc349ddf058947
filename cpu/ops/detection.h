// Detection operators: YOLO-style suppression (also run by the GPU backend after its graph),
// NonMaxSuppression, DetrTopK and MaskToBoxLogit.
#pragma once

#include <cstdint>

#include "cpu/graph_records.h"

namespace vexa::cpu {

struct YoloNmsParams {
  int64_t extra;          // pass-through planes at the end of the input
  uint64_t max_out;       // output rows
  float score_threshold;  // a candidate's best class score must be strictly above it
  float iou_threshold;    // a kept box suppresses a candidate when IoU is strictly above it
  float coord_divisor;    // box values are divided by it before the IoU test,
  float coord_scale;      // then multiplied by it,
  float class_offset;     // then class x class_offset is added to each of the four
  uint8_t centre_format;  // 1: (cx, cy, w, h); otherwise corners
};

// The parameters a YoloNms node records: extra [16], max_out [15], score [29], IoU [30],
// divisor [19], scale [20], class offset [21] (f32 bits), centre format [28] != 0.
YoloNmsParams yolo_nms_params_from_node(const CpuNode& node);

// Suppression over `channels` planes of `count` anchors (planes 0..3 the box, then the class
// scores, then `extra` pass-through planes). Writes max_out rows of extra + 6 floats: the raw
// box, score, class, pass-through values; rows after the last kept detection are zero. False
// (output cleared) when count is 0, channels < extra + 5, or scratch memory is unavailable.
bool yolo_nms(const float* data, uint64_t channels, uint64_t count, const YoloNmsParams& params,
              float* out);

}  // namespace vexa::cpu
