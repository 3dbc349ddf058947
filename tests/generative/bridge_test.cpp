// The flat entries: how vlm_chat turns its arguments into a request (message limits, image
// formats, image options, sampling, stops, constraints), what it reports when memory runs out,
// the pixel and encoded-image chats, the default opens and the stand-alone weight check.
#include <gtest/gtest.h>

#include "core/alloc_fault.h"
#include "core/atomics.h"
#include "generative/bridge.h"
#include "generative/generate.h"
#include "generative/processor.h"
#include "tests/core/container_fixture.h"
#include "tests/generative/tiny_session.h"
#include "tests/image/image_test_util.h"

namespace {

using namespace vexa;
using namespace vexa::testing;
using nlohmann::json;

constexpr char kGoldenText[] = "Describe this picture.";

struct ChatCloser {
  VlmChatResult r{};
  ~ChatCloser() { std::free(r.answer); }
  std::string answer() const { return r.answer != nullptr ? std::string(r.answer, r.answer_length) : ""; }
};

VlmChatRequest greedy_request(const VlmMessage* messages, uint64_t count, uint32_t max_new_tokens) {
  VlmChatRequest r{};
  r.messages = messages;
  r.message_count = count;
  r.max_new_tokens = max_new_tokens;
  r.top_p = 1.0;
  r.repetition_penalty = 1.0;
  return r;
}

VlmMessage image_message(const std::vector<uint8_t>& pixels, uint32_t format, uint64_t stride) {
  VlmMessage m{};
  m.role = "user";
  m.text = kGoldenText;
  m.kind = kVlmMessageHasImage;
  m.image = pixels.data();
  m.length = pixels.size();
  m.width = 512;
  m.height = 512;
  m.stride = stride;
  m.format = format;
  m.orientation = 1;
  return m;
}

std::vector<uint8_t> rgb_to(const std::vector<uint8_t>& rgb, uint32_t format) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    const uint8_t r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
    if (format == 2) out.insert(out.end(), {b, g, r});           // BGR8
    if (format == 3) out.insert(out.end(), {r, g, b, 200});      // RGBA8
    if (format == 4) out.insert(out.end(), {b, g, r, 17});       // BGRA8
    if (format == 5) out.push_back(g);                           // GRAY8
  }
  return out;
}

std::string decode_golden(const VlmHandle* h, size_t n) {
  const std::vector<int64_t>& tokens =
      tiny_goldens().goldens.run(VlmWeights::fp16, Activation::fp16)->tokens;
  return h->session->processor->decode(std::span<const int64_t>(tokens.data(), n));
}

struct Bridge : ::testing::Test {
  HandlePtr handle = open_tiny();
  std::vector<uint8_t> rgb = tiny_vlm_view_rgb();
};

}  // namespace

TEST_F(Bridge, ChatRunsTheGoldenRequestFromEveryAcceptedFormat) {
  const std::string golden = decode_golden(handle.get(), 6);
  struct Form {
    uint32_t format;
    uint64_t bytes_per_pixel;
  };
  for (const Form f : {Form{1, 3}, Form{3, 4}, Form{4, 4}}) {
    const std::vector<uint8_t> pixels = f.format == 1 ? rgb : rgb_to(rgb, f.format);
    const VlmMessage m = image_message(pixels, f.format, 512 * f.bytes_per_pixel);
    VlmChatRequest r = greedy_request(&m, 1, 6);
    ChatCloser out;
    vlm_reset(handle.get());
    ASSERT_EQ(vlm_chat(handle.get(), r, &out.r), 1) << out.r.message;
    EXPECT_EQ(out.answer(), golden) << "format " << f.format;
    EXPECT_EQ(out.r.generated_tokens, 6u);
    EXPECT_EQ(out.r.finish_reason, kFinishLength);
    EXPECT_EQ(out.r.prompt_tokens, tiny_goldens().prompt.input_ids.size());
    EXPECT_EQ(out.r.answer[out.r.answer_length], '\0');
  }
  // BGR8 and GRAY8 cannot travel as a raw image source: refused, not misread.
  for (uint32_t format : {2u, 5u, 0u, 9u}) {
    const std::vector<uint8_t> pixels = rgb_to(rgb, format == 5 ? 5 : 2);
    const VlmMessage m = image_message(pixels, format, 512 * (format == 5 ? 1 : 3));
    ChatCloser out;
    EXPECT_EQ(vlm_chat(handle.get(), greedy_request(&m, 1, 2), &out.r), 0);
    EXPECT_EQ(out.r.error_code, 5u);
    EXPECT_STREQ(out.r.message, "Message image format must be RGB8, RGBA8 or BGRA8");
    EXPECT_EQ(out.r.answer, nullptr);
  }
  // Orientation outside 1..8 is taken as upright.
  VlmMessage odd = image_message(rgb, 1, 512 * 3);
  odd.orientation = 77;
  ChatCloser upright;
  ASSERT_EQ(vlm_chat(handle.get(), greedy_request(&odd, 1, 6), &upright.r), 1);
  EXPECT_EQ(upright.answer(), golden);
}

TEST_F(Bridge, ChatArgumentsBecomeTheRequest) {
  std::vector<VlmMessage> messages(17);
  for (size_t i = 0; i < messages.size(); ++i) {
    messages[i].role = i % 2 == 0 ? "user" : "assistant";
    messages[i].text = "hi";
  }
  for (uint64_t count : {0u, 17u}) {
    ChatCloser out;
    EXPECT_EQ(vlm_chat(handle.get(), greedy_request(messages.data(), count, 1), &out.r), 0);
    EXPECT_EQ(out.r.error_code, 1u);
    EXPECT_STREQ(out.r.message, "Invalid VLM handle or empty message list");
  }
  ChatCloser null_handle;
  EXPECT_EQ(vlm_chat(nullptr, greedy_request(messages.data(), 1, 1), &null_handle.r), 0);
  EXPECT_EQ(null_handle.r.error_code, 1u);
  ChatCloser sixteen;
  ASSERT_EQ(vlm_chat(handle.get(), greedy_request(messages.data(), 15, 1), &sixteen.r), 1)
      << sixteen.r.message;
  messages[15].role = "user";
  ChatCloser full;
  EXPECT_EQ(vlm_chat(handle.get(), greedy_request(messages.data(), 16, 1), &full.r), 1)
      << full.r.message;

  // max_new_tokens 0 means 64; image options carry tiling and the longest edge.
  const VlmMessage m = image_message(rgb, 1, 512 * 3);
  VlmChatRequest r = greedy_request(&m, 1, 0);
  r.image_options = (uint64_t{1024} << 32) | 1;
  ChatCloser tiled;
  ASSERT_EQ(vlm_chat(handle.get(), r, &tiled.r), 1) << tiled.r.message;
  const json& report = handle->session->last_report;
  EXPECT_EQ(report.at("cases")[0].at("kv_cache").at("capacity_tokens"), tiled.r.prompt_tokens + 64);
  EXPECT_EQ(report.at("image_detail"), "tiled");
  EXPECT_EQ(report.at("image_longest_edge"), 1024);
  r.image_options = 1;
  r.max_new_tokens = 1;
  ChatCloser tiled512;
  ASSERT_EQ(vlm_chat(handle.get(), r, &tiled512.r), 1) << tiled512.r.message;
  EXPECT_EQ(handle->session->last_report.at("image_longest_edge"), 512);

  // Stops only with both pointer and count; an empty schema and amount decimals below 1 are off.
  const std::string golden = decode_golden(handle.get(), 6);
  ASSERT_GE(golden.size(), 4u);
  const std::string stop = golden.substr(2, 2);
  const char* stops[] = {stop.c_str()};
  VlmChatRequest s = greedy_request(&m, 1, 6);
  s.stops = stops;
  s.stop_count = 0;
  s.json_schema = "";
  s.amount_decimals = -3;
  ChatCloser ignored;
  ASSERT_EQ(vlm_chat(handle.get(), s, &ignored.r), 1) << ignored.r.message;
  EXPECT_EQ(ignored.answer(), golden);
  s.stop_count = 1;
  ChatCloser stopped;
  ASSERT_EQ(vlm_chat(handle.get(), s, &stopped.r), 1);
  EXPECT_EQ(stopped.r.finish_reason, kFinishStopSequence);
  EXPECT_EQ(stopped.answer(), golden.substr(0, golden.find(stop)));

  // A negative top_k is off, not a huge one; seeded sampling repeats.
  VlmChatRequest sampled = greedy_request(&m, 1, 8);
  sampled.temperature = 1.0;
  sampled.top_k = -5;
  sampled.seed = 42;
  ChatCloser a, b;
  vlm_reset(handle.get());
  ASSERT_EQ(vlm_chat(handle.get(), sampled, &a.r), 1) << a.r.message;
  vlm_reset(handle.get());
  ASSERT_EQ(vlm_chat(handle.get(), sampled, &b.r), 1);
  EXPECT_EQ(a.answer(), b.answer());

  // A failure without a code is reported as 14; an engine refusal keeps its code and message.
  VlmChatRequest bad = greedy_request(&m, 1, 4);
  bad.top_p = 2.0;
  ChatCloser refused;
  EXPECT_EQ(vlm_chat(handle.get(), bad, &refused.r), 0);
  EXPECT_EQ(refused.r.error_code, 1u);
  EXPECT_STREQ(refused.r.message, "Invalid generation parameters");
}

TEST_F(Bridge, EveryAllocationFailingInTurnGivesCode7AndTheSessionGoesOn) {
  const VlmMessage m = image_message(rgb, 1, 512 * 3);
  const VlmChatRequest r = greedy_request(&m, 1, 3);
  std::vector<std::string> messages;
  for (int64_t n = 1;; ++n) {
    ChatCloser out;
    alloc_fault_arm(n);
    const int ok = vlm_chat(handle.get(), r, &out.r);
    alloc_fault_arm(0);
    if (ok) {
      EXPECT_EQ(out.answer(), decode_golden(handle.get(), 3));
      break;
    }
    ASSERT_LT(n, 100) << "never succeeds";
    EXPECT_EQ(out.r.error_code, 7u) << n << ": " << out.r.message;
    EXPECT_EQ(out.r.answer, nullptr);
    EXPECT_EQ(handle->busy, 0u);
    messages.emplace_back(out.r.message);
  }
  ASSERT_FALSE(messages.empty());
  // The caller's copy of the answer is the last allocation: without it the call fails.
  EXPECT_EQ(messages.back(), "Answer allocation failed");
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Result allocation failed"), messages.end());
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Stream allocation failed"), messages.end());
}

TEST_F(Bridge, PixelAndEncodedImageChats) {
  const std::string golden = decode_golden(handle.get(), 5);
  VlmError error{};
  // BGR8 and GRAY8 run on an RGB8 copy; the others go through as they are.
  for (uint32_t format : {1u, 2u, 3u, 4u}) {
    const std::vector<uint8_t> pixels = format == 1 ? rgb : rgb_to(rgb, format);
    const uint64_t bpp = format <= 2 ? 3 : 4;
    const PixelView view{pixels.data(), pixels.size(), 512, 512, 512 * bpp, format};
    VlmResult out{};
    vlm_reset(handle.get());
    ASSERT_EQ(vlm_chat_pixels(handle.get(), &view, kGoldenText, 5, 0, 512, 1, &out, &error), 1)
        << error.message;
    EXPECT_EQ(std::string(out.answer, out.answer_length), golden) << format;
    vlm_result_clear(&out);
  }
  const std::vector<uint8_t> gray = rgb_to(rgb, 5);
  const PixelView gray_view{gray.data(), gray.size(), 512, 512, 512, 5};
  VlmResult gray_out{};
  ASSERT_EQ(vlm_chat_pixels(handle.get(), &gray_view, kGoldenText, 2, 0, 512, 1, &gray_out, &error), 1);
  EXPECT_EQ(gray_out.generated_tokens, 2u);
  vlm_result_clear(&gray_out);
  alloc_fault_arm(1);
  EXPECT_EQ(vlm_chat_pixels(handle.get(), &gray_view, kGoldenText, 2, 0, 512, 1, &gray_out, &error), 0);
  alloc_fault_arm(0);
  EXPECT_EQ(error.code, 7u);
  EXPECT_STREQ(error.message, "RGB conversion allocation failed");

  const PixelView view{rgb.data(), rgb.size(), 512, 512, 512 * 3, 1};
  VlmResult out{};
  EXPECT_EQ(vlm_chat_pixels(handle.get(), &view, kGoldenText, 2, 0, 512, 9, &out, &error), 0);
  EXPECT_STREQ(error.message, "Invalid pixel dimensions, format, stride, length or orientation");
  const PixelView short_view{rgb.data(), rgb.size() - 1, 512, 512, 512 * 3, 1};
  EXPECT_EQ(vlm_chat_pixels(handle.get(), &short_view, kGoldenText, 2, 0, 512, 1, &out, &error), 0);
  EXPECT_EQ(error.code, 1u);
  EXPECT_EQ(vlm_chat_pixels(handle.get(), nullptr, kGoldenText, 2, 0, 512, 1, &out, &error), 0);

  // The same view as a PNG decodes to the same pixels and answer.
  std::vector<uint8_t> scanlines;
  for (uint32_t y = 0; y < 512; ++y) {
    scanlines.push_back(0);
    scanlines.insert(scanlines.end(), rgb.begin() + y * 1536, rgb.begin() + (y + 1) * 1536);
  }
  const std::vector<uint8_t> png = vexa::test::make_png(512, 512, 8, 2, scanlines);
  vlm_reset(handle.get());
  ASSERT_EQ(vlm_chat_encoded(handle.get(), png.data(), png.size(), kGoldenText, 5, 0, 512, &out, &error), 1)
      << error.message;
  EXPECT_EQ(std::string(out.answer, out.answer_length), golden);
  vlm_result_clear(&out);
  EXPECT_EQ(vlm_chat_encoded(handle.get(), png.data(), 7, kGoldenText, 5, 0, 512, &out, &error), 0);
  EXPECT_STREQ(error.message, "Invalid encoded image pointer or length");
  const std::vector<uint8_t> junk(64, 0x42);
  EXPECT_EQ(vlm_chat_encoded(handle.get(), junk.data(), junk.size(), kGoldenText, 5, 0, 512, &out, &error), 0);
  EXPECT_TRUE(error.code == 4u || error.code == 5u) << error.code << " " << error.message;
}

TEST(BridgeOpen, DefaultsAndEntriesOnNullHandles) {
  const std::vector<uint8_t>& bytes = tiny_model_container(VlmWeights::fp16);
  const int fd = bytes_file(bytes);
  VlmHandle* h = nullptr;
  uint32_t code = 0;
  char message[256] = {};
  // Context lengths outside 64..8192 keep 2048.
  ASSERT_EQ(vlm_open_fd_default(fd, 0, bytes.size(), 32, 1, nullptr, 0, &h, &code, message, 256), 1);
  EXPECT_EQ(h->session->params.context_length, 2048u);
  vlm_handle_free(h);
  ASSERT_EQ(vlm_open_fd_default(fd, 0, bytes.size(), 8192, 3, "", 0, &h, &code, message, 256), 1);
  EXPECT_EQ(h->session->params.context_length, 8192u);
  EXPECT_EQ(h->session->params.activation_fp16, 1u);
  EXPECT_EQ(h->session->backend, "auto");
  vlm_handle_free(h);
  EXPECT_EQ(vlm_open_fd_default(fd, 0, bytes.size(), 512, 0, "vulkan", 0, &h, &code, message, 8), 0);
  EXPECT_EQ(code, 1u);
  EXPECT_STREQ(message, "Unknown");  // cut to the buffer, NUL-terminated
  EXPECT_EQ(vlm_open_path_default("/nonexistent/m.vexa", 512, 0, nullptr, 0, &h, &code, message, 256), 0);
  EXPECT_EQ(code, 2u);
  close(fd);

  vlm_handle_free(nullptr);
  vlm_cancel(nullptr);
  EXPECT_EQ(vlm_reset(nullptr), 0);
  EXPECT_EQ(vlm_unload(nullptr), 0);
  EXPECT_EQ(vlm_reload(nullptr), 0);
  VlmChatRequest r{};
  EXPECT_EQ(vlm_chat(nullptr, r, nullptr), 0);
}

TEST(BridgeVerify, ChecksTheStoredBytesAsWritten) {
  struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    uint64_t cancel_at = UINT64_MAX;
  };
  auto callback = [](void* user, uint64_t done, uint64_t total) {
    auto* p = static_cast<Progress*>(user);
    p->calls.emplace_back(done, total);
    return done == p->cancel_at ? 1 : 0;
  };
  std::vector<uint8_t> bytes = tiny_model_container(VlmWeights::mixed_q8);
  VlmError error{};
  {
    const int fd = bytes_file(bytes, 64);
    Progress p;
    EXPECT_EQ(vlm_verify_model(fd, 64, bytes.size(), callback, &p, &error), 1) << error.message;
    EXPECT_EQ(error.code, 0u);
    ASSERT_GE(p.calls.size(), 2u);
    const uint64_t total = p.calls.back().second;
    EXPECT_EQ(p.calls.size(), total + 1);
    EXPECT_EQ(p.calls.back(), std::make_pair(total, total));
    p = Progress{};
    p.cancel_at = 2;
    EXPECT_EQ(vlm_verify_model(fd, 64, bytes.size(), callback, &p, &error), 0);
    EXPECT_EQ(error.code, 10u);
    EXPECT_STREQ(error.message, "Model verification failed or was cancelled");
    close(fd);
  }
  {
    // A graph model with f16 and Q8 tensors: its stored bytes verify, although a load would
    // widen them to f32.
    const SampleModel sample = make_sample();
    const int fd = bytes_file(sample.bytes);
    EXPECT_EQ(vlm_verify_model(fd, 0, sample.bytes.size(), nullptr, nullptr, &error), 1)
        << error.message;
    close(fd);
  }
  {
    // A changed byte in a tensor's padding is a changed tensor.
    const uint64_t weights = word_of(bytes, 48);
    const int probe = bytes_file(bytes);
    OpenResult opened = container_open_fd(probe, 0, bytes.size(), 0);
    close(probe);
    ASSERT_TRUE(opened.ok());
    TensorRecord first{};
    for (uint64_t j = 0; j < container_tensor_count(&opened.container); ++j) {
      first = container_tensor_record(&opened.container, j);
      if (first.padded_size > first.size) break;
    }
    container_close(&opened.container);
    ASSERT_GT(first.padded_size, first.size);
    std::vector<uint8_t> padded = bytes;
    padded[weights + first.relative_offset + first.size] ^= 1;
    const int fd = bytes_file(padded);
    EXPECT_EQ(vlm_verify_model(fd, 0, padded.size(), nullptr, nullptr, &error), 0);
    EXPECT_EQ(error.code, 13u);
    close(fd);
  }
  {
    std::vector<uint8_t> header = bytes;
    header[8] = 7;
    const int fd = bytes_file(header);
    EXPECT_EQ(vlm_verify_model(fd, 0, header.size(), nullptr, nullptr, &error), 0);
    EXPECT_EQ(error.code, 3u);
    close(fd);
    EXPECT_EQ(vlm_verify_model(-1, 0, bytes.size(), nullptr, nullptr, &error), 0);
    EXPECT_NE(error.code, 0u);
  }
}
