// The compute kernels of the generative graph executor, by family. Each runs one whole dispatch
// on the software device: it reads the parameter block at index 3, checks that every element it
// will touch lies inside its bindings (and that ids and positions are in range), and fails the
// dispatch rather than reading or writing outside them. Per-element kernels cover
// min(grid threads, element count) elements, as threads at or past the count return at once.
//
// A is HalfActivation or FloatActivation (kernel_common.h). Orders of reduction that the
// results depend on are stated with each kernel; the rest are order-free.
#pragma once

#include "gpu/kernels/kernel_common.h"

namespace vexa {

// Lookups and conversions (lookup_kernels.cpp).
// y[i] = weight[ids[i / D]][i mod D]; ids outside the rows the weight binding holds fail.
template <typename A> void embedding_kernel(KernelDispatch& d);
// The same from q8 rows of u[2] bytes (values as halves, widened for float activations).
template <typename A> void embedding_q8_kernel(KernelDispatch& d);
// y (half) = the q8 value at (i / columns, i mod columns).
template <typename A> void dequant_q8_kernel(KernelDispatch& d);
// y (f32) = the half x widened.
template <typename A> void weights_float_kernel(KernelDispatch& d);

// Matrix-vector products (matvec_kernels.cpp): y[r] = A(dot + bias[r]) for rows
// r < min(N, ceil(threads / 32)), the dot taken as BandwidthKernels::dot_*_rows takes it.
// u[4] > 0 adds up to three more products over the same x in one dispatch (layout in
// matvec_kernels.cpp); the grid's rows are then taken from the products in order.
template <typename A> void matvec_kernel(KernelDispatch& d);
template <typename A> void matvec_q8_kernel(KernelDispatch& d);

// Tiled products (matmul_kernels.cpp): y = x weight^T over the tiles the grid covers, through
// the GEMM wrapper on widened f32 panels, then A(acc + bias[c]).
template <typename A> void matmul_kernel(KernelDispatch& d);
template <typename A> void matmul_rows64_kernel(KernelDispatch& d);
// f32 x and y, 64 x 64 tiles, no bias.
template <typename A> void matmul_direct64_kernel(KernelDispatch& d);
// y[i] = A(x[i] + bias[i mod N]).
template <typename A> void linear_bias_kernel(KernelDispatch& d);

// Element-wise (pointwise_kernels.cpp): op 3 add, 9 multiply (b broadcast by i mod u[1]),
// 7 GELU (tanh form), 8 SiLU, anything else copies; computed in f32, stored as A.
template <typename A> void pointwise_kernel(KernelDispatch& d);

// Layouts (layout_kernels.cpp): pure moves of A values.
template <typename A> void unfold_kernel(KernelDispatch& d);
template <typename A> void shuffle_kernel(KernelDispatch& d);
template <typename A> void attention_layout_kernel(KernelDispatch& d);
// Rows listed in the positions (first listing wins) take image rows; positions outside the
// rows of y fail.
template <typename A> void scatter_kernel(KernelDispatch& d);
template <typename A> void cache_append_kernel(KernelDispatch& d);

// Normalisation and rotary embedding (norm_kernels.cpp).
template <typename A> void norm_kernel(KernelDispatch& d);
template <typename A> void rope_kernel(KernelDispatch& d);

// Attention (attention_kernels.cpp, attention_tiled_kernels.cpp).
template <typename A> void attention_scale_mask_kernel(KernelDispatch& d);
template <typename A> void attention_softmax_kernel(KernelDispatch& d);
template <typename A> void attention_kernel(KernelDispatch& d);
template <typename A> void attention_decode64_kernel(KernelDispatch& d);
template <typename A> void attention_scores_kernel(KernelDispatch& d);
template <typename A> void attention_values_kernel(KernelDispatch& d);

#define VEXA_INSTANTIATE_KERNEL(name)                             \
  template void name<HalfActivation>(KernelDispatch & d);         \
  template void name<FloatActivation>(KernelDispatch & d)

}  // namespace vexa
