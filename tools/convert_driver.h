// The ONNX-to-container converter: reads one ONNX file, lowers and folds its graph and writes one
// .vexa container. Conversions must not run concurrently: the notes of the last conversion are
// process-wide.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/convert_bindings.h"

namespace vexa::tools {

// ok: text is the summary (one line per graph input and output, then opset, IR version and node
// count). Failure: text is the message of the step that failed.
struct ConvertResult {
  bool ok = false;
  std::string text;
};

// option_word: high 32 bits the batch for an open first dimension (0 means 1); low 32 bits the
// default size of other open dimensions (bits 16..31 height and 0..15 width when the high half is
// non-zero). Used only without bindings. The container is written to a temporary file beside
// vexa_path, flushed and renamed over it, so a failed conversion leaves an existing file intact.
// An output path that is not a regular file (a device, a FIFO, a folder, a link to one) or that
// is the same file as the model or one of its external data files is refused before any work.
ConvertResult onnx_convert(std::string_view onnx_path, std::string_view vexa_path,
                           uint64_t option_word, InputBindings* bindings);
ConvertResult onnx_convert_file(std::string_view onnx_path, std::string_view vexa_path,
                                uint64_t option_word);
ConvertResult onnx_convert_file_bound(std::string_view onnx_path, std::string_view vexa_path,
                                      InputBindings* bindings);
ConvertResult onnx_convert_file_sized(std::string_view onnx_path, std::string_view vexa_path,
                                      uint32_t size, uint64_t batch);

// Notes on the last conversion; empty when there is nothing to say.
std::string onnx_batch_note();
std::string onnx_int8_note();
std::string onnx_rewrite_report();

}  // namespace vexa::tools
