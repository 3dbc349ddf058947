// vexa-quantize: writes a copy of an f32 .vexa container with its large matrix weights stored
// as Q8 blocks, and prints what it did.
//
//   vexa-quantize in.vexa out.vexa
#include <cstdio>
#include <string>
#include <string_view>

#include "tools/pack_quantize.h"

namespace {

constexpr const char* kUsage = "usage: vexa-quantize in.vexa out.vexa";

int fail(const std::string& message) {
  std::fprintf(stderr, "vexa: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  if (argc != 3) return fail(kUsage);
  const vexa::tools::ToolResult r = vexa::tools::pack_quantize(argv[1], argv[2]);
  if (!r.ok) return fail(r.text);
  std::printf("%s\n", r.text.c_str());
  return 0;
}
