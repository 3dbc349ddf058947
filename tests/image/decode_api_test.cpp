// The core entry points' messages, file loading, the path/memory decoders and the
// Expected-record wrappers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "image_test_util.h"
#include "image/decode_internal.h"
#include "tests/core/fifo_guard.h"
#include "tests/core/inherit_probe.h"

namespace vexa::test {
namespace {

std::string decode_message(const std::vector<uint8_t>& bytes) { return decode_bytes(bytes).message; }

TEST(DecodeBytes, MessagesForWhatIsNotAnImage) {
  EXPECT_EQ(decode_message({1, 2, 3, 4, 5, 6, 7}), "Cannot read image");
  EXPECT_EQ(decode_message({'G', 'I', 'F', '8', '9', 'a', 0, 0}),
            "Supported image formats are RGB/grayscale JPEG and PNG");
  EXPECT_EQ(decode_message({'P', '6', ' ', '1', ' ', '1', ' ', '2', '5', '5', ' ', 0, 0, 0}),
            "Supported image formats are RGB/grayscale JPEG and PNG");
  std::vector<uint8_t> png7 = png_signature();
  png7.pop_back();
  EXPECT_EQ(decode_message(png7), "Cannot read image");

  RgbImage img{};
  char msg[kImageMessageCapacity] = "";
  EXPECT_EQ(decode_image_bytes(nullptr, 100, &img, msg), 0);
  EXPECT_STREQ(msg, "Cannot read image");
  const uint8_t some[8] = {};
  EXPECT_EQ(decode_image_bytes(some, 8, nullptr, msg), 0);
  EXPECT_STREQ(msg, "Missing image output");
  EXPECT_EQ(decode_image_bytes(some, 8, &img, nullptr), 0);  // no buffer: no write
}

TEST(DecodeBytes, SuccessClearsTheMessage) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto jpg = testorig_jpeg();
  RgbImage img{};
  char msg[kImageMessageCapacity];
  std::snprintf(msg, sizeof msg, "stale");
  ASSERT_EQ(decode_image_bytes(jpg.data(), jpg.size(), &img, msg), 1);
  EXPECT_STREQ(msg, "");
  EXPECT_EQ(img.width, 227u);
  EXPECT_EQ(img.height, 149u);
  EXPECT_EQ(img.orientation, 1u);
  free_image(&img);
}

TEST(LoadImageFile, Messages) {
  TempDir dir;
  RgbImage img{};
  char msg[kImageMessageCapacity] = "";
  EXPECT_EQ(load_image_file(nullptr, &img, msg), 0);
  EXPECT_STREQ(msg, "Missing image path");
  EXPECT_EQ(load_image_file(dir.file("absent.jpg").c_str(), &img, msg), 0);
  EXPECT_STREQ(msg, "Cannot read image");

  ASSERT_TRUE(write_file(dir.file("seven.bin"), {1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(load_image_file(dir.file("seven.bin").c_str(), &img, msg), 0);
  EXPECT_STREQ(msg, "Invalid encoded image size");

  // One byte over 512 MiB, sparse: refused from its size, never read.
  const std::string big = dir.file("big.jpg");
  const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (off_t{512} << 20) + 1), 0);
  ::close(fd);
  EXPECT_EQ(load_image_file(big.c_str(), &img, msg), 0);
  EXPECT_STREQ(msg, "Invalid encoded image size");

  ASSERT_TRUE(write_file(dir.file("garbage.bin"), std::vector<uint8_t>(100, 'x')));
  EXPECT_EQ(load_image_file(dir.file("garbage.bin").c_str(), &img, msg), 0);
  EXPECT_STREQ(msg, "Supported image formats are RGB/grayscale JPEG and PNG");

  // A folder is not an image: any clean refusal.
  img.width = 5;
  EXPECT_EQ(load_image_file(dir.file("").c_str(), &img, msg), 0);
  EXPECT_NE(std::string(msg), "");
  EXPECT_EQ(img.width, 0u);
  EXPECT_EQ(img.pixels, nullptr);

  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  ASSERT_EQ(load_image_file(testdata(kTestorigJpg).c_str(), &img, msg), 1);
  EXPECT_EQ(img.width, 227u);
  free_image(&img);
}

// A child forked while another thread decodes an image file must not inherit the file: every
// descriptor the decoders open carries close-on-exec from the start.
TEST(LoadImageFile, DescriptorsAreNeverInheritable) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const std::string path = testdata(kTestorigJpg);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const auto decode = [&] {
    uint32_t w = 0, h = 0, o = 0;
    uint8_t* px = nullptr;
    if (decode_image_path(path.c_str(), &w, &h, &o, &px) == 1) free_pixels(px);
  };
  const vexa::testing::InheritTarget target{st.st_dev, st.st_ino, {}};
  EXPECT_EQ(vexa::testing::count_inheritable_copies(target, decode, std::chrono::milliseconds(300)),
            0);
}

// Every path decoder refuses a FIFO at once, as an unreadable image, instead of waiting for a
// writer that never comes.
TEST(LoadImageFile, FifoIsRefusedWithoutBlocking) {
  vexa::testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  const char* p = fifo.path().c_str();
  constexpr auto kLimit = std::chrono::seconds(2);
  const auto guarded = [&](const std::function<void()>& call) {
    return vexa::testing::returns_without_writer(fifo.path(), call, kLimit);
  };

  RgbImage img{};
  char msg[kImageMessageCapacity] = "";
  int loaded = -1;
  EXPECT_TRUE(guarded([&] { loaded = load_image_file(p, &img, msg); })) << "load_image_file";
  EXPECT_EQ(loaded, 0);
  EXPECT_STREQ(msg, "Cannot read image");
  if (loaded == 1) free_image(&img);

  uint32_t w = 0, h = 0;
  uint8_t* px = nullptr;
  bool ppm_ok = true;
  EXPECT_TRUE(guarded([&] { ppm_ok = image_detail::ppm_decode_file(p, &w, &h, &px); })) << "ppm_decode_file";
  EXPECT_FALSE(ppm_ok);
  if (ppm_ok) std::free(px);

  for (const bool with_orientation : {false, true}) {
    uint32_t o = 0;
    px = nullptr;
    int decoded = -1;
    EXPECT_TRUE(guarded([&] {
      decoded = decode_image_path(p, &w, &h, with_orientation ? &o : nullptr, &px);
    })) << "decode_image_path, orientation " << with_orientation;
    EXPECT_EQ(decoded, 0);
    if (decoded == 1) free_pixels(px);
  }
}

std::vector<uint8_t> ppm(const std::string& header, uint64_t pixel_bytes, uint8_t fill = 7) {
  std::vector<uint8_t> b(header.begin(), header.end());
  for (uint64_t i = 0; i < pixel_bytes; ++i) b.push_back(static_cast<uint8_t>(fill + i));
  return b;
}

struct MemResult {
  int ok;
  uint32_t w, h, o;
  std::vector<uint8_t> px;
};

MemResult decode_memory(const std::vector<uint8_t>& b) {
  MemResult r{};
  uint8_t* px = nullptr;
  r.o = 99;
  r.ok = decode_image_memory(b.data(), b.size(), &r.w, &r.h, &r.o, &px);
  if (r.ok) r.px.assign(px, px + 3 * uint64_t{r.w} * r.h);
  free_pixels(px);
  return r;
}

TEST(PpmFastPath, AcceptsTheHeaderForms) {
  struct Case {
    const char* name;
    std::string header;
    uint32_t w, h;
  };
  const Case cases[] = {
      {"comment line", "P6\n# c\n2 1\n255\n", 2, 1},
      {"spaces", "P6 3 2 255 ", 3, 2},
      {"tabs and CR", "P6\t1\r\n1\t255\r", 1, 1},
      {"comments between numbers", "P6 #a\n2 #b\n2 #c\n255\n", 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto b = ppm(c.header, 3 * c.w * c.h + 5);  // trailing bytes are ignored
    const MemResult r = decode_memory(b);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.w, c.w);
    EXPECT_EQ(r.h, c.h);
    EXPECT_EQ(r.o, 1u);
    EXPECT_EQ(r.px, std::vector<uint8_t>(b.begin() + static_cast<long>(c.header.size()),
                                         b.begin() + static_cast<long>(c.header.size() + 3 * c.w * c.h)));
  }
}

TEST(PpmFastPath, RefusesWhatItCannotHandle) {
  // None of these may decode: the core refuses PPM, so leaving the fast path fails the call.
  const std::string long_comment = "P6\n#" + std::string(260, 'x') + "\n1 1\n255\n";
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"maximum 65535", ppm("P6\n1 1\n65535\n", 6)},
      {"header beyond 256 bytes", ppm(long_comment, 3)},
      {"no whitespace after 255", ppm("P6\n1 1\n255", 3, 0x41)},
      {"two whitespace bytes is fine but one pixel short", ppm("P6\n2 1\n255\n", 5)},
      {"width 0", ppm("P6\n0 1\n255\n", 3)},
      {"height 0", ppm("P6\n1 0\n255\n", 3)},
      {"P3 text form", ppm("P3\n1 1\n255\n", 3)},
      {"no whitespace after P6", ppm("P6#\n1 1\n255\n", 3)},
      {"negative width", ppm("P6\n-1 1\n255\n", 3)},
      {"fewer than 11 bytes", ppm("P6 1 1 255", 0)},
      {"comment runs out", ppm("P6 1 1 # no end", 0)},
      // 2^32 + 1 wraps to 1 in 32 bits: must be refused, not read as width 1.
      {"width wraps 32 bits", ppm("P6\n4294967297 1\n255\n", 3)},
      {"width 20 digits", ppm("P6\n99999999999999999999 1\n255\n", 3)},
      {"side above 32768", ppm("P6\n32769 1\n255\n", 3 * 32769)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_memory(c.bytes).ok, 0);
  }
}

TEST(PpmFastPath, FileLimitsApplyBeforeAllocating) {
  TempDir dir;
  // Sparse files large enough for their headers: without the limits these would be read.
  struct Case {
    const char* name;
    std::string header;
    uint64_t pixel_bytes;
    int want;
  };
  const Case cases[] = {
      {"32768 wide is fine", "P6\n32768 1\n255\n", 3 * 32768, 1},
      {"32769 wide", "P6\n32769 1\n255\n", 3 * 32769, 0},
      {"100,000,001+ pixels", "P6\n10001 10000\n255\n", uint64_t{3} * 10001 * 10000, 0},
      {"wrapping width", "P6\n4294967297 1\n255\n", 3, 0},
      {"short file", "P6\n4 4\n255\n", 47, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("x.ppm");
    ASSERT_TRUE(write_file(path, std::vector<uint8_t>(c.header.begin(), c.header.end())));
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.header.size() + c.pixel_bytes)), 0);
    uint32_t w = 0;
    uint32_t h = 0;
    uint32_t o = 0;
    uint8_t* px = nullptr;
    EXPECT_EQ(decode_image_path(path.c_str(), &w, &h, &o, &px), c.want);
    if (c.want == 1) {
      EXPECT_EQ(w, 32768u);
      EXPECT_EQ(o, 1u);
      EXPECT_EQ(px[0], 0);
    }
    free_pixels(px);
  }
}

TEST(PathAndMemoryDecoders, AgreeOnPpmAndJpeg) {
  TempDir dir;
  const auto p = ppm("P6\n# c\n2 1\n255\n", 6);
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto jpg = testorig_jpeg();
  for (const auto* bytes : {&p, &jpg}) {
    const std::string path = dir.file("img");
    ASSERT_TRUE(write_file(path, *bytes));
    uint32_t w = 0;
    uint32_t h = 0;
    uint8_t* px = nullptr;
    ASSERT_EQ(decode_image_path_rgb(path.c_str(), &w, &h, &px), 1);
    const MemResult m = decode_memory(*bytes);
    ASSERT_EQ(m.ok, 1);
    EXPECT_EQ(w, m.w);
    EXPECT_EQ(h, m.h);
    EXPECT_EQ(0, std::memcmp(px, m.px.data(), m.px.size()));
    free_pixels(px);
  }
  uint32_t w = 0;
  uint32_t h = 0;
  uint8_t* px = nullptr;
  EXPECT_EQ(decode_image_memory(nullptr, 10, &w, &h, nullptr, &px), 0);
  EXPECT_EQ(decode_image_memory(jpg.data(), 0, &w, &h, nullptr, &px), 0);
  EXPECT_EQ(decode_image_path(nullptr, &w, &h, nullptr, &px), 0);
  EXPECT_EQ(decode_image_path(dir.file("absent").c_str(), &w, &h, nullptr, &px), 0);
  EXPECT_EQ(px, nullptr);
}

// A little-endian LONG orientation is invisible to the core but found by the lenient walk:
// the decoders then report it with the pixels as stored.
TEST(PathAndMemoryDecoders, ReportOnlyWhatTheCoreDidNotApply) {
  TempDir dir;
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto base = testorig_jpeg();
  const auto long6 = with_segments_after_soi(base, app1_exif(make_tiff(false, {{274, 4, 1, 6}})));
  const auto short6 = with_segments_after_soi(base, app1_exif(make_tiff(false, {{274, 3, 1, 6}})));
  const Decoded stored = decode_bytes(base);

  MemResult r = decode_memory(long6);
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.o, 6u);
  EXPECT_EQ(r.w, 227u);
  EXPECT_EQ(r.px, stored.rgb);

  r = decode_memory(short6);
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.o, 1u);
  EXPECT_EQ(r.w, 149u);  // already turned

  const std::string path = dir.file("long6.jpg");
  ASSERT_TRUE(write_file(path, long6));
  uint32_t w = 0;
  uint32_t h = 0;
  uint32_t o = 0;
  uint8_t* px = nullptr;
  ASSERT_EQ(decode_image_path(path.c_str(), &w, &h, &o, &px), 1);
  EXPECT_EQ(o, 6u);
  EXPECT_EQ(w, 227u);
  free_pixels(px);
  px = nullptr;
  ASSERT_EQ(decode_image_path_rgb(path.c_str(), &w, &h, &px), 1);  // not reported, not applied
  EXPECT_EQ(w, 227u);
  EXPECT_EQ(0, std::memcmp(px, stored.rgb.data(), stored.rgb.size()));
  free_pixels(px);
}

TEST(ExpectedWrappers, FileToRgb) {
  VEXA_REQUIRE_TESTDATA("images/exif-orientation/Landscape_6.jpg");
  const std::string path = testdata("images/exif-orientation/Landscape_6.jpg");
  auto r = image_file_to_rgb(path.data(), path.size());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.width, 1800u);
  EXPECT_EQ(r.value.height, 1200u);
  EXPECT_EQ(r.value.orientation, 1u);  // the decoder already turned it
  // Word layout: width in the low half of word 1, height in the high half.
  uint64_t words[3];
  std::memcpy(words, &r.value, sizeof words);
  EXPECT_EQ(words[0], (uint64_t{1200} << 32) | 1800);
  EXPECT_EQ(words[1], 1u);
  release_pixels(&r.value);
  EXPECT_EQ(r.value.pixels, nullptr);

  // Only path_len bytes count: a longer string is cut.
  const std::string padded = path + "trailing";
  r = image_file_to_rgb(padded.data(), path.size());
  ASSERT_TRUE(r.ok());
  release_pixels(&r.value);

  const std::string with_nul = std::string("a\0b.jpg", 7);
  r = image_file_to_rgb(with_nul.data(), with_nul.size());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(expected_message_view(r.error), "image path contains NUL");
  expected_message_free(&r.error);

  for (const std::string& p : {std::string("/nonexistent/x.jpg"), std::string()}) {
    r = image_file_to_rgb(p.data(), p.size());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(expected_message_view(r.error), "failed to decode image");
    expected_message_free(&r.error);
  }
}

TEST(ExpectedWrappers, BytesToRgb) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto jpg = testorig_jpeg();
  auto r = image_bytes_to_rgb(jpg.data(), jpg.size());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.width, 227u);
  EXPECT_EQ(r.value.orientation, 1u);
  release_pixels(&r.value);
  const auto long6 = with_segments_after_soi(jpg, app1_exif(make_tiff(false, {{274, 4, 1, 6}})));
  r = image_bytes_to_rgb(long6.data(), long6.size());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.orientation, 6u);
  release_pixels(&r.value);
  const std::vector<uint8_t> junk(64, 3);
  for (const auto& [p, n] : {std::pair{junk.data(), junk.size()}, std::pair{(const uint8_t*)nullptr, size_t{8}}}) {
    r = image_bytes_to_rgb(p, n);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(expected_message_view(r.error), "failed to decode encoded image bytes");
    expected_message_free(&r.error);
  }
}

// No shared state: decodes on several threads give the same pixels.
TEST(DecodeConcurrency, ParallelDecodesAgree) {
  VEXA_REQUIRE_TESTDATA(kTestorigJpg);
  const auto jpg = testorig_jpeg();
  std::vector<uint8_t> png_bytes;
  ASSERT_TRUE(read_testdata("images/pngsuite/basn6a08.png", &png_bytes));
  const Decoded want_jpg = decode_bytes(jpg);
  const Decoded want_png = decode_bytes(png_bytes);
  std::vector<int> same(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      bool ok = true;
      for (int i = 0; i < 10; ++i) {
        ok = ok && decode_bytes(t % 2 ? jpg : png_bytes).rgb == (t % 2 ? want_jpg : want_png).rgb;
        ok = ok && decode_bytes({0xFF, 0xD8, 0xFF, 0xC0, 0, 0, 0, 0, 0}).ok == 0;
      }
      same[t] = ok;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_TRUE(same[t]) << t;
}

}  // namespace
}  // namespace vexa::test
