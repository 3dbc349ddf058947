#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <xxhash.h>

#include "core/container_digest.h"
#include "core/weight_decode.h"

namespace vexa {
namespace {

uint32_t bits_of(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// Reference binary16 -> binary32 built from the value's definition rather than bit shuffles:
// finite values through ldexp, specials assembled field by field.
uint32_t reference_half(uint16_t h) {
  const uint32_t sign = h >> 15;
  const uint32_t exponent = (h >> 10) & 0x1f;
  const uint32_t mantissa = h & 0x3ff;
  if (exponent == 0x1f) return (sign << 31) | (0xffu << 23) | (mantissa << 13);
  const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(mantissa), -24)
                                         : std::ldexp(1.0 + mantissa / 1024.0, static_cast<int>(exponent) - 15);
  const float f = static_cast<float>(sign ? -magnitude : magnitude);
  return bits_of(f);
}

TEST(HalfDecoding, AllBitPatternsScalarAndVectorPaths) {
  std::vector<uint16_t> all(65536);
  for (uint32_t i = 0; i < 65536; ++i) all[i] = static_cast<uint16_t>(i);
  std::vector<float> decoded(65536);
  // 65536 = 4096 rows of 16: the 16-wide steps; the odd shape below covers the tail loop.
  ASSERT_TRUE(weights_decode_f32(1, 4096, 16, all.data(), decoded.data()));
  std::vector<float> tail(65536);
  ASSERT_TRUE(weights_decode_f32(1, 1, 65535, all.data(), tail.data()));
  tail[65535] = half_to_float(0xffff);
  for (uint32_t i = 0; i < 65536; ++i) {
    const uint32_t want = reference_half(static_cast<uint16_t>(i));
    ASSERT_EQ(bits_of(half_to_float(static_cast<uint16_t>(i))), want) << std::hex << i;
    ASSERT_EQ(bits_of(decoded[i]), want) << std::hex << i;
    ASSERT_EQ(bits_of(tail[i]), want) << std::hex << i;
  }
  EXPECT_EQ(half_to_float(0x7c00), std::numeric_limits<float>::infinity());
  EXPECT_EQ(half_to_float(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(bits_of(half_to_float(0x8000)), 0x80000000u);
  EXPECT_EQ(bits_of(half_to_float(0x7c01)), 0x7f802000u) << "signalling NaN payload kept";
}

std::vector<uint8_t> q8_block(float scale, int8_t fill) {
  std::vector<uint8_t> b(68, static_cast<uint8_t>(fill));
  std::memcpy(b.data() + 64, &scale, 4);
  return b;
}

TEST(Q8Decoding, ValidBlocksDecodeExactly) {
  std::vector<uint8_t> block(68);
  for (int k = 0; k < 64; ++k) block[k] = static_cast<uint8_t>(static_cast<int8_t>(k * 4 - 127));
  const float scale = 0.0625f;
  std::memcpy(block.data() + 64, &scale, 4);
  std::vector<float> out(64);
  ASSERT_TRUE(weights_decode_f32(4, 1, 64, block.data(), out.data()));
  for (int k = 0; k < 64; ++k) EXPECT_EQ(out[k], scale * static_cast<float>(k * 4 - 127)) << k;

  // Two rows of 100 columns: two blocks each, destination packed at 100 values per row.
  std::vector<uint8_t> rows;
  for (int r = 0; r < 2; ++r) {
    for (int b = 0; b < 2; ++b) {
      auto blk = q8_block(static_cast<float>(r + 1), 0);
      for (int k = 0; k < 64 && 64 * b + k < 100; ++k) blk[k] = static_cast<uint8_t>(b * 64 + k - 50);
      rows.insert(rows.end(), blk.begin(), blk.end());
    }
  }
  std::vector<float> two(200, -1.0f);
  ASSERT_TRUE(weights_decode_f32(4, 2, 100, rows.data(), two.data()));
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 100; ++c) {
      EXPECT_EQ(two[r * 100 + c], static_cast<float>(r + 1) * static_cast<float>(static_cast<int8_t>(c - 50)));
    }
  }
}

TEST(Q8Decoding, InvalidBlocksFail) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    float scale;
    int byte_index;
    uint8_t byte;
    uint64_t cols;
  } cases[] = {
      {"zero scale", 0.0f, 0, 1, 64},
      {"negative scale", -1.0f, 0, 1, 64},
      {"infinite scale", inf, 0, 1, 64},
      {"NaN scale", nan, 0, 1, 64},
      {"-128", 1.0f, 10, 0x80, 64},
      {"value past the last column", 1.0f, 40, 1, 40},
  };
  for (const Case& c : cases) {
    auto block = q8_block(c.scale, 0);
    block[c.byte_index] = c.byte;
    std::vector<float> out(64);
    EXPECT_FALSE(weights_decode_f32(4, 1, c.cols, block.data(), out.data())) << c.what;
  }
  auto ok = q8_block(1.0f, 0);
  std::vector<float> out(64);
  EXPECT_TRUE(weights_decode_f32(4, 1, 40, ok.data(), out.data()));
  EXPECT_TRUE(weights_decode_f32(4, 0, 40, nullptr, nullptr));
  EXPECT_FALSE(weights_decode_f32(2, 1, 1, ok.data(), out.data()));
  EXPECT_FALSE(weights_decode_f32(3, 1, 1, ok.data(), out.data()));
}

TEST(Digests, StoredLowThenHighAndFold) {
  std::vector<uint8_t> data(2048);
  for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>((131 * k + 17) % 256);
  const XXH128_hash_t h = XXH3_128bits(data.data(), data.size());
  EXPECT_NE(h.low64, 0u);
  EXPECT_NE(h.high64, 0u);
  uint8_t stored[32] = {};
  store_digest_at(stored, 8, data.data(), data.size());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(stored[8 + i], static_cast<uint8_t>(h.low64 >> (8 * i)));
    EXPECT_EQ(stored[16 + i], static_cast<uint8_t>(h.high64 >> (8 * i)));
  }
  EXPECT_TRUE(digest_matches(data.data(), data.size(), stored + 8));
  data[100] ^= 1;
  EXPECT_FALSE(digest_matches(data.data(), data.size(), stored + 8));

  const uint8_t words[] = {1, 0, 0, 0, 2, 0, 0, 0, 0xff, 0, 0, 0x80, 7, 7};
  EXPECT_EQ(xor_fold32(words, sizeof words), 1u ^ 2u ^ 0x800000ffu);
  EXPECT_EQ(xor_fold32(words, 3), 0u);
  EXPECT_EQ(xor_fold32(words, 4), 1u);
}

}  // namespace
}  // namespace vexa
