#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "image/bilinear.h"
#include "image/normalize.h"
#include "image_test_util.h"

namespace vexa {
namespace {

using test::message;

constexpr uint32_t kRgb = 1, kBgra = 4, kRgba = 3, kGray = 5;

PixelView packed_view(const std::vector<uint8_t>& px, uint32_t w, uint32_t h, uint32_t format) {
  const uint64_t stride = uint64_t{w} * pixel_format_bytes(format);
  return PixelView{px.data(), px.size(), w, h, stride, format};
}

// Runs pixels_to_chw and hands back the floats (the block is freed here).
std::vector<float> chw(const PixelView& view, uint32_t w, uint32_t h,
                       const NormalizationParams& p) {
  return test::take_chw(pixels_to_chw(&view, w, h, &p), w, h, 3ull * w * h);
}

TEST(Normalize, PresetTable) {
  struct Row {
    const char* name;
    NormalizationParams p;
    float scale, m0, m1, m2, s0, s1, s2;
  };
  const float unit = 0.003921569f;
  const Row rows[] = {
      {"unit", preset_unit(), unit, 0, 0, 0, 1, 1, 1},
      {"raw", preset_raw(), 1.0f, 0, 0, 0, 1, 1, 1},
      {"signed", preset_signed(), unit, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f},
      {"imagenet", preset_imagenet(), unit, 0.485f, 0.456f, 0.406f, 0.229f, 0.224f, 0.225f},
      {"clip", preset_clip(), unit, 0.48145466f, 0.4578275f, 0.40821073f, 0.26862954f,
       0.26130258f, 0.27577711f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.p.scale, r.scale);
    EXPECT_EQ(r.p.mean[0], r.m0);
    EXPECT_EQ(r.p.mean[1], r.m1);
    EXPECT_EQ(r.p.mean[2], r.m2);
    EXPECT_EQ(r.p.std[0], r.s0);
    EXPECT_EQ(r.p.std[1], r.s1);
    EXPECT_EQ(r.p.std[2], r.s2);
    EXPECT_TRUE(normalization_params_valid(r.p));
  }
  // The unit scale is the float nearest 1/255.
  EXPECT_EQ(unit, static_cast<float>(1.0 / 255.0));
}

TEST(Normalize, PresetsAgainstHandComputedValues) {
  // One pixel R=0, G=128, B=255 at the same size: the bilinear byte is the source byte.
  const std::vector<uint8_t> px = {0, 128, 255};
  const PixelView view = packed_view(px, 1, 1, kRgb);
  struct Row {
    const char* name;
    NormalizationParams p;
    double mean[3], std[3];
    double scale;
  };
  const Row rows[] = {
      {"unit", preset_unit(), {0, 0, 0}, {1, 1, 1}, 1 / 255.0},
      {"raw", preset_raw(), {0, 0, 0}, {1, 1, 1}, 1},
      {"signed", preset_signed(), {0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, 1 / 255.0},
      {"imagenet", preset_imagenet(), {0.485, 0.456, 0.406}, {0.229, 0.224, 0.225}, 1 / 255.0},
      {"clip", preset_clip(), {0.48145466, 0.4578275, 0.40821073},
       {0.26862954, 0.26130258, 0.27577711}, 1 / 255.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::vector<float> out = chw(view, 1, 1, r.p);
    ASSERT_EQ(out.size(), 3u);
    for (int c = 0; c < 3; ++c) {
      const double exact = (px[c] * r.scale - r.mean[c]) / r.std[c];
      EXPECT_NEAR(out[c], exact, 4e-7 * std::max(1.0, std::fabs(exact))) << c;
    }
  }
  // Exact corner values.
  const std::vector<float> unit = chw(view, 1, 1, preset_unit());
  EXPECT_EQ(unit[0], 0.0f);
  EXPECT_EQ(unit[1], 128.0f * 0.003921569f);
  EXPECT_EQ(unit[2], 255.0f * 0.003921569f);
  const std::vector<float> raw = chw(view, 1, 1, preset_raw());
  EXPECT_EQ(raw[1], 128.0f);
  EXPECT_EQ(chw(view, 1, 1, preset_signed())[0], -1.0f);
}

TEST(Bilinear, FixedExampleTwoToFour) {
  // R bytes 0 and 255: positions -0.25, 0.25, 0.75, 1.25 give 0, 64, 191, 255.
  const std::vector<uint8_t> px = {0, 7, 9, 255, 7, 9};
  const std::vector<float> out = chw(packed_view(px, 2, 1, kRgb), 4, 1, preset_raw());
  ASSERT_EQ(out.size(), 12u);
  const float expected_r[] = {0, 64, 191, 255};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(out[i], expected_r[i]) << i;
    EXPECT_EQ(out[4 + i], 7.0f);
    EXPECT_EQ(out[8 + i], 9.0f);
  }
  struct Tap { uint32_t i; BilinearTap t; };
  const Tap taps[] = {{0, {0, 1, 2048}}, {1, {0, 1, 1536}}, {2, {0, 1, 512}}, {3, {1, 1, 2048}}};
  for (const Tap& t : taps) {
    const BilinearTap got = bilinear_tap(t.i, 4, 2);
    EXPECT_EQ(got.i0, t.t.i0) << t.i;
    EXPECT_EQ(got.i1, t.t.i1) << t.i;
    EXPECT_EQ(got.w0, t.t.w0) << t.i;
  }
}

TEST(Bilinear, SameSizeReturnsTheSourceBytes) {
  std::mt19937 rng(7);
  std::vector<uint8_t> px(3 * 13 * 9);
  for (auto& b : px) b = static_cast<uint8_t>(rng());
  const std::vector<float> out = chw(packed_view(px, 13, 9, kRgb), 13, 9, preset_raw());
  for (uint32_t i = 0; i < 13 * 9; ++i) {
    for (uint32_t c = 0; c < 3; ++c) ASSERT_EQ(out[c * 13 * 9 + i], px[3 * i + c]) << i;
  }
  for (uint32_t j = 0; j < 9; ++j) {
    const BilinearTap t = bilinear_tap(j, 9, 9);
    EXPECT_EQ(t.i0, int32_t(j));
    EXPECT_EQ(t.w0, kBilinearOne);
  }
}

// Independent reference: bilinear interpolation with half-pixel centres in double precision,
// edge samples clamped. The 11-bit weights, the truncating shift and the final rounding keep
// the fixed-point result within 0.6 of it.
TEST(Bilinear, WithinFixedPointErrorOfExactInterpolation) {
  std::mt19937 rng(42);
  struct Size { uint32_t sw, sh, ow, oh; };
  const Size sizes[] = {{17, 11, 40, 23}, {40, 30, 13, 7}, {5, 5, 64, 3}, {64, 48, 64, 17},
                        {1, 9, 4, 4},     {9, 1, 3, 5},    {31, 29, 30, 31}};
  for (const Size& s : sizes) {
    SCOPED_TRACE(std::to_string(s.sw) + "x" + std::to_string(s.sh) + "->" +
                 std::to_string(s.ow) + "x" + std::to_string(s.oh));
    std::vector<uint8_t> px(3ull * s.sw * s.sh);
    for (auto& b : px) b = static_cast<uint8_t>(rng());
    const std::vector<float> out = chw(packed_view(px, s.sw, s.sh, kRgb), s.ow, s.oh, preset_raw());
    auto at = [&](int x, int y, int c) {
      x = std::clamp(x, 0, int(s.sw) - 1);
      y = std::clamp(y, 0, int(s.sh) - 1);
      return double(px[3 * (size_t(y) * s.sw + x) + c]);
    };
    double worst = 0;
    for (uint32_t j = 0; j < s.oh; ++j) {
      const double sy = (j + 0.5) * s.sh / s.oh - 0.5;
      const int y0 = int(std::floor(sy));
      const double fy = sy - y0;
      for (uint32_t i = 0; i < s.ow; ++i) {
        const double sx = (i + 0.5) * s.sw / s.ow - 0.5;
        const int x0 = int(std::floor(sx));
        const double fx = sx - x0;
        for (int c = 0; c < 3; ++c) {
          const double top = at(x0, y0, c) * (1 - fx) + at(x0 + 1, y0, c) * fx;
          const double bottom = at(x0, y0 + 1, c) * (1 - fx) + at(x0 + 1, y0 + 1, c) * fx;
          const double exact = top * (1 - fy) + bottom * fy;
          const double got = out[c * size_t{s.ow} * s.oh + size_t{j} * s.ow + i];
          worst = std::max(worst, std::fabs(got - exact));
        }
      }
    }
    EXPECT_LT(worst, 0.6);
  }
}

TEST(Normalize, FormatsGiveConsistentPlanes) {
  std::mt19937 rng(3);
  constexpr uint32_t w = 7, h = 5;
  std::vector<uint8_t> rgba(4 * w * h), bgra(4 * w * h), gray(w * h), gray_rgb(3 * w * h);
  for (uint32_t i = 0; i < w * h; ++i) {
    for (int c = 0; c < 4; ++c) rgba[4 * i + c] = static_cast<uint8_t>(rng());
    bgra[4 * i] = rgba[4 * i + 2];
    bgra[4 * i + 1] = rgba[4 * i + 1];
    bgra[4 * i + 2] = rgba[4 * i];
    bgra[4 * i + 3] = static_cast<uint8_t>(rng());  // alpha is never read
    gray[i] = static_cast<uint8_t>(rng());
    gray_rgb[3 * i] = gray_rgb[3 * i + 1] = gray_rgb[3 * i + 2] = gray[i];
  }
  const NormalizationParams p = preset_imagenet();
  EXPECT_EQ(chw(packed_view(rgba, w, h, kRgba), 11, 3, p),
            chw(packed_view(bgra, w, h, kBgra), 11, 3, p));
  const std::vector<float> g = chw(packed_view(gray, w, h, kGray), 11, 3, preset_unit());
  EXPECT_EQ(g, chw(packed_view(gray_rgb, w, h, kRgb), 11, 3, preset_unit()));
  for (uint32_t i = 0; i < 33; ++i) {
    EXPECT_EQ(g[i], g[33 + i]);
    EXPECT_EQ(g[i], g[66 + i]);
  }
}

TEST(Normalize, RefusesBadRequests) {
  const std::vector<uint8_t> px(3 * 4 * 4, 100);
  const PixelView good = packed_view(px, 4, 4, kRgb);
  PixelView short_view = good;
  short_view.length -= 1;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto with = [](auto edit) {
    NormalizationParams p = preset_imagenet();
    edit(p);
    return p;
  };
  struct Case {
    const char* what;
    const PixelView* view;
    uint32_t w, h;
    NormalizationParams p;
  };
  const Case cases[] = {
      {"zero width", &good, 0, 4, preset_unit()},
      {"zero height", &good, 4, 0, preset_unit()},
      {"zero size", &good, 0, 0, preset_unit()},
      {"side too large", &good, 32769, 1, preset_unit()},
      {"too many pixels", &good, 20000, 20000, preset_unit()},
      {"short buffer", &short_view, 4, 4, preset_unit()},
      {"null view", nullptr, 4, 4, preset_unit()},
      {"std 0", &good, 4, 4, with([](NormalizationParams& p) { p.std[1] = 0; })},
      {"negative std", &good, 4, 4, with([](NormalizationParams& p) { p.std[2] = -0.2f; })},
      {"NaN std", &good, 4, 4, with([&](NormalizationParams& p) { p.std[0] = nan; })},
      {"infinite std", &good, 4, 4, with([&](NormalizationParams& p) { p.std[0] = inf; })},
      {"NaN mean", &good, 4, 4, with([&](NormalizationParams& p) { p.mean[0] = nan; })},
      {"infinite scale", &good, 4, 4, with([&](NormalizationParams& p) { p.scale = inf; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Expected<ChwTensor> r = pixels_to_chw(c.view, c.w, c.h, &c.p);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(message(r.error), "invalid pixels, output dimensions or normalization");
    expected_message_free(&r.error);
  }
  Expected<ChwTensor> r = pixels_to_chw(&good, 4, 4, nullptr);
  ASSERT_FALSE(r.ok());
  expected_message_free(&r.error);

  // A scale of 0 is allowed: every value becomes -mean / std.
  const NormalizationParams zero = with([](NormalizationParams& p) { p.scale = 0; });
  const std::vector<float> out = chw(good, 2, 3, zero);
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[c * 6 + i], -zero.mean[c] / zero.std[c]);
  }
}

}  // namespace
}  // namespace vexa
