// Request preparation: the tensors of every request kind (text only, one view, tiled, cropped,
// counting only) against independent computations (the tiny model's committed prompt and its
// inputs as the test support builds them; views resized by hand-computed sizes; the mask and
// positions written out; image tokens found by scanning the ids), and every refusal.
#include "generative/request_prepare.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>

#include "generative/tokenizer.h"
#include "prepare_fixture.h"
#include "tests/support/tiny_vlm.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::error_of;
using testing::expected_pixel_values;
using testing::image_of;
using testing::pattern_rgb;
using testing::pixels_input;
using testing::resized;
using testing::tiny_processor;
using testing::values_of;

constexpr uint32_t kPatches = 1024;  // (512 / 16)^2
constexpr uint16_t kF16Lowest = 0xfbff;  // -65504

std::vector<uint32_t> shape32(const std::vector<uint64_t>& s) { return {s.begin(), s.end()}; }

json text_item(const std::string& t) { return {{"type", "text"}, {"text", t}}; }
json image_item(uint64_t index) { return {{"type", "image"}, {"image_index", index}}; }
json user(const json& items) { return json::array({{{"role", "user"}, {"content", items}}}); }

int64_t image_token_id() { return tiny_processor().config.at("image_token_id").get<int64_t>(); }

std::vector<int64_t> scan_image_tokens(const std::vector<int64_t>& ids) {
  std::vector<int64_t> at;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] == image_token_id()) at.push_back(static_cast<int64_t>(i));
  }
  return at;
}

// The tensors every request has, whatever its images: names, shapes and dtypes.
void expect_common_tensors(const PreparedInputs& p, uint32_t views, bool f16, bool causal) {
  const uint32_t act = f16 ? 1 : 2;
  const auto n = static_cast<uint32_t>(p.prompt_token_ids.size());
  std::set<std::string> names;
  for (const auto& [name, t] : p.tensors) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"input_ids", "position_ids", "text_attention_mask",
                                          "pixel_values", "patch_position_ids",
                                          "vision_attention_mask", "image_token_positions",
                                          "past_key.0", "past_value.0", "past_key.1",
                                          "past_value.1"}));
  auto check = [&](const char* name, std::vector<uint32_t> shape, uint32_t dtype) {
    const PreparedTensor& t = p.tensors.at(name);
    EXPECT_EQ(t.shape, shape) << name;
    EXPECT_EQ(t.dtype, dtype) << name;
    uint64_t count = 1;
    for (uint32_t d : shape) count *= d;
    EXPECT_EQ(t.data.size(), count * (dtype == 3 ? 8 : dtype == 1 ? 2 : 4)) << name;
  };
  check("input_ids", {1, n}, 3);
  check("position_ids", {1, n}, 3);
  check("text_attention_mask", causal ? std::vector<uint32_t>{1, 1, 0, 0} : std::vector<uint32_t>{1, 1, n, n}, act);
  check("pixel_values", {views, 3, 512, 512}, act);
  check("patch_position_ids", {views, kPatches}, 3);
  check("vision_attention_mask", {views, 1, kPatches, kPatches}, act);
  check("image_token_positions", {views * 64}, 3);
  for (const char* past : {"past_key.0", "past_value.0", "past_key.1", "past_value.1"}) {
    check(past, {1, 2, 0, 16}, act);
  }
  EXPECT_EQ(values_of<int64_t>(p.tensors.at("input_ids").data), p.prompt_token_ids);
  const std::vector<int64_t> positions = values_of<int64_t>(p.tensors.at("position_ids").data);
  for (uint32_t i = 0; i < positions.size(); ++i) ASSERT_EQ(positions[i], i);
  const std::vector<int64_t> patches = values_of<int64_t>(p.tensors.at("patch_position_ids").data);
  for (size_t i = 0; i < patches.size(); ++i) ASSERT_EQ(patches[i], static_cast<int64_t>(i % kPatches));
  for (const uint8_t b : p.tensors.at("vision_attention_mask").data) ASSERT_EQ(b, 0);
  EXPECT_EQ(values_of<int64_t>(p.tensors.at("image_token_positions").data),
            scan_image_tokens(p.prompt_token_ids));
  EXPECT_EQ(p.image_views, views);
}

TEST(RequestPrepare, TextOnlyRequest) {
  for (const bool f16 : {false, true}) {
    ProcessorOptions o;
    o.prompt = "Hi there";
    o.activation_policy = f16 ? 1 : 0;
    const PreparedInputs p = prepare_request(tiny_processor(), o);
    EXPECT_EQ(p.rendered_prompt, "<|im_start|>User: Hi there<end_of_utterance>\nAssistant:");
    EXPECT_EQ(p.prompt_token_ids, tokenizer_encode(tiny_processor(), p.rendered_prompt));
    expect_common_tensors(p, 0, f16, false);
    EXPECT_TRUE(p.tensors.at("pixel_values").data.empty());
    EXPECT_TRUE(p.image_orientations.empty());
    // The mask: 0 on and below the diagonal, the lowest finite value above it.
    const size_t n = p.prompt_token_ids.size();
    const std::vector<uint8_t>& mask = p.tensors.at("text_attention_mask").data;
    for (size_t r = 0; r < n; ++r) {
      for (size_t c = 0; c < n; ++c) {
        if (f16) {
          const uint16_t want = c > r ? kF16Lowest : 0;
          ASSERT_EQ(values_of<uint16_t>(mask)[r * n + c], want) << r << "," << c;
        } else {
          const float want = c > r ? std::numeric_limits<float>::lowest() : 0.0f;
          ASSERT_EQ(values_of<float>(mask)[r * n + c], want) << r << "," << c;
        }
      }
    }
    std::set<std::string> stages;
    for (const auto& [k, v] : p.stages_ms.items()) {
      stages.insert(k);
      EXPECT_GE(v.get<double>(), 0.0);
    }
    EXPECT_EQ(stages, (std::set<std::string>{"image_decode_resize_ms", "prompt_tokenize_ms",
                                             "tensor_prepare_ms"}));
  }
}

TEST(RequestPrepare, OneViewMatchesTheTinyModelsCommittedInputs) {
  // The prompt of the tiny model's goldens: one user turn, its 512 x 512 view as raw pixels,
  // then the text. Every tensor must equal the test support's own construction byte for byte.
  testing::TinyVlmPrompt golden;
  std::string error;
  ASSERT_TRUE(testing::load_tiny_vlm_prompt(&golden, &error)) << error;
  const std::vector<uint8_t> view = testing::tiny_vlm_view_rgb();
  for (const auto activation : {testing::Activation::fp16, testing::Activation::fp32}) {
    for (const bool causal : {false, true}) {
      ProcessorOptions o;
      o.images.push_back(pixels_input(view, 512, 512));
      o.messages = user(json::array({image_item(0), text_item("Describe this picture.")}));
      o.activation_policy = activation == testing::Activation::fp16 ? 1 : 0;
      o.causal_mask = causal;
      const PreparedInputs p = prepare_request(tiny_processor(), o);
      ASSERT_EQ(p.prompt_token_ids, golden.input_ids);
      expect_common_tensors(p, 1, activation == testing::Activation::fp16, causal);
      const testing::HostInputs want = testing::tiny_vlm_prefill_inputs(
          golden, testing::tiny_vlm_desc(testing::VlmWeights::fp16), activation, !causal);
      ASSERT_EQ(want.size(), p.tensors.size());
      for (const auto& [name, t] : want) {
        const PreparedTensor& got = p.tensors.at(name);
        EXPECT_EQ(got.shape, shape32(t.shape)) << name;
        EXPECT_EQ(got.dtype, t.dtype) << name;
        EXPECT_TRUE(got.data == t.bytes) << name << " bytes differ";
      }
      EXPECT_EQ(p.image_orientations, std::vector<uint32_t>{1});
    }
  }
}

TEST(RequestPrepare, TiledImageRequest) {
  // 1000 x 1000 at edge 1024: a 2 x 2 grid plus the global view, 5 x 64 image tokens.
  const std::vector<uint8_t> rgb = pattern_rgb(1000, 1000, 9);
  ProcessorOptions o;
  o.images.push_back(pixels_input(rgb, 1000, 1000));
  o.messages = user(json::array({text_item("Look: "), image_item(0), text_item(" ok?")}));
  o.image_detail = "tiled";
  o.image_longest_edge = 1024;
  o.activation_policy = 1;
  const PreparedInputs p = prepare_request(tiny_processor(), o);
  expect_common_tensors(p, 5, true, false);
  EXPECT_EQ(p.image_rows, 2u);
  EXPECT_EQ(p.image_cols, 2u);
  EXPECT_EQ(scan_image_tokens(p.prompt_token_ids).size(), 5u * 64);

  const ImageBuffer grid = resized(resized(image_of(1000, 1000, rgb), 1024, 1024), 1024, 1024);
  std::vector<ImageBuffer> views;
  for (uint32_t t = 0; t < 4; ++t) views.push_back(testing::block_of(grid, 512 * (t % 2), 512 * (t / 2), 512, 512));
  views.push_back(resized(grid, 512, 512));
  EXPECT_TRUE(p.tensors.at("pixel_values").data == expected_pixel_values(views, true));
  EXPECT_EQ(p.rendered_prompt.rfind("<|im_start|>User: Look: <fake_token_around_image><row_1_col_1>", 0), 0u);
}

TEST(RequestPrepare, CroppedImagesShareTheCrop) {
  // Two images, one crop: [0, 0.5) x [0.5, 1) of each, 640 x 480 -> 320 x 240 -> 512 x 384.
  const std::vector<uint8_t> a = pattern_rgb(640, 480, 1), b = pattern_rgb(640, 480, 2);
  ProcessorOptions o;
  o.images = {pixels_input(a, 640, 480), pixels_input(b, 640, 480)};
  o.messages = user(json::array({image_item(0), image_item(1), text_item("Compare.")}));
  o.image_crop = {0.0, 0.5, 0.5, 1.0};
  o.activation_policy = 0;
  const PreparedInputs p = prepare_request(tiny_processor(), o);
  expect_common_tensors(p, 2, false, false);
  std::vector<ImageBuffer> views;
  for (const auto* rgb : {&a, &b}) {
    const ImageBuffer crop = testing::block_of(image_of(640, 480, *rgb), 0, 240, 320, 240);
    views.push_back(resized(resized(crop, 512, 384), 512, 512));
  }
  EXPECT_TRUE(p.tensors.at("pixel_values").data == expected_pixel_values(views, false));
  EXPECT_EQ(p.image_orientations, (std::vector<uint32_t>{1, 1}));
}

TEST(RequestPrepare, CountOnlyStopsAfterTokenizing) {
  const std::vector<uint8_t> rgb = pattern_rgb(700, 700, 3);
  ProcessorOptions o;
  o.images.push_back(pixels_input(rgb, 700, 700));
  o.messages = user(json::array({image_item(0), text_item("How many?")}));
  o.image_detail = "tiled";
  o.image_longest_edge = 1024;
  const PreparedInputs full = prepare_request(tiny_processor(), o);
  o.count_only = true;
  o.context_length = 300;  // far below the five views' 320 tokens: no budget applies
  o.max_new_tokens = 300;
  const PreparedInputs counted = prepare_request(tiny_processor(), o);
  EXPECT_TRUE(counted.tensors.empty());
  EXPECT_EQ(counted.prompt_token_ids, full.prompt_token_ids);
  EXPECT_EQ(counted.rendered_prompt, full.rendered_prompt);
  EXPECT_EQ(counted.image_views, 5u);
  EXPECT_EQ(counted.image_rows, 2u);
  std::set<std::string> stages;
  for (const auto& [k, v] : counted.stages_ms.items()) stages.insert(k);
  EXPECT_EQ(stages, (std::set<std::string>{"image_decode_resize_ms", "prompt_tokenize_ms"}));
}

TEST(RequestPrepare, BudgetsAndDetailSettings) {
  auto error = [](const std::function<void(ProcessorOptions&)>& set) {
    ProcessorOptions o;
    o.prompt = "Hello";
    set(o);
    return error_of([&] { prepare_request(tiny_processor(), o); });
  };
  EXPECT_EQ(error([](ProcessorOptions& o) { o.context_length = 0; }), "Invalid context/output budget");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.context_length = 8193; }), "Invalid context/output budget");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.max_new_tokens = 0; }), "Invalid context/output budget");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.max_new_tokens = 2049; }), "Invalid context/output budget");
  // Equal to the context passes the first check; the prompt then has no room.
  EXPECT_EQ(error([](ProcessorOptions& o) { o.max_new_tokens = 2048; }),
            "Prompt plus output exceeds context budget");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.image_longest_edge = 1024; }), "Invalid image detail/edge");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.image_detail = "tiled"; o.image_longest_edge = 511; }),
            "Invalid image detail/edge");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.image_detail = "tiled"; o.image_longest_edge = 2049; }),
            "Invalid image detail/edge");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.image_detail = "medium"; }), "Invalid image detail/edge");
  EXPECT_EQ(error([](ProcessorOptions&) {}), "(no error)");
  EXPECT_EQ(error([](ProcessorOptions& o) { o.image_detail = "tiled"; o.image_longest_edge = 2048; }),
            "(no error)");
  // The prompt's exact length fits: max_new + n == context passes, one more token does not.
  ProcessorOptions fit;
  fit.prompt = "Hello";
  const uint64_t n = prepare_request(tiny_processor(), fit).prompt_token_ids.size();
  fit.context_length = static_cast<uint32_t>(n + 10);
  fit.max_new_tokens = 10;
  EXPECT_EQ(error_of([&] { prepare_request(tiny_processor(), fit); }), "(no error)");
  fit.max_new_tokens = 11;
  EXPECT_EQ(error_of([&] { prepare_request(tiny_processor(), fit); }),
            "Prompt plus output exceeds context budget");
}

TEST(RequestPrepare, ModelSettingsThatCannotMakeTensors) {
  auto error = [](const std::function<void(json&)>& edit) {
    const auto p = testing::tiny_processor_with(edit);
    ProcessorOptions o;
    o.prompt = "Hello";
    return error_of([&] { prepare_request(*p, o); });
  };
  EXPECT_EQ(error([](json& a) { a["config.json"]["vision_config"]["patch_size"] = 0; }), "Patch size");
  EXPECT_EQ(error([](json& a) { a["config.json"]["vision_config"]["patch_size"] = 24; }), "Patch size");
  EXPECT_EQ(error([](json& a) { a["config.json"]["text_config"]["num_hidden_layers"] = 0; }), "Layer count");
  EXPECT_EQ(error([](json& a) { a["config.json"]["text_config"]["num_hidden_layers"] = 129; }), "Layer count");
  EXPECT_EQ(error([](json& a) { a["config.json"]["text_config"]["head_dim"] = -1; }), "Tensor too large");
  // The prompt's first token taken for the image token: one found where none are expected.
  const int64_t im_start = tokenizer_encode(tiny_processor(), "<|im_start|>")[0];
  EXPECT_EQ(error([&](json& a) { a["config.json"]["image_token_id"] = im_start; }), "Image token count");
  // 128 layers and a patch of 32 are fine: 256 past tensors, 256 patches per view.
  const auto wide = testing::tiny_processor_with([](json& a) {
    a["config.json"]["text_config"]["num_hidden_layers"] = 128;
    a["config.json"]["vision_config"]["patch_size"] = 32;
  });
  ProcessorOptions o;
  o.prompt = "Hello";
  const PreparedInputs p = prepare_request(*wide, o);
  EXPECT_EQ(p.tensors.size(), 7u + 256u);
  EXPECT_EQ(p.tensors.at("past_value.127").shape, (std::vector<uint32_t>{1, 2, 0, 16}));
  EXPECT_EQ(p.tensors.at("vision_attention_mask").shape, (std::vector<uint32_t>{0, 1, 256, 256}));
}

TEST(RequestPrepare, TensorConstruction) {
  EXPECT_EQ(tensor_element_count({}), 1u);
  EXPECT_EQ(tensor_element_count({3, 0, 5}), 0u);
  EXPECT_EQ(tensor_element_count({1u << 30}), 1u << 30);
  EXPECT_EQ(tensor_element_count({1, 2, 3, 4, 5, 6}), 720u);
  EXPECT_EQ(error_of([] { tensor_element_count({1, 1, 1, 1, 1, 1, 1}); }), "Tensor rank > 6");
  EXPECT_EQ(error_of([] { tensor_element_count({(1u << 30) + 1}); }), "Tensor too large");
  EXPECT_EQ(error_of([] { tensor_element_count({1u << 16, 1u << 15}); }), "Tensor too large");
  // A zero dimension does not excuse a huge one before it.
  EXPECT_EQ(error_of([] { tensor_element_count({0xffffffffu, 0}); }), "Tensor too large");
  for (const uint32_t bad : {0u, 4u, 5u}) {
    EXPECT_EQ(error_of([&] { prepared_element_size(bad); }),
              "Only FP16 activations and int64 indices supported");
  }
  const PreparedTensor t = make_tensor({2, 3}, kDtypeF16);
  EXPECT_EQ(t.data, std::vector<uint8_t>(12, 0));
  PreparedInputs inputs;
  add_prepared_tensor(inputs, kDtypeF32, "x", {4}, 0).data[0] = 7;
  EXPECT_EQ(inputs.tensors.at("x").dtype, kDtypeF32);
  // An existing entry stays as it was.
  EXPECT_EQ(add_prepared_tensor(inputs, kDtypeF32, "x", {9}, kDtypeI64).data[0], 7);
  EXPECT_EQ(inputs.tensors.at("x").shape, std::vector<uint32_t>{4});
}

TEST(RequestPrepare, SummaryHoldsEveryKeyButTheBytes) {
  ProcessorOptions o;
  o.prompt = "Hi";
  const PreparedInputs p = prepare_request(tiny_processor(), o);
  const json s = prepared_inputs_summary(p);
  EXPECT_EQ(s.at("prompt_token_ids").get<std::vector<int64_t>>(), p.prompt_token_ids);
  EXPECT_EQ(s.at("rendered_prompt"), p.rendered_prompt);
  EXPECT_EQ(s.at("image_views"), 0);
  EXPECT_EQ(s.at("inputs").size(), p.tensors.size());
  EXPECT_EQ(s.at("inputs").at("input_ids"),
            (json{{"shape", {1, p.prompt_token_ids.size()}}, {"dtype", 3}}));
  EXPECT_EQ(s.size(), 8u);
}

}  // namespace
}  // namespace vexa
