// AVX-512 forms of the routines where 16 lanes pay: exp and what is built on it (sigmoid, silu)
// and the element-wise operations the kernels run row by row (add, multiply, divide, and
// their scalar forms). The others stay the AVX2 forms.
// Built with AVX-512F/BW/VL/DQ and FMA; only called after the dispatcher has checked the CPU.
// The roundings are the AVX2 forms' step for step, so the bits are the same; tails use masked
// loads and stores, so nothing past n is read or written.
#include <immintrin.h>

// GCC 12 reports the intrinsics' own undefined pass-through operands (the unmasked forms fill
// them with _mm512_undefined_*) as maybe-uninitialised when they are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include "platform/vector_math_kernels.h"

namespace vexa::vecmath {
namespace {

constexpr size_t kLanes = 16;

inline __mmask16 tail_mask(size_t remaining) {
  return static_cast<__mmask16>((1u << remaining) - 1u);
}

template <typename Op>
inline void map1(const float* a, float* out, size_t n, Op op) {
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) _mm512_storeu_ps(out + i, op(_mm512_loadu_ps(a + i)));
  if (i < n) {
    const __mmask16 m = tail_mask(n - i);
    _mm512_mask_storeu_ps(out + i, m, op(_mm512_maskz_loadu_ps(m, a + i)));
  }
}

template <typename Op>
inline void map2(const float* a, const float* b, float* out, size_t n, Op op) {
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    _mm512_storeu_ps(out + i, op(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i)));
  }
  if (i < n) {
    const __mmask16 m = tail_mask(n - i);
    _mm512_mask_storeu_ps(out + i, m,
                          op(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i)));
  }
}

inline __m512 pow2(__m512i k) {
  return _mm512_castsi512_ps(_mm512_slli_epi32(
      _mm512_add_epi32(k, _mm512_set1_epi32(kFloatExponentBias)), kFloatMantissaBits));
}

// As the AVX2 form: k = round(c log2 e) to nearest even, r = c - k ln2 in two fused steps, the
// Taylor polynomial by fused Horner steps.
inline __m512 exp_reduced(__m512 c, __m512* k) {
  *k = _mm512_roundscale_ps(_mm512_mul_ps(c, _mm512_set1_ps(kLog2E)),
                            _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m512 r = _mm512_fnmadd_ps(*k, _mm512_set1_ps(kLn2Head), c);
  r = _mm512_fnmadd_ps(*k, _mm512_set1_ps(kLn2Tail), r);
  __m512 p = _mm512_set1_ps(kExpTaylor[7]);
  for (int i = 6; i >= 0; --i) p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpTaylor[i]));
  return p;
}

// Any input: the clamp (a NaN lane takes the bound, as the AVX2 max and min give it), the
// two-factor scaling, and NaN lanes given back.
inline __m512 exp16_any(__m512 x) {
  const __m512 c =
      _mm512_min_ps(_mm512_max_ps(x, _mm512_set1_ps(kExpMinInput)), _mm512_set1_ps(kExpMaxInput));
  __m512 k;
  const __m512 p = exp_reduced(c, &k);
  const __m512i ki = _mm512_cvtps_epi32(k);
  const __m512i k1 = _mm512_srai_epi32(ki, 1);
  const __m512 y = _mm512_mul_ps(_mm512_mul_ps(p, pow2(k1)), pow2(_mm512_sub_epi32(ki, k1)));
  return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q), y, x);
}

// Whole vectors inside the direct-scaling bounds add k to p's exponent field.
inline __m512 exp16(__m512 x) {
  const __mmask16 inside = _mm512_cmp_ps_mask(x, _mm512_set1_ps(kExpDirectMin), _CMP_GE_OQ) &
                           _mm512_cmp_ps_mask(x, _mm512_set1_ps(kExpDirectMax), _CMP_LE_OQ);
  if (inside != 0xffff) return exp16_any(x);
  __m512 k;
  const __m512 p = exp_reduced(x, &k);
  const __m512i shift = _mm512_slli_epi32(_mm512_cvtps_epi32(k), kFloatMantissaBits);
  return _mm512_castsi512_ps(_mm512_add_epi32(_mm512_castps_si512(p), shift));
}

inline __m512 sigmoid16(__m512 x) {
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 neg = _mm512_castsi512_ps(
      _mm512_xor_si512(_mm512_castps_si512(x), _mm512_set1_epi32(static_cast<int>(0x80000000u))));
  return _mm512_div_ps(one, _mm512_add_ps(exp16(neg), one));
}

void add(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m512 x, __m512 y) { return _mm512_add_ps(x, y); });
}
void mul(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m512 x, __m512 y) { return _mm512_mul_ps(x, y); });
}
void div(const float* a, const float* b, float* out, size_t n) {
  map2(a, b, out, n, [](__m512 x, __m512 y) { return _mm512_div_ps(x, y); });
}
void add_scalar(const float* a, float s, float* out, size_t n) {
  const __m512 vs = _mm512_set1_ps(s);
  map1(a, out, n, [vs](__m512 x) { return _mm512_add_ps(x, vs); });
}
void mul_scalar(const float* a, float s, float* out, size_t n) {
  const __m512 vs = _mm512_set1_ps(s);
  map1(a, out, n, [vs](__m512 x) { return _mm512_mul_ps(x, vs); });
}
void div_scalar(const float* a, float s, float* out, size_t n) {
  const __m512 vs = _mm512_set1_ps(s);
  map1(a, out, n, [vs](__m512 x) { return _mm512_div_ps(x, vs); });
}
void exp(const float* a, float* out, size_t n) { map1(a, out, n, exp16); }
void sigmoid(const float* a, float* out, size_t n) { map1(a, out, n, sigmoid16); }
void silu(const float* a, float* out, size_t n) {
  map1(a, out, n, [](__m512 x) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q),
                                _mm512_mul_ps(x, sigmoid16(x)), x);
  });
}

Kernels make_avx512() {
  Kernels k = avx2_kernels();
  k.add = add;
  k.mul = mul;
  k.div = div;
  k.add_scalar = add_scalar;
  k.mul_scalar = mul_scalar;
  k.div_scalar = div_scalar;
  k.exp = exp;
  k.sigmoid = sigmoid;
  k.silu = silu;
  return k;
}

}  // namespace

const Kernels& avx512_kernels() {
  static const Kernels kAvx512 = make_avx512();
  return kAvx512;
}

}  // namespace vexa::vecmath
