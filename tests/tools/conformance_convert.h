// The conversion step of the conformance run: the converter's plain entry point (no input
// bindings, default option word). Empty text on success, else the converter's message.
#pragma once

#include <string>

#include "tools/convert_driver.h"

namespace vexa::tools {

inline std::string conformance_convert(const std::string& onnx_path,
                                       const std::string& vexa_path) {
  const ConvertResult r = onnx_convert_file(onnx_path, vexa_path, 0);
  if (r.ok) return "";
  return r.text.empty() ? "conversion failed without a message" : r.text;
}

}  // namespace vexa::tools
