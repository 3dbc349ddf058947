// AVX2 + FMA kernels of vector_math.h. Built with -mavx2 -mfma; only called after the
// dispatcher has checked the CPU. Tails use masked loads and stores, so nothing past n is
// read or written.
#include <immintrin.h>

#include "platform/vector_math_kernels.h"

namespace vexa::vecmath {
namespace {

constexpr size_t kLanes = 8;

inline __m256i tail_mask(size_t remaining) {
  static const int32_t kMaskSource[2 * kLanes] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                  0,  0,  0,  0,  0,  0,  0,  0};
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMaskSource + kLanes - remaining));
}

template <typename Op>
inline void map1(const float* a, float* out, size_t n, Op op) {
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) _mm256_storeu_ps(out + i, op(_mm256_loadu_ps(a + i)));
  if (i < n) {
    const __m256i m = tail_mask(n - i);
    _mm256_maskstore_ps(out + i, m, op(_mm256_maskload_ps(a + i, m)));
  }
}

template <typename Op>
inline void map2(const float* a, const float* b, float* out, size_t n, Op op) {
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    _mm256_storeu_ps(out + i, op(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  if (i < n) {
    const __m256i m = tail_mask(n - i);
    _mm256_maskstore_ps(out + i, m, op(_mm256_maskload_ps(a + i, m), _mm256_maskload_ps(b + i, m)));
  }
}

inline __m256 pow2(__m256i k) {
  return _mm256_castsi256_ps(_mm256_slli_epi32(
      _mm256_add_epi32(k, _mm256_set1_epi32(kFloatExponentBias)), kFloatMantissaBits));
}

// e^c = 2^k x p for c already inside the clamp bounds: k = round(c log2 e) and p = e^r by the
// Taylor polynomial of r = c - k ln2 (two fused steps).
inline __m256 exp_reduced(__m256 c, __m256* k) {
  *k = _mm256_round_ps(_mm256_mul_ps(c, _mm256_set1_ps(kLog2E)),
                       _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m256 r = _mm256_fnmadd_ps(*k, _mm256_set1_ps(kLn2Head), c);
  r = _mm256_fnmadd_ps(*k, _mm256_set1_ps(kLn2Tail), r);
  __m256 p = _mm256_set1_ps(kExpTaylor[7]);
  for (int i = 6; i >= 0; --i) p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpTaylor[i]));
  return p;
}

// The general case: any input, including the clamp, NaN and results in the subnormals.
inline __m256 exp8_any(__m256 x) {
  const __m256 c =
      _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(kExpMinInput)), _mm256_set1_ps(kExpMaxInput));
  __m256 k;
  const __m256 p = exp_reduced(c, &k);
  const __m256i ki = _mm256_cvtps_epi32(k);
  const __m256i k1 = _mm256_srai_epi32(ki, 1);
  const __m256 y = _mm256_mul_ps(_mm256_mul_ps(p, pow2(k1)), pow2(_mm256_sub_epi32(ki, k1)));
  // The clamp turned NaN into a number; give the input back for those lanes.
  return _mm256_blendv_ps(y, x, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
}

// Activations almost always lie well inside the normal range, where neither the clamp nor
// the NaN lanes nor the split scaling is needed: the same roundings in fewer instructions.
inline __m256 exp8(__m256 x) {
  const __m256 inside = _mm256_and_ps(_mm256_cmp_ps(x, _mm256_set1_ps(kExpDirectMin), _CMP_GE_OQ),
                                      _mm256_cmp_ps(x, _mm256_set1_ps(kExpDirectMax), _CMP_LE_OQ));
  if (_mm256_movemask_ps(inside) != 0xff) return exp8_any(x);
  __m256 k;
  const __m256 p = exp_reduced(x, &k);
  const __m256i shift = _mm256_slli_epi32(_mm256_cvtps_epi32(k), kFloatMantissaBits);
  return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(p), shift));
}

inline __m256 sigmoid8(__m256 x) {
  const __m256 one = _mm256_set1_ps(1.0f);
  return _mm256_div_ps(one, _mm256_add_ps(exp8(_mm256_xor_ps(x, _mm256_set1_ps(-0.0f))), one));
}

void add(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m256 x, __m256 y) { return _mm256_add_ps(x, y); });
}
void sub(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m256 x, __m256 y) { return _mm256_sub_ps(x, y); });
}
void mul(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m256 x, __m256 y) { return _mm256_mul_ps(x, y); });
}
void div(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m256 x, __m256 y) { return _mm256_div_ps(x, y); });
}
void add_scalar(const float* a, float s, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s);
  map1(a, out, n, [vs](__m256 x) { return _mm256_add_ps(x, vs); });
}
void mul_scalar(const float* a, float s, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s);
  map1(a, out, n, [vs](__m256 x) { return _mm256_mul_ps(x, vs); });
}
void scalar_div(float s, const float* b, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s);
  map1(b, out, n, [vs](__m256 x) { return _mm256_div_ps(vs, x); });
}
void div_scalar(const float* a, float s, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s);
  map1(a, out, n, [vs](__m256 x) { return _mm256_div_ps(x, vs); });
}
void mul_scalar_add(const float* a, float s, const float* b, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s);
  map2(a, b, out, n, [vs](__m256 x, __m256 y) { return _mm256_add_ps(_mm256_mul_ps(x, vs), y); });
}
void mul_scalar_add_scalar(const float* a, float s, float t, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s), vt = _mm256_set1_ps(t);
  map1(a, out, n, [vs, vt](__m256 x) { return _mm256_add_ps(_mm256_mul_ps(x, vs), vt); });
}
void neg(const float* a, float* out, size_t n) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  map1(a, out, n, [sign](__m256 x) { return _mm256_xor_ps(x, sign); });
}
void max(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n,
       [](__m256 x, __m256 y) { return _mm256_blendv_ps(y, x, _mm256_cmp_ps(x, y, _CMP_GE_OQ)); });
}
void min(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n,
       [](__m256 x, __m256 y) { return _mm256_blendv_ps(y, x, _mm256_cmp_ps(x, y, _CMP_LE_OQ)); });
}
void zero_below(const float* a, float t, float* out, size_t n) {
  const __m256 vt = _mm256_set1_ps(t);
  map1(a, out, n, [vt](__m256 x) { return _mm256_and_ps(x, _mm256_cmp_ps(x, vt, _CMP_GE_OQ)); });
}
void clip(const float* a, float lo, float hi, float* out, size_t n) {
  const __m256 vlo = _mm256_set1_ps(lo), vhi = _mm256_set1_ps(hi);
  map1(a, out, n, [vlo, vhi](__m256 x) {
    const __m256 upper = _mm256_blendv_ps(x, vhi, _mm256_cmp_ps(x, vhi, _CMP_GT_OQ));
    return _mm256_blendv_ps(upper, vlo, _mm256_cmp_ps(x, vlo, _CMP_LT_OQ));
  });
}
void exp(const float* a, float* out, size_t n) { map1(a, out, n, exp8); }
void sigmoid(const float* a, float* out, size_t n) { map1(a, out, n, sigmoid8); }
void silu(const float* a, float* out, size_t n) {
  map1(a, out, n, [](__m256 x) {
    // A NaN input comes back itself: which operand's NaN a product keeps is the compiler's
    // choice, and both paths must give the same bits.
    return _mm256_blendv_ps(_mm256_mul_ps(x, sigmoid8(x)), x, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
  });
}

const Kernels kAvx2 = {add,
                       sub,
                       mul,
                       div,
                       add_scalar,
                       mul_scalar,
                       scalar_div,
                       div_scalar,
                       mul_scalar_add,
                       mul_scalar_add_scalar,
                       neg,
                       max,
                       min,
                       zero_below,
                       clip,
                       exp,
                       sigmoid,
                       silu};

}  // namespace

const Kernels& avx2_kernels() { return kAvx2; }

}  // namespace vexa::vecmath
