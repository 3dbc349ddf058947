// Resize (linear half-pixel and align-corners, nearest), GridSample and DeformUnfold against
// double-precision references written from the ONNX definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "cpu/ops/resize.h"
#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

constexpr uint32_t kLinear = 27;
constexpr uint32_t kAlignCorners = 28;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Source coordinate of output entry o along an axis.
double source_coord(uint64_t o, uint64_t in, uint64_t out, bool corners) {
  if (corners) return out > 1 ? static_cast<double>(o) * (in - 1) / (out - 1) : 0.0;
  return (o + 0.5) * static_cast<double>(in) / out - 0.5;
}

std::vector<float> linear_ref(const std::vector<float>& x, uint64_t planes, uint64_t h,
                              uint64_t w, uint64_t oh, uint64_t ow, bool corners) {
  std::vector<float> y(planes * oh * ow);
  for (uint64_t p = 0; p < planes; ++p) {
    for (uint64_t i = 0; i < oh; ++i) {
      const double sy = std::clamp(source_coord(i, h, oh, corners), 0.0, double(h - 1));
      const uint64_t y0 = static_cast<uint64_t>(sy), y1 = std::min(y0 + 1, h - 1);
      for (uint64_t j = 0; j < ow; ++j) {
        const double sx = std::clamp(source_coord(j, w, ow, corners), 0.0, double(w - 1));
        const uint64_t x0 = static_cast<uint64_t>(sx), x1 = std::min(x0 + 1, w - 1);
        auto v = [&](uint64_t r, uint64_t c) { return double{x[(p * h + r) * w + c]}; };
        const double fy = sy - y0, fx = sx - x0;
        y[(p * oh + i) * ow + j] = static_cast<float>(
            (1 - fy) * ((1 - fx) * v(y0, x0) + fx * v(y0, x1)) +
            fy * ((1 - fx) * v(y1, x0) + fx * v(y1, x1)));
      }
    }
  }
  return y;
}

// ONNX nearest: the coordinate rule, then round half down, clamped into the input.
uint64_t nearest_ref(uint64_t o, uint64_t in, uint64_t out, bool corners) {
  const double c = std::ceil(source_coord(o, in, out, corners) - 0.5);
  return static_cast<uint64_t>(std::clamp(c, 0.0, double(in - 1)));
}

void run_resize(uint64_t n, uint64_t c, uint64_t h, uint64_t w, uint64_t oh, uint64_t ow,
                bool linear, bool corners) {
  OpGraph g;
  const auto x = ramp(n * c * h * w, 31);
  const uint64_t a = g.in({n, c, h, w}, x);
  const uint64_t y = g.out({n, c, oh, ow});
  // The integer factors a converter records are ignored: zero must not matter.
  g.node(OpKind::kResize, {a}, {y},
         {{kLinear, linear ? 1u : 0u}, {kAlignCorners, corners ? 1u : 0u}, {17, 0}, {18, 0}});
  ASSERT_TRUE(g.run());
  if (linear || (h == 1 && w == 1)) {
    EXPECT_TRUE(same_floats(g.data(y), linear_ref(x, n * c, h, w, oh, ow, corners), 2e-6))
        << h << "x" << w << " -> " << oh << "x" << ow << (corners ? " corners" : "");
    return;
  }
  for (uint64_t p = 0; p < n * c; ++p) {
    for (uint64_t i = 0; i < oh; ++i) {
      for (uint64_t j = 0; j < ow; ++j) {
        const float want = x[(p * h + nearest_ref(i, h, oh, corners)) * w + nearest_ref(j, w, ow, corners)];
        ASSERT_EQ(g.data(y)[(p * oh + i) * ow + j], want)
            << h << "x" << w << " -> " << oh << "x" << ow << " at " << i << "," << j;
      }
    }
  }
}

TEST(CpuResize, LinearAndNearestAgainstReferences) {
  struct Case {
    uint64_t n, c, h, w, oh, ow;
  };
  const Case cases[] = {
      {1, 1, 1, 2, 1, 4},    {1, 3, 4, 4, 8, 8},  {2, 2, 10, 7, 15, 3}, {1, 1, 9, 9, 4, 4},
      {1, 2, 5, 6, 1, 1},    {1, 1, 3, 3, 3, 3},  {1, 1, 1, 1, 4, 5},   {1, 1, 2, 3, 1, 3000},
      {1, 16, 20, 20, 40, 40},  // split over the pool
  };
  for (const Case& c : cases) {
    for (bool linear : {true, false}) {
      for (bool corners : {false, true}) run_resize(c.n, c.c, c.h, c.w, c.oh, c.ow, linear, corners);
    }
  }
}

// The vector and portable linear paths give the same bits, tails and odd widths included.
TEST(CpuResize, LinearPathsAgreeBitForBit) {
  const uint64_t widths[][2] = {{5, 7}, {9, 17}, {16, 33}, {64, 200}, {3, 1}};
  for (const auto& wdt : widths) {
    for (bool corners : {false, true}) {
      std::vector<float> results[2];
      for (int portable = 0; portable < 2; ++portable) {
        cpu_resize_force_portable(portable == 1);
        OpGraph g;
        const uint64_t y = g.out({1, 9, 11, wdt[1]});
        g.node(OpKind::kResize, {g.in({1, 9, 6, wdt[0]}, ramp(9 * 6 * wdt[0], 77))}, {y},
               {{kLinear, 1}, {kAlignCorners, corners ? 1u : 0u}});
        EXPECT_TRUE(g.run());
        results[portable] = g.data(y);
      }
      cpu_resize_force_portable(false);
      EXPECT_EQ(results[0], results[1]) << wdt[0] << " -> " << wdt[1];
    }
  }
}

TEST(CpuResize, HandPickedValues) {
  OpGraph g;
  const uint64_t up = g.out({1, 1, 1, 4});
  g.node(OpKind::kResize, {g.in({1, 1, 1, 2}, {0, 1})}, {up}, {{kLinear, 1}});
  const uint64_t one = g.out({1, 1, 1, 1});
  g.node(OpKind::kResize, {g.in({1, 1, 1, 3}, {5, 6, 7})}, {one}, {{kLinear, 1}, {kAlignCorners, 1}});
  const uint64_t block = g.out({1, 1, 4, 4});
  g.node(OpKind::kResize, {g.in({1, 1, 2, 2}, {1, 2, 3, 4})}, {block}, {{17, 2}, {18, 2}});
  ASSERT_TRUE(g.run());
  EXPECT_EQ(g.data(up), (std::vector<float>{0, 0.25f, 0.75f, 1}));
  EXPECT_EQ(g.data(one)[0], 5.0f);
  EXPECT_EQ(g.data(block), (std::vector<float>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
}

double grid_ref(const std::vector<float>& x, uint64_t plane, uint64_t h, uint64_t w, float gx,
                float gy) {
  const double px = ((gx + 1.0) * w - 1.0) / 2.0, py = ((gy + 1.0) * h - 1.0) / 2.0;
  const double x0 = std::floor(px), y0 = std::floor(py);
  double acc = 0.0;
  for (int dy = 0; dy < 2; ++dy) {
    for (int dx = 0; dx < 2; ++dx) {
      const double tx = x0 + dx, ty = y0 + dy;
      if (tx < 0 || ty < 0 || tx >= w || ty >= h) continue;
      const double wt = (dx ? px - x0 : 1 - (px - x0)) * (dy ? py - y0 : 1 - (py - y0));
      acc += wt * x[plane * h * w + static_cast<uint64_t>(ty) * w + static_cast<uint64_t>(tx)];
    }
  }
  return acc;
}

TEST(CpuGridSample, BilinearWithZeroPadding) {
  const uint64_t n = 2, c = 3, h = 4, w = 6, oh = 3, ow = 5;
  const auto x = ramp(n * c * h * w, 41);
  auto grid = ramp(n * oh * ow * 2, 43);
  for (float& v : grid) v *= 1.3f;  // some points fall outside
  grid[0] = -1.0f;
  grid[1] = -1.0f;
  grid[2] = 0.0f;
  grid[3] = 0.0f;
  OpGraph g;
  const uint64_t y = g.out({n, c, oh, ow});
  g.node(OpKind::kGridSample, {g.in({n, c, h, w}, x), g.in({n, oh, ow, 2}, grid)}, {y});
  ASSERT_TRUE(g.run());
  std::vector<float> want(n * c * oh * ow);
  for (uint64_t b = 0; b < n; ++b) {
    for (uint64_t ch = 0; ch < c; ++ch) {
      for (uint64_t o = 0; o < oh * ow; ++o) {
        want[(b * c + ch) * oh * ow + o] = static_cast<float>(
            grid_ref(x, b * c + ch, h, w, grid[(b * oh * ow + o) * 2], grid[(b * oh * ow + o) * 2 + 1]));
      }
    }
  }
  EXPECT_TRUE(same_floats(g.data(y), want, 1e-5));
  // (-1, -1): a quarter of the corner pixel; (0, 0): the mean of the four centre pixels.
  EXPECT_FLOAT_EQ(g.data(y)[0], 0.25f * x[0]);
  EXPECT_FLOAT_EQ(g.data(y)[1], 0.25f * (x[8] + x[9] + x[14] + x[15]));
}

// Large enough to be split over the pool.
TEST(CpuGridSample, LargeGridMatchesReference) {
  const uint64_t c = 16, h = 32, w = 32, oh = 64, ow = 64;
  const auto x = ramp(c * h * w, 45);
  const auto grid = ramp(oh * ow * 2, 47);
  OpGraph g;
  const uint64_t y = g.out({1, c, oh, ow});
  g.node(OpKind::kGridSample, {g.in({1, c, h, w}, x), g.in({1, oh, ow, 2}, grid)}, {y});
  ASSERT_TRUE(g.run());
  std::vector<float> want(c * oh * ow);
  for (uint64_t ch = 0; ch < c; ++ch) {
    for (uint64_t o = 0; o < oh * ow; ++o) {
      want[ch * oh * ow + o] = static_cast<float>(grid_ref(x, ch, h, w, grid[o * 2], grid[o * 2 + 1]));
    }
  }
  EXPECT_TRUE(same_floats(g.data(y), want, 1e-5));
}

TEST(CpuGridSample, WildCoordinatesStayInside) {
  OpGraph g;
  const uint64_t y = g.out({1, 1, 1, 6});
  g.node(OpKind::kGridSample,
         {g.in({1, 1, 2, 2}, {1, 2, 3, 4}),
          g.in({1, 1, 6, 2}, {kNaN, kNaN, 1e30f, -1e30f, -1e30f, 1e30f, 3.0f, 0.0f,
                              std::numeric_limits<float>::infinity(), 0.0f, 1.0f, 1.0f})},
         {y});
  ASSERT_TRUE(g.run());
  for (float v : g.data(y)) EXPECT_TRUE(std::isfinite(v));
  EXPECT_FLOAT_EQ(g.data(y)[5], 0.25f * 4.0f);
}

TEST(CpuDeformUnfold, MatchesTheTapDefinition) {
  struct Size {
    int64_t k;
    uint64_t c, h, w;
  };
  // The last size is split over the pool.
  for (const Size& size : {Size{3, 2, 3, 4}, Size{7, 2, 3, 4}, Size{3, 32, 16, 16}}) {
    const int64_t k = size.k;
    const uint64_t c = size.c, h = size.h, w = size.w, kk = static_cast<uint64_t>(k * k);
    const int64_t pad = k > 3 ? 3 : 1;
    const auto x = ramp(c * h * w, 51);
    auto off = ramp(2 * kk * h * w, 53);
    for (float& v : off) v *= 3.0f;
    off[0] = kNaN;
    off[1] = 1e30f;
    const auto mod = ramp(kk * h * w, 57);
    OpGraph g;
    const uint64_t y = g.out({1, c, h * k, w * k});
    g.node(OpKind::kDeformUnfold,
           {g.in({1, c, h, w}, x), g.in({1, 2 * kk, h, w}, off), g.in({1, kk, h, w}, mod)}, {y},
           {{15, static_cast<uint64_t>(k)}});
    ASSERT_TRUE(g.run());
    const double hp = h + 2 * pad, wp = w + 2 * pad;
    std::vector<float> want(c * h * k * w * k);
    for (uint64_t cy = 0; cy < h; ++cy) {
      for (uint64_t cx = 0; cx < w; ++cx) {
        for (uint64_t t = 0; t < kk; ++t) {
          const uint64_t ky = t / k, kx = t % k, at = cy * w + cx;
          auto clampd = [](double v, double hi) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, hi); };
          const double py = clampd(double(cy + ky) + off[2 * t * h * w + at], hp - 1);
          const double px = clampd(double(cx + kx) + off[(2 * t + 1) * h * w + at], wp - 1);
          const double y0 = std::floor(py), x0 = std::floor(px);
          const double y1 = std::min(y0 + 1, hp - 1), x1 = std::min(x0 + 1, wp - 1);
          const double fy = py - y0, fx = px - x0, m = mod[t * h * w + at];
          for (uint64_t ch = 0; ch < c; ++ch) {
            auto v = [&](double r, double col) {
              const double ir = r - pad, ic = col - pad;
              if (ir < 0 || ic < 0 || ir >= h || ic >= w) return 0.0;
              return double{x[ch * h * w + static_cast<uint64_t>(ir) * w + static_cast<uint64_t>(ic)]};
            };
            want[ch * h * w * kk + (cy * k + ky) * w * k + cx * k + kx] = static_cast<float>(
                m * ((1 - fy) * (1 - fx) * v(y0, x0) + fy * (1 - fx) * v(y1, x0) +
                     (1 - fy) * fx * v(y0, x1) + fy * fx * v(y1, x1)));
          }
        }
      }
    }
    EXPECT_TRUE(same_floats(g.data(y), want, 1e-5)) << "K " << k;
  }
}

TEST(CpuResizeFamily, MalformedNodesAreRefusedAtBuild) {
  const RefusedGraph cases[] = {
      {"resize rank", [](OpGraph& g) { g.node(OpKind::kResize, {g.in({2, 2})}, {g.out({4, 4})}); }},
      {"resize channels", [](OpGraph& g) {
         g.node(OpKind::kResize, {g.in({1, 2, 2, 2})}, {g.out({1, 3, 4, 4})});
       }},
      {"resize empty input", [](OpGraph& g) {
         g.node(OpKind::kResize, {g.in({1, 1, 0, 2})}, {g.out({1, 1, 4, 4})});
       }},
      {"grid shape", [](OpGraph& g) {
         g.node(OpKind::kGridSample, {g.in({1, 1, 4, 4}), g.in({1, 2, 2, 3})}, {g.out({1, 1, 2, 2})});
       }},
      {"grid batch", [](OpGraph& g) {
         g.node(OpKind::kGridSample, {g.in({2, 1, 4, 4}), g.in({1, 2, 2, 2})}, {g.out({2, 1, 2, 2})});
       }},
      {"deform kernel", [](OpGraph& g) {
         g.node(OpKind::kDeformUnfold, {g.in({1, 1, 2, 2}), g.in({1, 0, 2, 2}), g.in({1, 0, 2, 2})},
                {g.out({1, 1, 0, 0})});
       }},
      {"deform offsets", [](OpGraph& g) {
         g.node(OpKind::kDeformUnfold, {g.in({1, 1, 2, 2}), g.in({1, 9, 2, 2}), g.in({1, 9, 2, 2})},
                {g.out({1, 1, 6, 6})}, {{15, 3}});
       }},
  };
  expect_all_refused(cases);
}

}  // namespace
}  // namespace vexa::cpu::optest
