// Convert-time shape inference: one pass over the lowered nodes in order that settles every
// output's shape and element type, folds what is known at convert time, turns ONNX forms into
// the kinds the engines run (Reshape as a copy, Pow as Mul or Sqrt, Gather of one index as
// Slice...), refuses what the engines cannot run, then drops folded nodes and unused weights.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/onnx_builder.h"

namespace vexa::tools {

// True on success; on failure s.fold_failure, s.fold_failure_node (and maybe s.detail) are set.
bool builder_fold_and_infer(BuilderState& s);

// Shape helpers shared with the folding evaluator. Each returns false for an impossible shape.
bool reshape_dims(uint64_t in_rank, const uint64_t* in_dims, const std::vector<int64_t>& shape,
                  uint64_t& rank, uint64_t* dims);
bool unsqueeze_dims(uint64_t in_rank, const uint64_t* in_dims, const std::vector<int64_t>& axes,
                    uint64_t& rank, uint64_t* dims);
// Empty axes: every dim of 1 goes.
bool squeeze_dims(uint64_t in_rank, const uint64_t* in_dims, const std::vector<int64_t>& axes,
                  uint64_t& rank, uint64_t* dims);
bool flatten_dims(uint64_t in_rank, const uint64_t* in_dims, int64_t axis, uint64_t& rank,
                  uint64_t* dims);
// The node's permutation for an input of `rank` (reversed when none is given), validated.
bool transpose_perm(const GraphNode& n, uint64_t rank, uint64_t* perm);
// axis + rank for a negative axis; false outside [0, rank).
bool normalise_axis(int64_t axis, uint64_t rank, uint64_t& out);

// Axes of a Squeeze/Unsqueeze/reduction: from input 1 when it is a constant, else the
// attributes. has_axes is false when neither gives any.
bool node_axes(const BuilderState& s, uint64_t node, std::vector<int64_t>& axes, bool& has_axes);

// Slice ranges: per axis of the input, start, count and step after ONNX clamping.
struct SliceRange {
  int64_t start[kMaxRank];
  int64_t step[kMaxRank];
  uint64_t count[kMaxRank];
  bool sliced[kMaxRank];
};
// -1 when the parameters are not constant, 0 when they are invalid, 1 on success.
int slice_ranges(const BuilderState& s, uint64_t node, SliceRange& r);

}  // namespace vexa::tools
