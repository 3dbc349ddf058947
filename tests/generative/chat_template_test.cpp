// The native prompt renderer against jinja2's rendering of the same template (goldens in
// tests/fixtures/chat_template), its refusals, and the image token text.
#include "generative/chat_template.h"

#include <gtest/gtest.h>

#include <string>

#include "generative/tokenizer.h"
#include "processor_fixture.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::gpt2_processor;

// What the template itself writes for an image item.
void image_placeholder(const json&, std::string& prompt) { prompt += "<image>"; }

std::string render(const json& messages) {
  ProcessorOptions options;
  options.messages = messages;
  return render_chat_prompt(gpt2_processor(), options, image_placeholder);
}

std::string render_error(const json& messages) {
  try {
    render(messages);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(rendered)";
}

// Arrays spelled out: a braced list of one JSON value would be taken as that value.
json list(std::initializer_list<json> values) {
  json a = json::array();
  for (const json& v : values) a.push_back(v);
  return a;
}
std::string render_error(std::initializer_list<json> messages) {
  return render_error(list(messages));
}
json user(std::initializer_list<json> content) {
  return {{"role", "user"}, {"content", list(content)}};
}
json text(const std::string& t) { return {{"type", "text"}, {"text", t}}; }

TEST(ChatTemplate, MatchesJinja2) {
  const json goldens = json::parse(testing::read_fixture("chat_template/chat_goldens.json"));
  ASSERT_GE(goldens.size(), 12u);
  for (const json& g : goldens) {
    EXPECT_EQ(render(g.at("messages")), g.at("render").get<std::string>()) << g.at("name");
  }
}

TEST(ChatTemplate, MessagesBuiltFromPromptAndImagePath) {
  ProcessorOptions options;
  options.prompt = "Hi";
  EXPECT_EQ(render_chat_prompt(gpt2_processor(), options, image_placeholder),
            "<|im_start|>User: Hi<end_of_utterance>\nAssistant:");
  options.image_path = "/tmp/cat.png";
  json seen;
  const std::string out = render_chat_prompt(
      gpt2_processor(), options, [&](const json& item, std::string& prompt) {
        seen = item;
        prompt += "[IMG]";
      });
  EXPECT_EQ(out, "<|im_start|>User:[IMG]Hi<end_of_utterance>\nAssistant:");
  EXPECT_EQ(seen, json({{"type", "image"}, {"path", "/tmp/cat.png"}}));
}

TEST(ChatTemplate, Refusals) {
  EXPECT_EQ(render_error(json::array()), "Invalid messages");
  EXPECT_EQ(render_error(json::object()), "Invalid messages");
  json many = json::array();
  for (int i = 0; i < 4097; ++i) many.push_back(user({text("x")}));
  EXPECT_EQ(render_error(many), "Invalid messages");
  many.erase(many.begin());
  EXPECT_EQ(render_error(many), "(rendered)");

  for (const char* role : {"User", "tool", ""}) {
    EXPECT_EQ(render_error({{{"role", role}, {"content", list({text("x")})}}}),
              "Invalid message role");
  }
  EXPECT_EQ(render_error({user({})}), "Invalid message content");
  EXPECT_EQ(render_error({{{"role", "user"}, {"content", "plain text"}}}),
            "Invalid message content");
  EXPECT_EQ(render_error({user({{{"type", "video"}}})}), "Invalid content type");
  EXPECT_EQ(render_error({user({text("a"), {{"text", "no type"}}})}), "Invalid content type");
  EXPECT_EQ(render_error({user({"bare string"})}), "Invalid content type");
  EXPECT_EQ(render_error({user({text("look: <image>")})}), "Invalid prompt/image marker");

  // 65,536 text bytes in all are allowed, one more is not, across messages too.
  const std::string half(32768, 'a');
  EXPECT_EQ(render_error({user({text(half), text(half)})}), "(rendered)");
  EXPECT_EQ(render_error({user({text(half)}), user({text(half + "b")})}),
            "Invalid prompt/image marker");
  EXPECT_EQ(render_error({user({text(std::string(40000, 'a'))}),
                          user({text(std::string(40000, 'b'))})}),
            "Invalid prompt/image marker");

  // Wrong JSON types surface as the JSON library's errors.
  EXPECT_NE(render_error({user({{{"type", "text"}, {"text", 5}}})})
                .find("type must be string, but is number"),
            std::string::npos);
  EXPECT_NE(render_error({{{"role", 1}, {"content", list({text("x")})}}})
                .find("type must be string, but is number"),
            std::string::npos);

  // An empty image token would be found in every text.
  Processor blank;
  blank.tokenizer_config = {{"image_token", ""}};
  ProcessorOptions options;
  options.prompt = "anything";
  EXPECT_THROW(render_chat_prompt(blank, options, image_placeholder), std::runtime_error);
}

TEST(ChatTemplate, ImageTokenText) {
  const Processor& p = gpt2_processor();
  std::string tokens;
  for (int i = 0; i < 64; ++i) tokens += "<image>";
  const std::string global = "<fake_token_around_image><global-img>" + tokens +
                             "<fake_token_around_image>";
  EXPECT_EQ(image_token_text(p, 0, 0), global);
  const std::string f = "<fake_token_around_image>";
  EXPECT_EQ(image_token_text(p, 2, 2),
            f + "<row_1_col_1>" + tokens + f + "<row_1_col_2>" + tokens + "\n" + f +
                "<row_2_col_1>" + tokens + f + "<row_2_col_2>" + tokens + "\n\n" + global);
  // Every marker is one added token: 4 tiles of 66 ids, "\n" and "\n\n" (one GPT-2 token each),
  // 67 for the global view.
  const std::vector<int64_t> ids = tokenizer_encode(p, image_token_text(p, 2, 2));
  EXPECT_EQ(ids.size(), 4u * 66 + 2 + 67);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 50259), 5 * 64);
}

}  // namespace
}  // namespace vexa
