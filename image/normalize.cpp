#include "image/normalize.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

#include "image/bilinear.h"

namespace vexa {
namespace {

constexpr float kUnitScale = 1.0f / 255.0f;  // 0.003921569, the float nearest 1/255
constexpr char kInvalidRequest[] = "invalid pixels, output dimensions or normalization";
constexpr char kNoMemory[] = "out of memory allocating CHW tensor";

NormalizationParams make_params(float scale, float m0, float m1, float m2, float s0, float s1,
                                float s2) {
  return NormalizationParams{scale, {m0, m1, m2}, {s0, s1, s2}};
}

}  // namespace

bool normalization_params_valid(const NormalizationParams& params) {
  if (!std::isfinite(params.scale)) return false;
  for (int c = 0; c < 3; ++c) {
    if (!std::isfinite(params.mean[c])) return false;
    if (!std::isfinite(params.std[c]) || !(params.std[c] > 0.0f)) return false;
  }
  return true;
}

NormalizationParams preset_unit() { return make_params(kUnitScale, 0, 0, 0, 1, 1, 1); }

NormalizationParams preset_raw() { return make_params(1.0f, 0, 0, 0, 1, 1, 1); }

NormalizationParams preset_signed() {
  return make_params(kUnitScale, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f);
}

NormalizationParams preset_imagenet() {
  return make_params(kUnitScale, 0.485f, 0.456f, 0.406f, 0.229f, 0.224f, 0.225f);
}

NormalizationParams preset_clip() {
  return make_params(kUnitScale, 0.48145466f, 0.4578275f, 0.40821073f, 0.26862954f, 0.26130258f,
                     0.27577711f);
}

Expected<ChwTensor> pixels_to_chw(const PixelView* view, uint32_t out_width, uint32_t out_height,
                                  const NormalizationParams* params) {
  if (!pixel_buffer_valid(view) || !image_dims_valid(out_width, out_height) ||
      params == nullptr || !normalization_params_valid(*params)) {
    return expected_error<ChwTensor>(kInvalidRequest);
  }
  const uint64_t plane = uint64_t{out_width} * out_height;
  const uint64_t count = 3 * plane;
  auto* data = static_cast<float*>(std::malloc(count * sizeof(float)));
  std::unique_ptr<BilinearTap[]> column_taps(new (std::nothrow) BilinearTap[out_width]);
  if (data == nullptr || column_taps == nullptr) {
    std::free(data);
    return expected_error<ChwTensor>(kNoMemory);
  }
  bilinear_taps(out_width, view->width, column_taps.get());

  const BilinearSource src{view->data, view->stride, pixel_format_bytes(view->format),
                           view->width, view->height};
  const auto offsets = pixel_channel_offsets(view->format);
  const NormalizationParams& p = *params;
  for (uint32_t j = 0; j < out_height; ++j) {
    const BilinearTap ty = bilinear_tap(j, out_height, view->height);
    for (uint32_t i = 0; i < out_width; ++i) {
      const uint64_t at = uint64_t{j} * out_width + i;
      for (uint32_t c = 0; c < 3; ++c) {
        const int32_t v = bilinear_sample(src, column_taps[i], ty, offsets[c]);
        data[c * plane + at] = std::fmaf(static_cast<float>(v), p.scale, -p.mean[c]) / p.std[c];
      }
    }
  }
  return expected_ok(ChwTensor{out_width, out_height, data, count});
}

}  // namespace vexa
