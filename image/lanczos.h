// Lanczos-3 resampling of packed RGB images along one axis, in 22-bit fixed point.
// A 2-D resize is two passes (horizontal, then vertical). Each pass spreads its output rows
// over three worker threads and the calling thread.
#pragma once

#include <cstdint>
#include <vector>

namespace vexa {

// Packed RGB8 pixels, 3 * width * height bytes, row r at 3 * width * r.
class ImageBuffer {
 public:
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t orientation = 1;
  std::vector<uint8_t> pixels;
};

// A zero-filled buffer with orientation 1. Throws std::runtime_error("Image dimensions") unless
// 1 <= width <= 32768, 1 <= height <= 32768 and width * height <= 100,000,000; the height is
// signed so that a negative one is refused. std::bad_alloc propagates.
ImageBuffer image_buffer_init(uint32_t width, int32_t height);

// Filter tables of one pass: for output i, bounds[2i] is the first source index and
// bounds[2i + 1] the number of taps used; weights[i * taps + k] is tap k in units of 2^-22.
struct ResampleWeights {
  uint32_t taps = 0;
  std::vector<int32_t> bounds;
  std::vector<int32_t> weights;
};

// Tables for resampling n source samples to target outputs (both >= 1).
ResampleWeights lanczos3_weights(uint32_t source_size, uint32_t target_size);

// What the four parts of a pass share, read-only.
struct ResampleJob {
  ImageBuffer* destination = nullptr;
  bool horizontal = true;
  const int32_t* bounds = nullptr;
  const ImageBuffer* source = nullptr;
  const int32_t* weights = nullptr;
  uint32_t taps = 0;
  // Vector kernels: when true the rows run on the AVX2 kernels, and a horizontal pass also
  // needs channel_weights (each weight repeated for R, G and B: 3 * taps per output).
  bool use_avx2 = false;
  const int32_t* channel_weights = nullptr;
};

// Number of interleaved parts of a pass: part p writes output rows p, p + 4, p + 8, ...
inline constexpr uint32_t kLanczosParts = 4;

// Resizes the width (horizontal) or the height to target; the other dimension is kept.
// Throws std::runtime_error("Image dimensions") for a bad target or result size, and also for a
// source whose fields do not describe a valid image.
ImageBuffer resize_lanczos3(const ImageBuffer& source, uint32_t target, bool horizontal);

// Computes the output rows part, part + 4, part + 8, ... of one pass.
void resize_lanczos3_part(const ResampleJob& job, uint32_t part);

// Test hook: thread creation for each part p in 1..3 whose bit (1 << p) is set fails as if the
// platform refused it, so the inline fallback runs. 0 restores normal threads.
void lanczos_fail_thread_starts_for_testing(uint32_t part_mask);

// Test hook: true makes every later pass use the portable kernels even on an AVX2 CPU.
void lanczos_force_portable_for_testing(bool portable);

// Whether passes started now would use the AVX2 kernels.
bool lanczos_uses_avx2();

}  // namespace vexa
