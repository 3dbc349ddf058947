#include "cpu/ops/conv_depthwise_kernel.h"

namespace vexa::cpu {

void depthwise_plane_direct_avx2(const DepthwiseDirect& d, const float* x, const float* w,
                                 float* y, float* scratch, const WindowEpilogue* epilogue) {
  // Four output rows of one block at a time: with sixteen vector registers, wider tiles
  // spill their sums.
  depthwise_plane_direct<4, 1>(d, x, w, y, scratch, epilogue);
}

}  // namespace vexa::cpu
