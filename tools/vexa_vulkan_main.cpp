// vexa-vulkan: the sibling tool's front end. Its options fill one set of processor options;
// "prepare" dumps the prepared model inputs, "info" prints the model's processor settings.
// "chat" and "selftest" need the Vulkan execution backend, which this build does not include.
//
//   vexa-vulkan prepare --model PATH --output DIR (--prompt TEXT | --messages FILE) [options]
//   vexa-vulkan info --model PATH
#include <cstdio>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "generative/processor.h"
#include "generative/request_prepare.h"
#include "tools/model_file.h"
#include "tools/prepare_dump.h"
#include "tools/sibling_args.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "vexa-vulkan: %s\n", message.c_str());
  return 1;
}

std::unique_ptr<vexa::VXProcessor> open_processor(const std::string& path,
                                                  vexa::tools::OpenedModel& model) {
  std::string error;
  if (!model.open(path, &error)) throw std::runtime_error(error);
  const vexa::OpenContainer& c = model.container();
  return std::make_unique<vexa::VXProcessor>(c.image, c.image_size, c.fd, c.base_offset);
}

nlohmann::json processor_info(const vexa::VXProcessor& processor) {
  const nlohmann::json& config = processor.config();
  const nlohmann::json& text = config.at("text_config");
  return {{"model_type", config.at("model_type")},
          {"vocab_size", processor.processor().tokens.vocab_size},
          {"image_seq_len", processor.processor().image_seq_len},
          {"eos_token_ids", processor.eos()},
          {"num_hidden_layers", text.at("num_hidden_layers")},
          {"backend", "vulkan"}};
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const vexa::ProcessorOptions options = vexa::tools::tool_parse_args(argc, argv);
    vexa::tools::OpenedModel model;
    if (options.command == "prepare") {
      const auto processor = open_processor(options.model_path, model);
      const vexa::PreparedInputs prepared = vexa::prepare_request(processor->processor(), options);
      vexa::tools::write_prepare_dump(prepared, options.output_directory);
      return 0;
    }
    if (options.command == "info") {
      if (options.model_path.empty()) return fail("info requires --model");
      const auto processor = open_processor(options.model_path, model);
      std::printf("%s", vexa::tools::manifest_text(processor_info(*processor)).c_str());
      return 0;
    }
    return fail("the " + options.command +
                " command needs the Vulkan execution backend, which this build does not include");
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}
