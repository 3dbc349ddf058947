// The messages file of the command lines: large files parse (the parse is linear; its time is
// measured by bench/bench_messages, not here), and the depth limit holds at the same level as
// before.
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

}  // namespace
}  // namespace vexa::tools
