#include "cpu/ops/activation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "cpu/ops/activation_simd.h"
#include "cpu/ops/eltwise.h"
#include "cpu/ops/parallel_for.h"
#include "cpu/ops/simd_switch.h"
#include "cpu/quant_study.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

namespace {

constexpr float kInvSqrt2 = kErfInvSqrt2;
constexpr float kErfClamp = kErfRationalClamp;
constexpr uint64_t kErfParts = 8;
constexpr uint64_t kErfMinElements = 16384;
constexpr uint64_t kErfLanes = 4;
constexpr uint64_t kGeluBlockElements = 1024;  // 4 KiB of stack
constexpr float kGeluOne = 1.0f;
constexpr float kGeluHalf = 0.5f;

SimdSwitch g_simd(activation_simd_available);

bool simd_enabled() { return g_simd.enabled(); }

inline float erf_rational_clamped(float t) {
  const float u = t * t;
  float p = kErfRationalP[0];
  for (int i = 1; i < kErfRationalPTerms; ++i) p = p * u + kErfRationalP[i];
  float q = kErfRationalQ[0];
  for (int i = 1; i < kErfRationalQTerms; ++i) q = q * u + kErfRationalQ[i];
  return t * p / q;
}

// range(begin, end) over [0, n): whole below kErfMinElements, else in kErfParts fixed parts.
template <typename Range>
void in_parts(uint64_t n, Range&& range) {
  if (n < kErfMinElements) {
    range(uint64_t{0}, n);
    return;
  }
  const uint64_t chunk = (n + kErfParts - 1) / kErfParts;
  cpu_parallel_for(kErfParts, true, [&](int64_t part) {
    const uint64_t begin = static_cast<uint64_t>(part) * chunk;
    if (begin >= n) return;
    range(begin, std::min(begin + chunk, n));
  });
}

void run_parts(const float* in, float* out, uint64_t n, bool gelu) {
  const bool vmath = cpu_vmath_enabled();
  in_parts(n, [&](uint64_t begin, uint64_t end) {
    cpu_erf_gelu_range(in, out, begin, end, gelu, vmath);
  });
}

// Elements [begin, end) of the step-by-step GELU, through a small stack block so the Erf
// input stays in cache.
void gelu_stepwise_range(const float* in, float* out, uint64_t begin, uint64_t end,
                         float divisor, bool vmath) {
  if (vmath && simd_enabled()) {
    gelu_stepwise_rational_avx2(in + begin, out + begin, end - begin, divisor);
    return;
  }
  float block[kGeluBlockElements];
  for (uint64_t b = begin; b < end; b += kGeluBlockElements) {
    const uint64_t len = std::min<uint64_t>(kGeluBlockElements, end - b);
    cpu_div_by_scalar(in + b, divisor, block, len);
    cpu_erf_gelu_range(block, block, 0, len, false, vmath);
    vec_add_scalar(block, kGeluOne, block, len);
    vec_mul(in + b, block, block, len);
    vec_mul_scalar(block, kGeluHalf, out + b, len);
  }
}

}  // namespace

void cpu_gelu_stepwise(const float* in, float* out, uint64_t n, float divisor) {
  const bool vmath = cpu_vmath_enabled();
  in_parts(n, [&](uint64_t begin, uint64_t end) {
    gelu_stepwise_range(in, out, begin, end, divisor, vmath);
  });
}

void cpu_activation_force_portable(bool on) {
  g_simd.force_portable(on);
}

float cpu_erf_rational(float x) { return erf_rational_clamped(std::clamp(x, -kErfClamp, kErfClamp)); }

void cpu_erf_gelu_range(const float* in, float* out, uint64_t begin, uint64_t end, bool gelu,
                        bool vector_math) {
  if (!vector_math) {
    if (gelu) {
      for (uint64_t i = begin; i < end; ++i) {
        const float x = in[i];
        out[i] = 0.5f * x * (1.0f + std::erf(x * kInvSqrt2));
      }
    } else {
      for (uint64_t i = begin; i < end; ++i) out[i] = std::erf(in[i]);
    }
    return;
  }
  if (simd_enabled()) {
    erf_gelu_rational_avx2(in + begin, out + begin, end - begin, gelu);
    return;
  }
  // Four lanes at a time; a short tail is padded with zeros and only valid lanes stored.
  for (uint64_t i = begin; i < end; i += kErfLanes) {
    float lane[kErfLanes] = {};
    const uint64_t valid = std::min<uint64_t>(kErfLanes, end - i);
    for (uint64_t l = 0; l < valid; ++l) lane[l] = in[i + l];
    float res[kErfLanes];
    for (uint64_t l = 0; l < kErfLanes; ++l) {
      const float x = lane[l];
      if (gelu) {
        const float e = erf_rational_clamped(std::clamp(x * kInvSqrt2, -kErfClamp, kErfClamp));
        res[l] = (x * 0.5f) * (1.0f + e);
      } else {
        res[l] = erf_rational_clamped(std::clamp(x, -kErfClamp, kErfClamp));
      }
    }
    for (uint64_t l = 0; l < valid; ++l) out[i + l] = res[l];
  }
}

void cpu_erf(const float* in, float* out, uint64_t n) { run_parts(in, out, n, false); }
void cpu_gelu(const float* in, float* out, uint64_t n) { run_parts(in, out, n, true); }

}  // namespace vexa::cpu
