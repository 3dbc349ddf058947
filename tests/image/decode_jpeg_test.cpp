// JPEG decoding of malformed input: dimension limits, truncation, garbage and corrupted bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "image_test_util.h"

namespace vexa::test {
namespace {

// Offset of the first start-of-frame marker (FF C0..C2) or 0.
size_t find_sof(const std::vector<uint8_t>& j) {
  size_t p = 2;
  while (p + 4 <= j.size() && j[p] == 0xFF) {
    const uint8_t m = j[p + 1];
    if (m >= 0xC0 && m <= 0xC2) return p;
    p += 2 + ((size_t{j[p + 2]} << 8) | j[p + 3]);
  }
  return 0;
}

std::vector<uint8_t> with_size(std::vector<uint8_t> j, uint32_t w, uint32_t h) {
  const size_t sof = find_sof(j);
  j[sof + 5] = static_cast<uint8_t>(h >> 8);
  j[sof + 6] = static_cast<uint8_t>(h);
  j[sof + 7] = static_cast<uint8_t>(w >> 8);
  j[sof + 8] = static_cast<uint8_t>(w);
  return j;
}

TEST(JpegDecode, HeaderDimensionsAreCheckedBeforeDecoding) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto base = testorig_jpeg();
  ASSERT_NE(find_sof(base), 0u);
  struct Case {
    uint32_t w, h;
    const char* want;  // null: the library's own message
  };
  const Case cases[] = {
      {40000, 10, "Image dimensions exceed supported bounds"},
      {10, 65000, "Image dimensions exceed supported bounds"},
      {20000, 20000, "Image dimensions exceed supported bounds"},
      {65535, 65535, nullptr},  // beyond what libjpeg itself accepts
      {0, 10, nullptr},
      {10, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const Decoded d = decode_bytes(with_size(base, c.w, c.h));
    EXPECT_EQ(d.ok, 0);
    EXPECT_NE(d.message, "");
    if (c.want != nullptr) {
      EXPECT_EQ(d.message, c.want);
    }
    EXPECT_EQ(d.width, 0u);
    EXPECT_TRUE(d.rgb.empty());
  }
}

// A picture whose header claims more rows than the data holds is still decoded (libjpeg fills
// the rest and only warns); warnings never reach the caller.
TEST(JpegDecode, MissingScanDataDecodesWithoutMessage) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto base = testorig_jpeg();
  const Decoded d = decode_bytes(with_size(base, 227, 300));
  ASSERT_EQ(d.ok, 1) << d.message;
  EXPECT_EQ(d.height, 300u);
  EXPECT_EQ(d.message, "");
}

TEST(JpegDecode, EveryPrefixFailsCleanlyOrDecodes) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto base = testorig_jpeg();
  const size_t sos = [&] {
    for (size_t i = 2; i + 1 < base.size(); ++i) {
      if (base[i] == 0xFF && base[i + 1] == 0xDA) return i;
    }
    return size_t{0};
  }();
  ASSERT_NE(sos, 0u);
  for (size_t n = 0; n < base.size(); n += (n < sos + 64 ? 1 : 37)) {
    const Decoded d = decode_bytes(std::vector<uint8_t>(base.begin(), base.begin() + static_cast<long>(n)));
    if (n < sos) {
      // Cut inside the headers: no image.
      EXPECT_EQ(d.ok, 0) << n;
    }
    if (d.ok == 0) {
      EXPECT_NE(d.message, "") << n;
      EXPECT_EQ(d.width, 0u) << n;
      EXPECT_TRUE(d.rgb.empty()) << n;
    } else {
      EXPECT_EQ(d.width, 227u);
      EXPECT_EQ(d.height, 149u);
    }
  }
}

TEST(JpegDecode, GarbageAfterTheStartMarker) {
  const std::vector<std::vector<uint8_t>> inputs = {
      {0xFF, 0xD8, 0, 0, 0, 0, 0, 0},
      {0xFF, 0xD8, 0xFF, 0xD9, 0, 0, 0, 0},                    // end of image at once
      {0xFF, 0xD8, 0xFF, 0xDA, 0, 2, 0, 0, 0, 0},              // scan before any frame
      {0xFF, 0xD8, 0xFF, 0xC0, 0, 2, 0xFF, 0xD9},              // frame header too short
      {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 'E', 'x', 'i', 'f'},  // segment past the end
  };
  for (const auto& in : inputs) {
    const Decoded d = decode_bytes(in);
    EXPECT_EQ(d.ok, 0);
    EXPECT_NE(d.message, "");
    EXPECT_NE(d.message, "(untouched)");
  }
}

TEST(JpegDecode, ByteFlipsInTheHeadersNeverCrash) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto base = testorig_jpeg();
  const size_t sof = find_sof(base);
  ASSERT_NE(sof, 0u);
  // The tables and frame header, where a wrong byte changes sizes and counts.
  for (size_t i = 2; i < sof + 40 && i < base.size(); ++i) {
    for (uint8_t x : {0x01, 0x10, 0x80, 0xFF}) {
      auto j = base;
      j[i] ^= x;
      const Decoded d = decode_bytes(j);
      if (d.ok == 0) {
        EXPECT_NE(d.message, "") << i;
        EXPECT_TRUE(d.rgb.empty()) << i;
      } else {
        EXPECT_EQ(d.rgb.size(), 3 * uint64_t{d.width} * d.height);
      }
    }
  }
}

TEST(JpegDecode, CmykIsRefused) {
  const std::string path = "/usr/share/go-1.19/src/image/testdata/video-001.cmyk.jpeg";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) GTEST_SKIP() << path << " absent (golang-1.19-src)";
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(read_file(path, &bytes));
  const Decoded d = decode_bytes(bytes);
  EXPECT_EQ(d.ok, 0);
  EXPECT_EQ(d.message, "CMYK JPEG is unsupported");
  EXPECT_EQ(d.width, 0u);
}

}  // namespace
}  // namespace vexa::test
