// Image-to-tensor preparation for vision models: decoded image files become normalised planar
// (CHW) f32 tensors for the common model families, a square letterbox, the fixed 1024 x 1024
// segmenter input, a crop-and-resize into a caller buffer, and caller float tensors are
// validated and repacked.
#pragma once

#include <cstdint>

#include "core/expected.h"
#include "image/decode.h"
#include "image/normalize.h"

namespace vexa {

// ---- image files to CHW tensors ----
// `path` is (pointer, length) and must not contain a NUL byte. The source width and height go
// to the out-pointers that are not null once the image is decoded. The ok payload is owned by
// the caller (free its data with free()).
// Errors: "image path contains NUL", "failed to decode image", and those of pixels_to_chw.

// Values v / 255 of the bilinear bytes v, count 3 * out_width * out_height.
Expected<ChwTensor> image_to_chw_unit(const char* path, uint64_t path_len, uint32_t out_width,
                                      uint32_t out_height, uint32_t* src_width,
                                      uint32_t* src_height);
// -1..1.
Expected<ChwTensor> image_to_chw_signed(const char* path, uint64_t path_len, uint32_t out_width,
                                        uint32_t out_height, uint32_t* src_width,
                                        uint32_t* src_height);
// 0..255.
Expected<ChwTensor> image_to_chw_255(const char* path, uint64_t path_len, uint32_t out_width,
                                     uint32_t out_height, uint32_t* src_width,
                                     uint32_t* src_height);
Expected<ChwTensor> image_to_chw_imagenet(const char* path, uint64_t path_len, uint32_t out_width,
                                          uint32_t out_height, uint32_t* src_width,
                                          uint32_t* src_height);
Expected<ChwTensor> image_to_chw_clip(const char* path, uint64_t path_len, uint32_t out_width,
                                      uint32_t out_height, uint32_t* src_width,
                                      uint32_t* src_height);
// CIE L* (0..100) in plane R; count out_width * out_height. The block keeps three planes and
// planes G and B keep their unit values.
Expected<ChwTensor> image_to_lightness(const char* path, uint64_t path_len, uint32_t out_width,
                                       uint32_t out_height, uint32_t* src_width,
                                       uint32_t* src_height);

// Letterbox flags and modes.
inline constexpr uint64_t kLetterboxCenter = 1;  // flags bit 0: centre instead of top-left
inline constexpr uint32_t kLetterboxModeSigned = 1;  // (v - 127.5) / 128; other modes v / 255

// The image scaled to fit a size x size square (aspect kept), the rest filled with `pad`.
// Reports the source size, the scale and the offsets of the image (each out-pointer may be
// null). size must satisfy image_dims_valid(size, size); otherwise the error is
// "invalid letterbox size", given before anything is decoded or allocated.
// Errors also: "image path contains NUL", "failed to decode image",
// "out of memory allocating letterbox CHW tensor".
Expected<ChwTensor> image_letterbox_chw(const char* path, uint64_t path_len, uint32_t size,
                                        uint64_t flags, uint8_t pad, uint32_t mode,
                                        uint32_t* src_width, uint32_t* src_height, float* scale,
                                        int32_t* pad_x, int32_t* pad_y);

inline constexpr uint32_t kSamInputSide = 1024;

// The unscaled image at the top-left of a zeroed 1024 x 1024 tensor, normalised with the SAM
// mean and std; larger images are cut at the right and bottom.
// Errors: "image path contains NUL", "failed to decode image",
// "out of memory allocating SAM 1024 tensor".
Expected<ChwTensor> image_to_sam1024(const char* path, uint64_t path_len, uint32_t* src_width,
                                     uint32_t* src_height);

inline constexpr uint64_t kCropImagenet = 1;  // flags bit 0: ImageNet values, else -1..1

// Crops (x, y, crop_width, crop_height), clamped to the image, and stretches it to out_height
// rows, keeping its aspect in the width (at most out_width columns, placed at the left); the
// rest of each row keeps the fill (the value of a 0 byte). Writes 3 planes of
// out_height x out_width floats at `out`. Refuses (returns false, writes nothing) a null or
// invalid image, a null `out`, and output sizes that fail image_dims_valid (including sizes
// below 1).
bool crop_resize_chw(const RgbImage* image, int32_t x, int32_t y, int32_t crop_width,
                     int32_t crop_height, int32_t out_height, int32_t out_width, uint64_t flags,
                     float* out);

// ---- caller float tensors ----

inline constexpr uint32_t kTensorLayoutChw = 1;
inline constexpr uint32_t kTensorLayoutHwc = 2;

struct FloatTensorView {
  float* data;            // 4-byte aligned
  uint64_t length;        // bytes available
  uint32_t width;
  uint32_t height;
  uint32_t channels;      // 1..4
  uint32_t layout;        // kTensorLayoutChw or kTensorLayoutHwc
  uint64_t row_stride;    // bytes; 0 = packed
  uint64_t plane_stride;  // bytes; CHW: 0 = row_stride * height; HWC: must be 0
};

struct FloatTensorCheck {
  uint32_t status;        // 0 valid, 1 invalid
  uint64_t row_stride;    // in floats
  uint64_t plane_stride;  // in floats; 0 for HWC
};

FloatTensorCheck float_tensor_check(const FloatTensorView& view);
bool float_tensor_valid(const FloatTensorView* view);

// Payload of float_tensor_as_packed_chw: the caller's own data (not copied).
struct PackedChwData {
  float* data;
  uint64_t pixels;  // width * height
};

// Errors: "invalid float tensor dimensions, strides, length or alignment",
// "inference requires packed CHW storage; use copy_tensor for strided or HWC input".
Expected<PackedChwData> float_tensor_as_packed_chw(const FloatTensorView* view);

// Repacks any valid view into planes; count width * height * channels.
// Errors: "invalid float tensor dimensions, strides, length or alignment",
// "out of memory copying CHW tensor".
Expected<ChwTensor> copy_tensor(const FloatTensorView* view);

}  // namespace vexa
