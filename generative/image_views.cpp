#include "generative/image_views.h"

#include <cmath>
#include <cstring>

#include "core/types.h"
#include "generative/chat_template.h"
#include "image/decode.h"

namespace vexa {

using nlohmann::json;

namespace {

// Frees the decoder's pixels on every path.
struct DecodedRgb {
  RgbImage image{};
  ~DecodedRgb() { free_image(&image); }
};

void check_dimensions(uint64_t width, uint64_t height) {
  require(image_dims_valid(width, height), "Image dimensions");
}

void decode_item(const ProcessorOptions& options, const json& item, RgbImage* out) {
  char message[kImageMessageCapacity] = {};
  int ok = 0;
  if (const auto path = item.find("path"); path != item.end()) {
    const std::string p = path->get<std::string>();
    // A C path ends at its first NUL; reading a shorter name would open another file.
    if (p.find('\0') != std::string::npos) throw ImageError("Cannot read image");
    ok = load_image_file(p.c_str(), out, message);
  } else {
    const uint64_t index = item.at("image_index").get<uint64_t>();
    require(index < options.images.size(), "Invalid image index");
    const ImageInput& in = options.images[static_cast<size_t>(index)];
    if (in.kind == kImageInputEncoded) {
      ok = decode_image_bytes(in.data, in.length, out, message);
    } else if (in.kind == kImageInputPixels) {
      ok = import_image_pixels(in.data, in.length, in.width, in.height, in.stride, in.layout,
                               in.orientation, out, message);
    } else {
      throw std::runtime_error("Invalid image kind");
    }
  }
  if (ok == 0) throw ImageError(message);
}

ImageBuffer crop_image(const ImageBuffer& image, const std::vector<double>& crop) {
  require(crop.size() == 4 && std::isfinite(crop[0]) && std::isfinite(crop[1]) &&
              std::isfinite(crop[2]) && std::isfinite(crop[3]) && crop[0] >= 0.0,
          "Crop coordinates");
  const double x0 = crop[0], y0 = crop[1], x1 = crop[2], y1 = crop[3];
  require(x0 < x1 && x1 <= 1.0 && y0 >= 0.0 && y0 < y1 && y1 <= 1.0, "Crop bounds");
  const double left = std::trunc(x0 * image.width);
  const double right = std::trunc(x1 * image.width);
  const double top = std::trunc(y0 * image.height);
  const double bottom = std::trunc(y1 * image.height);
  require(right > left && bottom > top, "Crop smaller than one pixel");
  require(right <= image.width && bottom <= image.height, "Image crop bounds");
  const auto l = static_cast<uint32_t>(left), t = static_cast<uint32_t>(top);
  ImageBuffer out;
  out.width = static_cast<uint32_t>(right) - l;
  out.height = static_cast<uint32_t>(bottom) - t;
  out.orientation = image.orientation;
  check_dimensions(out.width, out.height);
  const size_t row = size_t{3} * out.width;
  out.pixels.resize(row * out.height);
  for (uint32_t y = 0; y < out.height; ++y) {
    std::memcpy(out.pixels.data() + row * y,
                image.pixels.data() + (size_t{3} * image.width * (t + y) + size_t{3} * l), row);
  }
  return out;
}

// An odd size is raised to the next even one, and nothing is narrower than one pixel.
uint64_t even_size(double exact) {
  auto v = static_cast<uint64_t>(exact);
  if (v % 2 == 1) ++v;
  return v == 0 ? 1 : v;
}

uint64_t round_up_to_view(uint64_t v) {
  const uint64_t up = (v + kViewSide - 1) / kViewSide * kViewSide;
  return up < kViewSide ? kViewSide : up;
}

void require_resize_side(uint64_t side) {
  require(side >= 1 && side <= kMaxResizeSide, "Resize dimensions");
}

// Separable: the width first, then the height.
ImageBuffer resize_to(const ImageBuffer& image, uint32_t width, uint32_t height) {
  return resize_lanczos3(resize_lanczos3(image, width, true), height, false);
}

ImageBuffer resize_longest_edge(const ImageBuffer& image, uint32_t edge) {
  // Sizes are computed in f64 and truncated; the aspect ratio is at most 32768, so the
  // products stay far inside u64.
  const double aspect = static_cast<double>(image.width) / image.height;
  const uint64_t w = even_size(aspect * edge);
  const uint64_t h = even_size(edge / aspect);
  const uint64_t width = image.height <= image.width ? edge : w;
  const uint64_t height = image.height <= image.width ? h : edge;
  require_resize_side(width);
  require_resize_side(height);
  return resize_to(image, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
}

ImageBuffer tile_of(const ImageBuffer& image, uint32_t row, uint32_t col) {
  ImageBuffer tile;
  tile.width = kViewSide;
  tile.height = kViewSide;
  const size_t line = size_t{3} * kViewSide;
  tile.pixels.resize(line * kViewSide);
  for (uint32_t y = 0; y < kViewSide; ++y) {
    const size_t source_row = size_t{row} * kViewSide + y;
    std::memcpy(tile.pixels.data() + line * y,
                image.pixels.data() + size_t{3} * (source_row * image.width + size_t{col} * kViewSide),
                line);
  }
  return tile;
}

// Appends the views of a tiled image; returns the grid (0 x 0 when one view covers it).
void tile_views(const ImageBuffer& resized, std::vector<ImageBuffer>& views, uint32_t* rows,
                uint32_t* cols) {
  const double aspect = static_cast<double>(resized.width) / resized.height;
  uint64_t tw = 0, th = 0;
  if (resized.height <= resized.width) {
    tw = round_up_to_view(resized.width);
    th = round_up_to_view(static_cast<uint64_t>(std::trunc(tw / aspect)));
  } else {
    th = round_up_to_view(resized.height);
    tw = round_up_to_view(static_cast<uint64_t>(std::trunc(aspect * th)));
  }
  require_resize_side(tw);
  require_resize_side(th);
  ImageBuffer grid = resize_to(resized, static_cast<uint32_t>(tw), static_cast<uint32_t>(th));
  if (tw == kViewSide && th == kViewSide) {
    views.push_back(std::move(grid));
    return;
  }
  *rows = static_cast<uint32_t>(th / kViewSide);
  *cols = static_cast<uint32_t>(tw / kViewSide);
  for (uint32_t r = 0; r < *rows; ++r) {
    for (uint32_t c = 0; c < *cols; ++c) views.push_back(tile_of(grid, r, c));
  }
  views.push_back(resize_to(grid, kViewSide, kViewSide));
}

}  // namespace

void append_image_views(const Processor& processor, const ProcessorOptions& options,
                        const json& item, ImageViewSet& set, std::string& prompt) {
  DecodedRgb decoded;
  decode_item(options, item, &decoded.image);

  set.rows = 0;
  set.cols = 0;
  check_dimensions(decoded.image.width, decoded.image.height);
  ImageBuffer image;
  image.width = decoded.image.width;
  image.height = decoded.image.height;
  image.orientation = decoded.image.orientation;
  const size_t bytes = size_t{3} * image.width * image.height;
  image.pixels.assign(decoded.image.pixels, decoded.image.pixels + bytes);
  free_image(&decoded.image);
  set.orientations.push_back(image.orientation);

  if (!options.image_crop.empty()) image = crop_image(image, options.image_crop);
  const ImageBuffer resized = resize_longest_edge(image, options.image_longest_edge);

  std::vector<ImageBuffer> views;
  if (options.image_detail == "tiled") {
    tile_views(resized, views, &set.rows, &set.cols);
  } else {
    views.push_back(resize_to(resized, kViewSide, kViewSide));
  }
  prompt += image_token_text(processor, set.rows, set.cols);

  set.view_count += views.size();
  if (!options.count_only) {
    // Each view costs image_seq_len prompt tokens; the answer must still fit after them.
    const uint64_t image_tokens = set.view_count * processor.image_seq_len;
    require(options.max_new_tokens < options.context_length &&
                image_tokens < options.context_length - options.max_new_tokens,
            "Images exceed context budget");
    for (ImageBuffer& v : views) set.views.push_back(std::move(v));
  }
}

}  // namespace vexa
