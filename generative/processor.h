// VXProcessor: the processor of an open generative model. It reads the six asset documents from
// the container's aux table, builds the checked processor from them, and serves the tokenizer
// to the generation loop. Every failure leaves as a DomainError named by its domain.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/constraint_handle.h"
#include "generative/model_config.h"
#include "generative/request_document.h"
#include "generative/request_prepare.h"
#include "generative/request_records.h"

namespace vexa {

class VXProcessor {
 public:
  // `metadata` is the container's metadata region [0, length); blobs are read from `fd` at
  // base_offset + their offset. The descriptor is neither closed nor kept. Throws DomainError
  // "VexaModel" with the refusal's message (asset, JSON and configuration checks alike), or
  // "NSMallocException" "Processor allocation failed".
  VXProcessor(const uint8_t* metadata, uint64_t length, int fd, uint64_t base_offset = 0);
  ~VXProcessor();
  VXProcessor(const VXProcessor&) = delete;
  VXProcessor& operator=(const VXProcessor&) = delete;

  const nlohmann::json& config() const { return processor_->config; }  // "config.json"
  const std::vector<int64_t>& eos() const { return processor_->eos_ids; }
  const Processor& processor() const { return *processor_; }

  // Throw DomainError "VexaFrontend" with the tokenizer's message, or "NSMallocException"
  // "Token decoding allocation failed".
  std::string token_bytes(int64_t id) const;
  std::string decode(std::span<const int64_t> ids) const;

  // The model inputs of one request (see processor_options_from_request and prepare_request).
  // Throws DomainError: "VexaFrontend" for the request's own refusals; "VexaImage" when the
  // message names JPEG or PNG or is "Cannot read image"; "VexaFrontend" for every other
  // failure; "NSMallocException" "Input allocation failed" when memory runs out.
  PreparedInputs prepare(const RequestDocument& request) const;

  // The request's output constraint, or null when it asks for none; `request` null means the
  // defaults. Throws DomainError "VexaFrontend" with the constraint's refusal, or
  // "NSMallocException" "Constraint allocation failed".
  std::unique_ptr<VXConstraint> constraint_with_params(const VlmRequest* request) const;

 private:
  std::unique_ptr<Processor> processor_;
};

inline constexpr const char* kDomainModel = "VexaModel";
inline constexpr const char* kDomainFrontend = "VexaFrontend";
inline constexpr const char* kDomainImage = "VexaImage";
inline constexpr const char* kDomainNoMemory = "NSMallocException";

}  // namespace vexa
