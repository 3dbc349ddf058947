// Converted graphs run on the CPU engine: the detection tail replaced by YoloNms against a
// suppression loop written here, NAFNet's pooling rewrite against a per-channel mean, and a
// BatchNormalization with constant statistics against its defining formula.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/container.h"
#include "core/container_access.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "container_tool_util.h"
#include "tools/convert_driver.h"
#include "vexa/vexa.h"

namespace vexa::tools {
namespace {

// Converts one fixture without bindings, builds the CPU state and runs it on one input.
class ConvertedModel {
 public:
  ~ConvertedModel() {
    if (state_ != nullptr) cpu::cpu_state_destroy(&state_);
    if (opened_) container_close(&container_);
    if (!path_.empty()) unlink(path_.c_str());
  }

  void convert(const std::string& fixture) {
    char path[] = "/tmp/vexa-converted-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = path;
    const ConvertResult r =
        onnx_convert_file(std::string(VEXA_FIXTURES_DIR) + "/" + fixture, path_, 0);
    ASSERT_TRUE(r.ok) << r.text;
    OpenResult o = container_open_path(path_.c_str(), path_.size());
    ASSERT_TRUE(o.ok());
    container_ = o.container;
    opened_ = true;
    weights_.resize(std::max<uint64_t>(container_.weights_data_size, 64));
    ASSERT_TRUE(read_fully_at(container_.fd, weights_.data(), container_.weights_data_size,
                              container_.base_offset + container_.weights_offset));
    cpu::CpuCreateResult c = cpu::cpu_state_create_default(&container_, weights_.data());
    if (c.tag != 0) {
      const std::string message(cpu::cpu_create_message(c));
      cpu::cpu_create_result_release(&c);
      FAIL() << message;
    }
    state_ = c.state;
  }

  std::vector<std::string> node_kinds() const {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < container_node_count(&container_); ++i)
      out.emplace_back(op_kind_name(container_read_node(&container_, i).op_kind));
    return out;
  }

  // The same container through the public API: a session, a raw f32 input, output 0 copied out.
  std::vector<float> run_through_api(const std::vector<float>& input) {
    return testing::run_through_api(path_, input);
  }

  std::vector<float> run(const std::vector<float>& input) {
    EXPECT_TRUE(cpu::cpu_set_input(&state_, state_->input_value, input.data(),
                                   input.size() * sizeof(float)));
    EXPECT_TRUE(cpu::cpu_run(&state_, nullptr, nullptr));
    const uint64_t n = state_->values[state_->outputs[0]].element_count();
    const float* out = cpu::cpu_output_data(&state_, 0);
    return std::vector<float>(out, out + n);
  }

 private:
  std::string path_;
  OpenContainer container_{};
  bool opened_ = false;
  std::vector<uint8_t> weights_;
  cpu::CpuState* state_ = nullptr;
};

// What the fixture's tail computes, written out: best class per anchor above the score
// threshold; every box value divided, scaled and shifted by class x offset (the graph adds the
// offset to all four centre-format values); greedy suppression by IoU in score order; rows of
// (raw box, score, class), zero after the last kept one.
std::vector<float> reference_tail(const std::vector<float>& head, int channels, int anchors,
                                  int max_out, float score_thr, float iou_thr, float divisor,
                                  float scale, float class_offset) {
  struct Cand {
    int anchor;
    float score;
    int cls;
    float x1, y1, x2, y2;
  };
  std::vector<Cand> cands;
  for (int a = 0; a < anchors; ++a) {
    int best = 0;
    for (int c = 1; c < channels - 4; ++c)
      if (head[(4 + c) * anchors + a] > head[(4 + best) * anchors + a]) best = c;
    const float score = head[(4 + best) * anchors + a];
    if (!(score > score_thr)) continue;
    const float off = best * class_offset;
    const float cx = head[0 * anchors + a] / divisor * scale + off;
    const float cy = head[1 * anchors + a] / divisor * scale + off;
    const float w = head[2 * anchors + a] / divisor * scale + off;
    const float h = head[3 * anchors + a] / divisor * scale + off;
    cands.push_back({a, score, best, cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2});
  }
  std::stable_sort(cands.begin(), cands.end(),
                   [](const Cand& p, const Cand& q) { return p.score > q.score; });
  auto iou = [](const Cand& p, const Cand& q) {
    const float iw = std::max(0.0f, std::min(p.x2, q.x2) - std::max(p.x1, q.x1));
    const float ih = std::max(0.0f, std::min(p.y2, q.y2) - std::max(p.y1, q.y1));
    const float inter = iw * ih;
    const float uni = (p.x2 - p.x1) * (p.y2 - p.y1) + (q.x2 - q.x1) * (q.y2 - q.y1) - inter;
    return uni > 0 ? inter / uni : 0.0f;
  };
  std::vector<Cand> kept;
  for (const Cand& c : cands) {
    bool suppressed = false;
    for (const Cand& k : kept) suppressed = suppressed || iou(c, k) > iou_thr;
    if (!suppressed && static_cast<int>(kept.size()) < max_out) kept.push_back(c);
  }
  std::vector<float> out(static_cast<size_t>(max_out) * 6, 0.0f);
  for (size_t r = 0; r < kept.size(); ++r) {
    for (int j = 0; j < 4; ++j) out[r * 6 + j] = head[j * anchors + kept[r].anchor];
    out[r * 6 + 4] = kept[r].score;
    out[r * 6 + 5] = static_cast<float>(kept[r].cls);
  }
  return out;
}

class DetectionTailRun : public ::testing::TestWithParam<const char*> {};

TEST_P(DetectionTailRun, RunsAsYoloNms) {
  ConvertedModel m;
  ASSERT_NO_FATAL_FAILURE(m.convert(std::string("family_rewrites/") + GetParam()));
  EXPECT_EQ(m.node_kinds().back(), "YoloNms");

  constexpr int kChannels = 6, kAnchors = 8;
  // Per anchor: cx, cy, w, h, class-0 score, class-1 score. Anchor 1 overlaps anchor 0 in the
  // same class (suppressed); anchor 2 has the same box in the other class (kept: the class
  // offset separates them); anchor 3 stands alone; anchor 4 is under the threshold; anchor 6
  // falls inside anchor 2's offset-grown class-1 box (suppressed).
  const float anchors[kAnchors][kChannels] = {
      {100, 100, 50, 50, 0.9f, 0.1f}, {105, 102, 50, 50, 0.8f, 0.1f},
      {105, 102, 50, 50, 0.1f, 0.7f}, {300, 300, 40, 40, 0.6f, 0.2f},
      {10, 10, 5, 5, 0.2f, 0.1f},     {0, 0, 1, 1, 0, 0},
      {400, 80, 20, 30, 0.05f, 0.3f}, {0, 0, 1, 1, 0, 0}};
  std::vector<float> head(kChannels * kAnchors);
  for (int a = 0; a < kAnchors; ++a)
    for (int c = 0; c < kChannels; ++c) head[c * kAnchors + a] = anchors[a][c];

  const std::vector<float> got = m.run(head);
  const std::vector<float> want =
      reference_tail(head, kChannels, kAnchors, 10, 0.25f, 0.45f, 640.0f, 640.0f, 4096.0f);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-5) << "element " << i;
  // Three detections survive: anchors 0, 2 and 3.
  EXPECT_FLOAT_EQ(got[2 * 6 + 4], 0.6f);
  EXPECT_EQ(got[3 * 6 + 4], 0.0f);
  // An application opening the converted model gets the same detections.
  EXPECT_EQ(m.run_through_api(head), got);
}

// Thresholds and scales as initializers, and as Constant nodes inside the tail.
INSTANTIATE_TEST_SUITE_P(ConvertedRun, DetectionTailRun,
                         ::testing::Values("detection_tail.onnx",
                                           "detection_tail_constant_nodes.onnx"));

TEST(ConvertedRun, NafnetPoolingIsChannelMean) {
  ConvertedModel m;
  ASSERT_NO_FATAL_FAILURE(m.convert("family_rewrites/nafnet_pool.onnx"));
  constexpr int kC = 4, kHW = 64;
  std::vector<float> x(kC * kHW);
  for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.37f * static_cast<float>(i)) + 0.1f;
  const std::vector<float> y = m.run(x);
  ASSERT_EQ(y.size(), x.size());
  for (int c = 0; c < kC; ++c) {
    double mean = 0;
    for (int i = 0; i < kHW; ++i) mean += x[c * kHW + i];
    mean /= kHW;
    for (int i = 0; i < kHW; ++i)
      EXPECT_NEAR(y[c * kHW + i], x[c * kHW + i] * mean, 1e-5) << c << "," << i;
  }
}

TEST(ConvertedRun, BatchNormWithConstantStatisticsMatchesFormula) {
  ConvertedModel m;
  ASSERT_NO_FATAL_FAILURE(m.convert("batchnorm/batchnorm_after_relu.onnx"));
  // The values of batchnorm/make_graph.py.
  const double gamma[3] = {1.5, -0.5, 2.0}, beta[3] = {0.25, 1.0, -3.0};
  const double mean[3] = {0.1, -2.0, 4.0}, var[3] = {0.5, 4.0, 0.01}, eps = 1e-3;
  const std::vector<float> x = {-1, 0.5f, 2, 3, 1, -2, 0.25f, 8, 4, 4.5f, -0.5f, 3.75f};
  const std::vector<float> y = m.run(x);
  ASSERT_EQ(y.size(), x.size());
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 4; ++i) {
      const double r = std::max(0.0f, x[c * 4 + i]);
      const double want = (r - mean[c]) / std::sqrt(var[c] + eps) * gamma[c] + beta[c];
      EXPECT_NEAR(y[c * 4 + i], want, 1e-5 * (1 + std::fabs(want))) << c << "," << i;
    }
  }
}

TEST(ConvertedRun, RewriteReportNamesWhatWasApplied) {
  char path[] = "/tmp/vexa-converted-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string dir = std::string(VEXA_FIXTURES_DIR) + "/family_rewrites/";
  ConvertResult r = onnx_convert_file(dir + "io_by_name.onnx", path, 0);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text.find("attention_mask"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("last_hidden_state"), std::string::npos) << r.text;
  EXPECT_EQ(onnx_rewrite_report(),
            "  inputs/outputs dropped or baked by name (SAM prompt, CLIP attention mask, "
            "PP-DocLayoutV3 extra outputs)\n");
  // The next conversion starts from an empty report.
  r = onnx_convert_file(dir + "detection_tail.onnx", path, 0);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(onnx_rewrite_report(), "");
  r = onnx_convert_file(dir + "nafnet_pool.onnx", path, 0);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(onnx_rewrite_report(),
            "  CumSum/Pad subgraph replaced by global average pooling (NAFNet)\n");
  unlink(path);
}

}  // namespace
}  // namespace vexa::tools
