// The output-constraint compiler: refusals and their messages, the limits at their edges, the
// exact language each construct accepts (checked byte by byte through the automaton), state
// counts and distances computed by hand, and the vocabulary trie.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/constraint_schema.h"
#include "generative/constraint_trie.h"
#include "tests/generative/constraint_test_support.h"

namespace vexa {
namespace {

using constraint_test::accepts;
using constraint_test::byte_vocab;
using constraint_test::compile_amount;
using constraint_test::compile_schema;
using constraint_test::refusal;

constexpr char kMalformed[] = "Malformed or unsupported JSON schema";
constexpr char kNotObject[] = "Schema must be an object with depth below 32";
constexpr char kKeyword[] = "Unsupported schema keyword or combination";
constexpr char kType[] = "Unsupported schema type";
constexpr char kBound[] = "Invalid schema size bound";
constexpr char kObjects[] = "Objects require properties, required and additionalProperties:false";
constexpr char kEveryProperty[] = "Every property must be required";
constexpr char kStates[] = "Constraint exceeds 32768 states";
constexpr char kCap[] =
    "Output cap cannot guarantee a valid constraint completion; increase max_new_tokens";

std::string schema_refusal(const std::string& schema, int32_t cap = 8192) {
  return refusal([&] { compile_schema(schema, cap); });
}

std::string repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// `{"type":"array","items":<inner>,"maxItems":1}` wrapped `levels` times around `inner`.
std::string nested_arrays(size_t levels, const std::string& inner) {
  std::string s = inner;
  for (size_t i = 0; i < levels; ++i) s = R"({"type":"array","items":)" + s + R"(,"maxItems":1})";
  return s;
}

TEST(ConstraintCompiler, ChoosesExactlyOneConstraint) {
  constexpr char kChoose[] = "Choose exactly one output constraint";
  EXPECT_EQ(kChoose, refusal([] { compile_output_constraint(nullptr, 0, byte_vocab(), {256}, 64); }));
  EXPECT_EQ(kChoose, refusal([] {
              compile_output_constraint(R"({"type":"null"})", 2, byte_vocab(), {256}, 64);
            }));
  constexpr char kDecimals[] = "Amount decimal places must be 1..9";
  EXPECT_EQ(kDecimals, refusal([] { compile_amount(10); }));
  EXPECT_EQ(kDecimals, refusal([] { compile_amount(UINT32_MAX); }));
  EXPECT_EQ("", refusal([] { compile_amount(1); }));
  EXPECT_EQ("", refusal([] { compile_amount(9); }));
}

TEST(ConstraintCompiler, StrictJsonOnly) {
  for (const char* text : {"", " ", "{", R"({"type":"null"} // note)", R"(/* c */{"type":"null"})",
                           R"({"type":"null"} {})", R"({"type":"null",})", R"({'type':'null'})",
                           "{\"type\":\"nu\xffll\"}", R"({"type":"null"} x)"}) {
    EXPECT_EQ(kMalformed, schema_refusal(text)) << text;
  }
  // Values of the wrong JSON type where the compiler reads one are malformed, too.
  EXPECT_EQ(kMalformed, schema_refusal(R"({"type":["null","integer"]})"));
  EXPECT_EQ(kMalformed, schema_refusal(R"({"type":null})"));
  EXPECT_EQ(kMalformed, schema_refusal(
                            R"({"type":"object","properties":{"a":{"type":"null"}},"required":[1],)"
                            R"("additionalProperties":false})"));
  // Leading and trailing whitespace around the schema text is JSON whitespace.
  EXPECT_EQ("", schema_refusal(" \n{\"type\":\"null\"}\t"));
}

TEST(ConstraintCompiler, KeywordGroupsAndTypes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[]", kNotObject},
      {"true", kNotObject},
      {R"({"anyOf":[true]})", kNotObject},
      {R"({"type":"array","items":false,"maxItems":1})", kNotObject},
      {R"({"type":"integer","minimum":0})", kKeyword},
      {R"({"type":"number","multipleOf":2})", kKeyword},
      {R"({"type":"integer","enum":[1]})", kKeyword},
      {R"({"enum":[1],"const":1})", kKeyword},
      {R"({"const":1,"anyOf":[{"type":"null"}]})", kKeyword},
      {R"({"anyOf":[{"type":"null"}],"type":"null"})", kKeyword},
      {R"({"type":"string","items":{"type":"null"}})", kKeyword},
      {R"({"type":"string","pattern":"a"})", kKeyword},
      {R"({"type":"array","items":{"type":"null"},"maxItems":1,"uniqueItems":true})", kKeyword},
      {R"({"maxLength":3})", kKeyword},
      {R"({"$ref":"#"})", kKeyword},
      {R"({"type":"null","$id":"x"})", kKeyword},
      {R"({})", kType},
      {R"({"title":"only a title"})", kType},
      {R"({"type":"float"})", kType},
      {R"({"type":""})", kType},
      {R"({"enum":[]})", "enum must contain 1..256 values"},
      {R"({"enum":{"a":1}})", "enum must contain 1..256 values"},
      {R"({"enum":"a"})", "enum must contain 1..256 values"},
      {R"({"anyOf":[]})", "anyOf must contain 1..32 schemas"},
      {R"({"anyOf":{"type":"null"}})", "anyOf must contain 1..32 schemas"},
      {R"({"type":"string","minLength":3,"maxLength":2})", "minLength exceeds maxLength"},
      {R"({"type":"string","maxLength":1025})", kBound},
      {R"({"type":"string","minLength":1025})", kBound},
      {R"({"type":"string","maxLength":-1})", kBound},
      {R"({"type":"string","maxLength":2.0})", kBound},
      {R"({"type":"string","maxLength":"2"})", kBound},
      {R"({"type":"string","maxLength":null})", kBound},
      {R"({"type":"string","maxLength":18446744073709551615})", kBound},
      {R"({"type":"array","items":{"type":"null"}})", "Arrays require items and maxItems"},
      {R"({"type":"array","maxItems":2})", "Arrays require items and maxItems"},
      {R"({"type":"array","items":{"type":"null"},"maxItems":65})", kBound},
      {R"({"type":"array","items":{"type":"null"},"minItems":3,"maxItems":2})",
       "minItems exceeds maxItems"},
      {R"({"type":"object","properties":{},"required":[]})", kObjects},
      {R"({"type":"object","properties":{},"required":[],"additionalProperties":true})", kObjects},
      {R"({"type":"object","properties":{},"required":[],"additionalProperties":0})", kObjects},
      {R"({"type":"object","properties":[],"required":[],"additionalProperties":false})", kObjects},
      {R"({"type":"object","properties":{},"required":{},"additionalProperties":false})", kObjects},
      {R"({"type":"object","required":[],"additionalProperties":false})", kObjects},
      {R"({"type":"object","properties":{"a":{"type":"null"}},"required":[],)"
       R"("additionalProperties":false})",
       kEveryProperty},
      {R"({"type":"object","properties":{"a":{"type":"null"}},"required":["b"],)"
       R"("additionalProperties":false})",
       kEveryProperty},
      {R"({"type":"object","properties":{"a":{"type":"null"},"b":{"type":"null"}},)"
       R"("required":["a","a"],"additionalProperties":false})",
       "Duplicate required property"},
      {R"({"type":"object","properties":{"a":{"type":"null"}},"required":["a"],)"
       R"("additionalProperties":false,"minProperties":1})",
       kKeyword},
  };
  for (const auto& [schema, message] : cases) EXPECT_EQ(message, schema_refusal(schema)) << schema;
  // Annotations are accepted anywhere and change nothing.
  EXPECT_EQ("", schema_refusal(R"({"title":"t","description":"d","$schema":"s","type":"null"})"));
  // An array that may hold no item never walks its item schema.
  EXPECT_EQ("", schema_refusal(R"({"type":"array","items":false,"maxItems":0})"));
}

TEST(ConstraintCompiler, LimitsAtTheirEdges) {
  // Schema text: 65,536 bytes are accepted, one more is refused.
  const std::string head = R"({"type":"null","description":")";
  const std::string tail = "\"}";
  const std::string exact = head + std::string(65536 - head.size() - tail.size(), 'x') + tail;
  ASSERT_EQ(65536u, exact.size());
  EXPECT_EQ("", schema_refusal(exact));
  const std::string over = head + std::string(65537 - head.size() - tail.size(), 'x') + tail;
  EXPECT_EQ("Schema exceeds 64 KiB", schema_refusal(over));

  // enum 256 / 257 values, anyOf 32 / 33 schemas.
  auto enum_of = [](size_t n) {
    std::string s = R"({"enum":[)";
    for (size_t i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i);
    return s + "]}";
  };
  EXPECT_EQ("", schema_refusal(enum_of(256)));
  EXPECT_EQ("enum must contain 1..256 values", schema_refusal(enum_of(257)));
  auto any_of = [](size_t n) {
    std::string s = R"({"anyOf":[)";
    for (size_t i = 0; i < n; ++i) s += std::string(i ? "," : "") + R"({"type":"null"})";
    return s + "]}";
  };
  EXPECT_EQ("", schema_refusal(any_of(32)));
  EXPECT_EQ("anyOf must contain 1..32 schemas", schema_refusal(any_of(33)));

  // Depth: the root is depth 0, so 31 nested levels below it are the most.
  EXPECT_EQ("", schema_refusal(nested_arrays(31, R"({"type":"null"})")));
  EXPECT_EQ(kNotObject, schema_refusal(nested_arrays(32, R"({"type":"null"})")));
  std::string any = R"({"type":"null"})";
  for (int i = 0; i < 32; ++i) any = R"({"anyOf":[)" + any + "]}";
  EXPECT_EQ(kNotObject, schema_refusal(any));

  // Lengths and counts at their maximum.
  EXPECT_EQ("", schema_refusal(R"({"type":"string","minLength":1024,"maxLength":1024})"));
  EXPECT_EQ("", schema_refusal(R"({"type":"string","minLength":1024})"));
  // "-0" is the integer 0, though the JSON library keeps it as a signed value.
  EXPECT_EQ("", schema_refusal(R"({"type":"string","minLength":-0,"maxLength":-0})"));
  EXPECT_TRUE(accepts(compile_schema(R"({"type":"string","maxLength":-0})"), "\"\""));
  EXPECT_FALSE(accepts(compile_schema(R"({"type":"string","maxLength":-0})"), "\"a\""));
  EXPECT_EQ("", schema_refusal(R"({"type":"array","items":{"type":"null"},"maxItems":-0})"));
  EXPECT_EQ("", schema_refusal(R"({"type":"array","items":{"type":"null"},"minItems":64,"maxItems":64})"));
  auto object_of = [](size_t n, size_t required) {
    std::string props;
    std::string names;
    for (size_t i = 0; i < n; ++i) {
      props += (i ? "," : "") + ("\"p" + std::to_string(i) + "\":{\"type\":\"null\"}");
      if (i < required) names += (i ? "," : "") + ("\"p" + std::to_string(i) + "\"");
    }
    return R"({"type":"object","properties":{)" + props + R"(},"required":[)" + names +
           R"(],"additionalProperties":false})";
  };
  EXPECT_EQ("", schema_refusal(object_of(128, 128)));
  EXPECT_EQ(kEveryProperty, schema_refusal(object_of(129, 129)));
  EXPECT_EQ(kEveryProperty, schema_refusal(object_of(3, 2)));
}

TEST(ConstraintCompiler, StateLimitIsExact) {
  // An array of four strings of at most 900 characters: 1 + 4 x (2 + 1 + 9 x 900) = 32,413
  // states, plus start and accept. A "const" string of n bytes in quotes adds n + 1 more.
  auto schema = [](size_t x_count) {
    return R"({"anyOf":[{"type":"array","items":{"type":"string","maxLength":900},"maxItems":4},)"
           R"({"const":")" +
           std::string(x_count, 'x') + R"("}]})";
  };
  const Constraint exact = compile_schema(schema(352));
  EXPECT_EQ(32768u, exact.states.size());
  EXPECT_EQ(kStates, schema_refusal(schema(353)));
  // 1 + 4 x (2 + 1 + 9 x 1024) = 36,877 states.
  EXPECT_EQ(kStates, schema_refusal(R"({"type":"array","items":{"type":"string","maxLength":1024},)"
                                    R"("maxItems":4})"));
}

TEST(ConstraintCompiler, DeepConstIsRefusedWithoutExhaustingTheStack) {
  // 30,000 nested arrays inside "const": valid JSON, a 60,000-byte literal, too many states.
  const std::string value = std::string(30000, '[') + std::string(30000, ']');
  EXPECT_EQ(kStates, schema_refusal(R"({"const":)" + value + "}"));
  EXPECT_EQ(kStates, schema_refusal(R"({"enum":[)" + value + "]}"));
}

TEST(ConstraintCompiler, StateCountsByConstruct) {
  // Hand counts: start and accept, then each construct's own states.
  EXPECT_EQ(2u + 3 + 4, compile_schema(R"({"type":"boolean"})").states.size());
  EXPECT_EQ(2u + 3, compile_schema(R"({"type":"null"})").states.size());
  EXPECT_EQ(2u + 21, compile_schema(R"({"type":"integer"})").states.size());
  EXPECT_EQ(2u + 21 + 22, compile_schema(R"({"type":"number"})").states.size());
  EXPECT_EQ(2u + 21 + 2, compile_amount(2).states.size());
  EXPECT_EQ(2u + 21 + 9, compile_amount(9).states.size());
  EXPECT_EQ(2u + 1 + 2 * 9, compile_schema(R"({"type":"string","maxLength":2})").states.size());
  EXPECT_EQ(2u + 1 + 9 + 8, compile_schema(R"({"type":"string","minLength":1})").states.size());
  EXPECT_EQ(2u + 1 + 2 * (2 + 3),
            compile_schema(R"({"type":"array","items":{"type":"null"},"maxItems":2})").states.size());
  // {"a":null,"b":<integer>}: 1 + (2 + 3 + 3) + (2 + 4 + 21).
  EXPECT_EQ(2u + 1 + 8 + 27, compile_schema(R"({"type":"object","properties":{"b":{"type":"integer"},)"
                                            R"("a":{"type":"null"}},"required":["b","a"],)"
                                            R"("additionalProperties":false})")
                                 .states.size());
}

TEST(ConstraintCompiler, BooleanAndNull) {
  const Constraint c = compile_schema(R"({"type":"boolean"})");
  for (const char* ok : {"true", "false", " true", "\n\t\r false"}) EXPECT_TRUE(accepts(c, ok)) << ok;
  for (const char* bad : {"", "True", "tru", "true ", "truefalse", "null", "\v true", "\"true\""}) {
    EXPECT_FALSE(accepts(c, bad)) << bad;
  }
  const Constraint n = compile_schema(R"({"type":"null"})");
  EXPECT_TRUE(accepts(n, "null"));
  EXPECT_FALSE(accepts(n, "nul"));
  EXPECT_FALSE(accepts(n, "null\n"));
}

TEST(ConstraintCompiler, ObjectsAreCompactWithKeysInByteOrder) {
  const Constraint c = compile_schema(
      R"({"type":"object","properties":{"b":{"type":"integer"},"a":{"type":"string"}},)"
      R"("required":["b","a"],"additionalProperties":false})");
  EXPECT_TRUE(accepts(c, R"({"a":"x","b":12})"));
  EXPECT_TRUE(accepts(c, R"({"a":"","b":-1})"));
  for (const char* bad : {R"({"b":12,"a":"x"})", R"({"a":"x"})", R"({ "a":"x","b":12})",
                          R"({"a":"x", "b":12})", R"({"a":"x","b":12} )", R"({"a":"x","b":12,})",
                          R"({"a":"x","b":12,"c":1})", R"({"a" :"x","b":12})"}) {
    EXPECT_FALSE(accepts(c, bad)) << bad;
  }
  // Keys are ordered by their bytes: upper case before lower case, UTF-8 after ASCII.
  const Constraint order = compile_schema(
      R"({"type":"object","properties":{"\u00e9":{"type":"null"},"a":{"type":"null"},)"
      R"("B":{"type":"null"}},"required":["a","B","\u00e9"],"additionalProperties":false})");
  EXPECT_TRUE(accepts(order, R"({"B":null,"a":null,"\u00e9":null})"));
  EXPECT_FALSE(accepts(order, "{\"B\":null,\"a\":null,\"\xC3\xA9\":null}"));
  EXPECT_TRUE(accepts(compile_schema(R"({"type":"object","properties":{},"required":[],)"
                                     R"("additionalProperties":false})"),
                      "{}"));
}

TEST(ConstraintCompiler, StringCharacters) {
  const Constraint c = compile_schema(R"({"type":"string","maxLength":3})");
  for (const char* ok : {"\"\"", "\"abc\"", "\"\xC3\xA9\\nx\"", "\"\\\"\\\\\\/\"", "\"\\b\\f\\r\"",
                         "\"\xF0\x9F\x98\x80\xE2\x82\xAC\xEF\xBF\xBF\"", "\"\xF4\x8F\xBF\xBF\"",
                         "\"\xE0\xA0\x80\"", "\"\xED\x9F\xBF\"", "\" ~!\""}) {
    EXPECT_TRUE(accepts(c, ok)) << ok;
  }
  for (const char* bad :
       {"\"abcd\"", "\"a\nb\"", "\"a\tb\"", "\"\x7F\"", "\"\\u0041\"", "\"\\x\"", "\"\\\"",
        "\"\xED\xA0\x80\"",           // a surrogate
        "\"\xC0\xAF\"", "\"\xC1\xBF\"",  // overlong
        "\"\xE0\x9F\xBF\"", "\"\xF0\x8F\xBF\xBF\"",  // overlong three and four bytes
        "\"\xF4\x90\x80\x80\"", "\"\xF5\x80\x80\x80\"",  // above U+10FFFF
        "\"\x80\"", "\"\xC3\"", "\"\xC3\xA9", "abc", "\"a\"\""}) {
    EXPECT_FALSE(accepts(c, bad)) << bad;
  }
  // Without maxLength: at least minLength characters, no upper bound.
  const Constraint open = compile_schema(R"({"type":"string","minLength":2})");
  EXPECT_FALSE(accepts(open, "\"a\""));
  EXPECT_FALSE(accepts(open, "\"\xC3\xA9\""));
  EXPECT_TRUE(accepts(open, "\"ab\""));
  EXPECT_TRUE(accepts(open, "\"" + std::string(3000, 'z') + "\""));
  const Constraint range = compile_schema(R"({"type":"string","minLength":1,"maxLength":2})");
  EXPECT_FALSE(accepts(range, "\"\""));
  EXPECT_TRUE(accepts(range, "\"\\t\""));
  EXPECT_FALSE(accepts(range, "\"abc\""));
}

TEST(ConstraintCompiler, Arrays) {
  const Constraint none = compile_schema(R"({"type":"array","items":{"type":"integer"},"maxItems":0})");
  EXPECT_TRUE(accepts(none, "[]"));
  EXPECT_FALSE(accepts(none, "[1]"));
  const Constraint c =
      compile_schema(R"({"type":"array","items":{"type":"integer"},"minItems":1,"maxItems":2})");
  for (const char* ok : {"[1]", "[1,-2]", "[0,0]"}) EXPECT_TRUE(accepts(c, ok)) << ok;
  for (const char* bad : {"[]", "[1,2,3]", "[1 ,2]", "[1, 2]", "[1,]", "[,1]", "[1,2"}) {
    EXPECT_FALSE(accepts(c, bad)) << bad;
  }
}

TEST(ConstraintCompiler, NumbersAndAmounts) {
  const Constraint amount = compile_amount(2);
  for (const char* ok : {"12.50", "0.05", "-3.00", " 1.00", "123456789012345678.99"}) {
    EXPECT_TRUE(accepts(amount, ok)) << ok;
  }
  for (const char* bad : {"12.5", "012.50", "12", "+1.00", "12.500", "1.0e1", ".50", "-.50",
                          "1234567890123456789.00", "12.50 "}) {
    EXPECT_FALSE(accepts(amount, bad)) << bad;
  }
  const Constraint number = compile_schema(R"({"type":"number"})");
  for (const char* ok : {"0", "-0", "1e5", "1E+05", "1e-5", "-1.5e-3", "0.000000000000000001",
                         "123456789012345678", "123456789012345678.123456789012345678e99"}) {
    EXPECT_TRUE(accepts(number, ok)) << ok;
  }
  for (const char* bad : {"+1", "1e100", "01", "1.", ".5", "1e", "1e+", "--1", "1234567890123456789",
                          "0.0000000000000000001", "NaN", "Infinity", "1.5E+-3"}) {
    EXPECT_FALSE(accepts(number, bad)) << bad;
  }
  const Constraint integer = compile_schema(R"({"type":"integer"})");
  EXPECT_TRUE(accepts(integer, "-12"));
  EXPECT_TRUE(accepts(integer, "-0"));
  EXPECT_FALSE(accepts(integer, "1.0"));
  EXPECT_FALSE(accepts(integer, "1e5"));
}

TEST(ConstraintCompiler, ConstAndEnumLiterals) {
  // Non-ASCII is written as a \u escape of four lower-case hex digits; keys are sorted.
  const Constraint e = compile_schema(R"({"const":"\u00e9"})");
  EXPECT_TRUE(accepts(e, R"("\u00e9")"));
  EXPECT_FALSE(accepts(e, "\"\xC3\xA9\""));
  EXPECT_FALSE(accepts(e, R"("\u00E9")"));
  const Constraint emoji = compile_schema(R"({"enum":["\ud83d\ude00", 1.5, null]})");
  EXPECT_TRUE(accepts(emoji, R"("\ud83d\ude00")"));
  EXPECT_TRUE(accepts(emoji, "1.5"));
  EXPECT_TRUE(accepts(emoji, "null"));
  EXPECT_FALSE(accepts(emoji, "1.50"));
  const Constraint object = compile_schema(R"({"const":{"b":1,"a":[true, null, "x\n"]}})");
  EXPECT_TRUE(accepts(object, R"({"a":[true,null,"x\n"],"b":1})"));
  EXPECT_FALSE(accepts(object, R"({"b":1,"a":[true,null,"x\n"]})"));
  const Constraint any = compile_schema(
      R"({"anyOf":[{"type":"integer"},{"type":"string","maxLength":1},{"const":[]}]})");
  EXPECT_TRUE(accepts(any, "5"));
  EXPECT_TRUE(accepts(any, R"("a")"));
  EXPECT_TRUE(accepts(any, "[]"));
  EXPECT_FALSE(accepts(any, R"("ab")"));
}

TEST(ConstraintCompiler, LiteralsMatchTheJsonLibrary) {
  const std::vector<std::string> values = {
      "null", "true", "-0.0", "1.0", "1e100", "0.1", "1.5e-07", "18446744073709551615",
      "-9223372036854775808", "18446744073709551616", R"("a\u0000b\u001f\u007f\t/\"\\")",
      R"("\u00e9\u4e2d\ud83d\ude00")", R"({"b":{"d":[],"c":{}},"a":[1,[2,[3]]],"":0})",
      "[" + repeat("[", 200) + repeat("]", 200) + "]"};
  for (const std::string& text : values) {
    const nlohmann::json v = nlohmann::json::parse(text);
    EXPECT_EQ(v.dump(-1, ' ', true), constraint_json_literal(v)) << text;
  }
}

TEST(ConstraintCompiler, DistancesCountOneByteTokens) {
  auto start_distance = [](const Constraint& c) { return constraint_set_distance(c, c.current); };
  EXPECT_EQ(4, start_distance(compile_schema(R"({"type":"boolean"})")));
  EXPECT_EQ(1, start_distance(compile_schema(R"({"type":"integer"})")));
  EXPECT_EQ(4, start_distance(compile_amount(2)));
  EXPECT_EQ(2 + 5, start_distance(compile_schema(R"({"type":"string","minLength":5})")));
  // {"a":null,"b":0}
  EXPECT_EQ(16, start_distance(compile_schema(
                    R"({"type":"object","properties":{"b":{"type":"integer"},"a":{"type":"null"}},)"
                    R"("required":["b","a"],"additionalProperties":false})")));
  // Multi-byte tokens never shorten the bound: it is what one-byte tokens always achieve.
  EXPECT_EQ(4, start_distance(compile_schema(R"({"type":"boolean"})", 8192, byte_vocab({"true"}))));
  // Without a one-byte "u", "true" is out of reach and "false" is the way.
  std::vector<std::string> no_u = byte_vocab({"true"});
  no_u['u'] = "uu";
  const Constraint c = compile_schema(R"({"type":"boolean"})", 8192, no_u);
  EXPECT_EQ(5, start_distance(c));
  EXPECT_EQ(kConstraintUnreachable, c.distance[constraint_step(c, c.current, 't')[0]]);
}

TEST(ConstraintCompiler, OutputCap) {
  EXPECT_EQ(kCap, schema_refusal(R"({"type":"boolean"})", 3));
  EXPECT_EQ("", schema_refusal(R"({"type":"boolean"})", 4));
  EXPECT_EQ(kCap, schema_refusal(R"({"type":"string","minLength":10})", 11));
  EXPECT_EQ("", schema_refusal(R"({"type":"string","minLength":10})", 12));
  EXPECT_EQ(kCap, schema_refusal(R"({"type":"null"})", 0));
  EXPECT_EQ(kCap, schema_refusal(R"({"type":"null"})", -1));
  EXPECT_EQ(kCap, refusal([] { compile_amount(3, 4); }));
  // No one-byte token for a byte the value needs: no cap can guarantee completion.
  std::vector<std::string> vocab = byte_vocab({"null"});
  vocab['l'] = "ll";
  EXPECT_EQ(kCap, refusal([&] { compile_schema(R"({"type":"null"})", INT32_MAX, vocab); }));
}

TEST(ConstraintCompiler, TrieIsLevelOrderWithSharedPrefixes) {
  // ids: 0 "ab", 1 "a", 2 "b", 3 "ab" again, 4 special, 5 "abc", 6 "\xff", 7 "ba"
  const std::vector<std::string> vocab = {"ab", "a", "b", "ab", "", "abc", "\xff", "ba"};
  const TokenTrie t = build_token_trie(vocab);
  // Level by level, children of one node together and by byte: root | a b \xff | ab ba | abc
  ASSERT_EQ(7u, t.size());
  const uint8_t edge[] = {0, 'a', 'b', 0xFF, 'b', 'a', 'c'};
  const uint32_t children[][2] = {{1, 4}, {4, 5}, {5, 6}, {6, 6}, {6, 7}, {7, 7}, {7, 7}};
  const std::vector<std::vector<int32_t>> ids = {{}, {1}, {2}, {6}, {0, 3}, {7}, {5}};
  const uint32_t parents[] = {0, 0, 0, 0, 1, 2, 4};
  for (size_t i = 0; i < 7; ++i) {
    if (i > 0) {
      EXPECT_EQ(edge[i], t.byte[i]) << i;
    }
    EXPECT_EQ(children[i][0], t.child_start[i]) << i;
    EXPECT_EQ(children[i][1], t.child_start[i + 1]) << i;
    const std::vector<int32_t> at(t.ids.begin() + t.id_start[i], t.ids.begin() + t.id_start[i + 1]);
    EXPECT_EQ(ids[i], at) << i;
    EXPECT_EQ(ids[i].empty() ? TokenTrie::kNoToken : static_cast<uint32_t>(ids[i][0]),
              t.first_id[i])
        << i;
    EXPECT_EQ(parents[i], t.parent[i]) << i;
  }
  EXPECT_EQ(std::vector<uint32_t>{4}, t.shared_ids);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(b == 'a' || b == 'b' || b == 0xFF, t.one_byte_token[b]) << b;
  EXPECT_EQ(1u, build_token_trie({}).size());
  EXPECT_EQ(1u, build_token_trie({"", ""}).size());
}

}  // namespace
}  // namespace vexa
