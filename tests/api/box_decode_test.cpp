#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "api/box_decode.h"
#include "api/session_record.h"
#include "api_test_util.h"

using namespace vexa_test;

namespace {

struct Box {
  float x1, y1, x2, y2, score;
  uint32_t cls;
};

Box box_of(vexa_output* out, int b) {
  return {vexa_output_box_x1(out, b), vexa_output_box_y1(out, b), vexa_output_box_x2(out, b),
          vexa_output_box_y2(out, b), vexa_output_box_score(out, b),
          vexa_output_box_class_id(out, b)};
}

void expect_box(vexa_output* out, int b, Box want) {
  const Box got = box_of(out, b);
  EXPECT_FLOAT_EQ(want.x1, got.x1) << "box " << b;
  EXPECT_FLOAT_EQ(want.y1, got.y1) << "box " << b;
  EXPECT_FLOAT_EQ(want.x2, got.x2) << "box " << b;
  EXPECT_FLOAT_EQ(want.y2, got.y2) << "box " << b;
  EXPECT_FLOAT_EQ(want.score, got.score) << "box " << b;
  EXPECT_EQ(want.cls, got.cls) << "box " << b;
}

// Channel-major [1, F, N] data from per-anchor feature columns.
std::vector<float> channel_major(const std::vector<std::vector<float>>& anchors, size_t features) {
  const size_t n = anchors.size();
  std::vector<float> data(features * n, 0.0f);
  for (size_t i = 0; i < n; ++i)
    for (size_t f = 0; f < anchors[i].size(); ++f) data[f * n + i] = anchors[i][f];
  return data;
}

struct SessionHolder {
  vexa::Session* s;
  SessionHolder() : s(static_cast<vexa::Session*>(std::calloc(1, sizeof(vexa::Session)))) {
    vexa::session_link_register(s);
  }
  ~SessionHolder() { release(); }
  void release() {
    if (s == nullptr) return;
    vexa::session_link_retire(s);
    std::free(s);
    s = nullptr;
  }
};

}  // namespace

TEST(BoxDecode, SplitCentreFormWithLetterboxMappingAndClamp) {
  OutputPtr out = new_output();
  vexa::Output* o = rec(out.get());
  o->scale_x = o->scale_y = 0.5f;
  o->pad_x = 0.0f;
  o->pad_y = 80.0f;
  o->source_width = 1280;
  o->source_height = 720;
  // Anchor 0: (cx, cy, w, h) = (100, 50, 20, 10); anchor 1: (400, 300, 40, 20).
  ASSERT_EQ(0, add_tensor(out.get(), "boxes", {1, 4, 2},
                          channel_major({{100, 50, 20, 10}, {400, 300, 40, 20}}, 4)));
  // Three classes; anchor 0 best is class 2, anchor 1 ties classes 0 and 1 (lowest wins).
  ASSERT_EQ(1, add_tensor(out.get(), "scores", {1, 3, 2},
                          channel_major({{0.1f, 0.2f, 0.9f}, {0.7f, 0.7f, 0.1f}}, 3)));
  ASSERT_EQ(2, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  expect_box(out.get(), 0, {180, 0, 220, 0, 0.9f, 2});
  // x: (380 / 0.5, 420 / 0.5) = (760, 840); y: ((290 - 80) / 0.5, (310 - 80) / 0.5).
  expect_box(out.get(), 1, {760, 420, 840, 460, 0.7f, 0});
  EXPECT_EQ(0u, vexa_output_box_landmark_count(out.get(), 0));
}

TEST(BoxDecode, SplitCornerFormByFlagOrName) {
  for (int variant = 0; variant < 3; ++variant) {
    OutputPtr out = new_output();
    vexa::Output* o = rec(out.get());
    if (variant == 0) o->boxes_corner_form = 1;
    if (variant == 1) set_text(o->decode, &o->decode_len, "xyxy");
    if (variant == 2) set_text(o->decode, &o->decode_len, "yolov8_xyxy");
    ASSERT_EQ(0, add_tensor(out.get(), "b", {1, 4, 1}, {10, 20, 30, 40}));
    ASSERT_EQ(1, add_tensor(out.get(), "s", {1, 1, 1}, {0.8f}));
    ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
    expect_box(out.get(), 0, {10, 20, 30, 40, 0.8f, 0});
  }
}

TEST(BoxDecode, QueryLayoutIgnoresNoObjectColumnAndSquashesLogits) {
  OutputPtr out = new_output();
  vexa::Output* o = rec(out.get());
  o->input_width = 800;
  o->input_height = 600;
  std::vector<float> logits(2 * 92, -5.0f);
  logits[0 * 92 + 7] = 2.0f;   // query 0: class 7, logit 2
  logits[0 * 92 + 91] = 9.0f;  // no-object column: ignored
  logits[1 * 92 + 3] = 0.6f;   // query 1: already a probability
  ASSERT_EQ(0, add_tensor(out.get(), "logits", {1, 2, 92}, logits));
  ASSERT_EQ(1, add_tensor(out.get(), "boxes", {1, 2, 4}, {0.5f, 0.5f, 0.25f, 0.5f, 0.1f, 0.1f, 0.1f, 0.1f}));
  ASSERT_EQ(2, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  const float sig2 = 1.0f / (1.0f + std::exp(-2.0f));
  EXPECT_NEAR(0.8808f, sig2, 1e-4);
  expect_box(out.get(), 0, {300, 150, 500, 450, sig2, 7});
  expect_box(out.get(), 1, {40, 30, 120, 90, 0.6f, 3});

  // 91 classes is an ordinary width: every column counts.
  OutputPtr plain = new_output();
  std::vector<float> l91(91, 0.1f);
  l91[90] = 0.95f;
  ASSERT_EQ(0, add_tensor(plain.get(), "l", {1, 1, 91}, l91));
  ASSERT_EQ(1, add_tensor(plain.get(), "b", {1, 1, 4}, {0.5f, 0.5f, 0.1f, 0.1f}));
  ASSERT_EQ(1, vexa_output_decode_boxes(plain.get(), 10, 0.5f, 0.5f));
  EXPECT_EQ(90u, vexa_output_box_class_id(plain.get(), 0));
  // Without input or source size the reference size is 640.
  EXPECT_FLOAT_EQ(320.0f - 32.0f, vexa_output_box_x1(plain.get(), 0));
}

TEST(BoxDecode, RowLayout) {
  OutputPtr out = new_output();
  ASSERT_EQ(0, add_tensor(out.get(), "det", {1, 3, 6},
                          {10, 10, 50, 50, 0.9f, 2.7f,     // class truncates to 2
                           60, 60, 90, 90, 0.3f, 1.0f,     // below threshold
                           5, 5, 20, 20, 0.6f, -1.5f}));   // class -1
  ASSERT_EQ(2, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  expect_box(out.get(), 0, {10, 10, 50, 50, 0.9f, 2});
  expect_box(out.get(), 1, {5, 5, 20, 20, 0.6f, 0xFFFFFFFFu});
}

TEST(BoxDecode, GridLayoutClassesAndPose) {
  const size_t n = 16;
  // F = 84: 80 classes.
  {
    OutputPtr out = new_output();
    std::vector<std::vector<float>> anchors(n, std::vector<float>(84, 0.0f));
    anchors[3][0] = 100; anchors[3][1] = 100; anchors[3][2] = 10; anchors[3][3] = 20;
    anchors[3][4 + 79] = 0.75f;
    ASSERT_EQ(0, add_tensor(out.get(), "p", {1, 84, 16}, channel_major(anchors, 84)));
    ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
    expect_box(out.get(), 0, {95, 90, 105, 110, 0.75f, 79});
  }
  // F = 56: pose without labels, 52 classes with a label list.
  std::vector<std::vector<float>> anchors(n, std::vector<float>(56, 0.0f));
  anchors[0] = std::vector<float>(56, 0.0f);
  anchors[0][0] = 50; anchors[0][1] = 60; anchors[0][2] = 20; anchors[0][3] = 40;
  anchors[0][4] = 0.9f;
  for (int k = 0; k < 17; ++k) {
    anchors[0][5 + 3 * k] = 40.0f + k;
    anchors[0][6 + 3 * k] = 45.0f + k;
    anchors[0][7 + 3 * k] = 0.5f;
  }
  anchors[0][5] = -3.0f;  // clamps to 0 with a source size
  anchors[0][4 + 30] = 0.95f;
  {
    OutputPtr out = new_output();
    rec(out.get())->source_width = 1000;
    rec(out.get())->source_height = 1000;
    ASSERT_EQ(0, add_tensor(out.get(), "p", {1, 56, 16}, channel_major(anchors, 56)));
    ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
    expect_box(out.get(), 0, {40, 40, 60, 80, 0.9f, 0});
    ASSERT_EQ(17u, vexa_output_box_landmark_count(out.get(), 0));
    EXPECT_EQ(0.0f, vexa_output_box_landmark_x(out.get(), 0, 0));
    EXPECT_EQ(45.0f, vexa_output_box_landmark_y(out.get(), 0, 0));
    EXPECT_EQ(56.0f, vexa_output_box_landmark_x(out.get(), 0, 16));
    EXPECT_EQ(61.0f, vexa_output_box_landmark_y(out.get(), 0, 16));
    EXPECT_EQ(0.0f, vexa_output_box_landmark_x(out.get(), 0, 17));
  }
  // In the plain layout rows 4..55 are all class scores.
  for (int f = 5; f < 56; ++f) anchors[0][f] = 0.0f;
  anchors[0][4 + 30] = 0.95f;
  {
    OutputPtr out = new_output();
    std::string labels;
    for (int i = 0; i < 80; ++i) labels += "l" + std::to_string(i) + '\0';
    vexa::LabelBlob* blob = vexa::label_blob_new(labels.data(), labels.size(), 80);
    vexa::output_attach_labels(rec(out.get()), blob);
    vexa::label_blob_release(blob);
    ASSERT_EQ(0, add_tensor(out.get(), "p", {1, 56, 16}, channel_major(anchors, 56)));
    ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
    EXPECT_EQ(30u, vexa_output_box_class_id(out.get(), 0));
    EXPECT_FLOAT_EQ(0.95f, vexa_output_box_score(out.get(), 0));
    EXPECT_EQ(0u, vexa_output_box_landmark_count(out.get(), 0));
    EXPECT_STREQ("l30", vexa_output_box_label_ptr(out.get(), 0));
    EXPECT_EQ(3u, vexa_output_box_label_len(out.get(), 0));
    // Named pose wins over the label list.
    set_text(rec(out.get())->task, &rec(out.get())->task_len, "pose");
    ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
    EXPECT_EQ(17u, vexa_output_box_landmark_count(out.get(), 0));
  }
}

TEST(BoxDecode, FaceLayoutWithLandmarks) {
  OutputPtr out = new_output();
  vexa::Output* o = rec(out.get());
  o->input_width = 64;
  o->input_height = 64;
  const size_t strides[3] = {8, 16, 32};
  std::vector<std::vector<float>> scores(3), dist(3), marks(3);
  for (int s = 0; s < 3; ++s) {
    const size_t entries = (64 / strides[s]) * (64 / strides[s]) * 2;
    scores[s].assign(entries, 0.0f);
    dist[s].assign(entries * 4, 0.0f);
    marks[s].assign(entries * 10, 0.0f);
  }
  // Stride 8, cell 9 (row 1, column 1: centre 8, 8), anchor 1: entry 19.
  scores[0][19] = 0.8f;
  const float d[4] = {1, 1, 2, 2};
  for (int k = 0; k < 4; ++k) dist[0][19 * 4 + k] = d[k];
  for (int k = 0; k < 10; ++k) marks[0][19 * 10 + k] = 0.5f * static_cast<float>(k);
  // Stride 32, cell 3 (row 1, column 1: centre 32, 32), anchor 0: entry 6.
  scores[2][6] = 0.7f;
  for (int k = 0; k < 4; ++k) dist[2][6 * 4 + k] = 0.5f;
  for (int s = 0; s < 3; ++s) add_tensor(out.get(), "score" + std::to_string(s), {1, (int64_t)scores[s].size(), 1}, scores[s]);
  for (int s = 0; s < 3; ++s) add_tensor(out.get(), "bbox" + std::to_string(s), {1, (int64_t)dist[s].size() / 4, 4}, dist[s]);
  for (int s = 0; s < 3; ++s) add_tensor(out.get(), "kps" + std::to_string(s), {1, (int64_t)marks[s].size() / 10, 10}, marks[s]);
  ASSERT_EQ(2, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  expect_box(out.get(), 0, {0, 0, 24, 24, 0.8f, 0});
  ASSERT_EQ(5u, vexa_output_box_landmark_count(out.get(), 0));
  for (int k = 0; k < 5; ++k) {
    EXPECT_FLOAT_EQ(8.0f + 8.0f * 0.5f * (2 * k), vexa_output_box_landmark_x(out.get(), 0, k));
    EXPECT_FLOAT_EQ(8.0f + 8.0f * 0.5f * (2 * k + 1), vexa_output_box_landmark_y(out.get(), 0, k));
  }
  expect_box(out.get(), 1, {16, 16, 48, 48, 0.7f, 0});

  // A stride whose tensor is shorter than its grid is an error, never an over-read.
  SessionHolder session;
  vexa::output_attach_session(o, session.s);
  for (int t : {4, 6, 8}) {
    const uint64_t full = o->tensors[t].count;
    o->tensors[t].count = full - 1;
    EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f)) << t;
    EXPECT_EQ("Output tensor is too short for its box layout",
              std::string(session.s->error_message, session.s->error_message_len));
    o->tensors[t].count = full;
  }
  // A stride without data is skipped; the others still decode.
  float* held = o->tensors[3].f32_data;
  o->tensors[3].f32_data = nullptr;
  ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  EXPECT_FLOAT_EQ(0.7f, vexa_output_box_score(out.get(), 0));
  o->tensors[3].f32_data = held;

  // Named for another decoder, the same nine tensors fall to the shape rules: tensor 0 has
  // rank 3 but no layout of two or more tensors fits, so the grid rule sees F = 128, N = 1.
  set_text(o->decode, &o->decode_len, "xyxy");
  EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  // The face layout needs tensor 0 to hold exactly its grid.
  set_text(o->decode, &o->decode_len, "scrfd");
  o->input_width = 640;
  o->input_height = 0;
  EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
}

TEST(BoxDecode, SuppressionIsClassAware) {
  OutputPtr out = new_output();
  // A (0,0,10,10) and B (0,0,10,6): IoU 0.6. C overlaps A but has another class.
  ASSERT_EQ(0, add_tensor(out.get(), "det", {1, 3, 6},
                          {0, 0, 10, 6, 0.8f, 1, 0, 0, 10, 10, 0.9f, 1, 1, 1, 9, 9, 0.85f, 2}));
  ASSERT_EQ(2, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  expect_box(out.get(), 0, {0, 0, 10, 10, 0.9f, 1});
  expect_box(out.get(), 1, {1, 1, 9, 9, 0.85f, 2});
  // Threshold above the IoU keeps all three, ordered by score.
  ASSERT_EQ(3, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.6f));
  EXPECT_FLOAT_EQ(0.8f, vexa_output_box_score(out.get(), 2));
  // max_boxes 1 writes one; max_boxes 0 leaves the previous result alone.
  ASSERT_EQ(1, vexa_output_decode_boxes(out.get(), 1, 0.5f, 0.6f));
  EXPECT_EQ(0, vexa_output_decode_boxes(out.get(), 0, 0.5f, 0.6f));
  EXPECT_FLOAT_EQ(0.9f, vexa_output_box_score(out.get(), 0));
  EXPECT_EQ(0.0f, vexa_output_box_score(out.get(), 1));

  // A negative threshold suppresses same-class boxes even without overlap.
  OutputPtr far = new_output();
  ASSERT_EQ(0, add_tensor(far.get(), "det", {1, 2, 6},
                          {0, 0, 1, 1, 0.9f, 0, 50, 50, 60, 60, 0.8f, 0}));
  EXPECT_EQ(1, vexa_output_decode_boxes(far.get(), 10, 0.5f, -0.1f));
  EXPECT_EQ(2, vexa_output_decode_boxes(far.get(), 10, 0.5f, 0.0f));
  // NaN scores never pass; a threshold above every score gives none.
  rec(far.get())->tensors[0].f32_data[4] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(1, vexa_output_decode_boxes(far.get(), 10, 0.5f, 0.5f));
  EXPECT_EQ(0, vexa_output_decode_boxes(far.get(), 10, 0.99f, 0.5f));
}

namespace {
float ref_iou(const Box& a, const Box& b) {
  const double iw = std::max(0.0, double(std::min(a.x2, b.x2)) - std::max(a.x1, b.x1));
  const double ih = std::max(0.0, double(std::min(a.y2, b.y2)) - std::max(a.y1, b.y1));
  const double inter = iw * ih;
  if (inter <= 0) return 0;
  const double uni = double(a.x2 - a.x1) * (a.y2 - a.y1) + double(b.x2 - b.x1) * (b.y2 - b.y1) - inter;
  return uni > 0 ? float(inter / uni) : 0.0f;
}
}  // namespace

TEST(BoxDecode, RandomRowsMatchNaiveSuppression) {
  uint32_t s = 99;
  auto rnd = [&] {
    s = s * 1664525u + 1013904223u;
    return static_cast<float>(s >> 8) / static_cast<float>(1u << 24);
  };
  for (int round = 0; round < 20; ++round) {
    const int n = 150;
    std::vector<float> rows;
    std::vector<Box> boxes;
    for (int i = 0; i < n; ++i) {
      const float x = rnd() * 200, y = rnd() * 200, w = 5 + rnd() * 60, h = 5 + rnd() * 60;
      // Distinct scores fix the order.
      const Box b{x, y, x + w, y + h, 0.2f + 0.7f * (float(i * 37 % n) / n), uint32_t(i % 3)};
      boxes.push_back(b);
      rows.insert(rows.end(), {b.x1, b.y1, b.x2, b.y2, b.score, float(b.cls)});
    }
    OutputPtr out = new_output();
    ASSERT_EQ(0, add_tensor(out.get(), "det", {1, n, 6}, rows));
    const float thr = 0.4f, iou = 0.3f;
    std::vector<Box> cand;
    for (const Box& b : boxes)
      if (b.score >= thr) cand.push_back(b);
    std::sort(cand.begin(), cand.end(), [](const Box& a, const Box& b) { return a.score > b.score; });
    std::vector<Box> kept;
    for (const Box& c : cand) {
      bool drop = false;
      for (const Box& k : kept) drop = drop || (k.cls == c.cls && ref_iou(k, c) > iou);
      if (!drop && kept.size() < 40) kept.push_back(c);
    }
    ASSERT_EQ(static_cast<int>(kept.size()), vexa_output_decode_boxes(out.get(), 40, thr, iou));
    for (size_t i = 0; i < kept.size(); ++i) expect_box(out.get(), static_cast<int>(i), kept[i]);
  }
}

TEST(BoxDecode, CandidateCapKeepsTheHighestScores) {
  const int n = 700;
  std::vector<float> rows;
  for (int i = 0; i < n; ++i) {
    // Rising scores: the best arrive last and must displace the earliest ones.
    rows.insert(rows.end(), {0, 0, 10, 10, 0.1f + 0.001f * i, float(i)});
  }
  OutputPtr out = new_output();
  ASSERT_EQ(0, add_tensor(out.get(), "det", {1, n, 6}, rows));
  ASSERT_EQ(256, vexa_output_decode_boxes(out.get(), 1000, 0.0f, 0.5f));
  for (int b = 0; b < 256; ++b) EXPECT_EQ(uint32_t(n - 1 - b), vexa_output_box_class_id(out.get(), b));

  // With the list full, suppression still works over the 512 kept (all share class 0 here).
  for (int i = 0; i < n; ++i) rows[i * 6 + 5] = 0.0f;
  rows[3 * 6 + 0] = 500;  // a low-score far box survives only if it was kept as a candidate
  rows[3 * 6 + 2] = 510;
  OutputPtr same = new_output();
  ASSERT_EQ(0, add_tensor(same.get(), "det", {1, n, 6}, rows));
  EXPECT_EQ(1, vexa_output_decode_boxes(same.get(), 1000, 0.0f, 0.5f));
}

TEST(BoxDecode, UnsupportedAndShortTensorsReportIntoALiveSessionOnly) {
  struct Case {
    std::vector<std::vector<int64_t>> dims;
    std::vector<size_t> counts;
    const char* message;
  };
  const char* kLayout = "Output tensor layout is not supported by decode_boxes";
  const char* kShort = "Output tensor is too short for its box layout";
  const Case cases[] = {
      {{{1, 84}}, {84}, kLayout},                 // rank 2
      {{{1, 4, 8}}, {32}, kLayout},               // grid with N < 16
      {{{1, 4, 100}}, {400}, kLayout},            // grid with F < 5
      {{{1, 3, 20}, {1, 7}}, {60, 7}, kLayout},   // second tensor fits nothing, F < 5
      {{{1, 20, 6}}, {60}, kShort},               // rows promise 120 values
      {{{1, 84, 100}}, {84 * 50}, kShort},        // grid shorter than F x N
      {{{1, 4, 10}, {1, 3, 10}}, {40, 20}, kShort},   // split scores short
      {{{1, 4, 10}, {1, 3, 10}}, {39, 30}, kShort},   // split boxes short
      {{{1, 10, 92}, {1, 10, 4}}, {900, 40}, kShort}, // query logits short
      {{{1, 10, 92}, {1, 10, 4}}, {920, 39}, kShort}, // query boxes short
      {{{1, 4, INT64_MAX / 2}, {1, 9, INT64_MAX / 2}}, {8, 8}, kShort},  // products overflow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + std::string(" rank ") + std::to_string(c.dims[0].size()));
    SessionHolder session;
    OutputPtr out = new_output();
    for (size_t t = 0; t < c.dims.size(); ++t) {
      add_tensor(out.get(), "t" + std::to_string(t), c.dims[t], std::vector<float>(c.counts[t], 0.9f));
    }
    vexa::output_attach_session(rec(out.get()), session.s);
    EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
    EXPECT_EQ(12u, session.s->error_code);
    EXPECT_EQ(c.message, std::string(session.s->error_message, session.s->error_message_len));
    EXPECT_EQ(0, rec(out.get())->box_count);
  }

  // Pose by name needs the keypoint rows.
  OutputPtr pose = new_output();
  set_text(rec(pose.get())->decode, &rec(pose.get())->decode_len, "yolov8_pose");
  add_tensor(pose.get(), "p", {1, 20, 16}, std::vector<float>(320, 0.9f));
  EXPECT_EQ(-1, vexa_output_decode_boxes(pose.get(), 10, 0.5f, 0.5f));

  // The output outlives its session: decoding afterwards reports nowhere and touches nothing.
  OutputPtr out = new_output();
  add_tensor(out.get(), "t", {1, 84}, std::vector<float>(84, 0.0f));
  {
    SessionHolder session;
    vexa::output_attach_session(rec(out.get()), session.s);
    session.release();
  }
  EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));

  // A session re-registered at the same address is a different session.
  SessionHolder session;
  vexa::output_attach_session(rec(out.get()), session.s);
  vexa::session_link_retire(session.s);
  vexa::session_link_register(session.s);
  EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  EXPECT_EQ(0u, session.s->error_code);
  vexa::output_attach_session(rec(out.get()), session.s);
  EXPECT_EQ(-1, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  EXPECT_EQ(12u, session.s->error_code);
}

TEST(BoxDecode, EmptyOrMissingDataGivesZeroBoxes) {
  OutputPtr out = new_output();
  EXPECT_EQ(0, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));  // no tensors
  add_tensor(out.get(), "det", {1, 0, 6}, {});
  EXPECT_EQ(0, vexa_output_decode_boxes(out.get(), 10, 0.5f, 0.5f));
  OutputPtr grid = new_output();
  add_tensor(grid.get(), "g", {1, 84, 16}, std::vector<float>(84 * 16, 0.0f));
  std::free(rec(grid.get())->tensors[0].f32_data);
  rec(grid.get())->tensors[0].f32_data = nullptr;
  rec(grid.get())->tensors[0].f32_capacity = 0;
  EXPECT_EQ(0, vexa_output_decode_boxes(grid.get(), 10, 0.5f, 0.5f));
}
