// The sibling command-line tool's front end: its arguments become one ProcessorOptions record.
// Commands: chat, prepare, selftest, info. Only the Vulkan execution backend is accepted.
#pragma once

#include "generative/model_config.h"

namespace vexa::tools {

inline constexpr const char* kSiblingUsage =
    "usage: vexa-vulkan chat|prepare|selftest|info [--activation fp16|int8] "
    "[--int8-scope prefill|vision] [options]";

// argv[1] is the command, options follow. Throws std::runtime_error with the refusal's
// message (kSiblingUsage when there is no command); a "--messages" file that is not JSON
// throws the JSON library's parse error, and a number the standard conversions refuse
// outright throws their std::invalid_argument or std::out_of_range.
ProcessorOptions tool_parse_args(int argc, const char* const* argv);

}  // namespace vexa::tools
