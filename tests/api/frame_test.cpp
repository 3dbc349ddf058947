#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/api_alloc.h"
#include "api/frame.h"
#include "api_test_util.h"

using namespace vexa_test;

namespace {

struct Rgba {
  uint8_t r, g, b, a;
};

// A logical image, row-major, independent of any byte layout.
struct Picture {
  uint32_t w, h;
  std::vector<Rgba> px;
  Rgba at(uint32_t r, uint32_t c) const { return px[r * w + c]; }
};

Picture make_picture(uint32_t w, uint32_t h) {
  Picture p{w, h, {}};
  for (uint32_t r = 0; r < h; ++r) {
    for (uint32_t c = 0; c < w; ++c) {
      p.px.push_back({static_cast<uint8_t>(10 + 16 * r + c), static_cast<uint8_t>(100 + r),
                      static_cast<uint8_t>(200 + c), static_cast<uint8_t>(7 * r + 3 * c)});
    }
  }
  return p;
}

// Geometric primitives; every orientation is a composition of them.
Picture transpose(const Picture& p) {
  Picture out{p.h, p.w, std::vector<Rgba>(p.px.size())};
  for (uint32_t r = 0; r < out.h; ++r)
    for (uint32_t c = 0; c < out.w; ++c) out.px[r * out.w + c] = p.at(c, r);
  return out;
}
Picture flip_h(const Picture& p) {
  Picture out = p;
  for (uint32_t r = 0; r < p.h; ++r)
    for (uint32_t c = 0; c < p.w; ++c) out.px[r * p.w + c] = p.at(r, p.w - 1 - c);
  return out;
}
Picture flip_v(const Picture& p) {
  Picture out = p;
  for (uint32_t r = 0; r < p.h; ++r)
    for (uint32_t c = 0; c < p.w; ++c) out.px[r * p.w + c] = p.at(p.h - 1 - r, c);
  return out;
}

Picture upright(const Picture& p, uint32_t orientation) {
  switch (orientation) {
    case 2: return flip_h(p);
    case 3: return flip_v(flip_h(p));
    case 4: return flip_v(p);
    case 5: return transpose(p);
    case 6: return flip_h(transpose(p));   // 90 degrees clockwise
    case 7: return flip_v(flip_h(transpose(p)));
    case 8: return flip_v(transpose(p));   // 90 degrees counter-clockwise
    default: return p;
  }
}

// Encodes the picture in a pixel format with `pad` spare bytes at the end of each row.
std::vector<uint8_t> encode(const Picture& p, uint32_t format, uint32_t pad, uint64_t* stride) {
  const uint32_t bpp = (format == 5) ? 1 : (format <= 2 ? 3 : 4);
  *stride = uint64_t{p.w} * bpp + pad;
  std::vector<uint8_t> bytes(*stride * p.h, 0xEE);
  for (uint32_t r = 0; r < p.h; ++r) {
    for (uint32_t c = 0; c < p.w; ++c) {
      const Rgba v = p.at(r, c);
      uint8_t* d = bytes.data() + r * *stride + c * bpp;
      switch (format) {
        case 1: d[0] = v.r; d[1] = v.g; d[2] = v.b; break;
        case 2: d[0] = v.b; d[1] = v.g; d[2] = v.r; break;
        case 3: d[0] = v.r; d[1] = v.g; d[2] = v.b; d[3] = v.a; break;
        case 4: d[0] = v.b; d[1] = v.g; d[2] = v.r; d[3] = v.a; break;
        case 5: d[0] = v.r; break;
      }
    }
  }
  return bytes;
}

// What a packed RGB8 frame should hold for the picture read in `format`.
std::vector<uint8_t> expected_rgb(const Picture& p, uint32_t format) {
  std::vector<uint8_t> out;
  for (const Rgba& v : p.px) {
    if (format == 5) {
      out.insert(out.end(), {v.r, v.r, v.r});
    } else {
      out.insert(out.end(), {v.r, v.g, v.b});
    }
  }
  return out;
}

std::vector<uint8_t> frame_bytes(const vexa_frame* f) {
  const uint64_t stride = vexa_frame_stride(f);
  const uint32_t h = vexa_frame_height(f);
  const uint64_t row = uint64_t{vexa_frame_width(f)} * 3;
  std::vector<uint8_t> out;
  for (uint32_t r = 0; r < h; ++r) {
    const uint8_t* p = vexa_frame_data_ptr(f) + r * stride;
    out.insert(out.end(), p, p + row);
  }
  return out;
}

}  // namespace

TEST(Frame, EveryOrientationAndFormatMapsPixels) {
  const Picture source = make_picture(5, 3);
  for (uint32_t format = 1; format <= 5; ++format) {
    for (uint32_t orientation = 2; orientation <= 8; ++orientation) {
      SCOPED_TRACE("format " + std::to_string(format) + " orientation " +
                   std::to_string(orientation));
      uint64_t stride = 0;
      const std::vector<uint8_t> bytes = encode(source, format, 3, &stride);
      FramePtr f = new_frame();
      ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), bytes.data(), bytes.size(), source.w, source.h,
                                         stride, format, orientation, 0));
      const Picture want = upright(source, orientation);
      EXPECT_EQ(want.w, vexa_frame_width(f.get()));
      EXPECT_EQ(want.h, vexa_frame_height(f.get()));
      EXPECT_EQ(1u, vexa_frame_format(f.get()));
      EXPECT_EQ(uint64_t{want.w} * 3, vexa_frame_stride(f.get()));
      EXPECT_EQ(expected_rgb(want, format), frame_bytes(f.get()));
      // Rotation always copies, whatever the copy flag said.
      EXPECT_NE(nullptr, rec(f.get())->pixel_buffer);
    }
  }
}

TEST(Frame, UprightBorrowAndCopyKeepFormat) {
  const Picture source = make_picture(4, 2);
  for (uint32_t format = 1; format <= 5; ++format) {
    for (uint32_t orientation : {0u, 1u}) {
      uint64_t stride = 0;
      const std::vector<uint8_t> bytes = encode(source, format, 5, &stride);
      FramePtr borrowed = new_frame();
      ASSERT_EQ(1, vexa_frame_set_pixels(borrowed.get(), bytes.data(), bytes.size(), 4, 2, stride,
                                         format, orientation, 0));
      EXPECT_EQ(bytes.data(), vexa_frame_data_ptr(borrowed.get()));
      EXPECT_EQ(stride, vexa_frame_stride(borrowed.get()));
      EXPECT_EQ(format, vexa_frame_format(borrowed.get()));
      EXPECT_EQ(nullptr, rec(borrowed.get())->pixel_buffer);

      FramePtr copied = new_frame();
      ASSERT_EQ(1, vexa_frame_set_pixels(copied.get(), bytes.data(), bytes.size(), 4, 2, stride,
                                         format, orientation, 7));
      const uint64_t row = stride - 5;
      EXPECT_NE(bytes.data(), vexa_frame_data_ptr(copied.get()));
      EXPECT_EQ(row, vexa_frame_stride(copied.get()));
      EXPECT_EQ(format, vexa_frame_format(copied.get()));
      for (uint32_t r = 0; r < 2; ++r) {
        EXPECT_EQ(0, std::memcmp(vexa_frame_data_ptr(copied.get()) + r * row,
                                 bytes.data() + r * stride, row));
      }
    }
  }
}

TEST(Frame, RotationOfBgraExample) {
  // 4 x 2 BGRA8 with orientation 6 becomes 2 x 4 RGB8 whose first row is the first column
  // read bottom to top.
  const Picture source = make_picture(4, 2);
  uint64_t stride = 0;
  const std::vector<uint8_t> bytes = encode(source, 4, 0, &stride);
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), bytes.data(), bytes.size(), 4, 2, 0, 4, 6, 1));
  EXPECT_EQ(2u, vexa_frame_width(f.get()));
  EXPECT_EQ(4u, vexa_frame_height(f.get()));
  const uint8_t* d = vexa_frame_data_ptr(f.get());
  EXPECT_EQ(source.at(1, 0).r, d[0]);
  EXPECT_EQ(source.at(1, 0).b, d[2]);
  EXPECT_EQ(source.at(0, 0).r, d[3]);
}

TEST(Frame, ValidationMessagesAndLimits) {
  std::vector<uint8_t> big(1920 * 480);
  struct Case {
    const uint8_t* pixels;
    uint64_t len;
    uint32_t w, h;
    uint64_t stride;
    uint32_t format, orientation;
    int32_t ok;
    const char* message;
  };
  const char* kDims = "Invalid pixel pointer, dimensions, or format";
  const char* kStride = "Row stride is smaller than width * bytes_per_pixel";
  const char* kLen = "Pixel buffer length is smaller than required stride * height";
  const Case cases[] = {
      {big.data(), big.size(), 640, 480, 0, 2, 1, 1, ""},
      {big.data(), big.size() - 1, 640, 480, 0, 2, 1, 0, kLen},
      {nullptr, 10, 1, 1, 0, 1, 1, 0, kDims},
      {big.data(), big.size(), 0, 1, 0, 1, 1, 0, kDims},
      {big.data(), big.size(), 1, 0, 0, 1, 1, 0, kDims},
      {big.data(), big.size(), 16385, 1, 0, 5, 1, 0, kDims},
      {big.data(), big.size(), 16384, 1, 0, 5, 1, 1, ""},
      {big.data(), big.size(), 1, 1, 0, 6, 1, 0, kDims},
      {big.data(), big.size(), 1, 1, 0, 0, 1, 0, kDims},
      {big.data(), big.size(), 10, 2, 29, 1, 1, 0, kStride},
      // The last row needs only its own bytes.
      {big.data(), 100 + 30, 10, 2, 100, 1, 1, 1, ""},
      {big.data(), 100 + 29, 10, 2, 100, 1, 1, 0, kLen},
      // stride x (height - 1) wraps 64 bits: refused, never read.
      {big.data(), big.size(), 10, 3, UINT64_MAX / 2 + 1, 1, 1, 0, kLen},
      {big.data(), big.size(), 10, 2, UINT64_MAX - 10, 1, 1, 0, kLen},
      {big.data(), big.size(), 2, 2, 0, 1, 9, 0, "EXIF orientation must be in 1..8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.message) + " w=" + std::to_string(c.w));
    FramePtr f = new_frame();
    EXPECT_EQ(c.ok, vexa_frame_set_pixels(f.get(), c.pixels, c.len, c.w, c.h, c.stride, c.format,
                                          c.orientation, 0));
    EXPECT_EQ(c.ok ? 0u : 1u, vexa_frame_error_code(f.get()));
    EXPECT_EQ(c.message, frame_message(f.get()));
  }
}

TEST(Frame, StrideZeroMeansPackedRows) {
  std::vector<uint8_t> bgr(1920 * 480);
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), bgr.data(), bgr.size(), 640, 480, 0, 2, 1, 0));
  EXPECT_EQ(1920u, vexa_frame_stride(f.get()));
}

TEST(Frame, FailureKeepsPreviousPixelsAndSuccessClearsError) {
  const uint8_t px[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), px, 12, 2, 2, 0, 1, 1, 1));
  const uint8_t* before = vexa_frame_data_ptr(f.get());
  EXPECT_EQ(0, vexa_frame_set_pixels(f.get(), px, 12, 2, 2, 0, 1, 9, 1));
  EXPECT_EQ(before, vexa_frame_data_ptr(f.get()));
  EXPECT_EQ(2u, vexa_frame_width(f.get()));
  EXPECT_EQ(1u, vexa_frame_error_code(f.get()));
  ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), px, 12, 2, 2, 0, 1, 1, 0));
  EXPECT_EQ(0u, vexa_frame_error_code(f.get()));
  EXPECT_EQ(0u, vexa_frame_error_message_len(f.get()));
  EXPECT_STREQ("", vexa_frame_error_message_ptr(f.get()));
}

TEST(Frame, CropsShareTheBufferAndOutliveTheParent) {
  const Picture source = make_picture(100, 20);
  uint64_t stride = 0;
  std::vector<uint8_t> bytes = encode(source, 1, 0, &stride);
  vexa_frame* parent = vexa_frame_new();
  ASSERT_EQ(1, vexa_frame_set_pixels(parent, bytes.data(), bytes.size(), 100, 20, 0, 1, 1, 1));
  FramePtr crop = new_frame();
  ASSERT_EQ(1, vexa_frame_crop_into(parent, crop.get(), -10, 5, 20, 4));
  EXPECT_EQ(10u, vexa_frame_width(crop.get()));
  EXPECT_EQ(4u, vexa_frame_height(crop.get()));
  EXPECT_EQ(300u, vexa_frame_stride(crop.get()));
  EXPECT_EQ(vexa_frame_data_ptr(parent) + 5 * 300, vexa_frame_data_ptr(crop.get()));
  vexa::FramePixelBuffer* buffer = rec(parent)->pixel_buffer;
  EXPECT_EQ(buffer, rec(crop.get())->pixel_buffer);
  EXPECT_EQ(2u, buffer->refcount.load());
  std::fill(bytes.begin(), bytes.end(), 0);  // the frame owns a copy
  vexa_frame_free(parent);
  EXPECT_EQ(1u, buffer->refcount.load());
  // Still readable after the parent is gone (ASan would flag a freed buffer).
  const uint8_t* d = vexa_frame_data_ptr(crop.get());
  EXPECT_EQ(source.at(5, 0).r, d[0]);
  EXPECT_EQ(source.at(8, 9).b, d[3 * 300 + 9 * 3 + 2]);
}

TEST(Frame, CropClampingAndErrors) {
  std::vector<uint8_t> gray(100 * 50);
  FramePtr src = new_frame();
  ASSERT_EQ(1, vexa_frame_set_pixels(src.get(), gray.data(), gray.size(), 100, 50, 0, 5, 1, 0));
  struct Case {
    int32_t x, y, w, h;
    int32_t ok;
    uint32_t want_w, want_h;
  };
  const Case cases[] = {
      {-10, 0, 20, 5, 1, 10, 5},
      {90, 45, 50, 50, 1, 10, 5},
      {100, 0, 5, 5, 0, 0, 0},
      {0, 0, 0, 5, 0, 0, 0},
      {5, 5, -3, 5, 0, 0, 0},
      // Sums that overflow 32 bits must not wrap into a valid rectangle.
      {INT32_MAX, 0, INT32_MAX, 5, 0, 0, 0},
      {10, 10, INT32_MAX, INT32_MAX, 1, 90, 40},
      {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    FramePtr dst = new_frame();
    EXPECT_EQ(c.ok, vexa_frame_crop_into(src.get(), dst.get(), c.x, c.y, c.w, c.h));
    if (c.ok) {
      EXPECT_EQ(c.want_w, vexa_frame_width(dst.get()));
      EXPECT_EQ(c.want_h, vexa_frame_height(dst.get()));
      // A crop of a borrowing frame borrows the same memory.
      EXPECT_EQ(nullptr, rec(dst.get())->pixel_buffer);
    } else {
      EXPECT_EQ("Crop rectangle has zero or negative area after clamping",
                frame_message(dst.get()));
    }
  }
  FramePtr empty = new_frame();
  FramePtr dst = new_frame();
  EXPECT_EQ(0, vexa_frame_crop_into(empty.get(), dst.get(), 0, 0, 1, 1));
  EXPECT_EQ("Source frame is empty or null", frame_message(dst.get()));
  rec(src.get())->format = 9;
  EXPECT_EQ(0, vexa_frame_crop_into(src.get(), dst.get(), 0, 0, 1, 1));
  EXPECT_EQ("Source frame has invalid pixel format", frame_message(dst.get()));
}

TEST(Frame, CropIntoItselfKeepsBufferAlive) {
  const uint8_t px[27] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                          14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26};
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), px, 27, 3, 3, 0, 1, 1, 1));
  ASSERT_EQ(1, vexa_frame_crop_into(f.get(), f.get(), 1, 1, 2, 2));
  EXPECT_EQ(1u, rec(f.get())->pixel_buffer->refcount.load());
  EXPECT_EQ(12, vexa_frame_data_ptr(f.get())[0]);
}

TEST(Frame, OutOfMemoryPathsReportCodeSevenAndKeepPixels) {
  const uint8_t px[48] = {};
  struct Case {
    uint32_t orientation;
    int64_t nth;
    const char* message;
  };
  const Case cases[] = {
      {6, 1, "Out of memory rotating pixel buffer"},
      {6, 2, "Out of memory allocating FramePixelBuffer"},
      {1, 1, "Out of memory copying Frame pixels"},
      {1, 2, "Out of memory allocating FramePixelBuffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FramePtr f = new_frame();
    ASSERT_EQ(1, vexa_frame_set_pixels(f.get(), px, 48, 4, 4, 0, 1, 1, 0));
    vexa::api_test_fail_allocation(c.nth);
    EXPECT_EQ(0, vexa_frame_set_pixels(f.get(), px, 48, 4, 4, 0, 1, c.orientation, 1));
    vexa::api_test_fail_allocation(0);
    EXPECT_EQ(7u, vexa_frame_error_code(f.get()));
    EXPECT_EQ(c.message, frame_message(f.get()));
    EXPECT_EQ(px, vexa_frame_data_ptr(f.get()));
  }
}

namespace {
std::vector<uint8_t> ppm(uint32_t w, uint32_t h, const std::vector<uint8_t>& rgb) {
  const std::string header = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  std::vector<uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), rgb.begin(), rgb.end());
  return out;
}
}  // namespace

TEST(Frame, LoadEncodedAndFile) {
  const std::vector<uint8_t> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  const std::vector<uint8_t> bytes = ppm(3, 2, rgb);
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_frame_load_encoded(f.get(), bytes.data(), bytes.size()))
      << frame_message(f.get());
  EXPECT_EQ(3u, vexa_frame_width(f.get()));
  EXPECT_EQ(2u, vexa_frame_height(f.get()));
  EXPECT_EQ(1u, vexa_frame_format(f.get()));
  EXPECT_EQ(rgb, frame_bytes(f.get()));

  const std::string path = ::testing::TempDir() + "/vexa_frame_test.ppm";
  {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  FramePtr g = new_frame();
  ASSERT_EQ(1, vexa_frame_load_file(g.get(), path.data(), path.size())) << frame_message(g.get());
  EXPECT_EQ(rgb, frame_bytes(g.get()));
  std::remove(path.c_str());
}

TEST(Frame, LoadFailures) {
  FramePtr f = new_frame();
  EXPECT_EQ(0, vexa_frame_load_file(f.get(), nullptr, 5));
  EXPECT_EQ("Empty image file path", frame_message(f.get()));
  EXPECT_EQ(0, vexa_frame_load_file(f.get(), "x", 0));
  EXPECT_EQ(1u, vexa_frame_error_code(f.get()));

  const uint8_t seven[7] = {'P', '6', ' ', '1', ' ', '1', ' '};
  EXPECT_EQ(0, vexa_frame_load_encoded(f.get(), seven, 7));
  EXPECT_EQ("Invalid encoded image buffer or length", frame_message(f.get()));
  EXPECT_EQ(0, vexa_frame_load_encoded(f.get(), nullptr, 100));
  EXPECT_EQ(1u, vexa_frame_error_code(f.get()));

  // Garbage and truncated images are decoder failures: code 4 with the decoder's text.
  const std::vector<std::vector<uint8_t>> bad = {
      std::vector<uint8_t>(64, 0xAB),
      {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1},
      {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'},
      ppm(4, 4, std::vector<uint8_t>(5, 1)),
  };
  for (const auto& bytes : bad) {
    EXPECT_EQ(0, vexa_frame_load_encoded(f.get(), bytes.data(), bytes.size()));
    EXPECT_EQ(4u, vexa_frame_error_code(f.get()));
    EXPECT_GT(vexa_frame_error_message_len(f.get()), 0u);
  }
  const std::string missing = "/nonexistent/dir/image.png";
  EXPECT_EQ(0, vexa_frame_load_file(f.get(), missing.data(), missing.size()));
  EXPECT_EQ(4u, vexa_frame_error_code(f.get()));
  const char with_nul[] = {'a', '\0', 'b'};
  EXPECT_EQ(0, vexa_frame_load_file(f.get(), with_nul, 3));
  EXPECT_EQ(4u, vexa_frame_error_code(f.get()));
  EXPECT_EQ(nullptr, vexa_frame_data_ptr(f.get()));
}

namespace {
vexa::Expected<vexa::DecodedImage> decoded(uint32_t w, uint32_t h, uint32_t orientation) {
  auto* px = static_cast<uint8_t*>(std::malloc(size_t{w} * h * 3));
  for (size_t i = 0; i < size_t{w} * h * 3; ++i) px[i] = static_cast<uint8_t>(i * 7);
  return vexa::expected_ok(vexa::DecodedImage{w, h, orientation, px});
}
}  // namespace

TEST(Frame, DecodedImagesStillToBeTurned) {
  // 3 x 2 pixels with orientation 6 come out 2 x 3, first row = first column bottom to top.
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa::frame_load_decoded(rec(f.get()), decoded(3, 2, 6)));
  EXPECT_EQ(2u, vexa_frame_width(f.get()));
  EXPECT_EQ(3u, vexa_frame_height(f.get()));
  const uint8_t* d = vexa_frame_data_ptr(f.get());
  EXPECT_EQ(static_cast<uint8_t>(9 * 7), d[0]);  // source row 1, column 0
  EXPECT_EQ(0, d[3]);                            // source row 0, column 0

  // Upright images of any decodable size are adopted; one that must still turn passes the
  // raw-pixel limits first (ASan checks the refused pixels are freed).
  ASSERT_EQ(1, vexa::frame_load_decoded(rec(f.get()), decoded(20000, 1, 1)));
  EXPECT_EQ(20000u, vexa_frame_width(f.get()));
  EXPECT_EQ(0, vexa::frame_load_decoded(rec(f.get()), decoded(20000, 1, 8)));
  EXPECT_EQ("Invalid pixel pointer, dimensions, or format", frame_message(f.get()));
  EXPECT_EQ(20000u, vexa_frame_width(f.get()));

  const std::string long_text(400, 'e');
  EXPECT_EQ(0, vexa::frame_load_decoded(rec(f.get()),
                                        vexa::expected_error<vexa::DecodedImage>(long_text)));
  EXPECT_EQ(4u, vexa_frame_error_code(f.get()));
  EXPECT_EQ(255u, vexa_frame_error_message_len(f.get()));
  EXPECT_EQ(long_text.substr(0, 255), frame_message(f.get()));

  // The buffer record cannot be allocated: the decoded pixels are freed, the frame keeps its own.
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(0, vexa::frame_load_decoded(rec(f.get()), decoded(4, 4, 1)));
  vexa::api_test_fail_allocation(0);
  EXPECT_EQ("Out of memory allocating FramePixelBuffer", frame_message(f.get()));
  EXPECT_EQ(20000u, vexa_frame_width(f.get()));
}

TEST(Frame, CropsReleasedOnManyThreads) {
  std::vector<uint8_t> px(64 * 64 * 3, 1);
  for (int round = 0; round < 20; ++round) {
    vexa_frame* parent = vexa_frame_new();
    ASSERT_EQ(1, vexa_frame_set_pixels(parent, px.data(), px.size(), 64, 64, 0, 1, 1, 1));
    std::vector<vexa_frame*> crops;
    for (int i = 0; i < 8; ++i) {
      crops.push_back(vexa_frame_new());
      ASSERT_EQ(1, vexa_frame_crop_into(parent, crops.back(), i, i, 8, 8));
    }
    std::vector<std::thread> threads;
    for (vexa_frame* c : crops) threads.emplace_back([c] { vexa_frame_free(c); });
    vexa_frame_free(parent);
    for (std::thread& t : threads) t.join();
  }
}

TEST(Handles, ConstructorsReturnNullWhenAllocationFails) {
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(nullptr, vexa_frame_new());
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(nullptr, vexa_input_new());
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(nullptr, vexa_output_new());
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(nullptr, vexa_config_new());
  vexa::api_test_fail_allocation(0);
}
