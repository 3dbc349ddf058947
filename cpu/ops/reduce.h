// Reduction family: Softmax, ArgMax, the five single-axis reductions, CumSum and TopK.
// reduce.cpp registers the family and calls softmax.cpp for Softmax.
#pragma once

#include "cpu/op_table.h"

namespace vexa::cpu {

// Registers Softmax with the reduction family's registry.
void add_softmax_ops(OpRegistry& registry);

}  // namespace vexa::cpu
