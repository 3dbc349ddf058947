#include "cpu/ops/conv_depthwise_kernel.h"

namespace vexa::cpu {

void depthwise_planes_direct_avx2(const DepthwiseDirect& d, int64_t channels, const float* x,
                                  const float* w, float* y, const float* bias,
                                  const WindowEpilogue* epilogue, float* scratch) {
  // Four output rows of one block at a time: with sixteen vector registers, wider tiles
  // spill their sums.
  depthwise_planes_direct<4, 1>(d, channels, x, w, y, bias, epilogue, scratch);
}

}  // namespace vexa::cpu
