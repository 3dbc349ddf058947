// vexa-chat: one generative request from the command line.
//
//   vexa-chat (--prompt TEXT | --messages FILE) [--model PATH] [--image PATH]
//             [--image-detail single|tiled] [--image-longest-edge N] [--max-new-tokens N]
//             [--temperature X] [--top-p X] [--min-p X] [--top-k N] [--seed N]
//             [--repetition-penalty X] [--repetition-window N] [--stop TEXT]...
//             [--json-schema FILE | --amount-decimals N] [--stream] [--report PATH] ...
//
// Prints the answer (or streams it as it comes) and a line break; failures print
// "vexa: [code] message" on standard error and exit with 1.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "generative/request_runner.h"
#include "tools/cli_options.h"
#include "tools/schema_file.h"

namespace {

constexpr const char* kUsage =
    "usage: vexa-chat (--prompt TEXT | --messages FILE) [--model PATH] [--image PATH]\n"
    "       [--image-detail single|tiled] [--image-longest-edge N] [--image-crop X0,Y0,X1,Y1]\n"
    "       [--max-new-tokens N] [--context-length N] [--activation fp16|fp32]\n"
    "       [--backend auto|metal|mps|mpsgraph] [--temperature X] [--top-p X] [--min-p X]\n"
    "       [--top-k N] [--seed N] [--repetition-penalty X] [--repetition-window N]\n"
    "       [--stop TEXT]... [--json-schema FILE | --amount-decimals N] [--stream]\n"
    "       [--report PATH] [--profile]";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  // The two output-constraint options are this program's own; the rest go to the shared
  // option parser, which sees a "generate" command.
  std::string schema;
  long amount_decimals = 0;
  std::vector<std::string> rest = {args.empty() ? "vexa-chat" : args[0], "generate"};
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json-schema" || args[i] == "--amount-decimals") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "vexa: %s requires a value\n", args[i].c_str());
        return 2;
      }
      const std::string value = args[++i];
      if (args[i - 1] == "--json-schema") {
        std::string error;
        if (!vexa::tools::read_json_schema_file(value, &schema, &error)) {
          std::fprintf(stderr, "vexa: %s\n", error.c_str());
          return 1;
        }
      } else {
        char* end = nullptr;
        amount_decimals = std::strtol(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0' || amount_decimals < 1 || amount_decimals > 9) {
          std::fprintf(stderr, "vexa: --amount-decimals takes 1..9\n");
          return 2;
        }
      }
      continue;
    }
    rest.push_back(args[i]);
  }
  std::optional<nlohmann::json> options = vexa::tools::cli_parse_arguments(rest);
  if (!options) return 1;
  if (!schema.empty()) (*options)["json_schema"] = schema;
  if (amount_decimals != 0) (*options)["amount_decimals"] = amount_decimals;
  return vexa::vlm_cli_generate(*options) != 0 ? 0 : 1;
}
