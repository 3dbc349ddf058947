#include "generative/chat_template.h"

#include <stdexcept>

namespace vexa {

using nlohmann::json;

namespace {

// The template's `message['content'][0]['type'] == 'image'`; a first item without a type is
// refused by the item loop that follows.
bool first_item_is_image(const json& content) {
  const json& first = content[0];
  if (!first.is_object()) return false;
  const auto it = first.find("type");
  return it != first.end() && *it == "image";
}

// "user" -> "User": the template's `capitalize` on the three roles it accepts.
std::string capitalized(std::string role) {
  role[0] = static_cast<char>(role[0] - 'a' + 'A');
  return role;
}

}  // namespace

std::string render_chat_prompt(const Processor& processor, const ProcessorOptions& options,
                               const ImageItemRenderer& render_image) {
  json built;
  const json* messages = &options.messages;
  if (options.messages.is_null()) {
    json content = json::array();
    if (!options.image_path.empty()) {
      content.push_back({{"type", "image"}, {"path", options.image_path}});
    }
    content.push_back({{"type", "text"}, {"text", options.prompt}});
    built = json::array({{{"role", "user"}, {"content", std::move(content)}}});
    messages = &built;
  }
  require(messages->is_array() && !messages->empty() && messages->size() <= kMaxChatMessages,
          "Invalid messages");

  // An empty marker is contained in every text, so it refuses every text item.
  const std::string image_token = processor.tokenizer_config.at("image_token").get<std::string>();
  std::string out = "<|im_start|>";
  uint64_t text_bytes = 0;
  for (const json& message : *messages) {
    const std::string role = message.at("role").get<std::string>();
    require(role == "user" || role == "system" || role == "assistant", "Invalid message role");
    const json& content = message.at("content");
    require(content.is_array() && !content.empty(), "Invalid message content");
    out += capitalized(role);
    out += first_item_is_image(content) ? ":" : ": ";
    for (const json& item : content) {
      const auto type = item.is_object() ? item.find("type") : item.end();
      if (type != item.end() && *type == "text") {
        const std::string text = item.at("text").get<std::string>();
        text_bytes += text.size();
        require(text_bytes <= kMaxPromptTextBytes && text.find(image_token) == std::string::npos,
                "Invalid prompt/image marker");
        out += text;
      } else if (type != item.end() && *type == "image") {
        render_image(item, out);
      } else {
        throw std::runtime_error("Invalid content type");
      }
    }
    out += "<end_of_utterance>\n";
  }
  out += "Assistant:";
  return out;
}

std::string image_token_text(const Processor& processor, uint32_t rows, uint32_t cols) {
  const json& config = processor.tokenizer_config;
  const std::string fake = config.at("fake_image_token").get<std::string>();
  const std::string global = config.at("global_image_token").get<std::string>();
  const std::string token = config.at("image_token").get<std::string>();
  std::string tokens;
  tokens.reserve(token.size() * processor.image_seq_len);
  for (uint32_t i = 0; i < processor.image_seq_len; ++i) tokens += token;

  std::string out;
  for (uint32_t r = 1; r <= rows; ++r) {
    for (uint32_t c = 1; c <= cols; ++c) {
      out += fake;
      out += "<row_" + std::to_string(r) + "_col_" + std::to_string(c) + ">";
      out += tokens;
    }
    out += "\n";
  }
  if (rows > 0) out += "\n";
  out += fake;
  out += global;
  out += tokens;
  out += fake;
  return out;
}

}  // namespace vexa
