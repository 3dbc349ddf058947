// Kernels of the graph library: every graph operation runs on the CPU engine's kernels (its
// operator table, its convolution, pooling, normalisation, GEMM, soft-max and resize kernels).
// Whoever builds graph executors calls graph_ops_install() once first; it is idempotent and
// thread-safe, and nothing is installed before it runs.
#pragma once

#include "platform/graph_kernels.h"

namespace vexa {

void graph_ops_install();

// The table itself (installed or not), for tests.
const GraphKernelTable& graph_ops_table();

}  // namespace vexa
