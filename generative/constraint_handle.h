// The request-facing side of the output constraints: building one for a generation request, and
// the object the generation loop masks and advances with. Both translate the constraint code's
// exceptions into error domains: memory exhaustion becomes DomainError "NSMallocException"
// "Constraint allocation failed", anything else DomainError "VexaFrontend" with its message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "generative/constraint.h"

namespace vexa {

// The fields of a generation request that decide its constraint.
struct ConstraintRequest {
  const char* json_schema = nullptr;  // NUL-terminated; null or empty means none
  uint32_t amount_decimals = 0;
  uint64_t stop_count = 0;
  bool has_mask_callback = false;
  uint32_t max_new_tokens = 0;
};

// The raw bytes of one vocabulary id (empty for a special id); may throw.
using TokenBytesSource = std::function<std::string(int64_t id)>;

// Null when the request asks for no constraint. Otherwise collects the bytes of ids
// 0..vocabulary_size-1 and compiles; throws ConstraintError (untranslated) on refusal, including
// "Output constraints cannot be combined with stops or custom masks".
std::unique_ptr<Constraint> make_request_constraint(const ConstraintRequest& request,
                                                    uint64_t vocabulary_size,
                                                    const TokenBytesSource& token_bytes,
                                                    const std::vector<int64_t>& eos_ids);

// One request's constraint as the generation loop uses it.
class VXConstraint {
 public:
  VXConstraint() = default;
  explicit VXConstraint(std::unique_ptr<Constraint> constraint);

  // Takes ownership; the previous constraint, if any, is destroyed.
  void init_with_constraint(std::unique_ptr<Constraint> constraint);
  // Narrows a vocab-byte mask for the next token; remaining counts that token.
  void mask(uint8_t* mask, uint64_t vocab, uint64_t remaining);
  // Advances with the chosen token; true when the constrained output is finished.
  bool accept_token(int64_t token);

  const Constraint* constraint() const { return constraint_.get(); }

 private:
  std::unique_ptr<Constraint> constraint_;
};

// make_request_constraint wrapped in a VXConstraint, with its exceptions translated.
std::unique_ptr<VXConstraint> constraint_with_request(const ConstraintRequest& request,
                                                      uint64_t vocabulary_size,
                                                      const TokenBytesSource& token_bytes,
                                                      const std::vector<int64_t>& eos_ids);

}  // namespace vexa
