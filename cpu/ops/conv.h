// Convolution kernels: Conv through pointwise GEMM, banded im2col + GEMM or the direct
// depthwise loop, with a per-channel epilogue; ConvTranspose through GEMM + col2im.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::cpu {

// Epilogue after the raw convolution (node word [29] of a Conv).
enum ConvActivation : int64_t {
  kConvActNone = 0,
  kConvActRelu = 1,
  kConvActReluAffine = 2,  // ReLU, then per-channel scale and shift from a 3 x C_out table
  kConvActLeakyRelu = 3,
  // Set only when the engine is built, by fusing the node after the Conv:
  kConvActClip = 4,  // Clip; word [30] holds the lower bound's bits low, the upper's high
  kConvActSilu = 5,  // x * Sigmoid(x), rounded as the Sigmoid and Mul nodes round it
  kConvActProgram = 6,  // a chain of scalar steps; the table is bias (C_out), then the program
};

// Input slot of a residual the engine fused into a Conv (an Add after it), set only when the
// engine is built: a tensor of the output's shape added after the bias, before the activation.
inline constexpr uint32_t kConvResidualInput = 3;

// Steps of a fused element-wise chain after a Conv. The program is a step count followed by
// that many (step, a, b) triples of floats; each step is one IEEE operation per element, as
// the node it replaces computes it.
enum ConvTailStep : int32_t {
  kTailMul = 1,       // v * a
  kTailAdd = 2,       // v + a
  kTailDiv = 3,       // v / a
  kTailClip = 4,      // a if v < a, else b if v > b, else v
  kTailSave = 5,      // keep v for a later kTailMulSaved
  kTailMulSaved = 6,  // saved * v
};
inline constexpr int32_t kConvTailMaxSteps = 16;
inline constexpr int32_t kConvTailStepFloats = 3;
// Floats of the program part of the table: the count and the steps.
inline constexpr int32_t kConvTailProgramFloats = 1 + kConvTailMaxSteps * kConvTailStepFloats;

// Geometry of one Conv / ConvTranspose node. For ConvTranspose, c_in / h / w describe the
// node's input and c_out / oh / ow its (larger) output.
struct ConvGeometry {
  int32_t batch = 1;  // items processed one after another; 0 does nothing
  int32_t c_in = 0, h = 0, w = 0;
  int32_t c_out = 0, oh = 0, ow = 0;
  int32_t kh = 1, kw = 1;
  int32_t sh = 1, sw = 1;
  int32_t pt = 0, pl = 0;
  int32_t dh = 1, dw = 1;
  int32_t group = 1;
};

struct ConvEpilogue {
  int64_t activation = kConvActNone;
  float slope = 0.0f;            // leaky ReLU
  float clip_lo = 0.0f, clip_hi = 0.0f;
  const float* program = nullptr;  // mode 6: the step count and steps
  const float* table = nullptr;  // bias (C_out), or bias/scale/shift (3 x C_out) for mode 2
  // A tensor of the output's shape added after the bias and before the activation (a fused
  // residual Add). It lines up with the output element at `output_base`: cpu_conv2d sets that
  // for each batch item, cpu_conv_epilogue to its `y`.
  const float* residual = nullptr;
  const float* output_base = nullptr;
};

// Output rows per im2col band: all rows while the plane is below 65,536 outputs, else as
// many as keep the column matrix within 4,194,304 floats (at least one).
int32_t cpu_conv_band_rows(int32_t oh, int32_t ow, int64_t k);
// Scratch floats the Conv needs (largest band of the im2col or strided-pointwise gather).
uint64_t cpu_conv_workspace_floats(const ConvGeometry& g);
// Scratch floats the ConvTranspose needs (one group's column matrix).
uint64_t cpu_conv_transpose_workspace_floats(const ConvGeometry& g);

// Which path a Conv takes (exposed for tests and profiling).
enum class ConvPath { kPointwise, kStridedPointwise, kDepthwise, kIm2col };
ConvPath cpu_conv_path(const ConvGeometry& g, bool allow_depthwise);

// Raw convolution of every batch item into y followed by the epilogue. `weights` is
// C_out x (C_in / group) x KH x KW; `workspace` holds at least cpu_conv_workspace_floats(g).
// A residual in the epilogue covers every batch item, laid out as y.
void cpu_conv2d(const ConvGeometry& g, const float* x, const float* weights, float* y,
                const ConvEpilogue& epilogue, bool allow_depthwise, float* workspace,
                uint64_t workspace_floats);

// The epilogue alone over C_out planes of `plane` floats each; a residual lines up with y.
void cpu_conv_epilogue(float* y, int32_t c_out, int64_t plane, const ConvEpilogue& epilogue);
// The epilogue of n outputs of channel c starting at p, inside the batch item whose first
// output is epilogue.output_base (a residual lines up with that item).
void cpu_conv_epilogue_run(float* p, int64_t n, int64_t c, int64_t c_out,
                           const ConvEpilogue& epilogue);

// True when the epilogue is one a kernel can apply as it stores: the bias (a table of C_out)
// or none, then the residual or none, then ReLU (mode 1), Clip to [lo, hi] (mode 2) or
// nothing (mode 0).
bool cpu_conv_store_epilogue(const ConvEpilogue& e, int32_t* mode, float* lo, float* hi);

// Depthwise convolution of one channel plane (the portable loop and the dispatched one).
void cpu_depthwise_plane_reference(const ConvGeometry& g, const float* x, const float* w, float* y);
void cpu_depthwise_plane(const ConvGeometry& g, const float* x, const float* w, float* y);
// Forces the portable depthwise loop (tests compare the two paths).
void cpu_conv_force_portable(bool on);

// ConvTranspose: `weights` is C_in x (C_out / group) x KH x KW, `bias` C_out or null; with
// relu the output is thresholded at 0 after col2im.
void cpu_conv_transpose2d(const ConvGeometry& g, const float* x, const float* weights,
                          const float* bias, bool relu, float* y, float* workspace,
                          uint64_t workspace_floats);

}  // namespace vexa::cpu
