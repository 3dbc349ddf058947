#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/lanczos.h"
#include "testdata.h"

namespace vexa {
namespace {

// Reads a binary PPM (P6, maxval 255, no comments) into an ImageBuffer.
ImageBuffer read_ppm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string magic;
  uint32_t width = 0, height = 0, maxval = 0;
  in >> magic >> width >> height >> maxval;
  in.get();
  if (magic != "P6" || maxval != 255) throw std::runtime_error("not a P6 PPM: " + path);
  ImageBuffer image = image_buffer_init(width, static_cast<int32_t>(height));
  in.read(reinterpret_cast<char*>(image.pixels.data()),
          static_cast<std::streamsize>(image.pixels.size()));
  if (!in) throw std::runtime_error("short PPM: " + path);
  return image;
}

std::string fixture(const std::string& name) {
  return std::string(VEXA_FIXTURES_DIR) + "/lanczos/" + name;
}

ImageBuffer load_source(const std::string& name) {
  if (name == "photo") {
    return read_ppm(test::testdata_path("images/jpeg-testimages/testorig.ppm"));
  }
  return read_ppm(fixture(name + ".ppm"));
}

// Horizontal pass first, as the generative image path does.
ImageBuffer resize_2d(const ImageBuffer& src, uint32_t width, uint32_t height) {
  const ImageBuffer wide = resize_lanczos3(src, width, true);
  return resize_lanczos3(wide, height, false);
}

struct GoldenCase {
  const char* source;
  uint32_t width;
  uint32_t height;
};

constexpr GoldenCase kGoldenCases[] = {
    {"photo", 100, 149}, {"photo", 56, 149}, {"photo", 227, 60}, {"photo", 227, 37},
    {"photo", 64, 48},   {"photo", 113, 75}, {"noise", 16, 48},  {"noise", 64, 12},
    {"noise", 21, 48},   {"noise", 64, 16},  {"noise", 150, 48}, {"noise", 64, 111},
    {"noise", 160, 120}, {"noise", 9, 7},    {"noise", 1, 48},   {"noise", 64, 1},
    {"noise", 63, 48},   {"noise", 65, 47},  {"gradient", 97, 30}, {"gradient", 40, 71},
    {"gradient", 13, 10}, {"gradient", 7, 30}, {"steps", 80, 27}, {"steps", 33, 65},
    {"steps", 11, 27},   {"steps", 33, 9},   {"steps", 70, 50},
};

// Selects the portable kernels for the scope (the AVX2 ones are the default where available).
struct PortableScope {
  explicit PortableScope(bool portable) { lanczos_force_portable_for_testing(portable); }
  ~PortableScope() { lanczos_force_portable_for_testing(false); }
};

// Pillow computes the same filter (Lanczos-3 weights in double, normalised, rounded to 22-bit
// fixed point, u8 samples, the same rounding offset and clamp, horizontal pass first), so the
// bound is exact: every byte equals Pillow's, with either kernel set.
TEST(Lanczos, MatchesPillowGoldensExactly) {
  VEXA_REQUIRE_TESTDATA("images/jpeg-testimages/testorig.ppm");
  for (const bool portable : {false, true}) {
    PortableScope kernels(portable);
    for (const GoldenCase& c : kGoldenCases) {
      SCOPED_TRACE(std::string(c.source) + " " + std::to_string(c.width) + "x" +
                   std::to_string(c.height) + (portable ? " portable" : " default"));
      const ImageBuffer src = load_source(c.source);
      const ImageBuffer expected = read_ppm(fixture(std::string(c.source) + "_" +
                                                    std::to_string(c.width) + "x" +
                                                    std::to_string(c.height) + ".ppm"));
      const ImageBuffer got = resize_2d(src, c.width, c.height);
      ASSERT_EQ(got.width, expected.width);
      ASSERT_EQ(got.height, expected.height);
      EXPECT_EQ(got.orientation, 1u);
      size_t differing = 0;
      size_t first = 0;
      for (size_t i = 0; i < got.pixels.size(); ++i) {
        if (got.pixels[i] != expected.pixels[i] && differing++ == 0) first = i;
      }
      EXPECT_EQ(differing, 0u) << "first at byte " << first << ": " << int(got.pixels[first])
                               << " vs " << int(expected.pixels[first]);
    }
  }
}

// The vector kernels against the plain loops: random bytes (extreme values included), widths
// whose byte counts leave every tail length of the 8- and 32-byte blocks, both passes.
TEST(Lanczos, VectorKernelsMatchPortableLoops) {
  if (!lanczos_uses_avx2()) GTEST_SKIP() << "no AVX2 on this CPU";
  std::mt19937 rng(2024);
  struct Case { uint32_t w, h, target; bool horizontal; };
  std::vector<Case> cases;
  for (uint32_t w : {1u, 2u, 3u, 5u, 8u, 11u, 13u, 21u, 37u, 64u}) {
    for (uint32_t target : {1u, 2u, 3u, 7u, 10u, 16u, 33u, 90u}) {
      cases.push_back({w, 9, target, true});
      cases.push_back({w, 9 + w % 5, target, false});
    }
  }
  cases.push_back({4000, 4, 224, true});
  cases.push_back({35, 3000, 224, false});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " -> " +
                 std::to_string(c.target) + (c.horizontal ? " h" : " v"));
    ImageBuffer src = image_buffer_init(c.w, int32_t(c.h));
    for (auto& b : src.pixels) {
      const uint32_t r = rng();
      b = (r & 3) == 0 ? 255 : (r & 3) == 1 ? 0 : uint8_t(r >> 8);
    }
    const ImageBuffer vec = resize_lanczos3(src, c.target, c.horizontal);
    PortableScope kernels(true);
    ASSERT_FALSE(lanczos_uses_avx2());
    const ImageBuffer plain = resize_lanczos3(src, c.target, c.horizontal);
    ASSERT_EQ(vec.pixels, plain.pixels);
  }
}

// Restores normal thread creation even when an assertion fails mid-test.
struct ThreadFailureScope {
  explicit ThreadFailureScope(uint32_t mask) { lanczos_fail_thread_starts_for_testing(mask); }
  ~ThreadFailureScope() { lanczos_fail_thread_starts_for_testing(0); }
};

TEST(Lanczos, FallbackWithoutThreadsGivesIdenticalBytes) {
  VEXA_REQUIRE_TESTDATA("images/jpeg-testimages/testorig.ppm");
  const ImageBuffer src = load_source("photo");
  const ImageBuffer threaded_h = resize_lanczos3(src, 101, true);
  const ImageBuffer threaded_v = resize_lanczos3(src, 67, false);
  const ImageBuffer threaded_up = resize_lanczos3(src, 301, false);
  // Parts are bits 1..3: all fail, only the middle one, the first and last.
  for (const uint32_t mask : {0xEu, 0x4u, 0xAu, 0x2u}) {
    SCOPED_TRACE(mask);
    ThreadFailureScope scope(mask);
    EXPECT_EQ(resize_lanczos3(src, 101, true).pixels, threaded_h.pixels);
    EXPECT_EQ(resize_lanczos3(src, 67, false).pixels, threaded_v.pixels);
    EXPECT_EQ(resize_lanczos3(src, 301, false).pixels, threaded_up.pixels);
  }
}

TEST(Lanczos, FilterTablesHaveTheTextbookShape) {
  struct Case { uint32_t n, target, taps; };
  // Enlarging keeps support 3 (7 taps); shrinking by r widens it to 3r.
  const Case cases[] = {{10, 25, 7}, {64, 16, 25}, {227, 100, 2 * 7 + 1}, {5, 5, 7},
                        {1, 9, 7},   {48, 1, 2 * 144 + 1}, {33, 9, 2 * 11 + 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + "->" + std::to_string(c.target));
    const ResampleWeights t = lanczos3_weights(c.n, c.target);
    EXPECT_EQ(t.taps, c.taps);
    ASSERT_EQ(t.bounds.size(), 2u * c.target);
    ASSERT_EQ(t.weights.size(), size_t{c.target} * c.taps);
    for (uint32_t i = 0; i < c.target; ++i) {
      const int32_t start = t.bounds[2 * i], count = t.bounds[2 * i + 1];
      ASSERT_GE(start, 0);
      ASSERT_GE(count, 1);
      ASSERT_LE(count, int32_t(c.taps));
      ASSERT_LE(start + count, int32_t(c.n));
      int64_t sum = 0;
      for (int32_t k = 0; k < count; ++k) sum += t.weights[size_t{i} * c.taps + k];
      for (uint32_t k = count; k < c.taps; ++k) EXPECT_EQ(t.weights[size_t{i} * c.taps + k], 0);
      // Each weight is rounded on its own: the sum is 2^22 within half a unit per tap.
      EXPECT_LE(std::llabs(sum - (int64_t{1} << 22)), (count + 1) / 2);
    }
  }
}

TEST(Lanczos, UniformImagesStayUniform) {
  for (const uint8_t value : {uint8_t{0}, uint8_t{1}, uint8_t{128}, uint8_t{254}, uint8_t{255}}) {
    ImageBuffer src = image_buffer_init(37, 23);
    std::fill(src.pixels.begin(), src.pixels.end(), value);
    for (const uint32_t target : {1u, 5u, 22u, 36u, 38u, 97u}) {
      for (const bool horizontal : {true, false}) {
        const ImageBuffer out = resize_lanczos3(src, target, horizontal);
        for (const uint8_t b : out.pixels) ASSERT_EQ(b, value) << int(target) << horizontal;
      }
    }
  }
}

TEST(Lanczos, SameSizeIsAnExactCopyKeepingOrientation) {
  ImageBuffer src = load_source("noise");
  src.orientation = 6;
  for (const bool horizontal : {true, false}) {
    const ImageBuffer out = resize_lanczos3(src, horizontal ? src.width : src.height, horizontal);
    EXPECT_EQ(out.width, src.width);
    EXPECT_EQ(out.height, src.height);
    EXPECT_EQ(out.orientation, 6u);
    EXPECT_EQ(out.pixels, src.pixels);
  }
  // A resized result is a new image: orientation 1.
  EXPECT_EQ(resize_lanczos3(src, 10, true).orientation, 1u);
}

TEST(Lanczos, OvershootIsClampedNotWrapped) {
  // A black-to-white step enlarged: in exact arithmetic the negative lobes ring below 0 and
  // above 255 next to the edge. A double-precision evaluation of the same filter marks where;
  // there the bytes must be clamped (a wrapped value would read as the opposite extreme).
  constexpr uint32_t kSrc = 16, kDst = 61;
  ImageBuffer src = image_buffer_init(kSrc, 1);
  for (uint32_t x = kSrc / 2; x < kSrc; ++x) {
    src.pixels[3 * x] = src.pixels[3 * x + 1] = src.pixels[3 * x + 2] = 255;
  }
  const ImageBuffer up = resize_lanczos3(src, kDst, true);
  const double ratio = double(kSrc) / kDst;
  auto sinc = [](double t) { return t == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t); };
  int undershoots = 0, overshoots = 0;
  for (uint32_t i = 0; i < kDst; ++i) {
    const double center = ratio * (i + 0.5);
    double num = 0, den = 0;
    for (int j = 0; j < int(kSrc); ++j) {
      const double x = j - center + 0.5;
      if (x < -3 || x >= 3) continue;
      const double w = sinc(x) * sinc(x / 3);
      num += w * src.pixels[3 * j];
      den += w;
    }
    const double exact = num / den;
    for (uint32_t c = 0; c < 3; ++c) {
      const uint8_t got = up.pixels[3 * i + c];
      if (exact < -0.5) {
        ++undershoots;
        EXPECT_EQ(got, 0) << i;
      } else if (exact > 255.5) {
        ++overshoots;
        EXPECT_EQ(got, 255) << i;
      } else {
        EXPECT_LE(std::fabs(got - exact), 1.0) << i;
      }
    }
  }
  EXPECT_GT(undershoots, 0);
  EXPECT_GT(overshoots, 0);
}

TEST(Lanczos, BadSizesAreRefusedWithImageDimensions) {
  struct Dims { uint32_t width; int32_t height; bool ok; };
  const Dims dims[] = {{1, 1, true},       {32768, 1, true},  {1, 32768, true},
                       {0, 1, false},      {1, 0, false},     {1, -1, false},
                       {32769, 1, false},  {1, 32769, false}, {10001, 10000, false},
                       {1, INT32_MIN, false}, {0xFFFFFFFFu, 1, false}};
  for (const Dims& d : dims) {
    SCOPED_TRACE(std::to_string(d.width) + "x" + std::to_string(d.height));
    if (d.ok) {
      const ImageBuffer b = image_buffer_init(d.width, d.height);
      EXPECT_EQ(b.orientation, 1u);
      EXPECT_EQ(b.pixels.size(), 3ull * d.width * uint32_t(d.height));
      for (const uint8_t v : b.pixels) ASSERT_EQ(v, 0);
    } else {
      try {
        image_buffer_init(d.width, d.height);
        ADD_FAILURE() << "accepted";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Image dimensions");
      }
    }
  }

  const ImageBuffer small = image_buffer_init(4, 3);
  const ImageBuffer wide = image_buffer_init(32768, 1);
  ImageBuffer inconsistent = image_buffer_init(4, 3);
  inconsistent.pixels.pop_back();
  ImageBuffer empty;
  struct Bad { const ImageBuffer* src; uint32_t target; bool horizontal; };
  const Bad bad[] = {
      {&small, 0, true}, {&small, 0, false}, {&small, 32769, true}, {&small, 0x80000000u, false},
      // 32768 x 3052 is just over 100,000,000 pixels.
      {&wide, 3052, false}, {&inconsistent, 2, true}, {&empty, 0, true}, {&empty, 3, false}};
  for (const Bad& b : bad) {
    SCOPED_TRACE(std::to_string(b.target) + (b.horizontal ? " h" : " v"));
    try {
      resize_lanczos3(*b.src, b.target, b.horizontal);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Image dimensions");
    }
  }
}

}  // namespace
}  // namespace vexa
