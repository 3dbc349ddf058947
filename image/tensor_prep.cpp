#include "image/tensor_prep.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/bytes.h"
#include "core/checked_math.h"
#include "image/bilinear.h"

namespace vexa {
namespace {

constexpr char kPathHasNul[] = "image path contains NUL";
constexpr char kDecodeFailed[] = "failed to decode image";
constexpr char kBadLetterboxSize[] = "invalid letterbox size";
constexpr char kLetterboxNoMemory[] = "out of memory allocating letterbox CHW tensor";
constexpr char kSamNoMemory[] = "out of memory allocating SAM 1024 tensor";
constexpr char kBadFloatTensor[] = "invalid float tensor dimensions, strides, length or alignment";
constexpr char kNeedsPackedChw[] =
    "inference requires packed CHW storage; use copy_tensor for strided or HWC input";
constexpr char kCopyNoMemory[] = "out of memory copying CHW tensor";

constexpr uint32_t kRgbBytes = 3;
constexpr float kUnitScale = 1.0f / 255.0f;  // 0.003921569
constexpr float kSignedCenter = 127.5f;
constexpr float kSignedScale = 0.0078125f;  // 1 / 128
constexpr uint32_t kFloatBytes = sizeof(float);
constexpr uint32_t kMaxTensorChannels = 4;

// ImageNet and CLIP: means and single-precision reciprocals of the standard deviations.
constexpr float kImagenetMean[3] = {0.485f, 0.456f, 0.406f};
constexpr float kImagenetStd[3] = {0.229f, 0.224f, 0.225f};
constexpr float kImagenetInvStd[3] = {4.366812f, 4.4642854f, 4.4444447f};
constexpr float kClipMean[3] = {0.48145466f, 0.4578275f, 0.40821073f};
constexpr float kClipInvStd[3] = {3.7225986f, 3.8269808f, 3.6261168f};
// ImageNet value of a 0 byte per channel.
constexpr float kImagenetZero[3] = {-2.117904f, -2.0357141f, -1.8044444f};

// SAM: byte means and reciprocal stds.
constexpr float kSamMean[3] = {123.675f, 116.28f, 103.53f};
constexpr float kSamInvStd[3] = {0.017124753f, 0.017507004f, 0.017429193f};

// sRGB linearisation and CIE L*.
constexpr float kSrgbLinearLimit = 0.04045f;
constexpr float kSrgbLinearSlope = 12.92f;
constexpr float kSrgbOffset = 0.055f;
constexpr float kSrgbDivisor = 1.055f;
constexpr float kSrgbGamma = 2.4f;
constexpr float kLumaR = 0.212671f;
constexpr float kLumaG = 0.71516f;
constexpr float kLumaB = 0.072169f;
constexpr float kLabEpsilon = 0.008856f;
constexpr float kLabKappa = 903.3f;
constexpr float kLabScale = 116.0f;
constexpr float kLabOffset = -16.0f;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using PixelBlock = std::unique_ptr<uint8_t, FreeDeleter>;

struct LoadedImage {
  uint32_t width = 0;
  uint32_t height = 0;
  PixelBlock pixels;
};

// Decodes the file named by (path, path_len); returns null or the error text. An image outside
// the pipeline's limits counts as a decoding failure: nothing downstream handles it.
const char* load_image(const char* path, uint64_t path_len, LoadedImage* out) {
  const CStringResult cpath = bytes_cstring_copy(path, path_len);
  if (cpath.status != kBytesOk) return kPathHasNul;
  uint32_t width = 0, height = 0;
  uint8_t* pixels = nullptr;
  const int decoded = decode_image_path(cpath.data, &width, &height, nullptr, &pixels);
  std::free(cpath.data);
  PixelBlock block(pixels);
  if (decoded != 1 || block == nullptr || !image_dims_valid(width, height)) return kDecodeFailed;
  out->width = width;
  out->height = height;
  out->pixels = std::move(block);
  return nullptr;
}

void report_size(const LoadedImage& image, uint32_t* src_width, uint32_t* src_height) {
  if (src_width != nullptr) *src_width = image.width;
  if (src_height != nullptr) *src_height = image.height;
}

BilinearSource rgb_source(const uint8_t* pixels, uint32_t row_pixels, uint32_t width,
                          uint32_t height) {
  return BilinearSource{pixels, uint64_t{row_pixels} * kRgbBytes, kRgbBytes, width, height};
}

template <typename Rewrite>
Expected<ChwTensor> unit_then(const char* path, uint64_t path_len, uint32_t out_width,
                              uint32_t out_height, uint32_t* src_width, uint32_t* src_height,
                              Rewrite rewrite) {
  Expected<ChwTensor> r =
      image_to_chw_unit(path, path_len, out_width, out_height, src_width, src_height);
  if (!r.ok()) return r;
  const uint64_t plane = uint64_t{r.value.width} * r.value.height;
  for (uint32_t c = 0; c < 3; ++c) {
    float* p = r.value.data + c * plane;
    for (uint64_t i = 0; i < plane; ++i) p[i] = rewrite(p[i], c);
  }
  return r;
}

float srgb_to_linear(float c) {
  if (c <= kSrgbLinearLimit) return c / kSrgbLinearSlope;
  return std::pow((c + kSrgbOffset) / kSrgbDivisor, kSrgbGamma);
}

}  // namespace

Expected<ChwTensor> image_to_chw_unit(const char* path, uint64_t path_len, uint32_t out_width,
                                      uint32_t out_height, uint32_t* src_width,
                                      uint32_t* src_height) {
  LoadedImage image;
  if (const char* err = load_image(path, path_len, &image)) return expected_error<ChwTensor>(err);
  report_size(image, src_width, src_height);
  const uint64_t row_bytes = uint64_t{image.width} * kRgbBytes;
  const PixelView view{image.pixels.get(), row_bytes * image.height, image.width, image.height,
                       row_bytes, static_cast<uint32_t>(PixelFormat::kRgb8)};
  const NormalizationParams unit = preset_unit();
  return pixels_to_chw(&view, out_width, out_height, &unit);
}

Expected<ChwTensor> image_to_chw_signed(const char* path, uint64_t path_len, uint32_t out_width,
                                        uint32_t out_height, uint32_t* src_width,
                                        uint32_t* src_height) {
  return unit_then(path, path_len, out_width, out_height, src_width, src_height,
                   [](float x, uint32_t) { return std::fmaf(x, 2.0f, -1.0f); });
}

Expected<ChwTensor> image_to_chw_255(const char* path, uint64_t path_len, uint32_t out_width,
                                     uint32_t out_height, uint32_t* src_width,
                                     uint32_t* src_height) {
  return unit_then(path, path_len, out_width, out_height, src_width, src_height,
                   [](float x, uint32_t) { return x * 255.0f; });
}

Expected<ChwTensor> image_to_chw_imagenet(const char* path, uint64_t path_len, uint32_t out_width,
                                          uint32_t out_height, uint32_t* src_width,
                                          uint32_t* src_height) {
  return unit_then(path, path_len, out_width, out_height, src_width, src_height,
                   [](float x, uint32_t c) { return (x - kImagenetMean[c]) * kImagenetInvStd[c]; });
}

Expected<ChwTensor> image_to_chw_clip(const char* path, uint64_t path_len, uint32_t out_width,
                                      uint32_t out_height, uint32_t* src_width,
                                      uint32_t* src_height) {
  return unit_then(path, path_len, out_width, out_height, src_width, src_height,
                   [](float x, uint32_t c) { return (x - kClipMean[c]) * kClipInvStd[c]; });
}

Expected<ChwTensor> image_to_lightness(const char* path, uint64_t path_len, uint32_t out_width,
                                       uint32_t out_height, uint32_t* src_width,
                                       uint32_t* src_height) {
  Expected<ChwTensor> r =
      image_to_chw_unit(path, path_len, out_width, out_height, src_width, src_height);
  if (!r.ok()) return r;
  const uint64_t n = uint64_t{r.value.width} * r.value.height;
  float* d = r.value.data;
  for (uint64_t i = 0; i < n; ++i) {
    const float red = srgb_to_linear(d[i]);
    const float green = srgb_to_linear(d[i + n]);
    const float blue = srgb_to_linear(d[i + 2 * n]);
    const float luminance = std::fmaf(blue, kLumaB, std::fmaf(red, kLumaR, green * kLumaG));
    d[i] = luminance > kLabEpsilon ? std::fmaf(std::cbrt(luminance), kLabScale, kLabOffset)
                                   : luminance * kLabKappa;
  }
  r.value.count = n;
  return r;
}

Expected<ChwTensor> image_letterbox_chw(const char* path, uint64_t path_len, uint32_t size,
                                        uint64_t flags, uint8_t pad, uint32_t mode,
                                        uint32_t* src_width, uint32_t* src_height, float* scale,
                                        int32_t* pad_x, int32_t* pad_y) {
  // Bounded before decoding so that 3 * size * size floats can neither overflow nor be absurd.
  if (!image_dims_valid(size, size)) return expected_error<ChwTensor>(kBadLetterboxSize);
  LoadedImage image;
  if (const char* err = load_image(path, path_len, &image)) return expected_error<ChwTensor>(err);
  report_size(image, src_width, src_height);

  const auto side = static_cast<float>(size);
  const float fit = std::min(side / static_cast<float>(image.width),
                             side / static_cast<float>(image.height));
  const auto sz = static_cast<int32_t>(size);
  // The rounded sizes cannot pass the square; the clamp keeps the writes inside it regardless.
  const int32_t new_w =
      std::min(static_cast<int32_t>(std::round(fit * static_cast<float>(image.width))), sz);
  const int32_t new_h =
      std::min(static_cast<int32_t>(std::round(fit * static_cast<float>(image.height))), sz);
  const bool center = (flags & kLetterboxCenter) != 0;
  const int32_t off_x = center ? (sz - new_w) / 2 : 0;
  const int32_t off_y = center ? (sz - new_h) / 2 : 0;
  if (scale != nullptr) *scale = fit;
  if (pad_x != nullptr) *pad_x = off_x;
  if (pad_y != nullptr) *pad_y = off_y;

  const uint64_t plane = uint64_t{size} * size;
  const uint64_t count = 3 * plane;
  auto* data = static_cast<float*>(std::malloc(count * sizeof(float)));
  std::unique_ptr<BilinearTap[]> column_taps(
      new (std::nothrow) BilinearTap[static_cast<size_t>(std::max(new_w, 1))]);
  if (data == nullptr || column_taps == nullptr) {
    std::free(data);
    return expected_error<ChwTensor>(kLetterboxNoMemory);
  }
  const bool signed_mode = mode == kLetterboxModeSigned;
  const float fill = signed_mode ? (static_cast<float>(pad) - kSignedCenter) * kSignedScale
                                 : static_cast<float>(pad) / 255.0f;
  std::fill(data, data + count, fill);

  if (new_w >= 1 && new_h >= 1) {
    const auto grid_w = static_cast<uint32_t>(new_w);
    const auto grid_h = static_cast<uint32_t>(new_h);
    bilinear_taps(grid_w, image.width, column_taps.get());
    const BilinearSource src = rgb_source(image.pixels.get(), image.width, image.width,
                                          image.height);
    for (uint32_t r = 0; r < grid_h; ++r) {
      const BilinearTap ty = bilinear_tap(r, grid_h, image.height);
      const uint64_t row_at = uint64_t(off_y + static_cast<int32_t>(r)) * size + uint64_t(off_x);
      for (uint32_t c = 0; c < grid_w; ++c) {
        for (uint32_t ch = 0; ch < 3; ++ch) {
          const int32_t v = std::clamp(bilinear_sample(src, column_taps[c], ty, ch), 0, 255);
          const auto fv = static_cast<float>(v);
          data[ch * plane + row_at + c] =
              signed_mode ? (fv - kSignedCenter) * kSignedScale : fv * kUnitScale;
        }
      }
    }
  }
  return expected_ok(ChwTensor{size, size, data, count});
}

Expected<ChwTensor> image_to_sam1024(const char* path, uint64_t path_len, uint32_t* src_width,
                                     uint32_t* src_height) {
  LoadedImage image;
  if (const char* err = load_image(path, path_len, &image)) return expected_error<ChwTensor>(err);
  report_size(image, src_width, src_height);

  constexpr uint64_t kPlane = uint64_t{kSamInputSide} * kSamInputSide;
  constexpr uint64_t kCount = 3 * kPlane;
  auto* data = static_cast<float*>(std::calloc(kCount, sizeof(float)));
  if (data == nullptr) return expected_error<ChwTensor>(kSamNoMemory);
  const uint32_t rows = std::min(image.height, kSamInputSide);
  const uint32_t cols = std::min(image.width, kSamInputSide);
  const uint8_t* pixels = image.pixels.get();
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t* src_row = pixels + uint64_t{r} * image.width * kRgbBytes;
    for (uint32_t c = 0; c < cols; ++c) {
      const uint64_t at = uint64_t{r} * kSamInputSide + c;
      for (uint32_t ch = 0; ch < 3; ++ch) {
        const auto v = static_cast<float>(src_row[kRgbBytes * c + ch]);
        data[ch * kPlane + at] = (v + -kSamMean[ch]) * kSamInvStd[ch];
      }
    }
  }
  return expected_ok(ChwTensor{kSamInputSide, kSamInputSide, data, kCount});
}

bool crop_resize_chw(const RgbImage* image, int32_t x, int32_t y, int32_t crop_width,
                     int32_t crop_height, int32_t out_height, int32_t out_width, uint64_t flags,
                     float* out) {
  if (image == nullptr || image->pixels == nullptr || out == nullptr) return false;
  if (!image_dims_valid(image->width, image->height)) return false;
  if (out_height < 1 || out_width < 1) return false;
  const auto out_w = static_cast<uint32_t>(out_width);
  const auto out_h = static_cast<uint32_t>(out_height);
  if (!image_dims_valid(out_w, out_h)) return false;

  const auto img_w = static_cast<int32_t>(image->width);
  const auto img_h = static_cast<int32_t>(image->height);
  const int32_t x0 = std::clamp(x, 0, img_w - 1);
  const int32_t y0 = std::clamp(y, 0, img_h - 1);
  const int32_t cw = crop_width < 1 ? 1 : std::min(crop_width, img_w - x0);
  const int32_t ch = crop_height < 1 ? 1 : std::min(crop_height, img_h - y0);

  const bool imagenet = (flags & kCropImagenet) != 0;
  // Clamped in float first: the product may be far beyond any int.
  const float wide = static_cast<float>(cw) / static_cast<float>(ch) * static_cast<float>(out_h);
  const float rounded = imagenet ? std::round(wide) : std::ceil(wide);
  const auto new_w =
      static_cast<uint32_t>(std::clamp(rounded, 1.0f, static_cast<float>(out_w)));

  std::unique_ptr<BilinearTap[]> column_taps(new (std::nothrow) BilinearTap[new_w]);
  if (column_taps == nullptr) return false;

  const uint64_t plane = uint64_t{out_w} * out_h;
  for (uint32_t c = 0; c < 3; ++c) {
    std::fill(out + c * plane, out + (c + 1) * plane, imagenet ? kImagenetZero[c] : -1.0f);
  }

  bilinear_taps(new_w, static_cast<uint32_t>(cw), column_taps.get());
  const uint8_t* origin =
      image->pixels + (uint64_t(y0) * image->width + uint64_t(x0)) * kRgbBytes;
  const BilinearSource src =
      rgb_source(origin, image->width, static_cast<uint32_t>(cw), static_cast<uint32_t>(ch));
  for (uint32_t r = 0; r < out_h; ++r) {
    const BilinearTap ty = bilinear_tap(r, out_h, static_cast<uint32_t>(ch));
    for (uint32_t c = 0; c < new_w; ++c) {
      const uint64_t at = uint64_t{r} * out_w + c;
      for (uint32_t k = 0; k < 3; ++k) {
        const auto v = static_cast<float>(
            std::clamp(bilinear_sample(src, column_taps[c], ty, k), 0, 255));
        if (imagenet) {
          out[k * plane + at] = std::fmaf(v, kUnitScale, -kImagenetMean[k]) / kImagenetStd[k];
        } else {
          const float t = std::fmaf(v, kUnitScale, -0.5f);
          out[k * plane + at] = t + t;
        }
      }
    }
  }
  return true;
}

FloatTensorCheck float_tensor_check(const FloatTensorView& view) {
  const FloatTensorCheck invalid{1, 0, 0};
  if (view.data == nullptr || reinterpret_cast<uintptr_t>(view.data) % kFloatBytes != 0) {
    return invalid;
  }
  if (!image_dims_valid(view.width, view.height)) return invalid;
  if (view.channels < 1 || view.channels > kMaxTensorChannels) return invalid;
  if (view.layout != kTensorLayoutChw && view.layout != kTensorLayoutHwc) return invalid;

  const bool hwc = view.layout == kTensorLayoutHwc;
  const uint64_t packed = uint64_t{view.width} * (hwc ? view.channels : 1) * kFloatBytes;
  const uint64_t row = view.row_stride == 0 ? packed : view.row_stride;
  if (row < packed || row % kFloatBytes != 0) return invalid;
  uint64_t extent = 0;
  if (!checked_strided_extent(packed, row, view.height, &extent)) return invalid;
  uint64_t plane = 0;
  if (hwc) {
    if (view.plane_stride != 0) return invalid;
  } else {
    if (view.plane_stride != 0) {
      plane = view.plane_stride;
    } else if (!checked_mul_u64(row, view.height, &plane)) {
      return invalid;
    }
    if (plane < extent || plane % kFloatBytes != 0) return invalid;
    if (!checked_strided_extent(extent, plane, view.channels, &extent)) return invalid;
  }
  if (view.length < extent) return invalid;
  return FloatTensorCheck{0, row / kFloatBytes, plane / kFloatBytes};
}

bool float_tensor_valid(const FloatTensorView* view) {
  return view != nullptr && float_tensor_check(*view).status == 0;
}

Expected<PackedChwData> float_tensor_as_packed_chw(const FloatTensorView* view) {
  if (view == nullptr) return expected_error<PackedChwData>(kBadFloatTensor);
  const FloatTensorCheck check = float_tensor_check(*view);
  if (check.status != 0) return expected_error<PackedChwData>(kBadFloatTensor);
  const bool packed_rows = view->layout == kTensorLayoutChw && check.row_stride == view->width;
  const bool packed_planes =
      view->channels < 2 || check.plane_stride == check.row_stride * view->height;
  if (!packed_rows || !packed_planes) return expected_error<PackedChwData>(kNeedsPackedChw);
  return expected_ok(PackedChwData{view->data, uint64_t{view->width} * view->height});
}

Expected<ChwTensor> copy_tensor(const FloatTensorView* view) {
  if (view == nullptr) return expected_error<ChwTensor>(kBadFloatTensor);
  const FloatTensorCheck check = float_tensor_check(*view);
  if (check.status != 0) return expected_error<ChwTensor>(kBadFloatTensor);
  const uint64_t plane = uint64_t{view->width} * view->height;
  const uint64_t count = plane * view->channels;
  auto* data = static_cast<float*>(std::malloc(count * sizeof(float)));
  if (data == nullptr) return expected_error<ChwTensor>(kCopyNoMemory);
  const bool hwc = view->layout == kTensorLayoutHwc;
  for (uint32_t c = 0; c < view->channels; ++c) {
    for (uint32_t yy = 0; yy < view->height; ++yy) {
      const float* src_row = view->data + check.row_stride * yy;
      float* dst_row = data + c * plane + uint64_t{yy} * view->width;
      if (hwc) {
        for (uint32_t xx = 0; xx < view->width; ++xx) {
          dst_row[xx] = src_row[uint64_t{xx} * view->channels + c];
        }
      } else {
        std::memcpy(dst_row, src_row + check.plane_stride * c, view->width * sizeof(float));
      }
    }
  }
  return expected_ok(ChwTensor{view->width, view->height, data, count});
}

}  // namespace vexa
