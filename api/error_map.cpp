#include "api/error_map.h"

#include <new>
#include <string>

#include "core/domain_error.h"
#include "core/types.h"

namespace vexa {

namespace {

bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

bool contains_ignoring_case(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size()) return false;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < needle.size() && lower(text[i + j]) == lower(needle[j])) ++j;
    if (j == needle.size()) return true;
  }
  return false;
}

uint32_t code_for(std::string_view domain, std::string_view reason, bool out_of_memory) {
  if (domain == "VexaUnsupported") return static_cast<uint32_t>(ErrorCode::kUnsupported);
  if (out_of_memory || contains_ignoring_case(reason, "allocation") ||
      contains(reason, "allocating")) {
    return static_cast<uint32_t>(ErrorCode::kOutOfMemory);
  }
  if (domain == "VexaImage") {
    const bool unsupported = contains_ignoring_case(reason, "unsupported") ||
                             contains(reason, "Supported image formats") ||
                             contains(reason, "8-bit");
    return static_cast<uint32_t>(unsupported ? ErrorCode::kUnsupportedImage
                                             : ErrorCode::kInvalidImage);
  }
  if (contains(reason, "context budget")) return static_cast<uint32_t>(ErrorCode::kContextBudget);
  if (contains(reason, "Nonfinite")) return static_cast<uint32_t>(ErrorCode::kNonFinite);
  if (domain == "VexaModel") return static_cast<uint32_t>(ErrorCode::kInvalidModel);
  if (domain == "VexaFrontend" || domain == "VexaArgument") {
    return static_cast<uint32_t>(ErrorCode::kInvalidArgument);
  }
  if (domain == "VexaCancelled") return static_cast<uint32_t>(ErrorCode::kCancelled);
  if (contains(reason, "Metal") || contains(reason, "command failed")) {
    return static_cast<uint32_t>(ErrorCode::kBackendUnavailable);
  }
  return static_cast<uint32_t>(ErrorCode::kInference);
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
