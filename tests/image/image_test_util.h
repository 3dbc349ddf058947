// Helpers shared by the image decoding tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/decode.h"

namespace vexa::test {

inline uint64_t fnv1a64(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ULL;
  }
  return h;
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

inline std::string testdata(const std::string& rel) { return std::string(VEXA_TESTDATA_DIR) + "/" + rel; }

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
