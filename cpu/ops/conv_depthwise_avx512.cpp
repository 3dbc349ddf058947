// The direct depthwise kernel built with AVX-512 enabled: the same eight-lane code, which
// the compiler can now give 32 vector registers, enough for the weights and eight sums, so
// the taps are the only loads.
#include "cpu/ops/conv_depthwise_kernel.h"

namespace vexa::cpu {

bool depthwise_direct_avx512_available() {
  return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
}

void depthwise_planes_direct_avx512(const DepthwiseDirect& d, int64_t channels, const float* x,
                                    const float* w, float* y, const float* bias,
                                    const WindowEpilogue* epilogue, float* scratch) {
  depthwise_planes_direct<4, 2>(d, channels, x, w, y, bias, epilogue, scratch);
}

}  // namespace vexa::cpu
