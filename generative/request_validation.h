// Building the request dictionary from the flat request records, checking everything the
// caller sent on the way. Every refusal is DomainError("VexaArgument", message).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "generative/request_document.h"
#include "generative/request_records.h"

namespace vexa {

inline constexpr const char* kDomainArgument = "VexaArgument";

inline constexpr uint64_t kMaxRequestMessages = 4096;
inline constexpr uint64_t kMaxMessageItems = 4096;
inline constexpr uint64_t kMaxStopSequences = 1024;
inline constexpr uint64_t kMaxImageBytes = 536870912;  // 512 MiB

// What the dictionary takes from the open session.
struct RequestSession {
  uint32_t context_length = 2048;
  bool activation_fp16 = false;
  std::string_view backend_policy;
};

// Null: "Missing string"; bytes that are not UTF-8: "Invalid UTF-8".
std::string vlm_string_from_c(const char* text);

// The request dictionary: "causal_mask", "messages", "activation", "backend",
// "context_length", "max_new_tokens", "image_detail", "image_longest_edge", "stop", the seven
// sampling keys, and "image_crop" only when the request's crop flag is set. Image bytes are
// lent, not copied (see RequestDocument): they must outlive every use of the document.
// `session` null means no open session (refused); `request` null means vlm_request_default().
// Messages, in the order they are checked: "Messages are required", "Invalid generation
// parameters", "Invalid stop sequences", "Empty stop sequence", "Invalid message content",
// "Invalid content kind", "Invalid image bytes", "Invalid image kind", and from the strings
// "Missing string" and "Invalid UTF-8".
RequestDocument vlm_request_dictionary(const RequestSession* session,
                                       const VlmPromptMessage* messages, uint64_t message_count,
                                       const VlmRequest* request);

}  // namespace vexa
