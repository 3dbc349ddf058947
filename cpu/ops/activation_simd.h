// The rational erf shared by the scalar lane and the vector kernel, and the vector kernel
// itself (built only into the AVX2 file, chosen at run time).
#pragma once

#include <cstdint>

namespace vexa::cpu {

inline constexpr float kErfInvSqrt2 = 0.70710677f;
inline constexpr float kErfRationalClamp = 4.0f;
// Numerator and denominator in t^2, highest power first: erf(t) ~ t * P(t^2) / Q(t^2).
inline constexpr int kErfRationalPTerms = 7;
inline constexpr int kErfRationalQTerms = 5;
inline constexpr float kErfRationalP[kErfRationalPTerms] = {
    -2.72614225801306e-10f, 2.77068142495902e-08f,  -2.10102402082508e-06f,
    -5.69250639462346e-05f, -7.34990630326855e-04f, -2.95459980854025e-03f,
    -1.60960333262415e-02f};
inline constexpr float kErfRationalQ[kErfRationalQTerms] = {
    -1.45660718464996e-05f, -2.13374055278905e-04f, -1.68282697438203e-03f,
    -7.37332916720468e-03f, -1.42647390514189e-02f};

// True when the CPU runs AVX2 code.
bool activation_simd_available();

// out[i] = the rational erf of in[i] (gelu false) or x / 2 * (1 + erf(x / sqrt 2)) (gelu
// true) for i < n, bit for bit as the scalar lane computes them. Reads and writes only the n
// elements.
void erf_gelu_rational_avx2(const float* in, float* out, uint64_t n, bool gelu);

// The step-by-step GELU of n elements in one pass, each step the IEEE operation the separate
// nodes perform: t = x / divisor, e = the rational erf of t, a = e + 1, m = x * a,
// out = m * 0.5. out may equal in.
void gelu_stepwise_rational_avx2(const float* in, float* out, uint64_t n, float divisor);

}  // namespace vexa::cpu
