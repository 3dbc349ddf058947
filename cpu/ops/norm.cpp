#include "cpu/ops/norm.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "cpu/ops/eltwise.h"
#include "cpu/ops/norm_simd.h"
#include "cpu/ops/parallel_for.h"
#include "cpu/ops/simd_switch.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

namespace {

constexpr uint64_t kLayerNormParts = 8;
constexpr uint64_t kLayerNormMinRows = 64;
constexpr uint64_t kLayerNormMinWork = 16384;
constexpr uint64_t kStepwiseGroupRows = kNormSimdRows;

SimdSwitch g_simd(norm_simd_available);

bool simd_enabled() { return g_simd.enabled(); }

void layernorm_rows(const float* x, const float* scale, const float* bias, float* y, uint64_t r0,
                    uint64_t r1, uint64_t d, float epsilon, float inv_d) {
  if (simd_enabled()) {
    for (; r0 + kNormSimdRows <= r1; r0 += kNormSimdRows)
      layernorm_rows8_avx2(x + r0 * d, scale, bias, y + r0 * d, d, epsilon, inv_d);
  }
  for (uint64_t r = r0; r < r1; ++r) {
    const float* xr = x + r * d;
    float* yr = y + r * d;
    float sum = 0.0f;
    for (uint64_t j = 0; j < d; ++j) sum += xr[j];
    const float mean = sum * inv_d;
    float ss = 0.0f;
    for (uint64_t j = 0; j < d; ++j) {
      const float c = xr[j] - mean;
      ss += c * c;
    }
    const float inv = 1.0f / std::sqrt(std::fma(ss, inv_d, epsilon));
    if (bias != nullptr) {
      for (uint64_t j = 0; j < d; ++j) yr[j] = std::fma((xr[j] - mean) * inv, scale[j], bias[j]);
    } else {
      for (uint64_t j = 0; j < d; ++j) yr[j] = ((xr[j] - mean) * inv) * scale[j];
    }
  }
}

// Rows go in groups so the running sums of several rows advance together: each sum still
// adds its row's values in order, one rounding per step, but the additions of different rows
// overlap instead of waiting on each other.
void layernorm_stepwise_rows(const float* x, const float* scale, const float* bias, float* y,
                             uint64_t r0, uint64_t r1, uint64_t d, float epsilon) {
  const float count = static_cast<float>(d);
  const bool simd = simd_enabled();
  for (uint64_t g = r0; g < r1; g += kStepwiseGroupRows) {
    const uint64_t rows = std::min<uint64_t>(kStepwiseGroupRows, r1 - g);
    if (simd && rows == kNormSimdRows) {
      layernorm_stepwise_rows8_avx2(x + g * d, scale, bias, y + g * d, d, epsilon);
      continue;
    }
    float sum[kStepwiseGroupRows] = {};
    for (uint64_t j = 0; j < d; ++j)
      for (uint64_t k = 0; k < rows; ++k) sum[k] = sum[k] + x[(g + k) * d + j];
    for (uint64_t k = 0; k < rows; ++k)
      vec_add_scalar(x + (g + k) * d, -(sum[k] / count), y + (g + k) * d, d);
    float ss[kStepwiseGroupRows] = {};
    for (uint64_t j = 0; j < d; ++j) {
      for (uint64_t k = 0; k < rows; ++k) {
        const float c = y[(g + k) * d + j];
        ss[k] = ss[k] + c * c;
      }
    }
    for (uint64_t k = 0; k < rows; ++k) {
      float* yr = y + (g + k) * d;
      cpu_div_by_scalar(yr, std::sqrt(ss[k] / count + epsilon), yr, d);
      vec_mul(yr, scale, yr, d);
      if (bias != nullptr) vec_add(yr, bias, yr, d);
    }
  }
}

}  // namespace

void cpu_layernorm_stepwise(const float* x, const float* scale, const float* bias, float* y,
                            uint64_t rows, uint64_t d, float epsilon) {
  if (d < 1 || rows == 0) return;
  const bool parallel = rows >= kLayerNormMinRows && rows * d >= kLayerNormMinWork;
  if (!parallel) {
    layernorm_stepwise_rows(x, scale, bias, y, 0, rows, d, epsilon);
    return;
  }
  // Whole groups per part keep the vector kernel busy; every row comes out the same either way.
  const uint64_t groups = (rows + kStepwiseGroupRows - 1) / kStepwiseGroupRows;
  const uint64_t chunk =
      (groups + kLayerNormParts - 1) / kLayerNormParts * kStepwiseGroupRows;
  cpu_parallel_for(kLayerNormParts, true, [&](int64_t part) {
    const uint64_t r0 = static_cast<uint64_t>(part) * chunk;
    if (r0 >= rows) return;
    const uint64_t r1 = r0 + chunk < rows ? r0 + chunk : rows;
    layernorm_stepwise_rows(x, scale, bias, y, r0, r1, d, epsilon);
  });
}

void cpu_layernorm(const float* x, const float* scale, const float* bias, float* y, uint64_t rows,
                   uint64_t d, float epsilon) {
  if (d < 1 || rows == 0) return;
  const float inv_d = 1.0f / static_cast<float>(d);
  const bool parallel = rows >= kLayerNormMinRows && rows * d >= kLayerNormMinWork;
  if (!parallel) {
    layernorm_rows(x, scale, bias, y, 0, rows, d, epsilon, inv_d);
    return;
  }
  const uint64_t groups = (rows + kNormSimdRows - 1) / kNormSimdRows;
  const uint64_t chunk = (groups + kLayerNormParts - 1) / kLayerNormParts * kNormSimdRows;
  cpu_parallel_for(kLayerNormParts, true, [&](int64_t part) {
    const uint64_t r0 = static_cast<uint64_t>(part) * chunk;
    if (r0 >= rows) return;
    const uint64_t r1 = r0 + chunk < rows ? r0 + chunk : rows;
    layernorm_rows(x, scale, bias, y, r0, r1, d, epsilon, inv_d);
  });
}

void cpu_batchnorm(const float* x, const float* scale, const float* shift, float* y,
                   uint64_t planes, uint64_t channels, uint64_t plane_size) {
  if (channels == 0) return;
  for (uint64_t p = 0; p < planes; ++p) {
    const uint64_t c = p % channels;
    const float s = scale[c], b = shift[c];
    const float* src = x + p * plane_size;
    float* dst = y + p * plane_size;
    for (uint64_t i = 0; i < plane_size; ++i) dst[i] = src[i] * s + b;
  }
}

void cpu_instancenorm(const float* x, const float* scale, const float* bias, float* y,
                      uint64_t planes, uint64_t channels, uint64_t plane_size, float epsilon) {
  if (channels == 0 || plane_size == 0) return;
  const float hw = static_cast<float>(plane_size);
  for (uint64_t p = 0; p < planes; ++p) {
    const uint64_t c = p % channels;
    const float* src = x + p * plane_size;
    float* dst = y + p * plane_size;
    float sum = 0.0f;
    for (uint64_t i = 0; i < plane_size; ++i) sum += src[i];
    const float mean = sum / hw;
    float ss = 0.0f;
    for (uint64_t i = 0; i < plane_size; ++i) {
      const float d = src[i] - mean;
      ss += d * d;
    }
    const float inv = 1.0f / std::sqrt(ss / hw + epsilon);
    for (uint64_t i = 0; i < plane_size; ++i)
      dst[i] = std::fma((src[i] - mean) * inv, scale[c], bias[c]);
  }
}

void cpu_norm_force_portable(bool on) { g_simd.force_portable(on); }

}  // namespace vexa::cpu
