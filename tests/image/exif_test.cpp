// EXIF orientation: strict and lenient TIFF reads, JPEG segment walks and PNG eXIf chunks on
// hand-built bytes, and the orientation sample photographs.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "image_test_util.h"

namespace vexa::test {
namespace {

constexpr uint16_t kOrient = 274;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;

uint32_t strict(const std::vector<uint8_t>& t) { return exif_orientation(t.data(), t.size()); }
uint32_t lenient(const std::vector<uint8_t>& t) { return tiff_find_orientation(t.data(), t.size()); }

TEST(ExifTiff, StrictAndLenientOnWellFormedBlocks) {
  struct Case {
    const char* name;
    bool big_endian;
    std::vector<IfdEntry> entries;
    uint32_t want_strict;
    uint32_t want_lenient;
  };
  const Case cases[] = {
      {"MM short 6", true, {{kOrient, kShort, 1, 6}}, 6, 6},
      {"II short 3", false, {{kOrient, kShort, 1, 3}}, 3, 3},
      {"II short 8 after other tags", false, {{256, kLong, 1, 640}, {kOrient, kShort, 1, 8}}, 8, 8},
      {"value 9 is no orientation", true, {{kOrient, kShort, 1, 9}}, 1, 1},
      {"value 0 is no orientation", false, {{kOrient, kShort, 1, 0}}, 1, 1},
      // LONG 6: little-endian keeps 6 in the first two bytes, big-endian keeps 0 there.
      {"II long 6", false, {{kOrient, kLong, 1, 6}}, 1, 6},
      {"MM long 6", true, {{kOrient, kLong, 1, 6}}, 1, 1},
      {"count 2", false, {{kOrient, kShort, 2, 5}}, 1, 5},
      // Strict takes the first well-typed entry, lenient the first entry with the tag.
      {"wrong type first", false, {{kOrient, kLong, 1, 7}, {kOrient, kShort, 1, 2}}, 2, 7},
      {"no orientation tag", true, {{256, kShort, 1, 6}}, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto t = make_tiff(c.big_endian, c.entries);
    EXPECT_EQ(strict(t), c.want_strict);
    EXPECT_EQ(lenient(t), c.want_lenient);
  }
}

TEST(ExifTiff, MalformedHeadersGiveOne) {
  const auto good = make_tiff(false, {{kOrient, kShort, 1, 6}});
  ASSERT_EQ(strict(good), 6u);
  auto patched = [&](size_t at, uint8_t v) {
    auto t = good;
    t[at] = v;
    return t;
  };
  EXPECT_EQ(strict(patched(0, 'M')), 1u);  // "MI"
  EXPECT_EQ(strict(patched(2, 43)), 1u);   // magic 43
  EXPECT_EQ(strict(patched(4, 0xF0)), 1u);  // IFD offset past the end
  EXPECT_EQ(lenient(patched(4, 0xF0)), 1u);
  EXPECT_EQ(strict(patched(5, 0xFF)), 1u);  // IFD offset far past the end
  EXPECT_EQ(strict(patched(8, 0)), 1u);     // count 0
  EXPECT_EQ(lenient(patched(8, 0)), 1u);
  // Declared count larger than what fits: strict refuses the directory, lenient reads the
  // entries that do fit.
  EXPECT_EQ(strict(patched(8, 5)), 1u);
  EXPECT_EQ(lenient(patched(8, 5)), 6u);
  EXPECT_EQ(strict(patched(9, 0xFF)), 1u);
  // IFD offset exactly len - 2: a count word but no room for entries.
  auto edge = good;
  edge[4] = static_cast<uint8_t>(good.size() - 2);
  EXPECT_EQ(strict(edge), 1u);
  EXPECT_EQ(lenient(edge), 1u);
}

TEST(ExifTiff, TruncatedBlocks) {
  const auto t = make_tiff(true, {{kOrient, kShort, 1, 6}});  // 8 + 2 + 12 + 4 = 26 bytes
  ASSERT_EQ(t.size(), 26u);
  for (size_t n = 0; n <= t.size(); ++n) {
    SCOPED_TRACE(n);
    const uint32_t s = exif_orientation(t.data(), n);
    const uint32_t l = tiff_find_orientation(t.data(), n);
    // The entry ends at byte 22: strict needs the whole entry, lenient needs 22 bytes too.
    EXPECT_EQ(s, n >= 22 ? 6u : 1u);
    EXPECT_EQ(l, n >= 22 ? 6u : 1u);
  }
  EXPECT_EQ(exif_orientation(nullptr, 100), 1u);
  EXPECT_EQ(tiff_find_orientation(nullptr, 100), 1u);
}

// SOI, the given segments, then SOS so the walk has an end.
std::vector<uint8_t> jpeg_head(const std::vector<std::vector<uint8_t>>& segments) {
  std::vector<uint8_t> j = {0xFF, 0xD8};
  for (const auto& s : segments) j.insert(j.end(), s.begin(), s.end());
  const std::vector<uint8_t> sos = {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0, 0, 0, 0};
  j.insert(j.end(), sos.begin(), sos.end());
  return j;
}

std::vector<uint8_t> app0() {
  return {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
}

TEST(ExifJpegWalk, LenientFindsOrientationBehindOtherSegments) {
  const auto six = app1_exif(make_tiff(false, {{kOrient, kShort, 1, 6}}));
  const auto none = app1_exif(make_tiff(false, {{256, kShort, 1, 6}}));
  const auto long6 = app1_exif(make_tiff(false, {{kOrient, kLong, 1, 6}}));
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t want;
  };
  const Case cases[] = {
      {"app1 first", jpeg_head({six}), 6},
      {"after app0", jpeg_head({app0(), six}), 6},
      {"second app1 decides when the first has none", jpeg_head({none, six}), 6},
      {"long type found", jpeg_head({long6}), 6},
      {"none", jpeg_head({app0()}), 1},
      {"after sos is not seen", [&] {
         auto j = jpeg_head({app0()});
         j.insert(j.end(), six.begin(), six.end());
         return j;
       }(), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(jpeg_exif_orientation(c.data.data(), c.data.size()), c.want);
  }
}

TEST(ExifJpegWalk, LenientStopsOnBadStructure) {
  const auto six = app1_exif(make_tiff(true, {{kOrient, kShort, 1, 6}}));
  auto j = jpeg_head({six});
  EXPECT_EQ(jpeg_exif_orientation(nullptr, 100), 1u);
  EXPECT_EQ(jpeg_exif_orientation(j.data(), 11), 1u);  // fewer than 12 bytes
  auto no_soi = j;
  no_soi[1] = 0xD9;
  EXPECT_EQ(jpeg_exif_orientation(no_soi.data(), no_soi.size()), 1u);
  auto fill = jpeg_head({{0xFF}, six});  // a fill byte: the lenient walk has no fill handling
  EXPECT_EQ(jpeg_exif_orientation(fill.data(), fill.size()), 1u);
  auto short_len = j;
  short_len[4] = 0;
  short_len[5] = 1;  // segment length 1
  EXPECT_EQ(jpeg_exif_orientation(short_len.data(), short_len.size()), 1u);
  auto long_len = j;
  long_len[4] = 0xFF;  // segment runs past the data
  EXPECT_EQ(jpeg_exif_orientation(long_len.data(), long_len.size()), 1u);
  // Every prefix: never reads out of bounds (ASan) and finds nothing in a cut segment.
  for (size_t n = 0; n < 2 + six.size(); ++n) {
    EXPECT_EQ(jpeg_exif_orientation(j.data(), n), 1u) << n;
  }
}

// The strict walk is what decode_image_bytes applies: inject segments into a real JPEG.
TEST(ExifJpegWalk, StrictWalkDecidesTheDecodedShape) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto base = testorig_jpeg();
  ASSERT_FALSE(base.empty());
  const Decoded upright = decode_bytes(base);
  ASSERT_EQ(upright.ok, 1);
  const auto six = app1_exif(make_tiff(true, {{kOrient, kShort, 1, 6}}));
  const auto none = app1_exif(make_tiff(true, {{256, kShort, 1, 1}}));
  struct Case {
    const char* name;
    std::vector<uint8_t> segments;
    uint32_t want;
  };
  std::vector<uint8_t> fill_then_six = {0xFF};
  fill_then_six.insert(fill_then_six.end(), six.begin(), six.end());
  std::vector<uint8_t> none_then_six = none;
  none_then_six.insert(none_then_six.end(), six.begin(), six.end());
  std::vector<uint8_t> app0_then_six = app0();
  app0_then_six.insert(app0_then_six.end(), six.begin(), six.end());
  const Case cases[] = {
      {"app1", six, 6},
      {"after app0", app0_then_six, 6},
      {"fill byte before the marker", fill_then_six, 6},
      {"first exif segment decides", none_then_six, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode_bytes(with_segments_after_soi(base, c.segments));
    ASSERT_EQ(d.ok, 1) << d.message;
    EXPECT_EQ(d.orientation, c.want);
    if (c.want == 6) {
      EXPECT_EQ(d.width, upright.height);
      EXPECT_EQ(d.height, upright.width);
    } else {
      EXPECT_EQ(d.rgb, upright.rgb);
    }
  }
}

TEST(ExifPngChunk, EXifChunkRotatesPng) {
  // 2x1 RGB: red, green. Orientation 8 (90 degrees counter-clockwise) gives 1x2: green over red.
  const std::vector<uint8_t> rows = {0, 255, 0, 0, 0, 255, 0};
  for (bool after_idat : {false, true}) {
    SCOPED_TRACE(after_idat);
    const auto exif = png_chunk("eXIf", make_tiff(true, {{kOrient, kShort, 1, 8}}));
    const auto png = after_idat ? make_png(2, 1, 8, 2, rows, {}, {exif})
                                : make_png(2, 1, 8, 2, rows, {exif});
    const Decoded d = decode_bytes(png);
    ASSERT_EQ(d.ok, 1) << d.message;
    EXPECT_EQ(d.orientation, 8u);
    ASSERT_EQ(d.width, 1u);
    ASSERT_EQ(d.height, 2u);
    EXPECT_EQ(d.rgb, (std::vector<uint8_t>{0, 255, 0, 255, 0, 0}));
  }
  // A chunk whose length runs past the data stops the walk: no rotation, decoding still fails
  // or succeeds on libpng's terms, never reads out of bounds.
  auto lying = make_png(2, 1, 8, 2, rows, {png_chunk("eXIf", make_tiff(true, {{kOrient, kShort, 1, 8}}))});
  lying[33] = 0x7F;
  const Decoded d = decode_bytes(lying);
  EXPECT_EQ(d.ok, 0);
}

double mean_abs_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(a.size());
}

constexpr double kReencodingBound = 6.0;

// Landscape_N / Portrait_N store one picture with orientation N (0 = no tag): all must come out
// as orientation 1 does. Each file was re-encoded, so pixels agree only loosely.
TEST(ExifSamples, EveryOrientationComesOutUpright) {
  for (const std::string kind : {"Landscape", "Portrait"}) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(read_testdata("images/exif-orientation/" + kind + "_1.jpg", &bytes));
    const Decoded ref = decode_bytes(bytes);
    ASSERT_EQ(ref.ok, 1) << ref.message;
    // The bound below must tell a mirror image apart.
    RgbImage mirrored{};
    ASSERT_EQ(import_image_pixels(ref.rgb.data(), ref.rgb.size(), ref.width, ref.height,
                                  3 * uint64_t{ref.width}, 1, 2, &mirrored, nullptr), 1);
    const std::vector<uint8_t> mirror_rgb(mirrored.pixels, mirrored.pixels + ref.rgb.size());
    free_image(&mirrored);
    const double mirror_diff = mean_abs_difference(mirror_rgb, ref.rgb);
    EXPECT_GT(mirror_diff, 4 * kReencodingBound) << kind;
    for (int n = 0; n <= 8; ++n) {
      SCOPED_TRACE(kind + "_" + std::to_string(n));
      ASSERT_TRUE(read_testdata("images/exif-orientation/" + kind + "_" + std::to_string(n) + ".jpg", &bytes));
      const Decoded d = decode_bytes(bytes);
      ASSERT_EQ(d.ok, 1) << d.message;
      EXPECT_EQ(d.orientation, n == 0 ? 1u : static_cast<uint32_t>(n));
      ASSERT_EQ(d.width, ref.width);
      ASSERT_EQ(d.height, ref.height);
      // Re-encoding noise is a few levels; a wrong turn or mirror is tens.
      EXPECT_LT(mean_abs_difference(d.rgb, ref.rgb), kReencodingBound);
    }
  }
}

}  // namespace
}  // namespace vexa::test
