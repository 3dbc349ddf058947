// Low-precision study of the CPU engine: fake quantisation of weights, values and GEMM
// operands driven by environment variables, calibration ranges, and the int8 hooks (which
// report int8 as unavailable, so every product stays f32).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::cpu {

enum class QuantMode : uint32_t { kOff = 0, kF16 = 1, kI8 = 2, kI4 = 3, kU8 = 4, kU16 = 5 };

// "f16", "i8", "i4", "u8", "u16" by exact comparison; anything else (or null) is off.
QuantMode cpu_quant_mode_parse(const char* text);

// Round-to-nearest-even at 10 mantissa bits, saturating to infinity at 65520; subnormal
// halves keep multiples of 2^-24.
float cpu_round_to_f16(float x);

// Symmetric rounding of the whole tensor as one group (element stride `stride`).
void cpu_fakequant_tensor(float* data, uint64_t n, uint64_t stride, QuantMode mode);
// Symmetric rounding per row, in groups of `group` elements when 1 <= group <= row length.
void cpu_fakequant_grouped(float* data, uint64_t rows, uint64_t row_length, uint64_t row_stride,
                           uint64_t element_stride, QuantMode mode, int64_t group);

// Re-reads the environment and resets the process-wide study for the model just built.
// `values` are GraphValue records (15 words each), `nodes` GraphNode records (31 words
// each), `data` the value data pointers. Rounds the weights in place.
void cpu_fakequant_configure(const uint64_t (*values)[15], float* const* data,
                             uint64_t value_count, const uint64_t (*nodes)[31],
                             uint64_t node_count);
bool cpu_fakequant_enabled();
// Rounds, or collects the range of, one produced value.
void cpu_fakequant_activation(uint64_t value, float* data, uint64_t count, uint64_t op_kind);
// The operand to use in a GEMM: `a` itself, or a rounded dense copy (not transposed, leading
// dimension `cols`).
const float* cpu_fakequant_matrix_a(const float* a, bool transposed, int32_t rows, int32_t cols,
                                    int32_t ld);
const float* cpu_fakequant_matrix_b(const float* b, bool transposed, int32_t rows, int32_t cols,
                                    int32_t ld);
void cpu_calibration_write();
// Drops the study state and its scratch buffers (tests; process teardown).
void cpu_fakequant_reset();

// The erf kernels' vector approximation switch (VEXA_CPU_VMATH), read once.
bool cpu_vmath_enabled();
// Test hook: -1 re-reads the variable on next use, 0 / 1 force the switch.
void cpu_vmath_override(int state);

// int8 hooks: the probe reports no support, so the table stays empty and nothing is handled.
bool cpu_i8_probe();
bool cpu_i8_prepacked_present();
void cpu_i8_prepack(const uint64_t (*values)[15], float* const* data, uint64_t value_count,
                    const uint64_t (*nodes)[31], uint64_t node_count, bool weight_is_int8,
                    const float* calib, uint64_t calib_count);
bool cpu_i8_gemm_prepacked(int32_t order, int32_t trans_a, int32_t trans_b, int32_t m, int32_t n,
                           int32_t k, float alpha, const float* a, int32_t lda, const float* b,
                           int32_t ldb, float beta, float* c, int32_t ldc);
bool cpu_i8_conv1x1_fused(const uint64_t* node, const float* x, const float* w, float* y);
bool cpu_i8_scratch_reserve(uint64_t bytes);
void cpu_i8_stats_report();
bool cpu_i8_sigmoid(const float* in, float* out, uint64_t n);

}  // namespace vexa::cpu
