#include "gpu/kernels/kernel_library.h"

#include <cstring>

#include "gpu/kernels/graph_kernels.h"

namespace vexa {

namespace {

// The checksum folds raw words, so both instantiations are one function.
const KernelEntry kWeightsKernels[] = {{"touch_all", touch_all_kernel, touch_all_kernel}};

#define VEXA_KERNEL_ENTRY(name, fn) {name, fn<HalfActivation>, fn<FloatActivation>}

const KernelEntry kGraphKernels[] = {
    VEXA_KERNEL_ENTRY("embedding", embedding_kernel),
    VEXA_KERNEL_ENTRY("embedding_q8", embedding_q8_kernel),
    VEXA_KERNEL_ENTRY("dequant_q8", dequant_q8_kernel),
    VEXA_KERNEL_ENTRY("matvec_q8", matvec_q8_kernel),
    VEXA_KERNEL_ENTRY("pointwise", pointwise_kernel),
    VEXA_KERNEL_ENTRY("unfold", unfold_kernel),
    VEXA_KERNEL_ENTRY("matvec", matvec_kernel),
    VEXA_KERNEL_ENTRY("matmul", matmul_kernel),
    VEXA_KERNEL_ENTRY("matmul_rows64", matmul_rows64_kernel),
    VEXA_KERNEL_ENTRY("matmul_direct64", matmul_direct64_kernel),
    VEXA_KERNEL_ENTRY("linear_bias", linear_bias_kernel),
    VEXA_KERNEL_ENTRY("weights_float", weights_float_kernel),
    VEXA_KERNEL_ENTRY("attention_layout", attention_layout_kernel),
    VEXA_KERNEL_ENTRY("attention_scale_mask", attention_scale_mask_kernel),
    VEXA_KERNEL_ENTRY("norm", norm_kernel),
    VEXA_KERNEL_ENTRY("rope", rope_kernel),
    VEXA_KERNEL_ENTRY("shuffle", shuffle_kernel),
    VEXA_KERNEL_ENTRY("scatter", scatter_kernel),
    VEXA_KERNEL_ENTRY("cache_append", cache_append_kernel),
    VEXA_KERNEL_ENTRY("attention", attention_kernel),
    VEXA_KERNEL_ENTRY("attention_decode64", attention_decode64_kernel),
    VEXA_KERNEL_ENTRY("attention_scores", attention_scores_kernel),
    VEXA_KERNEL_ENTRY("attention_softmax", attention_softmax_kernel),
    VEXA_KERNEL_ENTRY("attention_values", attention_values_kernel),
};
static_assert(std::size(kGraphKernels) == kGraphKernelCount);

#undef VEXA_KERNEL_ENTRY

}  // namespace

const KernelSource& weights_kernel_source() {
  static const KernelSource source{"vexa_weights", kWeightsKernels, std::size(kWeightsKernels)};
  return source;
}

const KernelSource& graph_kernel_source() {
  static const KernelSource source{"vexa_graph", kGraphKernels, std::size(kGraphKernels)};
  return source;
}

}  // namespace vexa
