// Detection operators. Limits read from tensors or attribute words are clamped in floating
// point before they become counts, so NaN or huge values cannot reach an integer conversion.
#include "cpu/ops/detection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "cpu/op_table.h"
#include "cpu/ops/op_shapes.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kYoloMaxOutWord = 15;
constexpr uint32_t kYoloExtraWord = 16;
constexpr uint32_t kYoloDivisorWord = 19;
constexpr uint32_t kYoloScaleWord = 20;
constexpr uint32_t kYoloClassOffsetWord = 21;
constexpr uint32_t kYoloCentreWord = 28;
constexpr uint32_t kYoloScoreWord = 29;
constexpr uint32_t kYoloIouWord = 30;
constexpr uint64_t kYoloFixedColumns = 6;  // box (4), score, class
constexpr uint64_t kYoloBoxPlanes = 4;

// NonMaxSuppression limits as the converter records them once it has consumed the optional
// inputs: max boxes per class in attribute word 0, IoU and score thresholds (f32 bits) in
// words 14 and 15.
constexpr uint32_t kNmsMaxPerClassWord = 15;
constexpr uint32_t kNmsIouWord = 29;
constexpr uint32_t kNmsScoreWord = 30;
constexpr uint32_t kNmsMaxPerClassInput = 2;
constexpr uint32_t kNmsIouInput = 3;
constexpr uint32_t kNmsScoreInput = 4;
constexpr uint64_t kNmsDefaultMaxPerClass = 200;
constexpr uint64_t kNmsMaxPerClassCap = 256;
constexpr float kNmsDefaultIou = 0.5f;
constexpr float kNmsDefaultScore = 0.0f;
constexpr uint64_t kNmsRowColumns = 3;

constexpr uint64_t kDetrSlots = 300;
constexpr float kDetrEmptyScore = -1e30f;

constexpr uint64_t kMaskCount = 300;
constexpr uint64_t kMaskSide = 200;
constexpr float kMaskPixel = 0.005f;  // one two-hundredth of the side
constexpr float kLogitFloor = 1e-5f;

// ---- YoloNms ----

struct Extent {
  float lo, hi;
};

void box_extents(const float* b, bool centre, Extent& x, Extent& y) {
  if (centre) {
    x = {b[0] - b[2] * 0.5f, b[0] + b[2] * 0.5f};
    y = {b[1] - b[3] * 0.5f, b[1] + b[3] * 0.5f};
  } else {
    x = {std::min(b[0], b[2]), std::max(b[0], b[2])};
    y = {std::min(b[1], b[3]), std::max(b[1], b[3])};
  }
}

bool yolo_suppresses(const float* kept, const float* cand, bool centre, float threshold) {
  Extent ax, ay, bx, by;
  box_extents(kept, centre, ax, ay);
  box_extents(cand, centre, bx, by);
  const float ox = std::min(ax.hi, bx.hi) - std::max(ax.lo, bx.lo);
  const float oy = std::min(ay.hi, by.hi) - std::max(ay.lo, by.lo);
  if (!(ox > 0.0f) || !(oy > 0.0f)) return false;
  const float area_a = (ax.hi - ax.lo) * (ay.hi - ay.lo);
  const float area_b = (bx.hi - bx.lo) * (by.hi - by.lo);
  if (!(area_a > 0.0f) || !(area_b > 0.0f)) return false;
  const float inter = ox * oy;
  const float uni = area_a + area_b - inter;
  if (!(uni > 0.0f)) return false;
  return inter / uni > threshold;
}

bool check_yolo_nms(const OpCheck& check) {
  if (!check.inputs_between(1, 1) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const YoloNmsParams p = yolo_nms_params_from_node(check.node);
  const CpuValue& in = check.in_value(0);
  if (in.rank() != 3) return check.fail("expects a [batch, channels, anchors] input");
  if (p.extra < 0 || static_cast<uint64_t>(p.extra) > kMaxTensorElements ||
      in.dim(1) < static_cast<uint64_t>(p.extra) + 5) {
    return check.fail("%lld extra planes do not fit %llu channels", as_sll(p.extra),
                      as_ull(in.dim(1)));
  }
  const uint64_t columns = static_cast<uint64_t>(p.extra) + kYoloFixedColumns;
  if (p.max_out > kMaxTensorElements || check.out_value(0).element_count() != p.max_out * columns) {
    return check.fail("output has %llu elements, %llu rows of %llu are written",
                      as_ull(check.out_value(0).element_count()), as_ull(p.max_out),
                      as_ull(columns));
  }
  return true;
}

bool run_yolo_nms(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  // A failed suppression leaves a cleared output; the run goes on.
  yolo_nms(ctx.in(0), in.dim(1), in.dim(2), yolo_nms_params_from_node(ctx.node), ctx.out(0));
  return true;
}

// ---- NonMaxSuppression ----

struct NmsLimits {
  uint64_t max_per_class;
  float iou;
  float score;
};

float recorded_f32(const CpuNode& node, uint32_t word, float fallback) {
  const float v = node.attr_f32(word);
  return std::isnan(v) ? fallback : v;
}

NmsLimits nms_limits(const OpContext& ctx) {
  const CpuNode& node = ctx.node;
  NmsLimits limits{kNmsDefaultMaxPerClass, recorded_f32(node, kNmsIouWord, kNmsDefaultIou),
                   recorded_f32(node, kNmsScoreWord, kNmsDefaultScore)};
  const int64_t recorded_max = node.attr(kNmsMaxPerClassWord);
  if (recorded_max > 0) limits.max_per_class = static_cast<uint64_t>(recorded_max);
  auto first = [&](uint32_t k, float& v) {
    if (ctx.has_input(k) && ctx.in_value(k).element_count() >= 1) {
      v = ctx.in(k)[0];
      return true;
    }
    return false;
  };
  float v = 0.0f;
  if (first(kNmsMaxPerClassInput, v)) {
    limits.max_per_class =
        v > 0.0f ? static_cast<uint64_t>(std::min(v, static_cast<float>(kNmsMaxPerClassCap)))
                 : kNmsDefaultMaxPerClass;
  }
  if (first(kNmsIouInput, v)) limits.iou = v;
  if (first(kNmsScoreInput, v)) limits.score = v;
  limits.max_per_class = std::min(limits.max_per_class, kNmsMaxPerClassCap);
  return limits;
}

bool check_nms(const OpCheck& check) {
  if (!check.inputs_between(2, 5) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  for (uint32_t k = 2; k < check.node.input_count(); ++k) {
    if (!check.has_input(k)) return check.fail("optional input %u is marked absent", k);
  }
  const CpuValue& boxes = check.in_value(0);
  const CpuValue& scores = check.in_value(1);
  const CpuValue& out = check.out_value(0);
  if (boxes.rank() != 3 || boxes.dim(2) != 4 || scores.rank() != 3 ||
      scores.dim(0) != boxes.dim(0) || scores.dim(2) != boxes.dim(1)) {
    return check.fail("expects boxes [B, N, 4] and scores [B, C, N]");
  }
  if (out.rank() == 0 || out.element_count() != out.dim(0) * kNmsRowColumns) {
    return check.fail("output must hold rows of 3 entries");
  }
  return true;
}

uint64_t nms_workspace(const OpCheck& check) { return check.in_value(0).dim(1); }

float nms_iou(const float* a, const float* b) {
  const float area_a = (a[2] - a[0]) * (a[3] - a[1]);
  const float area_b = (b[2] - b[0]) * (b[3] - b[1]);
  float ix = std::min(a[2], b[2]) - std::max(a[0], b[0]);
  float iy = std::min(a[3], b[3]) - std::max(a[1], b[1]);
  if (!(ix > 0.0f)) ix = 0.0f;
  if (!(iy > 0.0f)) iy = 0.0f;
  const float inter = ix * iy;
  const float uni = area_a + area_b - inter;
  if (!(uni > 0.0f)) return 0.0f;
  return inter / uni;
}

bool run_nms(const OpContext& ctx) {
  const CpuValue& boxes_v = ctx.in_value(0);
  const CpuValue& scores_v = ctx.in_value(1);
  const uint64_t batches = boxes_v.dim(0), n = boxes_v.dim(1), classes = scores_v.dim(1);
  const uint64_t rows = ctx.out_value(0).dim(0);
  float* out = ctx.out(0);
  if (ctx.out_value(0).element_count() != 0) {
    std::memset(out, 0, ctx.out_value(0).element_count() * sizeof(float));
  }
  if (n < 1) return true;
  if (ctx.workspace_bytes < n) return false;
  const NmsLimits limits = nms_limits(ctx);
  // 1: selected, or suppressed by a selected box (the selected set only grows, so a box
  // once suppressed stays out).
  uint8_t* out_of_play = reinterpret_cast<uint8_t*>(ctx.workspace);
  uint64_t written = 0;
  for (uint64_t b = 0; b < batches && written < rows; ++b) {
    const float* boxes = ctx.in(0) + b * n * 4;
    for (uint64_t c = 0; c < classes && written < rows; ++c) {
      const float* scores = ctx.in(1) + (b * classes + c) * n;
      std::memset(out_of_play, 0, n);
      for (uint64_t selected = 0; selected < limits.max_per_class && written < rows; ++selected) {
        float best = limits.score;
        uint64_t pick = n;
        for (uint64_t i = 0; i < n; ++i) {
          if (!out_of_play[i] && scores[i] > best) {
            best = scores[i];
            pick = i;
          }
        }
        if (pick == n) break;
        out_of_play[pick] = 1;
        float* row = out + written * kNmsRowColumns;
        row[0] = static_cast<float>(b);
        row[1] = static_cast<float>(c);
        row[2] = static_cast<float>(pick);
        ++written;
        for (uint64_t i = 0; i < n; ++i) {
          if (!out_of_play[i] && nms_iou(boxes + pick * 4, boxes + i * 4) > limits.iou) {
            out_of_play[i] = 1;
          }
        }
      }
    }
  }
  return true;
}

// ---- DetrTopK ----

bool check_detr_topk(const OpCheck& check) {
  if (!check.inputs_between(2, 2) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  const CpuValue& logits = check.in_value(0);
  const CpuValue& rows = check.in_value(1);
  const CpuValue& out = check.out_value(0);
  if (logits.rank() != 3 || rows.rank() != 3 || out.rank() != 3 || logits.dim(0) != 1 ||
      rows.dim(0) != 1 || logits.dim(1) != rows.dim(1) || logits.dim(1) == 0 ||
      logits.dim(2) == 0 || out.dim(0) != 1 || out.dim(1) != kDetrSlots ||
      out.dim(2) != rows.dim(2)) {
    return check.fail("expects logits [1, Q, K], rows [1, Q, D] and output [1, 300, D]");
  }
  return true;
}

bool run_detr_topk(const OpContext& ctx) {
  const uint64_t q_count = ctx.in_value(0).dim(1), k = ctx.in_value(0).dim(2);
  const uint64_t d = ctx.out_value(0).dim(2);
  const float* logits = ctx.in(0);
  float score[kDetrSlots];
  uint64_t query[kDetrSlots];
  for (uint64_t s = 0; s < kDetrSlots; ++s) {
    score[s] = kDetrEmptyScore;
    query[s] = 0;
  }
  for (uint64_t q = 0; q < q_count; ++q) {
    const float* row = logits + q * k;
    float s = row[0];
    for (uint64_t c = 1; c < k; ++c) {
      if (row[c] > s) s = row[c];
    }
    if (!(s > score[kDetrSlots - 1])) continue;
    // Move up past every strictly smaller slot, so equal scores keep arrival order.
    uint64_t at = kDetrSlots - 1;
    while (at > 0 && score[at - 1] < s) {
      score[at] = score[at - 1];
      query[at] = query[at - 1];
      --at;
    }
    score[at] = s;
    query[at] = q;
  }
  const float* rows = ctx.in(1);
  float* out = ctx.out(0);
  for (uint64_t r = 0; r < kDetrSlots; ++r) {
    if (d != 0) std::memcpy(out + r * d, rows + query[r] * d, d * sizeof(float));
  }
  return true;
}

// ---- MaskToBoxLogit ----

bool check_mask_to_box(const OpCheck& check) {
  if (!check.inputs_between(1, 1) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  if (check.in_value(0).element_count() != kMaskCount * kMaskSide * kMaskSide ||
      check.out_value(0).element_count() != kMaskCount * 4) {
    return check.fail("expects 300 masks of 200 x 200 and 300 rows of 4");
  }
  return true;
}

float box_logit(float p) {
  const float c = clamp_float(p, 0.0f, 1.0f);
  return std::log(std::max(c, kLogitFloor) / std::max(1.0f - c, kLogitFloor));
}

bool run_mask_to_box(const OpContext& ctx) {
  const float* masks = ctx.in(0);
  float* out = ctx.out(0);
  for (uint64_t m = 0; m < kMaskCount; ++m) {
    const float* mask = masks + m * kMaskSide * kMaskSide;
    uint64_t xmin = kMaskSide, xmax = 0, ymin = kMaskSide, ymax = 0;
    bool any = false;
    for (uint64_t y = 0; y < kMaskSide; ++y) {
      for (uint64_t x = 0; x < kMaskSide; ++x) {
        if (mask[y * kMaskSide + x] > 0.0f) {
          any = true;
          xmin = std::min(xmin, x);
          xmax = std::max(xmax, x);
          ymin = std::min(ymin, y);
          ymax = std::max(ymax, y);
        }
      }
    }
    float box[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (any) {
      const float w = static_cast<float>(xmax + 1 - xmin) * kMaskPixel;
      const float h = static_cast<float>(ymax + 1 - ymin) * kMaskPixel;
      box[0] = static_cast<float>(xmin + xmax + 1) * kMaskPixel * 0.5f;
      box[1] = static_cast<float>(ymin + ymax + 1) * kMaskPixel * 0.5f;
      box[2] = w;
      box[3] = h;
    }
    for (int i = 0; i < 4; ++i) out[m * 4 + i] = box_logit(box[i]);
  }
  return true;
}

}  // namespace

YoloNmsParams yolo_nms_params_from_node(const CpuNode& node) {
  YoloNmsParams p{};
  p.extra = node.attr(kYoloExtraWord);
  p.max_out = node.w[kYoloMaxOutWord];
  p.score_threshold = node.attr_f32(kYoloScoreWord);
  p.iou_threshold = node.attr_f32(kYoloIouWord);
  p.coord_divisor = node.attr_f32(kYoloDivisorWord);
  p.coord_scale = node.attr_f32(kYoloScaleWord);
  p.class_offset = node.attr_f32(kYoloClassOffsetWord);
  p.centre_format = node.attr(kYoloCentreWord) != 0 ? 1 : 0;
  return p;
}

bool yolo_nms(const float* data, uint64_t channels, uint64_t count, const YoloNmsParams& params,
              float* out) {
  if (params.extra < 0) return false;
  const uint64_t extra = static_cast<uint64_t>(params.extra);
  const uint64_t columns = extra + kYoloFixedColumns;
  if (params.max_out != 0) std::memset(out, 0, params.max_out * columns * sizeof(float));
  if (count == 0 || channels < extra + 5) return false;
  const uint64_t classes = channels - extra - kYoloBoxPlanes;
  const bool centre = params.centre_format == 1;

  struct Candidate {
    uint64_t anchor;
    float score;
    float cls;
    float box[4];
  };
  std::vector<Candidate> candidates;
  std::vector<uint64_t> kept;
  std::vector<float> best_score;
  std::vector<uint32_t> best_class_of;
  try {
    // Best class per anchor, class plane by class plane so the reads stay contiguous; a later
    // class wins only when strictly greater.
    best_score.assign(data + kYoloBoxPlanes * count, data + (kYoloBoxPlanes + 1) * count);
    best_class_of.assign(count, 0);
    for (uint64_t c = 1; c < classes; ++c) {
      const float* plane = data + (kYoloBoxPlanes + c) * count;
      for (uint64_t i = 0; i < count; ++i) {
        if (plane[i] > best_score[i]) {
          best_score[i] = plane[i];
          best_class_of[i] = static_cast<uint32_t>(c);
        }
      }
    }
    for (uint64_t i = 0; i < count; ++i) {
      const float best = best_score[i];
      const uint64_t best_class = best_class_of[i];
      if (!(best > params.score_threshold)) continue;
      Candidate cand{i, best, static_cast<float>(best_class), {}};
      const float offset = cand.cls * params.class_offset;
      for (uint64_t k = 0; k < kYoloBoxPlanes; ++k) {
        cand.box[k] = std::fma(data[k * count + i] / params.coord_divisor, params.coord_scale, offset);
      }
      candidates.push_back(cand);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    kept.reserve(std::min<uint64_t>(params.max_out, candidates.size()) + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint64_t c = 0; c < candidates.size() && kept.size() < params.max_out; ++c) {
    bool suppressed = false;
    for (uint64_t k : kept) {
      if (yolo_suppresses(candidates[k].box, candidates[c].box, centre, params.iou_threshold)) {
        suppressed = true;
        break;
      }
    }
    if (!suppressed) kept.push_back(c);
  }
  for (uint64_t r = 0; r < kept.size(); ++r) {
    const Candidate& cand = candidates[kept[r]];
    float* row = out + r * columns;
    for (uint64_t k = 0; k < kYoloBoxPlanes; ++k) row[k] = data[k * count + cand.anchor];
    row[4] = cand.score;
    row[5] = cand.cls;
    for (uint64_t e = 0; e < extra; ++e) {
      row[kYoloFixedColumns + e] = data[(channels - extra + e) * count + cand.anchor];
    }
  }
  return true;
}

void register_detect_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kYoloNms), check_yolo_nms, run_yolo_nms);
  registry.add(static_cast<uint64_t>(OpKind::kNonMaxSuppression), check_nms, run_nms,
               nms_workspace);
  registry.add(static_cast<uint64_t>(OpKind::kDetrTopK), check_detr_topk, run_detr_topk);
  registry.add(static_cast<uint64_t>(OpKind::kMaskToBoxLogit), check_mask_to_box, run_mask_to_box);
}

}  // namespace vexa::cpu
