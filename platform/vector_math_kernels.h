// The dispatch table behind vector_math.h and the constants both of its paths share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::vecmath {

struct Kernels {
  void (*add)(const float*, const float*, float*, size_t);
  void (*sub)(const float*, const float*, float*, size_t);
  void (*mul)(const float*, const float*, float*, size_t);
  void (*div)(const float*, const float*, float*, size_t);
  void (*add_scalar)(const float*, float, float*, size_t);
  void (*mul_scalar)(const float*, float, float*, size_t);
  void (*scalar_div)(float, const float*, float*, size_t);
  void (*div_scalar)(const float*, float, float*, size_t);
  void (*mul_scalar_add)(const float*, float, const float*, float*, size_t);
  void (*mul_scalar_add_scalar)(const float*, float, float, float*, size_t);
  void (*neg)(const float*, float*, size_t);
  void (*max)(const float*, const float*, float*, size_t);
  void (*min)(const float*, const float*, float*, size_t);
  void (*zero_below)(const float*, float, float*, size_t);
  void (*clip)(const float*, float, float, float*, size_t);
  void (*exp)(const float*, float*, size_t);
  void (*sigmoid)(const float*, float*, size_t);
  void (*silu)(const float*, float*, size_t);
};

const Kernels& portable_kernels();
// Needs AVX2 and FMA; the dispatcher checks the CPU before using it.
const Kernels& avx2_kernels();
// Needs AVX-512F/BW/VL/DQ as well; the routines it has no 16-lane form of are the AVX2 ones.
const Kernels& avx512_kernels();

// exp(x) = 2^k * e^r with k = round(x * log2(e)) and r = x - k*ln2 in two fused steps
// (ln2 split into a float head and the remainder), e^r by its Taylor series to degree 7
// (truncation error below 0.1 ulp for |r| <= ln2/2), evaluated by fused Horner steps.
// Inputs are clamped to [kExpMinInput, kExpMaxInput] first: beyond them the result is
// already +inf or 0, and the clamp keeps 2^k representable as two factors 2^k1 * 2^k2.
inline constexpr float kExpMaxInput = 89.0f;
inline constexpr float kExpMinInput = -104.0f;
inline constexpr float kLog2E = 1.44269502f;
inline constexpr float kLn2Head = 0.693147182f;     // ln 2 rounded to float
inline constexpr float kLn2Tail = -1.90465421e-09f;  // ln 2 - kLn2Head
inline constexpr float kExpTaylor[8] = {1.0f,
                                        1.0f,
                                        0.5f,
                                        0.166666672f,     // 1/3!
                                        0.0416666679f,    // 1/4!
                                        0.00833333377f,   // 1/5!
                                        0.00138888892f,   // 1/6!
                                        0.000198412701f};  // 1/7!
// Inputs whose k lies in [-125, 127], where p x 2^k is a normal float: there the two-factor
// scaling is exact and equals adding k to p's exponent field, which the AVX2 kernel does
// for whole vectors inside these bounds.
inline constexpr float kExpDirectMin = -86.0f;
inline constexpr float kExpDirectMax = 88.0f;
inline constexpr int32_t kFloatExponentBias = 127;
inline constexpr int kFloatMantissaBits = 23;

}  // namespace vexa::vecmath
