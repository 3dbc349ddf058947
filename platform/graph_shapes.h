// Shape arithmetic shared by graph construction and compilation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

// "[1, 3, 224, 224]".
std::string graph_shape_text(const std::vector<int64_t>& shape);

// The numpy broadcast of two shapes; false when a pair of dims is neither equal nor has a 1.
bool graph_broadcast_shapes(const std::vector<int64_t>& a, const std::vector<int64_t>& b,
                            std::vector<int64_t>* out);

// Whether `from` broadcasts to exactly `to`.
bool graph_broadcasts_to(const std::vector<int64_t>& from, const std::vector<int64_t>& to);

// axis + rank for a negative axis; false when the result is not a dim of that rank.
bool graph_normalise_axis(int64_t axis, uint64_t rank, uint32_t* out);

// Product of dims [from, to).
uint64_t graph_dims_product(const std::vector<int64_t>& shape, size_t from, size_t to);

}  // namespace vexa
