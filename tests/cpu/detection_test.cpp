// Detection operators against naive references: YOLO-style suppression, NonMaxSuppression
// with limits from inputs or from the converter's attribute words, DetrTopK and
// MaskToBoxLogit; malformed nodes refused at build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "cpu/ops/detection.h"
#include "detection_ref.h"
#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---- yolo_nms ----

YoloNmsParams params(uint64_t max_out, int64_t extra, float score, float iou, float offset,
                     uint8_t centre) {
  return YoloNmsParams{extra, max_out, score, iou, 1.0f, 1.0f, offset, centre};
}

TEST(CpuYoloNms, RandomAnchorsMatchTheReference) {
  for (uint8_t centre : {0, 1}) {
    for (float offset : {0.0f, 4096.0f}) {
      const uint64_t classes = 3, extra = 2, count = 300, channels = 4 + classes + extra;
      std::vector<float> data = ramp(channels * count, 61 + centre);
      for (uint64_t i = 0; i < 4 * count; ++i) data[i] = std::fabs(data[i]) * 40.0f + (centre ? 5.0f : 0.0f);
      for (uint64_t i = 0; i < count; ++i) data[5 * count + i] = std::round(data[5 * count + i] * 4) / 4;  // ties
      const YoloNmsParams p = params(20, static_cast<int64_t>(extra), 0.1f, 0.45f, offset, centre);
      std::vector<float> out(20 * (extra + 6), -1.0f);
      ASSERT_TRUE(yolo_nms(data.data(), channels, count, p, out.data()));
      EXPECT_TRUE(same_floats(out, yolo_ref(data, channels, count, p))) << int(centre) << " " << offset;
    }
  }
}

TEST(CpuYoloNms, EdgeCases) {
  // Two anchors, one class, equal scores, IoU exactly 0.5 (boxes [0,0,2,1] and [0,0,2,... ]).
  // Box a = (0,0)-(4,1), box b = (0,0)-(2,1) + (2,0)... chosen so intersection / union = 0.5.
  const std::vector<float> two = {0, 0,  0, 0,  4, 2,  1, 1,  0.9f, 0.9f};
  std::vector<float> out(2 * 6, -1.0f);
  ASSERT_TRUE(yolo_nms(two.data(), 5, 2, params(2, 0, 0.5f, 0.5f, 0.0f, 0), out.data()));
  EXPECT_EQ(out, (std::vector<float>{0, 0, 4, 1, 0.9f, 0, 0, 0, 2, 1, 0.9f, 0}));
  // The same boxes with a lower IoU threshold: the lower anchor survives alone.
  ASSERT_TRUE(yolo_nms(two.data(), 5, 2, params(2, 0, 0.5f, 0.4f, 0.0f, 0), out.data()));
  EXPECT_EQ(out, (std::vector<float>{0, 0, 4, 1, 0.9f, 0, 0, 0, 0, 0, 0, 0}));
  // Identical boxes of different classes survive when the class offset separates them.
  const std::vector<float> classes = {0, 0,  0, 0,  5, 5,  5, 5,  0.9f, 0.1f,  0.1f, 0.8f};
  std::vector<float> rows(2 * 6);
  ASSERT_TRUE(yolo_nms(classes.data(), 6, 2, params(2, 0, 0.5f, 0.5f, 100.0f, 0), rows.data()));
  EXPECT_EQ(rows[5], 0.0f);
  EXPECT_EQ(rows[11], 1.0f);
  ASSERT_TRUE(yolo_nms(classes.data(), 6, 2, params(2, 0, 0.5f, 0.5f, 0.0f, 0), rows.data()));
  EXPECT_EQ(rows[6 + 4], 0.0f);
  // No anchors: false, and the output rows are cleared.
  std::vector<float> cleared(3 * 6, 7.0f);
  EXPECT_FALSE(yolo_nms(classes.data(), 6, 0, params(3, 0, 0.5f, 0.5f, 0.0f, 0), cleared.data()));
  EXPECT_EQ(cleared, std::vector<float>(18, 0.0f));
  EXPECT_FALSE(yolo_nms(classes.data(), 4, 2, params(3, 0, 0.5f, 0.5f, 0.0f, 0), cleared.data()));
  // NaN scores and thresholds never pass.
  const std::vector<float> nan_scores = {0, 0, 1, 1, kNaN};
  std::vector<float> one(6, 3.0f);
  EXPECT_TRUE(yolo_nms(nan_scores.data(), 5, 1, params(1, 0, 0.0f, 0.5f, 0.0f, 0), one.data()));
  EXPECT_EQ(one, std::vector<float>(6, 0.0f));
}

TEST(CpuYoloNms, NodeReadsItsAttributeWords) {
  OpGraph g;
  const uint64_t count = 50, channels = 4 + 2 + 1;
  auto data = ramp(channels * count, 71);
  for (uint64_t i = 0; i < 4 * count; ++i) data[i] = std::fabs(data[i]) * 640.0f;
  const uint64_t y = g.out({10, 7});
  g.node(OpKind::kYoloNms, {g.in({1, channels, count}, data)}, {y},
         {{15, 10}, {16, 1}, {19, f32_bits(640.0f)}, {20, f32_bits(1.0f)}, {21, f32_bits(2.0f)},
          {28, 1}, {29, f32_bits(0.2f)}, {30, f32_bits(0.5f)}});
  ASSERT_TRUE(g.run());
  const YoloNmsParams p{1, 10, 0.2f, 0.5f, 640.0f, 1.0f, 2.0f, 1};
  EXPECT_TRUE(same_floats(g.data(y), yolo_ref(data, channels, count, p)));
}

// ---- NonMaxSuppression ----

std::vector<float> nms_ref(const std::vector<float>& boxes, const std::vector<float>& scores,
                           uint64_t batches, uint64_t classes, uint64_t n, uint64_t rows,
                           uint64_t max_per_class, float iou, float score) {
  std::vector<float> out(rows * 3, 0.0f);
  uint64_t w = 0;
  auto box_iou = [&](uint64_t b, uint64_t i, uint64_t j) {
    const float* a = &boxes[(b * n + i) * 4];
    const float* c = &boxes[(b * n + j) * 4];
    const double inter = std::max(0.0, double(std::min(a[2], c[2]) - std::max(a[0], c[0]))) *
                         std::max(0.0, double(std::min(a[3], c[3]) - std::max(a[1], c[1])));
    const double uni = double(a[2] - a[0]) * (a[3] - a[1]) + double(c[2] - c[0]) * (c[3] - c[1]) - inter;
    return uni <= 0 ? 0.0 : inter / uni;
  };
  for (uint64_t b = 0; b < batches; ++b) {
    for (uint64_t c = 0; c < classes; ++c) {
      std::vector<uint64_t> sel;
      while (sel.size() < max_per_class && w < rows) {
        float best = score;
        uint64_t pick = n;
        for (uint64_t i = 0; i < n; ++i) {
          const float s = scores[(b * classes + c) * n + i];
          if (!(s > best) || std::find(sel.begin(), sel.end(), i) != sel.end()) continue;
          bool ok = true;
          for (uint64_t j : sel) ok = ok && !(box_iou(b, j, i) > iou);
          if (ok) {
            best = s;
            pick = i;
          }
        }
        if (pick == n) break;
        sel.push_back(pick);
        out[w * 3] = float(b);
        out[w * 3 + 1] = float(c);
        out[w * 3 + 2] = float(pick);
        ++w;
      }
    }
  }
  return out;
}

struct NmsProblem {
  uint64_t batches = 2, classes = 3, n = 40;
  std::vector<float> boxes, scores;
  NmsProblem() {
    boxes = ramp(batches * n * 4, 81);
    for (uint64_t i = 0; i < batches * n; ++i) {
      float* b = &boxes[i * 4];
      b[0] = std::fabs(b[0]) * 10;
      b[1] = std::fabs(b[1]) * 10;
      b[2] = b[0] + 1 + std::fabs(b[2]) * 5;
      b[3] = b[1] + 1 + std::fabs(b[3]) * 5;
    }
    scores = ramp(batches * classes * n, 83);
    // The same boxes score high for two classes: suppression must stay per class.
    for (uint64_t i = 0; i < n; ++i) scores[n + i] = scores[i];
  }
};

TEST(CpuNms, LimitsFromInputsOrFromTheConvertersWords) {
  const NmsProblem pr;
  struct Case {
    bool as_inputs;
    float max_per_class, iou, score;
    uint64_t want_max;
  };
  const Case cases[] = {{true, 3, 0.3f, 0.1f, 3},       {false, 3, 0.3f, 0.1f, 3},
                        {true, 0, 0.5f, -1.0f, 200},    {true, 1000, 0.7f, 0.0f, 256},
                        {false, 1000, 0.7f, 0.0f, 256}, {false, 5, 0.0f, 0.5f, 5}};
  for (const Case& c : cases) {
    OpGraph g;
    const uint64_t rows = 100;
    const uint64_t y = g.out({rows, 3});
    const uint64_t b = g.in({pr.batches, pr.n, 4}, pr.boxes);
    const uint64_t s = g.in({pr.batches, pr.classes, pr.n}, pr.scores);
    if (c.as_inputs) {
      g.node(OpKind::kNonMaxSuppression,
             {b, s, g.weight({1}, {c.max_per_class}), g.weight({1}, {c.iou}), g.weight({1}, {c.score})},
             {y}, {{15, 7}, {29, f32_bits(0.99f)}, {30, f32_bits(0.99f)}});  // inputs win
    } else {
      g.node(OpKind::kNonMaxSuppression, {b, s}, {y},
             {{15, static_cast<uint64_t>(c.max_per_class)}, {29, f32_bits(c.iou)}, {30, f32_bits(c.score)}});
    }
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), nms_ref(pr.boxes, pr.scores, pr.batches, pr.classes, pr.n,
                                               rows, c.want_max, c.iou, c.score)))
        << c.as_inputs << " " << c.max_per_class << " " << c.iou;
  }
}

TEST(CpuNms, UnsetWordsAndWildLimitsFallBackToDefaults) {
  const NmsProblem pr;
  for (float wild : {kNaN, -5.0f, 3e38f}) {
    OpGraph g;
    const uint64_t y = g.out({300, 3});
    g.node(OpKind::kNonMaxSuppression,
           {g.in({pr.batches, pr.n, 4}, pr.boxes), g.in({pr.batches, pr.classes, pr.n}, pr.scores),
            g.in({1}, {wild})},
           {y}, {{29, ~uint64_t{0}}, {30, ~uint64_t{0}}});
    ASSERT_TRUE(g.run());
    const uint64_t max = wild > 0 ? 256 : 200;
    EXPECT_TRUE(same_floats(g.data(y), nms_ref(pr.boxes, pr.scores, pr.batches, pr.classes, pr.n,
                                               300, max, 0.5f, 0.0f)))
        << wild;
  }
  // Fewer output rows than selections: writing stops at the last row.
  OpGraph g;
  const uint64_t y = g.out({4, 3});
  g.node(OpKind::kNonMaxSuppression,
         {g.in({pr.batches, pr.n, 4}, pr.boxes), g.in({pr.batches, pr.classes, pr.n}, pr.scores)},
         {y}, {{15, 10}, {29, f32_bits(0.5f)}, {30, f32_bits(0.0f)}});
  ASSERT_TRUE(g.run());
  EXPECT_TRUE(same_floats(g.data(y), nms_ref(pr.boxes, pr.scores, pr.batches, pr.classes, pr.n, 4,
                                             10, 0.5f, 0.0f)));
}

// ---- DetrTopK, MaskToBoxLogit ----

TEST(CpuDetrTopK, KeepsTheBestQueriesInOrder) {
  for (uint64_t q : {5u, 400u}) {
    const uint64_t k = 3, d = 4;
    auto logits = ramp(q * k, 91);
    for (float& v : logits) v = std::round(v * 8);  // ties between queries
    const auto rows = ramp(q * d, 93);
    OpGraph g;
    const uint64_t y = g.out({1, 300, d});
    g.node(OpKind::kDetrTopK, {g.in({1, q, k}, logits), g.in({1, q, d}, rows)}, {y});
    ASSERT_TRUE(g.run());
    std::vector<uint64_t> order(q);
    for (uint64_t i = 0; i < q; ++i) order[i] = i;
    auto best = [&](uint64_t i) { return *std::max_element(&logits[i * k], &logits[i * k] + k); };
    std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) { return best(a) > best(b); });
    std::vector<float> want;
    for (uint64_t r = 0; r < 300; ++r) {
      const uint64_t src = r < q ? order[r] : 0;
      for (uint64_t j = 0; j < d; ++j) want.push_back(rows[src * d + j]);
    }
    EXPECT_TRUE(same_floats(g.data(y), want)) << q;
  }
}

TEST(CpuMaskToBoxLogit, BoundingBoxesAsLogits) {
  OpGraph g;
  std::vector<float> masks(300 * 200 * 200, -1.0f);
  // Mask 1: everything; mask 2: columns 20..59, rows 100..119.
  std::fill(masks.begin() + 40000, masks.begin() + 80000, 1.0f);
  for (uint64_t y = 100; y < 120; ++y) {
    for (uint64_t x = 20; x < 60; ++x) masks[2 * 40000 + y * 200 + x] = 0.5f;
  }
  const uint64_t out = g.out({300, 4});
  g.node(OpKind::kMaskToBoxLogit, {g.in({1, 300, 200, 200}, masks)}, {out});
  ASSERT_TRUE(g.run());
  auto logit = [](double p) {
    p = std::clamp(p, 0.0, 1.0);
    return std::log(std::max(p, 1e-5) / std::max(1 - p, 1e-5));
  };
  const auto& y = g.data(out);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(y[i], -11.5129, 1e-4);
  EXPECT_NEAR(y[4], 0.0, 1e-5);
  EXPECT_NEAR(y[5], 0.0, 1e-5);
  EXPECT_NEAR(y[6], 11.5129, 1e-4);
  EXPECT_NEAR(y[7], 11.5129, 1e-4);
  EXPECT_NEAR(y[8], logit(40 * 0.005), 1e-5);
  EXPECT_NEAR(y[9], logit(220 * 0.005 * 0.5), 1e-5);
  EXPECT_NEAR(y[10], logit(40 * 0.005), 1e-5);
  EXPECT_NEAR(y[11], logit(20 * 0.005), 1e-5);
}

TEST(CpuDetection, MalformedNodesAreRefusedAtBuild) {
  const RefusedGraph cases[] = {
      {"yolo rows", [](OpGraph& g) {
         g.node(OpKind::kYoloNms, {g.in({1, 7, 10})}, {g.out({5, 6})}, {{15, 4}});
       }},
      {"yolo extra", [](OpGraph& g) {
         g.node(OpKind::kYoloNms, {g.in({1, 7, 10})}, {g.out({4, 9})}, {{15, 4}, {16, 3}});
       }},
      {"yolo negative extra", [](OpGraph& g) {
         g.node(OpKind::kYoloNms, {g.in({1, 7, 10})}, {g.out({4, 5})},
                {{15, 4}, {16, static_cast<uint64_t>(-1)}});
       }},
      {"yolo rank", [](OpGraph& g) {
         g.node(OpKind::kYoloNms, {g.in({7, 10})}, {g.out({4, 6})}, {{15, 4}});
       }},
      {"nms absent optional input", [](OpGraph& g) {
         g.node(OpKind::kNonMaxSuppression, {g.in({1, 5, 4}), g.in({1, 2, 5}), kAbsentValue},
                {g.out({10, 3})});
       }},
      {"nms boxes", [](OpGraph& g) {
         g.node(OpKind::kNonMaxSuppression, {g.in({1, 5, 3}), g.in({1, 2, 5})}, {g.out({10, 3})});
       }},
      {"nms scores", [](OpGraph& g) {
         g.node(OpKind::kNonMaxSuppression, {g.in({1, 5, 4}), g.in({1, 2, 6})}, {g.out({10, 3})});
       }},
      {"nms rows", [](OpGraph& g) {
         g.node(OpKind::kNonMaxSuppression, {g.in({1, 5, 4}), g.in({1, 2, 5})}, {g.out({10, 2})});
       }},
      {"detr slots", [](OpGraph& g) {
         g.node(OpKind::kDetrTopK, {g.in({1, 5, 3}), g.in({1, 5, 4})}, {g.out({1, 100, 4})});
       }},
      {"detr queries", [](OpGraph& g) {
         g.node(OpKind::kDetrTopK, {g.in({1, 5, 3}), g.in({1, 6, 4})}, {g.out({1, 300, 4})});
       }},
      {"mask size", [](OpGraph& g) {
         g.node(OpKind::kMaskToBoxLogit, {g.in({1, 300, 100, 100})}, {g.out({300, 4})});
       }},
  };
  expect_all_refused(cases);
}

}  // namespace
}  // namespace vexa::cpu::optest
