// Writes a generated model container: the tiny test model (FP16 or mixed q8 weights) for the
// numpy reference and demo scripts, or the benchmark-sized text model.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/vlm_model.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: vexa-write-tiny-vlm [--weights fp16|mixed] [--bench] [--seed N] OUTPUT\n"
               "  --weights  FP16 weights (default) or q8 rank-2 matrices with FP16 norms/biases\n"
               "  --bench    the SmolVLM-256M-sized text model instead of the tiny one\n"
               "  --seed     another weight seed (the goldens hold for the default only)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa::testing;
  VlmWeights weights = VlmWeights::fp16;
  bool bench = false;
  const char* seed = nullptr;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--weights" && i + 1 < argc) {
      const std::string w = argv[++i];
      if (w == "fp16") {
        weights = VlmWeights::fp16;
      } else if (w == "mixed") {
        weights = VlmWeights::mixed_q8;
      } else {
        return usage();
      }
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = argv[++i];
    } else if (arg == "--bench") {
      bench = true;
    } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
      output = arg;
    } else {
      return usage();
    }
  }
  if (output.empty()) return usage();
  VlmModelDesc desc = bench ? bench_text_desc(weights) : tiny_vlm_desc(weights);
  if (seed != nullptr) {
    char* end = nullptr;
    desc.seed = std::strtoull(seed, &end, 10);
    if (*seed == '\0' || *end != '\0') return usage();
  }
  VlmModelInfo info;
  std::string error;
  if (!write_vlm_model_file(desc, output, &info, &error)) {
    std::fprintf(stderr, "vexa-write-tiny-vlm: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %llu tensors, %llu weight bytes, %llu nodes, %llu values, vocabulary %llu\n",
              output.c_str(), static_cast<unsigned long long>(info.tensor_count),
              static_cast<unsigned long long>(info.stored_weight_bytes),
              static_cast<unsigned long long>(info.node_count),
              static_cast<unsigned long long>(info.value_count),
              static_cast<unsigned long long>(info.vocab));
  return 0;
}
