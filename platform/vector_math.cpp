#include "platform/vector_math.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <mutex>

#include "platform/vector_math_kernels.h"

namespace vexa {
namespace vecmath {
namespace {

float pow2(int32_t k) {
  return std::bit_cast<float>(static_cast<uint32_t>(k + kFloatExponentBias) << kFloatMantissaBits);
}

// The same sequence of roundings as the AVX2 kernel, lane by lane.
float exp_one(float x) {
  if (std::isnan(x)) return x;
  const float c = x < kExpMinInput ? kExpMinInput : (x > kExpMaxInput ? kExpMaxInput : x);
  const float k = std::nearbyint(c * kLog2E);
  float r = std::fma(-k, kLn2Head, c);
  r = std::fma(-k, kLn2Tail, r);
  float p = kExpTaylor[7];
  for (int i = 6; i >= 0; --i) p = std::fma(p, r, kExpTaylor[i]);
  const int32_t ki = static_cast<int32_t>(k);
  const int32_t k1 = ki >> 1;  // floor(k / 2): both halves stay in the normal exponent range
  return (p * pow2(k1)) * pow2(ki - k1);
}

// cond ? x : y without a branch: activations are signed at random and a mispredicted
// branch per element costs more than the arithmetic.
inline float select(bool cond, float x, float y) {
  const uint32_t mask = 0u - static_cast<uint32_t>(cond);
  return std::bit_cast<float>((std::bit_cast<uint32_t>(x) & mask) |
                              (std::bit_cast<uint32_t>(y) & ~mask));
}

void add(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
}
void sub(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] - b[i];
}
void mul(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] * b[i];
}
void div(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] / b[i];
}
void add_scalar(const float* a, float s, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] + s;
}
void mul_scalar(const float* a, float s, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] * s;
}
void scalar_div(float s, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = s / b[i];
}
void div_scalar(const float* a, float s, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] / s;
}
void mul_scalar_add(const float* a, float s, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] * s + b[i];
}
void mul_scalar_add_scalar(const float* a, float s, float t, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] * s + t;
}
void neg(const float* a, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = -a[i];
}
void max(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = select(a[i] >= b[i], a[i], b[i]);
}
void min(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = select(a[i] <= b[i], a[i], b[i]);
}
void zero_below(const float* a, float t, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = select(a[i] >= t, a[i], 0.0f);
}
void clip(const float* a, float lo, float hi, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float x = a[i];
    out[i] = select(x < lo, lo, select(x > hi, hi, x));
  }
}
void exp(const float* a, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = exp_one(a[i]);
}
float sigmoid_one(float x) { return 1.0f / (exp_one(-x) + 1.0f); }
void sigmoid(const float* a, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = sigmoid_one(a[i]);
}
void silu(const float* a, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = std::isnan(a[i]) ? a[i] : a[i] * sigmoid_one(a[i]);
}

const Kernels kPortable = {add,        sub,        mul,        div,
                           add_scalar, mul_scalar, scalar_div, div_scalar,
                           mul_scalar_add, mul_scalar_add_scalar, neg, max, min, zero_below,
                           clip,       exp,        sigmoid,    silu};

}  // namespace

const Kernels& portable_kernels() { return kPortable; }

}  // namespace vecmath

namespace {

std::atomic<const vecmath::Kernels*> g_active{nullptr};

bool has_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
bool has_avx512() {
  return has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}

// The table of one path; null when the CPU lacks it.
const vecmath::Kernels* path_kernels(VectorPath path) {
  __builtin_cpu_init();
  switch (path) {
    case VectorPath::kPortable: return &vecmath::portable_kernels();
    case VectorPath::kAvx2: return has_avx2() ? &vecmath::avx2_kernels() : nullptr;
    case VectorPath::kAvx512: return has_avx512() ? &vecmath::avx512_kernels() : nullptr;
  }
  return nullptr;
}

const vecmath::Kernels* best_kernels() {
  static const vecmath::Kernels* best = [] {
    for (VectorPath p : {VectorPath::kAvx512, VectorPath::kAvx2}) {
      if (const vecmath::Kernels* k = path_kernels(p)) return k;
    }
    return &vecmath::portable_kernels();
  }();
  return best;
}

const vecmath::Kernels& kernels() {
  const vecmath::Kernels* k = g_active.load(std::memory_order_acquire);
  if (k == nullptr) {
    const vecmath::Kernels* expected = nullptr;
    g_active.compare_exchange_strong(expected, best_kernels(), std::memory_order_acq_rel);
    k = g_active.load(std::memory_order_acquire);
  }
  return *k;
}

}  // namespace

void vec_add(const float* a, const float* b, float* out, size_t n) { kernels().add(a, b, out, n); }
void vec_sub(const float* a, const float* b, float* out, size_t n) { kernels().sub(a, b, out, n); }
void vec_mul(const float* a, const float* b, float* out, size_t n) { kernels().mul(a, b, out, n); }
void vec_div(const float* a, const float* b, float* out, size_t n) { kernels().div(a, b, out, n); }
void vec_add_scalar(const float* a, float s, float* out, size_t n) {
  kernels().add_scalar(a, s, out, n);
}
void vec_mul_scalar(const float* a, float s, float* out, size_t n) {
  kernels().mul_scalar(a, s, out, n);
}
void vec_scalar_div(float s, const float* b, float* out, size_t n) {
  kernels().scalar_div(s, b, out, n);
}
void vec_div_scalar(const float* a, float s, float* out, size_t n) {
  kernels().div_scalar(a, s, out, n);
}
void vec_mul_scalar_add(const float* a, float s, const float* b, float* out, size_t n) {
  kernels().mul_scalar_add(a, s, b, out, n);
}
void vec_mul_scalar_add_scalar(const float* a, float s, float t, float* out, size_t n) {
  kernels().mul_scalar_add_scalar(a, s, t, out, n);
}
void vec_neg(const float* a, float* out, size_t n) { kernels().neg(a, out, n); }
void vec_max(const float* a, const float* b, float* out, size_t n) { kernels().max(a, b, out, n); }
void vec_min(const float* a, const float* b, float* out, size_t n) { kernels().min(a, b, out, n); }
void vec_zero_below(const float* a, float t, float* out, size_t n) {
  kernels().zero_below(a, t, out, n);
}
void vec_clip(const float* a, float lo, float hi, float* out, size_t n) {
  kernels().clip(a, lo, hi, out, n);
}
void vec_exp(const float* a, float* out, size_t n) { kernels().exp(a, out, n); }
void vec_sigmoid(const float* a, float* out, size_t n) { kernels().sigmoid(a, out, n); }
void vec_silu(const float* a, float* out, size_t n) { kernels().silu(a, out, n); }

void vec_add_strided(const float* a, ptrdiff_t sa, const float* b, ptrdiff_t sb, float* out,
                     ptrdiff_t so, size_t n) {
  if (sa == 1 && sb == 1 && so == 1) {
    vec_add(a, b, out, n);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    const ptrdiff_t k = static_cast<ptrdiff_t>(i);
    out[k * so] = a[k * sa] + b[k * sb];
  }
}

void vector_math_force_portable(bool portable) {
  g_active.store(portable ? &vecmath::portable_kernels() : best_kernels(),
                 std::memory_order_release);
}

bool vector_math_force_path(VectorPath path) {
  const vecmath::Kernels* k = path_kernels(path);
  if (k == nullptr) return false;
  g_active.store(k, std::memory_order_release);
  return true;
}

VectorPath vector_math_path() {
  const vecmath::Kernels* k = &kernels();
  if (k == &vecmath::portable_kernels()) return VectorPath::kPortable;
  return k == &vecmath::avx2_kernels() ? VectorPath::kAvx2 : VectorPath::kAvx512;
}

const char* vector_math_path_name(VectorPath path) {
  switch (path) {
    case VectorPath::kPortable: return "portable";
    case VectorPath::kAvx2: return "avx2";
    case VectorPath::kAvx512: return "avx512";
  }
  return "?";
}

}  // namespace vexa
