#include "platform/graph_shapes.h"

namespace vexa {

std::string graph_shape_text(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

bool graph_broadcast_shapes(const std::vector<int64_t>& a, const std::vector<int64_t>& b,
                            std::vector<int64_t>* out) {
  const size_t rank = a.size() > b.size() ? a.size() : b.size();
  std::vector<int64_t> r(rank);
  for (size_t i = 0; i < rank; ++i) {
    const size_t from_end = rank - 1 - i;
    const int64_t da = from_end < a.size() ? a[a.size() - 1 - from_end] : 1;
    const int64_t db = from_end < b.size() ? b[b.size() - 1 - from_end] : 1;
    if (da == db || db == 1) {
      r[i] = da;
    } else if (da == 1) {
      r[i] = db;
    } else {
      return false;
    }
  }
  *out = std::move(r);
  return true;
}

bool graph_broadcasts_to(const std::vector<int64_t>& from, const std::vector<int64_t>& to) {
  if (from.size() > to.size()) return false;
  for (size_t k = 0; k < from.size(); ++k) {
    const int64_t d = from[from.size() - 1 - k];
    if (d != 1 && d != to[to.size() - 1 - k]) return false;
  }
  return true;
}

bool graph_normalise_axis(int64_t axis, uint64_t rank, uint32_t* out) {
  const int64_t r = static_cast<int64_t>(rank);
  if (axis < -r || axis >= r) return false;
  *out = static_cast<uint32_t>(axis < 0 ? axis + r : axis);
  return true;
}

uint64_t graph_dims_product(const std::vector<int64_t>& shape, size_t from, size_t to) {
  uint64_t p = 1;
  for (size_t i = from; i < to && i < shape.size(); ++i) p *= static_cast<uint64_t>(shape[i]);
  return p;
}

}  // namespace vexa
