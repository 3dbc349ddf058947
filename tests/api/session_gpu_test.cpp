// Graph models on the GPU backend through the C API: classifier, YoloNms detector,
// segmentation, multi-output and two-input models under GPU and AUTO against the CPU engine,
// batches, the fall-back of graphs the GPU backend cannot lower, the Neural Engine through the
// test hook, precision settings and failed runs.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "api/api_test_util.h"
#include "api/session_internal.h"
#include "api/session_test_util.h"
#include "gpu/mps_state.h"
#include "platform/graph_executable.h"

using namespace vexa_test;

namespace {

using Floats = std::vector<float>;
using vexa::OpKind;

constexpr double kF32Tolerance = 1e-5;
constexpr double kF16Tolerance = 1e-2;

Floats values(uint64_t n, uint32_t seed, float scale = 1.0f) {
  Floats v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (uint64_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    v[i] = (static_cast<float>((s >> 9) & 0x3FFFu) / 8192.0f - 1.0f) * scale;
  }
  return v;
}

Floats tensor(vexa_output* out, int i) {
  const float* p = vexa_output_f32_ptr(out, i);
  if (p == nullptr) return {};
  return Floats(p, p + vexa_output_elem_count(out, i));
}

// Within tol x the peak magnitude of the reference.
void expect_close(const Floats& got, const Floats& want, double tol, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double peak = 0;
  for (float v : want) peak = std::max(peak, std::fabs(static_cast<double>(v)));
  const double bound = peak > 0 ? tol * peak : tol;
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_NEAR(got[i], want[i], bound) << what << " element " << i;
  }
}

vexa::test_graph::Attr attr(uint32_t k, uint64_t v) { return {15 + k, v}; }
vexa::test_graph::Attr attr_f32(uint32_t k, float v) { return {15 + k, f32_bits(v)}; }

std::vector<vexa::test_graph::Attr> conv_attrs(uint64_t k, uint64_t stride, uint64_t pad,
                                               uint64_t group = 1) {
  return {attr(0, k),   attr(1, k),   attr(2, stride), attr(3, stride), attr(4, pad),
          attr(5, pad), attr(6, pad), attr(7, pad),    attr(8, 1),      attr(9, 1),
          attr(10, group)};
}

uint64_t node(ModelBuilder& m, OpKind kind, std::vector<uint64_t> ins, std::vector<uint64_t> outs,
              std::vector<vexa::test_graph::Attr> attrs = {}) {
  vexa::GraphNode n{};
  n.op_kind = static_cast<uint64_t>(kind);
  n.input_count = ins.size();
  n.output_count = outs.size();
  for (size_t k = 0; k < ins.size(); ++k) n.inputs[k] = ins[k];
  for (size_t k = 0; k < outs.size(); ++k) n.outputs[k] = outs[k];
  for (const auto& a : attrs) n.words()[a.word] = a.value;
  return m.writer().add_node(n);
}

// ---- the models ----

// conv 3x3 s2 -> ReLU -> max pool -> conv 1x1 -> GAP -> flatten -> Gemm -> soft-max.
void classifier(ModelBuilder& m) {
  const uint64_t x = m.input({1, 3, 16, 16}, "image");
  const uint64_t c1 = m.inter({1, 8, 8, 8}), r1 = m.inter({1, 8, 8, 8}), p1 = m.inter({1, 8, 4, 4});
  node(m, OpKind::kConv, {x, m.weight({8, 3, 3, 3}, values(216, 1, 0.5f)), m.weight({8}, values(8, 2))},
       {c1}, conv_attrs(3, 2, 1));
  node(m, OpKind::kRelu, {c1}, {r1});
  node(m, OpKind::kMaxPool, {r1}, {p1},
       {attr(0, 2), attr(1, 2), attr(2, 2), attr(3, 2)});
  const uint64_t c2 = m.inter({1, 16, 4, 4}), g = m.inter({1, 16, 1, 1}), f = m.inter({1, 16});
  node(m, OpKind::kConv, {p1, m.weight({16, 8, 1, 1}, values(128, 3, 0.5f)), m.weight({16}, values(16, 4))},
       {c2}, conv_attrs(1, 1, 0));
  node(m, OpKind::kGlobalAveragePool, {c2}, {g});
  node(m, OpKind::kFlatten, {g}, {f});
  const uint64_t logits = m.inter({1, 10});
  node(m, OpKind::kGemm, {f, m.weight({10, 16}, values(160, 5)), m.weight({10}, values(10, 6))},
       {logits}, {attr(13, 1), attr_f32(14, 1.0f), attr_f32(15, 1.0f)});
  node(m, OpKind::kSoftmax, {logits}, {m.output({1, 10}, "probs")}, {attr(11, 1)});
}

// A head of 6 channels (box, two class scores) over 16 candidates, then YoloNms to 8 rows.
void detector(ModelBuilder& m) {
  const uint64_t x = m.input({1, 4, 4, 4}, "image");
  const uint64_t c = m.inter({1, 6, 4, 4}), s = m.inter({1, 6, 4, 4});
  node(m, OpKind::kConv, {x, m.weight({6, 4, 1, 1}, values(24, 7, 2.0f)), m.weight({6}, values(6, 8))},
       {c}, conv_attrs(1, 1, 0));
  node(m, OpKind::kSigmoid, {c}, {s});
  const uint64_t scaled = m.inter({1, 6, 4, 4});
  node(m, OpKind::kMul, {s, m.weight({1, 6, 1, 1}, {640, 640, 200, 200, 1, 1})}, {scaled});
  const uint64_t head = m.inter({1, 6, 16});
  node(m, OpKind::kFlatten, {scaled}, {head});
  node(m, OpKind::kYoloNms, {head}, {m.output({8, 6}, "detections")},
       {attr(0, 8), attr(1, 0), attr_f32(4, 1.0f), attr_f32(5, 1.0f), attr_f32(6, 4096.0f),
        attr(13, 1), attr_f32(14, 0.3f), attr_f32(15, 0.5f)});
}

// conv -> ReLU -> max pool -> conv -> linear resize x2 -> transposed conv x2 -> sigmoid mask.
void segmenter(ModelBuilder& m) {
  const uint64_t x = m.input({1, 3, 12, 12}, "image");
  const uint64_t c1 = m.inter({1, 6, 12, 12}), r1 = m.inter({1, 6, 12, 12}), p = m.inter({1, 6, 6, 6});
  node(m, OpKind::kConv, {x, m.weight({6, 3, 3, 3}, values(162, 9, 0.5f)), m.weight({6}, values(6, 10))},
       {c1}, conv_attrs(3, 1, 1));
  node(m, OpKind::kRelu, {c1}, {r1});
  node(m, OpKind::kMaxPool, {r1}, {p}, {attr(0, 2), attr(1, 2), attr(2, 2), attr(3, 2)});
  const uint64_t c2 = m.inter({1, 4, 6, 6}), up = m.inter({1, 4, 12, 12});
  node(m, OpKind::kConv, {p, m.weight({4, 6, 3, 3}, values(216, 11, 0.5f)), m.weight({4}, values(4, 12))},
       {c2}, conv_attrs(3, 1, 1));
  node(m, OpKind::kResize, {c2}, {up}, {attr(12, 1)});
  const uint64_t t = m.inter({1, 2, 24, 24});
  node(m, OpKind::kConvTranspose, {up, m.weight({4, 2, 2, 2}, values(32, 13)), m.weight({2}, values(2, 14))},
       {t}, {attr(0, 2), attr(1, 2), attr(2, 2), attr(3, 2), attr(8, 1), attr(9, 1), attr(10, 1)});
  node(m, OpKind::kSigmoid, {t}, {m.output({1, 2, 24, 24}, "mask")});
}

// An image and a per-channel gain: conv(image) x gain + ReLU, two outputs.
void two_inputs(ModelBuilder& m) {
  const uint64_t x = m.input({1, 3, 8, 8}, "image");
  const uint64_t gain = m.input({1, 4, 1, 1}, "gain");
  const uint64_t c = m.inter({1, 4, 8, 8});
  node(m, OpKind::kConv, {x, m.weight({4, 3, 3, 3}, values(108, 15)), m.weight({4}, values(4, 16))},
       {c}, conv_attrs(3, 1, 1));
  const uint64_t y = m.output({1, 4, 8, 8}, "scaled");
  node(m, OpKind::kMul, {c, gain}, {y});
  node(m, OpKind::kRelu, {y}, {m.output({1, 4, 8, 8}, "activated")});
}

void multi_output(ModelBuilder& m) {
  build_affine(m, 3, 5, 4, {1.5f, -2.0f, 0.5f}, {0.25f, 1.0f, -3.0f});
}

struct RunResult {
  std::vector<Floats> outputs;
  uint32_t backend = 0;
  std::string error;
};

// Opens the model on `backend` and runs it once with the inputs bound by index.
RunResult run(const std::string& path, uint32_t backend, const std::vector<Floats>& inputs,
        uint32_t batch = 1) {
  RunResult r;
  SessionPtr s = new_session(backend);
  if (batch > 1) vexa_session_set_batch_size(s.get(), batch);
  if (open_path(s.get(), path) != 1) {
    r.error = session_message(s.get());
    return r;
  }
  InputPtr in = new_input();
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(vexa_input_set_f32(in.get(), static_cast<uint32_t>(i), inputs[i].data(),
                                 inputs[i].size(), 1),
              1);
  }
  OutputPtr out = new_output();
  if (vexa_session_run(s.get(), in.get(), out.get()) != 1) {
    r.error = session_message(s.get());
    return r;
  }
  for (uint32_t i = 0; i < vexa_output_tensor_count(out.get()); ++i) {
    r.outputs.push_back(tensor(out.get(), static_cast<int>(i)));
  }
  r.backend = vexa_output_backend_used(out.get());
  return r;
}

struct ModelCase {
  const char* name;
  void (*build)(ModelBuilder&);
  std::vector<uint64_t> input_sizes;
};

class SessionGpuModels : public ::testing::TestWithParam<ModelCase> {};

TEST_P(SessionGpuModels, GpuAndAutoMatchTheCpuEngine) {
  const ModelCase& c = GetParam();
  TempDir dir;
  ModelBuilder m;
  c.build(m);
  const std::string path = m.write(dir);
  std::vector<Floats> inputs;
  for (size_t i = 0; i < c.input_sizes.size(); ++i) {
    inputs.push_back(values(c.input_sizes[i], 100 + static_cast<uint32_t>(i), 2.0f));
  }
  const RunResult cpu = run(path, VEXA_BACKEND_CPU, inputs);
  ASSERT_TRUE(cpu.error.empty()) << cpu.error;
  ASSERT_EQ(cpu.backend, VEXA_BACKEND_CPU);
  for (uint32_t backend : {VEXA_BACKEND_GPU, VEXA_BACKEND_AUTO}) {
    SCOPED_TRACE(backend == VEXA_BACKEND_GPU ? "GPU" : "AUTO");
    const RunResult gpu = run(path, backend, inputs);
    ASSERT_TRUE(gpu.error.empty()) << gpu.error;
    EXPECT_EQ(gpu.backend, VEXA_BACKEND_GPU);
    ASSERT_EQ(gpu.outputs.size(), cpu.outputs.size());
    for (size_t i = 0; i < cpu.outputs.size(); ++i) {
      expect_close(gpu.outputs[i], cpu.outputs[i], kF32Tolerance, "output " + std::to_string(i));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SessionGpuModels,
    ::testing::Values(ModelCase{"classifier", classifier, {3 * 16 * 16}},
                      ModelCase{"detector", detector, {4 * 16}},
                      ModelCase{"segmenter", segmenter, {3 * 12 * 12}},
                      ModelCase{"multi_output", multi_output, {3 * 5 * 4}},
                      ModelCase{"two_inputs", two_inputs, {3 * 64, 4}}),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });

// The detector keeps some detections, so the comparison above is not of empty rows only.
TEST(SessionGpu, DetectorFindsBoxes) {
  TempDir dir;
  ModelBuilder m;
  detector(m);
  const RunResult r = run(m.write(dir), VEXA_BACKEND_GPU, {values(64, 100, 2.0f)});
  ASSERT_TRUE(r.error.empty()) << r.error;
  ASSERT_EQ(r.outputs.size(), 1u);
  EXPECT_GT(r.outputs[0][4], 0.3f);  // the first row's score
}

TEST(SessionGpu, BatchOfFourEqualsFourSingleRuns) {
  TempDir dir;
  ModelBuilder m;
  classifier(m);
  const std::string path = m.write(dir);
  const Floats batch = values(4 * 768, 200, 2.0f);
  for (uint32_t backend : {VEXA_BACKEND_GPU, VEXA_BACKEND_AUTO}) {
    const RunResult four = run(path, backend, {batch}, 4);
    ASSERT_TRUE(four.error.empty()) << four.error;
    EXPECT_EQ(four.backend, VEXA_BACKEND_GPU);
    ASSERT_EQ(four.outputs[0].size(), 40u);
    for (int k = 0; k < 4; ++k) {
      const Floats one(batch.begin() + k * 768, batch.begin() + (k + 1) * 768);
      const RunResult single = run(path, backend, {one});
      ASSERT_TRUE(single.error.empty()) << single.error;
      EXPECT_EQ(Floats(four.outputs[0].begin() + k * 10, four.outputs[0].begin() + (k + 1) * 10),
                single.outputs[0])
          << "sample " << k;
    }
  }
}

// A graph with an operator only the CPU engine runs: AUTO falls back to the CPU engine, an
// explicit GPU request fails with the backend's message.
TEST(SessionGpu, CpuOnlyOperatorFallsBackUnderAuto) {
  TempDir dir;
  ModelBuilder m;
  const uint64_t x = m.input({2, 3}, "x");
  const uint64_t r = m.inter({2, 3});
  node(m, OpKind::kRelu, {x}, {r});
  node(m, OpKind::kElu, {r}, {m.output({2, 3}, "y")}, {attr_f32(14, 1.0f)});
  const std::string path = m.write(dir);
  const Floats in = {1, -2, 3, -4, 5, -6};
  const RunResult autor = run(path, VEXA_BACKEND_AUTO, {in});
  ASSERT_TRUE(autor.error.empty()) << autor.error;
  EXPECT_EQ(autor.backend, VEXA_BACKEND_CPU);
  EXPECT_EQ(autor.outputs[0], (Floats{1, 0, 3, 0, 5, 0}));

  SessionPtr s = new_session(VEXA_BACKEND_GPU);
  EXPECT_EQ(open_path(s.get(), path), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 12u);
  EXPECT_EQ(session_message(s.get()), "unsupported op in MPS backend");
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_GPU), 0);
  EXPECT_EQ(session_message(s.get()), "Unsupported operators for requested backend: node_1:Elu");
}

TEST(SessionGpu, PrecisionSettings) {
  TempDir dir;
  ModelBuilder m;
  classifier(m);
  const std::string path = m.write(dir);
  const Floats in = values(768, 300, 2.0f);
  const RunResult cpu = run(path, VEXA_BACKEND_CPU, {in});
  ASSERT_TRUE(cpu.error.empty()) << cpu.error;
  {
    // f16 compute on the GPU backend.
    setenv("VEXA_PRECISION_GPU_METAL", "f16:fast", 1);
    const RunResult half = run(path, VEXA_BACKEND_GPU, {in});
    unsetenv("VEXA_PRECISION_GPU_METAL");
    ASSERT_TRUE(half.error.empty()) << half.error;
    EXPECT_EQ(half.backend, VEXA_BACKEND_GPU);
    expect_close(half.outputs[0], cpu.outputs[0], kF16Tolerance, "f16:fast");
  }
  // A precision the GPU backend lacks fails an explicit request; AUTO builds for the Neural
  // Engine first, which consults no precision, and runs on the GPU.
  setenv("VEXA_PRECISION_GPU_METAL", "int8", 1);
  const RunResult refused = run(path, VEXA_BACKEND_GPU, {in});
  const RunResult autor = run(path, VEXA_BACKEND_AUTO, {in});
  unsetenv("VEXA_PRECISION_GPU_METAL");
  EXPECT_EQ(refused.error, "precision.gpu=int8 is not available on the Apple GPU yet");
  ASSERT_TRUE(autor.error.empty()) << autor.error;
  EXPECT_EQ(autor.backend, VEXA_BACKEND_GPU);
  expect_close(autor.outputs[0], cpu.outputs[0], kF32Tolerance, "auto");
}

// The Neural Engine through the test hook: AUTO and NPU run the model in f16; a model that
// cannot be compiled for it (weights fed at run time) falls back to the GPU under AUTO and
// fails an NPU request.
TEST(SessionGpu, NeuralEngineThroughTheTestHook) {
  TempDir dir;
  ModelBuilder m;
  segmenter(m);
  const std::string path = m.write(dir);
  const Floats in = values(3 * 144, 400, 2.0f);
  const RunResult cpu = run(path, VEXA_BACKEND_CPU, {in});
  ASSERT_TRUE(cpu.error.empty()) << cpu.error;
  vexa::graph_set_neural_engine_present_for_testing(true);
  EXPECT_EQ(vexa_probe_backend(nullptr, VEXA_BACKEND_NPU), 1);
  for (uint32_t backend : {VEXA_BACKEND_AUTO, VEXA_BACKEND_NPU}) {
    const RunResult ne = run(path, backend, {in});
    ASSERT_TRUE(ne.error.empty()) << ne.error;
    EXPECT_EQ(ne.backend, VEXA_BACKEND_NPU);
    expect_close(ne.outputs[0], cpu.outputs[0], kF16Tolerance, "neural engine");
  }
  // Explicit GPU stays on the GPU.
  const RunResult gpu = run(path, VEXA_BACKEND_GPU, {in});
  EXPECT_EQ(gpu.backend, VEXA_BACKEND_GPU);
  setenv("VEXA_MPS_FEED_WEIGHTS", "1", 1);
  setenv("VEXA_MPS_FEED_MIN", "0", 1);
  const RunResult fallback = run(path, VEXA_BACKEND_AUTO, {in});
  const RunResult refused = run(path, VEXA_BACKEND_NPU, {in});
  unsetenv("VEXA_MPS_FEED_WEIGHTS");
  unsetenv("VEXA_MPS_FEED_MIN");
  vexa::graph_set_neural_engine_present_for_testing(false);
  ASSERT_TRUE(fallback.error.empty()) << fallback.error;
  EXPECT_EQ(fallback.backend, VEXA_BACKEND_GPU);
  expect_close(fallback.outputs[0], cpu.outputs[0], kF32Tolerance, "fallback");
  EXPECT_EQ(refused.error, "NPU compilation failed for this model");
  EXPECT_EQ(vexa_probe_backend(nullptr, VEXA_BACKEND_NPU), 0);
}

// A run the engine fails is an engine failure (code 14) with no output tensors, never a success
// over the previous request's values.
TEST(SessionGpu, FailedRunIsCode14WithNoOutputs) {
  TempDir dir;
  ModelBuilder m;
  classifier(m);
  const std::string path = m.write(dir);
  SessionPtr s = new_session(VEXA_BACKEND_GPU);
  ASSERT_EQ(open_path(s.get(), path), 1) << session_message(s.get());
  const Floats in = values(768, 500);
  InputPtr input = new_input();
  ASSERT_EQ(vexa_input_set_f32(input.get(), 0, in.data(), in.size(), 1), 1);
  OutputPtr out = new_output();
  ASSERT_EQ(vexa_session_run(s.get(), input.get(), out.get()), 1) << session_message(s.get());
  ASSERT_EQ(vexa_output_tensor_count(out.get()), 1u);
  // Break the engine's input view so the graph library fails the next run.
  vexa::MpsState* engine = rec(s.get())->graph_engine;
  ASSERT_NE(engine, nullptr);
  const vexa::GraphTensor ph = engine->inputs[0].placeholder;
  engine->feeds[ph] = vexa::GraphTensorData(
      vexa::device_system_default()->new_buffer(16, vexa::StorageMode::kShared),
      engine->feeds[ph].shape(), vexa::DeviceDataType::kFloat32);
  EXPECT_EQ(vexa_session_run(s.get(), input.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 14u);
  EXPECT_EQ(session_message(s.get()), "GPU/NPU graph execution failed");
  EXPECT_EQ(vexa_output_tensor_count(out.get()), 0u);
  EXPECT_EQ(vexa_output_f32_ptr(out.get(), 0), nullptr);
}

}  // namespace
