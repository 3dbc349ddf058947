// Result of the container tools: on success `text` is the tool's report (may be empty); on
// failure it is the message, a lower-case sentence without a final period.
#pragma once

#include <string>

namespace vexa::tools {

struct ToolResult {
  bool ok = false;
  std::string text;
};

inline ToolResult tool_failure(std::string message) { return ToolResult{false, std::move(message)}; }

}  // namespace vexa::tools
