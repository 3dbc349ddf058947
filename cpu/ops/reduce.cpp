// Single-axis reductions: ArgMax, ReduceMean/Sum/Max/Min/Prod, CumSum and TopK. Every
// operator views its input as [outer, D, inner] and accumulates in f32 in axis order, one
// output row of `inner` floats at a time so the inner loop runs over contiguous memory.
#include "cpu/ops/reduce.h"

#include <cstring>

#include "cpu/ops/op_shapes.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kCumSumExclusiveWord = 27;
constexpr uint32_t kCumSumReverseWord = 28;
constexpr uint32_t kTopKSmallestWord = 27;
constexpr uint32_t kArgMaxLastIndexWord = 28;
constexpr float kTopKLargestStart = -1e30f;
constexpr float kTopKSmallestStart = 1e30f;

bool input_axis(const CpuNode& node, const CpuValue& in, uint32_t& axis) {
  return normalise_axis(node.attr(kAxisWord), in.rank(), axis);
}

// ---- ArgMax and the reductions ----

bool reduces_empty_axis_badly(uint64_t kind) {
  return kind == static_cast<uint64_t>(OpKind::kReduceMax) ||
         kind == static_cast<uint64_t>(OpKind::kReduceMin);
}

// Input 0 present and its recorded axis inside its rank; a refusal names the axis otherwise.
bool check_axis_input(const OpCheck& check, uint32_t max_outputs, uint32_t& axis) {
  if (!check.inputs_between(1, 2) || !check.outputs_between(1, max_outputs) ||
      !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  if (in.rank() == 0 || !input_axis(check.node, in, axis)) {
    return check.fail("axis %lld is outside rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(in.rank()));
  }
  return true;
}

bool check_reduce(const OpCheck& check) {
  uint32_t axis = 0;
  if (!check_axis_input(check, 1, axis)) return false;
  const CpuValue& in = check.in_value(0);
  const AxisView v = axis_view(in, axis);
  if (check.out_value(0).element_count() != v.outer * v.inner) {
    return check.fail("output has %llu elements, a single-axis reduction gives %llu",
                      as_ull(check.out_value(0).element_count()), as_ull(v.outer * v.inner));
  }
  if (v.d == 0 && v.outer * v.inner != 0 && reduces_empty_axis_badly(check.node.kind())) {
    return check.fail("reduces an empty axis");
  }
  return true;
}

enum class Reduction { kMean, kSum, kMax, kMin, kProd };

template <Reduction r>
void reduce_rows(const float* x, float* y, const AxisView& v, uint64_t o_begin, uint64_t o_end) {
  for (uint64_t o = o_begin; o < o_end; ++o) {
    const float* src = x + o * v.d * v.inner;
    float* dst = y + o * v.inner;
    if constexpr (r == Reduction::kMax || r == Reduction::kMin) {
      std::memcpy(dst, src, v.inner * sizeof(float));
      for (uint64_t j = 1; j < v.d; ++j) {
        const float* row = src + j * v.inner;
        for (uint64_t p = 0; p < v.inner; ++p) {
          if constexpr (r == Reduction::kMax) {
            if (row[p] > dst[p]) dst[p] = row[p];
          } else {
            if (row[p] < dst[p]) dst[p] = row[p];
          }
        }
      }
    } else if (v.inner == 1) {
      // A contiguous row: the running value stays in a register (same order, same bits)
      // instead of going through dst on every step.
      float acc = r == Reduction::kProd ? 1.0f : 0.0f;
      for (uint64_t j = 0; j < v.d; ++j) {
        if constexpr (r == Reduction::kProd) {
          acc = acc * src[j];
        } else {
          acc = acc + src[j];
        }
      }
      if constexpr (r == Reduction::kMean) acc = acc / static_cast<float>(v.d);
      dst[0] = acc;
    } else {
      const float start = r == Reduction::kProd ? 1.0f : 0.0f;
      for (uint64_t p = 0; p < v.inner; ++p) dst[p] = start;
      for (uint64_t j = 0; j < v.d; ++j) {
        const float* row = src + j * v.inner;
        for (uint64_t p = 0; p < v.inner; ++p) {
          if constexpr (r == Reduction::kProd) {
            dst[p] = dst[p] * row[p];
          } else {
            dst[p] = dst[p] + row[p];
          }
        }
      }
      if constexpr (r == Reduction::kMean) {
        const float n = static_cast<float>(v.d);
        for (uint64_t p = 0; p < v.inner; ++p) dst[p] = dst[p] / n;
      }
    }
  }
}

bool run_reduce(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  uint32_t axis = 0;
  if (!input_axis(ctx.node, in, axis)) return false;
  const AxisView v = axis_view(in, axis);
  const float* x = ctx.in(0);
  float* y = ctx.out(0);
  void (*rows)(const float*, float*, const AxisView&, uint64_t, uint64_t) = nullptr;
  switch (static_cast<OpKind>(ctx.node.kind())) {
    case OpKind::kReduceMean:
      rows = reduce_rows<Reduction::kMean>;
      break;
    case OpKind::kReduceSum:
      rows = reduce_rows<Reduction::kSum>;
      break;
    case OpKind::kReduceMax:
      rows = reduce_rows<Reduction::kMax>;
      break;
    case OpKind::kReduceMin:
      rows = reduce_rows<Reduction::kMin>;
      break;
    case OpKind::kReduceProd:
      rows = reduce_rows<Reduction::kProd>;
      break;
    default:
      return false;
  }
  for_unit_ranges(v.outer, v.outer * v.d * v.inner,
                  [&](uint64_t first, uint64_t last) { rows(x, y, v, first, last); });
  return true;
}

// Index of the greatest entry, the first among equals or (select_last_index) the last; written
// as f32.
bool run_argmax(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  uint32_t axis = 0;
  if (!input_axis(ctx.node, in, axis)) return false;
  const AxisView v = axis_view(in, axis);
  const float* x = ctx.in(0);
  float* y = ctx.out(0);
  const bool last_index = ctx.node.attr(kArgMaxLastIndexWord) != 0;
  for_unit_ranges(v.outer, v.outer * v.d * v.inner, [&](uint64_t first, uint64_t last) {
    for (uint64_t o = first; o < last; ++o) {
      const float* src = x + o * v.d * v.inner;
      for (uint64_t p = 0; p < v.inner; ++p) {
        uint64_t best = 0;
        if (v.d >= 2) {
          float best_value = src[p];
          for (uint64_t j = 1; j < v.d; ++j) {
            const float value = src[j * v.inner + p];
            if (value > best_value || (last_index && value == best_value)) {
              best_value = src[j * v.inner + p];
              best = j;
            }
          }
        }
        y[o * v.inner + p] = static_cast<float>(best);
      }
    }
  });
  return true;
}

// ---- CumSum ----

bool cumsum_axis_from_input(const OpCheck& check) {
  return check.node.input_count() >= 2 && check.has_input(1) &&
         check.in_value(1).element_count() >= 1;
}

bool check_cumsum(const OpCheck& check) {
  if (!check.inputs_between(1, 2) || !check.outputs_between(1, 1) || !check.inputs_present(1)) {
    return false;
  }
  const CpuValue& in = check.in_value(0);
  if (in.rank() == 0) return check.fail("input has no axis");
  if (!same_dims_except(in, check.out_value(0), kMaxRank)) {
    return check.fail("output shape differs from the input shape");
  }
  uint32_t axis = 0;
  if (!cumsum_axis_from_input(check) && !input_axis(check.node, in, axis)) {
    return check.fail("axis %lld is outside rank %llu", as_sll(check.node.attr(kAxisWord)),
                      as_ull(in.rank()));
  }
  return true;
}

bool run_cumsum(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  uint32_t axis = 0;
  const bool from_input =
      ctx.node.input_count() >= 2 && ctx.has_input(1) && ctx.in_value(1).element_count() >= 1;
  // An axis computed at run time that names no axis ends the run.
  if (from_input ? !normalise_axis(truncate_index(ctx.in(1)[0]), in.rank(), axis)
                 : !input_axis(ctx.node, in, axis)) {
    return false;
  }
  const AxisView v = axis_view(in, axis);
  const bool exclusive = ctx.node.attr(kCumSumExclusiveWord) != 0;
  const bool reverse = ctx.node.attr(kCumSumReverseWord) != 0;
  const float* x = ctx.in(0);
  float* y = ctx.out(0);
  for_unit_ranges(v.outer, v.outer * v.d * v.inner, [&](uint64_t first, uint64_t last) {
    for (uint64_t o = first; o < last; ++o) {
      for (uint64_t p = 0; p < v.inner; ++p) {
        const uint64_t base = o * v.d * v.inner + p;
        float r = 0.0f;
        for (uint64_t step = 0; step < v.d; ++step) {
          const uint64_t j = reverse ? v.d - 1 - step : step;
          const float value = x[base + j * v.inner];
          if (exclusive) {
            y[base + j * v.inner] = r;
            r = r + value;
          } else {
            r = r + value;
            y[base + j * v.inner] = r;
          }
        }
      }
    }
  });
  return true;
}

// ---- TopK ----

bool check_topk(const OpCheck& check) {
  uint32_t axis = 0;
  if (!check_axis_input(check, 2, axis)) return false;
  const CpuValue& in = check.in_value(0);
  const CpuValue& values = check.out_value(0);
  if (!same_dims_except(values, in, axis)) {
    return check.fail("values output differs from the input off the axis");
  }
  if (check.node.output_count() == 2 && !same_dims_except(check.out_value(1), values, kMaxRank)) {
    return check.fail("indices output differs from the values output");
  }
  return true;
}

uint64_t topk_workspace(const OpCheck& check) {
  uint32_t axis = 0;
  if (check.node.input_count() < 1 || !input_axis(check.node, check.in_value(0), axis)) return 0;
  return check.in_value(0).dim(axis);  // one picked flag per entry of the axis
}

bool run_topk(const OpContext& ctx) {
  const CpuValue& in = ctx.in_value(0);
  uint32_t axis = 0;
  if (!input_axis(ctx.node, in, axis)) return false;
  const AxisView v = axis_view(in, axis);
  if (ctx.workspace_bytes < v.d) return false;
  const uint64_t k = ctx.out_value(0).dim(axis);
  const bool smallest = ctx.node.attr(kTopKSmallestWord) != 0;
  const float start = smallest ? kTopKSmallestStart : kTopKLargestStart;
  const float* x = ctx.in(0);
  float* values = ctx.out(0);
  float* indices = ctx.node.output_count() >= 2 ? ctx.out(1) : nullptr;
  uint8_t* picked = reinterpret_cast<uint8_t*>(ctx.workspace);
  for (uint64_t o = 0; o < v.outer; ++o) {
    for (uint64_t p = 0; p < v.inner; ++p) {
      const float* src = x + o * v.d * v.inner + p;
      if (v.d != 0) std::memset(picked, 0, v.d);
      for (uint64_t r = 0; r < k; ++r) {
        float best = start;
        uint64_t best_index = 0;
        bool found = false;
        for (uint64_t j = 0; j < v.d; ++j) {
          if (picked[j]) continue;
          const float value = src[j * v.inner];
          if (smallest ? value < best : value > best) {
            best = value;
            best_index = j;
            found = true;
          }
        }
        if (found) picked[best_index] = 1;
        const uint64_t at = (o * k + r) * v.inner + p;
        values[at] = best;
        if (indices != nullptr) indices[at] = static_cast<float>(best_index);
      }
    }
  }
  return true;
}

}  // namespace

void register_reduce_ops(OpRegistry& registry) {
  add_softmax_ops(registry);
  registry.add(static_cast<uint64_t>(OpKind::kArgMax), check_reduce, run_argmax);
  for (OpKind kind : {OpKind::kReduceMean, OpKind::kReduceSum, OpKind::kReduceMax,
                      OpKind::kReduceMin, OpKind::kReduceProd}) {
    registry.add(static_cast<uint64_t>(kind), check_reduce, run_reduce);
  }
  registry.add(static_cast<uint64_t>(OpKind::kCumSum), check_cumsum, run_cumsum);
  registry.add(static_cast<uint64_t>(OpKind::kTopK), check_topk, run_topk, topk_workspace);
}

}  // namespace vexa::cpu
