// The one exception type of the output-constraint code: compiler refusals and runtime
// violations alike. Callers that face users translate it into an error domain.
#pragma once

#include <stdexcept>
#include <string>

namespace vexa {

class ConstraintError : public std::runtime_error {
 public:
  explicit ConstraintError(const std::string& message) : std::runtime_error(message) {}
  explicit ConstraintError(const char* message) : std::runtime_error(message) {}
};

}  // namespace vexa
