// Input bindings of a conversion: the "--input" and "--dim" options that fix the shapes and
// element types of graph inputs with open dimensions, their check against the model's inputs
// (every problem reported at once), and the reading of graph inputs and outputs into the
// builder's value table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/onnx_builder.h"

namespace vexa::tools {

inline constexpr uint64_t kBindingMaxInputs = 16;
inline constexpr uint64_t kBindingMaxDims = 32;
inline constexpr uint64_t kBindingNameBytes = 128;
inline constexpr uint64_t kBindingMaxNameLength = 127;
inline constexpr uint64_t kBatchNoteBytes = 512;
inline constexpr uint64_t kBatchNoteGrowLimit = 509;

struct InputBinding {
  char name[kBindingNameBytes];
  uint64_t name_length;
  uint64_t rank;
  uint64_t dims[kMaxRank];
  uint64_t dtype;  // 0 not given, 2 f32, 3 i64
  uint8_t used;
};

struct DimBinding {
  char name[kBindingNameBytes];
  uint64_t name_length;
  uint64_t value;
  uint8_t used;
};

struct InputBindings {
  InputBinding inputs[kBindingMaxInputs];
  uint64_t input_count;
  DimBinding dims[kBindingMaxDims];
  uint64_t dim_count;
  uint8_t describe_only;  // stop after the summary; no file is written
};

// Outcome of an option parser: empty error on success.
struct BindingParse {
  std::string error;
  std::string_view name;  // the entry's name on success
};

void onnx_bindings_init(InputBindings& b);
BindingParse onnx_parse_input_option(InputBindings& b, std::string_view text);
BindingParse onnx_parse_dim_option(InputBindings& b, std::string_view text);
int64_t onnx_find_input_binding(const InputBindings& b, std::string_view name);

// Checks every graph input of the GraphProto span against the bindings and declares the
// inputs. Empty on success, else the message (a problem count and one line per problem).
std::string onnx_check_input_bindings(BuilderState& s, uint64_t graph_start, uint64_t graph_end,
                                      std::string& batch_note_names);

// Reads one graph input (is_output false) or output ValueInfoProto into the value table.
// option_word is used only without bindings.
bool onnx_read_graph_io(BuilderState& s, uint64_t start, uint64_t end, bool is_output,
                        uint64_t option_word);

// "[" + dims joined by ", " + "]".
std::string onnx_format_shape(uint64_t rank, const uint64_t* dims);

}  // namespace vexa::tools
