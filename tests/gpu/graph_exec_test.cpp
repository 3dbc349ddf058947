// Running graphs: tensor data over device buffers, executables and their orders, what a bad
// feed or result does, the Neural Engine target, fused chains and the arena.
#include "graph_test_util.h"

namespace vexa::graph_test {
namespace {

GraphDevice device() { return GraphDevice(device_system_default()); }

TEST(GraphExec, EveryOperationHasAKernel) {
  const GraphKernelTable& table = graph_ops_table();
  ASSERT_EQ(table.factories.size(), kGraphOpKindCount);
  for (uint32_t k = 0; k < kGraphOpKindCount; ++k) {
    const auto kind = static_cast<GraphOpKind>(k);
    const bool source = kind == GraphOpKind::kPlaceholder || kind == GraphOpKind::kConstant;
    EXPECT_EQ(table.factories[k] == nullptr, source) << graph_op_name(kind);
  }
}

TEST(GraphExec, FeedsAndResultsAtByteOffsetsInAnyDataType) {
  GraphRun r;
  Graph g;
  GraphTensor x = g.placeholder({2, 3}, DeviceDataType::kFloat32, "x");
  GraphTensor w = g.placeholder({6}, DeviceDataType::kFloat32, "w");
  GraphTensor y = g.add(x, g.reshape(w, {2, 3}));
  // x arrives as halves; w from a private buffer at a byte offset, as fed weights do.
  const Floats xs = {0.5f, 1.25f, -2, 3, 4, 5}, ws = {10, 20, 30, 40, 50, 60};
  auto xb = buffer_of(xs, DeviceDataType::kFloat16);
  auto wb = buffer_of(ws, DeviceDataType::kFloat32, 256, StorageMode::kPrivate);
  ASSERT_EQ(wb->contents(), nullptr);
  auto out = device_system_default()->new_buffer(1024, StorageMode::kShared);
  GraphTensorDataMap feeds = {
      {x, GraphTensorData(xb, {2, 3}, DeviceDataType::kFloat16)},
      {w, GraphTensorData(NdArray(wb, 256, NdArrayDescriptor{DeviceDataType::kFloat32, {6}}))}};
  GraphTensorDataMap results = {
      {y, GraphTensorData(NdArray(out, 100, NdArrayDescriptor{DeviceDataType::kInt32, {2, 3}}))}};
  std::string error;
  ASSERT_TRUE(g.run(r.queue(), feeds, results, &error)) << error;
  EXPECT_EQ(read_buffer(out, DeviceDataType::kInt32, 6, 100), (Floats{10, 21, 28, 43, 54, 65}));
  // The same run again reuses the compiled graph and sees new values.
  device_values_from_f32(DeviceDataType::kFloat32, Floats{1, 1, 1, 1, 1, 1}.data(),
                         wb->device_bytes() + 256, 6);
  ASSERT_TRUE(g.run(r.queue(), feeds, results, &error)) << error;
  EXPECT_EQ(read_buffer(out, DeviceDataType::kInt32, 6, 100), (Floats{1, 2, -1, 4, 5, 6}));
}

TEST(GraphExec, ExecutablesTakeArraysInTheirOwnOrders) {
  GraphRun r;
  Graph g;
  GraphTensor b = g.placeholder({3}, DeviceDataType::kFloat32);
  GraphTensor a = g.placeholder({3}, DeviceDataType::kFloat32);
  GraphTensor diff = g.subtract(a, b);
  GraphTensor prod = g.multiply(a, b);
  std::string error;
  auto exe = g.compile(device(), {{a, {{3}, DeviceDataType::kFloat32}}, {b, {{3}, DeviceDataType::kFloat32}}},
                       {prod, diff, prod}, GraphCompilationDescriptor{}, &error);
  ASSERT_NE(exe, nullptr) << error;
  // Feeds in tensor order (b was made first), targets as given without repeats.
  ASSERT_EQ(exe->feed_tensors(), (std::vector<GraphTensor>{b, a}));
  ASSERT_EQ(exe->target_tensors(), (std::vector<GraphTensor>{prod, diff}));
  auto types = exe->output_types({{{3}, DeviceDataType::kFloat32}, {{3}, DeviceDataType::kFloat32}}, &error);
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[0].type, DeviceDataType::kFloat32);
  auto o1 = buffer_of(Floats(3), DeviceDataType::kFloat32), o2 = buffer_of(Floats(3), DeviceDataType::kFloat32);
  ASSERT_TRUE(exe->run(r.queue(),
                       {GraphTensorData(buffer_of({1, 2, 3}, DeviceDataType::kFloat32), {3}, DeviceDataType::kFloat32),
                        GraphTensorData(buffer_of({5, 7, 9}, DeviceDataType::kFloat32), {3}, DeviceDataType::kFloat32)},
                       {GraphTensorData(o1, {3}, DeviceDataType::kFloat32),
                        GraphTensorData(o2, {3}, DeviceDataType::kFloat32)},
                       GraphExecutionDescriptor{}, &error))
      << error;
  EXPECT_EQ(read_buffer(o1, DeviceDataType::kFloat32, 3), (Floats{5, 14, 27}));
  EXPECT_EQ(read_buffer(o2, DeviceDataType::kFloat32, 3), (Floats{4, 5, 6}));
  // Wrong counts are refused before anything runs.
  EXPECT_FALSE(exe->run(r.queue(), {}, {}, GraphExecutionDescriptor{}, &error));
  EXPECT_NE(error.find("inputs"), std::string::npos) << error;
}

TEST(GraphExec, CompileErrorsNameTheProblem) {
  graph_ops_install();
  Graph g, other;
  GraphTensor x = g.placeholder({2}, DeviceDataType::kFloat32, "x");
  GraphTensor w = g.placeholder({2}, DeviceDataType::kFloat32, "w");
  GraphTensor y = g.add(x, w);
  GraphTensor foreign = other.placeholder({2}, DeviceDataType::kFloat32);
  const GraphShapedType f2 = {{2}, DeviceDataType::kFloat32};
  struct Case {
    const char* what;
    GraphShapedTypeMap feeds;
    std::vector<GraphTensor> targets;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"missing feed", {{x, f2}}, {y}, "placeholder 'w' [2] has no feed"},
      {"feed of a computed tensor", {{x, f2}, {w, f2}, {y, f2}}, {y}, "is not a placeholder"},
      {"feed of another graph", {{x, f2}, {w, f2}, {foreign, f2}}, {y}, "not a tensor of this graph"},
      {"feed of another shape", {{x, {{3}, DeviceDataType::kFloat32}}, {w, f2}}, {y}, "fed as [3]"},
      {"no targets", {{x, f2}, {w, f2}}, {}, "no target"},
      {"target of another graph", {{x, f2}, {w, f2}}, {foreign}, "another graph"},
      {"target of a failed operation", {{x, f2}, {w, f2}}, {GraphTensor{}}, "failed operation"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(g.compile(device(), c.feeds, c.targets, GraphCompilationDescriptor{}, &error), nullptr)
        << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
  }
  // A graph rewired into a loop (construction never makes one) is refused, not run forever.
  Graph h;
  GraphTensor p = h.placeholder({2}, DeviceDataType::kFloat32);
  GraphTensor a = h.relu(p);
  GraphTensor b = h.exp(a);
  h.rewire_input_for_testing(a, 0, b);
  std::string error;
  EXPECT_EQ(h.compile(device(), {{p, f2}}, {b}, GraphCompilationDescriptor{}, &error), nullptr);
  EXPECT_NE(error.find("cycle"), std::string::npos) << error;
}

TEST(GraphExec, RunErrorsFailTheCommandBuffer) {
  GraphRun r;
  Graph g;
  GraphTensor x = g.placeholder({4}, DeviceDataType::kFloat32);
  GraphTensor y = g.exp(x);
  auto in = buffer_of(Floats(4, 1.0f), DeviceDataType::kFloat32);
  auto out = buffer_of(Floats(4), DeviceDataType::kFloat32);
  std::string error;
  // A view past the end of its buffer.
  GraphTensorDataMap feeds = {{x, GraphTensorData(NdArray(in, 8, NdArrayDescriptor{DeviceDataType::kFloat32, {4}}))}};
  GraphTensorDataMap results = {{y, GraphTensorData(out, {4}, DeviceDataType::kFloat32)}};
  EXPECT_FALSE(g.run(r.queue(), feeds, results, &error));
  EXPECT_NE(error.find("past the end of its buffer"), std::string::npos) << error;
  // A result of another shape; a feed without a buffer.
  feeds = {{x, GraphTensorData(in, {4}, DeviceDataType::kFloat32)}};
  results = {{y, GraphTensorData(out, {2, 2}, DeviceDataType::kFloat32)}};
  EXPECT_FALSE(g.run(r.queue(), feeds, results, &error));
  EXPECT_NE(error.find("result 0 has shape [2, 2]"), std::string::npos) << error;
  results = {{y, GraphTensorData(out, {4}, DeviceDataType::kFloat32)}};
  feeds = {{x, GraphTensorData(nullptr, {4}, DeviceDataType::kFloat32)}};
  EXPECT_FALSE(g.run(r.queue(), feeds, results, &error));
  EXPECT_NE(error.find("no buffer"), std::string::npos) << error;
  // Encoded work fails its command buffer with the message and stops the work after it.
  auto cb = r.queue().command_buffer();
  ASSERT_TRUE(g.encode(*cb, feeds, results, &error)) << error;
  auto marker = device_system_default()->new_buffer(16, StorageMode::kShared);
  auto blit = cb->blit_encoder();
  blit->fill(marker, 0, 16, 0xAB);
  blit->end_encoding();
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kError);
  EXPECT_NE(cb->error_message().find("no buffer"), std::string::npos) << cb->error_message();
  EXPECT_EQ(static_cast<uint8_t*>(marker->contents())[0], 0);
}

TEST(GraphExec, TargetsThatAreFeedsConstantsOrEmpty) {
  GraphRun r;
  Graph g;
  GraphTensor x = g.placeholder({3}, DeviceDataType::kFloat32);
  GraphTensor c = g.constant_data(std::vector<float>{1, 2, 3}.data(), 12, {3}, DeviceDataType::kFloat32);
  GraphTensor x_view = g.reshape(x, {3, 1});
  GraphTensor empty = g.slice(x, 0, 1, 0);
  GraphTensor sum = g.add(x, c);
  r.feed(g, x, {4, 5, 6});
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {x, c, x_view, empty, sum}, &out));
  EXPECT_EQ(out[0], (Floats{4, 5, 6}));
  EXPECT_EQ(out[1], (Floats{1, 2, 3}));
  EXPECT_EQ(out[2], (Floats{4, 5, 6}));
  EXPECT_TRUE(out[3].empty());
  EXPECT_EQ(out[4], (Floats{5, 7, 9}));
}

TEST(GraphExec, NeuralEngineHookAndHalfExecutables) {
  GraphRun r;
  EXPECT_FALSE(device().descriptor().has_ane);
  Graph g;
  GraphTensor x = g.placeholder({8}, DeviceDataType::kFloat32);
  GraphTensor y = g.multiply(g.add(x, g.constant_scalar(0.1, DeviceDataType::kFloat32)),
                             g.constant_scalar(3.3, DeviceDataType::kFloat32));
  GraphCompilationDescriptor cd;
  cd.preferred_device = kGraphDeviceNeuralEngine;
  cd.allowed_devices = kGraphDeviceMaskGpu | kGraphDeviceMaskNeuralEngine;
  const GraphShapedTypeMap feeds = {{x, {{8}, DeviceDataType::kFloat32}}};
  std::string error;
  auto gpu = g.compile(device(), feeds, {y}, cd, &error);
  ASSERT_NE(gpu, nullptr) << error;
  EXPECT_FALSE(gpu->on_neural_engine());

  graph_set_neural_engine_present_for_testing(true);
  EXPECT_TRUE(device().descriptor().has_ane);
  auto ne = g.compile(device(), feeds, {y}, cd, &error);
  cd.allowed_devices = kGraphDeviceMaskGpu;
  auto not_allowed = g.compile(device(), feeds, {y}, cd, &error);
  graph_set_neural_engine_present_for_testing(false);
  ASSERT_NE(ne, nullptr) << error;
  EXPECT_TRUE(ne->on_neural_engine());
  EXPECT_FALSE(not_allowed->on_neural_engine());
  const auto types = ne->output_types({{{8}, DeviceDataType::kFloat32}}, &error);
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(types[0].type, DeviceDataType::kFloat16);

  // f16 in, f16 out, every value rounded to a half after each operation.
  const Floats xs = values(8, 120);
  auto in = buffer_of(xs, DeviceDataType::kFloat16);
  auto out = buffer_of(Floats(8), DeviceDataType::kFloat16);
  ASSERT_TRUE(ne->run(r.queue(), {GraphTensorData(in, {8}, DeviceDataType::kFloat16)},
                      {GraphTensorData(out, {8}, DeviceDataType::kFloat16)}, GraphExecutionDescriptor{},
                      &error))
      << error;
  const Floats got = read_buffer(out, DeviceDataType::kFloat16, 8);
  const float a = f16_round_trip(0.1f), m = f16_round_trip(3.3f);
  for (size_t i = 0; i < 8; ++i) {
    const float xi = f16_round_trip(xs[i]);
    EXPECT_EQ(got[i], f16_round_trip(f16_round_trip(xi + a) * m)) << i;
  }
}

// The chains the converter's layer normalisation and GELU lower to, fused back into the CPU
// engine's kernels, agree with the op-by-op run.
TEST(GraphExec, LayerNormAndGeluChainsFuse) {
  GraphRun r;
  const Shape s = {1, 7, 48};
  const Floats x = values(count(s), 130), scale = values(48, 131), bias = values(48, 132);
  Floats results[2];
  std::vector<GraphStepSummary> steps[2];
  for (int fuse = 0; fuse < 2; ++fuse) {
    Graph g;
    const DeviceDataType f32 = DeviceDataType::kFloat32;
    GraphTensor tx = g.placeholder(s, f32);
    GraphTensor m = g.mean(tx, {2});
    GraphTensor d = g.subtract(tx, m);
    GraphTensor v = g.mean(g.multiply(d, d), {2});
    GraphTensor inv = g.reciprocal(g.sqrt(g.add(v, g.constant_scalar(1e-5, f32))));
    GraphTensor ln = g.add(g.multiply(g.multiply(d, inv), g.constant_data(scale.data(), 192, {48}, f32)),
                           g.constant_data(bias.data(), 192, {48}, f32));
    GraphTensor gelu = g.multiply(
        g.multiply(ln, g.constant_scalar(0.5, f32)),
        g.add(g.constant_scalar(1.0, f32), g.erf(g.multiply(ln, g.constant_scalar(0.70710677, f32)))));
    GraphCompilationDescriptor cd;
    cd.fuse = fuse == 1;
    std::string error;
    auto exe = g.compile(device(), {{tx, {s, f32}}}, {gelu}, cd, &error);
    ASSERT_NE(exe, nullptr) << error;
    steps[fuse] = exe->steps();
    auto out = buffer_of(Floats(count(s)), f32);
    ASSERT_TRUE(exe->run(r.queue(), {GraphTensorData(buffer_of(x, f32), s, f32)},
                         {GraphTensorData(out, s, f32)}, GraphExecutionDescriptor{}, &error))
        << error;
    results[fuse] = read_buffer(out, f32, count(s));
  }
  EXPECT_TRUE(near(results[1], results[0], 2e-5));
  ASSERT_EQ(steps[1].size(), 2u);
  EXPECT_EQ(steps[1][0].kind, GraphOpKind::kFusedLayerNorm);
  EXPECT_EQ(steps[1][0].fused_nodes, 10u);
  EXPECT_EQ(steps[1][1].kind, GraphOpKind::kFusedGelu);
  EXPECT_EQ(steps[0].size(), 15u);
}

TEST(GraphExec, ScaledAdditionsFuseWithTheirRoundings) {
  GraphRun r;
  const DeviceDataType f = DeviceDataType::kFloat32;
  const Floats x = values(3000, 180), y = values(3000, 181);
  Floats results[2];
  for (int fuse = 0; fuse < 2; ++fuse) {
    Graph g;
    GraphTensor tx = g.placeholder({3, 1000}, f), ty = g.placeholder({3, 1000}, f);
    GraphTensor out = g.add(ty, g.multiply(g.constant_scalar(0.3, f), tx));
    GraphCompilationDescriptor cd;
    cd.fuse = fuse == 1;
    std::string error;
    auto exe = g.compile(GraphDevice(device_system_default()),
                         {{tx, {{3, 1000}, f}}, {ty, {{3, 1000}, f}}}, {out}, cd, &error);
    ASSERT_NE(exe, nullptr) << error;
    if (fuse == 1) {
      ASSERT_EQ(exe->steps().size(), 1u);
      EXPECT_EQ(exe->steps()[0].kind, GraphOpKind::kFusedScaledAdd);
    }
    auto buf = buffer_of(Floats(3000), f);
    ASSERT_TRUE(exe->run(r.queue(),
                         {GraphTensorData(buffer_of(x, f), {3, 1000}, f), GraphTensorData(buffer_of(y, f), {3, 1000}, f)},
                         {GraphTensorData(buf, {3, 1000}, f)}, GraphExecutionDescriptor{}, &error))
        << error;
    results[fuse] = read_buffer(buf, f, 3000);
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[1][7], y[7] + x[7] * 0.3f);
}

// Channel concatenations of one image get their inputs written in place; inputs read again
// later, repeated, fed or shown as results keep working.
TEST(GraphExec, ConcatenationsInPlace) {
  GraphRun r;
  const DeviceDataType f = DeviceDataType::kFloat32;
  const Shape xs = {1, 4, 4, 4};
  const Floats x = values(64, 170);
  Graph g;
  GraphTensor tx = g.placeholder(xs, f);
  GraphTensor a = g.relu(tx), b = g.exp(tx), c = g.negative(tx);
  GraphTensor cat = g.concat({a, b, c}, 1);
  GraphTensor twice = g.add(cat, cat);
  GraphTensor later = g.add(a, b);                 // inputs read after the concatenation
  GraphTensor again = g.concat({c, c, tx}, -3);    // a repeated input and a fed one
  GraphTensor nested = g.concat({cat, a}, 1);      // the first block inside another
  GraphTensor odd = g.concat({g.slice(b, 1, 0, 1), g.slice(c, 1, 0, 1)}, 1);  // not 64-byte parts
  std::string error;
  auto exe = g.compile(GraphDevice(device_system_default()), {{tx, {xs, f}}},
                       {twice, later, again, nested, odd, a}, GraphCompilationDescriptor{}, &error);
  ASSERT_NE(exe, nullptr) << error;
  // Feed, the block of three, its double, the sum, the other concatenations: well under the
  // one-value-at-a-time total.
  EXPECT_LE(exe->arena_bytes(), 256u * 18);
  r.feed(g, tx, x);
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {twice, later, again, nested, odd, a}, &out));
  Floats ra(64), rb(64), rc(64);
  for (int i = 0; i < 64; ++i) {
    ra[i] = x[i] >= 0 ? x[i] : 0.0f;
    rb[i] = std::exp(x[i]);
    rc[i] = -x[i];
  }
  Floats want_twice, want_later(64), want_again, want_nested, want_odd;
  for (const Floats* p : {&ra, &rb, &rc})
    for (float v : *p) want_twice.push_back(v + v);
  for (int i = 0; i < 64; ++i) want_later[i] = ra[i] + rb[i];
  for (const Floats* p : std::initializer_list<const Floats*>{&rc, &rc, &x}) want_again.insert(want_again.end(), p->begin(), p->end());
  for (const Floats* p : {&ra, &rb, &rc, &ra}) want_nested.insert(want_nested.end(), p->begin(), p->end());
  want_odd.insert(want_odd.end(), rb.begin(), rb.begin() + 16);
  want_odd.insert(want_odd.end(), rc.begin(), rc.begin() + 16);
  EXPECT_TRUE(near(out[0], want_twice, 1e-7));
  EXPECT_TRUE(near(out[1], want_later, 1e-7));
  EXPECT_EQ(out[2], want_again);
  EXPECT_TRUE(near(out[3], want_nested, 1e-7));
  EXPECT_TRUE(near(out[4], want_odd, 1e-7));
  EXPECT_EQ(out[5], ra);
}

TEST(GraphExec, TheArenaIsReusedAlongAChain) {
  graph_ops_install();
  Graph g;
  GraphTensor x = g.placeholder({1024}, DeviceDataType::kFloat32);
  GraphTensor y = x;
  for (int i = 0; i < 20; ++i) y = g.exp(g.negative(y));
  std::string error;
  auto exe = g.compile(device(), {{x, {{1024}, DeviceDataType::kFloat32}}}, {y},
                       GraphCompilationDescriptor{}, &error);
  ASSERT_NE(exe, nullptr) << error;
  // Forty results of 4 KiB live two or three at a time.
  EXPECT_LE(exe->arena_bytes(), 4u * 4096);
  GraphRun r;
  r.feed(g, x, Floats(1024, 0.5f));
  const Floats got = r.run1(g, y);
  float want = 0.5f;
  for (int i = 0; i < 20; ++i) want = std::exp(-want);
  EXPECT_NEAR(got[1023], want, 1e-6);
}

}  // namespace
}  // namespace vexa::graph_test
