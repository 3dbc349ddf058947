// Pack quantisation: a graph-model container whose weights are all f32 is written again with its
// large matrix weights (second input of Conv, ConvTranspose, MatMul and Gemm, the table of a
// Gather, rows of at least 64 values) stored as Q8 blocks, each only where that is smaller. The
// graph, the metadata and the string pool are kept; the weights region is rebuilt, every record
// that describes it updated and the container re-sealed.
//
// The input is verified (digests of the metadata and of every tensor) before anything is made
// from it; a tensor holding an infinity or a NaN stays f32 (no finite scale could encode it). The
// output goes through core/file_replace.h: it may not be the input, and a failure leaves an
// existing output file as it was.
#pragma once

#include <string_view>

#include "tools/tool_result.h"

namespace vexa::tools {

// Success text: "q of n weight tensors stored as Q8: A MB -> B MB".
ToolResult pack_quantize(std::string_view input_path, std::string_view output_path);

}  // namespace vexa::tools
