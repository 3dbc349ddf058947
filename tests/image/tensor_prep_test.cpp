#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/bilinear.h"
#include "image/tensor_prep.h"
#include "image_test_util.h"

namespace vexa {
namespace {

using test::message;

// RGB test images, written once per test program as binary PPM files in a private folder.
class TempImages {
 public:
  TempImages() {
    char dir[] = "/tmp/vexa_tensor_prep_XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    dir_ = dir;
  }
  ~TempImages() {
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string write(const std::string& name, uint32_t w, uint32_t h,
                    const std::vector<uint8_t>& rgb) {
    const std::string path = dir_ + "/" + name + ".ppm";
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    out.write(reinterpret_cast<const char*>(rgb.data()), std::streamsize(rgb.size()));
    files_.push_back(path);
    return path;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

TempImages& images() {
  static TempImages t;
  return t;
}

std::vector<uint8_t> random_rgb(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> px(3ull * w * h);
  for (auto& b : px) b = static_cast<uint8_t>(rng());
  return px;
}

using test::take_chw;

std::string take_error(Expected<ChwTensor> r) {
  EXPECT_FALSE(r.ok());
  if (r.ok()) {
    std::free(r.value.data);
    return {};
  }
  std::string m = message(r.error);
  expected_message_free(&r.error);
  return m;
}

using PathFn = Expected<ChwTensor> (*)(const char*, uint64_t, uint32_t, uint32_t, uint32_t*,
                                       uint32_t*);

TEST(TensorPrep, PathFamilyAgainstHandComputedValues) {
  // 2 x 2 at the same size: every value comes straight from one byte.
  const std::vector<uint8_t> px = {0, 128, 255, 10, 20, 30, 200, 100, 50, 1, 2, 254};
  const std::string path = images().write("two", 2, 2, px);
  struct Row {
    const char* name;
    PathFn fn;
    double (*expect)(double unit, int c);
    double tolerance;
  };
  static const double kImagenetMean[] = {0.485, 0.456, 0.406};
  static const double kImagenetStd[] = {0.229, 0.224, 0.225};
  static const double kClipMean[] = {0.48145466, 0.4578275, 0.40821073};
  static const double kClipStd[] = {0.26862954, 0.26130258, 0.27577711};
  const Row rows[] = {
      {"unit", image_to_chw_unit, [](double u, int) { return u; }, 0},
      {"signed", image_to_chw_signed, [](double u, int) { return 2 * u - 1; }, 2e-7},
      {"255", image_to_chw_255, [](double u, int) { return u * 255; }, 3e-5},
      {"imagenet", image_to_chw_imagenet,
       [](double u, int c) { return (u - kImagenetMean[c]) / kImagenetStd[c]; }, 1e-6},
      {"clip", image_to_chw_clip,
       [](double u, int c) { return (u - kClipMean[c]) / kClipStd[c]; }, 1e-6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint32_t sw = 0, sh = 0;
    const std::vector<float> out = take_chw(row.fn(path.data(), path.size(), 2, 2, &sw, &sh), 2, 2, 12);
    EXPECT_EQ(sw, 2u);
    EXPECT_EQ(sh, 2u);
    ASSERT_EQ(out.size(), 12u);
    for (uint32_t i = 0; i < 4; ++i) {
      for (int c = 0; c < 3; ++c) {
        const float unit = float(px[3 * i + c]) * 0.003921569f;
        const double want = row.expect(unit, c);
        EXPECT_NEAR(out[c * 4 + i], want, row.tolerance) << i << " " << c;
      }
    }
  }
  // Exact end points of the signed range, and null out-pointers are fine.
  const std::vector<float> s = take_chw(image_to_chw_signed(path.data(), path.size(), 2, 2, nullptr,
                                                        nullptr), 2, 2, 12);
  EXPECT_EQ(s[0], -1.0f);     // R of pixel 0: byte 0
  EXPECT_EQ(s[4 + 0], 0.003921628f);  // G of pixel 0: byte 128 -> 128/255*2-1
  EXPECT_EQ(s[8 + 0], 1.0f);  // B of pixel 0: byte 255
}

TEST(TensorPrep, PathErrors) {
  const std::string path = images().write("err", 3, 3, random_rgb(3, 3, 1));
  const std::string with_nul = path + std::string(1, '\0') + "x";
  const std::string missing = images().dir() + "/missing.ppm";
  for (PathFn fn : {image_to_chw_unit, image_to_chw_signed, image_to_chw_255,
                    image_to_chw_imagenet, image_to_chw_clip, image_to_lightness}) {
    uint32_t sw = 77, sh = 77;
    EXPECT_EQ(take_error(fn(with_nul.data(), with_nul.size(), 4, 4, &sw, &sh)),
              "image path contains NUL");
    EXPECT_EQ(take_error(fn(nullptr, 5, 4, 4, &sw, &sh)), "image path contains NUL");
    EXPECT_EQ(take_error(fn(missing.data(), missing.size(), 4, 4, &sw, &sh)),
              "failed to decode image");
    EXPECT_EQ(take_error(fn(nullptr, 0, 4, 4, &sw, &sh)), "failed to decode image");
    EXPECT_EQ(sw, 77u);
    EXPECT_EQ(sh, 77u);
    // The output size is checked after decoding: the source size is reported.
    EXPECT_EQ(take_error(fn(path.data(), path.size(), 0, 0, &sw, &sh)),
              "invalid pixels, output dimensions or normalization");
    EXPECT_EQ(sw, 3u);
    EXPECT_EQ(take_error(fn(path.data(), path.size(), 32769, 1, nullptr, nullptr)),
              "invalid pixels, output dimensions or normalization");
  }
  // The path need not be NUL-terminated: only path_len bytes are used.
  const std::string padded = path + "trailing";
  take_chw(image_to_chw_unit(padded.data(), path.size(), 3, 3, nullptr, nullptr), 3, 3, 27);
}

// CIE L* from sRGB in double precision: the independent reference.
double lightness_reference(double r, double g, double b) {
  auto lin = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  const double y = 0.212671 * lin(r) + 0.71516 * lin(g) + 0.072169 * lin(b);
  return y > 0.008856 ? 116 * std::cbrt(y) - 16 : 903.3 * y;
}

TEST(TensorPrep, Lightness) {
  // Black, white, a dark gray on the linear branch, mid gray, and saturated primaries.
  const std::vector<uint8_t> px = {0, 0, 0, 255, 255, 255, 10, 10, 10, 119, 119, 119,
                                   255, 0, 0, 0, 255, 0, 0, 0, 255, 30, 200, 90};
  const uint32_t n = 8;
  const std::string path = images().write("lab", n, 1, px);
  const std::vector<float> out =
      take_chw(image_to_lightness(path.data(), path.size(), n, 1, nullptr, nullptr), n, 1, n);
  ASSERT_EQ(out.size(), 3u * n);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], 100.0f, 2e-4);
  for (uint32_t i = 0; i < n; ++i) {
    const float r = px[3 * i] * 0.003921569f, g = px[3 * i + 1] * 0.003921569f,
                b = px[3 * i + 2] * 0.003921569f;
    EXPECT_NEAR(out[i], lightness_reference(r, g, b), 2e-4) << i;
    // Planes G and B keep the unit values.
    EXPECT_EQ(out[n + i], g);
    EXPECT_EQ(out[2 * n + i], b);
  }
  EXPECT_NEAR(out[2], 2.74176, 1e-4);  // byte 10: linear branch, 10 / 255 / 12.92 * 903.3
  EXPECT_NEAR(out[3], 50.0, 0.1);     // byte 119 is close to L* 50
}

struct Letterbox {
  std::vector<float> data;
  uint32_t sw = 0, sh = 0;
  float scale = 0;
  int32_t pad_x = -1, pad_y = -1;
};

Letterbox letterbox(const std::string& path, uint32_t size, uint64_t flags, uint8_t pad,
                    uint32_t mode) {
  Letterbox lb;
  lb.data = take_chw(image_letterbox_chw(path.data(), path.size(), size, flags, pad, mode, &lb.sw,
                                     &lb.sh, &lb.scale, &lb.pad_x, &lb.pad_y),
                 size, size, 3ull * size * size);
  return lb;
}

TEST(TensorPrep, LetterboxCentredAndTopLeft) {
  constexpr uint32_t W = 200, H = 100, S = 100;
  const std::vector<uint8_t> px = random_rgb(W, H, 5);
  const std::string path = images().write("wide", W, H, px);
  // The image part is the bilinear resize to 100 x 50 in unit range.
  const PixelView view{px.data(), px.size(), W, H, 3 * W, 1};
  const NormalizationParams unit = preset_unit();
  const std::vector<float> scaled = take_chw(pixels_to_chw(&view, 100, 50, &unit), 100, 50, 15000);
  const float fill = 114.0f / 255.0f;

  for (const bool centre : {true, false}) {
    SCOPED_TRACE(centre);
    const Letterbox lb = letterbox(path, S, centre ? kLetterboxCenter : 0, 114, 0);
    EXPECT_EQ(lb.sw, W);
    EXPECT_EQ(lb.sh, H);
    EXPECT_EQ(lb.scale, 0.5f);
    EXPECT_EQ(lb.pad_x, 0);
    EXPECT_EQ(lb.pad_y, centre ? 25 : 0);
    const uint32_t top = centre ? 25 : 0;
    for (uint32_t c = 0; c < 3; ++c) {
      for (uint32_t r = 0; r < S; ++r) {
        for (uint32_t x = 0; x < S; ++x) {
          const float v = lb.data[c * S * S + r * S + x];
          if (r < top || r >= top + 50) {
            ASSERT_EQ(v, fill) << r;
          } else {
            ASSERT_EQ(v, scaled[c * 5000 + (r - top) * 100 + x]) << r << " " << x;
          }
        }
      }
    }
  }
}

TEST(TensorPrep, LetterboxSignedModeTallImageAndDegenerateFit) {
  constexpr uint32_t W = 50, H = 100;
  std::vector<uint8_t> px(3 * W * H);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : 255);
  const std::string path = images().write("tall", W, H, px);
  const Letterbox lb = letterbox(path, 40, kLetterboxCenter, 114, kLetterboxModeSigned);
  EXPECT_EQ(lb.scale, 0.4f);
  EXPECT_EQ(lb.pad_x, 10);  // 20 columns of image centred in 40
  EXPECT_EQ(lb.pad_y, 0);
  for (uint32_t r = 0; r < 40; ++r) {
    for (uint32_t x = 0; x < 40; ++x) {
      const bool inside = x >= 10 && x < 30;
      // (114 - 127.5) / 128 outside; R byte 0 and G byte 255 inside.
      EXPECT_EQ(lb.data[r * 40 + x], inside ? -0.99609375f : -0.10546875f);
      EXPECT_EQ(lb.data[1600 + r * 40 + x], inside ? 0.99609375f : -0.10546875f);
    }
  }
  // A 300 x 1 strip in a 2 x 2 box scales to 2 x 0: nothing is drawn, only padding.
  const std::string strip = images().write("strip", 300, 1, random_rgb(300, 1, 9));
  const Letterbox empty = letterbox(strip, 2, kLetterboxCenter, 0, 0);
  EXPECT_EQ(empty.pad_x, 0);
  EXPECT_EQ(empty.pad_y, 1);
  for (const float v : empty.data) EXPECT_EQ(v, 0.0f);
}

TEST(TensorPrep, LetterboxRefusesBadSizesBeforeDecoding) {
  const std::string path = images().write("lbsize", 4, 4, random_rgb(4, 4, 2));
  for (const uint32_t size : {0u, 32769u, 10001u, 0xFFFFFFFFu, 0x80000000u}) {
    uint32_t sw = 99;
    float scale = -1;
    EXPECT_EQ(take_error(image_letterbox_chw(path.data(), path.size(), size, 1, 0, 0, &sw,
                                             nullptr, &scale, nullptr, nullptr)),
              "invalid letterbox size")
        << size;
    EXPECT_EQ(sw, 99u);
    EXPECT_EQ(scale, -1.0f);
  }
  EXPECT_EQ(take_error(image_letterbox_chw("/nonexistent.ppm", 16, 8, 1, 0, 0, nullptr, nullptr,
                                           nullptr, nullptr, nullptr)),
            "failed to decode image");
  const Letterbox one = letterbox(path, 1, 1, 0, 0);
  EXPECT_EQ(one.scale, 0.25f);
}

TEST(TensorPrep, Sam1024KeepsPixelsUnscaledAndCutsLargeImages) {
  constexpr uint32_t W = 2000, H = 500;
  const std::vector<uint8_t> px = random_rgb(W, H, 11);
  const std::string path = images().write("sam", W, H, px);
  uint32_t sw = 0, sh = 0;
  const std::vector<float> out =
      take_chw(image_to_sam1024(path.data(), path.size(), &sw, &sh), 1024, 1024, 3145728);
  EXPECT_EQ(sw, W);
  EXPECT_EQ(sh, H);
  ASSERT_EQ(out.size(), 3145728u);
  const double mean[] = {123.675, 116.28, 103.53};
  const double std_dev[] = {58.395, 57.12, 57.375};
  constexpr uint64_t kPlane = 1024 * 1024;
  double worst = 0;
  for (uint32_t c = 0; c < 3; ++c) {
    for (uint32_t r = 0; r < 1024; ++r) {
      for (uint32_t x = 0; x < 1024; ++x) {
        const float v = out[c * kPlane + r * 1024 + x];
        if (r >= H) {
          ASSERT_EQ(v, 0.0f) << r;
        } else {
          const double want = (px[3 * (size_t{r} * W + x) + c] - mean[c]) / std_dev[c];
          worst = std::max(worst, std::fabs(v - want));
        }
      }
    }
  }
  EXPECT_LT(worst, 2e-6);
  // A small image sits at the top-left; the rest is zero.
  const std::string small = images().write("sam_small", 3, 2, random_rgb(3, 2, 12));
  const std::vector<float> s =
      take_chw(image_to_sam1024(small.data(), small.size(), nullptr, nullptr), 1024, 1024, 3145728);
  EXPECT_NE(s[0], 0.0f);
  EXPECT_EQ(s[3], 0.0f);
  EXPECT_EQ(s[1024 * 2], 0.0f);
  EXPECT_EQ(take_error(image_to_sam1024("a\0b", 3, nullptr, nullptr)), "image path contains NUL");
}

// An RgbImage over a copy of the pixels (freed by the test).
RgbImage make_image(const std::vector<uint8_t>& px, uint32_t w, uint32_t h) {
  RgbImage img{};
  img.width = w;
  img.height = h;
  img.orientation = 1;
  img.pixels = static_cast<uint8_t*>(std::malloc(px.size()));
  std::memcpy(img.pixels, px.data(), px.size());
  return img;
}

// The crop region as a caller pixel view, resized by pixels_to_chw: the independent route.
std::vector<float> crop_reference(const std::vector<uint8_t>& px, uint32_t w, int32_t x0,
                                  int32_t y0, int32_t cw, int32_t ch, uint32_t out_w,
                                  uint32_t out_h, const NormalizationParams& p) {
  const uint64_t offset = 3 * (uint64_t(y0) * w + uint64_t(x0));
  const PixelView view{px.data() + offset, px.size() - offset, uint32_t(cw), uint32_t(ch),
                       3ull * w, 1};
  return take_chw(pixels_to_chw(&view, out_w, out_h, &p), out_w, out_h, 3ull * out_w * out_h);
}

TEST(TensorPrep, CropResizeMatchesTheResizedRegion) {
  constexpr uint32_t W = 60, H = 40;
  const std::vector<uint8_t> px = random_rgb(W, H, 21);
  RgbImage img = make_image(px, W, H);
  struct Case {
    const char* what;
    int32_t x, y, cw, ch;        // as asked
    int32_t x0, y0, rw, rh;      // after clamping
    int32_t out_h, out_w;
    uint64_t flags;
    uint32_t new_w;
  };
  const Case cases[] = {
      {"inside, 2:1 crop", 5, 6, 40, 20, 5, 6, 40, 20, 10, 32, 0, 20},
      {"left of and above the image", -7, -3, 30, 30, 0, 0, 30, 30, 8, 8, 1, 8},
      {"zero width is one column", 10, 10, 0, 20, 10, 10, 1, 20, 20, 16, 0, 1},
      {"past the right edge", 50, 30, 100, 100, 50, 30, 10, 10, 5, 12, kCropImagenet, 5},
      {"start beyond the image", 500, 500, 4, 4, 59, 39, 1, 1, 3, 3, 0, 3},
      // 7:5 at 3 rows is 4.2 columns: ceil gives 5, rounding gives 4.
      {"ceil of 4.2", 0, 0, 7, 5, 0, 0, 7, 5, 3, 9, 0, 5},
      {"round of 4.2", 0, 0, 7, 5, 0, 0, 7, 5, 3, 9, kCropImagenet, 4},
      {"wider than the buffer", 0, 0, 60, 2, 0, 0, 60, 2, 4, 6, 0, 6},
  };
  const float imagenet_zero[] = {-2.117904f, -2.0357141f, -1.8044444f};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool imagenet = (c.flags & kCropImagenet) != 0;
    std::vector<float> out(3ull * c.out_w * c.out_h, 12345.0f);
    ASSERT_TRUE(crop_resize_chw(&img, c.x, c.y, c.cw, c.ch, c.out_h, c.out_w, c.flags, out.data()));
    const std::vector<float> ref =
        crop_reference(px, W, c.x0, c.y0, c.rw, c.rh, c.new_w, uint32_t(c.out_h),
                       imagenet ? preset_imagenet() : preset_signed());
    const uint64_t plane = uint64_t(c.out_w) * c.out_h;
    for (uint32_t k = 0; k < 3; ++k) {
      for (int32_t r = 0; r < c.out_h; ++r) {
        for (int32_t x = 0; x < c.out_w; ++x) {
          const float v = out[k * plane + r * c.out_w + x];
          if (uint32_t(x) < c.new_w) {
            ASSERT_EQ(v, ref[k * c.new_w * c.out_h + r * c.new_w + x]) << k << " " << r << " " << x;
          } else {
            ASSERT_EQ(v, imagenet ? imagenet_zero[k] : -1.0f) << r << " " << x;
          }
        }
      }
    }
  }
  free_image(&img);
}

TEST(TensorPrep, CropResizeRefusesBadArguments) {
  const std::vector<uint8_t> px = random_rgb(8, 8, 3);
  RgbImage img = make_image(px, 8, 8);
  RgbImage no_pixels{};
  no_pixels.width = 8;
  no_pixels.height = 8;
  RgbImage too_wide = img;
  too_wide.width = 32769;
  std::vector<float> out(3 * 16, 7.0f);
  struct Case {
    const char* what;
    const RgbImage* image;
    int32_t out_h, out_w;
    float* out;
  };
  const Case cases[] = {
      {"zero rows", &img, 0, 4, out.data()},
      {"zero columns", &img, 4, 0, out.data()},
      {"negative rows and columns", &img, -1, -1, out.data()},
      {"negative columns", &img, 4, -4, out.data()},
      {"side above the limit", &img, 1, 32769, out.data()},
      {"too many pixels", &img, 20000, 20000, out.data()},
      {"largest ints", &img, INT32_MAX, INT32_MAX, out.data()},
      {"null image", nullptr, 4, 4, out.data()},
      {"null pixels", &no_pixels, 4, 4, out.data()},
      {"image beyond the limits", &too_wide, 4, 4, out.data()},
      {"null output", &img, 4, 4, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(crop_resize_chw(c.image, 0, 0, 4, 4, c.out_h, c.out_w, 0, c.out));
    for (const float v : out) ASSERT_EQ(v, 7.0f);  // nothing written
  }
  EXPECT_TRUE(crop_resize_chw(&img, 0, 0, 4, 4, 4, 4, 0, out.data()));
  free_image(&img);
}

// Random crops and output sizes over a small image, each into a buffer of exactly the size the
// call may write: out-of-bounds reads or writes show up under the sanitizers, and every written
// value must be one the two value ranges allow.
TEST(TensorPrep, CropResizeRandomArgumentsStayInBounds) {
  constexpr uint32_t W = 23, H = 17;
  const std::vector<uint8_t> px = random_rgb(W, H, 77);
  RgbImage img = make_image(px, W, H);
  std::mt19937 rng(99);
  auto pick = [&](int lo, int hi) { return lo + int(rng() % uint32_t(hi - lo + 1)); };
  for (int iter = 0; iter < 3000; ++iter) {
    const int32_t x = pick(-40, 60), y = pick(-40, 60), cw = pick(-3, 50), ch = pick(-3, 50);
    const int32_t out_h = pick(-2, 19), out_w = pick(-2, 19);
    const uint64_t flags = rng() & 1;
    const size_t n = out_h > 0 && out_w > 0 ? 3 * size_t(out_h) * size_t(out_w) : 0;
    std::vector<float> out(n);
    const bool wrote = crop_resize_chw(&img, x, y, cw, ch, out_h, out_w, flags, n ? out.data() : nullptr);
    ASSERT_EQ(wrote, n > 0) << iter;
    // 255 gives fmaf(255, 1/255, -0.5) * 2 = 1.0000001 in the plain range.
    const float lo = flags ? -2.2f : -1.0f, hi = flags ? 2.7f : 1.0000002f;
    for (const float v : out) ASSERT_TRUE(v >= lo && v <= hi) << iter << " " << v;
  }
  free_image(&img);
}

// Letterboxes of random images into random squares: the image block always fits the square
// and the reported placement matches where the padding is.
TEST(TensorPrep, LetterboxRandomShapesStayInsideTheSquare) {
  std::mt19937 rng(5);
  for (int iter = 0; iter < 60; ++iter) {
    const uint32_t w = 1 + rng() % 40, h = 1 + rng() % 40, size = 1 + rng() % 48;
    const uint64_t flags = rng() & 1;
    // Byte 0 everywhere except G = 255, so image pixels are told from the pad (byte 77).
    std::vector<uint8_t> px(3ull * w * h, 0);
    for (size_t i = 1; i < px.size(); i += 3) px[i] = 255;
    const std::string path = images().write("rand" + std::to_string(iter), w, h, px);
    const Letterbox lb = letterbox(path, size, flags, 77, 0);
    ASSERT_EQ(lb.data.size(), 3ull * size * size);
    // The scaled size is the single-precision product, rounded: 6 x 12 in 31 scales the 6 by
    // 2.5833333f to exactly 15.5f, so 16 columns (a double product would give 15).
    const auto new_w = int32_t(std::round(lb.scale * float(w)));
    const auto new_h = int32_t(std::round(lb.scale * float(h)));
    ASSERT_GE(lb.pad_x, 0);
    ASSERT_GE(lb.pad_y, 0);
    ASSERT_LE(lb.pad_x + new_w, int32_t(size));
    ASSERT_LE(lb.pad_y + new_h, int32_t(size));
    for (uint32_t r = 0; r < size; ++r) {
      for (uint32_t c = 0; c < size; ++c) {
        const bool inside = new_w >= 1 && new_h >= 1 && int32_t(c) >= lb.pad_x &&
                            int32_t(c) < lb.pad_x + new_w && int32_t(r) >= lb.pad_y &&
                            int32_t(r) < lb.pad_y + new_h;
        ASSERT_EQ(lb.data[size * size + r * size + c], inside ? 1.0f * 255 * 0.003921569f
                                                               : 77.0f / 255.0f)
            << iter << " " << r << " " << c << " " << w << "x" << h << " in " << size
            << " scale " << lb.scale << " pad " << lb.pad_x << "," << lb.pad_y;
      }
    }
  }
}

TEST(TensorPrep, FloatTensorChecks) {
  alignas(16) static float buf[4096];
  float* const d = buf;
  float* const odd = reinterpret_cast<float*>(reinterpret_cast<char*>(buf) + 2);
  const uint32_t chw = kTensorLayoutChw, hwc = kTensorLayoutHwc;
  struct Case {
    const char* what;
    FloatTensorView v;
    uint32_t status;
    uint64_t row, plane;
  };
  const Case cases[] = {
      {"packed CHW", {d, 4 * 24, 4, 2, 3, chw, 0, 0}, 0, 4, 8},
      {"packed CHW one byte short", {d, 4 * 24 - 1, 4, 2, 3, chw, 0, 0}, 1, 0, 0},
      {"strided CHW", {d, 4 * (10 * 3 * 2), 4, 3, 2, chw, 40, 120}, 0, 10, 30},
      {"CHW last plane needs no padding", {d, 4 * (30 + 20 + 4), 4, 3, 2, chw, 40, 120}, 0, 10,
       30},
      {"CHW plane smaller than the extent", {d, 4096, 4, 3, 2, chw, 40, 80}, 1, 0, 0},
      {"one channel, plane smaller than the extent", {d, 4096, 4, 3, 1, chw, 40, 80}, 1, 0, 0},
      {"plane not a multiple of 4", {d, 4096, 4, 3, 2, chw, 40, 122}, 1, 0, 0},
      {"packed HWC", {d, 4 * 24, 4, 2, 3, hwc, 0, 0}, 0, 12, 0},
      {"HWC with a plane stride", {d, 4096, 4, 2, 3, hwc, 0, 96}, 1, 0, 0},
      {"row stride below packed", {d, 4096, 4, 2, 3, hwc, 44, 0}, 1, 0, 0},
      {"row stride not a multiple of 4", {d, 4096, 4, 2, 1, chw, 18, 0}, 1, 0, 0},
      {"layout 3", {d, 4096, 4, 2, 3, 3, 0, 0}, 1, 0, 0},
      {"layout 0", {d, 4096, 4, 2, 3, 0, 0, 0}, 1, 0, 0},
      {"misaligned data", {odd, 4000, 4, 2, 3, chw, 0, 0}, 1, 0, 0},
      {"null data", {nullptr, 4096, 4, 2, 3, chw, 0, 0}, 1, 0, 0},
      {"zero channels", {d, 4096, 4, 2, 0, chw, 0, 0}, 1, 0, 0},
      {"five channels", {d, 4096, 4, 2, 5, chw, 0, 0}, 1, 0, 0},
      {"zero width", {d, 4096, 0, 2, 3, chw, 0, 0}, 1, 0, 0},
      {"too many pixels", {d, UINT64_MAX, 20000, 20000, 1, chw, 0, 0}, 1, 0, 0},
      {"row stride overflows", {d, UINT64_MAX, 4, 3, 1, chw, UINT64_MAX - 3, 0}, 1, 0, 0},
      {"plane stride overflows", {d, UINT64_MAX, 4, 2, 3, chw, 16, UINT64_MAX - 3}, 1, 0, 0},
      {"default plane overflows", {d, UINT64_MAX, 4, 3, 2, chw, UINT64_MAX / 2 & ~3ull, 0}, 1, 0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const FloatTensorCheck r = float_tensor_check(c.v);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(float_tensor_valid(&c.v), c.status == 0);
    if (c.status == 0) {
      EXPECT_EQ(r.row_stride, c.row);
      EXPECT_EQ(r.plane_stride, c.plane);
    } else {
      Expected<ChwTensor> copy = copy_tensor(&c.v);
      EXPECT_EQ(take_error(copy), "invalid float tensor dimensions, strides, length or alignment");
      Expected<PackedChwData> packed = float_tensor_as_packed_chw(&c.v);
      ASSERT_FALSE(packed.ok());
      EXPECT_EQ(message(packed.error),
                "invalid float tensor dimensions, strides, length or alignment");
      expected_message_free(&packed.error);
    }
  }
  EXPECT_FALSE(float_tensor_valid(nullptr));
}

TEST(TensorPrep, PackedViewAndRepacking) {
  // 3 x 2 pixels, 3 channels; value = 100 * channel + 10 * row + column.
  auto value = [](uint32_t c, uint32_t y, uint32_t x) { return float(100 * c + 10 * y + x); };
  std::vector<float> hwc(18), chw_strided(3 * 16, -1.0f), chw_packed(18);
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 3; ++x) {
      for (uint32_t c = 0; c < 3; ++c) {
        hwc[(y * 3 + x) * 3 + c] = value(c, y, x);
        chw_strided[c * 16 + y * 5 + x] = value(c, y, x);  // rows of 5, planes of 16
        chw_packed[c * 6 + y * 3 + x] = value(c, y, x);
      }
    }
  }
  const FloatTensorView hwc_view{hwc.data(), 18 * 4, 3, 2, 3, kTensorLayoutHwc, 0, 0};
  const FloatTensorView strided_view{chw_strided.data(), 48 * 4, 3, 2, 3, kTensorLayoutChw, 20, 64};
  const FloatTensorView packed_view{chw_packed.data(), 18 * 4, 3, 2, 3, kTensorLayoutChw, 0, 0};
  const std::string needs_packed =
      "inference requires packed CHW storage; use copy_tensor for strided or HWC input";
  for (const FloatTensorView* v : {&hwc_view, &strided_view}) {
    Expected<PackedChwData> p = float_tensor_as_packed_chw(v);
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(message(p.error), needs_packed);
    expected_message_free(&p.error);
    EXPECT_EQ(take_chw(copy_tensor(v), 3, 2, 18), chw_packed);
  }
  Expected<PackedChwData> p = float_tensor_as_packed_chw(&packed_view);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value.data, chw_packed.data());
  EXPECT_EQ(p.value.pixels, 6u);
  EXPECT_EQ(take_chw(copy_tensor(&packed_view), 3, 2, 18), chw_packed);

  // One channel: the plane stride is irrelevant to packing once it covers the extent.
  const FloatTensorView one{chw_packed.data(), 18 * 4, 3, 2, 1, kTensorLayoutChw, 0, 400};
  EXPECT_TRUE(float_tensor_as_packed_chw(&one).ok());
  // Padded rows are not packed.
  const FloatTensorView padded{chw_strided.data(), 48 * 4, 3, 2, 1, kTensorLayoutChw, 20, 0};
  Expected<PackedChwData> q = float_tensor_as_packed_chw(&padded);
  ASSERT_FALSE(q.ok());
  EXPECT_EQ(message(q.error), needs_packed);
  expected_message_free(&q.error);
  // Planes further apart than packed are not packed either.
  const FloatTensorView gaps{chw_strided.data(), 48 * 4, 3, 2, 2, kTensorLayoutChw, 12, 64};
  Expected<PackedChwData> g = float_tensor_as_packed_chw(&gaps);
  ASSERT_FALSE(g.ok());
  expected_message_free(&g.error);
}

}  // namespace
}  // namespace vexa
