#include "generative/request_document.h"

namespace vexa {

nlohmann::json RequestDocument::lend_bytes(const uint8_t* data, uint64_t length) {
  const uint64_t index = buffers.size();
  buffers.emplace_back(data, static_cast<size_t>(length));
  return nlohmann::json::binary(nlohmann::json::binary_t::container_type{}, index);
}

std::optional<std::span<const uint8_t>> RequestDocument::bytes_of(
    const nlohmann::json& value) const {
  if (!value.is_binary()) return std::nullopt;
  const nlohmann::json::binary_t& binary = value.get_binary();
  if (!binary.has_subtype()) return std::span<const uint8_t>(binary.data(), binary.size());
  if (!binary.empty() || binary.subtype() >= buffers.size()) return std::nullopt;
  return buffers[static_cast<size_t>(binary.subtype())];
}

}  // namespace vexa
