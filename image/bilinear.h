// Fixed-point bilinear sampling with half-pixel centres and 11-bit weights (2048 = 1.0),
// shared by the CHW packing, the letterbox and the crop-resize paths.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr int32_t kBilinearOne = 2048;

// One axis of one output index: the two source indices and the weight of the first.
struct BilinearTap {
  int32_t i0;
  int32_t i1;
  int32_t w0;  // weight of i0; i1 gets kBilinearOne - w0
};

// Maps output index `out_index` of `out_size` onto `src_size` source samples (all >= 1).
BilinearTap bilinear_tap(uint32_t out_index, uint32_t out_size, uint32_t src_size);

// Fills taps[0 .. out_size - 1].
void bilinear_taps(uint32_t out_size, uint32_t src_size, BilinearTap* taps);

// Blends four samples: p00, p01 on the first row (columns i0, i1), p10, p11 on the second.
// Signed 32-bit arithmetic throughout; the result is 0..255.
inline int32_t bilinear_blend(int32_t p00, int32_t p01, int32_t p10, int32_t p11, int32_t wx,
                              int32_t wy) {
  constexpr int kHorizontalShift = 4;
  constexpr int kFinalShift = 18;
  constexpr int32_t kFinalRounding = int32_t{1} << (kFinalShift - 1);
  const int32_t top = (wx * p00 + (kBilinearOne - wx) * p01) >> kHorizontalShift;
  const int32_t bottom = (wx * p10 + (kBilinearOne - wx) * p11) >> kHorizontalShift;
  return (bottom * (kBilinearOne - wy) + top * wy + kFinalRounding) >> kFinalShift;
}

// A source for sampling: rows `stride` bytes apart, `bpp` bytes per pixel.
struct BilinearSource {
  const uint8_t* data;
  uint64_t stride;
  uint32_t bpp;
  uint32_t width;
  uint32_t height;
};

// Channel byte `channel_offset` of the sampled pixel (tx, ty).
inline int32_t bilinear_sample(const BilinearSource& src, const BilinearTap& tx,
                               const BilinearTap& ty, uint32_t channel_offset) {
  const uint8_t* row0 = src.data + src.stride * static_cast<uint64_t>(ty.i0);
  const uint8_t* row1 = src.data + src.stride * static_cast<uint64_t>(ty.i1);
  const uint64_t c0 = uint64_t(tx.i0) * src.bpp + channel_offset;
  const uint64_t c1 = uint64_t(tx.i1) * src.bpp + channel_offset;
  return bilinear_blend(row0[c0], row0[c1], row1[c0], row1[c1], tx.w0, ty.w0);
}

}  // namespace vexa
