// Malformed graphs are refused when the state is built, with an error code and a message,
// and never reach a kernel. Each case corrupts one record of an otherwise valid model.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cpu_graph_fixture.h"

namespace vexa::cpu {
namespace {

using graph_test::GraphModel;
using graph_test::StateHolder;

// in(1x4), w(1x4) -> Add -> t -> Relu -> out: values 0 in, 1 w, 2 t, 3 out; nodes 0 Add, 1 Relu.
struct Base {
  GraphModel g;
  uint64_t in, w, t, out;
  Base() {
    in = g.input({1, 4});
    w = g.weight({1, 4}, {1, 2, 3, 4});
    t = g.inter({1, 4});
    out = g.output({1, 4});
    g.node(OpKind::kAdd, {in, w}, {t});
    g.node(OpKind::kRelu, {t}, {out});
  }
};

struct Corruption {
  const char* what;
  std::function<void(Base&)> apply;
  ErrorCode code;
  const char* message_part;
};

constexpr uint32_t kInputs = kNodeWordFirstInput;
constexpr uint32_t kOutputs = kNodeWordFirstOutput;

TEST(CpuGraphCheck, MalformedRecordsAreRefusedCleanly) {
  const std::vector<Corruption> cases = {
      {"input id past the value table", [](Base& b) { b.g.patch_node(0, kInputs, 1000); },
       ErrorCode::kInvalidModel, "reads value 1000"},
      {"input id at the table limit", [](Base& b) { b.g.patch_node(1, kInputs, 32768); },
       ErrorCode::kInvalidModel, "reads value"},
      {"output id equal to the value count", [](Base& b) { b.g.patch_node(1, kOutputs, 4); },
       ErrorCode::kInvalidModel, "writes value 4"},
      {"output written into a weight", [](Base& b) { b.g.patch_node(1, kOutputs, b.w); },
       ErrorCode::kInvalidModel, "not an activation"},
      {"output written into the graph input", [](Base& b) { b.g.patch_node(1, kOutputs, b.in); },
       ErrorCode::kInvalidModel, "not an activation"},
      {"node reads its own output", [](Base& b) { b.g.patch_node(1, kInputs, b.out); },
       ErrorCode::kInvalidModel, "reads the value"},
      {"no outputs", [](Base& b) { b.g.patch_node(0, kNodeWordOutputCount, 0); },
       ErrorCode::kInvalidModel, "inputs and 0 outputs"},
      {"nine inputs", [](Base& b) { b.g.patch_node(0, kNodeWordInputCount, 9); },
       ErrorCode::kInvalidModel, "9 inputs"},
      {"five outputs", [](Base& b) { b.g.patch_node(0, kNodeWordOutputCount, 5); },
       ErrorCode::kInvalidModel, "5 outputs"},
      {"element count not the product of dims",
       [](Base& b) { b.g.patch_value(b.t, kValueWordElementCount, 5); }, ErrorCode::kInvalidModel,
       "element count"},
      {"byte size not count x element size",
       [](Base& b) { b.g.patch_value(b.out, kValueWordByteSize, 12); }, ErrorCode::kInvalidModel,
       "byte size"},
      {"byte size zero with elements",
       [](Base& b) { b.g.patch_value(b.t, kValueWordByteSize, 0); }, ErrorCode::kInvalidModel,
       "byte size"},
      {"rank seven", [](Base& b) { b.g.patch_value(b.t, kValueWordRank, 7); },
       ErrorCode::kInvalidModel, "rank 7"},
      {"dims whose product overflows",
       [](Base& b) {
         b.g.patch_value(b.t, kValueWordRank, 3);
         b.g.patch_value(b.t, kValueWordFirstDim, uint64_t{1} << 32);
         b.g.patch_value(b.t, kValueWordFirstDim + 1, uint64_t{1} << 32);
         b.g.patch_value(b.t, kValueWordFirstDim + 2, 0);
         b.g.patch_value(b.t, kValueWordElementCount, 0);
         b.g.patch_value(b.t, kValueWordByteSize, 0);
       },
       ErrorCode::kInvalidModel, "element count"},
      {"more elements than a tensor may hold",
       [](Base& b) {
         b.g.patch_value(b.t, kValueWordFirstDim + 1, uint64_t{1} << 31);
         b.g.patch_value(b.t, kValueWordElementCount, uint64_t{1} << 31);
         b.g.patch_value(b.t, kValueWordByteSize, uint64_t{1} << 33);
       },
       ErrorCode::kInvalidModel, "element count"},
      {"weight past the weight region",
       [](Base& b) { b.g.patch_value(b.w, kValueWordDataOffset, b.g.weight_bytes() - 8); },
       ErrorCode::kInvalidModel, "outside the weight region"},
      {"weight offset that wraps around",
       [](Base& b) { b.g.patch_value(b.w, kValueWordDataOffset, ~uint64_t{0} - 7); },
       ErrorCode::kInvalidModel, "outside the weight region"},
      {"weight not aligned for f32",
       [](Base& b) { b.g.patch_value(b.w, kValueWordDataOffset, 2); }, ErrorCode::kInvalidModel,
       "outside the weight region"},
      {"weight stored as f16",
       [](Base& b) {
         b.g.patch_value(b.w, kValueWordDtype, kDtypeF16);
         b.g.patch_value(b.w, kValueWordByteSize, 8);
       },
       ErrorCode::kInvalidModel, "not stored as f32"},
      {"unknown value kind", [](Base& b) { b.g.patch_value(b.t, kValueWordKind, 9); },
       ErrorCode::kInvalidModel, "unknown kind"},
      {"unknown data type", [](Base& b) { b.g.patch_value(b.t, kValueWordDtype, 4); },
       ErrorCode::kInvalidModel, "data type"},
      {"no graph output",
       [](Base& b) { b.g.patch_value(b.out, kValueWordKind, kValueIntermediate); },
       ErrorCode::kInvalidModel, "no output"},
      {"operator kind without a case", [](Base& b) { b.g.patch_node(1, kNodeWordKind, 38); },
       ErrorCode::kUnsupported, "Pow"},
      {"operator kind out of range", [](Base& b) { b.g.patch_node(1, kNodeWordKind, 4000); },
       ErrorCode::kUnsupported, "UnknownOp"},
      {"operator kind zero", [](Base& b) { b.g.patch_node(1, kNodeWordKind, 0); },
       ErrorCode::kUnsupported, "not supported"},
      {"binary operand absent", [](Base& b) { b.g.patch_node(0, kInputs + 1, kAbsentValue); },
       ErrorCode::kInvalidModel, "missing"},
      {"binary with one input", [](Base& b) { b.g.patch_node(0, kNodeWordInputCount, 1); },
       ErrorCode::kInvalidModel, "inputs"},
      {"shapes that do not broadcast",
       [](Base& b) {
         b.g.patch_value(b.in, kValueWordFirstDim, 4);
         b.g.patch_value(b.in, kValueWordFirstDim + 1, 1);
         b.g.patch_value(b.w, kValueWordFirstDim, 2);
         b.g.patch_value(b.w, kValueWordFirstDim + 1, 2);
       },
       ErrorCode::kInvalidModel, "broadcast"},
      {"output smaller than the broadcast",
       [](Base& b) {
         b.g.patch_value(b.t, kValueWordFirstDim + 1, 2);
         b.g.patch_value(b.t, kValueWordElementCount, 2);
         b.g.patch_value(b.t, kValueWordByteSize, 8);
       },
       ErrorCode::kInvalidModel, "broadcast"},
      {"unary output larger than its input",
       [](Base& b) {
         b.g.patch_value(b.out, kValueWordFirstDim + 1, 8);
         b.g.patch_value(b.out, kValueWordElementCount, 8);
         b.g.patch_value(b.out, kValueWordByteSize, 32);
       },
       ErrorCode::kInvalidModel, "element counts differ"},
      {"two nodes write one value",
       [](Base& b) {
         b.g.patch_node(1, kInputs, b.in);
         b.g.patch_node(1, kOutputs, b.t);
       },
       ErrorCode::kInvalidModel, "already wrote"},
      {"value read before it is written",
       [](Base& b) {
         b.g.patch_node(0, kInputs, b.t);
         b.g.patch_node(0, kOutputs, b.out);
         b.g.patch_node(1, kInputs, b.in);
         b.g.patch_node(1, kOutputs, b.t);
       },
       ErrorCode::kInvalidModel, "before any node writes it"},
      {"sizeless operand",
       [](Base& b) {
         b.g.patch_value(b.t, kValueWordRank, 0);
         b.g.patch_value(b.t, kValueWordElementCount, 0);
         b.g.patch_value(b.t, kValueWordByteSize, 0);
       },
       ErrorCode::kInvalidModel, "node"},
  };
  for (const Corruption& c : cases) {
    Base b;
    std::string why;
    ASSERT_TRUE(b.g.open(&why)) << why;
    c.apply(b);
    StateHolder s(b.g.create());
    EXPECT_FALSE(s.ok()) << c.what;
    EXPECT_EQ(s.code(), c.code) << c.what << ": " << s.message();
    EXPECT_NE(s.message().find(c.message_part), std::string::npos)
        << c.what << ": " << s.message();
    // The same model also refuses a batched build.
    StateHolder batched(b.g.create(4));
    EXPECT_FALSE(batched.ok()) << c.what;
  }
}

TEST(CpuGraphCheck, ValidBaseModelBuildsAndRuns) {
  Base b;
  ASSERT_TRUE(b.g.open());
  StateHolder s(b.g.create());
  ASSERT_TRUE(s.ok()) << s.message();
  const float x[4] = {-5, 0, 1, 2};
  float y[4];
  ASSERT_TRUE(cpu_run(s.handle(), x, y));
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_EQ(y[3], 6.0f);
}

TEST(CpuGraphCheck, MissingStorageAndEmptyGraphs) {
  Base b;
  ASSERT_TRUE(b.g.open());
  CpuCreateResult r = cpu_state_create(b.g.container(), nullptr, 1);
  EXPECT_EQ(r.tag, 1u);
  EXPECT_EQ(cpu_create_message(r), "missing weight storage");
  cpu_create_result_release(&r);

  GraphModel empty;
  empty.input({1});
  empty.output({1});
  ASSERT_TRUE(empty.open());
  StateHolder s(empty.create());
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "invalid graph node/value counts in .vexa");
  EXPECT_EQ(s.code(), ErrorCode::kInvalidModel);
}

}  // namespace
}  // namespace vexa::cpu

namespace vexa::cpu {
namespace {

// Random corruptions of a graph using every element-wise form: whatever is patched, the build
// either refuses or yields a state whose run stays inside its buffers (checked under ASan).
TEST(CpuGraphCheck, RandomCorruptionsNeverCrash) {
  const uint64_t interesting[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  31, 64, 255, 32767,
                                  32768, uint64_t{1} << 31, uint64_t{1} << 32, ~uint64_t{0},
                                  ~uint64_t{0} - 3, 16384};
  std::mt19937_64 rng(20261206);
  int built = 0;
  for (int iter = 0; iter < 1500; ++iter) {
    GraphModel g;
    const uint64_t x = g.input({1, 3, 2, 2});
    const uint64_t w = g.weight({1, 3, 1, 1}, {0.5f, -1.0f, 2.0f});
    const uint64_t a = g.inter({1, 3, 2, 2});
    const uint64_t b = g.inter({1, 3, 2, 2});
    const uint64_t c = g.inter({1, 3, 2, 2});
    const uint64_t d = g.inter({2, 3, 2, 2});
    const uint64_t out = g.output({2, 3, 2, 2});
    g.node(OpKind::kMul, {x, w}, {a});
    g.node(OpKind::kPRelu, {a, w}, {b});
    g.node(OpKind::kSigmoid, {b}, {c});
    g.node(OpKind::kGreater, {c, x}, {d});  // broadcast rank 4 against rank 4
    g.node(OpKind::kWhere, {d, c, w}, {out});
    ASSERT_TRUE(g.open());
    const uint64_t values = 7, nodes = 5;
    const int patches = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < patches; ++k) {
      const uint64_t v = rng() % 4 == 0 ? rng() : interesting[rng() % std::size(interesting)];
      if (rng() % 2 == 0) {
        g.patch_node(rng() % nodes, static_cast<uint32_t>(rng() % kNodeWords), v);
      } else {
        g.patch_value(rng() % values, static_cast<uint32_t>(rng() % kValueWords), v);
      }
    }
    StateHolder s(g.create(1 + rng() % 4));
    if (!s.ok()) {
      EXPECT_FALSE(s.message().empty());
      continue;
    }
    ++built;
    const CpuState* st = s.state();
    std::vector<float> in(st->values[st->input_value].element_count() + 1, 0.25f);
    std::vector<float> res(st->values[st->first_output].element_count() + 1);
    cpu_run(s.handle(), in.data(), res.data());
  }
  EXPECT_GT(built, 0);
}

// Every allocation of a build failing in turn gives its own message, and nothing leaks
// (the sanitizer build checks the leaks).
TEST(CpuGraphCheck, EachFailedAllocationIsReportedByName) {
  Base b;
  ASSERT_TRUE(b.g.open());
  const char* expected[] = {"out of memory allocating CpuState",
                            "out of memory allocating ArenaPlanner",
                            "out of memory allocating CPU activation arena",
                            "out of memory allocating im2col workspace"};
  for (uint32_t n = 1; n <= 4; ++n) {
    cpu_fail_allocation_for_testing(n);
    StateHolder s(b.g.create());
    cpu_fail_allocation_for_testing(0);
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.code(), ErrorCode::kOutOfMemory);
    EXPECT_EQ(s.message(), expected[n - 1]);
  }
  StateHolder s(b.g.create());
  EXPECT_TRUE(s.ok());
}

}  // namespace
}  // namespace vexa::cpu
