// Family rewrites on small ONNX graphs that carry each rewrite's trigger names and shapes
// (tests/fixtures/family_rewrites/make_graphs.py): what the lowering emits with and without the
// rewrites, the detection-tail match and its YoloNms parameters, and the report lines.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/convert_bindings.h"
#include "tools/family_rewrites.h"
#include "tools/onnx_lower.h"
#include "tools/onnx_wire.h"
#include "tools/shape_infer.h"

namespace vexa::tools {
namespace {

std::string fixture(const char* name) {
  return std::string(VEXA_FIXTURES_DIR) + "/family_rewrites/" + name;
}

float word_f32(uint64_t w) {
  const uint32_t bits = static_cast<uint32_t>(w);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// The converter's reading passes up to the node lowering, done by hand so the rewrites can be
// checked without the driver: model walk, initializers, graph inputs and outputs.
struct Loaded {
  std::vector<uint8_t> image;
  std::unique_ptr<BuilderState> s = std::make_unique<BuilderState>();
  uint64_t graph_start = 0, graph_end = 0;
  std::vector<std::pair<uint64_t, uint64_t>> node_spans;

  std::string kinds() const {
    std::string out;
    for (const GraphNode& n : s->nodes) {
      if (!out.empty()) out += ",";
      out += op_kind_name(static_cast<uint32_t>(n.op_kind));
    }
    return out;
  }
  std::string_view value_name(uint64_t v) const { return s->values[v].name; }
  const BuilderValue& value(std::string_view name) const {
    return s->values[s->value_index.at(name)];
  }
  std::vector<float> floats(std::string_view name) const {
    const BuilderValue& v = value(name);
    std::vector<float> out(v.data_bytes / 4);
    if (v.has_data) std::memcpy(out.data(), v.data, v.data_bytes);
    return out;
  }
};

constexpr uint64_t kInputKind = static_cast<uint64_t>(ValueKind::kGraphInput);
constexpr uint64_t kOutputKind = static_cast<uint64_t>(ValueKind::kGraphOutput);
constexpr uint64_t kWeightKind = static_cast<uint64_t>(ValueKind::kWeight);

void load(const char* name, Loaded& l, const InputBindings* bindings = nullptr,
          uint64_t option_word = 0) {
  std::ifstream f(fixture(name), std::ios::binary);
  ASSERT_TRUE(f) << name;
  l.image.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  BuilderState& s = *l.s;
  s.image = l.image.data();
  s.image_size = l.image.size();
  s.bindings = bindings;
  ASSERT_EQ(onnx_read_model(s, l.graph_start, l.graph_end), "");
  s.opset = onnx_opset_for_domain(s, "");
  bool corrupt = false;
  onnx_walk_fields(s.image, l.graph_start, l.graph_end, {5}, &corrupt,
                   [&](uint32_t, uint64_t a, uint64_t b) {
                     EXPECT_TRUE(onnx_read_tensor(s, 0, false, a, b));
                     return true;
                   });
  if (bindings != nullptr) {
    std::string batch_note;
    ASSERT_EQ(onnx_check_input_bindings(s, l.graph_start, l.graph_end, batch_note), "");
  }
  onnx_walk_fields(s.image, l.graph_start, l.graph_end, {11, 12}, &corrupt,
                   [&](uint32_t field, uint64_t a, uint64_t b) {
                     EXPECT_TRUE(onnx_read_graph_io(s, a, b, field == 12, option_word));
                     return true;
                   });
  onnx_walk_fields(s.image, l.graph_start, l.graph_end, {1}, &corrupt,
                   [&](uint32_t, uint64_t a, uint64_t b) {
                     l.node_spans.emplace_back(a, b);
                     return true;
                   });
  ASSERT_FALSE(corrupt);
}

// Pass 2b as the driver runs it: the rewrite hook first, the ordinary lowering otherwise.
// Nodes the ordinary lowering refuses leave nothing behind, as in the driver's report pass.
void lower_all(Loaded& l, uint64_t last_node = ~uint64_t{0}) {
  for (uint64_t k = 0; k < l.node_spans.size() && k <= last_node; ++k) {
    const auto [a, b] = l.node_spans[k];
    if (!onnx_rewrite_node(*l.s, a, b)) onnx_lower_node(*l.s, a, b);
  }
}

TEST(FamilyRewriteReport, LinesFollowBitOrder) {
  EXPECT_EQ(onnx_rewrite_lines(0), "");
  const std::string pow_and_pool = onnx_rewrite_lines(kRewritePow | kRewriteNafnetPool);
  EXPECT_EQ(pow_and_pool,
            "  Pow with an exponent other than 2 or 0.5 lowered to Sqrt (below 1) or square\n"
            "  CumSum/Pad subgraph replaced by global average pooling (NAFNet)\n");
  const std::string all = onnx_rewrite_lines(0x3ff);
  size_t lines = 0;
  for (char c : all) lines += c == '\n';
  EXPECT_EQ(lines, 10u);
  EXPECT_EQ(all.rfind("  inputs/outputs dropped or baked by name", 0), 0u);
}

TEST(DetectionTail, MatchReadsThresholdsScalingAndCut) {
  Loaded l;
  load("detection_tail.onnx", l);
  const DetectionTail t = onnx_match_detection_tail(*l.s, l.graph_start, l.graph_end);
  ASSERT_TRUE(t.matched);
  EXPECT_EQ(t.cut_node, 0u);  // the head's Mul: the score walk stops there
  EXPECT_EQ(t.input_name, "head");
  EXPECT_EQ(t.output_name, "detections");
  EXPECT_EQ(t.max_out, 10u);
  EXPECT_EQ(t.extra, 0u);
  EXPECT_FLOAT_EQ(t.score_threshold, 0.25f);
  EXPECT_FLOAT_EQ(t.iou_threshold, 0.45f);
  EXPECT_FLOAT_EQ(t.coord_divisor, 640.0f);
  EXPECT_FLOAT_EQ(t.coord_scale, 640.0f);
  EXPECT_FLOAT_EQ(t.class_offset, 4096.0f);
  EXPECT_EQ(t.centre_format, 1u);

  lower_all(l, t.cut_node);
  ASSERT_TRUE(onnx_append_yolo_nms(*l.s, t));
  EXPECT_EQ(l.kinds(), "Mul,YoloNms");
  const GraphNode& n = l.s->nodes.back();
  EXPECT_EQ(n.input_count, 1u);
  EXPECT_EQ(l.value_name(n.inputs[0]), "head");
  EXPECT_EQ(n.inputs[1], kAbsentInput);
  EXPECT_EQ(n.output_count, 1u);
  EXPECT_EQ(l.value_name(n.outputs[0]), "detections");
  const uint64_t* w = n.attrs;
  EXPECT_EQ(w[0], 10u);
  EXPECT_EQ(w[1], 0u);
  EXPECT_EQ(w[2], 1u);
  EXPECT_EQ(w[3], 1u);
  EXPECT_FLOAT_EQ(word_f32(w[4]), 640.0f);
  EXPECT_FLOAT_EQ(word_f32(w[5]), 640.0f);
  EXPECT_FLOAT_EQ(word_f32(w[6]), 4096.0f);
  EXPECT_EQ(w[7], 0u);
  EXPECT_EQ(w[8] + w[9] + w[10], 3u);
  EXPECT_EQ(w[11] + w[12], 0u);
  EXPECT_EQ(w[13], 1u);
  EXPECT_FLOAT_EQ(word_f32(w[14]), 0.25f);
  EXPECT_FLOAT_EQ(word_f32(w[15]), 0.45f);
}

TEST(DetectionTail, NoMatchWithoutConstantThresholdOrTail) {
  for (const char* name :
       {"detection_tail_runtime_threshold.onnx", "detection_tail_second_nonzero.onnx",
        "detection_tail_nms_score_input.onnx", "detection_tail_reads_input.onnx",
        "detection_tail_output_rank2.onnx", "nafnet_pool.onnx", "detection_head_cut.onnx"}) {
    Loaded l;
    load(name, l);
    EXPECT_FALSE(onnx_match_detection_tail(*l.s, l.graph_start, l.graph_end).matched) << name;
  }
  DetectionTail none;
  Loaded l;
  load("detection_tail.onnx", l);
  EXPECT_FALSE(onnx_append_yolo_nms(*l.s, none));
  EXPECT_TRUE(l.s->nodes.empty());
}

TEST(DetectionTail, ConstantNodesServeAsThresholdsAndScales) {
  Loaded l;
  load("detection_tail_constant_nodes.onnx", l);
  const DetectionTail t = onnx_match_detection_tail(*l.s, l.graph_start, l.graph_end);
  ASSERT_TRUE(t.matched);
  EXPECT_EQ(t.cut_node, 0u);
  EXPECT_FLOAT_EQ(t.score_threshold, 0.25f);
  EXPECT_FLOAT_EQ(t.iou_threshold, 0.45f);
  EXPECT_FLOAT_EQ(t.coord_divisor, 640.0f);
  EXPECT_FLOAT_EQ(t.coord_scale, 640.0f);
  EXPECT_FLOAT_EQ(t.class_offset, 4096.0f);
}

TEST(DetectionTail, ValueScalarReadsF32AndI64Initializers) {
  Loaded l;
  load("detection_tail.onnx", l);
  float v = 0;
  ASSERT_TRUE(onnx_value_scalar(*l.s, "div", &v));
  EXPECT_EQ(v, 640.0f);
  ASSERT_TRUE(onnx_value_scalar(*l.s, "max_det", &v));
  EXPECT_EQ(v, 10.0f);
  EXPECT_FALSE(onnx_value_scalar(*l.s, "x", &v));        // a graph input has no data
  EXPECT_FALSE(onnx_value_scalar(*l.s, "missing", &v));  // no such value
}

TEST(FamilyRewrites, NafnetCumSumPadBecomesGlobalAveragePool) {
  Loaded l;
  load("nafnet_pool.onnx", l);
  lower_all(l);
  EXPECT_EQ(l.kinds(), "GlobalAveragePool,Mul");
  const GraphNode& pool = l.s->nodes[0];
  EXPECT_EQ(l.value_name(pool.inputs[0]), "x");
  EXPECT_EQ(l.value_name(pool.outputs[0]), "pooled");
  EXPECT_EQ(l.s->rewrite_bits, kRewriteNafnetPool);
  EXPECT_EQ(l.s->rewrite_state[0], 0u);
}

TEST(FamilyRewrites, DocLayoutTailFusedByPaddleNames) {
  Loaded l;
  load("doclayout_tail.onnx", l);
  lower_all(l);
  EXPECT_EQ(l.kinds(), "Mul,DetrTopK,MaskToBoxLogit,Sigmoid,Concat");
  const auto& n = l.s->nodes;
  EXPECT_EQ(l.value_name(n[0].inputs[0]), "p2o.pd_op.concat.11.0");
  EXPECT_EQ(l.value_name(n[0].inputs[1]), "eager_tmp_2_deepcopy_547");
  EXPECT_EQ(l.value_name(n[0].outputs[0]), "where0");
  EXPECT_EQ(l.value_name(n[1].inputs[0]), "p2o.pd_op.add.37.0");
  EXPECT_EQ(l.value_name(n[1].inputs[1]), "p2o.pd_op.layer_norm.2.0");
  EXPECT_EQ(l.value_name(n[2].inputs[0]), "p2o.pd_op.bmm.0.0");
  EXPECT_EQ(l.value_name(n[3].outputs[0]), "ident");
  EXPECT_EQ(l.value_name(n[4].inputs[0]), "p2o.pd_op.sigmoid.25.0");
  EXPECT_EQ(l.value_name(n[4].inputs[1]), "ident");
  EXPECT_EQ(l.value_name(n[4].outputs[0]), "fetch_name_0");
  EXPECT_EQ(n[4].attrs[kWordAxis], 2u);
  EXPECT_TRUE(l.s->graph_cut);
  EXPECT_EQ(l.s->rewrite_bits, kRewriteDocLayout);
}

TEST(FamilyRewrites, BindingsTurnNameRewritesOff) {
  auto bindings = std::make_unique<InputBindings>();
  onnx_bindings_init(*bindings);
  Loaded l;
  load("doclayout_tail.onnx", l, bindings.get());
  for (const auto& [a, b] : l.node_spans) {
    EXPECT_FALSE(onnx_rewrite_node(*l.s, a, b));
  }
  // "Shape.14" is an ordinary Shape when lowered.
  ASSERT_TRUE(onnx_lower_node(*l.s, l.node_spans[0].first, l.node_spans[0].second));
  EXPECT_EQ(l.kinds(), "Shape");
  EXPECT_EQ(l.s->rewrite_bits, 0u);
}

TEST(FamilyRewrites, HeadCutKeepsConcatAsOutputAndDropsLayoutMoves) {
  Loaded l;
  load("detection_head_cut.onnx", l);
  lower_all(l);
  EXPECT_EQ(l.kinds(), "Sigmoid,Concat");
  const GraphNode& concat = l.s->nodes[1];
  EXPECT_EQ(l.value_name(concat.outputs[0]), "out");
  EXPECT_EQ(concat.attrs[12], 1u);
  EXPECT_TRUE(l.s->graph_cut);
  EXPECT_EQ(l.s->rewrite_bits, kRewriteDetectionHeadCut);
}

TEST(FamilyRewrites, UnnamedGraphIsUntouched) {
  // The detection tail's nodes carry none of the trigger names: lowering it node by node gives
  // exactly the ordinary lowering and an empty report.
  Loaded with, without;
  load("detection_tail.onnx", with);
  load("detection_tail.onnx", without);
  lower_all(with);
  for (const auto& [a, b] : without.node_spans) onnx_lower_node(*without.s, a, b);
  EXPECT_EQ(with.kinds(), without.kinds());
  EXPECT_EQ(with.s->rewrite_bits, 0u);
}

TEST(FamilyRewrites, PromptAndMaskInputsBakedOrDroppedByName) {
  Loaded l;
  load("io_by_name.onnx", l);
  EXPECT_EQ(l.value("x").kind, kInputKind);
  EXPECT_EQ(l.value("y").kind, kOutputKind);
  // attention_mask: ones [1, 77] when the option word gives no size.
  const BuilderValue& mask = l.value("attention_mask");
  EXPECT_EQ(mask.kind, kWeightKind);
  EXPECT_EQ(mask.rank, 2u);
  EXPECT_EQ(mask.dims[1], 77u);
  EXPECT_EQ(l.floats("attention_mask"), std::vector<float>(77, 1.0f));
  EXPECT_EQ(l.value("point_coords").kind, kWeightKind);
  EXPECT_EQ(l.floats("point_coords"), (std::vector<float>{600.0f, 350.0f}));
  // Dropped: neither inputs nor outputs.
  EXPECT_NE(l.value("point_labels").kind, kInputKind);
  EXPECT_NE(l.value("has_mask_input").kind, kInputKind);
  EXPECT_NE(l.value("last_hidden_state").kind, kOutputKind);
  EXPECT_EQ(l.s->rewrite_bits, kRewriteIoByName);
}

TEST(FamilyRewrites, BakedSizesFollowTheOptionWord) {
  const struct {
    uint64_t option_word;
    uint64_t mask_length;
    float x, y;
  } cases[] = {
      {0, 77, 600, 350},                  // no size: the fixed values
      {100, 100, 100, 100},               // one size for both
      {(40u << 16) | 30u, 40, 40, 30},    // height 40, width 30
      {64, 64, 600, 350},                 // the prompt grid size falls back too
  };
  for (const auto& c : cases) {
    Loaded l;
    load("io_by_name.onnx", l, nullptr, c.option_word);
    EXPECT_EQ(l.value("attention_mask").dims[1], c.mask_length) << c.option_word;
    EXPECT_EQ(l.floats("point_coords"), (std::vector<float>{c.x, c.y})) << c.option_word;
  }
}

TEST(FamilyRewrites, SamEncoderPreprocessingAndRangeSkipped) {
  Loaded l;
  load("sam_encoder.onnx", l);
  const BuilderValue& image = l.value("input_image");
  EXPECT_EQ(image.kind, kInputKind);
  EXPECT_EQ(image.rank, 4u);
  EXPECT_EQ(std::vector<uint64_t>(image.dims, image.dims + 4),
            (std::vector<uint64_t>{1, 3, 1024, 1024}));
  lower_all(l);
  EXPECT_EQ(l.kinds(), "Identity,Conv,Gather,Add");
  EXPECT_EQ(l.value_name(l.s->nodes[0].inputs[0]), "input_image");
  EXPECT_EQ(l.value_name(l.s->nodes[0].outputs[0]), "/Unsqueeze_4_output_0");
  EXPECT_EQ(l.s->rewrite_state[0], 0u);
  EXPECT_EQ(l.s->rewrite_bits, kRewriteSam);
}

TEST(FamilyRewrites, SamDecoderPromptRewiredAndCutAtIouHead) {
  Loaded l;
  load("sam_decoder.onnx", l);
  lower_all(l);
  EXPECT_EQ(l.kinds(), "Concat,Add,Add,Concat,Sin,Unsqueeze,Identity,Reshape,Gemm");
  const auto& n = l.s->nodes;
  EXPECT_EQ(l.value_name(n[1].inputs[0]), "/Concat_output_0");
  EXPECT_EQ(l.value_name(n[1].inputs[1]), "model.prompt_encoder.point_embeddings.1.weight");
  // /Add_7 adds the embeddings to what /Mul_9 multiplied by (the mask input is gone).
  EXPECT_EQ(l.value_name(n[2].inputs[0]), "image_embeddings");
  EXPECT_EQ(l.value_name(n[2].inputs[1]), "dense_source");
  // /Concat_2 reads /Expand_1's input instead of its output.
  EXPECT_EQ(l.value_name(n[3].inputs[0]), "tokens");
  EXPECT_EQ(l.value_name(n[6].inputs[0]), "/Unsqueeze_1_output_0");
  EXPECT_EQ(l.value_name(n[6].outputs[0]), "pe");
  EXPECT_EQ(l.value_name(n[7].outputs[0]), "masks");
  EXPECT_EQ(l.value_name(n[8].outputs[0]), "iou_predictions");
  EXPECT_TRUE(l.s->graph_cut);
  EXPECT_EQ(l.s->rewrite_bits, kRewriteSam | kRewriteIoByName);
}

// Swin's own construction: label the padded image by the three slices of each axis
// ([0, S-12), [S-12, S-6), [S-6, S)), cut it into 12 x 12 windows, compare labels.
std::vector<float> swin_mask_by_slices(int n) {
  const int side = n * 12;
  std::vector<int> label(side * side);
  const int bounds[4] = {0, side - 12, side - 6, side};
  int count = 0;
  for (int hy = 0; hy < 3; ++hy) {
    for (int hx = 0; hx < 3; ++hx, ++count) {
      for (int y = std::max(0, bounds[hy]); y < bounds[hy + 1]; ++y)
        for (int x = std::max(0, bounds[hx]); x < bounds[hx + 1]; ++x) label[y * side + x] = count;
    }
  }
  std::vector<float> mask;
  for (int wy = 0; wy < n; ++wy)
    for (int wx = 0; wx < n; ++wx)
      for (int a = 0; a < 144; ++a)
        for (int b = 0; b < 144; ++b) {
          const int la = label[(wy * 12 + a / 12) * side + wx * 12 + a % 12];
          const int lb = label[(wy * 12 + b / 12) * side + wx * 12 + b % 12];
          mask.push_back(la == lb ? 0.0f : -100.0f);
        }
  return mask;
}

TEST(FamilyRewrites, SwinShiftMaskMatchesSliceConstruction) {
  for (int n : {1, 2, 3, 6}) {
    EXPECT_EQ(swin_shift_mask(static_cast<uint64_t>(n)), swin_mask_by_slices(n)) << n;
  }
  // One window: the two halves of each axis are separate regions.
  const std::vector<float> one = swin_shift_mask(1);
  EXPECT_EQ(one[0 * 144 + 5], 0.0f);     // (0,0) and (0,5): same region
  EXPECT_EQ(one[0 * 144 + 6], -100.0f);  // (0,0) and (0,6): across the split
}

TEST(FamilyRewrites, BirefnetMaskBakedScatterWindowPadAndDeformableAspp) {
  Loaded l;
  load("birefnet_backbone.onnx", l);
  lower_all(l);
  EXPECT_EQ(l.kinds(), "Identity,Pad,Relu,Pad,Relu,Conv,Sigmoid,DeformUnfold");
  EXPECT_EQ(l.value_name(l.s->nodes[0].inputs[0]), "x");        // ScatterND passes its data
  EXPECT_EQ(l.s->nodes[1].input_count, 1u);                     // the window Pad: data only
  EXPECT_EQ(l.value_name(l.s->nodes[3].inputs[0]), "a0");       // scatter subgraph gone
  const GraphNode& unfold = l.s->nodes.back();
  ASSERT_EQ(unfold.input_count, 3u);
  EXPECT_EQ(l.value_name(unfold.inputs[0]), "feat");
  EXPECT_EQ(l.value_name(unfold.inputs[1]), "offsets");
  EXPECT_EQ(l.value_name(unfold.inputs[2]), "modulation");
  EXPECT_EQ(l.value_name(unfold.outputs[0]), "aspp");
  const BuilderValue& mask = l.value("attn_mask");
  EXPECT_EQ(mask.kind, kWeightKind);
  EXPECT_EQ(std::vector<uint64_t>(mask.dims, mask.dims + 3),
            (std::vector<uint64_t>{4, 144, 144}));
  EXPECT_EQ(l.floats("attn_mask"), swin_mask_by_slices(2));
  for (const char* mod : {"remainder", "remainder_1"}) {
    const BuilderValue& v = l.value(mod);
    ASSERT_TRUE(v.has_data) << mod;
    EXPECT_EQ(v.dtype, kTypeI64);
    int64_t six = 0;
    std::memcpy(&six, v.data, 8);
    EXPECT_EQ(six, 6);
  }
  EXPECT_EQ(l.s->rewrite_state[0], 0u);
  EXPECT_EQ(l.s->rewrite_bits, kRewriteBiRefNet);
}

// The fused kinds the rewrites emit get their output shapes from the shape pass, with the
// kernel side of a deformable unfold read from its modulation planes.
TEST(FamilyRewrites, ShapePassSizesTheFusedKinds) {
  struct Case {
    OpKind kind;
    std::vector<std::vector<uint64_t>> inputs;
    std::vector<uint64_t> out;
    uint64_t side;  // DeformUnfold only
  };
  const std::vector<Case> cases = {
      {OpKind::kDeformUnfold, {{1, 4, 6, 5}, {1, 18, 6, 5}, {1, 9, 6, 5}}, {1, 4, 18, 15}, 3},
      {OpKind::kDeformUnfold, {{1, 2, 3, 3}, {1, 98, 3, 3}, {1, 49, 3, 3}}, {1, 2, 21, 21}, 7},
      {OpKind::kDeformUnfold, {{1, 2, 3, 4}, {1, 2, 3, 4}, {1, 1, 3, 4}}, {1, 2, 3, 4}, 1},
      {OpKind::kDetrTopK, {{1, 900, 17}, {1, 900, 256}}, {1, 300, 256}, 0},
      {OpKind::kMaskToBoxLogit, {{1, 300, 200, 200}}, {1, 300, 4}, 0},
  };
  static constexpr const char* kNames[] = {"a", "b", "c"};
  for (const Case& c : cases) {
    auto s = std::make_unique<BuilderState>();
    GraphNode n{};
    n.op_kind = static_cast<uint64_t>(c.kind);
    for (uint64_t i = 0; i < kGraphNodeMaxInputs; ++i) n.inputs[i] = kAbsentInput;
    for (uint64_t i = 0; i < kGraphNodeMaxOutputs; ++i) n.outputs[i] = kAbsentInput;
    for (uint64_t i = 0; i < c.inputs.size(); ++i) {
      const uint32_t v = builder_value_index(*s, kNames[i]);
      s->values[v].kind = kInputKind;
      s->values[v].rank = c.inputs[i].size();
      std::copy(c.inputs[i].begin(), c.inputs[i].end(), s->values[v].dims);
      n.inputs[i] = v;
    }
    n.input_count = c.inputs.size();
    const uint32_t y = builder_value_index(*s, "y");
    s->values[y].kind = kOutputKind;
    n.outputs[0] = y;
    n.output_count = 1;
    s->nodes.push_back(n);
    NodeExtra extra;
    extra.name = "fused";
    s->extras.push_back(extra);
    const std::string kind(op_kind_name(static_cast<uint32_t>(c.kind)));
    ASSERT_TRUE(builder_fold_and_infer(*s)) << kind << ": " << s->detail;
    const BuilderValue& out = s->values[y];
    EXPECT_EQ(std::vector<uint64_t>(out.dims, out.dims + out.rank), c.out) << kind;
    ASSERT_EQ(s->nodes.size(), 1u);
    EXPECT_EQ(s->nodes[0].input_count, c.inputs.size()) << kind;
    if (c.kind == OpKind::kDeformUnfold) {
      EXPECT_EQ(s->nodes[0].attrs[kWordKernelH], c.side);
      EXPECT_EQ(s->nodes[0].attrs[kWordKernelW], c.side);
    }
  }
}

}  // namespace
}  // namespace vexa::tools
