// The generative command line's option parser: the dictionary it returns for good command
// lines, and the exact message of every refusal (one table, in the order the checks run).
#include "tools/cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/domain_error.h"
#include "tests/tools/convert_test_util.h"

namespace vexa::tools {
namespace {

using nlohmann::json;

std::vector<std::string> command_line(std::initializer_list<std::string> options) {
  std::vector<std::string> args{"vexa-vlm", "generate"};
  args.insert(args.end(), options);
  return args;
}

json parse(std::initializer_list<std::string> options) {
  return cli_parse_options(command_line(options));
}

std::string refusal(const std::vector<std::string>& args) {
  try {
    cli_parse_options(args);
  } catch (const DomainError& e) {
    EXPECT_EQ(e.domain(), "VexaFrontend");
    return e.reason();
  }
  return "(parsed)";
}

using CliOptions = testing::TextFilesTest;

TEST_F(CliOptions, DefaultsAndNormalisedValues) {
  const json o = parse({"--prompt", "Hi"});
  EXPECT_EQ(o, (json{{"activation", "fp32"},
                     {"image_detail", "single"},
                     {"max_new_tokens", 64},
                     {"model", "models/smolvlm2-500m-fp16.vexa"},
                     {"prompt", "Hi"},
                     {"prompt_set", true},
                     {"image_longest_edge", 512}}));
  EXPECT_EQ(cli_model_path(o), "models/smolvlm2-500m-fp16.vexa");

  const json full = parse({"--model", "m.vexa", "--prompt", "Hi", "--image", "cat.jpg",
                           "--image-detail", "tiled", "--image-crop", "0.1,0,1,0.5",
                           "--max-new-tokens", "100", "--context-length", "4096",
                           "--activation", "fp16", "--backend", "mps", "--report", "r.json",
                           "--output", "out", "--decode-ids", "1,2", "--temperature", "0.7",
                           "--top-p", "0.9", "--min-p", "0.05", "--repetition-penalty", "1.1",
                           "--top-k", "4294967295", "--repetition-window", "32",
                           "--seed", "18446744073709551615", "--stop", "END", "--stop", "END",
                           "--stream", "--stream", "--graph-attention", "--graph-linear",
                           "--profile", "--mps-prefill", "--mps-attention", "--answer-only"});
  EXPECT_EQ(full.at("image_longest_edge"), 2048);  // tiled without an edge
  EXPECT_EQ(full.at("image_crop"), json::array({0.1, 0.0, 1.0, 0.5}));
  EXPECT_EQ(full.at("max_new_tokens"), 100);
  EXPECT_EQ(full.at("context_length"), 4096);
  EXPECT_EQ(full.at("temperature"), 0.7);
  EXPECT_EQ(full.at("top_k").get<uint64_t>(), 4294967295u);
  EXPECT_EQ(full.at("seed").get<uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(full.at("stop"), json::array({"END", "END"}));  // repeats kept in order
  EXPECT_FALSE(full.contains("stop_set"));
  for (const char* flag : {"stream", "graph_attention", "graph_linear", "profile", "mps_prefill",
                           "mps_attention"}) {
    EXPECT_EQ(full.at(flag), true) << flag;
  }
  EXPECT_FALSE(full.contains("answer_only"));
  EXPECT_EQ(full.at("decode_ids"), "1,2");
  EXPECT_EQ(full.at("backend"), "mps");
  EXPECT_EQ(full.at("image_detail_set"), true);

  // The word after a value option is its value, whatever it looks like.
  const json looks_like_flag = parse({"--prompt", "--stream"});
  EXPECT_EQ(looks_like_flag.at("prompt"), "--stream");
  EXPECT_FALSE(looks_like_flag.contains("stream"));
  // A seed is 64 bits; the other integers 32.
  EXPECT_EQ(parse({"--prompt", "x", "--seed", "4294967296"}).at("seed").get<uint64_t>(), 4294967296u);
}

TEST_F(CliOptions, MessagesFileIsReadAndParsed) {
  const std::string path = write("m.json", R"([{"role": "user", "content": [{"type": "text", "text": "Hi"}]}])");
  const json o = parse({"--messages", path, "--image-detail", "tiled"});
  EXPECT_EQ(o.at("messages")[0].at("role"), "user");
  EXPECT_EQ(o.at("image_longest_edge"), 2048);  // messages may hold images
}

TEST_F(CliOptions, EveryRefusalHasItsMessage) {
  const std::string messages = write("m.json", R"([{"role": "user", "content": []}])");
  const std::string object = write("o.json", R"({"role": "user"})");
  const std::string number = write("n.json", "5");
  const std::string null = write("z.json", " null\n");
  const std::string broken = write("b.json", "[{]");
  const std::string commented = write("c.json", "[] // note");
  const std::string empty = write("e.json", "");
  const std::string truncated = write("t.json", R"([{"role": "user", "content": [)");
  const std::string bad_utf8 = write("u.json", "[{\"role\": \"us\xC3\x28\"}]");
  const std::string trailing = write("x.json", "[]\n]");
  std::string deep;
  for (int i = 0; i < 600; ++i) deep += "[";
  for (int i = 0; i < 600; ++i) deep += "]";
  const std::string too_deep = write("d.json", deep);
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{}, "Exactly one of --prompt or --messages is required"},
      {{"--bogus"}, "Unknown/incomplete option: --bogus"},
      {{"--prompt", "x", "extra"}, "Unknown/incomplete option: extra"},
      {{"--prompt", "x", "--model"}, "Unknown/incomplete option: --model"},
      {{"--prompt", "x", "--prompt", "y"}, "Duplicate CLI option"},
      {{"--prompt", "x", "--stop", ""}, "Empty stop sequence"},
      {{"--prompt", "x", "--messages", messages}, "Exactly one of --prompt or --messages is required"},
      {{"--messages", messages, "--image", "a.jpg"}, "Use image items with --messages"},
      {{"--messages", dir_.file("missing.json")}, "Cannot read messages JSON"},
      {{"--messages", dir_.path()}, "Cannot read messages JSON"},
      {{"--messages", object}, "Messages must be a JSON array"},
      {{"--messages", number}, "Messages must be a JSON array"},
      {{"--messages", null}, "Messages must be a JSON array"},
      // Text that is no JSON at all says so, with where the parser stopped.
      {{"--messages", broken},
       "Messages file is not valid JSON: syntax error while parsing object key - unexpected ']'; "
       "expected string literal at byte 3"},
      {{"--messages", commented},
       "Messages file is not valid JSON: syntax error while parsing value - invalid literal; "
       "last read: '[] /'; expected end of input at byte 4"},
      {{"--messages", empty},
       "Messages file is not valid JSON: syntax error while parsing value - unexpected end of "
       "input; expected '[', '{', or a literal at byte 1"},
      {{"--messages", truncated},
       "Messages file is not valid JSON: syntax error while parsing value - unexpected end of "
       "input; expected '[', '{', or a literal at byte 31"},
      {{"--messages", bad_utf8},
       "Messages file is not valid JSON: syntax error while parsing value - invalid string: "
       "ill-formed UTF-8 byte; last read: '\"us\\xC3(' at byte 15"},
      {{"--messages", trailing},
       "Messages file is not valid JSON: syntax error while parsing value - unexpected ']'; "
       "expected end of input at byte 4"},
      {{"--messages", too_deep}, "Messages JSON nests too deeply"},
      {{"--prompt", "x", "--image-detail", "medium"}, "--image-detail must be single or tiled"},
      {{"--prompt", "x", "--activation", "int8"}, "--activation must be fp16 or fp32"},
      {{"--prompt", "x", "--backend", "vulkan"}, "--backend must be auto, metal, mps or mpsgraph"},
      {{"--prompt", "x", "--max-new-tokens", "12a"}, "Invalid integer option"},
      {{"--prompt", "x", "--max-new-tokens", "-5"}, "Invalid integer option"},
      {{"--prompt", "x", "--max-new-tokens", ""}, "Invalid integer option"},
      {{"--prompt", "x", "--top-k", "4294967296"}, "Integer option too large"},
      {{"--prompt", "x", "--repetition-window", "99999999999"}, "Integer option too large"},
      {{"--prompt", "x", "--seed", "18446744073709551616"}, "Integer option too large"},
      {{"--prompt", "x", "--temperature", "0.5x"}, "Invalid sampling number"},
      {{"--prompt", "x", "--temperature", "inf"}, "Invalid sampling number"},
      {{"--prompt", "x", "--top-p", "1e999"}, "Invalid sampling number"},
      {{"--prompt", "x", "--min-p", ""}, "Invalid sampling number"},
      {{"--prompt", "x", "--temperature", "-1"}, "Invalid sampling parameters"},
      {{"--prompt", "x", "--top-p", "0"}, "Invalid sampling parameters"},
      {{"--prompt", "x", "--repetition-penalty", "0"}, "Invalid sampling parameters"},
      {{"--prompt", "x", "--context-length", "0"}, "--context-length must be 1..8192"},
      {{"--prompt", "x", "--context-length", "8193"}, "--context-length must be 1..8192"},
      {{"--prompt", "x", "--max-new-tokens", "0"}, "--max-new-tokens must be 1..8192"},
      {{"--prompt", "x", "--max-new-tokens", "8193"}, "--max-new-tokens must be 1..8192"},
      {{"--prompt", "x", "--image-detail", "tiled"}, "Image detail settings require --image"},
      {{"--prompt", "x", "--image-longest-edge", "512"}, "Image detail settings require --image"},
      {{"--prompt", "x", "--image-crop", "0,0,1,1"}, "Image detail settings require --image"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-longest-edge", "1024"}, "Invalid image longest edge"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-detail", "tiled", "--image-longest-edge", "511"},
       "Invalid image longest edge"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-detail", "tiled", "--image-longest-edge", "2049"},
       "Invalid image longest edge"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0,1"}, "Crop requires four normalized coordinates"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0,1,1,"}, "Crop requires four normalized coordinates"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0,1,"}, "Invalid crop coordinate"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0,1,nan"}, "Invalid crop coordinate"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0, 1,1"}, "Invalid crop coordinate"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0.5,0,0.5,1"}, "Crop bounds"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "-0.1,0,1,1"}, "Crop bounds"},
      {{"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0,1,1.5"}, "Crop bounds"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"vexa-vlm", "generate"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    EXPECT_EQ(refusal(args), c.message) << ::testing::PrintToString(c.options);
  }
  // Whole-image crop passes; the command word itself is never parsed.
  EXPECT_EQ(refusal(command_line({"--prompt", "x", "--image", "a.jpg", "--image-crop", "0,0,1,1"})), "(parsed)");
  EXPECT_EQ(refusal({"vexa-vlm", "--prompt", "--prompt", "x"}), "(parsed)");
}

TEST_F(CliOptions, RefusalsArePrintedOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(cli_parse_arguments(command_line({"--max-new-tokens", "0", "--prompt", "x"})).has_value());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa: --max-new-tokens must be 1..8192\n");
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(cli_parse_arguments(command_line({"--prompt", "x"})).has_value());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace vexa::tools
