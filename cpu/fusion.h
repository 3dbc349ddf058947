// Prepare-time rewrites of a CPU state's node list: BatchNormalization folded into the Conv
// before it (also across a Relu), Relu / LeakyRelu fused into a Conv or ConvTranspose
// epilogue, Mul by a one-element weight plus Add turned into one scaled Add, and a Concat
// reading an inner Concat's inputs directly. Gemm weights stored transposed are also laid out
// untransposed once, in the same buffer as the folded weights. Last, layer normalisation and
// Erf-based GELU written out as element-wise chains become single nodes that round each step
// as the chain did.
#pragma once

#include "cpu/arena_planner.h"
#include "cpu/cpu_state.h"

namespace vexa::cpu {

// Runs the four passes in order, compacts the node list and pre-packs Gemm weights. Never
// fails: when the folded weight buffer cannot be allocated, BatchNormalization stays unfolded
// and the weights stay as stored.
void cpu_fuse_graph(CpuState& state, ArenaPlanner& planner);

// Drops nodes whose kind is 0, keeping the order of the others.
void cpu_compact_nodes(CpuState& state);

}  // namespace vexa::cpu
