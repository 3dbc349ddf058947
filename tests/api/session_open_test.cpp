// Opening models: backend choice and its refusals, backend checks, weight verification, the
// unload / reload / reset lifecycle and the busy flag.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/api_test_util.h"
#include "api/session_test_util.h"
#include "core/atomics.h"
#include "core/container_digest.h"
#include "cpu/cpu_state.h"

using namespace vexa_test;

namespace {

std::string affine_model(const TempDir& dir, void (*meta)(vexa::ContainerWriter&) = nullptr) {
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 2, 3}, {0.5f, -1.0f, 0.0f});
  if (meta != nullptr) meta(m.writer());
  return m.write(dir);
}

// x + zero, then Shape of the sum: the CPU engine has no Shape operator.
std::string shape_model(const TempDir& dir) {
  ModelBuilder m;
  const uint64_t x = m.input({1, 4}, "x");
  const uint64_t zero = m.weight({1}, {0.0f});
  const uint64_t y = m.output({1, 4}, "y");
  const uint64_t shape = m.output({2}, "shape", 3);
  m.node(vexa::OpKind::kAdd, {x, zero}, {y});
  m.node(vexa::OpKind::kShape, {y}, {shape});
  return m.write(dir);
}

std::string two_input_model(const TempDir& dir) {
  ModelBuilder m;
  const uint64_t a = m.input({1, 4}, "a");
  const uint64_t b = m.input({1, 4}, "b");
  const uint64_t y = m.output({1, 4}, "y");
  m.node(vexa::OpKind::kAdd, {a, b}, {y});
  return m.write(dir);
}

// Runs the affine model on 12 values 0..11 and returns output 0.
std::vector<float> run_affine(vexa_session* s) {
  std::vector<float> x(12);
  for (int i = 0; i < 12; ++i) x[i] = static_cast<float>(i);
  InputPtr in = new_input();
  OutputPtr out = new_output();
  EXPECT_EQ(vexa_input_set_f32(in.get(), 0, x.data(), x.size(), 0), 1);
  if (vexa_session_run(s, in.get(), out.get()) != 1) return {};
  const float* p = vexa_output_f32_ptr(out.get(), 0);
  return std::vector<float>(p, p + vexa_output_elem_count(out.get(), 0));
}

std::vector<float> affine_expected() {
  const float scale[3] = {1, 2, 3};
  const float bias[3] = {0.5f, -1.0f, 0.0f};
  std::vector<float> y(12);
  for (int i = 0; i < 12; ++i) y[i] = static_cast<float>(i) * scale[i / 4] + bias[i / 4];
  return y;
}

}  // namespace

// AUTO takes the GPU backend unless the model prefers the CPU (the device has no Neural
// Engine, so a Neural Engine preference ends on the GPU too).
TEST(SessionOpen, AutoTakesTheGpuUnlessTheModelPrefersTheCpu) {
  struct Case {
    void (*meta)(vexa::ContainerWriter&);
    uint32_t backend;
  };
  const Case cases[] = {
      {nullptr, VEXA_BACKEND_GPU},
      {[](vexa::ContainerWriter& w) { w.set_meta_string("default_backend", "cpu"); },
       VEXA_BACKEND_CPU},
      {[](vexa::ContainerWriter& w) { w.set_meta_string("default_backend", "gpu"); },
       VEXA_BACKEND_GPU},
      {[](vexa::ContainerWriter& w) { w.set_meta_string("backend", "ane"); }, VEXA_BACKEND_GPU},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = affine_model(dir, c.meta);
    SessionPtr s = new_session(VEXA_BACKEND_AUTO);
    ASSERT_EQ(open_path(s.get(), path), 1) << session_message(s.get());
    EXPECT_EQ(vexa_session_error_code(s.get()), 0u);
    EXPECT_EQ(vexa_session_active_backend(s.get()), c.backend);
    EXPECT_EQ(run_affine(s.get()), affine_expected());
  }
  // A backend value the session stored unchecked is no AUTO request: with no graph-engine
  // request, the model is built for the CPU engine.
  for (uint32_t stored : {4u, 7u, 0xFFFFFFFFu}) {
    TempDir dir;
    const std::string path = affine_model(dir);
    SessionPtr s = new_session(VEXA_BACKEND_AUTO);
    vexa_session_set_backend(s.get(), stored);
    EXPECT_EQ(vexa_session_requested_backend(s.get()), stored);
    ASSERT_EQ(open_path(s.get(), path), 1) << session_message(s.get());
    EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_CPU) << stored;
    EXPECT_EQ(run_affine(s.get()), affine_expected());
  }
}

// An explicit GPU request runs single- and multi-input graphs on the GPU backend.
TEST(SessionOpen, ExplicitGpuRunsSingleAndMultiInputGraphs) {
  TempDir dir;
  const std::string one = affine_model(dir);
  TempDir dir2;
  const std::string two = two_input_model(dir2);
  for (const std::string* path : {&one, &two}) {
    SessionPtr s = new_session(VEXA_BACKEND_GPU);
    ASSERT_EQ(open_path(s.get(), *path), 1) << session_message(s.get());
    EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_GPU);
  }
}

// An explicit NPU request fails: the Neural Engine takes one f32 input, and this device has no
// Neural Engine to compile for.
TEST(SessionOpen, ExplicitNpuIsUnavailable) {
  TempDir dir;
  const std::string one = affine_model(dir);
  TempDir dir2;
  const std::string two = two_input_model(dir2);
  struct Case {
    uint32_t backend;
    const std::string* path;
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {VEXA_BACKEND_NPU, &one, 8, "NPU compilation failed for this model"},
      {VEXA_BACKEND_NPU, &two, 12,
       "The NE backend requires a single F32 input tensor; use GPU, CPU or AUTO for multi-input "
       "or I64/F16/U8 inputs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    SessionPtr s = new_session(c.backend);
    EXPECT_EQ(open_path(s.get(), *c.path), 0);
    EXPECT_EQ(vexa_session_error_code(s.get()), c.code);
    EXPECT_EQ(session_message(s.get()), c.message);
    EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
    // The failed open leaves the model inspected.
    EXPECT_EQ(vexa_session_subgraph_count(s.get()), 1);
    vexa_session_set_backend(s.get(), VEXA_BACKEND_CPU);
    EXPECT_EQ(vexa_session_reload(s.get()), 1) << session_message(s.get());
    EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_CPU);
  }
}

// When no GPU slot can be made, an explicit GPU or NPU request fails with code 8 and AUTO goes
// on with host memory on the CPU engine, without an error.
TEST(SessionOpen, GpuSlotFailure) {
  TempDir dir;
  const std::string one = affine_model(dir);
  setenv("VEXA_TEST_FAULTS", "gpu.weights", 1);
  for (uint32_t backend : {VEXA_BACKEND_GPU, VEXA_BACKEND_NPU}) {
    SessionPtr s = new_session(backend);
    EXPECT_EQ(open_path(s.get(), one), 0);
    EXPECT_EQ(vexa_session_error_code(s.get()), 8u);
    EXPECT_EQ(session_message(s.get()), "GPU/NPU slot allocation failed");
    EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
  }
  SessionPtr s = new_session(VEXA_BACKEND_AUTO);
  EXPECT_EQ(open_path(s.get(), one), 1) << session_message(s.get());
  EXPECT_EQ(vexa_session_error_code(s.get()), 0u);
  EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_CPU);
  EXPECT_EQ(run_affine(s.get()), affine_expected());
  unsetenv("VEXA_TEST_FAULTS");
}

TEST(SessionOpen, CheckBackend) {
  TempDir dir;
  const std::string path = shape_model(dir);
  SessionPtr s = new_session();
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_CPU), 0);
  EXPECT_EQ(session_message(s.get()), "Call inspect or open before check_backend");
  ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1);
  EXPECT_EQ(vexa_session_check_backend(s.get(), 4), 0);
  EXPECT_EQ(session_message(s.get()), "Invalid backend constant");
  // The device has no Neural Engine; its GPU runs Add but not Shape.
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_NPU), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 8u);
  EXPECT_EQ(session_message(s.get()), "Requested hardware backend is unavailable on this device");
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_GPU), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 12u);
  EXPECT_EQ(session_message(s.get()), "Unsupported operators for requested backend: node_1:Shape");
  for (uint32_t b : {VEXA_BACKEND_CPU, VEXA_BACKEND_AUTO}) {
    EXPECT_EQ(vexa_session_check_backend(s.get(), b), 0);
    EXPECT_EQ(vexa_session_error_code(s.get()), 12u);
    EXPECT_EQ(session_message(s.get()), "Unsupported operators for requested backend: node_1:Shape");
  }
  // Building the engine refuses the graph as an invalid model; the session stays inspected.
  EXPECT_EQ(open_path(s.get(), path), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 3u);
  EXPECT_EQ(vexa_session_subgraph_count(s.get()), 1);

  TempDir dir2;
  const std::string good = affine_model(dir2);
  ASSERT_EQ(vexa_session_inspect(s.get(), good.data(), good.size()), 1);
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_CPU), 1);
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_AUTO), 1);
  EXPECT_EQ(vexa_session_error_code(s.get()), 0u);
}

TEST(SessionOpen, EngineOutOfMemoryIsNotAnInvalidModel) {
  TempDir dir;
  const std::string path = affine_model(dir);
  const struct {
    uint32_t nth;
    const char* message;
  } cases[] = {
      {1, "out of memory allocating CpuState"},
      {2, "out of memory allocating ArenaPlanner"},
      {3, "out of memory allocating CPU activation arena"},
  };
  for (const auto& c : cases) {
    SessionPtr s = new_session(VEXA_BACKEND_CPU);
    vexa::cpu::cpu_fail_allocation_for_testing(c.nth);
    EXPECT_EQ(open_path(s.get(), path), 0);
    vexa::cpu::cpu_fail_allocation_for_testing(0);
    EXPECT_EQ(vexa_session_error_code(s.get()), 7u) << c.nth;
    EXPECT_EQ(session_message(s.get()), c.message);
    EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
    ASSERT_EQ(vexa_session_reload(s.get()), 1) << session_message(s.get());
    EXPECT_EQ(run_affine(s.get()), affine_expected());
  }
}

TEST(SessionOpen, VerificationCatchesOneFlippedWeightByte) {
  TempDir dir;
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 2, 3}, {0.5f, -1.0f, 0.0f});
  std::vector<uint8_t> bytes = m.bytes();
  vexa::ContainerHeader h;
  std::memcpy(&h, bytes.data(), sizeof h);
  // The scale of channel 1 (2.0f) becomes another float.
  bytes[h.weights_offset + 4 + 3] ^= 0x01;
  vexa::container_seal_plain(bytes.data(), bytes.size());
  const std::string path = dir.file("flipped.vexa");
  ModelBuilder::write_bytes(path, bytes);

  SessionPtr checked = new_session(VEXA_BACKEND_AUTO, true);
  EXPECT_EQ(open_path(checked.get(), path), 0);
  EXPECT_EQ(vexa_session_error_code(checked.get()), 13u);
  EXPECT_EQ(session_message(checked.get()), "Weight tensor XXH3-128 hash verification failed");
  EXPECT_EQ(vexa_session_active_backend(checked.get()), 0u);

  SessionPtr unchecked = new_session(VEXA_BACKEND_AUTO, false);
  ASSERT_EQ(open_path(unchecked.get(), path), 1);
  EXPECT_NE(run_affine(unchecked.get()), affine_expected());

  TempDir dir2;
  SessionPtr clean = new_session(VEXA_BACKEND_AUTO, true);
  ASSERT_EQ(open_path(clean.get(), affine_model(dir2)), 1) << session_message(clean.get());
  EXPECT_EQ(run_affine(clean.get()), affine_expected());
}

TEST(SessionOpen, UnloadReloadCycles) {
  TempDir dir;
  const std::string path = affine_model(dir);
  SessionPtr never = new_session();
  EXPECT_EQ(vexa_session_reload(never.get()), 0);
  EXPECT_EQ(session_message(never.get()), "Cannot reload a Session that was never opened");

  SessionPtr s = new_session();
  ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1);
  EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
  ASSERT_EQ(vexa_session_reload(s.get()), 1);  // inspected only: reload builds the engine
  EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_GPU);
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    EXPECT_EQ(run_affine(s.get()), affine_expected());
    ASSERT_EQ(vexa_session_unload(s.get()), 1);
    EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
    EXPECT_EQ(vexa_session_input_count(s.get()), 1u);  // model information stays
    InputPtr in = new_input();
    OutputPtr out = new_output();
    const float x[12] = {};
    vexa_input_set_f32(in.get(), 0, x, 12, 1);
    EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
    EXPECT_EQ(session_message(s.get()), "Session is not opened (or was unloaded)");
    ASSERT_EQ(vexa_session_reload(s.get()), 1) << session_message(s.get());
    EXPECT_EQ(vexa_session_reload(s.get()), 1);  // already open: nothing changes
  }
  EXPECT_EQ(vexa_session_reset(s.get()), 1);
  EXPECT_EQ(run_affine(s.get()), affine_expected());

  // Open by descriptor: unload and reload rebuild from the container's own descriptor.
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 2, 3}, {0.5f, -1.0f, 0.0f});
  const std::vector<uint8_t> bytes = m.bytes();
  const std::string fd_path = dir.file("fd.vexa");
  ModelBuilder::write_bytes(fd_path, bytes);
  const int fd = ::open(fd_path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  SessionPtr f = new_session();
  vexa_session_set_warmup(f.get(), 1);
  ASSERT_EQ(vexa_session_open_fd(f.get(), fd, 0, bytes.size()), 1);
  ::close(fd);
  ASSERT_EQ(vexa_session_unload(f.get()), 1);
  ASSERT_EQ(vexa_session_reload(f.get()), 1) << session_message(f.get());
  EXPECT_EQ(run_affine(f.get()), affine_expected());

  // A second open replaces the first model entirely.
  TempDir dir3;
  ASSERT_EQ(open_path(s.get(), shape_model(dir3)), 0);
  EXPECT_EQ(vexa_session_output_count(s.get()), 2u);
  EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
}

// Every lifecycle call refuses while another operation holds the session.
TEST(SessionOpen, BusySessionRefusesEveryOperation) {
  TempDir dir;
  const std::string path = affine_model(dir);
  SessionPtr s = new_session();
  ASSERT_EQ(open_path(s.get(), path), 1);
  vexa::atomic_store_u32(&rec(s.get())->busy, 1, vexa::kOrderRelease);
  EXPECT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
  EXPECT_EQ(session_message(s.get()), "Session is busy");
  EXPECT_EQ(open_path(s.get(), path), 0);
  EXPECT_EQ(vexa_session_unload(s.get()), 0);
  EXPECT_EQ(vexa_session_reload(s.get()), 0);
  EXPECT_EQ(vexa_session_reset(s.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
  InputPtr in = new_input();
  OutputPtr out = new_output();
  const float x[12] = {};
  vexa_input_set_f32(in.get(), 0, x, 12, 1);
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(session_message(s.get()), "Session is already executing an operation");
  // The engine is untouched by the refused calls.
  EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_GPU);
  vexa::atomic_store_u32(&rec(s.get())->busy, 0, vexa::kOrderRelease);
  EXPECT_EQ(run_affine(s.get()), affine_expected());
}

// The warm-up writes the engine's f32 output into a buffer sized for it, not for the declared
// (narrower) type; a batch that scales an output the descriptor does not is covered too.
TEST(SessionOpen, WarmupBuffersHoldTheEngineOutput) {
  TempDir dir;
  ModelBuilder m;
  const uint64_t x = m.input({1, 3, 64, 64}, "x", 5);
  const uint64_t one = m.weight({1}, {1.0f});
  const uint64_t y = m.output({1, 3, 64, 64}, "y", 5);
  m.node(vexa::OpKind::kMul, {x, one}, {y});
  const std::string path = m.write(dir);
  SessionPtr s = new_session();
  vexa_session_set_warmup(s.get(), 1);
  ASSERT_EQ(open_path(s.get(), path), 1) << session_message(s.get());
  vexa_session_set_batch_size(s.get(), 2);
  ASSERT_EQ(open_path(s.get(), path), 1) << session_message(s.get());
}
