#include "generative/model_config.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

#include "generative/chat_template.h"

namespace vexa {

using nlohmann::json;

void require(bool condition, const char* message) {
  if (!condition) throw std::runtime_error(message);
}

namespace {

constexpr int64_t kMaxVocabularySize = 999999;
constexpr int64_t kViewSidePixels = 512;
constexpr int64_t kImageSeqLen = 64;

// A JSON number as a whole number the way an integer accessor reads it: floats truncate toward
// zero and values outside i64 saturate (no undefined conversion). Any other type throws the
// library's type error.
int64_t json_to_i64(const json& v) {
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 0x1.0p63) return INT64_MAX;
    if (d < -0x1.0p63) return INT64_MIN;
    return static_cast<int64_t>(d);
  }
  return v.get<int64_t>();
}

// The value as the f32 it is stored in; a magnitude past the f32 range reads as infinite.
float json_to_f32(const json& v) {
  const double d = v.get<double>();
  if (std::isnan(d)) return NAN;
  if (d > FLT_MAX) return INFINITY;
  if (d < -FLT_MAX) return -INFINITY;
  return static_cast<float>(d);
}

bool flag_is(const json& object, const char* key, bool value) {
  if (!object.is_object()) return false;
  const auto it = object.find(key);
  return it != object.end() && *it == value;
}

const json& expected_pre_tokenizer() {
  static const json kPreTokenizer = {
      {"type", "Sequence"},
      {"pretokenizers",
       json::array({{{"type", "Digits"}, {"individual_digits", true}},
                    {{"type", "ByteLevel"},
                     {"add_prefix_space", false},
                     {"trim_offsets", true},
                     {"use_regex", true}}})}};
  return kPreTokenizer;
}

void check_image_settings(const Processor& p) {
  const json& pre = p.preprocessor_config;
  const bool geometry = p.config.at("model_type") == "smolvlm" &&
                        p.config.at("vision_config").at("image_size") == kViewSidePixels &&
                        pre.at("max_image_size").at("longest_edge") == kViewSidePixels &&
                        pre.at("resample") == 1 && p.image_seq_len == kImageSeqLen;
  require(geometry, "Unsupported processor geometry");

  for (const char* flag : {"do_convert_rgb", "do_normalize", "do_pad", "do_rescale", "do_resize"}) {
    require(pre.at(flag) == true, "Unsupported image processor setting");
  }

  const json& mean = pre.at("image_mean");
  const json& std_dev = pre.at("image_std");
  require(mean.is_array() && mean.size() == 3 && std_dev.is_array() && std_dev.size() == 3,
          "Normalization channels");
  for (size_t c = 0; c < 3; ++c) {
    require(std::isfinite(json_to_f32(mean[c])) && json_to_f32(std_dev[c]) > 0.0f,
            "Normalization parameters");
  }
}

void check_tokenizer_contract(const json& tokenizer) {
  const json& model = tokenizer.at("model");
  const bool contract = tokenizer.at("pre_tokenizer") == expected_pre_tokenizer() &&
                        tokenizer.at("normalizer").is_null() &&
                        tokenizer.at("post_processor").is_null() && model.at("type") == "BPE" &&
                        model.at("dropout").is_null() && model.at("byte_fallback") == false &&
                        model.at("ignore_merges") == false;
  require(contract, "Unsupported tokenizer contract");
}

void load_vocabulary(Processor& p, const json& tokenizer) {
  const int64_t vocab_size = json_to_i64(p.config.at("text_config").at("vocab_size"));
  require(vocab_size >= 1 && vocab_size <= kMaxVocabularySize, "Vocabulary size");
  TokenizerTables& t = p.tokens;
  t.vocab_size = static_cast<uint32_t>(vocab_size);
  t.id_to_token.assign(t.vocab_size, std::string());
  t.special.assign(t.vocab_size, 0);

  const json& model = tokenizer.at("model");
  const auto& vocab = model.at("vocab").get_ref<const json::object_t&>();
  t.vocab.reserve(vocab.size());
  for (const auto& [token, value] : vocab) {
    const int64_t id = json_to_i64(value);
    require(id >= 0 && id < vocab_size, "Vocabulary ID");
    t.vocab[token] = static_cast<uint32_t>(id);
    t.id_to_token[static_cast<uint64_t>(id)] = token;
  }

  const auto& merge_list = model.at("merges").get_ref<const json::array_t&>();
  std::vector<std::pair<std::string, std::string>> merges;
  merges.reserve(merge_list.size());
  for (const json& pair : merge_list) {
    require(pair.is_array() && pair.size() == 2 && pair[0].is_string() && pair[1].is_string(),
            "BPE pair");
    merges.emplace_back(pair[0].get_ref<const std::string&>(),
                        pair[1].get_ref<const std::string&>());
  }

  for (const json& entry : tokenizer.at("added_tokens").get_ref<const json::array_t&>()) {
    require(flag_is(entry, "single_word", false) && flag_is(entry, "lstrip", false) &&
                flag_is(entry, "rstrip", false) && flag_is(entry, "normalized", false),
            "Added token flags");
    require(flag_is(entry, "special", true), "Added token kind");
    const int64_t id = json_to_i64(entry.at("id"));
    std::string content = entry.at("content").get<std::string>();
    require(id >= 0 && id < vocab_size && !content.empty(), "Added token ID");
    t.id_to_token[static_cast<uint64_t>(id)] = content;
    t.special[static_cast<uint64_t>(id)] = 1;
    t.added.push_back(AddedToken{std::move(content), static_cast<uint32_t>(id)});
  }
  std::stable_sort(t.added.begin(), t.added.end(), [](const AddedToken& a, const AddedToken& b) {
    return a.content.size() > b.content.size();
  });

  tokenizer_tables_finish(t, merges);
}

}  // namespace

std::unique_ptr<Processor> processor_load_config(json&& assets) {
  auto p = std::make_unique<Processor>();
  p->config = std::move(assets.at("config.json"));
  p->preprocessor_config = std::move(assets.at("preprocessor_config.json"));
  p->tokenizer_config = std::move(assets.at("tokenizer_config.json"));
  const int64_t seq_len = json_to_i64(assets.at("processor_config.json").at("image_seq_len"));
  // Anything but 64 is refused below; the clamp only keeps the stored value meaningful.
  p->image_seq_len = seq_len < 0 || seq_len > UINT32_MAX ? 0 : static_cast<uint32_t>(seq_len);
  const json& eos = assets.at("generation_config.json").at("eos_token_id");
  if (eos.is_array()) {
    p->eos_ids.reserve(eos.size());
    for (const json& id : eos) p->eos_ids.push_back(json_to_i64(id));
  } else {
    p->eos_ids.push_back(json_to_i64(eos));
  }

  check_image_settings(*p);
  require(p->tokenizer_config.at("chat_template") == kChatTemplate, "Unsupported chat template");
  const json& tokenizer = assets.at("tokenizer.json");
  check_tokenizer_contract(tokenizer);
  load_vocabulary(*p, tokenizer);
  return p;
}

}  // namespace vexa
