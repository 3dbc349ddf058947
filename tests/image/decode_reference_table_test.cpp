// Every third-party test image against the committed table of reference decodes
// (djpeg for JPEG, Pillow for PNG; see tests/fixtures/make_image_decode_table.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "image_test_util.h"

namespace vexa::test {
namespace {

constexpr const char* kGoTestdata = "/usr/share/go-1.19/src/image/testdata";

struct TableRow {
  std::string root;
  std::string rel;
  bool ok = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t hash = 0;
  std::string message;  // "*" = any message
};

std::vector<TableRow> load_table() {
  std::vector<TableRow> rows;
  std::ifstream f(std::string(VEXA_FIXTURES_DIR) + "/image_decode_table.tsv");
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string c;
    while (std::getline(ss, c, '\t')) cols.push_back(c);
    if (cols.size() < 4) continue;
    TableRow r;
    r.root = cols[0];
    r.rel = cols[1];
    r.ok = cols[2] == "ok";
    if (r.ok && cols.size() == 6) {
      r.width = static_cast<uint32_t>(std::stoul(cols[3]));
      r.height = static_cast<uint32_t>(std::stoul(cols[4]));
      r.hash = std::stoull(cols[5], nullptr, 16);
    } else {
      r.message = cols[3];
    }
    rows.push_back(r);
  }
  return rows;
}

bool dir_exists(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void check_rows(const std::string& root, const std::string& base, const std::string& filter,
                size_t* checked) {
  *checked = 0;
  for (const TableRow& r : load_table()) {
    if (r.root != root || r.rel.find(filter) == std::string::npos) continue;
    SCOPED_TRACE(r.rel);
    std::vector<uint8_t> bytes;
    if (!read_file(base + "/" + r.rel, &bytes)) {
      ADD_FAILURE() << "cannot read " << r.rel;
      continue;
    }
    const Decoded d = decode_bytes(bytes);
    if (r.ok) {
      EXPECT_EQ(d.ok, 1) << d.message;
      EXPECT_EQ(d.width, r.width);
      EXPECT_EQ(d.height, r.height);
      EXPECT_EQ(fnv1a64(d.rgb.data(), d.rgb.size()), r.hash);
    } else {
      EXPECT_EQ(d.ok, 0);
      EXPECT_TRUE(d.rgb.empty());
      EXPECT_FALSE(d.message.empty());
      EXPECT_NE(d.message, "(untouched)");
      if (r.message != "*") {
        EXPECT_EQ(d.message, r.message);
      }
    }
    ++*checked;
  }
}

TEST(DecodeReferenceTable, JpegTestImagesMatchDjpeg) {
  size_t n = 0;
  VEXA_REQUIRE_TESTDATA("images/jpeg-testimages");
  check_rows("testdata", VEXA_TESTDATA_DIR, "jpeg-testimages/", &n);
  EXPECT_EQ(n, 4u);
}

TEST(DecodeReferenceTable, GoJpegVariantsMatchDjpeg) {
  if (!dir_exists(kGoTestdata)) GTEST_SKIP() << kGoTestdata << " absent (golang-1.19-src)";
  size_t n = 0;
  check_rows("go", kGoTestdata, ".jpeg", &n);
  EXPECT_GE(n, 20u);
}

TEST(DecodeReferenceTable, PngSuiteMatchesPillowOrIsRefused) {
  size_t n = 0;
  VEXA_REQUIRE_TESTDATA("images/pngsuite");
  check_rows("testdata", VEXA_TESTDATA_DIR, "pngsuite/", &n);
  EXPECT_GE(n, 60u);
}

TEST(DecodeReferenceTable, LibpngTestPngsMatchPillowOrAreRefused) {
  size_t n = 0;
  VEXA_REQUIRE_TESTDATA("images/libpng-testpngs");
  check_rows("testdata", VEXA_TESTDATA_DIR, "libpng-testpngs/", &n);
  EXPECT_GE(n, 100u);
}

// testorig.ppm is the picture testorig.jpg was compressed from, read at test time: our decode
// must be close to it (catches swapped channels, flips and row offsets that a hash cannot
// explain), though not equal, since JPEG is lossy.
TEST(DecodeReferenceTable, TestorigIsCloseToItsSourcePicture) {
  std::vector<uint8_t> jpg;
  std::vector<uint8_t> ppm;
  ASSERT_TRUE(read_testdata("images/jpeg-testimages/testorig.jpg", &jpg));
  ASSERT_TRUE(read_testdata("images/jpeg-testimages/testorig.ppm", &ppm));
  const Decoded d = decode_bytes(jpg);
  ASSERT_EQ(d.ok, 1) << d.message;
  uint32_t w = 0;
  uint32_t h = 0;
  uint8_t* px = nullptr;
  ASSERT_EQ(decode_image_memory_rgb(ppm.data(), ppm.size(), &w, &h, &px), 1);
  ASSERT_EQ(w, d.width);
  ASSERT_EQ(h, d.height);
  double sum = 0;
  for (size_t i = 0; i < d.rgb.size(); ++i) sum += std::abs(int{px[i]} - int{d.rgb[i]});
  free_pixels(px);
  EXPECT_LT(sum / static_cast<double>(d.rgb.size()), 1.0);  // swapped channels: about 47
}

}  // namespace
}  // namespace vexa::test
