// The one chat template the engine accepts, rendered natively: a model must carry exactly this
// text as its "chat_template" (checked when the processor is built), and the renderer produces
// what the template would, except that an image item contributes its image-token text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "generative/model_config.h"

namespace vexa {

// 403 bytes; its only line break follows "<end_of_utterance>".
inline constexpr std::string_view kChatTemplate =
    "<|im_start|>{% for message in messages %}{{message['role'] | capitalize}}"
    "{% if message['content'][0]['type'] == 'image' %}{{':'}}{% else %}{{': '}}{% endif %}"
    "{% for line in message['content'] %}{% if line['type'] == 'text' %}{{line['text']}}"
    "{% elif line['type'] == 'image' %}{{ '<image>' }}{% endif %}{% endfor %}"
    "<end_of_utterance>\n{% endfor %}{% if add_generation_prompt %}{{ 'Assistant:' }}{% endif %}";
static_assert(kChatTemplate.size() == 403);

inline constexpr uint64_t kMaxChatMessages = 4096;
inline constexpr uint64_t kMaxPromptTextBytes = 65536;  // all text items of a request together

// Called for each image item in message order; appends the image's token text to `prompt`
// (and builds its views). The item is {"type": "image", "path": ...} or {..., "image_index": n}.
using ImageItemRenderer = std::function<void(const nlohmann::json& item, std::string& prompt)>;

// Renders options.messages (or, when null, one user message of options.image_path and
// options.prompt) and always ends with the generation prompt "Assistant:". Throws
// std::runtime_error: "Invalid messages", "Invalid message role", "Invalid message content",
// "Invalid content type", "Invalid prompt/image marker"; a non-string text or role throws the
// JSON library's type error.
std::string render_chat_prompt(const Processor& processor, const ProcessorOptions& options,
                               const ImageItemRenderer& render_image);

// The token text of one image: for a grid of rows x cols tiles (0 x 0 when not tiled), each
// tile's fake-token, position marker and image tokens, a line break after each row and one
// more after the grid; then the global view: fake token, global token, image tokens, fake token.
std::string image_token_text(const Processor& processor, uint32_t rows, uint32_t cols);

}  // namespace vexa
