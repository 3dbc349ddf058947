// Shape helpers, attribute reads and metadata strings of the generative graph executor.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/domain_error.h"
#include "core/text_utf8.h"
#include "gpu/vx_tensor.h"

namespace vexa {

uint64_t vx_element_bytes(uint64_t dtype) {
  switch (dtype) {
    case kVXDtypeF16: return 2;
    case kVXDtypeF32: return 4;
    case kVXDtypeI64: return 8;
    default: return 0;
  }
}

void raise_inference(const std::string& message) { throw DomainError(kInferenceDomain, message); }

uint64_t shape_element_count(std::span<const uint64_t> shape) {
  require_inference(shape.size() <= kVXMaxRank, "Tensor rank exceeds six");
  uint64_t count = 1;
  for (uint64_t d : shape) {
    // Above 2^30 also covers every value that is negative as a signed word.
    require_inference(d <= kVXMaxElements, "Invalid dimension");
    // Both factors are at most 2^30, so the product cannot wrap.
    count *= d;
    require_inference(count <= kVXMaxElements, "Tensor too large");
  }
  return count;
}

uint64_t shape_last_dim(std::span<const uint64_t> shape) {
  require_inference(!shape.empty(), "Scalar not supported here");
  return shape.back();
}

uint64_t shape_dim_at(std::span<const uint64_t> shape, uint64_t index) {
  require_inference(index < shape.size(), "Rank mismatch");
  return shape[index];
}

double real_attribute(uint64_t word) {
  const double v = std::bit_cast<double>(word);
  require_inference(std::isfinite(v), "Invalid real attribute");
  return v;
}

float real_attribute_f32(uint64_t word) {
  const double v = real_attribute(word);
  // Converting a double beyond the float range is undefined; such a value is no finite float.
  require_inference(std::fabs(v) <= static_cast<double>(std::numeric_limits<float>::max()),
                    "Invalid real attribute");
  return static_cast<float>(v);
}

std::string metadata_cstring(const uint8_t* image, uint64_t length, uint64_t offset,
                             uint64_t area_start, uint64_t area_end) {
  require_inference(image != nullptr && offset >= area_start && offset < area_end &&
                        area_end <= length,
                    "String bounds");
  const void* nul = std::memchr(image + offset, 0, area_end - offset);
  require_inference(nul != nullptr, "Unterminated string");
  const auto* begin = reinterpret_cast<const char*>(image + offset);
  const std::string_view s(begin, static_cast<const char*>(nul) - begin);
  require_inference(text::utf8_valid(s), "Invalid UTF-8");
  return std::string(s);
}

}  // namespace vexa
