#include <immintrin.h>

#include <cstring>

#include "image/lanczos_kernels.h"

namespace vexa {
namespace {

constexpr uint32_t kLanes = 8;
// Three vectors cover 24 bytes: eight whole RGB pixels, so lane i always holds channel i % 3.
constexpr uint32_t kGroupBytes = 3 * kLanes;
constexpr size_t kVerticalBlockBytes = 32;

inline __m256i widen8(const uint8_t* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// acc + 8 samples times 8 weights.
inline __m256i multiply_add(__m256i acc, const uint8_t* samples, const int32_t* weights) {
  const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights));
  return _mm256_add_epi32(acc, _mm256_mullo_epi32(widen8(samples), w));
}

}  // namespace

bool lanczos_avx2_available() { return __builtin_cpu_supports("avx2") != 0; }

// Vector lanes wrap on overflow, but every partial sum is bounded by the sum of the absolute
// terms, which stays below 2^31 for this kernel, so the totals are exact.
void lanczos_rows_horizontal_avx2(const ResampleJob& job, uint32_t part) {
  const ImageBuffer& src = *job.source;
  ImageBuffer& dst = *job.destination;
  const size_t src_row_bytes = size_t{src.width} * 3;
  const size_t dst_row_bytes = size_t{dst.width} * 3;
  const size_t weight_stride = size_t{job.taps} * 3;
  alignas(32) int32_t lanes[kGroupBytes];
  for (uint32_t y = part; y < dst.height; y += kLanczosParts) {
    const uint8_t* src_row = src.pixels.data() + src_row_bytes * y;
    uint8_t* dst_row = dst.pixels.data() + dst_row_bytes * y;
    for (uint32_t x = 0; x < dst.width; ++x) {
      const int32_t start = job.bounds[2 * size_t{x}];
      const int32_t count = job.bounds[2 * size_t{x} + 1];
      uint8_t* out = dst_row + size_t{x} * 3;
      if (count < 1) {
        out[0] = out[1] = out[2] = 0;
        continue;
      }
      const int32_t* w = job.channel_weights + size_t{x} * weight_stride;
      const uint8_t* s = src_row + size_t(start) * 3;
      const uint32_t n = 3 * static_cast<uint32_t>(count);
      __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0;
      uint32_t j = 0;
      for (; j + kGroupBytes <= n; j += kGroupBytes) {
        a0 = multiply_add(a0, s + j, w + j);
        a1 = multiply_add(a1, s + j + kLanes, w + j + kLanes);
        a2 = multiply_add(a2, s + j + 2 * kLanes, w + j + 2 * kLanes);
      }
      if (j + kLanes <= n) {
        a0 = multiply_add(a0, s + j, w + j);
        j += kLanes;
        if (j + kLanes <= n) {
          a1 = multiply_add(a1, s + j, w + j);
          j += kLanes;
        }
      }
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), a0);
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + kLanes), a1);
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 2 * kLanes), a2);
      int32_t sum[3] = {kLanczosRoundingOffset, kLanczosRoundingOffset, kLanczosRoundingOffset};
      for (uint32_t i = 0; i < kGroupBytes; i += 3) {
        sum[0] += lanes[i];
        sum[1] += lanes[i + 1];
        sum[2] += lanes[i + 2];
      }
      // j is a multiple of 8 here, and j % 3 names the channel of byte j.
      for (uint32_t c = j % 3; j < n; ++j, c = c == 2 ? 0 : c + 1) sum[c] += w[j] * s[j];
      out[0] = lanczos_clamp_to_byte(sum[0]);
      out[1] = lanczos_clamp_to_byte(sum[1]);
      out[2] = lanczos_clamp_to_byte(sum[2]);
    }
  }
}

void lanczos_rows_vertical_avx2(const ResampleJob& job, uint32_t part) {
  const ImageBuffer& src = *job.source;
  ImageBuffer& dst = *job.destination;
  const size_t row_bytes = size_t{src.width} * 3;
  // packs/packus work within 128-bit halves; this puts the 4-byte groups back in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i offset = _mm256_set1_epi32(kLanczosRoundingOffset);
  for (uint32_t y = part; y < dst.height; y += kLanczosParts) {
    const int32_t start = job.bounds[2 * size_t{y}];
    const int32_t count = job.bounds[2 * size_t{y} + 1];
    uint8_t* dst_row = dst.pixels.data() + row_bytes * y;
    if (count < 1) {
      std::memset(dst_row, 0, row_bytes);
      continue;
    }
    const int32_t* w = job.weights + size_t{y} * job.taps;
    const uint8_t* first = src.pixels.data() + row_bytes * size_t(start);
    size_t c0 = 0;
    for (; c0 + kVerticalBlockBytes <= row_bytes; c0 += kVerticalBlockBytes) {
      __m256i a0 = offset, a1 = offset, a2 = offset, a3 = offset;
      for (int32_t k = 0; k < count; ++k) {
        const uint8_t* s = first + row_bytes * size_t(k) + c0;
        const __m256i wk = _mm256_set1_epi32(w[k]);
        a0 = _mm256_add_epi32(a0, _mm256_mullo_epi32(widen8(s), wk));
        a1 = _mm256_add_epi32(a1, _mm256_mullo_epi32(widen8(s + 8), wk));
        a2 = _mm256_add_epi32(a2, _mm256_mullo_epi32(widen8(s + 16), wk));
        a3 = _mm256_add_epi32(a3, _mm256_mullo_epi32(widen8(s + 24), wk));
      }
      const int shift = kLanczosWeightFractionBits;
      const __m256i p01 = _mm256_packs_epi32(_mm256_srai_epi32(a0, shift), _mm256_srai_epi32(a1, shift));
      const __m256i p23 = _mm256_packs_epi32(_mm256_srai_epi32(a2, shift), _mm256_srai_epi32(a3, shift));
      // Saturation to 0..255 is the clamp of the scalar kernel.
      const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(p01, p23), order);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst_row + c0), bytes);
    }
    for (; c0 < row_bytes; ++c0) {
      int32_t acc = kLanczosRoundingOffset;
      for (int32_t k = 0; k < count; ++k) acc += w[k] * first[row_bytes * size_t(k) + c0];
      dst_row[c0] = lanczos_clamp_to_byte(acc);
    }
  }
}

}  // namespace vexa
