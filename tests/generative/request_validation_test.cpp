// The request dictionary built from the flat request records: its keys and values, image bytes
// lent rather than copied, and every refusal at its limit and in its order.
#include "generative/request_validation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/domain_error.h"

namespace vexa {
namespace {

using nlohmann::json;

const RequestSession kSession{2048, true, "auto"};

// One message of one text item unless a test changes it.
struct Records {
  std::vector<VlmContentItem> items{{kContentText, "Hello", nullptr}};
  std::vector<VlmPromptMessage> messages{{"user", nullptr, 1}};
  VlmRequest request = vlm_request_default();
  const RequestSession* session = &kSession;

  RequestDocument build() {
    for (VlmPromptMessage& m : messages) {
      if (m.items == nullptr && m.item_count > 0) m.items = items.data();
    }
    return vlm_request_dictionary(session, messages.data(), messages.size(), &request);
  }
  std::string error() {
    try {
      build();
    } catch (const DomainError& e) {
      return e.domain() + ": " + e.reason();
    }
    return "(built)";
  }
};

std::string argument(const char* message) { return std::string("VexaArgument: ") + message; }

TEST(RequestValidation, DictionaryKeysAndValues) {
  Records r;
  r.request.max_new_tokens = 100;
  r.request.sampling.temperature = 0.7;
  r.request.sampling.top_k = 40;
  r.request.sampling.seed = 0xfedcba9876543210ull;
  r.request.tiled = 1;
  r.request.image_longest_edge = 1024;
  const char* stops[] = {"END", "\n\n"};
  r.request.stops = stops;
  r.request.stop_count = 2;
  const RequestDocument doc = r.build();
  const json& d = doc.values;
  EXPECT_EQ(d.size(), 16u);  // no "image_crop" without the crop flag
  EXPECT_FALSE(d.contains("image_crop"));
  EXPECT_EQ(d.at("causal_mask"), true);
  EXPECT_EQ(d.at("activation"), "fp16");
  EXPECT_EQ(d.at("backend"), "auto");
  EXPECT_EQ(d.at("context_length"), 2048);
  EXPECT_EQ(d.at("max_new_tokens"), 100);
  EXPECT_EQ(d.at("image_detail"), "tiled");
  EXPECT_EQ(d.at("image_longest_edge"), 1024);
  EXPECT_EQ(d.at("stop"), json::array({"END", "\n\n"}));
  EXPECT_EQ(d.at("temperature"), 0.7);
  EXPECT_EQ(d.at("top_p"), 1.0);
  EXPECT_EQ(d.at("min_p"), 0.0);
  EXPECT_EQ(d.at("top_k"), 40);
  EXPECT_EQ(d.at("repetition_penalty"), 1.0);
  EXPECT_EQ(d.at("repetition_window"), 0);
  EXPECT_EQ(d.at("seed").get<uint64_t>(), 0xfedcba9876543210ull);
  EXPECT_EQ(d.at("messages"),
            json::parse(R"([{"role": "user", "content": [{"type": "text", "text": "Hello"}]}])"));

  RequestSession fp32 = kSession;
  fp32.activation_fp16 = false;
  r.session = &fp32;
  r.request.crop = 1;
  r.request.crop_box[0] = 0.1;
  r.request.crop_box[1] = 0.2;
  r.request.crop_box[2] = 0.9;
  r.request.crop_box[3] = 1.0;
  const RequestDocument cropped = r.build();
  EXPECT_EQ(cropped.values.at("activation"), "fp32");
  EXPECT_EQ(cropped.values.at("image_crop"), json::array({0.1, 0.2, 0.9, 1.0}));
}

TEST(RequestValidation, ImageItemsLendTheirBytes) {
  std::vector<uint8_t> jpeg(100, 1), rgb(12, 2);
  const VlmImageSource path{kImageSourcePath, "/tmp/cat.png", nullptr, 0, 0, 0, 0, 0, 0};
  const VlmImageSource encoded{kImageSourceEncoded, nullptr, jpeg.data(), jpeg.size(), 0, 0, 0, 0, 0};
  const VlmImageSource pixels{kImageSourcePixels, nullptr, rgb.data(), rgb.size(), 2, 2, 6, 1, 8};
  Records r;
  r.items = {{kContentImage, nullptr, &path},
             {kContentImage, nullptr, &encoded},
             {kContentImage, nullptr, &pixels},
             {kContentText, "What?", nullptr}};
  r.messages = {{"system", nullptr, 4}};
  const RequestDocument doc = r.build();
  const json& content = doc.values.at("messages")[0].at("content");
  EXPECT_EQ(doc.values.at("messages")[0].at("role"), "system");
  EXPECT_EQ(content[0], (json{{"type", "image"}, {"path", "/tmp/cat.png"}}));
  const auto a = doc.bytes_of(content[1].at("data"));
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->data(), jpeg.data());  // the caller's bytes, not a copy
  EXPECT_EQ(a->size(), jpeg.size());
  const json& p = content[2].at("pixels");
  EXPECT_EQ(doc.bytes_of(p.at("data"))->data(), rgb.data());
  EXPECT_EQ(p.at("width"), 2);
  EXPECT_EQ(p.at("height"), 2);
  EXPECT_EQ(p.at("stride"), 6);
  EXPECT_EQ(p.at("format"), 1);
  EXPECT_EQ(p.at("orientation"), 8);
  // A byte value of another document, or no byte value at all, stands for nothing here.
  RequestDocument other;
  EXPECT_FALSE(other.bytes_of(content[1].at("data")).has_value());
  EXPECT_FALSE(doc.bytes_of(json("data")).has_value());
}

TEST(RequestValidation, MessageAndItemLimits) {
  Records r;
  r.messages.assign(4096, {"user", nullptr, 1});
  EXPECT_EQ(r.error(), "(built)");
  r.messages.push_back({"user", nullptr, 1});
  EXPECT_EQ(r.error(), argument("Messages are required"));
  EXPECT_EQ(vlm_string_from_c("x"), "x");
  try {
    vlm_request_dictionary(&kSession, nullptr, 1, nullptr);
    ADD_FAILURE();
  } catch (const DomainError& e) {
    EXPECT_EQ(std::string(e.reason()), "Messages are required");
  }
  Records none;
  none.messages.clear();
  EXPECT_EQ(none.error(), argument("Messages are required"));

  Records items;
  items.items.assign(4096, {kContentText, "a", nullptr});
  items.messages = {{"user", nullptr, 4096}};
  EXPECT_EQ(items.error(), "(built)");
  items.items.push_back({kContentText, "a", nullptr});
  items.messages = {{"user", nullptr, 4097}};
  EXPECT_EQ(items.error(), argument("Invalid message content"));
  Records empty;
  empty.messages = {{"user", nullptr, 0}};
  EXPECT_EQ(empty.error(), argument("Invalid message content"));
}

TEST(RequestValidation, GenerationParameters) {
  const struct {
    const char* name;
    void (*set)(Records&);
  } refused[] = {
      {"no tokens", [](Records& r) { r.request.max_new_tokens = 0; }},
      {"no session", [](Records& r) { r.session = nullptr; }},
      {"beyond the context", [](Records& r) { r.request.max_new_tokens = 2049; }},
      {"negative temperature", [](Records& r) { r.request.sampling.temperature = -1; }},
      {"top_p zero", [](Records& r) { r.request.sampling.top_p = 0; }},
      {"zero penalty", [](Records& r) { r.request.sampling.repetition_penalty = 0; }},
  };
  for (const auto& c : refused) {
    Records r;
    c.set(r);
    EXPECT_EQ(r.error(), argument("Invalid generation parameters")) << c.name;
  }
  Records equal;
  equal.request.max_new_tokens = 2048;  // the prompt's share is checked later
  EXPECT_EQ(equal.error(), "(built)");
  // A null request means the defaults.
  Records defaults;
  defaults.messages[0].items = defaults.items.data();
  const RequestDocument doc =
      vlm_request_dictionary(&kSession, defaults.messages.data(), 1, nullptr);
  EXPECT_EQ(doc.values.at("max_new_tokens"), 64);
  EXPECT_EQ(doc.values.at("image_longest_edge"), 512);
  EXPECT_EQ(doc.values.at("image_detail"), "single");
}

TEST(RequestValidation, StopSequences) {
  std::vector<const char*> stops(1025, "x");
  Records r;
  r.request.stops = stops.data();
  r.request.stop_count = 1024;
  EXPECT_EQ(r.error(), "(built)");
  r.request.stop_count = 1025;
  EXPECT_EQ(r.error(), argument("Invalid stop sequences"));
  r.request.stop_count = 1;
  r.request.stops = nullptr;
  EXPECT_EQ(r.error(), argument("Invalid stop sequences"));
  const char* with_empty[] = {"a", ""};
  r.request.stops = with_empty;
  r.request.stop_count = 2;
  EXPECT_EQ(r.error(), argument("Empty stop sequence"));
  const char* with_null[] = {nullptr};
  r.request.stops = with_null;
  r.request.stop_count = 1;
  EXPECT_EQ(r.error(), argument("Missing string"));
}

TEST(RequestValidation, ContentRefusals) {
  std::vector<uint8_t> bytes(16, 0);
  const VlmImageSource null_path{kImageSourcePath, nullptr, nullptr, 0, 0, 0, 0, 0, 0};
  const VlmImageSource no_data{kImageSourceEncoded, nullptr, nullptr, 5, 0, 0, 0, 0, 0};
  const VlmImageSource zero_length{kImageSourcePixels, nullptr, bytes.data(), 0, 0, 0, 0, 0, 0};
  const VlmImageSource too_long{kImageSourceEncoded, nullptr, bytes.data(), kMaxImageBytes + 1, 0, 0, 0, 0, 0};
  const VlmImageSource longest{kImageSourceEncoded, nullptr, bytes.data(), kMaxImageBytes, 0, 0, 0, 0, 0};
  const VlmImageSource unknown{4, nullptr, bytes.data(), 16, 0, 0, 0, 0, 0};
  const char bad_utf8[] = {'a', static_cast<char>(0xC0), static_cast<char>(0x80), 0};
  const char surrogate[] = {static_cast<char>(0xED), static_cast<char>(0xA0), static_cast<char>(0x80), 0};
  const struct {
    VlmContentItem item;
    const char* want;
  } cases[] = {
      {{kContentText, nullptr, nullptr}, "Missing string"},
      {{kContentText, bad_utf8, nullptr}, "Invalid UTF-8"},
      {{kContentText, surrogate, nullptr}, "Invalid UTF-8"},
      {{kContentImage, nullptr, nullptr}, "Invalid content kind"},
      {{3, "text", nullptr}, "Invalid content kind"},
      {{0, "text", nullptr}, "Invalid content kind"},
      {{kContentImage, nullptr, &null_path}, "Missing string"},
      {{kContentImage, nullptr, &no_data}, "Invalid image bytes"},
      {{kContentImage, nullptr, &zero_length}, "Invalid image bytes"},
      {{kContentImage, nullptr, &too_long}, "Invalid image bytes"},
      {{kContentImage, nullptr, &unknown}, "Invalid image kind"},
  };
  for (const auto& c : cases) {
    Records r;
    r.items = {c.item};
    EXPECT_EQ(r.error(), argument(c.want)) << c.want;
  }
  Records r;
  r.items = {{kContentImage, nullptr, &longest}};  // exactly 512 MiB passes: bytes are not read
  EXPECT_EQ(r.error(), "(built)");
}

TEST(RequestValidation, RefusalsComeInTheirOrder) {
  // Parameters before stops before messages; within a message, items before the role.
  const char* stops[] = {""};
  Records r;
  r.request.max_new_tokens = 0;
  r.request.stops = stops;
  r.request.stop_count = 1;
  r.messages[0].role = nullptr;
  r.items[0].kind = 9;
  EXPECT_EQ(r.error(), argument("Invalid generation parameters"));
  r.request.max_new_tokens = 8;
  EXPECT_EQ(r.error(), argument("Empty stop sequence"));
  r.request.stop_count = 0;
  EXPECT_EQ(r.error(), argument("Invalid content kind"));
  r.items[0].kind = kContentText;
  EXPECT_EQ(r.error(), argument("Missing string"));
  // Messages are checked in order: a bad role in the first message wins over a later item.
  Records two;
  two.items = {{kContentText, "a", nullptr}, {9, nullptr, nullptr}};
  two.messages = {{"\xff", two.items.data(), 1}, {"user", two.items.data() + 1, 1}};
  EXPECT_EQ(two.error(), argument("Invalid UTF-8"));
}

}  // namespace
}  // namespace vexa
