#include "api/error_map.h"

#include <new>
#include <string>

#include "core/domain_error.h"
#include "core/exception_code.h"
#include "core/types.h"

namespace vexa {

namespace {

uint32_t code_for(std::string_view domain, std::string_view reason, bool out_of_memory) {
  return exception_error_code(domain, reason, out_of_memory, MarkerCase::kExact);
}

BoundaryError make(uint32_t code, std::string_view message) {
  BoundaryError e;
  e.code = code;
  e.message_len = copy_bounded(message.data(), message.size(), e.message, kErrorMessageCapacity);
  return e;
}

constexpr std::string_view kUnknownExceptionName = "Unknown exception";

}  // namespace

BoundaryError error_from_exception(std::exception_ptr error) noexcept {
  // std::string_view over the exception's own storage: nothing here allocates.
  try {
    if (!error) return make(static_cast<uint32_t>(ErrorCode::kInference), kUnknownExceptionName);
    std::rethrow_exception(error);
  } catch (const DomainError& e) {
    const std::string_view reason = e.reason();
    const std::string_view domain = e.domain();
    return make(code_for(domain, reason, false), reason.empty() ? domain : reason);
  } catch (const std::bad_alloc& e) {
    const std::string_view reason = e.what();
    return make(code_for({}, reason, true), reason.empty() ? "std::bad_alloc" : reason);
  } catch (const std::exception& e) {
    const std::string_view reason = e.what();
    return make(code_for({}, reason, false), reason.empty() ? kUnknownExceptionName : reason);
  } catch (...) {
    return make(code_for({}, {}, false), kUnknownExceptionName);
  }
}

}  // namespace vexa
