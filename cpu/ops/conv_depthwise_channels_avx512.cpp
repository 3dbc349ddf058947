// The channel-lane depthwise kernel built with AVX-512 enabled: the same eight-lane code,
// which the compiler can now give 32 vector registers, enough for sixteen sums.
#include "cpu/ops/conv_depthwise_channels_kernel.h"

namespace vexa::cpu {

void depthwise_channels_avx512(const DepthwiseChannels& d, int64_t groups, const float* x,
                               const float* w, float* y, const float* bias,
                               const WindowEpilogue* epilogue, float* scratch) {
  depthwise_channels<16>(d, groups, x, w, y, bias, epilogue, scratch);
}

void maxpool_channels_avx512(const DepthwiseChannels& d, int64_t groups, const float* x, float* y,
                             float* scratch) {
  maxpool_channels<16>(d, groups, x, y, scratch);
}

}  // namespace vexa::cpu
