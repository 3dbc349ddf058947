#include "image/bilinear.h"

#include <cmath>

namespace vexa {

BilinearTap bilinear_tap(uint32_t out_index, uint32_t out_size, uint32_t src_size) {
  // The position is taken in double with one rounding of the fused product, then narrowed to
  // single precision: every caller must see the same source positions bit for bit.
  const double ratio = static_cast<double>(src_size) / static_cast<double>(out_size);
  const float s = static_cast<float>(std::fma(static_cast<double>(out_index) + 0.5, ratio, -0.5));
  int32_t f = static_cast<int32_t>(s);
  if (s < static_cast<float>(f)) f -= 1;
  const int32_t last = static_cast<int32_t>(src_size) - 1;
  BilinearTap tap;
  tap.i0 = f < 0 ? 0 : (f > last ? last : f);
  tap.i1 = tap.i0 + 1 <= last ? tap.i0 + 1 : tap.i0;
  if (f < 0 || f >= last) {
    tap.w0 = kBilinearOne;
  } else {
    const float frac_complement = (static_cast<float>(f) - s) + 1.0f;
    tap.w0 = static_cast<int32_t>(
        std::fmaf(frac_complement, static_cast<float>(kBilinearOne), 0.5f));
  }
  return tap;
}

void bilinear_taps(uint32_t out_size, uint32_t src_size, BilinearTap* taps) {
  for (uint32_t i = 0; i < out_size; ++i) taps[i] = bilinear_tap(i, out_size, src_size);
}

}  // namespace vexa
