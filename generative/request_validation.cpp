#include "generative/request_validation.h"

#include <cstring>

#include "core/domain_error.h"
#include "core/text_utf8.h"

namespace vexa {

using nlohmann::json;

namespace {

[[noreturn]] void refuse(const char* message) { throw DomainError(kDomainArgument, message); }

json content_item(RequestDocument& doc, const VlmContentItem& item) {
  if (item.kind == kContentText) {
    return {{"type", "text"}, {"text", vlm_string_from_c(item.text)}};
  }
  if (item.kind != kContentImage || item.image == nullptr) refuse("Invalid content kind");
  const VlmImageSource& image = *item.image;
  if (image.kind == kImageSourcePath) {
    return {{"type", "image"}, {"path", vlm_string_from_c(image.path)}};
  }
  if (image.kind != kImageSourceEncoded && image.kind != kImageSourcePixels) {
    refuse("Invalid image kind");
  }
  if (image.data == nullptr || image.length == 0 || image.length > kMaxImageBytes) {
    refuse("Invalid image bytes");
  }
  json bytes = doc.lend_bytes(image.data, image.length);
  if (image.kind == kImageSourceEncoded) return {{"type", "image"}, {"data", std::move(bytes)}};
  return {{"type", "image"},
          {"pixels",
           {{"data", std::move(bytes)},
            {"width", image.width},
            {"height", image.height},
            {"stride", image.stride},
            {"format", image.format},
            {"orientation", image.orientation}}}};
}

}  // namespace

VlmRequest vlm_request_default() {
  VlmRequest r{};
  r.max_new_tokens = 64;
  r.sampling = sampling_params_default();
  r.image_longest_edge = 512;
  return r;
}

std::string vlm_string_from_c(const char* text) {
  if (text == nullptr) refuse("Missing string");
  std::string s(text);
  if (!text::utf8_valid(s)) refuse("Invalid UTF-8");
  return s;
}

RequestDocument vlm_request_dictionary(const RequestSession* session,
                                       const VlmPromptMessage* messages, uint64_t message_count,
                                       const VlmRequest* request) {
  const VlmRequest defaults = vlm_request_default();
  const VlmRequest& r = request != nullptr ? *request : defaults;
  if (messages == nullptr || message_count < 1 || message_count > kMaxRequestMessages) {
    refuse("Messages are required");
  }
  // max_new_tokens equal to the context passes: the prompt's share is checked once it is known.
  if (r.max_new_tokens == 0 || session == nullptr ||
      r.max_new_tokens > session->context_length || !sampling_params_valid(&r.sampling)) {
    refuse("Invalid generation parameters");
  }
  if (r.stop_count > kMaxStopSequences || (r.stop_count > 0 && r.stops == nullptr)) {
    refuse("Invalid stop sequences");
  }
  RequestDocument doc;
  json stops = json::array();
  for (uint64_t i = 0; i < r.stop_count; ++i) {
    std::string stop = vlm_string_from_c(r.stops[i]);
    if (stop.empty()) refuse("Empty stop sequence");
    stops.push_back(std::move(stop));
  }

  json turns = json::array();
  for (uint64_t m = 0; m < message_count; ++m) {
    const VlmPromptMessage& message = messages[m];
    if (message.items == nullptr || message.item_count < 1 ||
        message.item_count > kMaxMessageItems) {
      refuse("Invalid message content");
    }
    json content = json::array();
    for (uint64_t i = 0; i < message.item_count; ++i) {
      content.push_back(content_item(doc, message.items[i]));
    }
    turns.push_back({{"role", vlm_string_from_c(message.role)}, {"content", std::move(content)}});
  }

  json& d = doc.values;
  d["causal_mask"] = true;
  d["messages"] = std::move(turns);
  d["activation"] = session->activation_fp16 ? "fp16" : "fp32";
  d["backend"] = std::string(session->backend_policy);
  d["context_length"] = session->context_length;
  d["max_new_tokens"] = r.max_new_tokens;
  d["image_detail"] = r.tiled != 0 ? "tiled" : "single";
  d["image_longest_edge"] = r.image_longest_edge;
  d["stop"] = std::move(stops);
  d["temperature"] = r.sampling.temperature;
  d["top_p"] = r.sampling.top_p;
  d["min_p"] = r.sampling.min_p;
  d["top_k"] = r.sampling.top_k;
  d["repetition_penalty"] = r.sampling.repetition_penalty;
  d["repetition_window"] = r.sampling.repetition_window;
  d["seed"] = r.sampling.seed;
  if (r.crop != 0) {
    d["image_crop"] = {r.crop_box[0], r.crop_box[1], r.crop_box[2], r.crop_box[3]};
  }
  return doc;
}

}  // namespace vexa
