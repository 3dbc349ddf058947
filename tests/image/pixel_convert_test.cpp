#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/pixel_convert.h"
#include "image_test_util.h"

namespace vexa {
namespace {

using test::message;

// Three pixels, red-ish, green-ish, blue-ish, written as each format stores them.
struct FormatCase {
  PixelFormat format;
  std::vector<uint8_t> pixels;  // one row of three pixels, packed
};

const FormatCase kFormats[] = {
    {PixelFormat::kRgb8, {200, 10, 20, 30, 210, 40, 50, 60, 220}},
    {PixelFormat::kBgr8, {20, 10, 200, 40, 210, 30, 220, 60, 50}},
    {PixelFormat::kRgba8, {200, 10, 20, 1, 30, 210, 40, 2, 50, 60, 220, 3}},
    {PixelFormat::kBgra8, {20, 10, 200, 1, 40, 210, 30, 2, 220, 60, 50, 3}},
};
const uint8_t kExpectedRgb[] = {200, 10, 20, 30, 210, 40, 50, 60, 220};

TEST(PixelConvert, AllFormatsToPackedRgbWithStridePadding) {
  constexpr uint32_t kWidth = 3, kHeight = 2, kPad = 5;
  for (const FormatCase& f : kFormats) {
    SCOPED_TRACE(static_cast<int>(f.format));
    const uint64_t row = f.pixels.size();
    const uint64_t stride = row + kPad;
    // Row 1 repeats row 0 reversed pixel-wise; padding bytes are 0xEE and must never appear.
    std::vector<uint8_t> buf(stride + row, 0xEE);
    std::copy(f.pixels.begin(), f.pixels.end(), buf.begin());
    const uint32_t bpp = pixel_format_bytes(static_cast<uint32_t>(f.format));
    for (uint32_t x = 0; x < kWidth; ++x) {
      std::copy_n(f.pixels.begin() + (kWidth - 1 - x) * bpp, bpp, buf.begin() + stride + x * bpp);
    }
    const PixelView view{buf.data(), buf.size(), kWidth, kHeight, stride,
                         static_cast<uint32_t>(f.format)};
    Expected<RgbPixels> r = pixels_to_rgb(&view);
    ASSERT_TRUE(r.ok()) << message(r.error);
    EXPECT_EQ(r.value.width, kWidth);
    EXPECT_EQ(r.value.height, kHeight);
    ASSERT_EQ(r.value.count, 3u * kWidth * kHeight);
    for (uint32_t i = 0; i < 9; ++i) EXPECT_EQ(r.value.pixels[i], kExpectedRgb[i]) << i;
    for (uint32_t x = 0; x < kWidth; ++x) {
      for (uint32_t c = 0; c < 3; ++c) {
        EXPECT_EQ(r.value.pixels[9 + 3 * x + c], kExpectedRgb[3 * (kWidth - 1 - x) + c]);
      }
    }
    std::free(r.value.pixels);
  }
}

TEST(PixelConvert, GrayIsReplicatedIntoThreeChannels) {
  const uint8_t gray[] = {0, 17, 255, 0xEE, 128, 3, 99, 0xEE};  // stride 4, width 3
  const PixelView view{gray, sizeof gray - 1, 3, 2, 4, static_cast<uint32_t>(PixelFormat::kGray8)};
  Expected<RgbPixels> r = pixels_to_rgb(&view);
  ASSERT_TRUE(r.ok());
  const uint8_t expected[] = {0, 17, 255, 128, 3, 99};
  for (uint32_t i = 0; i < 6; ++i) {
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(r.value.pixels[3 * i + c], expected[i]);
  }
  std::free(r.value.pixels);
}

TEST(PixelConvert, ChannelOffsets) {
  using Off = std::array<uint32_t, 3>;
  EXPECT_EQ(pixel_channel_offsets(1), (Off{0, 1, 2}));
  EXPECT_EQ(pixel_channel_offsets(2), (Off{2, 1, 0}));
  EXPECT_EQ(pixel_channel_offsets(3), (Off{0, 1, 2}));
  EXPECT_EQ(pixel_channel_offsets(4), (Off{2, 1, 0}));
  EXPECT_EQ(pixel_channel_offsets(5), (Off{0, 0, 0}));
  EXPECT_EQ(pixel_format_bytes(0), 0u);
  EXPECT_EQ(pixel_format_bytes(6), 0u);
}

TEST(PixelConvert, ImageDimensionLimits) {
  struct Case { uint32_t w, h; bool ok; };
  const Case cases[] = {{1, 1, true},          {32768, 1, true},      {1, 32768, true},
                        {10000, 10000, true},  {10000, 10001, false}, {0, 5, false},
                        {5, 0, false},         {32769, 1, false},     {1, 32769, false},
                        {32768, 32768, false}, {0xFFFFFFFFu, 1, false}};
  for (const Case& c : cases) EXPECT_EQ(image_dims_valid(c.w, c.h), c.ok) << c.w << "x" << c.h;
}

TEST(PixelConvert, BufferValidityRules) {
  static uint8_t bytes[256];
  const uint32_t rgb = 1, rgba = 3, gray = 5;
  struct Case {
    const char* what;
    PixelView view;
    bool ok;
  };
  const Case cases[] = {
      {"packed rgb", {bytes, 18, 3, 2, 9, rgb}, true},
      {"no trailing padding after the last row", {bytes, 9 + 12, 3, 2, 12, rgb}, true},
      {"one byte short of the last row", {bytes, 9 + 12 - 1, 3, 2, 12, rgb}, false},
      {"stride one byte short", {bytes, 256, 3, 2, 8, rgb}, false},
      {"rgba stride one short", {bytes, 256, 3, 2, 11, rgba}, false},
      {"height 1 exact", {bytes, 12, 3, 1, 12, rgba}, true},
      {"height 1 short", {bytes, 11, 3, 1, 12, rgba}, false},
      {"height 1 huge stride", {bytes, 12, 3, 1, UINT64_MAX, rgba}, true},
      {"gray", {bytes, 5, 2, 3, 2, gray}, false},
      {"gray exact", {bytes, 6, 2, 3, 2, gray}, true},
      {"null data", {nullptr, 256, 3, 2, 9, rgb}, false},
      {"width 0", {bytes, 256, 0, 2, 9, rgb}, false},
      {"height 0", {bytes, 256, 3, 0, 9, rgb}, false},
      {"width 32769", {bytes, 256, 32769, 1, 98307, rgb}, false},
      {"format 0", {bytes, 256, 3, 2, 9, 0}, false},
      {"format 6", {bytes, 256, 3, 2, 9, 6}, false},
      {"stride overflows the extent", {bytes, UINT64_MAX, 3, 3, UINT64_MAX / 2 + 1, rgb}, false},
      {"largest stride that fits", {bytes, UINT64_MAX, 3, 3, (UINT64_MAX - 9) / 2, rgb}, true},
      {"too many pixels", {bytes, UINT64_MAX, 20000, 20000, 60000, rgb}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(pixel_buffer_valid(&c.view), c.ok);
    if (!c.ok) {
      Expected<RgbPixels> r = pixels_to_rgb(&c.view);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(message(r.error), "invalid pixel dimensions, format, stride or length");
      expected_message_free(&r.error);
    }
  }
  EXPECT_FALSE(pixel_buffer_valid(nullptr));
  Expected<RgbPixels> r = pixels_to_rgb(nullptr);
  EXPECT_FALSE(r.ok());
  expected_message_free(&r.error);
}

}  // namespace
}  // namespace vexa
