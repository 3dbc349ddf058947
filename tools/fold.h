// Convert-time evaluation of nodes whose inputs are all known: shape vectors and the integer
// arithmetic built on them, and anything derived from values computed during conversion. The
// folded outputs become constants owned by the builder; the node turns into an Identity of its
// own output, which the shape pass drops.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/onnx_builder.h"

namespace vexa::tools {

enum FoldResult : int {
  kFoldNotFolded = 0,
  kFoldDone = 1,
  kFoldError = -1,  // s.fold_failure (and maybe s.detail) say why
};

FoldResult builder_eval_node(BuilderState& s, uint64_t node);

// Constant access: the values of a value with data, f32 truncated toward zero for the integer
// reading. False without data.
bool const_ints(const BuilderValue& v, std::vector<int64_t>& out);
bool const_floats(const BuilderValue& v, std::vector<float>& out);
uint64_t const_count(const BuilderValue& v);

// Stores a constant result (dims given), marked known at convert time.
void alloc_const_i64(BuilderValue& v, uint64_t rank, const uint64_t* dims,
                     const std::vector<int64_t>& data);
void alloc_const_f32(BuilderValue& v, uint64_t rank, const uint64_t* dims,
                     const std::vector<float>& data);

// Right-aligned broadcast of two shapes; false when two dims differ and neither is 1.
bool broadcast_shapes(uint64_t ra, const uint64_t* a, uint64_t rb, const uint64_t* b,
                      uint64_t& r, uint64_t* out);
// Flat input index of a flat output index under broadcasting.
uint64_t broadcast_offset(uint64_t flat, uint64_t out_rank, const uint64_t* out_dims,
                          uint64_t in_rank, const uint64_t* in_dims);

// Turns the node into an Identity of its own output 0 (dropped at compaction).
void mark_folded(GraphNode& n);

}  // namespace vexa::tools
