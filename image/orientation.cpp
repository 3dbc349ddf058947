// Turning an image stored with an EXIF orientation upright.
#include <cstdlib>
#include <cstring>

#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa {

using namespace image_detail;

namespace {

constexpr uint32_t kFirstSwappingOrientation = 5;  // 5..8 exchange width and height
// Source rows handled together by the transposing orientations, so that the destination is
// written in short contiguous runs instead of one pixel per cache line.
constexpr int64_t kTransposeBandRows = 16;

// Where source pixel (x, y) of a W x H image lands, as a pixel index into the destination:
// start(y) + x * step. Derived from the destination (column, row) of each orientation:
//   2 (W-1-x, y)  3 (W-1-x, H-1-y)  4 (x, H-1-y)  5 (y, x)  6 (H-1-y, x)  7 (H-1-y, W-1-x)
//   8 (y, W-1-x); the destination is W wide for 2..4 and H wide for 5..8.
struct PixelWalk {
  int64_t start_at_row0;
  int64_t start_per_row;
  int64_t step;
};

PixelWalk orientation_walk(uint32_t orientation, int64_t w, int64_t h) {
  switch (orientation) {
    case 2: return {w - 1, w, -1};
    case 3: return {w * (h - 1) + w - 1, -w, -1};
    case 4: return {w * (h - 1), -w, 1};
    case 5: return {0, 1, h};
    case 6: return {h - 1, -1, h};
    case 7: return {h * (w - 1) + h - 1, -1, -h};
    default: return {h * (w - 1), 1, -h};  // 8
  }
}

inline void copy_rgb(uint8_t* dst, const uint8_t* src) {
  dst[0] = src[0];
  dst[1] = src[1];
  dst[2] = src[2];
}

}  // namespace

int apply_exif_orientation(RgbImage* img, uint32_t orientation, char* msg) {
  if (img == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }
  if (orientation < kNoOrientation || orientation > kMaxOrientation) {
    copy_error_text(msg, kMsgInvalidRaw);
    return 0;
  }
  img->orientation = orientation;
  if (orientation == kNoOrientation) return 1;
  if (img->pixels == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }

  const uint64_t w = img->width;
  const uint64_t h = img->height;
  const bool swaps = orientation >= kFirstSwappingOrientation;
  const uint64_t out_w = swaps ? h : w;
  const uint64_t out_h = swaps ? w : h;
  if (!image_dims_valid(out_w, out_h)) {
    copy_error_text(msg, kMsgDimensions);
    return 0;
  }
  auto* rotated = static_cast<uint8_t*>(std::malloc(kRgbBytesPerPixel * out_w * out_h));
  if (rotated == nullptr) {
    copy_error_text(msg, kMsgAllocation);
    return 0;
  }

  const uint8_t* src = img->pixels;
  const auto sw = static_cast<int64_t>(w);
  const auto sh = static_cast<int64_t>(h);
  const PixelWalk walk = orientation_walk(orientation, sw, sh);
  const int64_t px = kRgbBytesPerPixel;
  if (!swaps) {
    // Each source row becomes one destination row, mirrored or not.
    for (int64_t y = 0; y < sh; ++y) {
      const uint8_t* s = src + px * sw * y;
      const int64_t first = walk.start_at_row0 + walk.start_per_row * y;
      if (walk.step == 1) {
        std::memcpy(rotated + px * first, s, static_cast<size_t>(px * sw));
      } else {
        for (int64_t x = 0; x < sw; ++x) copy_rgb(rotated + px * (first - x), s + px * x);
      }
    }
  } else {
    // Each source column becomes a destination row: walk a band of source rows column by
    // column, so every destination run is kTransposeBandRows pixels long.
    for (int64_t y0 = 0; y0 < sh; y0 += kTransposeBandRows) {
      const int64_t rows = sh - y0 < kTransposeBandRows ? sh - y0 : kTransposeBandRows;
      const int64_t band_start = walk.start_at_row0 + walk.start_per_row * y0;
      for (int64_t x = 0; x < sw; ++x) {
        const uint8_t* s = src + px * (sw * y0 + x);
        const int64_t run = band_start + walk.step * x;
        for (int64_t i = 0; i < rows; ++i) {
          copy_rgb(rotated + px * (run + walk.start_per_row * i), s + px * sw * i);
        }
      }
    }
  }

  std::free(img->pixels);
  img->pixels = rotated;
  img->width = static_cast<uint32_t>(out_w);
  img->height = static_cast<uint32_t>(out_h);
  img->reserved = 0;
  return 1;
}

}  // namespace vexa
