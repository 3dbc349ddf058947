#include "core/weight_decode.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "core/container_format.h"

namespace vexa {

namespace {

constexpr uint32_t kHalfExponentMask = 0x7c00;
constexpr uint32_t kHalfSignMask = 0x8000;
constexpr uint32_t kHalfMantissaShift = 13;              // 23 - 10 mantissa bits
constexpr uint32_t kExponentRebias = (127 - 15) << 23;   // moves a half exponent to single
constexpr uint32_t kSubnormalMagic = (127 - 15 + 1) << 23;  // 2^-14 as a single
constexpr uint32_t kSingleExponentMask = 0x7f800000;
constexpr uint64_t kHalvesPerStep = 16;

// Only integer operations and one exact subtraction of normal singles, so denormal modes of the
// FPU cannot change a result.
inline uint32_t half_bits_to_single_bits(uint32_t h) {
  const uint32_t magnitude = h & 0x7fff;
  const uint32_t sign = (h & kHalfSignMask) << 16;
  const uint32_t shifted = magnitude << kHalfMantissaShift;
  const uint32_t normal = shifted + kExponentRebias;
  // Subnormal: 2^-14 x (1 + m/1024) - 2^-14 = m x 2^-24, exact.
  const float sub = std::bit_cast<float>(shifted | kSubnormalMagic) -
                    std::bit_cast<float>(kSubnormalMagic);
  const uint32_t subnormal = std::bit_cast<uint32_t>(sub);
  const uint32_t special = shifted | kSingleExponentMask;
  uint32_t r = magnitude < 0x0400 ? subnormal : normal;
  r = magnitude >= kHalfExponentMask ? special : r;
  return r | sign;
}

// The same conversion four lanes at a time with the compiler's generic vectors (SSE2 on x86-64,
// no ISA flags needed); lane for lane identical to the scalar form above.
typedef uint32_t U32x4 __attribute__((vector_size(16)));
typedef float F32x4 __attribute__((vector_size(16)));

inline U32x4 half_bits_to_single_bits_x4(U32x4 h) {
  const U32x4 magnitude = h & 0x7fffu;
  const U32x4 sign = (h & kHalfSignMask) << 16;
  const U32x4 shifted = magnitude << kHalfMantissaShift;
  const U32x4 normal = shifted + kExponentRebias;
  const U32x4 magic = {kSubnormalMagic, kSubnormalMagic, kSubnormalMagic, kSubnormalMagic};
  const F32x4 sub = reinterpret_cast<F32x4>(shifted | kSubnormalMagic) - reinterpret_cast<F32x4>(magic);
  const U32x4 subnormal = reinterpret_cast<U32x4>(sub);
  const U32x4 special = shifted | kSingleExponentMask;
  const U32x4 is_subnormal = reinterpret_cast<U32x4>(magnitude < 0x0400u);
  const U32x4 is_special = reinterpret_cast<U32x4>(magnitude >= kHalfExponentMask);
  U32x4 r = (is_subnormal & subnormal) | (~is_subnormal & normal);
  r = (is_special & special) | (~is_special & r);
  return r | sign;
}

void decode_f16(uint64_t n, const uint8_t* src, float* dst) {
  uint64_t i = 0;
  for (; n - i >= kHalvesPerStep; i += kHalvesPerStep) {
    uint16_t h[kHalvesPerStep];
    std::memcpy(h, src + 2 * i, sizeof h);
    for (uint64_t k = 0; k < kHalvesPerStep; k += 4) {
      const U32x4 wide = {h[k], h[k + 1], h[k + 2], h[k + 3]};
      const U32x4 out = half_bits_to_single_bits_x4(wide);
      std::memcpy(dst + i + k, &out, sizeof out);
    }
  }
  for (; i < n; ++i) {
    uint16_t h;
    std::memcpy(&h, src + 2 * i, 2);
    dst[i] = std::bit_cast<float>(half_bits_to_single_bits(h));
  }
}

bool decode_q8(uint64_t rows, uint64_t cols, const uint8_t* src, float* dst) {
  const uint64_t blocks = cols / kQ8BlockElements + (cols % kQ8BlockElements != 0 ? 1 : 0);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t b = 0; b < blocks; ++b) {
      const uint8_t* block = src + kQ8BlockBytes * (r * blocks + b);
      float scale;
      std::memcpy(&scale, block + kQ8ScaleOffsetBytes, sizeof scale);
      if (!(scale > 0.0f) || std::isinf(scale)) return false;
      for (uint64_t k = 0; k < kQ8BlockElements; ++k) {
        const int8_t q = static_cast<int8_t>(block[k]);
        const uint64_t c = kQ8BlockElements * b + k;
        if (q == -128) return false;
        if (c >= cols) {
          if (q != 0) return false;
          continue;
        }
        dst[r * cols + c] = scale * static_cast<float>(q);
      }
    }
  }
  return true;
}

}  // namespace

float half_to_float(uint16_t bits) { return std::bit_cast<float>(half_bits_to_single_bits(bits)); }

bool weights_decode_f32(uint64_t dtype, uint64_t rows, uint64_t cols, const void* source,
                        float* destination) {
  const auto* src = static_cast<const uint8_t*>(source);
  if (dtype == 1) {
    if (rows == 0 || cols == 0) return true;
    decode_f16(rows * cols, src, destination);
    return true;
  }
  if (dtype == 4) {
    if (rows == 0) return true;
    return decode_q8(rows, cols, src, destination);
  }
  return false;
}

}  // namespace vexa
