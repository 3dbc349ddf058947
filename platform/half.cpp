#include "platform/half.h"

namespace vexa {

void f16_widen_row(const uint16_t* src, float* dst, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) dst[i] = f16_widen(src[i]);
}

void f16_round_row(const float* src, uint16_t* dst, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) dst[i] = f16_round_even(src[i]);
}

}  // namespace vexa
