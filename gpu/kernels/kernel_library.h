// The device programs of the GPU backends, as kernel sources for the software device.
#pragma once

#include <cstdint>

#include "platform/software_device.h"

namespace vexa {

// The read-back checksum program: one kernel, "touch_all".
const KernelSource& weights_kernel_source();

// The generative graph executor's program: the 24 kernels, in the order the executor builds
// their pipelines.
const KernelSource& graph_kernel_source();
inline constexpr uint64_t kGraphKernelCount = 24;
inline constexpr const char* kGraphKernelNames[kGraphKernelCount] = {
    "embedding",        "embedding_q8",         "dequant_q8",        "matvec_q8",
    "pointwise",        "unfold",               "matvec",            "matmul",
    "matmul_rows64",    "matmul_direct64",      "linear_bias",       "weights_float",
    "attention_layout", "attention_scale_mask", "norm",              "rope",
    "shuffle",          "scatter",              "cache_append",      "attention",
    "attention_decode64", "attention_scores",   "attention_softmax", "attention_values",
};

void touch_all_kernel(KernelDispatch& d);

}  // namespace vexa
