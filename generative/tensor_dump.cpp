#include "generative/tensor_dump.h"

#include <cstring>
#include <span>

#include "core/checked_math.h"
#include "core/domain_error.h"
#include "core/file_replace.h"

namespace vexa {

namespace {

constexpr const char* kDomain = "VexaInference";

[[noreturn]] void raise(const char* message) { throw DomainError(kDomain, message); }

// Dumps take 2 bytes for F16, 4 for F32 and 8 for anything else.
uint64_t dump_element_bytes(uint64_t dtype) {
  if (dtype == kVXDtypeF16) return 2;
  if (dtype == kVXDtypeF32) return 4;
  return 8;
}

const uint8_t* tensor_base(const VXTensor& t, uint64_t need_bytes) {
  if (t.buffer == nullptr || t.buffer->contents() == nullptr ||
      !range_within(t.offset, need_bytes, t.buffer->length())) {
    raise("Output slice bounds");
  }
  return static_cast<const uint8_t*>(t.buffer->contents()) + t.offset;
}

nlohmann::json write_dump(std::span<const uint8_t> bytes, const std::string& name,
                          const std::string& directory, const std::vector<uint64_t>& shape,
                          uint64_t dtype) {
  const std::string file = vlm_dump_file_name(name);
  const std::string path = directory.empty() ? file : directory + "/" + file;
  const FileReplaceResult r = file_replace(path, {}, [&](FileReplaceSink& sink) {
    return sink.write(bytes.data(), bytes.size());
  });
  if (!r.ok()) raise("Writing output tensor");
  return {{"file", file}, {"shape", shape}, {"dtype", dtype}};
}

}  // namespace

std::string vlm_dump_file_name(const std::string& name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '/') c = '_';
  }
  return file + ".bin";
}

nlohmann::json vlm_dump_tensor(const VXTensor& tensor, const std::string& name,
                               const std::string& directory, uint64_t byte_offset,
                               const std::vector<uint64_t>& shape) {
  const uint64_t element = dump_element_bytes(tensor.dtype);
  const uint64_t bytes = shape_element_count(shape) * element;  // at most 2^33
  const uint64_t live = tensor.count * element;
  if (byte_offset > live || bytes > live - byte_offset) raise("Output slice bounds");
  if (tensor.cache_stride == 0) {
    const uint8_t* base = tensor_base(tensor, byte_offset + bytes);
    return write_dump({base + byte_offset, static_cast<size_t>(bytes)}, name, directory, shape,
                      tensor.dtype);
  }
  if (byte_offset != 0 || shape != tensor.shape || shape.size() != 4 ||
      shape[2] > tensor.cache_stride) {
    raise("Cache trace must contain the complete live tensor");
  }
  // [B, heads, T, D] rows of T x D elements live `cache_stride` positions apart.
  const uint64_t rows = shape[0] * shape[1];
  const uint64_t row_bytes = shape[2] * shape[3] * element;
  const uint64_t row_stride = tensor.cache_stride * shape[3] * element;
  uint64_t span_bytes = 0;
  if (rows > 0 && !checked_mul_u64(rows - 1, row_stride, &span_bytes)) raise("Output slice bounds");
  const uint8_t* base = tensor_base(tensor, rows == 0 ? 0 : span_bytes + row_bytes);
  std::vector<uint8_t> packed(static_cast<size_t>(rows * row_bytes));
  for (uint64_t r = 0; r < rows; ++r) {
    std::memcpy(packed.data() + r * row_bytes, base + r * row_stride, static_cast<size_t>(row_bytes));
  }
  return write_dump(packed, name, directory, shape, tensor.dtype);
}

nlohmann::json vlm_dump_leading_positions(const VXTensor& tensor, const std::string& name,
                                          const std::string& directory, uint64_t positions) {
  if (tensor.shape.size() < 2 || tensor.shape[1] < positions || tensor.cache_stride != 0) {
    raise("Output slice bounds");
  }
  const uint64_t element = dump_element_bytes(tensor.dtype);
  uint64_t inner = 1;  // elements of one position of dimension 1
  for (size_t d = 2; d < tensor.shape.size(); ++d) inner *= tensor.shape[d];
  const uint64_t outer = tensor.shape[0];
  const uint64_t index_bytes = tensor.shape[1] * inner * element;
  const uint64_t keep_bytes = positions * inner * element;
  const uint8_t* base = tensor_base(tensor, tensor.count * element);
  std::vector<uint8_t> packed(static_cast<size_t>(outer * keep_bytes));
  for (uint64_t i = 0; i < outer; ++i) {
    std::memcpy(packed.data() + i * keep_bytes, base + i * index_bytes,
                static_cast<size_t>(keep_bytes));
  }
  std::vector<uint64_t> shape = tensor.shape;
  shape[1] = positions;
  return write_dump(packed, name, directory, shape, tensor.dtype);
}

}  // namespace vexa
