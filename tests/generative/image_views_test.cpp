// Image views: target sizes and tile grids worked out by hand from the rules (longest edge,
// even sides, tiles of 512 rounded up), the views' pixels against the resampler run on those
// sizes, the token text spelled out, crops, orientations, the context budget and every refusal.
#include "generative/image_views.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "image/decode.h"
#include "prepare_fixture.h"
#include "testdata.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::block_of;
using testing::error_of;
using testing::image_of;
using testing::pattern_rgb;
using testing::pixels_input;
using testing::resized;
using testing::tiny_processor;

const std::string kFake = "<fake_token_around_image>";
const std::string kGlobal = "<global-img>";

std::string image_run() {
  std::string s;
  for (int i = 0; i < 64; ++i) s += "<image>";
  return s;
}

std::string global_text() { return kFake + kGlobal + image_run() + kFake; }

// A request holding raw RGB pixels as image 0 (and the pixels themselves).
struct PixelRequest {
  std::vector<uint8_t> rgb;
  ProcessorOptions options;
  PixelRequest(uint32_t width, uint32_t height, uint32_t seed = 0, uint32_t orientation = 1)
      : rgb(pattern_rgb(width, height, seed)) {
    options.images.push_back(pixels_input(rgb, width, height, orientation));
  }
  ImageBuffer source() const {
    return image_of(options.images[0].width, options.images[0].height, rgb);
  }
};

const json kFirstImage = {{"type", "image"}, {"image_index", 0}};

ImageViewSet views_of(const ProcessorOptions& options, std::string* text,
                      const json& item = kFirstImage) {
  ImageViewSet set;
  std::string prompt;
  append_image_views(tiny_processor(), options, item, set, prompt);
  if (text != nullptr) *text = prompt;
  return set;
}

void expect_same_image(const ImageBuffer& got, const ImageBuffer& want, const std::string& what) {
  EXPECT_EQ(got.width, want.width) << what;
  EXPECT_EQ(got.height, want.height) << what;
  EXPECT_TRUE(got.pixels == want.pixels) << what << ": pixels differ";
}

TEST(ImageViews, SingleViewOfALandscapeImage) {
  // 1024 x 768: aspect 4/3, so 512 x trunc(512 / (4/3)) = 512 x 384, then 512 x 512.
  PixelRequest r(1024, 768);
  std::string text;
  const ImageViewSet set = views_of(r.options, &text);
  ASSERT_EQ(set.views.size(), 1u);
  EXPECT_EQ(set.view_count, 1u);
  EXPECT_EQ(set.rows, 0u);
  EXPECT_EQ(set.cols, 0u);
  expect_same_image(set.views[0], resized(resized(r.source(), 512, 384), 512, 512), "view");
  EXPECT_EQ(text, global_text());
}

TEST(ImageViews, OddSidesAreRaisedToEvenAndTallImagesKeepTheirWidthRule) {
  // 300 x 700 portrait: w = trunc((3/7) x 512) = 219, raised to 220; the height is the edge.
  PixelRequest r(300, 700, 1);
  const ImageViewSet set = views_of(r.options, nullptr);
  ASSERT_EQ(set.views.size(), 1u);
  expect_same_image(set.views[0], resized(resized(r.source(), 220, 512), 512, 512), "view");
}

TEST(ImageViews, VeryNarrowImageKeepsOnePixelNotZero) {
  // 4000 x 1: h = trunc(512 / 4000) = 0, which becomes 1.
  PixelRequest r(4000, 1, 2);
  const ImageViewSet set = views_of(r.options, nullptr);
  ASSERT_EQ(set.views.size(), 1u);
  expect_same_image(set.views[0], resized(resized(r.source(), 512, 1), 512, 512), "view");
}

TEST(ImageViews, TiledSquareImageGivesAGridAndAGlobalView) {
  // 1000 x 1000 with edge 1024: 1024 x 1024, a 2 x 2 grid of tiles and one global view.
  PixelRequest r(1000, 1000, 3);
  r.options.image_detail = "tiled";
  r.options.image_longest_edge = 1024;
  std::string text;
  const ImageViewSet set = views_of(r.options, &text);
  EXPECT_EQ(set.rows, 2u);
  EXPECT_EQ(set.cols, 2u);
  ASSERT_EQ(set.views.size(), 5u);
  const ImageBuffer grid = resized(r.source(), 1024, 1024);
  const ImageBuffer scaled = resized(grid, 1024, 1024);
  for (uint32_t t = 0; t < 4; ++t) {
    expect_same_image(set.views[t], block_of(scaled, 512 * (t % 2), 512 * (t / 2), 512, 512),
                      "tile " + std::to_string(t));
  }
  expect_same_image(set.views[4], resized(scaled, 512, 512), "global view");
  const std::string s = image_run();
  EXPECT_EQ(text, kFake + "<row_1_col_1>" + s + kFake + "<row_1_col_2>" + s + "\n" + kFake +
                      "<row_2_col_1>" + s + kFake + "<row_2_col_2>" + s + "\n\n" + global_text());
}

TEST(ImageViews, TiledPortraitGridRoundsBothSidesUpToTiles) {
  // 600 x 1000 with edge 1536: 922 x 1536 (921.6 truncated, raised to even); tiles: height
  // 1536, width trunc(0.6003 x 1536) = 922 rounded up to 1024: 3 rows of 2.
  PixelRequest r(600, 1000, 4);
  r.options.image_detail = "tiled";
  r.options.image_longest_edge = 1536;
  const ImageViewSet set = views_of(r.options, nullptr);
  EXPECT_EQ(set.rows, 3u);
  EXPECT_EQ(set.cols, 2u);
  ASSERT_EQ(set.views.size(), 7u);
  const ImageBuffer grid = resized(resized(r.source(), 922, 1536), 1024, 1536);
  expect_same_image(set.views[3], block_of(grid, 512, 512, 512, 512), "tile row 2 col 2");
  expect_same_image(set.views[6], resized(grid, 512, 512), "global view");
}

TEST(ImageViews, TiledImageThatFitsOneTileHasNoGrid) {
  // 300 x 200 with edge 512: 512 x 342; tiles 512 x 512, so the one view is that resize.
  PixelRequest r(300, 200, 5);
  r.options.image_detail = "tiled";
  std::string text;
  const ImageViewSet set = views_of(r.options, &text);
  ASSERT_EQ(set.views.size(), 1u);
  EXPECT_EQ(set.rows, 0u);
  EXPECT_EQ(set.cols, 0u);
  expect_same_image(set.views[0], resized(resized(r.source(), 512, 342), 512, 512), "view");
  EXPECT_EQ(text, global_text());
}

TEST(ImageViews, TheGridOfALaterSingleImageIsReset) {
  PixelRequest r(1000, 1000);
  r.options.image_detail = "tiled";
  r.options.image_longest_edge = 1024;
  ImageViewSet set;
  std::string prompt;
  append_image_views(tiny_processor(), r.options, kFirstImage, set, prompt);
  EXPECT_EQ(set.rows, 2u);
  r.options.image_longest_edge = 512;
  append_image_views(tiny_processor(), r.options, kFirstImage, set, prompt);
  EXPECT_EQ(set.rows, 0u);
  EXPECT_EQ(set.cols, 0u);
  EXPECT_EQ(set.view_count, 6u);
  EXPECT_EQ(set.orientations.size(), 2u);  // one per image, not per view
}

TEST(ImageViews, CropsSelectTruncatedPixelBounds) {
  // 800 x 600 cropped to [0.25, 0.5) x [0.75, 1): columns 200..599, rows 300..599.
  PixelRequest r(800, 600, 6);
  r.options.image_crop = {0.25, 0.5, 0.75, 1.0};
  const ImageViewSet set = views_of(r.options, nullptr);
  ASSERT_EQ(set.views.size(), 1u);
  const ImageBuffer crop = block_of(r.source(), 200, 300, 400, 300);
  expect_same_image(set.views[0], resized(resized(crop, 512, 384), 512, 512), "cropped view");

  PixelRequest whole(800, 600, 6);
  whole.options.image_crop = {0, 0, 1, 1};
  const ImageViewSet kept = views_of(whole.options, nullptr);
  expect_same_image(kept.views[0], resized(resized(whole.source(), 512, 384), 512, 512),
                    "whole-image crop");
}

TEST(ImageViews, CropRefusals) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::vector<double> crop;
    const char* message;
  } cases[] = {
      {{0, 0, 1}, "Crop coordinates"},
      {{0, 0, 1, 1, 1}, "Crop coordinates"},
      {{nan, 0, 1, 1}, "Crop coordinates"},
      {{0, 0, inf, 1}, "Crop coordinates"},
      {{-0.1, 0, 1, 1}, "Crop coordinates"},
      {{0.5, 0, 0.5, 1}, "Crop bounds"},
      {{0, -0.1, 1, 1}, "Crop bounds"},
      {{0, 0, 1.01, 1}, "Crop bounds"},
      {{0, 0.6, 1, 0.5}, "Crop bounds"},
      // 10 pixels wide: trunc(5.1) = trunc(5.9) = 5.
      {{0.51, 0, 0.59, 1}, "Crop smaller than one pixel"},
  };
  for (const auto& c : cases) {
    PixelRequest r(10, 10);
    r.options.image_crop = c.crop;
    EXPECT_EQ(error_of([&] { views_of(r.options, nullptr); }), c.message) << c.crop.size();
  }
}

TEST(ImageViews, OrientationIsAppliedAndRecordedPerImage) {
  // Raw pixels stored with EXIF orientation 6 are turned upright: 300 x 200 becomes 200 x 300.
  PixelRequest r(300, 200, 7, 6);
  const ImageViewSet set = views_of(r.options, nullptr);
  ASSERT_EQ(set.orientations, std::vector<uint32_t>{6});
  RgbImage upright{};
  char message[256] = {};
  ASSERT_EQ(import_image_pixels(r.rgb.data(), r.rgb.size(), 300, 200, 900, 1, 6, &upright, message), 1)
      << message;
  const ImageBuffer turned = image_of(
      200, 300, std::vector<uint8_t>(upright.pixels, upright.pixels + size_t{3} * 200 * 300));
  free_image(&upright);
  // Portrait now: w = trunc((2/3) x 512) = 341, raised to 342.
  expect_same_image(set.views[0], resized(resized(turned, 342, 512), 512, 512), "view");

  VEXA_REQUIRE_TESTDATA("images/exif-orientation/Landscape_3.jpg");
  ProcessorOptions file;
  const json item = {{"type", "image"},
                     {"path", std::string(VEXA_TESTDATA_DIR) +
                                  "/images/exif-orientation/Landscape_3.jpg"}};
  EXPECT_EQ(views_of(file, nullptr, item).orientations, std::vector<uint32_t>{3});
}

TEST(ImageViews, ContextBudgetCountsEveryViewSoFar) {
  // 100 new tokens in a context of 228: one view (64 tokens) fits, two (128) do not.
  PixelRequest r(64, 64);
  r.options.max_new_tokens = 100;
  r.options.context_length = 228;
  ImageViewSet set;
  std::string prompt;
  append_image_views(tiny_processor(), r.options, kFirstImage, set, prompt);
  EXPECT_EQ(error_of([&] { append_image_views(tiny_processor(), r.options, kFirstImage, set, prompt); }),
            "Images exceed context budget");
  r.options.context_length = 228 + 64;
  ImageViewSet fits;
  append_image_views(tiny_processor(), r.options, kFirstImage, fits, prompt);
  append_image_views(tiny_processor(), r.options, kFirstImage, fits, prompt);  // 228 < 292
  EXPECT_EQ(error_of([&] { append_image_views(tiny_processor(), r.options, kFirstImage, fits, prompt); }),
            "Images exceed context budget");
  // Counting only: no budget and no pixels kept, but the views are counted.
  r.options.count_only = true;
  r.options.context_length = 1;
  ImageViewSet counted;
  for (int i = 0; i < 3; ++i) append_image_views(tiny_processor(), r.options, kFirstImage, counted, prompt);
  EXPECT_EQ(counted.view_count, 3u);
  EXPECT_TRUE(counted.views.empty());
}

TEST(ImageViews, SourceRefusals) {
  PixelRequest r(8, 8);
  std::vector<uint8_t> garbage(64, 0x42);
  ImageInput encoded{};
  encoded.kind = kImageInputEncoded;
  encoded.data = garbage.data();
  encoded.length = garbage.size();
  r.options.images.push_back(encoded);
  ImageInput odd = encoded;
  odd.kind = 7;
  r.options.images.push_back(odd);
  ImageInput short_pixels = r.options.images[0];
  short_pixels.length = 10;
  r.options.images.push_back(short_pixels);

  auto error = [&](const json& item) { return error_of([&] { views_of(r.options, nullptr, item); }); };
  EXPECT_EQ(error({{"type", "image"}, {"image_index", 4}}), "Invalid image index");
  EXPECT_EQ(error({{"type", "image"}, {"image_index", 2}}), "Invalid image kind");
  EXPECT_NE(error({{"type", "image"}}).find("'image_index' not found"), std::string::npos);
  EXPECT_NE(error({{"type", "image"}, {"path", 5}}).find("type must be string"), std::string::npos);
  // Decoder and importer refusals are ImageErrors carrying their message.
  for (const json& item : {json{{"type", "image"}, {"image_index", 1}},
                           json{{"type", "image"}, {"image_index", 3}},
                           json{{"type", "image"}, {"path", "/nonexistent/picture.jpg"}},
                           json{{"type", "image"}, {"path", std::string("/etc/hostname\0x", 15)}}}) {
    try {
      views_of(r.options, nullptr, item);
      ADD_FAILURE() << "accepted " << item.dump();
    } catch (const ImageError& e) {
      EXPECT_NE(std::string(e.what()), "") << item.dump();
    }
  }
  EXPECT_NE(error({{"type", "image"}, {"image_index", 1}}).find("JPEG"), std::string::npos);
  EXPECT_EQ(error({{"type", "image"}, {"path", "/nonexistent/picture.jpg"}}), "Cannot read image");
  // A path with a NUL must not open the shorter name before it.
  EXPECT_EQ(error({{"type", "image"}, {"path", std::string("/etc/hostname\0x", 15)}}),
            "Cannot read image");
}

TEST(ImageViews, SidesBeyondTheResizeLimitAreRefused) {
  // Preparation never lets an edge above 2048 through; the stage still refuses one.
  PixelRequest r(100, 100);
  r.options.image_longest_edge = 4096;
  EXPECT_EQ(error_of([&] { views_of(r.options, nullptr); }), "Resize dimensions");
}

}  // namespace
}  // namespace vexa
