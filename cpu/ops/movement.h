// Data-movement family: copies, concatenation and splitting, slicing, permutation,
// broadcasting, padding, block rearrangements, gathers and scatters. The family registers in
// two files: movement.cpp (layout operators) and gather_scatter.cpp (index-driven operators).
#pragma once

#include "cpu/op_table.h"

namespace vexa::cpu {

// Registers Gather, GatherND and ScatterND with the movement family's registry.
void add_gather_scatter_ops(OpRegistry& registry);

}  // namespace vexa::cpu
