// The portable forms of the streaming inner loops, and the run-time choice among the forms.
#include "gpu/kernels/bandwidth_kernels.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "gpu/kernels/kernel_common.h"

namespace vexa {

namespace {

float q8_scale(const uint8_t* block) {
  float s;
  std::memcpy(&s, block + kQ8BlockValues, sizeof s);
  return s;
}

float q8_value(const uint8_t* row, uint64_t k) {
  const uint8_t* block = row + (k / kQ8BlockValues) * kQ8BlockBytes;
  const auto q = static_cast<int8_t>(block[k % kQ8BlockValues]);
  return f16_round_trip(static_cast<float>(q) * q8_scale(block));
}

void dot_f16_rows(const float* x, const uint16_t* w, uint64_t ld, uint64_t cols, uint64_t rows,
                  float* out) {
  for (uint64_t r = 0; r < rows; ++r) {
    const uint16_t* row = w + r * ld;
    float lanes[kSimdLanes] = {};
    for (uint64_t k = 0; k < cols; ++k) lanes[k % kSimdLanes] += x[k] * f16_widen(row[k]);
    out[r] = fold_lanes32(lanes);
  }
}

void dot_q8_rows(const float* x, const uint8_t* w, uint64_t row_bytes, uint64_t cols,
                 uint64_t rows, float* out) {
  for (uint64_t r = 0; r < rows; ++r) {
    const uint8_t* row = w + r * row_bytes;
    float lanes[kSimdLanes] = {};
    for (uint64_t k = 0; k < cols; ++k) {
      lanes[k % kSimdLanes] = std::fma(x[k], q8_value(row, k), lanes[k % kSimdLanes]);
    }
    out[r] = fold_lanes32(lanes);
  }
}

void widen_f16(const uint16_t* src, float* dst, uint64_t n) { f16_widen_row(src, dst, n); }

void narrow_f32(const float* src, uint16_t* dst, uint64_t n) { f16_round_row(src, dst, n); }

void widen_f16_transposed(const uint16_t* src, uint64_t ld, uint64_t rows, uint64_t cols,
                          float* dst, uint64_t ld_dst, bool /*past_caches*/) {
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t c = 0; c < cols; ++c) dst[c * ld_dst + r] = f16_widen(src[r * ld + c]);
  }
}

void q8_row_to_f16(const uint8_t* row, uint64_t cols, uint16_t* dst) {
  for (uint64_t k = 0; k < cols; ++k) {
    const uint8_t* block = row + (k / kQ8BlockValues) * kQ8BlockBytes;
    const auto q = static_cast<int8_t>(block[k % kQ8BlockValues]);
    dst[k] = f16_round_even(static_cast<float>(q) * q8_scale(block));
  }
}

void q8_row_to_f32(const uint8_t* row, uint64_t cols, float* dst) {
  for (uint64_t k = 0; k < cols; ++k) dst[k] = q8_value(row, k);
}

void q8_to_f32_transposed(const uint8_t* src, uint64_t row_bytes, uint64_t rows, uint64_t cols,
                          float* dst, uint64_t ld_dst) {
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t c = 0; c < cols; ++c) dst[c * ld_dst + r] = q8_value(src + r * row_bytes, c);
  }
}

template <typename K, typename Load>
void dots64(const float* q, const K* k, uint64_t keys, float* dots, Load load) {
  for (uint64_t j = 0; j < keys; ++j) {
    const K* key = k + j * 64;
    float lanes[kSimdLanes];
    for (uint64_t l = 0; l < kSimdLanes; ++l) {
      lanes[l] = q[l] * load(key[l]) + q[l + 32] * load(key[l + 32]);
    }
    dots[j] = fold_lanes32(lanes);
  }
}

template <typename V, typename Load>
void accumulate64(const float* p, const V* v, uint64_t keys, float* partial, Load load) {
  for (uint64_t j = 0; j < keys; ++j) {
    float* acc = partial + (j % 4) * 64;
    const V* value = v + j * 64;
    for (uint64_t c = 0; c < 64; ++c) acc[c] += p[j] * load(value[c]);
  }
}

void dots64_f16(const float* q, const uint16_t* k, uint64_t keys, float* dots) {
  dots64(q, k, keys, dots, f16_widen);
}
void dots64_f32(const float* q, const float* k, uint64_t keys, float* dots) {
  dots64(q, k, keys, dots, [](float v) { return v; });
}
void accumulate64_f16(const float* p, const uint16_t* v, uint64_t keys, float* partial) {
  accumulate64(p, v, keys, partial, f16_widen);
}
void accumulate64_f32(const float* p, const float* v, uint64_t keys, float* partial) {
  accumulate64(p, v, keys, partial, [](float x) { return x; });
}

template <bool kSquares>
float group_sum_lanes(const float* v, uint64_t n) {
  float lanes[kRowGroupThreads] = {};
  for (uint64_t i = 0; i < n; ++i) {
    lanes[i % kRowGroupThreads] += kSquares ? v[i] * v[i] : v[i];
  }
  float groups[kRowGroupThreads / kSimdLanes];
  for (uint64_t g = 0; g < kRowGroupThreads / kSimdLanes; ++g) {
    groups[g] = fold_lanes32(lanes + g * kSimdLanes);
  }
  return (groups[0] + groups[1]) + (groups[2] + groups[3]);
}

float group_sum128(const float* v, uint64_t n, bool squares) {
  return squares ? group_sum_lanes<true>(v, n) : group_sum_lanes<false>(v, n);
}

const BandwidthKernels kPortable = {
    dot_f16_rows,     dot_q8_rows,      widen_f16,        narrow_f32,
    widen_f16_transposed, q8_row_to_f16, q8_row_to_f32,   q8_to_f32_transposed,
    dots64_f16,       dots64_f32,       accumulate64_f16, accumulate64_f32,
    group_sum128,
};

std::once_flag g_once;
std::atomic<const BandwidthKernels*> g_active{nullptr};
std::atomic<IsaLevel> g_level{IsaLevel::kPortable};

IsaLevel best_level() {
  if (bandwidth_avx512_available()) return IsaLevel::kAvx512;
  if (bandwidth_avx2_available()) return IsaLevel::kAvx2;
  return IsaLevel::kPortable;
}

void select(IsaLevel level) {
  const BandwidthKernels* k = bandwidth_kernels_at(level);
  if (k == nullptr) {
    level = best_level();
    k = bandwidth_kernels_at(level);
  }
  g_level.store(level, std::memory_order_relaxed);
  g_active.store(k, std::memory_order_release);
}

void select_once() {
  std::call_once(g_once, [] {
    if (g_active.load(std::memory_order_acquire) == nullptr) select(best_level());
  });
}

}  // namespace

const BandwidthKernels& bandwidth_kernels_portable() { return kPortable; }

const BandwidthKernels* bandwidth_kernels_at(IsaLevel level) {
  switch (level) {
    case IsaLevel::kPortable: return &kPortable;
    case IsaLevel::kAvx2: return bandwidth_avx2_available() ? &bandwidth_kernels_avx2() : nullptr;
    case IsaLevel::kAvx512:
      return bandwidth_avx512_available() ? &bandwidth_kernels_avx512() : nullptr;
  }
  return nullptr;
}

const BandwidthKernels& bandwidth_kernels() {
  // Asked for once per row by the kernels: after the first choice, one load.
  if (const BandwidthKernels* k = g_active.load(std::memory_order_acquire)) return *k;
  select_once();
  return *g_active.load(std::memory_order_acquire);
}

void bandwidth_kernels_force(IsaLevel level) {
  select_once();
  select(level);
}

IsaLevel bandwidth_kernels_level() {
  select_once();
  return g_level.load(std::memory_order_relaxed);
}

}  // namespace vexa
