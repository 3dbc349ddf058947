#include "generative/constraint_handle.h"

#include <climits>
#include <exception>
#include <new>

#include "core/domain_error.h"
#include "generative/constraint_compiler.h"
#include "generative/constraint_runtime.h"

namespace vexa {

namespace {

// Runs `body`, turning memory exhaustion and every other failure into the error domains the
// request layer maps to codes.
template <typename Body>
auto translated(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    throw DomainError("NSMallocException", "Constraint allocation failed");
  } catch (const std::exception& e) {
    throw DomainError("VexaFrontend", e.what());
  }
}

Constraint& require_constraint(const std::unique_ptr<Constraint>& c) {
  constraint_require(c != nullptr, "Constraint is not initialised");
  return *c;
}

}  // namespace

std::unique_ptr<Constraint> make_request_constraint(const ConstraintRequest& request,
                                                    uint64_t vocabulary_size,
                                                    const TokenBytesSource& token_bytes,
                                                    const std::vector<int64_t>& eos_ids) {
  // An empty schema text is no schema, as at the flat entries.
  const char* schema =
      (request.json_schema != nullptr && request.json_schema[0] != '\0') ? request.json_schema
                                                                         : nullptr;
  if (schema == nullptr && request.amount_decimals == 0) return nullptr;
  constraint_require(request.stop_count == 0 && !request.has_mask_callback,
                     "Output constraints cannot be combined with stops or custom masks");
  std::vector<std::string> bytes;
  // A table that cannot exist is memory exhaustion, not a length error.
  if (vocabulary_size > bytes.max_size()) throw std::bad_alloc();
  bytes.reserve(vocabulary_size);
  for (uint64_t id = 0; id < vocabulary_size; ++id) {
    bytes.push_back(token_bytes(static_cast<int64_t>(id)));
  }
  const int32_t cap = request.max_new_tokens > static_cast<uint32_t>(INT32_MAX)
                          ? INT32_MAX
                          : static_cast<int32_t>(request.max_new_tokens);
  return std::make_unique<Constraint>(compile_output_constraint(
      schema, request.amount_decimals, std::move(bytes), eos_ids, cap));
}

VXConstraint::VXConstraint(std::unique_ptr<Constraint> constraint)
    : constraint_(std::move(constraint)) {}

void VXConstraint::init_with_constraint(std::unique_ptr<Constraint> constraint) {
  constraint_ = std::move(constraint);
}

void VXConstraint::mask(uint8_t* mask, uint64_t vocab, uint64_t remaining) {
  translated([&] { constraint_mask(require_constraint(constraint_), mask, vocab, remaining); });
}

bool VXConstraint::accept_token(int64_t token) {
  return translated([&] { return constraint_accept(require_constraint(constraint_), token); });
}

std::unique_ptr<VXConstraint> constraint_with_request(const ConstraintRequest& request,
                                                      uint64_t vocabulary_size,
                                                      const TokenBytesSource& token_bytes,
                                                      const std::vector<int64_t>& eos_ids) {
  return translated([&]() -> std::unique_ptr<VXConstraint> {
    std::unique_ptr<Constraint> c =
        make_request_constraint(request, vocabulary_size, token_bytes, eos_ids);
    if (c == nullptr) return nullptr;
    return std::make_unique<VXConstraint>(std::move(c));
  });
}

}  // namespace vexa
