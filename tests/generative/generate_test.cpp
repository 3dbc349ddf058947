// One request through vlm_generate on the tiny model: the golden greedy tokens from an image and
// a text, the result record and the generation report, token counting, constrained answers, and
// what an unloaded, busy or badly asked session gives.
#include <gtest/gtest.h>

#include <regex>

#include "core/atomics.h"
#include "generative/generate.h"
#include "generative/processor.h"
#include "tests/generative/tiny_session.h"

namespace {

using namespace vexa;
using namespace vexa::testing;
using nlohmann::json;

constexpr char kGoldenText[] = "Describe this picture.";

struct ResultCloser {
  VlmResult r{};
  ~ResultCloser() { vlm_result_clear(&r); }
};

// The goldens' request: one user turn, the 512 x 512 view as raw RGB8, then the text.
struct GoldenRequest {
  std::vector<uint8_t> rgb = tiny_vlm_view_rgb();
  VlmImageSource image{};
  VlmContentItem items[2]{};
  VlmPromptMessage turn{};
  VlmRequest request = vlm_request_default();
  explicit GoldenRequest(uint32_t max_new_tokens) {
    image.kind = kImageSourcePixels;
    image.data = rgb.data();
    image.length = rgb.size();
    image.width = 512;
    image.height = 512;
    image.stride = 512 * 3;
    image.format = 1;
    image.orientation = 1;
    items[0] = {kContentImage, nullptr, &image};
    items[1] = {kContentText, kGoldenText, nullptr};
    turn = {"user", items, 2};
    request.max_new_tokens = max_new_tokens;
    request.sampling.temperature = 0;
  }
};

std::vector<int64_t> ids_of(const VlmResult& r) {
  return std::vector<int64_t>(r.token_ids, r.token_ids + r.generated_tokens);
}

const std::vector<int64_t>& golden_tokens(Activation act) {
  return tiny_goldens().goldens.run(VlmWeights::fp16, act)->tokens;
}

struct Generate : ::testing::Test {
  HandlePtr handle = open_tiny();
  VlmError error{};
};

}  // namespace

TEST_F(Generate, GoldenRequestGivesTheReferenceTokensAndAReport) {
  GoldenRequest g(17);
  ResultCloser out;
  ASSERT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &out.r, &error), 1)
      << error.message;
  EXPECT_EQ(ids_of(out.r), golden_tokens(Activation::fp16));
  EXPECT_EQ(out.r.prompt_tokens, tiny_goldens().prompt.input_ids.size());
  EXPECT_EQ(out.r.finish_reason, kFinishLength);
  EXPECT_EQ(out.r.reused_prompt_tokens, 0u);
  EXPECT_GT(out.r.wall_ms, 0.0);
  const std::string answer(out.r.answer, out.r.answer_length);
  EXPECT_EQ(answer, handle->session->processor->decode(ids_of(out.r)));
  EXPECT_EQ(out.r.answer[out.r.answer_length], '\0');
  for (uint32_t i = 0; i < out.r.generated_tokens; ++i) EXPECT_LE(out.r.log_probs[i], 0.0);
  EXPECT_EQ(handle->busy, 0u);

  const json& report = handle->session->last_report;
  for (const char* key :
       {"input_preparation_ms", "diagnostic_profile", "schema_version", "frontend", "backend",
        "backend_policy", "weight_dtype", "weight_execution", "activation_dtype", "device",
        "answer", "finish_reason", "cases", "image_views", "image_orientations",
        "image_longest_edge", "image_detail", "frontend_stages_ms", "max_rss_bytes",
        "peak_observed_metal_allocated_bytes"}) {
    EXPECT_TRUE(report.contains(key)) << key;
  }
  EXPECT_EQ(report.size(), 20u);
  EXPECT_EQ(report.at("schema_version"), 1);
  EXPECT_EQ(report.at("frontend"), "native");
  EXPECT_EQ(report.at("backend_policy"), "auto");
  EXPECT_EQ(report.at("activation_dtype"), "fp16");
  EXPECT_EQ(report.at("weight_dtype"), "fp16");
  EXPECT_EQ(report.at("answer"), answer);
  EXPECT_EQ(report.at("finish_reason"), "length");
  EXPECT_EQ(report.at("image_views"), 1);
  EXPECT_EQ(report.at("image_detail"), "single");
  EXPECT_EQ(report.at("image_longest_edge"), 512);
  EXPECT_GT(report.at("max_rss_bytes").get<uint64_t>(), 0u);
  ASSERT_EQ(report.at("cases").size(), 1u);
  EXPECT_EQ(report.at("cases")[0].at("generated_token_ids").get<std::vector<int64_t>>(),
            ids_of(out.r));

  // The same request again reuses every prompt token but the last and answers the same.
  ResultCloser again;
  ASSERT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &again.r, &error), 1);
  EXPECT_EQ(again.r.reused_prompt_tokens, out.r.prompt_tokens - 1);
  EXPECT_EQ(ids_of(again.r), ids_of(out.r));
  // Reset forgets the cache.
  ASSERT_EQ(vlm_reset_impl(handle.get(), &error), 1);
  ResultCloser after_reset;
  ASSERT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &after_reset.r, &error), 1);
  EXPECT_EQ(after_reset.r.reused_prompt_tokens, 0u);

  uint32_t count = 0;
  ASSERT_EQ(vlm_count_tokens(handle.get(), &g.turn, 1, &g.request, &count, &error), 1);
  EXPECT_EQ(count, out.r.prompt_tokens);
}

TEST_F(Generate, SeededSamplingIsReproducible) {
  GoldenRequest g(12);
  g.request.sampling.temperature = 0.9;
  g.request.sampling.top_k = 50;
  g.request.sampling.seed = 1234;
  auto run = [&] {
    vlm_reset_impl(handle.get(), &error);
    ResultCloser out;
    EXPECT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &out.r, &error), 1);
    return ids_of(out.r);
  };
  const std::vector<int64_t> a = run();
  EXPECT_EQ(run(), a);
  g.request.sampling.seed = 99;
  const std::vector<int64_t> other = run();
  EXPECT_NE(other, a);
  EXPECT_NE(a, golden_tokens(Activation::fp16));
}

// The answer-only entry gives vlm_generate's tokens, text, counts and finish reason, greedy or
// seeded, with and without a reused prefix; only the log-probabilities are left out.
TEST_F(Generate, AnswerOnlyRequestsMatchFullOnes) {
  GoldenRequest g(9);
  for (double temperature : {0.0, 0.8}) {
    g.request.sampling.temperature = temperature;
    g.request.sampling.seed = 77;
    vlm_reset_impl(handle.get(), &error);
    ResultCloser full;
    ASSERT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &full.r,
                           &error), 1) << error.message;
    // First after a reset (a full prefill), then again (every prompt token but the last reused).
    for (uint32_t reused : {0u, 1u}) {
      if (reused == 0) vlm_reset_impl(handle.get(), &error);
      ResultCloser quick;
      ASSERT_EQ(vlm_generate_answer(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr,
                                    &quick.r, &error), 1) << error.message;
      EXPECT_EQ(ids_of(quick.r), ids_of(full.r)) << "temperature " << temperature;
      EXPECT_EQ(std::string(quick.r.answer, quick.r.answer_length),
                std::string(full.r.answer, full.r.answer_length));
      EXPECT_EQ(quick.r.finish_reason, full.r.finish_reason);
      EXPECT_EQ(quick.r.prompt_tokens, full.r.prompt_tokens);
      EXPECT_EQ(quick.r.reused_prompt_tokens, reused == 0 ? 0u : full.r.prompt_tokens - 1);
      ASSERT_NE(quick.r.log_probs, nullptr);
      for (uint32_t i = 0; i < quick.r.generated_tokens; ++i) EXPECT_EQ(quick.r.log_probs[i], 0.0);
      const json& report_case = handle->session->last_report.at("cases")[0];
      EXPECT_TRUE(report_case.at("token_log_probabilities").empty());
      EXPECT_EQ(report_case.at("generated_token_ids").get<std::vector<int64_t>>(), ids_of(full.r));
    }
  }
}

TEST_F(Generate, ConstrainedAnswersFollowTheirFormat) {
  const VlmContentItem text{kContentText, "Give me a record.", nullptr};
  const VlmPromptMessage turn{"user", &text, 1};
  VlmRequest request = vlm_request_default();
  request.max_new_tokens = 80;
  request.sampling.temperature = 0;
  request.json_schema =
      R"({"type":"object","properties":{"name":{"type":"string","maxLength":6},)"
      R"("count":{"type":"integer"}},"required":["name","count"],"additionalProperties":false})";
  ResultCloser out;
  ASSERT_EQ(vlm_generate(handle.get(), &turn, 1, &request, nullptr, nullptr, &out.r, &error), 1)
      << error.code << " " << error.message;
  const std::string answer(out.r.answer, out.r.answer_length);
  json parsed;
  ASSERT_NO_THROW(parsed = json::parse(answer)) << answer;
  ASSERT_TRUE(parsed.is_object()) << answer;
  ASSERT_TRUE(parsed.contains("name") && parsed.at("name").is_string()) << answer;
  EXPECT_LE(parsed.at("name").get<std::string>().size(), 6u);
  ASSERT_TRUE(parsed.contains("count") && parsed.at("count").is_number_integer()) << answer;
  EXPECT_NE(out.r.finish_reason, kFinishCancelled);

  // Amounts: digits, a point and exactly two decimals, with no leading whitespace.
  VlmRequest amount = vlm_request_default();
  amount.max_new_tokens = 20;
  amount.amount_decimals = 2;
  ResultCloser money;
  ASSERT_EQ(vlm_generate(handle.get(), &turn, 1, &amount, nullptr, nullptr, &money.r, &error), 1)
      << error.message;
  const std::string value(money.r.answer, money.r.answer_length);
  EXPECT_TRUE(std::regex_match(value, std::regex(R"(-?[0-9]+\.[0-9]{2})"))) << value;

  // A constraint cannot be combined with stops.
  const char* stops[] = {"x"};
  amount.stops = stops;
  amount.stop_count = 1;
  ResultCloser refused;
  EXPECT_EQ(vlm_generate(handle.get(), &turn, 1, &amount, nullptr, nullptr, &refused.r, &error), 0);
  EXPECT_EQ(error.code, 1u);
  EXPECT_EQ(refused.r.answer, nullptr);
}

// How a constrained answer ends. A constraint that completes (nothing more could be written)
// before the token limit ends the answer as a stop sequence would; one that completes on the last
// allowed token reports the limit, as does an answer the limit cuts while its value could still
// grow. The tiny model pads with whitespace for as long as the budget lets it.
TEST_F(Generate, ConstrainedAnswerFinishReasons) {
  const VlmContentItem text{kContentText, "Give me a record.", nullptr};
  const VlmPromptMessage turn{"user", &text, 1};
  auto generate = [&](const char* schema, uint32_t decimals, uint32_t max_new_tokens,
                      ResultCloser* out) {
    VlmRequest request = vlm_request_default();
    request.max_new_tokens = max_new_tokens;
    request.sampling.temperature = 0;
    request.json_schema = schema;
    request.amount_decimals = decimals;
    ASSERT_EQ(vlm_generate(handle.get(), &turn, 1, &request, nullptr, nullptr, &out->r, &error), 1)
        << error.code << " " << error.message;
  };
  auto answer_of = [](const ResultCloser& out) {
    return std::string(out.r.answer, out.r.answer_length);
  };
  const char* kChoice = R"({"enum":["a","bc"]})";

  // Completed with room to spare.
  ResultCloser early;
  generate(kChoice, 0, 12, &early);
  const std::string choice = answer_of(early);
  json parsed;
  ASSERT_NO_THROW(parsed = json::parse(choice)) << choice;
  EXPECT_TRUE(parsed == "a" || parsed == "bc") << choice;
  ASSERT_LT(early.r.generated_tokens, 12u) << choice;
  EXPECT_EQ(early.r.finish_reason, kFinishStopSequence) << choice;
  EXPECT_EQ(handle->session->last_report.at("finish_reason"), "stop_sequence");

  // The same answer with exactly its own length as the limit: completed on the last token.
  ResultCloser exact;
  generate(kChoice, 0, early.r.generated_tokens, &exact);
  EXPECT_EQ(answer_of(exact), choice);
  EXPECT_EQ(exact.r.generated_tokens, early.r.generated_tokens);
  EXPECT_EQ(exact.r.finish_reason, kFinishLength);
  EXPECT_EQ(handle->session->last_report.at("finish_reason"), "length");

  // An amount completes once its decimals are written; the padding uses the whole budget.
  ResultCloser amount;
  generate(nullptr, 2, 6, &amount);
  const std::string value = answer_of(amount);
  EXPECT_TRUE(std::regex_match(value, std::regex(R"(-?[0-9]+\.[0-9]{2})"))) << value;
  EXPECT_EQ(amount.r.generated_tokens, 6u) << value;
  EXPECT_EQ(amount.r.finish_reason, kFinishLength) << value;

  // The limit comes first: an integer that could take more digits is cut, not completed.
  ResultCloser cut;
  generate(R"({"type":"integer"})", 0, 3, &cut);
  const std::string number = answer_of(cut);
  ASSERT_NO_THROW(parsed = json::parse(number)) << number;
  EXPECT_TRUE(parsed.is_number_integer()) << number;
  EXPECT_EQ(cut.r.generated_tokens, 3u) << number;
  EXPECT_EQ(cut.r.finish_reason, kFinishLength) << number;
}

TEST_F(Generate, GuardsAndRefusals) {
  GoldenRequest g(4);
  ResultCloser out;
  EXPECT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, nullptr, &error), 0);
  EXPECT_STREQ(error.message, "Result is required");
  EXPECT_EQ(vlm_generate(nullptr, &g.turn, 1, &g.request, nullptr, nullptr, &out.r, &error), 0);
  EXPECT_STREQ(error.message, "Session is required");
  EXPECT_EQ(vlm_generate(nullptr, &g.turn, 1, &g.request, nullptr, nullptr, &out.r, nullptr), 0);
  atomic_store_u32(&handle->busy, 1, kOrderSeqCst);
  EXPECT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &out.r, &error), 0);
  EXPECT_EQ(error.code, 9u);
  uint32_t count = 7;
  EXPECT_EQ(vlm_count_tokens(handle.get(), &g.turn, 1, &g.request, &count, &error), 0);
  EXPECT_EQ(error.code, 9u);
  EXPECT_EQ(count, 0u);
  atomic_store_u32(&handle->busy, 0, kOrderSeqCst);
  EXPECT_EQ(vlm_count_tokens(handle.get(), &g.turn, 1, &g.request, nullptr, &error), 0);
  EXPECT_STREQ(error.message, "Token count output is required");

  struct Case {
    std::function<void(GoldenRequest&)> edit;
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {[](GoldenRequest& r) { r.request.max_new_tokens = 0; }, 1, "Invalid generation parameters"},
      {[](GoldenRequest& r) { r.request.sampling.top_p = 0; }, 1, "Invalid generation parameters"},
      {[](GoldenRequest& r) { r.items[1].text = "\xff\xfe"; }, 1, "Invalid UTF-8"},
      {[](GoldenRequest& r) { r.items[1].text = nullptr; }, 1, "Missing string"},
      {[](GoldenRequest& r) { r.turn.role = "robot"; }, 1, nullptr},
      {[](GoldenRequest& r) { r.image.length = 0; }, 1, "Invalid image bytes"},
      {[](GoldenRequest& r) { r.image.stride = 5; }, 1, nullptr},
      {[](GoldenRequest& r) { r.image.kind = 9; }, 1, "Invalid image kind"},
      {[](GoldenRequest& r) { r.request.max_new_tokens = 2000; }, 6, nullptr},
      {[](GoldenRequest& r) { r.request.json_schema = "{not json"; }, 1, nullptr},
  };
  for (const Case& c : cases) {
    GoldenRequest r(4);
    c.edit(r);
    ResultCloser bad;
    EXPECT_EQ(vlm_generate(handle.get(), &r.turn, 1, &r.request, nullptr, nullptr, &bad.r, &error), 0);
    EXPECT_EQ(error.code, c.code) << error.message;
    if (c.message != nullptr) {
      EXPECT_STREQ(error.message, c.message);
    }
    EXPECT_EQ(bad.r.answer, nullptr);
    EXPECT_EQ(handle->busy, 0u);
  }

  // Unloaded: refused without touching a graph; reloading makes it usable again.
  ASSERT_EQ(vlm_unload_impl(handle.get(), &error), 1);
  EXPECT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &out.r, &error), 0);
  EXPECT_EQ(error.code, 1u);
  EXPECT_STREQ(error.message, "Session is unloaded; reload before generation");
  EXPECT_EQ(vlm_count_tokens(handle.get(), &g.turn, 1, &g.request, &count, &error), 1);
  EXPECT_EQ(count, tiny_goldens().prompt.input_ids.size());
  ASSERT_EQ(vlm_reload_impl(handle.get(), &error), 1);
  ASSERT_EQ(vlm_generate(handle.get(), &g.turn, 1, &g.request, nullptr, nullptr, &out.r, &error), 1);
  EXPECT_EQ(ids_of(out.r), std::vector<int64_t>(golden_tokens(Activation::fp16).begin(),
                                                golden_tokens(Activation::fp16).begin() + 4));
}

TEST_F(Generate, PromptAndImagePathHelpers) {
  ResultCloser out;
  ASSERT_EQ(vlm_generate_prompt(handle.get(), "Hello there", 3, &out.r, &error), 1) << error.message;
  EXPECT_EQ(out.r.generated_tokens, 3u);
  ResultCloser none;
  EXPECT_EQ(vlm_generate_prompt(handle.get(), "Hello", 0, &none.r, &error), 0);
  EXPECT_STREQ(error.message, "Invalid generation parameters");
  ResultCloser missing;
  EXPECT_EQ(vlm_generate_image_path(handle.get(), "/nonexistent.png", "What?", 2, 0, 512,
                                    &missing.r, &error), 0);
  EXPECT_EQ(error.code, 4u) << error.message;
}
