// Index-driven data movement: Gather, GatherND (with batch dims) and ScatterND. Index tensors hold f32 values;
// each index is truncated, counted once from the end when negative and clamped into its axis,
// so no index value, NaN included, can reach outside the data.
#include <cstring>

#include "cpu/ops/movement.h"
#include "cpu/ops/op_shapes.h"

namespace vexa::cpu {

namespace {

// ONNX GatherND batch_dims, recorded in attribute word 4.
constexpr uint32_t kBatchDimsWord = 19;
// Set to 1 when the ONNX node carried an "axis" attribute (ScatterElements).
constexpr uint32_t kAxisRecordedWord = 16;
// How a scattered update meets the value already there (ONNX "reduction").
constexpr uint32_t kScatterReductionWord = 27;
enum ScatterReduction : uint64_t {
  kScatterReplace = 0, kScatterAdd = 1, kScatterMul = 2, kScatterMax = 3, kScatterMin = 4,
};

void copy_floats(float* dst, const float* src, uint64_t n) {
  if (n != 0) std::memcpy(dst, src, n * sizeof(float));
}

// Updates meet the output one after another in index order, so repeated indices accumulate.
void scatter_into(float* dst, const float* src, uint64_t n, uint64_t reduction) {
  switch (reduction) {
    case kScatterAdd: for (uint64_t i = 0; i < n; ++i) dst[i] = dst[i] + src[i]; break;
    case kScatterMul: for (uint64_t i = 0; i < n; ++i) dst[i] = dst[i] * src[i]; break;
    case kScatterMax: for (uint64_t i = 0; i < n; ++i) dst[i] = src[i] > dst[i] ? src[i] : dst[i]; break;
    case kScatterMin: for (uint64_t i = 0; i < n; ++i) dst[i] = src[i] < dst[i] ? src[i] : dst[i]; break;
    default: copy_floats(dst, src, n); break;
  }
}


// ---- Gather: ONNX Gather along any axis ----

bool check_gather(const OpCheck& check) {
  if (!check.inputs_between(2, 2) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  const CpuValue& data = check.in_value(0);
  uint32_t axis = 0;
  if (data.rank() == 0 || !normalise_axis(check.node.attr(kAxisWord), data.rank(), axis)) {
    return check.fail("axis %lld is outside data rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(data.rank()));
  }
  const AxisView view = axis_view(data, axis);
  const uint64_t n = check.in_value(1).element_count();
  if (n != 0 && view.d == 0) return check.fail("gathers from an empty axis");
  const uint64_t want = view.outer * n * view.inner;
  if (check.out_value(0).element_count() != want) {
    return check.fail("output has %llu elements, the gather %llu",
                      as_ull(check.out_value(0).element_count()), as_ull(want));
  }
  return true;
}

bool run_gather(const OpContext& ctx) {
  const CpuValue& data_v = ctx.in_value(0);
  uint32_t axis = 0;
  if (!normalise_axis(ctx.node.attr(kAxisWord), data_v.rank(), axis)) return false;
  const AxisView view = axis_view(data_v, axis);
  const float* data = ctx.in(0);
  const float* indices = ctx.in(1);
  const uint64_t n = ctx.in_value(1).element_count();
  float* out = ctx.out(0);
  for (uint64_t o = 0; o < view.outer; ++o) {
    const float* plane = data + o * view.d * view.inner;
    for (uint64_t j = 0; j < n; ++j) {
      const uint64_t i = wrap_clamp_index(indices[j], view.d);
      copy_floats(out, plane + i * view.inner, view.inner);
      out += view.inner;
    }
  }
  return true;
}

// ---- GatherND and the tuple form of ScatterND ----

// Index tuples of width k over the data axes after the first b (batch) axes, each selecting a
// slice of S floats. Tuples of one batch entry address that entry's part of the data.
struct TupleLayout {
  uint64_t batch_dims = 0;
  uint64_t k = 1;
  uint64_t tuples = 0;
  uint64_t slice = 1;
  uint64_t batches = 1;
  uint64_t batch_stride = 0;  // floats of data per batch entry
};

// False when the indices cannot address the data as tuples.
bool tuple_layout(const CpuValue& data, const CpuValue& indices, TupleLayout& layout,
                  uint64_t batch_dims = 0) {
  const uint64_t q = indices.rank();
  layout.batch_dims = batch_dims;
  layout.k = q == 0 ? 1 : indices.dim(static_cast<uint32_t>(q - 1));
  if (layout.k == 0 || batch_dims + layout.k > data.rank() ||
      indices.element_count() % layout.k != 0) {
    return false;
  }
  if (batch_dims != 0 && batch_dims >= q) return false;
  layout.batches = 1;
  for (uint32_t j = 0; j < batch_dims; ++j) {
    if (indices.dim(j) != data.dim(j)) return false;
    layout.batches *= data.dim(j);
  }
  layout.tuples = indices.element_count() / layout.k;
  const uint32_t first = static_cast<uint32_t>(batch_dims);
  layout.slice = dims_product(data, first + static_cast<uint32_t>(layout.k),
                              static_cast<uint32_t>(data.rank()));
  layout.batch_stride = dims_product(data, first, static_cast<uint32_t>(data.rank()));
  for (uint32_t j = 0; j < layout.k; ++j) {
    if (layout.tuples != 0 && data.dim(first + j) == 0) return false;
  }
  return true;
}

// Data offset, in slices, of one tuple within its batch entry.
uint64_t tuple_offset(const CpuValue& data, const float* tuple, const TupleLayout& layout) {
  uint64_t flat = 0;
  for (uint32_t j = 0; j < layout.k; ++j) {
    const uint64_t dim = data.dim(static_cast<uint32_t>(layout.batch_dims) + j);
    flat = flat * dim + wrap_clamp_index(tuple[j], dim);
  }
  return flat;
}

bool check_gather_nd(const OpCheck& check) {
  if (!check.inputs_between(2, 2) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  const int64_t batch_dims = check.node.attr(kBatchDimsWord);
  if (batch_dims != 0 &&
      (batch_dims < 0 || static_cast<uint64_t>(batch_dims) >= check.in_value(0).rank())) {
    return check.fail("batch_dims %lld is out of range", as_sll(batch_dims));
  }
  TupleLayout layout;
  if (!tuple_layout(check.in_value(0), check.in_value(1), layout,
                    static_cast<uint64_t>(batch_dims))) {
    return check.fail("indices do not address the data as index tuples");
  }
  if (check.out_value(0).element_count() != layout.tuples * layout.slice) {
    return check.fail("output has %llu elements, the gather %llu",
                      as_ull(check.out_value(0).element_count()),
                      as_ull(layout.tuples * layout.slice));
  }
  return true;
}

bool run_gather_nd(const OpContext& ctx) {
  const CpuValue& data_v = ctx.in_value(0);
  TupleLayout layout;
  if (!tuple_layout(data_v, ctx.in_value(1), layout,
                    static_cast<uint64_t>(ctx.node.attr(kBatchDimsWord)))) {
    return false;
  }
  const float* data = ctx.in(0);
  const float* indices = ctx.in(1);
  float* out = ctx.out(0);
  if (layout.tuples == 0) return true;
  const uint64_t per_batch = layout.tuples / layout.batches;
  for (uint64_t t = 0; t < layout.tuples; ++t) {
    const uint64_t flat = tuple_offset(data_v, indices + t * layout.k, layout);
    const float* base = data + (t / per_batch) * layout.batch_stride;
    copy_floats(out + t * layout.slice, base + flat * layout.slice, layout.slice);
  }
  return true;
}

// ---- ScatterND ----

enum class ScatterForm { kInvalid, kElementwise, kTuple };

// ScatterElements: indices and updates of one shape and the data's rank, the axis coordinate
// taken from the index, every other coordinate inside the data.
bool elementwise_fits(const CpuNode& node, const CpuValue& data, const CpuValue& indices,
                      const CpuValue& updates) {
  uint32_t axis = 0;
  if (data.rank() == 0 || indices.rank() != data.rank() || !same_dims_except(indices, updates, kMaxRank) ||
      !normalise_axis(node.attr(kAxisWord), data.rank(), axis)) {
    return false;
  }
  for (uint32_t i = 0; i < data.rank(); ++i) {
    if (i != axis && updates.dim(i) > data.dim(i)) return false;
  }
  return updates.element_count() == 0 || data.dim(axis) != 0;
}

// ONNX ScatterND: updates shaped indices.shape[:-1] + data.shape[k:].
bool tuple_fits(const CpuValue& data, const CpuValue& indices, const CpuValue& updates,
                bool exact_shape) {
  TupleLayout layout;
  if (!tuple_layout(data, indices, layout)) return false;
  if (updates.element_count() != layout.tuples * layout.slice) return false;
  if (!exact_shape) return true;
  const uint64_t lead = indices.rank() == 0 ? 0 : indices.rank() - 1;
  if (updates.rank() != lead + data.rank() - layout.k) return false;
  for (uint32_t i = 0; i < lead; ++i) {
    if (updates.dim(i) != indices.dim(i)) return false;
  }
  for (uint64_t i = layout.k; i < data.rank(); ++i) {
    if (updates.dim(static_cast<uint32_t>(lead + i - layout.k)) != data.dim(static_cast<uint32_t>(i))) {
      return false;
    }
  }
  return true;
}

// The converter lowers ScatterND and ScatterElements to one kind: a recorded axis attribute
// marks the element form; otherwise the shapes ONNX defines for each form decide, ScatterND
// first.
ScatterForm scatter_form(const CpuNode& node, const CpuValue& data, const CpuValue& indices,
                         const CpuValue& updates) {
  const bool elementwise = elementwise_fits(node, data, indices, updates);
  if (elementwise && node.attr(kAxisRecordedWord) == 1) return ScatterForm::kElementwise;
  if (tuple_fits(data, indices, updates, true)) return ScatterForm::kTuple;
  if (elementwise) return ScatterForm::kElementwise;
  if (tuple_fits(data, indices, updates, false)) return ScatterForm::kTuple;
  return ScatterForm::kInvalid;
}

bool check_scatter_nd(const OpCheck& check) {
  if (static_cast<uint64_t>(check.node.attr(kScatterReductionWord)) > kScatterMin) {
    return check.fail("unknown scatter reduction %lld", as_sll(check.node.attr(kScatterReductionWord)));
  }
  if (!check.inputs_between(3, 3) || !check.outputs_between(1, 1) || !check.inputs_present(3)) {
    return false;
  }
  const CpuValue& data = check.in_value(0);
  if (!same_dims_except(data, check.out_value(0), kMaxRank)) {
    return check.fail("output shape differs from the data shape");
  }
  if (scatter_form(check.node, data, check.in_value(1), check.in_value(2)) == ScatterForm::kInvalid) {
    return check.fail("indices and updates fit neither the element nor the tuple form");
  }
  return true;
}

bool run_scatter_nd(const OpContext& ctx) {
  const CpuValue& data_v = ctx.in_value(0);
  const CpuValue& idx_v = ctx.in_value(1);
  const CpuValue& upd_v = ctx.in_value(2);
  const float* indices = ctx.in(1);
  const float* updates = ctx.in(2);
  float* out = ctx.out(0);
  const ScatterForm form = scatter_form(ctx.node, data_v, idx_v, upd_v);
  if (form == ScatterForm::kInvalid) return false;
  if (out != ctx.in(0)) copy_floats(out, ctx.in(0), data_v.element_count());
  const uint64_t reduction = static_cast<uint64_t>(ctx.node.attr(kScatterReductionWord));

  if (form == ScatterForm::kTuple) {
    TupleLayout layout;
    tuple_layout(data_v, idx_v, layout);
    for (uint64_t t = 0; t < layout.tuples; ++t) {
      const uint64_t flat = tuple_offset(data_v, indices + t * layout.k, layout);
      scatter_into(out + flat * layout.slice, updates + t * layout.slice, layout.slice, reduction);
    }
    return true;
  }

  const uint32_t rank = static_cast<uint32_t>(data_v.rank());
  uint32_t axis = 0;
  normalise_axis(ctx.node.attr(kAxisWord), rank, axis);
  uint64_t strides[kMaxRank] = {};
  uint64_t s = 1;
  for (int i = static_cast<int>(rank) - 1; i >= 0; --i) {
    strides[i] = s;
    s *= data_v.dim(static_cast<uint32_t>(i));
  }
  uint64_t coord[kMaxRank] = {};
  const uint64_t count = upd_v.element_count();
  for (uint64_t u = 0; u < count; ++u) {
    uint64_t at = 0;
    for (uint32_t i = 0; i < rank; ++i) {
      const uint64_t c = i == axis ? wrap_clamp_index(indices[u], data_v.dim(axis)) : coord[i];
      at += c * strides[i];
    }
    scatter_into(out + at, updates + u, 1, reduction);
    for (int i = static_cast<int>(rank) - 1; i >= 0; --i) {
      if (++coord[i] < upd_v.dim(static_cast<uint32_t>(i))) break;
      coord[i] = 0;
    }
  }
  return true;
}

}  // namespace

void add_gather_scatter_ops(OpRegistry& registry) {
  registry.add(static_cast<uint64_t>(OpKind::kGather), check_gather, run_gather);
  registry.add(static_cast<uint64_t>(OpKind::kGatherND), check_gather_nd, run_gather_nd);
  registry.add(static_cast<uint64_t>(OpKind::kScatterND), check_scatter_nd, run_scatter_nd);
}

}  // namespace vexa::cpu
