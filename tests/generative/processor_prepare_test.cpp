// The processor's request entries over a real container: preparing request dictionaries
// (image bytes in the messages, raw pixels, the old single-image keys, the flat request records
// end to end), the error domains every failure arrives in, and the output constraint built
// over the model's vocabulary.
#include "generative/processor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "core/domain_error.h"
#include "generative/processor_constraint.h"
#include "generative/request_validation.h"
#include "prepare_fixture.h"
#include "tests/support/tiny_vlm.h"
#include "testdata.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::TinyContainer;

const std::string kJpegPath = std::string(VEXA_TESTDATA_DIR) + "/images/exif-orientation/Portrait_5.jpg";

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class ProcessorPrepare : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    container_ = new TinyContainer();
    processor_ = new VXProcessor(container_->bytes.data(), container_->metadata_length, container_->fd);
  }
  static void TearDownTestSuite() {
    delete processor_;
    delete container_;
  }
  static const VXProcessor& processor() { return *processor_; }

  // "<domain>: <reason>" of a failing preparation.
  static std::string failure(const RequestDocument& doc) {
    try {
      processor().prepare(doc);
    } catch (const DomainError& e) {
      return e.domain() + ": " + e.reason();
    }
    return "(prepared)";
  }

  static TinyContainer* container_;
  static VXProcessor* processor_;
};
TinyContainer* ProcessorPrepare::container_ = nullptr;
VXProcessor* ProcessorPrepare::processor_ = nullptr;

RequestDocument with_messages(json messages) {
  return RequestDocument(json{{"messages", std::move(messages)}, {"max_new_tokens", 16}});
}

TEST_F(ProcessorPrepare, EncodedBytesPrepareAsTheFileDoes) {
  VEXA_REQUIRE_TESTDATA("images/exif-orientation/Portrait_5.jpg");
  // Orientation 5 turns the 1200 x 1800 picture on its side.
  const std::vector<uint8_t> jpeg = file_bytes(kJpegPath);
  ASSERT_FALSE(jpeg.empty());
  RequestDocument by_bytes;
  by_bytes.values = {{"max_new_tokens", 16}, {"activation", "fp16"}, {"image_detail", "tiled"},
                     {"image_longest_edge", 1024}};
  by_bytes.values["messages"] = json::array(
      {{{"role", "user"},
        {"content", json::array({{{"type", "image"}, {"data", by_bytes.lend_bytes(jpeg.data(), jpeg.size())}},
                                 {{"type", "text"}, {"text", "Where?"}}})}}});
  RequestDocument by_path(json{{"max_new_tokens", 16}, {"activation", "fp16"},
                               {"image_detail", "tiled"}, {"image_longest_edge", 1024},
                               {"image", kJpegPath}, {"prompt", "Where?"}});
  const PreparedInputs a = processor().prepare(by_bytes);
  const PreparedInputs b = processor().prepare(by_path);
  EXPECT_EQ(a.image_orientations, std::vector<uint32_t>{5});
  EXPECT_EQ(a.prompt_token_ids, b.prompt_token_ids);
  EXPECT_EQ(a.image_views, b.image_views);
  EXPECT_EQ(a.tensors.at("pixel_values").dtype, kDtypeF16);
  EXPECT_TRUE(a.tensors.at("pixel_values").data == b.tensors.at("pixel_values").data);
  // Upright 1800 x 1200 at edge 1024: 1024 x 682, tiles 1024 x 1024: 2 x 2 plus the global view.
  EXPECT_EQ(a.image_views, 5u);
  EXPECT_EQ(a.image_rows, 2u);
}

TEST_F(ProcessorPrepare, RawPixelsAndTheSingleImageKeys) {
  const std::vector<uint8_t> view = testing::tiny_vlm_view_rgb();
  testing::TinyVlmPrompt golden;
  std::string error;
  ASSERT_TRUE(testing::load_tiny_vlm_prompt(&golden, &error)) << error;
  // "image_pixels" without messages: one user turn, the image and then the prompt.
  RequestDocument doc;
  doc.values = {{"prompt", "Describe this picture."}, {"max_new_tokens", 16}, {"causal_mask", true}};
  doc.values["image_pixels"] = {{"data", doc.lend_bytes(view.data(), view.size())},
                                {"width", 512},
                                {"height", 512},
                                {"stride", 1536},
                                {"format", 1},
                                {"orientation", 1}};
  const PreparedInputs p = processor().prepare(doc);
  EXPECT_EQ(p.prompt_token_ids, golden.input_ids);
  const testing::HostInputs want = testing::tiny_vlm_prefill_inputs(
      golden, testing::tiny_vlm_desc(testing::VlmWeights::fp16), testing::Activation::fp32, false);
  for (const auto& [name, t] : want) {
    EXPECT_TRUE(p.tensors.at(name).data == t.bytes) << name;
    EXPECT_EQ(p.tensors.at(name).dtype, t.dtype) << name;  // no "activation": F32
  }
  // Bytes the document owns serve as well as lent ones.
  VEXA_REQUIRE_TESTDATA("images/exif-orientation/Portrait_5.jpg");
  RequestDocument owned(json{{"prompt", "Describe this picture."}, {"max_new_tokens", 16}});
  owned.values["image_data"] = json::binary(file_bytes(kJpegPath));
  EXPECT_EQ(processor().prepare(owned).image_orientations, std::vector<uint32_t>{5});
}

TEST_F(ProcessorPrepare, FlatRecordsEndToEnd) {
  // Records -> request dictionary -> preparation: the goldens' prompt with the causal mask the
  // dictionary always asks for.
  const std::vector<uint8_t> view = testing::tiny_vlm_view_rgb();
  const VlmImageSource image{kImageSourcePixels, nullptr, view.data(), view.size(), 512, 512, 1536, 1, 1};
  const VlmContentItem items[] = {{kContentImage, nullptr, &image},
                                  {kContentText, "Describe this picture.", nullptr}};
  const VlmPromptMessage message{"user", items, 2};
  VlmRequest request = vlm_request_default();
  request.max_new_tokens = 16;
  const RequestSession session{512, true, "auto"};
  const RequestDocument doc = vlm_request_dictionary(&session, &message, 1, &request);
  const PreparedInputs p = processor().prepare(doc);
  testing::TinyVlmPrompt golden;
  std::string error;
  ASSERT_TRUE(testing::load_tiny_vlm_prompt(&golden, &error)) << error;
  const testing::HostInputs want = testing::tiny_vlm_prefill_inputs(
      golden, testing::tiny_vlm_desc(testing::VlmWeights::fp16), testing::Activation::fp16, false);
  ASSERT_EQ(p.tensors.size(), want.size());
  for (const auto& [name, t] : want) EXPECT_TRUE(p.tensors.at(name).data == t.bytes) << name;
  EXPECT_EQ(p.tensors.at("text_attention_mask").shape, (std::vector<uint32_t>{1, 1, 0, 0}));

  // Counting only keeps no tensors.
  RequestDocument counting = doc;
  counting.values["count_only"] = true;
  EXPECT_TRUE(processor().prepare(counting).tensors.empty());
}

TEST_F(ProcessorPrepare, RequestShapeRefusalsAreFrontendErrors) {
  const json text = {{"type", "text"}, {"text", "x"}};
  const struct {
    json request;
    const char* want;
  } cases[] = {
      {json::array(), "VexaFrontend: Invalid request"},
      {{{"messages", 5}}, "VexaFrontend: Invalid messages"},
      {{{"messages", nullptr}}, "VexaFrontend: Invalid messages"},
      {{{"messages", json::array({5})}}, "VexaFrontend: Invalid message"},
      {{{"messages", json::array({{{"role", "user"}}})}}, "VexaFrontend: Invalid message"},
      {{{"messages", json::array({{{"role", "user"}, {"content", "hi"}}})}}, "VexaFrontend: Invalid message"},
      {{{"messages", json::array({{{"role", "user"}, {"content", json::array({text, "hi"})}}})}},
       "VexaFrontend: Invalid content"},
      {{{"messages", json::array({{{"role", "user"}, {"content", json::array({{{"type", "image"}, {"data", "abc"}}})}}})}},
       "VexaFrontend: Invalid image data"},
      {{{"messages", json::array({{{"role", "user"}, {"content", json::array({{{"type", "image"}, {"pixels", 3}}})}}})}},
       "VexaFrontend: Invalid image data"},
      {{{"messages", json::array({{{"role", "user"}, {"content", json::array({{{"type", "image"}, {"pixels", {{"width", 2}}}}})}}})}},
       "VexaFrontend: Invalid image data"},
      // A reference to a range the document does not hold.
      {{{"messages", json::array({{{"role", "user"}, {"content", json::array({{{"type", "image"}, {"data", json::binary({}, 3)}}})}}})}},
       "VexaFrontend: Invalid image data"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure(RequestDocument(c.request)), c.want) << c.request.dump();
}

TEST_F(ProcessorPrepare, PreparationFailuresAreMappedByTheirMessage) {
  std::vector<uint8_t> garbage(64, 0x42);
  RequestDocument bad_bytes(json{{"max_new_tokens", 16}});
  bad_bytes.values["messages"] = json::array(
      {{{"role", "user"},
        {"content", json::array({{{"type", "image"}, {"data", bad_bytes.lend_bytes(garbage.data(), garbage.size())}}})}}});
  EXPECT_EQ(failure(bad_bytes), "VexaImage: Supported image formats are RGB/grayscale JPEG and PNG");
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}, {"max_new_tokens", 16}, {"image", "/nonexistent.png"}})),
            "VexaImage: Cannot read image");
  EXPECT_EQ(failure(with_messages(json::array(
                {{{"role", "user"}, {"content", json::array({{{"type", "image"}, {"image_index", 0}}})}}}))),
            "VexaFrontend: Invalid image index");
  EXPECT_EQ(failure(with_messages(json::array({{{"role", "tool"}, {"content", json::array({{{"type", "text"}, {"text", "x"}}})}}}))),
            "VexaFrontend: Invalid message role");
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}})), "VexaFrontend: Invalid context/output budget");
  const std::string typed = failure(RequestDocument(json{{"prompt", 5}, {"max_new_tokens", 16}}));
  EXPECT_EQ(typed.rfind("VexaFrontend: ", 0), 0u) << typed;
  EXPECT_NE(typed.find("type must be string"), std::string::npos) << typed;
  // Counts outside 32 bits, negative or fractional are refused, never wrapped into range.
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}, {"max_new_tokens", (uint64_t{1} << 32) + 16}})),
            "VexaFrontend: Invalid context/output budget");
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}, {"max_new_tokens", 16}, {"image_longest_edge", -512}})),
            "VexaFrontend: Invalid image detail/edge");
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}, {"max_new_tokens", 16.5}})),
            "VexaFrontend: Invalid context/output budget");
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}, {"max_new_tokens", 16.0}})), "(prepared)");
  // Zero edge and context mean their defaults.
  EXPECT_EQ(failure(RequestDocument(json{{"prompt", "x"}, {"max_new_tokens", 16}, {"image_longest_edge", 0}, {"context_length", 0}})),
            "(prepared)");
}

TEST_F(ProcessorPrepare, ConstraintOverTheModelsVocabulary) {
  EXPECT_EQ(processor().constraint_with_params(nullptr), nullptr);
  VlmRequest request = vlm_request_default();
  EXPECT_EQ(processor().constraint_with_params(&request), nullptr);

  request.json_schema = R"({"type": "boolean"})";
  request.max_new_tokens = 8;
  const auto c = processor().constraint_with_params(&request);
  ASSERT_NE(c, nullptr);
  const Processor& p = processor().processor();
  const uint64_t vocab = p.tokens.vocab_size;
  ASSERT_EQ(c->constraint()->token_bytes.size(), vocab);
  EXPECT_EQ(c->constraint()->eos_ids, processor().eos());
  // Every id the first step allows spells the start of "true" or "false" after optional
  // whitespace; the letters t and f themselves are allowed.
  std::vector<uint8_t> mask(vocab, 1);
  c->mask(mask.data(), vocab, 8);
  uint64_t allowed = 0;
  for (uint64_t id = 0; id < vocab; ++id) {
    if (mask[id] == 0) continue;
    ++allowed;
    const std::string bytes = processor().token_bytes(static_cast<int64_t>(id));
    const std::string word = bytes.substr(std::min(bytes.size(), bytes.find_first_not_of(" \t\n\r")));
    EXPECT_TRUE(word.empty() ? !bytes.empty()
                             : (std::string("true").rfind(word, 0) == 0 || std::string("false").rfind(word, 0) == 0))
        << "id " << id << " '" << bytes << "'";
  }
  EXPECT_GT(allowed, 2u);
  EXPECT_NE(mask[p.tokens.vocab.at("t")], 0);
  EXPECT_NE(mask[p.tokens.vocab.at("f")], 0);

  // The untranslated builder compiles the same constraint.
  const auto raw = processor_make_constraint(p, request);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->token_bytes, c->constraint()->token_bytes);

  auto refusal = [&](const VlmRequest& r) {
    try {
      processor().constraint_with_params(&r);
    } catch (const DomainError& e) {
      return e.domain() + ": " + e.reason();
    }
    return std::string("(built)");
  };
  const char* stops[] = {"x"};
  VlmRequest with_stops = request;
  with_stops.stops = stops;
  with_stops.stop_count = 1;
  EXPECT_EQ(refusal(with_stops), "VexaFrontend: Output constraints cannot be combined with stops or custom masks");
  VlmRequest amount = vlm_request_default();
  amount.amount_decimals = 2;
  amount.mask_callback = [](void*, const int64_t*, uint64_t, uint8_t*, uint64_t) { return 0; };
  EXPECT_EQ(refusal(amount), "VexaFrontend: Output constraints cannot be combined with stops or custom masks");
  amount.mask_callback = nullptr;
  EXPECT_EQ(refusal(amount), "(built)");
  VlmRequest bad_schema = vlm_request_default();
  bad_schema.json_schema = "{not json";
  EXPECT_EQ(refusal(bad_schema).rfind("VexaFrontend: ", 0), 0u);
}

}  // namespace
}  // namespace vexa
