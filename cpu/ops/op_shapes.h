// Shape and index helpers shared by the data-movement, reduction, resize and detection
// families: axis normalisation, [outer, D, inner] views and float-to-index conversion that
// never feeds NaN or an out-of-range value to an integer conversion.
#pragma once

#include <cmath>
#include <cstdint>

#include "cpu/graph_records.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {

// Attribute word holding the single axis of the axis-based operators.
inline constexpr uint32_t kAxisWord = 26;

// axis + rank for a negative axis; false when the result is not an axis of that rank.
inline bool normalise_axis(int64_t axis, uint64_t rank, uint32_t& out) {
  const int64_t r = static_cast<int64_t>(rank);
  if (axis < -r || axis >= r || r > static_cast<int64_t>(kMaxRank)) return false;
  out = static_cast<uint32_t>(axis < 0 ? axis + r : axis);
  return true;
}

// Product of dims [from, to) of a value (1 for an empty range).
inline uint64_t dims_product(const CpuValue& v, uint32_t from, uint32_t to) {
  uint64_t p = 1;
  for (uint32_t i = from; i < to && i < v.rank(); ++i) p *= v.dim(i);
  return p;
}

// A tensor seen as [outer, D, inner] around one axis.
struct AxisView {
  uint64_t outer = 1;
  uint64_t d = 1;
  uint64_t inner = 1;
};

inline AxisView axis_view(const CpuValue& v, uint32_t axis) {
  AxisView view;
  if (v.rank() == 0) return view;
  view.outer = dims_product(v, 0, axis);
  view.d = v.dim(axis);
  view.inner = dims_product(v, axis + 1, static_cast<uint32_t>(v.rank()));
  return view;
}

// lo when v is below lo or NaN, hi when above hi, else v.
inline float clamp_float(float v, float lo, float hi) {
  if (!(v >= lo)) return lo;
  if (v > hi) return hi;
  return v;
}

// Bound on index magnitudes before conversion: far beyond any tensor extent (2^30) and
// exactly representable, so the conversion below is always defined.
inline constexpr float kIndexMagnitudeLimit = 4.0e9f;

// An index tensor entry truncated toward zero; NaN reads as 0.
inline int64_t truncate_index(float v) {
  if (std::isnan(v)) return 0;
  return static_cast<int64_t>(clamp_float(v, -kIndexMagnitudeLimit, kIndexMagnitudeLimit));
}

// An index along an axis of `extent` entries (extent >= 1): truncated, a negative index
// counted once from the end, then clamped into [0, extent - 1].
inline uint64_t wrap_clamp_index(float v, uint64_t extent) {
  int64_t i = truncate_index(v);
  const int64_t n = static_cast<int64_t>(extent);
  if (i < 0) i += n;
  if (i < 0) i = 0;
  if (i >= n) i = n - 1;
  return static_cast<uint64_t>(i);
}

// Whether two values have the same dims, axis `skip` excepted (pass kMaxRank to skip none).
inline bool same_dims_except(const CpuValue& a, const CpuValue& b, uint32_t skip) {
  if (a.rank() != b.rank()) return false;
  for (uint32_t i = 0; i < a.rank(); ++i) {
    if (i != skip && a.dim(i) != b.dim(i)) return false;
  }
  return true;
}

// Work below this many touched elements runs inline on the calling thread.
inline constexpr uint64_t kParallelMinWork = 65536;
// Parallel work is always cut into this many ranges, so results never depend on thread count.
inline constexpr uint64_t kWorkPieces = 64;

// Runs fn(first, last) over [0, units) in kWorkPieces fixed ranges on the pool when `work`
// (elements touched) reaches kParallelMinWork, else once inline. Ranges must write disjoint
// outputs.
template <class Fn>
void for_unit_ranges(uint64_t units, uint64_t work, Fn&& fn) {
  if (units == 0) return;
  if (units < 2 || work < kParallelMinWork) {
    fn(uint64_t{0}, units);
    return;
  }
  const uint64_t per = (units + kWorkPieces - 1) / kWorkPieces;
  parallel_for(kWorkPieces, [&](size_t piece) {
    const uint64_t first = piece * per;
    if (first >= units) return;
    fn(first, first + per < units ? first + per : units);
  });
}

inline unsigned long long as_ull(uint64_t v) { return static_cast<unsigned long long>(v); }
inline long long as_sll(int64_t v) { return static_cast<long long>(v); }

}  // namespace vexa::cpu
