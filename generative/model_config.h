// The processor of a generative model, built from its six asset documents, and the options of
// one request preparation. The loader accepts exactly one processor contract (512-pixel views,
// 64 image tokens, the built-in chat template, a byte-level BPE tokenizer with the fixed
// pre-tokenizer) and refuses every other model with a fixed message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/sampler.h"
#include "generative/tokenizer_tables.h"

namespace vexa {

struct Processor {
  nlohmann::json config;               // "config.json"
  nlohmann::json preprocessor_config;  // "preprocessor_config.json"
  nlohmann::json tokenizer_config;     // "tokenizer_config.json"
  std::vector<int64_t> eos_ids;
  uint32_t image_seq_len = 0;
  TokenizerTables tokens;
};

// Throws std::runtime_error(message) unless the condition holds.
void require(bool condition, const char* message);

// Builds the processor from {"config.json": ..., "tokenizer.json": ..., ...}. The documents are
// moved out of `assets`. Refusals throw std::runtime_error with the check's message; a missing
// key or a wrongly typed value throws the JSON library's error.
std::unique_ptr<Processor> processor_load_config(nlohmann::json&& assets);

// One image of a request, borrowed from the caller for the length of a preparation.
struct ImageInput {
  uint32_t kind;  // 2 encoded bytes, 3 raw pixels
  uint8_t reserved[12];
  const uint8_t* data;
  uint64_t length;
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t layout;       // 1 RGB, 2 RGBA, 3 BGRA
  uint32_t orientation;  // EXIF 1..8
};
static_assert(sizeof(ImageInput) == 56);

inline constexpr uint32_t kImageInputEncoded = 2;
inline constexpr uint32_t kImageInputPixels = 3;

// Settings of one request preparation. Request preparation fills the first group from the
// request; the rest belong to the command-line front ends.
struct ProcessorOptions {
  std::string command = "chat";
  std::string model_path;
  std::string prompt;
  std::string image_path;
  std::string image_detail = "single";
  std::string report_path;
  std::string output_directory;
  uint32_t image_longest_edge = 512;
  uint32_t max_new_tokens = 64;
  uint32_t context_length = 2048;
  nlohmann::json messages;  // null: one user message from prompt and image_path
  std::vector<ImageInput> images;
  std::vector<double> image_crop;
  bool count_only = false;
  bool causal_mask = false;
  SamplingParams sampling = sampling_params_default();
  std::vector<std::string> stop_sequences;
  bool stream = false;
  uint32_t activation_policy = 1;  // 0 f32 activations, otherwise f16
  bool profile = false;
  bool profile_ops = false;
  std::string backend = "vulkan";
  std::string qnn_library = "libQnnHtp.so";
  std::string qnn_cache;
  std::string qnn_performance = "default";
  std::string qnn_precision = "fp16";
  std::string qnn_calibration;
  std::string vision_calibration;
};

}  // namespace vexa
