// The device's half conversions against references built from plain arithmetic: every half
// widened, and every rounding case (exact, ties both ways, overflow, subnormals, NaN) narrowed.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "platform/half.h"

namespace {

double naive_half_value(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  const double v = exponent == 0 ? std::ldexp(mantissa, -24)
                                 : std::ldexp(1024 + mantissa, exponent - 25);
  return (h & 0x8000) ? -v : v;
}

// Finite non-negative half values to their bits.
const std::map<double, uint16_t>& half_table() {
  static const std::map<double, uint16_t> table = [] {
    std::map<double, uint16_t> t;
    for (uint32_t h = 0; h < 0x7c00; ++h) t.emplace(naive_half_value(static_cast<uint16_t>(h)), h);
    return t;
  }();
  return table;
}

// Round to nearest, ties to even, by scaling to the half's unit in the last place.
uint16_t naive_round(float x) {
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  const uint16_t sign = (bits >> 31) ? 0x8000 : 0;
  if (std::isnan(x)) return sign | 0x7e00 | ((bits >> 13) & 0x3ff);
  const double a = std::fabs(static_cast<double>(x));
  if (a >= 65520.0) return sign | 0x7c00;
  int e = a == 0.0 ? -14 : std::ilogb(a);
  if (e < -14) e = -14;
  const double unit = std::ldexp(1.0, e - 10);
  const double r = std::nearbyint(a / unit) * unit;  // the default mode rounds ties to even
  if (r > 65504.0) return sign | 0x7c00;
  return sign | half_table().at(r);
}

TEST(Half, WidenEveryValue) {
  for (uint32_t h = 0; h < 65536; ++h) {
    const float f = vexa::f16_widen(static_cast<uint16_t>(h));
    const uint32_t exponent = (h >> 10) & 0x1f;
    if (exponent == 31 && (h & 0x3ff) != 0) {
      const uint32_t b = std::bit_cast<uint32_t>(f);
      ASSERT_TRUE(std::isnan(f)) << h;
      EXPECT_EQ(b >> 31, h >> 15) << h;
      EXPECT_EQ(b & 0x400000u, 0x400000u) << "quiet bit " << h;
      EXPECT_EQ((b >> 13) & 0x1ff, h & 0x1ff) << "payload " << h;
      continue;
    }
    if (exponent == 31) {
      EXPECT_TRUE(std::isinf(f) && std::signbit(f) == ((h >> 15) != 0)) << h;
      continue;
    }
    ASSERT_EQ(static_cast<double>(f), naive_half_value(static_cast<uint16_t>(h))) << h;
    EXPECT_EQ(std::signbit(f), (h >> 15) != 0) << h;
  }
}

TEST(Half, RoundEvenAgainstScaledRounding) {
  std::vector<float> xs;
  for (uint32_t h = 0; h < 0x7c00; ++h) {
    const double v = naive_half_value(static_cast<uint16_t>(h));
    const double next = naive_half_value(static_cast<uint16_t>(h + 1));
    const float mid = static_cast<float>((v + next) / 2);  // a tie (exact in single)
    xs.push_back(static_cast<float>(v));
    xs.push_back(mid);
    xs.push_back(std::nextafter(mid, 0.0f));
    xs.push_back(std::nextafter(mid, INFINITY));
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) xs.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
  for (float x : {0.0f, 65504.0f, 65519.99f, 65520.0f, 1e30f, INFINITY, 0x1p-25f, 0x1.000002p-25f,
                  0x1p-26f, 0x1.8p-24f, 0x1.4p-24f, 1e-45f}) {
    xs.push_back(x);
  }
  const size_t n = xs.size();
  for (size_t i = 0; i < n; ++i) xs.push_back(-xs[i]);
  for (float x : xs) {
    ASSERT_EQ(vexa::f16_round_even(x), naive_round(x)) << std::hexfloat << x;
  }
  EXPECT_EQ(vexa::f16_round_even(1.0f), 0x3c00);
  EXPECT_EQ(vexa::f16_round_even(65520.0f), 0x7c00);
  EXPECT_EQ(vexa::f16_round_even(-0.0f), 0x8000);
  EXPECT_EQ(vexa::f16_round_even(std::bit_cast<float>(0x7f800001u)), 0x7e00);  // quietened
  EXPECT_EQ(vexa::f16_round_even(std::bit_cast<float>(0xffc12345u)), 0xfe09);
  // Rows: the same conversions element by element.
  std::vector<uint16_t> halves(xs.size());
  std::vector<float> back(xs.size());
  vexa::f16_round_row(xs.data(), halves.data(), xs.size());
  vexa::f16_widen_row(halves.data(), back.data(), halves.size());
  for (size_t i = 0; i < xs.size(); ++i) {
    ASSERT_EQ(halves[i], vexa::f16_round_even(xs[i]));
    ASSERT_EQ(std::bit_cast<uint32_t>(back[i]), std::bit_cast<uint32_t>(vexa::f16_widen(halves[i])));
  }
}

}  // namespace
