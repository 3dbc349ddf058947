// Convolutions and pooling against the definition and the CPU engine; the fused convolution
// chain against the same graph run op by op.
#include <functional>

#include "cpu/conv_reference.h"
#include "graph_test_util.h"

namespace vexa::graph_test {
namespace {

struct ConvCase {
  int64_t n, c, h, w, o, kh, kw;
  int64_t sy, sx, dy, dx, groups;
  int64_t pt, pl, pb, pr;
};

// Shapes that reach each CPU path: pointwise, strided pointwise, depthwise, im2col with
// groups and dilation, and the direct path; asymmetric padding throughout.
const std::vector<ConvCase>& conv_cases() {
  static const std::vector<ConvCase> cases = {
      {1, 8, 6, 7, 16, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
      {2, 8, 9, 9, 12, 1, 1, 2, 2, 1, 1, 1, 0, 0, 0, 0},
      {1, 16, 10, 11, 16, 3, 3, 1, 1, 1, 1, 16, 1, 1, 1, 1},
      {1, 12, 9, 8, 12, 3, 3, 2, 2, 1, 1, 12, 1, 0, 1, 1},
      {1, 6, 9, 10, 8, 3, 3, 1, 2, 2, 1, 2, 2, 1, 0, 3},
      {1, 16, 12, 12, 32, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1},
      {2, 3, 15, 14, 16, 7, 7, 2, 2, 1, 1, 1, 3, 3, 2, 2},
      {1, 4, 5, 5, 6, 5, 3, 1, 1, 1, 1, 1, 0, 1, 4, 1},
  };
  return cases;
}

GraphConv2dDescriptor descriptor(const ConvCase& c) {
  GraphConv2dDescriptor d;
  d.stride_y = c.sy;
  d.stride_x = c.sx;
  d.dilation_y = c.dy;
  d.dilation_x = c.dx;
  d.groups = c.groups;
  d.pad_top = c.pt;
  d.pad_left = c.pl;
  d.pad_bottom = c.pb;
  d.pad_right = c.pr;
  return d;
}

TEST(GraphConv, ConvolutionAgainstTheDefinitionAndTheCpuEngine) {
  GraphRun r;
  for (const ConvCase& c : conv_cases()) {
    const Shape xs = {c.n, c.c, c.h, c.w}, ws = {c.o, c.c / c.groups, c.kh, c.kw};
    const Floats x = values(count(xs), 80), w = values(count(ws), 81), b = values(c.o, 82);
    Graph g;
    GraphTensor tx = g.placeholder(xs, DeviceDataType::kFloat32);
    GraphTensor tw = g.constant_data(w.data(), w.size() * 4, ws, DeviceDataType::kFloat32);
    GraphTensor tb = g.constant_data(b.data(), b.size() * 4, {1, c.o, 1, 1}, DeviceDataType::kFloat32);
    GraphTensor y = g.add(g.conv2d(tx, tw, descriptor(c)), tb);
    ASSERT_TRUE(g.ok()) << g.error();
    const Shape ys = g.shape(y);
    r.feed(g, tx, x);
    const Floats got = r.run1(g, y);

    cpu::ConvGeometry geo;
    geo.batch = static_cast<int32_t>(c.n);
    geo.c_in = static_cast<int32_t>(c.c);
    geo.h = static_cast<int32_t>(c.h);
    geo.w = static_cast<int32_t>(c.w);
    geo.c_out = static_cast<int32_t>(c.o);
    geo.oh = static_cast<int32_t>(ys[2]);
    geo.ow = static_cast<int32_t>(ys[3]);
    geo.kh = static_cast<int32_t>(c.kh);
    geo.kw = static_cast<int32_t>(c.kw);
    geo.sh = static_cast<int32_t>(c.sy);
    geo.sw = static_cast<int32_t>(c.sx);
    geo.pt = static_cast<int32_t>(c.pt);
    geo.pl = static_cast<int32_t>(c.pl);
    geo.dh = static_cast<int32_t>(c.dy);
    geo.dw = static_cast<int32_t>(c.dx);
    geo.group = static_cast<int32_t>(c.groups);
    EXPECT_EQ(ys[2], (c.h + c.pt + c.pb - c.dy * (c.kh - 1) - 1) / c.sy + 1);
    const cpu::testing::ConvReference ref = cpu::testing::conv_reference(geo, x, w, b.data());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_LE(std::fabs(got[i] - ref.value[i]), 1e-5 * (1.0 + ref.magnitude[i]))
          << "case kh=" << c.kh << " groups=" << c.groups << " element " << i;
    }
    const Floats cpu = cpu_engine_node(
        OpKind::kConv, {{udims(xs), x, false}, {udims(ws), w, true}, {{static_cast<uint64_t>(c.o)}, b, true}},
        udims(ys),
        {{15, static_cast<uint64_t>(c.kh)}, {16, static_cast<uint64_t>(c.kw)},
         {17, static_cast<uint64_t>(c.sy)}, {18, static_cast<uint64_t>(c.sx)},
         {19, static_cast<uint64_t>(c.pt)}, {20, static_cast<uint64_t>(c.pl)},
         {21, static_cast<uint64_t>(c.pb)}, {22, static_cast<uint64_t>(c.pr)},
         {23, static_cast<uint64_t>(c.dy)}, {24, static_cast<uint64_t>(c.dx)},
         {25, static_cast<uint64_t>(c.groups)}});
    EXPECT_EQ(got, cpu) << "kh=" << c.kh << " groups=" << c.groups;
  }
}

// Bias, residual and activation ride in the convolution's epilogue, each step the IEEE
// operation the separate node performs, so the fused run keeps the op-by-op bits.
TEST(GraphConv, FusedChainsKeepTheOpByOpResults) {
  GraphRun r;
  const ConvCase c = {1, 16, 12, 12, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  const Shape xs = {1, 16, 12, 12}, ws = {16, 16, 3, 3};
  const Floats x = values(count(xs), 83), w = values(count(ws), 84), b = values(16, 85);
  const Floats skip = values(count(xs), 86);
  enum Act { kNone, kRelu, kClamp, kLeaky };
  for (bool bias : {false, true}) {
    for (bool residual : {false, true}) {
      for (Act act : {kNone, kRelu, kClamp, kLeaky}) {
        if (!bias && !residual && act == kNone) continue;
        Floats results[2];
        std::vector<GraphStepSummary> steps[2];
        for (int fuse = 0; fuse < 2; ++fuse) {
          Graph g;
          GraphTensor tx = g.placeholder(xs, DeviceDataType::kFloat32);
          GraphTensor ts = g.placeholder(xs, DeviceDataType::kFloat32);
          GraphTensor tw = g.constant_data(w.data(), w.size() * 4, ws, DeviceDataType::kFloat32);
          GraphTensor y = g.conv2d(tx, tw, descriptor(c));
          if (bias) {
            y = g.add(y, g.reshape(g.constant_data(b.data(), 64, {16}, DeviceDataType::kFloat32),
                                   {16, 1, 1}));
          }
          if (residual) y = g.add(ts, y);
          if (act == kRelu) y = g.relu(y);
          if (act == kClamp) {
            y = g.clamp(y, g.constant_scalar(-0.5, DeviceDataType::kFloat32),
                        g.constant_scalar(0.75, DeviceDataType::kFloat32));
          }
          if (act == kLeaky) y = g.leaky_relu(y, 0.125f);
          GraphCompilationDescriptor cd;
          cd.fuse = fuse == 1;
          std::string error;
          auto exe = g.compile(GraphDevice(device_system_default()),
                               {{tx, {xs, DeviceDataType::kFloat32}}, {ts, {xs, DeviceDataType::kFloat32}}},
                               {y}, cd, &error);
          ASSERT_NE(exe, nullptr) << error;
          steps[fuse] = exe->steps();
          auto out = buffer_of(Floats(count(xs)), DeviceDataType::kFloat32);
          std::vector<GraphTensorData> inputs(2);
          for (size_t i = 0; i < 2; ++i) {
            const bool is_x = exe->feed_tensors()[i] == tx;
            inputs[i] = GraphTensorData(buffer_of(is_x ? x : skip, DeviceDataType::kFloat32), xs,
                                        DeviceDataType::kFloat32);
          }
          ASSERT_TRUE(exe->run(r.queue(), inputs, {GraphTensorData(out, xs, DeviceDataType::kFloat32)},
                               GraphExecutionDescriptor{}, &error))
              << error;
          results[fuse] = read_buffer(out, DeviceDataType::kFloat32, count(xs));
        }
        EXPECT_EQ(results[0], results[1]) << bias << residual << act;
        ASSERT_EQ(steps[1].size(), 1u) << bias << residual << act;
        EXPECT_EQ(steps[1][0].kind, GraphOpKind::kConv2d);
        EXPECT_EQ(steps[1][0].fused_nodes, 1u + bias + residual + (act != kNone));
        EXPECT_EQ(steps[1][0].epilogue_bias, bias);
        EXPECT_EQ(steps[1][0].epilogue_residual, residual);
        EXPECT_GT(steps[0].size(), 1u);
      }
    }
  }
}

// Runs y = chain(conv(x)) compiled with and without fusion; the step summaries and results.
struct FusedAndPlain {
  Floats fused, plain;
  std::vector<GraphStepSummary> steps;
};

template <class Chain>
FusedAndPlain run_both(const Shape& xs, const Floats& x, const Shape& ws, const Floats& w,
                       const GraphConv2dDescriptor& d, Chain chain) {
  GraphRun r;
  FusedAndPlain out;
  for (int fuse = 0; fuse < 2; ++fuse) {
    Graph g;
    const DeviceDataType f = DeviceDataType::kFloat32;
    GraphTensor tx = g.placeholder(xs, f);
    GraphTensor y = chain(g, g.conv2d(tx, g.constant_data(w.data(), w.size() * 4, ws, f), d));
    EXPECT_TRUE(g.ok()) << g.error();
    GraphCompilationDescriptor cd;
    cd.fuse = fuse == 1;
    std::string error;
    auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, f}}}, {y}, cd, &error);
    EXPECT_NE(exe, nullptr) << error;
    if (exe == nullptr) return out;
    const Shape ys = g.shape(y);
    auto buf = buffer_of(Floats(count(ys)), f);
    EXPECT_TRUE(exe->run(r.queue(), {GraphTensorData(buffer_of(x, f), xs, f)}, {GraphTensorData(buf, ys, f)},
                         GraphExecutionDescriptor{}, &error))
        << error;
    (fuse ? out.fused : out.plain) = read_buffer(buf, f, count(ys));
    if (fuse) out.steps = exe->steps();
  }
  return out;
}

// A batch normalisation after a convolution (per-channel multiply and add by constants) is
// folded into the weights and bias as the CPU engine folds its BatchNormalization node: the
// same bits as the CPU engine, close to the op-by-op run. After a ReLU it rides in the epilogue.
TEST(GraphConv, NormalisationsFoldAsTheCpuEngineFoldsThem) {
  const Shape xs = {1, 8, 7, 7}, ws = {16, 8, 3, 3};
  const Floats x = values(count(xs), 150), w = values(count(ws), 151), b = values(16, 152);
  Floats scale = values(16, 153), shift = values(16, 154);
  for (float& v : scale) v = 1.0f + 0.5f * v;
  GraphConv2dDescriptor d;
  d.pad_left = d.pad_right = d.pad_top = d.pad_bottom = 1;
  const DeviceDataType f = DeviceDataType::kFloat32;
  for (bool after_relu : {false, true}) {
    auto chain = [&](Graph& g, GraphTensor conv) {
      auto per_channel = [&](const Floats& v) {
        return g.reshape(g.constant_data(v.data(), 64, {16}, f), {1, 16, 1, 1});
      };
      GraphTensor y = g.add(conv, per_channel(b));
      if (after_relu) y = g.relu(y);
      y = g.add(g.multiply(y, per_channel(scale)), per_channel(shift));
      return after_relu ? y : g.relu(y);
    };
    const FusedAndPlain r = run_both(xs, x, ws, w, d, chain);
    ASSERT_EQ(r.steps.size(), 1u) << after_relu;
    EXPECT_TRUE(r.steps[0].epilogue_affine);
    EXPECT_EQ(r.steps[0].fused_nodes, 5u);
    EXPECT_TRUE(near(r.fused, r.plain, 1e-5)) << after_relu;

    cpu::graph_test::GraphModel m;
    const uint64_t in = m.input({1, 8, 7, 7});
    const uint64_t wt = m.weight({16, 8, 3, 3}, w), bt = m.weight({16}, b);
    const uint64_t st = m.weight({16}, scale), sh = m.weight({16}, shift);
    const uint64_t c1 = m.inter({1, 16, 7, 7}), c2 = m.inter({1, 16, 7, 7});
    const uint64_t out = m.output({1, 16, 7, 7});
    m.node(OpKind::kConv, {in, wt, bt}, {c1},
           {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1}, {24, 1}, {25, 1}});
    if (after_relu) {
      m.node(OpKind::kRelu, {c1}, {c2});
      m.node(OpKind::kBatchNormalization, {c2, st, sh}, {out});
    } else {
      m.node(OpKind::kBatchNormalization, {c1, st, sh}, {c2});
      m.node(OpKind::kRelu, {c2}, {out});
    }
    ASSERT_TRUE(m.open());
    cpu::graph_test::StateHolder st_holder(m.create());
    ASSERT_TRUE(st_holder.ok()) << st_holder.message();
    ASSERT_EQ(st_holder.state()->node_count, 1u) << "the CPU engine folds it too";
    Floats cpu_out(16 * 49);
    ASSERT_TRUE(cpu::cpu_run(st_holder.handle(), x.data(), cpu_out.data()));
    EXPECT_EQ(r.fused, cpu_out) << after_relu;
  }
}

// SiLU and chains of scalar steps (hard-swish written out, a scaled shift) run in the
// convolution's epilogue, one IEEE operation per step: the op-by-op bits.
TEST(GraphConv, SiluAndScalarChainsRideInTheEpilogue) {
  const Shape xs = {1, 8, 6, 6}, ws = {8, 8, 3, 3};
  const Floats x = values(count(xs), 160), w = values(count(ws), 161), b = values(8, 162);
  GraphConv2dDescriptor d;
  d.pad_left = d.pad_right = d.pad_top = d.pad_bottom = 1;
  const DeviceDataType f = DeviceDataType::kFloat32;
  auto with_bias = [&](Graph& g, GraphTensor conv) {
    return g.add(conv, g.constant_data(b.data(), 32, {8, 1, 1}, f));
  };
  auto scalar = [&](Graph& g, double v) { return g.constant_scalar(v, f); };
  struct Case {
    const char* name;
    std::function<GraphTensor(Graph&, GraphTensor)> chain;
    GraphActivation activation;
    uint32_t nodes;
  };
  const std::vector<Case> cases = {
      {"silu",
       [&](Graph& g, GraphTensor c) {
         GraphTensor y = with_bias(g, c);
         return g.multiply(g.sigmoid(y), y);
       },
       GraphActivation::kSilu, 4},
      // (A hard swish written as clamp(y / 6 + 0.5, 0, 1) * y runs as the CPU engine's kernel
      // instead: see GraphHardSigmoidFusion.)
      {"hard-swish",
       [&](Graph& g, GraphTensor c) {
         GraphTensor y = with_bias(g, c);
         GraphTensor gate = g.clamp(g.add(y, scalar(g, 3.0)), scalar(g, 0.0), scalar(g, 6.0));
         return g.divide(g.multiply(y, gate), scalar(g, 6.0));
       },
       GraphActivation::kProgram, 6},
      {"affine by scalars",
       [&](Graph& g, GraphTensor c) {
         return g.divide(g.subtract(g.multiply(scalar(g, 1.5), c), scalar(g, 0.25)), scalar(g, 3.0));
       },
       GraphActivation::kProgram, 4},
  };
  for (const Case& c : cases) {
    const FusedAndPlain r = run_both(xs, x, ws, w, d, c.chain);
    ASSERT_EQ(r.steps.size(), 1u) << c.name;
    EXPECT_EQ(r.steps[0].activation, c.activation) << c.name;
    EXPECT_EQ(r.steps[0].fused_nodes, c.nodes) << c.name;
    EXPECT_EQ(r.fused, r.plain) << c.name;
  }
}

// A bottleneck's shortcut convolution and its last convolution meet in one add: only one of the
// two chains may take the add and the ReLU after it.
TEST(GraphConv, TwoConvolutionsMeetingInOneAdd) {
  GraphRun r;
  const Shape xs = {1, 8, 6, 6}, ws = {16, 8, 1, 1};
  const Floats x = values(count(xs), 140), w1 = values(count(ws), 141), w2 = values(count(ws), 142);
  const Floats b1 = values(16, 143), b2 = values(16, 144);
  Floats results[2];
  for (int fuse = 0; fuse < 2; ++fuse) {
    Graph g;
    const DeviceDataType f = DeviceDataType::kFloat32;
    GraphTensor tx = g.placeholder(xs, f);
    auto branch = [&](const Floats& w, const Floats& b) {
      return g.add(g.conv2d(tx, g.constant_data(w.data(), w.size() * 4, ws, f), {}),
                   g.constant_data(b.data(), 64, {1, 16, 1, 1}, f));
    };
    GraphTensor shortcut = branch(w1, b1);
    GraphTensor main = branch(w2, b2);
    GraphTensor y = g.relu(g.add(main, shortcut));
    GraphCompilationDescriptor cd;
    cd.fuse = fuse == 1;
    std::string error;
    auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, f}}}, {y}, cd, &error);
    ASSERT_NE(exe, nullptr) << error;
    if (fuse == 1) {
      ASSERT_EQ(exe->steps().size(), 2u);
      EXPECT_EQ(exe->steps()[0].fused_nodes + exe->steps()[1].fused_nodes, 6u);
    }
    auto out = buffer_of(Floats(16 * 36), f);
    ASSERT_TRUE(exe->run(r.queue(), {GraphTensorData(buffer_of(x, f), xs, f)},
                         {GraphTensorData(out, {1, 16, 6, 6}, f)}, GraphExecutionDescriptor{}, &error))
        << error;
    results[fuse] = read_buffer(out, f, 16 * 36);
  }
  EXPECT_EQ(results[0], results[1]);
}

TEST(GraphConv, ChainsThatMustStaySeparate) {
  const Shape xs = {1, 4, 5, 5}, ws = {4, 4, 1, 1};
  const Floats w = values(count(ws), 87);
  auto compile_steps = [&](auto build) {
    Graph g;
    GraphTensor tx = g.placeholder(xs, DeviceDataType::kFloat32);
    GraphTensor conv = g.conv2d(tx, g.constant_data(w.data(), 64, ws, DeviceDataType::kFloat32), {});
    std::vector<GraphTensor> targets = build(g, tx, conv);
    std::string error;
    graph_ops_install();
    auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, DeviceDataType::kFloat32}}},
                         targets, GraphCompilationDescriptor{}, &error);
    EXPECT_NE(exe, nullptr) << error;
    return exe == nullptr ? std::vector<GraphStepSummary>{} : exe->steps();
  };
  // The convolution's result is also a result of the graph.
  auto s1 = compile_steps([](Graph& g, GraphTensor, GraphTensor conv) {
    return std::vector<GraphTensor>{g.relu(conv), conv};
  });
  EXPECT_EQ(s1.size(), 2u);
  // Two readers of the convolution.
  auto s2 = compile_steps([](Graph& g, GraphTensor, GraphTensor conv) {
    return std::vector<GraphTensor>{g.add(g.relu(conv), g.sigmoid(conv))};
  });
  EXPECT_EQ(s2.size(), 4u);
  // A bias that is not one value per channel, and a clamp to bounds that are not constants.
  auto s3 = compile_steps([](Graph& g, GraphTensor x, GraphTensor conv) {
    GraphTensor b = g.constant_fill(0.5, {1, 4, 5, 1}, DeviceDataType::kFloat32);
    GraphTensor lo = g.reduce_min(x, {0, 1, 2, 3});
    return std::vector<GraphTensor>{g.clamp(g.add(conv, b), lo, lo)};
  });
  EXPECT_EQ(s3.size(), 4u);
}

TEST(GraphConv, TransposedConvolutionAgainstTheDefinitionAndTheCpuEngine) {
  GraphRun r;
  struct Case {
    int64_t c, h, w, o, k, s, p, groups;
  };
  for (const Case& c : std::vector<Case>{{4, 3, 4, 6, 3, 2, 1, 1}, {4, 5, 5, 4, 4, 2, 1, 2},
                                         {2, 3, 3, 3, 2, 1, 0, 1}}) {
    const int64_t oh = (c.h - 1) * c.s - 2 * c.p + c.k, ow = (c.w - 1) * c.s - 2 * c.p + c.k;
    const Shape xs = {1, c.c, c.h, c.w}, ws = {c.c, c.o / c.groups, c.k, c.k}, ys = {1, c.o, oh, ow};
    const Floats x = values(count(xs), 90), w = values(count(ws), 91), b = values(c.o, 92);
    GraphConv2dDescriptor d;
    d.stride_x = d.stride_y = c.s;
    d.pad_left = d.pad_right = d.pad_top = d.pad_bottom = c.p;
    d.groups = c.groups;
    Graph g;
    GraphTensor tx = g.placeholder(xs, DeviceDataType::kFloat32);
    GraphTensor tw = g.constant_data(w.data(), w.size() * 4, ws, DeviceDataType::kFloat32);
    GraphTensor tb = g.constant_data(b.data(), b.size() * 4, {1, c.o, 1, 1}, DeviceDataType::kFloat32);
    GraphTensor y = g.relu(g.add(g.conv_transpose2d(tx, tw, ys, d), tb));
    ASSERT_TRUE(g.ok()) << g.error();
    r.feed(g, tx, x);
    const Floats got = r.run1(g, y);
    // Each input element scatters its window into the output.
    std::vector<double> want(count(ys), 0.0);
    const int64_t cg = c.c / c.groups, og = c.o / c.groups;
    for (int64_t ci = 0; ci < c.c; ++ci)
      for (int64_t i = 0; i < c.h; ++i)
        for (int64_t j = 0; j < c.w; ++j)
          for (int64_t q = 0; q < og; ++q)
            for (int64_t u = 0; u < c.k; ++u)
              for (int64_t v = 0; v < c.k; ++v) {
                const int64_t oy = i * c.s - c.p + u, ox = j * c.s - c.p + v;
                if (oy < 0 || oy >= oh || ox < 0 || ox >= ow) continue;
                const int64_t co = (ci / cg) * og + q;
                want[(co * oh + oy) * ow + ox] +=
                    double{x[(ci * c.h + i) * c.w + j]} * w[((ci * og + q) * c.k + u) * c.k + v];
              }
    Floats wf(want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      const double v = want[i] + b[i / static_cast<size_t>(oh * ow)];
      wf[i] = static_cast<float>(v > 0 ? v : 0);
    }
    EXPECT_TRUE(near(got, wf, 1e-5));
    const Floats cpu = cpu_engine_node(
        OpKind::kConvTranspose,
        {{udims(xs), x, false}, {udims(ws), w, true}, {{static_cast<uint64_t>(c.o)}, b, true}},
        udims(ys),
        {{15, static_cast<uint64_t>(c.k)}, {16, static_cast<uint64_t>(c.k)},
         {17, static_cast<uint64_t>(c.s)}, {18, static_cast<uint64_t>(c.s)},
         {19, static_cast<uint64_t>(c.p)}, {20, static_cast<uint64_t>(c.p)},
         {21, static_cast<uint64_t>(c.p)}, {22, static_cast<uint64_t>(c.p)}, {23, 1}, {24, 1},
         {25, static_cast<uint64_t>(c.groups)}, {29, 1}});
    EXPECT_EQ(got, cpu);
  }
}

TEST(GraphConv, PoolingAgainstTheDefinitionAndTheCpuEngine) {
  GraphRun r;
  const Shape xs = {2, 3, 9, 8};
  const Floats x = values(count(xs), 95);
  struct Case {
    int64_t kh, kw, sy, sx, pt, pl, pb, pr;
    bool include_pad;
  };
  for (const Case& c : std::vector<Case>{{3, 3, 2, 2, 1, 1, 1, 1, false},
                                         {2, 2, 2, 2, 0, 0, 0, 0, false},
                                         {3, 2, 1, 2, 2, 1, 0, 0, true},
                                         {3, 3, 1, 1, 1, 1, 1, 1, false}}) {
    GraphPool2dDescriptor d;
    d.kernel_height = c.kh;
    d.kernel_width = c.kw;
    d.stride_y = c.sy;
    d.stride_x = c.sx;
    d.pad_top = c.pt;
    d.pad_left = c.pl;
    d.pad_bottom = c.pb;
    d.pad_right = c.pr;
    d.include_zero_pad_to_average = c.include_pad;
    Graph g;
    GraphTensor tx = g.placeholder(xs, DeviceDataType::kFloat32);
    GraphTensor mx = g.max_pool2d(tx, d);
    GraphTensor av = g.avg_pool2d(tx, d);
    ASSERT_TRUE(g.ok()) << g.error();
    const Shape ys = g.shape(mx);
    r.feed(g, tx, x);
    std::vector<Floats> out;
    ASSERT_TRUE(r.run(g, {mx, av}, &out));
    Floats want_max(count(ys)), want_avg(count(ys));
    for (uint64_t f = 0; f < want_max.size(); ++f) {
      const auto o = unflatten(f, ys);
      float best = -INFINITY;
      double sum = 0;
      int taps = 0;
      for (int64_t u = 0; u < c.kh; ++u)
        for (int64_t v = 0; v < c.kw; ++v) {
          const int64_t iy = o[2] * c.sy - c.pt + u, ix = o[3] * c.sx - c.pl + v;
          if (iy < 0 || iy >= xs[2] || ix < 0 || ix >= xs[3]) continue;
          const float val = x[flatten({o[0], o[1], iy, ix}, xs)];
          best = std::max(best, val);
          sum += val;
          ++taps;
        }
      want_max[f] = best;
      want_avg[f] = static_cast<float>(sum / (c.include_pad ? c.kh * c.kw : taps));
    }
    EXPECT_EQ(out[0], want_max);
    EXPECT_TRUE(near(out[1], want_avg, 1e-6));
    const std::vector<test_graph::Attr> words = {
        {15, static_cast<uint64_t>(c.kh)}, {16, static_cast<uint64_t>(c.kw)},
        {17, static_cast<uint64_t>(c.sy)}, {18, static_cast<uint64_t>(c.sx)},
        {19, static_cast<uint64_t>(c.pt)}, {20, static_cast<uint64_t>(c.pl)},
        {21, static_cast<uint64_t>(c.pb)}, {22, static_cast<uint64_t>(c.pr)},
        {28, c.include_pad ? 0u : 1u}};
    EXPECT_EQ(out[0], cpu_engine_node(OpKind::kMaxPool, {{udims(xs), x, false}}, udims(ys), words));
    EXPECT_EQ(out[1], cpu_engine_node(OpKind::kAveragePool, {{udims(xs), x, false}}, udims(ys), words));
  }
}

TEST(GraphConv, HalfConvolutionRoundsItsResult) {
  GraphRun r;
  const Shape xs = {1, 3, 6, 6}, ws = {4, 3, 3, 3};
  const Floats x = rounded_f16(values(count(xs), 96)), w = rounded_f16(values(count(ws), 97));
  Floats outs[2];
  for (int half = 0; half < 2; ++half) {
    const DeviceDataType t = half ? DeviceDataType::kFloat16 : DeviceDataType::kFloat32;
    Graph g;
    GraphTensor tx = g.placeholder(xs, t);
    GraphTensor tw = g.placeholder(ws, t);
    GraphConv2dDescriptor d;
    d.pad_top = d.pad_bottom = d.pad_left = d.pad_right = 1;
    GraphTensor y = g.conv2d(tx, tw, d);
    r.feed(g, tx, x);
    r.feed(g, tw, w);
    outs[half] = r.run1(g, y);
  }
  EXPECT_EQ(outs[1], rounded_f16(outs[0]));
}

}  // namespace
}  // namespace vexa::graph_test
