// EXIF orientations on a hand-made image, raw pixel import and the RgbImage limits.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image_test_util.h"

namespace vexa::test {
namespace {

constexpr uint32_t kW = 3;
constexpr uint32_t kH = 2;

// Source pixel (x, y) holds (x, y, x + 7y): every pixel distinct for sides below 256.
std::vector<uint8_t> source_pixels(uint32_t w = kW, uint32_t h = kH) {
  std::vector<uint8_t> px;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      px.push_back(static_cast<uint8_t>(x));
      px.push_back(static_cast<uint8_t>(y));
      px.push_back(static_cast<uint8_t>(x + 7 * y));
    }
  }
  return px;
}

// Independent reference, written the other way round: which source (column, row) each output
// pixel (c, r) shows, for a picture shown upright.
void reference_source(uint32_t o, uint32_t c, uint32_t r, uint32_t* sx, uint32_t* sy,
                      uint32_t kW = vexa::test::kW, uint32_t kH = vexa::test::kH) {
  switch (o) {
    case 1: *sx = c; *sy = r; break;
    case 2: *sx = kW - 1 - c; *sy = r; break;
    case 3: *sx = kW - 1 - c; *sy = kH - 1 - r; break;
    case 4: *sx = c; *sy = kH - 1 - r; break;
    case 5: *sx = r; *sy = c; break;
    case 6: *sx = r; *sy = kH - 1 - c; break;
    case 7: *sx = kW - 1 - r; *sy = kH - 1 - c; break;
    case 8: *sx = kW - 1 - r; *sy = c; break;
  }
}

TEST(Orientation, AllEightAgainstIndependentMapping) {
  // Small, single-row, single-column, and sides that are not multiples of any blocking.
  const uint32_t sizes[][2] = {{3, 2}, {1, 1}, {1, 5}, {7, 1}, {23, 37}, {40, 17}};
  for (const auto& size : sizes) {
  const uint32_t kW = size[0];
  const uint32_t kH = size[1];
  const std::vector<uint8_t> src = source_pixels(kW, kH);
  for (uint32_t o = 1; o <= 8; ++o) {
    SCOPED_TRACE(std::to_string(kW) + "x" + std::to_string(kH) + " orientation " + std::to_string(o));
    RgbImage img{};
    char msg[kImageMessageCapacity] = "";
    ASSERT_EQ(alloc_rgb_image(&img, kW, kH, msg), 1) << msg;
    std::memcpy(img.pixels, src.data(), src.size());
    ASSERT_EQ(apply_exif_orientation(&img, o, msg), 1) << msg;
    EXPECT_EQ(img.orientation, o);
    EXPECT_EQ(img.reserved, 0u);
    const uint32_t out_w = o >= 5 ? kH : kW;
    const uint32_t out_h = o >= 5 ? kW : kH;
    ASSERT_EQ(img.width, out_w);
    ASSERT_EQ(img.height, out_h);
    const std::vector<uint8_t> out(img.pixels, img.pixels + 3 * out_w * out_h);
    for (uint32_t r = 0; r < out_h; ++r) {
      for (uint32_t c = 0; c < out_w; ++c) {
        uint32_t sx = 0;
        uint32_t sy = 0;
        reference_source(o, c, r, &sx, &sy, kW, kH);
        ASSERT_EQ(0, std::memcmp(rgb_at(out, out_w, c, r), rgb_at(src, kW, sx, sy), 3))
            << "output (" << c << "," << r << ")";
      }
    }
    free_image(&img);
  }
  }
}

TEST(Orientation, SixMakesFirstRowTheFirstColumnReadBottomToTop) {
  const std::vector<uint8_t> src = source_pixels();
  RgbImage img{};
  ASSERT_EQ(alloc_rgb_image(&img, kW, kH, nullptr), 1);
  std::memcpy(img.pixels, src.data(), src.size());
  ASSERT_EQ(apply_exif_orientation(&img, 6, nullptr), 1);
  // First output row: source column 0 from row H-1 up to row 0.
  EXPECT_EQ(0, std::memcmp(img.pixels, rgb_at(src, kW, 0, 1), 3));
  EXPECT_EQ(0, std::memcmp(img.pixels + 3, rgb_at(src, kW, 0, 0), 3));
  free_image(&img);
}

TEST(Orientation, UprightKeepsTheBlock) {
  RgbImage img{};
  ASSERT_EQ(alloc_rgb_image(&img, 4, 4, nullptr), 1);
  uint8_t* before = img.pixels;
  ASSERT_EQ(apply_exif_orientation(&img, 1, nullptr), 1);
  EXPECT_EQ(img.pixels, before);
  EXPECT_EQ(img.orientation, 1u);
  free_image(&img);
}

TEST(Orientation, RefusesCodesOutsideOneToEightAndMissingPixels) {
  RgbImage img{};
  ASSERT_EQ(alloc_rgb_image(&img, 2, 2, nullptr), 1);
  char msg[kImageMessageCapacity] = "";
  EXPECT_EQ(apply_exif_orientation(&img, 0, msg), 0);
  EXPECT_EQ(apply_exif_orientation(&img, 9, msg), 0);
  EXPECT_STREQ(msg, "Invalid image pixels, stride, length or orientation");
  EXPECT_NE(img.pixels, nullptr);  // untouched
  free_image(&img);
  EXPECT_EQ(apply_exif_orientation(nullptr, 6, msg), 0);
  RgbImage empty{};
  empty.width = 2;
  empty.height = 2;
  EXPECT_EQ(apply_exif_orientation(&empty, 6, msg), 0);
}

TEST(RgbImageLimits, AllocChecksSidesAndPixelCount) {
  struct Case {
    uint32_t w, h;
    bool ok;
  };
  const Case cases[] = {{1, 1, true},      {32768, 1, true},  {1, 32768, true},
                        {10000, 10000, true}, {0, 5, false},  {5, 0, false},
                        {32769, 1, false}, {1, 32769, false}, {32768, 3052, false},
                        {10001, 10000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    RgbImage img{};
    char msg[kImageMessageCapacity] = "";
    const int ok = alloc_rgb_image(&img, c.w, c.h, msg);
    EXPECT_EQ(ok, c.ok ? 1 : 0);
    if (c.ok) {
      EXPECT_EQ(img.width, c.w);
      EXPECT_EQ(img.height, c.h);
      EXPECT_EQ(img.orientation, 1u);
      EXPECT_NE(img.pixels, nullptr);
    } else {
      EXPECT_STREQ(msg, "Image dimensions exceed supported bounds");
      EXPECT_EQ(img.pixels, nullptr);
    }
    free_image(&img);
    EXPECT_EQ(img.pixels, nullptr);
    EXPECT_EQ(img.width, 0u);
  }
  free_image(nullptr);
}

TEST(ImportPixels, LayoutsGiveRgb) {
  // One pixel per layout: RGB 1,2,3; RGBA 1,2,3,4; BGRA B=1 G=2 R=3 A=4 -> 3,2,1.
  struct Case {
    uint32_t layout;
    std::vector<uint8_t> in;
    std::vector<uint8_t> want;
  };
  const Case cases[] = {{1, {1, 2, 3}, {1, 2, 3}}, {2, {1, 2, 3, 4}, {1, 2, 3}},
                        {3, {1, 2, 3, 4}, {3, 2, 1}}};
  for (const Case& c : cases) {
    RgbImage img{};
    ASSERT_EQ(import_image_pixels(c.in.data(), c.in.size(), 1, 1, c.in.size(), c.layout, 1, &img,
                                  nullptr),
              1);
    EXPECT_EQ(std::vector<uint8_t>(img.pixels, img.pixels + 3), c.want) << "layout " << c.layout;
    free_image(&img);
  }
}

TEST(ImportPixels, StridedRowsAndOrientation) {
  // 2x2 BGRA with 3 bytes of padding per row; the last row is short (no padding).
  const uint32_t stride = 11;
  std::vector<uint8_t> in(stride + 8, 0xEE);
  auto put = [&](uint32_t x, uint32_t y, uint8_t v) {
    uint8_t* p = in.data() + stride * y + 4 * x;
    p[0] = v;          // B
    p[1] = v + 1;      // G
    p[2] = v + 2;      // R
    p[3] = 0xAA;       // A
  };
  put(0, 0, 10);
  put(1, 0, 20);
  put(0, 1, 30);
  put(1, 1, 40);
  RgbImage img{};
  char msg[kImageMessageCapacity] = "";
  ASSERT_EQ(import_image_pixels(in.data(), in.size(), 2, 2, stride, 3, 3, &img, msg), 1) << msg;
  // Orientation 3 (rotate 180): output (0,0) is source (1,1).
  const std::vector<uint8_t> want = {42, 41, 40, 32, 31, 30, 22, 21, 20, 12, 11, 10};
  EXPECT_EQ(std::vector<uint8_t>(img.pixels, img.pixels + 12), want);
  EXPECT_EQ(img.orientation, 3u);
  free_image(&img);
  // One byte short of the last row.
  EXPECT_EQ(import_image_pixels(in.data(), in.size() - 1, 2, 2, stride, 3, 1, &img, msg), 0);
  EXPECT_STREQ(msg, "Invalid image pixels, stride, length or orientation");
}

TEST(ImportPixels, RefusesBadArguments) {
  std::vector<uint8_t> buf(64, 1);
  const char* kInvalid = "Invalid image pixels, stride, length or orientation";
  struct Case {
    const uint8_t* px;
    uint64_t len;
    uint32_t w, h;
    uint64_t stride;
    uint32_t layout, orientation;
    const char* want;
  };
  const uint8_t* p = buf.data();
  const Case cases[] = {
      {nullptr, 64, 1, 1, 4, 2, 1, kInvalid},
      {p, 64, 0, 1, 4, 2, 1, kInvalid},
      {p, 64, 1, 0, 4, 2, 1, kInvalid},
      {p, 64, 32769, 1, 131076, 2, 1, kInvalid},
      {p, 64, 1, 1, 4, 0, 1, kInvalid},
      {p, 64, 1, 1, 4, 4, 1, kInvalid},
      {p, 64, 1, 1, 4, 2, 0, kInvalid},
      {p, 64, 1, 1, 4, 2, 9, kInvalid},
      {p, 64, 4, 1, 15, 3, 1, kInvalid},          // stride one byte short of 4 * width
      {p, 11, 4, 1, 16, 2, 1, kInvalid},          // height 1: len < 4 * width
      {p, 64, 1, 3, UINT64_MAX / 2, 2, 1, kInvalid},  // stride * (height - 1) overflows
      {p, UINT64_MAX, 32768, 32768, 131072, 2, 1, "Image dimensions exceed supported bounds"},
  };
  for (const Case& c : cases) {
    RgbImage img{};
    img.width = 77;
    char msg[kImageMessageCapacity] = "";
    EXPECT_EQ(import_image_pixels(c.px, c.len, c.w, c.h, c.stride, c.layout, c.orientation, &img,
                                  msg),
              0);
    EXPECT_STREQ(msg, c.want);
    EXPECT_EQ(img.width, 0u);
    EXPECT_EQ(img.pixels, nullptr);
  }
  char msg[kImageMessageCapacity] = "";
  EXPECT_EQ(import_image_pixels(p, 64, 1, 1, 4, 2, 1, nullptr, msg), 0);
  EXPECT_STREQ(msg, "Missing image output");
}

}  // namespace
}  // namespace vexa::test
