// Planar (CHW) f32 tensors from caller pixels: bilinear resize, then per-channel
// normalisation (v * scale - mean[c]) / std[c], with the common presets.
#pragma once

#include <cstdint>

#include "core/expected.h"
#include "image/pixel_convert.h"

namespace vexa {

// Channels R, G, B. Valid when scale and the means are finite and every std is finite and > 0.
struct NormalizationParams {
  float scale;
  float mean[3];
  float std[3];
};

bool normalization_params_valid(const NormalizationParams& params);

// Unit range: v / 255.
NormalizationParams preset_unit();
// Bytes as they are.
NormalizationParams preset_raw();
// Signed range -1..1.
NormalizationParams preset_signed();
NormalizationParams preset_imagenet();
NormalizationParams preset_clip();

// Payload of the tensor functions: planes R, G, B one after another, each height x width
// row-major; `data` is malloc'd and owned by the receiver, who frees it with free().
struct ChwTensor {
  uint32_t width;
  uint32_t height;
  float* data;
  uint64_t count;  // number of floats
};
static_assert(sizeof(ChwTensor) == 24);

// Resizes the view to out_width x out_height with the bilinear sampler and normalises it.
// Errors: "invalid pixels, output dimensions or normalization",
// "out of memory allocating CHW tensor".
Expected<ChwTensor> pixels_to_chw(const PixelView* view, uint32_t out_width, uint32_t out_height,
                                  const NormalizationParams* params);

}  // namespace vexa
