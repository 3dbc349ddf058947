#include "cpu/ops/activation.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "cpu/ops/parallel_for.h"
#include "cpu/quant_study.h"

namespace vexa::cpu {

namespace {

constexpr float kInvSqrt2 = 0.70710677f;
constexpr float kErfClamp = 4.0f;
constexpr uint64_t kErfParts = 8;
constexpr uint64_t kErfMinElements = 16384;
constexpr uint64_t kErfLanes = 4;

// Numerator and denominator of the approximation, highest power first.
constexpr float kErfP[] = {-2.72614225801306e-10f, 2.77068142495902e-08f, -2.10102402082508e-06f,
                           -5.69250639462346e-05f, -7.34990630326855e-04f, -2.95459980854025e-03f,
                           -1.60960333262415e-02f};
constexpr float kErfQ[] = {-1.45660718464996e-05f, -2.13374055278905e-04f, -1.68282697438203e-03f,
                           -7.37332916720468e-03f, -1.42647390514189e-02f};

inline float erf_rational_clamped(float t) {
  const float u = t * t;
  float p = kErfP[0];
  for (size_t i = 1; i < std::size(kErfP); ++i) p = p * u + kErfP[i];
  float q = kErfQ[0];
  for (size_t i = 1; i < std::size(kErfQ); ++i) q = q * u + kErfQ[i];
  return t * p / q;
}

void run_parts(const float* in, float* out, uint64_t n, bool gelu) {
  const bool vmath = cpu_vmath_enabled();
  if (n < kErfMinElements) {
    cpu_erf_gelu_range(in, out, 0, n, gelu, vmath);
    return;
  }
  const uint64_t chunk = (n + kErfParts - 1) / kErfParts;
  cpu_parallel_for(kErfParts, true, [&](int64_t part) {
    const uint64_t begin = static_cast<uint64_t>(part) * chunk;
    if (begin >= n) return;
    cpu_erf_gelu_range(in, out, begin, std::min(begin + chunk, n), gelu, vmath);
  });
}

}  // namespace

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
