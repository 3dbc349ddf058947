// Element-wise graph operations against naive loops and against the CPU engine's nodes, at f32
// and f16 (each result rounded to the nearest half).
#include <functional>

#include "graph_test_util.h"

namespace vexa::graph_test {
namespace {

struct BinaryCase {
  const char* name;
  GraphTensor (Graph::*op)(GraphTensor, GraphTensor);
  std::function<float(float, float)> ref;
  OpKind cpu_kind;
  std::vector<test_graph::Attr> cpu_words;
  bool boolean_result;
};

const std::vector<BinaryCase>& binary_cases() {
  static const std::vector<BinaryCase> cases = {
      {"add", &Graph::add, [](float a, float b) { return a + b; }, OpKind::kAdd, {}, false},
      {"subtract", &Graph::subtract, [](float a, float b) { return a - b; }, OpKind::kSub, {}, false},
      {"multiply", &Graph::multiply, [](float a, float b) { return a * b; }, OpKind::kMul, {}, false},
      {"divide", &Graph::divide, [](float a, float b) { return a / b; }, OpKind::kDiv, {}, false},
      {"maximum", &Graph::maximum, [](float a, float b) { return a >= b ? a : b; }, OpKind::kMax, {}, false},
      {"minimum", &Graph::minimum, [](float a, float b) { return a <= b ? a : b; }, OpKind::kMin, {}, false},
      {"modulo", &Graph::modulo, [](float a, float b) { return std::fmod(a, b); }, OpKind::kMod, {}, false},
      {"equal", &Graph::equal, [](float a, float b) { return a == b ? 1.0f : 0.0f; }, OpKind::kEqual, {}, true},
      {"less", &Graph::less, [](float a, float b) { return a < b ? 1.0f : 0.0f; }, OpKind::kLess, {}, true},
      {"greater", &Graph::greater, [](float a, float b) { return a > b ? 1.0f : 0.0f; }, OpKind::kGreater, {}, true},
      {"greater_equal", &Graph::greater_equal, [](float a, float b) { return a >= b ? 1.0f : 0.0f; },
       OpKind::kGreater, {{27, 1}}, true},
      {"less_equal", &Graph::less_equal, [](float a, float b) { return a <= b ? 1.0f : 0.0f; },
       OpKind::kGreater, {{27, 2}}, true},
  };
  return cases;
}

// Shapes that broadcast in different ways: same shape, scalar, trailing vector, a middle 1,
// both sides expanding.
const std::vector<std::pair<Shape, Shape>>& broadcast_pairs() {
  static const std::vector<std::pair<Shape, Shape>> pairs = {
      {{2, 3, 4}, {2, 3, 4}}, {{2, 3, 4}, {}},        {{2, 3, 4}, {4}},
      {{2, 3, 4}, {3, 1}},    {{2, 1, 4}, {1, 3, 1}}, {{5, 1, 1, 7}, {1, 6, 2, 1}},
      {{1}, {3, 2}},          {{2, 0, 3}, {3}},
  };
  return pairs;
}

Floats naive_binary(const Floats& a, const Shape& sa, const Floats& b, const Shape& sb,
                    const Shape& out, const std::function<float(float, float)>& f, bool half) {
  Floats y(count(out));
  for (uint64_t i = 0; i < y.size(); ++i) {
    const auto idx = unflatten(i, out);
    y[i] = f(broadcast_at(a, sa, idx), broadcast_at(b, sb, idx));
    if (half) y[i] = f16_round_trip(y[i]);
  }
  return y;
}

TEST(GraphEltwise, BinaryOperationsBroadcastLikeNumpy) {
  GraphRun r;
  for (const BinaryCase& c : binary_cases()) {
    for (const auto& [sa, sb] : broadcast_pairs()) {
      for (DeviceDataType type : {DeviceDataType::kFloat32, DeviceDataType::kFloat16}) {
        const bool half = type == DeviceDataType::kFloat16;
        Floats a = values(count(sa), 1), b = values(count(sb), 2);
        // Some equal pairs so the comparisons see ties; no zero divisors.
        for (size_t i = 0; i < b.size() && i < a.size(); i += 3) b[i] = a[i];
        for (float& v : b) v = v == 0.0f ? 0.5f : v;
        if (half) {
          a = rounded_f16(a);
          b = rounded_f16(b);
        }
        Graph g;
        GraphTensor ta = g.placeholder(sa, type), tb = g.placeholder(sb, type);
        GraphTensor y = (g.*c.op)(ta, tb);
        ASSERT_TRUE(g.ok()) << c.name << ": " << g.error();
        const Shape out = g.shape(y);
        EXPECT_EQ(g.type(y), c.boolean_result ? DeviceDataType::kBool : type) << c.name;
        r.feed(g, ta, a);
        r.feed(g, tb, b);
        const Floats got = r.run1(g, y);
        EXPECT_TRUE(near(got, naive_binary(a, sa, b, sb, out, c.ref, half && !c.boolean_result)))
            << c.name << " " << graph_shape_text(sa) << " " << graph_shape_text(sb)
            << (half ? " f16" : " f32");
      }
    }
  }
}

TEST(GraphEltwise, BinaryOperationsMatchTheCpuEngine) {
  GraphRun r;
  const Shape sa = {2, 3, 4, 5}, sb = {3, 1, 5};
  for (const BinaryCase& c : binary_cases()) {
    const Floats a = values(count(sa), 3), b = values(count(sb), 4);
    Graph g;
    GraphTensor ta = g.placeholder(sa, DeviceDataType::kFloat32);
    GraphTensor tb = g.constant_data(b.data(), b.size() * 4, sb, DeviceDataType::kFloat32);
    GraphTensor y = (g.*c.op)(ta, tb);
    r.feed(g, ta, a);
    const Floats got = r.run1(g, y);
    const Floats want = cpu_engine_node(c.cpu_kind, {{udims(sa), a, false}, {udims(sb), b, true}},
                                        udims(g.shape(y)), c.cpu_words);
    EXPECT_TRUE(near(got, want)) << c.name;
  }
}

TEST(GraphEltwise, NotEqualAndLogic) {
  GraphRun r;
  Graph g;
  const Floats a = {1, 2, 3, 4}, b = {1, 0, 3, 5};
  GraphTensor ta = g.placeholder({4}, DeviceDataType::kFloat32);
  GraphTensor tb = g.placeholder({4}, DeviceDataType::kFloat32);
  GraphTensor ne = g.not_equal(ta, tb);
  GraphTensor big = g.greater(ta, g.constant_scalar(2.0, DeviceDataType::kFloat32));
  GraphTensor both = g.logical_and(ne, big);
  GraphTensor either = g.logical_or(ne, big);
  GraphTensor neither = g.logical_not(either);
  r.feed(g, ta, a);
  r.feed(g, tb, b);
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {ne, both, either, neither}, &out));
  EXPECT_EQ(out[0], (Floats{0, 1, 0, 1}));
  EXPECT_EQ(out[1], (Floats{0, 0, 0, 1}));
  EXPECT_EQ(out[2], (Floats{0, 1, 1, 1}));
  EXPECT_EQ(out[3], (Floats{1, 0, 0, 0}));
}

struct UnaryCase {
  const char* name;
  GraphTensor (Graph::*op)(GraphTensor);
  float (*ref)(float);
  OpKind cpu_kind;
  double tol;  // the CPU kernels round like the library calls; erf and sigmoid approximate
};

float relu_ref(float x) { return x >= 0.0f ? x : 0.0f; }
float sigmoid_ref(float x) { return 1.0f / (1.0f + std::exp(-x)); }
float erf_ref(float x) { return std::erf(x); }
float sqrt_ref(float x) { return std::sqrt(x); }
float exp_ref(float x) { return std::exp(x); }
float log_ref(float x) { return std::log(x); }
float tanh_ref(float x) { return std::tanh(x); }
float sin_ref(float x) { return std::sin(x); }
float cos_ref(float x) { return std::cos(x); }
float abs_ref(float x) { return std::fabs(x); }
float neg_ref(float x) { return -x; }
float floor_ref(float x) { return std::floor(x); }
float ceil_ref(float x) { return std::ceil(x); }
float round_ref(float x) { return std::nearbyint(x); }
float recip_ref(float x) { return 1.0f / x; }

TEST(GraphEltwise, UnaryOperationsAgainstLibraryAndCpuEngine) {
  const std::vector<UnaryCase> cases = {
      {"relu", &Graph::relu, relu_ref, OpKind::kRelu, 0},
      {"sigmoid", &Graph::sigmoid, sigmoid_ref, OpKind::kSigmoid, 1e-6},
      {"erf", &Graph::erf, erf_ref, OpKind::kErf, 1e-6},
      {"sqrt", &Graph::sqrt, sqrt_ref, OpKind::kSqrt, 0},
      {"exp", &Graph::exp, exp_ref, OpKind::kExp, 0},
      {"log", &Graph::log, log_ref, OpKind::kLog, 0},
      {"tanh", &Graph::tanh, tanh_ref, OpKind::kTanh, 0},
      {"sin", &Graph::sin, sin_ref, OpKind::kSin, 0},
      {"cos", &Graph::cos, cos_ref, OpKind::kCos, 0},
      {"abs", &Graph::abs, abs_ref, OpKind::kAbs, 0},
      {"negative", &Graph::negative, neg_ref, OpKind::kNeg, 0},
      {"floor", &Graph::floor, floor_ref, OpKind::kFloor, 0},
      {"ceil", &Graph::ceil, ceil_ref, OpKind::kCeil, 0},
      {"round", &Graph::round, round_ref, OpKind::kRound, 0},
      {"reciprocal", &Graph::reciprocal, recip_ref, OpKind::kReciprocal, 0},
  };
  GraphRun r;
  const Shape s = {3, 41};  // long enough for the vector paths, with a tail
  Floats x = values(count(s), 5);
  for (float& v : x) v *= 3.0f;
  x[0] = 2.5f;   // a tie that rounds to even
  x[1] = -1.5f;
  x[2] = 0.0f;
  for (const UnaryCase& c : cases) {
    Floats in = x;
    if (c.ref == sqrt_ref || c.ref == log_ref) {
      for (float& v : in) v = std::fabs(v) + 0.25f;
    }
    for (DeviceDataType type : {DeviceDataType::kFloat32, DeviceDataType::kFloat16}) {
      const bool half = type == DeviceDataType::kFloat16;
      const Floats fed = half ? rounded_f16(in) : in;
      Graph g;
      GraphTensor t = g.placeholder(s, type);
      GraphTensor y = (g.*c.op)(t);
      r.feed(g, t, fed);
      const Floats got = r.run1(g, y);
      Floats want(fed.size());
      for (size_t i = 0; i < fed.size(); ++i) {
        want[i] = c.ref(fed[i]);
        if (half) want[i] = f16_round_trip(want[i]);
      }
      EXPECT_TRUE(near(got, want, half ? 1e-3 : c.tol)) << c.name << (half ? " f16" : " f32");
      if (!half) {
        const Floats cpu = cpu_engine_node(c.cpu_kind, {{udims(s), fed, false}}, udims(s), {});
        EXPECT_TRUE(near(got, cpu)) << c.name << " against the CPU engine";
      }
    }
  }
}

TEST(GraphEltwise, LeakyReluClampSelectCastTruncate) {
  GraphRun r;
  const Floats x = {-2.5f, -0.7f, -0.0f, 0.3f, 1.5f, 7.0f, NAN, 2e10f};
  Graph g;
  GraphTensor t = g.placeholder({8}, DeviceDataType::kFloat32);
  GraphTensor leaky = g.leaky_relu(t, 0.1f);
  GraphTensor lo = g.constant_scalar(-1.0, DeviceDataType::kFloat32);
  GraphTensor hi = g.constant_scalar(1.0, DeviceDataType::kFloat32);
  GraphTensor clamped = g.clamp(t, lo, hi);
  const Floats lows = {-3, -3, -3, -3, 0, 0, 0, 0};
  GraphTensor lo_t = g.constant_data(lows.data(), 32, {8}, DeviceDataType::kFloat32);
  GraphTensor clamped_t = g.clamp(t, lo_t, hi);
  GraphTensor trunc = g.truncate(t);
  GraphTensor as_int = g.cast(t, DeviceDataType::kInt32);
  GraphTensor as_bool = g.cast(t, DeviceDataType::kBool);
  GraphTensor as_half = g.cast(t, DeviceDataType::kFloat16);
  GraphTensor picked = g.select(g.greater(t, g.constant_scalar(0.0, DeviceDataType::kFloat32)), t,
                                g.negative(t));
  r.feed(g, t, x);
  std::vector<Floats> out;
  ASSERT_TRUE(r.run(g, {leaky, clamped, clamped_t, trunc, as_int, as_bool, as_half, picked}, &out));
  EXPECT_TRUE(near(out[0], {-0.25f, -0.07f, -0.0f, 0.3f, 1.5f, 7.0f, NAN, 2e10f}, 1e-7));
  EXPECT_TRUE(near(out[1], {-1, -0.7f, 0, 0.3f, 1, 1, NAN, 1}));
  EXPECT_TRUE(near(out[2], {-2.5f, -0.7f, 0, 0.3f, 1, 1, NAN, 1}));
  EXPECT_TRUE(near(out[3], {-2, -0.0f, -0.0f, 0, 1, 7, NAN, 2e10f}));
  EXPECT_TRUE(std::signbit(out[3][1])) << "truncation keeps the sign of -0.7";
  // Integers truncate toward zero, saturate, and take 0 for NaN; bools are x != 0.
  EXPECT_EQ(out[4], (Floats{-2, 0, 0, 0, 1, 7, 0, 2147483647.0f}));
  EXPECT_EQ(out[5], (Floats{1, 1, 0, 1, 1, 1, 1, 1}));
  EXPECT_EQ(out[6][3], f16_round_trip(0.3f));
  EXPECT_TRUE(std::isinf(out[6][7])) << "2e10 is past the largest half";
  EXPECT_TRUE(near(out[7], {2.5f, 0.7f, 0.0f, 0.3f, 1.5f, 7.0f, NAN, 2e10f}));
}

// Every float operation of an f16 graph rounds its own result: a chain rounds twice.
TEST(GraphEltwise, HalfGraphsRoundEachOperation) {
  GraphRun r;
  const Floats a = rounded_f16(values(64, 9)), b = rounded_f16(values(64, 10));
  Graph g;
  GraphTensor ta = g.placeholder({64}, DeviceDataType::kFloat16);
  GraphTensor tb = g.placeholder({64}, DeviceDataType::kFloat16);
  GraphTensor y = g.multiply(g.add(ta, tb), g.constant_scalar(3.1, DeviceDataType::kFloat16));
  r.feed(g, ta, a);
  r.feed(g, tb, b);
  const Floats got = r.run1(g, y);
  const float three = f16_round_trip(3.1f);
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(got[i], f16_round_trip(f16_round_trip(a[i] + b[i]) * three)) << i;
  }
}

}  // namespace
}  // namespace vexa::graph_test
