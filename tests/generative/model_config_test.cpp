// Building the processor from its documents: the accepted model loads with its tables filled,
// and every document mutation is refused with its own message.
#include "generative/model_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "processor_fixture.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::small_assets;

std::string load_error(json assets) {
  try {
    processor_load_config(std::move(assets));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(loaded)";
}

struct Mutation {
  const char* what;
  std::function<void(json&)> apply;
  const char* message;
};

json& cfg(json& a) { return a["config.json"]; }
json& pre(json& a) { return a["preprocessor_config.json"]; }
json& tok(json& a) { return a["tokenizer.json"]; }
json& added0(json& a) { return a["tokenizer.json"]["added_tokens"][0]; }

TEST(ModelConfig, EveryMutationIsRefusedWithItsMessage) {
  const std::vector<Mutation> mutations = {
      {"model type", [](json& a) { cfg(a)["model_type"] = "idefics3"; },
       "Unsupported processor geometry"},
      {"vision size", [](json& a) { cfg(a)["vision_config"]["image_size"] = 384; },
       "Unsupported processor geometry"},
      {"longest edge", [](json& a) { pre(a)["max_image_size"]["longest_edge"] = 1024; },
       "Unsupported processor geometry"},
      {"resample", [](json& a) { pre(a)["resample"] = 3; }, "Unsupported processor geometry"},
      {"seq len", [](json& a) { a["processor_config.json"]["image_seq_len"] = 81; },
       "Unsupported processor geometry"},
      {"seq len wraps", [](json& a) { a["processor_config.json"]["image_seq_len"] = -4294967232; },
       "Unsupported processor geometry"},
      {"convert rgb", [](json& a) { pre(a)["do_convert_rgb"] = false; },
       "Unsupported image processor setting"},
      {"normalize", [](json& a) { pre(a)["do_normalize"] = false; },
       "Unsupported image processor setting"},
      {"pad", [](json& a) { pre(a)["do_pad"] = false; }, "Unsupported image processor setting"},
      {"rescale as number", [](json& a) { pre(a)["do_rescale"] = 1; },
       "Unsupported image processor setting"},
      {"resize", [](json& a) { pre(a)["do_resize"] = nullptr; },
       "Unsupported image processor setting"},
      {"two means", [](json& a) { pre(a)["image_mean"] = {0.5, 0.5}; }, "Normalization channels"},
      {"four stds", [](json& a) { pre(a)["image_std"] = {0.5, 0.5, 0.5, 0.5}; },
       "Normalization channels"},
      {"mean object", [](json& a) { pre(a)["image_mean"] = {{"r", 1}, {"g", 1}, {"b", 1}}; },
       "Normalization channels"},
      {"zero std", [](json& a) { pre(a)["image_std"][2] = 0; }, "Normalization parameters"},
      {"negative std", [](json& a) { pre(a)["image_std"][0] = -0.5; }, "Normalization parameters"},
      {"mean past f32", [](json& a) { pre(a)["image_mean"][1] = 1e39; },
       "Normalization parameters"},
      {"template edited",
       [](json& a) {
         std::string t = a["tokenizer_config.json"]["chat_template"];
         t[t.size() - 3] = 'X';
         a["tokenizer_config.json"]["chat_template"] = t;
       },
       "Unsupported chat template"},
      {"template trailing newline",
       [](json& a) {
         a["tokenizer_config.json"]["chat_template"] =
             a["tokenizer_config.json"]["chat_template"].get<std::string>() + "\n";
       },
       "Unsupported chat template"},
      {"template not text", [](json& a) { a["tokenizer_config.json"]["chat_template"] = 1; },
       "Unsupported chat template"},
      {"digits grouped",
       [](json& a) { tok(a)["pre_tokenizer"]["pretokenizers"][0]["individual_digits"] = false; },
       "Unsupported tokenizer contract"},
      {"pre-tokenizers swapped",
       [](json& a) {
         json& list = tok(a)["pre_tokenizer"]["pretokenizers"];
         std::swap(list[0], list[1]);
       },
       "Unsupported tokenizer contract"},
      {"prefix space",
       [](json& a) { tok(a)["pre_tokenizer"]["pretokenizers"][1]["add_prefix_space"] = true; },
       "Unsupported tokenizer contract"},
      {"extra pre-tokenizer key",
       [](json& a) { tok(a)["pre_tokenizer"]["pretokenizers"][1]["extra"] = 1; },
       "Unsupported tokenizer contract"},
      {"normalizer", [](json& a) { tok(a)["normalizer"] = {{"type", "NFC"}}; },
       "Unsupported tokenizer contract"},
      {"post-processor", [](json& a) { tok(a)["post_processor"] = {{"type", "ByteLevel"}}; },
       "Unsupported tokenizer contract"},
      {"model type", [](json& a) { tok(a)["model"]["type"] = "WordPiece"; },
       "Unsupported tokenizer contract"},
      {"dropout", [](json& a) { tok(a)["model"]["dropout"] = 0.1; },
       "Unsupported tokenizer contract"},
      {"byte fallback", [](json& a) { tok(a)["model"]["byte_fallback"] = true; },
       "Unsupported tokenizer contract"},
      {"ignore merges", [](json& a) { tok(a)["model"]["ignore_merges"] = true; },
       "Unsupported tokenizer contract"},
      {"vocab size 0", [](json& a) { cfg(a)["text_config"]["vocab_size"] = 0; },
       "Vocabulary size"},
      {"vocab size 1e6", [](json& a) { cfg(a)["text_config"]["vocab_size"] = 1000000; },
       "Vocabulary size"},
      {"vocab size negative", [](json& a) { cfg(a)["text_config"]["vocab_size"] = -5; },
       "Vocabulary size"},
      {"vocab size huge float", [](json& a) { cfg(a)["text_config"]["vocab_size"] = 1e300; },
       "Vocabulary size"},
      {"id at vocab size", [](json& a) { tok(a)["model"]["vocab"]["zz"] = 512; },
       "Vocabulary ID"},
      {"negative id", [](json& a) { tok(a)["model"]["vocab"]["zz"] = -1; }, "Vocabulary ID"},
      {"merge as text", [](json& a) { tok(a)["model"]["merges"][0] = "h e"; }, "BPE pair"},
      {"merge of three", [](json& a) { tok(a)["model"]["merges"][0] = {"h", "e", "l"}; },
       "BPE pair"},
      {"merge part number", [](json& a) { tok(a)["model"]["merges"][0] = {"h", 1}; },
       "BPE pair"},
      {"normalized missing", [](json& a) { added0(a).erase("normalized"); }, "Added token flags"},
      {"lstrip", [](json& a) { added0(a)["lstrip"] = true; }, "Added token flags"},
      {"single word", [](json& a) { added0(a)["single_word"] = true; }, "Added token flags"},
      {"rstrip", [](json& a) { added0(a)["rstrip"] = true; }, "Added token flags"},
      {"not special", [](json& a) { added0(a)["special"] = false; }, "Added token kind"},
      {"special missing", [](json& a) { added0(a).erase("special"); }, "Added token kind"},
      {"added id at size", [](json& a) { added0(a)["id"] = 512; }, "Added token ID"},
      {"added id negative", [](json& a) { added0(a)["id"] = -3; }, "Added token ID"},
      {"empty content", [](json& a) { added0(a)["content"] = ""; }, "Added token ID"},
  };
  for (const Mutation& m : mutations) {
    json assets = small_assets({{"h", "e"}}, {"<image>"});
    m.apply(assets);
    EXPECT_EQ(load_error(std::move(assets)), m.message) << m.what;
  }
}

TEST(ModelConfig, MissingKeysAndWrongTypesRaiseTheJsonLibraryErrors) {
  json missing = small_assets({}, {});
  cfg(missing).erase("model_type");
  EXPECT_NE(load_error(std::move(missing)).find("key 'model_type' not found"), std::string::npos);

  json wrong = small_assets({}, {});
  cfg(wrong)["text_config"]["vocab_size"] = "many";
  EXPECT_NE(load_error(std::move(wrong)).find("type must be number, but is string"),
            std::string::npos);

  json no_merges = small_assets({}, {});
  tok(no_merges)["model"].erase("merges");
  EXPECT_NE(load_error(std::move(no_merges)).find("key 'merges' not found"), std::string::npos);
}

TEST(ModelConfig, AcceptedVariants) {
  // eos as a number or a one-element array; the largest vocabulary; pre-tokenizer keys in
  // another order; added tokens sorted longest first whatever the file order.
  json a = small_assets({}, {"<a>", "<longer>", "<mid>"});
  a["generation_config.json"]["eos_token_id"] = 2;
  cfg(a)["text_config"]["vocab_size"] = 999999;
  json& byte_level = tok(a)["pre_tokenizer"]["pretokenizers"][1];
  byte_level = json::parse(R"({"use_regex":true,"trim_offsets":true,"add_prefix_space":false,
                               "type":"ByteLevel"})");
  const auto p = processor_load_config(std::move(a));
  EXPECT_EQ(p->eos_ids, std::vector<int64_t>{2});
  EXPECT_EQ(p->tokens.vocab_size, 999999u);
  ASSERT_EQ(p->tokens.added.size(), 3u);
  EXPECT_EQ(p->tokens.added[0].content, "<longer>");
  EXPECT_EQ(p->tokens.added[1].content, "<mid>");
  EXPECT_EQ(p->tokens.added[2].content, "<a>");
  EXPECT_TRUE(p->tokens.is_special(p->tokens.added[0].id));
  EXPECT_EQ(p->tokens.id_to_token[p->tokens.added[2].id], "<a>");

  json b = small_assets({}, {});
  b["generation_config.json"]["eos_token_id"] = json::array({2});
  EXPECT_EQ(processor_load_config(std::move(b))->eos_ids, std::vector<int64_t>{2});
}

TEST(ModelConfig, TestModelTables) {
  const Processor& p = testing::gpt2_processor();
  EXPECT_EQ(p.eos_ids, (std::vector<int64_t>{50258, 50256}));
  EXPECT_EQ(p.image_seq_len, 64u);
  EXPECT_EQ(p.tokens.vocab_size, 50304u);
  EXPECT_EQ(p.tokens.added.size(), 42u);
  // Byte table: printable bytes keep their code point, the 68 others count up from U+0100.
  EXPECT_EQ(p.tokens.byte_to_symbol['A'], "A");
  EXPECT_EQ(p.tokens.byte_to_symbol[0], "\xC4\x80");      // U+0100
  EXPECT_EQ(p.tokens.byte_to_symbol[' '], "\xC4\xA0");    // U+0120
  EXPECT_EQ(p.tokens.byte_to_symbol[0xAD], "\xC5\x83");   // U+0143, the 68th
  EXPECT_EQ(p.tokens.byte_to_symbol[0xAE], "\xC2\xAE");
  EXPECT_EQ(p.tokens.symbol_to_byte.size(), 256u);
  // Ids past the named ones stay empty and decode to nothing.
  EXPECT_TRUE(p.tokens.id_to_token[50300].empty());
}

}  // namespace
}  // namespace vexa
