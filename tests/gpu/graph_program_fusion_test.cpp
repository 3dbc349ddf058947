// Chains the graph library fuses for the graph-model backend: x * sigmoid(x) and scalar
// element-wise chains after a convolution (a hard-swish written out, affines) become the
// convolution's epilogue and keep the op-by-op results bit for bit; layer normalisation and
// GELU written with divisions become one step each; a hard sigmoid or hard swish becomes the
// CPU engine's kernel.
#include <functional>

#include "tests/gpu/graph_test_util.h"

namespace vexa::graph_test {
namespace {

constexpr DeviceDataType kF32 = DeviceDataType::kFloat32;

struct Compiled {
  std::vector<GraphStepSummary> steps;
  Floats result;
};

// Builds conv(x) + bias followed by `tail`, compiles it fused or not and runs it.
Compiled compile_and_run(
    const std::function<GraphTensor(Graph&, GraphTensor x, GraphTensor conv)>& tail, bool fuse) {
  GraphRun r;
  const Shape xs = {1, 8, 7, 9}, ws = {8, 8, 3, 3};
  const Floats x = values(count(xs), 301), w = values(count(ws), 302), b = values(8, 303);
  Graph g;
  GraphTensor tx = g.placeholder(xs, kF32);
  GraphConv2dDescriptor d;
  d.pad_left = d.pad_right = d.pad_top = d.pad_bottom = 1;
  GraphTensor conv = g.conv2d(tx, g.constant_data(w.data(), w.size() * 4, ws, kF32), d);
  conv = g.add(conv, g.reshape(g.constant_data(b.data(), 32, {8}, kF32), {1, 8, 1, 1}));
  GraphTensor y = tail(g, tx, conv);
  GraphCompilationDescriptor cd;
  cd.fuse = fuse;
  std::string error;
  Compiled c;
  auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, kF32}}}, {y}, cd, &error);
  EXPECT_NE(exe, nullptr) << error;
  if (exe == nullptr) return c;
  c.steps = exe->steps();
  auto out = buffer_of(Floats(count(xs)), kF32);
  EXPECT_TRUE(exe->run(r.queue(), {GraphTensorData(buffer_of(x, kF32), xs, kF32)},
                       {GraphTensorData(out, xs, kF32)}, GraphExecutionDescriptor{}, &error))
      << error;
  c.result = read_buffer(out, kF32, count(xs));
  return c;
}

GraphTensor scalar(Graph& g, float v) { return g.constant_scalar(v, kF32); }

TEST(GraphProgramFusion, HardSwishSiluAndAffinesBecomeTheConvolutionsEpilogue) {
  struct Case {
    const char* what;
    std::function<GraphTensor(Graph&, GraphTensor, GraphTensor)> tail;
    uint32_t fused_nodes;  // convolution, bias and the chain
  };
  const Case cases[] = {
      {"hard-swish",
       [](Graph& g, GraphTensor, GraphTensor c) {
         GraphTensor t = g.clamp(g.add(c, scalar(g, 3.0f)), scalar(g, 0.0f), scalar(g, 6.0f));
         return g.multiply(c, g.divide(t, scalar(g, 6.0f)));
       },
       6},
      {"affine then subtract",
       [](Graph& g, GraphTensor, GraphTensor c) {
         GraphTensor t = g.add(g.multiply(scalar(g, 1.5f), c), scalar(g, 0.25f));
         return g.subtract(t, scalar(g, 2.0f));
       },
       5},
      {"silu, sigmoid first",
       [](Graph& g, GraphTensor, GraphTensor c) { return g.multiply(g.sigmoid(c), c); }, 4},
      {"silu",
       [](Graph& g, GraphTensor, GraphTensor c) { return g.multiply(c, g.sigmoid(c)); }, 4},
      {"hard-swish after a residual",
       [](Graph& g, GraphTensor x, GraphTensor c) {
         GraphTensor r = g.add(c, x);
         GraphTensor t = g.clamp(g.add(r, scalar(g, 3.0f)), scalar(g, 0.0f), scalar(g, 6.0f));
         return g.multiply(g.divide(t, scalar(g, 6.0f)), r);
       },
       7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Compiled plain = compile_and_run(c.tail, false);
    const Compiled fused = compile_and_run(c.tail, true);
    EXPECT_EQ(fused.result, plain.result);
    ASSERT_EQ(fused.steps.size(), 1u);
    EXPECT_EQ(fused.steps[0].kind, GraphOpKind::kConv2d);
    EXPECT_EQ(fused.steps[0].activation, std::string(c.what).find("silu") == 0
                                             ? GraphActivation::kSilu
                                             : GraphActivation::kProgram);
    EXPECT_EQ(fused.steps[0].fused_nodes, c.fused_nodes);
    EXPECT_GT(plain.steps.size(), 1u);
  }
}

TEST(GraphProgramFusion, ChainsThatStayOutside) {
  // The chain value as a divisor (a / v) and a value read a third time: no program starts there.
  const std::function<GraphTensor(Graph&, GraphTensor, GraphTensor)> tails[] = {
      [](Graph& g, GraphTensor, GraphTensor c) {
        return g.add(g.divide(scalar(g, 2.0f), c), scalar(g, 3.0f));
      },
      [](Graph& g, GraphTensor, GraphTensor c) {
        GraphTensor t = g.add(g.add(c, scalar(g, 1.0f)), scalar(g, 2.0f));
        return g.add(g.multiply(c, t), g.sigmoid(c));
      },
  };
  for (const auto& tail : tails) {
    const Compiled plain = compile_and_run(tail, false);
    const Compiled fused = compile_and_run(tail, true);
    EXPECT_EQ(fused.result, plain.result);
    ASSERT_FALSE(fused.steps.empty());
    EXPECT_NE(fused.steps[0].activation, GraphActivation::kProgram);
  }
  // One scalar step before a tensor operand: the program ends at the tensor operand.
  const auto before_tensor = [](Graph& g, GraphTensor x, GraphTensor c) {
    return g.multiply(g.add(c, scalar(g, 1.0f)), g.sigmoid(x));
  };
  const Compiled plain = compile_and_run(before_tensor, false);
  const Compiled fused = compile_and_run(before_tensor, true);
  EXPECT_EQ(fused.result, plain.result);
  ASSERT_EQ(fused.steps.size(), 3u);
  EXPECT_EQ(fused.steps[0].activation, GraphActivation::kProgram);
  EXPECT_EQ(fused.steps[0].fused_nodes, 3u);  // convolution, bias and the one step
  EXPECT_EQ(fused.steps[2].kind, GraphOpKind::kMultiply);
}


// Layer normalisation and GELU as converted graphs write them, with divisions: each becomes one
// fused step that rounds every step as the nodes do.
TEST(GraphDivideFormFusion, LayerNormAndGeluWithDivisions) {
  GraphRun r;
  const Shape xs = {2, 5, 24};
  const Floats x = values(count(xs), 311), scale = values(24, 312), bias = values(24, 313);
  std::vector<GraphStepSummary> steps[2];
  Floats results[2];
  for (int fuse = 0; fuse < 2; ++fuse) {
    Graph g;
    GraphTensor tx = g.placeholder(xs, kF32);
    GraphTensor mean = g.mean(tx, {2});
    GraphTensor centred = g.subtract(tx, mean);
    GraphTensor var = g.mean(g.multiply(centred, centred), {2});
    GraphTensor root = g.sqrt(g.add(var, g.reshape(scalar(g, 1e-5f), {1})));
    GraphTensor y = g.divide(centred, root);
    y = g.multiply(y, g.constant_data(scale.data(), 96, {24}, kF32));
    y = g.add(y, g.constant_data(bias.data(), 96, {24}, kF32));
    GraphTensor e = g.erf(g.divide(y, scalar(g, 1.4142135f)));
    y = g.multiply(g.multiply(y, g.add(e, scalar(g, 1.0f))), scalar(g, 0.5f));
    GraphCompilationDescriptor cd;
    cd.fuse = fuse == 1;
    std::string error;
    auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, kF32}}}, {y}, cd, &error);
    ASSERT_NE(exe, nullptr) << error;
    steps[fuse] = exe->steps();
    auto out = buffer_of(Floats(count(xs)), kF32);
    ASSERT_TRUE(exe->run(r.queue(), {GraphTensorData(buffer_of(x, kF32), xs, kF32)},
                         {GraphTensorData(out, xs, kF32)}, GraphExecutionDescriptor{}, &error))
        << error;
    results[fuse] = read_buffer(out, kF32, count(xs));
  }
  EXPECT_TRUE(near(results[1], results[0], 1e-6));
  ASSERT_EQ(steps[1].size(), 2u);
  EXPECT_EQ(steps[1][0].kind, GraphOpKind::kFusedLayerNorm);
  EXPECT_EQ(steps[1][1].kind, GraphOpKind::kFusedGelu);
}

// A hard sigmoid (and a hard swish) written out fuses into the CPU engine's kernel, which
// rounds x * a + b once, also right after a convolution (where it does not join the program).
TEST(GraphHardSigmoidFusion, MatchesTheCpuEngineKernel) {
  const Shape xs = {1, 8, 7, 9};
  const Floats x = values(count(xs), 321);
  const float alpha = 0.2f, beta = 0.5f;
  Floats hard_sigmoid(x.size()), hard_swish(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float v = std::fma(x[i] * 3.0f, alpha, beta);
    hard_sigmoid[i] = v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v;
    const float w = std::fma(x[i] * 3.0f, 0.16666667f, 0.5f);
    hard_swish[i] = x[i] * 3.0f * (w < 0.0f ? 0.0f : w > 1.0f ? 1.0f : w);
  }
  GraphRun r;
  for (bool swish : {false, true}) {
    Graph g;
    GraphTensor tx = g.placeholder(xs, kF32);
    GraphTensor v = g.multiply(tx, scalar(g, 3.0f));
    const float a = swish ? 0.16666667f : alpha, b = swish ? 0.5f : beta;
    GraphTensor y = g.clamp(g.add(g.multiply(v, scalar(g, a)), scalar(g, b)), scalar(g, 0.0f),
                            scalar(g, 1.0f));
    if (swish) y = g.multiply(v, y);
    std::string error;
    auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, kF32}}}, {y},
                         GraphCompilationDescriptor{}, &error);
    ASSERT_NE(exe, nullptr) << error;
    ASSERT_EQ(exe->steps().size(), 2u);
    EXPECT_EQ(exe->steps()[1].kind,
              swish ? GraphOpKind::kFusedHardSwish : GraphOpKind::kFusedHardSigmoid);
    auto out = buffer_of(Floats(count(xs)), kF32);
    ASSERT_TRUE(exe->run(r.queue(), {GraphTensorData(buffer_of(x, kF32), xs, kF32)},
                         {GraphTensorData(out, xs, kF32)}, GraphExecutionDescriptor{}, &error))
        << error;
    EXPECT_EQ(read_buffer(out, kF32, count(xs)), swish ? hard_swish : hard_sigmoid);
  }
  const Compiled after_conv = compile_and_run(
      [](Graph& g, GraphTensor, GraphTensor c) {
        return g.clamp(g.add(g.multiply(c, scalar(g, 0.2f)), scalar(g, 0.5f)), scalar(g, 0.0f),
                       scalar(g, 1.0f));
      },
      true);
  ASSERT_EQ(after_conv.steps.size(), 2u);
  EXPECT_EQ(after_conv.steps[0].activation, GraphActivation::kNone);
  EXPECT_EQ(after_conv.steps[1].kind, GraphOpKind::kFusedHardSigmoid);
  // The hard swish as the graph-model backend lowers HardSwish, after a convolution.
  const Compiled swish_after_conv = compile_and_run(
      [](Graph& g, GraphTensor, GraphTensor c) {
        GraphTensor gate = g.clamp(g.add(g.multiply(c, scalar(g, 0.16666667f)), scalar(g, 0.5f)),
                                   scalar(g, 0.0f), scalar(g, 1.0f));
        return g.multiply(c, gate);
      },
      true);
  ASSERT_EQ(swish_after_conv.steps.size(), 2u);
  EXPECT_EQ(swish_after_conv.steps[0].activation, GraphActivation::kNone);
  EXPECT_EQ(swish_after_conv.steps[0].fused_nodes, 2u);
  EXPECT_EQ(swish_after_conv.steps[1].kind, GraphOpKind::kFusedHardSwish);
  EXPECT_EQ(swish_after_conv.steps[1].fused_nodes, 4u);
}

}  // namespace
}  // namespace vexa::graph_test
