#include "generative/processor.h"

#include <new>

#include "core/domain_error.h"
#include "generative/processor_assets.h"
#include "generative/tokenizer.h"

namespace vexa {

VXProcessor::VXProcessor(const uint8_t* metadata, uint64_t length, int fd, uint64_t base_offset) {
  try {
    processor_ = processor_load_config(read_processor_assets(metadata, length, fd, base_offset));
  } catch (const std::bad_alloc&) {
    throw DomainError(kDomainNoMemory, "Processor allocation failed");
  } catch (const DomainError& e) {
    if (e.domain() == kDomainNoMemory) throw;
    throw DomainError(kDomainModel, e.reason());
  } catch (const std::exception& e) {
    throw DomainError(kDomainModel, e.what());
  }
}

VXProcessor::~VXProcessor() = default;

namespace {

template <typename Fn>
std::string token_call(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    throw DomainError(kDomainNoMemory, "Token decoding allocation failed");
  } catch (const std::exception& e) {
    throw DomainError(kDomainFrontend, e.what());
  }
}

}  // namespace

std::string VXProcessor::token_bytes(int64_t id) const {
  return token_call([&] { return processor_token_bytes(*processor_, id); });
}

std::string VXProcessor::decode(std::span<const int64_t> ids) const {
  return token_call([&] { return tokenizer_decode_ids(*processor_, ids); });
}

}  // namespace vexa
