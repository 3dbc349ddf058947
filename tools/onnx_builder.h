// The converter's working record for one conversion: the value table, the lowered node list,
// the metadata read from the model and the state shared by the reader, the lowering, shape
// inference and folding. Names and payloads point into the ONNX file image wherever possible.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/container_format.h"

namespace vexa::tools {

inline constexpr uint64_t kBuilderMaxValues = 32768;
inline constexpr uint64_t kBuilderMaxNodes = 16384;
// The driver stops before the tables come this close to their capacity, so one node's lowering
// (at most a handful of nodes and values) always fits.
inline constexpr uint64_t kBuilderNodeHeadroom = 8;
inline constexpr uint64_t kBuilderValueHeadroom = 63;
inline constexpr uint64_t kBuilderMaxOpsets = 8;
inline constexpr uint64_t kBuilderMaxMeta = 256;
inline constexpr uint64_t kBuilderPoolBytes = 262144;
inline constexpr uint64_t kMaxRank = 6;
inline constexpr uint64_t kMaxElements = uint64_t{1} << 30;
inline constexpr uint64_t kAttrWords = kGraphNodeAttributeWords;
inline constexpr uint64_t kAttrUnset = ~uint64_t{0};
inline constexpr uint64_t kCastTag = 0x43415354;  // "CAST"

// Element types of builder values (the container's numbering).
inline constexpr uint64_t kTypeF32 = 2;
inline constexpr uint64_t kTypeI64 = 3;

// ONNX TensorProto.DataType numbers the converter reads.
enum OnnxType : uint64_t {
  kOnnxUndefined = 0, kOnnxFloat = 1, kOnnxUint8 = 2, kOnnxInt8 = 3, kOnnxUint16 = 4,
  kOnnxInt16 = 5, kOnnxInt32 = 6, kOnnxInt64 = 7, kOnnxString = 8, kOnnxBool = 9,
  kOnnxFloat16 = 10, kOnnxDouble = 11, kOnnxUint32 = 12, kOnnxUint64 = 13, kOnnxBfloat16 = 16,
};

struct BuilderValue {
  std::string_view name;
  uint64_t kind = static_cast<uint64_t>(ValueKind::kIntermediate);
  uint64_t dtype = kTypeF32;
  uint64_t rank = 0;
  uint64_t dims[kMaxRank] = {};
  const uint8_t* data = nullptr;  // convert-time data; meaningful when has_data
  uint64_t data_bytes = 0;
  bool has_data = false;
  std::vector<uint8_t> owned;  // storage behind data when the converter made it
  bool consumed = false;       // content moved into a node's attributes
  bool used = false;           // read by a kept node (set during compaction)
  bool known = false;          // computed at convert time
};

// What the lowering remembers of a node beyond its record.
struct NodeExtra {
  std::string_view name;     // the ONNX node name
  std::string_view op_type;  // the ONNX op_type
  bool ceil_mode = false;    // pooling: output size rounds up
  bool keepdims = true;      // reductions
  bool has_keepdims = false;
  bool has_axes_attr = false;
  bool has_value = false;    // ConstantOfShape carried a value tensor
  int64_t axes[kMaxRank] = {};  // "axes" ints (reductions, Squeeze, Unsqueeze)
  uint64_t axes_count = 0;
  uint64_t pads_count = 0;   // number of "pads" ints given (Conv/pool pads beyond the first two)
  int64_t pads[8] = {};
  std::string_view mode;     // Resize "mode"
  std::string_view nearest_mode;
  std::string_view transform_mode;
  bool gelu_tanh = false;
  bool fmod = false;         // Mod: C remainder instead of the divisor's sign
};

struct OnnxOpset {
  std::string_view domain;
  uint64_t version;
};

// Options of one conversion given on the command line: see convert_bindings.h.
struct InputBindings;

// Why the lowering refused the current node.
enum LowerFailure : uint32_t {
  kLowerOk = 0,
  kLowerMalformedAttribute = 1,
  kLowerConstantWithoutValue = 2,
  kLowerNoLowering = 3,
  kLowerEinsum = 4,
  kLowerTooManyInputs = 5,
  kLowerTooManyOutputs = 6,
  kLowerBadTensor = 7,
  kLowerUnsupportedForm = 8,
  kLowerPoolFull = 9,
};

// Failure codes of shape inference and folding (the driver turns them into messages).
enum FoldFailure : uint32_t {
  kFoldOk = 0,
  kFoldGatherIndices = 1,
  kFoldPad = 2,
  kFoldWhereI64 = 3,
  kFoldNot2d = 4,
  kFoldGeneric = 5,
  kFoldScatterND = 6,
  kFoldInconsistent = 7,
  kFoldConvertTimeOnly = 8,
  kFoldPow = 9,
  kFoldRefused = 10,  // the detail text says why
};

struct BuilderState {
  BuilderState();

  // File images.
  const uint8_t* image = nullptr;
  uint64_t image_size = 0;
  std::string model_dir;                     // folder of the ONNX file, "" for the current one
  std::string model_path;                    // the ONNX path itself
  std::map<std::string, std::vector<uint8_t>> external_files;  // by location, read on demand

  uint64_t ir_version = 0;
  std::vector<OnnxOpset> opsets;
  uint64_t opset = 0;  // the default domain's
  std::vector<std::pair<std::string, std::string>> meta;

  std::deque<BuilderValue> values;  // grows without moving: references stay valid
  std::unordered_map<std::string_view, uint32_t> value_index;
  std::vector<GraphNode> nodes;
  std::vector<NodeExtra> extras;  // parallel to nodes

  std::deque<std::string> pool;  // composed names
  uint64_t pool_used = 0;
  bool pool_full = false;

  const InputBindings* bindings = nullptr;
  std::vector<uint32_t> i64_inputs;  // graph inputs declared int64 by the bindings check

  uint32_t lower_failure = kLowerOk;
  uint32_t fold_failure = kFoldOk;
  uint64_t fold_failure_node = 0;
  std::string detail;  // a specific message that replaces the step's fixed one

  // Reserved for the model-family rewrites: a pending step and remembered values.
  uint64_t rewrite_state[4] = {};
  bool graph_cut = false;

  // Convert-time counters reported after the conversion.
  uint64_t int8_elements = 0;
  uint32_t rewrite_bits = 0;
};

// The value named exactly `name`, appended as an f32 intermediate of rank 0 when absent.
// Returns kBuilderMaxValues when the table is full.
uint32_t builder_value_index(BuilderState& s, std::string_view name);
// The value named (name of `base`) + suffix; the composed name lives in the pool. When the pool
// cannot hold it the state's pool_full flag is set and `base` is returned.
uint32_t builder_pool_append(BuilderState& s, uint32_t base, std::string_view suffix);
// A fresh converter-owned copy of bytes as the value's data.
void builder_set_owned(BuilderValue& v, std::vector<uint8_t> bytes);

// Element size of a builder type.
inline uint64_t builder_type_bytes(uint64_t dtype) { return dtype == kTypeI64 ? 8 : 4; }

// Product of the first `rank` dims, or false above the element cap.
bool builder_element_count(uint64_t rank, const uint64_t* dims, uint64_t& count);

// The version imported for a domain; "" and "ai.onnx" both name the default domain. 0 when none.
uint64_t onnx_opset_for_domain(const BuilderState& s, std::string_view domain);

}  // namespace vexa::tools
