// Running the graph-model engine: batched runs (a last partial execution staged through the
// engine's own buffers), the YoloNms tail, the three weight paths, the Neural Engine target
// through the test hook, failures reported rather than stale results, the accessors on an
// empty handle, and the f32/f16 conversions.
#include <cmath>
#include <limits>

#include "cpu/ops/detection.h"
#include "tests/gpu/mps_test_util.h"

namespace vexa::mps_test {
namespace {

// A small convolutional model: conv 3x3 (3 -> 4 channels) + bias, ReLU, 1x1 conv to 2
// channels, then a flatten to [1, 2 x 6 x 6]; weights of `big` elements make some weights
// large (4096 elements and more).
void conv_model(GraphModel& m, bool big = false) {
  const uint64_t c1 = big ? 64 : 4;
  const uint64_t x = m.input({1, 3, 6, 6});
  const uint64_t a = m.inter({1, c1, 6, 6});
  const uint64_t r = m.inter({1, c1, 6, 6});
  const uint64_t b = m.inter({1, 2, 6, 6});
  m.node(OpKind::kConv, {x, m.weight({c1, 3, 3, 3}, values(c1 * 27, 1)), m.weight({c1}, values(c1, 2))},
         {a},
         {attr(0, 3), attr(1, 3), attr(2, 1), attr(3, 1), attr(4, 1), attr(5, 1), attr(6, 1),
          attr(7, 1), attr(8, 1), attr(9, 1), attr(10, 1)});
  m.node(OpKind::kRelu, {a}, {r});
  m.node(OpKind::kConv, {r, m.weight({2, c1, 1, 1}, values(2 * c1, 3)), m.weight({2}, {0.25f, -0.5f})}, {b},
         {attr(0, 1), attr(1, 1), attr(2, 1), attr(3, 1), attr(8, 1), attr(9, 1), attr(10, 1)});
  m.node(OpKind::kFlatten, {b}, {m.output({1, 72})});
}

Floats sample_input(uint64_t samples, uint32_t seed) { return values(samples * 108, seed); }

TEST(MpsRun, BatchedRunsEqualSingleRuns) {
  GraphModel m;
  conv_model(m);
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine single(m, w, 1);
  Engine four(m, w, 4);
  ASSERT_TRUE(single.ok() && four.ok()) << single.message() << four.message();
  ASSERT_EQ(four.state()->batch, 4u);
  for (uint64_t samples : {1u, 4u, 6u, 8u, 9u}) {
    SCOPED_TRACE(samples);
    // Buffers of exactly `samples` samples: a partial execution must not read or write past
    // them (the sanitizer builds catch a stray access).
    const Floats in = sample_input(samples, 7);
    Floats out(samples * 72, -1.0f);
    ASSERT_TRUE(mps_run_batched(four.handle(), samples, in.data(), out.data()));
    for (uint64_t k = 0; k < samples; ++k) {
      Floats one(72);
      ASSERT_TRUE(mps_run(single.handle(), in.data() + k * 108, one.data()));
      EXPECT_EQ(Floats(out.begin() + static_cast<int64_t>(k * 72),
                       out.begin() + static_cast<int64_t>((k + 1) * 72)),
                one)
          << "sample " << k;
    }
  }
  // A batch-1 engine runs samples one execution each.
  const Floats in = sample_input(3, 8);
  Floats out(3 * 72);
  ASSERT_TRUE(mps_run_batched(single.handle(), 3, in.data(), out.data()));
  Floats last(72);
  ASSERT_TRUE(mps_run(single.handle(), in.data() + 2 * 108, last.data()));
  EXPECT_EQ(Floats(out.begin() + 144, out.end()), last);
  EXPECT_FALSE(mps_run_batched(single.handle(), 0, in.data(), out.data()));
  EXPECT_EQ(mps_input_floats(four.handle(), 6), 6u * 108);
  EXPECT_EQ(mps_output_floats(four.handle(), 0), 4u * 72);
}

// A detection head (a ReLU over the candidates) ending in YoloNms: the tail runs on the CPU
// kernel over the head, one sample at a time.
TEST(MpsRun, YoloNmsTail) {
  GraphModel m;
  const uint64_t x = m.input({1, 6, 8});
  const uint64_t head = m.inter({1, 6, 8});
  m.node(OpKind::kRelu, {x}, {head});
  const uint64_t dets = m.output({5, 6});
  m.node(OpKind::kYoloNms, {head}, {dets},
         {attr(0, 5), attr(1, 0), attr_f32(4, 640.0f), attr_f32(5, 640.0f), attr_f32(6, 4096.0f),
          attr(13, 1), attr_f32(14, 0.25f), attr_f32(15, 0.45f)});
  ASSERT_TRUE(m.open());
  Floats in(48);
  const float anchors[8][6] = {{100, 100, 50, 50, 0.9f, 0.1f}, {105, 102, 50, 50, 0.8f, 0.1f},
                               {105, 102, 50, 50, 0.1f, 0.7f}, {300, 300, 40, 40, 0.6f, 0.2f},
                               {10, 10, 5, 5, 0.2f, 0.1f},     {0, 0, 1, 1, -1, -1},
                               {400, 80, 20, 30, 0.05f, 0.3f}, {0, 0, 1, 1, 0, 0}};
  for (int a = 0; a < 8; ++a) {
    for (int c = 0; c < 6; ++c) in[static_cast<size_t>(c * 8 + a)] = anchors[a][c];
  }
  const std::vector<Floats> want = run_cpu(m, {{x, in}});
  GpuWeights w(m);
  Engine e(m, w, 4);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(e.state()->batch, 1u);  // a YoloNms tail keeps the batch at 1
  EXPECT_EQ(mps_output_floats(e.handle(), 0), 30u);
  Floats got(30, -1.0f);
  ASSERT_TRUE(mps_run(e.handle(), in.data(), got.data()));
  EXPECT_EQ(got, want[0]);
  EXPECT_FLOAT_EQ(got[4], 0.9f);
  ASSERT_TRUE(mps_run_batched(e.handle(), 1, in.data(), got.data()));
  EXPECT_EQ(got, want[0]);
  Floats two(60);
  const Floats in2(96, 0.0f);
  EXPECT_FALSE(mps_run_batched(e.handle(), 2, in2.data(), two.data()));
}

// Constant weights are copied into the graph and private ones into the engine's own buffer, so
// the slot's memory can go; fed weights are read from the slot at every run.
TEST(MpsRun, WeightPathsAgreeWithTheCpuEngine) {
  struct Case {
    const char* what;
    const char* feed;
    const char* private_weights;
    const char* precision;
    bool reads_slot, private_buffer;
    double tol;
  };
  const Case cases[] = {
      {"constant", nullptr, nullptr, nullptr, false, false, kF32Tolerance},
      {"fed", "1", nullptr, nullptr, true, false, kF32Tolerance},
      {"private", nullptr, "1", nullptr, false, true, kF32Tolerance},
      {"private, f16 compute", nullptr, "1", "f16:fast", false, true, kF16Tolerance},
      {"constant, f16 compute", nullptr, nullptr, "f16:fast", false, false, kF16Tolerance},
      {"fed, f16 compute", "1", nullptr, "f16:fast", true, false, kF16Tolerance},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv feed("VEXA_MPS_FEED_WEIGHTS", c.feed);
    ScopedEnv min("VEXA_MPS_FEED_MIN", "0");
    ScopedEnv priv("VEXA_MPS_PRIVATE_WEIGHTS", c.private_weights);
    ScopedEnv precision("VEXA_PRECISION_GPU_METAL", c.precision);
    GraphModel m;
    conv_model(m, true);
    ASSERT_TRUE(m.open());
    const Floats in = sample_input(1, 9);
    const std::vector<Floats> want = run_cpu(m, {{0, in}});
    GpuWeights w(m);
    Engine e(m, w);
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_EQ(mps_uses_slot_weights(e.handle()), c.reads_slot);
    EXPECT_EQ(mps_uses_private_weights(e.handle()), c.private_buffer);
    if (!c.reads_slot) {
      // What the session does: the slot's buffer is given back.
      std::memset(w.slot().data, 0xFF, m.weight_bytes());
      mps_binding_release(&w.slot());
    }
    const std::vector<Floats> got = run_engine(e, {{0, in}});
    ASSERT_EQ(got.size(), 1u);
    expect_close(got[0], want[0], c.tol);
  }
}

TEST(MpsRun, NeuralEngineThroughTheTestHook) {
  GraphModel m;
  conv_model(m);
  ASSERT_TRUE(m.open());
  const Floats in = sample_input(1, 10);
  const std::vector<Floats> want = run_cpu(m, {{0, in}});
  GpuWeights w(m);
  {
    // No Neural Engine: turning it on fails and leaves the GPU path.
    Engine e(m, w, 1, true);
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_FALSE(gpu_has_ane());
    EXPECT_FALSE(mps_set_ne(e.handle(), true));
    EXPECT_EQ(mps_active_backend(e.handle()), 2u);
    EXPECT_FALSE(mps_supports_op(1, 3));
  }
  NeuralEngineHook hook;
  EXPECT_TRUE(gpu_has_ane());
  EXPECT_TRUE(mps_supports_op(1, 3));
  Engine e(m, w, 1, true);
  ASSERT_TRUE(e.ok()) << e.message();
  ASSERT_TRUE(mps_set_ne(e.handle(), true));
  EXPECT_EQ(mps_active_backend(e.handle()), 3u);
  // f16 in and out: the results carry f16 rounding.
  ASSERT_TRUE(e.state()->ne.executable->on_neural_engine());
  EXPECT_EQ(e.state()->ne.inputs[0].type(), DeviceDataType::kFloat16);
  std::vector<Floats> got = run_engine(e, {{0, in}});
  expect_close(got[0], want[0], kF16Tolerance);
  Floats gpu_out(72);
  ASSERT_TRUE(mps_set_ne(e.handle(), false));
  EXPECT_EQ(mps_active_backend(e.handle()), 2u);
  ASSERT_TRUE(mps_run(e.handle(), in.data(), gpu_out.data()));
  expect_close(gpu_out, want[0], kF32Tolerance);
  EXPECT_NE(gpu_out, got[0]);

  // Weights fed at run time cannot be compiled for the Neural Engine: the request fails and
  // the GPU path stays.
  {
    ScopedEnv feed("VEXA_MPS_FEED_WEIGHTS", "1");
    ScopedEnv min("VEXA_MPS_FEED_MIN", "0");
    Engine fed(m, w, 1, true);
    ASSERT_TRUE(fed.ok()) << fed.message();
    EXPECT_FALSE(mps_set_ne(fed.handle(), true));
    EXPECT_EQ(mps_active_backend(fed.handle()), 2u);
    got = run_engine(fed, {{0, in}});
    expect_close(got[0], want[0], kF32Tolerance);
  }
  // Private weights are fed too; but with the switch on and no weight above its threshold
  // every weight is a constant, nothing is fed, and the Neural Engine compiles.
  for (const char* threshold : {"0", "100000"}) {
    SCOPED_TRACE(threshold);
    ScopedEnv priv("VEXA_MPS_PRIVATE_WEIGHTS", "1");
    ScopedEnv min("VEXA_MPS_PRIVATE_MIN", threshold);
    Engine p(m, w, 1, true);
    ASSERT_TRUE(p.ok()) << p.message();
    const bool all_constant = std::string(threshold) != "0";
    EXPECT_TRUE(mps_uses_private_weights(p.handle()));
    EXPECT_FALSE(mps_uses_slot_weights(p.handle()));
    EXPECT_EQ(p.state()->weights_fed, !all_constant);
    EXPECT_EQ(mps_set_ne(p.handle(), true), all_constant);
    EXPECT_EQ(mps_active_backend(p.handle()), all_constant ? 3u : 2u);
    got = run_engine(p, {{0, in}});
    expect_close(got[0], want[0], all_constant ? kF16Tolerance : kF32Tolerance);
  }
}

// Every output of a multi-output graph on the Neural Engine, compiled with the extra outputs.
TEST(MpsRun, NeuralEngineFillsEveryOutput) {
  GraphModel m;
  const uint64_t x = m.input({1, 3, 2, 2});
  const uint64_t y = m.output({1, 3, 2, 2});
  const uint64_t z = m.output({1, 3, 2, 2});
  m.node(OpKind::kMul, {x, m.weight({1, 3, 1, 1}, {1, 2, 3})}, {y});
  m.node(OpKind::kRelu, {y}, {z});
  ASSERT_TRUE(m.open());
  const Floats in = values(12, 3);
  const std::vector<Floats> want = run_cpu(m, {{x, in}});
  GpuWeights w(m);
  NeuralEngineHook hook;
  ScopedEnv use("VEXA_USE_NE", "1");
  Engine e(m, w, 1, true);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_FALSE(e.state()->ne_compiled);  // two outputs: compiled once their buffers exist
  const std::vector<Floats> got = run_engine(e, {{x, in}});
  EXPECT_EQ(mps_active_backend(e.handle()), 3u);
  ASSERT_EQ(got.size(), 2u);
  expect_close(got[0], want[0], kF16Tolerance);
  expect_close(got[1], want[1], kF16Tolerance);
  // Output 0 is also in the engine's own buffer.
  expect_close(Floats(mps_output_pointer(e.handle(), 0), mps_output_pointer(e.handle(), 0) + 12),
               want[0], kF16Tolerance);
}

// A run that fails reports failure; nothing claims success over old results.
TEST(MpsRun, ExecutionFailureIsReported) {
  GraphModel m;
  conv_model(m);
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  const Floats in = sample_input(1, 11);
  Floats out(72);
  ASSERT_TRUE(mps_run(e.handle(), in.data(), out.data()));
  // The input view now covers less than the tensor: the run fails in the graph library.
  MpsState* s = e.state();
  const GraphTensor ph = s->inputs[0].placeholder;
  s->feeds[ph] = GraphTensorData(device_system_default()->new_buffer(16, StorageMode::kShared),
                                 s->feeds[ph].shape(), DeviceDataType::kFloat32);
  EXPECT_FALSE(mps_run(e.handle(), in.data(), out.data()));
  EXPECT_FALSE(mps_run_batched(e.handle(), 2, in.data(), out.data()));
}

TEST(MpsRun, SecondaryInputsAndOutputPointers) {
  GraphModel m;
  const uint64_t a = m.input({2, 3});
  const uint64_t b = m.input({3});
  const uint64_t y = m.output({2, 3});
  const uint64_t z = m.output({2, 3});
  const uint64_t empty = m.output({0, 3});
  m.node(OpKind::kAdd, {a, b}, {y});
  m.node(OpKind::kMul, {a, b}, {z});
  m.node(OpKind::kSlice, {a}, {empty}, {attr(11, 0), attr(4, 0), attr(5, 0), attr(2, 1)});
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  const Floats bv = {1, 2, 3};
  EXPECT_FALSE(mps_set_input(e.handle(), 99, bv.data(), 12));
  EXPECT_FALSE(mps_set_input(e.handle(), b, bv.data(), 16));  // past its buffer
  EXPECT_FALSE(mps_set_input(e.handle(), b, nullptr, 12));
  EXPECT_EQ(mps_output_count(e.handle()), 3u);
  EXPECT_EQ(mps_output_pointer(e.handle(), 1), nullptr);  // before the extra buffers exist
  EXPECT_EQ(mps_output_pointer(e.handle(), 3), nullptr);
  EXPECT_NE(mps_output_pointer(e.handle(), 0), nullptr);
  const Floats av = {1, 2, 3, 4, 5, 6};
  const std::vector<Floats> got = run_engine(e, {{a, av}, {b, bv}});
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (Floats{2, 4, 6, 5, 7, 9}));
  EXPECT_EQ(got[1], (Floats{1, 4, 9, 4, 10, 18}));
  EXPECT_TRUE(got[2].empty());  // no elements: no buffer
  EXPECT_EQ(mps_output_pointer(e.handle(), 2), nullptr);
  EXPECT_EQ(mps_output_byte_size(e.handle(), 1), 24u);
}

// Outputs that are one tensor in the graph (an Identity between two outputs) each get their
// own result; a sizeless value the converter left behind is ignored.
TEST(MpsRun, OutputsSharingATensor) {
  GraphModel m;
  const uint64_t x = m.input({2, 2});
  const uint64_t y = m.output({2, 2});
  const uint64_t z = m.output({2, 2});
  GraphValue sizeless{};
  sizeless.kind = cpu::kValueIntermediate;
  sizeless.dtype = 2;
  m.raw_value(sizeless);
  m.node(OpKind::kRelu, {x}, {y});
  m.node(OpKind::kIdentity, {y}, {z});
  // A dangling Flatten into an unsized value builds as it does on the CPU engine.
  m.node(OpKind::kFlatten, {x}, {m.raw_value(sizeless)});
  ASSERT_TRUE(m.open());
  {
    StateHolder cpu_engine(m.create(1));
    ASSERT_TRUE(cpu_engine.ok()) << cpu_engine.message();
  }
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  const std::vector<Floats> got = run_engine(e, {{x, {1, -2, 3, -4}}});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (Floats{1, 0, 3, 0}));
  EXPECT_EQ(got[1], (Floats{1, 0, 3, 0}));
}

TEST(MpsRun, EmptyHandleAndSupportedKinds) {
  MpsState* none = nullptr;
  float buffer[4] = {};
  EXPECT_FALSE(mps_run(&none, buffer, buffer));
  EXPECT_FALSE(mps_run(nullptr, buffer, buffer));
  EXPECT_FALSE(mps_run_entry(&none, buffer, buffer));
  EXPECT_FALSE(mps_run_batched(&none, 1, buffer, buffer));
  EXPECT_FALSE(mps_run_samples(&none, 1, buffer, buffer));
  EXPECT_FALSE(mps_set_input(&none, 0, buffer, 4));
  EXPECT_FALSE(mps_prepare_output_buffers(&none));
  EXPECT_EQ(mps_output_pointer(&none, 0), nullptr);
  EXPECT_EQ(mps_output_count(&none), 0u);
  EXPECT_EQ(mps_active_backend(&none), 0u);
  EXPECT_FALSE(mps_set_ne(&none, true));
  EXPECT_FALSE(mps_set_ne(&none, false));
  EXPECT_FALSE(mps_uses_slot_weights(&none));
  EXPECT_FALSE(mps_uses_private_weights(&none));
  EXPECT_FALSE(mps_compile_ne(nullptr));
  mps_state_destroy(&none);
  mps_state_destroy(nullptr);
  EXPECT_TRUE(mps_supported());
  MpsCreateResult r = mps_state_create(nullptr, buffer, nullptr, 1, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(expected_message_view(r.error), "MPS backend requires GPU slot");
  expected_message_free(&r.error);

  EXPECT_FALSE(mps_supports_op(25, 2));  // Reshape
  EXPECT_FALSE(mps_supports_op(0, 2));
  EXPECT_FALSE(mps_supports_op(88, 2));
  EXPECT_TRUE(mps_supports_op(1, 2));
  EXPECT_TRUE(mps_supports_op(85, 2));  // YoloNms, as the graph's tail
  EXPECT_TRUE(mps_supports_op(87, 2));
  for (uint64_t kind : {24, 35, 37, 38, 44, 46, 49, 50, 51, 67, 68, 74, 75, 76, 78, 81, 83, 84, 86}) {
    EXPECT_FALSE(mps_supports_op(kind, 2)) << kind;
  }
}

// ---- conversions ----

uint16_t to_f16(float f) {
  uint16_t h = 0;
  convert_f32_to_f16(&f, &h, 1);
  return h;
}

float to_f32(uint16_t h) {
  float f = 0;
  convert_f16_to_f32(&h, &f, 1);
  return f;
}

float bits_f32(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

TEST(MpsConvert, HalvesExactlyAndRoundingAwayFromZero) {
  // Every half widens to its exact value and narrows back to itself (NaNs stay NaNs).
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const uint32_t e = (h >> 10) & 0x1F, mant = h & 0x3FF;
    const double sign = (h & 0x8000) ? -1.0 : 1.0;
    const float f = to_f32(static_cast<uint16_t>(h));
    if (e == 31 && mant != 0) {
      ASSERT_TRUE(std::isnan(f)) << h;
      const uint16_t back = to_f16(f);
      ASSERT_EQ(back & 0x7C00, 0x7C00) << h;
      ASSERT_NE(back & 0x3FF, 0) << h;
      continue;
    }
    const double want = e == 31  ? sign * std::numeric_limits<double>::infinity()
                        : e == 0 ? sign * std::ldexp(mant, -24)
                                 : sign * std::ldexp(1024 + mant, static_cast<int>(e) - 25);
    ASSERT_EQ(static_cast<double>(f), want) << h;
    ASSERT_EQ(to_f16(f), h) << h;
  }
  EXPECT_EQ(to_f16(65520.0f), 0x7C00);  // the carry raises the exponent to infinity
  EXPECT_EQ(to_f16(65504.0f), 0x7BFF);
  EXPECT_EQ(to_f16(1.0f), 0x3C00);
  EXPECT_EQ(to_f16(bits_f32(0x3F801000)), 0x3C01);  // 1 + 2^-11: a tie, away from zero
  EXPECT_EQ(to_f16(bits_f32(0xBF801000)), 0xBC01);
  EXPECT_EQ(to_f16(std::ldexp(1.0f, -25)), 0x0001);  // half the smallest subnormal rounds up
  EXPECT_EQ(to_f16(std::ldexp(1.0f, -26)), 0x0000);
  EXPECT_EQ(to_f16(-1e-30f), 0x8000);
  EXPECT_EQ(to_f16(1e30f), 0x7C00);
  EXPECT_EQ(to_f16(-std::numeric_limits<float>::infinity()), 0xFC00);
  // NaN stays NaN with its sign.
  const uint16_t nan = to_f16(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(nan & 0x7C00, 0x7C00);
  EXPECT_NE(nan & 0x3FF, 0);
  const uint16_t negative_nan = to_f16(bits_f32(0xFF800001));  // a signalling payload of 1
  EXPECT_EQ(negative_nan & 0xFC00, 0xFC00);
  EXPECT_NE(negative_nan & 0x3FF, 0);
  convert_f32_to_f16(nullptr, nullptr, 0);
  convert_f16_to_f32(nullptr, nullptr, 0);
}

}  // namespace
}  // namespace vexa::mps_test
