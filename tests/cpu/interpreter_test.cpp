// Interpreter and state entry points: input/output copies, cancellation, value dumps,
// profile lines, batching, output tables and precision refusals.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpu/op_table.h"
#include "cpu/precision_gate.h"
#include "cpu_graph_fixture.h"
#include "tests/support/scoped_env.h"

namespace vexa::cpu {
namespace {

using graph_test::GraphModel;
using graph_test::StateHolder;
using vexa::testing::ScopedEnv;

std::string make_temp_dir() {
  char tmpl[] = "/tmp/vexa-cpu-test-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  return dir ? dir : "";
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

void remove_dir(const std::string& dir) {
  for (const std::string& n : list_dir(dir)) std::remove((dir + "/" + n).c_str());
  rmdir(dir.c_str());
}

// Relu chain: in -> x -> y -> out (three nodes).
struct Chain {
  GraphModel g;
  uint64_t in, x, y, out;
  explicit Chain(uint64_t n = 4) {
    in = g.input({1, n});
    x = g.inter({1, n});
    y = g.inter({1, n});
    out = g.output({1, n});
    g.node(OpKind::kNeg, {in}, {x});
    g.node(OpKind::kNeg, {x}, {y});
    g.node(OpKind::kAbs, {y}, {out});
  }
};

TEST(CpuInterpreter, RunCopiesInputAndFirstOutput) {
  Chain c;
  ASSERT_TRUE(c.g.open());
  StateHolder s(c.g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const std::vector<float> in = {-1, 2, -3, 4};
  std::vector<float> out(4);
  ASSERT_TRUE(cpu_run(s.handle(), in.data(), out.data()));
  EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(cpu_output_count(s.handle()), 1u);
  EXPECT_EQ(cpu_output_data(s.handle(), 0)[3], 4.0f);
  EXPECT_EQ(cpu_output_data(s.handle(), 1), nullptr);
  // A null input reuses what cpu_set_input placed.
  const std::vector<float> other = {5, -6, 7, -8};
  ASSERT_TRUE(cpu_set_input(s.handle(), c.in, other.data(), 16));
  ASSERT_TRUE(cpu_run(s.handle(), nullptr, out.data()));
  EXPECT_EQ(out, (std::vector<float>{5, 6, 7, 8}));
}

TEST(CpuInterpreter, EmptySlotDoesNothing) {
  CpuState* empty = nullptr;
  std::vector<float> buf(4);
  EXPECT_FALSE(cpu_run(&empty, buf.data(), buf.data()));
  EXPECT_FALSE(cpu_run_batch(&empty, 1, buf.data(), buf.data()));
  EXPECT_EQ(cpu_output_count(&empty), 0u);
  EXPECT_EQ(cpu_output_data(&empty, 0), nullptr);
  EXPECT_FALSE(cpu_set_input(&empty, 0, buf.data(), 4));
  cpu_set_context(&empty, nullptr);
  cpu_state_destroy(&empty);
  cpu_state_destroy(nullptr);
}

TEST(CpuInterpreter, SetInputRefusesWeightsAndOversizedCopies) {
  GraphModel g;
  const uint64_t in = g.input({1, 3});
  const uint64_t w = g.weight({1, 3}, {1, 2, 3});
  const uint64_t out = g.output({1, 3});
  g.node(OpKind::kAdd, {in, w}, {out});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const float src[4] = {9, 9, 9, 9};
  EXPECT_FALSE(cpu_set_input(s.handle(), w, src, 12));
  EXPECT_FALSE(cpu_set_input(s.handle(), in, src, 13));
  EXPECT_FALSE(cpu_set_input(s.handle(), out, src, 12));
  EXPECT_FALSE(cpu_set_input(s.handle(), 99, src, 4));
  EXPECT_FALSE(cpu_set_input(s.handle(), in, nullptr, 4));
  EXPECT_TRUE(cpu_set_input(s.handle(), in, src, 12));
  EXPECT_TRUE(cpu_set_input(s.handle(), in, src, 4));
}

// Graph inputs and outputs stored as i64, u8 or f16 still take and give one f32 per element:
// the run's buffers are f32, whatever byte size the model records.
TEST(CpuInterpreter, InputAndOutputCopiesUseFourBytesPerElement) {
  for (uint64_t dtype : {kDtypeI64, kDtypeU8, kDtypeF16}) {
    GraphModel g;
    const uint64_t in = g.value(kValueGraphInput, {1, 5}, dtype);
    const uint64_t out = g.value(kValueGraphOutput, {1, 5}, dtype);
    g.node(OpKind::kNeg, {in}, {out});
    ASSERT_TRUE(g.open());
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok()) << s.message();
    auto input = std::make_unique<float[]>(5);
    auto output = std::make_unique<float[]>(5);
    for (int i = 0; i < 5; ++i) input[i] = 100.0f + i;
    ASSERT_TRUE(cpu_run(s.handle(), input.get(), output.get()));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(output[i], -100.0f - i) << "dtype " << dtype;
    EXPECT_TRUE(cpu_set_input(s.handle(), in, input.get(), 20));
    EXPECT_FALSE(cpu_set_input(s.handle(), in, input.get(), 21));
  }
}

TEST(CpuInterpreter, InputCopyNeverWritesIntoWeights) {
  // No graph input: value 0 is a weight, and the caller's bytes must go nowhere.
  GraphModel g;
  const uint64_t w = g.weight({4}, {1, -2, 3, -4});
  const uint64_t out = g.output({4});
  g.node(OpKind::kAbs, {w}, {out});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  std::vector<uint8_t> before(g.weights(), g.weights() + g.weight_bytes());
  const std::vector<float> junk(64, 7.0f);
  std::vector<float> y(4);
  ASSERT_TRUE(cpu_run(s.handle(), junk.data(), y.data()));
  EXPECT_EQ(y, (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(0, std::memcmp(before.data(), g.weights(), before.size()));
  EXPECT_FALSE(cpu_set_input(s.handle(), w, junk.data(), 4));
}

TEST(CpuInterpreter, CancelledBeforeTheFirstNodeRunsNothing) {
  Chain c;
  ASSERT_TRUE(c.g.open());
  StateHolder s(c.g.create());
  ASSERT_TRUE(s.ok());
  uint32_t flag = 1;
  cpu_set_context(s.handle(), &flag);
  const std::vector<float> in = {1, 2, 3, 4};
  std::vector<float> out(4, -7.0f);
  EXPECT_FALSE(cpu_run(s.handle(), in.data(), out.data()));
  EXPECT_EQ(out, std::vector<float>(4, -7.0f));
  EXPECT_EQ(s.state()->data[c.x][0], 0.0f);
  flag = 0;
  EXPECT_TRUE(cpu_run(s.handle(), in.data(), out.data()));
  EXPECT_EQ(out, in);
}

TEST(CpuInterpreter, CancelFlagIsReadBeforeEveryNode) {
  // The flag word is the first element of x: zero until the first node writes -1.0 there,
  // so the run stops before the second node.
  Chain c;
  ASSERT_TRUE(c.g.open());
  StateHolder s(c.g.create());
  ASSERT_TRUE(s.ok());
  cpu_set_context(s.handle(), reinterpret_cast<const uint32_t*>(s.state()->data[c.x]));
  const std::vector<float> in = {1, 2, 3, 4};
  std::vector<float> out(4, -7.0f);
  EXPECT_FALSE(cpu_run(s.handle(), in.data(), out.data()));
  EXPECT_EQ(s.state()->data[c.x][1], -2.0f);
  EXPECT_EQ(s.state()->data[c.y][1], 0.0f);
  EXPECT_EQ(out[0], -7.0f);
}

TEST(CpuInterpreter, ValueDumpsOneFilePerProducedValue) {
  const std::string dir = make_temp_dir();
  ASSERT_FALSE(dir.empty());
  GraphModel g;
  const uint64_t in = g.input({1, 3});
  const uint64_t out = g.output({1, 3});
  g.node(OpKind::kRelu, {in}, {out});
  ASSERT_TRUE(g.open());
  std::unique_ptr<StateHolder> s;
  {
    ScopedEnv env("VEXA_CPU_DUMP", dir.c_str());
    s = std::make_unique<StateHolder>(g.create());
  }
  ASSERT_TRUE(s->ok());
  // Read when the state was built; the run itself does not consult the environment.
  const std::vector<float> x = {-1, 0.5f, 2};
  std::vector<float> y(3);
  ASSERT_TRUE(cpu_run(s->handle(), x.data(), y.data()));
  const std::string name = "v" + std::to_string(out) + ".f32";
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{name});
  std::ifstream f(dir + "/" + name, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 12u);
  float dumped[3];
  std::memcpy(dumped, bytes.data(), 12);
  EXPECT_EQ(dumped[0], 0.0f);
  EXPECT_EQ(dumped[2], 2.0f);
  remove_dir(dir);

  // A directory that does not exist: the run succeeds and writes nothing.
  ScopedEnv env("VEXA_CPU_DUMP", "/nonexistent/vexa-dump-dir");
  StateHolder s2(g.create());
  ASSERT_TRUE(s2.ok());
  EXPECT_TRUE(cpu_run(s2.handle(), x.data(), y.data()));
}

// Captures what the process writes to standard error while alive.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(2);
    file_ = std::tmpfile();
    dup2(fileno(file_), 2);
  }
  std::string finish() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    std::string text;
    std::rewind(file_);
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
    std::fclose(file_);
    return text;
  }

 private:
  int saved_;
  FILE* file_;
};

TEST(CpuInterpreter, ProfileLinesOnePerKindInKindOrder) {
  GraphModel g;
  const uint64_t in = g.input({1, 8});
  const uint64_t a = g.inter({1, 8});
  const uint64_t b = g.inter({1, 8});
  const uint64_t out = g.output({1, 8});
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kRelu, {a}, {b});
  g.node(OpKind::kAdd, {a, b}, {out});
  ASSERT_TRUE(g.open());
  std::unique_ptr<StateHolder> s;
  {
    ScopedEnv env("VEXA_CPU_PROFILE", "");
    s = std::make_unique<StateHolder>(g.create());
  }
  ASSERT_TRUE(s->ok());
  std::vector<float> x(8, 1.0f), y(8);
  StderrCapture capture;
  const bool ran = cpu_run(s->handle(), x.data(), y.data());
  const std::string text = capture.finish();
  ASSERT_TRUE(ran);
  const size_t add = text.find("cpuprof op=Add n=1 ms=");
  const size_t relu = text.find("cpuprof op=Relu n=2 ms=");
  ASSERT_NE(add, std::string::npos) << text;
  ASSERT_NE(relu, std::string::npos) << text;
  EXPECT_LT(add, relu);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);

  StateHolder quiet(g.create());
  StderrCapture none;
  ASSERT_TRUE(cpu_run(quiet.handle(), x.data(), y.data()));
  EXPECT_EQ(none.finish(), "");
}

TEST(CpuInterpreter, BatchScalesShapesAndRunsOnce) {
  GraphModel g;
  const uint64_t in = g.input({1, 4});
  const uint64_t w = g.weight({1, 4}, {1, 2, 3, 4});
  const uint64_t out = g.output({1, 4});
  g.node(OpKind::kMul, {in, w}, {out});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create(3));
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(s.state()->batch, 3u);
  EXPECT_EQ(s.state()->values[in].dim(0), 3u);
  EXPECT_EQ(s.state()->values[out].element_count(), 12u);
  EXPECT_EQ(s.state()->values[w].dim(0), 1u);
  std::vector<float> x(12), y(12);
  for (int i = 0; i < 12; ++i) x[i] = static_cast<float>(i);
  ASSERT_TRUE(cpu_run_batch(s.handle(), 3, x.data(), y.data()));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(y[i], x[i] * static_cast<float>(i % 4 + 1));
  EXPECT_FALSE(cpu_run_batch(s.handle(), 2, x.data(), y.data()));
  EXPECT_FALSE(cpu_run_batch(s.handle(), 0, x.data(), y.data()));
}

TEST(CpuInterpreter, GraphThatCannotTakeTheBatchRunsOneItemPerChunk) {
  // Scaling the input to 3 rows would break the broadcast against the 2-row weight.
  GraphModel g;
  const uint64_t in = g.input({1, 4});
  const uint64_t w = g.weight({2, 4}, {1, 1, 1, 1, 2, 2, 2, 2});
  const uint64_t out = g.output({2, 4});
  g.node(OpKind::kMul, {in, w}, {out});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create(3));
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(s.state()->batch, 1u);
  EXPECT_EQ(s.state()->values[in].dim(0), 1u);
  std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::vector<float> y(24, -1.0f);
  ASSERT_TRUE(cpu_run_batch(s.handle(), 3, x.data(), y.data()));
  for (int item = 0; item < 3; ++item) {
    for (int r = 0; r < 2; ++r) {
      for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(y[item * 8 + r * 4 + k], x[item * 4 + k] * static_cast<float>(r + 1));
      }
    }
  }
}

TEST(CpuInterpreter, StoredBatchIsKept) {
  GraphModel g;
  const uint64_t in = g.input({8, 2});
  const uint64_t out = g.output({8, 2});
  g.node(OpKind::kNeg, {in}, {out});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create(4));
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.state()->batch, 8u);
  EXPECT_EQ(s.state()->values[in].element_count(), 16u);
}

TEST(CpuInterpreter, AtMostSixtyFourOutputsAreRecorded) {
  GraphModel g;
  const uint64_t in = g.input({1, 2});
  std::vector<uint64_t> outs;
  for (int i = 0; i < 70; ++i) outs.push_back(g.output({1, 2}));
  for (uint64_t o : outs) g.node(OpKind::kNeg, {in}, {o});
  ASSERT_TRUE(g.open());
  StateHolder s(g.create());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(cpu_output_count(s.handle()), 64u);
  EXPECT_EQ(cpu_output_data(s.handle(), 64), nullptr);
  const float x[2] = {3, -4};
  ASSERT_TRUE(cpu_run(s.handle(), x, nullptr));
  EXPECT_EQ(cpu_output_data(s.handle(), 63)[1], 4.0f);
  EXPECT_EQ(cpu_output_data(s.handle(), 63), s.state()->data[outs[63]]);
}

TEST(CpuInterpreter, ThreadCountsGiveIdenticalBytes) {
  GraphModel g;
  const uint64_t in = g.input({1, 32, 128, 128});
  const uint64_t a = g.inter({1, 32, 128, 128});
  const uint64_t b = g.inter({1, 32, 128, 128});
  const uint64_t out = g.output({1, 32, 128, 128});
  g.node(OpKind::kSigmoid, {in}, {a});
  g.node(OpKind::kAdd, {a, in}, {b});
  g.node(OpKind::kMul, {b, a}, {out});
  ASSERT_TRUE(g.open());
  const size_t n = 32 * 128 * 128;
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = std::sin(static_cast<float>(i) * 0.01f) * 5.0f;
  std::vector<std::vector<float>> results;
  for (uint32_t threads : {1u, 2u, 8u}) {
    StateHolder s(g.create(1, threads));
    ASSERT_TRUE(s.ok());
    results.emplace_back(n);
    ASSERT_TRUE(cpu_run(s.handle(), x.data(), results.back().data()));
  }
  EXPECT_EQ(0, std::memcmp(results[0].data(), results[1].data(), n * 4));
  EXPECT_EQ(0, std::memcmp(results[0].data(), results[2].data(), n * 4));
}

// The whole engine, convolutions and products included, splits work by size alone.
TEST(CpuInterpreter, ThreadCountsGiveIdenticalBytesOnASmallConvNet) {
  GraphModel g;
  auto wave = [](size_t n, float freq, float scale) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = std::sin(static_cast<float>(i) * freq) * scale;
    return v;
  };
  const uint64_t x = g.input({1, 16, 40, 40});
  const uint64_t a = g.inter({1, 32, 40, 40});
  g.node(OpKind::kConv, {x, g.weight({32, 16, 3, 3}, wave(32 * 16 * 9, 0.37f, 0.1f))}, {a},
         {{15, 3}, {16, 3}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1},
          {24, 1}});
  const uint64_t ar = g.inter({1, 32, 40, 40});
  g.node(OpKind::kRelu, {a}, {ar});
  const uint64_t d = g.inter({1, 32, 20, 20});
  g.node(OpKind::kConv, {ar, g.weight({32, 1, 3, 3}, wave(32 * 9, 0.11f, 0.2f))}, {d},
         {{15, 3}, {16, 3}, {17, 2}, {18, 2}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1},
          {24, 1}, {25, 32}});
  const uint64_t p = g.inter({1, 64, 20, 20});
  g.node(OpKind::kConv, {d, g.weight({64, 32, 1, 1}, wave(64 * 32, 0.05f, 0.05f))}, {p},
         {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}});
  const uint64_t sg = g.output({1, 64, 20, 20});
  g.node(OpKind::kSigmoid, {p}, {sg});
  const uint64_t gp = g.inter({1, 64, 1, 1});
  g.node(OpKind::kGlobalAveragePool, {sg}, {gp});
  const uint64_t fl = g.inter({1, 64});
  g.node(OpKind::kFlatten, {gp}, {fl});
  const uint64_t out = g.output({1, 10});
  g.node(OpKind::kGemm, {fl, g.weight({64, 10}, wave(640, 0.3f, 0.1f))}, {out},
         {{29, f32_word(1.0f)}});
  ASSERT_TRUE(g.open());
  const std::vector<float> in = wave(16 * 40 * 40, 0.013f, 1.0f);
  std::vector<std::vector<float>> maps, logits;
  for (uint32_t threads : {1u, 2u, 8u}) {
    StateHolder s(g.create(1, threads));
    ASSERT_TRUE(s.ok()) << s.message();
    maps.emplace_back(64 * 400);
    logits.emplace_back(10);
    ASSERT_TRUE(cpu_run(s.handle(), in.data(), maps.back().data()));
    std::memcpy(logits.back().data(), cpu_output_data(s.handle(), 1), 40);
  }
  for (size_t t = 1; t < maps.size(); ++t) {
    EXPECT_EQ(0, std::memcmp(maps[0].data(), maps[t].data(), maps[0].size() * 4)) << t;
    EXPECT_EQ(0, std::memcmp(logits[0].data(), logits[t].data(), 40)) << t;
  }
}

TEST(CpuInterpreter, SupportedKindsAreExactlyTheKindsWithACase) {
  const uint64_t refused[] = {24, 25, 35, 37, 38, 44, 46, 49, 50, 86};
  for (uint64_t kind = 1; kind <= kOpKindLast; ++kind) {
    const bool without_case = std::find(std::begin(refused), std::end(refused), kind) !=
                              std::end(refused);
    EXPECT_EQ(cpu_supports_op(kind), !without_case) << op_kind_name(kind);
    EXPECT_EQ(cpu_op_family(kind) == nullptr, without_case) << op_kind_name(kind);
  }
  for (uint64_t kind : {0ull, 88ull, 127ull, 1000ull, ~0ull}) {
    EXPECT_FALSE(cpu_supports_op(kind)) << kind;
  }
}

TEST(CpuInterpreter, PrecisionSettingsTheCpuRefuses) {
  struct Case {
    const char* text;
    const char* message;  // empty: accepted
  };
  const Case cases[] = {
      {"f32", ""},
      {"f16", "precision.cpu=f16 is not available on the CPU yet"},
      {"f32:f16", "precision.cpu=f32:f16 is not available on the CPU yet"},
      {"int8:f16", "precision.cpu=int8:f16 is not available on the CPU yet"},
      {"f16:fast", "precision.cpu=f16:fast is not available on the CPU yet"},
      {"int8", "precision.cpu=int8 needs int8 dot-product instructions (ARMv8.2 SDOT or ARMv8.6 "
               "I8MM) this CPU lacks"},
      {"int8:static", "precision.cpu=int8:static needs int8 dot-product instructions (ARMv8.2 "
                      "SDOT or ARMv8.6 I8MM) this CPU lacks"},
      {"fp16", "precision.cpu: unrecognised value (expected f32, f16, f16:fast, int8, "
               "int8:static or int8:f16)"},
  };
  for (const Case& c : cases) {
    PrecisionGateResult r = cpu_precision_check(parse_precision(c.text, std::strlen(c.text)),
                                                false, 0);
    EXPECT_EQ(r.accepted, c.message[0] == '\0') << c.text;
    EXPECT_EQ(r.message, c.message) << c.text;
  }
  // With dot-product support, static activations need calibration ranges.
  PrecisionGateResult r = cpu_precision_check(parse_precision("int8:static", 11), true, 0);
  EXPECT_EQ(r.message,
            "precision.cpu=int8:static needs calibration ranges: run vexa-load precision <pack> "
            "--calibrate <samples>");
  EXPECT_TRUE(cpu_precision_check(parse_precision("int8:static", 11), true, 3).accepted);

  Chain c;
  ASSERT_TRUE(c.g.open());
  ScopedEnv env("VEXA_PRECISION_CPU", "int8");
  StateHolder s(c.g.create());
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.code(), ErrorCode::kUnsupported);
  EXPECT_NE(s.message().find("dot-product"), std::string::npos) << s.message();
}

// Counts the records released since the last reset whose bytes were not all zero.
std::atomic<int> g_released_records{0};
std::atomic<int> g_unwiped_records{0};

void check_record_wiped(const CpuState* s) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  const bool clean = std::all_of(bytes, bytes + sizeof(CpuState), [](unsigned char b) {
    return b == 0;
  });
  g_released_records.fetch_add(1);
  if (!clean) g_unwiped_records.fetch_add(1);
}

TEST(CpuInterpreter, ReleasedStateRecordsAreWipedWhole) {
  // Conv then Relu: fusion folds the Relu into the Conv, leaving the Relu's record behind the
  // final node count.
  GraphModel g;
  const uint64_t in = g.input({1, 2, 2, 2});
  const uint64_t w = g.weight({2, 2, 1, 1}, {1, 2, 3, 4});
  const uint64_t c = g.inter({1, 2, 2, 2});
  const uint64_t out = g.output({1, 2, 2, 2});
  g.node(OpKind::kConv, {in, w}, {c}, {{15, 1}, {16, 1}, {17, 1}, {18, 1}, {23, 1}, {24, 1}});
  g.node(OpKind::kRelu, {c}, {out});
  ASSERT_TRUE(g.open());

  g_released_records = 0;
  g_unwiped_records = 0;
  cpu_observe_release_for_testing(check_record_wiped);
  {
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok()) << s.message();
    ASSERT_EQ(s.state()->node_count, 1u);
    const CpuNode& stale = s.state()->nodes[1];
    EXPECT_TRUE(std::any_of(std::begin(stale.w), std::end(stale.w), [](uint64_t w) {
      return w != 0;
    }));
    std::vector<float> x(8, 1.0f), y(8);
    EXPECT_TRUE(cpu_run(s.handle(), x.data(), y.data()));
  }
  {
    // A build refused at its last step releases its record the same way.
    ScopedEnv env("VEXA_PRECISION_CPU", "f16");
    StateHolder s(g.create());
    EXPECT_FALSE(s.ok());
  }
  cpu_observe_release_for_testing(nullptr);
  EXPECT_EQ(g_released_records.load(), 2);
  EXPECT_EQ(g_unwiped_records.load(), 0);
}

TEST(CpuInterpreter, StudyRoundsProducedValuesAndWritesCalibration) {
  GraphModel g;
  const uint64_t in = g.input({1, 2});
  const uint64_t out = g.output({1, 2});
  g.node(OpKind::kRelu, {in}, {out});
  ASSERT_TRUE(g.open());
  const float x[2] = {0.1f, 3.0f};
  float y[2];
  {
    ScopedEnv env("VEXA_CPU_QT", "f16");
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(cpu_run(s.handle(), x, y));
    EXPECT_EQ(y[0], 0.0999755859375f);
    EXPECT_EQ(y[1], 3.0f);
  }
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/calib.bin";
  {
    ScopedEnv env("VEXA_CPU_QCAL_OUT", path.c_str());
    StateHolder s(g.create());
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(cpu_run(s.handle(), x, y));
    EXPECT_EQ(y[0], 0.1f);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 12 * 2);
  }
  remove_dir(dir);
  // A later build without the variables turns the study off again.
  StateHolder plain(g.create());
  ASSERT_TRUE(cpu_run(plain.handle(), x, y));
  EXPECT_EQ(y[0], 0.1f);
}

// Every build resets the process-wide study while products on other threads ask whether it is
// on: the thread sanitizer build catches a plain flag here.
TEST(CpuInterpreter, BuildOnOneThreadWhileAnotherRunsProducts) {
  constexpr int kRows = 2, kInner = 4, kCols = 3;
  std::vector<float> w(kInner * kCols);
  for (size_t i = 0; i < w.size(); ++i) w[i] = 0.25f * static_cast<float>(i) - 1.0f;
  GraphModel g;
  const uint64_t in = g.input({kRows, kInner});
  const uint64_t wt = g.weight({kInner, kCols}, w);
  const uint64_t out = g.output({kRows, kCols});
  g.node(OpKind::kGemm, {in, wt}, {out}, {{29, f32_word(1.0f)}});
  ASSERT_TRUE(g.open());
  float x[kRows * kInner];
  for (int i = 0; i < kRows * kInner; ++i) x[i] = static_cast<float>(i % 5) - 2.0f;
  float want[kRows * kCols] = {};
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kCols; ++c)
      for (int k = 0; k < kInner; ++k) want[r * kCols + c] += x[r * kInner + k] * w[k * kCols + c];

  StateHolder running(g.create(1, 1));
  ASSERT_TRUE(running.ok()) << running.message();
  std::atomic<bool> stop{false};
  bool builds_ok = true;
  std::thread builder([&] {
    while (!stop.load()) {
      StateHolder s(g.create(1, 1));
      if (!s.ok()) builds_ok = false;
    }
  });
  bool runs_ok = true;
  for (int round = 0; round < 400 && runs_ok; ++round) {
    float y[kRows * kCols] = {};
    runs_ok = cpu_run(running.handle(), x, y);
    for (int i = 0; i < kRows * kCols; ++i) runs_ok = runs_ok && std::fabs(y[i] - want[i]) < 1e-5f;
  }
  stop.store(true);
  builder.join();
  EXPECT_TRUE(runs_ok);
  EXPECT_TRUE(builds_ok);
}

TEST(CpuInterpreter, TwoStatesBuildAndRunOnTwoThreadsAtOnce) {
  Chain c1(256), c2(256);
  ASSERT_TRUE(c1.g.open());
  ASSERT_TRUE(c2.g.open());
  auto work = [](Chain* c, bool* ok) {
    *ok = true;
    std::vector<float> x(256), y(256);
    for (int i = 0; i < 256; ++i) x[i] = static_cast<float>(i) - 128.0f;
    for (int round = 0; round < 25; ++round) {
      StateHolder s(c->g.create(1, 2));
      if (!s.ok() || !cpu_run(s.handle(), x.data(), y.data())) *ok = false;
      for (int i = 0; i < 256; ++i) {
        if (y[i] != std::fabs(x[i])) *ok = false;
      }
    }
  };
  bool ok1 = false, ok2 = false;
  std::thread t1(work, &c1, &ok1);
  std::thread t2(work, &c2, &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

}  // namespace
}  // namespace vexa::cpu
