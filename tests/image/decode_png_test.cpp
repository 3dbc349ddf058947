// PNG decoding on hand-built files: every colour type at 8 bits and below, the refusals, and
// corrupt variants in the manner of PngSuite's x*.png files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_test_util.h"

namespace vexa::test {
namespace {

constexpr uint8_t kGray = 0;
constexpr uint8_t kRgb = 2;
constexpr uint8_t kPalette = 3;
constexpr uint8_t kGrayAlpha = 4;
constexpr uint8_t kRgba = 6;

TEST(PngDecode, ColourTypesBecomeRgb) {
  struct Case {
    const char* name;
    uint32_t w;
    uint8_t depth, color;
    std::vector<uint8_t> row;  // one scanline with its filter byte
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<uint8_t> want;
  };
  const auto plte = png_chunk("PLTE", {10, 20, 30, 40, 50, 60, 70, 80, 90, 200, 210, 220});
  const Case cases[] = {
      {"1-bit gray", 8, 1, kGray, {0, 0b10110010}, {},
       {255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 255, 255, 255, 0, 0, 0}},
      {"2-bit gray", 4, 2, kGray, {0, 0b00011011}, {}, {0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255}},
      {"4-bit gray", 2, 4, kGray, {0, 0x1F}, {}, {17, 17, 17, 255, 255, 255}},
      {"8-bit gray", 2, 8, kGray, {0, 9, 250}, {}, {9, 9, 9, 250, 250, 250}},
      {"8-bit gray with tRNS stays three bytes", 2, 8, kGray, {0, 9, 250},
       {png_chunk("tRNS", {0, 9})}, {9, 9, 9, 250, 250, 250}},
      {"gray alpha", 2, 8, kGrayAlpha, {0, 9, 0, 250, 255}, {}, {9, 9, 9, 250, 250, 250}},
      {"rgb", 2, 8, kRgb, {0, 1, 2, 3, 4, 5, 6}, {}, {1, 2, 3, 4, 5, 6}},
      {"rgba drops alpha", 2, 8, kRgba, {0, 1, 2, 3, 0, 4, 5, 6, 128}, {}, {1, 2, 3, 4, 5, 6}},
      {"2-bit palette, first pixel in the high bits", 4, 2, kPalette, {0, 0b11100100}, {plte},
       {200, 210, 220, 70, 80, 90, 40, 50, 60, 10, 20, 30}},
      {"8-bit palette", 2, 8, kPalette, {0, 3, 1}, {plte}, {200, 210, 220, 40, 50, 60}},
      {"sub filter", 3, 8, kGray, {1, 10, 5, 5}, {}, {10, 10, 10, 15, 15, 15, 20, 20, 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode_bytes(make_png(c.w, 1, c.depth, c.color, c.row, c.chunks));
    ASSERT_EQ(d.ok, 1) << d.message;
    EXPECT_EQ(d.width, c.w);
    EXPECT_EQ(d.height, 1u);
    EXPECT_EQ(d.rgb, c.want);
  }
}

TEST(PngDecode, InterlacedTwinsDecodeAlike) {
  for (const char* name : {"basn0g08", "basn2c08", "basn3p08", "basn4a08", "basn6a08"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> plain;
    std::vector<uint8_t> interlaced;
    ASSERT_TRUE(read_testdata(std::string("images/pngsuite/") + name + ".png", &plain));
    ASSERT_TRUE(read_testdata(std::string("images/pngsuite/i") + name + ".png", &interlaced));
    ASSERT_EQ(interlaced[28], 1);  // Adam7
    const Decoded a = decode_bytes(plain);
    const Decoded b = decode_bytes(interlaced);
    ASSERT_EQ(a.ok, 1) << a.message;
    ASSERT_EQ(b.ok, 1) << b.message;
    EXPECT_EQ(a.rgb, b.rgb);
  }
}

TEST(PngDecode, RefusalsWithTheirMessages) {
  const auto plte = png_chunk("PLTE", {1, 2, 3, 4, 5, 6});
  struct Case {
    const char* name;
    std::vector<uint8_t> png;
    const char* want;
  };
  const Case cases[] = {
      {"16-bit rgb", make_png(1, 1, 16, kRgb, {0, 1, 2, 3, 4, 5, 6}),
       "PNG supports at most 8-bit channels"},
      {"16-bit gray", make_png(1, 1, 16, kGray, {0, 1, 2}), "PNG supports at most 8-bit channels"},
      {"palette with tRNS", make_png(2, 1, 8, kPalette, {0, 0, 1}, {plte, png_chunk("tRNS", {0})}),
       "Unexpected PNG pixel layout"},
      {"wider than 32768", make_png(32769, 1, 1, kGray, std::vector<uint8_t>(4098, 0)),
       "Image dimensions exceed supported bounds"},
      {"more than 100,000,000 pixels", make_png(20000, 20000, 1, kGray, {0}),
       "Image dimensions exceed supported bounds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode_bytes(c.png);
    EXPECT_EQ(d.ok, 0);
    EXPECT_EQ(d.message, c.want);
    EXPECT_EQ(d.width, 0u);
    EXPECT_TRUE(d.rgb.empty());
  }
}

TEST(PngDecode, CutInsideImageDataIsTruncated) {
  std::vector<uint8_t> rows;
  for (int y = 0; y < 16; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 48; ++x) rows.push_back(static_cast<uint8_t>(x * 7 + y * 13));
  }
  const auto png = make_png(16, 16, 8, kRgb, rows);
  const size_t idat_data = 8 + 25 + 8;  // signature, IHDR chunk, IDAT length and type
  for (size_t cut = idat_data + 1; cut < png.size() - 12 - 4; cut += 5) {
    SCOPED_TRACE(cut);
    const Decoded d = decode_bytes(std::vector<uint8_t>(png.begin(), png.begin() + static_cast<long>(cut)));
    EXPECT_EQ(d.ok, 0);
    EXPECT_EQ(d.message, "Truncated PNG");
    EXPECT_EQ(d.width, 0u);
    EXPECT_EQ(d.height, 0u);
    EXPECT_EQ(d.orientation, 0u);
  }
}

// Corrupt files in the manner of PngSuite's x*.png: each must be refused with a message.
TEST(PngDecode, CorruptFilesAreRefused) {
  const std::vector<uint8_t> row = {0, 1, 2, 3};
  const auto good = make_png(1, 1, 8, kRgb, row);
  ASSERT_EQ(decode_bytes(good).ok, 1);
  auto patched = [&](size_t at, uint8_t v) {
    auto p = good;
    p[at] = v;
    return p;
  };
  std::vector<uint8_t> no_idat = png_signature();
  for (const auto& c : {png_ihdr(1, 1, 8, kRgb), png_chunk("IEND", {})}) no_idat.insert(no_idat.end(), c.begin(), c.end());
  std::vector<uint8_t> idat_first = png_signature();
  for (const auto& c : {png_chunk("IDAT", zlib_compress(row)), png_ihdr(1, 1, 8, kRgb), png_chunk("IEND", {})}) {
    idat_first.insert(idat_first.end(), c.begin(), c.end());
  }
  auto bad_zlib = png_signature();
  for (const auto& c : {png_ihdr(1, 1, 8, kRgb), png_chunk("IDAT", {0x78, 0x9c, 0xff, 0xff, 0xff, 0xff}), png_chunk("IEND", {})}) {
    bad_zlib.insert(bad_zlib.end(), c.begin(), c.end());
  }
  struct Case {
    const char* name;
    std::vector<uint8_t> png;
    const char* want;  // null: libpng's own message, not checked word for word
  };
  const Case cases[] = {
      {"signature byte 1 (xs1n0g01)", patched(1, 'Q'), "Supported image formats are RGB/grayscale JPEG and PNG"},
      {"signature CR LF swapped (xcrn0g04)", patched(4, '\n'), "Supported image formats are RGB/grayscale JPEG and PNG"},
      {"IHDR CRC (xhdn0g08)", patched(29, good[29] ^ 1), "IHDR: CRC error"},
      {"colour type 1 (xc1n0g08)", make_png(1, 1, 8, 1, row), nullptr},
      {"colour type 9 (xc9n2c08)", make_png(1, 1, 8, 9, row), nullptr},
      {"bit depth 0 (xd0n2c08)", make_png(1, 1, 0, kRgb, row), nullptr},
      {"bit depth 3 (xd3n2c08)", make_png(1, 1, 3, kRgb, row), nullptr},
      {"bit depth 99 (xd9n2c08)", make_png(1, 1, 99, kRgb, row), nullptr},
      {"width 0", make_png(0, 1, 8, kRgb, row), nullptr},
      {"missing IDAT (xcsn0g01)", no_idat, nullptr},
      {"IDAT before IHDR", idat_first, nullptr},
      {"bad zlib stream", bad_zlib, nullptr},
      {"bad filter type", make_png(1, 1, 8, kRgb, {7, 1, 2, 3}), nullptr},
      {"width 2^31", make_png(0x80000000u, 1, 8, kRgb, row), nullptr},
      {"palette image without PLTE", make_png(1, 1, 8, kPalette, {0, 0}), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode_bytes(c.png);
    EXPECT_EQ(d.ok, 0);
    EXPECT_NE(d.message, "");
    EXPECT_NE(d.message, "(untouched)");
    if (c.want != nullptr) {
      EXPECT_EQ(d.message, c.want);
    }
    EXPECT_TRUE(d.rgb.empty());
    EXPECT_EQ(d.width, 0u);
  }
}

// Every prefix and many single-byte corruptions of a small PNG: no crash, and a failure always
// carries a message and leaves nothing allocated.
TEST(PngDecode, PrefixesAndByteFlipsFailCleanly) {
  std::vector<uint8_t> rows;
  for (int y = 0; y < 4; ++y) {
    rows.push_back(static_cast<uint8_t>(y % 5));
    for (int x = 0; x < 4; ++x) rows.push_back(static_cast<uint8_t>(x * 40 + y));
  }
  const auto png = make_png(4, 4, 8, kGrayAlpha, rows,
                            {png_chunk("eXIf", make_tiff(false, {{274, 3, 1, 5}}))});
  for (size_t n = 0; n < png.size(); ++n) {
    const Decoded d = decode_bytes(std::vector<uint8_t>(png.begin(), png.begin() + static_cast<long>(n)));
    if (d.ok == 0) {
      EXPECT_NE(d.message, "") << n;
    }
  }
  for (size_t i = 0; i < png.size(); ++i) {
    for (uint8_t x : {0x01, 0x80, 0xFF}) {
      auto p = png;
      p[i] ^= x;
      const Decoded d = decode_bytes(p);
      if (d.ok == 0) {
        EXPECT_NE(d.message, "") << i;
        EXPECT_TRUE(d.rgb.empty());
      }
    }
  }
}

}  // namespace
}  // namespace vexa::test
