// The six processor documents of a generated model. They describe the one processor the engine
// accepts: SmolVLM geometry (512-pixel views, patch 16, 64 image rows per view), its chat
// template byte for byte, and the byte-level BPE contract of the tokenizer.
#include <nlohmann/json.hpp>

#include "tests/support/vlm_model.h"

namespace vexa::testing {
namespace {

// The engine compares the model's template with its own, byte for byte; the only line break
// follows "<end_of_utterance>".
constexpr char kChatTemplate[] =
    "<|im_start|>{% for message in messages %}{{message['role'] | capitalize}}"
    "{% if message['content'][0]['type'] == 'image' %}{{':'}}{% else %}{{': '}}{% endif %}"
    "{% for line in message['content'] %}{% if line['type'] == 'text' %}{{line['text']}}"
    "{% elif line['type'] == 'image' %}{{ '<image>' }}{% endif %}{% endfor %}"
    "<end_of_utterance>\n{% endfor %}{% if add_generation_prompt %}{{ 'Assistant:' }}"
    "{% endif %}";
static_assert(sizeof kChatTemplate - 1 == 403);

constexpr double kRescaleFactor = 1.0 / 255.0;

}  // namespace

bool make_vlm_assets(const VlmModelDesc& desc, std::vector<AuxBlob>* assets, VlmModelInfo* info,
                     std::string* error) {
  VlmTokenizer& tok = info->tokenizer;
  if (!build_vlm_tokenizer(desc.merges, &tok, error)) return false;
  info->vocab = desc.text.vocab != 0 ? desc.text.vocab : (tok.id_count + 63) / 64 * 64;
  if (info->vocab < tok.id_count) {
    *error = "vocabulary " + std::to_string(info->vocab) + " is below the tokenizer's " +
             std::to_string(tok.id_count) + " ids";
    return false;
  }
  const VlmTextShape& t = desc.text;
  const VlmVisionShape& v = desc.vision;

  nlohmann::ordered_json config;
  config["architectures"] = {"SmolVLMForConditionalGeneration"};
  config["model_type"] = "smolvlm";
  config["image_token_id"] = tok.image_id;
  config["scale_factor"] = kVisionShuffle;
  config["tie_word_embeddings"] = false;
  // A text-only model keeps the vision geometry: request preparation builds the (empty)
  // vision inputs from it.
  config["vision_config"] = {{"model_type", "smolvlm_vision"},
                             {"hidden_size", v.width},
                             {"intermediate_size", v.mlp},
                             {"num_attention_heads", v.heads},
                             {"num_hidden_layers", v.present ? 1 : 0},
                             {"image_size", kVisionImageSide},
                             {"patch_size", kVisionPatch},
                             {"layer_norm_eps", v.norm_eps}};
  config["text_config"] = {{"model_type", "llama"},
                           {"hidden_size", t.hidden},
                           {"intermediate_size", t.mlp},
                           {"num_attention_heads", t.heads},
                           {"num_key_value_heads", t.kv_heads},
                           {"head_dim", t.head_dim},
                           {"num_hidden_layers", t.layers},
                           {"rms_norm_eps", t.norm_eps},
                           {"rope_theta", t.rope_theta},
                           {"max_position_embeddings", 8192},
                           {"vocab_size", info->vocab}};

  nlohmann::ordered_json tokenizer_config;
  tokenizer_config["add_prefix_space"] = false;
  tokenizer_config["bos_token"] = kImStartToken;
  tokenizer_config["eos_token"] = kEndOfUtteranceToken;
  tokenizer_config["pad_token"] = kImEndToken;
  tokenizer_config["chat_template"] = kChatTemplate;
  tokenizer_config["image_token"] = kImageToken;
  tokenizer_config["fake_image_token"] = kFakeImageToken;
  tokenizer_config["global_image_token"] = kGlobalImageToken;
  tokenizer_config["end_of_utterance_token"] = kEndOfUtteranceToken;
  tokenizer_config["model_max_length"] = 8192;
  tokenizer_config["processor_class"] = "SmolVLMProcessor";
  tokenizer_config["tokenizer_class"] = "GPT2Tokenizer";

  nlohmann::ordered_json preprocessor;
  preprocessor["image_processor_type"] = "SmolVLMImageProcessor";
  preprocessor["do_convert_rgb"] = true;
  preprocessor["do_image_splitting"] = true;
  preprocessor["do_normalize"] = true;
  preprocessor["do_pad"] = true;
  preprocessor["do_rescale"] = true;
  preprocessor["do_resize"] = true;
  preprocessor["image_mean"] = {0.5, 0.5, 0.5};
  preprocessor["image_std"] = {0.5, 0.5, 0.5};
  preprocessor["max_image_size"] = {{"longest_edge", kVisionImageSide}};
  preprocessor["size"] = {{"longest_edge", kVisionImageSide}};
  preprocessor["resample"] = 1;
  preprocessor["rescale_factor"] = kRescaleFactor;

  nlohmann::ordered_json processor;
  processor["image_seq_len"] = kImageRowsPerView;
  processor["processor_class"] = "SmolVLMProcessor";

  nlohmann::ordered_json generation;
  generation["bos_token_id"] = tok.im_start_id;
  generation["eos_token_id"] = {tok.end_of_utterance_id, tok.im_end_id};
  generation["pad_token_id"] = tok.im_end_id;

  assets->clear();
  assets->push_back({"config.json", config.dump(2)});
  assets->push_back({"tokenizer.json", tok.json});
  assets->push_back({"tokenizer_config.json", tokenizer_config.dump(2)});
  assets->push_back({"preprocessor_config.json", preprocessor.dump(2)});
  assets->push_back({"processor_config.json", processor.dump(2)});
  assets->push_back({"generation_config.json", generation.dump(2)});
  return true;
}

}  // namespace vexa::testing
