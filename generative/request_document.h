// A generation request as the engine passes it between stages: a JSON object (the request
// dictionary) whose byte values, encoded images and raw pixels, are JSON binary values.
//
// A byte value either carries its own bytes (a binary value without a subtype) or refers to a
// range the caller lent for the length of the request (a binary value with no content whose
// subtype is an index into `buffers`). References keep large images out of the document: the
// request builder lends the caller's bytes instead of copying up to 512 MiB per image.
// Byte values can only come from code: parsed JSON text never holds one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <nlohmann/json.hpp>

namespace vexa {

struct RequestDocument {
  nlohmann::json values = nlohmann::json::object();
  std::vector<std::span<const uint8_t>> buffers;

  RequestDocument() = default;
  explicit RequestDocument(nlohmann::json v) : values(std::move(v)) {}

  // Lends [data, data + length) to the document; returns the value that refers to it.
  nlohmann::json lend_bytes(const uint8_t* data, uint64_t length);

  // The bytes a byte value stands for; nullopt for any other value and for a reference to a
  // range this document does not hold. The view lives as long as `value` and the lent range.
  std::optional<std::span<const uint8_t>> bytes_of(const nlohmann::json& value) const;
};

}  // namespace vexa
