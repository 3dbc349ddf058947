// Helpers shared by the image decoding tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "image/decode.h"
#include "image/normalize.h"
#include "testdata.h"

namespace vexa::test {

inline std::string message(const ExpectedMessage& m) {
  return std::string(expected_message_view(m));
}

// Takes the planes out of an ok tensor record (or fails the test) and frees the block. `count` is
// what the record must report; the block always holds three planes (lightness reports one).
inline std::vector<float> take_chw(Expected<ChwTensor> r, uint32_t w, uint32_t h,
                                   uint64_t count) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : message(r.error));
  if (!r.ok()) {
    expected_message_free(&r.error);
    return {};
  }
  EXPECT_EQ(r.value.width, w);
  EXPECT_EQ(r.value.height, h);
  EXPECT_EQ(r.value.count, count);
  std::vector<float> out(r.value.data, r.value.data + 3ull * w * h);
  std::free(r.value.data);
  return out;
}

inline bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

inline bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

inline std::string testdata(const std::string& rel) { return testdata_path(rel); }

// The libjpeg test picture most JPEG cases start from.
inline constexpr const char* kTestorigJpg = "images/jpeg-testimages/testorig.jpg";

// Result of decode_image_bytes kept as plain values, the image freed.
struct Decoded {
  int ok = 0;
  std::string message;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t orientation = 0;
  std::vector<uint8_t> rgb;
};

inline Decoded decode_bytes(const std::vector<uint8_t>& bytes) {
  Decoded d;
  RgbImage img{};
  char msg[kImageMessageCapacity];
  std::snprintf(msg, sizeof msg, "%s", "(untouched)");
  d.ok = decode_image_bytes(bytes.data(), bytes.size(), &img, msg);
  d.message = msg;
  d.width = img.width;
  d.height = img.height;
  d.orientation = img.orientation;
  if (img.pixels != nullptr) {
    d.rgb.assign(img.pixels, img.pixels + uint64_t{3} * img.width * img.height);
  }
  free_image(&img);
  return d;
}

inline void put_be32(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back(static_cast<uint8_t>(x >> 24));
  v->push_back(static_cast<uint8_t>(x >> 16));
  v->push_back(static_cast<uint8_t>(x >> 8));
  v->push_back(static_cast<uint8_t>(x));
}
inline void put_be16(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back(static_cast<uint8_t>(x >> 8));
  v->push_back(static_cast<uint8_t>(x));
}

// A temporary folder removed with its files at the end of the test.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vexa-image-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    path_ = d != nullptr ? d : "/tmp";
  }
  ~TempDir() {
    const std::string cmd = "rm -rf '" + path_ + "'";
    if (path_ != "/tmp") (void)std::system(cmd.c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vexa::test

#include <zlib.h>

namespace vexa::test {

// A minimal PNG writer for hand-built test images (stored deflate via zlib's compress).
inline std::vector<uint8_t> png_chunk(const char* type, const std::vector<uint8_t>& data) {
  const size_t n = data.size();
  std::vector<uint8_t> c(12 + n);
  for (int i = 0; i < 4; ++i) {
    c[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    c[4 + i] = static_cast<uint8_t>(type[i]);
  }
  for (size_t i = 0; i < n; ++i) c[8 + i] = data[i];
  const uint32_t crc = static_cast<uint32_t>(crc32(0, c.data() + 4, static_cast<uInt>(4 + n)));
  for (int i = 0; i < 4; ++i) c[8 + n + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return c;
}

inline std::vector<uint8_t> png_ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t color,
                                     uint8_t interlace = 0) {
  std::vector<uint8_t> d;
  put_be32(&d, w);
  put_be32(&d, h);
  d.push_back(depth);
  d.push_back(color);
  d.push_back(0);
  d.push_back(0);
  d.push_back(interlace);
  return png_chunk("IHDR", d);
}

inline std::vector<uint8_t> zlib_compress(const std::vector<uint8_t>& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> z(n);
  compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
  z.resize(n);
  return z;
}

inline const std::vector<uint8_t>& png_signature() {
  static const std::vector<uint8_t> sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  return sig;
}

// `scanlines` already carry their filter byte. `before_idat` chunks go between IHDR and IDAT.
inline std::vector<uint8_t> make_png(uint32_t w, uint32_t h, uint8_t depth, uint8_t color,
                                     const std::vector<uint8_t>& scanlines,
                                     const std::vector<std::vector<uint8_t>>& before_idat = {},
                                     const std::vector<std::vector<uint8_t>>& after_idat = {}) {
  std::vector<uint8_t> png = png_signature();
  const auto ihdr = png_ihdr(w, h, depth, color);
  png.insert(png.end(), ihdr.begin(), ihdr.end());
  for (const auto& c : before_idat) png.insert(png.end(), c.begin(), c.end());
  const auto idat = png_chunk("IDAT", zlib_compress(scanlines));
  png.insert(png.end(), idat.begin(), idat.end());
  for (const auto& c : after_idat) png.insert(png.end(), c.begin(), c.end());
  const auto iend = png_chunk("IEND", {});
  png.insert(png.end(), iend.begin(), iend.end());
  return png;
}

// TIFF block with IFD0 at offset 8 holding the given 12-byte entries.
struct IfdEntry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value;  // SHORT values sit in the first two bytes of the field
};

inline std::vector<uint8_t> make_tiff(bool big_endian, const std::vector<IfdEntry>& entries) {
  std::vector<uint8_t> t;
  auto u16 = [&](uint32_t v) {
    if (big_endian) {
      t.push_back(static_cast<uint8_t>(v >> 8));
      t.push_back(static_cast<uint8_t>(v));
    } else {
      t.push_back(static_cast<uint8_t>(v));
      t.push_back(static_cast<uint8_t>(v >> 8));
    }
  };
  auto u32 = [&](uint32_t v) {
    if (big_endian) {
      u16(v >> 16);
      u16(v & 0xffff);
    } else {
      u16(v & 0xffff);
      u16(v >> 16);
    }
  };
  t.push_back(big_endian ? 'M' : 'I');
  t.push_back(big_endian ? 'M' : 'I');
  u16(42);
  u32(8);
  u16(static_cast<uint32_t>(entries.size()));
  for (const IfdEntry& e : entries) {
    u16(e.tag);
    u16(e.type);
    u32(e.count);
    if (e.type == 3 && e.count == 1) {
      u16(e.value);
      u16(0);
    } else {
      u32(e.value);
    }
  }
  u32(0);  // no next IFD
  return t;
}

// An APP1 segment carrying "Exif\0\0" and the TIFF block.
inline std::vector<uint8_t> app1_exif(const std::vector<uint8_t>& tiff) {
  std::vector<uint8_t> s = {0xFF, 0xE1};
  put_be16(&s, static_cast<uint32_t>(tiff.size() + 8));
  for (uint8_t b : {'E', 'x', 'i', 'f', '\0', '\0'}) s.push_back(b);
  s.insert(s.end(), tiff.begin(), tiff.end());
  return s;
}

// Inserts segments right after the SOI marker of a JPEG.
inline std::vector<uint8_t> with_segments_after_soi(const std::vector<uint8_t>& jpeg,
                                                    const std::vector<uint8_t>& segments) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), segments.begin(), segments.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

// Callers start with VEXA_REQUIRE_TESTDATA(kTestorigJpg): an empty picture would fail later
// and less plainly.
inline std::vector<uint8_t> testorig_jpeg() {
  std::vector<uint8_t> b;
  EXPECT_TRUE(read_testdata(kTestorigJpg, &b));
  return b;
}

// Pixel (x, y) of a packed RGB image.
inline const uint8_t* rgb_at(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t x,
                             uint32_t y) {
  return rgb.data() + 3 * (uint64_t{width} * y + x);
}

}  // namespace vexa::test
