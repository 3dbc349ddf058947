#include "platform/vector_math.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vexa {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kSentinel = -12345.5f;

// Sizes around the 8-float vector tile and odd large ones.
const size_t kSizes[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 1001, 4099};

// Distance in representable floats; equal NaNs count as 0.
int64_t ulp_distance(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  auto ordered = [](float f) {
    int32_t i = std::bit_cast<int32_t>(f);
    return i < 0 ? -static_cast<int64_t>(i & 0x7fffffff) : static_cast<int64_t>(i);
  };
  int64_t d = ordered(a) - ordered(b);
  return d < 0 ? -d : d;
}

bool same_bits(float a, float b) {
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Every dispatch path the CPU has (the others skip), restored to its best when the test ends.
class VectorPaths : public ::testing::TestWithParam<VectorPath> {
 protected:
  void SetUp() override {
    if (!vector_math_force_path(GetParam())) GTEST_SKIP() << "this CPU lacks the path";
  }
  void TearDown() override { vector_math_force_portable(false); }
};

std::vector<float> random_values(size_t n, uint32_t seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  // A few edge values sprinkled through every vector.
  const float edges[] = {0.0f, -0.0f, kInf, -kInf, kNaN, 1.0f, -1.0f, FLT_MIN, 1e-42f};
  for (size_t i = 0; i < n; i += 13) v[i] = edges[(i / 13) % 9];
  return v;
}

struct BinaryCase {
  const char* name;
  void (*fn)(const float*, const float*, float*, size_t);
  float (*ref)(float, float);
};

const BinaryCase kBinary[] = {
    {"add", vec_add, [](float a, float b) { return a + b; }},
    {"sub", vec_sub, [](float a, float b) { return a - b; }},
    {"mul", vec_mul, [](float a, float b) { return a * b; }},
    {"div", vec_div, [](float a, float b) { return a / b; }},
    {"max", vec_max, [](float a, float b) { return a >= b ? a : b; }},
    {"min", vec_min, [](float a, float b) { return a <= b ? a : b; }},
    {"mul_scalar_add(0.75)",
     [](const float* a, const float* b, float* o, size_t n) {
       vec_mul_scalar_add(a, 0.75f, b, o, n);
     },
     [](float a, float b) {
       volatile float p = a * 0.75f;  // two roundings, as documented
       return p + b;
     }},
    {"strided add (unit)",
     [](const float* a, const float* b, float* o, size_t n) {
       vec_add_strided(a, 1, b, 1, o, 1, n);
     },
     [](float a, float b) { return a + b; }},
};

struct UnaryCase {
  const char* name;
  void (*fn)(const float*, float*, size_t);
  float (*ref)(float);
};

const UnaryCase kUnary[] = {
    {"add_scalar(-2.5)", [](const float* a, float* o, size_t n) { vec_add_scalar(a, -2.5f, o, n); },
     [](float a) { return a + -2.5f; }},
    {"mul_scalar(3)", [](const float* a, float* o, size_t n) { vec_mul_scalar(a, 3.0f, o, n); },
     [](float a) { return a * 3.0f; }},
    {"scalar_div(1)", [](const float* a, float* o, size_t n) { vec_scalar_div(1.0f, a, o, n); },
     [](float a) { return 1.0f / a; }},
    {"div_scalar(3)", [](const float* a, float* o, size_t n) { vec_div_scalar(a, 3.0f, o, n); },
     [](float a) { return a / 3.0f; }},
    {"mul_scalar_add_scalar(0.5, 0.25)",
     [](const float* a, float* o, size_t n) { vec_mul_scalar_add_scalar(a, 0.5f, 0.25f, o, n); },
     [](float a) {
       volatile float p = a * 0.5f;
       return p + 0.25f;
     }},
    {"neg", vec_neg, [](float a) { return -a; }},
    {"zero_below(0)", [](const float* a, float* o, size_t n) { vec_zero_below(a, 0.0f, o, n); },
     [](float a) { return a >= 0.0f ? a : 0.0f; }},
    {"zero_below(0.3)", [](const float* a, float* o, size_t n) { vec_zero_below(a, 0.3f, o, n); },
     [](float a) { return a >= 0.3f ? a : 0.0f; }},
    {"clip(-0.5, 0.5)", [](const float* a, float* o, size_t n) { vec_clip(a, -0.5f, 0.5f, o, n); },
     [](float a) { return a < -0.5f ? -0.5f : (a > 0.5f ? 0.5f : a); }},
};

TEST_P(VectorPaths, BinaryRoutinesMatchScalarBitForBit) {
  for (const BinaryCase& c : kBinary) {
    for (size_t n : kSizes) {
      for (size_t offset : {0, 1, 3}) {  // unaligned starts
        SCOPED_TRACE(std::string(c.name) + " n=" + std::to_string(n) +
                     " offset=" + std::to_string(offset));
        std::vector<float> a = random_values(n + offset, 11 + n, -4.0f, 4.0f);
        std::vector<float> b = random_values(n + offset, 23 + n, -4.0f, 4.0f);
        std::vector<float> out(n + offset + 1, kSentinel);
        c.fn(a.data() + offset, b.data() + offset, out.data() + offset, n);
        size_t bad = 0;
        for (size_t i = 0; i < n; ++i) {
          float want = c.ref(a[offset + i], b[offset + i]);
          if (!same_bits(out[offset + i], want) &&
              !(std::isnan(want) && std::isnan(out[offset + i])) && bad++ < 3) {
            ADD_FAILURE() << "i=" << i << " a=" << a[offset + i] << " b=" << b[offset + i]
                          << " got " << out[offset + i] << " want " << want;
          }
        }
        EXPECT_EQ(out[offset + n], kSentinel) << "wrote past n";
        for (size_t i = 0; i < offset; ++i) EXPECT_EQ(out[i], kSentinel) << "wrote before start";

        // In place, into either operand.
        std::vector<float> in_a = a, in_b = b;
        c.fn(in_a.data() + offset, b.data() + offset, in_a.data() + offset, n);
        c.fn(a.data() + offset, in_b.data() + offset, in_b.data() + offset, n);
        for (size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(same_bits(in_a[offset + i], out[offset + i])) << "in place (a) i=" << i;
          ASSERT_TRUE(same_bits(in_b[offset + i], out[offset + i])) << "in place (b) i=" << i;
        }
      }
    }
  }
}

TEST_P(VectorPaths, UnaryRoutinesMatchScalarBitForBit) {
  for (const UnaryCase& c : kUnary) {
    for (size_t n : kSizes) {
      for (size_t offset : {0, 2}) {
        SCOPED_TRACE(std::string(c.name) + " n=" + std::to_string(n) +
                     " offset=" + std::to_string(offset));
        std::vector<float> a = random_values(n + offset, 5 + n, -3.0f, 3.0f);
        std::vector<float> out(n + offset + 1, kSentinel);
        c.fn(a.data() + offset, out.data() + offset, n);
        for (size_t i = 0; i < n; ++i) {
          float want = c.ref(a[offset + i]);
          ASSERT_TRUE(same_bits(out[offset + i], want) ||
                      (std::isnan(want) && std::isnan(out[offset + i])))
              << "i=" << i << " a=" << a[offset + i] << " got " << out[offset + i] << " want "
              << want;
        }
        EXPECT_EQ(out[offset + n], kSentinel) << "wrote past n";
        c.fn(a.data() + offset, a.data() + offset, n);  // in place
        for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same_bits(a[offset + i], out[offset + i]));
      }
    }
  }
}

// One element through a routine.
float one(void (*fn)(const float*, const float*, float*, size_t), float a, float b) {
  float out;
  fn(&a, &b, &out, 1);
  return out;
}
float one(void (*fn)(const float*, float*, size_t), float a) {
  float out;
  fn(&a, &out, 1);
  return out;
}
float relu(float a) {
  float out;
  vec_zero_below(&a, 0.0f, &out, 1);
  return out;
}
float clip(float a, float lo, float hi) {
  float out;
  vec_clip(&a, lo, hi, &out, 1);
  return out;
}
float reciprocal(float a) {
  float out;
  vec_scalar_div(1.0f, &a, &out, 1);
  return out;
}

TEST_P(VectorPaths, DocumentedEdgeSemantics) {
  struct Case {
    const char* what;
    float got, want;
  };
  const Case cases[] = {
      {"max(NaN, 1) gives 1", one(vec_max, kNaN, 1.0f), 1.0f},
      {"max(1, NaN) gives NaN", one(vec_max, 1.0f, kNaN), kNaN},
      {"min(NaN, 1) gives 1", one(vec_min, kNaN, 1.0f), 1.0f},
      {"min(-0, +0) gives -0", one(vec_min, -0.0f, 0.0f), -0.0f},
      {"div(1, 0) gives inf", one(vec_div, 1.0f, 0.0f), kInf},
      {"sub is a - b", one(vec_sub, 5.0f, 3.0f), 2.0f},
      {"div is a / b", one(vec_div, 6.0f, 3.0f), 2.0f},
      {"relu of NaN is 0", relu(kNaN), 0.0f},
      {"relu keeps -0", relu(-0.0f), -0.0f},
      {"relu of -1e-30 is 0", relu(-1e-30f), 0.0f},
      {"clip keeps NaN", clip(kNaN, 0.0f, 1.0f), kNaN},
      {"clip lower bound wins when lo > hi", clip(0.0f, 2.0f, 1.0f), 2.0f},
      {"clip above hi with lo > hi", clip(5.0f, 2.0f, 1.0f), 1.0f},
      {"neg of 0 is -0", one(vec_neg, 0.0f), -0.0f},
      {"1 / -0 is -inf", reciprocal(-0.0f), -kInf},
      {"sigmoid(0) is 0.5", one(vec_sigmoid, 0.0f), 0.5f},
      {"sigmoid(-inf) is 0", one(vec_sigmoid, -kInf), 0.0f},
      {"sigmoid(-200) is 0", one(vec_sigmoid, -200.0f), 0.0f},
      {"sigmoid(inf) is 1", one(vec_sigmoid, kInf), 1.0f},
      {"sigmoid(NaN) is NaN", one(vec_sigmoid, kNaN), kNaN},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same_bits(c.got, c.want) || (std::isnan(c.got) && std::isnan(c.want)))
        << c.what << ": got " << c.got;
  }
  float nan_neg = one(vec_neg, kNaN);
  EXPECT_TRUE(std::isnan(nan_neg) && std::signbit(nan_neg) != std::signbit(kNaN));
}

TEST_P(VectorPaths, ExpAtEdgeValues) {
  struct Case {
    float x, want;
  };
  const float e = static_cast<float>(std::exp(1.0));
  const Case exact[] = {
      {0.0f, 1.0f},     {-0.0f, 1.0f},    {kInf, kInf},    {-kInf, 0.0f},   {FLT_MAX, kInf},
      {-FLT_MAX, 0.0f}, {88.7229f, kInf}, {89.0f, kInf},   {1000.0f, kInf}, {-104.0f, 0.0f},
      {-120.0f, 0.0f},  {1e-42f, 1.0f},   {-1e-42f, 1.0f}, {1.0f, e},
  };
  for (const Case& c : exact) {
    float out;
    vec_exp(&c.x, &out, 1);
    EXPECT_LE(ulp_distance(out, c.want), 1) << "exp(" << c.x << ") = " << out;
  }
  float x[3] = {kNaN, -kNaN, 88.7228f}, out[3];
  vec_exp(x, out, 3);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_TRUE(std::isfinite(out[2]));
  EXPECT_GT(out[2], 3.4e38f);
  // Results in the subnormal range are still accurate to the last representable step.
  for (float s : {-87.5f, -90.0f, -95.0f, -100.0f, -103.0f}) {
    float y;
    vec_exp(&s, &y, 1);
    EXPECT_LE(ulp_distance(y, static_cast<float>(std::exp(static_cast<double>(s)))), 1) << s;
    EXPECT_GT(y, 0.0f) << s;
  }
}

TEST_P(VectorPaths, ExpWithinTwoUlpAcrossTheRange) {
  // Every 4099th float in the range where exp is neither 0 nor inf, plus random inputs.
  std::vector<float> x;
  for (uint32_t bits = 0; bits < 0x7f800000u; bits += 4099u * 64u) {
    float v = std::bit_cast<float>(bits);
    if (v < 89.0f) x.push_back(v);
    if (v < 104.0f) x.push_back(-v);
  }
  std::vector<float> r = random_values(5001, 77, -100.0f, 88.0f);
  x.insert(x.end(), r.begin(), r.end());
  std::vector<float> y(x.size());
  vec_exp(x.data(), y.data(), x.size());
  int64_t worst = 0;
  float worst_x = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    float want = static_cast<float>(std::exp(static_cast<double>(x[i])));
    int64_t d = ulp_distance(y[i], want);
    if (d > worst) {
      worst = d;
      worst_x = x[i];
    }
  }
  EXPECT_LE(worst, 2) << "worst at x=" << worst_x;
}

TEST_P(VectorPaths, SigmoidFollowsItsFloatSteps) {
  // The documented steps in float with a correctly rounded exp: below about -88.7, e^-x is
  // already inf and the result 0, as with the separate calls.
  std::vector<float> x = random_values(4099, 5, -95.0f, 95.0f), y(x.size());
  vec_sigmoid(x.data(), y.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    float e = static_cast<float>(std::exp(-static_cast<double>(x[i])));
    float want = 1.0f / (e + 1.0f);
    ASSERT_LE(ulp_distance(y[i], want), 2) << "x=" << x[i];
  }
}

TEST_P(VectorPaths, SiluIsSigmoidThenMul) {
  // Inputs on both sides of the exp kernel's direct-scaling bounds, where vectors switch
  // between its two ways of applying 2^k, plus NaN, infinities and signed zeros.
  std::vector<float> x = random_values(4099, 9, -110.0f, 95.0f);
  for (float v = -88.5f; v <= -85.0f; v += 0.0625f) x.push_back(v);
  for (float v = 87.0f; v <= 89.5f; v += 0.0625f) x.push_back(v);
  for (float v : {kNaN, kInf, -kInf, 0.0f, -0.0f}) x.push_back(v);
  std::vector<float> gate(x.size()), want(x.size()), got(x.size());
  vec_sigmoid(x.data(), gate.data(), x.size());
  vec_mul(x.data(), gate.data(), want.data(), x.size());
  // Bits must agree; a NaN only has to stay a NaN (its sign is not defined).
  auto same = [](float a, float b) {
    return std::isnan(a) ? std::isnan(b) : std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
  };
  vec_silu(x.data(), got.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_TRUE(same(got[i], want[i])) << "x=" << x[i];
  vec_silu(x.data(), x.data(), x.size());  // in place
  for (size_t i = 0; i < x.size(); ++i) ASSERT_TRUE(same(x[i], want[i])) << i;
}

TEST_P(VectorPaths, StridedAddHonoursEveryStride) {
  const size_t n = 37;
  std::vector<float> a(n * 2), b(n), out(n * 3, kSentinel);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i) * 0.5f;
  for (size_t i = 0; i < b.size(); ++i) b[i] = 100.0f + static_cast<float>(i);
  vec_add_strided(a.data(), 2, b.data() + n - 1, -1, out.data(), 3, n);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(out[i * 3], a[i * 2] + b[n - 1 - i]) << i;
    EXPECT_EQ(out[i * 3 + 1], kSentinel);
    EXPECT_EQ(out[i * 3 + 2], kSentinel);
  }
}

TEST_P(VectorPaths, TailsNeverTouchTheNextPage) {
  // The last element sits right before an inaccessible page: an over-read or over-write
  // of the tail would fault.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(mem) + page, page, PROT_NONE), 0);
  float* end = reinterpret_cast<float*>(static_cast<char*>(mem) + page);
  for (size_t n : {1, 3, 7, 9, 13}) {
    float* a = end - n;
    for (size_t i = 0; i < n; ++i) a[i] = 0.25f * static_cast<float>(i);
    vec_exp(a, a, n);
    vec_add(a, a, a, n);
    vec_clip(a, 0.0f, 2.0f, a, n);
    vec_sigmoid(a, a, n);
    vec_max(a, a, a, n);
    vec_scalar_div(1.0f, a, a, n);
    EXPECT_TRUE(std::isfinite(a[n - 1]));
  }
  munmap(mem, 2 * page);
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorPaths,
                         ::testing::Values(VectorPath::kPortable, VectorPath::kAvx2,
                                           VectorPath::kAvx512),
                         [](const ::testing::TestParamInfo<VectorPath>& p) {
                           return std::string(vector_math_path_name(p.param));
                         });

TEST(VectorMath, EveryPathGivesTheSameBits) {
  std::vector<float> x = random_values(20011, 3, -110.0f, 95.0f),
                     b = random_values(20011, 4, -2, 2);
  // Whole vectors on either side of the exp kernel's direct-scaling bounds.
  for (float v = -88.5f; v <= -85.0f; v += 1.0f / 128) x.push_back(v);
  for (float v = 87.0f; v <= 89.5f; v += 1.0f / 128) x.push_back(v);
  b.resize(x.size(), 0.5f);
  using Fn = std::function<void(const float*, float*, size_t)>;
  const std::pair<const char*, Fn> fns[] = {
      {"exp", vec_exp},
      {"sigmoid", vec_sigmoid},
      {"silu", vec_silu},
      {"mul_scalar_add",
       [&](const float* a, float* o, size_t n) { vec_mul_scalar_add(a, 1.5f, b.data(), o, n); }},
      {"clip", [](const float* a, float* o, size_t n) { vec_clip(a, -3.0f, 7.0f, o, n); }},
  };
  // Every vector path the CPU has against the portable one.
  for (const auto& [name, fn] : fns) {
    std::vector<float> portable(x.size()), vector(x.size());
    vector_math_force_portable(true);
    EXPECT_EQ(vector_math_path(), VectorPath::kPortable);
    fn(x.data(), portable.data(), x.size());
    for (VectorPath path : {VectorPath::kAvx2, VectorPath::kAvx512}) {
      if (!vector_math_force_path(path)) continue;
      fn(x.data(), vector.data(), x.size());
      EXPECT_EQ(0, std::memcmp(vector.data(), portable.data(), x.size() * sizeof(float)))
          << name << " on " << vector_math_path_name(path);
    }
  }
  vector_math_force_portable(false);
  // The widest path the CPU has is the one in use.
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("fma")) {
    EXPECT_EQ(vector_math_path(), VectorPath::kAvx512);
  } else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    EXPECT_EQ(vector_math_path(), VectorPath::kAvx2);
  }
}

}  // namespace
}  // namespace vexa
