#include <new>
#include <string_view>

#include "core/domain_error.h"
#include "generative/processor.h"
#include "generative/request_options.h"

namespace vexa {

namespace {

// Decoder failures name their format; an unreadable file names itself.
bool is_image_failure(std::string_view message) {
  return message.find("JPEG") != std::string_view::npos ||
         message.find("PNG") != std::string_view::npos ||
         message.find("Cannot read image") != std::string_view::npos;
}

}  // namespace

PreparedInputs VXProcessor::prepare(const RequestDocument& request) const {
  try {
    const ProcessorOptions options = processor_options_from_request(request);
    return prepare_request(*processor_, options);
  } catch (const std::bad_alloc&) {
    throw DomainError(kDomainNoMemory, "Input allocation failed");
  } catch (const DomainError&) {
    throw;
  } catch (const std::exception& e) {
    throw DomainError(is_image_failure(e.what()) ? kDomainImage : kDomainFrontend, e.what());
  }
}

}  // namespace vexa
