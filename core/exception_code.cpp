#include "core/exception_code.h"

#include "core/types.h"

namespace vexa {

namespace {

bool contains_exact(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

uint32_t code(ErrorCode c) { return static_cast<uint32_t>(c); }

}  // namespace

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

uint32_t exception_error_code(std::string_view domain, std::string_view reason,
                              bool out_of_memory, MarkerCase markers) {
  auto marker = [&](std::string_view needle) {
    return markers == MarkerCase::kAnyCase ? contains_ignoring_case(reason, needle)
                                           : contains_exact(reason, needle);
  };
  if (domain == "VexaUnsupported") return code(ErrorCode::kUnsupported);
  if (out_of_memory || domain == "NSMallocException" ||
      contains_ignoring_case(reason, "allocation") || contains_exact(reason, "allocating")) {
    return code(ErrorCode::kOutOfMemory);
  }
  if (domain == "VexaImage") {
    const bool unsupported = contains_ignoring_case(reason, "unsupported") ||
                             contains_exact(reason, "Supported image formats") ||
                             contains_exact(reason, "8-bit");
    return code(unsupported ? ErrorCode::kUnsupportedImage : ErrorCode::kInvalidImage);
  }
  if (marker("context budget")) return code(ErrorCode::kContextBudget);
  if (marker("Nonfinite")) return code(ErrorCode::kNonFinite);
  if (domain == "VexaModel") return code(ErrorCode::kInvalidModel);
  if (domain == "VexaFrontend" || domain == "VexaArgument") return code(ErrorCode::kInvalidArgument);
  if (domain == "VexaCancelled") return code(ErrorCode::kCancelled);
  if (contains_exact(reason, "Metal") || contains_exact(reason, "command failed")) {
    return code(ErrorCode::kBackendUnavailable);
  }
  return code(ErrorCode::kInference);
}

}  // namespace vexa
