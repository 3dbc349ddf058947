// Writes generative model containers for tests and benchmarks: a SmolVLM-shaped graph in the
// executor's graph ops, seeded random weights (FP16, or q8 for every rank-2 matrix), and the six
// processor assets. Not a user tool; nothing here is exported.
//
// Graph layout (groups in node order):
//   "vision"   patch embedding of "pixel_values" (+ bias) + position embedding looked up by
//              "patch_position_ids"; one pre-norm encoder layer (layer norm, q/k/v with bias,
//              attention without cache masked by "vision_attention_mask", output projection,
//              residual; layer norm, fc1, GELU, fc2, residual); post layer norm; 4 x 4
//              space-to-depth shuffle of the 32 x 32 patch grid; connector linear (no bias)
//              to the text width: 64 image rows per view.
//   "text.0"   token embedding of "input_ids", image rows scattered in at
//              "image_token_positions", then decoder layer 0.
//   "text.i"   decoder layer i: RMS norm; q, k, v (no bias); rotary embedding of q and k by
//              "position_ids"; attention over "past_key.i"/"past_value.i" masked by
//              "text_attention_mask" (empty = causal); output projection; residual; RMS norm;
//              SiLU(gate) x up; down projection; residual.
//   "lm_head"  final RMS norm and the vocabulary projection, whose output is the logits.
// A text-only model has no "vision" group, no vision inputs and no scatter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/vlm_tokenizer.h"

namespace vexa::testing {

enum class VlmWeights {
  fp16,      // every weight FP16
  mixed_q8,  // rank-2 matrices (linear weights, embedding tables, lm_head) q8; the rest FP16
};

struct VlmTextShape {
  uint64_t hidden = 64;
  uint64_t layers = 2;
  uint64_t heads = 4;
  uint64_t kv_heads = 2;
  uint64_t head_dim = 16;
  uint64_t mlp = 128;
  uint64_t vocab = 0;  // 0: the tokenizer's id count rounded up to a multiple of 64
  double rope_theta = 100000.0;
  double norm_eps = 1e-5;
};

// Patch 16 over 512 x 512 views, shuffle factor 4 and one encoder layer are fixed by the
// processor contract; only the tower's width is free.
struct VlmVisionShape {
  bool present = true;
  uint64_t width = 32;
  uint64_t heads = 2;
  uint64_t mlp = 64;
  double norm_eps = 1e-6;
};

inline constexpr uint64_t kVisionImageSide = 512;
inline constexpr uint64_t kVisionPatch = 16;
inline constexpr uint64_t kVisionGrid = kVisionImageSide / kVisionPatch;  // 32
inline constexpr uint64_t kVisionPatches = kVisionGrid * kVisionGrid;     // 1024
inline constexpr uint64_t kVisionShuffle = 4;
inline constexpr uint64_t kImageRowsPerView = kVisionPatches / (kVisionShuffle * kVisionShuffle);

struct AuxBlob {
  std::string name;
  std::string blob;
};

struct VlmModelDesc {
  VlmTextShape text;
  VlmVisionShape vision;
  VlmWeights weights = VlmWeights::fp16;
  uint64_t seed = 1;
  uint64_t merges = 1000;  // GPT-2 merges kept in the tokenizer
  // Replaces the generated processor assets, in order, when set (tests of the asset reader
  // pass duplicates, strangers or broken documents this way).
  std::optional<std::vector<AuxBlob>> assets;
};

// What the writer chose, for callers that build inputs or compute bandwidth figures.
struct VlmModelInfo {
  uint64_t vocab = 0;
  VlmTokenizer tokenizer;
  uint64_t tensor_count = 0;
  uint64_t stored_weight_bytes = 0;  // all tensors, unpadded
  // Weight bytes one decode step reads: every decoder layer, the final norm and lm_head, plus
  // one embedding row.
  uint64_t decode_weight_bytes = 0;
  uint64_t node_count = 0;
  uint64_t value_count = 0;
};

bool write_vlm_model(const VlmModelDesc& desc, std::vector<uint8_t>* out, VlmModelInfo* info,
                     std::string* error);
bool write_vlm_model_file(const VlmModelDesc& desc, const std::string& path, VlmModelInfo* info,
                          std::string* error);

// A model written to a fresh file in $TMPDIR (or /tmp) and removed again by the destructor:
// how benchmarks get the 100-330 MB models they time.
class TempModelFile {
 public:
  TempModelFile() = default;
  ~TempModelFile();
  TempModelFile(const TempModelFile&) = delete;
  TempModelFile& operator=(const TempModelFile&) = delete;

  bool write(const VlmModelDesc& desc, std::string* error);
  const std::string& path() const { return path_; }
  const VlmModelInfo& info() const { return info_; }

 private:
  std::string path_;
  VlmModelInfo info_;
};

// The six processor assets the generated model carries (the tokenizer is built on the way).
bool make_vlm_assets(const VlmModelDesc& desc, std::vector<AuxBlob>* assets, VlmModelInfo* info,
                     std::string* error);

// The tiny test model: text hidden 64, 4 query / 2 KV heads of 16, 2 layers, MLP 128, GPT-2's
// first 1000 merges (1,280 ids); vision width 32 with 2 heads.
VlmModelDesc tiny_vlm_desc(VlmWeights weights);

// A text model sized like SmolVLM-256M's language part (hidden 576, 30 layers, 9 query / 3 KV
// heads of 64, MLP 1536, vocabulary 49,280), for benchmarks: 100-330 MB, never committed.
VlmModelDesc bench_text_desc(VlmWeights weights);

}  // namespace vexa::testing
