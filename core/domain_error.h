// An error raised by the session, processor and graph layers, named by its error domain
// ("VexaModel", "VexaImage", ...). The C boundary maps the domain and the reason to an error code.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace vexa {

class DomainError : public std::runtime_error {
 public:
  DomainError(std::string domain, const std::string& reason)
      : std::runtime_error(reason),
        domain_(std::make_shared<const std::string>(std::move(domain))) {}

  // Shared so that copying the exception never allocates or throws.
  const std::string& domain() const noexcept { return *domain_; }
  const char* reason() const noexcept { return what(); }

 private:
  std::shared_ptr<const std::string> domain_;
};

}  // namespace vexa
