#include "generative/request_options.h"

#include <cmath>
#include <limits>

#include "core/domain_error.h"
#include "generative/processor.h"

namespace vexa {

using nlohmann::json;

namespace {

constexpr uint32_t kOutOfRange = std::numeric_limits<uint32_t>::max();

[[noreturn]] void refuse(const char* message) { throw DomainError(kDomainFrontend, message); }

// The value under `key`, or null when the key is absent.
const json* lookup(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

uint32_t read_count(const json& v) {
  if (v.is_number_unsigned()) {
    const auto x = v.get<uint64_t>();
    return x > kOutOfRange ? kOutOfRange : static_cast<uint32_t>(x);
  }
  if (v.is_number_integer()) {
    const auto x = v.get<int64_t>();
    return x < 0 || x > int64_t{kOutOfRange} ? kOutOfRange : static_cast<uint32_t>(x);
  }
  if (v.is_number_float()) {
    const double x = v.get<double>();
    if (!(x >= 0.0) || x > kOutOfRange || x != std::trunc(x)) return kOutOfRange;
    return static_cast<uint32_t>(x);
  }
  return v.get<uint32_t>();  // the JSON library's type error for anything else
}

uint32_t count_or(const json& request, const char* key, uint32_t zero_means) {
  const json* v = lookup(request, key);
  const uint32_t x = v != nullptr ? read_count(*v) : 0;
  return x == 0 ? zero_means : x;
}

bool read_flag(const json& request, const char* key) {
  const json* v = lookup(request, key);
  if (v == nullptr) return false;
  if (v->is_number()) return v->get<double>() != 0.0;
  return v->get<bool>();
}

std::string read_text(const json& request, const char* key, const char* absent) {
  const json* v = lookup(request, key);
  return v != nullptr ? v->get<std::string>() : std::string(absent);
}

// Moves the bytes of one image item into the side list and makes `item` refer to them.
// `data` and `pixels` are the request's own values (null when absent), whose bytes outlive
// the rewritten copy.
void take_image(const RequestDocument& request, const json* data, const json* pixels,
                json& item, std::vector<ImageInput>& images) {
  ImageInput input{};
  if (data != nullptr) {
    input.kind = kImageInputEncoded;
    pixels = nullptr;
  } else {
    if (!pixels->is_object()) refuse("Invalid image data");
    input.kind = kImageInputPixels;
    data = lookup(*pixels, "data");
  }
  const auto bytes = data != nullptr ? request.bytes_of(*data) : std::nullopt;
  if (!bytes) refuse("Invalid image data");
  input.data = bytes->data();
  input.length = bytes->size();
  if (pixels != nullptr) {
    input.width = count_or(*pixels, "width", 0);
    input.height = count_or(*pixels, "height", 0);
    const json* stride = lookup(*pixels, "stride");
    input.stride = stride != nullptr ? read_count(*stride) : 0;
    input.layout = count_or(*pixels, "format", 0);
    input.orientation = count_or(*pixels, "orientation", 0);
  }
  item["image_index"] = images.size();
  item.erase("data");
  item.erase("pixels");
  images.push_back(input);
}

json rewrite_messages(const RequestDocument& request, const json& messages,
                      std::vector<ImageInput>& images) {
  if (!messages.is_array()) refuse("Invalid messages");
  json out = json::array();
  for (const json& message : messages) {
    if (!message.is_object() || !message.contains("content") || !message["content"].is_array()) {
      refuse("Invalid message");
    }
    json rewritten = message;
    json& content = rewritten["content"];
    const json& source_content = message["content"];
    for (size_t i = 0; i < source_content.size(); ++i) {
      const json& source = source_content[i];
      if (!source.is_object()) refuse("Invalid content");
      const json* data = lookup(source, "data");
      const json* pixels = lookup(source, "pixels");
      if (data != nullptr || pixels != nullptr) take_image(request, data, pixels, content[i], images);
    }
    out.push_back(std::move(rewritten));
  }
  return out;
}

}  // namespace

ProcessorOptions processor_options_from_request(const RequestDocument& request) {
  const json& r = request.values;
  if (!r.is_object()) refuse("Invalid request");
  ProcessorOptions o;
  o.prompt = read_text(r, "prompt", "");
  o.image_path = read_text(r, "image", "");
  o.image_detail = read_text(r, "image_detail", "single");
  o.image_longest_edge = count_or(r, "image_longest_edge", 512);
  o.max_new_tokens = count_or(r, "max_new_tokens", 0);
  o.context_length = count_or(r, "context_length", 2048);
  const json* activation = lookup(r, "activation");
  o.activation_policy = activation != nullptr && *activation == "fp16" ? 1 : 0;
  o.count_only = read_flag(r, "count_only");
  o.causal_mask = read_flag(r, "causal_mask");
  if (const json* crop = lookup(r, "image_crop"); crop != nullptr) {
    o.image_crop = crop->get<std::vector<double>>();
  }

  const json* image_data = lookup(r, "image_data");
  const json* image_pixels = lookup(r, "image_pixels");
  if (r.contains("messages")) {
    o.messages = rewrite_messages(request, r["messages"], o.images);
  } else if (image_data != nullptr || image_pixels != nullptr) {
    // One user turn: the image, then the prompt.
    const json* prompt = lookup(r, "prompt");
    json image = {{"type", "image"}};
    take_image(request, image_data, image_pixels, image, o.images);
    json text = {{"type", "text"}, {"text", prompt != nullptr ? *prompt : json("")}};
    o.messages = json::array({{{"role", "user"}, {"content", json::array({image, text})}}});
  }
  return o;
}

}  // namespace vexa
