// Building the graph-model engine: the precision gate, the limits on inputs, values and fed
// tensors, records validated before anything is lowered, operator forms the lowering refuses,
// the YoloNms tail's place, batching and the environment switches.
#include "gpu/mps_lowering.h"
#include "tests/gpu/mps_test_util.h"

namespace vexa::mps_test {
namespace {

uint64_t out(GraphModel& m, std::initializer_list<uint64_t> dims) { return m.output(dims); }

// The build's outcome for a model: "" when it builds, else its message.
std::string build_message(GraphModel& m, uint64_t batch = 1, bool neural_engine = false) {
  std::string error;
  if (!m.open(&error)) return "open: " + error;
  GpuWeights w(m);
  Engine e(m, w, batch, neural_engine);
  return e.ok() ? std::string() : e.message();
}

// x [1, 3, 4, 4] -> Relu -> y.
void relu_model(GraphModel& m) {
  const uint64_t x = m.input({1, 3, 4, 4});
  m.node(OpKind::kRelu, {x}, {out(m, {1, 3, 4, 4})});
}

TEST(MpsBuild, PrecisionGate) {
  struct Case {
    const char* setting;
    const char* message;  // empty: builds
  };
  const Case cases[] = {
      {"f32", ""},
      {"f16:fast", ""},
      {"f16", "precision.gpu=f16 is not available on the Apple GPU yet (binary16 here is f16:fast)"},
      {"f16:f16",
       "precision.gpu=f16:f16 is not available on the Apple GPU yet (binary16 here is f16:fast)"},
      {"f32:f16", "precision.gpu=f32:f16 is not available on the Apple GPU yet"},
      {"int8", "precision.gpu=int8 is not available on the Apple GPU yet"},
      {"int8:static", "precision.gpu=int8:static is not available on the Apple GPU yet"},
      {"fp16",
       "precision.gpu: unrecognised value (expected f32, f16, f16:fast, int8, int8:static or "
       "int8:f16)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    ScopedEnv env("VEXA_PRECISION_GPU_METAL", c.setting);
    GraphModel m;
    relu_model(m);
    EXPECT_EQ(build_message(m), c.message);
    // The Neural Engine build consults no precision setting.
    GraphModel m2;
    relu_model(m2);
    EXPECT_EQ(build_message(m2, 1, true), "");
  }
  // From the model's metadata when no variable says otherwise; f16:fast computes in f16.
  ScopedEnv metal("VEXA_PRECISION_GPU_METAL", nullptr);
  ScopedEnv gpu("VEXA_PRECISION_GPU", nullptr);
  ScopedEnv any("VEXA_PRECISION", nullptr);
  GraphModel m;
  relu_model(m);
  m.writer().set_meta_string("precision.gpu", "f16:fast");
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(e.state()->compute, DeviceDataType::kFloat16);
  GraphModel m3;
  relu_model(m3);
  m3.writer().set_meta_string("precision.gpu", "int8");
  EXPECT_EQ(build_message(m3), "precision.gpu=int8 is not available on the Apple GPU yet");
}

TEST(MpsBuild, GraphsNeedInputsOutputsAndAtMostEightInputs) {
  GraphModel nine;
  std::vector<uint64_t> xs;
  for (int i = 0; i < 9; ++i) xs.push_back(nine.input({2}));
  uint64_t acc = xs[0];
  for (int i = 1; i < 9; ++i) {
    const uint64_t next = i == 8 ? nine.output({2}) : nine.inter({2});
    nine.node(OpKind::kAdd, {acc, xs[static_cast<size_t>(i)]}, {next});
    acc = next;
  }
  EXPECT_EQ(build_message(nine), "more than 8 graph inputs");

  GraphModel no_input;
  no_input.node(OpKind::kRelu, {no_input.weight({2}, {1, -1})}, {no_input.output({2})});
  EXPECT_EQ(build_message(no_input), "graph has no inputs");

  GraphModel no_output;
  const uint64_t x = no_output.input({2});
  no_output.node(OpKind::kRelu, {x}, {no_output.inter({2})});
  EXPECT_EQ(build_message(no_output), "graph has no outputs");
}

// Value ids are checked against the value count (and the 32768 the engine indexes by) before
// any record is used.
TEST(MpsBuild, NodeValueIdsAreValidated) {
  for (uint32_t word : {2u, 11u}) {  // input 0, output 0
    for (uint64_t id : {uint64_t{9}, uint64_t{40000}, kAbsentInput - 1}) {
      GraphModel m;
      relu_model(m);
      ASSERT_TRUE(m.open());
      m.patch_node(0, word, id);
      GpuWeights w(m);
      Engine e(m, w);
      EXPECT_FALSE(e.ok());
      EXPECT_NE(e.message().find("past the 2 values"), std::string::npos) << e.message();
    }
  }
  GraphModel many;
  const uint64_t x = many.input({2});
  for (uint64_t i = 0; i < kMpsMaxValues; ++i) many.inter({2});
  many.node(OpKind::kRelu, {x}, {many.output({2})});
  EXPECT_EQ(build_message(many), "graph has 32770 values; value ids must be below 32768");
}

TEST(MpsBuild, MalformedRecordsAreRefused) {
  {  // a weight past the weights
    GraphModel m;
    const uint64_t x = m.input({4});
    const uint64_t wv = m.weight({4}, {1, 2, 3, 4});
    m.node(OpKind::kAdd, {x, wv}, {out(m, {4})});
    ASSERT_TRUE(m.open());
    m.patch_value(wv, 12, m.weight_bytes() - 8);
    GpuWeights w(m);
    Engine e(m, w);
    EXPECT_EQ(e.message(), "weight value 1 lies outside the weights");
  }
  {  // an element count that is not the product of the dims
    GraphModel m;
    relu_model(m);
    ASSERT_TRUE(m.open());
    m.patch_value(0, 9, 47);
    GpuWeights w(m);
    Engine e(m, w);
    EXPECT_EQ(e.message(), "value 0 element count does not match its dims");
  }
  {  // a node reading a value before the node that writes it
    GraphModel m;
    const uint64_t x = m.input({4});
    const uint64_t t = m.inter({4});
    m.node(OpKind::kRelu, {t}, {out(m, {4})});
    m.node(OpKind::kRelu, {x}, {t});
    EXPECT_EQ(build_message(m), "node 0: Relu reads value 1 before any node computes it");
  }
  {  // an output no node writes
    GraphModel m;
    const uint64_t x = m.input({4});
    m.node(OpKind::kRelu, {x}, {out(m, {4})});
    out(m, {4});
    EXPECT_EQ(build_message(m), "graph output value 2 is not computed by any node");
  }
  {  // the CPU engine's shape contract of the node
    GraphModel m;
    const uint64_t x = m.input({2, 3});
    m.node(OpKind::kGather, {x, m.weight({1}, {0})}, {out(m, {1, 3})}, {attr_i(11, 2)});
    EXPECT_EQ(build_message(m), "node 0: Gather node: axis 2 is outside data rank 2");
  }
}

TEST(MpsBuild, FedTensorsAreBounded) {
  // Weight values sharing one tensor, every one fed from the slot.
  ScopedEnv feed("VEXA_MPS_FEED_WEIGHTS", "1");
  ScopedEnv min("VEXA_MPS_FEED_MIN", "0");
  for (uint64_t extra : {kMpsMaxFeeds - 2, kMpsMaxFeeds}) {
    GraphModel m;
    relu_model(m);
    m.weight({2}, {1, 2});
    const uint64_t tensor = m.writer().tensor_count() - 1;
    for (uint64_t i = 1; i < extra; ++i) m.writer().add_weight_value(tensor, "s" + std::to_string(i));
    // One input and `extra` weights.
    EXPECT_EQ(build_message(m), extra + 1 <= kMpsMaxFeeds ? "" : "more than 8192 fed tensors");
  }
}

TEST(MpsBuild, OperatorFormsTheLoweringRefuses) {
  {  // Reshape runs only on the CPU engine
    GraphModel m;
    const uint64_t x = m.input({2, 3});
    m.node(OpKind::kReshape, {x, m.weight({1}, {6})}, {out(m, {6})});
    EXPECT_EQ(build_message(m), kMpsUnsupportedOp);
  }
  {  // ScatterND with indices of the data's rank
    GraphModel m;
    const uint64_t x = m.input({4, 3});
    m.node(OpKind::kScatterND, {x, m.weight({1, 3}, {0, 1, 2}), m.weight({1, 3}, {1, 1, 1})},
           {out(m, {4, 3})});
    EXPECT_EQ(build_message(m), kMpsUnsupportedOp);
  }
  {  // a Flatten to an empty output from a non-empty input
    GraphModel m;
    const uint64_t x = m.input({2, 3});
    m.node(OpKind::kFlatten, {x}, {out(m, {0})});
    EXPECT_EQ(build_message(m), "node 0: Flatten of 6 elements into 0");
  }
  {  // zero padding before the data, and on the last dim
    for (const std::vector<float>& pads : {std::vector<float>{0, 1, 0, 0, 0, 0, 0, 0},
                                           std::vector<float>{0, 0, 0, 0, 0, 0, 0, 1}}) {
      GraphModel m;
      const uint64_t x = m.input({1, 2, 3, 3});
      const bool last = pads[7] != 0;
      m.node(OpKind::kPad, {x, m.weight({8}, pads)},
             {last ? out(m, {1, 2, 3, 4}) : out(m, {1, 3, 3, 3})});
      EXPECT_EQ(build_message(m),
                "node 0: Pad form not supported: only zero padding at the end of dims 1 and 2");
    }
  }
  {  // DetrTopK takes 300 of at least 300 queries
    GraphModel m;
    const uint64_t logits = m.input({1, 200, 4});
    m.node(OpKind::kDetrTopK, {logits, m.weight({1, 200, 2}, std::vector<float>(400, 1.0f))},
           {out(m, {1, 300, 2})});
    EXPECT_EQ(build_message(m), "node 0: DetrTopK needs at least 300 queries, the graph has 200");
    GraphModel wrong;
    const uint64_t l2 = wrong.input({1, 320, 4});
    wrong.node(OpKind::kDetrTopK, {l2, wrong.weight({1, 320, 2}, std::vector<float>(640, 1.0f))},
               {out(wrong, {1, 300, 3})});
    EXPECT_NE(build_message(wrong).find("expects logits [1, Q, K]"), std::string::npos);
  }
  {  // MaskToBoxLogit reads 300 masks of 200 x 200
    GraphModel m;
    const uint64_t masks = m.input({1, 300, 100, 100});
    m.node(OpKind::kMaskToBoxLogit, {masks}, {out(m, {1, 300, 4})});
    EXPECT_NE(build_message(m).find("expects 300 masks of 200 x 200"), std::string::npos);
  }
  {  // a Conv carrying an engine's own fused activation
    GraphModel m;
    const uint64_t x = m.input({1, 1, 3, 3});
    m.node(OpKind::kConv, {x, m.weight({1, 1, 1, 1}, {2.0f})}, {out(m, {1, 1, 3, 3})},
           {attr(0, 1), attr(1, 1), attr(2, 1), attr(3, 1), attr(8, 1), attr(9, 1), attr(14, 1)});
    EXPECT_EQ(build_message(m), "node 0: Conv records a fused activation");
  }
}

// A YoloNms node is the graph's tail: the last node, writing the first output.
TEST(MpsBuild, YoloNmsTailPlace) {
  const std::vector<Attr> params = {attr(0, 5),           attr(1, 0),
                                    attr_f32(4, 1.0f),    attr_f32(5, 1.0f),
                                    attr_f32(6, 0.0f),    attr(13, 1),
                                    attr_f32(14, 0.25f),  attr_f32(15, 0.45f)};
  {
    GraphModel m;
    const uint64_t x = m.input({1, 6, 8});
    const uint64_t d = m.inter({5, 6});
    const uint64_t nms = m.writer().add_node([&] {
      GraphNode n{};
      n.op_kind = static_cast<uint64_t>(OpKind::kYoloNms);
      n.input_count = 1;
      n.inputs[0] = x;
      n.output_count = 1;
      n.outputs[0] = d;
      for (const Attr& a : params) n.words()[a.word] = a.value;
      return n;
    }());
    (void)nms;
    m.node(OpKind::kRelu, {d}, {out(m, {5, 6})});
    EXPECT_EQ(build_message(m), "YoloNms must be the last node");
  }
  {
    GraphModel m;
    const uint64_t x = m.input({1, 6, 8});
    const uint64_t first = m.output({1, 6, 8});
    m.node(OpKind::kRelu, {x}, {first});
    const uint64_t d = m.output({5, 6});
    GraphNode n{};
    n.op_kind = static_cast<uint64_t>(OpKind::kYoloNms);
    n.input_count = 1;
    n.inputs[0] = first;
    n.output_count = 1;
    n.outputs[0] = d;
    for (const Attr& a : params) n.words()[a.word] = a.value;
    m.writer().add_node(n);
    EXPECT_EQ(build_message(m), "YoloNms must write the first graph output");
  }
}

TEST(MpsBuild, BatchingOnlyWhereTheGraphIsBatchSafe) {
  struct Case {
    const char* what;
    void (*build)(GraphModel&);
    uint64_t batch;
  };
  const Case cases[] = {
      {"per-sample graph",
       [](GraphModel& m) {
         const uint64_t x = m.input({1, 3, 4, 4});
         const uint64_t t = m.inter({1, 3, 4, 4});
         m.node(OpKind::kRelu, {x}, {t});
         m.node(OpKind::kFlatten, {t}, {m.output({1, 48})});
       },
       4},
      {"concat on axis 0",
       [](GraphModel& m) {
         const uint64_t x = m.input({1, 3});
         m.node(OpKind::kConcat, {x, m.weight({1, 3}, {1, 2, 3})}, {m.output({2, 3})},
                {attr(11, 0)});
       },
       1},
      {"transpose without a permutation (the reversal)",
       [](GraphModel& m) {
         const uint64_t x = m.input({1, 3});
         m.node(OpKind::kTranspose, {x}, {m.output({3, 1})});
       },
       1},
      {"flatten merging the batch",
       [](GraphModel& m) {
         const uint64_t x = m.input({1, 3, 2});
         m.node(OpKind::kFlatten, {x}, {m.output({6})});
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GraphModel m;
    c.build(m);
    ASSERT_TRUE(m.open());
    GpuWeights w(m);
    Engine e(m, w, 4);
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_EQ(e.state()->batch, c.batch);
    EXPECT_EQ(e.state()->input0_bytes, c.batch * 4 * (e.state()->values[0].record.element_count / c.batch));
  }
  // A first input of several samples sets the batch itself.
  GraphModel m;
  const uint64_t x = m.input({3, 2});
  m.node(OpKind::kRelu, {x}, {out(m, {3, 2})});
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w, 1);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(e.state()->batch, 3u);
}

TEST(MpsBuild, EnvironmentSwitches) {
  // The feed threshold is the value's leading digits: none (a letter first) means 0, so every
  // weight is fed, and the graph then reads the slot.
  {
    ScopedEnv feed("VEXA_MPS_FEED_WEIGHTS", "");
    ScopedEnv min("VEXA_MPS_FEED_MIN", "x4096");
    GraphModel m;
    const uint64_t x = m.input({4});
    m.node(OpKind::kAdd, {x, m.weight({4}, {1, 2, 3, 4})}, {out(m, {4})});
    ASSERT_TRUE(m.open());
    GpuWeights w(m);
    Engine e(m, w);
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_TRUE(mps_uses_slot_weights(e.handle()));
    EXPECT_EQ(e.state()->feed_list.size(), 2u);
  }
  {  // below the threshold the weight is a constant
    ScopedEnv feed("VEXA_MPS_FEED_WEIGHTS", "1");
    ScopedEnv min("VEXA_MPS_FEED_MIN", "5abc");
    GraphModel m;
    const uint64_t x = m.input({4});
    m.node(OpKind::kAdd, {x, m.weight({4}, {1, 2, 3, 4})}, {out(m, {4})});
    ASSERT_TRUE(m.open());
    GpuWeights w(m);
    Engine e(m, w);
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_FALSE(mps_uses_slot_weights(e.handle()));
  }
  // The Neural Engine request: VEXA_USE_NE decides by its first character, anything else falls
  // through to VEXA_BACKEND.
  struct Case {
    const char* use_ne;
    const char* backend;
    bool requested;
  };
  const Case cases[] = {
      {"0", "ne", false},  {"no", "ane", false}, {"N", "ane", false}, {"1", nullptr, true},
      {"yes", nullptr, true}, {"always", nullptr, true}, {"x", "ane", true}, {"x", "ne", true},
      {nullptr, "ne", true}, {nullptr, "gpu", false}, {"", "ane", true}, {nullptr, "ne ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.use_ne ? c.use_ne : "(unset)") + " / " +
                 (c.backend ? c.backend : "(unset)"));
    ScopedEnv use("VEXA_USE_NE", c.use_ne);
    ScopedEnv backend("VEXA_BACKEND", c.backend);
    GraphModel m;
    relu_model(m);
    ASSERT_TRUE(m.open());
    GpuWeights w(m);
    NeuralEngineHook hook;
    Engine e(m, w);
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_EQ(e.state()->ne_requested, c.requested);
    // A single-output graph compiles at once when asked.
    EXPECT_EQ(e.state()->ne_compiled, c.requested);
  }
  ScopedEnv exe("VEXA_MPS_EXE", "");
  GraphModel m;
  relu_model(m);
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_TRUE(e.state()->executable_flag);
}

}  // namespace
}  // namespace vexa::mps_test
