// The messages file of the command lines: large files parse (the parse is linear; its time is
// measured by bench/bench_messages, not here), the depth limit holds at the same level as
// before, and the library's errors become one line with the byte position.
#include "tools/messages_file.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace vexa::tools {
namespace {

using nlohmann::json;

// `levels` arrays, one in the other, around `inner`.
std::string nested(int levels, const std::string& inner) {
  return std::string(static_cast<size_t>(levels), '[') + inner + std::string(static_cast<size_t>(levels), ']');
}

std::string parse_refusal(const std::string& text) {
  try {
    parse_messages_json(text);
  } catch (const json::exception& e) {
    return messages_json_error_text(e);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(parsed)";
}

TEST(MessagesFile, LargeArraysParseWhole) {
  // 900 KB of empty objects: the former depth guard rescanned the array after every object and
  // took minutes on this.
  std::string objects = "[";
  for (int i = 0; i < 300000; ++i) objects += i == 0 ? "{}" : ",{}";
  objects += "]";
  const json parsed = parse_messages_json(objects);
  ASSERT_EQ(parsed.size(), 300000u);
  EXPECT_EQ(parsed.back(), json::object());

  std::string messages = "[";
  for (int i = 0; i < 100000; ++i) {
    if (i != 0) messages += ",";
    messages += R"({"role": "user", "content": [{"type": "text", "text": "m)" + std::to_string(i) + "\"}]}";
  }
  messages += "]";
  const json m = parse_messages_json(messages);
  ASSERT_EQ(m.size(), 100000u);
  EXPECT_EQ(m[0], json::parse(R"({"role": "user", "content": [{"type": "text", "text": "m0"}]})"));
  EXPECT_EQ(m[99999].at("content")[0].at("text"), "m99999");
}

TEST(MessagesFile, DepthLimitHoldsAtItsLevel) {
  // A value's depth is the number of arrays and objects around it; 512 is allowed.
  static_assert(kMaxMessagesJsonDepth == 512);
  EXPECT_EQ(parse_messages_json(nested(512, "1")), json::parse(nested(512, "1")));
  EXPECT_EQ(parse_refusal(nested(513, "1")), "Messages JSON nests too deeply");
  EXPECT_EQ(parse_messages_json(nested(513, "")), json::parse(nested(513, "")));
  EXPECT_EQ(parse_refusal(nested(514, "")), "Messages JSON nests too deeply");
  // Objects count as arrays do, and a key at depth 513 is refused before its value.
  std::string objects;
  for (int i = 0; i < 512; ++i) objects += R"({"a":)";
  EXPECT_EQ(parse_messages_json(objects + "1" + std::string(512, '}')).size(), 1u);
  EXPECT_EQ(parse_refusal(objects + "{\"a\":1" + std::string(513, '}')), "Messages JSON nests too deeply");
  EXPECT_EQ(parse_refusal(objects + "{\"b\"" + std::string(100, ' ')), "Messages JSON nests too deeply");
  EXPECT_EQ(parse_messages_json(nested(511, "{\"a\":1}")), json::parse(nested(511, "{\"a\":1}")));
  // Too deep and broken further on: the depth is met first, as the parse reads in order.
  EXPECT_EQ(parse_refusal(nested(600, "") + "x"), "Messages JSON nests too deeply");
}

TEST(MessagesFile, LibraryErrorsBecomeOneLineWithTheBytePosition) {
  EXPECT_EQ(parse_refusal("[1,"),
            "Messages file is not valid JSON: syntax error while parsing value - unexpected end "
            "of input; expected '[', '{', or a literal at byte 4");
  EXPECT_EQ(parse_refusal("[] x"),
            "Messages file is not valid JSON: syntax error while parsing value - invalid literal; "
            "last read: '[] x'; expected end of input at byte 4");
  // Broken UTF-8 and control bytes in the quoted text are written as \xNN.
  const std::string refused = parse_refusal("[\"a\xff\"]");
  EXPECT_EQ(refused.rfind("Messages file is not valid JSON: ", 0), 0u) << refused;
  EXPECT_NE(refused.find("\\xFF"), std::string::npos) << refused;
  EXPECT_NE(refused.find(" at byte 4"), std::string::npos) << refused;
  for (const char c : refused) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << refused;
  // A number no double holds: the library's out_of_range, which has no byte position.
  EXPECT_EQ(parse_refusal("[1e999]"), "Messages file is not valid JSON: number overflow parsing '1e999'");
  // The sibling tool passes the library's exceptions on as they are.
  EXPECT_THROW(parse_messages_json("[1,"), json::parse_error);
}

}  // namespace
}  // namespace vexa::tools
