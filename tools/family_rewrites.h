// Rewrites for known model families: subgraphs that only make sense in the exporting framework
// (post-processing tails, index arithmetic) are recognised by the names exporters give them and
// replaced by what the engines run. Each applied rewrite sets one bit of the conversion's report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/onnx_builder.h"
#include "tools/onnx_wire.h"

namespace vexa::tools {

// Report bits, one per rewrite family.
enum RewriteBit : uint32_t {
  kRewriteIoByName = 1u << 0,
  kRewriteSam = 1u << 1,
  kRewriteBiRefNet = 1u << 2,
  kRewriteDocLayout = 1u << 3,
  kRewriteDetectionHeadCut = 1u << 4,
  kRewriteYolopDecode = 1u << 5,
  kRewriteWhereByY = 1u << 6,
  kRewritePadTables = 1u << 7,
  kRewritePow = 1u << 8,
  kRewriteNafnetPool = 1u << 9,
};

// Pending-step words (BuilderState::rewrite_state[0]) of the rewrites implemented here.
inline constexpr uint64_t kPendingDocWhere = 400001;
inline constexpr uint64_t kPendingDocTopK = 400002;
inline constexpr uint64_t kPendingDocBoxes = 400003;
// NAFNet: the CumSum's data input is remembered in rewrite_state[2].
inline constexpr uint64_t kPendingNafnet = 900001;
// SAM: the image preprocessing is skipped from the input (value + base) to "/Unsqueeze_4"; the
// position-table Range to the next Gather; the prompt rewiring from "/Unsqueeze" to
// "/Concat_6". rewrite_state[1] marks the mode: 1024 encoder, value + kSamDecoderBase decoder.
inline constexpr uint64_t kPendingSamPreprocessBase = 800000;
inline constexpr uint64_t kPendingSamRange = 999998;
inline constexpr uint64_t kPendingSamPrompt = 600000;
inline constexpr uint64_t kSamDecoderBase = 500000;
inline constexpr uint64_t kSamEncoderMode = 1024;
// BiRefNet: the Swin mask subgraph is skipped (700000 + windows per side) up to the Cast that
// receives the baked mask; after a window-size Mod everything is skipped up to the next Pad.
inline constexpr uint64_t kPendingSwinMaskBase = 700000;
inline constexpr uint64_t kPendingWindowPad = 999999;
// BiRefNet's deformable ASPP: from an "atrous_conv/Reshape" to the deformable convolution.
inline constexpr uint64_t kPendingDeformable = 500000;
inline constexpr uint64_t kSwinWindow = 12;
inline constexpr uint64_t kSwinShift = 6;
inline constexpr float kSwinMaskedScore = -100.0f;

// The shifted-window attention mask of a Swin stage with n x n windows: [n * n, 144, 144],
// 0 where two tokens of a window lie in the same shifted region, -100 elsewhere.
std::vector<float> swin_shift_mask(uint64_t windows_per_side);

// The report lines of the set bits (bits 0..8 in order, then bit 9); the driver's
// onnx_rewrite_report prints them for the last conversion.
std::string onnx_rewrite_lines(uint32_t bits);

// A torchvision-style detection tail (score threshold, NonZero, NonMaxSuppression) found at the
// end of a graph. When matched, nodes up to and including cut_node are lowered and the tail is
// replaced by one YoloNms node.
struct DetectionTail {
  bool matched = false;
  uint64_t cut_node = 0;  // index of the last kept NodeProto, in file order
  std::string_view input_name;   // the value the YoloNms reads (first output of the cut node)
  std::string_view output_name;  // the graph output it writes
  uint64_t max_out = 0;          // N of the [1, N, K] output
  uint64_t extra = 0;            // K - 6
  // Without the Div/Mul scaling or the class-offset Mul in the tail, boxes pass unchanged.
  float coord_divisor = 1.0f;
  float coord_scale = 1.0f;
  float class_offset = 0.0f;
  uint64_t centre_format = 0;
  float score_threshold = 0.0f;
  float iou_threshold = 0.0f;
};

// Looks for the tail among the GraphProto's nodes [graph_start, graph_end) of s.image. Needs the
// initializers and the graph inputs and outputs already read into s.
DetectionTail onnx_match_detection_tail(const BuilderState& s, uint64_t graph_start,
                                        uint64_t graph_end);
// Appends the YoloNms node of a matched tail and sets nothing else; false when the value table
// is full.
bool onnx_append_yolo_nms(BuilderState& s, const DetectionTail& tail);

// Graph inputs and outputs known by name, without a bindings record: called for a value-info
// after its value was found or created (index) and before it becomes a graph input or output;
// h and w are the option word's default sizes. Drops or bakes the prompt and mask plumbing of
// SAM and CLIP and the extra outputs of the document-layout model, and starts SAM's modes.
// Returns true when the value was handled and must not become a graph input or output.
bool onnx_rewrite_graph_io(BuilderState& s, uint32_t index, const OnnxValueInfo& info,
                           bool is_output, uint64_t h, uint64_t w);

// Called for every node before it is lowered, without an input-bindings record only. Returns
// true when the node was consumed by a rewrite (skipped, or replaced by what it emitted), in
// which case the ordinary lowering must not run.
bool onnx_rewrite_node(BuilderState& s, uint64_t start, uint64_t end);

// Support operations of the tail match, exposed for tests: the first element of a named value
// with data as f32 (i64 converted; an f32 value needs 4 bytes, an i64 value 8), false when
// there is none.
bool onnx_value_scalar(const BuilderState& s, std::string_view name, float* out);

}  // namespace vexa::tools
