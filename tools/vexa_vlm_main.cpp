// vexa-vlm: the generative command line.
//
//   vexa-vlm prepare --output DIR (--prompt TEXT | --messages FILE) [options]
//       prepares the request only and dumps every model input (.bin files and inputs.json)
//   vexa-vlm generate (--prompt TEXT | --messages FILE) [options]
//       runs the request (any command word but "prepare" does): prints the answer and a line
//       break (or streams it as it comes with --stream), writes the report with --report;
//       failures print "vexa: [code] message" on standard error
//
// Exit status: 0 on success, 1 on failure, 2 for a missing command word.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "generative/request_runner.h"
#include "tools/cli_options.h"
#include "tools/cli_prepare.h"
#include "tools/model_file.h"

namespace {

constexpr const char* kUsage =
    "usage: vexa-vlm prepare|generate (--prompt TEXT | --messages FILE) [--model PATH]\n"
    "       [--image PATH] [--image-detail single|tiled] [--image-longest-edge N]\n"
    "       [--image-crop X0,Y0,X1,Y1] [--max-new-tokens N] [--context-length N]\n"
    "       [--activation fp16|fp32] [--backend auto|metal|mps|mpsgraph] [--report PATH]\n"
    "       [--output DIR] [--decode-ids ID,...] [--temperature X] [--top-p X] [--min-p X]\n"
    "       [--repetition-penalty X] [--top-k N] [--repetition-window N] [--seed N]\n"
    "       [--stop TEXT]... [--stream] [--profile] [--graph-attention] [--graph-linear]\n"
    "       [--mps-prefill] [--mps-attention] [--answer-only]";

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa::tools;
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  if (args.size() < 2) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
  }
  const std::optional<nlohmann::json> options = cli_parse_arguments(args);
  if (!options) return 1;
  if (args[1] != "prepare") return vexa::vlm_cli_generate(*options) != 0 ? 0 : 1;
  // The model must exist before anything is prepared: a bad path is refused at once.
  OpenedModel model;
  std::string error;
  if (!model.open(cli_model_path(*options), &error)) {
    std::fprintf(stderr, "vexa prepare: %s\n", error.c_str());
    return 1;
  }
  const vexa::OpenContainer& c = model.container();
  return cli_prepare_dump(c.image, c.image_size, c.fd, *options, c.base_offset) ? 0 : 1;
}
