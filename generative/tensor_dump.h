// Trace files: one live executor tensor, or a slice of it, written as raw little-endian
// elements in a file named after the tensor ("/" becomes "_", then ".bin"), described by
// {"file", "shape", "dtype"}.
//
// Failures raise DomainError("VexaInference"): "Output slice bounds", "Cache trace must contain
// the complete live tensor", "Writing output tensor".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gpu/vx_tensor.h"

namespace vexa {

// The file name a tensor's trace gets.
std::string vlm_dump_file_name(const std::string& name);

// Writes `shape`'s worth of elements starting `byte_offset` bytes into the tensor. A key/value
// cache (cache_stride set) is written whole, its live positions gathered row by row, and
// `shape` must be its own with byte_offset 0.
nlohmann::json vlm_dump_tensor(const VXTensor& tensor, const std::string& name,
                               const std::string& directory, uint64_t byte_offset,
                               const std::vector<uint64_t>& shape);

// Writes the first `positions` entries of dimension 1 for every index of dimension 0 (the
// tensor's rank must be at least 2 and dimension 1 at least `positions`): a slice that is not
// one contiguous range once dimension 0 is above 1, so it is gathered index by index.
nlohmann::json vlm_dump_leading_positions(const VXTensor& tensor, const std::string& name,
                                          const std::string& directory, uint64_t positions);

}  // namespace vexa
