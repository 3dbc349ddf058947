// Node decoding of the Gemm, MatMul, Conv and ConvTranspose cases (registered with the op
// table as the "gemm_conv" family).
#pragma once

#include <cstdint>

#include "cpu/graph_records.h"
#include "cpu/ops/conv.h"

namespace vexa::cpu {

// Node words of these cases.
inline constexpr uint32_t kConvWordKernelH = 15;
inline constexpr uint32_t kConvWordKernelW = 16;
inline constexpr uint32_t kConvWordStrideH = 17;
inline constexpr uint32_t kConvWordStrideW = 18;
inline constexpr uint32_t kConvWordPadTop = 19;
inline constexpr uint32_t kConvWordPadLeft = 20;
inline constexpr uint32_t kConvWordDilationH = 23;
inline constexpr uint32_t kConvWordDilationW = 24;
inline constexpr uint32_t kConvWordGroup = 25;
inline constexpr uint32_t kConvWordNoDepthwise = 27;
inline constexpr uint32_t kConvWordActivation = 29;
inline constexpr uint32_t kConvWordSlope = 30;
inline constexpr uint32_t kGemmWordTransA = 27;
inline constexpr uint32_t kGemmWordTransB = 28;
inline constexpr uint32_t kGemmWordAlpha = 29;
inline constexpr uint32_t kGemmWordBeta = 30;
inline constexpr uint32_t kMatMulWordLayout = 27;

// Geometry of a Conv or ConvTranspose node from its words and the records of input 0 and
// output 0 (rank-4 NCHW; the caller has checked the ranks).
ConvGeometry cpu_conv_node_geometry(const CpuNode& node, const CpuValue& x, const CpuValue& y);

// Scratch bytes a Conv or ConvTranspose node needs from the shared im2col workspace; 0 for
// other kinds and for Conv paths that need none.
uint64_t cpu_conv_node_workspace_bytes(const CpuNode& node, const CpuValue* values,
                                       uint64_t value_count);

}  // namespace vexa::cpu
