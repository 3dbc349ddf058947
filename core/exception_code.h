// The error code of a failure raised as an exception, from its domain and its reason, by the
// fixed order of tests both the C boundary and the generative entries apply.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexa {

// ASCII case-insensitive search.
bool contains_ignoring_case(std::string_view text, std::string_view needle);

enum class MarkerCase : uint32_t {
  kExact,      // "context budget" and "Nonfinite" must match as written (the C boundary)
  kAnyCase,    // they match in any case (the generative entries)
};

// In order: domain VexaUnsupported 12; out of memory (a std::bad_alloc, the domain
// NSMallocException, or a reason containing "allocation" in any case or "allocating") 7;
// domain VexaImage 5 when the reason says "unsupported" (any case), "Supported image formats"
// or "8-bit", else 4; "context budget" 6; "Nonfinite" 11; VexaModel 3; VexaFrontend or
// VexaArgument 1; VexaCancelled 10; "Metal" or "command failed" 8; anything else 14.
uint32_t exception_error_code(std::string_view domain, std::string_view reason,
                              bool out_of_memory, MarkerCase markers);

}  // namespace vexa
