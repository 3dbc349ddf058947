#include "cpu/ops/conv_depthwise_channels_kernel.h"

namespace vexa::cpu {

void depthwise_channels_avx2(const DepthwiseChannels& d, int64_t groups, const float* x,
                             const float* w, float* y, const float* bias,
                             const WindowEpilogue* epilogue, float* scratch) {
  // Eight positions at a time: eight sums and a tap's weights fill sixteen registers.
  depthwise_channels<8>(d, groups, x, w, y, bias, epilogue, scratch);
}

void maxpool_channels_avx2(const DepthwiseChannels& d, int64_t groups, const float* x, float* y,
                           float* scratch) {
  maxpool_channels<8>(d, groups, x, y, scratch);
}

}  // namespace vexa::cpu
