// Layout operators: Flatten, Identity, Concat, Split, Slice, Transpose, Expand, Pad,
// DepthToSpace and SpaceToDepth. Shapes come from the value records; every check proves that
// each read and write stays inside its tensor, so the run functions only move bytes.
#include "cpu/ops/movement.h"

#include <algorithm>
#include <cstring>

#include "cpu/ops/op_shapes.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kSliceStepWord = 17;
constexpr uint32_t kSliceStartWord = 19;
constexpr uint32_t kSliceCountWord = 20;
constexpr uint32_t kPermLengthWord = 15;
constexpr uint32_t kPermFirstWord = 19;
constexpr uint32_t kBlockSizeWord = 15;
constexpr int64_t kDefaultBlockSize = 2;
// DepthToSpace channel order: 0 column-row-depth (channel oc b b + i b + j, the order of
// containers that record no mode), 1 depth-column-row (channel (i b + j) C + oc, ONNX's
// default "DCR").
constexpr uint32_t kBlockOrderWord = 27;
constexpr int64_t kBlockOrderCrd = 0;
constexpr int64_t kBlockOrderDcr = 1;
constexpr uint32_t kImageRank = 4;
// The converter leaves a Pad's pads operand in the second input slot past the input count.
constexpr uint32_t kPadPadsSlot = 1;

// Copies of at least kParallelCopyMinElements are cut into up to kCopyPieces pieces of at
// least kCopyPieceMinElements. Even mid-sized copies go to the pool: their source was mostly
// written by the workers of the node before, and one thread fetching every line from the
// other cores' caches is several times slower than each core moving a piece.
constexpr uint64_t kCopyPieces = 64;
constexpr uint64_t kParallelCopyMinElements = 16384;
constexpr uint64_t kCopyPieceMinElements = 4096;

// Pieces for a copy of `elements` made of `units` indivisible parts (rows, tiles); 1 = serial.
uint64_t copy_pieces(uint64_t elements, uint64_t units) {
  if (elements < kParallelCopyMinElements) return 1;
  return std::max<uint64_t>(1, std::min({kCopyPieces, units, elements / kCopyPieceMinElements}));
}

struct FlatCopy {
  float* dst;
  const float* src;
  uint64_t n, per;
};

void flat_copy_piece(void* ctx, size_t piece) {
  const FlatCopy& job = *static_cast<const FlatCopy*>(ctx);
  const uint64_t begin = piece * job.per;
  if (begin >= job.n) return;
  std::memcpy(job.dst + begin, job.src + begin, std::min(job.per, job.n - begin) * sizeof(float));
}

void copy_floats(float* dst, const float* src, uint64_t n) {
  if (n == 0 || dst == src) return;
  const uint64_t pieces = copy_pieces(n, n);
  if (pieces <= 1) {
    std::memcpy(dst, src, n * sizeof(float));
    return;
  }
  FlatCopy job{dst, src, n, (n + pieces - 1) / pieces};
  parallel_apply(pieces, &job, flat_copy_piece);
}

// out (dims[0..rank-1], row-major) takes in at sum(coord[k] x in_strides[k]).
struct StridedCopy {
  const float* in;
  float* out;
  uint32_t rank;
  uint64_t dims[kMaxRank];
  uint64_t in_strides[kMaxRank];
  uint64_t rows;  // product of dims[0..rank-2]
  uint64_t pieces;
};

void strided_rows(const StridedCopy& job, uint64_t row_begin, uint64_t row_end) {
  const uint32_t r = job.rank;
  const uint64_t run = job.dims[r - 1];
  const uint64_t step = job.in_strides[r - 1];
  uint64_t coord[kMaxRank] = {};
  uint64_t rem = row_begin;
  uint64_t offset = 0;
  for (int ax = static_cast<int>(r) - 2; ax >= 0; --ax) {
    coord[ax] = rem % job.dims[ax];
    rem /= job.dims[ax];
    offset += coord[ax] * job.in_strides[ax];
  }
  for (uint64_t row = row_begin; row < row_end; ++row) {
    float* dst = job.out + row * run;
    const float* src = job.in + offset;
    if (step == 1) {
      std::memcpy(dst, src, run * sizeof(float));
    } else if (step == 0) {
      for (uint64_t i = 0; i < run; ++i) dst[i] = src[0];
    } else {
      for (uint64_t i = 0; i < run; ++i) dst[i] = src[i * step];
    }
    for (int ax = static_cast<int>(r) - 2; ax >= 0; --ax) {
      offset += job.in_strides[ax];
      if (++coord[ax] < job.dims[ax]) break;
      offset -= job.in_strides[ax] * coord[ax];
      coord[ax] = 0;
    }
  }
}

void strided_piece(void* ctx, size_t piece) {
  const StridedCopy& job = *static_cast<const StridedCopy*>(ctx);
  const uint64_t per = (job.rows + job.pieces - 1) / job.pieces;
  const uint64_t begin = piece * per;
  if (begin >= job.rows) return;
  strided_rows(job, begin, begin + per < job.rows ? begin + per : job.rows);
}

void run_strided_copy(StridedCopy& job, uint64_t out_count) {
  if (out_count == 0) return;
  if (job.rank == 0) {
    job.out[0] = job.in[0];
    return;
  }
  uint64_t total = 1;
  for (uint32_t i = 0; i < job.rank; ++i) total *= job.dims[i];
  if (total == 0) return;
  job.rows = total / job.dims[job.rank - 1];
  job.pieces = copy_pieces(total, job.rows);
  if (job.pieces > 1) {
    parallel_apply(job.pieces, &job, strided_piece);
  } else {
    strided_rows(job, 0, job.rows);
  }
}

void row_major_strides(const CpuValue& v, uint64_t* strides) {
  uint64_t s = 1;
  for (int i = static_cast<int>(v.rank()) - 1; i >= 0; --i) {
    strides[i] = s;
    s *= v.dim(static_cast<uint32_t>(i));
  }
}

// ---- Flatten, Identity ----

bool check_copy(const OpCheck& check) {
  // Identity also stands for Dropout (ratio, training flag) and Flatten for a Reshape that
  // may keep its shape operand; only input 0 is read.
  const bool identity = check.node.kind() == static_cast<uint64_t>(OpKind::kIdentity);
  if (!check.inputs_between(1, identity ? 3 : 2) || !check.outputs_between(1, 1) ||
      !check.inputs_present(1)) {
    return false;
  }
  // An output without elements (a sizeless value) receives nothing.
  const uint64_t out_count = check.out_value(0).element_count();
  if (out_count != 0 && check.in_value(0).element_count() != out_count) {
    return check.fail("input has %llu elements, output %llu",
                      as_ull(check.in_value(0).element_count()),
                      as_ull(check.out_value(0).element_count()));
  }
  return true;
}

bool run_copy(const OpContext& ctx) {
  copy_floats(ctx.out(0), ctx.in(0), ctx.out_value(0).element_count());
  return true;
}

// ---- Concat, Split ----

bool check_concat(const OpCheck& check) {
  if (!check.inputs_between(1, kMaxNodeInputs) || !check.outputs_between(1, 1) ||
      !check.inputs_present(static_cast<uint32_t>(check.node.input_count()))) {
    return false;
  }
  const CpuValue& out = check.out_value(0);
  uint32_t axis = 0;
  if (!normalise_axis(check.node.attr(kAxisWord), out.rank(), axis)) {
    return check.fail("axis %lld is outside rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(out.rank()));
  }
  uint64_t extent = 0;
  for (uint32_t k = 0; k < check.node.input_count(); ++k) {
    if (!same_dims_except(check.in_value(k), out, axis)) {
      return check.fail("input %u does not match the output off the concatenation axis", k);
    }
    extent += check.in_value(k).dim(axis);
  }
  if (extent != out.dim(axis)) {
    return check.fail("input extents add up to %llu, output has %llu", as_ull(extent),
                      as_ull(out.dim(axis)));
  }
  return true;
}

bool run_concat(const OpContext& ctx) {
  const CpuValue& out_v = ctx.out_value(0);
  uint32_t axis = 0;
  normalise_axis(ctx.node.attr(kAxisWord), out_v.rank(), axis);
  const AxisView view = axis_view(out_v, axis);
  float* out = ctx.out(0);
  uint64_t start = 0;
  for (uint32_t k = 0; k < ctx.node.input_count(); ++k) {
    const uint64_t d = ctx.in_value(k).dim(axis);
    const float* in = ctx.in(k);
    const uint64_t block = d * view.inner;
    for (uint64_t o = 0; o < view.outer; ++o) {
      // Inputs the arena placed inside the output are already where they belong.
      copy_floats(out + (o * view.d + start) * view.inner, in + o * block, block);
    }
    start += d;
  }
  return true;
}

bool check_split(const OpCheck& check) {
  if (!check.inputs_between(1, 2) || !check.outputs_between(1, kMaxNodeOutputs) ||
      !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  uint32_t axis = 0;
  if (!normalise_axis(check.node.attr(kAxisWord), in.rank(), axis)) {
    return check.fail("axis %lld is outside rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(in.rank()));
  }
  uint64_t extent = 0;
  for (uint32_t k = 0; k < check.node.output_count(); ++k) {
    if (!same_dims_except(check.out_value(k), in, axis)) {
      return check.fail("output %u does not match the input off the split axis", k);
    }
    extent += check.out_value(k).dim(axis);
  }
  // Outputs past the fourth are not kept, so the kept ones may cover less than the axis.
  if (extent > in.dim(axis)) {
    return check.fail("output extents add up to %llu, input has %llu", as_ull(extent),
                      as_ull(in.dim(axis)));
  }
  return true;
}

bool run_split(const OpContext& ctx) {
  const CpuValue& in_v = ctx.in_value(0);
  uint32_t axis = 0;
  normalise_axis(ctx.node.attr(kAxisWord), in_v.rank(), axis);
  const AxisView view = axis_view(in_v, axis);
  const float* in = ctx.in(0);
  uint64_t start = 0;
  for (uint32_t k = 0; k < ctx.node.output_count(); ++k) {
    const uint64_t d = ctx.out_value(k).dim(axis);
    float* out = ctx.out(k);
    const uint64_t block = d * view.inner;
    for (uint64_t o = 0; o < view.outer; ++o) {
      copy_floats(out + o * block, in + (o * view.d + start) * view.inner, block);
    }
    start += d;
  }
  return true;
}

// ---- Slice ----

int64_t slice_step(const CpuNode& node) {
  const int64_t t = node.attr(kSliceStepWord);
  return t == 0 ? 1 : t;
}

bool check_slice(const OpCheck& check) {
  if (!check.inputs_between(1, 5) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  uint32_t axis = 0;
  if (!normalise_axis(check.node.attr(kAxisWord), in.rank(), axis)) {
    return check.fail("axis %lld is outside rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(in.rank()));
  }
  const AxisView view = axis_view(in, axis);
  const int64_t start = check.node.attr(kSliceStartWord);
  const int64_t count = check.node.attr(kSliceCountWord);
  const int64_t step = slice_step(check.node);
  const int64_t d = static_cast<int64_t>(view.d);
  if (count < 0 || count > static_cast<int64_t>(kMaxTensorElements)) {
    return check.fail("entry count %lld is invalid", as_sll(count));
  }
  if (count > 0) {
    int64_t last = 0;
    if (start < 0 || start >= d || __builtin_mul_overflow(count - 1, step, &last) ||
        __builtin_add_overflow(last, start, &last) || last < 0 || last >= d) {
      return check.fail("start %lld, step %lld and count %lld leave the axis of %lld",
                        as_sll(start), as_sll(step), as_sll(count), as_sll(d));
    }
  }
  if (check.out_value(0).element_count() != view.outer * static_cast<uint64_t>(count) * view.inner) {
    return check.fail("output has %llu elements, the slice %llu",
                      as_ull(check.out_value(0).element_count()),
                      as_ull(view.outer * static_cast<uint64_t>(count) * view.inner));
  }
  return true;
}

bool run_slice(const OpContext& ctx) {
  const CpuValue& in_v = ctx.in_value(0);
  uint32_t axis = 0;
  normalise_axis(ctx.node.attr(kAxisWord), in_v.rank(), axis);
  const AxisView view = axis_view(in_v, axis);
  const int64_t start = ctx.node.attr(kSliceStartWord);
  const uint64_t count = static_cast<uint64_t>(ctx.node.attr(kSliceCountWord));
  const int64_t step = slice_step(ctx.node);
  // The start of an empty slice was never checked against the axis.
  if (count == 0) return true;
  const float* in = ctx.in(0);
  float* out = ctx.out(0);
  for (uint64_t o = 0; o < view.outer; ++o) {
    const float* base = in + o * view.d * view.inner;
    if (step == 1) {
      copy_floats(out, base + static_cast<uint64_t>(start) * view.inner, count * view.inner);
      out += count * view.inner;
      continue;
    }
    for (uint64_t j = 0; j < count; ++j) {
      const int64_t at = start + static_cast<int64_t>(j) * step;
      copy_floats(out, base + static_cast<uint64_t>(at) * view.inner, view.inner);
      out += view.inner;
    }
  }
  return true;
}

// ---- Transpose ----

// The permutation of a Transpose node: the recorded one when the words hold a permutation of
// the input's axes, the reversal of the axes when no permutation was recorded (the ONNX
// default). False when the words hold something else.
bool transpose_perm(const CpuNode& node, uint32_t rank, uint32_t* perm) {
  const int64_t length = node.attr(kPermLengthWord);
  bool all_zero = true;
  bool seen[kMaxRank] = {};
  bool valid = rank <= kMaxRank;
  for (uint32_t k = 0; k < rank && valid; ++k) {
    const int64_t p = node.attr(kPermFirstWord + k);
    all_zero = all_zero && p == 0;
    if (p < 0 || p >= static_cast<int64_t>(rank) || seen[p]) {
      valid = false;
    } else {
      seen[p] = true;
      perm[k] = static_cast<uint32_t>(p);
    }
  }
  if (length != 0 && length != static_cast<int64_t>(rank)) return false;
  if (valid) return true;
  if (length == 0 && all_zero && rank <= kMaxRank) {
    for (uint32_t k = 0; k < rank; ++k) perm[k] = rank - 1 - k;
    return true;
  }
  return false;
}

bool check_transpose(const OpCheck& check) {
  if (!check.inputs_between(1, 1) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  const CpuValue& out = check.out_value(0);
  const uint32_t rank = static_cast<uint32_t>(in.rank());
  uint32_t perm[kMaxRank] = {};
  if (!transpose_perm(check.node, rank, perm)) {
    return check.fail("permutation words do not permute the %u input axes", rank);
  }
  if (out.rank() != rank) return check.fail("output rank differs from the input rank");
  for (uint32_t k = 0; k < rank; ++k) {
    if (out.dim(k) != in.dim(perm[k])) {
      return check.fail("output axis %u has %llu entries, input axis %u has %llu", k,
                        as_ull(out.dim(k)), perm[k], as_ull(in.dim(perm[k])));
    }
  }
  return true;
}

// A permutation with size-1 axes dropped and runs of input axes that stay adjacent and in
// order merged into one axis: (0, 2, 3, 1) on [N, C, H, W] becomes (0, 2, 1) on [N, C, HW].
struct CollapsedPerm {
  uint32_t rank = 0;
  uint64_t in_dims[kMaxRank] = {};
  uint32_t perm[kMaxRank] = {};
};

CollapsedPerm collapse_perm(const CpuValue& in, const uint32_t* perm, uint32_t rank) {
  // Output axes that carry more than one entry, as input axis numbers.
  uint32_t kept[kMaxRank];
  uint32_t n = 0;
  for (uint32_t k = 0; k < rank; ++k) {
    if (in.dim(perm[k]) != 1) kept[n++] = perm[k];
  }
  // Group consecutive output axes whose input axes follow each other (ignoring dropped axes).
  uint32_t group_of_first[kMaxRank];
  uint64_t group_dims[kMaxRank];
  uint32_t groups = 0;
  for (uint32_t k = 0; k < n; ++k) {
    bool extends = false;
    if (k > 0) {
      uint32_t next = kept[k - 1] + 1;
      while (next < rank && in.dim(next) == 1) ++next;
      extends = next == kept[k];
    }
    if (extends) {
      group_dims[groups - 1] *= in.dim(kept[k]);
    } else {
      group_of_first[groups] = kept[k];
      group_dims[groups] = in.dim(kept[k]);
      ++groups;
    }
  }
  // Input order of the groups: by their first input axis.
  CollapsedPerm c;
  c.rank = groups;
  for (uint32_t g = 0; g < groups; ++g) {
    uint32_t position = 0;
    for (uint32_t h = 0; h < groups; ++h) position += group_of_first[h] < group_of_first[g] ? 1 : 0;
    c.perm[g] = position;
    c.in_dims[position] = group_dims[g];
  }
  return c;
}

constexpr uint64_t kTransposeTile = 32;

// out[b][j][i] = in[b][i][j] for an [batch, rows, cols] input, in square tiles so both sides
// stay in cache. Tile t covers batch t / (tile_rows x tile_cols), output rows (input columns)
// of tile (t / tile_cols) % tile_rows, output columns of tile t % tile_cols.
struct TiledTranspose {
  const float* in;
  float* out;
  uint64_t batch, rows, cols;
  uint64_t tile_rows;  // tiles along the output's rows (input columns)
  uint64_t tile_cols;  // tiles along the output's columns (input rows)
  uint64_t tiles, pieces;
};

void transpose_tiles(const TiledTranspose& job, uint64_t first, uint64_t last) {
  for (uint64_t t = first; t < last; ++t) {
    const uint64_t b = t / (job.tile_rows * job.tile_cols);
    const uint64_t j0 = (t / job.tile_cols % job.tile_rows) * kTransposeTile;
    const uint64_t j1 = j0 + kTransposeTile < job.cols ? j0 + kTransposeTile : job.cols;
    const uint64_t i0 = t % job.tile_cols * kTransposeTile;
    const uint64_t i1 = i0 + kTransposeTile < job.rows ? i0 + kTransposeTile : job.rows;
    const float* src = job.in + b * job.rows * job.cols;
    float* dst = job.out + b * job.rows * job.cols;
    for (uint64_t j = j0; j < j1; ++j) {
      for (uint64_t i = i0; i < i1; ++i) dst[j * job.rows + i] = src[i * job.cols + j];
    }
  }
}

void transpose_tile_piece(void* ctx, size_t piece) {
  const TiledTranspose& job = *static_cast<const TiledTranspose*>(ctx);
  const uint64_t per = (job.tiles + job.pieces - 1) / job.pieces;
  const uint64_t first = piece * per;
  if (first >= job.tiles) return;
  transpose_tiles(job, first, first + per < job.tiles ? first + per : job.tiles);
}

bool run_transpose(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  const uint32_t rank = static_cast<uint32_t>(in.rank());
  uint32_t perm[kMaxRank] = {};
  if (!transpose_perm(ctx.node, rank, perm)) return false;
  const uint64_t count = ctx.out_value(0).element_count();
  if (count == 0) return true;
  const CollapsedPerm c = collapse_perm(in, perm, rank);
  if (c.rank <= 1) {
    copy_floats(ctx.out(0), ctx.in(0), count);
    return true;
  }
  const bool swap2 = c.rank == 2;
  const bool batched_swap = c.rank == 3 && c.perm[0] == 0 && c.perm[1] == 2 && c.perm[2] == 1;
  if (swap2 || batched_swap) {
    TiledTranspose job{};
    job.in = ctx.in(0);
    job.out = ctx.out(0);
    job.batch = swap2 ? 1 : c.in_dims[0];
    job.rows = c.in_dims[c.rank - 2];
    job.cols = c.in_dims[c.rank - 1];
    job.tile_rows = (job.cols + kTransposeTile - 1) / kTransposeTile;
    job.tile_cols = (job.rows + kTransposeTile - 1) / kTransposeTile;
    job.tiles = job.batch * job.tile_rows * job.tile_cols;
    job.pieces = copy_pieces(count, job.tiles);
    if (job.pieces > 1) {
      parallel_apply(job.pieces, &job, transpose_tile_piece);
    } else {
      transpose_tiles(job, 0, job.tiles);
    }
    return true;
  }
  uint64_t in_strides[kMaxRank] = {};
  uint64_t s = 1;
  for (int i = static_cast<int>(c.rank) - 1; i >= 0; --i) {
    in_strides[i] = s;
    s *= c.in_dims[i];
  }
  StridedCopy job{};
  job.in = ctx.in(0);
  job.out = ctx.out(0);
  job.rank = c.rank;
  for (uint32_t k = 0; k < c.rank; ++k) {
    job.dims[k] = c.in_dims[c.perm[k]];
    job.in_strides[k] = in_strides[c.perm[k]];
  }
  run_strided_copy(job, count);
  return true;
}

// ---- Expand ----

// Input dims right-aligned to the output rank, leading dims 1; false when the input does not
// broadcast (an aligned dim neither 1 nor the output's, or extra leading dims above 1).
bool expand_strides(const CpuValue& in, const CpuValue& out, uint64_t* strides) {
  const uint32_t ro = static_cast<uint32_t>(out.rank());
  const uint32_t ri = static_cast<uint32_t>(in.rank());
  for (uint32_t i = 0; ri > ro && i < ri - ro; ++i) {
    if (in.dim(i) != 1) return false;
  }
  uint64_t s = 1;
  for (int k = static_cast<int>(ro) - 1; k >= 0; --k) {
    const int from_end = static_cast<int>(ro) - 1 - k;
    const uint64_t d = from_end < static_cast<int>(ri) ? in.dim(ri - 1 - from_end) : 1;
    if (d != 1 && d != out.dim(static_cast<uint32_t>(k))) return false;
    strides[k] = d == 1 ? 0 : s;
    s *= d;
  }
  return true;
}

bool check_expand(const OpCheck& check) {
  if (!check.inputs_between(1, 2) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  uint64_t strides[kMaxRank] = {};
  if (!expand_strides(check.in_value(0), check.out_value(0), strides)) {
    return check.fail("input does not broadcast to the output shape");
  }
  if (check.in_value(0).element_count() == 0 && check.out_value(0).element_count() != 0) {
    return check.fail("an empty input cannot fill the output");
  }
  return true;
}

bool run_expand(const OpContext& ctx) {
  const CpuValue& out = ctx.out_value(0);
  StridedCopy job{};
  job.in = ctx.in(0);
  job.out = ctx.out(0);
  job.rank = static_cast<uint32_t>(out.rank());
  if (!expand_strides(ctx.in_value(0), out, job.in_strides)) return false;
  for (uint32_t k = 0; k < job.rank; ++k) job.dims[k] = out.dim(k);
  run_strided_copy(job, out.element_count());
  return true;
}

// ---- Pad ----

// The pads operand of a Pad node: input 1 when the node has two or more inputs, else the
// second input slot, where the converter leaves it after cutting the input count to 1.
// kAbsentValue when that slot names no weight.
uint64_t pads_operand(const CpuNode& node, const CpuValue* values, uint64_t value_count) {
  const uint64_t id = node.input(kPadPadsSlot);
  if (node.input_count() == 0 || id >= value_count || values[id].kind() != kValueWeight) {
    return kAbsentValue;
  }
  return id;
}

// Leading pads of every axis. The recorded pads (ONNX order: all begins, then all ends) are
// used when they turn the input shape into the output shape; otherwise every pad follows the
// data, which is what the output shape alone implies.
void pad_begins(const OpContext& ctx, const CpuValue& in, const CpuValue& out, uint64_t* begin) {
  const uint32_t rank = static_cast<uint32_t>(in.rank());
  for (uint32_t i = 0; i < rank; ++i) begin[i] = 0;
  const uint64_t id = pads_operand(ctx.node, ctx.values, ctx.value_count);
  if (id == kAbsentValue || ctx.values[id].element_count() != 2ull * rank) return;
  const float* pads = ctx.data[id];
  uint64_t b[kMaxRank] = {};
  const float limit = static_cast<float>(kMaxTensorElements);
  for (uint32_t i = 0; i < rank; ++i) {
    const float pb = pads[i];
    const float pe = pads[rank + i];
    if (!(pb >= 0.0f && pe >= 0.0f && pb <= limit && pe <= limit)) return;
    b[i] = static_cast<uint64_t>(pb);
    if (in.dim(i) + b[i] + static_cast<uint64_t>(pe) != out.dim(i)) return;
  }
  for (uint32_t i = 0; i < rank; ++i) begin[i] = b[i];
}

bool check_pad(const OpCheck& check) {
  if (!check.inputs_between(1, 3) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  const CpuValue& out = check.out_value(0);
  if (in.rank() == 0 || out.rank() != in.rank()) {
    return check.fail("input and output must have the same rank of at least 1");
  }
  for (uint32_t i = 0; i < in.rank(); ++i) {
    if (out.dim(i) < in.dim(i)) return check.fail("output axis %u is smaller than the input's", i);
  }
  if (check.node.input_count() >= 2 && check.has_input(kPadPadsSlot)) {
    const uint64_t id = pads_operand(check.node, check.values, check.value_count);
    if (id == kAbsentValue) return check.fail("pads must be a constant operand");
    if (check.values[id].element_count() != 2 * in.rank()) {
      return check.fail("pads operand has %llu entries for rank %llu",
                        as_ull(check.values[id].element_count()), as_ull(in.rank()));
    }
  }
  return true;
}

bool run_pad(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  const CpuValue& out_v = ctx.out_value(0);
  uint64_t begin[kMaxRank] = {};
  pad_begins(ctx, in, out_v, begin);
  float* out = ctx.out(0);
  const float* src = ctx.in(0);
  if (out_v.element_count() == 0) return true;
  std::memset(out, 0, out_v.element_count() * sizeof(float));
  if (in.element_count() == 0) return true;
  const uint32_t rank = static_cast<uint32_t>(in.rank());
  uint64_t out_strides[kMaxRank] = {};
  row_major_strides(out_v, out_strides);
  const uint64_t run = in.dim(rank - 1);
  const uint64_t rows = in.element_count() / run;
  uint64_t coord[kMaxRank] = {};
  for (uint64_t row = 0; row < rows; ++row) {
    uint64_t at = begin[rank - 1];
    for (uint32_t ax = 0; ax + 1 < rank; ++ax) at += (coord[ax] + begin[ax]) * out_strides[ax];
    std::memcpy(out + at, src + row * run, run * sizeof(float));
    for (int ax = static_cast<int>(rank) - 2; ax >= 0; --ax) {
      if (++coord[ax] < in.dim(static_cast<uint32_t>(ax))) break;
      coord[ax] = 0;
    }
  }
  return true;
}

// ---- DepthToSpace, SpaceToDepth ----

bool block_size(const CpuNode& node, uint64_t& b) {
  const int64_t word = node.attr(kBlockSizeWord);
  const int64_t v = word == 0 ? kDefaultBlockSize : word;
  if (v < 1 || v > static_cast<int64_t>(kMaxTensorElements)) return false;
  b = static_cast<uint64_t>(v);
  return true;
}

bool check_block(const OpCheck& check) {
  if (!check.inputs_between(1, 1) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  const CpuValue& out = check.out_value(0);
  uint64_t b = 0;
  if (!block_size(check.node, b)) return check.fail("block size %lld is invalid", as_sll(check.node.attr(kBlockSizeWord)));
  const int64_t order = check.node.attr(kBlockOrderWord);
  if (check.node.kind() == static_cast<uint64_t>(OpKind::kDepthToSpace) &&
      order != kBlockOrderCrd && order != kBlockOrderDcr) {
    return check.fail("channel order %lld is unknown", as_sll(order));
  }
  if (in.rank() != kImageRank || out.rank() != kImageRank) return check.fail("expects NCHW tensors");
  const uint64_t bb = b * b;
  bool ok = false;
  if (check.node.kind() == static_cast<uint64_t>(OpKind::kDepthToSpace)) {
    ok = in.dim(1) % bb == 0 && out.dim(0) == in.dim(0) && out.dim(1) == in.dim(1) / bb &&
         out.dim(2) == in.dim(2) * b && out.dim(3) == in.dim(3) * b;
  } else {
    ok = in.dim(2) % b == 0 && in.dim(3) % b == 0 && out.dim(0) == in.dim(0) &&
         out.dim(1) == in.dim(1) * bb && out.dim(2) == in.dim(2) / b && out.dim(3) == in.dim(3) / b;
  }
  if (!ok) return check.fail("output shape does not match block size %llu", as_ull(b));
  return true;
}

bool run_block(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  uint64_t b = 0;
  if (!block_size(ctx.node, b)) return false;
  const uint64_t n = in.dim(0), c = in.dim(1), h = in.dim(2), w = in.dim(3);
  StridedCopy job{};
  job.in = ctx.in(0);
  job.out = ctx.out(0);
  job.rank = 6;
  if (ctx.node.kind() == static_cast<uint64_t>(OpKind::kDepthToSpace)) {
    // Output viewed as [N, C/(b b), H, b, W, b]; the input channel of (oc, i, j) is
    // oc b b + i b + j, or (i b + j) C/(b b) + oc in depth-column-row order.
    const uint64_t co = c / (b * b), plane = h * w;
    const bool dcr = ctx.node.attr(kBlockOrderWord) == kBlockOrderDcr;
    const uint64_t dims[6] = {n, co, h, b, w, b};
    const uint64_t crd[6] = {c * plane, b * b * plane, w, b * plane, 1, plane};
    const uint64_t dcr_strides[6] = {c * plane, plane, w, b * co * plane, 1, co * plane};
    std::memcpy(job.dims, dims, sizeof dims);
    std::memcpy(job.in_strides, dcr ? dcr_strides : crd, sizeof crd);
  } else {
    // Output viewed as [N, b, b, C, H/b, W/b]: channel (i b + j) C + c.
    const uint64_t dims[6] = {n, b, b, c, h / b, w / b};
    const uint64_t strides[6] = {c * h * w, w, 1, h * w, b * w, b};
    std::memcpy(job.dims, dims, sizeof dims);
    std::memcpy(job.in_strides, strides, sizeof strides);
  }
  run_strided_copy(job, ctx.out_value(0).element_count());
  return true;
}

}  // namespace

void register_movement_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kFlatten), check_copy, run_copy);
  registry.add(static_cast<uint64_t>(OpKind::kIdentity), check_copy, run_copy);
  registry.add(static_cast<uint64_t>(OpKind::kConcat), check_concat, run_concat);
  registry.add(static_cast<uint64_t>(OpKind::kSplit), check_split, run_split);
  registry.add(static_cast<uint64_t>(OpKind::kSlice), check_slice, run_slice);
  registry.add(static_cast<uint64_t>(OpKind::kTranspose), check_transpose, run_transpose);
  registry.add(static_cast<uint64_t>(OpKind::kExpand), check_expand, run_expand);
  registry.add(static_cast<uint64_t>(OpKind::kPad), check_pad, run_pad);
  registry.add(static_cast<uint64_t>(OpKind::kDepthToSpace), check_block, run_block);
  registry.add(static_cast<uint64_t>(OpKind::kSpaceToDepth), check_block, run_block);
  add_gather_scatter_ops(registry);
}

}  // namespace vexa::cpu
