#include "gpu/kernels/kernel_library.h"

namespace vexa {

namespace {

// The checksum folds raw words, so both instantiations are one function.
const KernelEntry kWeightsKernels[] = {{"touch_all", touch_all_kernel, touch_all_kernel}};

}  // namespace

const KernelSource& weights_kernel_source() {
  static const KernelSource source{"vexa_weights", kWeightsKernels, std::size(kWeightsKernels)};
  return source;
}

}  // namespace vexa
