// The sibling tool's argument parser: the options record of good command lines, and the exact
// message of every refusal (one table).
#include "tools/sibling_args.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/tools/convert_test_util.h"

namespace vexa::tools {
namespace {

ProcessorOptions parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return tool_parse_args(static_cast<int>(argv.size()), argv.data());
}

std::string refusal(const std::vector<std::string>& args) {
  try {
    parse(args);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(parsed)";
}

class SiblingArgs : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_.file(name);
    testing::write_bytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  }
  testing::TempDir dir_;
};

TEST_F(SiblingArgs, OptionsRecordOfGoodCommandLines) {
  const ProcessorOptions d = parse({"vexa-vulkan", "chat", "--model", "m.vexa", "--prompt", "Hi"});
  EXPECT_EQ(d.command, "chat");
  EXPECT_EQ(d.model_path, "m.vexa");
  EXPECT_EQ(d.prompt, "Hi");
  EXPECT_EQ(d.image_longest_edge, 512u);
  EXPECT_EQ(d.max_new_tokens, 64u);
  EXPECT_EQ(d.context_length, 2048u);
  EXPECT_EQ(d.activation_policy, 1u);
  EXPECT_EQ(d.backend, "vulkan");
  EXPECT_EQ(d.qnn_library, "libQnnHtp.so");
  EXPECT_TRUE(d.messages.is_null());

  const std::string messages = write("m.json", R"([{"role": "user", "content": [{"type": "text", "text": "Hi"}]}])");
  const ProcessorOptions o = parse(
      {"vexa-vulkan", "prepare", "--model", "m.vexa", "--messages", messages, "--image", "a.jpg",
       "--image-detail", "tiled", "--output", "out", "--report", "r.json", "--backend", "vulkan",
       "--activation", "int8", "--int8-scope", "vision", "--stop", "A", "--stop", "B",
       "--temperature", "0.25", "--top-p", "0.5", "--min-p", "0.1", "--repetition-penalty", "1.5",
       "--top-k", "4294967295", "--repetition-window", "8", "--seed", "18446744073709551615",
       "--max-new-tokens", "8192", "--context-length", "8192", "--stream", "--profile-ops"});
  EXPECT_EQ(o.messages.size(), 1u);
  EXPECT_EQ(o.image_longest_edge, 2048u);  // tiled without an edge
  EXPECT_EQ(o.activation_policy, 3u);
  EXPECT_EQ(o.stop_sequences, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(o.sampling.temperature, 0.25);
  EXPECT_EQ(o.sampling.top_k, 4294967295u);
  EXPECT_EQ(o.sampling.seed, 18446744073709551615u);
  EXPECT_EQ(o.sampling.repetition_window, 8u);
  EXPECT_TRUE(o.stream);
  EXPECT_TRUE(o.profile);
  EXPECT_TRUE(o.profile_ops);
  EXPECT_EQ(o.output_directory, "out");
  EXPECT_EQ(o.report_path, "r.json");
  EXPECT_EQ(parse({"vexa-vulkan", "chat", "--model", "m", "--prompt", "x", "--activation", "int8"})
                .activation_policy, 2u);
  // selftest and info need neither model nor prompt.
  EXPECT_EQ(parse({"vexa-vulkan", "selftest"}).command, "selftest");
  EXPECT_EQ(parse({"vexa-vulkan", "info"}).command, "info");
  // A value is never an option word: "--stream" as the prompt, then a real "--stream".
  const ProcessorOptions v = parse({"vexa-vulkan", "chat", "--model", "m", "--prompt", "--stream", "--stream"});
  EXPECT_EQ(v.prompt, "--stream");
  EXPECT_TRUE(v.stream);
  const ProcessorOptions calibrated = parse({"vexa-vulkan", "chat", "--model", "m", "--prompt", "x",
                                             "--image", "a.jpg", "--vision-calibration", "cal.json"});
  EXPECT_EQ(calibrated.vision_calibration, "cal.json");
}

TEST_F(SiblingArgs, EveryRefusalHasItsMessage) {
  const std::string object = write("o.json", R"({"a": 1})");
  const std::vector<std::string> chat{"vexa-vulkan", "chat", "--model", "m", "--prompt", "x"};
  auto with = [&](std::initializer_list<std::string> extra) {
    std::vector<std::string> a = chat;
    a.insert(a.end(), extra);
    return a;
  };
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"vexa-vulkan"}, kSiblingUsage},
      {{"vexa-vulkan", "run"}, "Unknown command"},
      {with({"--stream", "--stream"}), "Duplicate option --stream"},
      {with({"--profile", "--profile"}), "Duplicate option --profile"},
      {with({"--model", "n"}), "Duplicate option --model"},
      {with({"--model"}), "Duplicate option --model"},
      {with({"--seed"}), "Missing option value"},
      {with({"--qnn-library", "x"}), "Unknown option --qnn-library"},
      {with({"--backend", "qnn"}), "Only Vulkan backend supported in this build"},
      {with({"--messages", dir_.file("none.json")}), "Cannot read messages JSON"},
      {{"vexa-vulkan", "chat", "--model", "m", "--messages", object}, "Messages must be a JSON array"},
      {with({"--stop", ""}), "Empty stop sequence"},
      {with({"--temperature", "0.5x"}), "Invalid sampling number"},
      {with({"--temperature", "inf"}), "Invalid sampling number"},
      {with({"--top-k", "-1"}), "Invalid sampling integer"},
      {with({"--seed", "1e3"}), "Invalid sampling integer"},
      {with({"--top-k", "4294967296"}), "Sampling integer too large"},
      {with({"--repetition-window", "4294967296"}), "Sampling integer too large"},
      {with({"--max-new-tokens", "+5"}), "Invalid positive integer"},
      {with({"--max-new-tokens", ""}), "Invalid positive integer"},
      {with({"--max-new-tokens", "8193"}), "Option too large"},
      {with({"--context-length", "9000"}), "Option too large"},
      {with({"--min-p", "2"}), "Invalid sampling parameters"},
      {with({"--activation", "fp32"}), "--activation must be fp16 or int8"},
      {with({"--vision-calibration", "c"}), "--vision-calibration requires a Vulkan FP16 image chat"},
      {with({"--image", "a.jpg", "--activation", "int8", "--vision-calibration", "c"}),
       "--vision-calibration requires a Vulkan FP16 image chat"},
      {{"vexa-vulkan", "prepare", "--model", "m", "--prompt", "x", "--image", "a.jpg",
        "--vision-calibration", "c", "--output", "o"},
       "--vision-calibration requires a Vulkan FP16 image chat"},
      {with({"--activation", "int8", "--int8-scope", "all"}), "--int8-scope must be prefill or vision"},
      {with({"--int8-scope", "vision"}), "--int8-scope requires --activation int8"},
      {with({"--int8-scope", "prefill"}), "--int8-scope requires --activation int8"},
      {{"vexa-vulkan", "chat", "--prompt", "x"}, "--model and exactly one of --prompt or --messages required"},
      {{"vexa-vulkan", "chat", "--model", "m"}, "--model and exactly one of --prompt or --messages required"},
      {{"vexa-vulkan", "prepare", "--model", "m", "--prompt", "x", "--messages", object},
       "Messages must be a JSON array"},
      {with({"--image-detail", "auto"}), "Image detail"},
      {with({"--max-new-tokens", "4096"}), "Invalid token budget"},
      {with({"--max-new-tokens", "0"}), "Invalid token budget"},
      {with({"--context-length", "0"}), "Invalid token budget"},
      {with({"--image", "a.jpg", "--image-longest-edge", "1024"}), "Image edge"},
      {with({"--image", "a.jpg", "--image-detail", "tiled", "--image-longest-edge", "256"}), "Image edge"},
      {with({"--image-detail", "tiled"}), "Image options require image"},
      {with({"--image-longest-edge", "512"}), "Image options require image"},
      {{"vexa-vulkan", "prepare", "--model", "m", "--prompt", "x"}, "--output required"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusal(c.args), c.message) << ::testing::PrintToString(c.args);
  }
  // Numbers the standard conversions refuse outright fail with the conversion's exception.
  EXPECT_THROW(parse(with({"--temperature", "abc"})), std::invalid_argument);
  EXPECT_THROW(parse(with({"--temperature", "1e999"})), std::out_of_range);
  EXPECT_THROW(parse(with({"--seed", "99999999999999999999"})), std::out_of_range);
  // A messages file that is not JSON fails with the JSON reader's parse error.
  const std::string broken = write("b.json", "[1,");
  EXPECT_THROW(parse({"vexa-vulkan", "chat", "--model", "m", "--messages", broken}), nlohmann::json::parse_error);
}

}  // namespace
}  // namespace vexa::tools
