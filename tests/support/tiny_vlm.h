// The tiny model's goldens and their inputs: the committed prompt (tests/fixtures/tiny_vlm/
// inputs.txt), the numpy reference's greedy tokens and logits (goldens.txt), and the exact
// prefill and decode inputs as plain host arrays, built as the generation loop builds them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/vlm_model.h"

namespace vexa::testing {

enum class Activation : uint32_t { fp16 = 1, fp32 = 2 };

// Logit tolerances for an executor against the goldens. The reference's own spread between f32
// and f64 accumulation is 1 FP16 ulp of the logits (0.016) at FP16 and 1e-5 at FP32; these
// leave room for other summation orders and library paths, and stay far below every greedy
// step's top-2 margin.
inline constexpr double kTinyVlmLogitToleranceFp16 = 0.06;
inline constexpr double kTinyVlmLogitToleranceFp32 = 2e-3;

struct HostTensor {
  std::vector<uint64_t> shape;
  uint32_t dtype = 0;  // 1 FP16, 2 FP32, 3 INT64
  std::vector<uint8_t> bytes;
};
using HostInputs = std::map<std::string, HostTensor>;

struct TinyVlmPrompt {
  std::vector<int64_t> input_ids;
  std::vector<int64_t> image_token_positions;
  uint64_t pixel_checksum_fp16 = 0;
  uint64_t pixel_checksum_fp32 = 0;
  uint64_t decode_steps = 0;
};

struct TinyVlmStep {
  double margin = 0;
  double sum = 0;
  double norm = 0;
  std::vector<std::pair<int64_t, float>> top;     // the largest logits, best first
  std::vector<std::pair<int64_t, float>> sample;  // fixed ids across the vocabulary
};

struct TinyVlmRun {
  VlmWeights weights = VlmWeights::fp16;
  Activation activation = Activation::fp16;
  double spread = 0;
  std::vector<int64_t> tokens;     // greedy: prefill, then one per decode step
  std::vector<TinyVlmStep> steps;  // logits of the prefill's last position, then each step
};

struct TinyVlmGoldens {
  struct Model {
    VlmWeights weights;
    uint64_t length;
    std::string digest_hex;  // container header bytes 256..271
  };
  std::vector<Model> models;
  std::vector<TinyVlmRun> runs;

  const Model* model(VlmWeights weights) const;
  const TinyVlmRun* run(VlmWeights weights, Activation activation) const;
};

std::string tiny_vlm_fixture_dir();
bool load_tiny_vlm_prompt(TinyVlmPrompt* out, std::string* error);
bool load_tiny_vlm_goldens(TinyVlmGoldens* out, std::string* error);

// The 512 x 512 view the goldens use: byte (c, y, x) = (5x + 3y + 80c + xy / 64) mod 256, as
// packed RGB8 rows (what an image source would hand the processor).
std::vector<uint8_t> tiny_vlm_view_rgb();

// Prefill: the prompt ids and positions, the n x n mask (0 on and below the diagonal, the
// lowest finite value above) or the empty [1, 1, 0, 0] causal one, the normalised view,
// patch positions 0..1023, a zero vision mask, the image token positions and empty
// [1, kv_heads, 0, head_dim] past caches for every layer.
HostInputs tiny_vlm_prefill_inputs(const TinyVlmPrompt& prompt, const VlmModelDesc& desc,
                                   Activation activation, bool explicit_mask);

// Decode run `step` (1..decode_steps) feeding `token`, the token the previous run chose: its
// position n + step - 1, the mask row [1, 1, 1, n + step] of zeros or the empty causal mask,
// and the four vision inputs with first dimension 0. The past caches are the previous run's
// "cache" outputs, which the caller adds.
HostInputs tiny_vlm_decode_inputs(const TinyVlmPrompt& prompt, Activation activation,
                                  bool explicit_mask, uint64_t step, int64_t token);

// Sum of the tensor's element bit patterns as unsigned words, modulo 2^64 (inputs.txt holds
// it for pixel_values).
uint64_t bit_pattern_checksum(const HostTensor& t);

// Compares one step's logits (FP16 widened or FP32, `vocab` of them) with its golden: argmax,
// every top and sample entry within `tolerance`, and the norm within tolerance x sqrt(vocab).
// Returns an empty string when they agree, else what differs.
std::string compare_tiny_vlm_step(const TinyVlmStep& golden, const float* logits, uint64_t vocab,
                                  double tolerance);

}  // namespace vexa::testing
