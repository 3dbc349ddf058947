// The processor assets of generated models against the checks a generative session makes when
// it opens one; the tokenizer document's internal consistency; and the committed goldens of
// the tiny model against the writer and the input builders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "core/weight_decode.h"
#include "tests/support/half_bits.h"
#include "tests/support/tiny_vlm.h"
#include "tests/support/vlm_model.h"

namespace vexa::testing {
namespace {

using nlohmann::json;

uint64_t u64_at(const std::vector<uint8_t>& b, uint64_t offset) {
  uint64_t v = 0;
  if (offset <= b.size() && b.size() - offset >= 8) std::memcpy(&v, b.data() + offset, 8);
  return v;
}

struct Model {
  std::vector<uint8_t> bytes;
  VlmModelInfo info;
  std::map<std::string, json> assets;
};

// The aux table read as the processor reads it: names in the string area, blobs after the
// weights data and at most 8 MiB, each a JSON object, each of the six names once.
Model write_and_read_assets(const VlmModelDesc& desc) {
  Model m;
  std::string error;
  EXPECT_TRUE(write_vlm_model(desc, &m.bytes, &m.info, &error)) << error;
  const std::vector<uint8_t>& b = m.bytes;
  const uint64_t metadata_end = u64_at(b, 48);
  const uint64_t area_begin = u64_at(b, 80) + 32, area_end = u64_at(b, 80) + u64_at(b, 88);
  const uint64_t table = u64_at(b, 208);
  const uint64_t stride = u64_at(b, table + 8);
  EXPECT_GE(stride, 64u);
  for (uint64_t j = 0, n = u64_at(b, table + 16); j < n; ++j) {
    const uint64_t e = table + 32 + j * stride;
    const uint64_t name_at = u64_at(b, e), offset = u64_at(b, e + 16), size = u64_at(b, e + 24);
    EXPECT_TRUE(name_at >= area_begin && name_at < area_end);
    EXPECT_TRUE(offset >= metadata_end && offset <= b.size() && size <= b.size() - offset &&
                size <= (8u << 20));
    if (::testing::Test::HasFailure()) return m;
    const std::string name(reinterpret_cast<const char*>(b.data() + name_at));
    const std::string blob(reinterpret_cast<const char*>(b.data() + offset), size);
    json doc = json::parse(blob, nullptr, false);
    EXPECT_TRUE(doc.is_object()) << name;
    EXPECT_TRUE(m.assets.emplace(name, std::move(doc)).second) << "duplicate " << name;
  }
  return m;
}

// Byte for byte what the engine accepts; the only line break follows "<end_of_utterance>".
const char* const kTemplate =
    R"T(<|im_start|>{% for message in messages %}{{message['role'] | capitalize}}{% if message['content'][0]['type'] == 'image' %}{{':'}}{% else %}{{': '}}{% endif %}{% for line in message['content'] %}{% if line['type'] == 'text' %}{{line['text']}}{% elif line['type'] == 'image' %}{{ '<image>' }}{% endif %}{% endfor %}<end_of_utterance>
{% endfor %}{% if add_generation_prompt %}{{ 'Assistant:' }}{% endif %})T";

void expect_processor_contract(const Model& m, const VlmModelDesc& desc) {
  for (const char* name :
       {"config.json", "tokenizer.json", "tokenizer_config.json", "preprocessor_config.json",
        "processor_config.json", "generation_config.json"}) {
    ASSERT_TRUE(m.assets.count(name)) << name;
  }
  ASSERT_EQ(m.assets.size(), 6u);
  const json& config = m.assets.at("config.json");
  const json& pre = m.assets.at("preprocessor_config.json");
  const json& tcfg = m.assets.at("tokenizer_config.json");
  const json& tok = m.assets.at("tokenizer.json");

  // Geometry, image settings and normalisation.
  EXPECT_EQ(config.at("model_type"), "smolvlm");
  EXPECT_EQ(config.at("vision_config").at("image_size"), 512);
  EXPECT_EQ(config.at("vision_config").at("patch_size"), 16);
  EXPECT_EQ(pre.at("max_image_size").at("longest_edge"), 512);
  EXPECT_EQ(pre.at("resample"), 1);
  EXPECT_EQ(m.assets.at("processor_config.json").at("image_seq_len"), 64);
  for (const char* flag : {"do_convert_rgb", "do_normalize", "do_pad", "do_rescale", "do_resize"}) {
    EXPECT_EQ(pre.at(flag), true) << flag;
  }
  ASSERT_EQ(pre.at("image_mean").size(), 3u);
  ASSERT_EQ(pre.at("image_std").size(), 3u);
  for (int c = 0; c < 3; ++c) {
    EXPECT_TRUE(std::isfinite(pre.at("image_mean")[c].get<float>()));
    EXPECT_GT(pre.at("image_std")[c].get<float>(), 0.0f);
  }
  EXPECT_DOUBLE_EQ(pre.at("rescale_factor").get<double>(), 1.0 / 255.0);

  // The chat template, as a JSON string, byte for byte.
  ASSERT_EQ(std::strlen(kTemplate), 403u);
  EXPECT_EQ(tcfg.at("chat_template").get<std::string>(), kTemplate);

  // Tokenizer contract.
  const json pre_tokenizer = json::parse(R"({"type": "Sequence", "pretokenizers": [
      {"type": "Digits", "individual_digits": true},
      {"type": "ByteLevel", "add_prefix_space": false, "trim_offsets": true, "use_regex": true}]})");
  EXPECT_EQ(tok.at("pre_tokenizer"), pre_tokenizer);
  EXPECT_TRUE(tok.at("normalizer").is_null());
  EXPECT_TRUE(tok.at("post_processor").is_null());
  EXPECT_EQ(tok.at("model").at("type"), "BPE");
  EXPECT_TRUE(tok.at("model").at("dropout").is_null());
  EXPECT_EQ(tok.at("model").at("byte_fallback"), false);
  EXPECT_EQ(tok.at("model").at("ignore_merges"), false);

  // Vocabulary and added tokens.
  const json& text = config.at("text_config");
  const uint64_t vocab = text.at("vocab_size").get<uint64_t>();
  EXPECT_GE(vocab, 1u);
  EXPECT_LE(vocab, 999999u);
  EXPECT_EQ(vocab, m.info.vocab);
  EXPECT_EQ(text.at("num_hidden_layers"), desc.text.layers);
  EXPECT_EQ(text.at("num_key_value_heads"), desc.text.kv_heads);
  EXPECT_EQ(text.at("head_dim"), desc.text.head_dim);
  for (const auto& [token, id] : tok.at("model").at("vocab").items()) {
    ASSERT_TRUE(id.is_number_integer() && id.get<int64_t>() >= 0 && id.get<uint64_t>() < vocab)
        << token;
  }
  std::map<std::string, int64_t> added;
  for (const json& a : tok.at("added_tokens")) {
    for (const char* flag : {"single_word", "lstrip", "rstrip", "normalized"}) {
      EXPECT_EQ(a.at(flag), false) << flag;
    }
    EXPECT_EQ(a.at("special"), true);
    const int64_t id = a.at("id").get<int64_t>();
    EXPECT_TRUE(id >= 0 && static_cast<uint64_t>(id) < vocab);
    EXPECT_FALSE(a.at("content").get<std::string>().empty());
    added[a.at("content").get<std::string>()] = id;
  }
  // What the prompt renderer and the image views look up.
  EXPECT_EQ(config.at("image_token_id"), added.at(tcfg.at("image_token").get<std::string>()));
  for (const char* key : {"image_token", "fake_image_token", "global_image_token"}) {
    EXPECT_TRUE(added.count(tcfg.at(key).get<std::string>())) << key;
  }
  for (const char* marker :
       {"<|im_start|>", "<end_of_utterance>", "<row_1_col_1>", "<row_4_col_4>"}) {
    EXPECT_TRUE(added.count(marker)) << marker;
  }
  const json& eos = m.assets.at("generation_config.json").at("eos_token_id");
  ASSERT_TRUE(eos.is_array() && !eos.empty());
  for (const json& id : eos) {
    EXPECT_TRUE(added.count("<end_of_utterance>") && id.get<uint64_t>() < vocab);
  }
}

TEST(GeneratedModelAssets, SatisfyEveryCheckOfTheProcessor) {
  for (VlmWeights weights : {VlmWeights::fp16, VlmWeights::mixed_q8}) {
    const VlmModelDesc desc = tiny_vlm_desc(weights);
    const Model m = write_and_read_assets(desc);
    expect_processor_contract(m, desc);
  }
  VlmModelDesc text = tiny_vlm_desc(VlmWeights::fp16);
  text.vision.present = false;
  text.text.layers = 3;
  text.text.vocab = 4096;
  const Model m = write_and_read_assets(text);
  expect_processor_contract(m, text);
}

TEST(GeneratedModelAssets, TokenizerTablesAreClosedUnderTheirMerges) {
  const Model m = write_and_read_assets(tiny_vlm_desc(VlmWeights::fp16));
  const json& model = m.assets.at("tokenizer.json").at("model");
  std::map<std::string, int64_t> vocab;
  std::set<int64_t> ids;
  for (const auto& [token, id] : model.at("vocab").items()) {
    vocab[token] = id.get<int64_t>();
    EXPECT_TRUE(ids.insert(id.get<int64_t>()).second) << "id " << id << " named twice";
  }
  // Every byte has its symbol, so no piece can end in a symbol the vocabulary lacks.
  for (int b = 0; b < 256; ++b) EXPECT_TRUE(vocab.count(byte_symbol(static_cast<uint8_t>(b)))) << b;
  // Each merge joins two known symbols into a known one, built only from earlier merges.
  const json& merges = model.at("merges");
  EXPECT_EQ(merges.size(), 1000u);
  for (size_t r = 0; r < merges.size(); ++r) {
    ASSERT_TRUE(merges[r].is_array() && merges[r].size() == 2 && merges[r][0].is_string() &&
                merges[r][1].is_string())
        << "merge " << r;
    const std::string left = merges[r][0], right = merges[r][1];
    ASSERT_TRUE(vocab.count(left) && vocab.count(right) && vocab.count(left + right))
        << "merge " << r;
    EXPECT_LT(vocab.at(left), vocab.at(left + right));
    EXPECT_LT(vocab.at(right), vocab.at(left + right));
  }
  // The ids are dense: every id below the tokenizer's count names one token.
  EXPECT_EQ(ids.size(), m.info.tokenizer.id_count);
  EXPECT_EQ(*ids.rbegin(), static_cast<int64_t>(m.info.tokenizer.id_count) - 1);
}

std::string header_digest_hex(const std::vector<uint8_t>& b) {
  static const char* kHex = "0123456789abcdef";
  std::string s;
  for (int i = 256; i < 272; ++i) {
    s += kHex[b[i] >> 4];
    s += kHex[b[i] & 15];
  }
  return s;
}

TEST(TinyVlmGoldens, WereMadeFromTheModelTheWriterWritesToday) {
  TinyVlmGoldens goldens;
  std::string error;
  ASSERT_TRUE(load_tiny_vlm_goldens(&goldens, &error)) << error;
  for (VlmWeights weights : {VlmWeights::fp16, VlmWeights::mixed_q8}) {
    const Model m = write_and_read_assets(tiny_vlm_desc(weights));
    const TinyVlmGoldens::Model* golden = goldens.model(weights);
    ASSERT_NE(golden, nullptr);
    EXPECT_TRUE(golden->length == m.bytes.size() &&
                golden->digest_hex == header_digest_hex(m.bytes))
        << "the tiny model writer changed, so the goldens no longer describe its output: build "
           "vexa-write-tiny-vlm, run /usr/bin/python3 tests/fixtures/tiny_vlm/reference.py and "
           "commit the new goldens";
  }
}

TEST(TinyVlmGoldens, AreCompleteAndLeaveRoomForTheirTolerances) {
  TinyVlmGoldens goldens;
  TinyVlmPrompt prompt;
  std::string error;
  ASSERT_TRUE(load_tiny_vlm_goldens(&goldens, &error)) << error;
  ASSERT_TRUE(load_tiny_vlm_prompt(&prompt, &error)) << error;
  for (VlmWeights weights : {VlmWeights::fp16, VlmWeights::mixed_q8}) {
    for (Activation act : {Activation::fp16, Activation::fp32}) {
      const TinyVlmRun* run = goldens.run(weights, act);
      ASSERT_NE(run, nullptr);
      const double tolerance =
          act == Activation::fp16 ? kTinyVlmLogitToleranceFp16 : kTinyVlmLogitToleranceFp32;
      EXPECT_LT(run->spread * 2, tolerance);
      ASSERT_EQ(run->steps.size(), prompt.decode_steps + 1);
      for (size_t s = 0; s < run->steps.size(); ++s) {
        const TinyVlmStep& step = run->steps[s];
        EXPECT_EQ(run->tokens[s], step.top[0].first) << "step " << s;
        EXPECT_NEAR(step.margin, step.top[0].second - step.top[1].second, 1e-6);
        // Two logits each off by the tolerance in opposite directions must not swap.
        EXPECT_GT(step.margin, 4 * tolerance) << "step " << s;
      }
    }
  }
}

TEST(TinyVlmInputs, BuildWhatTheGoldensWereComputedFrom) {
  TinyVlmPrompt prompt;
  std::string error;
  ASSERT_TRUE(load_tiny_vlm_prompt(&prompt, &error)) << error;
  const VlmModelDesc desc = tiny_vlm_desc(VlmWeights::fp16);
  const Model m = write_and_read_assets(desc);
  const VlmTokenizer& tok = m.info.tokenizer;
  const uint64_t n = prompt.input_ids.size();

  // The prompt was tokenised with this model's tokenizer: its markers and image tokens.
  EXPECT_EQ(prompt.input_ids.front(), tok.im_start_id);
  std::vector<int64_t> image_positions;
  for (uint64_t i = 0; i < n; ++i) {
    if (prompt.input_ids[i] == tok.image_id) image_positions.push_back(static_cast<int64_t>(i));
  }
  EXPECT_EQ(image_positions, prompt.image_token_positions);

  for (Activation act : {Activation::fp16, Activation::fp32}) {
    const uint32_t dtype = act == Activation::fp16 ? 1 : 2;
    const HostInputs in = tiny_vlm_prefill_inputs(prompt, desc, act, true);
    EXPECT_EQ(in.size(), 7 + 2 * desc.text.layers);
    const HostTensor& pixels = in.at("pixel_values");
    EXPECT_EQ(pixels.shape, (std::vector<uint64_t>{1, 3, 512, 512}));
    EXPECT_EQ(bit_pattern_checksum(pixels),
              act == Activation::fp16 ? prompt.pixel_checksum_fp16 : prompt.pixel_checksum_fp32);
    const HostTensor& mask = in.at("text_attention_mask");
    ASSERT_EQ(mask.shape, (std::vector<uint64_t>{1, 1, n, n}));
    ASSERT_EQ(mask.dtype, dtype);
    for (uint64_t r : {uint64_t{0}, n / 2, n - 1}) {
      for (uint64_t c : {uint64_t{0}, r, r + 1, n - 1}) {
        if (c >= n) continue;
        uint32_t bits = 0;
        std::memcpy(&bits, mask.bytes.data() + (r * n + c) * (dtype == 1 ? 2 : 4),
                    dtype == 1 ? 2 : 4);
        const uint32_t masked = dtype == 1 ? 0xfbffu : 0xff7fffffu;  // lowest finite value
        EXPECT_EQ(bits, c > r ? masked : 0u) << r << "," << c;
      }
    }
    EXPECT_EQ(in.at("past_value.1").shape, (std::vector<uint64_t>{1, 2, 0, 16}));
    EXPECT_EQ(in.at("image_token_positions").shape, (std::vector<uint64_t>{64}));
    EXPECT_EQ(tiny_vlm_prefill_inputs(prompt, desc, act, false).at("text_attention_mask").shape,
              (std::vector<uint64_t>{1, 1, 0, 0}));

    const HostInputs step = tiny_vlm_decode_inputs(prompt, act, true, 3, 42);
    int64_t position = 0;
    std::memcpy(&position, step.at("position_ids").bytes.data(), 8);
    EXPECT_EQ(position, static_cast<int64_t>(n + 2));
    EXPECT_EQ(step.at("text_attention_mask").shape, (std::vector<uint64_t>{1, 1, 1, n + 3}));
    for (const char* name :
         {"pixel_values", "patch_position_ids", "vision_attention_mask", "image_token_positions"}) {
      EXPECT_EQ(step.at(name).shape[0], 0u) << name;
      EXPECT_TRUE(step.at(name).bytes.empty()) << name;
    }
  }
}

TEST(TinyVlmInputs, HalfConversionRoundsToNearestEven) {
  // Every finite half survives the trip through f32; each midpoint between neighbours goes to
  // the even one; 65520 and above overflow.
  for (uint32_t h = 0; h < 0x10000; ++h) {
    if ((h & 0x7c00) == 0x7c00) continue;
    const float v = half_to_float(static_cast<uint16_t>(h));
    ASSERT_EQ(f32_to_f16_rne(v), h) << h;
    if ((h & 0x7fff) == 0x7bff) continue;
    const float next = half_to_float(static_cast<uint16_t>(h + 1));
    const float mid = static_cast<float>((double(v) + double(next)) / 2);
    const uint16_t even = (h & 1) ? static_cast<uint16_t>(h + 1) : static_cast<uint16_t>(h);
    ASSERT_EQ(f32_to_f16_rne(mid), even) << h;
  }
  EXPECT_EQ(f32_to_f16_rne(65519.0f), 0x7bffu);
  EXPECT_EQ(f32_to_f16_rne(65520.0f), 0x7c00u);
  EXPECT_EQ(f32_to_f16_rne(-1e30f), 0xfc00u);
  EXPECT_EQ(f32_to_f16_rne(std::nanf("")) & 0x7e00u, 0x7e00u);
}

TEST(TinyVlmGoldens, StepComparisonNamesWhatDiffers) {
  TinyVlmGoldens goldens;
  std::string error;
  ASSERT_TRUE(load_tiny_vlm_goldens(&goldens, &error)) << error;
  const TinyVlmStep& golden = goldens.run(VlmWeights::fp16, Activation::fp32)->steps[3];
  const uint64_t vocab = 1280;
  // Logits that carry the golden entries, the rest filled so the norm matches too.
  std::vector<float> logits(vocab, 0.0f);
  std::set<int64_t> known;
  double known_square = 0;
  for (const auto* list : {&golden.top, &golden.sample}) {
    for (const auto& [id, value] : *list) {
      logits[id] = value;
      if (known.insert(id).second) known_square += double(value) * value;
    }
  }
  const float rest = -static_cast<float>(
      std::sqrt((golden.norm * golden.norm - known_square) / double(vocab - known.size())));
  for (uint64_t i = 0; i < vocab; ++i) {
    if (!known.count(static_cast<int64_t>(i))) logits[i] = rest;
  }
  EXPECT_EQ(compare_tiny_vlm_step(golden, logits.data(), vocab, 1e-3), "");

  std::vector<float> off = logits;
  off[golden.sample[5].first] += 0.01f;
  EXPECT_NE(compare_tiny_vlm_step(golden, off.data(), vocab, 1e-3).find("logit"),
            std::string::npos);
  off = logits;
  off[golden.top[1].first] = golden.top[0].second + 1.0f;
  EXPECT_NE(compare_tiny_vlm_step(golden, off.data(), vocab, 1e-3).find("argmax"),
            std::string::npos);
  off = logits;
  off[golden.top[0].first] = std::nanf("");
  EXPECT_NE(compare_tiny_vlm_step(golden, off.data(), vocab, 1e-3).find("not finite"),
            std::string::npos);
}

}  // namespace
}  // namespace vexa::testing
